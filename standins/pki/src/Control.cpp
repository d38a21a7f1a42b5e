// The control interface ("PKISTUB_*"), call recording, failure injection, the
// error stacks and the registry of open contexts.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "standins/pki/src/Stub.h"

namespace pkistub {

namespace {

struct FailRule {
  int entry;
  std::uint32_t base;  // calls of the entry when the rule was set
  std::uint32_t nth;   // 0 = every call
  TVcertStatus status;
};

struct ControlState {
  std::mutex mutex;
  std::uint32_t counts[tarvo::kVcertEntryCount] = {};
  std::vector<int> trace;
  std::string lastCall[tarvo::kVcertEntryCount];
  std::vector<FailRule> rules;
  ErrorScript script;
};

ControlState& State() {
  static auto* state = new ControlState;  // outlives static destruction
  return *state;
}

std::atomic<std::uint32_t> gInside{0};
std::atomic<std::uint32_t> gMaxInside{0};
std::atomic<std::int64_t> gOpenContexts{0};
std::atomic<std::int64_t> gClosedContextCalls{0};

std::mutex gContextsMutex;
std::set<Context*>& Contexts() {
  static auto* contexts = new std::set<Context*>;
  return *contexts;
}

// Errors of calls without a context (a failed InitializeEx) are kept per thread.
struct ThreadErrors {
  std::deque<ErrorLine> errors;
  std::size_t scriptCursor = 0;
  std::string lastFile, lastExtra;
};
thread_local ThreadErrors tErrors;

std::uint32_t CopyOut(const std::string& text, char* buf, std::uint32_t len) {
  if (buf != nullptr && len > 0) {
    const std::size_t n = std::min<std::size_t>(text.size(), len - 1);
    std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
  }
  return static_cast<std::uint32_t>(text.size());
}

void CopyText(const std::string& text, char* buf, std::uint32_t len, bool overlong) {
  if (buf == nullptr || len == 0) return;
  if (overlong) {
    // Fill the whole buffer, no terminator: the caller must cut at its end.
    for (std::uint32_t i = 0; i < len; ++i) buf[i] = text.empty() ? 'E' : text[i % text.size()];
    return;
  }
  const std::size_t n = std::min<std::size_t>(text.size(), len - 1);
  std::memcpy(buf, text.data(), n);
  buf[n] = '\0';
}

}  // namespace

int EntryIndex(const char* name) {
  if (name == nullptr) return -1;
  if (std::strncmp(name, "VCERT_", 6) == 0) name += 6;
  for (int i = 0; i < tarvo::kVcertEntryCount; ++i)
    if (std::strcmp(tarvo::kVcertEntryNames[i], name) == 0) return i;
  return -1;
}

TVcertStatus Enter(int entry) {
  ControlState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  const std::uint32_t count = ++s.counts[entry];
  s.trace.push_back(entry);
  for (const FailRule& rule : s.rules)
    if (rule.entry == entry && (rule.nth == 0 || count - rule.base == rule.nth)) return rule.status;
  return 0;
}

void RecordCall(int entry, std::string text) {
  ControlState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.lastCall[entry] = std::move(text);
}

void InitializeEntered() {
  const std::uint32_t now = gInside.fetch_add(1) + 1;
  std::uint32_t seen = gMaxInside.load();
  while (now > seen && !gMaxInside.compare_exchange_weak(seen, now)) {
  }
  // Linger so that callers that are not serialised overlap visibly.
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
}

void InitializeLeft() {
  gInside.fetch_sub(1);
}
void ContextOpened() {
  gOpenContexts.fetch_add(1);
  HandleCreated();
}
void ContextClosed() {
  gOpenContexts.fetch_sub(1);
  HandleReleased();
}

ErrorScript CurrentErrorScript() {
  ControlState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.script;
}

bool OverlongErrorText() {
  ControlState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.script.overlong;
}

std::string StatusText(TVcertStatus status) {
  struct Text {
    TVcertStatus status;
    const char* text;
  };
  static const Text texts[] = {
      {0, "Success"},
      {tarvo::VCERT_E_CONTEXT_COPY, "The library context cannot be copied"},
      {kBadParameter, "Invalid parameter"},
      {kBadContext, "Invalid context or connection handle"},
      {kNotAvailable, "The function is not available in this mode"},
      {kBadEncoding, "The data is not a DER-encoded certificate"},
      {tarvo::VCERT_E_NOT_ENCRYPTED_0F, "The data is not encrypted"},
      {tarvo::VCERT_E_NO_CAPABILITY, "The certificate lacks the required key usage"},
      {tarvo::VCERT_E_BAD_SIGNATURE, "The signature is not valid"},
      {tarvo::VCERT_E_NOT_SIGNED, "The data is not signed"},
      {kWrongPassword, "The password is wrong"},
      {tarvo::VCERT_E_NOT_ENCRYPTED_22, "The data is not encrypted"},
      {tarvo::VCERT_E_INIT_CSP, "The cryptographic provider cannot be initialised"},
      {kCertExpired, "The certificate is not valid at the time of the check"},
      {kCertRevoked, "The certificate has been revoked"},
      {kCertUntrusted, "The certificate was not issued by a trusted authority"},
      {kPolicyMismatch, "The certificate does not satisfy the policy"},
      {tarvo::VCERT_E_INIT_CSP_KEY, "The key of the cryptographic provider cannot be loaded"},
      {tarvo::VCERT_E_NO_CERTIFICATE, "No certificate"},
      {kNotFound, "Certificate not found"},
      {tarvo::VCERT_E_NOT_ENCRYPTED_83, "The data is not encrypted"},
      {kStoreUnavailable, "The key store cannot be opened"},
      {tarvo::VCERT_E_NO_KEY_STORE, "No key store is configured"},
      {tarvo::VCERT_E_WINDOW_CLOSED, "The certificate window was closed"},
      {kServerUnavailable, "No crypto server can be reached"},
      {kHandshake, "The secure-connection message is not valid here"},
  };
  for (const Text& t : texts)
    if (t.status == status) return t.text;
  char buf[64];
  std::snprintf(buf, sizeof buf, "Unknown error 0x%08X", status);
  return buf;
}

Context* FindContext(void* handle) {
  std::lock_guard<std::mutex> lock(gContextsMutex);
  auto* ctx = static_cast<Context*>(handle);
  return Contexts().count(ctx) != 0 ? ctx : nullptr;
}

Context* CheckedContext(void* handle) {
  Context* ctx = FindContext(handle);
  if (handle != nullptr && ctx == nullptr) gClosedContextCalls.fetch_add(1);
  return ctx;
}

void RegisterContext(Context* ctx) {
  std::lock_guard<std::mutex> lock(gContextsMutex);
  Contexts().insert(ctx);
  ContextOpened();
}

bool UnregisterContext(Context* ctx) {
  std::lock_guard<std::mutex> lock(gContextsMutex);
  if (Contexts().erase(ctx) == 0) return false;
  ContextClosed();
  return true;
}

void ClearErrors(Context* ctx) {
  if (ctx == nullptr) {
    tErrors.errors.clear();
    tErrors.scriptCursor = 0;
    return;
  }
  std::lock_guard<std::mutex> lock(ctx->errorMutex);
  ctx->errors.clear();
  ctx->scriptCursor = 0;
}

TVcertStatus Fail(Context* ctx, TVcertStatus status, const char* entry, const std::string& detail,
                  int line) {
  ErrorLine e;
  e.file = "pkistub.c";
  e.line = static_cast<std::uint32_t>(line);
  e.text = std::string("VCERT_") + entry + ": " + StatusText(status);
  e.extra = detail;
  if (ctx == nullptr) {
    tErrors.errors.push_front(std::move(e));
  } else {
    std::lock_guard<std::mutex> lock(ctx->errorMutex);
    ctx->errors.push_front(std::move(e));
  }
  return status;
}

std::uint32_t NextErrorLine(Context* ctx, char* text, std::uint32_t textLen, TMemBlk* file,
                            std::uint32_t* line, TMemBlk* extra) {
  const ErrorScript script = CurrentErrorScript();
  std::unique_lock<std::mutex> lock;
  std::deque<ErrorLine>* errors = &tErrors.errors;
  std::size_t* cursor = &tErrors.scriptCursor;
  std::string* lastFile = &tErrors.lastFile;
  std::string* lastExtra = &tErrors.lastExtra;
  if (ctx != nullptr) {
    lock = std::unique_lock<std::mutex>(ctx->errorMutex);
    errors = &ctx->errors;
    cursor = &ctx->scriptCursor;
    lastFile = &ctx->lastFile;
    lastExtra = &ctx->lastExtra;
  }
  ErrorLine current;
  if (script.active) {
    if (*cursor < script.lines.size()) {
      current = script.lines[(*cursor)++];
    } else if (script.endless) {
      current = script.lines.empty() ? ErrorLine{"pkistub.c", 1, "endless error stack", ""}
                                     : script.lines.back();
    } else {
      *cursor = 0;  // read again, it starts over
      return 1;
    }
  } else {
    if (errors->empty()) return 1;
    current = std::move(errors->front());
    errors->pop_front();
  }
  *lastFile = current.file;
  *lastExtra = current.extra;
  CopyText(current.text, text, textLen, script.overlong);
  if (file != nullptr) {
    file->len = static_cast<std::uint32_t>(lastFile->size());
    file->buf = reinterpret_cast<std::uint8_t*>(lastFile->data());
  }
  if (line != nullptr) *line = current.line;
  if (extra != nullptr) {
    extra->len = static_cast<std::uint32_t>(lastExtra->size());
    extra->buf = lastExtra->empty() ? nullptr : reinterpret_cast<std::uint8_t*>(lastExtra->data());
  }
  return 0;
}

}  // namespace pkistub

