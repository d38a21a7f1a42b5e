#include "http/TarvoWinInet.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "http/TarvoHttpAuth.h"
#include "platform/core/CodePage.h"
#include "platform/core/DateTime.h"
#include "platform/core/Errors.h"
#include "platform/core/Format.h"
#include "platform/core/Text.h"

namespace tarvo {

using namespace tarvo::platform;

namespace {

constexpr std::uint32_t kBlockSize = 8192;
// ReadData pre-sizes its buffer by what the service has at hand, but never
// by more than this: the rest grows as the data really arrives.
constexpr std::size_t kMaxPresize = 1 << 20;
constexpr std::uint32_t kHeaderBuffer = 8192;

[[noreturn]] void RaiseLast(const char* funcName) {
  throw EWinInetError::CreateLastError(funcName);
}

}  // namespace

// --- errors -------------------------------------------------------------------------------

EWinInetError::EWinInetError(const std::string& message, std::uint32_t errCode,
                             std::uint32_t errCodeEx, std::string funcName)
    : std::runtime_error(message),
      fErrCode(errCode),
      fErrCodeEx(errCodeEx),
      fFuncName(std::move(funcName)) {}

EWinInetError EWinInetError::CreateLastError(const std::string& funcName) {
  return CreateLastError(GetLastError(), funcName);
}

EWinInetError EWinInetError::CreateLastError(std::uint32_t errCode, const std::string& funcName) {
  if (errCode == ERROR_INTERNET_EXTENDED_ERROR) {
    std::uint32_t extended = 0;
    std::string text;
    if (InternetGetLastResponseInfo(extended, text) && !text.empty())
      return EWinInetError(
          Format("WinInet Extended Error (%d): %s [%s]", {extended, TrimRight(text), funcName}),
          errCode, extended, funcName);
  }
  return EWinInetError(
      Format("WinInet Error (%d): %s [%s]", {errCode, WinInetErrorText(errCode), funcName}),
      errCode, 0, funcName);
}

std::string WinInetErrorText(std::uint32_t code) {
  if (code >= 12001 && code <= 12175) {
    std::string text = InternetErrorMessage(code);
    while (!text.empty() && (static_cast<unsigned char>(text.back()) <= ' ' || text.back() == '.'))
      text.pop_back();
    if (!text.empty()) return text;
  }
  return SysErrorMessage(code);
}

// --- handles ------------------------------------------------------------------------------

TWinInetHandle::~TWinInetHandle() {
  if (FHandle) InternetCloseHandle(FHandle);
}

void TWinInetHandle::SetOption(std::uint32_t option, std::uint32_t value) {
  SetOption(option, &value, sizeof value);
}

void TWinInetHandle::SetOption(std::uint32_t option, std::string_view value) {
  if (value.empty()) return;
  SetOption(option, value.data(), static_cast<std::uint32_t>(value.size()));
}

void TWinInetHandle::SetOption(std::uint32_t option, const void* buffer, std::uint32_t length) {
  if (!InternetSetOption(FHandle, option, buffer, length)) RaiseLast("InternetSetOption");
}

std::uint32_t TWinInetHandle::GetOption(std::uint32_t option) const {
  std::uint32_t value = 0, length = sizeof value;
  if (!InternetQueryOption(FHandle, option, &value, length)) RaiseLast("InternetQueryOption");
  if (length != sizeof value)
    throw EWinInetError::CreateLastError(ERROR_INTERNET_BAD_OPTION_LENGTH, "InternetQueryOption");
  return value;
}

// --- the internet object --------------------------------------------------------------------

TWinInternet::TWinInternet(std::string_view userAgent) {
  FHandle = InternetOpen(userAgent, INTERNET_OPEN_TYPE_PRECONFIG, {}, {}, 0);
  if (!FHandle) RaiseLast("InternetOpen");
}

TWinInternet::~TWinInternet() {
  std::lock_guard lock(FLock);
  // Each session takes itself out of the list as it goes.
  while (!FSessions.empty()) delete FSessions.back();
}

TWinInetSession* TWinInternet::CreateSession(std::string_view server, std::uint16_t port,
                                             bool unique, bool secure) {
  std::lock_guard lock(FLock);
  if (!unique) {
    for (auto it = FSessions.rbegin(); it != FSessions.rend(); ++it) {
      TWinInetSession* s = *it;
      if (s->Server() != server || s->Port() != port) continue;
      if (s->Secure() == secure) return s;
      throw EWinInetError("Could not create same secure and unsecure sessions at the time!");
    }
  }
  return new TWinInetSession(this, server, port, secure);
}

void TWinInternet::RemoveSession(TWinInetSession* session) {
  std::lock_guard lock(FLock);
  FSessions.erase(std::remove(FSessions.begin(), FSessions.end(), session), FSessions.end());
}

std::size_t TWinInternet::SessionCount() const {
  std::lock_guard lock(FLock);
  return FSessions.size();
}

bool TWinInternet::IsGlobalOffline() {
  std::uint32_t state = 0, length = sizeof state;
  if (!InternetQueryOption(nullptr, INTERNET_OPTION_CONNECTED_STATE, &state, length)) return false;
  return (state & INTERNET_STATE_DISCONNECTED_BY_USER) != 0;
}

// --- sessions -------------------------------------------------------------------------------

TWinInetSession::TWinInetSession(TWinInternet* inet, std::string_view server, std::uint16_t port,
                                 bool secure)
    : FInet(inet), FServer(server), FPort(port), FSecure(secure) {
  FHandle = InternetConnect(inet->Handle(), server, port, {}, {}, INTERNET_SERVICE_HTTP, 0, 0);
  if (!FHandle) RaiseLast("InternetConnect");
  std::lock_guard lock(inet->FLock);
  inet->FSessions.push_back(this);
}

TWinInetSession::~TWinInetSession() {
  if (FInet) FInet->RemoveSession(this);
}

std::unique_ptr<TWinInetRequest> TWinInetSession::CreateRequest(std::string_view url,
                                                                std::string_view method,
                                                                TCookieStorage* cookieStorage) {
  return std::make_unique<TWinInetRequest>(this, url, method, cookieStorage);
}

// --- the answer's body ----------------------------------------------------------------------

std::size_t TWinInetMemoryStream::Read(void* buffer, std::size_t count) {
  const std::size_t n = std::min(count, fData.size() - fPosition);
  if (n) std::memcpy(buffer, fData.data() + fPosition, n);
  fPosition += n;
  return n;
}

void TWinInetMemoryStream::Write(const void* data, std::size_t count) {
  if (!count) return;
  const char* p = static_cast<const char*>(data);
  if (fPosition == fData.size())
    fData.append(p, count);
  else {
    if (fPosition + count > fData.size()) fData.resize(fPosition + count);
    std::memcpy(fData.data() + fPosition, p, count);
  }
  fPosition += count;
}

void TWinInetMemoryStream::Seek(std::uint64_t position) noexcept {
  fPosition = static_cast<std::size_t>(std::min<std::uint64_t>(position, fData.size()));
}

// --- requests -------------------------------------------------------------------------------

TWinInetRequest::TWinInetRequest(TWinInetSession* session, std::string_view url,
                                 std::string_view method, TCookieStorage* cookieStorage)
    : FSession(session), FMethod(method), FURL(url), FCookieStorage(cookieStorage) {
  std::uint32_t flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                        INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_KEEP_CONNECTION |
                        INTERNET_FLAG_NO_UI;
  if (cookieStorage) flags |= INTERNET_FLAG_NO_COOKIES;
  if (session->Secure()) flags |= INTERNET_FLAG_SECURE;
  FHandle = HttpOpenRequest(session->Handle(), method, url, "HTTP/1.1", {}, nullptr, flags, 0);
  if (!FHandle) RaiseLast("HttpOpenRequest");
}

TWinInetRequest::~TWinInetRequest() = default;

void TWinInetRequest::AddHeader(std::string_view name, std::string_view value, bool replace) {
  // One header per call: a line break in the value would smuggle in another.
  if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos ||
      name.find_first_of(std::string_view("\r\n\0:", 4)) != std::string_view::npos)
    throw EWinInetError::CreateLastError(ERROR_HTTP_INVALID_HEADER, "HttpAddRequestHeaders");
  const std::string line = std::string(name) + ": " + std::string(value);
  const std::uint32_t modifiers =
      HTTP_ADDREQ_FLAG_ADD |
      (replace ? HTTP_ADDREQ_FLAG_REPLACE : HTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA);
  if (!HttpAddRequestHeaders(FHandle, line, modifiers)) RaiseLast("HttpAddRequestHeaders");
}

