#include "draw/tvCanvasGDI.h"

#include <cstdint>

namespace tarvo {

namespace {
std::int32_t Sat(std::int64_t v) {
  return platform::SaturateInt(v);
}
}  // namespace

// Clears the raw brush while a line is drawn, so that the gaps of a styled
// line stay transparent (the raw canvas paints them in a solid brush's
// colour), and puts it back afterwards, also when drawing throws.
class TTVCanvasGDI::LineBrush {
 public:
  explicit LineBrush(TTVCanvasGDI& s) : fSurface(s) {
    platform::TBrush& b = s.RawCanvas().Brush();
    s.fSavedBrush = {b.Color, b.Style};
    b.Style = platform::bsClear;
  }
  ~LineBrush() {
    platform::TBrush& b = fSurface.RawCanvas().Brush();
    b.Color = fSurface.fSavedBrush.Color;
    b.Style = fSurface.fSavedBrush.Style;
  }
  LineBrush(const LineBrush&) = delete;
  LineBrush& operator=(const LineBrush&) = delete;

 private:
  TTVCanvasGDI& fSurface;
};

TTVCanvasGDI::TTVCanvasGDI(TRawCanvas& canvas, const TRect& targetRect, bool monochrome)
    : TTVCustomCanvas(canvas, targetRect, monochrome),
      fRawBrush(canvas.Brush()),
      fRawFont(canvas.Font()),
      fRawPen(canvas.Pen()),
      fRawPenPos(canvas.PenPos()) {}

TTVCanvasClass TTVCanvasGDI::ClassRef() noexcept {
  return {"TTVCanvasGDI",
          [](TRawCanvas& c, const TRect& r, bool m) -> std::unique_ptr<TTVCustomCanvas> {
            return std::make_unique<TTVCanvasGDI>(c, r, m);
          },
          false};
}

TPoint TTVCanvasGDI::GetPenPos() const {
  return RawCanvas().PenPos();
}
void TTVCanvasGDI::SetPenPos(TPoint p) {
  RawCanvas().SetPenPos(p);
}

void TTVCanvasGDI::BeginDraw() {
  TTVCustomCanvas::BeginDraw();
  fRawBrush = RawCanvas().Brush();
  fRawFont = RawCanvas().Font();
  fRawPen = RawCanvas().Pen();
  fRawPenPos = RawCanvas().PenPos();
}

void TTVCanvasGDI::EndDraw() {
  TTVCustomCanvas::EndDraw();
  RawCanvas().Brush() = fRawBrush;
  RawCanvas().Font() = fRawFont;
  RawCanvas().Pen() = fRawPen;
  RawCanvas().SetPenPos(fRawPenPos);
}

void TTVCanvasGDI::InitPenAlpha(TColor color, std::uint8_t, int width, TPenStyle style) {
  platform::TPen& pen = RawCanvas().Pen();
  pen.Color = fMonochrome ? 0xFFFFFF : color;
  pen.Style = style;
  pen.Width = width;
  pen.Mode = platform::pmCopy;
}

void TTVCanvasGDI::InitBrushAlpha(TColor color, std::uint8_t) {
  platform::TBrush& brush = RawCanvas().Brush();
  brush.Color = color;
  brush.Style = platform::bsSolid;
}

void TTVCanvasGDI::DropBrush() {
  RawCanvas().Brush().Style = platform::bsClear;
}

void TTVCanvasGDI::MoveTo(int x, int y) {
  RawCanvas().MoveTo(x, y);
}

void TTVCanvasGDI::DoLineTo(int x, int y) {
  LineBrush clear(*this);
  RawCanvas().LineTo(x, y);
}

void TTVCanvasGDI::DoPolyline(std::span<const TPoint> points, int high) {
  if (high < 1 || points.size() < 2) return TTVCustomCanvas::DoPolyline(points, high);
  LineBrush clear(*this);
  RawCanvas().Polyline(
      points.first(std::min<size_t>(points.size(), static_cast<size_t>(high) + 1)));
}

void TTVCanvasGDI::DoPolygon(std::span<const TPoint> points, int high) {
  if (high < 1 || points.size() < 2) return TTVCustomCanvas::DoPolygon(points, high);
  RawCanvas().Polygon(points.first(std::min<size_t>(points.size(), static_cast<size_t>(high) + 1)));
}

void TTVCanvasGDI::DoCircle(int x, int y, int r) {
  RawCanvas().Ellipse(Sat(std::int64_t{x} - r), Sat(std::int64_t{y} - r), Sat(std::int64_t{x} + r),
                      Sat(std::int64_t{y} + r));
}

void TTVCanvasGDI::DoEllipse(const TRect& rect) {
  RawCanvas().Ellipse(rect);
}

void TTVCanvasGDI::DoRoundRect(int x1, int y1, int x2, int y2, int x3, int y3) {
  RawCanvas().RoundRect(x1, y1, x2, y2, x3, y3);
}

void TTVCanvasGDI::Rectangle(const TRect& rect) {
  RawCanvas().Rectangle(rect);
}
void TTVCanvasGDI::FrameRect(const TRect& rect) {
  RawCanvas().FrameRect(rect);
}
void TTVCanvasGDI::FillRect(const TRect& rect) {
  RawCanvas().FillRect(rect);
}

void TTVCanvasGDI::DoStretchDraw(const TRect& rect, const TGraphic& graphic) {
  RawCanvas().StretchDraw(rect, graphic);
}

void TTVCanvasGDI::Draw(int x, int y, const TGraphic& graphic) {
  RawCanvas().Draw(x, y, graphic);
}

void TTVCanvasGDI::AssignFont(const TFont& font) {
  RawCanvas().Font() = font;
}

void TTVCanvasGDI::SetFont(int size, TColor color) {
  RawCanvas().Font().SetSize(size);
  RawCanvas().Font().Color = color;
  RawCanvas().Brush().Style = platform::bsClear;
}

void TTVCanvasGDI::TextOut(int x, int y, std::string_view text) {
  RawCanvas().TextOut(x, y, text);
}

void TTVCanvasGDI::TextRect(TRect& rect, std::string& text, const TTextFormat& format) {
  RawCanvas().DrawText(text, rect, DrawTextFlags(format));
}

void TTVCanvasGDI::TextRect(const TRect& rect, int x, int y, std::string_view text) {
  RawCanvas().TextRect(rect, x, y, text);
}

int TTVCanvasGDI::TextWidth(std::string_view text) {
  return RawCanvas().TextWidth(text);
}
TSize TTVCanvasGDI::TextExtent(std::string_view text) {
  return RawCanvas().TextExtent(text);
}

TSize TTVCanvasGDI::TextMetrics(TRect& rect, std::string& text, const TTextFormat& format) {
  TRect copy = rect;
  const int height =
      RawCanvas().DrawText(text, copy, DrawTextFlags(format) | platform::DT_CALCRECT);
  if (format.test(tfModifyString)) {
    const size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
  }
  return {rect.Width(), height};
}

void TTVCanvasGDI::SetupRegion(const TRect& rect) {
  const TPoint org = RawCanvas().ViewportOrg();
  fCurrentRegion = platform::TRegion(rect.Offset(org.X, org.Y));
  RawCanvas().SelectClipRgn(&*fCurrentRegion);
}

void TTVCanvasGDI::ResetRgn() {
  fCurrentRegion.reset();
  RawCanvas().SelectClipRgn(nullptr);
}

void TTVCanvasGDI::IntersectClipRect(const TRect& rect) {
  RawCanvas().IntersectClipRect(rect);
}

void TTVCanvasGDI::SelectClipRgn() {
  RawCanvas().SelectClipRgn(fCurrentRegion ? &*fCurrentRegion : nullptr);
}

}  // namespace tarvo
