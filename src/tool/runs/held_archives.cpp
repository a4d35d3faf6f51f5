#include "tool/runs/held_archives.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "archive/names.h"

namespace veltrin::tool {
namespace {

// One archive's key however a script spells its path: either separator,
// letters in any case, "." and ".." folders resolved. (A spelling this does
// not reach, a short name or a link, is refused as in use where it is taken,
// before anything is saved.)
std::string KeyOf(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    const auto end = [&] {
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (part != "." && !(part.empty() && !parts.empty())) {
            parts.push_back(part);
        }
        part.clear();
    };
    for (const char c : path) {
        if (c == '/' || c == '\\') {
            end();
        } else {
            part += c;
        }
    }
    end();
    std::string key;
    for (const std::string& each : parts) key += (key.empty() ? "" : "\\") + each;
    return archive::FoldedName(key);
}

}  // namespace

void HeldArchives::Take(const std::string& path) {
    const std::string key = KeyOf(path);
    if (held_.count(key) != 0 || !fs_.Exists(path)) return;
    held_.emplace(key, archive::Archive::Take(path, fs_));
}

archive::Archive HeldArchives::Claim(const std::string& path) {
    const auto held = held_.find(KeyOf(path));
    if (held == held_.end()) return archive::Archive::Take(path, fs_);
    archive::Archive claimed = std::move(held->second);
    held_.erase(held);
    return claimed;
}

void HeldArchives::Keep(archive::Archive archive) {
    std::string key = KeyOf(archive.Path());
    held_.insert_or_assign(std::move(key), std::move(archive));
}

}  // namespace veltrin::tool
