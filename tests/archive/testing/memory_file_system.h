#pragma once
// A file system held in memory, for tests and the fuzzer. It models what a
// disk keeps through a power cut:
//  - A file's writes and size changes since its last flush may be lost,
//    kept, or kept in part (any of its 512-byte blocks), as a disk that
//    writes back in its own order leaves them.
//  - A new name (a created file or folder), a rename or a removal is durable
//    at once under Windows' rules, and under POSIX rules only once its
//    folder is flushed.
// The file operations mirror what the system bodies do (file_io_posix.cpp,
// file_io_win.cpp): on POSIX a flush of a file this process created also
// flushes its folder, an atomic replace is a rename and a folder flush, and
// creating folders flushes each new one's parent.
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "archive/file_io.h"

namespace veltrin::archive::testing {

enum class NameRules { Windows, Posix };

// What a power cut does to the writes not yet flushed.
enum class Tear {
    LoseAll,  // every one is lost
    KeepAll,  // every one reached the disk (the system wrote them back just before)
    Random,   // each is lost, kept, or kept in some of its blocks, chosen by a seed
};

class MemoryFileSystem final : public FileSystem {
public:
    explicit MemoryFileSystem(NameRules rules = NameRules::Windows) : rules_(rules) {}
    // A copy is a disk of its own: files are copied, not shared, and no
    // handle of the original reaches the copy.
    MemoryFileSystem(const MemoryFileSystem& other);
    MemoryFileSystem& operator=(const MemoryFileSystem& other);

    std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override;
    [[nodiscard]] bool Exists(const std::string& path) override;
    void ReplaceAtomically(const std::string& from, const std::string& to) override;
    void Replace(const std::string& from, const std::string& to) override { Rename(from, to); }
    void FlushAndReplaceEach(const std::vector<Move>& moves) override;
    void Remove(const std::string& path) override;
    void CreateDirectories(const std::string& path) override;
    void RemoveEmptyFolder(const std::string& path) override;
    [[nodiscard]] uint64_t FreeSpace(const std::string& path) override;

    // The steps the operations above are made of, for a file system that
    // fails between them.
    [[nodiscard]] NameRules Rules() const { return rules_; }
    // Moves the file to its new name, replacing any file there; under POSIX
    // rules durable only once the folder is flushed.
    void Rename(const std::string& from, const std::string& to);
    // Makes every name in the folder durable as it is now.
    void FlushFolder(const std::string& folder) override;
    // Creates one folder whose parent exists (or is not tracked).
    void MakeFolder(const std::string& path);
    // The folders CreateDirectories would make for path, outermost first.
    [[nodiscard]] std::vector<std::string> MissingFolders(const std::string& path) const;
    static std::string FolderOf(const std::string& path);

    // Test helpers.
    void SetFile(const std::string& path, std::vector<uint8_t> bytes);  // written and durable
    // As written; valid until the file system changes. Throws NotFound.
    [[nodiscard]] const std::vector<uint8_t>& Contents(const std::string& path) const;
    [[nodiscard]] std::vector<std::string> Paths() const;
    [[nodiscard]] bool HasFolder(const std::string& path) const { return folders_.count(path) != 0; }
    void SetFreeSpace(uint64_t bytes) { freeSpace_ = bytes; }
    // Opening the path fails as a file another program holds open would.
    void Lock(const std::string& path) { locked_.insert(path); }
    void Unlock(const std::string& path) { locked_.erase(path); }
    // A power cut: names not yet durable are gone (and removals not yet
    // durable undone), every handle is closed, and each file keeps what it
    // had at its last flush plus what tear leaves of the writes since.
    void LosePower(Tear tear = Tear::LoseAll, uint32_t seed = 0);

    struct Operation {
        uint64_t offset = 0;        // a write: where
        std::vector<uint8_t> data;  // a write: what
        bool resize = false;        // a size change: to offset
    };
    // A file's bytes, shared between copies until one of them is changed:
    // a flush, and a copy of the whole file system (which the crash sweeps
    // make at every step), then cost no copy of the bytes.
    class SharedBytes {
    public:
        SharedBytes() : bytes_(std::make_shared<std::vector<uint8_t>>()) {}
        explicit SharedBytes(std::vector<uint8_t> bytes)
            : bytes_(std::make_shared<std::vector<uint8_t>>(std::move(bytes))) {}
        [[nodiscard]] const std::vector<uint8_t>& Read() const { return *bytes_; }
        std::vector<uint8_t>& Edit() {
            if (bytes_.use_count() > 1) bytes_ = std::make_shared<std::vector<uint8_t>>(*bytes_);
            return *bytes_;
        }

    private:
        std::shared_ptr<std::vector<uint8_t>> bytes_;
    };

    struct Node {
        SharedBytes bytes;               // as written
        SharedBytes durable;             // as of the last flush
        std::vector<Operation> pending;  // since the last flush, in order
        int readers = 0;
        bool writer = false;
        uint64_t generation = 0;  // counts power cuts, which close every handle
    };

    // A file of this file system: its flush is two steps under POSIX rules
    // for a file this process created (its data, then its folder).
    class MemoryFile : public File {
    public:
        virtual void FlushData() = 0;
        [[nodiscard]] virtual bool FolderFlushDue() const = 0;
    };

private:
    void SetName(const std::string& path, std::shared_ptr<Node> node);
    void DropName(const std::string& path);

    NameRules rules_;
    std::map<std::string, std::shared_ptr<Node>> files_;
    std::map<std::string, std::shared_ptr<Node>> durableFiles_;  // the names a power cut leaves
    std::set<std::string> folders_;                              // made by MakeFolder, and still there
    std::set<std::string> durableFolders_;                       // of those, the ones a power cut leaves
    std::set<std::string> madeFolders_;  // every folder ever made: files under one not durable go with it
    std::set<std::string> locked_;
    uint64_t freeSpace_ = uint64_t{1} << 40;
};

}  // namespace veltrin::archive::testing
