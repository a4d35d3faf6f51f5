// Twips to pixels: the design table at the common DPIs.
#include <gtest/gtest.h>

#include "window/layout.h"

namespace veltrin::window {
namespace {

TEST(Layout, TwipsRoundToTheNearestPixel) {
    struct Case {
        int twips, dpi, pixels;
    };
    const Case cases[] = {
        {7920, 96, 528},  {4095, 96, 273},  {15, 96, 1},      {7, 96, 0},        {8, 96, 1},
        {7920, 120, 660}, {4095, 120, 341}, {4095, 144, 410}, {7920, 192, 1056}, {-8, 96, -1},
    };
    for (const auto& [twips, dpi, pixels] : cases)
        EXPECT_EQ(TwipsToPixels(twips, dpi), pixels) << twips << " twips at " << dpi << " DPI";
}

TEST(Layout, ControlsLandOnWholePixelsAt96Dpi) {
    struct Case {
        const char* name;
        TwipRect box;
        PixelRect pixels;
    };
    const Case cases[] = {
        {"Label1", kLabel1Box, {8, 8, 345, 17}},         {"Drive1", kDrive1Box, {8, 32, 345, 21}},
        {"Dir1", kDir1Box, {8, 64, 345, 141}},           {"Label2", kLabel2Box, {8, 216, 345, 17}},
        {"Command1", kCommand1Box, {232, 240, 121, 25}}, {"File1", kFile1Box, {648, 32, 185, 175}},
        {"Picture1", kPicture1Box, {376, 16, 137, 137}}, {"Label3", kLabel3Box, {376, 160, 153, 33}},
        {"Label4", kLabel4Box, {376, 200, 137, 65}},
    };
    for (const auto& [name, box, pixels] : cases) EXPECT_EQ(ToPixels(box, 96), pixels) << name;
    EXPECT_EQ(ToPixels(kLine2From, 96), (PixelPoint{360, 8}));
    EXPECT_EQ(ToPixels(kLine2To, 96), (PixelPoint{361, 265}));
}

// At every DPI the Install button's right edge meets the lists' right edge,
// and File1 stays outside the client area.
TEST(Layout, DesignRelationsHoldAtHigherDpi) {
    for (int dpi : {96, 120, 144, 168, 192, 240, 288}) {
        SCOPED_TRACE(dpi);
        const PixelRect drive = ToPixels(kDrive1Box, dpi);
        const PixelRect button = ToPixels(kCommand1Box, dpi);
        EXPECT_LE(std::abs((button.left + button.width) - (drive.left + drive.width)), 1);
        EXPECT_GT(ToPixels(kFile1Box, dpi).left, TwipsToPixels(kClientWidthTwips, dpi));
        const PixelRect picture = ToPixels(kPicture1Box, dpi);
        EXPECT_GE(picture.width, 137 * dpi / 96 - 1);
    }
    EXPECT_EQ(ScaleFrom96(16, 144), 24);
    EXPECT_EQ(ScaleFrom96(16, 120), 20);
}

}  // namespace
}  // namespace veltrin::window
