#include "tool/runs/backup_writes.h"

#include <exception>
#include <utility>

#include "archive/names.h"
#include "text/path_text.h"

namespace veltrin::tool {

void BackupWrites::Write(const std::string& path, Fill fill, Then then) {
    if (folded_.insert(archive::FoldedName(path)).second) waiting_.push_back({path, std::move(fill), std::move(then)});
}

bool BackupWrites::Has(const std::string& path) const { return folded_.count(archive::FoldedName(path)) != 0; }

void BackupWrites::Publish() {
    std::string lastFolder;
    for (const auto& [path, fill, then] : waiting_) {
        try {
            const std::string folder(text::FolderOf(path));
            if (!folder.empty() && folder != lastFolder) {
                if (!fs_.Exists(folder)) fs_.CreateDirectories(folder);
                lastFolder = folder;
            }
            const auto file = fs_.Open(path, archive::OpenMode::CreateAlways);
            if (fill) fill(*file);
        } catch (...) {
            try {
                if (fs_.Exists(path)) fs_.Remove(path);
            } catch (const std::exception&) {
                // Its record tells it is torn; the next run writes it again.
            }
            Forget();
            throw;
        }
        if (then) then();
    }
    Forget();
}

void BackupWrites::Forget() {
    waiting_.clear();
    folded_.clear();
}

}  // namespace veltrin::tool
