#pragma once
// The on-disk layout of a version-2 archive: the 8-byte header and the
// 32-byte directory entry, read and written with explicit little-endian
// helpers, and the directory rules every open checks.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/archive_error.h"

namespace veltrin::archive::format {

inline constexpr size_t kHeaderSize = 8;
inline constexpr size_t kNameField = 24;
inline constexpr uint64_t kMaxArchiveBytes = uint64_t{1} << 32;  // what the game's reader can address
// The records a written-anew directory leaves room for after its own, so
// that later additions need not move data.
inline constexpr uint64_t kSpareRecords = 1024;

// One directory entry as it lies on disk; only its layout is used (the bytes
// are decoded field by field, never cast onto this struct).
struct DirectoryRecord {
    uint8_t offset[4];         // in sectors
    uint8_t streamingSize[2];  // in sectors
    uint8_t archiveSize[2];    // 0 means "same as the streaming size"
    char name[kNameField];     // NUL-terminated
};
static_assert(sizeof(DirectoryRecord) == 32);
static_assert(offsetof(DirectoryRecord, offset) == 0);
static_assert(offsetof(DirectoryRecord, streamingSize) == 4);
static_assert(offsetof(DirectoryRecord, archiveSize) == 6);
static_assert(offsetof(DirectoryRecord, name) == 8);
inline constexpr size_t kEntrySize = sizeof(DirectoryRecord);

inline uint16_t LoadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t LoadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t LoadLe64(const uint8_t* p) {
    return static_cast<uint64_t>(LoadLe32(p)) | (static_cast<uint64_t>(LoadLe32(p + 4)) << 32);
}
inline void StoreLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void StoreLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void StoreLe64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline constexpr uint64_t SectorsFor(uint64_t bytes) { return (bytes + kSectorSize - 1) / kSectorSize; }
inline constexpr uint64_t DirectoryBytes(uint64_t count) { return kHeaderSize + kEntrySize * count; }
// Whole sectors taken by the header and a directory of count entries.
inline constexpr uint64_t DirectorySectors(uint64_t count) { return SectorsFor(DirectoryBytes(count)); }

// The 8-byte header of a directory of count entries.
std::vector<uint8_t> EncodeHeader(uint64_t count);
// The directory records of these entries, one after the other.
std::vector<uint8_t> EncodeRecords(std::span<const Entry> entries);
// Whether the two entries are stored as the same record.
bool SameRecord(const Entry& a, const Entry& b);
// The header and directory of these entries, zero-padded to whole sectors.
std::vector<uint8_t> EncodeDirectory(const std::vector<Entry>& entries);

struct Problem {
    ErrorKind kind;  // NotAnArchive or Damaged stop an open; other kinds only show in a full check
    std::string text;
};

struct Scan {
    std::vector<Entry> entries;
    std::vector<uint8_t> directory;  // the header and the records as read (8 + 32 bytes an entry)
    std::vector<Problem> fatal;      // the archive cannot be used
    std::vector<Problem> findings;   // usable, but not as the game needs it
};

// Reads and checks the header and directory of an archive of fileSize bytes.
// Reads nothing else. With full set, also checks what only a full check
// reports (names, duplicates, order, holes).
Scan ScanDirectory(File& file, uint64_t fileSize, bool full);

}  // namespace veltrin::archive::format
