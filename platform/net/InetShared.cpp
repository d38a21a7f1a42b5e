// What the synchronous HTTP layer (Inet.cpp) and the asynchronous client
// (AsyncHttp.cpp) do alike with curl: the options every transfer is made
// with, the reading of answer heads with their size cap, and the code of a
// failed transfer. Kept in one place so that a security setting (protocols,
// redirect downgrade, certificate checks, trust) cannot differ between them.
#include <mutex>
#include <string>
#include <string_view>

#include "platform/core/Errors.h"
#include "platform/core/Text.h"
#include "platform/net/Inet.h"
#include "platform/net/InetInternal.h"

namespace tarvo::platform::inet_detail {

namespace {

// curl takes a connect time-out in a long of milliseconds; "no limit" is the
// largest that every platform's long holds (about 24 days).
constexpr long kNoConnectLimitMs = 0x7FFFFFFF;

}  // namespace

bool IsSafeHeaderValue(std::string_view s) noexcept {
  return s.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

void EnsureCurl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool ParseStatusLine(std::string_view line, HttpHead& head) {
  const auto sp1 = line.find(' ');
  if (sp1 == std::string_view::npos) return false;
  const std::string_view rest = line.substr(sp1 + 1);
  const auto sp2 = rest.find(' ');
  const std::string_view code = rest.substr(0, sp2);
  if (code.size() != 3) return false;
  int value = 0;
  for (char c : code) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  head.version = std::string(line.substr(0, sp1));
  head.status = value;
  head.statusText = sp2 == std::string_view::npos ? std::string() : Trim(rest.substr(sp2 + 1));
  return true;
}

HeadReader::Step HeadReader::Feed(std::string_view data) {
  if (fOverflow) return Step::Overflow;
  fBytes += data.size();
  if (fBytes > kMaxHeaderBytes) {
    fOverflow = true;
    return Step::Overflow;
  }
  std::string_view line = data;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.starts_with("HTTP/")) {
    pending = HttpHead{};
    fLast = Last::Other;
    if (ParseStatusLine(line, pending)) pending.lines.emplace_back(line);
    return Step::Line;
  }
  if (pending.status == 0) return Step::Line;  // trailers, or lines without a status line
  if (line.empty()) return Step::BlockEnd;
  if (line.front() == ' ' || line.front() == '\t') {  // folded continuation
    if (fLast == Last::Other) return Step::Line;
    if (fLast == Last::Named) {
      pending.headers.back().value += ' ';
      pending.headers.back().value += Trim(line);
    }
    pending.lines.back() += ' ';
    pending.lines.back() += Trim(line);
    return Step::Line;
  }
  const auto colon = line.find(':');
  if (colon == std::string_view::npos) {
    fLast = Last::Other;
    return Step::Line;
  }
  // A line without a name (": v") names no header anyone could ask for: it
  // stays among the raw lines only. A name is taken without the blanks
  // around it ("Name : v" is "Name"), so that a lookup by name finds it.
  pending.lines.emplace_back(line);
  if (colon == 0) {
    fLast = Last::Nameless;
    return Step::Line;
  }
  pending.headers.push_back({Trim(line.substr(0, colon)), Trim(line.substr(colon + 1))});
  fLast = Last::Named;
  return Step::Line;
}

void ApplyEasyConfig(CURL* e, const EasyConfig& c) {
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  // Upgrading a plain transfer to TLS on a redirect is harmless; the other
  // way round would leave TLS behind (a program fetched over TLS would
  // arrive without it), so it takes the caller's consent.
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR,
                   c.secure && !c.allowDowngrade ? "https" : "http,https");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, c.follow ? 1L : 0L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, kMaxRedirects);
  // Transfers run on threads of their own: no SIGALRM for name look-ups.
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS,
                   c.connectTimeoutMs ? static_cast<long>(c.connectTimeoutMs) : kNoConnectLimitMs);
  if (!c.userAgent.empty()) curl_easy_setopt(e, CURLOPT_USERAGENT, c.userAgent.c_str());

  curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, c.ignoreHostName ? 0L : 2L);
  if (!c.trust.caFile.empty()) curl_easy_setopt(e, CURLOPT_CAINFO, c.trust.caFile.c_str());
  if (!c.trust.crlFile.empty()) curl_easy_setopt(e, CURLOPT_CRLFILE, c.trust.crlFile.c_str());

  switch (c.proxyMode) {
    case ProxyMode::Environment:
      break;  // curl reads the variables itself
    case ProxyMode::None:
      curl_easy_setopt(e, CURLOPT_PROXY, "");
      break;
    case ProxyMode::Explicit:
      curl_easy_setopt(e, CURLOPT_PROXY, c.proxy.c_str());
      curl_easy_setopt(e, CURLOPT_NOPROXY, c.noProxy.c_str());
      break;
  }
}

std::uint32_t TransferFailure(const HeadReader& head, const CurlFailure& failure) noexcept {
  if (head.Overflowed()) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
  return InternetErrorFromCurl(failure);
}

}  // namespace tarvo::platform::inet_detail
