// The crypto provider: one loaded vendor library and one library context,
// opened on a local key store (a user profile in the registry) or on remote
// crypto servers; certificates, their lists and checks; profile settings.
//
// Ownership and lifetime
//   - Creation functions return a std::unique_ptr to a new provider or raise
//     EValidataError; a failed creation leaves nothing allocated.
//   - Certificates (TValidataCertificate), lists of them and connections hold
//     the provider's library and context alive (a shared core) until the last
//     of them is freed, so freeing the provider first never calls into an
//     unloaded library. Such an orphan still works; operations that need the
//     provider's crypto-server session fail with "no session selected".
//   - Releasing never raises: a failing VCERT_Uninitialize is logged through
//     the provider's log event and the library is unloaded all the same.
//
// Threads
//   A provider, its certificates and connections are used by one thread at a
//   time. Initialisation and release of library contexts of all providers are
//   serialised by the class-wide settings lock (recursive), which the host
//   may hold too (TValidataSettings::Lock / UnLock). The extended-key-usage
//   catalogues are built once per process, also when threads ask together.
//
// Secrets: passwords and PINs never reach a log line, an error text or an
// error stack; buffers that carried them are wiped before release.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/MemBlk.h"
#include "crypto/ValidataError.h"
#include "crypto/VcertApi.h"
#include "crypto/vcert1.h"
#include "platform/core/Sets.h"

namespace tarvo {

// --- enumerations and sets ---------------------------------------------------

enum TPkiType { ptNone = 0, ptGost = 1, ptRsa = 2 };
enum TValidataLibType { dllXPKI = 0, dllRPKI = 1, dllZPKI = 2 };
enum TValidataExtension { vexSecureChannel = 0, vexApiVersion5 = 1, vexApiVersion6 = 2 };
enum TValidataCapability { vcpSigning = 0, vcpEncryption = 1 };
enum TValidataInitOption { vioUseCurrentProfile = 0 };
enum TValidataAlgorithmFamily { vafValidata = 0, vafRsa = 1, vafTumar = 2 };

using TValidataLibTypes = TEnumSet<TValidataLibType>;
using TValidataExtensions = TEnumSet<TValidataExtension>;
using TValidataCapabilities = TEnumSet<TValidataCapability>;
using TValidataInitOptions = TEnumSet<TValidataInitOption>;

class TValidataCryptoProvider;
class TValidataCertificate;
class TValidataProviderCore;  // the shared library + context, Validata.cpp

using TValidataLogEvent = std::function<void(const std::string& msg)>;
using TValidataProfileLoadEvent =
    std::function<void(TValidataCryptoProvider* sender, const std::string& profileName)>;
using TValidataCertificatePtr = std::shared_ptr<TValidataCertificate>;
using TValidataCertificateFilter = std::function<bool(const TValidataCertificate&)>;

// Date-times are days since 1899-12-30 (UTC when made from Unix times).
using TValidataDateTime = double;

// --- extended key usages ------------------------------------------------------

struct TValidataExtKeyUsage {
  std::int32_t Asn1Type = 0;
  std::string LongName;
  std::string OID;
  std::string ShortName;
  std::int32_t Usage = 0;
  std::string Value;
};
// Keyed by OID, sorted, no duplicates.
using TValidataExtKeyUsages = std::map<std::string, TValidataExtKeyUsage>;

// --- settings (registry, HKEY_CURRENT_USER) -----------------------------------

struct TValidataProfile {
  std::string Name;  // with or without the library type's prefix, as asked
  int Index = 0;     // the profile's subkey number
  TValidataLibType LibType = dllZPKI;
};

class TValidataSettings {
 public:
  enum class TLibIteration { Forward, Reverse };

