#include "text/path_text.h"

#include "text/ascii.h"

namespace veltrin::text {
namespace {

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Where the run of characters other than separators that starts at from ends.
size_t EndOfPart(std::string_view path, size_t from) {
    while (from < path.size() && !IsPathSeparator(path[from])) ++from;
    return from;
}

}  // namespace

size_t RootLength(std::string_view path) {
    if (path.size() >= 2 && IsPathSeparator(path[0]) && IsPathSeparator(path[1])) {
        const size_t server = EndOfPart(path, 2);
        return server < path.size() ? EndOfPart(path, server + 1) : server;
    }
    if (path.size() >= 2 && path[1] == ':' && IsAsciiLetter(path[0]))
        return path.size() >= 3 && IsPathSeparator(path[2]) ? 3 : 2;
    return !path.empty() && IsPathSeparator(path[0]) ? 1 : 0;
}

std::string_view FileNameOf(std::string_view path) {
    const size_t cut = path.find_last_of("\\/");
    return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

std::string_view FolderOf(std::string_view path) {
    const size_t root = RootLength(path);
    size_t end = path.size();
    while (end > root && IsPathSeparator(path[end - 1])) --end;
    if (end <= root) return {};
    const std::string_view named = path.substr(0, end);
    const size_t cut = named.find_last_of("\\/");
    if (cut == std::string_view::npos || cut < root) {
        if (root > 0) return path.substr(0, root);
        return named == "." ? std::string_view() : std::string_view(".");
    }
    size_t stop = cut;
    while (stop > root && IsPathSeparator(path[stop - 1])) --stop;
    return path.substr(0, stop);
}

std::string SiblingPath(std::string_view path, std::string_view name) {
    std::string sibling(path.substr(0, path.size() - FileNameOf(path).size()));
    sibling += name;
    return sibling;
}

std::vector<std::string_view> FoldersBelowRoot(std::string_view path) {
    std::vector<std::string_view> folders;
    const size_t root = RootLength(path);
    for (size_t at = root; at <= path.size(); ++at) {
        if (at < path.size() && !IsPathSeparator(path[at])) continue;
        if (at > root && !IsPathSeparator(path[at - 1])) folders.push_back(path.substr(0, at));
    }
    return folders;
}

bool LiesBelow(std::string_view path, std::string_view folder) {
    while (!folder.empty() && IsPathSeparator(folder.back())) folder.remove_suffix(1);
    if (folder.empty() || path.size() <= folder.size() + 1 || !IsPathSeparator(path[folder.size()])) return false;
    for (size_t i = 0; i < folder.size(); ++i) {
        const bool bothSeparators = IsPathSeparator(path[i]) && IsPathSeparator(folder[i]);
        if (!bothSeparators && !EqualIgnoringAsciiCase(path.substr(i, 1), folder.substr(i, 1))) return false;
    }
    std::string_view rest = path.substr(folder.size() + 1);
    if (rest.find(':') != std::string_view::npos) return false;
    while (true) {
        size_t end = 0;
        while (end < rest.size() && !IsPathSeparator(rest[end])) ++end;
        const std::string_view part = rest.substr(0, end);
        if (part.empty() || part == "." || part == "..") return false;
        if (end == rest.size()) return true;
        rest.remove_prefix(end + 1);
    }
}

}  // namespace veltrin::text
