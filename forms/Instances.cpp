#include "forms/Instances.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/core/Errors.h"
#include "platform/system/ProcessInfo.h"

namespace tarvo {

using platform::GetLastError;
using platform::MessageQueue;
using platform::NamedMutex;
using platform::SharedMemory;
using platform::WaitResult;

namespace {

// The registry of this process and what the application asked for, touched
// by the UI thread and (the activation handler) read again on it; the lock
// keeps a host that calls from elsewhere from tearing them.
std::mutex gLock;
std::function<void()> gActivate;
// The registry is removed from the list when the library unloads, which for
// most programs is during exit. By then the exiting thread's thread-local
// state is gone, and the platform's named mutex keeps its ownership records
// there; so the removal runs on a short-lived thread of its own.
struct Registry {
  std::unique_ptr<TInstances> instance;
  ~Registry() {
    if (!instance) return;
    std::thread remover([this] { instance.reset(); });
    remover.join();
  }
};
Registry gRegistry;  // last, so that it goes first at unload
std::unique_ptr<TInstances>& gInstances = gRegistry.instance;

// Window messages registered by name, per process. Windows hands out numbers
// from 0xC000 up; so do we, so that they never collide with WM_USER ranges.
std::uint32_t RegisterWindowMessage(const std::string& name) {
  static std::mutex lock;
  static std::map<std::string, std::uint32_t> numbers;
  std::lock_guard guard(lock);
  auto [it, added] = numbers.emplace(name, 0);
  if (added) it->second = 0xC000u + static_cast<std::uint32_t>(numbers.size() - 1);
  return it->second;
}

std::string EndpointName(const std::string& id, std::uint32_t pid) {
  return id + "_Msg." + std::to_string(pid);
}

std::atomic_ref<std::int32_t> CountRef(TInstanceInfos& infos) {
  return std::atomic_ref<std::int32_t>(infos.Count);
}

[[noreturn]] void ThrowLastError() {
  throw EInstancesOSError(GetLastError());
}

}  // namespace

EInstancesOSError::EInstancesOSError(std::uint32_t code)
    : EInstancesError("System Error.  Code: " + std::to_string(code) + ".\n" +
                      platform::SysErrorMessage(code) + "."),
      fCode(code) {}

// Holds the registry mutex for a scope. The mutex is recursive, so a method
// may lock while its caller already does.
class TInstances::Lock {
 public:
  explicit Lock(NamedMutex& mutex) : fMutex(mutex) {
    // Abandoned still means we own it; the block may be half-written, which
    // every reader and the registration's clean-up expect anyway.
    if (fMutex.Wait(platform::kInfinite) == WaitResult::Failed) ThrowLastError();
    fHeld = true;
  }
  ~Lock() { Release(); }
  void Release() noexcept {
    if (fHeld) fMutex.Release();
    fHeld = false;
  }

