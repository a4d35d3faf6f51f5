#include "tool/runs/restore.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "archive/archive.h"
#include "archive/archive_error.h"
#include "archive/commit.h"
#include "archive/layout_restore.h"
#include "archive/names.h"
#include "archive/recovery.h"
#include "text/counted.h"
#include "text/path_text.h"
#include "tool/common/error_text.h"
#include "tool/common/publish_group.h"
#include "tool/common/read_only_file_system.h"
#include "tool/runs/backup_marker.h"
#include "tool/runs/entry_match.h"
#include "tool/runs/game_pending.h"
#include "tool/runs/game_record_run.h"
#include "tool/runs/install_record.h"
#include "tool/runs/leftovers.h"
#include "tool/runs/moved_game.h"
#include "tool/runs/preflight.h"
#include "tool/runs/run_report.h"
#include "tool/runs/script_reader.h"
#include "tool/runs/tried_folder.h"
#include "tool/common/platform.h"

namespace veltrin::tool {
namespace {

// One entry the install changed.
struct Item {
    enum class Kind {
        ByFiles,   // an install without a record: its backup or marker, whichever exists, says which
        Replaced,  // the record's: its original is in the backup
        Added,     // the record's: the install added it
    };
    Kind kind = Kind::ByFiles;
    std::string name;    // ByFiles: as the export line names it; else the spelling to give back
    std::string backup;  // the backup file; the marker is beside it
    // How to tell it still holds what the install put in: the mod's file the
    // script imported (ByFiles; empty when none did), or the record's sum.
    std::string payload;
    std::optional<PutData> put;
    std::optional<uint32_t> at;  // where the original lay
};

struct ArchiveUndo {
    std::string path;
    std::vector<Item> items;
    std::optional<RecordedArchive> recorded;  // none: an install made without a record
};

// The archives in script order, each with the entries its export lines name
// (once each) and the files its import lines put into them.
std::vector<ArchiveUndo> PlanFromScript(const std::vector<ScriptCommand>& commands) {
    std::vector<ArchiveUndo> plan;
    std::map<std::string, size_t> named;  // folded -> its item in the archive's plan
    for (const auto& command : commands) {
        switch (command.kind) {
        case CommandKind::Open:
            plan.push_back({command.path, {}, std::nullopt});
            named.clear();
            break;
        case CommandKind::Export:
            if (named.emplace(archive::FoldedName(command.name), plan.back().items.size()).second)
                plan.back().items.push_back({Item::Kind::ByFiles, command.name, command.path, {}, {}, {}});
            break;
        case CommandKind::Import:
            if (const auto item = named.find(archive::FoldedName(command.name)); item != named.end())
                plan.back().items[item->second].payload = command.path;
            break;
        case CommandKind::Close:
            break;
        }
    }
    return plan;
}

// The record's archives and entries, whatever Install.dat says now.
std::vector<ArchiveUndo> PlanFromRecord(const InstallRecord& record) {
    std::vector<ArchiveUndo> plan;
    for (const RecordedArchive& archive : record.archives) {
        ArchiveUndo undo{archive.path, {}, archive};
        for (const RecordedEntry& entry : archive.entries) {
            Item item{entry.added ? Item::Kind::Added : Item::Kind::Replaced,
                      entry.name,
                      entry.backup,
                      {},
                      entry.put,
                      std::nullopt};
            if (!entry.added) item.at = entry.at;
            undo.items.push_back(std::move(item));
        }
        plan.push_back(std::move(undo));
    }
    return plan;
}

// "1 used backup and 2 markers": what the removed files were.
std::string RemovedText(const std::vector<std::string>& removed) {
    const auto markers = static_cast<uint64_t>(std::count_if(
        removed.begin(), removed.end(), [](const std::string& path) { return path.ends_with(kAddedMarkerSuffix); }));
    const uint64_t backups = removed.size() - markers;
    const std::string backupText = text::Counted(backups, "used backup", "used backups");
    const std::string markerText = text::Counted(markers, "marker", "markers");
    if (markers == 0) return backupText;
    if (backups == 0) return markerText;
    return backupText + " and " + markerText;
}

struct UndoTally {
    int restored = 0;
    int removed = 0;
    int alreadyUndone = 0;
    int untouched = 0;

