#include "tool/runs/restore.h"

#include <optional>
#include <set>
#include <vector>

#include "archive/archive.h"
#include "archive/archive_error.h"
#include "archive/names.h"
#include "tool/common/error_text.h"
#include "tool/runs/backup_marker.h"
#include "tool/runs/entry_match.h"
#include "tool/runs/run_report.h"
#include "tool/runs/script_reader.h"

namespace veltrin::tool {
namespace {

// One entry the install backed up (or found missing and marked as added).
struct Item {
    std::string name;     // as the export line names it
    std::string backup;   // the backup file; the marker is beside it
    std::string payload;  // the mod's file its import line names; empty when none does
};

struct ArchiveUndo {
    std::string path;
    std::vector<Item> items;
};

// The archives in script order, each with the entries its export lines name
// (once each) and the files its import lines put into them.
std::vector<ArchiveUndo> UndoPlan(const std::vector<ScriptCommand>& commands) {
    std::vector<ArchiveUndo> plan;
    std::set<std::string> named;
    for (const auto& command : commands) {
        switch (command.kind) {
        case CommandKind::Open:
            plan.push_back({command.path, {}});
            named.clear();
            break;
        case CommandKind::Export:
            if (named.insert(archive::FoldedName(command.name)).second)
                plan.back().items.push_back({command.name, command.path, {}});
            break;
        case CommandKind::Import:
            for (auto& item : plan.back().items)
                if (archive::FoldedName(item.name) == archive::FoldedName(command.name)) item.payload = command.path;
            break;
        case CommandKind::Close:
            break;
        }
    }
    return plan;
}

struct UndoTally {
    int restored = 0;
    int removed = 0;
    int alreadyUndone = 0;
    int untouched = 0;

    [[nodiscard]] std::string Text() const {
        return TallyText({{restored, "restored"},
                          {removed, "removed"},
                          {alreadyUndone, "already undone"},
                          {untouched, "left as they are"}});
    }
};

class UndoRun {
public:
    UndoRun(const std::string& scriptPath, archive::FileSystem& fs, Report& report, bool force)
        : scriptPath_(scriptPath), fs_(fs), report_(report), force_(force) {}

    ExitStatus Run(const std::vector<ArchiveUndo>& plan) {
        if (!AnythingToUndo(plan)) {
            report_.Line(
                "nothing to undo: none of the backups or markers this script names exist (an earlier undo "
                "used them up, or the install never got to its backups)");
            report_.Line("nothing was changed");
            report_.Line("done");
            return ExitStatus::Ok;
        }
        try {
            for (const auto& undo : plan) UndoArchive(undo);
        } catch (const archive::ArchiveError& error) {
            return Stop(DescribeError(error), StatusOf(error.kind()));
        } catch (const std::exception& error) {
            return Stop(error.what(), ExitStatus::Io);
        }
        if (!leftAlone_.empty()) {
            const bool one = leftAlone_.size() == 1;
            report_.Line(std::to_string(leftAlone_.size()) +
                         (one ? " entry was left as it is because it changed after the install or the mod's file is "
                                "gone (named above); its backup or marker stays"
                              : " entries were left as they are because they changed after the install or the mod's "
                                "files are gone (named above); their backups and markers stay"));
            report_.Line("to undo them anyway: Install.plug -restore --force \"" + scriptPath_ + "\"");
        }
        if (unremoved_ > 0) {
            report_.Line("error: " + std::to_string(unremoved_) +
                         " used backups or markers could not be removed (named above); the archives hold what the "
                         "lines above say, and undoing again removes them");
            report_.Line("failed");
            return ExitStatus::Io;
        }
        report_.Line("done");
        return ExitStatus::Ok;
    }

private:
    bool HasBackup(const Item& item) { return fs_.Exists(item.backup); }
    bool HasMarker(const Item& item) { return fs_.Exists(AddedMarkerPath(item.backup)); }

