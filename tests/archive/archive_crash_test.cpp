// Crash safety: a commit that fails, is killed or loses power at its k-th
// step on the disk, for every k and under both systems' rules for names,
// leaves an archive that reads as exactly its old or exactly its new
// content; the next open completes or rolls back what was left, and the
// full check then finds nothing. A power cut loses, keeps or tears (block
// by block) whatever was not flushed.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive.h"
#include "archive/commit.h"
#include "archive/format.h"
#include "archive/in_place.h"
#include "archive/in_place_plan.h"
#include "archive/journal.h"
#include "archive/recovery.h"
#include "archive/sha256.h"
#include "archive/staged_data.h"
#include "archive_builder.h"
#include "fault_file_system.h"
#include "testing/forwarding_file_system.h"
#include "testing/journal_bytes.h"
#include "testing/memory_file_system.h"

namespace veltrin::archive {
namespace {

using testing::Crash;
using testing::CrashName;
using testing::DecodeJournal;
using testing::DigestSealed;
using testing::EncodeJournal;
using testing::EveryCrash;
using testing::Fault;
using testing::FaultFileSystem;
using testing::MemoryFileSystem;
using testing::NameRules;
using testing::Pattern;
using testing::SoundArchive;
using testing::Tear;
using testing::WordSealed;

const std::string kPath = "game/models/gta3.img";

using Snapshot = std::vector<std::pair<std::string, std::vector<uint8_t>>>;
using Change = std::function<void(Archive&)>;

// Mod files that changes stage from disk; they lie beside the archive's
// folder through every run.
const std::string kModFile = "mod/c.dff";
const std::string kModAddition = "mod/added.dff";

// What lies on the disk before a run: the archive, the mod files and any
// other files the change reads (backups).
struct DiskSetup {
    std::vector<uint8_t> archive;
    std::map<std::string, std::vector<uint8_t>> files;
};

void SetUpDisk(MemoryFileSystem& disk, const DiskSetup& setup) {
    disk.SetFile(kPath, setup.archive);
    disk.SetFile(kModFile, Pattern(5000, 1));
    disk.SetFile(kModAddition, Pattern(3000, 5));
    for (const auto& [path, bytes] : setup.files) disk.SetFile(path, bytes);
}

std::vector<std::string> PathsOf(const DiskSetup& setup) {
    MemoryFileSystem disk;
    SetUpDisk(disk, setup);
    return disk.Paths();
}

Snapshot Take(const Archive& archive) {
    Snapshot snapshot;
    for (const Entry& entry : archive.Entries()) snapshot.emplace_back(entry.name, archive.Read(entry));
    return snapshot;
}

const char* RulesName(NameRules rules) { return rules == NameRules::Posix ? "POSIX" : "Windows"; }

struct Outcome {
    bool sawOld = false;
    bool sawNew = false;
};

// The archive's whole file before and after the change, size and all.
struct ArchiveFiles {
    std::vector<uint8_t> before;
    std::vector<uint8_t> after;
};

std::string Described(const std::vector<uint8_t>& bytes) {
    return std::to_string(bytes.size()) + " bytes, SHA-256 " + HexOf(Sha256Of(bytes)).substr(0, 16);
}

// Opens the archive as the next run would and checks what it holds: the
// old or the new content, and the old or the new file to the byte.
void CheckAfterFault(MemoryFileSystem& disk, const Snapshot& before, const Snapshot& after, const ArchiveFiles& files,
                     bool committed, const std::string& what, Outcome& outcome, const std::vector<std::string>& paths,
                     const std::vector<std::string>& problemsBefore = {}) {
    bool isNew = false;
    try {
        const Archive reopened = Archive::Open(kPath, disk);
        const Recovery recovery = reopened.RecoveryOnOpen();
        const std::vector<uint8_t>& file = disk.Contents(kPath);
        // The same file to the byte holds the same entries: the entries are
        // read only when the file is neither.
        const bool sameFile = file == files.after || file == files.before;
        const Snapshot now = sameFile ? Snapshot{} : Take(reopened);
        if (sameFile ? file == files.after : now == after) {
            isNew = true;
            outcome.sawNew = true;
            EXPECT_NE(recovery, Recovery::RolledBack) << what;
            EXPECT_TRUE(file == files.after) << what << ": the new content in a file that is not the new one ("
                                             << Described(file) << ", not " << Described(files.after) << ")";
        } else {
            EXPECT_TRUE(file == files.before || now == before) << what << ": neither the old nor the new content";
            EXPECT_FALSE(committed) << what << ": a commit that reported success was lost";
            EXPECT_NE(recovery, Recovery::Completed) << what;
            EXPECT_TRUE(file == files.before) << what << ": the old content in a file that is not the old one ("
                                              << Described(file) << ", not " << Described(files.before) << ")";
            outcome.sawOld = true;
        }
        EXPECT_NE(recovery, Recovery::Stale) << what << ": the commit's own journal was taken for another's";
    } catch (const ArchiveError& error) {
        ADD_FAILURE() << what << ": the archive does not open: " << error.reason();
        return;
    }
    EXPECT_EQ(Verify(kPath, disk), isNew ? std::vector<std::string>{} : problemsBefore) << what;
    EXPECT_EQ(disk.Paths(), paths) << what << ": something was left beside the archive";
}

// After a failed commit in a process that lives on, the object either
// refuses every use and says to open the archive again, or the archive on
// disk is still exactly the one it describes. Returns whether it refused.
bool CheckObjectAfterFailure(Archive& archive, const MemoryFileSystem& disk, const std::vector<uint8_t>& base,
                             const Snapshot& before, const std::string& what) {
    try {
        const Snapshot seen = Take(archive);
        EXPECT_TRUE(seen == before) << what;
        EXPECT_TRUE(disk.Contents(kPath) == base) << what << ": the object still describes an archive that changed";
        return false;
    } catch (const ArchiveError& error) {
        EXPECT_NE(error.reason().find("open the archive again"), std::string::npos) << what << ": " << error.reason();
    }
    for (const auto& use :
         std::vector<std::function<void()>>{[&] { (void)archive.Entries(); }, [&] { (void)archive.Find("a.dff"); },
                                            [&] { archive.Put("x.dff", Pattern(10, 9)); },
                                            [&] { (void)archive.Remove("a.dff"); }, [&] { (void)archive.Commit(); }})
        EXPECT_THROW(use(), ArchiveError) << what << ": a stale object was used";
    return true;
}

// What one run did: the archive's commit (or rebuild) through a faulty disk.
using FaultyRun = std::function<void(FaultFileSystem&, std::optional<Archive>&)>;

struct Sweep {
    int steps = 0;
    bool refusedAfterRename = false;  // a failure after the rename left the new archive and a refusing object
    // Runs that ended with the archive past its old size beside a journal
    // that was not sealed: the growth written before the point of no return.
    int grownBeforeSeal = 0;
};

// Whether the archive on disk lies past its old size while the journal
// beside it is not sealed.
bool GrownBeforeSeal(MemoryFileSystem& disk, uint64_t oldSize) {
    if (!disk.Exists(JournalPath(kPath)) || disk.Contents(kPath).size() <= oldSize) return false;
    auto journal = disk.Open(JournalPath(kPath), OpenMode::Read);
    return !ReadJournal(*journal).has_value();
}

// Runs the change with the crash at every step in turn until a run goes
// through untouched.
Sweep RunWithEveryFault(NameRules rules, const DiskSetup& base, const Snapshot& before, const Snapshot& after,
                        const ArchiveFiles& files, const FaultyRun& run, const Crash& crash) {
    const std::vector<std::string> problemsBefore = [&] {
        MemoryFileSystem disk;
        SetUpDisk(disk, base);
        return Verify(kPath, disk);
    }();
    const std::vector<std::string> paths = PathsOf(base);
    const bool livesOn = crash.fault == Fault::Error || crash.fault == Fault::ErrorAfterDone;
    Outcome outcome;
    Sweep sweep;
    int k = 1;
    for (;; ++k) {
        MemoryFileSystem disk(rules);
        SetUpDisk(disk, base);
        const std::string what =
            std::string(RulesName(rules)) + ", " + CrashName(crash) + " at step " + std::to_string(k);
        bool committed = false;
        bool saidUnchanged = false;  // a plain failure: nothing was changed
        bool refused = false;
        std::string firedOn;
        bool fired = false;
        {
            FaultFileSystem faulty(disk, crash, k);
            std::optional<Archive> archive;
            try {
                run(faulty, archive);
                committed = true;
            } catch (const ArchiveError& error) {
                EXPECT_TRUE(faulty.Fired()) << what << ": " << error.reason();
                saidUnchanged = dynamic_cast<const CommitInterrupted*>(&error) == nullptr;
                if (archive && livesOn) refused = CheckObjectAfterFailure(*archive, disk, base.archive, before, what);
            }
            fired = faulty.Fired();
            firedOn = faulty.FiredOn();
        }
        if (GrownBeforeSeal(disk, base.archive.size())) ++sweep.grownBeforeSeal;
        if (livesOn) {
            // What a run that lived on left must hold through a power cut
            // that comes later: what a failure said was not changed stays
            // unchanged, what a success said was saved stays saved.
            MemoryFileSystem cut = disk;
            cut.LosePower(Tear::LoseAll);
            const std::string later = what + ", then a power cut";
            CheckAfterFault(cut, before, after, files, committed, later, outcome, paths, problemsBefore);
            if (saidUnchanged) {
                try {
                    EXPECT_TRUE(Take(Archive::Open(kPath, cut)) == before)
                        << later << ": a commit that failed without changing anything took effect";
                } catch (const ArchiveError&) {}
            }
        }
        CheckAfterFault(disk, before, after, files, committed, what, outcome, paths, problemsBefore);
        if (refused && firedOn == "rename" && crash.fault == Fault::ErrorAfterDone) {
            EXPECT_TRUE(Take(Archive::Open(kPath, disk)) == after)
                << what << ": the renamed archive is not the new one";
            sweep.refusedAfterRename = true;
        }
        if (!fired) break;
        if (k > 500) {
            ADD_FAILURE() << "the commit does not end";
            break;
        }
    }
    EXPECT_TRUE(outcome.sawOld) << CrashName(crash);
    EXPECT_TRUE(outcome.sawNew) << CrashName(crash);
    sweep.steps = k - 1;
    return sweep;
}

// The content and the file before and after the change, from a run
// without faults.
struct Expectation {
    Snapshot before;
    Snapshot after;
    ArchiveFiles files;
};
Expectation Expected(const DiskSetup& base, const FaultyRun& run) {
    MemoryFileSystem disk;
    SetUpDisk(disk, base);
    Snapshot before = Take(Archive::Open(kPath, disk));
    FaultFileSystem untouched(disk, Fault::Error, 0);
    std::optional<Archive> archive;
    run(untouched, archive);
    return {std::move(before), Take(Archive::Open(kPath, disk)), {base.archive, disk.Contents(kPath)}};
}

void SweepEveryWay(const DiskSetup& base, const FaultyRun& run, int leastSteps,
                   const std::function<void(const Crash&, const Sweep&)>& check = {}) {
    const auto [before, after, files] = Expected(base, run);
    ASSERT_NE(before, after);
    for (const NameRules rules : {NameRules::Windows, NameRules::Posix})
        for (const Crash& crash : EveryCrash()) {
            const Sweep sweep = RunWithEveryFault(rules, base, before, after, files, run, crash);
            EXPECT_GE(sweep.steps, leastSteps) << RulesName(rules) << ", " << CrashName(crash);
            if (check) check(crash, sweep);
        }
}

FaultyRun CommitOf(const Change& change, bool inPlace) {
    return [change, inPlace](FaultFileSystem& fs, std::optional<Archive>& archive) {
        archive.emplace(Archive::Open(kPath, fs));
        change(*archive);
        EXPECT_EQ(archive->Commit().inPlace, inPlace) << "the scenario takes the intended path";
    };
}

Layout layoutBefore;                        // the base's, before AfterAnInstall changed it
std::map<std::string, FilePart> originals;  // and the backups it made, in one file

std::vector<uint8_t> Base() {
    // Large enough that the rewrite writes several blocks.
    return SoundArchive({{"a.dff", 3}, {"big.txd", 2100}, {"c.dff", 1}, {"d.txd", 2}, {"e.dff", 1}});
}

// The archive after an install-like commit that moved, added and removed,
// with the backups of what it replaced: what giving back the layout starts
// from.
DiskSetup AfterAnInstall() {
    MemoryFileSystem disk;
    SetUpDisk(disk, {Base(), {}});
    DiskSetup setup;
    Archive archive = Archive::Open(kPath, disk);
    layoutBefore = archive.CurrentLayout();
    std::vector<uint8_t>& backups = setup.files["backups"];
    for (const char* name : {"a.dff", "c.dff"}) {
        const std::vector<uint8_t> stored = archive.Read(*archive.Find(name));
        originals[name] = {"backups", backups.size(), stored.size()};
        backups.insert(backups.end(), stored.begin(), stored.end());
    }
    archive.Put("a.dff", Pattern(9000, 1));
    archive.Put("c.dff", Pattern(100, 2));
    archive.Put("new.txd", Pattern(5000, 3));
    archive.Commit();
    setup.archive = disk.Contents(kPath);
    return setup;
}

// Every kind of commit: what it starts from and what it does.
struct CommitCase {
    const char* what;
    DiskSetup setup;
    FaultyRun run;
    int leastSteps;
    bool grows = false;  // in place, past the archive's old size
};

std::vector<CommitCase> EveryKindOfCommit() {
    std::vector<std::pair<std::string, uint16_t>> full;
    for (int i = 0; i < 63; ++i) full.push_back({"e" + std::to_string(i) + ".dff", 1});
    const DiskSetup afterInstall = AfterAnInstall();
    return {
        {"larger files added past the end, in place",
         {Base(), {}},
         CommitOf(
             [](Archive& archive) {
                 archive.PutFile("added.dff", kModFile);
                 archive.Put("more.txd", Pattern(9000, 7));
                 archive.Put("A.DFF", Pattern(4000, 3));  // fits its three sectors: through the journal
             },
             true),
         5,
         true},
        {"replacements that fit, in place",
         {Base(), {}},
         CommitOf(
             [](Archive& archive) {
                 archive.Put("a.dff", Pattern(4000, 3));  // fits its three sectors
                 archive.Put("E.dff", Pattern(10, 4));
                 archive.PutFile("added.dff", kModAddition);
             },
             true),
         5},
        {"a replacement that moves, an addition, a removal",
         {Base(), {}},
         CommitOf(
             [](Archive& archive) {
                 archive.PutFile("C.DFF", kModFile);  // larger than before: it moves
                 archive.Put("added.txd", Pattern(700, 2));
                 archive.Remove("d.txd");
             },
             true),
         5,
         true},
        {"the end cut off", {Base(), {}}, CommitOf([](Archive& archive) { archive.Remove("e.dff"); }, true), 4},
        {"the first entry moved for the directory",
         {SoundArchive(full), {}},
         CommitOf([](Archive& archive) { archive.Put("last.dff", Pattern(100, 1)); }, true),
         5,
         true},
        {"a layout given back", afterInstall,
         [](FaultFileSystem& fs, std::optional<Archive>& archive) {
             archive.emplace(Archive::Open(kPath, fs));
             EXPECT_TRUE(archive->RestoreLayout(layoutBefore, originals).inPlace);
         },
         5},
        {"an unsound archive written anew",
         {testing::RawArchive({{"a.dff", 1, 1}, {"b.dff", 3, 1}}, 4 * 2048), {}},
         CommitOf([](Archive& archive) { archive.Put("a.dff", Pattern(5, 1)); }, false),
         4},
        {"an unsound archive taken for the run and written anew",  // the run then takes the new file
         {testing::RawArchive({{"a.dff", 1, 1}, {"b.dff", 3, 1}}, 4 * 2048), {}},
         [](FaultFileSystem& fs, std::optional<Archive>&) {
             Archive taken = Archive::Take(kPath, fs);  // let go before the disk is looked at
             taken.Put("a.dff", Pattern(5, 1));
             EXPECT_FALSE(taken.Commit().inPlace) << "the scenario takes the intended path";
         },
         4},
        {"a rebuild",
         {testing::RawArchive({{"b.dff", 5, 2}, {"a.dff", 1, 3}, {"c.dff", 8, 1}}, 9 * 2048), {}},
         [](FaultFileSystem& fs, std::optional<Archive>&) { Rebuild(kPath, {}, fs); },
         4},
    };
}

constexpr size_t kCommitKinds = 9;

// Every kind of commit, broken at every step by every crash under both
// systems' rules: old or new content, never a mix. One kind per case, so
// that the kinds can run side by side.
class ArchiveCrashOfEveryKind : public ::testing::TestWithParam<size_t> {};

TEST_P(ArchiveCrashOfEveryKind, IsOldOrNewAfterAFaultAtAnyStep) {
    const std::vector<CommitCase> kinds = EveryKindOfCommit();
    ASSERT_EQ(kinds.size(), kCommitKinds) << "every kind has a case of its own";
    const CommitCase& c = kinds[GetParam()];
    SCOPED_TRACE(c.what);
    const bool rewrites = std::string(c.what).find("anew") != std::string::npos || std::string(c.what) == "a rebuild";
    SweepEveryWay(c.setup, c.run, c.leastSteps, [&](const Crash& crash, const Sweep& sweep) {
        // The rename put the new archive in place, then its folder flush failed.
        if (rewrites && crash.fault == Fault::ErrorAfterDone) {
            EXPECT_TRUE(sweep.refusedAfterRename || c.what == std::string("a rebuild") ||
                        std::string(c.what).find("taken") != std::string::npos);  // no object kept to ask
        }
        // The growth lands in the archive before the journal is sealed,
        // and a crash between the two leaves it there to be cut off.
        if (c.grows && (crash.fault == Fault::Kill || crash.fault == Fault::PowerCut)) {
            EXPECT_GT(sweep.grownBeforeSeal, 0) << CrashName(crash);
        }
    });
}

INSTANTIATE_TEST_SUITE_P(ArchiveCrash, ArchiveCrashOfEveryKind, ::testing::Range(size_t{0}, kCommitKinds));

// The next open after a kill at any step of a commit, itself broken at
// every step by every crash: a commit within the archive, and one that
// grows it (whose growth the open cuts off or whose journal it completes).
// What opening the archive on the disk recovered. An archive changed or cut
// so that it does not open counts as left alone (Stale), which the case
// must expect: what counts is that nothing touched it.
Recovery RecoveryOnOpen(MemoryFileSystem& disk, Recovery expected, const std::string& what) {
    try {
        return Archive::Open(kPath, disk).RecoveryOnOpen();
    } catch (const ArchiveError& error) {
        EXPECT_EQ(expected, Recovery::Stale) << what << ": " << error.reason();
        return Recovery::Stale;
    }
}

// Runs the commit on the disk, killed at its k-th step; returns whether
// the kill came (false: the run ended before its k-th step).
bool RunKilledAt(MemoryFileSystem& disk, int k, const FaultyRun& run) {
    FaultFileSystem faulty(disk, Fault::Kill, k);
    std::optional<Archive> archive;
    try {
        run(faulty, archive);
    } catch (const ArchiveError&) {}
    return faulty.Fired();
}

void RecoverySurvivesAFault(const FaultyRun& run, bool grows) {
    const auto [before, after, files] = Expected({Base(), {}}, run);
    ASSERT_EQ(files.after.size() > files.before.size(), grows);
    const std::vector<std::string> paths = PathsOf({Base(), {}});
    for (const NameRules rules : {NameRules::Windows, NameRules::Posix}) {
        Outcome outcome;
        bool journalSeen = false;
        for (int k = 1;; ++k) {
            MemoryFileSystem first(rules);
            SetUpDisk(first, {Base(), {}});
            if (!RunKilledAt(first, k, run)) break;
            if (!first.Exists(JournalPath(kPath))) continue;  // nothing left to recover
            journalSeen = true;
            // The run after the kill loses power, tearing, at each step of its recovery.
            for (const Crash& crash : EveryCrash())
                for (int j = 1;; ++j) {
                    MemoryFileSystem disk = first;
                    bool recoveryFired = false;
                    {
                        FaultFileSystem faulty(disk, crash, j);
                        try {
                            (void)Archive::Open(kPath, faulty);
                        } catch (const ArchiveError&) {}
                        recoveryFired = faulty.Fired();
                    }
                    CheckAfterFault(disk, before, after, files, false,
                                    std::string(RulesName(rules)) + ", kill at " + std::to_string(k) + ", " +
                                        CrashName(crash) + " at " + std::to_string(j),
                                    outcome, paths);
                    if (!recoveryFired) break;
                }
        }
        EXPECT_TRUE(journalSeen);
        EXPECT_TRUE(outcome.sawNew);
        EXPECT_TRUE(outcome.sawOld);
    }
}

TEST(ArchiveCrash, RecoveryItselfSurvivesAFault) {
    RecoverySurvivesAFault(CommitOf([](Archive& archive) { archive.Put("a.dff", Pattern(100, 6)); }, true), false);
}

TEST(ArchiveCrash, RecoveryOfAGrowingCommitItselfSurvivesAFault) {
    RecoverySurvivesAFault(CommitOf(
                               [](Archive& archive) {
                                   archive.PutFile("added.dff", kModFile);
                                   archive.Put("a.dff", Pattern(100, 6));
                               },
                               true),
                           true);
}

// A commit that grows the archive: data of a file and of memory past its
// end, and a replacement within it that goes through the journal.
const FaultyRun kGrowingCommit = CommitOf(
    [](Archive& archive) {
        archive.PutFile("added.dff", kModFile);
        archive.Put("more.txd", Pattern(9000, 7));
        archive.Put("a.dff", Pattern(100, 6));
    },
    true);

// The disk a growing commit leaves when it is killed at the first step
// after which `left` holds; nothing when there is none.
std::optional<MemoryFileSystem> KilledWhere(const std::function<bool(MemoryFileSystem&)>& left) {
    for (int k = 1;; ++k) {
        MemoryFileSystem disk;
        SetUpDisk(disk, {Base(), {}});
        if (!RunKilledAt(disk, k, kGrowingCommit)) return std::nullopt;
        if (left(disk)) return disk;
    }
}

bool JournalSealed(MemoryFileSystem& disk) {
    if (!disk.Exists(JournalPath(kPath))) return false;
    auto journal = disk.Open(JournalPath(kPath), OpenMode::Read);
    return ReadJournal(*journal).has_value();
}

// The growth goes into the archive once, not into the journal too: at its
// point of no return the journal holds the growth's checksums, not its
// bytes, and the archive already holds the growth.
TEST(ArchiveJournal, AGrowingCommitsJournalHoldsTheGrowthsChecksumsNotItsBytes) {
    const auto [before, after, files] = Expected({Base(), {}}, kGrowingCommit);
    const uint64_t growth = files.after.size() - files.before.size();
    ASSERT_GE(growth, 5000u + 9000u);
    std::optional<MemoryFileSystem> sealed = KilledWhere(JournalSealed);
    ASSERT_TRUE(sealed.has_value()) << "no step leaves a sealed journal";
    const uint64_t journalSize = sealed->Contents(JournalPath(kPath)).size();
    EXPECT_LT(journalSize, growth / 4) << "the journal carries the growth: " << journalSize << " bytes";
    EXPECT_EQ(sealed->Contents(kPath).size(), files.after.size()) << "the growth is not in place at the seal";
    const Archive reopened = Archive::Open(kPath, *sealed);
    EXPECT_EQ(reopened.RecoveryOnOpen(), Recovery::Completed);
    EXPECT_TRUE(sealed->Contents(kPath) == files.after);
}

// What a growing commit added before its journal was sealed is cut off by
// the next open, back to the old size to the byte, but only where the
// archive is provably as the commit left it: its size between the old and
// the new one, and every piece below the old size that the commit would
// overwrite as it was. Anything else is another program's doing, and the
// archive is left as it is.
TEST(ArchiveJournal, GrowthIsCutOffOnlyWhereItIsTheCommitsOwn) {
    const std::vector<uint8_t> base = Base();
    std::optional<MemoryFileSystem> grown =
        KilledWhere([&](MemoryFileSystem& disk) { return GrownBeforeSeal(disk, base.size()); });
    ASSERT_TRUE(grown.has_value()) << "no step leaves the archive grown beside a journal not sealed";
    const std::vector<uint8_t> left = grown->Contents(kPath);
    const std::vector<uint8_t> journal = grown->Contents(JournalPath(kPath));
    const uint64_t newSize = Expected({Base(), {}}, kGrowingCommit).files.after.size();
    ASSERT_GT(left.size(), base.size());
    ASSERT_LE(left.size(), newSize);
    // The whole growth in place and the journal sealed, but for its last
    // byte (a power cut that lost the trailer's block).
    std::optional<MemoryFileSystem> sealed = KilledWhere(JournalSealed);
    ASSERT_TRUE(sealed.has_value());
    const std::vector<uint8_t> full = sealed->Contents(kPath);
    const std::vector<uint8_t> unsealed = sealed->Contents(JournalPath(kPath));

    auto changed = [&](size_t at) {
        std::vector<uint8_t> bytes = left;
        bytes[at] ^= 0x55;
        return bytes;
    };
    std::vector<uint8_t> longer = left;
    longer.resize(static_cast<size_t>(newSize) + 2048, 9);
    std::vector<uint8_t> shorter(base.begin(), base.end() - 2048);
    struct Case {
        const char* what;
        std::vector<uint8_t> archive;
        std::vector<uint8_t> journal;
        Recovery recovery;
        std::vector<uint8_t> after;
    };
    const Case cases[] = {
        {"as the commit left it", left, journal, Recovery::RolledBack, base},
        {"grown in full, the journal's end lost", full, std::vector<uint8_t>(unsealed.begin(), unsealed.end() - 1),
         Recovery::RolledBack, base},
        {"the directory changed by another program", changed(8 + 3), journal, Recovery::Stale, changed(8 + 3)},
        {"an entry the commit replaces changed by another program", changed(2048 + 10), journal, Recovery::Stale,
         changed(2048 + 10)},
        {"grown past the new size by another program", longer, journal, Recovery::Stale, longer},
        {"shorter than its old size", shorter, journal, Recovery::Stale, shorter},
    };
    for (const Case& c : cases) {
        MemoryFileSystem disk;
        disk.SetFile(kPath, c.archive);
        disk.SetFile(JournalPath(kPath), c.journal);
        EXPECT_EQ(RecoveryOnOpen(disk, c.recovery, c.what), c.recovery) << c.what;
        EXPECT_TRUE(disk.Contents(kPath) == c.after)
            << c.what << ": " << Described(disk.Contents(kPath)) << ", not " << Described(c.after);
        EXPECT_FALSE(disk.Exists(JournalPath(kPath))) << c.what;
    }
}

// After the point of no return the growth must be in place: a sealed
// journal whose growth the archive does not hold is not this archive's
// unfinished commit, and the archive is left as it is.
TEST(ArchiveJournal, ASealedJournalWhoseGrowthIsNotInPlaceIsStale) {
    std::optional<MemoryFileSystem> sealed = KilledWhere(JournalSealed);
    ASSERT_TRUE(sealed.has_value()) << "no step leaves a sealed journal";
    const std::vector<uint8_t> base = Base();
    std::vector<uint8_t> archive = sealed->Contents(kPath);
    ASSERT_GT(archive.size(), base.size() + 2048);
    archive[base.size() + 2048 + 5] ^= 0x55;  // inside the growth
    sealed->SetFile(kPath, archive);
    Recovery recovery = Recovery::None;
    try {
        recovery = Archive::Open(kPath, *sealed).RecoveryOnOpen();
    } catch (const ArchiveError& error) {
        ADD_FAILURE() << error.reason();
    }
    EXPECT_EQ(recovery, Recovery::Stale);
    EXPECT_TRUE(sealed->Contents(kPath) == archive);
    EXPECT_FALSE(sealed->Exists(JournalPath(kPath)));
}

TEST(ArchiveJournal, CountsOnlyWhenCompleteAndIntact) {
    Journal journal;
    journal.oldSize = 4 * 2048;
    journal.newSize = 5 * 2048;
    journal.writes.push_back({0, Pattern(40, 1)});
    journal.writes.push_back({4 * 2048, Pattern(2048, 2)});
    MemoryFileSystem disk;
    const std::vector<uint8_t> bytes = EncodeJournal(journal, disk);
    EXPECT_EQ(bytes.size(), JournalBytes(journal)) << "the journal knows its own size";
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
    // Changes that cancel out in a checksum that mixes 64-bit words by
    // multiplication: the top bit of two neighbouring words of the data.
    // Data whose words differ only in their high bits (floats, say) tears
    // into such changes.
    const auto data = static_cast<size_t>(
        std::search(bytes.begin(), bytes.end(), journal.writes[0].bytes.begin(), journal.writes[0].bytes.end()) -
        bytes.begin());
    for (size_t word = (data + 7) / 8 * 8; word + 16 <= data + journal.writes[0].bytes.size(); word += 8) {
        std::vector<uint8_t> twice = bytes;
        twice[word + 7] ^= 0x80;
        twice[word + 15] ^= 0x80;
        ASSERT_FALSE(DecodeJournal(twice)) << "the top bits of the words at " << word << " and " << word + 8;
    }
    journal.newSize = 6 * 2048;  // more than its writes reach
    EXPECT_FALSE(DecodeJournal(EncodeJournal(journal, disk)));
    journal.newSize = 5 * 2048;
    journal.writes[1].offset = 20;  // overlaps the first write
    EXPECT_FALSE(DecodeJournal(EncodeJournal(journal, disk)));
}

// The journal's size is known before it is written, exactly, whatever its
// writes: where they start and end within pieces, zeros, data from files or
// from the archive itself, the directory's runs. One bound holds for the
// writer and the reader: the writer stops before it writes a journal past
// it, and the reader, which checks the seal first, never drops a sealed one
// past it but stops with an error.
TEST(ArchiveJournal, OneBoundForTheWriterAndTheReader) {
    std::vector<Entry> entries = {{"a.dff", 1, 2}, {"b.txd", 3, 1}, {"c.dff", 4, 3}};
    std::vector<uint8_t> archive = SoundArchive({{"a.dff", 2}, {"b.txd", 1}, {"c.dff", 3}});
    for (size_t at = 2048; at < archive.size(); ++at) archive[at] = static_cast<uint8_t>(at * 7);
    const std::vector<uint8_t> before = format::EncodeDirectory(entries);
    entries[1].name = "B.TXD";
    entries.push_back({"d.dff", 7, 1});
    const std::vector<uint8_t> after = format::EncodeDirectory(entries);
    MemoryFileSystem disk;
    disk.SetFile("mod/c.dff", Pattern(5000, 3));
    const StagedData fromFile = StagedData::FromFile("mod/c.dff", 5000);

    std::vector<Journal> shapes;
    Journal directory{archive.size(), archive.size(),
                      DirectoryWrites(std::vector<uint8_t>(before.begin(), before.begin() + 8 + 3 * 32),
                                      std::vector<uint8_t>(after.begin(), after.begin() + 8 + 4 * 32))};
    shapes.push_back(directory);
    Journal mixed{archive.size(), archive.size() + 2048, {}};
    mixed.writes.push_back({100, Pattern(1500, 1)});            // both ends inside pieces
    mixed.writes.push_back({2048 + 700, Pattern(10, 2), 300});  // data and zeros within one piece
    mixed.writes.push_back({3 * 2048, {}, 2048});               // zeros only
    JournalWrite staged;                                        // from a file, padded
    staged.offset = 4 * 2048;
    staged.staged = &fromFile;
    staged.zeros = 3 * 2048 - 5000;
    mixed.writes.push_back(staged);
    JournalWrite moved;  // the archive's own bytes, to where it grows
    moved.offset = 7 * 2048;
    moved.fromArchive = 2048;
    moved.length = 2048;
    mixed.writes.push_back(moved);
    shapes.push_back(mixed);
    Journal grown = mixed;  // the same, its growth written into the archive (version 4)
    grown.guarded = before.size();
    MarkGrowth(grown);
    ASSERT_TRUE(Grows(grown));
    shapes.push_back(grown);
    shapes.push_back(Journal{archive.size(), archive.size() - 2048, {{archive.size() - 2048 - 1, {}, 1}}});
    shapes.push_back(Journal{archive.size(), archive.size(), {}});

    for (size_t i = 0; i < shapes.size(); ++i) {
        const Journal& journal = shapes[i];
        const std::vector<uint8_t> bytes = EncodeJournal(journal, disk, archive);
        EXPECT_EQ(bytes.size(), JournalBytes(journal)) << "shape " << i;
        ASSERT_TRUE(DecodeJournal(bytes).has_value()) << "shape " << i;

        // The writer: past the bound, nothing is written.
        disk.SetFile(kPath, archive);
        {
            auto file = disk.Open(kPath, OpenMode::ReadWrite);  // a journal that grows it writes into it
            try {
                WriteJournal(disk, kPath, journal, *file, {}, bytes.size() - 1);
                ADD_FAILURE() << "shape " << i << ": written past the bound";
            } catch (const ArchiveError& error) {
                EXPECT_EQ(error.kind(), ErrorKind::TooLarge) << "shape " << i;
            }
            EXPECT_FALSE(disk.Exists(JournalPath(kPath))) << "shape " << i;
            WriteJournal(disk, kPath, journal, *file, {}, bytes.size()).reset();
        }
        EXPECT_EQ(disk.Contents(JournalPath(kPath)), bytes) << "shape " << i;

        // The reader: the same bound, the seal first.
        auto file = disk.Open(JournalPath(kPath), OpenMode::Read);
        EXPECT_TRUE(ReadJournal(*file, bytes.size()).has_value()) << "shape " << i;
        try {
            (void)ReadJournal(*file, bytes.size() - 1);
            ADD_FAILURE() << "shape " << i << ": a sealed journal past the bound was dropped";
        } catch (const ArchiveError& error) {
            EXPECT_EQ(error.kind(), ErrorKind::Damaged) << "shape " << i;
            EXPECT_NE(error.reason().find("sealed"), std::string::npos) << error.reason();
        }
        file.reset();
        disk.SetFile(JournalPath(kPath), std::vector<uint8_t>(bytes.begin(), bytes.end() - 1));
        file = disk.Open(JournalPath(kPath), OpenMode::Read);
        EXPECT_FALSE(ReadJournal(*file, 100).has_value()) << "shape " << i << ": a torn journal counts for nothing";
        file.reset();
        disk.Remove(JournalPath(kPath));
    }
}

// The in-place commit of most bytes: an archive of the largest size the
// game can address, every entry replaced by data of its size under another
// spelling (the directory changes too). Its journal covers nearly all of the
// archive, with record heads and the directory's run: it must be one the
// reader takes, or the commit must not go in place.
TEST(ArchiveJournal, TheLargestInPlaceCommitIsWithinTheBound) {
    std::vector<Entry> records;
    uint64_t sector = 1;
    for (size_t i = 0; sector < format::kMaxArchiveBytes / kSectorSize; ++i) {
        const auto sectors =
            static_cast<uint32_t>(std::min<uint64_t>(52429, format::kMaxArchiveBytes / kSectorSize - sector));
        records.push_back({"e" + std::to_string(i) + ".dff", static_cast<uint32_t>(sector), sectors});
        sector += sectors;
    }
    std::vector<uint8_t> directory = format::EncodeDirectory(records);
    directory.resize(format::DirectoryBytes(records.size()));
    std::vector<std::string> names;
    std::vector<StagedData> data;
    for (const Entry& record : records) {
        names.push_back("E" + record.name.substr(1));
        data.push_back(StagedData::FromFile("mod/" + record.name, uint64_t{record.sectors} * kSectorSize));
    }
    StagedChanges staged{records, directory, format::kMaxArchiveBytes, {}, {}, false, 0};
    for (size_t i = 0; i < records.size(); ++i) staged.changes.push_back({i, false, &names[i], &data[i], {}});
    const std::optional<InPlacePlan> plan = PlanInPlace(staged);
    ASSERT_TRUE(plan.has_value());
    EXPECT_EQ(plan->journal.writes.size(), records.size() + 1) << "the directory's run, then every entry";
    EXPECT_TRUE(WithinJournalBound(plan->journal))
        << JournalBytes(plan->journal) << " bytes, the bound " << kMaxJournalBytes;
}

// A sealed journal past the bound, in writes here (each record head counts
// towards the bytes too), stops the open and stays, the archive as it is:
// it is never dropped, which could leave a half-applied commit unnoticed.
TEST(ArchiveJournal, ASealedJournalPastTheBoundStopsTheOpen) {
    const std::vector<uint8_t> base = SoundArchive({{"a.dff", 2}});
    const Journal journal{base.size(), base.size(), {{2048, Pattern(100, 1)}}};
    MemoryFileSystem disk;
    const std::vector<uint8_t> one = EncodeJournal(journal, disk, base);
    // As many more writes of nothing at the archive's end as pass the bound.
    std::vector<uint8_t> bytes(one.begin(), one.end() - 12);
    const uint64_t count = 1 + kMaxJournalWrites;
    for (size_t i = 0; i < 4; ++i) bytes[24 + i] = static_cast<uint8_t>(count >> (8 * i));
    uint8_t record[24] = {};
    for (size_t i = 0; i < 8; ++i) record[i] = static_cast<uint8_t>(base.size() >> (8 * i));
    for (uint64_t i = 1; i < count; ++i) bytes.insert(bytes.end(), record, record + sizeof record);
    const Digest seal = Sha256Of(bytes);
    bytes.insert(bytes.end(), seal.begin(), seal.begin() + 8);
    bytes.insert(bytes.end(), one.end() - 4, one.end());
    disk.SetFile(kPath, base);
    disk.SetFile(JournalPath(kPath), bytes);
    try {
        (void)Archive::Open(kPath, disk);
        ADD_FAILURE() << "opened";
    } catch (const ArchiveError& error) {
        EXPECT_EQ(error.kind(), ErrorKind::Damaged);
        EXPECT_EQ(error.path(), JournalPath(kPath));
        EXPECT_NE(error.reason().find("sealed"), std::string::npos) << error.reason();
    }
    EXPECT_EQ(disk.Contents(kPath), base);
    EXPECT_EQ(disk.Contents(JournalPath(kPath)), bytes);
    // Within the bound, the same journal is this archive's own.
    disk.SetFile(JournalPath(kPath), one);
    EXPECT_EQ(Archive::Open(kPath, disk).RecoveryOnOpen(), Recovery::Completed);
}

enum class SealedAs { Current, WordSealed, DigestSealed };

std::vector<uint8_t> InLayout(const std::vector<uint8_t>& bytes, SealedAs layout) {
    switch (layout) {
    case SealedAs::Current:
        break;
    case SealedAs::WordSealed:
        return WordSealed(bytes);
    case SealedAs::DigestSealed:
        return DigestSealed(bytes);
    }
    return bytes;
}

TEST(ArchiveJournal, EarlierLayoutsCountOnlyWhenCompleteAndIntact) {
    Journal journal;
    journal.oldSize = 4 * 2048;
    journal.newSize = 5 * 2048;
    journal.writes.push_back({100, Pattern(1500, 1)});
    journal.writes.push_back({4 * 2048, Pattern(2048, 2)});
    MemoryFileSystem disk;
    const std::vector<uint8_t> current = EncodeJournal(journal, disk);
    for (const SealedAs layout : {SealedAs::WordSealed, SealedAs::DigestSealed}) {
        const std::vector<uint8_t> bytes = InLayout(current, layout);
        const std::optional<Journal> decoded = DecodeJournal(bytes);
        ASSERT_TRUE(decoded.has_value());
        ASSERT_EQ(decoded->writes.size(), 2u);
        EXPECT_EQ(decoded->writes[0].bytes, journal.writes[0].bytes);
        for (size_t length = 0; length < bytes.size(); ++length)
            ASSERT_FALSE(
                DecodeJournal(std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length))))
                << "torn at " << length;
        for (size_t at = 0; at < bytes.size(); at += 7) {
            std::vector<uint8_t> flipped = bytes;
            flipped[at] ^= 0x10;
            ASSERT_FALSE(DecodeJournal(flipped)) << "flipped at " << at;
        }
        // This version's seal under the earlier version number is no seal.
        std::vector<uint8_t> renumbered = current;
        renumbered[4] = 2;
        EXPECT_FALSE(DecodeJournal(renumbered));
    }
}

