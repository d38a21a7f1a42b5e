// The raw canvas: edges, pen modes, patterns, clipping, the viewport origin,
// DrawText flags, block copies, pictures and PNG, and what happens with
// inputs far outside the image.
#include "platform/gfx/Canvas.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <vector>

#include "platform/core/Files.h"
#include "testing/Pixels.h"
#include "testing/Sandbox.h"

namespace {

namespace px = tarvo::testing;
using tarvo::clNone;
using tarvo::TColor;
using namespace tarvo::platform;

constexpr TColor kWhite = 0xFFFFFF, kBlack = 0x000000, kRed = 0x0000FF, kBlue = 0xFF0000,
                 kGreen = 0x00FF00;

class RawCanvas : public ::testing::Test {
 protected:
  void SetUp() override {
    px::PinFonts();
    image.Fill(kWhite);
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

  std::vector<TColor> Snapshot() const {
    std::vector<TColor> s;
    for (int y = 0; y < image.Height(); ++y)
      for (int x = 0; x < image.Width(); ++x) s.push_back(image.Pixel(x, y));
    return s;
  }

  TPixelImage image{40, 30};
  TCanvas canvas{image};
};

// --- edges ---------------------------------------------------------------------------

TEST_F(RawCanvas, ShapesKeepTheDesktopEdgeRules) {
  canvas.Brush().Color = kBlue;
  canvas.Rectangle(2, 2, 8, 8);
  // The outline covers 2..7, the interior 3..6, column and row 8 stay clear.
  EXPECT_TRUE(px::RegionIs(image, {2, 2, 8, 3}, kBlack));
  EXPECT_TRUE(px::RegionIs(image, {7, 2, 8, 8}, kBlack));
  EXPECT_TRUE(px::RegionIs(image, {3, 3, 7, 7}, kBlue));
  EXPECT_TRUE(px::RegionIs(image, {8, 0, 9, 10}, kWhite));
  EXPECT_TRUE(px::RegionIs(image, {0, 8, 10, 9}, kWhite));

  // Corners given in reverse draw the same rectangle.
  image.Fill(kWhite);
  canvas.Rectangle(8, 8, 2, 2);
  EXPECT_TRUE(px::RegionIs(image, {2, 2, 8, 3}, kBlack));
  EXPECT_TRUE(px::RegionIs(image, {3, 3, 7, 7}, kBlue));

  // A clear pen fills a box one pixel smaller on the right and bottom.
  image.Fill(kWhite);
  canvas.Pen().Style = psClear;
  canvas.Rectangle(2, 2, 8, 8);
  EXPECT_EQ(Ink(), (TRect{2, 2, 7, 7})) << "with a clear pen";

  // FillRect covers exactly the rectangle; a reversed one nothing.
  image.Fill(kWhite);
  canvas.FillRect({2, 2, 8, 8});
  EXPECT_EQ(Ink(), (TRect{2, 2, 8, 8}));
  image.Fill(kWhite);
  canvas.FillRect({8, 8, 2, 2});
  EXPECT_EQ(Ink(), TRect{});

  // FrameRect is one pixel just inside, in the brush.
  image.Fill(kWhite);
  canvas.FrameRect({2, 2, 8, 8});
  EXPECT_TRUE(px::RegionIs(image, {2, 2, 8, 3}, kBlue));
  EXPECT_TRUE(px::RegionIs(image, {3, 3, 7, 7}, kWhite));
  EXPECT_EQ(Ink(), (TRect{2, 2, 8, 8}));
}

TEST_F(RawCanvas, LineToLeavesOutItsEndPointAndMovesThePen) {
  canvas.MoveTo(0, 5);
  canvas.LineTo(10, 5);
  EXPECT_TRUE(px::RegionIs(image, {0, 5, 10, 6}, kBlack));
  EXPECT_TRUE(px::PixelIs(image, 10, 5, kWhite));
  EXPECT_EQ(canvas.PenPos(), (TPoint{10, 5}));
  // A diagonal has one pixel per step and no others.
  image.Fill(kWhite);
  canvas.MoveTo(0, 0);
  canvas.LineTo(8, 8);
  EXPECT_EQ(px::CountColor(image, image.Bounds(), kBlack), 8);
  EXPECT_TRUE(px::PixelIs(image, 7, 7, kBlack));
  EXPECT_TRUE(px::PixelIs(image, 8, 8, kWhite));
}

TEST_F(RawCanvas, EllipseStaysInsideItsBox) {
  canvas.Brush().Color = kRed;
  canvas.Ellipse(4, 3, 24, 17);
  EXPECT_EQ(Ink(), (TRect{4, 3, 24, 17}));
  EXPECT_TRUE(px::PixelIs(image, 14, 10, kRed)) << "filled";
  EXPECT_TRUE(px::PixelIs(image, 4, 3, kWhite)) << "corners outside the ellipse";
}

TEST_F(RawCanvas, StyledLinesPaintTheirGapsOnlyUnderASolidBrush) {
  canvas.Pen().Style = psDash;
  canvas.Brush().Color = kBlue;
  canvas.MoveTo(0, 5);
  canvas.LineTo(40, 5);
  // 18 on, 6 off: the gaps take the solid brush's colour.
  EXPECT_TRUE(px::RegionIs(image, {0, 5, 18, 6}, kBlack));
  EXPECT_TRUE(px::RegionIs(image, {18, 5, 24, 6}, kBlue));
  canvas.Brush().Style = bsClear;
  canvas.MoveTo(0, 7);
  canvas.LineTo(40, 7);
  EXPECT_TRUE(px::RegionIs(image, {18, 7, 24, 8}, kWhite));
  EXPECT_TRUE(px::RegionIs(image, {24, 7, 40, 8}, kBlack));
}

// --- pen modes and patterns --------------------------------------------------------------

TEST_F(RawCanvas, DrawingTwiceInAnInvertingModeRestoresEveryPixel) {
  for (int y = 0; y < image.Height(); ++y)
    for (int x = 0; x < image.Width(); ++x)
      image.SetPixel(x, y, px::RGB(x * 6, y * 8, (x * y) & 0xFF));
  const std::vector<TColor> before = Snapshot();
  const TPoint star[] = {{5, 2}, {35, 20}, {2, 25}, {30, 3}, {20, 28}};
  auto draw = [&] {
    canvas.MoveTo(1, 1);
    canvas.LineTo(38, 27);
    canvas.Rectangle(3, 4, 20, 15);
    canvas.Ellipse(10, 8, 36, 26);
    canvas.RoundRect(2, 14, 18, 29, 6, 6);
    canvas.Polygon(star);
    canvas.Pie(20, 2, 38, 16, 38, 9, 29, 2);
    canvas.Arc(4, 4, 30, 24, 30, 14, 4, 14);
    canvas.Pen().Width = 3;
    canvas.Polyline(star);
    canvas.Pen().Width = 1;
    canvas.InvertRect({30, 20, 38, 28});
    canvas.DrawFocusRect({1, 1, 39, 29});
  };
  struct Case {
    TPenMode mode;
    TBrushStyle brush;
  } cases[] = {{pmXor, bsSolid}, {pmNot, bsSolid}, {pmNotXor, bsCross}, {pmXor, bsDiagCross}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mode));
    canvas.Pen() = {0x3366CC, 1, psSolid, c.mode};
    canvas.Brush().Style = c.brush;
    canvas.Brush().Color = 0x0F0F0F;
    draw();
    EXPECT_NE(Snapshot(), before) << "the first pass changed nothing";
    draw();
    EXPECT_EQ(Snapshot(), before);
  }
}

