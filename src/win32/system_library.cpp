#include "win32/system_library.h"

#include <string>

namespace veltrin::win32 {

HMODULE LoadSystemLibrary(const wchar_t* name) {
    const UINT size = ::GetSystemDirectoryW(nullptr, 0);
    if (size == 0) return nullptr;
    std::wstring path(size, L'\0');
    const UINT length = ::GetSystemDirectoryW(path.data(), size);
    if (length == 0 || length >= size) return nullptr;
    path.resize(length);
    path += L'\\';
    path += name;
    return ::LoadLibraryW(path.c_str());
}

}  // namespace veltrin::win32
