#pragma once
// What a mod author's own trial of the package leaves in the application
// folder, which a zip of that folder would ship to every player: the game's
// originals and the install's markers under Backups, the install script, the
// logs, and the archive tool's scratch and record files. A player's undo
// would take those backups for their own game's originals.
#include <string>
#include <vector>

namespace veltrin::tool {

struct Leftover {
    std::string path;  // inside the application folder, with the system's separator
    std::string what;  // what it is, for example "a backup of a.dff that an install made"
};

// Each leftover in the application folder, in folder order: anything under
// Backups other than its two empty folders (named as the payload folders),
// Install.dat, Install.log, Restore.log, and the tool's scratch files
// (.partial, .rewrite, .journal) and record files (.record). A folder that
// cannot be listed has nothing to report. Writes nothing.
std::vector<Leftover> FindLeftovers(const std::string& appFolder);

}  // namespace veltrin::tool
