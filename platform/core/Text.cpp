#include "platform/core/Text.h"

#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/uchar.h>

#include <cstdint>
#include <limits>
#include <stdexcept>

namespace tarvo::platform {

namespace {

constexpr char32_t kReplacement = 0xFFFD;
// A byte that does not start a well-formed sequence decodes to kBadByte + the
// byte: outside Unicode, so it never equals a real character (nor another bad
// byte), and folding leaves it alone.
constexpr char32_t kBadByte = 0x110000;

inline bool IsBad(char32_t cp) noexcept {
  return cp >= kBadByte;
}

inline bool IsTrail(unsigned char b) noexcept {
  return (b & 0xC0) == 0x80;
}

// Decodes the code point at s[i] (i < s.size()) into cp and returns the number
// of bytes it takes. Follows the well-formed table of the Unicode standard, so
// overlong forms, surrogates and values above U+10FFFF are bad; a bad lead byte
// or an incomplete sequence is consumed one byte at a time.
inline std::size_t DecodeAt(std::string_view s, std::size_t i, char32_t& cp) noexcept {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  const std::size_t left = s.size() - i;
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    if (left >= 2 && IsTrail(at(1))) {
      cp = (char32_t(b0 & 0x1F) << 6) | (at(1) & 0x3F);
      return 2;
    }
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (left >= 3) {
      const unsigned char b1 = at(1);
      const unsigned char lo = b0 == 0xE0 ? 0xA0 : 0x80;
      const unsigned char hi = b0 == 0xED ? 0x9F : 0xBF;
      if (b1 >= lo && b1 <= hi && IsTrail(at(2))) {
        cp = (char32_t(b0 & 0x0F) << 12) | (char32_t(b1 & 0x3F) << 6) | (at(2) & 0x3F);
        return 3;
      }
    }
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (left >= 4) {
      const unsigned char b1 = at(1);
      const unsigned char lo = b0 == 0xF0 ? 0x90 : 0x80;
      const unsigned char hi = b0 == 0xF4 ? 0x8F : 0xBF;
      if (b1 >= lo && b1 <= hi && IsTrail(at(2)) && IsTrail(at(3))) {
        cp = (char32_t(b0 & 0x07) << 18) | (char32_t(b1 & 0x3F) << 12) |
             (char32_t(at(2) & 0x3F) << 6) | (at(3) & 0x3F);
        return 4;
      }
    }
  }
  cp = kBadByte + b0;
  return 1;
}

// Simple case folding of one decoded code point; bad bytes stay as they are.
inline char32_t Fold(char32_t cp) noexcept {
  if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp + ('a' - 'A') : cp;
  if (IsBad(cp)) return cp;
  return static_cast<char32_t>(u_foldCase(static_cast<UChar32>(cp), U_FOLD_CASE_DEFAULT));
}

// Decodes and folds the code point at s[i], advancing i. The ASCII case is
// inline because the comparisons spend nearly all their time there.
inline char32_t NextFolded(std::string_view s, std::size_t& i) noexcept {
  const auto b = static_cast<unsigned char>(s[i]);
  if (b < 0x80) {
    ++i;
    return (b >= 'A' && b <= 'Z') ? char32_t(b + ('a' - 'A')) : char32_t(b);
  }
  char32_t cp;
  i += DecodeAt(s, i, cp);
  return Fold(cp);
}

// Appends the code point, or the original byte for a bad one.
inline void AppendDecoded(std::string& out, char32_t cp) {
  if (IsBad(cp))
    out.push_back(static_cast<char>(cp - kBadByte));
  else
    AppendCodePoint(out, cp);
}

inline bool IsBlankOrControl(char c) noexcept {
  return static_cast<unsigned char>(c) <= 0x20;
}

inline unsigned char AsciiUpper(unsigned char c) noexcept {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
}
inline unsigned char AsciiLower(unsigned char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

bool IsAscii(std::string_view s) noexcept {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// ICU takes 32-bit lengths; a text beyond that is refused rather than cut.
int32_t IcuLength(std::string_view s) {
  if (s.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
    throw std::length_error("Text too long for case mapping");
  return static_cast<int32_t>(s.size());
}

}  // namespace

// --- code points ------------------------------------------------------------

std::size_t CodePointCount(std::string_view s) {
  std::size_t count = 0;
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
    } else {
      char32_t cp;
      i += DecodeAt(s, i, cp);
    }
    ++count;
  }
  return count;
}

std::size_t ByteOffsetOf(std::string_view s, std::size_t index) {
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (index > 0 && i < n) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
    } else {
      char32_t cp;
      i += DecodeAt(s, i, cp);
    }
    --index;
  }
  return i;
}

