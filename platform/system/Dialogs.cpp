#include "platform/system/Dialogs.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/core/Errors.h"
#include "platform/core/Text.h"

namespace tarvo::platform {

// --- vocabulary -------------------------------------------------------------------------

std::vector<int> MessageBoxButtons(std::uint32_t flags) {
  switch (flags & MB_TYPEMASK) {
    case MB_OKCANCEL:
      return {IDOK, IDCANCEL};
    case MB_ABORTRETRYIGNORE:
      return {IDABORT, IDRETRY, IDIGNORE};
    case MB_YESNOCANCEL:
      return {IDYES, IDNO, IDCANCEL};
    case MB_YESNO:
      return {IDYES, IDNO};
    case MB_RETRYCANCEL:
      return {IDRETRY, IDCANCEL};
    case MB_CANCELTRYCONTINUE:
      return {IDCANCEL, IDTRYAGAIN, IDCONTINUE};
    default:
      return {IDOK};
  }
}

int MessageBoxDefaultButton(std::uint32_t flags) {
  const auto buttons = MessageBoxButtons(flags);
  const std::size_t index = (flags & MB_DEFMASK) >> 8;
  return index < buttons.size() ? buttons[index] : buttons.front();
}

namespace {

const char* const kResultNames[] = {"IDOK",     "IDCANCEL",   "IDABORT",   "IDRETRY",
                                    "IDIGNORE", "IDYES",      "IDNO",      "IDCLOSE",
                                    "IDHELP",   "IDTRYAGAIN", "IDCONTINUE"};

std::string Hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%x", v);
  return buf;
}

}  // namespace

std::string DialogResultName(int result) {
  if (result >= IDOK && result <= IDCONTINUE) return kResultNames[result - 1];
  return Hex(static_cast<std::uint32_t>(result));
}

std::string DialogButtonText(int button, std::uint16_t languageId) {
  static const char* const kEnglish[] = {"OK", "Cancel", "Abort", "Retry",     "Ignore",  "Yes",
                                         "No", "Close",  "Help",  "Try Again", "Continue"};
  static const char* const kRussian[] = {"ОК",         "Отмена",    "Прервать",  "Повтор",
                                         "Пропустить", "Да",        "Нет",       "Закрыть",
                                         "Справка",    "Повторить", "Продолжить"};
  static const char* const kUkrainian[] = {"OK",         "Скасувати",     "Перервати", "Повторити",
                                           "Пропустити", "Так",           "Ні",        "Закрити",
                                           "Довідка",    "Спробувати ще", "Продовжити"};
  if (button < IDOK || button > IDCONTINUE) return DialogResultName(button);
  const auto primary = languageId & 0x3FF;  // the primary language of a LANGID
  const char* const* table = primary == 0x19 ? kRussian : primary == 0x22 ? kUkrainian : kEnglish;
  return table[button - 1];
}

namespace {

// "IDYES", "yes", "6" -> 6; "default" -> the box's default; 0 when unknown.
int ParseAnswer(const std::string& token, std::uint32_t flags) {
  if (SameTextAscii(token, "default")) return MessageBoxDefaultButton(flags);
  if (!token.empty() &&
      std::all_of(token.begin(), token.end(), [](unsigned char c) { return std::isdigit(c); }))
    return token.size() <= 9 ? std::atoi(token.c_str()) : 0;
  for (int id = IDOK; id <= IDCONTINUE; ++id) {
    const std::string name = kResultNames[id - 1];
    if (SameTextAscii(token, name) || SameTextAscii(token, name.substr(2))) return id;
  }
  return 0;
}

// Wildcard match over bytes: "*" any run, "?" one byte.
bool WildMatch(std::string_view text, std::string_view pattern) {
  std::size_t t = 0, p = 0, star = std::string_view::npos, mark = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
      ++t, ++p;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::string Escape(std::string_view s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// Line breaks as the script writes them ("\r\n" in a box text is a line break).
std::string TextForMatching(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i] == '\r' ? '\n' : text[i];
  }
  return out;
}

void AppendRecord(const MessageBoxRequest& r, int result) {
  const char* path = std::getenv("TARVO_DIALOG_RECORD");
  if (!path || !*path) return;
  std::ostringstream line;
  line << DialogResultName(result) << '\t' << Hex(r.flags) << '\t' << r.languageId << '\t'
       << r.shieldButton << '\t' << r.owner << '\t' << Escape(r.caption) << '\t' << Escape(r.text)
       << '\n';
  // One write per line in append mode, so the lines of several processes do
  // not interleave.
  const std::string bytes = line.str();
  if (std::FILE* f = std::fopen(path, "ab")) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
}

}  // namespace

