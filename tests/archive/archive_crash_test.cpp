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
#include "archive/journal.h"
#include "archive/recovery.h"
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
using testing::EncodeJournal;
using testing::EveryCrash;
using testing::Fault;
using testing::FaultFileSystem;
using testing::MemoryFileSystem;
using testing::NameRules;
using testing::Pattern;
using testing::SoundArchive;
using testing::Tear;

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

// Opens the archive as the next run would and checks what it holds.
void CheckAfterFault(MemoryFileSystem& disk, const Snapshot& before, const Snapshot& after, bool committed,
                     const std::string& what, Outcome& outcome, const std::vector<std::string>& paths,
                     const std::vector<std::string>& problemsBefore = {}) {
    bool isNew = false;
    try {
        const Archive reopened = Archive::Open(kPath, disk);
        const Snapshot now = Take(reopened);
        const Recovery recovery = reopened.RecoveryOnOpen();
        if (now == after) {
            isNew = true;
            outcome.sawNew = true;
            EXPECT_NE(recovery, Recovery::RolledBack) << what;
        } else {
            EXPECT_TRUE(now == before) << what << ": neither the old nor the new content";
            EXPECT_FALSE(committed) << what << ": a commit that reported success was lost";
            EXPECT_NE(recovery, Recovery::Completed) << what;
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
};

// Runs the change with the crash at every step in turn until a run goes
// through untouched.
Sweep RunWithEveryFault(NameRules rules, const DiskSetup& base, const Snapshot& before, const Snapshot& after,
                        const FaultyRun& run, const Crash& crash) {
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
        if (livesOn) {
            // What a run that lived on left must hold through a power cut
            // that comes later: what a failure said was not changed stays
            // unchanged, what a success said was saved stays saved.
            MemoryFileSystem cut = disk;
            cut.LosePower(Tear::LoseAll);
            const std::string later = what + ", then a power cut";
            CheckAfterFault(cut, before, after, committed, later, outcome, paths, problemsBefore);
            if (saidUnchanged) {
                try {
                    EXPECT_TRUE(Take(Archive::Open(kPath, cut)) == before)
                        << later << ": a commit that failed without changing anything took effect";
                } catch (const ArchiveError&) {}
            }
        }
        CheckAfterFault(disk, before, after, committed, what, outcome, paths, problemsBefore);
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

// The content before and after the change, from a run without faults.
std::pair<Snapshot, Snapshot> Expected(const DiskSetup& base, const FaultyRun& run) {
    MemoryFileSystem disk;
    SetUpDisk(disk, base);
    Snapshot before = Take(Archive::Open(kPath, disk));
    FaultFileSystem untouched(disk, Fault::Error, 0);
    std::optional<Archive> archive;
    run(untouched, archive);
    return {std::move(before), Take(Archive::Open(kPath, disk))};
}

void SweepEveryWay(const DiskSetup& base, const FaultyRun& run, int leastSteps,
                   const std::function<void(const Crash&, const Sweep&)>& check = {}) {
    const auto [before, after] = Expected(base, run);
    ASSERT_NE(before, after);
    for (const NameRules rules : {NameRules::Windows, NameRules::Posix})
        for (const Crash& crash : EveryCrash()) {
            const Sweep sweep = RunWithEveryFault(rules, base, before, after, run, crash);
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

Layout layoutBefore;                           // the base's, before AfterAnInstall changed it
std::map<std::string, std::string> originals;  // and the backups it made

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
    for (const char* name : {"a.dff", "c.dff"}) {
        setup.files["backup/" + std::string(name)] = archive.Read(*archive.Find(name));
        originals[name] = "backup/" + std::string(name);
    }
    archive.Put("a.dff", Pattern(9000, 1));
    archive.Put("c.dff", Pattern(100, 2));
    archive.Put("new.txd", Pattern(5000, 3));
    archive.Commit();
    setup.archive = disk.Contents(kPath);
    return setup;
}

// Every kind of commit, broken at every step by every crash under both
// systems' rules: old or new content, never a mix.
TEST(ArchiveCrash, EveryKindOfCommitIsOldOrNewAfterAFaultAtAnyStep) {
    std::vector<std::pair<std::string, uint16_t>> full;
    for (int i = 0; i < 63; ++i) full.push_back({"e" + std::to_string(i) + ".dff", 1});
    const DiskSetup afterInstall = AfterAnInstall();
    struct Case {
        const char* what;
        DiskSetup setup;
        FaultyRun run;
        int leastSteps;
    };
    const Case cases[] = {
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
         5},
        {"the end cut off", {Base(), {}}, CommitOf([](Archive& archive) { archive.Remove("e.dff"); }, true), 4},
        {"the first entry moved for the directory",
         {SoundArchive(full), {}},
         CommitOf([](Archive& archive) { archive.Put("last.dff", Pattern(100, 1)); }, true),
         5},
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
        {"a rebuild",
         {testing::RawArchive({{"b.dff", 5, 2}, {"a.dff", 1, 3}, {"c.dff", 8, 1}}, 9 * 2048), {}},
         [](FaultFileSystem& fs, std::optional<Archive>&) { Rebuild(kPath, {}, fs); },
         4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const bool rewrites =
            std::string(c.what).find("anew") != std::string::npos || std::string(c.what) == "a rebuild";
        SweepEveryWay(c.setup, c.run, c.leastSteps, [&](const Crash& crash, const Sweep& sweep) {
            // The rename put the new archive in place, then its folder flush failed.
            if (rewrites && crash.fault == Fault::ErrorAfterDone) {
                EXPECT_TRUE(sweep.refusedAfterRename || c.what == std::string("a rebuild"));
            }
        });
    }
}

TEST(ArchiveCrash, RecoveryItselfSurvivesAFault) {
    const FaultyRun run = CommitOf([](Archive& archive) { archive.Put("a.dff", Pattern(100, 6)); }, true);
    const auto [before, after] = Expected({Base(), {}}, run);
    const std::vector<std::string> paths = PathsOf({Base(), {}});
    for (const NameRules rules : {NameRules::Windows, NameRules::Posix}) {
        Outcome outcome;
        bool journalSeen = false;
        for (int k = 1;; ++k) {
            MemoryFileSystem first(rules);
            SetUpDisk(first, {Base(), {}});
            bool fired = false;
            {
                FaultFileSystem faulty(first, Fault::Kill, k);
                std::optional<Archive> archive;
                try {
                    run(faulty, archive);
                } catch (const ArchiveError&) {}
                fired = faulty.Fired();
            }
            if (!fired) break;
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
                    CheckAfterFault(disk, before, after, false,
                                    std::string(RulesName(rules)) + ", kill at " + std::to_string(k) + ", " +
                                        CrashName(crash) + " at " + std::to_string(j),
                                    outcome, paths);
                    if (!recoveryFired) break;
                }
        }
        EXPECT_TRUE(journalSeen);
        EXPECT_TRUE(outcome.sawNew);
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

// The journal as the version before the SHA-256 seal wrote it: version 2,
// sealed by FNV-1a over the body's 64-bit little-endian words (the last
// bytes one by one), seeded with the body's length.
std::vector<uint8_t> WordSealed(std::vector<uint8_t> bytes) {
    const size_t body = bytes.size() - 12;  // the seal and the end mark follow
    bytes[4] = 2;
    constexpr uint64_t kPrime = 0x100000001b3ull;
    uint64_t hash = 0xcbf29ce484222325ull ^ body;
    size_t at = 0;
    for (; at + 8 <= body; at += 8) {
        uint64_t word = 0;
        for (size_t i = 8; i-- > 0;) word = word << 8 | bytes[at + i];
        hash = (hash ^ word) * kPrime;
    }
    for (; at < body; ++at) hash = (hash ^ bytes[at]) * kPrime;
    for (size_t i = 0; i < 8; ++i) bytes[body + i] = static_cast<uint8_t>(hash >> (8 * i));
    return bytes;
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
        bool wordSealed = false;  // left by the version before
    };
    const Case cases[] = {
        {"not applied yet", base, Recovery::Completed, applied},
        {"torn in the middle of applying", torn, Recovery::Completed, applied},
        {"torn in the middle of applying by the version before", torn, Recovery::Completed, applied, true},
        {"changed by another program, journal of the version before", changedAfter, Recovery::Stale, changedAfter,
         true},
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
        disk.SetFile(JournalPath(kPath), c.wordSealed ? WordSealed(bytes) : bytes);
        Recovery recovery = Recovery::None;
        try {
            recovery = Archive::Open(kPath, disk).RecoveryOnOpen();
        } catch (const ArchiveError& error) {
            // A shortened archive may not open: what counts is that it was left alone.
            EXPECT_EQ(c.recovery, Recovery::Stale) << c.what << ": " << error.reason();
            recovery = Recovery::Stale;
        }
        EXPECT_EQ(recovery, c.recovery) << c.what;
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

// The journal's flush reports a failure (its bytes reached the disk all the
// same) and the journal can then be neither removed nor emptied (a virus
// scanner holds it): the next open would complete the commit, so the
// commit must not say that nothing changed.
class StubbornJournal final : public testing::ForwardingFileSystem {
public:
    using ForwardingFileSystem::ForwardingFileSystem;
    std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
        if (path == JournalPath(kPath) && mode == OpenMode::ReadWrite)
            throw ArchiveError(ErrorKind::Locked, path, "another program holds it");
        auto file = inner_.Open(path, mode);
        if (path != JournalPath(kPath)) return file;
        return std::make_unique<FailingFlush>(std::move(file));
    }
    void Remove(const std::string& path) override {
        if (path == JournalPath(kPath)) throw ArchiveError(ErrorKind::Locked, path, "another program holds it");
        inner_.Remove(path);
    }

private:
    class FailingFlush final : public File {
    public:
        explicit FailingFlush(std::unique_ptr<File> inner) : inner_(std::move(inner)) {}
        uint64_t Size() override { return inner_->Size(); }
        void ReadAt(uint64_t offset, std::span<uint8_t> bytes) override { inner_->ReadAt(offset, bytes); }
        void WriteAt(uint64_t offset, std::span<const uint8_t> bytes) override { inner_->WriteAt(offset, bytes); }
        void Resize(uint64_t size) override { inner_->Resize(size); }
        void Flush() override {
            inner_->Flush();
            throw ArchiveError(ErrorKind::Io, JournalPath(kPath), "the flush was reported lost");
        }

    private:
        std::unique_ptr<File> inner_;
    };
};

TEST(ArchiveJournal, AFailedJournalThatCannotBeRemovedMakesTheCommitInterrupted) {
    MemoryFileSystem disk;
    SetUpDisk(disk, {Base(), {}});
    StubbornJournal stubborn(disk);
    Archive archive = Archive::Open(kPath, stubborn);
    archive.Put("a.dff", Pattern(100, 1));
    try {
        archive.Commit();
        ADD_FAILURE() << "committed";
    } catch (const CommitInterrupted& interrupted) {
        const CommitOutcome outcome = OutcomeOf(interrupted, kPath, disk);
        EXPECT_EQ(outcome.holds, CommitOutcome::Holds::New) << "the next open completed it";
    } catch (const ArchiveError& error) {
        ADD_FAILURE() << "a plain failure, which says nothing changed: " << error.reason();
    }
}

}  // namespace
}  // namespace veltrin::archive
