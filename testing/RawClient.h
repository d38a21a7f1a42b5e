// A bare TCP client on 127.0.0.1 for tests of the in-process servers, where
// an HTTP library would hide what a test has to see or do: half a request, a
// connection that says nothing, whether the server ended the connection in
// order (FIN) or with a reset, and exactly the bytes that came.
//
//   RawClient client(server.Port());
//   ASSERT_TRUE(client.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
//   const RawClient::Received got = client.ReadToEnd();
//   EXPECT_EQ(got.end, RawClient::End::Closed);
//
// Header-only test support. Every read waits at most the read limit given at
// construction (ten seconds by default), so a test that waits for a server
// ends within bounded time even when the server never answers. The socket is
// closed by the destructor, also when an assertion leaves the test early.
// One thread at a time per object.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvo::testing {

class RawClient {
 public:
  // How a read to the end finished.
  enum class End {
    Closed,  // the server closed the connection in order
    Reset,   // the server reset the connection (ECONNRESET)
    Failed,  // the read limit passed, or another error
  };
  struct Received {
    std::string bytes;
    End end = End::Failed;
  };

  // Connects at once; Connected() tells whether that worked.
  explicit RawClient(std::uint16_t port,
                     std::chrono::milliseconds readLimit = std::chrono::seconds(10)) {
    fFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fFd < 0) return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fFd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fFd);
      fFd = -1;
      return;
    }
    const auto ms = readLimit.count() > 0 ? readLimit.count() : 1;
    const timeval limit{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
    ::setsockopt(fFd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }
  ~RawClient() {
    if (fFd >= 0) ::close(fFd);
  }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool Connected() const noexcept { return fFd >= 0; }

  // Sends all of bytes; false when not connected or the send failed (never
  // SIGPIPE).
  [[nodiscard]] bool Send(std::string_view bytes) {
    if (fFd < 0) return false;
    while (!bytes.empty()) {
      const ssize_t n = ::send(fFd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  // Whether the server has ended the connection in order (its end waits to be
  // read), without taking any byte and without waiting. False while bytes of
  // an answer are still unread in front of the end.
  bool EndedByServer() const noexcept {
    if (fFd < 0) return false;
    char c;
    return ::recv(fFd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
  }

  // Reads until the server ends the connection or the read limit passes;
  // answers what came and how it ended.
  Received ReadToEnd() {
    Received got;
    if (fFd < 0) return got;
    char buf[65536];
    for (;;) {
      const ssize_t n = ::recv(fFd, buf, sizeof buf, 0);
      if (n > 0) {
        got.bytes.append(buf, static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      got.end = n == 0 ? End::Closed : errno == ECONNRESET ? End::Reset : End::Failed;
      return got;
    }
  }

  // Reads one answer whose body is bodySize bytes (its headers end at the
  // first empty line), leaving the connection open; answers what came, which
  // is short when the server ended the connection or the read limit passed.
  std::string ReadAnswer(std::size_t bodySize) {
    std::string bytes;
    if (fFd < 0) return bytes;
    char buf[65536];
    for (;;) {
      const std::size_t head = bytes.find("\r\n\r\n");
      if (head != std::string::npos && bytes.size() >= head + 4 + bodySize) return bytes;
      const ssize_t n = ::recv(fFd, buf, sizeof buf, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return bytes;
      bytes.append(buf, static_cast<std::size_t>(n));
    }
  }

  // The body of an answer read whole: what follows the first empty line
  // (empty when the headers never ended).
  static std::string_view BodyOf(std::string_view answer) noexcept {
    const std::size_t head = answer.find("\r\n\r\n");
    return head == std::string_view::npos ? std::string_view() : answer.substr(head + 4);
  }

 private:
  int fFd = -1;
};

}  // namespace tarvo::testing
