// The "VCERT_" entries: contexts, memory, errors, certificates and stores.
// Every entry is compiled into every variant; a variant's version script
// decides which of them it exports.
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <ctime>
#include <sstream>

#include "standins/pki/src/Stub.h"

using namespace pkistub;
using namespace tarvo;

namespace {

std::string Str(const char* s) {
  return s != nullptr ? s : "<null>";
}

std::string Hex(std::uint32_t v) {
  std::ostringstream out;
  out << "0x" << std::hex << v;
  return out.str();
}

std::string FolderOf(const char* address) {
  if (address == nullptr) return "";
  std::string path = PathFromAddress(address);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string IdText(const TCertId* id) {
  if (id == nullptr) return "<null>";
  switch (id->ChoiceType) {
    case ID_ISSUER_AND_SERIAL:
      return "ias:" + Str(id->ias.Issuer) + "|" + Str(id->ias.SerialNumber);
    case ID_KEYID:
      return "keyid:" + Str(id->KeyId);
    case ID_CERTHASH:
      return "hash:" + std::to_string(id->CertHash.len);
    case ID_ALIAS:
      return "alias:" + Str(id->alias);
  }
  return "unknown";
}

bool MatchesId(const StoredCert& c, const TCertId* id) {
  switch (id->ChoiceType) {
    case ID_ISSUER_AND_SERIAL:
      return id->ias.Issuer != nullptr && id->ias.SerialNumber != nullptr &&
             DnText(X509_get_issuer_name(c.x509.get())) == id->ias.Issuer &&
             SameSerial(SerialText(c.x509.get()), id->ias.SerialNumber);
    case ID_KEYID:
      return id->KeyId != nullptr && !KeyIdText(c.x509.get()).empty() &&
             EqualNoCase(KeyIdText(c.x509.get()), id->KeyId);
    case ID_CERTHASH:
      return id->CertHash.buf != nullptr &&
             Sha1(c.der) ==
                 std::string(reinterpret_cast<char*>(id->CertHash.buf), id->CertHash.len);
    case ID_ALIAS:
      return id->alias != nullptr && EqualNoCase(c.alias, id->alias);
  }
  return false;
}

// The certificate matches every field the template's mask names.
bool MatchesTemplate(const StoredCert& c, const TCertificate& t) {
  const X509* x = c.x509.get();
  auto has = [&](TCertField f) { return (t.Fields & CertFieldBit(f)) != 0; };
  if (has(cfSerialNumber) &&
      (t.SerialNumber == nullptr || !SameSerial(SerialText(x), t.SerialNumber)))
    return false;
  if (has(cfIssuer) && (t.Issuer == nullptr || DnText(X509_get_issuer_name(x)) != t.Issuer))
    return false;
  // A subject matches by any part of it ("CN=Ivan Petrov"), ignoring case.
  if (has(cfSubject) &&
      (t.Subject == nullptr || !ContainsNoCase(DnText(X509_get_subject_name(x)), t.Subject)))
    return false;
  if (has(cfKeyId) &&
      (t.KeyId == nullptr || KeyIdText(x).empty() || !EqualNoCase(KeyIdText(x), t.KeyId)))
    return false;
  if (has(cfCertHash) &&
      (t.CertHash.buf == nullptr ||
       Sha1(c.der) != std::string(reinterpret_cast<char*>(t.CertHash.buf), t.CertHash.len)))
    return false;
  if (has(cfAlgorithm) && (t.Algorithm == nullptr || AlgorithmText(x) != t.Algorithm)) return false;
  if (has(cfExtKeyUsage)) {
    const std::vector<std::string> oids = ExtKeyUsages(x);
    for (std::uint32_t i = 0; i < t.ExtKeyUsageNum; ++i) {
      if (t.ExtKeyUsage == nullptr || t.ExtKeyUsage[i].OID == nullptr) return false;
      bool found = false;
      for (const auto& oid : oids) found = found || oid == t.ExtKeyUsage[i].OID;
      if (!found) return false;
    }
  }
  return true;
}

const StoredCert* FindIssuer(const Context& ctx, const X509* x) {
  for (const StoredCert& ca : ctx.store.authorities) {
    if (X509_check_issued(ca.x509.get(), const_cast<X509*>(x)) != X509_V_OK) continue;
    EVP_PKEY* key = X509_get0_pubkey(ca.x509.get());
    if (key != nullptr && X509_verify(const_cast<X509*>(x), key) == 1) return &ca;
  }
  return nullptr;
}

bool IsRevoked(const Context& ctx, const X509* x) {
  const std::string issuer = DnText(X509_get_issuer_name(x));
  const std::string serial = SerialText(x);
  for (const std::string& line : ctx.store.revoked) {
    const std::size_t bar = line.rfind('|');
    if (bar != std::string::npos && line.substr(0, bar) == issuer &&
        SameSerial(line.substr(bar + 1), serial))
      return true;
  }
  return false;
}

// Validity at a time, trust, revocation and key usage: the checks the
// certificate verifications share. 0 when the certificate passes.
TVcertStatus CheckCertificate(Context* ctx, const char* entry, const X509* x, std::uint32_t at,
                              TKeyUsages wantedUsage) {
  const std::uint32_t from = UnixTime(X509_get0_notBefore(x));
  const std::uint32_t to = UnixTime(X509_get0_notAfter(x));
  if (at < from || at > to)
    return PKI_FAIL(ctx, kCertExpired, entry, "outside the validity period");
  if (FindIssuer(*ctx, x) == nullptr)
    return PKI_FAIL(ctx, kCertUntrusted, entry, "issuer not trusted");
  if (IsRevoked(*ctx, x)) return PKI_FAIL(ctx, kCertRevoked, entry, "serial " + SerialText(x));
  if ((KeyUsages(x) & wantedUsage) != wantedUsage)
    return PKI_FAIL(ctx, kPolicyMismatch, entry, "key usage " + Hex(wantedUsage));
  return 0;
}

std::uint32_t Now() {
  return static_cast<std::uint32_t>(std::time(nullptr));
}

std::string BlockBytes(const TMemBlk* blk) {
  if (blk == nullptr || blk->buf == nullptr) return "";
  return std::string(reinterpret_cast<const char*>(blk->buf), blk->len);
}

// DER, or PEM text of one certificate.
bool CertFromBlock(const TMemBlk* blk, std::shared_ptr<X509>& x, std::string& der) {
  if (blk == nullptr || blk->buf == nullptr || blk->len == 0) return false;
  der = BlockBytes(blk);
  if (ParseDer(der, x)) return true;
  BIO* bio = BIO_new_mem_buf(der.data(), static_cast<int>(der.size()));
  X509* pem = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  if (pem == nullptr) return false;
  x.reset(pem, X509Free{});
  unsigned char* out = nullptr;
  const int n = i2d_X509(pem, &out);
  if (n <= 0) return false;
  der.assign(reinterpret_cast<char*>(out), n);
  OPENSSL_free(out);
  return true;
}

Context* Begin(int entry, void* handle, TVcertStatus& status) {
  status = Enter(entry);
  Context* ctx = CheckedContext(handle);
  ClearErrors(ctx);
  if (status != 0) {
    PKI_FAIL(ctx, status, kVcertEntryNames[entry], "injected failure");
    return nullptr;
  }
  if (ctx == nullptr)
    status = PKI_FAIL(nullptr, kBadContext, kVcertEntryNames[entry], "unknown context");
  return ctx;
}

TVcertStatus AddToStore(Context* ctx, const char* entry, const TMemBlk* data) {
  std::shared_ptr<X509> x;
  std::string der;
  if (!CertFromBlock(data, x, der)) return PKI_FAIL(ctx, kBadEncoding, entry, "");
  for (const auto* list : {&ctx->store.own, &ctx->store.others, &ctx->store.authorities})
    for (const StoredCert& c : *list)
      if (c.der == der) return 0;  // already known
  StoredCert c;
  c.x509 = x;
  c.der = der;
  ctx->store.others.push_back(std::move(c));
  return 0;
}

bool PasswordAccepted(const Context* ctx, const TMemBlk* auth) {
  if (!ctx->store.hasPassword) return true;
  return auth != nullptr && BlockBytes(auth) == ctx->store.password;
}

}  // namespace

// --- memory -------------------------------------------------------------------

PKI_EXPORT void* VCERT_AllocMem(TVcertContext handle, std::uint32_t len) {
  CheckedContext(handle);
  if (Enter(veAllocMem) != 0) return nullptr;
  return Alloc(len);
}

PKI_EXPORT void VCERT_FreeMem(TVcertContext handle, void* data) {
  CheckedContext(handle);
  Enter(veFreeMem);
  Free(data);
}

PKI_EXPORT void* VCERT_ReallocMem(TVcertContext handle, void* data, std::uint32_t len) {
  CheckedContext(handle);
  if (Enter(veReallocMem) != 0) return nullptr;
  return Realloc(data, len);
}

PKI_EXPORT void VCERT_FreeCert(TVcertContext handle, TCertificate* cert) {
  CheckedContext(handle);
  Enter(veFreeCert);
  FreeRecord(cert);
}

PKI_EXPORT void VCERT_FreeCertId(TVcertContext handle, TCertId* id) {
  CheckedContext(handle);
  Enter(veFreeCertId);
  if (id == nullptr) return;
  switch (id->ChoiceType) {
    case ID_ISSUER_AND_SERIAL:
      Free(id->ias.Issuer);
      Free(id->ias.SerialNumber);
      break;
    case ID_KEYID:
      Free(id->KeyId);
      break;
    case ID_CERTHASH:
      Free(id->CertHash.buf);
      break;
    case ID_ALIAS:
      Free(id->alias);
      break;
  }
  std::memset(id, 0, sizeof *id);
}

PKI_EXPORT void VCERT_FreeFindResult(TVcertContext handle, TFindResult* result) {
  CheckedContext(handle);
  Enter(veFreeFindResult);
  if (result == nullptr) return;
  if (result->Certs != nullptr)
    for (std::uint32_t i = 0; i < result->Num; ++i) FreeRecord(&result->Certs[i]);
  Free(result->Certs);
  result->Certs = nullptr;
  result->Num = 0;
}

PKI_EXPORT void VCERT_FreeDecryptResult(TVcertContext handle, TDecryptResult* result) {
  CheckedContext(handle);
  Enter(veFreeDecryptResult);
  if (result != nullptr) FreeRecord(&result->Sender);
}

PKI_EXPORT void VCERT_FreeVerifyResult(TVcertContext handle, TVerifyResult* result) {
  CheckedContext(handle);
  Enter(veFreeVerifyResult);
  if (result == nullptr) return;
  if (result->Signs != nullptr)
    for (std::uint32_t i = 0; i < result->SignNum; ++i) {
      FreeRecord(result->Signs[i].Cert);
      Free(result->Signs[i].Cert);
    }
  Free(result->Signs);
  result->Signs = nullptr;
  result->SignNum = 0;
}

// --- contexts -------------------------------------------------------------------

PKI_EXPORT TVcertStatus VCERT_InitializeEx(std::uint32_t mode, void* params,
                                           TVcertContext* context) {
  InitializeEntered();
  struct Leave {
    ~Leave() { InitializeLeft(); }
  } leave;
  const char* entry = "InitializeEx";
  ClearErrors(nullptr);
  const TVcertStatus injected = Enter(veInitializeEx);
  std::ostringstream call;
  call << "mode=" << mode << "\n";
  std::string pse, local, ldap;
  bool isLocal = true;
  if (params == nullptr || context == nullptr) {
    RecordCall(veInitializeEx, call.str());
    return PKI_FAIL(nullptr, kBadParameter, entry, "no parameters");
  }
  *context = nullptr;
  if (mode == VCERT_CRYPT_LOCAL) {
    const auto* p = static_cast<const TLocalParam*>(params);
    call << "size=" << p->Size << "\nflag=" << Hex(p->Flag) << "\npse=" << Str(p->pse)
         << "\nlocalstore=" << Str(p->LocalStore) << "\nldap=" << Str(p->Ldap)
         << "\npin=" << (p->PinCode == nullptr ? "<null>" : "<set>") << "\n";
    RecordCall(veInitializeEx, call.str());
    if (injected != 0) return PKI_FAIL(nullptr, injected, entry, "injected failure");
    if (p->Size != sizeof(TLocalParam))
      return PKI_FAIL(nullptr, kBadParameter, entry, "Size " + std::to_string(p->Size));
    pse = FolderOf(p->pse);
    local = FolderOf(p->LocalStore);
    ldap = FolderOf(p->Ldap);
    if (!IsFolder(pse))
      return PKI_FAIL(nullptr, kStoreUnavailable, entry, "key store " + Str(p->pse));
    if (!IsFolder(local)) local.clear();
    if (!IsFolder(ldap)) ldap.clear();  // an unreachable directory service finds nothing
  } else if (mode == VCERT_CRYPT_SERVER) {
    const auto* p = static_cast<const TCrSrvParam*>(params);
    call << "size=" << p->Size << "\nflag=" << Hex(p->Flag) << "\ntimeout=" << p->TimeOut
         << "\nnum=" << p->Num << "\n";
    for (std::uint32_t i = 0; i < p->Num && p->Servers != nullptr; ++i)
      call << "server=" << Str(p->Servers[i]) << "\n";
    RecordCall(veInitializeEx, call.str());
    if (injected != 0) return PKI_FAIL(nullptr, injected, entry, "injected failure");
    if (p->Size != sizeof(TCrSrvParam) || p->Num == 0 || p->Servers == nullptr)
      return PKI_FAIL(nullptr, kBadParameter, entry, "server parameters");
    isLocal = false;
    const std::string prefix = "ncacn_ip_tcp:";
    for (std::uint32_t i = 0; i < p->Num && pse.empty(); ++i) {
      if (p->Servers[i] == nullptr) continue;
      std::string address = p->Servers[i];
      if (address.compare(0, prefix.size(), prefix) == 0) address = address.substr(prefix.size());
      if (IsFolder(address + "/local.pse")) {
        pse = address + "/local.pse";
        local = IsFolder(address + "/local.gdbm") ? address + "/local.gdbm" : "";
        ldap = IsFolder(address + "/ldap") ? address + "/ldap" : "";
      }
    }
    if (pse.empty()) return PKI_FAIL(nullptr, kServerUnavailable, entry, "no server answered");
  } else {
    RecordCall(veInitializeEx, call.str());
    if (injected != 0) return PKI_FAIL(nullptr, injected, entry, "injected failure");
    return PKI_FAIL(nullptr, kBadParameter, entry, "mode " + std::to_string(mode));
  }
  auto* ctx = new Context;
  ctx->local = isLocal;
  ctx->psePath = pse;
  ctx->storePath = local;
  ctx->ldapPath = ldap;
  std::string error;
  if (!LoadStore(pse, local, ldap, ctx->store, error)) {
    delete ctx;
    return PKI_FAIL(nullptr, kStoreUnavailable, entry, error);
  }
  RegisterContext(ctx);
  *context = ctx;
  return 0;
}

PKI_EXPORT TVcertStatus VCERT_Initialize(TVcertContext* context) {
  // The old form without parameters: nothing to open here.
  if (context != nullptr) *context = nullptr;
  const TVcertStatus injected = Enter(veInitialize);
  return PKI_FAIL(nullptr, injected != 0 ? injected : kNotAvailable, "Initialize", "");
}

PKI_EXPORT TVcertStatus VCERT_Uninitialize(TVcertContext handle) {
  TVcertStatus status;
  Context* ctx = Begin(veUninitialize, handle, status);
  // A failing release (injected) keeps the context open, as a library that
  // refused to release would: the caller sees it in OpenContexts.
  if (ctx == nullptr) return status;
  if (UnregisterContext(ctx)) delete ctx;
  return 0;
}

PKI_EXPORT TVcertContext VCERT_DuplicateContext(TVcertContext handle) {
  TVcertStatus status;
  Context* ctx = Begin(veDuplicateContext, handle, status);
  if (ctx == nullptr) return nullptr;
  auto* copy = new Context;
  copy->local = ctx->local;
  copy->psePath = ctx->psePath;
  copy->storePath = ctx->storePath;
  copy->ldapPath = ctx->ldapPath;
  copy->store = ctx->store;
  copy->authorised = ctx->authorised;
  RegisterContext(copy);
  return copy;
}

// --- errors -----------------------------------------------------------------------

PKI_EXPORT char* VCERT_GetErrorText(TVcertStatus error, char* buf, std::uint32_t len) {
  if (Enter(veGetErrorText) != 0 || buf == nullptr || len == 0) return buf;
  const std::string text = StatusText(error);
  if (OverlongErrorText()) {
    for (std::uint32_t i = 0; i < len; ++i) buf[i] = text[i % text.size()];
    return buf;
  }
  const std::size_t n = std::min<std::size_t>(text.size(), len - 1);
  std::memcpy(buf, text.data(), n);
  buf[n] = '\0';
  return buf;
}

PKI_EXPORT std::uint32_t VCERT_GetErrorLineEx(TVcertContext handle, char* text,
                                              std::uint32_t textLen, TMemBlk* file,
                                              std::uint32_t* line, TMemBlk* extra) {
  if (Enter(veGetErrorLineEx) != 0) return 1;
  return NextErrorLine(CheckedContext(handle), text, textLen, file, line, extra);
}

// The short form: only the text of the next line.
PKI_EXPORT std::uint32_t VCERT_GetErrorLine(TVcertContext handle, char* text,
                                            std::uint32_t textLen) {
  if (Enter(veGetErrorLine) != 0) return 1;
  return NextErrorLine(CheckedContext(handle), text, textLen, nullptr, nullptr, nullptr);
}

// --- certificates ---------------------------------------------------------------

PKI_EXPORT TVcertStatus VCERT_FindCert(TVcertContext handle, TFindParams* params,
                                       TFindResult* result) {
  const char* entry = "FindCert";
  TVcertStatus status;
  if (params != nullptr) {
    const TCertificate& t = params->CertTemplate;
    std::ostringstream call;
    call << "flag=" << Hex(params->Flag) << "\ninfo=" << Hex(params->Info)
         << "\nfields=" << Hex(t.Fields) << "\nmycert=" << IdText(params->MyCert)
         << "\nserial=" << Str(t.SerialNumber) << "\nissuer=" << Str(t.Issuer)
         << "\nsubject=" << Str(t.Subject) << "\nkeyid=" << Str(t.KeyId)
         << "\nalgorithm=" << Str(t.Algorithm) << "\n";
    RecordCall(veFindCert, call.str());
  }
  Context* ctx = Begin(veFindCert, handle, status);
  if (ctx == nullptr) return status;
  if (params == nullptr || result == nullptr) return PKI_FAIL(ctx, kBadParameter, entry, "");
  result->Num = 0;
  result->Certs = nullptr;

  std::vector<const StoredCert*> found;
  auto consider = [&](const std::vector<StoredCert>& list) {
    for (const StoredCert& c : list) {
      bool seen = false;
      for (const StoredCert* f : found) seen = seen || f->der == c.der;
      if (seen || !MatchesTemplate(c, params->CertTemplate)) continue;
      found.push_back(&c);
    }
  };
  const bool mine = (params->Flag & VCERT_FLAG_FIND_MY) != 0;
  if (mine) {
    // A session alias names one of the own certificates.
    if (params->MyCert != nullptr && params->MyCert->ChoiceType == ID_ALIAS) {
      for (const StoredCert& c : ctx->store.own)
        if (MatchesId(c, params->MyCert) && MatchesTemplate(c, params->CertTemplate))
          found.push_back(&c);
    } else {
      consider(ctx->store.own);
    }
  } else {
    consider(ctx->store.own);
    consider(ctx->store.others);
    consider(ctx->store.authorities);
    if (params->Flag & 4) consider(ctx->store.remote);  // also the directory service
  }
  if (found.empty()) return PKI_FAIL(ctx, kNotFound, entry, "no certificate matches");
  result->Certs = static_cast<TCertificate*>(Alloc(found.size() * sizeof(TCertificate)));
  for (std::size_t i = 0; i < found.size(); ++i)
    FillRecord(found[i]->x509.get(), found[i]->der, params->Info, &result->Certs[i]);
  result->Num = static_cast<std::uint32_t>(found.size());
  return 0;
}

PKI_EXPORT TVcertStatus VCERT_ParseCert(TVcertContext handle, TMemBlk* encoded, TCertInfo info,
                                        TCertificate* cert) {
  RecordCall(veParseCert,
             "info=" + Hex(info) + "\nlen=" + std::to_string(encoded ? encoded->len : 0) + "\n");
  TVcertStatus status;
  Context* ctx = Begin(veParseCert, handle, status);
  if (ctx == nullptr) return status;
  if (cert == nullptr) return PKI_FAIL(ctx, kBadParameter, "ParseCert", "");
  std::shared_ptr<X509> x;
  std::string der;
  if (!CertFromBlock(encoded, x, der)) return PKI_FAIL(ctx, kBadEncoding, "ParseCert", "");
  FillRecord(x.get(), der, info, cert);
  return 0;
}

PKI_EXPORT TVcertStatus VCERT_VerifyCert(TVcertContext handle, TVerifyParams* params,
                                         TMemBlk* encoded, TCertificate* cert) {
  const char* entry = "VerifyCert";
  if (params != nullptr)
    RecordCall(veVerifyCert, "flag=" + Hex(params->Flag) + "\nkeyusage=" + Hex(params->KeyUsage) +
                                 "\ninfo=" + Hex(params->Info) +
                                 "\nmycert=" + IdText(params->MyCert) + "\n");
  TVcertStatus status;
  Context* ctx = Begin(veVerifyCert, handle, status);
  if (ctx == nullptr) return status;
  if (params == nullptr || cert == nullptr) return PKI_FAIL(ctx, kBadParameter, entry, "");
  std::shared_ptr<X509> x;
  std::string der;
  if (!CertFromBlock(encoded, x, der)) return PKI_FAIL(ctx, kBadEncoding, entry, "");
  status = CheckCertificate(ctx, entry, x.get(), Now(), params->KeyUsage);
  if (status != 0) return status;
  FillRecord(x.get(), der, params->Info, cert);
  return 0;
}

PKI_EXPORT TVcertStatus VCERT_VerifyCertificatePolicy(TVcertContext handle,
                                                      TVerifyPolicyParams* params,
                                                      TMemBlk* encoded) {
  const char* entry = "VerifyCertificatePolicy";
  if (params != nullptr) {
    std::ostringstream call;
    call << "size=" << params->size << "\nflag=" << Hex(params->flag)
         << "\nmycert=" << IdText(params->mycert) << "\ncheck_time=" << params->check_time
         << "\nkeyusage=" << Hex(params->keyusage) << "\neku_num=" << params->eku_num << "\n";
    for (std::uint32_t i = 0; i < params->eku_num && params->extkeyusages != nullptr; ++i)
      call << "eku=" << Str(params->extkeyusages[i]) << "\n";
    call << "policy_num=" << params->policy_num << "\n";
    RecordCall(veVerifyCertificatePolicy, call.str());
  }
  TVcertStatus status;
  Context* ctx = Begin(veVerifyCertificatePolicy, handle, status);
  if (ctx == nullptr) return status;
  if (params == nullptr || (params->size != 0 && params->size != sizeof(TVerifyPolicyParams)))
    return PKI_FAIL(ctx, kBadParameter, entry, "size");
  if ((params->eku_num != 0 && params->extkeyusages == nullptr) ||
      (params->policy_num != 0 && params->policies == nullptr))
    return PKI_FAIL(ctx, kBadParameter, entry, "lists");
  std::shared_ptr<X509> x;
  std::string der;
  if (!CertFromBlock(encoded, x, der)) return PKI_FAIL(ctx, kBadEncoding, entry, "");
  status = CheckCertificate(ctx, entry, x.get(),
                            params->check_time != 0 ? params->check_time : Now(), params->keyusage);
  if (status != 0) return status;
  const std::vector<std::string> oids = ExtKeyUsages(x.get());
  for (std::uint32_t i = 0; i < params->eku_num; ++i) {
    bool found = false;
    for (const auto& oid : oids)
      found = found || (params->extkeyusages[i] != nullptr && oid == params->extkeyusages[i]);
    if (!found)
      return PKI_FAIL(ctx, kPolicyMismatch, entry,
                      "extended key usage " + Str(params->extkeyusages[i]));
  }
  // The test certificates carry no certificate policies: any one asked for is missing.
  if (params->policy_num != 0)
    return PKI_FAIL(ctx, kPolicyMismatch, entry, "policy " + Str(params->policies[0]));
  return 0;
}

PKI_EXPORT TVcertStatus VCERT_ShowCertificate(TVcertContext handle, TMemBlk* encoded) {
  RecordCall(veShowCertificate, "len=" + std::to_string(encoded ? encoded->len : 0) + "\n");
  TVcertStatus status;
  Context* ctx = Begin(veShowCertificate, handle, status);
  if (ctx == nullptr) return status;
  if (!ctx->local) return PKI_FAIL(ctx, kNotAvailable, "ShowCertificate", "crypto server");
  std::shared_ptr<X509> x;
  std::string der;
  if (!CertFromBlock(encoded, x, der)) return PKI_FAIL(ctx, kBadEncoding, "ShowCertificate", "");
  // No window here: the call is recorded and counts as shown and closed with OK.
  RecordCall(veShowCertificate, "len=" + std::to_string(encoded->len) +
                                    "\nsubject=" + DnText(X509_get_subject_name(x.get())) + "\n");
  return 0;
}

PKI_EXPORT TVcertStatus VCERT_UpdateCRLs(TVcertContext handle) {
  TVcertStatus status;
  Context* ctx = Begin(veUpdateCRLs, handle, status);
  if (ctx == nullptr) return status;
  if (!ctx->local) return PKI_FAIL(ctx, kNotAvailable, "UpdateCRLs", "crypto server");
  // Re-read the revocation list from the store.
  Store fresh;
  std::string error;
  if (!LoadStore("", ctx->storePath, "", fresh, error))
    return PKI_FAIL(ctx, kStoreUnavailable, "UpdateCRLs", error);
  ctx->store.revoked = fresh.revoked;
  return 0;
}

PKI_EXPORT TVcertStatus VCERT_GenRandom(TVcertContext handle, std::uint32_t len, TMemBlk* value) {
  RecordCall(veGenRandom, "len=" + std::to_string(len) + "\n");
  TVcertStatus status;
  Context* ctx = Begin(veGenRandom, handle, status);
  if (ctx == nullptr) return status;
  if (value == nullptr || len > (64u << 20)) return PKI_FAIL(ctx, kBadParameter, "GenRandom", "");
  std::string bytes(len, '\0');
  if (len > 0 &&
      RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(len)) != 1)
    return PKI_FAIL(ctx, kNotAvailable, "GenRandom", "no randomness");
  if (!PutBlock(value, bytes))
    return PKI_FAIL(ctx, kBadParameter, "GenRandom", "output block too small");
  return 0;
}

