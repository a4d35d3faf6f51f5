#include "tool/runs/script_runner.h"

#include <optional>

#include "archive/archive.h"
#include "archive/archive_error.h"
#include "archive/names.h"
#include "text/path_text.h"
#include "tool/common/error_text.h"
#include "tool/common/publish_group.h"
#include "tool/runs/backup_marker.h"
#include "tool/runs/run_report.h"
#include "tool/runs/script_reader.h"

namespace veltrin::tool {
namespace {

// What one archive's block did.
struct ArchiveTally {
    int backedUp = 0;
    int backupsKept = 0;
    int nothingToBackUp = 0;
    int replaced = 0;
    int added = 0;

    [[nodiscard]] std::string Text() const {
        return TallyText({{backedUp, "backed up"},
                          {backupsKept, "backups kept"},
                          {nothingToBackUp, "with nothing to back up"},
                          {replaced, "replaced"},
                          {added, "added"}});
    }
};

// The folder that holds the script as a player finds it: "C:\" at a drive's
// root rather than "C:".
std::string FolderText(const std::string& scriptPath) {
    if (text::FileNameOf(scriptPath).size() == scriptPath.size()) return "this folder";
    return std::string(text::FolderOf(scriptPath));
}

class ScriptRun {
public:
    ScriptRun(const std::string& scriptPath, archive::FileSystem& fs, Report& report)
        : scriptPath_(scriptPath), fs_(fs), report_(report) {}

    ExitStatus Run(const std::vector<ScriptCommand>& commands) {
        const ScriptCommand* current = nullptr;
        try {
            for (const auto& command : commands) {
                current = &command;
                Do(command);
            }
            current = nullptr;
            if (open_) Close(true);
        } catch (const archive::ArchiveError& error) {
            return Stop(current, DescribeError(error), StatusOf(error.kind()));
        } catch (const std::exception& error) {
            return Stop(current, error.what(), ExitStatus::Io);
        }
        report_.Line("to undo this install: double-click Undo.cmd in " + FolderText(scriptPath_) +
                     ", or run Install.plug -restore \"" + scriptPath_ + "\"");
        report_.Line("done");
        return ExitStatus::Ok;
    }

private:
    void Do(const ScriptCommand& command) {
        switch (command.kind) {
        case CommandKind::Open:
            if (open_) Close(false);
            OpenArchive(command.path);
            break;
        case CommandKind::Export:
            Export(command.name, command.path);
            break;
        case CommandKind::Import:
            Import(command.name, command.path);
            break;
        case CommandKind::Close:
            Close(false);
            break;
        }
    }

    void OpenArchive(const std::string& path) {
        report_.Line("open " + path);
        outcomes_.push_back({path, "not changed"});
        open_.emplace(archive::Archive::Open(path, fs_));
        tally_ = {};
        const std::string recovered = ReportRecovery(report_, open_->RecoveryOnOpen());
        if (!recovered.empty()) outcomes_.back().what = recovered + "; not changed by this run";
        report_.Line("  " + std::to_string(open_->Entries().size()) + " entries");
    }

    // The first install's view of the archive is the original: its backups
    // are kept, and an entry it added (marked beside the backups) holds the
    // mod's data, which is never backed up. Backups are written as the
    // script goes and made durable together before the archive changes.
    void Export(const std::string& name, const std::string& path) {
        if (backups_.Has(path) || fs_.Exists(path)) {
            ++tally_.backupsKept;
            report_.Line("kept the earlier backup of " + name + ": " + path);
            return;
        }
        const std::string marker = AddedMarkerPath(path);
        if (backups_.Has(marker) || fs_.Exists(marker)) {
            ++tally_.nothingToBackUp;
            report_.Line("nothing to back up: " + name + " was added by an earlier install");
            return;
        }
        const archive::Entry* entry = open_->Find(name);
        if (!entry) {
            backups_.Write(marker, {});
            ++tally_.nothingToBackUp;
            report_.Line("nothing to back up: " + name + " is not in the archive");
            return;
        }
        backups_.WriteWith(path, [&](archive::File& backup) { open_->CopyTo(*entry, backup); });
        ++tally_.backedUp;
        report_.Line("backed up " + name + " to " + path);
    }

