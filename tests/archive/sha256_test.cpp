// SHA-256 against the published test vectors of FIPS 180-2, fed whole and
// in uneven pieces.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "archive/sha256.h"

namespace veltrin::archive {
namespace {

std::span<const uint8_t> BytesOf(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TEST(Sha256, MatchesThePublishedVectors) {
    struct Case {
        std::string message;
        const char* digest;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(HexOf(Sha256Of(BytesOf(c.message))), c.digest) << c.message.size() << " bytes whole";
        // The same message in pieces of 1, 2, 3, ... bytes crosses every block boundary.
        Sha256 pieces;
        size_t at = 0;
        for (size_t size = 1; at < c.message.size(); ++size) {
            const size_t take = std::min(size % 131, c.message.size() - at);
            pieces.Add(BytesOf(c.message).subspan(at, take));
            at += take;
        }
        EXPECT_EQ(HexOf(pieces.Finish()), c.digest) << c.message.size() << " bytes in pieces";
    }
}

TEST(Sha256, ZerosAreZeroBytes) {
    for (const uint64_t count : {uint64_t{0}, uint64_t{55}, uint64_t{64}, uint64_t{4097}, uint64_t{70000}}) {
        Sha256 zeros;
        zeros.Add(BytesOf("x"));
        zeros.AddZeros(count);
        std::vector<uint8_t> message(static_cast<size_t>(count) + 1, 0);
        message[0] = 'x';
        EXPECT_EQ(zeros.Finish(), Sha256Of(message)) << count;
    }
}

}  // namespace
}  // namespace veltrin::archive

namespace veltrin::archive {
namespace {

// Where the processor has SHA instructions they do the work; the portable
// body must give the same digests for every length and content (it does
// the work on processors without them).
TEST(Sha256, TheProcessorsInstructionsAndThePortableBodyAgree) {
    std::printf("SHA-256 here: %s\n",
                Sha256::UsesProcessorInstructions() ? "the processor's instructions" : "portable");
    uint32_t state = 12345;
    std::vector<uint8_t> bytes(5000);
    for (auto& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(state >> 16);
    }
    for (size_t length = 0; length <= bytes.size(); length += length < 300 ? 1 : 97) {
        const std::span<const uint8_t> part(bytes.data(), length);
        ASSERT_EQ(HexOf(Sha256Of(part)), HexOf(Sha256::PortableOf(part))) << length;
    }
    EXPECT_EQ(HexOf(Sha256::PortableOf(BytesOf("abc"))),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
}  // namespace veltrin::archive
