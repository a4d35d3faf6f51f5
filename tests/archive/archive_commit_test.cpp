// Staging changes and committing them: the layout afterwards, the choice
// between changing in place and writing anew, and refusals that leave the
// archive as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive.h"
#include "archive/free_space.h"
#include "archive_builder.h"
#include "fault_file_system.h"
#include "img_rules.h"
#include "testing/forwarding_file_system.h"
#include "testing/memory_file_system.h"

namespace veltrin::archive {
namespace {

using testing::Get32;
using testing::MemoryFileSystem;
using testing::Pattern;
using testing::RawArchive;
using testing::SoundArchive;

const std::string kPath = "models/gta3.img";

std::vector<uint8_t> Padded(std::vector<uint8_t> bytes, size_t sectors) {
    bytes.resize(sectors * kSectorSize, 0);
    return bytes;
}

// Checks, from the raw bytes, everything the game relies on (by a reader
// written apart from the library), and that the directory's spare room
// holds zeros in the sector where the directory ends.
void ExpectGameLayout(const std::vector<uint8_t>& bytes) {
    EXPECT_EQ(veltrin::testing::img::GameRuleProblems(bytes), std::vector<std::string>{});
    ASSERT_GE(bytes.size(), 8u);
    const uint64_t end = 8 + 32 * uint64_t{Get32(bytes, 4)};
    for (uint64_t b = end; b < (end + 2047) / 2048 * 2048 && b < bytes.size(); ++b)
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

    archive.Commit();
    EXPECT_FALSE(archive.HasChanges());
    EXPECT_EQ(Names(archive), (std::vector<std::string>{"B.TXD", "c.dff", "NEW.dff"}))
        << "the larger replacement took the sectors it and the removed entry left; the addition went to the end";
    EXPECT_EQ(archive.Read(*archive.Find("b.txd")), Padded(Pattern(5000, 7), 3));
    EXPECT_EQ(archive.Read(*archive.Find("c.dff")), oldC);
    EXPECT_EQ(archive.Read(*archive.Find("new.dff")), Padded(Pattern(20, 9), 1));
    ExpectGameLayout(f.fs.Contents(kPath));
    EXPECT_EQ(f.fs.Paths(), std::vector<std::string>{kPath}) << "no file left beside the archive";

    const Archive again = Archive::Open(kPath, f.fs);
    EXPECT_EQ(Names(again), Names(archive));
    EXPECT_TRUE(Verify(kPath, f.fs).empty());
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
    for (const bool moves : {false, true}) {
        Fixture f(SoundArchive({{"a.dff", 2}, {"b.txd", 1}}));
        f.fs.SetFile("mod/a.dff", Pattern(moves ? 4100 : 4000, 1));
        f.fs.SetFile("mod/new.dff", Pattern(300, 2));
        Archive archive = Archive::Open(kPath, f.fs);
        archive.PutFile("A.dff", "mod/a.dff");
        archive.PutFile("new.dff", "mod/new.dff");
        archive.Put("b.txd", Pattern(100, 3));         // in memory, beside the files
        f.fs.SetFile("mod/new.dff", Pattern(300, 4));  // same size: what the file holds now goes in
        archive.Commit();
        const Archive reopened = Archive::Open(kPath, f.fs);
        EXPECT_EQ(reopened.Find("a.dff")->name, "A.dff") << moves;
        EXPECT_EQ(reopened.Read(*reopened.Find("a.dff")), Padded(Pattern(moves ? 4100 : 4000, 1), moves ? 3 : 2));
        EXPECT_EQ(reopened.Read(*reopened.Find("new.dff")), Padded(Pattern(300, 4), 1)) << moves;
        EXPECT_EQ(reopened.Read(*reopened.Find("b.txd")), Padded(Pattern(100, 3), 1)) << moves;
        EXPECT_TRUE(Verify(kPath, f.fs).empty()) << moves;
        ExpectGameLayout(f.fs.Contents(kPath));
    }
}

TEST(ArchiveStage, AFileThatChangedSizeStopsTheCommitBeforeAnythingChanges) {
    for (const bool inPlace : {true, false}) {
        for (const bool removed : {false, true}) {
            // A hole: the archive is written anew.
            const auto before = inPlace ? SoundArchive({{"a.dff", 2}, {"b.txd", 1}})
                                        : RawArchive({{"a.dff", 1, 2}, {"b.txd", 4, 1}}, 5 * 2048);
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
    // Start from an archive with a hole and spare room: the rewrite closes
    // both, and leaves room for 1,024 more records after the directory.
    Fixture f(RawArchive({{"one.dff", 3, 2}, {"two.txd", 6, 1}, {"three.dff", 7, 3}}, 10 * 2048));
    Archive archive = Archive::Open(kPath, f.fs);
    const auto one = archive.Read(archive.Entries()[0]);
    const auto three = archive.Read(archive.Entries()[2]);
    archive.Put("two.txd", Pattern(2049, 5));
    EXPECT_FALSE(archive.Commit().inPlace);
    const std::vector<uint8_t> bytes = f.fs.Contents(kPath);
    ExpectGameLayout(bytes);
    const size_t first = (8 + 32 * (3 + 1024) + 2047) / 2048;  // 17 sectors
    ASSERT_EQ(bytes.size(), (first + 2 + 2 + 3) * 2048u);
    EXPECT_TRUE(
        std::all_of(bytes.begin() + 8 + 3 * 32, bytes.begin() + first * 2048, [](uint8_t b) { return b == 0; }));
    const auto at = [&](size_t sector) { return bytes.begin() + static_cast<std::ptrdiff_t>(sector * 2048); };
    EXPECT_EQ(std::vector<uint8_t>(at(first), at(first + 2)), one);
    EXPECT_EQ(std::vector<uint8_t>(at(first + 2), at(first + 4)), Padded(Pattern(2049, 5), 2));
    EXPECT_EQ(std::vector<uint8_t>(at(first + 4), bytes.end()), three);
}

// In place whatever the change, on a sound archive; written anew only where
// the layout is not sound, which heals it.
TEST(ArchiveCommit, WritesAnewOnlyWhereTheLayoutIsNotSound) {
    const auto sound = SoundArchive({{"a.dff", 2}, {"b.txd", 1}, {"c.dff", 3}});
    struct PathCase {
        const char* what;
        std::vector<uint8_t> archive;
        std::vector<std::pair<std::string, size_t>> puts;  // name, size in bytes
        std::vector<std::string> removals;
        bool inPlace;
    };
    const std::vector<PathCase> cases = {
        {"same size", sound, {{"b.txd", 2048}}, {}, true},
        {"smaller", sound, {{"c.dff", 10}}, {}, true},
        {"several, other case", sound, {{"A.DFF", 4096}, {"C.dff", 5000}}, {}, true},
        {"addition in spare room", sound, {{"new.dff", 3000}}, {}, true},
        {"larger", sound, {{"b.txd", 2049}}, {}, true},
        {"removal", sound, {}, {"b.txd"}, true},
        {"replacements, additions, a removal",
         sound,
         {{"a.dff", 9000}, {"n1.dff", 1}, {"n2.txd", 9000}},
         {"c.dff"},
         true},
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
        EXPECT_TRUE(Verify(kPath, f.fs).empty()) << c.what;
        ExpectGameLayout(f.fs.Contents(kPath));
        EXPECT_EQ(f.fs.Paths(), std::vector<std::string>{kPath}) << c.what;
    }
}

TEST(ArchiveCommit, ExactFitMovesAReplacementThatNeedsOtherSectors) {
    // a.dff takes 2 sectors: 2,049 to 4,096 bytes fit exactly.
    for (const auto& [size, free] : {std::pair<size_t, uint64_t>{4096, 0}, {2049, 0}, {2048, 1}, {4097, 2}}) {
        Fixture f(SoundArchive({{"a.dff", 2}, {"b.txd", 1}}));
        Archive archive = Archive::Open(kPath, f.fs);
        archive.Put("a.dff", Pattern(size, 1));
        archive.Commit({}, Archive::Fit::Exact);
        EXPECT_EQ(archive.Find("a.dff")->sectors, (size + 2047) / 2048) << size;
        EXPECT_EQ(archive.Free().sectors, free) << size << ": the sectors it no longer takes are free";
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

// What a shortage says: the need rounded up and the free space down, each
// in the unit that shows it (bytes, KB, tenths of a MB, MB).
TEST(ArchiveCommit, AShortageNamesBothFiguresInUnitsThatShowThem) {
    const struct {
        uint64_t needed, free;
        const char* says;
    } cases[] = {
        {2, 1, "the change needs 2 bytes and only 1 byte is free"},
        {5000, 1023, "the change needs 5 KB and only 1023 bytes are free"},
        {(uint64_t{1} << 20) - 1, 61 * 1024 + 1000, "the change needs 1.0 MB and only 61 KB is free"},
        {uint64_t{19} << 20, (uint64_t{9} << 20) + (uint64_t{1} << 20) - 1,
         "the change needs 19 MB and only 9.9 MB is free"},
        {(uint64_t{1} << 30) + 1, uint64_t{10} << 20, "the change needs 1025 MB and only 10 MB is free"},
    };
    for (const auto& item : cases) {
        testing::MemoryFileSystem fs;
        fs.SetFreeSpace(item.free);
        try {
            RequireFreeSpace(fs, kPath, item.needed);
            ADD_FAILURE() << item.says << ": not refused";
        } catch (const ArchiveError& error) {
            EXPECT_EQ(error.kind(), ErrorKind::DiskFull);
            EXPECT_EQ(error.reason(), item.says);
        }
    }
    testing::MemoryFileSystem fs;
    fs.SetFreeSpace(4096);
    EXPECT_NO_THROW(RequireFreeSpace(fs, kPath, 4096));
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
            // The figures: the need rounded up, the free space down, each in
            // the unit that shows it.
            EXPECT_EQ(error.reason(),
                      std::string("the change needs ") + (larger ? "11" : "3") + " KB and only 1000 bytes are free");
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
        // With a hole after b.txd the archive is written anew.
        Fixture f(inPlace ? SoundArchive({{"a.dff", 3000}, {"b.txd", 1}})
                          : RawArchive({{"a.dff", 1, 3000}, {"b.txd", 3002, 1}}, 3003 * 2048));
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

namespace veltrin::archive {
namespace {

// Runs meddle once, just before the archive is first opened for writing:
// another program that changes the archive between the moment the commit
// (or rebuild) read it and the moment it takes it over.
class MeddlingFileSystem final : public testing::ForwardingFileSystem {
public:
    MeddlingFileSystem(MemoryFileSystem& inner, std::function<void()> meddle)
        : ForwardingFileSystem(inner), meddle_(std::move(meddle)) {}
    std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
        if (path == kPath && mode == OpenMode::ReadWrite && meddle_) std::exchange(meddle_, nullptr)();
        return inner_.Open(path, mode);
    }

private:
    std::function<void()> meddle_;
};

// A commit plans from the archive it changes: when another program changed
// the archive after it was read, the commit stops before it writes, and the
// other program's change stands.
TEST(ArchiveCommit, StopsWhenAnotherProgramChangedTheArchiveSinceItWasRead) {
    const auto base = RawArchive({{"b.dff", 5, 2}, {"a.dff", 1, 3}, {"c.dff", 8, 1}}, 9 * 2048);
    // What another tool leaves: the same entries rebuilt in another order.
    const auto theirs = SoundArchive({{"c.dff", 1}, {"a.dff", 3}, {"b.dff", 4}});  // as large as the base
    struct Case {
        const char* what;
        std::function<void(Archive&)> change;  // nothing: a rebuild
    };
    const Case cases[] = {
        {"an in-place change", [](Archive& a) { a.Put("a.dff", Pattern(100, 1)); }},
        {"a rewrite", [](Archive& a) { a.Put("a.dff", Pattern(9000, 1)); }},
        {"a second commit of the same object", nullptr},
        {"a rebuild", nullptr},
    };
    for (const Case& c : cases) {
        Fixture f(base);
        const std::string what = c.what;
        MeddlingFileSystem meddling(f.fs, [&] { f.fs.SetFile(kPath, theirs); });
        std::vector<uint8_t> expected = theirs;
        try {
            if (what == "a rebuild") {
                Rebuild(kPath, {}, meddling);
            } else if (what == "a second commit of the same object") {
                Fixture plain(base);
                Archive archive = Archive::Open(kPath, plain.fs);
                archive.Put("c.dff", Pattern(10, 2));
                archive.Commit();
                expected = theirs;
                plain.fs.SetFile(kPath, theirs);  // changed between the two commits
                archive.Put("a.dff", Pattern(100, 3));
                try {
                    archive.Commit();
                    ADD_FAILURE() << what << ": committed";
                } catch (const ArchiveError& error) {
                    EXPECT_EQ(error.path(), kPath) << what;
                    EXPECT_NE(error.reason().find("changed by another program"), std::string::npos) << what;
                }
                EXPECT_TRUE(plain.fs.Contents(kPath) == expected) << what << ": the other program's change was lost";
                continue;
            } else {
                Archive archive = Archive::Open(kPath, meddling);
                c.change(archive);
                archive.Commit();
            }
            ADD_FAILURE() << what << ": it went ahead";
        } catch (const ArchiveError& error) {
            EXPECT_EQ(error.path(), kPath) << what;
            EXPECT_NE(error.reason().find("changed by another program"), std::string::npos)
                << what << ": " << error.reason();
        }
        EXPECT_TRUE(f.fs.Contents(kPath) == expected) << what << ": the other program's change was lost";
        EXPECT_EQ(f.fs.Paths(), std::vector<std::string>{kPath}) << what;
    }
}

}  // namespace
}  // namespace veltrin::archive

namespace veltrin::archive {
namespace {

// A journal that a crash left after it had been applied (before it could be
// removed) must not be applied again over a later change by another
// program: the next open leaves that change alone.
TEST(ArchiveCommit, ALeftoverJournalNeverOverwritesALaterChangeByAnotherProgram) {
    const auto base = SoundArchive({{"a.dff", 2}, {"b.txd", 1}, {"c.dff", 1}});
    const auto change = [](Archive& archive) {
        archive.Put("a.dff", Pattern(3000, 1));  // fits: in place
        archive.Put("c.dff", Pattern(100, 2));
    };
    std::vector<uint8_t> committed;
    int steps = 0;
    {
        Fixture f(base);
        testing::FaultFileSystem counting(f.fs, testing::Fault::Error, 0);
        Archive archive = Archive::Open(kPath, counting);
        change(archive);
        ASSERT_TRUE(archive.Commit().inPlace);
        committed = f.fs.Contents(kPath);
        steps = counting.Operations();
    }
    int leftovers = 0;
    for (int k = 1; k <= steps; ++k) {
        Fixture f(base);
        {
            testing::FaultFileSystem faulty(f.fs, testing::Fault::Kill, k);
            try {
                Archive archive = Archive::Open(kPath, faulty);
                change(archive);
                archive.Commit();
            } catch (const ArchiveError&) {}
        }
        const std::string journal = kPath + ".journal";
        if (!f.fs.Exists(journal) || f.fs.Contents(kPath) != committed) continue;
        ++leftovers;
        // Another IMG editor writes a new a.dff into the same sectors.
        std::vector<uint8_t> theirs = committed;
        const std::vector<uint8_t> other = Pattern(4096, 77);
        std::copy(other.begin(), other.end(), theirs.begin() + 2048);
        f.fs.SetFile(kPath, theirs);
        (void)Archive::Open(kPath, f.fs);
        EXPECT_TRUE(f.fs.Contents(kPath) == theirs)
            << "kill at step " << k << ": the other program's a.dff was overwritten";
    }
    EXPECT_GE(leftovers, 1);
}

}  // namespace
}  // namespace veltrin::archive

namespace veltrin::archive {
namespace {

// The caller hears what the commit will leave before anything is written,
// and a refusal then stops it with nothing changed.
TEST(ArchiveCommit, TellsTheStateItWillLeaveBeforeWriting) {
    for (const bool inPlace : {true, false}) {
        const auto before = inPlace ? SoundArchive({{"a.dff", 2}, {"b.txd", 1}})
                                    : RawArchive({{"a.dff", 1, 2}, {"b.txd", 4, 1}}, 5 * 2048);
        Fixture f(before);
        Archive archive = Archive::Open(kPath, f.fs);
        archive.Put("a.dff", Pattern(5000, 1));
        archive.Put("n.txd", Pattern(10, 2));
        const ArchiveState was = archive.CurrentState();
        EXPECT_THROW(archive.Commit({}, Archive::Fit::AllowPadding,
                                    [&](const ArchiveState&, const std::vector<uint8_t>&) {
                                        EXPECT_EQ(f.fs.Contents(kPath), before) << "nothing written yet";
                                        throw ArchiveError(ErrorKind::Io, "record", "refused");
                                    }),
                     ArchiveError);
        EXPECT_EQ(f.fs.Contents(kPath), before) << inPlace;
        EXPECT_EQ(f.fs.Paths(), std::vector<std::string>{kPath}) << inPlace;
        EXPECT_EQ(archive.CurrentState(), was);
        std::optional<ArchiveState> planned;
        std::vector<uint8_t> directory;
        EXPECT_EQ(archive
                      .Commit({}, Archive::Fit::AllowPadding,
                              [&](const ArchiveState& state, const std::vector<uint8_t>& bytes) {
                                  planned = state;
                                  directory = bytes;
                              })
                      .inPlace,
                  inPlace);
        ASSERT_TRUE(planned.has_value());
        EXPECT_EQ(*planned, archive.CurrentState()) << inPlace;
        EXPECT_EQ(*planned, Archive::Open(kPath, f.fs).CurrentState()) << inPlace;
        EXPECT_NE(*planned, was);
        // The directory heard is the one on disk afterwards, header first.
        EXPECT_EQ(directory, Archive::Open(kPath, f.fs).CurrentDirectory()) << inPlace;
        const std::vector<uint8_t> disk = f.fs.Contents(kPath);
        ASSERT_GE(disk.size(), directory.size());
        EXPECT_TRUE(std::equal(directory.begin(), directory.end(), disk.begin())) << inPlace;
    }
}

// An archive taken for a run holds it until the object goes, through its
// commits: another opening meets Locked. A commit that wrote the archive
// anew and put it in place has taken effect even when the archive cannot be
// taken again afterwards (another program got in first): it says so, it
// does not report a failure.
TEST(ArchiveTake, HoldsTheArchiveThroughItsCommitsAndARewriteThatTookEffectSaysSo) {
    class GrabbedAfterTheRename final : public testing::ForwardingFileSystem {
    public:
        using ForwardingFileSystem::ForwardingFileSystem;
        std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
            if (renamed && path == kPath && mode == OpenMode::ReadWrite)
                throw ArchiveError(ErrorKind::Locked, path, "Another program is using the file.");
            return inner_.Open(path, mode);
        }
        void ReplaceAtomically(const std::string& from, const std::string& to) override {
            inner_.ReplaceAtomically(from, to);
            renamed = true;
        }
        bool renamed = false;
    };
    Fixture f(RawArchive({{"a.dff", 1, 1}, {"b.dff", 3, 1}}, 4 * 2048));  // unsound: a commit writes it anew
    GrabbedAfterTheRename grabbed(f.fs);
    {
        Archive taken = Archive::Take(kPath, grabbed);
        EXPECT_THROW(Archive::Open(kPath, f.fs), ArchiveError);
        taken.Put("a.dff", Pattern(5, 1));
        CommitStats stats;
        ASSERT_NO_THROW(stats = taken.Commit());
        EXPECT_TRUE(stats.replaced);
    }
    const Archive after = Archive::Open(kPath, f.fs);
    ASSERT_NE(after.Find("a.dff"), nullptr);
    EXPECT_EQ(after.Read(*after.Find("a.dff")), Padded(Pattern(5, 1), 1));
}

}  // namespace
}  // namespace veltrin::archive
