#include "host/tvControls.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/tests/tvControlsFixture.h"
#include "platform/ui/WindowServices.h"

using namespace tarvo;
using namespace tarvo::platform;
using tarvo::testing::ControlsFixture;
using tarvo::testing::PixelIs;
using tarvo::testing::RegionIs;
using tarvo::testing::RGB;

namespace {

// A control that records its hooks and lets a test replace the align step.
class Probe : public TCustomBorderedControl {
 public:
  const char* ClassName() const override { return "Probe"; }
  std::vector<std::string> log;
  int paints = 0;
  bool reserveRight = false;  // AdjustClientRect keeps 20 pixels at the right free

 protected:
  friend class TComponent;
  explicit Probe(TComponent* owner) : TCustomBorderedControl(owner) {}
  void CreateWnd() override { log.push_back("created:" + std::to_string(HandleAllocated())); }
  void Paint() override {
    ++paints;
    TCustomBorderedControl::Paint();
  }
  void FontChanged() override {
    log.push_back("font");
    TCustomBorderedControl::FontChanged();
  }
  void AdjustClientRect(TRect& rect) override {
    if (reserveRight) rect.Right -= 20;
  }
  void AlignStep(TCustomBorderedControl& child, TRect& rect) override {
    log.push_back("align:" + child.Name());
    TCustomBorderedControl::AlignStep(child, rect);
  }
  void CancelMode(WindowHandle sender) override {
    log.push_back("cancel");
    TCustomBorderedControl::CancelMode(sender);
  }
  void DoEnter() override { log.push_back("enter"); }
  void DoExit() override { log.push_back("exit"); }
};

class ControlsTest : public ControlsFixture {};

TEST_F(ControlsTest, BorderStylesSetTheClientAreaAndPaintTheFrame) {
  auto c = TComponent::CreateUnowned<Probe>();
  c->SetBounds(20, 30, 100, 60);
  c->SetColor(RGB(10, 200, 10));
  c->HandleNeeded();
  desktop.ProcessPaint();
  EXPECT_EQ(c->ClientRect(), (TRect{0, 0, 100, 60}));
  auto shot = desktop.Screenshot();
  EXPECT_TRUE(RegionIs(*shot, {20, 30, 120, 90}, RGB(10, 200, 10)));

  struct Case {
    bool ctl3D;
    int inset;
    TColor outer;  // top-left pixel of the frame
  };
  for (const Case& k :
       {Case{true, 2, ColorToRGB(clBtnShadow)}, Case{false, 1, ColorToRGB(clWindowFrame)}}) {
    SCOPED_TRACE(k.ctl3D ? "client edge" : "flat");
    c->SetCtl3D(k.ctl3D);
    c->SetBorderStyle(bsSingle);
    desktop.ProcessPaint();
    EXPECT_EQ(c->ClientRect(), (TRect{0, 0, 100 - 2 * k.inset, 60 - 2 * k.inset}));
    EXPECT_EQ(c->ClientToScreen({0, 0}), (TPoint{20 + k.inset, 30 + k.inset}));
    shot = desktop.Screenshot();
    EXPECT_TRUE(PixelIs(*shot, 20, 30, k.outer));
    EXPECT_TRUE(PixelIs(*shot, 20 + k.inset, 30 + k.inset, RGB(10, 200, 10)));
    c->SetBorderStyle(bsNone);
  }
}

TEST_F(ControlsTest, WindowsAreMadeParentFirstAndTheHookSeesTheHandle) {
  auto form = TComponent::CreateUnowned<Probe>();
  auto* child = TComponent::Create<Probe>(form.get());
  child->SetParent(form.get());
  EXPECT_FALSE(child->HandleAllocated());
  child->HandleNeeded();  // makes the parent's window first
  EXPECT_TRUE(form->HandleAllocated());
  EXPECT_EQ(desktop.GetParent(child->Handle()), form->Handle());
  EXPECT_EQ(form->log, (std::vector<std::string>{"created:1"}));
  EXPECT_EQ(child->log, (std::vector<std::string>{"created:1"}));

  // A control placed into a parent that has a window gets one at once.
  auto* late = TComponent::Create<Probe>(form.get());
  late->SetParent(form.get());
  EXPECT_TRUE(late->HandleAllocated());

  // Freeing the parent's window takes the children's with it.
  form->DestroyHandle();
  EXPECT_FALSE(child->HandleAllocated());
  EXPECT_FALSE(late->HandleAllocated());
  EXPECT_THROW(child->SetParent(child), EComponentError);
}

TEST_F(ControlsTest, DesignAndLoadingAreOffUnlessATestSetsThem) {
  auto c = TComponent::CreateUnowned<Probe>();
  EXPECT_FALSE(c->IsDesigning());
  EXPECT_FALSE(c->IsLoading());
  c->SetDesigning(true);
  c->SetLoading(true);
  EXPECT_TRUE(c->ControlState().Contains(csDesigning));
  EXPECT_TRUE(c->IsLoading());
  c->SetLoading(false);
  EXPECT_FALSE(c->IsLoading());
}

TEST_F(ControlsTest, AlignmentRunsThroughTheOverridableStep) {
  auto form = TComponent::CreateUnowned<Probe>();
  form->SetBounds(0, 0, 200, 100);
  form->reserveRight = true;
  auto make = [&](const char* name, TAlign align, int w, int h) {
    auto* c = TComponent::Create<Probe>(form.get());
    c->SetName(name);
    c->SetBounds(0, 0, w, h);
    c->SetParent(form.get());
    c->SetAlign(align);
    return c;
  };
  Probe* client = make("Client", alClient, 10, 10);
  Probe* top = make("Top", alTop, 10, 15);
  Probe* left = make("Left", alLeft, 30, 10);
  Probe* bottom = make("Bottom", alBottom, 10, 5);
  form->log.clear();
  form->Realign();
  EXPECT_EQ(form->log,
            (std::vector<std::string>{"align:Top", "align:Bottom", "align:Left", "align:Client"}));
  EXPECT_EQ(top->BoundsRect(), (TRect{0, 0, 180, 15}));
  EXPECT_EQ(bottom->BoundsRect(), (TRect{0, 95, 180, 100}));
  EXPECT_EQ(left->BoundsRect(), (TRect{0, 15, 30, 95}));
  EXPECT_EQ(client->BoundsRect(), (TRect{30, 15, 180, 95}));

  // A resize realigns; a hidden child takes no room.
  left->SetVisible(false);
  form->SetBounds(0, 0, 300, 200);
  EXPECT_EQ(client->BoundsRect(), (TRect{0, 15, 280, 195}));
}

TEST_F(ControlsTest, FontAndColourChangesRepaint) {
  auto c = TComponent::CreateUnowned<Probe>();
  c->SetBounds(0, 0, 50, 50);
  c->HandleNeeded();
  desktop.ProcessPaint();
  const int painted = c->paints;
  c->Font().SetSize(12);
  EXPECT_EQ(c->log.back(), "font");
  desktop.ProcessPaint();
  EXPECT_EQ(c->paints, painted + 1);
  c->Font().SetSize(12);  // no change: no notice
  c->SetColor(c->Color());
  EXPECT_EQ(desktop.ProcessPaint(), 0);
  EXPECT_EQ(c->Canvas().Font().Height, -16);  // measuring canvas follows the font
}

TEST_F(ControlsTest, PopupMenuIsForgottenWhenFreedAndShowsThroughTheMenuService) {
  auto c = TComponent::CreateUnowned<Probe>();
  auto menu = TComponent::CreateUnowned<TPopupMenu>();
  c->SetPopupMenu(menu.get());
  EXPECT_EQ(c->PopupMenu(), menu.get());
  int clicked = 0;
  menu->Items = {{"Copy", true, false, [&] { ++clicked; }},
                 {"-", true, false, {}},
                 {"Paste", false, false, {}}};
  std::vector<std::string> seen;
  auto previous = SetMenuTracker([&](TDesktop&, const std::vector<TMenuEntry>& entries, TPoint p) {
    for (const TMenuEntry& e : entries) seen.push_back(e.Caption + (e.Enabled ? "" : "(off)"));
    seen.push_back(std::to_string(p.X) + "," + std::to_string(p.Y));
    return 0;
  });
  EXPECT_EQ(menu->Popup(5, 6), 0);
  SetMenuTracker(previous);
  EXPECT_EQ(clicked, 1);
  EXPECT_EQ(seen, (std::vector<std::string>{"Copy", "-", "Paste(off)", "5,6"}));
  menu.reset();
  EXPECT_EQ(c->PopupMenu(), nullptr);
}

TEST_F(ControlsTest, ClicksFocusAndCancelModeReachTheControls) {
  auto form = TComponent::CreateUnowned<Probe>();
  form->SetBounds(0, 0, 300, 200);
  auto* a = TComponent::Create<Probe>(form.get());
  a->SetBounds(10, 10, 50, 50);
  a->SetParent(form.get());
  auto* b = TComponent::Create<Probe>(form.get());
  b->SetBounds(100, 10, 50, 50);
  b->SetParent(form.get());
  int clicks = 0, doubles = 0;
  b->OnClick = [&](TCustomBorderedControl&) { ++clicks; };
  b->OnDblClick = [&](TCustomBorderedControl&) { ++doubles; };
  form->HandleNeeded();
  a->SetFocus();
  EXPECT_TRUE(a->Focused());
  a->log.clear();
  desktop.MouseDown({120, 20}, mbLeft);
  EXPECT_TRUE(b->MouseCapture());  // a left press captures
  desktop.MouseUp({120, 20}, mbLeft);
  desktop.MouseDown({120, 20}, mbLeft);
  desktop.MouseUp({120, 20}, mbLeft);
  // Every press elsewhere cancels the focused control's mode.
  EXPECT_EQ(a->log, (std::vector<std::string>{"cancel", "cancel"}));
  EXPECT_EQ(clicks, 1);  // the release after a double click is not a click
  EXPECT_EQ(doubles, 1);
  // Released outside: no click.
  desktop.AdvanceTime(1000);
  desktop.MouseDown({120, 20}, mbLeft);
  desktop.MouseUp({250, 150}, mbLeft);
  EXPECT_EQ(clicks, 1);

  b->SetFocus();
  EXPECT_EQ(a->log.back(), "exit");
  EXPECT_EQ(b->log.back(), "enter");
  b->SetVisible(false);
  EXPECT_THROW(b->SetFocus(), EComponentError);
}

// A control whose left and right halves have their own hints and cursors.
class Halves : public TCustomBorderedControl {
 protected:
  friend class TComponent;
  explicit Halves(TComponent* owner) : TCustomBorderedControl(owner) {}
  bool GetHintInfo(THintInfo& info, TPoint p) override {
    if (!TCustomBorderedControl::GetHintInfo(info, p)) return false;
    const bool left = p.X < Width() / 2;
    info.Text = left ? "left" : "right";
    const TPoint o = ClientToScreen({0, 0});
    info.CursorRect = left ? TRect{o.X, o.Y, o.X + Width() / 2, o.Y + Height()}
                           : TRect{o.X + Width() / 2, o.Y, o.X + Width(), o.Y + Height()};
    return true;
  }
  TCursor GetCursorAt(int x, int) override { return x < Width() / 2 ? crHandPoint : crHSplit; }
};

TEST_F(ControlsTest, HintsShowAfterAPauseFollowTheCursorRectangleAndCursorsFollowTheMouse) {
  auto c = TComponent::CreateUnowned<Halves>();
  c->SetBounds(100, 100, 100, 40);
  c->SetHint("unused");
  c->SetShowHint(true);
  c->HandleNeeded();
  desktop.MouseMove({120, 110});
  EXPECT_EQ(ScreenCursors().CurrentCursor(desktop), crHandPoint);
  desktop.AdvanceTime(TCustomBorderedControl::kHintPause - 10);
  EXPECT_EQ(c->HintWindow(), nullptr);
  desktop.AdvanceTime(10);
  ASSERT_NE(c->HintWindow(), nullptr);
  EXPECT_TRUE(c->HintWindow()->IsShowing());
  EXPECT_EQ(c->HintWindow()->Text(), "left");

  desktop.MouseMove({125, 112});  // still in the rectangle: the hint stays
  EXPECT_TRUE(c->HintWindow()->IsShowing());
  desktop.MouseMove({180, 112});  // the other half: a new wait, a new text
  EXPECT_EQ(ScreenCursors().CurrentCursor(desktop), crHSplit);
  EXPECT_FALSE(c->HintWindow()->IsShowing());
  desktop.AdvanceTime(TCustomBorderedControl::kHintPause);
  EXPECT_EQ(c->HintWindow()->Text(), "right");

  desktop.MouseMove({400, 400});  // leaving the control hides it
  EXPECT_FALSE(c->HintWindow()->IsShowing());
  EXPECT_EQ(ScreenCursors().CurrentCursor(desktop), crDefault);
  c->SetShowHint(false);
  desktop.MouseMove({120, 110});
  desktop.AdvanceTime(2000);
  EXPECT_FALSE(c->HintWindow()->IsShowing());
}

TEST_F(ControlsTest, LocationRaisesOneNoticePerRealChangeAndStoresOnlyChangedValues) {
  TLocation loc(-1, -1);
  int notices = 0;
  loc.OnChange = [&](TPersistent&) { ++notices; };
  loc.SetX(-1);
  EXPECT_EQ(notices, 0);
  loc.SetX(17);
  loc.SetY(17);
  loc.SetXY(17, 17);
  EXPECT_EQ(notices, 2);
  TStoredObject out;
  TLocation other(-1, -1);
  other.SetY(4);
  other.WriteProperties(out);
  EXPECT_FALSE(out.Contains("X"));
  EXPECT_EQ(out.Find("Y")->AsInteger(), 4);
  loc.Assign(other);
  EXPECT_EQ(notices, 3);
  EXPECT_EQ(loc.X(), -1);
  EXPECT_EQ(loc.Y(), 4);
  TLocation read(0, 0);
  read.ReadProperties(out);
  EXPECT_EQ(read.Y(), 4);
  TStoredObject bad;
  bad.Set("Z", TStoredValue::Integer(1));
  EXPECT_THROW(read.ReadProperties(bad), EReadError);
  TStoredObject wrongKind;
  wrongKind.Set("X", TStoredValue::String("1"));
  EXPECT_THROW(read.ReadProperties(wrongKind), EReadError);
}

class Param : public TCollectionItem {
 public:
  const char* ClassName() const override { return "Param"; }
  void SetValue(int v) {
    value = v;
    Changed(false);
  }
  int value = 0;
};

class Owner : public TPersistent, public IExtendedCollectionOwner {
 public:
  void CollectionChanged(TExtendedCollection&, TCollectionItem* item) override {
    seen.push_back(item ? "item" : "all");
  }
  std::vector<std::string> seen;
};

TEST_F(ControlsTest, ExtendedCollectionTellsItsOwnerWithTheItemOrWithout) {
  Owner owner;
  TExtendedCollectionOf<Param> params(&owner);
  std::vector<std::string> events;
  params.OnChange = [&](TCollection&, TCollectionItem* item) {
    events.push_back(item ? "item" : "all");
  };
  Param* p = params.AddItem();
  p->SetValue(3);
  params.BeginUpdate();
  p->SetValue(4);
  params.AddItem();
  params.EndUpdate();
  params.Delete(0);
  EXPECT_EQ(owner.seen, (std::vector<std::string>{"all", "item", "all", "all"}));
  EXPECT_EQ(events, owner.seen);
  EXPECT_EQ(params.GetOwner(), &owner);
}

}  // namespace
