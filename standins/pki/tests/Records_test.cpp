// The stand-in answers from real certificates in a real key store.
#include <gtest/gtest.h>

#include <memory>

#include "standins/pki/tests/StandinApi.h"
#include "testing/Sandbox.h"

namespace tarvo::pkitest {
namespace {

class PkiRecords : public ::testing::Test {
 protected:
  void SetUp() override {
    api = std::make_unique<StandinApi>(ScenarioLibraryPath(Scenario::Both));
    control = std::make_unique<PkiControl>(ScenarioLibraryPath(Scenario::Both));
    control->Reset();
    baseline = control->LiveAllocations();
    paths = LayoutStore(box.Path("store"));
    ASSERT_EQ(api->OpenLocal(paths, &ctx), 0u);
  }
  void TearDown() override {
    if (ctx != nullptr) {
      EXPECT_EQ(api->Uninitialize(ctx), 0u);
    }
    EXPECT_EQ(control->LiveAllocations(), baseline);
    EXPECT_EQ(control->UnknownFrees(), 0);
  }

  // Finds with a template; returns the status and fills `found`.
  TVcertStatus Find(std::uint32_t flag, TCertInfo fields, const char* serial, const char* issuer,
                    const char* subject, const char* keyId, TFindResult& found, TMemBlk hash = {}) {
    TFindParams p{};
    p.Flag = flag;
    p.Info = VCERT_ALL_FIELDS;
    p.CertTemplate.Fields = fields;
    p.CertTemplate.SerialNumber = const_cast<char*>(serial);
    p.CertTemplate.Issuer = const_cast<char*>(issuer);
    p.CertTemplate.Subject = const_cast<char*>(subject);
    p.CertTemplate.KeyId = const_cast<char*>(keyId);
    p.CertTemplate.CertHash = hash;
    found = TFindResult{};
    return api->FindCert(ctx, &p, &found);
  }

  void Release(TFindResult& found) {
    for (std::uint32_t i = 0; i < found.Num; ++i) api->FreeCert(ctx, &found.Certs[i]);
    api->FreeMem(ctx, found.Certs);
    found = TFindResult{};
  }

  TVcertStatus Policy(TestCert cert, std::uint32_t checkTime, TKeyUsages usage,
                      std::vector<std::string> ekus) {
    std::string der = CertDer(cert);
    TMemBlk blk{static_cast<std::uint32_t>(der.size()),
                reinterpret_cast<std::uint8_t*>(der.data())};
    std::vector<char*> ptrs;
    for (auto& e : ekus) ptrs.push_back(e.data());
    TVerifyPolicyParams p{};
    p.size = sizeof p;
    p.check_time = checkTime;
    p.keyusage = usage;
    p.eku_num = static_cast<std::uint32_t>(ptrs.size());
    p.extkeyusages = ptrs.data();
    return api->VerifyCertificatePolicy(ctx, &p, &blk);
  }

