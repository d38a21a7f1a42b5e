// The GDI surface: draws through the raw canvas's own operations.
//
// What a client sees: everything aliased and opaque (opacity is ignored);
// the desktop's edge rules (a rectangle covers Left..Right-1, a line leaves
// out its end point); no layers (PushLayer draws straight through); text and
// DrawText flags exactly as the raw canvas does them, "&" prefixes included.
// Monochrome turns every pen white. FrameRect uses the raw brush, so it draws
// nothing while the brush is dropped.
//
// The surface changes the raw canvas's pen, brush and font while it draws
// and puts them back, with the pen position, at EndDraw. The clip is not put
// back: EndDraw leaves the raw canvas without a clip (see TTVCustomCanvas).
#pragma once

#include <optional>

#include "draw/tvDrawing.h"
#include "platform/gfx/CanvasTypes.h"

namespace tarvo {

class TTVCanvasGDI : public TTVCustomCanvas {
 public:
  TTVCanvasGDI(TRawCanvas& canvas, const TRect& targetRect, bool monochrome);
  static TTVCanvasClass ClassRef() noexcept;
  TTVCanvasClass ClassType() const noexcept override { return ClassRef(); }

  TPoint GetPenPos() const override;
  void SetPenPos(TPoint p) override;
  void BeginDraw() override;
  void EndDraw() override;
  void InitPenAlpha(TColor color, std::uint8_t alpha, int width, TPenStyle style) override;
  void InitBrushAlpha(TColor color, std::uint8_t alpha) override;
  void DropBrush() override;
  void MoveTo(int x, int y) override;
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

 protected:
  void DoCircle(int x, int y, int r) override;
  void DoEllipse(const TRect& rect) override;
  void DoLineTo(int x, int y) override;
  void DoPolyline(std::span<const TPoint> points, int high) override;
  void DoPolygon(std::span<const TPoint> points, int high) override;
  void DoRoundRect(int x1, int y1, int x2, int y2, int x3, int y3) override;
  void DoStretchDraw(const TRect& rect, const TGraphic& graphic) override;

 private:
  // The raw brush's colour and style, kept while a line is drawn.
  struct TSavedBrush {
    TColor Color = 0;
    platform::TBrushStyle Style = platform::bsSolid;
  };
  class LineBrush;

  std::optional<platform::TRegion> fCurrentRegion;  // device coordinates
  TSavedBrush fSavedBrush;
  platform::TBrush fRawBrush;
  TFont fRawFont;
  platform::TPen fRawPen;
  TPoint fRawPenPos;
};

}  // namespace tarvo
