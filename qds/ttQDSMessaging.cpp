#include "qds/ttQDSMessaging.h"

#include <algorithm>
#include <cctype>
#include <chrono>

#include "host/tvLocale.h"
#include "platform/core/DateTime.h"
#include "platform/core/Format.h"
#include "platform/core/ScopedLock.h"
#include "platform/core/Text.h"
#include "platform/net/Inet.h"
#include "qds/ttQDSTransport.h"

namespace tarvo {

// --- messages --------------------------------------------------------------------------

const char* const MessageNames[QDSMessageParamCount] = {
    "Download Progress", "Handle Update",     "Altern Update",    "Free Entity",
    "Restarted",         "Passport",          "Log Entry",        "IE Offline",
    "Gone Offline",      "Feeding Exception", "Posting fail",     "Putting Exception",
    "Deleting fail",     "Feeding Success",   "Posting Success",  "Putting Success",
    "Deleting Success",  "Feeding cancel",    "Posting cancel",   "Putting cancel",
    "Deleting cancel",   "Critical Error",    "Can't Login",      "Structure Problem",
    "Structure Loaded",  "Wrong Auth Params", "Check Updates",    "Request Session ID",
    "Count subscribers", "Search Data Came",  "Not traded secs",  "Board Lookup Came",
    "SecHist Data Came", "Preparing SecHist", "Fields Data Came", "No History",
    "No Trades",         "No Security",       "Settings Changed", "something",
    "something",         "something"};

TRequestMethod MessageMethod(TQDSMessageParam Param) {
  const int p = static_cast<int>(Param);
  if (p < static_cast<int>(TQDSMessageParam::mpFeedingException) ||
      p > static_cast<int>(TQDSMessageParam::mpDeletingStopped))
    return TRequestMethod::mUnknown;
  static constexpr TRequestMethod kByColumn[] = {TRequestMethod::mGet, TRequestMethod::mPost,
                                                 TRequestMethod::mPut, TRequestMethod::mDelete};
  return kByColumn[(p - static_cast<int>(TQDSMessageParam::mpFeedingException)) % 4];
}

namespace {
TQDSMessageParam FamilyMessage(TQDSMessageParam Feeding, TRequestMethod Method) {
  int offset = 0;
  switch (Method) {
    case TRequestMethod::mPost:
      offset = 1;
      break;
    case TRequestMethod::mPut:
      offset = 2;
      break;
    case TRequestMethod::mDelete:
      offset = 3;
      break;
    default:
      offset = 0;
  }
  return static_cast<TQDSMessageParam>(static_cast<int>(Feeding) + offset);
}
}  // namespace

TQDSMessageParam SuccessMessage(TRequestMethod Method) {
  return FamilyMessage(TQDSMessageParam::mpFeedingSuccess, Method);
}
TQDSMessageParam ExceptionMessage(TRequestMethod Method) {
  return FamilyMessage(TQDSMessageParam::mpFeedingException, Method);
}
TQDSMessageParam StoppedMessage(TRequestMethod Method) {
  return FamilyMessage(TQDSMessageParam::mpFeedingStopped, Method);
}

TQDSMessageManager::TQDSMessageManager(platform::WindowHandle aMainThreadFormHandle)
    : fMainFormHandle(aMainThreadFormHandle), fQueue(&platform::MessageQueue::UI()) {
  TQDSMessageManager::CreateConfig();
  fUnleakableParams = {TQDSMessageParam::mpDownloadProgress, TQDSMessageParam::mpHandleUpdate,
                       TQDSMessageParam::mpHandleAltUpdate, TQDSMessageParam::mpFreeEntity,
                       TQDSMessageParam::mpRequestSessionID};
  if (fMainFormHandle == 0) {
    fOwnWindow = fQueue->Register([this](std::uint32_t msg, std::uintptr_t w, std::intptr_t l) {
      if (msg != fMSG) return std::intptr_t{0};
      TWebClientMessage m;
      m.Msg = msg;
      m.WParam = TWebClientWParam::From(w);
      m.LParam = l;
      ProcessMessageFromMainThread(m);
      return static_cast<std::intptr_t>(m.Result);
    });
    fMainFormHandle = fOwnWindow;
  }
}

TQDSMessageManager::~TQDSMessageManager() {
  // Window messages still pending are only notices: their objects are the
  // queued copies, released by BeforeDestruction.
  if (fOwnWindow != 0) fQueue->Unregister(fOwnWindow);
}

void TQDSMessageManager::CreateConfig() {
  fMSG = QDSWindowMessage;
}

void TQDSMessageManager::BeforeDestruction() {
  fMainThread.CalledOnValidThread("TQDSMessageManager::BeforeDestruction");
  if (fOwnWindow != 0) {
    fQueue->Unregister(fOwnWindow);
    fOwnWindow = 0;
  }
  if (fReleased) return;
  fReleased = true;
  std::deque<TWebClientMessage> pending;
  {
    std::lock_guard lock(fQueueLock);
    pending.swap(fUnprocessedMessages);
  }
  for (TWebClientMessage& m : pending) {
    try {
      ReleaseMessageFromMainThread(m);
    } catch (...) {
      break;
    }
  }
}

bool TQDSMessageManager::NeedsCopy(TQDSMessageParam Param, std::intptr_t LParam) const {
  if (fUnleakableParams.Contains(Param)) return false;
  if (Param == TQDSMessageParam::mpLogEntry && LParam == 0) return false;
  return true;
}

void TQDSMessageManager::PostMessage(TQDSMessageParam Param, std::intptr_t LParam,
                                     std::uint8_t Session) {
  const std::uint8_t session = Session != 0 ? Session : fSession.load();
  TWebClientWParam w{static_cast<std::uint8_t>(Param), session, 0};
  if (NeedsCopy(Param, LParam)) {
    std::lock_guard lock(fQueueLock);
    fUnprocessedMessages.push_back(TWebClientMessage{fMSG, w, LParam, 0});
  }
  // A post that fails (the queue is shut down) leaves the copy queued: it is
  // released with the manager.
  fQueue->Post(fMainFormHandle, fMSG, w.AsWParam(), LParam);
}

std::intptr_t TQDSMessageManager::SendMessage(TQDSMessageParam Param, std::intptr_t LParam) {
  TWebClientWParam w{static_cast<std::uint8_t>(Param), fSession.load(), 0};
  return fQueue->Send(fMainFormHandle, fMSG, w.AsWParam(), LParam).value_or(0);
}

void TQDSMessageManager::CancelMessage(TQDSMessageParam Param, std::intptr_t LParam) {
  if (fUnleakableParams.Contains(Param)) return;
  std::lock_guard lock(fQueueLock);
  // The rest keep their order: copies are released in posting order.
  std::erase_if(fUnprocessedMessages, [&](const TWebClientMessage& m) {
    return m.WParam.Param == static_cast<std::uint8_t>(Param) && m.LParam == LParam;
  });
}

void TQDSMessageManager::ProcessMessageFromMainThread(TWebClientMessage& Message) {
  fMainThread.CalledOnValidThread("TQDSMessageManager::ProcessMessageFromMainThread");
  bool hadCopy = false;
  {
    std::lock_guard lock(fQueueLock);
    // Messages arrive in posting order, so the copy is usually the first.
    const auto it = std::find_if(
        fUnprocessedMessages.begin(), fUnprocessedMessages.end(), [&](const TWebClientMessage& m) {
          return m.WParam.Param == Message.WParam.Param &&
                 m.WParam.Session == Message.WParam.Session && m.LParam == Message.LParam;
        });
    if (it != fUnprocessedMessages.end()) {
      fUnprocessedMessages.erase(it);
      hadCopy = true;
    }
  }
  // A message that needed a copy and has none was cancelled (or already
  // released): its object is not ours any more.
  if (NeedsCopy(Message.Param(), Message.LParam) && !hadCopy) return;
  if (Message.WParam.Session == fSession.load() || Message.Param() == TQDSMessageParam::mpRestarted)
    DoProcessMessageFromMainThread(Message);
  else
    ReleaseMessageFromMainThread(Message);
}

void TQDSMessageManager::ChangeSession() {
  // Session 0 means "the current one" to PostMessage, so it is never a real
  // session: a message of an old session 0 would otherwise pass as current.
  std::uint8_t s = fSession.load();
  std::uint8_t next;
  do {
    next = static_cast<std::uint8_t>(s + 1);
    if (next == 0) next = 1;
  } while (!fSession.compare_exchange_weak(s, next));
}

int TQDSMessageManager::UnprocessedMessagesCount() const {
  std::lock_guard lock(fQueueLock);
  return static_cast<int>(fUnprocessedMessages.size());
}

// --- links and groupings ---------------------------------------------------------------------

void TWebEntityLink::SetEntity(TWebEntity* Value) {
  if (Value == fEntity) return;
  if (fEntity != nullptr) fEntity->fLinks.Remove(this);
  fEntity = Value;
  HandleEvent(TWebEventReason::wevSourceChange);
  if (fEntity != nullptr) fEntity->fLinks.Add(this);
}

TWebEntityLink* TLinkList::Get(int Index) const {
  if (Index < 0 || Index >= Count())
    throw EQDSException(platform::Format("Got no link at %d", {Index}));
  return fItems[Index];
}

void TLinkList::Remove(TWebEntityLink* Link) {
  auto it = std::find(fItems.begin(), fItems.end(), Link);
  if (it != fItems.end()) fItems.erase(it);
}

void TEntityGrouping::ScheduleFreeing() {
  if (!fGotPendingProcessings && !fFreeing) delete this;
}

// --- web entities ---------------------------------------------------------------------------

namespace {
TWebEntityId NextEntityId() {
  static std::atomic<TWebEntityId> last{0};
  return last.fetch_add(1, std::memory_order_relaxed) + 1;
}
}  // namespace

TWebEntity::TWebEntity(IQDSViewHost* Owner) : fQDSViewHost(Owner), fId(NextEntityId()) {
  if (Owner == nullptr) throw EInvalidCast("Owner MUST implement IQDSViewHost");
  if (TWebServiceConfig* s = Owner->GetSettings()) fMaxFailsAllowed = s->MaxFails();
  Owner->GetEntityList().Lock()->push_back(this);
}

TWebEntity::~TWebEntity() = default;

void TWebEntity::Free(TWebEntity* Entity) {
  if (Entity == nullptr) return;
  IQDSViewHost* host = Entity->fQDSViewHost;
  if (host != nullptr && std::this_thread::get_id() != host->MainThreadID())
    throw EQDSException("Thy shall not free entities!");
  Entity->AddState(TWebEntityState::wesDestroying);
  if (host != nullptr) {
    host->CancelJob(Entity, TRequestMethod::mUnknown);
    host->WaitPumping(
        [&] { return !host->IterateThreads(TThreadIterationReason::irCheckProcessing, Entity); });
    std::erase(*host->GetEntityList().Lock(), Entity);
  }
  while (Entity->fLinks.Count() > 0) {
    TWebEntityLink* link = Entity->fLinks.Get(Entity->fLinks.Count() - 1);
    link->SetEntity(nullptr);
  }
  if (Entity->fObsoleteUser != nullptr) Entity->fObsoleteUser->ScheduleFreeing();
  delete Entity;
}

TqdsURL* TWebEntity::GetURL(TRequestMethod Method) {
  const std::size_t i = Index(Method);
  {
    std::lock_guard guard(fURLGuard);
    if (fURL[i] && !fURL[i]->GetOutdated()) return fURL[i].get();
  }
  // The host builds the address outside the guard: it may take locks of its
  // own or ask the UI thread, which may be waiting for this guard.
  std::unique_ptr<TqdsURL> fresh = fQDSViewHost->FindoutURL(this, Method);
  std::lock_guard guard(fURLGuard);
  if (!fURL[i])
    fURL[i] = std::move(fresh);
  else if (fresh)
    fURL[i]->Assign(
        *fresh);  // a slot, once filled, keeps its object: pointers handed out stay valid
  return fURL[i].get();
}

void TWebEntity::RaiseEvent(TWebEventReason Event) {
  for (int i = fLinks.Count() - 1; i >= 0; --i) {
    if (i >= fLinks.Count()) continue;  // an observer detached others
    fLinks.Get(i)->HandleEvent(Event);
  }
}

void TWebEntity::AfterRestart() {
  {
    std::lock_guard guard(fURLGuard);
    for (auto& url : fURL)
      if (url) url->SetOutdated(true);
  }
  {
    const platform::ScopedLock hold(*this);
    for (auto& p : fPropsByMethod) {
      p.fFailCount = 0;
      p.fLastError.clear();
    }
  }
  fDump.clear();
  RaiseEvent(TWebEventReason::wevSourceChange);
}

void TWebEntity::Handle(TWebAction Action, TDataFlag DataFlag, std::uint8_t Session) {
  if (Action == TWebAction::acObjectDestroy) AddState(TWebEntityState::wesDestroying);
  if (fQDSViewHost->CurrentlyFlags().Contains(TWebClientFlag::wcpTerminating)) return;
  const bool alt = DataFlag == TDataFlag::ldAlternative;
  if (std::this_thread::get_id() == fQDSViewHost->MainThreadID()) {
    RaiseEvent(alt ? TWebEventReason::wevStatusChangeAlt : TWebEventReason::wevStatusChange);
  } else {
    fQDSViewHost->PostMessage(
        alt ? TQDSMessageParam::mpHandleAltUpdate : TQDSMessageParam::mpHandleUpdate,
        static_cast<std::intptr_t>(fId), Session);
  }
}

namespace {
// "<" + optional "/" + "BODY>" compared upper-cased, at position i.
bool BodyTagAt(std::string_view t, std::size_t i, bool closing) {
  std::string_view tag = closing ? "</BODY>" : "<BODY>";
  if (i + tag.size() > t.size()) return false;
  for (std::size_t k = 0; k < tag.size(); ++k)
    if (std::toupper(static_cast<unsigned char>(t[i + k])) != tag[k]) return false;
  return true;
}
}  // namespace

void TWebEntity::Dump(const TQDSEntry& Entry) {
  if (Entry.DownloadEndedAt() == 0) return;
  try {
    const std::string& bytes = Entry.Accumulator().Bytes();
    const std::string text = SanitizeUtf8(std::string_view(bytes).substr(0, 4096));
    std::string extracted;
    std::size_t open = std::string::npos;
    for (std::size_t i = 0; i < text.size(); ++i)
      if (BodyTagAt(text, i, false)) {
        open = i + 6;
        break;
      }
    if (open != std::string::npos) {
      std::size_t i = open;
      while (i < text.size()) {
        if (BodyTagAt(text, i, true)) break;
        if (text[i] == '<') {
          const auto close = text.find('>', i);
          if (close == std::string::npos) break;
          i = close + 1;
          continue;
        }
        const auto next = text.find('<', i);
        const std::string run = platform::Trim(std::string_view(text).substr(
            i, next == std::string::npos ? std::string::npos : next - i));
        if (!run.empty()) {
          if (!extracted.empty()) extracted += "\r\n";
          extracted += run;
        }
        if (next == std::string::npos) break;
        i = next;
      }
    }
    if (extracted.empty()) extracted = text;
    fDump = "@" + platform::FormatDateTime("hh:nn:ss", Entry.LocalStartTime()) + "\r\n" + extracted;
  } catch (...) {
    fDump = "no dump information";
  }
}

std::string TWebEntity::GetName() const {
  const std::string n = ClassName();
  return n.empty() ? n : n.substr(1);
}

std::string TWebEntity::LastCallerForDisplay() const {
  const auto colon = fLastCaller.find(':');
  if (colon == std::string::npos) return fLastCaller;
  return platform::Trim(std::string_view(fLastCaller).substr(colon + 1));
}

std::string TWebEntity::LastCallerOrName() const {
  return fLastCaller.empty() ? GetName() : LastCallerForDisplay();
}

bool TWebEntity::GetCrushed(TRequestMethod m) {
  const platform::ScopedLock hold(*this);
  return fPropsByMethod[Index(m)].fCrushed;
}
TForbiddenness TWebEntity::GetForbidden(TRequestMethod m) {
  const platform::ScopedLock hold(*this);
  return fPropsByMethod[Index(m)].fForbidden;
}
int TWebEntity::GetFailCount(TRequestMethod m) {
  const platform::ScopedLock hold(*this);
  return fPropsByMethod[Index(m)].fFailCount;
}
void TWebEntity::SetFailCount(TRequestMethod m, int Value) {
  const platform::ScopedLock hold(*this);
  fPropsByMethod[Index(m)].fFailCount = Value;
}
std::string TWebEntity::GetLastError(TRequestMethod m) {
  const platform::ScopedLock hold(*this);
  return fPropsByMethod[Index(m)].fLastError;
}
void TWebEntity::SetLastError(TRequestMethod m, std::string Value) {
  const platform::ScopedLock hold(*this);
  fPropsByMethod[Index(m)].fLastError = std::move(Value);
}

// --- the request log ---------------------------------------------------------------------------

TLogEntity::~TLogEntity() = default;

std::atomic<TLogEntityClass> LogEntityClass{
    [](IQDSViewHost* Owner) -> TLogEntity* { return new TLogEntity(Owner); }};

void TLogEntity::Add(std::unique_ptr<TQDSLogEntry> aItem) {
  while (fList.size() >= MaxEntries) {
    TQDSLogEntry* oldest = fList.front().get();
    if (!fView.empty() && fView.front() == oldest) fView.pop_front();
    fList.pop_front();
  }
  TQDSLogEntry* item = aItem.get();
  fList.push_back(std::move(aItem));
  if (Accepted(*item)) fView.push_back(item);
}

TQDSLogEntry* TLogEntity::GetItem(int aIndex) const {
  if (aIndex < 0 || aIndex >= Count())
    throw EQDSException(platform::Format("List index out of bounds (%d)", {aIndex}));
  return fList[aIndex].get();
}

TQDSLogEntry* TLogEntity::GetFilteredItem(int aIndex) const {
  if (aIndex < 0 || aIndex >= FilteredCount())
    throw EQDSException(platform::Format("List index out of bounds (%d)", {aIndex}));
  return fView[aIndex];
}

void TLogEntity::SetItem(int aIndex, std::unique_ptr<TQDSLogEntry> aValue) {
  TQDSLogEntry* old = GetItem(aIndex);
  auto inView = std::find(fView.begin(), fView.end(), old);
  if (inView != fView.end()) *inView = aValue.get();
  fList[aIndex] = std::move(aValue);
}

void TLogEntity::SetFilterString(const std::string& Text) {
  if (Text == fFilterString) return;
  fFilterString = Text;
  fView.clear();
  for (auto& e : fList)
    if (Accepted(*e)) fView.push_back(e.get());
}

bool TLogEntity::Accepted(const TQDSLogEntry& Item) const {
  return fFilterString.empty() || Item.InitialURL.find(fFilterString) != std::string::npos;
}

// --- the manager --------------------------------------------------------------------------------

TWebEntityManager::TWebEntityManager(platform::WindowHandle aMainThreadFormHandle)
    : TQDSMessageManager(aMainThreadFormHandle), fMainThreadID(std::this_thread::get_id()) {
  TWebEntityManager::CreateConfig();
  CopyLiveConfig();
  fJobs = std::make_unique<TSmartJobList>(*this);
}

TWebEntityManager::~TWebEntityManager() {
  // Whatever BeforeDestruction did not get to: workers are only told to end
  // and joined as a last resort (freeing a running manager is a caller error).
  for (auto& t : fOwnedThreads) t->Free();
  fOwnedThreads.clear();
  fThreads.clear();
  fJobs.reset();
  if (fLogEntity != nullptr) {
    // The log entity is in no job and no worker has it.
    std::erase(*fEntityList.Lock(), fLogEntity);
  }
}

void TWebEntityManager::CreateConfig() {
  TQDSMessageManager::CreateConfig();
  fSettings = QDSSettingsInstance.load();
  fLastConfig = std::make_unique<TQDSConfig>(std::string(), nullptr);
  fUserAgent = "TARVO Trade";
}

void TWebEntityManager::BeforeDestruction() {
  if (!fBeforeDestructionDone) {
    fBeforeDestructionDone = true;
    ClearAllJobs(false);
    if (fWebClientsWorking.load() > 0) Shutdown();
    DestroyConfig();
  }
  TQDSMessageManager::BeforeDestruction();
}

// --- jobs ---

void TWebEntityManager::AddDownloadJob(const std::string& Reason, TWebEntity* Entity,
                                       bool Interactive) {
  AddGenericJob(Reason, Entity, Interactive, TRequestMethod::mGet, nullptr);
}
void TWebEntityManager::AddPostJob(const std::string& Reason, TWebEntity* Entity,
                                   std::vector<std::uint8_t> Data) {
  AddGenericJob(Reason, Entity, true, TRequestMethod::mPost, &Data);
}
void TWebEntityManager::AddPutJob(const std::string& Reason, TWebEntity* Entity,
                                  std::vector<std::uint8_t> Data) {
  AddGenericJob(Reason, Entity, true, TRequestMethod::mPut, &Data);
}
void TWebEntityManager::AddDeleteJob(const std::string& Reason, TWebEntity* Entity,
                                     std::vector<std::uint8_t> Data) {
  AddGenericJob(Reason, Entity, true, TRequestMethod::mDelete, &Data);
}

void TWebEntityManager::AddGenericJob(const std::string& Reason, TWebEntity* Entity,
                                      bool Interactive, TRequestMethod Method,
                                      const std::vector<std::uint8_t>* Data) {
  fMainThread.CalledOnValidThread("TWebEntityManager::AddGenericJob");
  if (!GetReady()) return;
  if (Entity != nullptr) Entity->OnEnqueuingToDownload(Interactive);
  std::unique_ptr<TDownloadJob> job = MakeJob(Method, Entity, MessageSession(), Interactive, Data);
  if (!job) return;
  job->Reason = Reason;
  bool drop = false;
  if (GetCriticalServerError() || GetRecoverableServerError()) {
    if (!Interactive) {
      drop = true;
    } else {
      fContext.SetProblems(TQDSProblems());
      ResetAuthenticationState();
    }
  }
  if (!drop) fJobs->AddJob(std::move(job));
  PostMessage(TQDSMessageParam::mpLogEntry, 0, 0);
}

bool TWebEntityManager::CancelJob(TWebEntity* Entity, TRequestMethod Method) {
  fJobs->CancelJobs(Entity, Method);
  return true;
}

void TWebEntityManager::ClearAllJobs(bool SendFailureNotifications) {
  if (fJobs) fJobs->ClearAllJobs(SendFailureNotifications);
}

// --- life ---

void TWebEntityManager::Startup() {
  fMainThread.CalledOnValidThread("TWebEntityManager::Startup");
  fOnline = true;
  fContext.SetProblems(TQDSProblems());
  StartupConfig();
  if (fLogEntity == nullptr) {
    fLogEntity = LogEntityClass.load()(this);
    fLogEntity->Init();
  }
  fWebClientsWorking++;
  const int n = EffectiveThreadCnt();
  TQDSDownloaderThreadClass make = QDSDownloaderThreadClass();
  for (int i = 0; i < n; ++i) {
    std::unique_ptr<TQDSDownloaderBaseThread> t = make(*this);
    fThreads.push_back(t.get());
    fOwnedThreads.push_back(std::move(t));
  }
  for (auto& t : fOwnedThreads) t->Start();
}

void TWebEntityManager::Shutdown() {
  fMainThread.CalledOnValidThread("TWebEntityManager::Shutdown");
  IterateThreads(TThreadIterationReason::irFree, nullptr);
  fOwnedThreads.clear();
  fThreads.clear();
  {
    std::lock_guard lock(fRestartGuard);
    fRestartList.clear();
  }
  FreeEntities();
  fCookieStorage.Clear();
  fWebClientsWorking--;
  ChangeSession();
}

void TWebEntityManager::FreeEntities() {
  // Entities are freed from a copy, outside the list's lock: freeing cancels
  // jobs (the job list's lock), and the job list takes the entity list's lock
  // while admitting jobs.
  std::vector<TWebEntity*> copy = EntityListCopy();
  for (auto it = copy.rbegin(); it != copy.rend(); ++it) {
    if (*it == fLogEntity) continue;
    if (EntityIsInList(*it)) TWebEntity::Free(*it);
  }
  if (fLogEntity != nullptr) {
    TWebEntity::Free(fLogEntity);
    fLogEntity = nullptr;
  }
}

bool TWebEntityManager::Restart(bool AlertIfCouldNot) {
  if (!TryBringIEOnline() || GetRestarting()) {
    if (AlertIfCouldNot) {
      EQDSException(Translate("WebData", "TryAgainLater", "Try again later, please"),
                    Translate("WebData", "AlreadyRestarting", "Connection is currently restarting"))
          .MessageBox();
    }
    return false;
  }
  {
    std::lock_guard lock(fRestartGuard);
    for (TQDSDownloaderBaseThread* t : fThreads)
      if (std::find(fRestartList.begin(), fRestartList.end(), t) == fRestartList.end())
        fRestartList.push_back(t);
  }
  ClearAllJobs(false);
  ChangeSession();
  IterateThreads(TThreadIterationReason::irRestart, nullptr);
  return true;
}

void TWebEntityManager::ThreadRestarted(TQDSDownloaderBaseThread* Worker) {
  bool done = false;
  {
    std::lock_guard lock(fRestartGuard);
    const auto before = fRestartList.size();
    std::erase(fRestartList, Worker);
    done = before > 0 && fRestartList.empty();
  }
  if (done) PostMessage(TQDSMessageParam::mpRestarted, 0, 0);
}

void TWebEntityManager::RestartCompleted() {
  CopyLiveConfig();
  fContext.SetProblems(TQDSProblems());
  ResetAuthenticationState();
  std::vector<TWebEntity*> copy = EntityListCopy();
  for (auto it = copy.rbegin(); it != copy.rend(); ++it)
    if (EntityIsInList(*it)) (*it)->AfterRestart();
}

void TWebEntityManager::Terminate() {
  AddFlag(TWebClientFlag::wcpTerminating);
  ClearAllJobs(false);
  IterateThreads(TThreadIterationReason::irTerminate, nullptr);
}

void TWebEntityManager::WaitFor() {
  IterateThreads(TThreadIterationReason::irWaitFor, nullptr);
}

bool TWebEntityManager::WaitFotReadiness() {
  while (GetRestarting()) {
    if (IsMainThread())
      Queue().WaitPumpingSent([] { return false; }, 10);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return GetReady();
}

void TWebEntityManager::CopyLiveConfig() {
  if (fSettings == nullptr) return;
  const platform::ScopedLock applied(*fLastConfig);
  {
    const platform::ScopedLock live(*fSettings);
    fSettings->AssignTo(*fLastConfig);
  }
  fLastConfig->SetChanged(false);
}

void TWebEntityManager::StartupConfig() {
  CopyLiveConfig();
}

void TWebEntityManager::SettingsChanged() {
  bool changed = false;
  {
    LockProps();
    const platform::ScopeExit props([this] { UnlockProps(); });
    if (fSettings != nullptr) {
      const platform::ScopedLock applied(*fLastConfig);
      fLastConfig->SetChanged(false);
      {
        const platform::ScopedLock live(*fSettings);
        fSettings->AssignTo(*fLastConfig);
      }
      changed = fLastConfig->Changed();
      fLastConfig->SetChanged(false);
    }
  }
  if (changed) ResetAuthenticationState();
}

// --- state ---

bool TWebEntityManager::GetAlive() const {
  // Workers ask too: the applied configuration is read under its lock, never
  // the live one that the settings dialog edits.
  bool enabled;
  {
    const platform::ScopedLock hold(*fLastConfig);
    enabled = fLastConfig->Enabled();
  }
  return enabled && !GetRestarting();
}
bool TWebEntityManager::GetReady() const {
  return GetAlive();
}
bool TWebEntityManager::GetRestarting() const {
  std::lock_guard lock(const_cast<std::mutex&>(fRestartGuard));
  return !fRestartList.empty();
}

bool TWebEntityManager::GetOnline(bool Estimate) {
  if (!GetReady()) return false;
  const TQDSProblems p = fContext.GetProblems();
  if (p.Contains(TQDSProblem::pGlobalOffline) || p.Contains(TQDSProblem::pCriticalServerError))
    return false;
  if (Estimate) return fOnline.load();
  TQDSLogon logon;
  {
    const platform::ScopedLock hold(*fLastConfig);
    logon = fLastConfig->Logon();
  }
  LockAuthentication();
  const platform::ScopeExit authentication([&] { UnlockAuthentication(); });
  return !(fAuthentication.load() == TAuthenticationState::asDenied &&
           logon != TQDSLogon::lAnonymous);
}

bool TWebEntityManager::TryBringIEOnline() {
  if (!fContext.GetProblems().Contains(TQDSProblem::pGlobalOffline)) return true;
  PostMessage(TQDSMessageParam::mpIEOffline, 0, 0);
  return !fContext.GetProblems().Contains(TQDSProblem::pGlobalOffline);
}

bool TWebEntityManager::GetCriticalServerError() const {
  return fContext.GetProblems().Contains(TQDSProblem::pCriticalServerError);
}
bool TWebEntityManager::GetRecoverableServerError() const {
  return fContext.GetProblems().Contains(TQDSProblem::pRecoverableServerError);
}

void TWebEntityManager::SetProblem(TQDSProblem p, bool On) {
  {
    LockProps();
    const platform::ScopeExit props([&] { UnlockProps(); });
    TQDSProblems s = fContext.GetProblems();
    if (On)
      s.Include(p);
    else
      s.Exclude(p);
    fContext.SetProblems(s);
  }
  if (On) WorryEntities();
}

void TWebEntityManager::SetCriticalServerError(bool On) {
  SetProblem(TQDSProblem::pCriticalServerError, On);
}
void TWebEntityManager::SetRecoverableServerError(bool On) {
  SetProblem(TQDSProblem::pRecoverableServerError, On);
}
void TWebEntityManager::WorryEntities() {
  PostMessage(TQDSMessageParam::mpGoneOffline, 0, 0);
}

bool TWebEntityManager::MarkGlobalOffline() {
  LockProps();
  const platform::ScopeExit props([&] { UnlockProps(); });
  TQDSProblems s = fContext.GetProblems();
  const bool fresh = !s.Contains(TQDSProblem::pGlobalOffline);
  if (fresh) {
    s.Include(TQDSProblem::pGlobalOffline);
    fContext.SetProblems(s);
  }
  return fresh;
}

void TWebEntityManager::SetAuthentication(TAuthenticationState s) {
  {
    LockAuthentication();
    const platform::ScopeExit authentication([&] { UnlockAuthentication(); });
    fAuthentication = s;
  }
}

std::string TWebEntityManager::LastAuthError() const {
  std::lock_guard lock(const_cast<std::recursive_mutex&>(fPropsGuard));
  return fLastAuthError;
}
void TWebEntityManager::SetLastAuthError(std::string v) {
  std::lock_guard lock(fPropsGuard);
  fLastAuthError = std::move(v);
}

void TWebEntityManager::WaitPumping(const std::function<bool()>& done) {
  if (IsMainThread() && Queue().IsUIThread()) {
    Queue().WaitPumpingSent(done);
  } else {
    while (!done()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void TWebEntityManager::LockAuthentication() {
  if (IsMainThread() && Queue().IsUIThread()) {
    // A worker holding the lock may be sending to this thread.
    if (!fAuthenticationGuard.try_lock())
      Queue().WaitPumpingSent([this] { return fAuthenticationGuard.try_lock(); });
  } else {
    fAuthenticationGuard.lock();
  }
}

void TWebEntityManager::LockProps() {
  if (IsMainThread() && Queue().IsUIThread()) {
    if (!fPropsGuard.try_lock()) Queue().WaitPumpingSent([this] { return fPropsGuard.try_lock(); });
  } else {
    fPropsGuard.lock();
  }
}

// --- entities ---

bool TWebEntityManager::EntityIsInList(const TWebEntity* X) {
  const auto list = fEntityList.Lock();
  return std::find(list->begin(), list->end(), X) != list->end();
}

TWebEntity* TWebEntityManager::FindEntity(TWebEntityId Id) {
  const auto list = fEntityList.Lock();
  const auto it =
      std::find_if(list->begin(), list->end(), [Id](const TWebEntity* e) { return e->Id() == Id; });
  return it != list->end() ? *it : nullptr;
}

std::vector<TWebEntity*> TWebEntityManager::EntityListCopy() {
  return *fEntityList.Lock();
}

void TWebEntityManager::RemoveEntity(TWebEntity* Entity) {
  std::erase(*fEntityList.Lock(), Entity);
}

void TWebEntityManager::AddEntity(TWebEntity* Entity) {
  const auto list = fEntityList.Lock();
  if (std::find(list->begin(), list->end(), Entity) == list->end()) list->push_back(Entity);
}

bool TWebEntityManager::ValidEntity(const TWebEntity* X) {
  if (X == nullptr) return false;
  const auto list = fEntityList.Lock();
  // The state is read only for an entity still in the list: one that left it
  // may be gone.
  return std::find(list->begin(), list->end(), X) != list->end() &&
         !X->State().Contains(TWebEntityState::wesDestroying);
}

TEntityHealth TWebEntityManager::EntityCrushed(TQDSEntry& Entry, TWebEntity* Entity) {
  const TRequestMethod m = Entry.Method;
  TEntityHealth verdict = TEntityHealth::ehHealthy;
  {
    Entity->Lock();
    const platform::ScopeExit entity([&] { Entity->Unlock(); });
    TWebEntityProblemsPack& p = Entity->PropsByMethod(m);
    const int status = Entry.RequestStatus;
    if (status == 304) {
      if (p.fFailCount > 0) p.fFailCount = 0;
      verdict = TEntityHealth::ehNotModified;
    } else if (status < 300) {
      if (!Entry.Supported) {
        p.fForbidden = TForbiddenness::fNotSupported;
        p.fCrushed = true;
        verdict = TEntityHealth::ehCrushed;
      } else if (p.fFailCount >= 0) {
        p.fFailCount = 0;
      } else if (-p.fFailCount >= Entity->MaxFailsAllowed()) {
        p.fCrushed = true;
        verdict = TEntityHealth::ehCrushed;
      }
    } else if (status == 403) {
      p.fForbidden = TForbiddenness::f403;
      p.fCrushed = true;
      p.fLastError = Entry.AccumulatorAsString();
      verdict = TEntityHealth::ehCrushed;
    } else {
      p.fFailCount++;
      if (p.fFailCount >= Entity->MaxFailsAllowed() || m == TRequestMethod::mPost ||
          m == TRequestMethod::mPut || m == TRequestMethod::mDelete)
        p.fCrushed = true;
      p.fLastError = Entry.AccumulatorAsString();
      verdict = p.fCrushed ? TEntityHealth::ehCrushed : TEntityHealth::ehSick;
    }
  }
  if (verdict != TEntityHealth::ehHealthy) Entry.ParsingEndedAt = platform::GetTickCount();
  if (verdict == TEntityHealth::ehCrushed) HandleCrushed(Entry, Entity, false);
  return verdict;
}

bool TWebEntityManager::IterateThreads(TThreadIterationReason Reason, TWebEntity* Entity) {
  if (fThreads.empty()) return false;
  for (auto it = fThreads.rbegin(); it != fThreads.rend(); ++it) {
    TQDSDownloaderBaseThread* t = *it;
    switch (Reason) {
      case TThreadIterationReason::irCancelJob:
        if (t->ProcessingEntity(Entity, true)) return true;
        break;
      case TThreadIterationReason::irCheckProcessing:
        if (t->ProcessingEntity(Entity, false)) return true;
        break;
      case TThreadIterationReason::irRestart:
        t->SignalStartStop();
        break;
      case TThreadIterationReason::irTerminate:
        t->Terminate();
        break;
      case TThreadIterationReason::irWaitFor:
        t->WaitFor();
        break;
      case TThreadIterationReason::irFree:
        t->Free();
        break;
    }
  }
  return false;
}

double TWebEntityManager::Now() const {
  int interval;
  {
    const platform::ScopedLock hold(*fLastConfig);
    interval = fLastConfig->Interval();
  }
  return fRespTime.load() + interval / 86400.0;
}

std::unique_ptr<TqdsURL> TWebEntityManager::FindoutURL(TWebEntity*, TRequestMethod) {
  return nullptr;
}

int TWebEntityManager::EffectiveThreadCnt() {
  const platform::ScopedLock hold(*fLastConfig);
  return fLastConfig->Threads();
}

void TWebEntityManager::FreeEntityInMainThread(TWebEntity* Entity) {
  if (Entity == nullptr) return;
  PostMessage(TQDSMessageParam::mpFreeEntity, static_cast<std::intptr_t>(Entity->Id()), 0);
}

void TWebEntityManager::HandleCrushed(TQDSEntry&, TWebEntity*, bool) {}

void TWebEntityManager::AddPostHeaders(TWinInetRequest& Request, TQDSEntry& Entry) {
  Request.AddHeader("Content-Length", std::to_string(Entry.GetPostBody().size()), true);
  Request.AddHeader("Content-Type", "application/json", true);
}

void TWebEntityManager::AddGetHeaders(TWinInetRequest&, TQDSEntry&) {}

void TWebEntityManager::ResetAuthenticationState() {
  fCookieStorage.Clear();
  {
    LockAuthentication();
    const platform::ScopeExit authentication([&] { UnlockAuthentication(); });
    fOnline = true;
    fAuthentication = TAuthenticationState::asNone;
  }
}

// --- messages on the main thread ---

void TWebEntityManager::DoProcessMessageFromMainThread(TWebClientMessage& Message) {
  switch (Message.Param()) {
    case TQDSMessageParam::mpHandleUpdate:
    case TQDSMessageParam::mpHandleAltUpdate: {
      if (TWebEntity* e = FindEntity(static_cast<TWebEntityId>(Message.LParam)))
        e->RaiseEvent(Message.Param() == TQDSMessageParam::mpHandleUpdate
                          ? TWebEventReason::wevStatusChange
                          : TWebEventReason::wevStatusChangeAlt);
      break;
    }
    case TQDSMessageParam::mpRestarted:
      RestartCompleted();
      break;
    case TQDSMessageParam::mpPassport:
      fPassportPermits = Message.LParam != 0;
      break;
    case TQDSMessageParam::mpIEOffline: {
      if (CurrentlyFlags().Contains(TWebClientFlag::wcpWantsGoOnline)) break;
      AddFlag(TWebClientFlag::wcpWantsGoOnline);
      WorryEntities();
      std::string host;
      if (fSettings != nullptr) host = fSettings->Host();
      const bool ok = platform::InternetGoOnline(host, 0);
      if (fWebClientsWorking.load() > 0) {
        if (ok) {
          {
            LockProps();
            const platform::ScopeExit props([&] { UnlockProps(); });
            TQDSProblems s = fContext.GetProblems();
            s.Exclude(TQDSProblem::pGlobalOffline);
            fContext.SetProblems(s);
          }
        } else {
          RemoveFlag(TWebClientFlag::wcpWantsGoOnline);
        }
      }
      break;
    }
    default:
      ReleaseMessageFromMainThread(Message);
  }
}

void TWebEntityManager::ReleaseMessageFromMainThread(TWebClientMessage& Message) {
  switch (Message.Param()) {
    case TQDSMessageParam::mpFreeEntity: {
      TWebEntity* e = FindEntity(static_cast<TWebEntityId>(Message.LParam));
      if (e != nullptr && e != fLogEntity) TWebEntity::Free(e);
      break;
    }
    case TQDSMessageParam::mpLogEntry:
      if (Message.LParam != 0)
        MergeLogEntry(
            std::unique_ptr<TQDSLogEntry>(reinterpret_cast<TQDSLogEntry*>(Message.LParam)));
      break;
    default:
      break;
  }
}

void TWebEntityManager::MergeLogEntry(std::unique_ptr<TQDSLogEntry> Entry) {
  fRespTime = std::max(fRespTime.load(), Entry->ServerTime);
  if (fLogEntity == nullptr) return;
  TLogEntity& log = *fLogEntity;
  bool found = false;
  for (int i = log.Count() - 1; i >= 0; --i) {
    TQDSLogEntry* old = log.GetItem(i);
    if (old->DownloadStartedAt == Entry->DownloadStartedAt &&
        old->InitialURL == Entry->InitialURL && old->Reason == Entry->Reason) {
      found = true;
      if (!Entry->AllHeaders().empty() || old->AllHeaders().empty()) {
        log.SetItem(i, std::move(Entry));
      } else if (platform::TickAfter(Entry->ParsingEndedAt, old->ParsingEndedAt)) {
        old->ParsingEndedAt = Entry->ParsingEndedAt;
      }
      break;
    }
  }
  if (!found) log.Add(std::move(Entry));
  log.RaiseEvent(TWebEventReason::wevRecordInsert);
}

}  // namespace tarvo
