#include "updater/tuMain.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>

#include "platform/core/CodePage.h"
#include "platform/core/Errors.h"
#include "platform/core/Files.h"
#include "platform/core/Format.h"
#include "platform/core/Text.h"
#include "platform/system/KernelObjects.h"
#include "platform/system/Process.h"
#include "updater/ExtUtils.h"
#include "updater/Translate.h"
#include "updater/tuTexts.h"
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
    WriteJournal();
    bool ok = InstallFiles(fFiles, fUpdateFolder, fExeFolder);
    // The version is read again: from the files just installed.
    if (ok) ok = UpdateVersionInfo(fExeFolder, GetProductVersion());
    bool launchFailed = false;
    if (ok) launchFailed = !(ok = CompleteUpdate(fExeName, fExeArgs));
    if (ok) {
      if (!RollbackMode) SaveBackupFileList();
      CleanupFolder(fUpdateFolder);
    } else {
      // Once the files are back (or none was changed) the journal must go
      // before the backup is emptied: a journal whose saved files are gone
      // could never be undone again.
      if (fHasBackup && Rollback(fBackupFolder, fExeFolder)) {
        pf::DeleteFile(JournalPath());
        // A launch failure comes after the record and "whatsnew.txt" were
        // changed: they follow the files back.
        if (launchFailed) {
          UpdateVersionInfo(fExeFolder, GetProductVersion());
          const bool rollbackMode = RollbackMode;
          RollbackMode = true;
          UpdateWhatsNew();
          RollbackMode = rollbackMode;
        }
        ShowSoftFailure();
        CleanupFolder(fBackupFolder);
      } else if (fUpdatedFiles.empty()) {
        pf::DeleteFile(JournalPath());
        ShowSoftFailure();
        CleanupFolder(fBackupFolder);
      } else {
        CleanupFolder(fUpdateFolder);
        // The program folder is inconsistent: the saved files are the only
        // copies of what was there, so they stay.
        Log(pf::Format("The saved files are kept in \"%s\"", {fBackupFolder}));
        ShowHardFailure();
      }
    }
  }
  // The run ended and the user was told how: nothing is left to recover
  // (after a failed undo the user is told to re-install).
  pf::DeleteFile(JournalPath());
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

// --- backup, install and rollback ---------------------------------------------------

namespace {

constexpr std::size_t kCopyBlock = 1024 * 1024;

bool Contains(const std::vector<std::string>& list, const std::string& path) {
  for (const auto& p : list)
    if (p == path) return true;
  return false;
}

// Clears read-only and hidden when they are set, keeping the other bits.
void ClearFileAttributes(const std::string& path) {
  if (!pf::PathExists(path)) return;
  if (pf::IsReadOnly(path)) pf::SetReadOnly(path, false);
  pf::SetHidden(path, false);
}

// The backup copy: contents in 1 MiB blocks, then the source's permission
// bits (an executable restored without its execute bit could not start),
// never set-id bits nor write bits for others. The error is not shown; the
// caller reads platform::GetLastError().
bool CopyFileContents(const std::string& source, const std::string& target) {
  pf::FileStream in;
  if (!in.Open(source, pf::FileStream::Mode::Read)) return false;
  pf::FileStream out;
  if (!out.Open(target, pf::FileStream::Mode::CreateNew)) return false;
  std::vector<char> block(kCopyBlock);
  for (;;) {
    const long long n = in.Read(block.data(), block.size());
    if (n < 0) return false;
    if (n == 0) break;
    if (!out.Write(block.data(), static_cast<std::size_t>(n))) return false;
  }
  if (!out.Flush()) return false;
  out.Close();
  std::error_code ec;
  const auto status = std::filesystem::status(source, ec);
  if (ec) {
    pf::SetLastError(pf::ErrorFromErrno(ec.value()));
    return false;
  }
  const auto bits = status.permissions() & static_cast<std::filesystem::perms>(0755);
  std::filesystem::permissions(target, bits, std::filesystem::perm_options::replace, ec);
  if (ec) {
    pf::SetLastError(pf::ErrorFromErrno(ec.value()));
    return false;
  }
  return true;
}

std::string ModeWord() {
  return Tr(RollbackMode ? "ModeRestore" : "ModeUpdate");
}

long long Num(std::uint32_t v) {
  return static_cast<long long>(v);
}

// Deletes the files of a folder and of its subfolders, keeping the folders.
// A symbolic link is removed as an entry of its own, never followed.
void DeleteFolderFiles(const std::string& folder) {
  const std::string base = pf::IncludeTrailingPathDelimiter(folder);
  for (const auto& entry : pf::ListFiles(base)) {
    const std::string path = base + entry.name;
    if (entry.isDirectory && !entry.isLink) {
      DeleteFolderFiles(path);
      continue;
    }
    const std::uint32_t code = pf::DeleteFile(path) ? 0 : pf::GetLastError();
    Log(pf::Format("Deleting file \"%s\": %u", {path, Num(code)}));
  }
  Log(pf::Format("Folder \"%s\" cleaned", {folder}));
}

}  // namespace

