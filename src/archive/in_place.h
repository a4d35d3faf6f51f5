#pragma once
// The in-place commit: when every change fits the room it takes, only the
// directory and the changed sectors are written, through the redo journal.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/journal.h"
#include "archive/staged_data.h"

namespace veltrin::archive {

struct StagedChange {
    size_t index = 0;  // of the committed entry
    bool removed = false;
    const std::string* name = nullptr;
    const StagedData* data = nullptr;
};

struct StagedAddition {
    const std::string* name = nullptr;
    const StagedData* data = nullptr;
};

struct InPlaceInput {
    const std::vector<Entry>& entries;
    uint64_t fileSize = 0;
    std::vector<StagedChange> changes;
    std::vector<StagedAddition> additions;
    bool exactSizes = false;  // a replacement must need exactly the sectors it replaces
};

struct InPlacePlan {
    std::vector<Entry> entries;  // the directory afterwards
    Journal journal;
};

// The plan when the changes can be made in place: nothing is removed, the
// archive already keeps the game's layout, each replacement fits the
// sectors of the entry it replaces (padded with zeros), and additions fit the
// spare room of the directory and go after the last entry.
std::optional<InPlacePlan> PlanInPlace(const InPlaceInput& input);

// Writes the journal, applies it and removes it, telling progress as it
// goes. Throws CommitInterrupted when it fails once the journal is durable.
uint64_t CommitInPlace(FileSystem& fs, const std::string& archivePath, const InPlacePlan& plan,
                       const Progress& progress);

}  // namespace veltrin::archive
