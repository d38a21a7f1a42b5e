#include "platform/core/Format.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <limits>

#include "platform/core/Text.h"

namespace tarvo::platform {

namespace {

// Widths and precisions beyond this are refused: a pattern such as
// "%999999999s" (a typo or a hostile translation) must not allocate gigabytes.
constexpr std::uint64_t kMaxWidth = 100000;
constexpr std::uint64_t kTooLarge = kMaxWidth + 1;

const NumberSeparators kInvariant{};

// Parses one pattern against its arguments and appends the result.
class Formatter {
 public:
  Formatter(std::string& out, std::string_view pattern, const FormatArg* args, std::size_t count,
            const NumberSeparators& settings)
      : fOut(out), fPattern(pattern), fArgs(args), fCount(count), fSettings(settings) {}

  void Run();

 private:
  struct Spec {
    bool left = false;
    std::uint64_t width = 0;
    bool hasPrecision = false;
    std::uint64_t precision = 0;
    char type = 0;          // lower case
    std::string_view text;  // the specifier as written, for messages
    std::size_t argIndex = 0;
  };

  [[noreturn]] void Fail(const std::string& what) const {
    throw EFormatError("Format \"" + std::string(fPattern) + "\": " + what);
  }
  [[noreturn]] void FailMissing(std::string_view spec) const {
    Fail("no argument for \"" + std::string(spec) + "\"");
  }
  [[noreturn]] void FailMismatch(std::string_view spec, std::size_t index) const;

  bool ParseNumber(std::size_t& i, std::uint64_t& value, std::size_t specStart);
  std::int64_t TakeIntArg(std::size_t specStart, std::size_t i);

  void Pad(std::uint64_t n) { fOut.append(static_cast<std::size_t>(n), ' '); }
  void AppendInteger(const Spec& spec, const FormatArg::Value& v);
  void AppendText(const Spec& spec, std::string_view s);
  void AppendFloat(const Spec& spec, double v);
  void AppendPadded(const Spec& spec, std::string_view body);

