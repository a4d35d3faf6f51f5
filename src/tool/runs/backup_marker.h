#pragma once
// An install that finds no entry to back up leaves an empty marker file
// beside where the backup would be, so that undoing the install knows to
// remove the entry the install added, and a later install knows not to back
// up the mod's own data as if it were the original.
#include <string>
#include <string_view>

namespace veltrin::tool {

inline constexpr std::string_view kAddedMarkerSuffix = ".added";

inline std::string AddedMarkerPath(const std::string& backupPath) {
    return backupPath + std::string(kAddedMarkerSuffix);
}

}  // namespace veltrin::tool
