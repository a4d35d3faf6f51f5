#pragma once
// Whether an entry name can become a file inside a chosen folder, and only
// there, on Windows and POSIX systems alike.
#include <string>
#include <string_view>

namespace veltrin::tool {

// Empty when the name is a plain file name; else why it is not: empty, "."
// or "..", separators or a drive colon, control characters, characters
// Windows forbids, a trailing dot or space (Windows drops them, so two names
// could land on one file), or a device name such as CON or com1.txt.
std::string UnsafeNameProblem(std::string_view name);

}  // namespace veltrin::tool
