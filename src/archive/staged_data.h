#pragma once
// The new data of a staged entry: bytes held in memory, or a file that the
// commit reads as it writes, so that a mod of any size never has to fit in
// memory.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "archive/file_io.h"

namespace veltrin::archive {

class StagedData {
public:
    static StagedData InMemory(std::vector<uint8_t> bytes);
    // A file of size bytes, as found when it was staged.
    static StagedData FromFile(std::string path, uint64_t size);
    // Part of a file, which must still reach as far when it is read.
    static StagedData FromPart(FilePart part);

    [[nodiscard]] uint64_t Size() const { return inFile_ ? size_ : bytes_.size(); }
    [[nodiscard]] bool InFile() const { return inFile_; }
    [[nodiscard]] std::span<const uint8_t> Bytes() const { return bytes_; }  // when in memory
    [[nodiscard]] const std::string& Path() const { return path_; }          // when in a file
    [[nodiscard]] uint64_t Offset() const { return offset_; }                // where in the file

    // The file, open for reading; throws when it no longer has its staged
    // size (a part: no longer reaches as far), so that a commit stops before
    // it writes data it never checked.
    [[nodiscard]] std::unique_ptr<File> OpenFile(FileSystem& fs) const;

    // Hands the data to sink in pieces of at most kPiece bytes, read through
    // one buffer when it lies in a file.
    static constexpr size_t kPiece = kReadPiece;
    template <typename Sink>
    void Read(FileSystem& fs, Sink&& sink) const {
        if (!inFile_) {
            sink(Bytes());
            return;
        }
        auto file = OpenFile(fs);
        std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(size_, kPiece)));
        for (uint64_t at = 0; at < size_;) {
            const std::span<uint8_t> piece(buffer.data(), static_cast<size_t>(std::min<uint64_t>(size_ - at, kPiece)));
            file->ReadAt(offset_ + at, piece);
            sink(std::span<const uint8_t>(piece));
            at += piece.size();
        }
    }

private:
    std::vector<uint8_t> bytes_;
    std::string path_;
    uint64_t offset_ = 0;
    uint64_t size_ = 0;
    bool inFile_ = false;
    bool part_ = false;
};

}  // namespace veltrin::archive
