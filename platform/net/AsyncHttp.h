// The asynchronous HTTP client: requests run on a worker thread of the client,
// and each completion reaches the UI thread through the message queue.
//
//   AsyncHttpClient client;                    // completions via MessageQueue::UI()
//   AsyncHttpOptions options;
//   options.maxBodyBytes = 64 << 20;
//   std::uint64_t id = client.Get(url, options, [](AsyncHttpResult& r) {
//     if (r.error == 0 && r.status == 200) use(r.body);
//   });
//   ...
//   client.Cancel(id);                         // any time, from any thread
//
// Transfer. Plain GET over libcurl, HTTP and HTTPS only, redirects followed
// (at most 10, to http or https only). A request that starts on https keeps
// TLS to the end: a redirect to plain http (at once or after https hops)
// fails with ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR (12040) and the http URL
// is never requested, so that a program fetched over TLS cannot arrive
// without it. The answer's status line, headers and body belong to the final
// answer after redirects and interim 1xx answers. The body is collected in
// memory, up to the request's size cap.
// The transfer is made as the HTTP layer (platform/net/Inet.h) makes its own:
// HTTPS certificates are checked strictly (chain, dates, host name) against
// the layer's trust (InternetSetTrust: its authorities, by default the
// system's bundle, and its revocation list when one is set), as it stands
// when Get is called; a refused certificate fails with the layer's code
// (12037 dates, 12038 name, 12045 authority, 12170 revoked, ...). Proxies
// come from the environment (http_proxy, https_proxy, all_proxy, no_proxy),
// as the layer's preconfigured access does. The answer's header lines may
// take 256 KiB at most, over all its header blocks (redirects and interim
// answers included); past that the request fails with
// ERROR_HTTP_INVALID_SERVER_RESPONSE (12152), whatever the server sends.
//
// Limits, each counted by the worker or curl (so they hold whatever the
// server does):
//   connectTimeoutMs  the connection must be made within this time
//   idleTimeoutMs     no byte may take longer than this to arrive (stalls)
//   totalTimeoutMs    the whole transfer must end within this time
//   maxBodyBytes      a body larger than this is refused as soon as it grows
//                     past the cap (or its announced length does)
// 0 switches a limit off. A time-out fails with ERROR_INTERNET_TIMEOUT (12002),
// a body over the cap with ERROR_FILE_TOO_LARGE (223).
//
// Outcome. Every request that Get started completes exactly once, on the
// queue's UI thread, while the client lives: with error 0 and the answer (any
// status: 404 is an answer, not a failure), with a Windows code (12xxx of the
// HTTP layer, see InternetErrorFromCurl; 223 for the size cap), or with
// cancelled set and ERROR_INTERNET_OPERATION_CANCELLED (12017) after Cancel.
// A cancelled request never reports a partly received answer as complete.
//
// Lifetime and threads. Get, Cancel and Pending may be called from any thread;
// completions run on the queue's UI thread only, when it pumps. Destroying the
// client (or Shutdown) aborts every transfer and drops every completion that
// has not run yet: no completion runs after it. The worker is woken at once
// and only releases its transfers, so the wait for it is short and bounded.
// A completion may destroy the client that called it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/core/Errors.h"
#include "platform/system/MessageQueue.h"

namespace tarvo::platform {

struct AsyncHttpOptions {
  std::uint32_t connectTimeoutMs = 30000;
  std::uint32_t idleTimeoutMs = 60000;
  std::uint32_t totalTimeoutMs = 0;
  std::uint64_t maxBodyBytes = 0;
  std::string userAgent;  // empty: none sent; CR, LF and NUL are refused
};

struct AsyncHttpResult {
  std::uint64_t id = 0;
  std::string url;  // as requested
  bool cancelled = false;
  // 0: a whole answer arrived. Otherwise the failure's Windows code, and
  // status, headers and body are not to be used.
  std::uint32_t error = 0;
  int status = 0;
  std::string statusText;  // the reason phrase of the final status line
  // The final answer's headers in the order received: names and values
  // without the blanks around them ("Name : v" is "Name"), folded lines
  // joined; a line with no name before its colon is not among them.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // The first value of a header (name ignoring ASCII case); "" when absent.
  std::string Header(std::string_view name) const;
  bool HasHeader(std::string_view name) const;
  // The English text of error ("The operation timed out"), without a final
  // period; empty when error is 0.
  std::string ErrorText() const;
};

// The English text of a code a request can fail with: the HTTP layer's texts
// for 12001-12175, the system's for the others; no final period or line break.
std::string AsyncHttpErrorText(std::uint32_t code);

class AsyncHttpClient {
 public:
  using Completion = std::function<void(AsyncHttpResult& result)>;

  // Completions are handled on queue's UI thread. The queue must outlive the
  // client.
  explicit AsyncHttpClient(MessageQueue& queue = MessageQueue::UI());
  // Shutdown().
  ~AsyncHttpClient();
  AsyncHttpClient(const AsyncHttpClient&) = delete;
  AsyncHttpClient& operator=(const AsyncHttpClient&) = delete;

  // Starts a GET of url. Returns the request's id (never 0), or 0 with
  // LastError when nothing was started: ERROR_INTERNET_INVALID_URL for a URL
  // that does not parse or has no host, ERROR_INTERNET_UNRECOGNIZED_SCHEME for
  // a scheme other than http and https, ERROR_INVALID_PARAMETER for an empty
  // completion or a user agent with a line break or NUL (it would smuggle
  // headers into the request), ERROR_INTERNET_SHUTDOWN after Shutdown.
  std::uint64_t Get(const std::string& url, const AsyncHttpOptions& options, Completion onDone);

  // Aborts the request: its completion runs (on the UI thread) with cancelled
  // set, unless it has already run. False when the id is unknown or its
  // completion has already run.
  bool Cancel(std::uint64_t id);
  // Requests whose completion has not run yet.
  std::size_t Pending() const;

  // Aborts every transfer, waits for the worker to let go of them and drops
  // every completion that has not run. Idempotent. A completion may call it
  // (and so may destroy the client) while it runs: the client only stops
  // delivering; the running completion finishes normally.
  void Shutdown();

  struct Shared;

 private:
  std::shared_ptr<Shared> fShared;
};

}  // namespace tarvo::platform
