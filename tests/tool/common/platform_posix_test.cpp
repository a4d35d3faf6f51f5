#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "tool/common/platform.h"

namespace veltrin::tool {
namespace {

TEST(PlatformPosix, ScriptBytesAreTakenAsUtf8WhenTheyAreValid) {
    for (const std::string text : {"", "plain", "\xc3\x9c", "\xe6\x97\xa5", "\xf0\x9f\x98\x80", "\xef\xbb\xbf-open"})
        EXPECT_EQ(AnsiToUtf8(text), text);
    for (const std::string bad : {"\xff", "\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "a\x80"})
        EXPECT_THROW(AnsiToUtf8(bad), std::runtime_error) << bad;
    EXPECT_EQ(PathSeparator(), '/');
}

}  // namespace
}  // namespace veltrin::tool
