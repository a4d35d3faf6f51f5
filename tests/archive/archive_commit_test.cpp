// Staging changes and committing them: the layout afterwards, the choice
// between changing in place and writing anew, and refusals that leave the
// archive as it was.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "testing/memory_file_system.h"
#include "archive_builder.h"

namespace veltrin::archive {
namespace {

using testing::MemoryFileSystem;
using testing::Get32;
using testing::Pattern;
using testing::RawArchive;
using testing::SoundArchive;

const std::string kPath = "models/gta3.img";

std::vector<uint8_t> Padded(std::vector<uint8_t> bytes, size_t sectors) {
    bytes.resize(sectors * kSectorSize, 0);
    return bytes;
}

// Checks, from the raw bytes, everything the game relies on: entries in
// directory order from the first sector after the directory, no gaps, the
// file ending with the last entry, clean name fields, size in archive 0.
void ExpectGameLayout(const std::vector<uint8_t>& bytes) {
    ASSERT_GE(bytes.size(), 8u);
    const uint32_t count = Get32(bytes, 4);
    uint64_t next = (8 + 32 * uint64_t{count} + 2047) / 2048;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t at = 8 + 32 * size_t{i};
        EXPECT_EQ(Get32(bytes, at), next) << "entry " << i;
        EXPECT_EQ(bytes[at + 6] | bytes[at + 7], 0) << "entry " << i;
        bool ended = false;
        for (size_t c = 0; c < 24; ++c) {
            if (ended) {
                EXPECT_EQ(bytes[at + 8 + c], 0) << "entry " << i;
            }
            ended = ended || bytes[at + 8 + c] == 0;
        }
        EXPECT_TRUE(ended);
        next += uint64_t{bytes[at + 4]} | (uint64_t{bytes[at + 5]} << 8);
    }
    EXPECT_EQ(bytes.size(), next * 2048);
    for (size_t b = 8 + 32 * size_t{count}; b < (8 + 32 * size_t{count} + 2047) / 2048 * 2048; ++b)
        ASSERT_EQ(bytes[b], 0) << "spare room after the directory";
}

struct Fixture {
    MemoryFileSystem fs;
    explicit Fixture(std::vector<uint8_t> bytes) { fs.SetFile(kPath, std::move(bytes)); }
};

std::vector<std::string> Names(const Archive& archive) {
    std::vector<std::string> names;
    for (const Entry& entry : archive.Entries()) names.push_back(entry.name);
    return names;
}

TEST(ArchiveStage, ReplacesAddsAndRemovesByNameInAnyCase) {
    Fixture f(SoundArchive({{"a.dff", 1}, {"b.txd", 2}, {"c.dff", 1}}));
    Archive archive = Archive::Open(kPath, f.fs);
    const std::vector<uint8_t> oldC = archive.Read(*archive.Find("c.dff"));
    archive.Put("B.TXD", Pattern(5000, 7));  // larger: written anew
    archive.Put("new.dff", Pattern(10, 8));
    archive.Put("NEW.dff", Pattern(20, 9));  // replaces the staged addition
    EXPECT_TRUE(archive.Remove("A.dff"));
    EXPECT_FALSE(archive.Remove("a.dff"));
    EXPECT_FALSE(archive.Remove("missing.dff"));
    EXPECT_TRUE(archive.HasChanges());
    EXPECT_EQ(Names(archive), (std::vector<std::string>{"a.dff", "b.txd", "c.dff"})) << "nothing before commit";

    const CommitStats stats = archive.Commit();
    EXPECT_FALSE(stats.inPlace);
    EXPECT_FALSE(archive.HasChanges());
    EXPECT_EQ(Names(archive), (std::vector<std::string>{"B.TXD", "c.dff", "NEW.dff"}));
    EXPECT_EQ(archive.Read(*archive.Find("b.txd")), Padded(Pattern(5000, 7), 3));
    EXPECT_EQ(archive.Read(*archive.Find("c.dff")), oldC);
    EXPECT_EQ(archive.Read(*archive.Find("new.dff")), Padded(Pattern(20, 9), 1));
    ExpectGameLayout(f.fs.Contents(kPath));
    EXPECT_EQ(f.fs.Paths(), std::vector<std::string>{kPath}) << "no file left beside the archive";

    const Archive again = Archive::Open(kPath, f.fs);
    EXPECT_EQ(Names(again), Names(archive));
    EXPECT_TRUE(Verify(kPath, f.fs).empty());
}

TEST(ArchiveStage, RemovingThenPuttingKeepsThePlaceInTheDirectory) {
    Fixture f(SoundArchive({{"a.dff", 1}, {"b.txd", 1}, {"c.dff", 1}}));
    Archive archive = Archive::Open(kPath, f.fs);
    EXPECT_TRUE(archive.Remove("b.txd"));
    archive.Put("B.txd", Pattern(3000, 3));
    EXPECT_TRUE(archive.Remove("x.dff") == false);
    archive.Put("x.dff", {});
    EXPECT_TRUE(archive.Remove("X.DFF"));
    archive.Commit();
    EXPECT_EQ(Names(archive), (std::vector<std::string>{"a.dff", "B.txd", "c.dff"}));
    ExpectGameLayout(f.fs.Contents(kPath));
}

// Whether a Put takes the place of an entry: committed (also one whose
// removal is staged) or staged earlier, in any case; in order, as staged.
TEST(ArchiveStage, PutSaysWhetherTheNameTakesThePlaceOfAnEntry) {
    Fixture f(SoundArchive({{"a.dff", 1}, {"b.txd", 1}}));
    f.fs.SetFile("mod/c.dff", Pattern(10, 4));
    Archive archive = Archive::Open(kPath, f.fs);
    struct Step {
        const char* what;
        std::function<bool()> put;
        bool replaces;
    };
    const std::vector<Step> steps = {
        {"a committed entry, in another case", [&] { return archive.Put("A.DFF", Pattern(10, 1)); }, true},
        {"a new name", [&] { return archive.Put("new.dff", Pattern(10, 2)); }, false},
        {"the new name again", [&] { return archive.Put("NEW.dff", Pattern(20, 3)); }, true},
        {"a file under a new name", [&] { return archive.PutFile("c.dff", "mod/c.dff"); }, false},
        {"a file under a name staged earlier", [&] { return archive.PutFile("C.DFF", "mod/c.dff"); }, true},
        {"a committed entry whose removal is staged",
         [&] { return archive.Remove("b.txd") && archive.Put("b.txd", Pattern(10, 5)); }, true},
        {"an addition removed again",
         [&] { return archive.Remove("new.dff") && archive.Put("new.dff", Pattern(10, 7)); }, false},
        {"an addition, once committed",
         [&] {
             archive.Commit();
             return archive.Put("c.dff", Pattern(30, 6));
         },
         true},
    };
    for (const Step& step : steps) EXPECT_EQ(step.put(), step.replaces) << step.what;
}

TEST(ArchiveStage, ChangesNeverCommittedLeaveTheArchiveAlone) {
    const auto bytes = SoundArchive({{"a.dff", 1}});
    Fixture f(bytes);
    {
        Archive archive = Archive::Open(kPath, f.fs);
        archive.Put("b.dff", Pattern(1, 1));
        archive.Remove("a.dff");
        EXPECT_TRUE(archive.HasChanges());
    }
    EXPECT_EQ(f.fs.Contents(kPath), bytes);
    EXPECT_EQ(f.fs.Paths(), std::vector<std::string>{kPath});
    Archive reopened = Archive::Open(kPath, f.fs);
    EXPECT_FALSE(reopened.HasChanges());
    const CommitStats stats = reopened.Commit();
    EXPECT_FALSE(stats.inPlace || stats.replaced) << "nothing to commit";
    EXPECT_EQ(f.fs.Contents(kPath), bytes);
}

TEST(ArchiveStage, RefusesBadNamesAndOversizedData) {
    Fixture f(SoundArchive({{"a.dff", 1}}));
    Archive archive = Archive::Open(kPath, f.fs);
    for (const char* name : {"", "a/b.dff", "123456789012345678901234.dff", "bad\x01.dff"}) {
        try {
            archive.Put(name, Pattern(10, 1));
            ADD_FAILURE() << name;
        } catch (const ArchiveError& error) {
            EXPECT_EQ(error.kind(), ErrorKind::BadName) << name;
        }
    }
    // The largest entry fits; one byte more does not.
    archive.Put("max.dff", std::vector<uint8_t>(size_t{kMaxEntrySectors} * kSectorSize, 1));
    try {
        archive.Put("over.dff", std::vector<uint8_t>(size_t{kMaxEntrySectors} * kSectorSize + 1, 1));
        ADD_FAILURE() << "accepted";
    } catch (const ArchiveError& error) {
        EXPECT_EQ(error.kind(), ErrorKind::TooLarge);
    }
    EXPECT_EQ(archive.Find("over.dff"), nullptr);
}

TEST(ArchiveStage, FilesAreReadWhenTheCommitWritesThem) {
    for (const bool inPlace : {true, false}) {
        Fixture f(SoundArchive({{"a.dff", 2}, {"b.txd", 1}}));
        f.fs.SetFile("mod/a.dff", Pattern(inPlace ? 4000 : 4100, 1));
        f.fs.SetFile("mod/new.dff", Pattern(300, 2));
        Archive archive = Archive::Open(kPath, f.fs);
        archive.PutFile("A.dff", "mod/a.dff");
        archive.PutFile("new.dff", "mod/new.dff");
        archive.Put("b.txd", Pattern(100, 3));  // in memory, beside the files
        f.fs.SetFile("mod/new.dff", Pattern(300, 4));  // same size: what the file holds now goes in
        EXPECT_EQ(archive.Commit().inPlace, inPlace);
        const Archive reopened = Archive::Open(kPath, f.fs);
        EXPECT_EQ(Names(reopened), (std::vector<std::string>{"A.dff", "b.txd", "new.dff"})) << inPlace;
        EXPECT_EQ(reopened.Read(*reopened.Find("a.dff")), Padded(Pattern(inPlace ? 4000 : 4100, 1), inPlace ? 2 : 3));
        EXPECT_EQ(reopened.Read(*reopened.Find("new.dff")), Padded(Pattern(300, 4), 1)) << inPlace;
        EXPECT_EQ(reopened.Read(*reopened.Find("b.txd")), Padded(Pattern(100, 3), 1)) << inPlace;
        EXPECT_TRUE(Verify(kPath, f.fs).empty()) << inPlace;
    }
}

TEST(ArchiveStage, AFileThatChangedSizeStopsTheCommitBeforeAnythingChanges) {
    for (const bool inPlace : {true, false}) {
        for (const bool removed : {false, true}) {
            const auto before = SoundArchive({{"a.dff", 2}, {"b.txd", 1}});
            Fixture f(before);
            f.fs.SetFile("mod/a.dff", Pattern(inPlace ? 10 : 5000, 1));
            Archive archive = Archive::Open(kPath, f.fs);
            archive.PutFile("a.dff", "mod/a.dff");
            if (removed)
                f.fs.Remove("mod/a.dff");
            else
                f.fs.SetFile("mod/a.dff", Pattern(11, 1));
            try {
                archive.Commit();
                ADD_FAILURE() << "committed";
            } catch (const ArchiveError& error) {
                EXPECT_EQ(error.kind(), removed ? ErrorKind::NotFound : ErrorKind::Io);
                EXPECT_EQ(error.path(), "mod/a.dff");
            }
            EXPECT_EQ(f.fs.Contents(kPath), before) << inPlace << removed;
            std::vector<std::string> left{kPath};
            if (!removed) left.insert(left.begin(), "mod/a.dff");
            EXPECT_EQ(f.fs.Paths(), left) << "nothing left beside the archive";
            EXPECT_EQ(Archive::Open(kPath, f.fs).RecoveryOnOpen(), Recovery::None);
        }
    }
}

TEST(ArchiveStage, AFileThatCannotBeStagedIsRefusedAtOnceByItsPath) {
    Fixture f(SoundArchive({{"a.dff", 1}}));
    Archive archive = Archive::Open(kPath, f.fs);
    try {
        archive.PutFile("b.dff", "mod/missing.dff");
        ADD_FAILURE() << "staged";
    } catch (const ArchiveError& error) {
        EXPECT_EQ(error.kind(), ErrorKind::NotFound);
        EXPECT_EQ(error.path(), "mod/missing.dff");
    }
    f.fs.SetFile("mod/x.dff", Pattern(5, 1));
    EXPECT_THROW(archive.PutFile("bad/name.dff", "mod/x.dff"), ArchiveError);
    EXPECT_FALSE(archive.HasChanges());
}

TEST(ArchiveCommit, RewriteKeepsOrderWithoutGapsAndPadsWithZeros) {
    // Start from an archive with a hole and spare room: the rewrite closes both.
    Fixture f(RawArchive({{"one.dff", 3, 2}, {"two.txd", 6, 1}, {"three.dff", 7, 3}}, 10 * 2048));
    Archive archive = Archive::Open(kPath, f.fs);
    const auto one = archive.Read(archive.Entries()[0]);
    const auto three = archive.Read(archive.Entries()[2]);
    archive.Put("two.txd", Pattern(2049, 5));
    archive.Commit();
    const std::vector<uint8_t> bytes = f.fs.Contents(kPath);
    ExpectGameLayout(bytes);
    ASSERT_EQ(bytes.size(), (1 + 2 + 2 + 3) * 2048u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 2048, bytes.begin() + 3 * 2048), one);
    const auto two = Padded(Pattern(2049, 5), 2);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 3 * 2048, bytes.begin() + 5 * 2048), two);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 5 * 2048, bytes.end()), three);
}

