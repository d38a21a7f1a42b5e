#include "platform/core/Text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvo::platform {
namespace {

using namespace std::string_literals;

// Bad UTF-8: each byte that does not start a well-formed sequence is one
// character of its own.
struct CountCase {
  std::string text;
  std::size_t codePoints;
};

TEST(TextCodePoints, CountsCodePointsNotBytes) {
  const CountCase cases[] = {
      {"", 0},
      {"abc", 3},
      {"Привет", 6},              // two bytes each
      {"a€b", 3},                 // three bytes
      {"x\xF0\x9F\x98\x80y", 3},  // four bytes (U+1F600)
      {"\xE2\x82", 2},            // truncated sequence: two bad bytes
      {"\xC0\x80", 2},            // overlong NUL
      {"\xED\xA0\x80", 3},        // encoded surrogate
      {"\xF4\x90\x80\x80", 4},    // above U+10FFFF
      {"\x80\xBF", 2},            // stray continuation bytes
      {"\xFF\xD0\x96", 2},        // bad byte, then "Ж"
  };
  for (const auto& c : cases) EXPECT_EQ(CodePointCount(c.text), c.codePoints) << c.text;
}

TEST(TextCodePoints, OffsetsAndSlicesFollowCodePoints) {
  const std::string s = "aЖ€\xF0\x9F\x98\x80z";  // 1 + 2 + 3 + 4 + 1 bytes
  EXPECT_EQ(ByteOffsetOf(s, 0), 0u);
  EXPECT_EQ(ByteOffsetOf(s, 1), 1u);
  EXPECT_EQ(ByteOffsetOf(s, 2), 3u);
  EXPECT_EQ(ByteOffsetOf(s, 3), 6u);
  EXPECT_EQ(ByteOffsetOf(s, 4), 10u);
  EXPECT_EQ(ByteOffsetOf(s, 5), s.size());
  EXPECT_EQ(ByteOffsetOf(s, 500), s.size());

  EXPECT_EQ(CodePointSlice(s, 1, 2), "Ж€");
  EXPECT_EQ(CodePointSlice(s, 3), "\xF0\x9F\x98\x80z");
  EXPECT_EQ(CodePointSlice(s, 4, 100), "z");
  EXPECT_EQ(CodePointSlice(s, 5, 1), "");
  EXPECT_EQ(CodePointSlice(s, 99), "");
  EXPECT_EQ(CodePointSlice(s, 0, 0), "");
  // Slicing keeps bad bytes as they are.
  EXPECT_EQ(CodePointSlice("a\xFF\xFE"
                           "b",
                           1, 2),
            "\xFF\xFE");
}

TEST(TextCodePoints, DecodingReplacesBadBytesAndEncodingRejectsNonCharacters) {
  EXPECT_EQ(ToCodePoints("aЖ\xF0\x9F\x98\x80"), U"aЖ\U0001F600");
  EXPECT_EQ(ToCodePoints("a\xE2\x82z"), U"a\uFFFD\uFFFDz");
  EXPECT_EQ(FromCodePoints(U"Ж\U0001F600"), "Ж\xF0\x9F\x98\x80");

  std::string out;
  AppendCodePoint(out, 0xD800);    // surrogate
  AppendCodePoint(out, 0x110000);  // beyond Unicode
  AppendCodePoint(out, 0x10FFFF);  // last valid
  EXPECT_EQ(out, "\xEF\xBF\xBD\xEF\xBF\xBD\xF4\x8F\xBF\xBF");
}

TEST(TextCodePoints, ValidityAndSanitizing) {
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_TRUE(IsValidUtf8("Жук €\xF0\x9F\x98\x80"));
  for (const std::string& bad :
       {"\xC0\x80"s, "\xED\xA0\x80"s, "\xF4\x90\x80\x80"s, "a\xE2\x82"s, "\x80"s, "\xFE"s}) {
    EXPECT_FALSE(IsValidUtf8(bad)) << bad;
  }
  EXPECT_EQ(SanitizeUtf8("Жук"), "Жук");
  EXPECT_EQ(SanitizeUtf8("a\xE2\x82z"), "a\uFFFD\uFFFDz");
  EXPECT_EQ(SanitizeUtf8("\xFF"), "\uFFFD");
}

TEST(TextUtf16, RoundTripsAndReplacesUnpairedSurrogates) {
  const std::string s = "Zß Ж €\xF0\x9F\x98\x80";
  const std::u16string u = Utf8ToUtf16(s);
  EXPECT_EQ(u, u"Zß Ж €\U0001F600");
  EXPECT_EQ(Utf16ToUtf8(u), s);

  EXPECT_EQ(Utf16ToUtf8(std::u16string{u'a', 0xD83D}), "a\uFFFD");  // high at the end
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xDE00, u'b'}), "\uFFFDb");  // lone low
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD83D, u'c', 0xDE00}), "\uFFFDc\uFFFD");
  EXPECT_EQ(Utf8ToUtf16("\xFFx"), u"\uFFFDx");
}

