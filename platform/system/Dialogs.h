// Message boxes and the progress window.
//
// Code above the platform shows a message box through the dialog service in
// use (Dialogs()), with the Windows flags and results, and a progress window
// through the ProgressWindow interface. Implementations:
//
//   ScriptedDialogs        answers from a script; every call is recorded. Used
//                          whenever TARVO_DIALOG_SCRIPT names a script file.
//   ConsoleDialogs         shows the box on a terminal and reads the answer.
//                          Used when standard input and standard error are
//                          terminals.
//   NonInteractiveDialogs  takes the default button and says so on standard
//                          error. Used otherwise (services, CI, pipes).
//
// The choice is automatic (and made again when TARVO_DIALOG_SCRIPT changes);
// SetDialogService overrides it, for a display layer or for a test.
//
// Script format (TARVO_DIALOG_SCRIPT): one answer per line, used in order, one
// per message box; blank lines and lines starting with "#" are skipped.
//
//   IDYES                     answer Yes
//   no                        names without "ID" and in any case work too
//   7                         a number is the result itself
//   default                   the box's default button
//   IDRETRY  Failed to*file*  answer Retry, and the box text must match the
//                             wildcard pattern after the answer ("*" any run,
//                             "?" one byte; line breaks in the text are "\n")
//
// A box that the script cannot answer (script missing or used up, text that
// does not match, an answer that is not one of the box's buttons) fails: the
// call returns 0 with LastError set (ERROR_FILE_NOT_FOUND, ERROR_NO_MORE_ITEMS,
// ERROR_INVALID_DATA), like a message box that could not be shown, and the
// reason goes to standard error.
//
// Record: every call of a ScriptedDialogs is kept in memory (Calls()) and,
// when TARVO_DIALOG_RECORD names a file, appended to it as one line, so a test
// can read what a child process showed. Fields, separated by tabs, with "\\",
// "\t", "\n", "\r" escaped by a backslash:
//   result name (IDOK ... or "0x%x"), flags ("0x%x"), language id, shield
//   button, owner window, caption, text
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system/MessageQueue.h"

namespace tarvo::platform {

// --- the Windows message-box vocabulary ---------------------------------------------

inline constexpr std::uint32_t MB_OK = 0x0, MB_OKCANCEL = 0x1, MB_ABORTRETRYIGNORE = 0x2,
                               MB_YESNOCANCEL = 0x3, MB_YESNO = 0x4, MB_RETRYCANCEL = 0x5,
                               MB_CANCELTRYCONTINUE = 0x6, MB_TYPEMASK = 0xF;
inline constexpr std::uint32_t MB_ICONERROR = 0x10, MB_ICONQUESTION = 0x20, MB_ICONWARNING = 0x30,
                               MB_ICONINFORMATION = 0x40, MB_ICONMASK = 0xF0;
inline constexpr std::uint32_t MB_DEFBUTTON1 = 0x000, MB_DEFBUTTON2 = 0x100, MB_DEFBUTTON3 = 0x200,
                               MB_DEFBUTTON4 = 0x300, MB_DEFMASK = 0xF00;
inline constexpr std::uint32_t MB_SETFOREGROUND = 0x10000, MB_TOPMOST = 0x40000;

inline constexpr int IDOK = 1, IDCANCEL = 2, IDABORT = 3, IDRETRY = 4, IDIGNORE = 5, IDYES = 6,
                     IDNO = 7, IDCLOSE = 8, IDHELP = 9, IDTRYAGAIN = 10, IDCONTINUE = 11;

// The buttons a box with these flags shows, left to right. Unknown button
// codes show OK, as Windows does.
std::vector<int> MessageBoxButtons(std::uint32_t flags);
// The default button: the one MB_DEFBUTTONn points at, the first when it
// points past the last.
int MessageBoxDefaultButton(std::uint32_t flags);
// "IDOK" ... "IDCONTINUE", or "0x%x" for anything else.
std::string DialogResultName(int result);

struct MessageBoxRequest {
  WindowHandle owner = 0;  // 0: no owner
  std::string text;
  std::string caption;
  std::uint32_t flags = 0;
  std::uint16_t languageId = 0;  // language of the button texts (0: the user's)
  int shieldButton = 0;          // button that shows the elevation shield; 0: none
};

class DialogService {
 public:
  virtual ~DialogService() = default;
  // Shows the box and returns the pressed button (IDOK ...), or 0 when the
  // box could not be shown (LastError tells why).
  virtual int MessageBox(const MessageBoxRequest& request) = 0;
};

// The service in use. Thread-safe; boxes themselves belong on the UI thread.
DialogService& Dialogs();
// Overrides the automatic choice; nullptr returns to it.
void SetDialogService(std::shared_ptr<DialogService> service);
// Dialogs().MessageBox(request).
int ShowMessageBox(const MessageBoxRequest& request);

class ScriptedDialogs : public DialogService {
 public:
  struct Call {
    MessageBoxRequest request;
    int result = 0;
  };

