#pragma once
// The in-place commit: only the directory and the changed sectors are
// written, through the redo journal (in_place_plan.h plans it).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/commit.h"
#include "archive/in_place_plan.h"
#include "archive/journal.h"

namespace veltrin::archive {

// The journal writes that turn the directory `before` into `after` (header
// and records as they lie on disk): the header when it changes, and each run
// of records that changes.
std::vector<JournalWrite> DirectoryWrites(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after);

// Writes the journal, applies it to the archive, open for exclusive access,
// and retires it (commit.h, rules 3 and 6 to 8), telling progress as it goes.
CommitResult CommitInPlace(FileSystem& fs, const std::string& archivePath, File& archive, const InPlacePlan& plan,
                           const Progress& progress);

}  // namespace veltrin::archive
