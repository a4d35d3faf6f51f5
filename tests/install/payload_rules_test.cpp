#include "install/payload_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace veltrin::install {
namespace {

TEST(PayloadRules, MatchesOnlyTheTwoExtensionsInAnyCase) {
    for (const char* name : {"a.dff", "A.DFF", "b.Txd", "with space.txd", ".dff", "x.y.dff"})
        EXPECT_TRUE(IsPayloadName(name)) << name;
    for (const char* name : {"a.dffx", "a.dff.bak", "a.txt", "dff", "atxd", "a.df", "", "a.dff "})
        EXPECT_FALSE(IsPayloadName(name)) << name;
}

TEST(PayloadRules, SelectsVisibleFilesOnly) {
    const std::vector<FolderEntry> entries = {
        {"plain.dff"},
        {"folder.dff", true, false, false},
        {"hidden.txd", false, true, false},
        {"system.txd", false, false, true},
        {"readme.txt"},
        {"c.TXD"},
    };
    EXPECT_EQ(SelectPayload(entries), (std::vector<std::string>{"c.TXD", "plain.dff"}));
}

TEST(PayloadRules, SortsWholeNamesWithoutRegardToCaseAndDeterministically) {
    const std::vector<FolderEntry> entries = {{"B.txd"},   {"a.dff"},  {"A.txd"}, {"a.txd"},
                                              {"a_b.dff"}, {"a1.dff"}, {"ab.dff"}};
    // '.' (0x2E) < '1' (0x31) < '_' (0x5F) < 'b' (0x62); "A.txd" and "a.txd"
    // fold equal and fall back to their bytes, capital first.
    EXPECT_EQ(SelectPayload(entries),
              (std::vector<std::string>{"a.dff", "A.txd", "a.txd", "a1.dff", "a_b.dff", "ab.dff", "B.txd"}));
}

TEST(PayloadRules, OrderIsStrictAndIndependentOfInputOrder) {
    EXPECT_FALSE(PayloadNameLess("a.dff", "a.dff"));
    EXPECT_TRUE(PayloadNameLess("a.dff", "a.dffa"));
    EXPECT_FALSE(PayloadNameLess("a.dffa", "a.dff"));
    std::vector<FolderEntry> forward = {{"Zed.dff"}, {"zed.DFF"}, {"ZED.dff"}, {"é.dff"}, {"e.dff"}};
    std::vector<FolderEntry> backward(forward.rbegin(), forward.rend());
    EXPECT_EQ(SelectPayload(forward), SelectPayload(backward));
}

}  // namespace
}  // namespace veltrin::install
