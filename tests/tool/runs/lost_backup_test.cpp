// Backups are moved in without a flush: a power cut after an install or an
// undo may take or tear them. What the next runs make of the backups they
// find: never a torn one as an original, never the only original lost, and
// the record naming what each backup holds. Every run that lets go of the
// copy beside the archive, whichever folder it runs from, leaves the
// original on the disk through a power cut.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive_builder.h"
#include "testing/memory_file_system.h"
#include "tool/runs/install_record.h"
#include "tool/runs/script_runner.h"
#include "tool/shell/tool_main.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

using namespace testing;
using archive::testing::MemoryFileSystem;
using archive::testing::Tear;

Bytes Data(size_t size, uint32_t seed) { return archive::testing::Pattern(size, seed); }

class LostBackupTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::vector<std::pair<std::string, uint16_t>> gta3;
        for (int i = 0; i < 4; ++i) gta3.push_back({"model" + std::to_string(i) + ".dff", 1 + i % 3});
        gta3.push_back({"infernus.dff", 3});
        std::vector<std::pair<std::string, uint16_t>> player;
        for (int i = 0; i < 3; ++i) player.push_back({"cloth" + std::to_string(i) + ".dff", 1 + i % 2});
        fs.SetFile(kGta3, archive::testing::SoundArchive(gta3, 1));
        fs.SetFile(kPlayer, archive::testing::SoundArchive(player, 2));
        original = EntryOf("infernus.dff");
        fs.SetFile(folder + "\\gta3.img\\infernus.dff", modsFile);
        fs.SetFile(folder + "\\gta3.img\\model1.dff", Data(3000, 11));
        WriteScript(folder, {"infernus.dff", "model1.dff"});
        fs.SetFile(other + "\\gta3.img\\model2.dff", Data(2000, 40));
        fs.SetFile(other + "\\gta3.img\\infernus.dff", Data(4700, 41));
    }
    void WriteScript(const std::string& where, const std::vector<std::string>& names) {
        std::string script;
        for (const auto& line : install::testing::BlockLinesOf(install::Block::Gta3, kGame, where, names))
            script += line + "\r\n";
        fs.SetFile(where + "\\Install.dat", BytesOf(script));
    }

    int Run(const std::vector<std::string>& args, archive::FileSystem& on) {
        console = FakeConsole();
        return RunTool(args, console, on);
    }
    int Run(const std::vector<std::string>& args) { return Run(args, fs); }
    int Install() { return Run({"Install.plug", "-script", folder + "\\Install.dat"}); }
    int Undo() { return Run({"Install.plug", "-restore", folder + "\\Install.dat"}); }
    int ForcedUndo() { return Run({"Install.plug", "-restore", "--force", folder + "\\Install.dat"}); }
    int InstallOther(const std::vector<std::string>& names) {
        WriteScript(other, names);
        return Run({"Install.plug", "-script", other + "\\Install.dat"});
    }
    int UndoOther() { return Run({"Install.plug", "-restore", other + "\\Install.dat"}); }

    Bytes EntryOf(const std::string& name) {
        const auto opened = archive::Archive::Open(kGta3, fs);
        const archive::Entry* entry = opened.Find(name);
        return entry ? opened.Read(*entry) : Bytes{};
    }
    void ChangeByAnotherProgram(const Bytes& bytes) {
        auto archive = archive::Archive::Open(kGta3, fs);
        archive.Put("infernus.dff", bytes);
        archive.Commit();
    }
    bool Has(const std::string& text) const { return console.text.find(text) != std::string::npos; }
    bool KeptAnywhere(const Bytes& bytes) {
        for (const std::string& path : fs.Paths())
            if (path != kGta3 && path != kPlayer && fs.Contents(path) == bytes) return true;
        return false;
    }

    const std::string folder = R"(D:\Downloads\Mod V)";
    const std::string other = R"(D:\Downloads\Mod B)";
    const std::string backup = folder + R"(\Backups\gta3.img\infernus.dff)";
    const Bytes modsFile = Data(4500, 33);
    const Bytes changed = Data(3900, 34);
    MemoryFileSystem fs;
    FakeConsole console;
    Bytes original;
};

