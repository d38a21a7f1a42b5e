// The asynchronous HTTP client: one worker thread per client drives a curl
// multi handle; the worker enforces the limits itself and hands each finished
// request to the UI thread with a posted message that carries only its id, so
// a message that outlives its request (cancelled, client gone) finds nothing
// and does nothing. The easy-handle options, the reading of answer heads
// (with their size cap) and the failure codes are the HTTP layer's
// (InetInternal.h), so both clients make transfers the same way.
#include "platform/net/AsyncHttp.h"

#include <curl/curl.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/core/Errors.h"
#include "platform/core/Text.h"
#include "platform/net/Inet.h"
#include "platform/net/InetInternal.h"

namespace tarvo::platform {

using namespace inet_detail;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kCompletionMessage = WM_USER + 0x7A1;
// How long the worker sleeps at most between looks at its limits; a wake-up
// (new request, cancel, shutdown) ends the sleep at once.
constexpr int kPollMs = 20;

}  // namespace

// One request, shared by the caller's side and the worker.
struct Request {
  std::uint64_t id = 0;
  std::string url;
  bool secure = false;  // https: never redirected to plain HTTP
  AsyncHttpOptions options;
  InternetTrust trust;                 // the HTTP layer's, as it was when Get was called
  AsyncHttpClient::Completion onDone;  // moved out on the UI thread at delivery

  // Guarded by Shared::m.
  bool cancelRequested = false;
  bool completed = false;  // result holds the outcome; a message is on its way
  AsyncHttpResult result;

  // The worker's alone.
  CURL* easy = nullptr;
  Clock::time_point started{};
  Clock::time_point lastActivity{};
  bool tooLarge = false;
  HeadReader head;
  HttpHead answer;  // the last whole head: after the transfer, the final answer's
  std::string body;
};

struct AsyncHttpClient::Shared {
  explicit Shared(MessageQueue& q) : queue(q) {}

  MessageQueue& queue;
  WindowHandle target = 0;
  CURLM* multi = nullptr;

  mutable std::mutex m;
  std::map<std::uint64_t, std::shared_ptr<Request>> requests;  // not yet delivered
  std::deque<std::shared_ptr<Request>> toStart;
  bool stopping = false;
  bool stopped = false;
  std::uint64_t nextId = 1;
  std::thread worker;

  // Ends the worker's sleep. Called with m held, so that the multi handle
  // cannot go away meanwhile.
  void Wake() {
    if (multi) curl_multi_wakeup(multi);
  }
  void Run();
  void Finish(std::map<CURL*, std::shared_ptr<Request>>& active, const std::shared_ptr<Request>& r,
              std::uint32_t error, bool cancelled);
  void Deliver(std::uint64_t id);
};

// --- AsyncHttpResult ----------------------------------------------------------------

std::string AsyncHttpResult::Header(std::string_view name) const {
  for (const auto& [n, v] : headers)
    if (SameTextAscii(n, name)) return v;
  return {};
}

bool AsyncHttpResult::HasHeader(std::string_view name) const {
  for (const auto& h : headers)
    if (SameTextAscii(h.first, name)) return true;
  return false;
}

std::string AsyncHttpResult::ErrorText() const {
  return error == 0 ? std::string() : AsyncHttpErrorText(error);
}

std::string AsyncHttpErrorText(std::uint32_t code) {
  if (code >= INTERNET_ERROR_BASE && code <= INTERNET_ERROR_LAST) {
    std::string text = InternetErrorMessage(code);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (!text.empty() && text.back() == '.') text.pop_back();
    if (!text.empty()) return text;
  }
  return SysErrorMessage(code);
}

// --- curl callbacks (worker thread) ---------------------------------------------------

namespace {

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* r = static_cast<Request*>(user);
  const size_t n = size * count;
  r->lastActivity = Clock::now();
  switch (r->head.Feed(std::string_view(data, n))) {
    case HeadReader::Step::Overflow:
      return 0;  // curl fails the transfer with a write error
    case HeadReader::Step::BlockEnd:
      // Each head replaces the one before (a redirect, an interim 1xx): the
      // last one before the body is the final answer's.
      r->answer = std::move(r->head.pending);
      r->head.pending = HttpHead{};
      break;
    case HeadReader::Step::Line:
      break;
  }
  return n;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* r = static_cast<Request*>(user);
  const size_t n = size * count;
  r->lastActivity = Clock::now();
  if (r->options.maxBodyBytes != 0 && r->body.size() + n > r->options.maxBodyBytes) {
    r->tooLarge = true;
    return 0;  // curl fails the transfer with a write error
  }
  r->body.append(data, n);
  return n;
}

bool Expired(Clock::time_point since, std::uint32_t limitMs, Clock::time_point now) {
  return limitMs != 0 && now - since >= std::chrono::milliseconds(limitMs);
}

}  // namespace

// --- the worker -----------------------------------------------------------------------

