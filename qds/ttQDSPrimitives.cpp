#include "qds/ttQDSPrimitives.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "platform/core/DateTime.h"
#include "platform/core/Text.h"

namespace tarvo {

// --- errors ------------------------------------------------------------------

namespace {
std::atomic<EQDSException::TTaskDialogPresenter> gPresenter{nullptr};
}

void EQDSException::MessageBox() const {
  if (const TTaskDialogPresenter presenter = gPresenter.load()) presenter({}, fText, what());
}

void EQDSException::SetTaskDialogPresenter(TTaskDialogPresenter presenter) noexcept {
  gPresenter.store(presenter);
}

// --- process-wide switches ------------------------------------------------------

std::atomic<TQDSTEID> QDSTradeEngineID{TQDSTEID::eiStock};
std::atomic<bool> USE_QDS{true};
std::atomic<bool> USE_BOARDGROUPS{true};

// --- cell values -----------------------------------------------------------------

std::string VarToStr(const TQDSVariant& v) {
  struct Visitor {
    std::string operator()(std::monostate) const { return {}; }
    std::string operator()(bool b) const { return b ? "True" : "False"; }
    std::string operator()(std::int32_t i) const { return std::to_string(i); }
    std::string operator()(std::int64_t i) const { return std::to_string(i); }
    std::string operator()(double d) const {
      if (std::isnan(d)) return "NAN";
      if (std::isinf(d)) return d > 0 ? "INF" : "-INF";
      char buf[64];
      const auto r = std::to_chars(buf, buf + sizeof buf, d);
      return std::string(buf, r.ptr);
    }
    std::string operator()(const std::string& s) const { return s; }
    std::string operator()(TQDSDateTime t) const { return FormatQDSDateTime(t.value); }
  };
  return std::visit(Visitor{}, v);
}

// --- dates of the service ------------------------------------------------------------

const TQDSFormatSettings qdsFormatSettings{};

namespace {

// Reads 1..maxDigits decimal digits at pos.
bool ReadNumber(std::string_view s, std::size_t& pos, int maxDigits, int& value) {
  int digits = 0;
  value = 0;
  while (pos < s.size() && digits < maxDigits && s[pos] >= '0' && s[pos] <= '9') {
    value = value * 10 + (s[pos] - '0');
    ++pos;
    ++digits;
  }
  return digits > 0;
}

bool Expect(std::string_view s, std::size_t& pos, char c) {
  if (pos < s.size() && s[pos] == c) {
    ++pos;
    return true;
  }
  return false;
}

bool ParseDatePart(std::string_view s, std::size_t& pos, platform::CivilTime& t) {
  return ReadNumber(s, pos, 4, t.year) && Expect(s, pos, qdsFormatSettings.DateSeparator) &&
         ReadNumber(s, pos, 2, t.month) && Expect(s, pos, qdsFormatSettings.DateSeparator) &&
         ReadNumber(s, pos, 2, t.day);
}

bool ParseTimePart(std::string_view s, std::size_t& pos, platform::CivilTime& t) {
  if (!ReadNumber(s, pos, 2, t.hour) || !Expect(s, pos, qdsFormatSettings.TimeSeparator) ||
      !ReadNumber(s, pos, 2, t.minute))
    return false;
  if (Expect(s, pos, qdsFormatSettings.TimeSeparator)) {
    if (!ReadNumber(s, pos, 2, t.second)) return false;
    if (Expect(s, pos, qdsFormatSettings.DecimalSeparator)) {
      // Milliseconds: up to three digits, read as a fraction of a second.
      const std::size_t start = pos;
      int ms = 0;
      if (!ReadNumber(s, pos, 3, ms)) return false;
      for (std::size_t n = pos - start; n < 3; ++n) ms *= 10;
      t.millisecond = ms;
    }
  }
  return true;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

// Days from 0000-03-01 of the proleptic Gregorian calendar (H. Hinnant's
// days_from_civil): plain arithmetic, as a row table parses a date per cell.
constexpr std::int64_t DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return std::int64_t{era} * 146097 + doe;
}

bool Encode(const platform::CivilTime& t, double& result) {
  constexpr std::int64_t epoch = DaysFromCivil(1899, 12, 30);
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (t.year < 1 || t.year > 9999 || t.month < 1 || t.month > 12 || t.day < 1) return false;
  const bool leap = (t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0;
  if (t.day > kDays[t.month - 1] + (t.month == 2 && leap ? 1 : 0)) return false;
  if (t.hour > 23 || t.minute > 59 || t.second > 59 || t.millisecond > 999) return false;
  const double days = static_cast<double>(DaysFromCivil(t.year, t.month, t.day) - epoch);
  const double time =
      (t.hour * 3600000.0 + t.minute * 60000.0 + t.second * 1000.0 + t.millisecond) / 86400000.0;
  // Before 1899-12-30 the fraction still counts forwards from midnight.
  result = days < 0 ? days - time : days + time;
  return true;
}

}  // namespace

namespace {

// The exact forms the service writes ("2024-01-02", "10:30:00"), read
// without the general parser: a row table reads one per cell.
bool Digits(std::string_view s, std::size_t at, std::size_t count, int& value) {
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    value = value * 10 + (s[i] - '0');
  }
  return true;
}

bool ExactDate(std::string_view s, std::size_t at, platform::CivilTime& t) {
  return s[at + 4] == '-' && s[at + 7] == '-' && Digits(s, at, 4, t.year) &&
         Digits(s, at + 5, 2, t.month) && Digits(s, at + 8, 2, t.day);
}

bool ExactTime(std::string_view s, std::size_t at, platform::CivilTime& t) {
  return s[at + 2] == ':' && s[at + 5] == ':' && Digits(s, at, 2, t.hour) &&
         Digits(s, at + 3, 2, t.minute) && Digits(s, at + 6, 2, t.second);
}

}  // namespace

bool TryParseQDSDate(std::string_view text, double& result) {
  if (platform::CivilTime t; text.size() == 10 && ExactDate(text, 0, t)) return Encode(t, result);
  const std::string_view s = TrimBlanks(text);
  std::size_t pos = 0;
  platform::CivilTime t;
  if (!ParseDatePart(s, pos, t) || pos != s.size()) return false;
  return Encode(t, result);
}

bool TryParseQDSDateTime(std::string_view text, double& result) {
  if (platform::CivilTime t;
      text.size() == 19 && text[10] == ' ' && ExactDate(text, 0, t) && ExactTime(text, 11, t))
    return Encode(t, result);
  const std::string_view s = TrimBlanks(text);
  std::size_t pos = 0;
  platform::CivilTime t;
  if (!ParseDatePart(s, pos, t)) return false;
  if (pos < s.size()) {
    if (s[pos] != ' ' && s[pos] != 'T') return false;
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == 'T')) ++pos;
    if (!ParseTimePart(s, pos, t)) return false;
  }
  if (pos != s.size()) return false;
  return Encode(t, result);
}

