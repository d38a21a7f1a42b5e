// Errors of the data-table layer.
//
// Every failure of libtvData is an EMdsError carrying the identifier of its
// text ("CannotConvertValue", "KeyViolation", ...) and the message shown to the
// user. The English texts live in one table in tvDataError.cpp; MdsErrorText
// is the single place where a translated text will be looked up.
//
// Threads: MdsError and MdsErrorText are pure and may be called on any thread.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/core/Format.h"

namespace tarvo {

class EMdsError : public std::runtime_error {
 public:
  EMdsError(std::string id, const std::string& message)
      : std::runtime_error(message), fId(std::move(id)) {}
  // The identifier of the text, e.g. "CannotConvertValue".
  const std::string& Id() const noexcept { return fId; }

 private:
  std::string fId;
};

// The text of an error identifier; an unknown identifier gives the
// identifier itself, so that nothing is ever shown empty.
std::string MdsErrorText(std::string_view id);

// Raises EMdsError with the text of id, formatted with args when the text
// holds format specifiers ("Column \"%s\" not found").
[[noreturn]] void MdsError(std::string_view id);
[[noreturn]] void MdsError(std::string_view id, const platform::FormatArgs& args);

}  // namespace tarvo
