#include "tool/script_runner.h"

#include <optional>

#include "archive/archive.h"
#include "archive/archive_error.h"
#include "archive/names.h"
#include "text/path_text.h"
#include "tool/backup_marker.h"
#include "tool/error_text.h"
#include "tool/publish_group.h"

namespace veltrin::tool {
namespace {

std::string LineRef(const std::string& scriptPath, const ScriptCommand& command) {
    return scriptPath + ", line " + std::to_string(command.lineNumber);
}

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
        switch (open_->RecoveryOnOpen()) {
        case archive::Recovery::None:
            break;
        case archive::Recovery::RolledBack:
            report_.Line("  an unfinished earlier change was rolled back; the archive holds its older content");
            outcomes_.back().what = "an unfinished earlier change was rolled back; not changed by this run";
            break;
        case archive::Recovery::Completed:
            report_.Line("  an unfinished earlier change was completed");
            outcomes_.back().what = "an unfinished earlier change was completed; not changed by this run";
            break;
        }
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
        report_.Line("summary of " + path + ": " + TallyText(tally_));
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
            report_.Line("error (" + LineRef(scriptPath_, *command) + "): " + why);
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
        return ReportStopped(report_, hadOpen, TallyText(tally_), outcomes_, status);
    }

    const std::string& scriptPath_;
    archive::FileSystem& fs_;
    Report& report_;
    PublishGroup backups_{fs_};
    std::optional<archive::Archive> open_;
    ArchiveTally tally_;
    std::vector<ArchiveOutcome> outcomes_;
};

// The line as it can be shown: control characters as \xNN.
std::string Printable(std::string_view line) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string shown;
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            shown += "\\x";
            shown += kHex[byte >> 4];
            shown += kHex[byte & 15];
        } else {
            shown += c;
        }
    }
    return shown;
}

ExitStatus Refuse(Report& report, const std::string& where, const std::string& why, const std::string& line,
                  ExitStatus status) {
    report.Line("error (" + where + "): " + why);
    report.Line("  " + Printable(line));
    report.Line("nothing was changed");
    report.Line("failed");
    return status;
}

}  // namespace

std::string TallyText(const ArchiveTally& tally) {
    return std::to_string(tally.backedUp) + " backed up, " + std::to_string(tally.backupsKept) + " backups kept, " +
           std::to_string(tally.nothingToBackUp) + " with nothing to back up, " + std::to_string(tally.replaced) +
           " replaced, " + std::to_string(tally.added) + " added";
}

ExitStatus ReportStopped(Report& report, bool hadOpenArchive, const std::string& openTally,
                         const std::vector<ArchiveOutcome>& outcomes, ExitStatus status) {
    if (hadOpenArchive) report.Line("summary of " + outcomes.back().path + " (not saved): " + openTally);
    for (const auto& outcome : outcomes) report.Line(outcome.path + ": " + outcome.what);
    report.Line("failed");
    return status;
}

ExitStatus RefuseScript(Report& report, const std::string& scriptPath, const ScriptError& error) {
    return Refuse(report, scriptPath + ", line " + std::to_string(error.lineNumber()), error.what(), error.line(),
                  ExitStatus::ScriptInvalid);
}

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
                return Refuse(report, LineRef(scriptPath, command),
                              "the name " + command.name + " cannot be stored in an archive: " + problem, command.line,
                              ExitStatus::Rejected);
        }
        // The tool's own files beside the backups end so; a backup of that
        // name could be taken for one of them, or overwritten by one.
        if (command.kind == CommandKind::Export) {
            const std::string folded = archive::FoldedName(command.path);
            for (const std::string_view suffix : {kScratchSuffix, kAddedMarkerSuffix})
                if (folded.ends_with(suffix))
                    return Refuse(report, LineRef(scriptPath, command),
                                  "the backup file " + command.path + " ends in " + std::string(suffix) +
                                      ", which the tool keeps for its own files",
                                  command.line, ExitStatus::Rejected);
        }
    }
    return ScriptRun(scriptPath, fs, report).Run(commands);
}

}  // namespace veltrin::tool
