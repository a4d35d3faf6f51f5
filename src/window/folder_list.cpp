#include "window/folder_list.h"

#include <commctrl.h>

#include <algorithm>
#include <optional>

#include "win32/unique_handle.h"
#include "window/child_window.h"
#include "window/folder_path.h"
#include "window/layout.h"
#include "window/resource_ids.h"

namespace veltrin::window {
namespace {

constexpr int kIndentStep = 8;  // pixels per level at 96 DPI
constexpr int kIconGap = 3;

// The folder list's closed or open folder picture at the wanted size; the
// system picks the nearest of the drawn sizes (16 to 32 pixels).
win32::UniqueIcon FolderIcon(bool open, int size) {
    const int id = open ? VELTRIN_IDI_FOLDER_OPEN : VELTRIN_IDI_FOLDER_CLOSED;
    return win32::UniqueIcon(
        static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), IMAGE_ICON, size, size, 0)));
}

// The names of the folder's subfolders, sorted as Explorer sorts them, or
// nothing when the folder cannot be read.
std::optional<std::vector<std::wstring>> Subfolders(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return std::nullopt;
    const std::wstring pattern = ChildPath(path, L"*");
    WIN32_FIND_DATAW data{};
    const win32::UniqueFindHandle find(::FindFirstFileExW(
        pattern.c_str(), FindExInfoBasic, &data, FindExSearchLimitToDirectories, nullptr, FIND_FIRST_EX_LARGE_FETCH));
    std::vector<std::wstring> names;
    if (!find.Valid()) {
        if (::GetLastError() == ERROR_FILE_NOT_FOUND) return names;  // an empty drive root
        return std::nullopt;
    }
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        const std::wstring_view name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        names.emplace_back(name);
    } while (::FindNextFileW(find.Get(), &data));
    if (::GetLastError() != ERROR_NO_MORE_FILES) return std::nullopt;
    std::sort(names.begin(), names.end(),
              [](const std::wstring& a, const std::wstring& b) { return ::lstrcmpiW(a.c_str(), b.c_str()) < 0; });
    return names;
}

}  // namespace

void FolderList::Create(HWND parent, int id) {
    list_ = CreateChild(
        parent, L"LISTBOX", L"",
        WS_TABSTOP | WS_GROUP | WS_VSCROLL | LBS_NOTIFY | LBS_OWNERDRAWFIXED | LBS_HASSTRINGS | LBS_NOINTEGRALHEIGHT,
        id, WS_EX_CLIENTEDGE);
    ::SetWindowSubclass(list_, KeyProc, 1, reinterpret_cast<DWORD_PTR>(this));
}

