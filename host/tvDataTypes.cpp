#include "host/tvDataTypes.h"

#include "platform/core/DateTime.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace tarvo {

TMdsTypeGroup TypeGroup(int code) noexcept {
  switch (code) {
    case mtcBoolean:
      return TMdsTypeGroup::Boolean;
    case mtcInt8:
    case mtcInt16:
    case mtcInt32:
    case mtcInt64:
    case mtcUInt8:
    case mtcUInt16:
    case mtcUInt32:
    case mtcUInt64:
    case mtcDouble:
    case mtcCurrency:
    case mtcFixed:
      return TMdsTypeGroup::Numeric;
    case mtcDateTime:
    case mtcDate:
    case mtcTime:
      return TMdsTypeGroup::DateTime;
    case mtcChars:
    case mtcString:
    case mtcWideString:
    case mtcMemo:
      return TMdsTypeGroup::Text;
    case mtcCustom:
      return TMdsTypeGroup::Custom;
    default:
      return TMdsTypeGroup::Unconvertible;
  }
}

bool IsValidTypeCode(int code) noexcept {
  return TypeGroup(code) != TMdsTypeGroup::Unconvertible;
}

std::uint32_t FixedCellSize(int code) noexcept {
  switch (code) {
    case mtcBoolean:
    case mtcInt8:
    case mtcUInt8:
      return 1;
    case mtcInt16:
    case mtcUInt16:
      return 2;
    case mtcInt32:
    case mtcUInt32:
    case mtcDate:
    case mtcTime:
      return 4;
    case mtcInt64:
    case mtcUInt64:
    case mtcDouble:
    case mtcCurrency:
    case mtcDateTime:
      return 8;
    case mtcFixed:
      return static_cast<std::uint32_t>(TFixed::kRawSize);
    default:
      return 0;
  }
}

std::string_view TypeCodeName(int code) noexcept {
  switch (code) {
    case mtcBoolean:
      return "Boolean";
    case mtcInt8:
      return "Int8";
    case mtcInt16:
      return "Int16";
    case mtcInt32:
      return "Int32";
    case mtcInt64:
      return "Int64";
    case mtcUInt8:
      return "UInt8";
    case mtcUInt16:
      return "UInt16";
    case mtcUInt32:
      return "UInt32";
    case mtcUInt64:
      return "UInt64";
    case mtcChars:
      return "Chars";
    case mtcDouble:
      return "Double";
    case mtcCurrency:
      return "Currency";
    case mtcDateTime:
      return "DateTime";
    case mtcDate:
      return "Date";
    case mtcTime:
      return "Time";
    case mtcString:
      return "String";
    case mtcWideString:
      return "WideString";
    case mtcMemo:
      return "Memo";
    case mtcFixed:
      return "Fixed";
    case mtcCustom:
      return "Custom";
    default:
      return "Unknown";
  }
}

// --- TFixed ----------------------------------------------------------------------

namespace {

using i128 = __int128;

constexpr i128 Pow10(int n) {
  i128 r = 1;
  for (int i = 0; i < n; ++i) r *= 10;
  return r;
}

bool FitsInt64(i128 v) {
  return v >= static_cast<i128>(INT64_MIN) && v <= static_cast<i128>(INT64_MAX);
}

}  // namespace

void TFixed::Normalize() noexcept {
  while (scale > 0 && mantissa % 10 == 0) {
    mantissa /= 10;
    --scale;
  }
  if (mantissa == 0) scale = 0;
}

std::string TFixed::ToString() const {
  bool negative = mantissa < 0;
  // The magnitude of INT64_MIN does not fit an int64: widen first.
  unsigned __int128 mag = negative ? static_cast<unsigned __int128>(-static_cast<i128>(mantissa))
                                   : static_cast<unsigned __int128>(mantissa);
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(mag % 10)));
    mag /= 10;
  } while (mag != 0);
  if (scale > 0) {
    if (digits.size() <= scale) digits.insert(0, scale - digits.size() + 1, '0');
    digits.insert(digits.size() - scale, 1, '.');
  }
  if (negative) digits.insert(digits.begin(), '-');
  return digits;
}

