// Install.plug status: what the game's records of installs say, held against
// the archives as they are: the installs oldest first, joined across the
// archives by their folders; what each undo would do now (an entry a later
// install lies over stays, and that install's undo gives back what lies
// below; an entry another program changed stays); the originals the store
// misses; a record that cannot be trusted. It changes nothing: every file on
// the disk holds the same bytes after, even where opening an archive would
// settle an interrupted save.
#include "tool/shell/game_status.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "archive/archive_error.h"
#include "archive/sha256.h"
#include "testing/forwarding_file_system.h"
#include "testing/memory_file_system.h"
#include "tool/runs/game_pending.h"
#include "tool/runs/game_record.h"
#include "tool/runs/restore.h"
#include "tool/runs/script_runner.h"
#include "tool/shell/tool_main.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

using namespace testing;
using archive::testing::MemoryFileSystem;

const std::string kModA = R"(D:\Mod A)";
const std::string kModACopy = R"(D:\Downloads\Mod A (2))";
const std::string kModB = R"(E:\Mod B)";
constexpr uint64_t kTimeA = 1'796'000'000;  // 2026-11-30 00:53 UTC
constexpr uint64_t kTimeB = 1'796'003'600;

PutData Put(const Bytes& file) { return {file.size(), archive::Sha256Of(file)}; }
StoredContent Held(const Bytes& file) {
    const Bytes stored = Stored(file);
    return {stored.size(), archive::Sha256Of(stored), {}, 0};
}

// Everything on the disk, to see that nothing changed.
std::map<std::string, Bytes> Disk(MemoryFileSystem& fs) {
    std::map<std::string, Bytes> files;
    for (const std::string& path : fs.Paths())
        if (fs.Exists(path)) {
            try {
                files[path] = fs.Contents(path);
            } catch (const archive::ArchiveError&) {
                files[path] = {};  // a folder
            }
        }
    return files;
}

// Mod A (from its folder and a fresh copy's) replaced a.dff, added cap.txd
// and replaced c.dff in player.img; then mod B replaced a.dff again and put
// the same cap.txd in. The records and the store as the installs leave them.
class GameStatusTest : public ::testing::Test {
protected:
    MemoryFileSystem fs;
    RecordingReport report;
    const Bytes gameA = Pattern(3000, 1);
    const Bytes gameC = Pattern(2048, 4);
    const Bytes modA = Pattern(4500, 11);
    const Bytes modB = Pattern(1200, 21);
    const Bytes cap = Pattern(700, 13);
    const Bytes modC = Pattern(2049, 14);

    void SetUp() override {
        MakeArchive(fs, kGta3, {{"a.dff", gameA}, {"other.dff", Pattern(5000, 3)}});
        MakeArchive(fs, kPlayer, {{"c.dff", gameC}});
        GameRecord gta3 = Before(kGta3);
        GameRecord player = Before(kPlayer);
        Change(kGta3, {{"a.dff", modA}, {"cap.txd", cap}});
        Change(kPlayer, {{"c.dff", modC}});
        GameInstall a = Install({kModA, kModACopy}, kTimeA);
        a.entries = {{"a.dff", Held(gameA), "a.dff", Put(modA)}, {"cap.txd", std::nullopt, "", Put(cap)}};
        GameInstall aPlayer = Install({kModA, kModACopy}, kTimeA);
        aPlayer.entries = {{"c.dff", Held(gameC), "c.dff", Put(modC)}};
        Change(kGta3, {{"A.DFF", modB}, {"cap.txd", cap}});
        GameInstall b = Install({kModB}, kTimeB);
        b.entries = {{"A.DFF", Held(modA), "a.dff", Put(modB)}, {"cap.txd", Held(cap), "cap.txd", Put(cap)}};
        gta3.installs = {a, b};
        player.installs = {aPlayer};
        Record(kGta3, gta3);
        Record(kPlayer, player);
        for (const Bytes& original : {gameA, modA, cap}) Keep(kGta3, original);
        Keep(kPlayer, gameC);
    }

