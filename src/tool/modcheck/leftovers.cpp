#include "tool/modcheck/leftovers.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "archive/names.h"
#include "install/folder_listing.h"
#include "install/payload_folders.h"
#include "install/payload_lister.h"
#include "install/payload_rules.h"
#include "tool/common/platform.h"

namespace veltrin::tool {
namespace {

// The tool's own file names (publish_group.h, commit.h, backup_marker.h and
// the runs' records), folded.
constexpr std::string_view kAddedSuffix = ".added";
constexpr std::array<std::string_view, 4> kScratchSuffixes = {".partial", ".rewrite", ".journal", ".record"};

std::vector<install::FolderEntry> Listed(const std::string& folder) {
    try {
        auto entries = install::ListFolder(folder);
        std::sort(entries.begin(), entries.end(),
                  [](const auto& a, const auto& b) { return install::PayloadNameLess(a.name, b.name); });
        return entries;
    } catch (const install::PayloadListError&) {
        return {};
    }
}

std::string_view ScratchSuffix(const std::string& folded) {
    for (const auto suffix : kScratchSuffixes)
        if (folded.ends_with(suffix)) return suffix;
    return {};
}

// What a file of the tool's own names is, or empty.
std::string ToolFile(const std::string& name) {
    const std::string folded = archive::FoldedName(name);
    if (folded == "install.dat")
        return "the install script the installer wrote when the package was tried here (the undo reads it, and "
               "would take the backups beside it for the player's)";
    if (folded == "install.log") return "the log of an install run here";
    if (folded == "restore.log") return "the log of an undo run here";
    const std::string_view suffix = ScratchSuffix(folded);
    if (suffix == ".record") return "a record the archive tool keeps of an install or undo run here";
    if (!suffix.empty())
        return "a scratch file the archive tool left when a run here stopped (" + std::string(suffix) + ")";
    return {};
}

class LeftoverSearch {
public:
    explicit LeftoverSearch(std::vector<Leftover>& found) : found_(found) {}

    void AppFolder(const std::string& appFolder) {
        for (const auto& entry : Listed(appFolder)) {
            if (archive::FoldedName(entry.name) == "backups" && entry.isFolder) {
                Backups(appFolder + PathSeparator() + entry.name, entry.name);
                continue;
            }
            if (entry.isFolder) continue;
            if (const std::string what = ToolFile(entry.name); !what.empty()) found_.push_back({entry.name, what});
        }
    }

private:
    // Only the two archive folders belong under Backups, and they are empty.
    void Backups(const std::string& folder, const std::string& shown) {
        for (const auto& entry : Listed(folder)) {
            const std::string path = shown + PathSeparator() + entry.name;
            const auto archiveFolder =
                std::find_if(install::kPayloadFolders.begin(), install::kPayloadFolders.end(),
                             [&](std::string_view name) { return archive::FoldedName(entry.name) == name; });
            if (archiveFolder == install::kPayloadFolders.end()) {
                found_.push_back({path, entry.isFolder ? "a folder that is not part of the release: Backups holds "
                                                         "only the two empty folders gta3.img and player.img"
                                                       : "a file that is not part of the release: Backups holds only "
                                                         "the two empty folders gta3.img and player.img"});
            } else if (!entry.isFolder) {
                found_.push_back({path, "a file where the empty folder " + entry.name + " belongs"});
            } else {
                ArchiveBackups(folder + PathSeparator() + entry.name, path, *archiveFolder);
            }
        }
    }

    void ArchiveBackups(const std::string& folder, const std::string& shown, std::string_view archiveName) {
        for (const auto& entry : Listed(folder)) {
            const std::string path = shown + PathSeparator() + entry.name;
            const std::string folded = archive::FoldedName(entry.name);
            const std::string_view scratch = ScratchSuffix(folded);
            std::string what;
            if (entry.isFolder)
                what = "a folder that is not part of the release: the backup folders are empty";
            else if (!scratch.empty())
                what = ToolFile(entry.name);
            else if (folded.ends_with(kAddedSuffix))
                what = "a marker an install run here left: it added " +
                       entry.name.substr(0, entry.name.size() - kAddedSuffix.size()) + " to " +
                       std::string(archiveName) + " (the undo would remove that entry from the player's game)";
            else
                what = "a backup of " + entry.name + " that an install run here took from " + std::string(archiveName) +
                       " (the undo would put it into the player's game)";
            found_.push_back({path, what});
        }
    }

    std::vector<Leftover>& found_;
};

}  // namespace

std::vector<Leftover> FindLeftovers(const std::string& appFolder) {
    std::vector<Leftover> found;
    LeftoverSearch(found).AppFolder(appFolder);
    return found;
}

}  // namespace veltrin::tool
