// The registry of running copies of an application.
//
// The terminal may run several copies at once, up to kMaxInstances, and a copy
// may ask an earlier one to come to the front. Every copy that marks itself
// with TInstances::SetInstanceID(ID) is listed, in the order of marking, in a
// shared block that all processes of the user see, guarded by a named mutex:
//
//   kernel object        name         what
//   named mutex          ID + "_Mtx"  serialises every access to the block
//   shared memory        ID + "Map"   TInstanceInfos (1028 bytes)
//   shared memory        ID + "Map.Start"
//                                     start times of the listed processes, so
//                                     that a reused process id is not taken
//                                     for a dead copy (TInstanceStarts)
//   local endpoint       ID + "_Msg." + process id
//                                     where each copy listens for the wake-up
//                                     message ID + "_Msg" (platform/system/LocalSocket.h)
//
// The block is untrusted: any process of the user can write it, and a copy
// killed while it held the mutex may have left it half-written. Every reader
// clamps Count to 0 .. kMaxInstances, and every registration drops entries of
// processes that no longer run (or whose id now names a later process) and
// repeated entries, so the list shows exactly the live copies.
//
// A copy that would be number kMaxInstances + 1 gives back the mutex and the
// block, writes "Cannot launch more than 256 instances" to standard error and
// ends with exit code 0, inside SetInstanceID.
//
// Waking another copy: SwitchToFirst sends the message to the first listed
// copy other than the caller. That copy's listener thread posts it to the
// UI-thread queue (MessageQueue::UI(), platform/system/MessageQueue.h); there AppHook
// recognises it and calls the activation handler the application installed
// (SetActivateHandler): restoring the main window and bringing it to the front
// is the window layer's business.
//
// Threads: the class-level functions and the object's methods belong to the
// application's UI thread (the one that pumps MessageQueue::UI()); each
// registered process also runs one listener thread of its own, which only
// posts to that queue. The registry mutex is recursive, so a method may be
// called while the same thread already holds it. The removal at library unload
// (normally during exit) runs on a short-lived thread of its own, because the
// exiting thread's thread-local state is already gone by then.
//
// Errors: EInstancesError for misuse ("Application instance is already marked
// unique", "ID cannot be empty"), EInstancesOSError with the Windows error code
// when a system object cannot be created, opened, mapped, waited for or
// released, EInstancesListError ("List index out of bounds (%d)") for an index
// outside the list.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/system/KernelObjects.h"
#include "platform/system/LocalSocket.h"
#include "platform/system/MessageQueue.h"

namespace tarvo {

inline constexpr int kMaxInstances = 256;

// One listed copy.
struct TInstanceInfo {
  std::uint32_t ProcessID;
};

// The shared block ID + "Map", laid out as every copy expects it.
struct TInstanceInfos {
  std::int32_t Count;                  // listed copies; only entries 0 .. Count - 1 mean anything
  TInstanceInfo Infos[kMaxInstances];  // in order of marking, packed
};
static_assert(sizeof(TInstanceInfos) == 1028, "the shared block is 1028 bytes");

// The companion block ID + "Map.Start": a small table of process ids and their
// start times (platform/system/ProcessInfo.h), one slot per listed copy, in no order.
// A slot with ProcessID 0 is free.
struct TInstanceStart {
  std::uint32_t ProcessID;
  std::uint32_t Reserved;
  std::uint64_t StartTime;
};
struct TInstanceStarts {
  TInstanceStart Slots[kMaxInstances];
};

class EInstancesError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A system object failed; Code() is the Windows error code (platform/core/Errors.h)
// and the text reads "System Error.  Code: <code>.\n<system text>".
class EInstancesOSError : public EInstancesError {
 public:
  explicit EInstancesOSError(std::uint32_t code);
  std::uint32_t Code() const noexcept { return fCode; }

 private:
  std::uint32_t fCode;
};

class EInstancesListError : public EInstancesError {
 public:
  using EInstancesError::EInstancesError;
};

class TInstances {
 public:
  // --- class level: the one registry of this process ------------------------------

  // Marks this process as a copy of application ID and lists it. Marking again
  // with the same ID does nothing; with another ID it fails with
  // "Application instance is already marked unique"; an empty ID fails with
  // "ID cannot be empty". May end the process (see the limit above).
  static void SetInstanceID(const std::string& id);
  // Number of listed copies; 0 while this process is not marked.
  static int ProcessCount();
  // Process id of entry index; EInstancesListError outside the list (and
  // while this process is not marked).
  static std::uint32_t GetProcessID(int index);
  // Wakes the first listed copy other than this one. True when the message
  // reached it; false when there is none, this process is not marked, or it
  // could not be delivered (that copy died meanwhile).
  static bool SwitchToFirst();
  // What the application does when another copy wakes it: restore the main
  // window if minimised and bring it to the front. Runs on the UI thread.
  // May be set before or after SetInstanceID; empty removes it.
  static void SetActivateHandler(std::function<void()> handler);
  // The registry object of this process; nullptr while not marked.
  static TInstances* Current();
  // Removes this process from the list and frees the registry, as library
  // unload does; afterwards SetInstanceID may mark it again.
  static void ReleaseInstance();
  // The number of the wake-up message ID + "_Msg" in this process (0 while not
  // marked). Message numbers are registered by name, per process, from 0xC000
  // upward, the same name always giving the same number.
  static std::uint32_t Message();

  // --- object -------------------------------------------------------------

  // Lists this process under ID (see the class comment); throws
  // EInstancesOSError when a system object fails, and leaves nothing behind.
  explicit TInstances(const std::string& id);
  // Removes this process from the list (later entries move down) and closes
  // everything. Never throws.
  ~TInstances();
  TInstances(const TInstances&) = delete;
  TInstances& operator=(const TInstances&) = delete;

  const std::string& UniqueID() const noexcept { return fUniqueID; }
  int Count() { return GetCount(); }
  int Index() { return GetIndex(); }

  // Each reads the block under the mutex; EInstancesOSError when the mutex fails.
  int GetCount();
  int GetIndex();                     // position of this process, -1 when not listed
  std::uint32_t GetFirst();           // first listed process other than this one, 0 when none
  std::uint32_t GetItems(int index);  // EInstancesListError outside 0 .. Count - 1

  // The UI-thread hook: for the wake-up message, calls the activation handler
  // and answers true (handled); for every other message answers false.
  bool AppHook(std::uint32_t message);

 private:
  class Lock;
  void Register();
  void Unregister() noexcept;
  static int ClampedCount(const TInstanceInfos& infos) noexcept;

  std::string fUniqueID;
  std::uint32_t fMessage = 0;
  std::uint32_t fProcessID = 0;
  std::uint64_t fStartTime = 0;
  platform::NamedMutex fMutex;
  platform::SharedMemory fMapping;
  platform::SharedMemory fStarts;
  TInstanceInfos* fMapView = nullptr;
  TInstanceStarts* fStartsView = nullptr;
  platform::WindowHandle fWindow = 0;  // the hook's target on the UI-thread queue
  std::unique_ptr<platform::LocalListener> fListener;
};

}  // namespace tarvo
