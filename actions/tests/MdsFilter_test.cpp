// Compiled record filters: the documented edge cases, the sound behaviour
// where a plain reading would go wrong, and differential checks against a
// plain reference evaluator and against SQLite.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "actions/MdsFilter.h"
#include "platform/core/Text.h"

namespace tarvo {
namespace {

std::vector<int> Matching(const TCustomFilter& f, TMdsTable& t, const TMdsColumn* id) {
  std::vector<int> ids;
  for (TMdsRecord* r : t.GetDefaultView()->GetRecords())
    if (f.Match(*r)) ids.push_back(static_cast<int>(r->GetDataC(id).AsInt64()));
  return ids;
}

// A small table: ID, CODE, NAME (texts), LOT (int32), PRICE (double).
class ParamsFilter : public ::testing::Test {
 protected:
  void SetUp() override {
    id = t.GetColumns().Add("ID", mtcInt32);
    code = t.GetColumns().Add("CODE", mtcString);
    name = t.GetColumns().Add("NAME", mtcString);
    lot = t.GetColumns().Add("LOT", mtcInt32);
    price = t.GetColumns().Add("PRICE", mtcDouble);
    t.SetPrimaryKey("ID");
    Add(1, "SBER", "Sberbank", 10, 250.5);
    Add(2, "GAZP", "Gazprom", 10, 160.0);
    Add(3, "LKOH", Variant::Null(), 1, 6500.0);
    Add(4, Variant::Null(), "Unknown", Variant::Null(), Variant::Null());
    Add(5, "sberp", "Sber pref", 1, 250.5);
  }
  void Add(int i, Variant c, Variant n, Variant l, Variant p) {
    auto r = t.NewRow();
    r->SetDataC(id, i);
    r->SetDataC(code, c);
    r->SetDataC(name, n);
    r->SetDataC(lot, l);
    r->SetDataC(price, p);
    t.Append(std::move(r));
  }
  std::vector<int> Run(const TMdsParams& params) {
    TParamsFilter f(&t);
    f.Setup(&params);
    return Matching(f, t, id);
  }
  TMdsTable t{"T"};
  TMdsColumn *id, *code, *name, *lot, *price;
};

using Ids = std::vector<int>;

TEST_F(ParamsFilter, TwoColumnsContainEitherAndNotContainNeither) {
  TMdsParams p;
  TMdsParam* q = p.Add("CODE;NAME", "sber");
  q->SetRelation(prCS);
  EXPECT_EQ(Run(p), (Ids{1, 5}));
  q->SetValue("prom");
  EXPECT_EQ(Run(p), (Ids{2}));
  q->SetRelation(prNS);
  EXPECT_EQ(Run(p), (Ids{1, 3, 4, 5}));  // a null cell does not contain the text
  q->SetValue("sber");
  EXPECT_EQ(Run(p), (Ids{2, 3, 4}));
}

TEST_F(ParamsFilter, ListWithABlankEntryCountsNullsAsListed) {
  TMdsParams p;
  TMdsParam* q = p.Add("CODE", Variant::Array({"GAZP", "", "LKOH"}));
  EXPECT_EQ(Run(p), (Ids{2, 3, 4}));
  q->SetRelation(prNE);
  EXPECT_EQ(Run(p), (Ids{1, 5}));
  q->SetValue(Variant::Array({"GAZP"}));
  EXPECT_EQ(Run(p), (Ids{1, 3, 4, 5}));  // without a blank entry a null is "not in"
}

TEST_F(ParamsFilter, IncompleteAndUnknownConditionsDoNotRestrict) {
  TMdsParams p;
  TMdsParam* bw = p.Add("PRICE", 200);
  bw->SetRelation(prBW);  // no upper bound: not Valid, left out
  EXPECT_EQ(Run(p), (Ids{1, 2, 3, 4, 5}));
  TParamsFilter f(&t);
  f.Setup(&p);
  EXPECT_FALSE(f.Active());

  TMdsParams u;
  u.Add("NOPE;CODE", "SBER");  // unknown first column: left out
  EXPECT_EQ(Run(u), (Ids{1, 2, 3, 4, 5}));
  TMdsParams v;
  v.Add("CODE;NOPE", "SBER");  // unknown further name: dropped
  TParamsFilter g(&t);
  g.Setup(&v);
  ASSERT_EQ(g.ElementCount(), 1);
  EXPECT_TRUE(g.Element(0).Columns.empty());
  EXPECT_EQ(Matching(g, t, id), (Ids{1}));

  TMdsParams w;
  w.Add("LOT", "ten");  // cannot be converted: left out, the rest still compiles
  w.Add("CODE", "GAZP");
  EXPECT_EQ(Run(w), (Ids{2}));

  TMdsParams off;
  off.Add("CODE", "GAZP")->SetEnabled(false);
  EXPECT_EQ(Run(off), (Ids{1, 2, 3, 4, 5}));
}

TEST_F(ParamsFilter, NullCellsAreDecidedByTheRelation) {
  struct Case {
    TMdsRelation rel;
    Variant value;
    Ids expected;
  } cases[] = {
      {prEQ, 10, {1, 2}},
      {prNE, 10, {3, 4, 5}},
      {prGT, 5, {1, 2}},
      {prGE, 10, {1, 2}},
      {prLT, 10, {3, 5}},
      {prLE, 1, {3, 5}},
      {prEE, 1, {3, 4, 5}},
      {prEN, Variant(), {4}},
      {prNN, Variant(), {1, 2, 3, 5}},
      {prEQ, Variant::Null(), {1, 2, 3, 4, 5}},  // no value: does not restrict
      {prGT, Variant::Null(), {1, 2, 3, 5}},
  };
  for (const auto& c : cases) {
    TMdsParams p;
    TMdsParam* q = p.Add("LOT", c.value);
    q->SetRelation(c.rel);
    EXPECT_EQ(Run(p), c.expected) << RelationNames[c.rel] << " " << VarToStr(c.value);
  }
}

// Every integer storage size matches the same list and never a value the
// column cannot hold.
TEST(ParamsFilterTypes, IntegerListsCompareInTheColumnsFullRange) {
  for (int type :
       {mtcInt8, mtcInt16, mtcInt32, mtcInt64, mtcUInt8, mtcUInt16, mtcUInt32, mtcUInt64}) {
    TMdsTable t("T");
    TMdsColumn* id = t.GetColumns().Add("ID", mtcInt32);
    TMdsColumn* v = t.GetColumns().Add("V", type);
    t.SetPrimaryKey("ID");
    const bool isSigned = IsSignedIntegerType(type);
    std::vector<long long> values = {0, 1, 2, 3, 4, 44, 127};
    if (isSigned) values.push_back(-1);
    if (type == mtcUInt8 || type == mtcUInt16 || type == mtcUInt32 || type == mtcUInt64)
      values.push_back(255);
    for (std::size_t i = 0; i < values.size(); ++i) {
      auto r = t.NewRow();
      r->SetDataC(id, static_cast<int>(i));
      r->SetDataC(v, values[i]);
      t.Append(std::move(r));
    }
    auto run = [&](Variant list, TMdsRelation rel) {
      TMdsParams p;
      p.Add("V", list)->SetRelation(rel);
      TParamsFilter f(&t);
      f.Setup(&p);
      std::vector<long long> got;
      for (TMdsRecord* r : t.GetDefaultView()->GetRecords())
        if (f.Match(*r)) got.push_back(values[static_cast<std::size_t>(r->GetDataC(id).AsInt64())]);
      return got;
    };
    EXPECT_EQ(run(Variant::Array({1, 2, 3}), prEQ), (std::vector<long long>{1, 2, 3})) << type;
    // 300 is not 44 on a one-byte column, -1 is not 255 on an unsigned one,
    // 2.5 is no integer.
    EXPECT_EQ(run(Variant::Array({300, 2.5}), prEQ), std::vector<long long>{}) << type;
    auto negative = run(Variant::Array({-1}), prEQ);
    EXPECT_EQ(negative, isSigned ? std::vector<long long>{-1} : std::vector<long long>{}) << type;
    EXPECT_EQ(run(Variant::Array({300, 0, 1, 2, 3, 4, 127, 44, -1, 255}), prNE),
              std::vector<long long>{})
        << type;

    // Scalars too: 300 orders above every cell of a one-byte column.
    auto scalar = [&](TMdsRelation rel, Variant x) {
      TMdsParams p;
      p.Add("V", x)->SetRelation(rel);
      TParamsFilter f(&t);
      f.Setup(&p);
      int n = 0;
      for (TMdsRecord* r : t.GetDefaultView()->GetRecords()) n += f.Match(*r);
      return n;
    };
    const int all = static_cast<int>(values.size());
    EXPECT_EQ(scalar(prEQ, 300), type == mtcInt8 || type == mtcUInt8 ? 0 : 0) << type;
    EXPECT_EQ(scalar(prLT, 300), all) << type;
    EXPECT_EQ(scalar(prGT, -300), all) << type;
    EXPECT_EQ(scalar(prGT, 2.5), all - (isSigned ? 4 : 3)) << type;
    EXPECT_EQ(scalar(prLE, 2.5), isSigned ? 4 : 3) << type;
    EXPECT_EQ(scalar(prEQ, 2.5), 0) << type;
    EXPECT_EQ(scalar(prBW, Variant()), all) << type;  // not valid without bounds
  }
}

// Lists on doubles, currency, date-times, dates and Booleans compare by value.
TEST(ParamsFilterTypes, ListsOnOtherTypesCompareByValue) {
  TMdsTable t("T");
  TMdsColumn* id = t.GetColumns().Add("ID", mtcInt32);
  TMdsColumn* d = t.GetColumns().Add("D", mtcDouble);
  TMdsColumn* c = t.GetColumns().Add("C", mtcCurrency);
  TMdsColumn* at = t.GetColumns().Add("AT", mtcDateTime);
  TMdsColumn* day = t.GetColumns().Add("DAY", mtcDate);
  TMdsColumn* b = t.GetColumns().Add("B", mtcBoolean);
  TMdsColumn* f = t.GetColumns().Add("F", mtcFixed);
  t.SetPrimaryKey("ID");
  for (int i = 0; i < 4; ++i) {
    auto r = t.NewRow();
    r->SetDataC(id, i);
    r->SetDataC(d, i * 0.5);
    r->SetDataC(c, Variant::Currency(i * 12345));
    r->SetDataC(at, Variant::DateTime(45000 + i * 0.25));
    r->SetDataC(day, Variant::Date(45000 + i));
    r->SetDataC(b, i % 2 == 1);
    r->SetDataC(f, Variant(TFixed{i * 15, 1}));
    t.Append(std::move(r));
  }
  struct Case {
    const char* column;
    Variant list;
    Ids eq;
  } cases[] = {
      {"D", Variant::Array({0.5, 1.5, 7.0}), {1, 3}},
      {"C", Variant::Array({Variant::Currency(12345), "3.7035"}), {1, 3}},
      {"AT", Variant::Array({Variant::DateTime(45000.25), "2023-03-15 18:00"}), {1, 3}},
      {"DAY", Variant::Array({"2023-03-16", Variant::Date(45003)}), {1, 3}},
      {"B", Variant::Array({true}), {1, 3}},
      {"F", Variant::Array({"1.5", 3.0}), {1, 2}},
  };
  for (const auto& k : cases) {
    TMdsParams p;
    TMdsParam* q = p.Add(k.column, k.list);
    EXPECT_EQ(
        [&] {
          TParamsFilter filter(&t);
          filter.Setup(&p);
          return Matching(filter, t, id);
        }(),
        k.eq)
        << k.column;
    q->SetRelation(prNE);
    Ids rest;
    for (int i = 0; i < 4; ++i)
      if (std::find(k.eq.begin(), k.eq.end(), i) == k.eq.end()) rest.push_back(i);
    TParamsFilter filter(&t);
    filter.Setup(&p);
    EXPECT_EQ(Matching(filter, t, id), rest) << k.column << " <>";
  }
}

// "equal or null" on two columns: each column is decided on its own.
TEST_F(ParamsFilter, EachColumnOfAnElementIsDecidedOnItsOwn) {
  TMdsParams p;
  TMdsParam* q = p.Add("CODE;NAME", "LKOH");
  q->SetRelation(prEE);
  // Record 3: CODE matches, NAME is null; record 4: CODE null.
  EXPECT_EQ(Run(p), (Ids{3, 4}));
  q->SetRelation(prNE);
  EXPECT_EQ(Run(p), (Ids{1, 2, 3, 4, 5}));  // any column differing is enough
}

TEST_F(ParamsFilter, ContainsOnANumberLooksAtItsText) {
  TMdsParams p;
  p.Add("PRICE", "50.5")->SetRelation(prCS);
  EXPECT_EQ(Run(p), (Ids{1, 5}));
  TMdsParams q;
  q.Add("LOT", 0)->SetRelation(prNS);
  EXPECT_EQ(Run(q), (Ids{3, 4, 5}));
}

TEST_F(ParamsFilter, PartialComparesTextsByPrefix) {
  TMdsParams p;
  TMdsParam* q = p.Add("CODE", "SB");
  q->SetOptions({poPartial});
  EXPECT_EQ(Run(p), (Ids{1}));
  q->SetRelation(prNE);
  EXPECT_EQ(Run(p), (Ids{2, 3, 4, 5}));
  q->SetOptions({});
  q->SetRelation(prEQ);
  EXPECT_TRUE(Run(p).empty());
}

TEST(ParamsFilterTypes, LookupKeysAlsoSearchTheirDisplayColumn) {
  TMdsTable t("T");
  TMdsColumn* id = t.GetColumns().Add("ID", mtcInt32);
  TMdsColumn* board = t.GetColumns().Add("BOARD", mtcInt32);
  TMdsColumn* boardName = t.GetColumns().Add("BOARDNAME", mtcString);
  TMdsColumn* note = t.GetColumns().Add("NOTE", mtcString);
  board->SetIsLookupKey(true);
  board->SetLookupDisplay(boardName);
  t.SetPrimaryKey("ID");
  const char* names[] = {"Main board", "Small caps", "Bonds 1"};
  for (int i = 0; i < 3; ++i) {
    auto r = t.NewRow();
    r->SetDataC(id, i);
    r->SetDataC(board, i + 1);
    r->SetDataC(boardName, names[i]);
    r->SetDataC(note, i == 2 ? "main" : "x");
    t.Append(std::move(r));
  }
  TMdsParams p;
  TMdsParam* q = p.Add("BOARD;NOTE", "main");
  q->SetRelation(prCS);
  TParamsFilter f(&t);
  f.Setup(&p);
  ASSERT_EQ(f.ElementCount(), 1);
  // The display column comes first; the integer key does not go with a text
  // and is removed; NOTE stays.
  EXPECT_EQ(f.Element(0).Column, boardName);
  EXPECT_EQ(f.Element(0).Columns, (std::vector<const TMdsColumn*>{boardName, note}));
  EXPECT_EQ(Matching(f, t, id), (Ids{0, 2}));
  EXPECT_TRUE(f.Contains(boardName));
  EXPECT_FALSE(f.Contains(board));

  // "=" keeps the key itself; Contains also names its visible display column.
  TMdsParams e;
  e.Add("BOARD", 2);
  f.Setup(&e);
  EXPECT_EQ(Matching(f, t, id), (Ids{1}));
  EXPECT_TRUE(f.Contains(board));
  EXPECT_TRUE(f.Contains(boardName));
  boardName->SetVisible(false);
  EXPECT_FALSE(f.Contains(boardName));
  EXPECT_FALSE(f.Contains(note));
}

class Tags final : public IMdsCustomValue, public IMdsCustomMatch {
 public:
  explicit Tags(std::vector<std::string> t) : fTags(std::move(t)) {}
  std::string Text() const override {
    std::string s;
    for (const auto& t : fTags) s += (s.empty() ? "" : ",") + t;
    return s;
  }
  int MatchValue(const IMdsCustomValue& pattern, bool contains) const override {
    const auto& other = static_cast<const Tags&>(pattern).fTags;
    for (const auto& mine : fTags)
      for (const auto& o : other)
        if (contains ? platform::FindText(mine, o) != std::string::npos : mine == o) return 1;
    return 0;
  }

