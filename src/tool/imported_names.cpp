#include "tool/imported_names.h"

#include <utility>

#include "archive/names.h"

namespace veltrin::tool {

bool ImportedNames::Import(archive::Archive& archive, std::string_view name, const std::string& path) {
    std::string folded = archive::FoldedName(name);
    const bool replaces = archive.Find(name) != nullptr || folded_.count(folded) != 0;
    archive.PutFile(name, path);
    folded_.insert(std::move(folded));
    return replaces;
}

}  // namespace veltrin::tool
