#pragma once
// The install record of a save whose outcome is not known yet. The record
// must describe the archives as they are, and a save may still fail before
// its point of no return (a full disk, a mod file that changed size, a write
// error) or be cut off at any moment. So the record of what the save will
// leave waits beside the install record (Backups\Install.saving.record), made
// durable before the archive changes, with the archive it is of and the
// entries whose content the save changes. Install.record keeps describing
// the archive as it was until the outcome is known:
//  - the save succeeded (or an interrupted one was completed): the waiting
//    record becomes the install record, moved into its place in one step
//    (it is an install record that names the save: RecordSave);
//  - it failed before its point of no return (or was rolled back): the
//    waiting record goes, and the install record stays as it was, naming
//    the backups the run made (put in place only once the waiting record
//    names them, so that whatever stops the run a record names them);
//  - the run ended without knowing (a kill, a power cut): the next install or
//    undo opens the archive (which completes or rolls back the save) and
//    tells from it which of the two is true.
#include <optional>
#include <string>
#include <vector>

#include "archive/file_io.h"
#include "tool/common/exit_status.h"
#include "tool/common/report.h"
#include "tool/runs/install_record.h"

namespace veltrin::tool {

// Where the record of a save in progress waits, beside the install record.
std::string PendingSavePath(const std::string& recordPath);

// The record the save of archivePath will leave, what the save puts into
// the archive that the install record does not already say is there, and
// the entries whose backup or marker the run made. Made durable at
// PendingSavePath before the archive changes. Throws ArchiveError.
void WritePendingSave(archive::FileSystem& fs, const std::string& recordPath, const std::string& archivePath,
                      const std::vector<PendingPut>& puts, const std::vector<std::string>& made,
                      const InstallRecord& ifSaved);
// The save took effect: the waiting record becomes the install record,
// moved into its place in one step, not waited for: the save is durable, so
// a power cut that undoes the move leaves the waiting record for the next
// run, which finds the save took effect and moves it again. Throws
// ArchiveError.
void ConfirmPendingSave(archive::FileSystem& fs, const std::string& recordPath);
// The save did not take effect: the waiting record goes, durably; the
// install record stays as it was, and names the backups and markers the
// save's run made that are in place (those are put in place only once the
// waiting record names them), as a run stopped before its save records
// them, so that the undo uses them up. Returns whether it names any. Nothing
// to do when none waits. Throws ArchiveError, or RecordError for a waiting
// record that cannot be trusted.
bool DropPendingSave(archive::FileSystem& fs, const std::string& recordPath);

// Settles a save an earlier run left waiting, before the install record is
// read: removes the scratch files of both records (leftovers.h), opens the
// archive (which completes or rolls back an unfinished commit), tells from
// it whether the save took effect, keeps the record that says so and tells
// the player in a line. A waiting record that cannot be trusted throws
// RecordError. An archive that cannot be opened is reported (why, and
// "failed") and the status the run ends with is given instead.
struct SettledSave {
    std::optional<ExitStatus> refused;
    bool changed = false;  // whether any file was changed or removed
};
SettledSave SettlePendingSave(archive::FileSystem& fs, const std::string& recordPath, Report& report);

}  // namespace veltrin::tool
