// The raw canvas: the toolkit's device context.
//
// TPixelImage is a 32-bit pixel image (one uint32_t per pixel, 0x00RRGGBB in
// memory, the top byte unused). TCanvas draws on the image selected into it,
// with the state a desktop device context has: a pen, a brush, a font, a pen
// position, a clip region and a viewport origin. TBitmap is the picture
// object that other code passes around (a pixel image with its own canvas, an
// optional transparent colour, and PNG as its byte-stream form).
//
// Coordinates. Drawing operations take logical coordinates; the pixel they
// reach on the image (device coordinates) is the logical point plus the
// viewport origin. Clip regions are in device coordinates (SelectClipRgn),
// except IntersectClipRect and ExcludeClipRect, which take logical ones, as on
// the desktop. Nothing is ever written outside the image or outside the clip:
// shapes, copies and pictures that reach past an edge are cut there.
//
// Edges follow the desktop's rules: a rectangle (L, T, R, B) fills pixels
// L..R-1 by T..B-1; Rectangle and Ellipse keep their one-pixel outline inside
// that box; LineTo does not draw its end point. Shapes and lines are aliased;
// only text is antialiased (greyscale).
//
// Colours are TColor values (0x00BBGGRR, platform/core/Colors.h). System colours
// are resolved through the fixed table before drawing; the low 24 bits of any
// other value are used as they are.
//
// Pen modes. pmCopy paints the pen colour; pmXor xors the pixel with it, pmNot
// inverts the pixel, pmNotXor inverts the xor. The mode applies to lines,
// outlines and the interiors of closed shapes (Rectangle, Ellipse, Polygon,
// RoundRect, Pie), not to FillRect and FrameRect, which always copy. Drawing
// the same shape twice in pmXor, pmNot or pmNotXor restores every pixel.
//
// Pen styles. Styled lines (dash, dot, ...) are drawn only with width 1; a
// wider pen draws them solid. The gaps of a styled line are painted in the
// brush colour while the brush is solid and left untouched otherwise (the
// desktop's opaque and transparent background modes follow the brush). A
// clear pen draws no line; Rectangle and Ellipse with a clear pen fill a box
// one pixel smaller on the right and bottom. An inside-frame pen keeps a wide
// outline inside the shape's box.
//
// Brushes. A solid brush paints its colour; a clear brush paints nothing
// (FillRect, FrameRect and the interiors of shapes are skipped); hatched
// brushes paint 8x8 line patterns in the brush colour over an untouched
// background; bsPattern paints the 8x8 Pattern: set bits in the brush colour,
// clear bits in PatternBackColor, or untouched when that is clNone. Patterns
// are anchored at device pixel (0, 0), so adjacent fills line up.
//
// Text. The font's face is resolved through fontconfig (the toolkit's file,
// platform/gfx/fonts/fonts.conf, maps the desktop's face names to DejaVu). Text
// is drawn in the font colour; behind it, the brush colour while the brush is
// solid, nothing otherwise. Texts are UTF-8.
//
// Threads: a canvas and its image belong to one thread at a time. Different
// canvases may draw on different threads; text shaping keeps per-thread state.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/core/Colors.h"
#include "platform/gfx/CanvasTypes.h"

namespace tarvo::platform {

// A failure of the drawing layer that the caller must hear about (an image
// too large to allocate, a picture that cannot be decoded).
class ECanvasError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What Pixel answers outside the image.
inline constexpr TColor CLR_INVALID = 0xFFFFFFFF;

// Largest width and height of a pixel image.
inline constexpr int MaxImageSide = 32767;

class TCanvas;

class TPixelImage {
 public:
  // A width x height image, every pixel black. Sizes of 0 give an image that
  // holds nothing (drawing on it has no effect). Throws std::invalid_argument
  // for a negative size or a side above MaxImageSide, ECanvasError when the
  // memory cannot be had.
  TPixelImage(int width, int height);
  ~TPixelImage();
  TPixelImage(const TPixelImage&) = delete;
  TPixelImage& operator=(const TPixelImage&) = delete;

  int Width() const noexcept { return fWidth; }
  int Height() const noexcept { return fHeight; }
  TRect Bounds() const noexcept { return {0, 0, fWidth, fHeight}; }