double TFixed::ToDouble() const noexcept {
  // Through the decimal text: the correctly rounded nearest double.
  std::string text = ToString();
  double result = 0;
  std::from_chars(text.data(), text.data() + text.size(), result);
  return result;
}

bool TFixed::TryParse(std::string_view text, TFixed& out) {
  std::size_t i = 0, n = text.size();
  while (i < n && static_cast<unsigned char>(text[i]) <= ' ') ++i;
  while (n > i && static_cast<unsigned char>(text[n - 1]) <= ' ') --n;
  if (i >= n) return false;
  bool negative = false;
  if (text[i] == '+' || text[i] == '-') {
    negative = text[i] == '-';
    ++i;
  }
  // Up to 36 significant digits are kept exactly; later ones only decide the
  // rounding (sticky), which is far below the 18 decimals kept.
  i128 digits = 0;
  int kept = 0;
  int exp10 = 0;
  bool sticky = false, any = false, point = false;
  for (; i < n; ++i) {
    char c = text[i];
    if (c >= '0' && c <= '9') {
      any = true;
      if (kept < 36) {
        if (digits != 0 || c != '0') ++kept;
        digits = digits * 10 + (c - '0');
        if (point) --exp10;
      } else {
        if (c != '0') sticky = true;
        if (!point) ++exp10;
      }
    } else if (c == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (!any) return false;
  if (i < n) {
    if (text[i] != 'e' && text[i] != 'E') return false;
    ++i;
    bool eneg = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
      eneg = text[i] == '-';
      ++i;
    }
    if (i >= n) return false;
    int e = 0;
    for (; i < n; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      if (e < 10000) e = e * 10 + (text[i] - '0');
    }
    exp10 += eneg ? -e : e;
  }
  if (digits == 0) {
    out = TFixed{};
    return true;
  }
  // Drop trailing zero digits to keep the exponent small.
  while (digits % 10 == 0 && !sticky) {
    digits /= 10;
    ++exp10;
  }
  if (exp10 >= 0) {
    if (exp10 > 19) return false;
    i128 v = digits * Pow10(exp10);
    if (v / Pow10(exp10) != digits || !FitsInt64(negative ? -v : v)) return false;
    out.mantissa = static_cast<std::int64_t>(negative ? -v : v);
    out.scale = 0;
    return true;
  }
  int scale = -exp10;
  i128 v = digits;
  if (scale > kMaxScale) {
    int drop = scale - kMaxScale;
    if (drop > 38) {
      v = 0;
    } else {
      // Sticky digits beyond the kept ones only matter for an exact half.
      i128 d = Pow10(drop);
      i128 q = v / d, r = v % d;
      if (r * 2 > d || (r * 2 == d && (sticky || q % 2 != 0))) ++q;
      v = q;
    }
    scale = kMaxScale;
  }
  if (negative) v = -v;
  if (!FitsInt64(v)) return false;
  out.mantissa = static_cast<std::int64_t>(v);
  out.scale = static_cast<std::uint8_t>(scale);
  out.Normalize();
  return true;
}

bool TFixed::TryFromDouble(double value, TFixed& out) {
  if (!std::isfinite(value)) return false;
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  if (res.ec != std::errc()) return false;
  return TryParse(std::string_view(buf, static_cast<std::size_t>(res.ptr - buf)), out);
}

void TFixed::ToRaw(void* dest) const noexcept {
  auto* p = static_cast<unsigned char*>(dest);
  std::memcpy(p, &mantissa, 8);
  p[8] = scale;
  p[9] = 0;
}

TFixed TFixed::FromRaw(const void* src) noexcept {
  TFixed f;
  const auto* p = static_cast<const unsigned char*>(src);
  std::memcpy(&f.mantissa, p, 8);
  // A damaged scale must not make comparisons overflow.
  f.scale = p[8] <= kMaxScale ? p[8] : kMaxScale;
  return f;
}

int CompareFixed(const TFixed& a, const TFixed& b) noexcept {
  int s = a.scale > b.scale ? a.scale : b.scale;
  i128 x = static_cast<i128>(a.mantissa) * Pow10(s - a.scale);
  i128 y = static_cast<i128>(b.mantissa) * Pow10(s - b.scale);
  return x < y ? -1 : (x > y ? 1 : 0);
}

std::string CurrencyToString(std::int64_t scaled) {
  TFixed f{scaled, 4};
  f.Normalize();
  return f.ToString();
}

// --- date-time -------------------------------------------------------------------

namespace {

using platform::CivilFromDays;
using platform::DaysFromCivil;

const std::int64_t kCivilOf18991230 = DaysFromCivil(1899, 12, 30);
constexpr double kMinDateTime = -693593.0;  // 0001-01-01
constexpr double kMaxDateTime = 2958466.0;  // 10000-01-01, exclusive

std::int32_t DayNumber(int y, int m, int d) {
  return static_cast<std::int32_t>(
      DaysFromCivil(y, static_cast<unsigned>(m), static_cast<unsigned>(d)) - kCivilOf18991230 +
      kDateDelta);
}

void Append2(std::string& s, int v) {
  s += static_cast<char>('0' + v / 10 % 10);
  s += static_cast<char>('0' + v % 10);
}

std::string StampDateText(const TTimeStamp& ts) {
  int y, m, d;
  CivilFromDays(static_cast<std::int64_t>(ts.Date) - kDateDelta + kCivilOf18991230, y, m, d);
  std::string s;
  s += std::to_string(y / 1000 % 10) + std::to_string(y / 100 % 10);
  Append2(s, y % 100);
  s += '-';
  Append2(s, m);
  s += '-';
  Append2(s, d);
  return s;
}

std::string StampTimeText(const TTimeStamp& ts) {
  int ms = ts.Time;
  std::string s;
  Append2(s, ms / 3600000);
  s += ':';
  Append2(s, ms / 60000 % 60);
  s += ':';
  Append2(s, ms / 1000 % 60);
  if (ms % 1000 != 0) {
    s += '.';
    s += static_cast<char>('0' + ms % 1000 / 100);
    Append2(s, ms % 100);
  }
  return s;
}

bool ReadInt(std::string_view t, std::size_t& i, int minDigits, int maxDigits, int& v) {
  int count = 0;
  v = 0;
  while (i < t.size() && t[i] >= '0' && t[i] <= '9' && count < maxDigits) {
    v = v * 10 + (t[i] - '0');
    ++i;
    ++count;
  }
  return count >= minDigits;
}

bool ValidDate(int y, int m, int d) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  int days = kDays[m - 1] + (m == 2 && leap ? 1 : 0);
  return d <= days;
}

// "hh:nn[:ss[.zzz]]" at i; fills ms of the day.
bool ReadTime(std::string_view t, std::size_t& i, std::int32_t& ms) {
  int h, n, s = 0, z = 0;
  if (!ReadInt(t, i, 1, 2, h) || i >= t.size() || t[i] != ':') return false;
  ++i;
  if (!ReadInt(t, i, 2, 2, n)) return false;
  if (i < t.size() && t[i] == ':') {
    ++i;
    if (!ReadInt(t, i, 2, 2, s)) return false;
    if (i < t.size() && (t[i] == '.' || t[i] == ',')) {
      ++i;
      std::size_t start = i;
      if (!ReadInt(t, i, 1, 3, z)) return false;
      for (std::size_t k = i - start; k < 3; ++k) z *= 10;
    }
  }
  if (h > 23 || n > 59 || s > 59) return false;
  ms = ((h * 60 + n) * 60 + s) * 1000 + z;
  return true;
}

}  // namespace

