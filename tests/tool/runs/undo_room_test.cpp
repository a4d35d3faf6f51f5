// An undo changes every archive or none whatever the free space, and every
// original the record in place names, or a run let go of, stays kept.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive_builder.h"
#include "fault_file_system.h"
#include "testing/memory_file_system.h"
#include "tool/runs/game_pending.h"
#include "tool/runs/game_record.h"
#include "tool/runs/originals_store.h"
#include "tool/runs/restore.h"
#include "tool/runs/script_runner.h"
#include "tool/shell/tool_main.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

using namespace testing;
using archive::testing::MemoryFileSystem;

struct ModFile {
    bool player = false;
    std::string name;
    Bytes bytes;
};
using Mod = std::vector<ModFile>;

Bytes Data(size_t size, uint32_t seed) { return archive::testing::Pattern(size, seed); }

class UndoRoomTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::vector<std::pair<std::string, uint16_t>> gta3;
        for (int i = 0; i < 8; ++i)
            gta3.push_back({"model" + std::to_string(i) + (i % 2 ? ".txd" : ".dff"), 1 + i % 3});
        gta3.push_back({"infernus.dff", 3});
        std::vector<std::pair<std::string, uint16_t>> player;
        for (int i = 0; i < 5; ++i) player.push_back({"cloth" + std::to_string(i) + ".dff", 1 + i % 2});
        player.push_back({"vest.dff", 2});
        player.push_back({"big.dff", 120});  // never touched by a mod
        player.push_back({"hat.dff", 1});
        stockGta3 = archive::testing::SoundArchive(gta3, 1);
        stockPlayer = archive::testing::SoundArchive(player, 2);
        fs.SetFile(kGta3, stockGta3);
        fs.SetFile(kPlayer, stockPlayer);
    }

    static std::string ScriptOf(const Mod& mod, const std::string& folder) {
        std::vector<std::string> gta3, player;
        for (const ModFile& file : mod) (file.player ? player : gta3).push_back(file.name);
        std::string text;
        for (const auto& line : install::testing::BlockLinesOf(install::Block::Gta3, kGame, folder, gta3))
            text += line + "\r\n";
        for (const auto& line : install::testing::BlockLinesOf(install::Block::Player, kGame, folder, player))
            text += line + "\r\n";
        return text;
    }
    int Install(const Mod& mod, const std::string& folder) {
        for (const ModFile& file : mod)
            fs.SetFile(folder + "\\" + (file.player ? "player.img" : "gta3.img") + "\\" + file.name, file.bytes);
        fs.SetFile(folder + "\\Install.dat", BytesOf(ScriptOf(mod, folder)));
        console = FakeConsole();
        return RunTool({"Install.plug", "-script", folder + "\\Install.dat"}, console, fs);
    }

    // The undo of the folder's install run on a copy of the disk at every
    // free space from 0 up to `upTo`: one that fails must leave both
    // archives as they were, one that ends well must have changed both.
    // Returns the first free space (and what the run said) at which one
    // archive was undone alone; nothing when none.
    std::optional<std::string> FirstHalfUndo(const std::string& folder, uint64_t upTo, uint64_t step,
                                             bool* anyDone = nullptr) {
        const Bytes gta3 = fs.Contents(kGta3), player = fs.Contents(kPlayer);
        for (uint64_t free = 0; free <= upTo; free += step) {
            MemoryFileSystem disk = fs;
            disk.SetFreeSpace(free);
            FakeConsole run;
            const int status = RunTool({"Install.plug", "-restore", folder + "\\Install.dat"}, run, disk);
            const bool gta3Same = disk.Contents(kGta3) == gta3, playerSame = disk.Contents(kPlayer) == player;
            if (status == 0) {
                if (anyDone) *anyDone = true;
                continue;
            }
            if (gta3Same != playerSame)
                return std::to_string(free) + " bytes free: status " + std::to_string(status) + ", gta3.img " +
                       (gta3Same ? "as it was" : "undone") + ", player.img " + (playerSame ? "as it was" : "undone") +
                       "\n" + run.text;
        }
        return std::nullopt;
    }

    // Forgets the game's records beside both archives, as a build from
    // before them left the game.
    void ForgetTheGamesRecords() {
        for (const std::string& file : fs.Paths())
            if (file.find(".installs") != std::string::npos || file.find(".originals\\") != std::string::npos)
                fs.Remove(file);
    }

    const std::string folderA = R"(D:\Downloads\Mod A)", folderB = R"(D:\Downloads\Mod B)";
    MemoryFileSystem fs;
    FakeConsole console;
    Bytes stockGta3, stockPlayer;
};