PKI_EXPORT TVcertStatus VCERT_ImportMem(TVcertContext handle, TImportParams* params,
                                        TMemBlk* data) {
  if (params != nullptr)
    RecordCall(veImportMem,
               "flag=" + Hex(params->Flag) + "\nmycert=" + IdText(params->MyCert) + "\n");
  TVcertStatus status;
  Context* ctx = Begin(veImportMem, handle, status);
  if (ctx == nullptr) return status;
  if (params == nullptr) return PKI_FAIL(ctx, kBadParameter, "ImportMem", "");
  return AddToStore(ctx, "ImportMem", data);
}

PKI_EXPORT TVcertStatus VCERT_AddCertificate(TVcertContext handle, TAddParams* params,
                                             TMemBlk* encoded) {
  if (params != nullptr)
    RecordCall(veAddCertificate,
               "flag=" + Hex(params->Flag) + "\nmycert=" + IdText(params->MyCert) + "\n");
  TVcertStatus status;
  Context* ctx = Begin(veAddCertificate, handle, status);
  if (ctx == nullptr) return status;
  if (params == nullptr) return PKI_FAIL(ctx, kBadParameter, "AddCertificate", "");
  return AddToStore(ctx, "AddCertificate", encoded);
}

// --- authorisation ----------------------------------------------------------------
// The password never reaches a recorded call or an error line.

