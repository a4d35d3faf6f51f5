#include "tool/shell/tool_main.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/forwarding_file_system.h"
#include "testing/memory_file_system.h"
#include "tool/common/exit_status.h"
#include "tool/common/report.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

using namespace testing;
using archive::testing::MemoryFileSystem;

TEST(ConsoleReport, DrawsTheBarOnlyOnATerminalAndOnlyWhenThePercentageMoves) {
    FakeConsole console;
    console.terminal = true;
    ConsoleReport report(console);
    report.Line("saving");
    for (uint64_t done = 0; done <= 1000; done += 5) report.Progress(done, 1000);
    report.Line("saved");
    EXPECT_EQ(console.text.find("saving\n\r["), 0u) << console.text;
    size_t redraws = 0;
    for (const char c : console.text) redraws += c == '\r';
    EXPECT_EQ(redraws, 101u);  // 0% to 100%, once each
    EXPECT_NE(console.text.find("\r[" + std::string(ConsoleReport::kBarWidth, '#') + "] 100%\nsaved\n"),
              std::string::npos);

    FakeConsole piped;
    ConsoleReport quiet(piped);
    quiet.Progress(1, 2);
    quiet.Line("x");
    EXPECT_EQ(piped.text, "x\n");
}

TEST(ConsoleReport, ALineAfterAnUnfinishedBarStartsOnItsOwnLine) {
    FakeConsole console;
    console.terminal = true;
    ConsoleReport report(console);
    report.Progress(1, 3);
    report.Line("error: disk gone");
    EXPECT_EQ(console.text, "\r[#############...........................] 33%\nerror: disk gone\n");
}

// In a console window 31 columns wide a row holds 30: a line wider than that
// breaks between words, its continuation indented four more than the line;
// a word wider than a row is cut. The log keeps each line whole.
TEST(ConsoleReport, BreaksLinesBetweenWordsAtTheConsoleWidthAndLogsThemWhole) {
    MemoryFileSystem fs;
    FakeConsole console;
    console.terminal = true;
    console.width = 31;
    ConsoleReport report(console);
    report.AttachLog(fs.Open("/app/Install.log", archive::OpenMode::CreateAlways), "/app/Install.log");
    const std::vector<std::string> lines = {
        "error: not enough free space for C:\\Games\\GTA San Andreas\\models\\gta3.img: the change needs 1.8 MB",
        "  an unfinished earlier change was rolled back",
        "kept C:\\Program_Files\\Rockstar_Games\\player.img",
        "saved",
    };
    for (const auto& line : lines) report.Line(line);
    EXPECT_EQ(console.text,
              "error: not enough free space\n"
              "    for C:\\Games\\GTA San\n"
              "    Andreas\\models\\gta3.img:\n"
              "    the change needs 1.8 MB\n"
              "  an unfinished earlier change\n"
              "      was rolled back\n"
              "kept\n"
              "    C:\\Program_Files\\Rockstar_\n"
              "    Games\\player.img\n"
              "saved\n");
    std::string whole;
    for (const auto& line : lines) whole += line + "\r\n";
    EXPECT_EQ(Text(fs.Contents("/app/Install.log")), whole);

    // Where the width is not known (a file, a pipe) nothing is broken.
    FakeConsole piped;
    ConsoleReport unbroken(piped);
    unbroken.Line(lines[0]);
    EXPECT_EQ(piped.text, lines[0] + "\n");
}

class RunToolTest : public ::testing::Test {
protected:
    MemoryFileSystem fs;
    FakeConsole console;

    int Run(std::vector<std::string> args) {
        args.insert(args.begin(), "Install.plug");
        return RunTool(args, console, fs);
    }
    void MakeGame() {
        MakeArchive(fs, "/game/gta3.img", {{"a.dff", Pattern(3000, 1)}});
        fs.SetFile("/app/gta3.img/a.dff", Pattern(5000, 2));
    }
};

