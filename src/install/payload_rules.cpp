#include "install/payload_rules.h"

#include <algorithm>

#include "text/ascii.h"

namespace veltrin::install {
namespace {

bool EndsWithFolded(std::string_view name, std::string_view suffix) {
    return name.size() >= suffix.size() &&
           text::EqualIgnoringAsciiCase(name.substr(name.size() - suffix.size()), suffix);
}

}  // namespace

bool IsPayloadName(std::string_view name) { return EndsWithFolded(name, ".dff") || EndsWithFolded(name, ".txd"); }

bool PayloadNameLess(std::string_view a, std::string_view b) {
    if (text::LessIgnoringAsciiCase(a, b)) return true;
    if (text::LessIgnoringAsciiCase(b, a)) return false;
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    });
}

std::vector<std::string> SelectPayload(const std::vector<FolderEntry>& entries) {
    std::vector<std::string> names;
    for (const auto& entry : entries) {
        if (entry.isFolder || entry.hidden || entry.system || !IsPayloadName(entry.name)) continue;
        names.push_back(entry.name);
    }
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return PayloadNameLess(a, b); });
    return names;
}

}  // namespace veltrin::install