// player.img's undo writes back more than gta3.img's.
Mod PlayerHeavyMod() {
    Mod mod{{false, "model2.dff", Data(900, 40)}};
    for (uint32_t i = 0; i < 5; ++i) mod.push_back({true, "cloth" + std::to_string(i) + ".dff", Data(7000, 41 + i)});
    return mod;
}

// An install an earlier build made (no game's record beside the archives):
// the undo takes it in and undoes both archives, or neither.
TEST_F(UndoRoomTest, AnUndoOfAnInstallTheGamesRecordDoesNotKnowChangesBothOrNeither) {
    ASSERT_EQ(Install(PlayerHeavyMod(), folderA), 0) << console.text;
    ForgetTheGamesRecords();
    bool done = false;
    const std::optional<std::string> half = FirstHalfUndo(folderA, 128 * 1024, 512, &done);
    ASSERT_FALSE(half) << "one archive undone alone at " << *half;
    EXPECT_TRUE(done);
}

// Another program moved player.img's last entry one sector on (a gap before
// it, no entry's bytes changed): the undo goes entry by entry, and still
// changes both archives or neither.
TEST_F(UndoRoomTest, AnUndoAfterAnotherProgramLeftAGapChangesBothOrNeither) {
    ASSERT_EQ(Install(PlayerHeavyMod(), folderA), 0) << console.text;
    Bytes player = fs.Contents(kPlayer);
    const uint32_t count = archive::testing::Get32(player, 4);
    ASSERT_GT(count, 1u);
    // The record lying last in the file.
    size_t last = 0;
    for (size_t i = 1; i < count; ++i)
        if (archive::testing::Get32(player, 8 + 32 * i) > archive::testing::Get32(player, 8 + 32 * last)) last = i;
    const uint32_t offset = archive::testing::Get32(player, 8 + 32 * last);
    const size_t start = size_t{offset} * 2048;
    ASSERT_LE(start, player.size());
    Bytes moved(player.begin(), player.begin() + static_cast<std::ptrdiff_t>(start));
    moved.resize(start + 2048, 0);
    moved.insert(moved.end(), player.begin() + static_cast<std::ptrdiff_t>(start), player.end());
    archive::testing::Put32(moved, 8 + 32 * last, offset + 1);
    fs.SetFile(kPlayer, moved);
    {
        // Every entry still holds what it held.
        MemoryFileSystem before, after;
        before.SetFile(kPlayer, player);
        after.SetFile(kPlayer, moved);
        ASSERT_EQ(ReadContent(before, kPlayer), ReadContent(after, kPlayer));
    }
    bool done = false;
    const std::optional<std::string> half = FirstHalfUndo(folderA, 512 * 1024, 2048, &done);
    ASSERT_FALSE(half) << "one archive undone alone at " << *half;
    EXPECT_TRUE(done);
}

// player.img's directory is full to its first sector; Mod A adds a file
// larger than any other entry, Mod B one more on top. The undo of Mod A
// (entry by entry: Mod B is still in) leaves free records over the gap,
// and the directory grows past its sector. Whatever the free space, both
// archives are undone or neither.
TEST_F(UndoRoomTest, AnUndoWhoseDirectoryGrowsPastItsRoomChangesBothOrNeither) {
    std::vector<std::pair<std::string, uint16_t>> player{{"big.dff", 100}};
    for (int i = 0; i < 60; ++i) player.push_back({"p" + std::to_string(i) + ".dff", 1});
    stockPlayer = archive::testing::SoundArchive(player, 1);
    fs.SetFile(kPlayer, stockPlayer);
    const Mod a{{false, "model2.dff", Data(900, 50)}, {true, "huge.dff", Data(150 * 2048 - 100, 51)}};
    const Mod b{{true, "b.dff", Data(1000, 52)}};
    ASSERT_EQ(Install(a, folderA), 0) << console.text;
    ASSERT_EQ(Install(b, folderB), 0) << console.text;
    ASSERT_EQ(archive::testing::Get32(fs.Contents(kPlayer), 4), 63u) << "the directory is not as full as meant";
    bool done = false;
    const std::optional<std::string> half = FirstHalfUndo(folderA, 400 * 1024, 2048, &done);
    ASSERT_FALSE(half) << "one archive undone alone at " << *half;
    EXPECT_TRUE(done);
}

