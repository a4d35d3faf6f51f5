// The system's file access as the library sees it, on the real disk: error
// kinds, sharing, the atomic replace, and a commit of each kind end to end.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive/file_io.h"
#include "archive_builder.h"

namespace veltrin::archive {
namespace {

namespace fs = std::filesystem;
using testing::Pattern;
using testing::RawArchive;
using testing::SoundArchive;

class FileIo : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("veltrin-archive-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    void TearDown() override { fs::remove_all(root_); }

    [[nodiscard]] std::string PathOf(const std::string& name) const { return (root_ / name).string(); }
    static void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
        std::ofstream out(fs::path(path), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    static std::vector<uint8_t> ReadFile(const std::string& path) {
        std::ifstream in(fs::path(path), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static ErrorKind KindOf(const std::function<void()>& action) {
        try {
            action();
        } catch (const ArchiveError& error) {
            return error.kind();
        }
        ADD_FAILURE() << "no error";
        return ErrorKind::Io;
    }

    FileSystem& system_ = SystemFileSystem();
    fs::path root_;
};

TEST_F(FileIo, ReadsWritesResizesAndFlushes) {
    const std::string path = PathOf("data.bin");
    {
        auto file = system_.Open(path, OpenMode::CreateNew);
        const auto bytes = Pattern(5000, 1);
        file->WriteAt(100, bytes);
        EXPECT_EQ(file->Size(), 5100u);
        file->Resize(3000);
        file->Flush();
        EXPECT_EQ(file->Size(), 3000u);
        std::vector<uint8_t> back(10);
        file->ReadAt(100, back);
        EXPECT_EQ(back, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 10));
        std::vector<uint8_t> beyond(10);
        EXPECT_EQ(KindOf([&] { file->ReadAt(2995, beyond); }), ErrorKind::Io);
    }
    EXPECT_TRUE(system_.Exists(path));
    EXPECT_EQ(ReadFile(path).size(), 3000u);
    EXPECT_EQ(KindOf([&] { (void)system_.Open(path, OpenMode::CreateNew); }), ErrorKind::Io) << "exists";
    system_.Open(path, OpenMode::CreateAlways)->Flush();
    EXPECT_TRUE(ReadFile(path).empty());
    system_.Remove(path);
    EXPECT_FALSE(system_.Exists(path));
}

TEST_F(FileIo, CopiesBetweenFiles) {
    const std::string from = PathOf("from.bin"), to = PathOf("to.bin");
    const std::vector<uint8_t> source = Pattern(3 << 20, 4);
    WriteFile(from, source);
    {
        auto in = system_.Open(from, OpenMode::Read);
        auto out = system_.Open(to, OpenMode::CreateNew);
        out->WriteAt(0, Pattern(7, 5));
        out->CopyFrom(*in, 5, 7, source.size() - 10);
        out->Flush();
        EXPECT_EQ(KindOf([&] { out->CopyFrom(*in, source.size() - 4, 0, 8); }), ErrorKind::Io) << "past the end";
    }
    const std::vector<uint8_t> copied = ReadFile(to);
    ASSERT_EQ(copied.size(), source.size() - 3);
    EXPECT_TRUE(std::equal(source.begin() + 5, source.end() - 5, copied.begin() + 7));
}

TEST_F(FileIo, MissingFilesAndFoldersAreNotFound) {
    EXPECT_EQ(KindOf([&] { (void)system_.Open(PathOf("none.img"), OpenMode::Read); }), ErrorKind::NotFound);
    EXPECT_EQ(KindOf([&] { (void)system_.Open(PathOf("none.img"), OpenMode::ReadWrite); }), ErrorKind::NotFound);
    EXPECT_EQ(KindOf([&] { (void)system_.Open(PathOf("no/folder.img"), OpenMode::CreateAlways); }),
              ErrorKind::NotFound);
    EXPECT_EQ(KindOf([&] { system_.Remove(PathOf("none.img")); }), ErrorKind::NotFound);
    EXPECT_EQ(KindOf([&] { (void)Archive::Open(PathOf("none.img")); }), ErrorKind::NotFound);
}

TEST_F(FileIo, AWriterIsAloneAndReadersShare) {
    const std::string path = PathOf("shared.img");
    WriteFile(path, SoundArchive({{"a.dff", 1}}));
    {
        auto reader = system_.Open(path, OpenMode::Read);
        auto secondReader = system_.Open(path, OpenMode::Read);
        EXPECT_EQ(KindOf([&] { (void)system_.Open(path, OpenMode::ReadWrite); }), ErrorKind::Locked);
    }
    auto writer = system_.Open(path, OpenMode::ReadWrite);
    EXPECT_EQ(KindOf([&] { (void)system_.Open(path, OpenMode::Read); }), ErrorKind::Locked);
    EXPECT_EQ(KindOf([&] { (void)Archive::Open(path); }), ErrorKind::Locked);
}

TEST_F(FileIo, ReplacesAtomicallyAndMakesFolders) {
    const std::string from = PathOf("new.img"), to = PathOf("old.img");
    WriteFile(from, Pattern(100, 1));
    WriteFile(to, Pattern(200, 2));
    system_.ReplaceAtomically(from, to);
    EXPECT_FALSE(system_.Exists(from));
    EXPECT_EQ(ReadFile(to), Pattern(100, 1));

    const std::string nested = PathOf("a/b/c");
    system_.CreateDirectories(nested);
    system_.CreateDirectories(nested);
    EXPECT_TRUE(fs::is_directory(nested));
    EXPECT_GT(system_.FreeSpace(to), 0u);
    EXPECT_GT(system_.FreeSpace(nested), 0u);
}

TEST_F(FileIo, CommitsOnDiskInPlaceAndByRewrite) {
    const std::string path = PathOf("gta3.img");
    // big.txd is long enough to be copied file to file.
    WriteFile(path, SoundArchive({{"a.dff", 2}, {"big.txd", 700}, {"b.txd", 1}, {"c.dff", 1}}));
    Archive archive = Archive::Open(path);
    const std::vector<uint8_t> big = archive.Read(*archive.Find("big.txd"));
    archive.Put("a.dff", Pattern(3000, 1));
    EXPECT_TRUE(archive.Commit().inPlace);
    archive.Put("B.TXD", Pattern(9000, 2));  // larger: it moves to the end
    archive.Remove("c.dff");
    EXPECT_TRUE(archive.Commit().inPlace);
    EXPECT_EQ(ReadFile(path).size(), (1 + 2 + 700 + 2 + 5) * 2048u);
    EXPECT_EQ(archive.Free().sectors, 2u);
    EXPECT_FALSE(Rebuild(path).inPlace);  // written anew, without the free entry
    std::vector<std::string> left;
    for (const auto& item : fs::directory_iterator(root_)) left.push_back(item.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"gta3.img"});

    const Archive reopened = Archive::Open(path);
    ASSERT_EQ(reopened.Entries().size(), 3u);
    EXPECT_EQ(reopened.Free().entries, 0u);
    EXPECT_EQ(reopened.Entries()[1].name, "big.txd");
    EXPECT_EQ(reopened.Read(reopened.Entries()[1]), big);
    EXPECT_EQ(reopened.Entries()[2].name, "B.TXD");
    auto b = Pattern(9000, 2);
    b.resize(5 * 2048, 0);
    EXPECT_EQ(reopened.Read(reopened.Entries()[2]), b);
    EXPECT_TRUE(Verify(path).empty());
    EXPECT_EQ(ReadFile(path).size(), (17 + 2 + 700 + 5) * 2048u) << "room for 1,024 more records";
}

TEST_F(FileIo, FlushesAndMovesManyFilesAcrossFolders) {
    system_.CreateDirectories(PathOf("one"));
    system_.CreateDirectories(PathOf("two"));
    std::vector<FileSystem::Move> moves;
    for (int i = 0; i < 300; ++i) {  // more than are held open at once
        const std::string to = PathOf((i % 2 ? "one/" : "two/") + std::to_string(i) + ".dff");
        WriteFile(to + ".partial", Pattern(static_cast<size_t>(i) * 37, static_cast<uint32_t>(i)));
        moves.push_back({to + ".partial", to});
    }
    WriteFile(moves[5].to, Pattern(10, 99));  // an older file is replaced
    system_.FlushAndReplaceEach(moves);
    for (int i = 0; i < 300; ++i) {
        const auto& move = moves[static_cast<size_t>(i)];
        EXPECT_FALSE(system_.Exists(move.from)) << i;
        EXPECT_EQ(ReadFile(move.to), Pattern(static_cast<size_t>(i) * 37, static_cast<uint32_t>(i))) << i;
    }
    EXPECT_EQ(KindOf([&] {
                  system_.FlushAndReplaceEach({{PathOf("gone.partial"), PathOf("gone")}});
              }),
              ErrorKind::NotFound);
    EXPECT_FALSE(system_.Exists(PathOf("gone")));

    // Files flushed together: one that is missing among many stops every
    // move, and the failure names the first missing one in order.
    std::vector<FileSystem::Move> some;
    for (int i = 0; i < 40; ++i) {
        const std::string to = PathOf("one/again" + std::to_string(i) + ".txd");
        if (i != 17 && i != 31) WriteFile(to + ".partial", Pattern(100, static_cast<uint32_t>(i)));
        some.push_back({to + ".partial", to});
    }
    try {
        system_.FlushAndReplaceEach(some);
        ADD_FAILURE() << "a missing file was not noticed";
    } catch (const ArchiveError& error) {
        EXPECT_EQ(error.kind(), ErrorKind::NotFound);
        EXPECT_EQ(error.path(), some[17].from);
    }
    for (const auto& move : some) EXPECT_FALSE(system_.Exists(move.to)) << move.to;
}

TEST_F(FileIo, CommitsDataStagedFromFilesBothWays) {
    const std::string path = PathOf("gta3.img");
    // A hole before c.dff: the first commit writes the archive anew.
    WriteFile(path, RawArchive({{"a.dff", 1, 700}, {"b.txd", 701, 1}, {"c.dff", 703, 1}}, 704 * 2048));
    system_.CreateDirectories(PathOf("mod"));
    // Large enough to go file to file when the archive is written anew.
    const std::vector<uint8_t> large = Pattern(1400 * 2048 + 5, 1), small = Pattern(600 * 2048 + 1, 2);
    WriteFile(PathOf("mod/big.txd"), large);
    WriteFile(PathOf("mod/a.dff"), small);
    Archive archive = Archive::Open(path);
    archive.PutFile("A.DFF", PathOf("mod/a.dff"));
    EXPECT_FALSE(archive.Commit().inPlace);
    archive.PutFile("B.txd", PathOf("mod/big.txd"));
    EXPECT_TRUE(archive.Commit().inPlace);

    const Archive reopened = Archive::Open(path);
    auto stored = [&](const char* name, std::vector<uint8_t> bytes, size_t sectors) {
        bytes.resize(sectors * 2048, 0);
        EXPECT_EQ(reopened.Read(*reopened.Find(name)), bytes) << name;
    };
    stored("a.dff", small, 601);
    stored("b.txd", large, 1401);
    EXPECT_TRUE(Verify(path).empty());
    EXPECT_EQ(ReadFile(PathOf("mod/big.txd")), large) << "the source stays as it was";
}

TEST_F(FileIo, OpenFinishesWhatAKilledCommitLeft) {
    const std::string path = PathOf("gta3.img");
    const auto before = SoundArchive({{"a.dff", 2}});
    WriteFile(path, before);
    WriteFile(path + ".rewrite", Pattern(3000, 1));  // a rewrite killed half-way
    WriteFile(path + ".journal", Pattern(50, 2));    // a journal never completed
    const Archive archive = Archive::Open(path);
    EXPECT_EQ(archive.RecoveryOnOpen(), Recovery::RolledBack);
    EXPECT_FALSE(fs::exists(path + ".rewrite"));
    EXPECT_FALSE(fs::exists(path + ".journal"));
    EXPECT_EQ(ReadFile(path), before);
}

}  // namespace
}  // namespace veltrin::archive