 private:
  std::vector<std::string> fTags;
};

class TagType final : public IMdsCustomType {
 public:
  std::shared_ptr<const IMdsCustomValue> FromVariant(const Variant& v) const override {
    if (v.IsEmptyOrNull()) return nullptr;
    std::vector<std::string> parts;
    for (const auto& s : platform::SplitString(v.AsText(), ',')) parts.push_back(s);
    return std::make_shared<Tags>(parts);
  }
  std::shared_ptr<const IMdsCustomValue> FromList(
      const std::vector<Variant>& values) const override {
    std::vector<std::string> parts;
    for (const auto& v : values) parts.push_back(v.AsText());
    return std::make_shared<Tags>(parts);
  }
};

TEST(ParamsFilterTypes, CustomColumnsAnswerThroughTheirOwnComparison) {
  TMdsTable t("T");
  TMdsColumn* id = t.GetColumns().Add("ID", mtcInt32);
  TMdsColumn* tags = t.GetColumns().Add("TAGS", mtcCustom);
  tags->SetCustomType(std::make_shared<TagType>());
  t.SetPrimaryKey("ID");
  const char* values[] = {"blue,red", "green", "Reddish"};
  for (int i = 0; i < 3; ++i) {
    auto r = t.NewRow();
    r->SetDataC(id, i);
    r->SetDataC(tags, values[i]);
    t.Append(std::move(r));
  }
  TMdsParams p;
  TMdsParam* q = p.Add("TAGS", Variant::Array({"red", "green"}));
  TParamsFilter f(&t);
  f.Setup(&p);
  EXPECT_EQ(Matching(f, t, id), (Ids{0, 1}));
  q->SetRelation(prNE);
  f.Setup(&p);
  EXPECT_EQ(Matching(f, t, id), (Ids{2}));
  q->SetValue("red");
  q->SetRelation(prCS);
  f.Setup(&p);
  EXPECT_EQ(Matching(f, t, id), (Ids{0, 2}));
  q->SetRelation(prNS);
  f.Setup(&p);
  EXPECT_EQ(Matching(f, t, id), (Ids{1}));
}

TEST(ParamsFilterTypes, ForgetsItsTableWhenTheTableDies) {
  auto t = std::make_unique<TMdsTable>("T");
  TMdsColumn* a = t->GetColumns().Add("A", mtcInt32);
  auto r = t->NewRow();
  r->SetDataC(a, 1);
  auto f = std::make_shared<TParamsFilter>(t.get());
  TMdsParams p;
  p.Add("A", 2);
  f->Setup(&p);
  EXPECT_TRUE(f->Active());
  EXPECT_FALSE(f->Match(*r));
  TMdsTable other("O");
  other.GetColumns().Add("A", mtcInt32);
  EXPECT_FALSE(f->Match(*other.NewRow()));  // a record of another table fails
  t.reset();                                // the prepared row may outlive its table
  EXPECT_EQ(f->GetTable(), nullptr);
  EXPECT_FALSE(f->Active());
  EXPECT_TRUE(f->Match(*other.NewRow()));  // without elements every record passes
  f->Setup(&p);                            // nothing to compile against
  EXPECT_FALSE(f->Active());
}

TEST_F(ParamsFilter, CombinedFiltersAndFilteredViews) {
  auto sber = std::make_shared<TParamsFilter>(&t);
  TMdsParams a;
  a.Add("CODE;NAME", "sber")->SetRelation(prCS);
  sber->Setup(&a);
  auto lot10 = std::make_shared<TParamsFilter>(&t);
  TMdsParams b;
  b.Add("LOT", 10);
  lot10->Setup(&b);

  auto complex = std::make_shared<TComplexFilter>();
  complex->AllFilters().Add(sber);
  complex->AllFilters().Add(lot10);
  complex->AnyFilters();  // an empty any-list does not restrict
  std::vector<int> ids;
  for (TMdsRecord* r : t.GetDefaultView()->GetRecords())
    if (complex->Match(*r)) ids.push_back(static_cast<int>(r->GetDataC(id).AsInt64()));
  EXPECT_EQ(ids, (Ids{1}));
  TAnyFilterList any;
  any.Add(sber);
  any.Add(lot10);
  ids.clear();
  for (TMdsRecord* r : t.GetDefaultView()->GetRecords())
    if (any.Match(*r)) ids.push_back(static_cast<int>(r->GetDataC(id).AsInt64()));
  EXPECT_EQ(ids, (Ids{1, 2, 5}));

  // A view filtered by a compiled filter follows the records' changes.
  TMdsView v(&t);
  v.SetFilter(sber);
  v.Open();
  EXPECT_EQ(v.GetRecordCount(), 2);
  t.FindKey(std::vector<Variant>{2})->SetDataC(name, "Sbergaz");
  EXPECT_EQ(v.GetRecordCount(), 3);
  a.GetItem(0)->SetValue("gaz");
  sber->Setup(&a);
  v.Refilter();
  EXPECT_EQ(v.GetRecordCount(), 1);
}

TEST(MdsFilter, NoticesBatchingAndPersistence) {
  TMdsFilter f;
  int notices = 0;
  f.OnChange = [&](TMdsFilter&) { ++notices; };
  f.SetActive(true);
  EXPECT_EQ(notices, 1);
  f.Params().Add("CODE", "SBER");
  EXPECT_EQ(notices, 3);  // the change, and the list turning enabled
  EXPECT_TRUE(f.Filled());
  f.EnterChanges();
  f.Params().Put("CODE", "GAZP");
  f.Params().Add("LOT", 10);
  f.SetActive(false);
  EXPECT_TRUE(f.Locked());
  f.LeaveChanges();
  EXPECT_EQ(notices, 4);

  TMdsParams other;
  other.Add("X", 1);
  f.SetParams(other);  // inactive: no notice
  EXPECT_EQ(notices, 4);
  f.SetActive(true);
  f.SetParams(other);
  EXPECT_EQ(notices, 6);

  TMdsFilter g;
  int gNotices = 0;
  g.OnChange = [&](TMdsFilter&) { ++gNotices; };
  g.Assign(f);
  EXPECT_EQ(gNotices, 1);
  EXPECT_TRUE(g.GetActive());
  EXPECT_TRUE(g.Params().Equal(&f.Params(), TMdsParamsCompareMode::cmAll));

  TMdsFilter h;
  h.LoadFromText(f.SaveToText());
  EXPECT_TRUE(h.GetActive());
  EXPECT_EQ(h.SaveToText(), f.SaveToText());
  EXPECT_THROW(h.LoadFromText("Active = maybe\n"), EMdsParamError);
  EXPECT_TRUE(h.GetActive());

  TMdsTable t("T");
  t.GetColumns().Add("X", mtcInt32);
  EXPECT_NE(h.Compile(&t), nullptr);
  h.Params().GetItem(0)->SetEnabled(false);
  EXPECT_FALSE(h.Filled());
  EXPECT_EQ(h.Compile(&t), nullptr);
}

// --- differential checks ----------------------------------------------------------------

// The random table: columns of the kinds a browser filters on.
struct RandomTable {
  RandomTable() {
    id = t.GetColumns().Add("ID", mtcInt32);
    cols = {
        t.GetColumns().Add("CODE", mtcString),  t.GetColumns().Add("NAME", mtcMemo),
        t.GetColumns().Add("I8", mtcInt8),      t.GetColumns().Add("I32", mtcInt32),
        t.GetColumns().Add("U16", mtcUInt16),   t.GetColumns().Add("I64", mtcInt64),
        t.GetColumns().Add("PRICE", mtcDouble), t.GetColumns().Add("CUR", mtcCurrency),
        t.GetColumns().Add("AT", mtcDateTime),  t.GetColumns().Add("DAY", mtcDate),
        t.GetColumns().Add("FLAG", mtcBoolean), t.GetColumns().Add("DEC", mtcFixed),
    };
    t.SetPrimaryKey("ID");
  }
  TMdsTable t{"R"};
  TMdsColumn* id;
  std::vector<TMdsColumn*> cols;
};

// A value of the column's kind from a small domain, so that equal values
// come up often.
Variant RandomValue(const TMdsColumn* c, std::mt19937& rng, bool sqlSafe) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  static const char* words[] = {"sber", "SBER", "Gaz", "gazp", "LK",
                                "lkoh", "a",    "ab",  "abc",  "Z9"};
  static const char* cyr[] = {"\xD0\xA1\xD0\x91\xD0\x95\xD0\xA0",
                              "\xD1\x81\xD0\xB1\xD0\xB5\xD1\x80"};
  switch (c->GetTypeCode()) {
    case mtcString:
    case mtcMemo:
      if (!sqlSafe && pick(8) == 0) return cyr[pick(2)];
      return words[pick(10)];
    case mtcInt8:
      return pick(11) - 5;
    case mtcInt32:
      return (pick(11) - 5) * 1000;
    case mtcUInt16:
      return pick(6) * 100;
    case mtcInt64:
      return static_cast<long long>(pick(5) - 2) * 3000000000LL;
    case mtcDouble:
      return (pick(13) - 6) * 0.25;
    case mtcCurrency:
      return Variant::Currency((pick(9) - 4) * 2500);
    case mtcDateTime:
      return Variant::DateTime(45000 + pick(5) * 0.5);
    case mtcDate:
      return Variant::Date(45000 + pick(5));
    case mtcBoolean:
      return pick(2) == 1;
    case mtcFixed:
      return Variant(TFixed{(pick(9) - 4) * 125, 2});
    default:
      return Variant::Null();
  }
}

// A parameter value for a column: mostly the column's own kind, sometimes a
// value it cannot hold or with a fraction.
Variant RandomParamValue(const TMdsColumn* c, std::mt19937& rng) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  switch (c->GetTypeCode()) {
    case mtcInt8:
      if (pick(5) == 0) return pick(2) ? Variant(300) : Variant(-300);
      if (pick(5) == 0) return 2.5;
      break;
    case mtcUInt16:
      if (pick(6) == 0) return -1;
      if (pick(6) == 0) return 150.5;
      break;
    case mtcInt32:
      if (pick(6) == 0) return "2000";  // a number given as text
      break;
    default:
      break;
  }
  return RandomValue(c, rng, false);
}

