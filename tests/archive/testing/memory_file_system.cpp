#include "testing/memory_file_system.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "archive/archive_error.h"

namespace veltrin::archive::testing {
namespace {

using Node = MemoryFileSystem::Node;

constexpr uint64_t kBlock = 512;  // what a disk writes whole

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

class FileOnNode final : public MemoryFileSystem::MemoryFile {
public:
    FileOnNode(MemoryFileSystem& fs, std::string path, std::shared_ptr<Node> node, bool writer, bool created)
        : fs_(fs), path_(std::move(path)), node_(std::move(node)), writer_(writer), created_(created) {
        if (writer_)
            node_->writer = true;
        else
            ++node_->readers;
        generation_ = node_->generation;
    }
    FileOnNode(const FileOnNode&) = delete;
    FileOnNode& operator=(const FileOnNode&) = delete;
    ~FileOnNode() override {
        if (generation_ != node_->generation) return;  // the power went since this was opened
        if (writer_)
            node_->writer = false;
        else
            --node_->readers;
    }

    uint64_t Size() override {
        RequireAlive();
        return node_->bytes.Read().size();
    }
    void ReadAt(uint64_t offset, std::span<uint8_t> bytes) override {
        RequireAlive();
        const std::vector<uint8_t>& file = node_->bytes.Read();
        if (offset > file.size() || bytes.size() > file.size() - offset)
            throw ArchiveError(ErrorKind::Io, path_, "The file ended earlier than expected.");
        if (!bytes.empty()) std::memcpy(bytes.data(), file.data() + offset, bytes.size());
    }
    void WriteAt(uint64_t offset, std::span<const uint8_t> bytes) override {
        RequireWriter();
        if (bytes.empty()) return;
        std::vector<uint8_t>& file = node_->bytes.Edit();
        if (offset + bytes.size() > file.size()) file.resize(static_cast<size_t>(offset + bytes.size()), 0);
        std::memcpy(file.data() + offset, bytes.data(), bytes.size());
        node_->pending.push_back({offset, {bytes.begin(), bytes.end()}, false});
    }
    void Resize(uint64_t size) override {
        RequireWriter();
        node_->bytes.Edit().resize(static_cast<size_t>(size), 0);
        node_->pending.push_back({size, {}, true});
    }
    void Flush() override {
        FlushData();
        if (FolderFlushDue()) fs_.FlushFolder(MemoryFileSystem::FolderOf(path_));
        created_ = false;
    }
    void FlushData() override {
        RequireAlive();
        node_->durable = node_->bytes;
        node_->pending.clear();
    }
    bool FolderFlushDue() const override { return created_ && fs_.Rules() == NameRules::Posix; }

private:
    void RequireAlive() const {
        if (generation_ != node_->generation) throw ArchiveError(ErrorKind::Io, path_, "The handle was lost.");
    }
    void RequireWriter() const {
        RequireAlive();
        if (!writer_) throw ArchiveError(ErrorKind::AccessDenied, path_, "The file is open for reading only.");
    }

