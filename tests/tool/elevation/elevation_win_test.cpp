// The write check and the relaunch under Wine, against what the system
// really refuses: a file or folder with the Linux immutable attribute, which
// Wine reports as access denied. The attribute is set through the Linux side
// (Wine starts Linux programs, without a process to wait on, so each command
// leaves a marker file with its status) and cleared when a test ends; the
// CTest fixture clears the scratch folder again in case a test died.
#include <windows.h>

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "archive/archive_error.h"
#include "archive/file_io.h"
#include "block_lines.h"
#include "tool/common/write_place.h"
#include "tool/elevation/admin_rights_win.h"
#include "tool/elevation/elevation.h"
#include "tool_test_support.h"
#include "win32/text.h"
#include "win32/unique_handle.h"

namespace veltrin::tool {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace testing;
using archive::ArchiveError;
using archive::ErrorKind;
using win32::UniqueHandle;

std::string Utf8(const fs::path& path) { return win32::Narrow(path.wstring()); }

std::string ReadText(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

std::string UnixPath(const fs::path& path) {
    using Convert = char*(CDECL*)(LPCWSTR);
    const auto convert = reinterpret_cast<Convert>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!convert) return {};
    char* unix = convert(fs::absolute(path).wstring().c_str());
    if (!unix) return {};
    std::string text(unix);
    ::HeapFree(::GetProcessHeap(), 0, unix);
    return text;
}

// Runs a shell line on the Linux side and returns its status, or -1 when it
// did not report one in time.
int RunOnLinux(const std::string& line, const fs::path& marker) {
    fs::remove(marker);
    const std::string script = line + "; echo $? > '" + UnixPath(marker) + "'";
    std::wstring commandLine = L"sh -c \"" + win32::Widen(script) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(L"Z:\\bin\\sh", commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &info))
        return -1;
    if (info.hProcess) ::CloseHandle(info.hProcess);
    if (info.hThread) ::CloseHandle(info.hThread);
    for (auto limit = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < limit;) {
        const std::string text = ReadText(marker);
        if (!text.empty() && text.back() == '\n') return std::stoi(text);
        std::this_thread::sleep_for(20ms);
    }
    return -1;
}

// An Install.plug that the process started, or 0.
DWORD ChildOf(DWORD parent) {
    const UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more; more = ::Process32NextW(snapshot.Get(), &entry))
        if (entry.th32ParentProcessID == parent && ::lstrcmpiW(entry.szExeFile, L"Install.plug") == 0)
            return entry.th32ProcessID;
    return 0;
}

class ElevationWin : public ::testing::Test {
protected:
    fs::path root = fs::current_path() / "elevation scratch";
    fs::path marker;
    std::vector<fs::path> immutable;

