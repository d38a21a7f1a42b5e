#include "runtime/tvRTInterfaces.h"

#include <cstdint>

#include "host/tvLocale.h"
#include "platform/Errors.h"
#include "platform/Format.h"

namespace tarvo {

std::string RuntimeText(const TRuntimeText& text) {
  return Translate(text.section, text.key, text.english);
}

std::string RuntimeTextFmt(const TRuntimeText& text, const std::string& arg) {
  return TranslateFmt(text.section, text.key, text.english, {arg});
}

namespace {

// Setup programs report their outcome in Windows Installer codes. The
// platform's table does not know them all, and an exit code shown as
// "Unknown error 0x643" tells the user nothing.
struct InstallerText {
  std::uint32_t code;
  const char* text;
};
constexpr InstallerText kInstallerTexts[] = {
    {1602, "User cancelled installation"},
    {1603, "Fatal error during installation"},
    {1618,
     "Another installation is already in progress. Complete that installation before proceeding "
     "with this install"},
    {1619,
     "This installation package could not be opened. Verify that the package exists and that you "
     "can access it, or contact the application vendor to verify that this is a valid Windows "
     "Installer package"},
    {1620,
     "This installation package could not be opened. Contact the application vendor to verify "
     "that this is a valid Windows Installer package"},
    {1633,
     "This installation package is not supported by this processor type. Contact your product "
     "vendor"},
    {1638,
     "Another version of this product is already installed. Installation of this version cannot "
     "continue. To configure or remove the existing version of this product, use Add/Remove "
     "Programs on the Control Panel"},
    {3010,
     "The requested operation is successful. Changes will not be effective until the system is "
     "rebooted"},
};

}  // namespace

std::string RuntimeSystemMessage(std::uint32_t code) {
  std::string text = platform::SysErrorMessage(code);
  if (text.rfind("Unknown error", 0) == 0)
    for (const InstallerText& t : kInstallerTexts)
      if (t.code == code) return t.text;
  return text;
}

}  // namespace tarvo
