#pragma once
// Undoing an install from its folder: through the folder's record and the
// game's record of installs (undo_through_record.h), or, for an install of an
// earlier build that kept no record, by the files its Install.dat names
// (undo_by_files.h). Before either: a moved game is followed, a folder tried
// on another computer changes nothing here, and every archive to change is
// checked before the first save.
#include <string>
#include <string_view>

#include "archive/file_io.h"
#include "tool/common/exit_status.h"
#include "tool/common/report.h"

namespace veltrin::tool {

ExitStatus RestoreFromScript(const std::string& scriptPath, std::string_view scriptText, archive::FileSystem& fs,
                             Report& report);
// The same on the computer of that name: a folder's record of another
// computer's install that this game knows nothing of is not followed.
ExitStatus RestoreFromScriptOn(const std::string& computer, const std::string& scriptPath, std::string_view scriptText,
                               archive::FileSystem& fs, Report& report);
// The same, but entries that changed since the install, or whose mod file is
// gone, are restored or removed too.
ExitStatus ForceRestoreFromScript(const std::string& scriptPath, std::string_view scriptText, archive::FileSystem& fs,
                                  Report& report);

// What to do when this folder installed nothing but the mod is in the game
// (installed from a folder since deleted): the install from this folder is
// the same install, and links the folder to it.
inline constexpr std::string_view kFreshCopyAdvice =
    "if this mod is in the game (installed from another copy of it): run Install.exe from this folder on the same "
    "game, then Undo.cmd; that install finds the mod in the game and changes nothing of it, and the undo then "
    "gives the game's own files back";

// What the undo says when the script it was given does not exist: nothing
// was installed from that folder. Returns ExitStatus::NotFound.
ExitStatus NothingInstalled(const std::string& scriptPath, Report& report);

}  // namespace veltrin::tool