    static GameInstall Install(std::vector<std::string> folders, uint64_t time) {
        GameInstall install;
        install.folders = std::move(folders);
        install.modDigest = archive::Sha256Of(BytesOf(install.folders.front()));
        install.computer = "PLAYER-PC";
        install.time = time;
        return install;
    }
    GameRecord Before(const std::string& path) {
        GameRecord record;
        record.layout = archive::Archive::Open(path, fs).CurrentLayout();
        return record;
    }
    void Change(const std::string& path, const Content& entries) {
        auto opened = archive::Archive::Open(path, fs);
        for (const auto& [name, bytes] : entries) opened.Put(name, bytes);
        opened.Commit();
    }
    void Record(const std::string& path, GameRecord record) {
        const auto opened = archive::Archive::Open(path, fs);
        record.LeaveAt(opened.CurrentState(), opened.CurrentDirectory());
        WriteGameRecord(fs, GameRecordPathFor(path), record);
    }
    std::string OriginalPath(const std::string& path, const Bytes& file) {
        return path + ".originals\\" + archive::HexOf(Held(file).digest);
    }
    void Keep(const std::string& path, const Bytes& file) { fs.SetFile(OriginalPath(path, file), Stored(file)); }

    ExitStatus Status() {
        const auto before = Disk(fs);
        const ExitStatus status = ShowGameStatus(kGame, ArchivesToShow({}), fs, report);
        EXPECT_EQ(Disk(fs), before) << "status changed the disk";
        return status;
    }
};

TEST_F(GameStatusTest, ListsTheInstallsOldestFirstWithWhatEachUndoWouldDoNow) {
    ASSERT_EQ(Status(), ExitStatus::Ok) << report.All();
    const std::vector<std::string> expected = {
        "2 installs in " + kGame + ", oldest first",
        "install 1: from " + kModA + ", 2026-11-30 00:53 UTC, on PLAYER-PC",
        "  also from " + kModACopy,
        R"(  models\gta3.img: 2 entries)",
        "    a.dff: install 2 put it in since; the undo leaves it as it is, and install 2's undo then gives back "
        "the game's own bytes",
        "    cap.txd: install 2 put it in since; the undo leaves it as it is, and install 2's undo then removes it "
        "(it was not in the archive before)",
        R"(  models\player.img: 1 entry)",
        "    c.dff: the undo gives back the game's own bytes",
        R"(    the undo gives models\player.img back byte for byte as it was before the first install)",
        "install 2: from " + kModB + ", 2026-11-30 01:53 UTC, on PLAYER-PC",
        R"(  models\gta3.img: 2 entries)",
        "    A.DFF: the undo gives back what install 1 put in",
        "    cap.txd: the undo gives back what install 1 put in",
        "nothing was changed",
    };
    EXPECT_EQ(report.lines, expected);
}

TEST_F(GameStatusTest, NamesWhatAnotherProgramChangedAndWhatTheStoreMisses) {
    Change(kGta3, {{"a.dff", Pattern(900, 40)}});  // another program
    fs.Remove(OriginalPath(kPlayer, gameC));
    ASSERT_EQ(Status(), ExitStatus::Ok) << report.All();
    EXPECT_TRUE(report.Has(R"(models\gta3.img: 1 entry changed since the installs put them in (another program, or )"
                           "the game repaired or updated): a.dff"))
        << report.All();
    const std::string changed =
        ": it changed since (another program, or the game repaired or updated); the undo "
        "leaves it as it is";
    EXPECT_TRUE(report.Has("    a.dff" + changed)) << report.All();
    EXPECT_TRUE(report.Has("    A.DFF" + changed)) << report.All();
    EXPECT_TRUE(report.Has("    cap.txd: the undo gives back what install 1 put in")) << report.All();
    EXPECT_TRUE(report.Has(
        R"(    c.dff: the undo gives back the game's own bytes, but they are missing from models\player.img.originals)"))
        << report.All();
    // The player.img install is the last one there, but its original is gone.
    EXPECT_FALSE(report.Has("back byte for byte")) << report.All();
}

