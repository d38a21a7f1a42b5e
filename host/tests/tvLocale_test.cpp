#include "host/tvLocale.h"

#include <gtest/gtest.h>

#include "testing/Sandbox.h"

namespace tarvo {
namespace {

TEST(IsLatinLanguage, TellsTheScriptOfALanguage) {
  const struct {
    const char* language;
    bool latin;
  } cases[] = {
      {"English", true}, {"german", true},    {"Russian", false}, {"UKRAINIAN", false},
      {"Greek", false},  {"Japanese", false}, {"Kazakh", false},  {"Uzbek", true},
      {"", true},        {"Klingon", true},
  };
  for (const auto& c : cases) EXPECT_EQ(IsLatinLanguage(c.language), c.latin) << c.language;
}

// The libraries reach the one catalogue through this library.
TEST(tvLocale, ServesTheProcessWideCatalogue) {
  testing::Sandbox box;
  box.WriteFile("lng/Russian.web.lng", "\xEF\xBB\xBF[WebData]\nTitle=Данные\n");
  FreeTranslator();
  auto& t = dynamic_cast<TTarvoFileTranslator&>(Translator());
  t.SetFilePath(box.Path("lng"));
  t.SetLanguage("Russian");
  EXPECT_EQ(Language(), "Russian");
  EXPECT_FALSE(IsLatinLanguage(Language()));
  EXPECT_EQ(Translate("WebData", "Title", "Data"), "Данные");
  FreeTranslator();
}

}  // namespace
}  // namespace tarvo
