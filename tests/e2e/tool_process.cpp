#include "tool_process.h"

#include <tlhelp32.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

namespace veltrin::e2e::test {
namespace {

struct Handle {
    HANDLE value = nullptr;
    explicit Handle(HANDLE h) : value(h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (value && value != INVALID_HANDLE_VALUE) ::CloseHandle(value);
    }
};

INPUT_RECORD EnterKey(bool down) {
    INPUT_RECORD record{};
    record.EventType = KEY_EVENT;
    record.Event.KeyEvent.bKeyDown = down ? TRUE : FALSE;
    record.Event.KeyEvent.wRepeatCount = 1;
    record.Event.KeyEvent.wVirtualKeyCode = VK_RETURN;
    record.Event.KeyEvent.wVirtualScanCode = static_cast<WORD>(::MapVirtualKeyW(VK_RETURN, MAPVK_VK_TO_VSC));
    record.Event.KeyEvent.uChar.UnicodeChar = L'\r';
    return record;
}

}  // namespace

std::vector<DWORD> ToolProcesses() {
    std::vector<DWORD> ids;
    Handle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (snapshot.value == INVALID_HANDLE_VALUE) return ids;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.value, &entry); more; more = ::Process32NextW(snapshot.value, &entry))
        if (::lstrcmpiW(entry.szExeFile, L"Install.plug") == 0) ids.push_back(entry.th32ProcessID);
    return ids;
}

bool TypeEnterInto(DWORD processId) {
    ::FreeConsole();
    if (!::AttachConsole(processId)) return false;
    bool typed = false;
    {
        Handle input(::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
        if (input.value != INVALID_HANDLE_VALUE) {
            const INPUT_RECORD keys[2] = {EnterKey(true), EnterKey(false)};
            DWORD written = 0;
            typed = ::WriteConsoleInputW(input.value, keys, 2, &written) && written == 2;
        }
    }
    ::FreeConsole();
    return typed;
}

std::wstring ConsoleText(DWORD processId) {
    ::FreeConsole();
    if (!::AttachConsole(processId)) return {};
    std::wstring text;
    {
        Handle output(::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
        CONSOLE_SCREEN_BUFFER_INFO info{};
        if (output.value != INVALID_HANDLE_VALUE && ::GetConsoleScreenBufferInfo(output.value, &info)) {
            const auto width = static_cast<DWORD>(info.dwSize.X);
            std::wstring row(width, L' ');
            for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
                DWORD read = 0;
                if (!::ReadConsoleOutputCharacterW(output.value, row.data(), width, COORD{0, y}, &read)) break;
                std::wstring line = row.substr(0, read);
                line.erase(line.find_last_not_of(L' ') + 1);
                text += line + L"\n";
            }
        }
    }
    ::FreeConsole();
    return text;
}

std::optional<ToolEnd> FinishTool(DWORD processId, std::chrono::milliseconds limit) {
    Handle process(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process.value) return std::nullopt;
    ToolEnd end;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    auto nextEnter = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < deadline) {
        if (::WaitForSingleObject(process.value, 100) == WAIT_OBJECT_0) {
            ::GetExitCodeProcess(process.value, &end.status);
            return end;
        }
        const std::wstring screen = ConsoleText(processId);
        if (!screen.empty()) end.screen = screen;
        // The prompt empties the console's input first: Enter is typed again
        // until the process ends, in case one came too early.
        if (screen.find(L"Press Enter to close this window.") != std::wstring::npos &&
            std::chrono::steady_clock::now() >= nextEnter) {
            end.prompted = TypeEnterInto(processId) || end.prompted;
            nextEnter = std::chrono::steady_clock::now() + 1s;
        }
    }
    return std::nullopt;
}

HANDLE StartInOwnConsole(const std::wstring& commandLine, const std::filesystem::path& folder) {
    std::wstring line = commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr, folder.c_str(),
                          &startup, &info))
        return nullptr;
    ::CloseHandle(info.hThread);
    return info.hProcess;
}

ToolRun RunTool(const std::filesystem::path& tool, const std::vector<std::wstring>& args,
                const std::filesystem::path& scratch) {
    std::wstring commandLine = L"\"" + tool.wstring() + L"\"";
    for (const auto& arg : args) commandLine += L" \"" + arg + L"\"";
    static int runs = 0;
    const std::filesystem::path outputPath = scratch / ("tool-output-" + std::to_string(++runs) + ".txt");
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    ToolRun run;
    {
        // Standard input: a pipe whose other end is closed, so it reads as ended.
        HANDLE readEnd = nullptr;
        HANDLE writeEnd = nullptr;
        if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) throw std::runtime_error("cannot make a pipe");
        ::CloseHandle(writeEnd);
        Handle input(readEnd);
        Handle output(::CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                    CREATE_ALWAYS, 0, nullptr));
        if (input.value == INVALID_HANDLE_VALUE || output.value == INVALID_HANDLE_VALUE)
            throw std::runtime_error("cannot create " + outputPath.string() + ": error " +
                                     std::to_string(::GetLastError()));
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = input.value;
        startup.hStdOutput = output.value;
        startup.hStdError = output.value;
        PROCESS_INFORMATION info{};
        if (!::CreateProcessW(tool.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                              nullptr, &startup, &info))
            throw std::runtime_error("Install.plug did not start");
        Handle process(info.hProcess);
        Handle thread(info.hThread);
        if (::WaitForSingleObject(info.hProcess, 120000) != WAIT_OBJECT_0) {
            ::TerminateProcess(info.hProcess, 99);
            throw std::runtime_error("Install.plug did not end");
        }
        ::GetExitCodeProcess(info.hProcess, &run.status);
    }
    std::ifstream file(outputPath, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    run.output = text.str();
    return run;
}

}  // namespace veltrin::e2e::test
