#include "install/payload_rules.h"

#include <algorithm>

namespace veltrin::install {
namespace {

unsigned char Fold(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte >= 'A' && byte <= 'Z') ? static_cast<unsigned char>(byte - 'A' + 'a') : byte;
}

bool EndsWithFolded(std::string_view name, std::string_view suffix) {
    if (name.size() < suffix.size()) return false;
    const auto tail = name.substr(name.size() - suffix.size());
    return std::equal(tail.begin(), tail.end(), suffix.begin(),
                      [](char a, char b) { return Fold(a) == static_cast<unsigned char>(b); });
}

}  // namespace

bool IsPayloadName(std::string_view name) { return EndsWithFolded(name, ".dff") || EndsWithFolded(name, ".txd"); }

bool PayloadNameLess(std::string_view a, std::string_view b) {
    const bool foldedLess = std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                                         [](char x, char y) { return Fold(x) < Fold(y); });
    if (foldedLess) return true;
    const bool foldedGreater = std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end(),
                                                            [](char x, char y) { return Fold(x) < Fold(y); });
    if (foldedGreater) return false;
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
