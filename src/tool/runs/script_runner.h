#pragma once
// Runs an install script against the game's archives: backs up the entries
// the mod replaces, imports the mod's files and saves each archive as one
// transaction. Talks only to the archive library and a Report, so tests
// read what it says.
#include <string>
#include <string_view>

#include "archive/file_io.h"
#include "tool/common/exit_status.h"
#include "tool/common/report.h"

namespace veltrin::tool {

// Checks the whole script (its lines and the names it imports) and the
// install record beside it (install_record.h), and only then runs it. Every
// command prints one line; each archive ends with its summary; the run ends
// with "done" or the error, what happened to each archive and "failed". An
// archive whose block did not reach its save is left unchanged; one whose
// save was interrupted is opened again and reported as it is then.
//
// What each save changes is added to the record before the archive changes.
// A record of another game's archives, or made on another computer, stops
// the run before anything changes (ExitStatus::OtherInstall).
ExitStatus RunScript(const std::string& scriptPath, std::string_view scriptText, archive::FileSystem& fs,
                     Report& report);
// The same, as run on the computer of that name (ComputerName()).
ExitStatus RunScript(const std::string& scriptPath, std::string_view scriptText, archive::FileSystem& fs,
                     Report& report, const std::string& computer);

}  // namespace veltrin::tool
