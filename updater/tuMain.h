// The update run: the progress dialog, the modification list it carries out,
// and the start-up of the program in its three modes.
//
// RunUpdater is the whole program: it reads the command line, finds the
// installed product beside the updater, waits for it to end, loads and checks
// the modification list, asks what must be asked and runs the update (or the
// rollback) inside the modal progress window. Every dialogue with the user is
// a message box through MsgBox (updater/tuUtils.h) and is logged.
//
// Threads: one. The dialog runs on the thread that calls ShowModal, which must
// be the UI thread of platform::MessageQueue::UI() (the program's main thread).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/core/Resources.h"
#include "platform/system/Dialogs.h"
#include "platform/system/MessageQueue.h"
#include "platform/system/Registry.h"

namespace tarvo::updater {

// Errors raised while the list is loaded and checked; their message is shown
// to the user inside NoUpdateFiles / NoRollbackFiles.
class EUpdaterError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The progress dialog's template and the result StartUpdate closes it with.
inline constexpr int kProgressDialogTemplate = 101;
inline constexpr int kStatusControlId = 1000;
inline constexpr int kProgressControlId = 1001;
inline constexpr int kRunFinishedResult = 8;

// The window messages the dialog procedure handles, with their Windows numbers.
inline constexpr std::uint32_t WM_ACTIVATE = 0x0006, WM_WINDOWPOSCHANGED = 0x0047,
                               WM_INITDIALOG = 0x0110, WM_COMMAND = 0x0111;
inline constexpr std::uintptr_t SWP_SHOWWINDOW = 0x0040;

// A modal dialog built from a template. On this platform the template's
// window is a platform::ProgressWindow (caption, status line, progress bar)
// and its messages run through platform::MessageQueue::UI().
//
// Two-phase creation: Create<T>() constructs, then calls DoCreate, so that a
// derived class's DoCreate runs (a constructor cannot call an override).
class TDialog {
 public:
  using WindowFactory = std::function<std::unique_ptr<platform::ProgressWindow>()>;

  template <class T>
  static std::unique_ptr<T> Create(platform::ModuleHandle aInstance, int aTemplate) {
    std::unique_ptr<T> dialog(new T(aInstance, aTemplate));
    dialog->DoCreate();
    return dialog;
  }
  virtual ~TDialog();
  TDialog(const TDialog&) = delete;
  TDialog& operator=(const TDialog&) = delete;

  // Creates the window, runs the dialog until ModalResult is set and destroys
  // the window; returns the modal result. The window gets WM_INITDIALOG (then
  // DoInitDialog), then WM_WINDOWPOSCHANGED with the show flag (then DoShow).
  int ShowModal();

  int ModalResult() const noexcept { return fModalResult; }
  // Setting a non-zero result ends the dialog when control returns to its loop.
  void SetModalResult(int value) noexcept { fModalResult = value; }
  std::string Caption() const;
  void SetCaption(const std::string& value);
  platform::WindowHandle Handle() const noexcept { return fHandle; }

  // The dialog procedure: WM_INITDIALOG, WM_ACTIVATE, WM_WINDOWPOSCHANGED with
  // the show flag, WM_COMMAND with IDOK/IDCANCEL. Answers whether it handled
  // the message.
  bool DialogProc(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

  // How windows are made: platform::CreateProgressWindow() unless replaced
  // (tests give a platform::SilentProgressWindow to look at). nullptr restores it.
  static void SetWindowFactory(WindowFactory factory);

 protected:
  TDialog(platform::ModuleHandle aInstance, int aTemplate);
  virtual void DoCreate() {}
  virtual void DoInitDialog() {}
  virtual void DoShow() {}
  // The window while the dialog runs; nullptr otherwise.
  platform::ProgressWindow* Window() const noexcept { return fWindow.get(); }

  platform::WindowHandle fHandle = 0;
  platform::ModuleHandle fDlgInstance = nullptr;
  int fDlgTemplate = 0;
  int fModalResult = 0;

 private:
  std::unique_ptr<platform::ProgressWindow> fWindow;
  std::string fCaption;
};

// One entry of the modification list: a path relative to the program folder
// (with "/" separators, checked) and its operation.
struct TFileItem {
  std::string path;
  int op = 0;  // 0 = delete, 1 = update
};
inline constexpr int kOpDelete = 0, kOpUpdate = 1;

using TFileItems = std::vector<TFileItem>;

class TUpdateDialog : public TDialog {
 public:
  // Validates the lines loaded into Files() from FileName (the raw lines, op
  // unset), logs the list text given by ListText, and leaves Files() holding
  // the entries with their operations and ExeName/ExeArgs/ExeFolder set.
  // Throws EUpdaterError with the translated message:
  //   InvalidFileList  a line after the first that is not "U x"/"D x" with a
  //                    capital letter and more than two characters, or whose
  //                    path is absolute, has a drive or UNC prefix, climbs out
  //                    with "..", or holds control characters;
  //   BadFileList      no line left at all;
  //   EmptyFileList    only the target command is left.
  // Blank lines and lines naming the updater itself are dropped silently.
  void ParseCmdLine(const std::string& FileName);

  // Records Version as "DisplayVersion" of the uninstall record RegKey under
  // RootKey (also the registry-only mode). False, logging nothing, when RegKey
  // is empty or the key cannot be opened for writing; false with a log line
  // when the write fails.
  static bool UpdateUninstallRegKey(platform::RegRoot RootKey, const std::string& RegKey,
                                    const std::string& Version);

  // The order of a run: backup, journal, install, version record, launch,
  // backup list, and the final message; run by DoShow. A failed install or
  // launch is undone from the backup; when the undo fails the backup folder
  // is kept (it holds the only copies of the replaced files).
  void StartUpdate();
  void ShowSoftFailure();
  void ShowHardFailure();

