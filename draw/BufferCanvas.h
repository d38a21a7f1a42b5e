// The off-screen buffer that painting draws into before it is copied onto a
// window, so that a paint pass never allocates a bitmap.
//
// TBufferCanvas is a raw canvas with a pixel image of its own. TBufferKeeper
// holds one buffer for all the controls of a client module and hands it out
// per paint pass:
//
//   TRawCanvas& buffer = keeper.Acquire(width, height);
//   ... draw into (0, 0, width, height), through a surface or directly ...
//   window.BitBlt(x, y, width, height, buffer, 0, 0);
//
// The buffer only grows, each side separately, to the largest size asked
// for, so controls of different shapes share it without reallocating. Each
// Acquire clips it to (0, 0, width, height) in device coordinates; pen,
// brush, font and viewport origin stay as the previous user left them (and a
// grown buffer starts afresh), so callers set what they need.
//
// Threads: the user-interface thread. The keeper owns its buffer and frees it
// with itself; the canvas Acquire returns lives until the next Acquire that
// grows it, or the keeper's end.
#pragma once

#include <memory>

#include "platform/gfx/Canvas.h"

namespace tarvo {

class TBufferCanvas : public platform::TCanvas {
 public:
  // A buffer of aWidth x aHeight pixels (negative sizes count as 0). Throws
  // std::invalid_argument for a side above platform::MaxImageSide and
  // platform::ECanvasError when the memory cannot be had.
  TBufferCanvas(int aWidth, int aHeight);
  ~TBufferCanvas() override;

  int Width() const noexcept { return fWidth; }
  int Height() const noexcept { return fHeight; }

 private:
  int fWidth;
  int fHeight;
  std::unique_ptr<platform::TPixelImage> Bitmap;
  platform::TPixelImage* OldBmp = nullptr;  // what the canvas held before Bitmap
};

class TBufferKeeper {
 public:
  TBufferKeeper() = default;
  TBufferKeeper(const TBufferKeeper&) = delete;
  TBufferKeeper& operator=(const TBufferKeeper&) = delete;

  // The buffer, at least aWidth x aHeight, clipped to (0, 0, aWidth, aHeight).
  platform::TCanvas& Acquire(int aWidth, int aHeight);
  // The current buffer; nullptr before the first Acquire.
  TBufferCanvas* Buffer() const noexcept { return fBuffer.get(); }

 private:
  std::unique_ptr<TBufferCanvas> fBuffer;
};

}  // namespace tarvo
