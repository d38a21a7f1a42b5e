#include "platform/ui/WindowSystem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/Errors.h"
#include "testing/Pixels.h"

using namespace tarvo;
using namespace tarvo::platform;
using tarvo::testing::PixelIs;
using tarvo::testing::RegionIs;
using tarvo::testing::RGB;

namespace {

std::string Pt(TPoint p) {
  return "(" + std::to_string(p.X) + "," + std::to_string(p.Y) + ")";
}

// A window handler that writes every callback into a shared log, and fills
// what it paints with one colour.
class Recorder : public TWindowProc {
 public:
  Recorder(std::string name, std::vector<std::string>& log) : name(std::move(name)), log(log) {}

  void WindowPaint(WindowHandle, TCanvas& canvas, const TRegion& clip) override {
    ++paints;
    lastClip = clip;
    canvas.Brush() = TBrush{fill, bsSolid};
    canvas.FillRect({-10000, -10000, 10000, 10000});  // the clip keeps it in bounds
    if (onPaint) onPaint();
  }
  void WindowMouseDown(WindowHandle, TMouseButton b, TShiftState s, TPoint p) override {
    Log("down" + std::to_string(b) + ((s & ssDouble) ? "dbl" : "") + Pt(p));
    if (onDown) onDown();
  }
  void WindowMouseUp(WindowHandle, TMouseButton b, TShiftState, TPoint p) override {
    Log("up" + std::to_string(b) + Pt(p));
    if (onUp) onUp();
  }
  void WindowMouseMove(WindowHandle, TShiftState, TPoint p) override { Log("move" + Pt(p)); }
  bool WindowMouseWheel(WindowHandle, int delta, TShiftState, TPoint) override {
    Log("wheel" + std::to_string(delta));
    return handlesWheel;
  }
  void WindowMouseEnter(WindowHandle) override { Log("enter"); }
  void WindowMouseLeave(WindowHandle) override { Log("leave"); }
  void WindowKeyDown(WindowHandle, TVirtualKey k, TShiftState) override {
    Log("key" + std::to_string(k));
  }
  void WindowChar(WindowHandle, char32_t c) override { Log("char" + std::to_string(c)); }
  std::uint32_t WindowDialogCode(WindowHandle, TVirtualKey) override { return DLGC_WANTARROWS; }
  void WindowCancelMode(WindowHandle, WindowHandle sender) override {
    Log(std::string("cancel") + (sender ? "" : "0"));
  }
  void WindowFocusChanged(WindowHandle, bool focused, WindowHandle) override {
    Log(focused ? "setfocus" : "killfocus");
  }
  void WindowCaptureLost(WindowHandle, WindowHandle) override { Log("capturelost"); }
  void WindowTimer(WindowHandle, std::uintptr_t id) override {
    Log("timer" + std::to_string(id));
    if (onTimer) onTimer(id);
  }
  std::intptr_t WindowMessage(WindowHandle, std::uint32_t m, std::uintptr_t w,
                              std::intptr_t l) override {
    Log("msg" + std::to_string(m - WM_USER) + ":" + std::to_string(w) + ":" + std::to_string(l));
    return 42;
  }
  void WindowDestroyed(WindowHandle) override { Log("destroyed"); }

  void Log(const std::string& s) { log.push_back(name + "." + s); }

  std::string name;
  std::vector<std::string>& log;
  TColor fill = RGB(255, 0, 0);
  int paints = 0;
  TRegion lastClip;
  bool handlesWheel = false;
  std::function<void()> onPaint, onDown, onUp;
  std::function<void(std::uintptr_t)> onTimer;
};

class DesktopTest : public ::testing::Test {
 protected:
  static TDesktop::Options Options(MessageQueue* queue) {
    TDesktop::Options o;
    o.ScreenWidth = 400;
    o.ScreenHeight = 300;
    o.VirtualTime = true;
    o.Queue = queue;
    return o;
  }
  WindowHandle Make(Recorder& r, TRect bounds, WindowHandle parent = 0,
                    TWindowStyle style = wsVisible) {
    TCreateParams p;
    p.Parent = parent;
    p.Bounds = bounds;
    p.Style = style;
    return desktop.CreateWindow(p, &r);
  }

  Recorder& Rec(const char* name) { return recorders.emplace_back(name, log); }

