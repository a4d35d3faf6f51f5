#pragma once
// DPI queries that also work on systems older than Windows 10: the newer
// functions are looked up at run time in user32, which every GUI program has
// loaded already, and replaced by their system-wide forms where missing.
#include <windows.h>

#include "win32/gdi.h"

namespace veltrin::window {

// The DPI the window is shown at.
int WindowDpi(HWND window);

// The outer size of a window with that client size, style and DPI.
SIZE WindowSizeForClient(int clientWidth, int clientHeight, DWORD style, DWORD exStyle, int dpi);

// The platform's message font (the one its dialogs and controls use) at that DPI.
win32::UniqueFont DefaultFont(int dpi);

}  // namespace veltrin::window
