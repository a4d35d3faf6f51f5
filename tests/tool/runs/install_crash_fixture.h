#pragma once
// The install that the crash suites break at every step: two archives and
// four entries, one of which the install adds. In gta3.img a.dff grows (it
// moves), B.TXD shrinks and new.dff is added; in player.img c.dff fits its
// sector. And what the suites hold a run's words and the disk against: the
// files an install keeps or changes, and what the run said of each archive.
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/names.h"
#include "fault_file_system.h"
#include "testing/memory_file_system.h"
#include "tool/common/exit_status.h"
#include "tool/runs/entry_match.h"
#include "tool/runs/game_pending.h"
#include "tool/runs/game_record.h"
#include "tool/runs/install_record.h"
#include "tool/runs/originals_store.h"
#include "tool/runs/run_report.h"
#include "tool_test_support.h"

namespace veltrin::tool::testing {

struct CrashItem {
    std::string archive;  // "gta3.img" or "player.img"
    std::string name;     // as the script names it
    Bytes original;       // empty: the install adds it
    Bytes mod;
};

inline const std::vector<CrashItem> kCrashItems = {
    {"gta3.img", "a.dff", Pattern(3000, 1), Pattern(4500, 11)},
    {"gta3.img", "B.TXD", Pattern(100, 2), Pattern(10, 12)},
    {"gta3.img", "new.dff", {}, Pattern(700, 13)},
    {"player.img", "c.dff", Pattern(2048, 4), Pattern(2000, 14)},
};

// The tool's own record of what installs from the application folder did.
inline const std::string kRecord = kApp + "\\Backups\\Install.record";

inline std::string CrashScript() { return InstallScript({"a.dff", "B.TXD", "new.dff"}, {"c.dff"}); }

// The disk before the install: the original archives and the mod's files.
inline void SetUpBeforeInstall(archive::testing::MemoryFileSystem& fs) {
    MakeArchive(fs, kGta3, {{"a.dff", Pattern(3000, 1)}, {"b.txd", Pattern(100, 2)}, {"other.dff", Pattern(5000, 3)}});
    MakeArchive(fs, kPlayer, {{"c.dff", Pattern(2048, 4)}});
    for (const CrashItem& item : kCrashItems) fs.SetFile(Payload(item.archive, item.name), item.mod);
}

// The next version of the mod, put into the same folder: a.dff grows again
// (it moves again), B.TXD shrinks, new.dff and c.dff keep their sectors
// (player.img's directory and size stay as they are).
inline const std::vector<CrashItem> kSecondMod = {
    {"gta3.img", "a.dff", Pattern(3000, 1), Pattern(6500, 21)},
    {"gta3.img", "B.TXD", Pattern(100, 2), Pattern(5, 22)},
    {"gta3.img", "new.dff", {}, Pattern(900, 23)},
    {"player.img", "c.dff", Pattern(2048, 4), Pattern(1500, 24)},
};
inline void PutSecondModInPlace(archive::testing::MemoryFileSystem& fs) {
    for (const CrashItem& item : kSecondMod) fs.SetFile(Payload(item.archive, item.name), item.mod);
}

// What the stored entry of the item holds: the mod's data, the original, or
// (for an addition) nothing. Fails the test on anything else.
enum class Holds { Mod, Original, Nothing };
inline Holds Check(archive::testing::MemoryFileSystem& fs, const CrashItem& item, const std::string& what) {
    const Content content = ReadContent(fs, item.archive == "gta3.img" ? kGta3 : kPlayer);
    for (const auto& [name, bytes] : content) {
        if (archive::FoldedName(name) != archive::FoldedName(item.name)) continue;
        if (bytes == Stored(item.mod)) return Holds::Mod;
        EXPECT_EQ(bytes, Stored(item.original)) << what << ": " << item.name << " holds neither";
        return Holds::Original;
    }
    EXPECT_TRUE(item.original.empty()) << what << ": " << item.name << " is gone";
    return Holds::Nothing;
}

// The files of the disk that hold what an install or an undo keeps or
// changes: the archives and everything under the application folder's
// Backups, but no scratch file (".partial"), which the tool never takes for
// anything.
using DiskFiles = std::map<std::string, Bytes>;
inline DiskFiles KeptFiles(archive::testing::MemoryFileSystem& fs) {
    DiskFiles files;
    for (const std::string& path : fs.Paths()) {
        const bool archive = path == kGta3 || path == kPlayer;
        // The game's record of installs and the originals beside the archives.
        const bool besideGame = path.rfind(kGta3 + ".", 0) == 0 || path.rfind(kPlayer + ".", 0) == 0;
        const bool kept = (path.rfind(kApp + "\\Backups\\", 0) == 0 || besideGame) &&
                          path.find(".partial") == std::string::npos && path.find(".journal") == std::string::npos &&
                          path.find(".rewrite") == std::string::npos;
        if (archive || kept) files[path] = fs.Contents(path);
    }
    return files;
}

// The files that differ between two takes, each as "changed <path>", "new
// <path>" or "gone <path>": empty when the disk is as it was.
inline std::vector<std::string> Changes(const DiskFiles& before, const DiskFiles& after) {
    std::vector<std::string> changes;
    for (const auto& [path, bytes] : after) {
        const auto was = before.find(path);
        if (was == before.end())
            changes.push_back("new " + path);
        else if (was->second != bytes)
            changes.push_back("changed " + path);
    }
    for (const auto& [path, bytes] : before)
        if (after.count(path) == 0) changes.push_back("gone " + path);
    return changes;
}

// What the lines a run printed say became of an archive: a "saving <path>"
// line followed by "saved" says it was changed; a closing "<path>: ..." line
// says it in the run's last words ("changes saved", "undone"; "not changed",
// "left as it was", "nothing to change", "nothing to undo"). The last word
// counts.
enum class Said { Nothing, Changed, Unchanged };
inline Said WhatWasSaid(const std::vector<std::string>& lines, const std::string& path) {
    const auto startsWith = [](const std::string& text, const std::string& start) { return text.rfind(start, 0) == 0; };
    Said said = Said::Nothing;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if ((line == "saving " + path || line == "saving " + path + " (end of the script)") && i + 1 < lines.size() &&
            startsWith(lines[i + 1], "saved"))
            said = Said::Changed;
        if (!startsWith(line, path + ": ")) continue;
        const std::string what = line.substr(path.size() + 2);
        for (const char* changed : {"changes saved", "undone"})
            if (startsWith(what, changed)) said = Said::Changed;
        for (const char* unchanged : {"not changed", "left as it was", "nothing to change", "nothing to undo"})
            if (startsWith(what, unchanged)) said = Said::Unchanged;
    }
    return said;
}