  void SetStatus(const std::string& text);
  void SetProgressMax(std::uint32_t n);
  void SetProgressPos(std::uint32_t n);
  void ProcessMessages();

  // Published properties.
  const std::string& BackupFolder() const noexcept { return fBackupFolder; }
  void SetBackupFolder(std::string v) { fBackupFolder = std::move(v); }
  const std::string& UpdateFolder() const noexcept { return fUpdateFolder; }
  void SetUpdateFolder(std::string v) { fUpdateFolder = std::move(v); }
  const std::string& ExeTitle() const noexcept { return fExeTitle; }
  // Appends " (test)" in TestMode (to a title that is not empty: an empty
  // title means no product, and must stay so).
  void SetExeTitle(const std::string& value);
  const std::string& ExeFolder() const noexcept { return fExeFolder; }
  void SetExeFolder(std::string v) { fExeFolder = std::move(v); }
  TFileItems& Files() noexcept { return fFiles; }
  const std::string& ExeName() const noexcept { return fExeName; }
  const std::string& ExeArgs() const noexcept { return fExeArgs; }
  // The text of the list as loaded, for the log.
  void SetListText(std::string text) { fListText = std::move(text); }

  bool HasBackup() const noexcept { return fHasBackup; }
  const std::vector<std::string>& BackupedFiles() const noexcept { return fBackupedFiles; }
  const std::vector<std::string>& UpdatedFiles() const noexcept { return fUpdatedFiles; }
  std::uint32_t ProgressPos() const noexcept { return fProgressPos; }
  std::uint32_t ProgressMax() const noexcept { return fProgressMax; }

 protected:
  friend class TDialog;
  using TDialog::TDialog;
  void DoCreate() override;
  void DoInitDialog() override;
  void DoShow() override;

  // The steps of a run. Backup and InstallFiles keep, per entry, whether its
  // file was absent before the run, saved, and applied; Rollback and
  // SaveBackupFileList decide from those flags, never by comparing names (two
  // names that differ only in letter case are two files here).
  //
  // CleanupFolder logs and empties a folder's files (DeleteFolderFiles),
  // keeping its subfolders; symbolic links are removed, never followed.
  void CleanupFolder(const std::string& folder);
  bool Backup(const TFileItems& files, const std::string& exeFolder,
              const std::string& backupFolder);
  bool InstallFiles(const TFileItems& files, const std::string& updateFolder,
                    const std::string& exeFolder);
  bool Rollback(const std::string& backupFolder, const std::string& exeFolder);
  bool UpdateVersionInfo(const std::string& folder, const std::string& version);
  bool CompleteUpdate(const std::string& exeName, const std::string& exeArgs);
  void SaveBackupFileList();
  // The words of the messages: "Update"/"Rollback" and "updating"/"restoring".
  static std::string UtilityName();
  // Starts file with parameters in its own folder; waits up to 10 s for an
  // exit code 0 when wait is set. False with platform::GetLastError() set
  // when it could not be started.
  static bool ExecuteProgram(platform::WindowHandle owner, const std::string& file,
                             const std::string& parameters, bool wait, bool elevated);
  void UpdateWhatsNew();
  // The run's journal: written before the install step begins, it tells a
  // later start which files to bring back from the backup (saved entries) and
  // which to delete (entries known to have been absent) should this process
  // die before the run ends. Removed when the run ends in any way it reports.
  void WriteJournal();

 private:
  // What the run knows about one applied entry: its path and whether a copy
  // of its earlier file is in the backup folder.
  struct TApplied {
    std::string path;
    bool backedUp = false;
  };
  std::vector<TApplied> fApplied;
  // Relative paths (exact spelling) whose file was saved, and whose file was
  // found absent, by Backup.
  std::vector<std::string> fSavedPaths;
  std::vector<std::string> fAbsentPaths;

  bool fHasBackup = false;
  std::vector<std::string> fBackupedFiles;
  std::vector<std::string> fUpdatedFiles;
  platform::ProgressWindow* fProgress = nullptr;  // control 1001
  platform::ProgressWindow* fStatus = nullptr;    // control 1000
  std::uint32_t fProgressPos = 0;
  std::uint32_t fProgressMax = 0;
  std::string fBackupFolder;
  std::string fUpdateFolder;
  TFileItems fFiles;
  std::string fExeTitle;
  std::string fExeFolder;
  std::string fExeArgs;
  std::string fExeName;
  std::string fListText;
};

// Two folders are the same when they are the same folder on disk (device and
// inode), whatever the letter case or spelling of their paths; false when
// either does not exist.
bool SameFolder(const std::string& a, const std::string& b);

// The journal of an interrupted run, in the data folder.
std::string JournalPath();
// Undoes an interrupted run recorded in the journal, if there is one: logs
// every step and tells the user through a box. The journal is untrusted (the
// data folder is shared): a folder that is not the updater's own program
// folder or one of the data folder's two working folders, or a path that is
// absolute or climbs out, makes it void. The journal is removed when the undo
// worked or the journal is void; kept otherwise, so that the next start tries
// again.
void RecoverInterruptedRun(const std::string& title);

// Test hook: with TARVO_UPDATER_KILL_AFTER=n in the environment, the process
// kills itself (SIGKILL) after its n-th file operation of backup, install or
// undo, as a crash or a power loss would end it.
void CountFileOperation();

// The program: params[0] is the program, the rest its parameters. Returns the
// exit code: 0 on every path of a run; in the registry-only mode ("updatereg")
// 1 when the record could not be written, so that the updater that started it
// and waits for it can tell.
int RunUpdater(std::vector<std::string> params);

}  // namespace tarvo::updater
