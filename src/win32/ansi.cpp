#include "win32/ansi.h"

#include <windows.h>

#include <stdexcept>

#include "win32/text.h"

namespace veltrin::win32 {

std::optional<std::string> ToAnsi(std::string_view utf8) {
    std::wstring wide;
    try {
        wide = Widen(utf8);
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
    if (wide.empty()) return std::string();
    const UINT codePage = ::GetACP();
    const bool utf8System = codePage == CP_UTF8;
    const DWORD flags = utf8System ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* usedDefaultOut = utf8System ? nullptr : &usedDefault;
    const int size = static_cast<int>(wide.size());
    const int count = ::WideCharToMultiByte(codePage, flags, wide.data(), size, nullptr, 0, nullptr, usedDefaultOut);
    if (count <= 0 || usedDefault) return std::nullopt;
    std::string ansi(static_cast<size_t>(count), '\0');
    ::WideCharToMultiByte(codePage, flags, wide.data(), size, ansi.data(), count, nullptr, usedDefaultOut);
    if (usedDefault) return std::nullopt;
    return ansi;
}

}  // namespace veltrin::win32
