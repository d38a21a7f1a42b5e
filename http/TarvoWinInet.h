// The HTTP client of the toolkit: internet objects, sessions per server and
// port, and requests, over the platform's HTTP service (platform/net/Inet.h);
// plus the cookie storage that replaces the service's own cookie handling, and
// the evaluation of proxy settings.
//
//   TWinInternet inet("TARVO Trade");
//   TWinInetSession* session = inet.CreateSession("qds.example", 443, false, true);
//   auto request = session->CreateRequest("/api/data?x=1", "GET", &cookies);
//   request->AddHeader("Accept", "application/xml", true);
//   request->SendRequest(suiNever, 0, std::string_view());
//   request->ReadData(0);
//   int status = request->StatusCode();
//   const std::string& body = request->Data().Bytes();
//
// Failures of the service raise EWinInetError with the service's error code
// and the name of the failing service call; its message is
// "WinInet Error (<code>): <text> [<call>]".
//
// Ownership: a TWinInternet owns its sessions (destroying it destroys them; a
// session may also be destroyed alone). Requests belong to whoever created
// them and must be destroyed before their session. A TCookieStorage given to
// requests is not owned by them and must outlive them.
//
// Threads: a TWinInternet may be shared by threads (its session list is
// locked). A session and its requests are used by one thread at a time; a
// request is sent and read on the same thread. The progress callback runs on
// the reading thread. A TCookieStorage is shared freely: it locks itself.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/core/Sets.h"
#include "platform/net/Inet.h"
#include "platform/system/MessageQueue.h"

namespace tarvo {

class TWinInetRequest;
class TWinInetSession;
class TWinInternet;

// --- errors ------------------------------------------------------------------------------

// A failure of the HTTP service: the service's or the system's error code, the
// server's extended code (with code 12003), and the failing service call.
class EWinInetError : public std::runtime_error {
 public:
  // A failure with a message of its own (code 0), for the client's own rules.
  explicit EWinInetError(const std::string& message, std::uint32_t errCode = 0,
                         std::uint32_t errCodeEx = 0, std::string funcName = {});

  // From the thread's last error code.
  static EWinInetError CreateLastError(const std::string& funcName);
  // From a given code. With ERROR_INTERNET_EXTENDED_ERROR and an extended
  // response text of the service, the message is
  // "WinInet Extended Error (<extended code>): <response text> [<call>]";
  // otherwise "WinInet Error (<code>): <text> [<call>]" where the text is the
  // service's message for codes 12001-12175 (without its final "." and line
  // break) and the system's text for other codes.
  static EWinInetError CreateLastError(std::uint32_t errCode, const std::string& funcName);

  std::uint32_t ErrCode() const noexcept { return fErrCode; }
  std::uint32_t ErrCodeEx() const noexcept { return fErrCodeEx; }
  const std::string& FuncName() const noexcept { return fFuncName; }

 private:
  std::uint32_t fErrCode;
  std::uint32_t fErrCodeEx;
  std::string fFuncName;
};

// The text EWinInetError uses for a code: the service's message for codes
// 12001-12175 with trailing control characters, blanks and "." removed, the
// system's text (platform/core/Errors.h) for any other code or when the service has
// no message for it.
std::string WinInetErrorText(std::uint32_t code);

// --- handles ------------------------------------------------------------------------------

// Owns one handle of the service and closes it when destroyed.
class TWinInetHandle {
 public:
  TWinInetHandle() = default;
  virtual ~TWinInetHandle();
  TWinInetHandle(const TWinInetHandle&) = delete;
  TWinInetHandle& operator=(const TWinInetHandle&) = delete;

  platform::HINTERNET Handle() const noexcept { return FHandle; }

