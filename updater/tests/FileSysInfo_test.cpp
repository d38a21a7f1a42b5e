// TFileVersionInfo: the answers product discovery and the product version
// rely on.
#include "updater/FileSysInfo.h"

#include <gtest/gtest.h>

#include "platform/core/DateTime.h"
#include "platform/core/Files.h"
#include "platform/core/VersionInfo.h"
#include "testing/Sandbox.h"
#include "updater/tests/TestStamp.h"

using namespace tarvo::updater;
using tarvo::updater::testing::WriteStamped;
namespace pf = tarvo::platform;

TEST(FileVersionInfo, AnswersStringsKeysAndTrimmedValues) {
  tarvo::testing::Sandbox box;
  const std::string path = box.Path("TarvoTrade.exe");
  WriteStamped(path, {{"CompanyName", "Orvanta"},
                      {"FileVersion", std::string("5.1.2.3\0\0\0", 10)},
                      {"InternalName", ""},
                      {"Custom", "mine"}});
  TFileVersionInfo info(path);
  struct Case {
    TVerInfoData data;
    const char* userKey;
    std::string expected;
  } cases[] = {
      {TVerInfoData::viCompanyName, "", "Orvanta"},
      {TVerInfoData::viFileVersion, "", "5.1.2.3"},        // trailing zeros cut
      {TVerInfoData::viProductName, "", "ProductName"},    // missing: the key
      {TVerInfoData::viInternalName, "", "InternalName"},  // empty: the key
      {TVerInfoData::viUserDefined, "Custom", "mine"},
      {TVerInfoData::viUserDefined, "Nope", "Nope"},
      {TVerInfoData::viFlags, "", ""},  // no flag set
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(VerInfoKey(c.data)) + "/" + c.userKey);
    EXPECT_EQ(info.GetStringFileInfo(c.data, c.userKey), c.expected);
  }
  EXPECT_EQ(info.FileLocaleId(), "040904B0");
  // Another locale reads that locale's table with its ANSI code page, and a
  // missing string there is empty, not the key.
  EXPECT_EQ(info.GetStringFileInfo(TVerInfoData::viCompanyName, {}, 0x0419), "");
  EXPECT_EQ(info.GetStringFileInfo(TVerInfoData::viProductName, {}, 0x0419), "");
}

TEST(FileVersionInfo, ReadsTheTableOfAnotherLocale) {
  tarvo::testing::Sandbox box;
  const std::string path = box.Path("lib.pkgx");
  WriteStamped(path, {{"ProductName", "Тарво"}}, 0x0419 | (1251u << 16));
  TFileVersionInfo info(path);
  EXPECT_EQ(info.GetStringFileInfo(TVerInfoData::viProductName, {}, 0x0419), "Тарво");
  EXPECT_EQ(info.GetStringFileInfo(TVerInfoData::viProductName, {}, 0x0409), "");
  EXPECT_EQ(info.FileLocaleId(), "041904E3");
  EXPECT_EQ(DefaultAnsiCodePageOf(0x0419), 1251);
  EXPECT_EQ(DefaultAnsiCodePageOf(0x0409), 1252);
  EXPECT_EQ(DefaultAnsiCodePageOf(0x0405), 1250);
  EXPECT_FALSE(DefaultAnsiCodePageOf(0x0039));  // Hindi: Unicode only
}

TEST(FileVersionInfo, FilesWithoutVersionInformationAnswerEmpty) {
  tarvo::testing::Sandbox box;
  const std::string plain = box.WriteFile("plain.exe", "no trailer here");
  for (const std::string& path : {plain, box.Path("missing.exe")}) {
    TFileVersionInfo info(path);
    EXPECT_FALSE(info.HasVersionInfo());
    for (auto data : {TVerInfoData::viCompanyName, TVerInfoData::viProductName,
                      TVerInfoData::viFlags, TVerInfoData::viBuildTime})
      EXPECT_EQ(info.GetStringFileInfo(data), "") << path;
  }
}

TEST(FileVersionInfo, FlagsAndBuildTimeComeFromTheFixedPart) {
  tarvo::testing::Sandbox box;
  struct Case {
    std::uint32_t flags;
    std::uint32_t fileType;
    const char* expected;
  } cases[] = {
      {0, 1, ""},
      {pf::VS_FF_DEBUG, 1, "Debug Build"},
      {pf::VS_FF_PRERELEASE | pf::VS_FF_DEBUG, 1, "Debug Build, Pre-Release Build"},
      {0x3F, 2,
       "Debug Build, InfoInferred, Patched Build, Pre-Release Build, Private Build, Special Build, "
       "DLL"},
      {0, 3, "DLL"},  // any file type with the bit of value 2
  };
  for (const auto& c : cases) {
    const std::string path = box.WriteFile("x.dll", "body");
    pf::VersionInfoData d;
    d.fixed.fileFlags = c.flags;
    d.fixed.fileType = c.fileType;
    const auto ft = pf::DateTimeToFileTime(pf::EncodeDateTime({2024, 2, 29, 23, 5, 7, 0}));
    d.fixed.fileDateMS = static_cast<std::uint32_t>(*ft >> 32);
    d.fixed.fileDateLS = static_cast<std::uint32_t>(*ft);
    ASSERT_TRUE(pf::WriteFileVersionInfo(path, pf::BuildVersionResource(d)));
    TFileVersionInfo info(path);
    EXPECT_EQ(info.GetStringFileInfo(TVerInfoData::viFlags), c.expected);
    const pf::TDateTime t = pf::EncodeDateTime({2024, 2, 29, 23, 5, 7, 0});
    EXPECT_EQ(info.GetStringFileInfo(TVerInfoData::viBuildTime), pf::FormatDateTime("ddddd tt", t));
    // No string table: string answers are their keys.
    EXPECT_EQ(info.GetStringFileInfo(TVerInfoData::viCompanyName), "CompanyName");
  }
}

TEST(FileVersionInfo, TheProgramReadsItsOwnFile) {
  TFileVersionInfo self;
  self.GetStringFileInfo(TVerInfoData::viCompanyName);
  EXPECT_EQ(self.FileName(), pf::ExecutablePath());
}
