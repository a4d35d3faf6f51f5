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
    other[18] = 2;
    const archive::Digest seal = archive::Sha256Of(other);
    other.insert(other.end(), seal.begin(), seal.end());
    try {
        DecodeGameRecord(other);
        ADD_FAILURE() << "a record of version 2 was read";
    } catch (const RecordError& error) {
        EXPECT_NE(std::string(error.what()).find("version 2"), std::string::npos) << error.what();
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

TEST(GameRecord, AFileThatIsNotOneIsRefusedWhenRead) {
    MemoryFileSystem fs;
    const std::string path = GameRecordPathFor(kArchive);
    fs.SetFile(path, Pattern(300, 1));
    EXPECT_THROW(ReadGameRecord(fs, path), RecordError);
}

}  // namespace
}  // namespace veltrin::tool