TEST_F(RunToolTest, HelpListsTheCommandsAndEveryExitStatus) {
    EXPECT_EQ(Run({"--help"}), 0);
    for (const char* command :
         {"-script", "-restore", "-restore --force", "list", "extract", "add", "remove", "verify", "rebuild"})
        EXPECT_NE(console.text.find(std::string("Install.plug ") + command), std::string::npos) << command;
    for (int status = 0; status <= Code(ExitStatus::OtherInstall); ++status) {
        const std::string code = (status < 10 ? "   " : "  ") + std::to_string(status) + "  ";
        EXPECT_NE(console.text.find("\n" + code), std::string::npos) << status;
    }
}

TEST_F(RunToolTest, WrongArgumentsAreAUsageError) {
    const std::vector<std::vector<std::string>> wrong = {
        {"frobnicate"},
        {"-script"},
        {"-script", "a", "b"},
        {"-restore"},
        {"-restore", "a", "b"},
        {"-restore", "--force"},
        {"-restore", "a", "--force"},
        {"-restore", "--force", "a", "b"},
        {"list"},
        {"list", "a", "b"},
        {"extract", "a"},
        {"add", "a"},
        {"remove", "a"},
        {"verify"},
        {"rebuild"},
    };
    for (const auto& args : wrong) {
        console.text.clear();
        EXPECT_EQ(Run(args), Code(ExitStatus::Usage)) << (args.empty() ? "" : args[0]);
        EXPECT_NE(console.text.find("--help"), std::string::npos);
    }
}

// Double-clicked, the tool has its window to itself: it says what it is and
// what to start instead, then waits for Enter before the window closes.
TEST_F(RunToolTest, WithoutACommandItSaysWhatItIsAndWaitsForEnterInItsOwnWindow) {
    console.ownsWindow = true;
    EXPECT_EQ(Run({}), Code(ExitStatus::Usage));
    EXPECT_EQ(console.text,
              "Install.plug is the archive tool of the Veltrin MOD for GTA San Andreas: it puts the mod's files into "
              "the game's .img archives and takes them out again.\n"
              "To install the mod, run Install.exe in this folder; it starts this tool.\n"
              "To undo the install, double-click Undo.cmd in this folder.\n"
              "For the modder commands: Install.plug --help\n"
              "Press Enter to close this window.\n");
    EXPECT_EQ(console.waits, 1);

    // From a prompt the window stays: no wait.
    FakeConsole prompt;
    EXPECT_EQ(RunTool({"Install.plug"}, prompt, fs), Code(ExitStatus::Usage));
    EXPECT_EQ(prompt.waits, 0);
    EXPECT_EQ(prompt.text.find("Install.plug is the archive tool"), 0u) << prompt.text;
}

TEST_F(RunToolTest, ScriptRunWritesTheSameTextToInstallLogBesideTheScript) {
    MakeGame();
    fs.SetFile("/app/Install.dat", BytesOf("-open \"/game/gta3.img\"\r\n"
                                           "-export \"a.dff\" \"/app/Backups/gta3.img/a.dff\"\r\n"
                                           "-import \"/app/gta3.img/a.dff\"\r\n"
                                           "-close\r\n"));
    console.terminal = true;
    EXPECT_EQ(Run({"-script", "/app/Install.dat"}), 0) << console.text;
    const std::string log = Text(fs.Contents("/app/Install.log"));
    // The console holds the same lines plus the bar's redraws.
    std::string shown;
    for (size_t pos = 0; pos < console.text.size();) {
        const size_t end = console.text.find('\n', pos);
        std::string line = console.text.substr(pos, end - pos);
        const size_t bar = line.rfind('\r');
        if (bar == std::string::npos) shown += line + "\r\n";
        pos = end + 1;
    }
    EXPECT_EQ(log, shown);
    EXPECT_EQ(log.find("running /app/Install.dat\r\nopen /game/gta3.img\r\n"), 0u) << log;
    EXPECT_NE(log.find("\r\ndone\r\n"), std::string::npos);
    EXPECT_EQ(log.find('['), std::string::npos);
    EXPECT_NE(console.text.find("] 100%"), std::string::npos);
    EXPECT_EQ(fs.Contents("/app/Backups/gta3.img/a.dff"), Stored(Pattern(3000, 1)));
}

