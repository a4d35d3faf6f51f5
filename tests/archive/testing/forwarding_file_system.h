#pragma once
// A file system that hands every call to another one: the base of test file
// systems that change only what they are about (a call that fails, a file
// that changes underneath), so that everything else, durability included,
// stays the other one's.
#include <memory>
#include <string>
#include <vector>

#include "archive/file_io.h"

namespace veltrin::archive::testing {

class ForwardingFileSystem : public FileSystem {
public:
    explicit ForwardingFileSystem(FileSystem& inner) : inner_(inner) {}

    std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override { return inner_.Open(path, mode); }
    bool Exists(const std::string& path) override { return inner_.Exists(path); }
    void Replace(const std::string& from, const std::string& to) override { inner_.Replace(from, to); }
    void ReplaceAtomically(const std::string& from, const std::string& to) override {
        inner_.ReplaceAtomically(from, to);
    }
    void FlushAndReplaceEach(const std::vector<Move>& moves) override { inner_.FlushAndReplaceEach(moves); }
    void Remove(const std::string& path) override { inner_.Remove(path); }
    void FlushFolder(const std::string& folder) override { inner_.FlushFolder(folder); }
    void CreateDirectories(const std::string& path) override { inner_.CreateDirectories(path); }
    void RemoveEmptyFolder(const std::string& path) override { inner_.RemoveEmptyFolder(path); }
    uint64_t FreeSpace(const std::string& path) override { return inner_.FreeSpace(path); }
    void CheckWritable(const std::string& path) override { inner_.CheckWritable(path); }
    void CheckCanCreateIn(const std::string& folder) override { inner_.CheckCanCreateIn(folder); }
    bool MarkedReadOnly(const std::string& path) override { return inner_.MarkedReadOnly(path); }

protected:
    FileSystem& inner_;
};

}  // namespace veltrin::archive::testing
