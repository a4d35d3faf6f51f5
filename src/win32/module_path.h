#pragma once
// The full path of the running program, however long.
#include <string>

namespace veltrin::win32 {

// Empty when the system cannot say; GetLastError() then tells why.
std::wstring ProgramPath();

}  // namespace veltrin::win32
