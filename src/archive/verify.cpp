// The full check and the rebuild of an archive.
#include <algorithm>
#include <numeric>

#include "archive/archive.h"
#include "archive/format.h"
#include "archive/game_table.h"

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
    else if (recovery == Recovery::Stale)
        problems.push_back(
            "A journal of an earlier commit no longer matched the archive (another program changed it since) and "
            "was removed without being applied; the archive was left as it is.");

    auto file = fs.Open(path, OpenMode::Read);
    const format::Scan scan = format::ScanDirectory(*file, file->Size(), true);
    for (const auto& problem : scan.fatal) problems.push_back(problem.text);
    for (const auto& problem : scan.findings) problems.push_back(problem.text);
    if (scan.fatal.empty()) {
        const std::vector<std::string> past = EntriesPastTheTable(scan.entries, path);
        problems.insert(problems.end(), past.begin(), past.end());
    }
    return problems;
}

CommitStats Rebuild(const std::string& path, const Progress& progress, FileSystem& fs) {
    return Archive::Open(path, fs).Rebuild(progress);
}

}  // namespace veltrin::archive
