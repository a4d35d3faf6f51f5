// The folder list's reading of a path into the chain it shows.
#include <gtest/gtest.h>

#include "window/folder_path.h"

namespace veltrin::window {
namespace {

using Steps = std::vector<std::pair<std::wstring, std::wstring>>;

Steps Flatten(const std::vector<FolderStep>& chain) {
    Steps steps;
    for (const auto& step : chain) steps.emplace_back(step.label, step.path);
    return steps;
}

TEST(FolderChain, ReadsRootsAndFolders) {
    struct Case {
        std::wstring path;
        Steps steps;
    };
    const Case cases[] = {
        {L"C:\\", {{L"c:\\", L"C:\\"}}},
        {L"C:\\Games\\GTA San Andreas",
         {{L"c:\\", L"C:\\"}, {L"Games", L"C:\\Games"}, {L"GTA San Andreas", L"C:\\Games\\GTA San Andreas"}}},
        {L"d:\\Mods\\", {{L"d:\\", L"d:\\"}, {L"Mods", L"d:\\Mods"}}},
        {L"E:\\a\\\\b", {{L"e:\\", L"E:\\"}, {L"a", L"E:\\a"}, {L"b", L"E:\\a\\b"}}},
        {L"\\\\server\\share", {{L"\\\\server\\share", L"\\\\server\\share"}}},
        {L"\\\\server\\share\\Games",
         {{L"\\\\server\\share", L"\\\\server\\share"}, {L"Games", L"\\\\server\\share\\Games"}}},
    };
    for (const auto& [path, steps] : cases) EXPECT_EQ(Flatten(FolderChain(path)), steps);
}

TEST(FolderChain, RejectsPathsWithoutARoot) {
    for (const wchar_t* path : {L"", L"C:", L"Games\\GTA", L"\\\\server", L"\\\\\\share", L"\\\\server\\\\x"})
        EXPECT_TRUE(FolderChain(path).empty()) << path;
}

TEST(FolderChain, ChildPathsAddOneBackslash) {
    EXPECT_EQ(ChildPath(L"C:\\", L"Games"), L"C:\\Games");
    EXPECT_EQ(ChildPath(L"C:\\Games", L"GTA San Andreas"), L"C:\\Games\\GTA San Andreas");
    EXPECT_EQ(ChildPath(L"\\\\server\\share", L"x"), L"\\\\server\\share\\x");
}

}  // namespace
}  // namespace veltrin::window