    // saved: as Text of the install's tally.
    [[nodiscard]] std::string Text(bool saved = true) const {
        return TallyText({{restored, saved ? "restored" : "not restored"},
                          {removed, saved ? "removed" : "not removed"},
                          {alreadyUndone, "already undone"},
                          {untouched, "left as it is", "left as they are"}});
    }
};

// Whether an entry that an import line of the script puts in holds its file:
// the mod of that folder is in the game. An archive that cannot be read as
// it is, or waits for an earlier save to be settled, counts as holding it:
// the undo then says what it finds.
bool ModOfScriptIsInTheGame(const std::vector<ScriptCommand>& commands, archive::FileSystem& system) {
    ReadOnlyFileSystem fs(system);
    std::optional<archive::Archive> open;
    try {
        for (const ScriptCommand& command : commands) {
            if (command.kind == CommandKind::Open) {
                open.reset();
                open.emplace(archive::Archive::Open(command.path, fs));
            } else if (command.kind == CommandKind::Import && open) {
                const archive::Entry* entry = open->Find(command.name);
                if (entry && EntryMatchesFile(*open, *entry, fs, command.path).match == Match::Holds) return true;
            }
        }
    } catch (const std::exception&) {
        return true;
    }
    return false;
}

// Whether the undo of the archive has anything to do: the record names
// entries of it, or a backup or marker its script names exists.
bool AnythingToUndoIn(const ArchiveUndo& undo, archive::FileSystem& fs) {
    if (undo.recorded) return !undo.items.empty();
    return std::any_of(undo.items.begin(), undo.items.end(), [&](const Item& item) {
        return !item.backup.empty() && (fs.Exists(item.backup) || fs.Exists(AddedMarkerPath(item.backup)));
    });
}

// The archives the undo opens to change: each checked for itself before the
// first save (an archive with nothing to undo is not opened).
std::optional<ExitStatus> CheckArchivesToUndo(const std::vector<ArchiveUndo>& plan, archive::FileSystem& fs,
                                              Report& report) {
    std::vector<ArchiveToSave> archives;
    for (const ArchiveUndo& undo : plan)
        if (AnythingToUndoIn(undo, fs)) archives.push_back({undo.path, 0});
    return CheckBeforeFirstSave(archives, fs, report, "undo");
}

class UndoRun {
public:
    // changedBefore: before it, an earlier run's scratch files were removed or
    // its save in progress settled.
    UndoRun(const std::string& scriptPath, archive::FileSystem& fs, Report& report, bool force, bool changedBefore)
        : scriptPath_(scriptPath),
          recordPath_(RecordPathFor(scriptPath)),
          fs_(fs),
          report_(report),
          force_(force),
          changed_(changedBefore) {}

    // The undo of an install made without a record, from its script.
    ExitStatus Run(const std::vector<ArchiveUndo>& plan, const std::vector<ScriptCommand>& commands) {
        modInTheGame_ = ModOfScriptIsInTheGame(commands, fs_);
        const bool anything = AnythingToUndo(plan);
        if (!anything && !modInTheGame_) {
            // Undone already, or never installed: no failure.
            report_.Line(
                "nothing to undo: the mod of this folder is not in the game (no entry its script puts in holds its "
                "file): already undone, or never installed");
            report_.Line(changed_ ? "nothing else was changed" : "nothing was changed");
            report_.Line("done");
            return ExitStatus::Ok;
        }
        if (!anything) {
            report_.Line(
                "nothing to undo: none of the backups or markers this script names exist (an earlier undo "
                "used them up, or no install from this folder got to its backups)");
            report_.Line(std::string(kFreshCopyAdvice));
            report_.Line(changed_ ? "nothing else was changed" : "nothing was changed");
            report_.Line("failed");
            return ExitStatus::NotFound;
        }
        return RunEach(plan);
    }

    // The undo of what the record says, which it then keeps up to date.
    ExitStatus Run(InstallRecord record) {
        record_ = std::move(record);
        report_.Line("following the install record " + recordPath_);
        return RunEach(PlanFromRecord(record_));
    }

private:
    ExitStatus RunEach(const std::vector<ArchiveUndo>& plan) {
        try {
            for (const auto& undo : plan) UndoArchive(undo);
        } catch (const archive::ArchiveError& error) {
            return Stop(DescribeError(error), StatusOf(error.kind()));
        } catch (const std::exception& error) {
            return Stop(error.what(), ExitStatus::Io);
        }
        if (!leftAlone_.empty() && !modInTheGame_ && !force_) {
            // An install from this folder stopped before its save: its
            // backups hold what the entries held then (another mod's file,
            // it may be), and the mod never got in. Forced, they would bring
            // that back.
            report_.Line("the mod of this folder is not in the game (no entry its script puts in holds its file): " +
                         text::Counted(leftAlone_.size(), "entry was", "entries were") +
                         " left as the game has them, and their backups and markers stay; they hold what the entries "
                         "held when an install from this folder stopped before its save, and are not put back");
        } else if (!leftAlone_.empty()) {
            const bool one = leftAlone_.size() == 1;
            report_.Line(std::to_string(leftAlone_.size()) +
                         (one ? " entry was left as it is because it changed after the install or the mod's file is "
                                "gone (named above); its backup or marker stays"
                              : " entries were left as they are because they changed after the install or the mod's "
                                "files are gone (named above); their backups and markers stay"));
            report_.Line("to undo them anyway: Install.plug -restore --force \"" + scriptPath_ + "\"");
        }
        if (unremoved_ > 0) {
            report_.Line(
                "error: " +
                text::Counted(static_cast<uint64_t>(unremoved_), "used backup or marker", "used backups or markers") +
                " could not be removed (named above); the archives hold what the lines above say, and "
                "undoing again removes them");
            report_.Line("failed");
            return ExitStatus::Io;
        }
        report_.Line("done");
        return ExitStatus::Ok;
    }

    bool HasBackup(const Item& item) { return !item.backup.empty() && fs_.Exists(item.backup); }
    bool HasMarker(const Item& item) { return !item.backup.empty() && fs_.Exists(AddedMarkerPath(item.backup)); }

    bool AnythingToUndo(const std::vector<ArchiveUndo>& plan) {
        for (const auto& undo : plan)
            if (AnythingToUndo(undo)) return true;
        return false;
    }
    bool AnythingToUndo(const ArchiveUndo& undo) { return AnythingToUndoIn(undo, fs_); }

