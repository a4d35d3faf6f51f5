// The real install-plug on a small real file system (a tmpfs the CTest
// fixture mounts): a 5 MB install of replacements, each larger than the entry
// it replaces, into a 200 MB archive with 30 MB free on the disk, and its
// undo; an install whose originals would not fit beside what the archive
// grows by; and the undo of a stopped install on a full disk. Skipped, with
// the reason, where no tmpfs can be mounted.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/sha256.h"
#include "program_run_posix.h"
#include "tool_test_support.h"

namespace veltrin::tool {
namespace {

namespace fs = std::filesystem;
using namespace testing;

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr long kTmpfsMagic = 0x01021994;
// The archive: 1,600 entries of 64 sectors (128 KiB), 200 MiB of data.
constexpr uint32_t kEntries = 1600;
constexpr uint32_t kEntrySectors = 64;
// The mod: every 80th entry, replaced by 256 KiB and a few bytes (129 sectors).
constexpr uint32_t kEvery = 80;
constexpr size_t kReplacementSize = 256 * 1024 + 100;
constexpr uint32_t kDirectorySectors = (8 + 32 * kEntries + archive::kSectorSize - 1) / archive::kSectorSize;

std::string ReadText(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

uint64_t FreeBytes(const fs::path& path) {
    struct statvfs volume {};
    if (::statvfs(path.c_str(), &volume) != 0) return 0;
    return uint64_t{volume.f_bavail} * volume.f_frsize;
}

std::string EntryName(uint32_t i) {
    char name[16];
    std::snprintf(name, sizeof name, "e%04u.%s", i, i % 2 ? "txd" : "dff");
    return name;
}

// The stored bytes of entry i: sectors that differ with the entry and with
// their place in it.
Bytes EntryBytes(uint32_t i) {
    const Bytes sector = Pattern(archive::kSectorSize, static_cast<uint8_t>(i));
    Bytes bytes;
    bytes.reserve(size_t{kEntrySectors} * archive::kSectorSize);
    for (uint32_t s = 0; s < kEntrySectors; ++s) {
        bytes.insert(bytes.end(), sector.begin(), sector.end());
        bytes[bytes.size() - archive::kSectorSize] = static_cast<uint8_t>(s);
        bytes[bytes.size() - archive::kSectorSize + 1] = static_cast<uint8_t>(i >> 8);
    }
    return bytes;
}

// Writes the archive front to back, as the game's own archives lie: the
// directory, then each entry's sectors in directory order without gaps.
void WriteArchive(const fs::path& path) {
    Bytes front(size_t{kDirectorySectors} * archive::kSectorSize, 0);
    std::copy_n("VER2", 4, front.begin());
    for (size_t b = 0; b < 4; ++b) front[4 + b] = static_cast<uint8_t>(kEntries >> (8 * b));
    for (uint32_t i = 0; i < kEntries; ++i) {
        uint8_t* record = front.data() + 8 + 32 * i;
        const uint32_t offset = kDirectorySectors + i * kEntrySectors;
        for (size_t b = 0; b < 4; ++b) record[b] = static_cast<uint8_t>(offset >> (8 * b));
        record[4] = static_cast<uint8_t>(kEntrySectors);
        const std::string name = EntryName(i);
        std::copy(name.begin(), name.end(), record + 8);
    }
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(front.data()), static_cast<std::streamsize>(front.size()));
    for (uint32_t i = 0; i < kEntries; ++i) {
        const Bytes bytes = EntryBytes(i);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
}

archive::Digest FileDigest(const fs::path& path) {
    archive::Sha256 sha;
    std::ifstream in(path, std::ios::binary);
    std::vector<char> block(4 * kMiB);
    while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0)
        sha.Add({reinterpret_cast<const uint8_t*>(block.data()), static_cast<size_t>(in.gcount())});
    return sha.Finish();
}

class SmallDiskTest : public ::testing::Test {
protected:
    fs::path disk = VELTRIN_SMALL_DISK;
    fs::path game = disk / "GTA San Andreas";
    fs::path app = disk / "Veltrin V1";
    std::string output;

    void SetUp() override {
        struct statfs info {};
        if (::statfs(disk.c_str(), &info) != 0 || info.f_type != kTmpfsMagic) {
            const std::string reason = ReadText(disk.string() + ".reason");
            GTEST_SKIP() << "no small tmpfs at " << disk << ": "
                         << (reason.empty() ? "the fixture tool_small_disk_setup did not run" : reason);
        }
    }

    int Run(const std::vector<std::string>& args) { return RunProgram(VELTRIN_TOOL, args, output); }

    // The game, and the mod with its script: its names.
    std::vector<std::string> MakeGameAndMod() {
        for (const fs::path& path : {game, app, disk / "ballast"}) fs::remove_all(path);
        fs::create_directories(game / "models");
        fs::create_directories(app / "gta3.img");
        fs::create_directories(app / "player.img");
        const fs::path gta3 = game / "models" / "gta3.img";
        WriteArchive(gta3);
        MakeArchive(archive::SystemFileSystem(), (game / "models" / "player.img").string(),
                    {{"vest.dff", Pattern(900, 3)}});
        std::vector<std::string> names;
        for (uint32_t i = kEvery / 2; i < kEntries; i += kEvery) {
            names.push_back(EntryName(i));
            std::ofstream(app / "gta3.img" / names.back(), std::ios::binary)
                << Text(Pattern(kReplacementSize, static_cast<uint8_t>(i + 101)));
        }
        EXPECT_EQ(names.size(), 20u);
        std::string script;
        for (const auto block : {install::Block::Gta3, install::Block::Player})
            for (const auto& line :
                 install::testing::BlockLinesOf(block, game.string(), app.string(),
                                                block == install::Block::Gta3 ? names : std::vector<std::string>{}))
                script += line + "\r\n";
        std::ofstream(app / "Install.dat", std::ios::binary) << script;
        return names;
    }