  testing::Sandbox box;
  std::unique_ptr<StandinApi> api;
  std::unique_ptr<PkiControl> control;
  std::int64_t baseline = 0;
  StorePaths paths;
  TVcertContext ctx = nullptr;
};

TEST_F(PkiRecords, RecordIsFilledFromTheCertificate) {
  const TestCertFacts& f = Facts(TestCert::OwnSignEncrypt);
  TFindResult found;
  ASSERT_EQ(Find(VCERT_FLAG_FIND_MY, 0, nullptr, nullptr, nullptr, nullptr, found), 0u);
  ASSERT_EQ(found.Num, 2u);  // both own certificates, in file-name order
  const TCertificate& c = found.Certs[1];
  EXPECT_STREQ(c.SerialNumber, f.serial.c_str());
  EXPECT_STREQ(c.Subject, f.subject.c_str());
  EXPECT_STREQ(c.Issuer, f.issuer.c_str());
  EXPECT_STREQ(c.KeyId, f.keyId.c_str());
  EXPECT_STREQ(c.Algorithm, f.algorithm.c_str());
  EXPECT_EQ(c.NotBefore, f.notBefore);
  EXPECT_EQ(c.NotAfter, f.notAfter);
  EXPECT_EQ(c.NotBeforePrivate, f.notBefore);  // private key period 2024-01-01 ..
  EXPECT_EQ(c.NotAfterPrivate, 2335219200u);   // .. 2044-01-01
  EXPECT_EQ(c.KeyUsage, kuDigitalSignature | kuKeyEncipherment | kuKeyAgreement);
  ASSERT_EQ(c.ExtKeyUsageNum, 2u);
  EXPECT_STREQ(c.ExtKeyUsage[0].OID, "1.3.6.1.5.5.7.3.2");
  EXPECT_STREQ(c.ExtKeyUsage[1].OID, "1.3.6.1.5.5.7.3.4");
  EXPECT_EQ(Bytes(c.CertEncoded), CertDer(TestCert::OwnSignEncrypt));
  EXPECT_EQ(c.CertHash.len, 20u);
  const TCertInfo named = CertFieldBit(cfSerialNumber) | CertFieldBit(cfIssuer) |
                          CertFieldBit(cfSubject) | CertFieldBit(cfExtKeyUsage) |
                          CertFieldBit(cfKeyId) | CertFieldBit(cfCertEncoded) |
                          CertFieldBit(cfCertHash) | CertFieldBit(cfAlgorithm);
  EXPECT_EQ(c.Fields & named, named);
  // The encryption-only certificate has no signing bit and no private period.
  EXPECT_EQ(found.Certs[0].KeyUsage, kuKeyEncipherment | kuKeyAgreement);
  EXPECT_EQ(found.Certs[0].NotAfterPrivate, 0u);
  Release(found);
}

TEST_F(PkiRecords, EveryTestCertificateParsesToItsFacts) {
  // The manifest is the generator's own statement of what it made; the
  // stand-in reads the same facts back out of the DER.
  for (const TestCertFacts& f : AllTestCerts()) {
    std::string der = CertDer(f.id);
    TMemBlk blk{static_cast<std::uint32_t>(der.size()),
                reinterpret_cast<std::uint8_t*>(der.data())};
    TCertificate c{};
    ASSERT_EQ(api->ParseCert(ctx, &blk, VCERT_ALL_FIELDS, &c), 0u) << f.name;
    EXPECT_STREQ(c.SerialNumber, f.serial.c_str()) << f.name;
    EXPECT_STREQ(c.Subject, f.subject.c_str()) << f.name;
    EXPECT_STREQ(c.Issuer, f.issuer.c_str()) << f.name;
    EXPECT_EQ(c.NotBefore, f.notBefore) << f.name;
    EXPECT_EQ(c.NotAfter, f.notAfter) << f.name;
    EXPECT_STREQ(c.Algorithm, f.algorithm.c_str()) << f.name;
    EXPECT_EQ(c.KeyId == nullptr, f.keyId.empty()) << f.name;
    if (c.KeyId != nullptr) {
      EXPECT_STREQ(c.KeyId, f.keyId.c_str()) << f.name;
    }
    EXPECT_EQ(Bytes(c.CertEncoded), der) << f.name;
    api->FreeCert(ctx, &c);
  }
  EXPECT_EQ(Facts(TestCert::OwnRsa).algorithm, "RSA");
  EXPECT_EQ(Facts(TestCert::TumarSignEncrypt).algorithm.substr(0, 7), "GOST RK");
  EXPECT_EQ(Facts(TestCert::Expired).notAfter, 1577836800u);      // 2020-01-01
  EXPECT_EQ(Facts(TestCert::Before2020).notBefore, 1583020800u);  // 2020-03-01
  EXPECT_TRUE(Facts(TestCert::WithoutKeyId).keyId.empty());
  EXPECT_EQ(Facts(TestCert::SameSerialA).serial, Facts(TestCert::SameSerialB).serial);
  EXPECT_NE(Facts(TestCert::SameSerialA).issuer, Facts(TestCert::SameSerialB).issuer);
}

TEST_F(PkiRecords, FieldsNotAskedForAreNotFilled) {
  std::string der = CertDer(TestCert::WithoutKeyId);
  TMemBlk blk{static_cast<std::uint32_t>(der.size()), reinterpret_cast<std::uint8_t*>(der.data())};
  TCertificate c{};
  ASSERT_EQ(api->ParseCert(ctx, &blk, CertFieldBit(cfSubject) | CertFieldBit(cfKeyId), &c), 0u);
  EXPECT_EQ(c.Fields, CertFieldBit(cfSubject));  // asked for a key id, but it has none
  EXPECT_STREQ(c.Subject, Facts(TestCert::WithoutKeyId).subject.c_str());
  EXPECT_EQ(c.SerialNumber, nullptr);
  EXPECT_EQ(c.CertEncoded.buf, nullptr);
  api->FreeCert(ctx, &c);

  std::string junk = "not a certificate";
  TMemBlk bad{static_cast<std::uint32_t>(junk.size()),
              reinterpret_cast<std::uint8_t*>(junk.data())};
  EXPECT_EQ(api->ParseCert(ctx, &bad, VCERT_ALL_FIELDS, &c), kStatusBadEncoding);
}

TEST_F(PkiRecords, SearchByEachIdentity) {
  const TestCertFacts& a = Facts(TestCert::SameSerialA);
  const TestCertFacts& inn = Facts(TestCert::InnSnils);
  TFindResult found;
  // Issuer and serial: one of the two certificates that share the serial.
  ASSERT_EQ(Find(0, CertFieldBit(cfSerialNumber) | CertFieldBit(cfIssuer), a.serial.c_str(),
                 a.issuer.c_str(), nullptr, nullptr, found),
            0u);
  ASSERT_EQ(found.Num, 1u);
  EXPECT_STREQ(found.Certs[0].Subject, a.subject.c_str());
  // The serial alone finds both.
  Release(found);
  ASSERT_EQ(Find(0, CertFieldBit(cfSerialNumber), kSharedSerial, nullptr, nullptr, nullptr, found),
            0u);
  EXPECT_EQ(found.Num, 2u);
  Release(found);
  // Key identifier, in any case.
  std::string lower = inn.keyId;
  for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  ASSERT_EQ(Find(0, CertFieldBit(cfKeyId), nullptr, nullptr, nullptr, lower.c_str(), found), 0u);
  ASSERT_EQ(found.Num, 1u);
  EXPECT_STREQ(found.Certs[0].Subject, inn.subject.c_str());
  // Certificate hash of that record.
  std::string hash = Bytes(found.Certs[0].CertHash);
  Release(found);
  ASSERT_EQ(Find(0, CertFieldBit(cfCertHash), nullptr, nullptr, nullptr, nullptr, found,
                 TMemBlk{static_cast<std::uint32_t>(hash.size()),
                         reinterpret_cast<std::uint8_t*>(hash.data())}),
            0u);
  ASSERT_EQ(found.Num, 1u);
  EXPECT_STREQ(found.Certs[0].Subject, inn.subject.c_str());
  Release(found);
  // Part of a subject, ignoring case.
  ASSERT_EQ(Find(0, CertFieldBit(cfSubject), nullptr, nullptr, "snils=12345678901", nullptr, found),
            0u);
  ASSERT_EQ(found.Num, 1u);
  Release(found);
  // Everything: own, others and authorities, each once.
  ASSERT_EQ(Find(0, 0, nullptr, nullptr, nullptr, nullptr, found), 0u);
  EXPECT_EQ(found.Num, 12u);
  Release(found);
  // Nothing.
  EXPECT_EQ(Find(0, CertFieldBit(cfSubject), nullptr, nullptr, "CN=Nobody", nullptr, found),
            kStatusNotFound);
  EXPECT_EQ(found.Num, 0u);
  EXPECT_EQ(found.Certs, nullptr);
}

TEST_F(PkiRecords, LayingOutAgainReplacesTheStore) {
  StoreContent content;
  content.own = {TestCert::OwnRsa};
  content.authorities = {TestCert::Authority};
  content.password = "pw";
  LayoutStore(box.Path("store"), content);
  StoreContent second;
  second.own = {TestCert::OwnRsa};
  LayoutStore(box.Path("store"), second);
  TVcertContext fresh = nullptr;
  ASSERT_EQ(api->OpenLocal(paths, &fresh), 0u);
  std::swap(fresh, ctx);
  TFindResult found;
  ASSERT_EQ(Find(0, 0, nullptr, nullptr, nullptr, nullptr, found), 0u);
  ASSERT_EQ(found.Num, 1u);
  EXPECT_STREQ(found.Certs[0].SerialNumber, Facts(TestCert::OwnRsa).serial.c_str());
  Release(found);
  std::string any = "anything";
  TMemBlk auth{static_cast<std::uint32_t>(any.size()), reinterpret_cast<std::uint8_t*>(any.data())};
  EXPECT_EQ(api->SetAuthData(ctx, &auth), 0u);  // no password any more
  std::swap(fresh, ctx);
  EXPECT_EQ(api->Uninitialize(fresh), 0u);
}

TEST_F(PkiRecords, DirectoryServiceIsSearchedOnlyWhenAsked) {
  ASSERT_EQ(api->Uninitialize(ctx), 0u);
  ctx = nullptr;
  StoreContent content = DefaultStoreContent();
  content.others.clear();
  content.remote = {TestCert::InnSnils};
  paths = LayoutStore(box.Path("remote-store"), content);
  ASSERT_EQ(api->OpenLocal(paths, &ctx), 0u);
  TFindResult found;
  EXPECT_EQ(Find(0, CertFieldBit(cfSubject), nullptr, nullptr, "INN=007712345678", nullptr, found),
            kStatusNotFound);
  ASSERT_EQ(Find(4, CertFieldBit(cfSubject), nullptr, nullptr, "INN=007712345678", nullptr, found),
            0u);
  EXPECT_EQ(found.Num, 1u);
  Release(found);
}

TEST_F(PkiRecords, PolicyChecksDatesTrustRevocationAndUsages) {
  const std::uint32_t in2019 = 1546300800 + 86400;  // 2019-01-02
  struct Case {
    TestCert cert;
    std::uint32_t checkTime;
    TKeyUsages usage;
    std::vector<std::string> ekus;
    std::uint32_t status;
  } cases[] = {
      {TestCert::OwnSignEncrypt, 0, kuDigitalSignature, {"1.3.6.1.5.5.7.3.2"}, 0},
      {TestCert::OwnSignEncrypt, 0, 0, {"1.3.6.1.5.5.7.3.2", "1.3.6.1.5.5.7.3.4"}, 0},
      {TestCert::OwnSignEncrypt, 0, 0, {"1.3.6.1.5.5.7.3.1"}, kStatusPolicyMismatch},
      {TestCert::OwnSignEncrypt, in2019, 0, {}, kStatusCertExpired},
      {TestCert::OwnEncryptOnly, 0, kuDigitalSignature, {}, kStatusPolicyMismatch},
      {TestCert::Expired, 0, 0, {}, kStatusCertExpired},
      {TestCert::Expired, in2019, 0, {}, 0},
      {TestCert::Revoked, 0, 0, {}, kStatusCertRevoked},
      {TestCert::SameSerialB, 0, 0, {}, 0},
      {TestCert::AfterCutoffNoEku, 0, 0, {"1.3.6.1.5.5.7.3.2"}, kStatusPolicyMismatch},
      {TestCert::Authority, 0, 0, {}, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Policy(c.cert, c.checkTime, c.usage, c.ekus), c.status) << Facts(c.cert).name;

  // An authority the store does not trust.
  ASSERT_EQ(api->Uninitialize(ctx), 0u);
  ctx = nullptr;
  StoreContent content = DefaultStoreContent();
  content.authorities = {TestCert::Authority};
  paths = LayoutStore(box.Path("one-ca"), content);
  ASSERT_EQ(api->OpenLocal(paths, &ctx), 0u);
  EXPECT_EQ(Policy(TestCert::SameSerialB, 0, 0, {}), kStatusCertUntrusted);
  EXPECT_EQ(Policy(TestCert::SameSerialA, 0, 0, {}), 0u);
}

TEST_F(PkiRecords, VerifyCertReturnsTheRecordOnlyWhenValid) {
  std::string der = CertDer(TestCert::InnSnils);
  TMemBlk blk{static_cast<std::uint32_t>(der.size()), reinterpret_cast<std::uint8_t*>(der.data())};
  TVerifyParams p{};
  p.Info = CertFieldBit(cfSubject);
  TCertificate c{};
  ASSERT_EQ(api->VerifyCert(ctx, &p, &blk, &c), 0u);
  EXPECT_STREQ(c.Subject, Facts(TestCert::InnSnils).subject.c_str());
  api->FreeCert(ctx, &c);

  std::string revoked = CertDer(TestCert::Revoked);
  TMemBlk rblk{static_cast<std::uint32_t>(revoked.size()),
               reinterpret_cast<std::uint8_t*>(revoked.data())};
  EXPECT_EQ(api->VerifyCert(ctx, &p, &rblk, &c), kStatusCertRevoked);
  EXPECT_EQ(c.Subject, nullptr);
}

TEST_F(PkiRecords, UpdateCRLsRereadsTheRevocationList) {
  auto updateCrls = reinterpret_cast<TVCERT_UpdateCRLs>(api->lib.FindSymbol("VCERT_UpdateCRLs"));
  ASSERT_NE(updateCrls, nullptr);
  EXPECT_EQ(Policy(TestCert::InnSnils, 0, 0, {}), 0u);
  const TestCertFacts& f = Facts(TestCert::InnSnils);
  box.WriteFile("store/local.gdbm/revoked.txt", f.issuer + "|" + f.serial + "\n");
  EXPECT_EQ(Policy(TestCert::InnSnils, 0, 0, {}), 0u);  // not before the update
  ASSERT_EQ(updateCrls(ctx), 0u);
  EXPECT_EQ(Policy(TestCert::InnSnils, 0, 0, {}), kStatusCertRevoked);
  EXPECT_EQ(Policy(TestCert::Revoked, 0, 0, {}), 0u);  // no longer listed
}

TEST_F(PkiRecords, SecureConnectionLibraryServesContextsOfTheMainLibrary) {
  // xsecconn.dll has no contexts of its own: it takes the main library's.
  platform::Library sec;
  ASSERT_TRUE(sec.Load(WrapperFolder() + "/xsecconn.dll"));
  auto create = reinterpret_cast<TVCERT_CreateConnection>(sec.FindSymbol("VCERT_CreateConnection"));
  auto step1 = reinterpret_cast<TVCERT_ClientStep1>(sec.FindSymbol("VCERT_ClientStep1"));
  auto release = reinterpret_cast<TVCERT_FreeConnection>(sec.FindSymbol("VCERT_FreeConnection"));
  ASSERT_TRUE(create && step1 && release);
  TVcertConnection conn = nullptr;
  ASSERT_EQ(create(ctx, 0, &conn), 0u);
  TCertificate none{};
  std::uint8_t buf[64];
  TMemBlk msg{sizeof buf, buf};  // a program buffer: filled in place
  ASSERT_EQ(step1(ctx, conn, &none, &msg), 0u);
  EXPECT_EQ(msg.len, 34u);
  EXPECT_EQ(create(nullptr, 0, &conn), kStatusBadParameter);
  release(ctx, conn);
}

TEST_F(PkiRecords, AddedCertificateIsFoundAfterwards) {
  ASSERT_EQ(api->Uninitialize(ctx), 0u);
  ctx = nullptr;
  StoreContent content = DefaultStoreContent();
  content.others.clear();
  paths = LayoutStore(box.Path("small"), content);
  ASSERT_EQ(api->OpenLocal(paths, &ctx), 0u);
  TFindResult found;
  ASSERT_EQ(Find(0, CertFieldBit(cfSubject), nullptr, nullptr, "CN=Late Partner", nullptr, found),
            kStatusNotFound);
  std::string der = CertDer(TestCert::AfterCutoffNoEku);
  TMemBlk blk{static_cast<std::uint32_t>(der.size()), reinterpret_cast<std::uint8_t*>(der.data())};
  TAddParams add{};
  ASSERT_EQ(api->AddCertificate(ctx, &add, &blk), 0u);
  ASSERT_EQ(Find(0, CertFieldBit(cfSubject), nullptr, nullptr, "CN=Late Partner", nullptr, found),
            0u);
  EXPECT_EQ(found.Num, 1u);
  Release(found);
}

TEST_F(PkiRecords, InitialisationFailsClearlyOnBadStores) {
  TVcertContext other = nullptr;
  StorePaths missing = paths;
  missing.pse = "pse://signed/" + box.Path("nowhere/local.pse");
  EXPECT_EQ(api->OpenLocal(missing, &other), kStatusStoreUnavailable);
  EXPECT_EQ(other, nullptr);
  // The failure is explained on the error stack of the calling thread.
  char text[256] = {};
  TMemBlk file{}, extra{};
  std::uint32_t line = 0;
  ASSERT_EQ(api->GetErrorLineEx(nullptr, text, sizeof text, &file, &line, &extra), 0u);
  EXPECT_NE(std::string(text).find("InitializeEx"), std::string::npos);
  EXPECT_NE(Bytes(extra).find("nowhere"), std::string::npos);
  EXPECT_NE(api->GetErrorLineEx(nullptr, text, sizeof text, &file, &line, &extra), 0u);

  box.WriteFile("broken/local.pse/own.pem", "garbage");
  StorePaths broken = paths;
  broken.pse = "pse://signed/" + box.Path("broken/local.pse");
  EXPECT_EQ(api->OpenLocal(broken, &other), kStatusStoreUnavailable);

  EXPECT_EQ(api->OpenServer({box.Path("no-server")}, &other), kStatusServerUnavailable);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(control->OpenContexts(), 1);
}

TEST_F(PkiRecords, CryptoServerSessionsAndAuthorisation) {
  StoreContent content = DefaultStoreContent();
  content.password = "s3cret-pin";
  const StorePaths server = LayoutStore(box.Path("server"), content);
  TVcertContext srv = nullptr;
  ASSERT_EQ(api->OpenServer({box.Path("down"), server.server}, &srv), 0u);  // the second answers
  EXPECT_NE(control->LastCall("InitializeEx").find("server=ncacn_ip_tcp:" + server.server),
            std::string::npos);

  std::string alias = Facts(TestCert::OwnEncryptOnly).name;
  TCertId id{};
  id.ChoiceType = ID_ALIAS;
  id.alias = alias.data();
  TFindParams p{};
  p.Flag = VCERT_FLAG_FIND_MY;
  p.MyCert = &id;
  p.Info = VCERT_ALL_FIELDS;
  TFindResult found{};
  ASSERT_EQ(api->FindCert(srv, &p, &found), 0u);
  ASSERT_EQ(found.Num, 1u);
  EXPECT_STREQ(found.Certs[0].Subject, Facts(TestCert::OwnEncryptOnly).subject.c_str());
  api->FreeCert(srv, &found.Certs[0]);
  api->FreeMem(srv, found.Certs);

  std::string right = "s3cret-pin", wrong = "guess";
  TMemBlk good{static_cast<std::uint32_t>(right.size()),
               reinterpret_cast<std::uint8_t*>(right.data())};
  TMemBlk bad{static_cast<std::uint32_t>(wrong.size()),
              reinterpret_cast<std::uint8_t*>(wrong.data())};
  EXPECT_EQ(api->Authorize(srv, &id, CRSRV_FUNC_SIGN, &bad), kStatusWrongPassword);
  EXPECT_EQ(api->Authorize(srv, &id, CRSRV_FUNC_SIGN, &good), 0u);
  EXPECT_EQ(api->SetAuthData(srv, &bad), kStatusWrongPassword);
  EXPECT_EQ(api->SetAuthData(srv, &good), 0u);
  // The password is nowhere in what the stand-in recorded.
  EXPECT_EQ(control->LastCall("SetAuthData").find("s3cret"), std::string::npos);
  EXPECT_EQ(control->LastCall("Authorize").find("s3cret"), std::string::npos);

  std::string der = CertDer(TestCert::OwnSignEncrypt);
  TMemBlk blk{static_cast<std::uint32_t>(der.size()), reinterpret_cast<std::uint8_t*>(der.data())};
  EXPECT_EQ(api->ShowCertificate(srv, &blk), kStatusNotAvailable);
  EXPECT_EQ(api->ShowCertificate(ctx, &blk), 0u);
  EXPECT_NE(control->LastCall("ShowCertificate").find("CN=Ivan Petrov"), std::string::npos);

  TVcertContext copy = api->DuplicateContext(srv);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(api->Uninitialize(srv), 0u);
  EXPECT_EQ(api->Authorize(copy, &id, CRSRV_FUNC_DECRYPT, &good), 0u);  // the copy lives on alone
  EXPECT_EQ(api->Uninitialize(copy), 0u);
  EXPECT_EQ(api->Uninitialize(copy), kStatusBadContext);  // a stale handle is refused, not used
}

TEST_F(PkiRecords, GenRandomFillsLibraryOrProgramBuffers) {
  TMemBlk lib{};
  ASSERT_EQ(api->GenRandom(ctx, 32, &lib), 0u);
  EXPECT_EQ(lib.len, 32u);
  ASSERT_NE(lib.buf, nullptr);
  const std::string first = Bytes(lib);
  api->FreeMem(ctx, lib.buf);
  std::uint8_t own[64] = {};
  TMemBlk mine{sizeof own, own};
  ASSERT_EQ(api->GenRandom(ctx, 32, &mine), 0u);
  EXPECT_EQ(mine.buf, own);
  EXPECT_EQ(mine.len, 32u);
  EXPECT_NE(Bytes(mine), first);
  std::uint8_t small[8];
  TMemBlk tooSmall{sizeof small, small};
  EXPECT_EQ(api->GenRandom(ctx, 32, &tooSmall), kStatusBadParameter);
}

TEST_F(PkiRecords, SecureConnectionHandshakeAndRecords) {
  TVcertConnection client = nullptr, server = nullptr;
  ASSERT_EQ(api->CreateConnection(ctx, 0, &client), 0u);
  ASSERT_EQ(api->CreateConnection(ctx, 1, &server), 0u);
  TMemBlk m1{}, m2{}, m3{}, m4{}, wrong{};
  TCertificate none{};
  EXPECT_EQ(api->ClientStep1(ctx, server, &none, &wrong), kStatusWrongSide);
  ASSERT_EQ(api->ClientStep1(ctx, client, &none, &m1), 0u);
  EXPECT_EQ(api->ServerStep2(ctx, client, &m1, &wrong), kStatusWrongSide);
  ASSERT_EQ(api->ServerStep2(ctx, server, &m1, &m2), 0u);
  ASSERT_EQ(api->ClientStep3(ctx, client, &m2, &m3), 0u);
  // A tampered message 3 is refused.
  std::string tampered = Bytes(m3);
  tampered.back() ^= 1;
  TMemBlk bad{static_cast<std::uint32_t>(tampered.size()),
              reinterpret_cast<std::uint8_t*>(tampered.data())};
  EXPECT_EQ(api->ServerStep4(ctx, server, &bad, &wrong), kStatusHandshake);
  ASSERT_EQ(api->ServerStep4(ctx, server, &m3, &m4), 0u);
  ASSERT_EQ(api->ClientStep5(ctx, client, &m4), 0u);

  std::string text = "order 42: buy 10 lots";
  TMemBlk plain{static_cast<std::uint32_t>(text.size()),
                reinterpret_cast<std::uint8_t*>(text.data())};
  TMemBlk sealed{}, opened{};
  ASSERT_EQ(api->ConnectionEncrypt(ctx, client, &plain, &sealed), 0u);
  EXPECT_EQ(Bytes(sealed).find(text), std::string::npos);
  ASSERT_EQ(api->ConnectionDecrypt(ctx, server, &sealed, &opened), 0u);
  EXPECT_EQ(Bytes(opened), text);
  for (TMemBlk* b : {&m1, &m2, &m3, &m4, &sealed, &opened}) api->FreeMem(ctx, b->buf);
  api->FreeConnection(ctx, client);
  api->FreeConnection(ctx, server);
}

}  // namespace
}  // namespace tarvo::pkitest
