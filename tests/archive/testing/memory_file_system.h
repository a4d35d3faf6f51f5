#pragma once
// A file system held in memory, for tests and the fuzzer. It keeps apart what
// was written and what was made durable (flushed, or moved by an atomic
// replace), so that a test can cut the power and see what a disk would keep.
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "archive/file_io.h"

namespace veltrin::archive::testing {

class MemoryFileSystem final : public FileSystem {
public:
    std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override;
    [[nodiscard]] bool Exists(const std::string& path) override;
    void ReplaceAtomically(const std::string& from, const std::string& to) override;
    void Remove(const std::string& path) override;
    void CreateDirectories(const std::string& path) override;
    [[nodiscard]] uint64_t FreeSpace(const std::string& path) override;

    // Test helpers.
    void SetFile(const std::string& path, std::vector<uint8_t> bytes);           // written and durable
    [[nodiscard]] std::vector<uint8_t> Contents(const std::string& path) const;  // throws NotFound
    [[nodiscard]] std::vector<std::string> Paths() const;
    void SetFreeSpace(uint64_t bytes) { freeSpace_ = bytes; }
    // Opening the path fails as a file another program holds open would.
    void Lock(const std::string& path) { locked_.insert(path); }
    void Unlock(const std::string& path) { locked_.erase(path); }
    // A power cut: files not yet made durable vanish, and so does whatever
    // was written to the others since their last flush. With writtenBack,
    // the system had already written those others back in full, as it may
    // do at any time: the worst case for changes that must not show early.
    void LosePower(bool writtenBack = false);

    struct Node {
        std::vector<uint8_t> bytes;    // as written
        std::vector<uint8_t> durable;  // as a power cut would leave it
        int readers = 0;
        bool writer = false;
        uint64_t generation = 0;  // counts power cuts, which close every handle
    };

private:
    std::map<std::string, std::shared_ptr<Node>> files_;
    std::map<std::string, std::shared_ptr<Node>> durableFiles_;  // the names a power cut would leave
    std::set<std::string> folders_;
    std::set<std::string> locked_;
    uint64_t freeSpace_ = uint64_t{1} << 40;
};

}  // namespace veltrin::archive::testing
