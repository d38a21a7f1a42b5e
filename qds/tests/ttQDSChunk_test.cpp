#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "platform/core/DateTime.h"
#include "qds/ttQDSData.h"
#include "testing/Sandbox.h"

namespace tarvo {
namespace {

// A block with one column of every type, in this order:
//   0 CODE  fixed string of 4  (bytes 12)
//   1 NAME  general string     (bytes 15)
//   2 LOT   int32
//   3 VOL   int64
//   4 PRICE double
//   5 DAY   date
//   6 AT    datetime
//   7 TIME  time
//   8 NOTE  string without bytes
//   9 KIND  an unknown type (a general string)
//  10 EXTRA no metadata at all (ctUnknown)
const char* const kBlock = R"({
  "metadata": {
    "CODE": {"type": "string", "bytes": 12},
    "NAME": {"type": "string", "bytes": 15},
    "LOT": {"type": "int32"},
    "VOL": {"type": "int64"},
    "PRICE": {"type": "double"},
    "DAY": {"type": "date"},
    "AT": {"type": "datetime"},
    "TIME": {"type": "time"},
    "NOTE": {"type": "string"},
    "KIND": {"type": "boolean"}
  },
  "columns": ["CODE", "NAME", "LOT", "VOL", "PRICE", "DAY", "AT", "TIME", "NOTE", "KIND", "EXTRA"],
  "data": [
    ["TQBR", "Sber", 10, 1099511627776, 250.25, "2024-01-02", "2024-01-02 10:30:00", "18:45:00", "n", true, 1],
    ["TQB", "SBER", -7, -1, 0.1, "", "2024-01-03 00:00:01", "00:00:00", 12.5, "x", 2],
    [null, null, null, null, null, null, null, null, null, null, null],
    ["TQBRX", "other", 0, 0, 0, "1999-12-31"]
  ]
})";

struct ChunkFixture : ::testing::Test {
  std::unique_ptr<TJsonDocument> doc = TJsonDocument::Parse(kBlock);
  std::unique_ptr<TStructuredChunk> chunk;

  void SetUp() override {
    ASSERT_TRUE(TStructuredChunk::LoadFromJSON(nullptr, chunk, doc->Root(), true));
    ASSERT_EQ(chunk->RowCount(), 4u);
  }
  TQDSVariant V(std::size_t row, const char* column) const {
    return chunk->Value(chunk->GetRow(row), column);
  }
  bool Null(std::size_t row, const char* column) const {
    return chunk->IsNull(row, chunk->FindColumn(column));
  }
};

TEST_F(ChunkFixture, ColumnTypesFromMetadata) {
  struct Expect {
    const char* name;
    TColumnType type;
    int maxSize;
  };
  const Expect expected[] = {
      {"CODE", TColumnType::ctFixedString, 4}, {"NAME", TColumnType::ctString, 0},
      {"LOT", TColumnType::ctInt32, 0},        {"VOL", TColumnType::ctInt64, 0},
      {"PRICE", TColumnType::ctDouble, 0},     {"DAY", TColumnType::ctDateOnly, 0},
      {"AT", TColumnType::ctDateTime, 0},      {"TIME", TColumnType::ctTimeOnly, 0},
      {"NOTE", TColumnType::ctString, 0},      {"KIND", TColumnType::ctString, 0},
      {"EXTRA", TColumnType::ctUnknown, 0},
  };
  ASSERT_EQ(chunk->ColumnCount(), std::size(expected));
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    SCOPED_TRACE(expected[i].name);
    const TChunkColumn* c = chunk->GetColumn(i);
    EXPECT_EQ(c->Name(), expected[i].name);
    EXPECT_EQ(c->ColumnType(), expected[i].type);
    EXPECT_EQ(c->MaxSize(), expected[i].maxSize);
    EXPECT_EQ(c->JsonIndex(), static_cast<int>(i));
  }
  EXPECT_EQ(chunk->FindColumn("code"), chunk->GetColumn(0)) << "names are found ignoring case";
  EXPECT_EQ(chunk->FindColumn("nope"), nullptr);
  EXPECT_THROW(chunk->GetColumn(11), EQDSException);
}

