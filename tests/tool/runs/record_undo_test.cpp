// The tool's record of what the installs from an application folder did, as
// the runs use it: the undo follows the record, whatever Install.dat says now
// and whether or not it and the mod's files are still there; one folder
// serves one game, so an install aimed at another game stops before anything
// changes; a record that cannot be trusted is refused; and an install made
// before records existed still undoes from Install.dat.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "install_crash_fixture.h"
#include "testing/memory_file_system.h"
#include "tool/runs/backup_marker.h"
#include "tool/runs/restore.h"
#include "tool/runs/run_places.h"
#include "tool/runs/script_runner.h"
#include "tool/shell/tool_main.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

using namespace testing;
using archive::testing::MemoryFileSystem;

const std::string kOtherGame = R"(E:\Other Game)";
const std::string kOtherGta3 = kOtherGame + R"(\models\gta3.img)";
const std::string kOtherPlayer = kOtherGame + R"(\models\player.img)";

std::string ScriptFor(const std::string& game, const std::vector<std::string>& block1,
                      const std::vector<std::string>& block2, const std::string& app = kApp) {
    std::string text;
    for (const auto& line : install::testing::BlockLinesOf(install::Block::Gta3, game, app, block1))
        text += line + "\r\n";
    for (const auto& line : install::testing::BlockLinesOf(install::Block::Player, game, app, block2))
        text += line + "\r\n";
    return text;
}

class RecordUndoTest : public ::testing::Test {
protected:
    MemoryFileSystem fs;
    RecordingReport report;
    const std::string script = CrashScript();

    void SetUp() override { SetUpBeforeInstall(fs); }
    ExitStatus Install(const std::string& text) {
        report = RecordingReport();
        return RunScript(kScript, text, fs, report);
    }
    ExitStatus Undo(const std::string& text) {
        report = RecordingReport();
        return RestoreFromScript(kScript, text, fs, report);
    }
    // Everything under the application folder's Backups.
    DiskFiles BackupsNow() {
        DiskFiles files;
        for (const std::string& path : fs.Paths())
            if (path.rfind(kApp + "\\Backups\\", 0) == 0) files[path] = fs.Contents(path);
        return files;
    }
};

// Install.exe writes Install.dat anew at every press: a press that fails
// early leaves a script of block 1 at most. The undo of the good install
// before it still gives both archives back.
TEST_F(RecordUndoTest, ASecondPressThatFailsEarlyStillUndoesBothArchives) {
    const Bytes gta3 = fs.Contents(kGta3), player = fs.Contents(kPlayer);
    ASSERT_EQ(Install(script), ExitStatus::Ok) << report.All();
    const std::string blockOne = ScriptFor(kGame, {"a.dff", "gone.dff"}, {});
    EXPECT_EQ(Install(blockOne), ExitStatus::NotFound) << report.All();

    EXPECT_EQ(Undo(blockOne), ExitStatus::Ok) << report.All();
    EXPECT_TRUE(fs.Contents(kGta3) == gta3);
    EXPECT_TRUE(fs.Contents(kPlayer) == player) << report.All();
    EXPECT_EQ(Changes({}, BackupsNow()), std::vector<std::string>{});
}

