// One drawing vocabulary over three back ends.
//
// TTVCustomCanvas is the abstract drawing surface the chart draws through. A
// surface is short-lived: a client makes one for a single paint pass over a
// raw canvas (platform/gfx/Canvas.h) and a target rectangle, brackets its drawing
// with BeginDraw and EndDraw, and frees it. The surface never owns the raw
// canvas, which must outlive it.
//
//   auto surface = TVCanvasClass().Create(canvas, paintRect, false);
//   surface->BeginDraw();
//   surface->InitPen(clBlack, 1, psSolid);
//   surface->Line(0, 10, 100, 10);
//   surface->EndDraw();
//
// The back ends (tvCanvasGDI.h, tvCanvasGDIPluse.h, tvCanvasD2D.h) differ in
// ways a client can see: GDI draws aliased and opaque with the desktop's edge
// rules, GDI+ antialiases per call and honours opacity, Direct2D antialiases,
// honours opacity and composes layers. Which one a process uses is chosen once
// when this library loads, from the host's "Graphics" switch (see
// InitGraphicsKind); clients create surfaces through TVCanvasClass().
//
// Antialiasing. The non-virtual shape operations switch antialiasing on for
// their own drawing where it helps and always off again afterwards, also when
// the drawing throws: Circle, Ellipse, Curve, Polygon, Polyline and RoundRect
// are antialiased; LineTo only for diagonal lines (horizontal and vertical
// lines stay crisp); StretchDraw only when the picture is scaled.
//
// Colours are TColor (0x00BBGGRR; system colours are resolved before use) with
// a separate opacity byte, 0 transparent to 255 opaque.
//
// Threads: the user-interface thread. A surface serves one paint pass; the
// back-end selection is a process-wide value without a lock.
#pragma once

#include <bitset>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/Colors.h"
#include "platform/gfx/Canvas.h"
#include "platform/gfx/CanvasTypes.h"

namespace tarvo {

using platform::TPoint;
using platform::TRect;
using platform::TSize;
using TRawCanvas = platform::TCanvas;
using TGraphic = platform::TBitmap;
using TFont = platform::TFont;
using TPenStyle = platform::TPenStyle;
using platform::psAlternate;
using platform::psClear;
using platform::psDash;
using platform::psDashDot;
using platform::psDashDotDot;
using platform::psDot;
using platform::psInsideFrame;
using platform::psSolid;
using platform::psUserStyle;

// Ordinals are stored and passed by the host; keep them.
enum TGraphicsKind : std::uint8_t { gkUnknown, gkDefault, gkGDI, gkGDIPlus, gkD2D };

using TPointDynArray = std::vector<TPoint>;

// Polyline and Polygon use every element of Items and ignore Count; only the
// GDI+ curve reads Count (and never past the end of Items).
struct TPolyline {
  std::int32_t Count = 0;
  TPointDynArray Items;
};

// Text format flags; bit n of TTextFormat stands for the n-th entry. Bits 0
// to 22 mean what the DrawText flags of the same names mean.
enum TTextFormats : std::uint8_t {
  tfBottom,
  tfCalcRect,
  tfCenter,
  tfEditControl,
  tfEndEllipsis,
  tfPathEllipsis,
  tfExpandTabs,
  tfExternalLeading,
  tfLeft,
  tfModifyString,
  tfNoClip,
  tfNoPrefix,
  tfRight,
  tfRtlReading,
  tfSingleLine,
  tfTop,
  tfVerticalCenter,
  tfWordBreak,
  tfHidePrefix,
  tfNoFullWidthCharBreak,
  tfPrefixOnly,
  tfTabStop,
  tfWordEllipsis,
  tfComposited,
};
using TTextFormat = std::bitset<24>;

TTextFormat TextFormat(std::initializer_list<TTextFormats> flags);
// The raw canvas's DrawText flags of the same meaning (tfComposited has none).
std::uint32_t DrawTextFlags(const TTextFormat& format);

// Raised when an operation that only a back end provides is asked of the
// abstract surface itself (a programming error).
class EAbstractError : public std::logic_error {
 public:
  EAbstractError() : std::logic_error("Abstract Error") {}
};

class TTVCustomCanvas;

// A class reference: creates surfaces of one class and answers class-level
// questions without an instance. A plain value; compare with ==.
class TTVCanvasClass {
 public:
  using TFactory = std::unique_ptr<TTVCustomCanvas> (*)(TRawCanvas& canvas, const TRect& targetRect,
                                                        bool monochrome);
  constexpr TTVCanvasClass(const char* name, TFactory factory, bool animatable) noexcept
      : fName(name), fFactory(factory), fAnimatable(animatable) {}

