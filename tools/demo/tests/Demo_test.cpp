#include <gtest/gtest.h>

#include "platform/gfx/Canvas.h"
#include "platform/system/Process.h"
#include "testing/Pixels.h"
#include "testing/Sandbox.h"

using namespace tarvo;
using namespace tarvo::platform;
using tarvo::testing::PixelIs;

namespace {

int RunDemo(const std::string& parameters) {
  // The child inherits the pinned font configuration: the same faces as in
  // every other pixel test (and none of the system configuration's parser
  // leaks under the leak checker).
  tarvo::testing::PinFonts();
  LaunchRequest request;
  request.program = TARVO_DEMO_PROGRAM;
  request.parameters = parameters;
  auto process = LaunchProcess(request);
  if (!process) return -1;
  if (process->Wait(60000) != WaitResult::Signaled) {
    process->Terminate();
    return -2;
  }
  return static_cast<int>(process->ExitCode().value_or(1000));
}

TEST(Demo, HeadlessRunWritesAScreenshotOfTheWindowAndEnds) {
  tarvo::testing::Sandbox box;
  const std::string file = box.Path("shot.png");
  ASSERT_EQ(RunDemo("--headless --screenshot " + QuoteArgument(file)), 0);
  const auto shot = TPixelImage::LoadPNG(file);
  ASSERT_EQ(shot->Width(), 1280);
  // The view's client starts at (62, 62) behind a two-pixel edge and is
  // scrolled 20 pixels: the second cell (light) starts at client x 22.
  EXPECT_TRUE(PixelIs(*shot, 60, 60, ColorToRGB(clBtnShadow)));
  EXPECT_TRUE(PixelIs(*shot, 62 + 25, 62 + 4, 0x0040C0F0));
  EXPECT_TRUE(PixelIs(*shot, 62 + 5, 62 + 4, 0x00C08040));
  // The scroll bar along the bottom: its left button.
  EXPECT_TRUE(PixelIs(*shot, 63, 365, ColorToRGB(clBtnFace)));
  EXPECT_TRUE(PixelIs(*shot, 10, 10, ColorToRGB(clBackground)));
}

TEST(Demo, BadArgumentsAndAnUnwritableScreenshotFail) {
  EXPECT_EQ(RunDemo("--seconds x"), 2);
  EXPECT_EQ(RunDemo("--seconds ''"), 2);
  EXPECT_EQ(RunDemo("--bogus"), 2);
  tarvo::testing::Sandbox box;
  EXPECT_EQ(RunDemo("--headless --screenshot " + QuoteArgument(box.Path("no/such/folder/x.png"))),
            1);
}

}  // namespace
