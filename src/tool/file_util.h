#pragma once
// Whole-file reads and crash-safe writes through the archive library's file
// system, so the tool's own files take the same paths and errors as archives.
#include <cstdint>
#include <string>
#include <vector>

#include "archive/file_io.h"

namespace veltrin::tool {

// Throws ArchiveError TooLarge, without reading, when the file holds more
// than maxSize bytes.
std::vector<uint8_t> ReadWholeFile(archive::FileSystem& fs, const std::string& path, uint64_t maxSize = UINT64_MAX);

// Writes the bytes beside the target (path + ".partial"), flushes them and
// then puts them in place in one step, creating missing folders first. A
// crash leaves either no file at the path or the whole of it.
void WriteFileSafely(archive::FileSystem& fs, const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace veltrin::tool