// One application folder serves one game: its Backups hold that game's
// originals. An install aimed at another game stops before anything
// changes, names both, and says what to do; the undo still undoes the first.
TEST_F(RecordUndoTest, AnInstallAimedAtAnotherGameStopsAndChangesNothing) {
    MakeArchive(fs, kOtherGta3, {{"a.dff", Pattern(3000, 21)}, {"b.txd", Pattern(100, 22)}});
    MakeArchive(fs, kOtherPlayer, {{"c.dff", Pattern(2048, 24)}});
    const Bytes gta3 = fs.Contents(kGta3), player = fs.Contents(kPlayer);
    ASSERT_EQ(Install(script), ExitStatus::Ok) << report.All();
    const DiskFiles backups = BackupsNow();
    const Bytes otherGta3 = fs.Contents(kOtherGta3), otherPlayer = fs.Contents(kOtherPlayer);

    const std::string other = ScriptFor(kOtherGame, {"a.dff", "B.TXD", "new.dff"}, {"c.dff"});
    EXPECT_EQ(Install(other), ExitStatus::OtherInstall) << report.All();
    EXPECT_EQ(Code(ExitStatus::OtherInstall), 16);
    EXPECT_TRUE(report.Has(kGta3)) << report.All();
    EXPECT_TRUE(report.Has(kOtherGta3)) << report.All();
    EXPECT_TRUE(report.Has("this folder holds another install's backups")) << report.All();
    EXPECT_TRUE(report.Has("Undo.cmd")) << report.All();
    EXPECT_TRUE(report.Has("unpack a fresh copy of the mod")) << report.All();
    EXPECT_TRUE(report.Has("nothing was changed")) << report.All();
    EXPECT_EQ(report.lines.back(), "failed");
    EXPECT_TRUE(fs.Contents(kOtherGta3) == otherGta3);
    EXPECT_TRUE(fs.Contents(kOtherPlayer) == otherPlayer);
    EXPECT_EQ(Changes(backups, BackupsNow()), std::vector<std::string>{});
    // A save waiting beside the other game's archive is settled on the way:
    // then something was changed.
    GameRecord waiting;
    waiting.left = archive::Archive::Open(kOtherGta3, fs).CurrentState();
    WriteGamePending(fs, kOtherGta3, {waiting.left, {}, waiting});
    EXPECT_EQ(Install(other), ExitStatus::OtherInstall) << report.All();
    EXPECT_FALSE(fs.Exists(GamePendingPathFor(kOtherGta3))) << report.All();
    EXPECT_TRUE(report.Has("nothing else was changed")) << report.All();

    // Install.dat now names the other game; the undo follows the record.
    EXPECT_EQ(Undo(other), ExitStatus::Ok) << report.All();
    EXPECT_TRUE(fs.Contents(kGta3) == gta3);
    EXPECT_TRUE(fs.Contents(kPlayer) == player);
    EXPECT_TRUE(fs.Contents(kOtherGta3) == otherGta3);
    EXPECT_EQ(Changes({}, BackupsNow()), std::vector<std::string>{});
    // Undone, the folder serves any game again.
    EXPECT_EQ(Install(other), ExitStatus::Ok) << report.All();
}

// Undo.cmd needs only the folder's Backups: the script and the mod's files
// beside it may be gone.
TEST_F(RecordUndoTest, TheUndoNeedsNeitherInstallDatNorTheModsFiles) {
    const Bytes gta3 = fs.Contents(kGta3), player = fs.Contents(kPlayer);
    fs.SetFile(kScript, BytesOf(script));
    FakeConsole console;
    ASSERT_EQ(RunTool({"Install.plug", "-script", kScript}, console, fs), 0) << console.text;
    fs.Remove(kScript);
    for (const CrashItem& item : kCrashItems) fs.Remove(Payload(item.archive, item.name));

    console.text.clear();
    EXPECT_EQ(RunTool({"Install.plug", "-restore", kScript}, console, fs), 0) << console.text;
    EXPECT_TRUE(fs.Contents(kGta3) == gta3) << console.text;
    EXPECT_TRUE(fs.Contents(kPlayer) == player);
    EXPECT_EQ(Changes({}, BackupsNow()), std::vector<std::string>{});
    EXPECT_TRUE(fs.Exists(kApp + "\\Restore.log"));

    // Undone and without a script: nothing was installed from this folder.
    console.text.clear();
    EXPECT_EQ(RunTool({"Install.plug", "-restore", kScript}, console, fs), Code(ExitStatus::NotFound));
}

// Players rename or move the mod's folder after an install. Its backups go
// with it, and the undo from the new place, or an install there and then the
// undo, gives the originals back; the old place is never looked for.
TEST_F(RecordUndoTest, TheApplicationFolderMayBeMovedBetweenTheInstallAndTheUndo) {
    const Bytes gta3 = fs.Contents(kGta3), player = fs.Contents(kPlayer);
    ASSERT_EQ(Install(script), ExitStatus::Ok) << report.All();
    const std::string moved = R"(F:\Mods\Veltrin renamed)";
    const std::string movedScript = moved + R"(\Install.dat)";
    for (const std::string& path : fs.Paths()) {
        if (path.rfind(kApp + "\\", 0) != 0) continue;
        fs.SetFile(moved + path.substr(kApp.size()), fs.Contents(path));
        fs.Remove(path);
    }
    const MemoryFileSystem installed = fs;
    for (const bool installAgain : {false, true}) {
        SCOPED_TRACE(installAgain ? "installed again from the new place" : "undone from the new place");
        fs = installed;
        if (installAgain) {
            report = RecordingReport();
            ASSERT_EQ(
                RunScript(movedScript, ScriptFor(kGame, {"a.dff", "B.TXD", "new.dff"}, {"c.dff"}, moved), fs, report),
                ExitStatus::Ok)
                << report.All();
        }
        report = RecordingReport();
        EXPECT_EQ(RestoreFromScript(movedScript, script, fs, report), ExitStatus::Ok) << report.All();
        EXPECT_FALSE(report.Has("no backup")) << report.All();
        EXPECT_TRUE(fs.Contents(kGta3) == gta3) << report.All();
        EXPECT_TRUE(fs.Contents(kPlayer) == player);
        for (const std::string& path : fs.Paths())
            EXPECT_NE(path.rfind(moved + R"(\Backups\)", 0), 0u) << path << " was left";
    }
}

