#pragma once
// Whole-file reads through the archive library's file system, so the tool's
// own files take the same paths and errors as archives.
#include <cstdint>
#include <string>
#include <vector>

#include "archive/file_io.h"

namespace veltrin::tool {

// Throws ArchiveError TooLarge with tooLarge as its detail, without reading,
// when the file holds more than maxSize bytes.
std::vector<uint8_t> ReadWholeFile(archive::FileSystem& fs, const std::string& path, uint64_t maxSize,
                                   const std::string& tooLarge);

}  // namespace veltrin::tool
