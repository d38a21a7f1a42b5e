// EValidataError: every failure of the crypto wrapper.
//
// Carries the message shown to a user, ErrorCode (the vendor library's status,
// a system error code for load failures, or the small wrapper codes 1..7),
// SourceName (the library entry or wrapper operation that failed) and the
// library's error stack as text, lines joined with CR LF.
//
// A message or a stack trace never carries a PIN or password: the wrapper
// builds them only from library texts, statuses, entry names and paths.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tarvo {

class EValidataError : public std::runtime_error {
 public:
  EValidataError(const std::string& message, std::uint32_t errorCode, std::string sourceName = {},
                 std::string stackTrace = {});

  std::uint32_t ErrorCode() const noexcept { return fErrorCode; }
  const std::string& SourceName() const noexcept { return fSourceName; }
  // The stack with every CR LF replaced by lineSeparator when that is given
  // and is not CR LF itself; the raw stack otherwise.
  std::string StackTrace(std::string_view lineSeparator = {}) const;

 private:
  std::uint32_t fErrorCode;
  std::string fSourceName;
  std::string fStackTrace;
};

// A failure to load or bind the vendor library (a system error: ErrorCode is
// the Windows error code). Kept apart so that a caller can tell "the library
// is not installed" from a failing operation.
class EVcertLoadError : public EValidataError {
 public:
  using EValidataError::EValidataError;
};

}  // namespace tarvo
