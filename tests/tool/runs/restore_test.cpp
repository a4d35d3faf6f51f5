#include "tool/runs/restore.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "testing/memory_file_system.h"
#include "tool/runs/backup_marker.h"
#include "tool/runs/install_record.h"
#include "tool/runs/script_runner.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

using namespace testing;
using archive::testing::MemoryFileSystem;

// Original archives, a mod that replaces some entries (one under another
// case) and adds another, and the script the installer writes for it.
class RestoreTest : public ::testing::Test {
protected:
    MemoryFileSystem fs;
    RecordingReport report;
    const Content gta3Before = {
        {"infernus.dff", Pattern(5000, 1)}, {"infernus.txd", Pattern(9000, 2)}, {"other.dff", Pattern(300, 3)}};
    const Content playerBefore = {{"vest.dff", Pattern(2048, 4)}, {"cj.txd", Pattern(100, 5)}};
    const std::string script = InstallScript({"INFERNUS.dff", "infernus.txd", "veltrin.dff"}, {"vest.dff"});
    // The tool's record of the installs from kApp, which the undo follows.
    const std::string record = kApp + "\\Backups\\Install.record";
    // Every backup and marker the install above leaves.
    const std::vector<std::string> installFiles = {
        Backup("gta3.img", "INFERNUS.dff"), Backup("gta3.img", "infernus.txd"),
        AddedMarkerPath(Backup("gta3.img", "veltrin.dff")), Backup("player.img", "vest.dff")};

    void SetUp() override {
        MakeArchive(fs, kGta3, gta3Before);
        MakeArchive(fs, kPlayer, playerBefore);
        fs.SetFile(Payload("gta3.img", "INFERNUS.dff"), Pattern(7000, 11));  // grows: the archive is rewritten
        fs.SetFile(Payload("gta3.img", "infernus.txd"), Pattern(10, 12));
        fs.SetFile(Payload("gta3.img", "veltrin.dff"), Pattern(700, 13));
        // Grows from one sector to two; undoing it must give one sector back,
        // not the original padded to two.
        fs.SetFile(Payload("player.img", "vest.dff"), Pattern(4000, 14));
    }
    ExitStatus Install() { return RunScript(kScript, script, fs, report); }
    // What an install made before the tool kept records leaves: the undo
    // then goes by Install.dat, the backups, the markers and the mod's files.
    void ForgetRecord() {
        for (const std::string& file : fs.Paths())
            if (file == record || file.find(".installs") != std::string::npos ||
                file.find(".originals\\") != std::string::npos)
                fs.Remove(file);
    }
    ExitStatus Restore() {
        report.lines.clear();
        return RestoreFromScript(kScript, script, fs, report);
    }
    // The script with the first backup's path replaced, as a script in the
    // installer's form writes it (every backslash twice).
    std::string ScriptBackingUpTo(const std::string& path) const {
        const auto doubled = [](std::string text) {
            for (size_t at = 0; (at = text.find('\\', at)) != std::string::npos; at += 2) text.insert(at, 1, '\\');
            return text;
        };
        std::string forged = script;
        const std::string first = doubled(Backup("gta3.img", "INFERNUS.dff"));
        forged.replace(forged.find(first), first.size(), doubled(path));
        return forged;
    }
    ExitStatus ForceRestore() {
        report.lines.clear();
        return ForceRestoreFromScript(kScript, script, fs, report);
    }
    // Another mod (or a game update) puts its own bytes into an entry.
    void Overwrite(const std::string& archivePath, const std::string& name, const Bytes& bytes) {
        auto opened = archive::Archive::Open(archivePath, fs);
        opened.Put(name, bytes);
        opened.Commit();
    }
    Bytes EntryOf(const std::string& archivePath, const std::string& name) {
        const auto opened = archive::Archive::Open(archivePath, fs);
        const archive::Entry* entry = opened.Find(name);
        return entry ? opened.Read(*entry) : Bytes{};
    }
    bool HasEntry(const std::string& archivePath, const std::string& name) {
        return archive::Archive::Open(archivePath, fs).Find(name) != nullptr;
    }

