#include "install/install_run.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "install/install_error.h"
#include "install/tool_ending.h"

namespace veltrin::install {
namespace {

using Lines = std::vector<std::string>;

class FakeLister final : public PayloadLister {
public:
    std::map<std::string, Lines> folders;
    std::map<std::string, PayloadListError> errors;
    Lines pointed;

    void Point(const std::string& folder) override {
        pointed.push_back(folder);
        names_.clear();
        if (auto error = errors.find(folder); error != errors.end()) throw error->second;
        names_ = folders.at(folder);
    }
    [[nodiscard]] int Count() const override { return static_cast<int>(names_.size()); }
    [[nodiscard]] std::string NameAt(int index) const override { return names_.at(static_cast<size_t>(index)); }
    [[nodiscard]] std::optional<Lines> Peek(const std::string& folder) const override {
        if (errors.count(folder)) return std::nullopt;
        return folders.at(folder);
    }

private:
    Lines names_;
};

// Records every call in order; can be told to fail at one of them.
class FakeHost final : public InstallHost {
public:
    Lines events;
    Lines written;  // the lines that reached the "file"
    std::optional<std::string> unencodable;
    std::optional<Failure> failAt;  // ScriptCreate, ScriptWrite (after failAfterLines lines) or ToolLaunch
    size_t failAfterLines = 0;

    [[nodiscard]] bool CanEncode(std::string_view text) const override {
        return !unencodable || text.find(*unencodable) == std::string_view::npos;
    }
    void CreateScript(const std::string& path) override {
        events.push_back("create " + path);
        if (failAt == Failure::ScriptCreate) throw InstallError(Failure::ScriptCreate, path, "Access is denied");
    }
    void WriteScriptLine(std::string_view line) override {
        if (failAt == Failure::ScriptWrite && written.size() == failAfterLines)
            throw InstallError(Failure::ScriptWrite, "Install.dat", "There is not enough space on the disk");
        written.emplace_back(line);
        events.push_back("line");
    }
    void CloseScript() override { events.push_back("close"); }
    std::uint32_t toolStatus = 0;
    bool waitFails = false;

    std::uint32_t RunTool(const std::string& program, const std::string& commandLine) override {
        events.push_back("launch " + program + " | " + commandLine);
        if (failAt == Failure::ToolLaunch)
            throw InstallError(Failure::ToolLaunch, program, "The system cannot find the file specified");
        if (waitFails) throw std::runtime_error("Access is denied");
        return toolStatus;
    }
    void ShowSuccess() override { events.push_back("success"); }
    void ShowFailure(const std::string& text) override { events.push_back("failure " + text); }

    [[nodiscard]] bool Has(const std::string& prefix) const {
        for (const auto& event : events)
            if (event.rfind(prefix, 0) == 0) return true;
        return false;
    }
    [[nodiscard]] std::string Last() const { return events.empty() ? "" : events.back(); }
};

class InstallRunTest : public ::testing::Test {
protected:
    const RunPaths paths{R"(C:\Games\GTA San Andreas)", R"(D:\Mod)"};
    const std::string gta3 = R"(D:\Mod\gta3.img)";
    const std::string player = R"(D:\Mod\player.img)";
    FakeLister lister;
    FakeHost host;

