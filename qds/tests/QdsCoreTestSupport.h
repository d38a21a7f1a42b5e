// A concrete client for the core's tests: a manager that records what reaches
// it, a worker that fetches a document into a test entity, and that entity.
// The test thread is the user-interface thread and pumps its queue.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/system/MessageQueue.h"
#include "qds/ttQDSMessaging.h"
#include "qds/ttQDSTransport.h"
#include "testing/Sandbox.h"

namespace tarvo::coretest {

// A document of the service, fetched by GET from Path on Host.
class TestDoc : public TWebEntity {
 public:
  TestDoc(IQDSViewHost* owner, std::string path) : TWebEntity(owner), Path(std::move(path)) {}
  std::string ClassName() const override { return "TTestDoc"; }
  void Lock() override { fLock.lock(); }
  void Unlock() override { fLock.unlock(); }

  // Written by the worker under the entity's lock.
  struct Result {
    TURLRetrieveStatus status = TURLRetrieveStatus::ursFail;
    int httpStatus = 0;
    std::string body;
    std::string etag, lastModified;
    TEntityHealth health = TEntityHealth::ehHealthy;
    std::string statusMessage;
    TTarvoPassportReply passport = TTarvoPassportReply::mprNA;
    double serverTime = 0;
    bool supported = true;
  };
  std::vector<Result> Results() {
    std::lock_guard lock(fLock);
    return fResults;
  }
  void AddResult(Result r) {
    std::lock_guard lock(fLock);
    fResults.push_back(std::move(r));
  }
  // Validators to send with the next request (a cached copy's).
  void SetValidators(std::string etag, std::string lastModified) {
    std::lock_guard lock(fLock);
    fEtag = std::move(etag);
    fLastModified = std::move(lastModified);
  }
  std::pair<std::string, std::string> Validators() {
    std::lock_guard lock(fLock);
    return {fEtag, fLastModified};
  }
  // Called by the worker while it processes this entity (worker thread).
  std::function<void()> OnProcessing;
  TVers versions{0, 0};

  const std::string Path;

 private:
  std::recursive_mutex fLock;
  std::vector<Result> fResults;
  std::string fEtag, fLastModified;
};

class TestManager;

class TestWorker : public TQDSDownloaderBaseThread {
 public:
  explicit TestWorker(TWebEntityManager& owner) : TQDSDownloaderBaseThread(owner) {}
  std::string ClassName() const override { return "TTestWorker"; }
  std::atomic<int> restarts{0};
  std::atomic<int> timeouts{0};

 protected:
  TDownloadResult ProcessDownloading(TDownloadJob& Job, TqdsURL& URL) override;
  TDownloadResult ProcessSending(TPutJob& Job, TqdsURL& URL) override {
    return ProcessDownloading(Job, URL);
  }
  void WriteDownloadedDataToView(TQDSEntry&, TWebEntity*) override {}
  void WriteSentResultDataToView(TQDSEntry&, TWebEntity*) override {}
  void Shutdown() override;
  void Startup() override;
  void EventTimeout() override { timeouts++; }
  void LogonInfo(std::string& User, std::string& Password) override;
  bool TLS() override;
  void AddHeaders(TWinInetRequest& Request) override;
};

class TestManager : public TWebEntityManager {
 public:
  TestManager() = default;

  std::string host = "127.0.0.1";
  std::uint16_t port = 0;
  std::string user = "trader", password = "secret";

  struct InetError {
    std::string message;
    TProcessingMode mode;
    bool recoverable;
  };
  std::vector<InetError> InetErrors() {
    std::lock_guard lock(fRecord);
    return fInetErrors;
  }
  std::vector<std::pair<std::string, bool>> CantLogins() {
    std::lock_guard lock(fRecord);
    return fCantLogins;
  }
  std::vector<std::pair<TQDSMessageParam, std::uint8_t>> processed, released;
  std::vector<std::intptr_t> progress;
  std::function<TQDSDownloaderThreadClass()> workerClass;
  // Set before Startup: workers use TLS modes / run this while adding headers.
  bool tlsWorkers = false;
  std::atomic<int> findouts{0};
  // While set, workers hold in their restart (at most five seconds).
  std::atomic<bool> holdRestart{false};
  // The period of the workers' EventTimeout (set before Startup).
  std::uint32_t eventTimeoutMs = platform::kInfinite;
  // LogonInfo asks the UI thread first (as a dialog would), synchronously.
  std::atomic<bool> logonSends{false};
  std::function<void()> addHeadersHook;

