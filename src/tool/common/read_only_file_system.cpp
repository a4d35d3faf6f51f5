#include "tool/common/read_only_file_system.h"

namespace veltrin::tool {
namespace {

// A file opened for reading: what would change it throws.
class ReadOnlyFile final : public archive::File {
public:
    ReadOnlyFile(std::unique_ptr<archive::File> inner, std::string path)
        : inner_(std::move(inner)), path_(std::move(path)) {}

    uint64_t Size() override { return inner_->Size(); }
    void ReadAt(uint64_t offset, std::span<uint8_t> bytes) override { inner_->ReadAt(offset, bytes); }
    void WriteAt(uint64_t, std::span<const uint8_t>) override { throw WouldChange("would write " + path_); }
    void Resize(uint64_t) override { throw WouldChange("would change the size of " + path_); }
    void Flush() override {}
    void CopyFrom(File&, uint64_t, uint64_t, uint64_t) override { throw WouldChange("would write " + path_); }

private:
    std::unique_ptr<archive::File> inner_;
    std::string path_;
};

}  // namespace

std::unique_ptr<archive::File> ReadOnlyFileSystem::Open(const std::string& path, archive::OpenMode mode) {
    if (mode != archive::OpenMode::Read) throw WouldChange("would open " + path + " for writing");
    return std::make_unique<ReadOnlyFile>(inner_.Open(path, mode), path);
}

void ReadOnlyFileSystem::ReplaceAtomically(const std::string&, const std::string& to) {
    throw WouldChange("would replace " + to);
}

void ReadOnlyFileSystem::FlushAndReplaceEach(const std::vector<Move>& moves) {
    throw WouldChange("would replace " + (moves.empty() ? std::string("files") : moves.front().to));
}

void ReadOnlyFileSystem::Remove(const std::string& path) { throw WouldChange("would remove " + path); }

void ReadOnlyFileSystem::FlushFolder(const std::string&) {}

void ReadOnlyFileSystem::CreateDirectories(const std::string& path) { throw WouldChange("would create " + path); }

void ReadOnlyFileSystem::RemoveEmptyFolder(const std::string& path) { throw WouldChange("would remove " + path); }

void ReadOnlyFileSystem::CheckWritable(const std::string& path) { throw WouldChange("would write " + path); }

void ReadOnlyFileSystem::CheckCanCreateIn(const std::string& folder) {
    throw WouldChange("would create a file in " + folder);
}

}  // namespace veltrin::tool
