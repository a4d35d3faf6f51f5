#include "tool/common/command_line.h"

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

// Why every caller quotes the tool's path: the system splits an unquoted one
// at its first blank, as CommandLineToArgvW does.
TEST(CommandLine, AnUnquotedProgramPathEndsAtItsFirstBlank) {
    const std::vector<std::string> args =
        SplitCommandLine(R"(D:\My Mods\Veltrin\Install.plug -script "D:\My Mods\Veltrin\Install.dat")");
    // The unquoted program path breaks at its space; the script path does not.
    ASSERT_EQ(args.size(), 4u);
    EXPECT_EQ(args[0], R"(D:\My)");
    EXPECT_EQ(args[2], "-script");
    EXPECT_EQ(args[3], R"(D:\My Mods\Veltrin\Install.dat)");
}

TEST(CommandLine, ArgumentsAloneFollowTheSameRules) {
    EXPECT_EQ(SplitArguments(R"(  -script "a\\b c\\" x\"y )"),
              (std::vector<std::string>{"-script", R"(a\\b c\)", R"(x"y)"}));
    EXPECT_TRUE(SplitArguments(" \t ").empty());
}

TEST(JoinArguments, SplitsBackIntoTheSameArguments) {
    for (const auto& args : kJoinCases) {
        const std::string line = JoinArguments(args);
        SCOPED_TRACE(line);
        EXPECT_EQ(SplitArguments(line), args);
        // The relaunched tool sees its own quoted path first.
        std::vector<std::string> whole = {R"(C:\Program Files\Mod\Install.plug)"};
        whole.insert(whole.end(), args.begin(), args.end());
        EXPECT_EQ(SplitCommandLine(R"("C:\Program Files\Mod\Install.plug" )" + line), whole);
    }
}

TEST(JoinArguments, LeavesPlainArgumentsAsTheyAre) {
    EXPECT_EQ(JoinArguments({"-script", R"(C:\Mods\Install.dat)"}), R"(-script C:\Mods\Install.dat)");
    EXPECT_EQ(JoinArguments({"-script", R"(C:\My Mods\)"}), R"(-script "C:\My Mods\\")");
    EXPECT_EQ(JoinArguments({R"(say "hi")"}), R"("say \"hi\"")");
    EXPECT_EQ(JoinArguments({}), "");
}

}  // namespace
}  // namespace veltrin::tool
