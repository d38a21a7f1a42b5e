// The real TarvoUpdater program, run in a sandboxed installation: an install
// folder holding the updater, a stamped "TarvoTrade.exe" and a version library,
// a data folder with a modification list, and a scripted dialog service whose
// record tells which boxes the program showed.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/Files.h"
#include "platform/core/Text.h"
#include "platform/system/Process.h"
#include "testing/Sandbox.h"
#include "updater/tests/UpdaterRun.h"

namespace pf = tarvo::platform;
using tarvo::updater::testing::UpdaterRun;

TEST_F(UpdaterRun, NoProductFound) {
  ASSERT_TRUE(pf::DeleteFile(install + "TarvoTrade.exe"));
  box.WriteFile("install/Other.exe", "not stamped");
  Script("IDOK");
  EXPECT_EQ(Run(), 0u);
  const auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "No Orvanta product found in folder \"" + install + "\".");
  EXPECT_EQ(boxes[0].caption, "Orvanta Update");
  EXPECT_EQ(boxes[0].flags, "0x10010");  // error icon, brought to the foreground
  EXPECT_EQ(boxes[0].owner, "0");
  EXPECT_FALSE(pf::PathExists(data));  // no log without a product
}

TEST_F(UpdaterRun, LangSwitchShowsRussianTexts) {
  ASSERT_TRUE(pf::DeleteFile(install + "TarvoTrade.exe"));
  Script("IDOK");
  EXPECT_EQ(Run("-lang Russian"), 0u);
  const auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "В папке \"" + install + "\" не найдено ни одного продукта Orvanta.");
  EXPECT_EQ(boxes[0].languageId, "1049");
}

TEST_F(UpdaterRun, EachListErrorEndsWithItsBox) {
  const std::string listPath = data + "Update/FileList.$$$";
  struct Case {
    const char* name;
    const char* list;  // nullptr: no list
    std::string error;
  } cases[] = {
      {"missing", nullptr, "File \"" + listPath + "\" is not found"},
      {"empty", "", "No target application specified in file \"" + listPath + "\""},
      {"command only", "\"/x/TarvoTrade.exe\" \r\n\r\n",
       "Modification file list \"" + listPath + "\" is empty"},
      {"bad letter", "/x/TarvoTrade.exe\r\nu a.dll\r\n",
       "Modification file list \"" + listPath + "\" has invalid format"},
      {"climbs out", "/x/TarvoTrade.exe\r\nU ../../etc/passwd\r\n",
       "Modification file list \"" + listPath + "\" has invalid format"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pf::DeleteFile(listPath);
    pf::DeleteFile(box.Path("record.txt"));
    if (c.list) List("Update", c.list);
    Script("IDOK");
    EXPECT_EQ(Run(), 0u);
    const auto boxes = Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text,
              "No updates found for \"TARVO Trade \".\r\nRun \"TARVO Trade \" and "
              "download updates first.\r\n\r\n" +
                  c.error + ".");
    EXPECT_EQ(boxes[0].flags, "0x10040");
  }
  const std::string log = LogText();
  EXPECT_NE(log.find("========== TARVO Trade  update begin =========="), std::string::npos);
  EXPECT_NE(log.find("MsgBox(MB_ICONINFORMATION + MB_OK, \"No updates found for"),
            std::string::npos);
  EXPECT_NE(log.find("Input modification file \"" + listPath +
                     "\":\r\n/x/TarvoTrade.exe\r\nU ../../etc/passwd"),
            std::string::npos);
}

