// The abstract surface's own rules (antialiasing policy, one-point shapes,
// slots), the class references and the choice of back end.
#include "draw/tvDrawing.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "draw/tests/SurfaceFixture.h"
#include "platform/gfx/CanvasSupport.h"

namespace tarvo::drawtest {
namespace {

// What the library chose while it was loaded, before any test changed it:
// shared libraries are initialised before the program's own statics.
const TTVCanvasClass gClassAtLoad = TVCanvasClass();
const std::string gCaptionAtLoad = TVCanvasClassCaption();

// A surface that records what the base class hands to its slots.
class Recorder : public TTVCustomCanvas {
 public:
  using TTVCustomCanvas::TTVCustomCanvas;
  std::vector<std::string> Calls;
  bool FailPolygon = false;

  TPoint GetPenPos() const override { return fPos; }
  void SetPenPos(TPoint p) override { fPos = p; }
  void InitPenAlpha(TColor, std::uint8_t, int, TPenStyle) override {}
  void InitBrushAlpha(TColor, std::uint8_t) override {}
  void DropBrush() override {}
  void MoveTo(int x, int y) override { fPos = {x, y}; }
  void Rectangle(const TRect&) override {}
  void FrameRect(const TRect&) override {}
  void FillRect(const TRect&) override {}
  void AssignFont(const TFont&) override {}
  void SetFont(int, TColor) override {}
  void TextOut(int, int, std::string_view) override {}
  void TextRect(TRect&, std::string&, const TTextFormat&) override {}
  void TextRect(const TRect&, int, int, std::string_view) override {}
  int TextWidth(std::string_view) override { return 0; }
  TSize TextExtent(std::string_view) override { return {}; }
  TSize TextMetrics(TRect&, std::string&, const TTextFormat&) override { return {}; }
  void SetupRegion(const TRect&) override { Calls.push_back("SetupRegion"); }
  void ResetRgn() override { Calls.push_back("ResetRgn"); }
  void IntersectClipRect(const TRect&) override {}
  void SelectClipRgn() override {}
  void Draw(int, int, const TGraphic&) override {}

 protected:
  void DoSetAntialiased(bool v) override { Calls.push_back(v ? "AA on" : "AA off"); }
  void DoCircle(int x, int y, int r) override {
    Calls.push_back("Circle " + std::to_string(x) + "," + std::to_string(y) + "," +
                    std::to_string(r));
  }
  void DoLineTo(int x, int y) override {
    Calls.push_back("LineTo");
    fPos = {x, y};
  }
  void DoPolyline(std::span<const TPoint> points, int high) override {
    Calls.push_back("Polyline " + std::to_string(high));
    TTVCustomCanvas::DoPolyline(points, high);
  }
  void DoPolygon(std::span<const TPoint> points, int high) override {
    if (FailPolygon) throw std::runtime_error("polygon failed");
    Calls.push_back("Polygon " + std::to_string(high));
    TTVCustomCanvas::DoPolygon(points, high);
  }
  void DoStretchDraw(const TRect&, const TGraphic&) override { Calls.push_back("StretchDraw"); }

