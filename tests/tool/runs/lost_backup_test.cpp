// Backups are moved in without a flush: a power cut after an install or an
// undo may take or tear them. What the next runs make of the backups they
// find: never a torn one as an original, never the only original lost, and
// the record naming what each backup holds.
#include <gtest/gtest.h>

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
        std::string script;
        for (const auto& line :
             install::testing::BlockLinesOf(install::Block::Gta3, kGame, folder, {"infernus.dff", "model1.dff"}))
            script += line + "\r\n";
        fs.SetFile(folder + "\\Install.dat", BytesOf(script));
    }

    int Run(const std::vector<std::string>& args) {
        console = FakeConsole();
        return RunTool(args, console, fs);
    }
    int Install() { return Run({"Install.plug", "-script", folder + "\\Install.dat"}); }
    int Undo() { return Run({"Install.plug", "-restore", folder + "\\Install.dat"}); }
    int ForcedUndo() { return Run({"Install.plug", "-restore", "--force", folder + "\\Install.dat"}); }

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
    // Whether any file beside the archive or in the folder holds the bytes.
    bool KeptAnywhere(const Bytes& bytes) {
        for (const std::string& path : fs.Paths())
            if (path != kGta3 && path != kPlayer && fs.Contents(path) == bytes) return true;
        return false;
    }

    const std::string folder = R"(D:\Downloads\Mod V)";
    const std::string backup = folder + R"(\Backups\gta3.img\infernus.dff)";
    const Bytes modsFile = Data(4500, 33);
    MemoryFileSystem fs;
    FakeConsole console;
    Bytes original;
};

// The undo lets go of an entry another program changed and says the backup
// of its original stays in the folder; the game's copy beside the archive
// goes. The backup was moved in without a flush, and no record names what
// it holds any more: a power cut then must not take the only original.
TEST_F(LostBackupTest, AnUndoLettingGoOfAChangedEntryKeepsItsOriginalThroughAPowerCut) {
    ASSERT_EQ(Install(), 0) << console.text;
    ChangeByAnotherProgram(Data(3900, 34));
    ASSERT_EQ(Undo(), 0) << console.text;
    ASSERT_TRUE(Has("the backup of its original stays in " + backup)) << console.text;
    fs.LosePower(Tear::LoseAll);
    EXPECT_TRUE(KeptAnywhere(original)) << "the game's own infernus.dff is kept nowhere\n" << console.text;
}

// The same, then the forced undo by the script's files (the folder's record
// is used up): it must not put a backup the power cut tore into the game.
TEST_F(LostBackupTest, AForcedUndoNeverPutsABackupAPowerCutToreIntoTheGame) {
    const Bytes other = Data(3900, 34);
    ASSERT_EQ(Install(), 0) << console.text;
    ChangeByAnotherProgram(other);
    ASSERT_EQ(Undo(), 0) << console.text;
    fs.LosePower(Tear::LoseAll);
    ForcedUndo();
    const Bytes now = EntryOf("infernus.dff");
    EXPECT_TRUE(now == original || HoldsFile(now, other))
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
    ChangeByAnotherProgram(Data(3900, 34));
    const std::string other = R"(D:\Downloads\Mod B)";
    fs.SetFile(other + "\\gta3.img\\model2.dff", Data(2000, 40));
    std::string script;
    for (const auto& line : install::testing::BlockLinesOf(install::Block::Gta3, kGame, other, {"model2.dff"}))
        script += line + "\r\n";
    fs.SetFile(other + "\\Install.dat", BytesOf(script));
    ASSERT_EQ(Run({"Install.plug", "-script", other + "\\Install.dat"}), 0) << console.text;

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

// The game's record moved aside (its originals kept), the entry changed by
// another program, and the backup torn: the undo of the install taken in
// from the folder's record names the entry it leaves, with no original kept.
TEST_F(LostBackupTest, ATornBackupOfAnEntryChangedSinceIsNamedByTheUndo) {
    ASSERT_EQ(Install(), 0) << console.text;
    const std::string record = kGta3 + ".installs";
    fs.SetFile(record + ".aside", fs.Contents(record));
    fs.Remove(record);
    fs.SetFile(backup, Bytes(fs.Contents(backup).size(), 0));
    ChangeByAnotherProgram(Data(3900, 34));
    ASSERT_EQ(Undo(), 0) << console.text;
    EXPECT_TRUE(Has("left infernus.dff as it is: it does not hold what this install put in, and its backup " + backup +
                    " does not hold what the record says"))
        << console.text;
    EXPECT_TRUE(HoldsFile(EntryOf("infernus.dff"), Data(3900, 34))) << console.text;
    EXPECT_TRUE(Has("1 left as it is")) << console.text;
}

// A mod author's tried folder: an install on the author's computer stopped
// before its save (a mod file was missing), so its backups hold the game's
// own entries, never changed; a power cut then tore them. Zipped and run on
// another computer, whose game has no record of it and holds none of the
// mod's files, the folder is still a fresh copy for this game: set aside,
// and the install goes on, as it does where the backups were whole.
TEST_F(LostBackupTest, ATriedFolderWithTornBackupsIsSetAsideAsOneWithWholeBackups) {
    const std::string script = folder + "\\Install.dat";
    const Bytes file = fs.Contents(folder + "\\gta3.img\\model1.dff");
    fs.Remove(folder + "\\gta3.img\\model1.dff");
    RecordingReport author;
    ASSERT_NE(RunScript(script, Text(fs.Contents(script)), fs, author, "AUTHOR-PC"), ExitStatus::Ok) << author.All();
    ASSERT_TRUE(fs.Exists(backup)) << author.All();
    fs.LosePower(Tear::LoseAll);
    fs.SetFile(folder + "\\gta3.img\\model1.dff", file);
    RecordingReport player;
    EXPECT_EQ(RunScript(script, Text(fs.Contents(script)), fs, player, "PLAYER-PC"), ExitStatus::Ok) << player.All();
}

}  // namespace
}  // namespace veltrin::tool
