#include "platform/core/Colors.h"

#include <cmath>
#include <initializer_list>
#include <iterator>

namespace tarvo {
namespace {

constexpr TColor Rgb(unsigned r, unsigned g, unsigned b) {
  return r | (g << 8) | (b << 16);
}

// The desktop's standard light palette, by index. Index 25 is not defined by
// the desktop and answers black like any other undefined index.
constexpr TColor kSysColors[] = {
    Rgb(200, 200, 200),  // 0 scroll bar
    Rgb(0, 0, 0),        // 1 desktop background
    Rgb(153, 180, 209),  // 2 active caption
    Rgb(191, 205, 219),  // 3 inactive caption
    Rgb(240, 240, 240),  // 4 menu
    Rgb(255, 255, 255),  // 5 window
    Rgb(100, 100, 100),  // 6 window frame
    Rgb(0, 0, 0),        // 7 menu text
    Rgb(0, 0, 0),        // 8 window text
    Rgb(0, 0, 0),        // 9 caption text
    Rgb(180, 180, 180),  // 10 active border
    Rgb(244, 247, 252),  // 11 inactive border
    Rgb(171, 171, 171),  // 12 application work space
    Rgb(0, 120, 215),    // 13 highlight
    Rgb(255, 255, 255),  // 14 highlight text
    Rgb(240, 240, 240),  // 15 button face
    Rgb(160, 160, 160),  // 16 button shadow
    Rgb(109, 109, 109),  // 17 grey text
    Rgb(0, 0, 0),        // 18 button text
    Rgb(0, 0, 0),        // 19 inactive caption text
    Rgb(255, 255, 255),  // 20 button highlight
    Rgb(105, 105, 105),  // 21 3-D dark shadow
    Rgb(227, 227, 227),  // 22 3-D light
    Rgb(0, 0, 0),        // 23 tooltip text
    Rgb(255, 255, 225),  // 24 tooltip background
    Rgb(0, 0, 0),        // 25 (not defined)
    Rgb(0, 102, 204),    // 26 hot-tracked item
    Rgb(185, 209, 234),  // 27 gradient of the active caption
    Rgb(215, 228, 242),  // 28 gradient of the inactive caption
    Rgb(51, 153, 255),   // 29 highlighted menu item
    Rgb(240, 240, 240),  // 30 menu bar
};

unsigned Channel(TColor c, int shift) {
  return (c >> shift) & 0xFF;
}

}  // namespace

TColor GetSysColor(unsigned index) noexcept {
  return index < std::size(kSysColors) ? kSysColors[index] : 0;
}

TColor ColorToRGB(TColor color) noexcept {
  // Only the low byte names the element; other bits in between make no
  // valid system colour and resolve to black rather than to a neighbour.
  if (!IsSystemColor(color)) return color;
  if ((color & 0x00FFFF00) != 0) return 0;
  return GetSysColor(color & 0xFF);
}

TColor AverageColors(TColor a, TColor b) noexcept {
  const TColor x = ColorToRGB(a), y = ColorToRGB(b);
  TColor result = 0;
  for (int shift : {0, 8, 16}) result |= ((Channel(x, shift) + Channel(y, shift)) / 2) << shift;
  return result;
}

TColor ScaleColor(TColor color, double factor) noexcept {
  const TColor x = ColorToRGB(color);
  if (std::isnan(factor)) return 0;
  TColor result = 0;
  for (int shift : {0, 8, 16}) {
    double v = std::nearbyint(Channel(x, shift) * factor);
    if (!(v > 0)) v = 0;
    if (v > 255) v = 255;
    result |= static_cast<TColor>(v) << shift;
  }
  return result;
}

}  // namespace tarvo
