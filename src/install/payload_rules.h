#pragma once
// Which files of a payload folder are the mod's, and in what order.
#include <string>
#include <string_view>
#include <vector>

namespace veltrin::install {

// One entry of a folder as the file system reports it.
struct FolderEntry {
    std::string name;  // long name, UTF-8, no folder part
    bool isFolder = false;
    bool hidden = false;
    bool system = false;
};

// The most names one payload folder may hold.
inline constexpr size_t kMaxPayloadNames = 32767;

// True for a name ending in ".dff" or ".txd", in any case. Only the full long
// name counts: "a.dffx" never matches.
bool IsPayloadName(std::string_view name);

// Orders names without regard to case: byte by byte after folding ASCII
// letters A-Z to a-z; names equal under that folding keep a fixed order by
// their unfolded bytes. Other bytes (digits, punctuation, UTF-8 sequences of
// non-ASCII letters) compare by value.
bool PayloadNameLess(std::string_view a, std::string_view b);

// The payload files among a folder's entries: files only (no folders), not
// hidden, not system, with a payload name; sorted with PayloadNameLess.
std::vector<std::string> SelectPayload(const std::vector<FolderEntry>& entries);

}  // namespace veltrin::install