// The game's record of installs beside each archive, once a save an earlier
// run left waiting is settled as the next run settles it, describes the
// archive as it is: in the state the tool's last change left, every entry
// holding what its top layer put in, and every original it refers to kept
// whole in the store beside it.
inline void ExpectGameRecordDescribesTheArchives(archive::testing::MemoryFileSystem& fs, const std::string& what) {
    for (const std::string& path : {kGta3, kPlayer}) {
        RecordingReport settle;
        try {
            SettleGamePending(fs, path, settle);
        } catch (const std::exception& error) {
            ADD_FAILURE() << what << ": the save waiting beside " << path << " cannot be settled: " << error.what();
            continue;
        }
        std::optional<GameRecord> game;
        try {
            game = ReadGameRecord(fs, GameRecordPathFor(path));
        } catch (const std::exception& error) {
            ADD_FAILURE() << what << ": the game's record beside " << path << " cannot be read: " << error.what();
            continue;
        }
        if (!game) continue;
        const archive::Archive archive = archive::Archive::Open(path, fs);
        EXPECT_TRUE(game->left && archive.CurrentState() == *game->left)
            << what << ": the game's record does not know " << path << " as it is";
        OriginalsStore store(fs, path);
        std::set<std::string> seen;
        for (size_t i = game->installs.size(); i-- > 0;)
            for (const InstallLayer& layer : game->installs[i].entries) {
                if (layer.before) {
                    EXPECT_TRUE(store.Has(*layer.before)) << what << ": the original of " << layer.name << " is gone";
                }
                if (!seen.insert(archive::FoldedName(layer.name)).second) continue;  // not the top layer
                const archive::Entry* there = archive.Find(layer.name);
                EXPECT_TRUE(there && EntryHolds(archive, *there, layer.put))
                    << what << ": " << layer.name << " in " << path
                    << " does not hold what the game's record says its last install put in";
            }
    }
}

