// What both shipped programs set up at start-up, seen from inside the running
// process (remote_call.h): its error mode, and whether it loads a DLL that
// lies beside the program. A
// program that loads DLLs only from the system folder does not find it; one
// that searches its own folder first (a downloads folder, say) loads it.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>

#include "remote_call.h"
#include "win32/unique_handle.h"

namespace veltrin::startup {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using win32::UniqueHandle;

constexpr wchar_t kProbeDll[] = L"veltrin_probe.dll";

fs::path FromUnix(const std::string& unixPath) {
    std::string path = "Z:" + unixPath;
    for (char& c : path)
        if (c == '/') c = '\\';
    return fs::path(path);
}

bool Recorded(const fs::path& record) {
    std::ifstream file(record, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return text.find("show=") != std::string::npos;
}

// Whether the process has a top-level window of that class.
bool WindowOf(DWORD processId, const wchar_t* windowClass) {
    for (HWND window = ::FindWindowExW(nullptr, nullptr, windowClass, nullptr); window;
         window = ::FindWindowExW(nullptr, window, windowClass, nullptr)) {
        DWORD owner = 0;
        ::GetWindowThreadProcessId(window, &owner);
        if (owner == processId) return true;
    }
    return false;
}

class StartupTest : public ::testing::Test {
protected:
    fs::path folder;  // the program and the probe DLL beside it

    void SetUp() override {
        folder = fs::temp_directory_path() /
                 (std::string("veltrin startup ") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        fs::create_directories(folder);
        fs::copy_file(FromUnix(VELTRIN_PROBE_DLL), folder / kProbeDll);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    // The error mode and the DLL search the programs set for themselves.
    static void ExpectHardened(HANDLE process) {
        EXPECT_EQ(remote::ErrorModeOf(process), static_cast<UINT>(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX));
        EXPECT_FALSE(remote::LoadsLibrary(process, kProbeDll)) << "a DLL beside the program was loaded";
    }
};

// The launch recorder restricts nothing: it has recorded its start (and
// then waits, told so by the delay file), so its loader is done.
TEST_F(StartupTest, TheProbeLoadsWhereTheSearchIsNotRestricted) {
    fs::copy_file(FromUnix(VELTRIN_RECORDER_EXE), folder / "recorder.exe");
    std::ofstream(folder / "recorder_delay_ms.txt") << 20000;
    std::wstring commandLine = L"\"" + (folder / "recorder.exe").wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(::CreateProcessW((folder / "recorder.exe").c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                                 nullptr, folder.c_str(), &startup, &info));
    const UniqueHandle process(info.hProcess);
    const UniqueHandle thread(info.hThread);
    const auto limit = std::chrono::steady_clock::now() + 30s;
    while (!Recorded(folder / "launch_record.txt") && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(Recorded(folder / "launch_record.txt"));
    EXPECT_TRUE(remote::LoadsLibrary(process.Get(), kProbeDll));
    ::TerminateProcess(process.Get(), 0);
    ::WaitForSingleObject(process.Get(), 5000);
}

TEST_F(StartupTest, InstallExeFailsDriveErrorsQuietlyAndLoadsOnlySystemDlls) {
    fs::copy_file(FromUnix(VELTRIN_INSTALL_EXE), folder / "Install.exe");
    std::wstring commandLine = L"\"" + (folder / "Install.exe").wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(::CreateProcessW((folder / "Install.exe").c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                                 nullptr, folder.c_str(), &startup, &info));
    const UniqueHandle process(info.hProcess);
    const UniqueHandle thread(info.hThread);
    // Its start-up is over once its window exists.
    const auto limit = std::chrono::steady_clock::now() + 30s;
    while (!WindowOf(info.dwProcessId, L"VeltrinInstallForm1") && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(WindowOf(info.dwProcessId, L"VeltrinInstallForm1")) << "Form1 did not appear";
    ExpectHardened(process.Get());
    ::TerminateProcess(process.Get(), 0);
    ::WaitForSingleObject(process.Get(), 5000);
}

TEST_F(StartupTest, InstallPlugFailsDriveErrorsQuietlyAndLoadsOnlySystemDlls) {
    fs::copy_file(FromUnix(VELTRIN_INSTALL_PLUG), folder / "Install.plug");
    // In a console of its own the tool waits for Enter after its help, read
    // from this pipe.
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
    std::wstring commandLine = L"\"" + (folder / "Install.plug").wstring() + L"\" --help";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = outWrite;
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(::CreateProcessW((folder / "Install.plug").c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                 CREATE_NEW_CONSOLE, nullptr, folder.c_str(), &startup, &info));
    const UniqueHandle process(info.hProcess);
    const UniqueHandle thread(info.hThread);
    inR.Reset();
    outW.Reset();
    std::string output;
    char buffer[4096];
    DWORD got = 0;
    while (output.find("Press Enter to close this window.") == std::string::npos &&
           ::ReadFile(outRead, buffer, sizeof buffer, &got, nullptr) && got > 0)
        output.append(buffer, got);
    ASSERT_NE(output.find("Press Enter to close this window."), std::string::npos) << output;
    ExpectHardened(process.Get());
    DWORD written = 0;
    ::WriteFile(inWrite, "\r\n", 2, &written, nullptr);
    EXPECT_EQ(::WaitForSingleObject(process.Get(), 20000), WAIT_OBJECT_0);
    DWORD status = 99;
    ::GetExitCodeProcess(process.Get(), &status);
    EXPECT_EQ(status, 0u) << output;
}

}  // namespace
}  // namespace veltrin::startup
