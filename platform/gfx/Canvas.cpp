// The raw canvas. Cairo draws curves, wide lines and text; the pixel loops
// here do everything that must be exact to the pixel or that Cairo cannot do
// (bitwise xor, 8x8 patterns, block copies, the desktop's one-pixel lines and
// rectangle edges). All geometry is turned into device coordinates in 64 bits
// before it reaches either, and cut to the image and the clip.
#include "platform/gfx/Canvas.h"

#include <pixman.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <utility>
#include <vector>

#include "platform/core/Files.h"
#include "platform/gfx/CanvasEngine.h"

namespace tarvo::platform {

// --- engine helpers shared with the vector context ------------------------------

cairo_t* RecoverContext(cairo_t* cr) {
  if (cairo_status(cr) == CAIRO_STATUS_SUCCESS) return cr;
  cairo_surface_t* target = cairo_surface_reference(cairo_get_target(cr));
  cairo_destroy(cr);
  cairo_t* fresh = cairo_create(target);
  cairo_surface_destroy(target);
  return fresh;
}

void AppendEllipse(cairo_t* cr, double cx, double cy, double rx, double ry) {
  constexpr double k = 0.5522847498307936;  // 4/3 (sqrt(2) - 1): a quarter circle as one Bezier
  rx = std::max(rx, 0.0);
  ry = std::max(ry, 0.0);
  cairo_move_to(cr, cx + rx, cy);
  cairo_curve_to(cr, cx + rx, cy + k * ry, cx + k * rx, cy + ry, cx, cy + ry);
  cairo_curve_to(cr, cx - k * rx, cy + ry, cx - rx, cy + k * ry, cx - rx, cy);
  cairo_curve_to(cr, cx - rx, cy - k * ry, cx - k * rx, cy - ry, cx, cy - ry);
  cairo_curve_to(cr, cx + k * rx, cy - ry, cx + rx, cy - k * ry, cx + rx, cy);
  cairo_close_path(cr);
}

void AppendEllipticArc(cairo_t* cr, double cx, double cy, double rx, double ry, double a0,
                       double a1) {
  rx = std::max(rx, 0.0);
  ry = std::max(ry, 0.0);
  const double x0 = cx + rx * std::cos(a0), y0 = cy + ry * std::sin(a0);
  if (cairo_has_current_point(cr))
    cairo_line_to(cr, x0, y0);
  else
    cairo_move_to(cr, x0, y0);
  const double sweep = a1 - a0;
  if (!std::isfinite(sweep) || sweep == 0) return;
  const int n = std::clamp(
      static_cast<int>(std::ceil(std::abs(sweep) / (std::numbers::pi / 2) - 1e-9)), 1, 8);
  const double step = sweep / n;
  const double alpha = 4.0 / 3.0 * std::tan(step / 4);
  double t = a0;
  for (int i = 0; i < n; ++i) {
    const double t1 = t + step;
    const double c0 = std::cos(t), s0 = std::sin(t), c1 = std::cos(t1), s1 = std::sin(t1);
    cairo_curve_to(cr, cx + rx * (c0 - alpha * s0), cy + ry * (s0 + alpha * c0),
                   cx + rx * (c1 + alpha * s1), cy + ry * (s1 - alpha * c1), cx + rx * c1,
                   cy + ry * s1);
    t = t1;
  }
}

// --- pixel image -----------------------------------------------------------------

TPixelImage::TPixelImage(int width, int height) {
  if (width < 0 || height < 0 || width > MaxImageSide || height > MaxImageSide)
    throw std::invalid_argument("pixel image size out of range: " + std::to_string(width) + " x " +
                                std::to_string(height));
  fWidth = width;
  fHeight = height;
  if (width == 0 || height == 0) return;
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(s);
    throw ECanvasError("cannot allocate a pixel image of " + std::to_string(width) + " x " +
                       std::to_string(height));
  }
  fSurface = s;
}

TPixelImage::~TPixelImage() {
  if (fSurface) cairo_surface_destroy(static_cast<cairo_surface_t*>(fSurface));
}

std::uint32_t* TPixelImage::Row(int y) noexcept {
  auto* s = static_cast<cairo_surface_t*>(fSurface);
  return reinterpret_cast<std::uint32_t*>(cairo_image_surface_get_data(s) +
                                          static_cast<ptrdiff_t>(y) *
                                              cairo_image_surface_get_stride(s));
}

const std::uint32_t* TPixelImage::Row(int y) const noexcept {
  return const_cast<TPixelImage*>(this)->Row(y);
}

int TPixelImage::Stride() const noexcept {
  return fSurface ? cairo_image_surface_get_stride(static_cast<cairo_surface_t*>(fSurface)) : 0;
}

void TPixelImage::Changed() noexcept {
  if (fSurface) cairo_surface_mark_dirty(static_cast<cairo_surface_t*>(fSurface));
}

TColor TPixelImage::Pixel(int x, int y) const noexcept {
  if (x < 0 || y < 0 || x >= fWidth || y >= fHeight) return CLR_INVALID;
  cairo_surface_flush(static_cast<cairo_surface_t*>(fSurface));
  return FromPixel(Row(y)[x]);
}

void TPixelImage::SetPixel(int x, int y, TColor color) noexcept {
  if (x < 0 || y < 0 || x >= fWidth || y >= fHeight) return;
  cairo_surface_flush(static_cast<cairo_surface_t*>(fSurface));
  Row(y)[x] = ToPixel(color);
  Changed();
}

void TPixelImage::Fill(TColor color) noexcept {
  if (!fSurface) return;
  cairo_surface_flush(static_cast<cairo_surface_t*>(fSurface));
  const std::uint32_t p = ToPixel(color);
  for (int y = 0; y < fHeight; ++y) std::fill_n(Row(y), fWidth, p);
  Changed();
}

std::unique_ptr<TPixelImage> TPixelImage::Clone() const {
  auto copy = std::make_unique<TPixelImage>(fWidth, fHeight);
  if (fSurface) {
    cairo_surface_flush(static_cast<cairo_surface_t*>(fSurface));
    for (int y = 0; y < fHeight; ++y)
      std::memcpy(copy->Row(y), Row(y), sizeof(std::uint32_t) * fWidth);
    copy->Changed();
  }
  return copy;
}

namespace {

cairo_status_t AppendBytes(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

struct ReadCursor {
  std::string_view bytes;
  size_t at = 0;
};

cairo_status_t ReadBytes(void* closure, unsigned char* data, unsigned int length) {
  auto* c = static_cast<ReadCursor*>(closure);
  if (c->bytes.size() - c->at < length) return CAIRO_STATUS_READ_ERROR;
  std::memcpy(data, c->bytes.data() + c->at, length);
  c->at += length;
  return CAIRO_STATUS_SUCCESS;
}

std::uint32_t BigEndian32(std::string_view b, size_t at) {
  return (std::uint32_t{static_cast<unsigned char>(b[at])} << 24) |
         (std::uint32_t{static_cast<unsigned char>(b[at + 1])} << 16) |
         (std::uint32_t{static_cast<unsigned char>(b[at + 2])} << 8) |
         std::uint32_t{static_cast<unsigned char>(b[at + 3])};
}

}  // namespace

std::string TPixelImage::EncodePNG(std::optional<TColor> transparentColor) const {
  std::string out;
  // PNG has no form for an image without pixels.
  if (fWidth == 0 || fHeight == 0) throw ECanvasError("an empty image cannot be encoded as PNG");
  const int w = fWidth, h = fHeight;
  cairo_surface_t* s =
      cairo_image_surface_create(transparentColor ? CAIRO_FORMAT_ARGB32 : CAIRO_FORMAT_RGB24, w, h);
  if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(s);
    throw ECanvasError("cannot encode the image");
  }
  cairo_surface_flush(s);
  unsigned char* data = cairo_image_surface_get_data(s);
  const int stride = cairo_image_surface_get_stride(s);
  const std::uint32_t key = transparentColor ? ToPixel(*transparentColor) : 0;
  {
    cairo_surface_flush(static_cast<cairo_surface_t*>(fSurface));
    for (int y = 0; y < fHeight; ++y) {
      auto* dst = reinterpret_cast<std::uint32_t*>(data + static_cast<ptrdiff_t>(y) * stride);
      const std::uint32_t* src = Row(y);
      for (int x = 0; x < fWidth; ++x) {
        const std::uint32_t p = src[x] & 0xFFFFFF;
        dst[x] = transparentColor && p == key ? 0 : (p | 0xFF000000u);
      }
    }
  }
  cairo_surface_mark_dirty(s);
  const cairo_status_t st = cairo_surface_write_to_png_stream(s, AppendBytes, &out);
  cairo_surface_destroy(s);
  if (st != CAIRO_STATUS_SUCCESS) throw ECanvasError("cannot encode the image as PNG");
  return out;
}

