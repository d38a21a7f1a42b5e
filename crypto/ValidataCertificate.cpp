// Certificates, their lists, and the shared provider core.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "crypto/ValidataCore.h"
#include "platform/core/CodePage.h"
#include "platform/core/DateTime.h"
#include "platform/core/Errors.h"
#include "platform/core/Format.h"
#include "platform/core/Text.h"

namespace tarvo {

namespace {

// Lines read from the library's error stack at most: a library that never
// says "exhausted" must not hang us.
constexpr int kMaxErrorLines = 64;
constexpr std::size_t kErrorTextSize = 1024;
// Extended key usages checked for certificates issued after this day (UTC).
const TValidataDateTime kExtKeyUsageCutoff = platform::EncodeDate(2020, 7, 1);
constexpr std::size_t kMaxVerifyOids = 100;

std::string BlkText(const TMemBlk& blk) {
  if (blk.buf == nullptr || blk.len == 0) return {};
  return MemBlkToStr(blk);
}

TValidataDateTime FromUnix(TUnixTime t) {
  return platform::UnixToDateTime(static_cast<std::int64_t>(t));
}

}  // namespace

// --- core -----------------------------------------------------------------------

TValidataProviderCore::~TValidataProviderCore() {
  if (api && ctx) {
    try {
      TVcertStatus status;
      {
        std::lock_guard<std::recursive_mutex> guard(ValidataSettingsMutex());
        status = api->VCERT_Uninitialize()(ctx);
      }
      if (status != 0)
        Log(platform::Format("VCERT_Uninitialize: 0x%x %s",
                             {status, api->VCERT_GetErrorText(status)}));
    } catch (const std::exception& e) {
      // Releasing never raises: note why and unload all the same.
      try {
        Log(std::string("VCERT_Uninitialize: ") + e.what());
      } catch (...) {
      }
    }
    ctx = nullptr;
  }
  api.reset();
  tumar.Unload();
}

std::string TValidataProviderCore::ErrorStack() const {
  if (!api || !api->IsBound(veGetErrorLineEx)) return {};
  auto getLine = api->VCERT_GetErrorLineEx();
  std::string stack;
  for (int n = 0; n < kMaxErrorLines; ++n) {
    char text[kErrorTextSize];
    text[0] = '\0';
    TMemBlk file{0, nullptr}, extra{0, nullptr};
    std::uint32_t line = 0;
    if (getLine(ctx, text, sizeof(text), &file, &line, &extra) != 0) break;
    // A text that fills the buffer without a terminator is cut at the buffer.
    const std::string message =
        platform::FromCodePage(std::string_view(text, strnlen(text, sizeof(text))));
    std::string entry =
        platform::Format("%s(%d): %s", {BlkText(file), static_cast<long long>(line), message});
    const std::string extraText = BlkText(extra);
    if (!extraText.empty()) entry += " " + extraText;
    if (!stack.empty()) stack += "\r\n";
    stack += entry;
  }
  return stack;
}

void RaiseValidataError(const TVCERTApi* api, TVcertStatus error, const std::string& sourceName,
                        const std::string& stackTrace) {
  std::string message = api ? api->VCERT_GetErrorText(error) : std::string();
  if (message.empty()) message = platform::Format("Validata error 0x%x", {error});
  throw EValidataError(message, error, sourceName, stackTrace);
}

void TValidataProviderCore::Raise(TVcertStatus status, const std::string& sourceName) const {
  RaiseValidataError(api.get(), status, sourceName, ErrorStack());
}

TCertId* TValidataProviderCore::SessionId(const std::string& source) const {
  if (owner) return owner->SessionId(source);
  if (localMode) return nullptr;
  throw EValidataError(vtext::kNoSession, 2, source);
}

// --- certificate -------------------------------------------------------------------

TValidataCertificatePtr TValidataCertificate::Adopt(std::shared_ptr<TValidataProviderCore> core,
                                                    TCertificate& record) {
  TValidataCertificatePtr cert(new TValidataCertificate());
  cert->fCore = std::move(core);
  cert->fRecord = record;
  std::memset(&record, 0, sizeof(record));  // the certificate owns the contents now
  const TCertInfo f = cert->fRecord.Fields;
  if (f & CertFieldBit(cfCertHash)) {
    cert->fId.ChoiceType = ID_CERTHASH;
    cert->fId.CertHash = cert->fRecord.CertHash;
  } else if (f & CertFieldBit(cfKeyId)) {
    cert->fId.ChoiceType = ID_KEYID;
    cert->fId.KeyId = cert->fRecord.KeyId;
  } else if ((f & CertFieldBit(cfSerialNumber)) && (f & CertFieldBit(cfIssuer))) {
    cert->fId.ChoiceType = ID_ISSUER_AND_SERIAL;
    cert->fId.ias.Issuer = cert->fRecord.Issuer;
    cert->fId.ias.SerialNumber = cert->fRecord.SerialNumber;
  } else {
    // cert's destructor releases the record.
    throw EValidataError(vtext::kNoIdentity, 1, "TValidataCertificate.Create");
  }
  return cert;
}

TValidataCertificatePtr TValidataCertificate::Create(TValidataCryptoProvider& provider,
                                                     TCertificate&& record) {
  return Adopt(provider.Core(), record);
}

TValidataCertificatePtr TValidataCertificate::Create(TValidataCryptoProvider& provider,
                                                     const TMemBlk& encoded) {
  const auto& core = provider.Core();
  TCertificate record{};
  TMemBlk blk = encoded;
  const TVcertStatus status =
      core->api->VCERT_ParseCert()(core->ctx, &blk, VCERT_ALL_FIELDS, &record);
  if (status != 0) {
    core->api->VCERT_FreeCert()(core->ctx, &record);  // whatever a failing parse left
    core->Raise(status, "VCERT_ParseCert");
  }
  return Adopt(core, record);
}

TValidataCertificatePtr TValidataCertificate::Create(TValidataCryptoProvider& provider,
                                                     const std::string& fileName) {
  TOwnedMemBlk blk = LoadMemBlk(fileName);
  return Create(provider, blk.Blk());
}

TValidataCertificatePtr TValidataCertificate::CreateDetached(const std::string& issuer,
                                                             const std::string& serialNumber) {
  TValidataCertificatePtr cert(new TValidataCertificate());
  const std::string i = ToAnsi(issuer), s = ToAnsi(serialNumber);
  cert->fRecord.Issuer = strdup(i.c_str());
  cert->fRecord.SerialNumber = strdup(s.c_str());
  if (!cert->fRecord.Issuer || !cert->fRecord.SerialNumber) throw std::bad_alloc();
  cert->fRecord.Fields = CertFieldBit(cfIssuer) | CertFieldBit(cfSerialNumber);
  cert->fId.ChoiceType = ID_ISSUER_AND_SERIAL;
  cert->fId.ias.Issuer = cert->fRecord.Issuer;
  cert->fId.ias.SerialNumber = cert->fRecord.SerialNumber;
  return cert;
}

TValidataCertificate::~TValidataCertificate() {
  if (fCore) {
    if (fCore->api && fCore->api->IsBound(veFreeCert))
      fCore->api->VCERT_FreeCert()(fCore->ctx, &fRecord);
  } else {
    std::free(fRecord.Issuer);
    std::free(fRecord.SerialNumber);
  }
}

TValidataCryptoProvider* TValidataCertificate::CryptoProvider() const {
  return fCore ? fCore->owner : nullptr;
}

std::string TValidataCertificate::Issuer() const {
  return FromAnsi(fRecord.Issuer);
}
std::string TValidataCertificate::SerialNumber() const {
  return FromAnsi(fRecord.SerialNumber);
}
std::string TValidataCertificate::Subject() const {
  return FromAnsi(fRecord.Subject);
}
std::string TValidataCertificate::Algorithm() const {
  return FromAnsi(fRecord.Algorithm);
}
std::string TValidataCertificate::IssuerUID() const {
  return FromAnsi(fRecord.IssuerUID);
}
std::string TValidataCertificate::SubjectUID() const {
  return FromAnsi(fRecord.SubjectUID);
}
std::string TValidataCertificate::KeyId() const {
  return FromAnsi(fRecord.KeyId);
}

std::vector<std::string> TValidataCertificate::ExtKeyUsage() const {
  std::vector<std::string> oids;
  if (fRecord.ExtKeyUsage == nullptr) return oids;
  for (std::uint32_t i = 0; i < fRecord.ExtKeyUsageNum; ++i)
    if (fRecord.ExtKeyUsage[i].OID) oids.emplace_back(fRecord.ExtKeyUsage[i].OID);
  return oids;
}

std::string TValidataCertificate::CertEncoded() const {
  return fRecord.CertEncoded.buf
             ? std::string(reinterpret_cast<const char*>(fRecord.CertEncoded.buf),
                           fRecord.CertEncoded.len)
             : std::string();
}

std::string TValidataCertificate::CertHash() const {
  return fRecord.CertHash.buf ? std::string(reinterpret_cast<const char*>(fRecord.CertHash.buf),
                                            fRecord.CertHash.len)
                              : std::string();
}

TValidataDateTime TValidataCertificate::NotBefore() const {
  return FromUnix(fRecord.NotBefore);
}
TValidataDateTime TValidataCertificate::NotAfter() const {
  return FromUnix(fRecord.NotAfter);
}
TValidataDateTime TValidataCertificate::NotBeforePrivate() const {
  return fRecord.NotBeforePrivate ? FromUnix(fRecord.NotBeforePrivate) : NotBefore();
}
TValidataDateTime TValidataCertificate::NotAfterPrivate() const {
  return fRecord.NotAfterPrivate ? FromUnix(fRecord.NotAfterPrivate) : NotAfter();
}

TPkiType TValidataCertificate::PkiType() const {
  return fCore ? fCore->pkiType : ptNone;
}

TValidataAlgorithmFamily TValidataCertificate::AlgorithmFamily() const {
  if (PkiType() != ptRsa) return vafValidata;
  return Algorithm().compare(0, 7, "GOST RK") == 0 ? vafTumar : vafRsa;
}

TValidataCapabilities TValidataCertificate::Capabilities() const {
  TValidataCapabilities caps;
  const bool signing = (fRecord.KeyUsage & kuDigitalSignature) != 0;
  if (signing) caps.Include(vcpSigning);
  if ((fRecord.KeyUsage & kuEncryptionMask) != 0 && !(AlgorithmFamily() == vafTumar && signing))
    caps.Include(vcpEncryption);
  return caps;
}

bool TValidataCertificate::IsExpired() const {
  // Both sides are UTC: the record's Unix times and the clock.
  const TValidataDateTime now = platform::NowUTC();
  return now < NotBeforePrivate() || now > NotAfterPrivate();
}

void TValidataCertificate::RequireDer(const char* source) const {
  if (!HasDer()) throw EValidataError(vtext::kNoDer, 3, source);
  if (!fCore) throw EValidataError(vtext::kNoSession, 2, source);
}

TValidataCertificatePtr TValidataCertificate::Duplicate() const {
  RequireDer("TValidataCertificate.Duplicate");
  const auto& core = fCore;
  TCertificate record{};
  TMemBlk blk = fRecord.CertEncoded;
  const TVcertStatus status =
      core->api->VCERT_ParseCert()(core->ctx, &blk, VCERT_ALL_FIELDS, &record);
  if (status != 0) {
    core->api->VCERT_FreeCert()(core->ctx, &record);
    core->Raise(status, "VCERT_ParseCert");
  }
  return Adopt(core, record);
}

bool TValidataCertificate::Show() const {
  RequireDer("TValidataCertificate.Show");
  TVcertStatus status = VCERT_E_NOT_AVAILABLE;
  if (fCore->localMode) {
    TMemBlk blk = fRecord.CertEncoded;
    status = fCore->api->VCERT_ShowCertificate()(fCore->ctx, &blk);
  }
  if (status == VCERT_E_WINDOW_CLOSED) return false;
  fCore->Check(status, "VCERT_ShowCertificate");
  return true;
}

void TValidataCertificate::Verify(TValidataDateTime checkTime, const std::string& extKeyUsageList,
                                  TValidataCapabilities capabilities) const {
  RequireDer("TValidataCertificate.Verify");
  TVerifyPolicyParams params{};
  params.size = (!fCore->localMode && !fCore->extensions.Contains(vexApiVersion6))
                    ? 0
                    : static_cast<std::uint32_t>(sizeof(TVerifyPolicyParams));
  params.flag = 0;
  params.mycert = fCore->SessionId("TValidataCertificate.Verify");
  if (checkTime != 0)
    params.check_time = static_cast<TUnixTime>(platform::DateTimeToUnix(checkTime));
  params.keyusage = capabilities.Contains(vcpSigning) ? 1 : 0;
  std::vector<std::string> oids;
  std::vector<char*> oidPtrs;
  if (!extKeyUsageList.empty() && ShouldCheckExtKeyUsage()) {
    const std::vector<std::string> wanted = SplitList(extKeyUsageList, ";");
    // The library takes up to 100 usages; checking only the first 100 would
    // pass a certificate that lacks a later one.
    if (wanted.size() > kMaxVerifyOids)
      throw EValidataError("Too many extended key usages to check (at most 100)",
                           platform::ERROR_INVALID_PARAMETER, "TValidataCertificate.Verify");
    for (auto& oid : wanted) oids.push_back(ToAnsi(oid));
    for (auto& oid : oids) oidPtrs.push_back(oid.data());
    params.eku_num = static_cast<std::uint32_t>(oidPtrs.size());
    params.extkeyusages = oidPtrs.empty() ? nullptr : oidPtrs.data();
  }
  TMemBlk blk = fRecord.CertEncoded;
  fCore->Check(fCore->api->VCERT_VerifyCertificatePolicy()(fCore->ctx, &params, &blk),
               "VCERT_VerifyCertificatePolicy");
  if (capabilities.Contains(vcpEncryption) && (Capabilities() * capabilities).Empty())
    fCore->Raise(VCERT_E_NO_CAPABILITY, "TValidataCertificate.Verify");
}

bool TValidataCertificate::IsRevoked() const {
  RequireDer("TValidataCertificate.IsRevoked");
  TVerifyParams params{};
  params.MyCert = fCore->SessionId("TValidataCertificate.IsRevoked");
  params.Info = 4;
  TMemBlk blk = fRecord.CertEncoded;
  TCertificate out{};
  const TVcertStatus status = fCore->api->VCERT_VerifyCert()(fCore->ctx, &params, &blk, &out);
  // Whatever the library put into the record is released, success or not.
  fCore->api->VCERT_FreeCert()(fCore->ctx, &out);
  return status != 0;
}

bool TValidataCertificate::ShouldCheckExtKeyUsage() const {
  return NotBefore() > kExtKeyUsageCutoff;
}

bool TValidataCertificate::ConfirmsExtKeyUsage(const std::string& oid) const {
  if (!ShouldCheckExtKeyUsage()) return true;
  const std::string wanted = ToAnsi(oid);
  for (const auto& own : ExtKeyUsage())
    if (own == wanted) return true;
  return false;
}

bool TValidataCertificate::ConfirmsExtKeyUsages(const std::vector<std::string>& oids,
                                                bool confirmAll) const {
  if (oids.empty()) return true;
  for (const auto& oid : oids) {
    const bool ok = ConfirmsExtKeyUsage(oid);
    if (confirmAll && !ok) return false;
    if (!confirmAll && ok) return true;
  }
  return confirmAll;
}

bool TValidataCertificate::ConfirmsExtKeyUsages(const std::string& text, bool confirmAll) const {
  return ConfirmsExtKeyUsages(SplitList(text, ";,"), confirmAll);
}

bool TValidataCertificate::ConfirmsExtKeyUsages(const TValidataCertificate& other,
                                                bool confirmAll) const {
  return ConfirmsExtKeyUsages(other.ExtKeyUsage(), confirmAll);
}

std::string TValidataCertificate::OIDs(std::string_view separator) const {
  return TValidataSettings::GetExtKeyUsages(PkiType(), ExtKeyUsage(), separator, false);
}

bool TValidataCertificate::Matches(const std::string& value, const std::string& pattern) const {
  const TPkiType pki = PkiType();
  if (pki != ptGost && pki != ptRsa) return false;
  for (const char* id : {"INN=", "SNILS="})
    if (!platform::SameText(NameSubstr(value, id), NameSubstr(pattern, id))) return false;
  for (const char* id : {"CN=", "O="}) {
    const std::string want = NameSubstr(pattern, id);
    if (!want.empty() && !platform::SameText(NameSubstr(value, id), want)) return false;
  }
  return true;
}

bool TValidataCertificate::MatchesSubject(const std::string& pattern) const {
  return Matches(Subject(), pattern);
}

bool TValidataCertificate::MatchesAlgorithm(const std::string& value) const {
  const std::string own = Algorithm();
  if (own == value) return true;
  auto isGost = [](const std::string& a) {
    return a == "GOST R 34.10-2001" || a == "GOST R 34.10-2012" ||
           a == "GOST R 34.10-2012 (256 bit)";
  };
  return isGost(own) == isGost(value);
}

std::string TValidataCertificate::ShortSubject() const {
  const TPkiType pki = PkiType();
  if (pki != ptGost && pki != ptRsa) return Subject();
  return TValidataSettings::GetShortSubject(Subject());
}

std::string TValidataCertificate::CertificateID(std::string_view separator) const {
  const std::string keyId = KeyId();
  if (!keyId.empty()) return "key" + std::string(separator) + "\"" + keyId + "\"";
  return "serial" + std::string(separator) + "\"" + SerialNumber() + "\"";
}

// --- lists -----------------------------------------------------------------------

void TValidataCertificates::Add(TValidataCertificatePtr cert) {
  if (cert) fItems.push_back(std::move(cert));
}

bool TValidataCertificates::Remove(const TValidataCertificate* cert) {
  const int i = IndexOf(cert);
  if (i < 0) return false;
  Delete(i);
  return true;
}

void TValidataCertificates::Delete(int index) {
  if (index < 0 || index >= Count()) throw std::out_of_range("certificate index out of range");
  fItems.erase(fItems.begin() + index);
}

int TValidataCertificates::IndexOf(const TValidataCertificate* cert) const {
  for (std::size_t i = 0; i < fItems.size(); ++i)
    if (fItems[i].get() == cert) return static_cast<int>(i);
  return -1;
}

TValidataCertificatePtr TValidataCertificates::Find(const TValidataCertificate& cert) const {
  const std::string serial = cert.SerialNumber();
  for (const auto& c : fItems)
    if (c->SerialNumber() == serial) return c;
  return nullptr;
}

TValidataCertificatePtr TValidataCertificates::FindSame(const TValidataCertificate& cert) const {
  const std::string serial = cert.SerialNumber(), issuer = cert.Issuer();
  for (const auto& c : fItems)
    if (c->SerialNumber() == serial && c->Issuer() == issuer) return c;
  return nullptr;
}

}  // namespace tarvo
