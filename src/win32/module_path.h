#pragma once
// The paths this process stands on: the running program's and the current
// folder, however long.
#include <string>

namespace veltrin::win32 {

// Empty when the system cannot say; GetLastError() then tells why.
std::wstring ProgramPath();

// The process's current folder; empty when the system cannot say
// (GetLastError() then tells why).
std::wstring CurrentFolder();

}  // namespace veltrin::win32