// A journal left beside an archive, and what the next open makes of it:
// applied where every piece holds its old or new bytes; dropped, the
// archive left as it is, where anything else changed it.
TEST(ArchiveJournal, IsAppliedOnlyToTheArchiveItWasWrittenFor) {
    const std::vector<uint8_t> base = SoundArchive({{"a.dff", 2}, {"b.txd", 1}});
    Journal journal;
    journal.oldSize = base.size();
    journal.newSize = base.size() + 2048;
    journal.writes.push_back({2048 + 100, Pattern(1500, 1)});   // inside a.dff
    journal.writes.push_back({base.size(), Pattern(2048, 2)});  // a new sector at the end
    MemoryFileSystem scratch;
    const std::vector<uint8_t> bytes = EncodeJournal(journal, scratch, base);
    // Not marked as growth: the layout of version 3, in which a commit that
    // grows the archive journals the growth's bytes too. Such journals are
    // still completed.
    ASSERT_EQ(bytes[4], 3);
    std::vector<uint8_t> applied = base;
    std::copy_n(Pattern(1500, 1).begin(), 1500, applied.begin() + 2048 + 100);
    const std::vector<uint8_t> grown = Pattern(2048, 2);
    applied.insert(applied.end(), grown.begin(), grown.end());
    // Half applied: the first write torn after its first 512-byte block.
    std::vector<uint8_t> torn = base;
    std::copy_n(applied.begin() + 2048 + 100, 412, torn.begin() + 2048 + 100);
    // Another program changed a.dff after the journal was applied (in place,
    // as editors that do not write anew do), or before it (a different archive).
    std::vector<uint8_t> changedAfter = applied;
    changedAfter[2048 + 700] ^= 0x55;
    std::vector<uint8_t> changedBefore = base;
    changedBefore[2048 + 700] ^= 0x55;
    std::vector<uint8_t> longer = applied;
    longer.resize(longer.size() + 2048, 7);
    struct Case {
        const char* what;
        std::vector<uint8_t> archive;
        Recovery recovery;
        std::vector<uint8_t> after;
        SealedAs layout = SealedAs::Current;  // or one an earlier version left
    };
    const Case cases[] = {
        {"not applied yet", base, Recovery::Completed, applied},
        {"torn in the middle of applying", torn, Recovery::Completed, applied},
        {"torn in the middle of applying, sealed by words", torn, Recovery::Completed, applied, SealedAs::WordSealed},
        {"changed by another program, sealed by words", changedAfter, Recovery::Stale, changedAfter,
         SealedAs::WordSealed},
        {"torn in the middle of applying, sealed by the whole digest", torn, Recovery::Completed, applied,
         SealedAs::DigestSealed},
        {"not applied yet, sealed by the whole digest", base, Recovery::Completed, applied, SealedAs::DigestSealed},
        {"changed by another program, sealed by the whole digest", changedAfter, Recovery::Stale, changedAfter,
         SealedAs::DigestSealed},
        {"grown, nothing written yet",
         [&] {
             auto b = base;
             b.resize(applied.size());
             return b;
         }(),
         Recovery::Completed, applied},
        {"already applied (the removal failed)", applied, Recovery::Completed, applied},
        {"changed by another program after it was applied", changedAfter, Recovery::Stale, changedAfter},
        {"another archive", changedBefore, Recovery::Stale, changedBefore},
        {"grown past its new size by another program", longer, Recovery::Stale, longer},
        {"shorter than its old size", std::vector<uint8_t>(base.begin(), base.end() - 2048), Recovery::Stale,
         std::vector<uint8_t>(base.begin(), base.end() - 2048)},
    };
    for (const Case& c : cases) {
        MemoryFileSystem disk;
        disk.SetFile(kPath, c.archive);
        disk.SetFile(JournalPath(kPath), InLayout(bytes, c.layout));
        EXPECT_EQ(RecoveryOnOpen(disk, c.recovery, c.what), c.recovery) << c.what;
        EXPECT_EQ(disk.Contents(kPath), c.after) << c.what;
        EXPECT_EQ(disk.Paths(), std::vector<std::string>{kPath}) << c.what << ": the journal stays";
    }
}

