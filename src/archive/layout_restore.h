#pragma once
// Giving an archive back a layout it had before: its header, directory and
// spare room byte for byte, each entry in its old sectors, free entries as
// zeros, and its old size. The tool keeps the start of an archive before
// an install and gives it back at the undo, when nothing else changed the
// archive in between, so that the undo leaves exactly the archive the
// install found.
#include <map>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/commit.h"
#include "archive/in_place_plan.h"

namespace veltrin::archive {

struct LayoutRestore {
    const Layout& layout;
    // Folded name -> the file that holds the stored bytes of the layout's
    // first entry of that name (the one the game reads; a backup). Twins
    // after it are not its entries.
    const std::map<std::string, std::string>& originals;
    // Each original's data, read when the journal is written.
    std::vector<StagedData>& staged;
};

// The plan that turns the archive (its records, directory and size as
// committed, its front bytes as they are) into the layout. Throws
// ArchiveError (Damaged: the layout is not a sound archive; NotFound, Io:
// an entry's bytes are not to be had) before anything is written.
InPlacePlan PlanLayoutRestore(const StagedChanges& now, const std::vector<uint8_t>& frontNow,
                              const LayoutRestore& restore, FileSystem& fs, const std::string& path);

}  // namespace veltrin::archive
