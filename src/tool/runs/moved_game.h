#pragma once
// A game folder moved after an install: the record names the archives where
// they were, Install writes a script for where they are now. An archive the
// script opens in another folder, of the same file name as a recorded one
// that is no longer there, is the same archive when it is exactly in the
// state the last install left (its directory's SHA-256 and its size). The
// record follows the game only when every recorded archive that is gone is
// found so; anything less and it stays as it is.
#include <vector>

#include "archive/file_io.h"
#include "tool/common/report.h"
#include "tool/runs/install_record.h"
#include "tool/runs/script_reader.h"

namespace veltrin::tool {

// Moves the record's archives to where the script finds them, saying so for
// each. The record on disk is rewritten by the run that goes on.
void FollowMovedGame(InstallRecord& record, const std::vector<ScriptCommand>& commands, archive::FileSystem& fs,
                     Report& report);

}  // namespace veltrin::tool
