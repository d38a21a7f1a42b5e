// The vector context: Cairo with our guards around it. Every coordinate is
// checked and moved to device space here, so the engine sees only finite
// numbers within its range and never a singular matrix; the clip is rebuilt
// from our own state before each call, so layers and clips cannot get out of
// step with each other.
#include "platform/gfx/CanvasGraphics.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "platform/gfx/CanvasEngine.h"

namespace tarvo::platform {

// --- path ------------------------------------------------------------------------

void TPath::MoveTo(double x, double y) {
  fOps.push_back({opMove, x, y, 0, 0, 0, 0});
  fHasCurrent = true;
  fCurrent = {x, y};
}

void TPath::LineTo(double x, double y) {
  fOps.push_back({fHasCurrent ? opLine : opMove, x, y, 0, 0, 0, 0});
  fHasCurrent = true;
  fCurrent = {x, y};
}

void TPath::BezierTo(double x1, double y1, double x2, double y2, double x3, double y3) {
  if (!fHasCurrent) MoveTo(x1, y1);
  fOps.push_back({opCurve, x1, y1, x2, y2, x3, y3});
  fCurrent = {x3, y3};
}

void TPath::ArcTo(const TRectF& box, double startDeg, double sweepDeg) {
  const double cx = (box.Left + box.Right) / 2, cy = (box.Top + box.Bottom) / 2;
  const double rx = std::abs(box.Right - box.Left) / 2, ry = std::abs(box.Bottom - box.Top) / 2;
  if (!std::isfinite(sweepDeg) || !std::isfinite(startDeg)) return;
  sweepDeg = std::clamp(sweepDeg, -360.0, 360.0);
  // Angles of an ellipse are measured on the circle it is stretched from, as
  // the desktop's arcs do: the point at angle a lies on the ray at angle a.
  auto point = [&](double deg) {
    const double a = deg * std::numbers::pi / 180;
    const double c = std::cos(a), s = std::sin(a);
    const double d = std::hypot(ry * c, rx * s);
    const double t = d > 0 ? std::atan2(rx * s / d, ry * c / d) : a;
    return t;  // parametric angle
  };
  const double t0 = point(startDeg);
  double t1 = point(startDeg + sweepDeg);
  if (!std::isfinite(t0) || !std::isfinite(t1) || !std::isfinite(cx + cy + rx + ry)) {
    // A box that is not a number: the figure gets a point that is not one
    // either, and drawing skips it.
    LineTo(cx, cy);
    return;
  }
  // Keep the sweep's direction and size on the parametric circle.
  if (sweepDeg > 0)
    while (t1 <= t0) t1 += 2 * std::numbers::pi;
  else if (sweepDeg < 0)
    while (t1 >= t0) t1 -= 2 * std::numbers::pi;
  if (std::abs(sweepDeg) >= 360) t1 = t0 + (sweepDeg > 0 ? 2 : -2) * std::numbers::pi;
  const TPointF p0{cx + rx * std::cos(t0), cy + ry * std::sin(t0)};
  LineTo(p0.X, p0.Y);
  const double sweep = t1 - t0;
  if (sweep == 0) return;
  const int n = std::clamp(
      static_cast<int>(std::ceil(std::abs(sweep) / (std::numbers::pi / 2) - 1e-9)), 1, 8);
  const double step = sweep / n;
  const double alpha = 4.0 / 3.0 * std::tan(step / 4);
  double t = t0;
  for (int i = 0; i < n; ++i) {
    const double u = t + step;
    const double c0 = std::cos(t), s0 = std::sin(t), c1 = std::cos(u), s1 = std::sin(u);
    BezierTo(cx + rx * (c0 - alpha * s0), cy + ry * (s0 + alpha * c0), cx + rx * (c1 + alpha * s1),
             cy + ry * (s1 - alpha * c1), cx + rx * c1, cy + ry * s1);
    t = u;
  }
}

void TPath::Close() {
  if (!fHasCurrent) return;
  fOps.push_back({opClose, 0, 0, 0, 0, 0, 0});
  fHasCurrent = false;
}

void TPath::AddRectangle(const TRectF& r) {
  MoveTo(r.Left, r.Top);
  LineTo(r.Right, r.Top);
  LineTo(r.Right, r.Bottom);
  LineTo(r.Left, r.Bottom);
  Close();
}

void TPath::AddEllipse(const TRectF& box) {
  fHasCurrent = false;
  ArcTo(box, 0, 360);
  Close();
}

void TPath::AddPolygon(std::span<const TPointF> points) {
  if (points.empty()) return;
  MoveTo(points[0].X, points[0].Y);
  for (size_t i = 1; i < points.size(); ++i) LineTo(points[i].X, points[i].Y);
  Close();
}

// --- context ---------------------------------------------------------------------

namespace {

bool Finite(double v) {
  return std::isfinite(v);
}
template <typename... T>
bool Finite(double v, T... rest) {
  return std::isfinite(v) && Finite(rest...);
}

double Opacity(double o) {
  return o >= 0 ? std::min(o, 1.0) : 0.0;
}

}  // namespace

struct TGraphics::Impl {
  cairo_t* Cr = nullptr;
  TPoint Origin;
  std::vector<TRect> Base;  // device rectangles drawing may reach
  struct Layer {
    TRect Bounds;  // device
    double Opacity;
    std::optional<TRect> Clip;  // the clip when it was pushed (logical)
  };
  std::vector<Layer> Layers;
  bool ClipDirty = true;

