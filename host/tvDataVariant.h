// Variant values: the dynamically typed values that tables, parameters and
// filters hold and compare.
//
// A Variant is one of: empty (never assigned), null (assigned "no value"),
// Boolean, signed or unsigned 64-bit integer, double, currency (a 64-bit
// integer scaled by 10 000), date-time, date, time (doubles counting days since
// 1899-12-30), text (UTF-8), fixed-point decimal, a custom value, or an array
// of variants. Variants are values: copying one copies its contents (arrays and
// custom values are shared, immutable).
//
// Equality (VarEqual) accepts every pair and never throws:
//  - empty equals empty, null equals null, and neither equals anything else;
//  - numbers compare by value: exactly among Booleans (0/1), integers,
//    currency and fixed-point values; as doubles when one side is a double;
//  - date, time and date-time values compare as doubles, also with numbers;
//  - texts compare byte for byte (case matters);
//  - a text against a number or a date compares as that kind when the text
//    converts, else the two are unequal;
//  - custom values compare through their Compare; arrays element by element.
// Ordering (VarCompare) follows the same rules and raises "CannotConvertValue"
// (EMdsError) for pairs that have no order (a text that is no number against
// a number, arrays against scalars ...). Empty orders before null, null before
// every value.
//
// Conversions (As*) raise "CannotConvertValue" when the value has no such
// form: null or empty to a number, "abc" to a number or a Boolean, a value
// outside the target's range. Numbers become Booleans by being non-zero.
//
// Threads: a Variant may be used on any thread; shared custom values must be
// immutable.
#pragma once

#include <compare>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/tvDataError.h"
#include "host/tvDataTypes.h"

namespace tarvo {

// A value of a custom column type (type code 21). Implementations must be
// immutable once handed to a Variant or a record.
class IMdsCustomValue {
 public:
  virtual ~IMdsCustomValue() = default;
  // The display text of the value; also its text form in conversions.
  virtual std::string Text() const = 0;
  // Ordering against another custom value (<0, 0, >0). The default compares
  // the texts byte for byte.
  virtual int Compare(const IMdsCustomValue& other) const;
};

// The comparison interface a custom value may also implement so that record
// filters can ask it whether it matches a condition's value. A non-zero
// answer means a match. With containsIgnoringCase the question is whether
// this value contains the pattern ignoring case; otherwise whether it equals
// the pattern (which may stand for a list of values).
class IMdsCustomMatch {
 public:
  virtual ~IMdsCustomMatch() = default;
  virtual int MatchValue(const IMdsCustomValue& pattern, bool containsIgnoringCase) const = 0;
};

enum class TVarKind : std::uint8_t {
  Empty,
  Null,
  Boolean,
  Int,
  UInt,
  Double,
  Currency,
  DateTime,
  Date,
  Time,
  Text,
  Fixed,
  Custom,
  Array
};

class Variant {
 public:
  Variant() noexcept {}
  Variant(bool v) noexcept : fKind(TVarKind::Boolean) { fU.b = v; }
  Variant(int v) noexcept : fKind(TVarKind::Int) { fU.i = v; }
  Variant(long v) noexcept : fKind(TVarKind::Int) { fU.i = v; }
  Variant(long long v) noexcept : fKind(TVarKind::Int) { fU.i = v; }
  Variant(unsigned v) noexcept : fKind(TVarKind::UInt) { fU.u = v; }
  Variant(unsigned long v) noexcept : fKind(TVarKind::UInt) { fU.u = v; }
  Variant(unsigned long long v) noexcept : fKind(TVarKind::UInt) { fU.u = v; }
  Variant(double v) noexcept : fKind(TVarKind::Double) { fU.d = v; }
  Variant(const char* v) : fKind(TVarKind::Text), fText(v ? v : "") {}
  Variant(std::string_view v) : fKind(TVarKind::Text), fText(v) {}
  Variant(const std::string& v) : fKind(TVarKind::Text), fText(v) {}
  Variant(std::string&& v) noexcept : fKind(TVarKind::Text), fText(std::move(v)) {}
  Variant(const TFixed& v) noexcept : fKind(TVarKind::Fixed) { fU.f = v; }

