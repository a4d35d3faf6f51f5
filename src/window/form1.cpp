#include "window/form1.h"

#include <exception>
#include <string>
#include <utility>

#include "install/install_error.h"
#include "install/install_host_win.h"
#include "install/install_run.h"
#include "win32/module_path.h"
#include "win32/text.h"
#include "window/child_window.h"
#include "window/control_ids.h"
#include "window/dpi.h"
#include "window/game_probe.h"
#include "window/layout.h"
#include "window/resource_ids.h"

namespace veltrin::window {
namespace {

constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kFormExStyle = WS_EX_DLGMODALFRAME;

constexpr wchar_t kLabel1Text[] = L"Please Select Your GTA San Andreas Folder :";
constexpr wchar_t kLabel2DesignText[] = L"GTA Sna Andreas Not Found !";
constexpr wchar_t kLabel3Text[] = L"Veltrin MOD by Veltrin";
constexpr wchar_t kLabel4Text[] = L"Veltrin MOD For GTA San Andreas";
constexpr wchar_t kCommand1Text[] = L"Install";
constexpr wchar_t kFoundText[] = L"GTA San Andreas Found !";
constexpr wchar_t kNotFoundText[] = L"GTA San Andreas Not Found !";
constexpr COLORREF kFoundColour = 65280;   // pure green
constexpr COLORREF kNotFoundColour = 255;  // pure red

void Place(HWND control, const TwipRect& box, int dpi) {
    const PixelRect pixels = ToPixels(box, dpi);
    ::SetWindowPos(control, nullptr, pixels.left, pixels.top, pixels.width, pixels.height,
                   SWP_NOZORDER | SWP_NOACTIVATE);
}

// The current folder of a drive ("Q:" gives "Q:\Some\Folder", or "Q:\").
std::wstring CurrentFolderOfDrive(const std::wstring& drive) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetFullPathNameW(drive.c_str(), static_cast<DWORD>(path.size()), path.data(), nullptr);
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(length);
    }
}

// The application icon (for Alt+Tab and the taskbar) and the 16 x 16 window
// icon, shared: loaded once, never destroyed.
HICON AppIcon() {
    return static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(VELTRIN_IDI_APP), IMAGE_ICON,
                                           ::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON), LR_SHARED));
}

HICON WindowIcon() {
    return static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(VELTRIN_IDI_WINDOW),
                                           IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON),
                                           LR_SHARED));
}

void RegisterFormClass(WNDPROC proc) {
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = proc;
    windowClass.hInstance = instance;
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    windowClass.lpszClassName = kForm1Class;
    windowClass.hIcon = AppIcon();
    windowClass.hIconSm = WindowIcon();
    ::RegisterClassExW(&windowClass);
}

}  // namespace

