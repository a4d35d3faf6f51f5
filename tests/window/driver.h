#pragma once
// Drives a running Install.exe as a user would: finds its windows, reads what
// they show, clicks and types with real input events (SendInput) and captures
// the screen. Every wait polls with a time limit.
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace veltrin::window::test {

using namespace std::chrono_literals;

// Polls the condition every few milliseconds until it holds or the limit
// passes. The limits are generous: a loaded machine slows Wine down a lot,
// and a condition that holds ends the wait at once.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s);

// The Windows form of a path of the build tree (Wine maps / to Z:\).
std::filesystem::path FromUnix(const std::string& unixPath);

std::wstring Text(HWND window);
// The text kept by the system for the window, read without sending it a
// message, so it works while the window's thread is stopped.
std::wstring StoredText(HWND window);
std::vector<std::wstring> ListItems(HWND list);
int ListSelection(HWND list);
RECT ListItemRect(HWND list, int index);  // in the list's client coordinates
std::wstring ComboText(HWND combo);
std::vector<std::wstring> ComboItems(HWND combo);
// The window's box relative to the client area of its parent.
RECT BoxInParent(HWND window);
HWND FocusOf(HWND window);

// Real input, delivered through the system's input queue.
void ClickAt(POINT screen);
void DoubleClickAt(POINT screen);
void ClickCentre(HWND window);
void PressKey(WORD key, bool shift = false);

// One pixel per entry, 0x00RRGGBB, rows top to bottom.
struct Capture {
    int width = 0;
    int height = 0;
    std::vector<unsigned> pixels;
    [[nodiscard]] unsigned At(int x, int y) const { return pixels[static_cast<size_t>(y * width + x)]; }
    [[nodiscard]] int Count(unsigned rgb) const;
    void SaveBmp(const std::filesystem::path& path) const;
};
Capture CaptureScreen(const RECT& screenBox);
Capture CaptureWindow(HWND window);  // the whole window, frame included
Capture CaptureClient(HWND window);

class Installer {
public:
    // Starts the program in that working folder and waits for Form1. Each
    // entry of environment ("NAME=value") is added to this process's
    // environment for the program, in place of a variable of that name; the
    // names may be the system's per-drive current folders ("=Q:").
    Installer(const std::filesystem::path& exe, const std::filesystem::path& workingFolder,
              const std::vector<std::wstring>& environment = {});
    Installer(const Installer&) = delete;
    Installer& operator=(const Installer&) = delete;
    ~Installer();  // ends a program the test left running

    [[nodiscard]] HWND Form() const noexcept { return form_; }
    [[nodiscard]] HWND Control(int id) const { return ::GetDlgItem(form_, id); }
    [[nodiscard]] DWORD ThreadId() const noexcept { return info_.dwThreadId; }
    [[nodiscard]] HANDLE Process() const noexcept { return info_.hProcess; }
    // The text Label2 had when the window was first seen, read with the
    // program's thread stopped.
    [[nodiscard]] const std::wstring& FirstStatus() const noexcept { return firstStatus_; }
    [[nodiscard]] bool FirstCommandEnabled() const noexcept { return firstCommandEnabled_; }

    // Brings Form1 to the front so that keys reach it.
    bool Activate() const;
    // A top-level dialog of the program (a message box), once it shows.
    [[nodiscard]] HWND WaitForDialog(std::chrono::milliseconds limit = 30s) const;
    // The exit status once the process ended, or nothing after the limit.
    [[nodiscard]] std::optional<DWORD> WaitForExit(std::chrono::milliseconds limit = 30s) const;
    // Presses the message box's OK as a user would and waits for the program
    // to end. A console window opening at the same moment (the archive tool's)
    // can take the input for a while under Wine: the click is tried again,
    // then Enter on the focused OK.
    [[nodiscard]] std::optional<DWORD> ConfirmAndWaitForExit(HWND box, HWND ok) const;
    [[nodiscard]] std::vector<HWND> VisibleTopWindows() const;

private:
    PROCESS_INFORMATION info_{};
    HWND form_ = nullptr;
    std::wstring firstStatus_;
    bool firstCommandEnabled_ = false;
};

}  // namespace veltrin::window::test
