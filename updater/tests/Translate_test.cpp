#include "updater/Translate.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/core/CodePage.h"
#include "platform/core/Errors.h"
#include "platform/core/Files.h"
#include "platform/core/Resources.h"
#include "testing/Sandbox.h"

namespace tarvo {
namespace {

const std::string kBom = "\xEF\xBB\xBF";

// A file translator over a sandbox folder "lng/", with helpers to write sources.
class FileCatalogue : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = box_.MakeDir("lng");
    translator_ = TTarvoTranslator::Create<TTarvoFileTranslator>();
    Priority().clear();
  }
  void TearDown() override { Priority().clear(); }

  // Writes a UTF-8 source with a byte-order mark under lng/.
  void Source(const std::string& relative, const std::string& text) {
    box_.WriteFile("lng/" + relative, kBom + text);
  }
  // Points the translator at lng/ (listing the sources written so far) and
  // selects the language.
  void Load(const std::string& language = "Russian") {
    translator_->SetFilePath(folder_);
    translator_->SetLanguage(language);
  }
  std::string Tr(const std::string& section, const std::string& ident,
                 const std::string& def = "?") {
    return translator_->Translate(section, ident, def);
  }

  testing::Sandbox box_;
  std::string folder_;
  std::unique_ptr<TTarvoFileTranslator> translator_;
};

// ---------------------------------------------------------------------------
// Escapes and variables

TEST_F(FileCatalogue, ReplacesEscapes) {
  const struct {
    const char* value;
    const char* expected;
  } cases[] = {
      {R"(a\nb)", "a\nb"},
      {R"(a\Nb)", "a\nb"},
      {R"(a\rb\Rc)", "a\rb\rc"},
      {R"(a\tb\Tc)", "a\tb\tc"},
      {R"(\_word\_)", " word "},
      {R"(one\\two)", "one\\two"},
      {R"(\\n)", "\\n"},           // a replaced pair is not scanned again
      {R"(\q\1\$)", "\\q\\1\\$"},  // any other pair stays as two characters
      {R"(end\)", "end\\"},        // a backslash in the last position stays
      {R"(\)", "\\"},
      {R"(Ключ\nЗначение)", "Ключ\nЗначение"},
  };
  for (const auto& c : cases) {
    translator_->Replace("s", "k", c.value);
    EXPECT_EQ(Tr("s", "k"), c.expected) << c.value;
  }
  // Defaults get the same treatment as stored values.
  EXPECT_EQ(Tr("s", "missing", R"(x\ty)"), "x\ty");
}

TEST_F(FileCatalogue, BlankEscapesSurviveTrimmingOfSourceValues) {
  Source("Russian.main.lng", "[s]\nk=  \\_word\\_  \n");
  Load();
  EXPECT_EQ(Tr("s", "k"), " word ");
}

TEST_F(FileCatalogue, ExpandsVariablesWithCaseAdaptationAndTheBlankRule) {
  translator_->Replace("Variables", "product", "trade");
  translator_->Replace("Variables", "cyr", "торговля");
  translator_->Replace("Variables", "empty", "");
  translator_->Replace("Variables", "raw", R"(x\ny ${product})");
  const struct {
    const char* value;
    const char* expected;
  } cases[] = {
      {"${product}", "trade"},
      {"${Product}", "Trade"},
      {"${PRODUCT}", "TRADE"},
      {"${PrODUCT}", "Trade"},
      {"${ product }", "trade"},  // the name is trimmed
      {"${Cyr}", "Торговля"},
      {"${CYR}", "ТОРГОВЛЯ"},
      {"Buy ${product} now, ${product}!", "Buy trade now, trade!"},
      {"a ${empty} b", "a b"},  // the blank before goes with the empty value
      {"${empty} b", "b"},      // else the blank after
      {"a ${empty}", "a"},
      {"a${empty}b", "ab"},
      {"a  ${empty}  b", "a   b"},  // only one blank goes
      {"$product {product}", "$product {product}"},
      {"$${product}", "$trade"},
      {"\\_${product}\\_", " trade "},  // escapes are replaced first
      {"${raw}", "x\\ny ${product}"},   // values are not expanded again
      {"100$ {x}", "100$ {x}"},
  };
  for (const auto& c : cases) {
    translator_->Replace("s", "k", c.value);
    EXPECT_EQ(Tr("s", "k"), c.expected) << c.value;
  }
}

