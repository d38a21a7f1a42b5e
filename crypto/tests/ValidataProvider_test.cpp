// Providers: creation from registry profiles, local and remote, the TUMAR
// retry, session certificates, Duplicate, lifetime of what a provider hands
// out, authorisation and the secrecy of passwords.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <span>

#include "crypto/tests/ValidataFixture.h"

namespace tarvo::cryptotest {
namespace {

std::string Line(const std::string& lastCall, const std::string& key) {
  const std::string k = key + "=";
  std::size_t pos = lastCall.rfind("\n" + k);
  if (lastCall.compare(0, k.size(), k) == 0)
    pos = 0;
  else if (pos == std::string::npos)
    return "<missing>";
  else
    ++pos;
  const std::size_t end = lastCall.find('\n', pos);
  return lastCall.substr(pos + k.size(),
                         end == std::string::npos ? std::string::npos : end - pos - k.size());
}

using ProviderTest = ValidataTest;

TEST_F(ProviderTest, ProfilePrefixSelectsTheLibraryAndTheProfile) {
  auto x = Store("x");
  auto z = Store("z");
  WriteProfiles(dllXPKI,
                {{"Other", box.Path("none"), "", "", ""}, {"Main", x.basePath, "", "", ""}});
  WriteProfiles(dllZPKI, {{"Main", z.basePath, "", "", ""}});
  struct Row {
    std::string requested;
    TValidataLibType libType;
    std::string library, profileName, base;
  } rows[] = {
      // The prefix chooses the profile; the library is the PKI type's best
      // installed one (zpki before xpki).
      {"XPKI:main", dllZPKI, "zpki1.dll", "xpki:Main", x.basePath},
      {"main", dllZPKI, "zpki1.dll", "zpki:Main", z.basePath},
      {"zpki:Main", dllZPKI, "zpki1.dll", "zpki:Main", z.basePath},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.requested);
    log.clear();
    std::string loaded;
    auto p = TValidataCryptoProvider::CreateLocal(
        r.requested, 0, [&](TValidataCryptoProvider*, const std::string& name) { loaded = name; },
        [this](const std::string& l) { log.push_back(l); });
    EXPECT_EQ(p->LibType(), r.libType);
    EXPECT_EQ(p->LibraryName(), r.library);
    EXPECT_EQ(p->PkiType(), ptGost);
    EXPECT_TRUE(p->LocalMode());
    EXPECT_EQ(p->ProfileName(), r.profileName);
    EXPECT_EQ(loaded, r.profileName);
    EXPECT_EQ(p->PSEPath(), "pse://signed/" + r.base + "/local.pse");
    EXPECT_EQ(p->LocalPath(), "file://" + r.base + "/local.gdbm");
    EXPECT_EQ(p->Extensions(), TValidataExtensions({vexApiVersion5, vexApiVersion6}));
    EXPECT_STREQ(p->ClassName(), "TValidataCryptoProviderV6");
  }
  // The log of the last creation, line by line.
  const std::vector<std::string> expected = {
      "\t\tHKCU\\Software\\Validata\\zpki\\Profiles\\: 1 profiles found",
      "\t\t0. Profile=Main",
      "\t\tParams.Size=40",
      "\t\tParams.Flag=0x0",
      "\t\tParams.pse=pse://signed/" + z.basePath + "/local.pse",
      "\t\tParams.LocalStore=file://" + z.basePath + "/local.gdbm",
      "\t\tParams.Ldap=",
      "\t\tParams.PinCode=",
      "\t\tVCERT_InitializeEx(CRYPT_LOCAL, Params, fContext): 0x0",
  };
  EXPECT_EQ(log, expected);
  const std::string call = control->LastCall("InitializeEx");
  EXPECT_EQ(Line(call, "mode"), "1");
  EXPECT_EQ(Line(call, "pin"), "<null>");
}

TEST_F(ProviderTest, ProfileStoresAndDirectoryServiceAreTakenAsConfigured) {
  auto s = Store("s");
  WriteDefaultLdap(dllZPKI, "ldap://default-directory");
  WriteProfiles(
      dllZPKI, {{"First", s.basePath, "", "", ""}, {"Second", "", s.pse, s.localStore, s.ldap}}, 1);
  struct Row {
    std::string name;
    std::uint32_t flags;
    TValidataInitOptions options;
    std::string profile, pse, local, ldap;
  } rows[] = {
      {"First",
       0,
       {},
       "zpki:First",
       "pse://signed/" + s.basePath + "/local.pse",
       "file://" + s.basePath + "/local.gdbm",
       "ldap://default-directory"},
      {"First",
       4,
       {},
       "zpki:First",
       "pse://signed/" + s.basePath + "/local.pse",
       "file://" + s.basePath + "/local.gdbm",
       ""},
      {"Second", 0, {}, "zpki:Second", s.pse, s.localStore, s.ldap},
      {"", 0, {vioUseCurrentProfile}, "zpki:Second", s.pse, s.localStore, s.ldap},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name + " flags " + std::to_string(r.flags));
    auto p = TValidataCryptoProvider::CreateLocal(r.name, r.flags, {}, {}, {}, r.options);
    EXPECT_EQ(p->ProfileName(), r.profile);
    EXPECT_EQ(p->PSEPath(), r.pse);
    EXPECT_EQ(p->LocalPath(), r.local);
    EXPECT_EQ(p->LdapPath(), r.ldap);
    EXPECT_EQ(p->InitFlags(), r.flags);
    const std::string call = control->LastCall("InitializeEx");
    EXPECT_EQ(Line(call, "pse"), r.pse);
    EXPECT_EQ(Line(call, "ldap"), r.ldap);
    EXPECT_EQ(Line(call, "flag"), r.flags ? "0x4" : "0x0");
  }
}

