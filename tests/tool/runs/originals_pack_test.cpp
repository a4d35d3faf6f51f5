// The packs of originals beside an archive: a pack stays while a record
// refers to anything in it, and goes with the last change that lets go of
// it; no run is stopped for good by a pack that is gone; nothing of the
// store is left once the last install is undone, whatever ended a run early.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "fault_file_system.h"
#include "install_crash_fixture.h"
#include "testing/memory_file_system.h"
#include "tool/runs/game_pending.h"
#include "tool/runs/game_record.h"
#include "tool/runs/originals_store.h"
#include "tool/runs/restore.h"
#include "tool/runs/script_runner.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

using namespace testing;
using archive::testing::Fault;
using archive::testing::FaultFileSystem;
using archive::testing::MemoryFileSystem;

const std::string kModA = R"(D:\Downloads\Mod A)";
const std::string kModB = R"(D:\Downloads\Mod B)";

std::string GtaScript(const std::string& folder, const std::vector<std::string>& names) {
    std::string script;
    for (const auto& line : install::testing::BlockLinesOf(install::Block::Gta3, kGame, folder, names))
        script += line + "\r\n";
    return script;
}

// The files under the archive's originals folder.
std::vector<std::string> StoreFiles(MemoryFileSystem& fs, const std::string& archivePath) {
    const std::string folder = OriginalsFolderFor(archivePath) + "\\";
    std::vector<std::string> files;
    for (const std::string& path : fs.Paths())
        if (path.rfind(folder, 0) == 0) files.push_back(path);
    return files;
}

std::vector<std::string> Packs(MemoryFileSystem& fs, const std::string& archivePath) {
    std::vector<std::string> packs;
    for (const std::string& path : StoreFiles(fs, archivePath))
        if (path.size() > kPackSuffix.size() && path.ends_with(kPackSuffix)) packs.push_back(path);
    return packs;
}

// The originals the game's record in place refers to that the store does
// not hold whole, each as "<entry>: <where>".
std::vector<std::string> OriginalsNotKept(MemoryFileSystem& fs, const std::string& archivePath) {
    std::vector<std::string> missing;
    const std::optional<GameRecord> game = ReadGameRecord(fs, GameRecordPathFor(archivePath));
    if (!game) return missing;
    OriginalsStore store(fs, archivePath);
    for (const GameInstall& install : game->installs)
        for (const InstallLayer& layer : install.entries)
            if (layer.before && !store.Has(*layer.before))
                missing.push_back(layer.name + ": " + store.PlaceOf(*layer.before));
    return missing;
}

void ChangeByAnotherProgram(MemoryFileSystem& fs, const std::string& name, const Bytes& bytes) {
    auto archive = archive::Archive::Open(kGta3, fs);
    archive.Put(name, bytes);
    archive.Commit();
}

// gta3.img with two entries of the very same bytes (the same model under
// two names), Mod A replacing the first and Mod B the second.
class OriginalsPackTest : public ::testing::Test {
protected:
    void SetUp() override { SetUpOn(fs); }
    void SetUpOn(MemoryFileSystem& disk) {
        MakeArchive(disk, kGta3, {{"a.dff", twin}, {"b.dff", twin}, {"other.dff", Pattern(5000, 3)}});
        disk.SetFile(kModA + "\\gta3.img\\a.dff", Pattern(4500, 11));
        disk.SetFile(kModB + "\\gta3.img\\b.dff", Pattern(2000, 12));
    }
    ExitStatus Install(const std::string& folder, const std::string& name, archive::FileSystem& on,
                       RecordingReport& report) {
        return RunScript(folder + "\\Install.dat", GtaScript(folder, {name}), on, report);
    }
    ExitStatus Undo(const std::string& folder, const std::string& name, archive::FileSystem& on,
                    RecordingReport& report) {
        return RestoreFromScript(folder + "\\Install.dat", GtaScript(folder, {name}), on, report);
    }

    const Bytes twin = Pattern(3000, 1);
    const Bytes changed = Pattern(3900, 34);
    MemoryFileSystem fs;
};

// A content kept in two packs (its first one was lost, and a later save
// kept it again), neither on the disk: a new pack takes the name of
// neither, so that no layer ever reads another pack's bytes at its offset.
TEST_F(OriginalsPackTest, ANewPackNeverTakesTheNameOfAnyPackARecordNames) {
    const archive::Archive archive = archive::Archive::Open(kGta3, fs);
    const archive::Entry& other = *archive.Find("other.dff");
    const std::string firstHex = archive::HexOf(archive::Sha256Of(archive.Read(other)));
    GameRecord record;
    record.installs.resize(2);
    const archive::Digest digest = archive::Sha256Of(Stored(twin));
    record.installs[0].entries.push_back(
        {"a.dff", StoredContent{Stored(twin).size(), digest, std::string(64, 'b') + ".pack", 0}, {}, {}});
    record.installs[1].entries.push_back(
        {"b.dff", StoredContent{Stored(twin).size(), digest, firstHex + ".pack", 0}, {}, {}});
    OriginalsStore store(fs, kGta3);
    store.Know(record);
    const StoredContent kept = store.Keep(archive, other);
    EXPECT_NE(kept.pack, firstHex + ".pack");
    EXPECT_NE(kept.pack, std::string(64, 'b') + ".pack");
}

