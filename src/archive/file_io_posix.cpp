#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "archive/archive_error.h"
#include "archive/file_io.h"
#include "text/ascii.h"
#include "text/path_text.h"

namespace veltrin::archive {
namespace {

// Paths arrive as the tool's scripts write them, with backslashes; here they
// stand for the POSIX separator, as in the rest of the native build.
std::string PosixPath(const std::string& path) {
    std::string posix = path;
    for (char& c : posix)
        if (c == '\\') c = '/';
    return posix;
}

ErrorKind KindOf(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return ErrorKind::NotFound;
    case EACCES:
    case EPERM:
    case EROFS:
        return ErrorKind::AccessDenied;
    case ENOSPC:
    case EDQUOT:
        return ErrorKind::DiskFull;
    case EWOULDBLOCK:
    case EBUSY:
    case ETXTBSY:
        return ErrorKind::Locked;
    default:
        return ErrorKind::Io;
    }
}

// The system's words as a plain detail: "no such file or directory".
[[noreturn]] void Fail(const std::string& path, int error) {
    std::string detail = std::strerror(error);
    if (!detail.empty()) detail[0] = text::LowerAscii(detail[0]);
    throw ArchiveError(KindOf(error), path, detail);
}

// Closes the descriptor it holds, if any, when it goes.
struct Descriptor {
    explicit Descriptor(int opened) : fd(opened) {}
    Descriptor(Descriptor&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor& operator=(Descriptor&&) = delete;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    int fd;
};

void SyncFolder(const std::string& path, const std::string& posixFolder) {
    const Descriptor folder(::open(posixFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.fd < 0) Fail(path, errno);
    if (::fsync(folder.fd) != 0) Fail(path, errno);
}

class PosixFile final : public File {
public:
    PosixFile(std::string path, int fd, bool created) : path_(std::move(path)), fd_(fd), created_(created) {}
    PosixFile(const PosixFile&) = delete;
    PosixFile& operator=(const PosixFile&) = delete;
    ~PosixFile() override { ::close(fd_); }

    uint64_t Size() override {
        struct stat info {};
        if (::fstat(fd_, &info) != 0) Fail(path_, errno);
        return static_cast<uint64_t>(info.st_size);
    }
    void ReadAt(uint64_t offset, std::span<uint8_t> bytes) override {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t got =
                ::pread(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) Fail(path_, errno);
            if (got == 0) throw ArchiveError(ErrorKind::Io, path_, "The file ended earlier than expected.");
            done += static_cast<size_t>(got);
        }
    }
    void WriteAt(uint64_t offset, std::span<const uint8_t> bytes) override {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t put =
                ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
            if (put < 0 && errno == EINTR) continue;
            if (put < 0) Fail(path_, errno);
            done += static_cast<size_t>(put);
        }
        WroteUpTo(offset + bytes.size());
    }
    void Resize(uint64_t size) override {
        if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) Fail(path_, errno);
    }
    void Flush() override {
        if (::fsync(fd_) != 0) Fail(path_, errno);
        // A file made by this process is durable only once its folder is.
        if (created_) {
            SyncFolder(path_, std::string(text::FolderOf(PosixPath(path_))));
            created_ = false;
        }
    }

    void CopyFrom(File& source, uint64_t sourceOffset, uint64_t offset, uint64_t size) override {
        auto* posixSource = dynamic_cast<PosixFile*>(&source);
        while (posixSource && size > 0) {
            auto from = static_cast<off_t>(sourceOffset);
            auto to = static_cast<off_t>(offset);
            const ssize_t copied = ::copy_file_range(posixSource->fd_, &from, fd_, &to,
                                                     static_cast<size_t>(std::min<uint64_t>(size, kMaxCopy)), 0);
            if (copied < 0 && errno == EINTR) continue;
            if (copied < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) break;
            if (copied < 0) Fail(path_, errno);
            if (copied == 0)
                throw ArchiveError(ErrorKind::Io, posixSource->path_, "The file ended earlier than expected.");
            sourceOffset += static_cast<uint64_t>(copied);
            offset += static_cast<uint64_t>(copied);
            size -= static_cast<uint64_t>(copied);
            WroteUpTo(offset);
        }
        // Across file systems, or where the kernel cannot copy: through memory.
        if (size > 0) File::CopyFrom(source, sourceOffset, offset, size);
    }

private:
    static constexpr uint64_t kMaxCopy = uint64_t{1} << 30;
    static constexpr uint64_t kWriteBehind = uint64_t{32} << 20;

