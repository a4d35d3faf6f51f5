// check-mod over real payload folders: the files a mod author may leave in
// them, and what the check says of each. Runs natively and under Wine, where
// hidden and system files are made with the file-attribute API.
#include "tool/modcheck/check_mod.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "archive/file_io.h"
#include "stream_builder.h"
#include "tool/common/platform.h"
#include "tool/shell/tool_main.h"
#include "tool_test_support.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace veltrin::tool {
namespace {

namespace fs = std::filesystem;
using testing::Dictionary;
using testing::Model;
using testing::RecordingReport;
using testing::Stream;

fs::path PathOfUtf8(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

std::string Utf8Of(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// Every file and folder under the root with its bytes, to show that a check
// leaves the folder exactly as it was.
std::map<std::string, Stream> Snapshot(const fs::path& root) {
    std::map<std::string, Stream> files;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        Stream bytes;
        if (item.is_regular_file() && item.file_size() < (1u << 20)) {
            std::ifstream in(item.path(), std::ios::binary);
            bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        files[Utf8Of(item.path())] = std::move(bytes);
    }
    return files;
}

class CheckModTest : public ::testing::Test {
protected:
    void SetUp() override {
        app_ = fs::temp_directory_path() /
               ("veltrin-check-mod-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(app_);
        fs::create_directories(app_ / "gta3.img");
        fs::create_directories(app_ / "player.img");
    }
    void TearDown() override { fs::remove_all(app_); }

    fs::path Put(const std::string& folder, const std::string& name, const Stream& bytes) {
        const fs::path path = app_ / folder / PathOfUtf8(name);
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    // A sound model and its dictionary in each folder, as a finished mod has.
    void PutCleanMod() {
        Put("gta3.img", "lamppost.dff", Model());
        Put("gta3.img", "lamppost.txd", Dictionary(1));
        Put("player.img", "cap.dff", Model());
        Put("player.img", "cap.txd", Dictionary(2));
    }

    ExitStatus Check() {
        report_ = {};
        return CheckMod(Utf8Of(app_), archive::SystemFileSystem(), report_);
    }
    // The report's line for the file (its name after the tag), or empty;
    // only among the lines after the folder's own line when one is given.
    [[nodiscard]] std::string LineOf(const std::string& name, const std::string& folder = {}) const {
        bool inFolder = folder.empty();
        for (const auto& line : report_.lines) {
            if (!folder.empty() && line.rfind(Utf8Of(app_), 0) == 0) inFolder = line == Utf8Of(app_ / folder);
            if (inFolder && line.size() > 11 && line.compare(11, name.size() + 2, name + ": ") == 0) return line;
        }
        return {};
    }

    fs::path app_;
    RecordingReport report_;
};

TEST_F(CheckModTest, ACleanModIsReadyAndNothingIsWritten) {
    PutCleanMod();
    const auto before = Snapshot(app_);
    EXPECT_EQ(Check(), ExitStatus::Ok) << report_.All();
    EXPECT_EQ(Snapshot(app_), before);
    EXPECT_EQ(LineOf("lamppost.dff"), "  ok       lamppost.dff: a model (clump, 1 atomic), RenderWare 3.6.0.3, " +
                                          std::to_string(Model().size()) + " bytes");
    EXPECT_EQ(LineOf("cap.txd"), "  ok       cap.txd: a texture dictionary (2 textures), RenderWare 3.6.0.3, " +
                                     std::to_string(Dictionary(2).size()) + " bytes");
    EXPECT_TRUE(report_.Has("gta3.img: 2 files to install, 0 left out")) << report_.All();
    EXPECT_TRUE(report_.Has("player.img: 2 files to install, 0 left out")) << report_.All();
    EXPECT_TRUE(report_.Has("0 problems, 0 warnings")) << report_.All();
    EXPECT_EQ(report_.lines.back(), "ready: every file will be installed");
}

TEST_F(CheckModTest, FilesTheInstallerLeavesOutAreNamedWithTheReason) {
    PutCleanMod();
    Put("gta3.img", "lamppost.col", Stream(40, 1));
    Put("gta3.img", "walk.IFP", Stream(40, 1));
    Put("player.img", "map.ipl", Stream(4, 1));
    Put("player.img", "objects.ide", Stream(4, 1));
    Put("player.img", "readme", Stream(4, 1));
    fs::create_directories(app_ / "gta3.img" / "extra.dff");
#ifdef _WIN32
    const fs::path hidden = Put("gta3.img", "hidden.dff", Model());
    const fs::path system = Put("player.img", "system.txd", Dictionary());
    ASSERT_TRUE(::SetFileAttributesW(hidden.c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(::SetFileAttributesW(system.c_str(), FILE_ATTRIBUTE_SYSTEM));
#else
    Put("gta3.img", ".hidden.dff", Model());
#endif
    EXPECT_EQ(Check(), ExitStatus::ModFilesLeftOut) << report_.All();
    const std::string onlyModels =
        ": this installer puts only models (.dff) and texture dictionaries (.txd) into "
        "the archives";
    EXPECT_EQ(LineOf("lamppost.col"), "  left out lamppost.col: collision data (.col)" + onlyModels);
    EXPECT_EQ(LineOf("walk.IFP"), "  left out walk.IFP: animations (.ifp)" + onlyModels);
    EXPECT_EQ(LineOf("map.ipl"), "  left out map.ipl: item placements of a map (.ipl)" + onlyModels);
    EXPECT_EQ(LineOf("objects.ide"), "  left out objects.ide: item definitions (.ide)" + onlyModels);
    EXPECT_EQ(LineOf("readme"), "  left out readme: a file without an extension" + onlyModels);
    EXPECT_EQ(LineOf("extra.dff"),
              "  left out extra.dff: a folder: the installer takes only the files that lie directly in a payload "
              "folder");
#ifdef _WIN32
    EXPECT_EQ(LineOf("hidden.dff"), "  left out hidden.dff: a hidden file: the installer leaves hidden files out");
    EXPECT_EQ(LineOf("system.txd"), "  left out system.txd: a system file: the installer leaves system files out");
    EXPECT_TRUE(report_.Has("gta3.img: 2 files to install, 4 left out")) << report_.All();
    EXPECT_TRUE(report_.Has("player.img: 2 files to install, 4 left out")) << report_.All();
    ::SetFileAttributesW(system.c_str(), FILE_ATTRIBUTE_NORMAL);
#else
    EXPECT_EQ(LineOf(".hidden.dff"), "  left out .hidden.dff: a hidden file: the installer leaves hidden files out");
    EXPECT_TRUE(report_.Has("gta3.img: 2 files to install, 4 left out")) << report_.All();
    EXPECT_TRUE(report_.Has("player.img: 2 files to install, 3 left out")) << report_.All();
#endif
    EXPECT_TRUE(report_.Has("0 problems, 0 warnings")) << report_.All();
}

TEST_F(CheckModTest, NamesTheArchiveCannotHoldAreProblems) {
    PutCleanMod();
    const std::string refused = ": the archive tool refuses the install script, so nothing is installed";
    struct Case {
        std::string name;
        std::string problem;
    };
    const std::vector<Case> cases = {
        {"abcdefghijklmnopqrs.dff", ""},  // 23 characters: the longest an entry holds
        {"abcdefghijklmnopqrst.dff", "the name is longer than 23 characters" + refused},
        {"semi;colon.txd", ""},
        {"caf\xC3\xA9.dff", "the name holds a character other than plain printable ASCII" + refused},
        {"smile\xF0\x9F\x98\x80.txd", "the name holds a character other than plain printable ASCII" + refused},
    };
    for (const auto& c : cases) Put("gta3.img", c.name, c.name.ends_with(".txd") ? Dictionary() : Model());
    EXPECT_EQ(Check(), ExitStatus::ModProblems) << report_.All();
    for (const auto& c : cases) {
        const std::string line = LineOf(c.name);
        if (c.problem.empty()) {
            EXPECT_EQ(line.rfind("  ok       " + c.name + ": ", 0), 0u) << line;
        } else {
            EXPECT_EQ(line.rfind("  PROBLEM  " + c.name + ": " + c.problem, 0), 0u) << line;
        }
    }
    // No ANSI code page holds an emoji, so the installer could not even
    // write that name into its script.
    EXPECT_NE(LineOf("smile\xF0\x9F\x98\x80.txd").find("the installer cannot write the name into its script: "),
              std::string::npos);
    EXPECT_TRUE(report_.Has("gta3.img: 4 files to install, 0 left out")) << report_.All();
}

TEST_F(CheckModTest, FilesThatAreNotWhatTheirNameSaysAreProblems) {
    PutCleanMod();
    Stream truncated = Model();
    truncated.pop_back();
    Put("gta3.img", "short.dff", truncated);
    Put("gta3.img", "clump.txd", Model());
    Put("player.img", "notes.dff", Stream{'n', 'o', 't', 'e', 's', ' ', 'f', 'o', 'r', ' ', 'm', 'e', '\n'});
    Put("player.img", "empty.txd", {});
    Put("player.img", "old.dff", Model(0x0C02FFFF));
    EXPECT_EQ(Check(), ExitStatus::ModProblems) << report_.All();
    EXPECT_EQ(LineOf("short.dff").rfind("  PROBLEM  short.dff: truncated: ", 0), 0u) << report_.All();
    EXPECT_NE(LineOf("short.dff").find("the file ends 1 byte short of that"), std::string::npos);
    EXPECT_EQ(LineOf("clump.txd").rfind("  PROBLEM  clump.txd: it holds a model (clump, 0x10)", 0), 0u);
    EXPECT_EQ(LineOf("notes.dff").rfind("  PROBLEM  notes.dff: not a RenderWare binary stream", 0), 0u);
    EXPECT_EQ(LineOf("empty.txd"), "  PROBLEM  empty.txd: the file is empty");
    // An older library is a warning: the file still goes in.
    EXPECT_EQ(LineOf("old.dff").rfind("  warning  old.dff: a model (clump, 1 atomic), RenderWare 3.3.0.2, ", 0), 0u);
    EXPECT_TRUE(report_.Has("gta3.img: 2 files to install, 0 left out")) << report_.All();
    EXPECT_TRUE(report_.Has("player.img: 3 files to install, 0 left out")) << report_.All();
    EXPECT_TRUE(report_.Has("4 problems, 1 warning")) << report_.All();
}

TEST_F(CheckModTest, AFileTooLargeForOneEntryIsAProblem) {
    PutCleanMod();
    const fs::path big = Put("gta3.img", "big.txd", Dictionary());
    fs::resize_file(big, 65535ull * 2048 + 1);  // sparse where the system allows
    EXPECT_EQ(Check(), ExitStatus::ModProblems) << report_.All();
    EXPECT_EQ(LineOf("big.txd"),
              "  PROBLEM  big.txd: it is 134215681 bytes, more than one entry holds (65535 sectors, 134215680 "
              "bytes): the archive tool stops the install at it, and the archive it was to go into stays unchanged");
}

TEST_F(CheckModTest, MissingAndEmptyPayloadFolders) {
    Put("gta3.img", "lamppost.dff", Model());
    EXPECT_EQ(Check(), ExitStatus::Ok) << report_.All();
    EXPECT_TRUE(
        report_.Has("  warning  it holds no model or texture dictionary: the install leaves the game's "
                    "player.img as it is"))
        << report_.All();

    fs::remove_all(app_ / "gta3.img");
    EXPECT_EQ(Check(), ExitStatus::ModProblems) << report_.All();
    EXPECT_TRUE(
        report_.Has("  PROBLEM  the installer cannot list the mod's files in it and stops before changing "
                    "anything: "))
        << report_.All();
    EXPECT_TRUE(report_.Has("gta3.img: cannot be listed")) << report_.All();

    Put("player.img", "notes.txt", Stream(3, 'x'));
    fs::create_directories(app_ / "gta3.img");
    EXPECT_EQ(Check(), ExitStatus::ModProblems) << report_.All();
    EXPECT_TRUE(
        report_.Has("  PROBLEM  neither payload folder holds a model or texture dictionary: the install "
                    "would change nothing"))
        << report_.All();
}

#ifndef _WIN32
// Windows folders cannot hold two names that differ only in case; a folder
// made elsewhere can, and the zip would carry both.
TEST_F(CheckModTest, NamesThatDifferOnlyInCaseAreProblems) {
    PutCleanMod();
    Put("gta3.img", "Lamppost.dff", Model());
    EXPECT_EQ(Check(), ExitStatus::ModProblems) << report_.All();
    EXPECT_EQ(LineOf("Lamppost.dff"),
              "  PROBLEM  Lamppost.dff: its name differs only in case from lamppost.dff: a Windows folder holds only "
              "one of the two (unpacking the zip keeps one), and an archive holds one entry for both names");
    EXPECT_EQ(
        LineOf("lamppost.dff").rfind("  PROBLEM  lamppost.dff: its name differs only in case from Lamppost.dff", 0),
        0u);
    EXPECT_TRUE(report_.Has("2 problems, 0 warnings")) << report_.All();
}
#endif

// The game blends CJ's clothing textures (player.img) pixel by pixel and
// assumes 32 bits per pixel, uncompressed; gta3.img's textures may be any.
TEST_F(CheckModTest, PlayerImgTexturesNotOf32BitsUncompressedAreWarnings) {
    using testing::DictionaryOf;
    using testing::FourCharacters;
    using testing::TextureFormat;
    using testing::TextureNative;
    const std::string blends =
        ": the game blends CJ's clothing textures pixel by pixel and assumes 32 bits per pixel, uncompressed";
    struct Case {
        std::string name;
        std::vector<std::pair<std::string, TextureFormat>> textures;
        std::string warned;  // after the description; empty: ok
    };
    const std::vector<Case> cases = {
        {"rgba.txd", {{"skin", {}}, {"cloth", {}}}, ""},
        {"dxt1.txd",
         {{"skin", {}}, {"cloth", {9, 0x0200, FourCharacters("DXT1"), 16, 8}}},
         "; texture \"cloth\" is DXT1 compressed" + blends},
        {"dxt3.txd",
         {{"cloth", {9, 0x0300, FourCharacters("DXT3"), 16, 9}}},
         "; texture \"cloth\" is DXT3 compressed" + blends},
        {"rgb565.txd", {{"cloth", {9, 0x0200, 23, 16, 0}}}, "; texture \"cloth\" is 16 bits per pixel (565)" + blends},
        {"pal8.txd",
         {{"cloth", {9, 0x2500, 41, 8, 1}}},
         "; texture \"cloth\" is 8 bits per pixel with a palette (PAL8)" + blends},
        {"two.txd",
         {{"a", {9, 0x0200, 23, 16, 0}}, {"b", {9, 0x2500, 41, 8, 1}}},
         "; texture \"a\" is 16 bits per pixel (565); texture \"b\" is 8 bits per pixel with a palette (PAL8)" +
             blends},
    };
    std::map<std::string, size_t> sizes;
    for (const auto& c : cases) {
        std::vector<Stream> natives;
        for (const auto& [texture, format] : c.textures) natives.push_back(TextureNative(texture, format));
        const Stream bytes = DictionaryOf(natives);
        Put("player.img", c.name, bytes);
        Put("gta3.img", c.name, bytes);
        sizes[c.name] = bytes.size();
    }
    EXPECT_EQ(Check(), ExitStatus::Ok) << report_.All();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string described = c.name + ": a texture dictionary (" +
                                      (c.textures.size() == 1 ? "1 texture" : "2 textures") +
                                      "), RenderWare 3.6.0.3, " + std::to_string(sizes[c.name]) + " bytes";
        EXPECT_EQ(LineOf(c.name, "gta3.img"), "  ok       " + described);
        EXPECT_EQ(LineOf(c.name, "player.img"),
                  c.warned.empty() ? "  ok       " + described : "  warning  " + described + c.warned);
    }
    EXPECT_TRUE(report_.Has("0 problems, 6 warnings")) << report_.All();
}

// A mod author who tried the package on their own game and zips the folder
// would ship their originals, the install's markers, the script and logs.
TEST_F(CheckModTest, WhatATrialInstallLeftIsAProblemAndIsLeftWhereItIs) {
    PutCleanMod();
    for (const char* kept : {"Install.exe", "Install.plug", "Undo.cmd", "ReadMe.txt", "ForModAuthors.txt"})
        std::ofstream(app_ / kept) << "x";
    fs::create_directories(app_ / "Backups" / "gta3.img");
    fs::create_directories(app_ / "Backups" / "player.img");
    EXPECT_EQ(Check(), ExitStatus::Ok) << "the release as shipped: " << report_.All();

    const std::string sep(1, PathSeparator());
    const std::string release = ": it must not ship; remove it, or zip a clean copy of the release";
    const std::string scratch = "a scratch file the archive tool left when a run here stopped ";
    struct Case {
        std::string path;  // with '/', made with the system's separator
        bool folder;
        std::string what;
    };
    const std::vector<Case> cases = {
        {"Backups/gta3.img/lamppost.dff", false,
         "a backup of lamppost.dff that an install run here took from gta3.img (the undo would put it into the "
         "player's game)"},
        {"Backups/gta3.img/bridge.txd.partial", false, scratch + "(.partial)"},
        {"Backups/player.img/cap.txd.added", false,
         "a marker an install run here left: it added cap.txd to player.img (the undo would remove that entry "
         "from the player's game)"},
        {"Backups/player.img/old", true, "a folder that is not part of the release: the backup folders are empty"},
        {"Backups/notes.txt", false,
         "a file that is not part of the release: Backups holds only the two empty folders gta3.img and "
         "player.img"},
        {"Install.dat", false,
         "the install script the installer wrote when the package was tried here (the undo reads it, and would "
         "take the backups beside it for the player's)"},
        {"Install.log", false, "the log of an install run here"},
        {"RESTORE.LOG", false, "the log of an undo run here"},
        {"gta3.img.rewrite", false, scratch + "(.rewrite)"},
        {"gta3.img.journal", false, scratch + "(.journal)"},
        {"Install.record", false, "a record the archive tool keeps of an install or undo run here"},
    };
    for (const auto& c : cases) {
        if (c.folder)
            fs::create_directories(app_ / c.path);
        else
            std::ofstream(app_ / c.path) << "left";
    }
    const auto before = Snapshot(app_);
    EXPECT_EQ(Check(), ExitStatus::ModProblems) << report_.All();
    EXPECT_EQ(Snapshot(app_), before);
    for (const auto& c : cases) {
        std::string shown = c.path;
        for (char& ch : shown)
            if (ch == '/') ch = PathSeparator();
        EXPECT_EQ(LineOf(shown), "  PROBLEM  " + shown + ": " + c.what + release) << report_.All();
    }
    EXPECT_TRUE(report_.Has(std::to_string(cases.size()) + " problems, 0 warnings")) << report_.All();
    EXPECT_EQ(report_.lines.back(),
              "not ready: the folder holds what trying the package here left, which players must not get; while the "
              "mod is in your game, undo it first with Undo.cmd; then remove what is left, or zip a clean copy of the "
              "release");
    // The payload's files are told as before.
    EXPECT_EQ(LineOf("lamppost.dff", "gta3.img").rfind("  ok       lamppost.dff: ", 0), 0u) << report_.All();

    // With a problem of the payload as well, the verdict is the payload's.
    Put("gta3.img", "empty.dff", {});
    EXPECT_EQ(Check(), ExitStatus::ModProblems) << report_.All();
    EXPECT_EQ(report_.lines.back(),
              "not ready: the install would stop, or the game would fail on a file; fix the problems");
}

TEST(CheckModCommand, TakesOneFolderAndExitsWithTheCheckStatus) {
    const fs::path app = fs::temp_directory_path() / "veltrin-check-mod-command";
    fs::remove_all(app);
    fs::create_directories(app / "gta3.img");
    fs::create_directories(app / "player.img");
    std::ofstream(app / "gta3.img" / "a.col") << "x";
    std::ofstream(app / "gta3.img" / "a.dff", std::ios::binary)
        .write(reinterpret_cast<const char*>(Model().data()), static_cast<std::streamsize>(Model().size()));
    testing::FakeConsole console;
    EXPECT_EQ(RunTool({"Install.plug", "check-mod", Utf8Of(app)}, console, archive::SystemFileSystem()), 14)
        << console.text;
    EXPECT_NE(console.text.find("left out a.col"), std::string::npos) << console.text;
    EXPECT_EQ(RunTool({"Install.plug", "check-mod"}, console, archive::SystemFileSystem()), 1);
    EXPECT_EQ(RunTool({"Install.plug", "check-mod", "a", "b"}, console, archive::SystemFileSystem()), 1);
    fs::remove_all(app);
}

}  // namespace
}  // namespace veltrin::tool
