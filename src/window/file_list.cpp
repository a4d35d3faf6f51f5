#include "window/file_list.h"

#include <stdexcept>

#include "win32/text.h"
#include "window/child_window.h"

namespace veltrin::window {

void FileList::Create(HWND parent, int id) {
    list_ = CreateChild(parent, L"LISTBOX", L"", WS_DISABLED | WS_VSCROLL | LBS_NOINTEGRALHEIGHT, id, WS_EX_CLIENTEDGE);
}

void FileList::Point(const std::string& folder) {
    try {
        lister_.Point(folder);
    } catch (...) {
        ShowSnapshot();  // the failed pointing left the snapshot empty
        throw;
    }
    ShowSnapshot();
}

int FileList::Count() const { return lister_.Count(); }

std::string FileList::NameAt(int index) const { return lister_.NameAt(index); }

std::optional<std::vector<std::string>> FileList::Peek(const std::string& folder) const { return lister_.Peek(folder); }

void FileList::ShowSnapshot() {
    if (!list_) return;
    ::SendMessageW(list_, WM_SETREDRAW, FALSE, 0);
    ::SendMessageW(list_, LB_RESETCONTENT, 0, 0);
    for (int i = 0; i < lister_.Count(); ++i) {
        std::wstring name;
        try {
            name = win32::Widen(lister_.NameAt(i));
        } catch (const std::runtime_error&) {
            continue;  // the names come from the system in UTF-16, so this does not happen
        }
        ::SendMessageW(list_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
    }
    ::SendMessageW(list_, WM_SETREDRAW, TRUE, 0);
}

}  // namespace veltrin::window
