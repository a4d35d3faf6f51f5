// The game's record of installs as a file: where it lies, that it reads back
// as written (and as a reader written apart from the codec reads it), that
// the mod digest names a mod's files whatever their order and case, and that
// a record torn anywhere, changed in any byte or of another version is
// refused rather than trusted.
#include "tool/runs/game_record.h"
#include "tool/runs/record_bytes.h"

#include <gtest/gtest.h>
#include <functional>

#include <string>
#include <vector>

#include "archive/layout_restore.h"
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
    record.LeaveAt(archive::ArchiveState{archive::Sha256Of(Pattern(10, 3)), 125 * 2048}, Pattern(10, 3));
    GameInstall first;
    first.folders = {R"(D:\Downloads\Mod A)", R"(D:\Downloads\Mod A (2))"};
    first.modDigest = archive::Sha256Of(Pattern(5, 9));
    first.computer = "PLAYER-PC";
    first.time = 1'790'000'000;
    first.layoutBefore = archive::Layout{Pattern(2048, 11), {}, 99 * 2048};
    first.entries.push_back(
        {"infernus.dff",
         StoredContent{3 * 2048, archive::Sha256Of(Pattern(3 * 2048, 4)), std::string(64, 'a') + ".pack", 6 * 2048},
         "INFERNUS.DFF",
         {7000, archive::Sha256Of(Pattern(7000, 5))}});
    first.entries.push_back({"veltrin.dff", std::nullopt, {}, {700, archive::Sha256Of(Pattern(700, 6))}});
    GameInstall second;  // above the first in infernus.dff; no computer named
    second.folders = {R"(E:\Mod B é)"};
    second.modDigest = archive::Sha256Of(Pattern(5, 10));
    second.time = 1'790'000'100;
    second.entries.push_back({"INFERNUS.DFF",
                              StoredContent{4 * 2048, archive::Sha256Of(Pattern(4 * 2048, 7)), {}, 0},
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
    const std::optional<GameRecord> read = ReadGameRecord(fs, path, &record.LeftDirectory());
    ASSERT_TRUE(read.has_value());
    ASSERT_TRUE(read->layout.has_value());
    EXPECT_EQ(read->layout->front, record.layout->front);
    EXPECT_EQ(read->layout->tail, record.layout->tail);
    EXPECT_EQ(read->layout->fileSize, record.layout->fileSize);
    EXPECT_EQ(read->left, record.left);
    EXPECT_EQ(read->LeftDirectory(), record.LeftDirectory());
    EXPECT_EQ(read->installs, record.installs);
    EXPECT_EQ(EncodeGameRecord(*read), fs.Contents(path));

    // The layouts are read only against the directory the record left: read
    // without it or against another one (something else changed the
    // archive), the record has none, and everything else is the same.
    const std::vector<uint8_t> other = Pattern(10, 4);
    for (const std::vector<uint8_t>* directory : {static_cast<const std::vector<uint8_t>*>(nullptr), &other}) {
        const std::optional<GameRecord> without = ReadGameRecord(fs, path, directory);
        ASSERT_TRUE(without.has_value());
        EXPECT_FALSE(without->layout.has_value());
        for (const GameInstall& install : without->installs) EXPECT_FALSE(install.layoutBefore.has_value());
        EXPECT_EQ(without->left, record.left);
        EXPECT_TRUE(without->LeftDirectory().empty());
        ASSERT_EQ(without->installs.size(), record.installs.size());
        EXPECT_EQ(without->installs[0].entries, record.installs[0].entries);
        // Written back, it keeps no layout it could not read again.
        EXPECT_FALSE(DecodeGameRecord(EncodeGameRecord(*without), nullptr, &record.LeftDirectory()).layout);
    }
    // A record whose left comes without the directory it names (or with
    // another) is written without layouts, never against bytes a later read
    // would not have.
    GameRecord unnamed = record;
    unnamed.LeaveAt(*record.left, other);
    const GameRecord unnamedBack = DecodeGameRecord(EncodeGameRecord(unnamed), nullptr, &record.LeftDirectory());
    EXPECT_FALSE(unnamedBack.layout.has_value());
    EXPECT_EQ(unnamedBack.installs[0].entries, record.installs[0].entries);

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
    const SaveOfRecord save{
        archive::ArchiveState{archive::Sha256Of(Pattern(40, 5)), 77 * 2048},
        {{"a.dff", PutData{4500, archive::Sha256Of(Pattern(4500, 6))}}, {"gone.txd", std::nullopt}}};
    const std::vector<uint8_t> bytes = EncodeGameRecord(record, save);
    SaveOfRecord decoded;
    (void)DecodeGameRecord(bytes, &decoded);
    EXPECT_EQ(decoded, save);
    std::string why;
    const std::optional<independent::Record> read = independent::Read(bytes, &why, &record.LeftDirectory());
    ASSERT_TRUE(read.has_value()) << why;
    EXPECT_FALSE(read->layoutsUnread);
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
                EXPECT_EQ(other.beforePack, layer.before->pack);
                EXPECT_EQ(other.beforeOffset, layer.before->offset);
                EXPECT_EQ(other.beforeName, layer.beforeName);
            }
            EXPECT_EQ(other.putSize, layer.put.size);
            EXPECT_EQ(other.putHex, Hex(layer.put.digest));
        }
    }
    // The save that wrote it.
    EXPECT_TRUE(read->save.hasFound);
    EXPECT_EQ(read->save.foundHex, Hex(save.found->directory));
    EXPECT_EQ(read->save.foundSize, save.found->fileSize);
    ASSERT_EQ(read->save.puts.size(), 2u);
    EXPECT_EQ(read->save.puts[0].name, "a.dff");
    EXPECT_FALSE(read->save.puts[0].removed);
    EXPECT_EQ(read->save.puts[0].size, 4500u);
    EXPECT_EQ(read->save.puts[0].hex, Hex(save.puts[0].holds->digest));
    EXPECT_EQ(read->save.puts[1].name, "gone.txd");
    EXPECT_TRUE(read->save.puts[1].removed);
    // The independent SHA-256 agrees with the library's.
    EXPECT_EQ(independent::Sha256Hex(Pattern(5000, 3)), Hex(archive::Sha256Of(Pattern(5000, 3))));
}

