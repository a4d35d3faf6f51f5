#pragma once
// Paths as text, by one rule for every part of the programs. Either separator
// counts: scripts and Windows write backslashes, the native build's paths
// have slashes. Nothing is asked of the file system.
//
// A path's root is kept whole and has no parent: "C:\" (a drive's root), "C:"
// (the current folder of drive C), "\" or "/" (the root of the current drive,
// or of a POSIX system) and "\\server\share" (a network share; "\\server"
// alone is taken as the start of one). A relative path has no root.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace veltrin::text {

constexpr bool IsPathSeparator(char c) noexcept { return c == '\\' || c == '/'; }

// How many characters of the path its root takes; 0 for a relative path.
size_t RootLength(std::string_view path);

// The part after the last separator: a file's name. Empty when the path ends
// in a separator (it names a folder).
std::string_view FileNameOf(std::string_view path);

// The folder that holds what the path names, trailing separators ignored:
// "C:\Games" for "C:\Games\gta3.img" and for "C:\Games\models\". A root keeps
// its own form ("C:\" for "C:\x", "\\server\share" for "\\server\share\x"),
// and a bare name lies in the current folder ("."). Empty when nothing holds
// the path: a root, ".", or no path at all.
std::string_view FolderOf(std::string_view path);

// The path of name in the folder that holds path, written with the path's own
// separator: "D:\Mod\Install.log" beside "D:\Mod\Install.dat"; name alone
// beside a bare name.
std::string SiblingPath(std::string_view path, std::string_view name);

// The folders from below the root down to the path itself, outermost first,
// each a prefix of the path without its trailing separator: "C:\a" and
// "C:\a\b" for "C:\a\b\"; "\\server\share\a" for "\\server\share\a". A root
// is never among them: it cannot be created.
std::vector<std::string_view> FoldersBelowRoot(std::string_view path);

// Whether the path lies below the folder (ASCII case ignored, '\\' and '/'
// alike) without leaving it on the way: no "." or ".." part, no empty part,
// no ':' (a drive or a stream) after the folder.
bool LiesBelow(std::string_view path, std::string_view folder);

}  // namespace veltrin::text
