#include "window/dpi.h"

#include "window/layout.h"

namespace veltrin::window {
namespace {

template <typename Function>
Function User32Function(const char* name) {
    const HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
    if (!user32) return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(user32, name)));
}

int SystemDpi() {
    const win32::WindowDc screen(nullptr);
    return screen ? ::GetDeviceCaps(screen.Get(), LOGPIXELSY) : kDefaultDpi;
}

}  // namespace

int WindowDpi(HWND window) {
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = User32Function<GetDpiForWindowFn>("GetDpiForWindow");
    if (getDpiForWindow && window) {
        const UINT dpi = getDpiForWindow(window);
        if (dpi != 0) return static_cast<int>(dpi);
    }
    return SystemDpi();
}

SIZE WindowSizeForClient(int clientWidth, int clientHeight, DWORD style, DWORD exStyle, int dpi) {
    using AdjustForDpiFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
    static const auto adjustForDpi = User32Function<AdjustForDpiFn>("AdjustWindowRectExForDpi");
    RECT rect{0, 0, clientWidth, clientHeight};
    if (!adjustForDpi || !adjustForDpi(&rect, style, FALSE, exStyle, static_cast<UINT>(dpi)))
        ::AdjustWindowRectEx(&rect, style, FALSE, exStyle);
    return {rect.right - rect.left, rect.bottom - rect.top};
}

win32::UniqueFont DefaultFont(int dpi) {
    using ParametersForDpiFn = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);
    static const auto parametersForDpi = User32Function<ParametersForDpiFn>("SystemParametersInfoForDpi");
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    const bool scaled = parametersForDpi &&
                        parametersForDpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, static_cast<UINT>(dpi));
    if (!scaled) {
        if (::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
            metrics.lfMessageFont.lfHeight = ::MulDiv(metrics.lfMessageFont.lfHeight, dpi, SystemDpi());
        } else {
            // The dialog font of old systems: MS Shell Dlg, 8 points.
            metrics.lfMessageFont = LOGFONTW{};
            metrics.lfMessageFont.lfHeight = -::MulDiv(8, dpi, 72);
            metrics.lfMessageFont.lfWeight = FW_NORMAL;
            metrics.lfMessageFont.lfCharSet = DEFAULT_CHARSET;
            ::lstrcpynW(metrics.lfMessageFont.lfFaceName, L"MS Shell Dlg", LF_FACESIZE);
        }
    }
    return win32::UniqueFont(::CreateFontIndirectW(&metrics.lfMessageFont));
}

}  // namespace veltrin::window
