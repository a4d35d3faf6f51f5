#pragma once
// What the next open does about a commit that an earlier run left
// unfinished (commit.h, rules 9 and 10).
#include <string>

#include "archive/archive.h"
#include "archive/file_io.h"

namespace veltrin::archive {

Recovery RecoverInterruptedCommit(FileSystem& fs, const std::string& archivePath);

}  // namespace veltrin::archive
