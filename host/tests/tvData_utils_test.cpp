// Utilities: name lists, typed raw comparison, text search, containers,
// the exporter and the progress registry.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "host/tvData.h"

namespace tarvo {
namespace {

TEST(MdsUtils, SplitAndUnite) {
  EXPECT_EQ(Split(" A, B ,,C "), (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(Split("X;Y", ';'), (std::vector<std::string>{"X", "Y"}));
  EXPECT_TRUE(Split("").empty());
  EXPECT_EQ(Unite({"A", "B"}), "A,B");
  EXPECT_EQ(Unite({}), "");
}

template <class T>
std::string Raw(T v) {
  return std::string(reinterpret_cast<const char*>(&v), sizeof v);
}

TEST(MdsUtils, CompareDataOrdersEachTypeByValue) {
  struct Case {
    const char* what;
    int type;
    std::string a, b;
    int sign;
    bool partial = false;
  } cases[] = {
      {"int8 sign", mtcInt8, Raw<std::int8_t>(-1), Raw<std::int8_t>(1), -1},
      {"uint8 not signed", mtcUInt8, Raw<std::uint8_t>(255), Raw<std::uint8_t>(1), 1},
      {"int32", mtcInt32, Raw<std::int32_t>(-70000), Raw<std::int32_t>(5), -1},
      {"uint64 top bit", mtcUInt64, Raw<std::uint64_t>(1ull << 63), Raw<std::uint64_t>(1), 1},
      {"double", mtcDouble, Raw(-0.5), Raw(0.25), -1},
      {"double zero signs", mtcDouble, Raw(-0.0), Raw(0.0), 0},
      {"nan first", mtcDateTime, Raw(std::nan("")), Raw(-1e300), -1},
      {"currency", mtcCurrency, Raw<std::int64_t>(-1), Raw<std::int64_t>(0), -1},
      {"date", mtcDate, Raw<std::int32_t>(700000), Raw<std::int32_t>(699999), 1},
      {"text bytes", mtcString, "ab", "b", -1},
      {"text prefix", mtcString, "ab", "abc", -1},
      {"text partial", mtcString, "abc", "ab", 0, true},
      {"text partial shorter", mtcString, "a", "ab", -1, true},
      {"short buffer", mtcInt32, std::string("\x00", 1), Raw<std::int32_t>(0), -1},
  };
  for (const auto& c : cases) {
    TMdsCompareOptions o;
    if (c.partial) o.Include(TMdsCompareOption::Partial);
    EXPECT_EQ(CompareData(c.type, c.a.data(), c.b.data(), c.a.size(), c.b.size(), o), c.sign)
        << c.what;
  }
  unsigned char fa[TFixed::kRawSize], fb[TFixed::kRawSize];
  TFixed{15, 1}.ToRaw(fa);   // 1.5
  TFixed{149, 2}.ToRaw(fb);  // 1.49
  EXPECT_EQ(CompareData(mtcFixed, fa, fb, sizeof fa, sizeof fb), 1);
}

TEST(MdsUtils, TextSearchIgnoresCaseBeyondAscii) {
  struct Case {
    const char* needle;
    const char* hay;
    bool found;
  } cases[] = {
      {"sber", "PAO SBERBANK", true},
      {"", "anything", true},
      {"x", "", false},
      {"bank", "ban", false},
      {"\xD1\x81\xD0\xB1\xD0\xB5\xD1\x80",
       "\xD0\x9F\xD0\x90\xD0\x9E \xD0\xA1\xD0\x91\xD0\x95\xD0\xA0", true},  // Cyrillic
      {"k",
       "\xE2\x84\xAA"
       "elvin",
       true},  // the Kelvin sign folds to "k"
      {"ab",
       "\xC3\xA9"
       "AB",
       true},
      {"zz",
       "\xC3\xA9"
       "AB",
       false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TTextSearcher(c.needle).In(std::string_view(c.hay)), c.found)
        << c.needle << " in " << c.hay;
  }
  EXPECT_EQ(MemSearch("abcabc", 6, "ca", 2), 2u);
  EXPECT_EQ(MemSearch("abc", 3, "x", 1), std::string_view::npos);
}

TEST(MdsUtils, SortedStringListFindsIgnoringCaseUnlessAsked) {
  TAnsiStringList l;
  l.SetSorted(true);
  l.Add("b");
  l.Add("A");
  l.Add("c");
  EXPECT_EQ(l[0], "A");
  EXPECT_EQ(l.IndexOf("B"), 1);
  l.SetCaseSensitive(true);
  EXPECT_EQ(l.IndexOf("B"), -1);
  EXPECT_EQ(l.IndexOf("b"), 1);
  l.SetText("x\r\ny\nz");
  EXPECT_EQ(l.Count(), 3);
  EXPECT_THROW(l[3], EMdsError);
  TPointerSet set;
  int a = 0;
  EXPECT_TRUE(set.Add(&a));
  EXPECT_FALSE(set.Add(&a));
  EXPECT_TRUE(set.Contains(&a));
  EXPECT_TRUE(set.Remove(&a));
  EXPECT_EQ(set.Count(), 0);
}

struct Counter final : IMdsProgress {
  void Progress(std::int64_t done, std::int64_t total) override {
    last = done;
    this->total = total;
  }
  bool Cancelled() override { return cancel && last >= 1024; }
  std::int64_t last = 0, total = 0;
  bool cancel = false;
};

class Upper final : public TMdsTextExporter {
 protected:
  std::string WriteCell(const TMdsRecord& r, const TMdsColumn& c) override {
    std::string s = TMdsTextExporter::WriteCell(r, c);
    for (char& ch : s) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return s;
  }
};

TEST(MdsUtils, ExporterQuotesWhatWouldSplitAndFollowsTheView) {
  TMdsTable t("T");
  TMdsColumn* code = t.GetColumns().Add("CODE", mtcString);
  TMdsColumn* note = t.GetColumns().Add("NOTE", mtcString);
  TMdsColumn* hidden = t.GetColumns().Add("HIDDEN", mtcInt32);
  note->SetDisplayLabel("Note");
  hidden->SetVisible(false);
  const char* notes[] = {"plain", "tab\there", "quote \"q\"", "two\nlines"};
  for (int i = 0; i < 4; ++i) {
    auto r = t.NewRow();
    r->SetDataC(code, std::string(1, static_cast<char>('d' - i)));
    r->SetDataC(note, notes[i]);
    r->SetDataC(hidden, i);
    t.Append(std::move(r));
  }
  TMdsView v(&t);
  v.SetOrderBy("CODE");
  v.Open();
  std::ostringstream out;
  TMdsTextExporter ex;
  ex.UseDisplayLabels = true;
  EXPECT_EQ(ex.Export(v, out), 4);
  EXPECT_EQ(out.str(),
            "CODE\tNote\r\n"
            "a\t\"two\nlines\"\r\n"
            "b\t\"quote \"\"q\"\"\"\r\n"
            "c\t\"tab\there\"\r\n"
            "d\tplain\r\n");

  std::ostringstream custom;
  Upper up;
  up.NamesLine = false;
  up.VisibleOnly = false;
  up.Delimiter = ";";
  up.Export(v, custom);
  EXPECT_EQ(custom.str().substr(0, 17), "A;\"TWO\nLINES\";3\r\n");
}

TEST(MdsUtils, ProgressIsFoundPerComponentAndCanStopAnExport) {
  Counter counter;
  int component = 0;
  RegisterProgress(&component, &counter);
  EXPECT_EQ(FindProgress(&component), &counter);
  EXPECT_EQ(FindProgress(&counter), nullptr);

  TMdsTable t("T");
  TMdsColumn* a = t.GetColumns().Add("A", mtcInt32);
  for (int i = 0; i < 3000; ++i) {
    auto r = t.NewRow();
    r->SetDataC(a, i);
    t.Append(std::move(r));
  }
  std::ostringstream out;
  TMdsTextExporter ex;
  ex.Progress = FindProgress(&component);
  EXPECT_EQ(ex.Export(*t.GetDefaultView(), out), 3000);
  EXPECT_EQ(counter.last, 3000);
  counter.cancel = true;
  counter.last = 0;
  EXPECT_EQ(ex.Export(*t.GetDefaultView(), out), 1024);
  RegisterProgress(&component, nullptr);
  EXPECT_EQ(FindProgress(&component), nullptr);
}

}  // namespace
}  // namespace tarvo
