// Tables, columns, records, keys, batching and destruction notices.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/tvData.h"

namespace tarvo {
namespace {

// Records every event of a view.
struct EventLog {
  explicit EventLog(TMdsView* view)
      : link([this](const TMdsViewEvent& e) { events.push_back(e); }) {
    link.SetView(view);
  }
  int Count(TMdsViewEventKind kind, bool forDisplay) const {
    int n = 0;
    for (const auto& e : events) n += e.Kind == kind && e.NotForDisplay != forDisplay;
    return n;
  }
  std::vector<TMdsViewEvent> events;
  TMdsFunctionLink link;
};

TEST(MdsColumns, AreFoundIgnoringCaseAndRefuseBadDefinitions) {
  TMdsTable t("T");
  TMdsColumn* code = t.GetColumns().Add("Code", mtcString, 12);
  EXPECT_EQ(t.GetColumns().Find("CODE"), code);
  EXPECT_EQ(t.GetColumns().GetName("code"), code);
  EXPECT_EQ(t.GetColumns().Find("nope"), nullptr);
  EXPECT_EQ(code->GetDisplayLabel(), "Code");
  code->SetDisplayLabel("Security");
  EXPECT_EQ(code->GetDisplayLabel(), "Security");

  auto id = [](auto&& f) {
    try {
      f();
    } catch (const EMdsError& e) {
      return e.Id();
    }
    return std::string("no error");
  };
  EXPECT_EQ(id([&] { t.GetColumns().GetName("nope"); }), "ColumnNotFound");
  EXPECT_EQ(id([&] { t.GetColumns().Add("CODE", mtcInt32); }), "ColumnExists");
  EXPECT_EQ(id([&] { t.GetColumns().Add("X", 18); }), "BadColumnType");
  EXPECT_EQ(id([&] { t.GetColumns().Add("Y", 0); }), "BadColumnType");
  EXPECT_EQ(id([&] { t.GetColumns().Add(" ", mtcInt32); }), "BadColumnName");
  EXPECT_EQ(id([&] { t.GetColumns().GetItem(5); }), "IndexOutOfRange");
  EXPECT_EQ(t.GetColumns().Count(), 1);
}

// Every type stores what it is given and hands out the documented raw form.
TEST(MdsRecords, StoreEveryTypeAndExposeRawCells) {
  TMdsTable t("T");
  auto& cols = t.GetColumns();
  struct Case {
    int type;
    Variant in;
    Variant out;
    std::vector<unsigned char> raw;  // empty: not checked
  } cases[] = {
      {mtcBoolean, Variant(true), Variant(true), {1}},
      {mtcInt8, Variant(-2), Variant(-2), {0xFE}},
      {mtcInt16, Variant("300"), Variant(300), {0x2C, 0x01}},
      {mtcInt32, Variant(7.0), Variant(7), {7, 0, 0, 0}},
      {mtcInt64, Variant(INT64_MIN), Variant(INT64_MIN), {}},
      {mtcUInt8, Variant(255), Variant(255u), {0xFF}},
      {mtcUInt16, Variant(65535), Variant(65535u), {0xFF, 0xFF}},
      {mtcUInt32, Variant(4294967295.0), Variant(4294967295u), {0xFF, 0xFF, 0xFF, 0xFF}},
      {mtcUInt64, Variant(UINT64_MAX), Variant(UINT64_MAX), {}},
      {mtcChars, Variant("Y"), Variant("Y"), {'Y'}},
      {mtcDouble, Variant(1.25), Variant(1.25), {}},
      {mtcCurrency, Variant(1.5), Variant::Currency(15000), {0x98, 0x3A, 0, 0, 0, 0, 0, 0}},
      {mtcDateTime, Variant("2023-03-15 12:00"), Variant::DateTime(45000.5), {}},
      {mtcDate, Variant::DateTime(45000.75), Variant::Date(45000), {}},
      {mtcTime, Variant::DateTime(45000.75), Variant::Time(0.75), {}},
      {mtcString, Variant(12), Variant("12"), {'1', '2'}},
      {mtcMemo, Variant("\xD0\x96"), Variant("\xD0\x96"), {0xD0, 0x96}},
      {mtcFixed, Variant("-1.50"), Variant(TFixed{-15, 1}), {}},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i)
    cols.Add("C" + std::to_string(i), cases[i].type, cases[i].type == mtcChars ? 1 : 0);
  TMdsRecord* r = t.Append(t.NewRow());
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    const TMdsColumn* col = cols.GetItem(static_cast<int>(i));
    const void* p = nullptr;
    std::size_t len = 0;
    EXPECT_TRUE(r->GetIsNullC(col));
    EXPECT_FALSE(r->GetDataP(col, p, len));
    r->SetDataC(col, c.in);
    Variant got = r->GetDataC(col);
    EXPECT_TRUE(VarEqual(got, c.out)) << "type " << c.type << ": " << VarToStr(got);
    EXPECT_EQ(got.Kind(), c.out.Kind()) << "type " << c.type;
    ASSERT_TRUE(r->GetDataP(col, p, len)) << "type " << c.type;
    if (!c.raw.empty()) {
      ASSERT_EQ(len, c.raw.size()) << "type " << c.type;
      EXPECT_EQ(std::memcmp(p, c.raw.data(), len), 0) << "type " << c.type;
    }
    r->SetDataC(col, Variant::Null());
    EXPECT_TRUE(r->GetIsNullC(col)) << "type " << c.type;
  }
}

TEST(MdsRecords, RefuseValuesTheColumnCannotHoldAndKeepTheCell) {
  TMdsTable t("T");
  TMdsColumn* i8 = t.GetColumns().Add("I8", mtcInt8);
  TMdsColumn* u32 = t.GetColumns().Add("U32", mtcUInt32);
  TMdsColumn* ch = t.GetColumns().Add("CH", mtcChars, 2);
  TMdsColumn* num = t.GetColumns().Add("NUM", mtcDouble);
  TMdsRecord* r = t.Append(t.NewRow());
  r->SetDataC(i8, 5);
  r->SetDataC(u32, 7);
  r->SetDataC(ch, "ab");
  r->SetDataC(num, 1.0);
  struct Case {
    TMdsColumn* col;
    Variant value;
    const char* id;
  } cases[] = {
      {i8, Variant(300), "CannotConvertValue"},  // never wrapped to 44
      {i8, Variant(-129), "CannotConvertValue"},
      {u32, Variant(-1), "CannotConvertValue"},  // never wrapped to 4294967295
      {u32, Variant(4294967296.0), "CannotConvertValue"},
      {ch, Variant("abc"), "ValueTooLong"},
      {num, Variant("abc"), "CannotConvertValue"},
      {num, Variant::Array({1}), "CannotConvertValue"},
  };
  for (const auto& c : cases) {
    Variant before = r->GetDataC(c.col);
    try {
      r->SetDataC(c.col, c.value);
      ADD_FAILURE() << c.col->GetName() << ": no error";
    } catch (const EMdsError& e) {
      EXPECT_EQ(e.Id(), c.id) << c.col->GetName();
    }
    EXPECT_TRUE(VarEqual(r->GetDataC(c.col), before)) << c.col->GetName();
    EXPECT_FALSE(r->IsEditing());
  }
  // A fixed-length column counts characters, not bytes.
  r->SetDataC(ch, "\xD0\x96\xD0\x96");
  EXPECT_EQ(r->GetDataC(ch).AsText(), "\xD0\x96\xD0\x96");
}

TEST(MdsRecords, ZeroCountsAsNullWithTheAttribute) {
  TMdsTable t("T");
  TMdsColumn* n = t.GetColumns().Add("N", mtcInt32);
  TMdsColumn* s = t.GetColumns().Add("S", mtcString);
  n->SetAttribute(mcaZeroIsNull);
  s->SetAttribute(mcaZeroIsNull);
  TMdsRecord* r = t.Append(t.NewRow());
  r->SetDataC(n, 0);
  r->SetDataC(s, "");
  EXPECT_TRUE(r->GetIsNullC(n));
  EXPECT_TRUE(r->GetDataC(n).IsNull());
  EXPECT_EQ(r->Format(n), "");
  EXPECT_TRUE(r->GetIsNullC(s));
  const void* p = nullptr;
  std::size_t len = 0;
  EXPECT_TRUE(r->GetDataP(n, p, len));  // the raw cell still holds the zero
  r->SetDataC(n, 3);
  EXPECT_FALSE(r->GetIsNullC(n));
}

TEST(MdsColumns, AddedToATableWithRowsAppearNullInEveryRow) {
  TMdsTable t("T");
  TMdsColumn* a = t.GetColumns().Add("A", mtcInt32);
  TMdsColumn* txt = t.GetColumns().Add("TXT", mtcString);
  std::vector<TMdsRecord*> rows;
  for (int i = 0; i < 20; ++i) {
    auto r = t.NewRow();
    r->SetDataC(a, i);
    r->SetDataC(txt, "row " + std::to_string(i));
    rows.push_back(t.Append(std::move(r)));
  }
  auto early = t.NewRow();  // made before the columns below
  early->SetDataC(a, 100);
  EventLog log(t.GetDefaultView());
  std::vector<TMdsColumn*> added;
  for (int k = 0; k < 9; ++k)
    added.push_back(t.GetColumns().Add("X" + std::to_string(k), mtcDouble));
  EXPECT_EQ(log.Count(mveColumnsChanged, true), 9);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(rows[static_cast<std::size_t>(i)]->GetDataC(a).AsInt64(), i);
    EXPECT_EQ(rows[static_cast<std::size_t>(i)]->GetDataC(txt).AsText(),
              "row " + std::to_string(i));
    for (TMdsColumn* c : added) EXPECT_TRUE(rows[static_cast<std::size_t>(i)]->GetIsNullC(c));
  }
  rows[3]->SetDataC(added[8], 2.5);
  EXPECT_DOUBLE_EQ(rows[3]->GetDataC(added[8]).AsDouble(), 2.5);
  // The record made before the columns takes them too.
  EXPECT_TRUE(early->GetIsNullC(added[0]));
  early->SetDataC(added[0], 1.0);
  TMdsRecord* appended = t.Append(std::move(early));
  EXPECT_EQ(appended->GetDataC(a).AsInt64(), 100);
  EXPECT_DOUBLE_EQ(appended->GetDataC(added[0]).AsDouble(), 1.0);
  EXPECT_EQ(t.GetDefaultView()->GetRecordCount(), 21);
}

