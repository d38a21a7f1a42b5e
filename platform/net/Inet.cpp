// The HTTP service over libcurl: handles, requests, streaming transfers,
// header queries, options, certificate policy and hooks.
//
// Each send drives its own curl multi handle on the calling thread, so the
// body can be pulled block by block: the write callback keeps a bounded
// read-ahead and pauses the transfer when the reader falls behind.
// Connections and TLS sessions live in curl share objects, one per thread and
// per set of relaxed certificate checks: curl cannot share a connection cache
// between threads safely, and a connection or TLS session that was accepted
// under relaxed checks must never serve a strict request.
#include "platform/net/Inet.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/core/CodePage.h"
#include "platform/core/Errors.h"
#include "platform/core/Text.h"
#include "platform/net/InetInternal.h"

namespace tarvo::platform {

using namespace inet_detail;

namespace {

using Clock = std::chrono::steady_clock;

// The most body bytes held ahead of the reader. Enough for curl to keep the
// socket busy between reads; small enough that a slow reader throttles the
// server through TCP flow control.
constexpr std::size_t kReadAhead = 256 * 1024;
// curl's receive buffer: bigger blocks mean fewer calls per megabyte.
constexpr long kReceiveBuffer = 64 * 1024;

bool Fail(std::uint32_t code) {
  SetLastError(code);
  return false;
}

// --- process-wide settings ----------------------------------------------------------------

struct Settings {
  std::mutex mutex;
  InternetTrust trust;
  std::map<std::string, std::uint16_t> hostMap;  // "host:port" (lower case) -> local port
  InternetErrorDialogHook dialogHook;
  InternetGoOnlineHook onlineHook;
};
Settings& TheSettings() {
  static auto* s = new Settings;  // never destroyed: used until the very end
  return *s;
}
std::atomic<std::uint64_t> gTrustGeneration{1};
std::atomic<bool> gOffline{false};

// --- handles ------------------------------------------------------------------------------

enum class Kind { Internet, Connect, Request };

struct Timeouts {
  std::uint32_t connect = 60000;
  std::uint32_t send = 30000;
  std::uint32_t receive = 30000;
  std::uint32_t retries = 5;
};

struct HandleBase {
  explicit HandleBase(Kind k) : kind(k) {}
  virtual ~HandleBase() = default;
  const Kind kind;
  std::mutex mutex;  // guards the options of handles that threads share
};

struct InternetObj : HandleBase {
  InternetObj() : HandleBase(Kind::Internet) {}
  std::string agent;
  std::uint32_t accessType = INTERNET_OPEN_TYPE_PRECONFIG;
  std::string proxy, bypass;
  Timeouts timeouts;
};

struct ConnectObj : HandleBase {
  ConnectObj() : HandleBase(Kind::Connect) {}
  std::shared_ptr<InternetObj> internet;
  std::string urlHost;  // as it goes into a URL (IPv6 in brackets)
  std::string mapHost;  // lower case, no brackets: the key of the host map
  std::uint16_t port = 0;
  std::string user, password;
  Timeouts timeouts;
};

// One TLS/connection pool: a curl share object with its locks.
struct Pool {
  CURLSH* share = nullptr;
  std::mutex locks[CURL_LOCK_DATA_LAST];
  Pool() {
    share = curl_share_init();
    if (!share) return;
    curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &Pool::Lock);
    curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &Pool::Unlock);
    curl_share_setopt(share, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  }
  ~Pool() {
    if (share) curl_share_cleanup(share);
  }
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;
  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    static_cast<Pool*>(user)->locks[data].lock();
  }
  static void Unlock(CURL*, curl_lock_data data, void* user) {
    static_cast<Pool*>(user)->locks[data].unlock();
  }
};

// The pools of the calling thread, by relaxed checks and trust generation.
std::shared_ptr<Pool> PoolFor(std::uint32_t relaxBits) {
  thread_local std::map<std::pair<std::uint64_t, std::uint32_t>, std::shared_ptr<Pool>> pools;
  const std::uint64_t generation = gTrustGeneration.load();
  for (auto it = pools.begin(); it != pools.end();)
    it = it->first.first != generation ? pools.erase(it) : std::next(it);
  auto& pool = pools[{generation, relaxBits}];
  if (!pool) pool = std::make_shared<Pool>();
  return pool;
}

// --- certificate policy -----------------------------------------------------------------------

// One immutable policy per combination of relaxed checks, in static storage:
// the TLS callbacks find it through the SSL_CTX, which may outlive any request.
struct TlsPolicy {
  std::uint32_t relax = 0;
};
constexpr std::uint32_t kRelaxBitsList[] = {
    SECURITY_FLAG_IGNORE_REVOCATION,        SECURITY_FLAG_IGNORE_UNKNOWN_CA,
    SECURITY_FLAG_IGNORE_WRONG_USAGE,       SECURITY_FLAG_IGNORE_CERT_CN_INVALID,
    SECURITY_FLAG_IGNORE_CERT_DATE_INVALID, kRelaxNoClientCert};
constexpr std::size_t kPolicyCount = std::size_t{1} << std::size(kRelaxBitsList);

const TlsPolicy* PolicyFor(std::uint32_t relax) {
  static const auto* policies = [] {
    auto* p = new TlsPolicy[kPolicyCount];
    for (std::size_t i = 0; i < kPolicyCount; ++i)
      for (std::size_t b = 0; b < std::size(kRelaxBitsList); ++b)
        if (i & (std::size_t{1} << b)) p[i].relax |= kRelaxBitsList[b];
    return p;
  }();
  std::size_t index = 0;
  for (std::size_t b = 0; b < std::size(kRelaxBitsList); ++b)
    if (relax & kRelaxBitsList[b]) index |= std::size_t{1} << b;
  return &policies[index];
}

int PolicyIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

// Per thread, what the TLS callbacks refused: handshakes run on the sending
// thread, so a change of a counter across a send tells that send's failure
// apart. curl itself reports no verification result when the host name check
// fails first, so the chain's fault is taken from here.
thread_local unsigned tClientCertRefusals = 0;
thread_local unsigned tChainRefusals = 0;
thread_local long tLastChainError = 0;

const TlsPolicy* PolicyOf(SSL* ssl) {
  if (!ssl) return nullptr;
  return static_cast<const TlsPolicy*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), PolicyIndex()));
}

// Chain verification: accept exactly the faults the policy relaxes. curl runs
// OpenSSL with SSL_VERIFY_NONE and judges the verification result afterwards,
// so clearing the error here accepts the fault and returning 0 leaves it as
// the result curl refuses.
int VerifyCallback(int ok, X509_STORE_CTX* store) {
  if (ok) return 1;
  auto* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  const TlsPolicy* policy = PolicyOf(ssl);
  const int error = X509_STORE_CTX_get_error(store);
  if (policy && RelaxesFault(policy->relax, CertFaultOf(error))) {
    X509_STORE_CTX_set_error(store, X509_V_OK);
    return 1;
  }
  ++tChainRefusals;
  tLastChainError = error;
  return 0;
}

// A server asked for a client certificate. The layer has none to offer; a
// request that may go on without one does, any other stops the handshake.
int ClientCertCallback(SSL* ssl, X509**, EVP_PKEY**) {
  const TlsPolicy* policy = PolicyOf(ssl);
  if (policy && (policy->relax & kRelaxNoClientCert)) return 0;
  ++tClientCertRefusals;
  return -1;
}

