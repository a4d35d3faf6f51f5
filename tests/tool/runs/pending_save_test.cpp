// The record of a save in progress as a file: one that is torn or changed
// anywhere is refused by the install and the undo rather than trusted, and
// one whose archive cannot be opened stops the run and waits for it.
#include "tool/runs/pending_save.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install_crash_fixture.h"
#include "testing/memory_file_system.h"
#include "tool/runs/game_pending.h"
#include "tool/runs/game_record.h"
#include "tool/runs/restore.h"
#include "tool/runs/script_runner.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

using namespace testing;
using archive::testing::MemoryFileSystem;

// The first version installed, and the record of a save of the second
// waiting beside its record, as a kill before that save leaves it.
void SetUpSaveInProgress(MemoryFileSystem& fs) {
    SetUpBeforeInstall(fs);
    RecordingReport install;
    ASSERT_EQ(RunScript(kScript, CrashScript(), fs, install), ExitStatus::Ok) << install.All();
    const std::optional<InstallRecord> record = ReadRecord(fs, kRecord);
    ASSERT_TRUE(record.has_value());
    InstallRecord ifSaved = *record;
    RecordedArchive& gta3 = *ifSaved.Find(kGta3);
    gta3.found = gta3.left;
    gta3.left->fileSize += archive::kSectorSize;
    gta3.Find("a.dff")->put = PutData{6500, archive::Sha256Of(Pattern(6500, 21))};
    WritePendingSave(fs, kRecord, kGta3, {{"a.dff", gta3.Find("a.dff")->put}}, {}, ifSaved);
}

TEST(PendingSave, OneTornOrChangedAnywhereIsRefusedAndNothingChanges) {
    MemoryFileSystem base;
    SetUpSaveInProgress(base);
    const std::string pending = PendingSavePath(kRecord);
    const Bytes whole = base.Contents(pending);
    std::vector<std::pair<std::string, Bytes>> broken;
    for (const size_t at : {size_t{0}, size_t{20}, whole.size() / 2, whole.size() - 1}) {
        Bytes changed = whole;
        changed[at] ^= 0x40;
        broken.emplace_back("a byte changed at " + std::to_string(at), changed);
    }
    for (const size_t size : {size_t{0}, size_t{10}, whole.size() / 2, whole.size() - 1})
        broken.emplace_back("torn at " + std::to_string(size),
                            Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size)));
    for (const auto& [what, bytes] : broken)
        for (const bool undo : {false, true}) {
            SCOPED_TRACE(what + (undo ? ", the undo" : ", the install"));
            MemoryFileSystem fs = base;
            fs.SetFile(pending, bytes);
            const DiskFiles before = KeptFiles(fs);
            RecordingReport report;
            EXPECT_EQ(undo ? RestoreFromScript(kScript, CrashScript(), fs, report)
                           : RunScript(kScript, CrashScript(), fs, report),
                      ExitStatus::Io)
                << report.All();
            EXPECT_TRUE(report.Has("error: the install record " + kRecord + " cannot be trusted")) << report.All();
            EXPECT_TRUE(report.Has("nothing was changed"));
            EXPECT_EQ(Changes(before, KeptFiles(fs)), std::vector<std::string>{});
            EXPECT_TRUE(fs.Contents(pending) == bytes);
        }
}

TEST(PendingSave, OneWhoseArchiveCannotBeOpenedStopsTheRunAndWaits) {
    MemoryFileSystem fs;
    SetUpSaveInProgress(fs);
    const std::string pending = PendingSavePath(kRecord);
    const DiskFiles before = KeptFiles(fs);
    fs.Lock(kGta3);
    RecordingReport locked;
    EXPECT_EQ(RestoreFromScript(kScript, CrashScript(), fs, locked), ExitStatus::Locked) << locked.All();
    EXPECT_TRUE(locked.Has("an earlier run was stopped while it saved " + kGta3 +
                           "; the install record waits to learn from that archive whether the save took effect"))
        << locked.All();
    EXPECT_EQ(locked.lines.back(), "failed");
    EXPECT_EQ(Changes(before, KeptFiles(fs)), std::vector<std::string>{});
    EXPECT_TRUE(fs.Exists(pending));

    // The save never took effect: the first install's record stays, and its
    // undo gives the originals back.
    fs.Unlock(kGta3);
    RecordingReport undo;
    EXPECT_EQ(RestoreFromScript(kScript, CrashScript(), fs, undo), ExitStatus::Ok) << undo.All();
    EXPECT_TRUE(undo.Has("  the save did not take effect: the install record stays as it was before it")) << undo.All();
    EXPECT_FALSE(undo.Has(" as it is: ")) << undo.All();
    EXPECT_FALSE(fs.Exists(pending));
    EXPECT_FALSE(fs.Exists(kRecord));
}

// A save that leaves the directory and size as they were (replacements in
// their own sectors), killed before it took effect, where one entry it
// changes held its new bytes already (another mod's identical file): the
// folder's and the game's waiting records are settled by one rule, and
// both say it did not take effect.
TEST(PendingSave, TheFoldersAndTheGamesWaitingRecordsAreSettledAlike) {
    MemoryFileSystem fs;
    SetUpBeforeInstall(fs);
    RecordingReport install;
    ASSERT_EQ(RunScript(kScript, CrashScript(), fs, install), ExitStatus::Ok) << install.All();
    const archive::ArchiveState now = archive::Archive::Open(kGta3, fs).CurrentState();
    const PutData held{4500, archive::Sha256Of(Pattern(4500, 11))};  // a.dff holds it now
    const PutData other{5, archive::Sha256Of(Pattern(5, 22))};
    std::optional<InstallRecord> record = ReadRecord(fs, kRecord);
    ASSERT_TRUE(record.has_value());
    RecordedArchive& gta3 = *record->Find(kGta3);
    gta3.found = gta3.left = now;
    gta3.Find("B.TXD")->put = other;
    WritePendingSave(fs, kRecord, kGta3, {{"a.dff", held}, {"B.TXD", other}}, {}, *record);
    std::optional<GameRecord> game = ReadGameRecord(fs, GameRecordPathFor(kGta3));
    ASSERT_TRUE(game.has_value());
    game->left = now;
    WriteGamePending(fs, kGta3, {now, {{"a.dff", held}, {"B.TXD", other}}, *game});

    RecordingReport folder, beside;
    (void)SettlePendingSave(fs, kRecord, folder);
    ASSERT_NO_THROW(SettleGamePending(fs, kGta3, beside));
    EXPECT_TRUE(folder.Has("the save did not take effect")) << folder.All();
    EXPECT_TRUE(beside.Has("the save did not take effect")) << beside.All();
}

}  // namespace
}  // namespace veltrin::tool