TEST_F(RawCanvas, PatternBrushesAreAnchoredToTheDevice) {
  canvas.Brush().Style = bsPattern;
  canvas.Brush().Pattern = {0xF0, 0xF0, 0xF0, 0xF0, 0x0F, 0x0F, 0x0F, 0x0F};
  canvas.Brush().Color = kRed;
  canvas.Brush().PatternBackColor = clNone;
  canvas.SetViewportOrg({3, 0});
  canvas.FillRect({0, 0, 16, 16});  // device 3..18
  // Set bits are brush-coloured, clear ones untouched, by device position.
  EXPECT_TRUE(px::PixelIs(image, 3, 0, kRed));
  EXPECT_TRUE(px::PixelIs(image, 4, 0, kWhite));
  EXPECT_TRUE(px::PixelIs(image, 8, 0, kRed));
  EXPECT_TRUE(px::PixelIs(image, 4, 4, kRed));
  EXPECT_TRUE(px::PixelIs(image, 3, 4, kWhite));
  canvas.Brush().PatternBackColor = kGreen;
  canvas.FillRect({0, 0, 16, 16});
  EXPECT_TRUE(px::PixelIs(image, 3, 4, kGreen));
  EXPECT_EQ(px::ColorsIn(image, {3, 0, 19, 16}), (std::set<TColor>{kRed, kGreen}));

  // Hatches paint lines over an untouched background.
  image.Fill(kWhite);
  canvas.SetViewportOrg({0, 0});
  canvas.Brush().Style = bsHorizontal;
  canvas.FillRect({0, 0, 16, 16});
  EXPECT_TRUE(px::RegionIs(image, {0, 0, 16, 1}, kRed));
  EXPECT_TRUE(px::RegionIs(image, {0, 1, 16, 8}, kWhite));
  EXPECT_TRUE(px::RegionIs(image, {0, 8, 16, 9}, kRed));
}

