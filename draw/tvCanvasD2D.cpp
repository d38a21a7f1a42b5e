#include "draw/tvCanvasD2D.h"

#include <algorithm>
#include <cmath>

namespace tarvo {

using platform::TPointF;
using platform::TRectF;
using platform::TSolidPaint;
using platform::TStrokeStyle;
using platform::TTextOptions;

namespace {

TSolidPaint Paint(TColor color, std::uint8_t alpha) {
  return {ColorToRGB(color), alpha / 255.0};
}

int Round(double v) {
  return platform::SaturateInt(static_cast<std::int64_t>(std::nearbyint(std::clamp(v, -2e9, 2e9))));
}

TRectF F(const TRect& r) {
  return {static_cast<double>(r.Left), static_cast<double>(r.Top), static_cast<double>(r.Right),
          static_cast<double>(r.Bottom)};
}

}  // namespace

// The canvas the surface draws through: a vector context on the raw canvas's
// image with a pen, a brush, a font and a pen position of its own.
class TTVCanvasD2D::TDirect2DCanvas {
 public:
  TDirect2DCanvas(TRawCanvas& canvas, const TRect& bound) : Graphics(canvas, bound) {}

  platform::TGraphics Graphics;
  TStrokeStyle Pen;
  bool PenClear = false;
  TSolidPaint Brush;
  bool BrushClear = false;
  platform::TFontSpec Font;
  TSolidPaint FontPaint{0, 1.0};
  TPoint PenPos;