bool TryDateTimeToTimeStamp(double value, TTimeStamp& out) noexcept {
  if (!std::isfinite(value) || value < kMinDateTime || value >= kMaxDateTime) return false;
  double day = std::trunc(value);
  double frac = std::fabs(value - day);
  long long ms = std::llround(frac * kMsPerDay);
  long long dayNo = static_cast<long long>(day);
  if (ms >= kMsPerDay) {
    ms -= kMsPerDay;
    dayNo += 1;  // forwards in time, whatever the sign of the value
  }
  long long date = dayNo + kDateDelta;
  if (date < 1 || date > DayNumber(9999, 12, 31)) return false;
  out.Date = static_cast<std::int32_t>(date);
  out.Time = static_cast<std::int32_t>(ms);
  return true;
}

double TimeStampToDateTime(const TTimeStamp& stamp) noexcept {
  double day = static_cast<double>(stamp.Date - kDateDelta);
  double frac = static_cast<double>(stamp.Time) / kMsPerDay;
  return day >= 0 ? day + frac : day - frac;
}

double DateTimeZeroMilliseconds(double value) noexcept {
  TTimeStamp ts;
  if (!TryDateTimeToTimeStamp(value, ts)) return value;
  ts.Time -= ts.Time % 1000;
  return TimeStampToDateTime(ts);
}

