#include "platform/core/DateTime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

#include "testing/Sandbox.h"

namespace tarvo::platform {
namespace {

using tarvo::testing::Sandbox;

CivilTime Civil(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  CivilTime t;
  t.year = y;
  t.month = mo;
  t.day = d;
  t.hour = h;
  t.minute = mi;
  t.second = s;
  t.millisecond = ms;
  return t;
}

void ExpectCivil(const CivilTime& got, const CivilTime& want) {
  EXPECT_EQ(got.year, want.year);
  EXPECT_EQ(got.month, want.month);
  EXPECT_EQ(got.day, want.day);
  EXPECT_EQ(got.hour, want.hour);
  EXPECT_EQ(got.minute, want.minute);
  EXPECT_EQ(got.second, want.second);
  EXPECT_EQ(got.millisecond, want.millisecond);
}

// --- encode and decode ---------------------------------------------------------------

TEST(DateTime, KnownValues) {
  struct Case {
    CivilTime civil;
    double value;
    int dayOfWeek;
  };
  const Case cases[] = {
      {Civil(1899, 12, 30), 0.0, 7},
      {Civil(1899, 12, 31), 1.0, 1},
      {Civil(1900, 1, 1, 12), 2.5, 2},
      {Civil(1899, 12, 29, 6), -1.25, 6},  // negative: the fraction still counts forward
      {Civil(1899, 12, 30, 18), 0.75, 7},
      {Civil(1970, 1, 1), 25569.0, 5},
      {Civil(2000, 2, 29, 23, 59, 59, 999), 36585.0 + 86399999.0 / 86400000.0, 3},
      {Civil(1, 1, 1), -693593.0, 2},
      {Civil(9999, 12, 31, 23, 59, 59, 999), 2958465.0 + 86399999.0 / 86400000.0, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_DOUBLE_EQ(EncodeDateTime(c.civil), c.value);
    const CivilTime back = DecodeDateTime(c.value);
    ExpectCivil(back, c.civil);
    EXPECT_EQ(back.dayOfWeek, c.dayOfWeek);
  }
  EXPECT_DOUBLE_EQ(EncodeDate(2024, 1, 1), 45292.0);
  EXPECT_DOUBLE_EQ(EncodeTime(6, 0, 0, 0), 0.25);
}

TEST(DateTime, RoundTripsNearDayEdges) {
  // Values near the ends of a day and around zero decode to the millisecond
  // they were encoded from, whatever the floating-point error.
  for (int y : {1, 1899, 1900, 2024, 9999}) {
    for (int ms : {0, 1, 499, 500, 999}) {
      for (int s : {0, 59}) {
        const CivilTime t = Civil(y, y == 1 ? 1 : 12,
                                  y == 1899 ? 29
                                  : y == 1  ? 1
                                            : 31,
                                  s ? 23 : 0, s, s, ms);
        SCOPED_TRACE(::testing::Message() << y << " s" << s << " ms" << ms);
        ExpectCivil(DecodeDateTime(EncodeDateTime(t)), t);
      }
    }
  }
}

TEST(DateTime, DecodeRoundsToTheNearestMillisecond) {
  const double ms = 1.0 / 86400000.0;
  ExpectCivil(DecodeDateTime(EncodeDate(2024, 3, 1) + 0.4 * ms), Civil(2024, 3, 1));
  ExpectCivil(DecodeDateTime(EncodeDate(2024, 3, 1) + 0.6 * ms), Civil(2024, 3, 1, 0, 0, 0, 1));
  // Rounding up the last fraction of a day carries into the next day.
  ExpectCivil(DecodeDateTime(EncodeDate(2024, 2, 29) + 1.0 - 0.3 * ms), Civil(2024, 3, 1));
  ExpectCivil(DecodeDateTime(EncodeDate(2023, 12, 31) + 1.0 - 0.3 * ms), Civil(2024, 1, 1));
  EXPECT_DOUBLE_EQ(TimeOf(EncodeDateTime(Civil(2024, 5, 6, 12, 0))), 0.5);
  EXPECT_DOUBLE_EQ(TimeOf(-1.25), 0.25);
}

TEST(DateTime, InvalidFieldsAndValues) {
  const CivilTime bad[] = {
      Civil(2023, 2, 29),
      Civil(2024, 13, 1),
      Civil(2024, 0, 1),
      Civil(2024, 4, 31),
      Civil(1900, 2, 29),  // not a leap year
      Civil(0, 1, 1),
      Civil(10000, 1, 1),
      Civil(2024, 1, 0),
      Civil(2024, 1, 1, 24),
      Civil(2024, 1, 1, 0, 60),
      Civil(2024, 1, 1, 0, 0, 60),
      Civil(2024, 1, 1, 0, 0, 0, 1000),
      Civil(2024, 1, 1, -1),
  };
  for (const auto& t : bad) {
    SCOPED_TRACE(::testing::Message()
                 << t.year << "-" << t.month << "-" << t.day << " " << t.hour << ":" << t.minute
                 << ":" << t.second << "." << t.millisecond);
    EXPECT_THROW(EncodeDateTime(t), EDateTimeError);
    double out = 42;
    EXPECT_FALSE(TryEncodeDateTime(t, out));
    EXPECT_EQ(out, 42);
  }
  double ok = 0;
  EXPECT_TRUE(TryEncodeDateTime(Civil(2000, 2, 29), ok));
  EXPECT_DOUBLE_EQ(ok, 36585.0);

  for (double v : {std::nan(""), std::numeric_limits<double>::infinity(), -693594.0, 2958466.0,
                   2958465.0 + 86399999.6 / 86400000.0, 1e300}) {
    SCOPED_TRACE(v);
    EXPECT_THROW(DecodeDateTime(v), EDateTimeError);
    EXPECT_THROW(FormatDateTime("yyyy", v), EDateTimeError);
    EXPECT_THROW(DateTimeToUnix(v), EDateTimeError);
  }
  EXPECT_EQ(DaysInMonth(2024, 2), 29);
  EXPECT_EQ(DaysInMonth(2100, 2), 28);
  EXPECT_EQ(DaysInMonth(2000, 2), 29);
  EXPECT_EQ(DaysInMonth(2024, 13), 0);
}

// --- time zones and the clock ------------------------------------------------------------

TEST(DateTime, UnixSeconds) {
  EXPECT_DOUBLE_EQ(UnixToDateTime(0), 25569.0);
  EXPECT_DOUBLE_EQ(UnixToDateTime(86400 + 43200), 25570.5);
  EXPECT_EQ(DateTimeToUnix(25570.5), 86400 + 43200);
  // Before 1899-12-30 the value is not linear; the conversion still is exact.
  const std::int64_t before = -2209161600LL - 86400 + 6 * 3600;  // 1899-12-29 06:00 UTC
  EXPECT_DOUBLE_EQ(UnixToDateTime(before), -1.25);
  EXPECT_EQ(DateTimeToUnix(-1.25), before);
  // Rounds to the nearest second.
  EXPECT_EQ(DateTimeToUnix(EncodeDateTime(Civil(1970, 1, 1, 0, 0, 1, 499))), 1);
  EXPECT_EQ(DateTimeToUnix(EncodeDateTime(Civil(1970, 1, 1, 0, 0, 1, 500))), 2);
  EXPECT_THROW(UnixToDateTime(std::numeric_limits<std::int64_t>::max()), EDateTimeError);
  EXPECT_THROW(UnixToDateTime(std::numeric_limits<std::int64_t>::min()), EDateTimeError);
}

TEST(DateTime, LocalAndUtcFollowTZ) {
  Sandbox box;
  // POSIX rules need no time-zone database: Central Europe, summer time from
  // the last Sunday of March 02:00 to the last Sunday of October 03:00.
  box.SetEnv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
  const auto at = [](int mo, int d, int h, int mi) {
    return EncodeDateTime(Civil(2024, mo, d, h, mi));
  };
  struct Case {
    double utc, local;
  };
  const Case cases[] = {
      {at(1, 15, 12, 0), at(1, 15, 13, 0)},           // winter: +1
      {at(7, 15, 12, 0), at(7, 15, 14, 0)},           // summer: +2
      {at(3, 31, 0, 59), at(3, 31, 1, 59)},           // just before the spring change
      {at(3, 31, 1, 0), at(3, 31, 3, 0)},             // just after it
      {at(12, 31, 23, 30), at(1, 1, 0, 30) + 366.0},  // across the year
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(FormatDateTime("yyyy-mm-dd hh:nn", c.utc));
    EXPECT_NEAR(UTCToLocal(c.utc), c.local, 1e-9);
    EXPECT_NEAR(LocalToUTC(c.local), c.utc, 1e-9);
  }
  // 02:30 on the spring day does not exist, and 02:30 on the autumn day
  // happens twice: both take the offset before the change (+1, then +2).
  EXPECT_NEAR(LocalToUTC(at(3, 31, 2, 30)), at(3, 31, 1, 30), 1e-9);
  EXPECT_NEAR(LocalToUTC(at(10, 27, 2, 30)), at(10, 27, 0, 30), 1e-9);
  // Milliseconds survive the conversion.
  const double withMs = EncodeDateTime(Civil(2024, 1, 15, 12, 0, 0, 123));
  EXPECT_EQ(DecodeDateTime(UTCToLocal(withMs)).millisecond, 123);

  // Now() is NowUTC() moved by the zone; a change of TZ is seen at once.
  box.SetEnv("TZ", "UTC0");
  EXPECT_NEAR(Now(), NowUTC(), 5.0 / 86400);
  box.SetEnv("TZ", "ABC-5");
  EXPECT_NEAR(Now() - NowUTC(), 5.0 / 24, 5.0 / 86400);
  EXPECT_GT(NowUTC(), EncodeDate(2024, 1, 1));
}

TEST(DateTime, TickCount) {
  const std::uint32_t start = GetTickCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const std::uint32_t later = GetTickCount();
  EXPECT_GE(TicksBetween(start, later), 29u);
  EXPECT_TRUE(TickAfter(later, start));

  struct Case {
    std::uint32_t since, now, between;
    bool after;
  };
  const Case cases[] = {
      {100, 250, 150, true},
      {0xFFFFFF00u, 0x00000010u, 0x110, true},  // across the wrap-around
      {250, 100, 0xFFFFFF6Au, false},
      {5, 5, 0, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TicksBetween(c.since, c.now), c.between);
    EXPECT_EQ(TickAfter(c.now, c.since), c.after);
  }
}

// --- formatting ---------------------------------------------------------------------------

TEST(FormatDateTime, Specifiers) {
  FormatSettings s;  // dd.mm.yyyy, hh:nn:ss, '.', ':'
  const double v = EncodeDateTime(Civil(2024, 3, 5, 14, 7, 9, 45));  // a Tuesday
  const double morning = EncodeDateTime(Civil(2024, 3, 5, 0, 7, 9, 45));
  const double midnight = EncodeDate(2024, 3, 5);
  struct Case {
    const char* format;
    double value;
    const char* want;
  };
  const Case cases[] = {
      {"yyyy-mm-dd hh:nn:ss.zzz", v, "2024-03-05 14:07:09.045"},
      {"yy/m/d h:n:s.z", v, "24.3.5 14:7:9.45"},
      {"hh:mm", v, "14:07"},        // "mm" after hours means minutes
      {"hh dd mm", v, "14 05 03"},  // ... but not after another field
      {"h:mm am/pm", v, "2:07 pm"},
      {"h:mm AM/PM", morning, "12:07 AM"},
      {"h a/p", v, "2 p"},
      {"hh ampm", v, "02 PM"},
      {"c", v, "05.03.2024 14:07:09"},
      {"c", midnight, "05.03.2024"},  // no time part at midnight
      {"ddddd", v, "05.03.2024"},
      {"tt", v, "14:07:09"},
      {"t", v, "14:07"},
      {"ddd dddd mmm mmmm", v, "Tue Tuesday Mar March"},
      {"dddddd", v, "5 March 2024"},
      {"\"yyyy\" 'mm' yyyy", v, "yyyy mm 2024"},
      {"'unclosed", v, "unclosed"},
      {"[x] = q", v, "[x] = q"},  // letters without meaning are copied
      {"", v, ""},
      {"yyyy", -1.25, "1899"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format);
    EXPECT_EQ(FormatDateTime(c.format, c.value, s), c.want);
  }
}

TEST(FormatDateTime, SeparatorsAndSelfReferringFormats) {
  FormatSettings s;
  s.dateSeparator = '/';
  s.timeSeparator = '-';
  s.shortDateFormat = "mm/dd/yyyy";
  s.longTimeFormat = "hh:nn";
  const double v = EncodeDateTime(Civil(2024, 3, 5, 14, 7));
  EXPECT_EQ(FormatDateTime("c", v, s), "03/05/2024 14-07");
  // A format that names itself expands a bounded number of times.
  s.shortDateFormat = "ddddd|c";
  const std::string out = FormatDateTime("ddddd", v, s);
  EXPECT_LT(out.size(), 100u);
  EXPECT_NE(out.find('|'), std::string::npos);
}

TEST(FormatDateTime, LocaleSettings) {
  struct Case {
    const char* locale;
    const char* shortDate;
    char dateSeparator;
    char timeSeparator;
  };
  const Case cases[] = {
      {"ru_RU.UTF-8", "dd/mm/yyyy", '.', ':'},
      {"uk_UA", "dd/mm/yyyy", '.', ':'},
      {"en_US", "m/d/yyyy", '/', ':'},
      {"de_DE@euro", "dd/mm/yyyy", '.', ':'},
      {"ja_JP", "yyyy/mm/dd", '/', ':'},
      {"C", "yyyy/mm/dd", '-', ':'},
      {"", "yyyy/mm/dd", '-', ':'},
  };
  const double v = EncodeDateTime(Civil(2024, 3, 5, 14, 7, 9));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.locale);
    const FormatSettings s = FormatSettingsForLocale(c.locale);
    EXPECT_EQ(s.shortDateFormat, c.shortDate);
    EXPECT_EQ(s.dateSeparator, c.dateSeparator);
    EXPECT_EQ(s.timeSeparator, c.timeSeparator);
    EXPECT_EQ(s.longTimeFormat, "hh:nn:ss");
  }
  EXPECT_EQ(FormatDateTime("c", v, FormatSettingsForLocale("ru_RU")), "05.03.2024 14:07:09");
  EXPECT_EQ(FormatDateTime("c", v, FormatSettingsForLocale("en_US")), "3/5/2024 14:07:09");
  // The process's settings are one of these, built once.
  EXPECT_EQ(&LocaleFormatSettings(), &LocaleFormatSettings());
}

}  // namespace
}  // namespace tarvo::platform