// The game folder moved after an install (a new drive, a library moved).
// Install writes a script for the new place; the record names the old one.
// An archive there that is exactly what the install left is the same one:
// the install and the undo follow it. One that is not stops as before.
TEST_F(RecordUndoTest, AGameThatMovedAfterTheInstallIsFollowedWhereItIsExactlyAsLeft) {
    const Bytes gta3 = fs.Contents(kGta3), player = fs.Contents(kPlayer);
    ASSERT_EQ(Install(script), ExitStatus::Ok) << report.All();
    const std::string movedGame = R"(E:\SteamLibrary\GTA San Andreas)";
    for (const std::string& path : fs.Paths()) {
        if (path.rfind(kGame + "\\", 0) != 0) continue;
        fs.SetFile(movedGame + path.substr(kGame.size()), fs.Contents(path));
        fs.Remove(path);
    }
    const std::string movedScript = ScriptFor(movedGame, {"a.dff", "B.TXD", "new.dff"}, {"c.dff"});
    const std::string movedGta3 = movedGame + R"(\models\gta3.img)";
    const std::string movedPlayer = movedGame + R"(\models\player.img)";
    const MemoryFileSystem moved = fs;

    // Undone from the script Install wrote for the new place.
    EXPECT_EQ(Undo(movedScript), ExitStatus::Ok) << report.All();
    EXPECT_TRUE(report.Has("the game has moved: " + kGta3 + " is now " + movedGta3)) << report.All();
    EXPECT_TRUE(fs.Contents(movedGta3) == gta3) << report.All();
    EXPECT_TRUE(fs.Contents(movedPlayer) == player);

    // Installed again there, then undone.
    fs = moved;
    EXPECT_EQ(Install(movedScript), ExitStatus::Ok) << report.All();
    EXPECT_EQ(Undo(movedScript), ExitStatus::Ok) << report.All();
    EXPECT_TRUE(fs.Contents(movedGta3) == gta3) << report.All();
    EXPECT_TRUE(fs.Contents(movedPlayer) == player);

    // Changed at its new place since (another mod): the folder's record
    // cannot follow it, but the game's record beside the archives moved with
    // them and knows this folder's install, which goes on; the undo then
    // gives every entry of it back and leaves the other mod's.
    fs = moved;
    {
        archive::Archive archive = archive::Archive::Open(movedGta3, fs);
        archive.Put("another.dff", Bytes(100, 7));
        archive.Commit();
    }
    EXPECT_EQ(Install(movedScript), ExitStatus::Ok) << report.All();
    EXPECT_TRUE(report.Has("the game has moved: " + kGta3 + " is gone and " + movedGta3 + " is here")) << report.All();
    EXPECT_FALSE(report.Has("backed up a.dff")) << report.All();  // the mod's own data as an original
    EXPECT_EQ(Undo(movedScript), ExitStatus::Ok) << report.All();
    MemoryFileSystem stock;
    stock.SetFile(kGta3, gta3);
    Content expected = ReadContent(stock, kGta3);
    expected.push_back({"another.dff", Stored(Bytes(100, 7))});
    std::sort(expected.begin(), expected.end());
    Content now = ReadContent(fs, movedGta3);
    std::sort(now.begin(), now.end());
    EXPECT_TRUE(now == expected) << report.All();
    EXPECT_TRUE(fs.Contents(movedPlayer) == player);
}

