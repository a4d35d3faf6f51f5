#pragma once
// What an undo from a folder follows when the folder's Backups hold no
// record of its installs, or one that cannot be trusted (a power cut took or
// tore it, the player deleted it): the installs from that folder that the
// game's records beside the archives its script opens know. The game's
// record is the one that counts: it names what each install put in and
// keeps what each entry held before it, so the undo needs nothing more of
// the folder than its path and the backups its script's export lines name.
//
// The record made here is the folder's record as the install would have
// left it, taken from the game's: per archive, each layer of the install
// from this folder, the backup its export line names (holding what the
// entry held before, the original the game's record keeps) or, for an
// added entry, the marker beside it.
#include <optional>
#include <string>
#include <vector>

#include "archive/file_io.h"
#include "tool/common/report.h"
#include "tool/runs/install_record.h"
#include "tool/runs/script_reader.h"

namespace veltrin::tool {

// Nothing when no game's record beside those archives knows an install from
// the folder. A save an earlier run left waiting beside an archive is
// settled first, saying so. Records that cannot be read count as knowing
// nothing here: the undo's own checks say why.
std::optional<InstallRecord> LinkFromTheGame(const std::string& folder, const std::vector<ScriptCommand>& commands,
                                             archive::FileSystem& fs, Report& report);

}  // namespace veltrin::tool
