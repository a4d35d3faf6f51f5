// The game's record of installs at work, through the program as Install.exe
// and Undo.cmd start it: two mods sharing entries undone out of order; a
// fresh copy after the folder was deleted; the game updated between two
// installs; a running game holding player.img; a torn record; an install
// made before the game's record existed. Each history ends with the archives
// held against what they must be, byte for byte where nothing else changed
// them.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/names.h"
#include "archive_builder.h"
#include "fault_file_system.h"
#include "img_rules.h"
#include "testing/forwarding_file_system.h"
#include "testing/memory_file_system.h"
#include "tool/runs/entry_match.h"
#include "tool/runs/game_layers.h"
#include "tool/runs/game_pending.h"
#include "tool/runs/game_record.h"
#include "tool/runs/game_record_run.h"
#include "tool/runs/originals_store.h"
#include "tool/runs/pending_save.h"
#include "tool/runs/record_bytes.h"
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

// A and B replace infernus.dff and model1.txd each with their own file, and
// both add veltrin_cap.txd to player.img with the same bytes.
const Bytes kCap = Data(3000, 98);
Mod ModA() {
    return {{false, "infernus.dff", Data(7000, 10)},
            {false, "model1.txd", Data(3000, 11)},
            {false, "a_only.dff", Data(5000, 12)},
            {true, "vest.dff", Data(1500, 13)},
            {true, "veltrin_cap.txd", kCap}};
}
Mod ModB() {
    return {{false, "infernus.dff", Data(500, 20)},
            {false, "model1.txd", Data(9000, 21)},
            {true, "veltrin_cap.txd", kCap},
            {true, "cloth3.dff", Data(6000, 24)}};
}

class GameRecordRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::vector<std::pair<std::string, uint16_t>> gta3;
        for (int i = 0; i < 8; ++i)
            gta3.push_back({"model" + std::to_string(i) + (i % 2 ? ".txd" : ".dff"), 1 + i % 3});
        gta3.push_back({"infernus.dff", 3});
        std::vector<std::pair<std::string, uint16_t>> player;
        for (int i = 0; i < 5; ++i) player.push_back({"cloth" + std::to_string(i) + ".dff", 1 + i % 2});
        player.push_back({"vest.dff", 2});
        stockGta3 = archive::testing::SoundArchive(gta3, 1);
        stockPlayer = archive::testing::SoundArchive(player, 2);
        fs.SetFile(kGta3, stockGta3);
        fs.SetFile(kPlayer, stockPlayer);
    }

    static void Unpack(MemoryFileSystem& into, const Mod& mod, const std::string& folder) {
        for (const ModFile& file : mod)
            into.SetFile(folder + "\\" + (file.player ? "player.img" : "gta3.img") + "\\" + file.name, file.bytes);
    }
    // The script Install.exe writes into the folder for the game there.
    static std::string ScriptOf(const Mod& mod, const std::string& folder, const std::string& game) {
        std::vector<std::string> gta3, player;
        for (const ModFile& file : mod) (file.player ? player : gta3).push_back(file.name);
        std::string text;
        for (const auto& line : install::testing::BlockLinesOf(install::Block::Gta3, game, folder, gta3))
            text += line + "\r\n";
        for (const auto& line : install::testing::BlockLinesOf(install::Block::Player, game, folder, player))
            text += line + "\r\n";
        return text;
    }
    // Install.exe: the script written into the folder, then the tool.
    int Install(const Mod& mod, const std::string& folder) {
        fs.SetFile(folder + "\\Install.dat", BytesOf(ScriptOf(mod, folder, kGame)));
        console = FakeConsole();
        return RunTool({"Install.plug", "-script", folder + "\\Install.dat"}, console, fs);
    }
    // The tool run on the disk, killed at its k-th step; whether the kill
    // came (false: the run ended before its k-th step).
    static bool RunKilledAt(MemoryFileSystem& disk, int k, std::vector<std::string> args) {
        archive::testing::FaultFileSystem faulty(disk, archive::testing::Fault::Kill, k);
        FakeConsole killed;
        (void)RunTool(std::move(args), killed, faulty);
        return faulty.Fired();
    }
    // Undo.cmd.
    int Undo(const std::string& folder) {
        console = FakeConsole();
        return RunTool({"Install.plug", "-restore", folder + "\\Install.dat"}, console, fs);
    }
    // As an older tool left the game: no record of installs, nor originals,
    // beside the archives.
    void ForgetTheGamesRecords() {
        for (const std::string& file : fs.Paths())
            if (file.find(".installs") != std::string::npos || file.find(".originals\\") != std::string::npos)
                fs.Remove(file);
    }
    void Delete(const std::string& folder) {
        for (const std::string& path : fs.Paths())
            if (path.rfind(folder + "\\", 0) == 0) fs.Remove(path);
    }
    Bytes EntryOf(const std::string& path, const std::string& name) {
        const auto opened = archive::Archive::Open(path, fs);
        const archive::Entry* entry = opened.Find(name);
        return entry ? opened.Read(*entry) : Bytes{};
    }
    bool Has(const std::string& text) const { return console.text.find(text) != std::string::npos; }
    // The entries of the stock archive at that path.
    Content StockContent(const std::string& path) const {
        MemoryFileSystem stock;
        stock.SetFile(path, path == kGta3 ? stockGta3 : stockPlayer);
        return ReadContent(stock, path);
    }
    void ExpectStock() {
        EXPECT_TRUE(fs.Contents(kGta3) == stockGta3) << console.text;
        EXPECT_TRUE(fs.Contents(kPlayer) == stockPlayer) << console.text;
    }
    void ExpectSound() {
        for (const std::string& path : {kGta3, kPlayer})
            EXPECT_EQ(veltrin::testing::img::GameRuleProblems(fs.Contents(path)), std::vector<std::string>{}) << path;
    }
    // Every file beside the archives and in the folders, with its bytes.
    std::map<std::string, Bytes> Everything() {
        std::map<std::string, Bytes> all;
        for (const std::string& path : fs.Paths()) all[path] = fs.Contents(path);
        return all;
    }

    // The archive's directory as the next run finds it (opening it completes
    // or rolls back a save, on a copy here): what a record's layouts are read
    // against.
    static Bytes DirectoryNow(const MemoryFileSystem& disk, const std::string& path) {
        MemoryFileSystem copy = disk;
        return archive::Archive::Open(path, copy).CurrentDirectory();
    }
    static std::optional<GameRecord> RecordBeside(const MemoryFileSystem& disk, const std::string& path) {
        MemoryFileSystem copy = disk;
        const Bytes directory = DirectoryNow(disk, path);
        return ReadGameRecord(copy, GameRecordPathFor(path), &directory);
    }

    // The file an earlier build left for a save in progress: its own mark,
    // version 1, the state found, the puts, the record the save leaves and
    // the one it replaces, sealed.
    static Bytes EarlierWaitingFile(const Bytes& waiting, const std::optional<GameRecord>& replaced,
                                    const Bytes& directory) {
        SaveOfRecord save;
        const GameRecord saved = DecodeGameRecord(waiting, &save, &directory);
        return RecordWriter::Sized([&](RecordWriter& out) {
            const std::string_view mark = "VeltrinInstallsSaving\r\n\x1a";
            out.Raw({reinterpret_cast<const uint8_t*>(mark.data()), mark.size()});
            out.U32(1);
            out.State(save.found);
            WritePuts(out, save.puts);
            out.Blob(EncodeGameRecord(saved));
            out.Blob(EncodeGameRecord(replaced.value_or(GameRecord{})));
            out.Seal();
        });
    }

    // An earlier build's file left waiting for the same save is settled to
    // the same game's record and the same originals.
    static void ExpectEarlierWaitingFileSettlesTheSame(MemoryFileSystem& run, const std::string& what) {
        for (const std::string& path : {kGta3, kPlayer}) {
            const std::string waiting = GamePendingPathFor(path);
            if (!run.Exists(waiting)) continue;
            MemoryFileSystem now = run, earlier = run;
            earlier.SetFile(
                waiting, EarlierWaitingFile(run.Contents(waiting), RecordBeside(now, path), DirectoryNow(now, path)));
            RecordingReport settleNow, settleEarlier;
            ASSERT_NO_THROW(SettleGamePending(now, path, settleNow)) << what;
            ASSERT_NO_THROW(SettleGamePending(earlier, path, settleEarlier)) << what;
            EXPECT_EQ(settleEarlier.All(), settleNow.All()) << what;
            const auto encoded = [&](MemoryFileSystem& disk) {
                const std::optional<GameRecord> game = RecordBeside(disk, path);
                return game ? EncodeGameRecord(*game) : Bytes{};
            };
            EXPECT_TRUE(encoded(earlier) == encoded(now)) << what << ": " << path;
            EXPECT_EQ(earlier.Paths(), now.Paths()) << what;
        }
    }

    // The file an earlier build left beside a folder's install record for a
    // save in progress: its own mark, version 1, the archive, the puts and
    // the record the save leaves, sealed.
    static Bytes EarlierFolderWaitingFile(const Bytes& waiting, const std::string& backups) {
        std::optional<RecordSave> save;
        const InstallRecord record = DecodeRecord(waiting, backups, &save);
        return RecordWriter::Sized([&](RecordWriter& out) {
            const std::string_view mark = "VeltrinSaving\r\n\x1a";
            out.Raw({reinterpret_cast<const uint8_t*>(mark.data()), mark.size()});
            out.U32(1);
            out.Text(save.value().archive);
            out.U32(static_cast<uint32_t>(save->puts.size()));
            for (const PendingPut& put : save->puts) {
                out.Text(put.name);
                out.U64(put.put.size);
                out.Raw(put.put.digest);
            }
            out.Blob(EncodeRecord(record, backups));
            out.Seal();
        });
    }

    // An earlier build's file left waiting beside a folder's record for the
    // same save is settled to the same install record, with the same words,
    // where the save took effect; where it did not, the record stays as it
    // was (that build named no backup the run made).
    static void ExpectEarlierFolderWaitingFileSettlesTheSame(const MemoryFileSystem& run, const std::string& what) {
        const std::string suffix = "\\Backups\\Install.saving.record";
        for (const std::string& waiting : run.Paths()) {
            if (!waiting.ends_with(suffix)) continue;
            const std::string backups = waiting.substr(0, waiting.size() - suffix.size()) + "\\Backups";
            const std::string recordPath = backups + "\\Install.record";
            MemoryFileSystem now = run, earlier = run;
            earlier.SetFile(waiting, EarlierFolderWaitingFile(run.Contents(waiting), backups));
            const auto encoded = [&](MemoryFileSystem& disk) {
                const std::optional<InstallRecord> record = ReadRecord(disk, recordPath);
                return record ? EncodeRecord(*record) : Bytes{};
            };
            MemoryFileSystem before = run;
            const Bytes recordBefore = encoded(before);
            RecordingReport settleNow, settleEarlier;
            ASSERT_NO_THROW(SettlePendingSave(now, recordPath, settleNow)) << what;
            ASSERT_NO_THROW(SettlePendingSave(earlier, recordPath, settleEarlier)) << what;
            if (settleNow.Has("the save took effect")) {
                EXPECT_EQ(settleEarlier.All(), settleNow.All()) << what;
                EXPECT_TRUE(encoded(earlier) == encoded(now)) << what << ": " << recordPath;
                EXPECT_EQ(earlier.Paths(), now.Paths()) << what;
            } else {
                EXPECT_TRUE(settleEarlier.Has("the save did not take effect: the install record stays as it was") &&
                            !settleEarlier.Has("names the backups"))
                    << what << "\n"
                    << settleEarlier.All();
                EXPECT_TRUE(encoded(earlier) == recordBefore) << what << ": " << recordPath;
            }
        }
    }

    // The game's record beside each archive, once the next run settled a
    // save left waiting, names as every entry's last install the file that
    // entry holds.
    static void ExpectGameRecordHoldsAgainst(MemoryFileSystem& run, const std::string& what) {
        ExpectEarlierFolderWaitingFileSettlesTheSame(run, what);
        ExpectEarlierWaitingFileSettlesTheSame(run, what);
        for (const std::string& path : {kGta3, kPlayer}) {
            RecordingReport settle;
            ASSERT_NO_THROW(SettleGamePending(run, path, settle)) << what;
            const std::optional<GameRecord> game = ReadGameRecord(run, GameRecordPathFor(path));
            if (!game) continue;
            const archive::Archive archive = archive::Archive::Open(path, run);
            std::set<std::string> seen;
            for (size_t i = game->installs.size(); i-- > 0;)
                for (const InstallLayer& layer : game->installs[i].entries) {
                    if (!seen.insert(archive::FoldedName(layer.name)).second) continue;
                    const archive::Entry* there = archive.Find(layer.name);
                    EXPECT_TRUE(there && EntryHolds(archive, *there, layer.put))
                        << what << ": " << layer.name << " in " << path
                        << " does not hold what the game's record says its last install put in\n"
                        << settle.All();
                }
        }
    }

    const std::string folderA = R"(D:\Downloads\Mod A)", folderB = R"(D:\Downloads\Mod B)";
    MemoryFileSystem fs;
    FakeConsole console;
    Bytes stockGta3, stockPlayer;
};