// Every way a run lets go of this folder's layer of an entry another
// program changed (its own undo or install, another folder's, over a backup
// a power cut tore or not): the copy beside the archive may be the
// original's only durable one, and a power cut then leaves it on the disk.
TEST_F(LostBackupTest, EveryRunLettingGoOfALayerKeepsItsOriginalThroughAPowerCut) {
    const auto tornThenChanged = [&] {
        fs.LosePower(Tear::LoseAll);
        ChangeByAnotherProgram(changed);
    };
    const std::vector<std::pair<std::string, std::function<bool()>>> lives = {
        {"its own undo", [&] { return Install() == 0 && (ChangeByAnotherProgram(changed), Undo() == 0); }},
        {"another folder's install",
         [&] {
             return InstallOther({"model2.dff"}) == 0 && Install() == 0 &&
                    (ChangeByAnotherProgram(changed), InstallOther({"model2.dff"}) == 0);
         }},
        {"another folder's undo",
         [&] {
             return Install() == 0 && InstallOther({"model2.dff"}) == 0 &&
                    (ChangeByAnotherProgram(changed), UndoOther() == 0);
         }},
        {"its install again over a torn backup", [&] { return Install() == 0 && (tornThenChanged(), Install() == 0); }},
        {"its undo over a torn backup", [&] { return Install() == 0 && (tornThenChanged(), Undo() == 0); }},
    };
    for (const auto& [way, life] : lives) {
        fs = MemoryFileSystem();
        SetUp();
        ASSERT_TRUE(life()) << way << "\n" << console.text;
        fs.LosePower(Tear::LoseAll);
        EXPECT_TRUE(KeptAnywhere(original)) << way << ": the game's own infernus.dff is kept nowhere\n" << console.text;
    }
}

// The undo lets go of an entry another program changed, then a power cut,
// then the forced undo by the script's files (the folder's record is used
// up): it must not put a backup the power cut tore into the game.
TEST_F(LostBackupTest, AForcedUndoNeverPutsABackupAPowerCutToreIntoTheGame) {
    ASSERT_EQ(Install(), 0) << console.text;
    ChangeByAnotherProgram(changed);
    ASSERT_EQ(Undo(), 0) << console.text;
    fs.LosePower(Tear::LoseAll);
    ForcedUndo();
    const Bytes now = EntryOf("infernus.dff");
    EXPECT_TRUE(now == original || HoldsFile(now, changed))
        << "infernus.dff holds " << now.size() << " bytes that are neither its original nor the other program's\n"
        << console.text;
}

// A backup gone (deleted, or a power cut took its name), the entry changed
// by another program since, and another mod's install over the archive let
// go of that layer (its original beside the archive went): the next install
// from the folder backs up what the entry holds now into the same file. The
// record must then name what that file holds, and no later run may call it
// torn.
TEST_F(LostBackupTest, ABackupMadeAgainOverAChangedEntryIsWhatTheRecordSays) {
    ASSERT_EQ(Install(), 0) << console.text;
    fs.Remove(backup);
    ChangeByAnotherProgram(changed);
    ASSERT_EQ(InstallOther({"model2.dff"}), 0) << console.text;

    ASSERT_EQ(Install(), 0) << console.text;
    const std::string said = console.text;
    const std::optional<InstallRecord> record = ReadRecord(fs, folder + "\\Backups\\Install.record");
    ASSERT_TRUE(record.has_value());
    const RecordedEntry* entry = record->Find(kGta3)->Find("infernus.dff");
    ASSERT_NE(entry, nullptr);
    ASSERT_TRUE(fs.Exists(backup)) << said;
    EXPECT_TRUE(BackupIsWhole(fs, *entry)) << "the record does not name what " << backup << " holds\n" << said;

    ASSERT_EQ(Install(), 0) << console.text;
    EXPECT_FALSE(Has("the backup of infernus.dff is torn")) << said << "\n----\n" << console.text;
}

