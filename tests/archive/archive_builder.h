#pragma once
// Builds archive bytes for tests, field by field as the format lays them
// out, independently of the library's own writer.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace veltrin::archive::testing {

struct RawEntry {
    std::string name;      // written into the 24-byte field as is (may fill it)
    uint32_t offset = 0;   // sectors
    uint16_t sectors = 0;  // streaming size
    uint16_t archiveSize = 0;
};

// Bytes that differ from entry to entry, so that a misplaced copy shows.
inline std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t state = seed * 2654435761u + 12345u;
    for (auto& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>((state >> 16) | 1u);  // never zero: padding stays recognisable
    }
    return bytes;
}

inline void Put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}
inline void Put16(std::vector<uint8_t>& bytes, size_t at, uint16_t value) {
    bytes[at] = static_cast<uint8_t>(value);
    bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}
inline uint32_t Get32(const std::vector<uint8_t>& bytes, size_t at) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) value |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
    return value;
}

// A header and directory for these entries, in a file of totalBytes
// (zeros), with each entry's sectors filled with Pattern(.., index).
inline std::vector<uint8_t> RawArchive(const std::vector<RawEntry>& entries, size_t totalBytes,
                                       const char* magic = "VER2") {
    std::vector<uint8_t> bytes(totalBytes, 0);
    for (size_t i = 0; i < 4 && i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(magic[i]);
    if (bytes.size() >= 8) Put32(bytes, 4, static_cast<uint32_t>(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        const RawEntry& entry = entries[i];
        const size_t at = 8 + 32 * i;
        if (at + 32 > bytes.size()) break;
        Put32(bytes, at, entry.offset);
        Put16(bytes, at + 4, entry.sectors);
        Put16(bytes, at + 6, entry.archiveSize);
        for (size_t c = 0; c < entry.name.size() && c < 24; ++c)
            bytes[at + 8 + c] = static_cast<uint8_t>(entry.name[c]);
        const size_t start = size_t{entry.offset} * 2048;
        if (start >= bytes.size()) continue;
        // Pattern's bytes do not depend on its length: only the part inside the file is made.
        const std::vector<uint8_t> data =
            Pattern(std::min(size_t{entry.sectors} * 2048, bytes.size() - start), static_cast<uint32_t>(i));
        std::copy(data.begin(), data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(start));
    }
    return bytes;
}

// A sound archive: the entries one after another from the first sector
// after the directory, with the given sizes in sectors.
inline std::vector<uint8_t> SoundArchive(const std::vector<std::pair<std::string, uint16_t>>& entries,
                                         uint32_t firstSector = 0) {
    std::vector<RawEntry> raw;
    uint32_t next = firstSector ? firstSector : static_cast<uint32_t>((8 + 32 * entries.size() + 2047) / 2048);
    for (const auto& [name, sectors] : entries) {
        raw.push_back({name, next, sectors, 0});
        next += sectors;
    }
    return RawArchive(raw, size_t{next} * 2048);
}

}  // namespace veltrin::archive::testing
