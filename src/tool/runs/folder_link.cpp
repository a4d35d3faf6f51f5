#include "tool/runs/folder_link.h"

#include <map>

#include "archive/names.h"
#include "tool/runs/game_layers.h"
#include "tool/runs/game_pending.h"
#include "tool/runs/game_record.h"

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

// The game's record of the archive, its waiting save settled; nothing when
// there is none or it cannot be read.
std::optional<GameRecord> GameRecordOf(const std::string& archivePath, archive::FileSystem& fs, Report& report) {
    try {
        if (fs.Exists(GamePendingPathFor(archivePath))) SettleGamePending(fs, archivePath, report);
    } catch (const std::exception&) {
        // Left waiting: what the record says now still names the folder's
        // install where it is one.
    }
    try {
        return ReadGameRecord(fs, GameRecordPathFor(archivePath));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

RecordedArchive LinkedArchive(const ScriptArchive& script, const GameInstall& install) {
    RecordedArchive recorded{script.path, std::nullopt, std::string(kKeptByTheGame), std::nullopt, std::nullopt, {}};
    for (const InstallLayer& layer : install.entries) {
        RecordedEntry entry;
        entry.name = layer.beforeName.empty() ? layer.name : layer.beforeName;
        entry.added = !layer.before;
        entry.put = layer.put;
        if (const auto backup = script.backups.find(archive::FoldedName(layer.name)); backup != script.backups.end())
            entry.backup = backup->second;
        // Made by this install, the backup holds what the entry held before
        // it: anything else is not its original.
        if (layer.before) entry.backupHolds = PutData{layer.before->size, layer.before->digest};
        recorded.entries.push_back(std::move(entry));
    }
    return recorded;
}

}  // namespace

std::optional<InstallRecord> LinkFromTheGame(const std::string& folder, const std::vector<ScriptCommand>& commands,
                                             archive::FileSystem& fs, Report& report) {
    InstallRecord linked;
    for (const ScriptArchive& script : ArchivesOfScript(commands)) {
        if (!fs.Exists(script.path)) continue;
        const std::optional<GameRecord> game = GameRecordOf(script.path, fs, report);
        if (!game) continue;
        const std::optional<size_t> index = FindInstall(*game, folder, std::nullopt);
        if (!index) continue;
        const GameInstall& install = game->installs[*index];
        if (linked.computer.empty()) linked.computer = install.computer;
        linked.archives.push_back(LinkedArchive(script, install));
    }
    if (linked.archives.empty()) return std::nullopt;
    return linked;
}

}  // namespace veltrin::tool
