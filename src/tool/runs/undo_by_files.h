#pragma once
// The undo of an install made by an earlier build that kept no record: the
// same Install.dat that made it names every archive, every entry with its
// backup, and the mod's file that went into it. An entry gets its backup
// back, and an entry the install added (marked in the backup folder) is
// removed, only while it still holds the mod's file: whatever came later
// (another mod, a game update) is left as it is, named, and keeps its backup.
// Each archive changes as one transaction; once it is saved, the backups and
// markers it used are removed, so a later install backs up afresh.
#include <string>
#include <vector>

#include "archive/file_io.h"
#include "tool/common/exit_status.h"
#include "tool/common/report.h"
#include "tool/runs/script_reader.h"

namespace veltrin::tool {

// changedBefore: before it, an earlier run's scratch files were removed.
ExitStatus UndoByFiles(const std::string& scriptPath, const std::vector<ScriptCommand>& commands,
                       archive::FileSystem& fs, Report& report, bool force, bool changedBefore);

}  // namespace veltrin::tool
