// The shared off-screen buffer: grows per side, never shrinks, clips each
// hand-out to the size asked for.
#include "draw/BufferCanvas.h"

#include <gtest/gtest.h>

#include "testing/Pixels.h"

namespace tarvo {
namespace {

namespace px = tarvo::testing;

TEST(BufferKeeper, GrowsEachSideToTheLargestAskedFor) {
  TBufferKeeper keeper;
  EXPECT_EQ(keeper.Buffer(), nullptr);
  keeper.Acquire(100, 50);
  keeper.Acquire(80, 60);
  const TBufferCanvas* buffer = keeper.Buffer();
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(buffer->Width(), 100) << "the wider side is kept";
  EXPECT_EQ(buffer->Height(), 60);
  EXPECT_EQ(buffer->Image()->Width(), 100);
  EXPECT_EQ(buffer->Image()->Height(), 60);

  // A wide and a tall client take turns: one buffer serves both after the
  // first round instead of a new one on every paint.
  keeper.Acquire(200, 50);
  keeper.Acquire(50, 200);
  const TBufferCanvas* settled = keeper.Buffer();
  EXPECT_EQ(settled->Width(), 200);
  EXPECT_EQ(settled->Height(), 200);
  for (int i = 0; i < 4; ++i) {
    keeper.Acquire(200, 50);
    EXPECT_EQ(keeper.Buffer(), settled);
    keeper.Acquire(50, 200);
    EXPECT_EQ(keeper.Buffer(), settled);
  }
}

TEST(BufferKeeper, ASmallerRequestReturnsTheSameBufferClipped) {
  TBufferKeeper keeper;
  platform::TCanvas& big = keeper.Acquire(80, 60);
  big.Brush().Color = 0xFFFFFF;
  big.FillRect({0, 0, 80, 60});
  big.SetViewportOrg({-3, -4});
  platform::TCanvas& small = keeper.Acquire(40, 40);
  EXPECT_EQ(&small, &big);
  ASSERT_TRUE(small.ClipRegion());
  EXPECT_EQ(small.ClipRegion()->Bounds(), (platform::TRect{0, 0, 40, 40})) << "device coordinates";
  EXPECT_EQ(small.ViewportOrg(), (platform::TPoint{-3, -4})) << "the previous user's origin stays";
  small.SetViewportOrg({0, 0});
  small.Brush().Color = 0x0000FF;
  small.FillRect({0, 0, 80, 60});
  const platform::TPixelImage& image = *keeper.Buffer()->Image();
  EXPECT_TRUE(px::RegionIs(image, {0, 0, 40, 40}, 0x0000FF));
  EXPECT_TRUE(px::RegionIs(image, {40, 0, 80, 60}, 0xFFFFFF));
  EXPECT_TRUE(px::RegionIs(image, {0, 40, 40, 60}, 0xFFFFFF));
  // Growing clears the old clip with the old buffer.
  platform::TCanvas& bigger = keeper.Acquire(90, 70);
  EXPECT_EQ(bigger.ClipRegion()->Bounds(), (platform::TRect{0, 0, 90, 70}));
}

TEST(BufferKeeper, EmptyAndNegativeSizesGiveAnEmptyClip) {
  TBufferKeeper keeper;
  platform::TCanvas& c = keeper.Acquire(-5, 10);
  EXPECT_EQ(keeper.Buffer()->Width(), 0);
  c.FillRect({0, 0, 10, 10});  // nothing to draw on, no harm
  keeper.Acquire(10, 10);
  platform::TCanvas& none = keeper.Acquire(0, 0);
  EXPECT_TRUE(none.ClipRegion()->IsEmpty());
  EXPECT_THROW(keeper.Acquire(platform::MaxImageSide + 1, 1), std::invalid_argument);
}

}  // namespace
}  // namespace tarvo
