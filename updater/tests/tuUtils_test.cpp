// Command line, message boxes, product discovery and the running check.
#include "updater/tuUtils.h"

#include <gtest/gtest.h>

#include <memory>

#include "platform/core/DateTime.h"
#include "platform/core/Files.h"
#include "platform/system/Dialogs.h"
#include "platform/system/KernelObjects.h"
#include "platform/system/WindowList.h"
#include "testing/Sandbox.h"
#include "updater/ExtUtils.h"
#include "updater/Translate.h"
#include "updater/tests/TestStamp.h"

using namespace tarvo::updater;
using tarvo::updater::testing::WriteStamped;
namespace pf = tarvo::platform;

TEST(CommandLine, SwitchesAndTheirValues) {
  SetCommandLine({"TarvoUpdater", "/ROLLBACK", "-lang", "Russian", "-updatereg",
                  "\"Tarvo \"\"Trade\"\"\"", "-Lang"});
  EXPECT_TRUE(FindCmdLineSwitch("rollback"));
  EXPECT_TRUE(FindCmdLineSwitch("LANG"));
  EXPECT_FALSE(FindCmdLineSwitch("elevated"));
  EXPECT_EQ(GetCmdLineSwitchValue("lang"), "Russian");
  EXPECT_EQ(DequotedStr(GetCmdLineSwitchValue("updatereg")), "Tarvo \"Trade\"");
  EXPECT_EQ(DequotedStr("plain"), "plain");

  // A switch in the last position has no value.
  SetCommandLine({"TarvoUpdater", "-rollback", "-lang"});
  EXPECT_TRUE(FindCmdLineSwitch("lang"));
  EXPECT_EQ(GetCmdLineSwitchValue("lang"), "");
  // The program itself is no switch, and a bare "-" names nothing.
  SetCommandLine({"-rollback", "-"});
  EXPECT_FALSE(FindCmdLineSwitch("rollback"));
  SetCommandLine({});
}

TEST(MsgBox, NamesIconsButtonsAndResults) {
  struct Case {
    std::uint32_t flags;
    const char* icon;
    const char* buttons;
  } cases[] = {
      {pf::MB_ICONERROR, "MB_ICONERROR", "MB_OK"},
      {pf::MB_ICONQUESTION | pf::MB_YESNO | pf::MB_DEFBUTTON2, "MB_ICONQUESTION", "MB_YESNO"},
      {pf::MB_ICONWARNING | pf::MB_OKCANCEL, "MB_ICONWARNING", "MB_OKCANCEL"},
      {pf::MB_ICONINFORMATION | pf::MB_RETRYCANCEL, "MB_ICONINFORMATION", "MB_RETRYCANCEL"},
      {pf::MB_ABORTRETRYIGNORE, "0x0", "MB_ABORTRETRYIGNORE"},
      {0x50 | pf::MB_YESNOCANCEL, "0x50", "MB_YESNOCANCEL"},
      {pf::MB_CANCELTRYCONTINUE, "0x0", "0x6"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IconName(c.flags), c.icon) << c.flags;
    EXPECT_EQ(ButtonsName(c.flags), c.buttons) << c.flags;
  }
  EXPECT_EQ(ResultName(1), "IDOK");
  EXPECT_EQ(ResultName(7), "IDNO");
  EXPECT_EQ(ResultName(11), "IDCONTINUE");
  EXPECT_EQ(ResultName(0), "0x0");
  EXPECT_EQ(ResultName(42), "0x2A");
}

TEST(MsgBox, ShowsThroughTheDialogServiceAndLogsTheExactLine) {
  tarvo::testing::Sandbox box;
  auto dialogs = pf::ScriptedDialogs::FromText("IDNO\n");
  pf::SetDialogService(dialogs);
  BoxCaption = "Orvanta Rollback";
  OpenLog(box.Path("update.log"), "T", true);
  const int first = MsgBox(0, "Sure?", pf::MB_YESNO | pf::MB_ICONQUESTION | pf::MB_DEFBUTTON2, 6);
  const int second = MsgBox(0x77, "No answer left", pf::MB_ICONERROR);  // the script is used up
  CloseLog();
  pf::SetDialogService(nullptr);

  EXPECT_EQ(first, pf::IDNO);
  EXPECT_EQ(second, 0);
  EXPECT_EQ(ShieldButton, 0);  // reset after each box, failed or not
  const auto calls = dialogs->Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].request.caption, "Orvanta Rollback");
  EXPECT_EQ(calls[0].request.flags,
            pf::MB_YESNO | pf::MB_ICONQUESTION | pf::MB_DEFBUTTON2 | pf::MB_SETFOREGROUND);
  EXPECT_EQ(calls[0].request.shieldButton, 6);
  EXPECT_EQ(calls[0].request.languageId, tarvo::Translator().LocaleId() & 0xFFFF);
  EXPECT_EQ(calls[1].request.owner, 0x77u);
  EXPECT_EQ(calls[1].request.shieldButton, 0);

  const auto log = box.ReadFile("update.log");
  ASSERT_TRUE(log);
  EXPECT_NE(log->find("] MsgBox(MB_ICONQUESTION + MB_YESNO, \"Sure?\"): IDNO\r\n"),
            std::string::npos);
  EXPECT_NE(log->find("] MsgBox(MB_ICONERROR + MB_OK, \"No answer left\"): 0x0\r\n"),
            std::string::npos);
}

