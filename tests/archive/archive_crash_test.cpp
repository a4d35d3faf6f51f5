// Crash safety: a commit that fails, is killed or loses power at its k-th
// change to the disk, for every k, leaves an archive that reads as exactly
// its old or exactly its new content; the next open completes or rolls back
// what was left, and the full check then finds nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive.h"
#include "archive/commit.h"
#include "archive/journal.h"
#include "testing/journal_bytes.h"
#include "testing/memory_file_system.h"
#include "archive_builder.h"
#include "fault_file_system.h"

namespace veltrin::archive {
namespace {

using testing::MemoryFileSystem;
using testing::DecodeJournal;
using testing::EncodeJournal;
using testing::Fault;
using testing::FaultFileSystem;
using testing::FaultName;
using testing::Pattern;
using testing::SoundArchive;

const std::string kPath = "game/models/gta3.img";

using Snapshot = std::vector<std::pair<std::string, std::vector<uint8_t>>>;
using Change = std::function<void(Archive&)>;

// Mod files that changes stage from disk; they lie beside the archive's
// folder through every run.
const std::string kModFile = "mod/c.dff";
const std::string kModAddition = "mod/added.dff";

void SetUpDisk(MemoryFileSystem& disk, const std::vector<uint8_t>& base) {
    disk.SetFile(kPath, base);
    disk.SetFile(kModFile, Pattern(5000, 1));
    disk.SetFile(kModAddition, Pattern(3000, 5));
}

Snapshot Take(const Archive& archive) {
    Snapshot snapshot;
    for (const Entry& entry : archive.Entries()) snapshot.emplace_back(entry.name, archive.Read(entry));
    return snapshot;
}

// The content before and after the change, from a run without faults.
std::pair<Snapshot, Snapshot> Expected(const std::vector<uint8_t>& base, const Change& change, bool inPlace) {
    MemoryFileSystem disk;
    SetUpDisk(disk, base);
    Archive archive = Archive::Open(kPath, disk);
    Snapshot before = Take(archive);
    change(archive);
    EXPECT_EQ(archive.Commit().inPlace, inPlace) << "the scenario takes the intended path";
    return {std::move(before), Take(archive)};
}

struct Outcome {
    bool sawOld = false;
    bool sawNew = false;
};

// Opens the archive as the next run would and checks what it holds.
void CheckAfterFault(MemoryFileSystem& disk, const Snapshot& before, const Snapshot& after, bool committed,
                     const std::string& what, Outcome& outcome) {
    try {
        const Archive reopened = Archive::Open(kPath, disk);
        const Snapshot now = Take(reopened);
        const Recovery recovery = reopened.RecoveryOnOpen();
        if (now == after) {
            outcome.sawNew = true;
            EXPECT_NE(recovery, Recovery::RolledBack) << what;
        } else {
            EXPECT_EQ(now, before) << what << ": neither the old nor the new content";
            EXPECT_FALSE(committed) << what << ": a commit that reported success was lost";
            EXPECT_NE(recovery, Recovery::Completed) << what;
            outcome.sawOld = true;
        }
    } catch (const ArchiveError& error) {
        ADD_FAILURE() << what << ": the archive does not open: " << error.reason();
        return;
    }
    EXPECT_EQ(Verify(kPath, disk), std::vector<std::string>{}) << what;
    EXPECT_EQ(disk.Paths(), (std::vector<std::string>{kPath, kModAddition, kModFile}))
        << what << ": something was left beside the archive";
}

// After a failed commit in a process that lives on, the object either
// refuses every use and says to open the archive again, or the archive on
// disk is still exactly the one it describes.
// Returns whether it refused.
bool CheckObjectAfterFailure(Archive& archive, const MemoryFileSystem& disk, const std::vector<uint8_t>& base,
                             const Snapshot& before, const std::string& what) {
    try {
        const Snapshot seen = Take(archive);
        EXPECT_EQ(seen, before) << what;
        EXPECT_EQ(disk.Contents(kPath), base) << what << ": the object still describes an archive that changed";
        return false;
    } catch (const ArchiveError& error) {
        EXPECT_NE(error.reason().find("open the archive again"), std::string::npos) << what << ": " << error.reason();
    }
    for (const auto& use : std::vector<std::function<void()>>{
             [&] { (void)archive.Entries(); }, [&] { (void)archive.Find("a.dff"); },
             [&] { archive.Put("x.dff", Pattern(10, 9)); }, [&] { (void)archive.Remove("a.dff"); },
             [&] { (void)archive.Commit(); }})
        EXPECT_THROW(use(), ArchiveError) << what << ": a stale object was used";
    return true;
}

struct Sweep {
    int steps = 0;
    bool refusedAfterRename = false;  // a failure after the rename left the new archive and a refusing object
};

// Runs the change with a fault at every step in turn until a run goes
// through untouched.
Sweep RunWithEveryFault(const std::vector<uint8_t>& base, const Change& change, bool inPlace, Fault fault) {
    const auto [before, after] = Expected(base, change, inPlace);
    const bool livesOn = fault == Fault::Error || fault == Fault::ErrorAfterDone;
    Outcome outcome;
    Sweep sweep;
    int k = 1;
    for (;; ++k) {
        MemoryFileSystem disk;
        SetUpDisk(disk, base);
        const std::string what = std::string(FaultName(fault)) + " at step " + std::to_string(k);
        bool committed = false;
        bool fired = false;
        bool refused = false;
        std::string firedOn;
        {
            FaultFileSystem faulty(disk, fault, k);
            std::optional<Archive> archive;
            try {
                archive.emplace(Archive::Open(kPath, faulty));
                change(*archive);
                archive->Commit();
                committed = true;
            } catch (const ArchiveError& error) {
                EXPECT_TRUE(faulty.Fired()) << error.reason();
                if (archive && livesOn) refused = CheckObjectAfterFailure(*archive, disk, base, before, what);
            }
            fired = faulty.Fired();
            firedOn = faulty.FiredOn();
        }
        CheckAfterFault(disk, before, after, committed, what, outcome);
        if (refused && firedOn == "replace" && fault == Fault::ErrorAfterDone) {
            EXPECT_EQ(Take(Archive::Open(kPath, disk)), after) << what << ": the renamed archive is not the new one";
            sweep.refusedAfterRename = true;
        }
        if (!fired) break;
        if (k > 500) {
            ADD_FAILURE() << "the commit does not end";
            break;
        }
    }
    EXPECT_TRUE(outcome.sawOld) << FaultName(fault);
    EXPECT_TRUE(outcome.sawNew) << FaultName(fault);
    sweep.steps = k - 1;
    return sweep;
}

std::vector<uint8_t> Base() {
    // Large enough that the rewrite writes several blocks.
    return SoundArchive({{"a.dff", 3}, {"big.txd", 2100}, {"c.dff", 1}, {"d.txd", 2}, {"e.dff", 1}});
}

const Fault kFaults[] = {Fault::Error, Fault::Kill, Fault::PowerCut, Fault::PowerCutAfterWriteBack,
                         Fault::ErrorAfterDone};

TEST(ArchiveCrash, RewriteIsOldOrNewAfterAFaultAtAnyStep) {
    const Change change = [](Archive& archive) {
        archive.PutFile("C.DFF", kModFile);  // larger than before
        archive.Put("added.txd", Pattern(700, 2));
        archive.Remove("d.txd");
    };
    for (const Fault fault : kFaults) {
        const Sweep sweep = RunWithEveryFault(Base(), change, false, fault);
        EXPECT_GE(sweep.steps, 5);
        // The rename put the new archive in place, then its folder flush failed.
        if (fault == Fault::ErrorAfterDone) {
            EXPECT_TRUE(sweep.refusedAfterRename);
        }
    }
}

TEST(ArchiveCrash, InPlaceIsOldOrNewAfterAFaultAtAnyStep) {
    const Change change = [](Archive& archive) {
        archive.Put("a.dff", Pattern(4000, 3));  // fits its three sectors
        archive.Put("E.dff", Pattern(10, 4));
        archive.PutFile("added.dff", kModAddition);
    };
    for (const Fault fault : kFaults) EXPECT_GE(RunWithEveryFault(Base(), change, true, fault).steps, 5);
}

TEST(ArchiveCrash, RecoveryItselfSurvivesAFault) {
    const Change change = [](Archive& archive) { archive.Put("a.dff", Pattern(100, 6)); };
    const auto [before, after] = Expected(Base(), change, true);
    Outcome outcome;
    bool journalSeen = false;
    for (int k = 1;; ++k) {
        MemoryFileSystem first;
        SetUpDisk(first, Base());
        bool fired = false;
        {
            FaultFileSystem faulty(first, Fault::Kill, k);
            try {
                Archive archive = Archive::Open(kPath, faulty);
                change(archive);
                archive.Commit();
            } catch (const ArchiveError&) {}
            fired = faulty.Fired();
        }
        if (!fired) break;
        if (first.Paths().size() < 4) continue;  // nothing left to recover
        journalSeen = true;
        // The run after the kill loses power at each step of its recovery.
        for (int j = 1;; ++j) {
            MemoryFileSystem disk = first;
            bool recoveryFired = false;
            {
                FaultFileSystem faulty(disk, Fault::PowerCut, j);
                try {
                    (void)Archive::Open(kPath, faulty);
                } catch (const ArchiveError&) {}
                recoveryFired = faulty.Fired();
            }
            CheckAfterFault(disk, before, after, false,
                            "kill at " + std::to_string(k) + ", power cut at " + std::to_string(j), outcome);
            if (!recoveryFired) break;
        }
    }
    EXPECT_TRUE(journalSeen);
    EXPECT_TRUE(outcome.sawNew);
}

TEST(ArchiveCrash, RebuildIsOldOrNewAfterAFaultAtAnyStep) {
    const std::vector<uint8_t> base =
        testing::RawArchive({{"b.dff", 5, 2}, {"a.dff", 1, 3}, {"c.dff", 8, 1}}, 9 * 2048);
    for (const Fault fault : kFaults) {
        bool sawRebuilt = false;
        for (int k = 1;; ++k) {
            MemoryFileSystem disk;
            disk.SetFile(kPath, base);
            bool fired = false;
            {
                FaultFileSystem faulty(disk, fault, k);
                try {
                    Rebuild(kPath, {}, faulty);
                } catch (const ArchiveError&) {}
                fired = faulty.Fired();
            }
            (void)Archive::Open(kPath, disk);
            const std::vector<uint8_t> now = disk.Contents(kPath);
            if (now == base) {
                EXPECT_TRUE(fired);
            } else {
                sawRebuilt = true;
                EXPECT_TRUE(Verify(kPath, disk).empty()) << FaultName(fault) << " at " << k;
            }
            EXPECT_EQ(disk.Paths(), std::vector<std::string>{kPath});
            if (!fired) break;
        }
        EXPECT_TRUE(sawRebuilt);
    }
}

TEST(ArchiveJournal, CountsOnlyWhenCompleteAndIntact) {
    Journal journal;
    journal.oldSize = 4 * 2048;
    journal.newSize = 5 * 2048;
    journal.writes.push_back({0, Pattern(40, 1)});
    journal.writes.push_back({4 * 2048, Pattern(2048, 2)});
    MemoryFileSystem disk;
    const std::vector<uint8_t> bytes = EncodeJournal(journal, disk);
    const std::optional<Journal> decoded = DecodeJournal(bytes);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->oldSize, journal.oldSize);
    EXPECT_EQ(decoded->newSize, journal.newSize);
    ASSERT_EQ(decoded->writes.size(), 2u);
    EXPECT_EQ(decoded->writes[1].offset, journal.writes[1].offset);
    EXPECT_EQ(decoded->writes[1].bytes, journal.writes[1].bytes);
    for (size_t length = 0; length < bytes.size(); ++length)
        ASSERT_FALSE(
            DecodeJournal(std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length))))
            << "torn at " << length;
    for (size_t at = 0; at < bytes.size(); at += 7) {
        std::vector<uint8_t> flipped = bytes;
        flipped[at] ^= 0x10;
        ASSERT_FALSE(DecodeJournal(flipped)) << "flipped at " << at;
    }
    journal.newSize = 6 * 2048;  // more than its writes reach
    EXPECT_FALSE(DecodeJournal(EncodeJournal(journal, disk)));
}

