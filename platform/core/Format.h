// Delphi-style formatting of the texts the toolkit shows and logs.
//
//   Format("Error %d: %s.", {5, "Access is denied"})
//
// Specifiers: "%" [index ":"] ["-"] [width] ["." precision] type, where type
// is one of
//   d  signed decimal (precision = minimum digits, zero-padded after the sign)
//   u  unsigned decimal
//   x  hexadecimal, upper-case digits (precision = minimum digits)
//   s  text (precision = maximum code points)
//   f  fixed-point, precision digits after the point (default 2)
//   e  scientific, precision significant digits (default 15), "1.50E+003"
//   g  general: the shorter of fixed and scientific, precision significant
//      digits (default 15), no trailing zeros ("0.5", "1E20")
//   n  fixed with thousands separators, as f
//   p  pointer-sized hexadecimal (8 digits at least)
// and "%%" is one "%". An index ("%0:s") selects the argument by position; the
// following specifiers without an index continue from the one after it. Width
// pads with blanks on the left, or on the right with "-"; a leading zero of
// the width is part of the number, not a flag. "*" takes a width or precision
// from the next integer argument (a negative width means "-"). Widths and
// precisions count code points and may not exceed 100000. Letter case of the
// type does not matter.
//
// Negative integers given to u, x or p show their two's complement: in 32 bits
// when the value fits in 32 bits (the terminal's integers), else in 64 bits
// ("%x" of -1 is "FFFFFFFF"). f and n round exact halves away from zero
// ("%.2f" of 5.125 is "5.13"), as the terminal's texts always have; other
// values are rounded correctly from their exact binary value. Infinities and
// NaN show as "INF", "-INF" and "NAN".
//
// A pattern that does not fit its arguments (a missing argument, a type that
// does not match the argument, an unknown type, a pattern that ends inside a
// specifier, a width or precision too large) throws EFormatError naming the
// pattern and the specifier; Format never reads past the arguments it was
// given. Argument values never appear in the message.
//
// Format is pure and safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tarvo::platform {

class EFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One argument: an integer, an unsigned integer, a floating-point number or a
// text. Integers may be formatted with d, u, x, p; floats with f, e, g, n;
// texts with s. Any other pairing is an EFormatError, as in the terminal.
class FormatArg {
 public:
  FormatArg(int v) : fValue(static_cast<std::int64_t>(v)) {}
  FormatArg(long v) : fValue(static_cast<std::int64_t>(v)) {}
  FormatArg(long long v) : fValue(static_cast<std::int64_t>(v)) {}
  FormatArg(unsigned v) : fValue(static_cast<std::uint64_t>(v)) {}
  FormatArg(unsigned long v) : fValue(static_cast<std::uint64_t>(v)) {}
  FormatArg(unsigned long long v) : fValue(static_cast<std::uint64_t>(v)) {}
  FormatArg(double v) : fValue(v) {}
  FormatArg(const char* v) : fValue(std::string(v ? v : "")) {}
  FormatArg(std::string_view v) : fValue(std::string(v)) {}
  FormatArg(const std::string& v) : fValue(v) {}
  FormatArg(std::string&& v) : fValue(std::move(v)) {}

  using Value = std::variant<std::int64_t, std::uint64_t, double, std::string>;
  const Value& value() const noexcept { return fValue; }

 private:
  Value fValue;
};

using FormatArgs = std::vector<FormatArg>;

// Separators of the floating-point types. The default is the invariant form
// ("1,234.50"), which logs and files need; a caller that shows numbers to a
// user may pass the locale's separators (any UTF-8 text).
struct NumberSeparators {
  std::string decimalSeparator = ".";
  std::string thousandSeparator = ",";
};

std::string Format(std::string_view pattern, const FormatArgs& args);
std::string Format(std::string_view pattern, std::initializer_list<FormatArg> args);
std::string Format(const NumberSeparators& separators, std::string_view pattern,
                   const FormatArgs& args);

// Appends the formatted text to out, for callers that build a text in pieces
// without temporaries. When the pattern does not fit, throws EFormatError and
// leaves out as it was.
void AppendFormat(std::string& out, std::string_view pattern, const FormatArg* args,
                  std::size_t count, const NumberSeparators* separators = nullptr);

}  // namespace tarvo::platform
