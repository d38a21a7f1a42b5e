// Views: ordering, Find, links and incremental maintenance.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "host/tvData.h"

namespace tarvo {
namespace {

std::vector<TMdsRecord*> Rows(const TMdsView& v) {
  std::vector<TMdsRecord*> rows;
  for (TMdsRecord* r : v.GetRecords()) rows.push_back(r);
  return rows;
}

std::vector<std::string> Texts(const TMdsView& v, const TMdsColumn* c) {
  std::vector<std::string> out;
  for (TMdsRecord* r : v.GetRecords()) out.push_back(r->GetIsNullC(c) ? "<null>" : r->Format(c));
  return out;
}

class MdsViewOf : public ::testing::Test {
 protected:
  void SetUp() override {
    code = t.GetColumns().Add("CODE", mtcString);
    name = t.GetColumns().Add("NAME", mtcString);
    lot = t.GetColumns().Add("LOT", mtcInt32);
    price = t.GetColumns().Add("PRICE", mtcDouble);
    Add("SBER", "Sberbank", 10, 250.5);
    Add("GAZP", "Gazprom", 10, 160.25);
    Add("sber", "Sber small", 1, Variant::Null());
    Add("LKOH", "Lukoil", 1, 6500);
    Add("SBERP", "Sberbank pref", 10, 250.5);
    Add("\xD0\xA1\xD0\x91\xD0\x95\xD0\xA0", "Cyrillic", Variant::Null(), 1);  // "СБЕР"
  }
  TMdsRecord* Add(const char* c, const char* n, Variant l, Variant p) {
    auto r = t.NewRow();
    r->SetDataC(code, c);
    r->SetDataC(name, n);
    r->SetDataC(lot, l);
    r->SetDataC(price, p);
    return t.Append(std::move(r));
  }
  TMdsTable t{"SECURITIES"};
  TMdsColumn *code, *name, *lot, *price;
};

TEST_F(MdsViewOf, OrdersByColumnsWithNullsFirstAndInsertionForTies) {
  TMdsView v(&t);
  v.SetOrderBy("LOT DESC, PRICE");
  v.Open();
  EXPECT_EQ(Texts(v, code), (std::vector<std::string>{"GAZP", "SBER", "SBERP", "sber", "LKOH",
                                                      "\xD0\xA1\xD0\x91\xD0\x95\xD0\xA0"}));
  EXPECT_EQ(v.GetSortMode(lot), -1);
  EXPECT_EQ(v.GetSortMode(price), 2);
  EXPECT_EQ(v.GetSortMode(code), 0);

  v.SetOrderBy("code");
  EXPECT_EQ(Texts(v, code), (std::vector<std::string>{"GAZP", "LKOH", "SBER", "SBERP", "sber",
                                                      "\xD0\xA1\xD0\x91\xD0\x95\xD0\xA0"}));
  try {
    v.SetOrderBy("CODE, NOPE");
    ADD_FAILURE() << "unknown column accepted";
  } catch (const EMdsError& e) {
    EXPECT_EQ(e.Id(), "BadOrderBy");
  }
  EXPECT_THROW(v.SetOrderBy("CODE UP"), EMdsError);
  EXPECT_EQ(v.GetSortMode(code), 1);  // the old order stays

  // Without an order or key: insertion order.
  TMdsView plain(&t);
  plain.Open();
  EXPECT_EQ(Texts(plain, code)[0], "SBER");
  EXPECT_EQ(Texts(plain, code)[5], "\xD0\xA1\xD0\x91\xD0\x95\xD0\xA0");
  for (int i = 0; i < plain.GetRecordCount(); ++i)
    EXPECT_EQ(plain.IndexOf(plain.GetRecords().Item(i)), i);
  EXPECT_THROW(plain.GetRecords().Item(6), EMdsError);
}

struct FindCase {
  const char* what;
  const char* order;  // the view's order
  std::vector<Variant> values;
  const char* fields;
  TMdsLocateOptions options;
  const char* expected;  // CODE of the record found, nullptr for none
};

TEST_F(MdsViewOf, FindHonoursItsOptionsOnIndexedAndUnindexedFields) {
  using O = TMdsLocateOption;
  const FindCase cases[] = {
      {"exact, indexed", "CODE", {"SBER"}, "CODE", {}, "SBER"},
      {"exact, scan", "LOT", {"SBER"}, "CODE", {}, "SBER"},
      {"case matters", "CODE", {"Sber"}, "CODE", {}, nullptr},
      {"ignore case, first in view order", "CODE", {"Sber"}, "CODE", {O::CaseInsensitive}, "SBER"},
      {"ignore case, Cyrillic",
       "CODE",
       {"\xD1\x81\xD0\xB1\xD0\xB5\xD1\x80"},
       "CODE",
       {O::CaseInsensitive},
       "\xD0\xA1\xD0\x91\xD0\x95\xD0\xA0"},
      {"prefix, indexed", "CODE", {"SBERP"}, "CODE", {O::PartialKey}, "SBERP"},
      {"prefix, first match", "CODE", {"SB"}, "CODE", {O::PartialKey}, "SBER"},
      {"prefix, descending", "CODE DESC", {"SB"}, "CODE", {O::PartialKey}, "SBERP"},
      {"prefix, ignore case",
       "PRICE",
       {"gaz"},
       "CODE",
       {O::PartialKey, O::CaseInsensitive},
       "GAZP"},
      {"two fields, indexed", "LOT, PRICE", {1, 6500}, "LOT,PRICE", {}, "LKOH"},
      {"two fields, scan", "CODE", {10, 250.5}, "LOT,PRICE", {}, "SBER"},
      {"null matches null", "PRICE", {Variant::Null()}, "PRICE", {}, "sber"},
      {"null, scan", "CODE", {Variant::Null()}, "LOT", {}, "\xD0\xA1\xD0\x91\xD0\x95\xD0\xA0"},
      {"number given as text", "LOT", {"10"}, "LOT", {}, "SBER"},
      {"value the column cannot hold", "LOT", {"ten"}, "LOT", {}, nullptr},
      {"display text", "CODE", {"250.5"}, "PRICE", {O::DisplayText}, "SBER"},
      {"display text, prefix", "CODE", {"650"}, "PRICE", {O::DisplayText, O::PartialKey}, "LKOH"},
      {"display text, ignore case",
       "CODE",
       {"LUKOIL"},
       "NAME",
       {O::DisplayText, O::CaseInsensitive},
       "LKOH"},
      {"not found", "CODE", {"AFLT"}, "CODE", {}, nullptr},
  };
  for (const auto& c : cases) {
    TMdsView v(&t);
    v.SetOrderBy(c.order);
    v.Open();
    int index = v.Find(c.values, c.fields, c.options);
    if (!c.expected) {
      EXPECT_EQ(index, -1) << c.what;
      continue;
    }
    ASSERT_GE(index, 0) << c.what;
    EXPECT_EQ(v.GetRecords().Item(index)->Format(code), c.expected) << c.what;
    // The result is the first match in view order: a scan agrees.
    int scan = -1;
    for (int i = 0; i < v.GetRecordCount() && scan < 0; ++i) {
      if (v.GetRecords().Item(i)->Format(code) == c.expected) scan = i;
    }
    EXPECT_EQ(index, scan) << c.what;
  }
  TMdsView closed(&t);
  EXPECT_EQ(closed.Find(std::vector<Variant>{"SBER"}, "CODE"), -1);
}

TEST_F(MdsViewOf, LinksHearEarlyOnesFirstAndMayLeaveDuringAnEvent) {
  TMdsView v(&t);
  v.SetOrderBy("CODE");
  v.Open();
  std::vector<std::string> calls;
  TMdsFunctionLink normal([&](const TMdsViewEvent&) { calls.push_back("normal"); });
  std::unique_ptr<TMdsFunctionLink> leaving;
  leaving = std::make_unique<TMdsFunctionLink>([&](const TMdsViewEvent&) {
    calls.push_back("leaving");
    leaving->SetView(nullptr);
  });
  TMdsFunctionLink early([&](const TMdsViewEvent&) { calls.push_back("early"); });
  normal.SetView(&v);
  leaving->SetView(&v);
  early.SetCall(1);
  early.SetView(&v);
  Add("AFLT", "Aeroflot", 10, 40);
  EXPECT_EQ(calls, (std::vector<std::string>{"early", "normal", "leaving"}));
  calls.clear();
  Add("MTSS", "MTS", 10, 300);
  EXPECT_EQ(calls, (std::vector<std::string>{"early", "normal"}));

  // A link outliving its view is simply detached.
  auto shortLived = std::make_unique<TMdsView>(&t);
  TMdsFunctionLink orphan([](const TMdsViewEvent&) {});
  orphan.SetView(shortLived.get());
  shortLived.reset();
  EXPECT_EQ(orphan.GetView(), nullptr);
}

// --- incremental maintenance --------------------------------------------------------------

// Replays a view's events onto a plain vector.
class Mirror {
 public:
  explicit Mirror(TMdsView* view) : fView(view), fLink([this](const TMdsViewEvent& e) { On(e); }) {
    fLink.SetView(view);
    fRows = Rows(*view);
  }
  const std::vector<TMdsRecord*>& RowsSeen() const { return fRows; }
  int Faults() const { return fFaults; }

