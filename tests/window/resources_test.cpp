// What Install.exe carries besides its code: icons, logo, version block and
// manifest, read from the built program file.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

std::wstring ProgramPath() {
    std::wstring path = L"Z:" VELTRIN_INSTALL_EXE_W;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

class ProgramFile : public ::testing::Test {
protected:
    void SetUp() override {
        module_ =
            ::LoadLibraryExW(ProgramPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module_, nullptr);
    }
    void TearDown() override { ::FreeLibrary(module_); }

    std::string Resource(const wchar_t* type, int id) const {
        const HRSRC found = ::FindResourceW(module_, MAKEINTRESOURCEW(id), type);
        if (!found) return {};
        const HGLOBAL loaded = ::LoadResource(module_, found);
        const auto* data = static_cast<const char*>(::LockResource(loaded));
        return std::string(data, ::SizeofResource(module_, found));
    }

    // (size, bits per pixel) of every image in an icon group.
    std::set<std::pair<int, int>> IconImages(int id) const {
        const std::string group = Resource(MAKEINTRESOURCEW(14), id);  // RT_GROUP_ICON
        std::set<std::pair<int, int>> images;
        if (group.size() < 6) return images;
        const auto count = static_cast<unsigned char>(group[4]) | static_cast<unsigned char>(group[5]) << 8;
        for (int i = 0; i < count; ++i) {
            const size_t entry = 6 + static_cast<size_t>(i) * 14;  // GRPICONDIRENTRY
            if (entry + 14 > group.size()) break;
            const int width = static_cast<unsigned char>(group[entry]);
            const int bits = static_cast<unsigned char>(group[entry + 6]) | static_cast<unsigned char>(group[entry + 7])
                                                                                << 8;
            images.emplace(width == 0 ? 256 : width, bits);
        }
        return images;
    }

    HMODULE module_ = nullptr;
};

TEST_F(ProgramFile, CarriesTheApplicationAndWindowIcons) {
    EXPECT_EQ(IconImages(1), (std::set<std::pair<int, int>>{{16, 4}, {16, 8}, {32, 4}, {32, 8}}));
    EXPECT_EQ(IconImages(2), (std::set<std::pair<int, int>>{{16, 24}}));
}

TEST_F(ProgramFile, CarriesTheVersionBlock) {
    const std::wstring path = ProgramPath();
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), nullptr);
    ASSERT_GT(size, 0u);
    std::vector<char> block(size);
    ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
    const std::pair<const wchar_t*, const wchar_t*> fields[] = {
        {L"FileDescription", L"Veltrin MOD V1"},
        {L"ProductName", L"VeltrinMOD"},
        {L"FileVersion", L"1.00"},
        {L"ProductVersion", L"1.00"},
        {L"InternalName", L"Install"},
        {L"OriginalFilename", L"Install.exe"},
    };
    for (const auto& [name, expected] : fields) {
        const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        wchar_t* value = nullptr;
        UINT length = 0;
        ASSERT_TRUE(::VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length)) << name;
        EXPECT_EQ(std::wstring(value), expected) << name;
    }
    DWORD* translation = nullptr;
    UINT length = 0;
    ASSERT_TRUE(
        ::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length));
    EXPECT_EQ(*translation, 0x04B00409u);  // US English, Unicode
}

TEST_F(ProgramFile, CarriesTheLogoAndTheManifest) {
    const std::string logo = Resource(MAKEINTRESOURCEW(2), 3);  // RT_BITMAP
    ASSERT_GE(logo.size(), sizeof(BITMAPINFOHEADER));
    BITMAPINFOHEADER header{};
    std::copy_n(logo.data(), sizeof(header), reinterpret_cast<char*>(&header));
    EXPECT_EQ(header.biWidth, 133);
    EXPECT_EQ(header.biHeight, 131);
    EXPECT_EQ(header.biBitCount, 24);

    const std::string manifest = Resource(MAKEINTRESOURCEW(24), 1);  // RT_MANIFEST
    for (const char* needle :
         {"name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"", "level=\"asInvoker\"", "PerMonitorV2",
          "true/pm", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {
        EXPECT_NE(manifest.find(needle), std::string::npos) << needle;
    }
}

// The program links everything but the system's own DLLs statically, so no
// DLL of the same name dropped beside it is asked for at start-up; the ones
// it loads later come from the system folder only (set at start-up).
TEST_F(ProgramFile, ImportsOnlySystemDlls) {
    const auto base = reinterpret_cast<const unsigned char*>(reinterpret_cast<ULONG_PTR>(module_) & ~ULONG_PTR{3});
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    ASSERT_EQ(dos->e_magic, IMAGE_DOS_SIGNATURE);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    const auto& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    ASSERT_NE(directory.VirtualAddress, 0u);
    // Mapped as an image resource, sections sit at their virtual addresses.
    const auto* import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
    std::set<std::string> dlls;
    for (; import->Name != 0; ++import) {
        std::string name = reinterpret_cast<const char*>(base + import->Name);
        std::transform(name.begin(), name.end(), name.begin(), [](char c) { return static_cast<char>(::tolower(c)); });
        dlls.insert(name);
    }
    const std::set<std::string> system{"kernel32.dll", "user32.dll",  "gdi32.dll",   "comctl32.dll",
                                       "msvcrt.dll",   "shell32.dll", "advapi32.dll"};
    for (const auto& dll : dlls) EXPECT_TRUE(system.count(dll)) << dll << " is not a system DLL";
    EXPECT_TRUE(dlls.count("comctl32.dll"));
}

}  // namespace
