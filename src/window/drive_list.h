#pragma once
// Drive1: a drop-down list of the system's drives.
#include <windows.h>

#include <string>
#include <vector>

namespace veltrin::window {

class DriveList {
public:
    void Create(HWND parent, int id);
    [[nodiscard]] HWND Handle() const noexcept { return combo_; }

    // Lists the drives and selects the one the path lies on (no selection
    // when it lies on none, as for a network path).
    void Fill(const std::wstring& currentPath);
    // The chosen drive as "Q:", or empty when nothing is chosen.
    [[nodiscard]] std::wstring SelectedDrive() const;

private:
    HWND combo_ = nullptr;
    std::vector<std::wstring> drives_;  // "Q:" per entry, in list order
};

}  // namespace veltrin::window
