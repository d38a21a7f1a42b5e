// Query parameters: defaults, batching, SetValue, Match per relation,
// lists of parameters and their persistence.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "actions/MdsParams.h"

namespace tarvo {
namespace {

TEST(MdsParam, StartsWithTheDeclaredDefaults) {
  TMdsParam p;
  EXPECT_EQ(p.GetRelation(), prEQ);
  EXPECT_TRUE(p.GetEnabled());
  EXPECT_TRUE(p.GetVisible());
  EXPECT_TRUE(p.GetOptions() == TMdsParamOptions{poStorable});
  EXPECT_FALSE(p.Valid());
  EXPECT_TRUE(p.Empty());
  p.SetValue(Variant::Null());
  EXPECT_TRUE(p.Valid());  // a null value counts as a value
  p.SetRelation(prBW);
  EXPECT_FALSE(p.Valid());
  p.SetAddon(5);
  EXPECT_TRUE(p.Valid());
  p.SetRelation(prEN);
  p.Clear();
  EXPECT_TRUE(p.Valid());  // "is null" needs no value
}

TEST(MdsParam, BatchesChangesIntoOneNotice) {
  TMdsParam p;
  int notices = 0;
  p.OnChange = [&](TMdsParam&) { ++notices; };

  p.SetValue(Variant::Array({1, 2, 3}));
  EXPECT_EQ(notices, 1);
  ASSERT_EQ(p.GetItems().Count(), 3);
  EXPECT_EQ(p.GetItems()[2].GetValue().AsInt64(), 3);
  EXPECT_TRUE(p.GetValue().IsEmpty());
  EXPECT_TRUE(p.GetAddon().IsEmpty());

  p.Freeze();
  p.SetRelation(prNE);
  p.SetEnabled(false);
  p.SetValue(7);
  p.Freeze();
  p.SetAddon(1);
  p.Unlock();
  EXPECT_EQ(notices, 1);
  p.Unlock();
  EXPECT_EQ(notices, 2);
  EXPECT_EQ(p.GetItems().Count(), 0);

  // Equal values, names, aliases, options and visibility raise nothing.
  p.SetValue(7.0);
  p.SetAddon(1);
  p.SetName("CODE");
  p.SetAlias("Code");
  p.SetOptions({poPartial});
  p.SetVisible(false);
  p.Unlock();  // an unbalanced unlock is ignored
  EXPECT_EQ(notices, 2);
  p.GetItems().Add(4);  // the items are part of the parameter
  EXPECT_EQ(notices, 3);
  p.GetItems()[0].SetValue(4);
  EXPECT_EQ(notices, 3);
  p.GetItems()[0].SetValue(5);
  EXPECT_EQ(notices, 4);
}

TEST(MdsParam, NameAndAliasFollowTheirRules) {
  TMdsParam p;
  p.SetName("PRICE");
  EXPECT_EQ(p.GetAlias(), "PRICE");
  p.SetAlias("PRICE");
  EXPECT_EQ(p.GetAlias(), "PRICE");
  p.SetAlias("Price");
  EXPECT_EQ(p.GetAlias(), "Price");
  p.SetName("Price");  // the alias equal to the new name is dropped
  p.SetName("COST");
  EXPECT_EQ(p.GetAlias(), "COST");
}

TEST(MdsParam, StoresDateTimesWithoutMilliseconds) {
  TMdsParam p;
  const double noon = 45000.5;  // 2023-03-15 12:00:00
  p.SetValue(Variant::DateTime(noon + 0.123 / 86400));
  EXPECT_DOUBLE_EQ(p.GetValue().DoubleValue(), noon);
  EXPECT_EQ(p.GetValue().Kind(), TVarKind::DateTime);
  // A value a hair below noon is noon to the millisecond: it must not
  // become 11:59:59.
  p.SetValue(Variant::DateTime(std::nextafter(noon + 1, 0.0)));
  EXPECT_EQ(p.GetValue().AsText(), "2023-03-16 12:00:00");
  int notices = 0;
  p.OnChange = [&](TMdsParam&) { ++notices; };
  p.SetValue(Variant::DateTime(noon + 1 + 0.4 / 86400));  // rounds to the stored value
  EXPECT_EQ(notices, 0);
}

struct MatchCase {
  TMdsRelation relation;
  Variant value, addon;
  Variant tested;
  bool expected;
};

TEST(MdsParam, MatchesScalarValuesByRelation) {
  const Variant null = Variant::Null();
  const MatchCase cases[] = {
      {prEQ, 5, {}, 5.0, true},
      {prEQ, 5, {}, null, false},
      {prEQ, null, {}, null, true},
      {prNE, 5, {}, 6, true},
      {prNE, 5, {}, null, true},
      {prGT, 5, {}, 6, true},
      {prGT, 5, {}, 5, false},
      {prGT, 5, {}, null, false},
      {prGT, null, {}, 6, false},
      {prGE, "B", {}, "B", true},
      {prLT, "B", {}, "a", false},  // texts order byte for byte
      {prLE, Variant::DateTime(2), {}, Variant::Date(2), true},
      {prCS, "sber", {}, "PAO SBERBANK", true},
      {prCS, "\xD1\x81\xD0\xB1\xD0\xB5\xD1\x80", {}, "\xD0\xA1\xD0\x91\xD0\x95\xD0\xA0", true},
      {prCS, "1.5", {}, 21.55, true},  // numbers by their text
      {prNS, "sber", {}, "GAZPROM", true},
      {prNS, "sber", {}, null, false},
      {prEN, {}, {}, null, true},
      {prEN, {}, {}, 0, false},
      {prNN, {}, {}, 0, true},
      {prEE, 5, {}, null, true},
      {prEE, 5, {}, 5, true},
      {prEE, 5, {}, 4, false},
      {prBW, 1, 3, 2, true},
      {prBW, 1, 3, 3, true},
      {prBW, 1, 3, 4, false},
      {prBW, 1, null, 2, false},
      {prBW, 1, {}, 2, false},
  };
  for (const auto& c : cases) {
    TMdsParam p;
    p.SetRelation(c.relation);
    p.SetValue(c.value);
    p.SetAddon(c.addon);
    EXPECT_EQ(p.Match(c.tested), c.expected)
        << RelationNames[c.relation] << " " << VarToStr(c.value) << " on " << VarToStr(c.tested);
  }
  TMdsParam p;
  p.SetRelation(prGT);
  p.SetValue(5);
  try {
    p.Match("abc");
    ADD_FAILURE() << "text ordered against a number";
  } catch (const EMdsError& e) {
    EXPECT_EQ(e.Id(), "CannotConvertValue");
  }
}

TEST(MdsParam, MatchesListsAndResumesItsSearch) {
  TMdsParam p;
  p.SetValue(Variant::Array({"A", "B", "C"}));
  EXPECT_TRUE(p.Match("C"));
  EXPECT_TRUE(p.Match("A"));  // starts after C and wraps round
  EXPECT_TRUE(p.Match("B"));
  EXPECT_FALSE(p.Match("D"));
  EXPECT_FALSE(p.Match(Variant::Null()));
  p.SetRelation(prNE);
  EXPECT_TRUE(p.Match(Variant::Null()));
  EXPECT_FALSE(p.Match("B"));
  p.SetRelation(prEE);
  EXPECT_TRUE(p.Match(Variant::Null()));

  for (TMdsRelation r : {prGT, prCS, prBW}) {
    p.SetRelation(r);
    try {
      p.Match("A");
      ADD_FAILURE() << "list matched with " << RelationNames[r];
    } catch (const EMdsParamError& e) {
      EXPECT_EQ(std::string(e.what()),
                "List matching not implemented for \"" + std::string(RelationNames[r]) + "\"");
    }
  }

  // The search position of a long list must not outlive the list.
  p.SetRelation(prEQ);
  p.SetValue(Variant::Array({1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_TRUE(p.Match(7));
  p.SetValue(Variant::Array({9, 10}));
  EXPECT_TRUE(p.Match(10));
  EXPECT_TRUE(p.Match(9));
  p.GetItems().Delete(1);
  EXPECT_TRUE(p.Match(9));
  EXPECT_FALSE(p.Match(10));
}

TEST(MdsParams, FindNeedGetPutAndDelete) {
  TMdsParams list;
  int notices = 0;
  list.OnChange = [&](TMdsParams&, TMdsParam*) { ++notices; };
  TMdsParam* code = list.Add("SECCODE", "SBER");
  EXPECT_EQ(list.Find("seccode"), code);
  EXPECT_EQ(list.IndexOf("SecCode"), 0);
  EXPECT_EQ(list.Get("SECCODE").AsText(), "SBER");
  EXPECT_TRUE(list["NONE"].IsNull());
  EXPECT_TRUE(list.Enabled());

  code->SetEnabled(false);
  EXPECT_FALSE(list.Enabled());
  EXPECT_EQ(list.Need("SECCODE"), code);
  EXPECT_TRUE(code->GetEnabled());
  TMdsParam* board = list.Need("BOARD");
  EXPECT_TRUE(board->GetValue().IsNull());
  EXPECT_EQ(list.Put("BOARD", "TQBR"), board);
  EXPECT_EQ(list.Get("board").AsText(), "TQBR");
  EXPECT_EQ(list.Put("LOT", 10)->GetValue().AsInt64(), 10);
  EXPECT_EQ(list.Count(), 3);
  list.Delete("lot");
  list.Delete("lot");
  EXPECT_EQ(list.Count(), 2);

  // One notice per change outside a batch, one for a whole batch.
  notices = 0;
  list.BeginUpdate();
  EXPECT_TRUE(list.Locked());
  list.Put("SECCODE", "GAZP");
  list.Add("X", 1);
  list.EndUpdate();
  EXPECT_EQ(notices, 1);

  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_FALSE(list.Enabled());
}

TEST(MdsParams, EqualityComparesByMode) {
  TMdsParams a, b;
  a.Add("CODE", "SBER");
  b.Add("code", "SBER");
  a.Add("PRICE", 10)->SetOptions({poStorable, poNoCompare});
  b.Add("PRICE", 11)->SetOptions({poStorable, poNoCompare});
  EXPECT_TRUE(a.Equal(&b, TMdsParamsCompareMode::cmComparable));
  EXPECT_FALSE(a.Equal(&b, TMdsParamsCompareMode::cmAll));
  EXPECT_FALSE(a.Equal(nullptr, TMdsParamsCompareMode::cmAll));
  b.Find("PRICE")->SetValue(10);
  EXPECT_TRUE(a.Equal(&b, TMdsParamsCompareMode::cmAll));
  b.Find("PRICE")->SetVisible(false);
  EXPECT_FALSE(a.Equal(&b, TMdsParamsCompareMode::cmVisible));
  EXPECT_EQ(b.VisibleCount(), 1);
  EXPECT_EQ(a.ComparableCount(TMdsParamsCompareMode::cmComparable), 1);

  TMdsParam x, y;
  x.SetRelation(prBW);
  y.SetRelation(prBW);
  x.SetValue(1);
  y.SetValue(1);
  x.SetAddon(2);
  y.SetAddon(3);
  EXPECT_FALSE(x.Equal(y));  // "between" compares both bounds
  x.SetRelation(prEN);
  y.SetRelation(prEN);
  EXPECT_TRUE(x.Equal(y));  // "is null" compares no value

  TMdsParams copy;
  copy.Assign(a);
  EXPECT_TRUE(copy.Equal(&a, TMdsParamsCompareMode::cmAll));
  EXPECT_EQ(copy.Find("PRICE")->GetOptions().Bits(), a.Find("PRICE")->GetOptions().Bits());
}

TEST(MdsParams, PersistOnlyWhatDiffersFromTheDefaults) {
  TMdsParams list;
  list.Add()->SetName("A");
  TMdsParam* bw = list.Add("PRICE", 10.5);
  bw->SetRelation(prBW);
  bw->SetAddon(Variant::Currency(123456));
  bw->SetAlias("Price");
  TMdsParam* l = list.Add("BOARD;SECBOARD", Variant::Array({"TQBR", "it's\r\n", Variant::Null()}));
  l->GetItems()[1].SetVisible(false);
  l->SetRelation(prNE);
  l->SetOptions({poPartial, poNoCompare});
  l->SetEnabled(false);
  l->SetVisible(false);
  l->SetAddon(1);  // not stored: only "between" without items keeps its addon
  TMdsParam* dt = list.Add("AT", Variant::DateTime(45000.25));
  dt->SetAlias("AT");  // equal to the name: not stored

  const std::string text = list.SaveToText();
  EXPECT_EQ(text,
            "item\n"
            "  Name = 'A'\n"
            "end\n"
            "item\n"
            "  Name = 'PRICE'\n"
            "  Alias = 'Price'\n"
            "  Relation = prBW\n"
            "  Value = Double(10.5)\n"
            "  Addon = Currency(12.3456)\n"
            "end\n"
            "item\n"
            "  Name = 'BOARD;SECBOARD'\n"
            "  Relation = prNE\n"
            "  Options = [poPartial, poNoCompare]\n"
            "  Enabled = False\n"
            "  Visible = False\n"
            "  Items = (\n"
            "    'TQBR'\n"
            "    'it''s'#13#10 Hidden\n"
            "    Null\n"
            "  )\n"
            "end\n"
            "item\n"
            "  Name = 'AT'\n"
            "  Value = DateTime(45000.25)\n"
            "end\n");

  TMdsParams back;
  back.LoadFromText(text);
  EXPECT_TRUE(back.Equal(&list, TMdsParamsCompareMode::cmAll));
  EXPECT_EQ(back.SaveToText(), text);
  EXPECT_EQ(back.Find("PRICE")->GetAlias(), "Price");
  EXPECT_FALSE(back.GetItem(2)->GetItems()[1].GetVisible());
  EXPECT_TRUE(back.GetItem(2)->GetOptions().Contains(poNoCompare));
  EXPECT_FALSE(back.GetItem(2)->GetEnabled());
  EXPECT_TRUE(back.GetItem(0)->GetValue().IsEmpty());  // never assigned stays unassigned

  const char* bad[] = {
      "item\n  Name = 'A'\n",                  // no end
      "item\n  Relation = prXX\nend\n",        // unknown relation
      "item\n  Value = Int(abc)\nend\n",       // bad number
      "item\n  Name = 'A\nend\n",              // unterminated text
      "item\n  Colour = 'red'\nend\n",         // unknown property
      "thing\n",                               // no item
      "item\n  Items = (\n    1\nend\n",       // unterminated list
      "item\n  Options = [poNothing]\nend\n",  // unknown option
  };
  for (const char* b : bad) {
    try {
      back.LoadFromText(b);
      ADD_FAILURE() << "accepted: " << b;
    } catch (const EMdsParamError&) {
    }
    EXPECT_EQ(back.SaveToText(), text) << b;  // unchanged
  }
}

TEST(MdsParams, LiteralsKeepEveryKindAndBit) {
  const Variant values[] = {
      Variant::Null(),
      Variant(true),
      Variant(-5),
      Variant(UINT64_MAX),
      Variant(0.1 + 0.2),
      Variant(-1e-300),
      Variant::Currency(-9999),
      Variant::DateTime(-1.25),
      Variant::Date(45000),
      Variant::Time(0.5),
      Variant(TFixed{-123456789, 9}),
      Variant(""),
      Variant("a'b#c\t\xD0\x96"),
      Variant::Array({1, "x", Variant::Array({})}),
  };
  for (const Variant& v : values) {
    std::string lit = VariantToLiteral(v);
    std::size_t pos = 0;
    Variant back = LiteralToVariant(lit, pos);
    EXPECT_EQ(pos, lit.size()) << lit;
    EXPECT_EQ(back.Kind(), v.Kind()) << lit;
    EXPECT_TRUE(VarEqual(back, v)) << lit;
  }
}

}  // namespace
}  // namespace tarvo
