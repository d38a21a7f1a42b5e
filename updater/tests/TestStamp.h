// Test support: writes a file that carries version information, as the build
// stamps the product's executables and libraries.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/core/Files.h"
#include "platform/core/Format.h"
#include "platform/core/VersionInfo.h"

namespace tarvo::updater::testing {

using Strings = std::vector<std::pair<std::string, std::string>>;

// Writes body to path and stamps it with the strings under one translation
// (language id and code page, default English/Unicode).
inline void WriteStamped(const std::string& path, const Strings& strings,
                         std::uint32_t translation = 0x0409 | (0x04B0u << 16),
                         const std::string& body = "not really a program") {
  if (!platform::WriteFileAtomic(path, body, 0755))
    throw std::runtime_error("cannot write " + path);
  platform::VersionInfoData d;
  d.tables.push_back(
      {platform::Format("%.4x%.4x", {translation & 0xFFFF, translation >> 16}), strings});
  d.translations = {translation};
  if (!platform::WriteFileVersionInfo(path, platform::BuildVersionResource(d)))
    throw std::runtime_error("cannot stamp " + path);
}

}  // namespace tarvo::updater::testing
