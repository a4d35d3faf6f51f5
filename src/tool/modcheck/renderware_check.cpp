#include "tool/modcheck/renderware_check.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "text/counted.h"

namespace veltrin::tool {
namespace {

constexpr uint64_t kHeaderSize = 12;
// Deeper than any file the game loads; a bound for the walk's recursion.
constexpr int kMaxDepth = 64;
// Files taken out of an archive end in zeros up to the next whole sector.
constexpr uint64_t kSectorSize = 2048;

enum ChunkType : uint32_t {
    kStruct = 0x01,
    kString = 0x02,
    kExtension = 0x03,
    kTexture = 0x06,
    kMaterial = 0x07,
    kMaterialList = 0x08,
    kFrameList = 0x0E,
    kGeometry = 0x0F,
    kClump = 0x10,
    kAtomic = 0x14,
    kTextureNative = 0x15,
    kDictionary = 0x16,
    kGeometryList = 0x1A,
    kUvAnimationDictionary = 0x2B,
};

struct Header {
    uint32_t type = 0;
    uint32_t size = 0;
    uint32_t stamp = 0;
};

uint32_t U32(std::span<const uint8_t> bytes, uint64_t at) {
    return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
           uint32_t{bytes[at + 3]} << 24;
}

Header HeaderAt(std::span<const uint8_t> bytes, uint64_t at) {
    return {U32(bytes, at), U32(bytes, at + 4), U32(bytes, at + 8)};
}

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
    return text;
}

struct KnownChunk {
    uint32_t type;
    const char* name;
};

constexpr KnownChunk kKnownChunks[] = {
    {kStruct, "struct"},
    {kString, "string"},
    {kExtension, "extension"},
    {kTexture, "texture"},
    {kMaterial, "material"},
    {kMaterialList, "material list"},
    {kFrameList, "frame list"},
    {kGeometry, "geometry"},
    {kClump, "clump"},
    {kAtomic, "atomic"},
    {kTextureNative, "texture native"},
    {kDictionary, "texture dictionary"},
    {kGeometryList, "geometry list"},
    {kUvAnimationDictionary, "UV animation dictionary"},
};

const KnownChunk* Known(uint32_t type) {
    for (const auto& chunk : kKnownChunks)
        if (chunk.type == type) return &chunk;
    return nullptr;
}

// The chunk's name and type, for example "clump (0x10)".
std::string ChunkName(uint32_t type) {
    const KnownChunk* known = Known(type);
    if (known == nullptr) return "chunk of type " + Hex(type);
    return std::string(known->name) + " (" + Hex(type) + ")";
}

// Chunks whose payload is nothing but further chunks.
bool IsContainer(uint32_t type) {
    switch (type) {
    case kExtension:
    case kTexture:
    case kMaterial:
    case kMaterialList:
    case kFrameList:
    case kGeometry:
    case kClump:
    case kAtomic:
    case kTextureNative:
    case kDictionary:
    case kGeometryList:
        return true;
    default:
        return false;
    }
}

// "a clump (0x10)", "an atomic (0x14)".
std::string WithArticle(uint32_t type) {
    const std::string name = ChunkName(type);
    return (std::string_view("aeiouAEIOU").find(name.front()) == std::string_view::npos ? "a " : "an ") + name;
}

class TreeWalk {
public:
    explicit TreeWalk(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    // Checks that the payload of the chunk at `at` is made of whole chunks
    // that fill it exactly, and so on down. Returns the first fault found.
    std::string Children(uint64_t at, const Header& parent, int depth) {
        const uint64_t begin = at + kHeaderSize;
        const uint64_t end = begin + parent.size;
        if (depth >= kMaxDepth) return "its chunks are nested more than " + std::to_string(kMaxDepth) + " deep";
        bool first = true;
        for (uint64_t pos = begin; pos < end;) {
            if (end - pos < kHeaderSize)
                return "the last " + text::Counted(end - pos, "byte", "bytes") + " of the " + ChunkName(parent.type) +
                       " at byte " + std::to_string(at) + " are not a whole chunk";
            const Header child = HeaderAt(bytes_, pos);
            if (first && (parent.type == kClump || parent.type == kDictionary) && child.type != kStruct)
                return "the " + ChunkName(parent.type) + " does not begin with its struct (0x1)";
            first = false;
            const uint64_t childEnd = pos + kHeaderSize + child.size;
            if (childEnd > end)
                return "the " + ChunkName(child.type) + " at byte " + std::to_string(pos) + " runs " +
                       text::Counted(childEnd - end, "byte", "bytes") + " past the end of the " +
                       ChunkName(parent.type) + " that holds it";
            if (IsContainer(child.type)) {
                std::string problem = Children(pos, child, depth + 1);
                if (!problem.empty()) return problem;
            }
            pos = childEnd;
        }
        if (first && (parent.type == kClump || parent.type == kDictionary))
            return "the " + ChunkName(parent.type) + " is empty";
        return {};
    }

private:
    std::span<const uint8_t> bytes_;
};

uint32_t LibraryVersion(uint32_t stamp) {
    if ((stamp & 0xFFFF0000) == 0) return stamp << 8;
    return (((stamp >> 14) & 0x3FF00) + 0x30000) | ((stamp >> 16) & 0x3F);
}

std::string TruncatedText(const Header& header, uint64_t at, uint64_t fileSize) {
    const uint64_t end = at + kHeaderSize + header.size;
    return "truncated: its " + ChunkName(header.type) + " says " + text::Counted(header.size, "byte", "bytes") +
           " follow its header, and the file ends " + text::Counted(end - fileSize, "byte", "bytes") + " short of that";
}

// What the struct at the start of the top chunk counts: atomics of a clump,
// textures of a dictionary.
std::string Contents(std::span<const uint8_t> bytes, uint64_t at, const Header& top) {
    if (top.size < kHeaderSize) return {};
    const Header first = HeaderAt(bytes, at + kHeaderSize);
    const uint64_t payload = at + 2 * kHeaderSize;
    if (top.type == kClump && first.size >= 4) return text::Counted(U32(bytes, payload), "atomic", "atomics");
    if (top.type == kDictionary && first.size >= 2)
        return text::Counted(uint32_t{bytes[payload]} | uint32_t{bytes[payload + 1]} << 8, "texture", "textures");
    return {};
}

// The texture native's struct, as the PC's Direct3D 8 and 9 write it: 72
// bytes of platform, filtering and names, then the raster's format.
namespace native {
constexpr uint64_t kPlatform = 0;
constexpr uint64_t kName = 8;
constexpr uint64_t kNameSize = 32;
constexpr uint64_t kRasterFormat = 72;
constexpr uint64_t kD3dFormat = 76;  // Direct3D 9; "has alpha" on Direct3D 8
constexpr uint64_t kDepth = 84;
constexpr uint64_t kFlags = 87;  // Direct3D 9: 8 is compressed; Direct3D 8: the DXT number
constexpr uint64_t kSize = 88;

constexpr uint32_t kDirect3D8 = 8;
constexpr uint32_t kDirect3D9 = 9;
constexpr uint8_t kCompressedFlag = 8;
constexpr uint32_t kPalette8 = 0x2000;
constexpr uint32_t kPalette4 = 0x4000;
}  // namespace native

// The pixel layout a raster format names, for example "565".
std::string PixelLayout(uint32_t rasterFormat) {
    switch (rasterFormat & 0x0F00) {
    case 0x0100:
        return "1555";
    case 0x0200:
        return "565";
    case 0x0300:
        return "4444";
    case 0x0400:
        return "LUM8, grey";
    case 0x0500:
        return "8888";
    case 0x0600:
        return "888";
    case 0x0A00:
        return "555";
    default:
        return "raster format " + Hex(rasterFormat);
    }
}

// A Direct3D format code that is four characters ("DXT1") as text, else empty.
std::string FourCharacters(uint32_t code) {
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        const auto c = static_cast<char>((code >> shift) & 0xFF);
        if (c < '0' || c > 'Z' || (c > '9' && c < 'A')) return {};
        text += c;
    }
    return text;
}

// What keeps the texture native whose struct payload this is from being
// blended, or empty when it is 32 bits per pixel, uncompressed.
std::string NotBlendable(std::span<const uint8_t> data) {
    if (data.size() < native::kSize)
        return "has a struct of " + text::Counted(data.size(), "byte", "bytes") + ", too short to hold its format";
    const uint32_t platform = U32(data, native::kPlatform);
    if (platform != native::kDirect3D9 && platform != native::kDirect3D8)
        return "is made for platform " + Hex(platform) + ", not the PC's Direct3D 9 (0x9): its format cannot be told";
    const uint32_t rasterFormat = U32(data, native::kRasterFormat);
    const uint32_t d3dFormat = U32(data, native::kD3dFormat);
    const uint8_t depth = data[native::kDepth];
    const uint8_t flags = data[native::kFlags];
    const std::string fourCharacters = platform == native::kDirect3D9 ? FourCharacters(d3dFormat) : "";
    if (platform == native::kDirect3D9 ? (flags & native::kCompressedFlag) != 0 || !fourCharacters.empty()
                                       : flags != 0) {
        if (platform == native::kDirect3D8) return "is DXT" + std::to_string(flags) + " compressed";
        return "is " + (fourCharacters.empty() ? std::string("block") : fourCharacters) + " compressed";
    }
    if (rasterFormat & (native::kPalette8 | native::kPalette4))
        return "is " + std::to_string(depth) + " bits per pixel with a palette (" +
               ((rasterFormat & native::kPalette8) ? "PAL8" : "PAL4") + ")";
    if (depth != 32) return "is " + std::to_string(depth) + " bits per pixel (" + PixelLayout(rasterFormat) + ")";
    return {};
}

// The name field as printable text.
std::string TextureName(std::span<const uint8_t> data) {
    std::string name;
    for (uint64_t i = native::kName; i < std::min<uint64_t>(data.size(), native::kName + native::kNameSize); ++i) {
        if (data[i] == 0) break;
        name += data[i] >= 0x20 && data[i] < 0x7F ? static_cast<char>(data[i]) : '?';
    }
    return name;
}

}  // namespace

