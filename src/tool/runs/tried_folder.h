#pragma once
// A folder record made elsewhere: a mod author tries the mod on their own
// computer and zips the folder with its Backups, or a download brings a
// record of someone else's game. Such a record says nothing of this game,
// and following it would put someone else's backups into it. It is told by
// the computer it names (none named counts as another) together with this
// game: a record whose folder this game's record of installs knows, or whose
// mod is in this game, is this game's, whatever the computer is called now.
#include <string>
#include <vector>

#include "archive/file_io.h"
#include "tool/runs/install_record.h"
#include "tool/runs/script_reader.h"

namespace veltrin::tool {

// The archives the script's open lines name.
std::vector<std::string> ArchivesOpened(const std::vector<ScriptCommand>& commands);

// Whether the game's record beside any of the archives knows an install
// from the folder.
bool GameKnowsFolder(const std::vector<std::string>& archives, const std::string& folder, archive::FileSystem& fs);

// Whether what the folder's record says its install put in is in this game
// (an install made here before the game's record existed, the computer
// renamed since): an entry of an archive it names holds what the install
// put in (not the original it backed up).
bool ModIsInTheGame(const InstallRecord& record, archive::FileSystem& fs);

// Whether the record, of the folder, was made on another computer (or names
// none, while this one's name is known) and neither the game's records nor
// the archives know its install.
bool MadeElsewhereForAnotherGame(const InstallRecord& record, const std::string& computer,
                                 const std::vector<std::string>& archives, const std::string& folder,
                                 archive::FileSystem& fs);

}  // namespace veltrin::tool