    void UndoArchive(const ArchiveUndo& undo) {
        if (undo.recorded) return UndoThroughGameRecord(undo);
        outcomes_.push_back({undo.path, "not changed"});
        if (!AnythingToUndo(undo)) {
            report_.Line("nothing to undo in " + undo.path + ": no backups or markers of its entries");
            outcomes_.back().what = "nothing to undo";
            return;
        }
        report_.Line("open " + undo.path);
        archive_.emplace(archive::Archive::Open(undo.path, fs_));
        ReportRecovery(report_, archive_->RecoveryOnOpen());
        tally_ = {};
        usedUp_.clear();
        resolved_.clear();
        bool saved = false;
        const std::string notWhole = undo.recorded ? WhyNotGivenBackWhole(*undo.recorded) : std::string();
        if (undo.recorded && notWhole.empty()) {
            saved = GiveBackWhole(*undo.recorded);
        } else {
            if (undo.recorded)
                report_.Line("undoing " + undo.path +
                             " entry by entry (originals back, additions removed), not byte for byte: " + notWhole);
            for (const auto& item : undo.items) Decide(item);
            saved = archive_->HasChanges();
            if (saved)
                Save([&] {
                    return archive_->Commit(Bar(),
                                            archive::Archive::Fit::Exact);
                });
        }
        if (!saved) {
            report_.Line("nothing to change in " + undo.path);
            outcomes_.back().what = "nothing to change";
        }
        archive_.reset();
        const std::vector<std::string> removed = RemoveUsedUp();
        if (undo.recorded) {
            MakeRemovalsDurable(removed);
            KeepRecord(*undo.recorded);
        }
        report_.Line("summary of " + undo.path + ": " + tally_.Text());
    }

    // The undo of an install the folder's record names, through the game's
    // record of installs beside the archive (game_layers.h): the install's
    // layers are spliced out; an entry of which it is the top gets back what
    // it held before, one a later install covers stays as it is (that
    // install's undo then gives back what was there before this one). When
    // the last install goes and nothing else changed the archive, the
    // layout from before the first install comes back byte for byte. This
    // folder's own backups and markers of the archive are used up either way.
    void UndoThroughGameRecord(const ArchiveUndo& undo) {
        const std::string& path = undo.path;
        const RecordedArchive& recorded = *undo.recorded;
        outcomes_.push_back({path, "not changed"});
        report_.Line("open " + path);
        archive_.emplace(archive::Archive::Take(path, fs_));
        ReportRecovery(report_, archive_->RecoveryOnOpen());
        GameRecord game = LoadGameRecord(fs_, *archive_, report_, changed_);
        gameAsRead_ = game;
        const GameRecord& asRead = gameAsRead_;
        tally_ = {};
        usedUp_.clear();
        resolved_.clear();
        OriginalsStore store(fs_, path);
        const std::string folder = ApplicationFolderOf(scriptPath_);
        // An install taken in counts as read: the originals it brings go
        // with it once the record lets go of it.
        if (TakeInFolderRecord(game, recorded, folder, record_.computer, *archive_, fs_, store, report_))
            gameAsRead_ = game;
        store.Publish();
        // The entries the game's record knows of this install: their
        // originals are kept beside the archive.
        std::set<std::string> known;
        if (const std::optional<size_t> index = FindInstall(game, folder, ModDigestOf(recorded)))
            for (const InstallLayer& layer : game.installs[*index].entries) known.insert(archive::FoldedName(layer.name));
        const std::vector<InstallLayer> tops = TopLayersOfTheInstall(game, folder, ModDigestOf(recorded));
        const std::vector<InstallLayer> changed = ChangedSinceTheInstall(tops, HoldAndReport(game, *archive_, report_));
        std::set<std::string> keptBackups;  // folded names whose original's backup stays
        for (const InstallLayer& layer : changed)
            if (GiveBackChanged(layer, store, recorded)) keptBackups.insert(archive::FoldedName(layer.name));
        for (const RecordedEntry& entry : recorded.entries) {
            if (!known.count(archive::FoldedName(entry.name)) && KeepsAnOriginalOnlyHere(entry)) continue;
            resolved_.insert(archive::FoldedName(entry.name));
            if (entry.backup.empty() || keptBackups.count(archive::FoldedName(entry.name))) continue;
            for (const std::string& file : {entry.backup, AddedMarkerPath(entry.backup)})
                if (fs_.Exists(file)) usedUp_.push_back(file);
        }
        bool saved = false;
        if (const std::optional<size_t> index = FindInstall(game, folder, ModDigestOf(recorded))) {
            saved = UndoInstall(game, *index, store);
        } else {
            report_.Line("nothing of the install from this folder is in " + path +
                         " any more: what it put in was given back or changed since (an undo from another copy of "
                         "the mod, a repair or update of the game, or another program)");
            outcomes_.back().what = "nothing to undo";
            saved = CommitStaged(game, {});  // entries forced back
        }
        if (!saved) {
            if (outcomes_.back().what == "not changed") {
                report_.Line("nothing to change in " + path);
                outcomes_.back().what = "nothing to change";
            }
            if (EncodeGameRecord(game) != EncodeGameRecord(asRead) || game.installs.empty()) {
                changed_ = true;
                WriteGamePending(fs_, path, {archive_->CurrentState(), {}, game, asRead});
                ConfirmGameSave(fs_, path, asRead, game);
            }
        } else {
            ConfirmGameSave(fs_, path, asRead, game);
        }
        archive_.reset();
        MakeRemovalsDurable(RemoveUsedUp());
        KeepRecord(recorded);
        report_.Line("summary of " + path + ": " + tally_.Text());
    }

