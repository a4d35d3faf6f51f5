#pragma once
// The undo of an install the folder's record names, through the game's
// record of installs beside each archive (game_layers.h): the install's
// layers are spliced out; an entry of which it is the top gets back what it
// held before, one a later install covers stays as it is (that install's
// undo then gives back what was there before this one). When the last
// install goes and nothing else changed the archive, the layout from before
// it comes back byte for byte. The folder's own backups and markers are used
// up either way, and the folder's record lets go of what was settled.
#include <string>

#include "archive/file_io.h"
#include "tool/common/exit_status.h"
#include "tool/common/report.h"
#include "tool/runs/install_record.h"

namespace veltrin::tool {

// changedBefore: before it, an earlier run's scratch files were removed or
// its save in progress settled. recordOnDisk: the record is the folder's on
// disk, not one linked from the game's record alone (folder_link.h).
ExitStatus UndoThroughRecord(const std::string& scriptPath, InstallRecord record, archive::FileSystem& fs,
                             Report& report, bool force, bool changedBefore, bool recordOnDisk = true);

}  // namespace veltrin::tool
