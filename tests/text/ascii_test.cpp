#include "text/ascii.h"

#include <gtest/gtest.h>

#include <string>

namespace veltrin::text {
namespace {

static_assert(LowerAscii('A') == 'a');
static_assert(LowerAscii(L'Z') == L'z');
static_assert(EqualIgnoringAsciiCase("Install.PLUG", "install.plug"));
static_assert(LessIgnoringAsciiCase(L"a", L"B"));

TEST(AsciiTest, LowersOnlyTheLettersAToZ) {
    EXPECT_EQ(LowerAscii('A'), 'a');
    EXPECT_EQ(LowerAscii('M'), 'm');
    EXPECT_EQ(LowerAscii('Z'), 'z');
    EXPECT_EQ(LowerAscii('a'), 'a');
    EXPECT_EQ(LowerAscii('@'), '@');  // just below 'A'
    EXPECT_EQ(LowerAscii('['), '[');  // just above 'Z'
    EXPECT_EQ(LowerAscii('5'), '5');
    EXPECT_EQ(LowerAscii(static_cast<char>(0xC4)), static_cast<char>(0xC4));  // a UTF-8 byte, not a letter here
    EXPECT_EQ(LowerAscii(L'Q'), L'q');
    EXPECT_EQ(LowerAscii(L'\u00C4'), L'\u00C4');  // Ä is not ASCII and stays
    EXPECT_EQ(LowerAscii(L'\u0130'), L'\u0130');
}

TEST(AsciiTest, FoldsAWholeString) {
    EXPECT_EQ(FoldAscii("Player.DFF"), "player.dff");
    EXPECT_EQ(FoldAscii(""), "");
    EXPECT_EQ(FoldAscii("\xC3\x84X.txd"), "\xC3\x84x.txd");
    EXPECT_EQ(FoldAscii(L"C:\\GAMES\\\u00C4"), L"c:\\games\\\u00C4");
}

TEST(AsciiTest, ComparesWithoutRegardToCase) {
    EXPECT_TRUE(EqualIgnoringAsciiCase("-SCRIPT", "-script"));
    EXPECT_TRUE(EqualIgnoringAsciiCase("", ""));
    EXPECT_FALSE(EqualIgnoringAsciiCase("-script", "-scrip"));
    EXPECT_FALSE(EqualIgnoringAsciiCase("a@", "a`"));  // '@' and '`' sit 32 apart but are no letters
    EXPECT_FALSE(EqualIgnoringAsciiCase("\xC3\xA4", "\xC3\x84"));
    EXPECT_TRUE(EqualIgnoringAsciiCase(L"Q:", L"q:"));
    EXPECT_FALSE(EqualIgnoringAsciiCase(L"\u00E4", L"\u00C4"));
}

TEST(AsciiTest, OrdersByTheFoldedUnitsWithHighBytesLast) {
    EXPECT_TRUE(LessIgnoringAsciiCase("apple", "BANANA"));
    EXPECT_FALSE(LessIgnoringAsciiCase("BANANA", "apple"));
    EXPECT_FALSE(LessIgnoringAsciiCase("Same", "sAME"));
    EXPECT_FALSE(LessIgnoringAsciiCase("sAME", "Same"));
    EXPECT_TRUE(LessIgnoringAsciiCase("ab", "ABC"));  // a prefix first
    EXPECT_FALSE(LessIgnoringAsciiCase("ABC", "ab"));
    // Bytes above 0x7F come after every ASCII one, even where char is signed.
    EXPECT_TRUE(LessIgnoringAsciiCase("z", "\xC3\x84"));
    EXPECT_FALSE(LessIgnoringAsciiCase("\xC3\x84", "z"));
    // Letters compare as a to z (0x61 up), so '_' (0x5F) comes before them all.
    EXPECT_TRUE(LessIgnoringAsciiCase("_", "a"));
    EXPECT_TRUE(LessIgnoringAsciiCase("_", "A"));
    EXPECT_TRUE(LessIgnoringAsciiCase(L"z", L"\u00C4"));
}

}  // namespace
}  // namespace veltrin::text
