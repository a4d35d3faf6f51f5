// The install run against the real Windows file system and process launcher,
// with only the two message boxes replaced.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "install/folder_payload_lister.h"
#include "install/install_error.h"
#include "install/install_host_win.h"
#include "install/install_run.h"
#include "install/script.h"
#include "win32/text.h"

namespace veltrin::install {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

class BoxlessHost final : public WinInstallHost {
public:
    BoxlessHost() : WinInstallHost(nullptr) {}
    Lines boxes;

protected:
    void ShowBox(const std::wstring& text, UINT style) override {
        boxes.push_back((style & MB_ICONERROR ? "failure: " : "") + win32::Narrow(text));
    }
};

std::string ReadBytes(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

void WriteBytes(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// A fresh application folder with the recorder as its Install.plug.
class WinInstallTest : public ::testing::Test {
protected:
    fs::path app;
    fs::path record;
    BoxlessHost host;
    FolderPayloadLister lister;
    std::string game = R"(C:\Games\GTA San Andreas)";

    void SetUp() override {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        app = fs::temp_directory_path() / (std::string("veltrin app ") + test->name());
        fs::remove_all(app);
        fs::create_directories(app / "gta3.img");
        fs::create_directories(app / "player.img");
        fs::copy_file(fs::current_path() / VELTRIN_RECORDER_EXE, app / "Install.plug");
        record = app / "launch_record.txt";
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(app, ignored);
    }
    std::string App() const { return win32::Narrow(app.wstring()); }
    int Run() { return RunInstall({game, App()}, lister, host); }
    std::string Record(const std::string& key) const {
        std::istringstream lines(ReadBytes(record));
        for (std::string line; std::getline(lines, line);)
            if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
        return "<none>";
    }
    bool WaitForRecord(std::chrono::milliseconds limit = std::chrono::seconds(20)) const {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (Record("show") != "<none>") return true;
            Sleep(50);
        }
        return false;
    }
    void Touch(const fs::path& path, DWORD attributes = 0) {
        WriteBytes(path, "x");
        if (attributes) {
            ASSERT_TRUE(SetFileAttributesW(path.c_str(), attributes));
        }
    }
};

TEST_F(WinInstallTest, ListerKeepsVisibleModFilesInCaseInsensitiveOrder) {
    const fs::path folder = app / "gta3.img";
    Touch(folder / "B.txd");
    Touch(folder / "a.dff");
    Touch(folder / "A.txd", FILE_ATTRIBUTE_ARCHIVE);
    Touch(folder / "locked.DFF", FILE_ATTRIBUTE_READONLY);
    Touch(folder / "hidden.dff", FILE_ATTRIBUTE_HIDDEN);
    Touch(folder / "system.txd", FILE_ATTRIBUTE_SYSTEM);
    Touch(folder / "notes.txt");
    Touch(folder / "long.dffx");
    Touch(folder / "archive.txd.bak");
    fs::create_directories(folder / "x.dff");
    lister.Point(win32::Narrow(folder.wstring()));
    Lines names;
    for (int i = 0; i < lister.Count(); ++i) names.push_back(lister.NameAt(i));
    EXPECT_EQ(names, (Lines{"a.dff", "A.txd", "B.txd", "locked.DFF"}));
    SetFileAttributesW((folder / "locked.DFF").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(WinInstallTest, ListerFailsOnMissingFoldersAndFiles) {
    Touch(app / "plain.txt");
    EXPECT_THROW(lister.Point(App() + "\\missing"), PayloadListError);
    EXPECT_THROW(lister.Point(App() + "\\plain.txt"), PayloadListError);
}

TEST_F(WinInstallTest, FullRunWritesTheScriptAndStartsTheToolAsPromised) {
    Touch(app / "gta3.img" / "b.txd");
    Touch(app / "gta3.img" / "a.dff");
    Touch(app / "player.img" / "c.dff");
    // An older, longer script must not leave a tail behind.
    WriteBytes(app / "Install.dat", std::string(4096, 'Z'));

    EXPECT_EQ(Run(), kExitSuccess);
    EXPECT_EQ(host.boxes, (Lines{"Install Success !"}));

    const std::string a = EscapePath(App());
    const std::string expected =
        "-open \"C:\\\\Games\\\\GTA San Andreas\\\\models\\\\gta3.img\"\r\n"
        "-export \"a.dff\" \"" +
        a +
        "\\\\Backups\\\\gta3.img\\\\a.dff\"\r\n"
        "-export \"b.txd\" \"" +
        a +
        "\\\\Backups\\\\gta3.img\\\\b.txd\"\r\n"
        "-import \"" +
        a +
        "\\\\gta3.img\\\\a.dff\"\r\n"
        "-import \"" +
        a +
        "\\\\gta3.img\\\\b.txd\"\r\n"
        "-close\r\n"
        "-open \"C:\\\\Games\\\\GTA San Andreas\\\\models\\\\player.img\"\r\n"
        "-export \"c.dff\" \"" +
        a +
        "\\\\Backups\\\\player.img\\\\c.dff\"\r\n"
        "-import \"" +
        a + "\\\\player.img\\\\c.dff\"\r\n";
    EXPECT_EQ(ReadBytes(app / "Install.dat"), expected);

    ASSERT_TRUE(WaitForRecord());
    // The application folder has spaces: the tool's path is quoted, so the
    // arguments arrive whole.
    EXPECT_EQ(Record("commandline"), "\"" + App() + "\\Install.plug\" -script \"" + App() + "\\Install.dat\"");
    EXPECT_EQ(Record("argc"), "3");
    EXPECT_EQ(Record("arg1"), "-script");
    EXPECT_EQ(Record("arg2"), App() + "\\Install.dat");
    EXPECT_EQ(Record("show"), std::to_string(SW_SHOWMAXIMIZED));
    wchar_t cwd[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, cwd);
    EXPECT_EQ(Record("cwd"), win32::Narrow(cwd));
}

// The run ends only after the tool: its box is the tool's ending, here a
// full disk (status 8), which is no success.
TEST_F(WinInstallTest, RunWaitsForTheToolAndReportsItsEnding) {
    WriteBytes(app / "recorder_delay_ms.txt", "1500");
    WriteBytes(app / "recorder_status.txt", "8");
    EXPECT_EQ(Run(), static_cast<int>(Failure::ToolFailed));
    EXPECT_NE(ReadBytes(record).find("finished"), std::string::npos) << "the box came before the tool ended";
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0],
              "failure: The install did not finish.\n\nThe archive tool ended with status 8: there is "
              "not enough free space on the game's disk; make room there and install again.\n\nThe "
              "archive tool's window and Install.log beside Install.exe say what was changed and what "
              "was not:\n" +
                  App() + "\\Install.log");
}

TEST_F(WinInstallTest, NamesTheCodePageHoldsAreWrittenAsItsBytes) {
    ASSERT_EQ(GetACP(), 1252u) << "this test expects the Western code page";
    Touch(app / "player.img" / L"caf\u00e9.dff");
    EXPECT_EQ(Run(), kExitSuccess);
    const std::string script = ReadBytes(app / "Install.dat");
    EXPECT_NE(script.find("-export \"caf\xE9.dff\""), std::string::npos);
    EXPECT_EQ(script.find("\xC3\xA9"), std::string::npos) << "UTF-8 leaked into the script";
    EXPECT_EQ(script.substr(0, 3).find("\xEF\xBB\xBF"), std::string::npos);
}

// A payload name the code page cannot write, in either folder, stops the run
// before Install.dat is created: the script of an earlier install stays as
// it was, and the tool is not started.
TEST_F(WinInstallTest, NamesTheCodePageCannotHoldStopTheRunBeforeTheScript) {
    const std::string earlier = "-open \"C:\\\\Games\\\\models\\\\gta3.img\"\r\n-close\r\n";
    for (const char* folder : {"gta3.img", "player.img"}) {
        SCOPED_TRACE(folder);
        host.boxes.clear();
        for (const char* each : {"gta3.img", "player.img"}) {
            fs::remove_all(app / each);
            fs::create_directories(app / each);
            Touch(app / each / "a.dff");
        }
        Touch(app / folder / L"\u65e5\u672c.dff");
        WriteBytes(app / "Install.dat", earlier);
        EXPECT_EQ(Run(), static_cast<int>(Failure::NotRepresentable));
        ASSERT_EQ(host.boxes.size(), 1u);
        EXPECT_NE(host.boxes[0].find(std::string(folder) + "\\\u65e5\u672c.dff\n"), std::string::npos) << host.boxes[0];
        EXPECT_EQ(ReadBytes(app / "Install.dat"), earlier);
    }
    Sleep(300);
    EXPECT_FALSE(fs::exists(record));
}

// The report names the part of a path that the code page cannot write: the
// folder holding the installer, the game folder or the mod file, and the name
// in it to change.
TEST_F(WinInstallTest, ThePartTheCodePageCannotHoldIsTheOneNamed) {
    ASSERT_EQ(GetACP(), 1252u) << "this test expects the Western code page";
    const fs::path modsFolder = fs::temp_directory_path() / L"\u041c\u043e\u0434\u044b";  // "Mods" in Russian
    struct Case {
        const char* part;
        fs::path appFolder;
        std::string gameFolder;
        std::wstring fileName;  // a player.img payload file besides a.dff
        std::string named;      // what the box must say
        std::string offending;  // the name it must quote
    };
    const Case cases[] = {
        {"the folder holding the installer", modsFolder / "VeltrinMOD-V1", game, L"b.dff",
         "The folder holding the installer has a name in its path that this system's code page cannot hold "
         "(\"\u041c\u043e\u0434\u044b\"):\n" +
             win32::Narrow((modsFolder / "VeltrinMOD-V1").wstring()) + "\n\n",
         "(\"\u041c\u043e\u0434\u044b\")"},
        {"the game folder", app, "C:\\\u0418\u0433\u0440\u044b\\GTA San Andreas", L"b.dff",
         "The game folder has a name in its path that this system's code page cannot hold "
         "(\"\u0418\u0433\u0440\u044b\"):\nC:\\\u0418\u0433\u0440\u044b\\GTA San Andreas\n\n",
         "(\"\u0418\u0433\u0440\u044b\")"},
        {"a mod file", app, game, L"\u0437\u043d\u0430\u043a.dff",
         "The mod file has a name that this system's code page cannot hold (\"\u0437\u043d\u0430\u043a.dff\"):\n" +
             App() + "\\player.img\\\u0437\u043d\u0430\u043a.dff\n\n",
         "(\"\u0437\u043d\u0430\u043a.dff\")"},
    };
    const fs::path home = app;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.part);
        host.boxes.clear();
        if (c.appFolder != app) {
            fs::create_directories(c.appFolder.parent_path());
            fs::rename(app, c.appFolder);
            app = c.appFolder;
        }
        Touch(app / "gta3.img" / "veltrin_sign.dff");
        Touch(app / "player.img" / c.fileName);
        game = c.gameFolder;
        EXPECT_EQ(Run(), static_cast<int>(Failure::NotRepresentable));
        ASSERT_EQ(host.boxes.size(), 1u);
        const std::string& box = host.boxes[0];
        EXPECT_NE(box.find(c.named), std::string::npos) << box;
        EXPECT_NE(box.find(c.offending), std::string::npos) << box;
        EXPECT_EQ(box.find("veltrin_sign"), std::string::npos) << box;
        EXPECT_FALSE(fs::exists(app / "Install.dat"));
        fs::remove(app / "player.img" / c.fileName);
        if (app != home) {
            fs::rename(app, home);
            app = home;
            fs::remove_all(modsFolder);
        }
    }
}

