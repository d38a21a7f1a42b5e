// The updater's shipped translations: every key of its text table, in natural
// Russian and Ukrainian, taking the same arguments as the English text.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "platform/core/Format.h"
#include "updater/Translate.h"
#include "updater/tuTexts.h"

namespace tarvo {
namespace {

using updater::kTextSection;
using updater::kUpdaterTexts;

// The argument types of a pattern by position ("%s %d %0:s" -> {0:'s', 1:'d'}).
std::map<int, char> ArgumentTypes(std::string_view pattern) {
  std::map<int, char> types;
  int next = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%') continue;
    std::size_t j = i + 1;
    if (j < pattern.size() && pattern[j] == '%') {
      i = j;
      continue;
    }
    int number = -1;
    std::size_t k = j;
    while (k < pattern.size() && isdigit(static_cast<unsigned char>(pattern[k]))) ++k;
    if (k < pattern.size() && pattern[k] == ':' && k > j) {
      number = std::stoi(std::string(pattern.substr(j, k - j)));
      j = k + 1;
    }
    while (j < pattern.size() && (pattern[j] == '-' || pattern[j] == '.' ||
                                  isdigit(static_cast<unsigned char>(pattern[j]))))
      ++j;
    if (j >= pattern.size()) break;
    const int index = number >= 0 ? number : next;
    types[index] = static_cast<char>(tolower(pattern[j]));
    next = index + 1;
    i = j;
  }
  return types;
}

// Arguments that can be told apart in the result: "<A0>", 101, "<A2>", ...
platform::FormatArgs MarkerArguments(const std::map<int, char>& types) {
  platform::FormatArgs args;
  for (const auto& [index, type] : types) {
    if (type == 'd')
      args.emplace_back(101 + index);
    else
      args.emplace_back("<A" + std::to_string(index) + ">");
  }
  return args;
}

class UpdaterTranslations : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    translator_ = TTarvoTranslator::Create<TTarvoResourceTranslator>();
    translator_->SetLanguage(GetParam());
  }
  std::unique_ptr<TTarvoResourceTranslator> translator_;
};

TEST_P(UpdaterTranslations, CoverEveryTextWithTheSameArguments) {
  ASSERT_GE(translator_->FileCount(), 1);
  std::set<std::string> seen;
  for (const auto& text : kUpdaterTexts) {
    SCOPED_TRACE(std::string(text.key));
    seen.insert(std::string(text.key));
    ASSERT_TRUE(translator_->Contains(kTextSection, text.key));
    const std::string translated = translator_->Translate(kTextSection, text.key, "");
    EXPECT_NE(translated, text.english);
    EXPECT_NE(translated.find_first_not_of(" \t\r\n"), std::string::npos);
    // No escape or variable is left unexpanded, and line breaks are CR LF.
    EXPECT_EQ(translated.find('\\'), std::string::npos);
    EXPECT_EQ(translated.find("${"), std::string::npos);
    EXPECT_EQ(std::count(translated.begin(), translated.end(), '\n'),
              std::count(text.english.begin(), text.english.end(), '\n'));

    const auto types = ArgumentTypes(text.english);
    EXPECT_EQ(ArgumentTypes(translated), types);
    const platform::FormatArgs args = MarkerArguments(types);
    std::string formatted;
    ASSERT_NO_THROW(formatted = platform::Format(translated, args));
    const std::string english = platform::Format(text.english, args);
    for (const auto& [index, type] : types) {
      const std::string marker =
          type == 'd' ? std::to_string(101 + index) : "<A" + std::to_string(index) + ">";
      EXPECT_EQ(english.find(marker) != std::string::npos,
                formatted.find(marker) != std::string::npos)
          << marker;
    }
  }
  EXPECT_EQ(seen.size(), kUpdaterTexts.size());  // no key twice in the table
}

INSTANTIATE_TEST_SUITE_P(Languages, UpdaterTranslations, ::testing::Values("Russian", "Ukrainian"));

TEST(UpdaterTranslationsSample, ReadsNaturally) {
  auto t = TTarvoTranslator::Create<TTarvoResourceTranslator>();
  t->SetLanguage("Russian");
  EXPECT_EQ(platform::Format(t->Translate("tvu", "UpdateCaption", ""), {"TARVO Trade"}),
            "Обновление TARVO Trade...");
  EXPECT_EQ(t->Translate("tvu", "FileOpDelete", ""), "удалить");
  t->SetLanguage("Ukrainian");
  EXPECT_EQ(platform::Format(t->Translate("tvu", "RestoreCaption", ""), {"TARVO Trade"}),
            "Відновлення TARVO Trade...");
}

}  // namespace
}  // namespace tarvo
