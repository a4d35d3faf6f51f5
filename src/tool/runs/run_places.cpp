#include "tool/runs/run_places.h"

#include <optional>
#include <string>

#include "archive/names.h"
#include "text/path_text.h"
#include "tool/runs/backup_marker.h"
#include "tool/runs/install_record.h"
#include "tool/runs/script_reader.h"

namespace veltrin::tool {
namespace {

// An install and an undo of one script write the same places.
std::vector<WritePlace> PlacesOf(std::string_view scriptText) {
    std::vector<ScriptCommand> commands;
    try {
        commands = ReadScript(scriptText);
    } catch (const ScriptError&) {
        return {};
    }
    std::vector<WritePlace> places;
    const auto folderOf = [&places](const std::string& path) {
        const std::string_view folder = text::FolderOf(path);
        if (!folder.empty()) places.push_back({WritePlace::Kind::Folder, std::string(folder)});
    };
    for (const auto& command : commands) {
        if (command.kind == CommandKind::Open) {
            places.push_back({WritePlace::Kind::File, command.path});
            folderOf(command.path);
        } else if (command.kind == CommandKind::Export) {
            folderOf(command.path);
        }
    }
    return places;
}

void AddFolderOf(std::vector<WritePlace>& places, const std::string& path) {
    const std::string_view folder = text::FolderOf(path);
    if (!folder.empty()) places.push_back({WritePlace::Kind::Folder, std::string(folder)});
}

// The record's folder, unless a folder already listed lies in it (the
// installer's backup folders lie in Backups, the record's): who may create
// files there may create them in the folder that holds it.
void AddRecordFolder(std::vector<WritePlace>& places, const std::string& scriptPath) {
    const std::string recordFolder = archive::FoldedName(text::FolderOf(RecordPathFor(scriptPath)));
    for (const WritePlace& place : places) {
        const std::string folded = archive::FoldedName(place.path);
        if (place.kind == WritePlace::Kind::Folder && folded.size() > recordFolder.size() &&
            folded.starts_with(recordFolder) && text::IsPathSeparator(folded[recordFolder.size()]))
            return;
    }
    AddFolderOf(places, RecordPathFor(scriptPath));
}

}  // namespace

std::vector<WritePlace> PlacesInstallWrites(std::string_view scriptText) { return PlacesOf(scriptText); }

std::vector<WritePlace> PlacesInstallWrites(const std::string& scriptPath, std::string_view scriptText) {
    std::vector<WritePlace> places = PlacesOf(scriptText);
    if (!places.empty()) AddRecordFolder(places, scriptPath);
    return places;
}

std::vector<WritePlace> PlacesUndoWrites(const std::string& scriptPath, std::string_view scriptText,
                                         archive::FileSystem& fs) {
    const std::string recordPath = RecordPathFor(scriptPath);
    std::optional<InstallRecord> record;
    try {
        record = ReadRecord(fs, recordPath);
    } catch (const std::exception&) {
        // The run follows the game's records by the script, or refuses.
        return PlacesInstallWrites(scriptPath, scriptText);
    }
    if (!record) return PlacesOf(scriptText);
    std::vector<WritePlace> places;
    for (const RecordedArchive& archive : record->archives) {
        places.push_back({WritePlace::Kind::File, archive.path});
        AddFolderOf(places, archive.path);
        for (const RecordedEntry& entry : archive.entries) {
            if (entry.backup.empty()) continue;
            AddFolderOf(places, entry.backup);
            // The undo removes what it used: the backup, or the marker of an addition.
            places.push_back(
                {WritePlace::Kind::RemovedFile, entry.added ? AddedMarkerPath(entry.backup) : entry.backup});
        }
    }
    AddRecordFolder(places, scriptPath);
    return places;
}

}  // namespace veltrin::tool