// Mod A's only layer is let go (another program changed its entry) and
// its undo ends the game's record: the pack that held that original (a
// copy of it is kept in a file of its own) is referred to by nothing, and
// no later run ever removes it.
TEST_F(OriginalsPackTest, APackOnlyALetGoLayerReferredToGoesWithTheLastUndo) {
    RecordingReport install;
    ASSERT_EQ(Install(kModA, "a.dff", fs, install), ExitStatus::Ok) << install.All();
    ASSERT_EQ(Packs(fs, kGta3).size(), 1u) << install.All();
    ChangeByAnotherProgram(fs, "a.dff", changed);
    RecordingReport undo;
    ASSERT_EQ(Undo(kModA, "a.dff", fs, undo), ExitStatus::Ok) << undo.All();
    ASSERT_FALSE(fs.Exists(GameRecordPathFor(kGta3))) << undo.All();
    // The player installs and undoes the mod again, with nothing changed
    // by another program: that undo takes everything the store holds for it.
    RecordingReport again, undoAgain;
    ASSERT_EQ(Install(kModA, "a.dff", fs, again), ExitStatus::Ok) << again.All();
    ASSERT_EQ(Undo(kModA, "a.dff", fs, undoAgain), ExitStatus::Ok) << undoAgain.All();
    ASSERT_FALSE(fs.Exists(GameRecordPathFor(kGta3))) << undoAgain.All();
    std::string store;
    for (const std::string& path : StoreFiles(fs, kGta3)) store += "  " + path + "\n";
    EXPECT_EQ(Packs(fs, kGta3), std::vector<std::string>{})
        << "packs no record refers to are left beside the archive; the store holds:\n"
        << store << undo.All() << "----\n"
        << undoAgain.All();
}

// Mod B replaces b.dff, whose bytes are the original of Mod A's a.dff
// (kept in Mod A's pack): the store finds them kept and refers the new
// layer to that pack. Mod A's layer is let go (another program changed
// a.dff), but the record in place still names it until a save changes it.
// Mod B's install failing at any step before its save took effect must not
// take the pack from the record in place, and the next install goes in.
TEST_F(OriginalsPackTest, AFailedSaveNeverTakesAPackTheRecordInPlaceRefersTo) {
    int failedRuns = 0;
    for (int k = 1;; ++k) {
        MemoryFileSystem disk;
        SetUpOn(disk);
        RecordingReport first;
        ASSERT_EQ(Install(kModA, "a.dff", disk, first), ExitStatus::Ok) << first.All();
        ChangeByAnotherProgram(disk, "a.dff", changed);
        const std::string what = "an error at step " + std::to_string(k);
        bool fired = false;
        ExitStatus status = ExitStatus::Ok;
        RecordingReport failing;
        {
            FaultFileSystem faulty(disk, Fault::Error, k);
            status = Install(kModB, "b.dff", faulty, failing);
            fired = faulty.Fired();
        }
        if (status != ExitStatus::Ok) {
            ++failedRuns;
            // Whatever the record in place is now (settled as the next run
            // settles it), every original it refers to is kept whole.
            RecordingReport settle;
            ASSERT_NO_THROW(SettleGamePending(disk, kGta3, settle)) << what;
            EXPECT_EQ(OriginalsNotKept(disk, kGta3), std::vector<std::string>{})
                << what << ": the record in place refers to originals the store no longer holds\n"
                << failing.All();
            RecordingReport next;
            EXPECT_EQ(Install(kModB, "b.dff", disk, next), ExitStatus::Ok)
                << what << ": the install cannot go in any more\n"
                << failing.All() << "----\n"
                << next.All();
        }
        if (!fired) break;
        ASSERT_LT(k, 1000) << "the run does not end";
    }
    EXPECT_GT(failedRuns, 0);
}

// The player removed the store's files (to make room, say) while the
// record still refers to a pack: the runs after it say what is gone, but
// one that lets go of a layer whose original was in that pack (another
// mod's install, or the undo of the mod itself) must not be stopped by it,
// run after run.
TEST_F(OriginalsPackTest, APackGoneFromTheDiskDoesNotStopEveryLaterInstall) {
    RecordingReport install;
    ASSERT_EQ(Install(kModA, "a.dff", fs, install), ExitStatus::Ok) << install.All();
    const std::vector<std::string> packs = Packs(fs, kGta3);
    ASSERT_EQ(packs.size(), 1u) << install.All();
    fs.Remove(packs.front());
    ChangeByAnotherProgram(fs, "a.dff", changed);
    fs.SetFile(kModB + "\\gta3.img\\other.dff", Pattern(1000, 13));
    for (int run = 1; run <= 2; ++run) {
        RecordingReport other;
        EXPECT_EQ(Install(kModB, "other.dff", fs, other), ExitStatus::Ok)
            << "run " << run << " of another mod's install\n"
            << other.All();
    }
    RecordingReport undo;
    EXPECT_EQ(Undo(kModA, "a.dff", fs, undo), ExitStatus::Ok) << "the undo of the mod whose pack is gone\n"
                                                              << undo.All();
}

