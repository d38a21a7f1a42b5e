// Vector drawing over a raw canvas: the engine beneath the antialiased
// surfaces of the drawing library.
//
// TGraphics draws on the image of a TCanvas with fractional coordinates,
// colours with opacity, antialiasing switched per call, dashed strokes, paths
// of lines, Bezier curves and elliptic arcs, pictures, text laid out in boxes,
// an axis-aligned clip and translucent layers. It holds mechanisms only; the
// surfaces decide geometry conventions (where a pixel's centre is, how a
// rectangle's outline is placed) through CoordinateOffset and the shapes they
// build.
//
// Coordinates are the canvas's logical ones: a TGraphics takes the canvas's
// viewport origin and clip when it is made (later changes to the canvas do not
// reach it) and never draws outside that clip, nor outside the optional bounds
// given to the constructor. Shape coordinates have CoordinateOffset added
// before they are drawn (0.5 puts integer coordinates on pixel centres; 0
// puts them on pixel edges). Clip rectangles, layer bounds, pictures and text
// boxes are placed on pixel edges and take no offset.
//
// Robustness: a shape with a coordinate that is not a finite number, a stroke
// width that is not positive, or a dash pattern that is all zeros is skipped
// (or drawn solid, for the dashes) instead of reaching the engine; a degenerate
// shape (zero width or height) draws what it degenerates to. No call leaves the
// engine in a state that drops later drawing. Coordinates beyond +-2^21 pixels
// are pulled in to that range.
//
// Threads: as the canvas it draws on.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/Colors.h"
#include "platform/gfx/Canvas.h"
#include "platform/gfx/CanvasTypes.h"

namespace tarvo::platform {

// A colour (TColor, system colours resolved) with an opacity from 0 to 1.
struct TSolidPaint {
  TColor Color = 0;
  double Opacity = 1.0;
};

enum TLineJoin : std::uint8_t { ljMiter, ljRound, ljBevel };
enum TLineCap : std::uint8_t { lcFlat, lcSquare, lcRound };

struct TStrokeStyle {
  TSolidPaint Paint;
  double Width = 1.0;
  // Alternating on and off lengths in multiples of Width; empty: solid.
  std::vector<double> Dashes;
  TLineJoin Join = ljMiter;
  TLineCap Cap = lcFlat;
};

enum TFillRule : std::uint8_t { frAlternate, frWinding };

// A figure of lines, cubic Bezier curves and elliptic arcs.
class TPath {
 public:
  void MoveTo(double x, double y);
  // From the current point (or, with none, starting at (x, y)).
  void LineTo(double x, double y);
  void BezierTo(double x1, double y1, double x2, double y2, double x3, double y3);
  // An arc of the ellipse inscribed in box, from startDeg sweeping sweepDeg
  // (degrees, clockwise on screen, 0 at three o'clock), joined to the current
  // point by a line when there is one.
  void ArcTo(const TRectF& box, double startDeg, double sweepDeg);
  // Closes the current figure with a line back to its start.
  void Close();
  // A closed rectangle figure.
  void AddRectangle(const TRectF& r);
  // A closed ellipse figure inscribed in box.
  void AddEllipse(const TRectF& box);
  // A closed polygon figure.
  void AddPolygon(std::span<const TPointF> points);

  bool Empty() const noexcept { return fOps.empty(); }