    // A file written front to back (a rewritten archive) has the system
    // start writing each finished stretch to disk at once, so that the
    // closing flush waits only for the last one rather than for all of it.
    void WroteUpTo(uint64_t end) {
        if (end < kickedUpTo_ || end - kickedUpTo_ < kWriteBehind) return;
        ::sync_file_range(fd_, static_cast<off_t>(kickedUpTo_), static_cast<off_t>(end - kickedUpTo_),
                          SYNC_FILE_RANGE_WRITE);
        kickedUpTo_ = end;
    }

    uint64_t kickedUpTo_ = 0;

    std::string path_;
    int fd_;
    bool created_;
};

class PosixFileSystem final : public FileSystem {
public:
    std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
        int flags = O_CLOEXEC;
        switch (mode) {
        case OpenMode::Read:
            flags |= O_RDONLY;
            break;
        case OpenMode::ReadWrite:
            flags |= O_RDWR;
            break;
        case OpenMode::CreateNew:
            flags |= O_RDWR | O_CREAT | O_EXCL;
            break;
        case OpenMode::CreateAlways:
            flags |= O_RDWR | O_CREAT;
            break;  // emptied once locked
        }
        Descriptor file(::open(PosixPath(path).c_str(), flags, 0666));
        if (file.fd < 0) {
            if (errno == EEXIST) throw ArchiveError(ErrorKind::Io, path, "The file already exists.");
            Fail(path, errno);
        }
        struct stat info {};
        if (::fstat(file.fd, &info) != 0) Fail(path, errno);
        if (S_ISDIR(info.st_mode)) Fail(path, EISDIR);
        // Advisory locks give the sharing rules of the Windows build: readers
        // share, a writer is alone.
        if (::flock(file.fd, (mode == OpenMode::Read ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK) throw ArchiveError(ErrorKind::Locked, path, "Another program is using the file.");
            Fail(path, errno);
        }
        if (mode == OpenMode::CreateAlways && ::ftruncate(file.fd, 0) != 0) Fail(path, errno);
        const bool created = mode == OpenMode::CreateNew || mode == OpenMode::CreateAlways;
        return std::make_unique<PosixFile>(path, std::exchange(file.fd, -1), created);
    }

    bool Exists(const std::string& path) override {
        struct stat info {};
        if (::stat(PosixPath(path).c_str(), &info) == 0) return true;
        if (errno == ENOENT || errno == ENOTDIR) return false;
        Fail(path, errno);
    }

    void ReplaceAtomically(const std::string& from, const std::string& to) override {
        const std::string posixTo = PosixPath(to);
        // Freeing a large replaced file (its cached pages, its blocks) takes
        // the system a while; holding it open moves that work from the
        // rename to the final close, which happens off the caller's path.
        const int replaced = ::open(posixTo.c_str(), O_RDONLY | O_CLOEXEC);
        if (::rename(PosixPath(from).c_str(), posixTo.c_str()) != 0) {
            const int error = errno;
            if (replaced >= 0) ::close(replaced);
            Fail(to, error);
        }
        if (replaced >= 0) std::thread([replaced] { ::close(replaced); }).detach();
        SyncFolder(to, std::string(text::FolderOf(posixTo)));
    }

    void Replace(const std::string& from, const std::string& to) override {
        if (::rename(PosixPath(from).c_str(), PosixPath(to).c_str()) != 0) Fail(to, errno);
    }

