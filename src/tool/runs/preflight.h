#pragma once
// One install, one change of the game: before the first save, a run makes
// sure it can save every archive it opens. Each existing archive is taken
// for itself (opened for exclusive writing and let go at once: a running
// game holding it shows up now, not between two saves), the free space on
// its disk is held against the bytes the run puts into the archives there
// (the least any save of them needs), the originals kept beside them and
// the records written there, the free space where the backups go against
// the originals, and the game's record of installs beside it must be one
// this tool can trust. A refusal stops the run before
// anything changes.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "archive/file_io.h"
#include "tool/common/exit_status.h"
#include "tool/common/report.h"

namespace veltrin::tool {

struct ArchiveToSave {
    std::string path;
    uint64_t bytesPut = 0;  // the sizes of the files the run imports into it (an undo: the most room it takes)
    // The originals it backs up, kept beside the archive and in the folder
    // Backups lies in (backupsIn; none for an undo), and the game's record
    // it writes beside the archive.
    uint64_t keptBytes = 0;
    std::string backupsIn;
    uint64_t recordBytes = 0;
    bool upTo = false;  // the figures are the most the run may take, not what it takes
};

// Reports a refusal (why, that the run, "install" or "undo", changes every
// archive or none, that nothing (else, after changedBefore: scratch files
// removed first) was changed, "failed") and returns its status; nothing
// when every archive can be saved.
std::optional<ExitStatus> CheckBeforeFirstSave(const std::vector<ArchiveToSave>& archives, archive::FileSystem& fs,
                                               Report& report, std::string_view run = "install",
                                               bool changedBefore = false);

// The game's records of installs (and any waiting save's) beside the
// archives, checked before anything changes: one that is torn, changed or of
// another version stops the run, saying how to go on (status 10).
std::optional<ExitStatus> RefuseUntrustedGameRecords(const std::vector<std::string>& archives, archive::FileSystem& fs,
                                                     Report& report, bool changedBefore = false);

}  // namespace veltrin::tool
