// Certificate records filled from real X.509 certificates.
#include <openssl/bn.h>
#include <openssl/objects.h>
#include <openssl/sha.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <cstring>
#include <ctime>

#include "standins/pki/src/Stub.h"

namespace pkistub {

namespace {

std::string UpperHex(const unsigned char* p, int n) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (int i = 0; i < n; ++i) {
    s.push_back(digits[p[i] >> 4]);
    s.push_back(digits[p[i] & 15]);
  }
  return s;
}

std::string ObjText(const ASN1_OBJECT* obj, bool numeric) {
  char buf[128];
  const int n = OBJ_obj2txt(buf, sizeof buf, obj, numeric ? 1 : 0);
  return n > 0 ? std::string(buf, std::min<int>(n, sizeof buf - 1)) : std::string();
}

// Bits that a certificate record reports beyond the named ones.
constexpr TCertInfo kExtensionsBit = 1u << 12;

}  // namespace

std::string DnText(const X509_NAME* name) {
  std::string text;
  const int count = X509_NAME_entry_count(name);
  for (int i = 0; i < count; ++i) {
    const X509_NAME_ENTRY* e = X509_NAME_get_entry(name, i);
    const ASN1_OBJECT* obj = X509_NAME_ENTRY_get_object(e);
    const int nid = OBJ_obj2nid(obj);
    std::string label = nid != NID_undef ? OBJ_nid2sn(nid) : ObjText(obj, true);
    unsigned char* utf8 = nullptr;
    const int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(e));
    std::string value = n >= 0 ? std::string(reinterpret_cast<char*>(utf8), n) : std::string();
    OPENSSL_free(utf8);
    if (!text.empty()) text += ", ";
    text += label + "=" + value;
  }
  return text;
}

std::string SerialText(const X509* x) {
  BIGNUM* bn = ASN1_INTEGER_to_BN(X509_get0_serialNumber(x), nullptr);
  if (bn == nullptr) return "";
  char* hex = BN_bn2hex(bn);
  std::string text = hex != nullptr ? hex : "";
  OPENSSL_free(hex);
  BN_free(bn);
  return text;
}

std::string KeyIdText(const X509* x) {
  const ASN1_OCTET_STRING* ski = X509_get0_subject_key_id(const_cast<X509*>(x));
  if (ski == nullptr) return "";
  return UpperHex(ASN1_STRING_get0_data(ski), ASN1_STRING_length(ski));
}

std::string AlgorithmText(const X509* x) {
  EVP_PKEY* key = X509_get0_pubkey(x);
  if (key == nullptr) return "";
  switch (EVP_PKEY_get_base_id(key)) {
    case EVP_PKEY_RSA:
      return "RSA";
    case EVP_PKEY_EC:
      // Elliptic-curve keys play the national algorithms in the test PKI:
      // P-384 the one of the RSA-family provider's national CSP, P-256 the
      // GOST one.
      return EVP_PKEY_get_bits(key) == 384 ? "GOST RK 34.10-2015" : "GOST R 34.10-2012 (256 bit)";
    default:
      return OBJ_nid2sn(EVP_PKEY_get_base_id(key));
  }
}

bool HasExtKeyUsageExtension(const X509* x) {
  return X509_get_ext_by_NID(x, NID_ext_key_usage, -1) >= 0;
}

std::vector<std::string> ExtKeyUsages(const X509* x) {
  std::vector<std::string> oids;
  auto* eku =
      static_cast<EXTENDED_KEY_USAGE*>(X509_get_ext_d2i(x, NID_ext_key_usage, nullptr, nullptr));
  if (eku == nullptr) return oids;
  for (int i = 0; i < sk_ASN1_OBJECT_num(eku); ++i)
    oids.push_back(ObjText(sk_ASN1_OBJECT_value(eku, i), true));
  EXTENDED_KEY_USAGE_free(eku);
  return oids;
}

