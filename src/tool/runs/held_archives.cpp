#include "tool/runs/held_archives.h"

#include <utility>

#include "archive/names.h"

namespace veltrin::tool {

void HeldArchives::Take(const std::string& path) {
    const std::string key = archive::FoldedName(path);
    if (held_.count(key) != 0 || !fs_.Exists(path)) return;
    held_.emplace(key, archive::Archive::Take(path, fs_));
}

archive::Archive HeldArchives::Claim(const std::string& path) {
    const auto held = held_.find(archive::FoldedName(path));
    if (held == held_.end()) return archive::Archive::Take(path, fs_);
    archive::Archive claimed = std::move(held->second);
    held_.erase(held);
    return claimed;
}

void HeldArchives::Keep(archive::Archive archive) {
    std::string key = archive::FoldedName(archive.Path());
    held_.insert_or_assign(std::move(key), std::move(archive));
}

}  // namespace veltrin::tool