void FolderList::SetDpi(int dpi, HFONT font) {
    dpi_ = dpi;
    font_ = font;
    iconSize_ = ScaleFrom96(16, dpi);
    closedIcon_ = FolderIcon(false, iconSize_);
    openIcon_ = FolderIcon(true, iconSize_);
    int textHeight = iconSize_;
    if (const win32::WindowDc dc(list_); dc) {
        const win32::SelectedObject selected(dc.Get(), font_);
        TEXTMETRICW metrics{};
        if (::GetTextMetricsW(dc.Get(), &metrics)) textHeight = metrics.tmHeight;
    }
    itemHeight_ = std::max(iconSize_, textHeight) + ScaleFrom96(1, dpi);
    if (list_) {
        ::SendMessageW(list_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
        ::SendMessageW(list_, LB_SETITEMHEIGHT, 0, itemHeight_);
        ::InvalidateRect(list_, nullptr, TRUE);
    }
}

bool FolderList::SetPath(const std::wstring& path) {
    std::optional<std::vector<std::wstring>> subfolders;
    const auto chain = FolderChain(path);
    if (!chain.empty()) subfolders = Subfolders(chain.back().path);
    if (!subfolders) return false;
    Show(path, *subfolders);
    return true;
}

void FolderList::SetUnreadablePath(const std::wstring& path) {
    if (FolderChain(path).empty()) {
        path_ = path;
        rows_.clear();
        ::SendMessageW(list_, LB_RESETCONTENT, 0, 0);
        return;
    }
    Show(path, {});
}

void FolderList::Show(const std::wstring& path, const std::vector<std::wstring>& subfolders) {
    const auto chain = FolderChain(path);
    std::vector<Row> rows;
    for (size_t i = 0; i < chain.size(); ++i)
        rows.push_back({chain[i].label, chain[i].path, static_cast<int>(i), true});
    const int childLevel = static_cast<int>(chain.size());
    for (const auto& name : subfolders) rows.push_back({name, ChildPath(chain.back().path, name), childLevel, false});
    path_ = chain.back().path;
    rows_ = std::move(rows);

    ::SendMessageW(list_, WM_SETREDRAW, FALSE, 0);
    ::SendMessageW(list_, LB_RESETCONTENT, 0, 0);
    for (const auto& row : rows_) ::SendMessageW(list_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(row.label.c_str()));
    const WPARAM current = chain.size() - 1;
    ::SendMessageW(list_, LB_SETCURSEL, current, 0);
    // The current folder in view, with as many of its ancestors above it as
    // leave half the list for its subfolders.
    RECT client{};
    ::GetClientRect(list_, &client);
    const int rowsShown = std::max(1, static_cast<int>(client.bottom / std::max(1, itemHeight_)));
    const int top = std::max(0, static_cast<int>(current) - (rowsShown - 1) / 2);
    ::SendMessageW(list_, LB_SETTOPINDEX, static_cast<WPARAM>(top), 0);
    ::SendMessageW(list_, WM_SETREDRAW, TRUE, 0);
    ::InvalidateRect(list_, nullptr, TRUE);
}

void FolderList::OpenHighlighted() {
    const LRESULT index = ::SendMessageW(list_, LB_GETCURSEL, 0, 0);
    if (index < 0 || static_cast<size_t>(index) >= rows_.size()) return;
    // A folder that cannot be read leaves the list as it was.
    SetPath(rows_[static_cast<size_t>(index)].path);
}

void FolderList::Draw(const DRAWITEMSTRUCT& item) const {
    const HDC dc = item.hDC;
    RECT box = item.rcItem;
    ::FillRect(dc, &box, ::GetSysColorBrush(COLOR_WINDOW));
    if (item.itemID == static_cast<UINT>(-1) || item.itemID >= rows_.size()) {
        if (item.itemState & ODS_FOCUS) ::DrawFocusRect(dc, &box);
        return;
    }
    const Row& row = rows_[item.itemID];
    const int x = box.left + ScaleFrom96(2, dpi_) + row.level * ScaleFrom96(kIndentStep, dpi_);
    const int iconTop = box.top + (box.bottom - box.top - iconSize_) / 2;
    const HICON icon = row.open ? openIcon_.Get() : closedIcon_.Get();
    if (icon) ::DrawIconEx(dc, x, iconTop, icon, iconSize_, iconSize_, 0, nullptr, DI_NORMAL);

    const win32::SelectedObject selected(dc, font_);
    RECT text = box;
    text.left = x + iconSize_ + ScaleFrom96(kIconGap, dpi_);
    RECT measure = text;
    ::DrawTextW(dc, row.label.c_str(), static_cast<int>(row.label.size()), &measure,
                DT_SINGLELINE | DT_NOPREFIX | DT_CALCRECT);
    text.right = std::min(box.right, measure.right + ScaleFrom96(6, dpi_));
    const bool highlighted = (item.itemState & ODS_SELECTED) != 0;
    if (highlighted) ::FillRect(dc, &text, ::GetSysColorBrush(COLOR_HIGHLIGHT));
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, ::GetSysColor(highlighted ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
    RECT inner = text;
    inner.left += ScaleFrom96(2, dpi_);
    ::DrawTextW(dc, row.label.c_str(), static_cast<int>(row.label.size()), &inner,
                DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
    if (item.itemState & ODS_FOCUS) ::DrawFocusRect(dc, &text);
}

// Enter opens the highlighted folder, as a double-click does. The list asks
// for the key, so the window's dialog navigation does not take it.
LRESULT CALLBACK FolderList::KeyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                     DWORD_PTR self) {
    switch (message) {
    case WM_GETDLGCODE: {
        const auto* pending = reinterpret_cast<const MSG*>(lParam);
        const LRESULT code = ::DefSubclassProc(window, message, wParam, lParam);
        if (pending && pending->message == WM_KEYDOWN && pending->wParam == VK_RETURN) return code | DLGC_WANTMESSAGE;
        return code;
    }
    case WM_KEYDOWN:
        if (wParam == VK_RETURN) {
            reinterpret_cast<FolderList*>(self)->OpenHighlighted();
            return 0;
        }
        break;
    case WM_CHAR:
        if (wParam == L'\r') return 0;
        break;
    case WM_NCDESTROY:
        ::RemoveWindowSubclass(window, KeyProc, 1);
        break;
    default:
        break;
    }
    return ::DefSubclassProc(window, message, wParam, lParam);
}

}  // namespace veltrin::window
