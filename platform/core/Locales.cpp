#include "platform/core/Locales.h"

#include <unicode/uchar.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cstdlib>

namespace tarvo::platform {

namespace {

char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

bool SameAsciiText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

std::u16string ToUtf16(std::string_view s) {
  std::u16string out(s.size() + 1, u'\0');
  int32_t len = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &len, s.data(),
                       static_cast<int32_t>(s.size()), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) return std::u16string();
  out.resize(static_cast<std::size_t>(len));
  return out;
}

// Language names ignoring case: "Norwegian Bokmål" matches "NORWEGIAN BOKMÅL".
bool SameLanguageName(std::string_view a, std::string_view b) {
  if (SameAsciiText(a, b)) return true;
  if (a.size() > 1024 || b.size() > 1024) return false;
  const std::u16string x = ToUtf16(a), y = ToUtf16(b);
  UErrorCode status = U_ZERO_ERROR;
  return u_strCaseCompare(x.data(), static_cast<int32_t>(x.size()), y.data(),
                          static_cast<int32_t>(y.size()), U_FOLD_CASE_DEFAULT, &status) == 0 &&
         U_SUCCESS(status);
}

std::string EnglishLanguageName(const char* locale) {
  UErrorCode status = U_ZERO_ERROR;
  UChar name[128];
  const int32_t n = uloc_getDisplayLanguage(locale, "en", name, 128, &status);
  if (U_FAILURE(status) || n <= 0 || n >= 128) return std::string();
  char utf8[512];
  int32_t len = 0;
  status = U_ZERO_ERROR;
  u_strToUTF8(utf8, sizeof utf8, &len, name, n, &status);
  if (U_FAILURE(status) || len < 0 || len >= static_cast<int32_t>(sizeof utf8))
    return std::string();
  return std::string(utf8, static_cast<std::size_t>(len));
}

// The Windows id of a locale. ICU gives a language-only locale ("ru") the
// language-neutral id (0x0019, sublanguage 0); Windows names a language by its
// default locale instead (0x0419 Russian - Russia, sublanguage 1), and the
// translation catalogue and the message boxes expect that id. So a
// language-only locale takes the id of its likely full form ("ru" ->
// "ru_Cyrl_RU", or "ru_RU") when that is the same language with sublanguage 1; otherwise
// (Spanish, Chinese, ...) it keeps the neutral id.
std::uint32_t LcidOf(const char* name) {
  const std::uint32_t base = uloc_getLCID(name);
  if (std::string_view(name).find('_') != std::string_view::npos) return base;
  char likely[ULOC_FULLNAME_CAPACITY];
  UErrorCode status = U_ZERO_ERROR;
  uloc_addLikelySubtags(name, likely, sizeof likely, &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING) return base;
  std::vector<std::string> candidates{likely};
  // ICU knows most ids without the script ("ru_RU", not "ru_Cyrl_RU").
  char country[ULOC_COUNTRY_CAPACITY];
  status = U_ZERO_ERROR;
  const int32_t n = uloc_getCountry(likely, country, sizeof country, &status);
  if (U_SUCCESS(status) && n > 0 && n < ULOC_COUNTRY_CAPACITY)
    candidates.push_back(std::string(name) + "_" +
                         std::string(country, static_cast<std::size_t>(n)));
  for (const std::string& candidate : candidates) {
    const std::uint32_t full = uloc_getLCID(candidate.c_str());
    if (full == 0) continue;
    if (base == 0) return full;
    if (PrimaryLangId(full) == PrimaryLangId(base) && SubLangId(full) == 1) return full;
  }
  return base;
}

std::vector<LocaleInfo> BuildKnownLocales() {
  std::vector<LocaleInfo> out;
  const int32_t count = uloc_countAvailable();
  out.reserve(static_cast<std::size_t>(count > 0 ? count : 0));
  for (int32_t i = 0; i < count; ++i) {
    const char* name = uloc_getAvailable(i);
    if (!name || !*name) continue;
    const std::uint32_t lcid = LcidOf(name);
    if (lcid == 0) continue;
    std::string english = EnglishLanguageName(name);
    if (english.empty()) continue;
    out.push_back({lcid, name, std::move(english)});
  }
  // ICU lists by name already; sorting makes the order independent of that.
  std::stable_sort(out.begin(), out.end(),
                   [](const LocaleInfo& a, const LocaleInfo& b) { return a.name < b.name; });
  return out;
}

// "ru_RU.UTF-8@euro" -> "ru_RU"; "ru-RU" -> "ru_RU".
std::string NormalizedName(std::string_view name) {
  std::string out(name.substr(0, name.find_first_of(".@")));
  std::replace(out.begin(), out.end(), '-', '_');
  return out;
}

const LocaleInfo* FindExact(std::string_view name) {
  for (const LocaleInfo& info : KnownLocales())
    if (SameAsciiText(info.name, name)) return &info;
  return nullptr;
}

}  // namespace

