// Variant equality, ordering and conversions; decimals and time stamps.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "host/tvDataTypes.h"
#include "host/tvDataVariant.h"

namespace tarvo {
namespace {

class TextValue final : public IMdsCustomValue {
 public:
  explicit TextValue(std::string t) : fText(std::move(t)) {}
  std::string Text() const override { return fText; }

 private:
  std::string fText;
};

Variant Custom(const char* text) {
  return Variant::Custom(std::make_shared<TextValue>(text));
}

struct EqualCase {
  const char* what;
  Variant a, b;
  bool equal;
};

TEST(MdsVariant, EqualityAcceptsEveryPair) {
  const EqualCase cases[] = {
      {"empty/empty", Variant(), Variant(), true},
      {"null/null", Variant::Null(), Variant::Null(), true},
      {"empty/null", Variant(), Variant::Null(), false},
      {"null/zero", Variant::Null(), Variant(0), false},
      {"empty/empty text", Variant(), Variant(""), false},
      {"int/uint", Variant(5), Variant(5u), true},
      {"int/double", Variant(5), Variant(5.0), true},
      {"int/double fraction", Variant(5), Variant(5.5), false},
      {"currency/double", Variant::Currency(15000), Variant(1.5), true},
      {"currency/fixed", Variant::Currency(1), Variant(TFixed{1, 4}), true},
      {"fixed normalised", Variant(TFixed{150, 2}), Variant(1.5), true},
      {"bool/int", Variant(true), Variant(1), true},
      {"bool/text", Variant(true), Variant("true"), true},
      {"text/number", Variant("12.50"), Variant(12.5), true},
      {"text not a number", Variant("abc"), Variant(1), false},
      {"texts case matters", Variant("abc"), Variant("ABC"), false},
      {"texts", Variant("abc"), Variant(std::string("abc")), true},
      {"date/datetime", Variant::Date(45000), Variant::DateTime(45000), true},
      {"datetime/text", Variant::DateTime(45000.5), Variant("2023-03-15 12:00:00"), true},
      {"datetime/bad text", Variant::DateTime(45000.5), Variant("noon"), false},
      {"uint max/int", Variant(UINT64_MAX), Variant(-1), false},
      {"custom/custom", Custom("x"), Custom("x"), true},
      {"custom/text", Custom("x"), Variant("x"), true},
      {"array/array", Variant::Array({1, "a"}), Variant::Array({1, "a"}), true},
      {"array/array differ", Variant::Array({1, "a"}), Variant::Array({1}), false},
      {"array/scalar", Variant::Array({1}), Variant(1), false},
      {"nan/nan", Variant(std::nan("")), Variant(std::nan("")), true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(VarEqual(c.a, c.b), c.equal) << c.what;
    EXPECT_EQ(VarEqual(c.b, c.a), c.equal) << c.what << " (swapped)";
  }
}

struct OrderCase {
  const char* what;
  Variant a, b;
  int sign;  // expected sign of VarCompare(a, b); 2: raises
};

TEST(MdsVariant, OrderingAndItsConversionErrors) {
  const OrderCase cases[] = {
      {"ints", Variant(1), Variant(2), -1},
      {"int/uint beyond int64", Variant(INT64_MAX), Variant(UINT64_MAX), -1},
      {"negative/uint", Variant(-1), Variant(0u), -1},
      {"double/currency", Variant(1.00005), Variant::Currency(10000), 1},
      {"fixed exact", Variant(TFixed{123456789012345678, 18}),
       Variant(TFixed{123456789012345679, 18}), -1},
      {"texts byte order", Variant("B"), Variant("a"), -1},
      {"texts prefix first", Variant("ab"), Variant("abc"), -1},
      {"cyrillic after latin", Variant("z"), Variant("\xD0\xB0"), -1},
      {"null before values", Variant::Null(), Variant(-5), -1},
      {"empty before null", Variant(), Variant::Null(), -1},
      {"number text converts", Variant("10"), Variant(9), 1},
      {"dates", Variant::Date(1), Variant::DateTime(1.5), -1},
      {"text vs number", Variant("abc"), Variant(5), 2},
      {"array vs scalar", Variant::Array({1}), Variant(1), 2},
      {"date vs bad text", Variant::DateTime(1), Variant("tomorrow"), 2},
  };
  for (const auto& c : cases) {
    if (c.sign == 2) {
      try {
        VarCompare(c.a, c.b);
        ADD_FAILURE() << c.what << ": no error";
      } catch (const EMdsError& e) {
        EXPECT_EQ(e.Id(), "CannotConvertValue") << c.what;
      }
      continue;
    }
    EXPECT_EQ(VarCompare(c.a, c.b), c.sign) << c.what;
    EXPECT_EQ(VarCompare(c.b, c.a), -c.sign) << c.what << " (swapped)";
  }
}

TEST(MdsVariant, ConversionsSucceedOrRaise) {
  EXPECT_EQ(Variant(2.5).AsInt64(), 2);  // half to even
  EXPECT_EQ(Variant(3.5).AsInt64(), 4);
  EXPECT_EQ(Variant(" 42 ").AsInt64(), 42);
  EXPECT_EQ(Variant("-7").AsInt64(), -7);
  EXPECT_EQ(Variant::Currency(25000).AsInt64(), 2);
  EXPECT_EQ(Variant(UINT64_MAX).AsUInt64(), UINT64_MAX);
  EXPECT_EQ(Variant("1.5").AsCurrency(), 15000);
  EXPECT_EQ(Variant(1.23456).AsCurrency(), 12346);
  EXPECT_DOUBLE_EQ(Variant("1e3").AsDouble(), 1000.0);
  EXPECT_TRUE(Variant("TRUE").AsBoolean());
  EXPECT_FALSE(Variant(0).AsBoolean());
  EXPECT_EQ(Variant("12.340").AsFixed(), (TFixed{1234, 2}));
  EXPECT_EQ(Variant(0.1).AsFixed(), (TFixed{1, 1}));
  EXPECT_DOUBLE_EQ(Variant("2023-03-15").AsDateTime(), 45000.0);
  EXPECT_EQ(Variant(1.5).AsText(), "1.5");
  EXPECT_EQ(Variant::Currency(-1).AsText(), "-0.0001");
  EXPECT_EQ(Variant::DateTime(45000.75).AsText(), "2023-03-15 18:00:00");
  EXPECT_EQ(Variant::Date(45000).AsText(), "2023-03-15");
  EXPECT_EQ(Variant(false).AsText(), "False");
  EXPECT_EQ(Variant().AsText(), "");
  EXPECT_EQ(VarToStr(Variant::Null()), "");

  const Variant bad[] = {Variant::Null(), Variant("abc"), Variant(1e30), Variant(-1), Variant()};
  EXPECT_THROW(bad[0].AsInt64(), EMdsError);
  EXPECT_THROW(bad[1].AsInt64(), EMdsError);
  EXPECT_THROW(bad[2].AsInt64(), EMdsError);
  EXPECT_THROW(bad[3].AsUInt64(), EMdsError);
  EXPECT_THROW(bad[4].AsDouble(), EMdsError);
  EXPECT_THROW(Variant::Null().AsText(), EMdsError);
  EXPECT_THROW(Variant("x").AsBoolean(), EMdsError);
  EXPECT_THROW(Variant(1e300).AsCurrency(), EMdsError);
  EXPECT_THROW(Variant(std::nan("")).AsFixed(), EMdsError);
  EXPECT_THROW(Variant("soon").AsDateTime(), EMdsError);
}

TEST(MdsFixed, ParsesRoundsAndPrintsExactly) {
  struct Case {
    const char* text;
    bool ok;
    const char* printed;
  } cases[] = {
      {"0", true, "0"},
      {"-0.000", true, "0"},
      {"+12.3400", true, "12.34"},
      {"1e3", true, "1000"},
      {"1.5e-2", true, "0.015"},
      {"0.0000000000000000005", true, "0"},  // half to even at the 18th decimal
      {"0.0000000000000000015", true, "0.000000000000000002"},
      {"9223372036854775807", true, "9223372036854775807"},
      {"9223372036854775808", false, ""},
      {"12a", false, ""},
      {"", false, ""},
      {".", false, ""},
  };
  for (const auto& c : cases) {
    TFixed f;
    ASSERT_EQ(TFixed::TryParse(c.text, f), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(f.ToString(), c.printed) << c.text;
    }
  }
  unsigned char raw[TFixed::kRawSize];
  TFixed{-12345, 3}.ToRaw(raw);
  EXPECT_EQ(TFixed::FromRaw(raw), (TFixed{-12345, 3}));
}

TEST(MdsTimeStamp, RoundsToTheMillisecondAndKeepsNegativeDates) {
  TTimeStamp ts;
  ASSERT_TRUE(TryDateTimeToTimeStamp(0.0, ts));
  EXPECT_EQ(ts.Date, kDateDelta);
  ASSERT_TRUE(TryDateTimeToTimeStamp(-1.25, ts));  // 1899-12-29 06:00
  EXPECT_EQ(ts.Date, kDateDelta - 1);
  EXPECT_EQ(ts.Time, 6 * 3600000);
  EXPECT_DOUBLE_EQ(TimeStampToDateTime(ts), -1.25);
  // Just before midnight rounds into the next day.
  ASSERT_TRUE(TryDateTimeToTimeStamp(45000.0 - 1e-10, ts));
  EXPECT_EQ(ts.Date, kDateDelta + 45000);
  EXPECT_EQ(ts.Time, 0);
  EXPECT_FALSE(TryDateTimeToTimeStamp(std::nan(""), ts));
  EXPECT_FALSE(TryDateTimeToTimeStamp(3e6, ts));

  // Zeroing milliseconds rounds first: noon stays noon even when the double
  // lies a hair below it.
  const double noon = 45000.5;
  const double belowNoon = std::nextafter(noon, 0.0);
  EXPECT_EQ(DateTimeToIsoText(DateTimeZeroMilliseconds(belowNoon)), "2023-03-15 12:00:00");
  EXPECT_EQ(DateTimeToIsoText(DateTimeZeroMilliseconds(noon + 0.9996 / 86400)),
            "2023-03-15 12:00:01");
  EXPECT_EQ(DateTimeToIsoText(DateTimeZeroMilliseconds(noon + 0.75 / 86400)),
            "2023-03-15 12:00:00");

  double d;
  ASSERT_TRUE(TryParseDateTimeText("15.03.2023 12:00", d));
  EXPECT_DOUBLE_EQ(d, noon);
  ASSERT_TRUE(TryParseDateTimeText("06:00:00.500", d));
  EXPECT_NEAR(d, 0.25 + 0.5 / 86400, 1e-12);
  EXPECT_FALSE(TryParseDateTimeText("2023-02-29", d));
  EXPECT_FALSE(TryParseDateTimeText("24:00", d));
}

}  // namespace
}  // namespace tarvo
