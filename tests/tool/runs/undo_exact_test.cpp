// After an install and its undo, with nothing else changed between them, an
// archive is byte for byte what it was (its SHA-256 is the same): directory,
// spare room, data and file size, entries the install moved to make room for
// the directory included. Through the tool's own install and undo runs, for
// the release payload, larger and smaller replacements, replacements mixed
// with additions, two mods undone in reverse order and a series of installs
// from many application folders undone in reverse order. Where something else
// changed the archive in between, each original goes back, exact in size,
// into the sectors its replacement left, under its own spelling.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/sha256.h"
#include "archive_builder.h"
#include "img_rules.h"
#include "testing/memory_file_system.h"
#include "tool/runs/install_record.h"
#include "tool/runs/restore.h"
#include "tool/runs/script_runner.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

using namespace testing;
using archive::testing::MemoryFileSystem;

// One mod: the files it puts into each archive (name and bytes), shipped from
// an application folder of its own.
struct Mod {
    std::string app;
    std::vector<std::pair<std::string, Bytes>> gta3;
    std::vector<std::pair<std::string, Bytes>> player;
};

std::string ScriptOf(const Mod& mod) {
    std::vector<std::string> gta3, player;
    for (const auto& [name, bytes] : mod.gta3) gta3.push_back(name);
    for (const auto& [name, bytes] : mod.player) player.push_back(name);
    std::string text;
    for (const auto& line : install::testing::BlockLinesOf(install::Block::Gta3, kGame, mod.app, gta3))
        text += line + "\r\n";
    for (const auto& line : install::testing::BlockLinesOf(install::Block::Player, kGame, mod.app, player))
        text += line + "\r\n";
    return text;
}

std::string ScriptPathOf(const Mod& mod) { return mod.app + "\\Install.dat"; }

void Unpack(MemoryFileSystem& fs, const Mod& mod) {
    for (const auto& [name, bytes] : mod.gta3) fs.SetFile(mod.app + "\\gta3.img\\" + name, bytes);
    for (const auto& [name, bytes] : mod.player) fs.SetFile(mod.app + "\\player.img\\" + name, bytes);
}

std::string Sha(const Bytes& bytes) { return archive::HexOf(archive::Sha256Of(bytes)); }

void ExpectGameRules(MemoryFileSystem& fs, const std::string& what) {
    for (const std::string& path : {kGta3, kPlayer})
        EXPECT_EQ(veltrin::testing::img::GameRuleProblems(fs.Contents(path)), std::vector<std::string>{})
            << what << ": " << path;
}

// Archives from other editors may break the game's rules before the install
// already (twins, bytes after the last entry); then they are not checked.
void Install(MemoryFileSystem& fs, const Mod& mod, const std::string& what, bool checkRules = true) {
    Unpack(fs, mod);
    RecordingReport report;
    ASSERT_EQ(RunScript(ScriptPathOf(mod), ScriptOf(mod), fs, report), ExitStatus::Ok) << what << "\n" << report.All();
    if (checkRules) ExpectGameRules(fs, what + ", installed");
}

void Undo(MemoryFileSystem& fs, const Mod& mod, const std::string& what, bool checkRules = true) {
    RecordingReport report;
    ASSERT_EQ(RestoreFromScript(ScriptPathOf(mod), ScriptOf(mod), fs, report), ExitStatus::Ok) << what << "\n"
                                                                                               << report.All();
    for (const std::string& line : report.lines) EXPECT_NE(line.rfind("left ", 0), 0u) << what << "\n" << report.All();
    if (checkRules) ExpectGameRules(fs, what + ", undone");
    for (const std::string& path : fs.Paths())
        EXPECT_NE(path.rfind(mod.app + "\\Backups\\", 0), 0u) << what << ": " << path << " is left after the undo";
}

struct Bytes2 {
    Bytes gta3, player;
};
Bytes2 Both(MemoryFileSystem& fs) { return {fs.Contents(kGta3), fs.Contents(kPlayer)}; }

void ExpectSame(const Bytes2& now, const Bytes2& then, const std::string& what) {
    EXPECT_EQ(Sha(now.gta3), Sha(then.gta3)) << what << ": gta3.img";
    EXPECT_EQ(Sha(now.player), Sha(then.player)) << what << ": player.img";
}

