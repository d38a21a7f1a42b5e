// The modification list's checks, the folder comparison and the dialog's
// lifecycle around a run.
#include "updater/tuMain.h"

#include <gtest/gtest.h>

#include <memory>

#include "platform/core/Files.h"
#include "platform/core/Text.h"
#include "platform/system/Dialogs.h"
#include "testing/Sandbox.h"
#include "updater/ExtUtils.h"
#include "updater/Translate.h"
#include "updater/tuUtils.h"

using namespace tarvo::updater;
namespace pf = tarvo::platform;

namespace {

struct Parsed {
  std::string error;  // the message, empty when the list was accepted
  TFileItems files;
  std::string exeName, exeArgs, exeFolder;
};

Parsed Parse(const std::vector<std::string>& lines) {
  auto dialog = TDialog::Create<TUpdateDialog>(nullptr, kProgressDialogTemplate);
  for (const auto& l : lines) dialog->Files().push_back({l, 0});
  Parsed p;
  try {
    dialog->ParseCmdLine("/data/Update/FileList.$$$");
  } catch (const EUpdaterError& e) {
    p.error = e.what();
  }
  p.files = dialog->Files();
  p.exeName = dialog->ExeName();
  p.exeArgs = dialog->ExeArgs();
  p.exeFolder = dialog->ExeFolder();
  return p;
}

// The dialog owns its window; the test looks at what it was told through this.
class ForwardingWindow : public pf::ProgressWindow {
 public:
  explicit ForwardingWindow(pf::SilentProgressWindow& target) : fTarget(target) {}
  void SetCaption(std::string_view caption) override { fTarget.SetCaption(caption); }
  void SetStatus(std::string_view status) override { fTarget.SetStatus(status); }
  void SetRange(std::uint32_t maximum) override { fTarget.SetRange(maximum); }
  void SetPosition(std::uint32_t position) override { fTarget.SetPosition(position); }

 private:
  pf::SilentProgressWindow& fTarget;
};

const std::string kInvalid =
    "Modification file list \"/data/Update/FileList.$$$\" has invalid format";
const std::string kBad = "No target application specified in file \"/data/Update/FileList.$$$\"";
const std::string kEmpty = "Modification file list \"/data/Update/FileList.$$$\" is empty";

class ParseCmdLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tarvo::SetTranslatorClass(&tarvo::CreateTranslatorOf<tarvo::TTarvoResourceTranslator>);
    tarvo::FreeTranslator();
    tarvo::Translator().SetLanguage("English");
  }
  void TearDown() override { tarvo::FreeTranslator(); }
};

}  // namespace

TEST_F(ParseCmdLineTest, ListErrors) {
  const std::string self = pf::ExtractFileName(pf::ExecutablePath());
  struct Case {
    const char* name;
    std::vector<std::string> lines;
    std::string error;
  } cases[] = {
      {"empty list", {}, kBad},
      {"blank lines after a blank command", {"   ", "", "  "}, kEmpty},
      {"only the command", {"/opt/t/Tarvo.exe"}, kEmpty},
      {"command and blanks", {"/opt/t/Tarvo.exe", "", " \t "}, kEmpty},
      {"only the updater itself", {"/opt/t/Tarvo.exe", "U " + self}, kEmpty},
      {"lower-case letter", {"/opt/t/Tarvo.exe", "d old.txt"}, kInvalid},
      {"other letter", {"/opt/t/Tarvo.exe", "X file"}, kInvalid},
      {"two characters", {"/opt/t/Tarvo.exe", "U "}, kInvalid},
      {"two characters trimmed", {"/opt/t/Tarvo.exe", "  Ux  "}, kInvalid},
      // Paths that would write outside the program folder.
      {"climbs out", {"/opt/t/Tarvo.exe", "U ../evil.so"}, kInvalid},
      {"climbs out with backslashes", {"/opt/t/Tarvo.exe", "U a\\..\\..\\evil.so"}, kInvalid},
      {"absolute", {"/opt/t/Tarvo.exe", "U /etc/cron.d/x"}, kInvalid},
      {"drive", {"/opt/t/Tarvo.exe", "D C:\\Windows\\x.dll"}, kInvalid},
      {"drive relative", {"/opt/t/Tarvo.exe", "D C:x.dll"}, kInvalid},
      {"UNC", {"/opt/t/Tarvo.exe", "U \\\\server\\share\\x"}, kInvalid},
      {"control character",
       {"/opt/t/Tarvo.exe",
        "U a\x01"
        "b"},
       kInvalid},
      {"bad line before a good one", {"/opt/t/Tarvo.exe", "U ok", "U ../x", "U ok2"}, kInvalid},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Parse(c.lines).error, c.error);
  }
}

