// A whole install run that fails, is killed or loses power at its k-th change
// to the disk, for every k: afterwards every archive entry holds either the
// player's original or the mod's data, and wherever the mod's data went in,
// the original is safe in its backup (or the entry is marked as added). A
// later install then completes with the originals still in the backups.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fault_file_system.h"
#include "install_crash_fixture.h"
#include "testing/memory_file_system.h"
#include "tool/runs/backup_marker.h"
#include "tool/runs/script_runner.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

using namespace testing;
using archive::testing::Fault;
using archive::testing::FaultName;
using archive::testing::MemoryFileSystem;

void ExpectOriginalsSafe(MemoryFileSystem& fs, const std::string& what, bool& sawMod, bool& sawOriginal) {
    for (const CrashItem& item : kCrashItems) {
        const std::string backup = Backup(item.archive, item.name);
        const Holds holds = Check(fs, item, what);
        if (holds == Holds::Mod) {
            sawMod = true;
            if (item.original.empty())
                EXPECT_TRUE(fs.Exists(AddedMarkerPath(backup))) << what << ": " << item.name << " is not marked";
            else
                EXPECT_TRUE(fs.Exists(backup)) << what << ": the original of " << item.name << " is lost";
        } else {
            sawOriginal = true;
        }
        if (fs.Exists(backup)) {
            EXPECT_EQ(fs.Contents(backup), Stored(item.original)) << what << ": " << item.name;
        }
    }
}

TEST(ScriptRunnerCrash, OriginalsAreBackedUpBeforeAnyArchiveChanges) {
    for (const archive::testing::Crash& fault : kCrashFaults) {
        bool sawMod = false, sawOriginal = false;
        int k = 1;
        for (;; ++k) {
            MemoryFileSystem fs;
            SetUpBeforeInstall(fs);
            RecordingReport report;
            const auto [succeeded, fired] = RunWithFault(fs, fault, k, [&](archive::FileSystem& faulty) {
                return RunScript(kScript, CrashScript(), faulty, report);
            });
            const std::string what = std::string(archive::testing::CrashName(fault)) + " at step " + std::to_string(k);
            ExpectOriginalsSafe(fs, what, sawMod, sawOriginal);
            // Only the tidying after the last save may fail unnoticed.
            if (succeeded) {
                for (const CrashItem& item : kCrashItems)
                    EXPECT_EQ(Check(fs, item, what), Holds::Mod) << what << ": success was reported\n" << report.All();
            }

            // The player runs the install again.
            RecordingReport again;
            ASSERT_EQ(RunScript(kScript, CrashScript(), fs, again), ExitStatus::Ok) << what << "\n" << again.All();
            for (const CrashItem& item : kCrashItems) {
                EXPECT_EQ(Check(fs, item, what + ", then again"), Holds::Mod) << what;
                if (!item.original.empty()) {
                    EXPECT_EQ(fs.Contents(Backup(item.archive, item.name)), Stored(item.original)) << what;
                }
            }
            if (!fired) break;
            ASSERT_LT(k, 1000) << "the run does not end";
        }
        EXPECT_GT(k, 20) << archive::testing::CrashName(fault);
        EXPECT_TRUE(sawMod) << archive::testing::CrashName(fault);
        EXPECT_TRUE(sawOriginal) << archive::testing::CrashName(fault);
    }
}

}  // namespace
}  // namespace veltrin::tool