    void ExpectOriginals() {
        EXPECT_EQ(Folded(ReadContent(fs, kGta3)), Folded(gta3Before));
        EXPECT_EQ(Folded(ReadContent(fs, kPlayer)), Folded(playerBefore));
    }
    // The backups and markers that still exist.
    std::vector<std::string> Remaining() {
        std::vector<std::string> remaining;
        for (const auto& path : installFiles)
            if (fs.Exists(path)) remaining.push_back(path);
        return remaining;
    }
};

// --- An entry that still holds the mod's file ---------------------------

TEST_F(RestoreTest, UndoesOneInstallAndUsesUpItsBackupsAndMarkers) {
    ASSERT_EQ(Install(), ExitStatus::Ok);
    ASSERT_NE(ReadContent(fs, kGta3), gta3Before);
    ASSERT_EQ(Remaining(), installFiles);
    // The layout from before the install is kept once, by the game's record.
    const std::optional<InstallRecord> folders = ReadRecord(fs, record);
    ASSERT_TRUE(folders);
    for (const RecordedArchive& archive : folders->archives) EXPECT_FALSE(archive.layout) << archive.path;
    EXPECT_EQ(Restore(), ExitStatus::Ok) << report.All();
    ExpectOriginals();
    // Under the original's own spelling.
    EXPECT_TRUE(report.Has("restored INFERNUS.dff (what it held before the install, kept in " + kGta3 + ".originals"))
        << report.All();
    EXPECT_TRUE(report.Has("removed veltrin.dff, which the install added"));
    EXPECT_TRUE(report.Has("removed 2 used backups and 1 marker")) << report.All();
    EXPECT_TRUE(report.Has("summary of " + kGta3 + ": 2 restored, 1 removed, 0 already undone, 0 left as they are"));
    EXPECT_TRUE(report.Has("summary of " + kPlayer + ": 1 restored, 0 removed, 0 already undone, 0 left as they are"));
    EXPECT_EQ(Remaining(), std::vector<std::string>{}) << report.All();
    EXPECT_FALSE(report.Has("--force"));
    EXPECT_EQ(report.lines.back(), "done");
}

// A game repaired after the install (its archives copied back from the
// disc) holds the originals again; no undo put them back, and the undo says
// no such thing. Counts take the noun's number.
TEST_F(RestoreTest, AGameRepairedSinceTheInstallIsNotTakenForAnEarlierUndo) {
    const Bytes gta3 = fs.Contents(kGta3);
    const Bytes player = fs.Contents(kPlayer);
    ASSERT_EQ(Install(), ExitStatus::Ok);
    fs.SetFile(kGta3, gta3);
    fs.SetFile(kPlayer, player);
    EXPECT_EQ(Restore(), ExitStatus::Ok) << report.All();
    ExpectOriginals();
    EXPECT_FALSE(report.Has("an earlier undo")) << report.All();
    // The install owns none of its entries any more, and nothing is put over
    // what the repair left.
    EXPECT_TRUE(
        report.Has("changed since the installs put them in (another program, or the game repaired or "
                   "updated): vest.dff of " +
                   kPlayer))
        << report.All();
    EXPECT_TRUE(report.Has("nothing of the install from this folder is in " + kPlayer + " any more")) << report.All();
    EXPECT_TRUE(report.Has("summary of " + kPlayer + ": 0 restored, 0 removed, 0 already undone, 1 left as it is"))
        << report.All();
    EXPECT_TRUE(report.Has("removed 1 used backup")) << report.All();
    EXPECT_FALSE(report.Has("removed 1 used backups")) << report.All();
}

