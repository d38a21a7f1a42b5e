#include "testing/Unprivileged.h"

#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

namespace tarvo::testing {

namespace {

// Exit codes of the child that are not fn's: fn's own lie in 0-250.
constexpr int kOutOfRange = 251;
constexpr int kThrew = 252;
constexpr int kCouldNotDrop = 254;

}  // namespace

UnprivilegedRun RunAsUnprivileged(const std::function<int()>& fn,
                                  std::chrono::milliseconds timeout) {
  UnprivilegedRun run;
  const bool root = ::geteuid() == 0;
  const pid_t child = ::fork();
  if (child < 0) {
    // A machine that cannot fork is broken, not one without an unprivileged
    // user: the caller must fail, not skip.
    run.why = std::string("fork failed: ") + std::strerror(errno);
    return run;
  }
  if (child == 0) {
    // Groups first: once the uid is gone, the right to change them is too.
    if (root && (::setgroups(0, nullptr) != 0 || ::setgid(kUnprivilegedId) != 0 ||
                 ::setuid(kUnprivilegedId) != 0 || ::geteuid() == 0 || ::getegid() == 0))
      ::_exit(kCouldNotDrop);
    int result = kThrew;
    try {
      result = fn();
      if (result < 0 || result > 250) result = kOutOfRange;
    } catch (...) {
    }
    // No exit handlers, no flushing of the parent's buffers a second time.
    ::_exit(result);
  }
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const pid_t done = ::waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (done < 0 && errno != EINTR) {
      run.why = "cannot wait for the child";
      return run;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      run.why = "the child did not end in time";
      return run;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!WIFEXITED(status)) {
    run.why = "the child died (signal " + std::to_string(WTERMSIG(status)) + ")";
    return run;
  }
  switch (const int code = WEXITSTATUS(status)) {
    case kCouldNotDrop:
      run.unavailable = true;
      run.why = "cannot give up root for uid 65534 here";
      return run;
    case kThrew:
      run.why = "the child's piece threw an exception";
      return run;
    case kOutOfRange:
      run.why = "the child's piece returned a result outside 0-250";
      return run;
    default:
      run.ran = true;
      run.exitCode = code;
      return run;
  }
}

}  // namespace tarvo::testing
