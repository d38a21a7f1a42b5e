#include "draw/tvCanvasGDIPluse.h"

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

TRectF Box(double x, double y, double w, double h) {
  return {x, y, x + w, y + h};
}

// Restores the clip when text drawn under a narrower one is done, also on failure.
class ClipKeeper {
 public:
  explicit ClipKeeper(platform::TGraphics& g) : fGraphics(g), fSaved(g.Clip()) {}
  ~ClipKeeper() { fGraphics.SetClip(fSaved); }
  ClipKeeper(const ClipKeeper&) = delete;
  ClipKeeper& operator=(const ClipKeeper&) = delete;

 private:
  platform::TGraphics& fGraphics;
  std::optional<TRect> fSaved;
};

}  // namespace

TTVCanvasGDIPlus::TTVCanvasGDIPlus(TRawCanvas& canvas, const TRect& targetRect, bool monochrome)
    : TTVCustomCanvas(canvas, targetRect, monochrome),
      fGraphics(std::make_unique<platform::TGraphics>(canvas)),
      fParentFont(&canvas.Font()) {
  // GDI+ places integer coordinates on pixel centres.
  fGraphics->SetCoordinateOffset(0.5);
  // Called on this class by name: the surface starts with the raw canvas's
  // pen colour and width, its brush colour and its font (which drops the brush).
  TTVCanvasGDIPlus::InitPenAlpha(canvas.Pen().Color, 255, canvas.Pen().Width, psSolid);
  TTVCanvasGDIPlus::InitBrushAlpha(canvas.Brush().Color, 255);
  TTVCanvasGDIPlus::AssignFont(canvas.Font());
}

TTVCanvasGDIPlus::~TTVCanvasGDIPlus() = default;

TTVCanvasClass TTVCanvasGDIPlus::ClassRef() noexcept {
  return {"TTVCanvasGDIPlus",
          [](TRawCanvas& c, const TRect& r, bool m) -> std::unique_ptr<TTVCustomCanvas> {
            return std::make_unique<TTVCanvasGDIPlus>(c, r, m);
          },
          false};
}

void TTVCanvasGDIPlus::DoSetAntialiased(bool value) {
  fGraphics->SetAntialias(value);
}

void TTVCanvasGDIPlus::InitPenAlpha(TColor color, std::uint8_t alpha, int width, TPenStyle style) {
  fPen.Paint = Paint(color, alpha);
  // A pen of width 0 draws the thinnest line there is.
  fPen.Width = width > 0 ? static_cast<float>(width) : 1.0f;
  fPen.Join = platform::ljRound;
  fPen.Cap = platform::lcFlat;
  switch (style) {
    case psDash:
      fPen.Dashes = {3, 1};
      break;
    case psDot:
      fPen.Dashes = {1, 1};
      break;
    case psDashDot:
      fPen.Dashes = {3, 1, 1, 1};
      break;
    case psDashDotDot:
      fPen.Dashes = {3, 1, 1, 1, 1, 1};
      break;
    default:
      fPen.Dashes.clear();
      break;
  }
}

void TTVCanvasGDIPlus::InitBrushAlpha(TColor color, std::uint8_t alpha) {
  fBrush = Paint(color, alpha);
  fClearBrushStyle = false;
}

void TTVCanvasGDIPlus::DoLineTo(int x, int y) {
  fGraphics->StrokeLine(fPenPos.X, fPenPos.Y, x, y, fPen);
  fPenPos = {x, y};
}

void TTVCanvasGDIPlus::DoPolyline(std::span<const TPoint> points, int high) {
  if (high < 1 || points.size() < 2) return TTVCustomCanvas::DoPolyline(points, high);
  const size_t n = std::min<size_t>(points.size(), static_cast<size_t>(high) + 1);
  std::vector<TPointF> p;
  for (size_t i = 0; i < n; ++i)
    p.push_back({static_cast<double>(points[i].X), static_cast<double>(points[i].Y)});
  fGraphics->StrokeLines(p, fPen);
}

void TTVCanvasGDIPlus::DoPolygon(std::span<const TPoint> points, int high) {
  if (high < 1 || points.size() < 2) return TTVCustomCanvas::DoPolygon(points, high);
  const size_t n = std::min<size_t>(points.size(), static_cast<size_t>(high) + 1);
  std::vector<TPointF> p;
  for (size_t i = 0; i < n; ++i)
    p.push_back({static_cast<double>(points[i].X), static_cast<double>(points[i].Y)});
  platform::TPath path;
  path.AddPolygon(p);
  if (!fClearBrushStyle) fGraphics->Fill(path, fBrush);
  fGraphics->Stroke(path, fPen);
}