TEST_F(RestoreTest, AnInstallAfterTheUndoBacksUpAfresh) {
    ASSERT_EQ(Install(), ExitStatus::Ok);
    ASSERT_EQ(Restore(), ExitStatus::Ok);
    // A game update changes an original while the mod is not installed.
    Overwrite(kGta3, "infernus.txd", Pattern(3000, 40));
    const Bytes updated = EntryOf(kGta3, "infernus.txd");
    ASSERT_EQ(Install(), ExitStatus::Ok);
    EXPECT_EQ(fs.Contents(Backup("gta3.img", "infernus.txd")), updated);
    EXPECT_TRUE(fs.Exists(AddedMarkerPath(Backup("gta3.img", "veltrin.dff"))));
    ASSERT_EQ(Restore(), ExitStatus::Ok) << report.All();
    EXPECT_EQ(EntryOf(kGta3, "infernus.txd"), updated);
    EXPECT_FALSE(HasEntry(kGta3, "veltrin.dff"));
}

TEST_F(RestoreTest, UndoesTwoInstallsBecauseTheSecondKeepsTheOriginals) {
    ASSERT_EQ(Install(), ExitStatus::Ok);
    const Content afterFirst = ReadContent(fs, kGta3);
    ASSERT_EQ(Install(), ExitStatus::Ok);
    EXPECT_EQ(ReadContent(fs, kGta3), afterFirst);
    // The entry the first install added holds the mod's data: never a backup.
    EXPECT_FALSE(fs.Exists(Backup("gta3.img", "veltrin.dff")));
    EXPECT_EQ(fs.Contents(Backup("gta3.img", "infernus.txd")), Stored(Pattern(9000, 2)));
    EXPECT_EQ(Restore(), ExitStatus::Ok);
    ExpectOriginals();
}

// An in-place save pads a smaller replacement with zeros to the sectors of
// the entry it replaced: that entry still holds the mod's file.
TEST_F(RestoreTest, AModFileWrittenOverALargerEntryIsStillTheMods) {
    const std::string small = InstallScript({"infernus.txd"}, {});
    ASSERT_EQ(RunScript(kScript, small, fs, report), ExitStatus::Ok);
    ASSERT_EQ(archive::Archive::Open(kGta3, fs).Find("infernus.txd")->sectors, 5u)
        << "not padded to the old size: the case is not tested";
    report.lines.clear();
    EXPECT_EQ(RestoreFromScript(kScript, small, fs, report), ExitStatus::Ok) << report.All();
    EXPECT_EQ(EntryOf(kGta3, "infernus.txd"), Stored(Pattern(9000, 2)));
    EXPECT_FALSE(fs.Exists(Backup("gta3.img", "infernus.txd")));
}

// --- Whatever came later is left alone -------------------------------------

TEST_F(RestoreTest, AnEntryChangedSinceIsLeftAloneNamedAndKeepsItsBackup) {
    ASSERT_EQ(Install(), ExitStatus::Ok);
    Overwrite(kGta3, "infernus.txd", Pattern(1500, 50));
    EXPECT_EQ(Restore(), ExitStatus::Ok) << report.All();
    EXPECT_TRUE(HoldsFile(EntryOf(kGta3, "infernus.txd"), Pattern(1500, 50)));
    EXPECT_TRUE(
        report.Has("left infernus.txd as it is: it has changed since the install (another program, or the game "
                   "repaired or updated); this install lets go of it"))
        << report.All();
    // The rest is undone.
    EXPECT_EQ(EntryOf(kGta3, "INFERNUS.dff"), Stored(Pattern(5000, 1)));
    EXPECT_FALSE(HasEntry(kGta3, "veltrin.dff"));
    EXPECT_EQ(Folded(ReadContent(fs, kPlayer)), Folded(playerBefore));
    // The game's record no longer holds it as the install's, and no advice
    // to force it is given; but the game's own bytes are never deleted: the
    // folder's backup of its original stays, and the line names it.
    EXPECT_EQ(Remaining(), std::vector<std::string>{Backup("gta3.img", "infernus.txd")});
    EXPECT_TRUE(report.Has("the backup of its original stays in " + Backup("gta3.img", "infernus.txd")))
        << report.All();
    EXPECT_TRUE(report.Has("summary of " + kGta3 + ": 1 restored, 1 removed, 0 already undone, 1 left as it is"));
    EXPECT_FALSE(report.Has("--force"));
    EXPECT_EQ(report.lines.back(), "done");

    // Undoing again leaves it alone again, and its original's backup too.
    Restore();
    EXPECT_TRUE(HoldsFile(EntryOf(kGta3, "infernus.txd"), Pattern(1500, 50))) << report.All();
    EXPECT_TRUE(fs.Exists(Backup("gta3.img", "infernus.txd")));
}

