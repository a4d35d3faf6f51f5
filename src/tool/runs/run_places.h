#pragma once
// The places an install or an undo of a script writes, for the check before
// the run starts (elevation.h), in script order: each archive the script
// opens, that archive's folder (a save writes .rewrite and .journal files
// beside it) and each backup folder (the install writes its backups there;
// the undo removes those it used). Both are empty for a script that cannot be
// read: the run then refuses it and says why.
#include <string>
#include <string_view>
#include <vector>

#include "archive/file_io.h"
#include "tool/common/write_place.h"

namespace veltrin::tool {

std::vector<WritePlace> PlacesInstallWrites(std::string_view scriptText);
// The same, and the folder of the install record beside the script's
// backups (install_record.h).
std::vector<WritePlace> PlacesInstallWrites(const std::string& scriptPath, std::string_view scriptText);
// An undo follows the install record when there is one: its archives, their
// folders, its backup folders and its own folder, whatever the script says.
// Without one, or with one that cannot be read (the run then follows the
// game's records by the script, or refuses), the script's places and the
// record's folder.
std::vector<WritePlace> PlacesUndoWrites(const std::string& scriptPath, std::string_view scriptText,
                                         archive::FileSystem& fs);

}  // namespace veltrin::tool
