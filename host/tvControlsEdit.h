// The edit-control model of tvControls: the text, selection and editing rules
// of a single-line edit box, without a window (the lookup combo draws it and
// feeds it keys).
//
// Positions count code points (0 .. Length()). The selection runs between the
// anchor (where it started) and the caret (where it grows); SelStart is the
// smaller of the two. Editing entry points (SetText, KeyDown, Char, Cut, Copy,
// Paste, Clear, Undo) call a protected virtual Do* method that holds the
// default handling, so that a subclass can take over a key or an operation
// and still call the default for the rest.
//
// Rules:
//   - ReadOnly refuses every change made by the user (typing, cut, paste,
//     clear, undo); moving the caret, selecting and copying still work.
//     SetText is the program's change and is always allowed.
//   - MaxLength (0: no limit) limits what the user adds. An addition that
//     does not fit as a whole is refused (nothing is cut off silently);
//     SetText is not limited.
//   - CharCase converts typed and pasted text; setting it converts the text.
//   - One level of undo: Undo restores the text and selection before the
//     last change by the user (typing in one run counts as one change), and a
//     second Undo redoes it. SetText forgets the undo state.
//   - Modified becomes true with every change by the user and false with
//     SetText.
//   - Pasted line breaks become spaces (a single line keeps all the text).
//   - Refused operations answer false; clipboard failures (a busy clipboard)
//     answer false with the platform's LastError and change nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/ui/WindowSystem.h"

namespace tarvo {

enum TEditCharCase : std::uint8_t { ecNormal, ecUpperCase, ecLowerCase };

class TEditModel {
 public:
  TEditModel() = default;
  virtual ~TEditModel() = default;

  // --- state -------------------------------------------------------------------
  std::string Text() const;
  int Length() const noexcept { return static_cast<int>(fText.size()); }
  int Anchor() const noexcept { return fAnchor; }
  int Caret() const noexcept { return fCaret; }
  int SelStart() const noexcept { return fAnchor < fCaret ? fAnchor : fCaret; }
  int SelLength() const noexcept { return fAnchor < fCaret ? fCaret - fAnchor : fAnchor - fCaret; }
  std::string SelText() const;
  // Both clamped to 0..Length().
  void SetSelection(int anchor, int caret);
  void SetSelStart(int start) { SetSelection(start, start); }
  void SetSelLength(int length) { SetSelection(SelStart(), SelStart() + length); }
  void SelectAll() { SetSelection(0, Length()); }

  bool Modified() const noexcept { return fModified; }
  void SetModified(bool value) noexcept { fModified = value; }
  bool ReadOnly() const noexcept { return fReadOnly; }
  void SetReadOnly(bool value) noexcept { fReadOnly = value; }
  int MaxLength() const noexcept { return fMaxLength; }
  // Negative values count as 0 (no limit). The current text is kept.
  void SetMaxLength(int value) noexcept { fMaxLength = value < 0 ? 0 : value; }
  TEditCharCase CharCase() const noexcept { return fCharCase; }
  void SetCharCase(TEditCharCase value);
  bool CanUndo() const noexcept { return fCanUndo; }
  const std::string& TextHint() const noexcept { return fTextHint; }
  void SetTextHint(std::string_view hint) { fTextHint = hint; }
  // The hint shows while the text is empty.
  bool ShowsTextHint() const noexcept { return fText.empty() && !fTextHint.empty(); }

  // --- operations ----------------------------------------------------------------
  void SetText(std::string_view text) { DoSetText(text); }
  // True when the key was handled (navigation, Delete, the clipboard and undo
  // shortcuts: Ctrl+C/X/V/Z/A, Ctrl+Insert, Shift+Insert, Shift+Delete).
  bool KeyDown(platform::TVirtualKey key, platform::TShiftState shift) {
    return DoKeyDown(key, shift);
  }
  // A character: printable ones are typed, 8 is backspace; other control
  // characters are refused.
  bool Char(char32_t ch) { return DoChar(ch); }
  bool CutToClipboard() { return DoCut(); }
  bool CopyToClipboard() { return DoCopy(); }
  bool PasteFromClipboard() { return DoPaste(); }
  bool ClearSelection() { return DoClear(); }
  bool Undo() { return DoUndo(); }

  // Raised after every change of the text.
  std::function<void(TEditModel&)> OnChange;

 protected:
  virtual void DoSetText(std::string_view text);
  virtual bool DoKeyDown(platform::TVirtualKey key, platform::TShiftState shift);
  virtual bool DoChar(char32_t ch);
  virtual bool DoCut();
  virtual bool DoCopy();
  virtual bool DoPaste();
  virtual bool DoClear();
  virtual bool DoUndo();
  virtual void Change();

  // Replaces the selection by text as the user's change (undo, Modified,
  // MaxLength, ReadOnly and CharCase apply). typing: part of a typing run.
  bool ReplaceSelection(std::u32string_view text, bool typing);
  // Moves the caret; with extend the anchor stays (the selection grows).
  void MoveCaret(int position, bool extend);
  int WordLeft(int from) const;
  int WordRight(int from) const;

 private:
  std::u32string ApplyCase(std::u32string_view text) const;

  std::u32string fText;
  int fAnchor = 0;
  int fCaret = 0;
  bool fModified = false;
  bool fReadOnly = false;
  int fMaxLength = 0;
  TEditCharCase fCharCase = ecNormal;
  std::string fTextHint;
  bool fCanUndo = false;
  std::u32string fUndoText;
  int fUndoAnchor = 0;
  int fUndoCaret = 0;
  bool fTypingRun = false;
};

}  // namespace tarvo
