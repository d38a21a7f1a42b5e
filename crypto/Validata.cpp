// TValidataCryptoProvider: creation, session certificates, search and the
// provider-level operations; TValidataConnection.
#include "crypto/Validata.h"

#include <cmath>
#include <cstring>
#include <mutex>

#include "crypto/ValidataCore.h"
#include "platform/core/DateTime.h"
#include "platform/core/Errors.h"
#include "platform/core/Files.h"
#include "platform/core/Format.h"
#include "platform/core/Text.h"
#include "platform/system/Registry.h"

namespace tarvo {

namespace {

constexpr std::size_t kMaxCryptoServers = 100;
constexpr std::uint32_t kInitNoLdap = 4;  // InitFlags bit: no directory service
constexpr std::uint32_t kFindAllFlag = 0x200;
constexpr std::uint32_t kFindRemoteFlag = 4;
constexpr std::uint32_t kFindUISelectFlag = 8;
constexpr std::uint32_t kFindBroadFlags = 0x30;
constexpr const char* kTumarLoader = "tumldr.dll";

using Guard = std::lock_guard<std::recursive_mutex>;

}  // namespace

// --- creation ------------------------------------------------------------------

std::unique_ptr<TValidataCryptoProvider> TValidataCryptoProvider::DoCreate(
    TPkiType pkiType, bool cryptoServer, TValidataCapabilities capabilities,
    TRequestedClass requested) {
  std::string library, secconn;
  TValidataLibType libType = dllZPKI;
  if (cryptoServer) {
    library = "libpki1.dll";
  } else {
    const auto types =
        TValidataSettings::LibTypes(pkiType, TValidataSettings::TLibIteration::Reverse);
    if (types.empty())
      throw EValidataError("No Validata library serves this PKI type",
                           platform::ERROR_INVALID_PARAMETER, "TValidataCryptoProvider.Create");
    libType = types.front();
    for (auto t : types) {
      if (TVCERTApi::Available(TValidataSettings::LibraryName(t))) {
        libType = t;
        break;
      }
    }
    library = TValidataSettings::LibraryName(libType);
    secconn = TValidataSettings::SecConnLibraryName(libType);
  }

  auto core = std::make_shared<TValidataProviderCore>();
  core->api = std::make_unique<TVCERTApi>(cryptoServer, library, secconn);
  const TVCERTApi& api = *core->api;

  std::unique_ptr<TValidataCryptoProvider> provider;
  if (!api.SupportsV6() || (api.SupportsV5() && requested == TRequestedClass::V5))
    provider.reset(new TValidataCryptoProviderV5());
  else
    provider.reset(new TValidataCryptoProviderV6());

  if (cryptoServer) libType = api.SupportsV6() ? dllZPKI : dllXPKI;
  core->owner = provider.get();
  core->pkiType = pkiType;
  core->localMode = !cryptoServer;
  if (api.SupportsV5()) core->extensions.Include(vexApiVersion5);
  if (api.SupportsV6()) core->extensions.Include(vexApiVersion6);
  if (!cryptoServer && !api.SupportsV6()) core->extensions.Include(vexSecureChannel);
  provider->fCore = std::move(core);
  provider->fLibType = libType;
  provider->fLibraryName = library;
  provider->fWantedCapabilities = capabilities;
  return provider;
}

std::unique_ptr<TValidataCryptoProvider> TValidataCryptoProvider::CreateLocal(
    const std::string& AProfileName, std::uint32_t AInitFlags, TValidataProfileLoadEvent aOnLoad,
    TValidataLogEvent aOnLog, TValidataCapabilities aCapabilities, TValidataInitOptions aOptions) {
  return DoCreateLocalProfile(TRequestedClass::Any, AProfileName, AInitFlags, aOnLoad, aOnLog,
                              aCapabilities, aOptions);
}

std::unique_ptr<TValidataCryptoProvider> TValidataCryptoProvider::DoCreateLocalProfile(
    TRequestedClass requested, const std::string& AProfileName, std::uint32_t AInitFlags,
    const TValidataProfileLoadEvent& aOnLoad, const TValidataLogEvent& aOnLog,
    TValidataCapabilities aCapabilities, TValidataInitOptions aOptions) {
  const TValidataLibType libType = TValidataSettings::GetLibType(AProfileName);
  std::string bareName = AProfileName;
  TValidataSettings::FindoutPkiType(bareName);
  const TPkiType pkiType = TValidataSettings::PkiTypeOf(libType);

  auto provider = DoCreate(pkiType, false, aCapabilities, requested);
  provider->fOnLog = aOnLog;
  provider->fCore->onLog = aOnLog;
  provider->fProfileName = AProfileName;

  const auto profiles = TValidataSettings::GetProfiles(libType, false);
  provider->Log(platform::Format(
      "\t\tHKCU%s: %d profiles found",
      {TValidataSettings::ProfilesKey(libType), static_cast<long long>(profiles.size())}));

  std::string basePath, psePath, localPath, ldapPath;
  if (!profiles.empty()) {
    const std::string current = TValidataSettings::GetCurrentProfile(libType, false);
    if ((AInitFlags & kInitNoLdap) == 0) {
      auto store = platform::RegistryKey::Open(
          platform::RegRoot::CurrentUser, std::string(TValidataSettings::StoreKey(libType)) + "2");
      if (store) ldapPath = ReadRegistryText(*store, "name");
    }
    bool taken = false;
    for (std::size_t i = 0; i < profiles.size(); ++i) {
      const auto& profile = profiles[i];
      auto key = platform::RegistryKey::Open(
          platform::RegRoot::CurrentUser,
          std::string(TValidataSettings::ProfilesKey(libType)) + std::to_string(profile.Index));
      if (!key) continue;
      provider->Log(
          platform::Format("\t\t%d. Profile=%s", {static_cast<long long>(i), profile.Name}));
      if (taken) continue;
      const bool wanted = platform::SameText(profile.Name, bareName) ||
                          (aOptions.Contains(vioUseCurrentProfile) && bareName.empty() &&
                           platform::SameText(profile.Name, current) && !current.empty());
      if (!wanted) continue;
      taken = true;
      const auto read = [&](const char* name) { return ReadRegistryText(*key, name); };
      provider->fProfileName = TValidataSettings::Prefix(libType) + profile.Name;
      basePath = read("BasePath");
      psePath = read("store_0");
      localPath = read("store_1");
      const std::string store2 = read("store_2");
      if (!store2.empty()) ldapPath = store2;
    }
  }
  if (aOnLoad) aOnLoad(provider.get(), provider->fProfileName);
  provider->DoCreateLocal(basePath, psePath, localPath, ldapPath, AInitFlags, aOnLog);
  return provider;
}

std::unique_ptr<TValidataCryptoProvider> TValidataCryptoProvider::CreateLocalEx(
    TPkiType pkiType, const std::string& basePath, const std::string& ldapPath, std::uint32_t flags,
    TValidataLogEvent onLog, TValidataCapabilities capabilities) {
  return DoCreateLocalEx(TRequestedClass::Any, pkiType, basePath, ldapPath, flags, onLog,
                         capabilities);
}

std::unique_ptr<TValidataCryptoProvider> TValidataCryptoProvider::DoCreateLocalEx(
    TRequestedClass requested, TPkiType pkiType, const std::string& basePath,
    const std::string& ldapPath, std::uint32_t flags, const TValidataLogEvent& onLog,
    TValidataCapabilities capabilities) {
  auto provider = DoCreate(pkiType, false, capabilities, requested);
  provider->fOnLog = onLog;
  provider->fCore->onLog = onLog;
  provider->DoCreateLocal(basePath, {}, {}, ldapPath, flags, onLog);
  return provider;
}

void TValidataCryptoProvider::DoCreateLocal(const std::string& basePath, const std::string& psePath,
                                            const std::string& localPath,
                                            const std::string& ldapPath, std::uint32_t flags,
                                            const TValidataLogEvent& onLog) {
  fInitFlags = flags;
  if ((flags & kInitNoLdap) == 0) fLdapPath = ldapPath;
  if (basePath.empty() && psePath.empty())
    fCore->Raise(VCERT_E_NO_KEY_STORE,
                 platform::Format("CryptoProvider.CreateLocal('%s')", {fProfileName}));
  const std::string base =
      basePath.empty() ? std::string() : platform::IncludeTrailingPathDelimiter(basePath);
  fPSEPath = !psePath.empty() ? psePath : "pse://signed/" + base + "local.pse";
  fLocalPath = !localPath.empty() ? localPath : "file://" + base + "local.gdbm";

  std::string pse8 = ToAnsi(fPSEPath), local8 = ToAnsi(fLocalPath), ldap8 = ToAnsi(fLdapPath);
  TLocalParam params{};
  params.Size = sizeof(TLocalParam);
  params.Flag = flags;
  params.pse = pse8.data();
  params.LocalStore = local8.data();
  params.Ldap = ldap8.data();
  params.PinCode = nullptr;  // the library asks for the PIN itself
  if (onLog) {
    onLog(platform::Format("\t\tParams.Size=%d", {params.Size}));
    onLog(platform::Format("\t\tParams.Flag=0x%x", {params.Flag}));
    onLog(platform::Format("\t\tParams.pse=%s", {fPSEPath}));
    onLog(platform::Format("\t\tParams.LocalStore=%s", {fLocalPath}));
    onLog(platform::Format("\t\tParams.Ldap=%s", {fLdapPath}));
    onLog(platform::Format("\t\tParams.PinCode=%s", {""}));
  }

  const TVCERTApi& api = *fCore->api;
  auto initialize = api.VCERT_InitializeEx();
  TVcertStatus status;
  {
    Guard guard(ValidataSettingsMutex());
    TVcertContext ctx = nullptr;
    status = initialize(VCERT_CRYPT_LOCAL, &params, &ctx);
    if (ctx) fCore->ctx = ctx;
    if (PkiType() == ptRsa && (status == VCERT_E_INIT_CSP || status == VCERT_E_INIT_CSP_KEY) &&
        !fCore->ctx) {
      // The RSA flavour sits on the TUMAR CSP, which must be loaded before
      // the library can start; its loader is found on the search path.
      if (fCore->tumar.Load(kTumarLoader)) {
        Log(platform::Format("\t\tVCERT_InitializeEx(CRYPT_LOCAL, Params, fContext): 0x%x",
                             {status}));
        Log("\t\tInitializing TUMAR CSP and retrying...");
        ctx = nullptr;
        status = initialize(VCERT_CRYPT_LOCAL, &params, &ctx);
        if (ctx) fCore->ctx = ctx;
      } else {
        Log(platform::Format("Trying to initialize TUMAR CSP (%s): %s",
                             {kTumarLoader, platform::SysErrorMessage(platform::GetLastError())}));
      }
    }
  }
  Log(platform::Format("\t\tVCERT_InitializeEx(CRYPT_LOCAL, Params, fContext): 0x%x", {status}));
  fCore->Check(status, "VCERT_InitializeEx");
  fCore->localMode = true;
  CheckSessionCertificate();
}

std::unique_ptr<TValidataCryptoProvider> TValidataCryptoProvider::CreateRemote(
    TPkiType pkiType, const std::vector<std::string>& servers, const std::string& alias,
    std::uint32_t timeout, TValidataCapabilities capabilities, TValidataProfileLoadEvent onLoad) {
  return DoCreateRemote(TRequestedClass::Any, pkiType, servers, alias, timeout, capabilities,
                        onLoad);
}

std::unique_ptr<TValidataCryptoProvider> TValidataCryptoProvider::CreateRemote(
    TPkiType pkiType, const std::string& servers, const std::string& alias, std::uint32_t timeout,
    TValidataCapabilities capabilities, TValidataProfileLoadEvent onLoad) {
  return DoCreateRemote(TRequestedClass::Any, pkiType, SplitList(servers, ","), alias, timeout,
                        capabilities, onLoad);
}

std::unique_ptr<TValidataCryptoProvider> TValidataCryptoProvider::DoCreateRemote(
    TRequestedClass requested, TPkiType pkiType, const std::vector<std::string>& servers,
    const std::string& alias, std::uint32_t timeout, TValidataCapabilities capabilities,
    const TValidataProfileLoadEvent& onLoad) {
  // Checked before anything is loaded: nothing to release on this error.
  if (servers.size() > kMaxCryptoServers)
    throw EValidataError(
        platform::Format(vtext::kTooManyServers, {static_cast<long long>(kMaxCryptoServers)}), 5,
        "TValidataCryptoProvider.CreateRemote");
  auto provider = DoCreate(pkiType, true, capabilities, requested);
  provider->fRPCTimeout = timeout;
  provider->fCryptoServers = servers;

  std::vector<std::string> addresses;
  std::vector<char*> pointers;
  addresses.reserve(servers.size());
  for (const auto& s : servers) addresses.push_back("ncacn_ip_tcp:" + ToAnsi(s));
  for (auto& a : addresses) pointers.push_back(a.data());
  TCrSrvParam params{};
  params.Size = sizeof(TCrSrvParam);
  params.Flag = 0;
  params.TimeOut = timeout;
  params.Num = static_cast<std::uint32_t>(pointers.size());
  params.Servers = pointers.empty() ? nullptr : pointers.data();

  if (onLoad && !servers.empty()) onLoad(provider.get(), servers.front());

  const TVCERTApi& api = *provider->fCore->api;
  TVcertStatus status;
  {
    Guard guard(ValidataSettingsMutex());
    TVcertContext ctx = nullptr;
    status = api.VCERT_InitializeEx()(VCERT_CRYPT_SERVER, &params, &ctx);
    if (ctx) provider->fCore->ctx = ctx;
  }
  provider->fCore->Check(status, "VCERT_InitializeEx");
  provider->fAlias = alias;
  provider->fCore->localMode = false;
  provider->CheckSessionCertificate();
  return provider;
}

std::unique_ptr<TValidataCryptoProvider> TValidataCryptoProviderV5::CreateLocal(
    const std::string& AProfileName, std::uint32_t AInitFlags, TValidataProfileLoadEvent aOnLoad,
    TValidataLogEvent aOnLog, TValidataCapabilities aCapabilities, TValidataInitOptions aOptions) {
  return DoCreateLocalProfile(TRequestedClass::V5, AProfileName, AInitFlags, aOnLoad, aOnLog,
                              aCapabilities, aOptions);
}

std::unique_ptr<TValidataCryptoProvider> TValidataCryptoProviderV5::CreateLocalEx(
    TPkiType pkiType, const std::string& basePath, const std::string& ldapPath, std::uint32_t flags,
    TValidataLogEvent onLog, TValidataCapabilities capabilities) {
  return DoCreateLocalEx(TRequestedClass::V5, pkiType, basePath, ldapPath, flags, onLog,
                         capabilities);
}

std::unique_ptr<TValidataCryptoProvider> TValidataCryptoProviderV5::CreateRemote(
    TPkiType pkiType, const std::vector<std::string>& servers, const std::string& alias,
    std::uint32_t timeout, TValidataCapabilities capabilities, TValidataProfileLoadEvent onLoad) {
  return DoCreateRemote(TRequestedClass::V5, pkiType, servers, alias, timeout, capabilities,
                        onLoad);
}

TValidataCryptoProvider::~TValidataCryptoProvider() {
  fSessionCertificate.reset();
  fSessionCertificates.reset();
  if (fCore) {
    // Certificates and connections that outlive the provider keep the core;
    // the context goes with the last of them.
    fCore->owner = nullptr;
    fCore.reset();
  }
}

std::unique_ptr<TValidataCryptoProvider> TValidataCryptoProvider::Duplicate() {
  const TVCERTApi& api = *fCore->api;
  TVcertContext copy;
  {
    Guard guard(ValidataSettingsMutex());
    copy = api.VCERT_DuplicateContext()(fCore->ctx);
  }
  if (copy == nullptr)
    throw EValidataError(vtext::kContextCopy, VCERT_E_CONTEXT_COPY, "DuplicateContext");
  std::unique_ptr<TValidataCryptoProvider> provider;
  try {
    provider = DoCreate(PkiType(), CryptoServerMode(), fWantedCapabilities, RequestedClass());
  } catch (...) {
    // The new context is ours until a provider holds it.
    Guard guard(ValidataSettingsMutex());
    const TVcertStatus status = api.VCERT_Uninitialize()(copy);
    if (status != 0) Log(platform::Format("VCERT_Uninitialize: 0x%x", {status}));
    throw;
  }
  provider->fCore->ctx = copy;
  // The copy runs on the same CSP: it keeps the TUMAR loader loaded too.
  if (fCore->tumar.IsLoaded()) provider->fCore->tumar.Load(fCore->tumar.Path());
  provider->fCore->localMode = fCore->localMode;
  provider->fCore->onLog = fOnLog;
  provider->fOnLog = fOnLog;
  provider->fPSEPath = fPSEPath;
  provider->fLocalPath = fLocalPath;
  provider->fLdapPath = fLdapPath;
  provider->fProfileName = fProfileName;
  provider->fInitFlags = fInitFlags;
  provider->fRPCTimeout = fRPCTimeout;
  provider->fCryptoServers = fCryptoServers;
  provider->fAlias = fAlias;
  return provider;
}

// --- state --------------------------------------------------------------------

const TVCERTApi& TValidataCryptoProvider::Api() const noexcept {
  return *fCore->api;
}
TVcertContext TValidataCryptoProvider::Context() const noexcept {
  return fCore->ctx;
}
TPkiType TValidataCryptoProvider::PkiType() const noexcept {
  return fCore->pkiType;
}
bool TValidataCryptoProvider::LocalMode() const noexcept {
  return fCore->localMode;
}
TValidataExtensions TValidataCryptoProvider::Extensions() const noexcept {
  return fCore->extensions;
}

void TValidataCryptoProvider::Log(const std::string& line) const {
  if (fOnLog) fOnLog(line);
}

void TValidataCryptoProvider::Check(TVcertStatus status, const std::string& sourceName) {
  fCore->Check(status, sourceName);
}

TValidataCapabilities TValidataCryptoProvider::Capabilities() {
  return SessionCertificate()->Capabilities();
}

// --- session certificates -------------------------------------------------------

TValidataCertificates& TValidataCryptoProvider::SessionCertificates() {
  if (!fSessionCertificates) {
    TFindParams params{};
    params.Flag = VCERT_FLAG_FIND_MY;
    params.Info = VCERT_ALL_FIELDS;
    TCertId aliasId{};
    std::string alias8;
    const bool byAlias = CryptoServerMode() && !fAlias.empty();
    if (byAlias) {
      alias8 = ToAnsi(fAlias);
      aliasId.ChoiceType = ID_ALIAS;
      aliasId.alias = alias8.data();
      params.MyCert = &aliasId;
    }
    TValidataCertificateList list;
    DoFind(params, list, true, {}, false);
    if (byAlias && list->Count() > 1)
      throw EValidataError(platform::Format(vtext::kBadAlias, {fAlias}), 2,
                           "VCERT_FindCert(FLAG_FIND_MY)");
    fSessionCertificates = std::move(list);
  }
  return *fSessionCertificates;
}

TValidataCertificatePtr TValidataCryptoProvider::SessionCertificate() {
  if (fSessionCertificate) return fSessionCertificate;
  auto& list = SessionCertificates();
  TValidataCertificatePtr cert = list[0];
  if (CryptoServerMode()) fCore->pkiType = cert->Algorithm() == "RSA" ? ptRsa : ptGost;
  return cert;
}

void TValidataCryptoProvider::SetSessionCertificate(TValidataCertificatePtr cert) {
  if (!cert) {
    fSessionCertificate.reset();
    return;
  }
  if (CryptoServerMode() && SessionCertificates().IndexOf(cert.get()) < 0)
    throw EValidataError(vtext::kWrongSession, 6, "TValidataCryptoProvider.SetSessionCertificate");
  fSessionCertificate = std::move(cert);
}

TCertId* TValidataCryptoProvider::SessionId(const std::string& source) {
  if (LocalMode()) return nullptr;
  TValidataCertificate* cert = fSessionCertificate.get();
  if (!cert && fSessionCertificates && fSessionCertificates->Count() > 0)
    cert = (*fSessionCertificates)[0].get();
  if (!cert) throw EValidataError(vtext::kNoSession, 2, source);
  return const_cast<TCertId*>(&cert->CertId());
}

void TValidataCryptoProvider::CheckSessionCertificate() {
  SessionCertificate()->Verify(0, std::string(), fWantedCapabilities);
}

// --- search ---------------------------------------------------------------------

int TValidataCryptoProvider::DoFind(const TFindParams& searchParams, TValidataCertificateList& list,
                                    bool raiseNotFound, TValidataCapabilities capabilities,
                                    bool checkAlgorithm, const TValidataCertificateFilter& filter) {
  // The search adds its own template fields and flags: on a copy, so the
  // caller's parameters never point at this call's strings.
  TFindParams params = searchParams;
  std::string algorithm;
  if (checkAlgorithm) {
    // Only a session certificate already known: the search for it must not
    // start another search.
    const TValidataCertificate* session = fSessionCertificate.get();
    if (!session && fSessionCertificates && fSessionCertificates->Count() > 0)
      session = (*fSessionCertificates)[0].get();
    if (session && session->Certificate().Algorithm && *session->Certificate().Algorithm) {
      algorithm = session->Certificate().Algorithm;
      params.CertTemplate.Algorithm = algorithm.data();
      params.CertTemplate.Fields |= CertFieldBit(cfAlgorithm);
    }
  }
  const TCertInfo f = params.CertTemplate.Fields;
  const bool exact = ((f & CertFieldBit(cfSerialNumber)) && (f & CertFieldBit(cfIssuer))) ||
                     (f & CertFieldBit(cfKeyId)) || (f & CertFieldBit(cfCertHash));
  const bool broad = !exact;
  if (broad) params.Flag |= kFindBroadFlags;

  const TVCERTApi& api = *fCore->api;
  TFindResult result{};
  const TVcertStatus status = api.VCERT_FindCert()(fCore->ctx, &params, &result);
  auto releaseResult = [&](std::uint32_t from) {
    if (result.Certs == nullptr) return;
    for (std::uint32_t i = from; i < result.Num; ++i)
      api.VCERT_FreeCert()(fCore->ctx, &result.Certs[i]);
    api.VCERT_FreeMem()(fCore->ctx, result.Certs);
    result = TFindResult{};
  };
  if (status != 0) {
    releaseResult(0);
    if (raiseNotFound || (status != VCERT_E_CERT_NOT_FOUND && status != VCERT_E_NO_CERTIFICATE))
      fCore->Raise(status, "VCERT_FindCert");
  }

  const bool created = !list;
  if (created) list = std::make_unique<TValidataCertificates>();
  int kept = 0;
  // Records are adopted one by one; whatever throws on the way (the library's
  // record, the caller's filter, the list) leaves the records not yet adopted
  // to be released here.
  std::uint32_t next = 0;
  try {
    while (result.Certs && next < result.Num) {
      TCertificate& record = result.Certs[next++];
      if ((record.Fields & CertFieldBit(cfCertEncoded)) == 0) {
        api.VCERT_FreeCert()(fCore->ctx, &record);
        continue;
      }
      // Dropped certificates release their record when cert goes.
      TValidataCertificatePtr cert = TValidataCertificate::Adopt(fCore, record);
      if (broad && cert->IsExpired()) continue;
      if (!capabilities.Empty() && (cert->Capabilities() * capabilities).Empty()) continue;
      if (filter && !filter(*cert)) continue;
      // One serial number may be issued by several authorities.
      if (list->FindSame(*cert)) continue;
      list->Add(std::move(cert));
      ++kept;
    }
  } catch (...) {
    // The record being adopted is released too unless its certificate took
    // it (an adopted or released record is zeroed, and releasing it again
    // does nothing).
    releaseResult(next == 0 ? 0 : next - 1);
    if (created) list.reset();
    throw;
  }
  releaseResult(result.Num);
  if (kept == 0 && raiseNotFound) {
    if (created) list.reset();
    fCore->Raise(VCERT_E_CERT_NOT_FOUND, "VCERT_FindCert");
  }
  return kept;
}

int TValidataCryptoProvider::FindAllCertificates(TValidataCertificateList& list,
                                                 const std::string& subjectList, bool allKeyUsages,
                                                 const std::string& extKeyUsageList,
                                                 bool findRemote, bool uiSelect,
                                                 bool raiseNotFoundError, bool checkAlgorithm) {
  const char* source = "TValidataCryptoProvider.FindAllCertificates";
  const TValidataCapabilities capabilities = SessionCertificate()->Capabilities();
  const std::vector<std::string> oids = SplitList(extKeyUsageList, ";,");
  const TValidataCertificateFilter filter = [&](const TValidataCertificate& c) {
    return c.ConfirmsExtKeyUsages(oids, allKeyUsages);
  };
  const bool created = !list;
  int total = 0;
  for (const auto& subject : SplitList(subjectList, ";")) {
    std::string subject8 = ToAnsi(subject);
    TFindParams params{};
    params.Flag =
        kFindAllFlag | (findRemote ? kFindRemoteFlag : 0) | (uiSelect ? kFindUISelectFlag : 0);
    params.MyCert = SessionId(source);
    params.CertTemplate.Fields = CertFieldBit(cfSubject);
    params.CertTemplate.Subject = subject8.data();
    params.Info = VCERT_ALL_FIELDS;
    total += DoFind(params, list, false, capabilities, checkAlgorithm, filter);
  }
  if (raiseNotFoundError && total == 0) {
    if (created) list.reset();
    fCore->Raise(VCERT_E_CERT_NOT_FOUND, source);
  }
  return total;
}

int TValidataCryptoProvider::FindAllCertificates(TValidataCertificateList& list,
                                                 const std::vector<int>& fields,
                                                 const std::vector<std::string>& values,
                                                 bool findRemote, bool uiSelect,
                                                 bool raiseNotFoundError, bool checkAlgorithm) {
  const char* source = "TValidataCryptoProvider.FindAllCertificates";
  if (fields.size() != values.size())
    throw EValidataError("Each search field needs one value", platform::ERROR_INVALID_PARAMETER,
                         source);
  TFindParams params{};
  params.Flag =
      kFindAllFlag | (findRemote ? kFindRemoteFlag : 0) | (uiSelect ? kFindUISelectFlag : 0);
  params.MyCert = SessionId(source);
  params.Info = VCERT_ALL_FIELDS;
  std::vector<std::string> storage;
  storage.reserve(fields.size());
  std::vector<std::string> requiredOids;
  TCertificate& t = params.CertTemplate;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const int field = fields[i];
    char** target = nullptr;
    switch (field) {
      case cfSerialNumber:
        target = &t.SerialNumber;
        break;
      case cfIssuer:
        target = &t.Issuer;
        break;
      case cfSubject:
        target = &t.Subject;
        break;
      case cfIssuerUID:
        target = &t.IssuerUID;
        break;
      case cfSubjectUID:
        target = &t.SubjectUID;
        break;
      case cfKeyId:
        target = &t.KeyId;
        break;
      case cfAlgorithm:
        if (!values[i].empty()) target = &t.Algorithm;
        break;
      case cfExtKeyUsage:
        requiredOids.push_back(values[i]);
        break;
      default:
        break;  // not a search field
    }
    if (target) {
      storage.push_back(ToAnsi(values[i]));
      *target = storage.back().data();
      t.Fields |= CertFieldBit(static_cast<TCertField>(field));
    }
  }
  const TValidataCapabilities capabilities = SessionCertificate()->Capabilities();
  TValidataCertificateFilter filter;
  if (!requiredOids.empty())
    filter = [&](const TValidataCertificate& c) {
      return c.ConfirmsExtKeyUsages(requiredOids, true);
    };
  return DoFind(params, list, raiseNotFoundError, capabilities, checkAlgorithm, filter);
}