std::string DateToIsoText(double value) {
  TTimeStamp ts;
  if (!TryDateTimeToTimeStamp(value, ts)) return std::to_string(value);
  return StampDateText(ts);
}

std::string TimeToIsoText(double value) {
  TTimeStamp ts;
  if (!TryDateTimeToTimeStamp(value, ts)) return std::to_string(value);
  return StampTimeText(ts);
}

std::string DateTimeToIsoText(double value) {
  TTimeStamp ts;
  if (!TryDateTimeToTimeStamp(value, ts)) return std::to_string(value);
  std::string s = StampDateText(ts);
  if (ts.Time != 0) s += ' ' + StampTimeText(ts);
  return s;
}

bool TryParseDateTimeText(std::string_view text, double& out) {
  std::size_t b = 0, e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) <= ' ') --e;
  std::string_view t = text.substr(b, e - b);
  if (t.empty()) return false;
  std::size_t i = 0;
  TTimeStamp ts;
  // A time alone: "hh:nn[:ss[.zzz]]".
  std::size_t colon = t.find(':');
  std::size_t dash = t.find_first_of("-.");
  if (colon != std::string_view::npos && (dash == std::string_view::npos || colon < dash)) {
    std::int32_t ms;
    if (!ReadTime(t, i, ms) || i != t.size()) return false;
    ts.Date = kDateDelta;
    ts.Time = ms;
    out = TimeStampToDateTime(ts);
    return true;
  }
  int y, m, d;
  int first;
  if (!ReadInt(t, i, 1, 4, first) || i >= t.size()) return false;
  if (t[i] == '-') {  // yyyy-mm-dd
    y = first;
    ++i;
    if (!ReadInt(t, i, 1, 2, m) || i >= t.size() || t[i] != '-') return false;
    ++i;
    if (!ReadInt(t, i, 1, 2, d)) return false;
  } else if (t[i] == '.') {  // dd.mm.yyyy
    d = first;
    ++i;
    if (!ReadInt(t, i, 1, 2, m) || i >= t.size() || t[i] != '.') return false;
    ++i;
    if (!ReadInt(t, i, 4, 4, y)) return false;
  } else {
    return false;
  }
  if (!ValidDate(y, m, d)) return false;
  ts.Date = DayNumber(y, m, d);
  if (i < t.size()) {
    if (t[i] != ' ' && t[i] != 'T') return false;
    while (i < t.size() && (t[i] == ' ' || t[i] == 'T')) ++i;
    if (!ReadTime(t, i, ts.Time) || i != t.size()) return false;
  }
  out = TimeStampToDateTime(ts);
  return true;
}

}  // namespace tarvo