TEST_F(WinInstallTest, MissingFirstPayloadFolderLeavesNothing) {
    fs::remove_all(app / "gta3.img");
    EXPECT_EQ(Run(), static_cast<int>(Failure::Gta3PayloadFolder));
    EXPECT_FALSE(fs::exists(app / "Install.dat"));
    EXPECT_FALSE(fs::exists(record));
}

TEST_F(WinInstallTest, PayloadFolderThatIsAFileFailsLikeAMissingOne) {
    fs::remove_all(app / "gta3.img");
    Touch(app / "gta3.img");
    EXPECT_EQ(Run(), static_cast<int>(Failure::Gta3PayloadFolder));
    EXPECT_FALSE(fs::exists(app / "Install.dat"));
}

TEST_F(WinInstallTest, ScriptThatCannotBeCreatedLeavesNothingNew) {
    fs::create_directories(app / "Install.dat");
    EXPECT_EQ(Run(), static_cast<int>(Failure::ScriptCreate));
    EXPECT_TRUE(fs::is_directory(app / "Install.dat"));
    EXPECT_FALSE(fs::exists(record));
}

TEST_F(WinInstallTest, MissingSecondPayloadFolderLeavesOnlyTheFirstBlock) {
    Touch(app / "gta3.img" / "a.dff");
    fs::remove_all(app / "player.img");
    EXPECT_EQ(Run(), static_cast<int>(Failure::PlayerPayloadFolder));
    const std::string script = ReadBytes(app / "Install.dat");
    EXPECT_EQ(script.substr(script.size() - 8), "-close\r\n");
    EXPECT_EQ(script.find("player.img"), std::string::npos);
    EXPECT_FALSE(fs::exists(record));
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_NE(host.boxes[0].find(App() + "\\player.img"), std::string::npos);
}

