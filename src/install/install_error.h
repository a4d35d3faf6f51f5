#pragma once
// The ways an install run can fail, each with its own exit status.
#include <cstdint>
#include <stdexcept>
#include <string>

namespace veltrin::install {

enum class Failure {
    Gta3PayloadFolder = 2,    // the "gta3.img" payload folder cannot be listed
    ScriptCreate = 3,         // Install.dat cannot be created
    ScriptWrite = 4,          // Install.dat cannot be written or closed
    PlayerPayloadFolder = 5,  // the "player.img" payload folder cannot be listed
    TooManyPayloadFiles = 6,  // a payload folder holds more than 32,767 mod files
    ToolLaunch = 7,           // Install.plug cannot be started
    NotRepresentable = 8,     // a path or name the system's ANSI code page cannot hold
    Unexpected = 9,           // anything else (out of memory, ...)
    ToolFailed = 10,          // the archive tool ended with a failure, or could not be waited for
};

inline constexpr int kExitSuccess = 0;

// For a NotRepresentable failure: which of the paths the script names holds
// the name the code page cannot hold, so that the report names the thing to
// rename.
enum class PathPart {
    Unknown,            // a script line as a whole
    ApplicationFolder,  // the folder holding Install.exe: every payload path starts with it
    GameFolder,         // the game folder the player chose
    ModFile,            // a payload file
};

class InstallError : public std::runtime_error {
public:
    // For NotRepresentable, reason is the one name in the path that the code
    // page cannot hold (a folder's or the file's), when there is one.
    InstallError(Failure failure, std::string path, std::string reason, PathPart part = PathPart::Unknown)
        : std::runtime_error(reason),
          failure_(failure),
          path_(std::move(path)),
          reason_(std::move(reason)),
          part_(part) {}

    [[nodiscard]] Failure failure() const noexcept { return failure_; }
    [[nodiscard]] const std::string& path() const noexcept { return path_; }
    [[nodiscard]] const std::string& reason() const noexcept { return reason_; }
    [[nodiscard]] PathPart part() const noexcept { return part_; }

private:
    Failure failure_;
    std::string path_;
    std::string reason_;
    PathPart part_;
};

// The text of the failure report: what failed, the path on a line of its own
// (so that the box wraps the text around it rather than inside it), and the
// system's reason (or, for a name the code page cannot hold, the name). For
// ToolFailed the path is Install.log's and the reason the tool's ending.
std::string FailureText(const InstallError& error);

// The reason for a write that found its disk full: the system's words and the
// room the disk has left, so that the player knows to make room.
std::string DiskFullReason(const std::string& systemMessage, std::uint64_t freeBytes);

// A size for people: "less than 1 KB", "12 KB", "1.8 MB", "3.2 GB" (units of
// 1024, rounded down).
std::string SizeText(std::uint64_t bytes);

}  // namespace veltrin::install
