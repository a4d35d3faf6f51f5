#include "tool/file_util.h"

#include "archive/archive_error.h"
#include "tool/script_reader.h"

namespace veltrin::tool {

std::vector<uint8_t> ReadWholeFile(archive::FileSystem& fs, const std::string& path, uint64_t maxSize) {
    auto file = fs.Open(path, archive::OpenMode::Read);
    const uint64_t size = file->Size();
    if (size > maxSize)
        throw archive::ArchiveError(
            archive::ErrorKind::TooLarge, path,
            std::to_string(size) + " bytes, more than one entry can hold (" + std::to_string(maxSize) + " bytes)");
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    if (!bytes.empty()) file->ReadAt(0, bytes);
    return bytes;
}

void WriteFileSafely(archive::FileSystem& fs, const std::string& path, const std::vector<uint8_t>& bytes) {
    const std::string folder(FolderOf(path));
    if (!folder.empty() && !fs.Exists(folder)) fs.CreateDirectories(folder);
    const std::string partial = path + ".partial";
    try {
        {
            auto file = fs.Open(partial, archive::OpenMode::CreateAlways);
            if (!bytes.empty()) file->WriteAt(0, bytes);
            file->Flush();
        }
        fs.ReplaceAtomically(partial, path);
    } catch (const archive::ArchiveError&) {
        try {
            if (fs.Exists(partial)) fs.Remove(partial);
        } catch (const archive::ArchiveError&) {
            // The leftover is harmless: it is never taken for the file itself.
        }
        throw;
    }
}

}  // namespace veltrin::tool
