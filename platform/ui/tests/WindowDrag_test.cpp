#include "platform/ui/WindowDrag.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

using namespace tarvo::platform;

namespace {

// Windows that record their input and, like controls, capture the mouse
// while the left button is held.
class Recorder : public TWindowProc {
 public:
  TDesktop* desktop = nullptr;
  std::vector<std::string>* log = nullptr;
  std::string name;
  std::function<void(TMouseButton)> onDown;

  void WindowMouseDown(WindowHandle w, TMouseButton b, TShiftState, TPoint) override {
    if (b == mbLeft) desktop->SetCapture(w);
    log->push_back(name + ":down");
    if (onDown) onDown(b);
  }
  void WindowMouseUp(WindowHandle, TMouseButton b, TShiftState, TPoint) override {
    if (b == mbLeft) desktop->ReleaseCapture();
    log->push_back(name + ":up");
  }
};

// The client: targets are the windows in `targets`; those in `accepting`
// accept. Points are logged relative to the target's client area.
class Client : public IDragClient {
 public:
  TDesktop* desktop = nullptr;
  std::vector<std::string>* log = nullptr;
  std::set<WindowHandle> targets, accepting;
  std::function<void(WindowHandle, TDragState)> onOver;
  std::function<void()> onEnded;

  std::string Name(WindowHandle w) const { return w == 0 ? "none" : desktop->GetCaption(w); }
  WindowHandle DragTargetAt(TPoint screen) override {
    const WindowHandle w = desktop->WindowFromPoint(screen);
    return targets.count(w) ? w : 0;
  }
  void DragStarted() override { log->push_back("started"); }
  bool DragOver(WindowHandle target, TPoint screen, TDragState state) override {
    static const char* const names[] = {"enter", "leave", "move"};
    const TPoint p = desktop->ScreenToClient(target, screen);
    log->push_back(std::string(names[state]) + " " + Name(target) + " " + std::to_string(p.X) +
                   "," + std::to_string(p.Y));
    if (onOver) onOver(target, state);
    return accepting.count(target) != 0;
  }
  void DragDrop(WindowHandle target, TPoint screen) override {
    const TPoint p = desktop->ScreenToClient(target, screen);
    log->push_back("drop " + Name(target) + " " + std::to_string(p.X) + "," + std::to_string(p.Y));
  }
  // A drag that never started is logged with the screen point it ended at.
  void DragEnded(WindowHandle target, TPoint screen, bool started) override {
    log->push_back(started ? "ended " + Name(target)
                           : "unstarted " + Name(target) + " at " + std::to_string(screen.X) + "," +
                                 std::to_string(screen.Y));
    if (onEnded) onEnded();
  }
};

class DragTest : public ::testing::Test {
 public:  // the cases' lambdas reach the fixture
  static TDesktop::Options Options(MessageQueue* q) {
    TDesktop::Options o;
    o.ScreenWidth = 400;
    o.ScreenHeight = 300;
    o.VirtualTime = true;
    o.Queue = q;
    return o;
  }
  void SetUp() override {
    TCreateParams p;
    p.Bounds = {0, 0, 400, 300};
    p.Caption = "form";
    form = desktop.CreateWindow(p, &formProc);
    p.Parent = form;
    p.Bounds = {10, 10, 110, 110};
    p.Caption = "A";
    a = desktop.CreateWindow(p, &aProc);
    p.Bounds = {200, 10, 300, 110};
    p.Caption = "B";
    b = desktop.CreateWindow(p, &bProc);
    for (Recorder* r : {&formProc, &aProc, &bProc}) {
      r->desktop = &desktop;
      r->log = &log;
    }
    formProc.name = "form";
    aProc.name = "A";
    bProc.name = "B";
    client.desktop = &desktop;
    client.log = &log;
    client.targets = {a, b};
    client.accepting = {b};
    ScreenCursors().SetScreenCursor(crDefault);
  }
  void TearDown() override {
    session.End(false);
    ScreenCursors().SetScreenCursor(crDefault);
  }
  // Presses the left button in A and begins a session for A there.
  void PressAndBegin(bool immediate, int threshold = -1) {
    desktop.MouseMove({60, 60});
    desktop.MouseDown({60, 60}, mbLeft);
    ASSERT_TRUE(session.Begin(desktop, {a, immediate, threshold, crDrag}, client));
  }

