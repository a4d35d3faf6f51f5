// An undo that fails, is killed or loses power at its k-th change to the
// disk, for every k, under Windows' and POSIX rules for names, with every
// crash the disk model knows: afterwards every entry holds the mod's data or
// the original (an added entry: the mod's data or nothing), never a mix, and
// wherever the mod's data still is, its backup or marker is still there,
// unless the power cut took it (the install moves them in without waiting
// for the disk, as the originals beside the archive are the durable copy). What
// the undo showed before it ended is true of the disk after the next open.
// Undoing again then completes: both archives byte for byte as before the
// install, and no backup, marker or record left.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fault_file_system.h"
#include "img_rules.h"
#include "install_crash_fixture.h"
#include "testing/memory_file_system.h"
#include "tool/runs/backup_marker.h"
#include "tool/runs/restore.h"
#include "tool/runs/script_runner.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

using namespace testing;
using archive::testing::Crash;
using archive::testing::CrashName;
using archive::testing::EveryCrash;
using archive::testing::Fault;
using archive::testing::FaultFileSystem;
using archive::testing::MemoryFileSystem;
using archive::testing::NameRules;

std::string MarkerOrBackup(const CrashItem& item) {
    const std::string backup = Backup(item.archive, item.name);
    return item.original.empty() ? AddedMarkerPath(backup) : backup;
}

// The disk after a finished install.
void SetUpInstalled(MemoryFileSystem& fs) {
    SetUpBeforeInstall(fs);
    RecordingReport report;
    ASSERT_EQ(RunScript(kScript, CrashScript(), fs, report), ExitStatus::Ok) << report.All();
}

TEST(RestoreCrash, NoOriginalIsLostWhatWasShownIsTrueAndTheNextUndoGivesTheArchivesBack) {
    for (const NameRules rules : {NameRules::Windows, NameRules::Posix})
        for (const Crash& crash : EveryCrash()) {
            const std::string way = std::string(rules == NameRules::Posix ? "POSIX, " : "Windows, ") + CrashName(crash);
            bool sawUndoneWithBackupsLeft = false;
            int k = 1;
            for (;; ++k) {
                MemoryFileSystem fs(rules);
                SetUpBeforeInstall(fs);
                const DiskFiles original = KeptFiles(fs);
                {
                    RecordingReport install;
                    ASSERT_EQ(RunScript(kScript, CrashScript(), fs, install), ExitStatus::Ok) << install.All();
                }
                const DiskFiles installed = KeptFiles(fs);
                const std::string what = way + " at step " + std::to_string(k);
                bool succeeded = false, fired = false;
                {
                    FaultFileSystem faulty(fs, crash, k);
                    ShownReport report(faulty, crash);
                    succeeded = RestoreFromScript(kScript, CrashScript(), faulty, report) == ExitStatus::Ok;
                    fired = faulty.Fired();
                    ExpectWhatWasShownIsTrue(fs, installed, report, false, what);
                }
                ExpectGameRecordDescribesTheArchives(fs, what);
                bool undoneWithBackupLeft = false;
                for (const CrashItem& item : kCrashItems) {
                    const Holds holds = Check(fs, item, what);
                    const bool kept = fs.Exists(MarkerOrBackup(item));
                    const bool powerCut = crash.fault == Fault::PowerCut;
                    if (holds == Holds::Mod)
                        EXPECT_TRUE(kept || powerCut)
                            << what << ": the mod's " << item.name << " is in, its backup or marker gone";
                    else if (kept)
                        undoneWithBackupLeft = true;
                    if (!item.original.empty() && kept && !powerCut) {
                        EXPECT_EQ(fs.Contents(MarkerOrBackup(item)), Stored(item.original)) << what;
                    }
                    if (succeeded) {
                        EXPECT_NE(holds, Holds::Mod) << what << ": success was reported";
                        EXPECT_FALSE(kept) << what << ": success was reported with " << item.name << "'s backup left";
                    }
                }

                // The player undoes again.
                RecordingReport again;
                // Undone already: nothing of the install is left to undo.
                const ExitStatus status = RestoreFromScript(kScript, CrashScript(), fs, again);
                ASSERT_TRUE(status == ExitStatus::Ok ||
                            (status == ExitStatus::NotFound &&
                             again.Has("nothing to undo: none of the backups or markers this script names exist")))
                    << what << "\n"
                    << again.All();
                for (const std::string& path : {kGta3, kPlayer}) {
                    EXPECT_TRUE(fs.Contents(path) == original.at(path)) << what << ", then again: " << path << "\n"
                                                                        << again.All();
                    EXPECT_EQ(veltrin::testing::img::GameRuleProblems(fs.Contents(path)), std::vector<std::string>{})
                        << what;
                }
                EXPECT_EQ(Changes(original, KeptFiles(fs)), std::vector<std::string>{})
                    << what << ", then again: backups or markers are left\n"
                    << again.All();
                EXPECT_FALSE(fs.Exists(kRecord)) << what << ", then again";
                // Stopped after the save, before the backups were removed: the
                // next undo finds the originals in place and says so.
                if (undoneWithBackupLeft) {
                    sawUndoneWithBackupsLeft = true;
                    EXPECT_TRUE(again.Has("already holds its original") || again.Has("nothing to remove") ||
                                again.Has("nothing of the install from this folder is in"))
                        << what << "\n"
                        << again.All();
                    EXPECT_FALSE(again.Has("--force")) << what << ": left alone\n" << again.All();
                }
                if (!fired) break;
                ASSERT_LT(k, 1000) << "the undo does not end";
            }
            EXPECT_GT(k, 10) << way;
            // Under POSIX rules a power cut takes the names of the install's
            // backups, whose folder it never flushed.
            EXPECT_TRUE(sawUndoneWithBackupsLeft || (rules == NameRules::Posix && crash.fault == Fault::PowerCut))
                << way;
        }
}

