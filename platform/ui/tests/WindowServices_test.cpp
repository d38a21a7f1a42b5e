#include "platform/ui/WindowServices.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/core/Errors.h"
#include "testing/Pixels.h"

using namespace tarvo;
using namespace tarvo::platform;
using tarvo::testing::PixelIs;
using tarvo::testing::RGB;

namespace {

class ServicesTest : public ::testing::Test {
 protected:
  static TDesktop::Options Options(MessageQueue* queue) {
    TDesktop::Options o;
    o.ScreenWidth = 400;
    o.ScreenHeight = 300;
    o.VirtualTime = true;
    o.Queue = queue;
    return o;
  }
  void SetUp() override { tarvo::testing::PinFonts(); }
  // The topmost top-level window (the menu or hint while one shows).
  WindowHandle Topmost() const {
    const auto tops = desktop.TopLevelWindows();
    return tops.empty() ? 0 : tops.back();
  }

  MessageQueue queue;
  TDesktop desktop{Options(&queue)};
};

// Runs a real menu window; once it shows, the script clicks in it (points
// relative to its top-left corner), one click per pump.
int ClickMenu(TDesktop& desktop, const std::vector<TMenuEntry>& entries, TPoint at,
              std::vector<TPoint> clicks, TRect* menuBounds = nullptr) {
  std::size_t next = 0;
  bool done = false;
  const int hook = desktop.AddIdleHook([&] {
    if (done) return;
    const auto tops = desktop.TopLevelWindows();
    if (tops.empty()) return;
    const TRect r = desktop.GetWindowRect(tops.back());
    if (menuBounds) *menuBounds = r;
    const TPoint click = clicks[next];
    done = ++next == clicks.size();
    const TPoint p{r.Left + click.X, r.Top + click.Y};
    desktop.MouseMove(p);
    desktop.MouseDown(p, mbLeft);
    desktop.MouseUp(p, mbLeft);
  });
  const int chosen = TrackPopupMenu(desktop, entries, at);
  desktop.RemoveIdleHook(hook);
  return chosen;
}

TEST_F(ServicesTest, PopupMenuWindowAnswersTheClickedEntry) {
  const std::vector<TMenuEntry> entries = {{"Copy", true, false},
                                           {"-", true, false},
                                           {"Paste", false, false},
                                           {"Select all", true, true}};
  // Items are 20 pixels high, the separator 8.
  EXPECT_EQ(ClickMenu(desktop, entries, {10, 10}, {{30, 10}}), 0);
  EXPECT_EQ(ClickMenu(desktop, entries, {10, 10}, {{30, 20 + 8 + 20 + 10}}), 3);
  // A disabled entry and the separator keep the menu open.
  EXPECT_EQ(ClickMenu(desktop, entries, {10, 10}, {{30, 20 + 8 + 10}, {30, 23}, {30, 10}}), 0);
  EXPECT_EQ(ClickMenu(desktop, entries, {10, 10}, {{-5, -5}}), -1) << "a press outside";
  EXPECT_TRUE(desktop.TopLevelWindows().empty());
  EXPECT_EQ(desktop.GetCapture(), 0u);

  // Opened at the bottom-right corner, the menu stays inside the work area.
  TRect bounds;
  ClickMenu(desktop, entries, {395, 295}, {{30, 10}}, &bounds);
  const TRect work = desktop.Monitors().front().WorkArea;
  EXPECT_LE(bounds.Right, work.Right);
  EXPECT_LE(bounds.Bottom, work.Bottom);
  EXPECT_EQ(TrackPopupMenu(desktop, {{"-", true, false}}, {0, 0}), -1);
}

TEST_F(ServicesTest, HintShowsAndHidesByTimeOutOrWhenTheMouseLeaves) {
  THintWindow hint(desktop);
  desktop.MouseMove({50, 50});
  hint.Show({"Last price", {60, 70}, {40, 40, 80, 80}, 1000});
  ASSERT_TRUE(hint.IsShowing());
  desktop.ProcessPaint();
  const auto shot = desktop.Screenshot();
  const TRect r = desktop.GetWindowRect(hint.Handle());
  EXPECT_EQ(r.Left, 60);
  EXPECT_TRUE(PixelIs(*shot, r.Right - 2, r.Top + 1, ColorToRGB(clInfoBk)));
  EXPECT_TRUE(PixelIs(*shot, r.Left, r.Top, ColorToRGB(clInfoText)));

  desktop.AdvanceTime(950);
  EXPECT_TRUE(hint.IsShowing());
  desktop.AdvanceTime(100);
  EXPECT_FALSE(hint.IsShowing()) << "time-out";

  hint.Show({"Volume", {60, 70}, {40, 40, 80, 80}, 0});
  desktop.AdvanceTime(5000);
  EXPECT_TRUE(hint.IsShowing()) << "no time-out, mouse inside";
  desktop.MouseMove({90, 50});
  desktop.AdvanceTime(THintWindow::kCheckIntervalMs);
  EXPECT_FALSE(hint.IsShowing()) << "the mouse left the cursor rectangle";

  hint.Show({"x", {0, 0}, {}, 0});
  hint.Show({"", {0, 0}, {}, 0});
  EXPECT_FALSE(hint.IsShowing());
}

TEST_F(ServicesTest, ClipboardHoldsTextOrPictureAndFailsWhileBusy) {
  TClipboard clip;
  ASSERT_TRUE(clip.SetText("Привет"));
  EXPECT_EQ(clip.GetText(), std::optional<std::string>("Привет"));
  TPixelImage image(3, 2);
  image.SetPixel(2, 1, RGB(1, 2, 3));
  ASSERT_TRUE(clip.SetBitmap(image));
  EXPECT_FALSE(clip.HasText());  // a new content replaces the old
  image.SetPixel(2, 1, 0);       // the clipboard holds a copy
  EXPECT_EQ(clip.GetBitmap()->Pixel(2, 1), RGB(1, 2, 3));

  clip.SetBusy(true);
  SetLastError(0);
  EXPECT_FALSE(clip.SetText("lost?"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(clip.GetBitmap(), nullptr);
  EXPECT_FALSE(clip.GetText().has_value());
  EXPECT_FALSE(clip.Clear());
  clip.SetBusy(false);
  EXPECT_TRUE(clip.HasBitmap()) << "nothing changed while busy";
  EXPECT_TRUE(clip.Clear());
  EXPECT_FALSE(clip.HasBitmap());
}

TEST_F(ServicesTest, CursorsFollowTheScreenCursorThenTheWindowUnderTheMouse) {
  TScreenCursors cursors;
  struct Plain : TWindowProc {
  } plain;
  TCreateParams p;
  p.Bounds = {0, 0, 100, 100};
  const WindowHandle w = desktop.CreateWindow(p, &plain);
  cursors.SetWindowCursor(w, crHandPoint);
  desktop.MouseMove({50, 50});
  EXPECT_EQ(cursors.CurrentCursor(desktop), crHandPoint);
  cursors.SetScreenCursor(crDrag);
  EXPECT_EQ(cursors.CurrentCursor(desktop), crDrag);
  cursors.SetScreenCursor(crDefault);
  desktop.MouseMove({200, 200});
  EXPECT_EQ(cursors.CurrentCursor(desktop), crDefault);

  EXPECT_FALSE(cursors.IsKnown(200));
  cursors.Register(200, {std::make_shared<TPixelImage>(16, 16), 0, {8, 8}});
  EXPECT_TRUE(cursors.IsKnown(200));
  EXPECT_TRUE(cursors.IsKnown(crHSplit));
  EXPECT_THROW(LoadCursorResource("NO_SUCH_CURSOR"), ECanvasError);
  desktop.DestroyWindow(w);
}

TEST_F(ServicesTest, DragStartsBeyondTheThreshold) {
  struct Case {
    const char* name;
    bool immediate;
    int threshold;  // -1: the desktop's
    TPoint move;
    bool started;
  };
  const std::vector<Case> cases = {
      {"within the threshold", false, -1, {104, 96}, false},
      {"beyond it sideways", false, -1, {105, 100}, true},
      {"beyond it upwards", false, -1, {100, 95}, true},
      {"immediate", true, -1, {100, 100}, true},
      {"own threshold", false, 10, {108, 108}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TDragTracker drag;
    drag.Begin(desktop, {100, 100}, c.immediate, c.threshold);
    EXPECT_EQ(drag.Move(c.move), c.started);
    EXPECT_EQ(drag.End(), c.started);
    EXPECT_FALSE(drag.Active());
  }
  desktop.SetSystemMetric(SM_CXDRAG, 20);
  TDragTracker wide;
  wide.Begin(desktop, {0, 0});
  EXPECT_FALSE(wide.Move({15, 0}));
}

TEST_F(ServicesTest, MonitorsAndWorkAreasAreConfigurable) {
  EXPECT_EQ(desktop.Monitors().front().WorkArea, (TRect{0, 0, 400, 260}));
  desktop.SetScreenSize(800, 600);  // the default monitor follows the screen
  EXPECT_EQ(desktop.Monitors().front().Bounds, (TRect{0, 0, 800, 600}));

  desktop.SetMonitors({{{0, 0, 400, 300}, {0, 0, 400, 270}, false},
                       {{400, 0, 1000, 400}, {400, 30, 1000, 400}, true}});
  EXPECT_TRUE(desktop.Monitors()[0].Primary);
  EXPECT_FALSE(desktop.Monitors()[1].Primary);
  EXPECT_EQ(desktop.GetSystemMetric(SM_CMONITORS), 2);
  EXPECT_EQ(MonitorFromPoint(desktop, {500, 10}).WorkArea.Top, 30);
  EXPECT_EQ(MonitorFromPoint(desktop, {2000, 350}).Bounds.Left, 400) << "the nearest";
  EXPECT_EQ(MonitorFromRect(desktop, {350, 0, 600, 50}).Bounds.Left, 400) << "the larger part";
  EXPECT_THROW(desktop.SetMonitors({}), EWindowError);
  EXPECT_THROW(desktop.SetMonitors({{{0, 0, 0, 0}, {}, true}}), EWindowError);
}

TEST_F(ServicesTest, LocaleSeparatorsAndDateOrder) {
  struct Case {
    const char* locale;
    const char* decimal;
    const char* list;
    char date;
    TDateOrder order;
  };
  for (const Case& c : {Case{"en_US", ".", ",", '/', doMDY}, Case{"ru_RU", ",", ";", '.', doDMY},
                        Case{"de_DE", ",", ";", '.', doDMY}, Case{"ja_JP", ".", ",", '/', doYMD}}) {
    SCOPED_TRACE(c.locale);
    const TLocaleSeparators s = LocaleSeparators(c.locale);
    EXPECT_EQ(s.Decimal, c.decimal);
    EXPECT_EQ(s.List, c.list);
    EXPECT_EQ(s.Date, c.date);
    EXPECT_EQ(s.DateOrder, c.order);
    EXPECT_NE(s.Thousand, s.Decimal);
  }
}

}  // namespace