TEST(ArchiveJournal, WorkInProgressOfAnotherCommitIsLeftAlone) {
    MemoryFileSystem disk;
    const std::vector<uint8_t> base = SoundArchive({{"a.dff", 2}});
    disk.SetFile(kPath, base);
    Journal journal;
    journal.oldSize = base.size();
    journal.newSize = base.size();
    journal.writes.push_back({2048, Pattern(40, 1)});
    disk.SetFile(JournalPath(kPath), EncodeJournal(journal, disk, base));
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

// A journal the commit cannot remove (a virus scanner holds it) is emptied
// first and named in the result: never left complete, so a later change by
// another program is safe from it.
TEST(ArchiveJournal, OneThatCannotBeRemovedIsEmptiedAndNamed) {
    for (const NameRules rules : {NameRules::Windows, NameRules::Posix}) {
        MemoryFileSystem disk(rules);
        SetUpDisk(disk, {Base(), {}});
        CommitStats stats;
        {
            // The last step of the in-place commit is the journal's removal.
            int steps = 0;
            {
                MemoryFileSystem probe(rules);
                SetUpDisk(probe, {Base(), {}});
                FaultFileSystem counting(probe, Fault::Error, 0);
                Archive archive = Archive::Open(kPath, counting);
                archive.Put("a.dff", Pattern(100, 1));
                archive.Commit();
                steps = counting.Operations();
            }
            FaultFileSystem faulty(disk, Crash{Fault::Error, {}, 0, ErrorKind::Locked}, steps);
            Archive archive = Archive::Open(kPath, faulty);
            archive.Put("a.dff", Pattern(100, 1));
            stats = archive.Commit();
            EXPECT_EQ(faulty.FiredOn(), "remove");
        }
        EXPECT_NE(stats.leftOver.find(JournalPath(kPath)), std::string::npos) << stats.leftOver;
        ASSERT_TRUE(disk.Exists(JournalPath(kPath)));
        EXPECT_TRUE(disk.Contents(JournalPath(kPath)).empty());
        // Another program changes the entry in place; the next open leaves it.
        std::vector<uint8_t> changed = disk.Contents(kPath);
        changed[2048 + 10] ^= 0x55;
        disk.SetFile(kPath, changed);
        EXPECT_EQ(Archive::Open(kPath, disk).RecoveryOnOpen(), Recovery::None);
        EXPECT_EQ(disk.Contents(kPath), changed);
        EXPECT_FALSE(disk.Exists(JournalPath(kPath)));
    }
}

}  // namespace
}  // namespace veltrin::archive