  static Variant Null() noexcept {
    Variant v;
    v.fKind = TVarKind::Null;
    return v;
  }
  static Variant Currency(std::int64_t scaled) noexcept {
    Variant v;
    v.fKind = TVarKind::Currency;
    v.fU.i = scaled;
    return v;
  }
  // From a decimal value, rounded half to even to four decimals.
  static Variant CurrencyFromDouble(double value);
  static Variant DateTime(double value) noexcept { return Dated(TVarKind::DateTime, value); }
  static Variant Date(double value) noexcept { return Dated(TVarKind::Date, value); }
  static Variant Time(double value) noexcept { return Dated(TVarKind::Time, value); }
  static Variant Custom(std::shared_ptr<const IMdsCustomValue> value);
  static Variant Array(std::vector<Variant> items);

  TVarKind Kind() const noexcept { return fKind; }
  bool IsEmpty() const noexcept { return fKind == TVarKind::Empty; }
  bool IsNull() const noexcept { return fKind == TVarKind::Null; }
  bool IsEmptyOrNull() const noexcept { return fKind <= TVarKind::Null; }
  bool IsArray() const noexcept { return fKind == TVarKind::Array; }
  bool IsNumeric() const noexcept;   // Boolean, integers, double, currency, fixed
  bool IsDateKind() const noexcept;  // date-time, date, time

  // Conversions; each raises EMdsError "CannotConvertValue" when impossible.
  bool AsBoolean() const;
  std::int64_t AsInt64() const;  // doubles round half to even
  std::uint64_t AsUInt64() const;
  double AsDouble() const;
  std::int64_t AsCurrency() const;  // scaled by 10 000
  double AsDateTime() const;
  TFixed AsFixed() const;
  // Empty gives ""; null raises; numbers in invariant form ("1.5"), dates as
  // "yyyy-mm-dd hh:nn:ss" (see tvDataTypes.h), Booleans "True"/"False".
  std::string AsText() const;

  // Direct access to the stored form; only valid for the matching kind.
  bool BooleanValue() const noexcept { return fU.b; }
  std::int64_t IntValue() const noexcept { return fU.i; }  // Int and Currency
  std::uint64_t UIntValue() const noexcept { return fU.u; }
  double DoubleValue() const noexcept { return fU.d; }  // Double and the date kinds
  const TFixed& FixedValue() const noexcept { return fU.f; }
  const std::string& TextValue() const noexcept { return fText; }
  const std::shared_ptr<const IMdsCustomValue>& CustomValue() const noexcept { return fCustom; }
  // The items of an array (empty for other kinds).
  const std::vector<Variant>& ArrayItems() const noexcept;

 private:
  static Variant Dated(TVarKind kind, double value) noexcept {
    Variant v;
    v.fKind = kind;
    v.fU.d = value;
    return v;
  }

  TVarKind fKind = TVarKind::Empty;
  union U {
    bool b;
    std::int64_t i;
    std::uint64_t u;
    double d;
    TFixed f;
    U() noexcept : i(0) {}
  } fU;
  std::string fText;
  std::shared_ptr<const IMdsCustomValue> fCustom;
  std::shared_ptr<const std::vector<Variant>> fArray;
};

// Equality as described above; never throws.
bool VarEqual(const Variant& a, const Variant& b) noexcept;
// Ordering as described above: <0, 0, >0; raises "CannotConvertValue".
int VarCompare(const Variant& a, const Variant& b);

// Total order of doubles: <0, 0, >0, with NaN equal to itself and before every
// number, so that sorting and filtering never see an inconsistent order.
int CompareDoubles(double a, double b) noexcept;
// The text of a value, "" for empty, null and values without text; never throws.
std::string VarToStr(const Variant& v) noexcept;
// The fixed-point form of a value ("CannotConvertValue" when it has none).
TFixed VarToFixed(const Variant& v);

}  // namespace tarvo
