#include "archive/free_entries.h"

#include <algorithm>

#include "text/ascii.h"

namespace veltrin::archive {
namespace {

constexpr std::string_view kPrefix = "~free-";

}  // namespace

std::string FreeName(uint32_t offset) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string digits;
    do {
        digits.insert(digits.begin(), kHex[offset & 15]);
        offset >>= 4;
    } while (offset != 0);
    return std::string(kPrefix) + digits;
}

bool IsFreeEntry(const Entry& record) {
    return record.name.starts_with(kPrefix) && record.name == FreeName(record.offset);
}

bool IsReservedName(std::string_view name) {
    return name.size() >= kPrefix.size() && text::EqualIgnoringAsciiCase(name.substr(0, kPrefix.size()), kPrefix);
}

std::vector<Entry> FreeEntriesFor(uint64_t start, uint64_t end, uint32_t cap) {
    cap = std::max<uint32_t>(cap, 1);
    std::vector<Entry> entries;
    for (uint64_t at = start; at < end;) {
        const auto sectors = static_cast<uint32_t>(std::min<uint64_t>(end - at, cap));
        entries.push_back({FreeName(static_cast<uint32_t>(at)), static_cast<uint32_t>(at), sectors});
        at += sectors;
    }
    return entries;
}

}  // namespace veltrin::archive
