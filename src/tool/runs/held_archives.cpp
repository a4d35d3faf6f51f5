#include "tool/runs/held_archives.h"

#include <algorithm>
#include <utility>

#include "archive/archive_error.h"
#include "archive/names.h"

namespace veltrin::tool {
namespace {

// One archive's key however a script spells its path's separators.
std::string KeyOf(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return archive::FoldedName(path);
}

}  // namespace

void HeldArchives::Take(const std::string& path) {
    const std::string key = KeyOf(path);
    if (held_.count(key) != 0 || !fs_.Exists(path)) return;
    try {
        held_.emplace(key, archive::Archive::Take(path, fs_));
    } catch (const archive::ArchiveError& error) {
        // Another spelling of an archive held already (a relative path, a
        // "..") is refused as in use: the run takes it where it opens it.
        if (error.kind() != archive::ErrorKind::Locked || held_.empty()) throw;
    }
}

archive::Archive HeldArchives::Claim(const std::string& path) {
    const auto held = held_.find(KeyOf(path));
    if (held != held_.end()) {
        archive::Archive claimed = std::move(held->second);
        held_.erase(held);
        return claimed;
    }
    try {
        return archive::Archive::Take(path, fs_);
    } catch (const archive::ArchiveError& error) {
        if (error.kind() != archive::ErrorKind::Locked || held_.empty()) throw;
    }
    // What holds it may be the run itself, under another spelling: the run
    // goes on archive by archive, as it opens them.
    held_.clear();
    return archive::Archive::Take(path, fs_);
}

void HeldArchives::Keep(archive::Archive archive) {
    std::string key = KeyOf(archive.Path());
    held_.insert_or_assign(std::move(key), std::move(archive));
}

}  // namespace veltrin::tool
