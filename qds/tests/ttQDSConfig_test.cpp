#include <gtest/gtest.h>

#include <string>

#include "qds/ttQDSMisc.h"
#include "testing/Sandbox.h"

namespace tarvo {
namespace {

// Known answers of the scrambling, computed independently from the key table.
const char* const kSecret127 =
    "1B5E200EADC0B2C9AA31091D26B72055AD53221D37B3A22EAEB8F4B43A2721D61A28A039BD6B4DA967C356B19FB318"
    "EC7A6C83C93D"
    "CAF7B941B9D63AA3B9EF259A88D085A5D90F79CC108E9AA30F8D88A53B1CE857EB037451B43D7401B09FF28305EB0B"
    "4482F645956E"
    "DCE103711D7E025B6FFEE94D6F34603B85B84BCB91";
const char* const kCyrillic127 =
    "F06DAB396874FBB109670595B49237A7411E7D02E189A2C0A973091423A97E5CB0432B1E75B3AB2BB0E6FDA92A2E22"
    "941A21A527E3"
    "6250B96EC014B196B606B2737193C03E88F7B044A78833BEA9E626D888D980BB870664DC198DD8A3068896FB3201F8"
    "5EE8417458B1"
    "232A08AD8FFB8047EB02419CA84C887ED5E2417114";

TEST(PasswordScrambling, KnownAnswers) {
  EXPECT_EQ(ScramblePassword("secret", "qds.example", "trader"), kSecret127);
  EXPECT_EQ(ScramblePassword("Пароль 1", "qds.example", ""), kCyrillic127);
  EXPECT_EQ(ScramblePassword("old", "qds.example", "trader", SpecPasswBytes),
            "0757275CE894B2C9AA31");
  // An empty host contributes nothing and must not make the repetition loop.
  EXPECT_EQ(ScramblePassword("abc", "", "x", SpecPasswBytes), "30F46B87FCAC6A428990");

  EXPECT_EQ(UnscramblePassword(kSecret127, "qds.example", "trader"), "secret");
  EXPECT_EQ(UnscramblePassword(kCyrillic127, "qds.example", ""), "Пароль 1");
  EXPECT_EQ(UnscramblePassword("30F46B87FCAC6A428990", "", "x", SpecPasswBytes), "abc");
  EXPECT_EQ(UnscramblePassword(ScramblePassword("  lead", "h", "u"), "h", "u"), "  lead")
      << "blanks at the start belong to the password";
}

TEST(PasswordScrambling, BadInputs) {
  EXPECT_EQ(UnscramblePassword("ABC", "h", "u"), std::nullopt);
  EXPECT_EQ(UnscramblePassword(std::string(254, 'Z'), "h", "u"), std::nullopt);
  EXPECT_THROW(ScramblePassword(std::string(128, 'p'), "h", "u"), EQDSException)
      << "no silent truncation";
  EXPECT_NO_THROW(ScramblePassword(std::string(127, 'p'), "h", "u"));
}

TEST(QDSConfig, Defaults) {
  testing::Sandbox box;
  TQDSConfig c(box.Path("qds.xml"), nullptr);
  EXPECT_FALSE(c.Enabled());
  EXPECT_EQ(c.Host(), Default_QDSHost);
  EXPECT_EQ(c.Port(), 80u);
  EXPECT_EQ(c.Logon(), TQDSLogon::lBasic);
  EXPECT_EQ(c.SpecUser(), "");
  EXPECT_EQ(c.SpecPassw(), "");
  EXPECT_EQ(c.Threads(), 2);
  EXPECT_EQ(c.Passport(), Default_Passport);
  EXPECT_FALSE(c.IgnoreVer());
  EXPECT_EQ(c.MaxFails(), 10);
  EXPECT_EQ(c.Interval(), 15);
  EXPECT_TRUE(c.Caching());
  EXPECT_TRUE(c.Secured());
  EXPECT_FALSE(c.IgnoreCertCN() || c.IgnoreCertDate() || c.IgnoreCertRevocation());
  EXPECT_FALSE(c.LimitBand());
  EXPECT_EQ(c.LmtValue(), 32);
  EXPECT_EQ(c.HistLimit(), 2000000u);
  EXPECT_EQ(c.DefSEIndx(), "TARVOINDEXCF");
  EXPECT_EQ(c.DefTIIndx(), "RGBI");
  EXPECT_TRUE(c.ShowYieldsMBS());
  EXPECT_TRUE(c.ShowIfaxNews());
  EXPECT_EQ(c.ForbiddenBoards, (std::vector<std::string>{"DEPZ", "CBCR", "DPVB"}));
  EXPECT_FALSE(c.Changed());

  TWebServiceConfig base(box.Path("base.xml"));
  EXPECT_EQ(base.Host(), "");
  EXPECT_FALSE(base.Caching());

  // A missing file loads as the defaults.
  c.Load();
  EXPECT_EQ(c.Host(), Default_QDSHost);
  EXPECT_EQ(c.Version(), 1u);
}

TEST(QDSConfig, SettersApplyLimitsAndMarkChanges) {
  testing::Sandbox box;
  TQDSConfig c(box.Path("qds.xml"), nullptr);
  c.SetThreads(2);
  EXPECT_FALSE(c.Changed()) << "an unchanged value is no change";
  c.SetThreads(0);
  EXPECT_EQ(c.Threads(), 1);
  EXPECT_TRUE(c.Changed());
  c.SetMaxFails(3);
  EXPECT_EQ(c.MaxFails(), 10);
  c.SetInterval(1);
  EXPECT_EQ(c.Interval(), 5);
  c.SetInterval(7200);
  EXPECT_EQ(c.Interval(), 3600);
  c.SetHistLimit(5);
  EXPECT_EQ(c.HistLimit(), 1000u);
  c.SetHost("");
  EXPECT_EQ(c.Host(), Default_QDSHost);
  EXPECT_THROW(c.SetSpecPassw(std::string(128, 'x')), EQDSException);
}

const char* const kStored = R"(<?xml version="1.0"?>
<QDS enabled="true" Host="qds.example" Version="1">
  <Authorization Passport="passport.tarvo-trade.example/login" SpecUser="trader" Logon="2"
                 SpecPassw="0757275CE894B2C9AA31"/>
  <Options Port="8080" Threads="0" MaxFails="3" Interval="7200" Caching="false" Secured="0"
           IgnoreCertCN="true" HistLimit="5" ShowIfaxNews="false" LmtValue="64" LimitBand="yes"/>
  <Forbidden><AAA/><BBB/></Forbidden>
</QDS>)";

TEST(QDSConfig, LoadAppliesLimitsLegacyNamesAndOldVersions) {
  testing::Sandbox box;
  const std::string file = box.WriteFile("qds.xml", kStored);
  TQDSConfig c(file, nullptr);
  c.Load();
  EXPECT_TRUE(c.Enabled());
  EXPECT_EQ(c.Host(), "qds.example");
  EXPECT_EQ(c.Passport(), Default_Passport) << "an obsolete passport endpoint is replaced";
  EXPECT_EQ(c.SpecUser(), "trader");
  EXPECT_EQ(c.Logon(), TQDSLogon::lSpecific);
  EXPECT_EQ(c.SpecPassw(), "old")
      << "the older 10-byte attribute is read when the new one is absent";
  EXPECT_EQ(c.Port(), 8080u);
  EXPECT_EQ(c.Threads(), 1);
  EXPECT_EQ(c.MaxFails(), 10);
  EXPECT_EQ(c.Interval(), 3600);
  EXPECT_FALSE(c.Caching());
  EXPECT_FALSE(c.Secured());
  EXPECT_TRUE(c.IgnoreCertCN());
  EXPECT_EQ(c.HistLimit(), 1000u);
  EXPECT_EQ(c.LmtValue(), 64);
  EXPECT_TRUE(c.LimitBand());
  EXPECT_TRUE(c.ShowIfaxNews()) << "forced on below settings version 2";
  EXPECT_EQ(c.ForbiddenBoards, (std::vector<std::string>{"AAA", "BBB"}));
}

TEST(QDSConfig, ObsoleteOrEmptyHostsAndBadValues) {
  testing::Sandbox box;
  const std::string file =
      box.WriteFile("qds.xml", R"(<QDS Host="iss.tarvo-trade.example" Version="2">
                      <Options Port="eighty" Interval="10" ShowIfaxNews="false" Threads="4"/></QDS>)");
  TQDSConfig c(file, nullptr);
  c.Load();
  EXPECT_EQ(c.Host(), Default_QDSHost);
  EXPECT_EQ(c.Port(), 80u) << "an unreadable value takes its default";
  EXPECT_EQ(c.Interval(), 10) << "the readable values around it are kept";
  EXPECT_EQ(c.Threads(), 4);
  EXPECT_FALSE(c.ShowIfaxNews()) << "version 2 keeps the stored choice";

  box.WriteFile("qds.xml", R"(<QDS Host="   "/>)");
  c.Load();
  EXPECT_EQ(c.Host(), Default_QDSHost);

  box.WriteFile("qds.xml", "<QDS><Options Port='1'");
  c.SetThreads(7);
  c.Load();
  EXPECT_EQ(c.Threads(), 2) << "a file that does not parse gives the defaults";
  EXPECT_EQ(c.Port(), 80u);

  box.WriteFile("qds.xml", R"(<Other Host="x"/>)");
  c.Load();
  EXPECT_EQ(c.Host(), Default_QDSHost) << "a file without the QDS root gives the defaults";
}

TEST(QDSConfig, RoundTripThroughXml) {
  testing::Sandbox box;
  const std::string file = box.Path("qds.xml");
  TQDSConfig a(file, nullptr);
  a.SetEnabled(true);
  a.SetHost("qds.round.trip");
  a.SetPort(8443);
  a.SetLogon(TQDSLogon::lSpecific);
  a.SetSpecUser("Трейдер");
  a.SetSpecPassw("p@ss word ✓");
  a.SetThreads(5);
  a.SetPassport("auth.example/authenticate");
  a.SetIgnoreVer(true);
  a.SetMaxFails(20);
  a.SetInterval(60);
  a.SetCaching(false);
  a.SetSecured(false);
  a.SetIgnoreCertCN(true);
  a.SetIgnoreCertDate(true);
  a.SetIgnoreCertRevocation(true);
  a.SetLimitBand(true);
  a.SetLmtValue(128);
  a.SetHistLimit(50000);
  a.SetDefSEIndx("IDX1");
  a.SetDefTIIndx("IDX2");
  a.SetShowYieldsMBS(false);
  a.SetShowIfaxNews(false);
  a.ForbiddenBoards = {"X1", "Y2"};
  a.Save();
  EXPECT_EQ(a.Version(), 2u);

  const std::string xml = *box.ReadFile("qds.xml");
  EXPECT_EQ(xml.find("p@ss"), std::string::npos) << "the password is never stored in clear";
  EXPECT_NE(xml.find("SpecPassword=\""), std::string::npos);

  TQDSConfig b(file, nullptr);
  b.Load();
  EXPECT_TRUE(b.Enabled());
  EXPECT_EQ(b.Host(), "qds.round.trip");
  EXPECT_EQ(b.Port(), 8443u);
  EXPECT_EQ(b.Logon(), TQDSLogon::lSpecific);
  EXPECT_EQ(b.SpecUser(), "Трейдер");
  EXPECT_EQ(b.SpecPassw(), "p@ss word ✓");
  EXPECT_EQ(b.Threads(), 5);
  EXPECT_EQ(b.Passport(), "auth.example/authenticate");
  EXPECT_TRUE(b.IgnoreVer());
  EXPECT_EQ(b.MaxFails(), 20);
  EXPECT_EQ(b.Interval(), 60);
  EXPECT_FALSE(b.Caching());
  EXPECT_FALSE(b.Secured());
  EXPECT_TRUE(b.IgnoreCertCN() && b.IgnoreCertDate() && b.IgnoreCertRevocation());
  EXPECT_TRUE(b.LimitBand());
  EXPECT_EQ(b.LmtValue(), 128);
  EXPECT_EQ(b.HistLimit(), 50000u) << "the history limit survives a save";
  EXPECT_EQ(b.DefSEIndx(), "IDX1");
  EXPECT_EQ(b.DefTIIndx(), "IDX2");
  EXPECT_FALSE(b.ShowYieldsMBS());
  EXPECT_FALSE(b.ShowIfaxNews());
  EXPECT_EQ(b.ForbiddenBoards, (std::vector<std::string>{"X1", "Y2"}));
  EXPECT_EQ(b.Version(), 2u);

  // Defaults of threads and failures are left out of the file; saving twice
  // does not duplicate the forbidden boards.
  b.SetThreads(2);
  b.SetMaxFails(10);
  b.Save();
  b.Save();
  const std::string again = *box.ReadFile("qds.xml");
  EXPECT_EQ(again.find("Threads="), std::string::npos);
  EXPECT_EQ(again.find("MaxFails="), std::string::npos);
  EXPECT_EQ(again.find("<X1"), again.rfind("<X1"));
}

TEST(QDSConfig, GlobalDefaultsSeedAMissingFile) {
  testing::Sandbox box;
  pugi::xml_document globals;
  ASSERT_TRUE(globals.load_string(
      R"(<Globals><QDS enabled="true" Host="corp.qds"><Options Port="81"/></QDS></Globals>)"));
  TQDSConfig c(box.Path("sub/qds.xml"), &globals);
  box.MakeDir("sub");
  c.Load();
  EXPECT_TRUE(c.Enabled());
  EXPECT_EQ(c.Host(), "corp.qds");
  EXPECT_EQ(c.Port(), 81u);
  ASSERT_TRUE(box.ReadFile("sub/qds.xml"));
  EXPECT_NE(box.ReadFile("sub/qds.xml")->find("corp.qds"), std::string::npos);

  // An existing file is not overwritten by the globals.
  box.WriteFile("sub/qds.xml", R"(<QDS Host="mine"/>)");
  c.Load();
  EXPECT_EQ(c.Host(), "mine");

  // Where the new file cannot be written, the globals still apply.
  TQDSConfig elsewhere(box.Path("missing/qds.xml"), &globals);
  elsewhere.Load();
  EXPECT_EQ(elsewhere.Host(), "corp.qds");
  EXPECT_EQ(elsewhere.Port(), 81u);
}

TEST(QDSConfig, BoardGroupsFollowTheTradeEngine) {
  testing::Sandbox box;
  const TQDSTEID saved = QDSTradeEngineID.load();
  for (const auto& [engine, expected] :
       {std::pair{TQDSTEID::eiStock, true}, std::pair{TQDSTEID::eiFutures, false},
        std::pair{TQDSTEID::eiCommodity, false}, std::pair{TQDSTEID::eiCurrency, true}}) {
    QDSTradeEngineID.store(engine);
    TQDSConfig c(box.Path("qds.xml"), nullptr);
    EXPECT_EQ(USE_BOARDGROUPS.load(), expected) << TEIDs[static_cast<int>(engine)];
  }
  QDSTradeEngineID.store(saved);
  USE_BOARDGROUPS.store(true);
}

TEST(QDSConfig, ProduceURLAndAssign) {
  testing::Sandbox box;
  TQDSConfig a(box.Path("a.xml"), nullptr);
  a.SetHost("qds.host");
  a.SetPort(8080);
  a.SetHistLimit(7000);
  const auto url = a.ProduceURL("/qds/securities/#.ext", {1, 2});
  url->SetCtrl(ctrlSecurities, "SBER");
  EXPECT_EQ(url->Port(), 8080u);
  EXPECT_EQ(url->GetAsString(), "qds.host/qds/securities/SBER.json?qds.version=2&qds.meta=off");

  TQDSConfig b(box.Path("b.xml"), nullptr);
  a.AssignTo(b);
  EXPECT_EQ(b.Host(), "qds.host");
  EXPECT_EQ(b.Port(), 8080u);
  EXPECT_EQ(b.HistLimit(), 7000u);
  EXPECT_TRUE(b.Changed());
}

TEST(QDSConfig, SaveFailureIsReported) {
  testing::Sandbox box;
  TQDSConfig c(box.Path("missing/folder/qds.xml"), nullptr);
  EXPECT_THROW(c.Save(), EQDSException);
}

}  // namespace
}  // namespace tarvo
