#pragma once
// RenderWare binary streams put together chunk by chunk for the check-mod
// suites: sound models and dictionaries, and the ways they go wrong.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace veltrin::tool::testing {

using Stream = std::vector<uint8_t>;

inline constexpr uint32_t kStamp36 = 0x1803FFFF;

inline void PutU32(Stream& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

// A chunk: its 12-byte header and the payload given.
inline Stream Chunk(uint32_t type, const Stream& payload, uint32_t stamp = kStamp36) {
    Stream out;
    PutU32(out, type);
    PutU32(out, static_cast<uint32_t>(payload.size()));
    PutU32(out, stamp);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

inline Stream Concat(std::initializer_list<Stream> parts) {
    Stream out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

inline Stream Words(std::initializer_list<uint32_t> words) {
    Stream out;
    for (const uint32_t word : words) PutU32(out, word);
    return out;
}

// A clump of one atomic: struct, frame list, geometry list (one geometry with
// its material list), the atomic, the clump's extension.
inline Stream Model(uint32_t stamp = kStamp36) {
    const Stream material =
        Chunk(0x07, Concat({Chunk(0x01, Words({0, 0xFFFFFFFF, 0, 0, 0, 0, 0}), stamp), Chunk(0x03, {}, stamp)}), stamp);
    const Stream materials = Chunk(0x08, Concat({Chunk(0x01, Words({1, 0xFFFFFFFF}), stamp), material}), stamp);
    const Stream geometry = Chunk(0x0F,
                                  Concat({Chunk(0x01, Words({0x02, 0, 0, 1}), stamp), materials,
                                          Chunk(0x03, Chunk(0x50E, Words({0, 0, 0}), stamp), stamp)}),
                                  stamp);
    return Chunk(
        0x10,
        Concat({Chunk(0x01, Words({1, 0, 0}), stamp),
                Chunk(0x0E,
                      Concat({Chunk(0x01, Words({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFFFFFFFF, 0}), stamp),
                              Chunk(0x03, {}, stamp)}),
                      stamp),
                Chunk(0x1A, Concat({Chunk(0x01, Words({1}), stamp), geometry}), stamp),
                Chunk(0x14, Concat({Chunk(0x01, Words({0, 0, 5, 0}), stamp), Chunk(0x03, {}, stamp)}), stamp),
                Chunk(0x03, {}, stamp)}),
        stamp);
}

// The format fields of a texture native's struct, as the PC's Direct3D 9
// writes them: 8888 with alpha unless told otherwise.
struct TextureFormat {
    uint32_t platform = 9;
    uint32_t raster = 0x0500;  // pixel layout, | 0x2000 for an 8-bit palette
    uint32_t d3d = 21;         // A8R8G8B8; or the four characters "DXT1", ...
    uint8_t depth = 32;
    uint8_t flags = 1;  // 1 alpha, 8 compressed
};

inline uint32_t FourCharacters(const char (&code)[5]) {
    return uint32_t{static_cast<uint8_t>(code[0])} | uint32_t{static_cast<uint8_t>(code[1])} << 8 |
           uint32_t{static_cast<uint8_t>(code[2])} << 16 | uint32_t{static_cast<uint8_t>(code[3])} << 24;
}

// A 4x4 texture native of one level: its struct (platform, filtering, name,
// mask, format, size, depth, levels, raster type, flags, the palette where
// there is one, the level's size and pixels) and an empty extension.
inline Stream TextureNative(const std::string& name, const TextureFormat& format = {}, uint32_t stamp = kStamp36) {
    Stream data = Words({format.platform, 0x1106});
    Stream names(64, 0);
    std::copy(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(name.size(), 31)),
              names.begin());
    data.insert(data.end(), names.begin(), names.end());
    PutU32(data, format.raster);
    PutU32(data, format.d3d);
    PutU32(data, 4u | 4u << 16);  // width, height
    for (const uint8_t b : {format.depth, uint8_t{1}, uint8_t{4}, format.flags}) data.push_back(b);
    const bool palette = (format.raster & 0x2000) != 0;
    if (palette) data.resize(data.size() + 256 * 4, 0x40);
    const size_t pixels =
        (format.flags & 8) != 0 ? (format.d3d == FourCharacters("DXT1") ? 8u : 16u) : 16u * format.depth / 8u;
    PutU32(data, static_cast<uint32_t>(pixels));
    data.resize(data.size() + pixels, 0x7F);
    return Chunk(0x15, Concat({Chunk(0x01, data, stamp), Chunk(0x03, {}, stamp)}), stamp);
}

// A dictionary (device id 2) of the texture natives given.
inline Stream DictionaryOf(const std::vector<Stream>& natives, uint32_t stamp = kStamp36) {
    Stream parts = Chunk(0x01, Words({static_cast<uint32_t>(natives.size()) | 2u << 16}), stamp);
    for (const auto& native : natives) parts.insert(parts.end(), native.begin(), native.end());
    return Chunk(0x16, Concat({parts, Chunk(0x03, {}, stamp)}), stamp);
}

// A dictionary of `textures` 32-bit textures, "texture0", "texture1", ...
inline Stream Dictionary(uint16_t textures = 1, uint32_t stamp = kStamp36) {
    std::vector<Stream> natives;
    for (uint16_t i = 0; i < textures; ++i) natives.push_back(TextureNative("texture" + std::to_string(i), {}, stamp));
    return DictionaryOf(natives, stamp);
}

}  // namespace veltrin::tool::testing
