#pragma once
// Text at the Win32 boundary: UTF-8 inside the program, UTF-16 for the API.
#include <windows.h>

#include <string>
#include <string_view>

namespace veltrin::win32 {

// Throws std::runtime_error on text that is not valid UTF-8.
std::wstring Widen(std::string_view utf8);
// Throws std::runtime_error on UTF-16 with unpaired surrogates.
std::string Narrow(std::wstring_view utf16);
// The system's own words for an error code, in UTF-8, without the trailing
// line break and full stop. Some messages name what failed through inserts
// ("%1 is not a valid Win32 application"): each is filled with the subject,
// never left as a placeholder, and never read from arguments that were not
// given.
std::string SystemMessage(DWORD error, std::string_view subject = "the file");

}  // namespace veltrin::win32