// --- clipping and origin -------------------------------------------------------------------

TEST_F(RawCanvas, ClipRegionsSetNarrowExcludeAndReset) {
  canvas.Brush().Color = kRed;
  TRegion two({2, 2, 6, 6});
  two.Union(TRect{20, 10, 24, 14});
  canvas.SelectClipRgn(&two);
  canvas.FillRect(image.Bounds());
  EXPECT_EQ(px::CountColor(image, image.Bounds(), kRed), 32);
  EXPECT_TRUE(px::RegionIs(image, {20, 10, 24, 14}, kRed));
  EXPECT_EQ(canvas.ClipBox(), (TRect{2, 2, 24, 14}));

  image.Fill(kWhite);
  canvas.IntersectClipRect({4, 0, 40, 30});
  canvas.FillRect(image.Bounds());
  EXPECT_EQ(px::CountColor(image, image.Bounds(), kRed), 8 + 16);

  image.Fill(kWhite);
  canvas.SelectClipRgn(nullptr);
  canvas.ExcludeClipRect({0, 0, 20, 30});
  canvas.FillRect(image.Bounds());
  EXPECT_EQ(Ink(), (TRect{20, 0, 40, 30}));

  image.Fill(kWhite);
  canvas.SelectClipRgn(nullptr);
  canvas.FillRect(image.Bounds());
  EXPECT_TRUE(px::RegionIs(image, image.Bounds(), kRed));
  // An empty clip lets nothing through.
  image.Fill(kWhite);
  const TRegion none;
  canvas.SelectClipRgn(&none);
  canvas.Ellipse(0, 0, 40, 30);
  canvas.TextOut(0, 0, "Hidden");
  EXPECT_EQ(Ink(), TRect{});
}