// Undone out of order, the first mod's data never comes back, the second
// keeps the texture both put in, and no --force is advised; both undone,
// the archives are the stock ones byte for byte.
TEST_F(GameRecordRunTest, TwoModsSharingEntriesUndoneOutOfOrder) {
    Unpack(fs, ModA(), folderA);
    Unpack(fs, ModB(), folderB);
    ASSERT_EQ(Install(ModA(), folderA), 0) << console.text;
    ASSERT_EQ(Install(ModB(), folderB), 0) << console.text;
    ASSERT_EQ(Undo(folderA), 0) << console.text;
    EXPECT_TRUE(HoldsFile(EntryOf(kGta3, "infernus.dff"), Data(500, 20))) << console.text;
    EXPECT_TRUE(HoldsFile(EntryOf(kGta3, "model1.txd"), Data(9000, 21)));
    EXPECT_TRUE(HoldsFile(EntryOf(kPlayer, "veltrin_cap.txd"), kCap)) << "B's texture went with A's undo";
    EXPECT_TRUE(EntryOf(kGta3, "a_only.dff").empty());
    EXPECT_FALSE(Has("--force")) << console.text;
    EXPECT_TRUE(Has("left infernus.dff as it is: a later install put its own file there")) << console.text;
    ExpectSound();

    ASSERT_EQ(Undo(folderB), 0) << console.text;
    ExpectStock();
    // The record and the store beside the archives are gone with the last install.
    EXPECT_FALSE(fs.Exists(GameRecordPathFor(kGta3)));
    EXPECT_FALSE(fs.Exists(GameRecordPathFor(kPlayer)));
    for (const std::string& path : fs.Paths())
        EXPECT_EQ(path.find(std::string(kOriginalsSuffix) + "\\"), std::string::npos) << path << " stayed";
    EXPECT_FALSE(fs.HasFolder(OriginalsFolderFor(kGta3)));
    EXPECT_FALSE(fs.HasFolder(OriginalsFolderFor(kPlayer)));
}

