#pragma once
// The payload folders beside Install.exe, in the order the installer takes
// them. Each is named after the archive in the game's models folder that its
// files go into. The install job and the archive tool's check of a mod both
// take the names from here.
#include <array>
#include <string_view>

namespace veltrin::install {

inline constexpr std::array<std::string_view, 2> kPayloadFolders = {"gta3.img", "player.img"};

}  // namespace veltrin::install
