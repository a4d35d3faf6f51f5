#pragma once
// A count with its noun: "1 byte", "2 bytes"; and names listed up to a
// limit: "a.dff, b.txd and 3 more".
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace veltrin::text {

inline std::string Counted(uint64_t count, std::string_view one, std::string_view many) {
    return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

// The first `limit` names, joined by ", ", then " and N more" for the rest:
// a line that stays readable however many there are.
inline std::string ListedUpTo(const std::vector<std::string>& names, size_t limit) {
    std::string text;
    for (size_t i = 0; i < names.size() && i < limit; ++i) text += (i == 0 ? "" : ", ") + names[i];
    if (names.size() > limit) text += " and " + std::to_string(names.size() - limit) + " more";
    return text;
}

}  // namespace veltrin::text