TEST(MdsKeys, AreUniqueAndFoundInLogarithmicIndex) {
  TMdsTable t("T");
  TMdsColumn* board = t.GetColumns().Add("BOARD", mtcString);
  TMdsColumn* code = t.GetColumns().Add("CODE", mtcString);
  TMdsColumn* price = t.GetColumns().Add("PRICE", mtcDouble);
  t.SetPrimaryKey("board, CODE");
  EXPECT_EQ(t.GetPrimaryKey(), "BOARD,CODE");
  auto add = [&](const char* b, const char* c, double p) {
    auto r = t.NewRow();
    r->SetDataC(board, b);
    r->SetDataC(code, c);
    r->SetDataC(price, p);
    return t.Append(std::move(r));
  };
  TMdsRecord* sber = add("TQBR", "SBER", 250);
  add("TQBR", "GAZP", 160);
  add("SMAL", "SBER", 251);

  auto dup = t.NewRow();
  dup->SetDataC(board, "TQBR");
  dup->SetDataC(code, "SBER");
  try {
    t.Append(std::move(dup));
    ADD_FAILURE() << "duplicate key appended";
  } catch (const EMdsError& e) {
    EXPECT_EQ(e.Id(), "KeyViolation");
  }
  ASSERT_NE(dup, nullptr);  // still the caller's
  EXPECT_EQ(t.GetRecordCount(), 3);

  // Changing a key onto another record's key is refused and leaves the record.
  EXPECT_THROW(sber->SetDataC(board, "SMAL"), EMdsError);
  EXPECT_EQ(sber->GetDataC(board).AsText(), "TQBR");
  EXPECT_FALSE(sber->IsEditing());

  EXPECT_EQ(t.FindKey(std::vector<Variant>{"SMAL", "SBER"})->GetDataC(price).AsDouble(), 251);
  EXPECT_EQ(t.FindKey(std::vector<Variant>{"SMAL", "GAZP"}), nullptr);
  EXPECT_EQ(t.FindKey(std::vector<Variant>{"SMAL"}), nullptr);

  // The default view follows the key.
  std::vector<std::string> order;
  for (TMdsRecord* r : t.GetDefaultView()->GetRecords())
    order.push_back(r->Format(board) + "/" + r->Format(code));
  EXPECT_EQ(order, (std::vector<std::string>{"SMAL/SBER", "TQBR/GAZP", "TQBR/SBER"}));

  // A key that the rows do not satisfy is refused and the old key stays.
  try {
    t.SetPrimaryKey("CODE");
    ADD_FAILURE() << "duplicate keys accepted";
  } catch (const EMdsError& e) {
    EXPECT_EQ(e.Id(), "DuplicateKeys");
  }
  EXPECT_EQ(t.GetPrimaryKey(), "BOARD,CODE");

  auto byBoard = t.SelectA("BOARD", std::vector<Variant>{"TQBR"});
  ASSERT_EQ(byBoard.size(), 2u);
  EXPECT_EQ(byBoard[0]->Format(code), "GAZP");
  auto byCode = t.SelectA("CODE", std::vector<Variant>{"SBER"});  // not indexed
  ASSERT_EQ(byCode.size(), 2u);
  EXPECT_EQ(byCode[0]->Format(board), "SMAL");
  EXPECT_TRUE(t.SelectA("PRICE", std::vector<Variant>{"not a number"}).empty());
}