  // The library-type table.
  static const char* ProfilesKey(TValidataLibType t);
  static const char* StoreKey(TValidataLibType t);
  static const char* OIDsKey(TValidataLibType t);
  static const char* SettingsKey(TValidataLibType t);
  static const char* Prefix(TValidataLibType t);
  static const char* LibraryName(TValidataLibType t);
  static const char* SecConnLibraryName(TValidataLibType t);  // "" for none
  // Library types of a PKI type in library-type order (or reversed).
  static std::vector<TValidataLibType> LibTypes(TPkiType pki,
                                                TLibIteration order = TLibIteration::Forward);
  static TPkiType PkiTypeOf(TValidataLibType t) { return t == dllRPKI ? ptRsa : ptGost; }

  // Profiles of one library type, of one PKI type (with prefixes), of all.
  static std::vector<TValidataProfile> GetProfiles(TValidataLibType t, bool withPrefix);
  static std::vector<TValidataProfile> GetProfiles(TPkiType pki);
  // Appends the profiles of both PKI types; returns how many PKI types had any.
  static int GetProfiles(std::vector<TValidataProfile>& all);
  static std::vector<std::string> GetValidataProfileList();

  static std::string GetCurrentProfile(TValidataLibType t, bool withPrefix);
  // The first non-empty answer of the PKI type's library types in reverse
  // order, with prefix.
  static std::string GetCurrentProfile(TPkiType pki);
  // Makes the named profile (with or without prefix) current; false when no
  // library type of the PKI type lists it. libType receives the library type
  // whose current profile changed.
  static bool SetCurrentProfile(TPkiType pki, const std::string& name,
                                TValidataLibType* libType = nullptr);
  static std::string GetValidataCurrentProfileName(TPkiType pki = ptGost);
  // SetCurrentProfile, then whether reading back gives the name.
  static bool SetValidataCurrentProfileName(const std::string& name);

  static std::string GetPkiPrefix(TPkiType pki);
  // The library type a profile name's prefix selects (no known prefix: zpki).
  static TValidataLibType GetLibType(std::string_view profileName);
  static TPkiType GetPkiType(std::string_view profileName);
  // As GetPkiType, and strips the prefix from the name.
  static TPkiType FindoutPkiType(std::string& profileName);
  static bool HasKnownPrefix(std::string_view profileName);
  static std::string EnsureProfileExists(const std::string& name);

  // The catalogue of a PKI type (built on first use, kept for the process).
  static std::shared_ptr<const TValidataExtKeyUsages> ValidataExtKeyUsages(TPkiType pki);
  // Short (or long) name of an OID, the OID itself when unknown.
  static std::string GetExtKeyUsage(TPkiType pki, const std::string& oid, bool longName = false);
  static std::string GetExtKeyUsages(TPkiType pki, const std::vector<std::string>& oids,
                                     std::string_view separator, bool longName = false);
  // Drops the catalogues so the next use reads the registry again (class
  // finalisation; tests that change the registry).
  static void FreeExtKeyUsageCatalogues();

  // Name helpers (see TValidataCertificate).
  static std::string NameSubstr(std::string_view value, std::string_view id);
  static std::string GetShortSubject(std::string_view subject);

  // The class-wide settings lock (recursive).
  static void Lock();
  static void UnLock();
};

// --- errors --------------------------------------------------------------------

// Raises EValidataError: message = the library's text for error (or
// "Validata error 0x...", when it has none), the status, source and stack.
[[noreturn]] void RaiseValidataError(const TVCERTApi* api, TVcertStatus error,
                                     const std::string& sourceName, const std::string& stackTrace);

// --- certificates ------------------------------------------------------------

class TValidataCertificate {
 public:
  // Takes over the library record (its contents are released with
  // VCERT_FreeCert when the certificate goes; on failure at once).
  static TValidataCertificatePtr Create(TValidataCryptoProvider& provider, TCertificate&& record);
  static TValidataCertificatePtr Create(TValidataCryptoProvider& provider, const TMemBlk& encoded);
  static TValidataCertificatePtr Create(TValidataCryptoProvider& provider,
                                        const std::string& fileName);
  // A certificate that belongs to no provider and carries only an issuer and a
  // serial number (a recipient the store does not know).
  static TValidataCertificatePtr CreateDetached(const std::string& issuer,
                                                const std::string& serialNumber);
  ~TValidataCertificate();
  TValidataCertificate(const TValidataCertificate&) = delete;
  TValidataCertificate& operator=(const TValidataCertificate&) = delete;