std::unique_ptr<TPixelImage> TPixelImage::DecodePNG(std::string_view bytes) {
  // Check the header ourselves first: the size decides how much memory the
  // decoder asks for, and it comes from the file.
  static constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (bytes.size() < 33 || std::memcmp(bytes.data(), kSignature, 8) != 0 ||
      bytes.substr(12, 4) != "IHDR")
    throw ECanvasError("not a PNG image");
  const std::uint32_t w = BigEndian32(bytes, 16), h = BigEndian32(bytes, 20);
  if (w == 0 || h == 0 || w > static_cast<std::uint32_t>(MaxImageSide) ||
      h > static_cast<std::uint32_t>(MaxImageSide))
    throw ECanvasError("PNG image size out of range: " + std::to_string(w) + " x " +
                       std::to_string(h));
  ReadCursor cursor{bytes};
  cairo_surface_t* png = cairo_image_surface_create_from_png_stream(ReadBytes, &cursor);
  if (cairo_surface_status(png) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(png);
    throw ECanvasError("damaged PNG image");
  }
  const int iw = cairo_image_surface_get_width(png), ih = cairo_image_surface_get_height(png);
  std::unique_ptr<TPixelImage> image;
  try {
    image = std::make_unique<TPixelImage>(iw, ih);
  } catch (...) {
    cairo_surface_destroy(png);
    throw;
  }
  cairo_t* cr = cairo_create(CanvasAccess::Surface(*image));
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_set_source_surface(cr, png, 0, 0);
  cairo_paint(cr);
  cairo_destroy(cr);
  cairo_surface_destroy(png);
  return image;
}

bool TPixelImage::SavePNG(const std::string& path) const {
  return WriteFileAtomic(path, EncodePNG());
}

std::unique_ptr<TPixelImage> TPixelImage::LoadPNG(const std::string& path) {
  const std::optional<std::string> bytes = ReadFileBytes(path);
  if (!bytes) throw ECanvasError("cannot read " + path);
  return DecodePNG(*bytes);
}

// --- font --------------------------------------------------------------------------

namespace {
// a * b / c rounded half away from zero, as the desktop's MulDiv.
int MulDiv(std::int64_t a, std::int64_t b, std::int64_t c) {
  const std::int64_t n = a * b;
  const std::int64_t q = (std::abs(n) * 2 + std::abs(c)) / (2 * std::abs(c));
  return SaturateInt(((n < 0) != (c < 0)) ? -q : q);
}
}  // namespace

int TFont::Size() const noexcept {
  return -MulDiv(Height, 72, PixelsPerInch);
}
void TFont::SetSize(int points) noexcept {
  Height = -MulDiv(points, PixelsPerInch, 72);
}

// --- canvas ------------------------------------------------------------------------

namespace {

struct I64Point {
  std::int64_t X, Y;
};

struct I64Rect {
  std::int64_t Left, Top, Right, Bottom;
  bool Empty() const { return Right <= Left || Bottom <= Top; }
};

I64Rect Meet(const I64Rect& a, const TRect& b) {
  return {std::max<std::int64_t>(a.Left, b.Left), std::max<std::int64_t>(a.Top, b.Top),
          std::min<std::int64_t>(a.Right, b.Right), std::min<std::int64_t>(a.Bottom, b.Bottom)};
}

// How covered pixels are painted: the source is a colour or an 8x8 pattern
// (whose clear bits are a colour or untouched), combined by the pen mode.
struct PaintSpec {
  TPenMode Mode = pmCopy;
  std::uint32_t Color = 0;
  bool Patterned = false;
  std::array<std::uint8_t, 8> Rows{};
  bool BackOpaque = false;
  std::uint32_t Back = 0;

  bool IsPlainCopy() const { return Mode == pmCopy && !Patterned; }

  // The source pixel at device (x, y); false when the pattern leaves it untouched.
  bool Source(std::int64_t x, std::int64_t y, std::uint32_t& s) const {
    if (!Patterned) {
      s = Color;
      return true;
    }
    if ((Rows[static_cast<size_t>(y & 7)] >> (7 - (x & 7))) & 1) {
      s = Color;
      return true;
    }
    s = Back;
    return BackOpaque;
  }

  void Apply(std::uint32_t& d, std::uint32_t s) const {
    switch (Mode) {
      case pmCopy:
        d = s;
        break;
      case pmXor:
        d ^= (s & 0xFFFFFF);
        break;
      case pmNot:
        d ^= 0xFFFFFF;
        break;
      case pmNotXor:
        d ^= (~s & 0xFFFFFF);
        break;
    }
  }

  void At(std::uint32_t* row, std::int64_t x, std::int64_t y) const {
    std::uint32_t s;
    if (Source(x, y, s)) Apply(row[x], s);
  }
};

constexpr std::array<std::array<std::uint8_t, 8>, 6> kHatches = {{
    {0xFF, 0, 0, 0, 0, 0, 0, 0},                       // horizontal
    {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80},  // vertical
    {0x80, 0x40, 0x20, 0x10, 0x08, 0x04, 0x02, 0x01},  // forward diagonal
    {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80},  // backward diagonal
    {0xFF, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80},  // cross
    {0x81, 0x42, 0x24, 0x18, 0x18, 0x24, 0x42, 0x81},  // diagonal cross
}};

// Style runs of one-pixel lines: on, off, on, off, ...
std::span<const int> StyleRuns(TPenStyle style) {
  static constexpr int dash[] = {18, 6}, dot[] = {3, 3}, dashDot[] = {9, 6, 3, 6},
                       dashDotDot[] = {9, 3, 3, 3, 3, 3}, alternate[] = {1, 1};
  switch (style) {
    case psDash:
      return dash;
    case psDot:
      return dot;
    case psDashDot:
      return dashDot;
    case psDashDotDot:
      return dashDotDot;
    case psAlternate:
      return alternate;
    default:
      return {};
  }
}

// Whether style position p (counted from the line's start) is "on".
bool StyleOn(std::span<const int> runs, std::int64_t p) {
  if (runs.empty()) return true;
  int total = 0;
  for (int r : runs) total += r;
  std::int64_t m = p % total;
  for (size_t i = 0; i < runs.size(); ++i) {
    if (m < runs[i]) return i % 2 == 0;
    m -= runs[i];
  }
  return true;
}

// round((2 * i * num + den) / (2 * den)) without overflow: the minor-axis
// step of a line at major step i.
std::int64_t MinorStep(std::int64_t i, std::int64_t num, std::int64_t den) {
  const __int128 v = (static_cast<__int128>(2) * i * num + den) / (static_cast<__int128>(2) * den);
  return static_cast<std::int64_t>(v);
}

}  // namespace

struct TCanvas::Impl {
  cairo_t* Cr = nullptr;
  cairo_surface_t* Target = nullptr;
  bool ClipApplied = false;
  std::vector<TRect> ClipRects;  // device, within the image
  bool ClipRectsValid = false;
  std::int64_t StylePhase = 0;

  ~Impl() {
    if (Cr) cairo_destroy(Cr);
  }

  template <typename Build>
  void PaintShape(const TCanvas& c, const I64Rect& box, Build build);

  void Forget() {
    if (Cr) cairo_destroy(Cr);
    Cr = nullptr;
    Target = nullptr;
    ClipApplied = false;
    ClipRectsValid = false;
  }

  static cairo_surface_t* Surface(const TCanvas& c) {
    return c.fImage ? CanvasAccess::Surface(*c.fImage) : nullptr;
  }

  const std::vector<TRect>& Clip(const TCanvas& c) {
    if (!ClipRectsValid) {
      ClipRects.clear();
      if (c.fImage && Surface(c)) {
        const TRect bounds = c.fImage->Bounds();
        if (!c.fClip) {
          ClipRects.push_back(bounds);
        } else {
          for (const TRect& r : c.fClip->Rects()) {
            const TRect x = Intersection(r, bounds);
            if (!x.IsEmpty()) ClipRects.push_back(x);
          }
        }
      }
      ClipRectsValid = true;
    }
    return ClipRects;
  }