void TWinInetRequest::Authenticate(std::string_view userName, std::string_view password) {
  const std::string credentials =
      ToCodePage(userName) + ":" + ToCodePage(password);  // the system's code page
  AddHeader("Authorization", "Basic " + EncodeStr(encBase64, credentials), true);
}

void TWinInetRequest::SendRequest(TShowUI showUI, WindowHandle wnd, std::string_view data) {
  DoSend(showUI, wnd, data.data(), data.size());
}

void TWinInetRequest::SendRequest(TShowUI showUI, WindowHandle wnd,
                                  const std::vector<std::uint8_t>& data) {
  DoSend(showUI, wnd, data.data(), data.size());
}

void TWinInetRequest::AddSecurityFlag(std::uint32_t flag) {
  SetOption(INTERNET_OPTION_SECURITY_FLAGS, GetOption(INTERNET_OPTION_SECURITY_FLAGS) | flag);
}

void TWinInetRequest::ApplySessionSecurity() {
  // The session's leniency is a promise to accept these problems without
  // asking; applying it up front keeps it under suiNever too, where no
  // error reaction ever runs.
  const TSecurityFlags flags = FSession->SecurityFlags();
  std::uint32_t bits = 0;
  if (flags.Contains(sfIgnoreCertCN)) bits |= SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
  if (flags.Contains(sfIgnoreCertDate)) bits |= SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
  if (flags.Contains(sfIgnoreCertRevocation)) bits |= SECURITY_FLAG_IGNORE_REVOCATION;
  if (bits) AddSecurityFlag(bits);
  if (flags.Contains(sfIgnoreClientCert))
    SetOption(INTERNET_OPTION_SECURITY_SELECT_CLIENT_CERT, nullptr, 0);
}

