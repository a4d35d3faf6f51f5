// The demo's self-running walk through an install, for machines without a
// display: starts Install.exe in its application folder, opens the game
// folder in the folder list by double-clicks, presses Install, waits for the
// archive tool's window to ask for Enter and answers it, then confirms the
// installer's box that follows, saving a screenshot at each step.
//
// Usage: demo_walkthrough <app folder> <game folder> <screenshot folder>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "driver.h"
#include "tool_process.h"
#include "window/control_ids.h"

namespace fs = std::filesystem;
using namespace veltrin::window;
using namespace veltrin::window::test;

namespace {

int Fail(const char* what) {
    std::printf("demo walk-through failed: %s\n", what);
    return 1;
}

void Shot(HWND window, const fs::path& folder, const char* name) {
    const fs::path path = folder / name;
    CaptureWindow(window).SaveBmp(path);
    std::printf("  screenshot %s\n", path.string().c_str());
}

// Double-clicks the folder list's entry with that label and waits until the
// list shows that folder's subfolder.
bool Open(HWND dir1, const std::wstring& label, const std::wstring& expectChild) {
    const auto items = ListItems(dir1);
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i] != label) continue;
        const RECT item = ListItemRect(dir1, static_cast<int>(i));
        POINT point{item.left + 40, (item.top + item.bottom) / 2};
        ::ClientToScreen(dir1, &point);
        DoubleClickAt(point);
        return WaitUntil([&] {
            const auto now = ListItems(dir1);
            return std::find(now.begin(), now.end(), expectChild) != now.end();
        });
    }
    return false;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) return Fail("usage: demo_walkthrough <app folder> <game folder> <screenshot folder>");
    const fs::path app = argv[1];
    const fs::path game = argv[2];
    const fs::path shots = argv[3];

    std::printf("1. Install.exe starts in its own folder: the game is not there\n");
    Installer installer(app / "Install.exe", app);
    const HWND status = installer.Control(kLabel2Id);
    const HWND dir1 = installer.Control(kDir1Id);
    if (!WaitUntil([&] { return Text(status) == L"GTA San Andreas Not Found !"; })) return Fail("no first poll");
    ::Sleep(150);
    Shot(installer.Form(), shots, "1-not-found.bmp");

    std::printf("2. double-clicks in the folder list: up to the demo folder, then into the game folder\n");
    if (!installer.Activate()) return Fail("the window did not come to the front");
    const fs::path demo = app.parent_path();
    if (!Open(dir1, demo.filename().wstring(), game.parent_path().filename().wstring()))
        return Fail("could not open the demo folder");
    if (!Open(dir1, game.parent_path().filename().wstring(), game.filename().wstring()))
        return Fail("could not open the games folder");
    if (!Open(dir1, game.filename().wstring(), L"models")) return Fail("could not open the game folder");
    if (!WaitUntil([&] { return Text(status) == L"GTA San Andreas Found !"; })) return Fail("the game was not found");
    ::Sleep(150);
    Shot(installer.Form(), shots, "2-found.bmp");

    std::printf("3. Install: the script is written, the archive tool starts; the installer waits for it\n");
    ClickCentre(installer.Control(kCommand1Id));

    std::printf("4. the archive tool works in its own window and asks for Enter at the end\n");
    using veltrin::e2e::test::ConsoleText;
    std::vector<DWORD> tools;
    if (!WaitUntil([&] { return !(tools = veltrin::e2e::test::ToolProcesses()).empty(); }))
        return Fail("the archive tool did not start");
    const DWORD tool = tools.front();
    if (!WaitUntil([&] { return ConsoleText(tool).find(L"Press Enter to close this window.") != std::wstring::npos; },
                   std::chrono::minutes(3)))
        return Fail("the archive tool never asked for Enter");
    ::Sleep(300);
    const RECT screen{0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
    const fs::path toolShot = shots / "3-tool-console.bmp";
    CaptureScreen(screen).SaveBmp(toolShot);
    std::printf("  screenshot %s\n", toolShot.string().c_str());
    std::printf("5. Enter closes the tool's window\n");
    const auto end = veltrin::e2e::test::FinishTool(tool);
    if (!end) return Fail("the archive tool did not end");
    std::printf("   Install.plug ended with status %lu\n", end->status);

    std::printf("6. then the installer's box says how it ended\n");
    const HWND box = installer.WaitForDialog();
    if (!box) return Fail("no message box");
    HWND ok = nullptr;
    WaitUntil([&] {
        for (HWND child = ::GetWindow(box, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT))
            if (Text(child) == L"OK" && ::IsWindowVisible(child)) ok = child;
        return ok != nullptr;
    });
    ::Sleep(200);
    Shot(box, shots, "4-install-success.bmp");
    std::printf("7. OK ends the installer\n");
    const auto exitStatus = installer.ConfirmAndWaitForExit(box, ok);
    if (!exitStatus) return Fail("the installer did not end");
    std::printf("   Install.exe ended with status %lu\n", *exitStatus);
    return end->status == 0 && *exitStatus == 0 ? 0 : 1;
}