TEST(ChunkColumns, StringWidthRule) {
  struct Case {
    const char* bytes;
    TColumnType type;
    int maxSize;
  };
  const Case cases[] = {
      {"3", TColumnType::ctFixedString, 1},  {"12", TColumnType::ctFixedString, 4},
      {"14", TColumnType::ctFixedString, 4}, {"15", TColumnType::ctString, 0},
      {"0", TColumnType::ctString, 0},       {"2", TColumnType::ctString, 0},
      {"-12", TColumnType::ctString, 0},     {"\"12\"", TColumnType::ctString, 0},
      {"12.5", TColumnType::ctString, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    const auto meta =
        TJsonDocument::Parse(std::string(R"({"type":"string","bytes":)") + c.bytes + "}");
    const auto column = TChunkColumn::Create(nullptr, "C", 0, meta->Root());
    EXPECT_EQ(column->ColumnType(), c.type);
    EXPECT_EQ(column->MaxSize(), c.maxSize);
  }
}

TEST_F(ChunkFixture, ValuesOfEveryType) {
  EXPECT_EQ(V(0, "CODE"), TQDSVariant(std::string("TQBR")));
  EXPECT_EQ(V(0, "NAME"), TQDSVariant(std::string("Sber")));
  EXPECT_EQ(V(0, "LOT"), TQDSVariant(std::int32_t{10}));
  EXPECT_EQ(V(0, "VOL"), TQDSVariant(std::int64_t{1099511627776}));
  EXPECT_EQ(V(0, "PRICE"), TQDSVariant(250.25));
  EXPECT_EQ(V(0, "DAY"), TQDSVariant(static_cast<std::int64_t>(platform::EncodeDate(2024, 1, 2))));
  EXPECT_NEAR(std::get<TQDSDateTime>(V(0, "AT")).value,
              platform::EncodeDate(2024, 1, 2) + platform::EncodeTime(10, 30, 0, 0), 1e-9);
  EXPECT_NEAR(std::get<TQDSDateTime>(V(0, "TIME")).value, platform::EncodeTime(18, 45, 0, 0), 1e-9);
  EXPECT_EQ(V(0, "NOTE"), TQDSVariant(std::string("n")));
  EXPECT_EQ(V(0, "KIND"), TQDSVariant(std::string("true")));
  EXPECT_TRUE(VarIsNull(V(0, "EXTRA")));
  EXPECT_TRUE(Null(0, "EXTRA"));

  // Numbers in a string column read as their text; a fixed string is cut.
  EXPECT_EQ(V(1, "NOTE"), TQDSVariant(std::string("12.5")));
  EXPECT_EQ(V(3, "CODE"), TQDSVariant(std::string("TQBR")));
  EXPECT_EQ(V(1, "CODE"), TQDSVariant(std::string("TQB")));

  for (const char* c : {"CODE", "NAME", "LOT", "VOL", "PRICE", "DAY", "AT", "TIME", "NOTE", "KIND"})
    EXPECT_FALSE(Null(0, c)) << c;
}

TEST_F(ChunkFixture, NullsFromJsonNullsEmptyDatesAndShortRows) {
  for (const char* c :
       {"CODE", "NAME", "LOT", "VOL", "PRICE", "DAY", "AT", "TIME", "NOTE", "KIND"}) {
    EXPECT_TRUE(Null(2, c)) << "JSON null in " << c;
    EXPECT_FALSE(Null(1, c) && std::string(c) != "DAY") << c;
  }
  EXPECT_TRUE(Null(1, "DAY")) << "an empty date is null";
  EXPECT_EQ(V(1, "DAY"), TQDSVariant(std::int64_t{0}));
  // Row 3 has six values: the columns past its end are null.
  EXPECT_FALSE(Null(3, "DAY"));
  for (const char* c : {"AT", "TIME", "NOTE", "KIND"}) EXPECT_TRUE(Null(3, c)) << c;
}

TEST_F(ChunkFixture, StringPoolMergesLetterCase) {
  // "Sber" came first, so the later "SBER" reads back as "Sber".
  EXPECT_EQ(V(1, "NAME"), TQDSVariant(std::string("Sber")));
  const TChunkColumn* name = chunk->FindColumn("NAME");
  EXPECT_EQ(name->StringPool(), (std::vector<std::string>{"Sber", "other"}));

  const auto doc2 = TJsonDocument::Parse(R"({"metadata":{"N":{"type":"string"}},"columns":["N"],
    "data":[["ABC"],["abc"],["Привет"],["ПРИВЕТ"],["Abd"]]})");
  std::unique_ptr<TStructuredChunk> c2;
  ASSERT_TRUE(TStructuredChunk::LoadFromJSON(nullptr, c2, doc2->Root(), true));
  const TChunkColumn* n = c2->GetColumn(0);
  EXPECT_EQ(n->StringPool(), (std::vector<std::string>{"ABC", "Привет", "Abd"}));
  EXPECT_EQ(c2->Value(1, n), TQDSVariant(std::string("ABC")));
  EXPECT_EQ(c2->Value(3, n), TQDSVariant(std::string("Привет")));
}

