#include "text.h"

#include <stdexcept>

namespace veltrin::win32 {

std::wstring Widen(std::string_view utf8) {
    if (utf8.empty()) return {};
    const int size = static_cast<int>(utf8.size());
    const int count = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
    if (count <= 0) throw std::runtime_error("text is not valid UTF-8");
    std::wstring wide(static_cast<size_t>(count), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, wide.data(), count);
    return wide;
}

std::string Narrow(std::wstring_view utf16) {
    if (utf16.empty()) return {};
    const int size = static_cast<int>(utf16.size());
    const int count =
        ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, utf16.data(), size, nullptr, 0, nullptr, nullptr);
    if (count <= 0) throw std::runtime_error("text is not valid UTF-16");
    std::string narrow(static_cast<size_t>(count), '\0');
    ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, utf16.data(), size, narrow.data(), count, nullptr, nullptr);
    return narrow;
}

namespace {

// The message with its inserts ("%1", "%2!s!") replaced by the subject.
// FormatMessage has already resolved the escapes ("%%", "%n"); only the
// inserts are left, as it was told to ignore them.
std::wstring FillInserts(std::wstring_view message, std::wstring_view subject) {
    const auto isDigit = [](wchar_t c) { return c >= L'0' && c <= L'9'; };
    std::wstring text;
    for (size_t i = 0; i < message.size(); ++i) {
        if (message[i] != L'%' || i + 1 == message.size() || !isDigit(message[i + 1]) || message[i + 1] == L'0') {
            text += message[i];
            continue;
        }
        ++i;
        while (i + 1 < message.size() && isDigit(message[i + 1])) ++i;
        if (i + 1 < message.size() && message[i + 1] == L'!') {
            const size_t close = message.find(L'!', i + 2);
            if (close != std::wstring_view::npos) i = close;
        }
        text += subject;
    }
    return text;
}

}  // namespace

std::string SystemMessage(DWORD error, std::string_view subject) {
    const std::string fallback = "system error " + std::to_string(error);
    // Inserts are ignored by FormatMessage, which would otherwise read
    // arguments nobody passed, and filled here instead.
    wchar_t* buffer = nullptr;
    const DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    const std::wstring raw = length ? std::wstring(buffer, length) : L"";
    if (buffer) ::LocalFree(buffer);
    std::wstring text;
    try {
        text = FillInserts(raw, Widen(subject));
    } catch (const std::runtime_error&) {
        return fallback;
    }
    while (!text.empty() &&
           (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' || text.back() == L'.'))
        text.pop_back();
    if (text.empty()) return fallback;
    try {
        return Narrow(text);
    } catch (const std::runtime_error&) {
        return fallback;
    }
}

}  // namespace veltrin::win32
