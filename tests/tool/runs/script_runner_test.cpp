#include "tool/runs/script_runner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/archive_error.h"
#include "img_rules.h"
#include "testing/forwarding_file_system.h"
#include "testing/memory_file_system.h"
#include "tool/runs/backup_marker.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

using namespace testing;
using archive::testing::MemoryFileSystem;
using Names = std::vector<std::string>;

// Two archives of generated entries and the mod's files beside the script.
class ScriptRunnerTest : public ::testing::Test {
protected:
    MemoryFileSystem fs;
    RecordingReport report;
    const Content gta3Before = {
        {"a.dff", Pattern(3000, 1)}, {"b.txd", Pattern(100, 2)}, {"other.dff", Pattern(5000, 3)}};
    const Content playerBefore = {{"c.dff", Pattern(2048, 4)}};

    void SetUp() override {
        MakeArchive(fs, kGta3, gta3Before);
        MakeArchive(fs, kPlayer, playerBefore);
        fs.SetFile(Payload("gta3.img", "a.dff"), Pattern(4500, 11));
        fs.SetFile(Payload("gta3.img", "B.TXD"), Pattern(10, 12));
        fs.SetFile(Payload("gta3.img", "new.dff"), Pattern(700, 13));
        fs.SetFile(Payload("player.img", "c.dff"), Pattern(2049, 14));
    }

    ExitStatus Run(const std::string& text) { return RunScript(kScript, text, fs, report); }
    ExitStatus RunInstall() { return Run(InstallScript({"a.dff", "B.TXD", "new.dff"}, {"c.dff"})); }

    Bytes ArchiveBytes(const std::string& path) { return fs.Contents(path); }
};

TEST_F(ScriptRunnerTest, FullInstallBacksUpReplacesAddsAndCommitsBothArchives) {
    ASSERT_EQ(RunInstall(), ExitStatus::Ok) << report.All();

    // Backups hold the entries' stored bytes, byte for byte.
    EXPECT_EQ(fs.Contents(Backup("gta3.img", "a.dff")), Stored(Pattern(3000, 1)));
    EXPECT_EQ(fs.Contents(Backup("gta3.img", "B.TXD")), Stored(Pattern(100, 2)));
    EXPECT_EQ(fs.Contents(Backup("player.img", "c.dff")), Stored(Pattern(2048, 4)));
    EXPECT_FALSE(fs.Exists(Backup("gta3.img", "new.dff")));

    // B.TXD replaced b.txd (no duplicate), new.dff was added.
    const Content gta3After = {{"a.dff", Stored(Pattern(4500, 11))},
                               {"B.TXD", Stored(Pattern(10, 12))},
                               {"new.dff", Stored(Pattern(700, 13))},
                               {"other.dff", Stored(Pattern(5000, 3))}};
    EXPECT_EQ(ReadContent(fs, kGta3), gta3After);
    // The second block has no -close: the end of the script saved it.
    EXPECT_EQ(ReadContent(fs, kPlayer), (Content{{"c.dff", Stored(Pattern(2049, 14))}}));

    const std::vector<std::string> expected = {
        "running " + std::string(kScript),
        "open " + kGta3,
        "  3 entries",
        "nothing to back up: new.dff is not in the archive",
        "imported a.dff (replaced)",
        "imported B.TXD (replaced)",
        "imported new.dff (added)",
        "saving " + kGta3,
        "backed up a.dff to " + Backup("gta3.img", "a.dff"),
        "backed up B.TXD to " + Backup("gta3.img", "B.TXD"),
        "saved (changed in place)",
        "summary of " + kGta3 + ": 2 backed up, 0 backups kept, 1 with nothing to back up, 2 replaced, 1 added",
        "open " + kPlayer,
        "  1 entry",
        "imported c.dff (replaced)",
        "saving " + kPlayer + " (end of the script)",
        "backed up c.dff to " + Backup("player.img", "c.dff"),
        "saved (changed in place)",
        "summary of " + kPlayer + ": 1 backed up, 0 backups kept, 0 with nothing to back up, 1 replaced, 0 added",
        "to undo this install: double-click Undo.cmd in " + kApp + ", or run Install.plug -restore \"" +
            std::string(kScript) + "\"",
        "keep this folder: its Backups folder now holds the record Undo.cmd follows, and a copy of what each entry it "
        "replaced held before",
        "done",
    };
    EXPECT_EQ(report.lines, expected);
    // One bar a save, labelled with its archive; each moves forwards only and
    // reaches its end once.
    std::vector<std::string> bars;
    for (size_t i = 0; i < report.progress.size(); ++i) {
        const auto& step = report.progress[i];
        const bool sameBar = i > 0 && report.progress[i - 1].what == step.what;
        if (!sameBar) {
            bars.push_back(step.what);
            continue;
        }
        const auto& before = report.progress[i - 1];
        EXPECT_LT(before.done, before.total) << step.what << ": drawn again after its end";
        EXPECT_GE(step.done, before.done) << step.what;
    }
    EXPECT_EQ(bars, (std::vector<std::string>{"saving gta3.img", "saving player.img"}));
    ASSERT_FALSE(report.progress.empty());
    EXPECT_EQ(report.progress.back().done, report.progress.back().total);
}

