// Internal pieces of the HTTP service layer shared by its source files and by
// the asynchronous client (AsyncHttp.cpp). Not a public interface: code above
// the platform includes platform/net/Inet.h or platform/net/AsyncHttp.h only.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/DateTime.h"
#include "platform/net/Inet.h"

namespace tarvo::platform {

// --- what a failed transfer maps to ---------------------------------------------------

// What a failed curl transfer knew: the curl result code, the fault the
// certificate chain check refused (an OpenSSL X509_V_* code, 0 = none; with
// a failed verification and no chain fault — 0, or curl's own
// X509_V_ERR_UNSPECIFIED from its host-name check — the host name was
// wrong), whether the server asked for a client certificate that the request
// may not skip, and the tunnel answer of a proxy (0 = none), whether a
// redirect was being followed and whether the request started on TLS. The
// mapping is a fixed table:
//   time-out                          -> 12002
//   host or proxy name not resolved   -> 12007
//   cannot connect                    -> 12029
//   receive failure, body cut short   -> 12030
//   send failure                      -> 12031
//   nothing or garbage received       -> 12152
//   certificate date                  -> 12037 (also after a handshake failure)
//   certificate host name             -> 12038
//   unknown or untrusted authority    -> 12045
//   certificate revoked               -> 12170
//   revocation could not be checked   -> 12057
//   other certificate fault           -> 12169
//   client certificate requested      -> 12044
//   other TLS handshake failure       -> 12157
//   too many redirects                -> 12156
//   redirect to a disallowed scheme   -> 12040 from https, else 12048
//   answer without a status line      -> 12152
//   malformed URL                     -> 12005
//   content decoding failed           -> 12175
//   proxy refused the tunnel          -> 12003 (extended error)
//   cancelled by a callback           -> 12017
//   out of memory                     -> 8 (ERROR_NOT_ENOUGH_MEMORY)
//   anything else                     -> 12004 (internal error)
struct CurlFailure {
  int curlCode = 0;
  long verifyResult = 0;
  bool clientCertRequested = false;
  long proxyTunnelStatus = 0;
  bool redirected = false;
  bool secureOrigin = false;
};
std::uint32_t InternetErrorFromCurl(const CurlFailure& failure) noexcept;

}  // namespace tarvo::platform

