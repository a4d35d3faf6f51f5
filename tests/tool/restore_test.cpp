#include "tool/restore.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/memory_file_system.h"
#include "tool/backup_marker.h"
#include "tool/script_runner.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

using namespace testing;
using archive::testing::MemoryFileSystem;
using Names = std::vector<std::string>;

// Original archives, a mod that replaces some entries (one under another
// case) and adds others, and the script the installer writes for it.
class RestoreTest : public ::testing::Test {
protected:
    MemoryFileSystem fs;
    RecordingReport report;
    const Content gta3Before = {
        {"infernus.dff", Pattern(5000, 1)}, {"infernus.txd", Pattern(9000, 2)}, {"other.dff", Pattern(300, 3)}};
    const Content playerBefore = {{"vest.dff", Pattern(2048, 4)}, {"cj.txd", Pattern(100, 5)}};
    const std::string script = InstallScript({"INFERNUS.dff", "infernus.txd", "veltrin.dff"}, {"vest.dff"});

    void SetUp() override {
        MakeArchive(fs, kGta3, gta3Before);
        MakeArchive(fs, kPlayer, playerBefore);
        fs.SetFile(Payload("gta3.img", "INFERNUS.dff"), Pattern(7000, 11));  // grows: the archive is rewritten
        fs.SetFile(Payload("gta3.img", "infernus.txd"), Pattern(10, 12));
        fs.SetFile(Payload("gta3.img", "veltrin.dff"), Pattern(700, 13));
        // Grows from one sector to two; undoing it must give one sector back,
        // not the original padded to two.
        fs.SetFile(Payload("player.img", "vest.dff"), Pattern(4000, 14));
    }
    ExitStatus Install() { return RunScript(kScript, script, fs, report); }
    ExitStatus Restore() { return RestoreFromScript(kScript, script, fs, report); }

    // Names compared without regard to case: an install renames an entry to
    // the mod file's spelling, and the game does not care.
    // Originals are compared as the archive stores them: whole sectors.
    static Content Folded(Content content) {
        for (auto& [name, bytes] : content) {
            for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            bytes = Stored(bytes);
        }
        return content;
    }
    void ExpectOriginals() {
        EXPECT_EQ(Folded(ReadContent(fs, kGta3)), Folded(gta3Before));
        EXPECT_EQ(Folded(ReadContent(fs, kPlayer)), Folded(playerBefore));
    }
};

TEST_F(RestoreTest, UndoesOneInstall) {
    ASSERT_EQ(Install(), ExitStatus::Ok);
    ASSERT_NE(ReadContent(fs, kGta3), gta3Before);
    EXPECT_TRUE(fs.Exists(AddedMarkerPath(Backup("gta3.img", "veltrin.dff"))));
    EXPECT_EQ(Restore(), ExitStatus::Ok) << ::testing::PrintToString(report.lines);
    ExpectOriginals();
    EXPECT_TRUE(report.Has("summary of " + kGta3 + ": 2 restored, 1 removed, 0 left as they are"));
    EXPECT_EQ(report.lines.back(), "done");
}

TEST_F(RestoreTest, UndoesTwoInstallsBecauseTheSecondKeepsTheOriginals) {
    ASSERT_EQ(Install(), ExitStatus::Ok);
    const Content afterFirst = ReadContent(fs, kGta3);
    ASSERT_EQ(Install(), ExitStatus::Ok);
    EXPECT_EQ(ReadContent(fs, kGta3), afterFirst);
    // The entry the first install added holds the mod's data: never a backup.
    EXPECT_FALSE(fs.Exists(Backup("gta3.img", "veltrin.dff")));
    EXPECT_EQ(fs.Contents(Backup("gta3.img", "infernus.txd")), Stored(Pattern(9000, 2)));
    EXPECT_EQ(Restore(), ExitStatus::Ok);
    ExpectOriginals();
}

TEST_F(RestoreTest, RestoringTwiceChangesNothingMore) {
    ASSERT_EQ(Install(), ExitStatus::Ok);
    ASSERT_EQ(Restore(), ExitStatus::Ok);
    ASSERT_EQ(Restore(), ExitStatus::Ok);
    ExpectOriginals();
    EXPECT_TRUE(report.Has("veltrin.dff is not in the archive: nothing to remove"));
}

TEST_F(RestoreTest, EntriesWithoutBackupOrMarkerAreLeftAlone) {
    EXPECT_EQ(Restore(), ExitStatus::Ok);
    ExpectOriginals();
    EXPECT_TRUE(report.Has("no backup of veltrin.dff: left as it is"));
}

TEST_F(RestoreTest, ALockedArchiveStopsWithTheEarlierOneRestoredAndTheLaterUnchanged) {
    ASSERT_EQ(Install(), ExitStatus::Ok);
    const Content playerInstalled = ReadContent(fs, kPlayer);
    fs.Lock(kPlayer);
    EXPECT_EQ(Restore(), ExitStatus::Locked);
    fs.Unlock(kPlayer);
    EXPECT_EQ(Folded(ReadContent(fs, kGta3)), Folded(gta3Before));
    EXPECT_EQ(ReadContent(fs, kPlayer), playerInstalled);
    EXPECT_TRUE(report.Has(kPlayer + ": not changed"));
    EXPECT_EQ(report.lines.back(), "failed");
}

TEST_F(RestoreTest, AMalformedScriptChangesNothing) {
    ASSERT_EQ(Install(), ExitStatus::Ok);
    const Content installed = ReadContent(fs, kGta3);
    EXPECT_EQ(RestoreFromScript(kScript, script + "-import oops\r\n", fs, report), ExitStatus::ScriptInvalid);
    EXPECT_EQ(ReadContent(fs, kGta3), installed);
}

}  // namespace
}  // namespace veltrin::tool