TEST_F(RestoreTest, AnEntryRemovedSinceIsNotPutBack) {
    ASSERT_EQ(Install(), ExitStatus::Ok);
    {
        auto opened = archive::Archive::Open(kPlayer, fs);
        ASSERT_TRUE(opened.Remove("vest.dff"));
        opened.Commit();
    }
    EXPECT_EQ(Restore(), ExitStatus::Ok);
    EXPECT_FALSE(HasEntry(kPlayer, "vest.dff"));
    EXPECT_TRUE(report.Has("left vest.dff as it is: it is no longer in the archive; this install lets go of it"))
        << report.All();
}

TEST_F(RestoreTest, AnAddedEntryStillTheModsIsRemovedWithItsMarker) {
    ASSERT_EQ(Install(), ExitStatus::Ok);
    ASSERT_TRUE(HasEntry(kGta3, "veltrin.dff"));
    EXPECT_EQ(Restore(), ExitStatus::Ok);
    EXPECT_FALSE(HasEntry(kGta3, "veltrin.dff"));
    EXPECT_FALSE(fs.Exists(AddedMarkerPath(Backup("gta3.img", "veltrin.dff"))));
}

TEST_F(RestoreTest, AnAddedEntryChangedSinceIsKeptWithItsMarker) {
    ASSERT_EQ(Install(), ExitStatus::Ok);
    Overwrite(kGta3, "veltrin.dff", Pattern(700, 60));  // same size, other bytes
    EXPECT_EQ(Restore(), ExitStatus::Ok);
    EXPECT_EQ(EntryOf(kGta3, "veltrin.dff"), Stored(Pattern(700, 60)));
    EXPECT_TRUE(
        report.Has("left veltrin.dff as it is: it has changed since the install (another program, or the "
                   "game repaired or updated); this install lets go of it"))
        << report.All();
    EXPECT_EQ(EntryOf(kGta3, "infernus.txd"), Stored(Pattern(9000, 2)));
}

// Only the padding may differ: a byte past the mod file's end in its last
// sector is a change.
TEST_F(RestoreTest, ABytePastTheModFilesEndIsAChange) {
    ASSERT_EQ(Install(), ExitStatus::Ok);
    Bytes changed = Stored(Pattern(10, 12));
    changed.back() = 1;
    Overwrite(kGta3, "infernus.txd", changed);
    EXPECT_EQ(Restore(), ExitStatus::Ok);
    EXPECT_TRUE(HoldsFile(EntryOf(kGta3, "infernus.txd"), changed));
    EXPECT_TRUE(report.Has("left infernus.txd as it is: it has changed since the install"));
}

// The record's checksums tell what the install put in: the mod's files are
// not needed.
TEST_F(RestoreTest, AnEntryWhoseModFileIsGoneIsUndoneAllTheSame) {
    ASSERT_EQ(Install(), ExitStatus::Ok);
    fs.Remove(Payload("gta3.img", "INFERNUS.dff"));
    fs.Remove(Payload("gta3.img", "veltrin.dff"));
    EXPECT_EQ(Restore(), ExitStatus::Ok) << report.All();
    ExpectOriginals();
    EXPECT_EQ(Remaining(), std::vector<std::string>{});
}