TEST(TextTrim, RemovesControlCharactersAndBlanksOnly) {
  struct Case {
    std::string in, both, left, right;
  };
  const Case cases[] = {
      {"", "", "", ""},
      {"   ", "", "", ""},
      {"abc", "abc", "abc", "abc"},
      {" \t\r\n a b \x01\x1F", "a b", "a b \x01\x1F", " \t\r\n a b"},
      {"\0x\0"s, "x", "x\0"s, "\0x"s},
      // U+00A0 and U+3000 are above U+0020: they stay.
      {"\u00A0x\u3000", "\u00A0x\u3000", "\u00A0x\u3000", "\u00A0x\u3000"},
      {" Жук ", "Жук", "Жук ", " Жук"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Trim(c.in), c.both) << c.in;
    EXPECT_EQ(TrimLeft(c.in), c.left) << c.in;
    EXPECT_EQ(TrimRight(c.in), c.right) << c.in;
    EXPECT_EQ(TrimView(c.in), c.both) << c.in;
    EXPECT_EQ(TrimLeftView(c.in), c.left) << c.in;
    EXPECT_EQ(TrimRightView(c.in), c.right) << c.in;
  }
  // The views point into the original text.
  const std::string s = "  key = value ";
  EXPECT_EQ(TrimView(s).data(), s.data() + 2);
}

TEST(TextCase, MapsLatinCyrillicAndGreekWholeTexts) {
  EXPECT_EQ(UpperCase("Ёжик in Straße ωμέγα"), "ЁЖИК IN STRASSE ΩΜΈΓΑ");
  EXPECT_EQ(LowerCase("ЁЖИК In STRASSE ΩΜΈΓΑ"), "ёжик in strasse ωμέγα");
  EXPECT_EQ(UpperCase("plain ascii 123"), "PLAIN ASCII 123");
  // The root locale, not the user's: "i" is always "I" (no Turkish dotted İ).
  EXPECT_EQ(UpperCase("iı"), "II");
  // Bad bytes survive case mapping untouched.
  EXPECT_EQ(UpperCase("ж\xFFz"), "Ж\xFFZ");
  EXPECT_EQ(LowerCase("Ж\xFFZ"), "ж\xFFz");
}

TEST(TextCase, FoldCaseIsSimpleFoldingOneForOne) {
  EXPECT_EQ(FoldCase("ЁЖИК Straße ΣΑΣ ς"), "ёжик straße σασ σ");
  EXPECT_EQ(FoldCase("\u212A"), "k");  // KELVIN SIGN
  EXPECT_EQ(FoldCase("A\xFF"), "a\xFF");
  EXPECT_EQ(CodePointCount(FoldCase("ẞß")), 2u);  // no expansion to "ss"
}

TEST(TextCompare, IgnoresCaseByFolding) {
  struct Case {
    std::string a, b;
    int sign;
  };
  const Case cases[] = {
      {"", "", 0},
      {"abc", "ABC", 0},
      {"Привет", "пРИВЕТ", 0},
      {"Ёлка", "ёЛКА", 0},
      {"ΣΊΣΥΦΟΣ", "σίσυφος", 0},  // final sigma folds like sigma
      {"\u212A", "k", 0},         // different byte lengths, same folded text
      {"abc", "abd", -1},
      {"abd", "ABC", 1},
      {"ab", "abc", -1},
      {"abc", "AB", 1},
      {"а", "б", -1},  // Cyrillic a < be
      {"z", "а", -1},  // by code point: Latin before Cyrillic
      {"\xFF", "\xFE", 1},
      {"\xFF", "\uFFFD", 1},  // a bad byte is not the replacement character
  };
  for (const auto& c : cases) {
    const int r = CompareText(c.a, c.b);
    EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " vs " << c.b;
    EXPECT_EQ(SameText(c.a, c.b), c.sign == 0) << c.a << " vs " << c.b;
    const int back = CompareText(c.b, c.a);
    EXPECT_EQ((back > 0) - (back < 0), -c.sign) << c.b << " vs " << c.a;
  }
}

