#include "qds/ttQDSCache.h"

#include <set>

#include <gtest/gtest.h>

#include "qds/ttQDSCacheManager.h"
#include "testing/Sandbox.h"

using namespace tarvo;

TEST(CacheFileName, OnlyGuidNamesInsideTheFolderAreAccepted) {
  struct Case {
    std::string name;
    bool ok;
  } cases[] = {
      {"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D.dat", true},
      {"0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d.DAT", true},
      {"../victim.dat", false},
      {"/tmp/victim.dat", false},
      {"../0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B.dat", false},
      {"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D.dat/..", false},
      {"0A1B2C3D/4E5F-4A6B-8C7D-9E0F1A2B3C4D.dat", false},
      {"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D.txt", false},
      {"TOC.dat", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsCacheEntryFileName(c.name), c.ok) << c.name;
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string n = NewCacheGuid() + ".dat";
    EXPECT_TRUE(IsCacheEntryFileName(n)) << n;
    EXPECT_TRUE(seen.insert(n).second) << "duplicate " << n;
  }
}

TEST(CacheZlib, InflateAcceptsOnlyTheWholeRecordedDocument) {
  std::string doc;
  for (int i = 0; i < 5000; ++i) doc += std::to_string(i * 7919 % 1000) + ",";
  const std::string packed = CacheDeflate(doc);
  ASSERT_FALSE(packed.empty());
  ASSERT_EQ(static_cast<unsigned char>(packed[0]), 0x78);  // zlib header
  std::string out;
  EXPECT_TRUE(CacheInflate(packed, doc.size(), out));
  EXPECT_EQ(out, doc);

  std::string flipped = packed;
  flipped[packed.size() / 2] ^= 0x10;
  std::string badSum = packed;
  badSum.back() ^= 0x01;  // the Adler-32 at the end
  const struct {
    const char* what;
    std::string bytes;
    std::size_t size;
  } bad[] = {
      {"recorded size too small", packed, doc.size() - 1},
      {"recorded size too large", packed, doc.size() + 1},
      {"truncated", packed.substr(0, packed.size() - 7), doc.size()},
      {"flipped bit", flipped, doc.size()},
      {"wrong checksum", badSum, doc.size()},
      {"trailing garbage", packed + "xyz", doc.size()},
      {"garbage", "not a zlib stream at all", doc.size()},
      {"empty", "", 0},
  };
  for (const auto& b : bad) {
    EXPECT_FALSE(CacheInflate(b.bytes, b.size, out)) << b.what;
    EXPECT_TRUE(out.empty()) << b.what;
  }
  std::string empty;
  EXPECT_TRUE(CacheInflate(CacheDeflate(""), 0, empty));
}

TEST(CacheStream, ReadWriteSeekAndSize) {
  tarvo::testing::Sandbox box;
  TQDSCacheManager m(box.Path("cache"), "h");
  EXPECT_FALSE(m.DataExists("k"));
  {
    auto w = m.FileStream("k", TCacheStreamMode::Create, true, 3);
    ASSERT_TRUE(w);
    EXPECT_EQ(w->Write("hello world", 11), 11);
    EXPECT_EQ(w->Seek(6, 0), 6);
    EXPECT_EQ(w->Write("there", 5), 5);
    EXPECT_EQ(w->Size(), 11);
    char c;
    EXPECT_EQ(w->Read(&c, 1), -1);  // not readable
    EXPECT_TRUE(w->Close());
    EXPECT_EQ(w->Write("x", 1), -1);  // closed
  }
  EXPECT_TRUE(m.DataExists("K"));  // keys ignore case
  auto r = m.FileStream("k", TCacheStreamMode::Read, true, 0);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->Size(), 11);
  char buf[8] = {};
  EXPECT_EQ(r->Read(buf, 5), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  EXPECT_EQ(r->Seek(-5, 2), 6);
  EXPECT_EQ(r->Read(buf, 8), 5);
  EXPECT_EQ(std::string(buf, 5), "there");
  EXPECT_EQ(r->Read(buf, 8), 0);
  EXPECT_EQ(r->Write("x", 1), -1);  // not writable
  EXPECT_FALSE(m.FileStream("unknown", TCacheStreamMode::Read, true, 0));

  // Without compression the file holds the text itself.
  {
    auto w = m.FileStream("plain", TCacheStreamMode::Create, false, 1);
    ASSERT_TRUE(w);
    w->Write("abc", 3);
  }
  auto p = m.FileStream("plain", TCacheStreamMode::Read, false, 0);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->Data(), "abc");
}