// --- other operations -------------------------------------------------------------

void TValidataCryptoProvider::AddCertificate(const TValidataCertificate& cert) {
  if (!cert.HasDer())
    throw EValidataError(vtext::kNoDer, 3, "TValidataCryptoProvider.AddCertificate");
  DoAddCertificate(cert.Certificate().CertEncoded);
}

void TValidataCryptoProviderV5::DoAddCertificate(const TMemBlk& der) {
  TAddParams params{};
  params.Flag = 0;
  params.MyCert = SessionId("TValidataCryptoProvider.AddCertificate");
  TMemBlk blk = der;
  Check(Api().VCERT_AddCertificate()(Context(), &params, &blk), "VCERT_AddCertificate");
}

void TValidataCryptoProviderV6::DoAddCertificate(const TMemBlk& der) {
  TImportParams params{};
  params.Flag = 2;
  params.MyCert = SessionId("TValidataCryptoProvider.AddCertificate");
  TMemBlk blk = der;
  Check(Api().VCERT_ImportMem()(Context(), &params, &blk), "VCERT_ImportMem");
}

void TValidataCryptoProvider::SetAuthData(const std::string& password) {
  auto setAuthData = fCore->api->VCERT_SetAuthData();
  std::string bytes = ToAnsi(password);
  TOwnedMemBlk blk(bytes);
  SecureZero(bytes.data(), bytes.size());
  const TVcertStatus status = setAuthData(fCore->ctx, &blk.Blk());
  blk.Release();
  Check(status, "VCERT_SetAuthData");
}