// The folder deleted after the install: a fresh copy's undo says what to do
// and changes nothing; its install is the same install (nothing of the mod
// kept as an original), and its undo gives the game's own entries back.
TEST_F(GameRecordRunTest, AFreshCopyAfterTheFolderWasDeleted) {
    Unpack(fs, ModA(), folderA);
    ASSERT_EQ(Install(ModA(), folderA), 0) << console.text;
    Delete(folderA);
    const std::string fresh = R"(E:\Mods\Mod A again)";
    Unpack(fs, ModA(), fresh);

    const auto before = Everything();
    EXPECT_EQ(Undo(fresh), 4) << console.text;
    EXPECT_TRUE(Has("run Install.exe from this folder on the same game, then Undo.cmd")) << console.text;
    EXPECT_TRUE(Has("nothing was changed"));
    const auto installed = Everything();
    for (const auto& [path, bytes] : before)
        if (path.find("Restore.log") == std::string::npos) {
            EXPECT_TRUE(installed.at(path) == bytes) << path;
        }

    const std::vector<uint8_t> recordBefore = fs.Contents(GameRecordPathFor(kGta3));
    ASSERT_EQ(Install(ModA(), fresh), 0) << console.text;
    EXPECT_TRUE(Has("the mod is in the game already (installed from " + folderA + ")")) << console.text;
    // No new original: the store holds what it held.
    size_t kept = 0;
    for (const std::string& path : fs.Paths()) kept += path.find(".originals\\") != std::string::npos ? 1u : 0u;
    size_t keptBefore = 0;
    for (const auto& [path, bytes] : installed) keptBefore += path.find(".originals\\") != std::string::npos ? 1u : 0u;
    EXPECT_EQ(kept, keptBefore);
    // Nor in the copy's own Backups: its entries hold the mod's files.
    for (const std::string& path : fs.Paths())
        EXPECT_TRUE(path.rfind(fresh + "\\Backups\\", 0) != 0 || path.ends_with(".record") || path.ends_with(".added"))
            << path << " keeps the mod's own file as an original";
    const std::optional<GameRecord> record = ReadGameRecord(fs, GameRecordPathFor(kGta3));
    ASSERT_TRUE(record.has_value());
    ASSERT_EQ(record->installs.size(), 1u);
    EXPECT_EQ(record->installs[0].folders, (std::vector<std::string>{folderA, fresh}));

    ASSERT_EQ(Undo(fresh), 0) << console.text;
    ExpectStock();
}

// A game update between two installs from one folder: the entry it changed
// is no longer the install's; the second install keeps what the update put
// there as the original, and the undo gives that back, never the older file.
TEST_F(GameRecordRunTest, TheGameUpdatedBetweenTwoInstalls) {
    Unpack(fs, ModA(), folderA);
    ASSERT_EQ(Install(ModA(), folderA), 0) << console.text;
    const Bytes updated = Data(4000, 77);
    {
        auto archive = archive::Archive::Open(kGta3, fs);  // the update's newer infernus.dff
        archive.Put("infernus.dff", updated);
        archive.Commit();
    }
    ASSERT_EQ(Install(ModA(), folderA), 0) << console.text;
    EXPECT_TRUE(
        Has("changed since the installs put them in (another program, or the game repaired or updated): "
            "infernus.dff"))
        << console.text;
    EXPECT_TRUE(HoldsFile(EntryOf(kGta3, "infernus.dff"), Data(7000, 10)));
    ASSERT_EQ(Undo(folderA), 0) << console.text;
    EXPECT_TRUE(HoldsFile(EntryOf(kGta3, "infernus.dff"), updated)) << console.text;
    EXPECT_TRUE(EntryOf(kGta3, "a_only.dff").empty());
    EXPECT_TRUE(fs.Contents(kPlayer) == stockPlayer);
    ExpectSound();
}

// B, S and V installed in that order, V over infernus.dff; another program
// then changes that entry, and the undos come S, B, V. V's undo names the
// entry as left alone, counts it, and keeps the game's original.
TEST_F(GameRecordRunTest, AnEntryAnotherProgramChangedIsNamedByItsOwnInstallsUndo) {
    const Mod b = {{false, "model1.txd", Data(3000, 31)}}, s = {{false, "model2.dff", Data(2000, 32)}},
              v = {{false, "infernus.dff", Data(4500, 33)}};
    const std::string folderS = R"(D:\Downloads\Mod S)", folderV = R"(D:\Downloads\Mod V)";
    const Bytes original = EntryOf(kGta3, "infernus.dff");
    for (const auto& [mod, folder] : {std::pair{b, folderB}, {s, folderS}, {v, folderV}}) {
        Unpack(fs, mod, folder);
        ASSERT_EQ(Install(mod, folder), 0) << console.text;
    }
    const Bytes other = Data(3900, 34);
    {
        auto archive = archive::Archive::Open(kGta3, fs);
        archive.Put("infernus.dff", other);
        archive.Commit();
    }
    ASSERT_EQ(Undo(folderS), 0) << console.text;
    ASSERT_EQ(Undo(folderB), 0) << console.text;
    ASSERT_EQ(Undo(folderV), 0) << console.text;
    EXPECT_TRUE(
        Has("left infernus.dff as it is: it does not hold what this install put in (a later install's file, "
            "or it changed since: another program, or the game repaired or updated)"))
        << console.text;
    EXPECT_TRUE(Has("0 restored, 0 removed, 0 already undone, 1 left as it is")) << console.text;
    EXPECT_TRUE(HoldsFile(EntryOf(kGta3, "infernus.dff"), other)) << console.text;
    const std::string backup = folderV + R"(\Backups\gta3.img\infernus.dff)";
    ASSERT_TRUE(fs.Exists(backup)) << console.text;
    EXPECT_TRUE(fs.Contents(backup) == original) << "the game's original is kept";
}

// The game repaired (its stock archives written back whole) between two
// installs: the second one backs up the game's own entries again, and its
// undo gives the stock archives back byte for byte.
TEST_F(GameRecordRunTest, TheGameRepairedBetweenTwoInstalls) {
    Unpack(fs, ModA(), folderA);
    ASSERT_EQ(Install(ModA(), folderA), 0) << console.text;
    fs.SetFile(kGta3, stockGta3);
    fs.SetFile(kPlayer, stockPlayer);
    ASSERT_EQ(Install(ModA(), folderA), 0) << console.text;
    ASSERT_EQ(Undo(folderA), 0) << console.text;
    ExpectStock();
}

// The game running, holding player.img: the install stops before the first
// save, with both archives, their records and the folder as they were.
TEST_F(GameRecordRunTest, TheGameHoldingPlayerImgChangesNeitherArchive) {
    Unpack(fs, ModA(), folderA);
    Unpack(fs, ModB(), folderB);
    ASSERT_EQ(Install(ModB(), folderB), 0) << console.text;
    const auto before = Everything();
    fs.Lock(kPlayer);
    const int status = Install(ModA(), folderA);
    fs.Unlock(kPlayer);
    EXPECT_EQ(status, 6) << console.text;
    EXPECT_TRUE(Has("close the game")) << console.text;
    EXPECT_TRUE(Has("nothing was changed")) << console.text;
    for (const auto& [path, bytes] : Everything())
        if (path.rfind(folderA + "\\", 0) != 0) {
            EXPECT_TRUE(before.count(path) && before.at(path) == bytes) << path;
        }
    ASSERT_EQ(Install(ModA(), folderA), 0) << console.text;  // once the game is closed
    // Nor does an undo: it takes back all of its mod or none.
    const auto installed = Everything();
    fs.Lock(kPlayer);
    const int undone = Undo(folderB);
    fs.Unlock(kPlayer);
    EXPECT_EQ(undone, 6) << console.text;
    EXPECT_TRUE(Has("the undo changes every archive or none: it stopped before the first save")) << console.text;
    EXPECT_TRUE(Has("nothing was changed")) << console.text;
    for (const auto& [path, bytes] : Everything())
        if (path.find(".log") == std::string::npos) {
            EXPECT_TRUE(installed.count(path) && installed.at(path) == bytes) << path;
        }
    ASSERT_EQ(Undo(folderB), 0) << console.text;
    ASSERT_EQ(Undo(folderA), 0) << console.text;
    ExpectStock();
}

