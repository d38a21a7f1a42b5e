// The market-data service simulator: a real HTTP server that answers the QDS
// client the way the service does, for tests (in-process, 127.0.0.1, an
// ephemeral port), the demo and the benchmarks (tools/qds-sim).
//
//   tarvo::testing::QdsSimulator sim;                 // fixture data of the tree
//   ... GET sim.Url("/qds/index.json?qds.meta=on") ...
//   sim.SetFault("/qds/index.json", {QdsFault::ServerErrorTitle, 1});
//   EXPECT_EQ(sim.Requests().back().status, 500);
//
// Documents. Every regular file under the data folder (default
// testing/qdssim-data) is served at its path inside that folder: the file
// qds/index.json answers "/qds/index.json". The query of a request plays no
// part in finding the document. Files are read once, when the simulator
// starts; SetDocument adds or changes a document in memory (never on disk).
// A path that names no document answers 404. The fixtures of the tree, each
// in the service's block form (blocks of "metadata", "columns" and "data"):
//   /qds/index.json             the market structure: engines, markets (20),
//                               boards, boardgroups, durations (7)
//   /qds/securities/SBER.json   a security: description, boards
//   /qds/history/engines/stock/markets/shares/dates.json            dates
//   /qds/engines/stock/markets/shares/boardgroups/57/securities/SBER/candleborders.json
//                                                                   borders
//
// Answers of the data service carry, always:
//   Date                            the time of the answer (IMF-fixdate, GMT)
//   Last-Modified, ETag             the document's validators; both change with
//                                   every SetDocument, Last-Modified by at least
//                                   a second so that date validators see it too
//   Cache-Control                   SetCacheControl (default "no-cache")
//   X-Tarvo-Balancer                SetBalancer (default "qds-sim-1")
//   X-Tarvo-QDS-Query-Version,
//   X-Tarvo-QDS-Statement-Version   SetVersions (default "1", "1"); an empty
//                                   value leaves the header out
//   X-TarvoPassport-Marker          by the request's passport cookie
//                                   (PassportCookie): "granted" for a token the
//                                   passport endpoint issued and that was not
//                                   revoked, "denied" for any other value; no
//                                   header without the cookie
// Validators: "If-None-Match" matching the ETag (or "*") answers 304; without
// it, "If-Modified-Since" at or after Last-Modified answers 304. A 304 carries
// the headers above and no body.
// Encoding follows Accept-Encoding (SetEncoding): gzip, zlib-wrapped deflate,
// raw deflate or identity; a coding the request does not accept (absent, or
// q=0) is never used (the TruncatedGzip fault excepted). Encoded bodies are
// made once per document version (PrepareEncodings makes them ahead).
// Linux only: a reset and the end of connections at Stop find the server's
// sockets through /proc/self/fd.
//
// The passport endpoint (Options::passport) is a second server, HTTPS with the
// certificate testing/certs/server.pem (it names secure.tarvo.example,
// localhost and 127.0.0.1), at Options::passportPath:
//   no Authorization            401 with "WWW-Authenticate: Basic realm=..."
//   the configured credentials  200, "Set-Cookie: TarvoPassport=<token>; path=/"
//                               and "X-TarvoPassport-Marker: granted"
//   other credentials           401 with the challenge again and the marker
//                               "denied"
// Clients reach it under its real name through MapPassportHost, which points
// secure.tarvo.example:443 at the local port (platform/net/Inet.h host mapping).
// The client has to trust the test authority (TrustTestAuthority).
// With Options::requirePassport, data requests without a valid passport
// cookie answer 401 (no challenge: the service itself never asks for Basic).
//
// Faults are scripted per path (the data service) or for the passport
// endpoint, for a number of requests or until cleared; see QdsFault. A scripted
// fault wins over everything else, including 304 and requirePassport.
//
// Every request is recorded (QdsRequest) before any byte of its answer is
// sent, so a test can wait for a stalled request to arrive (WaitForRequests).
// The record keeps the newest Options::requestLimit requests: the oldest goes
// first, and DroppedRequests counts those let go; DataRequestCount counts
// the requests to the data service apart from the record. The default limit
// is far above what a test makes and only keeps a long run (a benchmark, the
// program) from growing without end; 0 keeps every request.
//
// Threads: the servers answer on their own threads (a pool per server); every
// public operation is thread-safe. Stop (and the destructor) wakes every stall,
// then stops the two servers one after the other: each ends its idle
// connections (kept-alive ones and ones holding part of a request) at once,
// lets an answer under way finish (at most five seconds per server, so at most
// ten seconds in all) and joins every
// thread, so no thread of the simulator outlives it
// (testing/HttpServerThread.h). Construction throws std::runtime_error when a
// server cannot start or the data folder cannot be read.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "testing/HttpTestServer.h"