// Game archives as they come: entries in order, spare room after the
// directory, sizes of many kinds. gta3.img has room for 63 records before its
// first entry, so that additions past that move its first entries.
void MakeGame(MemoryFileSystem& fs) {
    std::vector<std::pair<std::string, uint16_t>> gta3;
    for (int i = 0; i < 58; ++i) gta3.push_back({"model" + std::to_string(i) + (i % 3 ? ".dff" : ".txd"), 1 + i % 5});
    gta3.push_back({"infernus.dff", 3});
    gta3.push_back({"infernus.txd", 5});
    fs.SetFile(kGta3, archive::testing::SoundArchive(gta3, 1));
    std::vector<std::pair<std::string, uint16_t>> player;
    for (int i = 0; i < 30; ++i) player.push_back({"cloth" + std::to_string(i) + (i % 2 ? ".dff" : ".txd"), 1 + i % 4});
    player.push_back({"vest.dff", 1});
    fs.SetFile(kPlayer, archive::testing::SoundArchive(player, 3));  // spare room, as the stock one has
}

Bytes HostFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << path;
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The payload the release ships: its four files, all additions.
Mod ReleasePayload() {
    const std::string folder = VELTRIN_PAYLOAD_FOLDER;
    Mod mod{R"(D:\VeltrinMOD-V1)", {}, {}};
    for (const char* name : {"veltrin_sign.dff", "veltrin_sign.txd"})
        mod.gta3.push_back({name, HostFile(folder + "/gta3.img/" + name)});
    for (const char* name : {"veltrin_cap.dff", "veltrin_cap.txd"})
        mod.player.push_back({name, HostFile(folder + "/player.img/" + name)});
    return mod;
}

TEST(UndoExact, OneInstallAndItsUndoGiveTheArchivesBackByteForByte) {
    std::vector<std::pair<std::string, Bytes>> many;
    for (size_t i = 0; i < 12; ++i)
        many.push_back({"veltrin" + std::to_string(i) + ".dff", Pattern(900 + 700 * i, 40)});
    many.push_back({"INFERNUS.dff", Pattern(9000, 41)});  // larger, and spelt otherwise
    many.push_back({"model4.dff", Pattern(100, 42)});     // smaller
    struct Case {
        const char* what;
        Mod mod;
    };
    const std::vector<Case> cases = {
        {"the release payload", ReleasePayload()},
        {"larger replacements",
         {R"(D:\Larger)",
          {{"INFERNUS.dff", Pattern(9000, 1)}, {"model7.dff", Pattern(7000, 2)}, {"model0.txd", Pattern(3000, 3)}},
          {{"vest.dff", Pattern(5000, 4)}, {"cloth3.dff", Pattern(9000, 5)}}}},
        {"smaller replacements",
         {R"(D:\Smaller)",
          {{"infernus.txd", Pattern(100, 6)}, {"model4.dff", Pattern(2000, 7)}},
          {{"cloth5.dff", Pattern(10, 8)}}}},
        {"replacements and additions, more than the directory has room for", {R"(D:\Mixed)", many, {}}},
    };
    for (const Case& c : cases) {
        MemoryFileSystem fs;
        MakeGame(fs);
        const Bytes2 before = Both(fs);
        Install(fs, c.mod, c.what);
        EXPECT_NE(Sha(fs.Contents(kGta3)) + Sha(fs.Contents(kPlayer)), Sha(before.gta3) + Sha(before.player))
            << c.what << ": the install changed nothing";
        if (std::string(c.what).find("directory") != std::string::npos) {
            // The directory needed more room than it had: the first entry moved.
            EXPECT_NE(archive::Archive::Open(kGta3, fs).Find("model0.txd")->offset, 1u) << c.what;
        }
        Undo(fs, c.mod, c.what);
        ExpectSame(Both(fs), before, c.what);
    }
}

// Mods from different application folders, each undone in the reverse order
// of its install: after each undo the archives are what they were before
// that install, byte for byte.
void InstallAllThenUndoInReverse(const std::vector<Mod>& mods, const std::string& what) {
    MemoryFileSystem fs;
    MakeGame(fs);
    std::vector<Bytes2> states = {Both(fs)};
    for (size_t i = 0; i < mods.size(); ++i) {
        Install(fs, mods[i], what + ", install " + std::to_string(i + 1));
        states.push_back(Both(fs));
    }
    for (size_t i = mods.size(); i-- > 0;) {
        const std::string step = what + ", undo " + std::to_string(i + 1);
        Undo(fs, mods[i], step);
        ExpectSame(Both(fs), states[i], step);
    }
}