TEST(ArchiveCommit, GrowingDirectoryMovesTheData) {
    std::vector<std::pair<std::string, uint16_t>> entries;
    for (int i = 0; i < 63; ++i) entries.push_back({"e" + std::to_string(i) + ".dff", 1});
    Fixture f(SoundArchive(entries));  // 8 + 63 * 32 = 2024 bytes: one sector, room for no more
    Archive archive = Archive::Open(kPath, f.fs);
    std::vector<std::vector<uint8_t>> before;
    for (const Entry& entry : archive.Entries()) before.push_back(archive.Read(entry));
    archive.Put("last.dff", Pattern(100, 100));
    EXPECT_FALSE(archive.Commit().inPlace);
    ExpectGameLayout(f.fs.Contents(kPath));
    ASSERT_EQ(archive.Entries().size(), 64u);
    EXPECT_EQ(archive.Entries()[0].offset, 2u);
    for (size_t i = 0; i < before.size(); ++i) EXPECT_EQ(archive.Read(archive.Entries()[i]), before[i]) << i;
}

struct PathCase {
    const char* what;
    std::vector<uint8_t> archive;
    std::vector<std::pair<std::string, size_t>> puts;  // name, size in bytes
    std::vector<std::string> removals;
    bool inPlace;
};

TEST(ArchiveCommit, ChoosesInPlaceOnlyWhereEveryChangeFits) {
    const auto sound = SoundArchive({{"a.dff", 2}, {"b.txd", 1}, {"c.dff", 3}});
    const std::vector<PathCase> cases = {
        {"same size", sound, {{"b.txd", 2048}}, {}, true},
        {"smaller", sound, {{"c.dff", 10}}, {}, true},
        {"several, other case", sound, {{"A.DFF", 4096}, {"C.dff", 5000}}, {}, true},
        {"addition in spare room", sound, {{"new.dff", 3000}}, {}, true},
        {"replacement and additions", sound, {{"a.dff", 1}, {"n1.dff", 1}, {"n2.txd", 9000}}, {}, true},
        {"larger", sound, {{"b.txd", 2049}}, {}, false},
        {"removal", sound, {}, {"b.txd"}, false},
        {"hole in the archive", RawArchive({{"a.dff", 1, 1}, {"b.dff", 3, 1}}, 4 * 2048), {{"a.dff", 5}}, {}, false},
        {"out of order archive", RawArchive({{"b.dff", 2, 1}, {"a.dff", 1, 1}}, 3 * 2048), {{"a.dff", 5}}, {}, false},
    };
    for (const PathCase& c : cases) {
        Fixture f(c.archive);
        Archive archive = Archive::Open(kPath, f.fs);
        uint32_t seed = 50;
        for (const auto& [name, size] : c.puts) archive.Put(name, Pattern(size, seed++));
        for (const auto& name : c.removals) archive.Remove(name);
        const CommitStats stats = archive.Commit();
        EXPECT_EQ(stats.inPlace, c.inPlace) << c.what;
        EXPECT_GT(stats.bytesWritten, 0u) << c.what;
        seed = 50;
        const Archive reopened = Archive::Open(kPath, f.fs);
        for (const auto& [name, size] : c.puts) {
            const Entry* entry = reopened.Find(name);
            ASSERT_NE(entry, nullptr) << c.what << " " << name;
            EXPECT_EQ(entry->name, name) << c.what << ": the new spelling is stored";
            const std::vector<uint8_t> stored = reopened.Read(*entry);
            const std::vector<uint8_t> expected = Pattern(size, seed++);
            ASSERT_GE(stored.size(), expected.size());
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), stored.begin())) << c.what << " " << name;
            for (size_t b = expected.size(); b < stored.size(); ++b) ASSERT_EQ(stored[b], 0) << c.what << " " << name;
        }
        for (const auto& name : c.removals) EXPECT_EQ(reopened.Find(name), nullptr) << c.what;
        if (c.inPlace) {
            EXPECT_TRUE(Verify(kPath, f.fs).empty()) << c.what;
        } else {
            ExpectGameLayout(f.fs.Contents(kPath));
        }
        EXPECT_EQ(f.fs.Paths(), std::vector<std::string>{kPath}) << c.what;
    }
}

