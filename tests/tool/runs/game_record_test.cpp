// The game's record of installs as a file: where it lies, that it reads back
// as written (and as a reader written apart from the codec reads it), that
// the mod digest names a mod's files whatever their order and case, and that
// a record torn anywhere, changed in any byte or of another version is
// refused rather than trusted.
#include "tool/runs/game_record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/sha256.h"
#include "game_record_reader.h"
#include "testing/memory_file_system.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

using namespace testing;
using archive::testing::MemoryFileSystem;
namespace independent = veltrin::testing::game_record;

const std::string kArchive = R"(C:\Games\GTA San Andreas\models\gta3.img)";

GameRecord Sample() {
    GameRecord record;
    record.layout = archive::Layout{Pattern(4096, 1), Pattern(100, 2), 123 * 2048};
    record.left = archive::ArchiveState{archive::Sha256Of(Pattern(10, 3)), 125 * 2048};
    GameInstall first;
    first.folders = {R"(D:\Downloads\Mod A)", R"(D:\Downloads\Mod A (2))"};
    first.modDigest = archive::Sha256Of(Pattern(5, 9));
    first.computer = "PLAYER-PC";
    first.time = 1'790'000'000;
    first.layoutBefore = archive::Layout{Pattern(2048, 11), {}, 99 * 2048};
    first.entries.push_back({"infernus.dff",
                             StoredContent{3 * 2048, archive::Sha256Of(Pattern(3 * 2048, 4))},
                             "INFERNUS.DFF",
                             {7000, archive::Sha256Of(Pattern(7000, 5))}});
    first.entries.push_back({"veltrin.dff", std::nullopt, {}, {700, archive::Sha256Of(Pattern(700, 6))}});
    GameInstall second;  // above the first in infernus.dff; no computer named
    second.folders = {R"(E:\Mod B é)"};
    second.modDigest = archive::Sha256Of(Pattern(5, 10));
    second.time = 1'790'000'100;
    second.entries.push_back({"INFERNUS.DFF",
                              StoredContent{4 * 2048, archive::Sha256Of(Pattern(4 * 2048, 7))},
                              "infernus.dff",
                              {500, archive::Sha256Of(Pattern(500, 8))}});
    record.installs = {first, second};
    return record;
}

std::string Hex(const archive::Digest& digest) { return archive::HexOf(digest); }

TEST(GameRecord, LiesBesideItsArchiveAndReadsBackAsWritten) {
    EXPECT_EQ(GameRecordPathFor(kArchive), kArchive + ".installs");
    MemoryFileSystem fs;
    const std::string path = GameRecordPathFor(kArchive);
    EXPECT_FALSE(ReadGameRecord(fs, path).has_value());
    const GameRecord record = Sample();
    WriteGameRecord(fs, path, record);
    const std::optional<GameRecord> read = ReadGameRecord(fs, path);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->layout->front, record.layout->front);
    EXPECT_EQ(read->layout->tail, record.layout->tail);
    EXPECT_EQ(read->layout->fileSize, record.layout->fileSize);
    EXPECT_EQ(read->left, record.left);
    EXPECT_EQ(read->installs, record.installs);
    EXPECT_EQ(EncodeGameRecord(*read), fs.Contents(path));

    // Without a layout or a state, and with an install of no entries.
    GameRecord bare;
    bare.installs.push_back({});
    const GameRecord back = DecodeGameRecord(EncodeGameRecord(bare));
    EXPECT_FALSE(back.layout.has_value());
    EXPECT_FALSE(back.left.has_value());
    EXPECT_EQ(back.installs, bare.installs);

    // A record of no install is no record.
    WriteGameRecord(fs, path, GameRecord{});
    EXPECT_FALSE(fs.Exists(path));
    WriteGameRecord(fs, path, GameRecord{});  // and none to remove is fine
}

TEST(GameRecord, ReadsTheSameThroughAReaderWrittenApart) {
    const GameRecord record = Sample();
    const std::vector<uint8_t> bytes = EncodeGameRecord(record);
    std::string why;
    const std::optional<independent::Record> read = independent::Read(bytes, &why);
    ASSERT_TRUE(read.has_value()) << why;
    EXPECT_TRUE(read->hasLayout);
    EXPECT_EQ(read->layoutSize, record.layout->fileSize);
    EXPECT_EQ(read->front, record.layout->front);
    EXPECT_EQ(read->tail, record.layout->tail);
    EXPECT_TRUE(read->hasLeft);
    EXPECT_EQ(read->leftHex, Hex(record.left->directory));
    EXPECT_EQ(read->leftSize, record.left->fileSize);
    ASSERT_EQ(read->installs.size(), record.installs.size());
    for (size_t i = 0; i < record.installs.size(); ++i) {
        const GameInstall& written = record.installs[i];
        const independent::Install& seen = read->installs[i];
        EXPECT_EQ(seen.folders, written.folders);
        EXPECT_EQ(seen.modHex, Hex(written.modDigest));
        EXPECT_EQ(seen.computer, written.computer);
        EXPECT_EQ(seen.time, written.time);
        EXPECT_EQ(seen.hasLayoutBefore, written.layoutBefore.has_value());
        if (written.layoutBefore) {
            EXPECT_EQ(seen.layoutBeforeSize, written.layoutBefore->fileSize);
            EXPECT_EQ(seen.frontBefore, written.layoutBefore->front);
            EXPECT_EQ(seen.tailBefore, written.layoutBefore->tail);
        }
        ASSERT_EQ(seen.entries.size(), written.entries.size());
        for (size_t j = 0; j < written.entries.size(); ++j) {
            const InstallLayer& layer = written.entries[j];
            const independent::Layer& other = seen.entries[j];
            EXPECT_EQ(other.name, layer.name);
            EXPECT_EQ(other.added, !layer.before.has_value());
            if (layer.before) {
                EXPECT_EQ(other.beforeSize, layer.before->size);
                EXPECT_EQ(other.beforeHex, Hex(layer.before->digest));
                EXPECT_EQ(other.beforeName, layer.beforeName);
            }
            EXPECT_EQ(other.putSize, layer.put.size);
            EXPECT_EQ(other.putHex, Hex(layer.put.digest));
        }
    }
    // The independent SHA-256 agrees with the library's.
    EXPECT_EQ(independent::Sha256Hex(Pattern(5000, 3)), Hex(archive::Sha256Of(Pattern(5000, 3))));
}