// The last lines say only what is true of this install: an install that only
// added entries backed up none of the game's originals.
TEST_F(ScriptRunnerTest, AnInstallThatOnlyAddsEntriesSaysItsBackupsHoldNoOriginals) {
    ASSERT_EQ(Run(InstallScript({"new.dff"}, {})), ExitStatus::Ok) << report.All();
    EXPECT_TRUE(report.Has("summary of " + kGta3 +
                           ": 0 backed up, 0 backups kept, 1 with nothing to back up, 0 replaced, 1 added"))
        << report.All();
    EXPECT_FALSE(report.Has("a copy of what each entry it replaced held before")) << report.All();
    EXPECT_EQ(report.lines[report.lines.size() - 2],
              "keep this folder: its Backups folder now holds the record of the entries the install added, and "
              "Undo.cmd needs it");

    // A second install that replaces an entry backs up an original: from then on it is said.
    report.lines.clear();
    ASSERT_EQ(RunInstall(), ExitStatus::Ok) << report.All();
    EXPECT_TRUE(report.Has("summary of " + kGta3 + ": 2 backed up, 0 backups kept")) << report.All();
    EXPECT_EQ(report.lines[report.lines.size() - 2],
              "keep this folder: its Backups folder now holds the record Undo.cmd follows, and a copy of what each "
              "entry it replaced held before");
}

TEST_F(ScriptRunnerTest, SecondInstallKeepsTheOriginalBackupsAndTheSameEntries) {
    ASSERT_EQ(RunInstall(), ExitStatus::Ok) << report.All();
    const Content gta3First = ReadContent(fs, kGta3);
    const Content playerFirst = ReadContent(fs, kPlayer);
    report.lines.clear();

    ASSERT_EQ(RunInstall(), ExitStatus::Ok) << report.All();
    EXPECT_EQ(ReadContent(fs, kGta3), gta3First);
    EXPECT_EQ(ReadContent(fs, kPlayer), playerFirst);
    EXPECT_EQ(fs.Contents(Backup("gta3.img", "a.dff")), Stored(Pattern(3000, 1)));
    EXPECT_EQ(fs.Contents(Backup("gta3.img", "B.TXD")), Stored(Pattern(100, 2)));
    EXPECT_EQ(fs.Contents(Backup("player.img", "c.dff")), Stored(Pattern(2048, 4)));
    EXPECT_TRUE(report.Has("kept the earlier backup of a.dff: " + Backup("gta3.img", "a.dff")));
    // new.dff was added by the first install: it holds the mod's data, which
    // must never be taken for an original.
    EXPECT_FALSE(fs.Exists(Backup("gta3.img", "new.dff")));
    EXPECT_TRUE(report.Has("nothing to back up: new.dff was added by an earlier install"));
    // Each entry holds the mod's file already: nothing is written into the
    // archives, and the run says so.
    EXPECT_TRUE(report.Has("summary of " + kGta3 +
                           ": 0 backed up, 2 backups kept, 1 with nothing to back up, 0 replaced, 0 added, 3 held "
                           "its file already"))
        << report.All();
    EXPECT_TRUE(report.Has("imported a.dff (it holds that file already: left as it is)")) << report.All();
    EXPECT_TRUE(report.Has("nothing to change in " + kGta3)) << report.All();
    EXPECT_FALSE(report.Has("saved (changed in place)")) << report.All();
}