TEST(ChunkStringPool, CaseMergingAcrossScripts) {
  // Every basic Cyrillic capital (U+0400-U+042F) followed by its small letter,
  // then letters beyond that range and beyond Cyrillic.
  std::string rows = "[";
  for (char32_t cp = 0x400; cp < 0x430; ++cp) {
    const char32_t lower = cp < 0x410 ? cp + 0x50 : cp + 0x20;
    for (const char32_t c : {cp, lower}) {
      std::string text = "x";
      text += static_cast<char>(0xC0 | (c >> 6));
      text += static_cast<char>(0x80 | (c & 0x3F));
      rows += "[\"" + text + "\"],";
    }
  }
  rows += R"(["ҐАНОК"],["ґанок"],["ÄRGER"],["ärger"],["ΣΟΦΙΑ"],["σοφια"],["Straße"],["STRASSE"]])";
  const auto doc = TJsonDocument::Parse(rows);
  auto chunk = TStructuredChunk::CreateFromList(nullptr, {"T"});
  chunk->Feed(doc->Root());
  const TChunkColumn* t = chunk->GetColumn(0);
  for (std::size_t r = 0; r < 96; r += 2) {
    SCOPED_TRACE(r);
    EXPECT_EQ(chunk->Value(r + 1, t), chunk->Value(r, t))
        << "a small letter merges into its capital";
  }
  EXPECT_EQ(chunk->Value(97, t), TQDSVariant(std::string("ҐАНОК")));
  EXPECT_EQ(chunk->Value(99, t), TQDSVariant(std::string("ÄRGER")));
  EXPECT_EQ(chunk->Value(101, t), TQDSVariant(std::string("ΣΟΦΙΑ")));
  EXPECT_EQ(chunk->Value(103, t), TQDSVariant(std::string("STRASSE")))
      << "simple folding keeps ß apart";
  EXPECT_EQ(t->PoolSize(), 48u + 5u);
}

TEST_F(ChunkFixture, RowLayoutAndTheEighthColumnsNullByte) {
  // Typed columns in order: CODE(4) NAME(4) LOT(4) VOL(8) PRICE(8) DAY(8) AT(8)
  // take bits 0..6 of byte 0; TIME, the eighth, opens a new null byte after
  // its value; NOTE and KIND follow with bits 1 and 2 of it.
  struct Expect {
    const char* name;
    std::uint32_t offset, nullOffset, nullMask;
  };
  const Expect expected[] = {
      {"CODE", 1, 0, 1},    {"NAME", 5, 0, 2},   {"LOT", 9, 0, 4},  {"VOL", 13, 0, 8},
      {"PRICE", 21, 0, 16}, {"DAY", 29, 0, 32},  {"AT", 37, 0, 64}, {"TIME", 45, 53, 1},
      {"NOTE", 54, 53, 2},  {"KIND", 58, 53, 4},
  };
  for (const Expect& e : expected) {
    SCOPED_TRACE(e.name);
    const TChunkColumn* c = chunk->FindColumn(e.name);
    EXPECT_EQ(c->Offset(), e.offset);
    EXPECT_EQ(c->NullOffset(), e.nullOffset);
    EXPECT_EQ(c->NullMask(), e.nullMask);
  }
  EXPECT_EQ(chunk->RowSize(), 62u);
  // Row 2 is all nulls: bits 0..6 of byte 0 and 0..2 of byte 53, nothing else.
  const TChunkRow row = chunk->GetRow(2);
  EXPECT_EQ(row[0], 0x7F);
  EXPECT_EQ(row[53], 0x07);
}

