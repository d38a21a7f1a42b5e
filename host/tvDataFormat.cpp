// Display texts of date and time cells. Kept apart from the other sources so
// that the locale's date formats are the only thing this unit depends on.
#include <string>

#include "host/tvDataTypes.h"
#include "platform/core/DateTime.h"

namespace tarvo::detail {

std::string FormatDisplayDate(int type, double value) {
  switch (type) {
    case mtcDate:
      return platform::FormatDateTime("ddddd", value);
    case mtcTime:
      return platform::FormatDateTime("tt", value);
    default:
      return platform::FormatDateTime("c", value);
  }
}

}  // namespace tarvo::detail
