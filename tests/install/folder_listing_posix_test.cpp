#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "install/folder_payload_lister.h"

namespace veltrin::install {
namespace {

namespace fs = std::filesystem;

class FolderListerTest : public ::testing::Test {
protected:
    fs::path root = fs::temp_directory_path() / ("veltrin-lister-" + std::to_string(::getpid()));
    void SetUp() override { fs::create_directories(root / "payload" / "sub.dff"); }
    void TearDown() override { fs::remove_all(root); }
    void Touch(const std::string& name) { std::ofstream(root / "payload" / name) << "x"; }
};

TEST_F(FolderListerTest, SnapshotsMatchingFilesSorted) {
    for (const char* name : {"B.txd", "a.dff", "A.txd", "note.txt", ".hidden.dff"}) Touch(name);
    FolderPayloadLister lister;
    lister.Point((root / "payload").string());
    ASSERT_EQ(lister.Count(), 3);
    EXPECT_EQ(lister.NameAt(0), "a.dff");
    EXPECT_EQ(lister.NameAt(1), "A.txd");
    EXPECT_EQ(lister.NameAt(2), "B.txd");
    Touch("c.dff");  // later files are not in the snapshot
    EXPECT_EQ(lister.Count(), 3);
}

TEST_F(FolderListerTest, MissingOrFileTargetsFailAndClearTheSnapshot) {
    Touch("a.dff");
    FolderPayloadLister lister;
    lister.Point((root / "payload").string());
    EXPECT_THROW(lister.Point((root / "missing").string()), PayloadListError);
    EXPECT_EQ(lister.Count(), 0);
    EXPECT_THROW(lister.Point((root / "payload" / "a.dff").string()), PayloadListError);
}

TEST_F(FolderListerTest, MoreThanTheLimitIsAnOverflow) {
    for (int i = 0; i <= 32767; ++i) Touch(std::to_string(i) + ".dff");
    FolderPayloadLister lister;
    try {
        lister.Point((root / "payload").string());
        FAIL() << "no overflow";
    } catch (const PayloadListError& e) {
        EXPECT_TRUE(e.tooMany());
    }
    std::filesystem::remove(root / "payload" / "0.dff");
    lister.Point((root / "payload").string());
    EXPECT_EQ(lister.Count(), 32767);
}

}  // namespace
}  // namespace veltrin::install
