#pragma once
// A journal as bytes and back, for tests and the fuzzer's seeds: written and
// read by the library's own journal code, through a file held in memory.
#include <cstdint>
#include <optional>
#include <vector>

#include "archive/journal.h"
#include "testing/memory_file_system.h"

namespace veltrin::archive::testing {

// The journal's bytes, its old checksums taken from archiveBefore (zeros of
// the journal's old size when empty); data staged in files is read from fs.
std::vector<uint8_t> EncodeJournal(const Journal& journal, MemoryFileSystem& fs,
                                   const std::vector<uint8_t>& archiveBefore = {});
// A journal's bytes as this version writes them where it does not grow the
// archive (version 3's layout), resealed as the versions before it did, both under version number 2: by FNV-1a over the body's
// 64-bit little-endian words (the last bytes one by one), seeded with the
// body's length; and before that by the body's whole SHA-256 (32 bytes).
std::vector<uint8_t> WordSealed(std::vector<uint8_t> bytes);
std::vector<uint8_t> DigestSealed(const std::vector<uint8_t>& bytes);
// The journal these bytes hold, each write with its data; nothing when they
// are not a complete journal.
std::optional<Journal> DecodeJournal(const std::vector<uint8_t>& bytes);

}  // namespace veltrin::archive::testing
