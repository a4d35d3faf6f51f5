#pragma once
// Undoing an install: the same Install.dat that made it names every archive
// and every entry with its backup. Entries with a backup get their original
// bytes back; entries the install added (marked in the backup folder) are
// removed. Each archive changes as one transaction.
#include <string>
#include <string_view>

#include "archive/file_io.h"
#include "tool/exit_status.h"
#include "tool/report.h"

namespace veltrin::tool {

ExitStatus RestoreFromScript(const std::string& scriptPath, std::string_view scriptText, archive::FileSystem& fs,
                             Report& report);

}  // namespace veltrin::tool
