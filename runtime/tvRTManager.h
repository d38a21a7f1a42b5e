// The runtime manager: checks for the runtime, installs it when it is
// missing, and tells its listeners the outcome on the UI thread.
//
//   auto setup = std::make_shared<TWebViewRuntimeSetup>();
//   setup->SetLocalFolder(LocalAppDataFolder() + "/Orvanta/WebView2Setup");
//   TWebViewRuntimeManager manager(setup);
//   manager.Init(THttpRuntimeDownloader::Class());
//   manager.Install([](bool success, const ERuntimeManagerErrorPtr& reason) {
//     if (!success) ShowError(reason->Message());
//   });
//
// States. A manager is idle or installing. Install takes it to installing
// (an atomic flag; a second Install meanwhile only adds its listener and
// gets the running installation's outcome); installing passes through
// downloading (a downloader exists and its request is in flight) and running
// the setup program (on a worker thread of its own), either of which may be
// skipped; InstallDone cleans the download folder (on the worker when there is
// one) and returns the manager to idle on the UI thread, right before the
// listeners are told and the list emptied; so a listener added meanwhile
// always hears the outcome of the installation it joined.
//
// Outcome. Listeners get Success and, when it is false, the reason (code and
// final text, see TuneMessage). A run that succeeds has no reason; each new
// installation starts without one, so a failure of an earlier run never turns
// a later success into a failure.
//
// The setup program is started by its absolute path in the download folder,
// with the setup's Params, in that folder, and waited for at most
// InstallTimeout (10 minutes); exit code 0 is success. A program that
// outlives the time-out is left running. When the setup names a SHA-256
// digest, the file must match it before it is run; a file that does not is
// deleted and the run fails with "error.download".
//
// Threads. Every call belongs to the UI thread, and every listener runs
// there: the worker hands its outcome over through the platform message queue
// (MessageQueue::UI()), and the reason's text is built on the UI thread.
// Listeners are called on a copy of the list outside the lock, so a listener
// may call Install or AddOnFinished.
//
// Destruction never waits: it cancels a download in flight, removes what the
// downloader created, and drops the notification of an installation whose
// setup program still runs (that worker still cleans the folder when the
// program ends). No listener is called after the destructor has begun.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/tvRTDownloader.h"
#include "runtime/tvRTInterfaces.h"

namespace tarvo {

// A listener: Success, and the reason when it is false (null on success).
using TRuntimeFinished = std::function<void(bool success, const ERuntimeManagerErrorPtr& reason)>;

class TCustomRuntimeManager : public ICustomRuntimeManager {
 public:
  TRuntimeDownloaderClass DownloaderClass() const override;

 protected:
  mutable std::recursive_mutex fLock;  // guards the downloader class and the listeners
  TRuntimeDownloaderClass fDownloaderClass;
};

class TRuntimeManager : public TCustomRuntimeManager {
 public:
  explicit TRuntimeManager(std::shared_ptr<IRuntimeSetup> setup);
  ~TRuntimeManager() override;
  TRuntimeManager(const TRuntimeManager&) = delete;
  TRuntimeManager& operator=(const TRuntimeManager&) = delete;

  // Sets the downloader class under the lock; ignored while an installation
  // runs. Without one, an installation that needs a download fails with
  // "error.download".
  void Init(TRuntimeDownloaderClass downloaderClass);
  void Init(const ICustomRuntimeManager& source) { Init(source.DownloaderClass()); }

  // Tells whether the runtime is usable: onFinished is called at once, on
  // this thread, not through the listener list. Changes no state.
  void Validate(const TRuntimeFinished& onFinished);
  // Installs the runtime when it is missing; see the header comment.
  void Install(const TRuntimeFinished& onFinished);
  // The runtime is usable now: false while an installation runs or when the
  // system is not supported.
  bool Ready();

  void AddOnFinished(const TRuntimeFinished& onFinished);
  // Calls every listener with these values, in the order they were added,
  // on a copy of the list that is emptied first.
  void NotifyOnFinished(bool success, const ERuntimeManagerErrorPtr& reason);

  bool Lock();  // idle -> installing; true when this call took it
  void Unlock();
  bool Locked() const;

  // Builds the final text with TuneMessage and records the reason.
  ERuntimeManagerErrorPtr PrepareReason(std::string_view code, const std::string& text);
  // Records an "error.download" reason: the detail is the downloader's
  // LastErrMsg when its LastErrCode is not 0, else the system's message for
  // the thread's last error when that is not 0, else text.
  void ReportLoaderError(const std::string& text);
  // The reason of the last failure (null after a success or a new start).
  ERuntimeManagerErrorPtr Reason() const { return fReason; }

  // The URL up to, not including, its last "/" or "\"; the whole URL when it
  // has neither.
  static std::string ExtractHttpPath(std::string_view url);

  // The longest wait for the setup program (default 600000 ms).
  void SetInstallTimeout(std::uint32_t ms) { fInstallTimeoutMs = ms; }
  std::uint32_t InstallTimeout() const noexcept { return fInstallTimeoutMs; }

  const std::shared_ptr<IRuntimeSetup>& Setup() const noexcept { return fSetup; }

  // The final text of a reason.
  virtual std::string TuneMessage(std::string_view code, const std::string& text);
  virtual bool CheckOSVersion();
  virtual std::string CheckOSVersionErrMsg();
  virtual bool CheckPrerequisites(std::string& errorMsg);
  virtual std::string WaitForInfoMsg();

  struct State;    // what the worker shares with the manager
  struct Outcome;  // what the worker hands to the UI thread

 protected:
  // Starts the worker that checks and runs the setup program; when it cannot
  // start, the run ends here with the reason.
  void DoInstall();
  // Cleans up after an installation on the caller's thread and unlocks.
  void InstallDone();

 private:
  bool DoInstallStarted();
  // InstallDone, then the listeners, on this thread.
  void FinishHere();
  void HandleOutcome(const Outcome& outcome);

  std::shared_ptr<IRuntimeSetup> fSetup;
  std::shared_ptr<State> fState;
  std::vector<TRuntimeFinished> fOnFinished;
  ERuntimeManagerErrorPtr fReason;
  std::uint32_t fInstallTimeoutMs = 600000;
};

class TWebViewRuntimeManager : public TRuntimeManager {
 public:
  using TRuntimeManager::TRuntimeManager;

  std::string TuneMessage(std::string_view code, const std::string& text) override;
  std::string CheckOSVersionErrMsg() override;
  std::string WaitForInfoMsg() override;
};

}  // namespace tarvo