  // Options of the service (platform/net/Inet.h). The text form passes the bytes
  // of the text; an empty text sets nothing. Failure: "InternetSetOption".
  void SetOption(std::uint32_t option, std::uint32_t value);
  void SetOption(std::uint32_t option, std::string_view value);
  void SetOption(std::uint32_t option, const void* buffer, std::uint32_t length);
  // A 32-bit option; an option whose value is not four bytes is a failure
  // ("InternetQueryOption").
  std::uint32_t GetOption(std::uint32_t option) const;

 protected:
  platform::HINTERNET FHandle = nullptr;
};

// --- security flags ---------------------------------------------------------------------

// Certificate problems a session accepts without asking.
enum TSecurityFlag : std::uint8_t {
  sfIgnoreCertCN,          // the certificate names another host
  sfIgnoreCertDate,        // expired or not yet valid
  sfIgnoreCertRevocation,  // revoked, or revocation unknown
  sfIgnoreClientCert,      // the server asks for a client certificate
};

using TSecurityFlags = TEnumSet<TSecurityFlag, std::uint8_t>;

// --- the internet object --------------------------------------------------------------------

class TWinInternet : public TWinInetHandle {
 public:
  // Opens the service with the user agent and the platform's proxy
  // configuration. Failure: "InternetOpen".
  explicit TWinInternet(std::string_view userAgent);
  // Destroys every session (under the list's lock), then closes the handle.
  ~TWinInternet() override;

  // A session for server and port. Unless unique, an owned session with the
  // same server name (compared exactly) and port is looked for, newest first:
  // it is returned when its Secure matches, and when it does not the error
  // "Could not create same secure and unsecure sessions at the time!" is
  // raised. Otherwise a new session is created and owned. The search runs
  // under the list's lock. Failure of the service: "InternetConnect".
  TWinInetSession* CreateSession(std::string_view server, std::uint16_t port, bool unique,
                                 bool secure);
  // Takes a session out of the list without destroying it (its destructor
  // calls this).
  void RemoveSession(TWinInetSession* session);
  std::size_t SessionCount() const;

  // True when the user switched the service to offline mode.
  static bool IsGlobalOffline();

 private:
  friend class TWinInetSession;  // adds itself to FSessions
  mutable std::recursive_mutex FLock;
  std::vector<TWinInetSession*> FSessions;  // owned
};

// --- sessions -------------------------------------------------------------------------------

class TWinInetSession : public TWinInetHandle {
 public:
  // Connects to server and port for HTTP, without user name or password, and
  // adds itself to inet's sessions. Failure: "InternetConnect".
  TWinInetSession(TWinInternet* inet, std::string_view server, std::uint16_t port, bool secure);
  // Removes itself from its owner and closes its handle; requests stay.
  ~TWinInetSession() override;

  // A new request; the caller owns it.
  std::unique_ptr<TWinInetRequest> CreateRequest(std::string_view url, std::string_view method,
                                                 class TCookieStorage* cookieStorage = nullptr);

  bool Secure() const noexcept { return FSecure; }
  TSecurityFlags SecurityFlags() const noexcept { return fSecurityFlags; }
  void SetSecurityFlags(TSecurityFlags flags) noexcept { fSecurityFlags = flags; }
  std::uint16_t Port() const noexcept { return FPort; }
  const std::string& Server() const noexcept { return FServer; }
  TWinInternet* Inet() const noexcept { return FInet; }

 private:
  TWinInternet* FInet;
  std::string FServer;
  std::uint16_t FPort;
  bool FSecure;
  TSecurityFlags fSecurityFlags;
};

// --- requests -------------------------------------------------------------------------------

// How much of the service's interactive dialogue a send may show.
enum TShowUI : std::uint8_t { suiNever, suiOnErrors, suiAlways };

// The body of an answer: bytes with a read position.
class TWinInetMemoryStream {
 public:
  std::size_t Read(void* buffer, std::size_t count);
  void Write(const void* data, std::size_t count);
  std::uint64_t Position() const noexcept { return fPosition; }
  // A position past the end is clamped to the end.
  void Seek(std::uint64_t position) noexcept;
  std::uint64_t Size() const noexcept { return fData.size(); }
  void Reserve(std::size_t bytes) { fData.reserve(bytes); }
  void Clear() noexcept {
    fData.clear();
    fPosition = 0;
  }
  // The whole content, independent of the position.
  const std::string& Bytes() const noexcept { return fData; }
  // Hands the content over without copying it; the stream is empty after.
  std::string Release() noexcept {
    fPosition = 0;
    return std::exchange(fData, std::string());
  }

