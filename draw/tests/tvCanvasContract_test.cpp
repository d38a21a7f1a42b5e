// The contracts of the drawing surface, run against every back end, with the
// differences each back end is allowed to show.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <stdexcept>

#include "draw/tests/SurfaceFixture.h"

namespace tarvo::drawtest {
namespace {

namespace px = tarvo::testing;

TEST_P(EachBackEnd, HorizontalAndVerticalLinesHaveOneColour) {
  auto s = Begin();
  s->InitPen(kRed, 1, psSolid);
  s->Line(2, 10, 30, 10);
  s->VLine(35, 2, 28);
  EXPECT_EQ(px::ColorsIn(image, image.Bounds()), (std::set<TColor>{kWhite, kRed}));
  EXPECT_GE(px::CountColor(image, image.Bounds(), kRed), 28 + 26);
  EXPECT_EQ(Ink().Height(), 26);
  EXPECT_FALSE(s->Antialiased());
}

TEST_P(EachBackEnd, DiagonalsBlendOnlyWhereAntialiased) {
  auto s = Begin();
  s->InitPen(kRed, 1, psSolid);
  s->Line(0, 0, 30, 20);
  EXPECT_EQ(Blended(image.Bounds(), kWhite, kRed), GetParam().Antialiases);
  EXPECT_GT(px::CountColor(image, image.Bounds(), kWhite), 0);
  EXPECT_FALSE(s->Antialiased());
  // The next horizontal line is aliased again.
  image.Fill(kWhite);
  s->Line(0, 25, 30, 25);
  EXPECT_EQ(px::ColorsIn(image, image.Bounds()), (std::set<TColor>{kWhite, kRed}));
}

TEST_P(EachBackEnd, AntialiasingIsOffAfterEveryCall) {
  auto s = Begin();
  s->InitPen(kBlack, 1, psSolid);
  s->InitBrush(kBlue);
  TGraphic picture(4, 4);
  const TPoint pts[] = {{2, 2}, {20, 5}, {10, 20}};
  const TPolyline curve{3, {{2, 2}, {20, 5}, {10, 20}}};
  const std::function<void()> calls[] = {
      [&] { s->Line(0, 0, 10, 10); },
      [&] { s->Circle(10, 10, 5); },
      [&] {
        s->Ellipse({1, 1, 20, 12});
      },
      [&] { s->Polygon(pts); },
      [&] { s->Polyline(pts); },
      [&] { s->Curve(curve); },
      [&] { s->RoundRect(1, 1, 30, 20, 6, 6); },
      [&] {
        s->StretchDraw({0, 0, 9, 9}, picture);
      },
      [&] { s->Polygon(std::span<const TPoint>(pts, 1)); },
  };
  for (size_t i = 0; i < std::size(calls); ++i) {
    calls[i]();
    EXPECT_FALSE(s->Antialiased()) << "call " << i;
  }
  // Off for the drawing that follows: a vertical line in one colour.
  image.Fill(kWhite);
  s->InitPen(kRed, 1, psSolid);
  s->VLine(5, 0, 30);
  EXPECT_EQ(px::ColorsIn(image, image.Bounds()), (std::set<TColor>{kWhite, kRed}));
}

// A back end whose circle fails: antialiasing must still be switched off.
template <typename Base>
class FailingCircle : public Base {
 public:
  using Base::Base;
  std::vector<bool> Switches;