std::string CodePointSlice(std::string_view s, std::size_t start, std::size_t count) {
  const std::size_t from = ByteOffsetOf(s, start);
  const std::string_view rest = s.substr(from);
  return std::string(rest.substr(0, ByteOffsetOf(rest, count)));
}

std::u32string ToCodePoints(std::string_view s) {
  std::u32string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    char32_t cp;
    i += DecodeAt(s, i, cp);
    out.push_back(IsBad(cp) ? kReplacement : cp);
  }
  return out;
}

void AppendCodePoint(std::string& out, char32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string FromCodePoints(std::u32string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char32_t cp : s) AppendCodePoint(out, cp);
  return out;
}

bool IsValidUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    char32_t cp;
    i += DecodeAt(s, i, cp);
    if (IsBad(cp)) return false;
  }
  return true;
}

std::string SanitizeUtf8(std::string_view s) {
  if (IsValidUtf8(s)) return std::string(s);
  std::string out;
  out.reserve(s.size() + 8);
  for (std::size_t i = 0; i < s.size();) {
    char32_t cp;
    const std::size_t len = DecodeAt(s, i, cp);
    if (IsBad(cp))
      AppendCodePoint(out, kReplacement);
    else
      out.append(s.substr(i, len));
    i += len;
  }
  return out;
}

// --- UTF-16 -------------------------------------------------------------------

std::u16string Utf8ToUtf16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    char32_t cp;
    i += DecodeAt(s, i, cp);
    if (IsBad(cp)) cp = kReplacement;
    if (cp < 0x10000) {
      out.push_back(static_cast<char16_t>(cp));
    } else {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char32_t u = s[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
        s[i + 1] <= 0xDFFF) {
      AppendCodePoint(out, 0x10000 + ((u - 0xD800) << 10) + (s[i + 1] - 0xDC00));
      ++i;
    } else {
      // A lone surrogate becomes U+FFFD inside AppendCodePoint.
      AppendCodePoint(out, u);
    }
  }
  return out;
}

// --- trimming ---------------------------------------------------------------

std::string_view TrimLeftView(std::string_view s) noexcept {
  std::size_t i = 0;
  while (i < s.size() && IsBlankOrControl(s[i])) ++i;
  return s.substr(i);
}

std::string_view TrimRightView(std::string_view s) noexcept {
  std::size_t n = s.size();
  while (n > 0 && IsBlankOrControl(s[n - 1])) --n;
  return s.substr(0, n);
}

std::string_view TrimView(std::string_view s) noexcept {
  return TrimRightView(TrimLeftView(s));
}

std::string Trim(std::string_view s) {
  return std::string(TrimView(s));
}
std::string TrimLeft(std::string_view s) {
  return std::string(TrimLeftView(s));
}
std::string TrimRight(std::string_view s) {
  return std::string(TrimRightView(s));
}

// --- Unicode case -------------------------------------------------------------

std::string UpperCase(std::string_view s) {
  if (IsAscii(s)) return AsciiUpperCase(s);
  std::string out;
  out.reserve(s.size());
  icu::StringByteSink<std::string> sink(&out);
  UErrorCode err = U_ZERO_ERROR;
  // "" is the root locale: the mapping must not change with the user's locale.
  icu::CaseMap::utf8ToUpper("", 0, icu::StringPiece(s.data(), IcuLength(s)), sink, nullptr, err);
  if (U_FAILURE(err)) throw std::runtime_error("Upper-case mapping failed");
  return out;
}

