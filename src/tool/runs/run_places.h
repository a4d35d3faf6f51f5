#pragma once
// The places an install or an undo of a script writes, for the check before
// the run starts (elevation.h), in script order: each archive the script
// opens, that archive's folder (a save writes .rewrite and .journal files
// beside it) and each backup folder (the install writes its backups there;
// the undo removes those it used). Both are empty for a script that cannot be
// read: the run then refuses it and says why.
#include <string_view>
#include <vector>

#include "tool/common/write_place.h"

namespace veltrin::tool {

std::vector<WritePlace> PlacesInstallWrites(std::string_view scriptText);
std::vector<WritePlace> PlacesUndoWrites(std::string_view scriptText);

}  // namespace veltrin::tool
