#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "install/folder_listing.h"
#include "install/payload_lister.h"

namespace veltrin::install {

// The install run joins paths with backslashes, as on Windows; here they
// stand for the POSIX separator.
std::vector<FolderEntry> ListFolder(const std::string& folder) {
    std::string posixFolder = folder;
    for (auto& c : posixFolder)
        if (c == '\\') c = '/';
    DIR* dir = ::opendir(posixFolder.c_str());
    if (!dir) throw PayloadListError(folder, std::strerror(errno));
    std::vector<FolderEntry> entries;
    errno = 0;
    while (const dirent* item = ::readdir(dir)) {
        const std::string name = item->d_name;
        if (name == "." || name == "..") continue;
        struct stat info {};
        const std::string path = posixFolder + "/" + name;
        FolderEntry entry{name};
        if (::stat(path.c_str(), &info) == 0) entry.isFolder = S_ISDIR(info.st_mode);
        entry.hidden = name.front() == '.';
        entries.push_back(std::move(entry));
    }
    const int error = errno;
    ::closedir(dir);
    if (error != 0) throw PayloadListError(folder, std::strerror(error));
    return entries;
}

}  // namespace veltrin::install