    void Import(const std::string& name, const std::string& path) {
        if (backups_.Has(path)) PublishBackups();  // a backup made earlier in this block
        if (open_->PutFile(name, path)) {
            ++tally_.replaced;
            report_.Line("imported " + name + " (replaced)");
        } else {
            ++tally_.added;
            report_.Line("imported " + name + " (added)");
        }
    }

    void Close(bool atEnd) {
        const std::string path = open_->Path();
        PublishBackups();
        if (open_->HasChanges()) {
            report_.Line(atEnd ? "saving " + path + " (end of the script)" : "saving " + path);
            outcomes_.back().what = "not changed: saving it failed";
            const auto stats = open_->Commit([this](uint64_t done, uint64_t total) { report_.Progress(done, total); });
            report_.Line(stats.inPlace ? "saved (changed in place)" : "saved");
            outcomes_.back().what = "changes saved";
        } else {
            report_.Line("nothing to change in " + path);
            outcomes_.back().what = "nothing to change";
        }
        open_.reset();
        report_.Line("summary of " + path + ": " + tally_.Text());
    }

    // Backups are durable before their archive changes. Those that cannot be
    // put in place are removed, and the report says so.
    void PublishBackups() {
        try {
            backups_.Publish();
        } catch (const std::exception&) {
            report_.Line("  the backups not yet in place were removed; their archive was not changed");
            throw;
        }
    }

    ExitStatus Stop(const ScriptCommand* command, const std::string& why, ExitStatus status) {
        if (command)
            report_.Line("error (" + LineRef(scriptPath_, command->lineNumber) + "): " + why);
        else
            report_.Line("error: " + why);
        // The archive is unchanged, so the backups hold its entries as they
        // are: kept as the lines above say, where they can be.
        try {
            PublishBackups();
        } catch (const std::exception&) {
            // Told by PublishBackups.
        }
        const bool hadOpen = open_.has_value();
        open_.reset();  // drops every staged change
        return ReportStopped(report_, hadOpen, tally_.Text(), outcomes_, status);
    }

    const std::string& scriptPath_;
    archive::FileSystem& fs_;
    Report& report_;
    PublishGroup backups_{fs_};
    std::optional<archive::Archive> open_;
    ArchiveTally tally_;
    std::vector<ArchiveOutcome> outcomes_;
};

}  // namespace

ExitStatus RunScript(const std::string& scriptPath, std::string_view scriptText, archive::FileSystem& fs,
                     Report& report) {
    report.Line("running " + scriptPath);
    std::vector<ScriptCommand> commands;
    try {
        commands = ReadScript(scriptText);
    } catch (const ScriptError& error) {
        return RefuseScript(report, scriptPath, error);
    }
    for (const auto& command : commands) {
        if (command.kind == CommandKind::Import) {
            const std::string problem = archive::NameProblem(command.name);
            if (!problem.empty())
                return RefuseLine(report, LineRef(scriptPath, command.lineNumber),
                                  "the name " + command.name + " cannot be stored in an archive: " + problem,
                                  command.line, ExitStatus::Rejected);
        }
        // The tool's own files beside the backups end so; a backup of that
        // name could be taken for one of them, or overwritten by one.
        if (command.kind == CommandKind::Export) {
            const std::string folded = archive::FoldedName(command.path);
            for (const std::string_view suffix : {kScratchSuffix, kAddedMarkerSuffix})
                if (folded.ends_with(suffix))
                    return RefuseLine(report, LineRef(scriptPath, command.lineNumber),
                                      "the backup file " + command.path + " ends in " + std::string(suffix) +
                                          ", which the tool keeps for its own files",
                                      command.line, ExitStatus::Rejected);
        }
    }
    return ScriptRun(scriptPath, fs, report).Run(commands);
}

}  // namespace veltrin::tool