TEST_F(FileCatalogue, WrongVariablesLeaveTheTextUnexpandedAndSayWhy) {
  translator_->Replace("Variables", "product", "trade");
  const struct {
    const char* value;
    const char* expected;
    const char* message;
  } cases[] = {
      {"Get ${undefined} now", "Get ${undefined} now",
       "Unknown variable in translation: \"undefined\""},
      {"${UNDEFINED} and ${product}", "${UNDEFINED} and ${product}",
       "Unknown variable in translation: \"UNDEFINED\""},
      {"${product} and ${product", "${product} and ${product",
       "Wrong variable name syntax in translation: \"${product\""},
      {"x ${  } y", "x ${  } y", "Empty variable name in translation: \"${  }\""},
      {"${a${b}", "${a${b}", "Unknown variable in translation: \"a${b\""},
      {"tab\\t${bad}", "tab\t${bad}", "Unknown variable in translation: \"bad\""},
  };
  for (const auto& c : cases) {
    translator_->Replace("Sec", "Id", c.value);
    EXPECT_EQ(Tr("Sec", "Id"), c.expected) << c.value;
    std::string result, error;
    EXPECT_FALSE(translator_->TryTranslate("Sec", "Id", "", result, &error));
    EXPECT_EQ(result, c.expected);
    EXPECT_EQ(error, std::string(c.message) + "\r\n(Sec\\Id)");
  }
  // A variable defined as "$undef$" counts as undefined.
  translator_->Replace("Variables", "marker", "$undef$");
  translator_->Replace("s", "k", "${marker}");
  EXPECT_EQ(Tr("s", "k"), "${marker}");
}

// ---------------------------------------------------------------------------
// Sources and languages

TEST_F(FileCatalogue, LaterSourceWinsAndPriorityLoadsFirst) {
  Source("Russian.alpha.lng", "[s]\nk=alpha\nonlyAlpha=1\n");
  Source("Russian.beta.lng", "[S]\nK=beta\n");
  Load();
  EXPECT_EQ(translator_->FileCount(), 2);
  EXPECT_EQ(Tr("s", "k"), "beta");  // sorted by name: beta loads last
  EXPECT_EQ(Tr("s", "onlyAlpha"), "1");

  // A source named in the priority list loads first and so loses.
  Priority() = {"BETA"};
  translator_->Update();
  EXPECT_EQ(Tr("s", "k"), "alpha");
  // Names that match no source are passed over.
  Priority() = {"gamma", "alpha", "beta"};
  translator_->Update();
  EXPECT_EQ(Tr("s", "k"), "beta");
}

TEST_F(FileCatalogue, ListsSourcesRecursivelyInAStableOrder) {
  Source("Russian.top.lng", "[s]\nk=top\n");
  Source("sub/Russian.nested.lng", "[s]\nk=nested\n");
  Source("sub/deeper/Russian.deepest.lng", "[s]\ndeep=yes\n");
  Source("Russian.lng", "[s]\nk=one dot only\n");
  Source("Russian.x.txt", "[s]\nk=wrong extension\n");
  Source("English.top.lng", "[s]\nk=english\n");
  // Links back to a parent are not followed (two of them would make the walk
  // exponential in the depth).
  std::filesystem::create_directory_symlink("..", box_.Path("lng/sub/up1"));
  std::filesystem::create_directory_symlink("..", box_.Path("lng/sub/up2"));
  Load();
  EXPECT_EQ(translator_->FileCount(), 3);
  // Files of a folder come before its subfolders, so the nested one wins.
  EXPECT_EQ(Tr("s", "k"), "nested");
  EXPECT_EQ(Tr("s", "deep"), "yes");

  std::vector<std::string> names;
  for (const TTranslateSource& s : translator_->FileList())
    if (s.name.rfind(folder_, 0) == 0) names.push_back(s.name.substr(folder_.size() + 1));
  EXPECT_EQ(names,
            (std::vector<std::string>{"English.top.lng", "Russian.top.lng",
                                      "sub/Russian.nested.lng", "sub/deeper/Russian.deepest.lng"}));
  EXPECT_EQ(translator_->Enumerate(), (std::vector<std::string>{"English", "Russian"}));
}