 protected:
  void DoSetAntialiased(bool value) override {
    Switches.push_back(value);
    Base::DoSetAntialiased(value);
  }
  void DoCircle(int, int, int) override { throw std::runtime_error("circle failed"); }
};

TEST_P(EachBackEnd, AntialiasingIsOffAgainAfterACallThatFailed) {
  std::unique_ptr<TTVCustomCanvas> s;
  std::vector<bool>* switches = nullptr;
  const TRect r = image.Bounds();
  if (GetParam().Name == "GDI") {
    auto p = std::make_unique<FailingCircle<TTVCanvasGDI>>(canvas, r, false);
    switches = &p->Switches;
    s = std::move(p);
  } else if (GetParam().Name == "GDIPlus") {
    auto p = std::make_unique<FailingCircle<TTVCanvasGDIPlus>>(canvas, r, false);
    switches = &p->Switches;
    s = std::move(p);
  } else {
    auto p = std::make_unique<FailingCircle<TTVCanvasD2D>>(canvas, r, false);
    switches = &p->Switches;
    s = std::move(p);
  }
  s->BeginDraw();
  EXPECT_THROW(s->Circle(10, 10, 4), std::runtime_error);
  EXPECT_FALSE(s->Antialiased());
  EXPECT_EQ(*switches, (std::vector<bool>{true, false}));
  // The surface still draws, and lines after the failure are aliased.
  s->InitPen(kRed, 1, psSolid);
  s->Line(0, 20, 39, 20);
  EXPECT_EQ(px::ColorsIn(image, image.Bounds()), (std::set<TColor>{kWhite, kRed}));
}

TEST_P(EachBackEnd, TranslucentRedIsPureOnGdiAndABlendElsewhere) {
  auto s = Begin();
  s->InitBrushAlpha(kRed, 128);
  s->FillRect({0, 0, 20, 20});
  const TColor c = image.Pixel(10, 10);
  if (GetParam().Opacity)
    EXPECT_TRUE(px::PixelIs(image, 10, 10, px::RGB(255, 127, 127), 1)) << px::ColorName(c);
  else
    EXPECT_EQ(c, kRed);
  EXPECT_TRUE(px::RegionIs(image, {20, 0, 40, 30}, kWhite));
}

TEST_P(EachBackEnd, FillAfterADroppedBrushChangesNothing) {
  auto s = Begin();
  s->InitPen(kBlack, 1, psSolid);
  s->InitBrush(kRed);
  s->DropBrush();
  s->FillRect({0, 0, 40, 30});
  EXPECT_TRUE(px::RegionIs(image, image.Bounds(), kWhite));
  // Closed shapes are only outlined.
  s->Rectangle({5, 5, 25, 25});
  s->Ellipse({26, 2, 39, 28});
  EXPECT_EQ(px::CountColor(image, image.Bounds(), kRed), 0);
  EXPECT_TRUE(px::RegionIs(image, {8, 8, 22, 22}, kWhite));
  // SetFont drops it too, until InitBrush.
  s->InitBrush(kRed);
  s->SetFont(8, kBlack);
  s->FillRect({0, 0, 40, 30});
  EXPECT_EQ(px::CountColor(image, image.Bounds(), kRed), 0);
  s->InitBrush(kRed);
  s->FillRect({0, 0, 4, 4});
  EXPECT_TRUE(px::RegionIs(image, {0, 0, 4, 4}, kRed));
}

TEST_P(EachBackEnd, ClipSequenceNarrowsAndRestores) {
  auto s = Begin();
  auto fill = [&](TColor c) {
    image.Fill(kWhite);
    s->InitBrush(c);
    s->FillRect({0, 0, 40, 30});
    return Ink();
  };
  s->SetupRegion({5, 5, 30, 25});
  EXPECT_EQ(fill(kRed), (TRect{5, 5, 30, 25}));
  s->IntersectClipRect({0, 0, 20, 15});
  EXPECT_EQ(fill(kRed), (TRect{5, 5, 20, 15}));
  s->IntersectClipRect({10, 0, 40, 30});
  EXPECT_EQ(fill(kRed), (TRect{10, 5, 20, 15}));
  EXPECT_TRUE(px::RegionIs(image, {10, 5, 20, 15}, kRed));
  s->SelectClipRgn();
  EXPECT_EQ(fill(kBlue), (TRect{5, 5, 30, 25}));
  s->IntersectClipRect({100, 100, 120, 120});
  EXPECT_EQ(fill(kBlue), TRect{}) << "disjoint: nothing passes";
  s->ResetRgn();
  EXPECT_EQ(fill(kBlue), image.Bounds());
  s->SelectClipRgn();
  EXPECT_EQ(fill(kBlue), image.Bounds()) << "no region after ResetRgn";
}

TEST_P(EachBackEnd, DashGapsKeepTheBackground) {
  auto s = Begin();
  s->InitBrush(kBlue);
  s->InitPen(kBlack, 1, psDash);
  s->Line(0, 10, 40, 10);
  s->Polyline(std::vector<TPoint>{{0, 20}, {40, 20}});
  const std::set<TColor> colours = px::ColorsIn(image, image.Bounds());
  EXPECT_FALSE(colours.contains(kBlue));
  EXPECT_TRUE(colours.contains(kBlack));
  // Gaps: white pixels between dashes on the line's row.
  const int row = Ink().Top;
  EXPECT_GT(px::CountColor(image, {0, row, 40, row + 1}, kWhite), 0);
  EXPECT_GT(px::CountColor(image, {0, row, 40, row + 1}, kBlack), 0);
}

TEST_P(EachBackEnd, RectangleEdgesFollowTheBackEndsRule) {
  auto s = Begin();
  s->InitPen(kBlack, 1, psSolid);
  s->InitBrush(kRed);
  s->Rectangle({5, 5, 15, 12});
  // GDI and GDI+ keep the outline on 5..14 x 5..11; Direct2D centres it on
  // the edges, so aliased it lands left of and above each edge.
  const TRect expected = GetParam().Name == "D2D" ? TRect{4, 4, 15, 12} : TRect{5, 5, 15, 12};
  EXPECT_EQ(Ink(), expected);
  EXPECT_TRUE(px::PixelIs(image, expected.Left, expected.Top + 3, kBlack));
  EXPECT_TRUE(px::PixelIs(image, expected.Right - 1, expected.Top + 3, kBlack));
  EXPECT_TRUE(px::RegionIs(image, {6, 6, 14, 11}, kRed));
  // FillRect covers exactly the rectangle everywhere.
  image.Fill(kWhite);
  s->FillRect({5, 5, 15, 12});
  EXPECT_EQ(Ink(), (TRect{5, 5, 15, 12}));
  EXPECT_TRUE(px::RegionIs(image, {5, 5, 15, 12}, kRed));
}

TEST_P(EachBackEnd, LayerOpacityShowsOnlyOnDirect2D) {
  auto s = Begin();
  s->InitBrush(kRed);
  s->PushLayer({0, 0, 20, 20}, 0.5);
  s->FillRect({0, 0, 20, 20});
  // A nested group draws into the outer one (or straight through).
  s->PushLayer({0, 0, 10, 10}, 0.5);
  s->FillRect({0, 0, 10, 10});
  s->PopLayer();
  s->PopLayer();
  if (GetParam().Layers) {
    EXPECT_TRUE(px::PixelIs(image, 15, 15, px::RGB(255, 127, 127), 1));
    EXPECT_TRUE(px::PixelIs(image, 5, 5, px::RGB(255, 127, 127), 1)) << "one layer, not two";
  } else {
    EXPECT_TRUE(px::RegionIs(image, {0, 0, 20, 20}, kRed));
  }
}

TEST_P(EachBackEnd, TextMetricsOfDoubledAmpersandAndPrefixes) {
  auto s = Begin();
  TFont font;
  font.SetSize(9);
  s->AssignFont(font);
  TRect r{0, 0, 200, 0};
  std::string one = "&Word", two = "&&Word";
  const TSize a = s->TextMetrics(r, one, TTextFormat{});
  const TSize b = s->TextMetrics(r, two, TTextFormat{});
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.cx, 200);
  EXPECT_GT(a.cy, 8);
  // "&&" is one "&" where prefixes are processed (GDI, Direct2D), so the text
  // fits a box as wide as the shown text; GDI+ shows both and wraps.
  const int width = s->TextWidth("&Word Word");
  TRect box{0, 0, width, 0};
  std::string text = "&&Word Word";
  const TSize m = s->TextMetrics(box, text, TextFormat({tfWordBreak}));
  EXPECT_EQ(m.cx, width);
  EXPECT_EQ(m.cy, GetParam().Name == "GDIPlus" ? 2 * a.cy : a.cy);
}

TEST_P(EachBackEnd, WordBreakHeightGrowsAsTheWidthShrinks) {
  auto s = Begin();
  const std::string text = "Open interest rose by twelve percent over the session";
  int previous = 0;
  for (int width : {600, 200, 100, 50}) {
    TRect r{10, 10, 10 + width, 20};
    std::string t = text;
    const TSize m = s->TextMetrics(r, t, TextFormat({tfWordBreak}));
    EXPECT_EQ(m.cx, width);
    EXPECT_GT(m.cy, previous) << width;
    previous = m.cy;
  }
  EXPECT_EQ(px::ColorsIn(image, image.Bounds()), std::set<TColor>{kWhite})
      << "measuring draws nothing";
}

TEST_P(EachBackEnd, OnePointShapesAreCirclesAndPicturesPastTheEdgeAreCut) {
  auto s = Begin();
  s->InitPen(kBlack, 1, psSolid);
  s->InitBrush(kBlack);
  const TPoint one[] = {{20, 15}};
  s->Polygon(one);
  EXPECT_GT(px::CountColor(image, {17, 12, 24, 19}, kWhite), 0);
  EXPECT_LT(px::CountColor(image, {17, 12, 24, 19}, kWhite), 49);
  EXPECT_TRUE(px::RegionIs(image, {0, 0, 40, 10}, kWhite));
  s->Polygon(std::span<const TPoint>());
  s->Polyline(std::span<const TPoint>());

  TGraphic marker(8, 8);
  marker.Canvas().Brush().Color = kRed;
  marker.Canvas().FillRect({0, 0, 8, 8});
  s->Draw(-4, -4, marker);
  s->Draw(36, 26, marker);
  s->StretchDraw({30, -20, 60, 10}, marker);
  EXPECT_TRUE(px::RegionIs(image, {0, 0, 4, 4}, kRed));
  EXPECT_TRUE(px::RegionIs(image, {36, 26, 40, 30}, kRed));
}

TEST_P(EachBackEnd, DegenerateShapesDoNotStopLaterDrawing) {
  auto s = Begin();
  s->InitPen(kBlack, 1, psSolid);
  s->InitBrush(kRed);
  s->Ellipse({5, 5, 5, 25});
  s->Circle(10, 10, 0);
  s->Circle(10, 10, -3);
  s->RoundRect(3, 3, 3, 3, 0, 0);
  s->RoundRect(1, 1, 30, 20, INT_MAX, INT_MIN);
  s->Rectangle({20, 20, 20, 20});
  s->FrameRect({8, 8, 8, 30});
  s->Line(INT_MIN, INT_MIN, INT_MAX, INT_MAX);
  s->Curve(TPolyline{2, {{1, 1}, {1, 1}}});
  s->Polygon(std::vector<TPoint>{{INT_MIN, 0}, {INT_MAX, 0}, {0, INT_MAX}});
  s->PushLayer({INT_MIN, INT_MIN, INT_MAX, INT_MAX}, -5);
  s->PopLayer();
  s->InitPenAlpha(kBlack, 255, 0, psDot);
  s->Line(0, 0, 39, 0);
  s->IntersectClipRect({INT_MIN, INT_MIN, INT_MAX, INT_MAX});
  // Still drawing.
  image.Fill(kWhite);
  s->InitBrush(kBlue);
  s->FillRect({30, 20, 40, 30});
  EXPECT_TRUE(px::RegionIs(image, {30, 20, 40, 30}, kBlue));
  s->InitPen(kRed, 1, psSolid);
  s->Circle(15, 15, 6);
  EXPECT_GT(px::CountColor(image, {8, 8, 23, 23}, kBlue), 0);
}

TEST_P(EachBackEnd, EndDrawLeavesNoClip) {
  auto s = Begin();
  s->SetupRegion({0, 0, 5, 5});
  s->EndDraw();
  s.reset();
  canvas.Brush().Color = kRed;
  canvas.Brush().Style = platform::bsSolid;
  canvas.FillRect(image.Bounds());
  EXPECT_TRUE(px::RegionIs(image, image.Bounds(), kRed));
}

INSTANTIATE_TEST_SUITE_P(Drawing, EachBackEnd, ::testing::ValuesIn(AllBackEnds()), BackEndName);

}  // namespace
}  // namespace tarvo::drawtest