  TRect ClipBounds(const TCanvas& c) {
    const auto& rects = Clip(c);
    if (rects.empty()) return {};
    TRect b = rects.front();
    for (const TRect& x : rects) {
      b.Left = std::min(b.Left, x.Left);
      b.Top = std::min(b.Top, x.Top);
      b.Right = std::max(b.Right, x.Right);
      b.Bottom = std::max(b.Bottom, x.Bottom);
    }
    return b;
  }

  // The engine's context on the image, clipped, with device coordinates.
  cairo_t* Context(const TCanvas& c) {
    cairo_surface_t* s = Surface(c);
    if (!s) return nullptr;
    if (Cr && Target != s) Forget();
    if (Cr && cairo_status(Cr) != CAIRO_STATUS_SUCCESS) {
      Cr = RecoverContext(Cr);
      ClipApplied = false;
    }
    if (!Cr) {
      Cr = cairo_create(s);
      Target = s;
      ClipApplied = false;
    }
    if (!ClipApplied) {
      cairo_reset_clip(Cr);
      if (c.fClip) {
        for (const TRect& r : Clip(c)) cairo_rectangle(Cr, r.Left, r.Top, r.Width(), r.Height());
        if (Clip(c).empty()) cairo_rectangle(Cr, 0, 0, 0, 0);
        cairo_clip(Cr);
      }
      cairo_set_antialias(Cr, CAIRO_ANTIALIAS_NONE);
      ClipApplied = true;
    }
    return Cr;
  }

  // After a call that drew through the engine: a context in an error state
  // is replaced, so that the next call draws.
  void Check() {
    if (Cr && cairo_status(Cr) != CAIRO_STATUS_SUCCESS) {
      Cr = RecoverContext(Cr);
      ClipApplied = false;
    }
  }

  static void BeginPixels(const TCanvas& c) { cairo_surface_flush(Surface(c)); }
  static void EndPixels(const TCanvas& c) { cairo_surface_mark_dirty(Surface(c)); }

  // Paints every pixel of the device rectangle r within the clip.
  void PaintRect(const TCanvas& c, const I64Rect& r, const PaintSpec& p) {
    if (r.Empty() || !Surface(c)) return;
    BeginPixels(c);
    cairo_surface_t* s = Surface(c);
    for (const TRect& clip : Clip(c)) {
      const I64Rect x = Meet(r, clip);
      if (x.Empty()) continue;
      if (p.IsPlainCopy()) {
        // The engine's own fill uses the widest stores the processor has.
        pixman_fill(reinterpret_cast<std::uint32_t*>(cairo_image_surface_get_data(s)),
                    cairo_image_surface_get_stride(s) / 4, 32, static_cast<int>(x.Left),
                    static_cast<int>(x.Top), static_cast<int>(x.Right - x.Left),
                    static_cast<int>(x.Bottom - x.Top), p.Color);
        continue;
      }
      for (std::int64_t y = x.Top; y < x.Bottom; ++y) {
        std::uint32_t* row = c.fImage->Row(static_cast<int>(y));
        for (std::int64_t px = x.Left; px < x.Right; ++px) p.At(row, px, y);
      }
    }
    EndPixels(c);
  }

  // Paints one device pixel if it is inside the clip.
  void PaintPixel(const TCanvas& c, std::int64_t x, std::int64_t y, const PaintSpec& p) {
    for (const TRect& clip : Clip(c)) {
      if (x >= clip.Left && x < clip.Right && y >= clip.Top && y < clip.Bottom) {
        p.At(c.fImage->Row(static_cast<int>(y)), x, y);
        return;
      }
    }
  }

  // A one-pixel line from a to b (b excluded unless includeLast), styled and
  // continuing the style phase; gaps painted with gap when given.
  void Segment(const TCanvas& c, I64Point a, I64Point b, bool includeLast,
               std::span<const int> runs, const PaintSpec& pen, const PaintSpec* gap) {
    const std::int64_t dx = b.X - a.X, dy = b.Y - a.Y;
    const std::int64_t adx = dx < 0 ? -dx : dx, ady = dy < 0 ? -dy : dy;
    const std::int64_t n = std::max(adx, ady);
    const std::int64_t steps = includeLast ? n + 1 : n;
    const std::int64_t phase = StylePhase;
    StylePhase += n;
    if (steps <= 0) return;
    const TRect bounds = ClipBounds(c);
    if (bounds.IsEmpty()) return;
    const bool xMajor = adx >= ady;
    const std::int64_t sx = dx < 0 ? -1 : 1, sy = dy < 0 ? -1 : 1;
    auto pixel = [&](std::int64_t i) -> I64Point {
      if (n == 0) return a;
      if (xMajor) return {a.X + sx * i, a.Y + sy * MinorStep(i, ady, adx)};
      return {a.X + sx * MinorStep(i, adx, ady), a.Y + sy * i};
    };
    // The steps whose pixel can be inside the clip's bounds: the major axis
    // gives a range directly, the minor one is monotonic in i.
    std::int64_t lo = 0, hi = steps - 1;
    auto major = [&](std::int64_t start, std::int64_t s, std::int64_t from, std::int64_t to) {
      // from <= start + s * i < to
      if (s > 0) {
        lo = std::max(lo, from - start);
        hi = std::min(hi, to - 1 - start);
      } else {
        lo = std::max(lo, start - (to - 1));
        hi = std::min(hi, start - from);
      }
    };
    if (n == 0) {
      if (!(a.X >= bounds.Left && a.X < bounds.Right && a.Y >= bounds.Top && a.Y < bounds.Bottom))
        return;
    } else if (xMajor) {
      major(a.X, sx, bounds.Left, bounds.Right);
    } else {
      major(a.Y, sy, bounds.Top, bounds.Bottom);
    }
    if (lo > hi) return;
    auto minorOf = [&](std::int64_t i) { return xMajor ? pixel(i).Y : pixel(i).X; };
    const std::int64_t minorFrom = xMajor ? bounds.Top : bounds.Left;
    const std::int64_t minorTo = xMajor ? bounds.Bottom : bounds.Right;
    const std::int64_t ms = xMajor ? sy : sx;
    if (n != 0) {
      // First i in [lo, hi] with the minor coordinate inside, then the last.
      auto inside = [&](std::int64_t i) {
        const std::int64_t m = minorOf(i);
        return m >= minorFrom && m < minorTo;
      };
      auto before = [&](std::int64_t i) {  // the minor coordinate has not reached the bounds yet
        const std::int64_t m = minorOf(i);
        return ms > 0 ? m < minorFrom : m >= minorTo;
      };
      std::int64_t l = lo, h = hi + 1;
      while (l < h) {
        const std::int64_t mid = l + (h - l) / 2;
        if (before(mid))
          l = mid + 1;
        else
          h = mid;
      }
      lo = l;
      if (lo > hi || !inside(lo)) return;
      l = lo;
      h = hi + 1;
      while (l < h) {
        const std::int64_t mid = l + (h - l) / 2;
        if (inside(mid))
          l = mid + 1;
        else
          h = mid;
      }
      hi = l - 1;
    }
    BeginPixels(c);
    for (std::int64_t i = lo; i <= hi; ++i) {
      const I64Point p = pixel(i);
      if (StyleOn(runs, phase + i))
        PaintPixel(c, p.X, p.Y, pen);
      else if (gap)
        PaintPixel(c, p.X, p.Y, *gap);
    }
    EndPixels(c);
  }

  // The border pixels of the device box [l, r) x [t, b), each once,
  // clockwise from the top-left corner.
  template <typename Fn>
  static void WalkBorder(const I64Rect& box, Fn fn) {
    const std::int64_t l = box.Left, t = box.Top, r = box.Right - 1, b = box.Bottom - 1;
    if (r < l || b < t) return;
    std::int64_t i = 0;
    for (std::int64_t x = l; x <= r; ++x) fn(x, t, i++);
    for (std::int64_t y = t + 1; y <= b; ++y) fn(r, y, i++);
    if (b > t)
      for (std::int64_t x = r - 1; x >= l; --x) fn(x, b, i++);
    if (r > l)
      for (std::int64_t y = b - 1; y > t; --y) fn(l, y, i++);
  }

