#include "platform/core/Colors.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tarvo {
namespace {

TEST(ColorToRGB, ResolvesSystemColoursAndLeavesEverythingElse) {
  struct Case {
    TColor in, out;
  } cases[] = {
      {clWindow, 0xFFFFFF},
      {clWindowText, 0x000000},
      {clHighlight, 0xD77800},  // RGB(0, 120, 215) in 0x00BBGGRR
      {clBtnFace, 0xF0F0F0},
      {clInfoBk, 0xE1FFFF},
      {clGradientInactiveCaption, 0xF2E4D7},
      {0x00123456, 0x00123456},  // a plain colour
      {clDefault, clDefault},    // markers stay recognisable
      {clNone, clNone},
      {0xFF000019, 0},  // index 25 is not defined by the desktop
      {0xFF0000FF, 0},  // nor anything past the table
      {0xFF010005, 0},  // stray bits are no system colour, not clWindow
  };
  for (const auto& c : cases) EXPECT_EQ(ColorToRGB(c.in), c.out) << std::hex << c.in;
}

// Mixing raw values would mix the 0xFF top bytes too and hand the painter a
// "system colour" with a meaningless index.
TEST(ColorHelpers, ResolveSystemColoursFirstAndReturnPlainRgb) {
  EXPECT_EQ(AverageColors(clWindow, clBtnFace), 0xF7F7F7u);  // (255 + 240) / 2
  EXPECT_EQ(AverageColors(0x000000FF, 0x00FF0000), 0x7F007Fu);
  EXPECT_EQ(AverageColors(clHighlight, 0x00000000), 0x6B3C00u);

  // COLOR_GRADIENTINACTIVECAPTION is RGB(215, 228, 242); 0.8 of it.
  EXPECT_EQ(ScaleColor(clGradientInactiveCaption, 0.8), 0xC2B6ACu);
  EXPECT_EQ(ScaleColor(clWindow, 1.0), 0xFFFFFFu);
  for (TColor c : {AverageColors(clWindow, clHighlight), ScaleColor(clInfoBk, 0.6)})
    EXPECT_EQ(c >> 24, 0u) << std::hex << c;
}

TEST(ColorHelpers, ScaleClampsAndRoundsHalfToEven) {
  EXPECT_EQ(ScaleColor(0x808080, 3.0), 0xFFFFFFu);
  EXPECT_EQ(ScaleColor(0x808080, -1.0), 0u);
  EXPECT_EQ(ScaleColor(0x808080, std::nan("")), 0u);
  // 5 * 0.5 = 2.5 -> 2 and 7 * 0.5 = 3.5 -> 4.
  EXPECT_EQ(ScaleColor(0x000705, 0.5), 0x000402u);
}

}  // namespace
}  // namespace tarvo