    void SetUp() override {
        lister.folders[gta3] = {"a.dff", "b.txd"};
        lister.folders[player] = {"c.dff"};
    }
    int Run() { return RunInstall(paths, lister, host); }
};

TEST_F(InstallRunTest, SuccessfulRunWritesTheScriptThenLaunchesThenReports) {
    EXPECT_EQ(Run(), kExitSuccess);
    const Lines expectedEvents = {R"(create D:\Mod\Install.dat)",
                                  "line",
                                  "line",
                                  "line",
                                  "line",
                                  "line",
                                  "line",
                                  "line",
                                  "line",
                                  "line",
                                  "close",
                                  R"(launch D:\Mod\Install.plug | "D:\Mod\Install.plug" -script "D:\Mod\Install.dat")",
                                  "success"};
    EXPECT_EQ(host.events, expectedEvents);
    EXPECT_EQ(lister.pointed, (Lines{gta3, player}));
    ASSERT_EQ(host.written.size(), 9u);
    EXPECT_EQ(host.written[0], R"(-open "C:\\Games\\GTA San Andreas\\models\\gta3.img")");
    EXPECT_EQ(host.written[5], "-close");
    EXPECT_EQ(host.written[8], R"(-import "D:\\Mod\\player.img\\c.dff")");
}

TEST_F(InstallRunTest, ToolPathIsQuotedSoAFolderWithSpacesCannotBeSplit) {
    EXPECT_EQ(ToolCommandLine(R"(C:\My Mods\Veltrin)"),
              R"("C:\My Mods\Veltrin\Install.plug" -script "C:\My Mods\Veltrin\Install.dat")");
    EXPECT_EQ(ToolPath(R"(C:\My Mods\Veltrin)"), R"(C:\My Mods\Veltrin\Install.plug)");
}

TEST_F(InstallRunTest, ApplicationFolderAtADriveRootDoublesTheBackslash) {
    EXPECT_EQ(ToolCommandLine(R"(E:\)"), R"("E:\\Install.plug" -script "E:\\Install.dat")");
    EXPECT_EQ(PayloadFolder(R"(E:\)", "gta3.img"), R"(E:\\gta3.img)");
    EXPECT_EQ(ScriptPath(R"(E:\)"), R"(E:\\Install.dat)");
}

TEST_F(InstallRunTest, EmptyPayloadFoldersStillLaunchTheTool) {
    lister.folders[gta3] = {};
    lister.folders[player] = {};
    EXPECT_EQ(Run(), kExitSuccess);
    EXPECT_EQ(host.written.size(), 3u);
    EXPECT_TRUE(host.Has("launch "));
    EXPECT_EQ(host.Last(), "success");
}

// One row per way the run can fail: the exit status, what reached the file,
// and that neither the tool nor the success message follows.
struct FailureRow {
    const char* name;
    Failure failure;
    bool scriptCreated;
    size_t linesWritten;
    bool closed;
    bool launched;
};

class InstallRunFailure : public InstallRunTest, public ::testing::WithParamInterface<FailureRow> {
protected:
    void Arrange(Failure failure) {
        switch (failure) {
        case Failure::Gta3PayloadFolder:
            lister.errors.emplace(gta3, PayloadListError(gta3, "The system cannot find the path specified"));
            break;
        case Failure::PlayerPayloadFolder:
            lister.errors.emplace(player, PayloadListError(player, "It is a file, not a folder."));
            break;
        case Failure::TooManyPayloadFiles:
            lister.errors.emplace(player, PayloadListError(player, "It holds 40000 mod files.", true));
            break;
        case Failure::ScriptWrite:
            host.failAt = failure;
            host.failAfterLines = 3;
            break;
        case Failure::NotRepresentable:
            lister.folders[player] = {"c.dff", "日本.dff"};
            host.unencodable = "日本";
            break;
        default:
            host.failAt = failure;
        }
    }
};

TEST_P(InstallRunFailure, StopsWhereItFailsAndReportsOnce) {
    const FailureRow& row = GetParam();
    Arrange(row.failure);
    EXPECT_EQ(Run(), static_cast<int>(row.failure));
    EXPECT_EQ(host.Has("create "), row.scriptCreated);
    EXPECT_EQ(host.written.size(), row.linesWritten);
    EXPECT_EQ(host.Has("close"), row.closed);
    EXPECT_EQ(host.Has("launch "), row.launched);
    EXPECT_FALSE(host.Has("success"));
    EXPECT_EQ(host.Last().rfind("failure ", 0), 0u) << host.Last();
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, InstallRunFailure,
    ::testing::Values(FailureRow{"Gta3FolderMissing", Failure::Gta3PayloadFolder, false, 0, false, false},
                      FailureRow{"ScriptCannotBeCreated", Failure::ScriptCreate, true, 0, false, false},
                      FailureRow{"DiskFullMidScript", Failure::ScriptWrite, true, 3, false, false},
                      FailureRow{"PlayerFolderIsAFile", Failure::PlayerPayloadFolder, true, 6, false, false},
                      FailureRow{"PlayerFolderOverflows", Failure::TooManyPayloadFiles, true, 6, false, false},
                      FailureRow{"UnencodableName", Failure::NotRepresentable, false, 0, false, false},
                      FailureRow{"ToolMissing", Failure::ToolLaunch, true, 9, true, true}),
    [](const auto& rowInfo) { return std::string(rowInfo.param.name); });

TEST_F(InstallRunTest, FailureReportNamesThePathAndTheReason) {
    lister.errors.emplace(gta3, PayloadListError(gta3, "The system cannot find the path specified"));
    EXPECT_EQ(Run(), static_cast<int>(Failure::Gta3PayloadFolder));
    const std::string report = host.Last();
    EXPECT_NE(report.find("\nD:\\Mod\\gta3.img\n"), std::string::npos) << report;
    EXPECT_NE(report.find("The system cannot find the path specified."), std::string::npos) << report;
}

TEST_F(InstallRunTest, UnencodableGameFolderFailsBeforeTheScriptIsCreated) {
    host.unencodable = "Игры";
    const RunPaths cyrillic{R"(C:\Игры\GTA)", R"(D:\Mod)"};
    EXPECT_EQ(RunInstall(cyrillic, lister, host), static_cast<int>(Failure::NotRepresentable));
    EXPECT_FALSE(host.Has("create "));
    EXPECT_NE(host.Last().find("\nC:\\Игры\\GTA\n"), std::string::npos) << host.Last();
}

// The folder holding the installer is part of every payload path: when the
// code page cannot hold its name, the report names that folder, not a file.
TEST_F(InstallRunTest, UnencodableApplicationFolderIsNamedRatherThanAFileInIt) {
    const RunPaths mods{R"(C:\Games\GTA San Andreas)", R"(D:\Моды\Mod)"};
    lister.folders[R"(D:\Моды\Mod\gta3.img)"] = {"a.dff"};
    lister.folders[R"(D:\Моды\Mod\player.img)"] = {"c.dff"};
    host.unencodable = "Моды";
    EXPECT_EQ(RunInstall(mods, lister, host), static_cast<int>(Failure::NotRepresentable));
    EXPECT_FALSE(host.Has("create "));
    const std::string report = host.Last();
    EXPECT_NE(report.find("The folder holding the installer"), std::string::npos) << report;
    EXPECT_NE(report.find(":\nD:\\Моды\\Mod\n"), std::string::npos) << report;
    EXPECT_NE(report.find(R"(("Моды"))"), std::string::npos) << report;
    EXPECT_EQ(report.find("a.dff"), std::string::npos) << report;
}

// Only a name the code page cannot write moves before the script: a
// player.img folder that cannot be listed, or holds too many files, still
// stops the run after block 1, even when it also holds such a name.
TEST_F(InstallRunTest, AnUnlistablePlayerFolderStillFailsAfterTheFirstBlock) {
    lister.folders[player] = {"日本.dff"};
    host.unencodable = "日本";
    lister.errors.emplace(player, PayloadListError(player, "It holds 40000 mod files.", true));
    EXPECT_EQ(Run(), static_cast<int>(Failure::TooManyPayloadFiles));
    EXPECT_TRUE(host.Has("create "));
    EXPECT_EQ(host.written.size(), 6u);
    EXPECT_EQ(lister.pointed, (Lines{gta3, player}));
}

TEST_F(InstallRunTest, UnencodablePayloadNameIsReportedWithItsFullPath) {
    lister.folders[gta3] = {"a.dff", "ß☃.txd"};
    host.unencodable = "☃";
    EXPECT_EQ(Run(), static_cast<int>(Failure::NotRepresentable));
    EXPECT_FALSE(host.Has("create "));
    EXPECT_NE(host.Last().find("\nD:\\Mod\\gta3.img\\ß☃.txd\n"), std::string::npos) << host.Last();
}

// The box waits for the tool's ending: "Install Success !" only for 0;
// otherwise the failure report gives the ending in words and sends the
// player to the tool's window and Install.log, and the run ends with its own
// status.
TEST_F(InstallRunTest, OnlyAToolThatEndsWithZeroIsASuccess) {
    struct Case {
        std::uint32_t toolStatus;
        bool waitFails;
        std::string ending;  // empty: success
    };
    const Case cases[] = {
        {0, false, ""},
        {6, false,
         "The archive tool ended with status 6: an archive of the game is in use by another program; close the game "
         "and install again."},
        {8, false,
         "The archive tool ended with status 8: there is not enough free space on the game's disk; make room there "
         "and install again."},
        {99, false, "The archive tool ended unexpectedly (status 99)."},
        {0xC0000005u, false, "The archive tool ended unexpectedly (status 0xC0000005)."},
        {0, true, "The installer could not wait for the archive tool to end: Access is denied."},
    };
    for (const auto& [toolStatus, waitFails, ending] : cases) {
        SCOPED_TRACE(toolStatus);
        FakeHost fresh;
        fresh.toolStatus = toolStatus;
        fresh.waitFails = waitFails;
        const int status = RunInstall(paths, lister, fresh);
        EXPECT_TRUE(fresh.Has("launch "));
        if (ending.empty()) {
            EXPECT_EQ(status, 0);
            EXPECT_EQ(fresh.Last(), "success");
            continue;
        }
        EXPECT_EQ(status, static_cast<int>(Failure::ToolFailed));
        EXPECT_FALSE(fresh.Has("success"));
        EXPECT_EQ(fresh.Last(), "failure The install did not finish.\n\n" + ending +
                                    "\n\nThe archive tool's window and Install.log beside Install.exe say what was "
                                    "changed and what was not:\n" +
                                    paths.appFolder + "\\Install.log");
    }
}

// Every ending a script run can have has its own words.
TEST(ToolEndingText, NamesEveryEndingOfAScriptRun) {
    for (const std::uint32_t status : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 15u, 16u}) {
        const std::string text = ToolEndingText(status);
        EXPECT_EQ(text.find("The archive tool ended with status " + std::to_string(status) + ": "), 0u) << text;
    }
}

}  // namespace
}  // namespace veltrin::install
