// What a commit writes where: replacements in place or moved, additions,
// removals, free entries, the end cut off, the first entries moved for the
// directory, and the rewrite where the layout or the game's fixed table
// forbids a move. Every archive a case leaves is checked against the
// game's rules by a reader written apart from the library.
#include <gtest/gtest.h>

#include <cctype>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "archive/archive.h"
#include "archive/names.h"
#include "archive/sha256.h"
#include "archive_builder.h"
#include "img_rules.h"
#include "testing/memory_file_system.h"

namespace veltrin::archive {
namespace {

using testing::MemoryFileSystem;
using testing::Pattern;
using testing::RawArchive;
using testing::RawEntry;
using testing::SoundArchive;

const std::string kGta3 = "models/gta3.img";
const std::string kPlayer = "models/player.img";

using Records = std::vector<std::tuple<std::string, uint32_t, uint32_t>>;  // name, offset, sectors

Records RecordsOf(const Archive& archive) {
    Records records;
    for (const Entry& record : archive.Records()) records.emplace_back(record.name, record.offset, record.sectors);
    return records;
}

// Every entry's stored bytes, by name; and that every free entry holds zeros.
std::map<std::string, std::vector<uint8_t>> ContentOf(const std::vector<uint8_t>& bytes, const std::string& what) {
    std::map<std::string, std::vector<uint8_t>> content;
    const auto parsed = veltrin::testing::img::Parse(bytes);
    if (!parsed) {
        ADD_FAILURE() << what << ": not an archive";
        return content;
    }
    for (const auto& record : parsed->records) {
        const auto start = bytes.begin() + static_cast<std::ptrdiff_t>(uint64_t{record.offset} * kSectorSize);
        const std::vector<uint8_t> stored(start, start + static_cast<std::ptrdiff_t>(record.streaming * kSectorSize));
        if (veltrin::testing::img::GameTakes(record.name))
            content[record.name] = stored;
        else
            EXPECT_TRUE(std::all_of(stored.begin(), stored.end(), [](uint8_t b) { return b == 0; }))
                << what << ": free entry " << record.name << " is not zeroed";
    }
    return content;
}

std::vector<uint8_t> Stored(std::vector<uint8_t> bytes, uint32_t sectors) {
    bytes.resize(size_t{sectors} * kSectorSize, 0);
    return bytes;
}

void ExpectRules(const std::vector<uint8_t>& bytes, const std::string& what) {
    EXPECT_EQ(veltrin::testing::img::GameRuleProblems(bytes), std::vector<std::string>{}) << what;
}

// a.dff 2 sectors, b.txd 1, c.dff 3, d.txd 1: data from sector 1 to 8.
std::vector<uint8_t> Base() { return SoundArchive({{"a.dff", 2}, {"b.txd", 1}, {"c.dff", 3}, {"d.txd", 1}}); }

// The base with a free run of 3 sectors where c.dff was.
std::vector<uint8_t> WithFree() {
    std::vector<uint8_t> bytes =
        RawArchive({{"a.dff", 1, 2}, {"b.txd", 3, 1}, {"~free-4", 4, 3}, {"d.txd", 7, 1}}, 8 * 2048);
    std::fill(bytes.begin() + 4 * 2048, bytes.begin() + 7 * 2048, 0);
    return bytes;
}

struct PlanCase {
    const char* what;
    std::vector<uint8_t> archive;
    std::function<void(Archive&)> change;
    bool inPlace;
    Records records;   // after
    uint32_t sectors;  // the file's size after, in sectors
    Archive::Fit fit = Archive::Fit::AllowPadding;
};

TEST(ArchivePlan, WritesOnlyWhatChangesWhereTheGameReadsItRight) {
    std::vector<std::pair<std::string, uint16_t>> full;
    for (int i = 0; i < 63; ++i) full.push_back({"e" + std::to_string(i) + ".dff", 1});
    const std::vector<PlanCase> cases = {
        {"a smaller replacement goes in place, padded",
         Base(),
         [](Archive& a) { a.Put("c.dff", Pattern(100, 1)); },
         true,
         {{"a.dff", 1, 2}, {"b.txd", 3, 1}, {"c.dff", 4, 3}, {"d.txd", 7, 1}},
         8},
        {"a larger one moves to the end; its sectors become a free entry",
         Base(),
         [](Archive& a) { a.Put("B.TXD", Pattern(5000, 1)); },
         true,
         {{"a.dff", 1, 2}, {"~free-3", 3, 1}, {"c.dff", 4, 3}, {"d.txd", 7, 1}, {"B.TXD", 8, 3}},
         11},
        {"one that fits a free entry goes there; the rest stays free",
         WithFree(),
         [](Archive& a) { a.Put("a.dff", Pattern(4097, 1)); },
         true,
         {{"~free-1", 1, 2}, {"b.txd", 3, 1}, {"a.dff", 4, 3}, {"d.txd", 7, 1}},
         8},
        {"an addition takes the smallest free run it fits, the remainder stays free",
         WithFree(),
         [](Archive& a) { a.Put("x.dff", Pattern(3000, 1)); },
         true,
         {{"a.dff", 1, 2}, {"b.txd", 3, 1}, {"x.dff", 4, 2}, {"~free-6", 6, 1}, {"d.txd", 7, 1}},
         8},
        {"an addition that fits nowhere goes to the end",
         Base(),
         [](Archive& a) { a.Put("e.dff", Pattern(5000, 1)); },
         true,
         {{"a.dff", 1, 2}, {"b.txd", 3, 1}, {"c.dff", 4, 3}, {"d.txd", 7, 1}, {"e.dff", 8, 3}},
         11},
        {"a removal at the end cuts the file",
         Base(),
         [](Archive& a) { a.Remove("d.txd"); },
         true,
         {{"a.dff", 1, 2}, {"b.txd", 3, 1}, {"c.dff", 4, 3}},
         7},
        {"free space that ends up last is cut too",
         WithFree(),
         [](Archive& a) { a.Remove("d.txd"); },
         true,
         {{"a.dff", 1, 2}, {"b.txd", 3, 1}},
         4},
        {"no free entry is larger than the largest entry: it splits",
         Base(),
         [](Archive& a) { a.Remove("c.dff"); },
         true,
         {{"a.dff", 1, 2}, {"b.txd", 3, 1}, {"~free-4", 4, 2}, {"~free-6", 6, 1}, {"d.txd", 7, 1}},
         8},
        {"free neighbours merge into one entry",
         WithFree(),
         [](Archive& a) { a.Remove("b.txd"); },
         true,
         {{"a.dff", 1, 2}, {"~free-3", 3, 2}, {"~free-5", 5, 2}, {"d.txd", 7, 1}},
         8},
        {"data asks for its old sectors and gets them",
         WithFree(),
         [](Archive& a) { a.Put("x.dff", Pattern(100, 1), Placement{6}); },
         true,
         {{"a.dff", 1, 2}, {"b.txd", 3, 1}, {"~free-4", 4, 2}, {"x.dff", 6, 1}, {"d.txd", 7, 1}},
         8},
        {"with exact sizes a smaller replacement moves",
         Base(),
         [](Archive& a) { a.Put("c.dff", Pattern(100, 1)); },
         true,
         {{"a.dff", 1, 2}, {"b.txd", 3, 1}, {"c.dff", 4, 1}, {"~free-5", 5, 2}, {"d.txd", 7, 1}},
         8,
         Archive::Fit::Exact},
        {"the directory grows: the first entry moves to the end", SoundArchive(full),
         [](Archive& a) { a.Put("last.dff", Pattern(100, 1)); }, true,
         [] {
             Records r;
             for (uint32_t i = 1; i < 63; ++i) r.emplace_back("e" + std::to_string(i) + ".dff", i + 1, 1);
             r.emplace_back("last.dff", 64, 1);
             r.emplace_back("e0.dff", 65, 1);
             return r;
         }(),
         66},
        {"a layout that is not sound is written anew, with room for more records",
         RawArchive({{"a.dff", 1, 1}, {"b.dff", 3, 1}}, 4 * 2048),
         [](Archive& a) { a.Put("a.dff", Pattern(5, 1)); },
         false,
         {{"a.dff", 17, 1}, {"b.dff", 18, 1}},
         19},
    };
    for (const PlanCase& c : cases) {
        MemoryFileSystem fs;
        fs.SetFile(kGta3, c.archive);
        Archive archive = Archive::Open(kGta3, fs);
        std::map<std::string, std::vector<uint8_t>> before;
        for (const Entry& entry : archive.Entries()) before[entry.name] = archive.Read(entry);
        c.change(archive);
        const CommitStats stats = archive.Commit({}, c.fit);
        EXPECT_EQ(stats.inPlace, c.inPlace) << c.what;
        EXPECT_EQ(RecordsOf(archive), c.records) << c.what;
        const std::vector<uint8_t> bytes = fs.Contents(kGta3);
        EXPECT_EQ(bytes.size(), size_t{c.sectors} * kSectorSize) << c.what;
        ExpectRules(bytes, c.what);
        EXPECT_TRUE(Verify(kGta3, fs).empty()) << c.what;
        // Entries the change left alone hold what they held.
        const auto content = ContentOf(bytes, c.what);
        for (const auto& [name, stored] : content)
            if (before.count(name) && name != "c.dff" && name != "a.dff" && name != "B.TXD") {
                EXPECT_EQ(stored, before[name]) << c.what << ": " << name;
            }
    }
}

TEST(ArchivePlan, WhatMovesHoldsItsNewBytes) {
    MemoryFileSystem fs;
    fs.SetFile(kGta3, WithFree());
    fs.SetFile("mod/a.dff", Pattern(4097, 9));
    Archive archive = Archive::Open(kGta3, fs);
    const std::vector<uint8_t> d = archive.Read(*archive.Find("d.txd"));
    EXPECT_TRUE(archive.PutFile("A.DFF", "mod/a.dff"));
    EXPECT_FALSE(archive.Put("new.txd", Pattern(10, 3)));
    archive.Commit();
    const auto content = ContentOf(fs.Contents(kGta3), "moved");
    EXPECT_EQ(content.at("A.DFF"), Stored(Pattern(4097, 9), 3));
    EXPECT_EQ(content.at("new.txd"), Stored(Pattern(10, 3), 1));
    EXPECT_EQ(content.at("d.txd"), d);
    EXPECT_EQ(archive.Free().entries, 1u);
}

// player.img: the game copies 550 records into its table; a record within
// them must never move past them. A replacement that would move there is
// written anew instead, keeping every record's place.
TEST(ArchivePlan, PlayerImgKeepsEveryRecordOfTheGamesTableInIt) {
    std::vector<std::pair<std::string, uint16_t>> entries;
    for (int i = 0; i < 550; ++i) entries.push_back({"c" + std::to_string(i) + ".dff", 1});
    for (const std::string& path : {kPlayer, kGta3}) {
        MemoryFileSystem fs;
        fs.SetFile(path, SoundArchive(entries));
        const std::vector<uint8_t> before = fs.Contents(path);
        Archive archive = Archive::Open(path, fs);
        archive.Put("c0.dff", Pattern(3000, 1));  // larger: it would move to the end, position 550
        const bool inPlace = archive.Commit().inPlace;
        const std::vector<uint8_t> after = fs.Contents(path);
        ExpectRules(after, path);
        if (path == kPlayer) {
            EXPECT_FALSE(inPlace);
            EXPECT_EQ(veltrin::testing::img::FixedTableProblems(before, after), std::vector<std::string>{});
            EXPECT_EQ(archive.Records().front().name, "c0.dff");
        } else {
            EXPECT_TRUE(inPlace) << "gta3.img has no such table";
            EXPECT_EQ(archive.Records().back().name, "c0.dff");
        }
    }
}

// Twins: another tool may leave a.dff and A.DFF in one archive. The game
// reads the first in directory order; the archive reaches only that one by
// name. A change of it must leave it first, wherever its data goes.
TEST(ArchivePlan, TheTwinTheGameReadsStaysTheOneItReads) {
    namespace img = veltrin::testing::img;
    std::vector<std::pair<std::string, uint16_t>> full;
    for (int i = 0; i < 63; ++i) full.push_back({i == 40 ? "E0.DFF" : "e" + std::to_string(i) + ".dff", 1});
    std::vector<uint8_t> freeBehind =
        RawArchive({{"a.dff", 1, 1}, {"A.DFF", 2, 1}, {"~free-3", 3, 2}, {"c.txd", 5, 1}}, 6 * 2048);
    std::fill(freeBehind.begin() + 3 * 2048, freeBehind.begin() + 5 * 2048, 0);
    struct Case {
        const char* what;
        std::vector<uint8_t> archive;
        std::string name;  // put under this spelling
        std::vector<uint8_t> data;
        Placement placement;
        Archive::Fit fit;
    };
    const auto twins = [] { return SoundArchive({{"a.dff", 2}, {"b.dff", 1}, {"A.DFF", 1}, {"c.txd", 1}}); };
    const Archive::Fit padding = Archive::Fit::AllowPadding;
    const Case cases[] = {
        {"a larger replacement of the first twin", twins(), "a.dff", Pattern(5000, 7), {}, padding},
        {"in another spelling", twins(), "A.dFF", Pattern(5000, 7), {}, padding},
        {"the same spelling twice, with exact sizes",
         SoundArchive({{"a.dff", 2}, {"b.dff", 1}, {"a.dff", 3}, {"c.txd", 1}}),
         "a.dff",
         Pattern(5000, 7),
         {},
         Archive::Fit::Exact},
        {"one that asks for sectors behind the twin", freeBehind, "a.dff", Pattern(3000, 7), Placement{3}, padding},
        {"the first twin in the way of a growing directory",
         SoundArchive(full),
         "last.dff",
         Pattern(100, 7),
         {},
         padding},
    };
    for (const Case& c : cases) {
        MemoryFileSystem fs;
        fs.SetFile(kGta3, c.archive);
        Archive archive = Archive::Open(kGta3, fs);
        const auto readBefore = img::GameReads(c.archive);
        EXPECT_EQ(archive.Put(c.name, c.data, c.placement), readBefore.count(FoldedName(c.name)) == 1) << c.what;
        archive.Commit({}, c.fit);

        const std::vector<uint8_t> after = fs.Contents(kGta3);
        EXPECT_EQ(img::TwinProblems(c.archive, after), std::vector<std::string>{}) << c.what;
        EXPECT_EQ(img::GameRuleProblems(after, img::TwinNames(c.archive)), std::vector<std::string>{}) << c.what;
        for (const std::string& problem : Verify(kGta3, fs))
            EXPECT_NE(problem.find("has the same name as"), std::string::npos) << c.what << ": " << problem;
        // The game reads the new data under the name put, and every other
        // name's entry as it was.
        const auto readAfter = img::GameReads(after);
        for (const auto& [name, read] : readAfter) {
            if (name == FoldedName(c.name)) {
                EXPECT_EQ(read.bytes, Stored(c.data, static_cast<uint32_t>(read.bytes.size() / kSectorSize)))
                    << c.what << ": the game reads record " << read.record << " \"" << read.name << "\"";
            } else {
                ASSERT_TRUE(readBefore.count(name)) << c.what << ": " << name;
                EXPECT_EQ(read.bytes, readBefore.at(name).bytes)
                    << c.what << ": the game reads record " << read.record << " \"" << read.name << "\"";
            }
        }
    }
}

// player.img of 600 records whose first record's data lies last, as other
// editors leave it, and a free entry within the table. The game finds
// clothes by name among the table's records, first match: the rebuild keeps
// player.img's directory order (its data follows it), so that no record of
// the table leaves it and no twin overtakes another; only free entries go.
// Records past the table are ones the game never sees: the full check names
// each of them, in player.img only.
std::vector<uint8_t> TorsoStoredLast(size_t count) {
    std::vector<RawEntry> raw;
    raw.push_back({"torso.dff", static_cast<uint32_t>(20 + count), 2});
    raw.push_back({"~free-14", 20, 1});
    for (size_t i = 2; i < count; ++i)
        raw.push_back({"c" + std::to_string(i) + ".dff", static_cast<uint32_t>(19 + i), 1});
    std::vector<uint8_t> bytes = RawArchive(raw, (22 + count) * kSectorSize);
    for (size_t at = 20 * kSectorSize; at < bytes.size(); ++at) bytes[at] = static_cast<uint8_t>(at / kSectorSize);
    std::fill_n(bytes.begin() + 20 * kSectorSize, kSectorSize, 0);
    return bytes;
}

TEST(ArchivePlan, RebuildOfPlayerImgKeepsEveryRecordOfTheGamesTableInIt) {
    for (const std::string& path : {kPlayer, kGta3}) {
        MemoryFileSystem fs;
        fs.SetFile(path, TorsoStoredLast(600));
        const std::vector<uint8_t> before = fs.Contents(path);
        const auto content = ContentOf(before, "before");
        Rebuild(path, {}, fs);
        const std::vector<uint8_t> after = fs.Contents(path);
        ExpectRules(after, path);
        EXPECT_EQ(ContentOf(after, "rebuilt"), content) << path;
        const Archive archive = Archive::Open(path, fs);
        ASSERT_EQ(archive.Records().size(), 599u) << path << ": the free entry goes";
        if (path == kPlayer) {
            EXPECT_EQ(veltrin::testing::img::FixedTableProblems(before, after),
                      std::vector<std::string>{"record 1 \"~free-14\" is gone after the change"});
            EXPECT_EQ(archive.Records().front().name, "torso.dff");
            EXPECT_EQ(archive.Records()[548].name, "c549.dff") << "the last of the table's records";
            EXPECT_EQ(archive.Records()[549].name, "c550.dff") << "the first record past it comes into it";
        } else {
            EXPECT_EQ(archive.Records().back().name, "torso.dff") << "data order";
        }
    }
}

TEST(ArchivePlanVerify, NamesTheEntriesOfPlayerImgPastTheGamesTable) {
    for (const std::string& path : {kPlayer, kGta3}) {
        MemoryFileSystem fs;
        std::vector<std::pair<std::string, uint16_t>> entries;
        for (int i = 0; i < 552; ++i) entries.push_back({"c" + std::to_string(i) + ".dff", 1});
        entries.push_back({"~free-231", 1});  // at sector 9 + 552: nothing the game misses
        fs.SetFile(path, SoundArchive(entries, 9));
        const std::vector<std::string> problems = Verify(path, fs);
        if (path == kGta3) {
            EXPECT_EQ(problems, std::vector<std::string>{}) << "gta3.img has no such table";
            continue;
        }
        ASSERT_EQ(problems.size(), 2u) << ::testing::PrintToString(problems);
        EXPECT_NE(problems[0].find("\"c550.dff\""), std::string::npos) << problems[0];
        EXPECT_NE(problems[0].find("551"), std::string::npos) << problems[0];
        EXPECT_NE(problems[0].find("550"), std::string::npos) << problems[0];
        EXPECT_NE(problems[1].find("\"c551.dff\""), std::string::npos) << problems[1];
    }
}

TEST(ArchivePlan, RebuildDropsFreeEntries) {
    MemoryFileSystem fs;
    fs.SetFile(kGta3, WithFree());
    Rebuild(kGta3, {}, fs);
    const Archive archive = Archive::Open(kGta3, fs);
    EXPECT_EQ(archive.Free().entries, 0u);
    EXPECT_EQ(archive.Records().size(), 3u);
    ExpectRules(fs.Contents(kGta3), "rebuilt");
}

// Another tool's archive whose data lies out of directory order, twins
// among it: the rebuild puts entries in data order, but the game must read
// the same twin after it.
TEST(ArchivePlan, RebuildKeepsTheTwinTheGameReads) {
    namespace img = veltrin::testing::img;
    MemoryFileSystem fs;
    const std::vector<uint8_t> before =
        RawArchive({{"a.dff", 4, 1}, {"b.txd", 1, 1}, {"A.DFF", 2, 1}, {"c.dff", 5, 1}, {"a.DFF", 3, 1}}, 6 * 2048);
    fs.SetFile(kGta3, before);
    Rebuild(kGta3, {}, fs);
    const std::vector<uint8_t> after = fs.Contents(kGta3);
    EXPECT_EQ(img::TwinProblems(before, after), std::vector<std::string>{});
    EXPECT_EQ(img::GameRuleProblems(after, {"a.dff"}), std::vector<std::string>{});
    const auto readBefore = img::GameReads(before);
    const auto readAfter = img::GameReads(after);
    ASSERT_EQ(readAfter.size(), readBefore.size());
    for (const auto& [name, read] : readBefore)
        EXPECT_EQ(readAfter.at(name).bytes, read.bytes)
            << name << ": the game reads record " << readAfter.at(name).record << " \"" << readAfter.at(name).name
            << "\"";
}

TEST(ArchivePlan, NoEntryMayTakeAFreeEntrysName) {
    MemoryFileSystem fs;
    fs.SetFile(kGta3, Base());
    Archive archive = Archive::Open(kGta3, fs);
    for (const char* name : {"~free-3", "~FREE-12", "~free-x.dff"}) {
        try {
            archive.Put(name, Pattern(10, 1));
            ADD_FAILURE() << name;
        } catch (const ArchiveError& error) {
            EXPECT_EQ(error.kind(), ErrorKind::BadName) << name;
        }
    }
    EXPECT_NO_THROW(archive.Put("~freeze.dff", Pattern(10, 1)));
}

// Another tool's entry whose name only looks like one of our free entries
// (its number is not its own sector) holds data: it is kept, not reused.
TEST(ArchivePlan, AnEntryNamedLikeFreeSpaceButNotAtItsSectorIsKept) {
    MemoryFileSystem fs;
    fs.SetFile(kGta3, RawArchive({{"a.dff", 1, 1}, {"~free-1A", 2, 2}, {"c.dff", 4, 1}}, 5 * 2048));
    const std::vector<uint8_t> itsData = Pattern(2 * 2048, 1);
    Archive archive = Archive::Open(kGta3, fs);
    EXPECT_EQ(archive.Free().entries, 0u);
    archive.Put("a.dff", Pattern(3000, 9));  // two sectors: as large as the look-alike
    archive.Commit();
    const Archive after = Archive::Open(kGta3, fs);
    const Entry* kept = after.Find("~free-1A");
    ASSERT_NE(kept, nullptr) << "taken for free space";
    EXPECT_EQ(after.Read(*kept), itsData);
    EXPECT_EQ(after.Read(*after.Find("a.dff")), Stored(Pattern(3000, 9), 2));
}

// The layout an archive had, given back: byte for byte the archive before
// the changes, whatever they moved.
TEST(ArchivePlan, RestoringTheLayoutGivesTheArchiveBackByteForByte) {
    std::vector<std::pair<std::string, uint16_t>> full;
    for (int i = 0; i < 63; ++i) full.push_back({"e" + std::to_string(i) + ".dff", static_cast<uint16_t>(1 + i % 3)});
    struct Case {
        const char* what;
        std::vector<uint8_t> archive;
        std::vector<std::pair<std::string, size_t>> puts;  // name, bytes
    };
    const Case cases[] = {
        {"larger replacements", Base(), {{"a.dff", 9000}, {"b.txd", 3000}}},
        {"smaller replacements", Base(), {{"c.dff", 100}, {"a.dff", 10}}},
        {"replacements and additions", WithFree(), {{"a.dff", 9000}, {"new.dff", 2000}, {"d.txd", 10}}},
        {"the first entries moved for the directory", SoundArchive(full), {{"new1.dff", 100}, {"new2.txd", 100}}},
    };
    for (const Case& c : cases) {
        MemoryFileSystem fs;
        fs.SetFile(kGta3, c.archive);
        Archive archive = Archive::Open(kGta3, fs);
        const Layout layout = archive.CurrentLayout();
        std::map<std::string, FilePart> originals;
        uint32_t seed = 1;
        for (const auto& [name, size] : c.puts) {
            if (const Entry* entry = archive.Find(name)) {
                const std::vector<uint8_t> stored = archive.Read(*entry);
                fs.SetFile("backup/" + name, stored);
                originals[name] = {"backup/" + name, 0, stored.size()};
            }
            archive.Put(name, Pattern(size, seed++));
        }
        archive.Commit();
        ASSERT_NE(fs.Contents(kGta3), c.archive) << c.what;
        ExpectRules(fs.Contents(kGta3), c.what);
        const CommitStats stats = archive.RestoreLayout(layout, originals);
        EXPECT_TRUE(stats.inPlace) << c.what;
        EXPECT_EQ(HexOf(Sha256Of(fs.Contents(kGta3))), HexOf(Sha256Of(c.archive))) << c.what;
        EXPECT_EQ(fs.Paths().size(), originals.size() + 1) << c.what << ": nothing left beside the archive";
    }
}

// Twins whose data moved (no original of either): each gets its own bytes
// back, whatever their sizes.
TEST(ArchivePlan, RestoringTheLayoutGivesEachTwinItsOwnBytes) {
    for (const uint16_t twinSectors : {uint16_t{1}, uint16_t{2}}) {
        std::vector<std::pair<std::string, uint16_t>> full;
        for (int i = 0; i < 63; ++i) full.push_back({"e" + std::to_string(i) + ".dff", 1});
        full[40] = {"E0.DFF", twinSectors};
        const std::vector<uint8_t> original = SoundArchive(full);
        MemoryFileSystem fs;
        fs.SetFile(kGta3, original);
        Archive archive = Archive::Open(kGta3, fs);
        const Layout layout = archive.CurrentLayout();
        archive.Put("new.dff", Pattern(100, 3));  // the directory grows: the first entries move
        archive.Commit();
        ASSERT_NE(fs.Contents(kGta3), original);
        EXPECT_NO_THROW(archive.RestoreLayout(layout, {})) << twinSectors;
        EXPECT_EQ(veltrin::testing::img::TwinProblems(original, fs.Contents(kGta3)), std::vector<std::string>{})
            << twinSectors;
        EXPECT_EQ(HexOf(Sha256Of(fs.Contents(kGta3))), HexOf(Sha256Of(original))) << twinSectors;
    }
}

// Twins (a.dff and A.DFF, from another editor) that came to lie in the other
// order: each goes back with its own bytes, found by its spelling. Of twins
// of one spelling, the first now is the first before.
TEST(ArchivePlan, RestoringTheLayoutGivesTwinsThatChangedPlacesTheirOwnBytes) {
    const std::vector<uint8_t> before =
        RawArchive({{"a.dff", 1, 1, 0}, {"A.DFF", 2, 1, 0}, {"b.txd", 3, 1, 0}}, 4 * 2048);
    std::vector<uint8_t> swapped = before;  // the twins' records and data change places
    std::swap_ranges(swapped.begin() + 8, swapped.begin() + 40, swapped.begin() + 40);
    std::swap_ranges(swapped.begin() + 2048, swapped.begin() + 4096, swapped.begin() + 4096);
    std::swap_ranges(swapped.begin() + 8, swapped.begin() + 12, swapped.begin() + 40);  // offsets stay in order
    MemoryFileSystem fs;
    fs.SetFile(kGta3, before);
    const Layout layout = Archive::Open(kGta3, fs).CurrentLayout();
    fs.SetFile(kGta3, swapped);
    {
        const Archive now = Archive::Open(kGta3, fs);
        ASSERT_EQ(now.Records()[0].name, "A.DFF");
        ASSERT_EQ(now.Read(now.Records()[0]), std::vector<uint8_t>(before.begin() + 4096, before.begin() + 6144));
    }
    Archive archive = Archive::Open(kGta3, fs);
    archive.RestoreLayout(layout, {});
    EXPECT_EQ(HexOf(Sha256Of(fs.Contents(kGta3))), HexOf(Sha256Of(before)));
}

}  // namespace
}  // namespace veltrin::archive

