// Pixel checks for drawing tests.
//
// Check the pixels a fault would change: one pixel, every pixel of a region,
// the set of colours in a region, whether a colour lies between two others
// (antialiasing). Compare with a reference image only where a whole picture
// matters, with a tolerance:
//
//   EXPECT_TRUE(MatchesReference(image, "draw/tests/ref/gdi_shapes.png"));
//
// A failed comparison writes the actual image and a difference image (pixels
// beyond the tolerance in red over a faded copy of the actual one) to
// <build>/bin/pixel-diffs/ and names them in the failure message. Running the
// tests with TARVO_UPDATE_REFERENCES=1 writes the actual images as the new
// references instead (review them before committing).
//
// Text: call PinFonts() before the first text is shaped in the process (a
// fixture's SetUp is early enough), so that only the repository's fontconfig
// file is used and metrics are the same on every machine.
//
// Colours are TColor values, 0x00BBGGRR. Coordinates are the image's pixels.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <set>
#include <string>
#include <string_view>

#include "platform/core/Colors.h"
#include "platform/gfx/Canvas.h"
#include "platform/gfx/CanvasTypes.h"

namespace tarvo::testing {

// Points FONTCONFIG_FILE at platform/gfx/fonts/fonts.conf of the source tree
// (fontconfig reads it once, when the first text is shaped, so call this
// before). Idempotent; fails the test and returns false when the file is
// missing.
bool PinFonts();

inline int Red(TColor c) {
  return static_cast<int>(c & 0xFF);
}
inline int Green(TColor c) {
  return static_cast<int>((c >> 8) & 0xFF);
}
inline int Blue(TColor c) {
  return static_cast<int>((c >> 16) & 0xFF);
}
inline TColor RGB(int r, int g, int b) {
  return static_cast<TColor>(r & 0xFF) | (static_cast<TColor>(g & 0xFF) << 8) |
         (static_cast<TColor>(b & 0xFF) << 16);
}
// "#RRGGBB" for messages.
std::string ColorName(TColor c);

// The pixel is within tolerance of colour on every channel.
::testing::AssertionResult PixelIs(const platform::TPixelImage& image, int x, int y, TColor color,
                                   int tolerance = 0);
// Every pixel of rect (clipped to the image) is exactly colour; the message
// names the first offenders.
::testing::AssertionResult RegionIs(const platform::TPixelImage& image, const platform::TRect& rect,
                                    TColor color);
// The distinct colours in rect (clipped to the image).
std::set<TColor> ColorsIn(const platform::TPixelImage& image, const platform::TRect& rect);
// Pixels of rect that are exactly colour.
int CountColor(const platform::TPixelImage& image, const platform::TRect& rect, TColor color);
// c lies strictly between a and b on at least one channel and between them
// (inclusive) on all: a mix of the two, as antialiasing or opacity makes.
bool IsBetween(TColor c, TColor a, TColor b);

// Compares image with the PNG at referencePath (relative to the source tree).
// A pixel differs when a channel differs by more than tolerance; the images
// match when the sizes agree and at most maxDiffering pixels differ.
::testing::AssertionResult MatchesReference(const platform::TPixelImage& image,
                                            std::string_view referencePath, int tolerance = 40,
                                            int maxDiffering = 0);

}  // namespace tarvo::testing

// Readable values in failure messages.
namespace tarvo::platform {
inline void PrintTo(const TRect& r, std::ostream* os) {
  *os << "(" << r.Left << ", " << r.Top << ", " << r.Right << ", " << r.Bottom << ")";
}
inline void PrintTo(const TPoint& p, std::ostream* os) {
  *os << "(" << p.X << ", " << p.Y << ")";
}
inline void PrintTo(const TSize& s, std::ostream* os) {
  *os << "(" << s.cx << " x " << s.cy << ")";
}
}  // namespace tarvo::platform