  ~Impl() {
    if (Cr) cairo_destroy(Cr);
  }

  double DX(double x, double offset) const { return ClampCoord(x + Origin.X + offset); }
  double DY(double y, double offset) const { return ClampCoord(y + Origin.Y + offset); }

  void ApplyClip(const std::optional<TRect>& clip, const std::optional<TRect>& innermost) {
    cairo_reset_clip(Cr);
    bool any = false;
    for (const TRect& b : Base) {
      TRect r = b;
      if (clip) r = Intersection(r, clip->Offset(Origin.X, Origin.Y));
      if (innermost) r = Intersection(r, *innermost);
      if (r.IsEmpty()) continue;
      cairo_rectangle(Cr, r.Left, r.Top, r.Width(), r.Height());
      any = true;
    }
    if (!any) cairo_rectangle(Cr, 0, 0, 0, 0);
    cairo_clip(Cr);
  }

  // Ready to draw: healthy, clipped; false when there is nothing to draw on.
  bool Ready(const std::optional<TRect>& clip, bool antialias) {
    if (!Cr) return false;
    if (cairo_status(Cr) != CAIRO_STATUS_SUCCESS) {
      // Layers opened on the lost context are gone with it; start again.
      Cr = RecoverContext(Cr);
      Layers.clear();
      ClipDirty = true;
    }
    if (ClipDirty) {
      ApplyClip(clip, Layers.empty() ? std::nullopt : std::optional<TRect>(Layers.back().Bounds));
      ClipDirty = false;
    }
    cairo_set_antialias(Cr, antialias ? CAIRO_ANTIALIAS_DEFAULT : CAIRO_ANTIALIAS_NONE);
    cairo_new_path(Cr);
    return true;
  }

