#pragma once
// The archive tool's ending in a player's words, from its exit status, for
// the failure report of an install that did not finish.
#include <cstdint>
#include <string>

namespace veltrin::install {

// "The archive tool ended with status 6: an archive of the game is in use by
// another program; close the game and install again."
std::string ToolEndingText(std::uint32_t status);

}  // namespace veltrin::install