void TWinInetRequest::ErrorDialog(WindowHandle wnd, std::uint32_t code) {
  const std::uint32_t answer =
      InternetErrorDlg(wnd, FHandle, code,
                       FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS |
                           FLAGS_ERROR_UI_FLAGS_GENERATE_DATA);
  if (answer != ERROR_SUCCESS && answer != ERROR_INTERNET_FORCE_RETRY)
    throw EWinInetError::CreateLastError(code, "HttpSendRequest");
}

void TWinInetRequest::DoSend(TShowUI showUI, WindowHandle wnd, const void* data,
                             std::size_t length) {
  FStatusCode = 0;
  FStatusText.clear();
  FData.Clear();
  if (FCookieStorage) FCookieStorage->GetCookies(*this);
  ApplySessionSecurity();
  const TSecurityFlags flags = FSession->SecurityFlags();

  std::uint32_t lastCode = 0;
  int repeat = 0;
  const auto count = [&](std::uint32_t code) {
    repeat = code == lastCode ? repeat + 1 : 1;
    lastCode = code;
    return repeat;
  };
  for (;;) {
    if (HttpSendRequest(FHandle, {}, data, length)) {
      if (showUI == suiAlways) {
        const std::uint32_t answer = InternetErrorDlg(wnd, FHandle, ERROR_SUCCESS,
                                                      FLAGS_ERROR_UI_FILTER_FOR_ERRORS |
                                                          FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS |
                                                          FLAGS_ERROR_UI_FLAGS_GENERATE_DATA);
        // A dialogue that keeps asking to retry gets three tries, like errors.
        if (answer == ERROR_INTERNET_FORCE_RETRY && count(ERROR_INTERNET_FORCE_RETRY) <= 3)
          continue;
      }
      break;
    }
    const std::uint32_t code = GetLastError();
    if (showUI == suiNever || count(code) > 3)
      throw EWinInetError::CreateLastError(code, "HttpSendRequest");
    switch (code) {
      case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
        if (!flags.Contains(sfIgnoreCertDate)) ErrorDialog(wnd, code);
        AddSecurityFlag(SECURITY_FLAG_IGNORE_CERT_DATE_INVALID);
        break;
      case ERROR_INTERNET_SEC_CERT_CN_INVALID:
        if (!flags.Contains(sfIgnoreCertCN)) ErrorDialog(wnd, code);
        AddSecurityFlag(SECURITY_FLAG_IGNORE_CERT_CN_INVALID);
        break;
      case ERROR_INTERNET_INVALID_CA:
        ErrorDialog(wnd, code);
        AddSecurityFlag(SECURITY_FLAG_IGNORE_UNKNOWN_CA);
        break;
      case ERROR_INTERNET_SEC_CERT_REV_FAILED:
      case ERROR_INTERNET_SEC_CERT_REVOKED:
        if (!flags.Contains(sfIgnoreCertRevocation)) ErrorDialog(wnd, code);
        AddSecurityFlag(SECURITY_FLAG_IGNORE_REVOCATION);
        break;
      case ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED:
        if (flags.Contains(sfIgnoreClientCert))
          SetOption(INTERNET_OPTION_SECURITY_SELECT_CLIENT_CERT, nullptr, 0);
        else
          ErrorDialog(wnd, code);
        break;
      case ERROR_INTERNET_INCORRECT_PASSWORD:
      case ERROR_INTERNET_HTTP_TO_HTTPS_ON_REDIR:
      case ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR:
      case ERROR_INTERNET_MIXED_SECURITY:
      case ERROR_INTERNET_CHG_POST_IS_NON_SECURE:
      case ERROR_INTERNET_POST_IS_NON_SECURE:
      case ERROR_INTERNET_HTTPS_HTTP_SUBMIT_REDIR:
      case ERROR_INTERNET_SEC_CERT_ERRORS:
      case ERROR_INTERNET_BAD_AUTO_PROXY_SCRIPT:
      case ERROR_INTERNET_UNABLE_TO_DOWNLOAD_SCRIPT:
      case ERROR_HTTP_REDIRECT_NEEDS_CONFIRMATION:
        ErrorDialog(wnd, code);
        break;
      default:
        throw EWinInetError::CreateLastError(code, "HttpSendRequest");
    }
  }
  if (FCookieStorage) FCookieStorage->SetCookies(*this);
}