TEST_F(ProviderTest, NoMatchingProfileFailsWithNoKeyStoreAndLeavesNothing) {
  auto s = Store("s");
  WriteProfiles(dllZPKI, {{"Main", s.basePath, "", "", ""}});
  for (const std::string name : {"Nope", "xpki:Main", ""}) {
    auto e = CatchValidata([&] { TValidataCryptoProvider::CreateLocal(name); });
    EXPECT_EQ(e.ErrorCode(), VCERT_E_NO_KEY_STORE);
    EXPECT_EQ(e.SourceName(), "CryptoProvider.CreateLocal('" + name + "')");
    EXPECT_FALSE(std::string(e.what()).empty());
  }
  EXPECT_EQ(control->CallCount("InitializeEx"), 0u);
}

TEST_F(ProviderTest, LocalExBuildsThePathsFromTheBaseFolder) {
  auto s = Store("s");
  auto p = TValidataCryptoProvider::CreateLocalEx(ptGost, s.basePath, s.ldap, 0);
  EXPECT_EQ(p->PSEPath(), "pse://signed/" + s.basePath + "/local.pse");
  EXPECT_EQ(p->LocalPath(), "file://" + s.basePath + "/local.gdbm");
  EXPECT_EQ(p->LdapPath(), s.ldap);
  EXPECT_EQ(p->SessionCertificate()->SerialNumber(),
            pkitest::Facts(TestCert::OwnSignEncrypt).serial);

  auto e = CatchValidata([&] { TValidataCryptoProvider::CreateLocalEx(ptGost, "", "", 0); });
  EXPECT_EQ(e.ErrorCode(), VCERT_E_NO_KEY_STORE);
  // A store without own certificates: creation fails, nothing stays open.
  auto empty = Store("empty", {});
  auto none =
      CatchValidata([&] { TValidataCryptoProvider::CreateLocalEx(ptGost, empty.basePath, "", 0); });
  EXPECT_EQ(none.ErrorCode(), VCERT_E_CERT_NOT_FOUND);
  EXPECT_EQ(none.SourceName(), "VCERT_FindCert");
}

