// Scoped holds for the toolkit's own lockable objects, so that a lock taken
// is released on every path out of a scope, exceptions included:
//   ScopedLock<T>  for objects with Lock()/Unlock() (settings, entities, ...);
//   ScopeExit<F>   runs a release that is no such pair (a manager's
//                  LockProps/UnlockProps) when the scope ends.
// Prefer std::lock_guard / std::unique_lock for standard mutexes.
#pragma once

#include <utility>

namespace tarvo::platform {

template <class T>
class [[nodiscard]] ScopedLock {
 public:
  explicit ScopedLock(T& object) : fObject(object) { fObject.Lock(); }
  ~ScopedLock() { fObject.Unlock(); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  T& fObject;
};

template <class F>
class [[nodiscard]] ScopeExit {
 public:
  explicit ScopeExit(F release) : fRelease(std::move(release)) {}
  ~ScopeExit() { fRelease(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  F fRelease;
};

}  // namespace tarvo::platform