std::string TUpdateDialog::UtilityName() {
  return RollbackMode ? Tr("RollbackUtility") : Tr("UpdateUtility");
}

void TUpdateDialog::CleanupFolder(const std::string& folder) {
  Log(pf::Format("CleanupFolder(\"%s\") begin", {folder}));
  DeleteFolderFiles(folder);
  Log("CleanupFolder() exit");
}

bool TUpdateDialog::Backup(const TFileItems& files, const std::string& from,
                           const std::string& to) {
  Log(pf::Format("Backup(FileList, \"%s\", \"%s\") begin", {from, to}));
  bool result = true;
  fHasBackup = true;
  for (const auto& item : files) {
    SetStatus(Tr("Backuping", {item.path}));
    SetProgressPos(fProgressPos + 1);
    ProcessMessages();
    const std::string source = from + item.path;
    const std::string target = to + item.path;
    if (!pf::PathExists(source)) {
      const std::uint32_t why = pf::GetLastError();
      Log(pf::Format("File \"%s\" does not exist, skipped", {source}));
      // Only a file known to be absent may be deleted by an undo; one that
      // could not be looked at is not known to be absent.
      if (why == pf::ERROR_FILE_NOT_FOUND || why == pf::ERROR_PATH_NOT_FOUND)
        fAbsentPaths.push_back(item.path);
      continue;
    }
    Log(pf::Format("Backuping file \"%s\" -> \"%s\"", {source, target}));
    bool ok = false;
    const std::string folder = pf::ExtractFilePath(target);
    if (!pf::ForceDirectories(folder)) {
      Log(pf::Format("Failed to create folder \"%s\"", {folder}));
    } else {
      ClearFileAttributes(target);
      pf::DeleteFile(target);
      ok = CopyFileContents(source, target);
    }
    CountFileOperation();
    if (!ok) {
      const std::uint32_t code = pf::GetLastError();
      fHasBackup = false;
      result = MsgBox(fHandle, Tr("BackupFailed", {source, Num(code), pf::SysErrorMessage(code)}),
                      pf::MB_YESNO | pf::MB_ICONWARNING) == pf::IDYES;
      break;
    }
    fBackupedFiles.push_back(item.path);
    fSavedPaths.push_back(item.path);
  }
  SetProgressPos(static_cast<std::uint32_t>(files.size()));
  Log(pf::Format("Backup() exit: %d", {result ? 1 : 0}));
  return result;
}