TEST_F(RunToolTest, AScriptPastItsSizeLimitIsRefusedUnread) {
    MakeGame();
    std::vector<uint8_t> text = BytesOf("-open \"/game/gta3.img\"\r\n-close\r\n");
    text.resize((size_t{64} << 20) + 1, ' ');
    fs.SetFile("/app/Install.dat", std::move(text));
    const std::vector<uint8_t> archive = fs.Contents("/game/gta3.img");
    EXPECT_EQ(Run({"-script", "/app/Install.dat"}), Code(ExitStatus::ScriptUnreadable)) << console.text;
    EXPECT_NE(console.text.find("error: the script cannot be read: /app/Install.dat: the script is larger than the "
                                "64 MB a script may have\nnothing was changed\nfailed\n"),
              std::string::npos)
        << console.text;
    EXPECT_EQ(fs.Contents("/game/gta3.img"), archive);

    // At the limit it is read, and refused for its first line.
    std::vector<uint8_t> atLimit = BytesOf("-close");
    atLimit.resize(size_t{64} << 20, '\n');
    fs.SetFile("/app/Install.dat", std::move(atLimit));
    console.text.clear();
    EXPECT_EQ(Run({"-script", "/app/Install.dat"}), Code(ExitStatus::ScriptInvalid)) << console.text;
    EXPECT_NE(console.text.find("-close with no archive open"), std::string::npos) << console.text;
}

TEST_F(RunToolTest, ARelativeScriptPathKeepsItsLogInTheSameFolder) {
    fs.SetFile("Install.dat", BytesOf(""));
    EXPECT_EQ(Run({"-SCRIPT", "Install.dat"}), 0) << console.text;
    EXPECT_EQ(Text(fs.Contents("Install.log")),
              "running Install.dat\r\nto undo this install: double-click Undo.cmd in this folder, or run "
              "Install.plug -restore \"Install.dat\"\r\ndone\r\n");
}

// The undo file runs -restore on the Install.dat beside it, which exists only
// once the installer ran there.
TEST_F(RunToolTest, RestoreWithoutItsScriptSaysNothingWasInstalledAndWritesNothing) {
    MakeGame();
    const auto before = fs.Paths();
    EXPECT_EQ(Run({"-restore", "/app/Install.dat"}), Code(ExitStatus::NotFound));
    EXPECT_NE(console.text.find("nothing was installed from this folder, so there is nothing to undo from it\n"),
              std::string::npos)
        << console.text;
    EXPECT_EQ(fs.Paths(), before);  // not even Restore.log
    EXPECT_EQ(Run({"-restore", "--force", "/app/Install.dat"}), Code(ExitStatus::NotFound));
    EXPECT_EQ(fs.Paths(), before);
}

TEST_F(RunToolTest, RestoreForcedUndoesAnEntryThatChangedSince) {
    MakeGame();
    fs.SetFile("/app/Install.dat", BytesOf("-open \"/game/gta3.img\"\r\n"
                                           "-export \"a.dff\" \"/app/Backups/gta3.img/a.dff\"\r\n"
                                           "-import \"/app/gta3.img/a.dff\"\r\n"));
    ASSERT_EQ(Run({"-script", "/app/Install.dat"}), 0) << console.text;
    {
        auto opened = archive::Archive::Open("/game/gta3.img", fs);
        opened.Put("a.dff", Pattern(100, 9));  // another mod
        opened.Commit();
    }
    const Content theirs = ReadContent(fs, "/game/gta3.img");
    const MemoryFileSystem changed = fs;
    EXPECT_EQ(Run({"-restore", "/app/Install.dat"}), 0) << console.text;
    EXPECT_EQ(ReadContent(fs, "/game/gta3.img"), theirs);
    EXPECT_NE(Text(fs.Contents("/app/Restore.log")).find("left a.dff as it is: it has changed since the install"),
              std::string::npos);
    // Forced instead, the undo gives the original back over it.
    fs = changed;
    EXPECT_EQ(Run({"-RESTORE", "--FORCE", "/app/Install.dat"}), 0) << console.text;
    EXPECT_EQ(ReadContent(fs, "/game/gta3.img")[0].second, Stored(Pattern(3000, 1)));
    const std::string log = Text(fs.Contents("/app/Restore.log"));
    EXPECT_EQ(log.find("undoing the install made by /app/Install.dat (forced)\r\n"), 0u) << log;
    EXPECT_FALSE(fs.Exists("/app/Backups/gta3.img/a.dff"));
}