bool IsBlankItem(const Variant& v) {
  return v.IsEmptyOrNull() ||
         (v.Kind() == TVarKind::Text && (v.TextValue().empty() || v.TextValue() == " "));
}

// The behaviour written out plainly on variants, one parameter at a time.
bool ReferenceMatch(const TMdsParams& params, const TMdsTable& t, const TMdsRecord& r) {
  if (!params.Enabled()) return true;
  for (int i = 0; i < params.Count(); ++i) {
    const TMdsParam& p = *params.GetItem(i);
    if (!p.GetEnabled() || !p.Valid()) continue;
    std::vector<std::string> names = platform::SplitString(p.GetName(), ';');
    const TMdsColumn* first = t.GetColumns().Find(names[0]);
    if (!first) continue;
    std::vector<const TMdsColumn*> cols{first};
    for (std::size_t k = 1; k < names.size(); ++k)
      if (const TMdsColumn* c = t.GetColumns().Find(names[k])) cols.push_back(c);
    const TMdsRelation rel = p.GetRelation();
    const bool list = !p.GetItems().Empty();
    if (!list && (rel == prCS || rel == prNS) && cols.size() > 1) {
      std::vector<const TMdsColumn*> kept{cols[0]};
      auto group = [](const TMdsColumn* c) { return TypeGroup(c->GetTypeCode()); };
      for (std::size_t k = 1; k < cols.size(); ++k) {
        bool ok = (group(cols[0]) == group(cols[k]) && group(cols[0]) != TMdsTypeGroup::Boolean) ||
                  cols[0]->GetTypeCode() == cols[k]->GetTypeCode();
        if (ok) kept.push_back(cols[k]);
      }
      cols = kept;
    }
    bool isEmpty = false;
    if (list)
      for (int k = 0; k < p.GetItems().Count(); ++k)
        isEmpty = isEmpty || IsBlankItem(p.GetItems()[k].GetValue());
    const Variant& v1 = p.GetValue();
    bool isNull = !list && (v1.IsEmptyOrNull() || (rel == prBW && p.GetAddon().IsEmptyOrNull()) ||
                            (IsTextType(first->GetTypeCode()) && v1.Kind() == TVarKind::Text &&
                             v1.TextValue().empty()));
    auto columnPasses = [&](const TMdsColumn* c) {
      Variant v = r.GetDataC(c);
      if (v.IsNull()) {
        switch (rel) {
          case prNE:
            return list ? !isEmpty : !isNull;
          case prNS:
            return !isNull;
          case prGT:
          case prLT:
          case prNN:
          case prBW:
            return false;
          case prEE:
          case prEN:
            return true;
          default:
            return (list && rel == prEQ) ? isEmpty : isNull;
        }
      }
      if (rel == prEN) return false;
      if (rel == prNN) return true;
      if (isNull) return true;
      if (list) {
        bool found = false;
        for (int k = 0; k < p.GetItems().Count() && !found; ++k) {
          const Variant& item = p.GetItems()[k].GetValue();
          found = !IsBlankItem(item) && VarEqual(v, item);
        }
        return rel == prNE ? !found : found;
      }
      if (rel == prCS || rel == prNS) {
        bool found = platform::FindText(VarToStr(v), VarToStr(v1)) != std::string::npos;
        return rel == prCS ? found : !found;
      }
      auto cmp = [&](const Variant& x) {
        if (IsTextType(c->GetTypeCode()) && p.GetOptions().Contains(poPartial)) {
          std::string cell = v.AsText(), pat = x.AsText();
          if (cell.size() > pat.size()) cell.resize(pat.size());
          return cell < pat ? -1 : (cell > pat ? 1 : 0);
        }
        return VarCompare(v, x);
      };
      const int cv = cmp(v1);
      switch (rel) {
        case prEQ:
        case prEE:
          return cv == 0;
        case prNE:
          return cv != 0;
        case prGT:
          return cv > 0;
        case prGE:
          return cv >= 0;
        case prLT:
          return cv < 0;
        case prLE:
          return cv <= 0;
        case prBW:
          return cv >= 0 && cmp(p.GetAddon()) <= 0;
        default:
          return false;
      }
    };
    bool pass;
    if (rel == prNS) {
      pass = std::all_of(cols.begin(), cols.end(), columnPasses);
    } else {
      pass = std::any_of(cols.begin(), cols.end(), columnPasses);
    }
    if (!pass) return false;
  }
  return true;
}