namespace veltrin::archive {
namespace {

// A journal whose writing fails and that can then be neither removed nor
// emptied (a virus scanner holds it). Either its flush reports a failure
// though its bytes reached the disk all the same (the next open completes
// the commit), or its write tears, half of it on the disk (the next open
// rolls it back). Either way the commit must not say that nothing changed.
enum class JournalFault { FlushReportedLost, WriteTorn };

class StubbornJournal final : public testing::ForwardingFileSystem {
public:
    StubbornJournal(FileSystem& inner, JournalFault fault) : ForwardingFileSystem(inner), fault_(fault) {}
    std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
        if (path == JournalPath(kPath) && mode == OpenMode::ReadWrite)
            throw ArchiveError(ErrorKind::Locked, path, "another program holds it");
        auto file = inner_.Open(path, mode);
        if (path != JournalPath(kPath)) return file;
        return std::make_unique<FailingJournal>(std::move(file), fault_);
    }
    void Remove(const std::string& path) override {
        if (path == JournalPath(kPath)) throw ArchiveError(ErrorKind::Locked, path, "another program holds it");
        inner_.Remove(path);
    }

private:
    class FailingJournal final : public File {
    public:
        FailingJournal(std::unique_ptr<File> inner, JournalFault fault) : inner_(std::move(inner)), fault_(fault) {}
        uint64_t Size() override { return inner_->Size(); }
        void ReadAt(uint64_t offset, std::span<uint8_t> bytes) override { inner_->ReadAt(offset, bytes); }
        void WriteAt(uint64_t offset, std::span<const uint8_t> bytes) override {
            if (fault_ != JournalFault::WriteTorn) return inner_->WriteAt(offset, bytes);
            inner_->WriteAt(offset, bytes.first(bytes.size() / 2));
            throw ArchiveError(ErrorKind::Io, JournalPath(kPath), "the disk reported a write error");
        }
        void Resize(uint64_t size) override { inner_->Resize(size); }
        void Flush() override {
            inner_->Flush();
            if (fault_ == JournalFault::FlushReportedLost)
                throw ArchiveError(ErrorKind::Io, JournalPath(kPath), "the flush was reported lost");
        }

