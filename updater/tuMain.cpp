#include "updater/tuMain.h"

#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/CodePage.h"
#include "platform/Files.h"
#include "platform/Format.h"
#include "platform/Text.h"
#include "updater/ExtUtils.h"
#include "updater/Translate.h"
#include "updater/tuUtils.h"

namespace tarvo::updater {

namespace pf = tarvo::platform;

// --- TDialog -------------------------------------------------------------------

namespace {
TDialog::WindowFactory& Factory() {
  static TDialog::WindowFactory factory;
  return factory;
}
}  // namespace

void TDialog::SetWindowFactory(WindowFactory factory) {
  Factory() = std::move(factory);
}

TDialog::TDialog(pf::ModuleHandle aInstance, int aTemplate)
    : fDlgInstance(aInstance), fDlgTemplate(aTemplate) {}

TDialog::~TDialog() {
  if (fHandle != 0) pf::MessageQueue::UI().Unregister(fHandle);
}

std::string TDialog::Caption() const {
  return fCaption;
}

void TDialog::SetCaption(const std::string& value) {
  fCaption = value;
  if (fWindow) fWindow->SetCaption(value);
}

bool TDialog::DialogProc(std::uint32_t message, std::uintptr_t wParam, std::intptr_t /*lParam*/) {
  switch (message) {
    case WM_INITDIALOG:
      DoInitDialog();
      return true;
    case WM_ACTIVATE:
      // The box that takes the focus shows its shield through the dialog
      // service (MessageBoxRequest::shieldButton); nothing to send here.
      return false;
    case WM_WINDOWPOSCHANGED:
      if (wParam & SWP_SHOWWINDOW) {
        DoShow();
        return true;
      }
      return false;
    case WM_COMMAND:
      if (wParam == static_cast<std::uintptr_t>(pf::IDOK) ||
          wParam == static_cast<std::uintptr_t>(pf::IDCANCEL)) {
        SetModalResult(static_cast<int>(wParam));
        return true;
      }
      return false;
    default:
      return false;
  }
}

int TDialog::ShowModal() {
  fWindow = Factory() ? Factory()() : pf::CreateProgressWindow();
  fModalResult = 0;
  pf::MessageQueue& queue = pf::MessageQueue::UI();
  fHandle =
      queue.Register([this](std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
        return static_cast<std::intptr_t>(DialogProc(message, wParam, lParam));
      });
  // The template's caption stands until DoInitDialog replaces it.
  SetCaption(Tr("UpdateCaption"));
  queue.Send(fHandle, WM_INITDIALOG, 0, 0);
  queue.Post(fHandle, WM_WINDOWPOSCHANGED, SWP_SHOWWINDOW, 0);
  queue.PumpUntil([this] { return fModalResult != 0; });
  queue.Unregister(fHandle);
  fHandle = 0;
  fWindow.reset();
  return fModalResult;
}

// --- TUpdateDialog: lifecycle --------------------------------------------------------

void TUpdateDialog::DoCreate() {
  fFiles.clear();
}

void TUpdateDialog::DoInitDialog() {
  fBackupedFiles.clear();
  fUpdatedFiles.clear();
  // Both controls are parts of the one progress window here.
  fProgress = Window();
  fStatus = Window();
  SetCaption(Tr(RollbackMode ? "RestoreCaption" : "UpdateCaption", {fExeTitle}));
}

void TUpdateDialog::DoShow() {
  StartUpdate();
}

void TUpdateDialog::SetExeTitle(const std::string& value) {
  fExeTitle = (TestMode && !value.empty()) ? value + " (test)" : value;
}

void TUpdateDialog::SetStatus(const std::string& text) {
  if (fStatus) fStatus->SetStatus(text);
}

void TUpdateDialog::SetProgressMax(std::uint32_t n) {
  if (n == fProgressMax) return;
  fProgressMax = n;
  if (fProgress) fProgress->SetRange(n);
}

void TUpdateDialog::SetProgressPos(std::uint32_t n) {
  if (n == fProgressPos) return;
  fProgressPos = n;
  if (fProgress) fProgress->SetPosition(n);
}

void TUpdateDialog::ProcessMessages() {
  pf::MessageQueue& queue = pf::MessageQueue::UI();
  if (queue.IsUIThread()) queue.ProcessMessages();
  if (Window()) Window()->ProcessMessages();
}

// --- TUpdateDialog: the list ------------------------------------------------------------

namespace {

bool HasControlCharacters(std::string_view s) {
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

}  // namespace

void TUpdateDialog::ParseCmdLine(const std::string& FileName) {
  Log(pf::Format("Input modification file \"%s\":\r\n", {FileName}) + fListText);

  const std::string self = pf::ExtractFileName(pf::ExecutablePath());
  auto invalid = [&] { return EUpdaterError(Tr("InvalidFileList", {FileName})); };
  // From the last line down to the second; the first is the target command.
  for (std::size_t i = fFiles.size(); i-- > 1;) {
    const std::string line = pf::Trim(fFiles[i].path);
    const std::string rest = pf::CodePointSlice(line, 2);
    if (line.empty() || pf::SameText(rest, self)) {
      fFiles.erase(fFiles.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    if (pf::CodePointCount(line) <= 2 || (line[0] != 'D' && line[0] != 'U')) throw invalid();
    // The list comes from a folder every user may write to: a path must stay
    // inside the program folder ("\" and "/" both separate).
    if (HasControlCharacters(rest)) throw invalid();
    const auto relative = pf::SanitizeRelativePath(rest);
    if (!relative) throw invalid();
    // "./TarvoUpdater" names the updater as surely as "TarvoUpdater" does.
    if (pf::SameText(*relative, self)) {
      fFiles.erase(fFiles.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    fFiles[i].op = line[0] == 'U' ? kOpUpdate : kOpDelete;
    fFiles[i].path = *relative;
  }

  if (fFiles.empty()) throw EUpdaterError(Tr("BadFileList", {FileName}));

  const std::string command = pf::Trim(fFiles.front().path);
  fFiles.erase(fFiles.begin());
  fExeName.clear();
  fExeArgs.clear();
  if (!command.empty() && command[0] == '"') {
    std::size_t i = 1;
    for (; i < command.size(); ++i) {
      if (command[i] == '"') {
        if (i + 1 < command.size() && command[i + 1] == '"') {
          fExeName += '"';
          ++i;
          continue;
        }
        break;
      }
      fExeName += command[i];
    }
    if (i < command.size()) fExeArgs = pf::Trim(std::string_view(command).substr(i + 1));
  } else if (const std::size_t blank = command.find(' '); blank != std::string::npos) {
    fExeName = command.substr(0, blank);
    fExeArgs = pf::Trim(std::string_view(command).substr(blank + 1));
  } else {
    fExeName = command;
  }
  fExeFolder = pf::ExtractFilePath(fExeName);

  if (fFiles.empty()) throw EUpdaterError(Tr("EmptyFileList", {FileName}));

  Log(pf::Format("ExeName=\"%s\", ExeArgs=\"%s\"", {fExeName, fExeArgs}));
  Log(pf::Format("Update file count=%d", {static_cast<long long>(fFiles.size())}));
}

// --- TUpdateDialog: the run -------------------------------------------------------------

void TUpdateDialog::StartUpdate() {
  SetProgressMax(static_cast<std::uint32_t>(2 * fFiles.size()));
  Log("StartUpdate() begin");
  Log("Current product version is " + GetProductVersion());
  CleanupFolder(fBackupFolder);
  if (!Backup(fFiles, fExeFolder, fBackupFolder)) {
    ShowSoftFailure();
  } else {
    bool ok = InstallFiles(fFiles, fUpdateFolder, fExeFolder);
    // The version is read again: from the files just installed.
    if (ok) ok = UpdateVersionInfo(fExeFolder, GetProductVersion());
    if (ok) ok = CompleteUpdate(fExeName, fExeArgs);
    if (ok) {
      if (!RollbackMode) SaveBackupFileList();
      CleanupFolder(fUpdateFolder);
    } else {
      if (fHasBackup && Rollback(fBackupFolder, fExeFolder)) {
        ShowSoftFailure();
      } else if (fUpdatedFiles.empty()) {
        ShowSoftFailure();
      } else {
        CleanupFolder(fUpdateFolder);
        ShowHardFailure();
      }
      CleanupFolder(fBackupFolder);
    }
  }
  SetModalResult(kRunFinishedResult);
  Log("StartUpdate() exit");
}

void TUpdateDialog::ShowSoftFailure() {
  if (RollbackMode)
    MsgBox(fHandle, Tr("RestoreSoftFailure", {fExeTitle}), pf::MB_ICONERROR);
  else
    MsgBox(fHandle, Tr("UpdateSoftFailure", {fExeTitle, BoxCaption}), pf::MB_ICONERROR);
}

void TUpdateDialog::ShowHardFailure() {
  MsgBox(fHandle,
         Tr(RollbackMode ? "RestoreHardFailure" : "UpdateHardFailure", {fExeTitle, fExeTitle}),
         pf::MB_ICONERROR);
}

// --- steps of a run that this build does not have yet ----------------------------------
//
// Backup, install, rollback, folder cleanup, the product record and the launch
// arrive with the next part of the updater. Until then a run goes through its
// order with each of them failing visibly: the log says which step is missing,
// no file is touched, and the user sees the failure message of a run that
// changed nothing.

namespace {
void LogMissingStep(std::string_view step) {
  Log(pf::Format("%s: not available in this build of the updater; nothing was changed", {step}));
}
}  // namespace

void TUpdateDialog::CleanupFolder(const std::string& folder) {
  LogMissingStep(pf::Format("CleanupFolder(\"%s\")", {folder}));
}

bool TUpdateDialog::Backup(const TFileItems&, const std::string&, const std::string&) {
  LogMissingStep("Backup()");
  fHasBackup = false;
  return false;
}

bool TUpdateDialog::InstallFiles(const TFileItems&, const std::string&, const std::string&) {
  LogMissingStep("InstallFiles()");
  return false;
}

bool TUpdateDialog::Rollback(const std::string&, const std::string&) {
  LogMissingStep("Rollback()");
  return false;
}

bool TUpdateDialog::UpdateVersionInfo(const std::string&, const std::string&) {
  LogMissingStep("UpdateVersionInfo()");
  return false;
}

bool TUpdateDialog::CompleteUpdate(const std::string&, const std::string&) {
  LogMissingStep("CompleteUpdate()");
  return false;
}

void TUpdateDialog::SaveBackupFileList() {
  LogMissingStep("SaveBackupFileList()");
}

bool TUpdateDialog::UpdateUninstallRegKey(pf::RegRoot, const std::string&, const std::string&) {
  // The registry-only mode has no window and no log: the missing step can
  // only say so on standard error.
  std::fputs("TarvoUpdater: updating the uninstall record is not available in this build\n",
             stderr);
  return false;
}

// --- the program -------------------------------------------------------------------------

bool SameFolder(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  std::error_code ec;
  const bool same = std::filesystem::equivalent(a, b, ec);
  return !ec && same;
}

int RunUpdater(std::vector<std::string> params) {
  SetCommandLine(std::move(params));

  // 1. Mode and language, before anything is shown.
  RollbackMode = FindCmdLineSwitch("rollback");
  SetTranslatorClass(&CreateTranslatorOf<TTarvoResourceTranslator>);
  if (FindCmdLineSwitch("lang")) {
    const std::string language = GetCmdLineSwitchValue("lang");
    if (!language.empty()) Translator().SetLanguage(language);
  }

  // 2. Registry-only mode: no window, no log, no box.
  if (FindCmdLineSwitch("updatereg")) {
    const std::string key = DequotedStr(GetCmdLineSwitchValue("updatereg"));
    TUpdateDialog::UpdateUninstallRegKey(pf::RegRoot::LocalMachine, key, GetProductVersion());
    return 0;
  }

  // 3.
  BoxCaption = RollbackMode ? "Orvanta Rollback" : "Orvanta Update";
  UpdaterFolder = pf::ExecutableFolder();
  TestMode = pf::FileExists(UpdaterFolder + "version.dat");

  struct LogCloser {
    ~LogCloser() { CloseLog(); }
  } logCloser;

  // 4-5.
  auto dialog = TDialog::Create<TUpdateDialog>(nullptr, kProgressDialogTemplate);
  dialog->SetExeTitle(FindProductTitle(UpdaterFolder));
  const std::string title = dialog->ExeTitle();

  // 6.
  if (title.empty()) {
    MsgBox(0, Tr("NoTarvoApp", {UpdaterFolder}), pf::MB_ICONERROR);
    return 0;
  }

  // 7.
  DataFolder = GetDataFolder(title);
  OpenLog(DataFolder + "update.log", title, RollbackMode);

  // 8. A box that cannot be shown counts as Cancel: nobody can answer it, and
  // asking again would never end.
  std::uint32_t timeout = 5000;
  while (IsAppRunning(title, timeout)) {
    timeout = 0;
    const int answer = MsgBox(0, Tr("RunningApp", {title}), pf::MB_OKCANCEL | pf::MB_ICONWARNING);
    if (answer == pf::IDCANCEL || answer == 0) return 0;
  }

  // 9.
  FileListPath = DataFolder + (RollbackMode ? "Rollback/" : "Update/") + "FileList.$$$";

  // 10.
  try {
    if (!pf::FileExists(FileListPath)) throw EUpdaterError(Tr("FileNotFound", {FileListPath}));
    std::string text;
    const std::vector<std::string> lines = LoadListLines(FileListPath, &text);
    TFileItems& files = dialog->Files();
    files.clear();
    for (const auto& line : lines) files.push_back({line, 0});
    dialog->SetListText(std::move(text));
    dialog->ParseCmdLine(FileListPath);
  } catch (const std::exception& e) {
    MsgBox(0,
           Tr(RollbackMode ? "NoRollbackFiles" : "NoUpdateFiles", {title, std::string(e.what())}),
           pf::MB_ICONINFORMATION);
    return 0;
  }

  // 11.
  if (SameFolder(dialog->ExeFolder(), UpdaterFolder)) {
    if (RollbackMode && MsgBox(0, Tr("SureToRollback", {title}),
                               pf::MB_YESNO | pf::MB_ICONQUESTION | pf::MB_DEFBUTTON2) != pf::IDYES)
      return 0;
    dialog->SetBackupFolder(DataFolder + (RollbackMode ? "Update/" : "Rollback/"));
    dialog->SetUpdateFolder(DataFolder + (RollbackMode ? "Rollback/" : "Update/"));
    dialog->ShowModal();
  } else {
    MsgBox(0,
           Tr(RollbackMode ? "RollbackMismatch" : "UpdateMismatch",
              {title, UpdaterFolder, dialog->ExeFolder()}),
           pf::MB_ICONERROR);
  }
  // 12. The dialog goes first, then the log closes.
  dialog.reset();
  return 0;
}

}  // namespace tarvo::updater
