// The start and stop every in-process cpp-httplib server of the test support
// needs (HttpTestServer, QdsSimulator): the listen loop on a thread of its
// own, and a stop that returns in bounded time whatever state the loop and
// its connections are in.
//
//   httplib::Server server;  ... routes ...
//   HttpServerThread thread;
//   const std::uint16_t port = thread.Start(server, "127.0.0.1", 0, "MyServer");
//   ...
//   thread.Stop();  // or the destructor
//
// Start binds (port 0: an ephemeral port), starts the loop and returns once
// the loop runs. Connections made before that wait in the listen queue, so a
// client may connect as soon as Start returns. A port that a server already
// listens on is an error (the library's default would share it). Start takes
// the server's socket options, pre-routing handler and logger for itself: the
// owner sets none of them.
//
// Stop, in this order:
//  - ends every connection that is not answering a request: kept-alive idle
//    ones and ones whose client sent nothing yet or only part of a request.
//    Without this each would hold a thread of the server for the keep-alive
//    or read time-out (seconds).
//  - lets the answers under way go out whole, at most Options::stopGrace;
//    each connection ends when its answer is out. The loop still runs
//    meanwhile: the library gives up a body from a content provider once its
//    loop is stopped. An owner whose handlers wait on purpose (stalls, slow
//    bodies) wakes them before calling Stop.
//  - stops accepting. The library ignores a stop that comes before its loop
//    has really started (and would then listen for ever), and asserts on a
//    second stop of a stopping server; Stop waits for the loop to run and
//    stops it exactly once.
//  - cuts every connection left (a request that arrived meanwhile, a client
//    that stopped reading, a handler that writes for ever) and joins the loop,
//    which joins the server's answering threads: no thread of the server
//    outlives Stop.
// Connections are found through /proc/self/fd (Linux): the accepted sockets
// of this process whose local port is the server's.
//
// Thread-safe; Stop is idempotent. Stop must not run on one of the server's
// own threads (it joins them). The server must outlive the object or its Stop.
// Errors: Start throws std::runtime_error naming the owner when the address
// cannot be bound (the port is taken, the address is no address) or the loop
// ends at once, and std::logic_error when the object was started before.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace tarvo::testing {

class HttpServerThread {
 public:
  struct Options {
    // How long Stop lets answers under way go on before it cuts them; the
    // library's own write time-out (five seconds) ends a stuck write no later.
    std::chrono::milliseconds stopGrace{std::chrono::seconds(5)};
  };

  HttpServerThread() = default;
  explicit HttpServerThread(Options options) : fOptions(options) {}
  ~HttpServerThread();
  HttpServerThread(const HttpServerThread&) = delete;
  HttpServerThread& operator=(const HttpServerThread&) = delete;

  // Binds server to address:port and runs its loop; answers the port bound.
  // Once per object. owner names the server in error texts.
  std::uint16_t Start(httplib::Server& server, const std::string& address, std::uint16_t port,
                      std::string_view owner);
  std::uint16_t Port() const noexcept { return fPort; }

  void Stop();

  // The accepted sockets of this process whose local port is localPort and
  // whose peer's port is remotePort (any peer for -1). A client socket of the
  // same process never matches: its local port is the client's. The
  // descriptors stay the caller's to use only while it knows the connection
  // is open (a handler running on it keeps it open).
  static std::vector<int> ConnectionSockets(int localPort, int remotePort = -1);

 private:
  void Run();
  bool WaitDone(std::chrono::milliseconds timeout);

  Options fOptions;
  httplib::Server* fServer = nullptr;
  std::uint16_t fPort = 0;
  std::thread fThread;
  std::mutex fStopMutex;  // Start and Stop, fStopped
  bool fStopped = false;
  std::mutex fBusyMutex;  // fBusy
  // Requests being answered by the peer's port (the local one is fPort).
  std::map<int, int> fBusy;
  std::mutex fDoneMutex;  // fDone
  std::condition_variable fDoneCv;
  bool fDone = false;  // the loop has returned
};

}  // namespace tarvo::testing
