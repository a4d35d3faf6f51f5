// A whole install run that fails, is killed or loses power at its k-th change
// to the disk, for every k, under Windows' and POSIX rules for names, with
// every crash the disk model knows: afterwards every archive entry holds
// either the player's original or the mod's data, never a mix, and wherever
// the mod's data went in, the original is safe in its backup (or the entry is
// marked as added). What the run showed before it ended is true of the disk
// after the next open: success only when it succeeded, an archive saved or
// left as it was as it said. A later install then completes with the
// originals still in the backups, and its undo gives both archives back byte
// for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fault_file_system.h"
#include "img_rules.h"
#include "install_crash_fixture.h"
#include "testing/memory_file_system.h"
#include "tool/runs/backup_marker.h"
#include "tool/runs/game_pending.h"
#include "tool/runs/install_record.h"
#include "tool/runs/pending_save.h"
#include "tool/runs/restore.h"
#include "tool/runs/script_runner.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

using namespace testing;
using archive::testing::Crash;
using archive::testing::CrashName;
using archive::testing::EveryCrash;
using archive::testing::FaultFileSystem;
using archive::testing::MemoryFileSystem;
using archive::testing::NameRules;

// Wherever the mod is in, its original is kept beside the archive (the
// game's record is checked with the folder's) and, unless a power cut took
// them, its backup or marker is in Backups.
void ExpectOriginalsSafe(MemoryFileSystem& fs, const Crash& crash, const std::string& what, bool& sawMod,
                         bool& sawOriginal) {
    const bool powerCut = crash.fault == archive::testing::Fault::PowerCut;
    for (const CrashItem& item : kCrashItems) {
        const std::string backup = Backup(item.archive, item.name);
        const Holds holds = Check(fs, item, what);
        if (holds == Holds::Mod) {
            sawMod = true;
            if (item.original.empty())
                EXPECT_TRUE(powerCut || fs.Exists(AddedMarkerPath(backup)))
                    << what << ": " << item.name << " is not marked";
            else
                EXPECT_TRUE(powerCut || fs.Exists(backup)) << what << ": the original of " << item.name << " is lost";
        } else {
            sawOriginal = true;
        }
    }
}

// A backup is the original, or one a kill or a power cut tore while it was
// written, which the folder's record as the next run reads it tells by what
// it holds: that run writes it again.
void ExpectEveryTornBackupTold(MemoryFileSystem& fs, const std::string& what) {
    const std::optional<InstallRecord> record = ReadRecord(fs, kRecord);
    for (const CrashItem& item : kCrashItems) {
        const std::string backup = Backup(item.archive, item.name);
        if (item.original.empty() || !fs.Exists(backup) || fs.Contents(backup) == Stored(item.original)) continue;
        const RecordedArchive* archive = record ? record->Find(kGame + "\\models\\" + item.archive) : nullptr;
        const RecordedEntry* entry = archive ? archive->Find(item.name) : nullptr;
        EXPECT_TRUE(entry && entry->backupHolds && !BackupIsWhole(fs, *entry))
            << what << ": " << item.name << "'s backup is not its original, and the record does not tell";
    }
}

// What the run showed, held against the disk after the next open.
void ExpectWhatTheInstallShowedIsTrue(MemoryFileSystem& fs, const DiskFiles& before, const ShownReport& report,
                                      bool succeeded, const std::string& what) {
    if (succeeded) {
        for (const CrashItem& item : kCrashItems) {
            EXPECT_EQ(Check(fs, item, what), Holds::Mod) << what << ": success was reported\n" << report.All();
        }
    }
    ExpectWhatWasShownIsTrue(fs, before, report, true, what);
}

// Under each system's rules as a case of its own, so that both can run side
// by side.
class ScriptRunnerCrashUnder : public ::testing::TestWithParam<NameRules> {};

