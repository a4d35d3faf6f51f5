#pragma once
// What the install and the undo both do with the game's record of installs
// of the archive they open: settle a save an earlier run left waiting, read
// the record, take in what the folder's own record says of an install made
// before the game's record existed, and hold it against the archive, saying
// what it let go of.
#include <string>

#include "archive/archive.h"
#include "archive/file_io.h"
#include "tool/common/report.h"
#include "tool/runs/game_layers.h"
#include "tool/runs/game_record.h"
#include "tool/runs/install_record.h"
#include "tool/runs/originals_store.h"

namespace veltrin::tool {

// The most entry names one line of a run's output lists (the rest counted).
inline constexpr size_t kNamesInALine = 20;

// The application folder of the script: the folder it lies in.
std::string ApplicationFolderOf(const std::string& scriptPath);

// The mod digest of what a folder's record says its installs put into the
// archive.
archive::Digest ModDigestOf(const RecordedArchive& recorded);

// Settles a waiting save and reads the game's record beside the archive
// (none: an empty one). The archive is the run's (Archive::Take) before the
// record is read, so that no other run saves it between this read and this
// run's save. changed is set as soon as settling changed anything on disk,
// also when it then throws. Throws RecordError or ArchiveError.
GameRecord LoadGameRecord(archive::FileSystem& fs, const archive::Archive& archive, Report& report, bool& changed);

// An install the folder's record knows and the game's record does not (made
// before the game's record existed) goes in as the bottom layers of the
// entries that still hold what it put in and that no install of the game's
// record touches; the originals its backups hold go into the store (waiting
// for its Publish). An entry that holds what it put in and whose original
// is kept nowhere (no backup was made, or the backup is gone or torn) is
// named, and goes into lost. Returns whether it took anything in. Throws
// ArchiveError.
bool TakeInFolderRecord(GameRecord& game, const RecordedArchive& recorded, const std::string& folder,
                        const std::string& computer, const archive::Archive& archive, archive::FileSystem& fs,
                        OriginalsStore& store, Report& report, std::vector<std::string>* lost = nullptr);

// Holds the record against the archive and says, once, what it let go of.
// Returns the names of the entries that no longer hold their top layer's put
// (those it let go of).
std::vector<std::string> HoldAndReport(GameRecord& game, const archive::Archive& archive, Report& report);

}  // namespace veltrin::tool
