#include "platform/core/Classes.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace tarvo {
namespace {

using Log = std::vector<std::string>;

// A component that records its life and the notices it receives, and can
// refer to one other component (kept from dangling by a link).
class TProbe : public TComponent {
 public:
  const char* ClassName() const override { return "TProbe"; }

  TProbe* Ref() const { return fRef; }
  void SetRef(TProbe* value) {
    if (fRef) RemoveFreeNotification(fRef);
    fRef = value;
    if (fRef) FreeNotification(fRef);
  }
  bool throwOnNotice = false;

 protected:
  friend class TComponent;
  TProbe(TComponent* owner, std::string name, Log* log, bool failCreation = false)
      : TComponent(owner), fLog(log), fFailCreation(failCreation) {
    SetName(name);
  }
  void AfterConstruction() override {
    if (fFailCreation) throw std::runtime_error("creation failed");
    fLog->push_back("created " + Name());
  }
  void BeforeDestruction() override {
    fLog->push_back("destroying " + Name());
    TComponent::BeforeDestruction();
  }
  void Notification(TPersistent* sender, TOperation operation) override {
    TComponent::Notification(sender, operation);
    auto* c = static_cast<TComponent*>(sender);
    fLog->push_back(Name() + (operation == opInsert ? " got " : " lost ") + c->Name());
    if (operation == opRemove && sender == fRef) fRef = nullptr;
    if (throwOnNotice) throw std::runtime_error("handler of " + Name());
  }