    // Fills the disk up to about that many bytes free.
    void LeaveFree(uint64_t bytes) {
        const uint64_t free = FreeBytes(disk);
        ASSERT_GT(free, bytes) << "the fixture's tmpfs is too small";
        const int ballast = ::open((disk / "ballast").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(ballast, 0);
        struct stat held {};
        ASSERT_EQ(::fstat(ballast, &held), 0);
        ASSERT_EQ(::posix_fallocate(ballast, 0, held.st_size + static_cast<off_t>(free - bytes)), 0);
        ::close(ballast);
        ASSERT_LE(FreeBytes(disk), bytes);
        ASSERT_GT(FreeBytes(disk) + kMiB, bytes);
    }

    fs::path Gta3() const { return game / "models" / "gta3.img"; }

    std::vector<fs::path> BackupFiles() const {
        std::vector<fs::path> files;
        if (fs::exists(app / "Backups"))
            for (const auto& item : fs::recursive_directory_iterator(app / "Backups"))
                if (item.is_regular_file()) files.push_back(item.path());
        return files;
    }
};

TEST_F(SmallDiskTest, LargerReplacementsFitInThirtyMegabytesFreeAndAreUndone) {
    const std::vector<std::string> names = MakeGameAndMod();
    const fs::path gta3 = Gta3();
    LeaveFree(30 * kMiB);
    ASSERT_EQ(fs::file_size(gta3), (uint64_t{kEntries} * kEntrySectors + kDirectorySectors) * archive::kSectorSize);
    const archive::Digest before = FileDigest(gta3);

    ASSERT_EQ(Run({"-script", (app / "Install.dat").string()}), 0) << output;
    EXPECT_NE(output.find("\ndone\n"), std::string::npos) << output;
    {
        const auto installed = archive::Archive::Open(gta3.string());
        EXPECT_EQ(installed.Entries().size(), kEntries);
        for (const auto& name : names) {
            const uint32_t i = static_cast<uint32_t>(std::stoul(name.substr(1, 4)));
            const archive::Entry* entry = installed.Find(name);
            ASSERT_NE(entry, nullptr) << name;
            EXPECT_TRUE(HoldsFile(installed.Read(*entry), Pattern(kReplacementSize, static_cast<uint8_t>(i + 101))))
                << name;
            EXPECT_EQ(ReadText(app / "Backups" / "gta3.img" / name), Text(EntryBytes(i))) << name;
        }
    }
    EXPECT_EQ(Run({"verify", gta3.string()}), 0) << output;

    ASSERT_EQ(Run({"-restore", (app / "Install.dat").string()}), 0) << output;
    {
        const auto undone = archive::Archive::Open(gta3.string());
        EXPECT_EQ(undone.Entries().size(), kEntries);
        for (const auto& name : names) {
            const archive::Entry* entry = undone.Find(name);
            ASSERT_NE(entry, nullptr) << name;
            EXPECT_EQ(undone.Read(*entry), EntryBytes(static_cast<uint32_t>(std::stoul(name.substr(1, 4))))) << name;
        }
    }
    EXPECT_EQ(Run({"verify", gta3.string()}), 0) << output;
    // The expectation: the undo gives the archive back byte for byte, its
    // layout as well as its entries.
    EXPECT_EQ(archive::HexOf(FileDigest(gta3)), archive::HexOf(before))
        << "the undo did not give gta3.img back byte for byte";
}

// The archive grows by about 5 MiB, and the originals of the entries it
// replaces (2.5 MiB) are kept twice: in the folder's Backups and beside the
// archive. With room for the growth but not for those, the install stops
// before it writes anything.
TEST_F(SmallDiskTest, AnInstallWhoseOriginalsWouldNotFitStopsBeforeWritingAny) {
    (void)MakeGameAndMod();
    LeaveFree(7 * kMiB);
    const archive::Digest before = FileDigest(Gta3());
    EXPECT_EQ(Run({"-script", (app / "Install.dat").string()}), 8) << output;
    EXPECT_NE(output.find("it stopped before the first save"), std::string::npos) << output;
    EXPECT_NE(output.find("\nnothing was changed\n"), std::string::npos) << output;
    EXPECT_EQ(BackupFiles(), std::vector<fs::path>{}) << output;
    EXPECT_EQ(archive::HexOf(FileDigest(Gta3())), archive::HexOf(before));
}

// An install stopped before its save (a mod file gone) changed no entry and
// wrote no backup; its undo, on a disk with 8 KiB free, needs no room.
TEST_F(SmallDiskTest, AStoppedInstallIsUndoneOnAFullDisk) {
    const std::vector<std::string> names = MakeGameAndMod();
    fs::remove(app / "gta3.img" / names.back());
    const archive::Digest before = FileDigest(Gta3());
    ASSERT_EQ(Run({"-script", (app / "Install.dat").string()}), 4) << output;
    EXPECT_NE(output.find("\nnothing was changed\n"), std::string::npos) << output;
    ASSERT_EQ(BackupFiles(), std::vector<fs::path>{}) << output;
    LeaveFree(8 * 1024);
    EXPECT_EQ(Run({"-restore", (app / "Install.dat").string()}), 0) << output;
    EXPECT_EQ(output.find("not enough free space"), std::string::npos) << output;
    EXPECT_EQ(BackupFiles(), std::vector<fs::path>{}) << output;
    EXPECT_EQ(archive::HexOf(FileDigest(Gta3())), archive::HexOf(before));
}

}  // namespace
}  // namespace veltrin::tool
