#include "win32/start_up.h"

#include <windows.h>

namespace veltrin::win32 {

void HardenProcess() {
    // Looked up at run time: Windows 7 has it only with an update.
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    const auto setDefault = kernel32 ? reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(
                                           ::GetProcAddress(kernel32, "SetDefaultDllDirectories")))
                                     : nullptr;
    if (!setDefault || !setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) ::SetDllDirectoryW(L"");
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

}  // namespace veltrin::win32