// The first pass counts what the second writes: a record of half a
// megabyte is written into one buffer of its size, never grown and copied.
TEST(GameRecord, IsWrittenIntoOneBufferOfItsExactSize) {
    const std::vector<uint8_t> bytes = EncodeGameRecord(Sample());
    EXPECT_EQ(bytes.capacity(), bytes.size());
    GameRecord large = Sample();
    archive::Layout larger = *large.layout;
    larger.front = Pattern(512 * 1024, 12);
    large.layout = larger;
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
    other[18] = 7;
    const archive::Digest seal = archive::Sha256Of(other);
    other.insert(other.end(), seal.begin(), seal.end());
    try {
        DecodeGameRecord(other);
        ADD_FAILURE() << "a record of version 7 was read";
    } catch (const RecordError& error) {
        EXPECT_NE(std::string(error.what()).find("version 7"), std::string::npos) << error.what();
    }

    // A sealed record whose count claims more than it holds.
    GameRecord one;
    one.installs.push_back({});
    std::vector<uint8_t> counted = EncodeGameRecord(one);
    counted.resize(counted.size() - 32);
    counted[18 + 4 + 2] = 0xff;  // the low byte of the count of installs (no state, no layout)
    const archive::Digest resealed = archive::Sha256Of(counted);
    counted.insert(counted.end(), resealed.begin(), resealed.end());
    EXPECT_THROW(DecodeGameRecord(counted), RecordError);

    // An original in a pack outside the store, or past the end of any pack:
    // the store would read and remove what the record names.
    for (const auto& [pack, offset] :
         std::vector<std::pair<std::string, uint64_t>>{{R"(..\..\Install.dat)", 0},
                                                       {std::string(64, 'A') + ".pack", 0},
                                                       {std::string(64, 'a') + ".pack", kMaxPackBytes}}) {
        GameRecord bad = Sample();
        bad.installs[0].entries.Own()[0].before->pack = pack;
        bad.installs[0].entries.Own()[0].before->offset = offset;
        EXPECT_THROW(DecodeGameRecord(EncodeGameRecord(bad)), RecordError) << pack << " at " << offset;
        EXPECT_FALSE(independent::Read(EncodeGameRecord(bad)).has_value()) << pack << " at " << offset;
    }
}