// Without a record, an entry is known to hold the mod's file only while that
// file is there to compare.
TEST_F(RestoreTest, WithoutARecordAnEntryWhoseModFileIsGoneIsLeftAloneAndKeepsItsBackup) {
    ASSERT_EQ(Install(), ExitStatus::Ok);
    ForgetRecord();
    fs.Remove(Payload("gta3.img", "INFERNUS.dff"));
    fs.Remove(Payload("gta3.img", "veltrin.dff"));
    EXPECT_EQ(Restore(), ExitStatus::Ok);
    EXPECT_EQ(EntryOf(kGta3, "INFERNUS.dff"), Stored(Pattern(7000, 11)));
    EXPECT_EQ(EntryOf(kGta3, "veltrin.dff"), Stored(Pattern(700, 13)));
    EXPECT_TRUE(report.Has("left INFERNUS.dff as it is: the mod's file " + Payload("gta3.img", "INFERNUS.dff") +
                           " is gone, so it cannot be told whether the entry still holds it; its backup stays in " +
                           Backup("gta3.img", "INFERNUS.dff")))
        << report.All();
    EXPECT_TRUE(report.Has("left veltrin.dff as it is: the mod's file"));
    EXPECT_EQ(Remaining(), (std::vector<std::string>{Backup("gta3.img", "INFERNUS.dff"),
                                                     AddedMarkerPath(Backup("gta3.img", "veltrin.dff"))}));
    EXPECT_EQ(EntryOf(kGta3, "infernus.txd"), Stored(Pattern(9000, 2)));
    EXPECT_TRUE(report.Has("2 entries were left as they are"));
}

TEST_F(RestoreTest, ForceRestoresAndRemovesWhatChangedSinceToo) {
    ASSERT_EQ(Install(), ExitStatus::Ok);
    Overwrite(kGta3, "infernus.txd", Pattern(1500, 50));
    Overwrite(kGta3, "veltrin.dff", Pattern(900, 60));
    fs.Remove(Payload("player.img", "vest.dff"));
    EXPECT_EQ(ForceRestore(), ExitStatus::Ok) << report.All();
    ExpectOriginals();
    EXPECT_EQ(Remaining(), std::vector<std::string>{});
    EXPECT_TRUE(report.Has("restored infernus.txd (forced: it has changed since the install")) << report.All();
    EXPECT_TRUE(report.Has("removed veltrin.dff, which the install added (forced: "));
    // Its mod file is gone, but the record says what the install put in.
    EXPECT_TRUE(report.Has("restored vest.dff (what it held before the install"));
    EXPECT_FALSE(report.Has("restored vest.dff (forced"));
    EXPECT_FALSE(report.Has("left as they are because"));
}

// --- Nothing, or not everything, to undo -----------------------------------

// An undo run again after it succeeded, or from a folder whose install never
// got anywhere, finds none of the mod's files in the game: nothing to undo,
// which is no failure. Only a mod in the game with nothing left here to undo
// it by is one (status 4), with the advice that mends it.
TEST_F(RestoreTest, ASecondUndoAfterASuccessfulOneFindsNothingToUndo) {
    ASSERT_EQ(Install(), ExitStatus::Ok);
    ASSERT_EQ(Restore(), ExitStatus::Ok);
    const Bytes gta3 = fs.Contents(kGta3);
    const Bytes player = fs.Contents(kPlayer);
    const auto paths = fs.Paths();
    EXPECT_EQ(Restore(), ExitStatus::Ok) << report.All();
    EXPECT_TRUE(report.Has("nothing to undo: the mod of this folder is not in the game (no entry its script puts in "
                           "holds its file): already undone, or never installed"))
        << report.All();
    EXPECT_EQ(report.lines.back(), "done");
    EXPECT_TRUE(report.Has("nothing was changed"));
    EXPECT_FALSE(report.Has("failed"));
    EXPECT_EQ(fs.Contents(kGta3), gta3);
    EXPECT_EQ(fs.Contents(kPlayer), player);
    EXPECT_EQ(fs.Paths(), paths);
}

