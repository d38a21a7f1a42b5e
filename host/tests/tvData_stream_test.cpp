// Saving tables to streams and loading them back.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "host/tvData.h"

namespace tarvo {
namespace {

// A table with every storable type, nulls, a key and display properties.
void Fill(TMdsTable& t) {
  auto& c = t.GetColumns();
  c.Add("ID", mtcInt32);
  c.Add("FLAG", mtcBoolean);
  c.Add("I8", mtcInt8);
  c.Add("U64", mtcUInt64);
  c.Add("CH", mtcChars, 1);
  c.Add("PRICE", mtcDouble);
  c.Add("CUR", mtcCurrency);
  c.Add("AT", mtcDateTime);
  c.Add("DAY", mtcDate);
  c.Add("TM", mtcTime);
  c.Add("NAME", mtcMemo);
  c.Add("DEC", mtcFixed);
  c.GetName("NAME")->SetDisplayLabel("Name shown");
  c.GetName("NAME")->SetDisplayWidth(33);
  c.GetName("PRICE")->SetAttribute(mcaZeroIsNull);
  c.GetName("PRICE")->SetVisible(false);
  c.GetName("ID")->SetIsLookupKey(true);
  c.GetName("ID")->SetLookupDisplay(c.GetName("NAME"));
  t.SetPrimaryKey("ID");
  for (int i = 0; i < 6; ++i) {
    auto r = t.NewRow();
    r->SetDataN("ID", 6 - i);  // key order differs from insertion order
    if (i % 2) r->SetDataN("FLAG", i % 4 == 1);
    r->SetDataN("I8", -i);
    r->SetDataN("U64", UINT64_MAX - static_cast<unsigned>(i));
    if (i != 3) r->SetDataN("CH", std::string(1, static_cast<char>('a' + i)));
    r->SetDataN("PRICE", i * 1.5);
    r->SetDataN("CUR", Variant::Currency(i * 12345));
    r->SetDataN("AT", Variant::DateTime(45000.5 + i));
    r->SetDataN("DAY", Variant::Date(45000 + i));
    r->SetDataN("TM", Variant::Time(i / 24.0));
    r->SetDataN("NAME", i == 2 ? std::string("line\r\nbreak \"quoted\"\t\xD0\x96") : std::string());
    r->SetDataN("DEC", Variant(TFixed{-i * 1001, 3}));
    t.Append(std::move(r));
  }
}

std::vector<std::string> Dump(TMdsTable& t) {
  std::vector<std::string> out;
  TMdsView v(&t);  // insertion order? no: the key order, which both tables share
  v.Open();
  for (TMdsRecord* r : v.GetRecords()) {
    std::string line;
    for (int i = 0; i < t.GetColumns().Count(); ++i) {
      const TMdsColumn* c = t.GetColumns().GetItem(i);
      line += r->GetIsNullC(c) ? "<null>" : VarToStr(r->GetDataC(c));
      line += "|";
    }
    out.push_back(line);
  }
  return out;
}

std::string Save(const TMdsTable& t, bool full) {
  std::ostringstream s;
  t.SaveToStream(s, full);
  return s.str();
}

TEST(MdsStreams, RoundTripEveryTypeNullsAndDefinitions) {
  TMdsTable a("A");
  Fill(a);
  const std::string bytes = Save(a, true);
  TMdsTable b("B");
  std::istringstream in(bytes);
  b.LoadFromStream(in);
  EXPECT_EQ(Dump(a), Dump(b));
  EXPECT_EQ(b.GetPrimaryKey(), "ID");
  const TMdsColumn* name = b.GetColumns().GetName("NAME");
  EXPECT_EQ(name->GetDisplayLabel(), "Name shown");
  EXPECT_EQ(name->GetDisplayWidth(), 33);
  EXPECT_TRUE(b.GetColumns().GetName("PRICE")->HasAttribute(mcaZeroIsNull));
  EXPECT_FALSE(b.GetColumns().GetName("PRICE")->GetVisible());
  EXPECT_EQ(b.GetColumns().GetName("ID")->GetLookupDisplay(), name);
  EXPECT_EQ(b.GetColumns().GetName("CH")->GetSize(), 1);
  // Saving the loaded table gives the same bytes: insertion order survives.
  EXPECT_EQ(Save(b, true), bytes);

  // Without full definitions only the columns' names, types and sizes go.
  TMdsTable c("C");
  std::istringstream plain(Save(a, false));
  c.LoadFromStream(plain);
  EXPECT_EQ(c.GetColumns().GetName("NAME")->GetDisplayLabel(), "NAME");
  EXPECT_EQ(c.GetPrimaryKey(), "");
  EXPECT_EQ(c.GetRecordCount(), 6);
}

TEST(MdsStreams, LoadByNameAcceptFilterAndKeyUpdates) {
  TMdsTable a("A");
  Fill(a);
  const std::string bytes = Save(a, false);

  TMdsTable t("T");
  TMdsColumn* id = t.GetColumns().Add("ID", mtcInt64);         // another integer type
  TMdsColumn* extra = t.GetColumns().Add("EXTRA", mtcString);  // not in the stream
  TMdsColumn* name = t.GetColumns().Add("name", mtcString);
  t.SetPrimaryKey("ID");
  auto r = t.NewRow();
  r->SetDataC(id, 2);
  r->SetDataC(extra, "kept");
  r->SetDataC(name, "old");
  TMdsRecord* existing = t.Append(std::move(r));

  // Without the option the columns must match exactly.
  std::istringstream strict(bytes);
  try {
    t.LoadFromStream(strict);
    ADD_FAILURE() << "mismatched columns accepted";
  } catch (const EMdsError& e) {
    EXPECT_EQ(e.Id(), "StreamColumns");
  }
  EXPECT_EQ(t.GetRecordCount(), 1);

  t.SetOptions(mtoLoadByName);
  std::istringstream in(bytes);
  t.LoadFromStream(in, [&](const TMdsRecord& rec) { return rec.GetDataC(id).AsInt64() != 5; });
  EXPECT_EQ(t.GetRecordCount(), 5);  // six stored, one refused, one updated in place
  EXPECT_EQ(existing->GetDataC(extra).AsText(), "kept");
  EXPECT_EQ(existing->GetDataC(name).AsText(), "");  // the stored value replaced "old"
  EXPECT_FALSE(existing->GetIsNullC(name));
  EXPECT_EQ(t.FindKey(std::vector<Variant>{5}), nullptr);
  EXPECT_TRUE(t.FindKey(std::vector<Variant>{4})->GetIsNullC(extra));
}

TEST(MdsStreams, DamagedDataIsAClearErrorAndChangesNothing) {
  TMdsTable a("A");
  Fill(a);
  const std::string bytes = Save(a, true);
  // Every truncation, and a flipped byte at every position, either loads
  // or fails with the layer's error; a failure leaves the table as it was.
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    TMdsTable t("T");
    std::istringstream in(bytes.substr(0, cut));
    EXPECT_THROW(t.LoadFromStream(in), EMdsError) << "cut at " << cut;
    EXPECT_EQ(t.GetRecordCount(), 0);
  }
  for (std::size_t pos = 0; pos < bytes.size(); ++pos) {
    std::string bad = bytes;
    bad[pos] = static_cast<char>(bad[pos] ^ 0xA5);
    TMdsTable t("T");
    TMdsColumn* keep = t.GetColumns().Add("ID", mtcInt32);
    t.SetOptions(mtoLoadByName);
    auto r = t.NewRow();
    r->SetDataC(keep, 99);
    t.Append(std::move(r));
    std::istringstream in(bad);
    try {
      t.LoadFromStream(in);
    } catch (const EMdsError&) {
      EXPECT_EQ(t.GetRecordCount(), 1) << "flip at " << pos;
    }
    // An empty table takes the stored columns only when everything reads.
    TMdsTable empty("E");
    std::istringstream again(bad);
    try {
      empty.LoadFromStream(again);
    } catch (const EMdsError&) {
      EXPECT_EQ(empty.GetColumns().Count(), 0) << "flip at " << pos;
      EXPECT_EQ(empty.GetRecordCount(), 0) << "flip at " << pos;
    }
  }
  // A huge declared text length does not allocate it up front.
  std::string lying = bytes.substr(0, 11) + std::string("\xFF\xFF\xFF\x3F", 4);
  TMdsTable t("T");
  std::istringstream in(lying);
  EXPECT_THROW(t.LoadFromStream(in), EMdsError);
}

TEST(MdsStreams, WriteFailureIsReported) {
  TMdsTable a("A");
  Fill(a);
  std::ostringstream out;
  out.setstate(std::ios::badbit);
  try {
    a.SaveToStream(out);
    ADD_FAILURE() << "a failed write reported as success";
  } catch (const EMdsError& e) {
    EXPECT_EQ(e.Id(), "StreamWrite");
  }
}

}  // namespace
}  // namespace tarvo
