#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/tests/tvControlsFixture.h"
#include "host/tvControls.h"

using namespace tarvo;
using namespace tarvo::platform;
using tarvo::testing::ControlsFixture;

namespace {

class ScrollBarTest : public ControlsFixture {
 protected:
  // A form with a horizontal bar at (10, 10), 200 x 17, counting notices.
  void MakeForm() {
    form = TComponent::CreateUnowned<TCustomBorderedControl>();
    form->SetBounds(0, 0, 300, 100);
    bar = TComponent::Create<TTarvoScrollBar>(form.get(), sbHorizontal);
    bar->SetBounds(10, 10, 200, 17);
    bar->SetParent(form.get());
    bar->OnChange = [this](TCustomBorderedControl&) { notices.push_back(bar->Position()); };
    form->HandleNeeded();
    desktop.ProcessPaint();
  }
  TPoint Screen(TRect r) const {
    return bar->ClientToScreen({(r.Left + r.Right) / 2, (r.Top + r.Bottom) / 2});
  }

  TComponentPtr<TCustomBorderedControl> form;
  TTarvoScrollBar* bar = nullptr;
  std::vector<int> notices;
};

// Calls on a bar without a window, one after the other: the position after
// each call and whether it raised a notice.
TEST_F(ScrollBarTest, ClampingAndNoticesWorkWithoutAWindow) {
  struct Step {
    const char* call;
    int a, b, c, d;  // SetParams(a, b, c, d), or SetPosition(a)
    int position;
    int limit;
    bool notice;
  };
  const std::vector<Step> steps = {
      {"params", 0, 99, 10, 1, 0, 90, false},  // limit = max - page + 1
      {"position", 50, 0, 0, 0, 50, 90, true},
      {"position", 50, 0, 0, 0, 50, 90, false},   // unchanged: no notice
      {"position", 1000, 0, 0, 0, 90, 90, true},  // clamped to the limit
      {"position", 95, 0, 0, 0, 90, 90, false},   // clamped to where it is: no notice
      {"params", 0, 59, 20, 5, 40, 40, true},     // a smaller range moves it: a notice
      {"params", 0, 59, 0, 5, 40, 59, false},     // page 0 counts as 1
      {"position", -7, 0, 0, 0, 0, 59, true},
      {"params", 10, 30, 5, 1, 10, 26, true},    // min above the position
      {"params", 0, -1, 100, 1, 0, 0, true},     // max below min: one position
      {"params", 0, 0, 0, 0, 0, 0, false},       // the chart's "clear"
      {"params", -50, 50, -3, 2, 0, 50, false},  // a negative page counts as 0
      {"position", -60, 0, 0, 0, -50, 50, true},
  };
  auto bar = TComponent::CreateUnowned<TTarvoScrollBar>(sbVertical);
  std::vector<int> seen;
  bar->OnChange = [&](TCustomBorderedControl&) { seen.push_back(bar->Position()); };
  for (const Step& s : steps) {
    SCOPED_TRACE(std::string(s.call) + " " + std::to_string(s.a) + "," + std::to_string(s.b));
    const std::size_t before = seen.size();
    if (std::string(s.call) == "params") {
      bar->SetParams(s.a, s.b, s.c, s.d);
    } else {
      bar->SetPosition(s.a);
    }
    EXPECT_EQ(bar->Position(), s.position);
    EXPECT_EQ(bar->GetLimit(), s.limit);
    EXPECT_EQ(seen.size() - before, s.notice ? 1u : 0u);
    if (s.notice && seen.size() > before) {
      EXPECT_EQ(seen.back(), s.position);  // told after the change
    }
  }
  EXPECT_FALSE(bar->HandleAllocated());
  EXPECT_EQ(bar->Width(), desktop.GetSystemMetric(SM_CXVSCROLL));
}

TEST_F(ScrollBarTest, ArrowsStepAndRepeatWhileHeldInVirtualTime) {
  MakeForm();
  bar->SetParams(0, 99, 10, 3);
  const TPoint down = Screen(bar->PartRect(TTarvoScrollBar::spLineDown));
  desktop.MouseMove(down);
  desktop.MouseDown(down, mbLeft);
  EXPECT_EQ(bar->Position(), 3);
  desktop.AdvanceTime(TTarvoScrollBar::kFirstDelay - 1);
  EXPECT_EQ(bar->Position(), 3);  // no repeat before the first delay
  desktop.AdvanceTime(1 + 2 * TTarvoScrollBar::kRepeatDelay);
  EXPECT_EQ(bar->Position(), 12);  // three repeats
  desktop.MouseUp(down, mbLeft);
  desktop.AdvanceTime(1000);
  EXPECT_EQ(bar->Position(), 12);
  EXPECT_EQ(notices, (std::vector<int>{3, 6, 9, 12}));

  // The page part repeats until the thumb reaches the mouse.
  const TRect track{bar->PartRect(TTarvoScrollBar::spLineUp).Right, 0,
                    bar->PartRect(TTarvoScrollBar::spLineDown).Left, 17};
  const TPoint nearEnd = bar->ClientToScreen({track.Right - 3, 8});
  desktop.MouseMove(nearEnd);
  desktop.MouseDown(nearEnd, mbLeft);
  desktop.AdvanceTime(3000);
  desktop.MouseUp(nearEnd, mbLeft);
  EXPECT_EQ(bar->Position(), bar->GetLimit());
  EXPECT_EQ(bar->PartAt(track.Right - 3, 8), TTarvoScrollBar::spThumb);
}

TEST_F(ScrollBarTest, DraggingTheThumbFollowsTheMouseEvenOutsideTheBar) {
  MakeForm();
  bar->SetParams(0, 199, 20, 1);
  const TRect thumb = bar->PartRect(TTarvoScrollBar::spThumb);
  const TRect up = bar->PartRect(TTarvoScrollBar::spLineUp);
  const TRect down = bar->PartRect(TTarvoScrollBar::spLineDown);
  const int free = down.Left - up.Right - thumb.Width();
  const TPoint grab = bar->ClientToScreen({thumb.Left + 2, 8});
  desktop.MouseDown(grab, mbLeft);
  desktop.MouseMove({grab.X + free / 2, grab.Y + 60});  // half the way, far below the bar
  EXPECT_NEAR(bar->Position(), bar->GetLimit() / 2, 1);
  desktop.MouseMove({grab.X + free + 500, grab.Y});
  EXPECT_EQ(bar->Position(), bar->GetLimit());
  desktop.MouseUp({grab.X + free + 500, grab.Y}, mbLeft);
  EXPECT_EQ(desktop.GetCapture(), 0u);
  const int afterRelease = bar->Position();
  desktop.MouseMove(grab);
  EXPECT_EQ(bar->Position(), afterRelease);
}

TEST_F(ScrollBarTest, ADisabledOrFullBarIgnoresTheMouseAndShowsNoThumb) {
  MakeForm();
  bar->SetParams(0, 99, 10, 1);
  bar->SetEnabled(false);
  const TPoint down = Screen(bar->PartRect(TTarvoScrollBar::spLineDown));
  desktop.MouseDown(down, mbLeft);
  desktop.MouseUp(down, mbLeft);
  EXPECT_EQ(bar->Position(), 0);
  EXPECT_TRUE(bar->PartRect(TTarvoScrollBar::spThumb).IsEmpty());

  bar->SetEnabled(true);
  bar->SetParams(0, 9, 10, 1);  // everything fits: nothing to scroll
  desktop.MouseDown(down, mbLeft);
  desktop.MouseUp(down, mbLeft);
  EXPECT_EQ(bar->Position(), 0);
  EXPECT_TRUE(bar->PartRect(TTarvoScrollBar::spThumb).IsEmpty());
  EXPECT_TRUE(notices.empty());
}

TEST_F(ScrollBarTest, PaintsTheThumbWhereThePositionSays) {
  MakeForm();
  bar->SetParams(0, 99, 25, 1);
  desktop.ProcessPaint();
  const TRect before = bar->PartRect(TTarvoScrollBar::spThumb);
  bar->SetPosition(bar->GetLimit());
  desktop.ProcessPaint();
  const TRect after = bar->PartRect(TTarvoScrollBar::spThumb);
  ASSERT_FALSE(after.IsEmpty());
  EXPECT_GT(after.Left, before.Left);
  EXPECT_EQ(after.Right, bar->PartRect(TTarvoScrollBar::spLineDown).Left);
  // A quarter of the track: the page is a quarter of the values.
  const int track = bar->PartRect(TTarvoScrollBar::spLineDown).Left -
                    bar->PartRect(TTarvoScrollBar::spLineUp).Right;
  EXPECT_EQ(after.Width(), track / 4);

  const auto shot = desktop.Screenshot();
  const TPoint thumbMiddle = Screen(after);
  const TPoint trackBefore = Screen(before);  // where the thumb was: track now
  EXPECT_TRUE(tarvo::testing::PixelIs(*shot, thumbMiddle.X, thumbMiddle.Y, ColorToRGB(clBtnFace)));
  EXPECT_TRUE(
      tarvo::testing::PixelIs(*shot, trackBefore.X, trackBefore.Y, ColorToRGB(clScrollBar)));
}

}  // namespace