TEST(TextFind, PositionsInCodePointsIgnoringCase) {
  struct Case {
    std::string haystack, needle;
    std::size_t pos;
  };
  const auto npos = std::string_view::npos;
  const Case cases[] = {
      {"abc", "", 0},
      {"", "", 0},
      {"", "a", npos},
      {"Hello World", "WORLD", 6},
      {"Обновление программы", "ПРОГРАММ", 11},
      {"ЖЖук", "жук", 1},
      {"aaab", "AAB", 1},  // a failed partial match must not skip the real one
      {"abc", "abcd", npos},
      {"abc", "c", 2},
      {"ab\xFF"
       "c",
       "\xFF"
       "C",
       2},
      {"ab\xFF"
       "c",
       "\uFFFD"
       "c",
       npos},
      {"x\xF0\x9F\x98\x80Yz", "yZ", 2},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FindText(c.haystack, c.needle), c.pos) << c.haystack << " / " << c.needle;
}

TEST(TextFind, PrefixAndSuffixIgnoringCase) {
  struct Case {
    std::string text, part;
    bool starts, ends;
  };
  const Case cases[] = {
      {"Russian.updater.lng", "RUSSIAN.", true, false},
      {"Russian.updater.lng", ".LNG", false, true},
      {"Файл.ЛНГ", "файл", true, false},
      {"Файл.ЛНГ", ".лнг", false, true},
      {"abc", "", true, true},
      {"", "", true, true},
      {"ab", "abc", false, false},
      {"\u212Aelvin", "kel", true, false},  // suffix/prefix match by folded code points
      {"x\u212A", "K", false, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StartsText(c.text, c.part), c.starts) << c.text << " / " << c.part;
    EXPECT_EQ(EndsText(c.text, c.part), c.ends) << c.text << " / " << c.part;
  }
}

TEST(TextAscii, MapsOnlyAsciiLetters) {
  EXPECT_EQ(AsciiUpperCase("abc Жук ß z"), "ABC Жук ß Z");
  EXPECT_EQ(AsciiLowerCase("ABC ЖУК Z"), "abc ЖУК z");

  EXPECT_TRUE(SameTextAscii("Variables", "VARIABLES"));
  EXPECT_FALSE(SameTextAscii("Жук", "жук"));  // Cyrillic is not ASCII
  EXPECT_FALSE(SameTextAscii("ab", "abc"));

  struct Case {
    std::string a, b;
    int sign;
  };
  const Case cases[] = {
      {"tvu", "TVU", 0},
      {"a", "B", -1},
      {"ab", "abc", -1},
      // Ordered as upper case: "_" (0x5F) comes after every letter.
      {"a_", "AB", 1},
      {"a_", "az", 1},
      // Bytes above 0x7F compare unsigned, after ASCII.
      {"\xD0\x96", "z", 1},
  };
  for (const auto& c : cases) {
    const int r = CompareTextAscii(c.a, c.b);
    EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " vs " << c.b;
  }

  EXPECT_TRUE(StartsTextAscii("RUSSIAN_UPDATER_LNG", "russian_"));
  EXPECT_TRUE(EndsTextAscii("RUSSIAN_UPDATER_LNG", "_lng"));
  EXPECT_FALSE(EndsTextAscii("lng", "_lng"));
  EXPECT_FALSE(StartsTextAscii("Жук", "ЖУ"));
}

TEST(TextSplit, SplitsOnEverySeparator) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitString("", ';'), V{""});
  EXPECT_EQ(SplitString("a", ';'), V{"a"});
  EXPECT_EQ(SplitString("a;b;;c", ';'), (V{"a", "b", "", "c"}));
  EXPECT_EQ(SplitString(";a;", ';'), (V{"", "a", ""}));
}

}  // namespace
}  // namespace tarvo::platform
