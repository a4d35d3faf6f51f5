#pragma once
// Install.plug status <game folder>: what is installed in the game, as the
// game's record of installs beside each archive says (game_record.h), held
// against the archives as they are now. In the order the installs happened:
// from which application folders and when, how many entries in each
// archive, which entries another program changed since, and what each undo
// would do now. It reads through a file system that cannot change anything.
#include <string>
#include <vector>

#include "archive/file_io.h"
#include "tool/common/exit_status.h"
#include "tool/common/report.h"

namespace veltrin::tool {

// The archives whose records are looked at: models\gta3.img and
// models\player.img, then the others named (file names in the models
// folder, e.g. those with a record of installs beside them), each once.
std::vector<std::string> ArchivesToShow(const std::vector<std::string>& otherNames);

// archives: file names in the game's models folder. Ok when every record
// could be read (also when nothing is installed); NotFound when the folder
// holds no game; Io when a record cannot be trusted.
ExitStatus ShowGameStatus(const std::string& gameFolder, const std::vector<std::string>& archives,
                          archive::FileSystem& fs, Report& report);

}  // namespace veltrin::tool
