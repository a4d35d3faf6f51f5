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
#include "tool/runs/run_report.h"
#include "tool/runs/script_reader.h"

namespace veltrin::tool {

// Nothing when no game's record beside those archives knows an install from
// the script's folder. A save an earlier run left waiting beside an archive
// is settled first, saying so (changed is set then). Records that cannot be
// read count as knowing nothing here: the run's own checks say why. Export
// lines naming a backup outside the folder's Backups name none. known: a
// record whose archives are not looked at.
std::optional<InstallRecord> LinkFromTheGame(const std::string& scriptPath, const std::vector<ScriptCommand>& commands,
                                             archive::FileSystem& fs, Report& report, bool& changed,
                                             const InstallRecord* known = nullptr);

// The folder's record as the install and the undo start from: the record in
// its Backups (ReadRecordOrRefuse); where there is none, or it cannot be
// trusted, what the game's records know (linked), said in a line.
// commands: the script's, or none when it cannot be read.
RecordRead ReadRecordOrLink(archive::FileSystem& fs, const std::string& scriptPath,
                            const std::vector<ScriptCommand>& commands, Report& report);
// A linked record written over the one that cannot be trusted, where there
// is one, not waited for. Returns whether it was; a failure is said, and the
// run goes on.
bool WriteLinkedRecord(archive::FileSystem& fs, const std::string& scriptPath, const InstallRecord& record,
                       Report& report);

// Adds each archive the record does not name whose game's record knows an
// install from the folder (a power cut took the record's last write). For a
// record already following a moved game. Returns whether settling a waiting
// save changed anything on disk.
bool TakeInLinkedArchives(InstallRecord& record, const std::string& scriptPath,
                          const std::vector<ScriptCommand>& commands, archive::FileSystem& fs, Report& report);

}  // namespace veltrin::tool
