// Test support for code that loads the vendor crypto library: where the built
// variants of our stand-in live, a key-store layout the stand-in reads, the
// committed test certificates with their facts, and a C++ handle on the
// stand-in's control interface.
//
// Link the static library `pki_testing`. Linking it also builds every variant
// of the stand-in (and the secure-connection library beside the wrapper).
//
// Threads: the free functions are thread-safe. A PkiControl may be used from
// any thread; the control state lives in the loaded stand-in and is shared by
// every handle on the same library file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvo::pkitest {

// ---------------------------------------------------------------------------
// Variants of the stand-in.
//
// Each variant is one self-contained shared object (soname "tumldr.dll",
// links only libcrypto and the C++ runtime) that exports exactly its entries
// "VCERT_<name>" plus the control interface ("PKISTUB_*"). Its folder holds it
// under the names "xpki1.dll", "rpki1.dll", "zpki1.dll" and "libpki1.dll"
// (symbolic links to one file, so every name loads the same instance and a
// PkiControl on any of them controls what the wrapper loaded). Point the
// platform's system folder (TARVO_SYSTEM_DIR) at ScenarioFolder() to make a
// scenario the one the wrapper finds.
enum class Scenario {
  Version5Only,                // every entry but the CMS group (37..91); exports
                               // "VCERT_EncryptMem", not "VCERT_CmsBlkEncryptMem"
  Version6Only,                // every entry but the message group (92..142), so also
                               // no session/connection entries
  Both,                        // all 143 entries: the normal library
  CryptoServer,                // all but 19, 21, 27, 28, 35, 36 and 121..142 (what the
                               // crypto-server flavour may lack); use "libpki1.dll"
  MissingCoreEntry,            // all but kMissingCoreEntry
  PartialConnectionGroup,      // all but "VCERT_ClientStep1" (so it does have
                               // "VCERT_CreateSession")
  SeparateSecureConnection,    // all but 126..142; "xsecconn.dll" beside the
                               // wrapper exports exactly those; use "xpki1.dll"
  SecureConnectionUnloadable,  // the same main library; "rsecconn.dll"
                               // beside the wrapper is not a loadable shared
                               // object; use "rpki1.dll"
  WithoutAuthorisation,        // all but the optional "VCERT_SetAuthData" and
                               // "VCERT_Authorize"
};

// The folder of the scenario's library, absolute, without a trailing "/".
// The folder of SeparateSecureConnection and SecureConnectionUnloadable has
// no "zpki1.dll": a GOST provider prefers zpki, which has no secure-connection
// library, so without it library selection reaches "xpki1.dll".
std::string ScenarioFolder(Scenario scenario);
// The file name the scenario is meant to be loaded under ("zpki1.dll" unless
// the comment above names another).
std::string ScenarioLibraryName(Scenario scenario);
// ScenarioFolder + "/" + ScenarioLibraryName.
std::string ScenarioLibraryPath(Scenario scenario);
// The secure-connection library the wrapper should be given for the
// scenario ("xsecconn.dll", "rsecconn.dll", or "" for none).
std::string ScenarioSecureConnectionName(Scenario scenario);

// The entry the MissingCoreEntry variant lacks (full exported name).
inline constexpr const char* kMissingCoreEntry = "VCERT_VerifyCertificatePolicy";
// Windows error code with which loading "rsecconn.dll" from the wrapper's
// folder fails (ERROR_BAD_EXE_FORMAT).
inline constexpr std::uint32_t kUnloadableSecureConnectionError = 193;

// The folder where the build puts the wrapper and the secure-connection
// libraries ("xsecconn.dll" valid, "rsecconn.dll" unloadable).
std::string WrapperFolder();

// ---------------------------------------------------------------------------
// Statuses of the stand-in beyond those the wrapper itself knows (vcert1.h).
// Texts come from VCERT_GetErrorText; every failing call also pushes one line
// onto its context's error stack.
inline constexpr std::uint32_t kStatusBadParameter = 0xE0700002;   // null/ill-sized argument
inline constexpr std::uint32_t kStatusBadContext = 0xE0700003;     // unknown context/connection
inline constexpr std::uint32_t kStatusNotAvailable = 0xE0700004;   // entry not implemented here
inline constexpr std::uint32_t kStatusBadEncoding = 0xE0700010;    // not a DER certificate
inline constexpr std::uint32_t kStatusWrongPassword = 0xE0700021;  // SetAuthData/Authorize refused
// outside its validity at the check time
inline constexpr std::uint32_t kStatusCertExpired = 0xE0700030;
inline constexpr std::uint32_t kStatusCertRevoked = 0xE0700031;     // serial listed as revoked
inline constexpr std::uint32_t kStatusCertUntrusted = 0xE0700032;   // no known authority signed it
inline constexpr std::uint32_t kStatusPolicyMismatch = 0xE0700033;  // key usage / EKU not satisfied
inline constexpr std::uint32_t kStatusNotFound = 0xE0700046;        // nothing matched a search
inline constexpr std::uint32_t kStatusStoreUnavailable = 0xE0710010;   // key-store folder missing
inline constexpr std::uint32_t kStatusServerUnavailable = 0xE0730001;  // no crypto server reachable
inline constexpr std::uint32_t kStatusWrongSide = 0xE0700004;  // client step on a server etc.
inline constexpr std::uint32_t kStatusHandshake = 0xE0740001;  // bad handshake message / order