void AsyncHttpClient::Shared::Finish(std::map<CURL*, std::shared_ptr<Request>>& active,
                                     const std::shared_ptr<Request>& r, std::uint32_t error,
                                     bool cancelled) {
  if (r->easy) {
    curl_multi_remove_handle(multi, r->easy);
    curl_easy_cleanup(r->easy);
    active.erase(r->easy);
    r->easy = nullptr;
  }
  AsyncHttpResult result;
  result.id = r->id;
  result.url = r->url;
  {
    std::lock_guard lock(m);
    cancelled = cancelled || r->cancelRequested;
    result.cancelled = cancelled;
    result.error = cancelled ? ERROR_INTERNET_OPERATION_CANCELLED : error;
    if (result.error == 0) {
      result.status = r->answer.status;
      result.statusText = std::move(r->answer.statusText);
      result.headers.reserve(r->answer.headers.size());
      for (HttpHeader& h : r->answer.headers)
        result.headers.emplace_back(std::move(h.name), std::move(h.value));
      result.body = std::move(r->body);
    }
    r->result = std::move(result);
    r->completed = true;
  }
  // Only the id travels: the handler looks the request up, so a message that
  // arrives after a cancel or a shutdown finds nothing.
  queue.Post(target, kCompletionMessage, 0, static_cast<std::intptr_t>(r->id));
}

void AsyncHttpClient::Shared::Run() {
  std::map<CURL*, std::shared_ptr<Request>> active;
  for (;;) {
    std::deque<std::shared_ptr<Request>> starting;
    std::vector<std::shared_ptr<Request>> cancelling;
    {
      std::lock_guard lock(m);
      if (stopping) break;
      starting.swap(toStart);
      for (auto& [easy, r] : active)
        if (r->cancelRequested) cancelling.push_back(r);
    }
    for (auto& r : cancelling) Finish(active, r, ERROR_INTERNET_OPERATION_CANCELLED, true);

    for (auto& r : starting) {
      bool cancelled;
      {
        std::lock_guard lock(m);
        cancelled = r->cancelRequested;
      }
      if (cancelled) {
        Finish(active, r, ERROR_INTERNET_OPERATION_CANCELLED, true);
        continue;
      }
      CURL* e = curl_easy_init();
      if (!e) {
        Finish(active, r, ERROR_NOT_ENOUGH_MEMORY, false);
        continue;
      }
      r->easy = e;
      r->started = r->lastActivity = Clock::now();
      // The defaults hold the rest: a secure request never follows a redirect
      // to plain HTTP (the bytes it fetches, a program to run, say, would
      // lose their TLS on the way), and proxies come from the environment.
      EasyConfig config;
      config.secure = r->secure;
      config.userAgent = r->options.userAgent;
      config.connectTimeoutMs = r->options.connectTimeoutMs;
      config.trust = r->trust;
      ApplyEasyConfig(e, config);
      curl_easy_setopt(e, CURLOPT_URL, r->url.c_str());
      curl_easy_setopt(e, CURLOPT_PRIVATE, r.get());
      curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &OnHeader);
      curl_easy_setopt(e, CURLOPT_HEADERDATA, r.get());
      curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &OnBody);
      curl_easy_setopt(e, CURLOPT_WRITEDATA, r.get());
      if (r->options.maxBodyBytes != 0)
        curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE,
                         static_cast<curl_off_t>(r->options.maxBodyBytes));
      if (curl_multi_add_handle(multi, e) != CURLM_OK) {
        Finish(active, r, ERROR_INTERNET_INTERNAL_ERROR, false);
        continue;
      }
      active.emplace(e, r);
    }

    int running = 0;
    curl_multi_perform(multi, &running);
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
      if (msg->msg != CURLMSG_DONE) continue;
      auto it = active.find(msg->easy_handle);
      if (it == active.end()) continue;
      std::shared_ptr<Request> r = it->second;
      const CURLcode code = msg->data.result;
      std::uint32_t error = 0;
      if (code == CURLE_OK) {
        error = 0;
      } else if (r->tooLarge || code == CURLE_FILESIZE_EXCEEDED) {
        error = ERROR_FILE_TOO_LARGE;
      } else {
        CurlFailure f;
        f.curlCode = code;
        curl_easy_getinfo(r->easy, CURLINFO_SSL_VERIFYRESULT, &f.verifyResult);
        long redirects = 0;
        curl_easy_getinfo(r->easy, CURLINFO_REDIRECT_COUNT, &redirects);
        f.redirected = redirects > 0;
        f.secureOrigin = r->secure;
        error = TransferFailure(r->head, f);
      }
      Finish(active, r, error, false);
    }

    // The limits: counted here, so that a server that trickles bytes or says
    // nothing at all cannot keep a request alive past them.
    const auto now = Clock::now();
    std::vector<std::shared_ptr<Request>> expired;
    for (auto& [easy, r] : active)
      if (Expired(r->lastActivity, r->options.idleTimeoutMs, now) ||
          Expired(r->started, r->options.totalTimeoutMs, now))
        expired.push_back(r);
    for (auto& r : expired) Finish(active, r, ERROR_INTERNET_TIMEOUT, false);

    // The short tick only serves the limits of running transfers; an idle
    // worker sleeps until Get, Cancel or Shutdown wakes it.
    curl_multi_poll(multi, nullptr, 0, active.empty() ? 3'600'000 : kPollMs, nullptr);
  }
  // Shutdown: drop every transfer without delivering anything.
  for (auto& [easy, r] : active) {
    curl_multi_remove_handle(multi, easy);
    curl_easy_cleanup(easy);
    r->easy = nullptr;
  }
}

