#include <gtest/gtest.h>

#include <string>

#include "qds/ttQDSMisc.h"
#include "testing/Sandbox.h"

namespace tarvo {
namespace {

TEST(QdsURL, TheWorkedExample) {
  TqdsURL url("host/qds/engines/stock/markets/shares/securities/#.ext", 80);
  url.SetCtrl(ctrlSecurities, "SBER");
  url.SetMeta(true);
  url.SetSupportedVer({1, 2});
  url.SetExtension(".json");
  url.SetParam("from", std::string("2024-01-02"));
  EXPECT_EQ(url.GetAsString(),
            "host/qds/engines/stock/markets/shares/securities/"
            "SBER.json?from=2024-01-02&qds.version=2&qds.meta=on");
  EXPECT_EQ(url.GetURN(), "/engines/stock/markets/shares/securities/SBER.json");
}

TEST(QdsURL, ParsingTheTemplate) {
  TqdsURL url(
      "HOST:8443/QDS/History/Engines/#/Markets/#/Dates.ext?qds.meta=on&qds.only=history&debug=full&"
      "qds.version=7&noequals&limit=5",
      80);
  EXPECT_EQ(url.Querry(), "HOST/qds/history");
  EXPECT_EQ(url.Port(), 8443u);
  EXPECT_EQ(url.Controllers(), (std::vector<std::string>{"engines", "markets", "dates.ext"}));
  EXPECT_EQ(url.ControllerValues(), (std::vector<std::string>{"#", "#", ""}));
  EXPECT_EQ(url.Extension(), ".ext");
  EXPECT_TRUE(url.Meta());
  EXPECT_EQ(url.Only(), "history");
  EXPECT_EQ(url.GetDebug(), TqdsDebugMode::idmFull);
  EXPECT_EQ(url.GetParam("LIMIT"), TQDSVariant(std::string("5")));
  EXPECT_TRUE(VarIsNull(url.GetParam("noequals")));
  EXPECT_TRUE(VarIsNull(url.GetParam("qds.version")));

  url.SetCtrl(ctrlEngines, "stock");
  url.SetCtrl(ctrlMarkets, "shares");
  EXPECT_EQ(url.GetAsString(),
            "HOST/qds/history/engines/stock/markets/shares/"
            "dates.ext?limit=5&qds.meta=on&qds.only=history&debug=full");

  TqdsURL noHost("/qds/securities/#.ext", 80);
  EXPECT_EQ(noHost.Querry(), "/qds");
  EXPECT_EQ(noHost.Extension(), ".ext");
  EXPECT_EQ(noHost.GetCtrl(ctrlSecurities), "#.ext");
  EXPECT_EQ(noHost.GetCtrl(ctrlBoards), "");

  TqdsURL xml("host/qds/engines", 80);
  EXPECT_EQ(xml.Extension(), ".xml") << "no controller carries an extension";
  EXPECT_EQ(xml.GetURN(), "/engines.xml");
}

TEST(QdsURL, PercentEncodedTemplateValuesAreDecodedInTheAnsiCodePage) {
  testing::Sandbox box;
  box.SetEnv("TARVO_ANSI_CODEPAGE", "windows-1251");
  TqdsURL url("h/qds/boards/%C0%C1/securities/%41-%42", 80);
  EXPECT_EQ(url.GetCtrl(ctrlBoards), "АБ") << "the bytes C0 C1 in windows-1251";
  EXPECT_EQ(url.GetCtrl(ctrlSecurities), "%41-%42") << "not only %XX groups: kept as it is";
}

TEST(QdsURL, RenderingRules) {
  testing::Sandbox box;
  box.SetEnv("TARVO_ANSI_CODEPAGE", "windows-1251");
  struct Case {
    const char* value;
    const char* path;
  };
  const Case cases[] = {
      {"AB-1", "/securities/%41%42%2D%31.json"},
      {"SBER", "/securities/SBER.json"},
      {"RU000A0JX0J2", "/securities/RU000A0JX0J2.json"},
      {"SU26238_RMFS", "/securities/SU26238_RMFS.json"},
      {"USDEURBASKET", "/securities/USDEUR_BKT.json"},
      {"usdEurBasket", "/securities/USDEUR_BKT.json"},
      {"USDEURBASKET2", "/securities/USDEURBASKET2.json"},
      {"a.b", "/securities/%61%2E%62.json"},
      {"Газ", "/securities/%C3%E0%E7.json"},
      {"a b", "/securities/%61%20%62.json"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    TqdsURL url("/qds/securities/#.ext", 80);
    url.SetExtension(".json");
    url.SetCtrl(ctrlSecurities, c.value);
    EXPECT_EQ(url.GetURN(), c.path);
  }
  // An empty value leaves the controller's name alone; the last piece is cut
  // at its first dot before the extension.
  TqdsURL candles("/qds/engines/#/candles.ext", 80);
  candles.SetCtrl(ctrlEngines, "stock");
  candles.SetExtension(".json");
  EXPECT_EQ(candles.GetAsString(), "/qds/engines/stock/candles.json?qds.meta=off");
}

TEST(QdsURL, ParametersKeepOrderEncodeAmpersandsAndDropEmptyValues) {
  TqdsURL url("h/qds/engines", 80);
  url.SetParam("q", std::string("  a&b&c  "));
  url.SetParam("empty", std::string(""));
  url.SetParam("start", std::int32_t{100});
  url.SetParam("tag", std::string("x#y z"));
  EXPECT_EQ(url.GetParam("q"), TQDSVariant(std::string("a%26b%26c")));
  EXPECT_TRUE(VarIsNull(url.GetParam("empty"))) << "a new name with an empty value adds nothing";
  EXPECT_EQ(url.GetAsString(),
            "h/qds/engines.xml?q=a%26b%26c&start=100&tag=x%23y%20z&qds.meta=off");

  url.SetParam("Q", std::string(""));
  EXPECT_EQ(url.GetParam("q"), TQDSVariant(std::string("")))
      << "the name stays, with an empty value";
  EXPECT_EQ(url.GetAsString(), "h/qds/engines.xml?start=100&tag=x%23y%20z&qds.meta=off");
  url.SetParam("q", std::string("back"));
  EXPECT_EQ(url.GetAsString(), "h/qds/engines.xml?q=back&start=100&tag=x%23y%20z&qds.meta=off")
      << "a name keeps its place";
}

TEST(QdsURL, BoardOrBoardGroup) {
  TqdsURL url("/qds/history/engines/#/markets/#/boardgroups/#|/boards/#/securities/#.ext", 80);
  url.SetCtrl(ctrlBoards, "TQBR");
  EXPECT_EQ(url.Controllers(),
            (std::vector<std::string>{"engines", "markets", "boards", "securities"}));
  url.SetCtrl(ctrlBoardGroups, "57");
  EXPECT_EQ(url.Controllers(),
            (std::vector<std::string>{"engines", "markets", "boardgroups", "securities"}))
      << "the board group takes the board's place";
  EXPECT_EQ(url.GetCtrl(ctrlBoards), "");
  EXPECT_EQ(url.GetCtrl(ctrlBoardGroups), "57");

  TqdsURL plain("/qds/engines/#", 80);
  plain.SetCtrl(ctrlDates, "2024");
  EXPECT_EQ(plain.Controllers(), (std::vector<std::string>{"engines", "dates"}))
      << "missing: appended";
  EXPECT_THROW(plain.SetCtrl(6, "x"), EQDSException);
  EXPECT_THROW(plain.GetCtrl(-1), EQDSException);
}

TEST(QdsURL, UnknownServiceParametersAreRefused) {
  for (const char* tpl :
       {"/qds/engines?qds.metadata=on", "/qds/engines?x=1&qds.=1", "/qds/engines?QDS.Foo=1"}) {
    SCOPED_TRACE(tpl);
    EXPECT_THROW(TqdsURL(tpl, 80), EQDSException);
  }
  try {
    TqdsURL("/qds/engines?qds.metadata=on", 80);
  } catch (const EQDSException& e) {
    EXPECT_STREQ(e.what(), "Unknown QDS param: \"metadata\"");
  }
  EXPECT_THROW(TqdsURL("host:99999/qds", 80), EQDSException);
}

TEST(QdsURL, VersionFollowsTheProcessConfiguration) {
  testing::Sandbox box;
  TQDSConfig config(box.Path("qds.xml"), nullptr);
  QDSSettingsInstance.store(&config);
  TqdsURL url("/qds/engines", 80);
  url.SetSupportedVer({1, 3});
  EXPECT_EQ(url.GetScriptParams(), "qds.version=3&qds.meta=off");
  config.SetIgnoreVer(true);
  EXPECT_EQ(url.GetAsString(), "/qds/engines.xml?qds.meta=off") << "with IgnoreVer no qds.version";
  config.SetIgnoreVer(false);
  url.SetSupportedVer({1, 0});
  EXPECT_EQ(url.GetVersionStr(), "");
  QDSSettingsInstance.store(nullptr);
}

TEST(QdsURL, AssignCopiesTheAddressAndClearsOutdated) {
  TqdsURL source("h:81/qds/engines/#/securities/#.ext?qds.meta=on&x=1&debug=1", 80);
  source.SetCtrl(ctrlSecurities, "SBER");
  source.SetSupportedVer({2, 4});
  TqdsURL copy;
  copy.SetOutdated(true);
  copy.Assign(source);
  EXPECT_FALSE(copy.GetOutdated());
  EXPECT_EQ(copy.Port(), 81u);
  EXPECT_EQ(copy.GetURN(), source.GetURN());
  EXPECT_EQ(copy.GetParam("x"), TQDSVariant(std::string("1")));
  EXPECT_TRUE(copy.Meta());
  EXPECT_EQ(copy.SupportedVer().HighestCompatible, 4);
  EXPECT_EQ(copy.GetDebug(), TqdsDebugMode::idmNone)
      << "the debug mode is not part of an assignment";
}

}  // namespace
}  // namespace tarvo
