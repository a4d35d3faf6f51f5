#pragma once
// The one error type of the archive library: what failed, the path, and why.
#include <stdexcept>
#include <string>

namespace veltrin::archive {

enum class ErrorKind {
    NotFound,      // the file or folder does not exist
    AccessDenied,  // the system refused access (protected folder, read-only file)
    Locked,        // another program holds the file open (the game is running)
    DiskFull,      // not enough free space; nothing was changed
    NotAnArchive,  // the file is not a version-2 archive
    Damaged,       // the directory is inconsistent (entries beyond the end, overlaps, impossible count)
    BadName,       // a name the format cannot hold (too long, characters it cannot store)
    TooLarge,      // data too large for one entry, or an archive past what the game can address
    Changed,       // another program changed the archive after it was read; nothing was changed
    Io,            // any other failure of the system
};

class ArchiveError : public std::runtime_error {
public:
    ArchiveError(ErrorKind kind, std::string path, std::string reason)
        : std::runtime_error(reason), kind_(kind), path_(std::move(path)), reason_(std::move(reason)) {}
    [[nodiscard]] ErrorKind kind() const noexcept { return kind_; }
    [[nodiscard]] const std::string& path() const noexcept { return path_; }
    [[nodiscard]] const std::string& reason() const noexcept { return reason_; }

private:
    ErrorKind kind_;
    std::string path_;
    std::string reason_;
};

}  // namespace veltrin::archive