TEST(ArchiveCommit, ExactFitWritesAnewWhenAReplacementIsSmaller) {
    // a.dff takes 2 sectors: 2,049 to 4,096 bytes fit exactly.
    for (const auto& [size, inPlace] :
         {std::pair<size_t, bool>{4096, true}, {2049, true}, {2048, false}, {4097, false}}) {
        Fixture f(SoundArchive({{"a.dff", 2}, {"b.txd", 1}}));
        Archive archive = Archive::Open(kPath, f.fs);
        archive.Put("a.dff", Pattern(size, 1));
        EXPECT_EQ(archive.Commit({}, Archive::Fit::Exact).inPlace, inPlace) << size;
        EXPECT_EQ(archive.Find("a.dff")->sectors, (size + 2047) / 2048) << size;
        ExpectGameLayout(f.fs.Contents(kPath));
    }
}

TEST(ArchiveCommit, InPlaceTouchesOnlyTheChangedSectors) {
    const auto before = SoundArchive({{"a.dff", 2}, {"b.txd", 1}, {"c.dff", 3}});
    Fixture f(before);
    Archive archive = Archive::Open(kPath, f.fs);
    archive.Put("b.txd", Pattern(100, 1));
    ASSERT_TRUE(archive.Commit().inPlace);
    const std::vector<uint8_t> after = f.fs.Contents(kPath);
    ASSERT_EQ(after.size(), before.size());
    const size_t bStart = 3 * 2048, bEnd = 4 * 2048;
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + bStart, after.begin()));
    EXPECT_TRUE(std::equal(before.begin() + bEnd, before.end(), after.begin() + bEnd));
    EXPECT_EQ(std::vector<uint8_t>(after.begin() + bStart, after.begin() + bEnd), Padded(Pattern(100, 1), 1));
}