TEST(UndoExact, TwoModsUndoneInReverseOrderGiveTheArchivesBackByteForByte) {
    const Mod first{R"(D:\First)",
                    {{"infernus.dff", Pattern(7000, 1)}, {"first.dff", Pattern(3000, 2)}},
                    {{"vest.dff", Pattern(3000, 3)}}};
    // The second replaces an entry the first replaced, one it added, and
    // shrinks another.
    const Mod second{
        R"(D:\Second)",
        {{"INFERNUS.DFF", Pattern(500, 4)}, {"first.dff", Pattern(9000, 5)}, {"model8.dff", Pattern(10, 6)}},
        {{"second.txd", Pattern(4000, 7)}}};
    InstallAllThenUndoInReverse({first, second}, "two mods");
}

TEST(UndoExact, ASeriesOfInstallsUndoneInReverseOrderGivesEachStateBack) {
    std::mt19937 random(20261208);
    const auto pick = [&](int below) { return static_cast<int>(random() % static_cast<unsigned>(below)); };
    std::vector<Mod> mods;
    std::vector<std::string> added;  // names an earlier mod of the series added
    for (int m = 0; m < 20; ++m) {
        Mod mod{R"(D:\Mods\)" + std::to_string(m), {}, {}};
        std::map<std::string, bool> taken;
        const int count = 1 + pick(5);
        for (int j = 0; j < count; ++j) {
            std::string name;
            switch (pick(3)) {
            case 0: {
                const int i = pick(58);
                name = "model" + std::to_string(i) + (i % 3 ? ".dff" : ".txd");
                break;
            }
            case 1:
                name =
                    added.empty() ? "infernus.txd" : added[static_cast<size_t>(pick(static_cast<int>(added.size())))];
                break;
            default:
                name = "series" + std::to_string(m) + "_" + std::to_string(j) + ".dff";
                added.push_back(name);
                break;
            }
            if (taken[name]) continue;
            taken[name] = true;
            // Growing, shrinking or the same number of sectors.
            mod.gta3.push_back({name, Pattern(static_cast<size_t>(1 + pick(6 * 2048)), static_cast<uint8_t>(m + j))});
        }
        if (pick(2) == 0) {
            const int i = pick(30);
            mod.player.push_back({"cloth" + std::to_string(i) + (i % 2 ? ".dff" : ".txd"),
                                  Pattern(static_cast<size_t>(1 + pick(5 * 2048)), static_cast<uint8_t>(m))});
        }
        mods.push_back(mod);
    }
    InstallAllThenUndoInReverse(mods, "series");
}

// Another program changed the archive after the install: the undo goes entry
// by entry. Each original, exact in size and under its old spelling, goes
// back into the free sectors its replacement left; the entries the install
// added are removed and the space they leave at the end is cut off.
TEST(UndoExact, AfterAnotherChangeEachOriginalGoesBackWhereItWas) {
    MemoryFileSystem fs;
    MakeGame(fs);
    const Bytes gta3Before = fs.Contents(kGta3);
    std::map<std::string, archive::Entry> was;
    {
        const auto original = archive::Archive::Open(kGta3, fs);
        for (const archive::Entry& entry : original.Entries()) was[entry.name] = entry;
    }
    const Mod mod{R"(D:\Mod)",
                  {{"INFERNUS.dff", Pattern(9000, 1)},  // grows: it moves, and its old sectors become free
                   {"MODEL4.dff", Pattern(100, 2)},     // shrinks: written in place, padded
                   {"added.dff", Pattern(3000, 3)}},
                  {}};
    Install(fs, mod, "install");
    {
        // Another program removes an entry the mod never touched.
        auto other = archive::Archive::Open(kGta3, fs);
        ASSERT_TRUE(other.Remove("model10.dff"));
        other.Commit();
    }
    Undo(fs, mod, "undo");
    const auto after = archive::Archive::Open(kGta3, fs);
    for (const char* name : {"infernus.dff", "model4.dff"}) {
        SCOPED_TRACE(name);
        const archive::Entry* entry = after.Find(name);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->name, name) << "the original spelling";
        EXPECT_EQ(entry->offset, was[name].offset);
        EXPECT_EQ(entry->sectors, was[name].sectors);
        const size_t at = size_t{was[name].offset} * archive::kSectorSize;
        EXPECT_EQ(after.Read(*entry),
                  Bytes(gta3Before.begin() + static_cast<std::ptrdiff_t>(at),
                        gta3Before.begin() +
                            static_cast<std::ptrdiff_t>(at + size_t{entry->sectors} * archive::kSectorSize)));
    }
    EXPECT_EQ(after.Find("added.dff"), nullptr);
    EXPECT_EQ(after.Find("model10.dff"), nullptr) << "the other program's change stays";
    EXPECT_EQ(fs.Contents(kGta3).size(), gta3Before.size()) << "the space at the end is cut off";
}

