#pragma once
// Form1's design: every control's box in twips (1/1440 inch) and its
// conversion to pixels at a given DPI. No Win32 here.
#include <array>

namespace veltrin::window {

struct TwipRect {
    int left, top, width, height;
};

struct PixelRect {
    int left, top, width, height;
    friend bool operator==(const PixelRect&, const PixelRect&) = default;
};

struct PixelPoint {
    int x, y;
    friend bool operator==(const PixelPoint&, const PixelPoint&) = default;
};

inline constexpr int kTwipsPerInch = 1440;
inline constexpr int kDefaultDpi = 96;

// Form1's client area.
inline constexpr int kClientWidthTwips = 7920;
inline constexpr int kClientHeightTwips = 4095;

inline constexpr TwipRect kLabel1Box{120, 120, 5175, 255};
inline constexpr TwipRect kDrive1Box{120, 480, 5175, 315};
inline constexpr TwipRect kDir1Box{120, 960, 5175, 2115};
inline constexpr TwipRect kLabel2Box{120, 3240, 5175, 255};
inline constexpr TwipRect kCommand1Box{3480, 3600, 1815, 375};
inline constexpr TwipRect kFile1Box{9720, 480, 2775, 2625};
inline constexpr TwipRect kPicture1Box{5640, 240, 2055, 2055};
inline constexpr TwipRect kLabel3Box{5640, 2400, 2295, 495};
inline constexpr TwipRect kLabel4Box{5640, 3000, 2055, 975};

// Line2's end points.
inline constexpr std::array<int, 2> kLine2From{5400, 120};
inline constexpr std::array<int, 2> kLine2To{5415, 3975};

// value * dpi / 1440, rounded to the nearest pixel (halves away from zero),
// as MulDiv rounds.
int TwipsToPixels(int twips, int dpi);
// A length designed in pixels at 96 DPI, at another DPI.
int ScaleFrom96(int pixels, int dpi);

PixelRect ToPixels(const TwipRect& box, int dpi);
PixelPoint ToPixels(const std::array<int, 2>& point, int dpi);

}  // namespace veltrin::window