    // All files are first handed to the disk together, so that the first
    // flush's journal commit covers every one and the others find their
    // data written; each folder is made durable once, after the last move.
    void FlushAndReplaceEach(const std::vector<Move>& moves) override {
        constexpr size_t kOpenAtOnce = 256;
        for (size_t first = 0; first < moves.size(); first += kOpenAtOnce) {
            const size_t end = std::min(moves.size(), first + kOpenAtOnce);
            std::vector<Descriptor> files;
            files.reserve(end - first);
            for (size_t i = first; i < end; ++i) {
                files.emplace_back(::open(PosixPath(moves[i].from).c_str(), O_RDONLY | O_CLOEXEC));
                if (files.back().fd < 0) Fail(moves[i].from, errno);
                ::sync_file_range(files.back().fd, 0, 0, SYNC_FILE_RANGE_WRITE);
            }
            for (size_t i = first; i < end; ++i)
                if (::fsync(files[i - first].fd) != 0) Fail(moves[i].from, errno);
        }
        std::set<std::string> folders;
        for (const Move& move : moves) {
            const std::string posixTo = PosixPath(move.to);
            if (::rename(PosixPath(move.from).c_str(), posixTo.c_str()) != 0) Fail(move.to, errno);
            folders.emplace(text::FolderOf(posixTo));
        }
        for (const std::string& folder : folders) SyncFolder(folder, folder);
    }

    void Remove(const std::string& path) override {
        if (::unlink(PosixPath(path).c_str()) != 0) Fail(path, errno);
    }

    void FlushFolder(const std::string& folder) override { SyncFolder(folder, PosixPath(folder)); }

    void RemoveEmptyFolder(const std::string& path) override {
        if (::rmdir(PosixPath(path).c_str()) != 0 && errno != ENOENT && errno != ENOTEMPTY && errno != EEXIST)
            Fail(path, errno);
    }

    // A new folder is durable only once its parent is flushed: each one made
    // here is, so that files later made durable inside it cannot vanish with
    // it in a power cut.
    void CreateDirectories(const std::string& path) override {
        const std::string posix = PosixPath(path);
        for (size_t at = 1; at <= posix.size(); ++at) {
            if (at != posix.size() && posix[at] != '/') continue;
            const std::string part = posix.substr(0, at);
            if (::mkdir(part.c_str(), 0777) == 0)
                SyncFolder(path, std::string(text::FolderOf(part)));
            else if (errno != EEXIST)
                Fail(path, errno);
        }
        struct stat info {};
        if (::stat(posix.c_str(), &info) != 0) Fail(path, errno);
        if (!S_ISDIR(info.st_mode))
            throw ArchiveError(ErrorKind::Io, path, "A file stands where the folder should be.");
    }

    uint64_t FreeSpace(const std::string& path) override {
        const std::string posix = PosixPath(path);
        struct stat info {};
        const std::string folder =
            ::stat(posix.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? posix : std::string(text::FolderOf(posix));
        struct statvfs volume {};
        if (::statvfs(folder.c_str(), &volume) != 0) Fail(path, errno);
        return uint64_t{volume.f_bavail} * volume.f_frsize;
    }

    // No lock is taken: the check must not stand in another program's way.
    void CheckWritable(const std::string& path) override {
        const Descriptor file(::open(PosixPath(path).c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
        if (file.fd < 0) Fail(path, errno);
    }

    bool MarkedReadOnly(const std::string& path) override {
        struct stat info {};
        if (::stat(PosixPath(path).c_str(), &info) != 0) return false;
        return (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
    }

    // An unnamed file (O_TMPFILE) never shows in the folder, not even after a
    // crash. Where the file system cannot make one, a file of a fresh name is
    // made and removed at once.
    void CheckCanCreateIn(const std::string& folder) override {
        const std::string posix = PosixPath(folder);
        if (const Descriptor unnamed(::open(posix.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600)); unnamed.fd >= 0)
            return;
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) Fail(folder, errno);
        struct timespec now {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string probe = posix + "/.veltrin-write-check-" + std::to_string(::getpid()) + "-" +
                                      std::to_string(now.tv_nsec) + "-" + std::to_string(attempt);
            {
                const Descriptor made(::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
                if (made.fd < 0 && errno == EEXIST) continue;
                if (made.fd < 0) Fail(folder, errno);
            }
            if (::unlink(probe.c_str()) != 0) Fail(probe, errno);
            return;
        }
        throw ArchiveError(ErrorKind::Io, folder, "Every name tried for the check file is taken.");
    }
};

}  // namespace

FileSystem& SystemFileSystem() {
    static PosixFileSystem system;
    return system;
}

}  // namespace veltrin::archive