TEST(MdsRecords, EditKeepsChangesApartUntilPost) {
  TMdsTable t("T");
  TMdsColumn* a = t.GetColumns().Add("A", mtcInt32);
  for (int i = 0; i < 3; ++i) {
    auto r = t.NewRow();
    r->SetDataC(a, i * 10);
    t.Append(std::move(r));
  }
  TMdsView view(&t);
  view.SetOrderBy("A");
  view.Open();
  EventLog log(&view);
  TMdsRecord* first = view.GetRecords().Item(0);
  first->Edit();
  first->SetDataC(a, 25);
  EXPECT_EQ(first->GetDataC(a).AsInt64(), 25);  // the editor sees the new value
  EXPECT_EQ(view.IndexOf(first), 0);            // views see the posted one
  EXPECT_TRUE(log.events.empty());
  first->Cancel();
  EXPECT_EQ(first->GetDataC(a).AsInt64(), 0);

  first->Edit();
  first->SetDataC(a, 25);
  first->Post();
  EXPECT_EQ(view.IndexOf(first), 2);
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_EQ(log.events[0].Kind, mveMoved);
  EXPECT_EQ(log.events[0].OldIndex, 0);
  EXPECT_EQ(log.events[0].NewIndex, 2);
}

TEST(MdsBatching, OneDisplayNoticeAtTheOutermostUnlockAlsoWhenTheBatchFails) {
  TMdsTable t("T");
  TMdsColumn* a = t.GetColumns().Add("A", mtcInt32);
  t.SetPrimaryKey("A");
  TMdsView other(&t);  // a view with no changes in the batch gets no notice
  other.SetFilter(nullptr);
  other.Open();
  EventLog log(t.GetDefaultView());
  EventLog quiet(&other);
  auto add = [&](int v) {
    auto r = t.NewRow();
    r->SetDataC(a, v);
    t.Append(std::move(r));
  };
  {
    TMdsTable::TFreezeGuard outer(t);
    add(1);
    {
      TMdsTable::TFreezeGuard inner(t);
      add(2);
      add(3);
    }
    EXPECT_EQ(log.Count(mveReloaded, true), 0);  // the inner unlock says nothing
    t.Delete(t.FindKey(std::vector<Variant>{2}));
  }
  EXPECT_EQ(log.Count(mveReloaded, true), 1);
  EXPECT_EQ(log.Count(mveInserted, true), 0);  // every record event was not for display
  EXPECT_EQ(log.Count(mveInserted, false), 3);
  EXPECT_EQ(log.Count(mveDeleted, false), 1);

  // A batch that fails half-way still ends with its one notice.
  log.events.clear();
  try {
    TMdsTable::TFreezeGuard guard(t);
    add(10);
    add(1);  // key violation
    add(11);
  } catch (const EMdsError&) {
  }
  EXPECT_FALSE(t.IsFrozen());
  EXPECT_EQ(log.Count(mveReloaded, true), 1);
  EXPECT_EQ(t.GetRecordCount(), 3);

  // A batch without changes sends nothing; extra unlocks are ignored.
  log.events.clear();
  t.FreezeControls();
  t.UnlockControls();
  t.UnlockControls();
  EXPECT_TRUE(log.events.empty());
  EXPECT_EQ(quiet.Count(mveReloaded, true), 2);  // the other view saw both batches too
}