    MemoryFileSystem& fs_;
    std::string path_;
    std::shared_ptr<Node> node_;
    bool writer_;
    bool created_;
    uint64_t generation_ = 0;
};

void ApplyWrite(std::vector<uint8_t>& bytes, uint64_t offset, const uint8_t* data, uint64_t size) {
    if (size == 0) return;
    if (offset + size > bytes.size()) bytes.resize(static_cast<size_t>(offset + size), 0);
    std::memcpy(bytes.data() + offset, data, static_cast<size_t>(size));
}

// What a disk keeps of a file's writes since its last flush.
std::vector<uint8_t> AfterPowerCut(const Node& node, Tear tear, std::mt19937& random) {
    std::vector<uint8_t> bytes = node.durable.Read();
    for (const MemoryFileSystem::Operation& op : node.pending) {
        const auto choice = tear == Tear::LoseAll   ? 0u
                            : tear == Tear::KeepAll ? 1u
                                                    : static_cast<uint32_t>(random() % 3);
        if (choice == 0) continue;
        if (op.resize) {
            bytes.resize(static_cast<size_t>(op.offset), 0);
            continue;
        }
        if (choice == 1) {
            ApplyWrite(bytes, op.offset, op.data.data(), op.data.size());
            continue;
        }
        // Kept in part: each block the write touches, on its own.
        const uint64_t end = op.offset + op.data.size();
        for (uint64_t at = op.offset; at < end;) {
            const uint64_t blockEnd = std::min(end, (at / kBlock + 1) * kBlock);
            if (random() & 1u) ApplyWrite(bytes, at, op.data.data() + (at - op.offset), blockEnd - at);
            at = blockEnd;
        }
    }
    return bytes;
}

}  // namespace

MemoryFileSystem::MemoryFileSystem(const MemoryFileSystem& other) { *this = other; }

MemoryFileSystem& MemoryFileSystem::operator=(const MemoryFileSystem& other) {
    if (this == &other) return *this;
    rules_ = other.rules_;
    folders_ = other.folders_;
    durableFolders_ = other.durableFolders_;
    madeFolders_ = other.madeFolders_;
    locked_ = other.locked_;
    freeSpace_ = other.freeSpace_;
    // Files that share a node (a name and its durable twin) share it in the copy too.
    std::map<const Node*, std::shared_ptr<Node>> copies;
    const auto copyOf = [&](const std::shared_ptr<Node>& node) {
        auto& copy = copies[node.get()];
        if (!copy) {
            copy = std::make_shared<Node>(*node);
            copy->readers = 0;
            copy->writer = false;
            copy->generation = node->generation + 1;
        }
        return copy;
    };
    files_.clear();
    durableFiles_.clear();
    for (const auto& [path, node] : other.files_) files_[path] = copyOf(node);
    for (const auto& [path, node] : other.durableFiles_) durableFiles_[path] = copyOf(node);
    return *this;
}

std::string MemoryFileSystem::FolderOf(const std::string& path) {
    size_t cut = path.size();
    while (cut > 0 && !IsSeparator(path[cut - 1])) --cut;
    return cut == 0 ? std::string() : path.substr(0, cut - 1);
}

void MemoryFileSystem::SetName(const std::string& path, std::shared_ptr<Node> node) {
    if (rules_ == NameRules::Windows) durableFiles_[path] = node;
    files_[path] = std::move(node);
}

void MemoryFileSystem::DropName(const std::string& path) {
    files_.erase(path);
    if (rules_ == NameRules::Windows) durableFiles_.erase(path);
}

std::unique_ptr<File> MemoryFileSystem::Open(const std::string& path, OpenMode mode) {
    if (locked_.count(path)) throw ArchiveError(ErrorKind::Locked, path, "Another program is using the file.");
    if (folders_.count(path)) throw ArchiveError(ErrorKind::AccessDenied, path, "It is a folder.");
    auto it = files_.find(path);
    const bool writer = mode != OpenMode::Read;
    const bool creates = mode == OpenMode::CreateNew || mode == OpenMode::CreateAlways;
    if (mode == OpenMode::CreateNew && it != files_.end())
        throw ArchiveError(ErrorKind::Io, path, "The file already exists.");
    if (!creates && it == files_.end()) throw ArchiveError(ErrorKind::NotFound, path, "No such file.");
    if (it != files_.end() && (it->second->writer || (writer && it->second->readers > 0)))
        throw ArchiveError(ErrorKind::Locked, path, "Another program is using the file.");
    if (it == files_.end()) {
        SetName(path, std::make_shared<Node>());
        it = files_.find(path);
    }
    auto file = std::make_unique<FileOnNode>(*this, path, it->second, writer, creates);
    if (mode == OpenMode::CreateAlways && !it->second->bytes.Read().empty()) file->Resize(0);
    return file;
}

bool MemoryFileSystem::Exists(const std::string& path) { return files_.count(path) > 0 || folders_.count(path) > 0; }

void MemoryFileSystem::Rename(const std::string& from, const std::string& to) {
    const auto source = files_.find(from);
    if (source == files_.end()) throw ArchiveError(ErrorKind::NotFound, from, "No such file.");
    if (locked_.count(to)) throw ArchiveError(ErrorKind::Locked, to, "Another program is using the file.");
    if (const auto target = files_.find(to);
        target != files_.end() && (target->second->writer || target->second->readers))
        throw ArchiveError(ErrorKind::Locked, to, "Another program is using the file.");
    const std::shared_ptr<Node> node = source->second;
    DropName(from);
    SetName(to, node);
}

void MemoryFileSystem::ReplaceAtomically(const std::string& from, const std::string& to) {
    Rename(from, to);
    FlushFolder(FolderOf(to));
}

void MemoryFileSystem::FlushAndReplaceEach(const std::vector<Move>& moves) {
    for (const Move& move : moves) {
        auto file = Open(move.from, OpenMode::ReadWrite);
        static_cast<MemoryFile&>(*file).FlushData();
    }
    std::set<std::string> folders;
    for (const Move& move : moves) {
        Rename(move.from, move.to);
        folders.insert(FolderOf(move.to));
    }
    for (const std::string& folder : folders) FlushFolder(folder);
}

void MemoryFileSystem::Remove(const std::string& path) {
    const auto it = files_.find(path);
    if (it == files_.end()) throw ArchiveError(ErrorKind::NotFound, path, "No such file.");
    if (locked_.count(path) || it->second->writer || it->second->readers)
        throw ArchiveError(ErrorKind::Locked, path, "Another program is using the file.");
    DropName(path);
}

void MemoryFileSystem::FlushFolder(const std::string& folder) {
    if (rules_ == NameRules::Windows) return;
    for (auto it = durableFiles_.begin(); it != durableFiles_.end();)
        it = FolderOf(it->first) == folder && !files_.count(it->first) ? durableFiles_.erase(it) : std::next(it);
    for (const auto& [path, node] : files_)
        if (FolderOf(path) == folder) durableFiles_[path] = node;
    for (auto it = durableFolders_.begin(); it != durableFolders_.end();)
        it = FolderOf(*it) == folder && !folders_.count(*it) ? durableFolders_.erase(it) : std::next(it);
    for (const std::string& path : folders_)
        if (FolderOf(path) == folder) durableFolders_.insert(path);
}

void MemoryFileSystem::MakeFolder(const std::string& path) {
    folders_.insert(path);
    madeFolders_.insert(path);
    if (rules_ == NameRules::Windows) durableFolders_.insert(path);
}

std::vector<std::string> MemoryFileSystem::MissingFolders(const std::string& path) const {
    // A folder exists when it was made, or when something lies in it.
    const auto exists = [&](const std::string& folder) {
        if (folders_.count(folder)) return true;
        for (const auto& [file, node] : files_)
            if (file.size() > folder.size() && file.compare(0, folder.size(), folder) == 0 &&
                IsSeparator(file[folder.size()]))
                return true;
        return false;
    };
    std::vector<std::string> missing;
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && !IsSeparator(path[at])) continue;
        const std::string part = path.substr(0, at);
        if (!part.empty() && !IsSeparator(part.back()) && part.back() != ':' && !exists(part)) missing.push_back(part);
    }
    return missing;
}