  // The provider, null once it was freed (or for a detached certificate).
  TValidataCryptoProvider* CryptoProvider() const;
  const TCertificate& Certificate() const noexcept { return fRecord; }
  const TCertId& CertId() const noexcept { return fId; }

  TCertInfo Fields() const noexcept { return fRecord.Fields; }
  std::string Issuer() const;
  std::string SerialNumber() const;
  std::string Subject() const;
  std::string Algorithm() const;
  std::string IssuerUID() const;
  std::string SubjectUID() const;
  TKeyUsages KeyUsage() const noexcept { return fRecord.KeyUsage; }
  const TAltName& IssuerAltName() const noexcept { return fRecord.IssuerAltName; }
  const TAltName& SubjectAltName() const noexcept { return fRecord.SubjectAltName; }
  std::string KeyId() const;
  std::uint32_t PolicyNum() const noexcept { return fRecord.PolicyNum; }
  const TPolicy* Policies() const noexcept { return fRecord.Policies; }
  std::uint32_t ExtKeyUsageNum() const noexcept { return fRecord.ExtKeyUsageNum; }
  std::vector<std::string> ExtKeyUsage() const;  // empty when none
  std::uint32_t ExtensionNum() const noexcept { return fRecord.ExtensionNum; }
  const TCertExtension* Extensions() const noexcept { return fRecord.Extensions; }
  std::string CertEncoded() const;  // the DER bytes
  std::string CertHash() const;
  TValidataDateTime NotBefore() const;
  TValidataDateTime NotAfter() const;
  TValidataDateTime NotBeforePrivate() const;  // NotBefore when not given
  TValidataDateTime NotAfterPrivate() const;   // NotAfter when not given
  TValidataCapabilities Capabilities() const;
  TValidataAlgorithmFamily AlgorithmFamily() const;
  bool HasDer() const noexcept { return (fRecord.Fields & CertFieldBit(cfCertEncoded)) != 0; }

  // A new certificate parsed again from the DER encoding.
  TValidataCertificatePtr Duplicate() const;
  // Shows the certificate window (local mode): false when the user closed it
  // without a result.
  bool Show() const;
  // Raises unless the library accepts the certificate at checkTime (0 = now)
  // for the capabilities and, when to be checked, the extended key usages
  // (text split at line breaks and ";"). Never answers "valid" on an error.
  void Verify(TValidataDateTime checkTime, const std::string& extKeyUsageList,
              TValidataCapabilities capabilities) const;
  bool IsExpired() const;
  // True when revoked or otherwise not valid (any non-zero status).
  bool IsRevoked() const;
  // Extended key usages are checked only for certificates issued after
  // 2020-07-01; for older ones every confirmation answers true.
  bool ShouldCheckExtKeyUsage() const;
  bool ConfirmsExtKeyUsage(const std::string& oid) const;
  bool ConfirmsExtKeyUsages(const std::vector<std::string>& oids, bool confirmAll) const;
  bool ConfirmsExtKeyUsages(const std::string& text, bool confirmAll) const;
  bool ConfirmsExtKeyUsages(const TValidataCertificate& other, bool confirmAll) const;
  std::string OIDs(std::string_view separator) const;
  bool Matches(const std::string& value, const std::string& pattern) const;
  bool MatchesSubject(const std::string& pattern) const;
  bool MatchesAlgorithm(const std::string& value) const;
  std::string ShortSubject() const;
  std::string CertificateID(std::string_view separator) const;
  static std::string NameSubstr(std::string_view value, std::string_view id) {
    return TValidataSettings::NameSubstr(value, id);
  }

 private:
  friend class TValidataCryptoProvider;
  TValidataCertificate() = default;
  static TValidataCertificatePtr Adopt(std::shared_ptr<TValidataProviderCore> core,
                                       TCertificate& record);
  void RequireDer(const char* source) const;
  TPkiType PkiType() const;

