#pragma once
// Picture1: a box with a sunken border that shows a bitmap unscaled from its
// top-left corner. It takes the focus (Tab, click) but does nothing with keys.
#include <windows.h>

namespace veltrin::window {

class PictureBox {
public:
    // The bitmap stays owned by the caller and must outlive the box.
    void Create(HWND parent, int id, HBITMAP bitmap);
    [[nodiscard]] HWND Handle() const noexcept { return box_; }

private:
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static void Paint(HWND window, HBITMAP bitmap);

    HWND box_ = nullptr;
};

}  // namespace veltrin::window