std::vector<std::string> TexturesNotBlendable(std::span<const uint8_t> bytes) {
    std::vector<std::string> found;
    if (bytes.size() < kHeaderSize) return found;
    const Header top = HeaderAt(bytes, 0);
    if (top.type != kDictionary) return found;
    const uint64_t end = std::min<uint64_t>(bytes.size(), kHeaderSize + uint64_t{top.size});
    int index = 0;
    for (uint64_t at = kHeaderSize; end - at >= kHeaderSize;) {
        const Header chunk = HeaderAt(bytes, at);
        const uint64_t chunkEnd = at + kHeaderSize + chunk.size;
        if (chunkEnd > end) break;
        if (chunk.type == kTextureNative) {
            ++index;
            const uint64_t inner = at + kHeaderSize;
            std::string why = "has no struct";
            std::string name;
            if (chunkEnd - inner >= kHeaderSize && HeaderAt(bytes, inner).type == kStruct &&
                inner + kHeaderSize + HeaderAt(bytes, inner).size <= chunkEnd) {
                const auto data = bytes.subspan(inner + kHeaderSize, HeaderAt(bytes, inner).size);
                why = NotBlendable(data);
                name = TextureName(data);
            }
            if (!why.empty())
                found.push_back("texture " + (name.empty() ? "number " + std::to_string(index) : "\"" + name + "\"") +
                                " " + why);
        }
        at = chunkEnd;
    }
    return found;
}

