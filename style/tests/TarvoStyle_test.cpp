#include "style/TarvoStyle.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarvo {
namespace {

using Log = std::vector<std::string>;

constexpr TColor kOwn = 0x111111;
constexpr TColor kOther = 0x222222;

// A control as the grid or the chart would be one: it takes a base colour and
// a font, counts repaint requests, and tells its stylers when it goes away
// (first thing in its destruction, while it is whole).
class TTestControl : public TTarvoStyleTarget {
 public:
  explicit TTestControl(std::string name) : name(std::move(name)) {}
  ~TTestControl() override { (void)StyleTargetDestroying(); }
  void Invalidate() override { ++repaints; }
  void SetStyleColor(TColor c) override { color = c; }
  void SetStyleFont(const TTarvoFont& f) override { font.Assign(f); }

  std::string name;
  int repaints = 0;
  TColor color = 0;
  TTarvoFont font;
};

// A styler that applies the resolved styles to its control after the base
// handling, as the grid and chart stylers do, and records how it hooks and
// unhooks the control (reading the control's name, so that unhooking a dead
// control shows under the address sanitizer).
class TTestStyler : public TTarvoCustomStyler {
 public:
  const char* ClassName() const override { return "TTestStyler"; }
  Log log;

 protected:
  friend class TComponent;
  explicit TTestStyler(TComponent* owner) : TTarvoCustomStyler(owner) {}
  TTestControl* Control() const { return static_cast<TTestControl*>(Target()); }
  void AcquireTarget() override { log.push_back("acquire " + Control()->name); }
  void ReleaseTarget() override { log.push_back("release " + Control()->name); }
  void Changed() override {
    TTarvoCustomStyler::Changed();
    if (Target() && !IsDestroying()) {
      Target()->SetStyleColor(Styles().Color());
      Target()->SetStyleFont(Styles().Font());
    }
  }
};

TTarvoCustomColors* AddEntry(TTarvoColorsCollection& list, const std::string& name,
                             TTarvoColorValues specified, TColor back, TColor fore) {
  TTarvoCustomColors* e = list.Add();
  e->SetName(name);
  e->SetAvailable({tcvBackColor, tcvForeColor});
  e->SetBackColor(back);
  e->SetForeColor(fore);
  e->SetSpecified(specified);
  return e;
}

std::vector<std::string> Names(const TTarvoColorsCollection& list) {
  std::vector<std::string> r;
  for (int i = 0; i < list.Count(); ++i) r.push_back(list.Items(i)->Name());
  return r;
}

// --- entries ---

TEST(TTarvoCustomColors, GetValueFollowsTheRulesOfOriginAndSpecified) {
  struct Case {
    const char* what;
    bool origin, specified, originSpecifies, sameColour;
    TColor expected;
  } cases[] = {
      {"no origin, specified", false, true, false, false, kOwn},
      {"no origin, not specified", false, false, false, false, clDefault},
      {"origin has the same colour", true, true, true, true, clDefault},
      {"origin has another colour", true, true, true, false, kOwn},
      {"origin has the colour but does not specify it", true, true, false, true, kOwn},
      {"local copy removed it", true, false, true, true, clNone},
      {"neither specifies it", true, false, false, true, clDefault},
  };
  for (TTarvoColorValue v : {tcvBackColor, tcvForeColor}) {
    const TTarvoColorValue u = v == tcvBackColor ? tcvForeColor : tcvBackColor;
    for (const auto& c : cases) {
      TTarvoColors origin, entry;
      // The other value is set up in the opposite way, so that mixing the
      // two values up shows.
      auto set = [](TTarvoColors& e, TTarvoColorValue value, TColor color) {
        if (value == tcvBackColor)
          e.SetBackColor(color);
        else
          e.SetForeColor(color);
      };
      set(entry, v, kOwn);
      set(entry, u, 0x333333);
      set(origin, v, c.sameColour ? kOwn : kOther);
      set(origin, u, 0x444444);
      TTarvoColorValues es{u}, os;
      if (c.specified) es.Include(v);
      if (c.originSpecifies) os.Include(v);
      entry.SetSpecified(es);
      origin.SetSpecified(os);
      if (c.origin) entry.SetOrigin(&origin);
      EXPECT_EQ(entry.GetValue(v), c.expected) << c.what << " / value " << int(v);
    }
  }
}

TEST(TTarvoCustomColors, SetValueActsOnlyOnAvailableValues) {
  struct Case {
    const char* what;
    TTarvoColorValues available;
    TColor color;
    bool specifiedAfter;
    TColor backAfter;
    int changes;
  } cases[] = {
      {"default marker removes", {tcvBackColor}, clDefault, false, kOwn, 1},
      {"none marker removes", {tcvBackColor}, clNone, false, kOwn, 1},
      {"a colour sets and specifies", {tcvBackColor}, 0xABCDEF, true, 0xABCDEF, 1},
      {"default marker, not available", {tcvForeColor}, clDefault, true, kOwn, 0},
      {"a colour, not available", {tcvForeColor}, 0xABCDEF, true, kOwn, 0},
  };
  for (const auto& c : cases) {
    TTarvoColors entry;
    entry.SetAvailable(c.available);
    entry.SetBackColor(kOwn);
    entry.SetSpecified({tcvBackColor});
    int changes = 0;
    entry.SetOnChange([&](TPersistent&) { ++changes; });
    entry.SetValue(tcvBackColor, c.color);
    EXPECT_EQ(entry.HasBackColor(), c.specifiedAfter) << c.what;
    EXPECT_EQ(entry.BackColor(), c.backAfter) << c.what;
    EXPECT_EQ(entry.ActualBack(), c.backAfter) << c.what;
    EXPECT_EQ(changes, c.changes) << c.what;
  }
  // A fresh entry takes a colour and specifies it.
  TTarvoColors fresh;
  fresh.SetAvailable({tcvForeColor});
  fresh.SetValue(tcvForeColor, 0x123456);
  EXPECT_EQ(fresh.Specified(), TTarvoColorValues{tcvForeColor});
  EXPECT_EQ(fresh.GetValue(tcvForeColor), 0x123456u);
}

TEST(TTarvoCustomColors, CustomizedComparesWithTheOriginWhenThereIsOne) {
  TTarvoColors alone;
  alone.SetAvailable({tcvBackColor});
  alone.SetSpecified({tcvForeColor});
  EXPECT_FALSE(alone.Customized());  // specifies only what it does not support
  alone.SetSpecified({tcvBackColor});
  EXPECT_TRUE(alone.Customized());

  TTarvoColorsCollection origin(nullptr), copy(nullptr);
  AddEntry(origin, "Buy", {tcvBackColor}, 0x00FF00, kOther);
  copy.Borrow(&origin);
  TTarvoCustomColors* e = copy.Items(0);
  EXPECT_FALSE(copy.Customized());
  e->SetValue(tcvBackColor, 0x0000FF);
  EXPECT_TRUE(e->Customized());
  e->SetValue(tcvBackColor, 0x00FF00);  // back to the origin's colour
  EXPECT_FALSE(copy.Customized());
  e->SetValue(tcvBackColor, clNone);  // removing an inherited colour is a change
  EXPECT_EQ(e->GetValue(tcvBackColor), clNone);
  EXPECT_TRUE(copy.Customized());
}

TEST(TTarvoCustomColors, UpdateResolvesActualColours) {
  TTarvoCustomStyles styles(nullptr);
  styles.SetColor(0x0000AA);
  styles.Font().SetColor(0x0000BB);
  constexpr TColor oBack = 0x00CC00, oFore = 0x00DD00;
  struct Case {
    const char* what;
    TTarvoColorValues own;
    bool origin;
    TTarvoColorValues originSpecifies;
    TColor back, fore;
  } cases[] = {
      {"own colours win",
       {tcvBackColor, tcvForeColor},
       true,
       {tcvBackColor, tcvForeColor},
       kOwn,
       kOther},
      {"no origin: styles", {}, false, {}, 0x0000AA, 0x0000BB},
      {"origin specifies both", {}, true, {tcvBackColor, tcvForeColor}, oBack, oFore},
      {"origin specifies none", {}, true, {}, 0x0000AA, 0x0000BB},
      {"own back, text from the origin", {tcvBackColor}, true, {tcvForeColor}, kOwn, oFore},
      {"own back, origin silent on text", {tcvBackColor}, true, {tcvBackColor}, kOwn, 0x0000BB},
  };
  for (const auto& c : cases) {
    TTarvoColors origin, entry;
    origin.SetBackColor(oBack);
    origin.SetForeColor(oFore);
    origin.SetSpecified(c.originSpecifies);
    entry.SetBackColor(kOwn);
    entry.SetForeColor(kOther);
    entry.SetSpecified(c.own);
    entry.Update(styles, c.origin ? &origin : nullptr);
    EXPECT_EQ(entry.ActualBack(), c.back) << c.what;
    EXPECT_EQ(entry.ActualFore(), c.fore) << c.what;
    EXPECT_EQ(entry.GetColor(tcvBackColor), c.back) << c.what;
  }

  // The origin's caption is taken; one equal to the entry's name is kept as
  // "no caption of its own".
  TTarvoColors origin, entry;
  entry.SetName("Buy");
  origin.SetName("Buy");
  origin.SetCaption("Purchases");
  entry.Update(styles, &origin);
  EXPECT_EQ(entry.Caption(), "Purchases");
  origin.SetCaption("Buy");
  entry.Update(styles, &origin);
  EXPECT_EQ(entry.StoredCaption(), "");
  EXPECT_EQ(entry.Caption(), "Buy");
}

TEST(TTarvoCustomColors, ChangesReachTheCollectionThenOnChangeOnlyWhenSomethingChanged) {
  TTarvoColorsCollection list(nullptr);
  TTarvoCustomColors* e = AddEntry(list, "A", {}, kOwn, kOther);
  Log log;
  list.SetOnUpdate([&](TCollection&, TCollectionItem* item) {
    log.push_back(item == e ? "list: A" : "list: *");
  });
  e->SetOnChange([&](TPersistent&) { log.push_back("entry"); });
  e->SetBackColor(kOwn);
  e->SetName("A");
  e->SetCaption("A");
  EXPECT_TRUE(log.empty());
  e->SetCaption("Alpha");
  EXPECT_EQ(log, (Log{"list: A", "entry"}));
  EXPECT_THROW(e->SetOrigin(e), EConvertError);
}

TEST(ApplyColors, SetsOnlyWhatTheEntrySpecifies) {
  struct TCanvas : ITarvoColorCanvas {
    TColor brush = 1, font = 2;
    void SetBrushColor(TColor c) override { brush = c; }
    void SetFontColor(TColor c) override { font = c; }
  } canvas;
  TTarvoColors e;
  e.SetBackColor(kOwn);
  e.SetForeColor(kOther);
  e.SetSpecified({tcvBackColor});
  ApplyColors(canvas, e);
  EXPECT_EQ(canvas.brush, kOwn);
  EXPECT_EQ(canvas.font, 2u);
}

// --- lists ---

TEST(TTarvoColorsCollection, BorrowReplacesEntriesWithLinkedCopies) {
  TTarvoColorsCollection origin(nullptr), list(nullptr);
  TTarvoCustomColors* buy = AddEntry(origin, "Buy", {tcvBackColor}, 0x00FF00, kOther);
  buy->SetCaption("Purchases");
  TTarvoCustomColors* sell = AddEntry(origin, "Sell", {tcvForeColor}, kOwn, 0x0000FF);
  AddEntry(list, "Old", {tcvBackColor}, kOwn, kOwn);
  int notices = 0;
  list.SetOnUpdate([&](TCollection&, TCollectionItem*) { ++notices; });

  list.Borrow(&origin);
  EXPECT_EQ(notices, 1);
  EXPECT_EQ(list.Origin(), &origin);
  ASSERT_EQ(Names(list), (std::vector<std::string>{"Buy", "Sell"}));
  TTarvoCustomColors* copy = list["Buy"];
  EXPECT_EQ(copy->Origin(), buy);
  EXPECT_EQ(copy->Caption(), "Purchases");
  EXPECT_EQ(copy->Specified(), TTarvoColorValues{tcvBackColor});
  EXPECT_EQ(copy->BackColor(), 0x00FF00u);
  EXPECT_EQ(list.Find("Sell")->Origin(), sell);
  EXPECT_EQ(list.Find("sell"), nullptr);  // names match exactly
  EXPECT_FALSE(list.Customized());

  EXPECT_THROW(list.Borrow(&list), EConvertError);
  list.Borrow(nullptr);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Origin(), nullptr);
}

