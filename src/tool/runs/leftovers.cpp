#include "tool/runs/leftovers.h"

#include <set>
#include <string>

#include "archive/archive_error.h"
#include "archive/names.h"
#include "text/path_text.h"
#include "tool/common/error_text.h"
#include "tool/common/publish_group.h"
#include "tool/runs/backup_marker.h"
#include "tool/runs/pending_save.h"

namespace veltrin::tool {

// Paths that differ only in case name one file on Windows: once each.
std::vector<std::string> FilesRunsPublish(const std::string& recordPath, const std::vector<ScriptCommand>& commands,
                                          const InstallRecord* record) {
    std::vector<std::string> files;
    std::set<std::string> seen;
    // Only files in the Backups folder: what a script or record names
    // elsewhere is none of the tool's.
    const std::string backups(text::FolderOf(recordPath));
    const auto add = [&](const std::string& path) {
        if (text::LiesBelow(path, backups) && seen.insert(archive::FoldedName(path)).second) files.push_back(path);
    };
    const auto addBackup = [&](const std::string& backup) {
        if (backup.empty()) return;
        add(backup);
        add(AddedMarkerPath(backup));
    };
    for (const ScriptCommand& command : commands)
        if (command.kind == CommandKind::Export) addBackup(command.path);
    if (record)
        for (const RecordedArchive& archive : record->archives)
            for (const RecordedEntry& entry : archive.entries) addBackup(entry.backup);
    add(recordPath);
    add(PendingSavePath(recordPath));
    return files;
}

int RemoveScratchFiles(archive::FileSystem& fs, const std::vector<std::string>& files, Report& report) {
    int removed = 0;
    for (const std::string& file : files) {
        const std::string scratch = file + std::string(kScratchSuffix);
        try {
            if (!fs.Exists(scratch)) continue;
            fs.Remove(scratch);
            ++removed;
            report.Line("removed " + scratch + ", which an earlier run left unfinished when it was stopped");
        } catch (const archive::ArchiveError& error) {
            report.Line("  " + scratch +
                        ", which an earlier run left unfinished, cannot be removed: " + DescribeError(error));
        }
    }
    return removed;
}

}  // namespace veltrin::tool
