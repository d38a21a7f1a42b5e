// Certificates: search by each identity, broad searches, capabilities and
// family, extended key usages, names, Verify / IsRevoked / Show.
#include <gtest/gtest.h>

#include "crypto/tests/ValidataFixture.h"
#include "platform/core/Errors.h"

namespace tarvo::cryptotest {
namespace {

using CertificateTest = ValidataTest;

const pkitest::TestCertFacts& F(TestCert c) {
  return pkitest::Facts(c);
}

TEST_F(CertificateTest, SearchByEachIdentityKeepsExactMatchesEvenWhenExpired) {
  auto p = Local();
  struct Row {
    std::string name;
    std::vector<int> fields;
    std::vector<std::string> values;
    std::vector<std::string> serials;  // expected, in any order
  } rows[] = {
      {"serial+issuer of expired",
       {cfSerialNumber, cfIssuer},
       {F(TestCert::Expired).serial, F(TestCert::Expired).issuer},
       {F(TestCert::Expired).serial}},
      {"key id of expired", {cfKeyId}, {F(TestCert::Expired).keyId}, {F(TestCert::Expired).serial}},
      {"subject of expired (broad)", {cfSubject}, {F(TestCert::Expired).subject}, {}},
      {"subject", {cfSubject}, {F(TestCert::InnSnils).subject}, {F(TestCert::InnSnils).serial}},
      {"serial alone: both issuers",
       {cfSerialNumber},
       {pkitest::kSharedSerial},
       {pkitest::kSharedSerial, pkitest::kSharedSerial}},
      {"serial+issuer picks one twin",
       {cfSerialNumber, cfIssuer},
       {pkitest::kSharedSerial, F(TestCert::SameSerialB).issuer},
       {pkitest::kSharedSerial}},
      {"unknown field ignored",
       {cfKeyId, 7},
       {F(TestCert::Revoked).keyId, "x"},
       {F(TestCert::Revoked).serial}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    TValidataCertificateList list;
    const int n = p->FindAllCertificates(list, r.fields, r.values, false, false, false, false);
    ASSERT_TRUE(list);
    EXPECT_EQ(n, static_cast<int>(r.serials.size()));
    EXPECT_EQ(list->Count(), n);
    for (const auto& c : *list)
      EXPECT_NE(std::find(r.serials.begin(), r.serials.end(), c->SerialNumber()), r.serials.end());
  }
  // The exact search really was exact and the broad one broad.
  TValidataCertificateList list;
  p->FindAllCertificates(list, {cfKeyId}, {F(TestCert::Expired).keyId}, false, false, false, false);
  EXPECT_EQ(std::stoul(control->LastCall("FindCert").substr(5, 10), nullptr, 16) & 0x30u, 0u);
}

TEST_F(CertificateTest, NothingFoundRaisesOnlyWhenAsked) {
  auto p = Local();
  TValidataCertificateList list;
  EXPECT_EQ(p->FindAllCertificates(list, "CN=Nobody;CN=Nobody Else", false, "", false, false, false,
                                   false),
            0);
  ASSERT_TRUE(list);  // created, empty
  EXPECT_EQ(list->Count(), 0);
  list.reset();
  auto e = CatchValidata(
      [&] { p->FindAllCertificates(list, "CN=Nobody", false, "", false, false, true, false); });
  EXPECT_EQ(e.ErrorCode(), VCERT_E_CERT_NOT_FOUND);
  EXPECT_EQ(e.SourceName(), "TValidataCryptoProvider.FindAllCertificates");
  EXPECT_FALSE(list);  // the list made here is gone again

  auto field = CatchValidata(
      [&] { p->FindAllCertificates(list, {cfSubject}, {"CN=Nobody"}, false, false, true, false); });
  EXPECT_EQ(field.ErrorCode(), VCERT_E_CERT_NOT_FOUND);
  EXPECT_EQ(field.SourceName(), "VCERT_FindCert");
}

TEST_F(CertificateTest, SubjectListSearchesAddUpAndFilterByExtendedKeyUsage) {
  auto p = Local();
  TValidataCertificateList list;
  // One search per subject; line breaks and ";" separate them.
  const std::string subjects = F(TestCert::InnSnils).subject + "\r\n" +
                               F(TestCert::Before2020).subject + ";" +
                               F(TestCert::AfterCutoffNoEku).subject;
  EXPECT_EQ(p->FindAllCertificates(list, subjects, false, "", true, false, true, false), 3);
  EXPECT_EQ(control->CallCount("FindCert"), 1u + 3u);  // session search + three
  const std::string call = control->LastCall("FindCert");
  EXPECT_NE(call.find("flag=0x234"), std::string::npos) << call;  // all + remote + broad
  EXPECT_NE(call.find("info=0x7ffff"), std::string::npos) << call;

  // A later search adds to the same list, skipping what it holds.
  EXPECT_EQ(p->FindAllCertificates(list, F(TestCert::InnSnils).subject, false, "", false, false,
                                   false, false),
            0);
  EXPECT_EQ(list->Count(), 3);

  // Extended key usage filter: the certificate issued before the cutoff
  // confirms everything, the later one without usages nothing.
  TValidataCertificateList filtered;
  EXPECT_EQ(
      p->FindAllCertificates(
          filtered, F(TestCert::Before2020).subject + ";" + F(TestCert::AfterCutoffNoEku).subject,
          true, "1.3.6.1.5.5.7.3.2, 1.3.6.1.5.5.7.3.4", false, false, false, false),
      1);
  EXPECT_EQ((*filtered)[0]->SerialNumber(), F(TestCert::Before2020).serial);

  TValidataCertificateList byField;
  EXPECT_EQ(p->FindAllCertificates(byField, {cfSubject, cfExtKeyUsage},
                                   {F(TestCert::AfterCutoffNoEku).subject, "1.3.6.1.5.5.7.3.2"},
                                   false, false, false, false),
            0);
}

TEST_F(CertificateTest, RecordsWithoutEncodingAreDroppedAndReleased) {
  auto p = Local();
  TFindParams params{};
  params.Flag = 0x200;
  std::string subject = F(TestCert::InnSnils).subject;
  params.CertTemplate.Fields = CertFieldBit(cfSubject);
  params.CertTemplate.Subject = subject.data();
  params.Info = VCERT_ALL_FIELDS & ~CertFieldBit(cfCertEncoded);
  TValidataCertificateList list;
  EXPECT_EQ(p->DoFind(params, list, false, {}, false), 0);
  // A filter that rejects everything drops and releases too.
  params.Info = VCERT_ALL_FIELDS;
  params.Flag = 0x200;
  EXPECT_EQ(
      p->DoFind(params, list, false, {}, false, [](const TValidataCertificate&) { return false; }),
      0);
  // Capabilities the certificate lacks.
  params.Flag = 0x200;
  subject = F(TestCert::Before2020).subject;
  params.CertTemplate.Subject = subject.data();
  EXPECT_EQ(p->DoFind(params, list, false, {vcpEncryption}, false), 0);
  params.Flag = 0x200;
  EXPECT_EQ(p->DoFind(params, list, false, {vcpSigning, vcpEncryption}, false), 1);
}

TEST_F(CertificateTest, AThrowingFilterReleasesEveryRecordAndParamsStayTheCallers) {
  auto p = Local();
  TFindParams params{};
  params.Flag = 0x200;
  std::string subject = "Tarvo";  // part of several subjects: a broad search
  params.CertTemplate.Fields = CertFieldBit(cfSubject);
  params.CertTemplate.Subject = subject.data();
  params.Info = VCERT_ALL_FIELDS;
  TValidataCertificateList list;
  const auto baseline = control->LiveAllocations();
  int calls = 0;
  EXPECT_THROW(p->DoFind(params, list, false, {}, false,
                         [&](const TValidataCertificate&) -> bool {
                           ++calls;
                           throw std::runtime_error("filter failed");
                         }),
               std::runtime_error);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(list, nullptr);
  // The records after the one that threw went back to the library too.
  EXPECT_EQ(control->LiveAllocations(), baseline);
  EXPECT_EQ(control->UnknownFrees(), 0);

  // The search's own flags and template fields go to a copy, not to the
  // caller's parameters.
  p->DoFind(params, list, false, {}, true);
  EXPECT_EQ(params.Flag, 0x200u);
  EXPECT_EQ(params.CertTemplate.Fields, CertFieldBit(cfSubject));
  EXPECT_EQ(params.CertTemplate.Algorithm, nullptr);
}

TEST_F(CertificateTest, CheckAlgorithmAsksForTheSessionAlgorithm) {
  auto p = Local();
  TValidataCertificateList list;
  p->FindAllCertificates(list, F(TestCert::InnSnils).subject, false, "", false, false, true, true);
  const std::string call = control->LastCall("FindCert");
  EXPECT_NE(call.find("algorithm=" + F(TestCert::OwnSignEncrypt).algorithm), std::string::npos)
      << call;
}

TEST_F(CertificateTest, IdentityPropertiesAndCapabilities) {
  auto p = Local({TestCert::OwnSignEncrypt, TestCert::OwnEncryptOnly});
  struct Row {
    TestCert cert;
    TValidataCapabilities caps;
  } rows[] = {
      {TestCert::OwnSignEncrypt, {vcpSigning, vcpEncryption}},
      {TestCert::OwnEncryptOnly, {vcpEncryption}},
      {TestCert::AfterCutoffNoEku, {vcpSigning, vcpEncryption}},
      {TestCert::Before2020, {vcpSigning}},
  };
  for (const auto& r : rows) {
    const auto& f = F(r.cert);
    SCOPED_TRACE(f.name);
    auto c = TValidataCertificate::Create(*p, f.certPath);
    EXPECT_EQ(c->SerialNumber(), f.serial);
    EXPECT_EQ(c->Subject(), f.subject);
    EXPECT_EQ(c->Issuer(), f.issuer);
    EXPECT_EQ(c->KeyId(), f.keyId);
    EXPECT_EQ(c->Algorithm(), f.algorithm);
    EXPECT_DOUBLE_EQ(c->NotBefore(), 25569.0 + f.notBefore / 86400.0);
    EXPECT_DOUBLE_EQ(c->NotAfter(), 25569.0 + f.notAfter / 86400.0);
    EXPECT_EQ(c->Capabilities(), r.caps);
    EXPECT_EQ(c->AlgorithmFamily(), vafValidata);
    EXPECT_EQ(c->CertEncoded(), pkitest::CertDer(r.cert));
    EXPECT_EQ(c->CertId().ChoiceType, ID_CERTHASH);
    auto d = c->Duplicate();
    EXPECT_NE(d.get(), c.get());
    EXPECT_EQ(d->CertEncoded(), c->CertEncoded());
  }
  EXPECT_TRUE(TValidataCertificate::Create(*p, F(TestCert::Expired).certPath)->IsExpired());
  EXPECT_FALSE(TValidataCertificate::Create(*p, F(TestCert::Revoked).certPath)->IsExpired());

  // A certificate from the encoded block; a bad block.
  const std::string der = pkitest::CertDer(TestCert::InnSnils);
  auto fromBlk = TValidataCertificate::Create(
      *p, CreateMemBlk(der.data(), static_cast<std::uint32_t>(der.size())));
  EXPECT_EQ(fromBlk->SerialNumber(), F(TestCert::InnSnils).serial);
  auto bad = CatchValidata([&] { TValidataCertificate::Create(*p, CreateMemBlk("junk", 4)); });
  EXPECT_EQ(bad.SourceName(), "VCERT_ParseCert");
}

TEST_F(CertificateTest, RsaFamilyAndIdentityRules) {
  auto s = Store("rsa", {TestCert::OwnRsa});
  auto p = TValidataCryptoProvider::CreateLocalEx(ptRsa, s.basePath, "", 0);
  auto c = p->SessionCertificate();
  EXPECT_EQ(c->AlgorithmFamily(), vafRsa);
  EXPECT_EQ(c->Capabilities(), TValidataCapabilities({vcpSigning, vcpEncryption}));
  // The TUMAR family signs with a key that may also encipher: signing only.
  auto tumar = TValidataCertificate::Create(*p, F(TestCert::TumarSignEncrypt).certPath);
  EXPECT_EQ(tumar->AlgorithmFamily(), vafTumar);
  EXPECT_EQ(tumar->Capabilities(), TValidataCapabilities({vcpSigning}));
  // The same certificate under a GOST provider is of the vendor's family.
  auto s2 = Store("gost");
  auto gost = TValidataCryptoProvider::CreateLocalEx(ptGost, s2.basePath, "", 0);
  auto same = TValidataCertificate::Create(*gost, F(TestCert::TumarSignEncrypt).certPath);
  EXPECT_EQ(same->AlgorithmFamily(), vafValidata);
  EXPECT_EQ(same->Capabilities(), TValidataCapabilities({vcpSigning, vcpEncryption}));

  // Records without identifiers cannot become certificates.
  TCertificate record{};
  record.Fields = CertFieldBit(cfSubject);
  auto e = CatchValidata([&] { TValidataCertificate::Create(*p, std::move(record)); });
  EXPECT_EQ(e.ErrorCode(), 1u);
  EXPECT_STREQ(e.what(),
               "В сертификате не определен ни идентификатор ключа, ни издатель и серийный номер");
  EXPECT_EQ(e.SourceName(), "TValidataCertificate.Create");
}

TEST_F(CertificateTest, OperationsNeedingTheEncodingRefuseWithoutIt) {
  auto p = Local();
  TCertificate record{};
  record.Fields = CertFieldBit(cfSerialNumber) | CertFieldBit(cfIssuer);
  auto c = TValidataCertificate::Create(*p, std::move(record));
  EXPECT_EQ(c->CertId().ChoiceType, ID_ISSUER_AND_SERIAL);
  const std::pair<const char*, std::function<void()>> ops[] = {
      {"TValidataCertificate.Duplicate", [&] { c->Duplicate(); }},
      {"TValidataCertificate.Show", [&] { c->Show(); }},
      {"TValidataCertificate.Verify", [&] { c->Verify(0, "", {}); }},
      {"TValidataCertificate.IsRevoked", [&] { c->IsRevoked(); }},
      {"TValidataCryptoProvider.AddCertificate", [&] { p->AddCertificate(*c); }},
  };
  for (const auto& [source, op] : ops) {
    auto e = CatchValidata(op);
    EXPECT_EQ(e.ErrorCode(), 3u);
    EXPECT_STREQ(e.what(), "В сертификате не определено его представление в DER-кодировке");
    EXPECT_EQ(e.SourceName(), source);
  }
}

TEST_F(CertificateTest, VerifyRaisesAndIsRevokedNeverAnswersValidOnError) {
  auto p = Local();
  auto good = TValidataCertificate::Create(*p, F(TestCert::InnSnils).certPath);
  auto expired = TValidataCertificate::Create(*p, F(TestCert::Expired).certPath);
  auto revoked = TValidataCertificate::Create(*p, F(TestCert::Revoked).certPath);
  auto signOnly = TValidataCertificate::Create(*p, F(TestCert::Before2020).certPath);
  auto late = TValidataCertificate::Create(*p, F(TestCert::AfterCutoffNoEku).certPath);

  good->Verify(0, "", {});
  const std::string call = control->LastCall("VerifyCertificatePolicy");
  EXPECT_NE(call.find("size=56"), std::string::npos) << call;
  EXPECT_NE(call.find("check_time=0"), std::string::npos) << call;

  auto e = CatchValidata([&] { expired->Verify(0, "", {}); });
  EXPECT_EQ(e.SourceName(), "VCERT_VerifyCertificatePolicy");
  EXPECT_EQ(e.ErrorCode(), pkitest::kStatusCertExpired);
  // At a time inside its validity the expired one passes.
  expired->Verify(expired->NotBefore() + 10, "", {});
  EXPECT_NE(control->LastCall("VerifyCertificatePolicy")
                .find("check_time=" + std::to_string(F(TestCert::Expired).notBefore + 864000)),
            std::string::npos);

  // Encryption wanted from a certificate that only signs.
  auto caps = CatchValidata([&] { signOnly->Verify(0, "", {vcpEncryption}); });
  EXPECT_EQ(caps.ErrorCode(), VCERT_E_NO_CAPABILITY);
  EXPECT_EQ(caps.SourceName(), "TValidataCertificate.Verify");

  // Extended key usages reach the library for certificates after the cutoff only.
  auto eku = CatchValidata([&] { late->Verify(0, "1.2.3;1.2.4\n1.2.5", {}); });
  EXPECT_EQ(eku.ErrorCode(), pkitest::kStatusPolicyMismatch);
  EXPECT_NE(control->LastCall("VerifyCertificatePolicy").find("eku_num=3"), std::string::npos);
  auto early = TValidataCertificate::Create(*p, F(TestCert::Before2020).certPath);
  early->Verify(0, "1.2.3", {});
  EXPECT_NE(control->LastCall("VerifyCertificatePolicy").find("eku_num=0"), std::string::npos);
  // More usages than the library takes: refused, never checked in part.
  std::string many;
  for (int i = 0; i < 101; ++i) many += "1.2." + std::to_string(i) + ";";
  auto tooMany = CatchValidata([&] { late->Verify(0, many, {}); });
  EXPECT_EQ(tooMany.ErrorCode(), platform::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(tooMany.SourceName(), "TValidataCertificate.Verify");

  EXPECT_FALSE(good->IsRevoked());
  EXPECT_TRUE(revoked->IsRevoked());
  control->FailCall("VerifyCert", 1, 0xE0700099);
  EXPECT_TRUE(good->IsRevoked());  // a failing check is never "not revoked"
}

TEST_F(CertificateTest, ShowAnswersFalseOnlyWhenTheWindowWasClosed) {
  auto p = Local();
  auto c = p->SessionCertificate();
  EXPECT_TRUE(c->Show());
  control->FailCall("ShowCertificate", 1, VCERT_E_WINDOW_CLOSED);
  EXPECT_FALSE(c->Show());
  control->FailCall("ShowCertificate", 1, 0xE0700099);
  auto e = CatchValidata([&] { c->Show(); });
  EXPECT_EQ(e.ErrorCode(), 0xE0700099u);
  EXPECT_EQ(e.SourceName(), "VCERT_ShowCertificate");
}

TEST_F(CertificateTest, ExtendedKeyUsageConfirmation) {
  auto p = Local();
  auto own = TValidataCertificate::Create(
      *p, F(TestCert::OwnSignEncrypt).certPath);  // clientAuth, emailProtection
  auto early = TValidataCertificate::Create(*p, F(TestCert::Before2020).certPath);
  auto none = TValidataCertificate::Create(*p, F(TestCert::AfterCutoffNoEku).certPath);
  const std::string clientAuth = "1.3.6.1.5.5.7.3.2", email = "1.3.6.1.5.5.7.3.4",
                    codeSign = "1.3.6.1.5.5.7.3.3";
  EXPECT_TRUE(own->ShouldCheckExtKeyUsage());
  EXPECT_FALSE(early->ShouldCheckExtKeyUsage());
  struct Row {
    const TValidataCertificate* cert;
    std::string text;
    bool all, want;
  } rows[] = {
      {own.get(), clientAuth, true, true},
      {own.get(), clientAuth + "," + email, true, true},
      {own.get(), clientAuth + ";" + codeSign, true, false},
      {own.get(), clientAuth + "\n" + codeSign, false, true},
      {own.get(), codeSign, false, false},
      {own.get(), "1.3.6.1.5.5.7.3", false, false},  // exact comparison only
      {own.get(), "", true, true},
      {own.get(), "", false, true},
      {early.get(), codeSign, true, true},
      {none.get(), clientAuth, false, false},
      {none.get(), "", true, true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text + (r.all ? " all" : " any"));
    EXPECT_EQ(r.cert->ConfirmsExtKeyUsages(r.text, r.all), r.want);
  }
  EXPECT_TRUE(own->ConfirmsExtKeyUsages(*own, true));
  EXPECT_FALSE(none->ConfirmsExtKeyUsages(*own, false));
  EXPECT_TRUE(none->ConfirmsExtKeyUsages(*none, true));  // nothing asked
}

TEST_F(CertificateTest, OidsUseShortNamesFromTheCatalogue) {
  auto key = platform::RegistryKey::Create(
      platform::RegRoot::CurrentUser, std::string(TValidataSettings::OIDsKey(dllZPKI)) + "client");
  key->WriteString("OID", "1.3.6.1.5.5.7.3.2");
  key->WriteString("SN", "clientAuth");
  key->WriteString("LN", "TLS Web Client Authentication");
  auto p = Local();
  auto own = p->SessionCertificate();
  const std::string oids = own->OIDs(", ");
  EXPECT_NE(oids.find("clientAuth"), std::string::npos) << oids;
  EXPECT_NE(oids.find("1.3.6.1.5.5.7.3.4"), std::string::npos) << oids;  // unknown: the OID itself
  EXPECT_EQ(own->ExtKeyUsage().size(), 2u);
}

TEST_F(CertificateTest, NameHelpers) {
  auto p = Local();
  auto c = TValidataCertificate::Create(*p, F(TestCert::InnSnils).certPath);
  // Subject in the order CN, O, INN, SNILS.
  EXPECT_EQ(c->ShortSubject(),
            "INN=007712345678,SNILS=12345678901,CN=Sergey Ivanov,O=Tarvo Broker");
  EXPECT_EQ(c->CertificateID(": "), "key: \"" + F(TestCert::InnSnils).keyId + "\"");
  auto noKey = TValidataCertificate::Create(*p, F(TestCert::WithoutKeyId).certPath);
  EXPECT_EQ(noKey->CertificateID("="), "serial=\"" + F(TestCert::WithoutKeyId).serial + "\"");
  EXPECT_EQ(noKey->ShortSubject(), "CN=No Key Id Partner,O=Tarvo Partner");

  struct Substr {
    std::string value, id, want;
  } substrs[] = {
      {"CN=A, O=B, INN=1", "INN=", "INN=1"},
      {"CN=A, O=B, INN=1", "O=", "O=B"},
      {"CN=A,INFO=x, O=B", "O=", "O=B"},  // not inside another name
      {"CN=A", "O=", ""},
      {"O=First", "O=", "O=First"},
  };
  for (const auto& s : substrs)
    EXPECT_EQ(TValidataCertificate::NameSubstr(s.value, s.id), s.want) << s.value;
  EXPECT_EQ(TValidataSettings::GetShortSubject("CN=X, O=Y, INN=Z,"), "INN=Z,CN=X,O=Y");

  struct Match {
    std::string pattern;
    bool want;
  } matches[] = {
      {"INN=007712345678, SNILS=12345678901", true},
      {"inn=007712345678, snils=12345678901, cn=sergey ivanov",
       false},  // labels are part of the parts
      {"INN=007712345678, SNILS=12345678901, CN=SERGEY IVANOV", true},
      {"INN=007712345678, SNILS=12345678901, O=Other", false},
      {"INN=007712345678", false},  // SNILS must be equal too (empty vs set)
      {"CN=Sergey Ivanov", false},
  };
  for (const auto& m : matches) EXPECT_EQ(c->MatchesSubject(m.pattern), m.want) << m.pattern;

  struct Alg {
    std::string value;
    bool want;
  } algs[] = {
      {F(TestCert::InnSnils).algorithm, true},
      {"GOST R 34.10-2001", true},
      {"GOST R 34.10-2012", true},
      {"RSA", false},
  };
  for (const auto& a : algs) EXPECT_EQ(c->MatchesAlgorithm(a.value), a.want) << a.value;
}

TEST_F(CertificateTest, DetachedCertificateBelongsToNoProvider) {
  auto c = TValidataCertificate::CreateDetached("CN=Somebody, INN=1", "ABCD");
  EXPECT_EQ(c->CryptoProvider(), nullptr);
  EXPECT_EQ(c->SerialNumber(), "ABCD");
  EXPECT_EQ(c->ShortSubject(), "");  // no subject at all
  EXPECT_FALSE(c->MatchesSubject("INN=1"));
  EXPECT_EQ(c->CertId().ChoiceType, ID_ISSUER_AND_SERIAL);

  TValidataCertificates a, b;
  a.Add(c);
  b.Add(c);
  EXPECT_EQ(c.use_count(), 3);
  a.Clear();
  EXPECT_EQ(b.Find(*c).get(), c.get());
  EXPECT_TRUE(b.Remove(c.get()));
  EXPECT_FALSE(b.Remove(c.get()));
  EXPECT_EQ(c.use_count(), 1);
}

}  // namespace
}  // namespace tarvo::cryptotest
