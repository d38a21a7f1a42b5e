#include "platform/system/LocalSocket.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/core/Errors.h"
#include "platform/core/Paths.h"

namespace tarvo::platform {

namespace {

using Clock = std::chrono::steady_clock;

// Endpoint names may hold any text and be long, while a socket address holds
// about a hundred bytes in all: the file is named by a 64-bit FNV-1a hash of
// the name. The listener checks what it receives, so a collision could at
// worst deliver a message that its handler then ignores.
std::string HashedFileName(const std::string& name) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : name) {
    h ^= c;
    h *= 0x100000001b3ull;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "sock.%016llx", static_cast<unsigned long long>(h));
  return buf;
}

// The same checks the kernel objects make on the runtime folder: whoever can
// plant a file there could pose as the listener.
bool PrepareRuntimeFolder() {
  const std::string dir = RuntimeFolder();
  if (dir.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  for (std::size_t pos = dir.find('/', 1); pos != std::string::npos; pos = dir.find('/', pos + 1)) {
    const std::string parent = dir.substr(0, pos);
    if (::mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) {
      SetLastErrorFromErrno(errno);
      return false;
    }
  }
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}

sockaddr_un Address(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());  // length checked by LocalEndpointPath
  return addr;
}

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

// Waits for events on fd until the deadline; true when they came.
bool PollUntil(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, MillisecondsLeft(deadline));
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

std::optional<std::string> LocalEndpointPath(const std::string& name) {
  if (name.empty()) {
    SetLastError(ERROR_INVALID_NAME);
    return std::nullopt;
  }
  const std::string dir = RuntimeFolder();
  if (dir.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return std::nullopt;
  }
  std::string path = dir + "/" + HashedFileName(name);
  if (path.size() >= sizeof(sockaddr_un::sun_path)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return std::nullopt;
  }
  return path;
}

// --- listener -----------------------------------------------------------------

std::unique_ptr<LocalListener> LocalListener::Start(const std::string& name, Handler handler) {
  const auto path = LocalEndpointPath(name);
  if (!path) return nullptr;
  if (!PrepareRuntimeFolder()) return nullptr;

  std::unique_ptr<LocalListener> self(new LocalListener());
  self->fName = name;
  self->fPath = *path;
  self->fHandler = std::move(handler);
  self->fListenFd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (self->fListenFd < 0) {
    SetLastErrorFromErrno(errno);
    return nullptr;
  }
  const sockaddr_un addr = Address(*path);
  if (::bind(self->fListenFd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EADDRINUSE) {
      SetLastErrorFromErrno(errno);
      return nullptr;
    }
    // A file is in the way. When a listener answers on it, the name is taken;
    // otherwise its owner died without cleaning up, and the file goes.
    const int probe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe < 0) {
      SetLastErrorFromErrno(errno);
      return nullptr;
    }
    const bool live =
        ::connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 ||
        errno == EAGAIN || errno == EINPROGRESS;
    ::close(probe);
    if (live) {
      SetLastError(ERROR_ALREADY_EXISTS);
      return nullptr;
    }
    if (::unlink(path->c_str()) != 0 && errno != ENOENT) {
      SetLastErrorFromErrno(errno);
      return nullptr;
    }
    if (::bind(self->fListenFd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
      SetLastErrorFromErrno(errno);
      return nullptr;
    }
  }
  struct stat st {};
  if (::stat(path->c_str(), &st) != 0 || ::listen(self->fListenFd, 64) != 0) {
    SetLastErrorFromErrno(errno);
    ::unlink(path->c_str());
    return nullptr;
  }
  self->fInode = st.st_ino;
  self->fWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (self->fWakeFd < 0) {
    SetLastErrorFromErrno(errno);
    ::unlink(path->c_str());
    return nullptr;
  }
  LocalListener* raw = self.get();
  self->fThread = std::thread([raw] { raw->Run(); });
  return self;
}

LocalListener::~LocalListener() {
  Stop();
}

