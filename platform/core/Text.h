// UTF-8 text helpers.
//
// Text inside the toolkit is UTF-8 in std::string. Where an algorithm speaks of
// "characters" or positions, it counts Unicode code points, never bytes. Input
// that is not valid UTF-8 is tolerated: each bad byte counts as one character
// and is kept as it is by slicing and case mapping; conversions replace it
// with U+FFFD; comparisons treat it as a character equal only to itself.
//
// "Ignoring case" means Unicode simple case folding (Latin, Cyrillic, Greek ...
// all fold); the Ascii* variants fold only A-Z, for the places where the
// behaviour is defined on ASCII letters alone.
//
// All functions are pure and safe to call from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::platform {

// Number of code points in s.
std::size_t CodePointCount(std::string_view s);

// Byte offset of the code point with the given 0-based index; s.size() when
// index is at or past the end.
std::size_t ByteOffsetOf(std::string_view s, std::size_t index);

// The code points [start, start + count) of s, clamped to the text: a start
// past the end gives an empty text, a count past the end takes the rest.
std::string CodePointSlice(std::string_view s, std::size_t start,
                           std::size_t count = std::string_view::npos);

// Decodes s into code points (bad bytes become U+FFFD) and back; surrogates
// and values above U+10FFFF are written as U+FFFD.
std::u32string ToCodePoints(std::string_view s);
std::string FromCodePoints(std::u32string_view s);
void AppendCodePoint(std::string& out, char32_t cp);

// True when s is well-formed UTF-8 (no overlong forms, no surrogates, nothing
// above U+10FFFF).
bool IsValidUtf8(std::string_view s);
// s with every bad byte replaced by U+FFFD; s itself when it is valid.
std::string SanitizeUtf8(std::string_view s);

// UTF-16 at the edges (files and resources in UTF-16). Unpaired surrogates
// become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view s);
std::string Utf16ToUtf8(std::u16string_view s);

// Trimming removes characters up to and including U+0020 (all ASCII control
// characters and the blank) from the ends, as the terminal always has.
std::string Trim(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);
// The same without copying, for hot paths: views into s.
std::string_view TrimView(std::string_view s) noexcept;
std::string_view TrimLeftView(std::string_view s) noexcept;
std::string_view TrimRightView(std::string_view s) noexcept;

// Unicode case mapping of whole texts (ICU, root locale, so the result does not
// depend on the user's locale). Upper and lower case use the full mappings (the
// text may grow: "ß" upper-cases to "SS"). FoldCase applies the simple case
// folding that the comparisons below use, one code point for one, so positions
// in code points stay valid.
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
std::string FoldCase(std::string_view s);

// Case-insensitive comparison by simple case folding: <0, 0, >0. Texts are
// ordered by the folded code points; the shorter of two texts that agree up to
// its end comes first. No allocation.
int CompareText(std::string_view a, std::string_view b);
bool SameText(std::string_view a, std::string_view b);

// Position (0-based, in code points) of the first occurrence of needle in
// haystack ignoring case, or npos. An empty needle is found at 0.
std::size_t FindText(std::string_view haystack, std::string_view needle);
bool StartsText(std::string_view text, std::string_view prefix);
bool EndsText(std::string_view text, std::string_view suffix);

// ASCII-only case handling: only A-Z and a-z are mapped; every other byte
// compares by its unsigned value. Comparison orders texts as if both were
// upper-cased, as the terminal's sorted lists always have (so "_" sorts after
// the letters). No allocation.
std::string AsciiUpperCase(std::string_view s);
std::string AsciiLowerCase(std::string_view s);
int CompareTextAscii(std::string_view a, std::string_view b);
bool SameTextAscii(std::string_view a, std::string_view b);
bool StartsTextAscii(std::string_view text, std::string_view prefix);
bool EndsTextAscii(std::string_view text, std::string_view suffix);

// Splits on each occurrence of the separator (a separator at the ends gives
// empty pieces; an empty text gives one empty piece).
std::vector<std::string> SplitString(std::string_view s, char separator);

}  // namespace tarvo::platform
