// An HTTP and HTTPS server for tests, on 127.0.0.1 with an ephemeral port.
//
//   tarvo::testing::HttpTestServer server;            // plain HTTP
//   HttpReply reply;
//   reply.body = "hello";
//   reply.headers = {{"Set-Cookie", "a=1"}, {"Set-Cookie", "b=2"}};
//   server.On("/data", reply);
//   ... request server.Url("/data") ...
//   EXPECT_EQ(server.Requests().at(0).Header("Cookie"), "a=1; b=2");
//
// Each path (without its query) is scripted with a fixed reply or a handler;
// an unscripted path answers 404. The server sends exactly what the script
// says: it never compresses a body by itself, whatever the client accepts. The reply's body can be
// sent with a length or chunked, compressed with gzip or deflate (with the matching
// Content-Encoding), slowly (a pause before the headers and between blocks),
// behind a Basic authorisation challenge. Every request is recorded (method,
// target, headers, body) before it is answered.
//
// With Options::tls the server speaks HTTPS with a certificate from
// testing/certs (CertPath); requestClientCert makes it ask for a client
// certificate (and accept the answer "none"). keepAlive keeps connections
// open between requests (for up to a second of idleness); without it every
// answer closes its connection.
//
// The server stops in its destructor or Stop (testing/HttpServerThread.h).
// Stop does not wait for answers. A delay before the headers ends at once,
// and the scripted answer is not sent: the client gets "503 Service
// Unavailable" with "Connection: close", a short text body and none of the
// scripted headers, so a stop never reads as success. Every body ends at its next
// block, so an answer under way reaches the client cut short, slow or not.
// Idle connections (kept-alive ones, ones that sent nothing or part of a
// request) end at once too.
// Thread-safe: handlers run on the server's own threads; Stop must not be
// called from a handler.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace tarvo::testing {

struct RecordedRequest {
  std::string method;
  std::string target;  // as sent: path and query, still percent-encoded
  std::string path;    // decoded path, without the query
  std::string version;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // The index-th value of a header (name ignoring case); "" when absent.
  std::string Header(std::string_view name, std::size_t index = 0) const;
  std::size_t HeaderCount(std::string_view name) const;
};

struct HttpReply {
  enum class Encoding { Identity, Gzip, Deflate };

  int status = 200;
  // Sent in this order; a name may repeat (several Set-Cookie).
  std::vector<std::pair<std::string, std::string>> headers;
  std::string contentType = "application/octet-stream";
  // The body before encoding; shared so that a large body is held once.
  std::shared_ptr<const std::string> body = std::make_shared<std::string>();
  Encoding encoding = Encoding::Identity;
  bool chunked = false;           // chunked instead of Content-Length
  std::size_t blockSize = 16384;  // bytes per write of the body
  std::chrono::milliseconds delayBeforeHeaders{0};
  std::chrono::milliseconds delayPerBlock{0};
  // "user:password": a request without exactly these Basic credentials gets
  // 401 with a Basic challenge instead.
  std::string basicAuth;

  HttpReply() = default;
  explicit HttpReply(std::string text, int code = 200)
      : status(code), body(std::make_shared<std::string>(std::move(text))) {}
  void SetBody(std::string text) { body = std::make_shared<std::string>(std::move(text)); }
  // A redirect to location (a path or a full URL).
  static HttpReply Redirect(std::string location, int code = 302) {
    HttpReply r("", code);
    r.headers.emplace_back("Location", std::move(location));
    return r;
  }
};

class HttpTestServer {
 public:
  struct Options {
    bool tls = false;
    std::string certFile;  // default: CertPath("server.pem")
    std::string keyFile;   // default: CertPath("server.key")
    bool requestClientCert = false;
    bool keepAlive = false;
  };
  using Handler = std::function<HttpReply(const RecordedRequest&)>;

  HttpTestServer();
  explicit HttpTestServer(Options options);
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  std::uint16_t Port() const noexcept { return fPort; }
  // "http://127.0.0.1:<port>" + path (https with TLS).
  std::string Url(std::string_view path = "/") const;

  void On(const std::string& path, HttpReply reply);
  void On(const std::string& path, Handler handler);

  std::vector<RecordedRequest> Requests() const;
  std::size_t RequestCount() const;
  // Body bytes written to clients, and bodies that ended because the client
  // went away before the end.
  std::uint64_t BodyBytesSent() const noexcept { return fBytesSent.load(); }
  std::size_t AbortedBodies() const noexcept { return fAborted.load(); }

  // Stops serving (also done by the destructor). Idempotent, thread-safe.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> fImpl;
  std::uint16_t fPort = 0;
  std::atomic<std::uint64_t> fBytesSent{0};
  std::atomic<std::size_t> fAborted{0};
};

// A file of testing/certs in the source tree ("ca.pem", "server.pem" ...).
std::string CertPath(std::string_view name);

// Makes the HTTP layer trust the test authority (and check revocation against
// its list, with revocationList) until the object ends; then the previous
// trust is restored.
class TrustTestAuthority {
 public:
  explicit TrustTestAuthority(bool revocationList = false);
  ~TrustTestAuthority();
  TrustTestAuthority(const TrustTestAuthority&) = delete;
  TrustTestAuthority& operator=(const TrustTestAuthority&) = delete;

 private:
  std::string fCaFile, fCrlFile;
};

// Clears the proxy variables (http_proxy, https_proxy, all_proxy, no_proxy in
// both cases) until the object ends, so that tests talk to 127.0.0.1
// directly whatever the machine's settings are.
class ProxyEnvironmentCleared {
 public:
  ProxyEnvironmentCleared();
  ~ProxyEnvironmentCleared();
  ProxyEnvironmentCleared(const ProxyEnvironmentCleared&) = delete;
  ProxyEnvironmentCleared& operator=(const ProxyEnvironmentCleared&) = delete;

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> fSaved;
};

// Compression helpers for scripted bodies and for checks: gzip, zlib-wrapped
// deflate, raw deflate.
std::string GzipBytes(std::string_view data);
std::string DeflateBytes(std::string_view data, bool zlibWrapper = true);

}  // namespace tarvo::testing