TEST_F(RestoreTest, WithoutAnInstallThereIsNothingToUndo) {
    const Bytes gta3 = fs.Contents(kGta3);
    EXPECT_EQ(Restore(), ExitStatus::Ok) << report.All();
    EXPECT_TRUE(report.Has("nothing to undo: the mod of this folder is not in the game")) << report.All();
    EXPECT_EQ(fs.Contents(kGta3), gta3);

    // The mod in the game, and nothing in this folder or beside the
    // archives to undo it by.
    ASSERT_EQ(Install(), ExitStatus::Ok);
    ForgetRecord();
    for (const std::string& path : fs.Paths())
        if (path.starts_with(kApp + "\\Backups\\")) fs.Remove(path);
    const auto paths = fs.Paths();
    EXPECT_EQ(Restore(), ExitStatus::NotFound) << report.All();
    EXPECT_TRUE(report.Has("nothing to undo: none of the backups or markers this script names exist")) << report.All();
    EXPECT_TRUE(report.Has("run Install.exe from this folder on the same game, then Undo.cmd")) << report.All();
    EXPECT_EQ(report.lines.back(), "failed");
    EXPECT_EQ(fs.Paths(), paths);
}

// A folder from a download is input from outside. A record there that names
// backups elsewhere (a path on another drive, a path that climbs out of
// Backups) cannot make the undo remove those files, nor can an Install.dat
// whose export lines do so: the run stops before it changes anything.
TEST_F(RestoreTest, ARecordOrScriptNamingFilesOutsideBackupsRemovesNothing) {
    ASSERT_EQ(Install(), ExitStatus::Ok);
    const std::string elsewhere = R"(C:\Windows\system32\victim.dll)";
    const std::string climbing = kApp + R"(\Backups\..\..\victim.txt)";
    for (const std::string& victim : {elsewhere, std::string(R"(D:\victim.txt)")}) fs.SetFile(victim, Pattern(50, 9));
    std::optional<InstallRecord> forged = ReadRecord(fs, record);
    ASSERT_TRUE(forged);
    forged->archives[0].entries[0].backup = elsewhere;
    forged->archives[0].entries[1].backup = climbing;
    fs.SetFile(record, EncodeRecord(*forged, kApp + "\\Backups"));
    const MemoryFileSystem installed = fs;
    const Bytes gta3 = fs.Contents(kGta3);
    // The game's record knows the install: the undo follows it, not the
    // forged record.
    EXPECT_EQ(Restore(), ExitStatus::Ok) << report.All();
    EXPECT_TRUE(report.Has("cannot be trusted (it names a backup outside its folder")) << report.All();
    EXPECT_EQ(fs.Contents(elsewhere), Pattern(50, 9));
    EXPECT_EQ(fs.Contents(R"(D:\victim.txt)"), Pattern(50, 9));
    ExpectOriginals();
    // The game's record gone too: the forged record is refused.
    fs = installed;
    ForgetRecord();
    fs.SetFile(record, installed.Contents(record));
    const auto paths = fs.Paths();
    EXPECT_EQ(Restore(), ExitStatus::Io) << report.All();
    EXPECT_TRUE(report.Has("cannot be trusted: it names a backup outside its folder")) << report.All();
    EXPECT_EQ(fs.Paths(), paths);
    EXPECT_EQ(fs.Contents(kGta3), gta3);

    // Without a record, the undo goes by Install.dat's export lines.
    fs.Remove(record);
    const std::string forgedScript = ScriptBackingUpTo(elsewhere);
    report.lines.clear();
    EXPECT_EQ(RestoreFromScript(kScript, forgedScript, fs, report), ExitStatus::Rejected) << report.All();
    EXPECT_TRUE(report.Has("does not lie in " + kApp + "\\Backups, the folder the tool keeps backups in"))
        << report.All();
    report.lines.clear();
    EXPECT_EQ(RunScript(kScript, forgedScript, fs, report), ExitStatus::Rejected) << report.All();
    EXPECT_EQ(fs.Contents(elsewhere), Pattern(50, 9));
    EXPECT_EQ(fs.Contents(R"(D:\victim.txt)"), Pattern(50, 9));
    EXPECT_EQ(fs.Contents(kGta3), gta3);
}