// A backup that cannot be removed after its archive was saved: the undo says
// so and fails; the next one finds the original in place and removes it.
TEST(RestoreCrash, ABackupThatCannotBeRemovedIsUsedUpByTheNextUndo) {
    MemoryFileSystem fs;
    SetUpInstalled(fs);
    // Find the step that removes a.dff's backup.
    int removal = 0;
    for (int k = 1; k < 1000 && removal == 0; ++k) {
        MemoryFileSystem probe;
        SetUpInstalled(probe);
        RecordingReport report;
        FaultFileSystem faulty(probe, Fault::Error, k);
        (void)RestoreFromScript(kScript, CrashScript(), faulty, report);
        if (!faulty.Fired()) break;
        if (report.Has("the used " + Backup("gta3.img", "a.dff") + " cannot be removed")) removal = k;
    }
    ASSERT_NE(removal, 0);

    RecordingReport report;
    {
        FaultFileSystem faulty(fs, Fault::Error, removal);
        EXPECT_EQ(RestoreFromScript(kScript, CrashScript(), faulty, report), ExitStatus::Io) << report.All();
    }
    EXPECT_TRUE(report.Has("1 used backup or marker could not be removed")) << report.All();
    EXPECT_EQ(report.lines.back(), "failed");
    EXPECT_TRUE(fs.Exists(Backup("gta3.img", "a.dff")));
    EXPECT_EQ(Check(fs, kCrashItems[0], "after the first undo"), Holds::Original);
    // The rest was undone all the same.
    EXPECT_EQ(Check(fs, kCrashItems[3], "after the first undo"), Holds::Original);
    EXPECT_FALSE(fs.Exists(Backup("player.img", "c.dff")));

    RecordingReport again;
    EXPECT_EQ(RestoreFromScript(kScript, CrashScript(), fs, again), ExitStatus::Ok) << again.All();
    EXPECT_TRUE(again.Has("a.dff already holds its original again (put back since the install); its backup " +
                          Backup("gta3.img", "a.dff") + " is used up"))
        << again.All();
    EXPECT_FALSE(fs.Exists(Backup("gta3.img", "a.dff")));
    EXPECT_EQ(Check(fs, kCrashItems[0], "after the second undo"), Holds::Original);
}

}  // namespace
}  // namespace veltrin::tool
