// A small white image with a raw canvas and one surface of a chosen back
// end on it, for the drawing library's tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>

#include "draw/tvCanvasD2D.h"
#include "draw/tvCanvasGDI.h"
#include "draw/tvCanvasGDIPluse.h"
#include "draw/tvDrawing.h"
#include "testing/Pixels.h"

namespace tarvo::drawtest {

inline constexpr TColor kWhite = 0xFFFFFF, kBlack = 0x000000, kRed = 0x0000FF, kBlue = 0xFF0000,
                        kGreen = 0x00FF00;

// One back end and what a client sees of it.
struct BackEnd {
  std::string Name;
  TTVCanvasClass Class;
  bool Antialiases;  // diagonals and curves get in-between colours
  bool Opacity;      // alpha is honoured
  bool Layers;       // PushLayer composes
};

inline std::vector<BackEnd> AllBackEnds() {
  return {{"GDI", TTVCanvasGDI::ClassRef(), false, false, false},
          {"GDIPlus", TTVCanvasGDIPlus::ClassRef(), true, true, false},
          {"D2D", TTVCanvasD2D::ClassRef(), true, true, true}};
}

inline void PrintTo(const BackEnd& b, std::ostream* os) {
  *os << b.Name;
}

inline std::string BackEndName(const ::testing::TestParamInfo<BackEnd>& info) {
  return info.param.Name;
}

class SurfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tarvo::testing::PinFonts();
    image.Fill(kWhite);
  }

  // A surface of cls over the whole image, its pass begun.
  std::unique_ptr<TTVCustomCanvas> Begin(const TTVCanvasClass& cls, bool monochrome = false) {
    auto s = cls.Create(canvas, image.Bounds(), monochrome);
    s->BeginDraw();
    return s;
  }

  // The bounds of every pixel that is not the background.
  TRect Ink(TColor background = kWhite) const {
    TRect r{INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN};
    for (int y = 0; y < image.Height(); ++y)
      for (int x = 0; x < image.Width(); ++x)
        if (image.Pixel(x, y) != background)
          r = {std::min(r.Left, x), std::min(r.Top, y), std::max(r.Right, x + 1),
               std::max(r.Bottom, y + 1)};
    return r.Left == INT32_MAX ? TRect{} : r;
  }

  // Whether a colour strictly between from and to shows in rect.
  bool Blended(const TRect& rect, TColor from, TColor to) const {
    for (TColor c : tarvo::testing::ColorsIn(image, rect))
      if (tarvo::testing::IsBetween(c, from, to)) return true;
    return false;
  }

  platform::TPixelImage image{40, 30};
  platform::TCanvas canvas{image};
};

class EachBackEnd : public SurfaceTest, public ::testing::WithParamInterface<BackEnd> {
 protected:
  std::unique_ptr<TTVCustomCanvas> Begin(bool monochrome = false) {
    return SurfaceTest::Begin(GetParam().Class, monochrome);
  }
};

}  // namespace tarvo::drawtest
