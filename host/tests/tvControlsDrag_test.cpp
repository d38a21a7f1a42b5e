// Dragging controls onto controls with scripted mouse and keys on the
// headless desktop.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "host/tests/tvControlsFixture.h"
#include "host/tvControls.h"
#include "platform/ui/WindowDrag.h"

using namespace tarvo;
using namespace tarvo::platform;
using tarvo::testing::ControlsFixture;

namespace {

using Log = std::vector<std::string>;

std::string Pt(int x, int y) {
  return std::to_string(x) + "," + std::to_string(y);
}

// A plain control; an override of DragOver may accept without a handler.
class Box : public TCustomBorderedControl {
 public:
  const char* ClassName() const override { return "Box"; }
  bool acceptByOverride = false;

 protected:
  friend class TComponent;
  explicit Box(TComponent* owner) : TCustomBorderedControl(owner) {}
  void DragOver(TCustomBorderedControl* source, int x, int y, TDragState state,
                bool& accept) override {
    TCustomBorderedControl::DragOver(source, x, y, state, accept);
    if (acceptByOverride) accept = true;
  }
};

// A form with three boxes: the source S (10,10)-(110,110), the accepting
// target T (200,10)-(300,110), the refusing R (10,150)-(110,250). The form
// itself has no drag handler and so refuses. Everything is logged.
class DragTest : public ControlsFixture {
 public:  // the cases' lambdas reach the fixture
  using ControlsFixture::desktop;
  void SetUp() override {
    ControlsFixture::SetUp();
    form = TComponent::CreateUnowned<Box>();
    form->SetName("form");
    form->SetBounds(0, 0, 400, 300);
    auto make = [&](const char* name, TRect r) {
      Box* b = TComponent::Create<Box>(form.get());
      b->SetName(name);
      b->SetBounds(r.Left, r.Top, r.Width(), r.Height());
      b->SetParent(form.get());
      return b;
    };
    s = make("S", {10, 10, 110, 110});
    t = make("T", {200, 10, 300, 110});
    r = make("R", {10, 150, 110, 250});
    form->HandleNeeded();
    auto name = [](TCustomBorderedControl* c) { return c ? c->Name() : std::string("null"); };
    for (Box* b : {s, t, r}) {
      b->OnStartDrag = [this](TCustomBorderedControl& c) { log.push_back(c.Name() + " start"); };
      b->OnDragDrop = [this, name](TCustomBorderedControl& c, TCustomBorderedControl* src, int x,
                                   int y) {
        log.push_back(c.Name() + " drop " + name(src) + " " + Pt(x, y));
      };
      b->OnEndDrag = [this, name](TCustomBorderedControl& c, TCustomBorderedControl* target, int x,
                                  int y) {
        log.push_back(c.Name() + " end " + name(target) + " " + Pt(x, y));
      };
      b->OnMouseUp = [this](TCustomBorderedControl& c, TMouseButton, TShiftState, int, int) {
        log.push_back(c.Name() + " up");
      };
      b->OnClick = [this](TCustomBorderedControl& c) { log.push_back(c.Name() + " click"); };
    }
    for (Box* b : {t, r}) {
      b->OnDragOver = [this, name](TCustomBorderedControl& c, TCustomBorderedControl* src, int x,
                                   int y, TDragState state, bool& accept) {
        static const char* const states[] = {"enter", "leave", "move"};
        log.push_back(c.Name() + " " + states[state] + " " + name(src) + " " + Pt(x, y));
        if (&c == r) accept = false;
      };
    }
    s->OnMouseDown = [this](TCustomBorderedControl& c, TMouseButton button, TShiftState, int, int) {
      if (button == mbLeft) c.BeginDrag(immediate, threshold);
    };
    ScreenCursors().SetScreenCursor(crDefault);
  }
  void TearDown() override {
    DragSession().End(false);
    form.reset();
    ScreenCursors().SetScreenCursor(crDefault);
  }
  // Presses the left button in S at (50, 50) of its client area.
  void Press() {
    desktop.MouseMove({60, 60});
    desktop.MouseDown({60, 60}, mbLeft);
  }