TEST_F(ParseCmdLineTest, EntriesAndTargetCommand) {
  const std::string self = pf::ExtractFileName(pf::ExecutablePath());
  const Parsed p = Parse({"  \"/opt/my tarvo/Tarvo \"\"Q\"\".exe\"  -a  -b  ", "U bin\\lib.so", "",
                          "DXold/file.txt", "U " + pf::UpperCase(self), "U ./" + self,
                          "   U  spaced.txt   ", "U sub/" + self});
  ASSERT_EQ(p.error, "");
  EXPECT_EQ(p.exeName, "/opt/my tarvo/Tarvo \"Q\".exe");
  EXPECT_EQ(p.exeArgs, "-a  -b");
  EXPECT_EQ(p.exeFolder, "/opt/my tarvo/");
  ASSERT_EQ(p.files.size(), 4u);
  EXPECT_EQ(p.files[0].path, "bin/lib.so");
  EXPECT_EQ(p.files[0].op, kOpUpdate);
  EXPECT_EQ(p.files[1].path, "old/file.txt");  // the second character is not examined
  EXPECT_EQ(p.files[1].op, kOpDelete);
  EXPECT_EQ(p.files[2].path, " spaced.txt");  // the text from the third character on
  EXPECT_EQ(p.files[3].path, "sub/" + self);  // another folder: not the updater

  struct Command {
    const char* line;
    const char* name;
    const char* args;
  } commands[] = {
      {"/opt/t/Tarvo.exe", "/opt/t/Tarvo.exe", ""},
      {"/opt/t/Tarvo.exe  -x -y ", "/opt/t/Tarvo.exe", "-x -y"},
      {"\"/opt/t/Tarvo.exe\" ", "/opt/t/Tarvo.exe", ""},  // as the updater writes it
      {"\"/opt/unterminated", "/opt/unterminated", ""},
  };
  for (const auto& c : commands) {
    const Parsed q = Parse({c.line, "U a"});
    EXPECT_EQ(q.exeName, c.name) << c.line;
    EXPECT_EQ(q.exeArgs, c.args) << c.line;
  }
}

TEST(SameFolder, ComparesTheFolderOnDisk) {
  tarvo::testing::Sandbox box;
  const std::string a = box.MakeDir("Install") + "/";
  box.MakeDir("install");
  EXPECT_TRUE(SameFolder(a, box.Path("Install")));
  EXPECT_TRUE(SameFolder(a, box.Path("install/../Install/")));
  // Letter case alone names another folder here.
  EXPECT_FALSE(SameFolder(a, box.Path("install/")));
  EXPECT_FALSE(SameFolder(a, box.Path("INSTALL/")));  // does not exist
  EXPECT_FALSE(SameFolder(a, ""));
}

// A run whose first source file is missing: the step fails before anything is
// applied, so nothing is undone and the user sees the soft failure.
TEST(UpdateDialog, ShowModalRunsTheRunInsideTheWindowAndFailsVisibly) {
  tarvo::testing::Sandbox box;
  const std::string exe = box.MakeDir("install") + "/";
  box.WriteFile("install/a.dll", "old a");
  tarvo::SetTranslatorClass(&tarvo::CreateTranslatorOf<tarvo::TTarvoResourceTranslator>);
  tarvo::FreeTranslator();
  tarvo::Translator().SetLanguage("English");
  auto dialogs = pf::ScriptedDialogs::FromText("IDOK\nIDOK\n");
  pf::SetDialogService(dialogs);
  pf::SilentProgressWindow window;
  TDialog::SetWindowFactory([&] { return std::make_unique<ForwardingWindow>(window); });
  RollbackMode = false;
  BoxCaption = "Orvanta Update";
  OpenLog(box.Path("update.log"), "TARVO Trade ", false);

  auto dialog = TDialog::Create<TUpdateDialog>(nullptr, kProgressDialogTemplate);
  dialog->SetExeTitle("TARVO Trade ");
  dialog->Files() = {{"a.dll", kOpUpdate}, {"b.dll", kOpDelete}, {"c.dll", kOpUpdate}};
  dialog->SetExeFolder(exe);
  dialog->SetUpdateFolder(box.MakeDir("data/Update") + "/");
  dialog->SetBackupFolder(box.Path("data/Rollback/"));
  const int result = dialog->ShowModal();
  TDialog::SetWindowFactory(nullptr);
  CloseLog();
  pf::SetDialogService(nullptr);
  tarvo::FreeTranslator();

  EXPECT_EQ(result, kRunFinishedResult);
  EXPECT_EQ(window.Caption(), "Updating TARVO Trade ...");
  EXPECT_EQ(window.Maximum(), 6u);  // one backup and one install step per entry
  EXPECT_EQ(dialog->Handle(), 0u);  // the window is gone

  const auto calls = dialogs->Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_NE(calls[0].request.owner, 0u);
  EXPECT_EQ(calls[0].request.text, "Error updating \"TARVO Trade \".\r\n\r\nSource file \"" +
                                       box.Path("data/Update/") + "a.dll\" not found.");
  EXPECT_EQ(calls[1].request.text,
            "\"TARVO Trade \" updating failed: some of new files could not be copied, update was "
            "rolled back.\r\n\r\nTry to install this update later by running Orvanta Update with "
            "administrative privileges.");

  const auto log = box.ReadFile("update.log");
  ASSERT_TRUE(log);
  const std::string order[] = {"StartUpdate() begin",    "Current product version is ",
                               "CleanupFolder(",         "Backup() exit: 1",
                               "InstallFiles() exit: 0", "MsgBox(MB_ICONERROR",
                               "StartUpdate() exit"};
  std::size_t at = 0;
  for (const auto& step : order) {
    const std::size_t found = log->find(step, at);
    ASSERT_NE(found, std::string::npos) << step;
    at = found;
  }
  EXPECT_EQ(log->find("Rolling back file"), std::string::npos);  // nothing to undo
  EXPECT_EQ(box.ReadFile("install/a.dll"), "old a");
  EXPECT_FALSE(pf::PathExists(box.Path("data/Rollback/a.dll")));  // backup emptied
}

TEST(UpdateDialog, TestModeMarksOnlyARealTitle) {
  TestMode = true;
  auto dialog = TDialog::Create<TUpdateDialog>(nullptr, kProgressDialogTemplate);
  dialog->SetExeTitle("TARVO Trade ");
  EXPECT_EQ(dialog->ExeTitle(), "TARVO Trade  (test)");
  dialog->SetExeTitle("");
  EXPECT_EQ(dialog->ExeTitle(), "");
  TestMode = false;
  dialog->SetExeTitle("TARVO Trade ");
  EXPECT_EQ(dialog->ExeTitle(), "TARVO Trade ");
}