TEST(ArchiveCommit, ShortOfSpaceChangesNothing) {
    for (const bool larger : {false, true}) {
        const auto before = SoundArchive({{"a.dff", 2}, {"b.txd", 1}});
        Fixture f(before);
        f.fs.SetFreeSpace(1000);  // less than the journal of the small change needs
        Archive archive = Archive::Open(kPath, f.fs);
        archive.Put("b.txd", Pattern(larger ? 9000 : 2000, 1));
        try {
            archive.Commit();
            ADD_FAILURE() << "committed";
        } catch (const ArchiveError& error) {
            EXPECT_EQ(error.kind(), ErrorKind::DiskFull);
            // The figures: the need rounded up, the free space down.
            EXPECT_EQ(error.reason(), "the change needs 0.1 MB and only 0.0 MB is free");
        }
        EXPECT_EQ(f.fs.Contents(kPath), before);
        EXPECT_EQ(f.fs.Paths(), std::vector<std::string>{kPath});
        EXPECT_TRUE(archive.HasChanges()) << "the changes stay staged";
        f.fs.SetFreeSpace(uint64_t{1} << 30);
        EXPECT_NO_THROW(archive.Commit());
        EXPECT_EQ(archive.Read(*archive.Find("b.txd")).at(0), Pattern(1, 1).at(0));
    }
}