// --- scripted --------------------------------------------------------------------------

std::shared_ptr<ScriptedDialogs> ScriptedDialogs::FromFile(const std::string& path) {
  std::shared_ptr<ScriptedDialogs> s(new ScriptedDialogs());
  s->fPath = path;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    s->fMissing = true;
    return s;
  }
  std::stringstream buf;
  buf << in.rdbuf();
  s->Parse(buf.str());
  return s;
}

std::shared_ptr<ScriptedDialogs> ScriptedDialogs::FromText(std::string_view script) {
  std::shared_ptr<ScriptedDialogs> s(new ScriptedDialogs());
  s->Parse(script);
  return s;
}

void ScriptedDialogs::Parse(std::string_view script) {
  int lineNo = 0;
  for (std::string line : SplitString(script, '\n')) {
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() == '#') continue;
    Answer a;
    a.lineNo = lineNo;
    const std::size_t blank = trimmed.find_first_of(" \t");
    a.token = trimmed.substr(0, blank);
    if (blank != std::string::npos) a.pattern = Trim(trimmed.substr(blank));
    fAnswers.push_back(std::move(a));
  }
}

int ScriptedDialogs::MessageBox(const MessageBoxRequest& request) {
  std::string problem;
  std::uint32_t code = 0;
  int result = 0;
  {
    std::lock_guard lock(fMutex);
    if (fMissing) {
      problem = "dialog script \"" + fPath + "\" cannot be read";
      code = ERROR_FILE_NOT_FOUND;
    } else if (fNext >= fAnswers.size()) {
      problem = "dialog script has no answer left";
      code = ERROR_NO_MORE_ITEMS;
    } else {
      const Answer& a = fAnswers[fNext++];
      const int id = ParseAnswer(a.token, request.flags);
      const auto buttons = MessageBoxButtons(request.flags);
      const std::string where = "dialog script line " + std::to_string(a.lineNo);
      if (!a.pattern.empty() && !WildMatch(TextForMatching(request.text), a.pattern)) {
        problem = where + ": the box text does not match \"" + a.pattern + "\"";
        code = ERROR_INVALID_DATA;
      } else if (std::find(buttons.begin(), buttons.end(), id) == buttons.end()) {
        problem = where + ": \"" + a.token + "\" is not a button of this box";
        code = ERROR_INVALID_DATA;
      } else {
        result = id;
      }
    }
    fCalls.push_back({request, result});
  }
  AppendRecord(request, result);
  if (result == 0) {
    std::fprintf(stderr, "Message box \"%s\" not answered: %s\n  text: %s\n",
                 request.caption.c_str(), problem.c_str(), request.text.c_str());
    SetLastError(code);
  }
  return result;
}

std::vector<ScriptedDialogs::Call> ScriptedDialogs::Calls() const {
  std::lock_guard lock(fMutex);
  return fCalls;
}

std::size_t ScriptedDialogs::Remaining() const {
  std::lock_guard lock(fMutex);
  return fAnswers.size() - std::min(fNext, fAnswers.size());
}

// --- console and non-interactive --------------------------------------------------------

