#include <string>
#include <vector>

#include "archive/file_io.h"
#include "tool/console.h"
#include "tool/tool_main.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv, argv + argc);
    return veltrin::tool::RunTool(args, veltrin::tool::SystemConsole(), veltrin::archive::SystemFileSystem());
}
