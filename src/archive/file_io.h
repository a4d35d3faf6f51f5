#pragma once
// The archive library's only door to the operating system. One body per
// system (file_io_win.cpp, file_io_posix.cpp); tests wrap it to inject faults.
// Paths are UTF-8. Every failure throws ArchiveError with the fitting kind.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace veltrin::archive {

// How much of a file or entry is read at a time where the bytes are only
// looked at (summed, compared). Larger buffers cost more than they save: a
// Windows heap gives blocks of a few hundred kilobytes back to the system
// when they are freed, so each new one is paid for in fresh pages.
inline constexpr uint64_t kReadPiece = uint64_t{64} << 10;

class File {
public:
    virtual ~File() = default;
    [[nodiscard]] virtual uint64_t Size() = 0;
    // Reads exactly bytes.size() bytes at offset; reading past the end throws.
    virtual void ReadAt(uint64_t offset, std::span<uint8_t> bytes) = 0;
    virtual void WriteAt(uint64_t offset, std::span<const uint8_t> bytes) = 0;
    virtual void Resize(uint64_t size) = 0;
    // Returns once everything written has reached the disk.
    virtual void Flush() = 0;
    // Writes size bytes read from source at sourceOffset to offset in this
    // file. The default reads and writes in large blocks; a system body may
    // let the kernel copy without passing the bytes through the program.
    virtual void CopyFrom(File& source, uint64_t sourceOffset, uint64_t offset, uint64_t size);
};

// Bytes of a file: size bytes from offset.
struct FilePart {
    std::string path;
    uint64_t offset = 0;
    uint64_t size = 0;
};

enum class OpenMode {
    Read,          // existing file, shared for reading
    ReadWrite,     // existing file, exclusive
    CreateNew,     // fails when the file exists
    CreateAlways,  // creates or truncates
};

class FileSystem {
public:
    virtual ~FileSystem() = default;
    virtual std::unique_ptr<File> Open(const std::string& path, OpenMode mode) = 0;
    [[nodiscard]] virtual bool Exists(const std::string& path) = 0;
    // Replaces `to` by `from` in one step that a crash cannot leave halfway,
    // and makes the change durable.
    virtual void ReplaceAtomically(const std::string& from, const std::string& to) = 0;
    // The same step, returning without waiting for the disk: a power cut may
    // undo it (on POSIX systems, until its folder is flushed). For a file
    // whose waiting copy the next run settles either way. The default is
    // ReplaceAtomically.
    virtual void Replace(const std::string& from, const std::string& to);
    struct Move {
        std::string from;
        std::string to;
    };
    // Flushes each file `from` and moves it over its `to`, each move one step
    // that a crash cannot leave halfway, and returns once every move is
    // durable; a crash before then may leave any of them done or not. The
    // default takes one file after the other; a system body may let the disk
    // take them together, which costs far less than a flush and a move each.
    virtual void FlushAndReplaceEach(const std::vector<Move>& moves);
    virtual void Remove(const std::string& path) = 0;
    // Returns once every change of names in the folder (a new file, a
    // rename, a removal) is durable. The default does nothing, as on
    // Windows, where a name's change is durable with the call that makes it;
    // POSIX systems flush the folder.
    virtual void FlushFolder(const std::string& folder);
    // Creates the folder and every missing parent.
    virtual void CreateDirectories(const std::string& path) = 0;
    // Removes the folder when it is there and empty; a folder that holds
    // anything, or none there, is left as it is. A crash may leave it. Throws
    // ArchiveError when an empty folder cannot be removed.
    virtual void RemoveEmptyFolder(const std::string& path) = 0;
    // Free bytes on the volume that holds the path.
    [[nodiscard]] virtual uint64_t FreeSpace(const std::string& path) = 0;

    // Checks, before anything is written, what the writes would meet. Each
    // throws ArchiveError with the kind the write would fail with (NotFound,
    // AccessDenied, Locked, ...) and changes nothing. The defaults check
    // nothing; the system bodies ask the system.
    //
    // The existing file may be opened for writing (and replaced): it is
    // opened so, sharing it with every other handle, and closed, never
    // truncated.
    virtual void CheckWritable(const std::string& path);
    // Files may be created (and removed) in the existing folder: one is made
    // there under a name nothing else uses and is gone when the check ends.
    virtual void CheckCanCreateIn(const std::string& folder);
    // Whether the file or folder carries the system's read-only mark: the
    // read-only attribute on Windows, no write permission for anyone under
    // POSIX. Such a file cannot be written, not even with administrator
    // rights, until the mark is taken off. (Windows lets files be created
    // in a folder with the mark: for a folder it only explains a refusal.)
    // False when the path cannot be asked about. The default knows no marks.
    [[nodiscard]] virtual bool MarkedReadOnly(const std::string& path);
};

// The real file system of this process.
FileSystem& SystemFileSystem();

}  // namespace veltrin::archive