TEST_F(FileCatalogue, LanguageSelection) {
  Source("Russian.main.lng", "[s]\nk=русский\n");
  Source("Ukrainian.main.lng", "[s]\nk=українська\n");
  Load();
  EXPECT_EQ(translator_->Language(), "Russian");
  EXPECT_EQ(translator_->LocaleId() & 0xFFFF, 0x0419u);
  EXPECT_EQ(Tr("s", "k"), "русский");

  // A language the system does not know changes nothing.
  translator_->SetLanguage("Klingon");
  EXPECT_EQ(translator_->Language(), "Russian");
  EXPECT_EQ(Tr("s", "k"), "русский");

  translator_->SetLanguage("ukrainian");
  EXPECT_EQ(translator_->Language(), "ukrainian");  // kept as given
  EXPECT_EQ(translator_->LocaleId() & 0xFFFF, 0x0422u);
  EXPECT_EQ(Tr("s", "k"), "українська");

  // The same name reloads only when it differs in letter case.
  Source("Ukrainian.main.lng", "[s]\nk=змінено\n");
  translator_->SetLanguage("ukrainian");
  EXPECT_EQ(Tr("s", "k"), "українська");
  translator_->SetLanguage("UKRAINIAN");
  EXPECT_EQ(translator_->Language(), "UKRAINIAN");
  EXPECT_EQ(Tr("s", "k"), "змінено");

  // A known language without sources leaves an empty catalogue.
  translator_->SetLanguage("German");
  EXPECT_EQ(translator_->Language(), "German");
  EXPECT_EQ(translator_->FileCount(), 0);
  EXPECT_EQ(Tr("s", "k", "default"), "default");
}

TEST_F(FileCatalogue, ReadsEveryEncoding) {
  box_.SetEnv("TARVO_ANSI_CODEPAGE", "windows-1251");
  const std::string text = "[s]\nutf16le=Привет\n";
  box_.WriteFile("lng/Russian.a.lng",
                 platform::EncodeText(text, platform::TextEncoding::Utf16LE, true));
  box_.WriteFile("lng/Russian.b.lng", platform::EncodeText("[s]\r\nutf16be=Мир\r\n",
                                                           platform::TextEncoding::Utf16BE, true));
  // No mark: the system ANSI code page ("Ответ" in windows-1251).
  box_.WriteFile("lng/Russian.c.lng", "[s]\rcp1251=\xCE\xF2\xE2\xE5\xF2\r");
  box_.WriteFile("lng/Russian.d.lng", kBom + "[s]\r\nutf8=Да\r\n");
  Load();
  EXPECT_EQ(translator_->FileCount(), 4);
  EXPECT_EQ(Tr("s", "utf16le"), "Привет");
  EXPECT_EQ(Tr("s", "utf16be"), "Мир");
  EXPECT_EQ(Tr("s", "cp1251"), "Ответ");
  EXPECT_EQ(Tr("s", "utf8"), "Да");
}