tarvo::TKeyUsages KeyUsages(const X509* x) {
  const std::uint32_t ku = X509_get_key_usage(const_cast<X509*>(x));
  if (ku == UINT32_MAX) return 0x1F;  // no extension: not restricted
  tarvo::TKeyUsages bits = 0;
  if (ku & KU_DIGITAL_SIGNATURE) bits |= 1u << 0;
  if (ku & KU_NON_REPUDIATION) bits |= 1u << 1;
  if (ku & KU_KEY_ENCIPHERMENT) bits |= 1u << 2;
  if (ku & KU_DATA_ENCIPHERMENT) bits |= 1u << 3;
  if (ku & KU_KEY_AGREEMENT) bits |= 1u << 4;
  if (ku & KU_KEY_CERT_SIGN) bits |= 1u << 5;
  if (ku & KU_CRL_SIGN) bits |= 1u << 6;
  if (ku & KU_ENCIPHER_ONLY) bits |= 1u << 7;
  if (ku & KU_DECIPHER_ONLY) bits |= 1u << 8;
  return bits;
}

std::uint32_t UnixTime(const ASN1_TIME* t) {
  std::tm tm{};
  if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) return 0;
  const long long v = timegm(&tm);
  if (v < 0) return 0;
  if (v > 0xFFFFFFFFll) return 0xFFFFFFFFu;
  return static_cast<std::uint32_t>(v);
}

void PrivateKeyPeriod(const X509* x, std::uint32_t& from, std::uint32_t& to) {
  from = to = 0;
  auto* period = static_cast<PKEY_USAGE_PERIOD*>(
      X509_get_ext_d2i(x, NID_private_key_usage_period, nullptr, nullptr));
  if (period == nullptr) return;
  if (period->notBefore != nullptr) from = UnixTime(period->notBefore);
  if (period->notAfter != nullptr) to = UnixTime(period->notAfter);
  PKEY_USAGE_PERIOD_free(period);
}

std::string Sha1(const std::string& der) {
  unsigned char md[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(der.data()), der.size(), md);
  return std::string(reinterpret_cast<char*>(md), sizeof md);
}

void FillRecord(const X509* x, const std::string& der, TCertInfo wanted, TCertificate* out) {
  using namespace tarvo;
  std::memset(out, 0, sizeof *out);
  TCertInfo fields = 0;
  auto want = [&](TCertField f) { return (wanted & CertFieldBit(f)) != 0; };
  if (want(cfSerialNumber)) {
    out->SerialNumber = StrDup(SerialText(x));
    fields |= CertFieldBit(cfSerialNumber);
  }
  if (want(cfIssuer)) {
    out->Issuer = StrDup(DnText(X509_get_issuer_name(x)));
    fields |= CertFieldBit(cfIssuer);
  }
  if (want(cfSubject)) {
    out->Subject = StrDup(DnText(X509_get_subject_name(x)));
    fields |= CertFieldBit(cfSubject);
  }
  const ASN1_BIT_STRING *issuerUid = nullptr, *subjectUid = nullptr;
  X509_get0_uids(x, &issuerUid, &subjectUid);
  if (want(cfIssuerUID) && issuerUid != nullptr) {
    out->IssuerUID =
        StrDup(UpperHex(ASN1_STRING_get0_data(issuerUid), ASN1_STRING_length(issuerUid)));
    fields |= CertFieldBit(cfIssuerUID);
  }
  if (want(cfSubjectUID) && subjectUid != nullptr) {
    out->SubjectUID =
        StrDup(UpperHex(ASN1_STRING_get0_data(subjectUid), ASN1_STRING_length(subjectUid)));
    fields |= CertFieldBit(cfSubjectUID);
  }
  if (want(cfAlgorithm)) {
    out->Algorithm = StrDup(AlgorithmText(x));
    fields |= CertFieldBit(cfAlgorithm);
  }
  // Dates and key usage are plain numbers and always reported.
  out->NotBefore = UnixTime(X509_get0_notBefore(x));
  out->NotAfter = UnixTime(X509_get0_notAfter(x));
  out->KeyUsage = KeyUsages(x);
  PrivateKeyPeriod(x, out->NotBeforePrivate, out->NotAfterPrivate);
  if (want(cfExtKeyUsage) && HasExtKeyUsageExtension(x)) {
    const std::vector<std::string> oids = ExtKeyUsages(x);
    if (!oids.empty()) {
      out->ExtKeyUsage = static_cast<TExtKeyUsage*>(Alloc(oids.size() * sizeof(TExtKeyUsage)));
      for (std::size_t i = 0; i < oids.size(); ++i) out->ExtKeyUsage[i].OID = StrDup(oids[i]);
      out->ExtKeyUsageNum = static_cast<std::uint32_t>(oids.size());
    }
    fields |= CertFieldBit(cfExtKeyUsage);
  }
  if (want(cfKeyId)) {
    const std::string keyId = KeyIdText(x);
    if (!keyId.empty()) {
      out->KeyId = StrDup(keyId);
      fields |= CertFieldBit(cfKeyId);
    }
  }
  if (wanted & kExtensionsBit) {
    const int n = X509_get_ext_count(x);
    if (n > 0) {
      out->Extensions = static_cast<TCertExtension*>(Alloc(n * sizeof(TCertExtension)));
      for (int i = 0; i < n; ++i) {
        X509_EXTENSION* ext = X509_get_ext(x, i);
        const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(ext);
        out->Extensions[i].OID = StrDup(ObjText(X509_EXTENSION_get_object(ext), true));
        out->Extensions[i].Critical = X509_EXTENSION_get_critical(ext) ? 1 : 0;
        out->Extensions[i].Len = static_cast<std::uint32_t>(ASN1_STRING_length(data));
        out->Extensions[i].Data = BlkDup(ASN1_STRING_get0_data(data), ASN1_STRING_length(data));
      }
      out->ExtensionNum = static_cast<std::uint32_t>(n);
    }
    fields |= kExtensionsBit;
  }
  if (want(cfCertEncoded)) {
    out->CertEncoded.buf = BlkDup(der.data(), der.size());
    out->CertEncoded.len = static_cast<std::uint32_t>(der.size());
    fields |= CertFieldBit(cfCertEncoded);
  }
  if (want(cfCertHash)) {
    const std::string hash = Sha1(der);
    out->CertHash.buf = BlkDup(hash.data(), hash.size());
    out->CertHash.len = static_cast<std::uint32_t>(hash.size());
    fields |= CertFieldBit(cfCertHash);
  }
  out->Fields = fields;
}

