// Windows only: sharing as the running game and other programs impose it,
// protected files, and paths beyond the ANSI code page.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive_builder.h"
#include "win32/unique_handle.h"

namespace veltrin::archive {
namespace {

namespace fs = std::filesystem;
using testing::Pattern;
using testing::SoundArchive;

class FileIoWin : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / L"veltrin-archive-\u00e9\u4e2d";
        fs::remove_all(root_);
        fs::create_directories(root_);
        path_ = root_ / L"gta3.img";
        before_ = SoundArchive({{"a.dff", 2}, {"b.txd", 1}});
        std::ofstream out(path_, std::ios::binary);
        out.write(reinterpret_cast<const char*>(before_.data()), static_cast<std::streamsize>(before_.size()));
    }
    void TearDown() override {
        ::SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_NORMAL);
        fs::remove_all(root_);
    }

    [[nodiscard]] std::string Utf8Path() const {
        const std::u8string text = path_.u8string();
        return {text.begin(), text.end()};
    }
    [[nodiscard]] std::vector<uint8_t> Contents() const {
        std::ifstream in(path_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    [[nodiscard]] win32::UniqueHandle Hold(DWORD share) const {
        return win32::UniqueHandle(
            ::CreateFileW(path_.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    [[nodiscard]] std::vector<std::wstring> Folder() const {
        std::vector<std::wstring> names;
        for (const auto& item : fs::directory_iterator(root_)) names.push_back(item.path().filename().wstring());
        return names;
    }

    fs::path root_;
    fs::path path_;
    std::vector<uint8_t> before_;
};

TEST_F(FileIoWin, AFileHeldWithoutSharingIsLocked) {
    const win32::UniqueHandle held = Hold(0);
    ASSERT_TRUE(held.Valid());
    try {
        (void)Archive::Open(Utf8Path());
        FAIL() << "opened";
    } catch (const ArchiveError& error) {
        EXPECT_EQ(error.kind(), ErrorKind::Locked) << error.reason();
    }
}

TEST_F(FileIoWin, CommitWhileTheGameReadsIsLockedAndChangesNothing) {
    for (const size_t size : {size_t{100}, size_t{9000}}) {  // fits, then moves
        Archive archive = Archive::Open(Utf8Path());
        archive.Put("b.txd", Pattern(size, 1));
        const win32::UniqueHandle game = Hold(FILE_SHARE_READ);
        ASSERT_TRUE(game.Valid());
        try {
            archive.Commit();
            ADD_FAILURE() << "committed";
        } catch (const ArchiveError& error) {
            EXPECT_EQ(error.kind(), ErrorKind::Locked) << error.reason();
        }
        EXPECT_EQ(Contents(), before_);
        EXPECT_EQ(Folder(), std::vector<std::wstring>{L"gta3.img"});
    }
}

TEST_F(FileIoWin, ReadOnlyArchiveIsAccessDenied) {
    ASSERT_TRUE(::SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_READONLY));
    {
        // Wine run by root writes read-only files regardless.
        const win32::UniqueHandle probe(
            ::CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (probe.Valid()) GTEST_SKIP() << "this system lets the user write read-only files";
    }
    Archive archive = Archive::Open(Utf8Path());
    archive.Put("b.txd", Pattern(10, 1));
    try {
        archive.Commit();
        ADD_FAILURE() << "committed";
    } catch (const ArchiveError& error) {
        EXPECT_EQ(error.kind(), ErrorKind::AccessDenied) << error.reason();
    }
    EXPECT_EQ(Contents(), before_);
}

// The attribute a game copied from a disc keeps, asked under a path beyond
// the ANSI code page. (Folders: tool_elevation_win_test.)
TEST_F(FileIoWin, TheReadOnlyMarkIsTheAttribute) {
    FileSystem& system = SystemFileSystem();
    EXPECT_FALSE(system.MarkedReadOnly(Utf8Path()));
    ASSERT_TRUE(::SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_TRUE(system.MarkedReadOnly(Utf8Path()));
    ASSERT_TRUE(::SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_FALSE(system.MarkedReadOnly(Utf8Path()));
    const std::u8string missing = (root_ / L"none.img").u8string();
    EXPECT_FALSE(system.MarkedReadOnly(std::string(missing.begin(), missing.end())));
}

TEST_F(FileIoWin, RewriteReplacesTheArchiveUnderItsUnicodePath) {
    {
        Archive archive = Archive::Open(Utf8Path());
        archive.Put("b.txd", Pattern(9000, 2));
        archive.Put("c.dff", Pattern(10, 3));
        EXPECT_TRUE(archive.Commit().inPlace);
        EXPECT_TRUE(archive.Rebuild().replaced);
        // Reading after the replace goes to the new file.
        EXPECT_EQ(archive.Read(*archive.Find("c.dff")).at(0), Pattern(1, 3).at(0));
    }
    EXPECT_EQ(Folder(), std::vector<std::wstring>{L"gta3.img"});
    EXPECT_EQ(Contents().size(), (17 + 2 + 5 + 1) * 2048u) << "room for 1,024 more records, no free entry";
    EXPECT_TRUE(Verify(Utf8Path()).empty());
}

TEST_F(FileIoWin, FilesThatAScannerLooksAtAreStillFlushedAndMoved) {
    // A virus scanner opens a new file sharing everything; that must not
    // fail the flush before the move.
    const fs::path from = root_ / L"b\u00e9.dff.partial";
    const fs::path to = root_ / L"b\u00e9.dff";
    {
        std::ofstream out(from, std::ios::binary);
        out << "backup";
    }
    win32::UniqueHandle scanner(::CreateFileW(from.c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(scanner);
    auto utf8 = [](const fs::path& path) {
        const std::u8string text = path.u8string();
        return std::string(text.begin(), text.end());
    };
    SystemFileSystem().FlushAndReplaceEach({{utf8(from), utf8(to)}});
    scanner.Reset();
    EXPECT_FALSE(fs::exists(from));
    std::ifstream in(to, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), "backup");
}

}  // namespace
}  // namespace veltrin::archive