    // Whether the folder's backup of an entry the game's record does not know
    // of this install may be the only copy of what the entry held before it:
    // the entry holds something else now (another install's file, taken in
    // above this one, or a record moved aside). Then the backup and its line
    // in the folder's record stay, for an undo from here once the entry
    // holds this install's file again.
    bool KeepsAnOriginalOnlyHere(const RecordedEntry& entry) {
        if (entry.added || entry.backup.empty() || !fs_.Exists(entry.backup)) return false;
        if (DataOfFile(fs_, entry.backup) == entry.put) return false;  // only backed up, never put in
        const archive::Entry* now = archive_->Find(entry.name);
        if (now && EntryMatchesFile(*archive_, *now, fs_, entry.backup).match == Match::Holds) return false;
        report_.Line("left " + entry.name + " as it is: it does not hold what this install put in (a later "
                     "install's file, it may be); its backup stays in " + entry.backup +
                     ", and Undo.cmd here gives it back once that install is undone");
        return true;
    }

    // The layers of the install that no later install covers.
    static std::vector<InstallLayer> TopLayersOfTheInstall(const GameRecord& game, const std::string& folder,
                                                           const archive::Digest& mod) {
        std::vector<InstallLayer> tops;
        const std::optional<size_t> index = FindInstall(game, folder, mod);
        if (!index) return tops;
        for (const InstallLayer& layer : game.installs[*index].entries) {
            bool top = true;
            for (size_t i = *index + 1; i < game.installs.size() && top; ++i)
                top = game.installs[i].Find(layer.name) == nullptr;
            if (top) tops.push_back(layer);
        }
        return tops;
    }

    // The entries of which the install is the top layer and which no longer
    // hold what it put in (letGo: the names holding the record against the
    // archive let go of): another program changed them since (or the game
    // was repaired or updated). Their layers go; forced, they get back what
    // they held before the install, which is the game's own bytes or what
    // an install below it, still in the game, put in.
    static std::vector<InstallLayer> ChangedSinceTheInstall(const std::vector<InstallLayer>& tops,
                                                            const std::vector<std::string>& letGo) {
        std::set<std::string> gone;
        for (const std::string& name : letGo) gone.insert(archive::FoldedName(name));
        std::vector<InstallLayer> changed;
        for (const InstallLayer& layer : tops)
            if (gone.count(archive::FoldedName(layer.name))) changed.push_back(layer);
        return changed;
    }

    // Returns whether the entry was left as it is with the backup of its
    // original kept in the folder: letting go of an entry never deletes the
    // game's own bytes that the folder still holds.
    bool GiveBackChanged(const InstallLayer& layer, OriginalsStore& store, const RecordedArchive& recorded) {
        const bool there = archive_->Find(layer.name) != nullptr;
        const std::string why = there ? "it has changed since the install (another program, or the game repaired or "
                                        "updated)"
                                      : "it is no longer in the archive";
        if (!force_ || (!layer.before && !there) || (layer.before && !store.Has(*layer.before))) {
            // Named by the line on what changed since; no advice to force
            // it, which an undo of another mod's could make wrong.
            ++tally_.untouched;
            const RecordedEntry* entry = recorded.Find(layer.name);
            // Kept unless the entry holds that original again (a repaired game).
            const archive::Entry* now = archive_->Find(layer.name);
            const bool kept = entry && !entry->added && !entry->backup.empty() && fs_.Exists(entry->backup) &&
                              (!now || EntryMatchesFile(*archive_, *now, fs_, entry->backup).match != Match::Holds);
            report_.Line("left " + layer.name + " as it is: " + why + "; this install lets go of it" +
                         (kept ? "; the backup of its original stays in " + entry->backup : std::string()));
            return kept;
        }
        if (layer.before) {
            archive_->PutFile(layer.beforeName.empty() ? layer.name : layer.beforeName, store.PathOf(*layer.before));
            ++tally_.restored;
            report_.Line("restored " + layer.name + " (forced: " + why + ")");
        } else {
            archive_->Remove(layer.name);
            ++tally_.removed;
            report_.Line("removed " + layer.name + ", which the install added (forced: " + why + ")");
        }
        return false;
    }

    // Splices the install out of the record and stages what it gives back.
    // Returns whether it saved the archive (its record waits beside it until
    // the caller confirms it).
    bool UndoInstall(GameRecord& game, size_t index, OriginalsStore& store) {
        const std::string path = archive_->Path();
        const GameInstall install = game.installs[index];
        const bool last = index + 1 == game.installs.size();
        const TopLayers tops = SpliceOut(game, index);
        archive::FoldedMap<bool> isTop;
        for (const InstallLayer& layer : tops) isTop.emplace(layer.name, true);
        for (const InstallLayer& layer : install.entries) {
            if (isTop.count(layer.name)) continue;
            ++tally_.untouched;
            report_.Line("left " + layer.name +
                         " as it is: a later install put its own file there; its undo now gives back what was "
                         "there before this install");
        }
        std::vector<GamePut> puts;
        std::map<std::string, std::string> originals;
        for (const InstallLayer& top : tops) {
            if (top.before) {
                originals[archive::FoldedName(top.name)] = store.PathOf(*top.before);
                puts.push_back({top.name, PutData{top.before->size, top.before->digest}});
            } else {
                puts.push_back({top.name, std::nullopt});
            }
        }
        // Undone as the last install while nothing else changed the
        // archive: the layout from before it (or, once no install is left,
        // from before the first) comes back byte for byte.
        const bool asLeft = game.left && archive_->CurrentState() == *game.left;
        const std::optional<archive::Layout>& before =
            game.installs.empty() && game.layout ? game.layout : install.layoutBefore;
        const bool whole =
            last && asLeft && before && !archive_->HasChanges() && archive::WhyLayoutCannotBeGivenBack(*before).empty();
        // Else the installs above it were made over its data.
        if (!whole) {
            for (size_t i = index; i < game.installs.size(); ++i) game.installs[i].layoutBefore.reset();
            const std::string why =
                !last     ? "installs made after it are still in the game"
                : !asLeft ? "it changed since the last install (another program, or an install the record does not "
                            "know)"
                : !before ? "the layout it had before the install was not kept (another program had changed it, or "
                            "it was not sound)"
                          : "its layout before the install cannot be given back: " +
                                archive::WhyLayoutCannotBeGivenBack(*before);
            report_.Line("undoing " + path +
                         " entry by entry (originals back, additions removed), not byte for byte: " + why);
        }
        if (whole) {
            report_.Line(game.installs.empty() ? "giving " + path + " back as it was before the first install"
                                               : "giving " + path + " back as it was before this install");
            for (const InstallLayer& top : tops) CountGiveBack(top, store);
            const archive::Layout layout = *before;
            game.left = StateOfLayout(layout);
            changed_ = true;
            WriteGamePending(fs_, path, {archive_->CurrentState(), puts, game, gameAsRead_});
            SaveOrDropPending([&] {
                return archive_->RestoreLayout(
                    layout, originals, Bar());
            });
            return true;
        }
        for (const InstallLayer& top : tops) {
            CountGiveBack(top, store);
            if (top.before)
                archive_->PutFile(top.beforeName.empty() ? top.name : top.beforeName, store.PathOf(*top.before));
            else if (archive_->Find(top.name))
                archive_->Remove(top.name);
        }
        return CommitStaged(game, puts);
    }