CURLcode SslContextCallback(CURL*, void* sslctx, void* user) {
  auto* ctx = static_cast<SSL_CTX*>(sslctx);
  SSL_CTX_set_ex_data(ctx, PolicyIndex(), user);
  SSL_CTX_set_verify(ctx, SSL_CTX_get_verify_mode(ctx), &VerifyCallback);
  SSL_CTX_set_client_cert_cb(ctx, &ClientCertCallback);
  return CURLE_OK;
}

// --- the automatic cookie jar ---------------------------------------------------------------

// Cookies of requests without INTERNET_FLAG_NO_COOKIES, for the whole process,
// in curl's cookie-file lines, keyed by domain, path and name.
struct CookieJar {
  std::mutex mutex;
  std::map<std::string, std::string> lines;
};
CookieJar& Jar() {
  static auto* jar = new CookieJar;
  return *jar;
}
std::string CookieKey(std::string_view line) {
  const std::vector<std::string> f = SplitString(line, '\t');
  if (f.size() < 7) return {};
  return f[0] + '\t' + f[2] + '\t' + f[5];
}

// --- transfers --------------------------------------------------------------------------------

enum class Coding { None, Gzip, Deflate };

struct Transfer {
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  curl_slist* headerList = nullptr;
  curl_slist* connectTo = nullptr;
  std::shared_ptr<Pool> pool;
  std::string url, body;
  bool secure = false, follow = true, attached = false;

  // The exchange.
  bool connected = false, headersDone = false, finished = false;
  bool redirected = false;
  CURLcode result = CURLE_OK;
  std::uint32_t failure = 0;  // sticky: every later read reports it again
  HeadReader head;            // its pending head is the answer being received
  HttpHead response;
  std::string sentHeaders;
  bool sentComplete = false;
  unsigned clientCertMark = 0, chainMark = 0;
  Clock::time_point lastActivity = Clock::now();
  curl_off_t lastUp = 0, lastDown = 0;

  // The body: read-ahead bytes [pos, buf.size()).
  std::string buf;
  std::size_t pos = 0;
  bool paused = false;
  std::uint64_t bodyBytes = 0;

  // Decoding.
  bool decodeWanted = false;
  Coding coding = Coding::None;
  z_stream zs{};
  bool zsReady = false, zsEnded = false;

  // Cookies.
  bool cookies = false, headersProcessed = false;
  std::set<std::string> importedKeys;

  // Set when the request's handle is closed, possibly on another thread while
  // this transfer is being driven: the transfer ends at its next turn.
  std::shared_ptr<const std::atomic<bool>> closed;

  std::size_t Available() const { return buf.size() - pos; }
  void Consume(std::size_t n) {
    pos += n;
    if (pos == buf.size()) {
      buf.clear();
      pos = 0;
    }
  }

  Transfer() = default;
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  ~Transfer() {
    if (multi && easy && attached) curl_multi_remove_handle(multi, easy);
    if (easy) curl_easy_cleanup(easy);
    if (multi) curl_multi_cleanup(multi);
    curl_slist_free_all(headerList);
    curl_slist_free_all(connectTo);
    if (zsReady) inflateEnd(&zs);
  }
};

struct RequestObj : HandleBase {
  RequestObj() : HandleBase(Kind::Request) {}
  std::shared_ptr<ConnectObj> connect;
  std::string verb, target, url, referrer, accept;
  std::uint32_t flags = 0;
  bool secure = false;
  std::vector<HttpHeader> headers;
  Timeouts timeouts;
  std::uint32_t securityFlags = 0;
  bool noClientCert = false;
  bool decoding = false;
  std::unique_ptr<Transfer> transfer;

  // InternetCloseHandle may come from another thread while this request's
  // transfer waits for a stalled server: it sets the flag and wakes the
  // transfer's wait, so the driving thread ends with 12017 at once instead
  // of waiting for the time-out. liveMulti is the multi handle of the current
  // transfer, set and cleared under wakeMutex by the thread that owns it.
  std::shared_ptr<std::atomic<bool>> closed = std::make_shared<std::atomic<bool>>(false);
  std::mutex wakeMutex;
  CURLM* liveMulti = nullptr;

  void SetTransfer(std::unique_ptr<Transfer> next) {
    {
      std::lock_guard lock(wakeMutex);
      liveMulti = next ? next->multi : nullptr;
    }
    transfer = std::move(next);  // the previous one goes after the pointer was cleared
  }
  void WakeForClose() {
    closed->store(true);
    std::lock_guard lock(wakeMutex);
    if (liveMulti) curl_multi_wakeup(liveMulti);
  }
};

struct HandleTable {
  std::mutex mutex;
  std::unordered_map<std::uintptr_t, std::shared_ptr<HandleBase>> handles;
  std::uintptr_t next = 0x1000;
};
HandleTable& Handles() {
  static auto* table = new HandleTable;
  return *table;
}

HINTERNET Register(std::shared_ptr<HandleBase> object) {
  HandleTable& t = Handles();
  std::lock_guard lock(t.mutex);
  const std::uintptr_t id = t.next;
  t.next += 4;
  t.handles.emplace(id, std::move(object));
  return reinterpret_cast<HINTERNET>(id);
}

std::shared_ptr<HandleBase> Find(HINTERNET h) {
  HandleTable& t = Handles();
  std::lock_guard lock(t.mutex);
  const auto it = t.handles.find(reinterpret_cast<std::uintptr_t>(h));
  if (it == t.handles.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return it->second;
}

template <class T>
std::shared_ptr<T> FindAs(HINTERNET h, Kind kind) {
  std::shared_ptr<HandleBase> base = Find(h);
  if (!base) return nullptr;
  if (base->kind != kind) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    return nullptr;
  }
  return std::static_pointer_cast<T>(base);
}

// --- header lists ---------------------------------------------------------------------------

std::vector<HttpHeader>::iterator FindHeaderIt(std::vector<HttpHeader>& list,
                                               std::string_view name) {
  return std::find_if(list.begin(), list.end(),
                      [&](const HttpHeader& h) { return SameTextAscii(h.name, name); });
}
const HttpHeader* FindHeader(const std::vector<HttpHeader>& list, std::string_view name,
                             std::uint32_t occurrence = 0) {
  for (const HttpHeader& h : list)
    if (SameTextAscii(h.name, name) && occurrence-- == 0) return &h;
  return nullptr;
}

// Applies header lines to a copy of the list; the list changes only when
// every line is valid. Returns 0 or the error code.
std::uint32_t ApplyHeaderLines(std::vector<HttpHeader>& list, std::string_view text,
                               std::uint32_t modifiers) {
  std::vector<HttpHeader> parsed;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    start = end + 1;
    if (TrimView(line).empty()) continue;
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) return ERROR_HTTP_INVALID_HEADER;
    const std::string_view name = line.substr(0, colon);
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
      value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    if (!IsHttpToken(name)) return ERROR_HTTP_INVALID_HEADER;
    if (!IsSafeHeaderValue(value)) return ERROR_HTTP_INVALID_HEADER;
    // The layer frames the body itself; a second framing would corrupt it.
    if (SameTextAscii(name, "Transfer-Encoding")) return ERROR_HTTP_INVALID_HEADER;
    parsed.push_back({std::string(name), std::string(value)});
  }
  std::vector<HttpHeader> result = list;
  for (HttpHeader& h : parsed) {
    auto it = FindHeaderIt(result, h.name);
    const bool found = it != result.end();
    if (modifiers & HTTP_ADDREQ_FLAG_ADD_IF_NEW) {
      if (found) return ERROR_HTTP_HEADER_ALREADY_EXISTS;
      result.push_back(std::move(h));
    } else if (modifiers & HTTP_ADDREQ_FLAG_REPLACE) {
      if (found) {
        if (h.value.empty())
          result.erase(it);
        else
          it->value = std::move(h.value);
      } else if (modifiers & HTTP_ADDREQ_FLAG_ADD) {
        if (!h.value.empty()) result.push_back(std::move(h));
      } else {
        return ERROR_HTTP_HEADER_NOT_FOUND;
      }
    } else if (modifiers &
               (HTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA | HTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON)) {
      if (found) {
        it->value += (modifiers & HTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA) ? ", " : "; ";
        it->value += h.value;
      } else if (modifiers & HTTP_ADDREQ_FLAG_ADD) {
        result.push_back(std::move(h));
      } else {
        return ERROR_HTTP_HEADER_NOT_FOUND;
      }
    } else {
      result.push_back(std::move(h));
    }
  }
  list = std::move(result);
  return 0;
}