namespace tarvo::testing {

// How bodies are encoded, always within what the request accepts.
enum class QdsEncoding {
  Auto,        // gzip when accepted, else zlib-wrapped deflate, else identity
  Identity,    // never encoded
  Gzip,        // gzip when accepted, else identity
  Deflate,     // zlib-wrapped deflate when "deflate" is accepted, else identity
  RawDeflate,  // raw deflate (no zlib wrapper) when "deflate" is accepted, else identity
};

enum class QdsFault {
  None,
  BadRequest,        // 400, plain text
  Unauthorized,      // 401, plain text, no challenge
  ForbiddenHtml,     // 403, a well-formed HTML page whose h1 carries the text
  NotFound,          // 404, plain text (also for a path that names a document)
  ServerErrorTitle,  // 500, an HTML page that is not well-formed XML; <title> carries the text
  Unavailable,       // 503, plain text, "Retry-After: 1"
  ErrorDocument,     // 200, {"error":"<text>"}
  Empty200,          // 200 with an empty body
  NoContent,         // 204
  MalformedJson,     // 200, the document's first half (JSON cut short)
  TruncatedGzip,     // 200, "Content-Encoding: gzip" whatever the request accepts,
                     // the compressed document cut in half; the HTTP framing is correct
  StallHeaders,      // nothing is sent until released, stopped or QdsFaultScript::stall
                     // has passed; then the normal answer (none when stopped)
  StallBody,         // headers and the first half of the body, then the same stall,
                     // then the rest (when stopped, the connection closes instead)
  Reset,             // headers and the first half of the body, then a TCP reset
};

// The name of a fault for messages ("StallBody").
std::string_view QdsFaultName(QdsFault fault) noexcept;

struct QdsFaultScript {
  QdsFaultScript() = default;
  QdsFaultScript(QdsFault aFault, int aTimes = -1, std::string aText = {},
                 std::chrono::milliseconds aStall = std::chrono::seconds(10))
      : fault(aFault), times(aTimes), text(std::move(aText)), stall(aStall) {}

  QdsFault fault = QdsFault::None;
  // How many requests get the fault; then the path answers normally again.
  // Negative: every request until ClearFaults.
  int times = -1;
  // The error text, title or heading the fault carries; a default when empty.
  std::string text;
  // The longest a stall holds.
  std::chrono::milliseconds stall{std::chrono::seconds(10)};
};

struct QdsRequest : RecordedRequest {
  bool passport = false;        // made to the passport endpoint
  int status = 0;               // the status of the answer, decided before any stall
  std::string contentEncoding;  // "gzip", "deflate" or "" (identity)
  QdsFault fault = QdsFault::None;
};

class QdsSimulator {
 public:
  struct Options {
    std::string dataDir;     // default: SourcePath("testing/qdssim-data")
    std::uint16_t port = 0;  // of the data service; 0 = ephemeral
    bool passport = true;    // start the HTTPS passport endpoint
    std::uint16_t passportPort = 0;
    std::string passportPath = "/authenticate";
    std::string user = "trader";
    std::string password = "secret";
    bool requirePassport = false;
    std::string bindAddress = "127.0.0.1";
    int threads = 16;       // answering threads per server
    bool keepAlive = true;  // idle connections are dropped after one second (by Stop at once)
    // Requests the record keeps, newest last; 0: no limit.
    std::size_t requestLimit = 100000;
  };

  // The cookie the passport endpoint sets.
  static constexpr std::string_view PassportCookie = "TarvoPassport";
  // The host name of the passport endpoint for MapPassportHost.
  static constexpr std::string_view PassportHost = "secure.tarvo.example";

  QdsSimulator();
  explicit QdsSimulator(Options options);
  ~QdsSimulator();
  QdsSimulator(const QdsSimulator&) = delete;
  QdsSimulator& operator=(const QdsSimulator&) = delete;

  std::uint16_t Port() const noexcept;
  std::uint16_t PassportPort() const noexcept;  // 0 without the endpoint
  // "http://127.0.0.1:<port>" + path.
  std::string Url(std::string_view path = "/") const;
  // "https://127.0.0.1:<passport port>" + the passport path.
  std::string PassportUrl() const;
  // The passport address as the client configures it: host and path without
  // scheme ("secure.tarvo.example/authenticate"); valid after MapPassportHost.
  std::string PassportAddress() const;
  // Routes PassportHost:443 to the passport port for the HTTP layer of this
  // process, until Stop. Other mappings are left alone while it lasts, but
  // Stop clears all of them (the layer offers no single removal).
  void MapPassportHost();