// The first pass counts what the second writes: a record of half a
// megabyte is written into one buffer of its size, never grown and copied.
TEST(GameRecord, IsWrittenIntoOneBufferOfItsExactSize) {
    const std::vector<uint8_t> bytes = EncodeGameRecord(Sample());
    EXPECT_EQ(bytes.capacity(), bytes.size());
    GameRecord large = Sample();
    large.layout->front = Pattern(512 * 1024, 12);
    const std::vector<uint8_t> largeBytes = EncodeGameRecord(large);
    EXPECT_GT(largeBytes.size(), 512u * 1024);
    EXPECT_EQ(largeBytes.capacity(), largeBytes.size());
}

TEST(GameRecord, ModDigestNamesTheFilesWhateverTheirOrderAndCase) {
    const archive::Digest a = archive::Sha256Of(Pattern(100, 1)), b = archive::Sha256Of(Pattern(100, 2));
    const archive::Digest mod = ModDigest({{"infernus.dff", a}, {"cap.txd", b}});
    EXPECT_EQ(ModDigest({{"CAP.TXD", b}, {"Infernus.dff", a}}), mod);
    EXPECT_NE(ModDigest({{"infernus.dff", b}, {"cap.txd", a}}), mod);  // the data swapped
    EXPECT_NE(ModDigest({{"infernus.dff", a}}), mod);                  // a file fewer
    EXPECT_NE(ModDigest({{"infernus.dfx", a}, {"cap.txd", b}}), mod);  // another name
    EXPECT_NE(ModDigest({{"infernus.dff", a}, {"cap.txd", b}, {"x.dff", a}}), mod);
}