// --- curl callbacks ---------------------------------------------------------------------------

bool IsFinal(const Transfer& t, const HttpHead& r) {
  if (r.status >= 100 && r.status < 200) return false;
  // curl follows any 3xx with a non-empty Location when following is on.
  if (t.follow && r.status >= 300 && r.status < 400) {
    const HttpHeader* location = FindHeader(r.headers, "Location");
    if (location && !location->value.empty()) return false;
  }
  return true;
}

size_t HeaderCallback(char* data, size_t size, size_t count, void* user) {
  auto& t = *static_cast<Transfer*>(user);
  const size_t length = size * count;
  t.lastActivity = Clock::now();
  switch (t.head.Feed(std::string_view(data, length))) {
    case HeadReader::Step::Overflow:
      return 0;  // curl stops with a write error
    case HeadReader::Step::BlockEnd:
      if (IsFinal(t, t.head.pending)) {
        t.response = std::move(t.head.pending);
        t.head.pending = HttpHead{};
        t.headersDone = true;
      } else if (t.head.pending.status >= 300) {
        t.redirected = true;
      }
      break;
    case HeadReader::Step::Line:
      break;
  }
  return length;
}

size_t WriteCallback(char* data, size_t size, size_t count, void* user) {
  auto& t = *static_cast<Transfer*>(user);
  const size_t length = size * count;
  if (length == 0) return 0;
  if (!t.headersDone && t.head.pending.status != 0) {
    // A body after a header block we took for an interim one: it was final.
    t.response = std::move(t.head.pending);
    t.head.pending = HttpHead{};
    t.headersDone = true;
  }
  if (t.Available() > 0 && t.Available() + length > kReadAhead) {
    t.paused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  if (t.pos > 0 && t.pos >= t.buf.size() / 2) {
    t.buf.erase(0, t.pos);
    t.pos = 0;
  }
  t.buf.append(data, length);
  t.bodyBytes += length;
  t.lastActivity = Clock::now();
  return length;
}

int ProgressCallback(void* user, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
  auto& t = *static_cast<Transfer*>(user);
  if (up != t.lastUp || down != t.lastDown) {
    t.lastUp = up;
    t.lastDown = down;
    t.lastActivity = Clock::now();
  }
  return 0;
}

int PrereqCallback(void* user, char*, char*, int, int) {
  auto& t = *static_cast<Transfer*>(user);
  t.connected = true;
  t.lastActivity = Clock::now();
  return CURL_PREREQFUNC_OK;
}

int DebugCallback(CURL*, curl_infotype type, char* data, size_t size, void* user) {
  if (type != CURLINFO_HEADER_OUT) return 0;
  auto& t = *static_cast<Transfer*>(user);
  if (t.sentComplete) {
    t.sentHeaders.clear();
    t.sentComplete = false;
  }
  t.sentHeaders.append(data, size);
  if (t.sentHeaders.size() >= 4 &&
      t.sentHeaders.compare(t.sentHeaders.size() - 4, 4, "\r\n\r\n") == 0)
    t.sentComplete = true;
  return 0;
}

// --- driving a transfer -------------------------------------------------------------------

void ExportCookies(Transfer& t) {
  if (!t.cookies) return;
  curl_slist* list = nullptr;
  if (curl_easy_getinfo(t.easy, CURLINFO_COOKIELIST, &list) != CURLE_OK) return;
  std::map<std::string, std::string> now;
  for (curl_slist* p = list; p; p = p->next) {
    const std::string key = CookieKey(p->data);
    if (!key.empty()) now[key] = p->data;
  }
  curl_slist_free_all(list);
  CookieJar& jar = Jar();
  std::lock_guard lock(jar.mutex);
  // A cookie this request brought along and no longer has was deleted or
  // expired by the server's answer.
  for (const std::string& key : t.importedKeys)
    if (!now.count(key)) jar.lines.erase(key);
  for (auto& [key, line] : now) jar.lines[key] = std::move(line);
}

void SetupDecoding(Transfer& t) {
  if (!t.decodeWanted) return;
  const HttpHeader* h = FindHeader(t.response.headers, "Content-Encoding");
  if (!h) return;
  const std::string coding = AsciiLowerCase(Trim(h->value));
  if (coding == "gzip" || coding == "x-gzip")
    t.coding = Coding::Gzip;
  else if (coding == "deflate")
    t.coding = Coding::Deflate;
}

void Collect(Transfer& t) {
  int queued = 0;
  while (CURLMsg* m = curl_multi_info_read(t.multi, &queued)) {
    if (m->msg == CURLMSG_DONE && m->easy_handle == t.easy) {
      t.finished = true;
      t.result = m->data.result;
    }
  }
  if (t.finished && t.result == CURLE_OK && !t.headersDone && t.head.pending.status != 0) {
    t.response = std::move(t.head.pending);
    t.head.pending = HttpHead{};
    t.headersDone = true;
  }
  if (t.headersDone && !t.headersProcessed) {
    t.headersProcessed = true;
    ExportCookies(t);
    SetupDecoding(t);
  }
}

std::uint32_t FailureOf(Transfer& t) {
  CurlFailure f;
  f.curlCode = t.result;
  f.verifyResult = tChainRefusals != t.chainMark ? tLastChainError : 0;
  curl_easy_getinfo(t.easy, CURLINFO_HTTP_CONNECTCODE, &f.proxyTunnelStatus);
  f.clientCertRequested = tClientCertRefusals != t.clientCertMark;
  f.redirected = t.redirected;
  f.secureOrigin = t.secure;
  const std::uint32_t code = TransferFailure(t.head, f);
  if (code == ERROR_INTERNET_EXTENDED_ERROR)
    SetLastResponseInfo(
        static_cast<std::uint32_t>(f.proxyTunnelStatus),
        "HTTP/1.1 " + std::to_string(f.proxyTunnelStatus) + " (the proxy refused the tunnel)");
  return code;
}

// Stops the transfer for good: the connection is dropped, not reused.
void Abort(Transfer& t, std::uint32_t code) {
  if (t.attached) {
    curl_multi_remove_handle(t.multi, t.easy);
    t.attached = false;
  }
  t.finished = true;
  t.failure = code;
}

// Pulls in what the socket has without waiting, while the read-ahead is
// below half full, so that the connection keeps flowing while the reader
// works through what is already here (instead of stopping and starting
// each time the read-ahead runs dry).
void Pump(Transfer& t) {
  if (t.finished || t.failure || t.Available() >= kReadAhead / 2) return;
  if (t.paused) {
    t.paused = false;
    curl_easy_pause(t.easy, CURLPAUSE_CONT);
  }
  int running = 0;
  if (curl_multi_perform(t.multi, &running) != CURLM_OK) {
    Abort(t, ERROR_INTERNET_INTERNAL_ERROR);
    return;
  }
  Collect(t);
}

enum class Want { Headers, Data };

// Runs the transfer until what is wanted is there, the transfer has ended, or
// nothing moved for longer than the time-out. Returns false with the thread's
// last error set on failure.
bool Drive(Transfer& t, const Timeouts& timeouts, Want want, std::size_t minBytes = 1) {
  const auto ready = [&] {
    return want == Want::Headers ? t.headersDone : t.Available() >= minBytes;
  };
  if (t.failure) return Fail(t.failure);
  if (t.paused && t.Available() < minBytes) {
    t.paused = false;
    curl_easy_pause(t.easy, CURLPAUSE_CONT);
    Collect(t);
  }
  t.lastActivity = Clock::now();
  for (;;) {
    if (t.closed && t.closed->load() && !t.finished) {
      Abort(t, ERROR_INTERNET_OPERATION_CANCELLED);
      return Fail(t.failure);
    }
    if (ready()) return true;
    if (t.finished) {
      if (t.failure) return Fail(t.failure);
      if (t.result != CURLE_OK) {
        t.failure = FailureOf(t);
        return Fail(t.failure);
      }
      if (want == Want::Headers && !t.headersDone) {
        t.failure = ERROR_HTTP_INVALID_SERVER_RESPONSE;
        return Fail(t.failure);
      }
      return true;  // the body has ended
    }
    int running = 0;
    if (curl_multi_perform(t.multi, &running) != CURLM_OK) {
      Abort(t, ERROR_INTERNET_INTERNAL_ERROR);
      return Fail(t.failure);
    }
    Collect(t);
    if (ready() || t.finished) continue;
    // Before the connection stands, curl's connect time-out applies; after
    // it, the send or receive time-out counts from the last bytes that moved.
    const bool sending = !t.body.empty() && t.lastUp < static_cast<curl_off_t>(t.body.size());
    const std::uint32_t limit = !t.connected ? 0 : (sending ? timeouts.send : timeouts.receive);
    long waitMs = 1000;
    if (limit != 0) {
      const auto idle =
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t.lastActivity)
              .count();
      if (idle >= static_cast<long long>(limit)) {
        Abort(t, ERROR_INTERNET_TIMEOUT);
        return Fail(t.failure);
      }
      waitMs = std::min<long>(waitMs, static_cast<long>(limit - idle));
    }
    curl_multi_poll(t.multi, nullptr, 0, static_cast<int>(std::max<long>(waitMs, 1)), nullptr);
  }
}