// The install record as the next run reads it describes every archive it
// names as it is: in the state the record says the last install left, every
// entry holding what the record says was put in (an addition that never went
// in: absent, with nothing put in). Returns what reading it said.
inline std::string ExpectRecordDescribesTheArchives(archive::testing::MemoryFileSystem& fs, const std::string& what) {
    RecordingReport read;
    const RecordRead record = ReadRecordOrRefuse(fs, kRecord, read);
    EXPECT_FALSE(record.refused) << what << "\n" << read.All();
    if (!record.record) return read.All();
    for (const RecordedArchive& recorded : record.record->archives) {
        const archive::Archive archive = archive::Archive::Open(recorded.path, fs);
        EXPECT_TRUE(recorded.left && archive.CurrentState() == *recorded.left)
            << what << ": the record does not know " << recorded.path << " as it is";
        for (const RecordedEntry& entry : recorded.entries) {
            const archive::Entry* there = archive.Find(entry.name);
            if (entry.added && entry.put.size == 0 && !there) continue;
            EXPECT_TRUE(there && EntryHolds(archive, *there, entry.put))
                << what << ": " << entry.name << " in " << recorded.path
                << " does not hold what the record says was put in";
        }
    }
    ExpectGameRecordDescribesTheArchives(fs, what);
    return read.All();
}

// A report that keeps only what reached the screen: after a kill or a power
// cut the process is gone, so whatever the code goes on to print in the test
// was never shown.
class ShownReport final : public Report, public ReportLines {
public:
    ShownReport(const archive::testing::FaultFileSystem& faulty, const archive::testing::Crash& crash)
        : faulty_(faulty),
          goesOn_(crash.fault == archive::testing::Fault::Error ||
                  crash.fault == archive::testing::Fault::ErrorAfterDone) {}
    void Line(std::string_view text) override {
        if (goesOn_ || !faulty_.Fired()) lines.emplace_back(text);
    }
    void Progress(std::string_view, uint64_t, uint64_t) override {}

private:
    const archive::testing::FaultFileSystem& faulty_;
    bool goesOn_;
};

// What a run showed, held against the disk after the next open: "nothing
// was changed" means no kept file changed; an archive said to be as it was
// is as it was; one said to be changed holds what the run meant it to
// (changedHolds: the mod's data after an install; after an undo, anything
// but the mod's).
template <typename Report>
void ExpectWhatWasShownIsTrue(archive::testing::MemoryFileSystem& fs, const DiskFiles& before, const Report& report,
                              bool changedHoldsMod, const std::string& what) {
    const DiskFiles after = KeptFiles(fs);
    if (report.Has("nothing was changed")) {
        EXPECT_EQ(Changes(before, after), std::vector<std::string>{}) << what << "\n" << report.All();
    }
    for (const std::string& path : {kGta3, kPlayer}) {
        const Said said = WhatWasSaid(report.lines, path);
        if (said == Said::Unchanged) {
            EXPECT_TRUE(after.at(path) == before.at(path)) << what << ": " << path;
        }
        if (said != Said::Changed) continue;
        for (const CrashItem& item : kCrashItems) {
            if ((item.archive == "gta3.img") != (path == kGta3)) continue;
            EXPECT_EQ(Check(fs, item, what) == Holds::Mod, changedHoldsMod)
                << what << ": " << path << (changedHoldsMod ? " was said to be saved\n" : " was said to be undone\n")
                << report.All();
        }
    }
}

}  // namespace veltrin::tool::testing
