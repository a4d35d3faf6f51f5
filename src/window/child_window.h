#pragma once
// The pieces every control of the window is made with.
#include <windows.h>

namespace veltrin::window {

// A visible child window of the class, with its control id and the extra
// style bits; its box is set later, by the layout. createParam reaches the
// class's window procedure in CREATESTRUCT. Null when the system refused.
HWND CreateChild(HWND parent, const wchar_t* windowClass, const wchar_t* text, DWORD style, int id, DWORD exStyle = 0,
                 void* createParam = nullptr);

}  // namespace veltrin::window
