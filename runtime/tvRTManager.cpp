#include "runtime/tvRTManager.h"

#include <stdexcept>
#include <thread>

#include "platform/core/Errors.h"
#include "platform/core/Files.h"
#include "platform/system/MessageQueue.h"
#include "platform/system/Process.h"

namespace tarvo {

namespace {

constexpr std::uint32_t kInstallOutcomeMessage = platform::WM_USER + 0x7A2;
constexpr const char* kCRLF = "\r\n";

}  // namespace

// What the manager shares with an installation's worker thread, which may
// outlive the manager.
struct TRuntimeManager::State {
  std::atomic<int> inProgress{0};  // fInProgress
  std::atomic<bool> alive{true};   // false once the manager's destructor has begun
  std::mutex m;
  std::shared_ptr<IRuntimeDownloader> loader;  // fLoader
  bool workerRunning = false;
  platform::MessageQueue* queue = nullptr;
  platform::WindowHandle target = 0;
};

// The worker's result. Only facts travel: texts are translated on the UI
// thread, which owns the catalogue.
struct TRuntimeManager::Outcome {
  enum class Failure { None, SetupMissing, DigestMismatch, Install, Timeout };
  bool success = false;
  Failure failure = Failure::None;
  std::string detail;  // system message (or empty: the default text)
};

namespace {

void ReleaseLoader(std::shared_ptr<IRuntimeDownloader>& loader) noexcept {
  if (!loader) return;
  try {
    loader->Cleanup();
  } catch (...) {
    // Errors of the clean-up are ignored: the run's outcome stands.
  }
  loader.reset();
}

// The worker of one installation: checks the setup file, runs the setup
// program and waits for it; then cleans up and hands the outcome to the UI
// thread. Holds what it needs, so it does not depend on the manager.
void RunInstallation(std::shared_ptr<TRuntimeManager::State> state,
                     std::shared_ptr<IRuntimeDownloader> loader,
                     std::shared_ptr<IRuntimeSetup> setup, std::uint32_t timeoutMs) {
  using Failure = TRuntimeManager::Outcome::Failure;
  auto outcome = std::make_unique<TRuntimeManager::Outcome>();
  try {
    platform::SetLastError(0);
    const std::string folder = loader->Folder();
    const std::string program = folder + setup->Name();
    if (!loader->Validate()) {
      outcome->failure = Failure::SetupMissing;
      const std::uint32_t lastError = platform::GetLastError();
      if (loader->LastErrCode() != 0)
        outcome->detail = loader->LastErrMsg();
      else if (lastError != 0)
        outcome->detail = platform::SysErrorMessage(lastError);
    } else if (!setup->SHA256().empty() && FileSha256Hex(program) != setup->SHA256()) {
      platform::DeleteFile(program);
      outcome->failure = Failure::DigestMismatch;
    } else {
      platform::LaunchRequest request;
      request.program = program;
      request.parameters = setup->Params();
      request.workingFolder = folder;
      std::unique_ptr<platform::Process> process = platform::LaunchProcess(request);
      if (!process) {
        outcome->failure = Failure::Install;
        outcome->detail = RuntimeSystemMessage(platform::GetLastError());
      } else if (process->Wait(timeoutMs) != platform::WaitResult::Signaled) {
        // The setup program is left running: killing an installer half-way
        // would do more harm than letting it finish.
        outcome->failure = Failure::Timeout;
      } else if (const auto code = process->ExitCode(); !code) {
        outcome->failure = Failure::Install;
        outcome->detail = RuntimeSystemMessage(platform::GetLastError());
      } else if (*code != 0) {
        outcome->failure = Failure::Install;
        outcome->detail = RuntimeSystemMessage(*code);
      } else {
        outcome->success = true;
      }
    }
  } catch (const std::exception& e) {
    outcome->success = false;
    outcome->failure = Failure::Install;
    outcome->detail = e.what();
  } catch (...) {
    outcome->success = false;
    outcome->failure = Failure::Install;
    outcome->detail = platform::SysErrorMessage(platform::ERROR_GEN_FAILURE);
  }

  // InstallDone, on this thread.
  {
    std::lock_guard lock(state->m);
    if (state->loader == loader) state->loader.reset();
    state->workerRunning = false;
  }
  ReleaseLoader(loader);

  // The notification runs on the UI thread, and the manager turns idle there,
  // right before it: a new installation cannot start, and take this one's
  // listeners, before they have heard this outcome. When the manager is gone,
  // its target is too, and the outcome is simply dropped.
  bool posted = false;
  if (state->alive.load()) {
    TRuntimeManager::Outcome* raw = outcome.release();
    posted = state->queue->Post(state->target, kInstallOutcomeMessage, 0,
                                reinterpret_cast<std::intptr_t>(raw));
    if (!posted) delete raw;
  }
  if (!posted) state->inProgress.store(0);
}

}  // namespace

// --- TCustomRuntimeManager -------------------------------------------------------------------

TRuntimeDownloaderClass TCustomRuntimeManager::DownloaderClass() const {
  std::lock_guard lock(fLock);
  return fDownloaderClass;
}

// --- TRuntimeManager ---------------------------------------------------------------------------

TRuntimeManager::TRuntimeManager(std::shared_ptr<IRuntimeSetup> setup)
    : fSetup(std::move(setup)), fState(std::make_shared<State>()) {
  if (!fSetup) throw std::invalid_argument("TRuntimeManager needs a setup description");
  fState->queue = &platform::MessageQueue::UI();
  fState->target = fState->queue->Register(
      [this](std::uint32_t msg, std::uintptr_t, std::intptr_t l) -> std::intptr_t {
        if (msg != kInstallOutcomeMessage) return 0;
        std::unique_ptr<Outcome> outcome(reinterpret_cast<Outcome*>(l));
        HandleOutcome(*outcome);
        return 0;
      });
}

TRuntimeManager::~TRuntimeManager() {
  fState->alive.store(false);
  for (const platform::Message& m : fState->queue->Unregister(fState->target))
    if (m.message == kInstallOutcomeMessage) delete reinterpret_cast<Outcome*>(m.lParam);
  std::shared_ptr<IRuntimeDownloader> loader;
  bool idleNow = false;
  {
    std::lock_guard lock(fState->m);
    if (!fState->workerRunning) {
      loader = std::move(fState->loader);
      idleNow = true;
    }
  }
  // Downloading (or nothing): the downloader goes now, which cancels its
  // request. A running setup program's worker cleans up by itself.
  ReleaseLoader(loader);
  if (idleNow) fState->inProgress.store(0);
}

void TRuntimeManager::Init(TRuntimeDownloaderClass downloaderClass) {
  std::lock_guard lock(fLock);
  if (Locked()) return;
  fDownloaderClass = std::move(downloaderClass);
}

bool TRuntimeManager::Lock() {
  int expected = 0;
  return fState->inProgress.compare_exchange_strong(expected, 1);
}

void TRuntimeManager::Unlock() {
  int expected = 1;
  fState->inProgress.compare_exchange_strong(expected, 0);
}

bool TRuntimeManager::Locked() const {
  return fState->inProgress.load() == 1;
}

void TRuntimeManager::AddOnFinished(const TRuntimeFinished& onFinished) {
  if (!onFinished) return;
  std::lock_guard lock(fLock);
  fOnFinished.push_back(onFinished);
}

void TRuntimeManager::NotifyOnFinished(bool success, const ERuntimeManagerErrorPtr& reason) {
  std::vector<TRuntimeFinished> listeners;
  {
    std::lock_guard lock(fLock);
    listeners.swap(fOnFinished);
  }
  // Outside the lock and on a copy: a listener may call Install (adding to
  // the new list) or destroy the manager; after that nobody else is called.
  const std::shared_ptr<State> state = fState;
  const ERuntimeManagerErrorPtr kept = reason;
  for (const TRuntimeFinished& listener : listeners) {
    if (!state->alive.load()) break;
    listener(success, kept);
  }
}

ERuntimeManagerErrorPtr TRuntimeManager::PrepareReason(std::string_view code,
                                                       const std::string& text) {
  fReason =
      std::make_shared<const ERuntimeManagerError>(std::string(code), TuneMessage(code, text));
  return fReason;
}

void TRuntimeManager::ReportLoaderError(const std::string& text) {
  std::shared_ptr<IRuntimeDownloader> loader;
  {
    std::lock_guard lock(fState->m);
    loader = fState->loader;
  }
  const std::uint32_t lastError = platform::GetLastError();
  std::string detail = text;
  if (loader && loader->LastErrCode() != 0)
    detail = loader->LastErrMsg();
  else if (lastError != 0)
    detail = platform::SysErrorMessage(lastError);
  PrepareReason(kReasonDownload, RuntimeTextFmt(rttext::LoaderError, detail));
}

std::string TRuntimeManager::ExtractHttpPath(std::string_view url) {
  const std::size_t cut = url.find_last_of("/\\");
  return std::string(cut == std::string_view::npos ? url : url.substr(0, cut));
}

bool TRuntimeManager::CheckOSVersion() {
  return fSetup->CheckOSVerCompatible();
}
std::string TRuntimeManager::CheckOSVersionErrMsg() {
  return {};
}
bool TRuntimeManager::CheckPrerequisites(std::string& errorMsg) {
  return fSetup->CheckPrerequisites(errorMsg);
}
std::string TRuntimeManager::WaitForInfoMsg() {
  return {};
}

std::string TRuntimeManager::TuneMessage(std::string_view code, const std::string& text) {
  if (code == kReasonDownload || code == kReasonUnavailable)
    return text + kCRLF + fSetup->DownloadURL();
  return text;
}

bool TRuntimeManager::Ready() {
  if (Locked() || !CheckOSVersion()) return false;
  return fSetup->Validate();
}

void TRuntimeManager::Validate(const TRuntimeFinished& onFinished) {
  std::string error;
  ERuntimeManagerErrorPtr reason;
  bool success = false;
  if (!CheckOSVersion())
    reason = PrepareReason(kReasonPreinstall, CheckOSVersionErrMsg());
  else if (!CheckPrerequisites(error))
    reason = PrepareReason(kReasonPreinstall, error);
  else if (Ready())
    success = true;
  else
    reason = PrepareReason(kReasonUnavailable, RuntimeText(rttext::InstallManualy));
  if (onFinished) onFinished(success, reason);
}

void TRuntimeManager::Install(const TRuntimeFinished& onFinished) {
  std::string error;
  if (!CheckOSVersion()) {
    auto reason = PrepareReason(kReasonPreinstall, CheckOSVersionErrMsg());
    if (onFinished) onFinished(false, reason);
    return;
  }
  if (!CheckPrerequisites(error)) {
    auto reason = PrepareReason(kReasonPreinstall, error);
    if (onFinished) onFinished(false, reason);
    return;
  }
  AddOnFinished(onFinished);
  // Already installing: this listener hears that installation's outcome.
  if (!Lock()) return;

  // A new run starts without a reason: an earlier failure must not turn this
  // run's success into a failure.
  fReason.reset();
  bool handedOver = false;
  try {
    if (!fSetup->Validate()) {
      const TRuntimeDownloaderClass downloaderClass = DownloaderClass();
      if (!downloaderClass) {
        PrepareReason(kReasonDownload,
                      RuntimeTextFmt(rttext::LoaderError, RuntimeText(rttext::NoDownloader)));
      } else {
        std::shared_ptr<IRuntimeDownloader> loader = downloaderClass(fSetup);
        {
          std::lock_guard lock(fState->m);
          fState->loader = loader;
        }
        if (loader->Validate()) {
          handedOver = DoInstallStarted();
        } else {
          platform::SetLastError(0);
          handedOver = loader->Download([this] {
            if (!DoInstallStarted()) FinishHere();
          });
          if (!handedOver) ReportLoaderError(RuntimeText(rttext::DownloadError));
        }
      }
    }
  } catch (const std::exception& e) {
    // Whatever went wrong before anything was handed over is a failure of
    // this run, never a silent success.
    PrepareReason(kReasonDownload, RuntimeTextFmt(rttext::LoaderError, e.what()));
    handedOver = false;
  }
  if (!handedOver) FinishHere();
}

void TRuntimeManager::FinishHere() {
  InstallDone();
  NotifyOnFinished(fReason == nullptr, fReason);
}

void TRuntimeManager::DoInstall() {
  if (!DoInstallStarted()) FinishHere();
}

bool TRuntimeManager::DoInstallStarted() {
  std::shared_ptr<IRuntimeDownloader> loader;
  {
    std::lock_guard lock(fState->m);
    loader = fState->loader;
    if (!loader) return false;
    fState->workerRunning = true;
  }
  try {
    std::thread(RunInstallation, fState, loader, fSetup, fInstallTimeoutMs).detach();
    return true;
  } catch (const std::exception& e) {
    {
      std::lock_guard lock(fState->m);
      fState->workerRunning = false;
    }
    PrepareReason(kReasonInstall, e.what());
    return false;
  }
}

void TRuntimeManager::InstallDone() {
  std::shared_ptr<IRuntimeDownloader> loader;
  {
    std::lock_guard lock(fState->m);
    loader = std::move(fState->loader);
  }
  ReleaseLoader(loader);
  Unlock();
}

void TRuntimeManager::HandleOutcome(const Outcome& outcome) {
  using Failure = Outcome::Failure;
  Unlock();  // the rest of InstallDone; before the listeners are told
  if (!outcome.success) {
    switch (outcome.failure) {
      case Failure::SetupMissing:
        PrepareReason(kReasonDownload,
                      RuntimeTextFmt(rttext::LoaderError, outcome.detail.empty()
                                                              ? RuntimeText(rttext::SetupFileError)
                                                              : outcome.detail));
        break;
      case Failure::DigestMismatch:
        PrepareReason(kReasonDownload,
                      RuntimeTextFmt(rttext::LoaderError, RuntimeText(rttext::SetupFileDigest)));
        break;
      case Failure::Timeout:
        PrepareReason(kReasonInstall, RuntimeText(rttext::InstallTimeout));
        break;
      case Failure::Install:
      case Failure::None:
        PrepareReason(kReasonInstall, outcome.detail);
        break;
    }
  }
  NotifyOnFinished(outcome.success, outcome.success ? nullptr : fReason);
}

// --- TWebViewRuntimeManager ---------------------------------------------------------------------

std::string TWebViewRuntimeManager::TuneMessage(std::string_view code, const std::string& text) {
  const std::string url = Setup()->DownloadURL();
  if (code == kReasonDownload)
    return RuntimeText(rttext::EdgeDownloadError) + kCRLF + (text + kCRLF + url);
  if (code == kReasonUnavailable)
    return RuntimeText(rttext::EdgeWebViewUnavailable) + kCRLF + text + kCRLF +
           ExtractHttpPath(url);
  if (code == kReasonInstall) return RuntimeText(rttext::EdgeInstallError) + kCRLF + text;
  return text;
}

std::string TWebViewRuntimeManager::CheckOSVersionErrMsg() {
  return RuntimeText(rttext::EdgeOSVersionUncompatible) + kCRLF + Setup()->OSVerCompatible();
}

std::string TWebViewRuntimeManager::WaitForInfoMsg() {
  return RuntimeText(rttext::EdgeWaitingForInstall);
}

}  // namespace tarvo
