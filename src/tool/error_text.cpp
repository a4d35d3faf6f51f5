#include "tool/error_text.h"

namespace veltrin::tool {
namespace {

// "<path>: <reason>" or just the reason when the path says nothing more.
std::string Where(const archive::ArchiveError& error) {
    if (error.path().empty()) return error.reason();
    if (error.reason().empty()) return error.path();
    return error.path() + ": " + error.reason();
}

}  // namespace

std::string DescribeError(const archive::ArchiveError& error) {
    using archive::ErrorKind;
    const std::string& path = error.path();
    switch (error.kind()) {
    case ErrorKind::NotFound:
        return path + " was not found";
    case ErrorKind::AccessDenied:
        return "access to " + path + " was denied: run as administrator or move the game out of Program Files";
    case ErrorKind::Locked:
        return path + " is in use by another program: close the game and try again";
    case ErrorKind::DiskFull:
        return "not enough free space for " + path + ": nothing was changed";
    case ErrorKind::NotAnArchive:
        return path + " is not a GTA San Andreas archive (version 2)";
    case ErrorKind::Damaged:
        return "the archive " + Where(error) + " is damaged";
    case ErrorKind::BadName:
        return "the name cannot be stored in an archive: " + Where(error);
    case ErrorKind::TooLarge:
        return "too large for the archive: " + Where(error);
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
    case ErrorKind::Io:
        break;
    }
    return ExitStatus::Io;
}

}  // namespace veltrin::tool
