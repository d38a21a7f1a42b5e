#include "draw/BufferCanvas.h"

#include <algorithm>

namespace tarvo {

TBufferCanvas::TBufferCanvas(int aWidth, int aHeight)
    : fWidth(std::max(aWidth, 0)),
      fHeight(std::max(aHeight, 0)),
      Bitmap(std::make_unique<platform::TPixelImage>(fWidth, fHeight)) {
  OldBmp = SelectImage(Bitmap.get());
}

TBufferCanvas::~TBufferCanvas() {
  SelectImage(OldBmp);
}

platform::TCanvas& TBufferKeeper::Acquire(int aWidth, int aHeight) {
  const int w = std::max(aWidth, 0), h = std::max(aHeight, 0);
  if (fBuffer && (fBuffer->Width() < w || fBuffer->Height() < h)) {
    // Grow each side to the larger of old and new: a keeper shared by a wide
    // and a tall control then settles on one buffer instead of making a new
    // one on every paint of either.
    const int nw = std::max(fBuffer->Width(), w), nh = std::max(fBuffer->Height(), h);
    fBuffer.reset();
    fBuffer = std::make_unique<TBufferCanvas>(nw, nh);
  } else if (!fBuffer) {
    fBuffer = std::make_unique<TBufferCanvas>(w, h);
  }
  const platform::TRegion clip(platform::TRect{0, 0, w, h});
  fBuffer->SelectClipRgn(&clip);
  return *fBuffer;
}

}  // namespace tarvo