    void SetUp() override {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        root /= test->name();
        std::error_code ignored;
        fs::remove_all(root, ignored);
        fs::create_directories(root);
        marker = fs::current_path() / "elevation scratch" / (std::string(test->name()) + ".status");
    }
    void TearDown() override {
        for (const auto& path : immutable) RunOnLinux("chattr -i '" + UnixPath(path) + "'", marker);
        for (const auto& path : readOnly) {
            ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (fs::is_directory(path)) RunOnLinux("chmod u+w '" + UnixPath(path) + "'", marker);
        }
        fs::remove(marker);
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    // The read-only attribute, as a game copied from a disc keeps it. Wine
    // keeps it for a folder only as the folder's Unix permissions (no write
    // permission for anyone), so there it is set through the Linux side.
    void MarkReadOnly(const fs::path& path) {
        readOnly.push_back(path);
        ASSERT_TRUE(::SetFileAttributesW(path.c_str(), ::GetFileAttributesW(path.c_str()) | FILE_ATTRIBUTE_READONLY))
            << path;
        if (!(::GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_READONLY) && fs::is_directory(path)) {
            ASSERT_EQ(RunOnLinux("chmod a-w '" + UnixPath(path) + "'", marker), 0) << path;
        }
        ASSERT_TRUE(::GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_READONLY) << path;
    }
    std::vector<fs::path> readOnly;

    // Skips the test when the attribute cannot be set here.
    bool MakeImmutable(const fs::path& path) {
        const std::string unix = UnixPath(path);
        if (unix.empty()) return false;
        immutable.push_back(path);
        return RunOnLinux("chattr +i '" + unix + "'", marker) == 0;
    }
    static void Write(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
    static std::set<std::string> Listing(const fs::path& folder) {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) names.insert(Utf8(entry.path().filename()));
        return names;
    }
    static ErrorKind Kind(const std::function<void()>& check) {
        try {
            check();
        } catch (const ArchiveError& error) {
            return error.kind();
        }
        ADD_FAILURE() << "the check passed";
        return ErrorKind::Io;
    }
};

TEST_F(ElevationWin, TheChecksPassWhereWritingIsAllowedAndLeaveNothingBehind) {
    const fs::path file = root / "gta3.img";
    Write(file, "archive bytes");
    // Another program holding it open for reading and writing, sharing it.
    UniqueHandle other(::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                     nullptr));
    ASSERT_TRUE(other);
    archive::SystemFileSystem().CheckWritable(Utf8(file));
    archive::SystemFileSystem().CheckCanCreateIn(Utf8(root));
    other.Reset();
    EXPECT_EQ(Listing(root), (std::set<std::string>{"gta3.img"}));
    EXPECT_EQ(ReadText(file), "archive bytes");
    EXPECT_EQ(Kind([&] { archive::SystemFileSystem().CheckWritable(Utf8(root / "none.img")); }), ErrorKind::NotFound);
    EXPECT_EQ(Kind([&] { archive::SystemFileSystem().CheckWritable(Utf8(root)); }), ErrorKind::Io);  // a folder
    EXPECT_EQ(Kind([&] { archive::SystemFileSystem().CheckCanCreateIn(Utf8(root / "none")); }), ErrorKind::NotFound);
}