// --- decoding ------------------------------------------------------------------------------------

// Inflates from the read-ahead into out. Returns false (with the transfer
// failed) on corrupt data; produced may be 0 when more input is needed.
bool Inflate(Transfer& t, char* out, std::uint32_t size, std::uint32_t& produced) {
  produced = 0;
  if (!t.zsReady) {
    int windowBits = 15 + 16;
    if (t.coding == Coding::Deflate) {
      // "deflate" is meant to be zlib-wrapped, but servers also send raw
      // deflate data; the zlib header tells them apart.
      const auto b0 = static_cast<unsigned char>(t.buf[t.pos]);
      const auto b1 = t.Available() > 1 ? static_cast<unsigned char>(t.buf[t.pos + 1]) : 0;
      const bool zlib = t.Available() > 1 && (b0 & 0x0F) == 8 && ((b0 << 8) | b1) % 31 == 0;
      windowBits = zlib ? 15 : -15;
    }
    if (inflateInit2(&t.zs, windowBits) != Z_OK) {
      Abort(t, ERROR_NOT_ENOUGH_MEMORY);
      return false;
    }
    t.zsReady = true;
  }
  if (t.zsEnded) {
    // Another gzip member may follow; anything else after the end is corrupt.
    if (t.coding != Coding::Gzip || inflateReset(&t.zs) != Z_OK) {
      Abort(t, ERROR_INTERNET_DECODING_FAILED);
      return false;
    }
    t.zsEnded = false;
  }
  t.zs.next_in = reinterpret_cast<Bytef*>(t.buf.data() + t.pos);
  t.zs.avail_in = static_cast<uInt>(std::min<std::size_t>(t.Available(), 1u << 30));
  t.zs.next_out = reinterpret_cast<Bytef*>(out);
  t.zs.avail_out = size;
  const uInt before = t.zs.avail_in;
  const int rc = inflate(&t.zs, Z_NO_FLUSH);
  t.Consume(before - t.zs.avail_in);
  produced = size - t.zs.avail_out;
  if (rc == Z_STREAM_END) {
    t.zsEnded = true;
  } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
    Abort(t, ERROR_INTERNET_DECODING_FAILED);
    return false;
  }
  return true;
}

// --- options
// ----------------------------------------------------------------------------------------

bool ReadU32(const void* buffer, std::uint32_t length, std::uint32_t& value) {
  if (!buffer || length != sizeof(std::uint32_t)) return Fail(ERROR_INTERNET_BAD_OPTION_LENGTH);
  std::memcpy(&value, buffer, sizeof value);
  return true;
}

bool WriteValue(void* buffer, std::uint32_t& length, const void* data, std::uint32_t size) {
  if (!buffer || length < size) {
    length = size;
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(buffer, data, size);
  length = size;
  return true;
}

Timeouts* TimeoutsOf(HandleBase& h) {
  switch (h.kind) {
    case Kind::Internet:
      return &static_cast<InternetObj&>(h).timeouts;
    case Kind::Connect:
      return &static_cast<ConnectObj&>(h).timeouts;
    case Kind::Request:
      return &static_cast<RequestObj&>(h).timeouts;
  }
  return nullptr;
}

std::uint32_t* TimeoutField(Timeouts& t, std::uint32_t option) {
  switch (option) {
    case INTERNET_OPTION_CONNECT_TIMEOUT:
      return &t.connect;
    case INTERNET_OPTION_CONNECT_RETRIES:
      return &t.retries;
    case INTERNET_OPTION_SEND_TIMEOUT:
    case INTERNET_OPTION_DATA_SEND_TIMEOUT:
      return &t.send;
    case INTERNET_OPTION_RECEIVE_TIMEOUT:
    case INTERNET_OPTION_DATA_RECEIVE_TIMEOUT:
      return &t.receive;
    default:
      return nullptr;
  }
}

std::uint16_t DefaultPort(bool secure) {
  return secure ? std::uint16_t{INTERNET_DEFAULT_HTTPS_PORT}
                : std::uint16_t{INTERNET_DEFAULT_HTTP_PORT};
}

// --- setting up a send ---------------------------------------------------------------------------

void AppendHeader(curl_slist*& list, const std::string& name, const std::string& value) {
  // curl drops a header with an empty value unless it is written "Name;".
  const std::string line = value.empty() ? name + ";" : name + ": " + value;
  if (curl_slist* grown = curl_slist_append(list, line.c_str())) list = grown;
}

void SuppressHeader(curl_slist*& list, const char* name) {
  const std::string line = std::string(name) + ":";
  if (curl_slist* grown = curl_slist_append(list, line.c_str())) list = grown;
}

std::string ProxyFor(const InternetObj& inet, bool secure) {
  // "http=host:port https=host:port" or "host:port"; blanks or ";" between.
  std::string plain;
  std::string text = inet.proxy;
  std::replace(text.begin(), text.end(), ';', ' ');
  for (const std::string& entry : SplitString(text, ' ')) {
    if (entry.empty()) continue;
    const auto eq = entry.find('=');
    if (eq == std::string::npos) {
      if (plain.empty()) plain = entry;
      continue;
    }
    const std::string scheme = AsciiLowerCase(entry.substr(0, eq));
    if (scheme == (secure ? "https" : "http")) return "http://" + entry.substr(eq + 1);
  }
  return plain.empty() ? std::string() : "http://" + plain;
}

std::string NoProxyList(const std::string& bypass) {
  std::string out;
  std::string text = bypass;
  std::replace(text.begin(), text.end(), ';', ' ');
  for (const std::string& entry : SplitString(text, ' ')) {
    if (entry.empty() || entry == "<local>") continue;  // curl has no "<local>"
    if (!out.empty()) out += ',';
    out += entry;
  }
  return out;
}

}  // namespace

