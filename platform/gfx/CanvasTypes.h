// Points, sizes, rectangles and regions of the drawing layer.
//
// Coordinates are pixels, signed 32-bit, with y growing downwards. A rectangle
// (Left, Top, Right, Bottom) covers the pixels Left..Right-1 and Top..Bottom-1:
// the right and bottom edges are outside, as everywhere on the desktop. A
// rectangle whose Right <= Left or Bottom <= Top covers nothing.
//
// Arithmetic on coordinates is done in 64 bits and saturated, so extreme
// values from a caller (or from a stored layout) never overflow.
//
// A region is a set of pixels: a union of rectangles, kept as a list of
// disjoint rectangles sorted in bands (top to bottom, left to right). Regions
// are plain values; copying one copies its rectangles.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tarvo::platform {

struct TPoint {
  std::int32_t X = 0;
  std::int32_t Y = 0;
  friend bool operator==(const TPoint&, const TPoint&) = default;
};

struct TSize {
  std::int32_t cx = 0;
  std::int32_t cy = 0;
  friend bool operator==(const TSize&, const TSize&) = default;
};

// Clamps a 64-bit value into the signed 32-bit range.
constexpr std::int32_t SaturateInt(std::int64_t v) noexcept {
  return v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(v);
}

struct TRect {
  std::int32_t Left = 0;
  std::int32_t Top = 0;
  std::int32_t Right = 0;
  std::int32_t Bottom = 0;

  // Right - Left and Bottom - Top (negative for a reversed rectangle),
  // saturated to the 32-bit range.
  constexpr std::int32_t Width() const noexcept { return SaturateInt(std::int64_t{Right} - Left); }
  constexpr std::int32_t Height() const noexcept { return SaturateInt(std::int64_t{Bottom} - Top); }
  // Covers no pixel.
  constexpr bool IsEmpty() const noexcept { return Right <= Left || Bottom <= Top; }
  constexpr bool Contains(TPoint p) const noexcept {
    return p.X >= Left && p.X < Right && p.Y >= Top && p.Y < Bottom;
  }
  // Left/Right and Top/Bottom swapped where they are reversed.
  constexpr TRect Normalized() const noexcept {
    return {Left < Right ? Left : Right, Top < Bottom ? Top : Bottom, Left < Right ? Right : Left,
            Top < Bottom ? Bottom : Top};
  }
  // Moved by (dx, dy), saturating.
  constexpr TRect Offset(std::int64_t dx, std::int64_t dy) const noexcept {
    return {SaturateInt(Left + dx), SaturateInt(Top + dy), SaturateInt(Right + dx),
            SaturateInt(Bottom + dy)};
  }
  // Grown by d on every side (shrunk for a negative d), saturating.
  constexpr TRect Inflate(std::int64_t dx, std::int64_t dy) const noexcept {
    return {SaturateInt(Left - dx), SaturateInt(Top - dy), SaturateInt(Right + dx),
            SaturateInt(Bottom + dy)};
  }
  friend bool operator==(const TRect&, const TRect&) = default;
};

constexpr TRect Rect(std::int32_t left, std::int32_t top, std::int32_t right,
                     std::int32_t bottom) noexcept {
  return {left, top, right, bottom};
}

// The common part of a and b; an empty rectangle (0, 0, 0, 0) when they do
// not overlap, as the desktop's IntersectRect answers.
constexpr TRect Intersection(const TRect& a, const TRect& b) noexcept {
  const TRect r{a.Left > b.Left ? a.Left : b.Left, a.Top > b.Top ? a.Top : b.Top,
                a.Right < b.Right ? a.Right : b.Right, a.Bottom < b.Bottom ? a.Bottom : b.Bottom};
  return r.IsEmpty() ? TRect{} : r;
}

struct TPointF {
  double X = 0;
  double Y = 0;
  friend bool operator==(const TPointF&, const TPointF&) = default;
};

struct TSizeF {
  double cx = 0;
  double cy = 0;
};

// A rectangle in fractional coordinates (the antialiased back ends place
// shapes between pixel centres).
struct TRectF {
  double Left = 0;
  double Top = 0;
  double Right = 0;
  double Bottom = 0;
  double Width() const noexcept { return Right - Left; }
  double Height() const noexcept { return Bottom - Top; }
};

class TRegion {
 public:
  TRegion() = default;  // empty
  explicit TRegion(const TRect& rect);

  bool IsEmpty() const noexcept { return fRects.empty(); }
  // The smallest rectangle holding the region; (0, 0, 0, 0) when it is empty.
  TRect Bounds() const noexcept;
  bool Contains(TPoint p) const noexcept;
  // The disjoint rectangles, in bands from top to bottom, left to right.
  std::span<const TRect> Rects() const noexcept { return fRects; }

  void Union(const TRegion& other);
  void Union(const TRect& rect) { Union(TRegion(rect)); }
  void Intersect(const TRegion& other);
  void Intersect(const TRect& rect) { Intersect(TRegion(rect)); }
  void Subtract(const TRegion& other);
  void Subtract(const TRect& rect) { Subtract(TRegion(rect)); }
  void Offset(std::int32_t dx, std::int32_t dy);

  friend bool operator==(const TRegion&, const TRegion&) = default;

 private:
  std::vector<TRect> fRects;
};

}  // namespace tarvo::platform
