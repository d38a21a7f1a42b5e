// Download jobs, the job list and the download workers of the market-data
// client.
//
// Views ask for data by adding jobs to their manager's TSmartJobList. The list
// admits jobs in order, holds back a job whose entity must wait for entities of
// other classes, keeps duplicates out and, while a job is being retried,
// admits nothing new (careful mode). Workers (TQDSDownloaderBaseThread) take
// admitted jobs, authenticate at the passport endpoint when needed, perform the
// request through the HTTP client, decode the answer into a request entry
// (TQDSEntry) and classify the outcome. What is done with an answer belongs to
// the concrete workers, which override the abstract steps.
//
// Ownership: the job list owns every job it holds. A picked job is freed only
// when its worker ends it (EndPickedJob or JobNeedsRetry), also when it was
// cancelled or cleared meanwhile. Entities are not owned by jobs.
//
// Threads: the job list locks itself; see ttQDSMessaging.h for the lock order.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/system/KernelObjects.h"
#include "qds/ttQDSMessaging.h"

namespace tarvo {

// --- jobs ------------------------------------------------------------------------------

class TDownloadJob {
 public:
  // Flags [jfInteractive] when Interactive.
  TDownloadJob(TWebEntity* _For, std::uint8_t aSession, bool Interactive);
  virtual ~TDownloadJob() = default;
  TDownloadJob(const TDownloadJob&) = delete;
  TDownloadJob& operator=(const TDownloadJob&) = delete;

  // Same entity and same method (DefaultMethod).
  virtual bool Equals(const TDownloadJob& Job) const;
  virtual TRequestMethod Method() const { return TRequestMethod::mGet; }
  // Whether the job carries a body (PUT, POST, DELETE).
  virtual bool CarriesBody() const { return false; }

  TWebEntity* Entity() const noexcept { return fEntity; }
  std::uint8_t Session() const noexcept { return fSession; }
  TJobFlags Flags() const noexcept { return fFlags; }
  void SetFlags(TJobFlags f) noexcept { fFlags = f; }
  void Include(TJobFlag f) noexcept { fFlags.Include(f); }

  std::string Reason;

 protected:
  friend class TSmartJobList;
  TWebEntity* fEntity;
  std::uint8_t fSession;
  TJobFlags fFlags;
  // The job is under retry and counts in the list's careful mode. Kept apart
  // from jfGotProblem, which failed jobs carry as well.
  bool fUnderRetry = false;
};

// A job with a body (a private copy).
class TPutJob : public TDownloadJob {
 public:
  TPutJob(TWebEntity* _For, std::uint8_t aSession, std::vector<std::uint8_t> aPutData);
  // As TDownloadJob; besides, when both jobs carry a non-empty body, the bodies
  // must be equal (different bodies are different requests).
  bool Equals(const TDownloadJob& Job) const override;
  TRequestMethod Method() const override { return TRequestMethod::mPut; }
  bool CarriesBody() const override { return true; }
  const std::vector<std::uint8_t>& GetPostData() const noexcept { return fPostData; }
  void SetPostData(std::vector<std::uint8_t> Bytes) { fPostData = std::move(Bytes); }

 protected:
  std::vector<std::uint8_t> fPostData;
};

class TPostJob : public TPutJob {
 public:
  using TPutJob::TPutJob;
  TRequestMethod Method() const override { return TRequestMethod::mPost; }
};

class TDeleteJob : public TPutJob {
 public:
  using TPutJob::TPutJob;
  TRequestMethod Method() const override { return TRequestMethod::mDelete; }
};

// The method of a job (mUnknown for none).
TRequestMethod DefaultMethod(const TDownloadJob* Job);
// A new job of the class whose method is Method; nullptr for an unknown one.
std::unique_ptr<TDownloadJob> MakeJob(TRequestMethod Method, TWebEntity* Entity,
                                      std::uint8_t Session, bool Interactive,
                                      const std::vector<std::uint8_t>* Data);

// New entries, made safely from any thread (workers make them concurrently).
std::unique_ptr<TQDSEntry> MakeEntry(std::uint8_t Session, std::string ClassName, TDataFlag Flag,
                                     TJobFlags Flags);
std::unique_ptr<TQDSLogEntry> MakeLogEntry(const TQDSEntry& Source);
// A log copy keeping Packed, the answer as it came compressed over the wire.
std::unique_ptr<TQDSLogEntry> MakeLogEntry(const TQDSEntry& Source, std::string Packed,
                                           TQDSPackedForm Form);

// A new request entry for one attempt of the job.
std::unique_ptr<TQDSEntry> NewEntryByJob(const TDownloadJob& Job);

// --- the job list --------------------------------------------------------------------------

class TSmartJobList {
 public:
  explicit TSmartJobList(IJobListOwner& Owner) : fOwner(Owner) {}
  // Frees whatever is still held (the manager clears the jobs before).
  ~TSmartJobList();
  TSmartJobList(const TSmartJobList&) = delete;
  TSmartJobList& operator=(const TSmartJobList&) = delete;

