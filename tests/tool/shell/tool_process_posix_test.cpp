// The real install-plug program on real files: its exit statuses, its log,
// and extract against entry names that try to leave the folder.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "program_run_posix.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

namespace fs = std::filesystem;
using namespace testing;

std::string ReadText(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

void WriteText(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

class ToolProcessPosixTest : public ::testing::Test {
protected:
    fs::path root;
    std::string output;

    void SetUp() override {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        root = fs::temp_directory_path() / (std::string("veltrin tool ") + test->name());
        fs::remove_all(root);
        fs::create_directories(root / "app dir" / "gta3.img");
        fs::create_directories(root / "game");
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    // Runs the program with stdin at its end; returns its exit status.
    int Run(const std::vector<std::string>& args) { return RunProgram(VELTRIN_TOOL, args, output); }
};

TEST_F(ToolProcessPosixTest, RunsAScriptAndWritesItsLogBesideIt) {
    const fs::path archive = root / "game" / "gta3.img";
    MakeArchive(archive::SystemFileSystem(), archive.string(), {{"a.dff", Pattern(3000, 1)}});
    const fs::path payload = root / "app dir" / "gta3.img" / "a.dff";
    WriteText(payload, Text(Pattern(2600, 5)));
    const fs::path backup = root / "app dir" / "Backups" / "gta3.img" / "a.dff";
    WriteText(root / "app dir" / "Install.dat", "-open \"" + archive.string() + "\"\r\n-export \"a.dff\" \"" +
                                                    backup.string() + "\"\r\n-import \"" + payload.string() +
                                                    "\"\r\n-close\r\n");
    ASSERT_EQ(Run({"-script", (root / "app dir" / "Install.dat").string()}), 0) << output;
    EXPECT_EQ(ReadText(backup), Text(Stored(Pattern(3000, 1))));
    EXPECT_EQ(ReadContent(archive::SystemFileSystem(), archive.string()),
              (Content{{"a.dff", Stored(Pattern(2600, 5))}}));
    std::string log = ReadText(root / "app dir" / "Install.log");
    for (size_t at; (at = log.find("\r\n")) != std::string::npos;) log.erase(at, 1);
    EXPECT_EQ(log, output);
    EXPECT_NE(output.find("\ndone\n"), std::string::npos);

    EXPECT_EQ(Run({"-script", (root / "none.dat").string()}), 2) << output;
    EXPECT_EQ(Run({"list", (root / "game" / "missing.img").string()}), 4) << output;
    WriteText(root / "game" / "text.img", std::string(4096, 'x'));
    EXPECT_EQ(Run({"list", (root / "game" / "text.img").string()}), 5) << output;
    EXPECT_EQ(Run({"what"}), 1) << output;
    EXPECT_EQ(Run({"--help"}), 0) << output;
}

TEST_F(ToolProcessPosixTest, ExtractNeverWritesOutsideItsFolder) {
    const fs::path archive = root / "game" / "hostile.img";
    WriteText(archive, Text(RawArchive({"../escape.dff", "..", "../../up.txd", "/tmp/abs.dff", "ok.dff", "sub/x.dff",
                                        "..\\win.dff", "nul"})));
    const fs::path out = root / "out" / "here";
    EXPECT_EQ(Run({"extract", archive.string(), out.string()}), 12) << output;
    std::vector<std::string> files;
    for (const auto& item : fs::recursive_directory_iterator(root))
        if (item.is_regular_file()) files.push_back(fs::relative(item.path(), root).string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"game/hostile.img", "out/here/ok.dff"})) << output;
    EXPECT_FALSE(fs::exists("/tmp/abs.dff"));
}

}  // namespace
}  // namespace veltrin::tool
