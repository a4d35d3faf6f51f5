#include "install/script.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "block_lines.h"

namespace veltrin::install {
namespace {

using Lines = std::vector<std::string>;

// The lines the run writes for a block of these names.
Lines BlockLines(Block block, const std::string& game, const std::string& app, const Lines& names) {
    return testing::BlockLinesOf(block, game, app, names);
}

Lines Script(const std::string& game, const std::string& app, const Lines& block1, const Lines& block2) {
    Lines lines = BlockLines(Block::Gta3, game, app, block1);
    const Lines second = BlockLines(Block::Player, game, app, block2);
    lines.insert(lines.end(), second.begin(), second.end());
    return lines;
}

TEST(ScriptText, WorkedExampleComesOutExactly) {
    const Lines expected = {
        R"(-open "C:\\Games\\GTA San Andreas\\models\\gta3.img")",
        R"(-export "a.dff" "D:\\Mod\\Backups\\gta3.img\\a.dff")",
        R"(-export "b.txd" "D:\\Mod\\Backups\\gta3.img\\b.txd")",
        R"(-import "D:\\Mod\\gta3.img\\a.dff")",
        R"(-import "D:\\Mod\\gta3.img\\b.txd")",
        R"(-close)",
        R"(-open "C:\\Games\\GTA San Andreas\\models\\player.img")",
        R"(-export "c.dff" "D:\\Mod\\Backups\\player.img\\c.dff")",
        R"(-import "D:\\Mod\\player.img\\c.dff")",
    };
    EXPECT_EQ(Script(R"(C:\Games\GTA San Andreas)", R"(D:\Mod)", {"a.dff", "b.txd"}, {"c.dff"}), expected);
}

TEST(ScriptText, EscapingDoublesEveryBackslashAndNothingElse) {
    EXPECT_EQ(EscapePath(""), "");
    EXPECT_EQ(EscapePath(R"(C:\)"), R"(C:\\)");
    EXPECT_EQ(EscapePath(R"(\\server\share)"), R"(\\\\server\\share)");
    EXPECT_EQ(EscapePath(R"(C:\a b\.\Ü\)"), R"(C:\\a b\\.\\Ü\\)");
    EXPECT_EQ(EscapePath("no separators"), "no separators");
}

TEST(ScriptText, DriveRootsKeepTheirBackslashSoNothingIsMerged) {
    EXPECT_EQ(OpenLine(Block::Gta3, R"(C:\)"), R"(-open "C:\\\\models\\gta3.img")");
    EXPECT_EQ(ExportLine(Block::Player, R"(E:\)", "cj.txd"), R"(-export "cj.txd" "E:\\\\Backups\\player.img\\cj.txd")");
    EXPECT_EQ(ImportLine(Block::Gta3, R"(E:\)", "cj.txd"), R"(-import "E:\\\\gta3.img\\cj.txd")");
}

TEST(ScriptText, NetworkGameFolderStartsWithFourBackslashes) {
    EXPECT_EQ(OpenLine(Block::Player, R"(\\nas\games\GTA)"), R"(-open "\\\\nas\\games\\GTA\\models\\player.img")");
}

TEST(ScriptText, NamesAndFoldersKeepSpacesAndCaseAsListed) {
    EXPECT_EQ(ExportLine(Block::Gta3, R"(D:\My Mods\Veltrin)", "Big Car.DFF"),
              R"(-export "Big Car.DFF" "D:\\My Mods\\Veltrin\\Backups\\gta3.img\\Big Car.DFF")");
    EXPECT_EQ(ImportLine(Block::Gta3, R"(D:\My Mods\Veltrin)", "Big Car.DFF"),
              R"(-import "D:\\My Mods\\Veltrin\\gta3.img\\Big Car.DFF")");
}

TEST(ScriptText, EmptyListsLeaveOnlyTheOpenAndCloseLines) {
    const Lines expected = {
        R"(-open "C:\\G\\models\\gta3.img")",
        "-close",
        R"(-open "C:\\G\\models\\player.img")",
    };
    EXPECT_EQ(Script(R"(C:\G)", R"(D:\M)", {}, {}), expected);
}

TEST(ScriptText, ExportsAllComeBeforeImportsAndOnlyTheFirstBlockCloses) {
    const Lines names = {"x.dff", "y.dff", "z.txd"};
    const Lines first = BlockLines(Block::Gta3, "G:", "A:", names);
    ASSERT_EQ(first.size(), 8u);
    for (size_t i = 1; i <= 3; ++i) EXPECT_EQ(first[i].rfind("-export ", 0), 0u) << first[i];
    for (size_t i = 4; i <= 6; ++i) EXPECT_EQ(first[i].rfind("-import ", 0), 0u) << first[i];
    EXPECT_EQ(first.back(), "-close");
    const Lines second = BlockLines(Block::Player, "G:", "A:", names);
    ASSERT_EQ(second.size(), 7u);
    EXPECT_EQ(second.back(), R"(-import "A:\\player.img\\z.txd")");
}

TEST(ScriptText, EachLoopAsksForTheCountAfreshAndEachLineGoesOutAsItIsMade) {
    int asked = 0;
    Lines written;
    const BlockNames names{[&] { return ++asked; },  // one name for the exports, two for the imports
                           [&](int i) { return "n" + std::to_string(i) + ".dff"; }};
    install::BlockLines(Block::Player, "G:", "A:", names, [&](const std::string& line) {
        written.push_back(line);
        EXPECT_EQ(asked, written.size() == 1 ? 0 : written.size() == 2 ? 1 : 2) << line;
    });
    EXPECT_EQ(asked, 2);
    const Lines expected = {R"(-open "G:\\models\\player.img")",
                            R"(-export "n0.dff" "A:\\Backups\\player.img\\n0.dff")",
                            R"(-import "A:\\player.img\\n0.dff")", R"(-import "A:\\player.img\\n1.dff")"};
    EXPECT_EQ(written, expected);
}

}  // namespace
}  // namespace veltrin::install
