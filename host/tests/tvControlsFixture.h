// A headless desktop with virtual time, installed as the current desktop for
// the controls a test makes. Controls made in a test must be freed before the
// fixture ends (hold them in TComponentPtr or give them an owner held so).
#pragma once

#include <gtest/gtest.h>

#include "platform/system/MessageQueue.h"
#include "platform/ui/WindowSystem.h"
#include "testing/Pixels.h"

namespace tarvo::testing {

class ControlsFixture : public ::testing::Test {
 protected:
  ControlsFixture() { fPrevious = platform::TDesktop::SetCurrent(&desktop); }
  ~ControlsFixture() override { platform::TDesktop::SetCurrent(fPrevious); }
  void SetUp() override { PinFonts(); }

  static platform::TDesktop::Options Options(platform::MessageQueue* queue) {
    platform::TDesktop::Options o;
    o.ScreenWidth = 640;
    o.ScreenHeight = 480;
    o.VirtualTime = true;
    o.Queue = queue;
    return o;
  }

  platform::MessageQueue queue;
  platform::TDesktop desktop{Options(&queue)};

 private:
  platform::TDesktop* fPrevious = nullptr;
};

}  // namespace tarvo::testing