// A record of thousands of entries and folders, each of them changed by
// another program since: status says how many, names some, and its output
// stays a few hundred short lines.
TEST_F(GameStatusTest, ARecordOfThousandsOfEntriesGivesBoundedOutput) {
    GameRecord big = Before(kGta3);
    GameInstall install = Install({kModA}, kTimeA);
    for (int f = 0; f < 3000; ++f) install.folders.push_back(R"(D:\Copies\)" + std::to_string(f));
    for (int e = 0; e < 5000; ++e)
        install.entries.push_back({"gone" + std::to_string(e) + ".dff", std::nullopt, "", Put(cap)});
    big.installs = {install};
    Record(kGta3, big);
    ASSERT_EQ(Status(), ExitStatus::Ok);
    EXPECT_TRUE(report.Has(R"(models\gta3.img: 5000 entries changed since the installs put them in (another )"
                           "program, or the game repaired or updated): gone0.dff, gone1.dff"))
        << report.All();
    EXPECT_TRUE(report.Has("and 4980 more")) << report.All();
    EXPECT_TRUE(report.Has("    and 4800 entries more")) << report.All();
    EXPECT_TRUE(report.Has("  also from 2981 other folders")) << report.All();  // and the copy of SetUp's
    EXPECT_LT(report.lines.size(), 400u);
    for (const std::string& line : report.lines) EXPECT_LT(line.size(), 1000u) << line;
}

TEST_F(GameStatusTest, ARecordThatCannotBeTrustedIsNamedAndTheOthersListed) {
    Bytes torn = fs.Contents(GameRecordPathFor(kGta3));
    torn.pop_back();
    fs.SetFile(GameRecordPathFor(kGta3), torn);
    ASSERT_EQ(Status(), ExitStatus::Io) << report.All();
    EXPECT_TRUE(report.Has("error: " + GameRecordPathFor(kGta3) + " cannot be trusted: its seal does not match"))
        << report.All();
    EXPECT_TRUE(report.Has("    c.dff: the undo gives back the game's own bytes")) << report.All();
    EXPECT_FALSE(report.Has("gta3.img: 2 entries")) << report.All();
}

TEST_F(GameStatusTest, NothingInstalledOrNoGame) {
    fs.Remove(GameRecordPathFor(kGta3));
    fs.Remove(GameRecordPathFor(kPlayer));
    ASSERT_EQ(Status(), ExitStatus::Ok) << report.All();
    EXPECT_EQ(report.lines, (std::vector<std::string>{"nothing is installed in " + kGame, "nothing was changed"}));

    report.lines.clear();
    EXPECT_EQ(ShowGameStatus(R"(C:\Games\Elsewhere\)", ArchivesToShow({}), fs, report), ExitStatus::NotFound);
    EXPECT_EQ(report.lines, (std::vector<std::string>{R"(error: no game in C:\Games\Elsewhere: neither )"
                                                      R"(models\gta3.img nor models\player.img is there)"}));
}

// A file system on which the archive's own writes fail once its journal is
// there: a save stopped past its point of no return, to be settled by the
// next open.
class StopsAfterTheJournal final : public archive::testing::ForwardingFileSystem {
public:
    using ForwardingFileSystem::ForwardingFileSystem;
    std::unique_ptr<archive::File> Open(const std::string& path, archive::OpenMode mode) override {
        auto file = inner_.Open(path, mode);
        if (path != kPlayer) return file;
        return std::make_unique<Stopping>(std::move(file), *this);
    }

private:
    class Stopping final : public archive::File {
    public:
        Stopping(std::unique_ptr<archive::File> inner, FileSystem& fs) : inner_(std::move(inner)), fs_(fs) {}
        uint64_t Size() override { return inner_->Size(); }
        void ReadAt(uint64_t offset, std::span<uint8_t> bytes) override { inner_->ReadAt(offset, bytes); }
        void WriteAt(uint64_t offset, std::span<const uint8_t> bytes) override {
            Stop();
            inner_->WriteAt(offset, bytes);
        }
        void Resize(uint64_t size) override {
            Stop();
            inner_->Resize(size);
        }
        void Flush() override { inner_->Flush(); }