  // --- documents ---------------------------------------------------------------------------
  // Adds or replaces the document at path ("/qds/x.json") and gives it new validators.
  void SetDocument(const std::string& path, std::string body);
  bool RemoveDocument(const std::string& path);
  std::optional<std::string> Document(const std::string& path) const;
  // The body as sent in an encoding (Auto and Identity: the document itself);
  // made on first use and kept, as for answers.
  std::optional<std::string> EncodedDocument(const std::string& path, QdsEncoding encoding) const;
  std::vector<std::string> DocumentPaths() const;
  struct Validators {
    std::string etag;          // with its quotes, as sent
    std::string lastModified;  // IMF-fixdate, as sent
  };
  std::optional<Validators> DocumentValidators(const std::string& path) const;
  // Documents made per request, for endpoints whose answer depends on the
  // query (pages of candles, searches): a request whose path names no stored
  // document and begins with prefix is answered from source (the longest
  // prefix wins); nullopt answers 404. The answer gets every header, encoding,
  // validator rule and fault a stored document gets; its ETag follows the
  // text and its Last-Modified is the simulator's start. The source runs on a
  // server thread, outside the simulator's locks, and must be thread-safe. An
  // empty source removes the prefix.
  using DocumentSource = std::function<std::optional<std::string>(const RecordedRequest& request)>;
  void SetDocumentSource(const std::string& prefix, DocumentSource source);
  // Makes the gzip and deflate forms of every document now (they are otherwise
  // made by the first request that needs them), so that a measured run does
  // not pay for compression.
  void PrepareEncodings();

  // --- answer headers ----------------------------------------------------------------------
  void SetEncoding(QdsEncoding encoding);
  void SetVersions(std::string queryVersion, std::string statementVersion);
  void SetBalancer(std::string balancer);
  void SetCacheControl(std::string cacheControl);
  // Replaces an answer header of every answer (both servers) by value, or
  // leaves it out with nullopt: a missing or unreadable Date, a broken ETag.
  // The name compares ignoring ASCII case; the framing headers
  // (Content-Length, Content-Encoding) cannot be changed this way.
  void OverrideHeader(const std::string& name, std::optional<std::string> value);
  void ClearHeaderOverrides();

  // --- faults ------------------------------------------------------------------------------
  void SetFault(const std::string& path, QdsFaultScript script);
  void SetPassportFault(QdsFaultScript script);
  void ClearFaults();
  // Ends every stall that is holding now (their answers go on).
  void ReleaseStalls();

  // --- passport ----------------------------------------------------------------------------
  void SetCredentials(std::string user, std::string password);
  void SetRequirePassport(bool require);
  // Makes every token issued so far invalid ("denied" from now on).
  void RevokePassports();
  // Successful passport exchanges so far.
  std::size_t PassportsGranted() const;

  // --- recording ---------------------------------------------------------------------------
  // The records kept, oldest first.
  std::vector<QdsRequest> Requests() const;
  // Those of one path (data service and passport endpoint alike).
  std::vector<QdsRequest> Requests(std::string_view path) const;
  // The records kept (Requests().size()).
  std::size_t RequestCount() const;
  // Records let go for the limit since the start or ClearRequests.
  std::size_t DroppedRequests() const;
  // Requests to the data service (not the passport endpoint) recorded since
  // the start or ClearRequests, kept and let go alike: the limit never lowers
  // it, so a watcher that waits for data requests cannot miss one that
  // passport requests pushed out of a small record.
  std::size_t DataRequestCount() const;
  // Forgets every record, the dropped count and the data request count.
  void ClearRequests();
  // Waits until at least count requests have been recorded since the start
  // or ClearRequests (kept and dropped alike) or timeout has passed; answers
  // that number.
  std::size_t WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;

  // Stops both servers (also done by the destructor). Idempotent.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> fImpl;
};

// An HTTP date (IMF-fixdate, "Sun, 06 Nov 1994 08:49:37 GMT") of Unix seconds,
// and back; nullopt for any other text.
std::string HttpDate(std::int64_t unixSeconds);
std::optional<std::int64_t> ParseHttpDate(std::string_view text);

}  // namespace tarvo::testing