  // Fills or strokes a path built in device coordinates, either straight
  // through the engine (plain copy) or through a coverage mask that our pixel
  // loop paints (xor, not, patterns).
  template <typename Build>
  void PaintPath(const TCanvas& c, const I64Rect& extent, Build build, bool stroke, double width,
                 std::span<const double> dashes, bool round, const PaintSpec& p,
                 TFillRule rule = frAlternate) {
    cairo_surface_t* s = Surface(c);
    if (!s) return;
    const TRect bounds = ClipBounds(c);
    const I64Rect area = Meet(extent, bounds);
    if (area.Empty()) return;
    auto setup = [&](cairo_t* cr) {
      cairo_new_path(cr);
      build(cr);
      cairo_set_fill_rule(cr,
                          rule == frAlternate ? CAIRO_FILL_RULE_EVEN_ODD : CAIRO_FILL_RULE_WINDING);
      cairo_set_line_width(cr, std::clamp(width, 1.0, kCoordLimit));
      cairo_set_line_cap(cr, round ? CAIRO_LINE_CAP_ROUND : CAIRO_LINE_CAP_BUTT);
      cairo_set_line_join(cr, round ? CAIRO_LINE_JOIN_ROUND : CAIRO_LINE_JOIN_MITER);
      cairo_set_dash(cr, dashes.data(), static_cast<int>(dashes.size()), 0);
    };
    if (p.IsPlainCopy()) {
      cairo_t* cr = Context(c);
      setup(cr);
      cairo_set_source_rgb(cr, ((p.Color >> 16) & 0xFF) / 255.0, ((p.Color >> 8) & 0xFF) / 255.0,
                           (p.Color & 0xFF) / 255.0);
      if (stroke)
        cairo_stroke(cr);
      else
        cairo_fill(cr);
      cairo_set_dash(cr, nullptr, 0, 0);
      Check();
      return;
    }
    const int w = static_cast<int>(area.Right - area.Left),
              h = static_cast<int>(area.Bottom - area.Top);
    cairo_surface_t* mask = cairo_image_surface_create(CAIRO_FORMAT_A8, w, h);
    if (cairo_surface_status(mask) != CAIRO_STATUS_SUCCESS) {
      cairo_surface_destroy(mask);
      return;
    }
    cairo_t* mcr = cairo_create(mask);
    cairo_set_antialias(mcr, CAIRO_ANTIALIAS_NONE);
    cairo_translate(mcr, static_cast<double>(-area.Left), static_cast<double>(-area.Top));
    setup(mcr);
    cairo_set_source_rgba(mcr, 0, 0, 0, 1);
    if (stroke)
      cairo_stroke(mcr);
    else
      cairo_fill(mcr);
    cairo_destroy(mcr);
    cairo_surface_flush(mask);
    const unsigned char* data = cairo_image_surface_get_data(mask);
    const int stride = cairo_image_surface_get_stride(mask);
    BeginPixels(c);
    for (const TRect& clip : Clip(c)) {
      const I64Rect x = Meet(area, clip);
      if (x.Empty()) continue;
      for (std::int64_t y = x.Top; y < x.Bottom; ++y) {
        std::uint32_t* row = c.fImage->Row(static_cast<int>(y));
        const unsigned char* m = data + (y - area.Top) * stride;
        for (std::int64_t px = x.Left; px < x.Right; ++px)
          if (m[px - area.Left] >= 128) p.At(row, px, y);
      }
    }
    EndPixels(c);
    cairo_surface_destroy(mask);
  }
};

TCanvas::TCanvas() : fImpl(std::make_unique<Impl>()) {}

TCanvas::TCanvas(TPixelImage& image) : fImage(&image), fImpl(std::make_unique<Impl>()) {}

TCanvas::~TCanvas() = default;

TPixelImage* TCanvas::SelectImage(TPixelImage* image) {
  TPixelImage* old = fImage;
  fImage = image;
  fImpl->Forget();
  return old;
}

TPoint TCanvas::SetViewportOrg(TPoint org) noexcept {
  const TPoint old = fOrigin;
  fOrigin = org;
  return old;
}

namespace {
TRect ToDevice(const TRect& r, TPoint origin) {
  return r.Offset(origin.X, origin.Y);
}
}  // namespace

void TCanvas::SelectClipRgn(const TRegion* region) {
  if (region)
    fClip = *region;
  else
    fClip.reset();
  fImpl->ClipApplied = false;
  fImpl->ClipRectsValid = false;
}

void TCanvas::SetClipRect(const TRect& rect) {
  const TRegion r(ToDevice(rect, fOrigin));
  SelectClipRgn(&r);
}

void TCanvas::IntersectClipRect(const TRect& rect) {
  TRegion r(ToDevice(rect, fOrigin));
  if (fClip) r.Intersect(*fClip);
  SelectClipRgn(&r);
}

void TCanvas::ExcludeClipRect(const TRect& rect) {
  TRegion r = fClip ? *fClip : TRegion(fImage ? fImage->Bounds() : TRect{});
  r.Subtract(ToDevice(rect, fOrigin));
  SelectClipRgn(&r);
}

TRect TCanvas::ClipBox() const noexcept {
  const TRect b = fImpl->ClipBounds(*this);
  return b.IsEmpty() ? TRect{} : b.Offset(-std::int64_t{fOrigin.X}, -std::int64_t{fOrigin.Y});
}

// --- shapes -------------------------------------------------------------------------

namespace {

PaintSpec PenPaint(const TPen& pen) {
  PaintSpec p;
  p.Mode = pen.Mode;
  p.Color = ToPixel(pen.Color);
  return p;
}

std::optional<PaintSpec> BrushPaint(const TBrush& brush, TPenMode mode) {
  PaintSpec p;
  p.Mode = mode;
  p.Color = ToPixel(brush.Color);
  switch (brush.Style) {
    case bsClear:
      return std::nullopt;
    case bsSolid:
      break;
    case bsPattern:
      p.Patterned = true;
      p.Rows = brush.Pattern;
      p.BackOpaque = brush.PatternBackColor != clNone;
      p.Back = p.BackOpaque ? ToPixel(brush.PatternBackColor) : 0;
      break;
    default:
      p.Patterned = true;
      p.Rows = kHatches[static_cast<size_t>(brush.Style - bsHorizontal)];
      break;
  }
  return p;
}

// Gaps of styled lines take the brush colour while the brush is solid.
std::optional<PaintSpec> GapPaint(const TBrush& brush, TPenMode mode) {
  if (brush.Style != bsSolid) return std::nullopt;
  PaintSpec p;
  p.Mode = mode;
  p.Color = ToPixel(brush.Color);
  return p;
}

int PenWidth(const TPen& pen) {
  return std::clamp(pen.Width, 1, 1 << 20);
}

I64Point Device(const TCanvas& c, std::int64_t x, std::int64_t y) {
  return {x + c.ViewportOrg().X, y + c.ViewportOrg().Y};
}

I64Rect NormalBox(const TCanvas& c, int x1, int y1, int x2, int y2) {
  const I64Point a = Device(c, x1, y1), b = Device(c, x2, y2);
  return {std::min(a.X, b.X), std::min(a.Y, b.Y), std::max(a.X, b.X), std::max(a.Y, b.Y)};
}

I64Rect Grow(const I64Rect& r, std::int64_t d) {
  return {r.Left - d, r.Top - d, r.Right + d, r.Bottom + d};
}

double C(std::int64_t v) {
  return ClampCoord(static_cast<double>(v));
}

}  // namespace

void TCanvas::LineTo(int x, int y) {
  const TPoint from = fPenPos;
  fPenPos = {x, y};
  const TPoint pts[2] = {from, {x, y}};
  Polyline(pts);
}

