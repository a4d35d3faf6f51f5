// The real install-plug program on real files: its exit statuses, its log,
// and extract against entry names that try to leave the folder.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/sha256.h"
#include "program_run_posix.h"
#include "testing/forwarding_file_system.h"
#include "tool/runs/game_record.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

namespace fs = std::filesystem;
using namespace testing;

std::string ReadText(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

void WriteText(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

class ToolProcessPosixTest : public ::testing::Test {
protected:
    fs::path root;
    std::string output;

    void SetUp() override {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        root = fs::temp_directory_path() / (std::string("veltrin tool ") + test->name());
        fs::remove_all(root);
        fs::create_directories(root / "app dir" / "gta3.img");
        fs::create_directories(root / "game");
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    // Runs the program with stdin at its end; returns its exit status.
    int Run(const std::vector<std::string>& args) { return RunProgram(VELTRIN_TOOL, args, output); }
};

TEST_F(ToolProcessPosixTest, RunsAScriptAndWritesItsLogBesideIt) {
    const fs::path archive = root / "game" / "gta3.img";
    MakeArchive(archive::SystemFileSystem(), archive.string(), {{"a.dff", Pattern(3000, 1)}});
    const fs::path payload = root / "app dir" / "gta3.img" / "a.dff";
    WriteText(payload, Text(Pattern(2600, 5)));
    const fs::path backup = root / "app dir" / "Backups" / "gta3.img" / "a.dff";
    WriteText(root / "app dir" / "Install.dat", "-open \"" + archive.string() + "\"\r\n-export \"a.dff\" \"" +
                                                    backup.string() + "\"\r\n-import \"" + payload.string() +
                                                    "\"\r\n-close\r\n");
    ASSERT_EQ(Run({"-script", (root / "app dir" / "Install.dat").string()}), 0) << output;
    EXPECT_EQ(ReadText(backup), Text(Stored(Pattern(3000, 1))));
    EXPECT_EQ(ReadContent(archive::SystemFileSystem(), archive.string()),
              (Content{{"a.dff", Stored(Pattern(2600, 5))}}));
    std::string log = ReadText(root / "app dir" / "Install.log");
    for (size_t at; (at = log.find("\r\n")) != std::string::npos;) log.erase(at, 1);
    // The log: the run's heading, then what the run printed.
    ASSERT_TRUE(log.starts_with("==== ")) << log;
    EXPECT_EQ(log.substr(log.find('\n') + 1), output);
    EXPECT_NE(output.find("\ndone\n"), std::string::npos);

    EXPECT_EQ(Run({"-script", (root / "none.dat").string()}), 2) << output;
    EXPECT_EQ(Run({"list", (root / "game" / "missing.img").string()}), 4) << output;
    WriteText(root / "game" / "text.img", std::string(4096, 'x'));
    EXPECT_EQ(Run({"list", (root / "game" / "text.img").string()}), 5) << output;
    EXPECT_EQ(Run({"what"}), 1) << output;
    EXPECT_EQ(Run({"--help"}), 0) << output;
}

TEST_F(ToolProcessPosixTest, ExtractNeverWritesOutsideItsFolder) {
    const fs::path archive = root / "game" / "hostile.img";
    WriteText(archive, Text(RawArchive({"../escape.dff", "..", "../../up.txd", "/tmp/abs.dff", "ok.dff", "sub/x.dff",
                                        "..\\win.dff", "nul"})));
    const fs::path out = root / "out" / "here";
    EXPECT_EQ(Run({"extract", archive.string(), out.string()}), 12) << output;
    std::vector<std::string> files;
    for (const auto& item : fs::recursive_directory_iterator(root))
        if (item.is_regular_file()) files.push_back(fs::relative(item.path(), root).string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"game/hostile.img", "out/here/ok.dff"})) << output;
    EXPECT_FALSE(fs::exists("/tmp/abs.dff"));
}

// Every file below the folder with its bytes, and every folder.
std::map<std::string, std::string> Tree(const fs::path& folder) {
    std::map<std::string, std::string> tree;
    for (const auto& item : fs::recursive_directory_iterator(folder))
        tree[item.path().string()] = item.is_directory() ? std::string("<folder>") : ReadText(item.path());
    return tree;
}

// status on a game whose archives carry records of installs, gta3.img and an
// archive of its own (found by its record beside it), one with an original
// the store holds: it lists them and leaves every file as it was.
TEST_F(ToolProcessPosixTest, StatusListsTheGamesInstallsAndChangesNoFile) {
    archive::FileSystem& disk = archive::SystemFileSystem();
    const fs::path models = root / "game" / "models";
    fs::create_directories(models);
    const Bytes game = Pattern(3000, 1);
    const Bytes mod = Pattern(2600, 5);
    for (const char* name : {"gta3.img", "extra.img"}) {
        const std::string archive = (models / name).string();
        MakeArchive(disk, archive, {{"a.dff", game}});
        GameRecord record;
        record.layout = archive::Archive::Open(archive, disk).CurrentLayout();
        {
            auto opened = archive::Archive::Open(archive, disk);
            opened.Put("a.dff", mod);
            opened.Put("new.dff", Pattern(100, 6));
            opened.Commit();
            record.LeaveAt(opened.CurrentState(), opened.CurrentDirectory());
        }
        GameInstall install;
        install.folders = {(root / "app dir").string()};
        install.computer = "PLAYER-PC";
        install.time = 1'796'000'000;
        const Bytes original = Stored(game);
        const StoredContent before{original.size(), archive::Sha256Of(original), {}, 0};
        install.entries = {{"a.dff", before, "a.dff", {mod.size(), archive::Sha256Of(mod)}},
                           {"new.dff", std::nullopt, "", {100, archive::Sha256Of(Pattern(100, 6))}}};
        record.installs = {install};
        WriteGameRecord(disk, GameRecordPathFor(archive), record);
        fs::create_directories(archive + ".originals");
        WriteText(archive + ".originals/" + archive::HexOf(before.digest), Text(original));
    }
    MakeArchive(disk, (models / "player.img").string(), {{"c.dff", Pattern(10, 7)}});
    const auto before = Tree(root / "game");

    ASSERT_EQ(Run({"status", (root / "game").string()}), 0) << output;
    const std::string from =
        "install 1: from " + (root / "app dir").string() + ", 2026-11-30 00:53 UTC, on PLAYER-PC\n";
    const std::string each =
        ": 2 entries\n    a.dff: the undo gives back the game's own bytes\n"
        "    new.dff: the undo removes it (it was not in the archive before)\n";
    EXPECT_EQ(output, "1 install in " + (root / "game").string() + ", oldest first\n" + from + "  models/gta3.img" +
                          each +
                          "    the undo gives models/gta3.img back byte for byte as it was before the first "
                          "install\n  models/extra.img" +
                          each +
                          "    the undo gives models/extra.img back byte for byte as it was before the first "
                          "install\nnothing was changed\n");
    EXPECT_EQ(Tree(root / "game"), before);

    // A save of extra.img stopped past its point of no return (its journal
    // written, the archive's own writes failing): status leaves it for the
    // next run to settle and still changes no file.
    {
        // The archive's writes over its own bytes fail once its journal is
        // there (what grows it past its end goes in before the journal is
        // sealed).
        class Stopping final : public archive::File {
        public:
            Stopping(std::unique_ptr<archive::File> inner, std::string journal)
                : inner_(std::move(inner)), journal_(std::move(journal)), oldSize_(inner_->Size()) {}
            uint64_t Size() override { return inner_->Size(); }
            void ReadAt(uint64_t offset, std::span<uint8_t> bytes) override { inner_->ReadAt(offset, bytes); }
            void WriteAt(uint64_t offset, std::span<const uint8_t> bytes) override {
                if (offset < oldSize_) Stop();
                inner_->WriteAt(offset, bytes);
            }
            void Resize(uint64_t size) override {
                if (size < oldSize_) Stop();
                inner_->Resize(size);
            }
            void Flush() override { inner_->Flush(); }

        private:
            std::unique_ptr<archive::File> inner_;
            std::string journal_;
            uint64_t oldSize_;
            void Stop() {
                if (fs::exists(journal_)) throw archive::ArchiveError(archive::ErrorKind::Io, journal_, "stopped");
            }
        };
        class StopsAfterTheJournal final : public archive::testing::ForwardingFileSystem {
        public:
            using ForwardingFileSystem::ForwardingFileSystem;
            std::unique_ptr<archive::File> Open(const std::string& path, archive::OpenMode mode) override {
                auto file = inner_.Open(path, mode);
                if (!path.ends_with("extra.img")) return file;
                return std::make_unique<Stopping>(std::move(file), path + ".journal");
            }
        } stopping(disk);
        auto opened = archive::Archive::Open((models / "extra.img").string(), stopping);
        opened.Put("a.dff", Pattern(9000, 8));
        EXPECT_ANY_THROW(opened.Commit());
    }
    ASSERT_TRUE(fs::exists(models / "extra.img.journal"));
    const auto interrupted = Tree(root / "game");
    ASSERT_EQ(Run({"status", (root / "game").string()}), 0) << output;
    EXPECT_NE(output.find("models/extra.img: not held against the archive: an earlier save of it was interrupted, "
                          "and the next install or undo settles it first\n"),
              std::string::npos)
        << output;
    EXPECT_EQ(Tree(root / "game"), interrupted);

    EXPECT_EQ(Run({"status", (root / "nowhere").string()}), 4) << output;
    EXPECT_EQ(Run({"status"}), 1) << output;
}

// Files of a modloader folder named like the mod's entries, at two depths
// and in another case, are named by the install's summary and by status;
// with the folder gone neither says a word of it. Nothing in it changes.
TEST_F(ToolProcessPosixTest, AModloaderFolderThatHidesTheModIsNamedByTheInstallAndByStatus) {
    const fs::path game = root / "game";
    fs::create_directories(game / "models");
    const fs::path archive = game / "models" / "gta3.img";
    MakeArchive(archive::SystemFileSystem(), archive.string(), {{"a.dff", Pattern(3000, 1)}});
    for (const char* name : {"a.dff", "new.dff"}) WriteText(root / "app dir" / "gta3.img" / name, "mod");
    const fs::path loader = game / "modloader";
    fs::create_directories(loader / "cars");
    fs::create_directories(loader / "x" / "y");
    WriteText(loader / "cars" / "A.DFF", "theirs");
    WriteText(loader / "x" / "y" / "new.dff", "theirs");
    WriteText(loader / "x" / "other.dff", "theirs");
    const auto before = Tree(loader);
    WriteText(root / "app dir" / "Install.dat",
              "-open \"" + archive.string() + "\"\r\n-export \"a.dff\" \"" +
                  (root / "app dir" / "Backups" / "gta3.img" / "a.dff").string() + "\"\r\n-import \"" +
                  (root / "app dir" / "gta3.img" / "a.dff").string() + "\"\r\n-import \"" +
                  (root / "app dir" / "gta3.img" / "new.dff").string() + "\"\r\n-close\r\n");
    ASSERT_EQ(Run({"-script", (root / "app dir" / "Install.dat").string()}), 0) << output;
    const auto named = [&](const std::string& whose) {
        return "warning: the game's modloader folder holds 2 files named like entries " + whose +
               " put in; while that loader runs, the game shows them instead:\n";
    };
    const std::string files = "  modloader/cars/A.DFF (over a.dff in gta3.img)\n";
    const std::string deep = "  modloader/x/y/new.dff (over new.dff in ";
    EXPECT_NE(output.find(named("this install") + files + deep + "gta3.img)\n"), std::string::npos) << output;
    EXPECT_LT(output.find("modloader"), output.find("\nto undo this install"));

    ASSERT_EQ(Run({"status", game.string()}), 0) << output;
    EXPECT_NE(output.find(named("the installs") + "  modloader/cars/A.DFF (over a.dff in models/gta3.img)\n" + deep +
                          "models/gta3.img)\n"),
              std::string::npos)
        << output;
    EXPECT_EQ(Tree(loader), before);

    fs::remove_all(loader);
    ASSERT_EQ(Run({"status", game.string()}), 0) << output;
    EXPECT_EQ(output.find("modloader"), std::string::npos) << output;
}

}  // namespace
}  // namespace veltrin::tool
