#include "window/picture_box.h"

#include "win32/gdi.h"
#include "window/child_window.h"

namespace veltrin::window {
namespace {

constexpr wchar_t kClassName[] = L"VeltrinPictureBox";

void RegisterClassOnce(WNDPROC proc) {
    static const bool registered = [proc] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = proc;
        windowClass.hInstance = ::GetModuleHandleW(nullptr);
        windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
        windowClass.lpszClassName = kClassName;
        return ::RegisterClassExW(&windowClass) != 0;
    }();
    (void)registered;
}

}  // namespace

void PictureBox::Create(HWND parent, int id, HBITMAP bitmap) {
    RegisterClassOnce(Proc);
    box_ = CreateChild(parent, kClassName, L"", WS_TABSTOP | WS_GROUP, id, WS_EX_CLIENTEDGE, bitmap);
}

void PictureBox::Paint(HWND window, HBITMAP bitmap) {
    PAINTSTRUCT paint{};
    const HDC dc = ::BeginPaint(window, &paint);
    BITMAP info{};
    if (bitmap && ::GetObjectW(bitmap, sizeof(info), &info)) {
        const win32::MemoryDc memory(dc);
        const win32::SelectedObject selected(memory.Get(), bitmap);
        ::BitBlt(dc, 0, 0, info.bmWidth, info.bmHeight, memory.Get(), 0, 0, SRCCOPY);
    }
    ::EndPaint(window, &paint);
}

LRESULT CALLBACK PictureBox::Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_NCCREATE: {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        break;
    }
    case WM_PAINT:
        Paint(window, reinterpret_cast<HBITMAP>(::GetWindowLongPtrW(window, GWLP_USERDATA)));
        return 0;
    case WM_LBUTTONDOWN:
        ::SetFocus(window);
        return 0;
    case WM_GETDLGCODE:
        return DLGC_WANTARROWS;  // arrows do not move the focus on to the labels
    default:
        break;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace veltrin::window