void TCanvas::Polyline(std::span<const TPoint> points) {
  if (points.size() < 2 || !fImage || fPen.Style == psClear) return;
  const PaintSpec pen = PenPaint(fPen);
  if (PenWidth(fPen) == 1) {
    const std::optional<PaintSpec> gap = GapPaint(fBrush, fPen.Mode);
    const auto runs = StyleRuns(fPen.Style);
    fImpl->StylePhase = 0;
    for (size_t i = 0; i + 1 < points.size(); ++i)
      fImpl->Segment(*this, Device(*this, points[i].X, points[i].Y),
                     Device(*this, points[i + 1].X, points[i + 1].Y), false, runs, pen,
                     gap ? &*gap : nullptr);
    return;
  }
  // Wide pens: solid, round caps and joins, centred on the pixel centres.
  I64Rect extent{INT64_MAX, INT64_MAX, INT64_MIN, INT64_MIN};
  for (const TPoint& p : points) {
    const I64Point d = Device(*this, p.X, p.Y);
    extent = {std::min(extent.Left, d.X), std::min(extent.Top, d.Y),
              std::max(extent.Right, d.X + 1), std::max(extent.Bottom, d.Y + 1)};
  }
  const int w = PenWidth(fPen);
  fImpl->PaintPath(
      *this, Grow(extent, w),
      [&](cairo_t* cr) {
        for (size_t i = 0; i < points.size(); ++i) {
          const I64Point d = Device(*this, points[i].X, points[i].Y);
          if (i == 0)
            cairo_move_to(cr, C(d.X) + 0.5, C(d.Y) + 0.5);
          else
            cairo_line_to(cr, C(d.X) + 0.5, C(d.Y) + 0.5);
        }
      },
      true, w, {}, true, pen);
}

void TCanvas::Polygon(std::span<const TPoint> points) {
  if (points.size() < 2 || !fImage) return;
  I64Rect extent{INT64_MAX, INT64_MAX, INT64_MIN, INT64_MIN};
  for (const TPoint& p : points) {
    const I64Point d = Device(*this, p.X, p.Y);
    extent = {std::min(extent.Left, d.X), std::min(extent.Top, d.Y),
              std::max(extent.Right, d.X + 1), std::max(extent.Bottom, d.Y + 1)};
  }
  auto build = [&](cairo_t* cr) {
    for (size_t i = 0; i < points.size(); ++i) {
      const I64Point d = Device(*this, points[i].X, points[i].Y);
      if (i == 0)
        cairo_move_to(cr, C(d.X) + 0.5, C(d.Y) + 0.5);
      else
        cairo_line_to(cr, C(d.X) + 0.5, C(d.Y) + 0.5);
    }
    cairo_close_path(cr);
  };
  if (const auto brush = BrushPaint(fBrush, fPen.Mode))
    fImpl->PaintPath(*this, extent, build, false, 1, {}, false, *brush);
  if (fPen.Style == psClear) return;
  const PaintSpec pen = PenPaint(fPen);
  if (PenWidth(fPen) == 1) {
    const std::optional<PaintSpec> gap = GapPaint(fBrush, fPen.Mode);
    const auto runs = StyleRuns(fPen.Style);
    fImpl->StylePhase = 0;
    for (size_t i = 0; i < points.size(); ++i) {
      const TPoint& a = points[i];
      const TPoint& b = points[(i + 1) % points.size()];
      fImpl->Segment(*this, Device(*this, a.X, a.Y), Device(*this, b.X, b.Y), false, runs, pen,
                     gap ? &*gap : nullptr);
    }
    return;
  }
  const int w = PenWidth(fPen);
  fImpl->PaintPath(*this, Grow(extent, w), build, true, w, {}, true, pen);
}

void TCanvas::FillRect(const TRect& rect) {
  if (!fImage) return;
  const auto brush = BrushPaint(fBrush, pmCopy);
  if (!brush) return;
  const I64Point a = Device(*this, rect.Left, rect.Top), b = Device(*this, rect.Right, rect.Bottom);
  fImpl->PaintRect(*this, {a.X, a.Y, b.X, b.Y}, *brush);
}

void TCanvas::FrameRect(const TRect& rect) {
  if (!fImage) return;
  const auto brush = BrushPaint(fBrush, pmCopy);
  if (!brush) return;
  const I64Point a = Device(*this, rect.Left, rect.Top), b = Device(*this, rect.Right, rect.Bottom);
  if (b.X <= a.X || b.Y <= a.Y) return;
  // Four strips that do not overlap.
  fImpl->PaintRect(*this, {a.X, a.Y, b.X, a.Y + 1}, *brush);
  if (b.Y - a.Y > 1) fImpl->PaintRect(*this, {a.X, b.Y - 1, b.X, b.Y}, *brush);
  fImpl->PaintRect(*this, {a.X, a.Y + 1, a.X + 1, b.Y - 1}, *brush);
  if (b.X - a.X > 1) fImpl->PaintRect(*this, {b.X - 1, a.Y + 1, b.X, b.Y - 1}, *brush);
}

void TCanvas::InvertRect(const TRect& rect) {
  if (!fImage) return;
  PaintSpec p;
  p.Mode = pmNot;
  const I64Point a = Device(*this, rect.Left, rect.Top), b = Device(*this, rect.Right, rect.Bottom);
  fImpl->PaintRect(*this, {a.X, a.Y, b.X, b.Y}, p);
}

void TCanvas::DrawFocusRect(const TRect& rect) {
  if (!fImage || !Impl::Surface(*this)) return;
  PaintSpec p;
  p.Mode = pmXor;
  p.Color = 0xFFFFFF;
  const I64Point a = Device(*this, rect.Left, rect.Top), b = Device(*this, rect.Right, rect.Bottom);
  Impl::BeginPixels(*this);
  Impl::WalkBorder(I64Rect{a.X, a.Y, b.X, b.Y}, [&](std::int64_t x, std::int64_t y, std::int64_t) {
    if (((x + y) & 1) == 0) fImpl->PaintPixel(*this, x, y, p);
  });
  Impl::EndPixels(*this);
}

void TCanvas::Rectangle(int x1, int y1, int x2, int y2) {
  if (!fImage) return;
  const I64Rect box = NormalBox(*this, x1, y1, x2, y2);
  if (box.Empty()) return;
  const bool pen = fPen.Style != psClear;
  const int w = PenWidth(fPen);
  I64Rect inner;
  if (!pen)
    inner = {box.Left, box.Top, box.Right - 1, box.Bottom - 1};
  else if (w == 1)
    inner = {box.Left + 1, box.Top + 1, box.Right - 1, box.Bottom - 1};
  else if (fPen.Style == psInsideFrame)
    inner = {box.Left + w, box.Top + w, box.Right - w, box.Bottom - w};
  else
    inner = {box.Left + w / 2 + 1, box.Top + w / 2 + 1, box.Right - 1 - w / 2,
             box.Bottom - 1 - w / 2};
  if (const auto brush = BrushPaint(fBrush, fPen.Mode)) fImpl->PaintRect(*this, inner, *brush);
  if (!pen) return;
  const PaintSpec pp = PenPaint(fPen);
  if (w == 1) {
    const auto runs = StyleRuns(fPen.Style);
    const std::optional<PaintSpec> gap = GapPaint(fBrush, fPen.Mode);
    if (runs.empty()) {
      // Solid: the four sides as spans that do not overlap.
      const std::int64_t l = box.Left, t = box.Top, r = box.Right, b = box.Bottom;
      fImpl->PaintRect(*this, {l, t, r, t + 1}, pp);
      if (b - t > 1) fImpl->PaintRect(*this, {l, b - 1, r, b}, pp);
      fImpl->PaintRect(*this, {l, t + 1, l + 1, b - 1}, pp);
      if (r - l > 1) fImpl->PaintRect(*this, {r - 1, t + 1, r, b - 1}, pp);
      return;
    }
    const TRect bounds = fImpl->ClipBounds(*this);
    if (bounds.IsEmpty()) return;
    Impl::BeginPixels(*this);
    Impl::WalkBorder(box, [&](std::int64_t x, std::int64_t y, std::int64_t i) {
      if (x < bounds.Left || x >= bounds.Right || y < bounds.Top || y >= bounds.Bottom) return;
      if (StyleOn(runs, i))
        fImpl->PaintPixel(*this, x, y, pp);
      else if (gap)
        fImpl->PaintPixel(*this, x, y, *gap);
    });
    Impl::EndPixels(*this);
    return;
  }
  const double inset = fPen.Style == psInsideFrame ? w / 2.0 : 0.5;
  fImpl->PaintPath(
      *this, Grow(box, w),
      [&](cairo_t* cr) {
        const double l = C(box.Left) + inset, t = C(box.Top) + inset;
        const double r = C(box.Right) - inset, b = C(box.Bottom) - inset;
        cairo_rectangle(cr, l, t, std::max(r - l, 0.0), std::max(b - t, 0.0));
      },
      true, w, {}, fPen.Style != psInsideFrame, pp);
}

