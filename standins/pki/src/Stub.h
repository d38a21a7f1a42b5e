// Internals of the crypto-library stand-in (not exported; every symbol here
// is hidden, see the variant version scripts).
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "crypto/vcert1.h"
#include "standins/pki/PkiControlApi.h"

#define PKI_EXPORT extern "C" __attribute__((visibility("default")))

namespace pkistub {

using tarvo::TCertId;
using tarvo::TCertificate;
using tarvo::TCertInfo;
using tarvo::TMemBlk;
using tarvo::TVcertStatus;

// Statuses of our own (mirrored in PkiTesting.h for the tests).
inline constexpr TVcertStatus kBadParameter = 0xE0700002;
inline constexpr TVcertStatus kBadContext = 0xE0700003;
inline constexpr TVcertStatus kNotAvailable = 0xE0700004;
inline constexpr TVcertStatus kBadEncoding = 0xE0700010;
inline constexpr TVcertStatus kWrongPassword = 0xE0700021;
inline constexpr TVcertStatus kCertExpired = 0xE0700030;
inline constexpr TVcertStatus kCertRevoked = 0xE0700031;
inline constexpr TVcertStatus kCertUntrusted = 0xE0700032;
inline constexpr TVcertStatus kPolicyMismatch = 0xE0700033;
inline constexpr TVcertStatus kNotFound = 0xE0700046;
inline constexpr TVcertStatus kStoreUnavailable = 0xE0710010;
inline constexpr TVcertStatus kServerUnavailable = 0xE0730001;
inline constexpr TVcertStatus kHandshake = 0xE0740001;

// --- memory ------------------------------------------------------------------
// Every block handed to the caller is registered, so that tests can see leaks
// (LiveAllocations) and releases of pointers we never handed out.
void* Alloc(std::size_t size);  // zeroed; never null for size 0
char* StrDup(const std::string& text);
std::uint8_t* BlkDup(const void* data, std::size_t size);
void Free(void* p);                        // null: nothing; unknown: counted
void* Realloc(void* p, std::size_t size);  // unknown p: counted, null returned
void HandleCreated();                      // contexts and connections
void HandleReleased();
std::int64_t LiveAllocationCount();
std::int64_t UnknownFreeCount();
void ResetUnknownFrees();
void CountUnknownFree();

// --- control -----------------------------------------------------------------
int EntryIndex(const char* name);  // with or without "VCERT_"; -1 unknown
// Records a call; returns the injected failure status, 0 for none.
TVcertStatus Enter(int entry);
void RecordCall(int entry, std::string text);
void InitializeEntered();  // concurrency counting around InitializeEx
void InitializeLeft();
void ContextOpened();
void ContextClosed();

struct ErrorLine {
  std::string file;
  std::uint32_t line = 0;
  std::string text;
  std::string extra;
};
// The scripted error stack, when one is active.
struct ErrorScript {
  bool active = false;
  bool endless = false;
  bool overlong = false;
  std::vector<ErrorLine> lines;
};
ErrorScript CurrentErrorScript();
bool OverlongErrorText();
std::string StatusText(TVcertStatus status);

// --- certificates and stores ------------------------------------------------
struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};

struct StoredCert {
  std::shared_ptr<X509> x509;
  std::string der;
  std::shared_ptr<EVP_PKEY> key;  // own certificates only
  std::string alias;              // own: file stem
};

struct Store {
  std::vector<StoredCert> own, others, authorities, remote;
  std::set<std::string> revoked;  // "<issuer>|<serial>"
  bool hasPassword = false;
  std::string password;
};

struct Context {
  std::uint64_t magic = kMagic;
  static constexpr std::uint64_t kMagic = 0x504B49435458ull;  // "PKICTX"
  bool local = true;
  std::string psePath, storePath, ldapPath;  // folders ("" = none)
  Store store;
  bool authorised = false;

  std::mutex errorMutex;
  std::deque<ErrorLine> errors;  // front = newest
  std::size_t scriptCursor = 0;
  std::string lastFile, lastExtra;  // storage behind GetErrorLineEx results
};

// Registry of open contexts (so a stale or foreign handle is refused).
Context* FindContext(void* handle);
// FindContext that also counts a non-null handle that is not open.
Context* CheckedContext(void* handle);
void RegisterContext(Context* ctx);
bool UnregisterContext(Context* ctx);

// Clears the context's (or, for null, the thread's) error stack; called when
// an entry starts.
void ClearErrors(Context* ctx);
// Pushes a line describing a failure and returns the status.
TVcertStatus Fail(Context* ctx, TVcertStatus status, const char* entry, const std::string& detail,
                  int line);
#define PKI_FAIL(ctx, status, entry, detail) \
  ::pkistub::Fail((ctx), (status), (entry), (detail), __LINE__)
// Reads one line (0) or answers "exhausted" (1).
std::uint32_t NextErrorLine(Context* ctx, char* text, std::uint32_t textLen, TMemBlk* file,
                            std::uint32_t* line, TMemBlk* extra);

// Strips "pse://signed/", "pse://", "file://", "ldap://".
std::string PathFromAddress(const std::string& address);
bool IsFolder(const std::string& path);
// Loads the store; false with a reason on a bad file.
bool LoadStore(const std::string& pse, const std::string& local, const std::string& ldap,
               Store& store, std::string& error);
bool ParseDer(const std::string& der, std::shared_ptr<X509>& out);

// --- records -------------------------------------------------------------------
std::string DnText(const X509_NAME* name);
std::string SerialText(const X509* x);
std::string KeyIdText(const X509* x);  // "" when none
std::string AlgorithmText(const X509* x);
std::vector<std::string> ExtKeyUsages(const X509* x);
bool HasExtKeyUsageExtension(const X509* x);
tarvo::TKeyUsages KeyUsages(const X509* x);
std::uint32_t UnixTime(const ASN1_TIME* t);
void PrivateKeyPeriod(const X509* x, std::uint32_t& from, std::uint32_t& to);
std::string Sha1(const std::string& der);
// Fills a record with the wanted fields (library allocations).
void FillRecord(const X509* x, const std::string& der, TCertInfo wanted, TCertificate* out);
// Releases what the record points to and zeroes it.
void FreeRecord(TCertificate* rec);
bool SameSerial(const std::string& a, const std::string& b);
bool EqualNoCase(const std::string& a, const std::string& b);
bool ContainsNoCase(const std::string& haystack, const std::string& needle);

// Output blocks: empty on input -> a library buffer; a program buffer that is
// large enough -> filled in place; otherwise false.
bool PutBlock(TMemBlk* out, const std::string& bytes);

}  // namespace pkistub
