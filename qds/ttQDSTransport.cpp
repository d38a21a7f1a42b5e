#include "qds/ttQDSTransport.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <system_error>

#include "crypto/ValidataError.h"
#include "platform/core/DateTime.h"
#include "platform/core/Text.h"
#include "platform/net/Inet.h"
#include "platform/system/KernelObjects.h"

namespace tarvo {

// --- jobs ------------------------------------------------------------------------------

TDownloadJob::TDownloadJob(TWebEntity* _For, std::uint8_t aSession, bool Interactive)
    : fEntity(_For), fSession(aSession) {
  if (Interactive) fFlags.Include(TJobFlag::jfInteractive);
}

bool TDownloadJob::Equals(const TDownloadJob& Job) const {
  return Job.fEntity == fEntity && DefaultMethod(&Job) == DefaultMethod(this);
}

TPutJob::TPutJob(TWebEntity* _For, std::uint8_t aSession, std::vector<std::uint8_t> aPutData)
    : TDownloadJob(_For, aSession, true), fPostData(std::move(aPutData)) {}

bool TPutJob::Equals(const TDownloadJob& Job) const {
  if (!TDownloadJob::Equals(Job)) return false;
  const auto* other = dynamic_cast<const TPutJob*>(&Job);
  if (other == nullptr) return true;
  // Two bodies: the same request only when they are the same bytes. A job
  // without a body stands for "any body" and matches.
  if (fPostData.empty() || other->fPostData.empty()) return true;
  return fPostData == other->fPostData;
}

TRequestMethod DefaultMethod(const TDownloadJob* Job) {
  // The class order of the job classes (delete, post, put, download) decides:
  // the most derived class's method.
  return Job ? Job->Method() : TRequestMethod::mUnknown;
}

std::unique_ptr<TDownloadJob> MakeJob(TRequestMethod Method, TWebEntity* Entity,
                                      std::uint8_t Session, bool Interactive,
                                      const std::vector<std::uint8_t>* Data) {
  std::vector<std::uint8_t> body = Data ? *Data : std::vector<std::uint8_t>();
  switch (Method) {
    case TRequestMethod::mGet:
      return std::make_unique<TDownloadJob>(Entity, Session, Interactive);
    case TRequestMethod::mPut:
      return std::make_unique<TPutJob>(Entity, Session, std::move(body));
    case TRequestMethod::mPost:
      return std::make_unique<TPostJob>(Entity, Session, std::move(body));
    case TRequestMethod::mDelete:
      return std::make_unique<TDeleteJob>(Entity, Session, std::move(body));
    default:
      return nullptr;
  }
}

std::unique_ptr<TQDSEntry> MakeEntry(std::uint8_t Session, std::string ClassName, TDataFlag Flag,
                                     TJobFlags Flags) {
  return std::make_unique<TQDSEntry>(Session, std::move(ClassName), Flag, Flags);
}

std::unique_ptr<TQDSLogEntry> MakeLogEntry(const TQDSEntry& Source) {
  return std::make_unique<TQDSLogEntry>(&Source);
}

std::unique_ptr<TQDSLogEntry> MakeLogEntry(const TQDSEntry& Source, std::string Packed,
                                           TQDSPackedForm Form) {
  return std::make_unique<TQDSLogEntry>(Source, std::move(Packed), Form);
}

std::unique_ptr<TQDSEntry> NewEntryByJob(const TDownloadJob& Job) {
  std::unique_ptr<TQDSEntry> entry;
  if (TWebEntity* entity = Job.Entity()) {
    const TDataFlag flag =
        entity->AlternativeLoadingProcess() ? TDataFlag::ldAlternative : TDataFlag::ldWeb;
    entry = MakeEntry(Job.Session(), entity->ClassName(), flag, Job.Flags());
    entry->Method = DefaultMethod(&Job);
    if (TqdsURL* url = entity->GetURL(entry->Method)) entry->URN = url->GetURN();
  } else {
    entry = MakeEntry(Job.Session(), "Non-qds entity", TDataFlag::ldUnknown, TJobFlags());
  }
  entry->Reason = Job.Reason;
  if (const auto* put = dynamic_cast<const TPutJob*>(&Job)) entry->SetPostBody(put->GetPostData());
  return entry;
}

// --- the job list --------------------------------------------------------------------------

TSmartJobList::~TSmartJobList() {
  for (TDownloadJob* j : fJobs) delete j;
  for (TDownloadJob* j : fUpcomingJobs) delete j;
  for (TDownloadJob* j : fOrphans) delete j;
}

void TSmartJobList::DisposeLocked(TDownloadJob* Job) {
  if (Job->fUnderRetry && fSafeJobProcessing > 0) fSafeJobProcessing--;
  Job->fUnderRetry = false;
  delete Job;
}

void TSmartJobList::AddJob(std::unique_ptr<TDownloadJob> Job) {
  if (!Job) return;
  std::lock_guard lock(fGuard);
  for (TDownloadJob* j : fUpcomingJobs)
    if (j->Equals(*Job)) return;  // the duplicate is freed by unique_ptr
  for (TDownloadJob* j : fJobs)
    if (j->Equals(*Job)) return;
  fUpcomingJobs.push_back(Job.release());
  RefillLocked();
}

void TSmartJobList::Refill() {
  std::lock_guard lock(fGuard);
  RefillLocked();
}

void TSmartJobList::RefillLocked() {
  if (fSafeJobProcessing >= 1) return;
  for (auto it = fUpcomingJobs.begin(); it != fUpcomingJobs.end();) {
    TDownloadJob* job = *it;
    if (job->fEntity != nullptr && !fOwner.ValidEntity(job->fEntity)) {
      it = fUpcomingJobs.erase(it);
      DisposeLocked(job);
      continue;
    }
    bool held = false;
    if (job->fEntity != nullptr && !job->fEntity->PrecessorClasses().empty()) {
      for (TDownloadJob* admitted : fJobs) {
        if (admitted->fEntity == nullptr) continue;
        for (TWebEntityClass cls : job->fEntity->PrecessorClasses())
          if (cls(*admitted->fEntity)) {
            held = true;
            break;
          }
        if (held) break;
      }
    }
    if (held) {
      ++it;
      continue;
    }
    it = fUpcomingJobs.erase(it);
    if (fJobsCount == 0) job->Include(TJobFlag::jfFirst);
    fJobsCount++;
    fJobs.push_back(job);
    fOwner.SignalWakeup();
  }
}

TDownloadJob* TSmartJobList::PeekFirst() {
  std::lock_guard lock(fGuard);
  if (fPickIndex < 0 || fPickIndex >= static_cast<int>(fJobs.size())) return nullptr;
  return fJobs[fPickIndex++];
}

void TSmartJobList::EndPickedJob(TDownloadJob* Job) {
  if (Job == nullptr) return;
  std::lock_guard lock(fGuard);
  auto it = std::find(fJobs.begin(), fJobs.end(), Job);
  if (it != fJobs.end()) {
    fJobs.erase(it);
    if (fPickIndex > 0) fPickIndex--;
  } else {
    std::erase(fOrphans, Job);
  }
  DisposeLocked(Job);
  RefillLocked();
}

void TSmartJobList::JobNeedsRetry(TDownloadJob* Job) {
  if (Job == nullptr) return;
  std::lock_guard lock(fGuard);
  auto it = std::find(fJobs.begin(), fJobs.end(), Job);
  if (it == fJobs.end()) {
    // Cancelled or cleared while its worker had it: nobody else will end it.
    std::erase(fOrphans, Job);
    DisposeLocked(Job);
    RefillLocked();
    return;
  }
  if (!Job->fUnderRetry) {
    Job->fUnderRetry = true;
    Job->Include(TJobFlag::jfGotProblem);
    if (fSafeJobProcessing == 0) {
      // Careful mode: admitted jobs that were not picked go back, in order, to
      // the front of the upcoming jobs.
      std::vector<TDownloadJob*> back(fJobs.begin() + fPickIndex, fJobs.end());
      fJobs.erase(fJobs.begin() + fPickIndex, fJobs.end());
      fUpcomingJobs.insert(fUpcomingJobs.begin(), back.begin(), back.end());
    }
    fSafeJobProcessing++;
  }
  it = std::find(fJobs.begin(), fJobs.end(), Job);
  fJobs.erase(it);
  if (fPickIndex > 0) fPickIndex--;
  fJobs.push_back(Job);
  fOwner.SignalWakeup();
}

void TSmartJobList::CancelJobs(TWebEntity* forEntity, TRequestMethod Method) {
  std::lock_guard lock(fGuard);
  const auto matches = [&](TDownloadJob* j) {
    return j->fEntity == forEntity &&
           (Method == TRequestMethod::mUnknown || DefaultMethod(j) == Method);
  };
  for (int i = static_cast<int>(fUpcomingJobs.size()) - 1; i >= 0; --i) {
    TDownloadJob* j = fUpcomingJobs[i];
    if (!matches(j)) continue;
    fUpcomingJobs.erase(fUpcomingJobs.begin() + i);
    DisposeLocked(j);
    if (Method != TRequestMethod::mUnknown) {
      RefillLocked();
      return;
    }
  }
  for (int i = static_cast<int>(fJobs.size()) - 1; i >= 0; --i) {
    TDownloadJob* j = fJobs[i];
    if (!matches(j)) continue;
    fJobs.erase(fJobs.begin() + i);
    if (i < fPickIndex) {
      fPickIndex--;
      fOrphans.push_back(j);  // its worker ends it
    } else {
      DisposeLocked(j);
    }
    if (Method != TRequestMethod::mUnknown) break;
  }
  // A held-back job may be free to go now.
  RefillLocked();
}

void TSmartJobList::ClearAllJobs(bool SendFailureNotifications) {
  std::vector<TDownloadJob*> removed;
  {
    std::lock_guard lock(fGuard);
    for (int i = 0; i < fPickIndex && i < static_cast<int>(fJobs.size()); ++i) {
      TDownloadJob* j = fJobs[i];
      // Its worker still ends it; a retry mark would otherwise lower a later
      // careful mode's counter.
      j->fUnderRetry = false;
      fOrphans.push_back(j);
    }
    for (int i = fPickIndex; i < static_cast<int>(fJobs.size()); ++i) removed.push_back(fJobs[i]);
    for (TDownloadJob* j : fUpcomingJobs) removed.push_back(j);
    fJobs.clear();
    fUpcomingJobs.clear();
    // Without this, jobs admitted later would sit below a stale index and
    // never be picked.
    fPickIndex = 0;
    fSafeJobProcessing = 0;
    fJobsCount = 0;
    for (TDownloadJob* j : removed) j->fUnderRetry = false;
  }
  // Notifications run outside the lock: the owner's HandleCrushed may reach
  // views and the entity list.
  for (TDownloadJob* j : removed) {
    if (SendFailureNotifications && j->fEntity != nullptr && fOwner.ValidEntity(j->fEntity)) {
      std::unique_ptr<TQDSEntry> entry = NewEntryByJob(*j);
      fOwner.HandleCrushed(*entry, j->fEntity, true);
    }
    delete j;
  }
}

int TSmartJobList::GetCount() const {
  std::lock_guard lock(fGuard);
  return static_cast<int>(fJobs.size() + fUpcomingJobs.size()) - fPickIndex;
}
int TSmartJobList::GetProcessingCount() const {
  std::lock_guard lock(fGuard);
  return fPickIndex;
}
int TSmartJobList::WaitingCount() const {
  std::lock_guard lock(fGuard);
  return static_cast<int>(fJobs.size()) - fPickIndex;
}
int TSmartJobList::UpcomingCount() const {
  std::lock_guard lock(fGuard);
  return static_cast<int>(fUpcomingJobs.size());
}
int TSmartJobList::SafeJobProcessing() const {
  std::lock_guard lock(fGuard);
  return fSafeJobProcessing;
}
std::uint32_t TSmartJobList::JobsCount() const {
  std::lock_guard lock(fGuard);
  return fJobsCount;
}
std::vector<TDownloadJob*> TSmartJobList::AdmittedJobs() const {
  std::lock_guard lock(fGuard);
  return fJobs;
}
std::vector<TDownloadJob*> TSmartJobList::UpcomingJobs() const {
  std::lock_guard lock(fGuard);
  return {fUpcomingJobs.begin(), fUpcomingJobs.end()};
}

// --- ValidHost -------------------------------------------------------------------------

using platform::Trim;

bool ValidHost(const std::string& Text, std::string& Host, int& Port) {
  Host = Trim(Text);
  const auto colon = Text.find(':');
  if (colon == std::string::npos) {
    Port = 80;
    return true;
  }
  const std::string portText = Trim(std::string_view(Text).substr(colon + 1));
  if (portText.empty()) return false;
  std::size_t i = 0;
  if (portText[0] == '+' || portText[0] == '-') i = 1;
  if (i >= portText.size()) return false;
  long long v = 0;
  for (; i < portText.size(); ++i) {
    if (portText[i] < '0' || portText[i] > '9') return false;
    v = v * 10 + (portText[i] - '0');
    if (v > 0x7FFFFFFF) return false;
  }
  // A port outside 0..65535 would wrap to another port on the way down.
  if (portText[0] == '-' ? v != 0 : v > 65535) return false;
  Port = static_cast<int>(v);
  Host = Trim(std::string_view(Text).substr(0, colon));
  return true;
}

// --- workers ---------------------------------------------------------------------------

namespace {

using platform::GetTickCount;

// What a worker reads of the configuration as last applied, under its lock.
struct TWorkerSettings {
  std::string Passport;
  TQDSLogon Logon = TQDSLogon::lAnonymous;
  std::string SpecUser, SpecPassw;
  bool Secured = true;
  TSecurityFlags SecurityFlags;
  std::uint32_t SpeedLimit = 0;
};

TWorkerSettings ReadSettings(TWebEntityManager& Owner) {
  TWorkerSettings s;
  TWebServiceConfig& c = Owner.LastConfig();
  c.Lock();
  s.Passport = c.Passport();
  s.Logon = c.Logon();
  s.SpecUser = c.SpecUser();
  s.SpecPassw = c.SpecPassw();
  s.Secured = c.Secured();
  if (c.IgnoreCertCN()) s.SecurityFlags.Include(sfIgnoreCertCN);
  if (c.IgnoreCertDate()) s.SecurityFlags.Include(sfIgnoreCertDate);
  if (c.IgnoreCertRevocation()) s.SecurityFlags.Include(sfIgnoreCertRevocation);
  if (const auto* q = dynamic_cast<const TQDSConfig*>(&c); q != nullptr && q->LimitBand())
    s.SpeedLimit = static_cast<std::uint32_t>(std::max(0, q->LmtValue())) * 1024u;
  c.Unlock();
  return s;
}

}  // namespace

TQDSDownloaderBaseThread::TQDSDownloaderBaseThread(TWebEntityManager& Owner) : fOwner(Owner) {}

TQDSDownloaderBaseThread::~TQDSDownloaderBaseThread() {
  // Freeing a running worker without Free is a caller error; end it rather
  // than leave a thread running over a dead object.
  if (fThread.joinable()) {
    Terminate();
    fThread.join();
  }
}

void TQDSDownloaderBaseThread::Start() {
  Startup();
  fThread = std::thread([this] {
    Execute();
    fFinished = true;
    fOwner.Queue().Wake();
  });
}

void TQDSDownloaderBaseThread::Terminate() {
  fTerminated = true;
  fStartStopEvent.Set();
  // A request stalled in the network would otherwise hold the worker until
  // its time-out.
  std::lock_guard lock(fRequestGuard);
  if (fCurrentRequest != nullptr && fCurrentRequest->Handle() != nullptr)
    platform::InternetCloseHandle(fCurrentRequest->Handle());
}

void TQDSDownloaderBaseThread::WaitFor() {
  if (!fThread.joinable() || fThread.get_id() == std::this_thread::get_id()) return;
  // On the main thread the wait pumps sent messages: the worker may be
  // sending to it right now.
  fOwner.WaitPumping([this] { return fFinished.load(); });
  fThread.join();
}

void TQDSDownloaderBaseThread::Free() {
  Terminate();
  WaitFor();
}

void TQDSDownloaderBaseThread::SetCurrentRequest(TWinInetRequest* Request) {
  std::lock_guard lock(fRequestGuard);
  fCurrentRequest = Request;
  if (Request != nullptr && fTerminated.load() && Request->Handle() != nullptr)
    platform::InternetCloseHandle(Request->Handle());
}

bool TQDSDownloaderBaseThread::ProcessingEntity(TWebEntity* Entity, bool Mark) {
  std::lock_guard lock(fProcessedEntityGuard);
  if (fProcessedEntity == nullptr || fProcessedEntity != Entity) return false;
  fFreeAfterProcessing = Mark;
  return true;
}

void TQDSDownloaderBaseThread::Execute() {
  // The system keeps 15 bytes of it: enough to tell the workers from the
  // other threads of the process.
  platform::SetCurrentThreadName("qds-downloader (" + ClassName() + ")");
  std::uint32_t last = GetTickCount();
  while (!fTerminated.load()) {
    std::uint32_t timeout = platform::kInfinite;
    if (fEventTimeout != platform::kInfinite) {
      const std::uint32_t passed = platform::TicksBetween(last, GetTickCount());
      timeout = passed >= fEventTimeout ? 0 : fEventTimeout - passed;
    }
    platform::Event* events[] = {&fOwner.WakeupEvent(), &fStartStopEvent};
    const int which = platform::Event::WaitAny(events, timeout);
    try {
      if (which == 0) {
        while (!fTerminated.load() && !fOwner.GetRestarting() && DoNextJob()) {
          if (!fOwner.GetOnline(false))
            for (int i = 0; i < 10 && !fTerminated.load(); ++i)
              std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        // One signal may have stood for several admitted jobs; a worker that
        // stops after a failure must not leave them to a signal that is gone.
        if (!fTerminated.load() && !fOwner.GetRestarting() && fOwner.JobsQueue().WaitingCount() > 0)
          fOwner.SignalWakeup();
      } else if (which == 1) {
        if (fOwner.GetRestarting()) {
          try {
            Shutdown();
            Startup();
          } catch (...) {
          }
          fOwner.ThreadRestarted(this);
        }
      } else {
        last = GetTickCount();
        EventTimeout();
      }
    } catch (...) {
      fOwner.ClearAllJobs(true);
    }
  }
}

bool TQDSDownloaderBaseThread::DoNextJob() {
  if (!fOwner.GetOnline(false)) return true;
  TDownloadJob* job = nullptr;
  TWebEntity* entity = nullptr;
  {
    std::lock_guard lock(fProcessedEntityGuard);
    job = fOwner.JobsQueue().PeekFirst();
    if (job == nullptr) return false;
    fProcessedEntity = entity = job->Entity();
    fFreeAfterProcessing = false;
  }
  bool goOn = true, retry = false;
  const auto finish = [&] {
    {
      std::lock_guard lock(fProcessedEntityGuard);
      if (fFreeAfterProcessing) {
        fOwner.FreeEntityInMainThread(entity);
        fFreeAfterProcessing = false;
        retry = false;
      }
    }
    if (retry) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      fOwner.JobsQueue().JobNeedsRetry(job);
    } else {
      fOwner.JobsQueue().EndPickedJob(job);
    }
    std::lock_guard lock(fProcessedEntityGuard);
    fProcessedEntity = nullptr;
  };
  try {
    if (job->Session() == fOwner.MessageSession() && fOwner.ValidEntity(entity)) {
      const TRequestMethod method = DefaultMethod(job);
      if (TqdsURL* url = entity->InitUrl(method)) {
        const TDownloadResult r = job->CarriesBody()
                                      ? ProcessSending(static_cast<TPutJob&>(*job), *url)
                                      : ProcessDownloading(*job, *url);
        switch (r) {
          case TDownloadResult::drNeedsRetry:
            if (job->Session() == fOwner.MessageSession() && !fOwner.GetRestarting()) {
              retry = true;
              goOn = true;
            } else {
              goOn = false;
            }
            break;
          case TDownloadResult::drProcessed:
          case TDownloadResult::drNotModified:
            goOn = true;
            break;
          default:
            job->Include(TJobFlag::jfGotProblem);
            goOn = false;
        }
      }
    }
  } catch (...) {
    finish();
    throw;
  }
  finish();
  return goOn;
}

TURLRetrieveStatus TQDSDownloaderBaseThread::RetrieveUrl(TqdsURL& URL, TQDSEntry& Entry) {
  if (Entry.Session() != fOwner.MessageSession()) return TURLRetrieveStatus::ursFail;
  std::string text;
  int port = 0;
  TqdsURL::Lock();
  try {
    Versioned = URL.GetVersionIsUsed();
    SupportedVersions = URL.SupportedVer();
    text = URL.GetAsString();
    port = static_cast<int>(URL.Port());
  } catch (...) {
    TqdsURL::Unlock();
    throw;
  }
  TqdsURL::Unlock();

  TProcessingMode mode = TProcessingMode::amSimple;
  if (TLS()) {
    switch (Entry.Method) {
      case TRequestMethod::mPut:
        mode = TProcessingMode::amTLSPUT;
        break;
      case TRequestMethod::mPost:
        mode = TProcessingMode::amTLSPOST;
        break;
      case TRequestMethod::mDelete:
        mode = TProcessingMode::amTLSDELETE;
        break;
      default:
        mode = TProcessingMode::amTLSGET;
    }
  } else {
    const TDownloadResult auth = CheckAuthentication(Entry);
    switch (auth) {
      case TDownloadResult::drFailed:
      case TDownloadResult::drNotModified:
      case TDownloadResult::drMegaFailed:
        if (Entry.Session() == fOwner.MessageSession()) {
          fOwner.SetAuthentication(TAuthenticationState::asDenied);
          fOwner.OnCantLogin(User, auth == TDownloadResult::drMegaFailed);
          fOwner.SetOnline(false);
        }
        Entry.Msg = "Access Denied";
        return TURLRetrieveStatus::ursFail;
      case TDownloadResult::drNeedsRetry:
        return TURLRetrieveStatus::ursTransportFail;
      case TDownloadResult::drProcessed:
        fOwner.LockAuthentication();
        fOwner.SetOnline(true);
        fOwner.SetAuthentication(TAuthenticationState::asGranted);
        fOwner.UnlockAuthentication();
        break;
      default:
        break;
    }
  }
  if (Entry.Session() != fOwner.MessageSession()) return TURLRetrieveStatus::ursFail;
  Entry.InitialURL = text;
  Entry.InitialPort = port;
  switch (ProcessURL(port, mode, Entry)) {
    case TDownloadResult::drNeedsRetry:
      return TURLRetrieveStatus::ursTransportFail;
    case TDownloadResult::drProcessed:
    case TDownloadResult::drNotModified:
      return TURLRetrieveStatus::ursOK;
    default:
      return TURLRetrieveStatus::ursFail;
  }
}

TDownloadResult TQDSDownloaderBaseThread::CheckAuthentication(TQDSEntry& Entry) {
  const TWorkerSettings s = ReadSettings(fOwner);
  if (s.Passport.empty()) return TDownloadResult::drDontCare;
  if (fOwner.Authentication() == TAuthenticationState::asGranted)
    return TDownloadResult::drDontCare;
  // The credentials are fetched before the lock: LogonInfo may need the main
  // thread, which may itself be waiting for the lock.
  fPendingUser.clear();
  fPendingPwd.clear();
  if (s.Logon == TQDSLogon::lSpecific) {
    fPendingUser = s.SpecUser;
    fPendingPwd = s.SpecPassw;
  } else if (s.Logon != TQDSLogon::lAnonymous) {
    LogonInfo(fPendingUser, fPendingPwd);
  }
  fOwner.LockAuthentication();
  struct Unlocker {
    TWebEntityManager& m;
    ~Unlocker() { m.UnlockAuthentication(); }
  } unlocker{fOwner};
  switch (fOwner.Authentication()) {
    case TAuthenticationState::asGranted:
      return TDownloadResult::drDontCare;
    // Another worker was refused with the same credentials just now; asking
    // again before the state is reset would only repeat the refusal.
    case TAuthenticationState::asDenied:
      if (s.Logon != TQDSLogon::lAnonymous) return TDownloadResult::drFailed;
      break;
    default:
      break;
  }
  std::unique_ptr<TQDSEntry> auth =
      MakeEntry(Entry.Session(), "Non-qds entity", TDataFlag::ldUnknown, TJobFlags());
  TQDSEntry& authEntry = *auth;
  authEntry.Reason = "Logging in";
  authEntry.InitialURL = s.Passport;
  authEntry.InitialPort = 443;
  const TDownloadResult r = ProcessURL(443, TProcessingMode::amAuthenticate, authEntry);
  // Decided inside the lock, so that the workers waiting for it see the
  // verdict instead of exchanging again.
  if (r == TDownloadResult::drProcessed) {
    fOwner.SetOnline(true);
    fOwner.SetAuthentication(TAuthenticationState::asGranted);
  } else if ((r == TDownloadResult::drFailed || r == TDownloadResult::drMegaFailed ||
              r == TDownloadResult::drNotModified) &&
             Entry.Session() == fOwner.MessageSession()) {
    fOwner.SetAuthentication(TAuthenticationState::asDenied);
  }
  return r;
}

void TQDSDownloaderBaseThread::AddHeaders(TWinInetRequest& Request) {
  Request.AddHeader("Accept", "application/xml", true);
  Request.AddHeader("Accept-Encoding", "gzip,deflate", true);
}

void TQDSDownloaderBaseThread::HandleReplyStatusCode(TQDSEntry& Entry, TWinInetRequest& Request) {
  Entry.RequestStatus = Request.StatusCode();
  Entry.StatusMessage = Request.StatusText();
}

void TQDSDownloaderBaseThread::SetMaxAnswerBytes(std::size_t Bytes) {
  fMaxAnswerBytes = std::min<std::size_t>(Bytes, INT32_MAX);
}

void TQDSDownloaderBaseThread::OnWinInetProgress(TWinInetRequest&, int Progress,
                                                 bool& ContinueWork) {
  ContinueWork = !fTerminated.load();
  if (!ContinueWork) return;
  // An answer past the limit stops here; CompleteDownloading sees its size.
  if (static_cast<std::uint64_t>(Progress) > fMaxAnswerBytes.load()) {
    ContinueWork = false;
    return;
  }
  fProgressLatest = Progress;
  // One message per 100 ms at most, the first 100 ms into the request; the
  // final value follows at the end of the body (FlushProgress), so the main
  // thread always sees the latest, and a short answer costs one message.
  const std::uint32_t now = GetTickCount();
  if (platform::TicksBetween(fProgressPostedAt, now) >= 100) {
    fProgressPosted = Progress;
    fProgressPostedAt = now;
    fOwner.TQDSMessageManager::PostMessage(TQDSMessageParam::mpDownloadProgress, Progress, 0);
  }
}

void TQDSDownloaderBaseThread::FlushProgress(bool Final) {
  if (fProgressLatest > 0 && fProgressLatest != fProgressPosted && !fTerminated.load())
    fOwner.TQDSMessageManager::PostMessage(TQDSMessageParam::mpDownloadProgress, fProgressLatest,
                                           0);
  if (Final) {
    fProgressPosted = -1;
    fProgressLatest = 0;
  }
}

void TQDSDownloaderBaseThread::PostLog(const TQDSEntry& Entry, bool WithAnswer,
                                       std::uint64_t RawBytes, std::string Wire,
                                       std::optional<TQDSPackedForm> WireForm) {
  auto log = WireForm ? MakeLogEntry(Entry, std::move(Wire), *WireForm) : MakeLogEntry(Entry);
  if (WithAnswer && Entry.Accumulator().Size() > 0)
    log->SetComprK(static_cast<double>(RawBytes) / static_cast<double>(Entry.Accumulator().Size()));
  log->SetBalancer(Balancer);
  log->SetCache(Cache);
  log->SetAllHeaders(All);
  log->SetQVersion(QVersion);
  log->SetSVersion(SVersion);
  fOwner.TQDSMessageManager::PostMessage(TQDSMessageParam::mpLogEntry,
                                         reinterpret_cast<std::intptr_t>(log.release()),
                                         Entry.Session());
}

void TQDSDownloaderBaseThread::ReadAnswerHeaders(TQDSEntry& Entry, TWinInetRequest& Request) {
  // Each header is read on its own: a missing or bad one leaves only itself
  // unread.
  try {
    Entry.ServerTime = Request.GetHeaderAsDateTime(platform::HTTP_QUERY_DATE);
  } catch (const std::exception&) {
    Entry.ServerTime = 0;
  }
  Entry.LastModified = Request.GetHeaderAsStr(platform::HTTP_QUERY_LAST_MODIFIED);
  Entry.ETag = Request.GetHeaderAsStr(platform::HTTP_QUERY_ETAG);
  // A present but empty marker is a denial; a missing one is no answer.
  std::string marker;
  if (Request.FindHeader("X-TarvoPassport-Marker", 0, marker)) {
    const bool granted = marker == "granted";
    Entry.TarvoPassport =
        granted ? TTarvoPassportReply::mprGranted : TTarvoPassportReply::mprDenied;
    fOwner.TQDSMessageManager::PostMessage(TQDSMessageParam::mpPassport, granted ? 1 : 0,
                                           Entry.Session());
  } else {
    fOwner.LockAuthentication();
    if (fOwner.Authentication() == TAuthenticationState::asNone)
      fOwner.SetAuthentication(TAuthenticationState::asSkipped);
    fOwner.UnlockAuthentication();
  }
  Balancer = Request.GetHeaderAsStr("X-Tarvo-Balancer");
  Cache = Request.GetHeaderAsStr(platform::HTTP_QUERY_CACHE_CONTROL);
  try {
    All = "---->\r\n" + Trim(Request.GetHeaders(true)) + "\r\n<----\r\n" +
          Trim(Request.GetHeaders(false));
  } catch (const std::exception&) {
    All.clear();
  }
  if (Versioned) {
    QVersion = Trim(Request.GetHeaderAsStr("X-Tarvo-QDS-Query-Version"));
    SVersion = Request.GetHeaderAsStr("X-Tarvo-QDS-Statement-Version");
    if (QVersion.empty()) {
      Entry.Supported = true;
    } else {
      long long n = 0;
      for (char c : QVersion) {
        if (c < '0' || c > '9') break;
        n = n * 10 + (c - '0');
        if (n > 0x7FFFFFFF) break;
      }
      Entry.Supported =
          n >= SupportedVersions.LowestCompatible && n <= SupportedVersions.HighestCompatible;
    }
  }
}

bool TQDSDownloaderBaseThread::CompleteDownloading(TQDSEntry& Entry, TWinInetRequest& Request,
                                                   bool LogIt) {
  if (Entry.DownloadStartedAt == 0) Entry.DownloadStartedAt = GetTickCount();
  const TWorkerSettings s = ReadSettings(fOwner);
  Request.ReadData(s.SpeedLimit);
  // A worker told to end stops reading (its progress handler answers so), and
  // the layer then reports the cut body without an error: never a good answer.
  const bool interrupted = fTerminated.load();
  FlushProgress(true);
  std::string raw = Request.Data().Release();
  const std::uint64_t rawBytes = raw.size();
  const std::string encoding =
      platform::AsciiLowerCase(Request.GetHeaderAsStr(platform::HTTP_QUERY_CONTENT_ENCODING));
  const std::size_t limit = fMaxAnswerBytes.load();
  // Reading stops at the block that passes the limit.
  TAnswerDecoding decoding =
      raw.size() > limit ? TAnswerDecoding::adTooLarge : TAnswerDecoding::adDone;
  // A compressed answer is logged as it came: it decodes to the accumulator.
  std::optional<TQDSPackedForm> wireForm;
  if (decoding == TAnswerDecoding::adDone && !raw.empty()) {
    std::string body;
    bool nothing = true;
    if (encoding.find("gzip") != std::string::npos) {
      decoding = InflateAnswer(raw, WindowBitsOf(TQDSPackedForm::pfGzip), limit, body, nothing);
      wireForm = TQDSPackedForm::pfGzip;
      Entry.Write(std::move(body));
    } else if (encoding.find("deflate") != std::string::npos) {
      // "deflate" is meant to be zlib-wrapped, but servers send raw deflate too.
      decoding = InflateAnswer(raw, WindowBitsOf(TQDSPackedForm::pfZlib), limit, body, nothing);
      wireForm = TQDSPackedForm::pfZlib;
      if (decoding == TAnswerDecoding::adDamaged && nothing) {
        decoding =
            InflateAnswer(raw, WindowBitsOf(TQDSPackedForm::pfRawDeflate), limit, body, nothing);
        wireForm = TQDSPackedForm::pfRawDeflate;
      }
      Entry.Write(std::move(body));
    } else {
      Entry.Write(std::move(raw));
    }
  }
  if (decoding == TAnswerDecoding::adTooLarge) {
    // Asking again would bring the same answer: a hard failure, and no part
    // of it is kept.
    Entry.Accumulator().Clear();
    throw EQDSException("The answer is larger than the limit of " + std::to_string(limit) +
                        " bytes");
  }
  const bool decoded = decoding == TAnswerDecoding::adDone;
  const int status = Request.StatusCode();
  // A body that does not decode is kept for the log but the answer is not
  // used: the exchange is retried.
  const bool result = decoded && !interrupted &&
                      (Entry.Accumulator().Size() > 0 || status == 201 || status == 202 ||
                       status == 204 || status == 304);
  if (status > 0) HandleReplyStatusCode(Entry, Request);
  if (!decoded) Entry.Msg = "Answer could not be decoded (" + encoding + ")";
  if (!LogIt)
    Entry.ParsingEndedAt = GetTickCount();
  else
    PostLog(Entry, true, rawBytes, std::move(raw), decoded ? wireForm : std::nullopt);
  return result;
}

TDownloadResult TQDSDownloaderBaseThread::ProcessURL(int Port, TProcessingMode Mode,
                                                     TQDSEntry& Entry) {
  const TWorkerSettings s = ReadSettings(fOwner);
  if (Mode == TProcessingMode::amAuthenticate && s.Logon == TQDSLogon::lAnonymous)
    return TDownloadResult::drProcessed;

  std::string_view rest = Entry.InitialURL;
  if (rest.starts_with("http://"))
    rest.remove_prefix(7);
  else if (rest.starts_with("https://"))
    rest.remove_prefix(8);
  const auto slash = rest.find('/');
  const std::string host(rest.substr(0, slash));
  std::string path = "/";
  if (slash != std::string_view::npos) path += std::string(rest.substr(slash + 1));

  Balancer.clear();
  Cache.clear();
  All.clear();
  QVersion.clear();
  SVersion.clear();
  fProgressPosted = -1;
  fProgressLatest = 0;
  fProgressPostedAt = GetTickCount();

  TDownloadResult result = TDownloadResult::drFailed;
  std::unique_ptr<TWinInternet> inet;
  std::unique_ptr<TWinInetRequest> request;
  try {
    inet = std::make_unique<TWinInternet>(fOwner.UserAgent());
    const bool secure = Mode != TProcessingMode::amSimple && s.Secured;
    TWinInetSession* session =
        inet->CreateSession(host, static_cast<std::uint16_t>(Port), true, secure);
    session->SetSecurityFlags(s.SecurityFlags);
    request = session->CreateRequest(path, ProcessingModeMethods[static_cast<int>(Mode)],
                                     &fOwner.CookieStorage());
    request->OnProgress = [this](TWinInetRequest& r, int p, bool& go) {
      OnWinInetProgress(r, p, go);
    };
    AddHeaders(*request);
    // Validators the entity supplied make the request conditional.
    if (Mode != TProcessingMode::amAuthenticate) {
      if (!Entry.ETag.empty()) request->AddHeader("If-None-Match", Entry.ETag, true);
      if (!Entry.LastModified.empty())
        request->AddHeader("If-Modified-Since", Entry.LastModified, true);
    }
    SetCurrentRequest(request.get());
    Entry.DownloadStartedAt = GetTickCount();
    Entry.Secured = session->Secure();
    PostLog(Entry, false, 0);

    switch (Mode) {
      case TProcessingMode::amTLSGET:
        fOwner.AddGetHeaders(*request, Entry);
        request->SendRequest(suiAlways, fOwner.MainFormHandle(), std::string_view());
        break;
      case TProcessingMode::amTLSPUT:
      case TProcessingMode::amTLSPOST:
      case TProcessingMode::amTLSDELETE:
        fOwner.AddPostHeaders(*request, Entry);
        request->SendRequest(suiAlways, fOwner.MainFormHandle(), Entry.GetPostBody());
        Entry.ParsingEndedAt = GetTickCount();
        break;
      default:
        request->SendRequest(suiNever, 0, std::string_view());
    }

    // The passport's verdict by status: granted for 2xx and 3xx, a hard
    // failure for 400, refused for 401 and 403, worth another try otherwise.
    const auto passportVerdict = [](int status) {
      if (status >= 200 && status < 400) return TDownloadResult::drProcessed;
      if (status == 400) return TDownloadResult::drMegaFailed;
      if (status == 401 || status == 403) return TDownloadResult::drFailed;
      return TDownloadResult::drNeedsRetry;
    };

    const int status = request->StatusCode();
    if (status == 401) {
      if (Mode == TProcessingMode::amAuthenticate) {
        Entry.AuthRequest = true;
        User = fPendingUser;
        Pwd = fPendingPwd;
        request->Authenticate(User, Pwd);
        request->SendRequest(suiNever, 0, std::string_view());
        result = passportVerdict(request->StatusCode());
      } else {
        result = TDownloadResult::drFailed;
      }
      ReadAnswerHeaders(Entry, *request);
      CompleteDownloading(Entry, *request, true);
    } else {
      ReadAnswerHeaders(Entry, *request);
      const bool ok = CompleteDownloading(Entry, *request, true);
      if (Mode == TProcessingMode::amAuthenticate)
        result = passportVerdict(status);
      else if (status == 304 && ok)
        result = TDownloadResult::drNotModified;
      else
        result = ok ? TDownloadResult::drProcessed : TDownloadResult::drNeedsRetry;
      if (TLS() && Entry.JobFlags().Contains(TJobFlag::jfFirst) &&
          (status == 403 || status == 404)) {
        std::string text = Entry.AccumulatorAsString();
        if (text.empty()) text = request->StatusText();
        fOwner.OnInetException(EQDSException(text), Mode, false, Entry.JobFlags());
        result = TDownloadResult::drMegaFailed;
      }
    }
  } catch (...) {
    SetCurrentRequest(nullptr);
    request.reset();
    inet.reset();
    return ClassifyFailure(std::current_exception(), Mode, Entry);
  }
  SetCurrentRequest(nullptr);
  return result;
}

TDownloadResult TQDSDownloaderBaseThread::ClassifyFailure(const std::exception_ptr& E,
                                                          TProcessingMode Mode, TQDSEntry& Entry) {
  const TJobFlags flags = Entry.JobFlags();
  const auto logIt = [&] {
    try {
      PostLog(Entry, false, 0);
    } catch (const std::exception&) {
    }
  };
  try {
    std::rethrow_exception(E);
  } catch (const EWinInetError& e) {
    if (Mode == TProcessingMode::amAuthenticate) Entry.AuthRequest = true;
    Entry.Failed();
    const std::uint32_t code = e.ErrCode();
    Entry.RequestStatus = static_cast<int>(code);
    Entry.StatusMessage = e.what();
    if (code == platform::ERROR_INTERNET_SECURITY_CHANNEL_ERROR && TLS() &&
        Entry.Session() == fOwner.MessageSession())
      Entry.StatusMessage += std::string("\r\n") + NoTLSSupportDefault;
    logIt();
    if (code == platform::ERROR_INTERNET_TIMEOUT) return TDownloadResult::drNeedsRetry;
    if (code == 2 || code == platform::ERROR_INTERNET_DISCONNECTED) {
      if (fOwner.MarkGlobalOffline())
        fOwner.TQDSMessageManager::PostMessage(TQDSMessageParam::mpIEOffline, 0, Entry.Session());
      return TDownloadResult::drNeedsRetry;
    }
    if ((code >> 16) == 0xE071) {
      fOwner.OnInetException(e, Mode, false, flags);
      return TDownloadResult::drMegaFailed;
    }
    if (code >= 12037 && code <= 12046) {
      fOwner.SetLastAuthError(e.what());
      fOwner.OnInetException(e, Mode, true, flags);
      return TDownloadResult::drMegaFailed;
    }
    if (Entry.Session() == fOwner.MessageSession() && !fTerminated.load()) {
      if (code == platform::ERROR_INTERNET_SECURITY_CHANNEL_ERROR && TLS()) {
        const EWinInetError withHint(Entry.StatusMessage, code, e.ErrCodeEx(), e.FuncName());
        fOwner.OnInetException(withHint, Mode, false, flags);
      } else {
        fOwner.OnInetException(e, Mode, false, flags);
      }
      return TDownloadResult::drMegaFailed;
    }
    return TDownloadResult::drNeedsRetry;
  } catch (const EValidataError& e) {
    const std::string message = std::string(e.what()) + " [" + e.SourceName() + "]";
    Entry.Failed();
    Entry.StatusMessage = "EValidataError: " + message;
    Entry.RequestStatus = static_cast<int>(e.ErrorCode());
    logIt();
    fOwner.OnInetException(EValidataError(message, e.ErrorCode(), e.SourceName()), Mode, true,
                           flags);
    return TDownloadResult::drMegaFailed;
  } catch (const EQDSException& e) {
    Entry.Failed();
    Entry.StatusMessage = std::string("EQDSException: ") + e.what();
    if (Entry.RequestStatus != 403) Entry.RequestStatus = 0;
    logIt();
    fOwner.OnInetException(e, Mode, false, flags);
    return TDownloadResult::drMegaFailed;
  } catch (const std::system_error& e) {
    Entry.Failed();
    Entry.StatusMessage = std::string("EOSError: ") + e.what();
    Entry.RequestStatus = e.code().value();
    logIt();
    fOwner.OnInetException(e, Mode, false, flags);
    return TDownloadResult::drMegaFailed;
  } catch (const std::exception& e) {
    Entry.Failed();
    Entry.StatusMessage = std::string("Exception: ") + e.what();
    Entry.RequestStatus = 12004;
    logIt();
    return TDownloadResult::drNeedsRetry;
  }
}

}  // namespace tarvo