PKI_EXPORT TVcertStatus VCERT_SetAuthData(TVcertContext handle, TMemBlk* auth) {
  RecordCall(veSetAuthData, "len=" + std::to_string(auth ? auth->len : 0) + "\n");
  TVcertStatus status;
  Context* ctx = Begin(veSetAuthData, handle, status);
  if (ctx == nullptr) return status;
  if (auth == nullptr) return PKI_FAIL(ctx, kBadParameter, "SetAuthData", "");
  if (!PasswordAccepted(ctx, auth)) return PKI_FAIL(ctx, kWrongPassword, "SetAuthData", "");
  ctx->authorised = true;
  return 0;
}

PKI_EXPORT TVcertStatus VCERT_Authorize(TVcertContext handle, TCertId* mycert, TcrsrvFunction func,
                                        TMemBlk* auth) {
  RecordCall(veAuthorize, "mycert=" + IdText(mycert) + "\nfunc=" + std::to_string(func) + "\n");
  TVcertStatus status;
  Context* ctx = Begin(veAuthorize, handle, status);
  if (ctx == nullptr) return status;
  if (mycert == nullptr || func == CRSRV_FUNC_NO || func > CRSRV_FUNC_RESIGN)
    return PKI_FAIL(ctx, kBadParameter, "Authorize", "");
  bool known = false;
  for (const StoredCert& c : ctx->store.own) known = known || MatchesId(c, mycert);
  if (!known) return PKI_FAIL(ctx, kNotFound, "Authorize", "no such session");
  if (!PasswordAccepted(ctx, auth)) return PKI_FAIL(ctx, kWrongPassword, "Authorize", "");
  ctx->authorised = true;
  return 0;
}

