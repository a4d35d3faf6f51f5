#include "tool/runs/entry_match.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "archive/archive_error.h"
#include "tool/common/error_text.h"

namespace veltrin::tool {

MatchResult EntryMatchesFile(const archive::Archive& archive, const archive::Entry& entry, archive::FileSystem& fs,
                             const std::string& path) {
    std::unique_ptr<archive::File> file;
    uint64_t size = 0;
    try {
        file = fs.Open(path, archive::OpenMode::Read);
        size = file->Size();
    } catch (const archive::ArchiveError& error) {
        if (error.kind() == archive::ErrorKind::NotFound) return {Match::NoFile, path + " is gone"};
        return {Match::NoFile, path + " cannot be read: " + DescribeError(error)};
    }
    // Every stored byte is compared, so a file longer than the entry differs.
    if (size > uint64_t{entry.sectors} * archive::kSectorSize) return {Match::Differs, {}};

    // Each piece of the entry against the same stretch of the file, or
    // against zeros past its end; the first difference ends the reading.
    uint64_t offset = 0;
    std::vector<uint8_t> theirs;
    std::optional<archive::ArchiveError> fileError;
    const bool same = archive.ReadPieces(entry, [&](std::span<const uint8_t> piece) {
        const uint64_t fileEnd = std::clamp(size, offset, offset + piece.size());
        const auto inFile = static_cast<size_t>(fileEnd - offset);
        if (inFile > 0) {
            theirs.resize(inFile);
            try {
                file->ReadAt(offset, theirs);
            } catch (const archive::ArchiveError& error) {
                fileError = error;
                return false;
            }
            if (!std::equal(theirs.begin(), theirs.end(), piece.begin())) return false;
        }
        if (std::any_of(piece.begin() + static_cast<std::ptrdiff_t>(inFile), piece.end(),
                        [](uint8_t byte) { return byte != 0; }))
            return false;
        offset += piece.size();
        return true;
    });
    if (fileError) return {Match::NoFile, path + " cannot be read: " + DescribeError(*fileError)};
    return {same ? Match::Holds : Match::Differs, {}};
}

PutData DataOfFile(archive::FileSystem& fs, const std::string& path) {
    return DataOfFile(*fs.Open(path, archive::OpenMode::Read));
}

PutData DataOfFile(archive::File& file) {
    PutData data;
    data.size = file.Size();
    archive::Sha256 sha;
    std::vector<uint8_t> piece(static_cast<size_t>(std::min(data.size, archive::kReadPiece)));
    for (uint64_t offset = 0; offset < data.size; offset += piece.size()) {
        piece.resize(static_cast<size_t>(std::min<uint64_t>(data.size - offset, archive::kReadPiece)));
        file.ReadAt(offset, piece);
        sha.Add(piece);
    }
    data.digest = sha.Finish();
    return data;
}

PutData DataOfEntry(const archive::Archive& archive, const archive::Entry& entry) {
    archive::Sha256 sha;
    archive.ReadPieces(entry, [&](std::span<const uint8_t> piece) {
        sha.Add(piece);
        return true;
    });
    return {uint64_t{entry.sectors} * archive::kSectorSize, sha.Finish()};
}

bool EntryHolds(const archive::Archive& archive, const archive::Entry& entry, const PutData& data) {
    if (data.size > uint64_t{entry.sectors} * archive::kSectorSize) return false;
    archive::Sha256 sha;
    uint64_t offset = 0;
    const bool zerosAfter = archive.ReadPieces(entry, [&](std::span<const uint8_t> piece) {
        const auto inData = static_cast<size_t>(std::clamp(data.size, offset, offset + piece.size()) - offset);
        sha.Add(piece.first(inData));
        offset += piece.size();
        return std::all_of(piece.begin() + static_cast<std::ptrdiff_t>(inData), piece.end(),
                           [](uint8_t byte) { return byte == 0; });
    });
    return zerosAfter && sha.Finish() == data.digest;
}

}  // namespace veltrin::tool
