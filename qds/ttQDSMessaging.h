// The market-data client's core: the message channel from workers to the
// user-interface thread, web entities with their per-method health, links
// through which observers follow an entity, the request log, and the entity
// manager (TWebEntityManager) that owns entities, jobs and workers.
//
// Threads. The manager is created on the user-interface ("main") thread and
// lives there: entities are created, used and freed there, messages are
// processed there. Workers (ttQDSTransport.h) run their own threads and reach
// the main thread only by posting messages (PostMessage); the objects a message
// carries are released when it is never processed, so nothing leaks when the
// manager is freed with messages in flight.
//
// Lock order (a lock may only be taken while holding locks above it):
//   worker's processed-entity lock
//   job list lock (TSmartJobList)
//   entity list lock (TThreadSafeList of the manager)
// The authentication lock, the property lock, the message-copy lock and the
// configuration locks are leaves: nothing else is taken while they are held,
// except that a worker holding the authentication lock during a passport
// exchange posts messages (message-copy lock) and uses the cookie storage.
// Entities are never destroyed while the entity list lock is held.
//
// Waits on the main thread (for a lock a worker may hold, or for a worker to
// let go of an entity) pump sent messages, so a worker that sends to the main
// thread never deadlocks with it.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "http/TarvoWinInet.h"
#include "platform/core/ThreadChecker.h"
#include "platform/system/KernelObjects.h"
#include "platform/system/MessageQueue.h"
#include "qds/ttQDSBaseLog.h"
#include "qds/ttQDSMisc.h"
#include "qds/ttQDSPrimitives.h"

namespace tarvo {

class TWebEntity;
class TWebEntityManager;
class TLogEntity;
class TSmartJobList;
class TQDSDownloaderBaseThread;
enum class TProcessingMode : std::uint8_t;

// --- messages --------------------------------------------------------------------------

// What a main-thread message is about; the ordinal travels in the low byte of
// the message's first parameter.
enum class TQDSMessageParam : std::uint8_t {
  mpDownloadProgress,
  mpHandleUpdate,
  mpHandleAltUpdate,
  mpFreeEntity,
  mpRestarted,
  mpPassport,
  mpLogEntry,
  mpIEOffline,
  mpGoneOffline,
  mpFeedingException,
  mpPostingException,
  mpPuttingException,
  mpDeletingException,
  mpFeedingSuccess,
  mpPostingSuccess,
  mpPuttingSuccess,
  mpDeletingSuccess,
  mpFeedingStopped,
  mpPostingStopped,
  mpPuttingStopped,
  mpDeletingStopped,
  mpCriticalError,
  mpCantLogin,
  mpStructureProblem,
  mpStructureLoaded,
  mpAuthProblems,
  mpCheckUpdates,
  mpRequestSessionID,
  mpCountOnliners,
  mpSearchDataCame,
  mpNotTradedCame,
  mpBoardLookupCame,
  mpSecHistDataCame,
  mpPrepareSecHist,
  mpFieldsDataCame,
  mpNoHistory,
  mpNoTrades,
  mpNoSec,
  mpSettingsChanged,
  mpReserved0,
  mpReserved1,
  mpReserved2
};
inline constexpr int QDSMessageParamCount = 42;
using TQDSMessageParams = TEnumSet<TQDSMessageParam>;
static_assert(QDSMessageParamCount <= 64);

// A short text per message, for diagnostics.
extern const char* const MessageNames[QDSMessageParamCount];

// The method of a family message (Feeding/Posting/Putting/Deleting x
// Exception/Success/Stopped); mUnknown for any other message.
TRequestMethod MessageMethod(TQDSMessageParam Param);
// The family message of a method: mPost, mPut and mDelete their own, every
// other method the "Feeding" one.
TQDSMessageParam SuccessMessage(TRequestMethod Method);
TQDSMessageParam ExceptionMessage(TRequestMethod Method);
TQDSMessageParam StoppedMessage(TRequestMethod Method);

// The first parameter of a message: message, session and 16 unused bits.
struct TWebClientWParam {
  std::uint8_t Param = 0;
  std::uint8_t Session = 0;
  std::uint16_t UnusedHi = 0;
  std::uint32_t AsWParam() const {
    return Param | (std::uint32_t{Session} << 8) | (std::uint32_t{UnusedHi} << 16);
  }
  static TWebClientWParam From(std::uintptr_t w) {
    return {static_cast<std::uint8_t>(w & 0xFF), static_cast<std::uint8_t>((w >> 8) & 0xFF),
            static_cast<std::uint16_t>((w >> 16) & 0xFFFF)};
  }
};

// A message as the main window receives it.
struct TWebClientMessage {
  std::uint32_t Msg = 0;
  TWebClientWParam WParam;
  std::intptr_t LParam = 0;
  std::int32_t Result = 0;
  TQDSMessageParam Param() const { return static_cast<TQDSMessageParam>(WParam.Param); }
};

// The window message id of the channel.
inline constexpr std::uint32_t QDSWindowMessage = 2029;

// The message channel. Posting works from any thread; processing happens on
// the main thread. A message whose second parameter is an object that must be
// released (a log entry, an entity of a family message ...) is also kept as a
// queued copy: when the manager is freed, or the message is cancelled or
// belongs to an outdated session, the object is released instead of leaking.
//
// The main window: with a handle of 0 the channel registers a window of its
// own on the process's user-interface queue (platform::MessageQueue::UI()) that
// hands every message to ProcessMessageFromMainThread; with a host's window the
// host does that itself. Create it on the user-interface thread.
class TQDSMessageManager {
 public:
  explicit TQDSMessageManager(platform::WindowHandle aMainThreadFormHandle = 0);
  // Releases nothing itself: call BeforeDestruction first (the releasing goes
  // through virtual operations that no longer dispatch in a destructor). Never
  // waits for other threads.
  virtual ~TQDSMessageManager();
  TQDSMessageManager(const TQDSMessageManager&) = delete;
  TQDSMessageManager& operator=(const TQDSMessageManager&) = delete;

