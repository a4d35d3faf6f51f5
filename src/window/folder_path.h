#pragma once
// How the folder list reads a path: the chain of folders from the root down
// to the current folder. Pure string work on UTF-16 paths; no Win32 here.
#include <string>
#include <string_view>
#include <vector>

namespace veltrin::window {

struct FolderStep {
    std::wstring label;  // what the list shows: "c:\" for a drive root, else the folder's name
    std::wstring path;   // the full path of that folder
};

// The root first, the current folder last. Accepts "C:\", "C:\a\b",
// "\\server\share\a"; extra trailing backslashes after the root are ignored.
// An empty path or one without a root gives an empty chain.
std::vector<FolderStep> FolderChain(std::wstring_view path);

// A subfolder's path: one backslash between, none added after a root that
// already ends in one.
std::wstring ChildPath(std::wstring_view parent, std::wstring_view name);

}  // namespace veltrin::window