// The game moved and the folder's record cannot follow it: the undo says
// where to run Install.exe so that Undo.cmd works again, and changes nothing.
TEST_F(RecordUndoTest, AnUndoWhoseGameIsGoneSaysWhereToRunInstallNext) {
    const Bytes gta3 = fs.Contents(kGta3), player = fs.Contents(kPlayer);
    ASSERT_EQ(Install(script), ExitStatus::Ok) << report.All();
    const std::string movedGame = R"(E:\SteamLibrary\GTA San Andreas)";
    for (const std::string& path : fs.Paths()) {
        if (path.rfind(kGame + "\\", 0) != 0) continue;
        fs.SetFile(movedGame + path.substr(kGame.size()), fs.Contents(path));
        fs.Remove(path);
    }
    {
        archive::Archive archive = archive::Archive::Open(movedGame + R"(\models\gta3.img)", fs);
        archive.Put("another.dff", Bytes(100, 7));
        archive.Commit();
    }
    const auto paths = fs.Paths();
    EXPECT_EQ(Undo(script), ExitStatus::NotFound) << report.All();
    EXPECT_TRUE(report.Has("run Install.exe from this folder on the game where it is now, then Undo.cmd"))
        << report.All();
    EXPECT_TRUE(report.Has("nothing was changed")) << report.All();
    EXPECT_EQ(fs.Paths(), paths);

    // Followed as it says, the undo works.
    const std::string movedScript = ScriptFor(movedGame, {"a.dff", "B.TXD", "new.dff"}, {"c.dff"});
    EXPECT_EQ(Install(movedScript), ExitStatus::Ok) << report.All();
    EXPECT_EQ(Undo(movedScript), ExitStatus::Ok) << report.All();
    EXPECT_TRUE(fs.Contents(movedGame + R"(\models\player.img)") == player);
    EXPECT_FALSE(archive::Archive::Open(movedGame + R"(\models\gta3.img)", fs).Find("new.dff"));
}

// A backup the player (or a virus scanner) deleted after an install. The
// entry holds the mod's data, which an install from the same folder must not
// back up as the original: it writes the backup again from the game's own
// bytes kept beside the archive, from which the undo gives it back.
TEST_F(RecordUndoTest, ABackupDeletedAfterTheInstallIsWrittenAgainFromTheOriginalNeverFromTheModsData) {
    const Content original = ReadContent(fs, kGta3);
    ASSERT_EQ(Install(script), ExitStatus::Ok) << report.All();
    const std::string lost = Backup("gta3.img", "a.dff");
    const Bytes backedUp = fs.Contents(lost);
    fs.Remove(lost);
    Bytes modsData;  // as the archive holds it, padding and all
    for (const auto& [name, bytes] : ReadContent(fs, kGta3))
        if (name == "a.dff") modsData = bytes;

    ASSERT_EQ(Install(script), ExitStatus::Ok) << report.All();
    EXPECT_FALSE(fs.Exists(lost) && fs.Contents(lost) == modsData) << "the mod's data was kept as the original";
    EXPECT_TRUE(report.Has("backed up a.dff again, as its earlier backup was lost")) << report.All();
    EXPECT_TRUE(fs.Exists(lost) && fs.Contents(lost) == backedUp) << report.All();

    // The game's own bytes were kept beside the archive at the first
    // install: the folder's backup is not needed.
    ASSERT_EQ(Undo(script), ExitStatus::Ok) << report.All();
    EXPECT_TRUE(report.Has("restored a.dff (what it held before the install")) << report.All();
    EXPECT_TRUE(ReadContent(fs, kGta3) == original) << report.All();
}

// What an install made before the tool kept records leaves: Install.dat, the
// backups and the markers. Its undo still works from them, and so does that
// of a later install over it from the same folder.
TEST_F(RecordUndoTest, AnInstallMadeBeforeRecordsExistedStillUndoes) {
    const Content gta3 = ReadContent(fs, kGta3), player = ReadContent(fs, kPlayer);
    const auto folded = [](Content content) {
        for (auto& [name, bytes] : content) name = archive::FoldedName(name);
        return content;
    };
    for (const bool installedAgain : {false, true}) {
        SCOPED_TRACE(installedAgain ? "installed again with records" : "as it was left");
        fs = MemoryFileSystem();
        SetUp();
        ASSERT_EQ(Install(script), ExitStatus::Ok) << report.All();
        if (fs.Exists(kRecord)) fs.Remove(kRecord);
        if (installedAgain) {
            ASSERT_EQ(Install(script), ExitStatus::Ok) << report.All();
        }
        ASSERT_TRUE(fs.Exists(Backup("gta3.img", "a.dff")));
        ASSERT_TRUE(fs.Exists(AddedMarkerPath(Backup("gta3.img", "new.dff"))));

        EXPECT_EQ(Undo(script), ExitStatus::Ok) << report.All();
        EXPECT_EQ(folded(ReadContent(fs, kGta3)), folded(gta3)) << report.All();
        EXPECT_EQ(folded(ReadContent(fs, kPlayer)), folded(player));
        EXPECT_EQ(Changes({}, BackupsNow()), std::vector<std::string>{});
    }
}

