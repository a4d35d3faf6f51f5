// The undo and the install that follow the game's record of installs when
// the folder's Backups hold no record, or one that cannot be trusted: they
// remove no file the tool did not make, lose no original, and say only what
// is true.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "fault_file_system.h"
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

const std::string kAppB = R"(D:\Mod B)";

std::string ScriptOf(const std::string& app, const std::vector<std::string>& gta3,
                     const std::vector<std::string>& player) {
    std::string text;
    if (!gta3.empty())
        for (const auto& line : install::testing::BlockLinesOf(install::Block::Gta3, kGame, app, gta3))
            text += line + "\r\n";
    if (!player.empty())
        for (const auto& line : install::testing::BlockLinesOf(install::Block::Player, kGame, app, player))
            text += line + "\r\n";
    return text;
}

// The script with one path swapped for another, both as the script writes
// them (every backslash twice).
std::string Swapped(std::string text, const std::string& from, const std::string& to) {
    const std::string a = install::EscapePath(from), b = install::EscapePath(to);
    const size_t at = text.find(a);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, a.size(), b);
    return text;
}

std::string RecordOf(const std::string& app) { return app + "\\Backups\\Install.record"; }
std::string BackupIn(const std::string& app, const std::string& archive, const std::string& name) {
    return app + "\\Backups\\" + archive + "\\" + name;
}

class FolderLink : public ::testing::Test {
protected:
    MemoryFileSystem fs;
    RecordingReport report;
    const Content gta3Before = {{"infernus.dff", Pattern(5000, 1)}, {"other.dff", Pattern(300, 3)}};
    const Content playerBefore = {{"vest.dff", Pattern(2048, 4)}};

    void SetUp() override {
        MakeArchive(fs, kGta3, gta3Before);
        MakeArchive(fs, kPlayer, playerBefore);
        for (const std::string& app : {kApp, kAppB}) {
            const auto seed = static_cast<uint8_t>(app == kApp ? 10 : 40);
            fs.SetFile(app + "\\gta3.img\\infernus.dff", Pattern(7000, seed + 1));
            fs.SetFile(app + "\\gta3.img\\veltrin.dff", Pattern(700, seed + 2));
            fs.SetFile(app + "\\gta3.img\\other.dff", Pattern(200, seed + 3));
            fs.SetFile(app + "\\player.img\\vest.dff", Pattern(4000, seed + 4));
        }
    }
    ExitStatus Install(const std::string& app, const std::string& text) {
        report = RecordingReport();
        return RunScript(app + "\\Install.dat", text, fs, report);
    }
    ExitStatus Undo(const std::string& app, const std::string& text) {
        report = RecordingReport();
        return RestoreFromScript(app + "\\Install.dat", text, fs, report);
    }
    bool SaysNothingWasChanged() const {
        return std::find(report.lines.begin(), report.lines.end(), "nothing was changed") != report.lines.end();
    }
    bool Originals() {
        return Folded(ReadContent(fs, kGta3)) == Folded(gta3Before) &&
               Folded(ReadContent(fs, kPlayer)) == Folded(playerBefore);
    }
    // What an install made before records existed leaves: backups alone.
    void ForgetRecords() {
        for (const std::string& file : fs.Paths())
            if (file.ends_with("Install.record") || file.find(".installs") != std::string::npos ||
                file.find(".originals\\") != std::string::npos)
                fs.Remove(file);
    }
};

// A crafted Install.dat in the folder: the export line of an entry the
// install added names a file the tool never made. The undo that follows the
// game's record must not remove it.
TEST_F(FolderLink, AnAddedEntrysExportLineCannotMakeTheLinkedUndoRemoveAFileTheToolDidNotMake) {
    const std::string script = ScriptOf(kApp, {"infernus.dff", "veltrin.dff"}, {"vest.dff"});
    ASSERT_EQ(Install(kApp, script), ExitStatus::Ok) << report.All();
    fs.Remove(RecordOf(kApp));
    const std::string notes = kApp + "\\Backups\\notes.txt";
    fs.SetFile(notes, Pattern(50, 9));
    EXPECT_EQ(Undo(kApp, Swapped(script, BackupIn(kApp, "gta3.img", "veltrin.dff"), notes)), ExitStatus::Ok)
        << report.All();
    EXPECT_TRUE(Originals()) << report.All();
    EXPECT_TRUE(fs.Exists(notes) && fs.Contents(notes) == Pattern(50, 9)) << report.All();
}