 private:
  std::string fData;
  std::size_t fPosition = 0;
};

// Progress of ReadData: Progress is the number of body bytes read so far;
// setting ContinueWork to false stops the download.
using ProgressEvent =
    std::function<void(TWinInetRequest& Sender, int Progress, bool& ContinueWork)>;

class TWinInetRequest : public TWinInetHandle {
 public:
  // Opens a request for method and url (path and query) with HTTP/1.1: always
  // from the server, nothing cached, no-cache pragmas, keep-alive, no dialogue
  // of the service by itself; the service's cookie handling is off when a
  // cookie storage is given; TLS when the session is secure. The session must
  // outlive the request; the storage too. Failure: "HttpOpenRequest".
  TWinInetRequest(TWinInetSession* session, std::string_view url, std::string_view method,
                  class TCookieStorage* cookieStorage = nullptr);
  ~TWinInetRequest() override;

  // Adds "Name: value". With replace, a header of that name is replaced (or
  // added); without, the value is merged into it after ", " (or added). A name
  // that is not an HTTP token or a value with a line break is refused.
  // Failure: "HttpAddRequestHeaders".
  void AddHeader(std::string_view name, std::string_view value, bool replace);
  // Adds or replaces "Authorization: Basic " + base64(user ":" password), both
  // converted to the system's ANSI code page first.
  void Authenticate(std::string_view userName, std::string_view password);

  // Sends data as the body (empty: none) and waits for the answer's headers.
  // Before the first attempt the session's security flags are applied to the
  // request, so the leniency the session promises holds for every ShowUI.
  // A failed attempt with code c: with suiNever, or when c came more than
  // three times in a row, EWinInetError(c, "HttpSendRequest") is raised;
  // otherwise
  //   12037 / 12038 / 12057, 12170   unless the session ignores that problem,
  //                                  the dialogue; then the matching ignore
  //                                  flag goes on; send again
  //   12045                          the dialogue; ignore the unknown
  //                                  authority; send again
  //   12044                          with sfIgnoreClientCert go on without a
  //                                  client certificate, else the dialogue;
  //                                  send again
  //   12014, 12039-12043, 12052,     the dialogue; send again
  //   12055, 12166-12168
  //   anything else                  EWinInetError(c, "HttpSendRequest")
  // The dialogue (owned by wnd; 0 = the desktop) must answer done or force
  // retry, else the error is raised. With suiAlways a successful send asks the
  // dialogue about the answer (an authentication challenge) and sends again
  // when it answers force retry, at most three times in a row. With a cookie
  // storage, its cookies go out in one "Cookie" header and the answer's
  // cookies come back into it. Sending again drops the previous answer first.
  void SendRequest(TShowUI showUI, platform::WindowHandle wnd, std::string_view data);
  void SendRequest(TShowUI showUI, platform::WindowHandle wnd,
                   const std::vector<std::uint8_t>& data);

  // Reads the whole body into Data() in blocks of 8192 bytes, positioned at
  // its start afterwards. speedLimit (bytes per second, 0 = none) throttles:
  // after each block the reader sleeps so that the average rate stays at or
  // below it. OnProgress is called after each block; when it answers false the
  // download stops with StatusCode 500 and StatusText "Interrupted by user"
  // (no error), Data() holding what was read. The body's announced length
  // never decides an allocation. Failure: "InternetReadFile".
  void ReadData(std::uint32_t speedLimit);

