#include "platform/core/DateTime.h"

#include <unicode/udat.h>
#include <unicode/ustring.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

namespace tarvo::platform {

namespace {

constexpr std::int64_t kMsPerDay = 86'400'000;
// Days from 1899-12-30 to 1970-01-01.
constexpr std::int64_t kUnixEpochDays = 25569;

// Days since 1899-12-30 of the first and after the last valid day.
constexpr std::int64_t kFirstDay = DaysFromCivil(1, 1, 1) + kUnixEpochDays;    // -693593
constexpr std::int64_t kEndDay = DaysFromCivil(10000, 1, 1) + kUnixEpochDays;  // 2958466
static_assert(kFirstDay == -693593 && kEndDay == 2958466);

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

[[noreturn]] void ThrowRange(double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", value);
  throw EDateTimeError(std::string("Invalid date-time value: ") + buf);
}

// A TDateTime as linear milliseconds since 1899-12-30 00:00, rounded to the
// nearest millisecond. The integer part is the day (counted towards zero), the
// fraction's magnitude the time of that day.
std::int64_t ToLinearMs(TDateTime value) {
  // The first day's times are (-693594, -693593]; the last day's end before 2958466.
  if (!std::isfinite(value) || value <= static_cast<double>(kFirstDay - 1) ||
      value >= static_cast<double>(kEndDay))
    ThrowRange(value);
  const double days = std::trunc(value);
  const std::int64_t ms = std::llround(std::fabs(value - days) * static_cast<double>(kMsPerDay));
  const std::int64_t linear = static_cast<std::int64_t>(days) * kMsPerDay + ms;
  if (linear >= kEndDay * kMsPerDay) ThrowRange(value);  // rounded up past 9999-12-31
  return linear;
}

TDateTime FromLinearMs(std::int64_t linear) {
  if (linear < kFirstDay * kMsPerDay || linear >= kEndDay * kMsPerDay)
    ThrowRange(static_cast<double>(linear) / static_cast<double>(kMsPerDay));
  const std::int64_t days = FloorDiv(linear, kMsPerDay);
  const double time =
      static_cast<double>(linear - days * kMsPerDay) / static_cast<double>(kMsPerDay);
  return days >= 0 ? static_cast<double>(days) + time : static_cast<double>(days) - time;
}

bool ValidDate(int year, int month, int day) {
  return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
         day <= DaysInMonth(year, month);
}

bool ValidTime(int hour, int minute, int second, int ms) {
  return hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second < 60 &&
         ms >= 0 && ms < 1000;
}

std::int64_t LinearOf(const CivilTime& t) {
  const std::int64_t days =
      DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) +
      kUnixEpochDays;
  return days * kMsPerDay + ((t.hour * 60LL + t.minute) * 60 + t.second) * 1000 + t.millisecond;
}

// The C library's time-zone state (tzset, localtime_r) is process-wide. glibc
// guards it with a lock of its own that ThreadSanitizer cannot see, so the
// platform takes one it can: every reading of the zone holds it.
std::mutex& ZoneLock() {
  static std::mutex lock;
  return lock;
}

// Brings the C library's zone up to date. With TZ set, glibc's tzset only
// compares it with the last value, and a change is taken at once. Without
// TZ it looks at /etc/localtime on every call (a file system call each
// time), so then the zone is read again at most once a second. Called with
// ZoneLock held.
void RefreshZone() {
  static bool read = false, wasSet = false;
  static std::uint32_t lastRead = 0;
  const bool set = std::getenv("TZ") != nullptr;
  const std::uint32_t now = GetTickCount();
  if (read && !set && !wasSet && TicksBetween(lastRead, now) < 1000) return;
  ::tzset();
  read = true;
  wasSet = set;
  lastRead = now;
}

// Offset of local time from UTC, in seconds, at a Unix moment. Called with
// ZoneLock held.
long UtcOffsetAt(std::int64_t unixSeconds) {
  const std::time_t t = static_cast<std::time_t>(unixSeconds);
  std::tm tm{};
  if (!::localtime_r(&t, &tm)) return 0;
  return tm.tm_gmtoff;
}

std::int64_t UnixMsNow() {
  std::timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

}  // namespace

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

TDateTime EncodeDate(int year, int month, int day) {
  if (!ValidDate(year, month, day)) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "Invalid date: year %d, month %d, day %d", year, month, day);
    throw EDateTimeError(buf);
  }
  return static_cast<double>(
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) +
      kUnixEpochDays);
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
  if (!ValidTime(hour, minute, second, millisecond)) {
    char buf[112];
    std::snprintf(buf, sizeof buf, "Invalid time: hour %d, minute %d, second %d, millisecond %d",
                  hour, minute, second, millisecond);
    throw EDateTimeError(buf);
  }
  return static_cast<double>(((hour * 60LL + minute) * 60 + second) * 1000 + millisecond) /
         static_cast<double>(kMsPerDay);
}

