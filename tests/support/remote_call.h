#pragma once
// Asks a running program about itself from the outside: a thread started in
// it (CreateRemoteThread) runs one kernel32 function there. kernel32 lies at
// the same address in every process of a session, so its functions can be
// started this way. Used to read what a program set up for itself, such as
// its error mode, which Wine does not pass on to the programs it starts.
#include <windows.h>

#include <stdexcept>
#include <string>

namespace veltrin::remote {

// Runs the kernel32 function in the process with one argument and returns
// the thread's exit code (the low 32 bits of what the function returned).
inline DWORD CallIn(HANDLE process, const char* kernel32Function, void* argument) {
    const auto function = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), kernel32Function)));
    if (!function) throw std::runtime_error(std::string("kernel32 has no ") + kernel32Function);
    const HANDLE thread = ::CreateRemoteThread(process, nullptr, 0, function, argument, 0, nullptr);
    if (!thread) throw std::runtime_error("CreateRemoteThread failed: " + std::to_string(::GetLastError()));
    const DWORD waited = ::WaitForSingleObject(thread, 20000);
    DWORD code = 0;
    ::GetExitCodeThread(thread, &code);
    ::CloseHandle(thread);
    if (waited != WAIT_OBJECT_0) throw std::runtime_error("the thread started in the process did not end");
    return code;
}

// The process's error mode (SEM_FAILCRITICALERRORS, ...).
inline UINT ErrorModeOf(HANDLE process) { return CallIn(process, "GetErrorMode", nullptr); }

// Whether LoadLibraryW of that bare DLL name succeeds in the process, that
// is, whether its DLL search finds the file.
inline bool LoadsLibrary(HANDLE process, const std::wstring& name) {
    const size_t bytes = (name.size() + 1) * sizeof(wchar_t);
    void* remote = ::VirtualAllocEx(process, nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!remote) throw std::runtime_error("VirtualAllocEx failed");
    if (!::WriteProcessMemory(process, remote, name.c_str(), bytes, nullptr)) {
        ::VirtualFreeEx(process, remote, 0, MEM_RELEASE);
        throw std::runtime_error("WriteProcessMemory failed");
    }
    const bool loaded = CallIn(process, "LoadLibraryW", remote) != 0;
    ::VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    return loaded;
}

}  // namespace veltrin::remote