TEST_F(FileCatalogue, AnUnreadableSourceIsSkipped) {
  Source("Russian.a.lng", "[s]\nk=a\nfromA=yes\n");
  Source("Russian.b.lng", "[s]\nk=b\n");
  Source("Russian.c.lng", "[s]\nfromC=yes\n");
  platform::FaultInjection::Add("*/Russian.b.lng", platform::FileOp::Any,
                                platform::ERROR_ACCESS_DENIED);
  Load();
  EXPECT_EQ(translator_->FileCount(), 2);
  EXPECT_EQ(Tr("s", "k"), "a");
  EXPECT_EQ(Tr("s", "fromA"), "yes");
  EXPECT_EQ(Tr("s", "fromC"), "yes");

  // A source that vanished after it was listed is skipped the same way.
  platform::FaultInjection::Clear();
  ASSERT_TRUE(platform::DeleteFile(folder_ + "/Russian.c.lng"));
  translator_->Update();
  EXPECT_EQ(translator_->FileCount(), 2);
  EXPECT_EQ(Tr("s", "k"), "b");
  EXPECT_EQ(Tr("s", "fromC", "gone"), "gone");
}

TEST_F(FileCatalogue, ABrokenSourceDoesNotStopTheOthers) {
  // Binary junk and a lone UTF-16 byte decode to text that has no keys.
  box_.WriteFile("lng/Russian.a.lng", std::string("\xFF\xFE\x00", 3));
  box_.WriteFile("lng/Russian.b.lng", std::string("\x00\x01\x02[s]\x00=\xFF\n", 11));
  Source("Russian.c.lng", "[s]\nk=ok\n");
  Load();
  EXPECT_EQ(Tr("s", "k"), "ok");
}

TEST_F(FileCatalogue, FilePathAppendsSourcesOfAnExistingFolder) {
  Source("Russian.a.lng", "[s]\nk=first folder\n");
  Load();
  const std::size_t listed = translator_->FileList().size();

  translator_->SetFilePath(box_.Path("missing"));  // ignored
  EXPECT_EQ(translator_->FilePath(), folder_ + "/");
  EXPECT_EQ(translator_->FileList().size(), listed);

  box_.WriteFile("other/Russian.z.lng", kBom + "[s]\nk=second folder\n");
  translator_->SetFilePath(box_.Path("other"));
  EXPECT_EQ(translator_->FilePath(), box_.Path("other/"));
  EXPECT_EQ(translator_->FileList().size(), listed + 1);
  EXPECT_EQ(translator_->FileCount(), 2);
  EXPECT_EQ(Tr("s", "k"), "second folder");
}

TEST(TranslateFmt, FallsBackToTheDefaultWhenTheTranslationDoesNotFit) {
  testing::Sandbox box;
  FreeTranslator();
  Translator().Replace("tvu", "good", "Ошибка %d: %s.");
  Translator().Replace("tvu", "swapped", "Ошибка %s: %d.");
  Translator().Replace("tvu", "more", "Ошибка %s %s %s");
  Translator().Replace("Variables", "what", "error");
  const platform::FormatArgs args{5, "Access is denied"};
  EXPECT_EQ(TranslateFmt("tvu", "good", "Error %d: %s.", args), "Ошибка 5: Access is denied.");
  EXPECT_EQ(TranslateFmt("tvu", "swapped", "Error %d: %s.", args), "Error 5: Access is denied.");
  EXPECT_EQ(TranslateFmt("tvu", "more", "Error %d: %s.", args), "Error 5: Access is denied.");
  // The default gets its escapes and variables as a translation would.
  EXPECT_EQ(TranslateFmt("tvu", "swapped", "${What} %d:\\_%s", args), "Error 5: Access is denied");
  // Only a default that does not fit is the caller's own fault.
  EXPECT_THROW(TranslateFmt("tvu", "absent", "Error %d: %d.", args), platform::EFormatError);
  FreeTranslator();
}

// ---------------------------------------------------------------------------
// Resource sources

const unsigned char kRussianTest[] = "\xEF\xBB\xBF[test]\r\nhello=Привет\r\nsource=test\r\n";
const unsigned char kRussianExtra[] = "[test]\nsource=extra\n";
const unsigned char kOneUnderscore[] = "[test]\nhello=not a source\n";
const unsigned char kGerman[] = "[test]\nhello=Hallo\n";