TEST(TTarvoColorsCollection, AssignMatchesEntriesByNameNeverByPosition) {
  TTarvoColorsCollection dest(nullptr), source(nullptr), origin(nullptr);
  TTarvoCustomColors* a = AddEntry(dest, "A", {tcvBackColor}, 0xA0, 0);
  TTarvoCustomColors* b = AddEntry(dest, "B", {tcvBackColor}, 0xB0, 0);
  AddEntry(dest, "X", {tcvBackColor}, 0xF0, 0);
  AddEntry(source, "B", {tcvForeColor}, 0, 0xB1);
  AddEntry(source, "C", {tcvBackColor}, 0xC1, 0);
  AddEntry(source, "A", {tcvBackColor}, 0xA1, 0);
  AddEntry(origin, "Z", {}, 0, 0);
  source.Borrow(&origin);  // gives the source an origin list (and replaces its entries)
  AddEntry(source, "B", {tcvForeColor}, 0, 0xB1);
  AddEntry(source, "C", {tcvBackColor}, 0xC1, 0);
  AddEntry(source, "A", {tcvBackColor}, 0xA1, 0);
  source.Delete(0);  // drop "Z"
  int notices = 0;
  dest.SetOnUpdate([&](TCollection&, TCollectionItem*) { ++notices; });

  dest.Assign(source);
  EXPECT_EQ(notices, 1);
  EXPECT_EQ(Names(dest), (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(dest.Items(0), a);  // kept entries keep their place and identity
  EXPECT_EQ(dest.Items(1), b);
  EXPECT_EQ(a->BackColor(), 0xA1u);
  EXPECT_EQ(b->Specified(), TTarvoColorValues{tcvForeColor});
  EXPECT_EQ(b->ForeColor(), 0xB1u);
  EXPECT_EQ(dest.Items(2)->BackColor(), 0xC1u);
  EXPECT_EQ(dest.Origin(), &origin);

  // A name given twice is matched occurrence by occurrence.
  TTarvoColorsCollection twice(nullptr), one(nullptr);
  AddEntry(twice, "D", {tcvBackColor}, 1, 0);
  AddEntry(twice, "D", {tcvBackColor}, 2, 0);
  AddEntry(one, "D", {tcvBackColor}, 3, 0);
  one.Assign(twice);
  ASSERT_EQ(one.Count(), 2);
  EXPECT_EQ(one.Items(0)->BackColor(), 1u);
  EXPECT_EQ(one.Items(1)->BackColor(), 2u);
}

// The fault: a freed origin left every borrowed entry and the list
// pointing at freed memory. The address sanitizer build catches any access.
TEST(TTarvoColorsCollection, OriginFreedBeforeItsBorrowersIsForgotten) {
  auto action = std::make_unique<TTarvoColorsCollection>(nullptr);
  AddEntry(*action, "Buy", {tcvBackColor}, 0x00FF00, 0);
  AddEntry(*action, "Sell", {tcvBackColor}, 0x0000FF, 0);
  auto styler = TComponent::CreateUnowned<TTestStyler>();
  TTarvoCustomStyles& styles = styler->Styles();
  styles.Items().Borrow(action.get());
  TTarvoCustomColors* buy = styles.Items()["Buy"];
  TTarvoCustomColors* sell = styles.Items()["Sell"];
  sell->SetValue(tcvBackColor, clNone);  // the local copy removes the colour
  EXPECT_EQ(sell->GetValue(tcvBackColor), clNone);

  action->Delete(0);  // one origin entry goes
  EXPECT_EQ(buy->Origin(), nullptr);
  EXPECT_EQ(buy->GetValue(tcvBackColor), 0x00FF00u);  // its own colour, no origin now
  action.reset();                                     // the whole origin list goes
  EXPECT_EQ(sell->Origin(), nullptr);
  EXPECT_EQ(styles.Items().Origin(), nullptr);

  // Everything that used to read the origins still works.
  EXPECT_EQ(sell->GetValue(tcvBackColor), clDefault);
  EXPECT_TRUE(styles.Items().Customized());
  styles.Update(nullptr);
  EXPECT_EQ(sell->ActualBack(), styles.Color());
  styles.Reset();  // no origin list: nothing to borrow again
  EXPECT_EQ(Names(styles.Items()), (std::vector<std::string>{"Buy", "Sell"}));
  TTarvoColorsCollection other(nullptr);
  other.Assign(styles.Items());
  EXPECT_EQ(other.Items(0)->Origin(), nullptr);
}

TEST(TTarvoColorsCollection, BorrowersFreedBeforeTheOriginLeaveNoLinks) {
  TTarvoColorsCollection origin(nullptr);
  AddEntry(origin, "Buy", {tcvBackColor}, 0x00FF00, 0);
  const TPersistent* gone = nullptr;
  {
    TTarvoColorsCollection borrower(nullptr);
    borrower.Borrow(&origin);
    gone = borrower.Items(0);
    EXPECT_TRUE(origin.Items(0)->IsLinked(gone));
  }
  EXPECT_FALSE(origin.Items(0)->IsLinked(gone));
  // Deleting the origin entry now tells nobody (a stale link would be a use
  // after free under the address sanitizer).
  origin.Delete(0);
}

// --- styles ---

TEST(TTarvoCustomStyles, BatchesChangesAndRaisesOnceAtTheOutermostLevel) {
  TTarvoCustomStyles styles(nullptr);
  int changes = 0;
  styles.SetOnChange([&](TPersistent&) { ++changes; });

  styles.BeginChanges();
  styles.SetColor(0x01);
  styles.SetColor(0x02);
  styles.SetColor(0x03);
  EXPECT_EQ(changes, 0);
  EXPECT_EQ(styles.ChangeCount(), 3);
  styles.LeaveChanges();
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(styles.ChangeCount(), 0);

  // Nested levels: only the last LeaveChanges tells.
  styles.BeginChanges();
  styles.BeginChanges();
  styles.Font().SetColor(0x04);
  AddEntry(styles.Items(), "A", {}, 0, 0);
  styles.LeaveChanges();
  EXPECT_EQ(changes, 1);
  styles.LeaveChanges();
  EXPECT_EQ(changes, 2);

  // A batch without changes tells nothing; an unmatched LeaveChanges is
  // harmless and does not leave a level open.
  styles.BeginChanges();
  styles.LeaveChanges();
  styles.LeaveChanges();
  EXPECT_EQ(styles.ChangeLocks(), 0);
  EXPECT_EQ(changes, 2);
  styles.ForceChanged();
  styles.Items().Items(0)->SetBackColor(0x05);
  EXPECT_EQ(changes, 4);
}

TEST(TTarvoCustomStyles, AHandlerThatChangesTheStylesIsNotCalledAgain) {
  TTarvoCustomStyles styles(nullptr);
  int changes = 0;
  styles.SetOnChange([&](TPersistent& sender) {
    ++changes;
    auto& s = static_cast<TTarvoCustomStyles&>(sender);
    s.SetColor(s.Color() + 1);  // counted, not announced again
  });
  styles.SetColor(0x10);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(styles.Color(), 0x11u);
  EXPECT_EQ(styles.ChangeLocks(), 0);
  EXPECT_EQ(styles.ChangeCount(), 0);
  styles.SetColor(0x20);
  EXPECT_EQ(changes, 2);
}

TEST(TTarvoCustomStyles, AHandlerThatThrowsLeavesTheBatchingClosed) {
  TTarvoCustomStyles styles(nullptr);
  int changes = 0;
  bool fail = true;
  styles.SetOnChange([&](TPersistent&) {
    ++changes;
    if (fail) throw std::runtime_error("handler failed");
  });
  EXPECT_THROW(styles.SetColor(0x10), std::runtime_error);
  EXPECT_EQ(styles.ChangeLocks(), 0);
  styles.BeginChanges();
  styles.SetColor(0x20);
  EXPECT_THROW(styles.LeaveChanges(), std::runtime_error);
  EXPECT_EQ(styles.ChangeLocks(), 0);
  EXPECT_EQ(styles.ChangeCount(), 0);
  fail = false;
  styles.SetColor(0x30);
  EXPECT_EQ(changes, 3);
}

TEST(TTarvoCustomStyles, OwnedValuesAreKeptWhenUpdatingFromAParent) {
  TTarvoCustomStyles parent(nullptr), child(nullptr);
  parent.SetColor(0x0000FF);
  parent.Font().SetName("Parent Face");
  int changes = 0;
  child.SetOnChange([&](TPersistent&) { ++changes; });

  child.Update(&parent);  // copied in silently, ownership untouched
  EXPECT_EQ(child.Color(), 0x0000FFu);
  EXPECT_EQ(child.Font().Name(), "Parent Face");
  EXPECT_TRUE(child.Owns().Empty());
  EXPECT_EQ(changes, 0);
  EXPECT_FALSE(child.Customized());

  child.SetColor(0x00FF00);
  EXPECT_EQ(child.Owns(), TTarvoStyleValues{tsvColor});
  parent.SetColor(0xFF0000);
  parent.Font().SetName("New Face");
  child.Update(&parent);
  EXPECT_EQ(child.Color(), 0x00FF00u);  // owned: kept
  EXPECT_EQ(child.Font().Name(), "New Face");

  child.Font().SetSize(14);  // a change from outside owns the font
  EXPECT_TRUE(child.HasFont());
  parent.Font().SetName("Third Face");
  child.SetColor(clDefault);  // gives the colour back to the parent
  EXPECT_FALSE(child.HasColor());
  child.Update(&parent);
  EXPECT_EQ(child.Color(), 0xFF0000u);
  EXPECT_EQ(child.Font().Name(), "New Face");
  EXPECT_EQ(changes, 3);
  EXPECT_TRUE(child.Customized());
}

TEST(TTarvoCustomStyles, AssignCopiesAsOneChangeAndMatchesEntriesByName) {
  TTarvoCustomStyles source(nullptr), dest(nullptr);
  source.SetColor(0x0000FF);
  source.Font().SetName("Source Face");
  source.SetOwns({tsvFont});
  AddEntry(source.Items(), "B", {tcvBackColor}, 0xB1, 0);
  AddEntry(dest.Items(), "A", {tcvBackColor}, 0xA0, 0);
  TTarvoCustomColors* b = AddEntry(dest.Items(), "B", {tcvBackColor}, 0xB0, 0);
  AddEntry(dest.Items(), "C", {tcvBackColor}, 0xC0, 0);
  int changes = 0;
  dest.SetOnChange([&](TPersistent&) { ++changes; });

  dest.Assign(source);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(dest.Color(), 0x0000FFu);
  EXPECT_EQ(dest.Font().Name(), "Source Face");
  EXPECT_EQ(dest.Owns(), TTarvoStyleValues{tsvFont});
  ASSERT_EQ(Names(dest.Items()), (std::vector<std::string>{"B"}));
  EXPECT_EQ(dest.Items().Items(0), b);
  EXPECT_EQ(b->BackColor(), 0xB1u);

  TTarvoFont font;
  EXPECT_THROW(dest.Assign(font), EConvertError);
}

TEST(TTarvoCustomStyles, ResetBorrowsTheOriginListAgain) {
  TTarvoColorsCollection origin(nullptr);
  AddEntry(origin, "Buy", {tcvBackColor}, 0x00FF00, 0);
  TTarvoCustomStyles styles(nullptr);
  styles.Items().Borrow(&origin);
  styles.Items()["Buy"]->SetValue(tcvBackColor, 0x0000FF);
  AddEntry(styles.Items(), "Extra", {}, 0, 0);
  EXPECT_TRUE(styles.Customized());
  styles.Reset();
  EXPECT_FALSE(styles.Customized());
  EXPECT_EQ(Names(styles.Items()), (std::vector<std::string>{"Buy"}));
  EXPECT_EQ(styles.Items()["Buy"]->BackColor(), 0x00FF00u);
}

// --- schemes and stylers ---

struct SchemesAndStylers : ::testing::Test {
  TComponentPtr<TTarvoSimpleScheme> scheme = TComponent::CreateUnowned<TTarvoSimpleScheme>();
};

TEST_F(SchemesAndStylers, ChangeReachesModifiedThenStylersInAttachOrderThenOnChange) {
  Log log;
  auto first = TComponent::CreateUnowned<TTestStyler>();
  auto second = TComponent::CreateUnowned<TTestStyler>();
  first->SetOnChange([&](TPersistent&) { log.push_back("first"); });
  second->SetOnChange([&](TPersistent&) { log.push_back("second"); });
  scheme->SetOnChange([&](TPersistent&) { log.push_back("scheme"); });
  second->SetScheme(scheme.get());
  first->SetScheme(scheme.get());
  EXPECT_EQ(scheme->Stylers(), (std::vector<TTarvoCustomStyler*>{second.get(), first.get()}));
  scheme->AppendStyler(second.get());  // once only
  EXPECT_EQ(scheme->Stylers().size(), 2u);
  log.clear();

  EXPECT_FALSE(scheme->Modified());
  scheme->Styles().SetColor(0x123456);
  EXPECT_TRUE(scheme->Modified());
  EXPECT_EQ(log, (Log{"second", "first", "scheme"}));
  EXPECT_EQ(first->Styles().Color(), 0x123456u);

  // A caption is no change; it falls back to the name.
  log.clear();
  scheme->SetName("Dark");
  EXPECT_EQ(scheme->Caption(), "Dark");
  scheme->SetCaption("Dark scheme");
  EXPECT_EQ(scheme->Caption(), "Dark scheme");
  EXPECT_TRUE(log.empty());
}

TEST_F(SchemesAndStylers, AFailingStylerDoesNotKeepTheOthersStale) {
  auto bad = TComponent::CreateUnowned<TTestStyler>();
  auto good = TComponent::CreateUnowned<TTestStyler>();
  bad->SetScheme(scheme.get());
  good->SetScheme(scheme.get());
  bad->SetOnChange([](TPersistent&) { throw std::runtime_error("bad styler"); });
  bool schemeTold = false;
  scheme->SetOnChange([&](TPersistent&) { schemeTold = true; });
  EXPECT_THROW(scheme->Styles().SetColor(0x00AA00), std::runtime_error);
  EXPECT_EQ(good->Styles().Color(), 0x00AA00u);
  EXPECT_TRUE(schemeTold);
}

TEST_F(SchemesAndStylers, BackupAndRecallRestoreTheStylesThroughTheChangeChain) {
  auto styler = TComponent::CreateUnowned<TTestStyler>();
  styler->SetScheme(scheme.get());
  scheme->Styles().SetColor(0x000011);
  AddEntry(scheme->Styles().Items(), "Buy", {tcvBackColor}, 0x00FF00, 0);
  scheme->Backup();
  scheme->Styles().SetColor(0x000022);
  scheme->Styles().Items().Delete(0);
  scheme->SetModified(false);
  EXPECT_EQ(styler->Styles().Color(), 0x000022u);

  scheme->Recall();
  EXPECT_EQ(scheme->Styles().Color(), 0x000011u);
  EXPECT_EQ(Names(scheme->Styles().Items()), (std::vector<std::string>{"Buy"}));
  EXPECT_EQ(styler->Styles().Color(), 0x000011u);
  EXPECT_TRUE(scheme->Modified());
}

TEST_F(SchemesAndStylers, AssignCopiesNameTagAndStyles) {
  auto other = TComponent::CreateUnowned<TTarvoSimpleScheme>();
  other->SetName("Light");
  other->SetTag(7);
  other->Styles().SetColor(0xEEEEEE);
  AddEntry(other->Styles().Items(), "Buy", {tcvBackColor}, 0x00FF00, 0);
  scheme->SetCaption("Mine");
  scheme->Assign(*other);
  EXPECT_EQ(scheme->Name(), "Light");
  EXPECT_EQ(scheme->Tag(), 7);
  EXPECT_EQ(scheme->Styles().Color(), 0xEEEEEEu);
  EXPECT_EQ(Names(scheme->Styles().Items()), (std::vector<std::string>{"Buy"}));
  EXPECT_EQ(scheme->Caption(), "Mine");
}

TEST_F(SchemesAndStylers, StylerFollowsTheSchemeAndKeepsLocalCustomisations) {
  TTestControl grid("grid");
  auto styler = TComponent::CreateUnowned<TTestStyler>();
  styler->SetTarget(&grid);
  styler->SetScheme(scheme.get());
  int changes = 0;
  styler->SetOnChange([&](TPersistent&) { ++changes; });
  grid.repaints = 0;

  scheme->Styles().SetColor(0x202020);
  scheme->Styles().Font().SetName("Scheme Face");
  EXPECT_EQ(grid.color, 0x202020u);
  EXPECT_EQ(grid.font.Name(), "Scheme Face");
  EXPECT_EQ(grid.repaints, 2);  // one per scheme change
  EXPECT_EQ(changes, 2);
  EXPECT_FALSE(styler->Styles().Customized());

  styler->Styles().SetColor(0x00FFFF);  // local: kept against the scheme
  scheme->Styles().SetColor(0x303030);
  EXPECT_EQ(grid.color, 0x00FFFFu);
  EXPECT_EQ(styler->Styles().Font().Name(), "Scheme Face");
  EXPECT_TRUE(styler->Styles().Customized());

  // Entries borrowed from a list resolve against it.
  TTarvoColorsCollection actionColors(nullptr);
  AddEntry(actionColors, "Buy", {tcvForeColor}, 0, 0x00AA00);
  styler->Styles().Items().Borrow(&actionColors);
  EXPECT_EQ(styler->Styles().Items()["Buy"]->ActualFore(), 0x00AA00u);
  EXPECT_EQ(styler->Styles().Items()["Buy"]->ActualBack(), 0x00FFFFu);

  // Resolving may itself change the styler's styles (a caption taken from
  // the origin); that is part of the same change: one notice, one repaint.
  actionColors["Buy"]->SetCaption("Purchases");
  grid.repaints = changes = 0;
  scheme->Styles().SetColor(0x404040);
  EXPECT_EQ(styler->Styles().Items()["Buy"]->Caption(), "Purchases");
  EXPECT_EQ(grid.repaints, 1);
  EXPECT_EQ(changes, 1);
}

TEST_F(SchemesAndStylers, StylerSurvivesTheSchemeAndKeepsItsLastColours) {
  TTestControl chart("chart");
  auto styler = TComponent::CreateUnowned<TTestStyler>();
  styler->SetTarget(&chart);
  styler->SetScheme(scheme.get());
  scheme->Styles().SetColor(0x404040);
  TTarvoColorsCollection colors(nullptr);
  AddEntry(colors, "Frame", {tcvForeColor}, 0, 0x0000AA);
  styler->Styles().Items().Borrow(&colors);
  chart.repaints = 0;

  scheme.reset();
  EXPECT_EQ(styler->Scheme(), nullptr);
  EXPECT_EQ(chart.repaints, 1);  // repainted with what it kept
  EXPECT_EQ(styler->Styles().Color(), 0x404040u);
  EXPECT_EQ(chart.color, 0x404040u);
  EXPECT_EQ(styler->Styles().Items()["Frame"]->ActualFore(), 0x0000AAu);

  // Still works on its own.
  styler->Styles().Font().SetName("Local Face");
  EXPECT_EQ(chart.font.Name(), "Local Face");
  EXPECT_EQ(chart.repaints, 2);
}

TEST_F(SchemesAndStylers, AFreedStylerLeavesTheSchemeAndItsControl) {
  TTestControl grid("grid");
  auto styler = TComponent::CreateUnowned<TTestStyler>();
  styler->SetTarget(&grid);
  styler->SetScheme(scheme.get());
  int changes = 0;
  styler->SetOnChange([&](TPersistent&) { ++changes; });
  styler.reset();
  EXPECT_EQ(changes, 0);  // nothing announced by a styler going away
  EXPECT_TRUE(scheme->Stylers().empty());
  EXPECT_TRUE(grid.Stylers().empty());
  grid.repaints = 0;
  scheme->Styles().SetColor(0x505050);  // tells nobody (a use after free otherwise)
  EXPECT_EQ(grid.repaints, 0);
}

TEST(TTarvoCustomStyler, HooksAndUnhooksItsControlWhileTheControlIsWhole) {
  auto styler = TComponent::CreateUnowned<TTestStyler>();
  auto grid = std::make_unique<TTestControl>("grid");
  auto other = std::make_unique<TTestControl>("other");
  styler->SetTarget(grid.get());
  EXPECT_EQ(grid->repaints, 1);
  styler->SetTarget(other.get());
  EXPECT_EQ(grid->Stylers().size(), 0u);
  EXPECT_EQ(other->Stylers().size(), 1u);

  other.reset();  // the control goes first
  EXPECT_EQ(styler->Target(), nullptr);
  EXPECT_EQ(styler->log, (Log{"acquire grid", "release grid", "acquire other", "release other"}));

  // The styler goes first: the control forgets it.
  styler->SetTarget(grid.get());
  styler.reset();
  EXPECT_TRUE(grid->Stylers().empty());
}

TEST(TTarvoCustomStyler, IsOwnedLikeAnyComponent) {
  auto form = TComponent::CreateUnowned<TTarvoSimpleScheme>();
  TTarvoSimpleScheme* scheme = TComponent::Create<TTarvoSimpleScheme>(form.get());
  TTestStyler* styler = TComponent::Create<TTestStyler>(form.get());
  TTestControl grid("grid");
  styler->SetScheme(scheme);
  styler->SetTarget(&grid);
  form.reset();  // frees the styler and the scheme, in whatever order
  EXPECT_TRUE(grid.Stylers().empty());
}

// --- stored properties ---

TEST(TTarvoColors, StoresOnlyWhatDiffersFromItsDefaults) {
  TTarvoColors e;
  TStoredObject stored;
  e.WriteProperties(stored);
  EXPECT_TRUE(stored.Empty());

  e.SetName("Buy");
  e.SetCaption("Buy");       // equal to the name: not stored
  e.SetBackColor(0x00FF00);  // not specified: not stored
  e.SetForeColor(0x0000FF);
  e.SetSpecified({tcvForeColor});
  e.SetAvailable({tcvBackColor, tcvForeColor});
  stored = {};
  e.WriteProperties(stored);
  EXPECT_FALSE(stored.Contains("Caption"));
  EXPECT_FALSE(stored.Contains("BackColor"));
  EXPECT_EQ(stored.Find("ForeColor")->AsInteger(), 0x0000FF);
  EXPECT_EQ(stored.Find("Specified")->AsSet(), (std::vector<std::string>{"tcvForeColor"}));

  e.SetCaption("Purchases");
  stored = {};
  e.WriteProperties(stored);
  EXPECT_EQ(stored.Find("Caption")->AsString(), "Purchases");

  TTarvoColors copy;
  copy.ReadProperties(stored);
  EXPECT_EQ(copy.Name(), "Buy");
  EXPECT_EQ(copy.Caption(), "Purchases");
  EXPECT_EQ(copy.Available(), e.Available());
  EXPECT_EQ(copy.Specified(), e.Specified());
  EXPECT_EQ(copy.ForeColor(), 0x0000FFu);
  EXPECT_EQ(copy.BackColor(), clDefault);
}

TEST(TTarvoSimpleScheme, StoresColourAndFontOnlyWhenOwnedAndReadsThemBack) {
  auto scheme = TComponent::CreateUnowned<TTarvoSimpleScheme>();
  scheme->SetName("Dark");
  scheme->SetCaption("Dark colours");
  scheme->Styles().SetColor(0x101010);
  scheme->Styles().Font().SetName("DejaVu Sans Mono");
  AddEntry(scheme->Styles().Items(), "Buy", {tcvBackColor}, 0x00FF00, 0);
  TStoredObject stored;
  scheme->WriteProperties(stored);
  const TStoredObject& styles = stored.Find("Styles")->AsObject();
  EXPECT_EQ(styles.Find("Color")->AsInteger(), 0x101010);
  EXPECT_TRUE(styles.Contains("Font"));
  EXPECT_EQ(styles.Find("Items")->AsCollection().size(), 1u);

  // Styles that inherit their colour and font store neither.
  TTarvoSimpleStyles inheriting(nullptr);
  TStoredObject none;
  inheriting.WriteProperties(none);
  EXPECT_TRUE(none.Empty());

  auto copy = TComponent::CreateUnowned<TTarvoSimpleScheme>();
  auto styler = TComponent::CreateUnowned<TTestStyler>();
  styler->SetScheme(copy.get());
  int told = 0;
  styler->SetOnChange([&](TPersistent&) { ++told; });
  copy->ReadProperties(stored);
  EXPECT_EQ(told, 1);  // the stored styles arrive as one change
  EXPECT_EQ(copy->Name(), "Dark");
  EXPECT_EQ(copy->Caption(), "Dark colours");
  EXPECT_EQ(copy->Styles().Color(), 0x101010u);
  EXPECT_EQ(copy->Styles().Font().Name(), "DejaVu Sans Mono");
  EXPECT_EQ(copy->Styles().Owns(), (TTarvoStyleValues{tsvColor, tsvFont}));
  EXPECT_EQ(copy->Styles().Items()["Buy"]->BackColor(), 0x00FF00u);
  EXPECT_EQ(styler->Styles().Color(), 0x101010u);

  TStoredObject again;
  copy->WriteProperties(again);
  EXPECT_EQ(again, stored);
}

TEST(TTarvoSimpleScheme, RejectsStoredStylesThatDoNotFit) {
  auto bad = [](const char* property, TStoredValue value) {
    TStoredObject entry;
    entry.Set("Name", TStoredValue::String("Buy"));
    entry.Set(property, std::move(value));
    TStoredObject styles;
    styles.Set("Items", TStoredValue::Collection({entry}));
    TStoredObject scheme;
    scheme.Set("Styles", TStoredValue::Object(styles));
    return scheme;
  };
  struct Case {
    const char* property;
    TStoredValue value;
  } cases[] = {
      {"BackColor", TStoredValue::String("red")},
      {"Specified", TStoredValue::Set({"tcvBorderColor"})},
      {"Available", TStoredValue::Integer(3)},
      {"Shade", TStoredValue::Integer(1)},
  };
  for (const auto& c : cases) {
    auto scheme = TComponent::CreateUnowned<TTarvoSimpleScheme>();
    AddEntry(scheme->Styles().Items(), "Kept", {}, 0, 0);
    try {
      scheme->ReadProperties(bad(c.property, c.value));
      ADD_FAILURE() << c.property << " was accepted";
    } catch (const EReadError& e) {
      const std::string what = e.what();
      EXPECT_NE(what.find("TTarvoColors." + std::string(c.property)), std::string::npos) << what;
    }
    EXPECT_EQ(Names(scheme->Styles().Items()), (std::vector<std::string>{"Kept"})) << c.property;
    EXPECT_EQ(scheme->Styles().ChangeLocks(), 0);
  }
}

// --- collections ---

class TTagItem : public TCollectionItem {
 public:
  const char* ClassName() const override { return "TTagItem"; }
  void Touch() { Changed(false); }
};

class TTagItems : public TTarvoCollection {
 public:
  TTagItems() : TTarvoCollection(nullptr) {}

 protected:
  std::unique_ptr<TCollectionItem> CreateItem() const override {
    return std::make_unique<TTagItem>();
  }
};

TEST(TTarvoCollection, ForwardsItemAndWholeNoticesToOnUpdate) {
  TTagItems list;
  std::vector<TCollectionItem*> seen;
  list.SetOnUpdate([&](TCollection& sender, TCollectionItem* item) {
    EXPECT_EQ(&sender, &list);
    seen.push_back(item);
  });
  auto* a = static_cast<TTagItem*>(list.Add());
  seen.clear();
  a->Touch();
  list.BeginUpdate();
  list.Add();
  list.Add();
  EXPECT_EQ(seen, (std::vector<TCollectionItem*>{a}));  // nothing while batched
  list.EndUpdate();
  EXPECT_EQ(seen, (std::vector<TCollectionItem*>{a, nullptr}));
}

}  // namespace
}  // namespace tarvo
