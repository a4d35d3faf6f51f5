#include <windows.h>

#include <stdexcept>

#include "tool/common/platform.h"
#include "win32/ansi.h"
#include "win32/text.h"

namespace veltrin::tool {

std::string AnsiToUtf8(std::string_view bytes) {
    if (bytes.empty()) return {};
    const int size = static_cast<int>(bytes.size());
    const int count = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
    if (count <= 0) throw std::runtime_error("the text is not valid in the system's code page");
    std::wstring wide(static_cast<size_t>(count), L'\0');
    ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), size, wide.data(), count);
    return win32::Narrow(wide);
}

std::string CodePageProblem(std::string_view name) {
    if (win32::ToAnsi(name)) return {};
    return "the system's ANSI code page (" + std::to_string(::GetACP()) + ") cannot write it";
}

char PathSeparator() { return '\\'; }

std::string ComputerName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (!::GetComputerNameW(name, &size)) return {};
    return win32::Narrow(std::wstring_view(name, size));
}

}  // namespace veltrin::tool