  // The explicit first half of destruction (main thread): every message still
  // queued is released in queue order, stopping at the first release that
  // fails. Idempotent.
  virtual void BeforeDestruction();

  // Queues a copy (unless the object needs no releasing) and posts the window
  // message; Session 0 means the current session. Any thread.
  void PostMessage(TQDSMessageParam Param, std::intptr_t LParam, std::uint8_t Session = 0);
  // The same message sent synchronously with the current session; the window's
  // answer, or 0 when it could not be delivered.
  std::intptr_t SendMessage(TQDSMessageParam Param, std::intptr_t LParam);
  // Removes the queued copies of that message and object; the window message,
  // when it arrives, is then dropped (neither processed nor released), so the
  // caller owns the object again.
  void CancelMessage(TQDSMessageParam Param, std::intptr_t LParam);
  // The host hands every window message with id Msg() here (main thread).
  void ProcessMessageFromMainThread(TWebClientMessage& Message);
  // The next session: + 1, wrapping at 256 and skipping 0 (which PostMessage
  // reads as "the current session").
  void ChangeSession();

  std::uint8_t MessageSession() const noexcept { return fSession.load(); }
  std::uint32_t Msg() const noexcept { return fMSG; }
  platform::WindowHandle MainFormHandle() const noexcept { return fMainFormHandle; }
  // Copies still queued (for diagnostics and tests).
  int UnprocessedMessagesCount() const;
  bool Unleakable(TQDSMessageParam Param) const { return fUnleakableParams.Contains(Param); }
  platform::MessageQueue& Queue() const noexcept { return *fQueue; }

 protected:
  // Sets fMSG; derived managers set their configuration here. Called by the
  // constructor of the most derived class that needs it (see TWebEntityManager).
  virtual void CreateConfig();
  virtual void DoProcessMessageFromMainThread(TWebClientMessage& Message) = 0;
  virtual void ReleaseMessageFromMainThread(TWebClientMessage& Message) = 0;