TEST_F(ChunkFixture, FindMatchesEachTypeAndSkipsNullCells) {
  struct Case {
    const char* column;
    TQDSVariant value;
    std::optional<std::size_t> row;
  };
  const Case cases[] = {
      {"CODE", std::string("TQBR"), 0},
      {"CODE", std::string("TQB"), 1},  // exact: the prefix does not find TQBR
      {"CODE", std::string("TQ"), std::nullopt},
      {"CODE", std::string("TQBRX"), std::nullopt},
      {"CODE", std::string(""), std::nullopt},
      {"NAME", std::string("Sber"), 0},
      {"NAME", std::string("sber"), std::nullopt},
      {"NAME", std::string("other"), 3},
      {"LOT", std::int32_t{-7}, 1},
      {"LOT", std::string("10"), 0},
      {"LOT", 9.6, 0},  // rounded
      {"LOT", std::string("ten"), std::nullopt},
      {"LOT", std::int64_t{0}, 3},  // row 2 holds 0 too, but as null
      {"VOL", std::int64_t{1099511627776}, 0},
      {"PRICE", 0.100001, 1},
      {"PRICE", std::string("250,25"), 0},
      {"PRICE", std::string("250.25"), 0},
      {"PRICE", 0.1001, std::nullopt},
      {"DAY", platform::EncodeDate(2024, 1, 2) + 0.75, 0},
      {"DAY", TQDSDateTime{platform::EncodeDate(1999, 12, 31)}, 3},
      {"DAY", 0.0, std::nullopt},  // row 1's empty date is null
      {"AT", platform::EncodeDate(2024, 1, 3) + platform::EncodeTime(0, 0, 1, 400), 1},
      {"AT", platform::EncodeDate(2024, 1, 3) + platform::EncodeTime(0, 0, 2, 0), std::nullopt},
      {"TIME", platform::EncodeTime(18, 45, 0, 0), 0},
      {"EXTRA", std::int64_t{1}, std::nullopt},
      {"LOT", TQDSVariant(), std::nullopt},
      {"MISSING", std::int64_t{1}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.column) + " = " + VarToStr(c.value));
    EXPECT_EQ(chunk->Find(c.column, c.value), c.row);
  }
}

TEST(ChunkFeed, ValuesThatDoNotFitTheirColumnFailTheBuild) {
  struct Case {
    const char* type;
    const char* value;
  };
  const Case cases[] = {
      {"int32", "\"ten\""},
      {"int32", "4294967296"},
      {"int32", "1.5"},
      {"int32", "true"},
      {"int64", "1e30"},
      {"int64", "[1]"},
      {"double", "\"x\""},
      {"double", "{}"},
      {"date", "\"2024-13-01\""},
      {"date", "20240101"},
      {"datetime", "\"yesterday\""},
      {"time", "\"25:00:00\""},
      {"string", "[\"a\"]"},
      {"string", "{\"a\":1}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " " + c.value);
    const auto doc = TJsonDocument::Parse(std::string(R"({"metadata":{"C":{"type":")") + c.type +
                                          R"("}},"columns":["C"],"data":[[)" + c.value + "]]}");
    std::unique_ptr<TStructuredChunk> chunk;
    EXPECT_FALSE(TStructuredChunk::LoadFromJSON(nullptr, chunk, doc->Root(), true));
    EXPECT_EQ(chunk, nullptr) << "a failed build leaves no chunk";
  }
}

TEST(ChunkFeed, AnswersThatWouldNeedUnboundedMemoryAreRefused) {
  // 10,000 int64 columns and 20,000 empty rows: a 400 kB answer that would
  // need 1.6 GB of rows.
  std::string meta = "{", columns = "[";
  for (int i = 0; i < 10000; ++i) {
    const std::string name = "C" + std::to_string(i);
    meta += (i ? ",\"" : "\"") + name + "\":{\"type\":\"int64\"}";
    columns += (i ? ",\"" : "\"") + name + "\"";
  }
  std::string rows = "[";
  for (int r = 0; r < 20000; ++r) rows += r ? ",[]" : "[]";
  const auto doc = TJsonDocument::Parse("{\"metadata\":" + meta + "},\"columns\":" + columns +
                                        "],\"data\":" + rows + "]}");
  std::unique_ptr<TStructuredChunk> chunk;
  EXPECT_FALSE(TStructuredChunk::LoadFromJSON(nullptr, chunk, doc->Root(), true));
  auto layoutOnly = std::make_unique<TStructuredChunk>(nullptr, doc->Root().Member("metadata"),
                                                       doc->Root().Member("columns"));
  EXPECT_THROW(layoutOnly->Feed(doc->Root().Member("data")), EQDSException);
  EXPECT_EQ(layoutOnly->RowCount(), 0u);
}

