// Archives near the 4 GiB the game can address, as sparse files (cheap on
// Linux file systems; under Wine the same file would be written out in full).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "archive_builder.h"

namespace veltrin::archive {
namespace {

namespace fs = std::filesystem;

ErrorKind KindOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const ArchiveError& error) {
        return error.kind();
    }
    ADD_FAILURE() << "no error";
    return ErrorKind::Io;
}

// A sparse file of just under 4 GiB: 32 entries of the largest size.
TEST(LargeArchive, RefusesToGrowPastFourGigabytes) {
    const fs::path folder = fs::temp_directory_path() / "veltrin-archive-large";
    fs::remove_all(folder);
    fs::create_directories(folder);
    const std::string path = (folder / "huge.img").string();
    std::vector<testing::RawEntry> entries;
    for (uint32_t i = 0; i < 32; ++i)
        entries.push_back({"big" + std::to_string(i) + ".dff", 1 + i * kMaxEntrySectors, uint16_t{65535}, 0});
    const uint64_t size = (1 + 32 * uint64_t{kMaxEntrySectors}) * kSectorSize;  // 4 GiB less 31 sectors
    {
        const std::vector<uint8_t> head = testing::RawArchive(entries, 2048);
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(head.data()), 2048);
    }
    fs::resize_file(path, size);

    {
        Archive archive = Archive::Open(path);
        EXPECT_EQ(KindOf([&] { archive.Put("over.dff", std::vector<uint8_t>(32 * kSectorSize, 1)); }),
                  ErrorKind::TooLarge);
        archive.Put("fits.dff", std::vector<uint8_t>(31 * kSectorSize, 1));  // exactly 4 GiB
        EXPECT_EQ(KindOf([&] { archive.Put("one.dff", {1}); }), ErrorKind::TooLarge);
        EXPECT_EQ(KindOf([&] { archive.Put("FITS.dff", std::vector<uint8_t>(31 * kSectorSize + 1, 1)); }),
                  ErrorKind::TooLarge);
        // Room made by a removal or a smaller replacement counts.
        EXPECT_TRUE(archive.Remove("big0.dff"));
        archive.Put("one.dff", {1});
        archive.Put("big1.dff", {1});
        archive.Put("two.dff", std::vector<uint8_t>(kSectorSize * 1000, 2));
        EXPECT_TRUE(archive.Remove("one.dff"));
    }  // staged changes that are never committed go with the object
    EXPECT_EQ(fs::file_size(path), size) << "nothing was written";
    fs::remove_all(folder);
}

}  // namespace
}  // namespace veltrin::archive