  std::atomic<std::uint8_t> fSession{1};
  platform::WindowHandle fMainFormHandle = 0;
  // The queued copies in posting order (under fQueueLock).
  std::deque<TWebClientMessage> fUnprocessedMessages;
  std::uint32_t fMSG = QDSWindowMessage;
  TQDSMessageParams fUnleakableParams;
  mutable std::mutex fQueueLock;
  // The thread that made the manager: the main thread. Calls marked "main
  // thread" check it (under the sanitizer presets they throw elsewhere).
  platform::ThreadChecker fMainThread;

 private:
  bool NeedsCopy(TQDSMessageParam Param, std::intptr_t LParam) const;
  platform::MessageQueue* fQueue = nullptr;
  platform::WindowHandle fOwnWindow = 0;
  bool fReleased = false;
};

// --- manager types ------------------------------------------------------------------------

enum class TAuthenticationState : std::uint8_t { asNone, asSkipped, asGranted, asDenied };
enum class TWebClientFlag : std::uint8_t {
  wcpWantsGoOnline,
  wcpTerminating,
  wcpReserved0,
  wcpReserved1,
  wcpReserved2,
  wcpReserved3,
  wcpReserved4
};
using TWebClientFlags = TEnumSet<TWebClientFlag>;
enum class TThreadIterationReason : std::uint8_t {
  irCancelJob,
  irCheckProcessing,
  irRestart,
  irTerminate,
  irWaitFor,
  irFree
};
enum class TEntityHealth : std::uint8_t { ehCrushed, ehSick, ehHealthy, ehNotModified };
enum class TContentHealth : std::uint8_t { chDead, chUpstreamError, chHealthy };
enum class TForbiddenness : std::uint8_t { fNone, f403, fNotSupported };
enum class TWebEntityState : std::uint8_t {
  wesDestroying,
  wesLoadedFromCache,
  wesDownloaded,
  wesFailedToDownload,
  wesPosted
};
using TWebEntityStates = TEnumSet<TWebEntityState>;
enum class TWebAction : std::uint8_t { acObjectDestroy, acInsertBlock, acPostingBlock };
enum class TWebEventReason : std::uint8_t {
  wevSourceChange,
  wevStatusChange,
  wevStatusChangeAlt,
  wevRecordInsert
};

// A class of web entities: answers whether an entity is an instance of it
// (descendants count). EntityClass<T> names the class T.
using TWebEntityClass = bool (*)(const TWebEntity& Entity);
template <class T>
bool IsEntityOf(const TWebEntity& Entity) {
  return dynamic_cast<const T*>(&Entity) != nullptr;
}
template <class T>
inline constexpr TWebEntityClass EntityClass = &IsEntityOf<T>;

// A list guarded by its own (recursive) lock. Lock() hands out the list
// together with a scoped hold of the lock; LockList/UnlockList are the paired
// form for callers that cannot keep a scope.
class TThreadSafeList {
 public:
  // The items, locked for the life of this object.
  class Locked {
   public:
    std::vector<TWebEntity*>& operator*() const noexcept { return *fItems; }
    std::vector<TWebEntity*>* operator->() const noexcept { return fItems; }

   private:
    friend class TThreadSafeList;
    Locked(std::recursive_mutex& guard, std::vector<TWebEntity*>& items)
        : fHold(guard), fItems(&items) {}
    std::unique_lock<std::recursive_mutex> fHold;
    std::vector<TWebEntity*>* fItems;
  };

  [[nodiscard]] Locked Lock() { return Locked(fGuard, fItems); }
  std::vector<TWebEntity*>& LockList() {
    fGuard.lock();
    return fItems;
  }
  void UnlockList() { fGuard.unlock(); }
  std::recursive_mutex& Guard() noexcept { return fGuard; }

