// Any bytes as the body of a game's record of installs (<archive>.installs,
// which comes from outside: it lies beside the game's archives, and a game
// copied or restored brings whatever it holds). The fuzzer seals what it
// makes as the writer does (the record's mark, the version the first byte
// picks, the SHA-256 seal), so the decoder behind the seal is reached. The
// codec either refuses the record with a RecordError or returns one that
// writes back byte for byte; the reader written apart from it (tests/support)
// takes exactly the records the codec takes and reads the same fields; a
// record of another version, or one torn or changed after its seal, is
// always refused. Records of versions 1 to 5 are read too, and written
// back as the current version with the same fields. Every record is read
// against an archive's header and directory, which the input carries before
// the body (a 16-bit length, then the bytes): half the time a current
// record's left state is made to name it, so that its layouts are read
// against it; else, unless it names it already, they cannot be, and the
// record has none.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "archive/sha256.h"
#include "game_record_reader.h"
#include "tool/runs/game_record.h"

namespace {

using namespace veltrin::tool;
namespace independent = veltrin::testing::game_record;
using Bytes = std::vector<uint8_t>;

constexpr std::string_view kMark = "VeltrinInstalls\r\n\x1a";

// A property that does not hold names its line and stops the run.
void Check(bool holds, int line = __builtin_LINE()) {
    if (holds) return;
    std::fprintf(stderr, "check on line %d does not hold\n", line);
    std::abort();
}

// Two in eight inputs are of the version the tool writes, one in eight
// each of the earlier five, the rest of one it does not read.
uint32_t VersionPicked(uint8_t pick) {
    if (pick % 8 < 2) return 6u;
    if (pick % 8 < 7) return 7u - pick % 8;  // 5, 4, 3, 2, 1
    return 7u + pick / 8u;
}

// A current record's body that starts with a left state names the directory.
void NameTheDirectory(Bytes& body, const Bytes& directory) {
    if (body.size() < 1 + 32 || body[0] != 1) return;
    const auto digest = veltrin::archive::Sha256Of(directory);
    std::copy(digest.begin(), digest.end(), body.begin() + 1);
}

// What a record read back from its own bytes holds: without the directory
// its left names at hand, no layouts.
GameRecord WithoutUnreadableLayouts(GameRecord record) {
    if (record.left && record.LeftDirectory().empty()) {
        record.layout.reset();
        for (GameInstall& install : record.installs) install.layoutBefore.reset();
    }
    return record;
}

Bytes Sealed(uint32_t version, std::span<const uint8_t> body) {
    Bytes bytes(kMark.begin(), kMark.end());
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(version >> (8 * i)));
    bytes.insert(bytes.end(), body.begin(), body.end());
    const auto seal = veltrin::archive::Sha256Of(bytes);
    bytes.insert(bytes.end(), seal.begin(), seal.end());
    return bytes;
}

bool Refused(std::span<const uint8_t> bytes) {
    try {
        (void)DecodeGameRecord(bytes);
        return false;
    } catch (const RecordError&) {
        return true;
    }
}

std::string Hex(const veltrin::archive::Digest& digest) { return veltrin::archive::HexOf(digest); }