TEST(ArchiveCommit, LockedArchiveChangesNothing) {
    for (const size_t size : {size_t{100}, size_t{9000}}) {
        const auto before = SoundArchive({{"a.dff", 2}, {"b.txd", 1}});
        Fixture f(before);
        Archive archive = Archive::Open(kPath, f.fs);
        archive.Put("b.txd", Pattern(size, 1));
        f.fs.Lock(kPath);
        try {
            archive.Commit();
            ADD_FAILURE() << "committed";
        } catch (const ArchiveError& error) {
            EXPECT_EQ(error.kind(), ErrorKind::Locked);
        }
        f.fs.Unlock(kPath);
        EXPECT_EQ(f.fs.Contents(kPath), before);
        EXPECT_EQ(f.fs.Paths(), std::vector<std::string>{kPath});
        EXPECT_EQ(Archive::Open(kPath, f.fs).RecoveryOnOpen(), Recovery::None);
    }
}

TEST(ArchiveCommit, ReadsKeepWorkingAfterACommit) {
    Fixture f(SoundArchive({{"a.dff", 2}, {"b.txd", 1}}));
    Archive archive = Archive::Open(kPath, f.fs);
    for (int round = 0; round < 3; ++round) {
        archive.Put("b.txd", Pattern(round == 1 ? 5000 : 10, static_cast<uint32_t>(round)));
        archive.Commit();
        const auto stored = archive.Read(*archive.Find("b.txd"));
        EXPECT_EQ(stored.at(0), Pattern(1, static_cast<uint32_t>(round)).at(0)) << round;
    }
}