std::string GtaScriptFor(const std::string& folder, const std::vector<std::string>& names) {
    std::string script;
    for (const auto& line : install::testing::BlockLinesOf(install::Block::Gta3, kGame, folder, names))
        script += line + "\r\n";
    return script;
}

// Mod A replaced a.dff and Mod B b.dff; another program then changed a.dff,
// and the player installs a fresh copy of Mod B (its folder deleted and
// unpacked again), which finds its file in the game and lets go of Mod A's
// layer. That run is killed at any step, the next run settles what it left,
// and the power goes: the game's own a.dff must still be kept somewhere
// beside the archive or in a backup.
TEST(KeptOriginals, ALetGoOriginalOutlivesAKilledFreshCopyInstallAndAPowerCut) {
    const std::string modA = R"(D:\Downloads\Mod A)", modB = R"(D:\Downloads\Mod B)";
    const Bytes originalA = Pattern(3000, 1);
    const auto setUp = [&](MemoryFileSystem& disk) {
        MakeArchive(disk, kGta3, {{"a.dff", originalA}, {"b.dff", Pattern(2600, 2)}, {"other.dff", Pattern(5000, 3)}});
        disk.SetFile(modA + "\\gta3.img\\a.dff", Pattern(4500, 11));
        disk.SetFile(modB + "\\gta3.img\\b.dff", Pattern(2000, 12));
        RecordingReport a, b;
        EXPECT_EQ(RunScript(modA + "\\Install.dat", GtaScriptFor(modA, {"a.dff"}), disk, a), ExitStatus::Ok) << a.All();
        EXPECT_EQ(RunScript(modB + "\\Install.dat", GtaScriptFor(modB, {"b.dff"}), disk, b), ExitStatus::Ok) << b.All();
        {
            auto archive = archive::Archive::Open(kGta3, disk);
            archive.Put("a.dff", Pattern(3900, 34));
            archive.Commit();
        }
        for (const std::string& path : disk.Paths())
            if (path.rfind(modB + "\\", 0) == 0) disk.Remove(path);
        disk.SetFile(modB + "\\gta3.img\\b.dff", Pattern(2000, 12));
    };
    {
        MemoryFileSystem disk;
        setUp(disk);
        RecordingReport fresh;
        ASSERT_EQ(RunScript(modB + "\\Install.dat", GtaScriptFor(modB, {"b.dff"}), disk, fresh), ExitStatus::Ok)
            << fresh.All();
        ASSERT_TRUE(fresh.Has("nothing to change") && fresh.Has("changed since the installs put them in"))
            << fresh.All();
    }
    const Bytes original = Stored(originalA);
    int lost = 0;
    std::string first;
    for (int k = 1;; ++k) {
        MemoryFileSystem disk;
        setUp(disk);
        bool fired = false;
        RecordingReport killed;
        {
            archive::testing::FaultFileSystem faulty(disk, archive::testing::Fault::Kill, k);
            (void)RunScript(modB + "\\Install.dat", GtaScriptFor(modB, {"b.dff"}), faulty, killed);
            fired = faulty.Fired();
        }
        RecordingReport settle;
        try {
            SettleGamePending(disk, kGta3, settle);
        } catch (const std::exception&) {}
        disk.LosePower(archive::testing::Tear::LoseAll);
        bool kept = false;
        for (const std::string& path : disk.Paths()) {
            if (path == kGta3) continue;
            const Bytes& bytes = disk.Contents(path);
            for (size_t at = 0; !kept && at + original.size() <= bytes.size(); at += archive::kSectorSize)
                kept = std::equal(original.begin(), original.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
        }
        if (!kept && lost++ == 0) {
            first = "killed at step " + std::to_string(k) + "\n" + killed.All() + "---- the next run:\n" + settle.All();
            for (const std::string& path : disk.Paths()) first += "  " + path + "\n";
        }
        if (!fired) break;
        ASSERT_LT(k, 1000) << "the run does not end";
    }
    EXPECT_EQ(lost, 0) << lost << " kills lost the game's own a.dff; first: " << first;
}

}  // namespace
}  // namespace veltrin::tool