  // Line width, dashes, join and cap; false when the stroke cannot be drawn.
  bool SetStroke(const TStrokeStyle& s, bool antialias) {
    if (!(s.Width > 0) || !std::isfinite(s.Width)) return false;
    const double width = std::min(s.Width, kCoordLimit);
    cairo_set_line_width(Cr, width);
    std::vector<double> dashes;
    bool usable = !s.Dashes.empty();
    double sum = 0;
    for (double d : s.Dashes) {
      if (!(d >= 0) || !std::isfinite(d)) usable = false;
      sum += d;
      dashes.push_back(d * width);
    }
    const bool dashed = usable && sum > 0;
    if (dashed)
      cairo_set_dash(Cr, dashes.data(), static_cast<int>(dashes.size()), 0);
    else
      cairo_set_dash(Cr, nullptr, 0, 0);
    // The engine's aliased stroker loses the dashes of a line with round or
    // bevel joins and draws it solid; mitred joins keep them.
    const TLineJoin join = dashed && !antialias ? ljMiter : s.Join;
    cairo_set_line_join(Cr, join == ljRound   ? CAIRO_LINE_JOIN_ROUND
                            : join == ljBevel ? CAIRO_LINE_JOIN_BEVEL
                                              : CAIRO_LINE_JOIN_MITER);
    cairo_set_line_cap(Cr, s.Cap == lcRound    ? CAIRO_LINE_CAP_ROUND
                           : s.Cap == lcSquare ? CAIRO_LINE_CAP_SQUARE
                                               : CAIRO_LINE_CAP_BUTT);
    SetSourceColor(Cr, s.Paint.Color, Opacity(s.Paint.Opacity));
    return true;
  }

  // Replays a path in device space; false when a coordinate is not finite.
  bool Build(const TPath& path, double offset) {
    for (const auto& it : path.fOps) {
      switch (it.op) {
        case TPath::opMove:
          if (!Finite(it.x1, it.y1)) return false;
          cairo_move_to(Cr, DX(it.x1, offset), DY(it.y1, offset));
          break;
        case TPath::opLine:
          if (!Finite(it.x1, it.y1)) return false;
          cairo_line_to(Cr, DX(it.x1, offset), DY(it.y1, offset));
          break;
        case TPath::opCurve:
          if (!Finite(it.x1, it.y1, it.x2, it.y2, it.x3, it.y3)) return false;
          cairo_curve_to(Cr, DX(it.x1, offset), DY(it.y1, offset), DX(it.x2, offset),
                         DY(it.y2, offset), DX(it.x3, offset), DY(it.y3, offset));
          break;
        case TPath::opClose:
          cairo_close_path(Cr);
          break;
      }
    }
    return true;
  }

