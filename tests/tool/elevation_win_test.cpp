// The write check and the relaunch under Wine, against what the system
// really refuses: a file or folder with the Linux immutable attribute, which
// Wine reports as access denied. The attribute is set through the Linux side
// (Wine starts Linux programs, without a process to wait on, so each command
// leaves a marker file with its status) and cleared when a test ends; the
// CTest fixture clears the scratch folder again in case a test died.
#include <windows.h>

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
#include "install/script.h"
#include "tool/admin_rights_win.h"
#include "tool/elevation.h"
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
        fs::remove(marker);
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    // Skips the test when the attribute cannot be set here.
    bool MakeImmutable(const fs::path& path) {
        const std::string unix = UnixPath(path);
        if (unix.empty()) return false;
        immutable.push_back(path);
        return RunOnLinux("chattr +i '" + unix + "'", marker) == 0;
    }
    static void Write(const fs::path& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
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
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     0, nullptr));
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

// Wine starts a "runas" program at once, without a prompt: the recorder,
// named like the tool, shows how it was started.
TEST_F(ElevationWin, RunElevatedStartsAProgramNamedDotPlugWithTheArgumentsIntact) {
    const fs::path recorder = root / "Install.plug";
    fs::copy_file(fs::current_path() / ".." / "support" / "launch_recorder.exe", recorder);
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

}  // namespace
}  // namespace veltrin::tool
