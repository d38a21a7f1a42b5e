#include "host/tvLocale.h"

#include "platform/core/Locales.h"

namespace tarvo {

bool IsLatinLanguage(const std::string& language) {
  // The same choice of locale as the catalogue makes when the language is set.
  if (const auto locale = platform::FindLocaleByLanguage(language))
    return platform::LikelyScript(locale->name) == "Latn";
  return true;
}

}  // namespace tarvo
