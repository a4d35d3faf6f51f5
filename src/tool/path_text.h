#pragma once
// The parts of a path as text, either separator counting: scripts write
// backslashes, the native build's paths have slashes. Nothing is asked of
// the file system.
#include <string_view>

namespace veltrin::tool {

// The part of a path after its last backslash or slash.
std::string_view FileNameOf(std::string_view path);
// The part before the last backslash or slash; empty when there is none.
std::string_view FolderOf(std::string_view path);

}  // namespace veltrin::tool