TEST_F(RawCanvas, ViewportOriginMovesDrawingAndLogicalClips) {
  canvas.SetViewportOrg({10, 5});
  canvas.Brush().Color = kRed;
  canvas.FillRect({0, 0, 4, 4});
  EXPECT_EQ(Ink(), (TRect{10, 5, 14, 9}));
  EXPECT_EQ(canvas.Pixel(0, 0), kRed);
  EXPECT_EQ(canvas.Pixel(-11, 0), CLR_INVALID);
  // IntersectClipRect is logical, regions are device.
  canvas.IntersectClipRect({0, 0, 2, 2});
  EXPECT_EQ(canvas.ClipRegion()->Bounds(), (TRect{10, 5, 12, 7}));
  EXPECT_EQ(canvas.ClipBox(), (TRect{0, 0, 2, 2}));
  canvas.Brush().Color = kBlue;
  canvas.FillRect({-10, -10, 10, 10});
  EXPECT_TRUE(px::RegionIs(image, {10, 5, 12, 7}, kBlue));
  EXPECT_EQ(px::CountColor(image, image.Bounds(), kBlue), 4);
}

// --- text ------------------------------------------------------------------------------

TEST_F(RawCanvas, DrawTextCalcRectMeasuresWithoutDrawing) {
  const TSize one = canvas.TextExtent("Hello");
  ASSERT_GT(one.cx, 10);
  ASSERT_GT(one.cy, 8);
  TRect r{5, 5, 200, 100};
  EXPECT_EQ(canvas.DrawText("Hello", r, DT_CALCRECT | DT_SINGLELINE), one.cy);
  EXPECT_EQ(r, (TRect{5, 5, 5 + one.cx, 5 + one.cy}));
  EXPECT_EQ(Ink(), TRect{}) << "nothing drawn";

  // Word break: lines as many as needed in the width, as wide as the widest.
  const std::string text = "one two three four five six";
  int previous = 0;
  for (int width : {400, 120, 60, 30}) {
    TRect w{0, 0, width, 0};
    const int h = canvas.DrawText(text, w, DT_CALCRECT | DT_WORDBREAK);
    EXPECT_EQ(h % one.cy, 0) << width;
    EXPECT_GE(h, previous) << width;
    EXPECT_LE(w.Width(), std::max(width, canvas.TextWidth("three")));
    previous = h;
  }
  EXPECT_GE(previous, 3 * one.cy);
  TRect empty{0, 0, 50, 50};
  EXPECT_EQ(canvas.DrawText("", empty, DT_CALCRECT), 0);
  EXPECT_EQ(empty, (TRect{0, 0, 0, 0}));
}

TEST_F(RawCanvas, DrawTextPrefixesAndEllipses) {
  auto width = [&](std::string_view text, std::uint32_t flags) {
    TRect r{0, 0, 1000, 100};
    canvas.DrawText(text, r, flags | DT_CALCRECT | DT_SINGLELINE);
    return r.Width();
  };
  EXPECT_EQ(width("&File", 0), canvas.TextWidth("File"));
  EXPECT_EQ(width("&File", DT_NOPREFIX), canvas.TextWidth("&File"));
  EXPECT_EQ(width("A&&B", 0), canvas.TextWidth("A&B"));
  EXPECT_EQ(width("&File", DT_HIDEPREFIX), canvas.TextWidth("File"));

  // The prefix underlines: more ink below the baseline than without it.
  TRect r{0, 0, 40, 20};
  canvas.Brush().Style = bsClear;
  canvas.DrawText("&W", r, DT_SINGLELINE);
  const TRect withLine = Ink();
  image.Fill(kWhite);
  canvas.DrawText("&W", r, DT_SINGLELINE | DT_HIDEPREFIX);
  EXPECT_GT(withLine.Bottom, Ink().Bottom);

  // End ellipsis with DT_MODIFYSTRING gives back the shown text, which fits.
  std::string text = "A rather long caption";
  TRect narrow{0, 0, 60, 20};
  canvas.DrawText(text, narrow, DT_SINGLELINE | DT_END_ELLIPSIS | DT_MODIFYSTRING);
  ASSERT_GT(text.size(), 3u);
  EXPECT_EQ(text.substr(text.size() - 3), "...");
  EXPECT_LE(canvas.TextWidth(text), 60);
  EXPECT_EQ(text.substr(0, 3), "A r");
  // Path ellipsis keeps the file name.
  std::string path = "C:\\Program Files\\Tarvo\\Terminal\\settings.xml";
  TRect pr{0, 0, canvas.TextWidth("C:\\...\\settings.xml") + 4, 20};
  canvas.DrawText(path, pr, DT_SINGLELINE | DT_PATH_ELLIPSIS | DT_MODIFYSTRING);
  EXPECT_NE(path.find("...\\settings.xml"), std::string::npos) << path;
  // Without an ellipsis flag the text stays as it was.
  std::string kept = "A rather long caption";
  canvas.DrawText(kept, narrow, DT_SINGLELINE | DT_MODIFYSTRING);
  EXPECT_EQ(kept, "A rather long caption");
}