namespace {

const char* IconWord(std::uint32_t flags) {
  switch (flags & MB_ICONMASK) {
    case MB_ICONERROR:
      return "Error";
    case MB_ICONQUESTION:
      return "Question";
    case MB_ICONWARNING:
      return "Warning";
    case MB_ICONINFORMATION:
      return "Information";
    default:
      return nullptr;
  }
}

}  // namespace

int ConsoleDialogs::MessageBox(const MessageBoxRequest& r) {
  const auto buttons = MessageBoxButtons(r.flags);
  const int def = MessageBoxDefaultButton(r.flags);
  std::fprintf(fOut, "\n== %s ==\n", r.caption.c_str());
  if (const char* icon = IconWord(r.flags)) std::fprintf(fOut, "[%s] ", icon);
  std::fprintf(fOut, "%s\n", TextForMatching(r.text).c_str());
  for (std::size_t i = 0; i < buttons.size(); ++i) {
    std::fprintf(fOut, "  %zu) %s%s%s\n", i + 1, DialogButtonText(buttons[i], r.languageId).c_str(),
                 buttons[i] == def ? " (default)" : "",
                 buttons[i] == r.shieldButton ? " (needs administrator rights)" : "");
  }
  for (;;) {
    std::fprintf(fOut, "Choose 1-%zu, Enter for the default: ", buttons.size());
    std::fflush(fOut);
    char line[256];
    if (!std::fgets(line, sizeof line, fIn)) {
      std::fprintf(fOut, "\n(no answer: %s)\n", DialogButtonText(def, r.languageId).c_str());
      return def;
    }
    const std::string answer = Trim(line);
    if (answer.empty()) return def;
    if (answer.size() == 1 && answer[0] >= '1' && answer[0] < char('1' + buttons.size()))
      return buttons[static_cast<std::size_t>(answer[0] - '1')];
    for (int b : buttons) {
      if (SameText(answer, DialogButtonText(b, r.languageId)) ||
          SameText(answer, DialogButtonText(b, 0)))
        return b;
    }
  }
}

int NonInteractiveDialogs::MessageBox(const MessageBoxRequest& r) {
  const int def = MessageBoxDefaultButton(r.flags);
  std::fprintf(fOut, "Message box \"%s\" (no one to answer it): %s\n  -> %s, the default button\n",
               r.caption.c_str(), TextForMatching(r.text).c_str(), DialogResultName(def).c_str());
  std::fflush(fOut);
  return def;
}

// --- choice ------------------------------------------------------------------------------

namespace {

std::mutex gDialogLock;
std::shared_ptr<DialogService> gOverride;
std::shared_ptr<ScriptedDialogs> gScripted;  // the automatic one, for its script path
std::shared_ptr<DialogService> gConsole;
std::shared_ptr<DialogService> gSilent;

std::shared_ptr<DialogService> CurrentService() {
  std::lock_guard lock(gDialogLock);
  if (gOverride) return gOverride;
  const char* script = std::getenv("TARVO_DIALOG_SCRIPT");
  if (script && *script) {
    // The same script keeps its place across calls; a new one starts afresh.
    if (!gScripted || gScripted->ScriptPath() != script)
      gScripted = ScriptedDialogs::FromFile(script);
    return gScripted;
  }
  gScripted.reset();
  if (::isatty(STDIN_FILENO) && ::isatty(STDERR_FILENO)) {
    if (!gConsole) gConsole = std::make_shared<ConsoleDialogs>();
    return gConsole;
  }
  if (!gSilent) gSilent = std::make_shared<NonInteractiveDialogs>();
  return gSilent;
}

}  // namespace

DialogService& Dialogs() {
  // The services chosen automatically are kept for the life of the process,
  // so a reference handed out here stays valid.
  static std::mutex keepLock;
  static std::vector<std::shared_ptr<DialogService>> keep;
  auto s = CurrentService();
  std::lock_guard lock(keepLock);
  if (std::find(keep.begin(), keep.end(), s) == keep.end()) keep.push_back(s);
  return *s;
}

