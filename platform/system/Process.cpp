#include "platform/system/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include "platform/core/Errors.h"
#include "platform/core/Text.h"

extern char** environ;

namespace tarvo::platform {

// --- command lines ----------------------------------------------------------------------

std::vector<std::string> SplitCommandLine(std::string_view s) {
  std::vector<std::string> args;
  std::string cur;
  bool inQuotes = false;
  bool haveArg = false;
  std::size_t i = 0;
  while (i < s.size()) {
    const char c = s[i];
    if ((c == ' ' || c == '\t') && !inQuotes) {
      if (haveArg) args.push_back(std::move(cur));
      cur.clear();
      haveArg = false;
      ++i;
      continue;
    }
    haveArg = true;
    if (c == '\\') {
      std::size_t n = 0;
      while (i < s.size() && s[i] == '\\') ++n, ++i;
      if (i < s.size() && s[i] == '"') {
        cur.append(n / 2, '\\');
        if (n % 2 == 1) {
          cur += '"';
          ++i;
        }
        // With an even count the quote is handled as a quote next round.
      } else {
        cur.append(n, '\\');
      }
      continue;
    }
    if (c == '"') {
      if (inQuotes && i + 1 < s.size() && s[i + 1] == '"') {
        cur += '"';
        i += 2;
      } else {
        inQuotes = !inQuotes;
        ++i;
      }
      continue;
    }
    cur += c;
    ++i;
  }
  if (haveArg) args.push_back(std::move(cur));
  return args;
}

std::string QuoteArgument(std::string_view arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string_view::npos) return std::string(arg);
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      out.append(backslashes * 2 + 1, '\\');
      out += '"';
    } else {
      out.append(backslashes, '\\');
      out += c;
    }
    backslashes = 0;
  }
  // Backslashes before the closing quote must not escape it.
  out.append(backslashes * 2, '\\');
  out += '"';
  return out;
}

std::vector<std::string> ProcessArguments() {
  // The kernel keeps the arguments as NUL-terminated strings, one after
  // another, the program first.
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  if (!in) return {};
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> args;
  size_t start = 0;
  for (size_t i = 0; i < all.size(); ++i) {
    if (all[i] == '\0') {
      args.push_back(all.substr(start, i - start));
      start = i + 1;
    }
  }
  if (start < all.size()) args.push_back(all.substr(start));
  if (!args.empty()) args.erase(args.begin());
  return args;
}

namespace {

// --- reaping --------------------------------------------------------------------------

// Children whose Process object went away before they ended. They are reaped
// whenever the launcher is used or a process object is released, so that a
// long-running host does not collect zombies.
std::mutex gOrphansLock;
std::vector<pid_t> gOrphans;

void ReapOrphans() {
  std::lock_guard lock(gOrphansLock);
  std::erase_if(gOrphans, [](pid_t pid) {
    const pid_t r = ::waitpid(pid, nullptr, WNOHANG);
    return r == pid || (r < 0 && errno == ECHILD);
  });
}

int OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

class SpawnedProcess final : public Process {
 public:
  explicit SpawnedProcess(pid_t pid) : fPid(pid), fPidFd(OpenPidFd(pid)) {
    if (fPidFd >= 0) ::fcntl(fPidFd, F_SETFD, FD_CLOEXEC);
  }

  ~SpawnedProcess() override {
    {
      std::lock_guard lock(fMutex);
      if (!fExit && !Reap(false)) {
        std::lock_guard orphans(gOrphansLock);
        gOrphans.push_back(fPid);
      }
    }
    if (fPidFd >= 0) ::close(fPidFd);
    ReapOrphans();
  }

  std::uint32_t Id() const override { return static_cast<std::uint32_t>(fPid); }

  WaitResult Wait(std::uint32_t timeoutMs) override {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    for (;;) {
      {
        std::lock_guard lock(fMutex);
        if (fExit || Reap(false)) return WaitResult::Signaled;
      }
      std::int64_t left = -1;
      if (timeoutMs != kInfinite) {
        const auto spent =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        left = static_cast<std::int64_t>(timeoutMs) - spent;
        if (left <= 0) return WaitResult::Timeout;
      }
      if (fPidFd >= 0) {
        // Readable once the process has ended.
        pollfd p{fPidFd, POLLIN, 0};
        const int r =
            ::poll(&p, 1, left < 0 ? -1 : static_cast<int>(std::min<std::int64_t>(left, 1 << 30)));
        if (r < 0 && errno != EINTR) {
          SetLastErrorFromErrno(errno);
          return WaitResult::Failed;
        }
      } else {
        // No pidfd (old kernel): look every few milliseconds.
        std::this_thread::sleep_for(
            std::chrono::milliseconds(left < 0 ? 5 : std::min<std::int64_t>(left, 5)));
      }
    }
  }

  std::optional<std::uint32_t> ExitCode() override {
    std::lock_guard lock(fMutex);
    if (!fExit) Reap(false);
    return fExit;
  }