// A scratch file is removed only in Backups: a script naming a backup
// elsewhere cannot make the undo's clean-up remove "<that path>.partial".
TEST_F(RestoreTest, ScratchFilesAreRemovedOnlyInsideBackups) {
    ASSERT_EQ(Install(), ExitStatus::Ok);
    const std::string victim = R"(C:\Windows\victim.dll)";
    fs.SetFile(victim + ".partial", Pattern(50, 9));
    report.lines.clear();
    EXPECT_EQ(RestoreFromScript(kScript, ScriptBackingUpTo(victim), fs, report), ExitStatus::Ok) << report.All();
    EXPECT_EQ(fs.Contents(victim + ".partial"), Pattern(50, 9)) << report.All();
    ExpectOriginals();
}

// The game's own bytes are kept beside the archive: a backup deleted from
// the folder after the install costs nothing.
TEST_F(RestoreTest, ABackupDeletedFromTheFolderAfterTheInstallCostsNothing) {
    ASSERT_EQ(Install(), ExitStatus::Ok);
    fs.Remove(Backup("gta3.img", "INFERNUS.dff"));
    EXPECT_EQ(Restore(), ExitStatus::Ok) << report.All();
    ExpectOriginals();
    EXPECT_TRUE(report.Has("restored INFERNUS.dff (what it held before the install")) << report.All();
}

// The folder's record is gone (deleted, or taken by a power cut before the
// disk had it): the game's record still knows the install from this folder,
// and the undo follows it, byte for byte, using up the backups the script
// names.
TEST_F(RestoreTest, AnInstallWhoseFolderRecordIsGoneIsUndoneThroughTheGamesRecord) {
    const Bytes gta3 = fs.Contents(kGta3);
    const Bytes player = fs.Contents(kPlayer);
    ASSERT_EQ(Install(), ExitStatus::Ok);
    fs.Remove(record);
    // One backup gone with it: the game's record keeps every original.
    fs.Remove(Backup("gta3.img", "INFERNUS.dff"));
    EXPECT_EQ(Restore(), ExitStatus::Ok) << report.All();
    EXPECT_TRUE(report.Has("the game's record of installs knows the install from this folder, and this run follows it"))
        << report.All();
    EXPECT_EQ(fs.Contents(kGta3), gta3) << report.All();
    EXPECT_EQ(fs.Contents(kPlayer), player) << report.All();
    EXPECT_EQ(Remaining(), std::vector<std::string>{}) << report.All();
    EXPECT_FALSE(fs.Exists(record)) << report.All();
    EXPECT_FALSE(report.Has("following the install record")) << report.All();
    EXPECT_EQ(Restore(), ExitStatus::Ok) << report.All();
    EXPECT_EQ(fs.Contents(kGta3), gta3) << report.All();
}

TEST_F(RestoreTest, WithoutARecordAnArchiveWithNothingToUndoIsNotOpened) {
    ASSERT_EQ(Install(), ExitStatus::Ok);
    ForgetRecord();
    fs.Remove(Backup("player.img", "vest.dff"));
    fs.Lock(kPlayer);  // opening it would fail
    EXPECT_EQ(Restore(), ExitStatus::Ok) << report.All();
    fs.Unlock(kPlayer);
    EXPECT_TRUE(report.Has("nothing to undo in " + kPlayer));
    EXPECT_EQ(Folded(ReadContent(fs, kGta3)), Folded(gta3Before));
}

