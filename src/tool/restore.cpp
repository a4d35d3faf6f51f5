#include "tool/restore.h"

#include <vector>

#include "archive/archive.h"
#include "archive/archive_error.h"
#include "tool/backup_marker.h"
#include "tool/error_text.h"
#include "tool/script_reader.h"
#include "tool/script_runner.h"

namespace veltrin::tool {
namespace {

struct Backup {
    std::string name;
    std::string path;
};

struct ArchiveUndo {
    std::string path;
    std::vector<Backup> backups;
};

// The archives in script order with the backups their export lines name.
std::vector<ArchiveUndo> UndoPlan(const std::vector<ScriptCommand>& commands) {
    std::vector<ArchiveUndo> plan;
    for (const auto& command : commands) {
        if (command.kind == CommandKind::Open) plan.push_back({command.path, {}});
        if (command.kind == CommandKind::Export) plan.back().backups.push_back({command.name, command.path});
    }
    return plan;
}

struct UndoTally {
    int restored = 0;
    int removed = 0;
    int untouched = 0;
};

std::string TallyText(const UndoTally& tally) {
    return std::to_string(tally.restored) + " restored, " + std::to_string(tally.removed) + " removed, " +
           std::to_string(tally.untouched) + " left as they are";
}

void UndoArchive(const ArchiveUndo& undo, archive::FileSystem& fs, Report& report) {
    report.Line("open " + undo.path);
    auto opened = archive::Archive::Open(undo.path, fs);
    UndoTally tally;
    for (const auto& backup : undo.backups) {
        if (fs.Exists(backup.path)) {
            opened.PutFile(backup.name, backup.path);
            ++tally.restored;
            report.Line("restored " + backup.name + " from " + backup.path);
        } else if (fs.Exists(AddedMarkerPath(backup.path))) {
            if (opened.Remove(backup.name)) {
                ++tally.removed;
                report.Line("removed " + backup.name + ", which the install added");
            } else {
                ++tally.untouched;
                report.Line(backup.name + " is not in the archive: nothing to remove");
            }
        } else {
            ++tally.untouched;
            report.Line("no backup of " + backup.name + ": left as it is");
        }
    }
    if (opened.HasChanges()) {
        report.Line("saving " + undo.path);
        const auto stats = opened.Commit([&report](uint64_t done, uint64_t total) { report.Progress(done, total); },
                                         archive::Archive::Fit::Exact);
        report.Line(stats.inPlace ? "saved (changed in place)" : "saved");
    } else {
        report.Line("nothing to change in " + undo.path);
    }
    report.Line("summary of " + undo.path + ": " + TallyText(tally));
}

}  // namespace

ExitStatus RestoreFromScript(const std::string& scriptPath, std::string_view scriptText, archive::FileSystem& fs,
                             Report& report) {
    report.Line("undoing the install made by " + scriptPath);
    std::vector<ScriptCommand> commands;
    try {
        commands = ReadScript(scriptText);
    } catch (const ScriptError& error) {
        return RefuseScript(report, scriptPath, error);
    }
    const auto plan = UndoPlan(commands);
    size_t finished = 0;
    try {
        for (const auto& undo : plan) {
            UndoArchive(undo, fs, report);
            ++finished;
        }
    } catch (const archive::ArchiveError& error) {
        report.Line("error: " + DescribeError(error));
        for (size_t i = 0; i < plan.size(); ++i)
            report.Line(plan[i].path + (i < finished ? ": restored" : ": not changed"));
        report.Line("failed");
        return StatusOf(error.kind());
    }
    report.Line("done");
    return ExitStatus::Ok;
}

}  // namespace veltrin::tool
