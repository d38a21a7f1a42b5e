#include "platform/core/CodePage.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/Errors.h"
#include "platform/core/Files.h"
#include "testing/Sandbox.h"

namespace tarvo::platform {
namespace {

using namespace std::string_literals;

// "Привет" in windows-1251.
const std::string kPrivet1251 = "\xCF\xF0\xE8\xE2\xE5\xF2";

// Every test runs with windows-1251 as the system ANSI code page, as CI does,
// and with the locale variables under its control.
class CodePageTest : public ::testing::Test {
 protected:
  CodePageTest() {
    box.SetEnv("TARVO_ANSI_CODEPAGE", "windows-1251");
    for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) box.SetEnv(var, std::nullopt);
  }
  tarvo::testing::Sandbox box;
};

TEST_F(CodePageTest, SystemAnsiCodePageFromTheVariableElseTheLocale) {
  struct Case {
    const char* ansi;     // TARVO_ANSI_CODEPAGE, nullptr: unset
    const char* lcAll;    // LC_ALL
    const char* lcCtype;  // LC_CTYPE
    const char* lang;     // LANG
    const char* expected;
  };
  const Case cases[] = {
      {"windows-1251", nullptr, nullptr, nullptr, "windows-1251"},
      {"CP1251", "en_US.UTF-8", nullptr, nullptr, "windows-1251"},  // the variable wins
      {"1251", nullptr, nullptr, nullptr, "windows-1251"},          // a bare Windows number
      {"866", nullptr, nullptr, nullptr, "IBM866"},
      {"", nullptr, nullptr, "ru_RU.KOI8-R", "KOI8-R"},  // empty counts as unset
      {nullptr, "ru_RU.CP1251", "en_US.UTF-8", "de_DE.ISO-8859-1", "windows-1251"},
      {nullptr, "", "uk_UA.koi8u", "de_DE.ISO-8859-1", "KOI8-U"},
      {nullptr, nullptr, nullptr, "de_DE.ISO-8859-15@euro", "ISO-8859-15"},
      {nullptr, nullptr, nullptr, "en_US.utf8", "UTF-8"},
      // No charset named: UTF-8, so that nothing is lost.
      {nullptr, nullptr, nullptr, "C", "UTF-8"},
      {nullptr, nullptr, nullptr, nullptr, "UTF-8"},
      // Unknown names are given back as written; converting with them fails.
      {"no-such-page", nullptr, nullptr, nullptr, "no-such-page"},
  };
  auto set = [&](const char* name, const char* value) {
    box.SetEnv(name, value ? std::optional<std::string>(value) : std::nullopt);
  };
  for (const auto& c : cases) {
    set("TARVO_ANSI_CODEPAGE", c.ansi);
    set("LC_ALL", c.lcAll);
    set("LC_CTYPE", c.lcCtype);
    set("LANG", c.lang);
    EXPECT_EQ(SystemAnsiCodePage(), c.expected)
        << (c.ansi ? c.ansi : "-") << " " << (c.lcAll ? c.lcAll : "-") << " "
        << (c.lcCtype ? c.lcCtype : "-") << " " << (c.lang ? c.lang : "-");
  }
}

TEST_F(CodePageTest, ConvertsThroughTheSystemAndNamedCodePages) {
  EXPECT_EQ(ToCodePage("Привет"), kPrivet1251);
  EXPECT_EQ(FromCodePage(kPrivet1251), "Привет");
  EXPECT_EQ(ToCodePage("Ёё №€", "windows-1251"), "\xA8\xB8 \xB9\x88");
  EXPECT_EQ(FromCodePage("\xA8\xB8 \xB9\x88", "windows-1251"), "Ёё №€");
  // Another page by name, whatever the system's is.
  EXPECT_EQ(ToCodePage("Привет", "KOI8-R"), "\xF0\xD2\xC9\xD7\xC5\xD4");
  EXPECT_EQ(FromCodePage("\xF0\xD2\xC9\xD7\xC5\xD4", "koi8r"), "Привет");
  EXPECT_EQ(FromCodePage("caf\xE9", "windows-1252"), "café");
  EXPECT_EQ(ToCodePage("", "windows-1251"), "");
  // The system page is read on every call.
  box.SetEnv("TARVO_ANSI_CODEPAGE", "KOI8-R");
  EXPECT_EQ(ToCodePage("Привет"), "\xF0\xD2\xC9\xD7\xC5\xD4");
  box.SetEnv("TARVO_ANSI_CODEPAGE", "UTF-8");
  EXPECT_EQ(ToCodePage("Привет"), "Привет");
}

TEST_F(CodePageTest, UnmappableCharactersBecomeTheSubstitute) {
  // One "?" per character, also for a character outside the BMP and for a
  // bad UTF-8 byte; nothing is dropped and nothing else changes.
  EXPECT_EQ(ToCodePage("Ж日Ω\xF0\x9F\x98\x80\xFF."), "\xC6????.");
  EXPECT_EQ(ToCodePage("a日b", "ISO-8859-1"), "a?b");
  EXPECT_EQ(ToCodePage("a日b", "US-ASCII"), "a?b");
  // A UTF-8 target keeps everything but replaces bad bytes.
  EXPECT_EQ(ToCodePage("日\xFF", "UTF-8"), "日\uFFFD");
}

TEST_F(CodePageTest, BytesThatDoNotDecodeBecomeReplacementCharacters) {
  EXPECT_EQ(FromCodePage("a\xFF"
                         "b",
                         "windows-1255"),
            "a\uFFFDb");  // unassigned in 1255
  EXPECT_EQ(FromCodePage("a\xE2\x82"
                         "b",
                         "UTF-8"),
            "a\uFFFD\uFFFDb");
  EXPECT_EQ(FromCodePage("\x82\xA0\x81", "Shift_JIS"), "あ\uFFFD");  // truncated lead byte
}

TEST_F(CodePageTest, ConvertsOnManyThreadsAtOnce) {
  // Converters are stateful; each thread must get its own.
  const char* pages[] = {"windows-1251", "KOI8-R", "IBM866", "UTF-16LE"};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (const char* page : pages) {
    threads.emplace_back([page, &wrong] {
      for (int k = 0; k < 2000; ++k) {
        const std::string text = "Привет, мир " + std::to_string(k);
        if (FromCodePage(ToCodePage(text, page), page) != text) ++wrong;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST_F(CodePageTest, UnknownCodePageIsAClearError) {
  for (const std::string& name : {"no-such-page"s, "99999"s, "windows-1251\0x"s}) {
    try {
      ToCodePage("x", name);
      ADD_FAILURE() << "no error for " << name;
    } catch (const ECodePageError& e) {
      EXPECT_EQ(e.Code(), ERROR_INVALID_PARAMETER);
      EXPECT_NE(std::string(e.what()).find("Unknown code page"), std::string::npos);
    }
    EXPECT_THROW(FromCodePage("x", name), ECodePageError);
  }
  box.SetEnv("TARVO_ANSI_CODEPAGE", "no-such-page");
  EXPECT_THROW(FromCodePage("x"), ECodePageError);
  EXPECT_THROW(DecodeText("no mark"), ECodePageError);
  // With a mark the system page does not matter.
  EXPECT_EQ(DecodeText("\xEF\xBB\xBFok").text, "ok");
}

TEST_F(CodePageTest, DecodeDetectsTheByteOrderMark) {
  struct Case {
    std::string bytes;
    TextEncoding encoding;
    bool bom;
    std::string codePage;
    std::string text;
  };
  const Case cases[] = {
      {"\xEF\xBB\xBFПривет", TextEncoding::Utf8, true, "", "Привет"},
      {"\xEF\xBB\xBF", TextEncoding::Utf8, true, "", ""},
      {"\xEF\xBB\xBF"
       "a\xFF",
       TextEncoding::Utf8, true, "", "a\uFFFD"},
      {"\xFF\xFE\x1F\x04\x40\x04"
       "a\x00"s,
       TextEncoding::Utf16LE, true, "", "Прa"},
      {"\xFE\xFF\x04\x1F\x04\x40\x00"
       "a"s,
       TextEncoding::Utf16BE, true, "", "Прa"},
      {"\xFF\xFE"
       "a\x00"
       "b"s,
       TextEncoding::Utf16LE, true, "", "a\uFFFD"},  // odd byte
      {"\xFF\xFE\x3D\xD8"
       "a\x00"s,
       TextEncoding::Utf16LE, true, "", "\uFFFDa"},  // lone high
      {"\xFF\xFE\x3D\xD8\x00\xDE"s, TextEncoding::Utf16LE, true, "", "\U0001F600"},
      {kPrivet1251, TextEncoding::Ansi, false, "windows-1251", "Привет"},
      // UTF-8 without a mark is not guessed: it is read in the ANSI page.
      {"Ж", TextEncoding::Ansi, false, "windows-1251", "Р–"},
      {"", TextEncoding::Ansi, false, "windows-1251", ""},
  };
  for (const auto& c : cases) {
    const DecodedText d = DecodeText(c.bytes);
    EXPECT_EQ(d.encoding, c.encoding) << c.text;
    EXPECT_EQ(d.bom, c.bom) << c.text;
    EXPECT_EQ(d.codePage, c.codePage) << c.text;
    EXPECT_EQ(d.text, c.text);
  }
}

TEST_F(CodePageTest, EncodeWritesTheEncodingAndItsMark) {
  struct Case {
    TextEncoding encoding;
    bool bom;
    std::string bytes;
  };
  const Case cases[] = {
      {TextEncoding::Utf8, true, "\xEF\xBB\xBFПр\xF0\x9F\x98\x80"},
      {TextEncoding::Utf8, false, "Пр\xF0\x9F\x98\x80"},
      {TextEncoding::Utf16LE, true, "\xFF\xFE\x1F\x04\x40\x04\x3D\xD8\x00\xDE"s},
      {TextEncoding::Utf16LE, false, "\x1F\x04\x40\x04\x3D\xD8\x00\xDE"s},
      {TextEncoding::Utf16BE, true, "\xFE\xFF\x04\x1F\x04\x40\xD8\x3D\xDE\x00"s},
      {TextEncoding::Ansi, true, "\xCF\xF0?"},  // never a mark for ANSI
      {TextEncoding::Ansi, false, "\xCF\xF0?"},
  };
  const std::string text = "Пр\xF0\x9F\x98\x80";
  for (const auto& c : cases) {
    const std::string bytes = EncodeText(text, c.encoding, c.bom);
    EXPECT_EQ(bytes, c.bytes) << static_cast<int>(c.encoding) << " " << c.bom;
    if (c.bom && c.encoding != TextEncoding::Ansi) {
      // With a mark, everything but ANSI round-trips whatever the text.
      EXPECT_EQ(DecodeText(bytes).text, text);
    }
  }
  EXPECT_EQ(EncodeText("Пр", TextEncoding::Ansi, false, "KOI8-R"), "\xF0\xD2");
  EXPECT_EQ(EncodeText("a\xFF", TextEncoding::Utf16BE, false),
            "\x00"
            "a\xFF\xFD"s);
}

TEST_F(CodePageTest, FilesAreWrittenBackInTheEncodingTheyWereReadIn) {
  const std::string text = "[tvu]\r\nKey=Значение\r\n";
  const std::vector<std::pair<TextEncoding, bool>> forms = {
      {TextEncoding::Utf8, true},    {TextEncoding::Utf8, false}, {TextEncoding::Utf16LE, true},
      {TextEncoding::Utf16BE, true}, {TextEncoding::Ansi, false},
  };
  for (const auto& [encoding, bom] : forms) {
    const std::string path = box.Path("list.txt");
    SaveTextFile(path, text, encoding, bom);
    const std::string written = *box.ReadFile("list.txt");
    EXPECT_EQ(written, EncodeText(text, encoding, bom));

    DecodedText loaded = LoadTextFile(path);
    if (encoding == TextEncoding::Utf8 && !bom) {
      // Without a mark UTF-8 cannot be told from ANSI; it reads as ANSI.
      EXPECT_EQ(loaded.encoding, TextEncoding::Ansi);
      continue;
    }
    EXPECT_EQ(loaded.text, text);
    EXPECT_EQ(loaded.encoding, encoding);
    EXPECT_EQ(loaded.bom, bom);
    // Writing back what was read gives the same bytes.
    SaveTextFile(path, loaded.text + "Ещё\r\n", loaded.encoding, loaded.bom, loaded.codePage);
    EXPECT_EQ(*box.ReadFile("list.txt"), EncodeText(text + "Ещё\r\n", encoding, bom));
  }
}

TEST_F(CodePageTest, AnAnsiFileKeepsTheCodePageItWasReadIn) {
  const std::string path = box.WriteFile("old.txt", kPrivet1251);
  const DecodedText loaded = LoadTextFile(path);
  // The system page changes before the file is written back.
  box.SetEnv("TARVO_ANSI_CODEPAGE", "KOI8-R");
  SaveTextFile(path, loaded.text, loaded.encoding, loaded.bom, loaded.codePage);
  EXPECT_EQ(*box.ReadFile("old.txt"), kPrivet1251);
}

TEST_F(CodePageTest, FileErrorsCarryTheWindowsCode) {
  try {
    LoadTextFile(box.Path("missing.txt"));
    FAIL() << "no error";
  } catch (const ECodePageError& e) {
    EXPECT_EQ(e.Code(), ERROR_FILE_NOT_FOUND);
    EXPECT_NE(std::string(e.what()).find("missing.txt"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("The system cannot find the file specified"),
              std::string::npos)
        << e.what();
  }

  const std::string path = box.WriteFile("keep.txt", "old");
  FaultInjection::Add(path, FileOp::Open, ERROR_SHARING_VIOLATION);
  try {
    LoadTextFile(path);
    FAIL() << "no error";
  } catch (const ECodePageError& e) {
    EXPECT_EQ(e.Code(), ERROR_SHARING_VIOLATION);
  }
  FaultInjection::Clear();

  FaultInjection::Add(path, FileOp::Any, ERROR_DISK_FULL);
  try {
    SaveTextFile(path, "new", TextEncoding::Utf8, false);
    FAIL() << "no error";
  } catch (const ECodePageError& e) {
    EXPECT_EQ(e.Code(), ERROR_DISK_FULL);
  }
  FaultInjection::Clear();
  EXPECT_EQ(*box.ReadFile("keep.txt"), "old");

  // An unknown code page is found before the file is touched.
  EXPECT_THROW(SaveTextFile(path, "new", TextEncoding::Ansi, false, "no-such-page"),
               ECodePageError);
  EXPECT_EQ(*box.ReadFile("keep.txt"), "old");
}

TEST(CodePageLines, SplitAtCrLfLfAndCr) {
  using V = std::vector<std::string>;
  struct Case {
    std::string text;
    V lines;
  };
  const Case cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a\r\n", {"a"}},  // a final break starts no line
      {"a\r\nb\nc\rd", {"a", "b", "c", "d"}},
      {"a\n\nb", {"a", "", "b"}},
      {"\r\n", {""}},
      {"\r\n\r\n", {"", ""}},
      {"a\r\r\nb", {"a", "", "b"}},
      {"a\n\rb", {"a", "", "b"}},  // LF CR is two breaks
      {"a\r", {"a"}},
      {"Ключ=Значение\r\nЕщё", {"Ключ=Значение", "Ещё"}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitLines(c.text), c.lines) << c.text;
}

}  // namespace
}  // namespace tarvo::platform