  // A new surface of this class for one paint pass over canvas. Throws
  // EAbstractError for the abstract surface's own class.
  std::unique_ptr<TTVCustomCanvas> Create(TRawCanvas& canvas, const TRect& targetRect,
                                          bool monochrome) const;
  // Whether the class draws fast enough for animation.
  bool Animatable() const noexcept { return fAnimatable; }
  std::string_view ClassName() const noexcept { return fName; }

  friend bool operator==(const TTVCanvasClass& a, const TTVCanvasClass& b) noexcept {
    return std::string_view(a.fName) == b.fName;
  }

 private:
  const char* fName;
  TFactory fFactory;
  bool fAnimatable;
};

// Virtual operations are declared in the order of their slots; clients and
// back ends built against one version of this header rely on it.
class TTVCustomCanvas {
 protected:
  // Slots of the non-virtual operations below; see the back ends.
  virtual void DoSetAntialiased(bool value);
  virtual void DoCircle(int x, int y, int r);
  virtual void DoEllipse(const TRect& rect);
  virtual void DoCurve(const TPolyline& line);  // base: Polyline(line)
  virtual void DoLineTo(int x, int y);
  // high is the index of the last point (points.size() - 1). Base: one point
  // draws a circle of radius 1 around it; otherwise nothing.
  virtual void DoPolyline(std::span<const TPoint> points, int high);
  virtual void DoPolygon(std::span<const TPoint> points, int high);
  virtual void DoRoundRect(int x1, int y1, int x2, int y2, int x3, int y3);
  virtual void DoStretchDraw(const TRect& rect, const TGraphic& graphic);

 public:
  virtual TPoint GetPenPos() const = 0;
  virtual void SetPenPos(TPoint p) = 0;
  TPoint PenPos() const { return GetPenPos(); }

  // Stores the three values; the surface draws on canvas, which must outlive it.
  TTVCustomCanvas(TRawCanvas& canvas, const TRect& targetRect, bool monochrome);
  TTVCustomCanvas(const TTVCustomCanvas&) = delete;
  TTVCustomCanvas& operator=(const TTVCustomCanvas&) = delete;

  // --- the drawing pass ------------------------------------------------------------
  // BeginDraw clips all drawing to the target rectangle; EndDraw removes that
  // clip (leaving no clip) and lets the back end restore what it saved.
  virtual void BeginDraw();
  virtual void EndDraw();

  // --- pen and brush -------------------------------------------------------------------
  // The pen of lines and outlines: colour, opacity, width in pixels, style.
  // Gaps of styled lines drawn by LineTo, Line, VLine and Polyline are left
  // untouched, whatever the brush.
  virtual void InitPenAlpha(TColor color, std::uint8_t alpha, int width, TPenStyle style) = 0;
  // A solid fill of the colour and opacity; filling is on.
  virtual void InitBrushAlpha(TColor color, std::uint8_t alpha) = 0;
  // Filling off until the next InitBrush(Alpha): FillRect paints nothing and
  // closed shapes are only outlined.
  virtual void DropBrush() = 0;
  void InitPen(TColor color, int width = 1, TPenStyle style = psSolid) {
    InitPenAlpha(color, 255, width, style);
  }
  void InitBrush(TColor color) { InitBrushAlpha(color, 255); }

  // --- lines and shapes --------------------------------------------------------------------
  // Sets the pen position without drawing.
  virtual void MoveTo(int x, int y) = 0;
  // Filled (unless dropped) and outlined with the pen.
  virtual void Rectangle(const TRect& rect) = 0;
  // A one-pixel outline in the brush colour.
  virtual void FrameRect(const TRect& rect) = 0;
  // Filled with the brush, no outline.
  virtual void FillRect(const TRect& rect) = 0;
  virtual void VLine(int x, int top, int bottom) { Line(x, top, x, bottom); }

  // From the pen position to (x, y); the pen position becomes (x, y).
  void LineTo(int x, int y);
  void Line(int x1, int y1, int x2, int y2) {
    MoveTo(x1, y1);
    LineTo(x2, y2);
  }
  void Circle(int x, int y, int r);
  void Ellipse(const TRect& rect);
  // Open line through the points; one point draws a circle of radius 1 around
  // it, none draws nothing.
  void Polyline(std::span<const TPoint> points);
  void Polyline(const TPolyline& line) { Polyline(std::span<const TPoint>(line.Items)); }
  // Closed shape, filled and outlined; one point and none as for Polyline.
  void Polygon(std::span<const TPoint> points);
  void Polygon(const TPolyline& line) { Polygon(std::span<const TPoint>(line.Items)); }
  // A smooth curve through the points where the back end draws one, else the polyline.
  void Curve(const TPolyline& line);
  // Rectangle (x1, y1)-(x2, y2) with corners rounded by an ellipse x3 wide and y3 high.
  void RoundRect(int x1, int y1, int x2, int y2, int x3, int y3);
  void RoundRect(const TRect& r, int x3, int y3) {
    RoundRect(r.Left, r.Top, r.Right, r.Bottom, x3, y3);
  }
  // The picture scaled into rect.
  void StretchDraw(const TRect& rect, const TGraphic& graphic);