TEST_F(ProviderTest, WantedCapabilitiesAreCheckedAtCreation) {
  auto s = Store("s", {TestCert::OwnEncryptOnly});
  auto ok = TValidataCryptoProvider::CreateLocalEx(ptGost, s.basePath, "", 0, {}, {vcpEncryption});
  EXPECT_EQ(ok->Capabilities(), TValidataCapabilities({vcpEncryption}));
  auto e = CatchValidata(
      [&] { TValidataCryptoProvider::CreateLocalEx(ptGost, s.basePath, "", 0, {}, {vcpSigning}); });
  EXPECT_EQ(e.SourceName(), "VCERT_VerifyCertificatePolicy");
}

TEST_F(ProviderTest, RsaProviderRetriesOnceThroughTheTumarLoader) {
  auto s = Store("s", {TestCert::OwnRsa});
  WriteProfiles(dllRPKI, {{"Main", s.basePath, "", "", ""}});
  for (std::uint32_t status : {VCERT_E_INIT_CSP, VCERT_E_INIT_CSP_KEY}) {
    log.clear();
    control->Reset();
    control->FailCall("InitializeEx", 1, status);
    auto p = TValidataCryptoProvider::CreateLocal(
        "rpki:Main", 0, {}, [this](const std::string& l) { log.push_back(l); });
    EXPECT_EQ(p->PkiType(), ptRsa);
    EXPECT_EQ(p->LibraryName(), "rpki1.dll");
    EXPECT_EQ(control->CallCount("InitializeEx"), 2u);
    const std::vector<std::string> tail(log.end() - 3, log.end());
    char first[80];
    std::snprintf(first, sizeof first,
                  "\t\tVCERT_InitializeEx(CRYPT_LOCAL, Params, fContext): 0x%X", status);
    EXPECT_EQ(tail, (std::vector<std::string>{
                        first, "\t\tInitializing TUMAR CSP and retrying...",
                        "\t\tVCERT_InitializeEx(CRYPT_LOCAL, Params, fContext): 0x0"}));
  }
  // A second failure is final; so is the first one for a GOST provider.
  control->Reset();
  control->FailCall("InitializeEx", 0, VCERT_E_INIT_CSP);
  auto rsa = CatchValidata([&] { TValidataCryptoProvider::CreateLocal("rpki:Main"); });
  EXPECT_EQ(rsa.ErrorCode(), VCERT_E_INIT_CSP);
  EXPECT_EQ(rsa.SourceName(), "VCERT_InitializeEx");
  EXPECT_EQ(control->CallCount("InitializeEx"), 2u);

  control->Reset();
  control->FailCall("InitializeEx", 1, VCERT_E_INIT_CSP);
  auto gost = CatchValidata([&] { Local(); });
  EXPECT_EQ(gost.ErrorCode(), VCERT_E_INIT_CSP);
  EXPECT_EQ(control->CallCount("InitializeEx"), 1u);
  control->Reset();
}