TEST_F(UpdaterRun, ListForAnotherFolderGivesTheMismatchBoxes) {
  const std::string other = box.MakeDir("elsewhere") + "/";
  // Letter case alone names another folder on this file system.
  std::string upper = install;
  upper.replace(upper.size() - 8, 7, "INSTALL");
  List("Update", "\"" + upper + "TarvoTrade.exe\" \r\nU a.dll\r\n");
  List("Rollback", "\"" + other + "TarvoTrade.exe\" \r\nU a.dll\r\n");
  Script("IDOK\nIDOK\n");
  EXPECT_EQ(Run(), 0u);
  EXPECT_EQ(Run("/Rollback"), 0u);
  const auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text,
            "The update is not intended for this copy of \"TARVO Trade \".\r\n\r\n"
            "This copy installed into folder \"" +
                install + "\",\r\nbut update is for \"" + upper + "\".");
  EXPECT_EQ(boxes[1].caption, "Orvanta Rollback");
  EXPECT_EQ(boxes[1].text,
            "Can't restore previous version of this copy of \"TARVO Trade \".\r\n\r\n"
            "This copy installed into folder \"" +
                install + "\",\r\nbut restore information is for \"" + other + "\".");
  EXPECT_EQ(boxes[1].flags, "0x10010");
  EXPECT_TRUE(pf::FileExists(data + "Update/FileList.$$$"));  // nothing changed
}

TEST_F(UpdaterRun, RollbackConfirmationAnsweredNo) {
  List("Rollback", "\"" + install + "TarvoTrade.exe\" \r\nU a.dll\r\nD b.dll\r\n");
  Script("IDNO");
  EXPECT_EQ(Run("-rollback"), 0u);
  const auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Are you sure to restore previous version of \"TARVO Trade \"?");
  EXPECT_EQ(boxes[0].flags, "0x10124");  // question, Yes/No, second button default
  EXPECT_EQ(boxes[0].result, "IDNO");
  const std::string log = LogText();
  EXPECT_NE(log.find("ExeName=\"" + install + "TarvoTrade.exe\", ExeArgs=\"\""), std::string::npos);
  EXPECT_NE(log.find("Update file count=2"), std::string::npos);
  EXPECT_NE(log.find("MsgBox(MB_ICONQUESTION + MB_YESNO, \"Are you sure"), std::string::npos);
  EXPECT_NE(log.find("): IDNO\r\n"), std::string::npos);
  EXPECT_EQ(log.find("StartUpdate"), std::string::npos);
  EXPECT_NE(log.find("========== rollback end ==========\r\n\r\n\r\n\r\n"), std::string::npos);
}

TEST_F(UpdaterRun, ProductStillRunningAndCancelled) {
  const std::string ready = box.Path("ready");
  auto helper = pf::LaunchProcess({tarvo::testing::BinaryPath("updater_test_helper"),
                                   pf::QuoteArgument("mutex-hold") + " " +
                                       pf::QuoteArgument("TARVO Trade _Mtx") + " " +
                                       pf::QuoteArgument(ready) + " 25000",
                                   "", false});
  ASSERT_TRUE(helper);
  for (int i = 0; i < 500 && !pf::FileExists(ready); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(pf::FileExists(ready));

  List("Update", "\"" + install + "TarvoTrade.exe\" \r\nU a.dll\r\n");
  Script("IDOK\nIDCANCEL\n");
  EXPECT_EQ(Run(), 0u);
  helper->Terminate();
  helper->Wait(5000);

  const auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 2u);  // asked again after OK, ended on Cancel
  for (const auto& b : boxes) {
    EXPECT_EQ(b.text.rfind("Close all running copies of \"TARVO Trade \".", 0), 0u);
    EXPECT_EQ(b.flags, "0x10031");
  }
  EXPECT_EQ(boxes[1].result, "IDCANCEL");
  const std::string log = LogText();
  EXPECT_NE(log.find("MsgBox(MB_ICONWARNING + MB_OKCANCEL, \"Close all running copies"),
            std::string::npos);
  EXPECT_EQ(log.find("Input modification file"), std::string::npos);
}

TEST_F(UpdaterRun, ProductThatEndsWithinTheWaitIsNotReported) {
  const std::string ready = box.Path("ready");
  auto helper = pf::LaunchProcess({tarvo::testing::BinaryPath("updater_test_helper"),
                                   "mutex-hold " + pf::QuoteArgument("TARVO Trade _Mtx") + " " +
                                       pf::QuoteArgument(ready) + " 800",
                                   "", false});
  ASSERT_TRUE(helper);
  for (int i = 0; i < 500 && !pf::FileExists(ready); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  Script("IDOK");
  EXPECT_EQ(Run(), 0u);  // no list: the only box is the list's
  helper->Wait(10000);
  const auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text.rfind("No updates found", 0), 0u);
}