TEST_F(ScriptRunnerTest, AnExistingBackupIsNeverOverwritten) {
    fs.SetFile(Backup("gta3.img", "a.dff"), BytesOf("the player's original"));
    ASSERT_EQ(RunInstall(), ExitStatus::Ok) << report.All();
    EXPECT_EQ(Text(fs.Contents(Backup("gta3.img", "a.dff"))), "the player's original");
}

TEST_F(ScriptRunnerTest, ALeftoverPartialBackupIsNotTakenForTheBackup) {
    fs.SetFile(Backup("gta3.img", "a.dff") + ".partial", BytesOf("half"));
    ASSERT_EQ(RunInstall(), ExitStatus::Ok) << report.All();
    EXPECT_EQ(fs.Contents(Backup("gta3.img", "a.dff")), Stored(Pattern(3000, 1)));
    EXPECT_FALSE(fs.Exists(Backup("gta3.img", "a.dff") + ".partial"));
}

TEST_F(ScriptRunnerTest, AMalformedLineStopsBeforeAnythingIsWritten) {
    const Bytes gta3 = ArchiveBytes(kGta3);
    std::string text = InstallScript({"a.dff"}, {});
    text.insert(text.find("-import"), "-import \"D:\\Mod\\x.dff\"\r\n");  // a lone backslash, line 3
    EXPECT_EQ(Run(text), ExitStatus::ScriptInvalid);
    EXPECT_EQ(ArchiveBytes(kGta3), gta3);
    EXPECT_FALSE(fs.Exists(Backup("gta3.img", "a.dff")));
    // The cause first, the place after it: a narrow window breaks the place.
    EXPECT_EQ(report.lines[1].find("error: a single backslash"), 0u) << report.All();
    EXPECT_TRUE(report.lines[1].ends_with(" (" + std::string(kScript) + ", line 3)")) << report.All();
    EXPECT_TRUE(report.Has("  -import \"D:\\Mod\\x.dff\""));
    EXPECT_EQ(report.lines.back(), "failed");

    // Control characters are shown, not sent to the console or the log.
    report.lines.clear();
    EXPECT_EQ(Run(std::string("-open \"a\tb\0.img\"\r\n", 16)), ExitStatus::ScriptInvalid);
    EXPECT_TRUE(report.Has("  -open \"a\\x09b\\x00.img\"")) << report.All();
}

TEST_F(ScriptRunnerTest, ANameTheArchiveCannotHoldStopsBeforeAnythingIsWritten) {
    const Bytes gta3 = ArchiveBytes(kGta3);
    const std::string longName = "a_name_far_too_long_for_it.dff";
    fs.SetFile(Payload("gta3.img", longName), Pattern(10, 5));
    EXPECT_EQ(Run(InstallScript({"a.dff", longName}, {})), ExitStatus::Rejected);
    EXPECT_EQ(ArchiveBytes(kGta3), gta3);
    EXPECT_FALSE(fs.Exists(Backup("gta3.img", "a.dff")));
    EXPECT_TRUE(report.Has("error: the name " + longName + " cannot be stored")) << report.All();
}