TEST_P(ScriptRunnerCrashUnder, OriginalsAreSafeAndWhatWasShownIsTrueAfterAnyCrashAtAnyStep) {
    const NameRules rules = GetParam();
    for (const Crash& crash : EveryCrash()) {
        const std::string way = std::string(rules == NameRules::Posix ? "POSIX, " : "Windows, ") + CrashName(crash);
        bool sawMod = false, sawOriginal = false;
        int k = 1;
        for (;; ++k) {
            MemoryFileSystem fs(rules);
            SetUpBeforeInstall(fs);
            const DiskFiles before = KeptFiles(fs);
            const std::string what = way + " at step " + std::to_string(k);
            bool fired = false;
            {
                FaultFileSystem faulty(fs, crash, k);
                ShownReport report(faulty, crash);
                const bool succeeded = RunScript(kScript, CrashScript(), faulty, report) == ExitStatus::Ok;
                fired = faulty.Fired();
                ExpectOriginalsSafe(fs, crash, what, sawMod, sawOriginal);
                ExpectWhatTheInstallShowedIsTrue(fs, before, report, succeeded, what);
            }
            ExpectRecordDescribesTheArchives(fs, what);
            ExpectEveryTornBackupTold(fs, what);

            // The player runs the install again, then undoes it.
            RecordingReport again;
            ASSERT_EQ(RunScript(kScript, CrashScript(), fs, again), ExitStatus::Ok) << what << "\n" << again.All();
            for (const CrashItem& item : kCrashItems) {
                EXPECT_EQ(Check(fs, item, what + ", then again"), Holds::Mod) << what;
                if (!item.original.empty()) {
                    EXPECT_EQ(fs.Contents(Backup(item.archive, item.name)), Stored(item.original)) << what;
                }
            }
            RecordingReport undo;
            ASSERT_EQ(RestoreFromScript(kScript, CrashScript(), fs, undo), ExitStatus::Ok) << what << "\n"
                                                                                           << undo.All();
            for (const std::string& path : {kGta3, kPlayer}) {
                EXPECT_TRUE(fs.Contents(path) == before.at(path)) << what << ", undone: " << path << " differs\n"
                                                                  << undo.All();
                EXPECT_EQ(veltrin::testing::img::GameRuleProblems(fs.Contents(path)), std::vector<std::string>{})
                    << what;
            }
            EXPECT_EQ(Changes(before, KeptFiles(fs)), std::vector<std::string>{})
                << what << ": backups or markers are left after the undo";
            EXPECT_FALSE(fs.Exists(kRecord)) << what;
            if (!fired) break;
            ASSERT_LT(k, 1000) << "the run does not end";
        }
        EXPECT_GT(k, 20) << way;
        EXPECT_TRUE(sawMod) << way;
        EXPECT_TRUE(sawOriginal) << way;
    }
}

INSTANTIATE_TEST_SUITE_P(ScriptRunnerCrash, ScriptRunnerCrashUnder,
                         ::testing::Values(NameRules::Windows, NameRules::Posix),
                         [](const ::testing::TestParamInfo<NameRules>& rules) {
                             return rules.param == NameRules::Posix ? "Posix" : "Windows";
                         });

// The first version's install on the disk before it, and the second
// version put in its place.
void SetUpFirstInstall(MemoryFileSystem& fs) {
    RecordingReport first;
    ASSERT_EQ(RunScript(kScript, CrashScript(), fs, first), ExitStatus::Ok) << first.All();
    PutSecondModInPlace(fs);
}

// The undo after an install of the second version that ended early gives
// the archives back as they were before the first, with every backup,
// marker and the record used up.
void ExpectTheUndoGivesTheOriginalsBack(MemoryFileSystem& fs, const DiskFiles& original, const std::string& what) {
    RecordingReport undo;
    EXPECT_EQ(RestoreFromScript(kScript, CrashScript(), fs, undo), ExitStatus::Ok) << what << "\n" << undo.All();
    EXPECT_FALSE(undo.Has(" as it is: ")) << what << "\n" << undo.All();
    for (const std::string& path : {kGta3, kPlayer}) {
        EXPECT_TRUE(fs.Contents(path) == original.at(path)) << what << ", undone: " << path << " differs\n"
                                                            << undo.All();
    }
    EXPECT_EQ(Changes(original, KeptFiles(fs)), std::vector<std::string>{}) << what << ", undone";
    EXPECT_FALSE(fs.Exists(kRecord)) << what << ", undone";
}