std::string LibraryVersionText(uint32_t stamp) {
    const uint32_t version = LibraryVersion(stamp);
    return std::to_string((version >> 16) & 0xF) + "." + std::to_string((version >> 12) & 0xF) + "." +
           std::to_string((version >> 8) & 0xF) + "." + std::to_string(version & 0xFF);
}

StreamCheck CheckRenderWareStream(std::span<const uint8_t> bytes, StreamKind expected) {
    StreamCheck check;
    const uint64_t size = bytes.size();
    if (size == 0) {
        check.problem = "the file is empty";
        return check;
    }
    uint64_t at = 0;
    // A model may carry its UV animations in a dictionary ahead of the clump.
    if (expected == StreamKind::Model) {
        while (size - at >= kHeaderSize && HeaderAt(bytes, at).type == kUvAnimationDictionary) {
            const Header header = HeaderAt(bytes, at);
            if (at + kHeaderSize + header.size > size) {
                check.problem = TruncatedText(header, at, size);
                return check;
            }
            at += kHeaderSize + header.size;
        }
    }
    if (size - at < kHeaderSize) {
        check.problem = at == 0 ? "the file is " + text::Counted(size, "byte", "bytes") +
                                      " long, shorter than one RenderWare chunk header (12 bytes)"
                                : "nothing follows its UV animation dictionary (0x2B)";
        return check;
    }
    const Header top = HeaderAt(bytes, at);
    const uint32_t wanted = expected == StreamKind::Model ? kClump : kDictionary;
    if (Known(top.type) == nullptr) {
        check.problem =
            "not a RenderWare binary stream: its first 4 bytes (" + Hex(top.type) + ") name no RenderWare chunk";
        return check;
    }
    if (top.type != wanted) {
        if (top.type == kDictionary)
            check.problem = "it holds a texture dictionary (0x16), not a model: a .dff begins with a clump (0x10)";
        else if (top.type == kClump)
            check.problem =
                "it holds a model (clump, 0x10), not a texture dictionary: a .txd begins with a "
                "texture dictionary (0x16)";
        else
            check.problem = "its first chunk is " + WithArticle(top.type) + ", not " + WithArticle(wanted);
        return check;
    }
    const uint64_t topEnd = at + kHeaderSize + top.size;
    if (topEnd > size) {
        check.problem = TruncatedText(top, at, size);
        return check;
    }
    check.problem = TreeWalk(bytes).Children(at, top, 0);
    if (!check.problem.empty()) return check;
    const uint64_t rest = size - topEnd;
    const bool padding = rest < kSectorSize && std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(topEnd),
                                                           bytes.end(), [](uint8_t b) { return b == 0; });
    if (rest > 0 && !padding) {
        check.problem = "the file goes on for " + text::Counted(rest, "byte", "bytes") + " after its " +
                        ChunkName(top.type) + ", which does not cover them";
        return check;
    }
    const std::string version = LibraryVersionText(top.stamp);
    if ((LibraryVersion(top.stamp) >> 12) != 0x36)
        check.warning = "its library stamp " + Hex(top.stamp) + " is RenderWare " + version +
                        ", not the PC game's 3.6 (" + Hex(kGameLibraryStamp) + "): the game may not load it";
    const std::string contents = Contents(bytes, at, top);
    if (expected == StreamKind::Model)
        check.description = "a model (clump" + (contents.empty() ? "" : ", " + contents) + ")";
    else
        check.description = "a texture dictionary" + (contents.empty() ? "" : " (" + contents + ")");
    check.description += ", RenderWare " + version;
    return check;
}

}  // namespace veltrin::tool