// Bytes of a record as versions 1 to 5 wrote it, built field by field: a
// layout (or none), the state left (or none; version 5 writes it first),
// installs whose layout before it is its own copy or, in version 2, a
// reference to the record's. From version 3 a layout is its changes, here one
// run of its own bytes over the whole front, which holds whatever the base;
// from version 4 it ends with an empty save.
std::vector<uint8_t> OlderVersionRecord(uint32_t version, const std::optional<archive::Layout>& layout,
                                        const GameInstall& install, bool refersToRecords, uint32_t installs = 1,
                                        const std::optional<archive::ArchiveState>& left = std::nullopt) {
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
        if (version >= 3) {
            number(l.front.empty() ? 0 : 1, 4);
            if (!l.front.empty()) {
                out.push_back(0);  // its own bytes
                number(0, 8);
                number(l.front.size(), 8);
            }
        }
        bytes(l.front);
        number(l.tail.size(), 8);
        bytes(l.tail);
    };
    const auto leftFields = [&] {
        out.push_back(left ? 1 : 0);
        if (left) {
            out.insert(out.end(), left->directory.begin(), left->directory.end());
            number(left->fileSize, 8);
        }
    };
    const std::string mark = "VeltrinInstalls\r\n\x1a";
    out.assign(mark.begin(), mark.end());
    number(version, 4);
    if (version == 5) leftFields();
    if (layout)
        layoutFields(*layout);
    else
        out.push_back(0);
    if (version < 5) leftFields();
    number(installs, 4);
    for (uint32_t i = 0; i < installs; ++i) {
        number(install.folders.size(), 4);
        for (const std::string& folder : install.folders) text(folder);
        out.insert(out.end(), install.modDigest.begin(), install.modDigest.end());
        text(install.computer);
        number(install.time, 8);
        if (refersToRecords)
            out.push_back(2);
        else
            layoutFields(*install.layoutBefore);
        number(install.entries.size(), 4);
        for (const InstallLayer& layer : install.entries) {
            text(layer.name);
            out.push_back(layer.before ? 1 : 0);
            if (layer.before) {  // of its own in the store, by its SHA-256
                number(layer.before->size, 8);
                out.insert(out.end(), layer.before->digest.begin(), layer.before->digest.end());
                text(layer.beforeName);
            }
            number(layer.put.size, 8);
            out.insert(out.end(), layer.put.digest.begin(), layer.put.digest.end());
        }
    }
    if (version >= 4) {
        out.push_back(0);  // no state found
        number(0, 4);      // no puts
    }
    const archive::Digest seal = archive::Sha256Of(out);
    out.insert(out.end(), seal.begin(), seal.end());
    return out;
}