namespace {

// The path of a shape in the box: through pixel centres with a pen (the
// outline lands on the box's border pixels), on the pixel edges of a box one
// pixel smaller without one, inset by half the width for an inside-frame pen.
struct ShapeBox {
  double l, t, r, b;
};

ShapeBox PathBox(const I64Rect& box, const TPen& pen) {
  const int w = PenWidth(pen);
  if (pen.Style == psClear) return {C(box.Left), C(box.Top), C(box.Right - 1), C(box.Bottom - 1)};
  const double inset = pen.Style == psInsideFrame && w > 1 ? w / 2.0 : 0.5;
  return {C(box.Left) + inset, C(box.Top) + inset, C(box.Right) - inset, C(box.Bottom) - inset};
}

std::vector<double> CairoDashes(const TPen& pen) {
  if (PenWidth(pen) != 1) return {};
  std::vector<double> d;
  for (int r : StyleRuns(pen.Style)) d.push_back(r);
  return d;
}

}  // namespace

// Fills and outlines a closed shape built by build(cr, box) in the device box.
template <typename Build>
void TCanvas::Impl::PaintShape(const TCanvas& c, const I64Rect& box, Build build) {
  const TPen& pen = c.fPen;
  const int w = PenWidth(pen);
  const ShapeBox sb = PathBox(box, pen);
  auto path = [&](cairo_t* cr) { build(cr, sb); };
  if (const auto brush = BrushPaint(c.fBrush, pen.Mode))
    PaintPath(c, Grow(box, 1), path, false, 1, {}, false, *brush);
  if (pen.Style == psClear) return;
  const std::vector<double> dashes = CairoDashes(pen);
  if (!dashes.empty())
    if (const auto gap = GapPaint(c.fBrush, pen.Mode))
      PaintPath(c, Grow(box, w + 1), path, true, w, {}, false, *gap);
  PaintPath(c, Grow(box, w + 1), path, true, w, dashes, w > 1, PenPaint(pen));
}

void TCanvas::Ellipse(int x1, int y1, int x2, int y2) {
  if (!fImage) return;
  const I64Rect box = NormalBox(*this, x1, y1, x2, y2);
  if (box.Empty()) return;
  fImpl->PaintShape(*this, box, [](cairo_t* cr, const ShapeBox& b) {
    AppendEllipse(cr, (b.l + b.r) / 2, (b.t + b.b) / 2, (b.r - b.l) / 2, (b.b - b.t) / 2);
  });
}

void TCanvas::RoundRect(int x1, int y1, int x2, int y2, int x3, int y3) {
  if (!fImage) return;
  const I64Rect box = NormalBox(*this, x1, y1, x2, y2);
  if (box.Empty()) return;
  fImpl->PaintShape(*this, box, [&](cairo_t* cr, const ShapeBox& b) {
    const double rx = std::clamp(std::abs(static_cast<double>(x3)) / 2, 0.0, (b.r - b.l) / 2);
    const double ry = std::clamp(std::abs(static_cast<double>(y3)) / 2, 0.0, (b.b - b.t) / 2);
    constexpr double pi = std::numbers::pi;
    cairo_new_sub_path(cr);
    AppendEllipticArc(cr, b.r - rx, b.t + ry, rx, ry, -pi / 2, 0);
    AppendEllipticArc(cr, b.r - rx, b.b - ry, rx, ry, 0, pi / 2);
    AppendEllipticArc(cr, b.l + rx, b.b - ry, rx, ry, pi / 2, pi);
    AppendEllipticArc(cr, b.l + rx, b.t + ry, rx, ry, pi, 3 * pi / 2);
    cairo_close_path(cr);
  });
}

namespace {

// Parametric angles (engine orientation, y down) of the arc from the ray
// through (x3, y3) counter-clockwise on screen to the ray through (x4, y4).
std::pair<double, double> ArcAngles(const ShapeBox& b, const I64Point& s, const I64Point& e) {
  const double cx = (b.l + b.r) / 2, cy = (b.t + b.b) / 2;
  const double rx = std::max((b.r - b.l) / 2, 1e-9), ry = std::max((b.b - b.t) / 2, 1e-9);
  const double a0 = std::atan2((C(s.Y) + 0.5 - cy) / ry, (C(s.X) + 0.5 - cx) / rx);
  double a1 = std::atan2((C(e.Y) + 0.5 - cy) / ry, (C(e.X) + 0.5 - cx) / rx);
  // Counter-clockwise on screen is decreasing angle with y down.
  while (a1 >= a0) a1 -= 2 * std::numbers::pi;
  return {a0, a1};
}

}  // namespace

void TCanvas::Arc(int x1, int y1, int x2, int y2, int x3, int y3, int x4, int y4) {
  if (!fImage || fPen.Style == psClear) return;
  const I64Rect box = NormalBox(*this, x1, y1, x2, y2);
  if (box.Empty()) return;
  const ShapeBox b = PathBox(box, fPen);
  // Plain copies: clang 14 cannot capture structured bindings in a lambda.
  const auto angles = ArcAngles(b, Device(*this, x3, y3), Device(*this, x4, y4));
  const double a0 = angles.first, a1 = angles.second;
  const int w = PenWidth(fPen);
  const std::vector<double> dashes = CairoDashes(fPen);
  auto path = [&](cairo_t* cr) {
    AppendEllipticArc(cr, (b.l + b.r) / 2, (b.t + b.b) / 2, (b.r - b.l) / 2, (b.b - b.t) / 2, a0,
                      a1);
  };
  if (!dashes.empty())
    if (const auto gap = GapPaint(fBrush, fPen.Mode))
      fImpl->PaintPath(*this, Grow(box, w + 1), path, true, w, {}, false, *gap);
  fImpl->PaintPath(*this, Grow(box, w + 1), path, true, w, dashes, w > 1, PenPaint(fPen));
}

void TCanvas::Pie(int x1, int y1, int x2, int y2, int x3, int y3, int x4, int y4) {
  if (!fImage) return;
  const I64Rect box = NormalBox(*this, x1, y1, x2, y2);
  if (box.Empty()) return;
  const I64Point s = Device(*this, x3, y3), e = Device(*this, x4, y4);
  fImpl->PaintShape(*this, box, [&](cairo_t* cr, const ShapeBox& b) {
    const auto [a0, a1] = ArcAngles(b, s, e);
    const double cx = (b.l + b.r) / 2, cy = (b.t + b.b) / 2;
    cairo_move_to(cr, cx, cy);
    AppendEllipticArc(cr, cx, cy, (b.r - b.l) / 2, (b.b - b.t) / 2, a0, a1);
    cairo_close_path(cr);
  });
}

// --- text ------------------------------------------------------------------------------

namespace {

TFontSpec FontSpec(const TFont& f) {
  TFontSpec s;
  s.Name = f.Name;
  if (f.Height < 0)
    s.PixelSize = -static_cast<double>(f.Height);
  else if (f.Height == 0)
    s.PixelSize = 11;
  else
    s.PixelSize = EmForCellHeight(f.Name, f.Height);
  s.Bold = f.Style[fsBold];
  s.Italic = f.Style[fsItalic];
  s.Underline = f.Style[fsUnderline];
  s.StrikeOut = f.Style[fsStrikeOut];
  return s;
}

std::int32_t Ceil(double v) {
  return SaturateInt(
      static_cast<std::int64_t>(std::ceil(std::clamp(v, -kCoordLimit, kCoordLimit))));
}

}  // namespace

TSize TCanvas::TextExtent(std::string_view text) const {
  const TSizeF s = MeasureLine(FontSpec(fFont), text);
  return {Ceil(s.cx), Ceil(s.cy)};
}

void TCanvas::TextOut(int x, int y, std::string_view text) {
  if (!fImage || text.empty()) return;
  const TFontSpec font = FontSpec(fFont);
  LaidLine line;
  line.Text = std::string(text);
  for (char& ch : line.Text)
    if (ch == '\r' || ch == '\n') ch = ' ';
  const TSizeF size = MeasureLine(font, line.Text);
  const I64Point d = Device(*this, x, y);
  if (fBrush.Style == bsSolid) {
    PaintSpec bg;
    bg.Color = ToPixel(fBrush.Color);
    fImpl->PaintRect(*this, {d.X, d.Y, d.X + Ceil(size.cx), d.Y + Ceil(size.cy)}, bg);
  }
  if (fImpl->ClipBounds(*this).IsEmpty()) return;
  cairo_t* cr = fImpl->Context(*this);
  SetSourceColor(cr, fFont.Color);
  RenderLine(cr, font, line, C(d.X), C(d.Y));
  fImpl->Check();
}