  // Handlers outlive the desktop, which destroys what is left.
  std::vector<std::string> log;
  std::deque<Recorder> recorders;
  MessageQueue queue;  // the test thread is its UI thread
  TDesktop desktop{Options(&queue)};
};

TEST_F(DesktopTest, CaptureKeepsMouseEventsDuringDragOutsideTheWindow) {
  Recorder& a = Rec("A");
  Recorder& b = Rec("B");
  const WindowHandle wa = Make(a, {10, 10, 110, 110});
  Make(b, {200, 10, 300, 110});
  a.onDown = [&] { desktop.SetCapture(wa); };
  a.onUp = [&] { desktop.ReleaseCapture(); };

  desktop.MouseMove({50, 50});
  desktop.MouseDown({50, 50}, mbLeft);
  desktop.MouseMove({250, 50});   // over B, far outside A
  desktop.MouseMove({-30, 400});  // off the screen
  desktop.MouseUp({250, 60}, mbLeft);
  // After release the mouse is over B: A hears leave, B enter.
  EXPECT_EQ(log, (std::vector<std::string>{
                     "A.enter", "A.move(40,40)", "A.setfocus", "A.down0(40,40)", "A.move(240,40)",
                     "A.move(-40,390)", "A.up0(240,50)", "A.capturelost", "A.leave", "B.enter"}));
  EXPECT_EQ(desktop.GetCapture(), 0u);

  // Without capture the same move reaches the window under the mouse.
  log.clear();
  desktop.MouseMove({260, 70});
  EXPECT_EQ(log, (std::vector<std::string>{"B.move(60,60)"}));
}

std::vector<std::string> WithoutHover(const std::vector<std::string>& log) {
  std::vector<std::string> out;
  for (const std::string& s : log)
    if (s.find(".enter") == std::string::npos && s.find(".leave") == std::string::npos)
      out.push_back(s);
  return out;
}

TEST_F(DesktopTest, CancelModeReachesTheFocusedControlOnAPressElsewhere) {
  Recorder& form = Rec("F");
  Recorder& grid = Rec("G");
  Recorder& other = Rec("O");
  Recorder& popup = Rec("P");
  const WindowHandle wf = Make(form, {0, 0, 300, 200});
  const WindowHandle wg = Make(grid, {10, 10, 110, 110}, wf);
  Make(other, {150, 10, 250, 110}, wf);
  Make(popup, {0, 220, 100, 280}, 0, wsVisible | wsNoActivate | wsTopmost);
  desktop.SetFocus(wg);
  log.clear();

  desktop.MouseDown({200, 50}, mbLeft);  // on the other control
  EXPECT_EQ(WithoutHover(log), (std::vector<std::string>{"G.cancel", "O.down0(50,40)"}));

  // A press on the focused control itself cancels nothing.
  desktop.MouseUp({200, 50}, mbLeft);
  desktop.SetFocus(wg);
  log.clear();
  desktop.MouseDown({50, 50}, mbLeft);
  EXPECT_EQ(WithoutHover(log), (std::vector<std::string>{"G.down0(40,40)"}));
  desktop.MouseUp({50, 50}, mbLeft);

  // A press on a no-activate pop-up still cancels the focused control's
  // mode but leaves it the focus.
  log.clear();
  desktop.MouseDown({50, 250}, mbLeft);
  EXPECT_EQ(WithoutHover(log), (std::vector<std::string>{"G.cancel", "P.down0(50,30)"}));
  EXPECT_EQ(desktop.GetFocus(), wg);
}

TEST_F(DesktopTest, TimersFireInVirtualTimeInOrder) {
  Recorder& a = Rec("A");
  Recorder& b = Rec("B");
  const WindowHandle wa = Make(a, {0, 0, 10, 10});
  const WindowHandle wb = Make(b, {20, 0, 30, 10});
  std::vector<std::string> fired;
  auto record = [&](const char* who) {
    return [&, who](std::uintptr_t id) {
      fired.push_back(std::to_string(desktop.NowMs()) + who + std::to_string(id));
    };
  };
  a.onTimer = record("A");
  b.onTimer = record("B");
  desktop.SetTimer(wa, 1, 30);
  desktop.SetTimer(wb, 2, 50);
  desktop.SetTimer(wa, 3, 50);

  EXPECT_EQ(desktop.AdvanceTime(29), 0);
  EXPECT_EQ(desktop.AdvanceTime(71), 7);  // up to t = 100
  EXPECT_EQ(fired,
            (std::vector<std::string>{"30A1", "50B2", "50A3", "60A1", "90A1", "100B2", "100A3"}));
  EXPECT_EQ(desktop.NowMs(), 100u);

  // A handler that kills another timer and restarts its own.
  fired.clear();
  a.onTimer = [&](std::uintptr_t id) {
    fired.push_back(std::to_string(desktop.NowMs()) + "A" + std::to_string(id));
    if (id == 1) {
      desktop.KillTimer(wb, 2);
      desktop.SetTimer(wa, 1, 100);
    }
  };
  desktop.AdvanceTime(100);  // A1 at 120 kills B2; A3 at 150; A1 now every 100: 220 is past the end
  EXPECT_EQ(fired, (std::vector<std::string>{"120A1", "150A3", "200A3"}));

  desktop.DestroyWindow(wa);
  EXPECT_EQ(desktop.AdvanceTime(1000), 0);  // the window's timers went with it
  EXPECT_THROW(desktop.SetTimer(wb, 1, 0), EWindowError);
  EXPECT_FALSE(desktop.SetTimer(wa, 1, 10));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST(DesktopRealTime, AdvanceTimeNeedsVirtualTimeAndRealTimersFire) {
  std::vector<std::string> log;
  Recorder a("A", log);
  MessageQueue queue;
  TDesktop::Options o;
  o.Queue = &queue;
  TDesktop desktop(o);
  TCreateParams p;
  p.Bounds = {0, 0, 10, 10};
  const WindowHandle wa = desktop.CreateWindow(p, &a);
  EXPECT_THROW(desktop.AdvanceTime(10), std::logic_error);
  int ticks = 0;
  a.onTimer = [&](std::uintptr_t) { ++ticks; };
  desktop.SetTimer(wa, 7, 5);
  EXPECT_TRUE(desktop.RunUntil([&] { return ticks >= 3; }, 5000));
}

TEST_F(DesktopTest, PaintRunsWithItsClipAndEraseOnlyWhenAsked) {
  Recorder& a = Rec("A");
  const WindowHandle wa = Make(a, {0, 0, 100, 80});
  a.fill = RGB(0, 0, 255);
  desktop.ProcessPaint();
  EXPECT_EQ(a.paints, 1);
  TPixelImage& image = *desktop.WindowImage(wa);
  EXPECT_TRUE(RegionIs(image, {0, 0, 100, 80}, RGB(0, 0, 255)));

  // Only the invalid part is painted, and the handler is told which.
  a.fill = RGB(0, 255, 0);
  const TRect r{10, 20, 30, 25};
  desktop.InvalidateRect(wa, &r);
  EXPECT_EQ(desktop.ProcessPaint(), 1);
  EXPECT_EQ(a.lastClip, TRegion(r));
  EXPECT_TRUE(RegionIs(image, r, RGB(0, 255, 0)));
  EXPECT_TRUE(PixelIs(image, 9, 20, RGB(0, 0, 255)));
  EXPECT_TRUE(PixelIs(image, 30, 24, RGB(0, 0, 255)));
  EXPECT_EQ(desktop.ProcessPaint(), 0);  // nothing left

  // Without erase the background is not touched: a handler that draws
  // nothing leaves the old pixels; with erase they become the background.
  a.fill = clNone;
  a.onPaint = [] {};
  struct Silent : Recorder {
    using Recorder::Recorder;
    void WindowPaint(WindowHandle, TCanvas&, const TRegion&) override { ++paints; }
  };
  Silent silent("S", log);
  TCreateParams p;
  p.Bounds = {0, 100, 50, 150};
  p.Background = RGB(9, 9, 9);
  const WindowHandle ws = desktop.CreateWindow(p, &silent);
  desktop.ProcessPaint();
  EXPECT_TRUE(RegionIs(*desktop.WindowImage(ws), {0, 0, 50, 50}, RGB(0, 0, 0)));
  const TRect e{5, 5, 10, 10};
  desktop.InvalidateRect(ws, &e, true);
  desktop.ProcessPaint();
  EXPECT_TRUE(RegionIs(*desktop.WindowImage(ws), e, RGB(9, 9, 9)));
  EXPECT_TRUE(PixelIs(*desktop.WindowImage(ws), 4, 5, RGB(0, 0, 0)));
  desktop.DestroyWindow(ws);
}

TEST_F(DesktopTest, InvalidationDuringPaintWaitsForTheNextPass) {
  Recorder& a = Rec("A");
  const WindowHandle wa = Make(a, {0, 0, 50, 50});
  int again = 2;
  a.onPaint = [&] {
    if (again-- > 0) desktop.InvalidateRect(wa, nullptr);
  };
  EXPECT_EQ(desktop.ProcessPaint(), 1);
  EXPECT_EQ(a.paints, 1);
  EXPECT_FALSE(desktop.GetUpdateRegion(wa).IsEmpty());
  EXPECT_EQ(desktop.ProcessPaint(), 1);
  EXPECT_EQ(desktop.ProcessPaint(), 1);
  EXPECT_EQ(desktop.ProcessPaint(), 0);
  EXPECT_EQ(a.paints, 3);
}

// A gradient that gives every client pixel its own colour, so that moved
// pixels can be traced.
class Gradient : public TWindowProc {
 public:
  void WindowPaint(WindowHandle, TCanvas& canvas, const TRegion&) override {
    for (int y = 0; y < 80; ++y)
      for (int x = 0; x < 100; ++x) canvas.SetPixel(x, y, RGB(x, y, 77));
  }
};

TEST_F(DesktopTest, ScrollWindowMovesPixelsAndInvalidatesExactlyTheUncoveredBand) {
  struct Case {
    const char* name;
    int dx, dy;
    std::optional<TRect> scroll, clip;
    std::vector<TRect> invalid;  // the expected update region afterwards
  };
  const std::vector<Case> cases = {
      {"up", 0, -10, {}, {}, {{0, 70, 100, 80}}},
      {"right", 15, 0, {}, {}, {{0, 0, 15, 80}}},
      {"diagonal", -5, 7, {}, {}, {{0, 0, 100, 7}, {95, 7, 100, 80}}},
      {"body below a header",
       0,
       -10,
       TRect{0, 20, 100, 80},
       TRect{0, 20, 100, 80},
       {{0, 70, 100, 80}}},
      {"further than the area",
       0,
       100,
       TRect{0, 20, 100, 80},
       TRect{0, 20, 100, 80},
       {{0, 20, 100, 80}}},
      {"narrow clip", 5, 0, {}, TRect{10, 10, 90, 70}, {{10, 10, 15, 70}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Gradient g;
    TCreateParams p;
    p.Bounds = {0, 0, 100, 80};
    const WindowHandle w = desktop.CreateWindow(p, &g);
    desktop.ProcessPaint();
    const TRect* scroll = c.scroll ? &*c.scroll : nullptr;
    const TRect* clip = c.clip ? &*c.clip : nullptr;
    ASSERT_TRUE(desktop.ScrollWindow(w, c.dx, c.dy, scroll, clip));

    TRegion expected;
    for (const TRect& r : c.invalid) expected.Union(r);
    EXPECT_EQ(desktop.GetUpdateRegion(w), expected);

    // Every pixel is either moved (from p - d) or untouched.
    const TRect area =
        Intersection(scroll ? *scroll : TRect{0, 0, 100, 80}, clip ? *clip : TRect{0, 0, 100, 80});
    const TPixelImage& image = *desktop.WindowImage(w);
    int wrong = 0;
    for (int y = 0; y < 80; ++y)
      for (int x = 0; x < 100; ++x) {
        const bool moved = area.Contains({x, y}) && area.Contains({x - c.dx, y - c.dy});
        const TColor want = moved ? RGB(x - c.dx, y - c.dy, 77) : RGB(x, y, 77);
        if (image.Pixel(x, y) != want) ++wrong;
      }
    EXPECT_EQ(wrong, 0);
    desktop.DestroyWindow(w);
  }
}

TEST_F(DesktopTest, ScrollWindowCarriesPendingInvalidRegions) {
  Gradient g;
  TCreateParams p;
  p.Bounds = {0, 0, 100, 80};
  const WindowHandle w = desktop.CreateWindow(p, &g);
  desktop.ProcessPaint();
  const TRect pending{20, 20, 30, 30};
  desktop.InvalidateRect(w, &pending);
  desktop.ScrollWindow(w, 0, -10, nullptr, nullptr);
  TRegion expected(TRect{20, 10, 30, 20});
  expected.Union(TRect{0, 70, 100, 80});
  EXPECT_EQ(desktop.GetUpdateRegion(w), expected);
  desktop.DestroyWindow(w);
}

// Content in virtual coordinates, like a grid's: a header band that scrolls
// only sideways over a body of 8 x 8 tiles that scrolls both ways. Each tile
// has a version that the script bumps.
class Scroller : public TWindowProc {
 public:
  static constexpr int kW = 120, kH = 90, kHeader = 12, kTile = 8;
  static constexpr int kHeaderRow = -1000000;  // the ty of header tiles
  int ox = 0, oy = 0;
  std::map<std::pair<int, int>, int> versions;

  static int FloorDiv(int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }
  TColor TileColor(int tx, int ty) const {
    const auto it = versions.find({tx, ty});
    const int v = it == versions.end() ? 0 : it->second;
    const std::uint32_t h = static_cast<std::uint32_t>(tx) * 73856093u ^
                            static_cast<std::uint32_t>(ty) * 19349663u ^
                            static_cast<std::uint32_t>(v) * 83492791u;
    return h & 0xFFFFFF;
  }
  TRect TileScreenRect(int tx, int ty) const {
    if (ty == kHeaderRow)
      return Intersection({tx * kTile - ox, 0, tx * kTile - ox + kTile, kHeader},
                          {0, 0, kW, kHeader});
    const int top = kHeader + ty * kTile - oy;
    return Intersection({tx * kTile - ox, top, tx * kTile - ox + kTile, top + kTile},
                        {0, kHeader, kW, kH});
  }
  void WindowPaint(WindowHandle, TCanvas& canvas, const TRegion&) override {
    for (int tx = FloorDiv(ox, kTile); tx * kTile - ox < kW; ++tx) {
      canvas.Brush() = TBrush{TileColor(tx, kHeaderRow), bsSolid};
      canvas.FillRect(TileScreenRect(tx, kHeaderRow));
      for (int ty = FloorDiv(oy, kTile); kHeader + ty * kTile - oy < kH; ++ty) {
        canvas.Brush() = TBrush{TileColor(tx, ty), bsSolid};
        canvas.FillRect(TileScreenRect(tx, ty));
      }
    }
  }
};

TEST_F(DesktopTest, AfterAnyScriptOfScrollsAndInvalidationsTheStoreEqualsAFullPaint) {
  for (unsigned seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto rnd = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    Scroller s;
    TCreateParams p;
    p.Bounds = {0, 0, Scroller::kW, Scroller::kH};
    const WindowHandle w = desktop.CreateWindow(p, &s);
    desktop.ProcessPaint();
    const TRect header{0, 0, Scroller::kW, Scroller::kHeader};
    const TRect body{0, Scroller::kHeader, Scroller::kW, Scroller::kH};
    for (int step = 0; step < 60; ++step) {
      switch (rnd(0, 3)) {
        case 0: {  // scroll the way a grid does
          const int dx = rnd(0, 2) ? rnd(-30, 30) : 0;
          const int dy = rnd(0, 2) ? rnd(-30, 30) : 0;
          s.ox -= dx;
          s.oy -= dy;
          if (dy == 0) {
            desktop.ScrollWindow(w, dx, 0, nullptr, nullptr);
          } else if (dx == 0) {
            desktop.ScrollWindow(w, 0, dy, &body, &body);
          } else {
            desktop.ScrollWindow(w, dx, dy, &body, &body);
            desktop.ScrollWindow(w, dx, 0, &header, &header);
          }
          break;
        }
        case 1: {  // a visible tile changes and is invalidated
          const int tx =
              Scroller::FloorDiv(s.ox, Scroller::kTile) + rnd(0, Scroller::kW / Scroller::kTile);
          const int ty = rnd(0, 3) == 0 ? Scroller::kHeaderRow
                                        : Scroller::FloorDiv(s.oy, Scroller::kTile) + rnd(0, 10);
          ++s.versions[{tx, ty}];
          const TRect r = s.TileScreenRect(tx, ty);
          desktop.InvalidateRect(w, &r);
          break;
        }
        case 2: {  // an arbitrary invalidation with nothing changed
          const TRect r{rnd(-10, 110), rnd(-10, 80), rnd(0, 130), rnd(0, 100)};
          desktop.InvalidateRect(w, &r, rnd(0, 1) == 1);
          break;
        }
        default:
          desktop.ProcessPaint();
      }
    }
    desktop.ProcessPaint();

    Scroller fresh;
    fresh.ox = s.ox;
    fresh.oy = s.oy;
    fresh.versions = s.versions;
    const WindowHandle wf = desktop.CreateWindow(p, &fresh);
    desktop.ProcessPaint();
    const TPixelImage& got = *desktop.WindowImage(w);
    const TPixelImage& want = *desktop.WindowImage(wf);
    int differing = 0;
    for (int y = 0; y < Scroller::kH; ++y)
      for (int x = 0; x < Scroller::kW; ++x)
        if (got.Pixel(x, y) != want.Pixel(x, y)) ++differing;
    EXPECT_EQ(differing, 0);
    desktop.DestroyWindow(w);
    desktop.DestroyWindow(wf);
  }
}

TEST_F(DesktopTest, EnterLeaveWheelKeysAndCharacters) {
  Recorder& form = Rec("F");
  Recorder& child = Rec("C");
  const WindowHandle wf = Make(form, {0, 0, 200, 200});
  const WindowHandle wc = Make(child, {50, 50, 100, 100}, wf);
  desktop.MouseMove({10, 10});
  desktop.MouseMove({60, 60});
  desktop.MouseMove({61, 61});
  desktop.MouseMove({300, 250});  // off every window
  EXPECT_EQ(log, (std::vector<std::string>{"F.enter", "F.move(10,10)", "F.leave", "C.enter",
                                           "C.move(10,10)", "C.move(11,11)", "C.leave"}));

  // The wheel passes to the parent while unhandled.
  log.clear();
  desktop.MouseWheel({60, 60}, -120);
  EXPECT_EQ(log, (std::vector<std::string>{"C.wheel-120", "F.wheel-120"}));
  log.clear();
  child.handlesWheel = true;
  desktop.MouseWheel({60, 60}, 240);
  EXPECT_EQ(log, (std::vector<std::string>{"C.wheel240"}));

  // Keys and characters go to the focused window.
  desktop.SetFocus(wc);
  log.clear();
  desktop.KeyDown(VK_LEFT);
  desktop.Chars("aЖ");
  EXPECT_EQ(log, (std::vector<std::string>{"C.key37", "C.char97", "C.char1046"}));
  EXPECT_EQ(desktop.QueryDialogCode(wc, VK_LEFT), DLGC_WANTARROWS);

  // A hidden or disabled window takes no focus and swallows presses.
  desktop.EnableWindow(wc, false);
  EXPECT_EQ(desktop.GetFocus(), 0u);
  log.clear();
  desktop.MouseDown({60, 60}, mbLeft);
  desktop.MouseUp({60, 60}, mbLeft);
  EXPECT_EQ(desktop.SetFocus(wc), 0u);
  for (const std::string& entry : log) EXPECT_EQ(entry.find("C.down"), std::string::npos) << entry;
}

TEST_F(DesktopTest, InputHooksSeeEveryEventBeforeItIsRouted) {
  Recorder& a = Rec("A");
  Make(a, {0, 0, 100, 100});
  std::vector<std::string> seen;
  const int hook = desktop.AddInputHook([&](const TInputEvent& e) {
    seen.push_back(std::to_string(e.Kind) + Pt(e.Point) + ":" + std::to_string(e.Key) + ":" +
                   std::to_string(e.Char));
    log.push_back("hook");
  });
  desktop.MouseMove({300, 200});  // over no window: hooks still see it
  desktop.MouseDown({10, 10}, mbRight);
  desktop.MouseUp({10, 10}, mbRight);
  desktop.MouseWheel({10, 10}, 120);
  desktop.KeyDown(VK_DOWN);
  desktop.Chars("я");
  EXPECT_EQ(seen, (std::vector<std::string>{"0(300,200):0:0", "1(10,10):1:0", "2(10,10):1:0",
                                            "3(10,10):0:0", "4(10,10):40:0", "6(10,10):0:1103"}));
  // The press's hook call (the second) comes before the window hears of it,
  // and the release's (the third) after.
  std::vector<std::size_t> hooks;
  for (std::size_t i = 0; i < log.size(); ++i)
    if (log[i] == "hook") hooks.push_back(i);
  const auto down = std::find(log.begin(), log.end(), "A.down1(10,10)") - log.begin();
  ASSERT_GE(hooks.size(), 3u);
  EXPECT_LT(hooks[1], static_cast<std::size_t>(down));
  EXPECT_GT(hooks[2], static_cast<std::size_t>(down));
  desktop.RemoveInputHook(hook);
  desktop.KeyDown(VK_UP);
  EXPECT_EQ(seen.size(), 6u);
}

TEST_F(DesktopTest, InputHooksChangedDuringADispatchFollowTheListAsItIsNow) {
  std::vector<std::string> calls;
  int b = 0, c = 0;
  bool first = true;
  desktop.AddInputHook([&](const TInputEvent&) {
    calls.push_back("A");
    if (!first) return;
    first = false;
    desktop.RemoveInputHook(b);  // B's owner may be gone: B must not run any more
    desktop.AddInputHook([&](const TInputEvent&) { calls.push_back("D"); });
  });
  b = desktop.AddInputHook([&](const TInputEvent&) { calls.push_back("B"); });
  // C removes itself, then still reads what it captured (on the heap, so a
  // hook destroyed under its own call shows under the address sanitizer).
  c = desktop.AddInputHook([&, name = std::string(40, 'C')](const TInputEvent&) {
    desktop.RemoveInputHook(c);
    calls.push_back(name.substr(0, 1));
  });

  desktop.KeyDown(VK_DOWN);
  EXPECT_EQ(calls, (std::vector<std::string>{"A", "C"}));  // D waits for the next event
  calls.clear();
  desktop.MouseMove({5, 5});
  EXPECT_EQ(calls, (std::vector<std::string>{"A", "D"}));
}

TEST_F(DesktopTest, IdleHooksRemovedByAnEarlierHookDoNotRun) {
  std::vector<std::string> calls;
  int b = 0;
  const int a = desktop.AddIdleHook([&] {
    calls.push_back("A");
    desktop.RemoveIdleHook(b);
    desktop.AddIdleHook([&] { calls.push_back("C"); });
  });
  b = desktop.AddIdleHook([&] { calls.push_back("B"); });
  desktop.ProcessMessages();
  EXPECT_EQ(calls, (std::vector<std::string>{"A"}));
  desktop.RemoveIdleHook(a);
  calls.clear();
  desktop.ProcessMessages();
  EXPECT_EQ(calls, (std::vector<std::string>{"C"}));
}

TEST_F(DesktopTest, DoubleClicksNeedTheStyleTimeAndPlace) {
  Recorder& a = Rec("A");
  Recorder& b = Rec("B");
  Make(a, {0, 0, 100, 100}, 0, wsVisible | wsDblClicks);
  Make(b, {100, 0, 200, 100});
  auto click = [&](TPoint p) {
    desktop.MouseDown(p, mbLeft);
    desktop.MouseUp(p, mbLeft);
  };
  click({10, 10});
  desktop.AdvanceTime(100);
  click({11, 11});  // second press: double
  desktop.AdvanceTime(100);
  click({11, 11});  // third press starts again
  desktop.AdvanceTime(600);
  click({11, 11});  // too late
  click({150, 10});
  click({150, 10});  // no style, no double
  std::vector<std::string> downs;
  for (const std::string& s : log)
    if (s.find(".down") != std::string::npos) downs.push_back(s);
  EXPECT_EQ(downs,
            (std::vector<std::string>{"A.down0(10,10)", "A.down0dbl(11,11)", "A.down0(11,11)",
                                      "A.down0(11,11)", "B.down0(50,10)", "B.down0(50,10)"}));
}

TEST_F(DesktopTest, PostedMessagesGoThroughTheQueueAndDieWithTheWindow) {
  Recorder& a = Rec("A");
  const WindowHandle wa = Make(a, {0, 0, 10, 10});
  ASSERT_TRUE(desktop.PostMessage(wa, WM_USER + 5, 1, 2));
  EXPECT_TRUE(log.empty());
  desktop.ProcessMessages();
  EXPECT_EQ(log, (std::vector<std::string>{"A.msg5:1:2"}));
  EXPECT_EQ(desktop.SendMessage(wa, WM_USER + 6, 3, 4), std::optional<std::intptr_t>(42));

  log.clear();
  desktop.PostMessage(wa, WM_USER + 7, 0, 0);
  desktop.DestroyWindow(wa);
  desktop.ProcessMessages();
  EXPECT_EQ(log, (std::vector<std::string>{"A.destroyed"}));
  EXPECT_FALSE(desktop.PostMessage(wa, WM_USER + 8, 0, 0));
}

TEST_F(DesktopTest, WorkersPostToWindowsAndOnlyTheUIThreadMayDriveTheDesktop) {
  Recorder& a = Rec("A");
  const WindowHandle wa = Make(a, {0, 0, 10, 10});
  const auto ui = std::this_thread::get_id();
  bool allOnUI = true;
  int handled = 0;
  struct Counter : TWindowProc {
    std::function<void()> on;
    std::intptr_t WindowMessage(WindowHandle, std::uint32_t, std::uintptr_t,
                                std::intptr_t) override {
      on();
      return 0;
    }
  } counter;
  counter.on = [&] {
    ++handled;
    allOnUI = allOnUI && std::this_thread::get_id() == ui;
  };
  TCreateParams p;
  p.Bounds = {0, 0, 10, 10};
  const WindowHandle wc = desktop.CreateWindow(p, &counter);
  bool threw = false;
  std::thread worker([&] {
    for (int i = 0; i < 100; ++i)
      desktop.PostMessage(wc, WM_USER + 1, static_cast<std::uintptr_t>(i), 0);
    try {
      desktop.MouseMove({1, 1});
    } catch (const std::logic_error&) {
      threw = true;
    }
  });
  worker.join();
  EXPECT_TRUE(threw);
  EXPECT_TRUE(desktop.RunUntil([&] { return handled == 100; }, 5000));
  EXPECT_TRUE(allOnUI);
  desktop.DestroyWindow(wc);
  (void)wa;
}

TEST_F(DesktopTest, AHandlerMayDestroyItsOwnWindowMidEvent) {
  Recorder& a = Rec("A");
  Recorder& b = Rec("B");
  const WindowHandle wa = Make(a, {0, 0, 100, 100});
  const WindowHandle wb = Make(b, {10, 10, 50, 50}, wa);
  b.onDown = [&] { desktop.DestroyWindow(wa); };
  desktop.SetCapture(wb);
  desktop.MouseDown({20, 20}, mbLeft);
  EXPECT_FALSE(desktop.IsWindow(wa));
  EXPECT_FALSE(desktop.IsWindow(wb));
  EXPECT_EQ(desktop.GetCapture(), 0u);
  desktop.MouseUp({20, 20}, mbLeft);  // nothing left to receive it
  EXPECT_EQ(desktop.ProcessPaint(), 0);
  EXPECT_FALSE(desktop.ShowWindow(wa, true));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(DesktopTest, ScreenshotCompositesTopLevelsChildrenShapesAndZOrder) {
  Recorder& back = Rec("B");
  Recorder& child = Rec("C");
  Recorder& top = Rec("T");
  Recorder& keyed = Rec("K");
  Recorder& shaped = Rec("S");
  back.fill = RGB(200, 0, 0);
  child.fill = RGB(0, 0, 200);
  top.fill = RGB(0, 200, 0);
  keyed.fill = RGB(255, 0, 255);
  shaped.fill = RGB(255, 255, 0);
  const WindowHandle wb = Make(back, {10, 10, 110, 110});
  Make(child, {80, 80, 200, 200}, wb);  // sticks out of its parent: cut at the parent's client
  const WindowHandle wt = Make(top, {100, 10, 150, 60}, 0, wsVisible | wsTopmost);
  TCreateParams kp;
  kp.Bounds = {0, 120, 40, 160};
  kp.ColorKey = RGB(255, 0, 255);
  const WindowHandle wk = desktop.CreateWindow(kp, &keyed);
  const WindowHandle ws = Make(shaped, {200, 200, 220, 220});
  TRegion corner(TRect{0, 0, 10, 10});
  desktop.SetWindowRegion(ws, corner);
  desktop.ProcessPaint();
  desktop.BringToFront(wb);  // topmost stays above

  const auto shot = desktop.Screenshot();
  const TColor bg = ColorToRGB(clBackground);
  EXPECT_TRUE(PixelIs(*shot, 20, 20, RGB(200, 0, 0)));
  EXPECT_TRUE(PixelIs(*shot, 95, 95, RGB(0, 0, 200)));   // child over parent
  EXPECT_TRUE(PixelIs(*shot, 95, 115, bg));              // child cut at the parent's edge
  EXPECT_TRUE(PixelIs(*shot, 105, 20, RGB(0, 200, 0)));  // topmost over the parent
  EXPECT_TRUE(PixelIs(*shot, 20, 130, bg));              // colour key: see-through
  EXPECT_TRUE(PixelIs(*shot, 205, 205, RGB(255, 255, 0)));
  EXPECT_TRUE(PixelIs(*shot, 215, 215, bg));  // outside the region
  // The mouse goes through what is not drawn.
  EXPECT_EQ(desktop.WindowFromPoint({20, 130}), 0u);
  EXPECT_EQ(desktop.WindowFromPoint({215, 215}), 0u);
  EXPECT_EQ(desktop.WindowFromPoint({105, 20}), wt);
  EXPECT_EQ(desktop.TopLevelWindows().back(), wt);
  (void)wk;
}

TEST_F(DesktopTest, GeometryAndErrors) {
  Recorder& form = Rec("F");
  Recorder& child = Rec("C");
  TCreateParams fp;
  fp.Bounds = {100, 50, 300, 250};
  fp.FrameInsets = {2, 20, 2, 2};
  const WindowHandle wf = desktop.CreateWindow(fp, &form);
  const WindowHandle wc = Make(child, {10, 10, 60, 40}, wf);
  EXPECT_EQ(desktop.GetClientRect(wf), (TRect{0, 0, 196, 178}));
  EXPECT_EQ(desktop.ClientToScreen(wc, {1, 2}), (TPoint{113, 82}));
  EXPECT_EQ(desktop.ScreenToClient(wc, {113, 82}), (TPoint{1, 2}));
  EXPECT_EQ(desktop.GetWindowRect(wc), (TRect{112, 80, 162, 110}));
  EXPECT_EQ(desktop.GetTopLevel(wc), wf);
  EXPECT_TRUE(desktop.IsChild(wf, wc));

  desktop.ProcessPaint();
  EXPECT_TRUE(desktop.SetBounds(wc, {10, 10, 80, 40}));  // a resize invalidates it all
  EXPECT_EQ(desktop.GetUpdateRegion(wc), TRegion(TRect{0, 0, 70, 30}));

  TCreateParams bad;
  bad.Parent = 999999;
  EXPECT_THROW(desktop.CreateWindow(bad, &form), EWindowError);
  bad.Parent = 0;
  bad.Bounds = {0, 0, 40000, 10};
  EXPECT_THROW(desktop.CreateWindow(bad, &form), EWindowError);
}

}  // namespace
