#include "platform/system/Dialogs.h"

#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

#include "platform/core/Errors.h"
#include "platform/core/Files.h"
#include "platform/core/Text.h"
#include "testing/Sandbox.h"

using namespace tarvo::platform;
using tarvo::testing::Sandbox;

namespace {

MessageBoxRequest Box(std::string text, std::uint32_t flags, int shield = 0) {
  MessageBoxRequest r;
  r.text = std::move(text);
  r.caption = "Orvanta Update";
  r.flags = flags | MB_SETFOREGROUND;
  r.languageId = 0x0419;
  r.shieldButton = shield;
  return r;
}

// Runs a console box with the given typed input; returns the answer and what
// the box printed.
std::pair<int, std::string> Console(const MessageBoxRequest& request, const std::string& typed) {
  std::FILE* in = std::tmpfile();
  std::FILE* out = std::tmpfile();
  std::fwrite(typed.data(), 1, typed.size(), in);
  std::rewind(in);
  const int answer = ConsoleDialogs(in, out).MessageBox(request);
  std::rewind(out);
  std::string shown;
  char buf[4096];
  while (std::size_t n = std::fread(buf, 1, sizeof buf, out)) shown.append(buf, n);
  std::fclose(in);
  std::fclose(out);
  return {answer, shown};
}

}  // namespace

TEST(MessageBoxFlags, ButtonsDefaultsAndNames) {
  struct Case {
    std::uint32_t flags;
    std::vector<int> buttons;
    int def;
  } cases[] = {
      {MB_OK, {IDOK}, IDOK},
      {MB_OKCANCEL | MB_ICONWARNING, {IDOK, IDCANCEL}, IDOK},
      {MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2, {IDYES, IDNO}, IDNO},
      {MB_YESNOCANCEL | MB_DEFBUTTON3, {IDYES, IDNO, IDCANCEL}, IDCANCEL},
      {MB_RETRYCANCEL | MB_DEFBUTTON4, {IDRETRY, IDCANCEL}, IDRETRY},  // past the last: the first
      {MB_ABORTRETRYIGNORE, {IDABORT, IDRETRY, IDIGNORE}, IDABORT},
      {MB_CANCELTRYCONTINUE | MB_DEFBUTTON2, {IDCANCEL, IDTRYAGAIN, IDCONTINUE}, IDTRYAGAIN},
      {0xE, {IDOK}, IDOK},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MessageBoxButtons(c.flags), c.buttons) << std::hex << c.flags;
    EXPECT_EQ(MessageBoxDefaultButton(c.flags), c.def) << std::hex << c.flags;
  }
  EXPECT_EQ(DialogResultName(IDOK), "IDOK");
  EXPECT_EQ(DialogResultName(IDCONTINUE), "IDCONTINUE");
  EXPECT_EQ(DialogResultName(0), "0x0");
  EXPECT_EQ(DialogResultName(12), "0xc");
  EXPECT_EQ(DialogButtonText(IDYES, 0x0419), "Да");
  EXPECT_EQ(DialogButtonText(IDNO, 0x0422), "Ні");
  EXPECT_EQ(DialogButtonText(IDCANCEL, 0x0409), "Cancel");
}

// The scripted service answers in order, checks texts where the script asks
// to, and records every call in memory and in the record file, which is how a
// test reads the boxes of a child process.
TEST(ScriptedDialogs, AnswersFromTheScriptAndRecordsEveryCall) {
  Sandbox box;
  box.SetEnv("TARVO_DIALOG_SCRIPT",
             box.WriteFile("script.txt",
                           "# the updater's boxes\r\n"
                           "\n"
                           "IDRETRY  Error updating*Failed to create file*\r\n"
                           "no\n"
                           "default\n"
                           "6\n"));
  box.SetEnv("TARVO_DIALOG_RECORD", box.Path("record.txt"));
  SetDialogService(nullptr);

  EXPECT_EQ(
      ShowMessageBox(Box("Error updating \"TARVO Trade\".\r\n\r\nFailed to create file \"a\tb\".",
                         MB_RETRYCANCEL | MB_ICONWARNING)),
      IDRETRY);
  EXPECT_EQ(ShowMessageBox(Box("Not enough permissions", MB_YESNO | MB_ICONQUESTION, IDYES)), IDNO);
  EXPECT_EQ(ShowMessageBox(Box("Sure?", MB_YESNO | MB_DEFBUTTON2)), IDNO);
  EXPECT_EQ(ShowMessageBox(Box("Again?", MB_YESNO)), IDYES);
  SetLastError(0);
  EXPECT_EQ(ShowMessageBox(Box("One too many", MB_OK)), 0);
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);

  auto* scripted = dynamic_cast<ScriptedDialogs*>(&Dialogs());
  ASSERT_NE(scripted, nullptr);
  const auto calls = scripted->Calls();
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[1].request.shieldButton, IDYES);
  EXPECT_EQ(calls[4].result, 0);
  EXPECT_EQ(scripted->Remaining(), 0u);

  const auto lines = SplitString(ReadFileBytes(box.Path("record.txt")).value_or(""), '\n');
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0],
            "IDRETRY\t0x10035\t1049\t0\t0\tOrvanta Update\t"
            "Error updating \"TARVO Trade\".\\r\\n\\r\\nFailed to create file \"a\\tb\".");
  EXPECT_EQ(lines[1], "IDNO\t0x10024\t1049\t6\t0\tOrvanta Update\tNot enough permissions");
  EXPECT_EQ(lines[4], "0x0\t0x10000\t1049\t0\t0\tOrvanta Update\tOne too many");

  // A new script starts afresh.
  box.SetEnv("TARVO_DIALOG_SCRIPT", box.WriteFile("other.txt", "IDOK\n"));
  EXPECT_EQ(ShowMessageBox(Box("Done", MB_OK)), IDOK);
}

