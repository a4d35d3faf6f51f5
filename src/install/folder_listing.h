#pragma once
// Lists a folder's entries through the operating system.
#include <string>
#include <vector>

#include "install/payload_rules.h"

namespace veltrin::install {

// Every entry of the folder (without "." and ".."). Throws PayloadListError
// when the path is missing, is not a folder or cannot be read.
std::vector<FolderEntry> ListFolder(const std::string& folder);

}  // namespace veltrin::install