void TTVCanvasGDIPlus::DoCircle(int x, int y, int r) {
  const double d = r;
  platform::TPath path;
  path.AddEllipse({x - d, y - d, x + d - 1, y + d - 1});
  if (!fClearBrushStyle) fGraphics->Fill(path, fBrush);
  fGraphics->Stroke(path, fPen);
}

void TTVCanvasGDIPlus::DoEllipse(const TRect& rect) {
  platform::TPath path;
  path.AddEllipse({static_cast<double>(rect.Left), static_cast<double>(rect.Top), rect.Right - 1.0,
                   rect.Bottom - 1.0});
  if (!fClearBrushStyle) fGraphics->Fill(path, fBrush);
  fGraphics->Stroke(path, fPen);
}

void TTVCanvasGDIPlus::DoCurve(const TPolyline& line) {
  // Count comes from the caller and may claim more points than Items holds:
  // only the points that exist are used.
  const size_t count =
      std::min<size_t>(static_cast<size_t>(std::max(line.Count, 0)), line.Items.size());
  if (count < 2) return TTVCustomCanvas::DoCurve(line);
  // A cardinal spline: at each point the tangent is the tension times the
  // chord between its neighbours, each segment one cubic Bezier curve.
  const auto& p = line.Items;
  const double t = fCurveTension;
  platform::TPath path;
  path.MoveTo(p[0].X, p[0].Y);
  for (size_t i = 0; i + 1 < count; ++i) {
    const TPoint& p0 = p[i == 0 ? 0 : i - 1];
    const TPoint& p1 = p[i];
    const TPoint& p2 = p[i + 1];
    const TPoint& p3 = p[std::min(i + 2, count - 1)];
    path.BezierTo(p1.X + t * (double(p2.X) - p0.X) / 3, p1.Y + t * (double(p2.Y) - p0.Y) / 3,
                  p2.X - t * (double(p3.X) - p1.X) / 3, p2.Y - t * (double(p3.Y) - p1.Y) / 3, p2.X,
                  p2.Y);
  }
  fGraphics->Stroke(path, fPen);
}

void TTVCanvasGDIPlus::DoRoundRect(int x1, int y1, int x2, int y2, int x3, int y3) {
  const TRect n = TRect{x1, y1, x2, y2}.Normalized();
  if (n.IsEmpty()) return;
  const double l = n.Left, t = n.Top, r = n.Right - 1.0, b = n.Bottom - 1.0;
  const double w = std::clamp(static_cast<double>(x3), 0.0, r - l);
  const double h = std::clamp(static_cast<double>(y3), 0.0, b - t);
  platform::TPath path;
  path.ArcTo(Box(l, t, w, h), 180, 90);
  path.LineTo(l + w / 2, t);
  path.LineTo(r - w / 2, t);
  path.ArcTo(Box(r - w, t, w, h), 270, 90);
  path.LineTo(r, t + h / 2);
  path.LineTo(r, b - h / 2);
  path.ArcTo(Box(r - w, b - h, w, h), 0, 90);
  path.LineTo(r - w / 2, b);
  path.LineTo(l + w / 2, b);
  path.ArcTo(Box(l, b - h, w, h), 90, 90);
  path.LineTo(l, b - h / 2);
  path.LineTo(l, t + h / 2);
  path.Close();
  if (!fClearBrushStyle) fGraphics->Fill(path, fBrush);
  fGraphics->Stroke(path, fPen);
}

void TTVCanvasGDIPlus::Outline(const TRect& rect, const TStrokeStyle& stroke, bool fill) {
  // A rectangle that covers no pixel has no outline either.
  const TRect n = rect.Normalized();
  if (n.IsEmpty()) return;
  const double x = n.Left, y = n.Top;
  double w = n.Right - 1.0 - n.Left, h = n.Bottom - 1.0 - n.Top;
  if (w != 0 && h != 0) {
    if (fill && !fClearBrushStyle) fGraphics->FillRect(Box(x, y, w, h), fBrush);
    fGraphics->StrokeRect(Box(x, y, w, h), stroke);
    return;
  }
  if (w == 0 && h == 0) w = h = 1;
  fGraphics->StrokeLine(x, y, x + w, y + h, stroke);
}