// A second install from the same folder on a disk too small for its save:
// the archive is not changed, and the record still says what the first
// install left, so the undo gives the originals back.
TEST(ScriptRunnerCrash, ASecondInstallOnAFullDiskLeavesTheFirstInstallsRecord) {
    MemoryFileSystem fs;
    SetUpBeforeInstall(fs);
    const DiskFiles original = KeptFiles(fs);
    SetUpFirstInstall(fs);
    const Bytes recordOfTheFirst = fs.Contents(kRecord);
    const Bytes gta3 = fs.Contents(kGta3);

    fs.SetFreeSpace(1000);
    RecordingReport second;
    EXPECT_EQ(RunScript(kScript, CrashScript(), fs, second), ExitStatus::DiskFull) << second.All();
    // Stopped before the first save: the check of space comes first.
    EXPECT_TRUE(second.Has("it stopped before the first save")) << second.All();
    EXPECT_TRUE(second.Has("nothing was changed")) << second.All();
    EXPECT_TRUE(fs.Contents(kGta3) == gta3);
    EXPECT_TRUE(fs.Contents(kRecord) == recordOfTheFirst);
    ExpectRecordDescribesTheArchives(fs, "after the second install");

    fs.SetFreeSpace(uint64_t{1} << 40);
    ExpectTheUndoGivesTheOriginalsBack(fs, original, "after the second install");
}

// The second install fails, is killed or loses power at its k-th step, for
// every k: the record describes the archives as they are then, and the undo
// gives the originals back, whether the second version's saves happened or
// not. A kill leaves saves whose outcome the next run tells from the
// archive, both ways.
TEST(ScriptRunnerCrash, ASecondInstallEndedAtAnyStepLeavesARecordOfTheArchivesAsTheyAre) {
    for (const NameRules rules : {NameRules::Windows, NameRules::Posix})
        for (const Crash& crash : EveryCrash(1)) {
            const std::string way = std::string(rules == NameRules::Posix ? "POSIX, " : "Windows, ") + CrashName(crash);
            bool sawTookEffect = false, sawDidNot = false;
            int k = 1;
            for (;; ++k) {
                MemoryFileSystem fs(rules);
                SetUpBeforeInstall(fs);
                const DiskFiles original = KeptFiles(fs);
                SetUpFirstInstall(fs);
                const std::string what = way + " at step " + std::to_string(k);
                bool fired = false;
                {
                    FaultFileSystem faulty(fs, crash, k);
                    ShownReport report(faulty, crash);
                    (void)RunScript(kScript, CrashScript(), faulty, report);
                    fired = faulty.Fired();
                }
                const std::string read = ExpectRecordDescribesTheArchives(fs, what);
                sawTookEffect = sawTookEffect || read.find("the save took effect") != std::string::npos;
                sawDidNot = sawDidNot || read.find("the save did not take effect") != std::string::npos;
                ExpectTheUndoGivesTheOriginalsBack(fs, original, what);
                if (!fired) break;
                ASSERT_LT(k, 1000) << "the run does not end";
            }
            EXPECT_GT(k, 10) << way;
            if (crash.fault == archive::testing::Fault::Kill) {
                EXPECT_TRUE(sawTookEffect) << way;
                EXPECT_TRUE(sawDidNot) << way;
            }
        }
}

// The scratch files under the application folder (".partial"): a backup,
// marker or record written but not yet moved in.
std::vector<std::string> ScratchFiles(const MemoryFileSystem& fs) {
    std::vector<std::string> scratch;
    for (const std::string& path : fs.Paths())
        if (path.rfind(kApp + "\\", 0) == 0 && path.find(".partial") != std::string::npos) scratch.push_back(path);
    return scratch;
}