  bool Terminate(std::uint32_t exitCode) override {
    std::lock_guard lock(fMutex);
    if (fExit || Reap(false)) return false;
    // The child is not reaped yet, so its pid cannot have been reused.
    if (::kill(fPid, SIGKILL) != 0) {
      SetLastErrorFromErrno(errno);
      return false;
    }
    fTerminatedWith = exitCode;
    return true;
  }

 private:
  // Collects the exit status when the child has ended. Caller holds fMutex.
  bool Reap(bool block) {
    int status = 0;
    pid_t r;
    do {
      r = ::waitpid(fPid, &status, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r != fPid) return false;
    if (WIFEXITED(status)) {
      fExit = static_cast<std::uint32_t>(WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
      fExit = (fTerminatedWith && WTERMSIG(status) == SIGKILL)
                  ? *fTerminatedWith
                  : 128u + static_cast<std::uint32_t>(WTERMSIG(status));
    } else {
      return false;
    }
    return true;
  }

  const pid_t fPid;
  const int fPidFd;
  std::mutex fMutex;
  std::optional<std::uint32_t> fExit;
  std::optional<std::uint32_t> fTerminatedWith;
};

// --- finding and starting programs ------------------------------------------------------

std::optional<std::string> GetEnv(const char* name) {
  if (const char* v = std::getenv(name)) return std::string(v);
  return std::nullopt;
}

// Checks that path names a program this process may start; sets LastError.
bool CheckProgram(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    std::uint32_t code = ErrorFromErrno(errno);
    // As CreateProcess tells them apart: a missing folder on the way is
    // "path not found", only a missing file itself is "file not found".
    if (errno == ENOTDIR) code = ERROR_PATH_NOT_FOUND;
    if (errno == ENOENT) {
      const std::size_t slash = path.rfind('/');
      const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
      struct stat parent {};
      if (slash != std::string::npos &&
          (::stat(folder.c_str(), &parent) != 0 || !S_ISDIR(parent.st_mode)))
        code = ERROR_PATH_NOT_FOUND;
    }
    SetLastError(code);
    return false;
  }
  if (S_ISDIR(st.st_mode) || ::access(path.c_str(), X_OK) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}

// A relative path made absolute against the current folder: the child
// changes into its working folder before the program is looked up.
std::string Absolute(const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  char buf[4096];
  if (!::getcwd(buf, sizeof buf)) return path;
  std::string out(buf);
  out += '/';
  out.append(path);
  return out;
}

// The file a request names, absolute: a path as given, a bare name through PATH.
std::optional<std::string> ResolveProgram(const std::string& program) {
  if (program.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return std::nullopt;
  }
  if (program.find('/') != std::string::npos) {
    if (!CheckProgram(program)) return std::nullopt;
    return Absolute(program);
  }
  const std::string path = GetEnv("PATH").value_or("/usr/local/bin:/usr/bin:/bin");
  std::uint32_t error = ERROR_FILE_NOT_FOUND;
  for (const std::string& dir : SplitString(path, ':')) {
    // An empty entry means the current folder, as for the shell.
    std::string candidate = dir.empty() ? std::string(".") : dir;
    candidate += '/';
    candidate += program;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
      if (CheckProgram(candidate)) return Absolute(candidate);
      error = ERROR_ACCESS_DENIED;  // found, but not startable; keep looking
    }
  }
  SetLastError(error);
  return std::nullopt;
}

std::unique_ptr<Process> Spawn(const std::string& file, const std::vector<std::string>& argv,
                               const std::string& workingFolder) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  if (!workingFolder.empty()) posix_spawn_file_actions_addchdir_np(&actions, workingFolder.c_str());
  // The child starts with no blocked signals and default handlers, whatever
  // this process set up for itself.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  const int err = ::posix_spawn(&pid, file.c_str(), &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (err != 0) {
    SetLastError(err == ENOEXEC ? ERROR_BAD_EXE_FORMAT : ErrorFromErrno(err));
    return nullptr;
  }
  return std::make_unique<SpawnedProcess>(pid);
}

std::mutex gHookLock;
ElevationHook gElevationHook;

class RealLauncher final : public ProcessLauncher {
 public:
  std::unique_ptr<Process> Launch(const LaunchRequest& request) override {
    ReapOrphans();
    auto file = ResolveProgram(request.program);
    if (!file) return nullptr;
    if (!request.workingFolder.empty()) {
      struct stat st {};
      if (::stat(request.workingFolder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_DIRECTORY);
        return nullptr;
      }
    }
    std::vector<std::string> argv{request.program};
    for (auto& a : SplitCommandLine(request.parameters)) argv.push_back(std::move(a));
    if (!request.elevated) return Spawn(*file, argv, request.workingFolder);
    return LaunchElevated(request, *file, argv);
  }

