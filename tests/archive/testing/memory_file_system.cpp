#include "testing/memory_file_system.h"

#include <algorithm>
#include <cstring>

#include "archive/archive_error.h"

namespace veltrin::archive::testing {
namespace {

using Node = MemoryFileSystem::Node;

class MemoryFile final : public File {
public:
    MemoryFile(std::string path, std::shared_ptr<Node> node, bool writer,
               std::map<std::string, std::shared_ptr<Node>>& durableFiles)
        : path_(std::move(path)), node_(std::move(node)), writer_(writer), durableFiles_(durableFiles) {
        if (writer_)
            node_->writer = true;
        else
            ++node_->readers;
        generation_ = node_->generation;
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    ~MemoryFile() override {
        if (generation_ != node_->generation) return;  // the power went since this was opened
        if (writer_)
            node_->writer = false;
        else
            --node_->readers;
    }

    uint64_t Size() override { return node_->bytes.size(); }
    void ReadAt(uint64_t offset, std::span<uint8_t> bytes) override {
        if (offset > node_->bytes.size() || bytes.size() > node_->bytes.size() - offset)
            throw ArchiveError(ErrorKind::Io, path_, "The file ended earlier than expected.");
        if (!bytes.empty()) std::memcpy(bytes.data(), node_->bytes.data() + offset, bytes.size());
    }
    void WriteAt(uint64_t offset, std::span<const uint8_t> bytes) override {
        RequireWriter();
        if (bytes.empty()) return;
        if (offset + bytes.size() > node_->bytes.size())
            node_->bytes.resize(static_cast<size_t>(offset + bytes.size()), 0);
        std::memcpy(node_->bytes.data() + offset, bytes.data(), bytes.size());
    }
    void Resize(uint64_t size) override {
        RequireWriter();
        node_->bytes.resize(static_cast<size_t>(size), 0);
    }
    void Flush() override {
        node_->durable = node_->bytes;
        // As on the real systems, a flushed new file keeps its name.
        if (!durableFiles_.count(path_)) durableFiles_[path_] = node_;
    }

private:
    void RequireWriter() const {
        if (!writer_) throw ArchiveError(ErrorKind::AccessDenied, path_, "The file is open for reading only.");
    }

    std::string path_;
    std::shared_ptr<Node> node_;
    bool writer_;
    uint64_t generation_ = 0;
    std::map<std::string, std::shared_ptr<Node>>& durableFiles_;
};

}  // namespace

std::unique_ptr<File> MemoryFileSystem::Open(const std::string& path, OpenMode mode) {
    if (locked_.count(path)) throw ArchiveError(ErrorKind::Locked, path, "Another program is using the file.");
    auto it = files_.find(path);
    const bool writer = mode != OpenMode::Read;
    if (mode == OpenMode::CreateNew && it != files_.end())
        throw ArchiveError(ErrorKind::Io, path, "The file already exists.");
    if ((mode == OpenMode::Read || mode == OpenMode::ReadWrite) && it == files_.end())
        throw ArchiveError(ErrorKind::NotFound, path, "No such file.");
    if (it == files_.end()) it = files_.emplace(path, std::make_shared<Node>()).first;
    Node& node = *it->second;
    if (node.writer || (writer && node.readers > 0))
        throw ArchiveError(ErrorKind::Locked, path, "Another program is using the file.");
    if (mode == OpenMode::CreateAlways) node.bytes.clear();
    return std::make_unique<MemoryFile>(path, it->second, writer, durableFiles_);
}

bool MemoryFileSystem::Exists(const std::string& path) { return files_.count(path) > 0 || folders_.count(path) > 0; }

void MemoryFileSystem::ReplaceAtomically(const std::string& from, const std::string& to) {
    const auto source = files_.find(from);
    if (source == files_.end()) throw ArchiveError(ErrorKind::NotFound, from, "No such file.");
    if (locked_.count(to)) throw ArchiveError(ErrorKind::Locked, to, "Another program is using the file.");
    if (const auto target = files_.find(to);
        target != files_.end() && (target->second->writer || target->second->readers))
        throw ArchiveError(ErrorKind::Locked, to, "Another program is using the file.");
    const std::shared_ptr<Node> node = source->second;
    files_.erase(source);
    files_[to] = node;
    durableFiles_.erase(from);
    durableFiles_[to] = node;
}

void MemoryFileSystem::Remove(const std::string& path) {
    const auto it = files_.find(path);
    if (it == files_.end()) throw ArchiveError(ErrorKind::NotFound, path, "No such file.");
    if (locked_.count(path) || it->second->writer || it->second->readers)
        throw ArchiveError(ErrorKind::Locked, path, "Another program is using the file.");
    files_.erase(it);
    durableFiles_.erase(path);
}

void MemoryFileSystem::CreateDirectories(const std::string& path) { folders_.insert(path); }

uint64_t MemoryFileSystem::FreeSpace(const std::string&) { return freeSpace_; }

void MemoryFileSystem::SetFile(const std::string& path, std::vector<uint8_t> bytes) {
    auto node = std::make_shared<Node>();
    node->durable = bytes;
    node->bytes = std::move(bytes);
    files_[path] = node;
    durableFiles_[path] = node;
}

std::vector<uint8_t> MemoryFileSystem::Contents(const std::string& path) const {
    const auto it = files_.find(path);
    if (it == files_.end()) throw ArchiveError(ErrorKind::NotFound, path, "No such file.");
    return it->second->bytes;
}

std::vector<std::string> MemoryFileSystem::Paths() const {
    std::vector<std::string> paths;
    for (const auto& [path, node] : files_) paths.push_back(path);
    return paths;
}

void MemoryFileSystem::LosePower(bool writtenBack) {
    files_ = durableFiles_;
    for (auto& [path, node] : files_) {
        if (writtenBack)
            node->durable = node->bytes;
        else
            node->bytes = node->durable;
        node->readers = 0;
        node->writer = false;
        ++node->generation;
    }
}

}  // namespace veltrin::archive::testing
