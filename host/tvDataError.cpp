#include "host/tvDataError.h"

#include <utility>

namespace tarvo {

namespace {

// The English texts of the layer's errors. Keep them here and nowhere else:
// this table is what the catalogue's section "MdsData" translates.
constexpr std::pair<std::string_view, std::string_view> kTexts[] = {
    {"CannotConvertValue", "Cannot convert value"},
    {"CannotConvertValueTo", "Cannot convert value \"%s\" to %s"},
    {"ColumnNotFound", "Column \"%s\" not found"},
    {"ColumnExists", "Column \"%s\" already exists"},
    {"ColumnNotInTable", "The column does not belong to the record's table"},
    {"BadColumnType", "Column \"%s\": type code %d is not supported"},
    {"BadColumnName", "A column needs a name"},
    {"ValueTooLong", "Column \"%s\" holds at most %d characters"},
    {"KeyViolation", "Key violation: table \"%s\" already holds a record with this key"},
    {"DuplicateKeys", "Table \"%s\" holds records with equal keys; the key cannot be set"},
    {"TableNotFound", "Table \"%s\" not found"},
    {"TableExists", "Table \"%s\" already exists"},
    {"StoreNotFound", "Store \"%s\" not found"},
    {"StoreExists", "Store \"%s\" already exists"},
    {"RecordNotInTable", "The record does not belong to this table"},
    {"RecordNotEditing", "The record is not being edited"},
    {"RecordDeleted", "The record has been deleted"},
    {"BadOrderBy", "Cannot order by \"%s\""},
    {"ViewClosed", "The view is not open"},
    {"ViewNoTable", "The view has no table"},
    {"IndexOutOfRange", "Index %d is out of range (0..%d)"},
    {"BadStream", "The table data is damaged: %s"},
    {"StreamWrite", "The table could not be written"},
    {"StreamColumns", "The stored columns do not match table \"%s\": %s"},
    {"NoCustomType", "Column \"%s\" has no custom type"},
};

}  // namespace

std::string MdsErrorText(std::string_view id) {
  for (const auto& [key, text] : kTexts) {
    if (key == id) return std::string(text);
  }
  return std::string(id);
}

void MdsError(std::string_view id) {
  throw EMdsError(std::string(id), MdsErrorText(id));
}

void MdsError(std::string_view id, const platform::FormatArgs& args) {
  std::string text = MdsErrorText(id);
  std::string message;
  try {
    message = platform::Format(text, args);
  } catch (const platform::EFormatError&) {
    // A translated text that does not fit its arguments must not hide the
    // error being reported: fall back to the bare text.
    message = text;
  }
  throw EMdsError(std::string(id), message);
}

}  // namespace tarvo
