#include "install/report_box_win.h"

#include <algorithm>
#include <vector>

#include "win32/gdi.h"

namespace veltrin::install {
namespace {

constexpr int kTextId = 100;
constexpr int kIconId = 101;

// The text field's lines, in characters of the font's average width, and
// at most this share of the screen's work area.
constexpr int kLineChars = 64;
constexpr int kMostWidthPercent = 70;
constexpr int kMostHeightPercent = 80;

struct BoxState {
    const wchar_t* title;
    std::wstring text;  // lines end in "\r\n", as the text field takes them
    win32::UniqueFont font;
};

std::wstring WithCrLf(const std::wstring& text) {
    std::wstring out;
    for (const wchar_t c : text) {
        if (c == L'\n') out += L'\r';
        out += c;
    }
    return out;
}

RECT WorkAreaOf(HWND window) {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    ::GetMonitorInfoW(::MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor);
    return monitor.rcWork;
}

HWND MakeChild(HWND box, const wchar_t* kind, const wchar_t* text, DWORD style, int id, HFONT font) {
    const HWND child =
        ::CreateWindowExW(0, kind, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 10, 10, box,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ::GetModuleHandleW(nullptr), nullptr);
    ::SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return child;
}

// The height the text field needs at its width to show every line, as its
// own line breaks fall: from the top of its first line to the bottom of its
// last.
int TextHeight(HWND field, int lineHeight) {
    const auto lines = static_cast<int>(::SendMessageW(field, EM_GETLINECOUNT, 0, 0));
    const auto lastLine = ::SendMessageW(field, EM_LINEINDEX, static_cast<WPARAM>(lines - 1), 0);
    const auto first = static_cast<DWORD>(::SendMessageW(field, EM_POSFROMCHAR, 0, 0));
    const auto last = static_cast<DWORD>(::SendMessageW(field, EM_POSFROMCHAR, static_cast<WPARAM>(lastLine), 0));
    const int spanned = static_cast<short>(HIWORD(last)) - static_cast<short>(HIWORD(first));
    return std::max(spanned, 0) + lineHeight;
}

// Places the icon, the text field and OK, and sizes and centres the box
// around them.
void Layout(HWND box, const std::wstring& text, HFONT font) {
    HDC dc = ::GetDC(box);
    const HGDIOBJ old = ::SelectObject(dc, font);
    TEXTMETRICW metrics{};
    ::GetTextMetricsW(dc, &metrics);
    ::SelectObject(dc, old);
    ::ReleaseDC(box, dc);
    const int unit = std::max<int>(metrics.tmAveCharWidth, 1);
    const int lineHeight = metrics.tmHeight;
    const int margin = unit * 2;
    const int icon = ::GetSystemMetrics(SM_CXICON);
    const RECT work = WorkAreaOf(box);
    const int workWidth = work.right - work.left;
    const int workHeight = work.bottom - work.top;

    const int width = std::min(unit * kLineChars, workWidth * kMostWidthPercent / 100 - icon - 3 * margin);
    const HWND field = ::GetDlgItem(box, kTextId);
    ::SendMessageW(field, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, 0);
    ::SetWindowPos(field, nullptr, 0, 0, width, workHeight, SWP_NOZORDER | SWP_NOMOVE);
    ::SetWindowTextW(field, text.c_str());
    int height = TextHeight(field, lineHeight);
    const int mostHeight = workHeight * kMostHeightPercent / 100;
    if (height > mostHeight) {
        // Longer than the screen takes: it scrolls.
        ::SetWindowLongPtrW(field, GWL_STYLE, ::GetWindowLongPtrW(field, GWL_STYLE) | WS_VSCROLL);
        height = mostHeight;
    }
    const int textLeft = margin * 2 + icon;
    ::SetWindowPos(field, nullptr, textLeft, margin, width, height, SWP_NOZORDER | SWP_FRAMECHANGED);
    ::SetWindowPos(::GetDlgItem(box, kIconId), nullptr, margin, margin, icon, icon, SWP_NOZORDER);

    const int buttonWidth = unit * 12;
    const int buttonHeight = lineHeight * 7 / 4;
    const int clientWidth = textLeft + width + margin;
    const int buttonTop = margin + std::max(height, icon) + margin;
    ::SetWindowPos(::GetDlgItem(box, IDOK), nullptr, (clientWidth - buttonWidth) / 2, buttonTop, buttonWidth,
                   buttonHeight, SWP_NOZORDER);

    RECT outer{0, 0, clientWidth, buttonTop + buttonHeight + margin};
    ::AdjustWindowRectEx(&outer, static_cast<DWORD>(::GetWindowLongPtrW(box, GWL_STYLE)), FALSE,
                         static_cast<DWORD>(::GetWindowLongPtrW(box, GWL_EXSTYLE)));
    const int outerWidth = outer.right - outer.left;
    const int outerHeight = outer.bottom - outer.top;
    ::SetWindowPos(box, nullptr, work.left + (workWidth - outerWidth) / 2, work.top + (workHeight - outerHeight) / 2,
                   outerWidth, outerHeight, SWP_NOZORDER);
}

INT_PTR CALLBACK BoxProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        auto& state = *reinterpret_cast<BoxState*>(lParam);
        ::SetWindowTextW(box, state.title);
        NONCLIENTMETRICSW metrics{};
        metrics.cbSize = sizeof metrics;
        ::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
        state.font.Reset(::CreateFontIndirectW(&metrics.lfMessageFont));
        const HFONT font = state.font ? state.font.Get() : static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
        const HWND icon = MakeChild(box, L"STATIC", nullptr, SS_ICON, kIconId, font);
        ::SendMessageW(icon, STM_SETICON, reinterpret_cast<WPARAM>(::LoadIconW(nullptr, IDI_ERROR)), 0);
        MakeChild(box, L"EDIT", L"", ES_MULTILINE | ES_READONLY | WS_TABSTOP, kTextId, font);
        const HWND ok = MakeChild(box, L"BUTTON", L"OK", BS_DEFPUSHBUTTON | WS_TABSTOP, IDOK, font);
        Layout(box, state.text, font);
        ::SetForegroundWindow(box);
        ::SetFocus(ok);
        return FALSE;  // the focus is set
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            ::EndDialog(box, IDOK);
            return TRUE;
        }
        break;
    default:
        break;
    }
    return FALSE;
}

}  // namespace

void ShowReportBox(HWND owner, const wchar_t* title, const std::wstring& text) {
    // A dialog template with no controls: they are made and placed once the
    // font and the text are known. DWORD-aligned, as templates must be.
    std::vector<DWORD> memory(16, 0);
    auto* dialog = reinterpret_cast<DLGTEMPLATE*>(memory.data());
    dialog->style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    dialog->cx = 100;
    dialog->cy = 50;
    BoxState state{title, WithCrLf(text), {}};
    ::MessageBeep(MB_ICONERROR);
    ::DialogBoxIndirectParamW(::GetModuleHandleW(nullptr), dialog, owner, BoxProc, reinterpret_cast<LPARAM>(&state));
}

}  // namespace veltrin::install
