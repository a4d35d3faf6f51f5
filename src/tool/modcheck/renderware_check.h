#pragma once
// Whether a mod file is the RenderWare binary stream its extension promises:
// a model (.dff, a clump) or a texture dictionary (.txd). Only the chunk tree
// is checked: every chunk's header, that children fill their parent exactly,
// and the library stamp; what the chunks hold is the game's business.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace veltrin::tool {

enum class StreamKind { Model, TextureDictionary };

// The library stamp the PC game's own files carry (RenderWare 3.6.0.3).
inline constexpr uint32_t kGameLibraryStamp = 0x1803FFFF;

struct StreamCheck {
    std::string problem;      // why the game cannot load it; empty when sound
    std::string warning;      // what may keep the game from loading it
    std::string description;  // what it holds, for example "a model (clump, 1 atomic), RenderWare 3.6.0.3"
};

StreamCheck CheckRenderWareStream(std::span<const uint8_t> bytes, StreamKind expected);

// The game blends the textures of player.img (CJ's clothes) pixel by pixel
// and assumes 32 bits per pixel, uncompressed. For each texture native of a
// texture dictionary that is not so, its name and format, for example
// "texture \"cap\" is DXT1 compressed". Read from the Direct3D texture
// native of the PC (platform 9, and 8 as older tools write); a texture of
// another platform, or whose struct is too short to hold its format, is
// named as such. Empty when every texture is fine, and for bytes that are not
// a texture dictionary. Safe on any bytes.
std::vector<std::string> TexturesNotBlendable(std::span<const uint8_t> bytes);

// "3.6.0.3" for the stamp 0x1803FFFF; older stamps hold the version alone
// (0x310 is 3.1.0.0).
std::string LibraryVersionText(uint32_t stamp);

}  // namespace veltrin::tool