  // Row y (0 <= y < Height()): Width() pixels 0x00RRGGBB. The top byte may
  // hold anything; mask it. Writers outside TCanvas call Changed() afterwards.
  std::uint32_t* Row(int y) noexcept;
  const std::uint32_t* Row(int y) const noexcept;
  // Bytes from the start of one row to the next: the rows lie in one buffer,
  // Row(0) first, at this fixed distance (at least Width() * 4). 0 for an
  // image without pixels.
  int Stride() const noexcept;
  // Tells the drawing engine that pixels were written through Row.
  void Changed() noexcept;

  // The pixel as a TColor; CLR_INVALID outside the image.
  TColor Pixel(int x, int y) const noexcept;
  // Writes one pixel; ignored outside the image.
  void SetPixel(int x, int y, TColor color) noexcept;
  void Fill(TColor color) noexcept;

  std::unique_ptr<TPixelImage> Clone() const;

  // PNG (8-bit RGB, or RGBA when transparentColor is given: pixels of that
  // colour get alpha 0). Throws ECanvasError for an image without pixels
  // (PNG has no form for one).
  std::string EncodePNG(std::optional<TColor> transparentColor = std::nullopt) const;
  // Decodes PNG bytes; alpha is dropped (translucent pixels come out as if
  // drawn over black). Throws ECanvasError for bytes that are not a PNG image
  // or one larger than MaxImageSide.
  static std::unique_ptr<TPixelImage> DecodePNG(std::string_view bytes);
  // Writes EncodePNG() atomically; false (LastError set) when it cannot.
  bool SavePNG(const std::string& path) const;
  // Reads and decodes; throws ECanvasError when the file cannot be read or decoded.
  static std::unique_ptr<TPixelImage> LoadPNG(const std::string& path);

 private:
  friend struct CanvasAccess;
  int fWidth = 0;
  int fHeight = 0;
  void* fSurface = nullptr;  // the drawing engine's surface over the pixels
};

// Pen styles in the desktop's order (stored settings use the ordinals).
enum TPenStyle : std::uint8_t {
  psSolid,
  psDash,
  psDot,
  psDashDot,
  psDashDotDot,
  psClear,
  psInsideFrame,
  psUserStyle,  // no user pattern can be given here: drawn solid
  psAlternate,  // every other pixel
};

enum TPenMode : std::uint8_t { pmCopy, pmNot, pmXor, pmNotXor };

struct TPen {
  TColor Color = 0x000000;
  std::int32_t Width = 1;  // pixels; values below 1 draw as 1
  TPenStyle Style = psSolid;
  TPenMode Mode = pmCopy;
  friend bool operator==(const TPen&, const TPen&) = default;
};

enum TBrushStyle : std::uint8_t {
  bsSolid,
  bsClear,
  bsHorizontal,
  bsVertical,
  bsFDiagonal,
  bsBDiagonal,
  bsCross,
  bsDiagCross,
  bsPattern,
};

struct TBrush {
  TColor Color = 0xFFFFFF;
  TBrushStyle Style = bsSolid;
  // bsPattern: eight rows, the high bit of each row is its leftmost pixel.
  std::array<std::uint8_t, 8> Pattern{};
  TColor PatternBackColor = clNone;
  friend bool operator==(const TBrush&, const TBrush&) = default;
};

enum TFontStyle : std::uint8_t { fsBold, fsItalic, fsUnderline, fsStrikeOut };
using TFontStyles = std::bitset<4>;  // indexed by TFontStyle

// Points convert to pixels at 96 pixels per inch, as the desktop's fonts do.
inline constexpr int PixelsPerInch = 96;

struct TFont {
  std::string Name = "Tahoma";
  // Pixels. Negative: the em height (what a size in points gives); positive:
  // the cell height, ascent plus descent; 0: the default height (-11).
  std::int32_t Height = -11;
  TColor Color = clWindowText;
  TFontStyles Style;

