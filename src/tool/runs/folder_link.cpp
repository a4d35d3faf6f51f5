#include "tool/runs/folder_link.h"

#include <map>

#include "archive/archive_error.h"
#include "archive/names.h"
#include "text/path_text.h"
#include "tool/common/error_text.h"
#include "tool/common/publish_group.h"
#include "tool/runs/backup_marker.h"
#include "tool/runs/entry_match.h"
#include "tool/runs/game_layers.h"
#include "tool/runs/game_pending.h"
#include "tool/runs/game_record.h"
#include "tool/runs/game_record_run.h"

namespace veltrin::tool {
namespace {

// Per archive the script opens, in script order, the backup each of its
// export lines names: folded entry name -> backup path.
struct ScriptArchive {
    std::string path;
    std::map<std::string, std::string> backups;
};

std::vector<ScriptArchive> ArchivesOfScript(const std::vector<ScriptCommand>& commands) {
    std::vector<ScriptArchive> archives;
    ScriptArchive* open = nullptr;
    for (const ScriptCommand& command : commands) {
        if (command.kind == CommandKind::Open) {
            open = nullptr;
            for (ScriptArchive& known : archives)
                if (archive::FoldedName(known.path) == archive::FoldedName(command.path)) open = &known;
            if (!open) open = &archives.emplace_back(ScriptArchive{command.path, {}});
        } else if (command.kind == CommandKind::Close) {
            open = nullptr;
        } else if (command.kind == CommandKind::Export && open) {
            open->backups.try_emplace(archive::FoldedName(command.name), command.path);
        }
    }
    return archives;
}

// The install from the folder that the game's record of the archive knows,
// once a save an earlier run left waiting beside it is settled (changed is
// set then): whether it took effect decides which record is true. A waiting
// record that cannot be trusted, or an archive that cannot be opened to
// settle it, links nothing here; the run's own checks say why.
std::optional<GameInstall> InstallKnown(const std::string& archivePath, const std::string& folder,
                                        archive::FileSystem& fs, Report& report, bool& changed) {
    try {
        if (fs.Exists(GamePendingPathFor(archivePath))) {
            CheckGamePending(fs, archivePath);
            changed = true;
            SettleGamePending(fs, archivePath, report);
        }
        const std::optional<GameRecord> game = ReadGameRecord(fs, GameRecordPathFor(archivePath));
        if (!game) return std::nullopt;
        if (const std::optional<size_t> index = FindInstall(*game, folder, std::nullopt)) return game->installs[*index];
    } catch (const std::exception&) {
        // Told by the run's own checks.
    }
    return std::nullopt;
}

// Whether a backup path an export line names is one an install may have
// written: below the folder's Backups, and not named as the tool's own files
// are (the install refuses such a line).
bool ItsOwnBackupPath(const std::string& path, const std::string& backups) {
    const std::string folded = archive::FoldedName(path);
    for (const std::string_view suffix : {kScratchSuffix, kAddedMarkerSuffix, kRecordSuffix})
        if (folded.ends_with(suffix)) return false;
    return text::LiesBelow(path, backups);
}

// Whether the backup file is the install's own: not there (a crash took it
// before it was written; the next install writes it), or holding what the
// entry held before the install. One holding anything else may be the only
// copy of an original the game's record does not know (an earlier build's
// backup the install kept): the link does not name it, and no undo removes
// it.
bool BackupOfTheInstall(archive::FileSystem& fs, const std::string& path, const PutData& before) {
    try {
        return !fs.Exists(path) || DataOfFile(fs, path) == before;
    } catch (const archive::ArchiveError&) {
        return false;
    }
}

RecordedArchive LinkedArchive(const ScriptArchive& script, const GameInstall& install, archive::FileSystem& fs) {
    RecordedArchive recorded{script.path, std::nullopt, std::string(kKeptByTheGame), std::nullopt, std::nullopt, {}};
    for (const InstallLayer& layer : install.entries) {
        RecordedEntry entry;
        entry.name = layer.beforeName.empty() ? layer.name : layer.beforeName;
        entry.added = !layer.before;
        entry.put = layer.put;
        const auto backup = script.backups.find(archive::FoldedName(layer.name));
        if (backup != script.backups.end() && layer.before) {
            const PutData before{layer.before->size, layer.before->digest};
            if (BackupOfTheInstall(fs, backup->second, before)) {
                entry.backup = backup->second;
                entry.backupHolds = before;
            }
        } else if (backup != script.backups.end() && !fs.Exists(backup->second)) {
            // An addition has no backup file, only the marker beside its
            // path: a file there is not the install's.
            entry.backup = backup->second;
        }
        recorded.entries.push_back(std::move(entry));
    }
    return recorded;
}

}  // namespace

std::optional<InstallRecord> LinkFromTheGame(const std::string& scriptPath, const std::vector<ScriptCommand>& commands,
                                             archive::FileSystem& fs, Report& report, bool& changed,
                                             const InstallRecord* known) {
    const std::string folder = ApplicationFolderOf(scriptPath);
    const std::string backups(text::FolderOf(RecordPathFor(scriptPath)));
    InstallRecord linked;
    for (ScriptArchive& script : ArchivesOfScript(commands)) {
        std::erase_if(script.backups, [&](const auto& backup) { return !ItsOwnBackupPath(backup.second, backups); });
        if ((known && known->Find(script.path)) || !fs.Exists(script.path)) continue;
        const std::optional<GameInstall> install = InstallKnown(script.path, folder, fs, report, changed);
        if (!install) continue;
        if (linked.computer.empty()) linked.computer = install->computer;
        linked.archives.push_back(LinkedArchive(script, *install, fs));
    }
    if (linked.archives.empty()) return std::nullopt;
    return linked;
}

RecordRead ReadRecordOrLink(archive::FileSystem& fs, const std::string& scriptPath,
                            const std::vector<ScriptCommand>& commands, Report& report) {
    const std::string recordPath = RecordPathFor(scriptPath);
    std::optional<InstallRecord> linked;
    RecordRead read = ReadRecordOrRefuse(fs, recordPath, report, [&](const std::string& why, bool& changed) {
        linked = LinkFromTheGame(scriptPath, commands, fs, report, changed);
        if (linked)
            report.Line("the install record " + recordPath + " cannot be trusted (" + why +
                        "); the game's record of installs knows the install from this folder, and this run follows "
                        "it");
        return linked.has_value();
    });
    if (read.refused) return read;
    if (!linked && !read.record) {
        linked = LinkFromTheGame(scriptPath, commands, fs, report, read.changed);
        if (!linked) return read;
        report.Line("this folder's Backups hold no install record (" + recordPath +
                    "); the game's record of installs knows the install from this folder, and this run follows it");
    }
    if (linked) {
        read.record = std::move(linked);
        read.linked = true;
    }
    return read;
}

bool WriteLinkedRecord(archive::FileSystem& fs, const std::string& scriptPath, const InstallRecord& record,
                       Report& report) {
    const std::string recordPath = RecordPathFor(scriptPath);
    if (!fs.Exists(recordPath)) return false;
    try {
        WriteRecord(fs, recordPath, record);
        return true;
    } catch (const archive::ArchiveError& error) {
        report.Line("  the install record cannot be written anew now: " + DescribeError(error));
        return false;
    }
}

bool TakeInLinkedArchives(InstallRecord& record, const std::string& scriptPath,
                          const std::vector<ScriptCommand>& commands, archive::FileSystem& fs, Report& report) {
    bool changed = false;
    std::optional<InstallRecord> linked = LinkFromTheGame(scriptPath, commands, fs, report, changed, &record);
    if (linked)
        for (RecordedArchive& archive : linked->archives) record.archives.push_back(std::move(archive));
    return changed;
}

}  // namespace veltrin::tool