// A stock gta3.img's front is half a megabyte; each install changes a few of
// its records. The record keeps no copy of it: the first layout is what
// differs from the directory the archive holds now, each later one what
// differs from the one before it, so that the record grows by what each
// install changed (records that moved up a place cost a reference each). It
// reads back whole against that directory, through its own codec and
// through the reader written apart.
// 24 installs over a directory of 16,000 records, each layout what the one
// before it changed, and the directory the last install left.
struct ChainedRecord {
    GameRecord record;
    std::vector<uint8_t> now;
};
ChainedRecord Chained() {
    GameRecord record;
    std::vector<uint8_t> front = Pattern(512 * 1024, 1);
    front.resize(600 * 1024, 0);  // spare room up to the first entry
    record.layout = archive::Layout{front, Pattern(300, 2), 4000 * 2048};
    for (uint32_t i = 0; i < 24; ++i) {
        GameInstall install;
        install.folders = {R"(D:\Mod )" + std::to_string(i)};
        install.modDigest = archive::Sha256Of(Pattern(5, static_cast<uint8_t>(i)));
        install.time = 1'790'000'000 + i;
        install.entries.push_back({"m" + std::to_string(i) + ".dff", std::nullopt, {}, {700, {}}});
        // The install before this one changed 20 records here and there and
        // grew the directory by one.
        for (uint32_t r = 0; r < 20; ++r) {
            const size_t at = 8 + 32 * ((i * 7919u + r * 104729u) % 16000u);
            for (size_t b = 0; b < 32; ++b) front[at + b] ^= static_cast<uint8_t>(i + r + b + 1);
        }
        // A record near the top moved to the end: those after it move up a
        // place.
        if (i % 4 == 1) {
            const auto at = front.begin() + 8 + 32 * (5 + i);
            const std::vector<uint8_t> moved(at, at + 32);
            front.erase(at, at + 32);
            front.insert(front.begin() + 8 + 32 * 16000, moved.begin(), moved.end());
        }
        front.resize(front.size() + (i % 3 == 0 ? 2048 : 0), static_cast<uint8_t>(i));
        if (i % 5 == 4) front.resize(front.size() - 4096);  // an undo took sectors back
        install.layoutBefore = archive::Layout{front, Pattern(i, static_cast<uint8_t>(i)), (4000 + i) * 2048};
        record.installs.push_back(std::move(install));
    }
    record.installs[10].layoutBefore.reset();  // undone out of order once, and none kept since for it
    // The last install changed 20 more records: the directory it left.
    for (uint32_t r = 0; r < 20; ++r) front[8 + 32 * (r * 797u % 16000u)] ^= 0x55;
    const std::vector<uint8_t> now(front.begin(), front.begin() + 8 + 32 * 16006);
    record.LeaveAt({archive::Sha256Of(now), 4030 * 2048}, now);
    return {record, now};
}

TEST(GameRecord, EachLayoutCostsWhatChangedSinceTheOneBeforeIt) {
    const auto [record, now] = Chained();
    const std::vector<uint8_t> bytes = EncodeGameRecord(record);
    EXPECT_LT(bytes.size(), 24 * (20 * 32 + 2048 + 512) + 64 * 1024) << "a layout is kept whole";
    const GameRecord back = DecodeGameRecord(bytes, nullptr, &now);
    ASSERT_TRUE(back.layout.has_value());
    EXPECT_EQ(back.layout->front, record.layout->front);
    EXPECT_EQ(back.layout->tail, record.layout->tail);
    EXPECT_EQ(back.installs, record.installs);
    std::string why;
    const std::optional<independent::Record> seen = independent::Read(bytes, &why, &now);
    ASSERT_TRUE(seen.has_value()) << why;
    EXPECT_EQ(seen->front, record.layout->front);
    for (size_t i = 0; i < record.installs.size(); ++i) {
        const KeptLayout& layout = record.installs[i].layoutBefore;
        ASSERT_EQ(seen->installs.at(i).hasLayoutBefore, layout.has_value()) << i;
        if (!layout) continue;
        EXPECT_EQ(seen->installs[i].frontBefore, layout->front) << i;
        EXPECT_EQ(seen->installs[i].tailBefore, layout->tail) << i;
        EXPECT_EQ(seen->installs[i].layoutBeforeSize, layout->fileSize) << i;
    }
}