 private:
  std::recursive_mutex fGuard;
  std::vector<TWebEntity*> fItems;
};

// The error of a cast that cannot be made (an owner that is no view host).
class EInvalidCast : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What a web entity needs of its manager.
class IQDSViewHost {
 public:
  virtual std::thread::id MainThreadID() const = 0;
  virtual TWebServiceConfig* GetSettings() const = 0;
  virtual double Now() const = 0;
  virtual bool GetReady() const = 0;
  virtual TWebClientFlags CurrentlyFlags() const = 0;
  virtual bool GetOnline(bool Estimate) = 0;
  virtual bool CancelJob(TWebEntity* Entity, TRequestMethod Method) = 0;
  virtual bool IterateThreads(TThreadIterationReason Reason, TWebEntity* Entity) = 0;
  virtual std::unique_ptr<TqdsURL> FindoutURL(TWebEntity* Entity, TRequestMethod Method) = 0;
  virtual void PostMessage(TQDSMessageParam Param, std::intptr_t LParam, std::uint8_t Session) = 0;
  virtual void CancelMessage(TQDSMessageParam Param, std::intptr_t LParam) = 0;
  virtual TThreadSafeList& GetEntityList() = 0;
  virtual bool ValidEntity(const TWebEntity* Entity) = 0;
  // Waits, pumping sent messages on the main thread, until done() holds.
  virtual void WaitPumping(const std::function<bool()>& done) = 0;

 protected:
  ~IQDSViewHost() = default;
};

// What the job list needs of its owner (the manager; tests give a fake).
class IJobListOwner {
 public:
  virtual bool ValidEntity(const TWebEntity* Entity) = 0;
  // Signals the shared wake-up event: one waiting worker wakes.
  virtual void SignalWakeup() = 0;
  virtual void HandleCrushed(TQDSEntry& Entry, TWebEntity* Entity, bool GaveUp) = 0;

 protected:
  ~IJobListOwner() = default;
};

// --- links and groupings -----------------------------------------------------------------

using TWebEntityEvent = std::function<void(TWebEventReason Event)>;

// An observer's attachment to an entity. Destroying the link detaches it.
class TWebEntityLink {
 public:
  TWebEntityLink() = default;
  ~TWebEntityLink() { SetEntity(nullptr); }
  TWebEntityLink(const TWebEntityLink&) = delete;
  TWebEntityLink& operator=(const TWebEntityLink&) = delete;

  // Leaves the old entity's links, takes the new one, tells the observer
  // wevSourceChange (also for none) and joins the new entity's links.
  void SetEntity(TWebEntity* Value);
  void HandleEvent(TWebEventReason Event) {
    if (fOnHandle) fOnHandle(Event);
  }
  TWebEntity* Entity() const noexcept { return fEntity; }
  const TWebEntityEvent& OnHandle() const noexcept { return fOnHandle; }
  void SetOnHandle(TWebEntityEvent Value) { fOnHandle = std::move(Value); }

 private:
  friend class TWebEntity;
  TWebEntityEvent fOnHandle;
  TWebEntity* fEntity = nullptr;
};

// The links of an entity (not owned).
class TLinkList {
 public:
  // EQDSException "Got no link at %d" outside the list.
  TWebEntityLink* Get(int Index) const;
  int Count() const noexcept { return static_cast<int>(fItems.size()); }
  void Add(TWebEntityLink* Link) { fItems.push_back(Link); }
  void Remove(TWebEntityLink* Link);

 private:
  std::vector<TWebEntityLink*> fItems;
};

// Entities that go away together. The base frees itself on ScheduleFreeing
// unless processings are pending or it is freeing already.
class TEntityGrouping {
 public:
  TEntityGrouping() = default;
  virtual ~TEntityGrouping() = default;
  virtual void ScheduleFreeing();