  std::shared_ptr<TValidataProviderCore> fCore;  // null: detached
  TCertificate fRecord{};
  TCertId fId{};
};

// An ordered list; one certificate may sit in several lists (shared).
class TValidataCertificates {
 public:
  int Count() const noexcept { return static_cast<int>(fItems.size()); }
  const TValidataCertificatePtr& operator[](int i) const {
    return fItems.at(static_cast<std::size_t>(i));
  }
  void Add(TValidataCertificatePtr cert);
  bool Remove(const TValidataCertificate* cert);
  void Delete(int index);
  void Clear() noexcept { fItems.clear(); }
  int IndexOf(const TValidataCertificate* cert) const;
  // The first listed certificate with the same serial number (null if none).
  TValidataCertificatePtr Find(const TValidataCertificate& cert) const;
  // The first with the same issuer and serial number.
  TValidataCertificatePtr FindSame(const TValidataCertificate& cert) const;
  auto begin() const { return fItems.begin(); }
  auto end() const { return fItems.end(); }

 private:
  std::vector<TValidataCertificatePtr> fItems;
};
using TValidataCertificateList = std::unique_ptr<TValidataCertificates>;

// A signature found by a verification.
struct TValidataSignature {
  TValidataCertificatePtr Certificate;  // may be null
  TVcertStatus Status = 0;
  TValidataDateTime SignTime = 0;
  std::string StatusStr;
};
using TValidataSignatures = std::vector<TValidataSignature>;

// --- the provider --------------------------------------------------------------

class TValidataCryptoProvider {
 public:
  static std::unique_ptr<TValidataCryptoProvider> CreateLocal(
      const std::string& AProfileName, std::uint32_t AInitFlags = 0,
      TValidataProfileLoadEvent aOnLoad = {}, TValidataLogEvent aOnLog = {},
      TValidataCapabilities aCapabilities = {}, TValidataInitOptions aOptions = {});
  static std::unique_ptr<TValidataCryptoProvider> CreateLocalEx(
      TPkiType pkiType, const std::string& basePath, const std::string& ldapPath,
      std::uint32_t flags = 0, TValidataLogEvent onLog = {},
      TValidataCapabilities capabilities = {});
  static std::unique_ptr<TValidataCryptoProvider> CreateRemote(
      TPkiType pkiType, const std::vector<std::string>& servers, const std::string& alias,
      std::uint32_t timeout, TValidataCapabilities capabilities = {},
      TValidataProfileLoadEvent onLoad = {});
  // servers: comma-separated.
  static std::unique_ptr<TValidataCryptoProvider> CreateRemote(
      TPkiType pkiType, const std::string& servers, const std::string& alias, std::uint32_t timeout,
      TValidataCapabilities capabilities = {}, TValidataProfileLoadEvent onLoad = {});

  virtual ~TValidataCryptoProvider();
  TValidataCryptoProvider(const TValidataCryptoProvider&) = delete;
  TValidataCryptoProvider& operator=(const TValidataCryptoProvider&) = delete;

  virtual const char* ClassName() const = 0;
  // A second provider of the same class on a copy of this context.
  std::unique_ptr<TValidataCryptoProvider> Duplicate();

  const TVCERTApi& Api() const noexcept;
  TVcertContext Context() const noexcept;
  TPkiType PkiType() const noexcept;
  TValidataLibType LibType() const noexcept { return fLibType; }
  const std::string& LibraryName() const noexcept { return fLibraryName; }
  const std::string& PSEPath() const noexcept { return fPSEPath; }
  const std::string& LocalPath() const noexcept { return fLocalPath; }
  const std::string& LdapPath() const noexcept { return fLdapPath; }
  bool LocalMode() const noexcept;
  bool CryptoServerMode() const noexcept { return !LocalMode(); }
  const std::string& ProfileName() const noexcept { return fProfileName; }
  std::uint32_t InitFlags() const noexcept { return fInitFlags; }
  TValidataCapabilities WantedCapabilities() const noexcept { return fWantedCapabilities; }
  TValidataExtensions Extensions() const noexcept;
  std::uint32_t RPCTimeout() const noexcept { return fRPCTimeout; }
  const std::vector<std::string>& CryptoServers() const noexcept { return fCryptoServers; }
  const std::string& CryptoServerAlias() const noexcept { return fAlias; }
  // The session certificate's capabilities (raises as SessionCertificate).
  TValidataCapabilities Capabilities();

