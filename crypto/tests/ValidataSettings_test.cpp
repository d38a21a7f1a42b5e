// Profiles and catalogues in the registry as the vendor's tools write them.
#include <gtest/gtest.h>

#include "crypto/tests/ValidataFixture.h"

namespace tarvo::cryptotest {
namespace {

using platform::RegistryKey;
using platform::RegRoot;

std::vector<std::string> Names(const std::vector<TValidataProfile>& profiles) {
  std::vector<std::string> names;
  for (const auto& p : profiles) names.push_back(p.Name);
  return names;
}

TEST(ValidataSettings, ProfilesOfLibraryAndPkiTypes) {
  testing::Sandbox box;
  WriteProfiles(dllXPKI, {{"Alpha", "", "", "", ""}, {"Beta", "", "", "", ""}}, 1);
  WriteProfiles(dllZPKI, {{"Gamma", "", "", "", ""}});
  WriteProfiles(dllRPKI, {{"Rsa", "", "", "", ""}});

  EXPECT_EQ(Names(TValidataSettings::GetProfiles(dllXPKI, false)),
            (std::vector<std::string>{"Alpha", "Beta"}));
  const auto withPrefix = TValidataSettings::GetProfiles(dllXPKI, true);
  EXPECT_EQ(Names(withPrefix), (std::vector<std::string>{"xpki:Alpha", "xpki:Beta"}));
  EXPECT_EQ(withPrefix[1].Index, 1);
  EXPECT_EQ(Names(TValidataSettings::GetProfiles(ptGost)),
            (std::vector<std::string>{"xpki:Alpha", "xpki:Beta", "zpki:Gamma"}));
  std::vector<TValidataProfile> all;
  EXPECT_EQ(TValidataSettings::GetProfiles(all), 2);
  EXPECT_EQ(all.size(), 4u);
  EXPECT_EQ(TValidataSettings::GetValidataProfileList().back(), "rpki:Rsa");

  EXPECT_EQ(TValidataSettings::GetCurrentProfile(dllXPKI, false), "Beta");
  EXPECT_EQ(TValidataSettings::GetCurrentProfile(dllXPKI, true), "xpki:Beta");
  EXPECT_EQ(TValidataSettings::GetCurrentProfile(ptGost), "zpki:Gamma");  // zpki is asked first
  EXPECT_EQ(TValidataSettings::GetCurrentProfile(ptRsa), "rpki:Rsa");

  EXPECT_TRUE(TValidataSettings::SetValidataCurrentProfileName("XPKI:alpha"));
  EXPECT_EQ(TValidataSettings::GetCurrentProfile(dllXPKI, false), "Alpha");
  EXPECT_FALSE(TValidataSettings::SetValidataCurrentProfileName("xpki:Nobody"));
  EXPECT_FALSE(TValidataSettings::SetCurrentProfile(ptRsa, "Alpha"));
}

TEST(ValidataSettings, DamagedRegistryIsReadSafely) {
  testing::Sandbox box;
  WriteProfiles(dllZPKI,
                {{"Zero", "", "", "", ""}, {"One", "", "", "", ""}, {"Two", "", "", "", ""}});
  const std::string profiles = TValidataSettings::ProfilesKey(dllZPKI);
  ASSERT_TRUE(
      RegistryKey::DeleteKey(RegRoot::CurrentUser, profiles + "1"));  // a missing subkey is skipped
  auto key = RegistryKey::Open(RegRoot::CurrentUser, profiles, platform::RegAccess::Write);
  key->WriteDWord("Count", 0xFFFFFFFFu);  // bounded, not walked to the end
  EXPECT_EQ(Names(TValidataSettings::GetProfiles(dllZPKI, false)),
            (std::vector<std::string>{"Zero", "Two"}));
  key->WriteString("Count", "3");  // another type: unreadable, counts as 0
  EXPECT_TRUE(TValidataSettings::GetProfiles(dllZPKI, false).empty());
  key->WriteDWord("Count", 3);
  key->WriteDWord("CurSel", 1);  // points at the missing one
  EXPECT_EQ(TValidataSettings::GetCurrentProfile(dllZPKI, false), "");
  EXPECT_TRUE(TValidataSettings::GetProfiles(dllXPKI, false).empty());  // no key at all
}

TEST(ValidataSettings, ProfileNamesAndPrefixes) {
  struct Row {
    std::string name;
    TValidataLibType lib;
    TPkiType pki;
    std::string bare;
  } rows[] = {
      {"xpki:A", dllXPKI, ptGost, "A"}, {"XPKI:A", dllXPKI, ptGost, "A"},
      {"rpki:B", dllRPKI, ptRsa, "B"},  {"ZpKi:C", dllZPKI, ptGost, "C"},
      {"D", dllZPKI, ptGost, "D"},      {"xpki", dllZPKI, ptGost, "xpki"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(TValidataSettings::GetLibType(r.name), r.lib);
    EXPECT_EQ(TValidataSettings::GetPkiType(r.name), r.pki);
    std::string name = r.name;
    EXPECT_EQ(TValidataSettings::FindoutPkiType(name), r.pki);
    EXPECT_EQ(name, r.bare);
  }
  EXPECT_EQ(TValidataSettings::GetPkiPrefix(ptGost), "zpki:");
  EXPECT_EQ(TValidataSettings::GetPkiPrefix(ptRsa), "rpki:");
  EXPECT_EQ(TValidataSettings::GetPkiPrefix(ptNone), "");
}

TEST(ValidataSettings, EnsureProfileExistsFallsBackToCurrentThenFirst) {
  testing::Sandbox box;
  EXPECT_EQ(TValidataSettings::EnsureProfileExists("zpki:A"), "");
  WriteProfiles(dllZPKI, {{"A", "", "", "", ""}, {"B", "", "", "", ""}}, 1);
  WriteProfiles(dllXPKI, {{"X", "", "", "", ""}}, 0);
  struct Row {
    std::string name, want;
  } rows[] = {
      {"zpki:a", "zpki:A"},
      {"A", "zpki:A"},
      {"xpki:X", "xpki:X"},
      {"zpki:Nope", "zpki:B"},
      // Without prefix "X" means zpki:X, which is not there: the GOST current
      // profile (zpki is asked before xpki).
      {"X", "zpki:B"},
  };
  for (const auto& r : rows)
    EXPECT_EQ(TValidataSettings::EnsureProfileExists(r.name), r.want) << r.name;
}

TEST(ValidataSettings, ExtKeyUsageCatalogueReadsValuesByTheirOwnType) {
  testing::Sandbox box;
  TValidataSettings::FreeExtKeyUsageCatalogues();
  const std::string z = TValidataSettings::OIDsKey(dllZPKI);
  auto a = RegistryKey::Create(RegRoot::CurrentUser, z + "clientAuth");
  a->WriteString("OID", "1.3.6.1.5.5.7.3.2");
  a->WriteString("LN", "TLS Web Client Authentication");
  a->WriteString("SN", "clientAuth");
  a->WriteDWord("Asn1Type", 6);
  const std::uint8_t usage[4] = {0x10, 0x02, 0, 0};
  a->WriteBinary("Usage", usage);
  a->WriteString("Value", "v");
  auto b = RegistryKey::Create(RegRoot::CurrentUser, z + "other");
  b->WriteString("OID", "1.2.643.1");
  const std::uint8_t asn1[4] = {5, 0, 0, 0};
  b->WriteBinary("Asn1Type", asn1);
  b->WriteDWord("Usage", 7);
  // The xpki catalogue is not read for GOST: zpki exists and comes first.
  auto x = RegistryKey::Create(RegRoot::CurrentUser,
                               std::string(TValidataSettings::OIDsKey(dllXPKI)) + "x");
  x->WriteString("OID", "9.9");

  auto catalogue = TValidataSettings::ValidataExtKeyUsages(ptGost);
  ASSERT_EQ(catalogue->size(), 2u);
  const auto& ca = catalogue->at("1.3.6.1.5.5.7.3.2");
  EXPECT_EQ(ca.Asn1Type, 6);
  EXPECT_EQ(ca.Usage, 0x210);
  EXPECT_EQ(ca.LongName, "TLS Web Client Authentication");
  EXPECT_EQ(ca.Value, "v");
  EXPECT_EQ(catalogue->at("1.2.643.1").Asn1Type, 5);
  EXPECT_EQ(catalogue->at("1.2.643.1").Usage, 7);

  EXPECT_EQ(TValidataSettings::GetExtKeyUsage(ptGost, "1.3.6.1.5.5.7.3.2"), "clientAuth");
  EXPECT_EQ(TValidataSettings::GetExtKeyUsage(ptGost, "1.3.6.1.5.5.7.3.2", true),
            "TLS Web Client Authentication");
  EXPECT_EQ(TValidataSettings::GetExtKeyUsage(ptGost, "1.2.643.1"),
            "1.2.643.1");  // no name: the OID
  EXPECT_EQ(TValidataSettings::GetExtKeyUsage(ptGost, "9.9"), "9.9");
  EXPECT_EQ(TValidataSettings::GetExtKeyUsages(ptGost, {"1.3.6.1.5.5.7.3.2", "9.9"}, "; "),
            "clientAuth; 9.9");
  EXPECT_TRUE(TValidataSettings::ValidataExtKeyUsages(ptRsa)->empty());
  TValidataSettings::FreeExtKeyUsageCatalogues();
}

}  // namespace
}  // namespace tarvo::cryptotest
