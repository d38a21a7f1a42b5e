#include "testing/Pixels.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>

#include "platform/core/Files.h"
#include "testing/Sandbox.h"

// Pango's font map matches fonts on a worker thread of its own and keeps some
// of the fontconfig patterns it made there beyond the map's end; a test that
// shapes text must not fail the leak check for that. (Without frame pointers
// in fontconfig the quick unwinder stops inside it, hence both names; the
// toolkit calls fontconfig only through Pango.)
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libpangoft2-1.0.so\nleak:libfontconfig.so\n";
}

// The same font map initialises fontconfig on that thread and hands the
// results over through glib's own locks, which the race detector cannot see.
extern "C" __attribute__((used, visibility("default"))) const char* __tsan_default_suppressions() {
  return "race:libfontconfig.so\n"
         "race:libpangoft2-1.0.so\n"
         "race:libpango-1.0.so\n"
         "race:libglib-2.0.so\n";
}

namespace tarvo::testing {

bool PinFonts() {
  static const bool pinned = [] {
    const std::string conf = SourcePath("platform/gfx/fonts/fonts.conf");
    if (!platform::FileExists(conf)) return false;
    return ::setenv("FONTCONFIG_FILE", conf.c_str(), 1) == 0;
  }();
  if (!pinned)
    ADD_FAILURE() << "cannot pin the fonts to " << SourcePath("platform/gfx/fonts/fonts.conf");
  return pinned;
}

std::string ColorName(TColor c) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "#%02X%02X%02X", Red(c), Green(c), Blue(c));
  return buf;
}

namespace {

platform::TRect Clipped(const platform::TPixelImage& image, const platform::TRect& r) {
  return platform::Intersection(r, image.Bounds());
}

int Delta(TColor a, TColor b) {
  return std::max(
      {std::abs(Red(a) - Red(b)), std::abs(Green(a) - Green(b)), std::abs(Blue(a) - Blue(b))});
}

}  // namespace

::testing::AssertionResult PixelIs(const platform::TPixelImage& image, int x, int y, TColor color,
                                   int tolerance) {
  const TColor p = image.Pixel(x, y);
  if (p == platform::CLR_INVALID)
    return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") is outside the "
                                         << image.Width() << " x " << image.Height() << " image";
  if (Delta(p, color) <= tolerance) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "pixel (" << x << ", " << y << ") is " << ColorName(p) << ", expected "
         << ColorName(color) << (tolerance ? " within " + std::to_string(tolerance) : "");
}

::testing::AssertionResult RegionIs(const platform::TPixelImage& image, const platform::TRect& rect,
                                    TColor color) {
  const platform::TRect r = Clipped(image, rect);
  int bad = 0;
  std::ostringstream first;
  for (int y = r.Top; y < r.Bottom; ++y)
    for (int x = r.Left; x < r.Right; ++x) {
      const TColor p = image.Pixel(x, y);
      if (p == color) continue;
      if (bad < 5) first << " (" << x << ", " << y << ") " << ColorName(p);
      ++bad;
    }
  if (!bad) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << bad << " pixels of (" << r.Left << ", " << r.Top << ", " << r.Right << ", " << r.Bottom
         << ") are not " << ColorName(color) << ":" << first.str();
}

std::set<TColor> ColorsIn(const platform::TPixelImage& image, const platform::TRect& rect) {
  const platform::TRect r = Clipped(image, rect);
  std::set<TColor> colors;
  for (int y = r.Top; y < r.Bottom; ++y)
    for (int x = r.Left; x < r.Right; ++x) colors.insert(image.Pixel(x, y));
  return colors;
}

int CountColor(const platform::TPixelImage& image, const platform::TRect& rect, TColor color) {
  const platform::TRect r = Clipped(image, rect);
  int n = 0;
  for (int y = r.Top; y < r.Bottom; ++y)
    for (int x = r.Left; x < r.Right; ++x) n += image.Pixel(x, y) == color;
  return n;
}

bool IsBetween(TColor c, TColor a, TColor b) {
  bool strictly = false;
  const int cs[3] = {Red(c), Green(c), Blue(c)}, as[3] = {Red(a), Green(a), Blue(a)},
            bs[3] = {Red(b), Green(b), Blue(b)};
  for (int i = 0; i < 3; ++i) {
    const int lo = std::min(as[i], bs[i]), hi = std::max(as[i], bs[i]);
    if (cs[i] < lo || cs[i] > hi) return false;
    if (cs[i] > lo && cs[i] < hi) strictly = true;
  }
  return strictly;
}

::testing::AssertionResult MatchesReference(const platform::TPixelImage& image,
                                            std::string_view referencePath, int tolerance,
                                            int maxDiffering) {
  const std::string ref = SourcePath(referencePath);
  const char* update = std::getenv("TARVO_UPDATE_REFERENCES");
  if (update && std::string_view(update) == "1") {
    platform::ForceDirectories(platform::ExtractFilePath(ref));
    if (!image.SavePNG(ref))
      return ::testing::AssertionFailure() << "cannot write the reference " << ref;
    return ::testing::AssertionSuccess() << "reference " << ref << " written";
  }

  const std::string name =
      platform::ChangeFileExt(platform::ExtractFileName(std::string(referencePath)), "");
  const std::string outDir = BinaryPath("pixel-diffs");
  auto keepActual = [&] {
    platform::ForceDirectories(outDir);
    const std::string path = platform::JoinPath(outDir, name + ".actual.png");
    image.SavePNG(path);
    return path;
  };

  std::unique_ptr<platform::TPixelImage> expected;
  try {
    expected = platform::TPixelImage::LoadPNG(ref);
  } catch (const platform::ECanvasError& e) {
    return ::testing::AssertionFailure()
           << "no usable reference " << ref << " (" << e.what() << "); actual image in "
           << keepActual() << "; run with TARVO_UPDATE_REFERENCES=1 to create it";
  }
  if (expected->Width() != image.Width() || expected->Height() != image.Height())
    return ::testing::AssertionFailure()
           << "size " << image.Width() << " x " << image.Height() << " differs from the "
           << expected->Width() << " x " << expected->Height() << " of " << ref
           << "; actual image in " << keepActual();

  int differing = 0, worst = 0;
  platform::TPixelImage diff(image.Width(), image.Height());
  for (int y = 0; y < image.Height(); ++y)
    for (int x = 0; x < image.Width(); ++x) {
      const TColor a = image.Pixel(x, y), e = expected->Pixel(x, y);
      const int d = Delta(a, e);
      worst = std::max(worst, d);
      if (d > tolerance) {
        ++differing;
        diff.SetPixel(x, y, RGB(255, 0, 0));
      } else {
        const int grey = 192 + (Red(a) + Green(a) + Blue(a)) / 12;
        diff.SetPixel(x, y, RGB(grey, grey, grey));
      }
    }
  if (differing <= maxDiffering) return ::testing::AssertionSuccess();
  platform::ForceDirectories(outDir);
  const std::string diffPath = platform::JoinPath(outDir, name + ".diff.png");
  diff.SavePNG(diffPath);
  return ::testing::AssertionFailure()
         << differing << " pixels differ from " << ref << " by more than " << tolerance
         << " (worst " << worst << "); actual image in " << keepActual() << ", differences in "
         << diffPath;
}

}  // namespace tarvo::testing