// The codec's record and the other reader's say the same.
bool Agree(const GameRecord& mine, const SaveOfRecord& save, const independent::Record& other) {
    if (save.found.has_value() != other.save.hasFound || save.puts.size() != other.save.puts.size()) return false;
    if (save.found &&
        (Hex(save.found->directory) != other.save.foundHex || save.found->fileSize != other.save.foundSize))
        return false;
    for (size_t i = 0; i < save.puts.size(); ++i) {
        const GamePut& put = save.puts[i];
        const independent::Put& their = other.save.puts[i];
        if (put.name != their.name || put.holds.has_value() == their.removed) return false;
        if (put.holds && (put.holds->size != their.size || Hex(put.holds->digest) != their.hex)) return false;
    }
    if (mine.left.has_value() != other.hasLeft || mine.installs.size() != other.installs.size()) return false;
    // Layouts the other reader could not rebuild are none in the codec's.
    if (other.layoutsUnread) {
        if (mine.layout) return false;
        for (const GameInstall& install : mine.installs)
            if (install.layoutBefore) return false;
    } else if (mine.layout.has_value() != other.hasLayout) {
        return false;
    }
    if (mine.layout && (mine.layout->fileSize != other.layoutSize || mine.layout->front != other.front ||
                        mine.layout->tail != other.tail))
        return false;
    if (mine.left && (Hex(mine.left->directory) != other.leftHex || mine.left->fileSize != other.leftSize))
        return false;
    for (size_t i = 0; i < mine.installs.size(); ++i) {
        const GameInstall& install = mine.installs[i];
        const independent::Install& theirs = other.installs[i];
        if (install.folders != theirs.folders || Hex(install.modDigest) != theirs.modHex ||
            install.computer != theirs.computer || install.time != theirs.time ||
            (!other.layoutsUnread && install.layoutBefore.has_value() != theirs.hasLayoutBefore) ||
            install.entries.size() != theirs.entries.size())
            return false;
        if (install.layoutBefore &&
            (install.layoutBefore->fileSize != theirs.layoutBeforeSize ||
             install.layoutBefore->front != theirs.frontBefore || install.layoutBefore->tail != theirs.tailBefore))
            return false;
        for (size_t j = 0; j < install.entries.size(); ++j) {
            const InstallLayer& layer = install.entries[j];
            const independent::Layer& their = theirs.entries[j];
            if (layer.name != their.name || layer.before.has_value() == their.added ||
                layer.put.size != their.putSize || Hex(layer.put.digest) != their.putHex)
                return false;
            if (layer.before &&
                (layer.before->size != their.beforeSize || Hex(layer.before->digest) != their.beforeHex ||
                 layer.before->pack != their.beforePack || layer.before->offset != their.beforeOffset))
                return false;
        }
    }
    return true;
}

// The seal this fuzzer makes is the writer's: a record of one empty install
// written by the tool is the mark, version 6 and the seal around its body.
bool SealIsTheWriters() {
    GameRecord record;
    record.installs.emplace_back();
    const Bytes written = EncodeGameRecord(record);
    const Bytes body(written.begin() + static_cast<std::ptrdiff_t>(kMark.size() + 4), written.end() - 32);
    return Sealed(6, body) == written;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool sealIsTheWriters = SealIsTheWriters();
    Check(sealIsTheWriters);
    if (size == 0) return 0;
    const uint32_t version = VersionPicked(data[0]);
    const size_t length = size < 3 ? 0 : std::min<size_t>(size - 3, size_t{data[1]} | size_t{data[2]} << 8);
    const Bytes directoryNow(data + std::min<size_t>(size, 3), data + std::min<size_t>(size, 3) + length);
    Bytes body(data + std::min<size_t>(size, 3) + length, data + size);
    if (version >= 5 && version <= 6 && (data[0] >> 3) % 2 == 1) NameTheDirectory(body, directoryNow);
    const Bytes bytes = Sealed(version, body);
    const Bytes* directory = &directoryNow;

    // Torn anywhere in its seal, or a byte changed: refused.
    Check(Refused(std::span<const uint8_t>(bytes).first(bytes.size() - 1 - data[0] % 32)));
    Bytes changed = bytes;
    changed[(data[0] + size * 31) % changed.size()] ^= 0x5a;
    Check(Refused(changed));

    std::string why;
    const std::optional<independent::Record> other = independent::Read(bytes, &why, directory);
    GameRecord record;
    SaveOfRecord save;
    try {
        record = DecodeGameRecord(bytes, &save, directory);
    } catch (const RecordError&) {
        Check(!other.has_value());
        return 0;
    }
    Check(version >= 1 && version <= 6);
    if (!other) std::fprintf(stderr, "the reader written apart refuses it: %s\n", why.c_str());
    Check(other.has_value() && Agree(record, save, *other));
    // Written back, it reads as the same record (but for layouts it could not
    // write against the directory its left names).
    const GameRecord kept = WithoutUnreadableLayouts(record);
    const Bytes again = EncodeGameRecord(record, save);
    const std::optional<independent::Record> reread = independent::Read(again, &why, directory);
    Check(reread.has_value() && Agree(kept, save, *reread));
    SaveOfRecord saveAgain;
    Check(EncodeGameRecord(DecodeGameRecord(again, &saveAgain, directory), saveAgain) == again);
    return 0;
}
