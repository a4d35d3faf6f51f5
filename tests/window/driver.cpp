#include "driver.h"

#include <algorithm>
#include <cwchar>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "window/control_ids.h"

namespace veltrin::window::test {
namespace fs = std::filesystem;

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(5ms);
    }
}

fs::path FromUnix(const std::string& unixPath) {
    std::string path = "Z:" + unixPath;
    for (char& c : path)
        if (c == '/') c = '\\';
    return fs::path(path);
}

std::wstring Text(HWND window) {
    wchar_t buffer[1024] = {};
    DWORD_PTR length = 0;
    ::SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 5000, &length);
    return std::wstring(buffer, length);
}

std::wstring StoredText(HWND window) {
    wchar_t buffer[1024] = {};
    const int length = ::InternalGetWindowText(window, buffer, 1024);
    return std::wstring(buffer, static_cast<size_t>(length > 0 ? length : 0));
}

std::vector<std::wstring> ListItems(HWND list) {
    std::vector<std::wstring> items;
    const LRESULT count = ::SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t buffer[1024] = {};
        const auto length = ::SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buffer));
        items.emplace_back(buffer, static_cast<size_t>(length > 0 ? length : 0));
    }
    return items;
}

int ListSelection(HWND list) { return static_cast<int>(::SendMessageW(list, LB_GETCURSEL, 0, 0)); }

RECT ListItemRect(HWND list, int index) {
    RECT box{};
    ::SendMessageW(list, LB_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&box));
    return box;
}

std::wstring ComboText(HWND combo) { return Text(combo); }

std::vector<std::wstring> ComboItems(HWND combo) {
    std::vector<std::wstring> items;
    const LRESULT count = ::SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t buffer[1024] = {};
        const auto length =
            ::SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buffer));
        items.emplace_back(buffer, static_cast<size_t>(length > 0 ? length : 0));
    }
    return items;
}

RECT BoxInParent(HWND window) {
    RECT box{};
    ::GetWindowRect(window, &box);
    ::MapWindowPoints(nullptr, ::GetParent(window), reinterpret_cast<POINT*>(&box), 2);
    return box;
}

HWND FocusOf(HWND window) {
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    if (!::GetGUIThreadInfo(::GetWindowThreadProcessId(window, nullptr), &info)) return nullptr;
    return info.hwndFocus;
}

namespace {

INPUT MouseInput(POINT screen, DWORD flags) {
    INPUT input{};
    input.type = INPUT_MOUSE;
    const int width = ::GetSystemMetrics(SM_CXSCREEN);
    const int height = ::GetSystemMetrics(SM_CYSCREEN);
    input.mi.dx = (screen.x * 65536 + width / 2) / width;
    input.mi.dy = (screen.y * 65536 + height / 2) / height;
    input.mi.dwFlags = flags | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_MOVE;
    return input;
}

void Send(std::vector<INPUT> inputs) {
    ::SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
    std::this_thread::sleep_for(30ms);
}

}  // namespace

void ClickAt(POINT screen) {
    Send({MouseInput(screen, 0)});
    Send({MouseInput(screen, MOUSEEVENTF_LEFTDOWN), MouseInput(screen, MOUSEEVENTF_LEFTUP)});
}

void DoubleClickAt(POINT screen) {
    Send({MouseInput(screen, 0)});
    Send({MouseInput(screen, MOUSEEVENTF_LEFTDOWN), MouseInput(screen, MOUSEEVENTF_LEFTUP),
          MouseInput(screen, MOUSEEVENTF_LEFTDOWN), MouseInput(screen, MOUSEEVENTF_LEFTUP)});
}

void ClickCentre(HWND window) {
    RECT box{};
    ::GetWindowRect(window, &box);
    ClickAt({(box.left + box.right) / 2, (box.top + box.bottom) / 2});
}

