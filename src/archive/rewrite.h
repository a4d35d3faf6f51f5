#pragma once
// The normal commit (commit.h, rules 4 and 5): the whole archive written
// anew beside the old one in large sequential blocks, then put in its place.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/file_io.h"
#include "archive/staged_data.h"

namespace veltrin::archive {

// One entry of the archive to write. Its data is either new or the sectors
// it had in the old archive.
struct PlannedEntry {
    std::string name;
    const StagedData* data = nullptr;  // new data; null: copy from the old archive
    uint32_t sourceOffset = 0;                    // in sectors, when copied
    uint32_t sectors = 0;
};

// Size in bytes of the archive these entries make.
uint64_t RewrittenSize(const std::vector<PlannedEntry>& plan);

// Writes the planned archive to the rewrite path, flushes it, closes source
// and replaces the archive with it. Returns the new directory. On failure
// the old archive is untouched and the partial file is removed when possible.
std::vector<Entry> RewriteArchive(FileSystem& fs, const std::string& archivePath, std::unique_ptr<File>& source,
                                  const std::vector<PlannedEntry>& plan, const Progress& progress,
                                  uint64_t& bytesWritten);

}  // namespace veltrin::archive