    // Saves what is staged, the game's record waiting beside the archive
    // until the outcome is known. Returns whether anything was staged.
    bool CommitStaged(GameRecord& game, const std::vector<GamePut>& puts) {
        if (!archive_->HasChanges()) return false;
        const std::string path = archive_->Path();
        const archive::ArchiveState found = archive_->CurrentState();
        SaveOrDropPending([&] {
            return archive_->Commit(Bar(),
                                    archive::Archive::Fit::Exact,
                                    [&](const archive::ArchiveState& planned) {
                                        game.left = planned;
                                        changed_ = true;
                                        WriteGamePending(fs_, path, {found, puts, game, gameAsRead_});
                                    });
        });
        return true;
    }

    // The state the layout leaves: its header and directory, and its size.
    static archive::ArchiveState StateOfLayout(const archive::Layout& layout) {
        uint64_t count = 0;
        for (size_t i = 0; i < 4 && 4 + i < layout.front.size(); ++i) count |= uint64_t{layout.front[4 + i]} << (8 * i);
        const auto directory = static_cast<std::ptrdiff_t>(std::min<uint64_t>(layout.front.size(), 8 + count * 32));
        return archive::StateOf({layout.front.begin(), layout.front.begin() + directory}, layout.fileSize);
    }

    // Save, and a save that failed before its point of no return lets go of
    // the game's record waiting for it (else the next run settles it).
    template <typename Commit>
    void SaveOrDropPending(Commit commit) {
        const std::string path = archive_->Path();
        try {
            Save(commit);
        } catch (const archive::CommitInterrupted&) {
            throw;
        } catch (...) {
            try {
                DropGameSave(fs_, path, gameAsRead_, gameAsRead_);
            } catch (const std::exception&) {
                // Settled by the next run (SettleGamePending).
            }
            throw;
        }
    }

    void CountGiveBack(const InstallLayer& top, OriginalsStore& store) {
        if (top.before) {
            ++tally_.restored;
            report_.Line("restored " + top.name + " (what it held before the install, kept in " +
                         store.PathOf(*top.before) + ")");
        } else if (archive_->Find(top.name)) {
            ++tally_.removed;
            report_.Line("removed " + top.name + ", which the install added");
        } else {
            ++tally_.alreadyUndone;
        }
    }

    // Saves the staged change (commit). A save interrupted past its point of
    // no return is told as what opening the archive again finds.
    template <typename Commit>
    void Save(Commit commit) {
        const std::string path = archive_->Path();
        report_.Line("saving " + path);
        outcomes_.back().what = "not changed: saving it failed";
        archive::CommitStats stats;
        try {
            stats = commit();
        } catch (const archive::CommitInterrupted& interrupted) {
            archive_.reset();
            changed_ = true;
            const archive::CommitOutcome outcome = archive::OutcomeOf(interrupted, path, fs_);
            outcomes_.back().what = InterruptedOutcome(outcome, DescribeError(interrupted), "undone");
            throw;
        }
        changed_ = true;
        report_.Line(stats.inPlace ? "saved (changed in place)" : "saved");
        outcomes_.back().what = "undone";
    }

    // The layout from before the first install comes back byte for byte
    // where it was kept and can be given back soundly, nothing but the
    // recorded installs changed the archive since the first of them (its
    // state is the one the last left), every entry still holds what they put
    // in (an added one may never have gone in), and every original is at
    // hand. Returns why not, or empty.
    std::string WhyNotGivenBackWhole(const RecordedArchive& recorded) {
        if (!recorded.layout)
            return recorded.layoutNotKept.empty()
                       ? "the record does not keep the layout it had before the first install"
                       : "its layout before the first install could not be kept: " + recorded.layoutNotKept;
        if (const std::string why = archive::WhyLayoutCannotBeGivenBack(*recorded.layout); !why.empty())
            return "its layout before the first install cannot be given back: " + why;
        if (!recorded.left || archive_->CurrentState() != *recorded.left)
            return "it changed since the last install (another program, or an install this record does not know)";
        for (const RecordedEntry& entry : recorded.entries) {
            const archive::Entry* there = archive_->Find(entry.name);
            if (entry.added && !there) continue;
            if (!there || !EntryHolds(*archive_, *there, entry.put))
                return entry.name + " has changed since the install";
            if (entry.added) continue;
            if (entry.backup.empty() || !fs_.Exists(entry.backup)) return "the backup of " + entry.name + " is gone";
            if (fs_.Open(entry.backup, archive::OpenMode::Read)->Size() !=
                uint64_t{entry.sectors} * archive::kSectorSize)
                return "the backup of " + entry.name + " is not the size of the original";
        }
        return {};
    }