TEST_F(ProviderTest, RemoteProviderUsesServersAliasAndSessionRules) {
  auto s = Store("srv", {TestCert::OwnSignEncrypt, TestCert::OwnRsa});
  std::vector<std::pair<TValidataCryptoProvider*, std::string>> loads;
  auto onLoad = [&](TValidataCryptoProvider* p, const std::string& first) {
    loads.emplace_back(p, first);
  };
  auto p = TValidataCryptoProvider::CreateRemote(ptNone, "unreachable-host, " + s.server, "own-rsa",
                                                 30, {}, onLoad);
  ASSERT_EQ(loads.size(), 1u);
  EXPECT_EQ(loads[0].first, p.get());
  EXPECT_EQ(loads[0].second, "unreachable-host");
  EXPECT_TRUE(p->CryptoServerMode());
  EXPECT_EQ(p->LibraryName(), "libpki1.dll");
  EXPECT_EQ(p->LibType(), dllZPKI);  // the crypto server has version 6
  EXPECT_EQ(p->CryptoServers(), (std::vector<std::string>{"unreachable-host", s.server}));
  EXPECT_EQ(p->RPCTimeout(), 30u);
  const std::string call = control->LastCall("InitializeEx");
  EXPECT_EQ(Line(call, "mode"), "0");
  EXPECT_EQ(Line(call, "num"), "2");
  EXPECT_NE(call.find("server=ncacn_ip_tcp:" + s.server), std::string::npos);
  // The alias chose the RSA certificate, which made the provider RSA.
  EXPECT_EQ(p->SessionCertificates().Count(), 1);
  EXPECT_EQ(p->SessionCertificate()->SerialNumber(), pkitest::Facts(TestCert::OwnRsa).serial);
  EXPECT_EQ(p->PkiType(), ptRsa);
  EXPECT_EQ(p->SessionId("x")->ChoiceType, p->SessionCertificate()->CertId().ChoiceType);

  // Operations that exist only locally fail with the library's text.
  auto crl = CatchValidata([&] { p->UpdateCRLs(); });
  EXPECT_EQ(crl.ErrorCode(), VCERT_E_NOT_AVAILABLE);
  EXPECT_EQ(crl.what(), p->Api().VCERT_GetErrorText(VCERT_E_NOT_AVAILABLE));
  auto show = CatchValidata([&] { p->SessionCertificate()->Show(); });
  EXPECT_EQ(show.ErrorCode(), VCERT_E_NOT_AVAILABLE);
  EXPECT_EQ(show.SourceName(), "VCERT_ShowCertificate");
  EXPECT_EQ(control->CallCount("ShowCertificate"), 0u);

  // Only a certificate of the session list may become the session.
  auto stranger =
      TValidataCertificate::Create(*p, pkitest::Facts(TestCert::OwnSignEncrypt).certPath);
  auto wrong = CatchValidata([&] { p->SetSessionCertificate(stranger); });
  EXPECT_EQ(wrong.ErrorCode(), 6u);
  EXPECT_STREQ(wrong.what(), "Указан неверный сертификат сессии криптосервера");
  EXPECT_EQ(wrong.SourceName(), "TValidataCryptoProvider.SetSessionCertificate");
  p->SetSessionCertificate(p->SessionCertificates()[0]);
  p->SetSessionCertificate(nullptr);

  // A certificate that outlives its crypto-server provider has no session.
  auto orphan = p->SessionCertificate();
  stranger.reset();
  p.reset();
  auto none = CatchValidata([&] { orphan->Verify(0, "", {}); });
  EXPECT_EQ(none.ErrorCode(), 2u);
  EXPECT_STREQ(none.what(), "Не выбрана сессия криптосервера");
  EXPECT_EQ(none.SourceName(), "TValidataCertificate.Verify");
}

TEST_F(ProviderTest, RemoteProviderRefusesTooManyServersBeforeLoading) {
  std::vector<std::string> servers(101, "host");
  auto e = CatchValidata([&] { TValidataCryptoProvider::CreateRemote(ptGost, servers, "", 10); });
  EXPECT_EQ(e.ErrorCode(), 5u);
  EXPECT_STREQ(e.what(), "Число криптосерверов не может превышать 100");
  EXPECT_EQ(e.SourceName(), "TValidataCryptoProvider.CreateRemote");

  // No server answers: the library's failure, nothing left open.
  auto down =
      CatchValidata([&] { TValidataCryptoProvider::CreateRemote(ptGost, "nowhere", "", 10); });
  EXPECT_EQ(down.SourceName(), "VCERT_InitializeEx");
  EXPECT_NE(down.ErrorCode(), 0u);
}

TEST_F(ProviderTest, DuplicateSharesNothingButTheConfiguration) {
  auto p = Local();
  auto d = p->Duplicate();
  EXPECT_EQ(control->OpenContexts(), contextsBaseline + 2);
  EXPECT_NE(d->Context(), p->Context());
  EXPECT_STREQ(d->ClassName(), p->ClassName());
  EXPECT_EQ(d->ProfileName(), p->ProfileName());
  EXPECT_EQ(d->PSEPath(), p->PSEPath());
  EXPECT_EQ(d->LocalPath(), p->LocalPath());
  EXPECT_TRUE(d->LocalMode());
  p.reset();  // the copy lives on by itself
  EXPECT_EQ(d->SessionCertificate()->SerialNumber(),
            pkitest::Facts(TestCert::OwnSignEncrypt).serial);
  d.reset();
  EXPECT_EQ(control->OpenContexts(), contextsBaseline);

  auto q = Local();
  control->FailCall("DuplicateContext", 1, 0xE0700099);
  auto e = CatchValidata([&] { q->Duplicate(); });
  EXPECT_EQ(e.ErrorCode(), VCERT_E_CONTEXT_COPY);
  EXPECT_STREQ(e.what(), "Ошибка создания копии контекста");
  EXPECT_EQ(e.SourceName(), "DuplicateContext");
}