TEST(ChunkFeed, LenientButLosslessNumbers) {
  const auto doc = TJsonDocument::Parse(R"({"metadata":{"I":{"type":"int32"},"D":{"type":"double"}},
    "columns":["I","D"],"data":[[5.0,"2.5"],["-12",3]]})");
  std::unique_ptr<TStructuredChunk> chunk;
  ASSERT_TRUE(TStructuredChunk::LoadFromJSON(nullptr, chunk, doc->Root(), true));
  EXPECT_EQ(chunk->Value(0, chunk->GetColumn(0)), TQDSVariant(std::int32_t{5}));
  EXPECT_EQ(chunk->Value(0, chunk->GetColumn(1)), TQDSVariant(2.5));
  EXPECT_EQ(chunk->Value(1, chunk->GetColumn(0)), TQDSVariant(std::int32_t{-12}));
  EXPECT_EQ(chunk->Value(1, chunk->GetColumn(1)), TQDSVariant(3.0));
}

TEST(ChunkFeed, RowsThatAreNotArraysFailCleanlyAndKeepThePreviousRows) {
  const auto good = TJsonDocument::Parse(R"([["a",1]])");
  auto chunk = TStructuredChunk::CreateFromList(nullptr, {"A", "B"});
  chunk->Feed(good->Root());
  ASSERT_EQ(chunk->RowCount(), 1u);
  for (const char* rows : {R"([["b",2], {"a":1}])", R"([["b",2], 7])", R"({"a":1})", R"("rows")"}) {
    SCOPED_TRACE(rows);
    const auto bad = TJsonDocument::Parse(rows);
    EXPECT_THROW(chunk->Feed(bad->Root()), EQDSException);
    EXPECT_EQ(chunk->RowCount(), 1u);
    EXPECT_EQ(chunk->Value(0, chunk->GetColumn(0)), TQDSVariant(std::string("a")));
    EXPECT_EQ(chunk->GetColumn(0)->StringPool(), std::vector<std::string>{"a"});
  }
  // CreateFromList columns are general strings; numbers become text.
  EXPECT_EQ(chunk->Value(0, chunk->GetColumn(1)), TQDSVariant(std::string("1")));
}

TEST(ChunkLoad, LoadFromJsonCases) {
  std::unique_ptr<TStructuredChunk> chunk = TStructuredChunk::CreateFromList(nullptr, {"X"});
  EXPECT_FALSE(TStructuredChunk::LoadFromJSON(nullptr, chunk, TJsonValue(), true));
  EXPECT_EQ(chunk, nullptr) << "Instance is cleared first";

  const auto noMeta = TJsonDocument::Parse(R"({"columns":["A"],"data":[]})");
  EXPECT_FALSE(TStructuredChunk::LoadFromJSON(nullptr, chunk, noMeta->Root(), true));
  const auto noColumns = TJsonDocument::Parse(R"({"metadata":{},"data":[]})");
  EXPECT_FALSE(TStructuredChunk::LoadFromJSON(nullptr, chunk, noColumns->Root(), true));
  const auto badName = TJsonDocument::Parse(R"({"metadata":{},"columns":["A",7],"data":[]})");
  EXPECT_FALSE(TStructuredChunk::LoadFromJSON(nullptr, chunk, badName->Root(), true));
  EXPECT_EQ(chunk, nullptr);

  const auto noData =
      TJsonDocument::Parse(R"({"metadata":{"A":{"type":"int32"}},"columns":["A"]})");
  EXPECT_FALSE(TStructuredChunk::LoadFromJSON(nullptr, chunk, noData->Root(), true));
  ASSERT_NE(chunk, nullptr) << "without data the chunk still comes with its columns";
  EXPECT_EQ(chunk->ColumnCount(), 1u);
  EXPECT_EQ(chunk->RowCount(), 0u);
  EXPECT_TRUE(TStructuredChunk::LoadFromJSON(nullptr, chunk, noData->Root(), false));
}

