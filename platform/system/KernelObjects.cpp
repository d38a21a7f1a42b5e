#include "platform/system/KernelObjects.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <optional>
#include <thread>

#include "platform/core/Errors.h"
#include "platform/core/Paths.h"

namespace tarvo::platform {

using Clock = std::chrono::steady_clock;

// --- helpers ------------------------------------------------------------------

namespace {

std::optional<Clock::time_point> DeadlineAfter(std::uint32_t timeoutMs) {
  if (timeoutMs == kInfinite) return std::nullopt;
  return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

std::optional<std::string> PrepareRuntimeFolder() {
  const std::string dir = RuntimeFolder();
  if (dir.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return std::nullopt;
  }
  // Create the parents as ordinary folders, the last one private to the user.
  for (std::size_t pos = dir.find('/', 1); pos != std::string::npos; pos = dir.find('/', pos + 1)) {
    const std::string parent = dir.substr(0, pos);
    if (::mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) {
      SetLastErrorFromErrno(errno);
      return std::nullopt;
    }
  }
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    SetLastErrorFromErrno(errno);
    return std::nullopt;
  }
  // Everything in this folder decides who owns a lock and what a shared block
  // holds: a folder that another user owns or may write (a planted
  // /tmp/tarvo-<uid>, a link) would hand that to them.
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) {
    SetLastErrorFromErrno(errno);
    return std::nullopt;
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return std::nullopt;
  }
  return dir;
}

std::optional<std::string> ObjectFileName(std::string_view prefix, std::string_view name) {
  if (name.empty()) {
    SetLastError(ERROR_INVALID_NAME);
    return std::nullopt;
  }
  std::string out(prefix);
  static const char kHex[] = "0123456789ABCDEF";
  for (unsigned char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '_' || c == '-' || c == '.' || c == ' ';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  // Windows allows names of up to MAX_PATH characters; a file name stops at
  // 255 bytes, escapes included.
  if (out.size() > 255) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return std::nullopt;
  }
  return out;
}

int OpenObjectFile(const std::string& path, bool create) {
  int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW;
  if (create) flags |= O_CREAT;
  const int fd = ::open(path.c_str(), flags, 0600);
  if (fd < 0) {
    SetLastErrorFromErrno(errno);
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return -1;
  }
  return fd;
}

int RangeLock(int fd, short type, off_t offset, bool wait) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = offset;
  fl.l_len = 1;
  fl.l_pid = 0;
  for (;;) {
    if (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) return 0;
    if (errno == EINTR) continue;
    return errno == EACCES ? EAGAIN : errno;
  }
}

bool RangeHeldByOthers(int fd, off_t offset) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = offset;
  fl.l_len = 1;
  fl.l_pid = 0;
  if (::fcntl(fd, F_OFD_GETLK, &fl) != 0) return false;
  return fl.l_type != F_UNLCK;
}

}  // namespace

// --- named mutex --------------------------------------------------------------

namespace {

// Byte ranges of a mutex file that are locked (never written, except byte 0):
//   0  ownership: an exclusive lock held by the owning process; the byte's
//      value is 1 while owned, so a new owner that finds 1 knows the previous
//      one died holding it
//   1  presence: a shared lock held by every process with a handle
//   2  creation: serialises "does it exist" + "I am here" between creators
constexpr off_t kOwnerByte = 0;
constexpr off_t kPresenceByte = 1;
constexpr off_t kCreateByte = 2;

}  // namespace

namespace detail {

struct MutexObject {
  std::string name;
  int fd = -1;

  std::mutex m;
  std::condition_variable cv;
  // The thread of this process that owns the mutex or is trying to take the
  // file lock for it; only one at a time, the others wait on cv.
  bool busy = false;
  std::thread::id owner;
  unsigned recursion = 0;

  ~MutexObject() {
    if (fd >= 0) ::close(fd);  // drops this process's presence and any lock
  }
};

}  // namespace detail

namespace {

using detail::MutexObject;

std::mutex gMutexTableLock;
std::map<std::string, std::weak_ptr<MutexObject>> gMutexTable;

// Writes the "owned" mark. The mark is advisory (it only turns a later
// acquisition into an abandoned one), so a failed write is not fatal.
void WriteOwnedMark(int fd, bool owned) {
  const char v = owned ? 1 : 0;
  [[maybe_unused]] ssize_t n = ::pwrite(fd, &v, 1, kOwnerByte);
}

bool ReadOwnedMark(int fd) {
  char v = 0;
  return ::pread(fd, &v, 1, kOwnerByte) == 1 && v != 0;
}

// Mutexes a thread owns, so that a thread ending without releasing them
// abandons them instead of blocking everyone for ever.
// Set when the thread's list is gone: a static destructor at process exit may
// still wait for or release a mutex after the main thread's thread-locals were
// destroyed, and must not touch the list then (the kernel drops the lock when
// the process ends anyway).
thread_local bool tOwnedGone = false;

struct OwnedMutexes {
  std::vector<std::shared_ptr<MutexObject>> items;

