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

namespace veltrin::tool {
namespace {

TEST(ToolCommandLine, TakesAnUnquotedProgramPathWithSpacesWhole) {
    const std::string own = R"(D:\My Mods\Veltrin V1\Install.plug)";
    struct Case {
        std::string line;
        std::vector<std::string> args;
    };
    const std::vector<Case> cases = {
        // The installer's own form: the program unquoted, the script quoted.
        {R"(D:\My Mods\Veltrin V1\Install.plug -script "D:\My Mods\Veltrin V1\Install.dat")",
         {own, "-script", R"(D:\My Mods\Veltrin V1\Install.dat)"}},
        // The system may report the path in another case.
        {R"(d:\my mods\VELTRIN V1\install.PLUG -script x)", {R"(d:\my mods\VELTRIN V1\install.PLUG)", "-script", "x"}},
        // A path that does not spell ownPath (a short 8.3 form, say) ends at ".plug".
        {R"(D:\MYMODS~1\Veltrin V1\Install.plug list "a b.img")",
         {R"(D:\MYMODS~1\Veltrin V1\Install.plug)", "list", "a b.img"}},
        {R"(D:\My Mods\Veltrin V1\Install.plug)", {own}},
        // Quoted or space-free program paths split as always.
        {R"("D:\My Mods\Veltrin V1\Install.plug" -script "x y")", {own, "-script", "x y"}},
        {R"(Install.plug --help)", {"Install.plug", "--help"}},
        {R"(tool.exe a b)", {"tool.exe", "a", "b"}},
        {"", {}},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.line);
        EXPECT_EQ(SplitToolCommandLine(item.line, own), item.args);
    }
}

TEST(ToolCommandLine, ArgumentsAloneFollowTheSameRules) {
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
        EXPECT_EQ(SplitToolCommandLine(R"("C:\Program Files\Mod\Install.plug" )" + line, "x"), whole);
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