// A torn or changed record beside an archive stops the install and the undo
// with nothing changed, saying how to go on.
TEST_F(GameRecordRunTest, ATornGameRecordChangesNothingAndSaysHowToGoOn) {
    Unpack(fs, ModA(), folderA);
    Unpack(fs, ModB(), folderB);
    ASSERT_EQ(Install(ModA(), folderA), 0) << console.text;
    const std::string path = GameRecordPathFor(kPlayer);
    const Bytes sound = fs.Contents(path);
    Bytes torn = sound;
    torn.resize(torn.size() / 2);
    fs.SetFile(path, torn);
    const auto before = Everything();
    EXPECT_EQ(Install(ModB(), folderB), 10) << console.text;
    EXPECT_TRUE(Has("the game's record of installs " + path + " cannot be trusted")) << console.text;
    EXPECT_TRUE(Has("move it aside")) << console.text;
    EXPECT_TRUE(Has("nothing was changed"));
    EXPECT_EQ(Undo(folderA), 10) << console.text;
    EXPECT_TRUE(Has("move it aside")) << console.text;
    for (const auto& [file, bytes] : Everything())
        if (file.find(".log") == std::string::npos && file.rfind(folderB + "\\Install.dat", 0) != 0) {
            EXPECT_TRUE(before.count(file) && before.at(file) == bytes) << file;
        }

    // A torn waiting record stops the install and the undo before anything
    // changes, naming the file; settling it, a run would say it changed
    // something as soon as it removed the scratch file beside it.
    fs.SetFile(path, sound);
    const std::string waiting = GamePendingPathFor(kGta3);
    fs.SetFile(waiting, Data(300, 2));
    const std::string scratch = waiting + std::string(kScratchSuffix);
    fs.SetFile(scratch, Data(100, 1));
    for (const bool undo : {true, false}) {
        EXPECT_EQ(undo ? Undo(folderA) : Install(ModB(), folderB), 10) << console.text;
        EXPECT_TRUE(Has(waiting + ", cannot be trusted")) << console.text;
        EXPECT_TRUE(Has("nothing was changed")) << console.text;
        EXPECT_TRUE(fs.Exists(scratch));
    }
    bool changed = false;
    const archive::Archive taken = archive::Archive::Take(kGta3, fs);
    RecordingReport settle;
    EXPECT_THROW(LoadGameRecord(fs, taken, settle, changed), RecordError);
    EXPECT_FALSE(fs.Exists(scratch));
    EXPECT_TRUE(changed) << settle.All();
}

// The advice for a record that cannot be trusted, followed: A and B share
// entries, gta3.img's record is moved aside (its originals kept), and each
// mod is undone from its folder, A first, then A again as its undo says. No
// original is lost, and no mod's bytes stay behind.
TEST_F(GameRecordRunTest, FollowingTheAdviceForAnUntrustedRecordLosesNoOriginal) {
    Unpack(fs, ModA(), folderA);
    Unpack(fs, ModB(), folderB);
    ASSERT_EQ(Install(ModA(), folderA), 0) << console.text;
    ASSERT_EQ(Install(ModB(), folderB), 0) << console.text;
    const std::string record = GameRecordPathFor(kGta3);
    fs.SetFile(record + ".aside", fs.Contents(record));
    fs.Remove(record);
    std::string said;
    for (const std::string& folder : {folderA, folderB}) {
        ASSERT_EQ(Undo(folder), 0) << console.text;
        said += console.text;
    }
    // A's undo left the entries B covers, and says to undo A again once B
    // is undone: so the player does.
    EXPECT_NE(said.find("left infernus.dff as it is: it does not hold what this install put in"), std::string::npos)
        << said;
    ASSERT_EQ(Undo(folderA), 0) << console.text;
    said += console.text;
    EXPECT_EQ(ReadContent(fs, kGta3), StockContent(kGta3)) << said;
}

// A script that opens gta3.img in two blocks: the second block is more of
// the same install, never a new install of the mod that gives back what the
// first block put in. The undo gives back stock.
TEST_F(GameRecordRunTest, AnArchiveOpenedInTwoBlocksKeepsWhatTheFirstPutIn) {
    Unpack(fs, ModA(), folderA);
    std::string script;
    const auto block = [&](install::Block which, const std::vector<std::string>& names) {
        for (const std::string& line : install::testing::BlockLinesOf(which, kGame, folderA, names))
            script += line + "\r\n";
    };
    block(install::Block::Gta3, {"infernus.dff", "a_only.dff"});
    block(install::Block::Player, {"vest.dff"});
    block(install::Block::Gta3, {"model1.txd"});
    fs.SetFile(folderA + "\\Install.dat", BytesOf(script));
    console = FakeConsole();
    ASSERT_EQ(RunTool({"Install.plug", "-script", folderA + "\\Install.dat"}, console, fs), 0) << console.text;
    EXPECT_TRUE(HoldsFile(EntryOf(kGta3, "infernus.dff"), Data(7000, 10))) << console.text;
    EXPECT_TRUE(HoldsFile(EntryOf(kGta3, "a_only.dff"), Data(5000, 12))) << console.text;
    EXPECT_TRUE(HoldsFile(EntryOf(kGta3, "model1.txd"), Data(3000, 11))) << console.text;
    ASSERT_EQ(Undo(folderA), 0) << console.text;
    ExpectStock();
}

// An install made before the game's record existed (the folder's record
// and backups only) is taken in the first time the tool runs from its
// folder, below the installs the game's record knows where their befores are
// its puts: undone out of order, no mod's data comes back.
TEST_F(GameRecordRunTest, AnInstallMadeBeforeTheGamesRecordIsTakenIn) {
    Unpack(fs, ModA(), folderA);
    Unpack(fs, ModB(), folderB);
    ASSERT_EQ(Install(ModA(), folderA), 0) << console.text;
    ForgetTheGamesRecords();
    ASSERT_EQ(Install(ModB(), folderB), 0) << console.text;
    ASSERT_EQ(Undo(folderA), 0) << console.text;
    EXPECT_TRUE(Has("takes in the install from " + folderA)) << console.text;
    EXPECT_TRUE(HoldsFile(EntryOf(kGta3, "infernus.dff"), Data(500, 20))) << console.text;
    EXPECT_TRUE(EntryOf(kGta3, "a_only.dff").empty());
    ASSERT_EQ(Undo(folderB), 0) << console.text;
    EXPECT_TRUE(ReadContent(fs, kGta3) == StockContent(kGta3)) << console.text;
    EXPECT_TRUE(ReadContent(fs, kPlayer) == StockContent(kPlayer)) << console.text;
    // Every install undone: nothing of the record, nor any original, stays
    // beside the archives.
    for (const std::string& path : fs.Paths())
        EXPECT_TRUE(path.find(".installs") == std::string::npos &&
                    path.find(std::string(kOriginalsSuffix) + "\\") == std::string::npos)
            << path << " stayed\n"
            << console.text;
    ExpectSound();
}