// A second install from the same folder keeps the first one's originals and
// layout: its undo gives the archives back byte for byte.
TEST_F(RecordUndoTest, ASecondInstallFromTheSameFolderUndoesToTheOriginalBytes) {
    const Bytes gta3 = fs.Contents(kGta3), player = fs.Contents(kPlayer);
    ASSERT_EQ(Install(InstallScript({"a.dff"}, {})), ExitStatus::Ok) << report.All();
    ASSERT_EQ(Install(script), ExitStatus::Ok) << report.All();
    EXPECT_EQ(fs.Contents(Backup("gta3.img", "a.dff")), Stored(Pattern(3000, 1)));
    EXPECT_EQ(Undo(script), ExitStatus::Ok) << report.All();
    EXPECT_TRUE(fs.Contents(kGta3) == gta3);
    EXPECT_TRUE(fs.Contents(kPlayer) == player);
    EXPECT_EQ(Changes({}, BackupsNow()), std::vector<std::string>{});
}

// A record that is torn or was changed is never trusted. Where the game's
// record knows the install from this folder, install and undo follow that
// one instead, and the record is written anew; where it does not, both
// refuse it, say so, and change nothing.
TEST_F(RecordUndoTest, ARecordThatCannotBeTrustedIsNeverFollowed) {
    const Bytes gta3 = fs.Contents(kGta3), player = fs.Contents(kPlayer);
    ASSERT_EQ(Install(script), ExitStatus::Ok) << report.All();
    const Bytes record = fs.Contents(kRecord);
    ASSERT_GT(record.size(), 100u);
    Bytes flipped = record;
    flipped[flipped.size() / 2] ^= 0x20;
    const std::vector<std::pair<const char*, Bytes>> damaged = {
        {"torn", Bytes(record.begin(), record.begin() + static_cast<std::ptrdiff_t>(record.size() / 2))},
        {"a byte changed", flipped},
        {"empty", {}},
        {"not a record", BytesOf("-open \"C:\\\\x\\\\gta3.img\"\r\n")},
    };
    const MemoryFileSystem installed = fs;
    for (const auto& [what, bytes] : damaged) {
        SCOPED_TRACE(what);
        fs = installed;
        fs.SetFile(kRecord, bytes);
        EXPECT_EQ(Undo(script), ExitStatus::Ok) << report.All();
        EXPECT_TRUE(report.Has("the install record " + kRecord + " cannot be trusted (")) << report.All();
        EXPECT_TRUE(fs.Contents(kGta3) == gta3 && fs.Contents(kPlayer) == player) << report.All();
        EXPECT_EQ(Changes({}, BackupsNow()), std::vector<std::string>{}) << report.All();
        fs = installed;
        fs.SetFile(kRecord, bytes);
        EXPECT_EQ(Install(script), ExitStatus::Ok) << report.All();
        EXPECT_TRUE(ReadRecord(fs, kRecord)) << report.All();

        fs = installed;
        fs.SetFile(kRecord, bytes);
        for (const std::string& file : fs.Paths())
            if (file.find(".installs") != std::string::npos) fs.Remove(file);
        const DiskFiles before = KeptFiles(fs);
        EXPECT_EQ(Undo(script), ExitStatus::Io) << report.All();
        EXPECT_TRUE(report.Has("error: the install record " + kRecord + " cannot be trusted")) << report.All();
        EXPECT_TRUE(report.Has("nothing was changed"));
        EXPECT_EQ(Changes(before, KeptFiles(fs)), std::vector<std::string>{});
        EXPECT_EQ(Install(script), ExitStatus::Io) << report.All();
        EXPECT_TRUE(report.Has("error: the install record " + kRecord + " cannot be trusted")) << report.All();
        EXPECT_EQ(Changes(before, KeptFiles(fs)), std::vector<std::string>{});
    }
}