  // Own certificates, searched once on first use (raises when none found).
  TValidataCertificates& SessionCertificates();
  // The one set explicitly, else the first own certificate.
  TValidataCertificatePtr SessionCertificate();
  void SetSessionCertificate(TValidataCertificatePtr cert);
  // What MyCert gets: null in local mode; in crypto-server mode the session
  // certificate's identifier, or "no session selected" raised under source.
  TCertId* SessionId(const std::string& source);

  int DoFind(const TFindParams& params, TValidataCertificateList& list, bool raiseNotFound,
             TValidataCapabilities capabilities, bool checkAlgorithm,
             const TValidataCertificateFilter& filter = {});
  int FindAllCertificates(TValidataCertificateList& list, const std::string& subjectList,
                          bool allKeyUsages, const std::string& extKeyUsageList, bool findRemote,
                          bool uiSelect, bool raiseNotFoundError, bool checkAlgorithm);
  // fields: TCertField bit numbers; values: one per field.
  int FindAllCertificates(TValidataCertificateList& list, const std::vector<int>& fields,
                          const std::vector<std::string>& values, bool findRemote, bool uiSelect,
                          bool raiseNotFoundError, bool checkAlgorithm);

  void AddCertificate(const TValidataCertificate& cert);
  void SetAuthData(const std::string& password);
  void Authorize(const std::string& password);
  // value receives a library buffer: release it with FreeMemBlk.
  void GenRandom(std::uint32_t length, TMemBlk& value);
  void UpdateCRLs();
  bool PrivateKeyExpires(int& daysLeft);
  std::string GetErrorStack();
  void FreeMem(void* p);
  void FreeMemBlk(TMemBlk& blk);

  // Raises EValidataError for a non-zero status (text, stack, source).
  void Check(TVcertStatus status, const std::string& sourceName);

  const std::shared_ptr<TValidataProviderCore>& Core() const noexcept { return fCore; }

 protected:
  enum class TRequestedClass { Any, V5 };
  TValidataCryptoProvider() = default;
  // Library selection and the provider object (no context yet).
  static std::unique_ptr<TValidataCryptoProvider> DoCreate(TPkiType pkiType, bool cryptoServer,
                                                           TValidataCapabilities capabilities,
                                                           TRequestedClass requested);
  static std::unique_ptr<TValidataCryptoProvider> DoCreateLocalProfile(
      TRequestedClass requested, const std::string& AProfileName, std::uint32_t AInitFlags,
      const TValidataProfileLoadEvent& aOnLoad, const TValidataLogEvent& aOnLog,
      TValidataCapabilities aCapabilities, TValidataInitOptions aOptions);
  static std::unique_ptr<TValidataCryptoProvider> DoCreateLocalEx(
      TRequestedClass requested, TPkiType pkiType, const std::string& basePath,
      const std::string& ldapPath, std::uint32_t flags, const TValidataLogEvent& onLog,
      TValidataCapabilities capabilities);
  static std::unique_ptr<TValidataCryptoProvider> DoCreateRemote(
      TRequestedClass requested, TPkiType pkiType, const std::vector<std::string>& servers,
      const std::string& alias, std::uint32_t timeout, TValidataCapabilities capabilities,
      const TValidataProfileLoadEvent& onLoad);
  virtual TRequestedClass RequestedClass() const { return TRequestedClass::Any; }
  // Adding a certificate's DER encoding to the store (version-specific).
  virtual void DoAddCertificate(const TMemBlk& der) = 0;