bool TUpdateDialog::InstallFiles(const TFileItems& files, const std::string& from,
                                 const std::string& to) {
  Log(pf::Format("InstallFiles(FileList, \"%s\", \"%s\") begin", {from, to}));
  if (files.empty()) {
    Log("InstallFiles() exit: 1");
    return true;
  }
  for (const auto& item : files) {
    const bool update = item.op == kOpUpdate;
    const std::string source = from + item.path;
    const std::string target = to + item.path;
    SetStatus(Tr(update ? "CopyingFile" : "DeletingFile", {item.path}));
    SetProgressPos(fProgressPos + 1);
    ProcessMessages();
    if (update)
      Log(pf::Format("Copying file \"%s\" -> \"%s\"", {source, target}));
    else
      Log(pf::Format("Deleting file \"%s\"", {target}));
    if (update && !pf::FileExists(source)) {
      MsgBox(fHandle, Tr("SourceFileMissing", {ModeWord(), fExeTitle, source}), pf::MB_ICONWARNING);
      Log("InstallFiles() exit: 0");
      return false;
    }
    for (;;) {
      std::uint32_t code = 0;
      if (update) {
        const std::string folder = pf::ExtractFilePath(target);
        if (!pf::ForceDirectories(folder)) {
          code = pf::GetLastError();
          Log(pf::Format("Failed to create folder \"%s\"", {folder}));
        } else {
          ClearFileAttributes(target);
          // No delete first: the copy goes to a temporary file beside the
          // target and is renamed over it, so a failed copy (or a lost
          // power supply) leaves the old file in place.
          if (!pf::CopyFile(source, target, false)) code = pf::GetLastError();
          CountFileOperation();
        }
      } else {
        // A target that is not there counts as deleted (a dangling link is
        // there, and is removed).
        ClearFileAttributes(target);
        if (!pf::DeleteFile(target)) {
          const std::uint32_t e = pf::GetLastError();
          if (e != pf::ERROR_FILE_NOT_FOUND && e != pf::ERROR_PATH_NOT_FOUND) code = e;
        }
        CountFileOperation();
      }
      if (code == 0) break;

      std::string hint;
      switch (code) {
        case 5:
        case 19:
          hint = Tr("AccessDeniedHint", {UtilityName(), fExeTitle});
          break;
        case 32:
        case 33:
          hint = Tr("FileLockedHint");
          break;
        case 39:
        case 112: {
          std::string drive = to.empty() ? std::string() : to.substr(0, 1);
          if (!drive.empty() && drive[0] >= 'a' && drive[0] <= 'z') drive[0] -= 'a' - 'A';
          hint = Tr("DiskFullHint", {drive});
          break;
        }
        default:
          break;
      }
      std::string text =
          Tr("CopyError", {ModeWord(), fExeTitle, Tr(update ? "FileOpUpdate" : "FileOpDelete"),
                           target, Num(code), pf::SysErrorMessage(code)});
      if (!hint.empty()) text += "\r\n\r\n" + hint;
      if (MsgBox(fHandle, text, pf::MB_RETRYCANCEL | pf::MB_ICONWARNING) != pf::IDRETRY) {
        Log("InstallFiles() exit: 0");
        return false;
      }
    }
    fUpdatedFiles.push_back(item.path);
    fApplied.push_back({item.path, Contains(fSavedPaths, item.path)});
  }
  Log("InstallFiles() exit: 1");
  return true;
}

bool TUpdateDialog::Rollback(const std::string& from, const std::string& to) {
  Log(pf::Format("Rollback(\"%s\", \"%s\") begin", {from, to}));
  bool result = true;
  SetStatus(Tr("RollingBack"));
  SetProgressPos(fProgressMax);
  ProcessMessages();
  for (const auto& applied : fApplied) {
    const std::string target = to + applied.path;
    bool ok = true;
    if (!applied.backedUp) {
      Log(pf::Format("Rolling back file \"%s\", DELETE", {target}));
      if (pf::PathExists(target)) {
        ClearFileAttributes(target);
        ok = pf::DeleteFile(target) || pf::GetLastError() == pf::ERROR_FILE_NOT_FOUND;
      }
    } else {
      const std::string source = from + applied.path;
      Log(pf::Format("Rolling back file \"%s\" -> \"%s\"", {source, target}));
      ClearFileAttributes(target);
      // Copied over the target (temporary file and rename): the applied
      // file stays until the saved one is completely in place.
      ok = pf::CopyFile(source, target, false);
    }
    CountFileOperation();
    if (!ok) {
      const std::uint32_t code = pf::GetLastError();
      Log(pf::Format("Error %d: %s", {Num(code), pf::SysErrorMessage(code)}));
      result = false;
      break;
    }
  }
  Log(pf::Format("Rollback() exit: %d", {result ? 1 : 0}));
  return result;
}

