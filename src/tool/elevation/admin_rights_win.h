#pragma once
// The Win32 side of AdminRights, open to tests: starting a given program
// with administrator rights, as SystemAdminRights does with this one.
#include <windows.h>

#include <string>
#include <vector>

#include "tool/elevation/admin_rights.h"

namespace veltrin::tool {

// ShellExecuteEx with the "runas" verb: the system asks the user (UAC), then
// starts the program, which is run as a program whatever its name ends in
// (Install.plug is not an .exe). Waits for it to end.
RelaunchResult RunElevated(const std::wstring& program, const std::vector<std::string>& arguments);

}  // namespace veltrin::tool
