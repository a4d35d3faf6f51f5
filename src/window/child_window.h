#pragma once
// The pieces every control of the window is made with.
#include <windows.h>

namespace veltrin::window {

// A visible child window of the class, with its control id and the extra
// style bits; its box is set later, by the layout. createParam reaches the
// class's window procedure in CREATESTRUCT. Null when the system refused.
HWND CreateChild(HWND parent, const wchar_t* windowClass, const wchar_t* text, DWORD style, int id, DWORD exStyle = 0,
                 void* createParam = nullptr);

// While one lives, a drive without its media (an empty card reader or disc
// drive) fails the call that touched it instead of asking the player for a
// disk; the earlier mode comes back when it dies.
class QuietDriveErrors {
public:
    QuietDriveErrors() noexcept : old_(::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX)) {}
    QuietDriveErrors(const QuietDriveErrors&) = delete;
    QuietDriveErrors& operator=(const QuietDriveErrors&) = delete;
    ~QuietDriveErrors() { ::SetErrorMode(old_); }

private:
    UINT old_;
};

}  // namespace veltrin::window