void SetDialogService(std::shared_ptr<DialogService> service) {
  std::lock_guard lock(gDialogLock);
  gOverride = std::move(service);
}

int ShowMessageBox(const MessageBoxRequest& request) {
  // Holds the service for the whole call, even if it is replaced meanwhile.
  auto s = CurrentService();
  return s->MessageBox(request);
}

// --- progress windows --------------------------------------------------------------------

void ProgressWindow::ProcessMessages() {
  MessageQueue& queue = MessageQueue::UI();
  if (queue.IsUIThread()) queue.ProcessMessages();
}

void SilentProgressWindow::SetCaption(std::string_view caption) {
  std::lock_guard lock(fMutex);
  fCaption = caption;
}

void SilentProgressWindow::SetStatus(std::string_view status) {
  std::lock_guard lock(fMutex);
  fStatuses.emplace_back(status);
}

void SilentProgressWindow::SetRange(std::uint32_t maximum) {
  std::lock_guard lock(fMutex);
  fMaximum = maximum;
}

void SilentProgressWindow::SetPosition(std::uint32_t position) {
  std::lock_guard lock(fMutex);
  fPosition = position;
}

std::string SilentProgressWindow::Caption() const {
  std::lock_guard lock(fMutex);
  return fCaption;
}

std::string SilentProgressWindow::Status() const {
  std::lock_guard lock(fMutex);
  return fStatuses.empty() ? std::string() : fStatuses.back();
}

std::vector<std::string> SilentProgressWindow::StatusHistory() const {
  std::lock_guard lock(fMutex);
  return fStatuses;
}

std::uint32_t SilentProgressWindow::Maximum() const {
  std::lock_guard lock(fMutex);
  return fMaximum;
}

std::uint32_t SilentProgressWindow::Position() const {
  std::lock_guard lock(fMutex);
  return fPosition;
}

void ConsoleProgressWindow::SetCaption(std::string_view caption) {
  std::lock_guard lock(fMutex);
  std::fprintf(fOut, "%.*s\n", static_cast<int>(caption.size()), caption.data());
  std::fflush(fOut);
}

void ConsoleProgressWindow::SetStatus(std::string_view status) {
  std::lock_guard lock(fMutex);
  if (status == fStatus) return;
  fStatus = status;
  const int percent = fMaximum ? static_cast<int>(std::min<std::uint64_t>(
                                     100, std::uint64_t(fPosition) * 100 / fMaximum))
                               : 0;
  std::fprintf(fOut, "[%3d%%] %.*s\n", percent, static_cast<int>(status.size()), status.data());
  std::fflush(fOut);
  fShownPercent = percent;
}

void ConsoleProgressWindow::SetRange(std::uint32_t maximum) {
  std::lock_guard lock(fMutex);
  fMaximum = maximum;
  ShowPercent();
}

void ConsoleProgressWindow::SetPosition(std::uint32_t position) {
  std::lock_guard lock(fMutex);
  fPosition = position;
  ShowPercent();
}

void ConsoleProgressWindow::ShowPercent() {
  if (fMaximum == 0) return;
  const int percent =
      static_cast<int>(std::min<std::uint64_t>(100, std::uint64_t(fPosition) * 100 / fMaximum));
  // Whole tens only: a log of a long run should not get a line per percent.
  if (percent / 10 == fShownPercent / 10 && fShownPercent >= 0) return;
  fShownPercent = percent;
  std::fprintf(fOut, "[%3d%%]\n", percent);
  std::fflush(fOut);
}

std::unique_ptr<ProgressWindow> CreateProgressWindow() {
  if (::isatty(STDERR_FILENO)) return std::make_unique<ConsoleProgressWindow>();
  return std::make_unique<SilentProgressWindow>();
}

}  // namespace tarvo::platform
