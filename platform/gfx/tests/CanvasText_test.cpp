// Text layout shared by the raw canvas and the vector context: the pinned
// faces, wrapping, hot-key prefixes and ellipses.
#include <gtest/gtest.h>

#include "platform/gfx/CanvasGraphics.h"
#include "testing/Pixels.h"

namespace {

using namespace tarvo::platform;

class CanvasText : public ::testing::Test {
 protected:
  void SetUp() override { tarvo::testing::PinFonts(); }

  static TFontSpec Font(std::string name, double px = 12) {
    TFontSpec f;
    f.Name = std::move(name);
    f.PixelSize = px;
    return f;
  }
  static double Width(const TFontSpec& f, std::string_view text) {
    return MeasureText(f, text, {}, std::nullopt).Width;
  }
};

TEST_F(CanvasText, DesktopFaceNamesResolveToThePinnedFonts) {
  // The proportional faces all measure as DejaVu Sans, the fixed-pitch ones
  // as DejaVu Sans Mono (every character equally wide).
  const std::string sample = "Quarterly volume 1,234.50";
  const double sans = Width(Font("DejaVu Sans"), sample);
  for (const char* face : {"MS Sans Serif", "Tahoma", "Arial", "Segoe UI", "No Such Face"})
    EXPECT_EQ(Width(Font(face), sample), sans) << face;
  const TFontSpec mono = Font("Courier New");
  EXPECT_EQ(Width(mono, "iiii"), Width(mono, "WWWW"));
  EXPECT_EQ(Width(mono, "iiii"), Width(Font("DejaVu Sans Mono"), "iiii"));
  EXPECT_NE(Width(Font("Tahoma"), "iiii"), Width(Font("Tahoma"), "WWWW"));
}

TEST_F(CanvasText, WrappingBreaksAtWordsAndLineFeeds) {
  const TFontSpec f = Font("Tahoma");
  TTextOptions wrap;
  wrap.WordWrap = true;
  const TTextMeasure one = MeasureText(f, "alpha beta gamma", wrap, 1000);
  EXPECT_EQ(one.Lines, 1);
  const TTextMeasure three = MeasureText(f, "alpha beta gamma", wrap, Width(f, "gamma") + 1);
  EXPECT_EQ(three.Lines, 3);
  EXPECT_EQ(three.Shown, "alpha\nbeta\ngamma");
  EXPECT_DOUBLE_EQ(three.Height, 3 * one.Height);
  // A word longer than the box is not broken.
  EXPECT_EQ(MeasureText(f, "Supercalifragilistic", wrap, 10).Lines, 1);
  // Line feeds break unless the text is one line.
  EXPECT_EQ(MeasureText(f, "a\r\nb\nc", {}, std::nullopt).Lines, 3);
  TTextOptions single;
  single.SingleLine = true;
  EXPECT_EQ(MeasureText(f, "a\r\nb", single, std::nullopt).Shown, "a  b");
}

TEST_F(CanvasText, PrefixesAndEllipses) {
  const TFontSpec f = Font("Tahoma");
  TTextOptions show;
  show.Prefix = hkShow;
  EXPECT_EQ(MeasureText(f, "&Save && &Exit", show, std::nullopt).Shown, "Save & Exit");
  EXPECT_EQ(MeasureText(f, "&Save", {}, std::nullopt).Shown, "&Save");
  EXPECT_EQ(MeasureText(f, "ends with &", show, std::nullopt).Shown, "ends with ");

  TTextOptions end;
  end.Trimming = ttEllipsisEnd;
  const std::string text = "The quick brown fox jumps";
  const double box = Width(f, "The quick b...") + 0.5;
  const TTextMeasure m = MeasureText(f, text, end, box);
  EXPECT_EQ(m.Shown, "The quick b...");
  EXPECT_LE(m.Width, box);
  TTextOptions word = end;
  word.Trimming = ttEllipsisWord;
  EXPECT_EQ(MeasureText(f, text, word, box).Shown, "The quick...");
  // A text that fits is left alone.
  EXPECT_EQ(MeasureText(f, "The", end, box).Shown, "The");
  // Wrapped and limited in height: the last line that fits takes the ellipsis.
  TTextOptions wrapped = end;
  wrapped.WordWrap = true;
  const double line = MeasureText(f, "x", {}, std::nullopt).Height;
  const TTextMeasure cut = MeasureText(f, text, wrapped, Width(f, "quick brown") + 1, 2 * line);
  EXPECT_EQ(cut.Lines, 2);
  EXPECT_EQ(cut.Shown.substr(cut.Shown.size() - 3), "...");
}

}  // namespace