TEST(ChunkAnsi, FixedStringsAreBytesOfTheSystemCodePage) {
  testing::Sandbox box;
  box.SetEnv("TARVO_ANSI_CODEPAGE", "windows-1251");
  const auto doc = TJsonDocument::Parse(R"({"metadata":{"C":{"type":"string","bytes":12}},
    "columns":["C"],"data":[["АБВГД"],["Ж"]]})");
  std::unique_ptr<TStructuredChunk> chunk;
  ASSERT_TRUE(TStructuredChunk::LoadFromJSON(nullptr, chunk, doc->Root(), true));
  const TChunkColumn* c = chunk->GetColumn(0);
  // One byte per letter in windows-1251: four of five letters fit.
  EXPECT_EQ(chunk->Value(0, c), TQDSVariant(std::string("АБВГ")));
  EXPECT_EQ(chunk->GetRow(0)[c->Offset()], 0xC0);
  EXPECT_EQ(chunk->Value(1, c), TQDSVariant(std::string("Ж")));
  EXPECT_EQ(chunk->Find("C", std::string("Ж")), 1u);
  EXPECT_EQ(chunk->Find("C", std::string("АБВГ")), 0u);
}

TEST(ChunkRows, MisuseIsAClearError) {
  const auto doc = TJsonDocument::Parse(R"([["a"]])");
  auto a = TStructuredChunk::CreateFromList(nullptr, {"A"});
  auto b = TStructuredChunk::CreateFromList(nullptr, {"A", "B"});
  a->Feed(doc->Root());
  b->Feed(doc->Root());
  EXPECT_THROW(a->Value(0, b->GetColumn(0)), EQDSException) << "a column of another chunk";
  EXPECT_THROW(a->Value(b->GetRow(0), a->GetColumn(0)), EQDSException) << "a row of another layout";
  EXPECT_THROW(a->GetRow(1), EQDSException);
  EXPECT_THROW(a->IsNull(5, a->GetColumn(0)), EQDSException);
  std::vector<std::uint8_t> small(1);
  EXPECT_THROW(a->GetColumn(0)->PlaceValue(doc->Root()[0], small), EQDSException);
  EXPECT_TRUE(VarIsNull(a->Value(a->GetRow(0), "missing")));
}

// --- saved layouts ------------------------------------------------------------

TEST_F(ChunkFixture, SavedLayoutRoundTripsAndFeedsLikeTheOriginal) {
  TQDSMemoryStream stream;
  chunk->SaveCachedData(stream);
  stream.Seek(0);
  TStructuredChunk loaded(nullptr);
  ASSERT_TRUE(loaded.ReadCachedData(stream));
  EXPECT_EQ(stream.Remaining(), 0u);
  EXPECT_EQ(loaded.Mapping(), chunk->Mapping());
  EXPECT_EQ(loaded.RowSize(), chunk->RowSize()) << "the row size is restored";
  EXPECT_EQ(loaded.RowCount(), 0u) << "rows are not saved";
  for (std::size_t i = 0; i < chunk->ColumnCount(); ++i) {
    const TChunkColumn* a = chunk->GetColumn(i);
    const TChunkColumn* b = loaded.GetColumn(i);
    EXPECT_EQ(a->Name(), b->Name());
    EXPECT_EQ(a->TypeName(), b->TypeName());
    EXPECT_EQ(a->ColumnType(), b->ColumnType());
    EXPECT_EQ(a->Offset(), b->Offset());
    EXPECT_EQ(a->NullOffset(), b->NullOffset());
    EXPECT_EQ(a->NullMask(), b->NullMask());
  }
  loaded.Feed(doc->Root().Member("data"));
  ASSERT_EQ(loaded.RowCount(), chunk->RowCount());
  for (std::size_t r = 0; r < chunk->RowCount(); ++r) {
    const TChunkRow x = chunk->GetRow(r), y = loaded.GetRow(r);
    EXPECT_TRUE(std::equal(x.begin(), x.end(), y.begin(), y.end())) << "row " << r;
  }
}

std::string Le32(std::uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}
std::string Str(const std::string& s) {
  return Le32(static_cast<std::uint32_t>(s.size())) + s;
}

// One saved int32 column with its fields as given.
std::string Column(std::uint32_t offset, std::uint8_t type, std::int32_t maxSize,
                   std::uint32_t nullOffset, std::uint32_t nullMask, std::int32_t jsonIndex = 0) {
  return Str("A") + Le32(offset) + Str("A") + Le32(static_cast<std::uint32_t>(jsonIndex)) +
         Str("int32") + std::string(1, static_cast<char>(type)) +
         Le32(static_cast<std::uint32_t>(maxSize)) + Le32(nullOffset) + Le32(nullMask);
}