TMdsRelation RandomRelation(std::mt19937& rng) {
  return static_cast<TMdsRelation>(rng() % kRelationCount);
}

class FilterAgainstReference : public ::testing::TestWithParam<unsigned> {};

TEST_P(FilterAgainstReference, RandomConditionsOnRandomRecordsWithNulls) {
  std::mt19937 rng(GetParam());
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  RandomTable rt;
  for (int i = 0; i < 300; ++i) {
    auto r = rt.t.NewRow();
    r->SetDataC(rt.id, i);
    for (TMdsColumn* c : rt.cols)
      if (pick(5) != 0) r->SetDataC(c, RandomValue(c, rng, false));
    rt.t.Append(std::move(r));
  }
  int compared = 0;
  for (int round = 0; round < 400; ++round) {
    TMdsParams params;
    const int count = 1 + pick(3);
    for (int k = 0; k < count; ++k) {
      const TMdsColumn* c =
          rt.cols[static_cast<std::size_t>(pick(static_cast<int>(rt.cols.size())))];
      std::string name = c->GetName();
      // Several columns of the same group now and then.
      if (pick(4) == 0) {
        const TMdsColumn* d =
            rt.cols[static_cast<std::size_t>(pick(static_cast<int>(rt.cols.size())))];
        if (d != c && TypeGroup(d->GetTypeCode()) == TypeGroup(c->GetTypeCode()) &&
            (IsTextType(c->GetTypeCode()) || c->GetTypeCode() == d->GetTypeCode()))
          name += ";" + d->GetName();
      }
      TMdsParam* p = params.Add();
      p->SetName(name);
      const TMdsRelation rel = RandomRelation(rng);
      p->SetRelation(rel);
      const int shape = pick(10);
      if (shape == 0) {
        p->SetValue(Variant::Null());
      } else if (shape <= 2 && rel != prCS && rel != prNS) {
        std::vector<Variant> items;
        for (int n = pick(5); n >= 0; --n)
          items.push_back(pick(8) == 0 ? Variant("") : RandomParamValue(c, rng));
        p->SetValue(Variant::Array(items));
      } else {
        p->SetValue(RandomParamValue(c, rng));
        if (rel == prBW) p->SetAddon(pick(6) == 0 ? Variant::Null() : RandomParamValue(c, rng));
      }
      if (IsTextType(c->GetTypeCode()) && pick(4) == 0) p->SetOptions({poStorable, poPartial});
      if (pick(12) == 0) p->SetEnabled(false);
    }
    // Lists carry only "=", "<>" and "equal or null" in practice.
    for (int k = 0; k < params.Count(); ++k) {
      TMdsParam* p = params.GetItem(k);
      if (!p->GetItems().Empty() && p->GetRelation() != prNE && p->GetRelation() != prEE)
        p->SetRelation(prEQ);
    }
    TParamsFilter f(&rt.t);
    f.Setup(&params);
    for (TMdsRecord* r : rt.t.GetDefaultView()->GetRecords()) {
      bool expected;
      try {
        expected = ReferenceMatch(params, rt.t, *r);
      } catch (const EMdsError&) {
        continue;  // a pairing the plain reading cannot order; the filter skips it
      }
      ASSERT_EQ(f.Match(*r), expected)
          << "round " << round << " record " << r->GetDataC(rt.id).AsInt64() << "\n"
          << params.SaveToText();
      ++compared;
    }
  }
  EXPECT_GT(compared, 100000);
}