 private:
  friend class TGraphics;
  enum Op : std::uint8_t { opMove, opLine, opCurve, opClose };
  struct Item {
    Op op;
    double x1, y1, x2, y2, x3, y3;
  };
  std::vector<Item> fOps;
  bool fHasCurrent = false;
  TPointF fCurrent;
};

// --- text layout ------------------------------------------------------------------

struct TFontSpec {
  std::string Name = "Tahoma";
  double PixelSize = 11;  // em height in pixels; below 1 (or not a number) means 1
  bool Bold = false;
  bool Italic = false;
  bool Underline = false;
  bool StrikeOut = false;
  friend bool operator==(const TFontSpec&, const TFontSpec&) = default;
};

enum THorzAlign : std::uint8_t { thaLeft, thaCenter, thaRight };
enum TVertAlign : std::uint8_t { tvaTop, tvaCenter, tvaBottom };

// How a line that is wider than its box is shortened. The three ellipsis kinds
// end the shown text with "..." (at the end, after the last whole word that
// fits, or in the middle keeping the part after the last "\" or "/"); the
// others only cut (the clip does).
enum TTextTrimming : std::uint8_t {
  ttNone,
  ttCharacter,
  ttWord,
  ttEllipsisEnd,
  ttEllipsisWord,
  ttEllipsisPath,
};

// The "&" hot-key prefix: hkNone shows "&" as it is; hkShow removes single
// "&"s ("&&" shows one) and underlines the character after the first; hkHide
// removes them and underlines nothing.
enum THotkeyPrefix : std::uint8_t { hkNone, hkShow, hkHide };

struct TTextOptions {
  THorzAlign HorzAlign = thaLeft;
  TVertAlign VertAlign = tvaTop;
  bool WordWrap = false;    // break lines at word boundaries to fit the box width
  bool SingleLine = false;  // line feeds show as spaces instead of breaking
  TTextTrimming Trimming = ttNone;
  THotkeyPrefix Prefix = hkNone;
  bool Clip = true;  // nothing outside the box is drawn
};

// What a laid-out text takes.
struct TTextMeasure {
  double Width = 0;   // the widest line
  double Height = 0;  // all lines (a line's height is the font's ascent plus descent)
  int Lines = 0;
  std::string Shown;  // the text as shown: prefixes removed, ellipses in, lines joined by "\n"
};

// Lays text out in a box boxWidth wide (no width: lines are as long as they
// are; WordWrap and the ellipses then have nothing to fit). boxHeight, when
// given, limits the lines of a wrapped text with an ellipsis trimming: the last
// line that fits ends with the ellipsis.
TTextMeasure MeasureText(const TFontSpec& font, std::string_view text, const TTextOptions& options,
                         std::optional<double> boxWidth,
                         std::optional<double> boxHeight = std::nullopt);

// --- the vector drawing context ---------------------------------------------------

class TGraphics {
 public:
  // Draws on canvas's image (which must outlive this object), within the
  // canvas's clip and, when given, within bounds (logical coordinates).
  // With no image selected, every call draws nothing.
  explicit TGraphics(TCanvas& canvas, std::optional<TRect> bounds = std::nullopt);
  // Composes every layer still open, so that nothing drawn is lost.
  ~TGraphics();
  TGraphics(const TGraphics&) = delete;
  TGraphics& operator=(const TGraphics&) = delete;

  void SetAntialias(bool on) noexcept { fAntialias = on; }
  bool Antialias() const noexcept { return fAntialias; }
  void SetCoordinateOffset(double offset) noexcept;
  double CoordinateOffset() const noexcept { return fOffset; }

  // Replaces the clip (whole pixels, logical coordinates); nullopt removes it.
  // The canvas's clip and the constructor's bounds always apply as well.
  void SetClip(std::optional<TRect> clip);
  const std::optional<TRect>& Clip() const noexcept { return fClip; }

  void FillRect(const TRectF& r, const TSolidPaint& paint);
  void StrokeRect(const TRectF& r, const TStrokeStyle& stroke);
  void StrokeLine(double x1, double y1, double x2, double y2, const TStrokeStyle& stroke);
  // An open line through the points.
  void StrokeLines(std::span<const TPointF> points, const TStrokeStyle& stroke);
  void Fill(const TPath& path, const TSolidPaint& paint, TFillRule rule = frAlternate);
  void Stroke(const TPath& path, const TStrokeStyle& stroke);

  // The picture scaled into dest (smooth: bilinear, else nearest pixel);
  // its transparent colour, when it has one, is not drawn. An unscaled
  // picture at whole-pixel coordinates is copied pixel for pixel.
  void DrawBitmap(const TBitmap& picture, const TRectF& dest, bool smooth);

  // Starts a layer: what is drawn until PopLayer is composed onto what was
  // there before, within bounds (whole pixels), with opacity 0..1. Layers nest.
  void PushLayer(const TRect& bounds, double opacity);
  // Ends the innermost layer; nothing when none is open.
  void PopLayer();
  int LayerDepth() const noexcept;

  // Text laid out in box (see MeasureText; the box's height also places the
  // lines for VertAlign) in paint.
  void DrawText(const TFontSpec& font, std::string_view text, const TTextOptions& options,
                const TRectF& box, const TSolidPaint& paint);
  // Text on one line with its top-left corner at (x, y), unclipped by any box.
  void DrawTextAt(const TFontSpec& font, std::string_view text, double x, double y,
                  const TSolidPaint& paint);

 private:
  struct Impl;
  std::unique_ptr<Impl> fImpl;
  bool fAntialias = false;
  double fOffset = 0;
  std::optional<TRect> fClip;
};

}  // namespace tarvo::platform