bool TryParseQDSTime(std::string_view text, double& result) {
  if (platform::CivilTime t; text.size() == 8 && ExactTime(text, 0, t)) return Encode(t, result);
  const std::string_view s = TrimBlanks(text);
  std::size_t pos = 0;
  platform::CivilTime t;
  if (!ParseTimePart(s, pos, t) || pos != s.size()) return false;
  return Encode(t, result);
}

std::string FormatQDSDateTime(double value) {
  platform::CivilTime t;
  try {
    t = platform::DecodeDateTime(value);
  } catch (const std::exception&) {
    return VarToStr(TQDSVariant(value));
  }
  char buf[64];
  if (t.hour == 0 && t.minute == 0 && t.second == 0 && t.millisecond == 0)
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", t.year, t.month, t.day);
  else
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
  return buf;
}

// --- byte streams ----------------------------------------------------------------

void TQDSStream::ReadExact(void* buffer, std::size_t count) {
  if (Remaining() < count) throw EQDSException("Stream read error");
  if (Read(buffer, count) != count) throw EQDSException("Stream read error");
}

std::size_t TQDSMemoryStream::Read(void* buffer, std::size_t count) {
  const std::size_t available = fPosition < fData.size() ? fData.size() - fPosition : 0;
  const std::size_t n = count < available ? count : available;
  if (n) std::memcpy(buffer, fData.data() + fPosition, n);
  fPosition += n;
  return n;
}

void TQDSMemoryStream::Write(const void* data, std::size_t count) {
  if (!count) return;
  if (count > fData.max_size() - fPosition) throw EQDSException("Stream write error");
  const std::size_t end = fPosition + count;
  if (end > fData.size()) fData.resize(end);
  std::memcpy(fData.data() + fPosition, data, count);
  fPosition = end;
}

void TQDSMemoryStream::Write(std::string&& Bytes) {
  if (!fData.empty()) {
    Write(Bytes.data(), Bytes.size());
    return;
  }
  fData = std::move(Bytes);
  fPosition = fData.size();
}