    // Returns whether it saved a change (none is needed when the archive is
    // as it was already).
    bool GiveBackWhole(const RecordedArchive& recorded) {
        const bool already = IsAsItWas(recorded);
        report_.Line(already ? recorded.path + " is as it was before the install (no install's save changed it)"
                             : "giving " + recorded.path + " back as it was before the install");
        std::map<std::string, std::string> originals;
        for (const RecordedEntry& entry : recorded.entries) {
            resolved_.insert(archive::FoldedName(entry.name));
            if (!entry.backup.empty() && fs_.Exists(AddedMarkerPath(entry.backup)))
                usedUp_.push_back(AddedMarkerPath(entry.backup));
            if (!entry.added) {
                originals[archive::FoldedName(entry.name)] = entry.backup;
                usedUp_.push_back(entry.backup);
            }
            if (already) {
                ++tally_.alreadyUndone;
            } else if (!entry.added) {
                ++tally_.restored;
                report_.Line("restored " + entry.name + " from " + entry.backup);
            } else if (archive_->Find(entry.name)) {
                ++tally_.removed;
                report_.Line("removed " + entry.name + ", which the install added");
            } else {
                ++tally_.alreadyUndone;
            }
        }
        if (already) return false;
        Save([&] {
            return archive_->RestoreLayout(*recorded.layout, originals,
                                           Bar());
        });
        return true;
    }

    // Whether the archive is byte for byte the layout from before the first
    // install already: then no save is needed.
    bool IsAsItWas(const RecordedArchive& recorded) {
        const archive::Layout now = archive_->CurrentLayout();
        if (now.fileSize != recorded.layout->fileSize || now.front != recorded.layout->front ||
            now.tail != recorded.layout->tail)
            return false;
        for (const RecordedEntry& entry : recorded.entries) {
            const archive::Entry* there = archive_->Find(entry.name);
            if (entry.added ? there != nullptr
                            : !there || EntryMatchesFile(*archive_, *there, fs_, entry.backup).match != Match::Holds)
                return false;
        }
        return true;
    }

    // Why the entry is not known to hold what the install put in, or empty
    // when it does.
    std::string WhyNotTheMods(const Item& item, const archive::Entry& entry) {
        if (item.put) {
            if (EntryHolds(*archive_, entry, *item.put)) return {};
            return "it has changed since the install (another mod or a game update)";
        }
        if (item.payload.empty()) return "the script imports no file of that name, so it cannot be told what it holds";
        const MatchResult mod = EntryMatchesFile(*archive_, entry, fs_, item.payload);
        switch (mod.match) {
        case Match::Holds:
            return {};
        case Match::Differs:
            return "it has changed since the install (another mod or a game update)";
        case Match::NoFile:
            break;
        }
        return "the mod's file " + mod.why + ", so it cannot be told whether the entry still holds it";
    }

    void Decide(const Item& item) {
        const bool backup = HasBackup(item);
        switch (item.kind) {
        case Item::Kind::ByFiles:
            if (backup)
                Restore(item);
            else if (HasMarker(item))
                RemoveAdded(item);
            else
                NoBackup(item);
            break;
        case Item::Kind::Replaced:
            if (backup)
                Restore(item);
            else
                NoBackup(item);
            break;
        case Item::Kind::Added:
            RemoveAdded(item);
            break;
        }
    }

    // A replaced entry whose original is not at hand. The record lets go of
    // one that no longer holds the install's bytes: an earlier undo that
    // stopped before it could say so put its original back.
    void NoBackup(const Item& item) {
        const archive::Entry* entry = archive_->Find(item.name);
        if (item.put && (!entry || !EntryHolds(*archive_, *entry, *item.put))) {
            ++tally_.alreadyUndone;
            resolved_.insert(archive::FoldedName(item.name));
            report_.Line(item.name +
                         " no longer holds what the install put in, and its backup is gone: nothing to "
                         "undo");
            return;
        }
        ++tally_.untouched;
        report_.Line("no backup of " + item.name + ": left as it is");
    }

    void Restore(const Item& item) {
        const archive::Entry* entry = archive_->Find(item.name);
        std::string why;
        if (!entry) {
            why = "it is no longer in the archive";
        } else {
            why = WhyNotTheMods(item, *entry);
            // An undo that saved this archive but stopped before it removed
            // the backups leaves the originals in place.
            if (!why.empty() && EntryMatchesFile(*archive_, *entry, fs_, item.backup).match == Match::Holds) {
                ++tally_.alreadyUndone;
                UsedUp(item, item.backup);
                // An undo stopped after its save, or a repair of the game:
                // nothing here tells which.
                report_.Line(item.name + " already holds its original again (put back since the install); its backup " +
                             item.backup + " is used up");
                return;
            }
        }
        if (!why.empty() && !force_) {
            LeaveAlone(item.name, why, "its backup stays in " + item.backup);
            return;
        }
        // Into the sectors it left, when they are free and of its size.
        archive_->PutFile(item.name, item.backup, archive::Placement{item.at});
        ++tally_.restored;
        UsedUp(item, item.backup);
        report_.Line("restored " + item.name + " from " + item.backup + (why.empty() ? "" : " (forced: " + why + ")"));
    }