TEST(GameRecord, TornChangedOrOfAnotherVersionIsRefused) {
    const std::vector<uint8_t> bytes = EncodeGameRecord(Sample());
    for (size_t size = 0; size < bytes.size(); ++size) {
        const std::vector<uint8_t> torn(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_THROW(DecodeGameRecord(torn), RecordError) << "torn at " << size;
    }
    for (size_t at = 0; at < bytes.size(); ++at) {
        std::vector<uint8_t> changed = bytes;
        changed[at] ^= 0x20;
        EXPECT_THROW(DecodeGameRecord(changed), RecordError) << "byte " << at;
    }
    std::vector<uint8_t> longer = bytes;
    longer.push_back(0);
    EXPECT_THROW(DecodeGameRecord(longer), RecordError);

    // Another version, sealed as this tool would seal it: refused, saying so.
    std::vector<uint8_t> other(bytes.begin(), bytes.end() - 32);
    other[18] = 3;
    const archive::Digest seal = archive::Sha256Of(other);
    other.insert(other.end(), seal.begin(), seal.end());
    try {
        DecodeGameRecord(other);
        ADD_FAILURE() << "a record of version 3 was read";
    } catch (const RecordError& error) {
        EXPECT_NE(std::string(error.what()).find("version 3"), std::string::npos) << error.what();
    }

    // A sealed record whose count claims more than it holds.
    GameRecord one;
    one.installs.push_back({});
    std::vector<uint8_t> counted = EncodeGameRecord(one);
    counted.resize(counted.size() - 32);
    counted[18 + 4 + 2] = 0xff;  // the low byte of the count of installs (no layout, no state)
    const archive::Digest resealed = archive::Sha256Of(counted);
    counted.insert(counted.end(), resealed.begin(), resealed.end());
    EXPECT_THROW(DecodeGameRecord(counted), RecordError);
}

// Bytes of a record as the first version wrote it, built field by field:
// a layout, no state, one install whose layout before it is its own copy.
std::vector<uint8_t> FirstVersionRecord(const archive::Layout& layout, const GameInstall& install) {
    std::vector<uint8_t> out;
    const auto number = [&](uint64_t value, int size) {
        for (int i = 0; i < size; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    };
    const auto bytes = [&](const std::vector<uint8_t>& raw) { out.insert(out.end(), raw.begin(), raw.end()); };
    const auto text = [&](const std::string& value) {
        number(value.size(), 4);
        out.insert(out.end(), value.begin(), value.end());
    };
    const auto layoutFields = [&](const archive::Layout& l) {
        out.push_back(1);
        number(l.fileSize, 8);
        number(l.front.size(), 8);
        bytes(l.front);
        number(l.tail.size(), 8);
        bytes(l.tail);
    };
    const std::string mark = "VeltrinInstalls\r\n\x1a";
    out.assign(mark.begin(), mark.end());
    number(1, 4);
    layoutFields(layout);
    out.push_back(0);  // no state
    number(1, 4);
    number(install.folders.size(), 4);
    for (const std::string& folder : install.folders) text(folder);
    out.insert(out.end(), install.modDigest.begin(), install.modDigest.end());
    text(install.computer);
    number(install.time, 8);
    layoutFields(*install.layoutBefore);
    number(install.entries.size(), 4);
    for (const InstallLayer& layer : install.entries) {
        text(layer.name);
        out.push_back(0);  // added
        number(layer.put.size, 8);
        out.insert(out.end(), layer.put.digest.begin(), layer.put.digest.end());
    }
    const archive::Digest seal = archive::Sha256Of(out);
    out.insert(out.end(), seal.begin(), seal.end());
    return out;
}

TEST(GameRecord, TheFirstInstallsLayoutIsStoredOnceAndFirstVersionRecordsStillRead) {
    // A stock archive's layout is about half a megabyte: the first install's
    // layout before it is the record's own and is not written twice.
    GameRecord record;
    record.layout = archive::Layout{Pattern(256 * 1024, 1), Pattern(300, 2), 4000 * 2048};
    GameInstall first;
    first.folders = {R"(D:\Mod A)"};
    first.modDigest = archive::Sha256Of(Pattern(5, 9));
    first.computer = "PLAYER-PC";
    first.time = 1'790'000'000;
    first.layoutBefore = record.layout;
    first.entries.push_back({"veltrin.dff", std::nullopt, {}, {700, archive::Sha256Of(Pattern(700, 6))}});
    record.installs = {first};
    const std::vector<uint8_t> bytes = EncodeGameRecord(record);
    EXPECT_LT(bytes.size(), record.layout->front.size() + 4096);
    const GameRecord back = DecodeGameRecord(bytes);
    ASSERT_TRUE(back.installs.at(0).layoutBefore.has_value());
    EXPECT_EQ(back.installs[0].layoutBefore->front, record.layout->front);
    EXPECT_EQ(back.installs[0].layoutBefore->tail, record.layout->tail);
    EXPECT_EQ(back.installs[0].layoutBefore->fileSize, record.layout->fileSize);
    EXPECT_EQ(back.installs, record.installs);
    std::string why;
    const std::optional<independent::Record> seen = independent::Read(bytes, &why);
    ASSERT_TRUE(seen.has_value()) << why;
    EXPECT_EQ(seen->installs.at(0).frontBefore, record.layout->front);

    // A second install over the first has a layout of its own, written out.
    GameInstall second = first;
    second.folders = {R"(D:\Mod B)"};
    second.layoutBefore = archive::Layout{Pattern(256 * 1024, 7), {}, 4010 * 2048};
    record.installs.push_back(second);
    EXPECT_EQ(DecodeGameRecord(EncodeGameRecord(record)).installs, record.installs);

    // What the first version wrote reads as the same record.
    const GameRecord old = DecodeGameRecord(FirstVersionRecord(*record.layout, first));
    ASSERT_EQ(old.installs.size(), 1u);
    EXPECT_EQ(old.installs[0], first);
    EXPECT_EQ(old.layout->front, record.layout->front);
    ASSERT_TRUE(independent::Read(FirstVersionRecord(*record.layout, first), &why).has_value()) << why;

    // A reference to the record's layout in a record without one is refused.
    std::vector<uint8_t> refers = EncodeGameRecord(record);
    refers.resize(refers.size() - 32);
    // Drop the record's layout (flag and fields) and reseal.
    const size_t layoutBytes = 1 + 8 + 8 + record.layout->front.size() + 8 + record.layout->tail.size();
    refers.erase(refers.begin() + 22, refers.begin() + 22 + static_cast<std::ptrdiff_t>(layoutBytes));
    refers.insert(refers.begin() + 22, 0);
    const archive::Digest seal = archive::Sha256Of(refers);
    refers.insert(refers.end(), seal.begin(), seal.end());
    EXPECT_THROW(DecodeGameRecord(refers), RecordError);
    EXPECT_FALSE(independent::Read(refers, &why).has_value());
}

TEST(GameRecord, AFileThatIsNotOneIsRefusedWhenRead) {
    MemoryFileSystem fs;
    const std::string path = GameRecordPathFor(kArchive);
    fs.SetFile(path, Pattern(300, 1));
    EXPECT_THROW(ReadGameRecord(fs, path), RecordError);
}

}  // namespace
}  // namespace veltrin::tool
