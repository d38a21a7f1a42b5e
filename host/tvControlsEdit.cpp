#include "host/tvControlsEdit.h"

#include <algorithm>

#include "platform/core/Text.h"
#include "platform/ui/WindowServices.h"

namespace tarvo {

namespace {

using namespace tarvo::platform;

bool IsSpace(char32_t c) {
  return c == U' ' || c == U'\t' || c == 0xA0;
}

}  // namespace

std::string TEditModel::Text() const {
  return FromCodePoints(fText);
}

std::string TEditModel::SelText() const {
  return FromCodePoints(std::u32string_view(fText).substr(static_cast<std::size_t>(SelStart()),
                                                          static_cast<std::size_t>(SelLength())));
}

void TEditModel::SetSelection(int anchor, int caret) {
  fAnchor = std::clamp(anchor, 0, Length());
  fCaret = std::clamp(caret, 0, Length());
  fTypingRun = false;
}

void TEditModel::MoveCaret(int position, bool extend) {
  const int anchor = extend ? fAnchor : position;
  SetSelection(anchor, position);
}

std::u32string TEditModel::ApplyCase(std::u32string_view text) const {
  switch (fCharCase) {
    case ecUpperCase:
      return ToCodePoints(UpperCase(FromCodePoints(text)));
    case ecLowerCase:
      return ToCodePoints(LowerCase(FromCodePoints(text)));
    case ecNormal:
      break;
  }
  return std::u32string(text);
}

void TEditModel::SetCharCase(TEditCharCase value) {
  if (value == fCharCase) return;
  fCharCase = value;
  std::u32string converted = ApplyCase(fText);
  if (converted != fText) {
    fText = std::move(converted);
    SetSelection(fAnchor, fCaret);  // a case mapping may change the length
    Change();
  }
}

void TEditModel::Change() {
  if (OnChange) OnChange(*this);
}

void TEditModel::DoSetText(std::string_view text) {
  std::u32string next = ApplyCase(ToCodePoints(SanitizeUtf8(text)));
  fModified = false;
  fCanUndo = false;
  fTypingRun = false;
  fAnchor = fCaret = 0;
  if (next == fText) return;
  fText = std::move(next);
  Change();
}

bool TEditModel::ReplaceSelection(std::u32string_view text, bool typing) {
  if (fReadOnly) return false;
  const std::u32string insert = ApplyCase(text);
  const int start = SelStart(), length = SelLength();
  if (insert.empty() && length == 0) return false;
  if (fMaxLength > 0 && !insert.empty() &&
      Length() - length + static_cast<int>(insert.size()) > fMaxLength)
    return false;
  if (!(typing && fTypingRun)) {
    fUndoText = fText;
    fUndoAnchor = fAnchor;
    fUndoCaret = fCaret;
    fCanUndo = true;
  }
  fText.replace(static_cast<std::size_t>(start), static_cast<std::size_t>(length), insert);
  fAnchor = fCaret = start + static_cast<int>(insert.size());
  fTypingRun = typing;
  fModified = true;
  Change();
  return true;
}

int TEditModel::WordLeft(int from) const {
  int p = from;
  while (p > 0 && IsSpace(fText[static_cast<std::size_t>(p - 1)])) --p;
  while (p > 0 && !IsSpace(fText[static_cast<std::size_t>(p - 1)])) --p;
  return p;
}

int TEditModel::WordRight(int from) const {
  int p = from;
  while (p < Length() && !IsSpace(fText[static_cast<std::size_t>(p)])) ++p;
  while (p < Length() && IsSpace(fText[static_cast<std::size_t>(p)])) ++p;
  return p;
}

bool TEditModel::DoKeyDown(TVirtualKey key, TShiftState shift) {
  const bool ctrl = (shift & ssCtrl) != 0;
  const bool sh = (shift & ssShift) != 0;
  if (shift & ssAlt) return false;
  switch (key) {
    case VK_LEFT:
      if (ctrl) {
        MoveCaret(WordLeft(fCaret), sh);
      } else if (!sh && SelLength() > 0) {
        MoveCaret(SelStart(), false);  // a selection collapses to its start
      } else {
        MoveCaret(fCaret - 1, sh);
      }
      return true;
    case VK_RIGHT:
      if (ctrl) {
        MoveCaret(WordRight(fCaret), sh);
      } else if (!sh && SelLength() > 0) {
        MoveCaret(SelStart() + SelLength(), false);
      } else {
        MoveCaret(fCaret + 1, sh);
      }
      return true;
    case VK_HOME:
      MoveCaret(0, sh);
      return true;
    case VK_END:
      MoveCaret(Length(), sh);
      return true;
    case VK_DELETE:
      if (sh) return DoCut();
      if (SelLength() == 0) {
        if (fCaret >= Length() || fReadOnly) return false;
        const int caret = fCaret;
        SetSelection(caret, ctrl ? WordRight(caret) : caret + 1);
      }
      return ReplaceSelection({}, false);
    case VK_INSERT:
      if (ctrl) return DoCopy();
      if (sh) return DoPaste();
      return false;
    default:
      break;
  }
  if (ctrl && !sh) {
    switch (key) {
      case 'A':
        SelectAll();
        return true;
      case 'C':
        return DoCopy();
      case 'X':
        return DoCut();
      case 'V':
        return DoPaste();
      case 'Z':
        return DoUndo();
      default:
        break;
    }
  }
  return false;
}

bool TEditModel::DoChar(char32_t ch) {
  if (ch == 8) {  // backspace
    if (fReadOnly) return false;
    if (SelLength() == 0) {
      if (fCaret == 0) return false;
      const bool run = fTypingRun;
      const int caret = fCaret;
      SetSelection(caret, caret - 1);
      fTypingRun = run;
    }
    return ReplaceSelection({}, true);
  }
  if (ch < 32 || ch == 127 || ch > 0x10FFFF || (ch >= 0xD800 && ch <= 0xDFFF)) return false;
  const char32_t text[1] = {ch};
  return ReplaceSelection(std::u32string_view(text, 1), true);
}

bool TEditModel::DoCopy() {
  fTypingRun = false;
  if (SelLength() == 0) return false;
  return Clipboard().SetText(SelText());
}

bool TEditModel::DoCut() {
  if (fReadOnly || SelLength() == 0) return false;
  if (!DoCopy()) return false;
  return ReplaceSelection({}, false);
}

bool TEditModel::DoPaste() {
  if (fReadOnly) return false;
  const std::optional<std::string> text = Clipboard().GetText();
  if (!text) return false;
  std::u32string insert;
  const std::u32string raw = ToCodePoints(SanitizeUtf8(*text));
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char32_t c = raw[i];
    if (c == U'\r' || c == U'\n') {
      if (c == U'\r' && i + 1 < raw.size() && raw[i + 1] == U'\n') ++i;
      insert.push_back(U' ');
    } else if (c == U'\t' || c >= 32) {
      insert.push_back(c);
    }
  }
  if (insert.empty()) return false;
  return ReplaceSelection(insert, false);
}

bool TEditModel::DoClear() {
  if (SelLength() == 0) return false;
  return ReplaceSelection({}, false);
}

bool TEditModel::DoUndo() {
  if (fReadOnly || !fCanUndo) return false;
  std::swap(fText, fUndoText);
  std::swap(fAnchor, fUndoAnchor);
  std::swap(fCaret, fUndoCaret);
  fAnchor = std::clamp(fAnchor, 0, Length());
  fCaret = std::clamp(fCaret, 0, Length());
  fTypingRun = false;
  fModified = true;
  Change();
  return true;
}

}  // namespace tarvo