void PressKey(WORD key, bool shift) {
    std::vector<INPUT> inputs;
    auto keyInput = [](WORD vk, bool up) {
        INPUT input{};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = vk;
        input.ki.wScan = static_cast<WORD>(::MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
        input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
        return input;
    };
    if (shift) inputs.push_back(keyInput(VK_SHIFT, false));
    inputs.push_back(keyInput(key, false));
    inputs.push_back(keyInput(key, true));
    if (shift) inputs.push_back(keyInput(VK_SHIFT, true));
    Send(inputs);
}

int Capture::Count(unsigned rgb) const {
    int count = 0;
    for (unsigned pixel : pixels) count += pixel == rgb;
    return count;
}

void Capture::SaveBmp(const fs::path& path) const {
    fs::create_directories(path.parent_path());
    BITMAPINFOHEADER info{};
    info.biSize = sizeof(info);
    info.biWidth = width;
    info.biHeight = -height;
    info.biPlanes = 1;
    info.biBitCount = 32;
    info.biCompression = BI_RGB;
    const auto bytes = static_cast<DWORD>(pixels.size() * 4);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(info);
    file.bfSize = file.bfOffBits + bytes;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof(file));
    out.write(reinterpret_cast<const char*>(&info), sizeof(info));
    out.write(reinterpret_cast<const char*>(pixels.data()), bytes);
}

Capture CaptureScreen(const RECT& box) {
    Capture capture;
    capture.width = box.right - box.left;
    capture.height = box.bottom - box.top;
    if (capture.width <= 0 || capture.height <= 0) return capture;
    capture.pixels.resize(static_cast<size_t>(capture.width * capture.height));
    const HDC screen = ::GetDC(nullptr);
    const HDC memory = ::CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = capture.width;
    info.bmiHeader.biHeight = -capture.height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    const HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    const HGDIOBJ old = ::SelectObject(memory, bitmap);
    ::BitBlt(memory, 0, 0, capture.width, capture.height, screen, box.left, box.top, SRCCOPY);
    ::GdiFlush();
    const auto* source = static_cast<const unsigned*>(bits);
    for (size_t i = 0; i < capture.pixels.size(); ++i) capture.pixels[i] = source[i] & 0xFFFFFFu;
    ::SelectObject(memory, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
    return capture;
}

Capture CaptureWindow(HWND window) {
    RECT box{};
    ::GetWindowRect(window, &box);
    return CaptureScreen(box);
}

Capture CaptureClient(HWND window) {
    RECT box{};
    ::GetClientRect(window, &box);
    ::MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&box), 2);
    return CaptureScreen(box);
}

namespace {

struct FindRequest {
    DWORD processId;
    const wchar_t* windowClass;  // nullptr: any
    bool visibleOnly;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM param) {
    auto* request = reinterpret_cast<FindRequest*>(param);
    DWORD processId = 0;
    ::GetWindowThreadProcessId(window, &processId);
    if (processId != request->processId) return TRUE;
    if (request->visibleOnly && !::IsWindowVisible(window)) return TRUE;
    if (request->windowClass) {
        wchar_t name[256] = {};
        ::GetClassNameW(window, name, 256);
        if (std::wstring_view(name) != request->windowClass) return TRUE;
    }
    request->found.push_back(window);
    return TRUE;
}

std::vector<HWND> TopWindows(DWORD processId, const wchar_t* windowClass, bool visibleOnly) {
    FindRequest request{processId, windowClass, visibleOnly, {}};
    ::EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&request));
    return request.found;
}

// This process's environment with the entries added, each replacing a
// variable of its name; sorted by name without regard to case, as the system
// keeps an environment block, and ended by an empty string.
std::wstring EnvironmentBlock(const std::vector<std::wstring>& added) {
    // The name ends at the first '=' after the first character: "=Q:=Q:\x"
    // names "=Q:".
    const auto nameOf = [](const std::wstring& entry) { return entry.substr(0, entry.find(L'=', 1)); };
    const auto sameName = [&](const std::wstring& a, const std::wstring& b) {
        return ::lstrcmpiW(nameOf(a).c_str(), nameOf(b).c_str()) == 0;
    };
    std::vector<std::wstring> entries;
    if (wchar_t* own = ::GetEnvironmentStringsW()) {
        for (const wchar_t* entry = own; *entry; entry += wcslen(entry) + 1) {
            const std::wstring text = entry;
            if (std::none_of(added.begin(), added.end(), [&](const auto& a) { return sameName(a, text); }))
                entries.push_back(text);
        }
        ::FreeEnvironmentStringsW(own);
    }
    entries.insert(entries.end(), added.begin(), added.end());
    std::sort(entries.begin(), entries.end(), [&](const std::wstring& a, const std::wstring& b) {
        return ::CompareStringOrdinal(nameOf(a).c_str(), -1, nameOf(b).c_str(), -1, TRUE) == CSTR_LESS_THAN;
    });
    std::wstring block;
    for (const auto& entry : entries) block += entry + L'\0';
    block += L'\0';
    return block;
}

}  // namespace

