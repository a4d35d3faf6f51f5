#include <windows.h>

#include <stdexcept>

#include "install/folder_listing.h"
#include "install/payload_lister.h"
#include "win32/text.h"
#include "win32/unique_handle.h"

namespace veltrin::install {

std::vector<FolderEntry> ListFolder(const std::string& folder) {
    std::wstring wideFolder;
    try {
        wideFolder = win32::Widen(folder);
    } catch (const std::runtime_error& e) {
        throw PayloadListError(folder, e.what());
    }
    const DWORD attributes = ::GetFileAttributesW(wideFolder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) throw PayloadListError(folder, win32::SystemMessage(::GetLastError()));
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) throw PayloadListError(folder, "It is a file, not a folder.");

    // Plain concatenation, as everywhere else: a drive root keeps its
    // backslash and gets a second one, which the system accepts.
    const std::wstring pattern = wideFolder + L"\\*";
    WIN32_FIND_DATAW data{};
    win32::UniqueFindHandle find(
        ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0));
    std::vector<FolderEntry> entries;
    if (!find.Valid()) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return entries;  // an empty drive root has no "." entry
        throw PayloadListError(folder, win32::SystemMessage(error));
    }
    do {
        const std::wstring_view name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        FolderEntry entry;
        try {
            entry.name = win32::Narrow(name);
        } catch (const std::runtime_error&) {
            throw PayloadListError(folder, "A file name in it is not valid Unicode.");
        }
        entry.isFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entry.hidden = (data.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) != 0;
        entry.system = (data.dwFileAttributes & FILE_ATTRIBUTE_SYSTEM) != 0;
        entries.push_back(std::move(entry));
    } while (::FindNextFileW(find.Get(), &data));
    const DWORD error = ::GetLastError();
    if (error != ERROR_NO_MORE_FILES) throw PayloadListError(folder, win32::SystemMessage(error));
    return entries;
}

}  // namespace veltrin::install