// The undo of an archive that is not given back byte for byte: it says so,
// every original holds its stored bytes again, the entries the mod added are
// gone and no line claims the archive is as it was.
void ExpectUndoneEntryByEntry(MemoryFileSystem& fs, const Mod& mod, const Content& before, const std::string& what) {
    RecordingReport report;
    ASSERT_EQ(RestoreFromScript(ScriptPathOf(mod), ScriptOf(mod), fs, report), ExitStatus::Ok) << what << "\n"
                                                                                               << report.All();
    EXPECT_TRUE(report.Has("entry by entry")) << what << "\n" << report.All();
    EXPECT_FALSE(report.Has("as it was before the install")) << what << "\n" << report.All();
    for (const std::string& line : report.lines) EXPECT_NE(line.rfind("left ", 0), 0u) << what << "\n" << report.All();
    EXPECT_EQ(ReadContent(fs, kGta3), before) << what;
    ExpectGameRules(fs, what + ", undone");
}

// Archives as other editors leave them: holes between entries, data out of
// directory order, the first record's data far behind the others. The
// install heals them; the layout before cannot be given back soundly, so it
// is not kept (the record holds no entry data), and the undo goes entry by
// entry. So does the undo of an archive whose spare room is too large to
// keep.
TEST(UndoExact, ArchivesOtherEditorsLeftAreUndoneEntryByEntry) {
    using archive::testing::RawEntry;
    std::vector<RawEntry> far = {{"a.dff", 161, 2, 0}, {"b.txd", 1, 2, 0}, {"c.dff", 3, 2, 0}};
    for (uint32_t i = 0; i < 39; ++i) far.push_back({"e" + std::to_string(i) + ".dff", 5 + 4 * i, 4, 0});
    struct Case {
        const char* what;
        Bytes archive;
    };
    const Case cases[] = {
        {"holes between entries",
         archive::testing::RawArchive({{"a.dff", 1, 1, 0}, {"b.txd", 3, 2, 0}, {"c.dff", 7, 1, 0}, {"d.txd", 8, 2, 0}},
                                      10 * 2048)},
        {"data out of directory order",
         archive::testing::RawArchive({{"a.dff", 5, 1, 0}, {"b.txd", 1, 2, 0}, {"c.dff", 6, 2, 0}, {"d.txd", 3, 2, 0}},
                                      8 * 2048)},
        {"the first record's data far behind the others", archive::testing::RawArchive(far, 163 * 2048)},
        {"9 MiB of spare room before the first entry",
         archive::testing::SoundArchive({{"a.dff", 1}, {"b.txd", 2}, {"c.dff", 2}, {"d.txd", 1}}, 4608)},
    };
    const Mod mod{R"(D:\Mod)",
                  {{"B.TXD", Pattern(9000, 1)},  // larger: it moves
                   {"c.dff", Pattern(100, 2)},   // smaller: in place
                   {"new.dff", Pattern(3000, 3)}},
                  {}};
    for (const Case& c : cases) {
        MemoryFileSystem fs;
        MakeGame(fs);
        fs.SetFile(kGta3, c.archive);
        const Content before = ReadContent(fs, kGta3);
        Install(fs, mod, c.what);
        EXPECT_LT(fs.Contents(mod.app + R"(\Backups\Install.record)").size(), 4096u)
            << c.what << ": the record holds no entry data";
        ExpectUndoneEntryByEntry(fs, mod, before, c.what);
    }
}