namespace veltrin::archive {
namespace {

// Random commits on one archive: replacements larger and smaller, in every
// case, additions, removals, data that asks for given sectors, and now and
// then the layout given back. After each, the game's rules hold (read by
// the independent checker), free space is zero, and the game reads under
// every name what the model says. With twins (names another tool left in
// two records) it reads the same one of them as before the commit, and
// skips the others, their bytes kept.
TEST(ArchivePlan, RandomChangesKeepTheGamesRulesAndEveryEntrysBytes) {
    namespace img = veltrin::testing::img;
    for (const bool withTwins : {false, true})
        for (const std::string& path : {kGta3, kPlayer}) {
            SCOPED_TRACE(withTwins ? "with twins" : "without twins");
            std::mt19937 engine((path == kGta3 ? 17u : 23u) + (withTwins ? 100u : 0u));
            const auto random = [&engine](uint32_t below) { return static_cast<uint32_t>(engine() % below); };
            MemoryFileSystem fs;
            std::vector<std::pair<std::string, uint16_t>> start;
            for (int i = 0; i < 40; ++i)
                start.push_back({"e" + std::to_string(i) + (i % 2 ? ".txd" : ".dff"), 1 + i % 5});
            if (withTwins) {  // later records of the names of e2, e7, e11 (twice), e20, e39
                start.insert(start.begin() + 30, {"E20.DFF", 2});
                start.insert(start.begin() + 25, {"e11.txd", 3});
                start.insert(start.begin() + 15, {"E7.Txd", 1});
                start.insert(start.begin() + 14, {"E11.TXD", 1});
                start.insert(start.begin() + 3, {"E2.DFF", 4});
                start.push_back({"e39.TXD", 2});
            }
            fs.SetFile(path, SoundArchive(start));
            // The game's reading: folded name -> the data it reads, as put;
            // and the twins it skips, their stored bytes in directory order.
            struct Model {
                std::map<std::string, std::vector<uint8_t>> reads;
                std::map<std::string, std::deque<std::vector<uint8_t>>> skipped;
            };
            Model model;
            {
                const Archive archive = Archive::Open(path, fs);
                for (const Entry& entry : archive.Entries()) {
                    const auto [it, first] = model.reads.try_emplace(FoldedName(entry.name), archive.Read(entry));
                    if (!first) model.skipped[it->first].push_back(archive.Read(entry));
                }
            }
            ASSERT_EQ(model.skipped.size(), withTwins ? 5u : 0u);
            struct Saved {
                Layout layout;
                Model model;
                std::map<std::string, std::vector<uint8_t>>
                    stored;  // folded name -> stored bytes, as a backup holds them
            };
            std::optional<Saved> saved;
            std::vector<uint8_t> before = fs.Contents(path);
            for (int step = 0; step < 100; ++step) {
                const std::string what = path + ", step " + std::to_string(step);
                Archive archive = Archive::Open(path, fs);
                // The layout given back looks originals up by name, which
                // cannot tell twins apart: only archives without them.
                if (saved && random(10) == 0) {
                    // All of them in one file, one after another.
                    std::map<std::string, FilePart> originals;
                    std::vector<uint8_t> pack(2048, 0xEE);
                    for (const auto& [name, bytes] : saved->stored) {
                        originals[name] = {"orig/pack", pack.size(), bytes.size()};
                        pack.insert(pack.end(), bytes.begin(), bytes.end());
                    }
                    fs.SetFile("orig/pack", pack);
                    archive.RestoreLayout(saved->layout, originals);
                    model = saved->model;
                    saved.reset();
                } else {
                    if (!withTwins && !saved && random(4) == 0) {
                        saved.emplace(Saved{archive.CurrentLayout(), model, {}});
                        for (const Entry& entry : archive.Entries())
                            saved->stored[FoldedName(entry.name)] = archive.Read(entry);
                    }
                    const int changes = 1 + static_cast<int>(random(6));
                    for (int c = 0; c < changes && !model.reads.empty(); ++c) {
                        auto it = model.reads.begin();
                        std::advance(it, random(static_cast<uint32_t>(model.reads.size())));
                        const std::string name = it->first;
                        switch (random(5)) {
                        case 0: {  // larger, in another case
                            std::string spelled = name;
                            spelled[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(spelled[0])));
                            it->second = Pattern(it->second.size() + 1 + random(9000), random(1000));
                            archive.Put(spelled, it->second);
                            break;
                        }
                        case 1:  // smaller
                            it->second = Pattern(1 + random(static_cast<uint32_t>(it->second.size())), random(1000));
                            archive.Put(name, it->second);
                            break;
                        case 2: {  // removed: the game reads the next twin, if any
                            archive.Remove(name);
                            const auto twins = model.skipped.find(name);
                            if (twins == model.skipped.end()) {
                                model.reads.erase(it);
                                break;
                            }
                            it->second = twins->second.front();
                            twins->second.pop_front();
                            if (twins->second.empty()) model.skipped.erase(twins);
                            break;
                        }
                        default: {  // a new name, sometimes asking for the first free sector
                            const std::string added = "n" + std::to_string(step) + "_" + std::to_string(c) + ".dff";
                            std::vector<uint8_t> bytes = Pattern(1 + random(7000), random(1000));
                            Placement placement;
                            for (const Entry& record : archive.Records())
                                if (record.name.starts_with("~free-") && random(2) == 0) {
                                    placement.at = record.offset;
                                    break;
                                }
                            archive.Put(added, bytes, placement);
                            model.reads[added] = bytes;
                        }
                        }
                    }
                    if (!archive.HasChanges()) continue;
                    archive.Commit({}, random(3) == 0 ? Archive::Fit::Exact : Archive::Fit::AllowPadding);
                }
                const std::vector<uint8_t> bytes = fs.Contents(path);
                EXPECT_EQ(img::GameRuleProblems(bytes, img::TwinNames(before)), std::vector<std::string>{}) << what;
                EXPECT_EQ(img::TwinProblems(before, bytes), std::vector<std::string>{}) << what;
                EXPECT_EQ(img::TwinNames(bytes).size(), model.skipped.size()) << what;
                for (const std::string& problem : Verify(path, fs))
                    EXPECT_TRUE(withTwins && problem.find("has the same name as") != std::string::npos)
                        << what << ": " << problem;
                ContentOf(bytes, what);  // free entries hold zeros
                const auto reads = img::GameReads(bytes);
                ASSERT_EQ(reads.size(), model.reads.size()) << what;
                for (const auto& [name, data] : model.reads) {
                    const auto found = reads.find(name);
                    ASSERT_NE(found, reads.end()) << what << ": " << name;
                    const std::vector<uint8_t>& stored = found->second.bytes;
                    ASSERT_GE(stored.size(), data.size()) << what << ": " << name;
                    EXPECT_TRUE(std::equal(data.begin(), data.end(), stored.begin()) &&
                                std::all_of(stored.begin() + static_cast<std::ptrdiff_t>(data.size()), stored.end(),
                                            [](uint8_t b) { return b == 0; }))
                        << what << ": " << name << ", the game reads record " << found->second.record << " \""
                        << found->second.name << "\"";
                }
                if (::testing::Test::HasFailure()) return;
                before = bytes;
            }
        }
}

}  // namespace
}  // namespace veltrin::archive
