#include "testing/HttpServerThread.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <utility>

namespace tarvo::testing {

namespace {

struct Connection {
  int fd;
  int peerPort;
};

std::vector<Connection> FindConnections(int localPort, int remotePort) {
  std::vector<Connection> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    const std::string name = entry.path().filename().string();
    char* end = nullptr;
    const long fd = std::strtol(name.c_str(), &end, 10);
    if (end == name.c_str() || *end != '\0') continue;
    sockaddr_in local{}, peer{};
    socklen_t len = sizeof local;
    if (::getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &len) != 0 ||
        local.sin_family != AF_INET || ntohs(local.sin_port) != localPort)
      continue;
    len = sizeof peer;
    // The listening socket has no peer and is left alone here.
    if (::getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &len) != 0 ||
        (remotePort >= 0 && ntohs(peer.sin_port) != remotePort))
      continue;
    found.push_back({static_cast<int>(fd), ntohs(peer.sin_port)});
  }
  return found;
}

}  // namespace

std::vector<int> HttpServerThread::ConnectionSockets(int localPort, int remotePort) {
  std::vector<int> fds;
  for (const Connection& c : FindConnections(localPort, remotePort)) fds.push_back(c.fd);
  return fds;
}

HttpServerThread::~HttpServerThread() {
  Stop();
}

std::uint16_t HttpServerThread::Start(httplib::Server& server, const std::string& address,
                                      std::uint16_t port, std::string_view owner) {
  std::lock_guard stopLock(fStopMutex);
  if (fServer || fStopped)
    throw std::logic_error(std::string(owner) + ": the server thread was started before");
  // The library's default (SO_REUSEPORT on Linux) would let a second server
  // bind a port that one already listens on and share its connections
  // silently; a taken port must be an error. SO_REUSEADDR still allows a port
  // whose last server left connections in TIME_WAIT.
  server.set_socket_options([](int sock) {
    const int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  const int bound = port == 0 ? server.bind_to_any_port(address)
                              : (server.bind_to_port(address, port) ? port : -1);
  if (bound <= 0)
    throw std::runtime_error(std::string(owner) + ": cannot bind to " + address + ":" +
                             std::to_string(port));
  fServer = &server;
  fPort = static_cast<std::uint16_t>(bound);
  // Which connections are answering a request: from routing to the end of the
  // answer's last write (the library logs an answer after writing it).
  server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
    std::lock_guard lock(fBusyMutex);
    ++fBusy[req.remote_port];
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server.set_logger([this](const httplib::Request& req, const httplib::Response&) {
    std::lock_guard lock(fBusyMutex);
    if (const auto it = fBusy.find(req.remote_port); it != fBusy.end() && --it->second <= 0)
      fBusy.erase(it);
  });
  fThread = std::thread([this] { Run(); });
  // The loop marks itself running first thing; a loop that has ended by now
  // will never serve.
  while (!server.is_running()) {
    if (WaitDone(std::chrono::milliseconds(1))) {
      fThread.join();
      fStopped = true;
      throw std::runtime_error(std::string(owner) + ": the server on " + address + ":" +
                               std::to_string(fPort) + " ended at once");
    }
  }
  return fPort;
}

void HttpServerThread::Run() {
  fServer->listen_after_bind();
  {
    std::lock_guard lock(fDoneMutex);
    fDone = true;
  }
  fDoneCv.notify_all();
}

bool HttpServerThread::WaitDone(std::chrono::milliseconds timeout) {
  std::unique_lock lock(fDoneMutex);
  return fDoneCv.wait_for(lock, timeout, [this] { return fDone; });
}

void HttpServerThread::Stop() {
  std::lock_guard stopLock(fStopMutex);
  if (!fServer || fStopped) return;
  fStopped = true;

  // Connections are looked for again and again: one the loop accepted a
  // moment ago shows up later, and one that was answering is idle once its
  // answer is out. Only accepted sockets whose local port is the server's
  // are found, so a descriptor that a finished connection freed is passed by
  // when something else of the process got it since (and cut when a new
  // connection of this server did, as it should be). A connection found
  // again before its worker has closed it is shut down again, which does no
  // harm. Answers whether an answer is still under way.
  auto endConnections = [&](bool evenAnswering) {
    bool answering = false;
    for (const Connection& c : FindConnections(fPort, -1)) {
      if (!evenAnswering) {
        std::lock_guard lock(fBusyMutex);
        if (fBusy.count(c.peerPort)) {
          answering = true;
          continue;
        }
      }
      // Its worker's read or write ends; the worker closes the connection.
      ::shutdown(c.fd, SHUT_RDWR);
    }
    return answering;
  };

  // Answers under way go out first, while idle connections end: the library
  // gives up a body from a content provider as soon as its loop is stopped.
  const auto cutAt = std::chrono::steady_clock::now() + fOptions.stopGrace;
  while (!WaitDone(std::chrono::milliseconds(0)) && endConnections(false) &&
         std::chrono::steady_clock::now() < cutAt)
    WaitDone(std::chrono::milliseconds(10));

  // Accept no more. stop() does nothing before the loop runs (Start waits for
  // that, but a loop may also end on its own), and must come once only.
  while (!WaitDone(std::chrono::milliseconds(0))) {
    if (fServer->is_running()) {
      fServer->stop();
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  // What is left (a request that came meanwhile, an answer past the grace) is cut.
  while (!WaitDone(std::chrono::milliseconds(0))) {
    endConnections(true);
    WaitDone(std::chrono::milliseconds(10));
  }
  fThread.join();
}

}  // namespace tarvo::testing
