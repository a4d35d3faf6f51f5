#pragma once
// Entry names: what the format and the game accept, and how they compare.
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

namespace veltrin::archive {

// The name with ASCII letters folded to lower case: the key under which
// names count as the same.
std::string FoldedName(std::string_view name);

// Names as keys without regard to ASCII case, looked up without copying.
struct FoldedHash {
    size_t operator()(std::string_view name) const noexcept;
};
struct FoldedEqual {
    bool operator()(std::string_view a, std::string_view b) const noexcept;
};
// Points into the names it indexes, which must outlive it.
template <typename Value>
using FoldedMap = std::unordered_map<std::string_view, Value, FoldedHash, FoldedEqual>;

}  // namespace veltrin::archive
