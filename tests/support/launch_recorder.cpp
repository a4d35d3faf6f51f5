// Stands in for Install.plug in tests: records how it was started into
// launch_record.txt beside itself (UTF-8, one fact a line), then, if
// recorder_delay_ms.txt lies beside it, waits that long and appends "finished".
// It ends with the status that recorder_status.txt beside it holds, else 0.
#include <windows.h>

#include <shellapi.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

std::string Utf8(const std::wstring& wide) {
    if (wide.empty()) return {};
    const int size = static_cast<int>(wide.size());
    const int count = WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<size_t>(count), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, text.data(), count, nullptr, nullptr);
    return text;
}

std::wstring OwnFolder() {
    wchar_t path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

}  // namespace

int wmain() {
    const std::wstring folder = OwnFolder();
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    GetStartupInfoW(&startup);
    wchar_t cwd[MAX_PATH * 4];
    GetCurrentDirectoryW(MAX_PATH * 4, cwd);
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    {
        std::ofstream record(std::filesystem::path(folder + L"\\launch_record.txt"), std::ios::binary);
        record << "commandline=" << Utf8(GetCommandLineW()) << "\n";
        record << "argc=" << argc << "\n";
        for (int i = 1; i < argc; ++i) record << "arg" << i << "=" << Utf8(argv[i]) << "\n";
        record << "cwd=" << Utf8(cwd) << "\n";
        const bool flagged = (startup.dwFlags & STARTF_USESHOWWINDOW) != 0;
        record << "show=" << (flagged ? static_cast<int>(startup.wShowWindow) : -1) << "\n";
    }
    LocalFree(argv);
    std::ifstream delayFile(std::filesystem::path(folder + L"\\recorder_delay_ms.txt"));
    DWORD delay = 0;
    if (delayFile >> delay) {
        Sleep(delay);
        std::ofstream(std::filesystem::path(folder + L"\\launch_record.txt"), std::ios::binary | std::ios::app)
            << "finished\n";
    }
    std::ifstream statusFile(std::filesystem::path(folder + L"\\recorder_status.txt"));
    DWORD status = 0;
    if (statusFile >> status) return static_cast<int>(status);
    return 0;
}