// An earlier build backed veltrin.dff up (its only copy), another program
// removed it from the game, and this build's install added it again: the
// game's record does not know that backup. The undo through the folder's
// record keeps it; the undo that follows the game's record must keep it too.
TEST_F(FolderLink, AnEarlierBackupAtAnAddedEntrysPathSurvivesTheLinkedUndoAsItDoesTheRecordedOne) {
    fs.Remove(kGta3);
    MakeArchive(fs, kGta3, {{"infernus.dff", Pattern(5000, 1)}, {"veltrin.dff", Pattern(900, 5)}});
    const std::string script = ScriptOf(kApp, {"infernus.dff", "veltrin.dff"}, {});
    ASSERT_EQ(Install(kApp, script), ExitStatus::Ok) << report.All();
    ForgetRecords();
    {
        auto opened = archive::Archive::Open(kGta3, fs);
        ASSERT_TRUE(opened.Remove("veltrin.dff"));
        opened.Commit();
    }
    ASSERT_EQ(Install(kApp, script), ExitStatus::Ok) << report.All();
    const std::string backup = BackupIn(kApp, "gta3.img", "veltrin.dff");
    ASSERT_EQ(fs.Contents(backup), Stored(Pattern(900, 5)));
    const MemoryFileSystem installed = fs;
    EXPECT_EQ(Undo(kApp, script), ExitStatus::Ok) << report.All();
    EXPECT_TRUE(fs.Exists(backup)) << "through the folder's record\n" << report.All();
    fs = installed;
    fs.Remove(RecordOf(kApp));
    EXPECT_EQ(Undo(kApp, script), ExitStatus::Ok) << report.All();
    EXPECT_TRUE(fs.Exists(backup)) << "through the game's record\n" << report.All();
}

// Export lines naming files outside Backups, each holding exactly what the
// entry held before (what the link accepts as the install's own backup):
// none of them is touched.
TEST_F(FolderLink, BackupPathsOutsideBackupsAreNeverUsedByTheLink) {
    const std::string script = ScriptOf(kApp, {"infernus.dff", "veltrin.dff"}, {"vest.dff"});
    ASSERT_EQ(Install(kApp, script), ExitStatus::Ok) << report.All();
    fs.Remove(RecordOf(kApp));
    const MemoryFileSystem installed = fs;
    const std::vector<std::string> victims = {R"(E:\victim.dff)", kApp + R"(\Backups\..\victim.dff)",
                                              R"(\\?\D:\Mod Folder\Backups\victim.dff)",
                                              R"(d:\mod folder\backups\gta3.img\..\..\victim.dff)"};
    for (const std::string& victim : victims) {
        SCOPED_TRACE(victim);
        fs = installed;
        const Bytes held = fs.Contents(BackupIn(kApp, "gta3.img", "infernus.dff"));
        fs.SetFile(victim, held);
        fs.SetFile(victim + ".added", Pattern(10, 1));
        std::string crafted = Swapped(script, BackupIn(kApp, "gta3.img", "infernus.dff"), victim);
        crafted = Swapped(crafted, BackupIn(kApp, "gta3.img", "veltrin.dff"), victim);
        EXPECT_EQ(Undo(kApp, crafted), ExitStatus::Ok) << report.All();
        EXPECT_TRUE(report.Has("this run follows it")) << report.All();
        EXPECT_TRUE(fs.Exists(victim) && fs.Contents(victim) == held) << report.All();
        EXPECT_TRUE(fs.Exists(victim + ".added")) << report.All();
    }
}

// Another folder's save waits beside gta3.img; this folder's record is torn
// and the game's record knows no install from here. The run settles the
// waiting save (the disk changes) and then refuses: it must not say that
// nothing was changed.
TEST_F(FolderLink, SettlingAWaitingSaveBeforeRefusingATornRecordIsNotNothingChanged) {
    ASSERT_EQ(Install(kAppB, ScriptOf(kAppB, {"infernus.dff"}, {})), ExitStatus::Ok) << report.All();
    const archive::ArchiveState now = archive::Archive::Open(kGta3, fs).CurrentState();
    std::optional<GameRecord> game = ReadGameRecord(fs, GameRecordPathFor(kGta3));
    ASSERT_TRUE(game);
    game->left = now;
    WriteGamePending(fs, kGta3, {now, {}, *game});
    fs.SetFile(RecordOf(kApp), BytesOf("not a record"));
    const MemoryFileSystem before = fs;
    const std::string script = ScriptOf(kApp, {"infernus.dff"}, {});
    for (const bool undo : {true, false}) {
        SCOPED_TRACE(undo ? "undo" : "install");
        fs = before;
        EXPECT_EQ(undo ? Undo(kApp, script) : Install(kApp, script), ExitStatus::Io) << report.All();
        ASSERT_FALSE(fs.Exists(GamePendingPathFor(kGta3))) << "the waiting save was settled";
        EXPECT_FALSE(SaysNothingWasChanged()) << report.All();
    }
}

