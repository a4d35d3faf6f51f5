#include "tool/runs/run_places.h"

#include <string>

#include "text/path_text.h"
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

}  // namespace

std::vector<WritePlace> PlacesInstallWrites(std::string_view scriptText) { return PlacesOf(scriptText); }

std::vector<WritePlace> PlacesUndoWrites(std::string_view scriptText) { return PlacesOf(scriptText); }

}  // namespace veltrin::tool
