#pragma once
// Archive errors in plain words for the console and Install.log, and the exit
// status that goes with each kind.
#include <string>

#include "archive/archive_error.h"
#include "tool/common/exit_status.h"

namespace veltrin::tool {

std::string DescribeError(const archive::ArchiveError& error);
ExitStatus StatusOf(archive::ErrorKind kind);

}  // namespace veltrin::tool
