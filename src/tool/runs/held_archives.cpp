#include "tool/runs/held_archives.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "archive/names.h"

namespace veltrin::tool {

// A spelling this does not reach, a short name or a link, is refused as in
// use where it is taken, before anything is saved.
std::string ArchiveKey(const std::string& path) {
    size_t at = 0;
    std::string key;  // the leading separators: a root, or a server's
    while (at < path.size() && (path[at] == '/' || path[at] == '\\')) {
        key += '\\';
        ++at;
    }
    std::vector<std::string> parts;
    std::string part;
    const auto end = [&] {
        const bool fixed = parts.empty() || parts.back() == ".." ||
                           (parts.size() == 1 && (key.size() >= 2 || parts.back().ends_with(':')));
        if (part == ".." && !fixed) {
            parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        part.clear();
    };
    for (; at < path.size(); ++at) {
        if (path[at] == '/' || path[at] == '\\') {
            end();
        } else {
            part += path[at];
        }
    }
    end();
    for (size_t i = 0; i < parts.size(); ++i) key += (i == 0 ? "" : "\\") + parts[i];
    return archive::FoldedName(key);
}

void HeldArchives::Take(const std::string& path) {
    const std::string key = ArchiveKey(path);
    if (held_.count(key) != 0 || !fs_.Exists(path)) return;
    held_.emplace(key, archive::Archive::Take(path, fs_));
}

archive::Archive HeldArchives::Claim(const std::string& path) {
    const auto held = held_.find(ArchiveKey(path));
    if (held == held_.end()) return archive::Archive::Take(path, fs_);
    archive::Archive claimed = std::move(held->second);
    held_.erase(held);
    return claimed;
}

void HeldArchives::Keep(archive::Archive archive) {
    std::string key = ArchiveKey(archive.Path());
    held_.insert_or_assign(std::move(key), std::move(archive));
}

}  // namespace veltrin::tool
