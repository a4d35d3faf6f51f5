#pragma once
// Whether a mod file is the RenderWare binary stream its extension promises:
// a model (.dff, a clump) or a texture dictionary (.txd). Only the chunk tree
// is checked: every chunk's header, that children fill their parent exactly,
// and the library stamp; what the chunks hold is the game's business.
#include <cstdint>
#include <span>
#include <string>

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

// "3.6.0.3" for the stamp 0x1803FFFF; older stamps hold the version alone
// (0x310 is 3.1.0.0).
std::string LibraryVersionText(uint32_t stamp);

}  // namespace veltrin::tool