TEST(ChunkLayout, CorruptedStreamsFailCleanly) {
  const std::string good = Le32(1) + Column(1, 3, 0, 0, 1);
  {
    TQDSMemoryStream s(good);
    TStructuredChunk c(nullptr);
    ASSERT_TRUE(c.ReadCachedData(s)) << "the reference layout must load";
    EXPECT_EQ(c.RowSize(), 5u);
  }
  struct Case {
    std::string what;
    std::string bytes;
  };
  std::vector<Case> cases = {
      {"huge count", Le32(0x7FFFFFFF) + Column(1, 3, 0, 0, 1)},
      {"count beyond the columns", Le32(2) + Column(1, 3, 0, 0, 1)},
      {"type code 9", Le32(1) + Column(1, 9, 0, 0, 1)},
      {"type code 255", Le32(1) + Column(1, 255, 0, 0, 1)},
      {"offset past the layout", Le32(1) + Column(1000000, 3, 0, 0, 1)},
      {"offset over the null byte", Le32(1) + Column(0, 3, 0, 0, 1)},
      {"null byte elsewhere", Le32(1) + Column(1, 3, 0, 4000000000u, 1)},
      {"null mask 128", Le32(1) + Column(1, 3, 0, 0, 128)},
      {"null mask of two bits", Le32(1) + Column(1, 3, 0, 0, 3)},
      {"fixed string of width 0", Le32(1) + Column(1, 1, 0, 0, 1)},
      {"fixed string of width 5", Le32(1) + Column(1, 1, 5, 0, 1)},
      {"value placed inside the fixed string before it",
       Le32(2) + Column(1, 1, 4, 0, 1) + Column(3, 3, 0, 0, 2)},
      {"negative JSON index", Le32(1) + Column(1, 3, 0, 0, 1, -1)},
      {"huge name length", Le32(1) + Le32(0xFFFFFFF0u) + std::string(40, 'x')},
  };
  for (std::size_t n = 0; n < good.size(); ++n)
    cases.push_back({"truncated to " + std::to_string(n), good.substr(0, n)});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TQDSMemoryStream s(c.bytes);
    TStructuredChunk chunk(nullptr);
    EXPECT_FALSE(chunk.ReadCachedData(s));
    EXPECT_EQ(s.Position(), 0u);
    EXPECT_EQ(chunk.ColumnCount(), 0u) << "nothing half-loaded stays";
    EXPECT_EQ(chunk.RowSize(), 1u);
  }
}

TEST(ChunkLayout, EmptyAndNegativeCountsReadNothingMore) {
  for (const std::uint32_t count : {0u, 0xFFFFFFFFu, 0x80000000u}) {
    TQDSMemoryStream s(Le32(count) + "tail");
    TStructuredChunk chunk(nullptr);
    EXPECT_TRUE(chunk.ReadCachedData(s));
    EXPECT_EQ(chunk.ColumnCount(), 0u);
    EXPECT_EQ(s.Position(), 4u);
  }
  TQDSMemoryStream empty;
  TStructuredChunk chunk(nullptr);
  EXPECT_FALSE(chunk.ReadCachedData(empty));
}

TEST(ChunkLayout, ALoadedLayoutReplacesTheOldColumnsAndFeedsSafely) {
  auto chunk = TStructuredChunk::CreateFromList(nullptr, {"X", "Y", "Z"});
  TQDSMemoryStream s(Le32(1) + Column(1, 3, 0, 0, 1, 2));
  ASSERT_TRUE(chunk->ReadCachedData(s));
  ASSERT_EQ(chunk->ColumnCount(), 1u);
  const auto rows = TJsonDocument::Parse(R"([[0, 0, 42], [1], []])");
  chunk->Feed(rows->Root());
  EXPECT_EQ(chunk->Value(0, chunk->GetColumn(0)), TQDSVariant(std::int32_t{42}));
  EXPECT_TRUE(chunk->IsNull(1, chunk->GetColumn(0)));
  EXPECT_TRUE(chunk->IsNull(2, chunk->GetColumn(0)));
}

}  // namespace
}  // namespace tarvo