const platform::ResourceRegistration kTestResources(
    "translate_test_resources", {
                                    {"RUSSIAN_TEST_LNG", kRussianTest, sizeof(kRussianTest) - 1},
                                    {"russian_extra_lng", kRussianExtra, sizeof(kRussianExtra) - 1},
                                    {"RUSSIAN_LNG", kOneUnderscore, sizeof(kOneUnderscore) - 1},
                                    {"GERMAN_TEST_LNG", kGerman, sizeof(kGerman) - 1},
                                    {"RUSSIAN_TEST_TXT", kGerman, sizeof(kGerman) - 1},
                                });

class ResourceCatalogue : public ::testing::Test {
 protected:
  void SetUp() override {
    TTarvoResourceTranslator::ClearResources();
    Priority().clear();
  }
  void TearDown() override {
    TTarvoResourceTranslator::ClearResources();
    FreeTranslator();
    SetTranslatorClass(nullptr);
  }
  testing::Sandbox box_;
};

TEST_F(ResourceCatalogue, ListsEveryLngResourceOfEveryModule) {
  auto t = TTarvoTranslator::Create<TTarvoResourceTranslator>();
  std::vector<std::string> mine;
  for (const TTranslateSource& s : t->FileList()) {
    if (s.tag == kTestResources.Handle()) mine.push_back(s.name);
  }
  EXPECT_EQ(mine, (std::vector<std::string>{"RUSSIAN_TEST_LNG", "russian_extra_lng", "RUSSIAN_LNG",
                                            "GERMAN_TEST_LNG"}));
  t->SetLanguage("Russian");
  EXPECT_EQ(t->Translate("test", "hello", "?"), "Привет");
  EXPECT_EQ(t->Translate("test", "source", "?"), "extra");  // listed later
  t->SetLanguage("German");
  EXPECT_EQ(t->Translate("test", "hello", "?"), "Hallo");
}

TEST_F(ResourceCatalogue, RegisteredResourcesReplaceTheSearch) {
  TTarvoResourceTranslator::AddResource(kTestResources.Handle(), "RUSSIAN_TEST_LNG");
  // A registered resource that does not exist is skipped when loading.
  TTarvoResourceTranslator::AddResource(kTestResources.Handle(), "RUSSIAN_MISSING_LNG");
  auto t = TTarvoTranslator::Create<TTarvoResourceTranslator>();
  ASSERT_EQ(t->FileList().size(), 2u);
  t->SetLanguage("Russian");
  EXPECT_EQ(t->FileCount(), 1);
  EXPECT_EQ(t->Translate("test", "source", "?"), "test");
}

TEST_F(ResourceCatalogue, TranslatorStartsInTheSystemLanguage) {
  SetTranslatorClass(&CreateTranslatorOf<TTarvoResourceTranslator>);
  box_.SetEnv("LC_ALL", std::nullopt);
  box_.SetEnv("LC_MESSAGES", std::nullopt);
  box_.SetEnv("LANG", "ru_RU.UTF-8");
  EXPECT_EQ(Language(), "Russian");
  EXPECT_EQ(Translate("test", "hello", "Hello"), "Привет");
  EXPECT_EQ(&Translator(), &Translator());

  // LC_ALL wins over LANG; a language without sources falls back to English.
  FreeTranslator();
  box_.SetEnv("LC_ALL", "fr_FR.UTF-8");
  EXPECT_EQ(Language(), "English");
  EXPECT_EQ(Translate("test", "hello", "Hello"), "Hello");

  // No locale at all: English.
  FreeTranslator();
  box_.SetEnv("LC_ALL", std::nullopt);
  box_.SetEnv("LANG", std::nullopt);
  EXPECT_EQ(Language(), "English");
}

}  // namespace
}  // namespace tarvo