void FreeRecord(TCertificate* rec) {
  if (rec == nullptr) return;
  Free(rec->Issuer);
  Free(rec->SerialNumber);
  Free(rec->Subject);
  Free(rec->Algorithm);
  Free(rec->IssuerUID);
  Free(rec->SubjectUID);
  for (tarvo::TAltName* alt : {&rec->IssuerAltName, &rec->SubjectAltName}) {
    char** p = reinterpret_cast<char**>(alt);
    for (std::size_t i = 0; i < sizeof(tarvo::TAltName) / sizeof(char*); ++i) Free(p[i]);
  }
  Free(rec->KeyId);
  if (rec->Policies != nullptr) {
    for (std::uint32_t i = 0; i < rec->PolicyNum; ++i) {
      Free(rec->Policies[i].oid);
      Free(rec->Policies[i].OrgName);
      Free(rec->Policies[i].Text);
    }
    Free(rec->Policies);
  }
  if (rec->ExtKeyUsage != nullptr) {
    for (std::uint32_t i = 0; i < rec->ExtKeyUsageNum; ++i) Free(rec->ExtKeyUsage[i].OID);
    Free(rec->ExtKeyUsage);
  }
  if (rec->Extensions != nullptr) {
    for (std::uint32_t i = 0; i < rec->ExtensionNum; ++i) {
      Free(rec->Extensions[i].OID);
      Free(rec->Extensions[i].Data);
    }
    Free(rec->Extensions);
  }
  Free(rec->CertEncoded.buf);
  Free(rec->CertHash.buf);
  std::memset(rec, 0, sizeof *rec);
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

bool ContainsNoCase(const std::string& haystack, const std::string& needle) {
  if (needle.empty()) return true;
  for (std::size_t i = 0; i + needle.size() <= haystack.size(); ++i)
    if (EqualNoCase(haystack.substr(i, needle.size()), needle)) return true;
  return false;
}

bool SameSerial(const std::string& a, const std::string& b) {
  auto strip = [](const std::string& s) {
    std::size_t i = 0;
    while (i + 1 < s.size() && s[i] == '0') ++i;
    return s.substr(i);
  };
  return EqualNoCase(strip(a), strip(b));
}

}  // namespace pkistub
