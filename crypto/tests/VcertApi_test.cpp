// Loading the vendor library: every scenario the loading rules distinguish,
// run against the stand-in's variants (real shared objects).
#include "crypto/VcertApi.h"

#include <gtest/gtest.h>

#include "platform/core/Errors.h"
#include "platform/core/Library.h"
#include "standins/pki/PkiTesting.h"
#include "testing/Sandbox.h"

namespace tarvo {
namespace {

using pkitest::Scenario;

// The system folder points at one scenario's variant for the test's life.
class ScenarioFolder {
 public:
  explicit ScenarioFolder(Scenario s) {
    fBox.SetEnv("TARVO_SYSTEM_DIR", pkitest::ScenarioFolder(s));
  }
  testing::Sandbox& Box() { return fBox; }

 private:
  testing::Sandbox fBox;
};

std::string LoadErrorText(const std::string& file, std::uint32_t code) {
  return "Failed to load \xD0\xA1SP Validata library \"" + file +
         "\" (x86) or one of its components. Error " + std::to_string(code) + ": " +
         platform::SysErrorMessage(code);
}

std::string EntryErrorText(const std::string& entry, const std::string& file) {
  return "Entry point \"" + entry + "\" is not found in CSP Validata library \"" + file + "\".";
}

template <class F>
EVcertLoadError CatchLoad(F&& f) {
  try {
    f();
  } catch (const EVcertLoadError& e) {
    return e;
  }
  ADD_FAILURE() << "no load error";
  return EVcertLoadError("", 0);
}

int BoundIn(const TVCERTApi& api, int first, int last) {
  int n = 0;
  for (int i = first; i <= last; ++i) n += api.IsBound(static_cast<VcertEntry>(i)) ? 1 : 0;
  return n;
}

TEST(VcertApi, VersionsDecideWhichGroupsMayBeMissing) {
  struct Row {
    Scenario scenario;
    bool v5, v6;
    int cmsBound, messageBound;
  } rows[] = {
      {Scenario::Both, true, true, 55, 51},
      {Scenario::Version5Only, true, false, 0, 51},
      {Scenario::Version6Only, false, true, 55, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(static_cast<int>(r.scenario));
    ScenarioFolder folder(r.scenario);
    TVCERTApi api(false, "zpki1.dll", "");
    EXPECT_EQ(api.SupportsV5(), r.v5);
    EXPECT_EQ(api.SupportsV6(), r.v6);
    EXPECT_EQ(BoundIn(api, kVcertV6First, kVcertV6Last), r.cmsBound);
    EXPECT_EQ(BoundIn(api, kVcertV5First, kVcertV5Last), r.messageBound);
    EXPECT_EQ(BoundIn(api, 0, kVcertV6First - 1), kVcertV6First);  // the core is always whole
    EXPECT_FALSE(api.SecConnLoaded());
  }
}

TEST(VcertApi, UnboundEntriesRaiseTheEntryPointErrorInsteadOfBeingCalled) {
  {
    ScenarioFolder folder(Scenario::Version5Only);
    TVCERTApi api(false, "zpki1.dll", "");
    auto e = CatchLoad([&] { api.Entry(veCmsBlkEncryptMem); });
    EXPECT_EQ(e.what(), EntryErrorText("VCERT_CmsBlkEncryptMem", "zpki1.dll"));
    EXPECT_EQ(e.ErrorCode(), platform::ERROR_PROC_NOT_FOUND);
  }
  {
    ScenarioFolder folder(Scenario::WithoutAuthorisation);
    TVCERTApi api(false, "zpki1.dll", "");
    auto e = CatchLoad([&] { api.VCERT_SetAuthData(); });
    EXPECT_EQ(e.what(), EntryErrorText("VCERT_SetAuthData", "zpki1.dll"));
    EXPECT_FALSE(api.IsBound(veAuthorize));
  }
  {
    // Version 6 only: the whole session group may be missing, and a
    // connection then fails cleanly.
    ScenarioFolder folder(Scenario::Version6Only);
    TVCERTApi api(false, "zpki1.dll", "xsecconn.dll");
    EXPECT_FALSE(api.SecConnLoaded());
    TVcertConnection conn = nullptr;
    auto e = CatchLoad([&] { api.VCERT_CreateConnection(nullptr, 0, conn); });
    EXPECT_EQ(e.what(), EntryErrorText("VCERT_CreateConnection", "zpki1.dll"));
  }
}

TEST(VcertApi, CryptoServerFlavourMayLackLocalEntries) {
  ScenarioFolder folder(Scenario::CryptoServer);
  TVCERTApi api(true, "libpki1.dll", "");
  EXPECT_FALSE(api.IsBound(veShowCertificate));
  EXPECT_FALSE(api.IsBound(veConnectionCtrl));
  EXPECT_TRUE(api.IsBound(veFindCert));
  auto e = CatchLoad([&] { api.VCERT_ShowCertificate(); });
  EXPECT_EQ(e.what(), EntryErrorText("VCERT_ShowCertificate", "libpki1.dll"));

  // The same library loaded as a local one misses a required entry.
  auto local = CatchLoad([] { TVCERTApi api(false, "libpki1.dll", ""); });
  EXPECT_EQ(local.what(), EntryErrorText("VCERT_ShowCertificate", "libpki1.dll"));
}

TEST(VcertApi, MissingRequiredEntriesFailConstruction) {
  {
    ScenarioFolder folder(Scenario::MissingCoreEntry);
    auto e = CatchLoad([] { TVCERTApi api(false, "zpki1.dll", "xsecconn.dll"); });
    EXPECT_EQ(e.what(), EntryErrorText(pkitest::kMissingCoreEntry, "zpki1.dll"));
    EXPECT_EQ(e.ErrorCode(), platform::ERROR_PROC_NOT_FOUND);
  }
  {
    // The main library serves the session group (it has CreateSession), so
    // a missing step is its fault, even with a secure-connection library named.
    ScenarioFolder folder(Scenario::PartialConnectionGroup);
    auto e = CatchLoad([] { TVCERTApi api(false, "xpki1.dll", "xsecconn.dll"); });
    EXPECT_EQ(e.what(), EntryErrorText("VCERT_ClientStep1", "xpki1.dll"));
  }
  {
    // Without a secure-connection library, the session group is required.
    ScenarioFolder folder(Scenario::SeparateSecureConnection);
    auto e = CatchLoad([] { TVCERTApi api(false, "xpki1.dll", ""); });
    EXPECT_EQ(e.what(), EntryErrorText("VCERT_CreateSession", "xpki1.dll"));
  }
}

TEST(VcertApi, SessionGroupComesFromTheLibraryBesideTheWrapper) {
  ScenarioFolder folder(Scenario::SeparateSecureConnection);
  TVCERTApi api(false, "xpki1.dll", "xsecconn.dll");
  EXPECT_TRUE(api.SecConnLoaded());
  EXPECT_EQ(api.SecConnLoadError(), 0u);
  const std::string expected = pkitest::WrapperFolder() + "/xsecconn.dll";
  for (int i = kVcertSessionFirst; i <= kVcertSessionLast; ++i) {
    ASSERT_TRUE(api.IsBound(static_cast<VcertEntry>(i))) << kVcertEntryNames[i];
    EXPECT_EQ(platform::ModulePathOf(api.Entry(static_cast<VcertEntry>(i))), expected)
        << kVcertEntryNames[i];
  }
  // The rest still comes from the main library.
  EXPECT_EQ(platform::ModulePathOf(api.Entry(veFindCert))
                .rfind(pkitest::ScenarioFolder(Scenario::SeparateSecureConnection), 0),
            0u);
}

TEST(VcertApi, UnloadableSecureConnectionLibrarySurfacesOnConnection) {
  ScenarioFolder folder(Scenario::SecureConnectionUnloadable);
  TVCERTApi api(false, "rpki1.dll", "rsecconn.dll");  // construction succeeds
  EXPECT_FALSE(api.SecConnLoaded());
  EXPECT_EQ(api.SecConnLoadError(), pkitest::kUnloadableSecureConnectionError);
  TVcertConnection conn = nullptr;
  auto e = CatchLoad([&] { api.VCERT_CreateConnection(nullptr, 0, conn); });
  EXPECT_EQ(e.what(), LoadErrorText("rsecconn.dll", pkitest::kUnloadableSecureConnectionError));
  EXPECT_EQ(e.ErrorCode(), pkitest::kUnloadableSecureConnectionError);
  // Other session entries are never called unbound either.
  auto step = CatchLoad([&] { api.VCERT_ClientStep1(); });
  EXPECT_EQ(step.ErrorCode(), pkitest::kUnloadableSecureConnectionError);
}

TEST(VcertApi, MissingMainLibraryGivesTheLoadErrorWithItsFileName) {
  testing::Sandbox box;
  box.SetEnv("TARVO_SYSTEM_DIR", box.MakeDir("empty"));
  EXPECT_FALSE(TVCERTApi::Available("zpki1.dll"));
  auto e = CatchLoad([] { TVCERTApi api(false, "zpki1.dll", ""); });
  EXPECT_EQ(e.what(), LoadErrorText("zpki1.dll", platform::ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(e.ErrorCode(), platform::ERROR_MOD_NOT_FOUND);

  // A file that is not a shared object.
  box.WriteFile("empty/xpki1.dll", "not a library");
  EXPECT_TRUE(TVCERTApi::Available("xpki1.dll"));
  auto bad = CatchLoad([] { TVCERTApi api(false, "xpki1.dll", ""); });
  EXPECT_EQ(bad.what(), LoadErrorText("xpki1.dll", platform::ERROR_BAD_EXE_FORMAT));
}

TEST(VcertApi, AvailableLooksInTheSystemFolderOnly) {
  ScenarioFolder folder(Scenario::Both);
  EXPECT_TRUE(TVCERTApi::Available("zpki1.dll"));
  EXPECT_TRUE(TVCERTApi::Available("libpki1.dll"));
  EXPECT_FALSE(TVCERTApi::Available(""));
  EXPECT_FALSE(
      TVCERTApi::Available("xsecconn.dll"));  // beside the wrapper, not in the system folder
}

TEST(VcertApi, ErrorTextsComeFromTheLibraryAndAreCutAtTheBuffer) {
  ScenarioFolder folder(Scenario::Both);
  TVCERTApi api(false, "zpki1.dll", "");
  const std::string text = api.VCERT_GetErrorText(VCERT_E_CERT_NOT_FOUND);
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text, api.VCERT_GetErrorText(VCERT_E_CERT_NOT_FOUND));

  pkitest::PkiControl control(pkitest::ScenarioLibraryPath(Scenario::Both));
  control.ScriptOverlongErrorText();
  const std::string longText = api.VCERT_GetErrorText(VCERT_E_CERT_NOT_FOUND);
  control.Reset();
  EXPECT_GT(longText.size(), 1000u);
  EXPECT_LE(longText.size(), 1024u);
}

}  // namespace
}  // namespace tarvo