// ---------------------------------------------------------------------------
// The committed test certificates (PEM files in standins/pki/testdata, made
// once by standins/pki/certgen). All are valid until 2045 unless noted; all
// subjects are ASCII. EC P-256 keys stand for the national algorithm and are
// reported by the stand-in as "GOST R 34.10-2012 (256 bit)", EC P-384 keys as
// "GOST RK 34.10-2015" (the algorithm family of the RSA provider's national
// CSP); RSA keys as "RSA".
enum class TestCert {
  Authority,         // the test authority (self-signed), issues the others
  Authority2,        // a second authority
  OwnSignEncrypt,    // own: digitalSignature + keyEncipherment + keyAgreement,
                     // EKU clientAuth + emailProtection; has a key
  OwnEncryptOnly,    // own: keyEncipherment + keyAgreement only; has a key
  OwnRsa,            // own, RSA key, signing + encryption; has a key
  Expired,           // other: expired (2019-01-01 .. 2020-01-01)
  Before2020,        // other: issued 2020-03-01 (before 2020-07-01), no EKU
  WithoutKeyId,      // other: no subject key identifier
  SameSerialA,       // other: serial kSharedSerial under Authority
  SameSerialB,       // other: serial kSharedSerial under Authority2
  InnSnils,          // other: subject with INN and SNILS, in the order CN, O, INN, SNILS
  Revoked,           // other: listed as revoked by LayoutStore's default
  AfterCutoffNoEku,  // other: issued 2021, signing, no extended key usage
  TumarSignEncrypt,  // "GOST RK 34.10-2015", signing + keyEncipherment, EKU
                     // clientAuth; has a key; in no default store
};

inline constexpr const char* kSharedSerial = "5AA5";

struct TestCertFacts {
  TestCert id;
  std::string name;      // file stem: "<name>.pem", "<name>.key"
  std::string certPath;  // absolute path of the PEM certificate
  std::string keyPath;   // absolute path of the PEM private key, "" for none
  std::string serial;    // upper-case hex of whole bytes ("1001"), as the stand-in reports it
  std::string subject;   // as the stand-in reports it: "CN=..., O=..." in certificate order
  std::string issuer;
  std::uint32_t notBefore;  // Unix time
  std::uint32_t notAfter;   // Unix time
  std::string keyId;        // upper-case hex of the subject key identifier, "" for none
  std::string algorithm;    // as the stand-in reports it
};

// Facts of one certificate (the paths point into the source tree).
const TestCertFacts& Facts(TestCert cert);
// Every test certificate, in enum order.
const std::vector<TestCertFacts>& AllTestCerts();
// The DER bytes of a test certificate.
std::string CertDer(TestCert cert);

// ---------------------------------------------------------------------------
// Key stores the stand-in reads.
//
// Layout under a base folder (what a profile's paths name):
//   <base>/local.pse/     own certificates: "<alias>.pem" (certificate) and
//                         "<alias>.key" (its private key); in crypto-server
//                         mode the alias names the session
//   <base>/local.gdbm/    "certs/*.pem" other certificates, "ca/*.pem"
//                         authorities, "revoked.txt" lines "<issuer>|<serial>"
//   <base>/ldap/          certificates of the directory service ("*.pem")
//   <base>/auth.txt       the password SetAuthData / Authorize accept (absent:
//                         any password is accepted)
// The stand-in accepts the paths with the prefixes the wrapper builds:
// "pse://signed/<folder>", "file://<folder>", "ldap://<folder>" (a plain
// folder works too; an "ldap://" address that is not a folder is an
// unreachable directory service: remote searches find nothing there). A crypto
// server "ncacn_ip_tcp:<base>" serves the store laid out at <base>; of several
// servers the first whose store exists answers.
//
// What the stand-in does with a store:
//   FindCert     Flag bit 0 (1): own certificates only (a MyCert of type
//                ID_ALIAS picks the session of that alias); otherwise own,
//                other and authority certificates, and with bit 2 (4) also
//                the directory service. Other bits are accepted and ignored
//                (there is no selection window). The template matches on the
//                fields its mask names: serial (ignoring case and leading
//                zeros), issuer (exact), subject (any part, ignoring case),
//                key id (ignoring case), hash, algorithm, extended key usages.
//                Each certificate once, in folder and file-name order;
//                nothing -> kStatusNotFound. Expired ones are not filtered.
//   VerifyCert, VerifyCertificatePolicy
//                validity at the check time (now when 0), issued by an
//                authority of the store, not revoked, the key usage bits
//                asked for, every extended key usage asked for; a
//                certificate policy asked for is never satisfied.
//   ShowCertificate, UpdateCRLs  not available on a crypto server.
//   AddCertificate, ImportMem    add to this context's other certificates
//                (in memory; the store on disk is not changed).
struct StoreContent {
  std::vector<TestCert> own;  // with keys (only certificates that have one)
  std::vector<TestCert> others;
  std::vector<TestCert> authorities;
  std::vector<TestCert> remote;   // in the directory service only
  std::vector<TestCert> revoked;  // listed in revoked.txt
  std::string password;           // "" = no auth.txt
};

