// An undo that fails, is killed or loses power at its k-th change to the
// disk, for every k: afterwards every entry holds the mod's data or the
// original (an added entry: the mod's data or nothing), and wherever the
// mod's data still is, its backup or marker is still there. Undoing again
// then completes: the originals, and no backup or marker left.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fault_file_system.h"
#include "install_crash_fixture.h"
#include "testing/memory_file_system.h"
#include "tool/runs/backup_marker.h"
#include "tool/runs/restore.h"
#include "tool/runs/script_runner.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

using namespace testing;
using archive::testing::Fault;
using archive::testing::FaultFileSystem;
using archive::testing::FaultName;
using archive::testing::MemoryFileSystem;

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

TEST(RestoreCrash, NoOriginalIsLostAndTheNextUndoCompletes) {
    for (const archive::testing::Crash& fault : kCrashFaults) {
        bool sawUndoneWithBackupsLeft = false;
        int k = 1;
        for (;; ++k) {
            MemoryFileSystem fs;
            SetUpInstalled(fs);
            RecordingReport report;
            const auto [succeeded, fired] = RunWithFault(fs, fault, k, [&](archive::FileSystem& faulty) {
                return RestoreFromScript(kScript, CrashScript(), faulty, report);
            });
            const std::string what = std::string(archive::testing::CrashName(fault)) + " at step " + std::to_string(k);
            bool undoneWithBackupLeft = false;
            for (const CrashItem& item : kCrashItems) {
                const Holds holds = Check(fs, item, what);
                const bool kept = fs.Exists(MarkerOrBackup(item));
                if (holds == Holds::Mod)
                    EXPECT_TRUE(kept) << what << ": the mod's " << item.name << " is in, its backup or marker gone\n"
                                      << report.All();
                else if (kept)
                    undoneWithBackupLeft = true;
                if (!item.original.empty() && kept) {
                    EXPECT_EQ(fs.Contents(MarkerOrBackup(item)), Stored(item.original)) << what;
                }
                if (succeeded) {
                    EXPECT_NE(holds, Holds::Mod) << what << ": success was reported\n" << report.All();
                    EXPECT_FALSE(kept) << what << ": success was reported with " << item.name << "'s backup left";
                }
            }

            // The player undoes again.
            RecordingReport again;
            ASSERT_EQ(RestoreFromScript(kScript, CrashScript(), fs, again), ExitStatus::Ok) << what << "\n"
                                                                                            << again.All();
            for (const CrashItem& item : kCrashItems) {
                EXPECT_NE(Check(fs, item, what + ", then again"), Holds::Mod) << what;
                EXPECT_FALSE(fs.Exists(MarkerOrBackup(item))) << what << ", then again: " << item.name;
            }
            // Stopped after the save, before the backups were removed: the
            // next undo finds the originals in place and says so.
            if (undoneWithBackupLeft) {
                sawUndoneWithBackupsLeft = true;
                EXPECT_TRUE(again.Has("already holds its original") || again.Has("nothing to remove")) << what << "\n"
                                                                                                       << again.All();
                EXPECT_FALSE(again.Has("--force")) << what << ": left alone\n" << again.All();
            }
            if (!fired) break;
            ASSERT_LT(k, 1000) << "the undo does not end";
        }
        EXPECT_GT(k, 10) << archive::testing::CrashName(fault);
        EXPECT_TRUE(sawUndoneWithBackupsLeft) << archive::testing::CrashName(fault);
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
    EXPECT_TRUE(report.Has("1 used backups or markers could not be removed"));
    EXPECT_EQ(report.lines.back(), "failed");
    EXPECT_TRUE(fs.Exists(Backup("gta3.img", "a.dff")));
    EXPECT_EQ(Check(fs, kCrashItems[0], "after the first undo"), Holds::Original);
    // The rest was undone all the same.
    EXPECT_EQ(Check(fs, kCrashItems[3], "after the first undo"), Holds::Original);
    EXPECT_FALSE(fs.Exists(Backup("player.img", "c.dff")));

    RecordingReport again;
    EXPECT_EQ(RestoreFromScript(kScript, CrashScript(), fs, again), ExitStatus::Ok) << again.All();
    EXPECT_TRUE(again.Has("a.dff already holds its original (an earlier undo put it back); its backup " +
                          Backup("gta3.img", "a.dff") + " is used up"))
        << again.All();
    EXPECT_FALSE(fs.Exists(Backup("gta3.img", "a.dff")));
    EXPECT_EQ(Check(fs, kCrashItems[0], "after the second undo"), Holds::Original);
}

}  // namespace
}  // namespace veltrin::tool