    void RemoveAdded(const Item& item) {
        const std::string marker = item.backup.empty() ? std::string() : AddedMarkerPath(item.backup);
        const bool hasMarker = !marker.empty() && (item.kind == Item::Kind::ByFiles || fs_.Exists(marker));
        const archive::Entry* entry = archive_->Find(item.name);
        if (!entry) {
            ++tally_.alreadyUndone;
            UsedUp(item, hasMarker ? marker : std::string());
            report_.Line(item.name + " is not in the archive: nothing to remove" +
                         (hasMarker ? "; its marker " + marker + " is used up" : std::string()));
            return;
        }
        const std::string why = WhyNotTheMods(item, *entry);
        if (!why.empty() && !force_) {
            LeaveAlone(item.name, why,
                       hasMarker ? "it was added by the install; its marker stays in " + marker
                                 : "it was added by the install; the record keeps it");
            return;
        }
        archive_->Remove(item.name);
        ++tally_.removed;
        UsedUp(item, hasMarker ? marker : std::string());
        report_.Line("removed " + item.name + ", which the install added" +
                     (why.empty() ? "" : " (forced: " + why + ")"));
    }

    // The item is undone: its backup or marker (when it has one) goes once
    // the archive's change is durable, and the record lets go of it.
    void UsedUp(const Item& item, const std::string& file) {
        if (!file.empty()) usedUp_.push_back(file);
        resolved_.insert(archive::FoldedName(item.name));
    }

    void LeaveAlone(const std::string& name, const std::string& why, const std::string& kept) {
        ++tally_.untouched;
        leftAlone_.push_back(name);
        report_.Line("left " + name + " as it is: " + why + "; " + kept);
    }

    // Only once the archive's change is durable (or it needed none): a crash
    // before then leaves every backup in place. Returns those removed.
    std::vector<std::string> RemoveUsedUp() {
        std::vector<std::string> removed;
        for (const auto& path : usedUp_) {
            try {
                fs_.Remove(path);
                changed_ = true;
                removed.push_back(path);
            } catch (const archive::ArchiveError& error) {
                ++unremoved_;
                report_.Line("  the used " + path + " cannot be removed: " + DescribeError(error));
            }
        }
        if (!removed.empty()) report_.Line("removed " + RemovedText(removed));
        return removed;
    }

    // The record may let go of a used backup only once its removal lasts: a
    // backup that came back after a power cut, unknown to the record, would
    // be kept by a later install as the original. Each folder the removed
    // files lay in is flushed once.
    void MakeRemovalsDurable(const std::vector<std::string>& removed) {
        std::set<std::string> folders;
        for (const std::string& path : removed) folders.insert(std::string(text::FolderOf(path)));
        for (const std::string& folder : folders) fs_.FlushFolder(folder);
    }

    // The record lets go of what this archive's undo settled, after the
    // backups it used are gone: a crash in between leaves entries whose
    // backups are gone and whose originals are back, which the next undo
    // settles. What is left alone stays recorded, without the layout, which
    // no longer fits.
    void KeepRecord(const RecordedArchive& recorded) {
        if (resolved_.empty()) return;
        InstallRecord updated = record_;
        RecordedArchive* archive = updated.Find(recorded.path);
        std::erase_if(archive->entries, [&](const RecordedEntry& entry) {
            return resolved_.count(archive::FoldedName(entry.name)) != 0;
        });
        if (archive->entries.empty()) {
            std::erase_if(updated.archives, [&](const RecordedArchive& a) { return &a == archive; });
        } else {
            archive->layout.reset();
            archive->layoutNotKept = kPartlyUndone;
            archive->found.reset();
            archive->left.reset();
        }
        changed_ = true;
        WriteRecord(fs_, recordPath_, updated);
        record_ = std::move(updated);
        if (record_.archives.empty()) report_.Line("the install record " + recordPath_ + " is used up and removed");
    }

    ExitStatus Stop(const std::string& why, ExitStatus status) {
        report_.Line("error: " + why);
        const bool hadOpen = archive_.has_value();
        archive_.reset();  // drops every staged change
        const std::string_view keepFolder = record_.archives.empty() ? std::string_view() : KeepFolderLine(record_);
        return ReportStopped(report_, {hadOpen, tally_.Text(false), keepFolder, !changed_}, outcomes_, status);
    }

    // The bar of the open archive's save.
    archive::Progress Bar() {
        return ProgressOf(report_, "saving " + std::string(text::FileNameOf(archive_->Path())));
    }

