#pragma once
// Giving an archive back a layout it had before: its header, directory and
// spare room byte for byte, each entry in its old sectors, free entries as
// zeros, the bytes after its last entry, and its old size. The tool keeps the
// start and the end of an archive before an install and gives them back at
// the undo, when nothing else changed the archive in between, so that the
// undo leaves exactly the archive the install found.
//
// Only a layout whose entries follow one another, in directory order from
// the end of its front to the start of its tail, can be given back soundly:
// then its front and tail hold no entry's data, and every sector between
// them is an entry's. An archive another editor left with holes or data out
// of order is not such a layout; nor is one whose front or tail is too large
// to keep. The undo of those goes entry by entry.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/commit.h"
#include "archive/in_place_plan.h"

namespace veltrin::archive {

// The most bytes of a front (a stock gta3.img's is half a megabyte; a
// directory of 65,535 records two) and of a tail (a few sectors' worth) a
// layout keeps.
inline constexpr uint64_t kMaxLayoutFront = uint64_t{8} << 20;
inline constexpr uint64_t kMaxLayoutTail = uint64_t{64} << 10;

// Why the layout of an archive of these records (in directory order) and
// this size could not be given back byte for byte, or empty when it could.
std::string WhyLayoutCannotBeKept(const std::vector<Entry>& records, uint64_t fileSize);
// The same for a layout kept earlier, which must also hold all of its front
// and its tail.
std::string WhyLayoutCannotBeGivenBack(const Layout& layout);

struct LayoutRestore {
    const Layout& layout;
    // Folded name -> the file, or part of one, that holds the stored bytes
    // of the layout's first entry of that name (the one the game reads).
    // Twins after it are not its entries.
    const std::map<std::string, FilePart>& originals;
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