void TWinInetRequest::ReadData(std::uint32_t speedLimit) {
  FData.Clear();
  std::uint32_t available = 0;
  if (InternetQueryDataAvailable(FHandle, available) && available > 0)
    FData.Reserve(std::min<std::size_t>(available, kMaxPresize));
  char block[kBlockSize];
  for (;;) {
    const std::uint32_t t0 = GetTickCount();
    std::uint32_t read = 0;
    if (!InternetReadFile(FHandle, block, kBlockSize, read)) RaiseLast("InternetReadFile");
    if (read == 0) break;
    if (speedLimit > 0) {
      const std::uint64_t wanted = std::uint64_t{read} * 1000 / speedLimit;
      const std::uint32_t elapsed = TicksBetween(t0, GetTickCount());
      if (wanted > elapsed)
        std::this_thread::sleep_for(std::chrono::milliseconds(wanted - elapsed));
    }
    FData.Write(block, read);
    if (OnProgress) {
      bool continueWork = true;
      const auto progress = static_cast<int>(std::min<std::uint64_t>(FData.Size(), INT32_MAX));
      OnProgress(*this, progress, continueWork);
      if (!continueWork) {
        FStatusCode = 500;
        FStatusText = "Interrupted by user";
        break;
      }
    }
  }
  FData.Seek(0);
}

int TWinInetRequest::StatusCode() const {
  if (FStatusCode != 0) return FStatusCode;
  std::uint32_t code = 0, length = sizeof code;
  if (!HttpQueryInfo(FHandle, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, length,
                     nullptr))
    RaiseLast("HttpQueryInfo");
  return static_cast<int>(code);
}