void TValidataCryptoProvider::Authorize(const std::string& password) {
  auto authorize = fCore->api->VCERT_Authorize();
  TCertId* id = SessionId("TValidataCryptoProvider.Authorize");
  std::string bytes = ToAnsi(password);
  TOwnedMemBlk blk(bytes);
  SecureZero(bytes.data(), bytes.size());
  static constexpr struct {
    TcrsrvFunction func;
    const char* source;
  } kSteps[] = {{CRSRV_FUNC_SIGN, "VCERT_Authorize(CRSRV_FUNC_SIGN)"},
                {CRSRV_FUNC_ENCRYPT, "VCERT_Authorize(CRSRV_FUNC_ENCRYPT)"},
                {CRSRV_FUNC_DECRYPT, "VCERT_Authorize(CRSRV_FUNC_DECRYPT)"}};
  for (const auto& step : kSteps) {
    const TVcertStatus status = authorize(fCore->ctx, id, step.func, &blk.Blk());
    if (status != 0) {
      blk.Release();
      Check(status, step.source);
    }
  }
}

void TValidataCryptoProvider::GenRandom(std::uint32_t length, TMemBlk& value) {
  ClearMemBlk(value);
  Check(fCore->api->VCERT_GenRandom()(fCore->ctx, length, &value), "VCERT_GenRandom");
}

