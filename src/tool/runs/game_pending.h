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
// The file is the record the save will leave, written as any game record is
// (game_record.h), with the save that writes it (SaveOfRecord): once the save
// took effect it is moved over `<archive>.installs` in one step, so no
// record is written twice. Earlier builds wrote a file of its own (the mark
// "VeltrinInstallsSaving\r\n\x1a", a 32-bit version 1, the state found, the
// puts, the record the save leaves and the one it replaces, a seal); one
// left waiting is still settled, its record then written in place.
//
// The originals store follows the outcome too: the contents only the
// record the save leaves refers to go when it did not take effect, those
// only the record it replaces refers to go when it did; the waiting record
// is moved in or removed last, so that a crash in between leaves it to the
// next run.
#include <optional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/file_io.h"
#include "tool/common/report.h"
#include "tool/runs/game_record.h"

namespace veltrin::tool {

std::string GamePendingPathFor(const std::string& archivePath);

// Whether a save took effect, told from the archive as it is now: by its
// directory and size where the save changes them (found, what it found;
// left, what it leaves), else by the entries it changes, every one of which
// must be as the save leaves it (one may have held that before the save
// already: another mod's identical file). The folder's record of a save in
// progress is settled by the same rule (pending_save.h).
bool SaveTookEffect(const archive::Archive& archive, const std::optional<archive::ArchiveState>& found,
                    const std::optional<archive::ArchiveState>& left, const std::vector<GamePut>& puts);

struct GamePending {
    std::optional<archive::ArchiveState> found;
    std::vector<GamePut> puts;
    GameRecord ifSaved;  // its `left` is the state the save leaves (none: not known yet)
};

// Made durable before the archive changes. Throws ArchiveError, of kind
// TooLarge for a record past kMaxGameRecordBytes.
void WriteGamePending(archive::FileSystem& fs, const std::string& archivePath, const GamePending& pending);
// The save took effect: the originals only the record it replaces (before,
// or onDisk: that record as the run read it, before it let go of any layer)
// referred to go, then the waiting record, which this run wrote for saved,
// moves into the game record's place, not waited for (as
// ConfirmPendingSave).
void ConfirmGameSave(archive::FileSystem& fs, const std::string& archivePath, const GameRecord& before,
                     const GameRecord& saved, const GameRecord& onDisk);
// The save did not: the originals only the waiting record referred to (not
// before, nor onDisk) go, then the waiting record. Nothing to do when none
// waits.
void DropGameSave(archive::FileSystem& fs, const std::string& archivePath, const GameRecord& before,
                  const GameRecord& saved, const GameRecord& onDisk);

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
