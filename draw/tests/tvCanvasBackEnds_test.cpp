// What only one back end does: GDI's monochrome pens and restored raw
// state, GDI+'s geometry and curve rules, Direct2D's single clip and layer.
#include <gtest/gtest.h>

#include "draw/tests/SurfaceFixture.h"

namespace tarvo::drawtest {
namespace {

namespace px = tarvo::testing;

using GdiSurface = SurfaceTest;
using GdiPlusSurface = SurfaceTest;
using D2DSurface = SurfaceTest;

// --- GDI ----------------------------------------------------------------------------

TEST_F(GdiSurface, MonochromeDrawsEveryPenWhite) {
  image.Fill(kBlack);
  auto s = Begin(TTVCanvasGDI::ClassRef(), true);
  s->InitPen(kRed, 1, psSolid);
  s->Line(0, 5, 30, 5);
  EXPECT_TRUE(px::RegionIs(image, {0, 5, 30, 6}, kWhite));
}

TEST_F(GdiSurface, EndDrawRestoresTheRawPenBrushFontAndPosition) {
  canvas.Pen() = {kGreen, 3, psDot, platform::pmXor};
  canvas.Brush().Color = kBlue;
  canvas.Font().Name = "Courier New";
  canvas.MoveTo(7, 8);
  const platform::TPen pen = canvas.Pen();
  const platform::TBrush brush = canvas.Brush();
  const TFont font = canvas.Font();
  auto s = Begin(TTVCanvasGDI::ClassRef());
  s->InitPen(kRed, 1, psSolid);
  s->InitBrush(kRed);
  s->SetFont(14, kRed);
  s->Line(0, 0, 20, 20);
  EXPECT_EQ(canvas.Pen().Color, kRed) << "the surface draws with the raw pen";
  s->EndDraw();
  EXPECT_EQ(canvas.Pen(), pen);
  EXPECT_EQ(canvas.Brush(), brush);
  EXPECT_EQ(canvas.Font(), font);
  EXPECT_EQ(canvas.PenPos(), (TPoint{7, 8}));
}

TEST_F(GdiSurface, TextRectPassesTheFlagsToDrawText) {
  auto s = Begin(TTVCanvasGDI::ClassRef());
  s->SetFont(8, kBlack);
  TRect r{0, 0, 200, 50};
  std::string text = "&Open";
  s->TextRect(r, text, TextFormat({tfCalcRect, tfSingleLine}));
  EXPECT_EQ(r.Width(), canvas.TextWidth("Open"));
  EXPECT_TRUE(px::RegionIs(image, image.Bounds(), kWhite));
  // Modify-string with an ellipsis gives back the shown text.
  TRect narrow{0, 0, 30, 20};
  std::string longer = "Instrument name";
  s->TextMetrics(narrow, longer, TextFormat({tfSingleLine, tfEndEllipsis, tfModifyString}));
  EXPECT_EQ(longer.substr(longer.size() - 3), "...");
  EXPECT_EQ(narrow, (TRect{0, 0, 30, 20})) << "TextMetrics leaves the rectangle";
}

// --- GDI+ ----------------------------------------------------------------------------

TEST_F(GdiPlusSurface, OnePixelRectanglesDrawALine) {
  auto s = Begin(TTVCanvasGDIPlus::ClassRef());
  s->InitPen(kBlack, 1, psSolid);
  s->InitBrush(kRed);
  s->Rectangle({5, 5, 6, 20});
  const TRect line = Ink();
  EXPECT_EQ(line.Left, 5);
  EXPECT_EQ(line.Right, 6);
  EXPECT_GE(line.Height(), 13);
  EXPECT_EQ(px::CountColor(image, image.Bounds(), kRed), 0) << "no fill";
  image.Fill(kWhite);
  s->Rectangle({5, 5, 6, 6});
  const TRect dot = Ink();
  EXPECT_FALSE(dot.IsEmpty()) << "a one-pixel rectangle draws its short diagonal";
  EXPECT_LE(dot.Width(), 2);
  EXPECT_LE(dot.Height(), 2);
  image.Fill(kWhite);
  s->Rectangle({5, 5, 5, 20});
  EXPECT_EQ(Ink(), TRect{}) << "a rectangle without width has nothing to outline";
}

TEST_F(GdiPlusSurface, ClearAndInsideFramePensDrawSolid) {
  auto s = Begin(TTVCanvasGDIPlus::ClassRef());
  for (TPenStyle style : {psClear, psInsideFrame, psUserStyle}) {
    image.Fill(kWhite);
    s->InitPen(kBlack, 1, style);
    s->Line(0, 10, 40, 10);
    EXPECT_TRUE(px::RegionIs(image, {0, 10, 40, 11}, kBlack)) << int(style);
  }
}

TEST_F(GdiPlusSurface, CurveFollowsTheFirstCountPointsOnly) {
  auto s = Begin(TTVCanvasGDIPlus::ClassRef());
  s->InitPen(kBlack, 1, psSolid);
  const TPointDynArray five = {{2, 25}, {10, 5}, {18, 25}, {30, 2}, {38, 28}};
  s->Curve(TPolyline{3, five});
  EXPECT_TRUE(px::RegionIs(image, {26, 0, 40, 30}, kWhite)) << "points 4 and 5 are not reached";
  EXPECT_LT(Ink().Top, 8);
  // A Count beyond the array uses what is there (and reads no further).
  image.Fill(kWhite);
  s->Curve(TPolyline{1000, {{2, 25}, {10, 5}, {18, 25}}});
  EXPECT_LE(Ink().Right, 20);
  EXPECT_FALSE(Ink().IsEmpty());
  // Count 1: the polyline of all the items.
  image.Fill(kWhite);
  s->Curve(TPolyline{1, five});
  EXPECT_GT(Ink().Right, 36);
}

TEST_F(GdiPlusSurface, StartsAndStaysWithADroppedBrushAfterFontChanges) {
  canvas.Brush().Color = kRed;
  auto s = Begin(TTVCanvasGDIPlus::ClassRef());
  s->FillRect({0, 0, 40, 30});
  EXPECT_TRUE(px::RegionIs(image, image.Bounds(), kWhite))
      << "AssignFont at creation dropped the brush";
  s->InitBrush(kRed);
  s->AssignFont(TFont{});
  s->FillRect({0, 0, 40, 30});
  EXPECT_TRUE(px::RegionIs(image, image.Bounds(), kWhite));
  s->InitBrush(kRed);
  s->FillRect({0, 0, 10, 10});
  EXPECT_TRUE(px::RegionIs(image, {0, 0, 10, 10}, kRed));
  // FrameRect takes the brush colour even while the brush is dropped.
  s->InitBrush(kBlue);
  s->DropBrush();
  s->FrameRect({20, 5, 30, 15});
  EXPECT_TRUE(px::RegionIs(image, {20, 5, 30, 6}, kBlue));
  EXPECT_TRUE(px::RegionIs(image, {21, 6, 29, 14}, kWhite));
}

TEST_F(GdiPlusSurface, IgnoresMonochromeAndShowsAmpersands) {
  auto s = Begin(TTVCanvasGDIPlus::ClassRef(), true);
  s->InitPen(kRed, 1, psSolid);
  s->Line(0, 5, 30, 5);
  EXPECT_TRUE(px::RegionIs(image, {0, 5, 30, 6}, kRed));
  EXPECT_GT(s->TextWidth("&W"), s->TextWidth("W"));
  TRect r{0, 0, 300, 0};
  std::string a = "&&W", b = "&W";
  EXPECT_EQ(s->TextMetrics(r, a, {}), s->TextMetrics(r, b, {}));
}

// --- Direct2D ------------------------------------------------------------------------------

TEST_F(D2DSurface, NestedLayersPushOneLayerAndClipsStayOne) {
  auto s = Begin(TTVCanvasD2D::ClassRef());
  auto* d2d = static_cast<TTVCanvasD2D*>(s.get());
  s->PushLayer({0, 0, 20, 20}, 0.5);
  s->PushLayer({0, 0, 20, 20}, 0.5);
  EXPECT_EQ(d2d->LayersPushed(), 1);
  EXPECT_EQ(d2d->SkippedLayers(), 1);
  s->PopLayer();
  s->PopLayer();
  EXPECT_EQ(d2d->LayersPushed(), 0);
  EXPECT_EQ(d2d->SkippedLayers(), 0);

  s->SetupRegion({0, 0, 30, 25});
  s->IntersectClipRect({5, 5, 40, 40});
  s->IntersectClipRect({0, 0, 20, 30});
  EXPECT_EQ(d2d->ClipCount(), 1);
  s->InitBrush(kRed);
  s->FillRect({0, 0, 40, 30});
  EXPECT_EQ(Ink(), (TRect{5, 5, 20, 25}));
  s->SelectClipRgn();
  image.Fill(kWhite);
  s->FillRect({0, 0, 40, 30});
  EXPECT_EQ(Ink(), (TRect{0, 0, 30, 25}));
  s->ResetRgn();
  EXPECT_EQ(d2d->ClipCount(), 0);
}

TEST_F(D2DSurface, ALayerLeftOpenIsComposedAtEndDraw) {
  auto s = Begin(TTVCanvasD2D::ClassRef());
  s->InitBrush(kBlue);
  s->PushLayer({0, 0, 10, 10}, 0.5);
  s->FillRect({0, 0, 10, 10});
  EXPECT_TRUE(px::PixelIs(image, 5, 5, kWhite));
  s->EndDraw();
  EXPECT_TRUE(px::PixelIs(image, 5, 5, px::RGB(127, 127, 255), 1));
}

TEST_F(D2DSurface, MonochromeTextIsBlackButPensKeepTheirColour) {
  auto s = Begin(TTVCanvasD2D::ClassRef(), true);
  TFont font;
  font.Color = kRed;
  font.SetSize(14);
  s->AssignFont(font);
  s->TextOut(2, 2, "MM");
  EXPECT_EQ(px::CountColor(image, image.Bounds(), kRed), 0);
  EXPECT_GT(px::CountColor(image, image.Bounds(), kBlack), 0);
  s->InitPen(kRed, 1, psSolid);
  s->Line(0, 28, 40, 28);
  EXPECT_GT(px::CountColor(image, image.Bounds(), kRed), 30);
}

TEST_F(D2DSurface, TextMetricsOfEmptyTextIsFlatAndPrefixesAreProcessed) {
  auto s = Begin(TTVCanvasD2D::ClassRef());
  TRect r{10, 0, 90, 0};
  std::string empty;
  EXPECT_EQ(s->TextMetrics(r, empty, {}), (TSize{80, 0}));
  // A reversed rectangle measures in no width: every word on its own line.
  TRect reversed{90, 0, 10, 0};
  std::string words = "one two";
  const TSize m = s->TextMetrics(reversed, words, TextFormat({tfWordBreak}));
  std::string one = "one";
  EXPECT_EQ(m.cy, 2 * s->TextMetrics(r, one, {}).cy);
  EXPECT_GT(s->TextWidth("&W"), s->TextWidth("W")) << "TextWidth measures the text as it is";
}

TEST(D2DClass, IsTheOnlyAnimatableClass) {
  EXPECT_TRUE(TTVCanvasD2D::ClassRef().Animatable());
  EXPECT_FALSE(TTVCanvasGDIPlus::ClassRef().Animatable());
  EXPECT_FALSE(TTVCanvasGDI::ClassRef().Animatable());
  EXPECT_FALSE(TTVCustomCanvas::ClassRef().Animatable());
}

}  // namespace
}  // namespace tarvo::drawtest
