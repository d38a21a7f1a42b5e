#include "actions/MdsFilter.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "platform/core/Text.h"

namespace tarvo {

namespace {

using i128 = __int128;
using Kind = TColumnTest::Kind;

// --- exact numbers for integer columns ------------------------------------------------

// A number as its floor and whether it is an integer; magnitudes far beyond
// 64 bits saturate (they compare the same against every cell).
struct ExactNum {
  i128 floorV = 0;
  bool integral = true;
};

constexpr i128 kSaturate = static_cast<i128>(1) << 100;

i128 Pow10(int n) {
  i128 r = 1;
  for (int i = 0; i < n; ++i) r *= 10;
  return r;
}

ExactNum FromScaled(i128 m, int scale) {
  ExactNum n;
  if (scale <= 0) {
    n.floorV = m;
    return n;
  }
  i128 d = Pow10(scale);
  i128 q = m / d, r = m % d;
  if (r < 0) --q;  // floor, not truncation
  n.floorV = q;
  n.integral = r == 0;
  return n;
}

bool FromDouble(double d, ExactNum& n) {
  if (!std::isfinite(d)) return false;
  if (d >= 1e30) {
    n.floorV = kSaturate;
    n.integral = true;
    return true;
  }
  if (d <= -1e30) {
    n.floorV = -kSaturate;
    n.integral = true;
    return true;
  }
  double f = std::floor(d);
  n.floorV = static_cast<i128>(f);
  n.integral = f == d;
  return true;
}

// false when the value is no number.
bool ToExact(const Variant& v, ExactNum& n) {
  switch (v.Kind()) {
    case TVarKind::Boolean:
      n = ExactNum{v.BooleanValue() ? 1 : 0, true};
      return true;
    case TVarKind::Int:
      n = ExactNum{v.IntValue(), true};
      return true;
    case TVarKind::UInt:
      n = ExactNum{static_cast<i128>(v.UIntValue()), true};
      return true;
    case TVarKind::Currency:
      n = FromScaled(v.IntValue(), 4);
      return true;
    case TVarKind::Fixed:
      n = FromScaled(v.FixedValue().mantissa, v.FixedValue().scale);
      return true;
    case TVarKind::Double:
    case TVarKind::DateTime:
    case TVarKind::Date:
    case TVarKind::Time:
      return FromDouble(v.DoubleValue(), n);
    case TVarKind::Text: {
      TFixed f;
      if (TFixed::TryParse(v.TextValue(), f)) {
        n = FromScaled(f.mantissa, f.scale);
        return true;
      }
      std::string_view t = platform::TrimView(v.TextValue());
      if (!t.empty() && t.front() == '+') t.remove_prefix(1);
      double d;
      auto res = std::from_chars(t.data(), t.data() + t.size(), d);
      if (t.empty() || res.ec != std::errc() || res.ptr != t.data() + t.size()) return false;
      return FromDouble(d, n);
    }
    default:
      return false;
  }
}

[[noreturn]] void CannotConvert() {
  MdsError("CannotConvertValue");
}

// The range of a column's cells, as exact integers.
void Domain(int type, i128& lo, i128& hi) {
  switch (type) {
    case mtcInt8:
      lo = INT8_MIN;
      hi = INT8_MAX;
      return;
    case mtcInt16:
      lo = INT16_MIN;
      hi = INT16_MAX;
      return;
    case mtcInt32:
      lo = INT32_MIN;
      hi = INT32_MAX;
      return;
    case mtcInt64:
    case mtcCurrency:
      lo = INT64_MIN;
      hi = INT64_MAX;
      return;
    case mtcUInt8:
      lo = 0;
      hi = UINT8_MAX;
      return;
    case mtcUInt16:
      lo = 0;
      hi = UINT16_MAX;
      return;
    case mtcUInt32:
      lo = 0;
      hi = UINT32_MAX;
      return;
    case mtcUInt64:
      lo = 0;
      hi = static_cast<i128>(UINT64_MAX);
      return;
    case mtcBoolean:
      lo = 0;
      hi = 1;
      return;
    case mtcDate:
    case mtcTime:
      lo = INT32_MIN;
      hi = INT32_MAX;
      return;
    default:
      lo = INT64_MIN;
      hi = INT64_MAX;
      return;
  }
}

// The exact number a Signed/Unsigned column compares a value as. Integer
// columns keep the value as it is; the other types convert as their cells do
// (currency rounds to four decimals, a date keeps its day, a time its
// milliseconds, a Boolean is 0 or 1).
ExactNum ColumnNumber(int type, const Variant& v) {
  ExactNum n;
  switch (type) {
    case mtcCurrency:
      return ExactNum{v.AsCurrency(), true};
    case mtcBoolean:
      return ExactNum{v.AsBoolean() ? 1 : 0, true};
    case mtcDate:
    case mtcTime: {
      TTimeStamp ts;
      if (!TryDateTimeToTimeStamp(v.AsDateTime(), ts)) CannotConvert();
      return ExactNum{type == mtcDate ? ts.Date : ts.Time, true};
    }
    default:
      if (!ToExact(v, n)) CannotConvert();
      return n;
  }
}

bool IsBlank(const Variant& v) {
  if (v.IsEmptyOrNull()) return true;
  return v.Kind() == TVarKind::Text && (v.TextValue().empty() || v.TextValue() == " ");
}

Kind KindOf(int type, TMdsRelation relation) {
  if (IsTextType(type)) return Kind::Text;
  if (type == mtcCustom) return Kind::Custom;
  if (relation == prCS || relation == prNS) return Kind::Display;
  switch (type) {
    case mtcUInt8:
    case mtcUInt16:
    case mtcUInt32:
    case mtcUInt64:
    case mtcBoolean:
      return Kind::Unsigned;
    case mtcDouble:
    case mtcDateTime:
      return Kind::Double;
    case mtcFixed:
      return Kind::Fixed;
    default:
      return Kind::Signed;
  }
}

bool Compatible(const TMdsColumn* a, const TMdsColumn* b) {
  TMdsTypeGroup ga = TypeGroup(a->GetTypeCode()), gb = TypeGroup(b->GetTypeCode());
  if (ga == gb &&
      (ga == TMdsTypeGroup::Text || ga == TMdsTypeGroup::DateTime || ga == TMdsTypeGroup::Numeric))
    return true;
  return a->GetTypeCode() == b->GetTypeCode();
}

// Sets the interval of a Signed/Unsigned scalar test.
void SetInterval(TColumnTest& t, TMdsRelation rel, const ExactNum& a, const ExactNum& b) {
  const i128 inf = kSaturate * 4;
  i128 lo = 0, hi = -1;
  auto ceilOf = [](const ExactNum& n) { return n.integral ? n.floorV : n.floorV + 1; };
  switch (rel) {
    case prEQ:
    case prEE:
    case prNE:
      if (a.integral) lo = hi = a.floorV;
      break;
    case prGT:
      lo = a.floorV + 1;
      hi = inf;
      break;
    case prGE:
      lo = ceilOf(a);
      hi = inf;
      break;
    case prLT:
      lo = -inf;
      hi = ceilOf(a) - 1;
      break;
    case prLE:
      lo = -inf;
      hi = a.floorV;
      break;
    case prBW:
      lo = ceilOf(a);
      hi = b.floorV;
      break;
    default:
      break;
  }
  i128 dlo, dhi;
  Domain(t.type, dlo, dhi);
  if (lo < dlo) lo = dlo;
  if (hi > dhi) hi = dhi;
  t.negate = rel == prNE;
  t.empty = lo > hi;
  if (t.empty) return;
  if (t.kind == Kind::Unsigned) {
    t.ulo = static_cast<std::uint64_t>(lo);
    t.uhi = static_cast<std::uint64_t>(hi);
  } else {
    t.lo = static_cast<std::int64_t>(lo);
    t.hi = static_cast<std::int64_t>(hi);
  }
}

// Compiles the test of one column. Raises when the value cannot be
// converted for the column. isNull reports a value that is missing.
TColumnTest CompileTest(const TMdsColumn* column, const TMdsParam& p, bool& isNull, bool& isEmpty) {
  TColumnTest t;
  t.column = column;
  t.type = column->GetTypeCode();
  const TMdsRelation rel = p.GetRelation();
  const bool list = !p.GetItems().Empty();
  t.kind = KindOf(t.type, list ? prEQ : rel);
  t.width = static_cast<std::uint8_t>(FixedCellSize(t.type));
  t.zeroIsNull = column->HasAttribute(mcaZeroIsNull);
  isNull = false;
  isEmpty = false;
  if (!IsValidTypeCode(t.type)) CannotConvert();

  if (t.kind == Kind::Custom) {
    const auto& type = column->GetCustomType();
    if (!type) MdsError("NoCustomType", {column->GetName()});
    if (list) {
      std::vector<Variant> values;
      for (int i = 0; i < p.GetItems().Count(); ++i) values.push_back(p.GetItems()[i].GetValue());
      t.custom = type->FromList(values);
    } else {
      t.custom = p.GetValue().IsEmptyOrNull() ? nullptr : type->FromVariant(p.GetValue());
      if (rel == prBW) CannotConvert();  // custom values have no "between"
    }
    isNull = t.custom == nullptr;
    return t;
  }

  if (list) {
    const TMdsValues& items = p.GetItems();
    auto strings = std::make_shared<TByteOrderStringList>(column, 0);
    for (int i = 0; i < items.Count(); ++i) {
      const Variant& v = items[i].GetValue();
      if (IsBlank(v)) {
        isEmpty = true;
        continue;
      }
      // An entry the column cannot hold equals no cell: leave it out.
      try {
        switch (t.kind) {
          case Kind::Text:
            strings->Add(v.AsText());
            break;
          case Kind::Signed:
          case Kind::Unsigned: {
            ExactNum n = ColumnNumber(t.type, v);
            i128 lo, hi;
            Domain(t.type, lo, hi);
            if (!n.integral || n.floorV < lo || n.floorV > hi) break;
            if (t.kind == Kind::Unsigned) {
              t.uints.push_back(static_cast<std::uint64_t>(n.floorV));
            } else {
              t.ints.push_back(static_cast<std::int64_t>(n.floorV));
            }
            break;
          }
          case Kind::Double:
            t.doubles.push_back(t.type == mtcDateTime ? v.AsDateTime() : v.AsDouble());
            break;
          case Kind::Fixed:
            t.fixeds.push_back(v.AsFixed());
            break;
          default:
            break;
        }
      } catch (const EMdsError&) {
      }
    }
    std::sort(t.ints.begin(), t.ints.end());
    std::sort(t.uints.begin(), t.uints.end());
    std::sort(t.doubles.begin(), t.doubles.end(),
              [](double a, double b) { return CompareDoubles(a, b) < 0; });
    std::sort(t.fixeds.begin(), t.fixeds.end(),
              [](const TFixed& a, const TFixed& b) { return CompareFixed(a, b) < 0; });
    if (t.kind == Kind::Text) t.strings = std::move(strings);
    return t;
  }

  const Variant& v1 = p.GetValue();
  const Variant& v2 = p.GetAddon();
  const bool between = rel == prBW;
  auto missing = [](const Variant& v) { return v.IsEmptyOrNull(); };
  // An empty text is no value for a text column (it compares as nothing).
  if (missing(v1) || (between && missing(v2)) ||
      (t.kind == Kind::Text && v1.Kind() == TVarKind::Text && v1.TextValue().empty())) {
    isNull = true;
    return t;
  }
  switch (t.kind) {
    case Kind::Text:
      t.text1 = v1.AsText();
      if (between) t.text2 = v2.AsText();
      if (rel == prCS || rel == prNS) t.searcher = std::make_shared<TTextSearcher>(t.text1);
      break;
    case Kind::Display:
      t.text1 = VarToStr(v1);
      t.searcher = std::make_shared<TTextSearcher>(t.text1);
      break;
    case Kind::Signed:
    case Kind::Unsigned: {
      ExactNum a = ColumnNumber(t.type, v1);
      ExactNum b = between ? ColumnNumber(t.type, v2) : ExactNum{};
      SetInterval(t, rel, a, b);
      break;
    }
    case Kind::Double:
      t.d1 = t.type == mtcDateTime ? v1.AsDateTime() : v1.AsDouble();
      if (between) t.d2 = t.type == mtcDateTime ? v2.AsDateTime() : v2.AsDouble();
      break;
    case Kind::Fixed:
      t.f1 = v1.AsFixed();
      if (between) t.f2 = v2.AsFixed();
      break;
    default:
      break;
  }
  return t;
}

// --- matching -------------------------------------------------------------------------------

template <class T>
T Load(const void* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

inline std::int64_t ReadSigned(const void* p, std::uint8_t width) {
  switch (width) {
    case 1:
      return Load<std::int8_t>(p);
    case 2:
      return Load<std::int16_t>(p);
    case 4:
      return Load<std::int32_t>(p);
    default:
      return Load<std::int64_t>(p);
  }
}

inline std::uint64_t ReadUnsigned(const void* p, std::uint8_t width) {
  switch (width) {
    case 1:
      return Load<std::uint8_t>(p);
    case 2:
      return Load<std::uint16_t>(p);
    case 4:
      return Load<std::uint32_t>(p);
    default:
      return Load<std::uint64_t>(p);
  }
}

inline bool ByRelation(TMdsRelation rel, int c, int c2) {
  switch (rel) {
    case prEQ:
    case prEE:
      return c == 0;
    case prNE:
      return c != 0;
    case prGT:
      return c > 0;
    case prGE:
      return c >= 0;
    case prLT:
      return c < 0;
    case prLE:
      return c <= 0;
    case prBW:
      return c >= 0 && c2 <= 0;
    default:
      return false;
  }
}

bool ZeroCell(const TColumnTest& t, const void* p, std::size_t len) {
  if (t.kind == Kind::Text) return len == 0;
  if (t.kind == Kind::Custom) return false;
  const auto* b = static_cast<const unsigned char*>(p);
  for (std::size_t i = 0; i < len; ++i)
    if (b[i]) return false;
  return true;
}

// A null cell is decided by the relation and the condition alone.
bool NullOutcome(const TFilterElement& e) {
  switch (e.Relation) {
    case prNE:
      return e.IsList ? !e.IsEmpty : !e.IsNull;
    case prNS:
      return !e.IsNull;
    case prGT:
    case prLT:
    case prNN:
    case prBW:
      return false;
    case prEE:
    case prEN:
      return true;
    default:
      return (e.IsList && e.Relation == prEQ) ? e.IsEmpty : e.IsNull;
  }
}

// The general test: every kind, relation and special case.
bool TestColumn(const TFilterElement& e, const TColumnTest& t, const TMdsRecord& row) {
  const TMdsRelation rel = e.Relation;
  const void* p = nullptr;
  std::size_t len = 0;
  if (!row.GetDataP(t.column, p, len)) return e.NullPasses;
  if (rel == prEN || rel == prNN) {
    const bool zero = t.zeroIsNull && ZeroCell(t, p, len);
    return rel == prEN ? zero : !zero;
  }
  if (e.IsNull) return true;
  if (rel == prEE && t.zeroIsNull && ZeroCell(t, p, len)) return true;

  if (t.kind == Kind::Custom) {
    const IMdsCustomValue* value = BufferToIntf(p, len);
    if (!value || !t.custom) return false;
    if (e.IsList || rel == prCS || rel == prNS) {
      const auto* matcher = dynamic_cast<const IMdsCustomMatch*>(value);
      const bool m = matcher && matcher->MatchValue(*t.custom, rel == prCS || rel == prNS) != 0;
      return (rel == prNE || rel == prNS) ? !m : m;
    }
    int c = value->Compare(*t.custom);
    return ByRelation(rel, c < 0 ? -1 : (c > 0 ? 1 : 0), 0);
  }

  if (e.IsList) {
    bool found = false;
    switch (t.kind) {
      case Kind::Text:
        found = t.strings && t.strings->Contains(p, len);
        break;
      case Kind::Signed:
        found = std::binary_search(t.ints.begin(), t.ints.end(), ReadSigned(p, t.width));
        break;
      case Kind::Unsigned:
        found = std::binary_search(t.uints.begin(), t.uints.end(), ReadUnsigned(p, t.width));
        break;
      case Kind::Double:
        found = std::binary_search(t.doubles.begin(), t.doubles.end(), Load<double>(p),
                                   [](double a, double b) { return CompareDoubles(a, b) < 0; });
        break;
      case Kind::Fixed:
        found = std::binary_search(
            t.fixeds.begin(), t.fixeds.end(), TFixed::FromRaw(p),
            [](const TFixed& a, const TFixed& b) { return CompareFixed(a, b) < 0; });
        break;
      default:
        break;
    }
    return rel == prNE ? !found : found;
  }

  switch (t.kind) {
    case Kind::Text: {
      if (rel == prCS || rel == prNS) {
        const bool found = t.searcher->In(p, len);
        return rel == prCS ? found : !found;
      }
      TMdsCompareOptions opts;
      if (e.Options.Contains(poPartial)) opts.Include(TMdsCompareOption::Partial);
      int c = CompareData(t.type, p, t.text1.data(), len, t.text1.size(), opts);
      int c2 = rel == prBW ? CompareData(t.type, p, t.text2.data(), len, t.text2.size(), opts) : 0;
      return ByRelation(rel, c, c2);
    }
    case Kind::Signed: {
      const std::int64_t v = ReadSigned(p, t.width);
      const bool in = !t.empty && t.lo <= v && v <= t.hi;
      return t.negate ? !in : in;
    }
    case Kind::Unsigned: {
      const std::uint64_t v = ReadUnsigned(p, t.width);
      const bool in = !t.empty && t.ulo <= v && v <= t.uhi;
      return t.negate ? !in : in;
    }
    case Kind::Double: {
      const double v = Load<double>(p);
      return ByRelation(rel, CompareDoubles(v, t.d1), rel == prBW ? CompareDoubles(v, t.d2) : 0);
    }
    case Kind::Fixed: {
      const TFixed v = TFixed::FromRaw(p);
      return ByRelation(rel, CompareFixed(v, t.f1), rel == prBW ? CompareFixed(v, t.f2) : 0);
    }
    case Kind::Display: {
      // "contains" on a number or a date asks about its text, as matching a
      // single value does.
      const bool found = t.searcher->In(VarToStr(row.GetDataC(t.column)));
      return rel == prCS ? found : !found;
    }
    default:
      return false;
  }
}

// Fast paths for the common conditions: a value is given, the column does
// not count zero as null, and the relation compares. Each reads the cell
// once and compares without further dispatch.

bool TestSignedScalar(const TFilterElement& e, const TColumnTest& t, const TMdsRecord& row) {
  const void* p = nullptr;
  std::size_t len = 0;
  if (!row.GetDataP(t.column, p, len)) return e.NullPasses;
  const std::int64_t v = ReadSigned(p, t.width);
  return (!t.empty && t.lo <= v && v <= t.hi) != t.negate;
}

bool TestUnsignedScalar(const TFilterElement& e, const TColumnTest& t, const TMdsRecord& row) {
  const void* p = nullptr;
  std::size_t len = 0;
  if (!row.GetDataP(t.column, p, len)) return e.NullPasses;
  const std::uint64_t v = ReadUnsigned(p, t.width);
  return (!t.empty && t.ulo <= v && v <= t.uhi) != t.negate;
}

bool TestDoubleScalar(const TFilterElement& e, const TColumnTest& t, const TMdsRecord& row) {
  const void* p = nullptr;
  std::size_t len = 0;
  if (!row.GetDataP(t.column, p, len)) return e.NullPasses;
  const double v = Load<double>(p);
  if (v != v) return TestColumn(e, t, row);  // NaN: the total order's rules
  const int c = (v > t.d1) - (v < t.d1);
  const int c2 = e.Relation == prBW ? (v > t.d2) - (v < t.d2) : 0;
  return ByRelation(e.Relation, c, c2);
}

bool TestTextContains(const TFilterElement& e, const TColumnTest& t, const TMdsRecord& row) {
  const void* p = nullptr;
  std::size_t len = 0;
  if (!row.GetDataP(t.column, p, len)) return e.NullPasses;
  return t.searcher->In(p, len) == (e.Relation == prCS);
}

bool TestTextList(const TFilterElement& e, const TColumnTest& t, const TMdsRecord& row) {
  const void* p = nullptr;
  std::size_t len = 0;
  if (!row.GetDataP(t.column, p, len)) return e.NullPasses;
  return t.strings->Contains(p, len) != (e.Relation == prNE);
}

TColumnTest::TestFn ChooseTest(const TFilterElement& e, const TColumnTest& t) {
  const TMdsRelation rel = e.Relation;
  if (e.IsNull || t.zeroIsNull || rel == prEN || rel == prNN || rel == prEE) return TestColumn;
  if (e.IsList) return t.kind == Kind::Text && t.strings ? TestTextList : TestColumn;
  switch (t.kind) {
    case Kind::Signed:
      return TestSignedScalar;
    case Kind::Unsigned:
      return TestUnsignedScalar;
    case Kind::Double:
      return std::isnan(t.d1) || std::isnan(t.d2) ? TestColumn : TestDoubleScalar;
    case Kind::Text:
      return (rel == prCS || rel == prNS) ? TestTextContains : TestColumn;
    default:
      return TestColumn;
  }
}

}  // namespace

// --- TByteOrderStringList ------------------------------------------------------------------

int TByteOrderStringList::Compare(std::string_view a, std::string_view b) const noexcept {
  if (fItemSize == 0 || (a.size() == fItemSize && b.size() == fItemSize)) {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    int r = n ? std::memcmp(a.data(), b.data(), n) : 0;
    if (r != 0) return r < 0 ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

namespace {

std::uint64_t BigEndianPrefix(const void* p, std::size_t len) noexcept {
  unsigned char b[8] = {};
  std::memcpy(b, p, len < 8 ? len : 8);
  std::uint64_t v = 0;
  for (unsigned char c : b) v = (v << 8) | c;
  return v;
}

}  // namespace

void TByteOrderStringList::Add(std::string_view value) {
  auto it = std::lower_bound(
      fItems.begin(), fItems.end(), value,
      [this](const std::string& a, std::string_view b) { return Compare(a, b) < 0; });
  if (it != fItems.end() && Compare(*it, value) == 0) return;
  const auto at = it - fItems.begin();
  fItems.insert(it, std::string(value));
  fPrefixes.insert(fPrefixes.begin() + at, BigEndianPrefix(value.data(), value.size()));
}

bool TByteOrderStringList::Contains(const void* ptr, std::size_t len) const noexcept {
  std::string_view key(static_cast<const char*>(ptr), len);
  // With a fixed item size, entries of another length order by length
  // first: the prefix shortcut holds only for byte order.
  const bool bytes = fItemSize == 0;
  const std::uint64_t prefix = BigEndianPrefix(ptr, len);
  std::size_t lo = 0, hi = fItems.size();
  while (lo < hi) {
    const std::size_t mid = (lo + hi) / 2;
    int c;
    if (bytes && fPrefixes[mid] != prefix) {
      c = fPrefixes[mid] < prefix ? -1 : 1;
    } else {
      c = Compare(fItems[mid], key);
    }
    if (c == 0) return true;
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return false;
}

// --- TCustomFilter ------------------------------------------------------------------------

TCustomFilter::TCustomFilter(TMdsTable* table) : fTable(table) {
  if (fTable) fTable->AppendSexton(this);
}

TCustomFilter::~TCustomFilter() {
  Clear();
  if (fTable) fTable->RemoveSexton(this);
}

void TCustomFilter::SubjectDestroyed(TMdsSubject* subject) {
  if (subject != fTable) return;
  fTable = nullptr;
  Clear();
}

bool TCustomFilter::Contains(const TMdsColumn* column) const noexcept {
  if (!column) return false;
  for (const TFilterElement& e : fItems) {
    for (const TColumnTest& t : e.Tests) {
      if (t.column == column) return true;
      if (t.column->GetIsLookupKey() && t.column->GetLookupDisplay() == column &&
          column->GetVisible())
        return true;
    }
  }
  return false;
}

bool TCustomFilter::Match(const TMdsRecord& row) const noexcept {
  if (fItems.empty()) return true;
  if (row.GetTable() != fTable) return false;
  try {
    for (const TFilterElement& e : fItems) {
      bool pass;
      if (e.Tests.size() == 1) {
        pass = e.Tests[0].test(e, e.Tests[0], row);
      } else if (e.Relation == prNS) {
        pass = true;
        for (const TColumnTest& t : e.Tests)
          if (!t.test(e, t, row)) {
            pass = false;
            break;
          }
      } else {
        pass = false;
        for (const TColumnTest& t : e.Tests)
          if (t.test(e, t, row)) {
            pass = true;
            break;
          }
      }
      if (!pass) return false;
    }
    return true;
  } catch (...) {
    // A custom value whose comparison fails fails the record; matching
    // itself never raises.
    return false;
  }
}

// --- TParamsFilter::Setup ---------------------------------------------------------------------

void TParamsFilter::Setup(const TMdsParams* params) {
  Clear();
  if (!fTable || !params || !params->Enabled()) return;
  const TMdsColumns& columns = fTable->GetColumns();
  for (int i = 0; i < params->Count(); ++i) {
    const TMdsParam& p = *params->GetItem(i);
    if (!p.GetEnabled() || !p.Valid()) continue;
    std::vector<std::string> names;
    for (const std::string& piece : platform::SplitString(p.GetName(), ';')) {
      std::string name = platform::Trim(piece);
      if (!name.empty()) names.push_back(std::move(name));
    }
    if (names.empty()) continue;
    const TMdsColumn* first = columns.Find(names[0]);
    if (!first) continue;
    std::vector<const TMdsColumn*> cols{first};
    for (std::size_t k = 1; k < names.size(); ++k)
      if (const TMdsColumn* c = columns.Find(names[k])) cols.push_back(c);

    const TMdsRelation rel = p.GetRelation();
    TFilterElement e;
    e.Relation = rel;
    e.Options = p.GetOptions();
    e.IsList = !p.GetItems().Empty();
    if (!e.IsList || first->GetTypeCode() == mtcCustom) {
      if (first->GetIsLookupKey() && (rel == prCS || rel == prNS || rel == prEN || rel == prNN)) {
        std::vector<const TMdsColumn*> withDisplay;
        for (const TMdsColumn* c : cols) {
          if (const TMdsColumn* d = c->GetLookupDisplay()) withDisplay.push_back(d);
          withDisplay.push_back(c);
        }
        cols = std::move(withDisplay);
      }
      if ((rel == prCS || rel == prNS) && cols.size() > 1) {
        std::vector<const TMdsColumn*> kept{cols[0]};
        for (std::size_t k = 1; k < cols.size(); ++k)
          if (Compatible(cols[0], cols[k])) kept.push_back(cols[k]);
        cols = std::move(kept);
      }
    }
    // Each column gets the value in its own type. The first column must take
    // it, or the parameter is left out; a later column that cannot is
    // dropped, since none of its cells could compare.
    bool ok = true;
    for (std::size_t k = 0; k < cols.size(); ++k) {
      bool isNull = false, isEmpty = false;
      try {
        TColumnTest t = CompileTest(cols[k], p, isNull, isEmpty);
        if (e.Tests.empty()) {
          e.IsNull = isNull;
          e.IsEmpty = isEmpty;
        }
        e.Tests.push_back(std::move(t));
      } catch (const std::exception&) {
        if (k == 0) {
          ok = false;
          break;
        }
      }
    }
    if (!ok || e.Tests.empty()) continue;
    e.Column = e.Tests[0].column;
    e.NullPasses = NullOutcome(e);
    for (TColumnTest& t : e.Tests) t.test = ChooseTest(e, t);
    if (e.Tests.size() > 1)
      for (const TColumnTest& t : e.Tests) e.Columns.push_back(t.column);
    fItems.push_back(std::move(e));
  }
}

// --- combinations ----------------------------------------------------------------------------

void TFilterList::Remove(const IMdsRecordFilter* filter) {
  fItems.erase(std::remove_if(fItems.begin(), fItems.end(),
                              [filter](const auto& f) { return f.get() == filter; }),
               fItems.end());
}

bool TFilterList::Match(const TMdsRecord& row) const noexcept {
  for (const auto& f : fItems)
    if (f && !f->Match(row)) return false;
  return true;
}

bool TAnyFilterList::Match(const TMdsRecord& row) const noexcept {
  if (fItems.empty()) return true;
  for (const auto& f : fItems)
    if (f && f->Match(row)) return true;
  return false;
}

TFilterList& TComplexFilter::AllFilters() {
  if (!fAllFilters) fAllFilters = std::make_unique<TFilterList>();
  return *fAllFilters;
}

TAnyFilterList& TComplexFilter::AnyFilters() {
  if (!fAnyFilters) fAnyFilters = std::make_unique<TAnyFilterList>();
  return *fAnyFilters;
}

bool TComplexFilter::Match(const TMdsRecord& row) const noexcept {
  return (!fAllFilters || fAllFilters->Match(row)) && (!fAnyFilters || fAnyFilters->Match(row));
}

// --- TMdsFilter ------------------------------------------------------------------------------

TMdsFilter::TMdsFilter(void* owner) : fOwner(owner) {
  fParams.OnChange = [this](TMdsParams&, TMdsParam*) {
    if (!fQuiet) Changed();
  };
}

TMdsFilter::~TMdsFilter() {
  fParams.OnChange = nullptr;
  OnChange = nullptr;
}

void TMdsFilter::Changed() {
  if (fLockedCount > 0) {
    ++fChangeCount;
    return;
  }
  if (OnChange) OnChange(*this);
}

void TMdsFilter::LeaveChanges() {
  if (fLockedCount <= 0) return;
  if (--fLockedCount == 0 && fChangeCount > 0) {
    fChangeCount = 0;
    Changed();
  }
}

void TMdsFilter::SetActive(bool value) {
  if (value == fActive) return;
  fActive = value;
  Changed();
}

void TMdsFilter::SetParams(const TMdsParams& params) {
  if (&params == &fParams) return;
  fQuiet = true;
  try {
    fParams.Assign(params);
  } catch (...) {
    fQuiet = false;
    throw;
  }
  fQuiet = false;
  if (fActive) Changed();
}

void TMdsFilter::Assign(const TMdsFilter& source) {
  if (&source == this) return;
  EnterChanges();
  try {
    SetActive(source.fActive);
    SetParams(source.fParams);
  } catch (...) {
    LeaveChanges();
    throw;
  }
  LeaveChanges();
}

std::shared_ptr<TParamsFilter> TMdsFilter::Compile(TMdsTable* table) const {
  if (!fActive || !Filled() || !table) return nullptr;
  auto filter = std::make_shared<TParamsFilter>(table);
  filter->Setup(&fParams);
  return filter;
}

std::string TMdsFilter::SaveToText() const {
  std::string out = fActive ? "Active = True\n" : "";
  return out + fParams.SaveToText();
}

void TMdsFilter::LoadFromText(std::string_view text) {
  bool active = false;
  std::string_view rest = text;
  std::string_view head = platform::TrimLeftView(rest);
  if (head.starts_with("Active")) {
    std::size_t eol = head.find('\n');
    std::string line = platform::Trim(head.substr(0, eol));
    if (line == "Active = True") {
      active = true;
    } else if (line != "Active = False") {
      throw EMdsParamError("Not a filter: " + line);
    }
    rest = eol == std::string_view::npos ? std::string_view() : head.substr(eol + 1);
  }
  TMdsParams scratch;
  scratch.LoadFromText(rest);
  EnterChanges();
  try {
    SetActive(active);
    fParams.Assign(scratch);
  } catch (...) {
    LeaveChanges();
    throw;
  }
  LeaveChanges();
}

}  // namespace tarvo
