#include "http/TarvoRecode.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/core/CodePage.h"
#include "platform/core/Text.h"
#include "testing/Sandbox.h"

namespace tarvo {
namespace {

// The code pages as ICU knows them: an independent source for the letters.
struct Page {
  TEncoding encoding;
  const char* icuName;
};
const Page kPages[] = {{encKoi8_r, "KOI8-R"},
                       {encWindows, "windows-1251"},
                       {encWindows_1251, "windows-1251"},
                       {encIso8859_5, "ISO-8859-5"},
                       {encDos, "IBM866"}};

std::string AllLetters() {
  std::string s;
  for (char32_t c = 0x0410; c <= 0x044F; ++c) platform::AppendCodePoint(s, c);
  return s;
}

std::string Recode(std::string bytes, TEncoding from, TEncoding to) {
  recode_buf(bytes.data(), bytes.size(), from, to);
  return bytes;
}

std::string AllBytes() {
  std::string s(256, '\0');
  for (int i = 0; i < 256; ++i) s[i] = static_cast<char>(i);
  return s;
}

TEST(TarvoRecode, MatchEncodingAndNames) {
  const std::pair<const char*, TEncoding> cases[] = {
      {"koi8-r", encKoi8_r},
      {"KOI8-R", encKoi8_r},
      {"windows", encWindows},
      {"Windows-1251", encWindows_1251},
      {"ISO8859-5", encIso8859_5},
      {"dos", encDos},
      {"UTF-8", encUTF8},
      {"none", encNone},
      {"cp1251", encNone},
      {"koi8", encNone},
      {"", encNone},
      {"utf8", encNone},
  };
  for (const auto& [name, expected] : cases) EXPECT_EQ(match_encoding(name), expected) << name;
  for (int e = encNone; e <= encUTF8; ++e)
    EXPECT_EQ(match_encoding(encoding_name(static_cast<TEncoding>(e))), e);
  EXPECT_EQ(encoding_name(encIso8859_5), "iso8859-5");
}

TEST(TarvoRecode, LettersMapToTheSameLettersForEveryPair) {
  const std::string letters = AllLetters();
  for (const Page& from : kPages) {
    const std::string source = platform::ToCodePage(letters, from.icuName);
    for (const Page& to : kPages) {
      EXPECT_EQ(Recode(source, from.encoding, to.encoding),
                platform::ToCodePage(letters, to.icuName))
          << encoding_name(from.encoding) << " -> " << encoding_name(to.encoding);
    }
  }
}

TEST(TarvoRecode, EveryTableIsOneToOneAndLeavesAsciiAlone) {
  const std::string all = AllBytes();
  for (const Page& from : kPages) {
    for (const Page& to : kPages) {
      const std::string there = Recode(all, from.encoding, to.encoding);
      EXPECT_EQ(there.substr(0, 128), all.substr(0, 128));
      EXPECT_EQ(Recode(there, to.encoding, from.encoding), all)
          << encoding_name(from.encoding) << " <-> " << encoding_name(to.encoding);
    }
  }
}

TEST(TarvoRecode, BetweenKoi8AndWindowsOnlyLettersMove) {
  // Every byte from 0x80 to 0xBF is no letter in either code page, yo
  // (KOI8-R 0xA3/0xB3, Windows-1251 0xB8/0xA8) included: they stay.
  const std::string upper = AllBytes().substr(0x80, 0x40);
  EXPECT_EQ(Recode(upper, encKoi8_r, encWindows_1251), upper);
  EXPECT_EQ(Recode(upper, encWindows, encKoi8_r), upper);
}

TEST(TarvoRecode, OtherSharedCharactersMapInPairsWithIsoAndDos) {
  struct Case {
    TEncoding from, to;
    unsigned char in, out;
  };
  const Case cases[] = {
      {encKoi8_r, encIso8859_5, 0xA3, 0xF1},        // ё
      {encKoi8_r, encDos, 0xB3, 0xF0},              // Ё
      {encWindows_1251, encIso8859_5, 0xB9, 0xF0},  // №
      {encDos, encWindows, 0xF0, 0xA8},             // Ё
      {encIso8859_5, encWindows_1251, 0xA6, 0xB2},  // І
      {encDos, encIso8859_5, 0xFF, 0xA0},           // no-break space
  };
  for (const Case& c : cases) {
    const std::string out = Recode(std::string(1, static_cast<char>(c.in)), c.from, c.to);
    EXPECT_EQ(static_cast<unsigned char>(out[0]), c.out)
        << encoding_name(c.from) << " -> " << encoding_name(c.to) << " byte " << int(c.in);
  }
}

TEST(TarvoRecode, NoneAndUtf8ChangeNothing) {
  const std::string all = AllBytes();
  for (TEncoding other : {encKoi8_r, encWindows, encDos, encNone, encUTF8}) {
    EXPECT_EQ(Recode(all, encNone, other), all);
    EXPECT_EQ(Recode(all, other, encUTF8), all);
  }
}

TEST(TarvoRecode, RecodeToStrGivesTheText) {
  tarvo::testing::Sandbox box;
  box.SetEnv("TARVO_ANSI_CODEPAGE", "windows-1251");
  const std::string text = "Привет, мир!";
  const std::string koi = platform::ToCodePage(text, "KOI8-R");
  EXPECT_EQ(recode_to_str(koi, encKoi8_r, encWindows), text);
  EXPECT_EQ(recode_to_str(koi, encKoi8_r, encDos), text);
  EXPECT_EQ(recode_to_str(koi, encKoi8_r, encUTF8), text);  // still KOI8-R bytes
  EXPECT_EQ(recode_to_str(text, encUTF8, encWindows), text);
  EXPECT_EQ(recode_to_str("\xFF\xFE", encUTF8, encWindows_1251), "\xEF\xBF\xBD\xEF\xBF\xBD");
  // No code page named: the system's ANSI code page.
  EXPECT_EQ(recode_to_str(platform::ToCodePage(text, "windows-1251"), encNone, encKoi8_r), text);
}

}  // namespace
}  // namespace tarvo
