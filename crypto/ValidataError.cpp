#include "crypto/ValidataError.h"

namespace tarvo {

EValidataError::EValidataError(const std::string& message, std::uint32_t errorCode,
                               std::string sourceName, std::string stackTrace)
    : std::runtime_error(message),
      fErrorCode(errorCode),
      fSourceName(std::move(sourceName)),
      fStackTrace(std::move(stackTrace)) {}

std::string EValidataError::StackTrace(std::string_view lineSeparator) const {
  if (lineSeparator.empty() || lineSeparator == "\r\n") return fStackTrace;
  std::string out;
  out.reserve(fStackTrace.size());
  for (std::size_t i = 0; i < fStackTrace.size();) {
    if (fStackTrace.compare(i, 2, "\r\n") == 0) {
      out.append(lineSeparator);
      i += 2;
    } else {
      out.push_back(fStackTrace[i++]);
    }
  }
  return out;
}

}  // namespace tarvo
