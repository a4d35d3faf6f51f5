#include "archive/file_io.h"

#include <algorithm>
#include <vector>

namespace veltrin::archive {

void File::CopyFrom(File& source, uint64_t sourceOffset, uint64_t offset, uint64_t size) {
    // One block per thread, kept: many small copies (backups of entries)
    // then touch no new memory.
    constexpr uint64_t kBlock = uint64_t{4} << 20;
    thread_local std::vector<uint8_t> block;
    if (block.size() < std::min(size, kBlock)) block.resize(static_cast<size_t>(std::min(size, kBlock)));
    while (size > 0) {
        const size_t part = static_cast<size_t>(std::min<uint64_t>(size, block.size()));
        const std::span<uint8_t> bytes(block.data(), part);
        source.ReadAt(sourceOffset, bytes);
        WriteAt(offset, bytes);
        sourceOffset += part;
        offset += part;
        size -= part;
    }
}

void FileSystem::FlushAndReplaceEach(const std::vector<Move>& moves) {
    for (const Move& move : moves) {
        Open(move.from, OpenMode::ReadWrite)->Flush();
        ReplaceAtomically(move.from, move.to);
    }
}

void FileSystem::Replace(const std::string& from, const std::string& to) { ReplaceAtomically(from, to); }

void FileSystem::FlushFolder(const std::string&) {}

void FileSystem::CheckWritable(const std::string&) {}

void FileSystem::CheckCanCreateIn(const std::string&) {}

bool FileSystem::MarkedReadOnly(const std::string&) { return false; }

}  // namespace veltrin::archive