const std::vector<LocaleInfo>& KnownLocales() {
  static const std::vector<LocaleInfo> locales = BuildKnownLocales();
  return locales;
}

std::optional<LocaleInfo> FindLocale(const std::string& name) {
  const std::string normalized = NormalizedName(name);
  // ICU would take "C" for en_US_POSIX; here it names no locale at all.
  if (normalized.empty() || normalized == "C" || normalized == "POSIX") return std::nullopt;
  if (const LocaleInfo* info = FindExact(normalized)) return *info;
  // Old or alias forms: through a language tag "iw_IL" becomes "he_IL"; the
  // likely form turns "sr_RS" into "sr_Cyrl_RS".
  char tag[ULOC_FULLNAME_CAPACITY];
  char canonical[ULOC_FULLNAME_CAPACITY];
  UErrorCode status = U_ZERO_ERROR;
  uloc_toLanguageTag(normalized.c_str(), tag, sizeof tag, false, &status);
  int32_t parsed = 0;
  if (U_SUCCESS(status) && status != U_STRING_NOT_TERMINATED_WARNING) {
    uloc_forLanguageTag(tag, canonical, sizeof canonical, &parsed, &status);
    if (U_SUCCESS(status) && status != U_STRING_NOT_TERMINATED_WARNING && *canonical) {
      if (const LocaleInfo* info = FindExact(canonical)) return *info;
      char likely[ULOC_FULLNAME_CAPACITY];
      uloc_addLikelySubtags(canonical, likely, sizeof likely, &status);
      if (U_SUCCESS(status) && status != U_STRING_NOT_TERMINATED_WARNING)
        if (const LocaleInfo* info = FindExact(likely)) return *info;
    }
  }
  return std::nullopt;
}

std::optional<LocaleInfo> FindLocaleByLanguage(std::string_view englishName) {
  for (const LocaleInfo& info : KnownLocales())
    if (SubLangId(info.lcid) <= 1 && SameLanguageName(info.englishLanguageName, englishName))
      return info;
  return std::nullopt;
}

std::optional<LocaleInfo> SystemDefaultLocale() {
  std::string value;
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(variable);
    if (v && *v) {
      value = v;
      break;
    }
  }
  const std::string name = NormalizedName(value);
  if (name.empty() || name == "C" || name == "POSIX") return std::nullopt;
  if (auto info = FindLocale(name)) return info;
  // A country ICU does not pair with the language ("en_RU"): the language alone.
  const std::string language = name.substr(0, name.find('_'));
  if (language != name) return FindLocale(language);
  return std::nullopt;
}

}  // namespace tarvo::platform

namespace tarvo::platform {

std::string LikelyScript(const std::string& localeName) {
  UErrorCode status = U_ZERO_ERROR;
  char maximized[ULOC_FULLNAME_CAPACITY] = {};
  uloc_addLikelySubtags(localeName.c_str(), maximized, sizeof(maximized) - 1, &status);
  if (U_FAILURE(status)) return {};
  char script[ULOC_SCRIPT_CAPACITY] = {};
  status = U_ZERO_ERROR;
  const int32_t n = uloc_getScript(maximized, script, sizeof(script) - 1, &status);
  if (U_FAILURE(status) || n <= 0) return {};
  return std::string(script, static_cast<std::size_t>(n));
}

}  // namespace tarvo::platform