bool Form1::Open(int showCommand) {
    RegisterFormClass(Proc);
    logo_.Reset(static_cast<HBITMAP>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(VELTRIN_IDB_LOGO),
                                                  IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
    form_ = ::CreateWindowExW(kFormExStyle, kForm1Class, kForm1Caption, kFormStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, ::GetModuleHandleW(nullptr), this);
    if (!form_) return false;
    ::SendMessageW(form_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(WindowIcon()));
    ::SendMessageW(form_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(AppIcon()));
    CreateControls();
    ApplyDpi(WindowDpi(form_));
    ShowStartFolder();

    // Centred on the primary screen.
    const SIZE size = FitClient(0, 0);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    ::GetMonitorInfoW(::MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &monitor);
    const RECT& screen = monitor.rcMonitor;
    const int left = screen.left + (screen.right - screen.left - size.cx) / 2;
    const int top = screen.top + (screen.bottom - screen.top - size.cy) / 2;
    ::SetWindowPos(form_, nullptr, left, top, 0, 0, SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOSIZE);

    ::ShowWindow(form_, showCommand);
    ::UpdateWindow(form_);
    ::SetFocus(drive1_.Handle());
    ::SetTimer(form_, kTimer1Id, kTimer1IntervalMs, nullptr);
    return true;
}

void Form1::CreateControls() {
    // Creation order is the tab order: Drive1, Label1, Dir1, Label2, Command1,
    // File1, Picture1, Label3, Label4.
    drive1_.Create(form_, kDrive1Id);
    label1_ = CreateChild(form_, L"STATIC", kLabel1Text, SS_LEFT | SS_NOPREFIX, kLabel1Id);
    dir1_.Create(form_, kDir1Id);
    label2_ = CreateChild(form_, L"STATIC", kLabel2DesignText, SS_LEFT | SS_NOPREFIX, kLabel2Id);
    command1_ =
        CreateChild(form_, L"BUTTON", kCommand1Text, WS_TABSTOP | WS_GROUP | WS_DISABLED | BS_PUSHBUTTON, kCommand1Id);
    file1_.Create(form_, kFile1Id);
    picture1_.Create(form_, kPicture1Id, logo_.Get());
    label3_ = CreateChild(form_, L"STATIC", kLabel3Text, SS_LEFT | SS_NOPREFIX, kLabel3Id);
    label4_ = CreateChild(form_, L"STATIC", kLabel4Text, SS_LEFT | SS_NOPREFIX, kLabel4Id);
    label2Colour_ = ::GetSysColor(COLOR_BTNTEXT);
}

void Form1::ShowStartFolder() {
    const std::wstring start = win32::CurrentFolder();
    drive1_.Fill(start);
    if (!dir1_.SetPath(start)) dir1_.SetUnreadablePath(start);
    try {
        file1_.Point(win32::Narrow(start));
    } catch (const std::exception&) {
        // Nothing reads File1 before the install run points it at a payload folder.
    }
}

void Form1::ApplyDpi(int dpi) {
    dpi_ = dpi;
    // The controls take the new font before the old one is deleted.
    win32::UniqueFont font = DefaultFont(dpi);
    for (HWND control : {drive1_.Handle(), label1_, label2_, command1_, file1_.Handle(), label3_, label4_})
        ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font.Get()), FALSE);
    dir1_.SetDpi(dpi, font.Get());
    font_ = std::move(font);

    Place(label1_, kLabel1Box, dpi);
    // The drop-down part of the drive list is as tall as eight drives.
    const PixelRect drive = ToPixels(kDrive1Box, dpi);
    ::SetWindowPos(drive1_.Handle(), nullptr, drive.left, drive.top, drive.width, drive.height * 8,
                   SWP_NOZORDER | SWP_NOACTIVATE);
    SizeDriveField(drive.height);
    Place(dir1_.Handle(), kDir1Box, dpi);
    Place(label2_, kLabel2Box, dpi);
    Place(command1_, kCommand1Box, dpi);
    Place(file1_.Handle(), kFile1Box, dpi);
    Place(picture1_.Handle(), kPicture1Box, dpi);
    Place(label3_, kLabel3Box, dpi);
    Place(label4_, kLabel4Box, dpi);
    ::InvalidateRect(form_, nullptr, TRUE);
}

SIZE Form1::FitClient(int left, int top) const {
    const int width = TwipsToPixels(kClientWidthTwips, dpi_);
    const int height = TwipsToPixels(kClientHeightTwips, dpi_);
    SIZE size = WindowSizeForClient(width, height, kFormStyle, kFormExStyle, dpi_);
    ::SetWindowPos(form_, nullptr, left, top, size.cx, size.cy, SWP_NOZORDER | SWP_NOACTIVATE);
    // Where the frame does not follow the DPI as computed, the client area
    // still gets its designed size.
    RECT client{};
    ::GetClientRect(form_, &client);
    if (client.right != width || client.bottom != height) {
        size.cx += width - client.right;
        size.cy += height - client.bottom;
        ::SetWindowPos(form_, nullptr, 0, 0, size.cx, size.cy, SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
    }
    return size;
}

// A closed drop-down list is as tall as its selection field plus its border;
// the field is set so that the whole control has the designed height. The
// field height a list reports may differ from the one it was given, so the
// request is corrected by what the control's box shows.
void Form1::SizeDriveField(int height) const {
    const HWND combo = drive1_.Handle();
    auto shownHeight = [combo] {
        RECT box{};
        ::GetWindowRect(combo, &box);
        return static_cast<int>(box.bottom - box.top);
    };
    LRESULT request = ::SendMessageW(combo, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0) + (height - shownHeight());
    for (int attempt = 0; attempt < 4 && request > 0; ++attempt) {
        ::SendMessageW(combo, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), request);
        const int difference = height - shownHeight();
        if (difference == 0) return;
        request += difference;
    }
}

void Form1::Command1_Click() {
    installing_ = true;
    ::KillTimer(form_, kTimer1Id);
    install::WinInstallHost host(form_);
    int status = 0;
    try {
        const install::RunPaths paths{win32::Narrow(dir1_.Path()), install::ApplicationFolder()};
        status = install::RunInstall(paths, file1_, host);
    } catch (const std::exception& error) {
        host.ShowFailure(std::string("The installation could not start: ") + error.what());
        status = static_cast<int>(install::Failure::Unexpected);
    }
    ::ExitProcess(static_cast<UINT>(status));
}

void Form1::Drive1_Change() {
    const std::wstring drive = drive1_.SelectedDrive();
    if (drive.empty()) return;
    // The system remembers a current folder per drive; when that folder is
    // gone (removed, or another disc in the drive), the drive's root. A drive
    // that cannot be read at all leaves Dir1 where it was.
    const std::wstring folder = CurrentFolderOfDrive(drive);
    if (!folder.empty() && dir1_.SetPath(folder)) return;
    dir1_.SetPath(drive + L"\\");
}

