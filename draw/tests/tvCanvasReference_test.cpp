// Whole pictures per back end, compared with reviewed reference images in
// draw/tests/ref/ with a tolerance (rendering engines of other versions may
// place an edge or a glyph pixel differently). A failure leaves the actual
// and a difference image in <build>/bin/pixel-diffs/.
#include <gtest/gtest.h>

#include "draw/tests/SurfaceFixture.h"

namespace tarvo::drawtest {
namespace {

class Reference : public ::testing::TestWithParam<BackEnd> {
 protected:
  void SetUp() override {
    tarvo::testing::PinFonts();
    image.Fill(kWhite);
    surface = GetParam().Class.Create(canvas, image.Bounds(), false);
    surface->BeginDraw();
  }

  std::string Path(const char* scene) const {
    return "draw/tests/ref/" + GetParam().Name + "_" + scene + ".png";
  }

  platform::TPixelImage image{64, 40};
  platform::TCanvas canvas{image};
  std::unique_ptr<TTVCustomCanvas> surface;
};

TEST_P(Reference, Shapes) {
  TTVCustomCanvas& s = *surface;
  s.InitPen(kBlack, 1, psSolid);
  s.InitBrush(0xFFCC99);
  s.Rectangle({2, 2, 20, 14});
  s.InitPen(kRed, 2, psSolid);
  s.Ellipse({22, 2, 44, 18});
  s.InitPen(0x008000, 1, psDot);
  s.Line(2, 21, 62, 21);
  s.InitPen(kBlue, 1, psSolid);
  s.InitBrushAlpha(0x00CCFF, 128);
  s.RoundRect(40, 10, 62, 30, 8, 8);
  s.InitPen(kBlack, 1, psSolid);
  s.InitBrush(0x80FF80);
  s.Polygon(std::vector<TPoint>{{4, 38}, {14, 25}, {24, 38}});
  s.Curve(TPolyline{4, {{26, 38}, {32, 26}, {38, 36}, {46, 28}}});
  s.Line(48, 38, 62, 32);
  s.EndDraw();
  EXPECT_TRUE(tarvo::testing::MatchesReference(image, Path("shapes"), 40, 16));
}

TEST_P(Reference, Text) {
  TTVCustomCanvas& s = *surface;
  TFont font;
  font.SetSize(8);
  font.Color = kBlack;
  s.AssignFont(font);
  s.TextOut(2, 1, "Bid 12.5");
  s.InitBrush(0xE0E0E0);
  TRect r{2, 14, 62, 39};
  std::string text = "&Ask price wraps";
  s.TextRect(r, text, TextFormat({tfWordBreak, tfCenter}));
  s.EndDraw();
  EXPECT_TRUE(tarvo::testing::MatchesReference(image, Path("text"), 48, 120));
}

INSTANTIATE_TEST_SUITE_P(Drawing, Reference, ::testing::ValuesIn(AllBackEnds()), BackEndName);

}  // namespace
}  // namespace tarvo::drawtest
