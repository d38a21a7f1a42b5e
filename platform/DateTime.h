// Date-time values and the tick count.
//
// A TDateTime is a double counting days since 1899-12-30 00:00; its fraction
// is the time of day. Values before that day are negative with the fraction
// still counting forwards from midnight (-1.25 is 1899-12-29 06:00), as the
// terminal's stored values do. Decoding rounds to the nearest millisecond.
#pragma once

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
bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

// Current time, local and UTC, and conversions between local time (the
// process's time zone, TZ) and UTC for a given moment.
TDateTime Now();
TDateTime NowUTC();
TDateTime LocalToUTC(TDateTime local);
TDateTime UTCToLocal(TDateTime utc);

// Unix seconds (UTC) to and from TDateTime (UTC).
TDateTime UnixToDateTime(std::int64_t seconds);
std::int64_t DateTimeToUnix(TDateTime value);

// Formats as Delphi's FormatDateTime: yyyy yy mm m dd d hh h nn n ss s zzz z
// am/pm ampm; "c" (short date, then long time when the time is not zero),
// "ddddd" (short date), "tt" (long time); text in quotes is copied; "/" and ":"
// are the separators of the settings. "mm" after "h"/"hh" means minutes.
struct FormatSettings {
  std::string shortDateFormat = "dd.mm.yyyy";
  std::string longTimeFormat = "hh:nn:ss";
  char dateSeparator = '.';
  char timeSeparator = ':';
};

// The settings of the current locale (LC_TIME): date order and separators
// derived from the locale's own short date pattern (ICU); 24-hour long time.
const FormatSettings& LocaleFormatSettings();
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
