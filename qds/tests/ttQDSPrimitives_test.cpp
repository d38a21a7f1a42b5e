#include "qds/ttQDSPrimitives.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "platform/core/DateTime.h"

namespace tarvo {
namespace {

std::string U32(std::uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}

TEST(MemoryStream, AWholeBufferIsTakenOverWhenEmptyAndWrittenAtThePositionOtherwise) {
  TQDSMemoryStream s;
  std::string body(1 << 16, 'a');
  const char* data = body.data();
  s.Write(std::move(body));
  EXPECT_EQ(s.Bytes().data(), data) << "taken over, not copied";
  EXPECT_EQ(s.Position(), std::uint64_t{1} << 16);
  s.Write(std::string("tail"));
  EXPECT_EQ(s.Size(), (std::uint64_t{1} << 16) + 4);
  s.Seek(2);
  s.Write(std::string("XY"));  // over what is there, as Write does
  EXPECT_EQ(s.Bytes().substr(0, 5), "aaXYa");
  EXPECT_EQ(s.Bytes().substr(s.Bytes().size() - 4), "tail");
  EXPECT_EQ(s.Position(), 4u);
}

TEST(LengthPrefixedStrings, RoundTripIsLittleEndianCountAndUtf8Bytes) {
  TQDSMemoryStream s;
  StringToStream("abc", s);
  EncodeStringToStream("Привет", s);
  StringToStream("", s);
  EXPECT_EQ(s.Bytes().substr(0, 7), U32(3) + "abc");
  EXPECT_EQ(s.Bytes().substr(7, 4), U32(12));  // six Cyrillic letters, two bytes each

  s.Seek(0);
  EXPECT_EQ(StringFromStream(s), "abc");
  EXPECT_EQ(DecodedStringFromStream(s), "Привет");
  EXPECT_EQ(StringFromStream(s), "");
  EXPECT_EQ(s.Remaining(), 0u);
}

TEST(LengthPrefixedStrings, CorruptStreamsFailCleanlyWithoutMovingOrAllocating) {
  struct Case {
    const char* what;
    std::string bytes;
  };
  const Case cases[] = {
      {"empty stream", ""},
      {"count cut short", std::string("\x03\x00", 2)},
      {"count beyond the end", U32(4) + "abc"},
      {"huge count", U32(0xFFFFFFFFu) + "abc"},
      {"count of 2 GiB", U32(0x80000000u)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TQDSMemoryStream s(c.bytes);
    EXPECT_THROW(StringFromStream(s), EQDSException);
    EXPECT_EQ(s.Position(), 0u) << "a failed read must not consume the stream";
  }
}

TEST(LengthPrefixedStrings, InvalidUtf8IsReplacedWhenDecoded) {
  TQDSMemoryStream s(U32(3) +
                     "a\xFF"
                     "b");
  EXPECT_EQ(DecodedStringFromStream(s),
            "a\xEF\xBF\xBD"
            "b");
}

TEST(Utf8Check, AcceptsWellFormedAndRejectsMalformedSequences) {
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_TRUE(IsValidUtf8("plain ASCII text that is longer than eight bytes"));
  EXPECT_TRUE(IsValidUtf8("Ünïcödé Привет 😀"));
  EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));          // overlong "/"
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(IsValidUtf8("abcdefgh\xE2\x82"));  // cut after an ASCII run
  EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));  // beyond U+10FFFF
  EXPECT_FALSE(IsValidUtf8("\x80"));
}

TEST(ServiceDates, ParseTheServiceFormatsAndRejectEverythingElse) {
  double d = 0;
  ASSERT_TRUE(TryParseQDSDate("2024-01-02", d));
  EXPECT_EQ(d, platform::EncodeDate(2024, 1, 2));
  ASSERT_TRUE(TryParseQDSDate("2024-1-2", d));
  EXPECT_EQ(d, platform::EncodeDate(2024, 1, 2));

  ASSERT_TRUE(TryParseQDSDateTime("2024-01-02 10:30:15", d));
  EXPECT_NEAR(d, platform::EncodeDate(2024, 1, 2) + platform::EncodeTime(10, 30, 15, 0), 1e-9);
  ASSERT_TRUE(TryParseQDSDateTime("2024-01-02", d));
  EXPECT_EQ(d, platform::EncodeDate(2024, 1, 2));

  ASSERT_TRUE(TryParseQDSTime("23:59:59", d));
  EXPECT_NEAR(d, platform::EncodeTime(23, 59, 59, 0), 1e-9);
  ASSERT_TRUE(TryParseQDSTime("09:05", d));
  EXPECT_NEAR(d, platform::EncodeTime(9, 5, 0, 0), 1e-9);
  ASSERT_TRUE(TryParseQDSTime("10:00:00.5", d));
  EXPECT_NEAR(d, platform::EncodeTime(10, 0, 0, 500), 1e-9);

  for (const char* bad : {"", "2024", "2024-13-01", "2023-02-29", "2024/01/02", "2024-01-02x",
                          "2024-01-02 25:00:00", "abc", "-1-01-01"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(TryParseQDSDate(bad, d));
    EXPECT_FALSE(TryParseQDSDateTime(bad, d));
  }
  for (const char* bad : {"24:00:00", "10:60", "10", "10:00:00 x"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(TryParseQDSTime(bad, d));
  }
}

TEST(Variants, TextOfEveryKind) {
  EXPECT_EQ(VarToStr({}), "");
  EXPECT_EQ(VarToStr(std::int32_t{-5}), "-5");
  EXPECT_EQ(VarToStr(std::int64_t{1} << 40), "1099511627776");
  EXPECT_EQ(VarToStr(0.1), "0.1");
  EXPECT_EQ(VarToStr(std::string("x")), "x");
  EXPECT_EQ(VarToStr(TQDSDateTime{platform::EncodeDate(2024, 1, 2)}), "2024-01-02");
  EXPECT_EQ(
      VarToStr(TQDSDateTime{platform::EncodeDate(2024, 1, 2) + platform::EncodeTime(10, 0, 1, 0)}),
      "2024-01-02 10:00:01");
}

TEST(TaskDialog, MessageBoxShowsMainInstructionAndTextThroughThePresenter) {
  static std::string shown;
  EQDSException::SetTaskDialogPresenter(
      [](const std::string& caption, const std::string& main, const std::string& content) {
        shown = caption + "|" + main + "|" + content;
      });
  EQDSException("Main", "Longer text").MessageBox();
  EQDSException::SetTaskDialogPresenter(nullptr);
  EXPECT_EQ(shown, "|Longer text|Main");
}

}  // namespace
}  // namespace tarvo
