#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "archive/file_io.h"
#include "tool/common/command_line.h"
#include "tool/common/console.h"
#include "tool/shell/tool_main.h"
#include "win32/start_up.h"
#include "win32/text.h"

// The arguments come from the whole UTF-16 command line, split by the
// standard rules, so any path the system can name reaches the tool intact.
int wmain(int, wchar_t**) {
    veltrin::win32::HardenProcess();
    auto& console = veltrin::tool::SystemConsole();
    std::vector<std::string> args;
    try {
        args = veltrin::tool::SplitCommandLine(veltrin::win32::Narrow(::GetCommandLineW()));
    } catch (const std::runtime_error& error) {
        console.Write(std::string("error: the command line is not valid text: ") + error.what() + "\n");
        return 1;
    }
    return veltrin::tool::RunTool(args, console, veltrin::archive::SystemFileSystem());
}
