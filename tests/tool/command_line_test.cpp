#include "tool/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_line_cases.h"

namespace veltrin::tool {
namespace {

TEST(CommandLine, SplitsByTheWindowsRules) {
    for (const auto& item : kCommandLineCases) {
        SCOPED_TRACE(item.line);
        EXPECT_EQ(SplitCommandLine(item.line), item.args);
    }
}

TEST(CommandLine, EmptyLineHasNoArguments) { EXPECT_TRUE(SplitCommandLine("").empty()); }

TEST(CommandLine, TheInstallersOwnLineReachesTheToolIntact) {
    const std::vector<std::string> args =
        SplitCommandLine(R"(D:\My Mods\Veltrin\Install.plug -script "D:\My Mods\Veltrin\Install.dat")");
    // The unquoted program path breaks at its space; the script path does not.
    ASSERT_EQ(args.size(), 4u);
    EXPECT_EQ(args[0], R"(D:\My)");
    EXPECT_EQ(args[2], "-script");
    EXPECT_EQ(args[3], R"(D:\My Mods\Veltrin\Install.dat)");
}

}  // namespace
}  // namespace veltrin::tool