// === public functions =====================================================================

HINTERNET InternetOpen(std::string_view userAgent, std::uint32_t accessType, std::string_view proxy,
                       std::string_view bypass, std::uint32_t) {
  EnsureCurl();
  if (accessType != INTERNET_OPEN_TYPE_PRECONFIG && accessType != INTERNET_OPEN_TYPE_DIRECT &&
      accessType != INTERNET_OPEN_TYPE_PROXY) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (accessType == INTERNET_OPEN_TYPE_PROXY && TrimView(proxy).empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!IsSafeHeaderValue(userAgent)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto obj = std::make_shared<InternetObj>();
  obj->agent = std::string(userAgent);
  obj->accessType = accessType;
  obj->proxy = std::string(proxy);
  obj->bypass = std::string(bypass);
  return Register(std::move(obj));
}

HINTERNET InternetConnect(HINTERNET internet, std::string_view server, std::uint16_t port,
                          std::string_view userName, std::string_view password,
                          std::uint32_t service, std::uint32_t, std::uintptr_t) {
  auto inet = FindAs<InternetObj>(internet, Kind::Internet);
  if (!inet) return nullptr;
  if (service != INTERNET_SERVICE_HTTP) {
    SetLastError(ERROR_INTERNET_INVALID_OPERATION);
    return nullptr;
  }
  const std::optional<std::string> host = UrlHostOf(server);
  if (!host) {
    SetLastError(ERROR_INTERNET_INVALID_URL);
    return nullptr;
  }
  auto obj = std::make_shared<ConnectObj>();
  obj->internet = inet;
  obj->urlHost = *host;
  std::string plain = *host;
  if (plain.size() > 1 && plain.front() == '[') plain = plain.substr(1, plain.size() - 2);
  obj->mapHost = AsciiLowerCase(plain);
  obj->port = port;
  obj->user = std::string(userName);
  obj->password = std::string(password);
  {
    std::lock_guard lock(inet->mutex);
    obj->timeouts = inet->timeouts;
  }
  return Register(std::move(obj));
}

HINTERNET HttpOpenRequest(HINTERNET connect, std::string_view verb, std::string_view object,
                          std::string_view version, std::string_view referrer,
                          const char* const* acceptTypes, std::uint32_t flags, std::uintptr_t) {
  auto conn = FindAs<ConnectObj>(connect, Kind::Connect);
  if (!conn) return nullptr;
  const std::string method = verb.empty() ? std::string("GET") : std::string(verb);
  if (!IsHttpToken(method) || (!version.empty() && version != "HTTP/1.1") ||
      !IsSafeHeaderValue(referrer)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto obj = std::make_shared<RequestObj>();
  obj->connect = conn;
  obj->verb = method;
  obj->target = EncodeRequestTarget(object);
  obj->flags = flags;
  obj->secure = (flags & INTERNET_FLAG_SECURE) != 0;
  obj->referrer = std::string(referrer);
  if (acceptTypes) {
    for (const char* const* p = acceptTypes; *p; ++p) {
      const std::string_view type(*p);
      if (type.find_first_of(std::string_view("\r\n", 2)) != std::string_view::npos) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
      }
      if (!obj->accept.empty()) obj->accept += ", ";
      obj->accept += type;
    }
  }
  if (flags & INTERNET_FLAG_IGNORE_CERT_CN_INVALID)
    obj->securityFlags |= SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
  if (flags & INTERNET_FLAG_IGNORE_CERT_DATE_INVALID)
    obj->securityFlags |= SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
  {
    std::lock_guard lock(conn->mutex);
    obj->timeouts = conn->timeouts;
  }
  const std::uint16_t port = conn->port ? conn->port : DefaultPort(obj->secure);
  obj->url = std::string(obj->secure ? "https://" : "http://") + conn->urlHost + ":" +
             std::to_string(port) + obj->target;
  return Register(std::move(obj));
}

bool InternetCloseHandle(HINTERNET handle) {
  std::shared_ptr<HandleBase> object;
  {
    HandleTable& t = Handles();
    std::lock_guard lock(t.mutex);
    const auto it = t.handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == t.handles.end()) return Fail(ERROR_INVALID_HANDLE);
    object = std::move(it->second);
    t.handles.erase(it);
  }
  // A thread still driving this request's transfer holds a reference of its
  // own: tell it to stop now rather than at its next time-out.
  if (object->kind == Kind::Request) static_cast<RequestObj&>(*object).WakeForClose();
  // The transfer (and its connection, when unfinished) goes with the last
  // reference, outside the table's lock.
  object.reset();
  return true;
}

bool HttpAddRequestHeaders(HINTERNET request, std::string_view headers, std::uint32_t modifiers) {
  auto r = FindAs<RequestObj>(request, Kind::Request);
  if (!r) return false;
  if (const std::uint32_t error = ApplyHeaderLines(r->headers, headers, modifiers))
    return Fail(error);
  return true;
}

