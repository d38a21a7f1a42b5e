#include "updater/FileSysInfo.h"

#include <utility>

#include "platform/core/DateTime.h"
#include "platform/core/Files.h"
#include "platform/core/Format.h"
#include "platform/core/VersionInfo.h"

namespace tarvo::updater {

namespace pf = tarvo::platform;

std::optional<std::uint16_t> DefaultAnsiCodePageOf(std::uint32_t localeId) {
  const std::uint16_t primary = localeId & 0x3FF;
  const std::uint16_t sub = (localeId >> 10) & 0x3F;
  switch (primary) {
    // Cyrillic script (Serbian, Bosnian in Latin script use 1250, see below).
    case 0x19:
    case 0x22:
    case 0x23:
    case 0x02:
    case 0x2F:
    case 0x3F:
    case 0x40:
    case 0x43:
    case 0x44:
    case 0x50:
    case 0x6D:
    case 0x85:
      if (primary == 0x43 && sub == 1) return 1254;  // Uzbek (Latin)
      return 1251;
    case 0x1A:  // Croatian, Serbian, Bosnian: Latin forms 1250, Cyrillic 1251
      return (sub == 3 || sub == 7 || sub == 10 || sub == 12) ? 1251 : 1250;
    case 0x05:
    case 0x0E:
    case 0x15:
    case 0x18:
    case 0x1B:
    case 0x1C:
    case 0x24:
      return 1250;  // Czech, Hungarian, Polish, Romanian, Slovak, Albanian, Slovenian
    case 0x08:
      return 1253;  // Greek
    case 0x1F:
    case 0x2C:
      return 1254;  // Turkish, Azerbaijani (Latin)
    case 0x0D:
      return 1255;  // Hebrew
    case 0x01:
    case 0x20:
    case 0x29:
    case 0x8C:
      return 1256;  // Arabic, Urdu, Persian, Dari
    case 0x25:
    case 0x26:
    case 0x27:
      return 1257;  // Estonian, Latvian, Lithuanian
    case 0x2A:
      return 1258;  // Vietnamese
    case 0x1E:
      return 874;  // Thai
    case 0x11:
      return 932;  // Japanese
    case 0x12:
      return 949;  // Korean
    case 0x04:
      return (sub == 2 || sub == 4) ? 936 : 950;  // Chinese simplified / traditional
    case 0x09:
    case 0x07:
    case 0x0C:
    case 0x0A:
    case 0x10:
    case 0x13:
    case 0x16:
    case 0x1D:
    case 0x06:
    case 0x14:
    case 0x0B:
    case 0x0F:
    case 0x03:
    case 0x2D:
    case 0x56:
    case 0x36:
    case 0x38:
    case 0x3C:
    case 0x3E:
    case 0x41:
      return 1252;  // Western European languages
    default:
      return std::nullopt;
  }
}

TFileVersionInfo::TFileVersionInfo(std::string aFileName) : fFileName(std::move(aFileName)) {}

TFileVersionInfo::TFileVersionInfo() : fProgram(true) {}

void TFileVersionInfo::Load() {
  if (fLoaded) return;
  fLoaded = true;
  // The program's own path is taken in full: cutting it to the 261 characters
  // of a Windows path buffer could name another file.
  if (fFileName.empty() && fProgram) fFileName = pf::ExecutablePath();
  if (fFileName.empty()) return;
  if (pf::GetFileVersionInfoSize(fFileName) == 0) return;
  fVerResource = pf::GetFileVersionInfo(fFileName);
  if (!fVerResource) return;
  const auto tr = pf::VerQueryValue(*fVerResource, "\\VarFileInfo\\Translation");
  if (tr && tr->size() >= 4) {
    auto word = [&](std::size_t at) {
      return static_cast<unsigned>(static_cast<unsigned char>((*tr)[at]) |
                                   (static_cast<unsigned char>((*tr)[at + 1]) << 8));
    };
    fFileLocaleId = pf::Format("%.4x%.4x", {word(0), word(2)});
  }
}

bool TFileVersionInfo::HasVersionInfo() {
  Load();
  return fVerResource.has_value();
}

std::string TFileVersionInfo::GetStringFileInfo(TVerInfoData data, std::string_view versionInfoKey,
                                                std::int64_t localeId) {
  Load();
  if (!fVerResource) return {};
  const std::string_view resource = *fVerResource;

  if (data == TVerInfoData::viFlags || data == TVerInfoData::viBuildTime) {
    const auto fixed = pf::VerQueryFixedInfo(resource);
    if (!fixed) return std::string(VerInfoKey(data));
    if (data == TVerInfoData::viFlags) {
      std::string result;
      const std::uint32_t f = fixed->fileFlags;
      if (f & pf::VS_FF_DEBUG) result += "Debug Build, ";
      if (f & pf::VS_FF_INFOINFERRED) result += "InfoInferred, ";
      if (f & pf::VS_FF_PATCHED) result += "Patched Build, ";
      if (f & pf::VS_FF_PRERELEASE) result += "Pre-Release Build, ";
      if (f & pf::VS_FF_PRIVATEBUILD) result += "Private Build, ";
      if (f & pf::VS_FF_SPECIALBUILD) result += "Special Build, ";
      if (fixed->fileType & 2) result += "DLL, ";
      if (!result.empty()) result.resize(result.size() - 2);
      return result;
    }
    const std::uint64_t fileTime =
        (static_cast<std::uint64_t>(fixed->fileDateMS) << 32) | fixed->fileDateLS;
    const auto value = pf::FileTimeToDateTime(fileTime);
    if (!value) return {};
    return pf::FormatDateTime("ddddd tt", *value);
  }

  std::string translation = fFileLocaleId;
  if (localeId != -1) {
    const auto lcid = static_cast<std::uint32_t>(localeId);
    if (const auto cp = DefaultAnsiCodePageOf(lcid))
      translation = pf::Format("%.4x%.4x", {static_cast<unsigned>(lcid & 0xFFFF), unsigned{*cp}});
  }
  const std::string_view key =
      data == TVerInfoData::viUserDefined ? versionInfoKey : VerInfoKey(data);
  std::string path = "\\StringFileInfo\\";
  path += translation;
  path += '\\';
  path += key;
  // An empty key would name the table itself, not a string.
  if (!key.empty() && !translation.empty()) {
    if (auto value = pf::VerQueryString(resource, path); value && !value->empty()) return *value;
  }
  return localeId == -1 ? std::string(key) : std::string();
}

}  // namespace tarvo::updater