  // Everything the desktop calls outlives it.
  std::vector<std::string> log;
  Recorder formProc, aProc, bProc;
  Client client;
  TDragSession session;
  MessageQueue queue;
  TDesktop desktop{Options(&queue)};
  WindowHandle form = 0, a = 0, b = 0;
};

using Log = std::vector<std::string>;

TEST_F(DragTest, APendingDragStartsOnlyBeyondTheThreshold) {
  struct Case {
    const char* name;
    int threshold;  // -1: the desktop's (4)
    TPoint move;
    bool starts;
  };
  const Case cases[] = {
      {"within the desktop's threshold", -1, {64, 56}, false},
      {"beyond it sideways", -1, {65, 60}, true},
      {"beyond it upwards", -1, {60, 55}, true},
      {"within a threshold of its own", 10, {70, 70}, false},
      {"beyond a threshold of its own", 10, {71, 60}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    PressAndBegin(false, c.threshold);
    EXPECT_TRUE(session.Pending());
    // Pending or not, the session holds the mouse.
    EXPECT_EQ(desktop.GetCapture(), session.CaptureWindow());
    desktop.MouseMove(c.move);
    EXPECT_EQ(session.Dragging(), c.starts);
    EXPECT_EQ(session.Position(), c.move);
    desktop.MouseUp(c.move, mbLeft);
    EXPECT_FALSE(session.Active());
    // The source never sees the release (nor the move): the drag took the
    // mouse with the press.
    const std::string at = std::to_string(c.move.X - 10) + "," + std::to_string(c.move.Y - 10);
    if (c.starts) {
      EXPECT_EQ(log, (Log{"A:down", "started", "enter A " + at, "leave A " + at, "ended none"}));
    } else {
      // Below the threshold: one end, at the release point, and nothing
      // asked of any target.
      EXPECT_EQ(log, (Log{"A:down", "unstarted none at " + std::to_string(c.move.X) + "," +
                                        std::to_string(c.move.Y)}));
    }
    EXPECT_EQ(desktop.GetCapture(), 0u);
    EXPECT_EQ(ScreenCursors().ScreenCursor(), crDefault);
  }
  desktop.SetSystemMetric(SM_CXDRAG, 20);
  log.clear();
  PressAndBegin(false);
  desktop.MouseMove({75, 60});
  EXPECT_TRUE(session.Pending());
  desktop.MouseUp({75, 60}, mbLeft);
  EXPECT_EQ(log, (Log{"A:down", "unstarted none at 75,60"}));
}

TEST_F(DragTest, EveryWayOfEndingAPendingDragEndsItUnstartedOnce) {
  struct Case {
    const char* name;
    std::function<void(DragTest&)> end;
    const char* at;  // screen point of the end
  };
  const Case cases[] = {
      {"Esc", [](DragTest& t) { t.desktop.KeyDown(VK_ESCAPE); }, "62,58"},
      {"right button",
       [](DragTest& t) {
         t.desktop.MouseDown({63, 57}, mbRight);
       },
       "63,57"},
      {"capture taken", [](DragTest& t) { t.desktop.SetCapture(t.form); }, "62,58"},
      {"End(false)", [](DragTest& t) { t.session.End(false); }, "62,58"},
      {"End(true): nothing to drop", [](DragTest& t) { t.session.End(true); }, "62,58"},
      {"the source goes, then the mouse moves",
       [](DragTest& t) {
         t.desktop.DestroyWindow(t.a);
         t.desktop.MouseMove({63, 59});
       },
       "63,59"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    PressAndBegin(false);
    desktop.MouseMove({62, 58});  // below the threshold
    c.end(*this);
    EXPECT_EQ(log, (Log{"A:down", std::string("unstarted none at ") + c.at}));
    EXPECT_FALSE(session.Active());
    EXPECT_EQ(session.CaptureWindow(), 0u);
    EXPECT_EQ(ScreenCursors().ScreenCursor(), crDefault);
    // The session is gone: the mouse reaches the windows again.
    desktop.ReleaseCapture();
    log.clear();
    desktop.MouseUp({250, 50}, mbRight);
    desktop.MouseUp({250, 50}, mbLeft);
    EXPECT_EQ(log, (Log{"B:up", "B:up"}));
    if (!desktop.IsWindow(a)) {
      TCreateParams p;
      p.Parent = form;
      p.Bounds = {10, 10, 110, 110};
      p.Caption = "A";
      a = desktop.CreateWindow(p, &aProc);
      client.targets = {a, b};
    }
  }
  // A left press during a pending drag begun from code waits for its
  // release, which ends the drag there.
  log.clear();
  desktop.MouseMove({60, 60});
  ASSERT_TRUE(session.Begin(desktop, {a, false}, client));
  desktop.MouseDown({61, 61}, mbLeft);
  EXPECT_TRUE(session.Pending());
  desktop.MouseUp({62, 62}, mbLeft);
  EXPECT_EQ(log, (Log{"unstarted none at 62,62"}));
}

TEST_F(DragTest, TargetsHearEnterMoveLeaveAndTheCursorShowsTheirAnswer) {
  ScreenCursors().SetScreenCursor(crHandPoint);  // restored at the end
  PressAndBegin(true);
  EXPECT_EQ(desktop.GetCapture(), session.CaptureWindow());
  EXPECT_EQ(ScreenCursors().ScreenCursor(), crNoDrop);  // A refuses

  struct Step {
    TPoint to;
    Log heard;
    int cursor;
  };
  const Step steps[] = {
      {{61, 60}, {"move A 51,50"}, crNoDrop},
      {{250, 50}, {"leave A 240,40", "enter B 50,40"}, crDrag},
      {{251, 52}, {"move B 51,42"}, crDrag},
      {{150, 200}, {"leave B -50,190"}, crNoDrop},  // the form is no target
      {{210, 20}, {"enter B 10,10"}, crDrag},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.heard.front());
    log.clear();
    desktop.MouseMove(s.to);
    EXPECT_EQ(log, s.heard);
    EXPECT_EQ(ScreenCursors().ScreenCursor(), s.cursor);
    EXPECT_EQ(session.Target() == b, s.cursor == crDrag);
  }
  // No window under the mouse hears it while the drag holds the mouse.
  for (const std::string& line : log) EXPECT_EQ(line.find(':'), std::string::npos);

  // The release point counts: it is asked as a move, then dropped on.
  log.clear();
  desktop.MouseUp({220, 30}, mbLeft);
  EXPECT_EQ(log, (Log{"move B 20,20", "leave B 20,20", "drop B 20,20", "ended B"}));
  EXPECT_FALSE(session.Active());
  EXPECT_EQ(desktop.GetCapture(), 0u);
  EXPECT_EQ(ScreenCursors().ScreenCursor(), crHandPoint);
  EXPECT_EQ(session.CaptureWindow(), 0u);
  EXPECT_EQ(desktop.TopLevelWindows(), (std::vector<WindowHandle>{form}));  // window gone
}

TEST_F(DragTest, DropsOnARefusingTargetOrNowhereEndWithoutTarget) {
  for (const TPoint at : {TPoint{50, 50}, TPoint{150, 200}}) {
    log.clear();
    PressAndBegin(true);
    desktop.MouseMove(at);
    desktop.MouseUp(at, mbLeft);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "ended none");
    for (const std::string& line : log) EXPECT_NE(line.rfind("drop", 0), 0u) << line;
  }
}

TEST_F(DragTest, EveryWayOfCancellingEndsWithoutADrop) {
  struct Case {
    const char* name;
    std::function<void(DragTest&)> cancel;
    Log tail;  // what follows being over B
  };
  const Case cases[] = {
      {"Esc", [](DragTest& t) { t.desktop.KeyDown(VK_ESCAPE); }, {"leave B 50,40", "ended none"}},
      {"right button",
       [](DragTest& t) {
         t.desktop.MouseDown({250, 50}, mbRight);
       },
       {"leave B 50,40", "ended none"}},
      {"capture taken",
       [](DragTest& t) { t.desktop.SetCapture(t.form); },
       {"leave B 50,40", "ended none"}},
      {"End(false)", [](DragTest& t) { t.session.End(false); }, {"leave B 50,40", "ended none"}},
      {"End(true) drops where the mouse is",
       [](DragTest& t) { t.session.End(true); },
       {"leave B 50,40", "drop B 50,40", "ended B"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PressAndBegin(true);
    desktop.MouseMove({250, 50});
    log.clear();
    c.cancel(*this);
    EXPECT_EQ(log, c.tail);
    EXPECT_FALSE(session.Active());
    EXPECT_EQ(ScreenCursors().ScreenCursor(), crDefault);
    desktop.ReleaseCapture();
    desktop.MouseUp({250, 50}, mbRight);
    desktop.MouseUp({250, 50}, mbLeft);
  }
}

TEST_F(DragTest, WindowsDestroyedDuringTheDragAreForgotten) {
  // The target destroys itself as the mouse enters it: no leave to a dead
  // window, no drop, the cursor says no drop.
  PressAndBegin(true);
  client.onOver = [&](WindowHandle w, TDragState s) {
    if (w == b && s == dsDragEnter) desktop.DestroyWindow(b);
  };
  desktop.MouseMove({250, 50});
  EXPECT_EQ(session.Target(), 0u);
  EXPECT_EQ(ScreenCursors().ScreenCursor(), crNoDrop);
  log.clear();
  desktop.MouseUp({251, 50}, mbLeft);
  EXPECT_EQ(log, (Log{"ended none"}));

  // The source goes: the next move ends the drag, the target hears leave.
  TCreateParams p;
  p.Parent = form;
  p.Bounds = {200, 10, 300, 110};
  p.Caption = "B";
  b = desktop.CreateWindow(p, &bProc);
  client.targets = {a, b};
  client.accepting = {b};
  client.onOver = nullptr;
  PressAndBegin(true);
  desktop.MouseMove({250, 50});
  desktop.DestroyWindow(a);
  log.clear();
  desktop.MouseMove({252, 50});
  EXPECT_EQ(log, (Log{"leave B 50,40", "ended none"}));
  EXPECT_FALSE(session.Active());
  EXPECT_EQ(desktop.GetCapture(), 0u);
}

TEST_F(DragTest, OneSessionAtATimeAndANewOneMayBeginFromTheEnd) {
  EXPECT_FALSE(session.Begin(desktop, {0, true}, client));
  EXPECT_FALSE(session.Begin(desktop, {9999, true}, client));
  PressAndBegin(true);
  EXPECT_FALSE(session.Begin(desktop, {b, true}, client));
  EXPECT_EQ(session.Source(), a);
  // The end handler begins the next drag (as a control may): it runs.
  bool again = true;
  client.onEnded = [&] {
    if (std::exchange(again, false)) session.Begin(desktop, {b, true}, client);
  };
  desktop.MouseUp({60, 60}, mbLeft);
  EXPECT_TRUE(session.Dragging());
  EXPECT_EQ(session.Source(), b);
  EXPECT_EQ(desktop.GetCapture(), session.CaptureWindow());
  session.End(false);
  EXPECT_FALSE(session.Active());
}

TEST_F(DragTest, DestroyingTheDesktopEndsARunningDrag) {
  MessageQueue q;
  std::vector<std::string> events;
  {
    Recorder r;  // the window procedure and the client outlive the desktop
    Client c;
    TDesktop other(Options(&q));
    TCreateParams p;
    p.Bounds = {0, 0, 50, 50};
    p.Caption = "S";
    r.desktop = &other;
    r.log = &events;
    const WindowHandle s = other.CreateWindow(p, &r);
    c.desktop = &other;
    c.log = &events;
    ASSERT_TRUE(session.Begin(other, {s, true}, c));
    EXPECT_TRUE(session.Dragging());
    other.DestroyWindow(s);
    other.MouseMove({20, 20});  // the source is gone: ends
    EXPECT_FALSE(session.Active());
    ASSERT_TRUE(session.Begin(other, {other.CreateWindow(p, &r), true}, c));
  }  // the desktop goes with the session running
  EXPECT_FALSE(session.Active());
  EXPECT_EQ(events.back(), "ended none");
}

}  // namespace