// A mod author's tried folder, zipped with the mod: its record was made on
// another computer, and the player's game knows nothing of it. Its record,
// backups and markers are set aside, named, and the install goes on as from
// a fresh copy; its undo gives the player's game back.
TEST_F(RecordUndoTest, ATriedFolderFromAnotherComputerIsSetAsideAndTheInstallGoesOn) {
    const Bytes gta3 = fs.Contents(kGta3), player = fs.Contents(kPlayer);
    MemoryFileSystem playersGame = fs;  // the same stock game on the player's computer
    ASSERT_EQ(RunScript(kScript, script, fs, report, "AUTHOR-PC"), ExitStatus::Ok) << report.All();
    for (const std::string& path : fs.Paths())  // the folder, zipped and unpacked
        if (path.rfind(kApp + "\\", 0) == 0) playersGame.SetFile(path, fs.Contents(path));
    const DiskFiles authors = BackupsNow();
    fs = playersGame;

    report = RecordingReport();
    EXPECT_EQ(RunScript(kScript, script, fs, report, "PLAYER-PC"), ExitStatus::Ok) << report.All();
    EXPECT_TRUE(report.Has("made on another computer (AUTHOR-PC)")) << report.All();
    const std::string aside = kApp + "\\Backups (from another computer)";
    EXPECT_TRUE(report.Has("files moved to " + aside)) << report.All();
    for (const auto& [path, bytes] : authors) {
        const std::string moved = aside + path.substr((kApp + "\\Backups").size());
        EXPECT_TRUE(fs.Exists(moved) && fs.Contents(moved) == bytes) << moved;
    }
    EXPECT_EQ(Undo(script), ExitStatus::Ok) << report.All();
    EXPECT_TRUE(fs.Contents(kGta3) == gta3) << report.All();
    EXPECT_TRUE(fs.Contents(kPlayer) == player);
}

// The same tried folder's Undo.cmd run on the player's game, whose a.dff is
// not the author's: nothing of the author's install is in it, so nothing is
// undone and none of the author's backups goes into the player's game; a
// record that names no computer is no different.
TEST_F(RecordUndoTest, ATriedFolderFromAnotherComputerUndoesNothingInThisGame) {
    for (const std::string author : {"AUTHOR-PC", ""}) {
        SCOPED_TRACE("made on \"" + author + "\"");
        MemoryFileSystem authors = fs;
        {
            auto opened = archive::Archive::Open(kGta3, authors);
            opened.Put("a.dff", Pattern(3000, 77));  // the author's game is another version
            opened.Commit();
        }
        RecordingReport made;
        ASSERT_EQ(RunScript(kScript, script, authors, made, author), ExitStatus::Ok) << made.All();
        MemoryFileSystem players = fs;
        for (const std::string& path : authors.Paths())  // the folder, zipped and unpacked
            if (path.rfind(kApp + "\\", 0) == 0) players.SetFile(path, authors.Contents(path));
        const DiskFiles before = KeptFiles(players);
        RecordingReport undone;
        EXPECT_EQ(RestoreFromScriptOn("PLAYER-PC", kScript, script, players, undone), ExitStatus::Ok) << undone.All();
        EXPECT_TRUE(undone.Has("nothing to undo: this folder's Backups hold an install made on another computer"))
            << undone.All();
        EXPECT_TRUE(undone.Has("nothing was changed")) << undone.All();
        EXPECT_TRUE(players.Contents(kGta3) == fs.Contents(kGta3)) << undone.All();
        EXPECT_TRUE(players.Contents(kPlayer) == fs.Contents(kPlayer)) << undone.All();
        EXPECT_EQ(Changes(before, KeptFiles(players)), std::vector<std::string>{});
    }
}