using namespace pkistub;

PKI_EXPORT int PKISTUB_FailCall(const char* entry, std::uint32_t nth, std::uint32_t status) {
  const int index = EntryIndex(entry);
  if (index < 0) return -1;
  ControlState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.rules.push_back({index, s.counts[index], nth, status});
  return 0;
}

PKI_EXPORT void PKISTUB_ScriptErrorLine(const char* file, std::uint32_t line, const char* text,
                                        const char* extra) {
  ControlState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.script.active = true;
  s.script.lines.push_back({file ? file : "", line, text ? text : "", extra ? extra : ""});
}

PKI_EXPORT void PKISTUB_ScriptEndlessErrorStack() {
  ControlState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.script.active = true;
  s.script.endless = true;
}

PKI_EXPORT void PKISTUB_ScriptOverlongErrorText() {
  ControlState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.script.overlong = true;
}

PKI_EXPORT std::int64_t PKISTUB_LiveAllocations() {
  return LiveAllocationCount();
}
PKI_EXPORT std::int64_t PKISTUB_UnknownFrees() {
  return UnknownFreeCount();
}
PKI_EXPORT std::uint32_t PKISTUB_MaxConcurrentInitialize() {
  return gMaxInside.load();
}
PKI_EXPORT std::int64_t PKISTUB_OpenContexts() {
  return gOpenContexts.load();
}
PKI_EXPORT std::int64_t PKISTUB_ClosedContextCalls() {
  return gClosedContextCalls.load();
}

