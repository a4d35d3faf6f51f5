#pragma once
// What the install run and the undo run both say, in the same words: the
// tally of one archive, what opening an archive found of an unfinished
// earlier change, a script line or an install record refused before anything
// runs, what an interrupted save left, and the last lines of a run that
// stopped on an error.
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/archive.h"
#include "archive/recovery.h"
#include "tool/common/exit_status.h"
#include "tool/common/report.h"
#include "tool/runs/install_record.h"
#include "tool/runs/script_reader.h"

namespace veltrin::tool {

// One count of a tally and the words that follow it, for one and for more
// (the same when many is empty): {2, "backup kept", "backups kept"}.
struct TallyCount {
    int count = 0;
    std::string_view one;
    std::string_view many = {};
};

// "1 backed up, 1 backup kept": each count with its words, in order.
std::string TallyText(std::initializer_list<TallyCount> counts);

// The line a run ends with when it changed none of the game: "nothing else
// was changed" once it changed something before (an earlier run's scratch
// files removed, its save settled).
std::string_view NothingChangedLine(bool changedBefore);

// Says in an indented line what opening the archive did about an unfinished
// earlier change, nothing when there was none. Returns the same in the words
// of the run's last lines ("an unfinished earlier change was rolled back"),
// empty when there was none.
std::string ReportRecovery(Report& report, archive::Recovery recovery);

// "<script>, line <n>", as the run's errors name a line.
std::string LineRef(const std::string& scriptPath, size_t lineNumber);

// An error's line: the cause first, then where it struck, so that what a
// narrow window cuts or breaks is the place and not the cause:
// "error: <why> (<where>)".
std::string ErrorAt(const std::string& where, const std::string& why);

// Reports a script line that cannot run: where, why, the line as it can be
// shown (control characters as \xNN), that nothing was changed, and
// "failed". Returns status.
ExitStatus RefuseLine(Report& report, const std::string& where, const std::string& why, const std::string& line,
                      ExitStatus status);

// Refuses the first -export line whose backup file would not lie below the
// Backups folder beside the script: the one folder the tool keeps backups
// in, and so the one it removes used backups from. Nothing otherwise.
std::optional<ExitStatus> RefuseBackupsOutside(Report& report, const std::string& scriptPath,
                                               const std::vector<ScriptCommand>& commands);

// RefuseLine for a script the reader refused. Returns ExitStatus::ScriptInvalid.
ExitStatus RefuseScript(Report& report, const std::string& scriptPath, const ScriptError& error);

// The install record beside the backups, read for a run, once a save an
// earlier run left waiting is settled (pending_save.h). A record that
// cannot be read or trusted is reported (why, that nothing was changed, and
// "failed") and the status the run ends with is given instead.
struct RecordRead {
    std::optional<InstallRecord> record;  // none: no record (an install made before records)
    std::optional<ExitStatus> refused;
    bool changed = false;  // settling a save in progress changed the record
    // Taken from the game's record (folder_link.h): the folder holds no
    // record, or one that cannot be trusted.
    bool linked = false;
};
// instead: asked, with why, when the record cannot be trusted; where it
// returns true the run goes on without it (nothing refused, no record read).
// It sets changed where it changed anything on disk; the result says so.
RecordRead ReadRecordOrRefuse(archive::FileSystem& fs, const std::string& recordPath, Report& report,
                              const std::function<bool(const std::string& why, bool& changed)>& instead = {});

// What the application folder's Backups hold once an install changed the
// game: the install and a stopped run that changed an archive say it last.
// The first only while they hold at least one of the game's originals; an
// install that only added entries left the record and its markers there.
// One literal: the release's ReadMe.txt quotes it, and its test finds it so.
// clang-format off
inline constexpr std::string_view kKeepFolder =
    "keep this folder: its Backups folder now holds the record Undo.cmd follows, and a copy of what each entry it replaced held before";
// clang-format on
// When the entries it replaced have no backup here (their originals are
// kept beside the game's archives).
inline constexpr std::string_view kKeepFolderForRecord =
    "keep this folder: its Backups folder now holds the record Undo.cmd follows";
inline constexpr std::string_view kKeepFolderForAdded =
    "keep this folder: its Backups folder now holds the record of the entries the install added, and Undo.cmd "
    "needs it";
// The record's word, not the disk's: it names a backup only once it is durable.
std::string_view KeepFolderLine(const InstallRecord& record);

// In the words of the run's last lines, what an archive holds whose save was
// interrupted past its point of no return (why: the error), once opened again:
// done ("changes saved", "undone") with how it came about, "left as it was",
// or that it is not known and why.
std::string InterruptedOutcome(const archive::CommitOutcome& outcome, const std::string& why, std::string_view done);

// What became of one archive a run opened, as the run's last lines say it.
struct ArchiveOutcome {
    std::string path;
    std::string what;
};

// The last lines of an install or undo run that stopped on an error, once
// the error is told: the summary of the archive it had open, whose staged
// changes the caller has dropped (nothing when none was open),
// what became of each archive, that the folder must be kept when its Backups
// serve the undo (keepFolder), "nothing was changed" when the
// run changed nothing on disk, and "failed". Returns status.
struct StoppedRun {
    bool hadOpenArchive = false;
    std::string openTally;
    std::string_view keepFolder;  // the line to say, empty when none
    bool nothingChanged = false;
};
ExitStatus ReportStopped(Report& report, const StoppedRun& stopped, const std::vector<ArchiveOutcome>& outcomes,
                         ExitStatus status);

}  // namespace veltrin::tool