// Reports one file as larger than any entry may be, without holding its
// bytes, and refuses access to another as a protected folder would.
class TrickFileSystem final : public archive::testing::ForwardingFileSystem {
public:
    TrickFileSystem(archive::FileSystem& inner, std::string hugePath, std::string deniedPath = "")
        : ForwardingFileSystem(inner), huge_(std::move(hugePath)), denied_(std::move(deniedPath)) {}
    std::unique_ptr<archive::File> Open(const std::string& path, archive::OpenMode mode) override {
        if (path == huge_) return std::make_unique<HugeFile>();
        if (path == denied_) throw archive::ArchiveError(archive::ErrorKind::AccessDenied, path, "access is denied");
        return inner_.Open(path, mode);
    }
    bool Exists(const std::string& path) override { return path == huge_ || inner_.Exists(path); }

private:
    struct HugeFile final : archive::File {
        uint64_t Size() override { return uint64_t{archive::kMaxEntrySectors} * archive::kSectorSize + 1; }
        void ReadAt(uint64_t, std::span<uint8_t>) override { ADD_FAILURE() << "a too large file was read"; }
        void WriteAt(uint64_t, std::span<const uint8_t>) override {}
        void Resize(uint64_t) override {}
        void Flush() override {}
    };
    std::string huge_;
    std::string denied_;
};

TEST_F(ScriptRunnerTest, ATooLargeFileStopsItsArchiveWhileEarlierArchivesStaySaved) {
    TrickFileSystem huge(fs, Payload("player.img", "big.dff"));
    const Bytes player = ArchiveBytes(kPlayer);
    const std::string text = InstallScript({"a.dff"}, {"c.dff", "big.dff"});
    EXPECT_EQ(RunScript(kScript, text, huge, report), ExitStatus::Rejected);
    EXPECT_EQ(ArchiveBytes(kPlayer), player);
    EXPECT_EQ(ReadContent(fs, kGta3).front(), (std::pair<std::string, Bytes>{"a.dff", Stored(Pattern(4500, 11))}));
    EXPECT_TRUE(report.Has("too large for the archive: " + Payload("player.img", "big.dff"))) << report.All();
    EXPECT_TRUE(report.Has(kGta3 + ": changes saved"));
    EXPECT_TRUE(report.Has(kPlayer + ": not changed"));
    EXPECT_EQ(report.lines.back(), "failed");
}

TEST_F(ScriptRunnerTest, AMissingImportFileStopsWithTheArchiveUnchanged) {
    const Bytes gta3 = ArchiveBytes(kGta3);
    EXPECT_EQ(Run(InstallScript({"a.dff", "gone.dff"}, {"c.dff"})), ExitStatus::NotFound);
    EXPECT_EQ(ArchiveBytes(kGta3), gta3);
    EXPECT_TRUE(report.Has("error: " + Payload("gta3.img", "gone.dff") + " was not found")) << report.All();
    EXPECT_TRUE(report.Has(" (" + std::string(kScript) + ", line 5)")) << report.All();
    EXPECT_TRUE(report.Has("summary of " + kGta3 + " (not saved): 0 backed up")) << report.All();
    // a.dff was imported before the stop: staged, never put into the archive.
    EXPECT_TRUE(report.Has("1 not replaced")) << report.All();
    EXPECT_FALSE(report.Has(", 1 replaced")) << report.All();
    EXPECT_TRUE(report.Has(kGta3 + ": not changed"));
    EXPECT_FALSE(report.Has("open " + kPlayer));
}