Installer::Installer(const fs::path& exe, const fs::path& workingFolder, const std::vector<std::wstring>& environment) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    std::wstring commandLine = L"\"" + exe.wstring() + L"\"";
    std::wstring block = EnvironmentBlock(environment);
    if (!::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                          block.data(), workingFolder.c_str(), &startup, &info_))
        throw std::runtime_error("Install.exe did not start");
    // Found as soon as the status line exists, then the program's thread is
    // held while the line is read, so the first poll cannot overtake the
    // reading (it comes 100 ms after the window is shown). The search spins,
    // yielding rather than sleeping, so that a busy machine does not make it
    // miss that short time.
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (!form_ && std::chrono::steady_clock::now() < end) {
        const auto forms = TopWindows(info_.dwProcessId, kForm1Class, false);
        if (!forms.empty() && ::GetDlgItem(forms.front(), kLabel2Id)) {
            ::SuspendThread(info_.hThread);
            form_ = forms.front();
            firstStatus_ = StoredText(::GetDlgItem(form_, kLabel2Id));
            firstCommandEnabled_ = ::IsWindowEnabled(::GetDlgItem(form_, kCommand1Id)) != FALSE;
            ::ResumeThread(info_.hThread);
        }
        std::this_thread::yield();
    }
    if (!form_) {
        ::TerminateProcess(info_.hProcess, 99);
        ::WaitForSingleObject(info_.hProcess, 5000);
        ::CloseHandle(info_.hThread);
        ::CloseHandle(info_.hProcess);
        throw std::runtime_error("Form1 did not appear");
    }
    WaitUntil([&] { return ::IsWindowVisible(form_) != FALSE; });
    ::WaitForInputIdle(info_.hProcess, 10000);
}

Installer::~Installer() {
    if (::WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
        ::TerminateProcess(info_.hProcess, 99);
        ::WaitForSingleObject(info_.hProcess, 5000);
    }
    ::CloseHandle(info_.hThread);
    ::CloseHandle(info_.hProcess);
}

bool Installer::Activate() const {
    return WaitUntil([&] {
        if (::GetForegroundWindow() == form_) return true;
        ::SetForegroundWindow(form_);
        return false;
    });
}

HWND Installer::WaitForDialog(std::chrono::milliseconds limit) const {
    HWND dialog = nullptr;
    WaitUntil(
        [&] {
            const auto dialogs = TopWindows(info_.dwProcessId, L"#32770", true);
            if (!dialogs.empty()) dialog = dialogs.front();
            return dialog != nullptr;
        },
        limit);
    return dialog;
}

std::optional<DWORD> Installer::WaitForExit(std::chrono::milliseconds limit) const {
    if (::WaitForSingleObject(info_.hProcess, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) return std::nullopt;
    DWORD status = 0;
    ::GetExitCodeProcess(info_.hProcess, &status);
    return status;
}

std::vector<HWND> Installer::VisibleTopWindows() const { return TopWindows(info_.dwProcessId, nullptr, true); }

std::optional<DWORD> Installer::ConfirmAndWaitForExit(HWND box, HWND ok) const {
    std::optional<DWORD> exit;
    for (int attempt = 0; attempt < 4 && !exit && ok; ++attempt) {
        ::SetForegroundWindow(box);
        if (attempt < 2) {
            ClickCentre(ok);
        } else {
            ::SetFocus(ok);
            PressKey(VK_RETURN);
        }
        exit = WaitForExit(std::chrono::seconds(8));
    }
    return exit;
}

}  // namespace veltrin::window::test