void TUpdateDialog::SaveBackupFileList() {
  // A "D " line deletes the file when the list is rolled back: it may name
  // only a file known to have been absent before this run. Without a
  // complete backup that is not known for every entry, and a list that
  // deleted what it never saved would destroy the user's files.
  if (!fHasBackup) {
    Log("Error saving backup file-list: the backup is incomplete, no rollback is possible");
    return;
  }
  try {
    std::vector<std::string> lines;
    lines.push_back(FormatTargetCommand(fExeName, fExeArgs));
    for (const auto& applied : fApplied) {
      if (applied.backedUp) {
        lines.push_back("U " + applied.path);
      } else if (Contains(fAbsentPaths, applied.path)) {
        lines.push_back("D " + applied.path);
      } else {
        Log("Error saving backup file-list: no saved copy of \"" + applied.path + "\"");
        return;
      }
    }
    if (!pf::ForceDirectories(fBackupFolder)) {
      Log("Error saving backup file-list: can't create folder: " + fBackupFolder);
      return;
    }
    const std::string path = fBackupFolder + "FileList.$$$";
    SaveListLines(path, lines);
    std::string text;
    for (const auto& line : lines) text += line + "\r\n";
    Log(pf::Format("Backup file-list saved into \"%s\":\r\n", {path}) + text);
  } catch (const std::exception& e) {
    Log(std::string("Error saving backup file-list: ") + e.what());
  }
}

// --- product record, elevation and launch ----------------------------------------------

namespace {

constexpr std::string_view kUninstallKey =
    "\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

bool SameAsciiText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x += 'a' - 'A';
    if (y >= 'A' && y <= 'Z') y += 'a' - 'A';
    if (x != y) return false;
  }
  return true;
}

std::optional<std::string> FindProductKey(pf::RegRoot root, const std::string& folder) {
  const std::string rootName = pf::RegRootName(root);
  try {
    std::vector<std::string> names;
    if (auto key = pf::RegistryKey::Open(root, kUninstallKey, pf::RegAccess::Read))
      names = key->SubKeyNames();
    for (const auto& name : names) {
      auto sub = pf::RegistryKey::Open(root, std::string(kUninstallKey) + "\\" + name,
                                       pf::RegAccess::Read);
      if (!sub) continue;
      const std::string location = sub->ReadString("InstallLocation").value_or("");
      if (SameAsciiText(location, folder)) {
        Log(pf::Format("UpdateVersionInfo(%s) found product in registry %s", {rootName, name}));
        return name;
      }
    }
    Log(pf::Format("UpdateVersionInfo(%s) didn't find product in registry", {rootName}));
  } catch (const std::exception& e) {
    Log(pf::Format("UpdateVersionInfo(%s) failed to find product in registry: %s",
                   {rootName, std::string(e.what())}));
  }
  return std::nullopt;
}

std::string QuotedStr(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

}  // namespace

bool TUpdateDialog::UpdateUninstallRegKey(pf::RegRoot RootKey, const std::string& RegKey,
                                          const std::string& Version) {
  if (RegKey.empty()) return false;
  const std::string rootName = pf::RegRootName(RootKey);
  try {
    auto key = pf::RegistryKey::Open(RootKey, std::string(kUninstallKey) + "\\" + RegKey,
                                     pf::RegAccess::Write);
    if (!key) return false;
    key->WriteString("DisplayVersion", Version);
    Log(pf::Format("UpdateVersionInfo(%s) set product version in registry to %s",
                   {rootName, Version}));
    return true;
  } catch (const std::exception& e) {
    Log(pf::Format("UpdateVersionInfo(%s) failed to update registry: %s",
                   {rootName, std::string(e.what())}));
    return false;
  }
}

bool TUpdateDialog::UpdateVersionInfo(const std::string& folder, const std::string& version) {
  if (auto key = FindProductKey(pf::RegRoot::CurrentUser, folder)) {
    UpdateUninstallRegKey(pf::RegRoot::CurrentUser, *key, version);
  } else if (auto machineKey = FindProductKey(pf::RegRoot::LocalMachine, folder);
             machineKey &&
             !UpdateUninstallRegKey(pf::RegRoot::LocalMachine, *machineKey, version)) {
    if (MsgBox(fHandle, Tr("ElevationNeeded", {UtilityName(), fExeTitle}),
               pf::MB_YESNO | pf::MB_ICONQUESTION, pf::IDYES) == pf::IDYES) {
      if (ExecuteProgram(fHandle, pf::ExecutablePath(),
                         "-elevated -updatereg " + QuotedStr(*machineKey), true, true))
        Log(pf::Format(
            "UpdateVersionInfo(HKEY_LOCAL_MACHINE) set product version in registry to %s",
            {version}));
      else
        Log("UpdateVersionInfo(HKEY_LOCAL_MACHINE) failed to update registry");
    }
  }
  return true;
}

