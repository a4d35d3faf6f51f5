#pragma once
// What the imports into one open archive have put there so far, so that an
// import can tell whether it replaces an entry: one the archive holds, or
// one an earlier import staged and no commit has written yet.
#include <set>
#include <string>
#include <string_view>

#include "archive/archive.h"

namespace veltrin::tool {

class ImportedNames {
public:
    // Stages the file as the entry name (Archive::PutFile, which may throw);
    // returns whether the entry takes the place of one of that name.
    bool Import(archive::Archive& archive, std::string_view name, const std::string& path);
    // For the next archive opened.
    void Clear() noexcept { folded_.clear(); }

private:
    std::set<std::string> folded_;
};

}  // namespace veltrin::tool
