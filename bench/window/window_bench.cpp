// Two figures of the window:
//  1. start-up: from starting Install.exe to the first poll's answer on
//     screen (the status line's text, then its red pixels), over several runs;
//  2. one poll tick: Timer1_Timer on a real Form1 in this process, alone and
//     with the status line's repaint, for a folder with and without the game.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "window/control_ids.h"
#include "window/form1.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

fs::path InstallExe() {
    std::wstring path = L"Z:" VELTRIN_INSTALL_EXE_W;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

HWND FindForm(DWORD processId) {
    struct Search {
        DWORD processId;
        HWND form;
    } search{processId, nullptr};
    ::EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            auto* s = reinterpret_cast<Search*>(param);
            DWORD owner = 0;
            ::GetWindowThreadProcessId(window, &owner);
            wchar_t name[64] = {};
            ::GetClassNameW(window, name, 64);
            if (owner == s->processId && std::wstring_view(name) == veltrin::window::kForm1Class) s->form = window;
            return s->form == nullptr;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.form;
}

int RedPixels(HWND label) {
    RECT box{};
    ::GetWindowRect(label, &box);
    const int width = box.right - box.left;
    const int height = box.bottom - box.top;
    const HDC screen = ::GetDC(nullptr);
    const HDC memory = ::CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    const HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    const HGDIOBJ old = ::SelectObject(memory, bitmap);
    ::BitBlt(memory, 0, 0, width, height, screen, box.left, box.top, SRCCOPY);
    ::GdiFlush();
    int red = 0;
    const auto* pixels = static_cast<const unsigned*>(bits);
    for (int i = 0; i < width * height; ++i) red += (pixels[i] & 0xFFFFFFu) == 0xFF0000u;
    ::SelectObject(memory, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
    return red;
}

struct StartRun {
    double window = 0;  // Form1 exists
    double text = 0;    // Label2 holds the poll's text
    double pixels = 0;  // Label2's red text is on screen
};

bool MeasureStart(const fs::path& exe, const fs::path& folder, StartRun& run) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    std::wstring commandLine = L"\"" + exe.wstring() + L"\"";
    const auto start = Clock::now();
    if (!::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                          &startup, &process))
        return false;
    const auto limit = start + std::chrono::seconds(20);
    HWND form = nullptr;
    HWND label = nullptr;
    bool ok = false;
    while (Clock::now() < limit) {
        if (!form) {
            form = FindForm(process.dwProcessId);
            if (form) run.window = Ms(Clock::now() - start);
        } else if (!label || run.text == 0) {
            label = ::GetDlgItem(form, veltrin::window::kLabel2Id);
            wchar_t text[64] = {};
            if (label && ::InternalGetWindowText(label, text, 64) &&
                std::wstring_view(text) == L"GTA San Andreas Not Found !")
                run.text = Ms(Clock::now() - start);
        } else if (RedPixels(label) > 20) {
            run.pixels = Ms(Clock::now() - start);
            ok = true;
            break;
        }
        ::Sleep(0);
    }
    if (form) ::PostMessageW(form, WM_CLOSE, 0, 0);
    if (::WaitForSingleObject(process.hProcess, 5000) != WAIT_OBJECT_0) ::TerminateProcess(process.hProcess, 1);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return ok;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void PumpMessages() {
    MSG message{};
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

}  // namespace

int wmain() {
    const fs::path root = fs::temp_directory_path() / "veltrin-window-bench";
    fs::remove_all(root);
    const fs::path app = root / "app";
    const fs::path empty = root / "no game";
    const fs::path game = root / "GTA San Andreas";
    fs::create_directories(app);
    fs::create_directories(empty);
    fs::create_directories(game / "models");
    std::ofstream(game / "gta_sa.exe") << "MZ";
    fs::copy_file(InstallExe(), app / "Install.exe");

    constexpr int kRuns = 7;
    std::vector<double> windows, texts, pixels;
    for (int i = 0; i < kRuns; ++i) {
        StartRun run;
        if (!MeasureStart(app / "Install.exe", empty, run)) {
            std::printf("start-up run %d did not reach the first answer\n", i);
            return 1;
        }
        windows.push_back(run.window);
        texts.push_back(run.text);
        pixels.push_back(run.pixels);
    }
    std::printf(
        "start-up, median of %d runs: Form1 found %.1f ms, first poll's text %.1f ms, "
        "red status on screen %.1f ms (best %.1f ms)\n",
        kRuns, Median(windows), Median(texts), Median(pixels), *std::min_element(pixels.begin(), pixels.end()));

    constexpr int kTicks = 2000;
    for (const auto& [label, folder] : {std::pair{"game found", game}, std::pair{"game not found", empty}}) {
        fs::current_path(folder);
        veltrin::window::Form1 form;
        if (!form.Open(SW_SHOWNOACTIVATE)) {
            std::printf("Form1 could not be opened\n");
            return 1;
        }
        PumpMessages();
        const HWND status = ::GetDlgItem(form.Handle(), veltrin::window::kLabel2Id);
        auto start = Clock::now();
        for (int i = 0; i < kTicks; ++i) form.Timer1_Timer();
        const double alone = Ms(Clock::now() - start) * 1000.0 / kTicks;
        start = Clock::now();
        for (int i = 0; i < kTicks; ++i) {
            form.Timer1_Timer();
            ::UpdateWindow(status);
        }
        const double painted = Ms(Clock::now() - start) * 1000.0 / kTicks;
        std::printf("poll tick (%s), mean of %d: handler %.1f us, with the status line's repaint %.1f us\n", label,
                    kTicks, alone, painted);
        ::DestroyWindow(form.Handle());
        PumpMessages();
    }
    fs::current_path(fs::temp_directory_path());
    fs::remove_all(root);
    return 0;
}
