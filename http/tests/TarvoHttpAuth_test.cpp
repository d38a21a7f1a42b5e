#include "http/TarvoHttpAuth.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvo {
namespace {

struct KnownAnswer {
  THttpEncoding encoding;
  std::string data;
  std::string encoded;
};

TEST(TarvoHttpAuth, EncodersGiveTheKnownAnswers) {
  const KnownAnswer cases[] = {
      {encBase64, "", ""},
      {encBase64, "a", "YQ=="},
      {encBase64, "ab", "YWI="},
      {encBase64, "abc", "YWJj"},
      {encBase64, "abcd", "YWJjZA=="},
      {encBase64, "Aladdin:open sesame", "QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
      {encBase64, std::string("\xFF\xFE\x00", 3), "//4A"},
      {encBase64, std::string("\xFB\xFF", 2), "+/8="},
      {encMime, "abc", "YWJj"},
      {encMime, "a", "YQ=="},
      {encUUEncode, "abc", "#86)C"},
      {encUUEncode, "a", "!80``"},
      {encUUEncode, "", " "},
      {encUUEncode, std::string(3, '\0'), "#````"},
      {encUUEncode, "Cat", "#0V%T"},
  };
  for (const KnownAnswer& c : cases) {
    EXPECT_EQ(EncodeStr(c.encoding, c.data), c.encoded) << c.data;
    EXPECT_EQ(EncodeLine(c.encoding, c.data.data(), c.data.size()), c.encoded) << c.data;
  }
}

TEST(TarvoHttpAuth, UuencodedLineCountsUpTo63BytesAndRefusesMore) {
  const std::string line63 = EncodeStr(encUUEncode, std::string(63, 'x'));
  EXPECT_EQ(line63.front(), '_');  // 32 + 63
  EXPECT_EQ(line63.size(), 1u + 84u);
  // A 64th byte would wrap the length character round to "`" (zero).
  EXPECT_THROW(EncodeStr(encUUEncode, std::string(64, 'x')), EHttpEncodingError);
}

TEST(TarvoHttpAuth, Base64HasNoLineBreaksForLongData) {
  const std::string encoded = EncodeStr(encBase64, std::string(1000, 'z'));
  EXPECT_EQ(encoded.size(), 1336u);
  EXPECT_EQ(encoded.find_first_of("\r\n"), std::string::npos);
}

}  // namespace
}  // namespace tarvo