  void OnInetException(const std::exception& E, TProcessingMode Mode, bool Recoverable,
                       TJobFlags) override {
    std::lock_guard lock(fRecord);
    fInetErrors.push_back({E.what(), Mode, Recoverable});
  }
  void HandleCrushed(TQDSEntry&, TWebEntity* Entity, bool GaveUp) override {
    std::lock_guard lock(fRecord);
    fCrushed.push_back({Entity, GaveUp});
  }
  std::vector<std::pair<TWebEntity*, bool>> Crushed() {
    std::lock_guard lock(fRecord);
    return fCrushed;
  }
  void OnCantLogin(const std::string& Source, bool AuthProblem) override {
    std::lock_guard lock(fRecord);
    fCantLogins.push_back({Source, AuthProblem});
  }
  TQDSDownloaderThreadClass QDSDownloaderThreadClass() override {
    if (workerClass) return workerClass();
    return [](TWebEntityManager& m) { return std::make_unique<TestWorker>(m); };
  }
  std::unique_ptr<TqdsURL> FindoutURL(TWebEntity* Entity, TRequestMethod) override {
    auto* doc = dynamic_cast<TestDoc*>(Entity);
    if (doc == nullptr) return nullptr;
    findouts++;
    auto url = std::make_unique<TqdsURL>(host + ":" + std::to_string(port) + doc->Path, 0);
    url->SetSupportedVer(doc->versions);
    return url;
  }
  std::vector<TQDSLogEntry*> LogItems() {
    std::vector<TQDSLogEntry*> out;
    if (LogEntity() != nullptr)
      for (int i = 0; i < LogEntity()->Count(); ++i) out.push_back(LogEntity()->GetItem(i));
    return out;
  }
  using TWebEntityManager::MergeLogEntry;

 protected:
  void DoProcessMessageFromMainThread(TWebClientMessage& M) override {
    processed.push_back({M.Param(), M.WParam.Session});
    if (M.Param() == TQDSMessageParam::mpDownloadProgress) progress.push_back(M.LParam);
    TWebEntityManager::DoProcessMessageFromMainThread(M);
  }
  void ReleaseMessageFromMainThread(TWebClientMessage& M) override {
    released.push_back({M.Param(), M.WParam.Session});
    TWebEntityManager::ReleaseMessageFromMainThread(M);
  }

 private:
  std::mutex fRecord;
  std::vector<InetError> fInetErrors;
  std::vector<std::pair<std::string, bool>> fCantLogins;
  std::vector<std::pair<TWebEntity*, bool>> fCrushed;
};

inline TDownloadResult TestWorker::ProcessDownloading(TDownloadJob& Job, TqdsURL& URL) {
  auto* doc = dynamic_cast<TestDoc*>(Job.Entity());
  std::unique_ptr<TQDSEntry> entry = NewEntryByJob(Job);
  if (doc != nullptr) {
    if (doc->OnProcessing) doc->OnProcessing();
    auto [etag, lm] = doc->Validators();
    entry->ETag = etag;
    entry->LastModified = lm;
  }
  const TURLRetrieveStatus st = RetrieveUrl(URL, *entry);
  TestDoc::Result r;
  r.status = st;
  r.httpStatus = entry->RequestStatus;
  r.body = entry->Accumulator().Bytes();
  r.etag = entry->ETag;
  r.lastModified = entry->LastModified;
  r.statusMessage = entry->StatusMessage;
  r.passport = entry->TarvoPassport;
  r.serverTime = entry->ServerTime;
  r.supported = entry->Supported;
  if (doc != nullptr && st != TURLRetrieveStatus::ursTransportFail)
    r.health = Owner().EntityCrushed(*entry, doc);
  if (doc != nullptr) doc->AddResult(std::move(r));
  switch (st) {
    case TURLRetrieveStatus::ursOK:
      return entry->RequestStatus == 304 ? TDownloadResult::drNotModified
                                         : TDownloadResult::drProcessed;
    case TURLRetrieveStatus::ursTransportFail:
      return TDownloadResult::drNeedsRetry;
    default:
      return TDownloadResult::drFailed;
  }
}

inline void TestWorker::LogonInfo(std::string& User, std::string& Password) {
  auto& m = static_cast<TestManager&>(Owner());
  if (m.logonSends.load()) m.SendMessage(TQDSMessageParam::mpRequestSessionID, 0);
  User = m.user;
  Password = m.password;
}

inline void TestWorker::Shutdown() {
  auto& m = static_cast<TestManager&>(Owner());
  for (int i = 0; i < 500 && m.holdRestart.load(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  restarts++;
}

inline void TestWorker::Startup() {
  TQDSDownloaderBaseThread::Startup();
  fEventTimeout = static_cast<TestManager&>(Owner()).eventTimeoutMs;
}

inline bool TestWorker::TLS() {
  return static_cast<TestManager&>(Owner()).tlsWorkers;
}

inline void TestWorker::AddHeaders(TWinInetRequest& Request) {
  TQDSDownloaderBaseThread::AddHeaders(Request);
  auto& m = static_cast<TestManager&>(Owner());
  if (m.addHeadersHook) m.addHeadersHook();
}

// The process's configuration for one test, in a sandbox.
class ConfigFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::MessageQueue::UI().BindToCurrentThread();
    config = std::make_unique<TQDSConfig>(sandbox.Path("qds.xml"), nullptr);
    config->SetEnabled(true);
    config->SetThreads(2);
    config->SetPassport("");
    config->SetLogon(TQDSLogon::lBasic);
    QDSSettingsInstance = config.get();
  }
  void TearDown() override {
    QDSSettingsInstance = nullptr;
    config.reset();
  }
  // Pumps the UI thread until done or the time-out; true when done.
  bool Pump(const std::function<bool()>& done, std::uint32_t ms = 5000) {
    return platform::MessageQueue::UI().PumpUntil(done, ms);
  }
  void PumpFor(std::uint32_t ms) {
    platform::MessageQueue::UI().PumpUntil([] { return false; }, ms);
  }

  testing::Sandbox sandbox;
  std::unique_ptr<TQDSConfig> config;
};

}  // namespace tarvo::coretest