  void Done() {
    cairo_new_path(Cr);
    if (cairo_status(Cr) != CAIRO_STATUS_SUCCESS) {
      Cr = RecoverContext(Cr);
      Layers.clear();
      ClipDirty = true;
    }
  }
};

TGraphics::TGraphics(TCanvas& canvas, std::optional<TRect> bounds)
    : fImpl(std::make_unique<Impl>()) {
  TPixelImage* image = canvas.Image();
  if (!image || !CanvasAccess::Surface(*image)) return;
  fImpl->Cr = cairo_create(CanvasAccess::Surface(*image));
  fImpl->Origin = canvas.ViewportOrg();
  const TRect all = image->Bounds();
  std::vector<TRect> base;
  if (canvas.ClipRegion())
    for (const TRect& r : canvas.ClipRegion()->Rects()) base.push_back(Intersection(r, all));
  else
    base.push_back(all);
  for (TRect& r : base) {
    if (bounds) r = Intersection(r, bounds->Offset(fImpl->Origin.X, fImpl->Origin.Y));
    if (!r.IsEmpty()) fImpl->Base.push_back(r);
  }
}

TGraphics::~TGraphics() {
  while (LayerDepth() > 0) PopLayer();
}

void TGraphics::SetCoordinateOffset(double offset) noexcept {
  fOffset = std::isfinite(offset) ? offset : 0;
}

void TGraphics::SetClip(std::optional<TRect> clip) {
  fClip = clip;
  fImpl->ClipDirty = true;
}

void TGraphics::FillRect(const TRectF& r, const TSolidPaint& paint) {
  TPath p;
  p.AddRectangle(r);
  Fill(p, paint);
}

void TGraphics::StrokeRect(const TRectF& r, const TStrokeStyle& stroke) {
  TPath p;
  p.AddRectangle(r);
  Stroke(p, stroke);
}

void TGraphics::StrokeLine(double x1, double y1, double x2, double y2, const TStrokeStyle& stroke) {
  TPath p;
  p.MoveTo(x1, y1);
  p.LineTo(x2, y2);
  Stroke(p, stroke);
}

void TGraphics::StrokeLines(std::span<const TPointF> points, const TStrokeStyle& stroke) {
  if (points.size() < 2) return;
  TPath p;
  p.MoveTo(points[0].X, points[0].Y);
  for (size_t i = 1; i < points.size(); ++i) p.LineTo(points[i].X, points[i].Y);
  Stroke(p, stroke);
}

void TGraphics::Fill(const TPath& path, const TSolidPaint& paint, TFillRule rule) {
  if (path.Empty() || !fImpl->Ready(fClip, fAntialias)) return;
  if (fImpl->Build(path, fOffset)) {
    cairo_set_fill_rule(fImpl->Cr,
                        rule == frAlternate ? CAIRO_FILL_RULE_EVEN_ODD : CAIRO_FILL_RULE_WINDING);
    SetSourceColor(fImpl->Cr, paint.Color, Opacity(paint.Opacity));
    cairo_fill(fImpl->Cr);
  }
  fImpl->Done();
}

void TGraphics::Stroke(const TPath& path, const TStrokeStyle& stroke) {
  if (path.Empty() || !fImpl->Ready(fClip, fAntialias)) return;
  if (fImpl->SetStroke(stroke, fAntialias) && fImpl->Build(path, fOffset)) cairo_stroke(fImpl->Cr);
  fImpl->Done();
}

void TGraphics::DrawBitmap(const TBitmap& picture, const TRectF& dest, bool smooth) {
  if (picture.Empty() || !Finite(dest.Left, dest.Top, dest.Right, dest.Bottom)) return;
  const double dw = dest.Right - dest.Left, dh = dest.Bottom - dest.Top;
  if (dw == 0 || dh == 0 || !fImpl->Ready(fClip, fAntialias)) return;
  cairo_t* cr = fImpl->Cr;
  cairo_surface_t* own = CanvasAccess::Surface(picture.Image());
  cairo_surface_flush(own);
  cairo_surface_t* src = own;
  cairo_surface_t* keyed = nullptr;
  if (const auto key = picture.EffectiveTransparentColor()) {
    // The picture with its transparent colour as alpha 0.
    keyed = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, picture.Width(), picture.Height());
    if (cairo_surface_status(keyed) != CAIRO_STATUS_SUCCESS) {
      cairo_surface_destroy(keyed);
      return;
    }
    cairo_surface_flush(keyed);
    const std::uint32_t k = ToPixel(*key);
    unsigned char* data = cairo_image_surface_get_data(keyed);
    const int stride = cairo_image_surface_get_stride(keyed);
    for (int y = 0; y < picture.Height(); ++y) {
      const std::uint32_t* s = picture.Image().Row(y);
      auto* d = reinterpret_cast<std::uint32_t*>(data + static_cast<ptrdiff_t>(y) * stride);
      for (int x = 0; x < picture.Width(); ++x) {
        const std::uint32_t p = s[x] & 0xFFFFFF;
        d[x] = p == k ? 0 : (p | 0xFF000000u);
      }
    }
    cairo_surface_mark_dirty(keyed);
    src = keyed;
  }
  const double x = ClampCoord(dest.Left + fImpl->Origin.X),
               y = ClampCoord(dest.Top + fImpl->Origin.Y);
  const double sx = dw / picture.Width(), sy = dh / picture.Height();
  const bool exact = sx == 1 && sy == 1 && x == std::floor(x) && y == std::floor(y);
  cairo_save(cr);
  cairo_translate(cr, x, y);
  cairo_scale(cr, sx, sy);
  cairo_set_source_surface(cr, src, 0, 0);
  cairo_pattern_t* pattern = cairo_get_source(cr);
  cairo_pattern_set_filter(pattern,
                           exact || !smooth ? CAIRO_FILTER_NEAREST : CAIRO_FILTER_BILINEAR);
  cairo_pattern_set_extend(pattern, CAIRO_EXTEND_PAD);
  cairo_rectangle(cr, 0, 0, picture.Width(), picture.Height());
  cairo_fill(cr);
  cairo_restore(cr);
  if (keyed) cairo_surface_destroy(keyed);
  fImpl->Done();
}

