// Shared fixture of the provider tests: a sandbox whose system folder holds a
// stand-in variant, a key store laid out from the committed test
// certificates, profiles in the sandbox's registry, and the stand-in's
// control interface with its allocation baseline.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "crypto/Validata.h"
#include "platform/system/Registry.h"
#include "standins/pki/PkiTesting.h"
#include "testing/Sandbox.h"

namespace tarvo::cryptotest {

using pkitest::Scenario;
using pkitest::TestCert;

struct ProfileEntry {
  std::string name;
  std::string basePath;
  std::string store0, store1, store2;
};

inline void WriteProfiles(TValidataLibType t, const std::vector<ProfileEntry>& profiles,
                          int curSel = 0) {
  auto key = platform::RegistryKey::Create(platform::RegRoot::CurrentUser,
                                           TValidataSettings::ProfilesKey(t));
  ASSERT_TRUE(key);
  key->WriteDWord("Count", static_cast<std::uint32_t>(profiles.size()));
  key->WriteDWord("CurSel", static_cast<std::uint32_t>(curSel));
  for (std::size_t i = 0; i < profiles.size(); ++i) {
    auto sub = platform::RegistryKey::Create(
        platform::RegRoot::CurrentUser,
        std::string(TValidataSettings::ProfilesKey(t)) + std::to_string(i));
    ASSERT_TRUE(sub);
    sub->WriteString("ProfileName", profiles[i].name);
    sub->WriteString("BasePath", profiles[i].basePath);
    sub->WriteString("store_0", profiles[i].store0);
    sub->WriteString("store_1", profiles[i].store1);
    sub->WriteString("store_2", profiles[i].store2);
  }
}

inline void WriteDefaultLdap(TValidataLibType t, const std::string& address) {
  auto key = platform::RegistryKey::Create(platform::RegRoot::CurrentUser,
                                           std::string(TValidataSettings::StoreKey(t)) + "2");
  ASSERT_TRUE(key);
  key->WriteString("name", address);
}

// Catches the wrapper's error from f; fails the test when there is none.
template <class F>
EValidataError CatchValidata(F&& f) {
  try {
    f();
  } catch (const EValidataError& e) {
    return e;
  }
  ADD_FAILURE() << "no EValidataError";
  return EValidataError("", 0);
}

class ValidataTest : public ::testing::Test {
 protected:
  explicit ValidataTest(Scenario scenario = Scenario::Both) : fScenario(scenario) {}

  void SetUp() override {
    box.SetEnv("TARVO_SYSTEM_DIR", pkitest::ScenarioFolder(fScenario));
    control = std::make_unique<pkitest::PkiControl>(pkitest::ScenarioLibraryPath(fScenario));
    control->Reset();
    baseline = control->LiveAllocations();
    contextsBaseline = control->OpenContexts();
    TValidataSettings::FreeExtKeyUsageCatalogues();
  }

  void TearDown() override {
    // Everything a test created is gone: no context, no library memory.
    if (checkLeaks) {
      EXPECT_EQ(control->OpenContexts(), contextsBaseline);
      EXPECT_EQ(control->LiveAllocations(), baseline);
    }
    EXPECT_EQ(control->UnknownFrees(), 0);
    control->Reset();
    TValidataSettings::FreeExtKeyUsageCatalogues();
  }

  // A store under the sandbox with only the given own certificates.
  pkitest::StorePaths Store(const std::string& name,
                            std::vector<TestCert> own = {TestCert::OwnSignEncrypt}) {
    pkitest::StoreContent content = pkitest::DefaultStoreContent();
    content.own = std::move(own);
    return pkitest::LayoutStore(box.Path(name), content);
  }

  // A GOST provider on a fresh store, through a zpki profile "Main".
  std::unique_ptr<TValidataCryptoProvider> Local(std::vector<TestCert> own = {
                                                     TestCert::OwnSignEncrypt}) {
    auto paths = Store("main", std::move(own));
    WriteProfiles(dllZPKI, {{"Main", paths.basePath, "", "", ""}});
    return TValidataCryptoProvider::CreateLocal("Main", 0, {},
                                                [this](const std::string& l) { log.push_back(l); });
  }

  bool LogContains(const std::string& text) const {
    for (const auto& l : log)
      if (l.find(text) != std::string::npos) return true;
    return false;
  }

  testing::Sandbox box;
  std::unique_ptr<pkitest::PkiControl> control;
  std::int64_t baseline = 0;
  std::int64_t contextsBaseline = 0;
  bool checkLeaks = true;  // off where the stand-in itself keeps a context
  std::vector<std::string> log;

 private:
  Scenario fScenario;
};

}  // namespace tarvo::cryptotest