void TTVCanvasGDIPlus::Rectangle(const TRect& rect) {
  Outline(rect, fPen, true);
}

void TTVCanvasGDIPlus::FrameRect(const TRect& rect) {
  if (!fFrameRectPen) fFrameRectPen.emplace();
  fFrameRectPen->Width = 1;
  fFrameRectPen->Paint = fBrush;
  Outline(rect, *fFrameRectPen, false);
}

void TTVCanvasGDIPlus::FillRect(const TRect& rect) {
  if (fClearBrushStyle) return;
  const TRect n = rect.Normalized();
  fGraphics->FillRect({static_cast<double>(n.Left), static_cast<double>(n.Top),
                       static_cast<double>(n.Right), static_cast<double>(n.Bottom)},
                      fBrush);
}

void TTVCanvasGDIPlus::DoStretchDraw(const TRect& rect, const TGraphic& graphic) {
  fGraphics->DrawBitmap(graphic,
                        {static_cast<double>(rect.Left), static_cast<double>(rect.Top),
                         static_cast<double>(rect.Right), static_cast<double>(rect.Bottom)},
                        true);
}

void TTVCanvasGDIPlus::Draw(int x, int y, const TGraphic& graphic) {
  StretchDraw({x, y, platform::SaturateInt(std::int64_t{x} + graphic.Width()),
               platform::SaturateInt(std::int64_t{y} + graphic.Height())},
              graphic);
}

// --- text -------------------------------------------------------------------------------

void TTVCanvasGDIPlus::InitFont(const std::string& name, int size, TColor color) {
  fFontBrush = Paint(color, 255);
  fFont = {};
  fFont.Name = name;
  fFont.PixelSize = size * double(platform::PixelsPerInch) / 72;
  fFontSize = size;
  DropBrush();
}

void TTVCanvasGDIPlus::AssignFont(const TFont& font) {
  InitFont(font.Name, font.Size(), font.Color);
}

void TTVCanvasGDIPlus::SetFont(int size, TColor color) {
  InitFont(fParentFont->Name, size, color);
}

double TTVCanvasGDIPlus::Padding() const noexcept {
  return fFont.PixelSize / 6;
}

TTextOptions TTVCanvasGDIPlus::ToGPTextFormat(const TTextFormat& format) {
  TTextOptions o;
  o.Prefix = platform::hkNone;
  o.Trimming = platform::ttNone;
  bool noWrap = false;
  for (size_t i = 0; i < format.size(); ++i) {
    if (!format.test(i)) continue;
    switch (static_cast<TTextFormats>(i)) {
      case tfBottom:
        o.VertAlign = platform::tvaBottom;
        break;
      case tfCenter:
        o.HorzAlign = platform::thaCenter;
        break;
      case tfEndEllipsis:
        o.Trimming = platform::ttEllipsisEnd;
        break;
      case tfPathEllipsis:
        o.Trimming = platform::ttEllipsisPath;
        break;
      case tfLeft:
        o.HorzAlign = platform::thaLeft;
        break;
      case tfNoClip:
        o.Clip = false;
        break;
      case tfNoPrefix:
        o.Prefix = platform::hkNone;
        break;
      case tfRight:
        o.HorzAlign = platform::thaRight;
        break;
      case tfSingleLine:
        noWrap = true;
        break;
      case tfTop:
        o.VertAlign = platform::tvaTop;
        break;
      case tfVerticalCenter:
        if (format.test(tfSingleLine)) o.VertAlign = platform::tvaCenter;
        break;
      case tfWordBreak:
        o.Trimming = platform::ttWord;
        break;
      case tfHidePrefix:
        o.Prefix = platform::hkHide;
        break;
      case tfPrefixOnly:
        o.Prefix = platform::hkShow;
        break;
      case tfWordEllipsis:
        o.Trimming = platform::ttEllipsisWord;
        break;
      default:
        break;
    }
  }
  if (!format.test(tfWordBreak) && !format.test(tfSingleLine)) noWrap = true;
  o.WordWrap = !noWrap;
  return o;
}

void TTVCanvasGDIPlus::TextOut(int x, int y, std::string_view text) {
  TTextOptions o;
  o.Clip = false;
  const double pad = Padding();
  fGraphics->DrawText(fFont, text, o, {x + pad, double(y), x + pad, double(y)}, fFontBrush);
}

