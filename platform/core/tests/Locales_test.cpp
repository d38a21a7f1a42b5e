#include "platform/core/Locales.h"

#include <gtest/gtest.h>

#include <set>

#include "testing/Sandbox.h"

namespace tarvo::platform {
namespace {

using tarvo::testing::Sandbox;

TEST(Locales, WindowsIdsAndEnglishNames) {
  struct Case {
    const char* name;
    std::uint32_t lcid;
    const char* english;
    const char* found;  // the entry the name resolves to
  };
  const Case cases[] = {
      {"ru", 0x0419, "Russian", "ru"},  // a language alone is its default locale, as on Windows
      {"ru_RU", 0x0419, "Russian", "ru_RU"},
      {"ru-RU", 0x0419, "Russian", "ru_RU"},
      {"RU_ru", 0x0419, "Russian", "ru_RU"},
      {"ru_RU.UTF-8@latin", 0x0419, "Russian", "ru_RU"},
      {"uk", 0x0422, "Ukrainian", "uk"},
      {"uk_UA", 0x0422, "Ukrainian", "uk_UA"},
      {"en", 0x0409, "English", "en"},
      {"en_US", 0x0409, "English", "en_US"},
      {"en_GB", 0x0809, "English", "en_GB"},
      {"de_DE", 0x0407, "German", "de_DE"},
      {"kk_KZ", 0x043F, "Kazakh", "kk_KZ"},
      {"es", 0x000A, "Spanish",
       "es"},  // the default locale has sublanguage 3: the neutral id stays
      {"iw_IL", 0x040D, "Hebrew", "he_IL"},  // an old code, through ICU's canonical form
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto info = FindLocale(c.name);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->lcid, c.lcid);
    EXPECT_EQ(info->englishLanguageName, c.english);
    EXPECT_EQ(info->name, c.found);
  }
  for (const char* unknown : {"", "xx_YY", "C", "POSIX.UTF-8", "\xFF"}) {
    SCOPED_TRACE(unknown);
    EXPECT_EQ(FindLocale(unknown), std::nullopt);
  }
  EXPECT_EQ(PrimaryLangId(0x0419), 0x19);
  EXPECT_EQ(SubLangId(0x0419), 1);
  EXPECT_EQ(SubLangId(0x0809), 2);
}

TEST(Locales, KnownLocalesInAStableOrder) {
  const auto& all = KnownLocales();
  ASSERT_GT(all.size(), 100u);
  EXPECT_EQ(&all, &KnownLocales());
  std::set<std::string> seen;
  for (std::size_t i = 0; i < all.size(); ++i) {
    SCOPED_TRACE(all[i].name);
    EXPECT_NE(all[i].lcid, 0u);
    EXPECT_FALSE(all[i].englishLanguageName.empty());
    EXPECT_TRUE(seen.insert(all[i].name).second) << "listed twice";
    if (i > 0) {
      EXPECT_LT(all[i - 1].name, all[i].name);
    }
  }
}

TEST(Locales, LanguageNamesSelectAPrimaryLocale) {
  // What the translation catalogue does with a language name: the first
  // locale of that language with sublanguage 0 or 1.
  struct Case {
    const char* language;
    std::uint32_t lcid;
  };
  const Case cases[] = {
      {"Russian", 0x0419}, {"russian", 0x0419},    {"UKRAINIAN", 0x0422},  {"English", 0x0409},
      {"German", 0x0407},  {"French", 0x040C},     {"Italian", 0x0410},    {"Polish", 0x0415},
      {"Kazakh", 0x043F},  {"Belarusian", 0x0423}, {"Turkish", 0x041F},    {"Japanese", 0x0411},
      {"Spanish", 0x000A}, {"Chinese", 0x0004},    {"Portuguese", 0x0416}, {"Uzbek", 0x0443},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.language);
    const auto info = FindLocaleByLanguage(c.language);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->lcid, c.lcid);
    EXPECT_LE(SubLangId(info->lcid), 1);
  }
  EXPECT_EQ(FindLocaleByLanguage("Klingonese"), std::nullopt);
  EXPECT_EQ(FindLocaleByLanguage(""), std::nullopt);
}

TEST(Locales, SystemDefaultFromTheEnvironment) {
  struct Case {
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    const char* want;  // locale name, or nullptr for none
  };
  const Case cases[] = {
      {"ru_RU.UTF-8", "uk_UA.UTF-8", "en_US.UTF-8", "ru_RU"},
      {nullptr, "uk_UA.UTF-8", "en_US.UTF-8", "uk_UA"},
      {"", "", "en_US.UTF-8", "en_US"},  // empty counts as unset
      {nullptr, nullptr, "de_DE@euro", "de_DE"},
      {"C", "ru_RU.UTF-8", nullptr, nullptr},  // "C" wins and names no locale
      {"C.UTF-8", nullptr, nullptr, nullptr},
      {nullptr, nullptr, "POSIX", nullptr},
      {nullptr, nullptr, nullptr, nullptr},
      {nullptr, nullptr, "xx_YY.UTF-8", nullptr},
      {nullptr, nullptr, "en_RU.UTF-8", "en"},  // unknown pairing: the language alone
  };
  for (const auto& c : cases) {
    Sandbox box;
    const auto set = [&](const char* name, const char* value) {
      box.SetEnv(name, value ? std::optional<std::string>(value) : std::nullopt);
    };
    set("LC_ALL", c.lcAll);
    set("LC_MESSAGES", c.lcMessages);
    set("LANG", c.lang);
    SCOPED_TRACE(::testing::Message()
                 << (c.lcAll ? c.lcAll : "-") << " " << (c.lcMessages ? c.lcMessages : "-") << " "
                 << (c.lang ? c.lang : "-"));
    const auto info = SystemDefaultLocale();
    if (c.want) {
      ASSERT_TRUE(info.has_value());
      EXPECT_EQ(info->name, c.want);
    } else {
      EXPECT_EQ(info, std::nullopt);
    }
  }
}

}  // namespace
}  // namespace tarvo::platform
