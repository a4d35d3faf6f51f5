#include "renderware_reader.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace veltrin::renderware::test {
namespace {

constexpr size_t kHeaderSize = 12;

// Geometry flags.
constexpr uint32_t kGeometryPositions = 0x02;
constexpr uint32_t kGeometryTextured = 0x04;
constexpr uint32_t kGeometryPrelit = 0x08;
constexpr uint32_t kGeometryNormals = 0x10;
constexpr uint32_t kGeometryTextured2 = 0x80;
constexpr uint32_t kGeometryNative = 0x01000000;

// Texture native: platform, raster format bits and flags.
constexpr uint32_t kPlatformD3d9 = 9;
constexpr uint32_t kRasterPixelMask = 0x0F00;
constexpr uint32_t kRaster8888 = 0x0500;
constexpr uint32_t kRaster888 = 0x0600;
constexpr uint32_t kRasterPalette8 = 0x2000;
constexpr uint32_t kRasterPalette4 = 0x4000;
constexpr uint8_t kNativeCube = 0x02;
constexpr uint8_t kNativeCompressed = 0x08;
constexpr size_t kNativeHeaderSize = 88;
constexpr size_t kNativeNameSize = 32;

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string Num(uint64_t value) { return std::to_string(value); }

std::string Named(uint32_t type) { return ChunkName(type) + " (" + Hex(type) + ")"; }

// A stretch of the file still to be read: the payload of one chunk (or the
// whole file), read from the front.
struct Range {
    size_t begin = 0;
    size_t end = 0;
    std::string owner;  // for messages: "the file", "the Clump at 0x0", ...
    int depth = 0;      // of the chunks inside
    size_t left() const { return end - begin; }
};

class Stream {
public:
    Stream(std::string_view bytes, std::vector<ChunkSpan>& chunks) : bytes_(bytes), chunks_(chunks) {}

    Range File() const { return Range{0, bytes_.size(), "the file", 0}; }

    static Range Payload(const ChunkSpan& chunk) {
        return Range{chunk.payload(), chunk.end(), "the " + ChunkName(chunk.type) + " at " + Hex(chunk.offset),
                     chunk.depth + 1};
    }

    uint32_t stamp() const { return stamp_; }

    // The next chunk in the range, of any type: its header is whole, carries
    // the file's library stamp, and its payload lies inside the range.
    ChunkSpan Next(Range& parent) {
        const size_t at = parent.begin;
        if (parent.left() < kHeaderSize) {
            throw FormatError(at, "expected a chunk header (12 bytes), but only " + Num(parent.left()) +
                                      " bytes are left in " + parent.owner);
        }
        ChunkSpan chunk;
        chunk.type = Le32(at);
        chunk.size = Le32(at + 4);
        chunk.offset = at;
        chunk.depth = parent.depth;
        CheckStamp(at + 8, chunk.type);
        if (chunk.size > parent.left() - kHeaderSize) {
            throw FormatError(at + 4, ChunkName(chunk.type) + "'s size " + Num(chunk.size) + " runs past the end of " +
                                          parent.owner + " (" + Num(parent.left() - kHeaderSize) +
                                          " bytes are left after its header)");
        }
        parent.begin = chunk.end();
        chunks_.push_back(chunk);
        return chunk;
    }

    // The next chunk, which must be of the given type.
    ChunkSpan Child(Range& parent, uint32_t type) {
        if (parent.left() >= 4 && Le32(parent.begin) != type) {
            throw FormatError(parent.begin, "expected " + Named(type) + " in " + parent.owner + ", found " +
                                                Named(Le32(parent.begin)));
        }
        if (parent.left() < kHeaderSize) {
            throw FormatError(parent.begin, "expected " + Named(type) + " in " + parent.owner + ", but only " +
                                                Num(parent.left()) + " bytes are left");
        }
        return Next(parent);
    }

    // The parent's last child has been read: nothing may follow it.
    static void End(const Range& range, const std::string& after) {
        if (range.left() != 0) {
            throw FormatError(range.begin, Num(range.left()) + " bytes are left in " + range.owner + " after " + after);
        }
    }