TEST_F(RestoreTest, ANamedScriptThatDoesNotExistMeansNothingWasInstalled) {
    EXPECT_EQ(NothingInstalled(kScript, report), ExitStatus::NotFound);
    EXPECT_TRUE(report.Has("nothing was installed from this folder, so there is nothing to undo from it"));
    EXPECT_TRUE(report.Has("run Install.exe from this folder on the same game, then Undo.cmd"));
    EXPECT_TRUE(report.Has("nothing was changed"));
    EXPECT_TRUE(report.Has(kScript));
}

// --- Failures ---------------------------------------------------------------

// The undo takes back all of its mod or none: a locked later archive stops
// it before the first is changed, by its record or by Install.dat.
TEST_F(RestoreTest, ALockedArchiveStopsTheUndoBeforeEitherArchiveChanges) {
    ASSERT_EQ(Install(), ExitStatus::Ok);
    const Content gta3Installed = ReadContent(fs, kGta3);
    const Content playerInstalled = ReadContent(fs, kPlayer);
    fs.Lock(kPlayer);
    EXPECT_EQ(Restore(), ExitStatus::Locked);
    fs.Unlock(kPlayer);
    EXPECT_EQ(ReadContent(fs, kGta3), gta3Installed);
    EXPECT_EQ(ReadContent(fs, kPlayer), playerInstalled);
    EXPECT_TRUE(report.Has("the undo changes every archive or none: it stopped before the first save"));
    EXPECT_TRUE(report.Has("nothing was changed"));
    EXPECT_TRUE(fs.Exists(Backup("player.img", "vest.dff")));
    EXPECT_TRUE(fs.Exists(Backup("gta3.img", "infernus.txd")));
    EXPECT_EQ(report.lines.back(), "failed");
    const MemoryFileSystem installed = fs;
    ForgetRecord();
    fs.Lock(kPlayer);
    EXPECT_EQ(Restore(), ExitStatus::Locked);
    fs.Unlock(kPlayer);
    EXPECT_EQ(ReadContent(fs, kGta3), gta3Installed);
    EXPECT_TRUE(report.Has("the undo changes every archive or none: it stopped before the first save"));
    // Scratch files an earlier run left are removed first: then something
    // was changed, and the refusal says so.
    fs = installed;
    fs.SetFile(record + ".partial", Pattern(40, 7));
    fs.Lock(kPlayer);
    EXPECT_EQ(Restore(), ExitStatus::Locked);
    fs.Unlock(kPlayer);
    EXPECT_TRUE(report.Has("removed " + record + ".partial")) << report.All();
    EXPECT_TRUE(report.Has("nothing else was changed")) << report.All();
    EXPECT_FALSE(report.Has("nothing was changed")) << report.All();
    fs = installed;
    // The player closes the game and undoes again.
    EXPECT_EQ(Restore(), ExitStatus::Ok) << report.All();
    ExpectOriginals();
    EXPECT_EQ(Remaining(), std::vector<std::string>{});
}

TEST_F(RestoreTest, WithoutARecordAMalformedScriptChangesNothing) {
    ASSERT_EQ(Install(), ExitStatus::Ok);
    ForgetRecord();
    const Content installed = ReadContent(fs, kGta3);
    EXPECT_EQ(RestoreFromScript(kScript, script + "-import oops\r\n", fs, report), ExitStatus::ScriptInvalid);
    EXPECT_EQ(ReadContent(fs, kGta3), installed);
    EXPECT_EQ(Remaining(), installFiles);
}

// With a record, the undo does not read Install.dat at all.
TEST_F(RestoreTest, WithARecordTheScriptIsNotRead) {
    ASSERT_EQ(Install(), ExitStatus::Ok);
    EXPECT_EQ(RestoreFromScript(kScript, "-import oops\r\n", fs, report), ExitStatus::Ok) << report.All();
    ExpectOriginals();
    EXPECT_EQ(Remaining(), std::vector<std::string>{});
}

}  // namespace
}  // namespace veltrin::tool
