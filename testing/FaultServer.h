// A raw TCP server on 127.0.0.1 for the faults an HTTP library will not
// produce: a garbage status line, a reset in the middle of an answer, a stall
// before the headers, a body shorter than its Content-Length, an oversized
// header block, or a proxy that refuses a tunnel.
//
//   tarvo::testing::FaultServer server(FaultServer::ShortBody());
//   ... request server.Url("/x") ... expect a failure ...
//
// Every connection is handled on its own thread: the server reads the
// request head (up to the empty line), then waits stallBefore, writes the
// scripted bytes (pausing once at pauseAt, if asked), or only the first
// resetAfter of them and then resets the
// connection) and closes it, unless keepOpen holds it open until the client
// goes away or the server stops. Stopping (destructor) wakes every stall and
// joins every thread, so a test ends in bounded time.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tarvo::testing {

class FaultServer {
 public:
  struct Script {
    std::string response;  // the bytes sent back
    std::size_t resetAfter = std::numeric_limits<std::size_t>::max();
    std::chrono::milliseconds stallBefore{0};
    // Writes the first pauseAt bytes, waits pause, then writes the rest:
    // lets a client take the headers before the trouble starts.
    std::size_t pauseAt = std::numeric_limits<std::size_t>::max();
    std::chrono::milliseconds pause{0};
    bool keepOpen = false;
  };

  explicit FaultServer(Script script);
  ~FaultServer();
  FaultServer(const FaultServer&) = delete;
  FaultServer& operator=(const FaultServer&) = delete;

  std::uint16_t Port() const noexcept { return fPort; }
  std::string Url(std::string_view path = "/") const;

  // The request heads received so far (up to and including the empty line).
  std::vector<std::string> Requests() const;
  std::size_t Connections() const noexcept { return fConnections.load(); }

  void Stop();

  // Canned faults.
  static Script GarbageStatusLine();
  // A valid answer with a 1000-byte body, reset after `bytes` bytes (the
  // headers are 67 bytes; when they are sent whole, a pause follows them).
  static Script ResetAfter(std::size_t bytes);
  // No answer at all until stall has passed (then a valid one).
  static Script StallBeforeHeaders(std::chrono::milliseconds stall);
  // "Content-Length: 1000" and 10 bytes of body, then the connection closes.
  static Script ShortBody();
  // A header block of about `size` bytes in one header line, then "ok".
  static Script HugeHeaderBlock(std::size_t size);
  // Header lines "X-H<i>: " and 8000 "v" each, "\r\n"-terminated, as many as
  // make at least `bytes` bytes: to put into a header block of a script's
  // own (no status line, no empty line). Each line stays far below any
  // client's limit for one line, so only a limit on the whole block bites.
  static std::string ManyHeaderLines(std::size_t bytes);
  // "HTTP/1.1 <status> ..." with an empty body: as a proxy, a refused tunnel.
  static Script Status(int status, std::string_view reason);
  // A valid answer whose head carries headerLines ("Name: value\r\n" each,
  // as ManyHeaderLines gives them) besides its own: "200 OK" with the body
  // "ok", or, given a location, "302 Found" there with an empty body.
  static Script Answer(std::string_view headerLines, std::string_view location = {});

 private:
  void AcceptLoop();
  void Serve(int fd);
  bool Wait(std::chrono::milliseconds d);

  Script fScript;
  int fListen = -1;
  int fWake[2] = {-1, -1};
  std::uint16_t fPort = 0;
  std::thread fAcceptThread;
  mutable std::mutex fMutex;
  std::condition_variable fCv;
  std::vector<std::thread> fThreads;
  std::vector<std::string> fRequests;
  std::atomic<bool> fStopping{false};
  std::atomic<std::size_t> fConnections{0};
  bool fStopped = false;
};

}  // namespace tarvo::testing
