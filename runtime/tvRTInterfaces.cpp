#include "runtime/tvRTInterfaces.h"

#include "host/tvLocale.h"
#include "platform/core/Errors.h"
#include "platform/core/Format.h"

namespace tarvo {

std::string RuntimeText(const TRuntimeText& text) {
  return Translate(text.section, text.key, text.english);
}

std::string RuntimeTextFmt(const TRuntimeText& text, const std::string& arg) {
  return TranslateFmt(text.section, text.key, text.english, {arg});
}

std::string RuntimeSystemMessage(std::uint32_t code) {
  return platform::SysErrorMessage(code);
}

}  // namespace tarvo
