// Window messages between threads: the UI thread's message queue.
//
// Windows code talks to its user-interface thread with messages to a window:
// PostMessage from any thread queues a message and returns; SendMessage runs
// the window's handler on the UI thread and waits for its answer. This queue
// gives the same contract without windows: a *target* is a handler registered
// under a WindowHandle; its messages are handled on the queue's UI thread, in
// the order they were posted, when that thread pumps.
//
// Ownership and lifetime:
// - A queue belongs to one UI thread: the thread that created it, or the one
//   that called BindToCurrentThread. Pumps and waits that pump run on it only
//   (std::logic_error otherwise). Post, Send, Register, Unregister, Wake and
//   Shutdown may be called from any thread.
// - A message's parameters may carry objects (a pointer in lParam). Whoever
//   removes messages without handling them gets them back to release them:
//   Unregister returns the pending messages of its target, Shutdown returns all.
//   The queue never frees anything it carries.
// - The destructor shuts the queue down (dropping what is pending: call
//   Shutdown first to release it) and never waits for other threads.
//
// Deadlock freedom: a worker may Send to the UI thread while the UI thread
// waits for that worker, provided the UI thread waits with WaitPumpingSent /
// WaitForEvents / WaitForMutex (or pumps). Those helpers run sent messages
// while they wait, as every wait on the UI thread must; on any other thread
// they are plain waits.
//
// Handler exceptions: a handler that throws while handling a message from a
// pump lets the exception leave that pump; one that throws while handling a
// Send from another thread has the exception rethrown in the sender.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "platform/core/Handles.h"
#include "platform/system/KernelObjects.h"

namespace tarvo::platform {

// A message target ("window") is a WindowHandle (platform/core/Handles.h);
// 0 is no window. Handles are never reused within a process.

// Windows' first private message number; the toolkit's own messages count
// from here.
inline constexpr std::uint32_t WM_USER = 0x0400;

using MessageHandler = std::function<std::intptr_t(std::uint32_t message, std::uintptr_t wParam,
                                                   std::intptr_t lParam)>;

// A message that was posted and not handled.
struct Message {
  WindowHandle target = 0;
  std::uint32_t message = 0;
  std::uintptr_t wParam = 0;
  std::intptr_t lParam = 0;
};

class MessageQueue {
 public:
  // The calling thread becomes the queue's UI thread.
  MessageQueue();
  ~MessageQueue();
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  // The process-wide queue of the UI thread, shared by every library of the
  // process. Created on first use and bound to the thread of that first use:
  // the host calls it (or BindToCurrentThread) on its main thread at start-up.
  static MessageQueue& UI();

  void BindToCurrentThread();
  bool IsUIThread() const;

  // --- targets ----------------------------------------------------------------
  WindowHandle Register(MessageHandler handler);
  // Removes the target. Its pending posted messages are dropped and returned
  // in posting order; senders waiting on it are released with failure
  // (LastError ERROR_INVALID_HANDLE). Unknown handles return nothing.
  std::vector<Message> Unregister(WindowHandle target);
  bool IsRegistered(WindowHandle target) const;

  // --- delivery ---------------------------------------------------------------
  // Queues a message and returns at once. False (LastError ERROR_INVALID_HANDLE
  // for an unknown target, ERROR_CANCELLED after Shutdown) when it was not
  // queued: the caller still owns what the message carries.
  bool Post(WindowHandle target, std::uint32_t message, std::uintptr_t wParam,
            std::intptr_t lParam);

  // Runs the target's handler on the UI thread and returns its answer. On the
  // UI thread the handler runs at once. From any other thread the call blocks
  // until the UI thread has handled the message, up to timeoutMs.
  // Empty on failure, with LastError:
  //   ERROR_INVALID_HANDLE  unknown target, or unregistered before handling
  //   ERROR_TIMEOUT         not handled in time; the message is withdrawn and
  //                         will not be handled later
  //   ERROR_CANCELLED       the queue was shut down before handling it
  // A message whose handler has started is always waited for to the end, even
  // past the time-out: the handler may be using data the sender owns.
  std::optional<std::intptr_t> Send(WindowHandle target, std::uint32_t message,
                                    std::uintptr_t wParam, std::intptr_t lParam,
                                    std::uint32_t timeoutMs = kInfinite);

  // Wakes a UI thread that waits in a pump, so it looks at its condition again.
  // Call it after changing what a PumpUntil/WaitPumpingSent condition reads.
  void Wake();

  // Refuses new messages, releases waiting senders (ERROR_CANCELLED) and
  // returns every posted message that was still pending, for releasing.
  std::vector<Message> Shutdown();
  bool IsShutDown() const;

  // --- pumps (UI thread only) ------------------------------------------------------
  // Handles the sent messages and the posted messages that are pending now
  // (not those that handlers post meanwhile, so a handler that posts to itself
  // cannot keep this call running). Returns how many were handled.
  std::size_t ProcessMessages();
  // Handles pending sent messages only.
  std::size_t ProcessSentMessages();
  // Handles messages (sent and posted) until done() answers true or timeoutMs
  // passes. done() is checked first, after every message, after Wake() and at
  // least every few milliseconds. True when done.
  bool PumpUntil(const std::function<bool()>& done, std::uint32_t timeoutMs = kInfinite);

  // --- waits that keep sent messages flowing (any thread) -------------------------
  // Waits until done() answers true or the time-out passes; on the UI thread
  // handles sent messages meanwhile (posted ones stay queued).
  bool WaitPumpingSent(const std::function<bool()>& done, std::uint32_t timeoutMs = kInfinite);
  // Event::WaitAny that handles sent messages meanwhile on the UI thread.
  int WaitForEvents(std::span<Event* const> events, std::uint32_t timeoutMs = kInfinite);
  // NamedMutex::Wait that handles sent messages meanwhile on the UI thread.
  WaitResult WaitForMutex(NamedMutex& mutex, std::uint32_t timeoutMs = kInfinite);

  struct State;  // shared with waiting senders, which may outlive the queue

 private:
  void RequireUIThread(const char* what) const;
  bool HandleOneSent();
  bool HandleOnePosted();

  std::shared_ptr<State> fState;
};

}  // namespace tarvo::platform
