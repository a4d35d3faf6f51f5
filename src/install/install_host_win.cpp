#include "install/install_host_win.h"

#include <cstdint>
#include <optional>
#include <stdexcept>

#include "install/install_error.h"
#include "install/report_box_win.h"
#include "text/path_text.h"
#include "win32/ansi.h"
#include "win32/module_path.h"
#include "win32/text.h"

namespace veltrin::install {
namespace {

std::wstring WidenPath(const std::string& path, Failure failure) {
    try {
        return win32::Widen(path);
    } catch (const std::runtime_error& e) {
        throw InstallError(failure, path, e.what());
    }
}

}  // namespace

bool WinInstallHost::CanEncode(std::string_view text) const { return win32::ToAnsi(text).has_value(); }

// Each failure below takes the system's error right after the call that
// failed, before anything else can replace it.

void WinInstallHost::CreateScript(const std::string& path) {
    scriptPath_ = path;
    const std::wstring widePath = WidenPath(path, Failure::ScriptCreate);
    script_.Reset(::CreateFileW(widePath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!script_) {
        const DWORD error = ::GetLastError();
        throw InstallError(Failure::ScriptCreate, path, win32::SystemMessage(error));
    }
}

void WinInstallHost::WriteScriptLine(std::string_view line) {
    auto ansi = win32::ToAnsi(line);
    if (!ansi) throw InstallError(Failure::NotRepresentable, std::string(line), "");
    ansi->append("\r\n");
    // A write may take only part of the line and still report success (Wine
    // does so on a disk that just filled up); the rest is written again, and
    // that call gives the reason.
    const char* rest = ansi->data();
    auto left = static_cast<DWORD>(ansi->size());
    while (left > 0) {
        DWORD written = 0;
        if (!::WriteFile(script_.Get(), rest, left, &written, nullptr)) {
            const DWORD error = ::GetLastError();
            throw InstallError(Failure::ScriptWrite, scriptPath_, WriteFailureReason(error));
        }
        if (written == 0)
            throw InstallError(Failure::ScriptWrite, scriptPath_, "The system wrote nothing and gave no reason.");
        rest += written;
        left -= written;
    }
}

void WinInstallHost::CloseScript() {
    if (!script_.Close()) {
        const DWORD error = ::GetLastError();
        throw InstallError(Failure::ScriptWrite, scriptPath_, WriteFailureReason(error));
    }
}

std::string WinInstallHost::WriteFailureReason(DWORD error) const {
    const std::string message = win32::SystemMessage(error);
    if (error != ERROR_DISK_FULL && error != ERROR_HANDLE_DISK_FULL) return message;
    ULARGE_INTEGER available{};
    try {
        const std::wstring folder = win32::Widen(scriptPath_.substr(0, scriptPath_.find_last_of('\\') + 1));
        if (!::GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return message;
    } catch (const std::runtime_error&) {
        return message;
    }
    return DiskFullReason(message, available.QuadPart);
}

std::uint32_t WinInstallHost::RunTool(const std::string& program, const std::string& commandLine) {
    const std::wstring wideProgram = WidenPath(program, Failure::ToolLaunch);
    std::wstring wideCommandLine = WidenPath(commandLine, Failure::ToolLaunch);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWMAXIMIZED;
    PROCESS_INFORMATION process{};
    // The program is named explicitly, so nothing is searched for; the tool
    // inherits this process's working folder and no handles.
    if (!::CreateProcessW(wideProgram.c_str(), wideCommandLine.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE,
                          nullptr, nullptr, &startup, &process)) {
        const DWORD error = ::GetLastError();
        // The system's words may name the program ("%1 is not a valid Win32
        // application"): by its file name, as the report names its path.
        throw InstallError(Failure::ToolLaunch, program,
                           win32::SystemMessage(error, program.substr(program.find_last_of('\\') + 1)));
    }
    ::CloseHandle(process.hThread);
    const win32::UniqueHandle tool(process.hProcess);
    if (owner_) ::EnableWindow(owner_, FALSE);
    PumpUntilEnded(tool.Get());
    if (owner_) ::EnableWindow(owner_, TRUE);
    DWORD status = 0;
    if (!::GetExitCodeProcess(tool.Get(), &status)) throw std::runtime_error(win32::SystemMessage(::GetLastError()));
    return status;
}

void WinInstallHost::PumpUntilEnded(HANDLE process) const {
    const HANDLE handles[] = {process};
    for (;;) {
        const DWORD woken = ::MsgWaitForMultipleObjects(1, handles, FALSE, INFINITE, QS_ALLINPUT);
        if (woken == WAIT_OBJECT_0) return;
        if (woken != WAIT_OBJECT_0 + 1) throw std::runtime_error(win32::SystemMessage(::GetLastError()));
        MSG message{};
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            // The program's own loop ends on WM_QUIT; it is passed back to it.
            if (message.message == WM_QUIT) {
                ::PostQuitMessage(static_cast<int>(message.wParam));
                ::WaitForSingleObject(process, INFINITE);
                return;
            }
            if (owner_ && ::IsDialogMessageW(owner_, &message)) continue;
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
}

// A failure report can be long: its box sizes itself to the whole of it.
void WinInstallHost::ShowBox(const std::wstring& text, UINT style) {
    if (style & MB_ICONERROR)
        ShowReportBox(owner_, kAppTitle, text);
    else
        ::MessageBoxW(owner_, text.c_str(), kAppTitle, style);
}

// The tool's window had the foreground until it closed; the box takes it.
void WinInstallHost::ShowSuccess() { ShowBox(L"Install Success !", MB_OK | MB_SETFOREGROUND); }

void WinInstallHost::ShowFailure(const std::string& text) {
    script_.Reset();  // whatever reached the file stays; the handle goes before the box
    std::wstring wide;
    try {
        wide = win32::Widen(text);
    } catch (const std::runtime_error&) {
        wide = L"The installation failed.";
    }
    ShowBox(wide, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

std::string ApplicationFolder() {
    const std::wstring path = win32::ProgramPath();
    if (path.empty()) throw std::runtime_error(win32::SystemMessage(::GetLastError()));
    return std::string(text::FolderOf(win32::Narrow(path)));
}

}  // namespace veltrin::install