 private:
  Log* fLog;
  bool fFailCreation;
  TProbe* fRef = nullptr;
};

TEST(TSet, IsABitSetByOrdinal) {
  enum E { a, b, c };
  TSet<E> s{a, c};
  EXPECT_EQ(s.Bits(), 0b101u);
  EXPECT_TRUE(s.Contains(c));
  EXPECT_FALSE(s.Contains(b));
  EXPECT_EQ(s + TSet<E>{b}, (TSet<E>{a, b, c}));
  EXPECT_EQ(s * (TSet<E>{b, c}), TSet<E>{c});
  EXPECT_EQ(s - TSet<E>{a}, TSet<E>{c});
  EXPECT_TRUE((s - s).Empty());
  EXPECT_FALSE(s.Contains(static_cast<E>(70)));  // out of range, never a member
}

TEST(TComponent, OwnerFreesWhatItOwnsLastFirstAndHearsOfEachRemoval) {
  Log log;
  {
    auto form = TComponent::CreateUnowned<TProbe>("Form", &log);
    TComponent::Create<TProbe>(form.get(), "First", &log);
    TProbe* second = TComponent::Create<TProbe>(form.get(), "Second", &log);
    ASSERT_EQ(form->ComponentCount(), 2);
    EXPECT_EQ(form->FindComponent("SECOND"), second);
    EXPECT_EQ(form->FindComponent("third"), nullptr);
    EXPECT_THROW(form->Components(2), EListError);

    second->Free();  // leaves the owner, which hears of it
    EXPECT_EQ(form->ComponentCount(), 1);
    log.clear();
  }
  // The owner's own first phase, then the owned components, last first.
  EXPECT_EQ(log, (Log{"destroying Form", "destroying First"}));
}

TEST(TComponent, NamesAreIdentifiersUniqueWithinTheOwner) {
  Log log;
  auto form = TComponent::CreateUnowned<TProbe>("Form", &log);
  TProbe* a = TComponent::Create<TProbe>(form.get(), "Alpha", &log);
  TProbe* b = TComponent::Create<TProbe>(form.get(), "", &log);
  for (const char* bad : {"1abc", "with space", "dash-ed", "Кириллица"})
    EXPECT_THROW(b->SetName(bad), EComponentError) << bad;
  EXPECT_THROW(b->SetName("ALPHA"), EComponentError);
  b->SetName("_beta2");
  EXPECT_EQ(b->Name(), "_beta2");
  a->SetName("");  // empty names may repeat
  b->SetName("");
  // Unowned components may share names.
  auto loose = TComponent::CreateUnowned<TProbe>("Form", &log);
  EXPECT_EQ(loose->Name(), "Form");
}

TEST(TComponent, FreeNotificationWorksBothWaysAndNeverDangles) {
  Log log;
  auto a = TComponent::CreateUnowned<TProbe>("A", &log);
  auto b = TComponent::CreateUnowned<TProbe>("B", &log);
  a->SetRef(b.get());
  a->FreeNotification(b.get());  // asking twice keeps one link
  EXPECT_TRUE(a->IsLinked(b.get()));
  EXPECT_TRUE(b->IsLinked(a.get()));
  log.clear();

  b.reset();  // the referred one goes first
  EXPECT_EQ(a->Ref(), nullptr);
  EXPECT_EQ(log, (Log{"destroying B", "A lost B"}));

  // The referring one goes first: the other keeps no link to it, so freeing
  // it later tells nobody (a stale link would be a use after free here).
  auto c = TComponent::CreateUnowned<TProbe>("C", &log);
  c->SetRef(a.get());
  a.reset();
  EXPECT_EQ(c->Ref(), nullptr);
  auto d = TComponent::CreateUnowned<TProbe>("D", &log);
  d->SetRef(c.get());
  d->SetRef(nullptr);  // removes the link on both sides
  EXPECT_FALSE(c->IsLinked(d.get()));
  log.clear();
  c.reset();
  EXPECT_EQ(log, (Log{"destroying C"}));
}

TEST(TComponent, FreeCompletesWhenAHandlerThrowsAndReportsTheError) {
  Log log;
  TProbe* victim = TComponent::Create<TProbe>(nullptr, "Victim", &log);
  auto loud = TComponent::CreateUnowned<TProbe>("Loud", &log);
  auto quiet = TComponent::CreateUnowned<TProbe>("Quiet", &log);
  loud->SetRef(victim);
  quiet->SetRef(victim);
  loud->throwOnNotice = true;
  log.clear();
  EXPECT_THROW(victim->Free(), std::runtime_error);
  // Both heard of it and both references are gone.
  EXPECT_EQ(loud->Ref(), nullptr);
  EXPECT_EQ(quiet->Ref(), nullptr);
  EXPECT_EQ(log.size(), 3u);
  loud->throwOnNotice = false;
}

TEST(TComponent, FailedCreationLeavesNoTraceInTheOwner) {
  Log log;
  auto form = TComponent::CreateUnowned<TProbe>("Form", &log);
  EXPECT_THROW(TComponent::Create<TProbe>(form.get(), "Broken", &log, true), std::runtime_error);
  EXPECT_EQ(form->ComponentCount(), 0);
  // A name clash in the constructor is the same.
  TComponent::Create<TProbe>(form.get(), "Taken", &log);
  EXPECT_THROW(TComponent::Create<TProbe>(form.get(), "taken", &log), EComponentError);
  EXPECT_EQ(form->ComponentCount(), 1);
}

TEST(TComponent, InsertComponentMovesOwnership) {
  Log log;
  auto one = TComponent::CreateUnowned<TProbe>("One", &log);
  auto two = TComponent::CreateUnowned<TProbe>("Two", &log);
  TProbe* child = TComponent::Create<TProbe>(one.get(), "Child", &log);
  TComponent::Create<TProbe>(two.get(), "child", &log);
  EXPECT_THROW(two->InsertComponent(child), EComponentError);        // name taken there
  EXPECT_THROW(child->InsertComponent(one.get()), EComponentError);  // a cycle
  two->FindComponent("child")->SetName("Other");
  log.clear();
  two->InsertComponent(child);
  EXPECT_EQ(log, (Log{"One lost Child", "Two got Child"}));
  EXPECT_EQ(child->Owner(), two.get());
  EXPECT_EQ(one->ComponentCount(), 0);
  EXPECT_EQ(two->ComponentCount(), 2);
}

// --- collections ---

class TNamedItem : public TCollectionItem {
 public:
  const char* ClassName() const override { return "TNamedItem"; }
  std::string name;
  void Touch() { Changed(false); }
  void Assign(const TPersistent& source) override {
    if (auto* other = dynamic_cast<const TNamedItem*>(&source)) {
      name = other->name;
      return;
    }
    TCollectionItem::Assign(source);
  }
  void WriteProperties(TStoredObject& out) const override {
    out.Set("Name", TStoredValue::String(name));
  }

