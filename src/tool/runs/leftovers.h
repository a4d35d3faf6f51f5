#pragma once
// The tool's own scratch files that a run stopped by a kill or a power cut
// left behind: a backup, a marker, the install record or the record of a
// save in progress, written beside its place (".partial", publish_group.h)
// and never moved in. They are never taken for anything, but they are the
// tool's, so the next install or undo from the folder removes them and says
// so.
#include <string>
#include <vector>

#include "archive/file_io.h"
#include "tool/common/report.h"
#include "tool/runs/install_record.h"
#include "tool/runs/script_reader.h"

namespace veltrin::tool {

// The files an install or undo of the script writes through a publish
// group: the script's backups and markers, those the record names, the
// record and the record of a save in progress; once each, and only those
// below the record's folder (Backups), whatever the script or record says.
std::vector<std::string> FilesRunsPublish(const std::string& recordPath, const std::vector<ScriptCommand>& commands,
                                          const InstallRecord* record);

// Removes the scratch file of each of the files, each in a line. One that
// cannot be removed is named and left. Returns how many were removed.
int RemoveScratchFiles(archive::FileSystem& fs, const std::vector<std::string>& files, Report& report);

}  // namespace veltrin::tool
