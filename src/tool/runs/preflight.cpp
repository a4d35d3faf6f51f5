#include "tool/runs/preflight.h"

#include "archive/archive_error.h"
#include "archive/free_space.h"
#include "archive/names.h"
#include "text/path_text.h"
#include "tool/common/error_text.h"
#include "tool/common/file_util.h"
#include "tool/runs/game_pending.h"
#include "tool/runs/game_record.h"
#include "tool/runs/install_record.h"
#include "tool/runs/originals_store.h"
#include "tool/runs/run_report.h"

namespace veltrin::tool {
namespace {

ExitStatus Refuse(Report& report, std::string_view run, const std::string& why, ExitStatus status, bool changedBefore) {
    report.Line("error: " + why);
    report.Line("  the " + std::string(run) + " changes every archive or none: it stopped before the first save");
    report.Line(NothingChangedLine(changedBefore));
    report.Line("failed");
    return status;
}

}  // namespace

std::optional<ExitStatus> CheckBeforeFirstSave(const std::vector<ArchiveToSave>& archives, archive::FileSystem& fs,
                                               Report& report, std::string_view run, bool changedBefore) {
    struct Need {
        std::string place;  // where the free space is asked for
        uint64_t bytes = 0;
        bool upTo = false;
    };
    std::map<std::string, Need> byFolder;  // folded folder -> what the run writes there
    std::vector<std::string> order;        // the folders as they come
    const auto add = [&](std::string_view place, std::string_view folder, uint64_t bytes, bool upTo) {
        const auto [need, added] =
            byFolder.try_emplace(archive::FoldedName(folder), Need{std::string(place), 0, false});
        if (added) order.push_back(need->first);
        need->second.bytes += bytes;
        need->second.upTo = need->second.upTo || upTo;
    };
    for (const ArchiveToSave& archive : archives) {
        if (!fs.Exists(archive.path)) continue;  // the run names it where it opens it
        try {
            fs.Open(archive.path, archive::OpenMode::ReadWrite);  // for itself, and let go at once
        } catch (const archive::ArchiveError& error) {
            return Refuse(report, run, DescribeError(error), StatusOf(error.kind()), changedBefore);
        }
        add(archive.path, text::FolderOf(archive.path), archive.bytesPut + archive.keptBytes + archive.recordBytes,
            archive.upTo);
        if (!archive.backupsIn.empty()) add(archive.backupsIn, archive.backupsIn, archive.keptBytes, archive.upTo);
    }
    for (const std::string& folder : order) {
        const Need& need = byFolder.at(folder);
        if (need.bytes == 0) continue;
        try {
            archive::RequireFreeSpace(fs, need.place, need.bytes, need.upTo);
        } catch (const archive::ArchiveError& error) {
            if (error.kind() == archive::ErrorKind::DiskFull)
                return Refuse(report, run, DescribeError(error), ExitStatus::DiskFull, changedBefore);
            // Not known: each save checks for itself.
        }
    }
    return std::nullopt;
}

std::optional<ExitStatus> RefuseUntrustedGameRecords(const std::vector<std::string>& archives, archive::FileSystem& fs,
                                                     Report& report, bool changedBefore) {
    for (const std::string& archive : archives) {
        const std::string path = GameRecordPathFor(archive);
        const std::string waiting = GamePendingPathFor(archive);
        try {
            ReadGameRecord(fs, path);
            try {
                CheckGamePending(fs, archive);
            } catch (const RecordError& error) {
                report.Line("error: the game's record of installs that waits for an earlier save of " + archive + ", " +
                            waiting + ", cannot be trusted: " + error.what());
                report.Line(
                    "  an earlier run was stopped while it saved that archive; to go on, move that file "
                    "aside (rename it): the next run then holds " +
                    path + " against the archive as it is");
                report.Line(NothingChangedLine(changedBefore));
                report.Line("failed");
                return ExitStatus::Io;
            }
        } catch (const RecordError& error) {
            report.Line("error: the game's record of installs " + path + " cannot be trusted: " + error.what());
            report.Line("  it lists the mods installed into " + archive +
                        "; to go on, move it aside (rename it, keeping the folder " +
                        std::string(OriginalsFolderFor(archive)) +
                        " beside it) and undo each mod with Undo.cmd in the folder it was first installed from, "
                        "which then works from that folder's own record: the newest install first (an undo that "
                        "leaves an entry another install covers says so, and gives it back when run again after "
                        "that install's undo)");
            report.Line(NothingChangedLine(changedBefore));
            report.Line("failed");
            return ExitStatus::Io;
        } catch (const archive::ArchiveError& error) {
            report.Line("error: " + DescribeError(error));
            report.Line(NothingChangedLine(changedBefore));
            report.Line("failed");
            return StatusOf(error.kind());
        }
    }
    return std::nullopt;
}

}  // namespace veltrin::tool