std::string TWinInetRequest::StatusText() const {
  if (!FStatusText.empty()) return FStatusText;
  std::string text;
  if (!FindHeader(HTTP_QUERY_STATUS_TEXT, 0, text) && GetLastError() != ERROR_HTTP_HEADER_NOT_FOUND)
    RaiseLast("HttpQueryInfo");
  return text;
}

namespace {

// Reads a text item with a buffer of kHeaderBuffer bytes, and again with one
// of the exact size when it is longer. Returns false with the last error set.
bool QueryText(HINTERNET h, std::uint32_t level, std::uint32_t index, std::string& value,
               std::string_view customName = {}) {
  if (customName.size() >= kHeaderBuffer) {  // no header has such a name
    SetLastError(ERROR_HTTP_INVALID_QUERY_REQUEST);
    return false;
  }
  std::string buffer(kHeaderBuffer, '\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!customName.empty()) {
      buffer.replace(0, customName.size(), customName);
      buffer[customName.size()] = '\0';
    }
    std::uint32_t length = static_cast<std::uint32_t>(buffer.size());
    std::uint32_t i = index;
    if (HttpQueryInfo(h, level, buffer.data(), length, &i)) {
      buffer.resize(length);
      value = std::move(buffer);
      return true;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    buffer.assign(std::max<std::size_t>(length, customName.size() + 1), '\0');
  }
  return false;
}

}  // namespace

std::string TWinInetRequest::GetHeaders(bool request) const {
  std::string text;
  std::uint32_t level = HTTP_QUERY_RAW_HEADERS_CRLF;
  if (request) level |= HTTP_QUERY_FLAG_REQUEST_HEADERS;
  if (!QueryText(FHandle, level, 0, text)) RaiseLast("HttpQueryInfo");
  return text;
}

bool TWinInetRequest::FindHeader(std::uint32_t infoLevel, std::uint32_t index,
                                 std::string& value) const {
  value.clear();
  return QueryText(FHandle, infoLevel, index, value);
}

bool TWinInetRequest::FindHeader(std::string_view name, std::uint32_t index,
                                 std::string& value) const {
  value.clear();
  if (name.empty()) {
    SetLastError(ERROR_HTTP_INVALID_QUERY_REQUEST);
    return false;
  }
  return QueryText(FHandle, HTTP_QUERY_CUSTOM, index, value, name);
}

std::string TWinInetRequest::GetHeaderAsStr(std::uint32_t infoLevel, std::uint32_t index) const {
  std::string value;
  FindHeader(infoLevel, index, value);  // leaves value empty when there is none
  return value;
}

std::string TWinInetRequest::GetHeaderAsStr(std::string_view name, std::uint32_t index) const {
  std::string value;
  FindHeader(name, index, value);  // leaves value empty when there is none
  return value;
}

std::uint32_t TWinInetRequest::GetHeaderAsInt(std::uint32_t infoLevel, std::uint32_t index) const {
  std::uint32_t value = 0, length = sizeof value;
  std::uint32_t i = index;
  if (!HttpQueryInfo(FHandle, infoLevel | HTTP_QUERY_FLAG_NUMBER, &value, length, &i))
    RaiseLast("HttpQueryInfo");
  return value;
}

double TWinInetRequest::GetHeaderAsDateTime(std::uint32_t infoLevel) const {
  CivilTime utc;
  std::uint32_t length = sizeof utc;
  if (!HttpQueryInfo(FHandle, infoLevel | HTTP_QUERY_FLAG_SYSTEMTIME, &utc, length, nullptr))
    RaiseLast("HttpQueryInfo");
  return UTCToLocal(EncodeDateTime(utc));
}

// --- URLs -----------------------------------------------------------------------------------

TCrackedUrl CrackUrl(std::string_view url) {
  std::string full(url);
  if (full.find("://") == std::string::npos) full = "http://" + full;
  UrlComponents c;
  if (!InternetCrackUrl(full, c)) RaiseLast("InternetCrackUrl");
  TCrackedUrl r;
  r.nScheme = c.nScheme;
  r.Scheme = c.scheme;
  r.HostName = c.hostName;
  r.nPort = c.nPort;
  r.UserName = c.userName;
  r.Password = c.password;
  r.UrlPath = c.urlPath;
  r.ExtraInfo = c.extraInfo;
  return r;
}