  void Shape(const platform::TPath& path, bool fill) {
    if (fill && !BrushClear) Graphics.Fill(path, Brush);
    if (!PenClear) Graphics.Stroke(path, Pen);
  }
};

TTVCanvasD2D::TTVCanvasD2D(TRawCanvas& canvas, const TRect& targetRect, bool monochrome)
    : TTVCustomCanvas(canvas, targetRect, monochrome),
      fXCanvas(std::make_unique<TDirect2DCanvas>(
          canvas, TRect{0, 0, targetRect.Right, targetRect.Bottom})) {
  // A fresh canvas: black one-pixel pen, white brush, the default font.
  TTVCanvasD2D::InitPenAlpha(0, 255, 1, psSolid);
  fXCanvas->Brush = Paint(0xFFFFFF, 255);
  const TFont font;
  fXCanvas->Font.Name = font.Name;
  fXCanvas->Font.PixelSize = font.Size() * double(platform::PixelsPerInch) / 72;
  fXCanvas->FontPaint = Paint(font.Color, 255);
}

TTVCanvasD2D::~TTVCanvasD2D() = default;

TTVCanvasClass TTVCanvasD2D::ClassRef() noexcept {
  return {"TTVCanvasD2D",
          [](TRawCanvas& c, const TRect& r, bool m) -> std::unique_ptr<TTVCustomCanvas> {
            return std::make_unique<TTVCanvasD2D>(c, r, m);
          },
          true};
}

TPoint TTVCanvasD2D::GetPenPos() const {
  return fXCanvas->PenPos;
}
void TTVCanvasD2D::SetPenPos(TPoint p) {
  fXCanvas->PenPos = p;
}
void TTVCanvasD2D::MoveTo(int x, int y) {
  fXCanvas->PenPos = {x, y};
}

void TTVCanvasD2D::BeginDraw() {
  TTVCustomCanvas::BeginDraw();
}

void TTVCanvasD2D::EndDraw() {
  TTVCustomCanvas::EndDraw();
  // A layer the client left open is composed rather than thrown away.
  while (fXCanvas->Graphics.LayerDepth() > 0) fXCanvas->Graphics.PopLayer();
  fCurrentLayer = false;
  fSkippedLayers = 0;
}

void TTVCanvasD2D::DoSetAntialiased(bool value) {
  fXCanvas->Graphics.SetAntialias(value);
}

void TTVCanvasD2D::InitPenAlpha(TColor color, std::uint8_t alpha, int width, TPenStyle style) {
  TStrokeStyle& p = fXCanvas->Pen;
  p.Paint = Paint(color, alpha);
  p.Width = width > 0 ? width : 1;
  p.Join = platform::ljMiter;
  p.Cap = platform::lcFlat;
  fXCanvas->PenClear = style == psClear;
  switch (style) {
    case psDash:
      p.Dashes = {2, 2};
      break;
    case psDot:
      p.Dashes = {1, 1};
      break;
    case psDashDot:
      p.Dashes = {2, 2, 1, 2};
      break;
    case psDashDotDot:
      p.Dashes = {2, 2, 1, 2, 1, 2};
      break;
    default:
      p.Dashes.clear();
      break;
  }
}

void TTVCanvasD2D::InitBrushAlpha(TColor color, std::uint8_t alpha) {
  fXCanvas->Brush = Paint(color, alpha);
  fXCanvas->BrushClear = false;
}

void TTVCanvasD2D::DropBrush() {
  fXCanvas->BrushClear = true;
}

void TTVCanvasD2D::DoLineTo(int x, int y) {
  if (!fXCanvas->PenClear)
    fXCanvas->Graphics.StrokeLine(fXCanvas->PenPos.X, fXCanvas->PenPos.Y, x, y, fXCanvas->Pen);
  fXCanvas->PenPos = {x, y};
}

namespace {
std::vector<TPointF> Points(std::span<const TPoint> points, int high) {
  const size_t n = std::min<size_t>(points.size(), static_cast<size_t>(high) + 1);
  std::vector<TPointF> p;
  p.reserve(n);
  for (size_t i = 0; i < n; ++i)
    p.push_back({static_cast<double>(points[i].X), static_cast<double>(points[i].Y)});
  return p;
}
}  // namespace

void TTVCanvasD2D::DoPolyline(std::span<const TPoint> points, int high) {
  if (high < 1 || points.size() < 2) return TTVCustomCanvas::DoPolyline(points, high);
  if (!fXCanvas->PenClear) fXCanvas->Graphics.StrokeLines(Points(points, high), fXCanvas->Pen);
}

void TTVCanvasD2D::DoPolygon(std::span<const TPoint> points, int high) {
  if (high < 1 || points.size() < 2) return TTVCustomCanvas::DoPolygon(points, high);
  platform::TPath path;
  path.AddPolygon(Points(points, high));
  fXCanvas->Shape(path, true);
}

void TTVCanvasD2D::DoCircle(int x, int y, int r) {
  const double d = r;
  platform::TPath path;
  path.AddEllipse({x - d, y - d, x + d, y + d});
  fXCanvas->Shape(path, true);
}

void TTVCanvasD2D::DoEllipse(const TRect& rect) {
  platform::TPath path;
  path.AddEllipse(F(rect));
  fXCanvas->Shape(path, true);
}

void TTVCanvasD2D::DoRoundRect(int x1, int y1, int x2, int y2, int x3, int y3) {
  const TRect n = TRect{x1, y1, x2, y2}.Normalized();
  const double l = n.Left, t = n.Top, r = n.Right, b = n.Bottom;
  // Corner radii are half the corner ellipse, at most half the side.
  const double w = 2 * std::clamp(std::abs(double(x3)) / 2, 0.0, (r - l) / 2);
  const double h = 2 * std::clamp(std::abs(double(y3)) / 2, 0.0, (b - t) / 2);
  platform::TPath path;
  path.ArcTo({l, t, l + w, t + h}, 180, 90);
  path.ArcTo({r - w, t, r, t + h}, 270, 90);
  path.ArcTo({r - w, b - h, r, b}, 0, 90);
  path.ArcTo({l, b - h, l + w, b}, 90, 90);
  path.Close();
  fXCanvas->Shape(path, true);
}

void TTVCanvasD2D::Rectangle(const TRect& rect) {
  platform::TPath path;
  path.AddRectangle(F(rect));
  fXCanvas->Shape(path, true);
}

void TTVCanvasD2D::FrameRect(const TRect& rect) {
  TStrokeStyle s;
  s.Paint = fXCanvas->Brush;
  s.Width = 1;
  fXCanvas->Graphics.StrokeRect(F(rect), s);
}

void TTVCanvasD2D::FillRect(const TRect& rect) {
  if (fXCanvas->BrushClear) return;
  // An axis-aligned clip of the rectangle for this one fill keeps its edges
  // on whole pixels, antialiased or not.
  platform::TGraphics& g = fXCanvas->Graphics;
  const std::optional<TRect> saved = g.Clip();
  g.SetClip(saved ? platform::Intersection(*saved, rect) : rect);
  g.FillRect(F(rect), fXCanvas->Brush);
  g.SetClip(saved);
}

void TTVCanvasD2D::DoStretchDraw(const TRect& rect, const TGraphic& graphic) {
  fXCanvas->Graphics.DrawBitmap(graphic, F(rect), true);
}

void TTVCanvasD2D::Draw(int x, int y, const TGraphic& graphic) {
  fXCanvas->Graphics.DrawBitmap(
      graphic,
      {static_cast<double>(x), static_cast<double>(y), static_cast<double>(x) + graphic.Width(),
       static_cast<double>(y) + graphic.Height()},
      true);
}

// --- text ------------------------------------------------------------------------------

void TTVCanvasD2D::AssignFont(const TFont& font) {
  fXCanvas->FontPaint = Paint(fMonochrome ? TColor{0} : font.Color, 255);
  fXCanvas->Font.Name = font.Name;
  fXCanvas->Font.PixelSize = font.Size() * double(platform::PixelsPerInch) / 72;
}

void TTVCanvasD2D::SetFont(int size, TColor color) {
  fXCanvas->Font.PixelSize = size * double(platform::PixelsPerInch) / 72;
  fXCanvas->FontPaint = Paint(color, 255);
  fXCanvas->BrushClear = true;
}

TTextOptions TTVCanvasD2D::ToTextOptions(const TTextFormat& format) {
  TTextOptions o;
  o.Prefix = format.test(tfNoPrefix) ? platform::hkNone : platform::hkShow;
  if (format.test(tfEndEllipsis))
    o.Trimming = platform::ttEllipsisEnd;
  else if (format.test(tfPathEllipsis))
    o.Trimming = platform::ttEllipsisPath;
  if (format.test(tfCenter))
    o.HorzAlign = platform::thaCenter;
  else if (format.test(tfRight))
    o.HorzAlign = platform::thaRight;
  o.WordWrap = format.test(tfWordBreak) && !format.test(tfSingleLine);
  if (format.test(tfSingleLine)) {
    if (format.test(tfVerticalCenter))
      o.VertAlign = platform::tvaCenter;
    else if (format.test(tfBottom))
      o.VertAlign = platform::tvaBottom;
  }
  o.Clip = !format.test(tfNoClip);
  return o;
}

void TTVCanvasD2D::TextOut(int x, int y, std::string_view text) {
  if (text.empty()) return;
  if (!fXCanvas->BrushClear) {
    const TSize s = TextExtent(text);
    fXCanvas->Graphics.FillRect({double(x), double(y), double(x) + s.cx, double(y) + s.cy},
                                fXCanvas->Brush);
  }
  fXCanvas->Graphics.DrawTextAt(fXCanvas->Font, text, x, y, fXCanvas->FontPaint);
}

void TTVCanvasD2D::TextRect(TRect& rect, std::string& text, const TTextFormat& format) {
  const TTextOptions o = ToTextOptions(format);
  const double w = std::max(rect.Left, rect.Right) - double(rect.Left);
  const double h = std::max(rect.Top, rect.Bottom) - double(rect.Top);
  if (format.test(tfCalcRect)) {
    const platform::TTextMeasure m = platform::MeasureText(fXCanvas->Font, text, o, w);
    rect.Right = platform::SaturateInt(rect.Left + static_cast<std::int64_t>(std::ceil(m.Width)));
    rect.Bottom = platform::SaturateInt(rect.Top + static_cast<std::int64_t>(std::ceil(m.Height)));
    return;
  }
  if (text.empty()) return;
  if (!fXCanvas->BrushClear) {
    const platform::TTextMeasure m = platform::MeasureText(fXCanvas->Font, text, o, w, h);
    double bx = rect.Left, by = rect.Top;
    if (o.HorzAlign == platform::thaCenter) bx += (w - m.Width) / 2;
    if (o.HorzAlign == platform::thaRight) bx += w - m.Width;
    if (o.VertAlign == platform::tvaCenter) by += (h - m.Height) / 2;
    if (o.VertAlign == platform::tvaBottom) by += h - m.Height;
    fXCanvas->Graphics.FillRect({bx, by, bx + m.Width, by + m.Height}, fXCanvas->Brush);
  }
  fXCanvas->Graphics.DrawText(fXCanvas->Font, text, o,
                              {double(rect.Left), double(rect.Top), rect.Left + w, rect.Top + h},
                              fXCanvas->FontPaint);
}

void TTVCanvasD2D::TextRect(const TRect& rect, int x, int y, std::string_view text) {
  FillRect(rect);
  platform::TGraphics& g = fXCanvas->Graphics;
  const std::optional<TRect> saved = g.Clip();
  g.SetClip(saved ? platform::Intersection(*saved, rect) : rect);
  g.DrawTextAt(fXCanvas->Font, text, x, y, fXCanvas->FontPaint);
  g.SetClip(saved);
}

int TTVCanvasD2D::TextWidth(std::string_view text) {
  return TextExtent(text).cx;
}

TSize TTVCanvasD2D::TextExtent(std::string_view text) {
  if (text.empty()) return {};
  const platform::TTextMeasure m =
      platform::MeasureText(fXCanvas->Font, text, TTextOptions{}, std::nullopt);
  return {Round(m.Width), Round(m.Height)};
}

TSize TTVCanvasD2D::TextMetrics(TRect& rect, std::string& text, const TTextFormat& format) {
  if (text.empty()) return {rect.Width(), 0};
  const double w = std::max(rect.Left, rect.Right) - double(rect.Left);
  const platform::TTextMeasure m =
      platform::MeasureText(fXCanvas->Font, text, ToTextOptions(format), w);
  return {rect.Width(), Round(m.Height)};
}

// --- clip and layers ------------------------------------------------------------------------

void TTVCanvasD2D::Clip(const TRect& rect, bool force) {
  if (fClipCount > 0) {
    fXCanvas->Graphics.SetClip(std::nullopt);
    fClipCount = 0;
  }
  fIntersectClipped = false;
  if (!force && rect.IsEmpty()) return;
  fXCanvas->Graphics.SetClip(rect);
  fClipCount = 1;
  fIntersectClip = rect;
  fIntersectClipped = true;
}

void TTVCanvasD2D::SetupRegion(const TRect& rect) {
  fCurrentClip = rect;
  fCurrentClipped = true;
  Clip(rect, true);
}

void TTVCanvasD2D::ResetRgn() {
  fCurrentClip = {};
  fCurrentClipped = false;
  Clip({}, false);
}

void TTVCanvasD2D::IntersectClipRect(const TRect& rect) {
  TRect clip = rect;
  if (fIntersectClipped)
    clip = platform::Intersection(fIntersectClip, rect);
  else if (fCurrentClipped)
    clip = platform::Intersection(fCurrentClip, rect);
  Clip(clip, true);
}

void TTVCanvasD2D::SelectClipRgn() {
  Clip(fCurrentClip, fCurrentClipped);
}

void TTVCanvasD2D::PushLayer(const TRect& rect, double opacity) {
  if (fCurrentLayer) {
    ++fSkippedLayers;
    return;
  }
  fXCanvas->Graphics.PushLayer(rect.Inflate(1, 1), opacity);
  fCurrentLayer = true;
}

void TTVCanvasD2D::PopLayer() {
  if (fSkippedLayers > 0) {
    --fSkippedLayers;
    return;
  }
  if (!fCurrentLayer) return;
  fXCanvas->Graphics.PopLayer();
  fCurrentLayer = false;
}

}  // namespace tarvo
