// The data folder, the log, the lists and the product version.
#include "updater/ExtUtils.h"

#include <gtest/gtest.h>

#include <regex>

#include "platform/core/CodePage.h"
#include "platform/core/Errors.h"
#include "platform/core/Files.h"
#include "testing/Sandbox.h"
#include "updater/tests/TestStamp.h"

using namespace tarvo::updater;
namespace pf = tarvo::platform;

TEST(DataFolder, FollowsTheTitleRules) {
  tarvo::testing::Sandbox box;
  const std::string common = box.Path("common") + "/";
  struct Case {
    const char* title;
    std::string expected;
  } cases[] = {
      {"TARVO Trade ", common + "TARVO/Trade/"},
      {"TARVO Trade  (test)", common + "TARVO/Trade  (test)/"},
      {"tarvo Trade", common + "TARVO/Trade/"},  // prefix ignoring case
      {"ZOLN Broker", common + "TARVO/Broker/"},
      {"TarvoTrade", common + "TARVO/Trade/"},     // first character is a letter: kept
      {"TARVO", common + "TARVO//"},               // nothing left: two separators
      {"TARVO 1Trade", common + "TARVO/1Trade/"},  // only one character is removed
      {"Other Product", common + "TARVO/Other Product/"},
      {"TARVOЖук", common + "TARVO/ук/"},  // a Cyrillic letter is not A-Z
  };
  for (const auto& c : cases) EXPECT_EQ(GetDataFolder(c.title), c.expected) << c.title;
  EXPECT_EQ(GetDataFolder(""), pf::ExecutableFolder());
}

namespace {

// The log's lines without their time stamps.
std::string WithoutStamps(const std::string& log) {
  return std::regex_replace(log, std::regex(R"(\[[^\]\r\n]*\] )"), "[T] ");
}

}  // namespace

TEST(Log, TwoRunsAppendWithTheirFraming) {
  tarvo::testing::Sandbox box;
  const std::string path = box.Path("common/TARVO/Trade/update.log");
  OpenLog(path, "TARVO Trade ", false);
  EXPECT_TRUE(LogIsOpen());
  Log("first run");
  CloseLog();
  EXPECT_FALSE(LogIsOpen());
  OpenLog(path, "TARVO Trade ", true);
  Log("second run");
  CloseLog();

  const auto bytes = box.ReadFile("common/TARVO/Trade/update.log");
  ASSERT_TRUE(bytes);
  EXPECT_EQ(WithoutStamps(*bytes),
            "\r\n\r\n\r\n"
            "[T] ========== TARVO Trade  update begin ==========\r\n"
            "[T] first run\r\n"
            "[T] ========== update end ==========\r\n\r\n\r\n\r\n"
            "\r\n\r\n\r\n"
            "[T] ========== TARVO Trade  rollback begin ==========\r\n"
            "[T] second run\r\n"
            "[T] ========== rollback end ==========\r\n\r\n\r\n\r\n");
  // The stamp is the local date and a time with seconds.
  EXPECT_TRUE(std::regex_search(*bytes, std::regex(R"(\[[^\]]+ \d\d:\d\d:\d\d\] first run)")));
}

TEST(Log, KeepsAnEarlierLogByteForByteAndIsNotWorldWritable) {
  tarvo::testing::Sandbox box;
  // A log that another tool left read-only and without a final line break,
  // holding bytes that are not text in any code page.
  const std::string old = std::string("old line\r\nraw \xFF\xFE bytes", 22);
  const std::string path = box.WriteFile("data/update.log", old);
  ASSERT_TRUE(pf::SetReadOnly(path, true));
  OpenLog(path, "T", false);
  CloseLog();
  const auto bytes = box.ReadFile("data/update.log");
  ASSERT_TRUE(bytes);
  EXPECT_EQ(bytes->substr(0, old.size() + 8), old + "\r\n\r\n\r\n\r\n");
  EXPECT_FALSE(pf::IsReadOnly(path));
  EXPECT_FALSE(pf::FileExists(path + ".new"));
}

TEST(Log, LinesAreWrittenWholeInTheAnsiCodePage) {
  tarvo::testing::Sandbox box;
  box.SetEnv("TARVO_ANSI_CODEPAGE", "windows-1251");
  const std::string path = box.Path("update.log");
  OpenLog(path, "Тарво", false);
  Log("Файл 日本 done");
  CloseLog();
  const auto bytes = box.ReadFile("update.log");
  ASSERT_TRUE(bytes);
  // Cyrillic in windows-1251, the characters it lacks as its "?", the rest
  // of the line after them still there.
  EXPECT_NE(bytes->find("\xD4\xE0\xE9\xEB ?? done\r\n"), std::string::npos);
  EXPECT_NE(bytes->find("========== \xD2\xE0\xF0\xE2\xEE update begin"), std::string::npos);
}

