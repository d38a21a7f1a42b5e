#include "host/tvDataVariant.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace tarvo {

namespace {

using i128 = __int128;

[[noreturn]] void CannotConvert() {
  MdsError("CannotConvertValue");
}

i128 Pow10(int n) {
  i128 r = 1;
  for (int i = 0; i < n; ++i) r *= 10;
  return r;
}

// Rounds m / 10^scale half to even to an integer.
i128 RoundScaled(i128 m, int scale) {
  if (scale <= 0) return m;
  i128 d = Pow10(scale);
  i128 q = m / d, r = m % d;
  i128 twice = (r < 0 ? -r : r) * 2;
  if (twice > d || (twice == d && q % 2 != 0)) q += m < 0 ? -1 : 1;
  return q;
}

// A number for comparisons: exact (m / 10^scale) or a double.
struct Num {
  bool isDouble = false;
  double d = 0;
  i128 m = 0;
  int scale = 0;
};

bool AsciiSame(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string_view TrimView(std::string_view t) {
  std::size_t b = 0, e = t.size();
  while (b < e && static_cast<unsigned char>(t[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(t[e - 1]) <= ' ') --e;
  return t.substr(b, e - b);
}

bool ParseDouble(std::string_view text, double& out) {
  std::string_view t = TrimView(text);
  if (!t.empty() && t.front() == '+') t.remove_prefix(1);
  if (t.empty()) return false;
  auto res = std::from_chars(t.data(), t.data() + t.size(), out);
  return res.ec == std::errc() && res.ptr == t.data() + t.size();
}

bool TextToNum(std::string_view text, Num& n) {
  TFixed f;
  if (TFixed::TryParse(text, f)) {
    n.m = f.mantissa;
    n.scale = f.scale;
    return true;
  }
  double d;
  if (ParseDouble(text, d)) {
    n.isDouble = true;
    n.d = d;
    return true;
  }
  return false;
}

bool TextToBool(std::string_view text, bool& b) {
  std::string_view t = TrimView(text);
  if (AsciiSame(t, "true")) {
    b = true;
    return true;
  }
  if (AsciiSame(t, "false")) {
    b = false;
    return true;
  }
  return false;
}

// The number of a numeric or date value; false for other kinds.
bool NumOf(const Variant& v, Num& n) {
  switch (v.Kind()) {
    case TVarKind::Boolean:
      n.m = v.BooleanValue() ? 1 : 0;
      return true;
    case TVarKind::Int:
      n.m = v.IntValue();
      return true;
    case TVarKind::UInt:
      n.m = v.UIntValue();
      return true;
    case TVarKind::Currency:
      n.m = v.IntValue();
      n.scale = 4;
      return true;
    case TVarKind::Fixed:
      n.m = v.FixedValue().mantissa;
      n.scale = v.FixedValue().scale;
      return true;
    case TVarKind::Double:
    case TVarKind::DateTime:
    case TVarKind::Date:
    case TVarKind::Time:
      n.isDouble = true;
      n.d = v.DoubleValue();
      return true;
    default:
      return false;
  }
}

double NumToDouble(const Num& n) {
  if (n.isDouble) return n.d;
  if (n.scale == 0) return static_cast<double>(n.m);
  TFixed f{static_cast<std::int64_t>(n.m), static_cast<std::uint8_t>(n.scale)};
  return f.ToDouble();
}

int CompareNums(const Num& a, const Num& b) {
  if (a.isDouble || b.isDouble) return CompareDoubles(NumToDouble(a), NumToDouble(b));
  int s = a.scale > b.scale ? a.scale : b.scale;
  i128 x = a.m * Pow10(s - a.scale), y = b.m * Pow10(s - b.scale);
  return x < y ? -1 : (x > y ? 1 : 0);
}

// The date-time of a value for comparisons with date kinds.
bool DateOf(const Variant& v, double& d) {
  if (v.Kind() == TVarKind::Text) {
    if (TryParseDateTimeText(v.TextValue(), d)) return true;
    Num n;
    if (!TextToNum(v.TextValue(), n)) return false;
    d = NumToDouble(n);
    return true;
  }
  Num n;
  if (!NumOf(v, n)) return false;
  d = NumToDouble(n);
  return true;
}

bool IsNumericKind(TVarKind k) {
  return k == TVarKind::Boolean || k == TVarKind::Int || k == TVarKind::UInt ||
         k == TVarKind::Double || k == TVarKind::Currency || k == TVarKind::Fixed;
}

bool IsDateKind(TVarKind k) {
  return k == TVarKind::DateTime || k == TVarKind::Date || k == TVarKind::Time;
}

const std::vector<Variant> kNoItems;

// Shared by VarEqual and VarCompare: false when the pair has no order.
bool TryCompare(const Variant& a, const Variant& b, int& result) {
  TVarKind ka = a.Kind(), kb = b.Kind();
  if (ka <= TVarKind::Null || kb <= TVarKind::Null) {
    int ra = static_cast<int>(ka <= TVarKind::Null ? ka : TVarKind::Boolean);
    int rb = static_cast<int>(kb <= TVarKind::Null ? kb : TVarKind::Boolean);
    result = ra < rb ? -1 : (ra > rb ? 1 : 0);
    return true;
  }
  if (ka == TVarKind::Array || kb == TVarKind::Array) {
    if (ka != kb) return false;
    const auto& x = a.ArrayItems();
    const auto& y = b.ArrayItems();
    for (std::size_t i = 0; i < x.size() && i < y.size(); ++i) {
      int r;
      if (!TryCompare(x[i], y[i], r)) return false;
      if (r != 0) {
        result = r;
        return true;
      }
    }
    result = x.size() < y.size() ? -1 : (x.size() > y.size() ? 1 : 0);
    return true;
  }
  if (ka == TVarKind::Custom || kb == TVarKind::Custom) {
    if (ka == kb) {
      result = a.CustomValue()->Compare(*b.CustomValue());
      result = result < 0 ? -1 : (result > 0 ? 1 : 0);
      return true;
    }
    std::string x = ka == TVarKind::Custom ? a.CustomValue()->Text() : VarToStr(a);
    std::string y = kb == TVarKind::Custom ? b.CustomValue()->Text() : VarToStr(b);
    int r = x.compare(y);
    result = r < 0 ? -1 : (r > 0 ? 1 : 0);
    return true;
  }
  if (ka == TVarKind::Text && kb == TVarKind::Text) {
    int r = a.TextValue().compare(b.TextValue());
    result = r < 0 ? -1 : (r > 0 ? 1 : 0);
    return true;
  }
  if (IsDateKind(ka) || IsDateKind(kb)) {
    double x, y;
    if (!DateOf(a, x) || !DateOf(b, y)) return false;
    result = CompareDoubles(x, y);
    return true;
  }
  // Numbers, possibly one of them given as text.
  Num x, y;
  if (ka == TVarKind::Text) {
    bool bv;
    if (kb == TVarKind::Boolean && TextToBool(a.TextValue(), bv)) {
      x.m = bv ? 1 : 0;
    } else if (!TextToNum(a.TextValue(), x)) {
      return false;
    }
  } else if (!NumOf(a, x)) {
    return false;
  }
  if (kb == TVarKind::Text) {
    bool bv;
    if (ka == TVarKind::Boolean && TextToBool(b.TextValue(), bv)) {
      y.m = bv ? 1 : 0;
    } else if (!TextToNum(b.TextValue(), y)) {
      return false;
    }
  } else if (!NumOf(b, y)) {
    return false;
  }
  result = CompareNums(x, y);
  return true;
}

std::string DoubleText(double d) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, res.ptr);
}

}  // namespace

int IMdsCustomValue::Compare(const IMdsCustomValue& other) const {
  return Text().compare(other.Text());
}

Variant Variant::CurrencyFromDouble(double value) {
  return Currency(Variant(value).AsCurrency());
}

Variant Variant::Custom(std::shared_ptr<const IMdsCustomValue> value) {
  if (!value) return Null();
  Variant v;
  v.fKind = TVarKind::Custom;
  v.fCustom = std::move(value);
  return v;
}

Variant Variant::Array(std::vector<Variant> items) {
  Variant v;
  v.fKind = TVarKind::Array;
  v.fArray = std::make_shared<const std::vector<Variant>>(std::move(items));
  return v;
}

const std::vector<Variant>& Variant::ArrayItems() const noexcept {
  return fArray ? *fArray : kNoItems;
}

bool Variant::IsNumeric() const noexcept {
  return IsNumericKind(fKind);
}
bool Variant::IsDateKind() const noexcept {
  return tarvo::IsDateKind(fKind);
}

bool Variant::AsBoolean() const {
  switch (fKind) {
    case TVarKind::Boolean:
      return fU.b;
    case TVarKind::Text: {
      bool b;
      if (TextToBool(fText, b)) return b;
      Num n;
      if (!TextToNum(fText, n)) CannotConvert();
      return n.isDouble ? n.d != 0 : n.m != 0;
    }
    default: {
      Num n;
      if (!NumOf(*this, n)) CannotConvert();
      return n.isDouble ? n.d != 0 : n.m != 0;
    }
  }
}

namespace {

i128 ToInteger(const Variant& v) {
  Num n;
  if (v.Kind() == TVarKind::Text) {
    if (!TextToNum(v.TextValue(), n)) CannotConvert();
  } else if (!NumOf(v, n)) {
    CannotConvert();
  }
  if (n.isDouble) {
    if (!std::isfinite(n.d) || std::fabs(n.d) >= 1.8446744073709552e19) CannotConvert();
    return static_cast<i128>(std::nearbyint(n.d));
  }
  return RoundScaled(n.m, n.scale);
}

}  // namespace

std::int64_t Variant::AsInt64() const {
  i128 v = ToInteger(*this);
  if (v < std::numeric_limits<std::int64_t>::min() || v > std::numeric_limits<std::int64_t>::max())
    CannotConvert();
  return static_cast<std::int64_t>(v);
}

std::uint64_t Variant::AsUInt64() const {
  i128 v = ToInteger(*this);
  if (v < 0 || v > static_cast<i128>(std::numeric_limits<std::uint64_t>::max())) CannotConvert();
  return static_cast<std::uint64_t>(v);
}

double Variant::AsDouble() const {
  if (fKind == TVarKind::Text) {
    Num n;
    if (!TextToNum(fText, n)) CannotConvert();
    return NumToDouble(n);
  }
  Num n;
  if (!NumOf(*this, n)) CannotConvert();
  return NumToDouble(n);
}

std::int64_t Variant::AsCurrency() const {
  Num n;
  if (fKind == TVarKind::Text) {
    if (!TextToNum(fText, n)) CannotConvert();
  } else if (!NumOf(*this, n)) {
    CannotConvert();
  }
  i128 scaled;
  if (n.isDouble) {
    double d = n.d * kCurrencyScale;
    if (!std::isfinite(d) || std::fabs(d) >= 9.2233720368547758e18) CannotConvert();
    scaled = static_cast<i128>(std::nearbyint(d));
  } else if (n.scale <= 4) {
    scaled = n.m * Pow10(4 - n.scale);
  } else {
    scaled = RoundScaled(n.m, n.scale - 4);
  }
  if (scaled < std::numeric_limits<std::int64_t>::min() ||
      scaled > std::numeric_limits<std::int64_t>::max())
    CannotConvert();
  return static_cast<std::int64_t>(scaled);
}

double Variant::AsDateTime() const {
  double d;
  if (!DateOf(*this, d)) CannotConvert();
  return d;
}

TFixed Variant::AsFixed() const {
  TFixed f;
  switch (fKind) {
    case TVarKind::Text:
      if (TFixed::TryParse(fText, f)) return f;
      {
        double d;
        if (ParseDouble(fText, d) && TFixed::TryFromDouble(d, f)) return f;
      }
      CannotConvert();
    case TVarKind::Double:
    case TVarKind::DateTime:
    case TVarKind::Date:
    case TVarKind::Time:
      if (!TFixed::TryFromDouble(fU.d, f)) CannotConvert();
      return f;
    case TVarKind::Fixed:
      return fU.f;
    default: {
      Num n;
      if (!NumOf(*this, n)) CannotConvert();
      if (n.m < std::numeric_limits<std::int64_t>::min() ||
          n.m > std::numeric_limits<std::int64_t>::max())
        CannotConvert();
      f.mantissa = static_cast<std::int64_t>(n.m);
      f.scale = static_cast<std::uint8_t>(n.scale);
      f.Normalize();
      return f;
    }
  }
}

std::string Variant::AsText() const {
  switch (fKind) {
    case TVarKind::Empty:
      return std::string();
    case TVarKind::Null:
    case TVarKind::Array:
      CannotConvert();
    case TVarKind::Boolean:
      return fU.b ? "True" : "False";
    case TVarKind::Int:
      return std::to_string(fU.i);
    case TVarKind::UInt:
      return std::to_string(fU.u);
    case TVarKind::Double:
      return DoubleText(fU.d);
    case TVarKind::Currency:
      return CurrencyToString(fU.i);
    case TVarKind::DateTime:
      return DateTimeToIsoText(fU.d);
    case TVarKind::Date:
      return DateToIsoText(fU.d);
    case TVarKind::Time:
      return TimeToIsoText(fU.d);
    case TVarKind::Text:
      return fText;
    case TVarKind::Fixed:
      return fU.f.ToString();
    case TVarKind::Custom:
      return fCustom->Text();
  }
  CannotConvert();
}

bool VarEqual(const Variant& a, const Variant& b) noexcept {
  try {
    int r;
    return TryCompare(a, b, r) && r == 0;
  } catch (...) {
    // A custom value whose comparison fails is simply not equal.
    return false;
  }
}

int VarCompare(const Variant& a, const Variant& b) {
  int r;
  if (!TryCompare(a, b, r)) CannotConvert();
  return r;
}

std::string VarToStr(const Variant& v) noexcept {
  try {
    if (v.IsEmptyOrNull() || v.IsArray()) return std::string();
    return v.AsText();
  } catch (...) {
    return std::string();
  }
}

TFixed VarToFixed(const Variant& v) {
  return v.AsFixed();
}

int CompareDoubles(double a, double b) noexcept {
  if (a < b) return -1;
  if (a > b) return 1;
  if (a == b) return 0;
  // NaN: equal to itself, before every number, so that orderings stay total.
  const bool an = std::isnan(a), bn = std::isnan(b);
  if (an && bn) return 0;
  return an ? -1 : 1;
}

}  // namespace tarvo