bool TUpdateDialog::ExecuteProgram(pf::WindowHandle, const std::string& file,
                                   const std::string& parameters, bool wait, bool elevated) {
  auto process = pf::LaunchProcess({file, parameters, pf::ExtractFilePath(file), elevated});
  if (!process) return false;
  if (!wait) return true;
  if (process->Wait(10000) != pf::WaitResult::Signaled) {
    pf::SetLastError(pf::ERROR_TIMEOUT);
    return false;
  }
  const auto code = process->ExitCode();
  return code && *code == 0;
}

void TUpdateDialog::UpdateWhatsNew() {
  try {
    const std::string path = GetDataFolder(fExeTitle) + "whatsnew.txt";
    std::vector<std::string> lines;
    if (pf::FileExists(path)) lines = LoadListLines(path);
    std::vector<std::string> kept;
    for (const auto& line : lines)
      if (!pf::SameText(pf::Trim(line), fExeName)) kept.push_back(line);
    if (!RollbackMode) kept.push_back(fExeName);
    if (kept.empty())
      pf::DeleteFile(path);
    else
      SaveListLines(path, kept);
  } catch (const std::exception&) {
    // The list is a courtesy to the terminal; it never changes the run.
  }
}

bool TUpdateDialog::CompleteUpdate(const std::string& exeName, const std::string& exeArgs) {
  UpdateWhatsNew();
  if (RollbackMode) {
    MsgBox(fHandle, Tr("RollbackOk", {fExeTitle}), pf::MB_ICONINFORMATION);
    return true;
  }
  if (FindCmdLineSwitch("nonelevated")) {
    SetStatus(Tr("LaunchingApp", {fExeTitle}));
    if (ExecuteProgram(fHandle, exeName, exeArgs, false, false)) {
      Log(pf::Format("Launched \"%s\" %s", {exeName, exeArgs}));
      return true;
    }
    const std::uint32_t code = pf::GetLastError();
    MsgBox(fHandle, Tr("LaunchFailure", {fExeTitle, Num(code), pf::SysErrorMessage(code), exeName}),
           pf::MB_ICONWARNING);
    return false;
  }
  MsgBox(fHandle, Tr("UpdatedOk", {fExeTitle}), pf::MB_ICONINFORMATION);
  return true;
}

// --- the journal of a run --------------------------------------------------------------

namespace {

constexpr std::string_view kJournalHeader = "TarvoUpdater journal 1";

}  // namespace

std::string JournalPath() {
  return DataFolder + "Journal.$$$";
}

void CountFileOperation() {
  static const long limit = [] {
    const char* v = std::getenv("TARVO_UPDATER_KILL_AFTER");
    return v ? std::atol(v) : 0L;
  }();
  static long count = 0;
  if (limit > 0 && ++count == limit) std::raise(SIGKILL);
}

void TUpdateDialog::WriteJournal() {
  // Only what is known goes in: a saved file comes back from the backup, a
  // file known to have been absent is deleted. An entry whose file was not
  // saved (an incomplete backup) cannot be undone and is left alone.
  std::string text = std::string(kJournalHeader) + "\n";
  text += "E " + fExeFolder + "\n";
  text += "B " + fBackupFolder + "\n";
  for (const auto& path : fSavedPaths) text += "U " + path + "\n";
  for (const auto& path : fAbsentPaths) text += "D " + path + "\n";
  if (!pf::WriteFileAtomic(JournalPath(), text, 0644))
    Log(pf::Format("Failed to write the journal \"%s\": %s",
                   {JournalPath(), pf::SysErrorMessage(pf::GetLastError())}));
}

