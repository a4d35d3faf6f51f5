#pragma once
// The in-place commit: when every change fits the room it takes, only the
// directory and the changed sectors are written, through the redo journal.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/commit.h"
#include "archive/journal.h"

namespace veltrin::archive {

struct InPlacePlan {
    std::vector<Entry> entries;      // the directory afterwards
    std::vector<uint8_t> directory;  // its header and records as they will lie on disk
    Journal journal;
};

// The plan when the changes can be made in place: nothing is removed, the
// archive already keeps the game's layout, each replacement fits the
// sectors of the entry it replaces (padded with zeros), and additions fit the
// spare room of the directory and go after the last entry.
std::optional<InPlacePlan> PlanInPlace(const StagedChanges& staged);

// The journal writes that turn the directory `before` into `after` (header
// and records as they lie on disk): the header when it changes, and each run
// of records that changes.
std::vector<JournalWrite> DirectoryWrites(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after);

// Writes the journal, applies it to the archive, open for exclusive access,
// and retires it (commit.h, rules 3 and 6 to 8), telling progress as it goes.
CommitResult CommitInPlace(FileSystem& fs, const std::string& archivePath, File& archive, const InPlacePlan& plan,
                           const Progress& progress);

}  // namespace veltrin::archive
