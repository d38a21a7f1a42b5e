// Kernel objects: named mutexes, named shared memory, events, and thread names.
//
// Named objects live as files in the runtime folder (Paths.h, RuntimeFolder();
// created 0700 on first use, and refused with ERROR_ACCESS_DENIED when it is a
// link, another user owns it or others can write it). They are shared by the processes of one user
// that use the same name; names are case-sensitive, as kernel object names are on Windows, and may
// hold any character ("Global\\x", "a/b": the file name is escaped).
//
// "Exists" means what it means on Windows: some live process holds a handle.
// Every handle holds a shared lock on its file, which the kernel drops when the
// process dies, so a stale file left by a crashed process does not count.
//
// Errors are results: a failed call returns an empty object or WaitResult::
// Failed and sets LastError (Errors.h) to the Windows code of the cause.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::platform {

// A time-out in milliseconds; kInfinite waits for ever.
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

enum class WaitResult {
  Signaled,   // the object was signalled / the mutex was acquired
  Abandoned,  // the mutex was acquired, but its previous owner died holding it
  Timeout,
  Failed,  // LastError tells why
};

// --- named mutex --------------------------------------------------------------

namespace detail {
struct MutexObject;
}

// A mutex shared by every process of the user that opens the same name.
//
// Ownership belongs to a thread and is recursive: the owning thread may wait
// again and must release as often as it acquired. When the owning process dies
// (even by kill -9), or the owning thread ends without releasing, the next
// waiter acquires the mutex and is told WaitResult::Abandoned: whatever the
// mutex guarded may be half-written.
//
// Handles are cheap, movable, and may be used from any thread; all handles of
// one name in one process share one object. Closing a handle (destroying it)
// does not release ownership, as on Windows: ownership ends with Release or
// with the owning thread.
class NamedMutex {
 public:
  NamedMutex() = default;  // no object; Valid() is false

  // Creates the mutex or opens the existing one. initiallyOwned acquires it for
  // the calling thread at once when it did not exist before (like CreateMutex);
  // alreadyExisted, when given, tells which case it was. Empty on failure.
  static NamedMutex Create(const std::string& name, bool initiallyOwned = false,
                           bool* alreadyExisted = nullptr);
  // Opens a mutex only when it exists (some live process holds a handle);
  // otherwise empty with LastError ERROR_FILE_NOT_FOUND. This is the "is that
  // program running" test.
  static NamedMutex Open(const std::string& name);
  // Open without keeping a handle.
  static bool Exists(const std::string& name);

  bool Valid() const noexcept { return fObject != nullptr; }
  const std::string& Name() const noexcept;

  // Waits up to timeoutMs to own the mutex. Signaled or Abandoned both mean the
  // calling thread owns it now (once more, when it owned it already).
  WaitResult Wait(std::uint32_t timeoutMs = kInfinite);
  // Gives up one level of ownership. False (LastError ERROR_NOT_OWNER) when the
  // calling thread does not own it.
  bool Release();

 private:
  explicit NamedMutex(std::shared_ptr<detail::MutexObject> object) : fObject(std::move(object)) {}
  std::shared_ptr<detail::MutexObject> fObject;
};

// --- named shared memory ------------------------------------------------------

// A block of memory that every process of the user that opens the same name
// sees. A block that no live process holds any more is gone: the next creator
// gets a fresh, zero-filled block and AlreadyExisted() false, even when a
// crashed process left its file behind.
//
// The memory is plain bytes: callers guard it (typically with a NamedMutex)
// and treat its contents as untrusted, since any process of the user can write
// it. Move-only; the destructor unmaps it.
class SharedMemory {
 public:
  SharedMemory() = default;
  SharedMemory(SharedMemory&&) noexcept;
  SharedMemory& operator=(SharedMemory&&) noexcept;
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;
  ~SharedMemory();

  // Creates the block (size bytes, zero-filled) or opens the existing one.
  // Opening an existing block that is smaller than size fails with
  // ERROR_INVALID_PARAMETER; a larger one is mapped with the size asked for.
  // size 0 fails with ERROR_INVALID_PARAMETER. Empty on failure.
  static SharedMemory Create(const std::string& name, std::size_t size);

  bool Valid() const noexcept { return fData != nullptr; }
  void* Data() const noexcept { return fData; }
  std::size_t Size() const noexcept { return fSize; }
  bool AlreadyExisted() const noexcept { return fExisted; }
  void Close() noexcept;

 private:
  void* fData = nullptr;
  std::size_t fSize = 0;
  int fFd = -1;
  bool fExisted = false;
};

// --- events -------------------------------------------------------------------

// An event of one process with the Windows semantics: a manual-reset event
// stays signalled and releases every waiter until Reset; an auto-reset event
// releases exactly one waiter (or the next wait) and resets itself.
//
// Thread-safe. An event must outlive every wait on it.
class Event {
 public:
  explicit Event(bool manualReset, bool initialState = false);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  bool ManualReset() const noexcept { return fManual; }

  // Waits up to timeoutMs; Signaled or Timeout.
  WaitResult Wait(std::uint32_t timeoutMs = kInfinite);
  // Takes the signal when there is one, without waiting.
  bool TryWait();

  // Waits until any of the events is signalled and answers its index (an
  // auto-reset event is reset by being taken), or -1 on time-out. When several
  // are signalled, the lowest index wins and only that one is taken. An empty
  // list or a null entry answers -1 at once (LastError ERROR_INVALID_PARAMETER).
  static int WaitAny(std::span<Event* const> events, std::uint32_t timeoutMs = kInfinite);

 private:
  // A waiter that several events can wake at once (WaitAny).
  struct Waiter {
    std::mutex mutex;
    std::condition_variable cv;
    bool woken = false;
  };
  bool TakeLocked();

  const bool fManual;
  std::mutex fMutex;
  bool fSignaled;
  std::vector<Waiter*> fWaiters;
};

// --- threads ------------------------------------------------------------------

// Names the calling thread for debuggers, `top -H` and crash reports. The
// system keeps 15 bytes: a longer name is cut there (at a character boundary
// of UTF-8 text). Best effort: a failure changes nothing and is not reported.
void SetCurrentThreadName(std::string_view name);
// The calling thread's name as the system keeps it ("" when unknown).
std::string CurrentThreadName();

}  // namespace tarvo::platform
