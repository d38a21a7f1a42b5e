// Version information of a file, read once and answered string by string.
//
// The updater recognises the installed product and its version by the version
// resource every executable and library of the product carries
// (platform/core/VersionInfo.h: stored as a trailer on Linux). TFileVersionInfo
// reads it on the first question and answers single strings of it, plus the
// build flags and the build time of its fixed part.
//
// Answers never fail: a missing file, a file without version information or a
// failed read give empty answers for everything. With version information, a
// string the file does not have answers its own key ("ProductName"), which is
// what product discovery relies on.
//
// Threads: an object is used by one thread at a time.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvo::updater {

enum class TVerInfoData {
  viComments,
  viCompanyName,
  viFileDescription,
  viFileVersion,
  viInternalName,
  viLegalCopyright,
  viLegalTrademarks,
  viOriginalFilename,
  viProductName,
  viProductVersion,
  viUserDefined,
  viFlags,
  viBuildTime,
};

struct TVerInfoKey {
  std::string_view key;      // string key of the resource, or the name of a fixed-part value
  std::string_view caption;  // display caption
};

// Key and caption of every value, in the order of TVerInfoData.
inline constexpr std::array<TVerInfoKey, 13> kVerInfoKeys{{
    {"Comments", "Comments:"},
    {"CompanyName", "Company Name:"},
    {"FileDescription", "File Description:"},
    {"FileVersion", "File Version:"},
    {"InternalName", "Internal Name:"},
    {"LegalCopyright", "Legal Copyright:"},
    {"LegalTrademarks", "Legal Trademarks:"},
    {"OriginalFilename", "Original Filename:"},
    {"ProductName", "Product Name:"},
    {"ProductVersion", "Product Version:"},
    {"UserDefinedKey", "User-defined Key:"},
    {"Flags", "Module Attributes:"},
    {"BuildTime", "Build Time:"},
}};

inline std::string_view VerInfoKey(TVerInfoData data) {
  return kVerInfoKeys[static_cast<std::size_t>(data)].key;
}
inline std::string_view VerInfoCaption(TVerInfoData data) {
  return kVerInfoKeys[static_cast<std::size_t>(data)].caption;
}

// The Windows default ANSI code page of a locale id (1251 for Russian, 1252
// for English ...); nullopt when the locale's language is unknown or it has
// none (Unicode-only languages).
std::optional<std::uint16_t> DefaultAnsiCodePageOf(std::uint32_t localeId);

class TFileVersionInfo {
 public:
  // Reads the given file.
  explicit TFileVersionInfo(std::string aFileName);
  // Reads the running program itself (the module handle 0 of the program).
  TFileVersionInfo();
  TFileVersionInfo(const TFileVersionInfo&) = delete;
  TFileVersionInfo& operator=(const TFileVersionInfo&) = delete;

  // One value:
  //  - viComments ... viProductVersion, viUserDefined (key VersionInfoKey): the
  //    string of the translation LocaleId names (-1: the file's first
  //    translation; another locale id: that locale with its default ANSI code
  //    page), cut at its first zero character. A missing or empty string
  //    answers its key with LocaleId -1 and empty with any other.
  //  - viFlags: the set build flags, "Debug Build, InfoInferred, Patched
  //    Build, Pre-Release Build, Private Build, Special Build, DLL" in that
  //    order, as many as are set; empty when none.
  //  - viBuildTime: the file date of the fixed part, as date and time in the
  //    user's format (a zero date is 1601-01-01); empty when out of range.
  //  viFlags and viBuildTime answer their key ("Flags", "BuildTime") when the
  //  resource has no fixed part.
  // Without version information every answer is empty.
  std::string GetStringFileInfo(TVerInfoData data, std::string_view versionInfoKey = {},
                                std::int64_t localeId = -1);

  const std::string& FileName() const noexcept { return fFileName; }
  // "LLLLCCCC" of the first translation, upper-case hexadecimal; empty when
  // the file lists none. Valid after the first GetStringFileInfo.
  const std::string& FileLocaleId() const noexcept { return fFileLocaleId; }
  // True when the file has version information (loads it).
  bool HasVersionInfo();

 private:
  void Load();

  bool fProgram = false;  // fModule 0: the file of the running program
  std::string fFileName;
  std::optional<std::string> fVerResource;
  std::string fFileLocaleId;
  bool fLoaded = false;
};

}  // namespace tarvo::updater