TEST(Log, ALogThatCannotBeCreatedLeavesTheRunWithoutOne) {
  tarvo::testing::Sandbox box;
  box.WriteFile("blocker", "a file where the folder should be");
  OpenLog(box.Path("blocker/update.log"), "T", false);
  EXPECT_FALSE(LogIsOpen());
  Log("nowhere");  // no crash, no file
  CloseLog();

  // A write failure closes the log for the rest of the run.
  OpenLog(box.Path("second.log"), "T", false);
  EXPECT_TRUE(LogIsOpen());
  pf::FaultInjection::Add(box.Path("second.log"), pf::FileOp::Write, pf::ERROR_DISK_FULL);
  Log("disk full");
  EXPECT_FALSE(LogIsOpen());
  pf::FaultInjection::Clear();
  Log("after the failure");
  EXPECT_EQ(box.ReadFile("second.log")->find("after the failure"), std::string::npos);
}

TEST(FileList, WritesCrLfAnsiAndReadsEveryEncoding) {
  tarvo::testing::Sandbox box;
  box.SetEnv("TARVO_ANSI_CODEPAGE", "windows-1251");
  const std::string path = box.Path("Rollback/FileList.$$$");
  ASSERT_TRUE(pf::ForceDirectories(box.Path("Rollback")));
  const std::string command = FormatTargetCommand("/opt/tarvo/Tarvo \"X\".exe", "");
  EXPECT_EQ(command, "\"/opt/tarvo/Tarvo \"\"X\"\".exe\" ");
  SaveListLines(path, {command, "U Файл.dll", "D old.txt"});
  EXPECT_EQ(box.ReadFile("Rollback/FileList.$$$"),
            "\"/opt/tarvo/Tarvo \"\"X\"\".exe\" \r\nU \xD4\xE0\xE9\xEB.dll\r\nD old.txt\r\n");
  EXPECT_EQ(LoadListLines(path), (std::vector<std::string>{command, "U Файл.dll", "D old.txt"}));

  // A path the ANSI code page cannot hold is not turned into another name.
  SaveListLines(path, {command, "U 日本.dll"});
  EXPECT_EQ(LoadListLines(path), (std::vector<std::string>{command, "U 日本.dll"}));

  // UTF-16 with its mark, and every kind of line end.
  const std::string utf16 =
      pf::EncodeText("cmd\rU a\nD b\r\n\r\nU c", pf::TextEncoding::Utf16LE, true);
  box.WriteFile("list16", utf16);
  EXPECT_EQ(LoadListLines(box.Path("list16")),
            (std::vector<std::string>{"cmd", "U a", "D b", "", "U c"}));
}

TEST(FileStreams, CreationRuleReplacesAndReportsFailures) {
  tarvo::testing::Sandbox box;
  const std::string path = box.WriteFile("file.txt", "old contents");
  {
    TAnonymousFileStream s(path, pf::FileStream::Mode::CreateNew);
    ASSERT_TRUE(s.Write("new"));
  }
  EXPECT_EQ(box.ReadFile("file.txt"), "new");
  try {
    TAnonymousFileStream s(box.Path("missing/dir/x"), pf::FileStream::Mode::CreateNew);
    FAIL() << "created a file in a missing folder";
  } catch (const EFileStreamError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create file \"" + box.Path("missing/dir/x") +
                                         "\". The system cannot find the path specified.");
    EXPECT_EQ(e.Code(), pf::ERROR_PATH_NOT_FOUND);
  }
  EXPECT_THROW(TAnonymousFileStream(box.Path("nope"), pf::FileStream::Mode::Read),
               EFileStreamError);
}

TEST(ProductVersion, ComesFromTheFirstVersionLibraryInNameOrder) {
  tarvo::testing::Sandbox box;
  const std::string folder = box.MakeDir("install") + "/";
  EXPECT_EQ(GetProductVersion(folder), "");
  box.MakeDir("install/AVersion.pkgx");  // a folder is not a file
  tarvo::updater::testing::WriteStamped(folder + "tvVersion.pkgx", {{"FileVersion", "5.2.0.17"}});
  tarvo::updater::testing::WriteStamped(folder + "zzVersion.pkgx", {{"FileVersion", "9.9.9.9"}});
  tarvo::updater::testing::WriteStamped(folder + "TarvoTrade.exe", {{"FileVersion", "1.0"}});
  EXPECT_EQ(GetProductVersion(folder), "5.2.0.17");

  tarvo::updater::testing::WriteStamped(folder + "tvVersion.pkgx", {{"CompanyName", "Orvanta"}});
  EXPECT_EQ(GetProductVersion(folder), "FileVersion");
}