INSTANTIATE_TEST_SUITE_P(Seeds, FilterAgainstReference, ::testing::Values(11u, 12345u, 987654u));

// --- SQLite --------------------------------------------------------------------------------

class Db {
 public:
  Db() { EXPECT_EQ(sqlite3_open(":memory:", &fDb), SQLITE_OK); }
  ~Db() { sqlite3_close(fDb); }
  void Exec(const std::string& sql) {
    char* err = nullptr;
    ASSERT_EQ(sqlite3_exec(fDb, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK)
        << (err ? err : "") << sql;
  }
  sqlite3* Handle() { return fDb; }

 private:
  sqlite3* fDb = nullptr;
};

// SQL of a value: numbers as numbers (dates by their stored number), texts quoted.
std::string SqlValue(const TMdsColumn* c, const Variant& v) {
  switch (c->GetTypeCode()) {
    case mtcString:
    case mtcMemo: {
      std::string s = "'";
      for (char ch : v.AsText()) s += ch == '\'' ? std::string("''") : std::string(1, ch);
      return s + "'";
    }
    case mtcCurrency:
    case mtcDateTime:
    case mtcDouble:
    case mtcFixed: {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.17g", v.AsDouble());
      return buf;
    }
    case mtcDate: {
      TTimeStamp ts;
      TryDateTimeToTimeStamp(v.AsDateTime(), ts);
      return std::to_string(ts.Date);
    }
    case mtcBoolean:
      return v.AsBoolean() ? "1" : "0";
    default:
      return std::to_string(v.AsInt64());
  }
}

TEST(FilterAgainstSqlite, SameConditionsOnNonNullData) {
  std::mt19937 rng(4242);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  RandomTable rt;
  // Fixed-point and currency compare as doubles in SQLite: keep to the
  // columns whose values SQLite holds exactly.
  std::vector<TMdsColumn*> cols;
  for (TMdsColumn* c : rt.cols)
    if (c->GetTypeCode() != mtcFixed) cols.push_back(c);
  Db db;
  std::string create = "CREATE TABLE r (ID INTEGER";
  for (TMdsColumn* c : cols)
    create += ", " + c->GetName() + (IsTextType(c->GetTypeCode()) ? " TEXT" : " NUMERIC");
  db.Exec(create + ")");
  db.Exec("BEGIN");
  for (int i = 0; i < 400; ++i) {
    auto r = rt.t.NewRow();
    r->SetDataC(rt.id, i);
    std::string values = std::to_string(i);
    for (TMdsColumn* c : cols) {
      Variant v = RandomValue(c, rng, true);
      r->SetDataC(c, v);
      values += ", " + SqlValue(c, r->GetDataC(c));
    }
    rt.t.Append(std::move(r));
    db.Exec("INSERT INTO r VALUES (" + values + ")");
  }
  db.Exec("COMMIT");

  int checked = 0;
  for (int round = 0; round < 300; ++round) {
    TMdsParams params;
    std::string where;
    for (int k = 0, n = 1 + pick(3); k < n; ++k) {
      const TMdsColumn* c = cols[static_cast<std::size_t>(pick(static_cast<int>(cols.size())))];
      const bool text = IsTextType(c->GetTypeCode());
      std::vector<const TMdsColumn*> named{c};
      if (text && pick(3) == 0) named.push_back(c->GetName() == "CODE" ? cols[1] : cols[0]);
      static const TMdsRelation rels[] = {prEQ, prNE, prGT, prGE, prLT, prLE, prBW, prCS, prNS};
      TMdsRelation rel = rels[pick(9)];
      if (!text && (rel == prCS || rel == prNS)) rel = prEQ;
      const bool list = pick(4) == 0 && rel != prCS && rel != prNS && rel != prBW;
      if (list && rel != prNE) rel = prEQ;
      TMdsParam* p = params.Add();
      std::string name;
      for (const TMdsColumn* col : named) name += (name.empty() ? "" : ";") + col->GetName();
      p->SetName(name);
      p->SetRelation(rel);
      std::vector<Variant> items;
      Variant v1, v2;
      if (list) {
        for (int m = 1 + pick(4); m > 0; --m) items.push_back(RandomValue(c, rng, true));
        p->SetValue(Variant::Array(items));
      } else if (rel == prCS || rel == prNS) {
        static const char* needles[] = {"sb", "GA", "k", "b", "z9", "x"};
        v1 = needles[pick(6)];
        p->SetValue(v1);
      } else {
        v1 = RandomValue(c, rng, true);
        v2 = RandomValue(c, rng, true);
        p->SetValue(v1);
        if (rel == prBW) p->SetAddon(v2);
      }
      // The same condition in SQL, per column, combined like the filter.
      std::string cond;
      for (const TMdsColumn* col : named) {
        std::string one;
        const std::string n1 = col->GetName();
        switch (rel) {
          case prCS:
            one = n1 + " LIKE '%" + v1.AsText() + "%'";
            break;
          case prNS:
            one = n1 + " NOT LIKE '%" + v1.AsText() + "%'";
            break;
          case prBW:
            one = n1 + " BETWEEN " + SqlValue(col, v1) + " AND " + SqlValue(col, v2);
            break;
          default: {
            if (list) {
              std::string in;
              for (const Variant& it : items) in += (in.empty() ? "" : ", ") + SqlValue(col, it);
              one = n1 + (rel == prNE ? " NOT IN (" : " IN (") + in + ")";
              break;
            }
            static const char* ops[] = {"=", "<>", ">", ">=", "<", "<="};
            one = n1 + " " + ops[rel] + " " + SqlValue(col, v1);
          }
        }
        cond += (cond.empty() ? "" : (rel == prNS ? " AND " : " OR ")) + one;
      }
      where += (where.empty() ? "" : " AND ") + ("(" + cond + ")");
    }
    std::set<int> sql;
    sqlite3_stmt* st = nullptr;
    const std::string query = "SELECT ID FROM r WHERE " + where;
    ASSERT_EQ(sqlite3_prepare_v2(db.Handle(), query.c_str(), -1, &st, nullptr), SQLITE_OK) << query;
    while (sqlite3_step(st) == SQLITE_ROW) sql.insert(sqlite3_column_int(st, 0));
    sqlite3_finalize(st);

    TParamsFilter f(&rt.t);
    f.Setup(&params);
    std::set<int> ours;
    for (TMdsRecord* r : rt.t.GetDefaultView()->GetRecords())
      if (f.Match(*r)) ours.insert(static_cast<int>(r->GetDataC(rt.id).AsInt64()));
    ASSERT_EQ(ours, sql) << query;
    checked += static_cast<int>(sql.size());
  }
  EXPECT_GT(checked, 1000);
}

}  // namespace
}  // namespace tarvo
