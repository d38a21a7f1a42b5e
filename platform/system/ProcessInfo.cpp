#include "platform/system/ProcessInfo.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>

namespace tarvo::platform {

std::uint32_t CurrentProcessId() noexcept {
  return static_cast<std::uint32_t>(::getpid());
}

std::optional<std::uint64_t> ProcessStartTime(std::uint32_t pid) {
  // Identifiers above the kernel's range would make the path name a thread
  // group that does not exist anyway; 0 is never a process.
  if (pid == 0 || pid > 0x7FFFFFFFu) return std::nullopt;
  // Read with one system call into a buffer: registrations check every
  // listed process while they hold a lock that other processes wait for.
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%u/stat", static_cast<unsigned>(pid));
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char buf[1024];
  ssize_t n;
  do {
    n = ::read(fd, buf, sizeof buf);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  if (n <= 0) return std::nullopt;
  const std::string_view stat(buf, static_cast<std::size_t>(n));
  // "pid (comm) state ppid ... starttime ...": the command name may hold
  // blanks and parentheses, so fields are counted from the last ')'.
  const std::size_t close = stat.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view rest(stat);
  rest.remove_prefix(close + 1);
  // Fields after the name, numbered as in proc(5): 3 state ... 22 starttime.
  int field = 2;
  std::string_view state;
  while (!rest.empty()) {
    const std::size_t start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    rest.remove_prefix(start);
    const std::size_t end = rest.find(' ');
    const std::string_view token = rest.substr(0, end);
    ++field;
    if (field == 3) {
      state = token;
      // A zombie (Z) or a dying process (X) has ended.
      if (state == "Z" || state == "X" || state == "x") return std::nullopt;
    } else if (field == 22) {
      std::uint64_t ticks = 0;
      const auto [ptr, ec] = std::from_chars(token.data(), token.data() + token.size(), ticks);
      if (ec != std::errc() || ptr != token.data() + token.size()) return std::nullopt;
      return ticks;
    }
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end);
  }
  return std::nullopt;
}

}  // namespace tarvo::platform