TEST_F(ScriptRunnerTest, ArchiveProblemsAreToldInPlainWordsWithTheirStatus) {
    struct Case {
        const char* what;
        std::function<void()> arrange;
        ExitStatus status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"missing", [&] { fs.Remove(kGta3); }, ExitStatus::NotFound, kGta3 + " was not found"},
        {"not an archive", [&] { fs.SetFile(kGta3, Pattern(4096, 9)); }, ExitStatus::NotAnArchive,
         kGta3 + " is not a GTA San Andreas archive"},
        {"game running", [&] { fs.Lock(kGta3); }, ExitStatus::Locked, "close the game and try again"},
        {"disk full", [&] { fs.SetFreeSpace(1000); }, ExitStatus::DiskFull,
         "not enough free space for " + kGta3 + ": the change needs 16 KB and only 1000 bytes are free"},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.what);
        fs = MemoryFileSystem();
        report = RecordingReport();
        SetUp();
        item.arrange();
        const Bytes before = fs.Exists(kGta3) ? ArchiveBytes(kGta3) : Bytes();
        EXPECT_EQ(RunInstall(), item.status);
        EXPECT_TRUE(report.Has(item.message)) << report.All();
        fs.Unlock(kGta3);
        if (fs.Exists(kGta3)) {
            EXPECT_EQ(ArchiveBytes(kGta3), before);
        }
        // The backups made before the save stay: then something changed.
        EXPECT_EQ(report.Has("nothing was changed"), !fs.Exists(Backup("gta3.img", "a.dff"))) << report.All();
        // The game was not changed: no need to tell the player to keep the folder.
        EXPECT_FALSE(report.Has("keep this folder")) << report.All();
        EXPECT_EQ(report.lines.back(), "failed");
    }
}

TEST_F(ScriptRunnerTest, AProtectedArchiveSaysHowToGetAccess) {
    TrickFileSystem denied(fs, "", kGta3);
    EXPECT_EQ(RunScript(kScript, InstallScript({"a.dff"}, {}), denied, report), ExitStatus::AccessDenied);
    EXPECT_TRUE(report.Has("access to " + kGta3 +
                           " was denied: access is denied; run as administrator or move the game out of Program Files"))
        << report.All();
}

TEST_F(ScriptRunnerTest, AnOpenWhileAnArchiveIsOpenSavesThatOneFirst) {
    const std::string text = "-open \"" + install::EscapePath(kGta3) + "\"\n-import \"" +
                             install::EscapePath(Payload("gta3.img", "new.dff")) + "\"\n-open \"" +
                             install::EscapePath(kPlayer) + "\"\n";
    ASSERT_EQ(Run(text), ExitStatus::Ok) << report.All();
    EXPECT_EQ(ReadContent(fs, kGta3).size(), 4u);
    EXPECT_TRUE(report.Has("nothing to change in " + kPlayer));
}

TEST_F(ScriptRunnerTest, ABlockWithoutImportsLeavesTheArchiveUntouched) {
    const Bytes gta3 = ArchiveBytes(kGta3);
    ASSERT_EQ(Run(InstallScript({}, {})), ExitStatus::Ok) << report.All();
    EXPECT_EQ(ArchiveBytes(kGta3), gta3);
    EXPECT_TRUE(report.Has("summary of " + kGta3 +
                           ": 0 backed up, 0 backups kept, 0 with nothing to back up, "
                           "0 replaced, 0 added"));
}

TEST_F(ScriptRunnerTest, TheSameBackupTwiceInOneRunKeepsTheFirst) {
    // Backups are made durable together when the archive is saved, so the
    // second export finds the first one still waiting, in any case.
    auto exportLine = [](const std::string& name, const std::string& backup) {
        return "-export \"" + name + "\" \"" + install::EscapePath(backup) + "\"\n";
    };
    const std::string text =
        "-open \"" + install::EscapePath(kGta3) + "\"\n" + exportLine("a.dff", Backup("gta3.img", "a.dff")) +
        exportLine("A.DFF", Backup("gta3.img", "A.DFF")) + exportLine("gone.dff", Backup("gta3.img", "gone.dff")) +
        exportLine("gone.dff", Backup("gta3.img", "gone.dff")) + "-close\n";
    ASSERT_EQ(Run(text), ExitStatus::Ok) << report.All();
    EXPECT_EQ(fs.Contents(Backup("gta3.img", "a.dff")), Stored(Pattern(3000, 1)));
    EXPECT_FALSE(fs.Exists(Backup("gta3.img", "A.DFF")));
    EXPECT_TRUE(fs.Exists(AddedMarkerPath(Backup("gta3.img", "gone.dff"))));
    EXPECT_TRUE(report.Has("kept the earlier backup of A.DFF: " + Backup("gta3.img", "A.DFF"))) << report.All();
    EXPECT_TRUE(report.Has("nothing to back up: gone.dff was added by an earlier install")) << report.All();
    for (const std::string& path : fs.Paths()) EXPECT_EQ(path.find(".partial"), std::string::npos) << path;
}