 protected:
  bool ReadProperty(std::string_view n, const TStoredValue& v) override {
    if (n != "Name") return false;
    name = v.AsString();
    return true;
  }
};

// Records every change notice after the standard handling.
class TNamedItems : public TOwnedCollection {
 public:
  TNamedItems() : TOwnedCollection(nullptr) {}
  const char* ClassName() const override { return "TNamedItems"; }
  TNamedItem* AddNamed(std::string name) {
    auto* item = static_cast<TNamedItem*>(Add());
    item->name = std::move(name);
    return item;
  }
  TNamedItem* At(int i) const { return static_cast<TNamedItem*>(Item(i)); }
  std::vector<std::string> Names() const {
    std::vector<std::string> r;
    for (int i = 0; i < Count(); ++i) r.push_back(At(i)->name);
    return r;
  }
  Log notices;

 protected:
  std::unique_ptr<TCollectionItem> CreateItem() const override {
    return std::make_unique<TNamedItem>();
  }
  void Update(TCollectionItem* item) override {
    TOwnedCollection::Update(item);
    notices.push_back(item ? static_cast<TNamedItem*>(item)->name : "*");
  }
};

TEST(TCollection, SendsChangeNoticesForItemsAndForTheWhole) {
  TNamedItems list;
  TNamedItem* a = list.AddNamed("a");
  list.AddNamed("b");
  list.notices.clear();

  a->Touch();
  static_cast<TNamedItem*>(list.Insert(0))->name = "c";
  list.Delete(2);
  EXPECT_EQ(list.notices, (Log{"a", "*", "*"}));
  EXPECT_EQ(list.Names(), (std::vector<std::string>{"c", "a"}));
  EXPECT_THROW(list.Item(2), EListError);
  EXPECT_THROW(list.Insert(5), EListError);

  a->SetIndex(0);
  EXPECT_EQ(list.Names(), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(a->Index(), 0);
  EXPECT_EQ(list.FindItemID(a->ID()), a);

  // An item deleted directly leaves its collection.
  list.notices.clear();
  delete a;
  EXPECT_EQ(list.Names(), (std::vector<std::string>{"c"}));
  EXPECT_EQ(list.notices, (Log{"*"}));
}

TEST(TCollection, BatchesNoticesUntilTheOutermostEndUpdate) {
  TNamedItems list;
  TNamedItem* a = list.AddNamed("a");
  list.notices.clear();

  list.BeginUpdate();
  list.BeginUpdate();
  list.AddNamed("b");
  a->Touch();
  list.EndUpdate();
  EXPECT_TRUE(list.notices.empty());
  list.EndUpdate();
  EXPECT_EQ(list.notices, (Log{"*"}));

  // Nothing changed inside: nothing to tell. Unbalanced EndUpdate is harmless.
  list.notices.clear();
  list.BeginUpdate();
  list.EndUpdate();
  list.EndUpdate();
  EXPECT_TRUE(list.notices.empty());
  EXPECT_EQ(list.UpdateCount(), 0);
  a->Touch();
  EXPECT_EQ(list.notices, (Log{"a"}));

  list.notices.clear();
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.notices, (Log{"*"}));
}

TEST(TCollection, LoadingReplacesAllItemsOrNone) {
  TNamedItems list;
  list.AddNamed("keep");
  const TStoredValue stored = [] {
    TNamedItems source;
    source.AddNamed("x");
    source.AddNamed("y");
    return source.StoreItems();
  }();
  TStoredObject bad;
  bad.Set("Colour", TStoredValue::Integer(1));
  EXPECT_THROW(list.LoadItems(TStoredValue::Collection({TStoredObject{}, bad})), EReadError);
  EXPECT_EQ(list.Names(), (std::vector<std::string>{"keep"}));
  EXPECT_THROW(list.LoadItems(TStoredValue::String("x")), EReadError);

  list.notices.clear();
  list.LoadItems(stored);
  EXPECT_EQ(list.Names(), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(list.notices, (Log{"*"}));
}

TEST(TCollection, AssignCopiesItemsAndRejectsOtherClasses) {
  TNamedItems a, b;
  a.AddNamed("1");
  a.AddNamed("2");
  b.AddNamed("old");
  b.notices.clear();
  b.Assign(a);
  EXPECT_EQ(b.Names(), (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(b.notices, (Log{"*"}));
  TTarvoFont font;
  try {
    b.Assign(font);
    ADD_FAILURE() << "a font was assigned to a collection";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TTarvoFont to a TNamedItems");
  }
}

// --- fonts and stored properties ---

TEST(TTarvoFont, RaisesOneChangePerRealChange) {
  TTarvoFont font;
  int changes = 0;
  font.SetOnChange([&](TPersistent&) { ++changes; });
  font.SetColor(font.Color());
  font.SetName(font.Name());
  EXPECT_EQ(changes, 0);
  font.SetColor(0x0000FF);
  font.SetStyle({fsBold, fsItalic});
  font.SetName("DejaVu Serif");
  EXPECT_EQ(changes, 3);

  TTarvoFont other;
  other.SetSize(12);
  other.SetPitch(fpFixed);
  changes = 0;
  font.Assign(other);
  EXPECT_EQ(changes, 1);
  EXPECT_TRUE(font.SameAs(other));
  font.Assign(other);
  EXPECT_EQ(changes, 1);
  EXPECT_THROW(font.SetName(""), EConvertError);
  EXPECT_THROW(font.SetHeight(40000), EConvertError);
}

TEST(TTarvoFont, SizeAndHeightAreTheSameMeasure) {
  struct Case {
    int size, height;
  } cases[] = {{8, -11}, {9, -12}, {10, -13}, {12, -16}, {-16, 21}};
  for (const auto& c : cases) {
    TTarvoFont font;
    font.SetSize(c.size);
    EXPECT_EQ(font.Height(), c.height) << c.size;
    EXPECT_EQ(font.Size(), c.size) << c.size;
  }
  EXPECT_EQ(TTarvoFont().Size(), 8);
}

TEST(TTarvoFont, StoresEveryFieldAndReadsThemBack) {
  TTarvoFont font;
  font.SetName("DejaVu Sans Mono");
  font.SetSize(11);
  font.SetColor(clHighlight);
  font.SetStyle({fsUnderline});
  font.SetCharset(204);
  TStoredObject stored;
  font.WriteProperties(stored);
  EXPECT_EQ(stored.Find("style")->AsSet(), (std::vector<std::string>{"fsUnderline"}));

  TTarvoFont copy;
  copy.ReadProperties(stored);
  EXPECT_TRUE(copy.SameAs(font));
}

TEST(TTarvoFont, RejectsStoredValuesThatDoNotFit) {
  struct Case {
    const char* name;
    TStoredValue value;
  } cases[] = {
      {"Height", TStoredValue::String("-11")},
      {"Height", TStoredValue::Integer(1 << 20)},
      {"Charset", TStoredValue::Integer(300)},
      {"Color", TStoredValue::Integer(0x1FFFFFFFFLL)},
      {"Style", TStoredValue::Set({"fsBold", "fsBlinking"})},
      {"Pitch", TStoredValue::Ident("fpWide")},
      {"Name", TStoredValue::String("")},
      {"Weight", TStoredValue::Integer(700)},
  };
  for (const auto& c : cases) {
    TTarvoFont font;
    TStoredObject stored;
    stored.Set(c.name, c.value);
    try {
      font.ReadProperties(stored);
      ADD_FAILURE() << c.name << " was accepted";
    } catch (const EReadError& e) {
      EXPECT_NE(std::string(e.what()).find(std::string("TTarvoFont.") + c.name), std::string::npos)
          << e.what();
    }
    EXPECT_TRUE(font.SameAs(TTarvoFont())) << c.name;
  }
}

TEST(LoadColor, AcceptsUnsignedAndOldSignedForms) {
  EXPECT_EQ(LoadColor(TStoredValue::Integer(-16777211)), clWindow);  // 0xFF000005 as signed
  EXPECT_EQ(LoadColor(TStoredValue::Integer(0xFF000005)), clWindow);
  EXPECT_THROW(LoadColor(TStoredValue::Integer(-(1LL << 40))), EReadError);
}

}  // namespace
}  // namespace tarvo