  // Reads the script file; a missing file fails every box.
  static std::shared_ptr<ScriptedDialogs> FromFile(const std::string& path);
  static std::shared_ptr<ScriptedDialogs> FromText(std::string_view script);

  int MessageBox(const MessageBoxRequest& request) override;
  std::vector<Call> Calls() const;
  // Answers not used yet.
  std::size_t Remaining() const;
  const std::string& ScriptPath() const noexcept { return fPath; }

 private:
  struct Answer {
    std::string token;    // as written
    std::string pattern;  // empty: any text
    int lineNo = 0;
  };
  ScriptedDialogs() = default;
  void Parse(std::string_view script);

  mutable std::mutex fMutex;
  std::string fPath;
  bool fMissing = false;
  std::vector<Answer> fAnswers;
  std::size_t fNext = 0;
  std::vector<Call> fCalls;
};

class ConsoleDialogs : public DialogService {
 public:
  // Reads answers from in and shows boxes on out (by default the terminal's
  // standard input and standard error).
  explicit ConsoleDialogs(std::FILE* in = stdin, std::FILE* out = stderr) : fIn(in), fOut(out) {}
  int MessageBox(const MessageBoxRequest& request) override;

 private:
  std::FILE* fIn;
  std::FILE* fOut;
};

class NonInteractiveDialogs : public DialogService {
 public:
  explicit NonInteractiveDialogs(std::FILE* out = stderr) : fOut(out) {}
  int MessageBox(const MessageBoxRequest& request) override;

 private:
  std::FILE* fOut;
};

// Button text in the language of a language id (English, Russian and
// Ukrainian; English for the rest).
std::string DialogButtonText(int button, std::uint16_t languageId);

// --- progress window -----------------------------------------------------------------

// A window with a caption, a status line and a progress bar running from 0 to
// a maximum. ProcessMessages lets the UI thread's queue run (the window stays
// alive during long work on the UI thread).
class ProgressWindow {
 public:
  virtual ~ProgressWindow() = default;
  virtual void SetCaption(std::string_view caption) = 0;
  virtual void SetStatus(std::string_view status) = 0;
  virtual void SetRange(std::uint32_t maximum) = 0;
  virtual void SetPosition(std::uint32_t position) = 0;
  // Handles the pending messages of MessageQueue::UI() when called on its UI
  // thread; does nothing elsewhere.
  virtual void ProcessMessages();
};

// Shows nothing; remembers what it was told, for tests and for callers that
// run without a display.
class SilentProgressWindow : public ProgressWindow {
 public:
  void SetCaption(std::string_view caption) override;
  void SetStatus(std::string_view status) override;
  void SetRange(std::uint32_t maximum) override;
  void SetPosition(std::uint32_t position) override;

  std::string Caption() const;
  std::string Status() const;
  std::vector<std::string> StatusHistory() const;
  std::uint32_t Maximum() const;
  std::uint32_t Position() const;

 private:
  mutable std::mutex fMutex;
  std::string fCaption;
  std::vector<std::string> fStatuses;
  std::uint32_t fMaximum = 100;
  std::uint32_t fPosition = 0;
};

// Writes the caption, each new status line and the percentage (when it has
// reached another ten) to a stream, by default standard error.
class ConsoleProgressWindow : public ProgressWindow {
 public:
  explicit ConsoleProgressWindow(std::FILE* out = stderr) : fOut(out) {}
  void SetCaption(std::string_view caption) override;
  void SetStatus(std::string_view status) override;
  void SetRange(std::uint32_t maximum) override;
  void SetPosition(std::uint32_t position) override;

 private:
  void ShowPercent();
  std::mutex fMutex;
  std::FILE* fOut;
  std::string fStatus;
  std::uint32_t fMaximum = 100;
  std::uint32_t fPosition = 0;
  int fShownPercent = -1;
};

// A console window when standard error is a terminal, a silent one otherwise.
std::unique_ptr<ProgressWindow> CreateProgressWindow();

}  // namespace tarvo::platform
