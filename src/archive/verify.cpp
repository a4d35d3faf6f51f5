// The full check and the rebuild of an archive.
#include <algorithm>
#include <numeric>

#include "archive/archive.h"
#include "archive/format.h"
#include "archive/rewrite.h"

namespace veltrin::archive {

std::vector<std::string> Verify(const std::string& path, FileSystem& fs) {
    std::vector<std::string> problems;
    Recovery recovery = Recovery::None;
    try {
        recovery = Archive::Open(path, fs).RecoveryOnOpen();
    } catch (const ArchiveError& error) {
        problems.push_back(error.reason());
        return problems;
    }
    if (recovery == Recovery::Completed)
        problems.push_back("An interrupted commit was found and has now been completed.");
    else if (recovery == Recovery::RolledBack)
        problems.push_back("An interrupted commit was found and has now been rolled back.");

    auto file = fs.Open(path, OpenMode::Read);
    const format::Scan scan = format::ScanDirectory(*file, file->Size(), true);
    for (const auto& problem : scan.fatal) problems.push_back(problem.text);
    for (const auto& problem : scan.findings) problems.push_back(problem.text);
    return problems;
}

CommitStats Rebuild(const std::string& path, const Progress& progress, FileSystem& fs) {
    std::vector<Entry> entries = Archive::Open(path, fs).Entries();
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.offset < b.offset; });
    std::vector<PlannedEntry> plan;
    plan.reserve(entries.size());
    for (const Entry& entry : entries) plan.push_back({entry.name, nullptr, entry.offset, entry.sectors});
    std::unique_ptr<File> source = fs.Open(path, OpenMode::ReadWrite);
    CommitStats stats;
    RewriteArchive(fs, path, source, plan, progress, stats.bytesWritten);
    return stats;
}

}  // namespace veltrin::archive
