#include "tool/runs/loader_folder.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

using Folders = std::map<std::string, std::vector<install::FolderEntry>>;

FolderLister ListerOf(const Folders& folders) {
    return [&folders](const std::string& folder) {
        const auto found = folders.find(folder);
        if (found == folders.end()) throw std::runtime_error("not found");
        return found->second;
    };
}

const std::map<std::string, std::string> kPut = {
    {"infernus.txd", "infernus.txd in gta3.img"},
    {"a.dff", "A.dff in gta3.img"},
    {"hero.dff", "hero.dff in player.img"},
};

std::vector<std::string> Shown(const std::vector<HidingFile>& files) {
    std::vector<std::string> shown;
    for (const HidingFile& file : files) shown.push_back(file.shown + " > " + file.entry);
    return shown;
}

// The folder's own name in any case, files at two depths, names in another
// case; files that match nothing, and folders that cannot be listed, hide
// nothing.
TEST(LoaderFolder, NamesTheFilesAtAnyDepthThatShareAnEntrysFoldedName) {
    const Folders folders = {
        {"G:", {{"models", true}, {"ModLoader", true}, {"gta_sa.exe"}}},
        {"G:\\ModLoader", {{"INFERNUS.TXD"}, {"cars", true}, {"locked", true}, {"readme.txt"}}},
        {"G:\\ModLoader\\cars", {{"deep", true}, {"other.dff"}}},
        {"G:\\ModLoader\\cars\\deep", {{"a.DFF"}}},
    };
    EXPECT_EQ(Shown(FilesHidingEntries("G:", kPut, '\\', ListerOf(folders))),
              (std::vector<std::string>{"ModLoader\\INFERNUS.TXD > infernus.txd in gta3.img",
                                        "ModLoader\\cars\\deep\\a.DFF > A.dff in gta3.img"}));
}

TEST(LoaderFolder, AGameWithoutTheFolderOrANameElsewhereHidesNothing) {
    const Folders none = {{"/game", {{"models", true}, {"infernus.txd"}}},
                          {"/game/models", {{"infernus.txd"}}}};
    EXPECT_TRUE(FilesHidingEntries("/game", kPut, '/', ListerOf(none)).empty());
    const Folders asFile = {{"/game", {{"modloader"}}}};  // a file of that name, not a folder
    EXPECT_TRUE(FilesHidingEntries("/game", kPut, '/', ListerOf(asFile)).empty());
    EXPECT_TRUE(FilesHidingEntries("/missing", kPut, '/', ListerOf(none)).empty());
}

// A link that leads back into the folder lists it again and again: the walk
// stops at its depth and still names what it found.
TEST(LoaderFolder, AFolderThatHoldsItselfEndsTheWalk) {
    int listed = 0;
    const FolderLister loop = [&listed](const std::string& folder) {
        ++listed;
        if (folder == "/game") return std::vector<install::FolderEntry>{{"modloader", true}};
        return std::vector<install::FolderEntry>{{"again", true}, {"hero.dff"}};
    };
    const auto found = FilesHidingEntries("/game", kPut, '/', loop);
    EXPECT_EQ(found.size(), static_cast<size_t>(kLoaderDepth));
    EXPECT_EQ(listed, kLoaderDepth + 1);
    EXPECT_EQ(found.back().shown, "modloader/hero.dff");
}

TEST(LoaderFolder, TheReportNamesEachFileAndWhatToDo) {
    testing::RecordingReport report;
    ReportHidingFiles(report, {}, "this install");
    EXPECT_TRUE(report.lines.empty());
    ReportHidingFiles(report, {{"modloader\\cars\\infernus.txd", "infernus.txd in gta3.img"}}, "this install");
    EXPECT_EQ(report.lines,
              (std::vector<std::string>{
                  "warning: the game's modloader folder holds 1 file named like entries this install put in; while "
                  "that loader runs, the game shows it instead:",
                  "  modloader\\cars\\infernus.txd (over infernus.txd in gta3.img)",
                  "  to see the mod's, move that file out of the modloader folder; left there, it wins"}));
}

}  // namespace
}  // namespace veltrin::tool