// Mod A replaced a.dff and Mod B b.dff, both of which held the same bytes
// (kept once). Another program changes a.dff, so Mod B's undo lets go of
// Mod A's layer; then b.dff changes too, and the power goes. Mod A's backup
// of a.dff was moved in without a flush: the game's own a.dff must still be
// kept somewhere beside the archive or in a backup.
TEST_F(OriginalsPackTest, ALetGoOriginalSharedWithAnotherLayerOutlivesThatLayersUndoAndAPowerCut) {
    RecordingReport a, b, undo;
    ASSERT_EQ(Install(kModA, "a.dff", fs, a), ExitStatus::Ok) << a.All();
    ASSERT_EQ(Install(kModB, "b.dff", fs, b), ExitStatus::Ok) << b.All();
    ChangeByAnotherProgram(fs, "a.dff", changed);
    ASSERT_EQ(Undo(kModB, "b.dff", fs, undo), ExitStatus::Ok) << undo.All();
    ChangeByAnotherProgram(fs, "b.dff", Pattern(2500, 35));
    fs.LosePower(archive::testing::Tear::LoseAll);
    const Bytes original = Stored(twin);
    bool kept = false;
    for (const std::string& path : fs.Paths()) {
        if (path == kGta3) continue;
        const Bytes& bytes = fs.Contents(path);
        for (size_t at = 0; !kept && at + original.size() <= bytes.size(); at += archive::kSectorSize)
            kept = std::equal(original.begin(), original.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
    }
    EXPECT_TRUE(kept) << "the game's own a.dff is kept nowhere\n" << undo.All();
}

// An install an earlier build made, which the game's record does not
// know (no record beside the archive): the next undo or install takes it
// in, its originals then kept in a pack before any record refers to it. A
// run killed at any step, then the install and the undo run to the end:
// nothing of the store is left beside the archives.
TEST(OriginalsPack, ARunKilledAfterTakingInAnInstallLeavesNoPackOnceItIsUndone) {
    for (const bool undoKilled : {true, false}) {
        int leaks = 0;
        std::string firstLeak;
        for (int k = 1;; ++k) {
            MemoryFileSystem fs;
            SetUpBeforeInstall(fs);
            RecordingReport install;
            ASSERT_EQ(RunScript(kScript, CrashScript(), fs, install), ExitStatus::Ok) << install.All();
            // As an earlier build left it: no game's record, no originals.
            for (const std::string& path : fs.Paths())
                if (path.rfind(kGta3 + ".", 0) == 0 || path.rfind(kPlayer + ".", 0) == 0) fs.Remove(path);
            const std::string what =
                std::string(undoKilled ? "undo" : "install") + " killed at step " + std::to_string(k);
            bool fired = false;
            {
                FaultFileSystem faulty(fs, Fault::Kill, k);
                RecordingReport killed;
                (void)(undoKilled ? RestoreFromScript(kScript, CrashScript(), faulty, killed)
                                  : RunScript(kScript, CrashScript(), faulty, killed));
                fired = faulty.Fired();
            }
            RecordingReport again, undo;
            ASSERT_EQ(RunScript(kScript, CrashScript(), fs, again), ExitStatus::Ok) << what << "\n" << again.All();
            ASSERT_EQ(RestoreFromScript(kScript, CrashScript(), fs, undo), ExitStatus::Ok) << what << "\n"
                                                                                           << undo.All();
            std::vector<std::string> left = StoreFiles(fs, kGta3);
            for (const std::string& path : StoreFiles(fs, kPlayer)) left.push_back(path);
            if (!left.empty()) {
                ++leaks;
                if (firstLeak.empty()) {
                    firstLeak = what + ":";
                    for (const std::string& path : left) firstLeak += "\n  " + path;
                }
            }
            if (!fired) break;
            ASSERT_LT(k, 1000) << "the run does not end";
        }
        EXPECT_EQ(leaks, 0) << (undoKilled ? "undo" : "install") << ": " << leaks
                            << " runs left files in the store after the last undo; first: " << firstLeak;
    }
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
        EXPECT_EQ(RunScript(modA + "\\Install.dat", GtaScript(modA, {"a.dff"}), disk, a), ExitStatus::Ok) << a.All();
        EXPECT_EQ(RunScript(modB + "\\Install.dat", GtaScript(modB, {"b.dff"}), disk, b), ExitStatus::Ok) << b.All();
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
        ASSERT_EQ(RunScript(modB + "\\Install.dat", GtaScript(modB, {"b.dff"}), disk, fresh), ExitStatus::Ok)
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
            (void)RunScript(modB + "\\Install.dat", GtaScript(modB, {"b.dff"}), faulty, killed);
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
