#include "platform/gfx/CanvasTypes.h"

#include <cairo.h>

#include <algorithm>

namespace tarvo::platform {
namespace {

// The engine's regions count in int with width and height; keep every edge
// within a range where Right - Left cannot overflow.
constexpr std::int32_t kRegionLimit = 1 << 29;

std::int32_t Pull(std::int32_t v) {
  return std::clamp(v, -kRegionLimit, kRegionLimit);
}

cairo_region_t* ToEngine(const std::vector<TRect>& rects) {
  std::vector<cairo_rectangle_int_t> r;
  r.reserve(rects.size());
  for (const TRect& x : rects) {
    const int l = Pull(x.Left), t = Pull(x.Top), rr = Pull(x.Right), b = Pull(x.Bottom);
    if (rr > l && b > t) r.push_back({l, t, rr - l, b - t});
  }
  return cairo_region_create_rectangles(r.data(), static_cast<int>(r.size()));
}

std::vector<TRect> FromEngine(cairo_region_t* region) {
  std::vector<TRect> out;
  const int n = cairo_region_num_rectangles(region);
  out.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    cairo_rectangle_int_t r;
    cairo_region_get_rectangle(region, i, &r);
    out.push_back({r.x, r.y, r.x + r.width, r.y + r.height});
  }
  cairo_region_destroy(region);
  return out;
}

template <typename Op>
std::vector<TRect> Combine(const std::vector<TRect>& a, const std::vector<TRect>& b, Op op) {
  cairo_region_t* ra = ToEngine(a);
  cairo_region_t* rb = ToEngine(b);
  op(ra, rb);
  cairo_region_destroy(rb);
  return FromEngine(ra);
}

}  // namespace

TRegion::TRegion(const TRect& rect) {
  const TRect r{Pull(rect.Left), Pull(rect.Top), Pull(rect.Right), Pull(rect.Bottom)};
  if (!r.IsEmpty()) fRects.push_back(r);
}

TRect TRegion::Bounds() const noexcept {
  if (fRects.empty()) return {};
  TRect b = fRects.front();
  for (const TRect& r : fRects) {
    b.Left = std::min(b.Left, r.Left);
    b.Top = std::min(b.Top, r.Top);
    b.Right = std::max(b.Right, r.Right);
    b.Bottom = std::max(b.Bottom, r.Bottom);
  }
  return b;
}

bool TRegion::Contains(TPoint p) const noexcept {
  for (const TRect& r : fRects)
    if (r.Contains(p)) return true;
  return false;
}

void TRegion::Union(const TRegion& other) {
  if (other.fRects.empty()) return;
  fRects = Combine(fRects, other.fRects,
                   [](cairo_region_t* a, cairo_region_t* b) { cairo_region_union(a, b); });
}

void TRegion::Intersect(const TRegion& other) {
  if (fRects.empty()) return;
  fRects = Combine(fRects, other.fRects,
                   [](cairo_region_t* a, cairo_region_t* b) { cairo_region_intersect(a, b); });
}

void TRegion::Subtract(const TRegion& other) {
  if (fRects.empty() || other.fRects.empty()) return;
  fRects = Combine(fRects, other.fRects,
                   [](cairo_region_t* a, cairo_region_t* b) { cairo_region_subtract(a, b); });
}

void TRegion::Offset(std::int32_t dx, std::int32_t dy) {
  for (TRect& r : fRects) {
    r = r.Offset(dx, dy);
    r = {Pull(r.Left), Pull(r.Top), Pull(r.Right), Pull(r.Bottom)};
  }
  std::erase_if(fRects, [](const TRect& r) { return r.IsEmpty(); });
}

}  // namespace tarvo::platform