  // The interruption's status, else the answer's. Failure: "HttpQueryInfo".
  int StatusCode() const;
  std::string StatusText() const;

  // All request headers (as last sent) or all answer headers, status line
  // first, CR LF after every line. Failure: "HttpQueryInfo".
  std::string GetHeaders(bool request) const;
  // The index-th occurrence of an answer header by info level or by name; an
  // empty text when it is missing (never an error).
  std::string GetHeaderAsStr(std::uint32_t infoLevel, std::uint32_t index = 0) const;
  std::string GetHeaderAsStr(std::string_view name, std::uint32_t index = 0) const;
  // Like GetHeaderAsStr, but tells a missing header from an empty one: false
  // (value empty, the last error saying why) when there is no such header.
  bool FindHeader(std::uint32_t infoLevel, std::uint32_t index, std::string& value) const;
  bool FindHeader(std::string_view name, std::uint32_t index, std::string& value) const;
  // The header as an unsigned 32-bit number. Failure (missing, not a number,
  // too large): "HttpQueryInfo".
  std::uint32_t GetHeaderAsInt(std::uint32_t infoLevel, std::uint32_t index = 0) const;
  // The header as an HTTP date, converted from UTC to local time, as a
  // date-time (days since 1899-12-30). Failure: "HttpQueryInfo".
  double GetHeaderAsDateTime(std::uint32_t infoLevel) const;

  TWinInetMemoryStream& Data() noexcept { return FData; }
  const TWinInetMemoryStream& Data() const noexcept { return FData; }
  TWinInetSession* Session() const noexcept { return FSession; }
  const std::string& Method() const noexcept { return FMethod; }
  const std::string& URL() const noexcept { return FURL; }
  class TCookieStorage* CookieStorage() const noexcept {
    return FCookieStorage;
  }

  ProgressEvent OnProgress;

 private:
  void DoSend(TShowUI showUI, platform::WindowHandle wnd, const void* data, std::size_t length);
  void ApplySessionSecurity();
  void AddSecurityFlag(std::uint32_t flag);
  // The dialogue for code; raises unless it answers done or force retry.
  void ErrorDialog(platform::WindowHandle wnd, std::uint32_t code);

  TWinInetSession* FSession;
  std::string FMethod;
  std::string FURL;
  class TCookieStorage* FCookieStorage;
  TWinInetMemoryStream FData;
  int FStatusCode = 0;
  std::string FStatusText;
};

// --- URLs -----------------------------------------------------------------------------------

struct TCrackedUrl {
  int nScheme = platform::INTERNET_SCHEME_UNKNOWN;
  std::string Scheme;
  std::string HostName;
  std::uint16_t nPort = 0;
  std::string UserName;
  std::string Password;
  std::string UrlPath;
  std::string ExtraInfo;
};

// Splits a URL into its parts; a URL without "://" is read as "http://" + url.
// Failure: "InternetCrackUrl".
TCrackedUrl CrackUrl(std::string_view url);

// --- cookies ---------------------------------------------------------------------------------

// One cookie of a Set-Cookie header. Attributes (path, domain, expires,
// secure, httponly) are read past and kept for information only: every stored
// cookie goes with every request that uses the storage.
class TCookie {
 public:
  // Parses "name=value; attr; attr=value". Parts are separated by ";"
  // outside double quotes; blanks around names and values are dropped. No part
  // at all, an empty name, or a control character (which could split the
  // Cookie header it is sent back in) raises "Invalid SetCookie header".
  explicit TCookie(std::string_view str);

  const std::string& Name() const noexcept { return FName; }
  const std::string& Value() const noexcept { return FValue; }
  const std::string& Path() const noexcept { return FPath; }
  const std::string& Domain() const noexcept { return FDomain; }
  const std::string& Expires() const noexcept { return FExpires; }
  bool IsSecure() const noexcept { return FSecure; }
  bool IsHttpOnly() const noexcept { return FHttpOnly; }
  // Every cookie matches every request.
  bool Matches(const TWinInetRequest&) const noexcept { return true; }

