#pragma once
// A count with its noun: "1 byte", "2 bytes".
#include <cstdint>
#include <string>
#include <string_view>

namespace veltrin::text {

inline std::string Counted(uint64_t count, std::string_view one, std::string_view many) {
    return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

}  // namespace veltrin::text