// A file in the tool's place that is no program (a text file, a damaged
// download), or no file at all: the report says what was being started and
// the system's reason in words, without the placeholders of its message.
TEST_F(WinInstallTest, AToolThatCannotStartIsNamedWithTheSystemsReason) {
    struct Case {
        const char* what;
        const char* bytes;  // nullptr: no file
    };
    for (const auto& [what, bytes] : {Case{"a text file", "This is not a program.\r\n"}, Case{"no file", nullptr}}) {
        SCOPED_TRACE(what);
        host.boxes.clear();
        fs::remove(app / "Install.plug");
        if (bytes) WriteBytes(app / "Install.plug", bytes);
        EXPECT_EQ(Run(), static_cast<int>(Failure::ToolLaunch));
        ASSERT_EQ(host.boxes.size(), 1u);
        const std::string& box = host.boxes[0];
        const std::string named = "The archive tool cannot be started:\n" + App() + "\\Install.plug\n\n";
        const size_t at = box.find(named);
        ASSERT_NE(at, std::string::npos) << box;
        EXPECT_GT(box.find_first_of(".\n", at + named.size()), at + named.size() + 3) << box;  // a reason follows
        EXPECT_EQ(box.find('%'), std::string::npos) << box;
    }
}

TEST_F(WinInstallTest, MissingToolLeavesACompleteScriptAndNoSuccess) {
    fs::remove(app / "Install.plug");
    EXPECT_EQ(Run(), static_cast<int>(Failure::ToolLaunch));
    const std::string script = ReadBytes(app / "Install.dat");
    EXPECT_TRUE(script.ends_with("-open \"C:\\\\Games\\\\GTA San Andreas\\\\models\\\\player.img\"\r\n"));
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].rfind("failure: ", 0), 0u);
}

