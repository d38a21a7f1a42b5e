// Starting programs: the shell-execute of the toolkit.
//
// A program is started directly (posix_spawn, no shell) with a parameter
// string that is split into arguments by the Windows command-line rules, in a
// working folder, optionally elevated ("runas"). The caller gets a Process to
// wait for with a time-out and to read the exit code from.
//
// Errors are the codes a Windows caller would see, in LastError (Errors.h):
//   ERROR_FILE_NOT_FOUND (2)    no such program
//   ERROR_PATH_NOT_FOUND (3)    a folder on the program's path is missing
//   ERROR_ACCESS_DENIED (5)     not executable (no x bit, a folder, no rights)
//   ERROR_BAD_EXE_FORMAT (193)  executable bit set, but not a program
//   ERROR_DIRECTORY (267)       the working folder is not a folder
//   ERROR_CANCELLED (1223)      elevation refused
//   ERROR_NOT_SUPPORTED (50)    elevation asked for, but no way to elevate
//
// Elevation ("runas"), in this order of precedence:
//   1. the process's elevation hook (SetElevationHook), for tests;
//   2. the environment variable TARVO_ELEVATION_CONSENT = "grant" or "refuse",
//      which a test sets for a child process it starts (a launcher inside that
//      child then behaves as if the user answered the prompt);
//   3. the helper named by TARVO_PKEXEC (set it empty to act as if none is
//      installed); otherwise, when the process already runs as root, the
//      program simply starts; otherwise pkexec found on PATH.
// "grant" starts the program directly, as if elevated; "refuse" fails with
// ERROR_CANCELLED and starts nothing. Through pkexec, the user's refusal
// shows as the started process ending with pkexec's exit code 126.
//
// The launcher is an interface so that tests can replace it (SetLauncher):
// RecordingLauncher below records what would be started.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system/KernelObjects.h"

namespace tarvo::platform {

// Splits a parameter string as Windows programs do (CommandLineToArgvW and the
// C runtime): blanks and tabs separate arguments; double quotes group and are
// removed; inside quotes, two double quotes give one; 2n backslashes before a
// quote give n backslashes and the quote acts; 2n+1 give n and a literal
// quote; other backslashes are literal. "" alone is one empty argument.
std::vector<std::string> SplitCommandLine(std::string_view parameters);

// Quotes one argument so that SplitCommandLine gives it back unchanged (only
// when it needs quoting: empty, blanks, tabs or quotes).
std::string QuoteArgument(std::string_view argument);

// The arguments this process was started with, without the program itself
// (argv[1..]), read from the kernel so that a library can see the host's
// switches without being handed argv; empty when they cannot be read.
std::vector<std::string> ProcessArguments();

struct LaunchRequest {
  // A path ("/opt/x/prog", "bin/prog" relative to the current folder), or a
  // bare name looked up on PATH.
  std::string program;
  std::string parameters;     // Windows parameter string, see SplitCommandLine
  std::string workingFolder;  // empty: the caller's current folder
  bool elevated = false;      // verb "runas"
};

// A started program. Destroying the object does not stop the program; a
// program that ends later is still reaped (no zombies are left behind).
class Process {
 public:
  virtual ~Process() = default;
  virtual std::uint32_t Id() const = 0;
  // Waits for the program to end: Signaled when it has, Timeout otherwise.
  virtual WaitResult Wait(std::uint32_t timeoutMs = kInfinite) = 0;
  // The exit code once the program has ended; empty while it runs. A program
  // ended by a signal reports 128 + the signal number, except after Terminate,
  // which reports the code given to it, as on Windows.
  virtual std::optional<std::uint32_t> ExitCode() = 0;
  // Kills the program (SIGKILL). False when it had already ended.
  virtual bool Terminate(std::uint32_t exitCode = 1) = 0;
};

class ProcessLauncher {
 public:
  virtual ~ProcessLauncher() = default;
  // Starts the program; nullptr with LastError set when it cannot be started.
  virtual std::unique_ptr<Process> Launch(const LaunchRequest& request) = 0;
};

// The launcher in use: the real one unless a test replaced it. Thread-safe.
ProcessLauncher& Launcher();
// Replaces the launcher (nullptr restores the real one).
void SetLauncher(std::shared_ptr<ProcessLauncher> launcher);
// Launcher().Launch(request).
std::unique_ptr<Process> LaunchProcess(const LaunchRequest& request);

// What a test answers to an elevation prompt.
enum class ElevationConsent { Grant, Refuse };
using ElevationHook = std::function<ElevationConsent(const LaunchRequest& request)>;
// Installs (or with an empty hook removes) the hook that answers elevation
// prompts of this process. Thread-safe.
void SetElevationHook(ElevationHook hook);

// A launcher for tests that starts nothing: it records every request and
// answers with the outcomes queued by Push, in order (when none is queued, a
// program that ended with exit code 0). Waiting without a time-out for a
// program that never ends fails at once (ERROR_INVALID_PARAMETER) instead of
// hanging the test.
class RecordingLauncher : public ProcessLauncher {
 public:
  struct Outcome {
    std::uint32_t launchError = 0;  // non-zero: the launch fails with this code
    std::uint32_t exitCode = 0;
    bool endsAtOnce = true;  // false: the program never ends (waits time out)
  };

  void Push(Outcome outcome);
  std::vector<LaunchRequest> Requests() const;
  std::unique_ptr<Process> Launch(const LaunchRequest& request) override;

 private:
  mutable std::mutex fMutex;
  std::vector<Outcome> fOutcomes;
  std::vector<LaunchRequest> fRequests;
};

}  // namespace tarvo::platform