void TCanvas::TextRect(const TRect& rect, int x, int y, std::string_view text) {
  if (!fImage) return;
  const I64Point a = Device(*this, rect.Left, rect.Top), b = Device(*this, rect.Right, rect.Bottom);
  if (fBrush.Style == bsSolid) {
    PaintSpec bg;
    bg.Color = ToPixel(fBrush.Color);
    fImpl->PaintRect(*this, {a.X, a.Y, b.X, b.Y}, bg);
  }
  if (text.empty() || b.X <= a.X || b.Y <= a.Y || fImpl->ClipBounds(*this).IsEmpty()) return;
  const TFontSpec font = FontSpec(fFont);
  LaidLine line;
  line.Text = std::string(text);
  for (char& ch : line.Text)
    if (ch == '\r' || ch == '\n') ch = ' ';
  const I64Point d = Device(*this, x, y);
  cairo_t* cr = fImpl->Context(*this);
  cairo_save(cr);
  cairo_rectangle(cr, C(a.X), C(a.Y), C(b.X) - C(a.X), C(b.Y) - C(a.Y));
  cairo_clip(cr);
  SetSourceColor(cr, fFont.Color);
  RenderLine(cr, font, line, C(d.X), C(d.Y));
  cairo_restore(cr);
  fImpl->Check();
}

int TCanvas::DrawText(std::string_view text, TRect& rect, std::uint32_t flags) {
  std::string copy(text);
  return DrawText(copy, rect, flags & ~DT_MODIFYSTRING);
}

int TCanvas::DrawText(std::string& text, TRect& rect, std::uint32_t flags) {
  TTextOptions o;
  o.HorzAlign = (flags & DT_CENTER) ? thaCenter : (flags & DT_RIGHT) ? thaRight : thaLeft;
  o.SingleLine = (flags & DT_SINGLELINE) != 0;
  if (o.SingleLine)
    o.VertAlign = (flags & DT_VCENTER) ? tvaCenter : (flags & DT_BOTTOM) ? tvaBottom : tvaTop;
  o.WordWrap = (flags & DT_WORDBREAK) && !o.SingleLine;
  o.Trimming = (flags & DT_END_ELLIPSIS)    ? ttEllipsisEnd
               : (flags & DT_PATH_ELLIPSIS) ? ttEllipsisPath
               : (flags & DT_WORD_ELLIPSIS) ? ttEllipsisWord
                                            : ttNone;
  o.Prefix = (flags & DT_NOPREFIX) ? hkNone : (flags & DT_HIDEPREFIX) ? hkHide : hkShow;
  o.Clip = (flags & DT_NOCLIP) == 0;
  const double boxW = std::max<std::int64_t>(0, std::int64_t{rect.Right} - rect.Left);
  const double boxH = std::max<std::int64_t>(0, std::int64_t{rect.Bottom} - rect.Top);
  const bool calc = (flags & DT_CALCRECT) != 0;
  const TFontSpec font = FontSpec(fFont);
  const LaidText laid =
      LayoutText(font, text, o, boxW, calc ? std::nullopt : std::optional<double>(boxH), true);
  if ((flags & DT_MODIFYSTRING) && o.Trimming != ttNone && laid.Shortened) {
    std::string shown;
    for (size_t i = 0; i < laid.Lines.size(); ++i) {
      if (i) shown += '\n';
      shown += laid.Lines[i].Text;
    }
    text = std::move(shown);
  }
  const int height = Ceil(laid.Height);
  if (calc) {
    rect.Right =
        laid.Lines.empty() ? rect.Left : SaturateInt(std::int64_t{rect.Left} + Ceil(laid.Width));
    rect.Bottom = SaturateInt(std::int64_t{rect.Top} + height);
    return height;
  }
  if (laid.Lines.empty() || !fImage) return height;
  const I64Point origin = Device(*this, rect.Left, rect.Top);
  if (fBrush.Style == bsSolid) {
    PaintSpec bg;
    bg.Color = ToPixel(fBrush.Color);
    for (const LaidLine& line : laid.Lines) {
      const std::int64_t lx = origin.X + static_cast<std::int64_t>(line.X);
      const std::int64_t ly = origin.Y + static_cast<std::int64_t>(line.Y);
      I64Rect r{lx, ly, lx + Ceil(line.Width), ly + Ceil(line.Height)};
      if (o.Clip)
        r = {std::max(r.Left, origin.X), std::max(r.Top, origin.Y),
             std::min<std::int64_t>(r.Right, origin.X + static_cast<std::int64_t>(boxW)),
             std::min<std::int64_t>(r.Bottom, origin.Y + static_cast<std::int64_t>(boxH))};
      fImpl->PaintRect(*this, r, bg);
    }
  }
  if (!fImpl->ClipBounds(*this).IsEmpty()) {
    cairo_t* cr = fImpl->Context(*this);
    cairo_save(cr);
    if (o.Clip) {
      cairo_rectangle(cr, C(origin.X), C(origin.Y), boxW, boxH);
      cairo_clip(cr);
    }
    SetSourceColor(cr, fFont.Color);
    for (const LaidLine& line : laid.Lines)
      RenderLine(cr, font, line, C(origin.X) + line.X, C(origin.Y) + line.Y);
    cairo_restore(cr);
    fImpl->Check();
  }
  if (o.SingleLine && o.VertAlign != tvaTop)
    return SaturateInt(static_cast<std::int64_t>(laid.Lines.back().Y) + height);
  return height;
}

// --- pixels, copies, pictures --------------------------------------------------------

TColor TCanvas::Pixel(int x, int y) const noexcept {
  if (!fImage) return CLR_INVALID;
  const I64Point d = Device(*this, x, y);
  if (d.X < 0 || d.Y < 0 || d.X >= fImage->Width() || d.Y >= fImage->Height()) return CLR_INVALID;
  return fImage->Pixel(static_cast<int>(d.X), static_cast<int>(d.Y));
}

void TCanvas::SetPixel(int x, int y, TColor color) {
  if (!fImage || !Impl::Surface(*this)) return;
  PaintSpec p;
  p.Color = ToPixel(color);
  const I64Point d = Device(*this, x, y);
  Impl::BeginPixels(*this);
  fImpl->PaintPixel(*this, d.X, d.Y, p);
  Impl::EndPixels(*this);
}

namespace {

// Scales source block s (source image coordinates, normalised) into dest
// block d (device coordinates, normalised), nearest pixel, mirrored as asked.
struct BlitJob {
  const TPixelImage* Source = nullptr;
  I64Rect S{};
  I64Rect D{};
  bool MirrorX = false;
  bool MirrorY = false;
  TRop Rop = ropSrcCopy;
  std::optional<std::uint32_t> Key;  // source pixels of this colour are skipped
};

std::uint32_t CombineRop(TRop rop, std::uint32_t s, std::uint32_t d) {
  switch (rop) {
    case ropSrcCopy:
      return s;
    case ropSrcPaint:
      return (s | d) & 0xFFFFFF;
    case ropSrcAnd:
      return s & d & 0xFFFFFF;
    case ropSrcInvert:
      return (s ^ d) & 0xFFFFFF;
    case ropNotSrcCopy:
      return ~s & 0xFFFFFF;
    case ropDstInvert:
      return ~d & 0xFFFFFF;
    case ropBlackness:
      return 0;
    case ropWhiteness:
      return 0xFFFFFF;
    default:
      return d;
  }
}

}  // namespace

