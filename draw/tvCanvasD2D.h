// The Direct2D surface: antialiased, with opacity and translucent layers,
// drawing through a canvas of its own bound to the raw canvas's image for the
// rectangle (0, 0, TargetRect.Right, TargetRect.Bottom) (the raw canvas's
// pen, brush and font are never changed). The only surface that answers
// Animatable.
//
// What a client sees, unlike GDI:
// - Coordinates are pixel edges: a rectangle (L, T, R, B) is filled exactly
//   over L..R-1 by T..B-1, and its outline, centred on those edges, straddles
//   two pixels (aliased, it lands on the pixels left of and above each edge).
//   FillRect stays inside its rectangle even when antialiased.
// - Pen styles: dash and dot patterns scaled by the width; clear draws no
//   line; the other styles draw solid.
// - One clip at a time: IntersectClipRect narrows the clip it last set (or
//   the setup rectangle), and SelectClipRgn goes back to the setup rectangle.
// - One layer at a time: a PushLayer inside a layer only counts, and its
//   PopLayer only counts back, so nested groups draw into the outer layer
//   with the outer opacity. A layer still open at EndDraw (or when the
//   surface is freed) is composed then, so nothing drawn is lost.
// - Text: "&" prefixes are processed unless tfNoPrefix; the font takes face,
//   size and colour; text assigned with AssignFont on a Monochrome surface is
//   black (pens and brushes keep their colours).
// - tfCalcRect in TextRect measures and draws nothing, as in GDI.
#pragma once

#include <memory>

#include "draw/tvDrawing.h"
#include "platform/gfx/CanvasGraphics.h"

namespace tarvo {

class TTVCanvasD2D : public TTVCustomCanvas {
 public:
  TTVCanvasD2D(TRawCanvas& canvas, const TRect& targetRect, bool monochrome);
  ~TTVCanvasD2D() override;
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
  void PushLayer(const TRect& rect, double opacity) override;
  void PopLayer() override;

  // Diagnostics: layers and clips pushed on the canvas (each 0 or 1), and
  // nested PushLayer calls that were only counted.
  int LayersPushed() const noexcept { return fCurrentLayer ? 1 : 0; }
  int ClipCount() const noexcept { return fClipCount; }
  int SkippedLayers() const noexcept { return fSkippedLayers; }

  // The text options of the Direct2D text rules for a format.
  static platform::TTextOptions ToTextOptions(const TTextFormat& format);

 protected:
  void DoSetAntialiased(bool value) override;
  void DoCircle(int x, int y, int r) override;
  void DoEllipse(const TRect& rect) override;
  void DoLineTo(int x, int y) override;
  void DoPolyline(std::span<const TPoint> points, int high) override;
  void DoPolygon(std::span<const TPoint> points, int high) override;
  void DoRoundRect(int x1, int y1, int x2, int y2, int x3, int y3) override;
  void DoStretchDraw(const TRect& rect, const TGraphic& graphic) override;

 private:
  class TDirect2DCanvas;
  // Pops every clip pushed before, then pushes rect unless force is false and
  // rect is empty.
  void Clip(const TRect& rect, bool force);

  std::unique_ptr<TDirect2DCanvas> fXCanvas;
  bool fCurrentLayer = false;
  std::int32_t fSkippedLayers = 0;
  TRect fCurrentClip;
  TRect fIntersectClip;
  bool fCurrentClipped = false;
  bool fIntersectClipped = false;
  std::int32_t fClipCount = 0;
};

}  // namespace tarvo