// B is killed at every step of its install over A. A's veltrin_cap.txd
// holds, byte for byte, the file B puts there too: the next run must not take
// that for B's save having taken effect. After it settles, the game's record
// describes both archives as they are (every entry's last install's file in
// it), and undoing B, then A, or A, then B, gives the stock entries back.
TEST_F(GameRecordRunTest, AnInstallKilledAtAnyStepOverAModWithASharedFile) {
    Unpack(fs, ModA(), folderA);
    Unpack(fs, ModB(), folderB);
    ASSERT_EQ(Install(ModA(), folderA), 0) << console.text;
    // B's script written as Install.exe writes it (and its install undone).
    ASSERT_EQ(Install(ModB(), folderB), 0) << console.text;
    const Content stockGta3Content = StockContent(kGta3), stockPlayerContent = StockContent(kPlayer);
    ASSERT_EQ(Undo(folderB), 0) << console.text;
    const MemoryFileSystem withA = fs;
    for (int k = 1;; ++k) {
        const std::string what = "B killed at step " + std::to_string(k);
        MemoryFileSystem run = withA;
        const bool fired = RunKilledAt(run, k, {"Install.plug", "-script", folderB + "\\Install.dat"});
        ExpectGameRecordHoldsAgainst(run, what);
        // Then A undone first: B's undo, whatever the kill left of B, neither
        // fails nor advises forcing it (which would write A's files back).
        fs = run;
        ASSERT_EQ(Undo(folderA), 0) << what << "\n" << console.text;
        EXPECT_EQ(Undo(folderB), 0) << what << "\n" << console.text;
        EXPECT_FALSE(Has("--force")) << what << "\n" << console.text;
        EXPECT_EQ(ReadContent(fs, kGta3), stockGta3Content) << what << "\n" << console.text;
        EXPECT_EQ(ReadContent(fs, kPlayer), stockPlayerContent) << what << "\n" << console.text;
        // The backups the killed run made are recorded, and so used up: none
        // stays to be kept as an original by B's next install (it holds A's
        // bytes).
        for (const std::string& file : fs.Paths())
            EXPECT_FALSE(file.rfind(folderB + "\\Backups\\", 0) == 0 && !file.ends_with(".log"))
                << what << ": " << file << " stayed\n"
                << console.text;
        // Or B first.
        fs = run;
        (void)Undo(folderB);  // B may never have got into the game
        ASSERT_EQ(Undo(folderA), 0) << what << "\n" << console.text;
        EXPECT_EQ(ReadContent(fs, kGta3), stockGta3Content) << what << "\n" << console.text;
        EXPECT_EQ(ReadContent(fs, kPlayer), stockPlayerContent) << what << "\n" << console.text;
        // Nothing of the kill stays beside the archives for good.
        for (const std::string& file : fs.Paths())
            EXPECT_EQ(file.find(std::string(kOriginalsSuffix) + "\\"), std::string::npos) << what << ": " << file;
        if (!fired) break;
        ASSERT_LT(k, 1000) << "the run does not end";
    }
}

// With A and B in the game, the undo of either is killed at every step.
// After the next run the game's record holds against both archives, and
// undoing what is left, then both again, gives the stock entries back.
TEST_F(GameRecordRunTest, AnUndoKilledAtAnyStepWithTwoModsSharingEntries) {
    Unpack(fs, ModA(), folderA);
    Unpack(fs, ModB(), folderB);
    ASSERT_EQ(Install(ModA(), folderA), 0) << console.text;
    ASSERT_EQ(Install(ModB(), folderB), 0) << console.text;
    const MemoryFileSystem both = fs;
    for (const bool undoA : {true, false}) {
        const std::string& first = undoA ? folderA : folderB;
        const std::string& second = undoA ? folderB : folderA;
        for (int k = 1;; ++k) {
            const std::string what = std::string(undoA ? "A" : "B") + "'s undo killed at step " + std::to_string(k);
            MemoryFileSystem run = both;
            const bool fired = RunKilledAt(run, k, {"Install.plug", "-restore", first + "\\Install.dat"});
            ExpectGameRecordHoldsAgainst(run, what);
            fs = run;
            (void)Undo(first);  // it may have been undone already
            ASSERT_EQ(Undo(second), 0) << what << "\n" << console.text;
            EXPECT_EQ(ReadContent(fs, kGta3), StockContent(kGta3)) << what << "\n" << console.text;
            EXPECT_EQ(ReadContent(fs, kPlayer), StockContent(kPlayer)) << what << "\n" << console.text;
            if (!fired) break;
            ASSERT_LT(k, 1000) << "the run does not end";
        }
    }
}

// A's next version, installed from the same folder over an install made
// before the game's record, no longer has vest.dff: the game's own comes
// back, and once A is undone no original stays beside the archives.
TEST_F(GameRecordRunTest, ANextVersionOverAnInstallMadeBeforeTheGamesRecordLeavesNoOriginalBehind) {
    Unpack(fs, ModA(), folderA);
    ASSERT_EQ(Install(ModA(), folderA), 0) << console.text;
    ForgetTheGamesRecords();
    Mod next = ModA();
    std::erase_if(next, [](const ModFile& file) { return file.name == "vest.dff"; });
    fs.Remove(folderA + "\\player.img\\vest.dff");
    ASSERT_EQ(Install(next, folderA), 0) << console.text;
    EXPECT_TRUE(Has("takes in the install from " + folderA)) << console.text;
    ASSERT_EQ(Undo(folderA), 0) << console.text;
    ExpectStock();
    for (const std::string& path : fs.Paths())
        EXPECT_TRUE(path.find(".installs") == std::string::npos &&
                    path.find(std::string(kOriginalsSuffix) + "\\") == std::string::npos)
            << path << " stayed\n"
            << console.text;
}

// B installed by a build that kept no record: its Backups hold the game's
// originals, and its entries hold B's files (the same files, or an older
// version of them). B installed again, killed at every step or not at all,
// then undone: every entry holds the game's original again, or, where the
// entry holds the older version and the undo never saw the newer one go in,
// its backup still does.
TEST_F(GameRecordRunTest, BackupsOfAnInstallThatKeptNoRecordAreNeverLost) {
    Unpack(fs, ModB(), folderB);
    ASSERT_EQ(Install(ModB(), folderB), 0) << console.text;
    for (const std::string& file : fs.Paths())
        if (file.find(".installs") != std::string::npos ||
            file.find(std::string(kOriginalsSuffix) + "\\") != std::string::npos ||
            file == folderB + "\\Backups\\Install.record")
            fs.Remove(file);
    const auto stock = [&](const std::string& name) {
        for (const auto& [entry, bytes] : StockContent(kGta3))
            if (entry == name) return bytes;
        return Bytes{};
    };
    const MemoryFileSystem older = fs;
    for (const bool newer : {false, true}) {
        for (int k = 1;; ++k) {
            const std::string what = std::string(newer ? "a newer B" : "B") + " killed at step " + std::to_string(k);
            MemoryFileSystem run = older;
            if (newer) run.SetFile(folderB + "\\gta3.img\\infernus.dff", Data(900, 77));
            const bool fired = RunKilledAt(run, k, {"Install.plug", "-script", folderB + "\\Install.dat"});
            fs = run;
            EXPECT_EQ(Undo(folderB), 0) << what << "\n" << console.text;
            // Where the entry holds another version than the folder's, an
            // undo that never saw it installed leaves it, and its backup.
            for (const std::string name : {"infernus.dff", "model1.txd"}) {
                const std::string backup = folderB + "\\Backups\\gta3.img\\" + name;
                const bool back = HoldsFile(EntryOf(kGta3, name), stock(name));
                const bool kept = fs.Exists(backup) && HoldsFile(fs.Contents(backup), stock(name));
                EXPECT_TRUE(back || (newer && kept))
                    << what << ": the original of " << name << (kept ? " is not back" : " is lost") << "\n"
                    << console.text;
            }
            if (!fired) break;
            ASSERT_LT(k, 1000) << "the run does not end";
        }
    }
}

// The game moved, and B's next version installed there from the same
// folder, killed at every step: the folder's record follows the game and
// never names an archive twice, and the undo gives the stock entries back
// where the game is now.
TEST_F(GameRecordRunTest, ANextVersionKilledAtAnyStepInAMovedGame) {
    Unpack(fs, ModB(), folderB);
    ASSERT_EQ(Install(ModB(), folderB), 0) << console.text;
    const std::string moved = R"(E:\Games\San Andreas)";
    for (const std::string& path : fs.Paths())
        if (path.rfind(kGame + "\\", 0) == 0) {
            fs.SetFile(moved + path.substr(kGame.size()), fs.Contents(path));
            fs.Remove(path);
        }
    // The next version: another infernus.dff, and model3.txd too.
    Mod next = ModB();
    next[0].bytes = Data(900, 77);
    next.push_back({false, "model3.txd", Data(3000, 78)});
    Unpack(fs, next, folderB);
    fs.SetFile(folderB + "\\Install.dat", BytesOf(ScriptOf(next, folderB, moved)));
    const MemoryFileSystem start = fs;
    for (int k = 1;; ++k) {
        const std::string what = "killed at step " + std::to_string(k);
        MemoryFileSystem run = start;
        const bool fired = RunKilledAt(run, k, {"Install.plug", "-script", folderB + "\\Install.dat"});
        fs = run;
        ASSERT_EQ(Undo(folderB), 0) << what << "\n" << console.text;
        EXPECT_FALSE(fs.Exists(folderB + "\\Backups\\Install.record")) << what << ": the undo left the record\n"
                                                                       << console.text;
        EXPECT_EQ(ReadContent(fs, moved + R"(\models\gta3.img)"), StockContent(kGta3)) << what << "\n" << console.text;
        EXPECT_EQ(ReadContent(fs, moved + R"(\models\player.img)"), StockContent(kPlayer)) << what << "\n"
                                                                                           << console.text;
        if (!fired) break;
        ASSERT_LT(k, 1000) << "the run does not end";
    }
}

