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
    std::vector<Entry> entries;  // the directory afterwards
    Journal journal;
};

// The plan when the changes can be made in place: nothing is removed, the
// archive already keeps the game's layout, each replacement fits the
// sectors of the entry it replaces (padded with zeros), and additions fit the
// spare room of the directory and go after the last entry.
std::optional<InPlacePlan> PlanInPlace(const StagedChanges& staged);

// Writes the journal, applies it and removes it (commit.h, rules 2, 3 and
// 6 to 8), telling progress as it goes.
CommitResult CommitInPlace(FileSystem& fs, const std::string& archivePath, const InPlacePlan& plan,
                           const Progress& progress);

}  // namespace veltrin::archive
