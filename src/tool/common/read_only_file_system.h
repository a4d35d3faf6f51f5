#pragma once
// A file system through which nothing can be changed: files open for
// reading only, and every other change (a write, a new name, a removal)
// throws WouldChange before it reaches the disk. A command that promises to
// change nothing reads through it, so that it cannot break the promise by
// mistake, nor by a library that would settle something as it opens a file.
#include <stdexcept>
#include <string>

#include "archive/file_io.h"

namespace veltrin::tool {

// What the command tried to change; the disk was not touched.
class WouldChange : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ReadOnlyFileSystem final : public archive::FileSystem {
public:
    explicit ReadOnlyFileSystem(archive::FileSystem& inner) : inner_(inner) {}

    std::unique_ptr<archive::File> Open(const std::string& path, archive::OpenMode mode) override;
    [[nodiscard]] bool Exists(const std::string& path) override { return inner_.Exists(path); }
    void ReplaceAtomically(const std::string& from, const std::string& to) override;
    void FlushAndReplaceEach(const std::vector<Move>& moves) override;
    void Remove(const std::string& path) override;
    void FlushFolder(const std::string& folder) override;
    void CreateDirectories(const std::string& path) override;
    void RemoveEmptyFolder(const std::string& path) override;
    [[nodiscard]] uint64_t FreeSpace(const std::string& path) override { return inner_.FreeSpace(path); }
    void CheckWritable(const std::string& path) override;
    void CheckCanCreateIn(const std::string& folder) override;
    [[nodiscard]] bool MarkedReadOnly(const std::string& path) override { return inner_.MarkedReadOnly(path); }

private:
    archive::FileSystem& inner_;
};

}  // namespace veltrin::tool