  ~OwnedMutexes() {
    tOwnedGone = true;
    const auto self = std::this_thread::get_id();
    for (auto& obj : items) {
      std::lock_guard lock(obj->m);
      if (obj->owner != self) continue;
      // Leave the "owned" mark set: the next owner, here or elsewhere, is told
      // the mutex was abandoned.
      RangeLock(obj->fd, F_UNLCK, kOwnerByte, false);
      obj->owner = {};
      obj->recursion = 0;
      obj->busy = false;
      obj->cv.notify_one();
    }
  }

  void Add(const std::shared_ptr<MutexObject>& obj) {
    if (std::find(items.begin(), items.end(), obj) == items.end()) items.push_back(obj);
  }
  void Remove(const MutexObject* obj) {
    std::erase_if(items, [obj](const auto& p) { return p.get() == obj; });
  }
};

thread_local OwnedMutexes tOwned;

std::shared_ptr<MutexObject> FindLiveMutex(const std::string& name) {
  auto it = gMutexTable.find(name);
  if (it == gMutexTable.end()) return nullptr;
  auto obj = it->second.lock();
  if (!obj) gMutexTable.erase(it);
  return obj;
}

}  // namespace

NamedMutex NamedMutex::Create(const std::string& name, bool initiallyOwned, bool* alreadyExisted) {
  auto fileName = ObjectFileName("mutex.", name);
  if (!fileName) return {};

  std::shared_ptr<MutexObject> obj;
  bool existed = false;
  {
    std::lock_guard table(gMutexTableLock);
    obj = FindLiveMutex(name);
    if (obj) {
      existed = true;
    } else {
      auto dir = PrepareRuntimeFolder();
      if (!dir) return {};
      const int fd = OpenObjectFile(*dir + "/" + *fileName, true);
      if (fd < 0) return {};
      auto fresh = std::make_shared<MutexObject>();
      fresh->name = name;
      fresh->fd = fd;
      if (int err = RangeLock(fd, F_WRLCK, kCreateByte, true); err != 0) {
        SetLastErrorFromErrno(err);
        return {};
      }
      existed = RangeHeldByOthers(fd, kPresenceByte);
      // A mutex nobody holds starts unowned, whatever a crashed process left.
      if (!existed) WriteOwnedMark(fd, false);
      const int err = RangeLock(fd, F_RDLCK, kPresenceByte, false);
      RangeLock(fd, F_UNLCK, kCreateByte, false);
      if (err != 0) {
        SetLastErrorFromErrno(err);
        return {};
      }
      gMutexTable[name] = fresh;
      obj = std::move(fresh);
    }
  }
  if (alreadyExisted) *alreadyExisted = existed;
  NamedMutex result(std::move(obj));
  if (initiallyOwned && !existed && result.Wait(0) == WaitResult::Failed) return {};
  return result;
}

NamedMutex NamedMutex::Open(const std::string& name) {
  auto fileName = ObjectFileName("mutex.", name);
  if (!fileName) return {};
  std::lock_guard table(gMutexTableLock);
  if (auto obj = FindLiveMutex(name)) return NamedMutex(std::move(obj));

  auto dir = PrepareRuntimeFolder();
  if (!dir) return {};
  const int fd = OpenObjectFile(*dir + "/" + *fileName, false);
  if (fd < 0) return {};
  auto obj = std::make_shared<MutexObject>();
  obj->name = name;
  obj->fd = fd;
  if (!RangeHeldByOthers(fd, kPresenceByte)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return {};
  }
  if (int err = RangeLock(fd, F_RDLCK, kPresenceByte, false); err != 0) {
    SetLastErrorFromErrno(err);
    return {};
  }
  gMutexTable[name] = obj;
  return NamedMutex(std::move(obj));
}

bool NamedMutex::Exists(const std::string& name) {
  return Open(name).Valid();
}

const std::string& NamedMutex::Name() const noexcept {
  static const std::string kNone;
  return fObject ? fObject->name : kNone;
}

