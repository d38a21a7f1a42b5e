// Locales: the list of locales the system knows, with Windows locale ids.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarvo::platform {

struct LocaleInfo {
  std::uint32_t lcid = 0;           // Windows locale id (language id in the low 16 bits)
  std::string name;                 // ICU/POSIX name, e.g. "ru_RU"
  std::string englishLanguageName;  // e.g. "Russian"
};

// Primary language id (bits 0-9) and sublanguage id (bits 10-15) of an LCID.
inline std::uint16_t PrimaryLangId(std::uint32_t lcid) { return lcid & 0x3FF; }
inline std::uint16_t SubLangId(std::uint32_t lcid) { return (lcid >> 10) & 0x3F; }

// Every locale that has a Windows locale id, in a stable order: by locale name
// (as ICU lists them). The list is built once.
const std::vector<LocaleInfo>& KnownLocales();

// The locale of the user: the first non-empty of LC_ALL, LC_MESSAGES, LANG
// (charset and modifier removed, "C" and "POSIX" mean none), looked up in
// KnownLocales(); nullopt when none is set or it is unknown. Read on every call.
std::optional<LocaleInfo> SystemDefaultLocale();

// Looks a locale up by name ("ru_RU", "ru-RU" and "ru" forms).
std::optional<LocaleInfo> FindLocale(const std::string& name);

}  // namespace tarvo::platform