template <typename ClipRects>
static void RunBlit(TPixelImage& target, const ClipRects& clips, const BlitJob& job) {
  const std::int64_t dw = job.D.Right - job.D.Left, dh = job.D.Bottom - job.D.Top;
  const std::int64_t sw = job.S.Right - job.S.Left, sh = job.S.Bottom - job.S.Top;
  if (dw <= 0 || dh <= 0 || sw <= 0 || sh <= 0) return;
  const bool same = dw == sw && dh == sh && !job.MirrorX && !job.MirrorY;
  // The source pixels that exist: the source block within the source image.
  // Reading from the image we write to, take a copy of that block first (the
  // block, not the image: scrolling copies only what it moves).
  const TPixelImage* image = job.Source;
  const I64Rect have = Meet(job.S, image->Bounds());
  if (have.Empty()) return;
  const std::uint32_t* base = image->Row(0);
  std::int64_t stride = image->Height() > 1 ? image->Row(1) - image->Row(0) : image->Width();
  std::int64_t originX = 0, originY = 0;
  std::vector<std::uint32_t> copy;
  if (image == &target) {
    const std::int64_t w = have.Right - have.Left, h = have.Bottom - have.Top;
    copy.resize(static_cast<size_t>(w * h));
    for (std::int64_t y = 0; y < h; ++y)
      std::memcpy(copy.data() + y * w, image->Row(static_cast<int>(have.Top + y)) + have.Left,
                  sizeof(std::uint32_t) * static_cast<size_t>(w));
    base = copy.data();
    stride = w;
    originX = have.Left;
    originY = have.Top;
  }
  auto map = [](std::int64_t i, std::int64_t n, std::int64_t m, bool mirror) {
    std::int64_t j = static_cast<std::int64_t>((static_cast<__int128>(2) * i + 1) * m /
                                               (static_cast<__int128>(2) * n));
    return mirror ? m - 1 - j : j;
  };
  std::vector<std::int64_t> columns;
  for (const TRect& clip : clips) {
    const I64Rect x = Meet(job.D, clip);
    if (x.Empty()) continue;
    columns.resize(static_cast<size_t>(x.Right - x.Left));
    for (std::int64_t px = x.Left; px < x.Right; ++px)
      columns[static_cast<size_t>(px - x.Left)] =
          job.S.Left + (same ? px - job.D.Left : map(px - job.D.Left, dw, sw, job.MirrorX));
    for (std::int64_t y = x.Top; y < x.Bottom; ++y) {
      const std::int64_t sy =
          job.S.Top + (same ? y - job.D.Top : map(y - job.D.Top, dh, sh, job.MirrorY));
      if (sy < have.Top || sy >= have.Bottom) continue;
      const std::uint32_t* srow = base + (sy - originY) * stride;
      std::uint32_t* drow = target.Row(static_cast<int>(y));
      for (std::int64_t px = x.Left; px < x.Right; ++px) {
        const std::int64_t sx = columns[static_cast<size_t>(px - x.Left)];
        if (sx < have.Left || sx >= have.Right) continue;
        const std::uint32_t s = srow[sx - originX] & 0xFFFFFF;
        if (job.Key && s == *job.Key) continue;
        drow[px] = CombineRop(job.Rop, s, drow[px]);
      }
    }
  }
}

void TCanvas::StretchBlt(const TRect& dest, const TCanvas& source, const TRect& sourceRect,
                         TRop rop) {
  if (!fImage || !Impl::Surface(*this)) return;
  const I64Point da = Device(*this, dest.Left, dest.Top),
                 db = Device(*this, dest.Right, dest.Bottom);
  if (rop == ropDstInvert || rop == ropBlackness || rop == ropWhiteness || rop == ropPatCopy) {
    const I64Rect d{std::min(da.X, db.X), std::min(da.Y, db.Y), std::max(da.X, db.X),
                    std::max(da.Y, db.Y)};
    PaintSpec p;
    if (rop == ropDstInvert) {
      p.Mode = pmNot;
    } else if (rop == ropPatCopy) {
      const auto brush = BrushPaint(fBrush, pmCopy);
      if (!brush) return;
      p = *brush;
    } else {
      p.Color = rop == ropWhiteness ? 0xFFFFFF : 0;
    }
    fImpl->PaintRect(*this, d, p);
    return;
  }
  if (!source.fImage || !Impl::Surface(source)) return;
  const I64Point sa = Device(source, sourceRect.Left, sourceRect.Top);
  const I64Point sb = Device(source, sourceRect.Right, sourceRect.Bottom);
  BlitJob job;
  job.Source = source.fImage;
  job.D = {std::min(da.X, db.X), std::min(da.Y, db.Y), std::max(da.X, db.X), std::max(da.Y, db.Y)};
  job.S = {std::min(sa.X, sb.X), std::min(sa.Y, sb.Y), std::max(sa.X, sb.X), std::max(sa.Y, sb.Y)};
  job.MirrorX = (db.X < da.X) != (sb.X < sa.X);
  job.MirrorY = (db.Y < da.Y) != (sb.Y < sa.Y);
  job.Rop = rop;
  Impl::BeginPixels(*this);
  Impl::BeginPixels(source);
  RunBlit(*fImage, fImpl->Clip(*this), job);
  Impl::EndPixels(*this);
}

void TCanvas::BitBlt(int x, int y, int w, int h, const TCanvas& source, int sx, int sy, TRop rop) {
  if (w <= 0 || h <= 0) return;
  const TRect d{x, y, SaturateInt(std::int64_t{x} + w), SaturateInt(std::int64_t{y} + h)};
  const TRect s{sx, sy, SaturateInt(std::int64_t{sx} + w), SaturateInt(std::int64_t{sy} + h)};
  StretchBlt(d, source, s, rop);
}

void TCanvas::Draw(int x, int y, const TBitmap& picture) {
  StretchDraw({x, y, SaturateInt(std::int64_t{x} + picture.Width()),
               SaturateInt(std::int64_t{y} + picture.Height())},
              picture);
}

void TCanvas::StretchDraw(const TRect& rect, const TBitmap& picture) {
  if (!fImage || !Impl::Surface(*this) || picture.Empty()) return;
  const I64Point da = Device(*this, rect.Left, rect.Top),
                 db = Device(*this, rect.Right, rect.Bottom);
  BlitJob job;
  job.Source = &picture.Image();
  job.D = {std::min(da.X, db.X), std::min(da.Y, db.Y), std::max(da.X, db.X), std::max(da.Y, db.Y)};
  job.S = {0, 0, picture.Width(), picture.Height()};
  job.MirrorX = db.X < da.X;
  job.MirrorY = db.Y < da.Y;
  if (const auto key = picture.EffectiveTransparentColor()) job.Key = ToPixel(*key);
  Impl::BeginPixels(*this);
  cairo_surface_flush(CanvasAccess::Surface(picture.Image()));
  RunBlit(*fImage, fImpl->Clip(*this), job);
  Impl::EndPixels(*this);
}

// --- bitmap ------------------------------------------------------------------------------

TBitmap::TBitmap() : fImage(std::make_unique<TPixelImage>(0, 0)) {
  fCanvas.SelectImage(fImage.get());
}

TBitmap::TBitmap(int width, int height) : fImage(std::make_unique<TPixelImage>(width, height)) {
  fCanvas.SelectImage(fImage.get());
}

TBitmap::~TBitmap() {
  fCanvas.SelectImage(nullptr);
}

void TBitmap::SetSize(int width, int height) {
  if (width == Width() && height == Height()) return;
  auto image = std::make_unique<TPixelImage>(width, height);
  if (CanvasAccess::Surface(*fImage) && CanvasAccess::Surface(*image)) {
    cairo_surface_flush(CanvasAccess::Surface(*fImage));
    const int w = std::min(width, Width()), h = std::min(height, Height());
    for (int y = 0; y < h; ++y)
      std::memcpy(image->Row(y), fImage->Row(y), sizeof(std::uint32_t) * w);
    image->Changed();
  }
  fCanvas.SelectImage(image.get());
  fImage = std::move(image);
}

std::optional<TColor> TBitmap::EffectiveTransparentColor() const noexcept {
  if (!Transparent) return std::nullopt;
  if (TransparentColor) return DrawColor(*TransparentColor);
  if (Empty()) return std::nullopt;
  return fImage->Pixel(0, Height() - 1);
}

void TBitmap::Assign(const TBitmap& other) {
  if (&other == this) return;
  auto image = other.fImage->Clone();
  fCanvas.SelectImage(image.get());
  fImage = std::move(image);
  Transparent = other.Transparent;
  TransparentColor = other.TransparentColor;
}

std::string TBitmap::SaveToStream() const {
  return fImage->EncodePNG(EffectiveTransparentColor());
}

void TBitmap::LoadFromStream(std::string_view bytes) {
  auto image = TPixelImage::DecodePNG(bytes);
  fCanvas.SelectImage(image.get());
  fImage = std::move(image);
}

bool TBitmap::SaveToFile(const std::string& path) const {
  return WriteFileAtomic(path, SaveToStream());
}

void TBitmap::LoadFromFile(const std::string& path) {
  const std::optional<std::string> bytes = ReadFileBytes(path);
  if (!bytes) throw ECanvasError("cannot read " + path);
  LoadFromStream(*bytes);
}

}  // namespace tarvo::platform
