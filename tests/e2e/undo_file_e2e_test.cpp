// The release's Undo.cmd run as a double-click runs it (cmd /c in a console
// window of its own, under Wine) over the game's record of installs: two
// mods over the same entries undone out of order, a fresh copy of a mod whose
// first folder was deleted, and a game moved after the install. The installs
// are the real Install.plug's runs of the scripts Install.exe writes; the
// archives are read straight from their bytes (img_file.h).
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "driver.h"
#include "img_file.h"
#include "tool_process.h"

namespace veltrin::e2e::test {
namespace {

namespace fs = std::filesystem;

const fs::path kTestRoot = L"C:\\veltrin undo e2e";

std::string Pattern(const std::string& seed, size_t size) {
    std::string bytes(size, '\0');
    uint32_t state = 2166136261u;
    for (const char c : seed) state = (state ^ static_cast<unsigned char>(c)) * 16777619u;
    for (auto& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

struct ModFile {
    std::string archive;  // gta3.img or player.img
    std::string name;
    std::string bytes;
};
using Mod = std::vector<ModFile>;

std::vector<ImgEntry> OriginalGta3() {
    return {{"lamppost.dff", Padded(Pattern("lamppost", 2500))},
            {"infernus.dff", Padded(Pattern("old infernus.dff", 3000))},
            {"bridge.txd", Padded(Pattern("bridge", 9000))},
            {"INFERNUS.TXD", Padded(Pattern("old infernus.txd", 7000))}};
}
std::vector<ImgEntry> OriginalPlayer() {
    return {{"vest.dff", Padded(Pattern("old vest", 900))}, {"torso.dff", Padded(Pattern("torso", 5000))}};
}
// Both mods replace infernus.dff and vest.dff and put in the same
// veltrin_cap.txd; each also changes entries of its own.
const std::string kCap = Pattern("veltrin cap", 1500);
Mod ModA() {
    return {{"gta3.img", "infernus.dff", Pattern("A infernus.dff", 6100)},
            {"gta3.img", "infernus.txd", Pattern("A infernus.txd", 1200)},
            {"gta3.img", "veltrin_cap.txd", kCap},
            {"player.img", "vest.dff", Pattern("A vest.dff", 725)}};
}
Mod ModB() {
    return {{"gta3.img", "infernus.dff", Pattern("B infernus.dff", 2100)},
            {"gta3.img", "bridge.txd", Pattern("B bridge.txd", 9500)},
            {"gta3.img", "veltrin_cap.txd", kCap},
            {"player.img", "vest.dff", Pattern("B vest.dff", 1725)},
            {"player.img", "vest.txd", Pattern("B vest.txd", 832)}};
}

std::string Escaped(const fs::path& path) {
    std::string text;
    for (const char c : path.string()) text += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return text;
}

class UndoFileE2eTest : public ::testing::Test {
protected:
    fs::path root;
    fs::path game;

    void SetUp() override {
        root = kTestRoot / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::error_code ignored;
        fs::remove_all(root, ignored);
        game = root / "games" / "GTA San Andreas";
        WriteFileBytes(game / "gta_sa.exe", "MZ");
        WriteImg(game / "models" / "gta3.img", OriginalGta3());
        WriteImg(game / "models" / "player.img", OriginalPlayer());
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    // A mod's folder as its zip unpacks: the programs, the mod's files and
    // empty Backups folders.
    fs::path Unpack(const std::wstring& name, const Mod& mod) {
        const fs::path app = root / name;
        fs::create_directories(app / "Backups" / "gta3.img");
        fs::create_directories(app / "Backups" / "player.img");
        fs::copy_file(window::test::FromUnix(VELTRIN_INSTALL_PLUG), app / "Install.plug");
        fs::copy_file(window::test::FromUnix(VELTRIN_UNDO_CMD), app / "Undo.cmd");
        for (const auto& file : mod) WriteFileBytes(app / file.archive / file.name, file.bytes);
        return app;
    }

    // The install Install.exe starts: it writes the script for the game
    // picked, then runs the tool on it.
    void Install(const fs::path& app, const Mod& mod) {
        std::string script;
        for (const std::string archive : {"gta3.img", "player.img"}) {
            script += "-open \"" + Escaped(game / "models" / archive) + "\"\r\n";
            for (const auto& file : mod)
                if (file.archive == archive)
                    script +=
                        "-export \"" + file.name + "\" \"" + Escaped(app / "Backups" / archive / file.name) + "\"\r\n";
            for (const auto& file : mod)
                if (file.archive == archive) script += "-import \"" + Escaped(app / archive / file.name) + "\"\r\n";
            script += "-close\r\n";
        }
        WriteFileBytes(app / "Install.dat", script);
        const ToolRun run = RunTool(app / "Install.plug", {L"-script", (app / "Install.dat").wstring()}, root);
        ASSERT_EQ(run.status, 0u) << run.output;
    }

    // Undo.cmd double-clicked: cmd /c in a console window of its own, Enter
    // typed once it asks. How it ended and what its window showed.
    ToolEnd Undo(const fs::path& app) {
        const std::wstring line = L"cmd.exe /c \"\"" + (app / "Undo.cmd").wstring() + L"\"\"";
        HANDLE process = StartInOwnConsole(line, root);
        if (!process) {
            ADD_FAILURE() << "cmd.exe did not start";
            return {};
        }
        const auto end = FinishTool(::GetProcessId(process), 120s);
        if (!end) {
            ::TerminateProcess(process, 99);
            ADD_FAILURE() << "Undo.cmd did not end";
        }
        ::CloseHandle(process);
        if (!end) return {};
        EXPECT_TRUE(end->prompted) << "Undo.cmd never asked for Enter";
        return *end;
    }

    fs::path Archive(const std::string& name) const { return game / "models" / name; }
    std::map<std::string, std::string> Archives() const {
        return {{"gta3.img", ReadFileBytes(Archive("gta3.img"))}, {"player.img", ReadFileBytes(Archive("player.img"))}};
    }
    // The original entries with the mods' files over them, later mods last.
    static std::map<std::string, Digest> Expected(const std::string& archive, const std::vector<Mod>& mods) {
        auto expected = ByName(archive == "gta3.img" ? OriginalGta3() : OriginalPlayer());
        for (const Mod& mod : mods)
            for (const auto& file : mod)
                if (file.archive == archive) expected[Lower(file.name)] = DigestOf(Padded(file.bytes));
        return expected;
    }
    void ExpectHolds(const std::vector<Mod>& mods) {
        for (const std::string archive : {"gta3.img", "player.img"}) {
            SCOPED_TRACE(archive);
            EXPECT_EQ(ByName(ReadImg(Archive(archive))), Expected(archive, mods));
        }
    }
    // Every file below the folder with its bytes.
    static std::map<std::wstring, std::string> Tree(const fs::path& folder) {
        std::map<std::wstring, std::string> tree;
        for (const auto& item : fs::recursive_directory_iterator(folder))
            tree[item.path().wstring()] = item.is_directory() ? std::string("<folder>") : ReadFileBytes(item.path());
        return tree;
    }
    static std::string Screen(const ToolEnd& end) { return fs::path(end.screen).string(); }
    static bool Shows(const ToolEnd& end, const std::wstring& text) {
        return end.screen.find(text) != std::wstring::npos;
    }
};

// A then B over the same entries; A's Undo.cmd first: every entry B put in
// stays B's (veltrin_cap.txd too, which both put in), A's own entries are
// the game's again, and it advises no --force. Then B's: the archives are
// byte for byte as before the first install. status, through the real tool,
// lists both installs in order and changes no file.
TEST_F(UndoFileE2eTest, TwoModsUndoneOutOfOrder) {
    const auto before = Archives();
    const fs::path a = Unpack(L"Mod A", ModA());
    const fs::path b = Unpack(L"Mod B", ModB());
    Install(a, ModA());
    Install(b, ModB());
    ExpectHolds({ModA(), ModB()});

    const auto tree = Tree(game);
    const ToolRun status = RunTool(a / "Install.plug", {L"status", game.wstring()}, root);
    EXPECT_EQ(status.status, 0u) << status.output;
    EXPECT_EQ(status.output.find("2 installs in " + game.string() + ", oldest first"), 0u) << status.output;
    EXPECT_NE(status.output.find("install 1: from " + a.string()), std::string::npos) << status.output;
    EXPECT_NE(status.output.find("install 2: from " + b.string()), std::string::npos) << status.output;
    EXPECT_TRUE(Tree(game) == tree) << "status changed a file of the game";

    const ToolEnd undoA = Undo(a);
    EXPECT_EQ(undoA.status, 0u) << Screen(undoA);
    EXPECT_FALSE(Shows(undoA, L"--force")) << Screen(undoA);
    // What B put in, and the game's own infernus.txd, which only A replaced.
    EXPECT_EQ(ByName(ReadImg(Archive("gta3.img"))), Expected("gta3.img", {ModB()})) << Screen(undoA);
    EXPECT_EQ(ByName(ReadImg(Archive("player.img"))), Expected("player.img", {ModB()})) << Screen(undoA);

    const ToolEnd undoB = Undo(b);
    EXPECT_EQ(undoB.status, 0u) << Screen(undoB);
    EXPECT_TRUE(Archives() == before) << "not byte for byte as before the installs\n" << Screen(undoB);
}

// The folder the mod was installed from is deleted, and a fresh copy is
// unpacked elsewhere. Its Undo.cmd finds nothing installed from its folder
// and says what to do: run Install.exe from it on the same game, then
// Undo.cmd. That install backs up nothing of the mod as an original, and
// its Undo.cmd then gives the game's own entries back, byte for byte.
TEST_F(UndoFileE2eTest, AFreshCopyOfTheModUndoesTheInstallOfADeletedFolder) {
    const auto before = Archives();
    const fs::path first = Unpack(L"Mod A", ModA());
    Install(first, ModA());
    fs::remove_all(first);
    const fs::path fresh = Unpack(L"Downloads\\Mod A", ModA());

    const ToolEnd nothing = Undo(fresh);
    EXPECT_NE(nothing.status, 0u) << Screen(nothing);
    EXPECT_TRUE(Shows(nothing, L"Install.exe")) << "it should say to run Install.exe from this folder\n"
                                                << Screen(nothing);
    ExpectHolds({ModA()});

    Install(fresh, ModA());
    ExpectHolds({ModA()});
    for (const auto& item : fs::recursive_directory_iterator(fresh / "Backups")) {
        if (!item.is_regular_file()) continue;
        const std::string bytes = ReadFileBytes(item.path());
        for (const auto& file : ModA())
            EXPECT_FALSE(DigestOf(bytes) == DigestOf(Padded(file.bytes)))
                << item.path().string() << " holds the mod's " << file.name << " as an original";
    }
    const ToolEnd undo = Undo(fresh);
    EXPECT_EQ(undo.status, 0u) << Screen(undo);
    EXPECT_TRUE(Archives() == before) << "not byte for byte as before the install\n" << Screen(undo);
}

// The game is moved after the install. Undo.cmd finds no game where the
// install was made: it changes nothing, keeps every backup and says where to
// run Install.exe next. Installed again from the same folder on the game
// where it is now, its Undo.cmd gives the archives back byte for byte.
TEST_F(UndoFileE2eTest, AMovedGameIsUndoneAfterAnInstallWhereItIsNow) {
    const auto before = Archives();
    const fs::path app = Unpack(L"Mod A", ModA());
    Install(app, ModA());
    const fs::path moved = root / "moved" / "GTA San Andreas";
    fs::create_directories(moved.parent_path());
    fs::rename(game, moved);
    game = moved;
    const auto gameTree = Tree(game);
    const auto backups = Tree(app / "Backups");

    const ToolEnd lost = Undo(app);
    EXPECT_NE(lost.status, 0u) << Screen(lost);
    EXPECT_TRUE(Shows(lost, L"Install.exe")) << "it should say where to run Install.exe\n" << Screen(lost);
    EXPECT_TRUE(Tree(game) == gameTree) << "the undo of a moved game changed it";
    EXPECT_TRUE(Tree(app / "Backups") == backups) << "the undo of a moved game changed the backups";

    Install(app, ModA());
    ExpectHolds({ModA()});
    const ToolEnd undo = Undo(app);
    EXPECT_EQ(undo.status, 0u) << Screen(undo);
    EXPECT_TRUE(Archives() == before) << "not byte for byte as before the install\n" << Screen(undo);
}

}  // namespace
}  // namespace veltrin::e2e::test
