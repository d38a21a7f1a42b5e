#include "platform/system/Registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <unordered_set>

#include "platform/core/Errors.h"
#include "platform/core/Paths.h"
#include "platform/core/Text.h"

namespace tarvo::platform {

namespace {

// Layout of a key folder: subkeys are folders whose names never start with a
// dot (a leading dot is escaped); the key's own files do.
constexpr const char* kValuesFile = ".values";
constexpr const char* kLockFile = ".lock";

// The value file: "TVRG", format version, count, then per value its name,
// type and data, each length-prefixed; all numbers 32-bit little-endian.
constexpr char kMagic[4] = {'T', 'V', 'R', 'G'};
constexpr std::uint32_t kFormatVersion = 1;
// Limits that no sound file reaches (Windows: value names up to 16383
// characters, and values are meant to stay small); beyond them a file is
// treated as damaged rather than read into memory.
constexpr std::size_t kMaxFileSize = 64u << 20;
constexpr std::size_t kMaxNameBytes = 16383 * 4;

struct Value {
  std::string name;
  std::uint32_t type = 0;
  std::string data;
  std::string folded;  // Fold(name): the identity of the value
};

// The case folding of a name. Most names are ASCII, whose folding is plain
// lower-casing; only the others go through ICU.
std::string Fold(std::string_view name) {
  for (unsigned char c : name)
    if (c >= 0x80) return FoldCase(name);
  return AsciiLowerCase(name);
}

// Names compare by their case folding, computed once per name: a key of a few
// thousand values stays cheap to read and to write.
bool FoldedLess(const std::string& foldedA, const std::string& a, const std::string& foldedB,
                const std::string& b) {
  return foldedA != foldedB ? foldedA < foldedB : a < b;
}

std::string SysText(std::uint32_t code) {
  return SysErrorMessage(code);
}

[[noreturn]] void ThrowCode(const std::string& what, std::uint32_t code) {
  throw RegistryError(what + ": " + SysText(code), code);
}

[[noreturn]] void ThrowErrno(const std::string& what, int err) {
  ThrowCode(what, ErrorFromErrno(err));
}

// --- names on disk ---------------------------------------------------------------

std::string EncodeKeyName(std::string_view name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c == '%' || c == '/' || c < 0x20 || c == 0x7F || (i == 0 && c == '.')) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string DecodeKeyName(std::string_view file) {
  std::string out;
  for (std::size_t i = 0; i < file.size(); ++i) {
    if (file[i] == '%' && i + 2 < file.size()) {
      const int hi = HexValue(file[i + 1]), lo = HexValue(file[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    out += file[i];
  }
  return out;
}

// Splits a backslash path into key names. Leading and trailing backslashes are
// ignored; an empty name inside the path is an error.
std::optional<std::vector<std::string>> SplitKeyPath(std::string_view path) {
  while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  std::vector<std::string> parts;
  if (path.empty()) return parts;
  for (auto& part : SplitString(path, '\\')) {
    // Windows key names stop at 255 characters; a file name at 255 bytes.
    if (part.empty() || CodePointCount(part) > 255 || EncodeKeyName(part).size() > 255) {
      SetLastError(part.empty() ? ERROR_INVALID_PARAMETER : ERROR_FILENAME_EXCED_RANGE);
      return std::nullopt;
    }
    parts.push_back(std::move(part));
  }
  return parts;
}

std::string RootFolder(RegRoot root) {
  return root == RegRoot::LocalMachine ? RegistryFolderHKLM() : RegistryFolderHKCU();
}

bool IsRealDirectory(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

struct SubKey {
  std::string name;    // decoded, as stored
  std::string folder;  // file name on disk
  std::string folded;  // Fold(name)
};

// Direct subkeys of a key folder. Links are not keys: a key never leads out
// of its root.
std::optional<std::vector<SubKey>> ListSubKeys(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) {
    SetLastErrorFromErrno(errno);
    return std::nullopt;
  }
  std::vector<SubKey> out;
  while (dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    if (e->d_type != DT_DIR && e->d_type != DT_UNKNOWN) continue;
    if (e->d_type == DT_UNKNOWN && !IsRealDirectory(folder + "/" + e->d_name)) continue;
    std::string name = DecodeKeyName(e->d_name);
    std::string folded = Fold(name);
    out.push_back({std::move(name), e->d_name, std::move(folded)});
  }
  ::closedir(dir);
  std::sort(out.begin(), out.end(), [](const SubKey& a, const SubKey& b) {
    return FoldedLess(a.folded, a.name, b.folded, b.name);
  });
  return out;
}

// The subkey of folder called name (ignoring case; an exact match wins when
// two differ only in case).
std::optional<SubKey> FindSubKey(const std::string& folder, const std::string& name) {
  const std::string exact = EncodeKeyName(name);
  if (IsRealDirectory(folder + "/" + exact)) return SubKey{name, exact, {}};
  auto list = ListSubKeys(folder);
  if (!list) return std::nullopt;
  const std::string folded = Fold(name);
  for (auto& sk : *list)
    if (sk.folded == folded) return sk;
  SetLastError(ERROR_FILE_NOT_FOUND);
  return std::nullopt;
}

// An exclusive lock on a key, held while its values or subkeys change.
class KeyLock {
 public:
  explicit KeyLock(const std::string& folder) {
    const std::string path = folder + "/" + kLockFile;
    fFd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fFd < 0) {
      fErr = errno;
      return;
    }
    while (::flock(fFd, LOCK_EX) != 0) {
      if (errno != EINTR) {
        fErr = errno;
        ::close(fFd);
        fFd = -1;
        return;
      }
    }
  }
  ~KeyLock() {
    if (fFd >= 0) ::close(fFd);
  }
  KeyLock(const KeyLock&) = delete;
  KeyLock& operator=(const KeyLock&) = delete;
  bool Ok() const { return fFd >= 0; }
  int Error() const { return fErr; }

 private:
  int fFd = -1;
  int fErr = 0;
};

// --- value files -------------------------------------------------------------------

void PutU32(std::string& out, std::uint32_t v) {
  const char bytes[4] = {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                         static_cast<char>((v >> 16) & 0xFF), static_cast<char>((v >> 24) & 0xFF)};
  out.append(bytes, 4);
}

std::string Serialize(const std::vector<Value>& values) {
  std::size_t size = 12;
  for (const auto& v : values) size += 12 + v.name.size() + v.data.size();
  std::string out;
  out.reserve(size);
  out.append(kMagic, 4);
  PutU32(out, kFormatVersion);
  PutU32(out, static_cast<std::uint32_t>(values.size()));
  for (const auto& v : values) {
    PutU32(out, static_cast<std::uint32_t>(v.name.size()));
    out += v.name;
    PutU32(out, v.type);
    PutU32(out, static_cast<std::uint32_t>(v.data.size()));
    out += v.data;
  }
  return out;
}

class Reader {
 public:
  explicit Reader(std::string_view bytes) : fBytes(bytes) {}
  bool U32(std::uint32_t& v) {
    if (fBytes.size() - fPos < 4) return false;
    v = 0;
    for (int i = 0; i < 4; ++i)
      v |= std::uint32_t(static_cast<unsigned char>(fBytes[fPos + i])) << (8 * i);
    fPos += 4;
    return true;
  }
  bool Bytes(std::size_t n, std::string& out) {
    if (fBytes.size() - fPos < n) return false;
    out.assign(fBytes.substr(fPos, n));
    fPos += n;
    return true;
  }
  bool AtEnd() const { return fPos == fBytes.size(); }

 private:
  std::string_view fBytes;
  std::size_t fPos = 0;
};

// Parses a value file; nullopt when it is damaged in any way.
std::optional<std::vector<Value>> Parse(std::string_view bytes) {
  if (bytes.size() < 12 || std::memcmp(bytes.data(), kMagic, 4) != 0) return std::nullopt;
  Reader r(bytes.substr(4));
  std::uint32_t version = 0, count = 0;
  if (!r.U32(version) || version != kFormatVersion || !r.U32(count)) return std::nullopt;
  // Each value takes at least 12 bytes, so a count beyond that is a lie.
  if (count > (bytes.size() - 12) / 12) return std::nullopt;
  std::vector<Value> values;
  values.reserve(count);
  std::unordered_set<std::string> folded;  // two names that differ only in case: damaged
  for (std::uint32_t i = 0; i < count; ++i) {
    Value v;
    std::uint32_t nameLen = 0, dataLen = 0;
    if (!r.U32(nameLen) || nameLen > kMaxNameBytes || !r.Bytes(nameLen, v.name))
      return std::nullopt;
    if (!r.U32(v.type) || !r.U32(dataLen) || !r.Bytes(dataLen, v.data)) return std::nullopt;
    v.folded = Fold(v.name);
    if (!folded.insert(v.folded).second) return std::nullopt;
    values.push_back(std::move(v));
  }
  if (!r.AtEnd()) return std::nullopt;
  return values;
}

// Reads a key's values. A missing file is a key without values.
std::vector<Value> LoadValues(const std::string& folder, const std::string& keyPath) {
  const std::string path = folder + "/" + kValuesFile;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    const int err = errno;
    if (err == ENOENT) {
      if (!IsRealDirectory(folder))
        ThrowCode("Cannot read key '" + keyPath + "'", ERROR_FILE_NOT_FOUND);
      return {};
    }
    ThrowErrno("Cannot read key '" + keyPath + "'", err);
  }
  std::string bytes;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<std::uint64_t>(st.st_size) <= kMaxFileSize;
  if (ok) {
    char buf[65536];
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        const int err = errno;
        ::close(fd);
        ThrowErrno("Cannot read key '" + keyPath + "'", err);
      }
      if (n == 0) break;
      bytes.append(buf, static_cast<std::size_t>(n));
      if (bytes.size() > kMaxFileSize) {
        ok = false;
        break;
      }
    }
  }
  ::close(fd);
  std::optional<std::vector<Value>> values;
  if (ok) values = Parse(bytes);
  if (!values) ThrowCode("Registry key '" + keyPath + "' is damaged", ERROR_INVALID_DATA);
  return std::move(*values);
}

// Replaces the value file: a temporary file in the same folder, flushed to
// disk, renamed over the old one. Readers see the old file or the new one.
void StoreValues(const std::string& folder, const std::string& keyPath,
                 const std::vector<Value>& values) {
  const std::string bytes = Serialize(values);
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  std::string tmp;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(rng()));
    tmp = folder + "/" + kValuesFile + "." + suffix;
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0 && errno != EEXIST) break;
  }
  const std::string what = "Cannot write key '" + keyPath + "'";
  if (fd < 0) ThrowErrno(what, errno);
  std::size_t done = 0;
  int err = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (err == 0 && ::fchmod(fd, 0644) != 0) err = errno;
  if (err == 0 && ::fdatasync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(tmp.c_str(), (folder + "/" + kValuesFile).c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(tmp.c_str());
    ThrowErrno(what, err);
  }
}

}  // namespace

