#pragma once
// The few facts about the system that portable code of the tool needs. One
// body per system (platform_win.cpp, platform_posix.cpp).
#include <string>
#include <string_view>

namespace veltrin::tool {

// Text in the system's ANSI code page, as UTF-8. On POSIX systems the bytes
// are taken as UTF-8. Throws std::runtime_error on bytes that are not text
// in that code page.
std::string AnsiToUtf8(std::string_view bytes);

// Why the installer could not write the name into its script, which is in
// the system's ANSI code page, or empty when it can. Elsewhere than on
// Windows the player's code page is unknown: a name beyond ASCII may not fit.
std::string CodePageProblem(std::string_view name);

// '\\' on Windows, '/' elsewhere.
char PathSeparator();

// This computer's name (Windows: its NetBIOS name; elsewhere: the host
// name), as UTF-8; empty when the system will not say. The install record
// keeps it, so that a record made on another computer is told apart.
std::string ComputerName();

}  // namespace veltrin::tool
