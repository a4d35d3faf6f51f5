#include "install/folder_payload_lister.h"

#include "install/folder_listing.h"
#include "install/payload_rules.h"

namespace veltrin::install {

void FolderPayloadLister::Point(const std::string& folder) {
    names_.clear();
    auto names = SelectPayload(ListFolder(folder));
    if (names.size() > kMaxPayloadNames)
        throw PayloadListError(folder, "It holds " + std::to_string(names.size()) + " mod files.", true);
    names_ = std::move(names);
}

int FolderPayloadLister::Count() const { return static_cast<int>(names_.size()); }

std::string FolderPayloadLister::NameAt(int index) const { return names_.at(static_cast<size_t>(index)); }

}  // namespace veltrin::install