// A record read keeps its layouts as the changes it was written as, and
// writes them again as they were only while the layout each was written
// against is still the one written before it. Whatever a run changes in
// the record before writing it again, every layout reads back whole.
TEST(GameRecord, ALayoutReadAndWrittenAgainComesBackWhole) {
    const auto [record, now] = Chained();
    const std::vector<uint8_t> bytes = EncodeGameRecord(record);
    std::vector<uint8_t> other = now;
    for (size_t r = 0; r < 40; ++r) other[8 + 32 * (r * 389u % 16000u) + 3] ^= 0x0f;
    const archive::ArchiveState otherState{archive::Sha256Of(other), 4031 * 2048};
    struct Case {
        const char* what;
        std::function<void(GameRecord&, GameRecord&)> change;  // the record read, and the one expected
    };
    const Case cases[] = {
        {"nothing", [](GameRecord&, GameRecord&) {}},
        {"another directory left",
         [&](GameRecord& read, GameRecord& expected) {
             read.LeaveAt(otherState, other);
             expected.LeaveAt(otherState, other);
         }},
        {"a layout in the middle dropped",
         [](GameRecord& read, GameRecord& expected) {
             for (GameRecord* r : {&read, &expected}) r->installs[5].layoutBefore.reset();
         }},
        {"the record's own layout and the oldest installs gone",
         [](GameRecord& read, GameRecord& expected) {
             for (GameRecord* r : {&read, &expected}) {
                 r->layout.reset();
                 r->installs.erase(r->installs.begin(), r->installs.begin() + 3);
             }
         }},
        {"an install on top, made whole",
         [](GameRecord& read, GameRecord& expected) {
             for (GameRecord* r : {&read, &expected}) {
                 GameInstall top;
                 top.folders = {R"(D:\Top)"};
                 archive::Layout before = *expected.installs.back().layoutBefore;
                 before.front[8 + 32 * 77] ^= 0x21;
                 top.layoutBefore = before;
                 r->installs.push_back(top);
             }
         }},
    };
    for (const Case& item : cases) {
        GameRecord read = DecodeGameRecord(bytes, nullptr, &now);
        GameRecord expected = record;
        item.change(read, expected);
        const std::vector<uint8_t> again = EncodeGameRecord(read);
        if (std::string_view(item.what) == "nothing") {
            EXPECT_EQ(again, bytes) << "written as it was read";
        }
        const GameRecord back = DecodeGameRecord(again, nullptr, &expected.LeftDirectory());
        EXPECT_EQ(back.layout, expected.layout) << item.what;
        EXPECT_EQ(back.installs, expected.installs) << item.what;
        for (size_t i = 0; i < back.installs.size(); ++i)
            ASSERT_EQ(back.installs[i].layoutBefore.has_value(), expected.installs[i].layoutBefore.has_value())
                << item.what << ", install " << i;
    }
}

// A version 3 record of `installs` installs, each with a layout before it
// of no front and no tail (changes of no run), and no layout of its own.
std::vector<uint8_t> ChainOfEmptyLayouts(uint32_t installs) {
    RecordWriter out;
    const std::string_view mark = "VeltrinInstalls\r\n\x1a";
    out.Raw({reinterpret_cast<const uint8_t*>(mark.data()), mark.size()});
    out.U32(3);
    out.Flag(false);  // the record's layout
    out.Flag(false);  // left
    out.U32(installs);
    for (uint32_t i = 0; i < installs; ++i) {
        out.U32(0);                  // folders
        out.Raw(archive::Digest{});  // mod digest
        out.Text("");                // computer
        out.U64(i);                  // time
        out.Flag(true);              // layout before
        out.U64(i + 1);              // file size
        out.U64(0);                  // front length
        out.U32(0);                  // runs
        out.U64(0);                  // tail length
        out.U32(0);                  // entries
    }
    out.Seal();
    return std::move(out.bytes);
}

// A record of many installs each with a layout before it (nothing bounds
// how long the chain of layouts read is) is read and let go again without
// going one call deeper for each layout.
TEST(GameRecord, ALongChainOfLayoutsReadIsLetGo) {
    constexpr uint32_t kInstalls = 200000;
    const std::vector<uint8_t> bytes = ChainOfEmptyLayouts(kInstalls);
    {
        const GameRecord read = DecodeGameRecord(bytes);
        ASSERT_EQ(read.installs.size(), kInstalls);
        ASSERT_TRUE(read.installs.back().layoutBefore.has_value());
        EXPECT_EQ(read.installs.back().layoutBefore->fileSize, kInstalls);
        EXPECT_TRUE(read.installs.back().layoutBefore->front.empty());
    }  // the record, and its chain of layouts, is let go here
}