    private:
        std::unique_ptr<archive::File> inner_;
        FileSystem& fs_;
        void Stop() {
            if (fs_.Exists(kPlayer + ".journal"))
                throw archive::ArchiveError(archive::ErrorKind::Io, kPlayer, "stopped");
        }
    };
};

TEST_F(GameStatusTest, AnInterruptedSaveIsLeftForTheNextRunToSettle) {
    {
        StopsAfterTheJournal stopping(fs);
        auto opened = archive::Archive::Open(kPlayer, stopping);
        opened.Put("c.dff", Pattern(3000, 50));
        EXPECT_ANY_THROW(opened.Commit());
    }
    ASSERT_TRUE(fs.Exists(kPlayer + ".journal"));
    ASSERT_EQ(Status(), ExitStatus::Ok) << report.All();
    EXPECT_TRUE(report.Has(R"(models\player.img: not held against the archive: an earlier save of it was )"
                           "interrupted, and the next install or undo settles it first"))
        << report.All();
    EXPECT_TRUE(fs.Exists(kPlayer + ".journal"));

    // A waiting record that cannot be read is no save the next run settles.
    fs.SetFile(GamePendingPathFor(kGta3), Pattern(200, 51));
    report = RecordingReport();
    ASSERT_EQ(Status(), ExitStatus::Io) << report.All();
    EXPECT_TRUE(report.Has("error: " + GamePendingPathFor(kGta3) +
                           ", the record waiting for an interrupted save, cannot be trusted"))
        << report.All();
    EXPECT_FALSE(report.Has(R"(models\gta3.img: not held against the archive: an earlier save of it was )"
                            "interrupted, and the next install or undo settles it first"))
        << report.All();
}

// The script Install.exe writes for a mod in that folder: each archive's
// block backs up and imports its files.
std::string ScriptOf(const std::string& app, const std::vector<std::pair<std::string, Content>>& blocks) {
    const auto quoted = [](const std::string& path) {
        std::string text = "\"";
        for (const char c : path) text += c == '\\' ? std::string("\\\\") : std::string(1, c);
        return text + "\"";
    };
    std::string text;
    for (const auto& [archive, files] : blocks) {
        text += "-open " + quoted(kGame + "\\models\\" + archive) + "\r\n";
        for (const auto& [name, bytes] : files)
            text += "-export " + quoted(name) + " " + quoted(app + "\\Backups\\" + archive + "\\" + name) + "\r\n";
        for (const auto& [name, bytes] : files)
            text += "-import " + quoted(app + "\\" + archive + "\\" + name) + "\r\n";
        text += "-close\r\n";
    }
    return text;
}