 private:
  TPoint fPos;
};

class AbstractSurface : public SurfaceTest {
 protected:
  Recorder s{canvas, {0, 0, 40, 30}, false};
};

TEST_F(AbstractSurface, LineToAntialiasesOnlyDiagonals) {
  struct Case {
    TPoint to;
    bool antialiased;
  } cases[] = {{{10, 0}, false}, {{0, 10}, false}, {{10, 10}, true}, {{0, 0}, false}};
  for (const Case& c : cases) {
    s.Calls.clear();
    s.MoveTo(0, 0);
    s.LineTo(c.to.X, c.to.Y);
    const std::vector<std::string> expected =
        c.antialiased ? std::vector<std::string>{"AA on", "LineTo", "AA off"}
                      : std::vector<std::string>{"LineTo"};
    EXPECT_EQ(s.Calls, expected) << c.to.X << "," << c.to.Y;
    EXPECT_FALSE(s.Antialiased());
    EXPECT_EQ(s.PenPos(), c.to);
  }
}

TEST_F(AbstractSurface, OnePointShapesAreCirclesNoPointsNothing) {
  const TPoint one[] = {{7, 9}};
  s.Polygon(one);
  EXPECT_EQ(s.Calls, (std::vector<std::string>{"AA on", "Polygon 0", "Circle 7,9,1", "AA off"}));
  s.Calls.clear();
  s.Polyline(std::span<const TPoint>());
  s.Polygon(std::span<const TPoint>());
  EXPECT_TRUE(s.Calls.empty());
  // Polyline forms use every item and ignore Count.
  s.Polyline(TPolyline{0, {{1, 1}, {2, 2}, {3, 3}}});
  EXPECT_EQ(s.Calls, (std::vector<std::string>{"AA on", "Polyline 2", "AA off"}));
  // The base curve is the polyline.
  s.Calls.clear();
  s.Curve(TPolyline{5, {{1, 1}, {2, 2}}});
  EXPECT_EQ(s.Calls, (std::vector<std::string>{"AA on", "Polyline 1", "AA off"}));
}

TEST_F(AbstractSurface, StretchDrawAntialiasesOnlyWhenScaling) {
  TGraphic picture(10, 8);
  s.StretchDraw({0, 0, 10, 8}, picture);
  EXPECT_EQ(s.Calls, (std::vector<std::string>{"StretchDraw"}));
  s.Calls.clear();
  s.StretchDraw({0, 0, 20, 8}, picture);
  EXPECT_EQ(s.Calls, (std::vector<std::string>{"AA on", "StretchDraw", "AA off"}));
}

TEST_F(AbstractSurface, AntialiasingIsSwitchedOffWhenTheDrawingThrows) {
  s.FailPolygon = true;
  const TPoint pts[] = {{1, 1}, {5, 5}, {1, 9}};
  EXPECT_THROW(s.Polygon(pts), std::runtime_error);
  EXPECT_EQ(s.Calls, (std::vector<std::string>{"AA on", "AA off"}));
  EXPECT_FALSE(s.Antialiased());
}

TEST_F(AbstractSurface, BeginAndEndDrawSetAndRemoveTheTargetClip) {
  s.BeginDraw();
  s.EndDraw();
  EXPECT_EQ(s.Calls, (std::vector<std::string>{"SetupRegion", "ResetRgn"}));
}

// --- class references ---------------------------------------------------------------------

TEST(CanvasClass, CreatesSurfacesOfItsClass) {
  platform::TPixelImage image(4, 4);
  platform::TCanvas canvas(image);
  for (const BackEnd& b : AllBackEnds()) {
    auto s = b.Class.Create(canvas, {0, 0, 4, 4}, false);
    EXPECT_EQ(s->ClassType(), b.Class);
    EXPECT_EQ(&s->RawCanvas(), &canvas);
    EXPECT_EQ(s->TargetRect(), (TRect{0, 0, 4, 4}));
  }
  EXPECT_EQ(TTVCanvasGDI::ClassRef().ClassName(), "TTVCanvasGDI");
  EXPECT_FALSE(TTVCanvasGDI::ClassRef() == TTVCanvasD2D::ClassRef());
  EXPECT_THROW(TTVCustomCanvas::ClassRef().Create(canvas, {0, 0, 4, 4}, false), EAbstractError);
}

TEST(CanvasClass, TextFormatBitsAreTheDrawTextFlags) {
  EXPECT_EQ(DrawTextFlags(TextFormat({tfBottom, tfSingleLine})),
            platform::DT_BOTTOM | platform::DT_SINGLELINE);
  EXPECT_EQ(DrawTextFlags(TextFormat({tfCalcRect, tfWordBreak, tfNoPrefix, tfEndEllipsis})),
            platform::DT_CALCRECT | platform::DT_WORDBREAK | platform::DT_NOPREFIX |
                platform::DT_END_ELLIPSIS);
  EXPECT_EQ(DrawTextFlags(TextFormat({tfWordEllipsis, tfPrefixOnly, tfVerticalCenter})),
            platform::DT_WORD_ELLIPSIS | platform::DT_PREFIXONLY | platform::DT_VCENTER);
  EXPECT_EQ(DrawTextFlags(TextFormat({tfComposited})), 0u);
}

// --- back-end selection -------------------------------------------------------------------

class Selection : public ::testing::Test {
 protected:
  void TearDown() override { platform::SetDirect2DSupportedProbe({}); }
  static void Supported(bool yes) {
    platform::SetDirect2DSupportedProbe([yes] { return yes; });
  }
};

TEST_F(Selection, AtLoadWithoutASwitchDirect2DIsChosen) {
  EXPECT_EQ(gClassAtLoad, TTVCanvasD2D::ClassRef());
  EXPECT_EQ(gCaptionAtLoad, "DirectX 2D");
}

TEST_F(Selection, FromCommandLines) {
  struct Case {
    std::vector<std::string> args;
    bool direct2d;
    const char* caption;
  } cases[] = {
      {{}, true, "DirectX 2D"},
      {{}, false, "GDI Plus"},
      {{"-graphics", "gdi"}, true, "GDI"},
      {{"/GRAPHICS", "GDI+"}, true, "GDI Plus"},
      {{"-Graphics", "DirectX"}, false, "GDI Plus"},
      {{"-Graphics", "directx"}, true, "DirectX 2D"},
      {{"-Graphics", "Metal"}, true, "DirectX 2D"},
      {{"-Graphics", ""}, false, "GDI Plus"},
      {{"-Graphics:GDI"}, true, "DirectX 2D"},
      {{"-Graphics"}, true, "DirectX 2D"},
      {{"Graphics", "GDI"}, true, "DirectX 2D"},
      {{"--Graphics", "GDI"}, true, "DirectX 2D"},
      {{"-lang", "ru", "/Graphics", "Gdi", "-x"}, false, "GDI"},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += "[" + a + "]";
    Supported(c.direct2d);
    InitGraphicsKind(gkGDI);  // whatever was there before loading
    SelectGraphicsAtLoad(c.args);
    EXPECT_EQ(TVCanvasClassCaption(), c.caption)
        << joined << (c.direct2d ? " with" : " without") << " Direct2D";
  }
}

TEST_F(Selection, InitGraphicsKindRules) {
  struct Case {
    TGraphicsKind before, kind;
    bool direct2d;
    TTVCanvasClass expected;
  } cases[] = {
      {gkGDI, gkUnknown, true, TTVCanvasGDI::ClassRef()},
      {gkGDIPlus, gkUnknown, true, TTVCanvasGDIPlus::ClassRef()},
      {gkGDI, gkDefault, true, TTVCanvasD2D::ClassRef()},
      {gkGDI, gkDefault, false, TTVCanvasGDIPlus::ClassRef()},
      {gkGDI, gkD2D, false, TTVCanvasGDI::ClassRef()},
      {gkGDIPlus, gkD2D, true, TTVCanvasD2D::ClassRef()},
      {gkD2D, gkGDIPlus, true, TTVCanvasGDIPlus::ClassRef()},
      {gkD2D, gkGDI, true, TTVCanvasGDI::ClassRef()},
  };
  for (const Case& c : cases) {
    Supported(true);
    InitGraphicsKind(c.before);
    Supported(c.direct2d);
    InitGraphicsKind(c.kind);
    EXPECT_EQ(TVCanvasClass(), c.expected) << int(c.before) << " -> " << int(c.kind);
  }
  EXPECT_EQ(GraphicsKindFromCommandLine(std::vector<std::string>{"/graphics", "gdi+"}), gkGDIPlus);
  EXPECT_EQ(GraphicsKindFromCommandLine(std::vector<std::string>{}), gkUnknown);
}

TEST_F(Selection, SurfacesKeepTheClassTheyWereMadeWith) {
  platform::TPixelImage image(4, 4);
  platform::TCanvas canvas(image);
  InitGraphicsKind(gkGDI);
  auto s = TVCanvasClass().Create(canvas, {0, 0, 4, 4}, false);
  InitGraphicsKind(gkGDIPlus);
  EXPECT_EQ(s->ClassType(), TTVCanvasGDI::ClassRef());
  EXPECT_EQ(TVCanvasClass().Create(canvas, {0, 0, 4, 4}, false)->ClassType(),
            TTVCanvasGDIPlus::ClassRef());
}

}  // namespace
}  // namespace tarvo::drawtest
