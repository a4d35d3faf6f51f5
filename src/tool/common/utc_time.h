#pragma once
// Times as the tool shows them: "YYYY-MM-DD hh:mm UTC".
#include <cstdint>
#include <string>

namespace veltrin::tool {

// Seconds since 1970 in the civil calendar, to the minute.
std::string UtcTimeText(uint64_t seconds);

// Seconds since 1970, now.
uint64_t SecondsNow();

}  // namespace veltrin::tool