bool HttpSendRequest(HINTERNET request, std::string_view extraHeaders, const void* data,
                     std::size_t length) {
  auto r = FindAs<RequestObj>(request, Kind::Request);
  if (!r) return false;
  ClearLastResponseInfo();
  r->SetTransfer(nullptr);  // the previous answer and the unread rest of its body
  if (gOffline.load()) return Fail(ERROR_INTERNET_DISCONNECTED);
  if (length && !data) return Fail(ERROR_INVALID_PARAMETER);

  std::vector<HttpHeader> headers = r->headers;
  if (!extraHeaders.empty())
    if (const std::uint32_t error = ApplyHeaderLines(
            headers, extraHeaders, HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE))
      return Fail(error);

  auto t = std::make_unique<Transfer>();
  Transfer& x = *t;
  x.secure = r->secure;
  x.follow = (r->flags & INTERNET_FLAG_NO_AUTO_REDIRECT) == 0;
  x.url = r->url;
  if (length) x.body.assign(static_cast<const char*>(data), length);
  x.decodeWanted = r->decoding;
  x.clientCertMark = tClientCertRefusals;
  x.chainMark = tChainRefusals;

  // The layer frames the body: a caller's Content-Length must agree with it.
  if (auto it = FindHeaderIt(headers, "Content-Length"); it != headers.end()) {
    if (it->value != std::to_string(x.body.size())) return Fail(ERROR_HTTP_INVALID_HEADER);
    headers.erase(it);
  }
  const std::string& verb = r->verb;
  const bool isGet = verb == "GET", isHead = verb == "HEAD", isPost = verb == "POST";
  const bool sendBody = !x.body.empty() || isPost || verb == "PUT" || verb == "PATCH";

  curl_slist*& list = x.headerList;
  for (const HttpHeader& h : headers) AppendHeader(list, h.name, h.value);
  if (!FindHeader(headers, "Accept")) {
    if (!r->accept.empty())
      AppendHeader(list, "Accept", r->accept);
    else
      SuppressHeader(list, "Accept");
  }
  if (!r->referrer.empty() && !FindHeader(headers, "Referer"))
    AppendHeader(list, "Referer", r->referrer);
  if (r->flags & INTERNET_FLAG_PRAGMA_NOCACHE) {
    if (!FindHeader(headers, "Pragma")) AppendHeader(list, "Pragma", "no-cache");
    if (!FindHeader(headers, "Cache-Control")) AppendHeader(list, "Cache-Control", "no-cache");
  }
  if (x.decodeWanted && !FindHeader(headers, "Accept-Encoding"))
    AppendHeader(list, "Accept-Encoding", "gzip, deflate");
  if (sendBody && !FindHeader(headers, "Content-Type")) SuppressHeader(list, "Content-Type");
  SuppressHeader(list, "Expect");

  std::uint32_t relax = r->securityFlags & kRelaxMask;
  if (r->noClientCert) relax |= kRelaxNoClientCert;
  EasyConfig config;
  config.secure = x.secure;
  config.follow = x.follow;
  config.allowDowngrade = (r->securityFlags & SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTP) != 0;
  config.connectTimeoutMs = r->timeouts.connect;
  config.ignoreHostName = (relax & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) != 0;
  {
    const InternetObj& inet = *r->connect->internet;
    std::lock_guard lock(r->connect->internet->mutex);
    config.userAgent = inet.agent;
    if (inet.accessType == INTERNET_OPEN_TYPE_DIRECT) {
      config.proxyMode = ProxyMode::None;
    } else if (inet.accessType == INTERNET_OPEN_TYPE_PROXY) {
      config.proxyMode = ProxyMode::Explicit;
      config.proxy = ProxyFor(inet, x.secure);
      config.noProxy = NoProxyList(inet.bypass);
    }
  }
  std::optional<std::uint16_t> mapped;
  const std::uint16_t port = r->connect->port ? r->connect->port : DefaultPort(x.secure);
  {
    Settings& s = TheSettings();
    std::lock_guard lock(s.mutex);
    config.trust = s.trust;
    const auto it = s.hostMap.find(r->connect->mapHost + ":" + std::to_string(port));
    if (it != s.hostMap.end()) mapped = it->second;
  }

  x.pool = PoolFor(relax);
  x.easy = curl_easy_init();
  x.multi = curl_multi_init();
  if (!x.pool || !x.pool->share || !x.easy || !x.multi) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  CURL* e = x.easy;
  ApplyEasyConfig(e, config);
  curl_easy_setopt(e, CURLOPT_URL, x.url.c_str());
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(e, CURLOPT_SHARE, x.pool->share);
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kReceiveBuffer);
  curl_easy_setopt(e, CURLOPT_PRIVATE, &x);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &HeaderCallback);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, &x);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &WriteCallback);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &x);
  curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &ProgressCallback);
  curl_easy_setopt(e, CURLOPT_XFERINFODATA, &x);
  curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, &PrereqCallback);
  curl_easy_setopt(e, CURLOPT_PREREQDATA, &x);
  curl_easy_setopt(e, CURLOPT_DEBUGFUNCTION, &DebugCallback);
  curl_easy_setopt(e, CURLOPT_DEBUGDATA, &x);
  curl_easy_setopt(e, CURLOPT_VERBOSE, 1L);  // only so that the sent headers reach DebugCallback
  curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  // The certificate leniency of this request and the per-thread record of
  // refused chains (see VerifyCallback) are this layer's own: a send runs
  // alone on its thread, so the record tells this send's fault.
  curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, &SslContextCallback);
  curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, const_cast<TlsPolicy*>(PolicyFor(relax)));
  if (mapped) {
    const std::string entry =
        r->connect->urlHost + ":" + std::to_string(port) + ":127.0.0.1:" + std::to_string(*mapped);
    x.connectTo = curl_slist_append(nullptr, entry.c_str());
    curl_easy_setopt(e, CURLOPT_CONNECT_TO, x.connectTo);
  }
  if (!r->connect->user.empty() || !r->connect->password.empty()) {
    curl_easy_setopt(e, CURLOPT_USERNAME, r->connect->user.c_str());
    curl_easy_setopt(e, CURLOPT_PASSWORD, r->connect->password.c_str());
  }
  x.cookies = (r->flags & INTERNET_FLAG_NO_COOKIES) == 0;
  if (x.cookies) {
    curl_easy_setopt(e, CURLOPT_COOKIEFILE, "");
    std::vector<std::pair<std::string, std::string>> lines;
    {
      CookieJar& jar = Jar();
      std::lock_guard lock(jar.mutex);
      lines.assign(jar.lines.begin(), jar.lines.end());
    }
    for (const auto& [key, line] : lines) {
      curl_easy_setopt(e, CURLOPT_COOKIELIST, line.c_str());
      x.importedKeys.insert(key);
    }
  }
  if (isHead) {
    curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
  } else if (isGet && x.body.empty()) {
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  } else {
    // POST goes through curl's own POST so that a 301/302/303 turns it into a
    // GET as browsers do; other methods keep their name on redirects.
    if (isPost)
      curl_easy_setopt(e, CURLOPT_POST, 1L);
    else
      curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, verb.c_str());
    if (sendBody) {
      curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(x.body.size()));
      curl_easy_setopt(e, CURLOPT_POSTFIELDS, x.body.data());
    }
  }
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, x.headerList);

  if (curl_multi_add_handle(x.multi, e) != CURLM_OK) return Fail(ERROR_INTERNET_INTERNAL_ERROR);
  x.attached = true;
  x.closed = r->closed;
  r->SetTransfer(std::move(t));
  return Drive(*r->transfer, r->timeouts, Want::Headers);
}

bool InternetReadFile(HINTERNET request, void* buffer, std::uint32_t toRead, std::uint32_t& read) {
  read = 0;
  auto r = FindAs<RequestObj>(request, Kind::Request);
  if (!r) return false;
  if (!r->transfer || !r->transfer->headersDone) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  if (toRead && !buffer) return Fail(ERROR_INVALID_PARAMETER);
  Transfer& t = *r->transfer;
  if (t.failure && t.Available() == 0) return Fail(t.failure);
  if (toRead == 0) return true;
  char* out = static_cast<char*>(buffer);
  for (;;) {
    Pump(t);
    if (t.coding == Coding::None) {
      if (t.Available() > 0) {
        const std::size_t n = std::min<std::size_t>(toRead, t.Available());
        std::memcpy(out, t.buf.data() + t.pos, n);
        t.Consume(n);
        read = static_cast<std::uint32_t>(n);
        return true;
      }
    } else if (t.Available() > 0) {
      // Deciding between zlib and raw deflate takes two bytes.
      if (!t.zsReady && t.coding == Coding::Deflate && t.Available() < 2 && !t.finished) {
        if (!Drive(t, r->timeouts, Want::Data, 2)) return false;
        continue;
      }
      std::uint32_t produced = 0;
      if (!Inflate(t, out, toRead, produced)) return Fail(t.failure);
      if (produced > 0) {
        read = produced;
        return true;
      }
      if (t.Available() > 0) continue;  // the end of a member, with more after it
    }
    if (t.finished && t.Available() == 0) {
      if (t.failure) return Fail(t.failure);
      if (t.result != CURLE_OK) {
        t.failure = FailureOf(t);
        return Fail(t.failure);
      }
      if (t.coding != Coding::None && t.bodyBytes > 0 && !t.zsEnded) {
        t.failure = ERROR_INTERNET_DECODING_FAILED;  // cut off inside the compressed data
        return Fail(t.failure);
      }
      return true;  // the end
    }
    if (!Drive(t, r->timeouts, Want::Data)) return false;
  }
}