 private:
  std::unique_ptr<Process> LaunchElevated(const LaunchRequest& request, const std::string& file,
                                          std::vector<std::string> argv) {
    std::optional<ElevationConsent> consent;
    ElevationHook hook;
    {
      std::lock_guard lock(gHookLock);
      hook = gElevationHook;
    }
    if (hook) consent = hook(request);
    if (!consent) {
      const auto env = GetEnv("TARVO_ELEVATION_CONSENT");
      if (env == "grant") consent = ElevationConsent::Grant;
      if (env == "refuse") consent = ElevationConsent::Refuse;
    }
    if (consent == ElevationConsent::Refuse) {
      SetLastError(ERROR_CANCELLED);
      return nullptr;
    }
    if (consent == ElevationConsent::Grant) return Spawn(file, argv, request.workingFolder);

    std::string helper;
    if (auto named = GetEnv("TARVO_PKEXEC")) {
      helper = *named;
    } else if (::geteuid() == 0) {
      return Spawn(file, argv, request.workingFolder);
    } else if (auto found = ResolveProgram("pkexec")) {
      helper = *found;
    }
    if (helper.empty() || !CheckProgram(helper)) {
      SetLastError(ERROR_NOT_SUPPORTED);
      return nullptr;
    }
    // pkexec runs an absolute program path in a clean environment and its own
    // folder; env --chdir puts the program back into the folder asked for.
    std::vector<std::string> full{helper};
    if (!request.workingFolder.empty()) {
      if (auto env = ResolveProgram("env")) {
        char* real = ::realpath(request.workingFolder.c_str(), nullptr);
        const std::string folder = real ? real : request.workingFolder;
        std::free(real);
        full.push_back(*env);
        full.push_back("--chdir=" + folder);
      }
    }
    full.push_back(file);
    full.insert(full.end(), argv.begin() + 1, argv.end());
    return Spawn(helper, full, "");
  }
};

std::mutex gLauncherLock;
std::shared_ptr<ProcessLauncher> gLauncher;

// --- the recording double ------------------------------------------------------------

class RecordedProcess final : public Process {
 public:
  explicit RecordedProcess(RecordingLauncher::Outcome o) : fOutcome(o) {}
  std::uint32_t Id() const override { return 0; }
  WaitResult Wait(std::uint32_t timeoutMs) override {
    std::lock_guard lock(fMutex);
    if (Ended()) return WaitResult::Signaled;
    if (timeoutMs == kInfinite) {
      SetLastError(ERROR_INVALID_PARAMETER);  // would hang for ever
      return WaitResult::Failed;
    }
    return WaitResult::Timeout;
  }
  std::optional<std::uint32_t> ExitCode() override {
    std::lock_guard lock(fMutex);
    if (fTerminated) return fTerminated;
    if (fOutcome.endsAtOnce) return fOutcome.exitCode;
    return std::nullopt;
  }
  bool Terminate(std::uint32_t exitCode) override {
    std::lock_guard lock(fMutex);
    if (Ended()) return false;
    fTerminated = exitCode;
    return true;
  }

 private:
  bool Ended() const { return fOutcome.endsAtOnce || fTerminated; }
  std::mutex fMutex;
  RecordingLauncher::Outcome fOutcome;
  std::optional<std::uint32_t> fTerminated;
};

}  // namespace

ProcessLauncher& Launcher() {
  static RealLauncher real;
  std::lock_guard lock(gLauncherLock);
  return gLauncher ? *gLauncher : static_cast<ProcessLauncher&>(real);
}

void SetLauncher(std::shared_ptr<ProcessLauncher> launcher) {
  std::lock_guard lock(gLauncherLock);
  gLauncher = std::move(launcher);
}

std::unique_ptr<Process> LaunchProcess(const LaunchRequest& request) {
  std::shared_ptr<ProcessLauncher> keep;
  {
    std::lock_guard lock(gLauncherLock);
    keep = gLauncher;  // stays alive even if a test swaps it meanwhile
  }
  return keep ? keep->Launch(request) : Launcher().Launch(request);
}

void SetElevationHook(ElevationHook hook) {
  std::lock_guard lock(gHookLock);
  gElevationHook = std::move(hook);
}

void RecordingLauncher::Push(Outcome outcome) {
  std::lock_guard lock(fMutex);
  fOutcomes.push_back(outcome);
}

std::vector<LaunchRequest> RecordingLauncher::Requests() const {
  std::lock_guard lock(fMutex);
  return fRequests;
}

std::unique_ptr<Process> RecordingLauncher::Launch(const LaunchRequest& request) {
  Outcome outcome;
  {
    std::lock_guard lock(fMutex);
    fRequests.push_back(request);
    if (!fOutcomes.empty()) {
      outcome = fOutcomes.front();
      fOutcomes.erase(fOutcomes.begin());
    }
  }
  if (outcome.launchError != 0) {
    SetLastError(outcome.launchError);
    return nullptr;
  }
  return std::make_unique<RecordedProcess>(outcome);
}

}  // namespace tarvo::platform
