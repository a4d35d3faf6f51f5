#include "tool/shell/tool_main.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/forwarding_file_system.h"
#include "testing/memory_file_system.h"
#include "tool/common/exit_status.h"
#include "tool/common/report.h"
#include "tool/common/version.h"
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
    for (uint64_t done = 0; done <= 1000; done += 5) report.Progress("saving gta3.img", done, 1000);
    report.Line("saved");
    EXPECT_EQ(console.text.find("saving\n\rsaving gta3.img ["), 0u) << console.text;
    size_t redraws = 0;
    for (const char c : console.text) redraws += c == '\r';
    EXPECT_EQ(redraws, 101u);  // 0% to 100%, once each
    EXPECT_NE(console.text.find("\rsaving gta3.img [" + std::string(ConsoleReport::kBarWidth, '#') + "] 100%\nsaved\n"),
              std::string::npos);

    FakeConsole piped;
    ConsoleReport quiet(piped);
    quiet.Progress("saving gta3.img", 1, 2);
    quiet.Line("x");
    EXPECT_EQ(piped.text, "x\n");
}

TEST(ConsoleReport, ALineAfterAnUnfinishedBarStartsOnItsOwnLine) {
    FakeConsole console;
    console.terminal = true;
    ConsoleReport report(console);
    report.Progress("saving gta3.img", 1, 3);
    report.Line("error: disk gone");
    EXPECT_EQ(console.text, "\rsaving gta3.img [#############...........................] 33%\nerror: disk gone\n");
}

// The bar's row stays one column short of the window: the label is cut to
// what is left, and a window too narrow for any drops it.
TEST(ConsoleReport, ALabelTooWideForTheWindowIsCut) {
    for (const auto& [width, shown] : std::vector<std::pair<int, std::string>>{
             {80, "saving gta3.img ["}, {60, "saving gta3 ["}, {49, "["}, {40, "["}}) {
        FakeConsole console;
        console.terminal = true;
        console.width = width;
        ConsoleReport report(console);
        report.Progress("saving gta3.img", 1, 2);
        EXPECT_EQ(console.text.substr(0, console.text.find('[') + 1), "\r" + shown) << width;
        if (width >= 49) {
            EXPECT_LE(console.text.size() - 1, static_cast<size_t>(width - 1)) << console.text;
        }
    }
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
    const std::string heading = log.substr(0, log.find("\r\n") + 2);
    EXPECT_TRUE(heading.starts_with("==== ")) << log;
    EXPECT_TRUE(heading.ends_with(" UTC, Install.plug " + std::string(kToolVersion) + ": -script /app/Install.dat\r\n"))
        << heading;
    EXPECT_EQ(log.substr(heading.size()), shown);
    EXPECT_EQ(log.find("running /app/Install.dat\r\nopen /game/gta3.img\r\n"), heading.size()) << log;
    EXPECT_NE(log.find("\r\ndone\r\n"), std::string::npos);
    EXPECT_EQ(log.find('['), std::string::npos);
    // One bar for the one save, saying what it measures.
    size_t ends = 0;
    for (size_t at = console.text.find("] 100%"); at != std::string::npos; at = console.text.find("] 100%", at + 1))
        ++ends;
    EXPECT_EQ(ends, 1u) << console.text;
    EXPECT_NE(console.text.find("\rsaving gta3.img ["), std::string::npos) << console.text;
    EXPECT_EQ(fs.Contents("/app/Backups/gta3.img/a.dff"), Stored(Pattern(3000, 1)));
}

// A run that failed stays in the log after the retry that succeeds, each
// under its own heading; the undo's runs go to Restore.log the same way.
TEST_F(RunToolTest, EachRunIsAddedToTheLogUnderItsHeading) {
    MakeGame();
    const std::string script = "-open \"/game/gta3.img\"\r\n-import \"/app/gta3.img/a.dff\"\r\n-close\r\n";
    fs.SetFile("/app/Install.dat", BytesOf("-open \"/game/gta3.img\"\r\n-import \"/app/gta3.img/b.dff\"\r\n-close\r\n"));
    EXPECT_EQ(Run({"-script", "/app/Install.dat"}), Code(ExitStatus::NotFound)) << console.text;
    fs.SetFile("/app/Install.dat", BytesOf(script));
    EXPECT_EQ(Run({"-script", "/app/Install.dat"}), 0) << console.text;
    EXPECT_EQ(Run({"-restore", "/app/Install.dat"}), 0) << console.text;
    Run({"-restore", "/app/Install.dat"});  // nothing left to undo: its own run all the same

    const auto runs = [](const std::string& log) {
        size_t headings = log.starts_with("==== ") ? 1 : 0;
        for (size_t at = log.find("\r\n==== "); at != std::string::npos; at = log.find("\r\n==== ", at + 1))
            ++headings;
        return headings;
    };
    const std::string install = Text(fs.Contents("/app/Install.log"));
    ASSERT_EQ(runs(install), 2u) << install;
    EXPECT_EQ(install.find("==== "), 0u);
    const size_t second = install.find("\r\n==== ") + 2;
    EXPECT_NE(install.substr(0, second).find("\r\nfailed\r\n"), std::string::npos) << install;
    EXPECT_TRUE(install.ends_with("\r\ndone\r\n")) << install;
    EXPECT_EQ(runs(Text(fs.Contents("/app/Restore.log"))), 2u);
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
    const std::string log = Text(fs.Contents("Install.log"));
    EXPECT_TRUE(log.starts_with("==== ")) << log;
    EXPECT_TRUE(log.ends_with(": -SCRIPT Install.dat\r\nrunning Install.dat\r\nto undo this install: double-click Undo.cmd in "
                              "this folder, or run Install.plug -restore \"Install.dat\"\r\ndone\r\n"))
        << log;
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
    EXPECT_EQ(log.find("\r\nundoing the install made by /app/Install.dat (forced)\r\n"), log.find("\r\n")) << log;
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