TEST_F(RawCanvas, DrawTextAlignsAndClips) {
  canvas.Brush().Style = bsClear;
  const TRect box{4, 4, 36, 26};
  auto inkOf = [&](std::uint32_t flags, std::string_view text = "Wi") {
    image.Fill(kWhite);
    TRect r = box;
    canvas.DrawText(text, r, flags);
    return Ink();
  };
  const TRect left = inkOf(DT_SINGLELINE), right = inkOf(DT_SINGLELINE | DT_RIGHT);
  const TRect center = inkOf(DT_SINGLELINE | DT_CENTER);
  EXPECT_LE(left.Left, box.Left + 1);
  EXPECT_GE(right.Right, box.Right - 2);
  EXPECT_LE(std::abs((center.Left + center.Right) - (box.Left + box.Right)), 3);
  const TRect top = inkOf(DT_SINGLELINE), bottom = inkOf(DT_SINGLELINE | DT_BOTTOM);
  const TRect middle = inkOf(DT_SINGLELINE | DT_VCENTER);
  EXPECT_GT(bottom.Top, middle.Top);
  EXPECT_GT(middle.Top, top.Top);
  // Vertical placement needs a single line: without it the text stays on top.
  EXPECT_EQ(inkOf(DT_BOTTOM), top);

  // Clipped to the rectangle unless DT_NOCLIP.
  const std::string wide = "Wide text that does not fit";
  EXPECT_LE(inkOf(DT_SINGLELINE, wide).Right, box.Right);
  EXPECT_GT(inkOf(DT_SINGLELINE | DT_NOCLIP, wide).Right, box.Right);
}

TEST_F(RawCanvas, TextBackgroundFollowsTheBrush) {
  canvas.Brush().Color = kBlue;
  canvas.Font().Color = kRed;
  canvas.TextOut(2, 2, "Ab");
  const TSize s = canvas.TextExtent("Ab");
  EXPECT_TRUE(px::PixelIs(image, 2, 2, kBlue)) << "opaque background";
  EXPECT_EQ(Ink(), (TRect{2, 2, 2 + s.cx, 2 + s.cy}));
  image.Fill(kWhite);
  canvas.Brush().Style = bsClear;
  canvas.TextOut(2, 2, "Ab");
  EXPECT_EQ(px::CountColor(image, image.Bounds(), kBlue), 0) << "transparent background";
  EXPECT_GT(px::CountColor(image, image.Bounds(), kRed), 0);
  // TextRect fills the rectangle and cuts the text at its edge.
  image.Fill(kWhite);
  canvas.Brush().Style = bsSolid;
  canvas.TextRect({0, 0, 12, 30}, 2, 2, "Wide text");
  EXPECT_EQ(Ink(), (TRect{0, 0, 12, 30}));
}

// --- copies, pictures, PNG ------------------------------------------------------------------

