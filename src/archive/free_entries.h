#pragma once
// Free entries: the directory records that cover space no entry uses (the
// old sectors of an entry that moved or went away), so that every sector
// after the directory belongs to one record, as the game's streaming needs.
// Their names have no dot, so the game never loads them and never reads
// across them; the name is the tool's own ("~free-" and the record's first
// sector in hexadecimal), which no entry may take. A run of free sectors is
// always cut the same way (chunks no larger than the archive's largest
// entry, from the run's start), so that runs that merge again give back the
// very records they had before.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive/archive.h"

namespace veltrin::archive {

// The name of the free entry that starts at this sector.
std::string FreeName(uint32_t offset);
// Whether the record is one of the tool's free entries: named for the very
// sector it starts at. Another tool's entry that only looks like one (any
// other number) holds data and is kept as an entry.
bool IsFreeEntry(const Entry& record);
// Whether the name lies in the space kept for free entries (any case), so
// that no entry may take it.
bool IsReservedName(std::string_view name);

// The free entries that cover the sectors [start, end), each at most cap
// sectors long (cap 0 counts as 1).
std::vector<Entry> FreeEntriesFor(uint64_t start, uint64_t end, uint32_t cap);

}  // namespace veltrin::archive