  std::vector<TWebEntity*> fEntities;
  bool fGotPendingProcessings = false;
  bool fFreeing = false;
};

// --- web entities ---------------------------------------------------------------------------

struct TWebEntityProblemsPack {
  std::string fLastError;
  int fFailCount = 0;
  bool fCrushed = false;
  TForbiddenness fForbidden = TForbiddenness::fNone;
};

// An entity's identity in messages: a number given once per process and never
// again, so that it names one entity and one life of it (an id and its
// generation in one). A message that names an entity carries this, never its
// address: a message still queued for a freed entity finds nothing, even when
// a new entity lives at the same address.
using TWebEntityId = std::uint64_t;

// Anything the client fetches for a view. Created on the main thread with its
// manager, which must implement IQDSViewHost (else EInvalidCast "Owner MUST
// implement IQDSViewHost"); the entity enters the manager's entity list.
// Freed only by TWebEntity::Free on the main thread.
class TWebEntity {
 public:
  explicit TWebEntity(IQDSViewHost* Owner);
  TWebEntity(const TWebEntity&) = delete;
  TWebEntity& operator=(const TWebEntity&) = delete;

  // Frees an entity: off the main thread EQDSException "Thy shall not free
  // entities!" (nothing changes). Otherwise it is marked destroying, its jobs
  // are cancelled, it waits (pumping sent messages) while a worker still
  // processes it, leaves the entity list, detaches every link (each observer
  // gets wevSourceChange), tells its grouping and is deleted.
  static void Free(TWebEntity* Entity);

  virtual std::string ClassName() const { return "TWebEntity"; }
  virtual void OnEnqueuingToDownload(bool /*Interactive*/) {}
  // The kept address for the method, made by the manager on first use and
  // refreshed when outdated; nullptr when there is none. Any thread: workers
  // call it while the UI thread may mark the addresses outdated after a
  // restart.
  virtual TqdsURL* GetURL(TRequestMethod Method);
  virtual TqdsURL* InitUrl(TRequestMethod Method) { return GetURL(Method); }
  virtual bool LoadingNeeded() { return true; }
  // Tells every link, from the last to the first (main thread).
  virtual void RaiseEvent(TWebEventReason Event);
  virtual void AfterRestart();
  virtual std::string BlockName() const { return {}; }
  virtual TVers Version() const { return {1, 1}; }
  virtual void Lock() {}
  virtual void Unlock() {}

  // Tells observers: on the main thread at once, else through a message.
  void Handle(TWebAction Action, TDataFlag DataFlag, std::uint8_t Session);
  // Keeps a readable extract of a failed answer in AnswerDump.
  void Dump(const TQDSEntry& Entry);
  std::string GetName() const;
  std::string LastCallerForDisplay() const;
  std::string LastCallerOrName() const;

  bool GetCrushed(TRequestMethod m);
  TForbiddenness GetForbidden(TRequestMethod m);
  int GetFailCount(TRequestMethod m);
  void SetFailCount(TRequestMethod m, int Value);
  std::string GetLastError(TRequestMethod m);
  void SetLastError(TRequestMethod m, std::string Value);

  IQDSViewHost* Owner() const noexcept { return fQDSViewHost; }
  // Never 0; see TWebEntityId.
  TWebEntityId Id() const noexcept { return fId; }
  TWebEntityStates State() const noexcept { return TWebEntityStates::FromBits(fState.load()); }
  const std::string& AnswerDump() const noexcept { return fDump; }
  std::string fLastCaller;
  bool AlternativeLoadingProcess() const noexcept { return fAlternativeLoadingProcess.load(); }
  void SetAlternativeLoadingProcess(bool v) noexcept { fAlternativeLoadingProcess = v; }
  int MaxFailsAllowed() const noexcept { return fMaxFailsAllowed; }
  const std::vector<TWebEntityClass>& PrecessorClasses() const noexcept {
    return fPrecessorClasses;
  }
  TLinkList& Links() noexcept { return fLinks; }
  void SetObsoleteUser(TEntityGrouping* g) noexcept { fObsoleteUser = g; }

  // Health after a request; see TWebEntityManager::EntityCrushed.
  TWebEntityProblemsPack& PropsByMethod(TRequestMethod m) { return fPropsByMethod[Index(m)]; }

