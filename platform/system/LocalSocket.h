// Local sockets: short messages between the processes of one user.
//
// Windows programs wake each other with a window message posted to a window
// of another process. On Linux other processes cannot see our windows, so a
// process that wants to be reachable listens on a named local endpoint, and
// the other side connects and delivers one message.
//
// Endpoints are named like kernel objects (any non-empty text; see
// KernelObjects.h) and live as socket files in the runtime folder (Paths.h,
// RuntimeFolder(): private to the user, created 0700 when missing and refused
// with ERROR_ACCESS_DENIED when it is a link, another user owns it or others
// can write it). Only processes of the same user can reach an endpoint; the
// listener also refuses a peer whose credentials name another user.
//
// One connection carries one message of 1 .. kMaxLocalMessage bytes, which the
// listener acknowledges once it has received it whole, before handing it on.
//
// Errors are results: failures return false / nullptr and set LastError
// (Errors.h) to the Windows code of the cause.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/system/KernelObjects.h"

namespace tarvo::platform {

inline constexpr std::size_t kMaxLocalMessage = 4096;

// The socket file of an endpoint name, or empty with LastError
// (ERROR_INVALID_NAME for an empty name, ERROR_FILENAME_EXCED_RANGE when the
// runtime folder is too deep for a socket address). Does not create anything.
std::optional<std::string> LocalEndpointPath(const std::string& name);

// A listening endpoint with a thread of its own.
//
// The handler runs on the listener's thread, one message at a time, in the
// order the connections arrived; it should hand the message on (post it to a
// queue) rather than work long, since the next sender waits meanwhile. An
// exception that leaves the handler is dropped: a bad message must not stop
// the listener. A peer that connects and then sends nothing is dropped after
// kPeerTimeoutMs, so it delays other senders no longer than that.
//
// Thread-safety: Start, Stop and the destructor belong to the owner's thread.
class LocalListener {
 public:
  using Handler = std::function<void(std::string_view message)>;
  static constexpr std::uint32_t kPeerTimeoutMs = 1000;

  // Binds the endpoint and starts listening. An endpoint file of the same
  // name that nobody listens on any more (its process died) is replaced; one
  // that a live listener still serves is not: ERROR_ALREADY_EXISTS.
  // nullptr with LastError on failure.
  static std::unique_ptr<LocalListener> Start(const std::string& name, Handler handler);

  // Stops listening (see Stop).
  ~LocalListener();
  LocalListener(const LocalListener&) = delete;
  LocalListener& operator=(const LocalListener&) = delete;

  // Stops accepting, removes the endpoint file and ends the thread. The thread
  // is woken at once; this waits only for a handler call or a peer already
  // being read (at most kPeerTimeoutMs). Idempotent.
  void Stop();

  const std::string& Name() const noexcept { return fName; }

 private:
  LocalListener() = default;
  void Run();

  std::string fName;
  std::string fPath;
  Handler fHandler;
  int fListenFd = -1;
  int fWakeFd = -1;  // an eventfd that tells the thread to end
  std::uint64_t fInode = 0;
  std::thread fThread;
};

// Connects to the endpoint and delivers one message, waiting up to timeoutMs
// for the listener to acknowledge it. True when it was received whole (not
// that its handler has run). False with LastError:
//   ERROR_INVALID_PARAMETER  an empty message or one above kMaxLocalMessage
//   ERROR_FILE_NOT_FOUND     no such endpoint, or nobody listens on it
//   ERROR_TIMEOUT            the listener did not take or acknowledge it in time
//   other codes              mapped from the system's error
bool LocalSendMessage(const std::string& name, std::string_view message,
                      std::uint32_t timeoutMs = 1000);

}  // namespace tarvo::platform