void LocalListener::Stop() {
  if (fThread.joinable()) {
    const std::uint64_t one = 1;
    // An eventfd write of 1 cannot fail short of overflowing its counter.
    [[maybe_unused]] const ssize_t n = ::write(fWakeFd, &one, sizeof one);
    fThread.join();
  }
  if (fListenFd >= 0) {
    // Remove the file only while it is still ours: a later listener of the
    // same name may have replaced it after we stopped answering.
    struct stat st {};
    if (::stat(fPath.c_str(), &st) == 0 && st.st_ino == fInode) ::unlink(fPath.c_str());
  }
  CloseFd(fListenFd);
  CloseFd(fWakeFd);
}

void LocalListener::Run() {
  std::vector<char> buf(kMaxLocalMessage + 1);
  for (;;) {
    pollfd fds[2] = {{fListenFd, POLLIN, 0}, {fWakeFd, POLLIN, 0}};
    const int r = ::poll(fds, 2, -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      return;  // only a programming error gets here (bad descriptors)
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;

    int peer = ::accept4(fListenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (peer < 0) continue;  // the peer gave up meanwhile, or descriptors ran out

    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(peer, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != ::geteuid()) {
      ::close(peer);
      continue;
    }
    // Wait for the message, but not past a Stop.
    pollfd wait[2] = {{peer, POLLIN, 0}, {fWakeFd, POLLIN, 0}};
    int got = 0;
    do {
      got = ::poll(wait, 2, static_cast<int>(kPeerTimeoutMs));
    } while (got < 0 && errno == EINTR);
    if (got > 0 && wait[1].revents != 0) {
      ::close(peer);
      return;
    }
    if (got <= 0) {
      ::close(peer);
      continue;
    }
    // MSG_TRUNC makes recv report the full length of a longer message, which
    // is refused rather than handed on cut short.
    const ssize_t n = ::recv(peer, buf.data(), buf.size(), MSG_TRUNC | MSG_DONTWAIT);
    if (n <= 0 || static_cast<std::size_t>(n) > kMaxLocalMessage) {
      ::close(peer);
      continue;
    }
    const char ack = 1;
    const bool acked = ::send(peer, &ack, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1;
    ::close(peer);
    if (!acked) continue;  // the sender gave up: it reports failure, so do not act
    try {
      if (fHandler) fHandler(std::string_view(buf.data(), static_cast<std::size_t>(n)));
    } catch (...) {
      // A handler's failure concerns that one message only.
    }
  }
}

// --- sender -------------------------------------------------------------------

bool LocalSendMessage(const std::string& name, std::string_view message, std::uint32_t timeoutMs) {
  if (message.empty() || message.size() > kMaxLocalMessage) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const auto path = LocalEndpointPath(name);
  if (!path) return false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);

  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  struct Closer {
    int& fd;
    ~Closer() { CloseFd(fd); }
  } closer{fd};

  const sockaddr_un addr = Address(*path);
  // A local connect never waits: with the listener's backlog full it answers
  // EAGAIN, and we try again until the deadline.
  for (;;) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) break;
    const int err = errno;
    if (err == EINTR) continue;
    if (err == ENOENT || err == ECONNREFUSED || err == ENOTSOCK) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return false;
    }
    if (err != EAGAIN) {
      SetLastErrorFromErrno(err);
      return false;
    }
    if (Clock::now() >= deadline) {
      SetLastError(ERROR_TIMEOUT);
      return false;
    }
    ::usleep(1000);
  }
  for (;;) {
    const ssize_t sent = ::send(fd, message.data(), message.size(), MSG_NOSIGNAL);
    if (sent == static_cast<ssize_t>(message.size())) break;
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno == EAGAIN && PollUntil(fd, POLLOUT, deadline)) continue;
    if (sent < 0 && errno != EAGAIN) {
      SetLastErrorFromErrno(errno);
    } else {
      SetLastError(ERROR_TIMEOUT);
    }
    return false;
  }
  if (!PollUntil(fd, POLLIN, deadline)) {
    SetLastError(ERROR_TIMEOUT);
    return false;
  }
  char ack = 0;
  const ssize_t n = ::recv(fd, &ack, 1, MSG_DONTWAIT);
  if (n == 1 && ack == 1) return true;
  // Closed without an answer: the listener refused the message.
  SetLastError(n < 0 ? ErrorFromErrno(errno) : ERROR_BROKEN_PIPE);
  return false;
}

}  // namespace tarvo::platform
