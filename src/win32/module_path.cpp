#include "win32/module_path.h"

#include <windows.h>

namespace veltrin::win32 {

std::wstring ProgramPath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);  // cut short: try again with more room
    }
}

std::wstring CurrentFolder() {
    std::wstring path;
    for (;;) {
        // Too little room: the length it needs, its terminator included.
        const DWORD length = ::GetCurrentDirectoryW(static_cast<DWORD>(path.size()), path.data());
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(length);  // the folder changed in between, or the first call: try again
    }
}

}  // namespace veltrin::win32
