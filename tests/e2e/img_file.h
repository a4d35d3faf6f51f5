#pragma once
// Version-2 .img archives as the end-to-end tests see them: written from a
// list of entries and read back entry by entry, straight from the bytes on
// disk (independent of the archive library the tool uses).
#include <cstdint>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace veltrin::e2e::test {

inline constexpr size_t kSector = 2048;

struct ImgEntry {
    std::string name;
    std::string bytes;  // stored bytes: whole sectors
};

// The file's bytes followed by zeros up to a whole number of sectors.
std::string Padded(const std::string& bytes);

// Writes an archive whose entries follow each other in directory order with
// no gaps, each entry's data padded to whole sectors.
void WriteImg(const std::filesystem::path& path, const std::vector<ImgEntry>& entries);

// Every entry in directory order with its stored bytes. Throws when the file
// is not a version-2 archive or an entry lies outside it.
std::vector<ImgEntry> ReadImg(const std::filesystem::path& path);

// What an entry holds, short enough to print: its size and a hash of its bytes.
struct Digest {
    size_t size = 0;
    uint64_t hash = 0;
    friend bool operator==(const Digest&, const Digest&) = default;
};
Digest DigestOf(const std::string& bytes);
void PrintTo(const Digest& digest, std::ostream* out);

// Name (lower case) to the digest of its stored bytes, whole sectors of
// zeros at the end left out; free records (no dot in the name) are not
// entries.
std::map<std::string, Digest> ByName(const std::vector<ImgEntry>& entries);

std::string Lower(std::string text);
std::string ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes);

}  // namespace veltrin::e2e::test
