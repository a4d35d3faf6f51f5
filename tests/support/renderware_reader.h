#pragma once
// A strict reader of RenderWare binary streams as the game's PC files carry
// them: a whole .dff (one clump) into a model description and a whole .txd
// (one Direct3D 9 texture dictionary) into a dictionary description. Written
// from the format's documentation for the tests, apart from anything that
// writes these files. Every fault in the bytes throws FormatError naming the
// file offset and what was expected there.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace veltrin::renderware::test {

class FormatError : public std::runtime_error {
public:
    FormatError(size_t offset, const std::string& message);
    // Where in the file the fault lies.
    size_t offset() const { return offset_; }

private:
    size_t offset_;
};

inline constexpr uint32_t kStruct = 0x01;
inline constexpr uint32_t kString = 0x02;
inline constexpr uint32_t kExtension = 0x03;
inline constexpr uint32_t kLight = 0x12;
inline constexpr uint32_t kCamera = 0x05;
inline constexpr uint32_t kTexture = 0x06;
inline constexpr uint32_t kMaterial = 0x07;
inline constexpr uint32_t kMaterialList = 0x08;
inline constexpr uint32_t kFrameList = 0x0E;
inline constexpr uint32_t kGeometry = 0x0F;
inline constexpr uint32_t kClump = 0x10;
inline constexpr uint32_t kAtomic = 0x14;
inline constexpr uint32_t kTextureNative = 0x15;
inline constexpr uint32_t kTextureDictionary = 0x16;
inline constexpr uint32_t kGeometryList = 0x1A;
inline constexpr uint32_t kNodeName = 0x0253F2FE;

// The stamp of the PC game's files: RenderWare 3.6.0.3.
inline constexpr uint32_t kGameStamp = 0x1803FFFF;

// Direct3D formats of a texture native.
inline constexpr uint32_t kD3dA8R8G8B8 = 21;
inline constexpr uint32_t kD3dX8R8G8B8 = 22;
inline constexpr uint32_t kD3dDxt1 = 0x31545844;  // "DXT1"
inline constexpr uint32_t kD3dDxt3 = 0x33545844;  // "DXT3"
inline constexpr uint32_t kD3dDxt5 = 0x35545844;  // "DXT5"

// The name of a chunk type ("Clump", "Struct", ...; "chunk 0x..." for others).
std::string ChunkName(uint32_t type);

// One chunk the reader walked, in file order; depth 0 is the file's top chunk.
struct ChunkSpan {
    uint32_t type = 0;
    uint32_t size = 0;       // payload bytes
    size_t offset = 0;       // of the 12-byte header
    int depth = 0;
    size_t payload() const { return offset + 12; }
    size_t end() const { return payload() + size; }
};

// ----- .dff -----

struct Frame {
    int32_t parent = -1;  // index of the parent frame, -1 for the root
    std::string name;     // from the Node name in the frame's Extension ("" when none)
    size_t offset = 0;    // of the frame's 56 bytes in the frame list's Struct
};

struct Triangle {
    uint16_t v0 = 0, v1 = 0, v2 = 0;
    uint16_t material = 0;
    size_t offset = 0;  // of the triangle's 8 bytes: v1, v0, material, v2 (u16 each)
};

struct Material {
    uint8_t red = 0, green = 0, blue = 0, alpha = 0;
    bool textured = false;
    std::string texture_name;  // when textured
    std::string mask_name;     // when textured
    size_t offset = 0;         // of the Material chunk's header
};

struct Geometry {
    uint32_t flags = 0;
    int32_t triangle_count = 0;
    int32_t vertex_count = 0;
    int32_t morph_target_count = 0;
    uint32_t texture_set_count = 0;
    std::vector<Triangle> triangles;
    std::vector<Material> materials;  // one per material-list slot (a reused slot repeats its material)
    size_t offset = 0;                // of the Geometry chunk's header
};

struct Atomic {
    int32_t frame = 0;
    int32_t geometry = 0;
    uint32_t flags = 0;
    size_t offset = 0;  // of the atomic's Struct payload (frame index first)
};

struct Model {
    uint32_t stamp = 0;
    int32_t atomic_count = 0;
    int32_t light_count = 0;
    int32_t camera_count = 0;
    std::vector<Frame> frames;
    std::vector<Geometry> geometries;
    std::vector<Atomic> atomics;
    std::vector<ChunkSpan> chunks;
};

// Parses a whole .dff: exactly one Clump and nothing after it.
Model ParseModel(std::string_view bytes);

// ----- .txd -----

struct MipLevel {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t size = 0;  // bytes of pixels
    size_t offset = 0;  // of the level's u32 byte size
};

struct TextureNative {
    uint32_t platform = 0;
    uint8_t filter = 0;
    uint8_t addressing = 0;
    std::string name;
    std::string mask_name;
    uint32_t raster_format = 0;
    uint32_t d3d_format = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint8_t depth = 0;
    uint8_t mip_count = 0;
    uint8_t raster_type = 0;
    uint8_t flags = 0;
    std::vector<MipLevel> levels;
    size_t offset = 0;  // of the native's Struct payload (platform first)
};

struct TextureDictionary {
    uint32_t stamp = 0;
    uint16_t texture_count = 0;
    uint16_t device_id = 0;
    std::vector<TextureNative> textures;
    std::vector<ChunkSpan> chunks;
};

// Parses a whole .txd: exactly one Texture dictionary and nothing after it.
TextureDictionary ParseTextureDictionary(std::string_view bytes);

}  // namespace veltrin::renderware::test