// The archive of a run that stops before its save stays as it is: its
// block's backups are not needed, none is written, and none is said to be.
TEST_F(ScriptRunnerTest, ARunThatStopsBeforeItsSaveWritesNoBackups) {
    const Bytes gta3 = ArchiveBytes(kGta3);
    const std::vector<std::string> before = fs.Paths();
    EXPECT_EQ(Run(InstallScript({"a.dff", "new.dff", "gone.dff"}, {"c.dff"})), ExitStatus::NotFound);
    EXPECT_EQ(ArchiveBytes(kGta3), gta3);
    EXPECT_FALSE(report.Has("backed up a.dff")) << report.All();
    EXPECT_EQ(fs.Paths(), before);
    EXPECT_TRUE(report.Has("nothing was changed")) << report.All();
}

TEST_F(ScriptRunnerTest, ABackupNamedLikeTheToolsOwnFilesIsRefusedBeforeAnythingIsWritten) {
    // "x.partial" is where a waiting backup of "x" lies, "x.added" marks an
    // entry an install added, "Install.record" is the install record: a
    // backup of such a name could be mistaken for one of them.
    for (const std::string name :
         {"a.dff.partial", "A.DFF.PARTIAL", "a.dff.added", "b.Added", "Install.record", "a.dff.RECORD"}) {
        const Bytes gta3 = ArchiveBytes(kGta3);
        const std::string backup = Backup("gta3.img", name);
        const std::string text = "-open \"" + install::EscapePath(kGta3) + "\"\n-export \"a.dff\" \"" +
                                 install::EscapePath(backup) + "\"\n-close\n";
        report.lines.clear();
        EXPECT_EQ(Run(text), ExitStatus::Rejected) << name;
        EXPECT_TRUE(report.Has("error: the backup file " + backup + " ends in")) << report.All();
        EXPECT_EQ(ArchiveBytes(kGta3), gta3);
        EXPECT_FALSE(fs.Exists(backup)) << name;
    }
}

TEST_F(ScriptRunnerTest, AFileBackedUpEarlierInTheBlockCanBeImported) {
    const std::string saved = kApp + R"(\Backups\saved\copy.txd)";
    const std::string text = "-open \"" + install::EscapePath(kGta3) + "\"\n-export \"b.txd\" \"" +
                             install::EscapePath(saved) + "\"\n-import \"" + install::EscapePath(saved) +
                             "\"\n-close\n";
    ASSERT_EQ(Run(text), ExitStatus::Ok) << report.All();
    EXPECT_EQ(ReadContent(fs, kGta3)[1], (std::pair<std::string, Bytes>{"b.txd", Stored(Pattern(100, 2))}));
}

TEST_F(ScriptRunnerTest, BackupsThatCannotBePutInPlaceStopTheSaveAndAreToldRemoved) {
    const Bytes gta3 = ArchiveBytes(kGta3);
    fs.Lock(Backup("gta3.img", "B.TXD"));  // some other program holds that name
    EXPECT_EQ(RunInstall(), ExitStatus::Locked) << report.All();
    EXPECT_EQ(ArchiveBytes(kGta3), gta3);
    EXPECT_TRUE(report.Has("the backups not yet in place were removed; their archive was not changed")) << report.All();
    EXPECT_TRUE(report.Has(kGta3 + ": not changed")) << report.All();
    for (const std::string& path : fs.Paths()) EXPECT_EQ(path.find(".partial"), std::string::npos) << path;
}