void RecoverInterruptedRun(const std::string& title) {
  const std::string path = JournalPath();
  if (!pf::FileExists(path)) return;
  Log(pf::Format("Interrupted run found in \"%s\"", {path}));
  const auto bytes = pf::ReadFileBytes(path);
  std::vector<std::string> lines =
      bytes ? pf::SplitString(*bytes, '\n') : std::vector<std::string>{};
  std::string exeFolder, backupFolder;
  bool valid = lines.size() >= 3 && lines[0] == kJournalHeader && lines[1].starts_with("E ") &&
               lines[2].starts_with("B ");
  if (valid) {
    exeFolder = lines[1].substr(2);
    backupFolder = lines[2].substr(2);
    valid = SameFolder(exeFolder, UpdaterFolder) && !exeFolder.empty() && exeFolder.back() == '/' &&
            (backupFolder == DataFolder + "Rollback/" || backupFolder == DataFolder + "Update/");
  }
  struct Step {
    bool restore;
    std::string path;
  };
  std::vector<Step> steps;
  for (std::size_t i = 3; valid && i < lines.size(); ++i) {
    if (lines[i].empty()) continue;
    const auto relative = pf::SanitizeRelativePath(std::string_view(lines[i]).substr(2));
    if (lines[i].size() < 3 || (lines[i][0] != 'U' && lines[i][0] != 'D') || lines[i][1] != ' ' ||
        !relative) {
      valid = false;
      break;
    }
    steps.push_back({lines[i][0] == 'U', *relative});
  }
  if (!valid) {
    Log("The journal is damaged or not this program's; it is removed and nothing is undone");
    pf::DeleteFile(path);
    return;
  }
  bool ok = true;
  for (const auto& step : steps) {
    const std::string target = exeFolder + step.path;
    bool done;
    if (step.restore) {
      Log(pf::Format("Rolling back file \"%s\" -> \"%s\"", {backupFolder + step.path, target}));
      done = pf::CopyFile(backupFolder + step.path, target, false);
    } else {
      Log(pf::Format("Rolling back file \"%s\", DELETE", {target}));
      done = pf::DeleteFile(target) || pf::GetLastError() == pf::ERROR_FILE_NOT_FOUND ||
             pf::GetLastError() == pf::ERROR_PATH_NOT_FOUND;
    }
    if (!done) {
      const std::uint32_t code = pf::GetLastError();
      Log(pf::Format("Error %d: %s", {static_cast<long long>(code), pf::SysErrorMessage(code)}));
      ok = false;
    }
  }
  if (ok) {
    // A rollback list saved by the interrupted run describes an update that
    // is no longer there.
    pf::DeleteFile(backupFolder + "FileList.$$$");
    pf::DeleteFile(path);
    Log("Interrupted run undone");
    MsgBox(0,
           TranslateFmt(kTextSection, "InterruptedRunUndone",
                        "The last update of \"%s\" was interrupted.\r\n\r\nThe files it had "
                        "changed were restored.",
                        {title}),
           pf::MB_ICONINFORMATION);
  } else {
    Log("Interrupted run could not be undone; the journal is kept");
    MsgBox(0,
           TranslateFmt(kTextSection, "InterruptedRunFailed",
                        "The last update of \"%s\" was interrupted and could not be undone.\r\n\r\n"
                        "WARNING: application state is inconsistent!\r\nRE-INSTALL \"%0:s\".",
                        {title}),
           pf::MB_ICONERROR);
  }
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
    // The parent waits for this exit code: a failed write must not read as
    // success there.
    return TUpdateDialog::UpdateUninstallRegKey(pf::RegRoot::LocalMachine, key, GetProductVersion())
               ? 0
               : 1;
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

  // 7. One updater at a time per data folder: two would interleave their
  // files, their lists and their log. The lock comes before the log, which
  // the run rewrites when it opens it.
  DataFolder = GetDataFolder(title);
  pf::NamedMutex runLock = pf::NamedMutex::Create("TarvoUpdater " + DataFolder);
  if (runLock.Valid() && runLock.Wait(0) == pf::WaitResult::Timeout) {
    MsgBox(
        0,
        TranslateFmt(kTextSection, "UpdateInProgress",
                     "An update of \"%s\" is already running.\r\n\r\nWait until it ends.", {title}),
        pf::MB_ICONWARNING);
    return 0;
  }
  struct LockReleaser {
    pf::NamedMutex& m;
    // The log is closed while the lock is held: the next updater rewrites
    // it when it opens it.
    ~LockReleaser() {
      CloseLog();
      if (m.Valid()) m.Release();
    }
  } lockReleaser{runLock};
  OpenLog(DataFolder + "update.log", title, RollbackMode);
  if (!runLock.Valid()) Log("Failed to take the updater's lock on the data folder");

  // A run that ended by a crash or a power loss is undone first.
  RecoverInterruptedRun(title);

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