void TQDSMemoryStream::Seek(std::uint64_t position) {
  if (position > fData.size()) throw EQDSException("Stream seek error");
  fPosition = static_cast<std::size_t>(position);
}

namespace {
template <class T>
void WriteLE(TQDSStream& s, T v) {
  unsigned char bytes[sizeof(T)];
  for (std::size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<unsigned char>(v >> (8 * i));
  s.Write(bytes, sizeof bytes);
}
template <class T>
T ReadLE(TQDSStream& s) {
  unsigned char bytes[sizeof(T)];
  s.ReadExact(bytes, sizeof bytes);
  T v = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) v |= static_cast<T>(T(bytes[i]) << (8 * i));
  return v;
}
}  // namespace

void WriteU8(TQDSStream& s, std::uint8_t v) {
  s.Write(&v, 1);
}
void WriteU16(TQDSStream& s, std::uint16_t v) {
  WriteLE(s, v);
}
void WriteU32(TQDSStream& s, std::uint32_t v) {
  WriteLE(s, v);
}
void WriteI32(TQDSStream& s, std::int32_t v) {
  WriteLE(s, static_cast<std::uint32_t>(v));
}
void WriteU64(TQDSStream& s, std::uint64_t v) {
  WriteLE(s, v);
}
void WriteDouble(TQDSStream& s, double v) {
  WriteLE(s, std::bit_cast<std::uint64_t>(v));
}
std::uint8_t ReadU8(TQDSStream& s) {
  return ReadLE<std::uint8_t>(s);
}
std::uint16_t ReadU16(TQDSStream& s) {
  return ReadLE<std::uint16_t>(s);
}
std::uint32_t ReadU32(TQDSStream& s) {
  return ReadLE<std::uint32_t>(s);
}
std::int32_t ReadI32(TQDSStream& s) {
  return static_cast<std::int32_t>(ReadLE<std::uint32_t>(s));
}
std::uint64_t ReadU64(TQDSStream& s) {
  return ReadLE<std::uint64_t>(s);
}
double ReadDouble(TQDSStream& s) {
  return std::bit_cast<double>(ReadLE<std::uint64_t>(s));
}

void StringToStream(std::string_view Bytes, TQDSStream& Stream) {
  if (Bytes.size() > std::numeric_limits<std::uint32_t>::max())
    throw EQDSException("String too long for a stream");
  WriteU32(Stream, static_cast<std::uint32_t>(Bytes.size()));
  Stream.Write(Bytes.data(), Bytes.size());
}

void EncodeStringToStream(std::string_view Text, TQDSStream& Stream) {
  StringToStream(Text, Stream);
}

std::string StringFromStream(TQDSStream& Stream) {
  const std::uint64_t start = Stream.Position();
  if (Stream.Remaining() < 4) throw EQDSException("Stream read error");
  const std::uint32_t count = ReadU32(Stream);
  if (count > Stream.Remaining()) {
    Stream.Seek(start);
    throw EQDSException("Stream read error");
  }
  std::string bytes(count, '\0');
  Stream.ReadExact(bytes.data(), count);
  return bytes;
}

std::string DecodedStringFromStream(TQDSStream& Stream) {
  return SanitizeUtf8(StringFromStream(Stream));
}

// --- text helpers ----------------------------------------------------------------

bool IsValidUtf8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  while (p < end) {
    // Eight ASCII bytes at a time: market data is mostly ASCII.
    if (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if ((word & 0x8080808080808080ull) == 0) {
        p += 8;
        continue;
      }
    }
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    // Two-byte sequences (Cyrillic, Latin-1 ...) are checked without decoding.
    if (c >= 0xC2 && c <= 0xDF) {
      if (end - p < 2 || (p[1] & 0xC0) != 0x80) return false;
      p += 2;
      continue;
    }
    int extra;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (end - p <= extra) return false;
    for (int i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    p += extra + 1;
  }
  return true;
}

std::string SanitizeUtf8(std::string_view bytes) {
  if (IsValidUtf8(bytes)) return std::string(bytes);
  return platform::FromCodePoints(platform::ToCodePoints(bytes));
}

// --- problem flags -----------------------------------------------------------------

TQDSProblems TQDSBasicContext::GetProblems() const {
  std::lock_guard lock(fGuard);
  return fProblems;
}

void TQDSBasicContext::SetProblems(TQDSProblems Value) {
  std::lock_guard lock(fGuard);
  fProblems = Value;
}

}  // namespace tarvo