// A receiver that unregisters itself (and, once, the next receiver) while
// being told.
struct Receiver final : IMdsSexton {
  std::function<void(Receiver&, TMdsSubject*)> onNotice;
  std::vector<TMdsSubject*> heard;
  void SubjectDestroyed(TMdsSubject* subject) override {
    heard.push_back(subject);
    if (onNotice) onNotice(*this, subject);
  }
};

TEST(MdsNotices, TellEveryReceiverOnceWhileTheSubjectIsIntact) {
  auto table = std::make_unique<TMdsTable>("T");
  TMdsTable* t = table.get();
  TMdsColumn* a = t->GetColumns().Add("A", mtcInt32);
  std::vector<TMdsRecord*> recs;
  for (int i = 0; i < 4; ++i) {
    auto r = t->NewRow();
    r->SetDataC(a, i);
    recs.push_back(t->Append(std::move(r)));
  }
  Receiver selfRemoving, removedByOther, plain;
  int valueSeen = -1;
  selfRemoving.onNotice = [&](Receiver& me, TMdsSubject* s) {
    valueSeen = static_cast<int>(static_cast<TMdsRecord*>(s)->GetDataC(a).AsInt64());
    t->RemoveDeacon(&me);
    t->RemoveDeacon(&removedByOther);
  };
  t->AppendDeacon(&selfRemoving);
  t->AppendDeacon(&removedByOther);
  t->AppendDeacon(&plain);
  t->AppendDeacon(&plain);  // registered once

  t->Delete(recs[1]);
  EXPECT_EQ(valueSeen, 1);
  EXPECT_EQ(selfRemoving.heard.size(), 1u);
  EXPECT_TRUE(removedByOther.heard.empty());
  ASSERT_EQ(plain.heard.size(), 1u);
  EXPECT_EQ(plain.heard[0], recs[1]);

  t->Delete(recs[2]);
  EXPECT_EQ(selfRemoving.heard.size(), 1u);
  EXPECT_EQ(plain.heard.size(), 2u);

  // The table's death: sextons first (the table still whole), then every
  // remaining record to the deacons.
  Receiver sexton;
  std::size_t columnsSeen = 0;
  sexton.onNotice = [&](Receiver& me, TMdsSubject* s) {
    columnsSeen = static_cast<std::size_t>(static_cast<TMdsTable*>(s)->GetColumns().Count());
    static_cast<TMdsTable*>(s)->RemoveSexton(&me);
  };
  t->AppendSexton(&sexton);
  TMdsView survivor(t);
  survivor.Open();
  table.reset();
  ASSERT_EQ(sexton.heard.size(), 1u);
  EXPECT_EQ(sexton.heard[0], t);
  EXPECT_EQ(columnsSeen, 1u);
  EXPECT_EQ(plain.heard.size(), 4u);
  EXPECT_EQ(survivor.GetTable(), nullptr);
  EXPECT_FALSE(survivor.GetOpen());
  EXPECT_EQ(survivor.GetRecordCount(), 0);
}