// The player's infernus.dff holds a file of their own that no record knows;
// folder B came with an author's Backups (of the author's stock entries)
// but without its Install.record. B installed and undone, or stopped
// before its save (a mod file missing) and undone: the player's file is
// there again.
TEST_F(GameRecordRunTest, ATriedFoldersBackupsNeverReplaceThePlayersOwnFile) {
    const std::string folderP = R"(D:\Downloads\Mod P)";
    Mod p = {{false, "infernus.dff", Data(4000, 55)}};
    Unpack(fs, p, folderP);
    ASSERT_EQ(Install(p, folderP), 0) << console.text;
    for (const std::string& file : fs.Paths())
        if (file.find(".installs") != std::string::npos ||
            file.find(std::string(kOriginalsSuffix) + "\\") != std::string::npos || file.rfind(folderP, 0) == 0)
            fs.Remove(file);
    // The author's trial folder: B installed there, record not zipped.
    MemoryFileSystem author;
    author.SetFile(kGta3, stockGta3);
    author.SetFile(kPlayer, stockPlayer);
    Unpack(author, ModB(), folderB);
    {
        std::swap(fs, author);
        ASSERT_EQ(Install(ModB(), folderB), 0) << console.text;
        std::swap(fs, author);
    }
    for (const std::string& file : author.Paths())
        if (file.rfind(folderB + "\\", 0) == 0 && file != folderB + "\\Backups\\Install.record" &&
            file.find("Install.dat") == std::string::npos)
            fs.SetFile(file, author.Contents(file));
    const MemoryFileSystem start = fs;
    ASSERT_EQ(Install(ModB(), folderB), 0) << console.text;
    const std::string installed = console.text;
    ASSERT_EQ(Undo(folderB), 0) << console.text;
    EXPECT_TRUE(HoldsFile(EntryOf(kGta3, "infernus.dff"), Data(4000, 55))) << "the player's own infernus.dff is lost\n"
                                                                           << installed << "\n----\n"
                                                                           << console.text;
    // A run that stops before its save (a mod file missing), then the undo.
    fs = start;
    fs.Remove(folderB + "\\gta3.img\\model1.txd");
    EXPECT_NE(Install(ModB(), folderB), 0) << console.text;
    const std::string stopped = console.text;
    (void)Undo(folderB);
    EXPECT_TRUE(HoldsFile(EntryOf(kGta3, "infernus.dff"), Data(4000, 55)))
        << "a stopped run's undo put the author's backup over the player's file\n"
        << stopped << "\n----\n"
        << console.text;
}

// A file system on which the game starts (holding the second archive) as
// soon as the run has taken the first one, after the check before the first
// save.
class GameStartsAfterTheFirstTake final : public archive::testing::ForwardingFileSystem {
public:
    GameStartsAfterTheFirstTake(MemoryFileSystem& inner, std::string first, std::string second)
        : ForwardingFileSystem(inner), memory_(inner), first_(std::move(first)), second_(std::move(second)) {}
    std::unique_ptr<archive::File> Open(const std::string& path, archive::OpenMode mode) override {
        auto file = inner_.Open(path, mode);
        if (path == first_ && mode == archive::OpenMode::ReadWrite && ++opens_ == 2) memory_.Lock(second_);
        return file;
    }

private:
    MemoryFileSystem& memory_;
    std::string first_, second_;
    int opens_ = 0;
};
// The run stops, and neither archive changes.
TEST_F(GameRecordRunTest, TheGameStartedBetweenTakingTheTwoArchivesChangesNeither) {
    Unpack(fs, ModA(), folderA);
    fs.SetFile(folderA + "\\Install.dat", BytesOf(ScriptOf(ModA(), folderA, kGame)));
    const auto before = Everything();
    GameStartsAfterTheFirstTake game(fs, kGta3, kPlayer);
    console = FakeConsole();
    const int status = RunTool({"Install.plug", "-script", folderA + "\\Install.dat"}, console, game);
    fs.Unlock(kPlayer);
    EXPECT_NE(status, 0) << console.text;
    EXPECT_TRUE(fs.Contents(kGta3) == before.at(kGta3)) << "gta3.img changed alone\n" << console.text;
}

// Two archives whose paths differ only past a ".." that has nothing to
// climb out of are two archives: each block goes into its own.
TEST_F(GameRecordRunTest, TwoArchivesWhosePathsLookAlikeAreHeldApart) {
    const std::string one = R"(models\gta3.img)", two = R"(..\models\gta3.img)";
    fs.SetFile(one, stockGta3);
    fs.SetFile(two, stockGta3);
    const std::string folder = R"(D:\Downloads\Mod K)";
    fs.SetFile(folder + "\\x1.dff", Data(700, 71));
    fs.SetFile(folder + "\\x2.dff", Data(800, 72));
    const auto quoted = [](const std::string& path) {
        std::string doubled;
        for (const char c : path) doubled += c == '\\' ? std::string("\\\\") : std::string(1, c);
        return "\"" + doubled + "\"";
    };
    fs.SetFile(folder + "\\Install.dat",
               BytesOf("-open " + quoted(one) + "\r\n-import " + quoted(folder + "\\x1.dff") + "\r\n-open " +
                       quoted(two) + "\r\n-import " + quoted(folder + "\\x2.dff") + "\r\n"));
    console = FakeConsole();
    ASSERT_EQ(RunTool({"Install.plug", "-script", folder + "\\Install.dat"}, console, fs), 0) << console.text;
    const auto first = archive::Archive::Open(one, fs), second = archive::Archive::Open(two, fs);
    EXPECT_TRUE(first.Find("x1.dff") && !first.Find("x2.dff")) << console.text;
    EXPECT_TRUE(second.Find("x2.dff") && !second.Find("x1.dff")) << console.text;
}

// The player's own infernus.dff, a tried folder's Backups over it (no
// record came with them), and the game's record moved aside as the advice
// for a torn one says: installed again and undone, the entry never gets the
// tried folder's backup (another game's file) as its original.
TEST_F(GameRecordRunTest, ATriedFoldersBackupNeverBecomesTheOriginalOnALaterInstall) {
    const std::string folderC = R"(D:\Downloads\Mod C)";
    const Mod c = {{false, "infernus.dff", Data(500, 20)}};
    {
        archive::Archive archive = archive::Archive::Open(kGta3, fs);
        archive.Put("infernus.dff", Data(4000, 55));
        archive.Commit();
    }
    MemoryFileSystem author;
    author.SetFile(kGta3, stockGta3);
    author.SetFile(kPlayer, stockPlayer);
    std::swap(fs, author);
    Unpack(fs, c, folderC);
    ASSERT_EQ(Install(c, folderC), 0) << console.text;
    std::swap(fs, author);
    for (const std::string& file : author.Paths())
        if (file.rfind(folderC + "\\", 0) == 0 && file != folderC + "\\Backups\\Install.record")
            fs.SetFile(file, author.Contents(file));
    ASSERT_EQ(Install(c, folderC), 0) << console.text;
    const std::string record = GameRecordPathFor(kGta3);
    fs.SetFile(record + ".aside", fs.Contents(record));
    fs.Remove(record);
    ASSERT_EQ(Install(c, folderC), 0) << console.text;
    ASSERT_EQ(Undo(folderC), 0) << console.text;
    const Bytes authors = fs.Contents(folderC + "\\Backups\\gta3.img\\infernus.dff");
    EXPECT_FALSE(EntryOf(kGta3, "infernus.dff") == authors) << console.text;
}

