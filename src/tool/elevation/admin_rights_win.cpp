#include "tool/elevation/admin_rights_win.h"

#include <objbase.h>
#include <shellapi.h>

#include <stdexcept>

#include "tool/common/command_line.h"
#include "win32/module_path.h"
#include "win32/system_library.h"
#include "win32/text.h"
#include "win32/unique_handle.h"

namespace veltrin::tool {
namespace {

class WinAdminRights final : public AdminRights {
public:
    bool CanElevate() override { return true; }

    bool IsElevated() override {
        HANDLE token = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
        const win32::UniqueHandle owned(token);
        TOKEN_ELEVATION elevation{};
        DWORD size = 0;
        if (!::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size)) return false;
        return elevation.TokenIsElevated != 0;
    }

    RelaunchResult RelaunchElevated(const std::vector<std::string>& arguments) override {
        const std::wstring program = win32::ProgramPath();
        if (program.empty()) return {RelaunchResult::Outcome::Failed, 0, win32::SystemMessage(::GetLastError())};
        return RunElevated(program, arguments);
    }
};

}  // namespace

RelaunchResult RunElevated(const std::wstring& program, const std::vector<std::string>& arguments) {
    std::wstring parameters;
    try {
        parameters = win32::Widen(JoinArguments(arguments));
    } catch (const std::runtime_error& error) {
        return {RelaunchResult::Outcome::Failed, 0, error.what()};
    }
    const std::wstring folder = win32::CurrentFolder();
    // The shell and COM are loaded for the relaunch only, not at every start.
    const HMODULE shell32 = win32::LoadSystemLibrary(L"shell32.dll");
    const auto shellExecuteEx = win32::FindFunction<decltype(&::ShellExecuteExW)>(shell32, "ShellExecuteExW");
    if (!shellExecuteEx) return {RelaunchResult::Outcome::Failed, 0, win32::SystemMessage(::GetLastError())};
    const HMODULE ole32 = win32::LoadSystemLibrary(L"ole32.dll");
    const auto coInitializeEx = win32::FindFunction<decltype(&::CoInitializeEx)>(ole32, "CoInitializeEx");
    const auto coUninitialize = win32::FindFunction<decltype(&::CoUninitialize)>(ole32, "CoUninitialize");
    // The shell may hand the start to extensions that need COM.
    const HRESULT com = coInitializeEx && coUninitialize
                            ? coInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)
                            : E_FAIL;
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_CLASSNAME | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.hwnd = ::GetConsoleWindow();
    info.lpVerb = L"runas";
    info.lpFile = program.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = folder.empty() ? nullptr : folder.c_str();
    info.lpClass = L"exefile";
    info.nShow = SW_SHOWNORMAL;
    const BOOL started = shellExecuteEx(&info);
    const DWORD error = ::GetLastError();
    if (SUCCEEDED(com)) coUninitialize();
    if (!started) {
        if (error == ERROR_CANCELLED) return {RelaunchResult::Outcome::Refused, 0, {}};
        return {RelaunchResult::Outcome::Failed, 0, win32::SystemMessage(error)};
    }
    if (!info.hProcess) return {RelaunchResult::Outcome::Failed, 0, "the system started no process"};
    const win32::UniqueHandle process(info.hProcess);
    DWORD status = 0;
    if (::WaitForSingleObject(process.Get(), INFINITE) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(process.Get(), &status))
        return {RelaunchResult::Outcome::Failed, 0, win32::SystemMessage(::GetLastError())};
    return {RelaunchResult::Outcome::Finished, static_cast<int>(status), {}};
}

AdminRights& SystemAdminRights() {
    static WinAdminRights rights;
    return rights;
}

}  // namespace veltrin::tool
