#pragma once
// The free-space check both commit paths make before they write (commit.h,
// rule 3).
#include <cstdint>
#include <string>

#include "archive/file_io.h"

namespace veltrin::archive {

// Throws DiskFull when the volume of path has fewer than needed free bytes;
// its detail gives both figures in MB. upTo: needed is the most a change
// may take, and the detail says so.
void RequireFreeSpace(FileSystem& fs, const std::string& path, uint64_t needed, bool upTo = false);

}  // namespace veltrin::archive
