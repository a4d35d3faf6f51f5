#include "tool/runs/undo_steps.h"

#include <algorithm>
#include <set>

#include "text/counted.h"
#include "text/path_text.h"
#include "tool/runs/backup_marker.h"

namespace veltrin::tool {
namespace {

// "1 used backup and 2 markers": what the removed files were.
std::string RemovedText(const std::vector<std::string>& removed) {
    const auto markers = static_cast<uint64_t>(std::count_if(
        removed.begin(), removed.end(), [](const std::string& path) { return path.ends_with(kAddedMarkerSuffix); }));
    const uint64_t backups = removed.size() - markers;
    const std::string backupText = text::Counted(backups, "used backup", "used backups");
    const std::string markerText = text::Counted(markers, "marker", "markers");
    if (markers == 0) return backupText;
    if (backups == 0) return markerText;
    return backupText + " and " + markerText;
}

}  // namespace

std::string UndoTally::Text(bool saved) const {
    return TallyText({{restored, saved ? "restored" : "not restored"},
                      {removed, saved ? "removed" : "not removed"},
                      {alreadyUndone, "already undone"},
                      {untouched, "left as it is", "left as they are"}});
}

std::vector<std::string> UndoSteps::RemoveUsedUp() {
    std::vector<std::string> removed;
    for (const auto& path : usedUp_) {
        try {
            fs_.Remove(path);
            changed_ = true;
            removed.push_back(path);
        } catch (const archive::ArchiveError& error) {
            ++unremoved_;
            report_.Line("  the used " + path + " cannot be removed: " + DescribeError(error));
        }
    }
    if (!removed.empty()) report_.Line("removed " + RemovedText(removed));
    return removed;
}

void UndoSteps::MakeRemovalsDurable(const std::vector<std::string>& removed) {
    std::set<std::string> folders;
    for (const std::string& path : removed) folders.insert(std::string(text::FolderOf(path)));
    for (const std::string& folder : folders) fs_.FlushFolder(folder);
}

ExitStatus UndoSteps::Ending() {
    if (unremoved_ > 0) {
        report_.Line(
            "error: " +
            text::Counted(static_cast<uint64_t>(unremoved_), "used backup or marker", "used backups or markers") +
            " could not be removed (named above); the archives hold what the lines above say, and "
            "undoing again removes them");
        report_.Line("failed");
        return ExitStatus::Io;
    }
    report_.Line("done");
    return ExitStatus::Ok;
}

archive::Progress UndoSteps::Bar() {
    return ProgressOf(report_, "saving " + std::string(text::FileNameOf(archive_->Path())));
}

ExitStatus UndoSteps::Stop(const std::string& why, ExitStatus status) {
    report_.Line("error: " + why);
    const bool hadOpen = archive_.has_value();
    archive_.reset();  // drops every staged change
    return ReportStopped(report_, {hadOpen, tally_.Text(false), KeepFolder(), !changed_}, outcomes_, status);
}

}  // namespace veltrin::tool
