#include "tool/runs/undo_by_files.h"

#include <algorithm>
#include <map>
#include <optional>

#include "archive/archive.h"
#include "archive/names.h"
#include "text/counted.h"
#include "tool/common/read_only_file_system.h"
#include "tool/runs/backup_marker.h"
#include "tool/runs/entry_match.h"
#include "tool/runs/held_archives.h"
#include "tool/runs/preflight.h"
#include "tool/runs/restore.h"
#include "tool/runs/run_report.h"
#include "tool/runs/undo_steps.h"

namespace veltrin::tool {
namespace {

// One entry an export line names: its backup or marker, whichever exists,
// says what the install did with it.
struct Item {
    std::string name;    // as the export line names it
    std::string backup;  // the backup file; the marker is beside it
    // The mod's file the script imported into it, by which the undo tells it
    // still holds what the install put in; empty when none did.
    std::string payload;
};

struct ArchiveUndo {
    std::string path;
    std::vector<Item> items;
};

// The archives in script order, each with the entries its export lines name
// (once each) and the files its import lines put into them.
std::vector<ArchiveUndo> PlanFromScript(const std::vector<ScriptCommand>& commands) {
    std::vector<ArchiveUndo> plan;
    std::map<std::string, size_t> named;  // folded -> its item in the archive's plan
    for (const auto& command : commands) {
        switch (command.kind) {
        case CommandKind::Open:
            plan.push_back({command.path, {}});
            named.clear();
            break;
        case CommandKind::Export:
            if (named.emplace(archive::FoldedName(command.name), plan.back().items.size()).second)
                plan.back().items.push_back({command.name, command.path, {}});
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

// Whether the undo of the archive has anything to do: a backup or marker its
// script names exists.
bool AnythingToUndoIn(const ArchiveUndo& undo, archive::FileSystem& fs) {
    return std::any_of(undo.items.begin(), undo.items.end(), [&](const Item& item) {
        return !item.backup.empty() && (fs.Exists(item.backup) || fs.Exists(AddedMarkerPath(item.backup)));
    });
}

// The archives the undo opens to change: each checked for itself before the
// first save (an archive with nothing to undo is not opened).
std::optional<ExitStatus> CheckArchivesToUndo(const std::vector<ArchiveUndo>& plan, archive::FileSystem& fs,
                                              Report& report, bool changedBefore) {
    std::vector<ArchiveToSave> archives;
    for (const ArchiveUndo& undo : plan)
        if (AnythingToUndoIn(undo, fs)) archives.push_back({undo.path, 0, 0, {}, 0, false});
    return CheckBeforeFirstSave(archives, fs, report, "undo", changedBefore);
}

class ByFilesUndo : public UndoSteps {
public:
    using UndoSteps::UndoSteps;

    ExitStatus Run(const std::vector<ArchiveUndo>& plan, const std::vector<ScriptCommand>& commands) {
        modInTheGame_ = ModOfScriptIsInTheGame(commands, fs_);
        const bool anything =
            std::any_of(plan.begin(), plan.end(), [&](const ArchiveUndo& undo) { return AnythingToUndoIn(undo, fs_); });
        if (!anything && !modInTheGame_) {
            // Undone already, or never installed: no failure.
            report_.Line(
                "nothing to undo: the mod of this folder is not in the game (no entry its script puts in holds its "
                "file): already undone, or never installed");
            report_.Line(NothingChangedLine(changed_));
            report_.Line("done");
            return ExitStatus::Ok;
        }
        if (!anything) {
            report_.Line(
                "nothing to undo: none of the backups or markers this script names exist (an earlier undo "
                "used them up, or no install from this folder got to its backups)");
            report_.Line(std::string(kFreshCopyAdvice));
            report_.Line(NothingChangedLine(changed_));
            report_.Line("failed");
            return ExitStatus::NotFound;
        }
        // Every archive the undo changes is the run's before the first save,
        // until the run ends.
        if (const auto stopped = EachArchive(plan, [&](const ArchiveUndo& undo) {
                if (AnythingToUndoIn(undo, fs_)) held_.Take(undo.path);
            }))
            return *stopped;
        if (const auto stopped = EachArchive(plan, [&](const ArchiveUndo& undo) { UndoArchive(undo); }))
            return *stopped;
        TellLeftAlone();
        return Ending();
    }

private:
    void UndoArchive(const ArchiveUndo& undo) {
        outcomes_.push_back({undo.path, "not changed"});
        if (!AnythingToUndoIn(undo, fs_)) {
            report_.Line("nothing to undo in " + undo.path + ": no backups or markers of its entries");
            outcomes_.back().what = "nothing to undo";
            return;
        }
        report_.Line("open " + undo.path);
        archive_.emplace(held_.Claim(undo.path));
        ReportRecovery(report_, archive_->RecoveryOnOpen());
        tally_ = {};
        usedUp_.clear();
        for (const auto& item : undo.items) Decide(item);
        if (archive_->HasChanges()) {
            Save([&] { return archive_->Commit(Bar(), archive::Archive::Fit::Exact); });
        } else {
            report_.Line("nothing to change in " + undo.path);
            outcomes_.back().what = "nothing to change";
        }
        held_.Keep(std::move(*archive_));
        archive_.reset();
        RemoveUsedUp();
        report_.Line("summary of " + undo.path + ": " + tally_.Text());
    }

    void TellLeftAlone() {
        if (leftAlone_.empty()) return;
        if (!modInTheGame_ && !force_) {
            // An install from this folder stopped before its save: its
            // backups hold what the entries held then (another mod's file,
            // it may be), and the mod never got in. Forced, they would bring
            // that back.
            report_.Line("the mod of this folder is not in the game (no entry its script puts in holds its file): " +
                         text::Counted(leftAlone_.size(), "entry was", "entries were") +
                         " left as the game has them, and their backups and markers stay; they hold what the entries "
                         "held when an install from this folder stopped before its save, and are not put back");
            return;
        }
        const bool one = leftAlone_.size() == 1;
        report_.Line(std::to_string(leftAlone_.size()) +
                     (one ? " entry was left as it is because it changed after the install or the mod's file is "
                            "gone (named above); its backup or marker stays"
                          : " entries were left as they are because they changed after the install or the mod's "
                            "files are gone (named above); their backups and markers stay"));
        report_.Line("to undo them anyway: Install.plug -restore --force \"" + scriptPath_ + "\"");
    }

    bool HasBackup(const Item& item) { return !item.backup.empty() && fs_.Exists(item.backup); }
    bool HasMarker(const Item& item) { return !item.backup.empty() && fs_.Exists(AddedMarkerPath(item.backup)); }

    void Decide(const Item& item) {
        if (HasBackup(item)) {
            Restore(item);
        } else if (HasMarker(item)) {
            RemoveAdded(item);
        } else {
            ++tally_.untouched;
            report_.Line("no backup of " + item.name + ": left as it is");
        }
    }

    // Why the entry is not known to hold what the install put in, or empty
    // when it does.
    std::string WhyNotTheMods(const Item& item, const archive::Entry& entry) {
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
                usedUp_.push_back(item.backup);
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
        archive_->PutFile(item.name, item.backup);
        ++tally_.restored;
        usedUp_.push_back(item.backup);
        report_.Line("restored " + item.name + " from " + item.backup + (why.empty() ? "" : " (forced: " + why + ")"));
    }

    void RemoveAdded(const Item& item) {
        const std::string marker = AddedMarkerPath(item.backup);
        const archive::Entry* entry = archive_->Find(item.name);
        if (!entry) {
            ++tally_.alreadyUndone;
            usedUp_.push_back(marker);
            report_.Line(item.name + " is not in the archive: nothing to remove; its marker " + marker + " is used up");
            return;
        }
        const std::string why = WhyNotTheMods(item, *entry);
        if (!why.empty() && !force_) {
            LeaveAlone(item.name, why, "it was added by the install; its marker stays in " + marker);
            return;
        }
        archive_->Remove(item.name);
        ++tally_.removed;
        usedUp_.push_back(marker);
        report_.Line("removed " + item.name + ", which the install added" +
                     (why.empty() ? "" : " (forced: " + why + ")"));
    }

    void LeaveAlone(const std::string& name, const std::string& why, const std::string& kept) {
        ++tally_.untouched;
        leftAlone_.push_back(name);
        report_.Line("left " + name + " as it is: " + why + "; " + kept);
    }

    HeldArchives held_{fs_};
    std::vector<std::string> leftAlone_;
    bool modInTheGame_ = true;  // whether an entry the script puts in holds its file
};

}  // namespace

ExitStatus UndoByFiles(const std::string& scriptPath, const std::vector<ScriptCommand>& commands,
                       archive::FileSystem& fs, Report& report, bool force, bool changedBefore) {
    const std::vector<ArchiveUndo> plan = PlanFromScript(commands);
    if (const auto refused = CheckArchivesToUndo(plan, fs, report, changedBefore)) return *refused;
    return ByFilesUndo(scriptPath, fs, report, force, changedBefore).Run(plan, commands);
}

}  // namespace veltrin::tool
