#pragma once
// Planning a commit that changes the archive where it lies, writing only
// what changes: the bytes of the mod, the directory, and zeros over the
// sectors that entries leave.
//
// The layout the game needs stays as it is: records in data order from the
// first sector after the directory (and its spare room), every sector
// belonging to one record, no gaps. What moves:
//  - A replacement that fits its entry's sectors goes in place (padded with
//    zeros; with exact sizes it must need exactly those sectors).
//  - One that does not fit moves, its record with it: into the sectors it
//    asks for (`at`) when they are free, else into the smallest free run it
//    fits, else to the end. Its old sectors become free.
//  - An addition goes where a moving replacement would.
//  - A removal frees the entry's sectors.
//  - Free sectors are zeroed and covered by free entries (free_entries.h);
//    those at the end are cut off, and the file shrinks.
//  - When the directory needs more room than lies before the first record,
//    the first records move to the end (free ones are dropped), and the
//    room they leave beyond what the directory needs stays spare.
// There is no plan (the caller writes the archive anew) when the layout is
// not sound, when the archive would pass 4 GB, when a record of the game's
// fixed table (StagedChanges::tableLimit) would move out of it, or when a
// record would move behind another of its name (any case): the game reads
// the first of such twins, and must go on reading the same one.
#include <optional>

#include "archive/commit.h"
#include "archive/journal.h"

namespace veltrin::archive {

struct InPlacePlan {
    std::vector<Entry> records;      // the directory afterwards, free entries too
    std::vector<uint8_t> directory;  // its header and records as they will lie on disk
    Journal journal;
};

std::optional<InPlacePlan> PlanInPlace(const StagedChanges& staged);

}  // namespace veltrin::archive