  // Drops (frees) the job when an upcoming or admitted job Equals it;
  // otherwise appends it to the upcoming jobs and admits what can be.
  void AddJob(std::unique_ptr<TDownloadJob> Job);
  void Refill();
  // The next admitted job to process (it is picked), or nullptr.
  TDownloadJob* PeekFirst();
  // The worker is done with a picked job: it leaves the list and is freed.
  void EndPickedJob(TDownloadJob* Job);
  // The picked job must be sent again: it becomes the next job to pick and the
  // list admits nothing new until it ends. A job cancelled meanwhile is ended.
  void JobNeedsRetry(TDownloadJob* Job);
  // Cancels the jobs of an entity with that method (mUnknown: every method).
  // A picked job stays with its worker, which ends it.
  void CancelJobs(TWebEntity* forEntity, TRequestMethod Method);
  // Removes every job (picked ones stay with their workers); with
  // SendFailureNotifications the owner's HandleCrushed hears of each one
  // whose entity is valid.
  void ClearAllJobs(bool SendFailureNotifications);

  // Admitted + upcoming - being processed.
  int GetCount() const;
  int GetProcessingCount() const;
  // Admitted jobs that wait to be picked.
  int WaitingCount() const;
  int UpcomingCount() const;
  int SafeJobProcessing() const;
  std::uint32_t JobsCount() const;
  // Snapshots for diagnostics and tests.
  std::vector<TDownloadJob*> AdmittedJobs() const;
  std::vector<TDownloadJob*> UpcomingJobs() const;

 private:
  void RefillLocked();
  // Frees a job that leaves the list, lowering the careful-mode counter when
  // it was under retry.
  void DisposeLocked(TDownloadJob* Job);

  mutable std::mutex fGuard;
  std::vector<TDownloadJob*> fJobs;  // owned
  std::uint32_t fJobsCount = 0;
  int fPickIndex = 0;
  int fSafeJobProcessing = 0;
  std::deque<TDownloadJob*> fUpcomingJobs;  // owned
  IJobListOwner& fOwner;
  // Picked jobs that left fJobs (cancelled or cleared); owned until their
  // worker ends them.
  std::vector<TDownloadJob*> fOrphans;
};

// --- workers ---------------------------------------------------------------------------

enum class TDownloadResult : std::uint8_t {
  drFailed,
  drMegaFailed,
  drNeedsRetry,
  drForbidden,
  drProcessed,
  drDontCare,
  drNotModified
};
enum class TURLRetrieveStatus : std::uint8_t { ursFail, ursTransportFail, ursOK };
enum class TProcessingMode : std::uint8_t {
  amSimple,
  amAuthenticate,
  amTLSGET,
  amTLSPUT,
  amTLSPOST,
  amTLSDELETE
};
inline constexpr const char* ProcessingModeMethods[] = {"GET", "GET",  "GET",
                                                        "PUT", "POST", "DELETE"};

// The text added to an error that says TLS is not supported on a TLS worker.
inline constexpr const char* NoTLSSupportDefault =
    "Ensure to install \"TLS protocol support component\" during Validata CSP setup process.";

// "host" or "host:port": Host the trimmed text (before ":"), Port 80 without
// ":", else the integer after the first ":" (false when it is none).
bool ValidHost(const std::string& Text, std::string& Host, int& Port);

// A download worker. Made by the manager's worker class, started with Start;
// ended by Free (or Terminate + WaitFor). The destructor does not wait: free a
// worker before destroying it.
class TQDSDownloaderBaseThread {
 public:
  explicit TQDSDownloaderBaseThread(TWebEntityManager& Owner);
  virtual ~TQDSDownloaderBaseThread();
  TQDSDownloaderBaseThread(const TQDSDownloaderBaseThread&) = delete;
  TQDSDownloaderBaseThread& operator=(const TQDSDownloaderBaseThread&) = delete;

  virtual std::string ClassName() const { return "TQDSDownloaderBaseThread"; }

  // Startup, then the thread runs.
  void Start();
  // Sets the terminate flag and wakes the worker.
  void Terminate();
  void WaitFor();
  // Terminate and WaitFor.
  void Free();
  bool Terminated() const noexcept { return fTerminated.load(); }
  // Wakes the worker for a restart or termination.
  void SignalStartStop() { fStartStopEvent.Set(); }

