// A player's install from start to end: the real Install.exe in a real window
// under Wine, driven with mouse clicks, starts the real Install.plug, which
// works on real version-2 archives made here. Checks what lands in the
// archives and in Backups, the undo by the real Undo.cmd under Wine's cmd (also
// over an entry another mod changed since, without an install, and at a
// drive's root), a second install, a tool killed while it saves, and paths
// with spaces and letters of the ANSI code page.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "driver.h"
#include "img_file.h"
#include "tool_process.h"
#include "window/control_ids.h"

namespace veltrin::e2e::test {
namespace {

namespace fs = std::filesystem;
using namespace veltrin::window;
using window::test::Installer;

const fs::path kTestRoot = L"C:\\veltrin e2e";

// Bytes that differ from entry to entry and from one version to another.
std::string Pattern(const std::string& seed, size_t size) {
    std::string bytes(size, '\0');
    uint32_t state = 2166136261u;
    for (const char c : seed) state = (state ^ static_cast<unsigned char>(c)) * 16777619u;
    for (auto& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

struct ModFile {
    std::string archive;  // gta3.img or player.img
    std::string name;
    std::string bytes;
};

// The game's archives before the install. The mod replaces some entries
// (larger and smaller than before), adds others and leaves the rest alone.
std::vector<ImgEntry> OriginalGta3() {
    return {{"lamppost.dff", Padded(Pattern("lamppost", 2500))},
            {"infernus.dff", Padded(Pattern("old infernus.dff", 3000))},
            {"bridge.txd", Padded(Pattern("bridge", 9000))},
            {"INFERNUS.TXD", Padded(Pattern("old infernus.txd", 7000))}};
}
std::vector<ImgEntry> OriginalPlayer() {
    return {{"vest.dff", Padded(Pattern("old vest", 900))}, {"torso.dff", Padded(Pattern("torso", 5000))}};
}
std::vector<ModFile> Mod() {
    return {{"gta3.img", "infernus.dff", Pattern("mod infernus.dff", 6100)},
            {"gta3.img", "infernus.txd", Pattern("mod infernus.txd", 1200)},
            {"gta3.img", "veltrin_sign.dff", Pattern("mod sign", 338)},
            {"player.img", "vest.dff", Pattern("mod vest.dff", 725)},
            {"player.img", "vest.txd", Pattern("mod vest.txd", 832)}};
}

// Double-clicks the folder list's entry with that label and waits until the
// list shows the folder's child.
bool OpenInFolderList(HWND dir1, const std::wstring& label, const std::wstring& child) {
    const auto items = window::test::ListItems(dir1);
    const auto found = std::find(items.begin(), items.end(), label);
    if (found == items.end()) return false;
    const RECT item = window::test::ListItemRect(dir1, static_cast<int>(found - items.begin()));
    POINT point{item.left + 40, (item.top + item.bottom) / 2};
    ::ClientToScreen(dir1, &point);
    window::test::DoubleClickAt(point);
    return window::test::WaitUntil([&] {
        const auto now = window::test::ListItems(dir1);
        return std::find(now.begin(), now.end(), child) != now.end();
    });
}

// The whole screen, kept in the build tree to show what went wrong.
void SaveScreen(const std::string& what) {
    const fs::path folder = window::test::FromUnix(VELTRIN_SCREENSHOT_DIR);
    fs::create_directories(folder);
    const RECT screen{0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
    const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    window::test::CaptureScreen(screen).SaveBmp(folder / (test + "-" + what + ".bmp"));
}

bool EndsWith(const std::string& text, const std::string& end);

HWND ChildWithText(HWND window, const std::wstring& text) {
    for (HWND child = ::GetWindow(window, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT))
        if (window::test::Text(child) == text) return child;
    return nullptr;
}

class InstallE2eTest : public ::testing::Test {
protected:
    fs::path root;
    fs::path app;
    fs::path game;
    std::wstring gamesName = L"games";

    // Lays out an application folder (the programs, the mod, empty Backups)
    // and a game folder beside it, under folders of these names.
    void Prepare(const std::wstring& appName, const std::wstring& gamesFolder,
                 const std::vector<ImgEntry>& gta3 = OriginalGta3()) {
        root = kTestRoot / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::error_code ignored;
        fs::remove_all(root, ignored);
        gamesName = gamesFolder;
        app = root / appName;
        game = root / gamesName / L"GTA San Andreas";
        fs::create_directories(app / "Backups" / "gta3.img");
        fs::create_directories(app / "Backups" / "player.img");
        fs::copy_file(window::test::FromUnix(VELTRIN_INSTALL_EXE), app / "Install.exe");
        fs::copy_file(window::test::FromUnix(VELTRIN_INSTALL_PLUG), app / "Install.plug");
        for (const auto& file : Mod()) WriteFileBytes(app / file.archive / file.name, file.bytes);
        WriteFileBytes(game / "gta_sa.exe", "MZ");
        WriteImg(game / "models" / "gta3.img", gta3);
        WriteImg(game / "models" / "player.img", OriginalPlayer());
    }
    void TearDown() override {
        for (const DWORD id : ToolProcesses()) {
            if (HANDLE process = ::OpenProcess(PROCESS_TERMINATE, FALSE, id)) {
                ::TerminateProcess(process, 99);
                ::CloseHandle(process);
            }
        }
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    fs::path Archive(const std::string& name) const { return game / "models" / name; }

    // How an install through the window ended: the tool (when the test did
    // not end it itself), the box that followed it and Install.exe's status.
    struct WindowInstall {
        std::optional<ToolEnd> tool;
        std::wstring box;  // the box's text
        std::optional<DWORD> exit;
    };

    // Starts Install.exe in its own folder, opens the game folder through the
    // folder list by double-clicks (or starts it in the game folder when
    // fromGameFolder), presses Install, lets the tool work and answers its
    // Enter, then reads and confirms the box that follows. No box may show
    // before the tool has ended. afterInstallPressed, when given, runs as
    // soon as Install is pressed and ends the tool itself.
    WindowInstall InstallThroughTheWindow(const std::function<void()>& afterInstallPressed = {},
                                          bool fromGameFolder = false) {
        WindowInstall result;
        std::error_code ignored;
        fs::remove(app / "Install.log", ignored);  // an earlier run's, which ends as this one will
        Installer installer(app / "Install.exe", fromGameFolder ? game : app);
        const HWND status = installer.Control(kLabel2Id);
        const HWND dir1 = installer.Control(kDir1Id);
        if (!fromGameFolder) {
            EXPECT_TRUE(
                window::test::WaitUntil([&] { return window::test::Text(status) == L"GTA San Andreas Not Found !"; }));
            EXPECT_TRUE(installer.Activate());
            const std::wstring testName = root.filename().wstring();
            EXPECT_TRUE(OpenInFolderList(dir1, testName, gamesName));
            EXPECT_TRUE(OpenInFolderList(dir1, gamesName, L"GTA San Andreas"));
            EXPECT_TRUE(OpenInFolderList(dir1, L"GTA San Andreas", L"models"));
        } else {
            EXPECT_TRUE(installer.Activate());
        }
        EXPECT_TRUE(window::test::WaitUntil([&] { return window::test::Text(status) == L"GTA San Andreas Found !"; }));
        window::test::ClickCentre(installer.Control(kCommand1Id));
        if (afterInstallPressed) {
            afterInstallPressed();
        } else {
            std::vector<DWORD> tools;
            window::test::WaitUntil([&] { return !(tools = ToolProcesses()).empty(); }, std::chrono::seconds(20));
            EXPECT_EQ(tools.size(), 1u) << "the installer should have started one Install.plug";
            if (tools.empty()) return result;
            // Until the tool has ended, the installer shows nothing but its window.
            // Until the tool has ended, the installer shows nothing but its
            // window. The tool's console is left alone until its run is over
            // (its log's last line): a process attached to that console while
            // the tool asks whether it has its window to itself makes it
            // answer no, and it would end without asking for Enter.
            bool boxEarly = false;
            const auto logEnded = [&] {
                std::string log;
                try {
                    log = ReadFileBytes(app / "Install.log");  // the tool holds it to itself while it runs
                } catch (const std::exception&) {
                    return false;
                }
                return EndsWith(log, "\r\ndone\r\n") || EndsWith(log, "\r\nfailed\r\n");
            };
            const auto limit = std::chrono::steady_clock::now() + std::chrono::minutes(3);
            while (!logEnded() && std::chrono::steady_clock::now() < limit) {
                boxEarly = boxEarly || installer.VisibleTopWindows() != std::vector<HWND>{installer.Form()};
                ::Sleep(100);
            }
            ::Sleep(1000);
            std::atomic<bool> ended = false;
            std::thread watch([&] {
                result.tool = FinishTool(tools.front());
                ended = true;
            });
            while (!ended) {
                boxEarly = boxEarly || installer.VisibleTopWindows() != std::vector<HWND>{installer.Form()};
                ::Sleep(100);
            }
            watch.join();
            EXPECT_FALSE(boxEarly) << "a box showed while the tool worked";
            if (!result.tool) ADD_FAILURE() << "the tool did not end";
        }
        const HWND box = installer.WaitForDialog();
        if (!box) {
            ADD_FAILURE() << "no message after the tool";
            return result;
        }
        HWND ok = nullptr;
        window::test::WaitUntil([&] {
            ok = ChildWithText(box, L"OK");
            return ok && ::IsWindowVisible(ok);
        });
        for (HWND child = ::GetWindow(box, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
            const std::wstring text = window::test::Text(child);
            if (text.size() > result.box.size()) result.box = text;
        }
        ::WaitForInputIdle(installer.Process(), 5000);
        ::Sleep(200);
        SaveScreen("box");
        result.exit = installer.ConfirmAndWaitForExit(box, ok);
        if (!result.exit) SaveScreen("ok-not-taken");
        return result;
    }

    // A whole install: the window, the tool up to its Enter prompt, then
    // "Install Success !".
    void Install() {
        const WindowInstall run = InstallThroughTheWindow();
        ASSERT_TRUE(run.tool.has_value()) << "the tool did not end";
        EXPECT_EQ(run.tool->status, 0u) << ReadFileBytes(app / "Install.log");
        EXPECT_TRUE(run.tool->prompted) << "the tool's window never asked for Enter";
        EXPECT_EQ(run.box, L"Install Success !");
        EXPECT_EQ(run.exit, std::optional<DWORD>(0));
        const std::string log = ReadFileBytes(app / "Install.log");
        EXPECT_TRUE(log.size() >= 6 && log.compare(log.size() - 6, 6, "done\r\n") == 0) << log;
    }

    // An install the tool could not finish: its window said why, then the
    // failure report named its ending and the log, and Install.exe ended
    // with 10.
    void ExpectFailureBox(const WindowInstall& run, const std::wstring& ending) {
        EXPECT_EQ(run.box.find(L"The install did not finish."), 0u) << fs::path(run.box).string();
        EXPECT_NE(run.box.find(ending), std::wstring::npos) << fs::path(run.box).string();
        EXPECT_TRUE(run.box.ends_with(L"\n" + (app / "Install.log").wstring())) << fs::path(run.box).string();
        EXPECT_EQ(run.box.find(L"Install Success !"), std::wstring::npos);
        EXPECT_EQ(run.exit, std::optional<DWORD>(10));
    }

    ToolRun Tool(const std::vector<std::wstring>& args) { return RunTool(app / "Install.plug", args, root); }

    // The original's entries with the mod's files in place.
    static std::map<std::string, Digest> Installed(const std::string& archive, const std::vector<ImgEntry>& original) {
        auto expected = ByName(original);
        for (const auto& file : Mod())
            if (file.archive == archive) expected[Lower(file.name)] = DigestOf(Padded(file.bytes));
        return expected;
    }

    // Each mod file is its archive's entry of that name, byte for byte;
    // every other entry is the original's.
    void ExpectInstalled(const std::string& archive, const std::vector<ImgEntry>& original) {
        SCOPED_TRACE(archive);
        const auto entries = ReadImg(Archive(archive));
        const auto named = std::count_if(entries.begin(), entries.end(), [](const ImgEntry& entry) {
            return entry.name.find('.') != std::string::npos;
        });
        EXPECT_EQ(static_cast<size_t>(named), ByName(entries).size()) << "two entries of one name";
        EXPECT_EQ(ByName(entries), Installed(archive, original));
        const ToolRun verify = Tool({L"verify", Archive(archive).wstring()});
        EXPECT_EQ(verify.status, 0u) << verify.output;
    }

    // Backups hold each replaced original byte for byte, and a marker for
    // each entry the install added.
    void ExpectBackups(const std::string& archive, const std::vector<ImgEntry>& original) {
        SCOPED_TRACE(archive);
        const auto originals = ByName(original);
        std::vector<std::string> expectedFiles;
        for (const auto& file : Mod()) {
            if (file.archive != archive) continue;
            const auto found = originals.find(Lower(file.name));
            const fs::path backup = app / "Backups" / archive / file.name;
            if (found != originals.end()) {
                expectedFiles.push_back(file.name);
                ASSERT_TRUE(fs::exists(backup)) << file.name << " was not backed up";
                EXPECT_EQ(DigestOf(ReadFileBytes(backup)), found->second)
                    << file.name << ": the backup is not the original";
            } else {
                expectedFiles.push_back(file.name + ".added");
                EXPECT_FALSE(fs::exists(backup)) << file.name << " had nothing to back up";
                EXPECT_TRUE(fs::exists(app / "Backups" / archive / (file.name + ".added")));
            }
        }
        std::vector<std::string> actualFiles;
        for (const auto& entry : fs::directory_iterator(app / "Backups" / archive))
            actualFiles.push_back(entry.path().filename().string());
        std::sort(expectedFiles.begin(), expectedFiles.end());
        std::sort(actualFiles.begin(), actualFiles.end());
        EXPECT_EQ(actualFiles, expectedFiles);
    }

    // Uninstall through the tool; the archives are the originals again.
    void UndoAndExpectOriginals() {
        const ToolRun undo = Tool({L"-restore", (app / "Install.dat").wstring()});
        EXPECT_EQ(undo.status, 0u) << undo.output;
        ExpectOriginals();
        ExpectBackupsUsedUp();
    }

    void ExpectOriginals() {
        for (const auto& [archive, original] : {std::pair{std::string("gta3.img"), OriginalGta3()},
                                                std::pair{std::string("player.img"), OriginalPlayer()}}) {
            SCOPED_TRACE(archive);
            const auto entries = ReadImg(Archive(archive));
            ASSERT_EQ(entries.size(), original.size());
            EXPECT_EQ(ByName(entries), ByName(original));
            const ToolRun verify = Tool({L"verify", Archive(archive).wstring()});
            EXPECT_EQ(verify.status, 0u) << verify.output;
        }
    }

    // The files in a folder, names only, sorted.
    static std::vector<std::string> FilesIn(const fs::path& folder) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    void ExpectBackupsUsedUp() {
        EXPECT_EQ(FilesIn(app / "Backups" / "gta3.img"), std::vector<std::string>{});
        EXPECT_EQ(FilesIn(app / "Backups" / "player.img"), std::vector<std::string>{});
    }

    // Copies the real Undo.cmd into the folder and runs it as a double-click
    // does: cmd /c in a console window of its own. Enter is typed into that
    // window once it asks; returns how it ended and what it showed.
    ToolEnd RunUndoFile(const fs::path& folder) {
        fs::copy_file(window::test::FromUnix(VELTRIN_UNDO_CMD), folder / "Undo.cmd",
                      fs::copy_options::overwrite_existing);
        const std::wstring line = L"cmd.exe /c \"\"" + (folder / "Undo.cmd").wstring() + L"\"\"";
        HANDLE process = StartInOwnConsole(line, root);
        if (!process) {
            ADD_FAILURE() << "cmd.exe did not start";
            return {};
        }
        const auto end = FinishTool(::GetProcessId(process), 120s);
        if (!end) {
            ::TerminateProcess(process, 99);
            ADD_FAILURE() << "Undo.cmd did not end";
        }
        ::CloseHandle(process);
        if (!end) return {};
        EXPECT_TRUE(end->prompted) << "Undo.cmd never asked for Enter";
        // Once: the tool shares the window with cmd, so only Undo.cmd asks.
        const std::wstring prompt = L"Press Enter to close this window.";
        size_t prompts = 0;
        for (size_t at = end->screen.find(prompt); at != std::wstring::npos; at = end->screen.find(prompt, at + 1))
            ++prompts;
        EXPECT_EQ(prompts, 1u) << fs::path(end->screen).string();
        return *end;
    }
    static bool Shows(const ToolEnd& end, const std::wstring& text) {
        return end.screen.find(text) != std::wstring::npos;
    }
    std::string RestoreLog() const { return ReadFileBytes(app / "Restore.log"); }
};

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST_F(InstallE2eTest, PlayerInstallsThenUndoes) {
    Prepare(L"app", L"games");
    const std::string gta3Before = ReadFileBytes(Archive("gta3.img"));
    const std::string playerBefore = ReadFileBytes(Archive("player.img"));
    Install();
    ExpectInstalled("gta3.img", OriginalGta3());
    ExpectInstalled("player.img", OriginalPlayer());
    ExpectBackups("gta3.img", OriginalGta3());
    ExpectBackups("player.img", OriginalPlayer());
    const std::string log = ReadFileBytes(app / "Install.log");
    EXPECT_NE(log.find("to undo this install: double-click Undo.cmd in " + app.string() +
                       ", or run Install.plug -restore \"" + (app / "Install.dat").string() +
                       "\"\r\nkeep this folder: its Backups folder now holds the record Undo.cmd follows, and a copy "
                       "of what each entry it replaced held before\r\ndone\r\n"),
              std::string::npos)
        << log;

    const ToolEnd undo = RunUndoFile(app);
    EXPECT_EQ(undo.status, 0u) << RestoreLog();
    EXPECT_TRUE(Shows(undo, L"restored infernus.dff (what it held before the install")) << fs::path(undo.screen).string();
    EXPECT_TRUE(Shows(undo, L"\ndone\n")) << fs::path(undo.screen).string();
    ExpectOriginals();
    ExpectBackupsUsedUp();
    // Nothing else changed the archives: they are byte for byte as before,
    // and the install record is used up.
    EXPECT_TRUE(ReadFileBytes(Archive("gta3.img")) == gta3Before);
    EXPECT_TRUE(ReadFileBytes(Archive("player.img")) == playerBefore);
    EXPECT_FALSE(fs::exists(app / "Backups" / "Install.record"));
    const std::string restoreLog = RestoreLog();
    EXPECT_TRUE(EndsWith(restoreLog, "\r\ndone\r\n")) << restoreLog;
    EXPECT_NE(restoreLog.find("removed veltrin_sign.dff, which the install added"), std::string::npos) << restoreLog;
}

// Another mod replaced one of the entries this install replaced: the undo
// leaves that one as it is, names it and keeps the backup of its original
// (the game's own bytes are never deleted); the rest is undone. It advises
// no --force, which would put an older file over the other mod's.
TEST_F(InstallE2eTest, UndoLeavesAnEntryAnotherModChangedAndKeepsItsBackup) {
    Prepare(L"app", L"games");
    Install();
    const fs::path otherMod = root / "other mod" / "infernus.dff";
    WriteFileBytes(otherMod, Pattern("other mod infernus.dff", 4000));
    const ToolRun add = Tool({L"add", Archive("gta3.img").wstring(), otherMod.wstring()});
    ASSERT_EQ(add.status, 0u) << add.output;
    const auto theirs = ByName(ReadImg(Archive("gta3.img"))).at("infernus.dff");
    ASSERT_NE(theirs, DigestOf(Padded(Mod()[0].bytes)));

    const ToolEnd undo = RunUndoFile(app);
    EXPECT_EQ(undo.status, 0u) << RestoreLog();
    auto expected = ByName(OriginalGta3());
    expected["infernus.dff"] = theirs;
    EXPECT_EQ(ByName(ReadImg(Archive("gta3.img"))), expected);
    EXPECT_EQ(ByName(ReadImg(Archive("player.img"))), ByName(OriginalPlayer()));
    const std::string log = RestoreLog();
    EXPECT_NE(log.find("left infernus.dff as it is: it has changed since the install"), std::string::npos) << log;
    EXPECT_NE(log.find("the backup of its original stays in " + (app / "Backups" / "gta3.img" / "infernus.dff").string()),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("--force"), std::string::npos) << log;
    EXPECT_TRUE(Shows(undo, L"left infernus.dff as it is")) << fs::path(undo.screen).string();
    EXPECT_EQ(FilesIn(app / "Backups" / "gta3.img"), std::vector<std::string>{"infernus.dff"});
    EXPECT_EQ(DigestOf(ReadFileBytes(app / "Backups" / "gta3.img" / "infernus.dff")),
              ByName(OriginalGta3()).at("infernus.dff"));
    EXPECT_EQ(FilesIn(app / "Backups" / "player.img"), std::vector<std::string>{});
}

// Undo.cmd in a folder the installer never ran in: it says so, and nothing
// changes (not even a log is written).
TEST_F(InstallE2eTest, UndoFileWithoutAnInstallSaysNothingWasInstalled) {
    Prepare(L"app", L"games");
    const std::string gta3 = ReadFileBytes(Archive("gta3.img"));
    const std::string player = ReadFileBytes(Archive("player.img"));
    const ToolEnd undo = RunUndoFile(app);
    EXPECT_EQ(undo.status, 4u);
    EXPECT_TRUE(Shows(undo, L"nothing was installed from this folder")) << fs::path(undo.screen).string();
    EXPECT_EQ(ReadFileBytes(Archive("gta3.img")), gta3);
    EXPECT_EQ(ReadFileBytes(Archive("player.img")), player);
    EXPECT_EQ(FilesIn(app), (std::vector<std::string>{"Backups", "Install.exe", "Install.plug", "Undo.cmd", "gta3.img",
                                                      "player.img"}));
}

// The application folder at a drive's root (u:, mapped by the test fixture):
// the tool installs from the script there, and Undo.cmd there undoes it.
TEST_F(InstallE2eTest, UndoFileAtADriveRoot) {
    const fs::path drive = L"U:\\";
    ASSERT_TRUE(fs::is_directory(drive)) << "drive u: is not mapped (ctest maps it)";
    Prepare(L"app", L"games");
    // An empty drive root lists nothing, not even "." (the iterator then
    // reports an error).
    const auto clear = [&] {
        std::error_code none;
        for (auto it = fs::directory_iterator(drive, none); !none && it != fs::directory_iterator(); ++it)
            fs::remove_all(it->path());
    };
    clear();
    for (const auto& entry : fs::directory_iterator(app))
        fs::copy(entry.path(), drive / entry.path().filename(), fs::copy_options::recursive);
    app = drive;
    // The script as the installer writes it for this folder.
    std::string script;
    const auto escaped = [](const fs::path& path) {
        std::string text;
        for (const char c : path.string()) text += c == '\\' ? std::string("\\\\") : std::string(1, c);
        return text;
    };
    for (const std::string archive : {"gta3.img", "player.img"}) {
        script += "-open \"" + escaped(Archive(archive)) + "\"\r\n";
        for (const auto& file : Mod()) {
            if (file.archive != archive) continue;
            const fs::path backup = drive / "Backups" / archive / file.name;
            script += "-export \"" + file.name + "\" \"" + escaped(backup) + "\"\r\n";
        }
        for (const auto& file : Mod())
            if (file.archive == archive) script += "-import \"" + escaped(drive / archive / file.name) + "\"\r\n";
        if (archive == "gta3.img") script += "-close\r\n";
    }
    WriteFileBytes(drive / "Install.dat", script);
    const ToolRun install = Tool({L"-script", L"U:\\Install.dat"});
    ASSERT_EQ(install.status, 0u) << install.output;
    ExpectInstalled("gta3.img", OriginalGta3());
    EXPECT_NE(install.output.find("double-click Undo.cmd in U:\\, or run Install.plug -restore \"U:\\Install.dat\""),
              std::string::npos)
        << install.output;

    const ToolEnd undo = RunUndoFile(drive);
    EXPECT_EQ(undo.status, 0u) << RestoreLog();
    ExpectOriginals();
    ExpectBackupsUsedUp();
    EXPECT_TRUE(EndsWith(RestoreLog(), "\r\ndone\r\n")) << RestoreLog();
    clear();
}

TEST_F(InstallE2eTest, SecondInstallKeepsTheOriginalsAndUndoesToThem) {
    Prepare(L"app", L"games");
    Install();
    const auto gta3After = ReadImg(Archive("gta3.img"));
    const auto playerAfter = ReadImg(Archive("player.img"));
    Install();
    EXPECT_EQ(ByName(ReadImg(Archive("gta3.img"))), ByName(gta3After));
    EXPECT_EQ(ByName(ReadImg(Archive("player.img"))), ByName(playerAfter));
    ExpectInstalled("gta3.img", OriginalGta3());
    ExpectBackups("gta3.img", OriginalGta3());
    ExpectBackups("player.img", OriginalPlayer());
    UndoAndExpectOriginals();
}

TEST_F(InstallE2eTest, PathsWithSpacesAndAnsiLettersInstallAndUndo) {
    Prepare(L"Mods \u00e9", L"Spiele \u00c4");
    Install();
    ExpectInstalled("gta3.img", OriginalGta3());
    ExpectInstalled("player.img", OriginalPlayer());
    ExpectBackups("gta3.img", OriginalGta3());
    ExpectBackups("player.img", OriginalPlayer());
    const ToolEnd undo = RunUndoFile(app);
    EXPECT_EQ(undo.status, 0u) << RestoreLog();
    ExpectOriginals();
    ExpectBackupsUsedUp();
}

// The game holds player.img open while the player installs: the tool saves
// gta3.img, stops at player.img and says so in its window; only then comes
// the box, which reports an install that did not finish.
TEST_F(InstallE2eTest, AnArchiveHeldOpenEndsWithTheFailureReportNotSuccess) {
    Prepare(L"app", L"games");
    const std::string gta3Before = ReadFileBytes(Archive("gta3.img"));
    const std::string playerBefore = ReadFileBytes(Archive("player.img"));
    const HANDLE held = ::CreateFileW(Archive("player.img").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const WindowInstall run = InstallThroughTheWindow();
    ::CloseHandle(held);
    ASSERT_TRUE(run.tool.has_value());
    EXPECT_EQ(run.tool->status, 6u) << ReadFileBytes(app / "Install.log");
    EXPECT_TRUE(run.tool->prompted);
    EXPECT_TRUE(Shows(*run.tool, L"in use by another program")) << fs::path(run.tool->screen).string();
    ExpectFailureBox(
        run, L"status 6: an archive of the game is in use by another program; close the game and install again.");
    // Every archive is taken before the first save: neither changed.
    EXPECT_EQ(ReadFileBytes(Archive("gta3.img")), gta3Before);
    EXPECT_EQ(ReadFileBytes(Archive("player.img")), playerBefore);
}

// The game on a full disk (f:, a tmpfs of 1.2 MB that the fixture maps): the
// tool cannot save, says so in its window, and the box reports it.
TEST_F(InstallE2eTest, AFullDiskEndsWithTheFailureReportNotSuccess) {
    const fs::path drive = L"F:\\";
    ASSERT_TRUE(fs::is_directory(drive)) << "drive f: is not mapped (ctest maps it)";
    Prepare(L"app", L"games");
    std::error_code ignored;
    fs::remove_all(drive / "GTA San Andreas", ignored);
    fs::remove(drive / "filler", ignored);
    fs::copy(game, drive / "GTA San Andreas", fs::copy_options::recursive);
    game = drive / "GTA San Andreas";
    const std::string gta3Before = ReadFileBytes(Archive("gta3.img"));
    ULARGE_INTEGER free{};
    ASSERT_TRUE(::GetDiskFreeSpaceExW(drive.c_str(), &free, nullptr, nullptr));
    ASSERT_GT(free.QuadPart, 4096u);
    WriteFileBytes(drive / "filler", std::string(static_cast<size_t>(free.QuadPart - 4096), 'f'));

    const WindowInstall run = InstallThroughTheWindow({}, true);
    fs::remove(drive / "filler", ignored);
    ASSERT_TRUE(run.tool.has_value());
    EXPECT_EQ(run.tool->status, 8u) << ReadFileBytes(app / "Install.log");
    EXPECT_TRUE(Shows(*run.tool, L"not enough free space")) << fs::path(run.tool->screen).string();
    ExpectFailureBox(run, L"status 8: there is not enough free space on the game's disk");
    EXPECT_EQ(ReadFileBytes(Archive("gta3.img")), gta3Before);
    fs::remove_all(drive / "GTA San Andreas", ignored);
}

// Double-clicked, Install.plug has a console window of its own, here one
// 40 columns wide: it says what it is in lines broken between words to fit
// (rows of at most 39 characters, continuations indented), then waits for
// Enter.
TEST_F(InstallE2eTest, TheToolDoubleClickedSaysWhatItIsInLinesThatFitItsWindow) {
    Prepare(L"app", L"games");
    // A new console takes its size from the user's console settings.
    HKEY console = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, L"Console", 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                                &console, nullptr),
              ERROR_SUCCESS);
    const auto saved = [&](const wchar_t* name) {
        DWORD value = 0;
        DWORD size = sizeof(value);
        return ::RegQueryValueExW(console, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) ==
                       ERROR_SUCCESS
                   ? std::optional<DWORD>(value)
                   : std::nullopt;
    };
    const wchar_t* const sizes[] = {L"ScreenBufferSize", L"WindowSize"};
    const std::optional<DWORD> before[] = {saved(sizes[0]), saved(sizes[1])};
    const DWORD narrow = 30u << 16 | 40u;
    for (const wchar_t* name : sizes)
        ::RegSetValueExW(console, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&narrow), sizeof(narrow));
    std::wstring line = L"\"" + (app / "Install.plug").wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    const bool started = ::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr,
                                          app.c_str(), &startup, &info);
    std::optional<ToolEnd> end;
    if (started) {
        ::CloseHandle(info.hThread);
        end = FinishTool(info.dwProcessId, 60s);
        ::CloseHandle(info.hProcess);
    }
    for (size_t i = 0; i < 2; ++i) {
        if (before[i])
            ::RegSetValueExW(console, sizes[i], 0, REG_DWORD, reinterpret_cast<const BYTE*>(&*before[i]),
                             sizeof(DWORD));
        else
            ::RegDeleteValueW(console, sizes[i]);
    }
    ::RegCloseKey(console);
    ASSERT_TRUE(started);
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->status, 1u);
    EXPECT_TRUE(end->prompted);
    const std::wstring shown = end->screen;
    EXPECT_NE(shown.find(L"Install.plug is the archive tool of the\n"
                         L"    Veltrin MOD for GTA San Andreas: it\n"
                         L"    puts the mod's files into the\n"
                         L"    game's .img archives and takes them\n"
                         L"    out again.\n"
                         L"To install the mod, run Install.exe in\n"
                         L"    this folder; it starts this tool.\n"
                         L"To undo the install, double-click\n"
                         L"    Undo.cmd in this folder.\n"
                         L"For the modder commands: Install.plug\n"
                         L"    --help\n"
                         L"Press Enter to close this window.\n"),
              std::wstring::npos)
        << fs::path(shown).string();
}

// Large untouched entries make the save of gta3.img take a while; the tool is
// killed as soon as its log says it is saving.
TEST_F(InstallE2eTest, ToolKilledWhileSavingLeavesOldOrNewAndAnotherInstallCompletes) {
    auto big = OriginalGta3();
    for (int i = 0; i < 3; ++i) {
        const std::string name = "big" + std::to_string(i) + ".dff";
        big.insert(big.begin(), ImgEntry{name, Pattern(name, size_t{100} << 20)});
    }
    Prepare(L"app", L"games", big);
    // Killed once the new archive is being written beside the old one (a
    // file gta3.img.<something> appears), or once its window says it is
    // saving, whichever is seen first: reading the console takes a while.
    const fs::path models = game / "models";
    const auto besideTheArchive = [&] {
        for (const auto& entry : fs::directory_iterator(models)) {
            const std::string name = Lower(entry.path().filename().string());
            if (name.size() > 9 && name.compare(0, 9, "gta3.img.") == 0) return true;
        }
        return false;
    };
    bool saving = false;
    bool midSave = false;
    const WindowInstall killed = InstallThroughTheWindow([&] {
        std::vector<DWORD> tools;
        ASSERT_TRUE(
            window::test::WaitUntil([&] { return !(tools = ToolProcesses()).empty(); }, std::chrono::seconds(30)));
        HANDLE process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, tools.front());
        ASSERT_NE(process, nullptr);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        for (int round = 1; !saving && std::chrono::steady_clock::now() < end; ++round) {
            midSave = besideTheArchive();
            saving = midSave || (round % 50 == 0 && ConsoleText(tools.front()).find(L"saving ") != std::wstring::npos);
            if (!saving) ::Sleep(1);
        }
        ::TerminateProcess(process, 99);
        ::WaitForSingleObject(process, 10000);
        ::CloseHandle(process);
    });
    ASSERT_TRUE(saving) << "the tool never got to saving";
    ExpectFailureBox(killed, L"The archive tool ended unexpectedly (status 99).");
    std::printf("killed %s\n", midSave ? "while the new gta3.img was being written" : "after its window said saving");

    // Each archive reads as its old or its new content; one saved after
    // another, so player.img is new only when gta3.img is.
    const auto gta3 = ByName(ReadImg(Archive("gta3.img")));
    const auto player = ByName(ReadImg(Archive("player.img")));
    const bool gta3New = gta3 == Installed("gta3.img", big);
    const bool playerNew = player == Installed("player.img", OriginalPlayer());
    EXPECT_TRUE(gta3New || gta3 == ByName(big)) << "gta3.img is neither old nor new after the kill";
    EXPECT_TRUE(playerNew || player == ByName(OriginalPlayer())) << "player.img is neither old nor new after the kill";
    EXPECT_TRUE(gta3New || !playerNew);
    std::printf("after the kill gta3.img holds its %s content, player.img its %s content\n", gta3New ? "new" : "old",
                playerNew ? "new" : "old");

    Install();
    ExpectInstalled("gta3.img", big);
    ExpectInstalled("player.img", OriginalPlayer());
    ExpectBackups("gta3.img", big);
    ExpectBackups("player.img", OriginalPlayer());
}

}  // namespace
}  // namespace veltrin::e2e::test