TEST(MsgBox, TextsComeFromTheCatalogue) {
  tarvo::SetTranslatorClass(&tarvo::CreateTranslatorOf<tarvo::TTarvoResourceTranslator>);
  tarvo::FreeTranslator();
  tarvo::Translator().SetLanguage("English");
  EXPECT_EQ(
      Tr("RunningApp", {"TARVO Trade "}),
      "Close all running copies of \"TARVO Trade \".\r\n\r\n\"TARVO Trade \" is still running. "
      "Application cannot be modified while running. Exit it and press \"OK\".");
  EXPECT_EQ(Tr("ModeUpdate"), "updating");
  tarvo::Translator().SetLanguage("Russian");
  EXPECT_EQ(Tr("NoTarvoApp", {"/x/"}), "В папке \"/x/\" не найдено ни одного продукта Orvanta.");
  tarvo::FreeTranslator();
  EXPECT_THROW(Tr("NoSuchText"), std::logic_error);
}

TEST(ProductDiscovery, TitlesFromFileNames) {
  struct Case {
    const char* file;
    const char* title;
  } cases[] = {
      {"TarvoTrade.exe", "TARVO Trade "},
      {"TarvoTradeLite.exe", "TARVO Trade Lite"},
      {"dulmtrade.exe", "DULM Trade "},
      {"TRADE.exe", " Trade "},
      {"dulm.exe", "DULM "},
      {"MyTarvo2.exe", "TARVO 2"},
      {"other.exe", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(TitleFromFileName(c.file), c.title) << c.file;
}

TEST(ProductDiscovery, ExaminesExecutablesInNameOrder) {
  tarvo::testing::Sandbox box;
  const std::string dir = box.MakeDir("install") + "/";
  EXPECT_EQ(FindProductTitle(dir), "");

  // Not ours, the updater itself, a helper, a folder: none gives a title.
  WriteStamped(dir + "a.exe", {{"CompanyName", "Someone"}, {"ProductName", "Alien"}});
  WriteStamped(dir + "b.exe", {{"CompanyName", "Orvanta"},
                               {"InternalName", "TARVOUPDATER"},
                               {"ProductName", "Orvanta Update"}});
  WriteStamped(dir + "c.exe", {{"CompanyName", "tarvo"}, {"InternalName", "TarvoUHelper"}});
  box.MakeDir("install/d.exe");
  box.WriteFile("install/e.exe", "no version information");
  EXPECT_EQ(FindProductTitle(dir), "");

  // Any other product name is the title; the first in name order wins.
  WriteStamped(dir + "z.exe", {{"CompanyName", "Orvanta"}, {"ProductName", "Zed Terminal"}});
  WriteStamped(dir + "y.exe", {{"CompanyName", "ORVANTA"}, {"ProductName", "Why Terminal"}});
  EXPECT_EQ(FindProductTitle(dir), "Why Terminal");
  // Version information without a product name: the key is the title.
  WriteStamped(dir + "x.exe", {{"CompanyName", "Orvanta"}});
  EXPECT_EQ(FindProductTitle(dir), "ProductName");

  // "*trade*.exe" goes first, its title made from the file name.
  WriteStamped(dir + "TarvoTrade.exe",
               {{"CompanyName", "Orvanta"}, {"ProductName", "TARVO Trade"}});
  EXPECT_EQ(FindProductTitle(dir), "TARVO Trade ");
  // Only the first "*trade*" match is examined; the rest fall to the "*.exe" pass.
  WriteStamped(dir + "ATrade.exe", {{"CompanyName", "Someone"}});
  EXPECT_EQ(FindProductTitle(dir), "TARVO Trade ");
  WriteStamped(dir + "ATrade.exe", {{"CompanyName", "Orvanta"}, {"ProductName", "DULM Trade"}});
  EXPECT_EQ(FindProductTitle(dir), "A Trade ");
}

TEST(RunningCheck, StripParenContent) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"TARVO Trade (test)", "TARVO Trade ()"},
      {"A (x) B (y)", "A (x) B ()"},
      {"no parens", "no parens"},
      {"only ) closing (", "only ) closing ("},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(StripParenContent(c.in), c.out) << c.in;
  EXPECT_EQ(StripParenContent("(a(b)c)"), "(a()");
}

TEST(RunningCheck, FindsTheWindowThenTheMutex) {
  tarvo::testing::Sandbox box;
  auto desktop = std::make_shared<pf::FakeWindowEnumerator>();
  pf::SetWindowEnumerator(desktop);
  EXPECT_FALSE(IsAppRunning("TARVO Trade (test)", 0));

  // Window titles compare by their end, ignoring case and what is in parentheses.
  const auto w = desktop->Add("TApplication", "Main - tarvo trade (other)", 10);
  EXPECT_TRUE(IsAppRunning("TARVO Trade (test)", 0));
  desktop->Remove(w);
  desktop->Add("TForm", "TARVO Trade (test)", 11);  // wrong class
  desktop->Add("TApplication", "TARVO Trade (test) extra", 12);
  EXPECT_FALSE(IsAppRunning("TARVO Trade (test)", 0));

  // The mutex keeps its parentheses.
  {
    pf::NamedMutex m = pf::NamedMutex::Create("TARVO Trade (test)_Mtx");
    ASSERT_TRUE(m.Valid());
    EXPECT_TRUE(IsAppRunning("TARVO Trade (test)", 0));
    EXPECT_FALSE(IsAppRunning("TARVO Trade ()", 0));
    // Still there after the time-out: running, and the wait was bounded.
    const auto start = pf::GetTickCount();
    EXPECT_TRUE(IsAppRunning("TARVO Trade (test)", 300));
    const auto waited = pf::TicksBetween(start, pf::GetTickCount());
    EXPECT_GE(waited, 300u);
    EXPECT_LT(waited, 3000u);
  }
  EXPECT_FALSE(IsAppRunning("TARVO Trade (test)", 0));
  pf::SetWindowEnumerator(nullptr);
}