  // Size in points: -Height * 72 / 96, rounded half away from zero (a
  // positive Height gives a negative size, as the desktop reports it).
  int Size() const noexcept;
  // Height := -(points * 96 / 72), rounded half away from zero.
  void SetSize(int points) noexcept;
  friend bool operator==(const TFont&, const TFont&) = default;
};

// Flags of DrawText, with the desktop's values.
inline constexpr std::uint32_t DT_TOP = 0x0;
inline constexpr std::uint32_t DT_LEFT = 0x0;
inline constexpr std::uint32_t DT_CENTER = 0x1;
inline constexpr std::uint32_t DT_RIGHT = 0x2;
inline constexpr std::uint32_t DT_VCENTER = 0x4;            // with DT_SINGLELINE only
inline constexpr std::uint32_t DT_BOTTOM = 0x8;             // with DT_SINGLELINE only
inline constexpr std::uint32_t DT_WORDBREAK = 0x10;         // wrap at word boundaries
inline constexpr std::uint32_t DT_SINGLELINE = 0x20;        // line feeds do not break
inline constexpr std::uint32_t DT_EXPANDTABS = 0x40;        // tabs always expand here
inline constexpr std::uint32_t DT_TABSTOP = 0x80;           // accepted, no effect
inline constexpr std::uint32_t DT_NOCLIP = 0x100;           // do not clip to the rectangle
inline constexpr std::uint32_t DT_EXTERNALLEADING = 0x200;  // accepted, no effect
inline constexpr std::uint32_t DT_CALCRECT = 0x400;      // measure, set the rectangle, draw nothing
inline constexpr std::uint32_t DT_NOPREFIX = 0x800;      // "&" is an ordinary character
inline constexpr std::uint32_t DT_INTERNAL = 0x1000;     // accepted, no effect
inline constexpr std::uint32_t DT_EDITCONTROL = 0x2000;  // accepted, no effect
inline constexpr std::uint32_t DT_PATH_ELLIPSIS = 0x4000;
inline constexpr std::uint32_t DT_END_ELLIPSIS = 0x8000;
inline constexpr std::uint32_t DT_MODIFYSTRING = 0x10000;  // the text becomes what was shown
inline constexpr std::uint32_t DT_RTLREADING = 0x20000;    // accepted: direction follows the text
inline constexpr std::uint32_t DT_WORD_ELLIPSIS = 0x40000;
inline constexpr std::uint32_t DT_NOFULLWIDTHCHARBREAK = 0x80000;  // accepted, no effect
inline constexpr std::uint32_t DT_HIDEPREFIX = 0x100000;  // "&" removed, nothing underlined
inline constexpr std::uint32_t DT_PREFIXONLY = 0x200000;  // accepted: drawn as without it

// Raster operations of block copies: how a source pixel S, the brush B and the
// destination pixel D combine.
enum TRop : std::uint8_t {
  ropSrcCopy,     // S
  ropSrcPaint,    // S | D
  ropSrcAnd,      // S & D
  ropSrcInvert,   // S ^ D
  ropNotSrcCopy,  // ~S
  ropDstInvert,   // ~D (source unused)
  ropPatCopy,     // the brush (source unused)
  ropBlackness,   // black (source unused)
  ropWhiteness,   // white (source unused)
};

class TBitmap;

class TCanvas {
 public:
  // A canvas with no image: drawing has no effect, Pixel answers CLR_INVALID.
  TCanvas();
  // A canvas on image, which must outlive it (or be deselected first).
  explicit TCanvas(TPixelImage& image);
  virtual ~TCanvas();
  TCanvas(const TCanvas&) = delete;
  TCanvas& operator=(const TCanvas&) = delete;

  // Draws on image from now on (nullptr: on nothing) and returns the image
  // selected before. Pen, brush, font, clip and origin stay as they are.
  TPixelImage* SelectImage(TPixelImage* image);
  TPixelImage* Image() const noexcept { return fImage; }

  TPen& Pen() noexcept { return fPen; }
  const TPen& Pen() const noexcept { return fPen; }
  TBrush& Brush() noexcept { return fBrush; }
  const TBrush& Brush() const noexcept { return fBrush; }
  TFont& Font() noexcept { return fFont; }
  const TFont& Font() const noexcept { return fFont; }

  TPoint PenPos() const noexcept { return fPenPos; }
  void SetPenPos(TPoint p) noexcept { fPenPos = p; }

