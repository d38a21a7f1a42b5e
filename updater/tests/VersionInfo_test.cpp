// The version resource in its trailer: building, querying, stamping files and
// refusing malformed trailers without crashing.
#include "platform/core/VersionInfo.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "platform/core/DateTime.h"
#include "platform/core/Files.h"
#include "testing/Sandbox.h"

using namespace tarvo::platform;

namespace {

VersionInfoData SampleData() {
  VersionInfoData d;
  d.fixed.fileVersionMS = 0x00050001;
  d.fixed.fileVersionLS = 0x00020003;
  d.fixed.fileFlags = VS_FF_DEBUG | VS_FF_PATCHED;
  d.tables.push_back({"041904E3",
                      {{"CompanyName", "Orvanta"},
                       {"ProductName", "Тарво Трейд"},
                       {"FileVersion", "5.1.2.3"},
                       {"Odd", "x"}}});
  d.translations = {0x0419 | (0x04E3u << 16), 0x0409 | (0x04B0u << 16)};
  return d;
}

void AppendLE32(std::string& s, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

}  // namespace

TEST(VersionInfo, BuildsAndQueriesTheWindowsLayout) {
  const std::string res = BuildVersionResource(SampleData());
  ASSERT_EQ(res.size() % 4, 0u);
  // The root block's length covers the whole resource.
  EXPECT_EQ(static_cast<unsigned char>(res[0]) | (static_cast<unsigned char>(res[1]) << 8),
            static_cast<int>(res.size()));

  EXPECT_EQ(VerQueryString(res, "\\StringFileInfo\\041904E3\\CompanyName"), "Orvanta");
  EXPECT_EQ(VerQueryString(res, "\\StringFileInfo\\041904e3\\productname"), "Тарво Трейд");
  EXPECT_EQ(VerQueryString(res, "/StringFileInfo/041904E3/Odd"), "x");
  EXPECT_FALSE(VerQueryString(res, "\\StringFileInfo\\041904E3\\Missing"));
  EXPECT_FALSE(VerQueryString(res, "\\StringFileInfo\\040904B0\\CompanyName"));

  const auto tr = VerQueryValue(res, "\\VarFileInfo\\Translation");
  ASSERT_TRUE(tr);
  ASSERT_EQ(tr->size(), 8u);
  EXPECT_EQ(std::string(tr->substr(0, 4)), std::string("\x19\x04\xE3\x04", 4));

  const auto fixed = VerQueryFixedInfo(res);
  ASSERT_TRUE(fixed);
  EXPECT_EQ(fixed->fileVersionMS, 0x00050001u);
  EXPECT_EQ(fixed->fileVersionLS, 0x00020003u);
  EXPECT_EQ(fixed->fileFlags, VS_FF_DEBUG | VS_FF_PATCHED);
}

TEST(VersionInfo, StampsReplacesAndRemovesTheTrailerKeepingTheFile) {
  tarvo::testing::Sandbox box;
  const std::string path = box.WriteFile("prog.exe", std::string("\x7F"
                                                                 "ELF body\0bytes",
                                                                 15));
  ASSERT_EQ(::chmod(path.c_str(), 0755), 0);
  EXPECT_EQ(GetFileVersionInfoSize(path), 0u);
  EXPECT_FALSE(GetFileVersionInfo(path));

  const std::string first = BuildVersionResource(SampleData());
  ASSERT_TRUE(WriteFileVersionInfo(path, first));
  EXPECT_EQ(GetFileVersionInfoSize(path), first.size());
  EXPECT_EQ(GetFileVersionInfo(path), first);

  VersionInfoData other = SampleData();
  other.tables[0].strings[0].second = "Someone else";
  const std::string second = BuildVersionResource(other);
  ASSERT_TRUE(WriteFileVersionInfo(path, second));
  EXPECT_EQ(GetFileVersionInfo(path), second);
  // One trailer, not two: the file is its body plus one resource and footer.
  EXPECT_EQ(*FileSize(path), 15u + second.size() + 12u);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);

  ASSERT_TRUE(RemoveFileVersionInfo(path));
  EXPECT_EQ(box.ReadFile("prog.exe"), std::string("\x7F"
                                                  "ELF body\0bytes",
                                                  15));
}

// Trailers a hostile or broken file may carry: each reads as "no version
// information", never as a crash or a read outside the file.
TEST(VersionInfo, MalformedTrailersGiveNoVersionInformation) {
  tarvo::testing::Sandbox box;
  const std::string good = BuildVersionResource(SampleData());
  struct Case {
    const char* name;
    std::string bytes;
  };
  std::vector<Case> cases;
  {
    std::string s = "body";
    AppendLE32(s, 1000);  // claims more than the file holds
    s += "TVVERSI1";
    cases.push_back({"size beyond the file", s});
  }
  {
    std::string s = "body";
    AppendLE32(s, 0);
    s += "TVVERSI1";
    cases.push_back({"size zero", s});
  }
  {
    std::string s(70000, 'x');
    AppendLE32(s, 69000);  // above the 16-bit limit of the layout
    s += "TVVERSI1";
    cases.push_back({"size above 64 KiB", s});
  }
  {
    std::string res = good;
    res[0] = static_cast<char>(0xFF);  // root length overruns the resource
    res[1] = static_cast<char>(0x7F);
    std::string s = "body" + res;
    AppendLE32(s, static_cast<std::uint32_t>(res.size()));
    s += "TVVERSI1";
    cases.push_back({"root overruns", s});
  }
  {
    std::string res(8, '\0');
    res[0] = 8;  // a block whose key never ends
    res[6] = 'A';
    res[7] = 0;
    std::string s = res;
    AppendLE32(s, 8);
    s += "TVVERSI1";
    cases.push_back({"unterminated key", s});
  }
  cases.push_back({"only the magic", "TVVERSI1"});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = box.WriteFile("bad.bin", c.bytes);
    EXPECT_EQ(GetFileVersionInfoSize(path), 0u);
    EXPECT_FALSE(GetFileVersionInfo(path));
  }

  // A child block that claims more than its parent holds is not followed.
  std::string res = good;
  const std::size_t at = res.find(std::string("S\0t\0r\0i\0n\0g\0F", 13)) - 6;
  res[at] = static_cast<char>(0xF0);
  res[at + 1] = static_cast<char>(0x7F);
  EXPECT_FALSE(VerQueryString(res, "\\StringFileInfo\\041904E3\\CompanyName"));
  EXPECT_TRUE(VerQueryFixedInfo(res));
}

TEST(VersionInfo, FileTimesConvertWithoutTimeZone) {
  const double t = EncodeDateTime({2023, 7, 14, 13, 45, 30, 250});
  const auto ft = DateTimeToFileTime(t);
  ASSERT_TRUE(ft);
  // 2023-07-14 13:45:30.25 UTC in FILETIME units.
  EXPECT_EQ(*ft, 133338159302500000ull);
  const auto back = FileTimeToDateTime(*ft);
  ASSERT_TRUE(back);
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", *back), "2023-07-14 13:45:30.250");
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd", *FileTimeToDateTime(0)), "1601-01-01");
  EXPECT_FALSE(FileTimeToDateTime(0xFFFFFFFFFFFFFFFFull));
}