    private:
        std::unique_ptr<File> inner_;
        JournalFault fault_;
    };
    JournalFault fault_;
};

// The outcome is told from what the archive holds, also where the commit
// leaves the directory and the size as they were (a replacement that fits
// its entry's sectors), so that they cannot tell old from new.
TEST(ArchiveJournal, AFailedJournalThatCannotBeRemovedMakesTheCommitInterrupted) {
    struct Case {
        const char* what;
        JournalFault fault;
        const char* name;  // the replacement's spelling: another one changes the directory
        CommitOutcome::Holds holds;
        Recovery recovery;
    };
    const Case cases[] = {
        {"flush reported lost", JournalFault::FlushReportedLost, "A.DFF", CommitOutcome::Holds::New,
         Recovery::Completed},
        {"flush reported lost, same directory", JournalFault::FlushReportedLost, "a.dff", CommitOutcome::Holds::New,
         Recovery::Completed},
        {"torn write", JournalFault::WriteTorn, "A.DFF", CommitOutcome::Holds::Old, Recovery::RolledBack},
        {"torn write, same directory", JournalFault::WriteTorn, "a.dff", CommitOutcome::Holds::Old,
         Recovery::RolledBack},
    };
    for (const Case& c : cases) {
        MemoryFileSystem disk;
        SetUpDisk(disk, {Base(), {}});
        StubbornJournal stubborn(disk, c.fault);
        Archive archive = Archive::Open(kPath, stubborn);
        const Entry a = archive.Entries().front();
        ASSERT_EQ(a.name, "a.dff");
        archive.Put(c.name, Pattern(100, 1));
        std::vector<uint8_t> changed = Base();
        std::copy_n(c.name, 5, changed.begin() + 8 + 8);
        const auto start = changed.begin() + static_cast<std::ptrdiff_t>(a.offset) * 2048;
        std::copy_n(Pattern(100, 1).begin(), 100, start);
        std::fill_n(start + 100, a.sectors * 2048 - 100, 0);
        try {
            archive.Commit();
            ADD_FAILURE() << c.what << ": committed";
        } catch (const CommitInterrupted& interrupted) {
            const CommitOutcome outcome = OutcomeOf(interrupted, kPath, disk);
            EXPECT_EQ(outcome.holds, c.holds) << c.what;
            EXPECT_EQ(outcome.recovery, c.recovery) << c.what;
            EXPECT_EQ(disk.Contents(kPath), c.holds == CommitOutcome::Holds::New ? changed : Base()) << c.what;
        } catch (const ArchiveError& error) {
            ADD_FAILURE() << c.what << ": a plain failure, which says nothing changed: " << error.reason();
        }
    }
}

// A growing commit whose growth fails to go in, and whose archive then
// cannot be cut back to its old size either (the disk refuses to change
// its size): the journal's intent must stay, the commit counts as
// interrupted, and opening the archive again cuts the growth off.
class GrowthRefused final : public testing::ForwardingFileSystem {
public:
    using ForwardingFileSystem::ForwardingFileSystem;
    std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
        auto file = inner_.Open(path, mode);
        if (path != kPath || mode == OpenMode::Read) return file;
        return std::make_unique<Refusing>(std::move(file));
    }

private:
    class Refusing final : public File {
    public:
        explicit Refusing(std::unique_ptr<File> inner) : inner_(std::move(inner)), oldSize_(inner_->Size()) {}
        uint64_t Size() override { return inner_->Size(); }
        void ReadAt(uint64_t offset, std::span<uint8_t> bytes) override { inner_->ReadAt(offset, bytes); }
        void WriteAt(uint64_t offset, std::span<const uint8_t> bytes) override {
            if (offset >= oldSize_) {
                inner_->WriteAt(offset, bytes.first(bytes.size() / 2));
                throw ArchiveError(ErrorKind::Io, kPath, "the disk reported a write error");
            }
            inner_->WriteAt(offset, bytes);
        }
        void Resize(uint64_t size) override {
            if (size < inner_->Size()) throw ArchiveError(ErrorKind::Io, kPath, "the size cannot be changed");
            inner_->Resize(size);
        }
        void Flush() override { inner_->Flush(); }

