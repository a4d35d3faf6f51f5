#include "window/folder_path.h"

#include "text/ascii.h"

namespace veltrin::window {
namespace {

bool IsDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// Length of the root: "C:\" (3) or "\\server\share" (up to the share's end);
// 0 when the path has neither.
size_t RootLength(std::wstring_view path) {
    if (path.size() >= 3 && IsDriveLetter(path[0]) && path[1] == L':' && path[2] == L'\\') return 3;
    if (path.size() > 2 && path[0] == L'\\' && path[1] == L'\\') {
        const size_t serverEnd = path.find(L'\\', 2);
        if (serverEnd == std::wstring_view::npos || serverEnd == 2) return 0;
        const size_t shareEnd = path.find(L'\\', serverEnd + 1);
        if (shareEnd == serverEnd + 1) return 0;
        return shareEnd == std::wstring_view::npos ? path.size() : shareEnd;
    }
    return 0;
}

}  // namespace

std::vector<FolderStep> FolderChain(std::wstring_view path) {
    const size_t rootLength = RootLength(path);
    if (rootLength == 0) return {};
    std::vector<FolderStep> chain;
    std::wstring root(path.substr(0, rootLength));
    std::wstring label = root;
    if (rootLength == 3) label[0] = text::LowerAscii(label[0]);
    chain.push_back({label, root});
    std::wstring current = root;
    size_t start = rootLength;
    while (start < path.size()) {
        if (path[start] == L'\\') {
            ++start;
            continue;
        }
        size_t end = path.find(L'\\', start);
        if (end == std::wstring_view::npos) end = path.size();
        const std::wstring_view name = path.substr(start, end - start);
        current = ChildPath(current, name);
        chain.push_back({std::wstring(name), current});
        start = end;
    }
    return chain;
}

std::wstring ChildPath(std::wstring_view parent, std::wstring_view name) {
    std::wstring child(parent);
    if (child.empty() || child.back() != L'\\') child += L'\\';
    child += name;
    return child;
}

}  // namespace veltrin::window
