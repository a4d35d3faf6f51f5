#pragma once
// The tool as a whole: reads its arguments (the program name first), runs the
// script or the modder command they name and returns the exit status.
#include <string>
#include <string_view>
#include <vector>

#include "archive/file_io.h"
#include "tool/common/console.h"
#include "tool/elevation/admin_rights.h"

namespace veltrin::tool {

std::string HelpText();
// What the tool says when started without a command (double-clicked).
std::vector<std::string_view> IntroductionLines();

// With -script, the run's lines are also added to Install.log beside the
// script, under the run's heading (run_log.h).
// When the tool owns its console window it waits for Enter before it returns.
// Before a -script or -restore run writes anything it checks that it may
// (elevation.h); where it may not, rights may start it again elevated.
int RunTool(const std::vector<std::string>& args, Console& console, archive::FileSystem& fs);
int RunTool(const std::vector<std::string>& args, Console& console, archive::FileSystem& fs, AdminRights& rights);

}  // namespace veltrin::tool