// own {OwnSignEncrypt, OwnEncryptOnly}; others: every "other" certificate;
// authorities {Authority, Authority2}; remote {}; revoked {Revoked}; no password.
StoreContent DefaultStoreContent();

struct StorePaths {
  std::string basePath;    // "BasePath" of a profile: the base folder
  std::string pse;         // "store_0": "pse://signed/<base>/local.pse"
  std::string localStore;  // "store_1": "file://<base>/local.gdbm"
  std::string ldap;        // "store_2": "ldap://<base>/ldap"
  std::string server;      // a crypto-server address: "<base>" (the wrapper adds
                           // "ncacn_ip_tcp:")
};

// Creates the folders under `folder` (created when missing) and copies the
// certificates in; a store laid out there before is replaced, so the store
// holds exactly `content`. Throws std::runtime_error when a file cannot be
// written.
StorePaths LayoutStore(const std::string& folder,
                       const StoreContent& content = DefaultStoreContent());

// ---------------------------------------------------------------------------
// The control interface of a loaded stand-in.
//
// Opens the library file (the same file the wrapper loads shares one instance
// with it, so the counters are the wrapper's) and resolves "PKISTUB_*" with
// FindSymbol. While a PkiControl lives, it keeps that library loaded. Throws
// std::runtime_error when the file cannot be loaded or lacks the control
// interface.
class PkiControl {
 public:
  explicit PkiControl(const std::string& libraryPath);
  ~PkiControl();
  PkiControl(const PkiControl&) = delete;
  PkiControl& operator=(const PkiControl&) = delete;

  // The nth call (1-based, counted from now or the last Reset) of `entry`
  // ("VCERT_FindCert" or "FindCert"; std::invalid_argument for other names)
  // fails with `status` without doing anything; nth = 0 makes every call
  // fail. Entries without a status fail as they can: AllocMem, ReallocMem and
  // DuplicateContext return null, GetErrorText writes nothing, GetErrorLineEx
  // answers "exhausted"; entries without a result ignore the rule. A failing
  // Uninitialize keeps its context open (OpenContexts shows it).
  void FailCall(const std::string& entry, std::uint32_t nth, std::uint32_t status);

  // The error stack every context reports from now on (replacing the real
  // one): these lines, newest first, then "exhausted"; read again after it was
  // exhausted, it starts over.
  struct ErrorLine {
    std::string file;
    std::uint32_t line = 0;
    std::string text;
    std::string extra;  // "" = no extra data
  };
  void ScriptErrorStack(const std::vector<ErrorLine>& lines);
  // GetErrorLineEx never answers "exhausted" (it repeats a line forever).
  void ScriptEndlessErrorStack();
  // GetErrorText and GetErrorLineEx fill the caller's whole buffer with text
  // and no terminator.
  void ScriptOverlongErrorText();

  // Blocks the library handed out and not yet released (AllocMem, strings
  // and arrays inside records, result arrays, output buffers, contexts,
  // connections).
  std::int64_t LiveAllocations() const;
  // Releases (FreeMem, FreeCert contents, ReallocMem) of pointers the library
  // did not hand out or had already released.
  std::int64_t UnknownFrees() const;
  // The most calls that were inside VCERT_InitializeEx at the same time
  // (InitializeEx lingers a few milliseconds so that overlaps show).
  std::uint32_t MaxConcurrentInitialize() const;
  // Calls of an entry since the last Reset.
  std::uint32_t CallCount(const std::string& entry) const;
  // Names ("VCERT_...") of the calls since the last Reset, in order (the
  // control interface itself is not recorded). For sweeps: fail the k-th
  // occurrence of each traced entry in turn.
  std::vector<std::string> CallTrace() const;
  // What the last call of an entry received, as "key=value" lines, e.g. for
  // InitializeEx "mode=1", "size=40", "flag=0x0", "pse=...", "localstore=...",
  // "ldap=...", "pin=<null>"; for FindCert "flag=0x...", "info=0x...",
  // "fields=0x...", "subject=...", "mycert=<null>|alias:...|...", and so on.
  // "" when it was not called.
  std::string LastCall(const std::string& entry) const;
  // Contexts currently open (InitializeEx/DuplicateContext minus Uninitialize).
  std::int64_t OpenContexts() const;
  // Calls that passed a context that is not (or no longer) open: a caller
  // that frees a certificate after releasing its provider's context shows up
  // here. (Variants are never unmapped once loaded - they are linked
  // "nodelete" - so such a late call lands here instead of in unmapped code.)
  std::int64_t ClosedContextCalls() const;

  // Clears failure rules, scripts, call counts and the trace, and the
  // concurrency, unknown-free and closed-context counters. Live allocations are real and stay.
  void Reset();

 private:
  struct Impl;
  Impl* fImpl;
};

}  // namespace tarvo::pkitest