void TGraphics::PushLayer(const TRect& bounds, double opacity) {
  if (!fImpl->Cr) return;
  if (!fImpl->Ready(fClip, fAntialias)) return;
  TRect device = bounds.Offset(fImpl->Origin.X, fImpl->Origin.Y);
  if (!fImpl->Layers.empty()) device = Intersection(device, fImpl->Layers.back().Bounds);
  // The group's surface takes the extent of the clip in force when it is
  // pushed: the layer's bounds.
  fImpl->ApplyClip(std::nullopt, device);
  cairo_push_group(fImpl->Cr);
  fImpl->Layers.push_back({device, Opacity(opacity), fClip});
  fImpl->ClipDirty = true;
  fImpl->Done();
}

void TGraphics::PopLayer() {
  if (!fImpl->Cr || fImpl->Layers.empty()) return;
  const Impl::Layer layer = fImpl->Layers.back();
  fImpl->Layers.pop_back();
  cairo_pop_group_to_source(fImpl->Cr);
  fImpl->ApplyClip(layer.Clip, layer.Bounds);
  cairo_paint_with_alpha(fImpl->Cr, layer.Opacity);
  fImpl->ClipDirty = true;
  fImpl->Done();
}

int TGraphics::LayerDepth() const noexcept {
  return static_cast<int>(fImpl->Layers.size());
}

void TGraphics::DrawText(const TFontSpec& font, std::string_view text, const TTextOptions& options,
                         const TRectF& box, const TSolidPaint& paint) {
  if (text.empty() || !Finite(box.Left, box.Top, box.Right, box.Bottom)) return;
  const double w = std::max(box.Right - box.Left, 0.0), h = std::max(box.Bottom - box.Top, 0.0);
  const LaidText laid = LayoutText(font, text, options, w, h, false);
  if (laid.Lines.empty() || !fImpl->Ready(fClip, fAntialias)) return;
  cairo_t* cr = fImpl->Cr;
  const double x = ClampCoord(box.Left + fImpl->Origin.X),
               y = ClampCoord(box.Top + fImpl->Origin.Y);
  cairo_save(cr);
  if (options.Clip) {
    cairo_rectangle(cr, x, y, w, h);
    cairo_clip(cr);
  }
  SetSourceColor(cr, paint.Color, Opacity(paint.Opacity));
  for (const LaidLine& line : laid.Lines) RenderLine(cr, font, line, x + line.X, y + line.Y);
  cairo_restore(cr);
  fImpl->Done();
}

void TGraphics::DrawTextAt(const TFontSpec& font, std::string_view text, double x, double y,
                           const TSolidPaint& paint) {
  if (text.empty() || !Finite(x, y) || !fImpl->Ready(fClip, fAntialias)) return;
  LaidLine line;
  line.Text = std::string(text);
  for (char& c : line.Text)
    if (c == '\r' || c == '\n') c = ' ';
  SetSourceColor(fImpl->Cr, paint.Color, Opacity(paint.Opacity));
  RenderLine(fImpl->Cr, font, line, ClampCoord(x + fImpl->Origin.X),
             ClampCoord(y + fImpl->Origin.Y));
  fImpl->Done();
}

}  // namespace tarvo::platform
