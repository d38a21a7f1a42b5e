// Writes the test certificates of the crypto-library stand-in: two test
// authorities and the certificates the wrapper's tests need, as PEM files,
// plus manifest.txt with the facts tests assert (read by PkiTesting.cpp).
//
//   pki_certgen <output folder>
//
// Run once by hand; the output is committed and the build never regenerates
// it (keys are random, so a rerun changes every file and every key id).
// Names, serials and dates are fixed here.

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

struct Plan {
  std::string name;
  std::string issuerName;  // "" = self-signed
  long serial;
  Pairs subject;          // in certificate order
  std::string notBefore;  // "YYYY-MM-DD"
  std::string notAfter;
  bool rsa = false;  // else EC P-256 (P-384 with `p384`)
  bool ca = false;
  std::string keyUsage;  // OpenSSL extension syntax
  std::string eku;       // "" = none
  bool keyId = true;
  bool keepKey = false;                // write <name>.key
  std::string privateFrom, privateTo;  // private key usage period, "" = none
  bool p384 = false;
};

// Same order as pkitest::TestCert.
const std::vector<Plan>& Plans() {
  static const std::vector<Plan> plans = {
      {"authority",
       "",
       0x7001,
       {{"CN", "Tarvo Test Authority"}, {"O", "Tarvo Test"}},
       "2020-01-01",
       "2045-12-31",
       false,
       true,
       "critical,keyCertSign,cRLSign",
       "",
       true,
       false,
       "",
       ""},
      {"authority2",
       "",
       0x7002,
       {{"CN", "Tarvo Test Authority 2"}, {"O", "Tarvo Test"}},
       "2020-01-01",
       "2045-12-31",
       false,
       true,
       "critical,keyCertSign,cRLSign",
       "",
       true,
       false,
       "",
       ""},
      {"own-sign-encrypt",
       "authority",
       0x1001,
       {{"CN", "Ivan Petrov"}, {"O", "Tarvo Trader"}},
       "2024-01-01",
       "2045-01-01",
       false,
       false,
       "digitalSignature,keyEncipherment,keyAgreement",
       "clientAuth,emailProtection",
       true,
       true,
       "2024-01-01",
       "2044-01-01"},
      {"own-encrypt-only",
       "authority",
       0x1002,
       {{"CN", "Ivan Petrov Encryption"}, {"O", "Tarvo Trader"}},
       "2024-01-01",
       "2045-01-01",
       false,
       false,
       "keyEncipherment,keyAgreement",
       "emailProtection",
       true,
       true,
       "",
       ""},
      {"own-rsa",
       "authority",
       0x1003,
       {{"CN", "Ivan Petrov RSA"}, {"O", "Tarvo Trader"}},
       "2024-01-01",
       "2045-01-01",
       true,
       false,
       "digitalSignature,keyEncipherment",
       "clientAuth",
       true,
       true,
       "",
       ""},
      {"expired",
       "authority",
       0x2001,
       {{"CN", "Old Partner"}, {"O", "Tarvo Partner"}},
       "2019-01-01",
       "2020-01-01",
       false,
       false,
       "digitalSignature,keyEncipherment",
       "clientAuth",
       true,
       false,
       "",
       ""},
      {"before-2020",
       "authority",
       0x2002,
       {{"CN", "Early Partner"}, {"O", "Tarvo Partner"}},
       "2020-03-01",
       "2045-01-01",
       false,
       false,
       "digitalSignature",
       "",
       true,
       false,
       "",
       ""},
      {"without-keyid",
       "authority",
       0x2003,
       {{"CN", "No Key Id Partner"}, {"O", "Tarvo Partner"}},
       "2024-01-01",
       "2045-01-01",
       false,
       false,
       "digitalSignature,keyEncipherment",
       "clientAuth",
       false,
       false,
       "",
       ""},
      {"same-serial-a",
       "authority",
       0x5AA5,
       {{"CN", "Twin Partner A"}, {"O", "Tarvo Partner"}},
       "2024-01-01",
       "2045-01-01",
       false,
       false,
       "digitalSignature,keyEncipherment",
       "clientAuth",
       true,
       false,
       "",
       ""},
      {"same-serial-b",
       "authority2",
       0x5AA5,
       {{"CN", "Twin Partner B"}, {"O", "Tarvo Partner"}},
       "2024-01-01",
       "2045-01-01",
       false,
       false,
       "digitalSignature,keyEncipherment",
       "clientAuth",
       true,
       false,
       "",
       ""},
      {"inn-snils",
       "authority",
       0x2004,
       {{"CN", "Sergey Ivanov"},
        {"O", "Tarvo Broker"},
        {"INN", "007712345678"},
        {"SNILS", "12345678901"}},
       "2024-01-01",
       "2045-01-01",
       false,
       false,
       "digitalSignature,keyEncipherment",
       "clientAuth",
       true,
       false,
       "",
       ""},
      {"revoked",
       "authority",
       0x2005,
       {{"CN", "Revoked Partner"}, {"O", "Tarvo Partner"}},
       "2024-01-01",
       "2045-01-01",
       false,
       false,
       "digitalSignature,keyEncipherment",
       "clientAuth",
       true,
       false,
       "",
       ""},
      {"after-cutoff-no-eku",
       "authority",
       0x2006,
       {{"CN", "Late Partner"}, {"O", "Tarvo Partner"}},
       "2021-01-01",
       "2045-01-01",
       false,
       false,
       "digitalSignature,keyEncipherment",
       "",
       true,
       false,
       "",
       ""},
      {"tumar-sign-encrypt",
       "authority",
       0x2007,
       {{"CN", "Tumar Partner"}, {"O", "Tarvo Partner"}},
       "2024-01-01",
       "2045-01-01",
       false,
       false,
       "digitalSignature,keyEncipherment",
       "clientAuth",
       true,
       true,
       "",
       "",
       true},
  };
  return plans;
}

