#include "install/folder_payload_lister.h"

#include "install/folder_listing.h"
#include "install/payload_rules.h"

namespace veltrin::install {
namespace {

// The folder's payload names; throws PayloadListError.
std::vector<std::string> ListPayload(const std::string& folder) {
    auto names = SelectPayload(ListFolder(folder));
    if (names.size() > kMaxPayloadNames)
        throw PayloadListError(folder, "It holds " + std::to_string(names.size()) + " mod files.", true);
    return names;
}

}  // namespace

void FolderPayloadLister::Point(const std::string& folder) {
    names_.clear();
    names_ = ListPayload(folder);
}

int FolderPayloadLister::Count() const { return static_cast<int>(names_.size()); }

std::string FolderPayloadLister::NameAt(int index) const { return names_.at(static_cast<size_t>(index)); }

std::optional<std::vector<std::string>> FolderPayloadLister::Peek(const std::string& folder) const {
    try {
        return ListPayload(folder);
    } catch (const PayloadListError&) {
        return std::nullopt;
    }
}

}  // namespace veltrin::install
