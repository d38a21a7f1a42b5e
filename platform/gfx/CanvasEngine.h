// Private to the canvas sources: what Canvas.cpp, CanvasGraphics.cpp and
// CanvasText.cpp share about Cairo and Pango. Nothing outside platform/
// includes this header.
#pragma once

#include <cairo.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/gfx/Canvas.h"
#include "platform/gfx/CanvasGraphics.h"

namespace tarvo::platform {

struct CanvasAccess {
  static cairo_surface_t* Surface(const TPixelImage& image) noexcept {
    return static_cast<cairo_surface_t*>(image.fSurface);
  }
};

// A colour as it is drawn: system colours resolved, the low 24 bits kept.
inline TColor DrawColor(TColor color) noexcept {
  return ColorToRGB(color) & 0xFFFFFF;
}

// 0x00BBGGRR -> the image's 0x00RRGGBB and back.
inline std::uint32_t ToPixel(TColor color) noexcept {
  const TColor c = DrawColor(color);
  return ((c & 0xFF) << 16) | (c & 0xFF00) | ((c >> 16) & 0xFF);
}
inline TColor FromPixel(std::uint32_t p) noexcept {
  return ((p & 0xFF) << 16) | (p & 0xFF00) | ((p >> 16) & 0xFF);
}

inline void SetSourceColor(cairo_t* cr, TColor color, double opacity = 1.0) {
  const TColor c = DrawColor(color);
  const double r = (c & 0xFF) / 255.0, g = ((c >> 8) & 0xFF) / 255.0,
               b = ((c >> 16) & 0xFF) / 255.0;
  if (opacity >= 1.0)
    cairo_set_source_rgb(cr, r, g, b);
  else
    cairo_set_source_rgba(cr, r, g, b, opacity > 0 ? opacity : 0.0);
}

// Coordinates handed to the engine stay within +-2^21 pixels: its fixed-point
// numbers overflow not far beyond.
inline constexpr double kCoordLimit = 2097152.0;
inline double ClampCoord(double v) noexcept {
  return v < -kCoordLimit ? -kCoordLimit : v > kCoordLimit ? kCoordLimit : v;
}

// Restores a context that went into an error state (the engine then drops
// every later operation): a fresh context on the same surface. Returns the
// context to use from now on.
cairo_t* RecoverContext(cairo_t* cr);

// Appends an ellipse (centre, radii >= 0) as four Bezier curves. Built point
// by point rather than by scaling a circle, so that a zero radius gives a flat
// figure instead of a singular matrix.
void AppendEllipse(cairo_t* cr, double cx, double cy, double rx, double ry);
// Appends an elliptic arc from parametric angle a0 to a1 (radians, a1 may be
// below a0), in the engine's orientation (y down), starting with a line_to
// (or move_to when the path has no current point).
void AppendEllipticArc(cairo_t* cr, double cx, double cy, double rx, double ry, double a0,
                       double a1);

// --- text ----------------------------------------------------------------------

struct LaidLine {
  std::string Text;
  int UnderlineByte = -1;  // byte offset in Text of the character to underline
  double Width = 0;
  double Height = 0;
  double X = 0;  // offset from the box's left edge
  double Y = 0;  // offset from the box's top edge
};

struct LaidText {
  std::vector<LaidLine> Lines;
  double Width = 0;
  double Height = 0;
  bool Shortened = false;  // an ellipsis was put in
};

// The lines of text laid out as TTextOptions say (positions included when the
// box's size is known; integral rounds the alignment offsets down to whole
// pixels, as the raw canvas places text).
LaidText LayoutText(const TFontSpec& font, std::string_view text, const TTextOptions& options,
                    const std::optional<double>& boxWidth, const std::optional<double>& boxHeight,
                    bool integral);
// One line's width and height without any processing.
TSizeF MeasureLine(const TFontSpec& font, std::string_view text);
// Draws one laid line with its top-left corner at (x, y) in the current source.
void RenderLine(cairo_t* cr, const TFontSpec& font, const LaidLine& line, double x, double y);
// The em size in pixels of a font whose cell (ascent + descent) is cellHeight.
double EmForCellHeight(const std::string& name, double cellHeight);

}  // namespace tarvo::platform
