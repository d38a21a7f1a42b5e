// A chart-like frame of 1920 x 1080 pixels (2,000 rectangles, 2,000 lines,
// 500 short texts) drawn through each drawing back end, against Cairo and
// Pango drawing the same shapes directly in the same run; and a full-frame
// fill through each back end against std::fill of the same pixels (the floor).
// Target: every back end at most 1.5 times its reference.
//
// Run: build/default/bin/draw_bench
#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench/RatioReporter.h"
#include "draw/tvCanvasD2D.h"
#include "draw/tvCanvasGDI.h"
#include "draw/tvCanvasGDIPluse.h"
#include "draw/tvDrawing.h"
#include "platform/gfx/Canvas.h"

namespace {

using tarvo::TColor;

constexpr int kWidth = 1920, kHeight = 1080;

struct Scene {
  struct Box {
    int l, t, r, b;
    TColor fill;
  };
  struct Segment {
    int x1, y1, x2, y2;
    TColor color;
  };
  struct Label {
    int x, y;
    std::string text;
  };
  std::vector<Box> boxes;
  std::vector<Segment> lines;
  std::vector<Label> labels;

  Scene() {
    std::mt19937 rng(20240611);
    auto uni = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    auto colour = [&] { return static_cast<TColor>(uni(0, 0xFFFFFF)); };
    // Candle bodies and bars: small rectangles.
    for (int i = 0; i < 2000; ++i) {
      const int x = uni(0, kWidth - 40), y = uni(0, kHeight - 60);
      boxes.push_back({x, y, x + uni(3, 40), y + uni(3, 60), colour()});
    }
    // Grid lines, wicks and a price line: a third horizontal, a third
    // vertical, a third diagonal.
    for (int i = 0; i < 2000; ++i) {
      const int x = uni(0, kWidth - 1), y = uni(0, kHeight - 1), len = uni(10, 300);
      switch (i % 3) {
        case 0:
          lines.push_back({x, y, std::min(x + len, kWidth - 1), y, colour()});
          break;
        case 1:
          lines.push_back({x, y, x, std::min(y + len, kHeight - 1), colour()});
          break;
        default:
          lines.push_back(
              {x, y, std::min(x + len, kWidth - 1), std::min(y + len / 2, kHeight - 1), colour()});
          break;
      }
    }
    for (int i = 0; i < 500; ++i)
      labels.push_back({uni(0, kWidth - 80), uni(0, kHeight - 20),
                        std::to_string(uni(100, 99999)) + "." + std::to_string(uni(10, 99))});
  }
};

const Scene& TheScene() {
  static const Scene scene;
  return scene;
}

double R(TColor c) {
  return (c & 0xFF) / 255.0;
}
double G(TColor c) {
  return ((c >> 8) & 0xFF) / 255.0;
}
double B(TColor c) {
  return ((c >> 16) & 0xFF) / 255.0;
}

// The reference: the same frame straight through Cairo and Pango, with the
// choices a careful direct user makes (crisp one-pixel strokes on pixel
// centres, antialiasing only for diagonals, one layout reused for every text).
void BM_CairoFrame(benchmark::State& state) {
  const Scene& scene = TheScene();
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, kWidth, kHeight);
  PangoFontMap* map = pango_cairo_font_map_get_default();
  PangoContext* context = pango_font_map_create_context(map);
  pango_cairo_context_set_resolution(context, 96);
  PangoLayout* layout = pango_layout_new(context);
  PangoFontDescription* font = pango_font_description_from_string("Tahoma");
  pango_font_description_set_absolute_size(font, 11 * PANGO_SCALE);
  pango_layout_set_font_description(layout, font);
  for (auto _ : state) {
    cairo_t* cr = cairo_create(surface);
    cairo_set_line_width(cr, 1);
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    for (const auto& b : scene.boxes) {
      cairo_set_source_rgb(cr, R(b.fill), G(b.fill), B(b.fill));
      cairo_rectangle(cr, b.l, b.t, b.r - b.l, b.b - b.t);
      cairo_fill(cr);
      cairo_set_source_rgb(cr, 0, 0, 0);
      cairo_rectangle(cr, b.l + 0.5, b.t + 0.5, b.r - b.l - 1, b.b - b.t - 1);
      cairo_stroke(cr);
    }
    for (const auto& l : scene.lines) {
      const bool diagonal = l.x1 != l.x2 && l.y1 != l.y2;
      cairo_set_antialias(cr, diagonal ? CAIRO_ANTIALIAS_DEFAULT : CAIRO_ANTIALIAS_NONE);
      cairo_set_source_rgb(cr, R(l.color), G(l.color), B(l.color));
      cairo_move_to(cr, l.x1 + 0.5, l.y1 + 0.5);
      cairo_line_to(cr, l.x2 + 0.5, l.y2 + 0.5);
      cairo_stroke(cr);
    }
    cairo_set_source_rgb(cr, 0, 0, 0);
    for (const auto& t : scene.labels) {
      pango_layout_set_text(layout, t.text.data(), static_cast<int>(t.text.size()));
      cairo_move_to(cr, t.x, t.y);
      pango_cairo_show_layout(cr, layout);
    }
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    benchmark::DoNotOptimize(cairo_image_surface_get_data(surface));
  }
  pango_font_description_free(font);
  g_object_unref(layout);
  g_object_unref(context);
  cairo_surface_destroy(surface);
}
BENCHMARK(BM_CairoFrame)->Unit(benchmark::kMillisecond);

