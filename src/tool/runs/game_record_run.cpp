#include "tool/runs/game_record_run.h"

#include <algorithm>

#include "archive/names.h"
#include "text/counted.h"
#include "text/path_text.h"
#include "tool/runs/entry_match.h"
#include "tool/runs/game_pending.h"

namespace veltrin::tool {

std::string ApplicationFolderOf(const std::string& scriptPath) { return std::string(text::FolderOf(scriptPath)); }

archive::Digest ModDigestOf(const RecordedArchive& recorded) {
    std::vector<ModFileDigest> files;
    for (const RecordedEntry& entry : recorded.entries) files.push_back({entry.name, entry.put.digest});
    return ModDigest(std::move(files));
}

GameRecord LoadGameRecord(archive::FileSystem& fs, const archive::Archive& archive, Report& report, bool& changed) {
    SettleGamePending(fs, archive, report, changed);
    return ReadGameRecord(fs, GameRecordPathFor(archive.Path()), &archive.CurrentDirectory()).value_or(GameRecord{});
}

bool TakeInFolderRecord(GameRecord& game, const RecordedArchive& recorded, const std::string& folder,
                        const std::string& computer, const archive::Archive& archive, archive::FileSystem& fs,
                        OriginalsStore& store, Report& report, std::vector<std::string>* lost) {
    if (recorded.entries.empty() || FindInstall(game, folder, ModDigestOf(recorded))) return false;
    GameInstall install{{folder}, ModDigestOf(recorded), computer, 0, std::nullopt, {}};
    // Each name's lowest layer among the installs the game's record knows.
    archive::FoldedMap<const InstallLayer*> lowest;
    for (const GameInstall& other : game.installs)
        for (const InstallLayer& layer : other.entries) lowest.emplace(layer.name, &layer);
    std::vector<std::string> unkept;  // entries holding the install's file whose original is kept nowhere
    for (const RecordedEntry& entry : recorded.entries) {
        const archive::Entry* there = archive.Find(entry.name);
        // Below the installs the game's record knows: where one touches the
        // entry, the lowest one's `before` must be what this install put in.
        if (const auto found = lowest.find(entry.name); found != lowest.end()) {
            const InstallLayer* layer = found->second;
            if (!layer->before || !store.HoldsPut(*layer->before, entry.put)) continue;
        } else if (!there || !EntryHolds(archive, *there, entry.put)) {
            continue;
        }
        InstallLayer layer{there ? there->name : entry.name, std::nullopt, {}, entry.put};
        if (!entry.added) {
            if (!BackupIsWhole(fs, entry)) {
                // Named where the record tells the install changed it (a run
                // stopped before its save backed up what it left in place).
                if (entry.backup.empty() || (entry.backupHolds && *entry.backupHolds != entry.put))
                    unkept.push_back(entry.name);
                continue;
            }
            // Backed up by a run stopped before its save, never changed:
            // the entry holds its original, and there is nothing to keep.
            if (OnlyBackedUp(fs, entry)) continue;
            layer.before = store.KeepFile(entry.backup, true);
            layer.beforeName = entry.name;  // the original's spelling
        }
        install.entries.push_back(std::move(layer));
    }
    if (!unkept.empty())
        report.Line("no undo from " + folder + " can give back " + text::ListedUpTo(unkept, kNamesInALine) + " of " +
                    archive.Path() +
                    ": each holds this install's file, and the folder keeps no original of it (no backup of it was "
                    "made, or its backup is gone or does not hold what the record says); each stays as it is");
    if (lost) *lost = std::move(unkept);
    if (install.entries.empty()) return false;
    const bool first = game.installs.empty();
    game.installs.insert(game.installs.begin(), std::move(install));
    if (first && recorded.left && archive.CurrentState() == *recorded.left) {
        game.layout = recorded.layout ? KeptLayout(*recorded.layout) : KeptLayout();
        game.LeaveAt(*recorded.left, archive.CurrentDirectory());
    } else if (!first) {
        // The layout the record kept came after this install.
        game.layout.reset();
    }
    report.Line("the game's record of installs beside " + archive.Path() + " takes in the install from " + folder +
                " that its own record knows (" + std::to_string(game.installs.front().entries.size()) + " entries)");
    return true;
}

std::vector<std::string> HoldAndReport(GameRecord& game, const archive::Archive& archive, Report& report) {
    HeldAgainst held = HoldAgainst(game, archive);
    if (held.changed.empty()) return {};
    const std::string names = text::ListedUpTo(held.changed, kNamesInALine);
    report.Line("changed since the installs put them in (another program, or the game repaired or updated): " + names +
                " of " + archive.Path() + "; they stay as they are and no undo puts an older file over them");
    return std::move(held.changed);
}

}  // namespace veltrin::tool