bool InternetQueryDataAvailable(HINTERNET request, std::uint32_t& available) {
  available = 0;
  auto r = FindAs<RequestObj>(request, Kind::Request);
  if (!r) return false;
  if (!r->transfer || !r->transfer->headersDone) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  Transfer& t = *r->transfer;
  if (t.Available() == 0) {
    if (!Drive(t, r->timeouts, Want::Data)) return false;
    if (t.Available() == 0 && t.finished && t.result != CURLE_OK) {
      t.failure = FailureOf(t);
      return Fail(t.failure);
    }
  }
  available = static_cast<std::uint32_t>(std::min<std::size_t>(t.Available(), kReadAhead));
  return true;
}

bool HttpQueryInfo(HINTERNET request, std::uint32_t infoLevel, void* buffer,
                   std::uint32_t& bufferLength, std::uint32_t* index) {
  auto r = FindAs<RequestObj>(request, Kind::Request);
  if (!r) return false;
  const std::uint32_t level = infoLevel & HTTP_QUERY_HEADER_MASK;
  const bool fromRequest = (infoLevel & HTTP_QUERY_FLAG_REQUEST_HEADERS) != 0;
  const std::uint32_t occurrence = index ? *index : 0;

  // The lines to answer from: the answer's, or the request's as last sent
  // (as it would be sent, before the first send).
  HttpHead sent;
  const HttpHead* source = nullptr;
  if (fromRequest) {
    std::string block;
    if (r->transfer && !r->transfer->sentHeaders.empty()) {
      block = r->transfer->sentHeaders;
    } else {
      block = r->verb + " " + r->target + " HTTP/1.1\r\n";
      for (const HttpHeader& h : r->headers) block += h.name + ": " + h.value + "\r\n";
    }
    bool first = true;
    for (std::string line : SplitLines(block)) {
      if (line.empty()) continue;
      sent.lines.push_back(line);
      if (first) {
        first = false;
        continue;
      }
      const auto colon = line.find(':');
      if (colon != std::string::npos)
        sent.headers.push_back({line.substr(0, colon), Trim(line.substr(colon + 1))});
    }
    source = &sent;
  } else {
    if (!r->transfer || !r->transfer->headersDone)
      return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    source = &r->transfer->response;
  }

  std::string value;
  switch (level) {
    case HTTP_QUERY_RAW_HEADERS_CRLF:
      for (const std::string& line : source->lines) value += line + "\r\n";
      value += "\r\n";
      break;
    case HTTP_QUERY_RAW_HEADERS:
      for (const std::string& line : source->lines) {
        value += line;
        value += '\0';
      }
      value += '\0';
      break;
    case HTTP_QUERY_VERSION:
      if (fromRequest) return Fail(ERROR_HTTP_INVALID_QUERY_REQUEST);
      value = source->version;
      break;
    case HTTP_QUERY_STATUS_CODE:
      if (fromRequest) return Fail(ERROR_HTTP_INVALID_QUERY_REQUEST);
      value = std::to_string(source->status);
      break;
    case HTTP_QUERY_STATUS_TEXT:
      if (fromRequest) return Fail(ERROR_HTTP_INVALID_QUERY_REQUEST);
      value = source->statusText;
      break;
    case HTTP_QUERY_REQUEST_METHOD:
      if (!fromRequest) return Fail(ERROR_HTTP_INVALID_QUERY_REQUEST);
      value = r->verb;
      break;
    default: {
      std::string name;
      if (level == HTTP_QUERY_CUSTOM) {
        if (!buffer) return Fail(ERROR_INVALID_PARAMETER);
        const char* p = static_cast<const char*>(buffer);
        name.assign(p, strnlen(p, bufferLength));
        if (!IsHttpToken(name)) return Fail(ERROR_HTTP_INVALID_QUERY_REQUEST);
      } else {
        name = std::string(HttpQueryHeaderName(level));
        if (name.empty()) return Fail(ERROR_HTTP_INVALID_QUERY_REQUEST);
      }
      const HttpHeader* h = FindHeader(source->headers, name, occurrence);
      if (!h) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
      value = h->value;
    }
  }

  if (infoLevel & (HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_FLAG_NUMBER64)) {
    const bool wide = (infoLevel & HTTP_QUERY_FLAG_NUMBER64) != 0;
    const std::string text = Trim(value);
    if (text.empty() || text.size() > 20) return Fail(ERROR_HTTP_INVALID_HEADER);
    std::uint64_t n = 0;
    for (char c : text) {
      if (c < '0' || c > '9') return Fail(ERROR_HTTP_INVALID_HEADER);
      const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
      if (n > (UINT64_MAX - digit) / 10) return Fail(ERROR_HTTP_INVALID_HEADER);
      n = n * 10 + digit;
    }
    if (wide) {
      if (!WriteValue(buffer, bufferLength, &n, sizeof n)) return false;
    } else {
      if (n > UINT32_MAX) return Fail(ERROR_HTTP_INVALID_HEADER);
      const auto n32 = static_cast<std::uint32_t>(n);
      if (!WriteValue(buffer, bufferLength, &n32, sizeof n32)) return false;
    }
  } else if (infoLevel & HTTP_QUERY_FLAG_SYSTEMTIME) {
    const std::optional<CivilTime> time = ParseHttpDate(value);
    if (!time) return Fail(ERROR_HTTP_INVALID_HEADER);
    if (!WriteValue(buffer, bufferLength, &*time, sizeof(CivilTime))) return false;
  } else {
    if (value.size() + 1 > UINT32_MAX) return Fail(ERROR_INSUFFICIENT_BUFFER);
    const auto needed = static_cast<std::uint32_t>(value.size() + 1);
    if (!buffer || bufferLength < needed) {
      bufferLength = needed;
      return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(buffer, value.data(), value.size());
    static_cast<char*>(buffer)[value.size()] = '\0';
    bufferLength = static_cast<std::uint32_t>(value.size());
  }
  if (index) ++*index;
  return true;
}

bool InternetSetOption(HINTERNET handle, std::uint32_t option, const void* buffer,
                       std::uint32_t length) {
  if (!handle) {
    if (option != INTERNET_OPTION_CONNECTED_STATE) return Fail(ERROR_INTERNET_INVALID_OPTION);
    std::uint32_t state = 0;
    if (!ReadU32(buffer, length, state)) return false;
    if (state & INTERNET_STATE_DISCONNECTED_BY_USER)
      gOffline = true;
    else if (state & INTERNET_STATE_CONNECTED)
      gOffline = false;
    else
      return Fail(ERROR_INVALID_PARAMETER);
    return true;
  }
  std::shared_ptr<HandleBase> h = Find(handle);
  if (!h) return false;
  std::lock_guard lock(h->mutex);
  if (Timeouts* timeouts = TimeoutsOf(*h); std::uint32_t* field = TimeoutField(*timeouts, option)) {
    std::uint32_t value = 0;
    if (!ReadU32(buffer, length, value)) return false;
    *field = value;
    return true;
  }
  switch (option) {
    case INTERNET_OPTION_HANDLE_TYPE:
    case INTERNET_OPTION_URL:
      return Fail(ERROR_INTERNET_OPTION_NOT_SETTABLE);
    case INTERNET_OPTION_CONNECTED_STATE:
      return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    case INTERNET_OPTION_USER_AGENT: {
      if (h->kind != Kind::Internet) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
      const std::string_view agent(static_cast<const char*>(buffer), buffer ? length : 0);
      if (!IsSafeHeaderValue(agent)) return Fail(ERROR_INVALID_PARAMETER);
      static_cast<InternetObj&>(*h).agent = std::string(agent);
      return true;
    }
    case INTERNET_OPTION_SECURITY_FLAGS: {
      if (h->kind != Kind::Request) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
      std::uint32_t value = 0;
      if (!ReadU32(buffer, length, value)) return false;
      static_cast<RequestObj&>(*h).securityFlags = value & ~SECURITY_FLAG_SECURE;
      return true;
    }
    case INTERNET_OPTION_SECURITY_SELECT_CLIENT_CERT:
      if (h->kind != Kind::Request) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
      if (buffer || length) return Fail(ERROR_INVALID_PARAMETER);  // no certificates to choose
      static_cast<RequestObj&>(*h).noClientCert = true;
      return true;
    case INTERNET_OPTION_HTTP_DECODING: {
      if (h->kind != Kind::Request) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
      std::uint32_t value = 0;
      if (!ReadU32(buffer, length, value)) return false;
      static_cast<RequestObj&>(*h).decoding = value != 0;
      return true;
    }
    default:
      return Fail(ERROR_INTERNET_INVALID_OPTION);
  }
}

bool InternetQueryOption(HINTERNET handle, std::uint32_t option, void* buffer,
                         std::uint32_t& length) {
  if (!handle) {
    if (option != INTERNET_OPTION_CONNECTED_STATE) return Fail(ERROR_INTERNET_INVALID_OPTION);
    const std::uint32_t state = gOffline.load() ? std::uint32_t{INTERNET_STATE_DISCONNECTED_BY_USER}
                                                : std::uint32_t{INTERNET_STATE_CONNECTED};
    return WriteValue(buffer, length, &state, sizeof state);
  }
  std::shared_ptr<HandleBase> h = Find(handle);
  if (!h) return false;
  std::lock_guard lock(h->mutex);
  if (Timeouts* timeouts = TimeoutsOf(*h); std::uint32_t* field = TimeoutField(*timeouts, option))
    return WriteValue(buffer, length, field, sizeof *field);
  switch (option) {
    case INTERNET_OPTION_HANDLE_TYPE: {
      std::uint32_t type = INTERNET_HANDLE_TYPE_HTTP_REQUEST;
      if (h->kind == Kind::Internet) type = INTERNET_HANDLE_TYPE_INTERNET;
      if (h->kind == Kind::Connect) type = INTERNET_HANDLE_TYPE_CONNECT_HTTP;
      return WriteValue(buffer, length, &type, sizeof type);
    }
    case INTERNET_OPTION_USER_AGENT: {
      if (h->kind != Kind::Internet) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
      const std::string& agent = static_cast<InternetObj&>(*h).agent;
      return WriteValue(buffer, length, agent.data(), static_cast<std::uint32_t>(agent.size()));
    }
    case INTERNET_OPTION_URL: {
      if (h->kind != Kind::Request) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
      const std::string& url = static_cast<RequestObj&>(*h).url;
      return WriteValue(buffer, length, url.data(), static_cast<std::uint32_t>(url.size()));
    }
    case INTERNET_OPTION_SECURITY_FLAGS: {
      if (h->kind != Kind::Request) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
      const auto& r = static_cast<RequestObj&>(*h);
      std::uint32_t flags = r.securityFlags;
      if (r.secure) flags |= SECURITY_FLAG_SECURE;
      return WriteValue(buffer, length, &flags, sizeof flags);
    }
    case INTERNET_OPTION_HTTP_DECODING: {
      if (h->kind != Kind::Request) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
      const std::uint32_t on = static_cast<RequestObj&>(*h).decoding ? 1 : 0;
      return WriteValue(buffer, length, &on, sizeof on);
    }
    case INTERNET_OPTION_CONNECTED_STATE:
      return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    case INTERNET_OPTION_SECURITY_SELECT_CLIENT_CERT:
      return Fail(ERROR_INTERNET_INVALID_OPERATION);
    default:
      return Fail(ERROR_INTERNET_INVALID_OPTION);
  }
}

InternetErrorDialogHook SetInternetErrorDialogHook(InternetErrorDialogHook hook) {
  Settings& s = TheSettings();
  std::lock_guard lock(s.mutex);
  std::swap(s.dialogHook, hook);
  return hook;
}

std::uint32_t InternetErrorDlg(WindowHandle owner, HINTERNET request, std::uint32_t error,
                               std::uint32_t flags) {
  auto r = FindAs<RequestObj>(request, Kind::Request);
  if (error == ERROR_SUCCESS && (flags & FLAGS_ERROR_UI_FILTER_FOR_ERRORS)) {
    // Only an authentication challenge gives the dialogue something to ask.
    const int status =
        r && r->transfer && r->transfer->headersDone ? r->transfer->response.status : 0;
    if (status != 401 && status != 407) return ERROR_SUCCESS;
  }
  InternetErrorDialogHook hook;
  {
    Settings& s = TheSettings();
    std::lock_guard lock(s.mutex);
    hook = s.dialogHook;
  }
  const std::uint32_t answer = hook ? hook(owner, request, error, flags) : ERROR_CANCELLED;
  // Done means the user accepted the problem; force retry only asks to try
  // again as things are.
  if (answer == ERROR_SUCCESS && (flags & FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS) && r) {
    std::lock_guard lock(r->mutex);
    switch (error) {
      case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
        r->securityFlags |= SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
        break;
      case ERROR_INTERNET_SEC_CERT_CN_INVALID:
        r->securityFlags |= SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
        break;
      case ERROR_INTERNET_INVALID_CA:
        r->securityFlags |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;
        break;
      case ERROR_INTERNET_SEC_CERT_REV_FAILED:
      case ERROR_INTERNET_SEC_CERT_REVOKED:
        r->securityFlags |= SECURITY_FLAG_IGNORE_REVOCATION;
        break;
      case ERROR_INTERNET_HTTP_TO_HTTPS_ON_REDIR:
        r->securityFlags |= SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTPS;
        break;
      case ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR:
        r->securityFlags |= SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTP;
        break;
      case ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED:
        r->noClientCert = true;
        break;
      default:
        break;
    }
  }
  return answer;
}

InternetGoOnlineHook SetInternetGoOnlineHook(InternetGoOnlineHook hook) {
  Settings& s = TheSettings();
  std::lock_guard lock(s.mutex);
  std::swap(s.onlineHook, hook);
  return hook;
}

bool InternetGoOnline(std::string_view url, WindowHandle owner) {
  InternetGoOnlineHook hook;
  {
    Settings& s = TheSettings();
    std::lock_guard lock(s.mutex);
    hook = s.onlineHook;
  }
  const bool yes = hook ? hook(url, owner) : true;
  if (yes) gOffline = false;
  return yes;
}

void InternetSetTrust(const InternetTrust& trust) {
  Settings& s = TheSettings();
  std::lock_guard lock(s.mutex);
  s.trust = trust;
  ++gTrustGeneration;
}

InternetTrust InternetGetTrust() {
  Settings& s = TheSettings();
  std::lock_guard lock(s.mutex);
  return s.trust;
}

void InternetMapHostToLoopback(std::string_view host, std::uint16_t port, std::uint16_t localPort) {
  std::string plain(host);
  if (plain.size() > 1 && plain.front() == '[' && plain.back() == ']')
    plain = plain.substr(1, plain.size() - 2);
  Settings& s = TheSettings();
  std::lock_guard lock(s.mutex);
  s.hostMap[AsciiLowerCase(plain) + ":" + std::to_string(port)] = localPort;
}

void InternetClearHostMappings() {
  Settings& s = TheSettings();
  std::lock_guard lock(s.mutex);
  s.hostMap.clear();
}

}  // namespace tarvo::platform