void SurfaceFrame(benchmark::State& state, const tarvo::TTVCanvasClass& cls) {
  const Scene& scene = TheScene();
  tarvo::platform::TPixelImage image(kWidth, kHeight);
  tarvo::platform::TCanvas canvas(image);
  const tarvo::TRect all{0, 0, kWidth, kHeight};
  for (auto _ : state) {
    auto s = cls.Create(canvas, all, false);
    s->BeginDraw();
    s->InitPen(0, 1, tarvo::psSolid);
    for (const auto& b : scene.boxes) {
      s->InitBrush(b.fill);
      s->Rectangle({b.l, b.t, b.r, b.b});
    }
    for (const auto& l : scene.lines) {
      s->InitPen(l.color, 1, tarvo::psSolid);
      s->Line(l.x1, l.y1, l.x2, l.y2);
    }
    s->SetFont(8, 0);
    for (const auto& t : scene.labels) s->TextOut(t.x, t.y, t.text);
    s->EndDraw();
    benchmark::DoNotOptimize(image.Row(0));
  }
}

void BM_GDIFrame(benchmark::State& state) {
  SurfaceFrame(state, tarvo::TTVCanvasGDI::ClassRef());
}
void BM_GDIPlusFrame(benchmark::State& state) {
  SurfaceFrame(state, tarvo::TTVCanvasGDIPlus::ClassRef());
}
void BM_D2DFrame(benchmark::State& state) {
  SurfaceFrame(state, tarvo::TTVCanvasD2D::ClassRef());
}
BENCHMARK(BM_GDIFrame)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GDIPlusFrame)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_D2DFrame)->Unit(benchmark::kMillisecond);

// --- full-frame fill ----------------------------------------------------------------------

void BM_StdFill(benchmark::State& state) {
  std::vector<std::uint32_t> pixels(static_cast<size_t>(kWidth) * kHeight);
  std::uint32_t v = 0;
  for (auto _ : state) {
    std::fill(pixels.begin(), pixels.end(), ++v);
    benchmark::DoNotOptimize(pixels.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_StdFill)->Unit(benchmark::kMicrosecond);

void SurfaceFill(benchmark::State& state, const tarvo::TTVCanvasClass& cls) {
  tarvo::platform::TPixelImage image(kWidth, kHeight);
  tarvo::platform::TCanvas canvas(image);
  const tarvo::TRect all{0, 0, kWidth, kHeight};
  auto s = cls.Create(canvas, all, false);
  s->BeginDraw();
  TColor c = 0;
  for (auto _ : state) {
    s->InitBrush(++c & 0xFFFFFF);
    s->FillRect(all);
    benchmark::DoNotOptimize(image.Row(0));
    benchmark::ClobberMemory();
  }
  s->EndDraw();
}

void BM_GDIFill(benchmark::State& state) {
  SurfaceFill(state, tarvo::TTVCanvasGDI::ClassRef());
}
void BM_GDIPlusFill(benchmark::State& state) {
  SurfaceFill(state, tarvo::TTVCanvasGDIPlus::ClassRef());
}
void BM_D2DFill(benchmark::State& state) {
  SurfaceFill(state, tarvo::TTVCanvasD2D::ClassRef());
}
BENCHMARK(BM_GDIFill)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GDIPlusFill)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_D2DFill)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  // The toolkit's own faces, as the tests use, so both sides shape the same fonts.
  setenv("FONTCONFIG_FILE", TARVO_FONTS_CONF, 0);
  return tarvo::bench::RunWithRatios(argc, argv,
                                     {{"BM_GDIFrame", "BM_CairoFrame"},
                                      {"BM_GDIPlusFrame", "BM_CairoFrame"},
                                      {"BM_D2DFrame", "BM_CairoFrame"},
                                      {"BM_GDIFill", "BM_StdFill"},
                                      {"BM_GDIPlusFill", "BM_StdFill"},
                                      {"BM_D2DFill", "BM_StdFill"}});
}