bool TryEncodeDateTime(const CivilTime& t, TDateTime& result) {
  if (!ValidDate(t.year, t.month, t.day) || !ValidTime(t.hour, t.minute, t.second, t.millisecond))
    return false;
  result = FromLinearMs(LinearOf(t));
  return true;
}

TDateTime EncodeDateTime(const CivilTime& t) {
  EncodeDate(t.year, t.month, t.day);  // throws with the field that is wrong
  EncodeTime(t.hour, t.minute, t.second, t.millisecond);
  return FromLinearMs(LinearOf(t));
}

CivilTime DecodeDateTime(TDateTime value) {
  const std::int64_t linear = ToLinearMs(value);
  const std::int64_t days = FloorDiv(linear, kMsPerDay);
  std::int64_t ms = linear - days * kMsPerDay;
  CivilTime t;
  CivilFromDays(days - kUnixEpochDays, t.year, t.month, t.day);
  t.millisecond = static_cast<int>(ms % 1000);
  ms /= 1000;
  t.second = static_cast<int>(ms % 60);
  ms /= 60;
  t.minute = static_cast<int>(ms % 60);
  t.hour = static_cast<int>(ms / 60);
  // 1899-12-30 was a Saturday (7).
  t.dayOfWeek = static_cast<int>(((days % 7) + 7 + 6) % 7) + 1;
  return t;
}

TDateTime TimeOf(TDateTime value) {
  const std::int64_t linear = ToLinearMs(value);
  return static_cast<double>(linear - FloorDiv(linear, kMsPerDay) * kMsPerDay) /
         static_cast<double>(kMsPerDay);
}

TDateTime NowUTC() {
  return FromLinearMs(UnixMsNow() + kUnixEpochDays * kMsPerDay);
}

TDateTime Now() {
  std::lock_guard zone(ZoneLock());
  RefreshZone();
  const std::int64_t unixMs = UnixMsNow();
  const long offset = UtcOffsetAt(FloorDiv(unixMs, 1000));
  return FromLinearMs(unixMs + offset * 1000LL + kUnixEpochDays * kMsPerDay);
}

TDateTime UTCToLocal(TDateTime utc) {
  std::lock_guard zone(ZoneLock());
  RefreshZone();
  const std::int64_t linear = ToLinearMs(utc);
  const std::int64_t unixMs = linear - kUnixEpochDays * kMsPerDay;
  return FromLinearMs(linear + UtcOffsetAt(FloorDiv(unixMs, 1000)) * 1000LL);
}

TDateTime LocalToUTC(TDateTime local) {
  std::lock_guard zone(ZoneLock());
  RefreshZone();
  const std::int64_t linear = ToLinearMs(local);
  const std::int64_t asUnix = FloorDiv(linear - kUnixEpochDays * kMsPerDay, 1000);
  // Clock changes are days apart, so the offsets a day before and a day after
  // are the only candidates. A candidate fits when the moment it gives has
  // that offset itself. Both fit for a repeated hour, none for a skipped one:
  // then the offset before the change is taken.
  const long before = UtcOffsetAt(asUnix - 86400);
  const long after = UtcOffsetAt(asUnix + 86400);
  long offset = before;
  if (before != after && UtcOffsetAt(asUnix - before) != before &&
      UtcOffsetAt(asUnix - after) == after)
    offset = after;
  return FromLinearMs(linear - offset * 1000LL);
}

TDateTime UnixToDateTime(std::int64_t seconds) {
  constexpr std::int64_t kMin = (kFirstDay - kUnixEpochDays) * 86400;
  constexpr std::int64_t kEnd = (kEndDay - kUnixEpochDays) * 86400;
  if (seconds < kMin || seconds >= kEnd) {
    throw EDateTimeError("Unix time out of range: " + std::to_string(seconds));
  }
  return FromLinearMs(seconds * 1000 + kUnixEpochDays * kMsPerDay);
}

std::int64_t DateTimeToUnix(TDateTime value) {
  const std::int64_t unixMs = ToLinearMs(value) - kUnixEpochDays * kMsPerDay;
  return FloorDiv(unixMs + 500, 1000);
}

// --- formatting ----------------------------------------------------------------