  // --- text ------------------------------------------------------------------------
  // Takes at least face, size and colour of font (back ends may take more).
  virtual void AssignFont(const TFont& font) = 0;
  // Keeps the face, sets size (points) and colour, and drops the brush, so
  // that text that follows has no background and shapes are unfilled.
  virtual void SetFont(int size, TColor color) = 0;
  // Text with its top-left corner at (x, y).
  virtual void TextOut(int x, int y, std::string_view text) = 0;
  // Text laid out inside rect as format says. With tfCalcRect only rect
  // changes (to the box the text takes); with tfModifyString and an ellipsis
  // the text may become the text as shown, where the back end supports it.
  virtual void TextRect(TRect& rect, std::string& text, const TTextFormat& format) = 0;
  // Text at (x, y), clipped to rect.
  virtual void TextRect(const TRect& rect, int x, int y, std::string_view text) = 0;
  virtual int TextWidth(std::string_view text) = 0;
  virtual TSize TextExtent(std::string_view text) = 0;
  // Measures, never draws: cx = the width of rect as given, cy = the height
  // text takes laid out in that width with format.
  virtual TSize TextMetrics(TRect& rect, std::string& text, const TTextFormat& format) = 0;

  // --- clipping ---------------------------------------------------------------------
  // Replaces the clip by rect.
  virtual void SetupRegion(const TRect& rect) = 0;
  // No clipping at all.
  virtual void ResetRgn() = 0;
  // Narrows the current clip to its intersection with rect.
  virtual void IntersectClipRect(const TRect& rect) = 0;
  // Back to exactly the region of the last SetupRegion (no clip after
  // ResetRgn), undoing every IntersectClipRect since.
  virtual void SelectClipRgn() = 0;

  // The picture at (x, y), unscaled.
  virtual void Draw(int x, int y, const TGraphic& graphic) = 0;

  // --- layers -----------------------------------------------------------------------
  // A group of drawing composed with opacity (0..1) when PopLayer ends it;
  // back ends that cannot compose draw the group directly (the base does nothing).
  virtual void PushLayer(const TRect& rect, double opacity);
  virtual void PopLayer();

  // --- class ---------------------------------------------------------------------------
  virtual ~TTVCustomCanvas();
  // The class reference of the abstract surface (creating through it raises).
  static TTVCanvasClass ClassRef() noexcept;
  virtual TTVCanvasClass ClassType() const noexcept { return ClassRef(); }
  std::string_view ClassName() const noexcept { return ClassType().ClassName(); }
  // Whether the class draws fast enough for animation (only Direct2D does).
  bool Animatable() const noexcept { return ClassType().Animatable(); }

  TRawCanvas& RawCanvas() const noexcept { return *fCanvas; }
  const TRect& TargetRect() const noexcept { return fTargetRect; }
  bool Monochrome() const noexcept { return fMonochrome; }
  // The antialiasing state last handed to the back end (false between calls).
  bool Antialiased() const noexcept { return fAntialiased; }

 protected:
  // Hands value to DoSetAntialiased when it differs from the recorded state.
  void SetAntialiased(bool value);

  TRect fTargetRect;
  bool fMonochrome;
  TRawCanvas* fCanvas;
  bool fAntialiased = false;

 private:
  class AntialiasScope;
};

// --- back-end selection ----------------------------------------------------------------

// The class new surfaces are made of, and its caption: "GDI", "GDI Plus" or
// "DirectX 2D".
TTVCanvasClass TVCanvasClass();
std::string TVCanvasClassCaption();

// Selects the surface class: gkUnknown changes nothing; gkDefault and gkD2D
// choose Direct2D where the platform supports it; otherwise gkDefault and
// gkGDIPlus choose GDI+, gkGDI chooses GDI, and gkD2D leaves the selection as
// it was. Surfaces created earlier keep their class.
void InitGraphicsKind(TGraphicsKind kind);

// The kind the host's arguments (without the program) ask for: the switch
// "Graphics" introduced by "-" or "/" (any case) followed by a separate
// argument, upper-cased and mapped: "DIRECTX" -> gkD2D, "GDI+" -> gkGDIPlus,
// "GDI" -> gkGDI, anything else (empty too) -> gkUnknown. No switch, or one
// with nothing after it, also gives gkUnknown. A value written into the same
// argument ("-Graphics:GDI") is not recognised.
TGraphicsKind GraphicsKindFromCommandLine(std::span<const std::string> args);

// What the library does when it loads, with the process's arguments:
// InitGraphicsKind(gkDefault), then the kind the switch asks for.
void SelectGraphicsAtLoad(std::span<const std::string> args);

}  // namespace tarvo