TEST_F(ScriptRunnerTest, ImportingTheSameNameTwiceCountsTheSecondAsAReplacement) {
    fs.SetFile(R"(D:\other\NEW.DFF)", Pattern(50, 21));
    const std::string text = "-open \"" + install::EscapePath(kGta3) + "\"\n-import \"" +
                             install::EscapePath(Payload("gta3.img", "new.dff")) + "\"\n-import \"" +
                             install::EscapePath(R"(D:\other\NEW.DFF)") + "\"\n";
    ASSERT_EQ(Run(text), ExitStatus::Ok) << report.All();
    const Content after = ReadContent(fs, kGta3);
    ASSERT_EQ(after.size(), 4u);
    EXPECT_EQ(after[2], (std::pair<std::string, Bytes>{"NEW.DFF", Stored(Pattern(50, 21))}));
    EXPECT_TRUE(report.Has("imported NEW.DFF (replaced)"));
}

// The game copies player.img's directory into a table of 550 records and
// drops the rest without a word; free entries count too. An install that
// leaves records past the 550th names the entries the game will not see.
TEST_F(ScriptRunnerTest, AnInstallThatLeavesPlayerImgPastItsTableSaysWhichEntriesTheGameWillNotSee) {
    struct Case {
        const char* what;
        int before;     // entries of player.img before the install
        int added;      // the mod's new entries
        bool growsOne;  // and a replacement that moves, leaving a free entry
        size_t unseen;  // entries past the 550th afterwards
    };
    const std::vector<Case> cases = {
        {"up to the 550th", 548, 2, false, 0},
        {"three past it", 548, 5, false, 3},
        {"a free entry among the 550", 547, 3, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs = MemoryFileSystem();
        report = RecordingReport();
        SetUp();
        Content entries;
        for (int i = 0; i < c.before; ++i)
            entries.push_back({"cloth" + std::to_string(i) + ".dff", Pattern(10, static_cast<uint8_t>(i))});
        fs.Remove(kPlayer);
        MakeArchive(fs, kPlayer, entries);
        std::vector<std::string> names;
        if (c.growsOne) {
            names.push_back("cloth0.dff");
            fs.SetFile(Payload("player.img", "cloth0.dff"), Pattern(5000, 70));
        }
        for (int i = 0; i < c.added; ++i) {
            names.push_back("extra" + std::to_string(i) + ".dff");
            // Two sectors: more than the one a moved entry leaves free.
            fs.SetFile(Payload("player.img", names.back()), Pattern(3000, static_cast<uint8_t>(50 + i)));
        }
        ASSERT_EQ(Run(InstallScript({}, names)), ExitStatus::Ok) << report.All();

        // The records past the 550th, read apart from the tool.
        const auto parsed = veltrin::testing::img::Parse(ArchiveBytes(kPlayer));
        ASSERT_TRUE(parsed.has_value());
        std::vector<std::string> unseen, seen;
        for (size_t i = 0; i < parsed->records.size(); ++i) {
            const std::string& name = parsed->records[i].name;
            if (name.find('.') == std::string::npos) continue;  // a free entry
            (i < 550 ? seen : unseen).push_back(name);
        }
        EXPECT_EQ(unseen.size(), c.unseen);
        std::string warning;
        for (const auto& line : report.lines)
            if (line.find("550") != std::string::npos) warning = line;
        if (unseen.empty()) {
            EXPECT_EQ(warning, "") << report.All();
            continue;
        }
        EXPECT_EQ(warning.rfind("warning: " + kPlayer, 0), 0u) << report.All();
        for (const auto& name : unseen) EXPECT_NE(warning.find(name), std::string::npos) << name << "\n" << warning;
        for (const auto& name : seen) EXPECT_EQ(warning.find(" " + name), std::string::npos) << name << "\n" << warning;
    }
}

}  // namespace
}  // namespace veltrin::tool