// --- cookies --------------------------------------------------------------------------------

namespace {

[[noreturn]] void InvalidCookie() {
  throw EWinInetError("Invalid SetCookie header");
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Strip(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

TCookie::TCookie(std::string_view str) {
  for (char c : str)
    if (static_cast<unsigned char>(c) < 0x20 && c != '\t') InvalidCookie();
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  bool quoted = false;
  for (std::size_t i = 0; i <= str.size(); ++i) {
    if (i < str.size() && str[i] == '"') quoted = !quoted;
    if (i == str.size() || (str[i] == ';' && !quoted)) {
      const std::string_view part = Strip(str.substr(start, i - start));
      if (!part.empty()) parts.push_back(part);
      start = i + 1;
    }
  }
  if (parts.empty()) InvalidCookie();
  const std::string_view first = parts.front();
  const auto eq = first.find('=');
  FName = std::string(Strip(first.substr(0, eq)));
  if (eq != std::string_view::npos) FValue = std::string(Strip(first.substr(eq + 1)));
  if (FName.empty()) InvalidCookie();
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const std::string_view part = parts[i];
    const auto peq = part.find('=');
    const std::string_view key = Strip(part.substr(0, peq));
    const std::string value =
        peq == std::string_view::npos ? std::string() : std::string(Strip(part.substr(peq + 1)));
    if (key == "path")
      FPath = value;
    else if (key == "domain")
      FDomain = value;
    else if (key == "expires")
      FExpires = value;
    else if (key == "secure")
      FSecure = true;
    else if (key == "httponly")
      FHttpOnly = true;
  }
}

bool TCookieList::FindCookie(const TCookie& cookie, int& index) const {
  const auto it = std::lower_bound(
      fItems.begin(), fItems.end(), cookie.Name(),
      [](const std::unique_ptr<TCookie>& c, const std::string& name) { return c->Name() < name; });
  index = static_cast<int>(it - fItems.begin());
  return it != fItems.end() && (*it)->Name() == cookie.Name();
}

void TCookieList::AddCookie(std::unique_ptr<TCookie> cookie) {
  int index = 0;
  if (FindCookie(*cookie, index))
    ReplaceCookie(index, std::move(cookie));
  else
    fItems.insert(fItems.begin() + index, std::move(cookie));
}

void TCookieList::ReplaceCookie(int index, std::unique_ptr<TCookie> cookie) {
  if (index < 0 || index >= Count()) throw std::out_of_range("TCookieList: index out of range");
  fItems[static_cast<std::size_t>(index)] = std::move(cookie);
}

TCookie* TCookieList::GetCookie(int index) const {
  if (index < 0 || index >= Count()) throw std::out_of_range("TCookieList: index out of range");
  return fItems[static_cast<std::size_t>(index)].get();
}

void TCookieStorage::SetCookie(std::string_view str) {
  FCookies.AddCookie(std::make_unique<TCookie>(str));
}

void TCookieStorage::SetCookies(TWinInetRequest& request) {
  std::lock_guard lock(FGuard);
  std::string value;
  for (std::uint32_t i = 0; request.FindHeader(HTTP_QUERY_SET_COOKIE, i, value); ++i) {
    try {
      if (!Trim(value).empty()) SetCookie(value);
    } catch (const EWinInetError&) {
      // A cookie the server got wrong is dropped, as browsers drop it.
    }
  }
}

void TCookieStorage::GetCookies(TWinInetRequest& request) {
  std::lock_guard lock(FGuard);
  std::string line;
  for (int i = 0; i < FCookies.Count(); ++i) {
    const TCookie* c = FCookies.GetCookie(i);
    if (!c->Matches(request)) continue;
    if (!line.empty()) line += "; ";
    line += c->Name() + "=" + c->Value();
  }
  if (!line.empty()) request.AddHeader("Cookie", line, true);
}

void TCookieStorage::Clear() {
  std::lock_guard lock(FGuard);
  FCookies.Clear();
}

int TCookieStorage::Count() {
  std::lock_guard lock(FGuard);
  return FCookies.Count();
}

std::string TCookieStorage::Value(std::string_view name) {
  std::lock_guard lock(FGuard);
  for (int i = 0; i < FCookies.Count(); ++i)
    if (FCookies.GetCookie(i)->Name() == name) return FCookies.GetCookie(i)->Value();
  return {};
}

// --- proxies --------------------------------------------------------------------------------

namespace {

// The proxy list's pattern, compiled once; matching needs only per-call data.
const pcre2_code* ProxyPattern() {
  static const pcre2_code* code = [] {
    static constexpr char kPattern[] =
        "(?i)(?<=;|^)(?:(http|https|ftp|socks)=)?([^:^;]+)(?::(\\d+))?(?:;|$)";
    int error = 0;
    PCRE2_SIZE offset = 0;
    return static_cast<const pcre2_code*>(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(kPattern),
                                                        PCRE2_ZERO_TERMINATED, 0, &error, &offset,
                                                        nullptr));
  }();
  return code;
}

}  // namespace

void TWinInetProxy::Info(bool& enabled, std::string& proxies, std::string& bypass) {
  const InternetProxySettings s = InternetGetProxySettings();
  enabled = s.enabled;
  proxies = s.proxies;
  bypass = s.bypass;
}

bool TWinInetProxy::InBypass(std::string_view host, std::string_view bypass) {
  for (const std::string& entry : SplitString(bypass, ';')) {
    const std::string_view e = TrimView(entry);
    if (!e.empty() && SameTextAscii(e, host)) return true;
  }
  return false;
}

bool TWinInetProxy::Enabled(std::string_view host, std::string& proxyHost, std::string& proxyPort) {
  proxyHost.clear();
  proxyPort.clear();
  std::string protocol = "http";
  std::string_view rest = host;
  if (const auto p = host.find("://"); p != std::string_view::npos) {
    protocol = AsciiLowerCase(host.substr(0, p));
    rest = host.substr(p + 3);
  }
  bool enabled = false;
  std::string proxies, bypass;
  Info(enabled, proxies, bypass);
  if (!enabled || InBypass(rest, bypass)) return false;
  if (!Parse(protocol, proxies, proxyHost, proxyPort)) {
    proxyHost.clear();
    proxyPort.clear();
    return false;
  }
  return true;
}

bool TWinInetProxy::Parse(std::string_view protocol, std::string_view proxies,
                          std::string& proxyHost, std::string& proxyPort) {
  proxyHost.clear();
  proxyPort.clear();
  const pcre2_code* code = ProxyPattern();
  if (!code) return false;
  pcre2_match_data* match = pcre2_match_data_create_from_pattern(code, nullptr);
  if (!match) return false;
  const auto subject = reinterpret_cast<PCRE2_SPTR>(proxies.data());
  PCRE2_SIZE start = 0;
  bool found = false;
  while (start <= proxies.size()) {
    const int rc =
        pcre2_match(code, subject, proxies.size(), start, PCRE2_NOTEMPTY, match, nullptr);
    if (rc < 0) break;
    const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(match);
    const auto group = [&](int n) -> std::string_view {
      if (n >= rc || ov[2 * n] == PCRE2_UNSET) return {};
      return proxies.substr(ov[2 * n], ov[2 * n + 1] - ov[2 * n]);
    };
    const std::string_view prefix = group(1);
    if (prefix.empty() || SameTextAscii(prefix, protocol)) {
      proxyHost = std::string(group(2));
      const std::string_view port = group(3);
      proxyPort = port.empty() ? DefaultPort(protocol) : std::string(port);
      found = true;
      break;
    }
    start = ov[1] > start ? ov[1] : start + 1;
  }
  pcre2_match_data_free(match);
  return found;
}

std::string TWinInetProxy::DefaultPort(std::string_view protocol) {
  static constexpr std::string_view kNames[] = {"prHTTP", "prHTTPS", "prFTP", "prSOCKS"};
  const std::string name = "pr" + AsciiUpperCase(protocol);
  for (std::size_t i = 0; i < std::size(kNames); ++i)
    if (name == kNames[i]) return std::to_string(Ports[i]);
  return {};
}

}  // namespace tarvo