// An install or an undo killed at any step may leave scratch files; the
// next install and the next undo each remove them and name each one, and
// neither says that nothing was changed.
// An install, and the undo after it, each said "done"; the power then goes
// before the disk had the last records moved in (they are not waited for).
// The next run finds the saves waiting, tells they took effect, and goes
// on as if the power had stayed.
TEST(ScriptRunnerCrash, APowerCutAfterARunThatEndedLeavesItsSavesForTheNextRunToSettle) {
    MemoryFileSystem fs(NameRules::Posix);  // a name's change waits for its folder's flush
    SetUpBeforeInstall(fs);
    const DiskFiles before = KeptFiles(fs);
    RecordingReport install;
    ASSERT_EQ(RunScript(kScript, CrashScript(), fs, install), ExitStatus::Ok) << install.All();
    fs.LosePower(archive::testing::Tear::LoseAll);
    EXPECT_TRUE(fs.Exists(PendingSavePath(kRecord)));
    EXPECT_TRUE(fs.Exists(GamePendingPathFor(kPlayer)));
    const std::string settled = ExpectRecordDescribesTheArchives(fs, "after the install and the power cut");
    EXPECT_NE(settled.find("the save took effect"), std::string::npos) << settled;
    RecordingReport undo;
    ASSERT_EQ(RestoreFromScript(kScript, CrashScript(), fs, undo), ExitStatus::Ok) << undo.All();
    fs.LosePower(archive::testing::Tear::LoseAll);
    RecordingReport again;
    ASSERT_EQ(RestoreFromScript(kScript, CrashScript(), fs, again), ExitStatus::Ok) << again.All();
    EXPECT_EQ(Changes(before, KeptFiles(fs)), std::vector<std::string>{}) << undo.All() << again.All();
    EXPECT_FALSE(fs.Exists(kRecord)) << again.All();
}

TEST(ScriptRunnerCrash, TheNextInstallOrUndoRemovesTheScratchFilesAKilledRunLeft) {
    for (const NameRules rules : {NameRules::Windows, NameRules::Posix})
        for (const bool undoKilled : {false, true}) {
            const std::string way = std::string(rules == NameRules::Posix ? "POSIX, " : "Windows, ") +
                                    (undoKilled ? "undo killed" : "install killed");
            int runsThatLeftScratch = 0;
            for (int k = 1;; ++k) {
                MemoryFileSystem killed(rules);
                SetUpBeforeInstall(killed);
                if (undoKilled) {
                    RecordingReport install;
                    ASSERT_EQ(RunScript(kScript, CrashScript(), killed, install), ExitStatus::Ok) << install.All();
                }
                bool fired = false;
                {
                    FaultFileSystem faulty(killed, archive::testing::Fault::Kill, k);
                    RecordingReport report;
                    (void)(undoKilled ? RestoreFromScript(kScript, CrashScript(), faulty, report)
                                      : RunScript(kScript, CrashScript(), faulty, report));
                    fired = faulty.Fired();
                }
                const std::vector<std::string> left = ScratchFiles(killed);
                if (!left.empty()) ++runsThatLeftScratch;
                for (const bool undo : {false, true}) {
                    const std::string what =
                        way + " at step " + std::to_string(k) + (undo ? ", then the undo" : ", then the install");
                    MemoryFileSystem fs = killed;
                    RecordingReport next;
                    const ExitStatus status = undo ? RestoreFromScript(kScript, CrashScript(), fs, next)
                                                   : RunScript(kScript, CrashScript(), fs, next);
                    // An undo after an install killed before anything of it
                    // lasted finds nothing installed from the folder.
                    const bool nothingInstalled = undo && status == ExitStatus::NotFound &&
                                                  next.Has("nothing to undo: none of the backups or markers");
                    EXPECT_TRUE(status == ExitStatus::Ok || nothingInstalled) << what << "\n" << next.All();
                    EXPECT_EQ(ScratchFiles(fs), std::vector<std::string>{}) << what << "\n" << next.All();
                    for (const std::string& path : left) {
                        EXPECT_TRUE(next.Has("removed " + path + ", which an earlier run left unfinished"))
                            << what << "\n"
                            << next.All();
                    }
                    if (!left.empty()) {
                        EXPECT_FALSE(next.Has("nothing was changed")) << what << "\n" << next.All();
                    }
                }
                if (!fired) break;
                ASSERT_LT(k, 1000) << "the run does not end";
            }
            EXPECT_GT(runsThatLeftScratch, 0) << way;
        }
}

}  // namespace
}  // namespace veltrin::tool
