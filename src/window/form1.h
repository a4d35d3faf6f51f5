#pragma once
// Form1, the installer's one window. It owns every control; its window
// procedure only routes events to the three handlers and to the controls.
//
// The names of the window, its controls and handlers (Form1, Drive1, Dir1,
// File1, Label2, Timer1, Command1_Click, ...) are the product's own: the
// window's design fixes them, and the code keeps them rather than renaming
// them after what they do. File1 is the design's off-screen file list, which
// lists the payload for the install run and is never shown.
#include <windows.h>

#include "win32/gdi.h"
#include "window/drive_list.h"
#include "window/file_list.h"
#include "window/folder_list.h"
#include "window/picture_box.h"

namespace veltrin::window {

class Form1 {
public:
    Form1() = default;
    Form1(const Form1&) = delete;
    Form1& operator=(const Form1&) = delete;

    // Creates the window in its designed state, centred on the screen, shows
    // it and starts Timer1. False when the system refused to make the window.
    bool Open(int showCommand);
    [[nodiscard]] HWND Handle() const noexcept { return form_; }

    // Runs the install run on Dir1's path with File1 as the payload lister and
    // ends the process with its status. Never returns. While the run waits
    // for the archive tool the window keeps painting with its poll paused,
    // and cannot be closed.
    [[noreturn]] void Command1_Click();
    // Points Dir1 at the chosen drive's current folder; any failure is ignored.
    void Drive1_Change();
    // One detection poll: Label2's text, then its colour, then Command1.
    void Timer1_Timer();

private:
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Route(UINT message, WPARAM wParam, LPARAM lParam);

    void CreateControls();
    // Drive1 on the current drive, Dir1 and File1 on the current folder.
    void ShowStartFolder();
    // Font, every control's box and Dir1's rows for that DPI.
    void ApplyDpi(int dpi);
    // Sizes the window, its top-left corner there, so that its client area
    // has the designed size at the current DPI; returns the window's size.
    SIZE FitClient(int left, int top) const;
    void SizeDriveField(int height) const;
    void PaintLine2() const;
    LRESULT Label2Colours(HDC dc) const;

    HWND form_ = nullptr;
    int dpi_ = 96;
    win32::UniqueFont font_;
    win32::UniqueBitmap logo_;
    HWND label1_ = nullptr;
    HWND label2_ = nullptr;
    HWND label3_ = nullptr;
    HWND label4_ = nullptr;
    HWND command1_ = nullptr;
    DriveList drive1_;
    FolderList dir1_;
    FileList file1_;
    PictureBox picture1_;
    COLORREF label2Colour_ = 0;
    HWND savedFocus_ = nullptr;
    bool installing_ = false;
};

}  // namespace veltrin::window
