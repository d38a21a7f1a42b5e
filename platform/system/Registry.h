// The registry: a file-backed stand-in for the Windows registry.
//
// Two roots, each a folder (Paths.h): HKEY_CURRENT_USER in RegistryFolderHKCU()
// and HKEY_LOCAL_MACHINE in RegistryFolderHKLM(). A key is a folder; its
// values are one file in that folder. Keys are addressed by backslash paths
// relative to the root ("Software\\Vendor\\App"; a leading or trailing
// backslash is ignored, an empty name between two backslashes is refused).
//
// Key and value names compare ignoring case (Unicode case folding, Text.h
// FoldCase) and keep the case they were created with. Values are typed: string, dword (32-bit),
// binary; the empty name is the key's default value.
//
// Safety across processes and threads: every write replaces the key's value
// file atomically (temporary file, fsync, rename) while holding the key's lock,
// so two processes writing the same key keep each other's values and a reader
// never sees a half-written key. Rights are the folders' rights: opening a key
// for writing under HKEY_LOCAL_MACHINE needs write access to its folder, as
// writing there needs administrator rights on Windows.
//
// Value files are untrusted input: a damaged file reads as an error
// (RegistryError with ERROR_INVALID_DATA), never as a crash or as values made
// up from the pieces, and a write never replaces a damaged file (it fails).
//
// Errors: opening is a result (empty + LastError, as RegOpenKeyEx); reads and
// writes on an open key throw RegistryError, whose message is a text a log
// can show. Reading a value with the wrong type throws RegistryTypeError, so
// callers can tell it apart from a missing value (an empty optional).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::platform {

enum class RegRoot { CurrentUser, LocalMachine };

// "HKEY_CURRENT_USER" / "HKEY_LOCAL_MACHINE".
const char* RegRootName(RegRoot root) noexcept;

// Windows value types (the REG_* numbers). Files may hold other numbers,
// written by other tools; they read back as such and only ReadBinary reads
// their bytes.
enum class RegValueType : std::uint32_t {
  None = 0,          // no such value
  String = 1,        // REG_SZ
  ExpandString = 2,  // REG_EXPAND_SZ: read by ReadString like a string
  Binary = 3,        // REG_BINARY
  DWord = 4,         // REG_DWORD
};

enum class RegAccess { Read, Write };

class RegistryError : public std::runtime_error {
 public:
  RegistryError(const std::string& message, std::uint32_t code)
      : std::runtime_error(message), fCode(code) {}
  std::uint32_t Code() const noexcept { return fCode; }

 private:
  std::uint32_t fCode;
};

// A value exists but has another type than the read asked for. The message is
// "Invalid data type for '<name>'".
class RegistryTypeError : public RegistryError {
 public:
  RegistryTypeError(const std::string& valueName, RegValueType actual);
  RegValueType ActualType() const noexcept { return fActual; }

 private:
  RegValueType fActual;
};

// An open key. Copyable; holds no operating-system resource between calls, so
// a key may be kept open as long as needed and used from several threads.
// A key deleted after it was opened fails every later call with
// ERROR_FILE_NOT_FOUND.
class RegistryKey {
 public:
  // Opens an existing key. Write access fails with ERROR_ACCESS_DENIED when
  // the key's folder is not writable for this process; a missing key fails
  // with ERROR_FILE_NOT_FOUND.
  static std::optional<RegistryKey> Open(RegRoot root, std::string_view path,
                                         RegAccess access = RegAccess::Read);
  // Opens the key for writing, creating it and every missing parent.
  // created, when given, tells whether the key itself was new.
  static std::optional<RegistryKey> Create(RegRoot root, std::string_view path,
                                           bool* created = nullptr);
  static bool KeyExists(RegRoot root, std::string_view path);
  // Deletes a key with all its subkeys and values. False with LastError when
  // it does not exist or cannot be deleted. The root itself cannot be deleted.
  static bool DeleteKey(RegRoot root, std::string_view path);

  RegRoot Root() const noexcept { return fRoot; }
  // Backslash path of the key with each name in its stored case.
  const std::string& Path() const noexcept { return fPath; }
  bool Writable() const noexcept { return fWritable; }

  // Names of the direct subkeys / of the values, in their stored case, sorted
  // ignoring case.
  std::vector<std::string> SubKeyNames() const;
  std::vector<std::string> ValueNames() const;

  // RegValueType::None when there is no such value.
  RegValueType ValueType(std::string_view name) const;
  bool ValueExists(std::string_view name) const { return ValueType(name) != RegValueType::None; }

  // Empty optional when the value does not exist; RegistryTypeError when it has
  // another type (ReadString accepts String and ExpandString; ReadBinary
  // accepts Binary and types this layer does not know).
  std::optional<std::string> ReadString(std::string_view name) const;
  std::optional<std::uint32_t> ReadDWord(std::string_view name) const;
  std::optional<std::vector<std::uint8_t>> ReadBinary(std::string_view name) const;

  // Writes replace a value of any type. They need a key opened for writing
  // (RegistryError ERROR_ACCESS_DENIED otherwise).
  void WriteString(std::string_view name, std::string_view value);
  void WriteExpandString(std::string_view name, std::string_view value);
  void WriteDWord(std::string_view name, std::uint32_t value);
  void WriteBinary(std::string_view name, std::span<const std::uint8_t> value);
  // True when the value existed and was deleted, false when there was none.
  bool DeleteValue(std::string_view name);

 private:
  RegistryKey() = default;
  void WriteValue(std::string_view name, RegValueType type, std::string_view bytes);
  std::optional<std::pair<RegValueType, std::string>> Find(std::string_view name) const;

  RegRoot fRoot = RegRoot::CurrentUser;
  std::string fPath;    // backslash path as stored
  std::string fFolder;  // folder on disk
  bool fWritable = false;
};

}  // namespace tarvo::platform
