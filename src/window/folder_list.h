#pragma once
// Dir1: the folder list. It shows the chain of folders from the drive root
// down to its current folder (open folder pictures) and that folder's
// subfolders (closed folder pictures, from the program's resources), each level indented. Double-click or
// Enter opens the highlighted folder; a single click only highlights.
#include <windows.h>

#include <string>
#include <vector>

#include "win32/gdi.h"

namespace veltrin::window {

class FolderList {
public:
    FolderList() = default;
    FolderList(const FolderList&) = delete;
    FolderList& operator=(const FolderList&) = delete;

    void Create(HWND parent, int id);
    [[nodiscard]] HWND Handle() const noexcept { return list_; }

    // Fonts and folder pictures for that DPI; the font stays owned by the caller.
    void SetDpi(int dpi, HFONT font);
    [[nodiscard]] int ItemHeight() const noexcept { return itemHeight_; }

    // Makes the folder current when it can be read; otherwise nothing changes
    // and the answer is false.
    bool SetPath(const std::wstring& path);
    // Start-up only: the process's own folder is current even when it cannot
    // be listed; the list then shows the chain down to it without subfolders.
    void SetUnreadablePath(const std::wstring& path);
    [[nodiscard]] const std::wstring& Path() const noexcept { return path_; }

    // Opens the highlighted entry (double-click, Enter).
    void OpenHighlighted();

    void Draw(const DRAWITEMSTRUCT& item) const;

private:
    struct Row {
        std::wstring label;
        std::wstring path;
        int level;
        bool open;  // the chain down to the current folder
    };

    void Show(const std::wstring& path, const std::vector<std::wstring>& subfolders);
    static LRESULT CALLBACK KeyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                    DWORD_PTR self);

    HWND list_ = nullptr;
    HFONT font_ = nullptr;
    int dpi_ = 96;
    int itemHeight_ = 16;
    int iconSize_ = 16;
    win32::UniqueIcon closedIcon_;
    win32::UniqueIcon openIcon_;
    std::wstring path_;
    std::vector<Row> rows_;
};

}  // namespace veltrin::window
