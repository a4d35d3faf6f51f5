#pragma once
// The game's fixed table of records: player.img's directory is copied into
// a table of 550 records, and those past the 550th are dropped without a
// word. A record within the table must stay within it; an entry past it is
// never found by the game.
#include <cstddef>
#include <string>
#include <vector>

#include "archive/archive.h"

namespace veltrin::archive {

inline constexpr size_t kPlayerTable = 550;

// How many records of the archive at this path the game reads: 0 where it
// reads them all.
size_t TableLimitOf(const std::string& path);

// For each entry past the table (free entries are nothing the game misses),
// a sentence that names it; records in directory order.
std::vector<std::string> EntriesPastTheTable(const std::vector<Entry>& records, const std::string& path);

}  // namespace veltrin::archive
