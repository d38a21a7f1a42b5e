#include "host/tvControlsEdit.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/core/Errors.h"
#include "platform/core/Text.h"
#include "platform/ui/WindowServices.h"

using namespace tarvo;
using namespace tarvo::platform;

namespace {

// Runs one step of a script: "t:xyz" types characters, "BS" is backspace,
// other steps are keys, with modifiers before a "+" (S Shift, C Ctrl): "<",
// ">", "Home", "End", "Del", "Ins" or a letter ("C+A" is Ctrl+A).
bool RunStep(TEditModel& edit, const std::string& step) {
  if (step.rfind("t:", 0) == 0) {
    bool all = true;
    for (char32_t c : ToCodePoints(step.substr(2))) all = edit.Char(c) && all;
    return all;
  }
  if (step == "BS") return edit.Char(8);
  TShiftState shift = 0;
  std::string key = step;
  if (const auto plus = step.find('+'); plus != std::string::npos && plus + 1 < step.size()) {
    for (char m : step.substr(0, plus)) shift |= m == 'S' ? ssShift : m == 'C' ? ssCtrl : ssAlt;
    key = step.substr(plus + 1);
  }
  TVirtualKey vk = 0;
  if (key == "<")
    vk = VK_LEFT;
  else if (key == ">")
    vk = VK_RIGHT;
  else if (key == "Home")
    vk = VK_HOME;
  else if (key == "End")
    vk = VK_END;
  else if (key == "Del")
    vk = VK_DELETE;
  else if (key == "Ins")
    vk = VK_INSERT;
  else if (key.size() == 1)
    vk = static_cast<TVirtualKey>(key[0]);
  EXPECT_NE(vk, 0) << "unknown step " << step;
  return edit.KeyDown(vk, shift);
}

struct Case {
  const char* name;
  const char* text;
  int anchor, caret;
  std::vector<std::string> script;
  const char* wantText;
  int wantAnchor, wantCaret;
  int refused = 0;  // steps that answered false
  std::optional<std::string> clipboardBefore = std::nullopt;
  std::optional<std::string> clipboardAfter = std::nullopt;
  int maxLength = 0;
  bool readOnly = false;
  TEditCharCase charCase = ecNormal;
};

class EditTest : public ::testing::Test {
 protected:
  void TearDown() override {
    Clipboard().SetBusy(false);
    Clipboard().Clear();
  }
};

TEST_F(EditTest, KeyHandling) {
  const std::vector<Case> cases = {
      {"typing", "", 0, 0, {"t:abc"}, "abc", 3, 3},
      {"typing replaces the selection", "hello world", 0, 5, {"t:J"}, "J world", 1, 1},
      {"backspace", "abc", 3, 3, {"BS", "BS"}, "a", 1, 1},
      {"backspace at the start", "abc", 0, 0, {"BS"}, "abc", 0, 0, 1},
      {"backspace deletes the selection", "abcdef", 1, 4, {"BS"}, "aef", 1, 1},
      {"shift+left grows from the anchor", "abc", 3, 3, {"S+<", "S+<"}, "abc", 3, 1},
      {"left collapses a selection to its start", "abcd", 1, 3, {"<"}, "abcd", 1, 1},
      {"right collapses to its end", "abcd", 3, 1, {">"}, "abcd", 3, 3},
      {"left stops at the start", "ab", 0, 0, {"<", "<"}, "ab", 0, 0},
      {"ctrl+left by words", "one two three", 13, 13, {"C+<", "C+<"}, "one two three", 4, 4},
      {"ctrl+right by words", "one two three", 0, 0, {"C+>"}, "one two three", 4, 4},
      {"ctrl+shift+right selects a word", "one two", 0, 0, {"CS+>"}, "one two", 0, 4},
      {"home, shift+end", "abc", 1, 1, {"Home", "S+End"}, "abc", 0, 3},
      {"delete", "abc", 1, 1, {"Del"}, "ac", 1, 1},
      {"delete at the end", "abc", 3, 3, {"Del"}, "abc", 3, 3, 1},
      {"ctrl+delete deletes to the next word", "one two", 0, 0, {"C+Del"}, "two", 0, 0},
      {"ctrl+a", "abc", 1, 1, {"C+A"}, "abc", 0, 3},
      {"copy and paste", "abc", 0, 0, {"C+A", "C+C", "End", "C+V"}, "abcabc", 6, 6, 0, {}, "abc"},
      {"cut", "abc", 1, 2, {"C+X"}, "ac", 1, 1, 0, {}, "b"},
      {"shift+delete cuts, shift+insert pastes",
       "abc",
       0,
       1,
       {"S+Del", "End", "S+Ins"},
       "bca",
       3,
       3,
       0,
       {},
       "a"},
      {"ctrl+insert copies", "abc", 2, 3, {"C+Ins"}, "abc", 2, 3, 0, {}, "c"},
      {"copy without a selection", "abc", 1, 1, {"C+C"}, "abc", 1, 1, 1, "keep", "keep"},
      {"pasted line breaks become spaces", "", 0, 0, {"C+V"}, "x y z", 5, 5, 0, "x\r\ny\nz"},
      {"max length refuses what does not fit", "abcd", 4, 4, {"t:ef"}, "abcde", 5, 5, 1, {}, {}, 5},
      {"max length refuses a paste as a whole",
       "abc",
       3,
       3,
       {"C+V"},
       "abc",
       3,
       3,
       1,
       "xyz",
       "xyz",
       5},
      {"max length counts the replaced selection",
       "abcde",
       0,
       2,
       {"C+V"},
       "xyzcde",
       3,
       3,
       0,
       "xyz",
       "xyz",
       6},
      {"read-only refuses changes",
       "abc",
       0,
       3,
       {"t:x", "BS", "Del", "C+X", "C+V", "C+Z"},
       "abc",
       0,
       3,
       6,
       "p",
       "p",
       0,
       true},
      {"read-only still copies", "abc", 0, 3, {"C+C"}, "abc", 0, 3, 0, {}, "abc", 0, true},
      {"upper case", "", 0, 0, {"t:aж1"}, "AЖ1", 3, 3, 0, {}, {}, 0, false, ecUpperCase},
      {"lower case paste", "", 0, 0, {"C+V"}, "abc", 3, 3, 0, "AbC", "AbC", 0, false, ecLowerCase},
      {"undo a typing run", "abc", 3, 3, {"t:de", "C+Z"}, "abc", 3, 3},
      {"undo twice redoes", "abc", 3, 3, {"t:de", "C+Z", "C+Z"}, "abcde", 5, 5},
      {"a caret move ends the run", "abc", 3, 3, {"t:d", "<", ">", "t:e", "C+Z"}, "abcd", 4, 4},
      {"undo a cut", "abc", 0, 2, {"C+X", "C+Z"}, "abc", 0, 2, 0, {}, "ab"},
      {"nothing to undo", "abc", 0, 0, {"C+Z"}, "abc", 0, 0, 1},
      {"control characters are refused", "a", 1, 1, {"t:\t", "t:\x1b"}, "a", 1, 1, 2},
      {"alt combinations are left alone", "ab", 1, 1, {"A+<", "A+Del"}, "ab", 1, 1, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TEditModel edit;
    edit.SetText(c.text);
    edit.SetSelection(c.anchor, c.caret);
    edit.SetMaxLength(c.maxLength);
    edit.SetReadOnly(c.readOnly);
    edit.SetCharCase(c.charCase);
    Clipboard().Clear();
    if (c.clipboardBefore) Clipboard().SetText(*c.clipboardBefore);
    int refused = 0;
    for (const std::string& step : c.script)
      if (!RunStep(edit, step)) ++refused;
    EXPECT_EQ(edit.Text(), c.wantText);
    EXPECT_EQ(edit.Anchor(), c.wantAnchor);
    EXPECT_EQ(edit.Caret(), c.wantCaret);
    EXPECT_EQ(refused, c.refused);
    if (c.clipboardAfter) {
      EXPECT_EQ(Clipboard().GetText(), c.clipboardAfter);
    }
    // Every change by the user marks the text modified, even one undone.
    bool undone = false;
    for (const std::string& step : c.script) undone = undone || step == "C+Z";
    EXPECT_EQ(edit.Modified(), edit.Text() != c.text || (undone && c.refused == 0));
  }
}

TEST_F(EditTest, SetTextResetsModifiedAndUndoAndIsNotLimited) {
  TEditModel edit;
  int changes = 0;
  edit.OnChange = [&](TEditModel&) { ++changes; };
  edit.SetMaxLength(3);
  edit.SetReadOnly(true);
  edit.SetText("longer than three");  // the program's text is kept whole
  EXPECT_EQ(edit.Text(), "longer than three");
  EXPECT_EQ(changes, 1);
  edit.SetReadOnly(false);
  edit.SetSelection(0, 6);
  EXPECT_FALSE(edit.Char(U'x'));  // the result would still be too long
  edit.SelectAll();
  EXPECT_TRUE(edit.Char(U'x'));
  EXPECT_EQ(edit.Text(), "x");
  EXPECT_TRUE(edit.Modified());
  EXPECT_TRUE(edit.CanUndo());
  edit.SetText("x than three");
  EXPECT_FALSE(edit.Modified());
  EXPECT_FALSE(edit.CanUndo());
  EXPECT_EQ(edit.Caret(), 0);
  EXPECT_EQ(changes, 3);
  edit.SetText("x than three");
  EXPECT_EQ(changes, 3);  // the same text again is no change

  edit.SetText("");
  edit.SetTextHint("Search");
  EXPECT_TRUE(edit.ShowsTextHint());
  edit.Char(U'a');
  EXPECT_FALSE(edit.ShowsTextHint());
  edit.SetCharCase(ecUpperCase);
  EXPECT_EQ(edit.Text(), "A");
}

TEST_F(EditTest, ABusyClipboardFailsAndChangesNothing) {
  TEditModel edit;
  edit.SetText("abc");
  edit.SelectAll();
  Clipboard().SetText("before");
  Clipboard().SetBusy(true);
  SetLastError(0);
  EXPECT_FALSE(edit.CopyToClipboard());
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(edit.CutToClipboard());
  EXPECT_EQ(edit.Text(), "abc");  // the cut lost nothing
  EXPECT_FALSE(edit.PasteFromClipboard());
  Clipboard().SetBusy(false);
  EXPECT_EQ(Clipboard().GetText(), std::optional<std::string>("before"));
}

// A subclass takes over digits and Escape and leaves the rest to the default.
class DigitsOnly : public TEditModel {
 protected:
  bool DoChar(char32_t ch) override {
    if (ch >= U'0' && ch <= U'9') return TEditModel::DoChar(ch);
    return ch == 8 && TEditModel::DoChar(ch);
  }
  bool DoKeyDown(TVirtualKey key, TShiftState shift) override {
    if (key == VK_ESCAPE) {
      SetText("");
      return true;
    }
    return TEditModel::DoKeyDown(key, shift);
  }
};

TEST_F(EditTest, DefaultHandlingCanBeOverridden) {
  DigitsOnly edit;
  for (char32_t c : std::u32string(U"a1b2")) edit.Char(c);
  EXPECT_EQ(edit.Text(), "12");
  edit.Char(8);
  EXPECT_EQ(edit.Text(), "1");
  EXPECT_TRUE(edit.KeyDown(VK_LEFT, 0));
  EXPECT_EQ(edit.Caret(), 0);
  EXPECT_TRUE(edit.KeyDown(VK_ESCAPE, 0));
  EXPECT_EQ(edit.Text(), "");
}

}  // namespace