  TComponentPtr<Box> form;
  Box* s = nullptr;
  Box* t = nullptr;
  Box* r = nullptr;
  bool immediate = true;
  int threshold = -1;
  Log log;
};

TEST_F(DragTest, BelowTheThresholdADragEndsUnstartedBeyondItStarts) {
  struct Case {
    const char* name;
    bool immediate;
    int threshold;
    TPoint release;  // moved there, then released
    Log heard;
  };
  const Case cases[] = {
      // Released within the threshold: the drag never starts, and the source
      // hears its end without target at the release point, not a click.
      {"released within the threshold", false, -1, {64, 64}, {"S end null 54,54"}},
      {"moved beyond it: a drag", false, -1, {65, 60}, {"S start", "S end null 55,50"}},
      {"within a threshold of the control's own", false, 12, {70, 70}, {"S end null 60,60"}},
      {"beyond a threshold of the control's own",
       false,
       12,
       {60, 73},
       {"S start", "S end null 50,63"}},
      {"immediate: a drag without moving", true, -1, {60, 60}, {"S start", "S end null 50,50"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    immediate = c.immediate;
    threshold = c.threshold;
    Press();
    EXPECT_EQ(s->Dragging(), c.immediate);
    desktop.MouseMove(c.release);
    desktop.MouseUp(c.release, mbLeft);
    EXPECT_EQ(log, c.heard);
    EXPECT_FALSE(s->Dragging());
    EXPECT_FALSE(DragSession().Active());
    EXPECT_EQ(desktop.GetCapture(), 0u);
    EXPECT_EQ(ScreenCursors().ScreenCursor(), crDefault);
  }
  // A control that never begins a drag keeps its clicks.
  log.clear();
  desktop.MouseMove({250, 50});
  desktop.MouseDown({250, 50}, mbLeft);
  desktop.MouseUp({252, 52}, mbLeft);
  EXPECT_EQ(log, (Log{"T click", "T up"}));
}

TEST_F(DragTest, EveryWayOfEndingAPendingDragGivesTheSourceOneEndWithoutTarget) {
  struct Case {
    const char* name;
    std::function<void(DragTest&)> end;
    const char* at;  // in the source's client coordinates
  };
  const Case cases[] = {
      {"EndDrag(false)", [](DragTest& f) { f.s->EndDrag(false); }, "52,48"},
      {"EndDrag(true): nothing to drop", [](DragTest& f) { f.s->EndDrag(true); }, "52,48"},
      {"Esc", [](DragTest& f) { f.desktop.KeyDown(VK_ESCAPE); }, "52,48"},
      {"cancel-mode", [](DragTest& f) { f.desktop.SendCancelMode(f.s->Handle()); }, "52,48"},
      {"right button",
       [](DragTest& f) {
         f.desktop.MouseDown({61, 57}, mbRight);
       },
       "51,47"},
      {"capture taken by another control", [](DragTest& f) { f.t->SetMouseCapture(true); },
       "52,48"},
  };
  immediate = false;
  s->OnMouseMove = [this](TCustomBorderedControl& c, TShiftState, int x, int y) {
    log.push_back(c.Name() + " move " + Pt(x, y));
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Press();
    log.clear();
    desktop.MouseMove({62, 58});  // below the threshold: the source sees no move
    c.end(*this);
    EXPECT_EQ(log, (Log{std::string("S end null ") + c.at}));
    EXPECT_FALSE(DragSession().Active());
    EXPECT_EQ(ScreenCursors().ScreenCursor(), crDefault);
    // Nothing more of the drag once it ended: the releases reach the
    // control under the mouse as usual, and S gets no click for its press.
    t->SetMouseCapture(false);
    log.clear();
    desktop.MouseUp({62, 58}, mbRight);
    desktop.MouseUp({62, 58}, mbLeft);
    EXPECT_EQ(log, (Log{"S up", "S up"}));
  }
}

TEST_F(DragTest, TargetsHearTheDragAndTheCursorShowsWhetherTheyAccept) {
  immediate = false;
  s->SetDragCursor(crMultiDrag);
  Press();
  EXPECT_EQ(ScreenCursors().ScreenCursor(), crDefault);  // nothing dragged yet
  struct Step {
    TPoint to;
    Log heard;
    int cursor;
  };
  const Step steps[] = {
      {{70, 60}, {"S start"}, crNoDrop},  // over itself, without a handler
      {{250, 50}, {"T enter S 50,40"}, crMultiDrag},
      {{260, 55}, {"T move S 60,45"}, crMultiDrag},
      {{60, 200}, {"T leave S -140,190", "R enter S 50,50"}, crNoDrop},
      {{150, 200}, {"R leave S 140,50"}, crNoDrop},  // the form refuses
      {{210, 20}, {"T enter S 10,10"}, crMultiDrag},
  };
  for (const Step& k : steps) {
    SCOPED_TRACE(k.heard.front());
    log.clear();
    desktop.MouseMove(k.to);
    EXPECT_EQ(log, k.heard);
    EXPECT_EQ(ScreenCursors().ScreenCursor(), k.cursor);
    EXPECT_TRUE(s->Dragging());
  }
  // The cursor follows a change of the drag cursor at once.
  s->SetDragCursor(crDrag);
  EXPECT_EQ(ScreenCursors().ScreenCursor(), crDrag);

  // The drop: the target takes it at the release point; the source hears
  // the end with the target and the point in the target's coordinates, and
  // never the release itself.
  log.clear();
  desktop.MouseUp({230, 50}, mbLeft);
  EXPECT_EQ(log, (Log{"T move S 30,40", "T leave S 30,40", "T drop S 30,40", "S end T 30,40"}));
  EXPECT_EQ(ScreenCursors().ScreenCursor(), crDefault);
  EXPECT_EQ(desktop.GetCapture(), 0u);
  // The controls get the mouse again.
  log.clear();
  desktop.MouseDown({230, 50}, mbLeft);
  desktop.MouseUp({230, 50}, mbLeft);
  EXPECT_EQ(log, (Log{"T click", "T up"}));
}

TEST_F(DragTest, DropsThatNoControlTakesEndWithoutTarget) {
  struct Case {
    const char* name;
    TPoint at;
    std::function<void(DragTest&)> prepare;
    Log tail;  // the last lines heard
  };
  const Case cases[] = {
      {"on a refusing control", {60, 200}, nullptr, {"R leave S 50,50", "S end null 50,190"}},
      {"on a control without handler", {150, 200}, nullptr, {"S end null 140,190"}},
      {"outside every window", {500, 400}, nullptr, {"S end null 490,390"}},
      {"on a disabled control",
       {250, 50},
       [](DragTest& f) { f.t->SetEnabled(false); },
       {"S end null 240,40"}},
      {"on a control whose override accepts",
       {150, 200},
       [](DragTest& f) { f.form->acceptByOverride = true; },
       {"S end form 150,200"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.prepare) c.prepare(*this);
    log.clear();
    Press();
    desktop.MouseMove(c.at);
    desktop.MouseUp(c.at, mbLeft);
    ASSERT_GE(log.size(), c.tail.size());
    EXPECT_EQ(Log(log.end() - static_cast<std::ptrdiff_t>(c.tail.size()), log.end()), c.tail);
    for (const std::string& line : log) EXPECT_EQ(line.find(" drop "), std::string::npos) << line;
    t->SetEnabled(true);
    form->acceptByOverride = false;
  }
}

TEST_F(DragTest, EveryWayOfEndingADragFromCodeOrKeysEndsItOnce) {
  struct Case {
    const char* name;
    std::function<void(DragTest&)> end;
    Log heard;
  };
  const Case cases[] = {
      {"EndDrag(false)",
       [](DragTest& f) { f.s->EndDrag(false); },
       {"T leave S 50,40", "S end null 240,40"}},
      {"EndDrag(true) drops where the mouse is",
       [](DragTest& f) { f.s->EndDrag(true); },
       {"T leave S 50,40", "T drop S 50,40", "S end T 50,40"}},
      {"Esc",
       [](DragTest& f) { f.desktop.KeyDown(VK_ESCAPE); },
       {"T leave S 50,40", "S end null 240,40"}},
      {"cancel-mode",
       [](DragTest& f) { f.desktop.SendCancelMode(f.s->Handle()); },
       {"T leave S 50,40", "S end null 240,40"}},
      {"right button",
       [](DragTest& f) {
         f.desktop.MouseDown({250, 50}, mbRight);
       },
       {"T leave S 50,40", "S end null 240,40"}},
      {"another control's EndDrag does nothing, then the release drops",
       [](DragTest& f) {
         f.t->EndDrag(false);
         f.desktop.MouseUp({250, 50}, mbLeft);
       },
       {"T leave S 50,40", "T drop S 50,40", "S end T 50,40"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Press();
    desktop.MouseMove({250, 50});
    log.clear();
    c.end(*this);
    EXPECT_EQ(log, c.heard);
    EXPECT_FALSE(s->Dragging());
    EXPECT_EQ(ScreenCursors().ScreenCursor(), crDefault);
    // Nothing more of the drag once it ended: the releases reach the
    // control under the mouse as usual.
    log.clear();
    s->EndDrag(true);
    desktop.MouseUp({250, 50}, mbRight);
    desktop.MouseUp({250, 50}, mbLeft);
    EXPECT_EQ(log, (Log{"T up", "T up"}));
  }
}

TEST_F(DragTest, TheSourceMayTakeItsOwnDrop) {
  // A grid dragging rows within itself: the source is its own target.
  s->acceptByOverride = true;
  Press();
  EXPECT_EQ(ScreenCursors().ScreenCursor(), crDrag);
  desktop.MouseMove({80, 70});
  desktop.MouseUp({80, 70}, mbLeft);
  EXPECT_EQ(log, (Log{"S start", "S drop S 70,60", "S end S 70,60"}));
}

TEST_F(DragTest, ADragRunsOnlyOnceAtATime) {
  Press();
  t->BeginDrag(true);  // ignored: S is dragging
  EXPECT_TRUE(s->Dragging());
  EXPECT_FALSE(t->Dragging());
  // The end handler may begin the next drag at once.
  s->OnEndDrag = [this](TCustomBorderedControl&, TCustomBorderedControl*, int, int) {
    t->BeginDrag(true);
  };
  desktop.MouseUp({60, 60}, mbLeft);
  EXPECT_FALSE(s->Dragging());
  EXPECT_TRUE(t->Dragging());
  t->EndDrag(false);
}

TEST_F(DragTest, FreeingTheSourceOrTheTargetDuringTheDragIsSafe) {
  // The target goes while the mouse is over it: no call reaches it, the
  // cursor says no drop, the source ends without target.
  Press();
  desktop.MouseMove({250, 50});
  t->Free();
  t = nullptr;
  log.clear();
  desktop.MouseMove({255, 50});
  EXPECT_EQ(log, Log{});
  EXPECT_EQ(ScreenCursors().ScreenCursor(), crNoDrop);
  desktop.MouseUp({255, 50}, mbLeft);
  EXPECT_EQ(log, (Log{"S end null 245,40"}));

  // The source goes, freed by the target's own handler: the target hears
  // leave once, nobody hears an end, and the mouse is free.
  t = TComponent::Create<Box>(form.get());
  t->SetName("T2");
  t->SetBounds(200, 10, 100, 100);
  t->SetParent(form.get());
  t->OnDragOver = [this](TCustomBorderedControl& c, TCustomBorderedControl*, int, int,
                         TDragState state, bool&) {
    log.push_back(c.Name() + (state == dsDragLeave ? " leave" : " over"));
    if (state == dsDragMove && s) {
      Box* const dying = std::exchange(s, nullptr);
      dying->Free();
    }
  };
  Press();
  desktop.MouseMove({250, 50});
  log.clear();
  desktop.MouseMove({251, 50});
  EXPECT_EQ(log, (Log{"T2 over", "T2 leave"}));
  EXPECT_FALSE(DragSession().Active());
  EXPECT_EQ(desktop.GetCapture(), 0u);
  EXPECT_EQ(ScreenCursors().ScreenCursor(), crDefault);
  log.clear();
  desktop.MouseDown({250, 50}, mbLeft);
  desktop.MouseUp({250, 50}, mbLeft);
  EXPECT_EQ(log, Log{});  // T2 has no mouse handlers; nothing of the drag is left
}

TEST_F(DragTest, ThePendingDragOfAFreedSourceEndsQuietly) {
  immediate = false;
  Press();
  EXPECT_TRUE(DragSession().Pending());
  Box* const dying = std::exchange(s, nullptr);
  dying->Free();
  EXPECT_FALSE(DragSession().Active());
  desktop.MouseMove({200, 200});
  desktop.MouseUp({200, 200}, mbLeft);
  EXPECT_EQ(log, Log{});
}

}  // namespace