// f: is a disk of 1.2 MB (a tmpfs, mapped by tests/wine_drives.sh; these
// cases run as core_tests.FullDisk). A file fills it up to a few pages; the script
// then runs out of room on its way. The report gives the system's reason for
// the write that failed, and how much room the disk has.
class FullDisk : public ::testing::Test {
protected:
    const fs::path drive = L"F:\\";
    fs::path app;
    BoxlessHost host;
    FolderPayloadLister lister;

    void SetUp() override {
        ULARGE_INTEGER total{};
        ASSERT_TRUE(GetDiskFreeSpaceExW(drive.c_str(), nullptr, &total, nullptr)) << "drive f: is not mapped";
        ASSERT_LT(total.QuadPart, 2u << 20) << "drive f: is not the small disk";
        app = drive / "veltrin app";
        std::error_code ignored;
        fs::remove_all(drive / "filler", ignored);
        fs::remove_all(app, ignored);
        fs::create_directories(app / "gta3.img");
        fs::create_directories(app / "player.img");
        // Empty files take no room on the disk, but each makes two script
        // lines of about 90 bytes.
        for (int i = 0; i < 200; ++i) WriteBytes(app / "gta3.img" / ("mod_file_" + std::to_string(i) + ".dff"), "");
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(app, ignored);
        fs::remove_all(drive / "filler", ignored);
    }
    // Fills the disk up to about that many bytes.
    void FillLeaving(ULONGLONG room) {
        ULARGE_INTEGER free{};
        ASSERT_TRUE(GetDiskFreeSpaceExW(drive.c_str(), &free, nullptr, nullptr));
        ASSERT_GT(free.QuadPart, room);
        WriteBytes(drive / "filler", std::string(static_cast<size_t>(free.QuadPart - room), 'f'));
        ASSERT_TRUE(GetDiskFreeSpaceExW(drive.c_str(), &free, nullptr, nullptr));
        ASSERT_LE(free.QuadPart, room + 8192);
    }
};

TEST_F(FullDisk, TheReportGivesTheSystemsReasonAndTheRoomLeft) {
    struct Case {
        const char* what;
        bool earlierScript;  // replacing a file leaves "already exists" as the last error
    };
    for (const auto& [what, earlierScript] : {Case{"a new script", false}, Case{"over an earlier script", true}}) {
        SCOPED_TRACE(what);
        host.boxes.clear();
        fs::remove(app / "Install.dat");
        if (earlierScript) WriteBytes(app / "Install.dat", "-close\r\n");
        FillLeaving(8192);
        const std::string appFolder = win32::Narrow(app.wstring());
        EXPECT_EQ(RunInstall({R"(C:\Games\GTA San Andreas)", appFolder}, lister, host),
                  static_cast<int>(Failure::ScriptWrite));
        ASSERT_EQ(host.boxes.size(), 1u);
        const std::string& box = host.boxes[0];
        EXPECT_NE(box.find(appFolder + "\\Install.dat"), std::string::npos) << box;
        EXPECT_NE(box.find(win32::SystemMessage(ERROR_DISK_FULL)), std::string::npos) << box;
        EXPECT_NE(box.find("The disk has "), std::string::npos) << box;
        EXPECT_NE(box.find(" free; make room there"), std::string::npos) << box;
        fs::remove(drive / "filler");
    }
}

}  // namespace
}  // namespace veltrin::install
