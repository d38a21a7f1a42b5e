// The GDI+ surface: antialiased where the operation asks for it, with
// opacity, drawing with its own pen, brushes and font on the raw canvas's
// image (the raw canvas's pen, brush and font are never changed).
//
// What a client sees, unlike GDI:
// - Coordinates are pixel centres: a one-pixel line at y = 5 lies exactly on
//   row 5; a line includes its end point; antialiased fills have soft edges
//   half a pixel outside their rectangle.
// - Rectangle and FrameRect outline the rectangle shrunk by one pixel at the
//   right and bottom, so their outline covers Left..Right-1 as in GDI; a
//   rectangle that is one pixel wide or high draws a single line with the pen.
//   FrameRect draws in the brush's colour also while the brush is dropped.
// - Pen styles: dash, dot, dash-dot, dash-dot-dot as patterns scaled by the
//   width; every other style (clear and inside-frame included) draws solid.
//   Line joins are round.
// - Curve draws a cardinal spline (tension 0.5) through the first Count points.
// - Fonts: face, size and colour only (no bold, italic, underline); text is
//   set with a sixth of the font's em as padding on both sides, "&" shows as
//   it is unless the format asks for prefixes to be hidden or shown, and a
//   text wider than its box wraps only with tfWordBreak.
// - AssignFont and SetFont drop the brush; a new surface starts with its
//   brush dropped.
// - Monochrome is ignored. Layers are not composed (PushLayer draws straight
//   through).
#pragma once

#include <memory>
#include <optional>

#include "draw/tvDrawing.h"
#include "platform/gfx/CanvasGraphics.h"

namespace tarvo {

class TTVCanvasGDIPlus : public TTVCustomCanvas {
 public:
  TTVCanvasGDIPlus(TRawCanvas& canvas, const TRect& targetRect, bool monochrome);
  ~TTVCanvasGDIPlus() override;
  static TTVCanvasClass ClassRef() noexcept;
  TTVCanvasClass ClassType() const noexcept override { return ClassRef(); }

  TPoint GetPenPos() const override { return fPenPos; }
  void SetPenPos(TPoint p) override { fPenPos = p; }
  void InitPenAlpha(TColor color, std::uint8_t alpha, int width, TPenStyle style) override;
  void InitBrushAlpha(TColor color, std::uint8_t alpha) override;
  void DropBrush() override { fClearBrushStyle = true; }
  void MoveTo(int x, int y) override { fPenPos = {x, y}; }
  void Rectangle(const TRect& rect) override;
  void FrameRect(const TRect& rect) override;
  void FillRect(const TRect& rect) override;
  void AssignFont(const TFont& font) override;
  void SetFont(int size, TColor color) override;
  void TextOut(int x, int y, std::string_view text) override;
  void TextRect(TRect& rect, std::string& text, const TTextFormat& format) override;
  void TextRect(const TRect& rect, int x, int y, std::string_view text) override;
  int TextWidth(std::string_view text) override;
  TSize TextExtent(std::string_view text) override;
  TSize TextMetrics(TRect& rect, std::string& text, const TTextFormat& format) override;
  void SetupRegion(const TRect& rect) override;
  void ResetRgn() override;
  void IntersectClipRect(const TRect& rect) override;
  void SelectClipRgn() override;
  void Draw(int x, int y, const TGraphic& graphic) override;

  // The text options a format stands for (alignment, wrapping, trimming,
  // hot-key prefix, clipping), flag by flag in flag order.
  static platform::TTextOptions ToGPTextFormat(const TTextFormat& format);

 protected:
  void DoSetAntialiased(bool value) override;
  void DoCircle(int x, int y, int r) override;
  void DoEllipse(const TRect& rect) override;
  void DoCurve(const TPolyline& line) override;
  void DoLineTo(int x, int y) override;
  void DoPolyline(std::span<const TPoint> points, int high) override;
  void DoPolygon(std::span<const TPoint> points, int high) override;
  void DoRoundRect(int x1, int y1, int x2, int y2, int x3, int y3) override;
  void DoStretchDraw(const TRect& rect, const TGraphic& graphic) override;

 private:
  // A new font of the face, size (points) and colour; drops the brush.
  void InitFont(const std::string& name, int size, TColor color);
  // The normalised rectangle, shrunk by one pixel at the right and bottom:
  // fills it and draws its outline with stroke, or the degenerate line.
  void Outline(const TRect& rect, const platform::TStrokeStyle& stroke, bool fill);
  double Padding() const noexcept;

  std::unique_ptr<platform::TGraphics> fGraphics;
  platform::TStrokeStyle fPen;
  std::optional<platform::TStrokeStyle> fFrameRectPen;
  platform::TSolidPaint fBrush;
  platform::TSolidPaint fFontBrush;
  platform::TFontSpec fFont;
  std::int32_t fFontSize = 8;
  TPoint fPenPos;
  float fCurveTension = 0.5f;
  const TFont* fParentFont;
  std::optional<TRect> fCurrentRegion;
  bool fClearBrushStyle = false;
};

}  // namespace tarvo