// Layouts of archives whose first entry lies far from the directory take
// megabytes each once read: the record keeps those of the newest installs
// that fit in kMaxLayoutsInMemory, so that what it writes it can always read
// again; and a record that claims more, however small its file, is refused
// before anything that large is made.
TEST(GameRecord, TheLayoutsKeptFitWhatAnyRunCanReadAgain) {
    GameRecord record;
    archive::Layout first{std::vector<uint8_t>(archive::kMaxLayoutFront, 0), {}, 9000 * 2048};
    first.front[0] = 1;
    record.layout = first;
    for (size_t i = 0; i < 12; ++i) {
        GameInstall install;
        install.folders = {R"(D:\Mod )" + std::to_string(i)};
        archive::Layout before = first;
        before.front[8 + i] = 2;
        install.layoutBefore = before;
        record.installs.push_back(std::move(install));
    }
    const std::vector<uint8_t> bytes = EncodeGameRecord(record);
    EXPECT_LT(bytes.size(), 64u * 1024);
    const GameRecord back = DecodeGameRecord(bytes);
    ASSERT_TRUE(back.layout.has_value());
    size_t kept = 0;
    for (size_t i = 0; i < back.installs.size(); ++i) {
        if (!back.installs[i].layoutBefore) {
            EXPECT_EQ(kept, 0u) << "install " << i << " lost its layout while an older one kept its own";
            continue;
        }
        ++kept;
        EXPECT_EQ(back.installs[i].layoutBefore->front, record.installs[i].layoutBefore->front) << i;
    }
    EXPECT_EQ(kept, kMaxLayoutsInMemory / archive::kMaxLayoutFront - 1);

    // A forged record: many installs, each claiming a front of the largest
    // size with nothing changed.
    std::vector<uint8_t> forged(bytes.begin(), bytes.end() - 32);
    forged.resize(18 + 4);
    forged.push_back(0);  // no layout
    forged.push_back(0);  // no state
    const auto number = [&](uint64_t value, int size) {
        for (int b = 0; b < size; ++b) forged.push_back(static_cast<uint8_t>(value >> (8 * b)));
    };
    number(1000, 4);
    for (int i = 0; i < 1000; ++i) {
        number(0, 4);                         // no folder
        forged.insert(forged.end(), 32, 0);   // mod digest
        number(0, 4);                         // no computer
        number(0, 8);                         // time
        forged.push_back(1);                  // a layout before it
        number(0, 8);                         // file size
        number(archive::kMaxLayoutFront, 8);  // its front
        number(0, 4);                         // no runs
        number(0, 8);                         // no tail
        number(0, 4);                         // no entries
    }
    const archive::Digest seal = archive::Sha256Of(forged);
    forged.insert(forged.end(), seal.begin(), seal.end());
    EXPECT_THROW(DecodeGameRecord(forged), RecordError);
    std::string why;
    EXPECT_FALSE(independent::Read(forged, &why).has_value());
}

