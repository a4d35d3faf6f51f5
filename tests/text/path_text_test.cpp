// One rule for the parts of a path, whatever part of the programs asks:
// drive roots, network share roots, bare names and trailing separators.
#include "text/path_text.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace veltrin::text {
namespace {

struct PathCase {
    std::string_view path;
    size_t root;
    std::string_view folder;
    std::string_view fileName;
};

const std::vector<PathCase> kPathCases = {
    // path                                        root  folder                            file name
    {R"(C:\Program Files\Game\models\gta3.img)", 3, R"(C:\Program Files\Game\models)", "gta3.img"},
    {R"(C:\a\b.dff)", 3, R"(C:\a)", "b.dff"},
    {R"(C:\Game\)", 3, "C:\\", ""},
    {R"(C:\Game)", 3, "C:\\", "Game"},
    {"C:/Game", 3, "C:/", "Game"},
    {"C:\\", 3, "", ""},
    {"C:", 2, "", "C:"},
    {"C:x.dff", 2, "C:", "C:x.dff"},
    {R"(C:\\a\\b)", 3, R"(C:\\a)", "b"},
    {R"(\\server\share\x)", 14, R"(\\server\share)", "x"},
    {R"(\\server\share\a\b)", 14, R"(\\server\share\a)", "b"},
    {R"(\\server\share\)", 14, "", ""},
    {R"(\\server\share)", 14, "", "share"},
    {R"(\\server)", 8, "", "server"},
    {R"(\x)", 1, "\\", "x"},
    {"/pf/game", 1, "/pf", "game"},
    {"/pf/game/", 1, "/pf", ""},
    {"/pf", 1, "/", "pf"},
    {"/", 1, "", ""},
    {"a/b\\c", 0, "a/b", "c"},
    {R"(models\gta3.img)", 0, "models", "gta3.img"},
    {"models//gta3.img", 0, "models", "gta3.img"},
    {"gta3.img", 0, ".", "gta3.img"},
    {"plain", 0, ".", "plain"},
    {"..", 0, ".", ".."},
    {".", 0, "", "."},
    {"", 0, "", ""},
};

TEST(PathText, RootFolderAndFileNameFollowOneRule) {
    for (const auto& item : kPathCases) {
        SCOPED_TRACE(std::string(item.path));
        EXPECT_EQ(RootLength(item.path), item.root);
        EXPECT_EQ(FolderOf(item.path), item.folder);
        EXPECT_EQ(FileNameOf(item.path), item.fileName);
    }
}

// Climbing from any path by FolderOf ends at its root, or at "." for a
// relative one, and never loops.
TEST(PathText, ClimbingEndsAtTheRoot) {
    const std::vector<std::pair<std::string_view, std::string_view>> cases = {
        {R"(C:\a\b\c)", "C:\\"}, {R"(\\server\share\a\b)", R"(\\server\share)"}, {"/a/b", "/"}, {R"(a\b\c)", "."},
        {"C:a\\b", "C:"},
    };
    for (const auto& [path, top] : cases) {
        SCOPED_TRACE(std::string(path));
        std::string_view at = path;
        for (int steps = 0; !FolderOf(at).empty() && steps < 10; ++steps) at = FolderOf(at);
        EXPECT_EQ(at, top);
    }
}

TEST(PathText, ASiblingIsWrittenWithThePathsOwnSeparator) {
    EXPECT_EQ(SiblingPath(R"(D:\Mod\Install.dat)", "Install.log"), R"(D:\Mod\Install.log)");
    EXPECT_EQ(SiblingPath("/mod/Install.dat", "Restore.log"), "/mod/Restore.log");
    EXPECT_EQ(SiblingPath(R"(a\b/Install.dat)", "Install.log"), R"(a\b/Install.log)");
    EXPECT_EQ(SiblingPath(R"(C:\Install.dat)", "Install.log"), R"(C:\Install.log)");
    EXPECT_EQ(SiblingPath(R"(\\server\share\Install.dat)", "Install.log"), R"(\\server\share\Install.log)");
    EXPECT_EQ(SiblingPath("Install.dat", "Install.log"), "Install.log");
}

TEST(PathText, TheFoldersToCreateLieBelowTheRoot) {
    using Folders = std::vector<std::string_view>;
    const std::vector<std::pair<std::string_view, Folders>> cases = {
        {R"(C:\a\b)", {R"(C:\a)", R"(C:\a\b)"}},
        {R"(C:\a\b\)", {R"(C:\a)", R"(C:\a\b)"}},
        {"C:/a//b", {"C:/a", "C:/a//b"}},
        {R"(\\server\share\a\b)", {R"(\\server\share\a)", R"(\\server\share\a\b)"}},
        {R"(\\server\share\)", {}},
        {R"(\\server\share)", {}},
        {R"(\\server)", {}},
        {"C:\\", {}},
        {"C:a", {"C:a"}},
        {"/usr/local", {"/usr", "/usr/local"}},
        {"a/b", {"a", "a/b"}},
        {"", {}},
    };
    for (const auto& [path, folders] : cases) {
        SCOPED_TRACE(std::string(path));
        EXPECT_EQ(FoldersBelowRoot(path), folders);
    }
}

// What a record or a script names is checked against the folder the tool
// owns: below it, with no part that climbs out or names another drive.
TEST(PathText, APathLiesBelowAFolderOnlyWithoutClimbingOut) {
    const std::string folder = R"(D:\Mod\Backups)";
    for (const char* inside : {R"(D:\Mod\Backups\gta3.img\a.dff)", R"(d:\mod\BACKUPS\a.dff)", "D:\\Mod\\Backups/x/y.dff",
                               "D:/Mod/Backups\\a.dff"})
        EXPECT_TRUE(LiesBelow(inside, folder)) << inside;
    EXPECT_TRUE(LiesBelow(R"(D:\Mod\Backups\a.dff)", R"(D:\Mod\Backups\)"));
    for (const char* outside : {R"(D:\Mod\Backups)", R"(D:\Mod\Backups\)", R"(D:\Mod\Backups2\a.dff)",
                                R"(D:\Mod\Backups\..\..\Windows\a.dll)", R"(D:\Mod\Backups\x\..\a.dff)",
                                R"(D:\Mod\Backups\.\a.dff)", R"(D:\Mod\Backups\\a.dff)", R"(D:\Mod\Backups\a.dff:x)",
                                R"(C:\Windows\a.dll)", R"(D:\Mod\a.dff)", "a.dff"})
        EXPECT_FALSE(LiesBelow(outside, folder)) << outside;
    EXPECT_FALSE(LiesBelow("/x/a", ""));
}

}  // namespace
}  // namespace veltrin::text