TEST(MdsStores, OwnTablesByName) {
  TMdsStore* store = TMdsStore::Create("DYNAMIC");
  EXPECT_EQ(Stores().Find("dynamic"), store);
  EXPECT_THROW(TMdsStore::Create("Dynamic"), EMdsError);
  EXPECT_THROW(Stores().GetStore("NONE"), EMdsError);
  TMdsTable* hist = store->Add("DYN_SECHIST");
  EXPECT_EQ(store->Find("dyn_sechist"), hist);
  EXPECT_EQ(hist->GetStore(), store);
  EXPECT_THROW(store->Add("DYN_SECHIST"), EMdsError);
  EXPECT_THROW(store->GetTable("OTHER"), EMdsError);
  Receiver sexton;
  hist->AppendSexton(&sexton);
  store->Remove(hist);
  EXPECT_EQ(sexton.heard.size(), 1u);
  EXPECT_EQ(store->Find("DYN_SECHIST"), nullptr);
  Stores().Remove(store);
  EXPECT_EQ(Stores().Find("DYNAMIC"), nullptr);
}

TEST(MdsTables, ClearTellsDeaconsAndEmptiesViews) {
  TMdsTable t("T");
  TMdsColumn* a = t.GetColumns().Add("A", mtcInt32);
  for (int i = 0; i < 5; ++i) {
    auto r = t.NewRow();
    r->SetDataC(a, i);
    t.Append(std::move(r));
  }
  Receiver deacon;
  t.AppendDeacon(&deacon);
  EventLog log(t.GetDefaultView());
  int stateDuringReload = -1;
  TMdsFunctionLink probe([&](const TMdsViewEvent& e) {
    if (e.Kind == mveReloaded) stateDuringReload = t.GetDefaultView()->GetChangeState();
  });
  probe.SetView(t.GetDefaultView());
  t.Clear();
  EXPECT_EQ(deacon.heard.size(), 5u);
  EXPECT_EQ(t.GetRecordCount(), 0);
  EXPECT_EQ(t.GetDefaultView()->GetRecordCount(), 0);
  EXPECT_EQ(log.Count(mveReloaded, true), 1);
  EXPECT_EQ(stateDuringReload, 2);
  EXPECT_EQ(t.GetDefaultView()->GetChangeState(), 0);
  EXPECT_EQ(t.GetColumns().Count(), 1);
}

}  // namespace
}  // namespace tarvo