void AsyncHttpClient::Shared::Deliver(std::uint64_t id) {
  std::shared_ptr<Request> r;
  {
    std::lock_guard lock(m);
    if (stopped) return;
    auto it = requests.find(id);
    if (it == requests.end() || !it->second->completed) return;
    r = it->second;
    requests.erase(it);
  }
  Completion onDone = std::move(r->onDone);
  if (onDone) onDone(r->result);
}

// --- the client -------------------------------------------------------------------------

AsyncHttpClient::AsyncHttpClient(MessageQueue& queue) : fShared(std::make_shared<Shared>(queue)) {
  EnsureCurl();
  // The handler holds the shared state, not the client: a completion may
  // destroy the client while the handler runs.
  std::weak_ptr<Shared> weak = fShared;
  fShared->target =
      queue.Register([weak](std::uint32_t msg, std::uintptr_t, std::intptr_t l) -> std::intptr_t {
        if (msg != kCompletionMessage) return 0;
        if (auto s = weak.lock()) s->Deliver(static_cast<std::uint64_t>(l));
        return 0;
      });
}

AsyncHttpClient::~AsyncHttpClient() {
  Shutdown();
}

std::uint64_t AsyncHttpClient::Get(const std::string& url, const AsyncHttpOptions& options,
                                   Completion onDone) {
  // A line break in the agent would end its header line and smuggle the
  // rest in as headers of the caller's choosing.
  if (!onDone || !IsSafeHeaderValue(options.userAgent)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // Refuse what cannot be fetched before anything starts, so the caller
  // learns it at once rather than in a completion.
  CURLU* u = curl_url();
  if (!u) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  std::uint32_t urlError = 0;
  bool secure = false;
  if (curl_url_set(u, CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
    urlError = ERROR_INTERNET_INVALID_URL;
  } else {
    char* scheme = nullptr;
    char* host = nullptr;
    if (curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK || !scheme ||
        (!SameTextAscii(scheme, "http") && !SameTextAscii(scheme, "https")))
      urlError = ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    else if (curl_url_get(u, CURLUPART_HOST, &host, 0) != CURLUE_OK || !host || !*host)
      urlError = ERROR_INTERNET_INVALID_URL;
    secure = scheme && SameTextAscii(scheme, "https");
    curl_free(scheme);
    curl_free(host);
  }
  curl_url_cleanup(u);
  if (urlError != 0) {
    SetLastError(urlError);
    return 0;
  }

  auto r = std::make_shared<Request>();
  r->url = url;
  r->secure = secure;
  r->options = options;
  r->trust = InternetGetTrust();
  r->onDone = std::move(onDone);
  Shared& s = *fShared;
  {
    std::lock_guard lock(s.m);
    if (s.stopping) {
      SetLastError(ERROR_INTERNET_SHUTDOWN);
      return 0;
    }
    if (!s.multi) {
      s.multi = curl_multi_init();
      if (!s.multi) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
      }
    }
    r->id = s.nextId++;
    s.requests.emplace(r->id, r);
    s.toStart.push_back(r);
    if (!s.worker.joinable()) s.worker = std::thread([&s] { s.Run(); });
    s.Wake();
  }
  return r->id;
}

bool AsyncHttpClient::Cancel(std::uint64_t id) {
  Shared& s = *fShared;
  {
    std::lock_guard lock(s.m);
    auto it = s.requests.find(id);
    if (it == s.requests.end()) return false;
    Request& r = *it->second;
    r.cancelRequested = true;
    if (r.completed && !r.result.cancelled) {
      // Finished but not delivered yet: it is delivered as cancelled, never as
      // an answer the caller no longer wants.
      r.result = AsyncHttpResult{};
      r.result.id = r.id;
      r.result.url = r.url;
      r.result.cancelled = true;
      r.result.error = ERROR_INTERNET_OPERATION_CANCELLED;
    }
    s.Wake();
  }
  return true;
}

std::size_t AsyncHttpClient::Pending() const {
  std::lock_guard lock(fShared->m);
  return fShared->requests.size();
}

void AsyncHttpClient::Shutdown() {
  Shared& s = *fShared;
  std::thread worker;
  std::map<std::uint64_t, std::shared_ptr<Request>> dropped;
  {
    std::lock_guard lock(s.m);
    if (s.stopped) return;
    s.stopping = true;
    s.stopped = true;
    worker.swap(s.worker);
    dropped.swap(s.requests);
    s.toStart.clear();
    s.Wake();
  }
  if (worker.joinable()) worker.join();
  {
    std::lock_guard lock(s.m);
    if (s.multi) curl_multi_cleanup(s.multi);
    s.multi = nullptr;
  }
  s.queue.Unregister(s.target);
  // The completions (and whatever they captured) go here, on the caller's
  // thread, not on the worker.
  dropped.clear();
}

}  // namespace tarvo::platform
