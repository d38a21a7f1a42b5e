#include "testing/FaultServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <stdexcept>

namespace tarvo::testing {

FaultServer::FaultServer(Script script) : fScript(std::move(script)) {
  std::signal(SIGPIPE, SIG_IGN);
  if (::pipe(fWake) != 0) throw std::runtime_error("FaultServer: pipe failed");
  fListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fListen < 0) throw std::runtime_error("FaultServer: socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (::bind(fListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fListen, 16) != 0 ||
      ::getsockname(fListen, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    throw std::runtime_error("FaultServer: cannot listen on 127.0.0.1");
  fPort = ntohs(addr.sin_port);
  fAcceptThread = std::thread([this] { AcceptLoop(); });
}

FaultServer::~FaultServer() {
  Stop();
}

void FaultServer::Stop() {
  {
    std::lock_guard lock(fMutex);
    if (fStopped) return;
    fStopped = true;
    fStopping = true;
  }
  fCv.notify_all();
  const char byte = 0;
  [[maybe_unused]] const ssize_t w = ::write(fWake[1], &byte, 1);
  if (fAcceptThread.joinable()) fAcceptThread.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(fMutex);
    threads.swap(fThreads);
  }
  for (std::thread& t : threads) t.join();
  ::close(fListen);
  ::close(fWake[0]);
  ::close(fWake[1]);
}

std::string FaultServer::Url(std::string_view path) const {
  std::string url = "http://127.0.0.1:" + std::to_string(fPort);
  if (path.empty() || path.front() != '/') url += '/';
  url += path;
  return url;
}

std::vector<std::string> FaultServer::Requests() const {
  std::lock_guard lock(fMutex);
  return fRequests;
}

bool FaultServer::Wait(std::chrono::milliseconds d) {
  std::unique_lock lock(fMutex);
  return !fCv.wait_for(lock, d, [&] { return fStopping.load(); });
}

void FaultServer::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{fListen, POLLIN, 0}, {fWake[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    if (!(fds[0].revents & POLLIN)) continue;
    const int fd = ::accept4(fListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++fConnections;
    std::lock_guard lock(fMutex);
    if (fStopping) {
      ::close(fd);
      return;
    }
    fThreads.emplace_back([this, fd] { Serve(fd); });
  }
}

void FaultServer::Serve(int fd) {
  // Read the request head, waking up for the stop signal too.
  std::string head;
  char buf[4096];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 1 << 20) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {fWake[0], POLLIN, 0}};
    if (::poll(fds, 2, 5000) <= 0 || fds[1].revents) {
      ::close(fd);
      return;
    }
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      ::close(fd);
      return;
    }
    head.append(buf, static_cast<std::size_t>(n));
  }
  {
    std::lock_guard lock(fMutex);
    fRequests.push_back(head.substr(0, head.find("\r\n\r\n") + 4));
  }
  if (fScript.stallBefore.count() > 0 && !Wait(fScript.stallBefore)) {
    ::close(fd);
    return;
  }
  const std::size_t total = std::min(fScript.response.size(), fScript.resetAfter);
  std::size_t sent = 0;
  bool paused = false;
  while (sent < total) {
    std::size_t end = total;
    if (!paused && fScript.pauseAt < total) end = fScript.pauseAt;
    if (sent == end) {
      paused = true;
      if (!Wait(fScript.pause)) break;
      continue;
    }
    const ssize_t n = ::send(fd, fScript.response.data() + sent, end - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  if (fScript.resetAfter < fScript.response.size()) {
    // An abortive close: the peer sees a reset, not an orderly end.
    linger lin{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
  } else if (fScript.keepOpen) {
    for (;;) {
      pollfd fds[2] = {{fd, POLLIN, 0}, {fWake[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno == EINTR) continue;
      if (fds[1].revents) break;
      if (::recv(fd, buf, sizeof buf, 0) <= 0) break;
    }
  }
  ::close(fd);
}

FaultServer::Script FaultServer::GarbageStatusLine() {
  Script s;
  s.response = "GARBAGE\x01\x02 not an answer\r\n\r\nmore garbage";
  return s;
}

FaultServer::Script FaultServer::ResetAfter(std::size_t bytes) {
  Script s;
  const std::string head =
      "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nContent-Type: text/plain\r\n\r\n";
  s.response = head + std::string(1000, 'r');
  s.resetAfter = bytes;
  if (bytes > head.size()) {  // the headers arrive whole before the reset
    s.pauseAt = head.size();
    s.pause = std::chrono::milliseconds(100);
  }
  return s;
}

FaultServer::Script FaultServer::StallBeforeHeaders(std::chrono::milliseconds stall) {
  Script s;
  s.response = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  s.stallBefore = stall;
  return s;
}

FaultServer::Script FaultServer::ShortBody() {
  Script s;
  s.response = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n0123456789";
  return s;
}

FaultServer::Script FaultServer::HugeHeaderBlock(std::size_t size) {
  Script s;
  s.response =
      "HTTP/1.1 200 OK\r\nX-Big: " + std::string(size, 'h') + "\r\nContent-Length: 2\r\n\r\nok";
  return s;
}

std::string FaultServer::ManyHeaderLines(std::size_t bytes) {
  std::string lines;
  for (std::size_t i = 0; lines.size() < bytes; ++i)
    lines += "X-H" + std::to_string(i) + ": " + std::string(8000, 'v') + "\r\n";
  return lines;
}

FaultServer::Script FaultServer::Status(int status, std::string_view reason) {
  Script s;
  s.response = "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) +
               "\r\nContent-Length: 0\r\n\r\n";
  return s;
}

FaultServer::Script FaultServer::Answer(std::string_view headerLines, std::string_view location) {
  Script s;
  const std::string lines(headerLines);
  s.response = location.empty() ? "HTTP/1.1 200 OK\r\n" + lines + "Content-Length: 2\r\n\r\nok"
                                : "HTTP/1.1 302 Found\r\nLocation: " + std::string(location) +
                                      "\r\n" + lines + "Content-Length: 0\r\n\r\n";
  return s;
}

}  // namespace tarvo::testing
