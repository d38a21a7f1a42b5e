#include "qds/ttQDSJson.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace tarvo {
namespace {

TEST(JsonParse, BadTextsFailWithAClearError) {
  struct Case {
    const char* what;
    std::string text;
  };
  const Case cases[] = {
      {"empty", ""},
      {"only blanks", "  \n"},
      {"unclosed object", "{\"a\":1"},
      {"trailing garbage", "{} x"},
      {"two documents", "{}{}"},
      {"NUL after the document", std::string("{}\0{}", 5)},
      {"NUL inside a string", std::string("[\"a\0b\"]", 7)},
      {"control character in a string", "[\"a\x01\"]"},
      {"bad escape", "[\"\\q\"]"},
      {"single quotes", "{'a':1}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_THROW(TJsonDocument::Parse(c.text), EQDSJsonError);
  }
}

TEST(JsonParse, ErrorNamesTheOffset) {
  try {
    TJsonDocument::Parse("[1, 2, x]");
    FAIL() << "no error";
  } catch (const EQDSJsonError& e) {
    EXPECT_EQ(e.Offset(), 7u);
    EXPECT_NE(std::string(e.what()).find("byte 7"), std::string::npos) << e.what();
  }
}

TEST(JsonParse, NestingIsLimitedWithoutExhaustingTheStack) {
  const unsigned max = TJsonDocument::MaxDepth;
  const std::string deepest = std::string(max, '[') + std::string(max, ']');
  EXPECT_NO_THROW(TJsonDocument::Parse(deepest));
  const std::string tooDeep = std::string(max + 1, '[') + std::string(max + 1, ']');
  EXPECT_THROW(TJsonDocument::Parse(tooDeep), EQDSJsonError);
  // A hostile answer of a million openings: refused, never a crash.
  EXPECT_THROW(TJsonDocument::Parse(std::string(1000000, '[')), EQDSJsonError);
  std::string objects;
  for (int i = 0; i < 100000; ++i) objects += "{\"a\":";
  EXPECT_THROW(TJsonDocument::Parse(objects), EQDSJsonError);
}

TEST(JsonValues, EveryAccessChecksTheKindFirst) {
  const auto doc = TJsonDocument::Parse(
      R"({"s":"text","i":7,"big":1099511627776,"f":1.5,"b":true,"n":null,"a":[1,"x"],"o":{"k":1}})");
  const TJsonValue root = doc->Root();

  EXPECT_EQ(root.Member("s").String(), "text");
  EXPECT_EQ(root.Member("i").Int32(), 7);
  EXPECT_EQ(root.Member("big").Int32(), std::nullopt) << "no silent wrap of 2^40";
  EXPECT_EQ(root.Member("big").Int64(), 1099511627776);
  EXPECT_EQ(root.Member("f").Int64(), std::nullopt) << "no silent rounding of 1.5";
  EXPECT_EQ(root.Member("f").Double(), 1.5);
  EXPECT_EQ(root.Member("i").String(), std::nullopt);
  EXPECT_EQ(root.Member("s").Double(), std::nullopt);
  EXPECT_EQ(root.Member("b").Bool(), true);
  EXPECT_TRUE(root.Member("n").IsNull());

  // Wrong kinds and missing things answer none.
  EXPECT_FALSE(root.Member("missing"));
  EXPECT_FALSE(root.Member("a").Member("k"));
  EXPECT_FALSE(root.Member("o").At(0));
  EXPECT_EQ(root.Member("o").Size(), 0u);
  EXPECT_FALSE(root.Member("a").At(2));
  EXPECT_FALSE(TJsonValue().Member("x").At(0).Member("y"));
  EXPECT_EQ(root.Member("s").MemberCount(), 0u);
  EXPECT_EQ(root.Member("a").MemberName(0), "");

  EXPECT_EQ(root.Member("a").Size(), 2u);
  EXPECT_EQ(root.Member("a")[1].String(), "x");
  EXPECT_EQ(root.MemberCount(), 8u);
  EXPECT_EQ(root.MemberName(7), "o");
  EXPECT_EQ(root.MemberValue(7).Member("k").Int32(), 1);
}

TEST(JsonValues, TextAndRendering) {
  const auto doc =
      TJsonDocument::Parse(R"({"s":"Цена \"x\"","n":12,"f":0.1,"z":null,"o":{"a":[1,true]}})");
  const TJsonValue root = doc->Root();
  EXPECT_EQ(root.Member("s").AsText(), "Цена \"x\"");
  EXPECT_EQ(root.Member("n").AsText(), "12");
  EXPECT_EQ(root.Member("f").AsText(), "0.1");
  EXPECT_EQ(root.Member("z").AsText(), "null");
  EXPECT_EQ(root.Member("o").AsText(), R"({"a":[1,true]})");
  EXPECT_EQ(TJsonValue().AsText(), "");
  EXPECT_EQ(root.Member("s").Render(true), R"("\u0426\u0435\u043D\u0430 \"x\"")");
  EXPECT_EQ(root.Member("s").Render(false), "\"Цена \\\"x\\\"\"");
}

TEST(JsonParse, ByteOrderMarkAndInvalidUtf8) {
  const auto doc = TJsonDocument::Parse("\xEF\xBB\xBF[\"a\xFF\"]");
  EXPECT_EQ(doc->Root()[0].String(), "a\xEF\xBF\xBD");
  // The replaced text renders (and so saves) cleanly.
  EXPECT_EQ(doc->Render(true), "[\"a\\uFFFD\"]");
}

}  // namespace
}  // namespace tarvo

