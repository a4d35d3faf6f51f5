#include "tool/common/file_util.h"

#include "archive/archive_error.h"

namespace veltrin::tool {

std::vector<uint8_t> ReadWholeFile(archive::FileSystem& fs, const std::string& path, uint64_t maxSize,
                                   const std::string& tooLarge) {
    auto file = fs.Open(path, archive::OpenMode::Read);
    const uint64_t size = file->Size();
    if (size > maxSize) throw archive::ArchiveError(archive::ErrorKind::TooLarge, path, tooLarge);
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    if (!bytes.empty()) file->ReadAt(0, bytes);
    return bytes;
}

}  // namespace veltrin::tool
