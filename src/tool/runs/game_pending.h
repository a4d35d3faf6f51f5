#pragma once
// The game's record of installs of a save whose outcome is not known yet,
// as pending_save.h does it for the folder's record: the record the save
// will leave waits beside the game's record (`<archive>.installs.saving`),
// made durable before the archive changes, with the state the save found
// and what the entries it changes will hold. `<archive>.installs` keeps
// describing the archive as it was until the outcome is known; the next run
// that finds one waiting opens the archive (which completes or rolls back the
// save) and tells from it which record is true.
//
// The file: the mark "VeltrinInstallsSaving\r\n\x1a", a 32-bit version (1),
// a flag and the state found (digest, u64 size), a 32-bit count of entries,
// each a text name and a flag with the put it will hold (u64 size, digest),
// the game record the save will leave and the one it replaces (each a u64
// length and its bytes), and a SHA-256 seal of everything before it.
//
// The originals store follows the outcome too: the contents only the
// record the save leaves refers to go when it did not take effect, those
// only the record it replaces refers to go when it did; the waiting record
// is removed last, so that a crash in between leaves it to the next run.
#include <optional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/file_io.h"
#include "tool/common/report.h"
#include "tool/runs/game_record.h"

namespace veltrin::tool {

std::string GamePendingPathFor(const std::string& archivePath);

// An entry the save changes, and what it holds once the save took effect
// (nothing: it is removed).
struct GamePut {
    std::string name;
    std::optional<PutData> holds;
};

struct GamePending {
    std::optional<archive::ArchiveState> found;
    std::vector<GamePut> puts;
    GameRecord ifSaved;  // its `left` is the state the save leaves (none: not known yet)
    GameRecord ifNot;    // the record as it stands
};

// Made durable before the archive changes. Throws ArchiveError.
void WriteGamePending(archive::FileSystem& fs, const std::string& archivePath, const GamePending& pending);
// The save took effect: the waiting record becomes the game's record, the
// originals only the one it replaces referred to go, then the waiting one.
void ConfirmGameSave(archive::FileSystem& fs, const std::string& archivePath, const GameRecord& before,
                     const GameRecord& saved);
// The save did not: the originals only the waiting record referred to go,
// then the waiting record. Nothing to do when none waits.
void DropGameSave(archive::FileSystem& fs, const std::string& archivePath, const GameRecord& before,
                  const GameRecord& saved);

// Reads the waiting record beside the archive, when there is one, to learn
// before anything changes whether it can be trusted. Throws RecordError, or
// ArchiveError when it cannot be read.
void CheckGamePending(archive::FileSystem& fs, const std::string& archivePath);

// Settles a save an earlier run left waiting (see above), saying so in a
// line. Returns whether it found one. A waiting record that cannot be
// trusted throws RecordError; an archive that cannot be opened throws
// ArchiveError, and the record waits for the next run.
bool SettleGamePending(archive::FileSystem& fs, const std::string& archivePath, Report& report);
// The same for the archive the run has taken (and said what its open
// completed or rolled back); changed is set as soon as anything on disk
// changed (a scratch file removed, a waiting record settled), also when it
// then throws.
bool SettleGamePending(archive::FileSystem& fs, const archive::Archive& archive, Report& report, bool& changed);

}  // namespace veltrin::tool