WaitResult NamedMutex::Wait(std::uint32_t timeoutMs) {
  if (!fObject) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WaitResult::Failed;
  }
  MutexObject& obj = *fObject;
  const auto self = std::this_thread::get_id();
  const auto deadline = DeadlineAfter(timeoutMs);
  {
    std::unique_lock lock(obj.m);
    if (obj.owner == self) {
      if (obj.recursion == 0xFFFFFFFFu) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return WaitResult::Failed;
      }
      ++obj.recursion;
      return WaitResult::Signaled;
    }
    // Threads of this process queue here; one of them at a time contends for
    // the file lock with the other processes.
    while (obj.busy) {
      if (!deadline) {
        obj.cv.wait(lock);
      } else if (obj.cv.wait_until(lock, *deadline) == std::cv_status::timeout && obj.busy) {
        return WaitResult::Timeout;
      }
    }
    obj.busy = true;
  }

  // The kernel has no timed wait for a file lock, so poll: quickly at first,
  // then every 10 ms, which bounds the delay after a release or a holder's death.
  auto pause = std::chrono::microseconds(200);
  for (;;) {
    const int err = RangeLock(obj.fd, F_WRLCK, kOwnerByte, false);
    if (err == 0) break;
    if (err != EAGAIN) {
      std::lock_guard lock(obj.m);
      obj.busy = false;
      obj.cv.notify_one();
      SetLastErrorFromErrno(err);
      return WaitResult::Failed;
    }
    if (deadline && Clock::now() >= *deadline) {
      std::lock_guard lock(obj.m);
      obj.busy = false;
      obj.cv.notify_one();
      return WaitResult::Timeout;
    }
    auto sleep = pause;
    if (deadline) {
      const auto left =
          std::chrono::duration_cast<std::chrono::microseconds>(*deadline - Clock::now());
      sleep = std::max(std::chrono::microseconds(0), std::min(sleep, left));
    }
    std::this_thread::sleep_for(sleep);
    pause = std::min(pause * 2, std::chrono::microseconds(10000));
  }

  const bool abandoned = ReadOwnedMark(obj.fd);
  WriteOwnedMark(obj.fd, true);
  {
    std::lock_guard lock(obj.m);
    obj.owner = self;
    obj.recursion = 1;
  }
  if (!tOwnedGone) tOwned.Add(fObject);
  return abandoned ? WaitResult::Abandoned : WaitResult::Signaled;
}

bool NamedMutex::Release() {
  if (!fObject) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  MutexObject& obj = *fObject;
  bool last = false;
  {
    std::lock_guard lock(obj.m);
    if (obj.owner != std::this_thread::get_id() || obj.recursion == 0) {
      SetLastError(ERROR_NOT_OWNER);
      return false;
    }
    if (--obj.recursion == 0) {
      WriteOwnedMark(obj.fd, false);
      RangeLock(obj.fd, F_UNLCK, kOwnerByte, false);
      obj.owner = {};
      obj.busy = false;
      obj.cv.notify_one();
      last = true;
    }
  }
  if (last && !tOwnedGone) tOwned.Remove(&obj);
  return true;
}

// --- named shared memory ------------------------------------------------------

namespace {

// Lock bytes of a shared-memory file, far beyond any block: a lock does not
// need the file to reach that far, and the data bytes stay the caller's.
constexpr off_t kShmLockBase = off_t{1} << 60;
constexpr off_t kShmCreateByte = kShmLockBase;
constexpr off_t kShmPresenceByte = kShmLockBase + 1;

}  // namespace

SharedMemory::SharedMemory(SharedMemory&& other) noexcept
    : fData(other.fData), fSize(other.fSize), fFd(other.fFd), fExisted(other.fExisted) {
  other.fData = nullptr;
  other.fSize = 0;
  other.fFd = -1;
}

SharedMemory& SharedMemory::operator=(SharedMemory&& other) noexcept {
  if (this != &other) {
    Close();
    fData = other.fData;
    fSize = other.fSize;
    fFd = other.fFd;
    fExisted = other.fExisted;
    other.fData = nullptr;
    other.fSize = 0;
    other.fFd = -1;
  }
  return *this;
}

SharedMemory::~SharedMemory() {
  Close();
}

void SharedMemory::Close() noexcept {
  if (fData) ::munmap(fData, fSize);
  if (fFd >= 0) ::close(fFd);
  fData = nullptr;
  fSize = 0;
  fFd = -1;
}

