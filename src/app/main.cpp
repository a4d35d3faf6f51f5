// Install.exe: start-up is opening Form1; everything else happens in its
// event handlers, on this one thread.
#include <windows.h>

#include <commctrl.h>

#include "window/form1.h"

namespace {

// DLLs are loaded from the system folder only, never from the folder the
// installer was started from (often a downloads folder). Older systems
// without SetDefaultDllDirectories at least drop the current folder.
void RestrictDllSearch() {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    const auto setDefault = kernel32 ? reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(
                                           ::GetProcAddress(kernel32, "SetDefaultDllDirectories")))
                                     : nullptr;
    if (!setDefault || !setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) ::SetDllDirectoryW(L"");
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int showCommand) {
    RestrictDllSearch();
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);

    veltrin::window::Form1 form;
    if (!form.Open(showCommand)) return 9;
    MSG message{};
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (::IsDialogMessageW(form.Handle(), &message)) continue;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
