#include "window/child_window.h"

namespace veltrin::window {

HWND CreateChild(HWND parent, const wchar_t* windowClass, const wchar_t* text, DWORD style, int id, DWORD exStyle,
                 void* createParam) {
    return ::CreateWindowExW(exStyle, windowClass, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ::GetModuleHandleW(nullptr),
                             createParam);
}

}  // namespace veltrin::window