void TValidataCryptoProvider::UpdateCRLs() {
  const TVcertStatus status =
      LocalMode() ? fCore->api->VCERT_UpdateCRLs()(fCore->ctx) : VCERT_E_NOT_AVAILABLE;
  Check(status, "VCERT_UpdateCRLs");
}

bool TValidataCryptoProvider::PrivateKeyExpires(int& daysLeft) {
  const auto cert = SessionCertificate();
  // UTC on both sides: the record's times are Unix times.
  const double today = std::floor(platform::NowUTC());
  daysLeft = static_cast<int>(std::nearbyint(cert->NotAfterPrivate() - today));
  const auto warnDays =
      ReadRegistryNumber(TValidataSettings::SettingsKey(fLibType), "TimeWarnExpiredCert");
  return warnDays && static_cast<std::int64_t>(*warnDays) >= daysLeft;
}

std::string TValidataCryptoProvider::GetErrorStack() {
  return fCore->ErrorStack();
}

void TValidataCryptoProvider::FreeMem(void* p) {
  if (p) fCore->api->VCERT_FreeMem()(fCore->ctx, p);
}

void TValidataCryptoProvider::FreeMemBlk(TMemBlk& blk) {
  FreeMem(blk.buf);
  ClearMemBlk(blk);
}

// --- connection ---------------------------------------------------------------------