TEST_F(ProviderTest, DuplicateReleasesTheNewContextWhenLibrarySelectionFails) {
  auto p = Local();
  // The library disappears from the system folder after the first creation.
  box.SetEnv("TARVO_SYSTEM_DIR", box.MakeDir("gone"));
  auto e = CatchValidata([&] { p->Duplicate(); });
  EXPECT_EQ(e.ErrorCode(), 126u);
  EXPECT_EQ(control->OpenContexts(), contextsBaseline + 1);
}

TEST_F(ProviderTest, CertificatesKeepTheLibraryAliveAfterTheProviderIsFreed) {
  auto p = Local();
  TValidataCertificateList list;
  p->FindAllCertificates(list, "CN=Early Partner", false, "", false, false, true, false);
  ASSERT_EQ(list->Count(), 1);
  auto cert = (*list)[0];
  p.reset();
  EXPECT_EQ(control->OpenContexts(), contextsBaseline + 1);
  EXPECT_EQ(cert->CryptoProvider(), nullptr);
  cert->Verify(0, "", {});  // still callable: local mode needs no session
  EXPECT_FALSE(cert->IsRevoked());
  list.reset();
  EXPECT_EQ(control->OpenContexts(), contextsBaseline + 1);
  cert.reset();
  EXPECT_EQ(control->OpenContexts(), contextsBaseline);
}

TEST_F(ProviderTest, FailingUninitializeIsLoggedAndTheProviderStillGoes) {
  auto p = Local();
  control->FailCall("Uninitialize", 1, 0xE0700099);
  EXPECT_NO_THROW(p.reset());
  EXPECT_TRUE(LogContains("VCERT_Uninitialize: 0xE0700099"));
  // The stand-in keeps the context it refused to release.
  EXPECT_EQ(control->OpenContexts(), contextsBaseline + 1);
  checkLeaks = false;
}

TEST_F(ProviderTest, AuthorisationStopsAtTheFirstRefusalAndNeverShowsThePassword) {
  const std::string secret = "S3cr3t-PIN-7319";
  pkitest::StoreContent content = pkitest::DefaultStoreContent();
  content.own = {TestCert::OwnSignEncrypt};
  content.password = "right-password";
  auto s = pkitest::LayoutStore(box.Path("srv"), content);
  auto p = TValidataCryptoProvider::CreateRemote(ptGost, s.server, "", 10);
  EXPECT_EQ(p->SessionId("TValidataCryptoProvider.Authorize")->ChoiceType, ID_CERTHASH);

  p->Authorize("right-password");
  EXPECT_EQ(control->CallCount("Authorize"), 3u);
  const std::string last = control->LastCall("Authorize");
  EXPECT_EQ(Line(last, "func"), "2");  // sign, encrypt, then decrypt
  p->SetAuthData("right-password");

  control->Reset();
  std::vector<EValidataError> errors;
  errors.push_back(CatchValidata([&] { p->Authorize(secret); }));
  EXPECT_EQ(control->CallCount("Authorize"), 1u);
  EXPECT_EQ(errors.back().SourceName(), "VCERT_Authorize(CRSRV_FUNC_SIGN)");
  errors.push_back(CatchValidata([&] { p->SetAuthData(secret); }));
  EXPECT_EQ(errors.back().SourceName(), "VCERT_SetAuthData");
  for (const auto& e : errors) {
    EXPECT_EQ(std::string(e.what()).find(secret), std::string::npos);
    EXPECT_EQ(e.StackTrace().find(secret), std::string::npos);
    EXPECT_FALSE(e.StackTrace().empty());
  }
  p.reset();

  // The same through a local provider that logs.
  auto local = TValidataCryptoProvider::CreateLocalEx(
      ptGost, s.basePath, "", 0, [this](const std::string& l) { log.push_back(l); });
  errors.push_back(CatchValidata([&] { local->SetAuthData(secret); }));
  errors.push_back(CatchValidata([&] { local->Authorize(secret); }));
  for (const auto& e : errors) {
    EXPECT_EQ(std::string(e.what()).find(secret), std::string::npos);
    EXPECT_EQ(e.StackTrace().find(secret), std::string::npos);
  }
  local.reset();
  ASSERT_FALSE(log.empty());
  for (const auto& l : log) EXPECT_EQ(l.find(secret), std::string::npos) << l;
}

