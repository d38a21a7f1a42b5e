// The host's localisation library, libtvLocale.so: the translation catalogue
// (updater/Translate.h, built from the same sources as the updater's copy) and
// the host's extras that the libraries call.
#pragma once

#include <string>

#include "updater/Translate.h"

namespace tarvo {

// True when the language, given by its English name as Language() holds it
// ("English", "Russian"), is written in the Latin script. The market-data
// client picks Latin or national column names by it. A language the system
// does not know, and the empty name, count as Latin: English texts are the
// catalogue's defaults.
bool IsLatinLanguage(const std::string& language);

}  // namespace tarvo