 private:
  void DoCreateLocal(const std::string& basePath, const std::string& psePath,
                     const std::string& localPath, const std::string& ldapPath, std::uint32_t flags,
                     const TValidataLogEvent& onLog);
  void CheckSessionCertificate();
  void Log(const std::string& line) const;

  std::shared_ptr<TValidataProviderCore> fCore;
  TValidataLibType fLibType = dllZPKI;
  std::string fLibraryName;
  std::string fPSEPath, fLocalPath, fLdapPath;
  TValidataCertificatePtr fSessionCertificate;  // set explicitly
  TValidataCertificateList fSessionCertificates;
  std::string fProfileName;
  std::uint32_t fInitFlags = 0;
  TValidataCapabilities fWantedCapabilities;
  std::uint32_t fRPCTimeout = 0;
  std::vector<std::string> fCryptoServers;
  std::string fAlias;
  TValidataLogEvent fOnLog;
};

class TValidataCryptoProviderV5 : public TValidataCryptoProvider {
 public:
  // Creation on this class asks for the version-5 interface when the library
  // has it.
  static std::unique_ptr<TValidataCryptoProvider> CreateLocal(
      const std::string& AProfileName, std::uint32_t AInitFlags = 0,
      TValidataProfileLoadEvent aOnLoad = {}, TValidataLogEvent aOnLog = {},
      TValidataCapabilities aCapabilities = {}, TValidataInitOptions aOptions = {});
  static std::unique_ptr<TValidataCryptoProvider> CreateLocalEx(
      TPkiType pkiType, const std::string& basePath, const std::string& ldapPath,
      std::uint32_t flags = 0, TValidataLogEvent onLog = {},
      TValidataCapabilities capabilities = {});
  static std::unique_ptr<TValidataCryptoProvider> CreateRemote(
      TPkiType pkiType, const std::vector<std::string>& servers, const std::string& alias,
      std::uint32_t timeout, TValidataCapabilities capabilities = {},
      TValidataProfileLoadEvent onLoad = {});

  const char* ClassName() const override { return "TValidataCryptoProviderV5"; }

 protected:
  friend class TValidataCryptoProvider;
  TRequestedClass RequestedClass() const override { return TRequestedClass::V5; }
  void DoAddCertificate(const TMemBlk& der) override;
};

class TValidataCryptoProviderV6 : public TValidataCryptoProvider {
 public:
  const char* ClassName() const override { return "TValidataCryptoProviderV6"; }

 protected:
  friend class TValidataCryptoProvider;
  void DoAddCertificate(const TMemBlk& der) override;
};

// --- secure connection ---------------------------------------------------------

class TValidataConnection {
 public:
  TValidataConnection(TValidataCryptoProvider& provider, bool isClient);
  ~TValidataConnection();
  TValidataConnection(const TValidataConnection&) = delete;
  TValidataConnection& operator=(const TValidataConnection&) = delete;

  bool IsClient() const noexcept { return fIsClient; }
  TVcertConnection Handle() const noexcept { return fHandle; }

  // Output messages are library buffers: release them with the provider's
  // FreeMemBlk. serverCert may be null.
  void ClientStep1(const TValidataCertificate* serverCert, TMemBlk& msg1);
  void ServerStep2(TMemBlk& msg1, TMemBlk& msg2);
  void ClientStep3(TMemBlk& msg2, TMemBlk& msg3);
  void ServerStep4(TMemBlk& msg3, TMemBlk& msg4);
  void ClientStep5(TMemBlk& msg4);
  void Encrypt(TMemBlk& in, TMemBlk& out);
  void Decrypt(TMemBlk& in, TMemBlk& out);
  void Ctrl(std::int32_t cmd, void* value);

 private:
  void RequireClient(const char* step) const;
  void RequireServer(const char* step) const;

  std::shared_ptr<TValidataProviderCore> fCore;
  bool fIsClient;
  TVcertConnection fHandle = nullptr;
};

}  // namespace tarvo
