#pragma once
// The payload folders beside Install.exe, in the order the installer takes
// them. Each is named after the archive in the game's models folder that its
// files go into. The install job, the archive tool's check of a mod and its
// status of a game all take the names from here.
#include <array>
#include <string_view>

namespace veltrin::install {

inline constexpr std::array<std::string_view, 2> kPayloadFolders = {"gta3.img", "player.img"};

// The game's folder that holds the archives.
inline constexpr std::string_view kModelsFolder = "models";

}  // namespace veltrin::install