// A file system on which a path names its file with either separator, and
// with "." folders in it, as Windows' does.
class EitherSeparatorFileSystem final : public archive::testing::ForwardingFileSystem {
public:
    using ForwardingFileSystem::ForwardingFileSystem;
    std::unique_ptr<archive::File> Open(const std::string& path, archive::OpenMode mode) override {
        return inner_.Open(Back(path), mode);
    }
    bool Exists(const std::string& path) override { return inner_.Exists(Back(path)); }
    void ReplaceAtomically(const std::string& from, const std::string& to) override {
        inner_.ReplaceAtomically(Back(from), Back(to));
    }
    void Replace(const std::string& from, const std::string& to) override { inner_.Replace(Back(from), Back(to)); }
    void FlushAndReplaceEach(const std::vector<Move>& moves) override {
        std::vector<Move> back;
        for (const Move& move : moves) back.push_back({Back(move.from), Back(move.to)});
        inner_.FlushAndReplaceEach(back);
    }
    void Remove(const std::string& path) override { inner_.Remove(Back(path)); }
    void FlushFolder(const std::string& folder) override { inner_.FlushFolder(Back(folder)); }
    void CreateDirectories(const std::string& path) override { inner_.CreateDirectories(Back(path)); }
    void RemoveEmptyFolder(const std::string& path) override { inner_.RemoveEmptyFolder(Back(path)); }
    uint64_t FreeSpace(const std::string& path) override { return inner_.FreeSpace(Back(path)); }
    void CheckWritable(const std::string& path) override { inner_.CheckWritable(Back(path)); }
    void CheckCanCreateIn(const std::string& folder) override { inner_.CheckCanCreateIn(Back(folder)); }

private:
    static std::string Back(std::string path) {
        std::replace(path.begin(), path.end(), '/', '\\');
        for (size_t dot; (dot = path.find("\\.\\")) != std::string::npos;) path.erase(dot, 2);
        return path;
    }
};

// A script that opens one archive under three spellings of its path: the
// run holds the archive once, and every block is saved.
TEST_F(GameRecordRunTest, AnArchiveOpenedUnderThreeSpellingsIsHeldOnce) {
    Unpack(fs, ModB(), folderB);
    std::string forward = kGta3;
    std::replace(forward.begin(), forward.end(), '\\', '/');
    const auto quoted = [](std::string path) {
        std::string doubled;
        for (const char c : path) doubled += c == '\\' ? std::string("\\\\") : std::string(1, c);
        return "\"" + doubled + "\"";
    };
    const std::string script =
        "-open " + quoted(kGta3) + "\r\n-import " + quoted(folderB + "\\gta3.img\\infernus.dff") + "\r\n-open " +
        quoted(forward) + "\r\n-import " + quoted(folderB + "\\gta3.img\\model1.txd") + "\r\n-open " +
        quoted(kGame + "\\.\\models\\gta3.img") + "\r\n-import " + quoted(folderB + "\\gta3.img\\model1.txd") + "\r\n";
    fs.SetFile(folderB + "\\Install.dat", BytesOf(script));
    EitherSeparatorFileSystem either(fs);
    console = FakeConsole();
    ASSERT_EQ(RunTool({"Install.plug", "-script", folderB + "\\Install.dat"}, console, either), 0) << console.text;
    EXPECT_FALSE(Has("in use")) << console.text;
    size_t saves = 0;
    for (size_t at = 0; (at = console.text.find("\nsaved", at)) != std::string::npos; ++at) ++saves;
    EXPECT_EQ(saves, 2u) << console.text;  // the third block found its file in the entry already
    EXPECT_TRUE(Has("it holds that file already")) << console.text;
    EXPECT_TRUE(HoldsFile(EntryOf(kGta3, "model1.txd"), Data(9000, 21))) << console.text;
    console = FakeConsole();
    ASSERT_EQ(RunTool({"Install.plug", "-restore", folderB + "\\Install.dat"}, console, either), 0) << console.text;
    ExpectStock();
}

// A file system on which the game starts right after the first save of
// gta3.img is done (its journal removed, or its rewrite moved in): it opens
// player.img to read it, and holds it, if it can.
class GameStartingFileSystem final : public archive::testing::ForwardingFileSystem {
public:
    using ForwardingFileSystem::ForwardingFileSystem;
    void Remove(const std::string& path) override {
        inner_.Remove(path);
        if (path == kGta3 + ".journal") StartTheGame();
    }
    void ReplaceAtomically(const std::string& from, const std::string& to) override {
        inner_.ReplaceAtomically(from, to);
        if (to == kGta3) StartTheGame();
    }
    [[nodiscard]] bool Started() const { return tried_; }
    [[nodiscard]] bool GotIn() const { return game_ != nullptr; }

private:
    void StartTheGame() {
        if (tried_) return;
        tried_ = true;
        try {
            game_ = inner_.Open(kPlayer, archive::OpenMode::Read);
        } catch (const archive::ArchiveError&) {
            // Another program holds it: the game does not start.
        }
    }
    bool tried_ = false;
    std::unique_ptr<archive::File> game_;
};

// The game started between the two archives' saves of an install, and of
// its undo, finds player.img held by the run: each run changes both archives
// or neither, never gta3.img alone.
TEST_F(GameRecordRunTest, TheGameStartedBetweenTheTwoSavesFindsPlayerImgHeld) {
    Unpack(fs, ModB(), folderB);
    ASSERT_EQ(Install(ModB(), folderB), 0) << console.text;  // the script written as Install.exe writes it
    ASSERT_EQ(Undo(folderB), 0) << console.text;
    for (const bool undo : {false, true}) {
        GameStartingFileSystem starting(fs);
        console = FakeConsole();
        const int status =
            RunTool({"Install.plug", undo ? "-restore" : "-script", folderB + "\\Install.dat"}, console, starting);
        ASSERT_TRUE(starting.Started()) << console.text;
        EXPECT_FALSE(starting.GotIn()) << "the game opened player.img between the two saves\n" << console.text;
        EXPECT_EQ(status, 0) << console.text;
        if (undo) {
            ExpectStock();
        } else {
            EXPECT_TRUE(HoldsFile(EntryOf(kGta3, "infernus.dff"), Data(500, 20))) << console.text;
            EXPECT_TRUE(HoldsFile(EntryOf(kPlayer, "cloth3.dff"), Data(6000, 24))) << console.text;
        }
    }
    // An install of a build that kept no record: its undo goes by the files
    // the script names, and holds both archives as well.
    ASSERT_EQ(Install(ModB(), folderB), 0) << console.text;
    ForgetTheGamesRecords();
    fs.Remove(folderB + "\\Backups\\Install.record");
    GameStartingFileSystem starting(fs);
    console = FakeConsole();
    EXPECT_EQ(RunTool({"Install.plug", "-restore", folderB + "\\Install.dat"}, console, starting), 0) << console.text;
    ASSERT_TRUE(starting.Started()) << console.text;
    EXPECT_FALSE(starting.GotIn()) << "the game opened player.img between the two saves\n" << console.text;
    EXPECT_EQ(ReadContent(fs, kGta3), StockContent(kGta3)) << console.text;
    EXPECT_EQ(ReadContent(fs, kPlayer), StockContent(kPlayer)) << console.text;
}