void Form1::Timer1_Timer() {
    const bool found = ProbeGame(dir1_.Path());
    ::SetWindowTextW(label2_, found ? kFoundText : kNotFoundText);
    label2Colour_ = found ? kFoundColour : kNotFoundColour;
    ::InvalidateRect(label2_, nullptr, TRUE);
    // A disabled button cannot keep the focus: pass it on in tab order first.
    if (!found && ::GetFocus() == command1_) ::SetFocus(::GetNextDlgTabItem(form_, command1_, FALSE));
    ::EnableWindow(command1_, found);
}

void Form1::PaintLine2() const {
    PAINTSTRUCT paint{};
    const HDC dc = ::BeginPaint(form_, &paint);
    const PixelPoint from = ToPixels(kLine2From, dpi_);
    const PixelPoint to = ToPixels(kLine2To, dpi_);
    const COLORREF colour = ::GetSysColor(COLOR_WINDOWTEXT);
    const win32::UniqueGdiObject<HPEN> pen(::CreatePen(PS_SOLID, 1, colour));
    {
        const win32::SelectedObject selected(dc, pen.Get());
        ::MoveToEx(dc, from.x, from.y, nullptr);
        ::LineTo(dc, to.x, to.y);
    }
    ::SetPixel(dc, to.x, to.y, colour);  // LineTo stops one pixel short of its end
    ::EndPaint(form_, &paint);
}

LRESULT Form1::Label2Colours(HDC dc) const {
    ::SetTextColor(dc, label2Colour_);
    ::SetBkColor(dc, ::GetSysColor(COLOR_BTNFACE));
    return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
}

LRESULT CALLBACK Form1::Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* form = static_cast<Form1*>(reinterpret_cast<const CREATESTRUCTW*>(lParam)->lpCreateParams);
        form->form_ = window;
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
    }
    auto* form = reinterpret_cast<Form1*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!form) return ::DefWindowProcW(window, message, wParam, lParam);
    try {
        return form->Route(message, wParam, lParam);
    } catch (const std::exception&) {
        // Only running out of memory gets here; no handler can go on from it.
        ::MessageBoxW(window, L"The installer ran out of memory.", install::kAppTitle, MB_OK | MB_ICONERROR);
        ::ExitProcess(static_cast<UINT>(install::Failure::Unexpected));
    }
}

LRESULT Form1::Route(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_TIMER:
        if (wParam == kTimer1Id) Timer1_Timer();
        return 0;
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        const int code = HIWORD(wParam);
        if (id == kCommand1Id && code == BN_CLICKED) Command1_Click();
        if (id == kDrive1Id && code == CBN_SELCHANGE) Drive1_Change();
        if (id == kDir1Id && code == LBN_DBLCLK) dir1_.OpenHighlighted();
        return 0;  // IDOK and IDCANCEL from the dialog keys do nothing: no default or cancel button
    }
    case WM_CTLCOLORSTATIC:
        if (reinterpret_cast<HWND>(lParam) == label2_) return Label2Colours(reinterpret_cast<HDC>(wParam));
        break;
    case WM_MEASUREITEM: {
        auto* item = reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
        if (item->CtlID == static_cast<UINT>(kDir1Id)) item->itemHeight = static_cast<UINT>(dir1_.ItemHeight());
        return TRUE;
    }
    case WM_DRAWITEM: {
        const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        if (item->CtlID == static_cast<UINT>(kDir1Id)) dir1_.Draw(*item);
        return TRUE;
    }
    case WM_PAINT:
        PaintLine2();
        return 0;
    case WM_DPICHANGED: {
        ApplyDpi(HIWORD(wParam));
        const auto* suggested = reinterpret_cast<const RECT*>(lParam);
        FitClient(suggested->left, suggested->top);
        return 0;
    }
    case WM_ACTIVATE:
        if (LOWORD(wParam) == WA_INACTIVE) {
            const HWND focus = ::GetFocus();
            if (focus && ::IsChild(form_, focus)) savedFocus_ = focus;
        }
        break;
    case WM_SETFOCUS: {
        const bool usable = savedFocus_ && ::IsWindowEnabled(savedFocus_);
        ::SetFocus(usable ? savedFocus_ : drive1_.Handle());
        return 0;
    }
    case WM_CLOSE:
        // The run ends the program once the tool has ended and its box is seen.
        if (!installing_) ::DestroyWindow(form_);
        return 0;
    case WM_DESTROY:
        ::KillTimer(form_, kTimer1Id);
        ::PostQuitMessage(0);
        return 0;
    default:
        break;
    }
    return ::DefWindowProcW(form_, message, wParam, lParam);
}

}  // namespace veltrin::window