    bool AnythingToUndo(const std::vector<ArchiveUndo>& plan) {
        for (const auto& undo : plan)
            if (AnythingToUndo(undo)) return true;
        return false;
    }
    bool AnythingToUndo(const ArchiveUndo& undo) {
        for (const auto& item : undo.items)
            if (HasBackup(item) || HasMarker(item)) return true;
        return false;
    }

    void UndoArchive(const ArchiveUndo& undo) {
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
        for (const auto& item : undo.items) Decide(item);
        if (archive_->HasChanges()) {
            report_.Line("saving " + undo.path);
            outcomes_.back().what = "not changed: saving it failed";
            const auto stats = archive_->Commit(
                [this](uint64_t done, uint64_t total) { report_.Progress(done, total); }, archive::Archive::Fit::Exact);
            report_.Line(stats.inPlace ? "saved (changed in place)" : "saved");
            outcomes_.back().what = "undone";
        } else {
            report_.Line("nothing to change in " + undo.path);
            outcomes_.back().what = "nothing to change";
        }
        archive_.reset();
        RemoveUsedUp();
        report_.Line("summary of " + undo.path + ": " + tally_.Text());
    }

    // Why the entry is not known to hold the mod's file any more, or empty
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

    void Decide(const Item& item) {
        if (HasBackup(item))
            Restore(item);
        else if (HasMarker(item))
            RemoveAdded(item);
        else {
            ++tally_.untouched;
            report_.Line("no backup of " + item.name + ": left as it is");
        }
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
                report_.Line(item.name + " already holds its original (an earlier undo put it back); its backup " +
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

    // Only once the archive's change is durable (or it needed none): a crash
    // before then leaves every backup in place.
    void RemoveUsedUp() {
        int removed = 0;
        for (const auto& path : usedUp_) {
            try {
                fs_.Remove(path);
                ++removed;
            } catch (const archive::ArchiveError& error) {
                ++unremoved_;
                report_.Line("  the used " + path + " cannot be removed: " + DescribeError(error));
            }
        }
        if (removed > 0) report_.Line("removed " + std::to_string(removed) + " used backups and markers");
    }

    ExitStatus Stop(const std::string& why, ExitStatus status) {
        report_.Line("error: " + why);
        const bool hadOpen = archive_.has_value();
        archive_.reset();  // drops every staged change
        return ReportStopped(report_, hadOpen, tally_.Text(), outcomes_, status);
    }

    const std::string& scriptPath_;
    archive::FileSystem& fs_;
    Report& report_;
    const bool force_;
    std::optional<archive::Archive> archive_;
    UndoTally tally_;
    std::vector<std::string> usedUp_;
    std::vector<std::string> leftAlone_;
    std::vector<ArchiveOutcome> outcomes_;
    int unremoved_ = 0;
};

ExitStatus Undo(const std::string& scriptPath, std::string_view scriptText, archive::FileSystem& fs, Report& report,
                bool force) {
    report.Line("undoing the install made by " + scriptPath + (force ? " (forced)" : ""));
    std::vector<ScriptCommand> commands;
    try {
        commands = ReadScript(scriptText);
    } catch (const ScriptError& error) {
        return RefuseScript(report, scriptPath, error);
    }
    return UndoRun(scriptPath, fs, report, force).Run(UndoPlan(commands));
}

}  // namespace

ExitStatus RestoreFromScript(const std::string& scriptPath, std::string_view scriptText, archive::FileSystem& fs,
                             Report& report) {
    return Undo(scriptPath, scriptText, fs, report, false);
}

ExitStatus ForceRestoreFromScript(const std::string& scriptPath, std::string_view scriptText, archive::FileSystem& fs,
                                  Report& report) {
    return Undo(scriptPath, scriptText, fs, report, true);
}

ExitStatus NothingInstalled(const std::string& scriptPath, Report& report) {
    report.Line("nothing to undo: there is no " + scriptPath);
    report.Line("nothing was installed from this folder, so there is nothing to undo; nothing was changed");
    return ExitStatus::NotFound;
}

}  // namespace veltrin::tool
