#pragma once
// The tool's version, as the project states it once (CMakeLists.txt).
#include <string_view>

namespace veltrin::tool {

inline constexpr std::string_view kToolVersion = VELTRIN_VERSION;

}  // namespace veltrin::tool
