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

// Checks the whole script (its lines and the names it imports) and only then
// runs it. Every command prints one line; each archive ends with its summary;
// the run ends with "done" or the error, what happened to each archive and
// "failed". An archive whose block did not reach its save is left unchanged.
ExitStatus RunScript(const std::string& scriptPath, std::string_view scriptText, archive::FileSystem& fs,
                     Report& report);

}  // namespace veltrin::tool
