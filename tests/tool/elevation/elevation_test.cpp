// The check before a run writes: which places count as refused, what the
// tool says and asks, and what it does with the answer. The system is faked:
// a file system that refuses chosen paths, a console that answers, and
// administrator rights that record the relaunch.
#include "tool/elevation/elevation.h"

#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "archive/archive_error.h"
#include "testing/memory_file_system.h"
#include "tool/runs/run_places.h"
#include "tool/shell/tool_main.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

using namespace testing;
using archive::ArchiveError;
using archive::ErrorKind;
using archive::OpenMode;
using archive::testing::MemoryFileSystem;

std::string FolderPart(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

// Refuses writes to the chosen files and creation in the chosen folders, as
// Program Files does, both in the checks and in the writes themselves, and
// counts what was written.
class RefusingFileSystem final : public archive::FileSystem {
public:
    explicit RefusingFileSystem(MemoryFileSystem& inner) : inner_(inner) {}
    std::set<std::string> deniedFiles;
    std::set<std::string> deniedFolders;
    // Files and folders with the read-only mark: such a file refuses every
    // write, as on Windows; a folder refuses only when also denied.
    std::set<std::string> readOnly;
    std::vector<std::string> written;  // every path changed

    std::unique_ptr<archive::File> Open(const std::string& path, OpenMode mode) override {
        if (mode != OpenMode::Read) {
            Refuse(path, mode == OpenMode::ReadWrite || (mode == OpenMode::CreateAlways && inner_.Exists(path)));
            written.push_back(path);
        }
        return inner_.Open(path, mode);
    }
    bool Exists(const std::string& path) override { return inner_.Exists(path); }
    void ReplaceAtomically(const std::string& from, const std::string& to) override {
        Refuse(to, false);
        written.push_back(to);
        inner_.ReplaceAtomically(from, to);
    }
    void Remove(const std::string& path) override {
        Refuse(path, false);
        written.push_back(path);
        inner_.Remove(path);
    }
    void CreateDirectories(const std::string& path) override {
        for (std::string part = path; part.find('/') != std::string::npos; part = FolderPart(part))
            if (!inner_.Exists(part) && deniedFolders.count(FolderPart(part)))
                throw ArchiveError(ErrorKind::AccessDenied, path, "denied");
        written.push_back(path);
        inner_.CreateDirectories(path);
    }
    void RemoveEmptyFolder(const std::string& path) override {
        written.push_back(path);
        inner_.RemoveEmptyFolder(path);
    }
    uint64_t FreeSpace(const std::string& path) override { return inner_.FreeSpace(path); }

    void CheckWritable(const std::string& path) override {
        Refuse(path, true);
        inner_.Open(path, OpenMode::Read);  // missing or in use, as the run would find it
        checks.push_back("file " + path);
    }
    void CheckCanCreateIn(const std::string& folder) override {
        if (deniedFolders.count(folder)) throw ArchiveError(ErrorKind::AccessDenied, folder, "denied");
        if (!inner_.Exists(folder)) throw ArchiveError(ErrorKind::NotFound, folder, "missing");
        checks.push_back("folder " + folder);
    }
    bool MarkedReadOnly(const std::string& path) override { return readOnly.count(path) != 0; }
    std::vector<std::string> checks;

private:
    void Refuse(const std::string& path, bool existing) {
        if (existing ? deniedFiles.count(path) != 0 || readOnly.count(path) != 0
                     : deniedFolders.count(FolderPart(path)) != 0)
            throw ArchiveError(ErrorKind::AccessDenied, path, "denied");
    }
    MemoryFileSystem& inner_;
};

class AnsweringConsole final : public Console {
public:
    bool canAsk = true;
    std::deque<std::optional<std::string>> answers;
    int questions = 0;
    std::string text;

    void Write(std::string_view written) override { text += written; }
    bool IsTerminal() override { return false; }
    bool OwnsWindow() override { return false; }
    void WaitForEnter() override {}
    bool CanAsk() override { return canAsk; }
    std::optional<std::string> Ask(std::string_view question) override {
        ++questions;
        Write(question);
        if (answers.empty()) return std::nullopt;
        auto answer = answers.front();
        answers.pop_front();
        if (answer) Write(*answer + "\n");
        return answer;
    }
};

class FakeRights final : public AdminRights {
public:
    explicit FakeRights(MemoryFileSystem& fs) : fs_(fs) {}
    bool canElevate = true;
    bool elevated = false;
    RelaunchResult result{RelaunchResult::Outcome::Finished, 0, {}};
    std::vector<std::vector<std::string>> relaunches;
    bool logFreeAtRelaunch = false;

    bool CanElevate() override { return canElevate; }
    bool IsElevated() override { return elevated; }
    RelaunchResult RelaunchElevated(const std::vector<std::string>& arguments) override {
        relaunches.push_back(arguments);
        // The elevated run makes its own log: this one must be closed.
        try {
            fs_.Open("/app/Install.log", OpenMode::CreateAlways);
            logFreeAtRelaunch = true;
        } catch (const ArchiveError&) {}
        return result;
    }

private:
    MemoryFileSystem& fs_;
};

const std::string kArchive = "/pf/game/models/gta3.img";
const std::string kBackup = "/app/Backups/gta3.img/a.dff";

class ElevationTest : public ::testing::Test {
protected:
    MemoryFileSystem memory;
    RefusingFileSystem fs{memory};
    AnsweringConsole console;
    FakeRights rights{memory};
    Content original{{"a.dff", Pattern(3000, 1)}};

    void SetUp() override {
        for (const char* folder : {"/pf", "/pf/game", "/pf/game/models", "/app", "/app/gta3.img"})
            memory.CreateDirectories(folder);
        MakeArchive(memory, kArchive, original);
        memory.SetFile("/app/gta3.img/a.dff", Pattern(5000, 2));
        memory.SetFile("/app/Install.dat", BytesOf("-open \"" + kArchive + "\"\r\n-export \"a.dff\" \"" + kBackup +
                                                   "\"\r\n-import \"/app/gta3.img/a.dff\"\r\n-close\r\n"));
    }
    int Run(const std::string& command = "-script") {
        return RunTool({"Install.plug", command, "/app/Install.dat"}, console, fs, rights);
    }
    // Nothing but the tool's log was written.
    void ExpectNothingChanged() {
        for (const auto& path : fs.written) EXPECT_EQ(path, "/app/Install.log");
        EXPECT_EQ(ReadContent(memory, kArchive), (Content{{"a.dff", Stored(Pattern(3000, 1))}}));
        EXPECT_FALSE(memory.Exists(kBackup));
        EXPECT_FALSE(memory.Exists("/app/Backups"));
    }
    bool Shows(const std::string& text) const { return console.text.find(text) != std::string::npos; }
};

const std::string kQuestion(kElevateQuestion);

TEST_F(ElevationTest, WritableRunsWithoutAQuestion) {
    EXPECT_EQ(Run(), 0) << console.text;
    EXPECT_EQ(console.questions, 0);
    EXPECT_TRUE(rights.relaunches.empty());
    EXPECT_EQ(ReadContent(memory, kArchive), (Content{{"a.dff", Stored(Pattern(5000, 2))}}));
    EXPECT_EQ(memory.Contents(kBackup), Stored(Pattern(3000, 1)));
    // The archive, its folder and the backup folder's nearest parent were checked.
    EXPECT_EQ(fs.checks, (std::vector<std::string>{"file " + kArchive, "folder /pf/game/models", "folder /app"}));
}

TEST_F(ElevationTest, DeniedAndYesRunsAgainElevatedWithTheSameArgumentsAndEndsWithItsStatus) {
    fs.deniedFiles.insert(kArchive);
    fs.deniedFolders.insert("/pf/game/models");
    console.answers.push_back("y");
    rights.result = {RelaunchResult::Outcome::Finished, 5, {}};
    EXPECT_EQ(Run(), 5) << console.text;
    ASSERT_EQ(rights.relaunches.size(), 1u);
    EXPECT_EQ(rights.relaunches[0], (std::vector<std::string>{"-script", "/app/Install.dat"}));
    EXPECT_TRUE(rights.logFreeAtRelaunch);
    EXPECT_EQ(console.questions, 1);
    EXPECT_TRUE(Shows("Windows does not let this account change " + kArchive +
                      " (it is probably in Program Files).\n"
                      "Windows does not let this account create files in /pf/game/models (it is probably in "
                      "Program Files).\n" +
                      kQuestion + "y\n"))
        << console.text;
    EXPECT_TRUE(Shows("the administrator's window finished with status 5\n")) << console.text;
    EXPECT_FALSE(Shows("running /app/Install.dat"));
    ExpectNothingChanged();
}

TEST_F(ElevationTest, YesInAnyCaseAndWithBlanksCounts) {
    fs.deniedFiles.insert(kArchive);
    for (const char* yes : {"Y", " yes ", "YES"}) {
        console.answers.push_back(yes);
        EXPECT_EQ(Run(), 0) << yes;
    }
    EXPECT_EQ(rights.relaunches.size(), 3u);
}

TEST_F(ElevationTest, AnythingButYesEndsWithAccessDeniedAndNothingChanged) {
    fs.deniedFiles.insert(kArchive);
    for (const char* answer : {"", "n", "no", "yy", "ja"}) {
        console.text.clear();
        console.answers.push_back(answer);
        EXPECT_EQ(Run(), Code(ExitStatus::AccessDenied)) << answer;
        EXPECT_TRUE(Shows(kQuestion + answer +
                          "\nerror: access denied: run as administrator or move the game out "
                          "of Program Files\nnothing was changed\nfailed\n"))
            << console.text;
    }
    EXPECT_TRUE(rights.relaunches.empty());
    ExpectNothingChanged();
    // The log says so too.
    EXPECT_NE(Text(memory.Contents("/app/Install.log")).find("change " + kArchive), std::string::npos);
}

TEST_F(ElevationTest, EndOfInputIsNo) {
    fs.deniedFiles.insert(kArchive);
    console.answers.push_back(std::nullopt);
    EXPECT_EQ(Run(), Code(ExitStatus::AccessDenied));
    EXPECT_EQ(console.questions, 1);
    EXPECT_TRUE(Shows(kQuestion + "\nerror: access denied")) << console.text;
    EXPECT_TRUE(rights.relaunches.empty());
    ExpectNothingChanged();
}

TEST_F(ElevationTest, WithNobodyToAskItDoesNotAsk) {
    fs.deniedFiles.insert(kArchive);
    console.canAsk = false;
    console.answers.push_back("y");
    EXPECT_EQ(Run(), Code(ExitStatus::AccessDenied));
    EXPECT_EQ(console.questions, 0);
    EXPECT_TRUE(rights.relaunches.empty());
    EXPECT_TRUE(Shows("error: access denied: run as administrator")) << console.text;
    ExpectNothingChanged();
}

TEST_F(ElevationTest, APromptRefusedOrAFailedStartEndsWithAccessDenied) {
    fs.deniedFiles.insert(kArchive);
    console.answers.push_back("y");
    rights.result = {RelaunchResult::Outcome::Refused, 0, {}};
    EXPECT_EQ(Run(), Code(ExitStatus::AccessDenied));
    EXPECT_TRUE(Shows("error: administrator rights were not given\nnothing was changed\nfailed\n")) << console.text;

    console.text.clear();
    console.answers.push_back("y");
    rights.result = {RelaunchResult::Outcome::Failed, 0, "The system cannot find the file specified."};
    EXPECT_EQ(Run(), Code(ExitStatus::AccessDenied));
    EXPECT_TRUE(
        Shows("error: Install.plug could not be started with administrator rights: The system cannot find "
              "the file specified.\nnothing was changed\nfailed\n"))
        << console.text;
    EXPECT_EQ(rights.relaunches.size(), 2u);
    ExpectNothingChanged();
}

TEST_F(ElevationTest, AlreadyElevatedIsNotOfferedAgain) {
    fs.deniedFiles.insert(kArchive);
    rights.elevated = true;
    console.answers.push_back("y");
    EXPECT_EQ(Run(), Code(ExitStatus::AccessDenied));
    EXPECT_EQ(console.questions, 0);
    EXPECT_TRUE(rights.relaunches.empty());
    EXPECT_TRUE(Shows("error: access denied, even with administrator rights\nnothing was changed\nfailed\n"))
        << console.text;
    ExpectNothingChanged();
}

TEST_F(ElevationTest, WithoutElevationOnTheSystemItOnlyReports) {
    fs.deniedFiles.insert(kArchive);
    rights.canElevate = false;
    EXPECT_EQ(Run(), Code(ExitStatus::AccessDenied));
    EXPECT_EQ(console.questions, 0);
    EXPECT_TRUE(Shows("The system does not let this account change " + kArchive + ".\nerror: access denied\n"))
        << console.text;
    ExpectNothingChanged();
}

TEST_F(ElevationTest, OnlyTheBackupFolderDenied) {
    fs.deniedFolders.insert("/app");  // Backups is missing: the run would create it in /app
    console.answers.push_back("n");
    EXPECT_EQ(Run(), Code(ExitStatus::AccessDenied)) << console.text;
    EXPECT_TRUE(
        Shows("Windows does not let this account create the folder /app/Backups/gta3.img (it is probably "
              "in Program Files).\n" +
              kQuestion))
        << console.text;
    EXPECT_FALSE(Shows("change " + kArchive));
    ExpectNothingChanged();
}

TEST_F(ElevationTest, AnExistingBackupFolderDenied) {
    memory.CreateDirectories("/app/Backups/gta3.img");
    fs.deniedFolders.insert("/app/Backups/gta3.img");
    console.answers.push_back("n");
    EXPECT_EQ(Run(), Code(ExitStatus::AccessDenied)) << console.text;
    EXPECT_TRUE(Shows("Windows does not let this account create files in /app/Backups/gta3.img")) << console.text;
    EXPECT_EQ(ReadContent(memory, kArchive), (Content{{"a.dff", Stored(Pattern(3000, 1))}}));
    EXPECT_FALSE(memory.Exists(kBackup));
}

TEST_F(ElevationTest, TheArchiveFolderDeniedButTheArchiveWritable) {
    // Without the check the run would write the backup and fail at the save.
    fs.deniedFolders.insert("/pf/game/models");
    console.answers.push_back("n");
    EXPECT_EQ(Run(), Code(ExitStatus::AccessDenied)) << console.text;
    EXPECT_TRUE(Shows("Windows does not let this account create files in /pf/game/models (it is")) << console.text;
    EXPECT_FALSE(Shows("change " + kArchive));
    ExpectNothingChanged();
}

TEST_F(ElevationTest, AMissingOrLockedArchiveIsLeftToTheRun) {
    fs.deniedFolders.insert("/app");
    memory.Lock(kArchive);
    EXPECT_EQ(Run(), Code(ExitStatus::Locked)) << console.text;
    EXPECT_EQ(console.questions, 0);
    memory.Unlock(kArchive);

    memory.Remove(kArchive);
    console.text.clear();
    EXPECT_EQ(Run(), Code(ExitStatus::NotFound)) << console.text;
    EXPECT_EQ(console.questions, 0);
    EXPECT_TRUE(Shows(kArchive + " was not found")) << console.text;
}

TEST_F(ElevationTest, AScriptTheRunRefusesIsNotChecked) {
    fs.deniedFiles.insert(kArchive);
    memory.SetFile("/app/Install.dat", BytesOf("-open \"" + kArchive + "\"\r\n-bogus\r\n"));
    EXPECT_EQ(Run(), Code(ExitStatus::ScriptInvalid)) << console.text;
    EXPECT_EQ(console.questions, 0);
}

// The undo removes the backups it used, so a backup folder it may not write
// stops it before the archive changes, as the archive itself does.
TEST_F(ElevationTest, AnUndoChecksItsArchiveAndItsBackupFolders) {
    memory.CreateDirectories("/app/Backups/gta3.img");
    memory.SetFile(kBackup, Stored(Pattern(3000, 1)));
    fs.deniedFolders.insert("/app/Backups/gta3.img");
    const auto before = memory.Contents(kArchive);
    EXPECT_EQ(Run("-restore"), Code(ExitStatus::AccessDenied)) << console.text;
    EXPECT_EQ(console.questions, 1);
    EXPECT_TRUE(Shows("/app/Backups/gta3.img")) << console.text;
    EXPECT_EQ(memory.Contents(kArchive), before);
    EXPECT_TRUE(memory.Exists(kBackup));
    fs.deniedFolders.clear();

    fs.deniedFiles.insert(kArchive);
    console.answers.push_back("y");
    EXPECT_EQ(Run("-restore"), 0) << console.text;
    ASSERT_EQ(rights.relaunches.size(), 1u);
    EXPECT_EQ(rights.relaunches[0], (std::vector<std::string>{"-restore", "/app/Install.dat"}));
}

// A file marked read-only (a game copied from a disc) is refused even to an
// administrator: it is named as such and the run ends without the offer.
TEST_F(ElevationTest, AReadOnlyPlaceIsNamedAsSuchAndEndsWithoutTheOffer) {
    const std::string kModels = "/pf/game/models";
    const std::string kBackups = "/app/Backups/gta3.img";
    const std::string untick = " is marked read-only (Properties, untick Read-only).\n";
    const std::string end =
        "error: access denied: take the read-only mark off what is named above and run again (administrator "
        "rights do not lift it)\nnothing was changed\nfailed\n";
    struct Case {
        const char* what;
        std::set<std::string> readOnly;
        std::set<std::string> deniedFolders;
        bool canElevate;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {"the archive", {kArchive}, {}, true, kArchive + untick + end},
        {"the archive, and its folder in Program Files",
         {kArchive},
         {kModels},
         true,
         kArchive + untick + "Windows does not let this account create files in " + kModels +
             " (it is probably in Program Files).\n" + end},
        {"a backup folder that refuses files", {kBackups}, {kBackups}, true, kBackups + untick + end},
        {"without elevation on the system",
         {kArchive},
         {},
         false,
         kArchive + " is marked read-only (give its owner write permission).\n" + end},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        memory.CreateDirectories(kBackups);
        fs.readOnly = c.readOnly;
        fs.deniedFolders = c.deniedFolders;
        rights.canElevate = c.canElevate;
        console.text.clear();
        console.questions = 0;
        console.answers = {"y"};
        rights.relaunches.clear();
        EXPECT_EQ(Run(), Code(ExitStatus::AccessDenied)) << console.text;
        EXPECT_EQ(console.questions, 0) << console.text;
        EXPECT_TRUE(rights.relaunches.empty());
        EXPECT_TRUE(Shows(c.shown)) << console.text;
        EXPECT_FALSE(Shows("change " + kArchive)) << console.text;
        EXPECT_EQ(ReadContent(memory, kArchive), (Content{{"a.dff", Stored(Pattern(3000, 1))}}));
        EXPECT_FALSE(memory.Exists(kBackup));
    }
    // The log says so too.
    EXPECT_NE(Text(memory.Contents("/app/Install.log")).find(kArchive + " is marked read-only"), std::string::npos);
}

// Windows lets files be made in a folder with the read-only mark: a folder
// that merely carries it is no reason to stop.
TEST_F(ElevationTest, AFolderThatMerelyCarriesTheReadOnlyMarkIsWritten) {
    fs.readOnly = {"/pf/game/models", "/app", "/pf"};
    EXPECT_EQ(Run(), 0) << console.text;
    EXPECT_FALSE(Shows("read-only")) << console.text;
    EXPECT_EQ(ReadContent(memory, kArchive), (Content{{"a.dff", Stored(Pattern(5000, 2))}}));
}

// The backups and markers an undo removes: a read-only one is named as
// such, one the system refuses as any file is, a missing one is passed over
// and does not end the check.
TEST_F(ElevationTest, FilesARunRemovesAreCheckedWhereTheyAre) {
    const std::string kMarker = "/app/Backups/gta3.img/new.txd.added";
    const std::string kDenied = "/app/Backups/gta3.img/b.txd";
    memory.CreateDirectories("/app/Backups/gta3.img");
    memory.SetFile(kBackup, Stored(Pattern(3000, 1)));
    memory.SetFile(kMarker, {});
    memory.SetFile(kDenied, Stored(Pattern(100, 2)));
    fs.readOnly = {kBackup};
    fs.deniedFiles = {kDenied};
    using Place = WritePlace::Kind;
    const auto denied = DeniedPlaces({{Place::RemovedFile, "/app/Backups/gta3.img/gone.dff"},
                                      {Place::RemovedFile, kBackup},
                                      {Place::RemovedFile, kMarker},
                                      {Place::RemovedFile, kDenied},
                                      {Place::File, kArchive}},
                                     fs);
    ASSERT_EQ(denied.size(), 2u);
    EXPECT_EQ(denied[0].kind, DeniedPlace::Kind::ReadOnly);
    EXPECT_EQ(denied[0].path, kBackup);
    EXPECT_EQ(denied[1].kind, DeniedPlace::Kind::File);
    EXPECT_EQ(denied[1].path, kDenied);
    EXPECT_EQ(fs.checks, (std::vector<std::string>{"file " + kMarker, "file " + kArchive}));
}

TEST_F(ElevationTest, EachPlaceIsCheckedAndNamedOnce) {
    std::string script = "-open \"" + kArchive + "\"\r\n";
    for (int i = 0; i < 50; ++i)
        script +=
            "-export \"e" + std::to_string(i) + ".dff\" \"/app/Backups/gta3.img/e" + std::to_string(i) + ".dff\"\r\n";
    script += "-close\r\n-open \"" + kArchive + "\"\r\n-close\r\n";
    memory.SetFile("/app/Install.dat", BytesOf(script));
    fs.deniedFolders.insert("/app");
    const auto denied = DeniedPlaces(PlacesInstallWrites(script), fs);
    ASSERT_EQ(denied.size(), 1u);
    EXPECT_EQ(denied[0].kind, DeniedPlace::Kind::NewFolder);
    EXPECT_EQ(denied[0].path, "/app/Backups/gta3.img");
    EXPECT_EQ(fs.checks.size(), 3u);  // the archive twice (opened twice), its folder once
}

}  // namespace
}  // namespace veltrin::tool