 protected:
  // Protected: entities are freed through Free.
  virtual ~TWebEntity();
  static std::size_t Index(TRequestMethod m) { return static_cast<std::size_t>(m) % 5; }
  void AddState(TWebEntityState s) { fState.fetch_or(TWebEntityStates{s}.Bits()); }

  // The addresses per method, made on first use by workers and marked
  // outdated by the UI thread after a restart: the slots are guarded by
  // fURLGuard (taken before the lock all addresses share). A filled slot is
  // never emptied before the entity goes, so GetURL's pointer stays valid.
  std::unique_ptr<TqdsURL> fURL[5];
  mutable std::mutex fURLGuard;
  IQDSViewHost* fQDSViewHost = nullptr;
  TLinkList fLinks;
  std::atomic<TWebEntityStates::word_type> fState{0};
  const TWebEntityId fId;
  std::string fDump;
  std::atomic<bool> fAlternativeLoadingProcess{false};
  TWebEntityProblemsPack fPropsByMethod[5];
  TEntityGrouping* fObsoleteUser = nullptr;
  std::vector<TWebEntityClass> fPrecessorClasses;
  int fMaxFailsAllowed = 10;

 private:
  friend class TWebEntityLink;
};

// The request log: at most 1 000 entries (the oldest go first) and the view of
// those whose address contains the filter text. Main thread.
class TLogEntity : public TWebEntity {
 public:
  explicit TLogEntity(IQDSViewHost* Owner) : TWebEntity(Owner) {}
  std::string ClassName() const override { return "TLogEntity"; }
  virtual void Init() {}

  void Add(std::unique_ptr<TQDSLogEntry> aItem);
  int Count() const noexcept { return static_cast<int>(fList.size()); }
  TQDSLogEntry* GetItem(int aIndex) const;
  void SetItem(int aIndex, std::unique_ptr<TQDSLogEntry> aValue);
  int FilteredCount() const noexcept { return static_cast<int>(fView.size()); }
  TQDSLogEntry* GetFilteredItem(int aIndex) const;
  void SetFilterString(const std::string& Text);
  const std::string& Filter() const noexcept { return fFilterString; }
  bool Accepted(const TQDSLogEntry& Item) const;

  static constexpr std::size_t MaxEntries = 1000;

 protected:
  ~TLogEntity() override;
  std::deque<std::unique_ptr<TQDSLogEntry>> fList;
  std::deque<TQDSLogEntry*> fView;
  std::string fFilterString;
};

// The class the manager creates its log with.
using TLogEntityClass = TLogEntity* (*)(IQDSViewHost* Owner);
extern std::atomic<TLogEntityClass> LogEntityClass;

// --- the manager ------------------------------------------------------------------------------

// Makes the workers of a manager (one per configured thread).
using TQDSDownloaderThreadClass =
    std::function<std::unique_ptr<TQDSDownloaderBaseThread>(TWebEntityManager& Owner)>;

// A QDS client: entities, jobs, workers, cookies, problem flags, the
// authentication state and the request log. Main thread, except where an
// operation says otherwise. Freeing: Terminate and Shutdown (or
// BeforeDestruction, which does what is left) before the destructor; the
// destructor never waits for workers.
class TWebEntityManager : public TQDSMessageManager, public IQDSViewHost, public IJobListOwner {
 public:
  explicit TWebEntityManager(platform::WindowHandle aMainThreadFormHandle = 0);
  ~TWebEntityManager() override;

  // Clears the jobs, shuts down when still working, then releases queued
  // messages (main thread).
  void BeforeDestruction() override;

  // --- jobs (main thread) ---
  virtual void AddDownloadJob(const std::string& Reason, TWebEntity* Entity, bool Interactive);
  void AddPostJob(const std::string& Reason, TWebEntity* Entity, std::vector<std::uint8_t> Data);
  void AddPutJob(const std::string& Reason, TWebEntity* Entity, std::vector<std::uint8_t> Data);
  void AddDeleteJob(const std::string& Reason, TWebEntity* Entity, std::vector<std::uint8_t> Data);
  void AddGenericJob(const std::string& Reason, TWebEntity* Entity, bool Interactive,
                     TRequestMethod Method, const std::vector<std::uint8_t>* Data);
  bool CancelJob(TWebEntity* Entity, TRequestMethod Method) override;
  virtual void ClearAllJobs(bool SendFailureNotifications);