void MemoryFileSystem::CreateDirectories(const std::string& path) {
    if (files_.count(path)) throw ArchiveError(ErrorKind::Io, path, "A file stands where the folder should be.");
    for (const std::string& folder : MissingFolders(path)) {
        MakeFolder(folder);
        FlushFolder(FolderOf(folder));
    }
}

void MemoryFileSystem::RemoveEmptyFolder(const std::string& path) {
    if (!folders_.count(path)) return;
    const auto inside = [&](const std::string& item) {
        return item.size() > path.size() && item.compare(0, path.size(), path) == 0 && IsSeparator(item[path.size()]);
    };
    for (const auto& [file, node] : files_)
        if (inside(file)) return;
    for (const std::string& folder : folders_)
        if (inside(folder)) return;
    folders_.erase(path);
    // Under POSIX rules the removal is durable once its parent is flushed;
    // a power cut before then may bring the empty folder back.
    if (rules_ == NameRules::Windows) durableFolders_.erase(path);
}

uint64_t MemoryFileSystem::FreeSpace(const std::string&) { return freeSpace_; }

void MemoryFileSystem::SetFile(const std::string& path, std::vector<uint8_t> bytes) {
    auto node = std::make_shared<Node>();
    node->bytes = SharedBytes(std::move(bytes));
    node->durable = node->bytes;
    files_[path] = node;
    durableFiles_[path] = node;
}

const std::vector<uint8_t>& MemoryFileSystem::Contents(const std::string& path) const {
    const auto it = files_.find(path);
    if (it == files_.end()) throw ArchiveError(ErrorKind::NotFound, path, "No such file.");
    return it->second->bytes.Read();
}

std::vector<std::string> MemoryFileSystem::Paths() const {
    std::vector<std::string> paths;
    for (const auto& [path, node] : files_) paths.push_back(path);
    return paths;
}

void MemoryFileSystem::LosePower(Tear tear, uint32_t seed) {
    // A name survives only with every folder above it that was made here.
    const auto survives = [&](const std::string& path) {
        for (std::string folder = FolderOf(path); !folder.empty(); folder = FolderOf(folder))
            if (madeFolders_.count(folder) && !durableFolders_.count(folder)) return false;
        return true;
    };
    for (auto& [path, node] : files_) ++node->generation;  // every handle is gone
    files_.clear();
    for (const auto& [path, node] : durableFiles_)
        if (survives(path)) files_[path] = node;
    durableFiles_ = files_;
    folders_.clear();
    for (const std::string& folder : durableFolders_)
        if (survives(folder)) folders_.insert(folder);
    durableFolders_ = folders_;
    std::mt19937 random(seed);
    std::set<Node*> done;
    for (auto& [path, node] : files_) {
        if (!done.insert(node.get()).second) continue;
        if (!node->pending.empty()) node->durable = SharedBytes(AfterPowerCut(*node, tear, random));
        node->bytes = node->durable;
        node->pending.clear();
        node->readers = 0;
        node->writer = false;
        ++node->generation;
    }
}

}  // namespace veltrin::archive::testing