TEST(ArchiveJournal, AJournalThatDoesNotFitTheArchiveIsDropped) {
    MemoryFileSystem disk;
    const std::vector<uint8_t> base = SoundArchive({{"a.dff", 2}});
    disk.SetFile(kPath, base);
    Journal journal;
    journal.oldSize = 10 * 2048;  // some other archive's
    journal.newSize = 10 * 2048;
    journal.writes.push_back({0, Pattern(40, 1)});
    disk.SetFile(JournalPath(kPath), EncodeJournal(journal, disk));
    EXPECT_EQ(Archive::Open(kPath, disk).RecoveryOnOpen(), Recovery::RolledBack);
    EXPECT_EQ(disk.Contents(kPath), base);
    EXPECT_EQ(disk.Paths(), std::vector<std::string>{kPath});
}

TEST(ArchiveJournal, WorkInProgressOfAnotherCommitIsLeftAlone) {
    MemoryFileSystem disk;
    const std::vector<uint8_t> base = SoundArchive({{"a.dff", 2}});
    disk.SetFile(kPath, base);
    Journal journal;
    journal.oldSize = base.size();
    journal.newSize = base.size();
    journal.writes.push_back({2048, Pattern(40, 1)});
    disk.SetFile(JournalPath(kPath), EncodeJournal(journal, disk));
    disk.SetFile(kPath + ".rewrite", Pattern(100, 2));
    {
        // Another program is committing: it holds the archive.
        auto committer = disk.Open(kPath, OpenMode::ReadWrite);
        try {
            (void)Archive::Open(kPath, disk);
            ADD_FAILURE() << "opened";
        } catch (const ArchiveError& error) {
            EXPECT_EQ(error.kind(), ErrorKind::Locked);
        }
        EXPECT_EQ(disk.Paths().size(), 3u) << "nothing beside the archive was touched";
        EXPECT_EQ(disk.Contents(kPath), base);
    }
    const Archive archive = Archive::Open(kPath, disk);
    EXPECT_EQ(archive.RecoveryOnOpen(), Recovery::Completed);
    EXPECT_EQ(disk.Paths(), std::vector<std::string>{kPath});
    const std::vector<uint8_t> stored = archive.Read(archive.Entries()[0]);
    EXPECT_TRUE(std::equal(stored.begin(), stored.begin() + 40, Pattern(40, 1).begin()));
}

}  // namespace
}  // namespace veltrin::archive