// The undo that follows the game's record over a torn record writes the
// folder's record anew: a power cut at any step of it leaves an undo that
// ends, never a record that cannot be trusted over an install the game no
// longer knows.
TEST_F(FolderLink, APowerCutDuringALinkedUndoLeavesNoDeadEnd) {
    const std::string script = ScriptOf(kApp, {"infernus.dff", "veltrin.dff"}, {});
    ASSERT_EQ(Install(kApp, script), ExitStatus::Ok) << report.All();
    Bytes torn = fs.Contents(RecordOf(kApp));
    torn.resize(torn.size() / 2);
    fs.SetFile(RecordOf(kApp), torn);
    const MemoryFileSystem start = fs;
    std::vector<int> deadEnds;
    int k = 1;
    for (;; ++k) {
        fs = start;
        bool fired = false;
        {
            archive::testing::FaultFileSystem faulty(fs, archive::testing::Crash{archive::testing::Fault::PowerCut}, k);
            RecordingReport first;
            try {
                (void)RestoreFromScript(kApp + "\\Install.dat", script, faulty, first);
            } catch (const std::exception&) {
                // The process is gone.
            }
            fired = faulty.Fired();
        }
        if (!fired) break;
        if (Undo(kApp, script) != ExitStatus::Ok && report.Has("cannot be trusted")) deadEnds.push_back(k);
    }
    EXPECT_GT(k, 5);
    EXPECT_EQ(deadEnds, std::vector<int>{}) << "power cut at these steps of " << k - 1;
}

// The linked record cannot be written over the torn one: the run goes on by
// the game's record, and must not say it follows the torn file.
TEST_F(FolderLink, WhenTheLinkedRecordCannotBeWrittenTheRunDoesNotSayItFollowsTheTornOne) {
    const std::string script = ScriptOf(kApp, {"infernus.dff", "veltrin.dff"}, {"vest.dff"});
    ASSERT_EQ(Install(kApp, script), ExitStatus::Ok) << report.All();
    fs.SetFile(RecordOf(kApp), BytesOf("not a record"));
    RecordingReport r;
    archive::testing::FaultFileSystem faulty(fs, archive::testing::Fault::Error, 1);  // the record's scratch file
    EXPECT_EQ(RestoreFromScript(kApp + "\\Install.dat", script, faulty, r), ExitStatus::Ok) << r.All();
    ASSERT_TRUE(r.Has("the install record cannot be written anew now")) << r.All();
    EXPECT_FALSE(r.Has("following the install record")) << r.All();
}

// With no record in the folder (and none written: one archive), the undo
// must not say it used one up and removed it.
TEST_F(FolderLink, ALinkedUndoWithNoRecordDoesNotSayItRemovedOne) {
    const std::string script = ScriptOf(kApp, {"infernus.dff", "veltrin.dff"}, {});
    ASSERT_EQ(Install(kApp, script), ExitStatus::Ok) << report.All();
    fs.Remove(RecordOf(kApp));
    EXPECT_EQ(Undo(kApp, script), ExitStatus::Ok) << report.All();
    EXPECT_TRUE(Originals()) << report.All();
    EXPECT_FALSE(report.Has("is used up and removed")) << report.All();
}

// An install made before records existed (backups and markers alone), then
// installed again from the same folder by this build (nothing changes: the
// mod is in). Its undo, by the folder's record or by the game's, gives the
// game's own files back and takes out the entry the first install added.
TEST_F(FolderLink, AReinstallOverAnInstallWithoutARecordUndoesToTheOriginals) {
    const std::string script = ScriptOf(kApp, {"infernus.dff", "veltrin.dff"}, {"vest.dff"});
    ASSERT_EQ(Install(kApp, script), ExitStatus::Ok) << report.All();
    ForgetRecords();
    ASSERT_EQ(Install(kApp, script), ExitStatus::Ok) << report.All();
    const MemoryFileSystem installed = fs;
    for (const bool linked : {false, true}) {
        SCOPED_TRACE(linked ? "through the game's record" : "through the folder's record");
        fs = installed;
        if (linked) fs.Remove(RecordOf(kApp));
        EXPECT_EQ(Undo(kApp, script), ExitStatus::Ok) << report.All();
        EXPECT_TRUE(Originals()) << report.All();
    }
}

}  // namespace
}  // namespace veltrin::tool