 private:
  std::string FName, FValue, FPath, FDomain, FExpires;
  bool FSecure = false, FHttpOnly = false;
};

// Cookies sorted by name (ordinal, case-sensitive), at most one per name,
// each owned.
class TCookieList {
 public:
  // Adds in name order; a cookie of the same name is replaced.
  void AddCookie(std::unique_ptr<TCookie> cookie);
  // The index of the cookie with that name, or of where it would go.
  bool FindCookie(const TCookie& cookie, int& index) const;
  void ReplaceCookie(int index, std::unique_ptr<TCookie> cookie);
  TCookie* GetCookie(int index) const;
  int Count() const noexcept { return static_cast<int>(fItems.size()); }
  void Clear() noexcept { fItems.clear(); }

 private:
  std::vector<std::unique_ptr<TCookie>> fItems;
};

// The cookies shared by the requests given this storage, in place of the
// service's own cookie handling.
class TCookieStorage {
 public:
  TCookieStorage() = default;
  TCookieStorage(const TCookieStorage&) = delete;
  TCookieStorage& operator=(const TCookieStorage&) = delete;

  // The storage's lock (recursive), for callers that combine several calls.
  void Lock() { FGuard.lock(); }
  void Unlock() { FGuard.unlock(); }

  // Parses one Set-Cookie value and stores the cookie, replacing one of the
  // same name. Does not lock. Raises "Invalid SetCookie header".
  void SetCookie(std::string_view str);
  // Under the lock: every Set-Cookie header of the request's answer, in
  // order. Headers that are empty or do not parse are skipped, so one bad
  // cookie of a server neither fails the exchange nor hides the cookies
  // after it.
  void SetCookies(TWinInetRequest& request);
  // Under the lock: "name=value" of every cookie in name order, joined by
  // "; ", as the request's one "Cookie" header (replacing one); nothing when
  // the storage is empty.
  void GetCookies(TWinInetRequest& request);
  void Clear();

  int Count();
  // The value stored for a name, "" when none.
  std::string Value(std::string_view name);

 private:
  TCookieList FCookies;
  std::recursive_mutex FGuard;
};

// --- proxies -----------------------------------------------------------------------------------

class TWinInetProxy {
 public:
  enum TProtoclos : std::uint8_t { prHTTP, prHTTPS, prFTP, prSOCKS };
  static constexpr std::uint16_t Ports[4] = {80, 443, 21, 1080};

  // The platform's proxy settings (platform/net/Inet.h InternetGetProxySettings):
  // whether a proxy is on, the proxy list, the bypass list.
  static void Info(bool& enabled, std::string& proxies, std::string& bypass);
  // True when one ";"-separated entry of bypass equals host, ignoring ASCII
  // case (blanks around entries do not count; no wildcards).
  static bool InBypass(std::string_view host, std::string_view bypass);
  // Whether a proxy applies to host ("scheme://rest" or a plain host, then
  // "http"): the platform's proxy is on, rest is not in the bypass list, and
  // Parse finds an entry for the scheme. proxyHost and proxyPort are empty
  // when not.
  static bool Enabled(std::string_view host, std::string& proxyHost, std::string& proxyPort);
  // Scans proxies with
  //   (?i)(?<=;|^)(?:(http|https|ftp|socks)=)?([^:^;]+)(?::(\d+))?(?:;|$)
  // from the left; the first entry without a protocol or with protocol (any
  // case) wins: its host, and its port or DefaultPort(protocol).
  static bool Parse(std::string_view protocol, std::string_view proxies, std::string& proxyHost,
                    std::string& proxyPort);
  // Ports[] of the TProtoclos named "pr" + upper-cased protocol, as decimal
  // text; empty for any other protocol.
  static std::string DefaultPort(std::string_view protocol);
};

}  // namespace tarvo