// Whatever the free space, an undo changes both archives or neither: one
// short of the room its saves take stops before the first, saying the most
// they take and what is free. Each case is a game where player.img's undo
// takes more than gta3.img's.
TEST_F(GameRecordRunTest, AnUndoShortOfSpaceChangesNeitherArchive) {
    Mod heavy{{false, "model2.dff", Data(900, 40)}};
    for (uint32_t i = 0; i < 5; ++i) heavy.push_back({true, "cloth" + std::to_string(i) + ".dff", Data(7000, 41 + i)});
    // player.img with an entry no mod touches lying last.
    const auto withBigPlayer = [&] {
        std::vector<std::pair<std::string, uint16_t>> player;
        for (int i = 0; i < 5; ++i) player.push_back({"cloth" + std::to_string(i) + ".dff", 1 + i % 2});
        player.push_back({"vest.dff", 2});
        player.push_back({"big.dff", 120});
        player.push_back({"hat.dff", 1});
        fs.SetFile(kPlayer, archive::testing::SoundArchive(player, 2));
    };
    const auto install = [&](const Mod& mod, const std::string& folder) {
        Unpack(fs, mod, folder);
        ASSERT_EQ(Install(mod, folder), 0) << console.text;
    };
    struct Case {
        std::string what;
        std::function<void()> setUp;
        uint64_t upTo, step;
    };
    const std::vector<Case> cases{
        {"one install", [&] { install(heavy, folderA); }, 256 * 1024, 1024},
        {"an install an earlier build made, which the undo takes in",
         [&] {
             withBigPlayer();
             install(heavy, folderA);
             ForgetTheGamesRecords();
         },
         128 * 1024, 512},
        {"another program moved player.img's last entry one sector on (the save writes it anew)",
         [&] {
             withBigPlayer();
             install(heavy, folderA);
             Bytes player = fs.Contents(kPlayer);
             const uint32_t count = archive::testing::Get32(player, 4);
             size_t last = 0;
             for (size_t i = 1; i < count; ++i)
                 if (archive::testing::Get32(player, 8 + 32 * i) > archive::testing::Get32(player, 8 + 32 * last))
                     last = i;
             const uint32_t offset = archive::testing::Get32(player, 8 + 32 * last);
             const auto start = static_cast<std::ptrdiff_t>(size_t{offset} * 2048);
             Bytes moved(player.begin(), player.begin() + start);
             moved.resize(moved.size() + 2048, 0);
             moved.insert(moved.end(), player.begin() + start, player.end());
             archive::testing::Put32(moved, 8 + 32 * last, offset + 1);
             fs.SetFile(kPlayer, moved);
             MemoryFileSystem before;
             before.SetFile(kPlayer, player);
             ASSERT_EQ(ReadContent(before, kPlayer), ReadContent(fs, kPlayer)) << "an entry changed";
         },
         512 * 1024, 2048},
        {"player.img's directory full, the undo entry by entry under another install, its free entries "
         "growing the directory past its room",
         [&] {
             std::vector<std::pair<std::string, uint16_t>> player{{"big.dff", 100}};
             for (int i = 0; i < 60; ++i) player.push_back({"p" + std::to_string(i) + ".dff", 1});
             fs.SetFile(kPlayer, archive::testing::SoundArchive(player, 1));
             install({{false, "model2.dff", Data(900, 50)}, {true, "huge.dff", Data(150 * 2048 - 100, 51)}}, folderA);
             install({{true, "b.dff", Data(1000, 52)}}, folderB);
             ASSERT_EQ(archive::testing::Get32(fs.Contents(kPlayer), 4), 63u)
                 << "the directory is not as full as meant";
         },
         400 * 1024, 2048},
    };
    const MemoryFileSystem fresh = fs;
    for (const Case& c : cases) {
        fs = fresh;
        c.setUp();
        const Bytes gta3 = fs.Contents(kGta3), player = fs.Contents(kPlayer);
        bool refused = false, undone = false;
        for (uint64_t free = 0; free <= c.upTo && !undone; free += c.step) {
            MemoryFileSystem disk = fs;
            disk.SetFreeSpace(free);
            FakeConsole run;
            const int status = RunTool({"Install.plug", "-restore", folderA + "\\Install.dat"}, run, disk);
            const bool gta3Same = disk.Contents(kGta3) == gta3, playerSame = disk.Contents(kPlayer) == player;
            const std::string where = c.what + ", " + std::to_string(free) + " bytes free";
            if (status == 0) {
                undone = true;
                EXPECT_TRUE(!gta3Same && !playerSame) << where << "\n" << run.text;
                continue;
            }
            refused = true;
            EXPECT_EQ(status, static_cast<int>(ExitStatus::DiskFull)) << where << "\n" << run.text;
            EXPECT_TRUE(gta3Same && playerSame) << where << ": one archive was undone alone\n" << run.text;
            EXPECT_NE(run.text.find("the change needs up to "), std::string::npos) << where << "\n" << run.text;
        }
        EXPECT_TRUE(refused && undone) << c.what;
    }
}

// A file system on which a second run starts as soon as the first one has
// read the game's record of gta3.img for the k-th time (at its next call to
// open a file): at every read, the widest window two installs started at
// once can leave between reading the record and saving.
class RacingFileSystem final : public archive::testing::ForwardingFileSystem {
public:
    RacingFileSystem(archive::FileSystem& inner, int k, std::function<void()> other)
        : ForwardingFileSystem(inner), left_(k), other_(std::move(other)) {}
    std::unique_ptr<archive::File> Open(const std::string& path, archive::OpenMode mode) override {
        if (path == GameRecordPathFor(kGta3)) {
            --left_;
        } else if (left_ == 0) {
            --left_;
            other_();
        }
        return inner_.Open(path, mode);
    }
    [[nodiscard]] bool Raced() const { return left_ < 0; }

private:
    int left_;
    std::function<void()> other_;
};

// C is in the game; B's install reads the game's record, and A's whole
// install runs before B goes on. Whatever each run reports, the game's
// record then names what every entry holds, and undoing every folder whose
// install said "done" gives the stock archives back.
TEST_F(GameRecordRunTest, TwoInstallsAtOnceNeverDropOneFromTheGamesRecord) {
    const std::string folderC = R"(D:\Downloads\Mod C)";
    const Mod modC = {{false, "model2.dff", Data(4000, 30)}};
    Unpack(fs, modC, folderC);
    Unpack(fs, ModA(), folderA);
    Unpack(fs, ModB(), folderB);
    ASSERT_EQ(Install(modC, folderC), 0) << console.text;
    ASSERT_EQ(Install(ModA(), folderA), 0) << console.text;  // both scripts written as Install.exe writes them
    ASSERT_EQ(Install(ModB(), folderB), 0) << console.text;
    ASSERT_EQ(Undo(folderB), 0) << console.text;
    ASSERT_EQ(Undo(folderA), 0) << console.text;
    const MemoryFileSystem withC = fs;
    for (int k = 1;; ++k) {
        fs = withC;
        FakeConsole consoleA, consoleB;
        int statusA = -1;
        RacingFileSystem racing(fs, k, [&] {
            statusA = RunTool({"Install.plug", "-script", folderA + "\\Install.dat"}, consoleA, fs);
        });
        const int statusB = RunTool({"Install.plug", "-script", folderB + "\\Install.dat"}, consoleB, racing);
        if (!racing.Raced()) break;
        const std::string both = "A started at B's read " + std::to_string(k) + " of the record; A said:\n" +
                                 consoleA.text + "\nB said:\n" + consoleB.text;
        EXPECT_TRUE(statusA == 0 || statusB == 0) << both;
        ExpectGameRecordHoldsAgainst(fs, both);
        const std::optional<GameRecord> game = ReadGameRecord(fs, GameRecordPathFor(kGta3));
        ASSERT_TRUE(game) << both;
        for (const auto& [folder, status] : {std::pair{folderA, statusA}, std::pair{folderB, statusB}})
            EXPECT_EQ(FindInstall(*game, folder, std::nullopt).has_value(), status == 0)
                << folder << " ended with " << status << "\n"
                << both;
        for (const auto& [folder, status] : {std::pair{folderA, statusA}, std::pair{folderB, statusB}})
            if (status == 0) {
                ASSERT_EQ(Undo(folder), 0) << folder << "\n" << console.text << "\n" << both;
            }
        ASSERT_EQ(Undo(folderC), 0) << console.text << "\n" << both;
        ExpectStock();
        ASSERT_LT(k, 100) << "the run does not end";
    }
}

}  // namespace
}  // namespace veltrin::tool