const char* RegRootName(RegRoot root) noexcept {
  return root == RegRoot::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

RegistryTypeError::RegistryTypeError(const std::string& valueName, RegValueType actual)
    : RegistryError("Invalid data type for '" + valueName + "'", ERROR_INVALID_DATA),
      fActual(actual) {}

// --- opening ---------------------------------------------------------------------

std::optional<RegistryKey> RegistryKey::Open(RegRoot root, std::string_view path,
                                             RegAccess access) {
  auto parts = SplitKeyPath(path);
  if (!parts) return std::nullopt;
  RegistryKey key;
  key.fRoot = root;
  key.fFolder = RootFolder(root);
  if (!IsRealDirectory(key.fFolder)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return std::nullopt;
  }
  for (const auto& part : *parts) {
    auto sub = FindSubKey(key.fFolder, part);
    if (!sub) return std::nullopt;
    key.fFolder += "/" + sub->folder;
    if (!key.fPath.empty()) key.fPath += '\\';
    key.fPath += sub->name;
  }
  if (access == RegAccess::Write) {
    if (::faccessat(AT_FDCWD, key.fFolder.c_str(), W_OK, AT_EACCESS) != 0) {
      SetLastErrorFromErrno(errno);
      return std::nullopt;
    }
    key.fWritable = true;
  }
  return key;
}

std::optional<RegistryKey> RegistryKey::Create(RegRoot root, std::string_view path, bool* created) {
  auto parts = SplitKeyPath(path);
  if (!parts) return std::nullopt;
  RegistryKey key;
  key.fRoot = root;
  key.fFolder = RootFolder(root);
  std::error_code ec;
  std::filesystem::create_directories(key.fFolder, ec);
  if (!IsRealDirectory(key.fFolder)) {
    SetLastError(ec ? ErrorFromErrno(ec.value()) : ERROR_PATH_NOT_FOUND);
    return std::nullopt;
  }
  bool madeLast = false;
  for (const auto& part : *parts) {
    auto sub = FindSubKey(key.fFolder, part);
    madeLast = false;
    if (!sub) {
      // Look again under the parent's lock, so that two processes creating
      // "Foo" and "FOO" at once end up with one key.
      KeyLock lock(key.fFolder);
      if (!lock.Ok()) {
        SetLastErrorFromErrno(lock.Error());
        return std::nullopt;
      }
      sub = FindSubKey(key.fFolder, part);
      if (!sub) {
        const std::string folder = EncodeKeyName(part);
        if (::mkdir((key.fFolder + "/" + folder).c_str(), 0755) != 0 && errno != EEXIST) {
          SetLastErrorFromErrno(errno);
          return std::nullopt;
        }
        sub = SubKey{part, folder, {}};
        madeLast = true;
      }
    }
    key.fFolder += "/" + sub->folder;
    if (!key.fPath.empty()) key.fPath += '\\';
    key.fPath += sub->name;
  }
  if (::faccessat(AT_FDCWD, key.fFolder.c_str(), W_OK, AT_EACCESS) != 0) {
    SetLastErrorFromErrno(errno);
    return std::nullopt;
  }
  key.fWritable = true;
  if (created) *created = madeLast;
  return key;
}

bool RegistryKey::KeyExists(RegRoot root, std::string_view path) {
  return Open(root, path, RegAccess::Read).has_value();
}

bool RegistryKey::DeleteKey(RegRoot root, std::string_view path) {
  auto parts = SplitKeyPath(path);
  if (!parts) return false;
  if (parts->empty()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  const std::string last = parts->back();
  parts->pop_back();
  std::string parentPath;
  for (const auto& p : *parts) parentPath += p + "\\";
  auto parent = Open(root, parentPath, RegAccess::Write);
  if (!parent) return false;
  KeyLock lock(parent->fFolder);
  if (!lock.Ok()) {
    SetLastErrorFromErrno(lock.Error());
    return false;
  }
  auto sub = FindSubKey(parent->fFolder, last);
  if (!sub) return false;
  // Move the key out of sight in one step, then remove what it held: nobody
  // sees a half-deleted key.
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  const std::string doomed =
      parent->fFolder + "/.deleted." + std::to_string(::getpid()) + "." + std::to_string(rng());
  if (::rename((parent->fFolder + "/" + sub->folder).c_str(), doomed.c_str()) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  std::error_code ec;
  std::filesystem::remove_all(doomed, ec);
  return true;
}

// --- enumeration and reads ----------------------------------------------------------

std::vector<std::string> RegistryKey::SubKeyNames() const {
  auto list = ListSubKeys(fFolder);
  if (!list) ThrowCode("Cannot list key '" + fPath + "'", GetLastError());
  std::vector<std::string> names;
  for (auto& sk : *list) names.push_back(std::move(sk.name));
  return names;
}

std::vector<std::string> RegistryKey::ValueNames() const {
  const auto values = LoadValues(fFolder, fPath);
  std::vector<const Value*> order;
  order.reserve(values.size());
  for (const auto& v : values) order.push_back(&v);
  std::sort(order.begin(), order.end(), [](const Value* a, const Value* b) {
    return FoldedLess(a->folded, a->name, b->folded, b->name);
  });
  std::vector<std::string> names;
  names.reserve(order.size());
  for (const Value* v : order) names.push_back(v->name);
  return names;
}

std::optional<std::pair<RegValueType, std::string>> RegistryKey::Find(std::string_view name) const {
  const std::string folded = Fold(name);
  for (auto& v : LoadValues(fFolder, fPath))
    if (v.folded == folded)
      return std::make_pair(static_cast<RegValueType>(v.type), std::move(v.data));
  return std::nullopt;
}

RegValueType RegistryKey::ValueType(std::string_view name) const {
  auto v = Find(name);
  return v ? v->first : RegValueType::None;
}

std::optional<std::string> RegistryKey::ReadString(std::string_view name) const {
  auto v = Find(name);
  if (!v) return std::nullopt;
  if (v->first != RegValueType::String && v->first != RegValueType::ExpandString)
    throw RegistryTypeError(std::string(name), v->first);
  return std::move(v->second);
}

std::optional<std::uint32_t> RegistryKey::ReadDWord(std::string_view name) const {
  auto v = Find(name);
  if (!v) return std::nullopt;
  if (v->first != RegValueType::DWord) throw RegistryTypeError(std::string(name), v->first);
  if (v->second.size() != 4)
    ThrowCode("Value '" + std::string(name) + "' of key '" + fPath + "' is damaged",
              ERROR_INVALID_DATA);
  std::uint32_t out = 0;
  for (int i = 0; i < 4; ++i)
    out |= std::uint32_t(static_cast<unsigned char>(v->second[i])) << (8 * i);
  return out;
}

std::optional<std::vector<std::uint8_t>> RegistryKey::ReadBinary(std::string_view name) const {
  auto v = Find(name);
  if (!v) return std::nullopt;
  switch (v->first) {
    case RegValueType::String:
    case RegValueType::ExpandString:
    case RegValueType::DWord:
      throw RegistryTypeError(std::string(name), v->first);
    default:
      return std::vector<std::uint8_t>(v->second.begin(), v->second.end());
  }
}

// --- writes -------------------------------------------------------------------------

void RegistryKey::WriteValue(std::string_view name, RegValueType type, std::string_view bytes) {
  const std::string what = "Failed to set data for '" + std::string(name) + "'";
  if (!fWritable) ThrowCode(what, ERROR_ACCESS_DENIED);
  if (name.size() > kMaxNameBytes || CodePointCount(name) > 16383)
    ThrowCode(what, ERROR_INVALID_PARAMETER);
  if (bytes.size() > kMaxFileSize / 2) ThrowCode(what, ERROR_INVALID_PARAMETER);
  KeyLock lock(fFolder);
  if (!lock.Ok()) ThrowErrno(what, lock.Error());
  auto values = LoadValues(fFolder, fPath);
  const std::string folded = Fold(name);
  auto it = std::find_if(values.begin(), values.end(),
                         [&](const Value& v) { return v.folded == folded; });
  if (it == values.end()) {
    values.push_back({std::string(name), 0, {}, folded});
    it = values.end() - 1;
  }
  // An existing value keeps the case of its name, as on Windows.
  it->type = static_cast<std::uint32_t>(type);
  it->data.assign(bytes);
  StoreValues(fFolder, fPath, values);
}

void RegistryKey::WriteString(std::string_view name, std::string_view value) {
  WriteValue(name, RegValueType::String, value);
}

void RegistryKey::WriteExpandString(std::string_view name, std::string_view value) {
  WriteValue(name, RegValueType::ExpandString, value);
}

void RegistryKey::WriteDWord(std::string_view name, std::uint32_t value) {
  std::string bytes;
  PutU32(bytes, value);
  WriteValue(name, RegValueType::DWord, bytes);
}

void RegistryKey::WriteBinary(std::string_view name, std::span<const std::uint8_t> value) {
  WriteValue(name, RegValueType::Binary,
             std::string_view(reinterpret_cast<const char*>(value.data()), value.size()));
}

bool RegistryKey::DeleteValue(std::string_view name) {
  const std::string what = "Failed to delete value '" + std::string(name) + "'";
  if (!fWritable) ThrowCode(what, ERROR_ACCESS_DENIED);
  KeyLock lock(fFolder);
  if (!lock.Ok()) ThrowErrno(what, lock.Error());
  auto values = LoadValues(fFolder, fPath);
  const auto before = values.size();
  const std::string folded = Fold(name);
  std::erase_if(values, [&](const Value& v) { return v.folded == folded; });
  if (values.size() == before) return false;
  StoreValues(fFolder, fPath, values);
  return true;
}

}  // namespace tarvo::platform