// A record an earlier build wrote kept such an archive's layout all the
// same: the undo does not refuse it, but goes entry by entry.
TEST(UndoExact, AnUnsoundLayoutAnEarlierBuildKeptIsUndoneEntryByEntry) {
    MemoryFileSystem fs;
    MakeGame(fs);
    fs.SetFile(kGta3, archive::testing::RawArchive(
                          {{"a.dff", 5, 1, 0}, {"b.txd", 1, 2, 0}, {"c.dff", 6, 2, 0}, {"d.txd", 3, 2, 0}}, 8 * 2048));
    const Content before = ReadContent(fs, kGta3);
    const archive::Layout unsound = archive::Archive::Open(kGta3, fs).CurrentLayout();
    const Mod mod{R"(D:\Mod)", {{"B.TXD", Pattern(9000, 1)}, {"new.dff", Pattern(3000, 3)}}, {}};
    Install(fs, mod, "install");
    const std::string recordPath = mod.app + R"(\Backups\Install.record)";
    std::optional<InstallRecord> record = ReadRecord(fs, recordPath);
    ASSERT_TRUE(record.has_value());
    record->Find(kGta3)->layout = unsound;
    WriteRecord(fs, recordPath, *record);
    ExpectUndoneEntryByEntry(fs, mod, before, "an unsound layout kept");
}

// Twins: an archive from another editor holds a.dff and A.DFF, and the game
// reads the first. The install replaces that one in place; the undo gives
// each twin its own bytes back, whether their sizes are the same or not.
TEST(UndoExact, TwinsEachGetTheirOwnBytesBack) {
    for (const uint16_t twinSectors : {uint16_t{2}, uint16_t{3}}) {
        const std::string what = "a twin of " + std::to_string(twinSectors) + " sectors";
        MemoryFileSystem fs;
        MakeGame(fs);
        fs.SetFile(kGta3, archive::testing::SoundArchive(
                              {{"a.dff", 2}, {"b.dff", 1}, {"A.DFF", twinSectors}, {"c.txd", 1}}, 1));
        const Bytes before = fs.Contents(kGta3);
        const Mod mod{R"(D:\Mod)", {{"a.dff", Pattern(1000, 1)}}, {}};
        Install(fs, mod, what, false);
        {
            const auto installed = archive::Archive::Open(kGta3, fs);
            EXPECT_EQ(installed.Records()[0].name, "a.dff") << what << ": the game reads the mod";
            EXPECT_TRUE(HoldsFile(installed.Read(installed.Records()[0]), mod.gta3[0].second)) << what;
        }
        Undo(fs, mod, what, false);
        EXPECT_EQ(Sha(fs.Contents(kGta3)), Sha(before)) << what;
    }
}

// Bytes after the last entry (another editor's zeros or junk), which an
// addition at the end writes over. A few are given back with the layout;
// too many to keep, and the undo goes entry by entry and does not claim the
// archive is as it was.
TEST(UndoExact, BytesAfterTheLastEntryAreGivenBackOrNotClaimed) {
    const Mod mod{R"(D:\Mod)", {{"model4.dff", Pattern(9000, 1)}, {"added.dff", Pattern(5000, 2)}}, {}};
    struct Case {
        const char* what;
        Bytes tail;
        bool kept;
    };
    const Case cases[] = {
        {"100 bytes of junk", Pattern(100, 7), true},
        {"two sectors of zeros", Bytes(2 * 2048, 0), true},
        {"three megabytes of junk", Pattern(3 << 20, 9), false},
    };
    for (const Case& c : cases) {
        MemoryFileSystem fs;
        MakeGame(fs);
        Bytes gta3 = fs.Contents(kGta3);
        gta3.insert(gta3.end(), c.tail.begin(), c.tail.end());
        fs.SetFile(kGta3, gta3);
        const Content entries = ReadContent(fs, kGta3);
        Install(fs, mod, c.what);
        if (c.kept) {
            Undo(fs, mod, c.what, false);
            EXPECT_EQ(Sha(fs.Contents(kGta3)), Sha(gta3)) << c.what;
        } else {
            ExpectUndoneEntryByEntry(fs, mod, entries, c.what);
        }
    }
}

}  // namespace
}  // namespace veltrin::tool