  // --- coordinates and clipping ----------------------------------------------

  // Sets the viewport origin: logical (0, 0) lands on device pixel org.
  // Returns the previous origin.
  TPoint SetViewportOrg(TPoint org) noexcept;
  TPoint ViewportOrg() const noexcept { return fOrigin; }

  // Replaces the clip by a copy of region (device coordinates); nullptr
  // removes clipping (the whole image is drawable).
  void SelectClipRgn(const TRegion* region);
  // Replaces the clip by rect, given in logical coordinates.
  void SetClipRect(const TRect& rect);
  // Narrows the clip to its intersection with rect (logical coordinates);
  // with no clip, the clip becomes rect.
  void IntersectClipRect(const TRect& rect);
  // Removes rect (logical coordinates) from the clip (from the whole image
  // when there is no clip).
  void ExcludeClipRect(const TRect& rect);
  // The clip region in device coordinates; nullopt when there is none.
  const std::optional<TRegion>& ClipRegion() const noexcept { return fClip; }
  // The bounds of what can be drawn, in logical coordinates: the clip's
  // bounds within the image.
  TRect ClipBox() const noexcept;

  // --- shapes ------------------------------------------------------------------

  void MoveTo(int x, int y) noexcept { fPenPos = {x, y}; }
  // A line from the pen position to (x, y), without its end point; the pen
  // position becomes (x, y).
  void LineTo(int x, int y);
  // Lines through the points (each without its end point, except that the
  // last point is drawn by no segment). The pen position does not change.
  void Polyline(std::span<const TPoint> points);
  // Closed shape through the points, filled with the brush (alternate rule)
  // and outlined with the pen. Fewer than two points draw nothing.
  void Polygon(std::span<const TPoint> points);

  // Fills rect with the brush, without outline; the pen mode does not apply.
  // A reversed rectangle fills nothing.
  void FillRect(const TRect& rect);
  // A one-pixel border just inside rect in the brush; nothing with a clear brush.
  void FrameRect(const TRect& rect);
  // Inverts every pixel of rect.
  void InvertRect(const TRect& rect);
  // Xors a dotted one-pixel border just inside rect (a second call removes it).
  void DrawFocusRect(const TRect& rect);

  // Outlined with the pen and filled with the brush; the corners are
  // normalised, the box is (x1, y1)..(x2 - 1, y2 - 1).
  void Rectangle(int x1, int y1, int x2, int y2);
  void Rectangle(const TRect& r) { Rectangle(r.Left, r.Top, r.Right, r.Bottom); }
  void Ellipse(int x1, int y1, int x2, int y2);
  void Ellipse(const TRect& r) { Ellipse(r.Left, r.Top, r.Right, r.Bottom); }
  // Rectangle with corners rounded by an ellipse x3 wide and y3 high.
  void RoundRect(int x1, int y1, int x2, int y2, int x3, int y3);
  // Part of the ellipse in the box (x1, y1)..(x2, y2), counter-clockwise from
  // where the ray from the centre through (x3, y3) meets it to where the ray
  // through (x4, y4) does; the whole ellipse when both rays are the same.
  void Arc(int x1, int y1, int x2, int y2, int x3, int y3, int x4, int y4);
  // The same arc closed through the centre, filled and outlined.
  void Pie(int x1, int y1, int x2, int y2, int x3, int y3, int x4, int y4);

  // --- text --------------------------------------------------------------------

  // Text with its top-left corner at (x, y) on one line (line feeds do not
  // break). The pen position does not change.
  void TextOut(int x, int y, std::string_view text);
  // Fills rect with the brush (unless clear) and draws text at (x, y) clipped
  // to rect.
  void TextRect(const TRect& rect, int x, int y, std::string_view text);
  // Lays text out in rect as the DT_ flags say and draws it (DT_CALCRECT:
  // only measures). Returns the height of the text. With DT_CALCRECT, rect
  // becomes the box the text takes: its width is that of the widest line (a
  // single line sets Right to the end of the text), its height covers every
  // line. Without DT_NOPREFIX, "&" underlines the character after it and
  // "&&" shows one "&". Empty text is 0 high.
  int DrawText(std::string_view text, TRect& rect, std::uint32_t flags);
  // The same; with DT_MODIFYSTRING and an ellipsis flag, text becomes the
  // text as shown (ellipsis included).
  int DrawText(std::string& text, TRect& rect, std::uint32_t flags);
  // Size of text on one line in the current font (no "&" processing).
  TSize TextExtent(std::string_view text) const;
  int TextWidth(std::string_view text) const { return TextExtent(text).cx; }
  int TextHeight(std::string_view text) const { return TextExtent(text).cy; }

