#include "window/drive_list.h"

#include "text/ascii.h"
#include "window/child_window.h"

namespace veltrin::window {
namespace {

// "c:", and for a fixed disk with a volume name "c: [name]". Removable and
// network drives are not asked for their name: that can take seconds.
std::wstring DriveLabel(const std::wstring& root) {
    std::wstring label = root.substr(0, 2);
    label[0] = text::LowerAscii(label[0]);
    if (::GetDriveTypeW(root.c_str()) == DRIVE_FIXED) {
        wchar_t volume[MAX_PATH + 1] = {};
        if (::GetVolumeInformationW(root.c_str(), volume, MAX_PATH + 1, nullptr, nullptr, nullptr, nullptr, 0) &&
            volume[0] != L'\0')
            label += L" [" + std::wstring(volume) + L"]";
    }
    return label;
}

}  // namespace

void DriveList::Create(HWND parent, int id) {
    combo_ = CreateChild(parent, L"COMBOBOX", L"",
                         WS_TABSTOP | WS_GROUP | WS_VSCROLL | CBS_DROPDOWNLIST | CBS_HASSTRINGS, id);
}

void DriveList::Fill(const std::wstring& currentPath) {
    ::SendMessageW(combo_, CB_RESETCONTENT, 0, 0);
    drives_.clear();
    // A drive's media can be missing: the process's error mode, set at
    // start-up, keeps the system from asking for it.
    const DWORD mask = ::GetLogicalDrives();
    for (int letter = 0; letter < 26; ++letter) {
        if (!(mask & (1u << letter))) continue;
        const std::wstring root{static_cast<wchar_t>(L'A' + letter), L':', L'\\'};
        drives_.push_back(root.substr(0, 2));
        ::SendMessageW(combo_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(DriveLabel(root).c_str()));
    }
    if (currentPath.size() < 2 || currentPath[1] != L':') return;
    for (size_t i = 0; i < drives_.size(); ++i)
        if (text::LowerAscii(drives_[i][0]) == text::LowerAscii(currentPath[0]))
            ::SendMessageW(combo_, CB_SETCURSEL, i, 0);
}

std::wstring DriveList::SelectedDrive() const {
    const LRESULT index = ::SendMessageW(combo_, CB_GETCURSEL, 0, 0);
    if (index < 0 || static_cast<size_t>(index) >= drives_.size()) return {};
    return drives_[static_cast<size_t>(index)];
}

}  // namespace veltrin::window
