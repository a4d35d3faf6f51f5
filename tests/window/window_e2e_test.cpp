// Install.exe in a real window: each test starts the program from a prepared
// application folder, acts through real mouse and key input and checks what
// the window shows, the screen's pixels and what lands on disk.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "driver.h"
#include "install/install_error.h"
#include "install/tool_ending.h"
#include "win32/text.h"
#include "remote_call.h"
#include "window/control_ids.h"

namespace veltrin::window::test {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::wstring>;

constexpr unsigned kRed = 0xFF0000;
constexpr unsigned kGreen = 0x00FF00;
constexpr unsigned kBlack = 0x000000;

const fs::path kTestRoot = L"C:\\veltrin window e2e";

std::string ReadBytes(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

void Touch(const fs::path& path, const std::string& bytes = "x") {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

// What the folder list should show for a current folder: "c:\", then each
// folder's name down to the current one.
Strings Chain(const fs::path& folder) {
    std::wstring path = folder.wstring();
    Strings labels;
    std::wstring root = path.substr(0, 3);
    root[0] = static_cast<wchar_t>(towlower(root[0]));
    labels.push_back(root);
    std::wstringstream rest(path.substr(3));
    for (std::wstring part; std::getline(rest, part, L'\\');)
        if (!part.empty()) labels.push_back(part);
    return labels;
}

Strings Concat(Strings a, const Strings& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string Escaped(const fs::path& path) {
    std::string escaped;
    for (char c : path.string()) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return escaped;
}

Strings ChildTexts(HWND window) {
    Strings texts;
    for (HWND child = ::GetWindow(window, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT))
        texts.push_back(Text(child));
    return texts;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[64] = {};
    ::GetClassNameW(window, name, 64);
    return name;
}

HWND ChildWithText(HWND window, const std::wstring& text) {
    for (HWND child = ::GetWindow(window, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT))
        if (Text(child) == text) return child;
    return nullptr;
}

// A message box is ready for the user once its OK button shows and its
// thread has painted it.
HWND WaitForBox(const Installer& installer) {
    const HWND box = installer.WaitForDialog();
    if (!box) return nullptr;
    WaitUntil([&] {
        const HWND ok = ChildWithText(box, L"OK");
        return ok && ::IsWindowVisible(ok);
    });
    ::WaitForInputIdle(installer.Process(), 5000);
    ::Sleep(200);
    return box;
}

fs::path Screenshots() { return FromUnix(VELTRIN_SCREENSHOT_DIR); }

class WindowTest : public ::testing::Test {
protected:
    fs::path root;  // this test's own folder
    fs::path app;   // the application folder: Install.exe, Install.plug, payload folders
    fs::path game;  // a game folder with gta_sa.exe

    void SetUp() override {
        root = kTestRoot / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::error_code ignored;
        fs::remove_all(root, ignored);
        MakeApp(root / "app");
        game = root / "GTA San Andreas";
        Touch(game / "gta_sa.exe", "MZ");
        fs::create_directories(game / "models");
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    // An application folder of its own: Install.exe, the stand-in tool and
    // both payload folders, empty.
    void MakeApp(const fs::path& folder) {
        app = folder;
        fs::create_directories(app / "gta3.img");
        fs::create_directories(app / "player.img");
        fs::copy_file(FromUnix(VELTRIN_INSTALL_EXE), app / "Install.exe");
        fs::copy_file(FromUnix(VELTRIN_RECORDER_EXE), app / "Install.plug");
    }

    static HWND Label2(const Installer& installer) { return installer.Control(kLabel2Id); }
    static HWND Command1(const Installer& installer) { return installer.Control(kCommand1Id); }
    static HWND Dir1(const Installer& installer) { return installer.Control(kDir1Id); }

    // Waits until the status line shows the answer in its colour on screen
    // and the button follows it.
    static ::testing::AssertionResult ShowsAnswer(const Installer& installer, bool found) {
        const std::wstring text = found ? L"GTA San Andreas Found !" : L"GTA San Andreas Not Found !";
        const unsigned colour = found ? kGreen : kRed;
        const unsigned other = found ? kRed : kGreen;
        const bool settled = WaitUntil([&] {
            if (Text(Label2(installer)) != text) return false;
            if ((::IsWindowEnabled(Command1(installer)) != FALSE) != found) return false;
            const Capture label = CaptureWindow(Label2(installer));
            return label.Count(colour) > 20 && label.Count(other) == 0;
        });
        if (settled) return ::testing::AssertionSuccess();
        const Capture label = CaptureWindow(Label2(installer));
        std::wstringstream why;
        why << L"status \"" << Text(Label2(installer)) << L"\", Install "
            << (::IsWindowEnabled(Command1(installer)) ? L"enabled" : L"disabled") << L", " << label.Count(colour)
            << L" pixels in the expected colour, " << label.Count(other) << L" in the other";
        return ::testing::AssertionFailure() << fs::path(why.str()).string();
    }

    static void ClickItem(HWND list, int index, bool twice) {
        RECT item = ListItemRect(list, index);
        POINT point{item.left + 40, (item.top + item.bottom) / 2};
        ::ClientToScreen(list, &point);
        if (twice)
            DoubleClickAt(point);
        else
            ClickAt(point);
    }

    static int IndexOf(const Strings& items, const std::wstring& label) {
        for (size_t i = 0; i < items.size(); ++i)
            if (items[i] == label) return static_cast<int>(i);
        return -1;
    }
};

TEST_F(WindowTest, Form1HasItsDesignedLayoutAt96Dpi) {
    Installer installer(app / "Install.exe", root);
    const HWND form = installer.Form();
    EXPECT_EQ(Text(form), L"VELTRIN MOD V1 Install");

    RECT client{};
    ::GetClientRect(form, &client);
    EXPECT_EQ(client.right, 528);
    EXPECT_EQ(client.bottom, 273);

    struct Expected {
        int id;
        RECT box;  // left, top, right, bottom in client pixels
    };
    const Expected table[] = {
        {kLabel1Id, {8, 8, 353, 25}},       {kDrive1Id, {8, 32, 353, 53}},       {kDir1Id, {8, 64, 353, 205}},
        {kLabel2Id, {8, 216, 353, 233}},    {kCommand1Id, {232, 240, 353, 265}}, {kFile1Id, {648, 32, 833, 207}},
        {kPicture1Id, {376, 16, 513, 153}}, {kLabel3Id, {376, 160, 529, 193}},   {kLabel4Id, {376, 200, 513, 265}},
    };
    for (const auto& [id, box] : table) {
        const RECT actual = BoxInParent(installer.Control(id));
        EXPECT_TRUE(::EqualRect(&actual, &box))
            << "control " << id << " at " << actual.left << "," << actual.top << "-" << actual.right << ","
            << actual.bottom << ", designed " << box.left << "," << box.top << "-" << box.right << "," << box.bottom;
    }
    // File1 lies wholly outside the client area, so it is never seen.
    const RECT file1 = BoxInParent(installer.Control(kFile1Id));
    RECT overlap{};
    EXPECT_FALSE(::IntersectRect(&overlap, &file1, &client));

    // A fixed dialog frame without minimise or maximise box, centred on the screen.
    const auto style = static_cast<DWORD>(::GetWindowLongPtrW(form, GWL_STYLE));
    const auto exStyle = static_cast<DWORD>(::GetWindowLongPtrW(form, GWL_EXSTYLE));
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_FALSE(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME));
    EXPECT_TRUE(exStyle & WS_EX_DLGMODALFRAME);
    RECT frame{};
    ::GetWindowRect(form, &frame);
    EXPECT_NEAR((frame.left + frame.right) / 2, ::GetSystemMetrics(SM_CXSCREEN) / 2, 1);
    EXPECT_NEAR((frame.top + frame.bottom) / 2, ::GetSystemMetrics(SM_CYSCREEN) / 2, 1);
    // Line2 from (360, 8) to (361, 265), both ends drawn, nothing beside it.
    const Capture pixels = CaptureClient(form);
    EXPECT_EQ(pixels.At(360, 8), kBlack);
    EXPECT_EQ(pixels.At(361, 265), kBlack);
    EXPECT_EQ(pixels.At(360, 100), kBlack);
    EXPECT_EQ(pixels.At(361, 200), kBlack);
    EXPECT_NE(pixels.At(360, 7), kBlack);
    EXPECT_NE(pixels.At(361, 266), kBlack);
    EXPECT_NE(pixels.At(358, 100), kBlack);
    EXPECT_NE(pixels.At(363, 200), kBlack);

    // Picture1: the logo unscaled at the top-left inside the 2-pixel sunken
    // border; the box is 2 pixels taller than the logo.
    const HMODULE image = ::LoadLibraryExW((app / "Install.exe").c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(image, nullptr);
    const auto logo =
        static_cast<HBITMAP>(::LoadImageW(image, MAKEINTRESOURCEW(3), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    ASSERT_NE(logo, nullptr);
    DIBSECTION section{};
    ASSERT_TRUE(::GetObjectW(logo, sizeof(section), &section));
    EXPECT_EQ(section.dsBm.bmWidth, 133);
    EXPECT_EQ(section.dsBm.bmHeight, 131);
    EXPECT_EQ(section.dsBm.bmBitsPixel, 24);
    const auto* bits = static_cast<const unsigned char*>(section.dsBm.bmBits);
    auto logoPixel = [&](int x, int y) {  // bottom-up rows of BGR triples
        const unsigned char* p = bits + (130 - y) * section.dsBm.bmWidthBytes + x * 3;
        return static_cast<unsigned>(p[2] << 16 | p[1] << 8 | p[0]);
    };
    for (const auto& [x, y] : {std::pair{0, 0}, {66, 60}, {132, 0}, {0, 130}, {132, 130}, {20, 100}})
        EXPECT_EQ(pixels.At(378 + x, 18 + y), logoPixel(x, y)) << "logo pixel " << x << "," << y;
    ::DeleteObject(logo);
    ::FreeLibrary(image);
}

// What the system sends when the window moves to a screen of another DPI:
// WM_DPICHANGED with the new DPI and a suggested window box. The box is put
// at the same address in both processes, so the message reads it whether or
// not the system copies it across.
void SendDpiChange(const Installer& installer, int dpi) {
    RECT suggested{};
    ::GetWindowRect(installer.Form(), &suggested);
    constexpr SIZE_T kPage = 4096;
    void* remote = nullptr;
    void* local = nullptr;
    for (ULONG_PTR address = 0x7E000000; !remote && address < 0x7F000000; address += 0x10000) {
        local = ::VirtualAlloc(reinterpret_cast<void*>(address), kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        if (!local) continue;
        remote = ::VirtualAllocEx(installer.Process(), local, kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        if (!remote) ::VirtualFree(local, 0, MEM_RELEASE);
    }
    ASSERT_NE(remote, nullptr);
    *static_cast<RECT*>(local) = suggested;
    ASSERT_TRUE(::WriteProcessMemory(installer.Process(), remote, &suggested, sizeof(suggested), nullptr));
    const auto dpiWord = static_cast<WPARAM>(dpi);
    ::SendMessageW(installer.Form(), WM_DPICHANGED, dpiWord | dpiWord << 16, reinterpret_cast<LPARAM>(remote));
    ::VirtualFreeEx(installer.Process(), remote, 0, MEM_RELEASE);
    ::VirtualFree(local, 0, MEM_RELEASE);
}

TEST_F(WindowTest, Form1RescalesWhenItsDpiChanges) {
    Installer installer(app / "Install.exe", root);
    const HWND form = installer.Form();
    const int rowHeight96 =
        static_cast<int>(ListItemRect(Dir1(installer), 0).bottom - ListItemRect(Dir1(installer), 0).top);
    struct Case {
        int dpi;
        SIZE client;
        RECT command1;
        int driveHeight;
    };
    const Case cases[] = {
        {144, {792, 410}, {348, 360, 530, 398}, 32},
        {120, {660, 341}, {290, 300, 441, 331}, 26},
        {96, {528, 273}, {232, 240, 353, 265}, 21},
    };
    for (const auto& [dpi, size, command1, driveHeight] : cases) {
        SCOPED_TRACE(dpi);
        SendDpiChange(installer, dpi);
        RECT client{};
        ::GetClientRect(form, &client);
        EXPECT_EQ(client.right, size.cx);
        EXPECT_EQ(client.bottom, size.cy);
        const RECT button = BoxInParent(Command1(installer));
        EXPECT_TRUE(::EqualRect(&button, &command1))
            << button.left << "," << button.top << "-" << button.right << "," << button.bottom;
        const RECT drive = BoxInParent(installer.Control(kDrive1Id));
        EXPECT_EQ(drive.bottom - drive.top, driveHeight);
        const RECT row = ListItemRect(Dir1(installer), 0);
        EXPECT_GE(row.bottom - row.top, rowHeight96 * dpi / 96 - 1);
        if (dpi == 144) CaptureWindow(form).SaveBmp(Screenshots() / "dpi144.bmp");
    }
    // Back at 96 DPI everything is where it started.
    const RECT row = ListItemRect(Dir1(installer), 0);
    EXPECT_EQ(row.bottom - row.top, rowHeight96);
}

TEST_F(WindowTest, StatusLineStartsWithItsDesignTextThenTurnsRedOutsideTheGame) {
    Installer installer(app / "Install.exe", root);
    EXPECT_EQ(installer.FirstStatus(), L"GTA Sna Andreas Not Found !");
    EXPECT_FALSE(installer.FirstCommandEnabled());
    EXPECT_TRUE(ShowsAnswer(installer, false));
    CaptureWindow(installer.Form()).SaveBmp(Screenshots() / "not_found.bmp");
}

TEST_F(WindowTest, StartingInTheGameFolderFindsTheGameAtTheFirstPoll) {
    Installer installer(app / "Install.exe", game);
    EXPECT_EQ(installer.FirstStatus(), L"GTA Sna Andreas Not Found !");
    Strings seen;
    WaitUntil([&] {
        const std::wstring text = Text(Label2(installer));
        if (seen.empty() || seen.back() != text) seen.push_back(text);
        return text != L"GTA Sna Andreas Not Found !";
    });
    EXPECT_EQ(seen.back(), L"GTA San Andreas Found !");
    EXPECT_TRUE(ShowsAnswer(installer, true));
    EXPECT_EQ(ListItems(Dir1(installer)), Concat(Chain(game), {L"models"}));
    CaptureWindow(installer.Form()).SaveBmp(Screenshots() / "found.bmp");
}

// Whatever entry is named gta_sa.exe makes the game found while it is there.
TEST_F(WindowTest, StatusFollowsGtaSaExeAppearingAndGoing) {
    const fs::path folder = root / "empty game";
    fs::create_directories(folder);
    Installer installer(app / "Install.exe", folder);
    ASSERT_TRUE(ShowsAnswer(installer, false));

    struct Case {
        const char* what;
        std::function<void()> create;
    };
    const Case cases[] = {
        {"a plain file", [&] { Touch(folder / "gta_sa.exe"); }},
        {"a folder", [&] { fs::create_directories(folder / "gta_sa.exe"); }},
        {"an upper-case name", [&] { Touch(folder / "GTA_SA.EXE"); }},
        {"a hidden, system, read-only file",
         [&] {
             Touch(folder / "gta_sa.exe");
             ::SetFileAttributesW((folder / "gta_sa.exe").c_str(),
                                  FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY);
         }},
    };
    for (const auto& [what, create] : cases) {
        SCOPED_TRACE(what);
        create();
        EXPECT_TRUE(ShowsAnswer(installer, true));
        for (const auto& entry : fs::directory_iterator(folder)) {
            ::SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
            fs::remove_all(entry.path());
        }
        EXPECT_TRUE(ShowsAnswer(installer, false));
    }
}

TEST_F(WindowTest, FolderListOpensFoldersByDoubleClickAndEnterOnly) {
    const fs::path games = root / "Games";
    const fs::path gameFolder = games / "GTA San Andreas";
    Touch(gameFolder / "gta_sa.exe");
    fs::create_directories(gameFolder / "models");
    fs::create_directories(games / "Other");
    Installer installer(app / "Install.exe", games);
    ASSERT_TRUE(installer.Activate());
    const HWND dir1 = Dir1(installer);
    const Strings start = Concat(Chain(games), {L"GTA San Andreas", L"Other"});
    ASSERT_EQ(ListItems(dir1), start);
    EXPECT_EQ(ListSelection(dir1), static_cast<int>(Chain(games).size()) - 1);
    ASSERT_TRUE(ShowsAnswer(installer, false));

    // A single click only highlights.
    ClickItem(dir1, IndexOf(start, L"GTA San Andreas"), false);
    EXPECT_TRUE(WaitUntil([&] { return ListSelection(dir1) == IndexOf(start, L"GTA San Andreas"); }));
    ::Sleep(300);
    EXPECT_EQ(ListItems(dir1), start);
    EXPECT_TRUE(ShowsAnswer(installer, false));

    // A double-click opens the game folder; the next poll finds the game.
    ClickItem(dir1, IndexOf(start, L"GTA San Andreas"), true);
    const Strings inGame = Concat(Chain(gameFolder), {L"models"});
    EXPECT_TRUE(WaitUntil([&] { return ListItems(dir1) == inGame; }));
    EXPECT_TRUE(ShowsAnswer(installer, true));

    // A subfolder of the game folder is not the game folder.
    ClickItem(dir1, IndexOf(inGame, L"models"), true);
    EXPECT_TRUE(WaitUntil([&] { return ListItems(dir1) == Chain(gameFolder / "models"); }));
    EXPECT_TRUE(ShowsAnswer(installer, false));

    // Highlight an ancestor and press Enter: back in the game folder.
    ClickItem(dir1, IndexOf(Chain(gameFolder / "models"), L"GTA San Andreas"), false);
    PressKey(VK_RETURN);
    EXPECT_TRUE(WaitUntil([&] { return ListItems(dir1) == inGame; }));
    EXPECT_TRUE(ShowsAnswer(installer, true));

    // Double-clicking an ancestor goes up.
    ClickItem(dir1, IndexOf(inGame, L"Games"), true);
    EXPECT_TRUE(WaitUntil([&] { return ListItems(dir1) == start; }));
    EXPECT_TRUE(ShowsAnswer(installer, false));

    // A folder that went away after it was listed cannot be read: opening it
    // leaves the list as it was, without a message.
    fs::remove_all(games / "Other");
    ClickItem(dir1, IndexOf(start, L"Other"), true);
    ::Sleep(300);
    EXPECT_EQ(ListItems(dir1), start);
    EXPECT_EQ(installer.VisibleTopWindows(), std::vector<HWND>{installer.Form()});
    ClickItem(dir1, IndexOf(start, L"GTA San Andreas"), true);
    EXPECT_TRUE(WaitUntil([&] { return ListItems(dir1) == inGame; }));
}

// q: is mapped to an empty test folder, r: to something that is no folder
// (see tests/wine_drives.sh).
TEST_F(WindowTest, DriveListRepointsTheFolderListAndIgnoresUnreadableDrives) {
    const fs::path driveQ = L"Q:\\";
    ASSERT_TRUE(fs::is_directory(driveQ)) << "drive q: is not mapped";
    Touch(driveQ / "gta_sa.exe");
    fs::create_directories(driveQ / "Mods");

    Installer installer(app / "Install.exe", root);
    const HWND drive1 = installer.Control(kDrive1Id);
    const HWND dir1 = Dir1(installer);
    const Strings items = ComboItems(drive1);
    std::wstring listed;
    for (const auto& item : items) listed += L"[" + item + L"] ";
    ASSERT_NE(IndexOf(items, L"q:"), -1) << fs::path(listed).string();
    ASSERT_NE(IndexOf(items, L"r:"), -1) << fs::path(listed).string();
    EXPECT_EQ(ComboText(drive1).substr(0, 2), L"c:");
    ASSERT_TRUE(installer.Activate());
    ASSERT_EQ(FocusOf(installer.Form()), drive1);

    PressKey('Q');
    EXPECT_TRUE(WaitUntil([&] { return ListItems(dir1) == Strings{L"q:\\", L"Mods"}; }));
    EXPECT_EQ(ComboText(drive1), L"q:");
    // The probe path is "Q:\" + "\gta_sa.exe": two backslashes, still the root's file.
    EXPECT_TRUE(ShowsAnswer(installer, true));

    PressKey('R');
    EXPECT_TRUE(WaitUntil([&] { return ComboText(drive1) == L"r:"; }));
    ::Sleep(300);
    EXPECT_EQ(ListItems(dir1), (Strings{L"q:\\", L"Mods"}));
    EXPECT_EQ(installer.VisibleTopWindows(), std::vector<HWND>{installer.Form()});
    EXPECT_TRUE(ShowsAnswer(installer, true));

    PressKey('C');
    EXPECT_TRUE(WaitUntil([&] { return ListItems(dir1) == Concat(Chain(root), {L"app", L"GTA San Andreas"}); }));
    EXPECT_TRUE(ShowsAnswer(installer, false));
    PressKey('Q');
    EXPECT_TRUE(WaitUntil([&] { return ListItems(dir1) == Strings{L"q:\\", L"Mods"}; }));
}

// The system remembers a current folder per drive (in the variables "=Q:"
// and so on, which a program inherits). When that folder is gone, choosing
// the drive opens its root; a drive that cannot be read at all still leaves
// the list where it was, silently.
TEST_F(WindowTest, ADriveWhoseRememberedFolderIsGoneOpensAtItsRoot) {
    const fs::path driveQ = L"Q:\\";
    ASSERT_TRUE(fs::is_directory(driveQ)) << "drive q: is not mapped";
    fs::create_directories(driveQ / "Mods");
    ASSERT_FALSE(fs::exists(driveQ / "gone"));

    Installer installer(app / "Install.exe", root, {L"=Q:=Q:\\gone", L"=R:=R:\\gone"});
    const HWND drive1 = installer.Control(kDrive1Id);
    const HWND dir1 = Dir1(installer);
    const Strings start = Concat(Chain(root), {L"app", L"GTA San Andreas"});
    ASSERT_EQ(ListItems(dir1), start);
    ASSERT_TRUE(installer.Activate());
    ASSERT_EQ(FocusOf(installer.Form()), drive1);

    PressKey('R');
    EXPECT_TRUE(WaitUntil([&] { return ComboText(drive1) == L"r:"; }));
    ::Sleep(300);
    EXPECT_EQ(ListItems(dir1), start);
    EXPECT_EQ(installer.VisibleTopWindows(), std::vector<HWND>{installer.Form()});

    PressKey('Q');
    EXPECT_TRUE(WaitUntil([&] { return ComboText(drive1) == L"q:"; }));
    EXPECT_TRUE(WaitUntil([&] {
        return ListItems(dir1) == Strings{L"q:\\", L"Mods"};
    })) << "the list shows "
        << ListItems(dir1).size() << " rows, first " << fs::path(ListItems(dir1).front()).string();
    EXPECT_EQ(installer.VisibleTopWindows(), std::vector<HWND>{installer.Form()});
}

// A drive without its media fails the calls that touch it instead of making
// the system ask the player for a disk, at every moment of the run, and so
// also in the detection poll ten times a second: the program's error mode,
// read from inside it (remote_call.h), stays quiet after the player tried a
// drive that cannot be read.
TEST_F(WindowTest, DriveErrorsStayQuietAfterAnUnreadableDrive) {
    constexpr UINT kQuiet = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;
    Installer installer(app / "Install.exe", game);
    ASSERT_TRUE(ShowsAnswer(installer, true));
    EXPECT_EQ(remote::ErrorModeOf(installer.Process()), kQuiet);
    ASSERT_TRUE(installer.Activate());
    const HWND drive1 = installer.Control(kDrive1Id);
    ASSERT_EQ(FocusOf(installer.Form()), drive1);
    PressKey('R');
    EXPECT_TRUE(WaitUntil([&] { return ComboText(drive1) == L"r:"; }));
    ::Sleep(300);
    EXPECT_EQ(installer.VisibleTopWindows(), std::vector<HWND>{installer.Form()});
    EXPECT_TRUE(ShowsAnswer(installer, true));
    EXPECT_EQ(remote::ErrorModeOf(installer.Process()), kQuiet);
}

TEST_F(WindowTest, TabMovesThroughDriveFolderInstallAndPicture) {
    for (const bool inGame : {false, true}) {
        SCOPED_TRACE(inGame ? "game found" : "game not found");
        Installer installer(app / "Install.exe", inGame ? game : root);
        ASSERT_TRUE(ShowsAnswer(installer, inGame));
        ASSERT_TRUE(installer.Activate());
        const HWND drive1 = installer.Control(kDrive1Id);
        EXPECT_EQ(FocusOf(installer.Form()), drive1);
        std::vector<HWND> order{installer.Control(kDir1Id)};
        if (inGame) order.push_back(Command1(installer));
        order.push_back(installer.Control(kPicture1Id));
        order.push_back(drive1);
        for (HWND next : order) {
            PressKey(VK_TAB);
            EXPECT_TRUE(WaitUntil([&] { return FocusOf(installer.Form()) == next; }, 3s))
                << "focus on control " << ::GetDlgCtrlID(FocusOf(installer.Form())) << ", expected "
                << ::GetDlgCtrlID(next);
        }
        PressKey(VK_TAB, true);
        EXPECT_TRUE(WaitUntil([&] { return FocusOf(installer.Form()) == installer.Control(kPicture1Id); }, 3s));

        // No button is the default button: Enter elsewhere installs nothing.
        PressKey(VK_TAB);
        ASSERT_TRUE(WaitUntil([&] { return FocusOf(installer.Form()) == drive1; }, 3s));
        PressKey(VK_RETURN);
        ::Sleep(300);
        EXPECT_EQ(installer.VisibleTopWindows(), std::vector<HWND>{installer.Form()});
        EXPECT_FALSE(fs::exists(app / "Install.dat"));
    }
}

TEST_F(WindowTest, InstallWritesTheScriptStartsTheToolAndEndsAfterSuccess) {
    Touch(app / "gta3.img" / "b.txd");
    Touch(app / "gta3.img" / "A.dff");
    Touch(app / "gta3.img" / "notes.txt");
    Touch(app / "gta3.img" / "hidden.dff");
    ::SetFileAttributesW((app / "gta3.img" / "hidden.dff").c_str(), FILE_ATTRIBUTE_HIDDEN);
    fs::create_directories(app / "gta3.img" / "folder.dff");
    Touch(app / "player.img" / "vest.dff");
    Touch(app / "Install.dat", std::string(5000, 'z'));  // an older, longer script is replaced

    Installer installer(app / "Install.exe", game);
    ASSERT_TRUE(ShowsAnswer(installer, true));
    ASSERT_TRUE(installer.Activate());
    ClickCentre(Command1(installer));

    const HWND box = WaitForBox(installer);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(Text(box), L"VeltrinInstall");
    const Strings texts = ChildTexts(box);
    EXPECT_NE(std::find(texts.begin(), texts.end(), L"Install Success !"), texts.end());
    CaptureWindow(box).SaveBmp(Screenshots() / "install_success.bmp");
    // File1 holds the last payload folder's snapshot.
    EXPECT_EQ(ListItems(installer.Control(kFile1Id)), Strings{L"vest.dff"});

    const fs::path record = app / "launch_record.txt";
    ASSERT_TRUE(WaitUntil([&] { return ReadBytes(record).find("show=") != std::string::npos; }, 30s));
    const std::string a = app.string();
    const std::string expectedRecord = "commandline=\"" + a + "\\Install.plug\" -script \"" + a +
                                       "\\Install.dat\"\nargc=3\narg1=-script\narg2=" + a +
                                       "\\Install.dat\ncwd=" + game.string() + "\nshow=3\n";
    EXPECT_EQ(ReadBytes(record), expectedRecord);

    const std::string g = Escaped(game);
    const std::string e = Escaped(app);
    const std::string expectedScript = "-open \"" + g +
                                       "\\\\models\\\\gta3.img\"\r\n"
                                       "-export \"A.dff\" \"" +
                                       e +
                                       "\\\\Backups\\\\gta3.img\\\\A.dff\"\r\n"
                                       "-export \"b.txd\" \"" +
                                       e +
                                       "\\\\Backups\\\\gta3.img\\\\b.txd\"\r\n"
                                       "-import \"" +
                                       e +
                                       "\\\\gta3.img\\\\A.dff\"\r\n"
                                       "-import \"" +
                                       e +
                                       "\\\\gta3.img\\\\b.txd\"\r\n"
                                       "-close\r\n"
                                       "-open \"" +
                                       g +
                                       "\\\\models\\\\player.img\"\r\n"
                                       "-export \"vest.dff\" \"" +
                                       e +
                                       "\\\\Backups\\\\player.img\\\\vest.dff\"\r\n"
                                       "-import \"" +
                                       e + "\\\\player.img\\\\vest.dff\"\r\n";
    EXPECT_EQ(ReadBytes(app / "Install.dat"), expectedScript);

    EXPECT_EQ(installer.ConfirmAndWaitForExit(box, ChildWithText(box, L"OK")), std::optional<DWORD>(0));
}

// The box waits for the tool: a stand-in that works for a second and a half
// and ends with 0, 6 (an archive in use) or 9 (a name an archive cannot hold).
// While it works the window answers and shows no box; "Install Success !"
// only for 0, otherwise the failure report with the tool's ending and the log
// on a line of its own, and Install.exe ends with a status of its own.
TEST_F(WindowTest, TheBoxWaitsForTheToolAndSaysSuccessOnlyWhenItSucceeded) {
    struct Case {
        DWORD toolStatus;
        const wchar_t* ending;  // the failure report's words for it; none for success
        DWORD exitStatus;
    };
    const Case cases[] = {
        {6, L"status 6: an archive of the game is in use by another program", 10},
        {9, L"status 9: a file of the mod cannot be stored in an archive", 10},
        {0, nullptr, 0},
    };
    const fs::path record = app / "launch_record.txt";
    for (const auto& [toolStatus, ending, exitStatus] : cases) {
        SCOPED_TRACE(toolStatus);
        fs::remove(record);
        Touch(app / "recorder_delay_ms.txt", "1500");
        Touch(app / "recorder_status.txt", std::to_string(toolStatus));
        Installer installer(app / "Install.exe", game);
        ASSERT_TRUE(ShowsAnswer(installer, true));
        ASSERT_TRUE(installer.Activate());
        ClickCentre(Command1(installer));

        ASSERT_TRUE(WaitUntil([&] { return ReadBytes(record).find("show=") != std::string::npos; }, 30s));
        int answered = 0;
        int boxesSeen = 0;
        while (ReadBytes(record).find("finished") == std::string::npos) {
            boxesSeen += installer.VisibleTopWindows() != std::vector<HWND>{installer.Form()};
            DWORD_PTR ignored = 0;
            answered += ::SendMessageTimeoutW(installer.Form(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &ignored) != 0;
            ::Sleep(100);
        }
        EXPECT_EQ(boxesSeen, 0) << "a box showed while the tool worked";
        EXPECT_GT(answered, 3) << "the window did not answer while the tool worked";

        const HWND box = WaitForBox(installer);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(Text(box), L"VeltrinInstall");
        const Strings texts = ChildTexts(box);
        const bool success = std::find(texts.begin(), texts.end(), L"Install Success !") != texts.end();
        EXPECT_EQ(success, ending == nullptr);
        if (ending) {
            std::wstring shown;  // the box's text: its longest child's
            for (const auto& text : texts)
                if (text.size() > shown.size()) shown = text;
            const std::wstring log = L"\n" + (app / "Install.log").wstring();
            EXPECT_EQ(shown.find(L"The install did not finish."), 0u) << fs::path(shown).string();
            EXPECT_TRUE(shown.ends_with(log)) << fs::path(shown).string();
            EXPECT_NE(shown.find(ending), std::wstring::npos) << fs::path(shown).string();
            CaptureWindow(box).SaveBmp(Screenshots() / ("tool_failed_" + std::to_string(toolStatus) + ".bmp"));
        }
        EXPECT_EQ(installer.ConfirmAndWaitForExit(box, ChildWithText(box, L"OK")), std::optional<DWORD>(exitStatus));
    }
}

// Every failure box: the tool's endings with words, one without, a crash,
// a payload folder missing and no tool to start. Each box holds the report
// the installer makes for it, and shows all of it: its text field's own
// line breaks put the last line inside the field, which lies inside the box.
TEST_F(WindowTest, EveryFailureBoxShowsItsWholeReport) {
    struct Case {
        std::string name;
        std::function<void()> arrange;
        install::InstallError error;
        bool systemWords = false;  // the reason is the system's words, not checked here
    };
    // Each case in an application folder of its own, named as the case.
    const auto in = [this](const std::string& name, const std::string& file) {
        return fs::path(root / name / file).string();
    };
    std::vector<Case> cases;
    for (const DWORD status : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 15u, 16u, 42u, 0xC0000005u}) {
        const std::string name = "status " + std::to_string(status);
        cases.push_back({name, [this, status] { Touch(app / "recorder_status.txt", std::to_string(status)); },
                         install::InstallError(install::Failure::ToolFailed, in(name, "Install.log"),
                                               install::ToolEndingText(status))});
    }
    cases.push_back({"no payload folder", [this] { fs::remove_all(app / "gta3.img"); },
                     install::InstallError(install::Failure::Gta3PayloadFolder, in("no payload folder", "gta3.img"), ""),
                     true});
    cases.push_back({"no tool", [this] { fs::remove(app / "Install.plug"); },
                     install::InstallError(install::Failure::ToolLaunch, in("no tool", "Install.plug"), ""), true});
    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        MakeApp(root / item.name);
        item.arrange();
        Installer installer(app / "Install.exe", game);
        ASSERT_TRUE(ShowsAnswer(installer, true));
        ASSERT_TRUE(installer.Activate());
        ClickCentre(Command1(installer));
        const HWND box = WaitForBox(installer);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(Text(box), L"VeltrinInstall");
        HWND field = nullptr;
        for (HWND child = ::GetWindow(box, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT))
            if (ClassOf(child) == L"Edit") field = child;
        ASSERT_NE(field, nullptr) << "no text field";

        std::wstring expected;
        for (const wchar_t c : win32::Widen(install::FailureText(item.error)))
            expected += c == L'\n' ? std::wstring(L"\r\n") : std::wstring(1, c);
        const std::wstring shown = Text(field);
        if (item.systemWords) {
            // The report around the system's words: its head and its last paragraph.
            const size_t cut = expected.rfind(L"\r\n\r\n");
            EXPECT_TRUE(shown.starts_with(expected.substr(0, cut + 4))) << fs::path(shown).string();
            EXPECT_TRUE(shown.ends_with(expected.substr(cut))) << fs::path(shown).string();
            EXPECT_GT(shown.size(), expected.size() + 4) << "no reason given";
        } else {
            EXPECT_EQ(fs::path(shown).string(), fs::path(expected).string());
        }

        const auto lines = static_cast<int>(::SendMessageW(field, EM_GETLINECOUNT, 0, 0));
        ASSERT_GE(lines, 2);
        const auto lineTop = [&](int line) {
            const auto at = ::SendMessageW(field, EM_LINEINDEX, static_cast<WPARAM>(line), 0);
            return static_cast<int>(
                static_cast<short>(HIWORD(::SendMessageW(field, EM_POSFROMCHAR, static_cast<WPARAM>(at), 0))));
        };
        const int lineHeight = lineTop(1) - lineTop(0);
        RECT client{};
        ::GetClientRect(field, &client);
        EXPECT_EQ(::SendMessageW(field, EM_GETFIRSTVISIBLELINE, 0, 0), 0);
        EXPECT_GT(lineHeight, 0);
        EXPECT_LE(lineTop(lines - 1) + lineHeight, client.bottom) << lines << " lines";
        RECT boxClient{};
        ::GetClientRect(box, &boxClient);
        const RECT placed = BoxInParent(field);
        EXPECT_TRUE(placed.left >= 0 && placed.top >= 0 && placed.right <= boxClient.right &&
                    placed.bottom <= boxClient.bottom);
        EXPECT_LE(placed.bottom, BoxInParent(ChildWithText(box, L"OK")).top);

        std::string shot = item.name;
        std::replace(shot.begin(), shot.end(), ' ', '_');
        CaptureWindow(box).SaveBmp(Screenshots() / ("failure_box_" + shot + ".bmp"));
        EXPECT_TRUE(installer.ConfirmAndWaitForExit(box, ChildWithText(box, L"OK")).has_value());
    }
}

TEST_F(WindowTest, MissingPayloadFolderEndsWithTheFailureReportAndNoTool) {
    fs::remove_all(app / "gta3.img");
    Installer installer(app / "Install.exe", game);
    ASSERT_TRUE(ShowsAnswer(installer, true));
    ASSERT_TRUE(installer.Activate());
    ClickCentre(Command1(installer));

    const HWND box = WaitForBox(installer);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(Text(box), L"VeltrinInstall");
    const Strings texts = ChildTexts(box);
    const bool namesFolder = std::any_of(texts.begin(), texts.end(), [](const std::wstring& text) {
        return text.find(L"gta3.img") != std::wstring::npos;
    });
    EXPECT_TRUE(namesFolder);
    CaptureWindow(box).SaveBmp(Screenshots() / "install_failure.bmp");
    PressKey(VK_RETURN);
    EXPECT_EQ(installer.WaitForExit(), std::optional<DWORD>(2));
    EXPECT_FALSE(fs::exists(app / "Install.dat"));
    ::Sleep(200);
    EXPECT_FALSE(fs::exists(app / "launch_record.txt"));
}

// The frame's close button sends WM_SYSCOMMAND SC_CLOSE; with no window
// manager under Xvfb there is no frame to click, so the test sends that.
TEST_F(WindowTest, ClosingTheWindowEndsTheProgramAndWritesNothing) {
    Installer installer(app / "Install.exe", game);
    ASSERT_TRUE(ShowsAnswer(installer, true));
    ::PostMessageW(installer.Form(), WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(installer.WaitForExit(), std::optional<DWORD>(0));
    EXPECT_FALSE(fs::exists(app / "Install.dat"));
    EXPECT_FALSE(fs::exists(app / "launch_record.txt"));
}

}  // namespace
}  // namespace veltrin::window::test
