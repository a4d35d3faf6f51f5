// The splitter against the system's own CommandLineToArgvW.
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include <gtest/gtest.h>

#include "command_line_cases.h"
#include "tool/common/command_line.h"
#include "win32/text.h"

namespace veltrin::tool {
namespace {

std::vector<std::string> SystemSplit(const std::string& line) {
    int count = 0;
    wchar_t** argv = ::CommandLineToArgvW(win32::Widen(line).c_str(), &count);
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i) args.push_back(win32::Narrow(argv[i]));
    ::LocalFree(argv);
    return args;
}

TEST(CommandLineWin, AgreesWithCommandLineToArgvW) {
    for (const auto& item : kCommandLineCases) {
        SCOPED_TRACE(item.line);
        EXPECT_EQ(SplitCommandLine(item.line), SystemSplit(item.line));
    }
}

TEST(CommandLineWin, JoinedArgumentsComeBackFromCommandLineToArgvW) {
    for (const auto& args : kJoinCases) {
        const std::string line = "\"C:\\Mod\\Install.plug\" " + JoinArguments(args);
        SCOPED_TRACE(line);
        std::vector<std::string> whole = {"C:\\Mod\\Install.plug"};
        whole.insert(whole.end(), args.begin(), args.end());
        EXPECT_EQ(SystemSplit(line), whole);
    }
}

}  // namespace
}  // namespace veltrin::tool