 private:
  NamedMutex& fMutex;
  bool fHeld = false;
};

int TInstances::ClampedCount(const TInstanceInfos& infos) noexcept {
  const std::int32_t raw =
      std::atomic_ref<const std::int32_t>(infos.Count).load(std::memory_order_relaxed);
  return std::clamp<std::int32_t>(raw, 0, kMaxInstances);
}

// --- object -----------------------------------------------------------------------

TInstances::TInstances(const std::string& id) : fUniqueID(id) {
  fProcessID = platform::CurrentProcessId();
  fStartTime = platform::ProcessStartTime(fProcessID).value_or(0);
  fMessage = RegisterWindowMessage(id + "_Msg");
  MessageQueue& queue = MessageQueue::UI();
  fWindow =
      queue.Register([this](std::uint32_t message, std::uintptr_t, std::intptr_t) -> std::intptr_t {
        return AppHook(message) ? 1 : 0;
      });
  try {
    // Listen before being listed, so that whoever sees us in the list can
    // reach us. The listener only forwards the one message it expects.
    const std::string expected = id + "_Msg";
    const platform::WindowHandle window = fWindow;
    const std::uint32_t number = fMessage;
    fListener = platform::LocalListener::Start(EndpointName(id, fProcessID),
                                               [expected, window, number](std::string_view m) {
                                                 if (m == expected)
                                                   MessageQueue::UI().Post(window, number, 0, 0);
                                               });
    if (!fListener) ThrowLastError();
    Register();
  } catch (...) {
    fListener.reset();
    queue.Unregister(fWindow);
    throw;
  }
}

void TInstances::Register() {
  fMutex = NamedMutex::Create(fUniqueID + "_Mtx");
  if (!fMutex.Valid()) ThrowLastError();
  Lock lock(fMutex);

  fMapping = SharedMemory::Create(fUniqueID + "Map", sizeof(TInstanceInfos));
  if (!fMapping.Valid()) ThrowLastError();
  fMapView = static_cast<TInstanceInfos*>(fMapping.Data());
  if (!fMapping.AlreadyExisted()) std::memset(fMapView, 0, sizeof(TInstanceInfos));
  fStarts = SharedMemory::Create(fUniqueID + "Map.Start", sizeof(TInstanceStarts));
  if (!fStarts.Valid()) ThrowLastError();
  fStartsView = static_cast<TInstanceStarts*>(fStarts.Data());

  // Clean the list first: copies that died without removing themselves (a
  // crash, kill -9) must not count against the limit or be woken, and a copy
  // killed in the middle of a change may have left an entry twice.
  auto startSlot = [this](std::uint32_t pid) -> TInstanceStart* {
    for (TInstanceStart& s : fStartsView->Slots)
      if (s.ProcessID == pid) return &s;
    return nullptr;
  };
  auto isLive = [&](std::uint32_t pid) {
    const auto started = platform::ProcessStartTime(pid);
    if (!started) return false;
    const TInstanceStart* slot = startSlot(pid);
    // Without a recorded start time only the id can be checked.
    return !slot || slot->StartTime == 0 || slot->StartTime == *started;
  };
  const int count = ClampedCount(*fMapView);
  std::vector<std::uint32_t> live;
  std::unordered_set<std::uint32_t> seen;
  for (int i = 0; i < count; ++i) {
    const std::uint32_t pid = fMapView->Infos[i].ProcessID;
    if (pid == 0 || !seen.insert(pid).second) continue;
    if (isLive(pid)) live.push_back(pid);
  }
  for (int i = 0; i < kMaxInstances; ++i)
    fMapView->Infos[i].ProcessID = i < static_cast<int>(live.size()) ? live[i] : 0;
  CountRef(*fMapView).store(static_cast<std::int32_t>(live.size()));
  const std::unordered_set<std::uint32_t> listed(live.begin(), live.end());
  std::unordered_set<std::uint32_t> slotted;
  for (TInstanceStart& s : fStartsView->Slots)
    if (s.ProcessID != 0 && (!listed.count(s.ProcessID) || !slotted.insert(s.ProcessID).second))
      s = {};

  if (listed.count(fProcessID))
    return;  // already listed by another registry object of this process

  if (live.size() >= static_cast<std::size_t>(kMaxInstances)) {
    // Give everything back before leaving, so the copies that stay are not
    // left waiting on a mutex whose owner is on its way out.
    const std::string text =
        "Cannot launch more than " + std::to_string(kMaxInstances) + " instances\n";
    fMapView = nullptr;
    fStartsView = nullptr;
    fMapping.Close();
    fStarts.Close();
    lock.Release();
    fListener.reset();
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
    std::_Exit(0);
  }

  TInstanceStart* slot = startSlot(fProcessID);
  if (!slot) slot = startSlot(0);  // the list holds fewer than 256, so a slot is free
  if (slot) *slot = {fProcessID, 0, fStartTime};
  fMapView->Infos[live.size()].ProcessID = fProcessID;
  CountRef(*fMapView).fetch_add(1);
}

TInstances::~TInstances() {
  Unregister();
  fListener.reset();
  MessageQueue::UI().Unregister(fWindow);
}

void TInstances::Unregister() noexcept {
  try {
    if (fMutex.Valid()) {
      Lock lock(fMutex);
      if (fMapView) {
        const int index = GetIndex();  // takes the mutex once more
        if (index >= 0) {
          const int count = ClampedCount(*fMapView);
          // Move the later entries down before shortening the list: a copy
          // killed in between leaves a repeated entry, which the next
          // registration drops, rather than losing one.
          for (int i = index; i + 1 < count; ++i) fMapView->Infos[i] = fMapView->Infos[i + 1];
          fMapView->Infos[count - 1].ProcessID = 0;
          if (count == CountRef(*fMapView).load())
            CountRef(*fMapView).fetch_sub(1);
          else
            CountRef(*fMapView).store(count - 1);  // a damaged count is repaired
        }
        if (fStartsView)
          for (TInstanceStart& s : fStartsView->Slots)
            if (s.ProcessID == fProcessID) s = {};
      }
      fMapView = nullptr;
      fStartsView = nullptr;
      fMapping.Close();
      fStarts.Close();
    }
  } catch (...) {
    // The mutex failed: we cannot touch the block safely, and the next
    // registration drops our entry once this process has ended.
  }
  fMapView = nullptr;
  fStartsView = nullptr;
  fMapping.Close();
  fStarts.Close();
}

int TInstances::GetCount() {
  Lock lock(fMutex);
  return fMapView ? ClampedCount(*fMapView) : 0;
}

int TInstances::GetIndex() {
  Lock lock(fMutex);
  if (!fMapView) return -1;
  const int count = ClampedCount(*fMapView);
  for (int i = 0; i < count; ++i)
    if (fMapView->Infos[i].ProcessID == fProcessID) return i;
  return -1;
}

std::uint32_t TInstances::GetFirst() {
  Lock lock(fMutex);
  if (!fMapView) return 0;
  const int count = ClampedCount(*fMapView);
  for (int i = 0; i < count; ++i) {
    const std::uint32_t pid = fMapView->Infos[i].ProcessID;
    if (pid != fProcessID && pid != 0) return pid;
  }
  return 0;
}

std::uint32_t TInstances::GetItems(int index) {
  Lock lock(fMutex);
  const int count = fMapView ? ClampedCount(*fMapView) : 0;
  if (index < 0 || index >= count)
    throw EInstancesListError("List index out of bounds (" + std::to_string(index) + ")");
  return fMapView->Infos[index].ProcessID;
}

bool TInstances::AppHook(std::uint32_t message) {
  if (fMessage == 0 || message != fMessage) return false;
  std::function<void()> activate;
  {
    std::lock_guard guard(gLock);
    activate = gActivate;
  }
  if (activate) activate();
  return true;
}

// --- class level ----------------------------------------------------------------

void TInstances::SetInstanceID(const std::string& id) {
  std::lock_guard guard(gLock);
  if (gInstances) {
    if (gInstances->fUniqueID != id)
      throw EInstancesError("Application instance is already marked unique");
    return;  // marked already under this ID: listed once is enough
  }
  if (id.empty()) throw EInstancesError("ID cannot be empty");
  gInstances = std::make_unique<TInstances>(id);
}

int TInstances::ProcessCount() {
  TInstances* self = Current();
  return self ? self->GetCount() : 0;
}

std::uint32_t TInstances::GetProcessID(int index) {
  TInstances* self = Current();
  if (!self) throw EInstancesListError("List index out of bounds (" + std::to_string(index) + ")");
  return self->GetItems(index);
}

bool TInstances::SwitchToFirst() {
  TInstances* self = Current();
  if (!self) return false;
  const std::uint32_t first = self->GetFirst();
  if (first == 0) return false;
  // Notify-style: the first copy acknowledges receipt and handles the
  // message later on its own UI thread; we do not wait for that.
  return platform::LocalSendMessage(EndpointName(self->fUniqueID, first), self->fUniqueID + "_Msg");
}

void TInstances::SetActivateHandler(std::function<void()> handler) {
  std::lock_guard guard(gLock);
  gActivate = std::move(handler);
}

TInstances* TInstances::Current() {
  std::lock_guard guard(gLock);
  return gInstances.get();
}

void TInstances::ReleaseInstance() {
  std::unique_ptr<TInstances> old;
  {
    std::lock_guard guard(gLock);
    old = std::move(gInstances);
  }
}

std::uint32_t TInstances::Message() {
  TInstances* self = Current();
  return self ? self->fMessage : 0;
}

}  // namespace tarvo