[[noreturn]] void Die(const std::string& what) {
  std::cerr << "pki_certgen: " << what << "\n";
  std::exit(1);
}

time_t Unix(const std::string& date) {
  std::tm tm{};
  if (std::sscanf(date.c_str(), "%d-%d-%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday) != 3)
    Die("bad date " + date);
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  return timegm(&tm);
}

EVP_PKEY* NewKey(bool rsa, bool p384) {
  EVP_PKEY* key = rsa ? EVP_RSA_gen(2048) : EVP_EC_gen(p384 ? "P-384" : "P-256");
  if (key == nullptr) Die("key generation failed");
  return key;
}

std::string DnText(const Pairs& dn) {
  std::string text;
  for (const auto& [k, v] : dn) text += (text.empty() ? "" : ", ") + k + "=" + v;
  return text;
}

void AddExt(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (ext == nullptr) Die("extension " + value);
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

struct Made {
  X509* cert;
  EVP_PKEY* key;
};

std::string UpperHex(const unsigned char* p, int n) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (int i = 0; i < n; ++i) {
    s.push_back(digits[p[i] >> 4]);
    s.push_back(digits[p[i] & 15]);
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) Die("usage: pki_certgen <output folder>");
  const std::string out = argv[1];
  std::vector<Made> made;
  std::ofstream manifest(out + "/manifest.txt", std::ios::trunc);
  manifest << "# name|serial|subject|issuer|notBefore|notAfter|keyId|algorithm|hasKey\n";
  manifest << "# written by pki_certgen; do not edit\n";
  for (const Plan& s : Plans()) {
    EVP_PKEY* key = NewKey(s.rsa, s.p384);
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), s.serial);
    X509_NAME* name = X509_NAME_new();
    for (const auto& [k, v] : s.subject)
      if (!X509_NAME_add_entry_by_txt(name, k.c_str(), MBSTRING_UTF8,
                                      reinterpret_cast<const unsigned char*>(v.c_str()), -1, -1, 0))
        Die("name part " + k);
    X509_set_subject_name(cert, name);
    const Plan* issuerPlan = &s;
    X509* issuerCert = cert;
    EVP_PKEY* issuerKey = key;
    if (!s.issuerName.empty()) {
      std::size_t i = 0;
      while (i < made.size() && Plans()[i].name != s.issuerName) ++i;
      if (i == made.size()) Die("unknown issuer " + s.issuerName);
      issuerPlan = &Plans()[i];
      issuerCert = made[i].cert;
      issuerKey = made[i].key;
    }
    X509_set_issuer_name(cert, X509_get_subject_name(issuerCert));
    X509_NAME_free(name);
    ASN1_TIME_set(X509_getm_notBefore(cert), Unix(s.notBefore));
    ASN1_TIME_set(X509_getm_notAfter(cert), Unix(s.notAfter));
    X509_set_pubkey(cert, key);
    AddExt(cert, issuerCert, NID_basic_constraints,
           s.ca ? "critical,CA:TRUE" : "critical,CA:FALSE");
    AddExt(cert, issuerCert, NID_key_usage, s.keyUsage);
    if (!s.eku.empty()) AddExt(cert, issuerCert, NID_ext_key_usage, s.eku);
    if (s.keyId) AddExt(cert, issuerCert, NID_subject_key_identifier, "hash");
    if (issuerCert != cert) AddExt(cert, issuerCert, NID_authority_key_identifier, "keyid:always");
    if (!s.privateFrom.empty()) {
      PKEY_USAGE_PERIOD* period = PKEY_USAGE_PERIOD_new();
      period->notBefore = ASN1_GENERALIZEDTIME_set(nullptr, Unix(s.privateFrom));
      period->notAfter = ASN1_GENERALIZEDTIME_set(nullptr, Unix(s.privateTo));
      X509_add1_ext_i2d(cert, NID_private_key_usage_period, period, 0, 0);
      PKEY_USAGE_PERIOD_free(period);
    }
    if (X509_sign(cert, issuerKey, EVP_sha256()) == 0) Die("signing " + s.name);

    FILE* f = std::fopen((out + "/" + s.name + ".pem").c_str(), "w");
    if (f == nullptr || !PEM_write_X509(f, cert)) Die("writing " + s.name);
    std::fclose(f);
    if (s.keepKey) {
      f = std::fopen((out + "/" + s.name + ".key").c_str(), "w");
      if (f == nullptr || !PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr))
        Die("writing key of " + s.name);
      std::fclose(f);
    }
    std::string keyId;
    if (const ASN1_OCTET_STRING* ski = X509_get0_subject_key_id(cert))
      keyId = UpperHex(ASN1_STRING_get0_data(ski), ASN1_STRING_length(ski));
    char serial[16];
    std::snprintf(serial, sizeof serial, "%04lX", s.serial);
    manifest << s.name << "|" << serial << "|" << DnText(s.subject) << "|"
             << DnText(issuerPlan->subject) << "|" << Unix(s.notBefore) << "|" << Unix(s.notAfter)
             << "|" << keyId << "|"
             << (s.rsa    ? "RSA"
                 : s.p384 ? "GOST RK 34.10-2015"
                          : "GOST R 34.10-2012 (256 bit)")
             << "|" << (s.keepKey ? 1 : 0) << "\n";
    made.push_back({cert, key});
  }
  for (Made& m : made) {
    X509_free(m.cert);
    EVP_PKEY_free(m.key);
  }
  if (!manifest) Die("writing manifest.txt");
  return 0;
}
