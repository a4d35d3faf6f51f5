#include <string>
#include <vector>

#include "archive/file_io.h"
#include "tool/common/console.h"
#include "tool/shell/tool_main.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv, argv + argc);
    return veltrin::tool::RunTool(args, veltrin::tool::SystemConsole(), veltrin::archive::SystemFileSystem());
}
