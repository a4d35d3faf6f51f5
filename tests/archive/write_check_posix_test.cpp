// The write checks of the POSIX body against what the kernel really refuses.
// Root passes permission bits, so the refusal comes from the immutable
// attribute (chattr +i), which binds root too; where it cannot be set the
// test is skipped and says why.

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "archive/archive_error.h"
#include "archive/file_io.h"

namespace veltrin::archive {
namespace {

namespace fs = std::filesystem;

std::set<std::string> Listing(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

ErrorKind KindOf(const std::function<void()>& check) {
    try {
        check();
    } catch (const ArchiveError& error) {
        return error.kind();
    }
    return ErrorKind::Io;  // stands for "no error" below, with Succeeds
}

bool Succeeds(const std::function<void()>& check) {
    try {
        check();
        return true;
    } catch (const ArchiveError&) {
        return false;
    }
}

class WriteCheckPosix : public ::testing::Test {
protected:
    fs::path root;
    fs::path file;
    FileSystem& system = SystemFileSystem();

    void SetUp() override {
        root = fs::temp_directory_path() / ("veltrin-write-check-" + std::to_string(::getpid()));
        fs::create_directories(root / "folder");
        file = root / "folder" / "gta3.img";
        std::ofstream(file) << "archive bytes";
    }
    void TearDown() override {
        Immutable(root / "folder", false);
        Immutable(file, false);
        fs::remove_all(root);
    }
    static bool Immutable(const fs::path& path, bool on) {
        const std::string command =
            std::string("chattr ") + (on ? "+i" : "-i") + " '" + path.string() + "' 2>/dev/null";
        return std::system(command.c_str()) == 0;
    }
};

TEST_F(WriteCheckPosix, AWritableFileAndFolderPassAndStayAsTheyWere) {
    EXPECT_TRUE(Succeeds([&] { system.CheckWritable(file.string()); }));
    EXPECT_TRUE(Succeeds([&] { system.CheckCanCreateIn((root / "folder").string()); }));
    EXPECT_EQ(Listing(root / "folder"), (std::set<std::string>{"gta3.img"}));
    std::ifstream in(file);
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "archive bytes");  // never truncated
}

TEST_F(WriteCheckPosix, MissingPlacesAreNotFound) {
    EXPECT_EQ(KindOf([&] { system.CheckWritable((root / "none.img").string()); }), ErrorKind::NotFound);
    EXPECT_EQ(KindOf([&] { system.CheckCanCreateIn((root / "none").string()); }), ErrorKind::NotFound);
}

TEST_F(WriteCheckPosix, AnImmutableFileIsDenied) {
    if (!Immutable(file, true)) GTEST_SKIP() << "chattr +i is not available here (needs root and ext4 or alike)";
    EXPECT_EQ(KindOf([&] { system.CheckWritable(file.string()); }), ErrorKind::AccessDenied);
    // The folder itself still takes new files.
    EXPECT_TRUE(Succeeds([&] { system.CheckCanCreateIn((root / "folder").string()); }));
    EXPECT_EQ(Listing(root / "folder"), (std::set<std::string>{"gta3.img"}));
}

TEST_F(WriteCheckPosix, AnImmutableFolderIsDeniedAndKeepsItsListing) {
    if (!Immutable(root / "folder", true)) GTEST_SKIP() << "chattr +i is not available here";
    EXPECT_EQ(KindOf([&] { system.CheckCanCreateIn((root / "folder").string()); }), ErrorKind::AccessDenied);
    EXPECT_EQ(Listing(root / "folder"), (std::set<std::string>{"gta3.img"}));
    // Its file may still be written in place.
    EXPECT_TRUE(Succeeds([&] { system.CheckWritable(file.string()); }));
}

// The read-only mark is no write permission for anyone: one write bit left
// is no mark. Asked of the path as scripts write it, with backslashes.
TEST_F(WriteCheckPosix, TheReadOnlyMarkIsNoWritePermissionForAnyone) {
    using fs::perms;
    struct Case {
        perms permissions;
        bool marked;
    };
    const std::vector<Case> cases = {
        {perms::owner_read | perms::group_read | perms::others_read, true},
        {perms::owner_read, true},
        {perms::owner_all | perms::group_read, false},
        {perms::owner_read | perms::group_write, false},
        {perms::owner_read | perms::others_write, false},
    };
    for (const fs::path& path : {file, root / "folder"}) {
        const bool folder = fs::is_directory(path);
        for (const auto& c : cases) {
            fs::permissions(path, c.permissions | (folder ? perms::owner_exec : perms::none));
            EXPECT_EQ(system.MarkedReadOnly(path.string()), c.marked)
                << path << " " << static_cast<unsigned>(c.permissions);
        }
        fs::permissions(path, perms::owner_all);
    }
    std::string backslashed = file.string();
    std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
    fs::permissions(file, perms::owner_read);
    EXPECT_TRUE(system.MarkedReadOnly(backslashed));
    fs::permissions(file, perms::owner_all);
    EXPECT_FALSE(system.MarkedReadOnly((root / "none.img").string()));
}

}  // namespace
}  // namespace veltrin::archive