std::string LowerCase(std::string_view s) {
  if (IsAscii(s)) return AsciiLowerCase(s);
  std::string out;
  out.reserve(s.size());
  icu::StringByteSink<std::string> sink(&out);
  UErrorCode err = U_ZERO_ERROR;
  icu::CaseMap::utf8ToLower("", 0, icu::StringPiece(s.data(), IcuLength(s)), sink, nullptr, err);
  if (U_FAILURE(err)) throw std::runtime_error("Lower-case mapping failed");
  return out;
}

std::string FoldCase(std::string_view s) {
  if (IsAscii(s)) return AsciiLowerCase(s);
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    char32_t cp;
    i += DecodeAt(s, i, cp);
    AppendDecoded(out, Fold(cp));
  }
  return out;
}

int CompareText(std::string_view a, std::string_view b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const char32_t x = NextFolded(a, i);
    const char32_t y = NextFolded(b, j);
    if (x != y) return x < y ? -1 : 1;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

bool SameText(std::string_view a, std::string_view b) {
  // Simple folding can change the encoded length (U+212A KELVIN SIGN folds to
  // "k"), so unequal sizes prove nothing; compare in full.
  return CompareText(a, b) == 0;
}

namespace {

// True when needle matches haystack from byte i on, ignoring case.
bool MatchesFoldedAt(std::string_view haystack, std::size_t i, std::string_view needle) {
  std::size_t j = 0;
  while (j < needle.size()) {
    if (i >= haystack.size()) return false;
    if (NextFolded(haystack, i) != NextFolded(needle, j)) return false;
  }
  return true;
}

}  // namespace

bool StartsText(std::string_view text, std::string_view prefix) {
  return MatchesFoldedAt(text, 0, prefix);
}

bool EndsText(std::string_view text, std::string_view suffix) {
  // Folding maps one code point to one, so a match has as many code points as
  // the suffix.
  const std::size_t textCount = CodePointCount(text);
  const std::size_t suffixCount = CodePointCount(suffix);
  if (suffixCount > textCount) return false;
  return CompareText(text.substr(ByteOffsetOf(text, textCount - suffixCount)), suffix) == 0;
}

std::size_t FindText(std::string_view haystack, std::string_view needle) {
  if (needle.empty()) return 0;
  std::size_t afterFirst = 0;
  const char32_t first = NextFolded(needle, afterFirst);
  const std::string_view needleRest = needle.substr(afterFirst);
  std::size_t index = 0;
  for (std::size_t start = 0; start < haystack.size(); ++index) {
    std::size_t next = start;
    if (NextFolded(haystack, next) == first && MatchesFoldedAt(haystack, next, needleRest))
      return index;
    start = next;
  }
  return std::string_view::npos;
}

// --- ASCII case -------------------------------------------------------------

std::string AsciiUpperCase(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(AsciiUpper(static_cast<unsigned char>(c)));
  return out;
}

std::string AsciiLowerCase(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(AsciiLower(static_cast<unsigned char>(c)));
  return out;
}

int CompareTextAscii(std::string_view a, std::string_view b) {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t k = 0; k < n; ++k) {
    const unsigned char x = AsciiUpper(static_cast<unsigned char>(a[k]));
    const unsigned char y = AsciiUpper(static_cast<unsigned char>(b[k]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t k = 0; k < a.size(); ++k)
    if (AsciiUpper(static_cast<unsigned char>(a[k])) !=
        AsciiUpper(static_cast<unsigned char>(b[k])))
      return false;
  return true;
}

bool StartsTextAscii(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && SameTextAscii(text.substr(0, prefix.size()), prefix);
}

bool EndsTextAscii(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         SameTextAscii(text.substr(text.size() - suffix.size()), suffix);
}

std::vector<std::string> SplitString(std::string_view s, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t pos = s.find(separator, start);
    if (pos == std::string_view::npos) {
      parts.emplace_back(s.substr(start));
      return parts;
    }
    parts.emplace_back(s.substr(start, pos - start));
    start = pos + 1;
  }
}

}  // namespace tarvo::platform
