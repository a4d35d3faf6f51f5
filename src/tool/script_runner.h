#pragma once
// Runs an install script against the game's archives: backs up the entries
// the mod replaces, imports the mod's files and saves each archive as one
// transaction. Talks only to the archive library and a Report, so tests
// read what it says.
#include <string>
#include <string_view>
#include <vector>

#include "archive/file_io.h"
#include "tool/exit_status.h"
#include "tool/report.h"
#include "tool/script_reader.h"

namespace veltrin::tool {

// What one archive's block did.
struct ArchiveTally {
    int backedUp = 0;
    int backupsKept = 0;
    int nothingToBackUp = 0;
    int replaced = 0;
    int added = 0;
};

std::string TallyText(const ArchiveTally& tally);

// What became of one archive a run opened, as the run's last lines say it.
struct ArchiveOutcome {
    std::string path;
    std::string what;
};

// The last lines of an install or undo run that stopped on an error, once
// the error is told: the summary of the archive it had open, whose staged
// changes the caller has dropped (openTally; nothing when none was open),
// what became of each archive, and "failed". Returns status.
ExitStatus ReportStopped(Report& report, bool hadOpenArchive, const std::string& openTally,
                         const std::vector<ArchiveOutcome>& outcomes, ExitStatus status);

// Reports a script that cannot run: where, why, the line as it can be shown,
// and that nothing was changed. Returns ExitStatus::ScriptInvalid.
ExitStatus RefuseScript(Report& report, const std::string& scriptPath, const ScriptError& error);

// Checks the whole script (its lines and the names it imports) and only then
// runs it. Every command prints one line; each archive ends with its summary;
// the run ends with "done" or the error, what happened to each archive and
// "failed". An archive whose block did not reach its save is left unchanged.
ExitStatus RunScript(const std::string& scriptPath, std::string_view scriptText, archive::FileSystem& fs,
                     Report& report);

}  // namespace veltrin::tool