 private:
  void On(const TMdsViewEvent& e) {
    const auto size = static_cast<int>(fRows.size());
    switch (e.Kind) {
      case mveInserted:
        if (e.NewIndex < 0 || e.NewIndex > size) {
          ++fFaults;
          return;
        }
        fRows.insert(fRows.begin() + e.NewIndex, e.Record);
        break;
      case mveDeleted:
        if (e.OldIndex < 0 || e.OldIndex >= size ||
            fRows[static_cast<std::size_t>(e.OldIndex)] != e.Record) {
          ++fFaults;
          return;
        }
        fRows.erase(fRows.begin() + e.OldIndex);
        break;
      case mveMoved:
      case mveChanged:
        if (e.OldIndex < 0 || e.OldIndex >= size ||
            fRows[static_cast<std::size_t>(e.OldIndex)] != e.Record ||
            (e.Kind == mveChanged && e.OldIndex != e.NewIndex)) {
          ++fFaults;
          return;
        }
        fRows.erase(fRows.begin() + e.OldIndex);
        fRows.insert(fRows.begin() + e.NewIndex, e.Record);
        break;
      case mveReloaded:
        // The end of a batch: every change was already replayed.
        if (fRows != Rows(*fView)) ++fFaults;
        fRows = Rows(*fView);
        break;
      default:
        break;
    }
  }
  TMdsView* fView;
  std::vector<TMdsRecord*> fRows;
  int fFaults = 0;
  TMdsFunctionLink fLink;
};

struct PositivePrice final : IMdsRecordFilter {
  explicit PositivePrice(const TMdsColumn* c) : price(c) {}
  bool Match(const TMdsRecord& r) const override {
    Variant v = r.GetDataC(price);
    return !v.IsNull() && v.AsDouble() > 0;
  }
  const TMdsColumn* price;
};

struct EvenLot final : IMdsRecordFilter {
  explicit EvenLot(const TMdsColumn* c) : lot(c) {}
  bool Match(const TMdsRecord& r) const override {
    Variant v = r.GetDataC(lot);
    return !v.IsNull() && v.AsInt64() % 2 == 0;
  }
  const TMdsColumn* lot;
};

class MdsViewRandom : public ::testing::TestWithParam<unsigned> {};

TEST_P(MdsViewRandom, EveryViewEqualsARebuiltOneAndItsEventsReplay) {
  std::mt19937 rng(GetParam());
  TMdsTable t("T");
  TMdsColumn* id = t.GetColumns().Add("ID", mtcInt64);
  TMdsColumn* lot = t.GetColumns().Add("LOT", mtcInt16);
  TMdsColumn* code = t.GetColumns().Add("CODE", mtcString);
  TMdsColumn* price = t.GetColumns().Add("PRICE", mtcDouble);
  t.SetPrimaryKey("ID");

  struct Spec {
    const char* order;
    std::shared_ptr<const IMdsRecordFilter> filter;
  };
  const Spec specs[] = {
      {"", nullptr},
      {"LOT DESC, CODE", std::make_shared<PositivePrice>(price)},
      {"CODE", nullptr},
      {"", std::make_shared<EvenLot>(lot)},
      {"PRICE, LOT DESC", nullptr},
  };
  std::vector<std::unique_ptr<TMdsView>> views;
  std::vector<std::unique_ptr<Mirror>> mirrors;
  for (const Spec& s : specs) {
    views.push_back(std::make_unique<TMdsView>(&t));
    views.back()->SetOrderBy(s.order);
    views.back()->SetFilter(s.filter);
    views.back()->Open();
    mirrors.push_back(std::make_unique<Mirror>(views.back().get()));
  }
  std::vector<TMdsRecord*> live;
  std::int64_t nextId = 1;
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  auto randomValue = [&](const TMdsColumn* c) -> Variant {
    if (pick(8) == 0) return Variant::Null();
    if (c == lot) return pick(7) - 3;
    if (c == code)
      return std::string(1, static_cast<char>('A' + pick(5))) + std::to_string(pick(3));
    return (pick(9) - 4) * 0.5;
  };
  const TMdsColumn* valueCols[] = {lot, code, price};
  auto checkAgainstRebuilt = [&] {
    for (std::size_t k = 0; k < views.size(); ++k) {
      TMdsView fresh(&t);
      fresh.SetOrderBy(specs[k].order);
      fresh.SetFilter(specs[k].filter);
      fresh.Open();
      ASSERT_EQ(Rows(*views[k]), Rows(fresh)) << "view " << k;
      const auto rows = Rows(*views[k]);
      for (std::size_t i = 0; i < rows.size(); ++i) {
        ASSERT_EQ(views[k]->IndexOf(rows[i]), static_cast<int>(i)) << "view " << k;
        ASSERT_EQ(views[k]->GetRecords().Item(static_cast<int>(i)), rows[i]) << "view " << k;
      }
    }
  };

  for (int step = 0; step < 2500; ++step) {
    const int op = pick(10);
    const bool batch = pick(25) == 0;
    if (batch) t.FreezeControls();
    const int repeat = batch ? 1 + pick(8) : 1;
    for (int k = 0; k < repeat; ++k) {
      if (op < 4 || live.size() < 5) {
        auto r = t.NewRow();
        r->SetDataC(id, nextId++);
        for (const TMdsColumn* c : valueCols) r->SetDataC(c, randomValue(c));
        live.push_back(t.Append(std::move(r)));
      } else if (op < 6) {
        const std::size_t i = static_cast<std::size_t>(pick(static_cast<int>(live.size())));
        t.Delete(live[i]);
        live.erase(live.begin() + static_cast<std::ptrdiff_t>(i));
      } else if (op < 9) {
        TMdsRecord* r = live[static_cast<std::size_t>(pick(static_cast<int>(live.size())))];
        const TMdsColumn* c = valueCols[pick(3)];
        r->SetDataC(c, randomValue(c));
      } else {
        TMdsRecord* r = live[static_cast<std::size_t>(pick(static_cast<int>(live.size())))];
        r->Edit();
        for (const TMdsColumn* c : valueCols) r->SetDataC(c, randomValue(c));
        if (pick(4) == 0) r->SetDataC(id, nextId++);
        r->Post();
      }
    }
    if (batch) t.UnlockControls();
    for (std::size_t k = 0; k < views.size(); ++k) {
      ASSERT_EQ(mirrors[k]->Faults(), 0) << "view " << k << " at step " << step;
      ASSERT_EQ(mirrors[k]->RowsSeen(), Rows(*views[k])) << "view " << k;
    }
    if (step % 250 == 0) checkAgainstRebuilt();
  }
  checkAgainstRebuilt();
  EXPECT_EQ(views[0]->GetRecordCount(), static_cast<int>(live.size()));
}

INSTANTIATE_TEST_SUITE_P(Seeds, MdsViewRandom, ::testing::Values(1u, 7u, 2024u));

TEST(MdsViews, ChangeStateTellsWhenMarksNeedChecking) {
  TMdsTable t("T");
  TMdsColumn* a = t.GetColumns().Add("A", mtcInt32);
  TMdsView* v = t.GetDefaultView();
  std::vector<int> states;
  TMdsFunctionLink link([&](const TMdsViewEvent& e) {
    if (e.Kind == mveReloaded) states.push_back(v->GetChangeState());
  });
  link.SetView(v);
  auto add = [&](int x) {
    auto r = t.NewRow();
    r->SetDataC(a, x);
    return t.Append(std::move(r));
  };
  TMdsRecord* first;
  {
    TMdsTable::TFreezeGuard g(t);
    first = add(1);
    add(2);
  }
  {
    TMdsTable::TFreezeGuard g(t);
    t.Delete(first);
  }
  EXPECT_EQ(states, (std::vector<int>{1, 2}));
  EXPECT_EQ(v->GetChangeState(), 0);
}

}  // namespace
}  // namespace tarvo
