// Date-time values and the tick count.
//
// A TDateTime is a double counting days since 1899-12-30 00:00; its fraction
// is the time of day. Values before that day are negative with the fraction
// still counting forwards from midnight (-1.25 is 1899-12-29 06:00), as the
// terminal's stored values do. Decoding rounds to the nearest millisecond.
//
// Valid values span 0001-01-01 00:00:00.000 (-693593.0) to 9999-12-31
// 23:59:59.999; every function that takes a TDateTime throws EDateTimeError for
// a value outside that span, NaN or an infinity. All functions are thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tarvo::platform {

using TDateTime = double;

class EDateTimeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct CivilTime {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
  int dayOfWeek = 0;  // 1 = Sunday ... 7 = Saturday, filled by DecodeDateTime
};

// Encoding throws EDateTimeError for a field out of range (month 13, 31 April,
// 29 February of a common year, hour 24 ...). TryEncode* answer false instead.
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int millisecond);
TDateTime EncodeDateTime(const CivilTime& t);
bool TryEncodeDateTime(const CivilTime& t, TDateTime& result);
CivilTime DecodeDateTime(TDateTime value);
// Time of day only, as a value in [0, 1), to the nearest millisecond.
TDateTime TimeOf(TDateTime value);
bool IsLeapYear(int year);
// Days since 1970-01-01 of a civil date of the proleptic Gregorian calendar,
// and back; exact for every day an int64 can count.
inline constexpr std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}
void CivilFromDays(std::int64_t days, int& year, int& month, int& day);
int DaysInMonth(int year, int month);

// Current time, local and UTC, and conversions between local time (the
// process's time zone, TZ, read again on every call) and UTC for a given
// moment. A local time that a clock change skips or repeats is taken with the
// offset in force just before the change.
TDateTime Now();
TDateTime NowUTC();
TDateTime LocalToUTC(TDateTime local);
TDateTime UTCToLocal(TDateTime utc);

// Unix seconds (UTC) to and from TDateTime (UTC); DateTimeToUnix rounds to the
// nearest second. Seconds outside the valid span throw EDateTimeError.
TDateTime UnixToDateTime(std::int64_t seconds);
std::int64_t DateTimeToUnix(TDateTime value);

// Formats as Delphi's FormatDateTime: yyyy yy mm m dd d hh h nn n ss s zzz z
// am/pm ampm; "c" (short date, then long time when the time is not zero),
// "ddddd" (short date), "tt" (long time); text in quotes is copied; "/" and ":"
// are the separators of the settings. "mm" after "h"/"hh" means minutes.
// Also, as Delphi: "mmm"/"mmmm" and "ddd"/"dddd" (month and day names of the
// settings), "dddddd" (long date), "t" (short time), "a/p"; "h" counts 12 hours
// when an am/pm specifier follows. Letters that are no specifier are copied;
// the nested formats are expanded two levels deep at most, so a format that
// names itself cannot recurse without end.
struct FormatSettings {
  std::string shortDateFormat = "dd.mm.yyyy";
  std::string longTimeFormat = "hh:nn:ss";
  char dateSeparator = '.';
  char timeSeparator = ':';
  std::string longDateFormat = "d mmmm yyyy";
  std::string shortTimeFormat = "hh:nn";
  std::string timeAMString = "AM";
  std::string timePMString = "PM";
  std::array<std::string, 12> shortMonthNames{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::array<std::string, 12> longMonthNames{"January",   "February", "March",    "April",
                                             "May",       "June",     "July",     "August",
                                             "September", "October",  "November", "December"};
  std::array<std::string, 7> shortDayNames{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  std::array<std::string, 7> longDayNames{"Sunday",   "Monday", "Tuesday", "Wednesday",
                                          "Thursday", "Friday", "Saturday"};
};

// The settings of the current locale (the first non-empty of LC_ALL, LC_TIME,
// LANG), built on the first call and kept for the life of the process: date
// order and separators derived from the locale's own short date pattern (ICU),
// with day and month as wide as that pattern has them and four-digit years;
// 24-hour long time "hh:nn:ss" with the locale's time separator. Names stay
// English: the texts this formats (logs) are English.
const FormatSettings& LocaleFormatSettings();
// The same for a named locale ("ru_RU", "en_US.UTF-8"); "", "C" and "POSIX"
// give the neutral ISO form ("yyyy/mm/dd" with the separator '-').
FormatSettings FormatSettingsForLocale(std::string_view localeName);
std::string FormatDateTime(std::string_view format, TDateTime value,
                           const FormatSettings& settings = LocaleFormatSettings());

// Milliseconds since an arbitrary start, monotonic, wrapping around every
// 49.7 days like the Windows tick count. Compare ticks only by difference.
std::uint32_t GetTickCount() noexcept;
// Milliseconds from `since` to `now`, correct across one wrap-around.
inline std::uint32_t TicksBetween(std::uint32_t since, std::uint32_t now) noexcept {
  return now - since;
}
// True when tick a is later than tick b (less than half the range apart).
inline bool TickAfter(std::uint32_t a, std::uint32_t b) noexcept {
  return static_cast<std::int32_t>(a - b) > 0;
}

}  // namespace tarvo::platform