  // --- life ---
  virtual void Startup();
  virtual void Shutdown();
  virtual bool Restart(bool AlertIfCouldNot);
  virtual void RestartCompleted();
  virtual void Terminate();
  void WaitFor();
  bool WaitFotReadiness();
  virtual void SettingsChanged();

  // --- state (any thread) ---
  bool GetAlive() const;
  bool GetReady() const override;
  bool GetRestarting() const;
  bool GetOnline(bool Estimate) override;
  TWebClientFlags CurrentlyFlags() const override {
    return TWebClientFlags::FromBits(fCurrently.load());
  }
  int WebClientsWorking() const noexcept { return fWebClientsWorking.load(); }
  bool TryBringIEOnline();
  bool GetCriticalServerError() const;
  bool GetRecoverableServerError() const;
  void SetCriticalServerError(bool On);
  void SetRecoverableServerError(bool On);
  void WorryEntities();
  bool Online() const noexcept { return fOnline.load(); }
  void SetOnline(bool v) noexcept { fOnline = v; }
  TAuthenticationState Authentication() const noexcept { return fAuthentication.load(); }
  // Under the authentication lock.
  void SetAuthentication(TAuthenticationState s);
  bool PassportPermits() const noexcept { return fPassportPermits; }
  const std::string& HostAppVersion() const noexcept { return fHostAppVersion; }
  virtual void SetHostAppVersion(const std::string& Text) { fHostAppVersion = Text; }
  TLogEntity* LogEntity() const noexcept { return fLogEntity; }
  TWebServiceConfig* Settings() const noexcept { return fSettings; }
  TWebServiceConfig& LastConfig() const noexcept { return *fLastConfig; }
  TSmartJobList& JobsQueue() noexcept { return *fJobs; }
  TCookieStorage& CookieStorage() noexcept { return fCookieStorage; }
  TQDSBasicContext& Context() noexcept { return fContext; }
  platform::Event& WakeupEvent() noexcept { return fWakeupEvent; }
  const std::string& UserAgent() const noexcept { return fUserAgent; }
  std::string LastAuthError() const;
  void SetLastAuthError(std::string v);
  double RespTime() const noexcept { return fRespTime.load(); }
  std::size_t ThreadCount() const noexcept { return fThreads.size(); }
  TQDSDownloaderBaseThread* Thread(std::size_t i) const { return fThreads[i]; }

  // --- locks ---
  // The authentication lock; on the main thread the wait pumps sent messages.
  void LockAuthentication();
  void UnlockAuthentication() { fAuthenticationGuard.unlock(); }
  void LockProps();
  void UnlockProps() { fPropsGuard.unlock(); }
  void LockSettings() { fSettings->Lock(); }
  void UnlockSettings() { fSettings->Unlock(); }

  // --- entities ---
  bool EntityIsInList(const TWebEntity* X);
  // The listed entity with this id; nullptr when it is gone (ids are never
  // reused, so a freed entity's id never finds another).
  TWebEntity* FindEntity(TWebEntityId Id);
  std::vector<TWebEntity*> EntityListCopy();
  void RemoveEntity(TWebEntity* Entity);
  void AddEntity(TWebEntity* Entity);
  TThreadSafeList& GetEntityList() override { return fEntityList; }
  TThreadSafeList& EntityList() { return fEntityList; }
  bool ValidEntity(const TWebEntity* X) override;
  TEntityHealth EntityCrushed(TQDSEntry& Entry, TWebEntity* Entity);
  bool IterateThreads(TThreadIterationReason Reason, TWebEntity* Entity) override;
  void ThreadRestarted(TQDSDownloaderBaseThread* Worker);

