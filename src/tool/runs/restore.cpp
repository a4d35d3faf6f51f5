#include "tool/runs/restore.h"

#include <optional>
#include <vector>

#include "tool/common/platform.h"
#include "tool/runs/folder_link.h"
#include "tool/runs/game_record_run.h"
#include "tool/runs/install_record.h"
#include "tool/runs/leftovers.h"
#include "tool/runs/moved_game.h"
#include "tool/runs/preflight.h"
#include "tool/runs/run_places.h"
#include "tool/runs/run_report.h"
#include "tool/runs/script_reader.h"
#include "tool/runs/tried_folder.h"
#include "tool/runs/undo_by_files.h"
#include "tool/runs/undo_through_record.h"

namespace veltrin::tool {
namespace {

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
    report.Line(NothingChangedLine(changedBefore));
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
    report.Line(NothingChangedLine(changedBefore));
    report.Line("done");
    return ExitStatus::Ok;
}

ExitStatus Undo(const std::string& scriptPath, std::string_view scriptText, archive::FileSystem& fs, Report& report,
                bool force, const std::string& computer) {
    report.Line("undoing the install made by " + scriptPath + (force ? " (forced)" : ""));
    const std::string recordPath = RecordPathFor(scriptPath);
    std::vector<ScriptCommand> commands;
    std::optional<ScriptError> unreadable;
    try {
        commands = ReadScript(scriptText);
    } catch (const ScriptError& error) {
        unreadable = error;
    }
    RecordRead read = ReadRecordOrLink(fs, scriptPath, commands, report);
    if (read.refused) return *read.refused;
    std::optional<InstallRecord>& record = read.record;
    // The record needs no script: one that cannot be read only cannot show
    // where a moved game is now.
    if (!record && unreadable) return RefuseScript(report, scriptPath, *unreadable);
    // The undo by Install.dat removes the backups its export lines name.
    if (!record)
        if (const auto refused = RefuseBackupsOutside(report, scriptPath, commands)) return *refused;
    bool changedBefore =
        RemoveScratchFiles(fs, FilesRunsPublish(recordPath, commands, record ? &*record : nullptr), report) > 0 ||
        read.changed;
    if (record) {
        // A linked record is followed from the disk once it is written
        // over the one that cannot be trusted.
        bool recordOnDisk = !read.linked;
        if (read.linked && WriteLinkedRecord(fs, scriptPath, *record, report)) changedBefore = recordOnDisk = true;
        FollowMovedGame(*record, commands, fs, report);
        if (TakeInLinkedArchives(*record, scriptPath, commands, fs, report)) changedBefore = true;
        if (const auto gone = GameIsGone(*record, fs, report, changedBefore)) return *gone;
        if (const auto refused = RefuseUntrustedGameRecords(ArchivesOf(*record), fs, report, changedBefore)) return *refused;
        if (MadeElsewhereForAnotherGame(*record, computer, ArchivesOf(*record), ApplicationFolderOf(scriptPath), fs))
            return NotThisGamesInstall(*record, report, changedBefore);
        return UndoThroughRecord(scriptPath, std::move(*record), fs, report, force, changedBefore, recordOnDisk);
    }
    return UndoByFiles(scriptPath, commands, fs, report, force, changedBefore);
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