  // The entity of the job being processed (under the processed-entity lock).
  // With Mark the entity is freed through the main thread when the job ends;
  // without it the mark is cleared. True when Entity is being processed.
  bool ProcessingEntity(TWebEntity* Entity, bool Mark);

  // One request for a view (worker thread).
  TURLRetrieveStatus RetrieveUrl(TqdsURL& URL, TQDSEntry& Entry);
  // One HTTP exchange (worker thread).
  TDownloadResult ProcessURL(int Port, TProcessingMode Mode, TQDSEntry& Entry);
  // Reads and decodes the body into the entry; true when the answer counts.
  // An answer larger than MaxAnswerBytes on the wire or decoded throws
  // EQDSException (asking again would bring the same answer).
  bool CompleteDownloading(TQDSEntry& Entry, TWinInetRequest& Request, bool LogIt);

  // The largest answer the worker holds, as received and as decoded: 512 MiB
  // unless set, at most 2 GiB - 1 (larger values are taken as that). Any
  // thread; applies from the next answer read.
  void SetMaxAnswerBytes(std::size_t Bytes);
  std::size_t MaxAnswerBytes() const noexcept { return fMaxAnswerBytes.load(); }

  TWebEntityManager& Owner() const noexcept { return fOwner; }

  // Fields of the last exchange (worker thread).
  std::string User, Pwd;
  bool Versioned = false;
  TVers SupportedVersions;
  std::string Balancer, Cache, All, QVersion, SVersion;

 protected:
  virtual void Execute();
  // Processes one admitted job; true: go on with the next one.
  virtual bool DoNextJob();

  virtual void EventTimeout() {}
  virtual TDownloadResult ProcessDownloading(TDownloadJob& Job, TqdsURL& URL) = 0;
  virtual TDownloadResult ProcessSending(TPutJob& Job, TqdsURL& URL) = 0;
  virtual void WriteDownloadedDataToView(TQDSEntry& Entry, TWebEntity* Entity) = 0;
  virtual void WriteSentResultDataToView(TQDSEntry& Entry, TWebEntity* Entity) = 0;
  virtual void Shutdown() = 0;
  virtual void Startup() { fEventTimeout = platform::kInfinite; }
  // The credentials for the passport (may ask the user on the main thread; it
  // is never called while the authentication lock is held).
  virtual void LogonInfo(std::string& User, std::string& Password) = 0;
  virtual bool TLS() { return false; }
  virtual TDownloadResult CheckAuthentication(TQDSEntry& Entry);
  virtual void AddHeaders(TWinInetRequest& Request);
  virtual void HandleReplyStatusCode(TQDSEntry& Entry, TWinInetRequest& Request);

  void OnWinInetProgress(TWinInetRequest& Request, int Progress, bool& ContinueWork);

  std::mutex fProcessedEntityGuard;
  TWebEntity* fProcessedEntity = nullptr;
  bool fFreeAfterProcessing = false;
  platform::Event fStartStopEvent{false, false};
  std::uint32_t fEventTimeout = platform::kInfinite;
  TWebEntityManager& fOwner;

 private:
  void ReadAnswerHeaders(TQDSEntry& Entry, TWinInetRequest& Request);
  TDownloadResult ClassifyFailure(const std::exception_ptr& E, TProcessingMode Mode,
                                  TQDSEntry& Entry);
  // Posts a log copy of Entry; with WireForm it keeps Wire, the answer as it
  // came compressed, instead of compressing the accumulator.
  void PostLog(const TQDSEntry& Entry, bool WithAnswer, std::uint64_t RawBytes,
               std::string Wire = {}, std::optional<TQDSPackedForm> WireForm = std::nullopt);
  void FlushProgress(bool Final);

  void SetCurrentRequest(TWinInetRequest* Request);

  std::thread fThread;
  std::atomic<bool> fTerminated{false};
  std::atomic<bool> fFinished{false};
  std::atomic<std::size_t> fMaxAnswerBytes{std::size_t{512} << 20};
  // The request being transferred, so that Terminate can abort a stalled one.
  std::mutex fRequestGuard;
  TWinInetRequest* fCurrentRequest = nullptr;
  // Credentials fetched before the authentication lock is taken.
  std::string fPendingUser, fPendingPwd;
  // Progress coalescing: the latest value of the current request, the last
  // one posted (-1: none yet) and when one was last posted (at first, when
  // the request began).
  int fProgressLatest = 0;
  int fProgressPosted = -1;
  std::uint32_t fProgressPostedAt = 0;
};

}  // namespace tarvo
