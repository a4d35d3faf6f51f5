#include "tool/runs/moved_game.h"

#include "archive/archive.h"
#include "archive/archive_error.h"
#include "text/ascii.h"
#include "text/path_text.h"

namespace veltrin::tool {
namespace {

bool LeftAsRecorded(const RecordedArchive& recorded, const std::string& path, archive::FileSystem& fs) {
    try {
        if (!fs.Exists(path)) return false;
        return archive::Archive::Open(path, fs).CurrentState() == *recorded.left;
    } catch (const archive::ArchiveError&) {
        return false;  // not one this run can take for it
    }
}

}  // namespace

void FollowMovedGame(InstallRecord& record, const std::vector<ScriptCommand>& commands, archive::FileSystem& fs,
                     Report& report) {
    // All or nothing: a game moves whole, so one recorded archive that is
    // gone and not found as it was left means this is not the same game.
    std::vector<std::pair<RecordedArchive*, std::string>> moves;
    for (RecordedArchive& recorded : record.archives) {
        if (fs.Exists(recorded.path)) continue;
        if (!recorded.left) return;
        const ScriptCommand* found = nullptr;
        for (const ScriptCommand& command : commands)
            if (command.kind == CommandKind::Open && !record.Find(command.path) &&
                text::EqualIgnoringAsciiCase(text::FileNameOf(command.path), text::FileNameOf(recorded.path)) &&
                LeftAsRecorded(recorded, command.path, fs)) {
                found = &command;
                break;
            }
        if (!found) return;
        moves.emplace_back(&recorded, found->path);
    }
    for (auto& [recorded, now] : moves) {
        report.Line("the game has moved: " + recorded->path + " is now " + now +
                    ", exactly as the last install left it");
        recorded->path = now;
    }
}

}  // namespace veltrin::tool