// Two mods installed by the real runs, A then B over the same entries: what
// status says each undo would do is what the undo then does, out of order.
TEST(GameStatusOfRealInstalls, SaysWhatTheUndosThenDo) {
    MemoryFileSystem fs;
    const Content gta3 = {{"a.dff", Pattern(3000, 1)}, {"other.dff", Pattern(5000, 3)}};
    MakeArchive(fs, kGta3, gta3);
    MakeArchive(fs, kPlayer, {{"c.dff", Pattern(2048, 4)}});
    const Bytes gta3Before = fs.Contents(kGta3);
    const Bytes playerBefore = fs.Contents(kPlayer);
    const Bytes cap = Pattern(700, 13);
    const std::vector<std::pair<std::string, Content>> modA = {
        {"gta3.img", {{"a.dff", Pattern(4500, 11)}, {"cap.txd", cap}}}, {"player.img", {{"c.dff", Pattern(99, 12)}}}};
    const std::vector<std::pair<std::string, Content>> modB = {
        {"gta3.img", {{"a.dff", Pattern(1200, 21)}, {"cap.txd", cap}}}};
    const auto install = [&](const std::string& app, const std::vector<std::pair<std::string, Content>>& mod) {
        for (const auto& [archive, files] : mod)
            for (const auto& [name, bytes] : files) fs.SetFile(app + "\\" + archive + "\\" + name, bytes);
        RecordingReport run;
        EXPECT_EQ(RunScript(app + "\\Install.dat", ScriptOf(app, mod), fs, run, "PLAYER-PC"), ExitStatus::Ok)
            << run.All();
        fs.SetFile(app + "\\Install.dat", BytesOf(ScriptOf(app, mod)));
    };
    const auto undo = [&](const std::string& app) {
        RecordingReport run;
        EXPECT_EQ(RestoreFromScript(app + "\\Install.dat", Text(fs.Contents(app + "\\Install.dat")), fs, run),
                  ExitStatus::Ok)
            << run.All();
    };
    const auto status = [&] {
        RecordingReport report;
        const auto before = Disk(fs);
        EXPECT_EQ(ShowGameStatus(kGame, ArchivesToShow({}), fs, report), ExitStatus::Ok) << report.All();
        EXPECT_EQ(Disk(fs), before) << "status changed the disk";
        return report;
    };
    install(kModA, modA);
    install(kModB, modB);

    RecordingReport report = status();
    EXPECT_EQ(report.lines.front(), "2 installs in " + kGame + ", oldest first") << report.All();
    EXPECT_TRUE(report.Has("install 1: from " + kModA + ", ")) << report.All();
    EXPECT_TRUE(report.Has("install 2: from " + kModB + ", ")) << report.All();
    for (const std::string& line : std::vector<std::string>{
             "    a.dff: install 2 put it in since; the undo leaves it as it is, and install 2's undo then gives back "
             "the game's own bytes",
             "    cap.txd: install 2 put it in since; the undo leaves it as it is, and install 2's undo then removes "
             "it "
             "(it was not in the archive before)",
             "    c.dff: the undo gives back the game's own bytes",
             "    a.dff: the undo gives back what install 1 put in",
             "    cap.txd: the undo gives back what install 1 put in",
             R"(    the undo gives models\gta3.img back byte for byte as it was before this install)"})
        EXPECT_TRUE(report.Has(line)) << line << "\n" << report.All();

    undo(kModA);  // out of order: B's entries stay
    const Content after = ReadContent(fs, kGta3);
    ASSERT_EQ(after.size(), 3u);
    EXPECT_TRUE(HoldsFile(after[0].second, Pattern(1200, 21))) << "a.dff is not B's";
    EXPECT_TRUE(after[1].first == "cap.txd" && HoldsFile(after[1].second, cap)) << "cap.txd is not B's";
    EXPECT_EQ(fs.Contents(kPlayer), playerBefore);
    report = status();
    EXPECT_EQ(report.lines.front(), "1 install in " + kGame + ", oldest first") << report.All();
    for (const std::string& line : std::vector<std::string>{
             "install 1: from " + kModB + ", ", "    a.dff: the undo gives back the game's own bytes",
             "    cap.txd: the undo removes it (it was not in the archive before)",
             R"(    the undo gives models\gta3.img back byte for byte as it was before the first install)"})
        EXPECT_TRUE(report.Has(line)) << line << "\n" << report.All();

    undo(kModB);
    EXPECT_EQ(fs.Contents(kGta3), gta3Before);
    report = status();
    EXPECT_EQ(report.lines, (std::vector<std::string>{"nothing is installed in " + kGame, "nothing was changed"}));
}

TEST(GameStatusCommand, IsInTheHelpAndTakesOneFolder) {
    MemoryFileSystem fs;
    FakeConsole console;
    EXPECT_EQ(RunTool({"Install.plug", "status"}, console, fs), 1);
    EXPECT_NE(console.text.find("usage: Install.plug status <game folder>"), std::string::npos) << console.text;
    EXPECT_NE(HelpText().find("Install.plug status <game folder>"), std::string::npos);
}

}  // namespace
}  // namespace veltrin::tool