TEST_F(ElevationWin, AFileTheSystemRefusesIsAccessDenied) {
    const fs::path file = root / "gta3.img";
    Write(file, "archive bytes");
    if (!MakeImmutable(file)) GTEST_SKIP() << "chattr +i cannot be set from Wine here";
    // The system really refuses it, to any program.
    EXPECT_EQ(::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(Kind([&] { archive::SystemFileSystem().CheckWritable(Utf8(file)); }), ErrorKind::AccessDenied);
    archive::SystemFileSystem().CheckCanCreateIn(Utf8(root));  // the folder still takes files
    EXPECT_EQ(Listing(root), (std::set<std::string>{"gta3.img"}));
    EXPECT_EQ(ReadText(file), "archive bytes");
}

TEST_F(ElevationWin, AFolderTheSystemRefusesIsAccessDeniedAndKeepsItsListing) {
    const fs::path folder = root / "models";
    fs::create_directories(folder);
    Write(folder / "gta3.img", "archive bytes");
    if (!MakeImmutable(folder)) GTEST_SKIP() << "chattr +i cannot be set from Wine here";
    EXPECT_EQ(Kind([&] { archive::SystemFileSystem().CheckCanCreateIn(Utf8(folder)); }), ErrorKind::AccessDenied);
    EXPECT_EQ(Listing(folder), (std::set<std::string>{"gta3.img"}));
}

// Windows makes files in a folder with the read-only attribute: the
// attribute names a folder only where the system really refuses it files.
TEST_F(ElevationWin, AFolderIsNamedReadOnlyOnlyWhereItRefusesFiles) {
    const fs::path folder = root / "models";
    fs::create_directories(folder);
    MarkReadOnly(folder);
    ASSERT_TRUE(archive::SystemFileSystem().MarkedReadOnly(Utf8(folder)));
    const std::vector<WritePlace> places = {{WritePlace::Kind::Folder, Utf8(folder)},
                                            {WritePlace::Kind::Folder, Utf8(folder / "Backups" / "gta3.img")}};
    EXPECT_TRUE(DeniedPlaces(places, archive::SystemFileSystem()).empty());
    EXPECT_TRUE(Listing(folder).empty());

    if (!MakeImmutable(folder)) GTEST_SKIP() << "chattr +i cannot be set from Wine here";
    const auto denied = DeniedPlaces(places, archive::SystemFileSystem());
    ASSERT_EQ(denied.size(), 1u);
    EXPECT_EQ(denied[0].kind, DeniedPlace::Kind::ReadOnly);
    EXPECT_EQ(denied[0].path, Utf8(folder));
    EXPECT_EQ(DeniedText(denied[0], true), Utf8(folder) + " is marked read-only (Properties, untick Read-only).");
}

// Wine starts a "runas" program at once, without a prompt: the recorder,
// named like the tool, shows how it was started.
TEST_F(ElevationWin, RunElevatedStartsAProgramNamedDotPlugWithTheArgumentsIntact) {
    const fs::path recorder = root / "Install.plug";
    fs::copy_file(fs::path(win32::Widen(VELTRIN_RECORDER_PATH)), recorder);
    const std::vector<std::string> args = {"-script", R"(C:\Program Files (x86)\Rockstar Games\Install.dat)",
                                           R"(trailing\)", R"(a "quoted" word)", ""};
    const RelaunchResult result = RunElevated(recorder.wstring(), args);
    ASSERT_EQ(result.outcome, RelaunchResult::Outcome::Finished) << result.why;
    EXPECT_EQ(result.status, 0);
    const std::string record = ReadText(root / "launch_record.txt");
    EXPECT_NE(record.find("argc=6\n"), std::string::npos) << record;
    for (size_t i = 0; i < args.size(); ++i)
        EXPECT_NE(record.find("arg" + std::to_string(i + 1) + "=" + args[i] + "\n"), std::string::npos) << record;
    EXPECT_NE(record.find("cwd=" + Utf8(fs::current_path())), std::string::npos) << record;

    const RelaunchResult missing = RunElevated((root / "none.plug").wstring(), args);
    EXPECT_EQ(missing.outcome, RelaunchResult::Outcome::Failed);
    EXPECT_FALSE(missing.why.empty());
}

// The whole tool, started as a player's installer would start it: without
// administrator rights (Wine's limited token), in a console window of its own,
// on a game whose archive the system refuses.
class ElevationToolWin : public ElevationWin {
protected:
    fs::path app;
    fs::path game;
    fs::path archivePath;

    void SetUp() override {
        ElevationWin::SetUp();
        app = root / "Veltrin V1";
        game = root / "Program Files (x86)" / "Rockstar Games" / "GTA San Andreas";
        archivePath = game / "models" / "gta3.img";
        fs::create_directories(app / "gta3.img");
        fs::create_directories(game / "models");
        MakeArchive(archive::SystemFileSystem(), Utf8(archivePath), {{"a.dff", Pattern(3000, 1)}});
        std::ofstream(app / "gta3.img" / "a.dff", std::ios::binary) << Text(Pattern(2500, 11));
        std::string script;
        for (const auto& line : install::testing::BlockLinesOf(install::Block::Gta3, Utf8(game), Utf8(app), {"a.dff"}))
            script += line + "\r\n";
        Write(app / "Install.dat", script);
    }

    // Starts the tool with the limited token of this (elevated) process.
    UniqueHandle Start(DWORD flags, HANDLE input = nullptr, HANDLE output = nullptr) const {
        HANDLE token = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &token)) return {};
        const UniqueHandle own(token);
        TOKEN_LINKED_TOKEN linked{};
        DWORD size = 0;
        if (!::GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &size)) return {};
        const UniqueHandle limitedToken(linked.LinkedToken);
        HANDLE primary = nullptr;
        if (!::DuplicateTokenEx(linked.LinkedToken, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary,
                                &primary))
            return {};
        const UniqueHandle limited(primary);
        const std::wstring program = win32::Widen(VELTRIN_TOOL_PATH);
        std::wstring commandLine = L"\"" + program + L"\" -script \"" + (app / "Install.dat").wstring() + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        if (input) {
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdInput = input;
            startup.hStdOutput = output;
            startup.hStdError = output;
        }
        PROCESS_INFORMATION info{};
        if (!::CreateProcessAsUserW(limited.Get(), program.c_str(), commandLine.data(), nullptr, nullptr,
                                    input != nullptr, flags, nullptr, nullptr, &startup, &info))
            return {};
        ::CloseHandle(info.hThread);
        processId = info.dwProcessId;
        return UniqueHandle(info.hProcess);
    }

    // What the console of the process shows, rows joined by line feeds.
    std::wstring Screen() const {
        ::FreeConsole();
        if (!::AttachConsole(processId)) return {};
        std::wstring text = HeldScreen();
        ::FreeConsole();
        return text;
    }

    // Types the keys (and Enter) into the console of the process.
    bool Type(const std::wstring& keys) const {
        ::FreeConsole();
        if (!::AttachConsole(processId)) return false;
        const bool typed = TypeIntoHeld(keys);
        ::FreeConsole();
        return typed;
    }

    // What the console this test is attached to shows.
    static std::wstring HeldScreen() {
        std::wstring text;
        UniqueHandle out(::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
        CONSOLE_SCREEN_BUFFER_INFO info{};
        if (!out || !::GetConsoleScreenBufferInfo(out.Get(), &info)) return text;
        const auto width = static_cast<DWORD>(info.dwSize.X);
        std::wstring row(width, L' ');
        for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
            DWORD read = 0;
            if (!::ReadConsoleOutputCharacterW(out.Get(), row.data(), width, COORD{0, y}, &read)) break;
            std::wstring line = row.substr(0, read);
            line.erase(line.find_last_not_of(L' ') + 1);
            text += line + L"\n";
        }
        return text;
    }

    // Types the keys (and Enter) into the console this test is attached to.
    static bool TypeIntoHeld(const std::wstring& keys) {
        UniqueHandle in(::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
        std::vector<INPUT_RECORD> records;
        for (const wchar_t c : keys + L"\r") {
            for (const bool down : {true, false}) {
                INPUT_RECORD record{};
                record.EventType = KEY_EVENT;
                record.Event.KeyEvent.bKeyDown = down ? TRUE : FALSE;
                record.Event.KeyEvent.wRepeatCount = 1;
                const WORD key = c == L'\r' ? VK_RETURN : static_cast<WORD>(::VkKeyScanW(c) & 0xff);
                record.Event.KeyEvent.wVirtualKeyCode = key;
                record.Event.KeyEvent.wVirtualScanCode = static_cast<WORD>(::MapVirtualKeyW(key, MAPVK_VK_TO_VSC));
                record.Event.KeyEvent.uChar.UnicodeChar = c;
                records.push_back(record);
            }
        }
        DWORD written = 0;
        return in && ::WriteConsoleInputW(in.Get(), records.data(), static_cast<DWORD>(records.size()), &written) &&
               written == records.size();
    }

    // Follows a run's console window to the run's end and returns its last
    // screen. The test holds the console from the first moment it can until
    // the run has ended, so that the screen stays readable whatever the run
    // decides: a run that sees the test attached takes its window for shared
    // and ends without asking for Enter; one that decided before asks, and
    // is answered. A run cannot end unseen: alone in its window it waits.
    static std::wstring FollowToTheEnd(DWORD id, HANDLE run) {
        ::FreeConsole();
        const auto end = std::chrono::steady_clock::now() + 60s;
        bool held = false;
        while (!held && std::chrono::steady_clock::now() < end && ::WaitForSingleObject(run, 0) == WAIT_TIMEOUT) {
            held = ::AttachConsole(id) != FALSE;
            if (!held) std::this_thread::sleep_for(20ms);
        }
        if (!held) return L"(the run's console could not be attached)";
        bool answered = false;
        while (::WaitForSingleObject(run, 50) == WAIT_TIMEOUT && std::chrono::steady_clock::now() < end) {
            if (!answered && HeldScreen().find(L"Press Enter to close this window.") != std::wstring::npos)
                answered = TypeIntoHeld(L"");
        }
        std::wstring last = HeldScreen();
        ::FreeConsole();
        return last;
    }

    bool WaitFor(const std::wstring& text, std::chrono::seconds limit = 60s) const {
        for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
            if (Screen().find(text) != std::wstring::npos) return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    mutable DWORD processId = 0;
};

TEST_F(ElevationToolWin, AnsweringNoEndsWithAccessDeniedAndChangesNothing) {
    const std::string before = ReadText(archivePath);
    if (!MakeImmutable(archivePath)) GTEST_SKIP() << "chattr +i cannot be set from Wine here";
    const UniqueHandle process = Start(CREATE_NEW_CONSOLE);
    ASSERT_TRUE(process) << "the tool did not start with a limited token: " << ::GetLastError();
    ASSERT_TRUE(WaitFor(L"[y/N]")) << win32::Narrow(Screen());
    // Console rows wrap long lines and drop their trailing blanks: compare
    // without blanks and row ends.
    const auto squeezed = [](const std::string& text) {
        std::string kept;
        for (const char c : text)
            if (c != '\n' && c != ' ') kept += c;
        return kept;
    };
    const std::string denied =
        "Windows does not let this account change " + Utf8(archivePath) + " (it is probably in Program Files).";
    const std::string asking = win32::Narrow(Screen());
    EXPECT_NE(squeezed(asking).find(squeezed(denied + "\n" + std::string(kElevateQuestion))), std::string::npos)
        << asking;
    ASSERT_TRUE(Type(L"n"));
    // It asks for Enter before its window closes, unless it saw this test
    // attached to its console just then and took the window for shared; the
    // window may then be gone before the test reads its last lines, which the
    // log holds.
    for (auto end = std::chrono::steady_clock::now() + 60s;
         ::WaitForSingleObject(process.Get(), 50) != WAIT_OBJECT_0 && std::chrono::steady_clock::now() < end;) {
        if (Screen().find(L"Press Enter to close this window.") != std::wstring::npos) Type(L"");
    }
    const std::string log = ReadText(app / "Install.log");
    ASSERT_EQ(::WaitForSingleObject(process.Get(), 0), WAIT_OBJECT_0) << log;
    DWORD status = 0;
    ::GetExitCodeProcess(process.Get(), &status);
    EXPECT_EQ(status, 7u) << log;
    EXPECT_NE(log.find(denied + "\r\nerror: access denied: run as administrator or move the game out of Program "
                                "Files\r\nnothing was changed\r\nfailed\r\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(ReadText(archivePath), before);
    EXPECT_FALSE(fs::exists(app / "Backups"));
    EXPECT_EQ(Listing(game / "models"), (std::set<std::string>{"gta3.img"}));
}

// Answering yes starts the shipped tool again through runas, which loads the
// shell only then (the tool does not import it). Wine starts the new run at
// once; the archive is writable again by then, so the new run installs and
// the first ends with its status.
TEST_F(ElevationToolWin, AnsweringYesRunsTheScriptAgainWithAdministratorRights) {
    const std::string before = ReadText(archivePath);
    if (!MakeImmutable(archivePath)) GTEST_SKIP() << "chattr +i cannot be set from Wine here";
    const UniqueHandle process = Start(CREATE_NEW_CONSOLE);
    ASSERT_TRUE(process) << "the tool did not start with a limited token: " << ::GetLastError();
    ASSERT_TRUE(WaitFor(L"[y/N]")) << win32::Narrow(Screen());
    ASSERT_EQ(RunOnLinux("chattr -i '" + UnixPath(archivePath) + "'", marker), 0);
    ASSERT_TRUE(Type(L"y"));
    // The new run has a console window of its own, and the first run waits
    // for it to end before it says how it ended.
    const DWORD first = processId;
    DWORD secondId = 0;
    for (auto end = std::chrono::steady_clock::now() + 60s; secondId == 0 && std::chrono::steady_clock::now() < end;) {
        secondId = ChildOf(first);
        if (secondId == 0) std::this_thread::sleep_for(20ms);
    }
    ASSERT_NE(secondId, 0u) << "no second run was started";
    const UniqueHandle second(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, secondId));
    ASSERT_TRUE(second) << ::GetLastError();
    const std::wstring secondScreen = FollowToTheEnd(secondId, second.Get());
    EXPECT_EQ(::WaitForSingleObject(second.Get(), 0), WAIT_OBJECT_0) << win32::Narrow(secondScreen);
    EXPECT_NE(secondScreen.find(L"\ndone\n"), std::wstring::npos) << win32::Narrow(secondScreen);
    const std::string screen = win32::Narrow(FollowToTheEnd(first, process.Get()));
    ASSERT_EQ(::WaitForSingleObject(process.Get(), 0), WAIT_OBJECT_0) << screen;
    DWORD status = 99;
    ::GetExitCodeProcess(process.Get(), &status);
    EXPECT_EQ(status, 0u) << screen;
    EXPECT_NE(screen.find("the administrator's window finished with status 0"), std::string::npos) << screen;
    EXPECT_NE(ReadText(archivePath), before);
    EXPECT_TRUE(fs::exists(app / "Backups" / "gta3.img" / "a.dff"));
    const std::string log = ReadText(app / "Install.log");
    EXPECT_NE(log.find("\r\ndone\r\n"), std::string::npos) << log;
}

// A game copied from a disc keeps the read-only attribute on its files. No
// administrator may write them either: the tool names the attribute and
// ends with access denied, without offering administrator rights.
TEST_F(ElevationToolWin, AReadOnlyArchiveIsNamedAsSuchAndNothingIsOffered) {
    const std::string before = ReadText(archivePath);
    MarkReadOnly(archivePath);
    const UniqueHandle process = Start(CREATE_NEW_CONSOLE);
    ASSERT_TRUE(process) << "the tool did not start with a limited token: " << ::GetLastError();
    // A question would hold the tool until it is answered: it is answered
    // no, and counted.
    bool asked = false;
    for (auto end = std::chrono::steady_clock::now() + 60s;
         ::WaitForSingleObject(process.Get(), 50) != WAIT_OBJECT_0 && std::chrono::steady_clock::now() < end;) {
        const std::wstring shown = Screen();
        if (!asked && shown.find(L"[y/N]") != std::wstring::npos) {
            asked = true;
            Type(L"n");
        }
        if (shown.find(L"Press Enter to close this window.") != std::wstring::npos) Type(L"");
    }
    ASSERT_EQ(::WaitForSingleObject(process.Get(), 0), WAIT_OBJECT_0);
    DWORD status = 0;
    ::GetExitCodeProcess(process.Get(), &status);
    // What the window showed is what the log holds (the screen may be read
    // after the window is gone).
    const std::string log = ReadText(app / "Install.log");
    EXPECT_EQ(status, 7u) << log;
    EXPECT_FALSE(asked) << log;
    EXPECT_NE(log.find(Utf8(archivePath) +
                       " is marked read-only (Properties, untick Read-only).\r\n"
                       "error: access denied: take the read-only mark off what is named above and run again "
                       "(administrator rights do not lift it)\r\nnothing was changed\r\nfailed\r\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("(it is probably in Program Files)"), std::string::npos) << log;
    EXPECT_TRUE(ReadText(archivePath) == before) << "the archive changed";
    EXPECT_FALSE(fs::exists(app / "Backups"));
    EXPECT_EQ(Listing(game / "models"), (std::set<std::string>{"gta3.img"}));
}

TEST_F(ElevationToolWin, WithInputFromAPipeItDoesNotAskAndChangesNothing) {
    const std::string before = ReadText(archivePath);
    if (!MakeImmutable(game / "models")) GTEST_SKIP() << "chattr +i cannot be set from Wine here";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE inRead = nullptr;
    HANDLE inWrite = nullptr;
    HANDLE outRead = nullptr;
    HANDLE outWrite = nullptr;
    ASSERT_TRUE(::CreatePipe(&inRead, &inWrite, &inherit, 0));
    ASSERT_TRUE(::CreatePipe(&outRead, &outWrite, &inherit, 1 << 20));
    UniqueHandle inR(inRead), inW(inWrite), outR(outRead), outW(outWrite);
    ::SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    DWORD written = 0;
    ::WriteFile(inWrite, "y\r\n", 3, &written, nullptr);  // a pipe is nobody to ask
    inW.Reset();
    const UniqueHandle process = Start(CREATE_NO_WINDOW, inRead, outWrite);
    ASSERT_TRUE(process);
    inR.Reset();
    outW.Reset();
    std::string output;
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(outRead, buffer, sizeof buffer, &got, nullptr) && got > 0) output.append(buffer, got);
    ASSERT_EQ(::WaitForSingleObject(process.Get(), 30000), WAIT_OBJECT_0);
    DWORD status = 0;
    ::GetExitCodeProcess(process.Get(), &status);
    EXPECT_EQ(status, 7u) << output;
    EXPECT_NE(output.find("Windows does not let this account create files in " + Utf8(game / "models") +
                          " (it is probably in Program Files).\r\n"),
              std::string::npos)
        << output;
    EXPECT_EQ(output.find("[y/N]"), std::string::npos) << output;
    EXPECT_NE(output.find("error: access denied: run as administrator or move the game out of Program Files\r\n"
                          "nothing was changed\r\nfailed\r\n"),
              std::string::npos)
        << output;
    // Without the check the run would have written the backup before failing at the save.
    EXPECT_FALSE(fs::exists(app / "Backups"));
    EXPECT_EQ(ReadText(archivePath), before);
    EXPECT_EQ(Listing(game / "models"), (std::set<std::string>{"gta3.img"}));
}

}  // namespace
}  // namespace veltrin::tool