TEST(GameRecord, RecordsOfEarlierVersionsStillRead) {
    const archive::Layout layout{Pattern(64 * 1024, 1), Pattern(300, 2), 4000 * 2048};
    GameInstall first;
    first.folders = {R"(D:\Mod A)"};
    first.modDigest = archive::Sha256Of(Pattern(5, 9));
    first.computer = "PLAYER-PC";
    first.time = 1'790'000'000;
    first.layoutBefore = archive::Layout{Pattern(64 * 1024, 3), {}, 4001 * 2048};
    first.entries.push_back({"veltrin.dff", std::nullopt, {}, {700, archive::Sha256Of(Pattern(700, 6))}});
    // With an entry it replaced, its original in a file of its own.
    GameInstall replaced = first;
    replaced.entries.push_back({"infernus.dff",
                                StoredContent{2048, archive::Sha256Of(Pattern(2048, 8)), {}, 0},
                                "INFERNUS.DFF",
                                {900, archive::Sha256Of(Pattern(900, 9))}});
    std::string why;
    // Their layouts are written against nothing, read with or without the
    // archive's directory (version 5's against the directory its left names,
    // read with it). Written again, they are written against it.
    // The directory now: the layout's, with one record changed.
    std::vector<uint8_t> directory(layout.front.begin(), layout.front.begin() + 8 + 32 * 40);
    directory[8 + 32 * 3] ^= 0x11;
    const archive::ArchiveState left{archive::Sha256Of(directory), 4000 * 2048};
    for (const uint32_t version : {1u, 2u, 3u, 4u, 5u}) {
        const std::vector<uint8_t> old = OlderVersionRecord(version, layout, replaced, false, 1, left);
        for (const std::vector<uint8_t>* now : {static_cast<const std::vector<uint8_t>*>(nullptr),
                                                static_cast<const std::vector<uint8_t>*>(&directory)}) {
            if (version == 5 && !now) continue;  // written against the directory: read only with it
            const GameRecord read = DecodeGameRecord(old, nullptr, now);
            ASSERT_EQ(read.installs.size(), 1u) << version;
            EXPECT_EQ(read.installs[0], replaced) << version;
            ASSERT_TRUE(read.layout.has_value()) << version;
            EXPECT_EQ(read.layout->front, layout.front) << version;
            EXPECT_EQ(read.left, left) << version;
            EXPECT_EQ(read.LeftDirectory(), now ? directory : std::vector<uint8_t>{}) << version;
            const std::optional<independent::Record> seen = independent::Read(old, &why, now);
            ASSERT_TRUE(seen.has_value()) << why;
            EXPECT_EQ(seen->front, layout.front) << version;
        }
        const std::vector<uint8_t> again = EncodeGameRecord(DecodeGameRecord(old, nullptr, &directory));
        EXPECT_LT(again.size(), old.size()) << version << ": the first layout is not written against the directory";
        const GameRecord back = DecodeGameRecord(again, nullptr, &directory);
        ASSERT_TRUE(back.layout.has_value()) << version;
        EXPECT_EQ(back.layout->front, layout.front) << version;
        EXPECT_EQ(back.installs.at(0), replaced) << version;
    }
    // Version 2's reference to the record's layout.
    GameInstall same = first;
    same.layoutBefore = layout;
    EXPECT_EQ(DecodeGameRecord(OlderVersionRecord(2, layout, same, true)).installs.at(0), same);
    // A reference in a record without a layout is refused.
    const std::vector<uint8_t> refers = OlderVersionRecord(2, std::nullopt, same, true);
    EXPECT_THROW(DecodeGameRecord(refers), RecordError);
    EXPECT_FALSE(independent::Read(refers, &why).has_value());
    // Each reference is a copy once read: an 8 MiB file of many of them
    // would take gigabytes.
    const archive::Layout large{std::vector<uint8_t>(archive::kMaxLayoutFront, 7), {}, 9000 * 2048};
    const std::vector<uint8_t> many = OlderVersionRecord(2, large, same, true, 1000);
    EXPECT_LT(many.size(), archive::kMaxLayoutFront + 200 * 1000);
    EXPECT_THROW(DecodeGameRecord(many), RecordError);
    EXPECT_FALSE(independent::Read(many, &why).has_value());
    // Whole layouts are the file's own bytes: a record of many installs, as
    // the earlier version wrote it, reads however many layouts it holds.
    GameInstall own = first;
    own.layoutBefore = archive::Layout{std::vector<uint8_t>(1 << 20, 3), {}, 9000 * 2048};
    const std::vector<uint8_t> large2 = OlderVersionRecord(2, std::nullopt, own, false, 66);
    EXPECT_EQ(DecodeGameRecord(large2).installs.size(), 66u);
    EXPECT_TRUE(independent::Read(large2, &why).has_value()) << why;
}

TEST(GameRecord, AFileThatIsNotOneIsRefusedWhenRead) {
    MemoryFileSystem fs;
    const std::string path = GameRecordPathFor(kArchive);
    fs.SetFile(path, Pattern(300, 1));
    EXPECT_THROW(ReadGameRecord(fs, path), RecordError);
}

}  // namespace
}  // namespace veltrin::tool