TEST_F(RawCanvas, BlockCopiesAreCutToBothImages) {
  TBitmap src(10, 10);
  src.Canvas().Brush().Color = kRed;
  src.Canvas().FillRect({0, 0, 10, 10});
  src.Canvas().Brush().Color = kBlue;
  src.Canvas().FillRect({0, 0, 5, 5});
  // Source block reaching past the source, destination past this image.
  canvas.BitBlt(35, 25, 20, 20, src.Canvas(), -5, -5);
  EXPECT_TRUE(px::RegionIs(image, {35, 25, 40, 30}, kWhite))
      << "source pixels that do not exist are not copied";
  canvas.BitBlt(-2, -2, 20, 20, src.Canvas(), 0, 0);
  EXPECT_TRUE(px::RegionIs(image, {0, 0, 3, 3}, kBlue));
  EXPECT_TRUE(px::RegionIs(image, {3, 3, 8, 8}, kRed));
  EXPECT_TRUE(px::RegionIs(image, {8, 0, 40, 30}, kWhite));

  // Overlapping copy within one image: as if through a temporary.
  image.Fill(kWhite);
  for (int x = 0; x < 10; ++x) image.SetPixel(x, 0, px::RGB(x * 20, 0, 0));
  canvas.BitBlt(3, 0, 10, 1, canvas, 0, 0);
  for (int x = 0; x < 10; ++x) EXPECT_EQ(image.Pixel(x + 3, 0), px::RGB(x * 20, 0, 0)) << x;

  // Stretched and mirrored, nearest pixel; xor combines.
  image.Fill(kWhite);
  canvas.StretchBlt({0, 0, 20, 20}, src.Canvas(), {0, 0, 10, 10});
  EXPECT_TRUE(px::RegionIs(image, {0, 0, 10, 10}, kBlue));
  EXPECT_TRUE(px::RegionIs(image, {10, 10, 20, 20}, kRed));
  canvas.StretchBlt({20, 0, 0, 20}, src.Canvas(), {0, 0, 10, 10});
  EXPECT_TRUE(px::RegionIs(image, {10, 0, 20, 10}, kBlue)) << "mirrored";
  canvas.BitBlt(0, 0, 10, 10, src.Canvas(), 0, 0, ropSrcInvert);
  canvas.BitBlt(0, 0, 10, 10, src.Canvas(), 0, 0, ropSrcInvert);
  EXPECT_TRUE(px::RegionIs(image, {10, 0, 20, 10}, kBlue));
}

TEST_F(RawCanvas, PicturesPastTheEdgeAreCutAndTransparentPixelsSkipped) {
  TBitmap marker(8, 8);
  marker.Canvas().Brush().Color = kGreen;
  marker.Canvas().FillRect({0, 0, 8, 8});
  marker.Canvas().Brush().Color = kRed;
  marker.Canvas().FillRect({2, 2, 6, 6});
  marker.Transparent = true;  // the bottom-left pixel's colour: green
  canvas.Draw(-4, -4, marker);
  canvas.Draw(36, 26, marker);
  canvas.StretchDraw({30, -10, 50, 10}, marker);
  EXPECT_EQ(px::ColorsIn(image, image.Bounds()), (std::set<TColor>{kWhite, kRed}));
  EXPECT_TRUE(px::RegionIs(image, {0, 0, 2, 2}, kRed));
  EXPECT_TRUE(px::RegionIs(image, {38, 28, 40, 30}, kRed));
  marker.Transparent = false;
  canvas.Draw(10, 10, marker);
  EXPECT_TRUE(px::PixelIs(image, 10, 10, kGreen));
}