PKI_EXPORT TVcertStatus VCERT_Ctrl(TVcertContext handle, std::int32_t cmd, void* value) {
  RecordCall(veCtrl, "cmd=" + std::to_string(cmd) + "\n");
  TVcertStatus status;
  Context* ctx = Begin(veCtrl, handle, status);
  if (ctx == nullptr) return status;
  // Command 0 asks whether the context is local (1) or a crypto server (0).
  if (cmd == 0 && value != nullptr) {
    *static_cast<std::uint32_t*>(value) = ctx->local ? 1 : 0;
    return 0;
  }
  return PKI_FAIL(ctx, kNotAvailable, "Ctrl", "command " + std::to_string(cmd));
}

// --- entries this stand-in does not implement --------------------------------------
// They exist (so variants export the full table) and answer "not available"
// after the usual bookkeeping, so failure injection and call counting reach
// them too.

#define PKI_NOT_AVAILABLE(name)                                     \
  PKI_EXPORT TVcertStatus VCERT_##name(TVcertContext handle, ...) { \
    TVcertStatus status;                                            \
    Context* ctx = Begin(ve##name, handle, status);                 \
    if (ctx == nullptr) return status;                              \
    return PKI_FAIL(ctx, kNotAvailable, #name, "not implemented");  \
  }

PKI_NOT_AVAILABLE(Match)
PKI_NOT_AVAILABLE(ImportFile)
PKI_NOT_AVAILABLE(ExportMem)
PKI_NOT_AVAILABLE(ExportFile)
PKI_NOT_AVAILABLE(SignHashMem)
PKI_NOT_AVAILABLE(VerifyHashMem)
PKI_NOT_AVAILABLE(CopyCert)
PKI_NOT_AVAILABLE(EncodeMem)
PKI_NOT_AVAILABLE(DecodeMem)
PKI_NOT_AVAILABLE(ParseCrl)
PKI_NOT_AVAILABLE(FreeCrl)
PKI_NOT_AVAILABLE(VerifyCrlPolicy)
PKI_NOT_AVAILABLE(ShowCrl)
PKI_NOT_AVAILABLE(ShowCertificateEx)
PKI_NOT_AVAILABLE(ShowCrlEx)
PKI_NOT_AVAILABLE(BlkHashMem)
PKI_NOT_AVAILABLE(BlkHashFile)
PKI_NOT_AVAILABLE(CmsBlkAttSignMem)
PKI_NOT_AVAILABLE(CmsBlkAttSignFile)
PKI_NOT_AVAILABLE(CmsStrAttSignInitMem)
PKI_NOT_AVAILABLE(CmsStrAttSignUpdateMem)
PKI_NOT_AVAILABLE(CmsStrAttSignFinalMem)
PKI_NOT_AVAILABLE(CmsStrAttSignFile)
PKI_NOT_AVAILABLE(CmsBlkDetSignMem)
PKI_NOT_AVAILABLE(CmsBlkDetSignFile)
PKI_NOT_AVAILABLE(CmsStrDetSignInitMem)
PKI_NOT_AVAILABLE(CmsStrDetSignUpdateMem)
PKI_NOT_AVAILABLE(CmsStrDetSignFinalMem)
PKI_NOT_AVAILABLE(CmsStrDetSignFile)
PKI_NOT_AVAILABLE(CmsBlkAttVerifyMem)
PKI_NOT_AVAILABLE(CmsBlkAttVerifyFile)
PKI_NOT_AVAILABLE(CmsStrAttVerifyInitMem)
PKI_NOT_AVAILABLE(CmsStrAttVerifyUpdateMem)
PKI_NOT_AVAILABLE(CmsStrAttVerifyFinalMem)
PKI_NOT_AVAILABLE(CmsStrAttVerifyFile)
PKI_NOT_AVAILABLE(CmsBlkDetVerifyMem)
PKI_NOT_AVAILABLE(CmsBlkDetVerifyFile)
PKI_NOT_AVAILABLE(CmsStrDetVerifyInitMem)
PKI_NOT_AVAILABLE(CmsStrDetVerifyUpdateMem)
PKI_NOT_AVAILABLE(CmsStrDetVerifyFinalMem)
PKI_NOT_AVAILABLE(CmsStrDetVerifyFile)
PKI_NOT_AVAILABLE(CmsBlkEncryptMem)
PKI_NOT_AVAILABLE(CmsBlkEncryptFile)
PKI_NOT_AVAILABLE(CmsStrEncryptInitMem)
PKI_NOT_AVAILABLE(CmsStrEncryptUpdateMem)
PKI_NOT_AVAILABLE(CmsStrEncryptFinalMem)
PKI_NOT_AVAILABLE(CmsStrEncryptFile)
PKI_NOT_AVAILABLE(CmsBlkDecryptMem)
PKI_NOT_AVAILABLE(CmsBlkDecryptFile)
PKI_NOT_AVAILABLE(CmsStrDecryptInitMem)
PKI_NOT_AVAILABLE(CmsStrDecryptUpdateMem)
PKI_NOT_AVAILABLE(CmsStrDecryptFinalMem)
PKI_NOT_AVAILABLE(CmsStrDecryptFile)
PKI_NOT_AVAILABLE(CmsBlkSignAttachMem)
PKI_NOT_AVAILABLE(CmsBlkSignAttachFile)
PKI_NOT_AVAILABLE(CmsBlkSignDetachMem)
PKI_NOT_AVAILABLE(CmsBlkSignDetachFile)
PKI_NOT_AVAILABLE(CmsStrSignDetachInitMem)
PKI_NOT_AVAILABLE(CmsStrSignDetachUpdateMem)
PKI_NOT_AVAILABLE(CmsStrSignDetachFinalMem)
PKI_NOT_AVAILABLE(CmsStrSignDetachFile)
PKI_NOT_AVAILABLE(CmsBlkMsgInfMem)
PKI_NOT_AVAILABLE(CmsBlkMsgInfFile)
PKI_NOT_AVAILABLE(CmsStrMsgInfInitMem)
PKI_NOT_AVAILABLE(CmsStrMsgInfUpdateMem)
PKI_NOT_AVAILABLE(CmsStrMsgInfFinalMem)
PKI_NOT_AVAILABLE(CmsStrMsgInfFile)
PKI_NOT_AVAILABLE(CmsFreeMsgInf)
PKI_NOT_AVAILABLE(AddCRL)
PKI_NOT_AVAILABLE(DecryptAndVerifyFile)
PKI_NOT_AVAILABLE(DecryptAndVerifyMem)
PKI_NOT_AVAILABLE(DecryptFile)
PKI_NOT_AVAILABLE(DecryptMem)
PKI_NOT_AVAILABLE(EncryptFile)
PKI_NOT_AVAILABLE(EncryptMem)
PKI_NOT_AVAILABLE(EncryptedInfoFile)
PKI_NOT_AVAILABLE(EncryptedInfoMem)
PKI_NOT_AVAILABLE(FreeEncryptedInfoResult)
PKI_NOT_AVAILABLE(FreeSignedInfoResult)
PKI_NOT_AVAILABLE(HashFile)
PKI_NOT_AVAILABLE(HashMem)
PKI_NOT_AVAILABLE(DetachSignMem)
PKI_NOT_AVAILABLE(DetachSignFile)
PKI_NOT_AVAILABLE(AttachSignMem)
PKI_NOT_AVAILABLE(AttachSignFile)
PKI_NOT_AVAILABLE(SignAndEncryptFile)
PKI_NOT_AVAILABLE(SignAndEncryptMem)
PKI_NOT_AVAILABLE(SignFile)
PKI_NOT_AVAILABLE(SignMem)
PKI_NOT_AVAILABLE(SignedInfoFile)
PKI_NOT_AVAILABLE(SignedInfoMem)
PKI_NOT_AVAILABLE(VerifyAndSignFile)
PKI_NOT_AVAILABLE(VerifyAndSignMem)
PKI_NOT_AVAILABLE(VerifyFile)
PKI_NOT_AVAILABLE(VerifyMem)
PKI_NOT_AVAILABLE(CheckExpiringCertKey)
PKI_NOT_AVAILABLE(GetPkcs7InfoMem)
PKI_NOT_AVAILABLE(GetPkcs7InfoFile)
PKI_NOT_AVAILABLE(FreePkcs7Info)
PKI_NOT_AVAILABLE(CreateSession)
PKI_NOT_AVAILABLE(FreeSession)
PKI_NOT_AVAILABLE(SessionExport)
PKI_NOT_AVAILABLE(SessionImport)
PKI_NOT_AVAILABLE(SessionDerive)
PKI_NOT_AVAILABLE(SessionEncrypt)
PKI_NOT_AVAILABLE(SessionDecrypt)