TEST(ArchiveRebuild, PutsEntriesInDataOrderWithoutGaps) {
    Fixture f(RawArchive({{"late.dff", 6, 2}, {"early.dff", 2, 1}, {"mid.txd", 4, 1}}, 9 * 2048));
    std::vector<std::vector<uint8_t>> data;
    {
        const Archive archive = Archive::Open(kPath, f.fs);
        for (const char* name : {"early.dff", "mid.txd", "late.dff"}) data.push_back(archive.Read(*archive.Find(name)));
    }
    EXPECT_FALSE(Verify(kPath, f.fs).empty());
    Rebuild(kPath, {}, f.fs);
    ExpectGameLayout(f.fs.Contents(kPath));
    EXPECT_TRUE(Verify(kPath, f.fs).empty());
    const Archive archive = Archive::Open(kPath, f.fs);
    EXPECT_EQ(Names(archive), (std::vector<std::string>{"early.dff", "mid.txd", "late.dff"}));
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(archive.Read(archive.Entries()[i]), data[i]);
}

TEST(ArchiveCommit, ReportsProgressUpToTheWholeWorkEitherWay) {
    for (const bool inPlace : {false, true}) {
        Fixture f(SoundArchive({{"a.dff", 3000}, {"b.txd", 1}}));
        Archive archive = Archive::Open(kPath, f.fs);
        archive.Put(inPlace ? "a.dff" : "b.txd", Pattern(inPlace ? 3000 * 2048 : 5000, 1));
        uint64_t last = 0, total = 0;
        int calls = 0;
        const CommitStats stats = archive.Commit([&](uint64_t done, uint64_t all) {
            EXPECT_GE(done, last);
            EXPECT_LE(done, all);
            EXPECT_TRUE(total == 0 || total == all) << "the whole stays the same";
            last = done;
            total = all;
            ++calls;
        });
        ASSERT_EQ(stats.inPlace, inPlace);
        EXPECT_GE(calls, inPlace ? 5 : 2) << inPlace;
        EXPECT_EQ(last, total) << inPlace;
        if (!inPlace) {
            EXPECT_EQ(total, f.fs.Contents(kPath).size());
        } else {
            EXPECT_GT(total, 2 * uint64_t{3000} * 2048) << "the journal and the archive are both written";
        }
    }
}

}  // namespace
}  // namespace veltrin::archive
