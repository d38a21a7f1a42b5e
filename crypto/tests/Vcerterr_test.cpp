// Status helpers, memory blocks and the error class: pure functions, checked
// against tables of known values.
#include <gtest/gtest.h>

#include <sstream>

#include "crypto/MemBlk.h"
#include "crypto/ValidataError.h"
#include "crypto/Vcerterr.h"
#include "testing/Sandbox.h"

namespace tarvo {
namespace {

// The helpers are constexpr: the compiler checks these.
static_assert(SUCCEEDED(0) && !FAILED(0));
static_assert(MAKE_VCERT_STATUS(1, 0x70, 0x46) == 0xA0700046u);
static_assert(VCERT_BASE64_LEN(3) == 8 && VCERT_BASE64_LEN(0) == 4);

TEST(Vcerterr, HelpersTakeStatusesApart) {
  struct Row {
    std::uint32_t s;
    bool succeeded;
    std::uint32_t code, facility, severity;
  } rows[] = {
      {0x00000000u, true, 0x0000, 0x000, 0},  {0x7FFFFFFFu, true, 0xFFFF, 0x1FFF, 0},
      {0x80000000u, false, 0x0000, 0x000, 1}, {0xE0700046u, false, 0x0046, 0x070, 1},
      {0xE071002Au, false, 0x002A, 0x071, 1}, {0xE072008Au, false, 0x008A, 0x072, 1},
      {0x80070005u, false, 0x0005, 0x007, 1}, {0x28000001u, true, 0x0001, 0x800, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(::testing::Message() << std::hex << r.s);
    EXPECT_EQ(SUCCEEDED(r.s), r.succeeded);
    EXPECT_EQ(FAILED(r.s), !r.succeeded);
    EXPECT_EQ(IS_ERROR(r.s), !r.succeeded);
    EXPECT_EQ(VCERT_CODE(r.s), r.code);
    EXPECT_EQ(VCERT_FACILITY(r.s), r.facility);
    EXPECT_EQ(VCERT_SEVERITY(r.s), r.severity);
  }
}

TEST(Vcerterr, StatusesAreBuiltFromParts) {
  struct Row {
    std::uint32_t got, want;
  } rows[] = {
      {MAKE_VCERT_STATUS(1, 0x70, 0x04), 0xA0700004u},
      {MAKE_VCERT_STATUS(0, 0x72, 0x8A), 0x2072008Au},
      {VCERT_STATUS_FROM_WIN32(0), 0u},
      {VCERT_STATUS_FROM_WIN32(5), 0x80070005u},
      {VCERT_STATUS_FROM_WIN32(0x12345678u), 0x80075678u},
      {VCERT_STATUS_FROM_OPENSSL(0), 0x28000000u},
      {VCERT_STATUS_FROM_OPENSSL(0x0906D06Cu), 0x2906D06Cu},
      {VCERT_BASE64_LEN(100), 137u},
  };
  for (const auto& r : rows) EXPECT_EQ(r.got, r.want) << std::hex << r.want;
}

TEST(ValidataError, StackTraceReplacesLineBreaksOnlyWhenAsked) {
  EValidataError e("text", 0xE0700046u, "VCERT_FindCert", "a.c(1): one\r\nb.c(2): two");
  EXPECT_STREQ(e.what(), "text");
  EXPECT_EQ(e.ErrorCode(), 0xE0700046u);
  EXPECT_EQ(e.SourceName(), "VCERT_FindCert");
  EXPECT_EQ(e.StackTrace(), "a.c(1): one\r\nb.c(2): two");
  EXPECT_EQ(e.StackTrace("\r\n"), "a.c(1): one\r\nb.c(2): two");
  EXPECT_EQ(e.StackTrace(" | "), "a.c(1): one | b.c(2): two");
  EXPECT_EQ(e.StackTrace("\n"), "a.c(1): one\nb.c(2): two");
}

TEST(MemBlk, BlocksFromBytesStreamsAndFiles) {
  testing::Sandbox box;
  const std::string bytes("\x00\x01 data \xFF", 9);

  const char raw[] = "borrowed";
  TMemBlk borrowed = CreateMemBlk(raw, 8);
  EXPECT_EQ(borrowed.buf, reinterpret_cast<const std::uint8_t*>(raw));  // no copy
  EXPECT_EQ(borrowed.len, 8u);
  ClearMemBlk(borrowed);
  EXPECT_EQ(borrowed.len, 0u);
  EXPECT_EQ(borrowed.buf, nullptr);

  std::istringstream in(bytes);
  TOwnedMemBlk fromStream = CreateMemBlk(in);
  EXPECT_EQ(fromStream.View(), bytes);

  TOwnedMemBlk copy = CopyMemBlk(fromStream.Blk());
  EXPECT_NE(copy.Blk().buf, fromStream.Blk().buf);
  EXPECT_EQ(copy.View(), bytes);

  const std::string path = box.Path("blk.bin");
  SaveMemBlk(copy.Blk(), path);
  EXPECT_EQ(box.ReadFile("blk.bin"), bytes);
  TOwnedMemBlk loaded = LoadMemBlk(path);
  EXPECT_EQ(loaded.View(), bytes);

  std::ostringstream out;
  SaveMemBlk(loaded.Blk(), out);
  EXPECT_EQ(out.str(), bytes);

  // Saving replaces a longer file completely.
  box.WriteFile("long.bin", std::string(100, 'x'));
  SaveMemBlk(CreateMemBlk("ab", 2), box.Path("long.bin"));
  EXPECT_EQ(box.ReadFile("long.bin"), "ab");

  loaded.Release();
  EXPECT_EQ(loaded.Blk().buf, nullptr);
  EXPECT_EQ(loaded.Blk().len, 0u);
}

TEST(MemBlk, MissingFileIsAClearError) {
  testing::Sandbox box;
  try {
    LoadMemBlk(box.Path("none.bin"));
    FAIL() << "no error";
  } catch (const EValidataError& e) {
    EXPECT_EQ(e.ErrorCode(), 2u);
    EXPECT_EQ(e.SourceName(), "LoadMemBlk");
    EXPECT_NE(std::string(e.what()).find("none.bin"), std::string::npos);
  }
}

TEST(MemBlk, ToStringDropsTrailingControlCharacters) {
  struct Row {
    std::string bytes, text;
  } rows[] = {
      {"abc", "abc"},
      {std::string("abc\r\n\0\0", 7), "abc"},
      {" a b \t", " a b "},
      {std::string("\x01\x02", 2), ""},
      {"", ""},
  };
  for (const auto& r : rows) {
    TMemBlk blk = CreateMemBlk(r.bytes.data(), static_cast<std::uint32_t>(r.bytes.size()));
    EXPECT_EQ(MemBlkToStr(blk), r.text);
  }
  EXPECT_EQ(MemBlkToStr(TMemBlk{0, nullptr}), "");
}

}  // namespace
}  // namespace tarvo
