#include "tool/common/publish_group.h"

#include <exception>

#include "archive/names.h"
#include "text/path_text.h"

namespace veltrin::tool {

PublishGroup::~PublishGroup() { Discard(); }

void PublishGroup::Write(const std::string& path, std::span<const uint8_t> bytes) {
    WriteWith(path, [&](archive::File& file) {
        if (!bytes.empty()) file.WriteAt(0, bytes);
    });
}

void PublishGroup::WriteWith(const std::string& path, const std::function<void(archive::File&)>& fill) {
    const std::string folder(text::FolderOf(path));
    if (!folder.empty() && folder != lastFolder_) {
        if (!fs_.Exists(folder)) fs_.CreateDirectories(folder);
        lastFolder_ = folder;
    }
    // A target that is the scratch file of a waiting one takes its place
    // only once that one has moved on.
    if (scratch_.count(archive::FoldedName(path)) != 0) Publish();
    const std::string partial = ScratchFor(path);
    try {
        fill(*fs_.Open(partial, archive::OpenMode::CreateAlways));
    } catch (...) {
        try {
            if (fs_.Exists(partial)) fs_.Remove(partial);
        } catch (const std::exception&) {
            // A leftover is harmless: it is never taken for the file itself.
        }
        throw;
    }
    moves_.push_back({partial, path});
    targets_.insert(archive::FoldedName(path));
    scratch_.insert(archive::FoldedName(partial));
    everyTarget_.insert(archive::FoldedName(path));
}

// path + ".partial", unless this run has written or waits to write a file of
// that name: then as many "~" more as it takes to be a name of its own.
std::string PublishGroup::ScratchFor(const std::string& path) const {
    std::string partial = path + std::string(kScratchSuffix);
    while (everyTarget_.count(archive::FoldedName(partial)) != 0) partial += '~';
    return partial;
}

bool PublishGroup::Has(const std::string& path) const { return targets_.count(archive::FoldedName(path)) != 0; }

void PublishGroup::Publish() {
    if (moves_.empty()) return;
    try {
        fs_.FlushAndReplaceEach(moves_);
    } catch (...) {
        Discard();  // what was moved stays; the rest is removed
        throw;
    }
    moves_.clear();
    targets_.clear();
    scratch_.clear();
}

void PublishGroup::Discard() noexcept {
    for (const auto& move : moves_) {
        try {
            if (fs_.Exists(move.from)) fs_.Remove(move.from);
        } catch (const std::exception&) {
            // A leftover is harmless: it is never taken for the file itself.
        }
    }
    moves_.clear();
    targets_.clear();
    scratch_.clear();
}

}  // namespace veltrin::tool