    static void ExpectSize(const ChunkSpan& chunk, uint64_t size, const std::string& what) {
        if (chunk.size != size) {
            throw FormatError(chunk.offset + 4, what + " holds " + Num(chunk.size) + " bytes; expected " + Num(size));
        }
    }

    // An Extension: plugin chunks one after the other, covering it exactly
    // (their payloads are the plugins' own and are not looked into).
    void Extension(Range& parent) {
        Range inside = Payload(Child(parent, kExtension));
        while (inside.left() != 0) Next(inside);
    }

    void Need(const Range& range, uint64_t count, const std::string& what) const {
        if (range.left() < count) {
            throw FormatError(range.begin, "expected " + what + " (" + Num(count) + " bytes), but only " +
                                               Num(range.left()) + " bytes are left in " + range.owner);
        }
    }

    uint32_t U32(Range& range, const std::string& what) {
        Need(range, 4, what);
        const uint32_t value = Le32(range.begin);
        range.begin += 4;
        return value;
    }

    int32_t I32(Range& range, const std::string& what) { return static_cast<int32_t>(U32(range, what)); }

    // A count, which may not be negative.
    int32_t Count(Range& range, const std::string& what) {
        const size_t at = range.begin;
        const int32_t value = I32(range, what);
        if (value < 0) throw FormatError(at, what + " is " + std::to_string(value) + "; expected 0 or more");
        return value;
    }

    uint16_t U16(Range& range, const std::string& what) {
        Need(range, 2, what);
        const uint16_t value = static_cast<uint16_t>(Byte(range.begin) | (Byte(range.begin + 1) << 8));
        range.begin += 2;
        return value;
    }

    uint8_t U8(Range& range, const std::string& what) {
        Need(range, 1, what);
        return Byte(range.begin++);
    }

    std::string_view Bytes(Range& range, uint64_t count, const std::string& what) {
        Need(range, count, what);
        const std::string_view view = bytes_.substr(range.begin, static_cast<size_t>(count));
        range.begin += static_cast<size_t>(count);
        return view;
    }

private:
    uint8_t Byte(size_t at) const { return static_cast<uint8_t>(bytes_[at]); }

    uint32_t Le32(size_t at) const {
        return uint32_t{Byte(at)} | (uint32_t{Byte(at + 1)} << 8) | (uint32_t{Byte(at + 2)} << 16) |
               (uint32_t{Byte(at + 3)} << 24);
    }

    // The top chunk's stamp is the file's; every other chunk must repeat it.
    void CheckStamp(size_t at, uint32_t type) {
        const uint32_t stamp = Le32(at);
        if (have_stamp_) {
            if (stamp != stamp_) {
                throw FormatError(at, ChunkName(type) + "'s library stamp " + Hex(stamp) + " differs from the file's " +
                                          Hex(stamp_));
            }
            return;
        }
        if ((stamp & 0xFFFF0000u) == 0) {
            throw FormatError(at, "library stamp " + Hex(stamp) +
                                      " is a bare version number of an old library; expected a RenderWare 3.4 or "
                                      "later stamp such as 0x1803FFFF");
        }
        const uint32_t version = (((stamp >> 14) & 0x3FF00u) + 0x30000u) | ((stamp >> 16) & 0x3Fu);
        if (version < 0x34000u) {
            throw FormatError(at, "library stamp " + Hex(stamp) + " is RenderWare version " + Hex(version) +
                                      "; the layouts read here are those of 3.4 and later");
        }
        stamp_ = stamp;
        have_stamp_ = true;
    }

