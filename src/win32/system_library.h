#pragma once
// A DLL of the system loaded for what only a rare path of a program needs,
// so that the program does not load it at every start.
#include <windows.h>

namespace veltrin::win32 {

// The DLL of that name ("shell32.dll") from the system folder, by its full
// path, so that no copy elsewhere can stand in for it. It stays loaded until
// the process ends: a DLL such as the shell may keep threads of its own
// running after a call returns. Null when it cannot be loaded; GetLastError()
// then tells why.
HMODULE LoadSystemLibrary(const wchar_t* name);

// The module's exported function of that name as a pointer of type Function,
// or null when the module or the function is missing.
template <typename Function>
Function FindFunction(HMODULE module, const char* name) noexcept {
    if (!module) return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

}  // namespace veltrin::win32
