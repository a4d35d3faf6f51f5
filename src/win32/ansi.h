#pragma once
// Text in the system's ANSI code page, the one the installer's script is
// written in and the archive tool reads it back with.
#include <optional>
#include <string>
#include <string_view>

namespace veltrin::win32 {

// The UTF-8 text in the system's ANSI code page, or nothing when a character
// has no exact counterpart there (no best-fit look-alikes, no '?').
std::optional<std::string> ToAnsi(std::string_view utf8);

}  // namespace veltrin::win32
