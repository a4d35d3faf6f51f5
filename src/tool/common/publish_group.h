#pragma once
// A publish group: files that are made durable and put in place together.
// Each is written beside its target (path + ".partial"), creating missing
// folders; Publish flushes every one, then moves each over its target in one
// step. A crash leaves each target absent or whole. Writing many files this
// way costs the disk far less than making each durable on its own. What was
// never published is removed at the end. A scratch name never falls on a
// file the group writes, whatever the targets are named (an entry
// "x.dff.partial" beside "x.dff").
#include <functional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "archive/file_io.h"

namespace veltrin::tool {

// What a scratch file's name ends in; scripts may not name a backup so.
inline constexpr std::string_view kScratchSuffix = ".partial";

class PublishGroup {
public:
    explicit PublishGroup(archive::FileSystem& fs) : fs_(fs) {}
    PublishGroup(const PublishGroup&) = delete;
    PublishGroup& operator=(const PublishGroup&) = delete;
    ~PublishGroup();

    void Write(const std::string& path, std::span<const uint8_t> bytes);
    // Write with the bytes that fill puts into the new, empty file.
    void WriteWith(const std::string& path, const std::function<void(archive::File&)>& fill);
    // Returns once every file written so far is at its path, durable. When
    // this throws, the files not yet moved are
    // removed.
    void Publish();
    // Whether a file for the path waits to be published. Paths that differ
    // only in the case of letters name one file on Windows and count as one.
    [[nodiscard]] bool Has(const std::string& path) const;

private:
    void Discard() noexcept;
    [[nodiscard]] std::string ScratchFor(const std::string& path) const;

    archive::FileSystem& fs_;
    std::vector<archive::FileSystem::Move> moves_;
    // Folded paths: the waiting targets and their scratch files, and every
    // target since this object was made.
    std::set<std::string> targets_;
    std::set<std::string> scratch_;
    std::set<std::string> everyTarget_;
    std::string lastFolder_;
};

}  // namespace veltrin::tool
