#include "window/layout.h"

#include <cstdint>

namespace veltrin::window {
namespace {

int MulDivRounded(int value, int numerator, int denominator) {
    const std::int64_t product = static_cast<std::int64_t>(value) * numerator;
    const std::int64_t half = denominator / 2;
    const std::int64_t rounded = product >= 0 ? (product + half) / denominator : (product - half) / denominator;
    return static_cast<int>(rounded);
}

}  // namespace

int TwipsToPixels(int twips, int dpi) { return MulDivRounded(twips, dpi, kTwipsPerInch); }

int ScaleFrom96(int pixels, int dpi) { return MulDivRounded(pixels, dpi, kDefaultDpi); }

PixelRect ToPixels(const TwipRect& box, int dpi) {
    return {TwipsToPixels(box.left, dpi), TwipsToPixels(box.top, dpi), TwipsToPixels(box.width, dpi),
            TwipsToPixels(box.height, dpi)};
}

PixelPoint ToPixels(const std::array<int, 2>& point, int dpi) {
    return {TwipsToPixels(point[0], dpi), TwipsToPixels(point[1], dpi)};
}

}  // namespace veltrin::window