namespace tarvo {
namespace {

TEST(JsonNumbers, ConvertedExactlyAndSafely) {
  const auto doc = TJsonDocument::Parse(
      "[0.30000000000000004, 250.25, 1e-400, -1e-400, 0e0099, 0.0000000000000000000000000, -0,"
      " 18446744073709551615, -9223372036854775808, 12345678901234567890123, "
      "1.7976931348623157e308,"
      " 4.9e-324, 123456789012345678e-10]");
  const TJsonValue a = doc->Root();
  EXPECT_EQ(a[0].Double(), 0.30000000000000004);
  EXPECT_EQ(a[1].Double(), 250.25);
  EXPECT_EQ(a[2].Double(), 0.0) << "too small for a double: zero";
  EXPECT_TRUE(std::signbit(*a[3].Double()));
  EXPECT_EQ(a[4].Double(), 0.0);
  EXPECT_EQ(a[5].Double(), 0.0);
  EXPECT_EQ(a[6].Int64(), 0);
  EXPECT_EQ(a[7].Int64(), std::nullopt) << "above the int64 range";
  EXPECT_EQ(a[7].Double(), 18446744073709551615.0);
  EXPECT_EQ(a[8].Int64(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(a[9].Double(), 12345678901234567890123.0);
  EXPECT_EQ(a[10].Double(), 1.7976931348623157e308);
  EXPECT_EQ(a[11].Double(), 4.9e-324);
  EXPECT_EQ(a[12].Double(), 12345678.9012345678);

  // Whatever the document says, its text form reads back to the same values.
  const auto again = TJsonDocument::Parse(doc->Render());
  EXPECT_EQ(again->Render(), doc->Render());

  for (const char* tooBig : {"[1e400]", "[1.8e308]", "[0.5e309]", "[-1e309]"}) {
    SCOPED_TRACE(tooBig);
    EXPECT_THROW(TJsonDocument::Parse(tooBig), EQDSJsonError);
  }
}

TEST(JsonParse, OwnedTextIsParsedInPlace) {
  std::string text = "\xEF\xBB\xBF{\"a\":[\"x\\u0041\",2]}";
  const auto doc = TJsonDocument::ParseOwned(std::move(text));
  EXPECT_EQ(doc->Root().Member("a")[0].String(), "xA");
  EXPECT_EQ(doc->Render(), "{\"a\":[\"xA\",2]}");
}

}  // namespace
}  // namespace tarvo