  // --- pixels, copies, pictures --------------------------------------------

  // The colour at logical (x, y); CLR_INVALID outside the image.
  TColor Pixel(int x, int y) const noexcept;
  // Sets one pixel (within the clip).
  void SetPixel(int x, int y, TColor color);

  // Copies the w x h block at logical (sx, sy) of source to logical (x, y)
  // here, combined by rop. Only pixels that exist in the source image and fall
  // inside this canvas's clip and image are written. The source may be this
  // canvas (overlapping blocks copy as if through a temporary).
  void BitBlt(int x, int y, int w, int h, const TCanvas& source, int sx, int sy,
              TRop rop = ropSrcCopy);
  // Scales sourceRect of source into dest (nearest pixel, no smoothing).
  // Opposite orientations of the two rectangles mirror the picture.
  void StretchBlt(const TRect& dest, const TCanvas& source, const TRect& sourceRect,
                  TRop rop = ropSrcCopy);
  void CopyRect(const TRect& dest, const TCanvas& source, const TRect& sourceRect) {
    StretchBlt(dest, source, sourceRect, ropSrcCopy);
  }
  // Draws the picture with its top-left corner at (x, y); pixels of its
  // transparent colour are skipped when it is transparent.
  void Draw(int x, int y, const TBitmap& picture);
  // The picture scaled into rect (nearest pixel); transparency as in Draw.
  void StretchDraw(const TRect& rect, const TBitmap& picture);

 private:
  friend struct CanvasAccess;
  struct Impl;

  TPixelImage* fImage = nullptr;
  TPen fPen;
  TBrush fBrush;
  TFont fFont;
  TPoint fPenPos;
  TPoint fOrigin;
  std::optional<TRegion> fClip;
  std::unique_ptr<Impl> fImpl;  // the drawing engine's context, made on first use
};

// A picture: a pixel image with its own canvas. Non-copyable; Assign copies.
class TBitmap {
 public:
  TBitmap();                       // 0 x 0
  TBitmap(int width, int height);  // black; sizes as TPixelImage
  ~TBitmap();
  TBitmap(const TBitmap&) = delete;
  TBitmap& operator=(const TBitmap&) = delete;

  int Width() const noexcept { return fImage->Width(); }
  int Height() const noexcept { return fImage->Height(); }
  bool Empty() const noexcept { return Width() == 0 || Height() == 0; }
  // New size; the part that both sizes share is kept, the rest is black.
  void SetSize(int width, int height);

  TCanvas& Canvas() noexcept { return fCanvas; }
  TPixelImage& Image() noexcept { return *fImage; }
  const TPixelImage& Image() const noexcept { return *fImage; }

  // Pixels of TransparentColor are not drawn while Transparent is set.
  // Without a TransparentColor, the bottom-left pixel's colour is used.
  bool Transparent = false;
  std::optional<TColor> TransparentColor;
  // The colour that is skipped when drawing; nullopt when not transparent.
  std::optional<TColor> EffectiveTransparentColor() const noexcept;

  // Copies size, pixels and transparency of other.
  void Assign(const TBitmap& other);

  // The picture's byte stream: PNG, with the transparent colour as alpha 0
  // when the picture is transparent.
  std::string SaveToStream() const;
  // Throws ECanvasError for bytes that are not a PNG image.
  void LoadFromStream(std::string_view bytes);
  bool SaveToFile(const std::string& path) const;  // false (LastError) on failure
  void LoadFromFile(const std::string& path);      // throws ECanvasError

 private:
  std::unique_ptr<TPixelImage> fImage;
  TCanvas fCanvas;
};

}  // namespace tarvo::platform
