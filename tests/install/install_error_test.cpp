// The failure report's words, whole, for each way the run can stop: what a
// player reads in the box is all they learn of the failure.
#include "install/install_error.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace veltrin::install {
namespace {

struct TextRow {
    const char* name;
    InstallError error;
    std::string text;
};

class FailureTextTest : public ::testing::TestWithParam<TextRow> {};

TEST_P(FailureTextTest, SaysWhatFailedAndWhy) { EXPECT_EQ(FailureText(GetParam().error), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    EveryFailure, FailureTextTest,
    ::testing::Values(
        TextRow{"ListingFailed", InstallError(Failure::Gta3PayloadFolder, R"(D:\Mod\gta3.img)", "Path not found"),
                "The mod's files could not be listed in the folder:\nD:\\Mod\\gta3.img\n\nPath not found.\n\n"
                "Nothing was installed."},
        TextRow{
            "ScriptFull",
            InstallError(Failure::ScriptWrite, R"(F:\Mod\Install.dat)", DiskFullReason("Disk full", 3 * 1024 + 100)),
            "The install script could not be written:\nF:\\Mod\\Install.dat\n\nDisk full. The disk has 3 KB "
            "free; make room there and install again.\n\nNothing was installed."},
        TextRow{"ToolNotAProgram",
                InstallError(Failure::ToolLaunch, R"(D:\Mod\Install.plug)", "Bad EXE format for Install.plug"),
                "The archive tool cannot be started:\nD:\\Mod\\Install.plug\n\nBad EXE format for Install.plug.\n\n"
                "Nothing was installed."},
        TextRow{"ToolWithoutReason", InstallError(Failure::ToolLaunch, R"(D:\Mod\Install.plug)", ""),
                "The archive tool cannot be started:\nD:\\Mod\\Install.plug\n\nNothing was installed."},
        TextRow{
            "ApplicationFolderUnwritable",
            InstallError(Failure::NotRepresentable, R"(C:\Моды\VeltrinMOD-V1)", "Моды", PathPart::ApplicationFolder),
            "The folder holding the installer has a name in its path that this system's code page cannot hold "
            "(\"Моды\"):\nC:\\Моды\\VeltrinMOD-V1\n\nThe archive tool could not find the mod's files there. "
            "Rename that folder, or move the installer's folder to one with a plainer name.\n\n"
            "Nothing was installed."},
        TextRow{"GameFolderUnwritable",
                InstallError(Failure::NotRepresentable, R"(C:\Игры\GTA San Andreas)", "Игры", PathPart::GameFolder),
                "The game folder has a name in its path that this system's code page cannot hold (\"Игры\"):\n"
                "C:\\Игры\\GTA San Andreas\n\nThe archive tool could not find the game's archives there. Rename "
                "that folder, or move the game to one with a plainer name.\n\nNothing was installed."},
        TextRow{"ModFileUnwritable",
                InstallError(Failure::NotRepresentable, R"(D:\Mod\player.img\знак.dff)", "знак.dff", PathPart::ModFile),
                "The mod file has a name that this system's code page cannot hold (\"знак.dff\"):\n"
                "D:\\Mod\\player.img\\знак.dff\n\nThe archive tool could not find it. Rename that file.\n\n"
                "Nothing was installed."},
        TextRow{"ToolFailed",
                InstallError(Failure::ToolFailed, R"(D:\Mod\Install.log)", "The archive tool ended with status 6: x"),
                "The install did not finish.\n\nThe archive tool ended with status 6: x.\n\nThe archive tool's "
                "window and Install.log beside Install.exe say what was changed and what was not:\n"
                "D:\\Mod\\Install.log"},
        TextRow{"LineUnwritable", InstallError(Failure::NotRepresentable, "-import \"☃\"", ""),
                "This has characters that the system's code page cannot hold:\n-import \"☃\"\n\nThe archive tool "
                "could not find it. Rename it, or move the game or the mod to a folder with a plainer name.\n\n"
                "Nothing was installed."}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(SizeText, CountsDownToTheUnitBelow) {
    struct Row {
        std::uint64_t bytes;
        const char* text;
    };
    for (const auto& [bytes, text] :
         {Row{0, "less than 1 KB"}, Row{1023, "less than 1 KB"}, Row{1024, "1 KB"}, Row{1024 * 1024 - 1, "1023 KB"},
          Row{1024 * 1024, "1.0 MB"}, Row{1887436, "1.7 MB"},  // 1.79999 MB is not yet 1.8
          Row{1887437, "1.8 MB"}, Row{std::uint64_t{5} << 30, "5.0 GB"}, Row{~std::uint64_t{0}, "17179869183.9 GB"}})
        EXPECT_EQ(SizeText(bytes), text) << bytes;
}

}  // namespace
}  // namespace veltrin::install