namespace tarvo::platform::inet_detail {

// What kind of certificate fault an OpenSSL verification result names, so
// that the ignore flags and the error codes agree on one classification.
enum class CertFault {
  None,
  Date,               // not yet valid, expired
  Name,               // host name mismatch
  Authority,          // unknown, untrusted or invalid authority, self-signed
  Revoked,            // revoked
  RevocationUnknown,  // no usable revocation list
  Usage,              // certificate not meant for this purpose
  Other,
};
CertFault CertFaultOf(long x509VerifyResult) noexcept;

// The set of certificate checks a request relaxes. A private bit stands for
// "go on without a client certificate", which WinInet keeps as a separate
// option rather than a security flag.
inline constexpr std::uint32_t kRelaxNoClientCert = 0x00010000;
inline constexpr std::uint32_t kRelaxMask =
    0x00000080 | 0x00000100 | 0x00000200 | 0x00001000 | 0x00002000 | kRelaxNoClientCert;
bool RelaxesFault(std::uint32_t relaxBits, CertFault fault) noexcept;

// Sets the thread's extended response code and text
// (ERROR_INTERNET_EXTENDED_ERROR).
void SetLastResponseInfo(std::uint32_t code, std::string text);
void ClearLastResponseInfo();

// The request target as sent: illegal characters percent-encoded, "/" first.
std::string EncodeRequestTarget(std::string_view object);

// An HTTP date (RFC 1123, RFC 850, asctime) as UTC; nullopt when it does not
// parse or lies outside the years 1601-9999.
std::optional<CivilTime> ParseHttpDate(std::string_view text);

// True when s is an HTTP token (method or header name).
bool IsHttpToken(std::string_view s) noexcept;

// Validates a server name for InternetConnect and returns it as it goes into
// a URL (IPv6 addresses in brackets); nullopt when it cannot be a host.
std::optional<std::string> UrlHostOf(std::string_view server);

// True when s may go into a request header as it is: no CR, LF or NUL, which
// would end the line and let the rest pass as headers of its own.
bool IsSafeHeaderValue(std::string_view s) noexcept;

// --- curl transfers: what the synchronous layer and AsyncHttp share ------------------------

// Initialises libcurl once per process (thread-safe).
void EnsureCurl();

// The most redirects one transfer follows.
inline constexpr long kMaxRedirects = 10;
// The most bytes of answer headers one transfer takes, counted over all its
// header blocks (interim 1xx answers and redirects included). curl limits
// single lines; this limits the whole, so that a server cannot make a client
// hold headers without end. Past it the transfer fails with
// ERROR_HTTP_INVALID_SERVER_RESPONSE.
inline constexpr std::size_t kMaxHeaderBytes = 256 * 1024;

struct HttpHeader {
  std::string name, value;
};

// One answer's head: status line and header lines as received.
struct HttpHead {
  int status = 0;  // 0: no status line yet
  std::string version, statusText;
  std::vector<HttpHeader> headers;
  std::vector<std::string> lines;  // status line, then header lines as received
};

// "HTTP/1.1 200 OK" (the reason phrase may be missing) into head's version,
// status and statusText; false, with head untouched otherwise, when the line
// has no three-digit status.
bool ParseStatusLine(std::string_view line, HttpHead& head);

// Reads the header lines of one transfer as curl's header callback hands
// them over (one line per call, with its line break), and keeps the byte cap.
// Lines before a valid status line (and trailers after a block) are ignored;
// folded continuation lines join the header before them. A header's name is
// kept without the blanks around it ("Name : v" is "Name"). A line without a
// colon is dropped; one with nothing before it (": v") names no header and
// is kept among the raw lines only. HttpHead::lines holds the lines as they
// came (continuations joined). Not thread-safe:
// it belongs to the transfer and is fed by the thread that drives it.
class HeadReader {
 public:
  enum class Step {
    Line,      // taken (or ignored); go on
    BlockEnd,  // the empty line that ends a head: pending holds the whole head
    Overflow,  // past kMaxHeaderBytes: the callback must stop the transfer
  };
  Step Feed(std::string_view data);
  bool Overflowed() const noexcept { return fOverflow; }

  // The head being received; the next status line starts a new one. A caller
  // that keeps a head moves it out (pending is then empty again).
  HttpHead pending;

 private:
  // What the last line taken was, for a continuation line after it.
  enum class Last { Other, Named, Nameless };

  std::size_t fBytes = 0;
  bool fOverflow = false;
  Last fLast = Last::Other;
};

// Where a transfer's proxy comes from.
enum class ProxyMode {
  Environment,  // http_proxy, https_proxy, all_proxy, no_proxy as curl reads them
  None,         // connect directly
  Explicit,     // EasyConfig::proxy, with EasyConfig::noProxy bypassed
};

// The options every transfer of both clients is made with.
struct EasyConfig {
  bool secure = false;                 // the transfer starts on https
  bool follow = true;                  // follow redirects (at most kMaxRedirects)
  bool allowDowngrade = false;         // a secure transfer may follow a redirect to http
  std::string userAgent;               // empty: no User-Agent header
  std::uint32_t connectTimeoutMs = 0;  // 0: no limit
  ProxyMode proxyMode = ProxyMode::Environment;
  std::string proxy, noProxy;   // ProxyMode::Explicit: curl's "http://host:port" and list
  bool ignoreHostName = false;  // do not check the certificate's host name
  InternetTrust trust;          // the authorities and revocation list to check against
};

// Applies config to an easy handle: http and https only (also on redirects,
// where a secure transfer goes on to https only unless allowDowngrade),
// no signals (transfers run on threads other than the main one), peer
// verification against the trust, the host name check, time-out, user agent
// and proxy. The caller sets the URL, its callbacks and its own options.
void ApplyEasyConfig(CURL* easy, const EasyConfig& config);

// The Windows code of a failed transfer: a header block past the cap is an
// invalid answer, whatever curl made of the callback's refusal; anything else
// as InternetErrorFromCurl says.
std::uint32_t TransferFailure(const HeadReader& head, const CurlFailure& failure) noexcept;

}  // namespace tarvo::platform::inet_detail
