#include "tool/path_text.h"

#include <gtest/gtest.h>

namespace veltrin::tool {
namespace {

TEST(PathText, FileNameAndFolderSplitAtTheLastSeparator) {
    EXPECT_EQ(FileNameOf(R"(C:\a\b.dff)"), "b.dff");
    EXPECT_EQ(FileNameOf("a/b/c.txd"), "c.txd");
    EXPECT_EQ(FileNameOf("plain"), "plain");
    EXPECT_EQ(FileNameOf(R"(C:\a\)"), "");
    EXPECT_EQ(FolderOf(R"(C:\a\b.dff)"), R"(C:\a)");
    EXPECT_EQ(FolderOf("a/b\\c"), "a/b");
    EXPECT_EQ(FolderOf("plain"), "");
}

}  // namespace
}  // namespace veltrin::tool
