#pragma once
// Entry names: what the format and the game accept, and how they compare.
#include <string>
#include <string_view>

namespace veltrin::archive {

// The name with ASCII letters folded to lower case: the key under which
// names count as the same.
std::string FoldedName(std::string_view name);

}  // namespace veltrin::archive
