// Thread rules that the code checks. A class whose header says "main thread
// only" (or "UI thread only") holds a ThreadChecker and calls
// CalledOnValidThread at the top of every such method: under the sanitizer
// presets (TARVO_THREAD_CHECKS, set by the build for asan and tsan) a call
// from another thread throws std::logic_error naming the method and both
// threads; in release builds the checker is an empty object and the call
// compiles to nothing, so it costs nothing where it cannot fire.
//
//   class TEntityManager {
//     platform::ThreadChecker fMainThread;   // bound to the creating thread
//     void Request() { fMainThread.CalledOnValidThread("TEntityManager::Request"); ... }
//   };
//
// The checker binds to the thread that constructs it. DetachFromThread lets
// the next checked call bind it instead (an object made on one thread and
// handed, before any use, to the thread that owns it from then on).
//
// Threads: CalledOnValidThread and DetachFromThread may be called from any
// thread; the binding itself is atomic.
#pragma once

#if defined(TARVO_THREAD_CHECKS)
#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#endif

namespace tarvo::platform {

#if defined(TARVO_THREAD_CHECKS)

class ThreadChecker {
 public:
  ThreadChecker() noexcept : fOwner(std::this_thread::get_id()) {}
  ThreadChecker(const ThreadChecker&) noexcept : ThreadChecker() {}
  ThreadChecker& operator=(const ThreadChecker&) noexcept { return *this; }

  // Whether the calling thread is the owner (binding a detached checker to
  // the calling thread).
  bool IsValidThread() const noexcept {
    const std::thread::id self = std::this_thread::get_id();
    std::thread::id expected{};
    if (fOwner.compare_exchange_strong(expected, self)) return true;
    return expected == self;
  }

  // std::logic_error "<what> called on the wrong thread ..." unless the
  // calling thread is the owner.
  void CalledOnValidThread(const char* what) const {
    if (!IsValidThread()) Fail(what);
  }

  void DetachFromThread() noexcept { fOwner.store(std::thread::id{}); }

 private:
  [[noreturn]] void Fail(const char* what) const;

  mutable std::atomic<std::thread::id> fOwner;
};

#else

class ThreadChecker {
 public:
  constexpr bool IsValidThread() const noexcept { return true; }
  constexpr void CalledOnValidThread(const char*) const noexcept {}
  constexpr void DetachFromThread() noexcept {}
};

#endif

// Whether this build checks thread rules (the sanitizer presets).
inline constexpr bool kThreadChecks =
#if defined(TARVO_THREAD_CHECKS)
    true;
#else
    false;
#endif

}  // namespace tarvo::platform