PKI_EXPORT std::uint32_t PKISTUB_CallCount(const char* entry) {
  const int index = EntryIndex(entry);
  if (index < 0) return 0xFFFFFFFFu;
  ControlState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.counts[index];
}

PKI_EXPORT std::uint32_t PKISTUB_CallTrace(char* buf, std::uint32_t len) {
  ControlState& s = State();
  std::string text;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    for (int entry : s.trace) text += std::string("VCERT_") + tarvo::kVcertEntryNames[entry] + "\n";
  }
  return CopyOut(text, buf, len);
}

PKI_EXPORT std::uint32_t PKISTUB_LastCall(const char* entry, char* buf, std::uint32_t len) {
  const int index = EntryIndex(entry);
  if (index < 0) return 0xFFFFFFFFu;
  ControlState& s = State();
  std::string text;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    text = s.lastCall[index];
  }
  return CopyOut(text, buf, len);
}

PKI_EXPORT void PKISTUB_Reset() {
  ControlState& s = State();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    std::fill(std::begin(s.counts), std::end(s.counts), 0u);
    s.trace.clear();
    for (auto& text : s.lastCall) text.clear();
    s.rules.clear();
    s.script = ErrorScript{};
  }
  gMaxInside.store(0);
  gClosedContextCalls.store(0);
  ResetUnknownFrees();
}