TEST_F(ProviderTest, ErrorStackIsReadBoundedAndCutAtTheBuffer) {
  auto p = Local();
  control->ScriptErrorStack(
      {{"store.c", 12, "cannot open", "detail"}, {"main.c", 3, "failed", ""}});
  control->FailCall("UpdateCRLs", 1, 0xE0700099);
  auto e = CatchValidata([&] { p->UpdateCRLs(); });
  EXPECT_EQ(e.ErrorCode(), 0xE0700099u);
  EXPECT_EQ(e.SourceName(), "VCERT_UpdateCRLs");
  EXPECT_EQ(e.StackTrace(), "store.c(12): cannot open detail\r\nmain.c(3): failed");

  control->Reset();
  control->ScriptEndlessErrorStack();
  const std::string endless = p->GetErrorStack();  // returns at all
  EXPECT_FALSE(endless.empty());
  EXPECT_LT(endless.size(), 200000u);

  control->Reset();
  control->ScriptOverlongErrorText();
  control->ScriptErrorStack({{"x.c", 1, "y", ""}});
  const std::string overlong = p->GetErrorStack();
  EXPECT_FALSE(overlong.empty());
  control->Reset();
}

TEST_F(ProviderTest, PrivateKeyWarningFollowsTheSettingsKey) {
  auto p = Local();
  int days = 0;
  EXPECT_FALSE(p->PrivateKeyExpires(days));  // no setting
  // Days from today (UTC) to the end of the private key's use, rounded.
  const double today = std::floor(static_cast<double>(std::time(nullptr)) / 86400);
  const double end = (p->SessionCertificate()->NotAfterPrivate() - 25569.0);
  EXPECT_EQ(days, static_cast<int>(std::nearbyint(end - today)));
  auto key = platform::RegistryKey::Create(platform::RegRoot::CurrentUser,
                                           TValidataSettings::SettingsKey(dllZPKI));
  const std::uint32_t warn = static_cast<std::uint32_t>(days + 1);
  const std::uint8_t bytes[4] = {
      static_cast<std::uint8_t>(warn), static_cast<std::uint8_t>(warn >> 8),
      static_cast<std::uint8_t>(warn >> 16), static_cast<std::uint8_t>(warn >> 24)};
  key->WriteBinary("TimeWarnExpiredCert", bytes);
  EXPECT_TRUE(p->PrivateKeyExpires(days));
  key->WriteBinary("TimeWarnExpiredCert", std::span<const std::uint8_t>(bytes, 2));  // damaged
  EXPECT_FALSE(p->PrivateKeyExpires(days));
  key->WriteDWord("TimeWarnExpiredCert", 1);
  EXPECT_FALSE(p->PrivateKeyExpires(days));
}

TEST_F(ProviderTest, GenRandomAndAddCertificate) {
  auto p = Local();
  TMemBlk value{0, nullptr};
  p->GenRandom(32, value);
  EXPECT_EQ(value.len, 32u);
  ASSERT_NE(value.buf, nullptr);
  p->FreeMemBlk(value);
  EXPECT_EQ(value.buf, nullptr);

  auto cert = TValidataCertificate::Create(*p, pkitest::Facts(TestCert::WithoutKeyId).certPath);
  p->AddCertificate(*cert);
  EXPECT_EQ(control->CallCount("ImportMem"), 1u);
}

