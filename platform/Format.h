// Delphi-style formatting of the texts the toolkit shows and logs.
//
//   Format("Error %d: %s.", {5, "Access is denied"})
//
// Specifiers: "%" [index ":"] ["-"] [width] ["." precision] type, where type
// is one of
//   d  signed decimal (precision = minimum digits, zero-padded)
//   u  unsigned decimal
//   x  hexadecimal, upper-case digits (precision = minimum digits)
//   s  text (precision = maximum code points)
//   f  fixed-point, precision digits after the point (default 2)
//   e  scientific, g general, n fixed with thousands separators
//   p  pointer-sized hexadecimal (8 digits at least)
// and "%%" is one "%". An index ("%0:s") selects the argument by position; the
// following specifiers without an index continue from the one after it. Width
// pads with blanks on the left, or on the right with "-". "*" takes a width or
// precision from the next integer argument. Widths and precisions count code
// points. Letter case of the type does not matter.
//
// A pattern that does not fit its arguments (a missing argument, a type that
// does not match the argument, an unknown type, a pattern that ends inside a
// specifier) throws EFormatError naming the pattern; Format never reads past
// the arguments it was given.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tarvo::platform {

class EFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One argument: an integer, an unsigned integer, a floating-point number or a
// text. Integers may be formatted with d, u, x; floats with f, e, g, n; texts
// with s.
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

std::string Format(std::string_view pattern, const FormatArgs& args);
inline std::string Format(std::string_view pattern, std::initializer_list<FormatArg> args) {
  return Format(pattern, FormatArgs(args));
}

}  // namespace tarvo::platform