TEST_F(RawCanvas, PngRoundTripsAndBadBytesAreRefused) {
  tarvo::testing::Sandbox box;
  canvas.Brush().Color = kBlue;
  canvas.Ellipse(3, 3, 30, 25);
  canvas.TextOut(1, 1, "png");
  const std::string path = box.Path("out/picture.png");
  ForceDirectories(box.Path("out"));
  ASSERT_TRUE(image.SavePNG(path));
  const std::optional<std::string> bytes = ReadFileBytes(path);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(bytes->substr(0, 8), std::string("\x89PNG\r\n\x1A\n", 8));
  const auto back = TPixelImage::LoadPNG(path);
  ASSERT_EQ(back->Width(), 40);
  ASSERT_EQ(back->Height(), 30);
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x) ASSERT_EQ(back->Pixel(x, y), image.Pixel(x, y)) << x << ", " << y;

  EXPECT_THROW(TPixelImage::DecodePNG("not a picture"), ECanvasError);
  EXPECT_THROW(TPixelImage::DecodePNG(bytes->substr(0, bytes->size() / 2)), ECanvasError);
  std::string huge = *bytes;
  huge[16] = 0x7F;  // width 2^30 and more
  EXPECT_THROW(TPixelImage::DecodePNG(huge), ECanvasError);
  EXPECT_THROW(TPixelImage::LoadPNG(box.Path("missing.png")), ECanvasError);
  EXPECT_THROW(TPixelImage(0, 0).EncodePNG(), ECanvasError);
  EXPECT_THROW(TPixelImage(-1, 5), std::invalid_argument);
}

// --- hostile input -------------------------------------------------------------------------

TEST_F(RawCanvas, CoordinatesFarOutsideNeitherHangNorBreakLaterDrawing) {
  const auto start = std::chrono::steady_clock::now();
  canvas.Brush().Color = kBlue;
  canvas.MoveTo(INT_MIN, INT_MIN);
  canvas.LineTo(INT_MAX, INT_MAX);
  canvas.MoveTo(INT_MIN, 10);
  canvas.LineTo(INT_MAX, 10);
  canvas.Pen().Style = psDash;
  canvas.MoveTo(INT_MAX, 12);
  canvas.LineTo(INT_MIN, 12);
  canvas.Pen().Style = psSolid;
  canvas.SetViewportOrg({INT_MAX, INT_MIN});
  canvas.Rectangle(INT_MIN, INT_MIN, INT_MAX, INT_MAX);
  canvas.SetViewportOrg({0, 0});
  canvas.Ellipse(INT_MIN, INT_MIN, INT_MAX, INT_MAX);
  canvas.RoundRect(-5, -5, 50, 50, INT_MAX, INT_MIN);
  canvas.Pie(0, 0, 0, 0, 1, 1, 1, 1);
  canvas.Arc(5, 5, 5, 30, INT_MAX, 0, INT_MIN, 0);
  const TPoint wild[] = {{INT_MIN, 0}, {INT_MAX, INT_MAX}, {0, INT_MIN}};
  canvas.Polygon(wild);
  canvas.Pen().Width = INT_MAX;
  canvas.Polyline(wild);
  canvas.Pen().Width = 1;
  canvas.Font().Height = INT_MIN;
  canvas.TextOut(INT_MAX, INT_MAX, "x");
  canvas.Font().Height = -11;
  canvas.StretchBlt({INT_MIN, INT_MIN, INT_MAX, INT_MAX}, canvas, {0, 0, 1, 1});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  // The canvas still draws.
  image.Fill(kWhite);
  canvas.Brush().Color = kRed;
  canvas.Ellipse(0, 0, 40, 30);
  EXPECT_TRUE(px::PixelIs(image, 20, 15, kRed));
  canvas.TextOut(0, 0, "ok");
  EXPECT_GT(px::CountColor(image, {0, 0, 20, 15}, kBlack), 0);
}

TEST(RawCanvasWithoutImage, DrawsNothingAndReadsInvalid) {
  TCanvas canvas;
  canvas.Rectangle(0, 0, 10, 10);
  canvas.TextOut(0, 0, "x");
  canvas.FillRect({0, 0, 5, 5});
  EXPECT_EQ(canvas.Pixel(0, 0), CLR_INVALID);
  EXPECT_EQ(canvas.ClipBox(), TRect{});
  TPixelImage empty(0, 0);
  canvas.SelectImage(&empty);
  canvas.Ellipse(0, 0, 10, 10);
  EXPECT_EQ(canvas.Pixel(0, 0), CLR_INVALID);
}

}  // namespace