int TTVCanvasGDIPlus::TextWidth(std::string_view text) {
  return TextExtent(text).cx;
}

TSize TTVCanvasGDIPlus::TextExtent(std::string_view text) {
  if (text.empty()) return {};
  const platform::TTextMeasure m = platform::MeasureText(fFont, text, TTextOptions{}, std::nullopt);
  return {Round(m.Width + 2 * Padding()), Round(m.Height)};
}

void TTVCanvasGDIPlus::TextRect(TRect& rect, std::string& text, const TTextFormat& format) {
  const TTextOptions o = ToGPTextFormat(format);
  const double pad = Padding();
  const double left = rect.Left, top = rect.Top, w = rect.Width(), h = rect.Height();
  const double inner = std::max(w - 2 * pad, 0.0);
  if (format.test(tfCalcRect)) {
    // Measuring only, as the flag asks: the box the text takes.
    const platform::TTextMeasure m = platform::MeasureText(fFont, text, o, inner);
    rect.Right = platform::SaturateInt(
        rect.Left + static_cast<std::int64_t>(std::ceil(m.Lines ? m.Width + 2 * pad : 0)));
    rect.Bottom = platform::SaturateInt(rect.Top + static_cast<std::int64_t>(std::ceil(m.Height)));
    return;
  }
  const double d1 = fFontSize / 4.5, d2 = fFontSize / 6.0;
  if (!fClearBrushStyle && !text.empty()) {
    const platform::TTextMeasure m = platform::MeasureText(fFont, text, o, inner, h);
    const double bw = m.Width + 2 * pad, bh = m.Height - d2;
    double bx = left, by = top;
    if (o.HorzAlign == platform::thaCenter) bx += (w - bw) / 2;
    if (o.HorzAlign == platform::thaRight) bx += w - bw;
    if (o.VertAlign == platform::tvaCenter) by += (h - m.Height) / 2;
    if (o.VertAlign == platform::tvaBottom) by += h - m.Height;
    if (bh > 0) fGraphics->FillRect({bx, by, bx + bw, by + bh}, fBrush);
  }
  // The layout box moves left by d1 and widens by d1: that cancels the
  // padding on the left, so the text starts at Left as in GDI.
  const double boxLeft = left - d1, boxWidth = w + d1;
  fGraphics->DrawText(fFont, text, o,
                      {boxLeft + pad, top, boxLeft + std::max(boxWidth - pad, pad), top + h},
                      fFontBrush);
}

void TTVCanvasGDIPlus::TextRect(const TRect& rect, int x, int y, std::string_view text) {
  FillRect(rect);
  ClipKeeper keep(*fGraphics);
  const std::optional<TRect> clip = fGraphics->Clip();
  fGraphics->SetClip(clip ? platform::Intersection(*clip, rect) : rect);
  TTextOptions o = ToGPTextFormat(TextFormat({tfNoClip, tfSingleLine}));
  const double start = x - fFontSize / 4.5 + Padding();
  fGraphics->DrawText(fFont, text, o, {start, double(y), start, double(y)}, fFontBrush);
}

TSize TTVCanvasGDIPlus::TextMetrics(TRect& rect, std::string& text, const TTextFormat& format) {
  const TTextOptions o = ToGPTextFormat(format);
  const double inner = std::max(rect.Width() - 2 * Padding(), 0.0);
  const platform::TTextMeasure m = platform::MeasureText(fFont, text, o, inner);
  return {rect.Width(), Round(m.Height)};
}

// --- clip ------------------------------------------------------------------------------

void TTVCanvasGDIPlus::SetupRegion(const TRect& rect) {
  fCurrentRegion = rect;
  fGraphics->SetClip(rect);
}

void TTVCanvasGDIPlus::ResetRgn() {
  fCurrentRegion.reset();
  fGraphics->SetClip(std::nullopt);
}

void TTVCanvasGDIPlus::IntersectClipRect(const TRect& rect) {
  const std::optional<TRect> clip = fGraphics->Clip();
  fGraphics->SetClip(clip ? platform::Intersection(*clip, rect) : rect);
}

void TTVCanvasGDIPlus::SelectClipRgn() {
  fGraphics->SetClip(fCurrentRegion);
}

}  // namespace tarvo
