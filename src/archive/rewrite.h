#pragma once
// The normal commit (commit.h, rules 4 and 5): the whole archive written
// anew beside the old one in large sequential blocks, then put in its place.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/commit.h"
#include "archive/file_io.h"
#include "archive/staged_data.h"

namespace veltrin::archive {

// One entry of the archive to write. Its data is either new or the sectors
// it had in the old archive.
struct PlannedEntry {
    std::string name;
    const StagedData* data = nullptr;  // new data; null: copy from the old archive
    uint32_t sourceOffset = 0;         // in sectors, when copied
    uint32_t sectors = 0;
};

// The archive to write, entry by entry in directory order.
using RewritePlan = std::vector<PlannedEntry>;

// The committed entries in the order given, each changed, removed or kept,
// then the additions; free entries are dropped.
RewritePlan PlanRewrite(const StagedChanges& staged);
// Where the first entry of the rewritten archive starts: after the
// directory and spare room for format::kSpareRecords more records.
uint64_t FirstSectorOf(const RewritePlan& plan);

// The directory of the archive these entries make.
std::vector<Entry> RewrittenEntries(const RewritePlan& plan);
// Size in bytes of the archive these entries make.
uint64_t RewrittenSize(const RewritePlan& plan);

// Writes the planned archive to the rewrite path, reading kept entries from
// the archive (open for exclusive access, and closed before the end), and
// puts it in the archive's place (commit.h, rules 3 to 5).
CommitResult RewriteArchive(FileSystem& fs, const std::string& archivePath, std::unique_ptr<File> source,
                            const RewritePlan& plan, const Progress& progress);

}  // namespace veltrin::archive
