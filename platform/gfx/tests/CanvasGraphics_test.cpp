// The vector context: antialiasing per call, opacity, layers, clipping, and
// degenerate input that must not stop later drawing.
#include "platform/gfx/CanvasGraphics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "testing/Pixels.h"

namespace {

namespace px = tarvo::testing;
using tarvo::TColor;
using namespace tarvo::platform;

constexpr TColor kWhite = 0xFFFFFF, kRed = 0x0000FF, kBlue = 0xFF0000;

class VectorContext : public ::testing::Test {
 protected:
  void SetUp() override {
    px::PinFonts();
    image.Fill(kWhite);
  }
  static TStrokeStyle Pen(TColor c, double width = 1) {
    TStrokeStyle s;
    s.Paint = {c, 1};
    s.Width = width;
    return s;
  }
  TPixelImage image{40, 30};
  TCanvas canvas{image};
};

TEST_F(VectorContext, AntialiasingIsPerCall) {
  TGraphics g(canvas);
  g.SetCoordinateOffset(0.5);
  g.StrokeLine(0, 0, 30, 20, Pen(kRed));
  const auto aliased = px::ColorsIn(image, image.Bounds());
  EXPECT_EQ(aliased, (std::set<TColor>{kWhite, kRed}));
  g.SetAntialias(true);
  g.StrokeLine(0, 5, 30, 25, Pen(kBlue));
  bool blended = false;
  for (TColor c : px::ColorsIn(image, {0, 5, 40, 30})) blended |= px::IsBetween(c, kWhite, kBlue);
  EXPECT_TRUE(blended);
}

TEST_F(VectorContext, DashedStrokesKeepTheirGapsWhateverTheJoin) {
  TGraphics g(canvas);
  g.SetCoordinateOffset(0.5);
  for (TLineJoin join : {ljMiter, ljRound, ljBevel})
    for (bool aa : {false, true}) {
      image.Fill(kWhite);
      g.SetAntialias(aa);
      TStrokeStyle s = Pen(kRed);
      s.Dashes = {3, 1};
      s.Join = join;
      g.StrokeLine(0, 5, 40, 5, s);
      EXPECT_LT(px::CountColor(image, {0, 5, 40, 6}, kRed), 34)
          << "join " << int(join) << " aa " << aa;
      EXPECT_GT(px::CountColor(image, {0, 5, 40, 6}, kRed), 10)
          << "join " << int(join) << " aa " << aa;
    }
}

TEST_F(VectorContext, OpacityAndLayersCompose) {
  TGraphics g(canvas);
  g.FillRect({0, 0, 10, 10}, {kRed, 0.5});
  EXPECT_TRUE(px::PixelIs(image, 5, 5, px::RGB(255, 127, 127), 1));
  // A layer at half opacity with an opaque fill inside: the same blend, and
  // nothing beyond the layer's bounds.
  g.PushLayer({20, 0, 30, 10}, 0.5);
  g.FillRect({15, 0, 35, 10}, {kRed, 1});
  EXPECT_TRUE(px::PixelIs(image, 25, 5, kWhite)) << "a layer shows when it ends";
  g.PopLayer();
  EXPECT_TRUE(px::PixelIs(image, 25, 5, px::RGB(255, 127, 127), 1));
  EXPECT_TRUE(px::PixelIs(image, 17, 5, kWhite));
  // Nested layers multiply their opacities; one left open is composed when
  // the context ends.
  {
    TGraphics h(canvas);
    h.PushLayer({0, 20, 10, 30}, 0.5);
    h.PushLayer({0, 20, 10, 30}, 0.5);
    h.FillRect({0, 20, 10, 30}, {kBlue, 1});
    h.PopLayer();
    EXPECT_EQ(h.LayerDepth(), 1);
  }
  EXPECT_TRUE(px::PixelIs(image, 5, 25, px::RGB(191, 191, 255), 2));
}

TEST_F(VectorContext, ClipsCombineWithTheCanvasClipAndBounds) {
  canvas.SetClipRect({5, 0, 40, 30});
  TGraphics g(canvas, TRect{0, 0, 30, 30});
  canvas.SelectClipRgn(nullptr);  // later changes to the canvas do not reach it
  g.SetClip(TRect{0, 0, 35, 20});
  g.FillRect({0, 0, 40, 30}, {kRed, 1});
  EXPECT_TRUE(px::RegionIs(image, {5, 0, 30, 20}, kRed));
  EXPECT_EQ(px::CountColor(image, image.Bounds(), kRed), 25 * 20);
  g.SetClip(std::nullopt);
  g.FillRect({0, 0, 40, 30}, {kBlue, 1});
  EXPECT_TRUE(px::RegionIs(image, {5, 0, 30, 30}, kBlue));
  EXPECT_TRUE(px::RegionIs(image, {0, 0, 5, 30}, kWhite));
}

TEST_F(VectorContext, DegenerateShapesDoNotStopLaterDrawing) {
  TGraphics g(canvas);
  g.SetAntialias(true);
  const double nan = std::numeric_limits<double>::quiet_NaN(),
               inf = std::numeric_limits<double>::infinity();
  TPath flat;
  flat.AddEllipse({5, 5, 5, 25});  // zero width
  g.Fill(flat, {kRed, 1});
  g.Stroke(flat, Pen(kRed));
  TPath bad;
  bad.MoveTo(nan, 0);
  bad.LineTo(inf, -inf);
  g.Fill(bad, {kRed, 1});
  g.StrokeLine(0, 0, nan, 10, Pen(kRed));
  g.StrokeLine(0, 0, 10, 10, Pen(kRed, 0));
  g.StrokeLine(0, 0, 10, 10, Pen(kRed, nan));
  TStrokeStyle zeros = Pen(kRed);
  zeros.Dashes = {0, 0};
  g.StrokeLine(0, 12.5, 10, 12.5, zeros);  // drawn solid
  g.FillRect({1e300, -1e300, 1e300, 1e300}, {kRed, 1});
  g.DrawText(TFontSpec{}, "x", {}, {nan, 0, 10, 10}, {kRed, 1});
  g.PopLayer();  // none open
  g.PushLayer({0, 0, 10, 10}, nan);
  g.PopLayer();
  TBitmap picture(4, 4);
  g.DrawBitmap(picture, {0, 0, 0, 10}, true);
  // Still drawing.
  g.SetAntialias(false);
  g.FillRect({20, 20, 30, 30}, {kBlue, 1});
  EXPECT_TRUE(px::RegionIs(image, {20, 20, 30, 30}, kBlue));
  EXPECT_TRUE(px::PixelIs(image, 5, 12, kRed));
}

TEST_F(VectorContext, PicturesCopyExactlyWhenUnscaledAndSkipTheirTransparentColour) {
  TBitmap picture(4, 4);
  picture.Canvas().Brush().Color = 0x00FF00;
  picture.Canvas().FillRect({0, 0, 4, 4});
  picture.Canvas().Brush().Color = kRed;
  picture.Canvas().FillRect({1, 1, 3, 3});
  TGraphics g(canvas);
  g.SetAntialias(true);
  g.DrawBitmap(picture, {2, 2, 6, 6}, true);
  EXPECT_TRUE(px::RegionIs(image, {3, 3, 5, 5}, kRed));
  EXPECT_TRUE(px::RegionIs(image, {2, 2, 6, 3}, 0x00FF00));
  picture.Transparent = true;
  g.DrawBitmap(picture, {10, 2, 18, 10}, false);
  EXPECT_TRUE(px::RegionIs(image, {12, 4, 16, 8}, kRed));
  EXPECT_TRUE(px::RegionIs(image, {10, 2, 18, 4}, kWhite));
  g.DrawBitmap(picture, {-2, -2, 2, 2}, false);  // past the edge
  EXPECT_TRUE(px::PixelIs(image, 0, 0, kRed));
}

}  // namespace
