// Locales: the list of locales the system knows, with Windows locale ids.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::platform {

struct LocaleInfo {
  std::uint32_t lcid = 0;           // Windows locale id (language id in the low 16 bits)
  std::string name;                 // ICU/POSIX name, e.g. "ru_RU"
  std::string englishLanguageName;  // e.g. "Russian"
};

// Primary language id (bits 0-9) and sublanguage id (bits 10-15) of an LCID.
inline std::uint16_t PrimaryLangId(std::uint32_t lcid) {
  return lcid & 0x3FF;
}
inline std::uint16_t SubLangId(std::uint32_t lcid) {
  return (lcid >> 10) & 0x3F;
}

// Every locale that has a Windows locale id, in a stable order: by locale name
// (byte order, as ICU lists them). The list is built once, thread-safely, and
// never changes afterwards.
//
// A language-only locale stands for its language the way Windows names one:
// by the id of the language's default locale when that has sublanguage 1
// ("ru" 0x0419, "en" 0x0409, "uk" 0x0422), else by the language-neutral id
// (sublanguage 0: "es" 0x000A). So every common language has an entry with
// sublanguage 0 or 1, which is what FindLocaleByLanguage looks for.
const std::vector<LocaleInfo>& KnownLocales();

// The locale of the user: the first non-empty of LC_ALL, LC_MESSAGES, LANG
// (charset and modifier removed, "C" and "POSIX" mean none), looked up in
// KnownLocales(); a country ICU does not know with that language ("en_RU")
// falls back to the language alone. nullopt when none is set or it is
// unknown. Read on every call.
std::optional<LocaleInfo> SystemDefaultLocale();

// Looks a locale up by name ("ru_RU", "ru-RU" and "ru" forms, letter case
// ignored, charset and modifier ignored, old and alias forms such as "iw_IL"
// through ICU's canonical and likely forms).
std::optional<LocaleInfo> FindLocale(const std::string& name);

// The first locale in KnownLocales() order whose English language name equals
// englishName ignoring case and whose sublanguage id is 0 or 1: how the
// translation catalogue turns a language name ("Russian") into a locale.
std::optional<LocaleInfo> FindLocaleByLanguage(std::string_view englishName);

}  // namespace tarvo::platform

namespace tarvo::platform {

// The script a locale's language is most likely written in, as an ISO 15924
// code ("Latn", "Cyrl", "Grek", "Jpan", ...), from ICU's likely-subtags data;
// empty when ICU cannot tell.
std::string LikelyScript(const std::string& localeName);

}  // namespace tarvo::platform