TValidataConnection::TValidataConnection(TValidataCryptoProvider& provider, bool isClient)
    : fCore(provider.Core()), fIsClient(isClient) {
  fCore->Check(fCore->api->VCERT_CreateConnection(fCore->ctx, isClient ? 0 : 1, fHandle),
               "VCERT_CreateConnection");
}

TValidataConnection::~TValidataConnection() {
  if (fHandle && fCore->api->IsBound(veFreeConnection))
    fCore->api->VCERT_FreeConnection()(fCore->ctx, fHandle);
}

void TValidataConnection::RequireClient(const char* step) const {
  if (!fIsClient)
    throw EValidataError(vtext::kClientOnly, VCERT_E_NOT_AVAILABLE,
                         std::string("TValidataConnection.") + step);
}

void TValidataConnection::RequireServer(const char* step) const {
  if (fIsClient)
    throw EValidataError(vtext::kServerOnly, VCERT_E_NOT_AVAILABLE,
                         std::string("TValidataConnection.") + step);
}

void TValidataConnection::ClientStep1(const TValidataCertificate* serverCert, TMemBlk& msg1) {
  RequireClient("ClientStep1");
  ClearMemBlk(msg1);
  TCertificate record{};
  if (serverCert) record = serverCert->Certificate();
  fCore->Check(fCore->api->VCERT_ClientStep1()(fCore->ctx, fHandle, &record, &msg1),
               "VCERT_ClientStep1");
}

