#include "tool/common/error_text.h"

namespace veltrin::tool {
namespace {

// ": <detail>", or nothing when the library gave none.
std::string Detail(const archive::ArchiveError& error) {
    return error.reason().empty() ? std::string() : ": " + error.reason();
}

// "<path>: <detail>", or the one of them that is there.
std::string Where(const archive::ArchiveError& error) {
    if (error.path().empty()) return error.reason();
    return error.path() + Detail(error);
}

}  // namespace

// Each kind's words, then the library's detail, then what the player can do.
// What became of the archives is the caller's to say: the same error may
// strike before a save or after its point of no return.
std::string DescribeError(const archive::ArchiveError& error) {
    using archive::ErrorKind;
    const std::string& path = error.path();
    switch (error.kind()) {
    case ErrorKind::NotFound:
        return path + " was not found" + Detail(error);
    case ErrorKind::AccessDenied:
        return "access to " + path + " was denied" + Detail(error) +
               "; run as administrator or move the game out of Program Files";
    case ErrorKind::Locked:
        return path + " is in use by another program" + Detail(error) + "; close the game and try again";
    case ErrorKind::DiskFull:
        return "not enough free space for " + path + Detail(error);
    case ErrorKind::NotAnArchive:
        return path + " is not a GTA San Andreas archive (version 2)" + Detail(error);
    case ErrorKind::Damaged:
        return "the archive " + path + " is damaged" + Detail(error);
    case ErrorKind::BadName:
        return "the name cannot be stored in an archive: " + Where(error);
    case ErrorKind::TooLarge:
        return "too large for the archive: " + Where(error);
    case ErrorKind::Changed:
        return path + " was changed by another program since it was read";
    case ErrorKind::Io:
        break;
    }
    return Where(error);
}

ExitStatus StatusOf(archive::ErrorKind kind) {
    using archive::ErrorKind;
    switch (kind) {
    case ErrorKind::NotFound:
        return ExitStatus::NotFound;
    case ErrorKind::AccessDenied:
        return ExitStatus::AccessDenied;
    case ErrorKind::Locked:
        return ExitStatus::Locked;
    case ErrorKind::DiskFull:
        return ExitStatus::DiskFull;
    case ErrorKind::NotAnArchive:
    case ErrorKind::Damaged:
        return ExitStatus::NotAnArchive;
    case ErrorKind::BadName:
    case ErrorKind::TooLarge:
        return ExitStatus::Rejected;
    case ErrorKind::Changed:
        return ExitStatus::ArchiveChanged;
    case ErrorKind::Io:
        break;
    }
    return ExitStatus::Io;
}

}  // namespace veltrin::tool
