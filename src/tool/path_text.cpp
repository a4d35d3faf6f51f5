#include "tool/path_text.h"

namespace veltrin::tool {

std::string_view FileNameOf(std::string_view path) {
    const size_t cut = path.find_last_of("\\/");
    return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

std::string_view FolderOf(std::string_view path) {
    const size_t cut = path.find_last_of("\\/");
    return cut == std::string_view::npos ? std::string_view() : path.substr(0, cut);
}

}  // namespace veltrin::tool