TEST_F(RunToolTest, WaitsForEnterOnlyWhenItOwnsItsConsoleWindow) {
    fs.SetFile("/app/Install.dat", BytesOf(""));
    console.ownsWindow = false;
    EXPECT_EQ(Run({"-script", "/app/Install.dat"}), 0);
    EXPECT_EQ(console.waits, 0);
    EXPECT_EQ(console.text.find("Press Enter"), std::string::npos);

    console.ownsWindow = true;
    EXPECT_EQ(Run({"-script", "/app/Install.dat"}), 0);
    EXPECT_EQ(console.waits, 1);
    EXPECT_NE(console.text.find("done\nPress Enter to close this window.\n"), std::string::npos);
    // The prompt is for the window, not for the log.
    EXPECT_EQ(Text(fs.Contents("/app/Install.log")).find("Press Enter"), std::string::npos);

    EXPECT_EQ(Run({"nonsense"}), Code(ExitStatus::Usage));
    EXPECT_EQ(console.waits, 2);
}

}  // namespace
}  // namespace veltrin::tool

namespace veltrin::tool {
namespace {

using namespace testing;

// Another program changes the archive just before the tool takes it over
// to save (the moment it first opens it for writing).
class ChangedUnderneath final : public archive::testing::ForwardingFileSystem {
public:
    ChangedUnderneath(archive::testing::MemoryFileSystem& memory, std::string path, Bytes theirs)
        : ForwardingFileSystem(memory), memory_(memory), path_(std::move(path)), theirs_(std::move(theirs)) {}
    std::unique_ptr<archive::File> Open(const std::string& path, archive::OpenMode mode) override {
        if (path == path_ && mode == archive::OpenMode::ReadWrite && !changed_) {
            changed_ = true;
            memory_.SetFile(path_, theirs_);
        }
        return inner_.Open(path, mode);
    }

private:
    archive::testing::MemoryFileSystem& memory_;
    std::string path_;
    Bytes theirs_;
    bool changed_ = false;
};

TEST(RunToolChanged, AnArchiveChangedByAnotherProgramIsLeftAsItIsWithItsOwnStatus) {
    archive::testing::MemoryFileSystem fs;
    MakeArchive(fs, "/game/gta3.img", {{"a.dff", Pattern(3000, 1)}, {"b.txd", Pattern(100, 2)}});
    archive::testing::MemoryFileSystem other;
    MakeArchive(other, "/x.img", {{"b.txd", Pattern(100, 3)}, {"a.dff", Pattern(3000, 4)}});
    const Bytes theirs = other.Contents("/x.img");
    fs.SetFile("/mod/a.dff", Pattern(5000, 5));
    ChangedUnderneath changing(fs, "/game/gta3.img", theirs);
    FakeConsole console;
    EXPECT_EQ(RunTool({"Install.plug", "add", "/game/gta3.img", "/mod/a.dff"}, console, changing),
              Code(ExitStatus::ArchiveChanged));
    EXPECT_NE(console.text.find("/game/gta3.img was changed by another program since it was read; nothing was changed"),
              std::string::npos)
        << console.text;
    EXPECT_EQ(fs.Contents("/game/gta3.img"), theirs);
    const std::string help = [] {
        FakeConsole shown;
        archive::testing::MemoryFileSystem none;
        RunTool({"Install.plug", "--help"}, shown, none);
        return shown.text;
    }();
    EXPECT_NE(help.find("  15  another program changed an archive"), std::string::npos);
}

}  // namespace
}  // namespace veltrin::tool