// An install this game's record knows was made here, whatever the computer
// is called now: the folder's record is not refused nor set aside.
TEST_F(RecordUndoTest, AnInstallOfThisGameFromARenamedComputerGoesOn) {
    const Bytes gta3 = fs.Contents(kGta3), player = fs.Contents(kPlayer);
    ASSERT_EQ(RunScript(kScript, script, fs, report, "OLD-NAME"), ExitStatus::Ok) << report.All();
    report = RecordingReport();
    EXPECT_EQ(RunScript(kScript, script, fs, report, "NEW-NAME"), ExitStatus::Ok) << report.All();
    EXPECT_FALSE(report.Has("another computer")) << report.All();
    EXPECT_EQ(Undo(script), ExitStatus::Ok) << report.All();
    EXPECT_TRUE(fs.Contents(kGta3) == gta3);
    EXPECT_TRUE(fs.Contents(kPlayer) == player);
}

// An install made in this game before the game's record existed, the
// computer renamed since: the folder's record is no tried folder from
// elsewhere (its mod is in this game), so its backups, the only copy of the
// game's own entries, are not set aside: the install stops with nothing
// changed and says to undo first, and the undo gives the originals back.
TEST_F(RecordUndoTest, AnInstallMadeBeforeTheGamesRecordFromARenamedComputerIsNotSetAside) {
    const Bytes gta3 = fs.Contents(kGta3), player = fs.Contents(kPlayer);
    ASSERT_EQ(RunScript(kScript, script, fs, report, "OLD-NAME"), ExitStatus::Ok) << report.All();
    for (const std::string& path : fs.Paths())  // as an older tool left it
        if (path.find(".installs") != std::string::npos || path.find(".originals\\") != std::string::npos)
            fs.Remove(path);
    const DiskFiles before = KeptFiles(fs);
    report = RecordingReport();
    EXPECT_EQ(RunScript(kScript, script, fs, report, "NEW-NAME"), ExitStatus::OtherInstall) << report.All();
    EXPECT_FALSE(report.Has("set aside")) << report.All();
    EXPECT_TRUE(report.Has("first undo that install with Undo.cmd")) << report.All();
    EXPECT_EQ(Changes(before, KeptFiles(fs)), std::vector<std::string>{});
    EXPECT_EQ(Undo(script), ExitStatus::Ok) << report.All();
    EXPECT_TRUE(fs.Contents(kGta3) == gta3) << report.All();
    EXPECT_TRUE(fs.Contents(kPlayer) == player) << report.All();
}

// The check before an undo (whether this account may write) looks where the
// undo writes: the record's archives and backup folders, whatever Install.dat
// says.
TEST_F(RecordUndoTest, TheUndoWritesWhereTheRecordSays) {
    ASSERT_EQ(Install(script), ExitStatus::Ok) << report.All();
    const std::string other = ScriptFor(kOtherGame, {"a.dff"}, {"c.dff"});
    const auto filesOf = [](const std::vector<WritePlace>& places) {
        std::vector<std::string> files;
        for (const WritePlace& place : places)
            if (place.kind == WritePlace::Kind::File) files.push_back(place.path);
        return files;
    };
    const auto hasFolder = [](const std::vector<WritePlace>& places, const std::string& folder) {
        for (const WritePlace& place : places)
            if (place.kind == WritePlace::Kind::Folder && place.path == folder) return true;
        return false;
    };
    const std::vector<WritePlace> places = PlacesUndoWrites(kScript, other, fs);
    EXPECT_EQ(filesOf(places), (std::vector<std::string>{kGta3, kPlayer}));
    EXPECT_TRUE(hasFolder(places, kGame + R"(\models)"));
    EXPECT_TRUE(hasFolder(places, kApp + R"(\Backups\gta3.img)"));
    EXPECT_TRUE(hasFolder(places, kApp + R"(\Backups\player.img)"));
    // And the files it removes once used: each backup (or an addition's
    // marker), so that a read-only one is found before anything changes.
    size_t removed = 0;
    for (const WritePlace& place : places) {
        if (place.kind != WritePlace::Kind::RemovedFile) continue;
        ++removed;
        EXPECT_TRUE(fs.Exists(place.path)) << place.path;
    }
    EXPECT_GE(removed, 1u);

    fs.SetFile(kRecord, BytesOf("not a record"));
    EXPECT_EQ(filesOf(PlacesUndoWrites(kScript, other, fs)), (std::vector<std::string>{kOtherGta3, kOtherPlayer}))
        << "the run follows the game's records by the script";
    fs.Remove(kRecord);
    EXPECT_EQ(filesOf(PlacesUndoWrites(kScript, other, fs)), (std::vector<std::string>{kOtherGta3, kOtherPlayer}));
}

}  // namespace
}  // namespace veltrin::tool
