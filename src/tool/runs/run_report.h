#pragma once
// What the install run and the undo run both say, in the same words: the
// tally of one archive, what opening an archive found of an unfinished
// earlier change, a script line refused before anything runs, and the last
// lines of a run that stopped on an error.
#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "archive/archive.h"
#include "tool/common/exit_status.h"
#include "tool/common/report.h"
#include "tool/runs/script_reader.h"

namespace veltrin::tool {

// One count of a tally and the words that follow it: {2, "backed up"}.
struct TallyCount {
    int count = 0;
    std::string_view words;
};

// "1 backed up, 0 backups kept": each count with its words, in order.
std::string TallyText(std::initializer_list<TallyCount> counts);

// Says in an indented line what opening the archive did about an unfinished
// earlier change, nothing when there was none. Returns the same in the words
// of the run's last lines ("an unfinished earlier change was rolled back"),
// empty when there was none.
std::string ReportRecovery(Report& report, archive::Recovery recovery);

// "<script>, line <n>", as the run's errors name a line.
std::string LineRef(const std::string& scriptPath, size_t lineNumber);

// Reports a script line that cannot run: where, why, the line as it can be
// shown (control characters as \xNN), that nothing was changed, and
// "failed". Returns status.
ExitStatus RefuseLine(Report& report, const std::string& where, const std::string& why, const std::string& line,
                      ExitStatus status);

// RefuseLine for a script the reader refused. Returns ExitStatus::ScriptInvalid.
ExitStatus RefuseScript(Report& report, const std::string& scriptPath, const ScriptError& error);

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

}  // namespace veltrin::tool
