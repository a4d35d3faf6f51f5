// A whole install run that fails, is killed or loses power at its k-th change
// to the disk, for every k: afterwards every archive entry holds either the
// player's original or the mod's data, and wherever the mod's data went in,
// the original is safe in its backup (or the entry is marked as added). A
// later install then completes with the originals still in the backups.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/names.h"
#include "testing/memory_file_system.h"
#include "fault_file_system.h"
#include "tool/backup_marker.h"
#include "tool/script_runner.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

using namespace testing;
using archive::testing::MemoryFileSystem;
using archive::testing::Fault;
using archive::testing::FaultFileSystem;
using archive::testing::FaultName;

struct Item {
    std::string archive;  // "gta3.img" or "player.img"
    std::string name;     // as the script names it
    Bytes original;       // empty: the install adds it
    Bytes mod;
};

// gta3.img is written anew (a.dff grows, new.dff is added); player.img
// changes in place (c.dff fits its sector).
const std::vector<Item> kItems = {
    {"gta3.img", "a.dff", Pattern(3000, 1), Pattern(4500, 11)},
    {"gta3.img", "B.TXD", Pattern(100, 2), Pattern(10, 12)},
    {"gta3.img", "new.dff", {}, Pattern(700, 13)},
    {"player.img", "c.dff", Pattern(2048, 4), Pattern(2000, 14)},
};

void SetUpDisk(MemoryFileSystem& fs) {
    MakeArchive(fs, kGta3, {{"a.dff", Pattern(3000, 1)}, {"b.txd", Pattern(100, 2)}, {"other.dff", Pattern(5000, 3)}});
    MakeArchive(fs, kPlayer, {{"c.dff", Pattern(2048, 4)}});
    for (const Item& item : kItems) fs.SetFile(Payload(item.archive, item.name), item.mod);
}

std::string Script() { return InstallScript({"a.dff", "B.TXD", "new.dff"}, {"c.dff"}); }

// What the stored entry of the item holds: the mod's data, the original, or
// (for an addition) nothing. Fails the test on anything else.
enum class Holds { Mod, Original, Nothing };
Holds Check(MemoryFileSystem& fs, const Item& item, const std::string& what) {
    const Content content = ReadContent(fs, item.archive == "gta3.img" ? kGta3 : kPlayer);
    for (const auto& [name, bytes] : content) {
        if (archive::FoldedName(name) != archive::FoldedName(item.name)) continue;
        if (bytes == Stored(item.mod)) return Holds::Mod;
        EXPECT_EQ(bytes, Stored(item.original)) << what << ": " << item.name << " holds neither";
        return Holds::Original;
    }
    EXPECT_TRUE(item.original.empty()) << what << ": " << item.name << " is gone";
    return Holds::Nothing;
}

void ExpectOriginalsSafe(MemoryFileSystem& fs, const std::string& what, bool& sawMod, bool& sawOriginal) {
    for (const Item& item : kItems) {
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
    for (const Fault fault : {Fault::Error, Fault::Kill, Fault::PowerCut, Fault::PowerCutAfterWriteBack}) {
        bool sawMod = false, sawOriginal = false;
        int k = 1;
        for (;; ++k) {
            MemoryFileSystem fs;
            SetUpDisk(fs);
            RecordingReport report;
            bool fired = false;
            bool succeeded = false;
            {
                FaultFileSystem faulty(fs, fault, k);
                succeeded = RunScript(kScript, Script(), faulty, report) == ExitStatus::Ok;
                fired = faulty.Fired();
            }
            const std::string what = std::string(FaultName(fault)) + " at step " + std::to_string(k);
            ExpectOriginalsSafe(fs, what, sawMod, sawOriginal);
            // Only the tidying after the last save may fail unnoticed.
            if (succeeded) {
                for (const Item& item : kItems)
                    EXPECT_EQ(Check(fs, item, what), Holds::Mod) << what << ": success was reported\n" << report.All();
            }

            // The player runs the install again.
            RecordingReport again;
            ASSERT_EQ(RunScript(kScript, Script(), fs, again), ExitStatus::Ok) << what << "\n" << again.All();
            for (const Item& item : kItems) {
                EXPECT_EQ(Check(fs, item, what + ", then again"), Holds::Mod) << what;
                if (!item.original.empty()) {
                    EXPECT_EQ(fs.Contents(Backup(item.archive, item.name)), Stored(item.original)) << what;
                }
            }
            if (!fired) break;
            ASSERT_LT(k, 1000) << "the run does not end";
        }
        EXPECT_GT(k, 20) << FaultName(fault);
        EXPECT_TRUE(sawMod) << FaultName(fault);
        EXPECT_TRUE(sawOriginal) << FaultName(fault);
    }
}

}  // namespace
}  // namespace veltrin::tool
