#include "archive/staged_data.h"

#include "archive/archive_error.h"

namespace veltrin::archive {

StagedData StagedData::InMemory(std::vector<uint8_t> bytes) {
    StagedData data;
    data.bytes_ = std::move(bytes);
    return data;
}

StagedData StagedData::FromFile(std::string path, uint64_t size) {
    StagedData data;
    data.path_ = std::move(path);
    data.size_ = size;
    data.inFile_ = true;
    return data;
}

StagedData StagedData::FromPart(FilePart part) {
    StagedData data = FromFile(std::move(part.path), part.size);
    data.offset_ = part.offset;
    data.part_ = true;
    return data;
}

std::unique_ptr<File> StagedData::OpenFile(FileSystem& fs) const {
    auto file = fs.Open(path_, OpenMode::Read);
    if (part_ ? file->Size() < offset_ + size_ : file->Size() != size_)
        throw ArchiveError(ErrorKind::Io, path_,
                           "The file changed while the archive was being saved (it was " + std::to_string(size_) +
                               " bytes). Nothing was changed.");
    return file;
}

}  // namespace veltrin::archive
