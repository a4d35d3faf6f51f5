#pragma once
// RenderWare binary streams put together chunk by chunk for the check-mod
// suites: sound models and dictionaries, and the ways they go wrong.
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

// A dictionary of `textures` textures (device id 2), each a texture native
// with a struct of a few bytes and an empty extension.
inline Stream Dictionary(uint16_t textures = 1, uint32_t stamp = kStamp36) {
    Stream parts = Chunk(0x01, Words({uint32_t{textures} | 2u << 16}), stamp);
    for (uint16_t i = 0; i < textures; ++i) {
        const Stream native = Chunk(0x15, Concat({Chunk(0x01, Words({9, i}), stamp), Chunk(0x03, {}, stamp)}), stamp);
        parts.insert(parts.end(), native.begin(), native.end());
    }
    return Chunk(0x16, Concat({parts, Chunk(0x03, {}, stamp)}), stamp);
}

}  // namespace veltrin::tool::testing
