#pragma once
// A plugin many players run loads loose files from a "modloader" folder in
// the game folder, at any depth, over the archives' entries of the same
// names. The tool neither reads nor runs anything of it: only the folder's
// file names count, to tell which entries the game will not show while that
// loader runs.
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "install/payload_rules.h"
#include "tool/common/report.h"

namespace veltrin::tool {

using FolderLister = std::function<std::vector<install::FolderEntry>(const std::string& folder)>;

// A file of the loader's folder named like an entry.
struct HidingFile {
    std::string shown;  // below the game folder: "modloader\cars\infernus.txd"
    std::string entry;  // the entry it is named like, as the caller gave it
};

// The loader's folder is looked into at most this deep.
inline constexpr int kLoaderDepth = 16;

// The files of the game's modloader folder (its name in any case) whose
// names, case folded, are keys of entries (folded name -> how to name the
// entry), in the order of their paths. Folders that cannot be listed are passed
// over; a game without that folder gives none.
std::vector<HidingFile> FilesHidingEntries(const std::string& gameFolder,
                                           const std::map<std::string, std::string>& entries, char separator,
                                           const FolderLister& list);

// Names each file, what it hides, and what the player can do about it;
// nothing when there is none. whose: "this install", "the installs".
void ReportHidingFiles(Report& report, const std::vector<HidingFile>& files, std::string_view whose);

// The game folder of an archive in its models folder: "C:\Game" for
// "C:\Game\models\gta3.img".
std::string GameFolderOf(const std::string& archivePath);

}  // namespace veltrin::tool
