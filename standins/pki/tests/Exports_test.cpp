// Each variant of the stand-in exports exactly its entries, under every file
// name, as one library instance.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "crypto/vcert1.h"
#include "platform/core/Errors.h"
#include "platform/core/Library.h"
#include "standins/pki/PkiTesting.h"

namespace tarvo::pkitest {
namespace {

std::set<int> Range(int a, int b) {
  std::set<int> s;
  for (int i = a; i <= b; ++i) s.insert(i);
  return s;
}

std::set<int> Union(std::initializer_list<std::set<int>> parts) {
  std::set<int> s;
  for (const auto& p : parts) s.insert(p.begin(), p.end());
  return s;
}

struct VariantCase {
  Scenario scenario;
  std::set<int> missing;
  std::vector<std::string> names;  // file names in the folder
};

const std::vector<std::string> kAllNames = {"xpki1.dll", "rpki1.dll", "zpki1.dll", "libpki1.dll"};

std::vector<VariantCase> Cases() {
  return {
      {Scenario::Version5Only, Range(37, 91), kAllNames},
      {Scenario::Version6Only, Range(92, 142), kAllNames},
      {Scenario::Both, {}, kAllNames},
      {Scenario::CryptoServer, Union({{19, 21, 27, 28, 35, 36}, Range(121, 142)}), kAllNames},
      {Scenario::MissingCoreEntry, {veVerifyCertificatePolicy}, kAllNames},
      {Scenario::PartialConnectionGroup, {veClientStep1}, kAllNames},
      {Scenario::SeparateSecureConnection,
       Range(126, 142),
       {"xpki1.dll", "rpki1.dll", "libpki1.dll"}},
      {Scenario::SecureConnectionUnloadable,
       Range(126, 142),
       {"xpki1.dll", "rpki1.dll", "libpki1.dll"}},
      {Scenario::WithoutAuthorisation, {veSetAuthData, veAuthorize}, kAllNames},
  };
}

void ExpectExports(const platform::Library& lib, const std::set<int>& present,
                   const std::string& what) {
  for (int i = 0; i < kVcertEntryCount; ++i) {
    const std::string name = std::string("VCERT_") + kVcertEntryNames[i];
    const bool found = lib.FindSymbol(name.c_str()) != nullptr;
    EXPECT_EQ(found, present.count(i) != 0) << what << ": " << name;
  }
  // Nothing of the stand-in's own machinery leaks out beside the interface.
  EXPECT_NE(lib.FindSymbol("PKISTUB_FailCall"), nullptr) << what;
  EXPECT_EQ(lib.FindSymbol("_ZN7pkistub5AllocEm"), nullptr) << what;
}

TEST(PkiVariants, EachExportsExactlyItsEntriesUnderEveryName) {
  for (const VariantCase& c : Cases()) {
    std::set<int> present;
    for (int i = 0; i < kVcertEntryCount; ++i)
      if (c.missing.count(i) == 0) present.insert(i);
    const std::string folder = ScenarioFolder(c.scenario);
    void* first = nullptr;
    for (const std::string& name : c.names) {
      platform::Library lib;
      ASSERT_TRUE(lib.Load(folder + "/" + name))
          << folder << "/" << name << ": " << platform::LastLoadErrorText();
      ExpectExports(lib, present, folder + "/" + name);
      void* control = lib.FindSymbol("PKISTUB_Reset");
      if (first == nullptr) first = control;
      // Symbolic links to one file: every name is one instance of the library.
      platform::Library again;
      ASSERT_TRUE(again.Load(folder + "/" + c.names.front()));
      EXPECT_EQ(again.FindSymbol("PKISTUB_Reset"), control) << name;
    }
    EXPECT_TRUE(std::filesystem::exists(ScenarioLibraryPath(c.scenario)))
        << ScenarioLibraryPath(c.scenario);
  }
}

TEST(PkiVariants, GostSelectionInSecureConnectionFolderReachesXpki) {
  // Without zpki1.dll a GOST provider picks xpki1.dll, whose secure-connection
  // library can serve the missing group.
  EXPECT_FALSE(
      std::filesystem::exists(ScenarioFolder(Scenario::SeparateSecureConnection) + "/zpki1.dll"));
  EXPECT_EQ(ScenarioLibraryName(Scenario::SeparateSecureConnection), "xpki1.dll");
  EXPECT_EQ(ScenarioSecureConnectionName(Scenario::SeparateSecureConnection), "xsecconn.dll");
  EXPECT_EQ(ScenarioSecureConnectionName(Scenario::SecureConnectionUnloadable), "rsecconn.dll");
  EXPECT_EQ(ScenarioSecureConnectionName(Scenario::Both), "");
}

TEST(PkiVariants, SecureConnectionLibrariesBesideTheWrapper) {
  platform::Library xsecconn;
  ASSERT_TRUE(xsecconn.Load(WrapperFolder() + "/xsecconn.dll")) << platform::LastLoadErrorText();
  ExpectExports(xsecconn, Range(126, 142), "xsecconn.dll");

  platform::Library rsecconn;
  platform::SetLastError(0);
  EXPECT_FALSE(rsecconn.Load(WrapperFolder() + "/rsecconn.dll"));
  EXPECT_EQ(platform::GetLastError(), kUnloadableSecureConnectionError);
}

TEST(PkiVariants, SonameLetsTheLoaderLibraryBeFoundByName) {
  // The retry after a failed initialisation loads "tumldr.dll" from the search
  // path; a loaded variant answers to that name.
  platform::Library main;
  ASSERT_TRUE(main.Load(ScenarioLibraryPath(Scenario::Both)));
  platform::Library loader;
  ASSERT_TRUE(loader.Load("tumldr.dll")) << platform::LastLoadErrorText();
  // Variants stay mapped once loaded and all carry that name, so the answer is
  // the first variant this process loaded - a stand-in in any case.
  EXPECT_NE(loader.FindSymbol("VCERT_InitializeEx"), nullptr);
  EXPECT_NE(loader.FindSymbol("PKISTUB_Reset"), nullptr);
}

TEST(PkiVariants, ControlRefusesFilesWithoutTheControlInterface) {
  EXPECT_THROW(PkiControl(ScenarioFolder(Scenario::Both) + "/missing.dll"), std::runtime_error);
  // The generated testdata is no library either.
  EXPECT_THROW(PkiControl(WrapperFolder() + "/rsecconn.dll"), std::runtime_error);
}

}  // namespace
}  // namespace tarvo::pkitest
