#include "tool/runs/loader_folder.h"

#include <algorithm>
#include <stdexcept>

#include "archive/names.h"
#include "text/ascii.h"
#include "text/counted.h"
#include "text/path_text.h"

namespace veltrin::tool {
namespace {

constexpr std::string_view kLoaderFolder = "modloader";
// Links that lead back into the folder cannot make the walk endless.
constexpr size_t kMostFolders = 20000;

struct Walk {
    const std::map<std::string, std::string>& entries;
    char separator;
    const FolderLister& list;
    std::vector<HidingFile> found;
    size_t folders = 0;

    void Into(const std::string& folder, const std::string& shown, int depth) {
        if (depth > kLoaderDepth || ++folders > kMostFolders) return;
        std::vector<install::FolderEntry> items;
        try {
            items = list(folder);
        } catch (const std::exception&) {
            return;  // a folder the system will not list hides nothing the tool can name
        }
        for (const install::FolderEntry& item : items) {
            const std::string path = folder + separator + item.name;
            const std::string itemShown = shown + separator + item.name;
            if (item.isFolder) {
                Into(path, itemShown, depth + 1);
                continue;
            }
            const auto entry = entries.find(archive::FoldedName(item.name));
            if (entry != entries.end()) found.push_back({itemShown, entry->second});
        }
    }
};

}  // namespace

std::vector<HidingFile> FilesHidingEntries(const std::string& gameFolder,
                                           const std::map<std::string, std::string>& entries, char separator,
                                           const FolderLister& list) {
    Walk walk{entries, separator, list, {}};
    if (entries.empty()) return {};
    std::vector<install::FolderEntry> top;
    try {
        top = list(gameFolder);
    } catch (const std::exception&) {
        return {};
    }
    for (const install::FolderEntry& item : top)
        if (item.isFolder && text::EqualIgnoringAsciiCase(item.name, kLoaderFolder))
            walk.Into(gameFolder + separator + item.name, item.name, 1);
    std::sort(walk.found.begin(), walk.found.end(),
              [](const HidingFile& a, const HidingFile& b) { return a.shown < b.shown; });
    return walk.found;
}

void ReportHidingFiles(Report& report, const std::vector<HidingFile>& files, std::string_view whose) {
    if (files.empty()) return;
    report.Line("warning: the game's modloader folder holds " +
                text::Counted(files.size(), "file", "files") + " named like entries " + std::string(whose) +
                " put in; while that loader runs, the game shows " + (files.size() == 1 ? "it" : "them") +
                " instead:");
    for (const HidingFile& file : files) report.Line("  " + file.shown + " (over " + file.entry + ")");
    report.Line("  to see the mod's, move " + std::string(files.size() == 1 ? "that file" : "those files") +
                " out of the modloader folder; left there, " + (files.size() == 1 ? "it wins" : "they win"));
}

std::string GameFolderOf(const std::string& archivePath) {
    return std::string(text::FolderOf(text::FolderOf(archivePath)));
}

}  // namespace veltrin::tool