namespace {

void AppendNumber(std::string& out, int value, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*d", digits, value);
  out += buf;
}

bool IsAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
char AsciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

bool StartsAscii(std::string_view s, std::size_t at, std::string_view prefix) {
  if (s.size() - at < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (AsciiUpper(s[at + i]) != AsciiUpper(prefix[i])) return false;
  return true;
}

// Whether an am/pm specifier follows position at (outside quotes): then "h"
// counts twelve hours.
bool TwelveHourFrom(std::string_view f, std::size_t at) {
  for (std::size_t i = at; i < f.size(); ++i) {
    const char c = f[i];
    if (c == '"' || c == '\'') {
      const auto close = f.find(c, i + 1);
      if (close == std::string_view::npos) return false;
      i = close;
    } else if (StartsAscii(f, i, "am/pm") || StartsAscii(f, i, "a/p") ||
               StartsAscii(f, i, "ampm")) {
      return true;
    }
  }
  return false;
}

struct Formatter {
  const CivilTime& t;
  bool hasTime;
  const FormatSettings& s;
  std::string out;

  void Append(std::string_view f, int level) {
    char lastToken = 0;
    std::size_t i = 0;
    while (i < f.size()) {
      const char c = f[i];
      if (!IsAsciiLetter(c)) {
        if (c == '"' || c == '\'') {
          const auto close = f.find(c, i + 1);
          const std::size_t end = close == std::string_view::npos ? f.size() : close;
          out.append(f.substr(i + 1, end - i - 1));
          i = end == f.size() ? end : end + 1;
        } else {
          out += c == '/' ? s.dateSeparator : c == ':' ? s.timeSeparator : c;
          ++i;
        }
        continue;
      }
      char token = AsciiUpper(c);
      if (token == 'M' && lastToken == 'H') token = 'N';
      lastToken = token;
      std::size_t count = 1;
      while (i + count < f.size() && f[i + count] == c) ++count;
      const auto cap = [&](std::size_t n) { return static_cast<int>(count > n ? n : count); };
      switch (token) {
        case 'Y':
          if (count <= 2)
            AppendNumber(out, t.year % 100, 2);
          else
            AppendNumber(out, t.year, 4);
          break;
        case 'M':
          if (count <= 2)
            AppendNumber(out, t.month, static_cast<int>(count));
          else if (count == 3)
            out += s.shortMonthNames[static_cast<std::size_t>(t.month - 1)];
          else
            out += s.longMonthNames[static_cast<std::size_t>(t.month - 1)];
          break;
        case 'D':
          if (count <= 2)
            AppendNumber(out, t.day, static_cast<int>(count));
          else if (count == 3)
            out += s.shortDayNames[static_cast<std::size_t>(t.dayOfWeek - 1)];
          else if (count == 4)
            out += s.longDayNames[static_cast<std::size_t>(t.dayOfWeek - 1)];
          else if (level < 2)
            Append(count == 5 ? s.shortDateFormat : s.longDateFormat, level + 1);
          break;
        case 'H': {
          int h = t.hour;
          if (TwelveHourFrom(f, i + count)) {
            h %= 12;
            if (h == 0) h = 12;
          }
          AppendNumber(out, h, cap(2));
          break;
        }
        case 'N':
          AppendNumber(out, t.minute, cap(2));
          break;
        case 'S':
          AppendNumber(out, t.second, cap(2));
          break;
        case 'Z':
          AppendNumber(out, t.millisecond, cap(3));
          break;
        case 'T':
          if (level < 2) Append(count == 1 ? s.shortTimeFormat : s.longTimeFormat, level + 1);
          break;
        case 'C':
          if (level < 2) {
            Append(s.shortDateFormat, level + 1);
            if (hasTime) {
              out += ' ';
              Append(s.longTimeFormat, level + 1);
            }
          }
          break;
        case 'A':
          if (StartsAscii(f, i, "am/pm")) {
            out.append(f.substr(t.hour >= 12 ? i + 3 : i, 2));
            i += 5;
          } else if (StartsAscii(f, i, "a/p")) {
            out += f[t.hour >= 12 ? i + 2 : i];
            i += 3;
          } else if (StartsAscii(f, i, "ampm")) {
            out += t.hour >= 12 ? s.timePMString : s.timeAMString;
            i += 4;
          } else {
            out += c;
            i += 1;
          }
          continue;
        default:
          out.append(count, c);
          break;
      }
      i += count;
    }
  }
};

std::string EnvLocale(const char* category) {
  for (const char* name : {"LC_ALL", category, "LANG"}) {
    const char* v = std::getenv(name);
    if (v && *v) return v;
  }
  return std::string();
}

// The ICU pattern of a date or time style as ASCII, quoted text removed
// (letters inside quotes are no fields).
std::string IcuPattern(const std::string& locale, UDateFormatStyle timeStyle,
                       UDateFormatStyle dateStyle) {
  UErrorCode status = U_ZERO_ERROR;
  UDateFormat* fmt =
      udat_open(timeStyle, dateStyle, locale.c_str(), nullptr, 0, nullptr, 0, &status);
  if (U_FAILURE(status) || !fmt) return std::string();
  UChar buf[128];
  const int32_t n = udat_toPattern(fmt, false, buf, 128, &status);
  udat_close(fmt);
  if (U_FAILURE(status) || n <= 0 || n >= 128) return std::string();
  std::string out;
  bool quoted = false;
  for (int32_t i = 0; i < n; ++i) {
    const UChar c = buf[i];
    if (c == u'\'') {
      quoted = !quoted;
      out += ' ';
      continue;
    }
    if (quoted) continue;
    out += c < 0x80 ? static_cast<char>(c) : '\x01';  // non-ASCII text stands as one mark
  }
  return out;
}

// The separator after the first field run in an ICU pattern: the first
// character between that run and the next letter that is neither a blank nor
// a non-ASCII mark.
char SeparatorAfterFirstField(const std::string& pattern, char fallback) {
  std::size_t i = 0;
  while (i < pattern.size() && !IsAsciiLetter(pattern[i])) ++i;
  while (i < pattern.size() && IsAsciiLetter(pattern[i])) ++i;
  for (; i < pattern.size() && !IsAsciiLetter(pattern[i]); ++i) {
    const char c = pattern[i];
    if (c != ' ' && c != '\x01' && c != ',') return c;
  }
  return fallback;
}

}  // namespace

FormatSettings FormatSettingsForLocale(std::string_view localeName) {
  std::string name(localeName);
  name = name.substr(0, name.find_first_of(".@"));
  if (name == "C" || name == "POSIX") name.clear();

  FormatSettings fs;
  const std::string date = IcuPattern(name, UDAT_NONE, UDAT_SHORT);
  // Field order and widths of day, month and year as the locale writes them.
  std::string order;
  int dayWidth = 2, monthWidth = 2;
  for (std::size_t i = 0; i < date.size();) {
    const char c = date[i];
    std::size_t n = 1;
    while (i + n < date.size() && date[i + n] == c) ++n;
    char field = 0;
    if (c == 'y' || c == 'Y' || c == 'u') field = 'y';
    if (c == 'M' || c == 'L') {
      field = 'm';
      monthWidth = n == 1 ? 1 : 2;
    }
    if (c == 'd') {
      field = 'd';
      dayWidth = n == 1 ? 1 : 2;
    }
    if (field && order.find(field) == std::string::npos) order += field;
    i += n;
  }
  if (order.size() == 3) {
    fs.dateSeparator = SeparatorAfterFirstField(date, '/');
    std::string f;
    for (const char field : order) {
      if (!f.empty()) f += '/';
      if (field == 'y') f += "yyyy";
      if (field == 'm') f += monthWidth == 1 ? "m" : "mm";
      if (field == 'd') f += dayWidth == 1 ? "d" : "dd";
    }
    fs.shortDateFormat = f;
  } else {
    fs.shortDateFormat = "yyyy/mm/dd";
    fs.dateSeparator = '-';
  }
  const std::string time = IcuPattern(name, UDAT_SHORT, UDAT_NONE);
  fs.timeSeparator = SeparatorAfterFirstField(time, ':');
  fs.longTimeFormat = "hh:nn:ss";
  fs.shortTimeFormat = "hh:nn";
  return fs;
}

const FormatSettings& LocaleFormatSettings() {
  static const FormatSettings settings = FormatSettingsForLocale(EnvLocale("LC_TIME"));
  return settings;
}

std::string FormatDateTime(std::string_view format, TDateTime value,
                           const FormatSettings& settings) {
  const CivilTime t = DecodeDateTime(value);
  Formatter f{t, t.hour != 0 || t.minute != 0 || t.second != 0 || t.millisecond != 0, settings, {}};
  f.Append(format, 0);
  return std::move(f.out);
}

std::uint32_t GetTickCount() noexcept {
  std::timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  const std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                           static_cast<std::uint64_t>(ts.tv_nsec) / 1'000'000u;
  return static_cast<std::uint32_t>(ms);
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(y + (month <= 2));
}

}  // namespace tarvo::platform