void TValidataConnection::ServerStep2(TMemBlk& msg1, TMemBlk& msg2) {
  RequireServer("ServerStep2");
  ClearMemBlk(msg2);
  fCore->Check(fCore->api->VCERT_ServerStep2()(fCore->ctx, fHandle, &msg1, &msg2),
               "VCERT_ServerStep2");
}

void TValidataConnection::ClientStep3(TMemBlk& msg2, TMemBlk& msg3) {
  RequireClient("ClientStep3");
  ClearMemBlk(msg3);
  fCore->Check(fCore->api->VCERT_ClientStep3()(fCore->ctx, fHandle, &msg2, &msg3),
               "VCERT_ClientStep3");
}

void TValidataConnection::ServerStep4(TMemBlk& msg3, TMemBlk& msg4) {
  RequireServer("ServerStep4");
  ClearMemBlk(msg4);
  fCore->Check(fCore->api->VCERT_ServerStep4()(fCore->ctx, fHandle, &msg3, &msg4),
               "VCERT_ServerStep4");
}

void TValidataConnection::ClientStep5(TMemBlk& msg4) {
  RequireClient("ClientStep5");
  fCore->Check(fCore->api->VCERT_ClientStep5()(fCore->ctx, fHandle, &msg4), "VCERT_ClientStep5");
}

void TValidataConnection::Encrypt(TMemBlk& in, TMemBlk& out) {
  fCore->Check(fCore->api->VCERT_ConnectionEncrypt()(fCore->ctx, fHandle, &in, &out),
               "VCERT_ConnectionEncrypt");
}

void TValidataConnection::Decrypt(TMemBlk& in, TMemBlk& out) {
  fCore->Check(fCore->api->VCERT_ConnectionDecrypt()(fCore->ctx, fHandle, &in, &out),
               "VCERT_ConnectionDecrypt");
}

void TValidataConnection::Ctrl(std::int32_t cmd, void* value) {
  fCore->Check(fCore->api->VCERT_ConnectionCtrl()(fCore->ctx, fHandle, cmd, value),
               "TValidataConnection.Ctrl");
}

}  // namespace tarvo