class SeparateSecureConnectionTest : public ValidataTest {
 protected:
  SeparateSecureConnectionTest() : ValidataTest(Scenario::SeparateSecureConnection) {}
};

TEST_F(SeparateSecureConnectionTest, GostFallsBackToXpkiWithItsSecureConnectionLibrary) {
  auto s = Store("s");
  auto p = TValidataCryptoProvider::CreateLocalEx(ptGost, s.basePath, "", 0);
  EXPECT_EQ(p->LibraryName(), "xpki1.dll");  // no zpki1.dll in this system folder
  EXPECT_EQ(p->LibType(), dllXPKI);
  EXPECT_TRUE(p->Api().SecConnLoaded());
  EXPECT_EQ(p->Api().SecConnDllName(), "xsecconn.dll");
}

class SecureConnectionTest : public ValidataTest {
 protected:
  SecureConnectionTest() : ValidataTest(Scenario::SecureConnectionUnloadable) {}
};

TEST_F(SecureConnectionTest, UnloadableLibraryFailsTheConnectionWithItsLoadError) {
  auto s = Store("s", {TestCert::OwnRsa});
  auto p = TValidataCryptoProvider::CreateLocalEx(ptRsa, s.basePath, "", 0);
  EXPECT_EQ(p->LibraryName(), "rpki1.dll");
  auto e = CatchValidata([&] { TValidataConnection c(*p, true); });
  EXPECT_EQ(e.ErrorCode(), pkitest::kUnloadableSecureConnectionError);
  EXPECT_NE(std::string(e.what()).find("\"rsecconn.dll\""), std::string::npos);
}

TEST_F(ProviderTest, ConnectionHandshakeAndRecords) {
  auto p = Local();
  TValidataConnection client(*p, true), server(*p, false);
  TMemBlk m1{0, nullptr}, m2{0, nullptr}, m3{0, nullptr}, m4{0, nullptr};
  client.ClientStep1(nullptr, m1);
  server.ServerStep2(m1, m2);
  client.ClientStep3(m2, m3);
  server.ServerStep4(m3, m4);
  client.ClientStep5(m4);
  for (TMemBlk* m : {&m1, &m2, &m3, &m4}) p->FreeMemBlk(*m);

  const std::string text = "order 42";
  TMemBlk plain = CreateMemBlk(text.data(), static_cast<std::uint32_t>(text.size()));
  TMemBlk sealed{0, nullptr}, opened{0, nullptr};
  client.Encrypt(plain, sealed);
  EXPECT_NE(sealed.len, plain.len);
  server.Decrypt(sealed, opened);
  EXPECT_EQ(MemBlkToStr(opened), text);
  p->FreeMemBlk(sealed);
  p->FreeMemBlk(opened);

  // A broken message fails under the step's name.
  TValidataConnection other(*p, false);
  std::string junk = "junk";
  TMemBlk bad = CreateMemBlk(junk.data(), 4), out{0, nullptr};
  auto e = CatchValidata([&] { other.ServerStep2(bad, out); });
  EXPECT_EQ(e.SourceName(), "VCERT_ServerStep2");
}

TEST_F(ProviderTest, ConnectionStepsBelongToTheirSide) {
  auto p = Local();
  TValidataConnection client(*p, true), server(*p, false);
  TMemBlk m1{0, nullptr}, m2{0, nullptr};
  auto serverStep = CatchValidata([&] { client.ServerStep2(m1, m2); });
  EXPECT_STREQ(serverStep.what(), "Функция может вызываться только на серверной стороне");
  EXPECT_EQ(serverStep.ErrorCode(), VCERT_E_NOT_AVAILABLE);
  auto clientStep = CatchValidata([&] { server.ClientStep1(nullptr, m1); });
  EXPECT_STREQ(clientStep.what(), "Функция может вызываться только на клиентской стороне");
  EXPECT_EQ(clientStep.ErrorCode(), VCERT_E_NOT_AVAILABLE);
  EXPECT_EQ(control->CallCount("ClientStep1"), 0u);
  EXPECT_EQ(control->CallCount("ServerStep2"), 0u);
}

}  // namespace
}  // namespace tarvo::cryptotest