// The undo of an install the game's record does not know (taken in from
// the folder's record) and an entry whose original the folder does not keep
// whole: never given back from a torn backup, never said to be gone from the
// archive, always named and counted as left as it is.
TEST_F(LostBackupTest, AnEntryWithNoWholeOriginalInTheFolderIsNamedByTheUndo) {
    const auto moveTheRecordAside = [&] {
        fs.SetFile(kGta3 + ".installs.aside", fs.Contents(kGta3 + ".installs"));
        fs.Remove(kGta3 + ".installs");
    };
    const std::string noUndo = "no undo from " + folder + " can give back infernus.dff of " + kGta3;
    struct Case {
        std::string way;
        std::function<void()> after;  // the install
        Bytes holds;                  // what infernus.dff holds after the undo
        std::string said;
    };
    const std::vector<Case> cases = {
        {"its backup torn, the game's record and originals gone",
         [&] {
             for (const std::string& path : fs.Paths())
                 if (path.rfind(kGta3 + ".", 0) == 0) fs.Remove(path);
             Bytes torn = fs.Contents(backup);
             std::fill(torn.begin() + static_cast<std::ptrdiff_t>(torn.size() / 2), torn.end(), uint8_t{0});
             fs.SetFile(backup, torn);
         },
         modsFile, noUndo},
        {"replaced without a backup (no export line), the game's record moved aside",
         [&] {
             Undo();
             std::string script;
             for (const auto& line :
                  install::testing::BlockLinesOf(install::Block::Gta3, kGame, folder, {"infernus.dff"}))
                 if (line.rfind("-export", 0) != 0) script += line + "\r\n";
             fs.SetFile(folder + "\\Install.dat", BytesOf(script));
             Install();
             moveTheRecordAside();
         },
         modsFile, noUndo},
        {"its backup torn and the entry changed since, the game's record moved aside",
         [&] {
             moveTheRecordAside();
             fs.SetFile(backup, Bytes(fs.Contents(backup).size(), 0));
             ChangeByAnotherProgram(changed);
         },
         changed,
         "left infernus.dff as it is: it does not hold what this install put in, and its backup " + backup +
             " does not hold what the record says"},
    };
    for (const Case& c : cases) {
        fs = MemoryFileSystem();
        SetUp();
        ASSERT_EQ(Install(), 0) << c.way << "\n" << console.text;
        c.after();
        ASSERT_EQ(Undo(), 0) << c.way << "\n" << console.text;
        EXPECT_TRUE(HoldsFile(EntryOf("infernus.dff"), c.holds)) << c.way << "\n" << console.text;
        EXPECT_TRUE(Has(c.said)) << c.way << "\n" << console.text;
        EXPECT_TRUE(Has("1 left as it is")) << c.way << "\n" << console.text;
        EXPECT_FALSE(Has("restored infernus.dff") || Has("nothing of the install from this folder is in"))
            << c.way << "\n"
            << console.text;
    }
}

// A mod author's tried folder: the install on the author's computer went
// in, and a power cut then tore its backups. Zipped and run on another
// computer, whose game has no record of it and holds none of the mod's
// files, the folder is still a fresh copy for this game: set aside, and the
// install goes on, as it does where the backups were whole.
TEST_F(LostBackupTest, ATriedFolderWithTornBackupsIsSetAsideAsOneWithWholeBackups) {
    const std::string script = folder + "\\Install.dat";
    const Bytes stock = fs.Contents(kGta3);
    RecordingReport author;
    ASSERT_EQ(RunScript(script, Text(fs.Contents(script)), fs, author, "AUTHOR-PC"), ExitStatus::Ok) << author.All();
    ASSERT_TRUE(fs.Exists(backup)) << author.All();
    fs.LosePower(Tear::LoseAll);
    // The player's game, on the other computer, as it came.
    for (const std::string& path : fs.Paths())
        if (path.rfind(kGta3 + ".", 0) == 0) fs.Remove(path);
    fs.SetFile(kGta3, stock);
    RecordingReport player;
    EXPECT_EQ(RunScript(script, Text(fs.Contents(script)), fs, player, "PLAYER-PC"), ExitStatus::Ok) << player.All();
    EXPECT_TRUE(player.Has("this folder's Backups hold an install made on another computer")) << player.All();
}

// A first install from another folder finds an entry of this folder's
// install changed by another program: it holds the game's record against the
// archive as every run does, and says so.
TEST_F(LostBackupTest, AFirstInstallFromAnotherFolderHoldsTheGamesRecordAgainstTheArchive) {
    ASSERT_EQ(Install(), 0) << console.text;
    ChangeByAnotherProgram(changed);
    ASSERT_EQ(InstallOther({"model2.dff"}), 0) << console.text;
    EXPECT_TRUE(Has("changed since the installs put them in")) << console.text;
}

// Another program's file, over which another folder's mod was installed,
// comes back with that mod's undo, even after this folder's undo.
TEST_F(LostBackupTest, TheUndoOfAnInstallOverAnotherProgramsFileGivesThatFileBack) {
    ASSERT_EQ(Install(), 0) << console.text;
    ChangeByAnotherProgram(changed);
    ASSERT_EQ(InstallOther({"infernus.dff"}), 0) << console.text;
    const std::string installed = console.text;
    ASSERT_EQ(Undo(), 0) << console.text;
    const std::string undone = console.text;
    ASSERT_EQ(UndoOther(), 0) << console.text;
    EXPECT_TRUE(HoldsFile(EntryOf("infernus.dff"), changed))
        << "infernus.dff does not hold the other program's file again\n"
        << installed << "\n----\n"
        << undone << "\n----\n"
        << console.text;
}

}  // namespace
}  // namespace veltrin::tool
