// The version resource of a file.
//
// Windows programs and libraries carry a VS_VERSIONINFO resource: a fixed part
// (VS_FIXEDFILEINFO: numeric versions, build flags, file type, file date),
// string tables per language and code page ("CompanyName", "FileVersion" ...)
// and a translation table. The toolkit reads it to recognise its own products
// and their versions.
//
// On Linux the same bytes, in the Windows layout (UTF-16LE texts, blocks
// aligned to 4 bytes), are stored as a trailer at the very end of any file -
// an ELF executable, a shared object or a data file - followed by a footer:
//
//   [file contents][VS_VERSIONINFO, n bytes][n: uint32 LE][magic "TVVERSI1"]
//
// Loaders ignore bytes after the last ELF section, so a stamped program still
// runs. tools/verstamp writes the trailer at build time.
//
// Everything read from a file is untrusted: a footer whose size does not fit
// the file, a resource whose blocks overrun their parent, or a size above the
// 16-bit limit of the Windows layout makes the file count as one without
// version information. Nothing here throws on bad input.
//
// All functions are pure or touch only the named file; safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvo::platform {

// VS_FIXEDFILEINFO, 13 little-endian 32-bit fields (52 bytes).
struct VersionFixedInfo {
  static constexpr std::uint32_t kSignature = 0xFEEF04BD;
  std::uint32_t signature = kSignature;
  std::uint32_t strucVersion = 0x00010000;
  std::uint32_t fileVersionMS = 0, fileVersionLS = 0;
  std::uint32_t productVersionMS = 0, productVersionLS = 0;
  std::uint32_t fileFlagsMask = 0x3F;
  std::uint32_t fileFlags = 0;
  std::uint32_t fileOS = 0x00040004;  // VOS_NT_WINDOWS32, what the products declare
  std::uint32_t fileType = 1;         // VFT_APP; 2 is VFT_DLL
  std::uint32_t fileSubtype = 0;
  std::uint32_t fileDateMS = 0, fileDateLS = 0;  // a FILETIME: 100 ns since 1601-01-01
};
inline constexpr std::size_t kVersionFixedInfoSize = 52;

// File flags of the fixed part.
inline constexpr std::uint32_t VS_FF_DEBUG = 0x01, VS_FF_PRERELEASE = 0x02, VS_FF_PATCHED = 0x04,
                               VS_FF_PRIVATEBUILD = 0x08, VS_FF_INFOINFERRED = 0x10,
                               VS_FF_SPECIALBUILD = 0x20;

// What a version resource says, in a form to build one from.
struct VersionInfoData {
  VersionFixedInfo fixed;
  // One string table per translation: its name is eight hexadecimal digits,
  // language id then code page ("040904E4"); keys and values are UTF-8.
  struct StringTable {
    std::string name;
    std::vector<std::pair<std::string, std::string>> strings;
  };
  std::vector<StringTable> tables;
  // "\VarFileInfo\Translation": language id in the low 16 bits, code page in
  // the high 16 bits of each entry.
  std::vector<std::uint32_t> translations;
};

// Builds the VS_VERSIONINFO bytes. Throws std::length_error when the result
// would not fit the 16-bit lengths of the layout (64 KiB).
std::string BuildVersionResource(const VersionInfoData& data);

// The bytes of the value at subBlock, as VerQueryValue finds it: "\" is the
// fixed part, "\StringFileInfo\040904E4\ProductName" a string (UTF-16LE bytes,
// as stored, its terminating zero included when stored),
// "\VarFileInfo\Translation" the translation table. Block names compare
// ignoring ASCII case; "\" and "/" both separate. nullopt when there is no such
// block or the resource is malformed on the way to it.
std::optional<std::string_view> VerQueryValue(std::string_view resource, std::string_view subBlock);

// The string at subBlock decoded to UTF-8, cut at its first zero character;
// nullopt when not found.
std::optional<std::string> VerQueryString(std::string_view resource, std::string_view subBlock);

// The fixed part of a resource; nullopt when it is missing, shorter than 52
// bytes or has the wrong signature.
std::optional<VersionFixedInfo> VerQueryFixedInfo(std::string_view resource);

// GetFileVersionInfoSize / GetFileVersionInfo: the size of the version resource
// stored in the file's trailer, 0 when it has none (LastError says why when
// the file could not be read: 2 missing, 5 denied; ERROR_INVALID_DATA (13) for
// a malformed trailer), and its bytes.
std::uint32_t GetFileVersionInfoSize(const std::string& path);
std::optional<std::string> GetFileVersionInfo(const std::string& path);

// Writes resource as the file's trailer, replacing the trailer it had, and
// keeps the file's permission bits. The file is replaced atomically (temporary
// file and rename), so a failure leaves it as it was. False with LastError set
// on failure (ERROR_INVALID_PARAMETER for a resource over 64 KiB).
bool WriteFileVersionInfo(const std::string& path, std::string_view resource);
// Removes the trailer (no trailer: nothing to do, true).
bool RemoveFileVersionInfo(const std::string& path);

// FILETIME (100 ns units since 1601-01-01 UTC) from and to the toolkit's date
// time (days since 1899-12-30), without any time-zone change, as
// FileTimeToSystemTime does. nullopt for a value outside 0001-9999.
std::optional<double> FileTimeToDateTime(std::uint64_t fileTime);
std::optional<std::uint64_t> DateTimeToFileTime(double dateTime);

}  // namespace tarvo::platform