    private:
        std::unique_ptr<File> inner_;
        uint64_t oldSize_;
    };
};

TEST(ArchiveJournal, AGrowthThatCannotBeCutBackMakesTheCommitInterrupted) {
    MemoryFileSystem disk;
    SetUpDisk(disk, {Base(), {}});
    GrowthRefused refused(disk);
    Archive archive = Archive::Open(kPath, refused);
    archive.PutFile("added.dff", kModFile);
    try {
        archive.Commit();
        ADD_FAILURE() << "committed";
    } catch (const CommitInterrupted& interrupted) {
        EXPECT_GT(disk.Contents(kPath).size(), Base().size()) << "the growth was not begun";
        EXPECT_TRUE(disk.Exists(JournalPath(kPath))) << "the intent that tells the next open to cut is gone";
        const CommitOutcome outcome = OutcomeOf(interrupted, kPath, disk);
        EXPECT_EQ(outcome.holds, CommitOutcome::Holds::Old);
        EXPECT_EQ(outcome.recovery, Recovery::RolledBack);
        EXPECT_TRUE(disk.Contents(kPath) == Base()) << Described(disk.Contents(kPath));
        EXPECT_FALSE(disk.Exists(JournalPath(kPath)));
    } catch (const ArchiveError& error) {
        ADD_FAILURE() << "a plain failure, which says nothing changed: " << error.reason();
    }
}

}  // namespace
}  // namespace veltrin::archive