  // --- IQDSViewHost ---
  std::thread::id MainThreadID() const override { return fMainThreadID; }
  TWebServiceConfig* GetSettings() const override { return fSettings; }
  double Now() const override;
  std::unique_ptr<TqdsURL> FindoutURL(TWebEntity* Entity, TRequestMethod Method) override;
  void PostMessage(TQDSMessageParam Param, std::intptr_t LParam, std::uint8_t Session) override {
    TQDSMessageManager::PostMessage(Param, LParam, Session);
  }
  void CancelMessage(TQDSMessageParam Param, std::intptr_t LParam) override {
    TQDSMessageManager::CancelMessage(Param, LParam);
  }
  void WaitPumping(const std::function<bool()>& done) override;
  bool IsMainThread() const { return std::this_thread::get_id() == fMainThreadID; }

  // --- IJobListOwner ---
  void SignalWakeup() override { fWakeupEvent.Set(); }
  void HandleCrushed(TQDSEntry& Entry, TWebEntity* Entity, bool GaveUp) override;

  // --- what the workers ask ---
  virtual int EffectiveThreadCnt();
  virtual void OnInetException(const std::exception& E, TProcessingMode Mode, bool Recoverable,
                               TJobFlags JobFlags) = 0;
  virtual void OnCantLogin(const std::string& Source, bool AuthProblem) = 0;
  virtual TQDSDownloaderThreadClass QDSDownloaderThreadClass() = 0;
  virtual void FreeEntityInMainThread(TWebEntity* Entity);
  virtual void AddPostHeaders(TWinInetRequest& Request, TQDSEntry& Entry);
  virtual void AddGetHeaders(TWinInetRequest& Request, TQDSEntry& Entry);
  virtual void ResetAuthenticationState();
  // Sets pGlobalOffline under the property lock; true when it was not set.
  bool MarkGlobalOffline();

 protected:
  void CreateConfig() override;
  virtual void DestroyConfig() {}
  virtual void FreeEntities();
  virtual void StartupConfig();
  void DoProcessMessageFromMainThread(TWebClientMessage& Message) override;
  void ReleaseMessageFromMainThread(TWebClientMessage& Message) override;
  void MergeLogEntry(std::unique_ptr<TQDSLogEntry> Entry);
  // Copies the live configuration into fLastConfig under its lock.
  void CopyLiveConfig();

  std::vector<TQDSDownloaderBaseThread*> fThreads;  // owned through fOwnedThreads
  std::vector<std::unique_ptr<TQDSDownloaderBaseThread>> fOwnedThreads;
  std::thread::id fMainThreadID;
  TThreadSafeList fEntityList;
  platform::Event fWakeupEvent{false, false};
  std::mutex fRestartGuard;
  std::vector<TQDSDownloaderBaseThread*> fRestartList;
  std::unique_ptr<TSmartJobList> fJobs;
  std::atomic<TAuthenticationState> fAuthentication{TAuthenticationState::asNone};
  TCookieStorage fCookieStorage;
  bool fPassportPermits = false;
  std::recursive_mutex fAuthenticationGuard;
  std::atomic<bool> fOnline{false};
  std::recursive_mutex fPropsGuard;
  std::atomic<double> fRespTime{0};
  std::string fHostAppVersion;
  std::atomic<int> fWebClientsWorking{0};
  std::unique_ptr<TWebServiceConfig> fLastConfig;
  TQDSBasicContext fContext;
  std::atomic<TWebClientFlags::word_type> fCurrently{0};
  TLogEntity* fLogEntity = nullptr;
  std::string fUserAgent = "TARVO Trade";
  std::string fLastAuthError;
  TWebServiceConfig* fSettings = nullptr;

 private:
  void AddFlag(TWebClientFlag f) { fCurrently.fetch_or(TWebClientFlags{f}.Bits()); }
  void RemoveFlag(TWebClientFlag f) { fCurrently.fetch_and(~TWebClientFlags{f}.Bits()); }
  void SetProblem(TQDSProblem p, bool On);
  bool fBeforeDestructionDone = false;
};

}  // namespace tarvo