  std::string& fOut;
  std::string_view fPattern;
  const FormatArg* fArgs;
  std::size_t fCount;
  const NumberSeparators& fSettings;
  std::size_t fNext = 0;  // the argument an unindexed specifier takes
};

const char* KindName(const FormatArg::Value& v) {
  switch (v.index()) {
    case 0:
      return "an integer";
    case 1:
      return "an unsigned integer";
    case 2:
      return "a floating-point number";
    default:
      return "a text";
  }
}

void Formatter::FailMismatch(std::string_view spec, std::size_t index) const {
  Fail("\"" + std::string(spec) + "\" does not fit argument " + std::to_string(index) + " (" +
       KindName(fArgs[index].value()) + ")");
}

// Digits or "*" at i. Digits too many to be a sane width come back as
// kTooLarge, refused once the specifier is known.
bool Formatter::ParseNumber(std::size_t& i, std::uint64_t& value, std::size_t specStart) {
  if (i < fPattern.size() && fPattern[i] == '*') {
    ++i;
    const std::int64_t v = TakeIntArg(specStart, i);
    value = static_cast<std::uint64_t>(v < 0 ? -v : v);
    if (v < 0) value |= std::uint64_t{1} << 63;  // sign kept for the caller
    return true;
  }
  if (i >= fPattern.size() || fPattern[i] < '0' || fPattern[i] > '9') return false;
  value = 0;
  while (i < fPattern.size() && fPattern[i] >= '0' && fPattern[i] <= '9') {
    if (value <= kMaxWidth) value = value * 10 + static_cast<std::uint64_t>(fPattern[i] - '0');
    ++i;
  }
  if (value > kMaxWidth) value = kTooLarge;
  return true;
}

std::int64_t Formatter::TakeIntArg(std::size_t specStart, std::size_t i) {
  const std::string_view spec = fPattern.substr(specStart, i - specStart);
  if (fNext >= fCount) FailMissing(spec);
  const std::size_t index = fNext++;
  const FormatArg::Value& v = fArgs[index].value();
  if (const auto* s = std::get_if<std::int64_t>(&v)) {
    if (*s > static_cast<std::int64_t>(kMaxWidth) || *s < -static_cast<std::int64_t>(kMaxWidth))
      Fail("width or precision too large in \"" + std::string(spec) + "\"");
    return *s;
  }
  if (const auto* u = std::get_if<std::uint64_t>(&v)) {
    if (*u > kMaxWidth) Fail("width or precision too large in \"" + std::string(spec) + "\"");
    return static_cast<std::int64_t>(*u);
  }
  FailMismatch(spec, index);
}

void Formatter::Run() {
  const std::size_t n = fPattern.size();
  std::size_t i = 0;
  while (i < n) {
    const std::size_t percent = fPattern.find('%', i);
    if (percent == std::string_view::npos) {
      fOut.append(fPattern.substr(i));
      return;
    }
    fOut.append(fPattern.substr(i, percent - i));
    i = percent + 1;
    if (i < n && fPattern[i] == '%') {
      fOut.push_back('%');
      ++i;
      continue;
    }

    Spec spec;
    constexpr std::uint64_t kNegative = std::uint64_t{1} << 63;
    std::uint64_t number = 0;
    bool tooLarge = false;
    auto setWidth = [&](std::uint64_t w) {
      if (w & kNegative) {
        spec.left = true;
        w &= ~kNegative;
      }
      tooLarge |= w == kTooLarge;
      spec.width = w;
    };
    if (i < n && fPattern[i] == '-') {
      spec.left = true;
      ++i;
      if (ParseNumber(i, number, percent)) setWidth(number);
    } else if (ParseNumber(i, number, percent)) {
      if (i < n && fPattern[i] == ':') {
        // The number was an index: the argument by position, and unindexed
        // specifiers go on from the one after it.
        if ((number & kNegative) != 0 || number == kTooLarge)
          Fail("bad index in \"" + std::string(fPattern.substr(percent, i + 1 - percent)) + "\"");
        fNext = static_cast<std::size_t>(number);
        ++i;
        if (i < n && fPattern[i] == '-') {
          spec.left = true;
          ++i;
        }
        if (ParseNumber(i, number, percent)) setWidth(number);
      } else {
        setWidth(number);
      }
    }
    if (i < n && fPattern[i] == '.') {
      ++i;
      spec.hasPrecision = true;
      spec.precision = 0;
      if (ParseNumber(i, number, percent)) {
        if (number & kNegative) {
          spec.hasPrecision = false;  // a negative precision is as good as none
        } else {
          tooLarge |= number == kTooLarge;
          spec.precision = number;
        }
      }
    }
    if (i >= n)
      Fail("the pattern ends inside the specifier \"" + std::string(fPattern.substr(percent)) +
           "\"");
    const char type = fPattern[i++];
    spec.text = fPattern.substr(percent, i - percent);
    spec.type = static_cast<char>(type >= 'A' && type <= 'Z' ? type + ('a' - 'A') : type);
    switch (spec.type) {
      case 'd':
      case 'u':
      case 'x':
      case 'p':
      case 's':
      case 'f':
      case 'e':
      case 'g':
      case 'n':
        break;
      default: {
        // Name the whole character, not a piece of its UTF-8 bytes.
        const std::size_t end = (i - 1) + ByteOffsetOf(fPattern.substr(i - 1), 1);
        Fail("unknown type in \"" + std::string(fPattern.substr(percent, end - percent)) + "\"");
      }
    }
    if (tooLarge) Fail("width or precision too large in \"" + std::string(spec.text) + "\"");
    if (fNext >= fCount) FailMissing(spec.text);
    spec.argIndex = fNext++;
    const FormatArg::Value& value = fArgs[spec.argIndex].value();

    switch (spec.type) {
      case 's':
        if (const auto* s = std::get_if<std::string>(&value))
          AppendText(spec, *s);
        else
          FailMismatch(spec.text, spec.argIndex);
        break;
      case 'f':
      case 'e':
      case 'g':
      case 'n':
        if (const auto* d = std::get_if<double>(&value))
          AppendFloat(spec, *d);
        else
          FailMismatch(spec.text, spec.argIndex);
        break;
      default:
        AppendInteger(spec, value);
        break;
    }
  }
}

void Formatter::AppendPadded(const Spec& spec, std::string_view body) {
  const std::uint64_t length = spec.width ? CodePointCount(body) : 0;
  const std::uint64_t pad = spec.width > length ? spec.width - length : 0;
  if (!spec.left) Pad(pad);
  fOut.append(body);
  if (spec.left) Pad(pad);
}

void Formatter::AppendText(const Spec& spec, std::string_view s) {
  if (spec.hasPrecision) s = s.substr(0, ByteOffsetOf(s, spec.precision));
  AppendPadded(spec, s);
}

// The terminal's integers are 32 bits wide: a negative one shown unsigned or
// in hexadecimal is its 32-bit two's complement. Values outside 32 bits can
// only have come from a 64-bit integer and show in 64 bits.
std::uint64_t AsUnsigned(std::int64_t v) {
  if (v >= 0) return static_cast<std::uint64_t>(v);
  if (v >= std::numeric_limits<std::int32_t>::min())
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(v));
  return static_cast<std::uint64_t>(v);
}

void Formatter::AppendInteger(const Spec& spec, const FormatArg::Value& value) {
  bool negative = false;
  std::uint64_t magnitude = 0;
  if (const auto* s = std::get_if<std::int64_t>(&value)) {
    if (spec.type == 'd') {
      negative = *s < 0;
      magnitude = negative ? 0 - static_cast<std::uint64_t>(*s) : static_cast<std::uint64_t>(*s);
    } else {
      magnitude = AsUnsigned(*s);
    }
  } else if (const auto* u = std::get_if<std::uint64_t>(&value)) {
    magnitude = *u;
  } else {
    FailMismatch(spec.text, spec.argIndex);
  }

  char digits[24];
  const int base = (spec.type == 'x' || spec.type == 'p') ? 16 : 10;
  const auto result = std::to_chars(digits, digits + sizeof digits, magnitude, base);
  const std::size_t count = static_cast<std::size_t>(result.ptr - digits);
  if (base == 16)
    for (std::size_t k = 0; k < count; ++k)
      if (digits[k] >= 'a') digits[k] = static_cast<char>(digits[k] - ('a' - 'A'));

  std::uint64_t minDigits = spec.hasPrecision ? spec.precision : 0;
  if (spec.type == 'p') minDigits = 8;
  const std::uint64_t zeros = minDigits > count ? minDigits - count : 0;
  const std::uint64_t length = (negative ? 1 : 0) + zeros + count;
  const std::uint64_t pad = spec.width > length ? spec.width - length : 0;
  if (!spec.left) Pad(pad);
  if (negative) fOut.push_back('-');
  fOut.append(static_cast<std::size_t>(zeros), '0');
  fOut.append(digits, count);
  if (spec.left) Pad(pad);
}

// --- floating point ---------------------------------------------------------

// Number of decimals the exact value of a finite v has (0 for an integer).
int ExactDecimals(double v) {
  if (v == 0) return 0;
  int exponent = 0;
  const double mantissa = std::frexp(std::fabs(v), &exponent);  // [0.5, 1)
  auto bits = static_cast<std::uint64_t>(std::ldexp(mantissa, 53));
  int e2 = exponent - 53 + std::countr_zero(bits);
  return e2 < 0 ? -e2 : 0;
}

// Fixed notation with "." as the point into text; exact halves away from zero.
void FixedText(double v, int decimals, std::string& text) {
  text.resize(330 + static_cast<std::size_t>(decimals));
  char* const first = text.data();
  char* const last = first + text.size();
  if (ExactDecimals(v) == decimals + 1) {
    // v lies exactly halfway: its exact expansion has one digit more, a 5.
    // Drop it and round the magnitude up.
    const auto r = std::to_chars(first, last, v, std::chars_format::fixed, decimals + 1);
    std::size_t size = static_cast<std::size_t>(r.ptr - first) - 1;
    if (decimals == 0) --size;  // the point before the dropped digit
    text.resize(size);
    std::size_t k = text.size();
    for (;;) {
      if (k == 0 || text[k - 1] == '-') {
        text.insert(k, 1, '1');
        break;
      }
      char& c = text[--k];
      if (c == '.') continue;
      if (c == '9') {
        c = '0';
        continue;
      }
      ++c;
      break;
    }
  } else {
    const auto r = std::to_chars(first, last, v, std::chars_format::fixed, decimals);
    text.resize(static_cast<std::size_t>(r.ptr - first));
  }
  // A negative value that rounds to zero shows as zero, not "-0.00".
  if (!text.empty() && text[0] == '-' && text.find_first_not_of("0.", 1) == std::string::npos)
    text.erase(0, 1);
}

// Scientific digits into mantissa ("d.ddd") and the decimal exponent of v
// rounded to the given significant digits.
void Scientific(double v, int significant, std::string& mantissa, int& exponent) {
  mantissa.resize(32 + static_cast<std::size_t>(significant));
  const auto r = std::to_chars(mantissa.data(), mantissa.data() + mantissa.size(), v,
                               std::chars_format::scientific, significant - 1);
  mantissa.resize(static_cast<std::size_t>(r.ptr - mantissa.data()));
  const std::size_t e = mantissa.find('e');
  std::from_chars(mantissa.data() + e + (mantissa[e + 1] == '+' ? 2 : 1),
                  mantissa.data() + mantissa.size(), exponent);
  mantissa.resize(e);
}

void StripTrailingZeros(std::string& s) {
  if (s.find('.') == std::string::npos) return;
  while (!s.empty() && s.back() == '0') s.pop_back();
  if (!s.empty() && s.back() == '.') s.pop_back();
}

void AppendExponent(std::string& s, int exponent, std::size_t minDigits, bool plus) {
  char digits[16];
  const auto r = std::to_chars(digits, digits + sizeof digits, exponent < 0 ? -exponent : exponent);
  const auto count = static_cast<std::size_t>(r.ptr - digits);
  s += 'E';
  if (exponent < 0)
    s += '-';
  else if (plus)
    s += '+';
  if (count < minDigits) s.append(minDigits - count, '0');
  s.append(digits, count);
}

void Formatter::AppendFloat(const Spec& spec, double v) {
  if (std::isnan(v)) return AppendPadded(spec, "NAN");
  if (std::isinf(v)) return AppendPadded(spec, v < 0 ? "-INF" : "INF");
  if (v == 0) v = 0.0;  // no "-0" in any form

  // Scratch texts that keep their capacity, so that a number costs no
  // allocation once a thread has formatted one.
  thread_local std::string body;
  thread_local std::string scratch;
  switch (spec.type) {
    case 'f':
    case 'n':
      FixedText(v, spec.hasPrecision ? static_cast<int>(spec.precision) : 2, body);
      break;
    case 'e': {
      const int significant =
          spec.hasPrecision ? std::max(1, static_cast<int>(spec.precision)) : 15;
      int exponent = 0;
      Scientific(v, significant, body, exponent);
      AppendExponent(body, exponent, 3, true);
      break;
    }
    default: {  // 'g'
      const int significant =
          spec.hasPrecision ? std::max(1, static_cast<int>(spec.precision)) : 15;
      if (v == 0) {
        body = "0";
        break;
      }
      int exponent = 0;
      Scientific(v, significant, body, exponent);
      if (exponent + 1 <= significant && std::fabs(v) >= 1e-5) {
        scratch.resize(330 + static_cast<std::size_t>(significant) + 8);
        const auto r = std::to_chars(scratch.data(), scratch.data() + scratch.size(), v,
                                     std::chars_format::fixed, significant - 1 - exponent);
        scratch.resize(static_cast<std::size_t>(r.ptr - scratch.data()));
        StripTrailingZeros(scratch);
        body.swap(scratch);
      } else {
        StripTrailingZeros(body);
        AppendExponent(body, exponent, 1, false);
      }
      break;
    }
  }

  if (spec.type == 'n' || fSettings.decimalSeparator != ".") {
    const std::size_t point = body.find('.');
    scratch.clear();
    const std::size_t intStart = (body[0] == '-') ? 1 : 0;
    const std::size_t intEnd =
        (spec.type == 'n') ? (point == std::string::npos ? body.size() : point) : intStart;
    scratch.append(body, 0, intStart);
    for (std::size_t k = intStart; k < intEnd; ++k) {
      if (k > intStart && (intEnd - k) % 3 == 0) scratch += fSettings.thousandSeparator;
      scratch += body[k];
    }
    for (std::size_t k = intEnd; k < body.size(); ++k) {
      if (body[k] == '.')
        scratch += fSettings.decimalSeparator;
      else
        scratch += body[k];
    }
    body.swap(scratch);
  }
  AppendPadded(spec, body);
}

std::size_t Estimate(std::string_view pattern, const FormatArg* args, std::size_t count) {
  std::size_t size = pattern.size();
  for (std::size_t k = 0; k < count; ++k) {
    if (const auto* s = std::get_if<std::string>(&args[k].value()))
      size += s->size();
    else
      size += 12;
  }
  return size;
}

}  // namespace

void AppendFormat(std::string& out, std::string_view pattern, const FormatArg* args,
                  std::size_t count, const NumberSeparators* settings) {
  const std::size_t before = out.size();
  try {
    Formatter(out, pattern, args, count, settings ? *settings : kInvariant).Run();
  } catch (...) {
    out.resize(before);
    throw;
  }
}

std::string Format(std::string_view pattern, const FormatArgs& args) {
  std::string out;
  out.reserve(Estimate(pattern, args.data(), args.size()));
  Formatter(out, pattern, args.data(), args.size(), kInvariant).Run();
  return out;
}

std::string Format(std::string_view pattern, std::initializer_list<FormatArg> args) {
  std::string out;
  out.reserve(Estimate(pattern, args.begin(), args.size()));
  Formatter(out, pattern, args.begin(), args.size(), kInvariant).Run();
  return out;
}

std::string Format(const NumberSeparators& settings, std::string_view pattern,
                   const FormatArgs& args) {
  std::string out;
  out.reserve(Estimate(pattern, args.data(), args.size()));
  Formatter(out, pattern, args.data(), args.size(), settings).Run();
  return out;
}

}  // namespace tarvo::platform
