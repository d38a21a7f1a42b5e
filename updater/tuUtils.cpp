#include "updater/tuUtils.h"

#include <chrono>
#include <stdexcept>
#include <thread>
#include <utility>

#include "platform/core/DateTime.h"
#include "platform/core/Files.h"
#include "platform/core/Text.h"
#include "platform/system/Dialogs.h"
#include "platform/system/KernelObjects.h"
#include "platform/system/WindowList.h"
#include "updater/ExtUtils.h"
#include "updater/FileSysInfo.h"
#include "updater/Translate.h"
#include "updater/tuTexts.h"

namespace tarvo::updater {

namespace pf = tarvo::platform;

bool RollbackMode = false;
bool TestMode = false;
std::string BoxCaption;
std::string UpdaterFolder;
std::string DataFolder;
std::string FileListPath;
int ShieldButton = 0;

// --- command line --------------------------------------------------------------

namespace {
std::vector<std::string>& Params() {
  static std::vector<std::string> params;
  return params;
}

bool IsSwitch(std::string_view param, std::string_view name) {
  return param.size() > 1 && (param[0] == '-' || param[0] == '/') &&
         pf::SameText(param.substr(1), name);
}
}  // namespace

void SetCommandLine(std::vector<std::string> params) {
  Params() = std::move(params);
}
const std::vector<std::string>& CommandLine() {
  return Params();
}

bool FindCmdLineSwitch(std::string_view name) {
  const auto& params = Params();
  for (std::size_t i = 1; i < params.size(); ++i)
    if (IsSwitch(params[i], name)) return true;
  return false;
}

std::string GetCmdLineSwitchValue(std::string_view name) {
  const auto& params = Params();
  // Parameters 1 ... count-1 of the Windows numbering, count being the number
  // of parameters after the program: a switch in the last position has no value.
  for (std::size_t i = 1; i + 1 < params.size(); ++i)
    if (IsSwitch(params[i], name)) return params[i + 1];
  return {};
}

std::string DequotedStr(std::string_view s) {
  if (s.empty() || s[0] != '"') return std::string(s);
  std::string out;
  for (std::size_t i = 1; i < s.size(); ++i) {
    if (s[i] == '"') {
      if (i + 1 < s.size() && s[i + 1] == '"') {
        out += '"';
        ++i;
        continue;
      }
      break;  // the closing quote; anything after it is dropped
    }
    out += s[i];
  }
  return out;
}

// --- texts and boxes ------------------------------------------------------------

std::string Tr(std::string_view ident, const pf::FormatArgs& args) {
  for (const auto& text : kUpdaterTexts) {
    if (text.key != ident) continue;
    if (args.empty()) return Translate(kTextSection, text.key, text.english);
    return TranslateFmt(kTextSection, text.key, text.english, args);
  }
  throw std::logic_error("unknown updater text " + std::string(ident));
}

std::string IconName(std::uint32_t flags) {
  static const char* const names[] = {"MB_ICONERROR", "MB_ICONQUESTION", "MB_ICONWARNING",
                                      "MB_ICONINFORMATION"};
  const std::uint32_t code = (flags & pf::MB_ICONMASK) >> 4;
  if (code >= 1 && code <= 4) return names[code - 1];
  return pf::Format("0x%x", {flags & pf::MB_ICONMASK});
}

std::string ButtonsName(std::uint32_t flags) {
  static const char* const names[] = {"MB_OK",          "MB_OKCANCEL", "MB_ABORTRETRYIGNORE",
                                      "MB_YESNOCANCEL", "MB_YESNO",    "MB_RETRYCANCEL"};
  const std::uint32_t code = flags & pf::MB_TYPEMASK;
  if (code <= 5) return names[code];
  return pf::Format("0x%x", {code});
}

std::string ResultName(int result) {
  static const char* const names[] = {"IDOK",     "IDCANCEL",   "IDABORT",   "IDRETRY",
                                      "IDIGNORE", "IDYES",      "IDNO",      "IDCLOSE",
                                      "IDHELP",   "IDTRYAGAIN", "IDCONTINUE"};
  if (result >= 1 && result <= 11) return names[result - 1];
  return pf::Format("0x%x", {result});
}

int MsgBox(pf::WindowHandle owner, const std::string& text, std::uint32_t flags, int shield) {
  ShieldButton = shield;
  pf::MessageBoxRequest request;
  request.owner = owner;
  request.text = text;
  request.caption = BoxCaption;
  request.flags = flags | pf::MB_SETFOREGROUND;
  request.languageId = static_cast<std::uint16_t>(Translator().LocaleId() & 0xFFFF);
  request.shieldButton = shield > 0 ? shield : 0;
  const int result = pf::ShowMessageBox(request);
  ShieldButton = 0;
  Log(pf::Format("MsgBox(%s + %s, \"%s\"): %s",
                 {IconName(flags), ButtonsName(flags), text, ResultName(result)}));
  return result;
}

// --- product discovery ------------------------------------------------------------

std::string TitleFromFileName(const std::string& fileName) {
  std::string base = fileName;
  if (const std::string ext = pf::ExtractFileExt(fileName); !ext.empty())
    base = fileName.substr(0, fileName.size() - ext.size());
  const std::size_t baseLen = pf::CodePointCount(base);
  auto rest = [&](std::size_t from) {
    return from < baseLen ? pf::CodePointSlice(base, from) : std::string();
  };
  // Found ignoring case in the name itself, so that positions are those of
  // the name (lower-casing may change the number of code points).
  if (const std::size_t p = pf::FindText(fileName, "trade"); p != std::string::npos)
    return pf::UpperCase(pf::CodePointSlice(fileName, 0, p)) + " Trade " + rest(p + 5);
  for (std::string_view word : {std::string_view("tarvo"), std::string_view("dulm")}) {
    if (const std::size_t p = pf::FindText(fileName, word); p != std::string::npos)
      return pf::UpperCase(pf::CodePointSlice(fileName, p, word.size())) + " " +
             rest(p + word.size());
  }
  return {};
}

namespace {

// The title an executable gives, or empty.
std::string ExamineExecutable(const std::string& folder, const pf::FileEntry& entry) {
  if (entry.isDirectory) return {};
  TFileVersionInfo info(pf::JoinPath(folder, entry.name));
  const std::string company = info.GetStringFileInfo(TVerInfoData::viCompanyName);
  const std::string internal = info.GetStringFileInfo(TVerInfoData::viInternalName);
  if (!pf::SameText(company, "TARVO") && !pf::SameText(company, "Orvanta")) return {};
  if (pf::SameText(internal, "TarvoUpdater") || pf::SameText(internal, "TarvoUHelper")) return {};
  const std::string product = info.GetStringFileInfo(TVerInfoData::viProductName);
  if (pf::SameText(product, "TARVO Trade") || pf::SameText(product, "DULM Trade"))
    return TitleFromFileName(entry.name);
  return product;
}

}  // namespace

std::string FindProductTitle(const std::string& folder) {
  const std::string where = folder.empty() ? UpdaterFolder : folder;
  // Matches are examined in name order (ListFiles sorts), so the choice does
  // not depend on the order in which the file system lists a folder.
  const auto trade = pf::ListFiles(where, "*trade*.exe");
  if (!trade.empty()) {
    if (std::string title = ExamineExecutable(where, trade.front()); !title.empty()) return title;
  }
  for (const auto& entry : pf::ListFiles(where, "*.exe")) {
    if (std::string title = ExamineExecutable(where, entry); !title.empty()) return title;
  }
  return {};
}

std::string StripParenContent(const std::string& title) {
  const std::size_t close = title.rfind(')');
  if (close == std::string::npos) return title;
  const std::size_t open = title.rfind('(', close);
  if (open == std::string::npos) return title;
  return title.substr(0, open + 1) + title.substr(close);
}

bool IsAppRunning(const std::string& title, std::uint32_t timeoutMs) {
  const std::uint32_t start = pf::GetTickCount();
  auto expired = [&] { return pf::TicksBetween(start, pf::GetTickCount()) > timeoutMs; };
  const std::string key = StripParenContent(title);

  bool found = false;
  for (;;) {
    found = false;
    for (const auto& w : pf::EnumTopLevelWindows()) {
      if (w.className == "TApplication" && pf::EndsText(StripParenContent(w.title), key)) {
        found = true;
        break;
      }
    }
    if (!found) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (expired()) break;
  }
  if (found) return true;

  const std::string mutexName = title + "_Mtx";
  for (;;) {
    found = pf::NamedMutex::Exists(mutexName);
    if (!found) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (expired()) break;
  }
  return found;
}

}  // namespace tarvo::updater