    std::string_view bytes_;
    std::vector<ChunkSpan>& chunks_;
    uint32_t stamp_ = 0;
    bool have_stamp_ = false;
};

// A String chunk: NUL-terminated, its size a multiple of 4.
std::string ReadString(Stream& stream, Range& parent, const std::string& what) {
    const ChunkSpan chunk = stream.Child(parent, kString);
    Range inside = Stream::Payload(chunk);
    const std::string_view text = stream.Bytes(inside, chunk.size, what);
    const size_t nul = text.find('\0');
    if (nul == std::string_view::npos) {
        throw FormatError(chunk.payload(),
                          what + " is not NUL-terminated within its String's " + Num(chunk.size) + " bytes");
    }
    if (chunk.size % 4 != 0) {
        throw FormatError(chunk.offset + 4,
                          "the String of " + what + " holds " + Num(chunk.size) + " bytes, not padded to a multiple of 4");
    }
    return std::string(text.substr(0, nul));
}

// ----- .dff -----

std::vector<Frame> ReadFrameList(Stream& stream, Range& clump) {
    Range list = Stream::Payload(stream.Child(clump, kFrameList));
    const ChunkSpan head = stream.Child(list, kStruct);
    Range fields = Stream::Payload(head);
    const int32_t count = stream.Count(fields, "the frame count");
    Stream::ExpectSize(head, 4 + 56 * uint64_t(count), "the frame list's Struct (" + Num(uint64_t(count)) + " frames)");

    std::vector<Frame> frames(static_cast<size_t>(count));
    for (size_t i = 0; i < frames.size(); ++i) {
        Frame& frame = frames[i];
        frame.offset = fields.begin;
        stream.Bytes(fields, 48, "frame " + Num(i) + "'s rotation and position");
        const size_t parent_at = fields.begin;
        frame.parent = stream.I32(fields, "frame " + Num(i) + "'s parent index");
        stream.U32(fields, "frame " + Num(i) + "'s flags");
        // Frames are listed parents first: a parent's index is below its child's.
        if (frame.parent != -1 && (frame.parent < 0 || static_cast<size_t>(frame.parent) >= i)) {
            throw FormatError(parent_at, "frame " + Num(i) + "'s parent index " + std::to_string(frame.parent) +
                                             " is neither -1 (root) nor the index of an earlier frame");
        }
    }
    for (size_t i = 0; i < frames.size(); ++i) {
        Range extension = Stream::Payload(stream.Child(list, kExtension));
        bool named = false;
        while (extension.left() != 0) {
            const ChunkSpan plugin = stream.Next(extension);
            if (plugin.type != kNodeName) continue;
            if (named) throw FormatError(plugin.offset, "frame " + Num(i) + "'s Extension holds a second Node name");
            named = true;
            Range text = Stream::Payload(plugin);
            const std::string_view name = stream.Bytes(text, plugin.size, "frame " + Num(i) + "'s name");
            frames[i].name = std::string(name.substr(0, name.find('\0')));
        }
    }
    Stream::End(list, "one Extension per frame");
    return frames;
}

Material ReadMaterial(Stream& stream, Range& list, size_t index) {
    const std::string what = "material " + Num(index);
    const ChunkSpan chunk = stream.Child(list, kMaterial);
    Range inside = Stream::Payload(chunk);
    const ChunkSpan head = stream.Child(inside, kStruct);
    Stream::ExpectSize(head, 28, what + "'s Struct");
    Range fields = Stream::Payload(head);
    Material material;
    material.offset = chunk.offset;
    stream.I32(fields, what + "'s flags");
    material.red = stream.U8(fields, what + "'s colour");
    material.green = stream.U8(fields, what + "'s colour");
    material.blue = stream.U8(fields, what + "'s colour");
    material.alpha = stream.U8(fields, what + "'s colour");
    stream.I32(fields, what + "'s unused field");
    const size_t textured_at = fields.begin;
    const int32_t textured = stream.I32(fields, what + "'s textured flag");
    if (textured != 0 && textured != 1) {
        throw FormatError(textured_at, what + "'s textured flag is " + std::to_string(textured) + "; expected 0 or 1");
    }
    stream.Bytes(fields, 12, what + "'s ambient, specular and diffuse");
    material.textured = textured == 1;
    if (material.textured) {
        Range texture = Stream::Payload(stream.Child(inside, kTexture));
        Stream::ExpectSize(stream.Child(texture, kStruct), 4, what + "'s Texture Struct (filter and addressing)");
        material.texture_name = ReadString(stream, texture, what + "'s texture name");
        material.mask_name = ReadString(stream, texture, what + "'s mask name");
        stream.Extension(texture);
        Stream::End(texture, "the texture's Extension");
    }
    stream.Extension(inside);
    Stream::End(inside, "the material's Extension");
    return material;
}

std::vector<Material> ReadMaterialList(Stream& stream, Range& geometry) {
    Range list = Stream::Payload(stream.Child(geometry, kMaterialList));
    const ChunkSpan head = stream.Child(list, kStruct);
    Range fields = Stream::Payload(head);
    const int32_t count = stream.Count(fields, "the material count");
    Stream::ExpectSize(head, 4 + 4 * uint64_t(count),
                       "the material list's Struct (" + Num(uint64_t(count)) + " materials)");
    std::vector<int32_t> slots(static_cast<size_t>(count));
    for (size_t i = 0; i < slots.size(); ++i) {
        const size_t at = fields.begin;
        slots[i] = stream.I32(fields, "material slot " + Num(i));
        // -1: a material of its own follows; otherwise it repeats an earlier slot.
        if (slots[i] != -1 && (slots[i] < 0 || static_cast<size_t>(slots[i]) >= i)) {
            throw FormatError(at, "material slot " + Num(i) + " is " + std::to_string(slots[i]) +
                                      "; expected -1 (a new material) or the index of an earlier slot");
        }
    }
    std::vector<Material> materials;
    for (size_t i = 0; i < slots.size(); ++i) {
        if (slots[i] == -1) {
            materials.push_back(ReadMaterial(stream, list, i));
        } else {
            materials.push_back(materials[static_cast<size_t>(slots[i])]);
        }
    }
    Stream::End(list, "its " + Num(slots.size()) + " material slots");
    return materials;
}

Geometry ReadGeometry(Stream& stream, Range& list, size_t index) {
    const std::string what = "geometry " + Num(index);
    const ChunkSpan chunk = stream.Child(list, kGeometry);
    Range inside = Stream::Payload(chunk);
    const ChunkSpan head = stream.Child(inside, kStruct);
    Range fields = Stream::Payload(head);

    Geometry geometry;
    geometry.offset = chunk.offset;
    geometry.flags = stream.U32(fields, what + "'s flags");
    geometry.triangle_count = stream.Count(fields, what + "'s triangle count");
    geometry.vertex_count = stream.Count(fields, what + "'s vertex count");
    const size_t morph_at = fields.begin;
    geometry.morph_target_count = stream.I32(fields, what + "'s morph-target count");
    if (geometry.morph_target_count < 1) {
        throw FormatError(morph_at, what + "'s morph-target count is " + std::to_string(geometry.morph_target_count) +
                                        "; expected 1 or more");
    }
    if ((geometry.flags & kGeometryNative) != 0) {
        throw FormatError(head.payload(), what + " is in a platform's native form (flag 0x01000000), not read here");
    }
    const uint32_t set_bits = (geometry.flags >> 16) & 0xFF;
    const bool textured = (geometry.flags & (kGeometryTextured | kGeometryTextured2)) != 0;
    if (set_bits == 0) {
        geometry.texture_set_count = (geometry.flags & kGeometryTextured2) != 0 ? 2
                                     : (geometry.flags & kGeometryTextured) != 0 ? 1
                                                                                 : 0;
    } else if (!textured) {
        throw FormatError(head.payload(), what + "'s flags name " + Num(set_bits) +
                                              " texture-coordinate sets but neither 0x04 nor 0x80 (textured)");
    } else {
        geometry.texture_set_count = set_bits;
    }

    const uint64_t vertices = static_cast<uint64_t>(geometry.vertex_count);
    if ((geometry.flags & kGeometryPrelit) != 0) stream.Bytes(fields, 4 * vertices, what + "'s prelit colours");
    stream.Bytes(fields, 8 * vertices * geometry.texture_set_count, what + "'s texture coordinates");
    stream.Need(fields, 8 * uint64_t(geometry.triangle_count),
                what + "'s " + Num(uint64_t(geometry.triangle_count)) + " triangles");
    for (int32_t t = 0; t < geometry.triangle_count; ++t) {
        Triangle triangle;
        triangle.offset = fields.begin;
        triangle.v1 = stream.U16(fields, "");
        triangle.v0 = stream.U16(fields, "");
        triangle.material = stream.U16(fields, "");
        triangle.v2 = stream.U16(fields, "");
        const std::pair<uint16_t, size_t> corners[] = {{triangle.v1, 0}, {triangle.v0, 2}, {triangle.v2, 6}};
        for (const auto& [vertex, at] : corners) {
            if (vertex >= geometry.vertex_count) {
                throw FormatError(triangle.offset + at, what + "'s triangle " + std::to_string(t) + " names vertex " +
                                                            Num(vertex) + ", not below the vertex count " +
                                                            Num(vertices));
            }
        }
        geometry.triangles.push_back(triangle);
    }
    for (int32_t m = 0; m < geometry.morph_target_count; ++m) {
        const std::string target = what + "'s morph target " + std::to_string(m);
        stream.Bytes(fields, 16, target + "'s bounding sphere");
        const bool flag_for[2] = {(geometry.flags & kGeometryPositions) != 0,
                                  (geometry.flags & kGeometryNormals) != 0};
        const char* const part[2] = {"vertices", "normals"};
        bool has[2] = {false, false};
        for (size_t p = 0; p < 2; ++p) {
            const size_t at = fields.begin;
            const int32_t value = stream.I32(fields, target + "'s has-" + part[p] + " flag");
            if (value != 0 && value != 1) {
                throw FormatError(at, target + "'s has-" + part[p] + " flag is " + std::to_string(value) +
                                          "; expected 0 or 1");
            }
            has[p] = value == 1;
            if (has[p] != flag_for[p]) {
                throw FormatError(at, target + (has[p] ? " has " : " lacks ") + part[p] + " but the geometry's flag " +
                                          (p == 0 ? "0x02" : "0x10") + (flag_for[p] ? " says it has" : " says none"));
            }
        }
        for (size_t p = 0; p < 2; ++p) {
            if (has[p]) stream.Bytes(fields, 12 * vertices, target + "'s " + part[p]);
        }
    }
    Stream::End(fields, what + "'s last morph target");

    geometry.materials = ReadMaterialList(stream, inside);
    for (size_t t = 0; t < geometry.triangles.size(); ++t) {
        const Triangle& triangle = geometry.triangles[t];
        if (triangle.material >= geometry.materials.size()) {
            throw FormatError(triangle.offset + 4, what + "'s triangle " + Num(t) + " names material " +
                                                       Num(triangle.material) + ", not below the material count " +
                                                       Num(geometry.materials.size()));
        }
    }
    stream.Extension(inside);
    Stream::End(inside, what + "'s Extension");
    return geometry;
}

std::vector<Geometry> ReadGeometryList(Stream& stream, Range& clump) {
    Range list = Stream::Payload(stream.Child(clump, kGeometryList));
    const ChunkSpan head = stream.Child(list, kStruct);
    Stream::ExpectSize(head, 4, "the geometry list's Struct (geometry count)");
    Range fields = Stream::Payload(head);
    const int32_t count = stream.Count(fields, "the geometry count");
    std::vector<Geometry> geometries;
    for (int32_t i = 0; i < count; ++i) geometries.push_back(ReadGeometry(stream, list, static_cast<size_t>(i)));
    Stream::End(list, "its " + Num(geometries.size()) + " geometries");
    return geometries;
}

void CheckIndex(size_t at, int32_t index, size_t count, const std::string& what, const std::string& list) {
    if (index < 0 || static_cast<size_t>(index) >= count) {
        throw FormatError(at, what + " is " + std::to_string(index) + ", outside the " + list + " of " + Num(count));
    }
}

Atomic ReadAtomic(Stream& stream, Range& clump, size_t index, size_t frames, size_t geometries) {
    const std::string what = "atomic " + Num(index);
    Range inside = Stream::Payload(stream.Child(clump, kAtomic));
    const ChunkSpan head = stream.Child(inside, kStruct);
    Stream::ExpectSize(head, 16, what + "'s Struct (frame, geometry, flags, unused)");
    Range fields = Stream::Payload(head);
    Atomic atomic;
    atomic.offset = fields.begin;
    atomic.frame = stream.I32(fields, what + "'s frame index");
    atomic.geometry = stream.I32(fields, what + "'s geometry index");
    atomic.flags = stream.U32(fields, what + "'s flags");
    stream.U32(fields, what + "'s unused field");
    CheckIndex(atomic.offset, atomic.frame, frames, what + "'s frame index", "frame list");
    CheckIndex(atomic.offset + 4, atomic.geometry, geometries, what + "'s geometry index", "geometry list");
    stream.Extension(inside);
    Stream::End(inside, what + "'s Extension");
    return atomic;
}

// A light or camera of the clump: a Struct with its frame index, then the
// object's own chunk (not looked into).
void ReadAttached(Stream& stream, Range& clump, uint32_t type, size_t index, size_t frames) {
    const std::string what = ChunkName(type) + " " + Num(index);
    const ChunkSpan head = stream.Child(clump, kStruct);
    Stream::ExpectSize(head, 4, what + "'s Struct (frame index)");
    Range fields = Stream::Payload(head);
    CheckIndex(head.payload(), stream.I32(fields, what + "'s frame index"), frames, what + "'s frame index",
               "frame list");
    stream.Child(clump, type);
}

// ----- .txd -----

// A 32-byte NUL-padded name.
std::string FixedName(Stream& stream, Range& fields, const std::string& what) {
    const size_t at = fields.begin;
    const std::string_view field = stream.Bytes(fields, kNativeNameSize, what);
    const size_t nul = field.find('\0');
    if (nul == std::string_view::npos) throw FormatError(at, what + " is not NUL-terminated within its 32 bytes");
    return std::string(field.substr(0, nul));
}

// Bytes of one mip level of the given Direct3D format and size.
uint64_t LevelSize(uint32_t d3d_format, uint32_t width, uint32_t height) {
    const uint64_t blocks = uint64_t{std::max(1u, (width + 3) / 4)} * std::max(1u, (height + 3) / 4);
    switch (d3d_format) {
    case kD3dA8R8G8B8:
    case kD3dX8R8G8B8: return uint64_t{width} * height * 4;
    case kD3dDxt1: return blocks * 8;
    default: return blocks * 16;  // DXT3, DXT5
    }
}

std::string FormatName(uint32_t d3d_format) {
    switch (d3d_format) {
    case kD3dA8R8G8B8: return "A8R8G8B8";
    case kD3dX8R8G8B8: return "X8R8G8B8";
    case kD3dDxt1: return "DXT1";
    case kD3dDxt3: return "DXT3";
    case kD3dDxt5: return "DXT5";
    default: return Hex(d3d_format);
    }
}

TextureNative ReadTextureNative(Stream& stream, Range& dictionary, size_t index) {
    const std::string what = "texture " + Num(index);
    Range inside = Stream::Payload(stream.Child(dictionary, kTextureNative));
    const ChunkSpan head = stream.Child(inside, kStruct);
    if (head.size < kNativeHeaderSize) {
        throw FormatError(head.offset + 4, what + "'s Struct holds " + Num(head.size) + " bytes; its header alone is " +
                                               Num(kNativeHeaderSize));
    }
    Range fields = Stream::Payload(head);
    TextureNative texture;
    texture.offset = fields.begin;
    texture.platform = stream.U32(fields, what + "'s platform");
    if (texture.platform != kPlatformD3d9) {
        throw FormatError(texture.offset, what + "'s platform is " + Num(texture.platform) +
                                              "; only Direct3D 9 natives (9) are read here");
    }
    texture.filter = stream.U8(fields, what + "'s filter mode");
    texture.addressing = stream.U8(fields, what + "'s addressing");
    stream.U16(fields, what + "'s padding");
    texture.name = FixedName(stream, fields, what + "'s name");
    texture.mask_name = FixedName(stream, fields, what + "'s mask name");
    const size_t format_at = fields.begin;
    texture.raster_format = stream.U32(fields, what + "'s raster format");
    const size_t d3d_at = fields.begin;
    texture.d3d_format = stream.U32(fields, what + "'s Direct3D format");
    const size_t size_at = fields.begin;
    texture.width = stream.U16(fields, what + "'s width");
    texture.height = stream.U16(fields, what + "'s height");
    const size_t depth_at = fields.begin;
    texture.depth = stream.U8(fields, what + "'s depth");
    const size_t mips_at = fields.begin;
    texture.mip_count = stream.U8(fields, what + "'s mip-level count");
    texture.raster_type = stream.U8(fields, what + "'s raster type");
    const size_t flags_at = fields.begin;
    texture.flags = stream.U8(fields, what + "'s flags");

    if ((texture.raster_format & (kRasterPalette8 | kRasterPalette4)) != 0) {
        throw FormatError(format_at, what + "'s raster format " + Hex(texture.raster_format) +
                                         " is palettised, not read here");
    }
    if ((texture.flags & kNativeCube) != 0) throw FormatError(flags_at, what + " is a cube texture, not read here");
    const bool compressed = (texture.flags & kNativeCompressed) != 0;
    const uint32_t pixels = texture.raster_format & kRasterPixelMask;
    switch (texture.d3d_format) {
    case kD3dA8R8G8B8:
    case kD3dX8R8G8B8: {
        const uint32_t want = texture.d3d_format == kD3dA8R8G8B8 ? kRaster8888 : kRaster888;
        if (pixels != want) {
            throw FormatError(format_at, what + "'s raster format " + Hex(texture.raster_format) + " does not match " +
                                             FormatName(texture.d3d_format) + " (pixel format " + Hex(want) + ")");
        }
        if (texture.depth != 32) {
            throw FormatError(depth_at, what + "'s depth is " + Num(texture.depth) + "; " +
                                            FormatName(texture.d3d_format) + " is 32 bits a pixel");
        }
        if (compressed) throw FormatError(flags_at, what + " is flagged compressed but its format is not DXT");
        break;
    }
    case kD3dDxt1:
    case kD3dDxt3:
    case kD3dDxt5:
        if (!compressed) throw FormatError(flags_at, what + " is DXT but not flagged compressed (0x08)");
        break;
    default:
        throw FormatError(d3d_at, what + "'s Direct3D format " + Hex(texture.d3d_format) +
                                      " is not one read here (A8R8G8B8, X8R8G8B8, DXT1, DXT3, DXT5)");
    }
    if (texture.width == 0 || texture.height == 0) {
        throw FormatError(size_at, what + " is " + Num(texture.width) + "x" + Num(texture.height) + "; expected at least 1x1");
    }
    // Each level halves the one before, down to 1x1 and no further.
    size_t levels_possible = 1;
    for (uint32_t side = std::max(texture.width, texture.height); side > 1; side /= 2) ++levels_possible;
    if (texture.mip_count == 0 || texture.mip_count > levels_possible) {
        throw FormatError(mips_at, what + "'s mip-level count is " + Num(texture.mip_count) + "; a " +
                                       Num(texture.width) + "x" + Num(texture.height) + " texture has 1 to " +
                                       Num(levels_possible) + " levels");
    }
    for (uint32_t level = 0; level < texture.mip_count; ++level) {
        MipLevel mip;
        mip.width = std::max(1u, uint32_t{texture.width} >> level);
        mip.height = std::max(1u, uint32_t{texture.height} >> level);
        mip.offset = fields.begin;
        const std::string name = what + "'s mip level " + Num(level);
        mip.size = stream.U32(fields, name + "'s byte size");
        const uint64_t want = LevelSize(texture.d3d_format, mip.width, mip.height);
        if (mip.size != want) {
            throw FormatError(mip.offset, name + " (" + Num(mip.width) + "x" + Num(mip.height) + " " +
                                              FormatName(texture.d3d_format) + ") holds " + Num(mip.size) +
                                              " bytes; that needs " + Num(want));
        }
        stream.Bytes(fields, mip.size, name + "'s pixels");
        texture.levels.push_back(mip);
    }
    Stream::End(fields, what + "'s last mip level");
    stream.Extension(inside);
    Stream::End(inside, what + "'s Extension");
    return texture;
}

std::string Folded(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

void ExpectNothingAfter(const Range& file, const ChunkSpan& top) {
    if (file.left() != 0) {
        throw FormatError(file.begin, Num(file.left()) + " bytes follow the " + ChunkName(top.type) +
                                          " that ends at " + Hex(top.end()) + "; the file holds one");
    }
}

}  // namespace

FormatError::FormatError(size_t offset, const std::string& message)
    : std::runtime_error("at offset " + Hex(offset) + ": " + message), offset_(offset) {}

std::string ChunkName(uint32_t type) {
    switch (type) {
    case kStruct: return "Struct";
    case kString: return "String";
    case kExtension: return "Extension";
    case kCamera: return "Camera";
    case kTexture: return "Texture";
    case kMaterial: return "Material";
    case kMaterialList: return "Material list";
    case kFrameList: return "Frame list";
    case kGeometry: return "Geometry";
    case kClump: return "Clump";
    case kLight: return "Light";
    case kAtomic: return "Atomic";
    case kTextureNative: return "Texture native";
    case kTextureDictionary: return "Texture dictionary";
    case kGeometryList: return "Geometry list";
    case kNodeName: return "Node name";
    default: return "chunk " + Hex(type);
    }
}

Model ParseModel(std::string_view bytes) {
    Model model;
    Stream stream(bytes, model.chunks);
    Range file = stream.File();
    const ChunkSpan top = stream.Child(file, kClump);
    ExpectNothingAfter(file, top);
    model.stamp = stream.stamp();

    Range clump = Stream::Payload(top);
    const ChunkSpan head = stream.Child(clump, kStruct);
    Stream::ExpectSize(head, 12, "the Clump's Struct (atomic, light and camera counts)");
    Range fields = Stream::Payload(head);
    model.atomic_count = stream.Count(fields, "the atomic count");
    model.light_count = stream.Count(fields, "the light count");
    model.camera_count = stream.Count(fields, "the camera count");

    model.frames = ReadFrameList(stream, clump);
    model.geometries = ReadGeometryList(stream, clump);
    for (int32_t i = 0; i < model.atomic_count; ++i) {
        model.atomics.push_back(
            ReadAtomic(stream, clump, static_cast<size_t>(i), model.frames.size(), model.geometries.size()));
    }
    for (int32_t i = 0; i < model.light_count; ++i) {
        ReadAttached(stream, clump, kLight, static_cast<size_t>(i), model.frames.size());
    }
    for (int32_t i = 0; i < model.camera_count; ++i) {
        ReadAttached(stream, clump, kCamera, static_cast<size_t>(i), model.frames.size());
    }
    stream.Extension(clump);
    Stream::End(clump, "the Clump's Extension");
    return model;
}

TextureDictionary ParseTextureDictionary(std::string_view bytes) {
    TextureDictionary dictionary;
    Stream stream(bytes, dictionary.chunks);
    Range file = stream.File();
    const ChunkSpan top = stream.Child(file, kTextureDictionary);
    ExpectNothingAfter(file, top);
    dictionary.stamp = stream.stamp();

    Range inside = Stream::Payload(top);
    const ChunkSpan head = stream.Child(inside, kStruct);
    Stream::ExpectSize(head, 4, "the dictionary's Struct (texture count, device id)");
    Range fields = Stream::Payload(head);
    dictionary.texture_count = stream.U16(fields, "the texture count");
    dictionary.device_id = stream.U16(fields, "the device id");
    for (size_t i = 0; i < dictionary.texture_count; ++i) {
        TextureNative texture = ReadTextureNative(stream, inside, i);
        for (const TextureNative& earlier : dictionary.textures) {
            if (Folded(earlier.name) == Folded(texture.name)) {
                throw FormatError(texture.offset + 8, "texture " + Num(i) + "'s name \"" + texture.name +
                                                          "\" is already taken by an earlier texture");
            }
        }
        dictionary.textures.push_back(std::move(texture));
    }
    stream.Extension(inside);
    Stream::End(inside, "the dictionary's Extension");
    return dictionary;
}

}  // namespace veltrin::renderware::test