SharedMemory SharedMemory::Create(const std::string& name, std::size_t size) {
  if (size == 0 || size > static_cast<std::size_t>(kShmLockBase)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return {};
  }
  auto fileName = ObjectFileName("shm.", name);
  if (!fileName) return {};
  auto dir = PrepareRuntimeFolder();
  if (!dir) return {};
  const int fd = OpenObjectFile(*dir + "/" + *fileName, true);
  if (fd < 0) return {};

  auto fail = [fd](std::uint32_t code) {
    ::close(fd);  // also drops the creation lock
    SetLastError(code);
    return SharedMemory();
  };

  if (int err = RangeLock(fd, F_WRLCK, kShmCreateByte, true); err != 0)
    return fail(ErrorFromErrno(err));
  const bool existed = RangeHeldByOthers(fd, kShmPresenceByte);
  if (!existed) {
    // Nobody holds the block: start from zeros, whatever a crashed process left.
    if (::ftruncate(fd, 0) != 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0)
      return fail(ErrorFromErrno(errno));
  } else {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return fail(ErrorFromErrno(errno));
    if (static_cast<std::uint64_t>(st.st_size) < size) return fail(ERROR_INVALID_PARAMETER);
  }
  if (int err = RangeLock(fd, F_RDLCK, kShmPresenceByte, false); err != 0)
    return fail(ErrorFromErrno(err));
  RangeLock(fd, F_UNLCK, kShmCreateByte, false);

  void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) return fail(ErrorFromErrno(errno));

  SharedMemory result;
  result.fData = data;
  result.fSize = size;
  result.fFd = fd;
  result.fExisted = existed;
  return result;
}

// --- events -------------------------------------------------------------------

Event::Event(bool manualReset, bool initialState) : fManual(manualReset), fSignaled(initialState) {}

Event::~Event() = default;

void Event::Set() {
  std::lock_guard lock(fMutex);
  fSignaled = true;
  for (Waiter* w : fWaiters) {
    std::lock_guard wl(w->mutex);
    w->woken = true;
    w->cv.notify_one();
  }
}

void Event::Reset() {
  std::lock_guard lock(fMutex);
  fSignaled = false;
}

bool Event::TakeLocked() {
  if (!fSignaled) return false;
  if (!fManual) fSignaled = false;
  return true;
}

bool Event::TryWait() {
  std::lock_guard lock(fMutex);
  return TakeLocked();
}

WaitResult Event::Wait(std::uint32_t timeoutMs) {
  Event* self = this;
  return WaitAny(std::span<Event* const>(&self, 1), timeoutMs) == 0 ? WaitResult::Signaled
                                                                    : WaitResult::Timeout;
}

int Event::WaitAny(std::span<Event* const> events, std::uint32_t timeoutMs) {
  if (events.empty() || std::find(events.begin(), events.end(), nullptr) != events.end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  auto scan = [&]() -> int {
    for (std::size_t i = 0; i < events.size(); ++i)
      if (events[i]->TryWait()) return static_cast<int>(i);
    return -1;
  };
  if (int hit = scan(); hit >= 0 || timeoutMs == 0) return hit;

  // Register before looking again, so that a Set between the look and the
  // sleep still wakes us.
  Waiter waiter;
  for (Event* e : events) {
    std::lock_guard lock(e->fMutex);
    e->fWaiters.push_back(&waiter);
  }
  const auto deadline = DeadlineAfter(timeoutMs);
  int hit = -1;
  for (;;) {
    hit = scan();
    if (hit >= 0) break;
    std::unique_lock lock(waiter.mutex);
    if (!deadline) {
      waiter.cv.wait(lock, [&] { return waiter.woken; });
    } else if (!waiter.cv.wait_until(lock, *deadline, [&] { return waiter.woken; })) {
      lock.unlock();
      hit = scan();  // a last look, so a Set at the deadline is not lost
      break;
    }
    waiter.woken = false;
  }
  for (Event* e : events) {
    std::lock_guard lock(e->fMutex);
    std::erase(e->fWaiters, &waiter);
  }
  if (hit < 0) SetLastError(ERROR_TIMEOUT);
  return hit;
}

// --- threads ------------------------------------------------------------------

void SetCurrentThreadName(std::string_view name) {
  constexpr std::size_t kMax = 15;  // the kernel's limit without the terminator
  std::size_t n = std::min(name.size(), kMax);
  // Never cut a UTF-8 character in two.
  if (n < name.size())
    while (n > 0 && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80) --n;
  const std::string cut(name.substr(0, n));
  pthread_setname_np(pthread_self(), cut.c_str());
}

std::string CurrentThreadName() {
  char buffer[64] = {};
  if (pthread_getname_np(pthread_self(), buffer, sizeof buffer) != 0) return {};
  return buffer;
}

}  // namespace tarvo::platform
