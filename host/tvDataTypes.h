// Column type codes, their raw cell layouts, and the scalar types behind them
// (fixed-point decimals, currency, time stamps).
//
// Raw layout of a cell (what TMdsRecord::GetDataP hands out, little-endian as
// the machine is):
//   code  type                      raw bytes
//   1     Boolean                   1 (0 or 1)
//   2-5   signed 8/16/32/64 bits    1, 2, 4, 8
//   6-9   unsigned 8/16/32/64 bits  1, 2, 4, 8
//   10    fixed-length text         UTF-8 bytes, no terminator (length 1 = one character)
//   16,17,19 text                   UTF-8 bytes, no terminator
//   11    double                    8
//   12    currency                  8: a 64-bit integer, the value times 10 000
//   13    date-time                 8: a double counting days since 1899-12-30
//   14    date                      4: TTimeStamp::Date (day 1 = 0001-01-01)
//   15    time                      4: milliseconds since midnight
//   20    fixed-point decimal       10: TFixed (64-bit mantissa, scale, 0)
//   21    custom                    a std::shared_ptr<IMdsCustomValue>, read with BufferToIntf
// Any other code (0, 18, 22 and above) cannot hold values; a column of such a
// code is refused.
//
// Text throughout is UTF-8, so "the text in the single-byte code page" of the
// original layout is, here, the UTF-8 bytes: tables, filters and comparisons
// all use the same bytes, and the code page is converted only at the edges.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/core/Sets.h"

namespace tarvo {

enum TMdsTypeCode : int {
  mtcUnknown = 0,
  mtcBoolean = 1,
  mtcInt8 = 2,
  mtcInt16 = 3,
  mtcInt32 = 4,
  mtcInt64 = 5,
  mtcUInt8 = 6,
  mtcUInt16 = 7,
  mtcUInt32 = 8,
  mtcUInt64 = 9,
  mtcChars = 10,
  mtcDouble = 11,
  mtcCurrency = 12,
  mtcDateTime = 13,
  mtcDate = 14,
  mtcTime = 15,
  mtcString = 16,
  mtcWideString = 17,
  mtcMemo = 19,
  mtcFixed = 20,
  mtcCustom = 21,
};

// The groups the filters and the grid reason with.
enum class TMdsTypeGroup { Text, Numeric, DateTime, Boolean, Custom, Unconvertible };

TMdsTypeGroup TypeGroup(int code) noexcept;
inline bool IsTextType(int code) noexcept {
  return code == mtcChars || code == mtcString || code == mtcWideString || code == mtcMemo;
}
inline bool IsIntegerType(int code) noexcept {
  return code >= mtcInt8 && code <= mtcUInt64;
}
inline bool IsSignedIntegerType(int code) noexcept {
  return code >= mtcInt8 && code <= mtcInt64;
}
inline bool IsUnsignedIntegerType(int code) noexcept {
  return code >= mtcUInt8 && code <= mtcUInt64;
}
// A code whose cells can hold values.
bool IsValidTypeCode(int code) noexcept;
// Bytes of a fixed-size cell (0 for text and custom, whose size varies).
std::uint32_t FixedCellSize(int code) noexcept;
// "Boolean", "Int32", "Text" ... for messages.
std::string_view TypeCodeName(int code) noexcept;

// --- fixed-point decimals ------------------------------------------------------

// A decimal number mantissa / 10^scale with 0 <= scale <= 18. Values are kept
// normalised (no trailing zero digits in the mantissa while scale > 0), so
// equal numbers have equal representations.
struct TFixed {
  std::int64_t mantissa = 0;
  std::uint8_t scale = 0;

  static constexpr int kMaxScale = 18;
  static constexpr std::size_t kRawSize = 10;

  void Normalize() noexcept;
  // Exact decimal text: "-12.345", "0", "100".
  std::string ToString() const;
  double ToDouble() const noexcept;
  // Parses "[-+]digits[.digits]" (blanks around allowed, exponent allowed);
  // false when the text is no number or does not fit. Digits beyond the
  // 18th decimal are rounded half to even.
  static bool TryParse(std::string_view text, TFixed& out);
  // The shortest decimal that reads back as the double; false for NaN,
  // infinities and magnitudes beyond the 64-bit mantissa.
  static bool TryFromDouble(double value, TFixed& out);

  // Raw cell form (10 bytes) and back.
  void ToRaw(void* dest) const noexcept;
  static TFixed FromRaw(const void* src) noexcept;
};

// <0, 0, >0, exact.
int CompareFixed(const TFixed& a, const TFixed& b) noexcept;
inline bool operator==(const TFixed& a, const TFixed& b) noexcept {
  return CompareFixed(a, b) == 0;
}

// --- currency ------------------------------------------------------------------

constexpr std::int64_t kCurrencyScale = 10000;
// "12.5", "-0.0001", "100": the value with at most four decimals, trailing
// zeros removed.
std::string CurrencyToString(std::int64_t scaled);

// --- date-time and time stamps ------------------------------------------------

// Days between 0001-01-01 (day 1) and 1899-12-30.
constexpr std::int32_t kDateDelta = 693594;
constexpr std::int32_t kMsPerDay = 86400000;

struct TTimeStamp {
  std::int32_t Time = 0;  // milliseconds since midnight
  std::int32_t Date = 0;  // day number, 1 = 0001-01-01
};

// A date-time double to a time stamp, rounding to the nearest millisecond
// (a value that rounds up to midnight moves to the next day). Negative values
// keep their fraction counting forwards from midnight (-1.25 is 1899-12-29
// 06:00). false for NaN, infinities and values outside 0001-01-01..9999-12-31.
bool TryDateTimeToTimeStamp(double value, TTimeStamp& out) noexcept;
double TimeStampToDateTime(const TTimeStamp& stamp) noexcept;
// The value rounded to the nearest millisecond with the milliseconds then
// set to zero (12:00:00.000 never becomes 11:59:59). NaN and out-of-range
// values are returned unchanged.
double DateTimeZeroMilliseconds(double value) noexcept;

// Text forms used for conversions between texts and date-time values:
// "yyyy-mm-dd", "hh:nn:ss[.zzz]", "yyyy-mm-dd hh:nn:ss[.zzz]" (the time part
// left out when it is midnight). Parsing also accepts "dd.mm.yyyy" and times
// without seconds.
std::string DateToIsoText(double value);
std::string TimeToIsoText(double value);
std::string DateTimeToIsoText(double value);
bool TryParseDateTimeText(std::string_view text, double& out);

}  // namespace tarvo