    const std::string& scriptPath_;
    const std::string recordPath_;
    archive::FileSystem& fs_;
    Report& report_;
    const bool force_;
    InstallRecord record_;  // empty for an install made without one
    // The game's record of the archive open, as read, with an install taken
    // in from the folder's record: the originals a save lets go of are
    // counted from it.
    GameRecord gameAsRead_;
    std::optional<archive::Archive> archive_;
    UndoTally tally_;
    std::vector<std::string> usedUp_;
    std::set<std::string> resolved_;  // folded names this archive's undo settled
    std::vector<std::string> leftAlone_;
    // Whether an entry the script puts in holds its file (the undo by
    // Install.dat; the record's undo knows).
    bool modInTheGame_ = true;
    std::vector<ArchiveOutcome> outcomes_;
    int unremoved_ = 0;
    bool changed_ = false;  // whether this run may have changed anything on disk
};

std::vector<std::string> ArchivesOf(const InstallRecord& record) {
    std::vector<std::string> paths;
    for (const RecordedArchive& archive : record.archives) paths.push_back(archive.path);
    return paths;
}

// An archive the record names is gone and the game was not found moved as
// it was left: the game moved (or was removed) and changed since. The game's
// record of installs moved with the archives; an install from this folder
// on the game where it is now links the folder to it again, and changes
// nothing of the mod already there.
std::optional<ExitStatus> GameIsGone(const InstallRecord& record, archive::FileSystem& fs, Report& report,
                                     bool changedBefore) {
    std::string gone;
    for (const RecordedArchive& archive : record.archives)
        if (archive.entries.size() > 0 && !fs.Exists(archive.path)) gone += (gone.empty() ? "" : ", ") + archive.path;
    if (gone.empty()) return std::nullopt;
    report.Line("error: the game this folder installed into is no longer where it was: " + gone + " is gone");
    report.Line(
        "  if the game moved: run Install.exe from this folder on the game where it is now, then Undo.cmd; "
        "that install finds the mod in the game, changes nothing of it and links this folder to it, and "
        "the undo then gives the game's own files back (they are kept beside the game's archives)");
    report.Line(changedBefore ? "nothing else was changed" : "nothing was changed");
    report.Line("failed");
    return ExitStatus::NotFound;
}

// The folder's record is of an install on another computer that this game
// knows nothing of (a mod author's tried folder): nothing of it is undone
// here, and nothing its backups hold is put into this game.
ExitStatus NotThisGamesInstall(const InstallRecord& record, Report& report, bool changedBefore) {
    report.Line("nothing to undo: this folder's Backups hold an install made on another computer (" +
                (record.computer.empty() ? std::string("one it does not name") : record.computer) +
                "), which this game's record of installs does not know and whose files are not in this game: "
                "a copy zipped after a trial install; its backups are not put into this game");
    report.Line(changedBefore ? "nothing else was changed" : "nothing was changed");
    report.Line("done");
    return ExitStatus::Ok;
}

ExitStatus Undo(const std::string& scriptPath, std::string_view scriptText, archive::FileSystem& fs, Report& report,
                bool force, const std::string& computer) {
    report.Line("undoing the install made by " + scriptPath + (force ? " (forced)" : ""));
    const std::string recordPath = RecordPathFor(scriptPath);
    RecordRead read = ReadRecordOrRefuse(fs, recordPath, report);
    if (read.refused) return *read.refused;
    std::optional<InstallRecord>& record = read.record;
    std::vector<ScriptCommand> commands;
    try {
        commands = ReadScript(scriptText);
    } catch (const ScriptError& error) {
        // The record needs no script: one that cannot be read only cannot
        // show where a moved game is now.
        if (!record) return RefuseScript(report, scriptPath, error);
    }
    // The undo by Install.dat removes the backups its export lines name.
    if (!record)
        if (const auto refused = RefuseBackupsOutside(report, scriptPath, commands)) return *refused;
    const bool changedBefore =
        RemoveScratchFiles(fs, FilesRunsPublish(recordPath, commands, record ? &*record : nullptr), report) > 0 ||
        read.changed;
    if (record) {
        FollowMovedGame(*record, commands, fs, report);
        if (const auto gone = GameIsGone(*record, fs, report, changedBefore)) return *gone;
        if (const auto refused = RefuseUntrustedGameRecords(ArchivesOf(*record), fs, report)) return *refused;
        if (MadeElsewhereForAnotherGame(*record, computer, ArchivesOf(*record), ApplicationFolderOf(scriptPath), fs))
            return NotThisGamesInstall(*record, report, changedBefore);
        if (const auto refused = CheckArchivesToUndo(PlanFromRecord(*record), fs, report)) return *refused;
        return UndoRun(scriptPath, fs, report, force, changedBefore).Run(std::move(*record));
    }
    const std::vector<ArchiveUndo> plan = PlanFromScript(commands);
    if (const auto refused = CheckArchivesToUndo(plan, fs, report)) return *refused;
    return UndoRun(scriptPath, fs, report, force, changedBefore).Run(plan, commands);
}

}  // namespace

ExitStatus RestoreFromScript(const std::string& scriptPath, std::string_view scriptText, archive::FileSystem& fs,
                             Report& report) {
    return Undo(scriptPath, scriptText, fs, report, false, ComputerName());
}

ExitStatus RestoreFromScriptOn(const std::string& computer, const std::string& scriptPath, std::string_view scriptText,
                               archive::FileSystem& fs, Report& report) {
    return Undo(scriptPath, scriptText, fs, report, false, computer);
}

ExitStatus ForceRestoreFromScript(const std::string& scriptPath, std::string_view scriptText, archive::FileSystem& fs,
                                  Report& report) {
    return Undo(scriptPath, scriptText, fs, report, true, ComputerName());
}

ExitStatus NothingInstalled(const std::string& scriptPath, Report& report) {
    report.Line("nothing to undo: there is no " + scriptPath);
    report.Line("nothing was installed from this folder, so there is nothing to undo from it");
    report.Line(std::string(kFreshCopyAdvice));
    report.Line("nothing was changed");
    report.Line("failed");
    return ExitStatus::NotFound;
}

}  // namespace veltrin::tool