TEST(ScriptedDialogs, BoxesTheScriptCannotAnswerFail) {
  struct Case {
    const char* script;
    std::uint32_t flags;
    std::uint32_t code;
  } cases[] = {
      {"IDYES  Are you sure*", MB_YESNO, ERROR_INVALID_DATA},  // text does not match
      {"IDYES", MB_OKCANCEL, ERROR_INVALID_DATA},              // not a button of this box
      {"maybe", MB_YESNO, ERROR_INVALID_DATA},                 // not an answer at all
      {"", MB_OK, ERROR_NO_MORE_ITEMS},
  };
  for (const auto& c : cases) {
    auto scripted = ScriptedDialogs::FromText(c.script);
    SetLastError(0);
    EXPECT_EQ(scripted->MessageBox(Box("Restore previous version?", c.flags)), 0) << c.script;
    EXPECT_EQ(GetLastError(), c.code) << c.script;
  }
  SetLastError(0);
  EXPECT_EQ(ScriptedDialogs::FromFile("/nonexistent/script")->MessageBox(Box("x", MB_OK)), 0);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(ConsoleDialogs, ShowsTheBoxAndReadsTheAnswer) {
  const auto request =
      Box("Run \"Update\" with administrative privileges?", MB_YESNO | MB_ICONQUESTION, IDYES);
  struct Case {
    const char* typed;
    int answer;
  } cases[] = {
      {"2\n", IDNO},  {"\n", IDYES},           {"нет\n", IDNO},
      {"No\n", IDNO}, {"7\nwhat\n1\n", IDYES},  // unknown answers are asked again
      {"", IDYES},                              // end of input: the default
  };
  for (const auto& c : cases) EXPECT_EQ(Console(request, c.typed).first, c.answer) << c.typed;

  const std::string shown = Console(request, "\n").second;
  EXPECT_NE(shown.find("== Orvanta Update =="), std::string::npos) << shown;
  EXPECT_NE(shown.find("[Question] Run \"Update\""), std::string::npos) << shown;
  EXPECT_NE(shown.find("1) Да (default) (needs administrator rights)"), std::string::npos) << shown;
  EXPECT_NE(shown.find("2) Нет"), std::string::npos) << shown;
}

TEST(NonInteractiveDialogs, TakesTheDefaultAndSaysSo) {
  std::FILE* out = std::tmpfile();
  const int answer =
      NonInteractiveDialogs(out).MessageBox(Box("Are you sure?", MB_YESNO | MB_DEFBUTTON2));
  std::rewind(out);
  char buf[512] = {};
  std::fread(buf, 1, sizeof buf - 1, out);
  std::fclose(out);
  EXPECT_EQ(answer, IDNO);
  EXPECT_NE(std::strstr(buf, "Are you sure?"), nullptr) << buf;
  EXPECT_NE(std::strstr(buf, "IDNO, the default button"), nullptr) << buf;
}

TEST(DialogService, OverrideWinsOverTheAutomaticChoice) {
  Sandbox box;
  box.SetEnv("TARVO_DIALOG_SCRIPT", box.WriteFile("script.txt", "IDCANCEL\n"));
  auto mine = ScriptedDialogs::FromText("IDOK\n");
  SetDialogService(mine);
  EXPECT_EQ(ShowMessageBox(Box("x", MB_OKCANCEL)), IDOK);
  SetDialogService(nullptr);
  EXPECT_EQ(ShowMessageBox(Box("x", MB_OKCANCEL)), IDCANCEL);
  box.SetEnv("TARVO_DIALOG_SCRIPT", std::nullopt);
  // Tests run without a terminal: the non-interactive service takes over.
  EXPECT_NE(dynamic_cast<NonInteractiveDialogs*>(&Dialogs()), nullptr);
}

TEST(ProgressWindow, SilentRemembersAndConsoleWritesLines) {
  SilentProgressWindow silent;
  silent.SetCaption("Updating TARVO Trade...");
  silent.SetRange(4);
  silent.SetStatus("Backuping file: a.dll");
  silent.SetPosition(1);
  silent.SetStatus("Copying file: a.dll");
  silent.ProcessMessages();  // no UI queue of its own: harmless
  EXPECT_EQ(silent.Caption(), "Updating TARVO Trade...");
  EXPECT_EQ(silent.Maximum(), 4u);
  EXPECT_EQ(silent.Position(), 1u);
  EXPECT_EQ(silent.Status(), "Copying file: a.dll");
  EXPECT_EQ(silent.StatusHistory().size(), 2u);

  std::FILE* out = std::tmpfile();
  {
    ConsoleProgressWindow console(out);
    console.SetCaption("Updating TARVO Trade...");
    console.SetRange(200);
    for (std::uint32_t i = 0; i <= 200; ++i) console.SetPosition(i);
    console.SetStatus("Launching TARVO Trade...");
    console.SetStatus("Launching TARVO Trade...");  // unchanged: not repeated
  }
  std::rewind(out);
  std::string text;
  char buf[4096];
  while (std::size_t n = std::fread(buf, 1, sizeof buf, out)) text.append(buf, n);
  std::fclose(out);
  const auto lines = SplitString(text, '\n');
  EXPECT_EQ(lines.front(), "Updating TARVO Trade...");
  EXPECT_EQ(lines.size(), 1u + 11u + 1u + 1u) << text;  // caption, 0..100 by tens, status, end
  EXPECT_NE(text.find("[100%] Launching TARVO Trade..."), std::string::npos) << text;
}
