#include "platform/core/VersionInfo.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "platform/core/DateTime.h"
#include "platform/core/Errors.h"
#include "platform/core/Files.h"
#include "platform/core/Text.h"

namespace tarvo::platform {

namespace {

constexpr std::string_view kMagic = "TVVERSI1";
constexpr std::size_t kFooterSize = 4 + kMagic.size();
// The layout's lengths are 16-bit, so no valid resource is larger.
constexpr std::size_t kMaxResource = 0xFFFF;
// Deeper nesting than root/StringFileInfo/table/string never occurs; the
// limit keeps a hostile resource from recursing without end.
constexpr int kMaxDepth = 6;

std::uint16_t Get16(std::string_view s, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(s[at]) |
                                    (static_cast<unsigned char>(s[at + 1]) << 8));
}
std::uint32_t Get32(std::string_view s, std::size_t at) {
  return static_cast<std::uint32_t>(Get16(s, at)) |
         (static_cast<std::uint32_t>(Get16(s, at + 2)) << 16);
}
void Put16(std::string& s, std::size_t at, std::uint16_t v) {
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>(v >> 8);
}
void Append16(std::string& s, std::uint16_t v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>(v >> 8));
}
void Append32(std::string& s, std::uint32_t v) {
  Append16(s, static_cast<std::uint16_t>(v & 0xFFFF));
  Append16(s, static_cast<std::uint16_t>(v >> 16));
}
void Align4(std::string& s) {
  while (s.size() % 4 != 0) s.push_back('\0');
}
std::size_t Aligned4(std::size_t n) {
  return (n + 3) & ~std::size_t{3};
}

void AppendUtf16z(std::string& out, std::string_view utf8) {
  for (char16_t c : Utf8ToUtf16(utf8)) Append16(out, static_cast<std::uint16_t>(c));
  Append16(out, 0);
}

// Starts a block: header with placeholder length, key, padding. Returns the
// block's offset, for FinishBlock.
std::size_t BeginBlock(std::string& out, std::string_view key, std::uint16_t valueLength,
                       std::uint16_t type) {
  Align4(out);
  const std::size_t start = out.size();
  Append16(out, 0);
  Append16(out, valueLength);
  Append16(out, type);
  AppendUtf16z(out, key);
  Align4(out);
  return start;
}
void FinishBlock(std::string& out, std::size_t start) {
  const std::size_t length = out.size() - start;
  if (length > kMaxResource) throw std::length_error("version resource exceeds 64 KiB");
  Put16(out, start, static_cast<std::uint16_t>(length));
}

void AppendFixed(std::string& out, const VersionFixedInfo& f) {
  for (std::uint32_t v : {f.signature, f.strucVersion, f.fileVersionMS, f.fileVersionLS,
                          f.productVersionMS, f.productVersionLS, f.fileFlagsMask, f.fileFlags,
                          f.fileOS, f.fileType, f.fileSubtype, f.fileDateMS, f.fileDateLS})
    Append32(out, v);
}

// One parsed block header; offsets are into the resource.
struct BlockView {
  std::size_t start = 0, end = 0;  // the block's bytes [start, end)
  std::u16string key;
  std::size_t valueStart = 0, valueSize = 0;
  std::size_t childrenStart = 0;  // first child, aligned; may equal end
};

// Parses the block at `at` inside [at, limit). False when it does not fit.
bool ParseBlock(std::string_view res, std::size_t at, std::size_t limit, BlockView& b) {
  if (at + 6 > limit) return false;
  const std::size_t length = Get16(res, at);
  const std::size_t valueLength = Get16(res, at + 2);
  const std::uint16_t type = Get16(res, at + 4);
  if (length < 6 || at + length > limit) return false;
  b.start = at;
  b.end = at + length;
  std::size_t p = at + 6;
  b.key.clear();
  for (;;) {
    if (p + 2 > b.end) return false;  // key without its terminating zero
    const char16_t c = Get16(res, p);
    p += 2;
    if (c == 0) break;
    b.key.push_back(c);
  }
  p = Aligned4(p);
  // Texts count their value in characters, binary values in bytes. A value
  // that claims more than the block holds is cut to what is there.
  std::size_t size = type == 1 ? valueLength * 2 : valueLength;
  if (p > b.end) p = b.end;
  if (size > b.end - p) size = b.end - p;
  b.valueStart = p;
  b.valueSize = size;
  b.childrenStart = Aligned4(p + size);
  if (b.childrenStart > b.end) b.childrenStart = b.end;
  return true;
}

bool KeyMatches(const std::u16string& key, std::string_view name) {
  return SameTextAscii(Utf16ToUtf8(key), name);
}

}  // namespace

std::string BuildVersionResource(const VersionInfoData& data) {
  std::string out;
  const std::size_t root =
      BeginBlock(out, "VS_VERSION_INFO", static_cast<std::uint16_t>(kVersionFixedInfoSize), 0);
  AppendFixed(out, data.fixed);
  if (!data.tables.empty()) {
    const std::size_t sfi = BeginBlock(out, "StringFileInfo", 0, 1);
    for (const auto& table : data.tables) {
      const std::size_t t = BeginBlock(out, table.name, 0, 1);
      for (const auto& [key, value] : table.strings) {
        const std::size_t chars = Utf8ToUtf16(value).size() + 1;
        if (chars > kMaxResource) throw std::length_error("version string too long");
        const std::size_t s = BeginBlock(out, key, static_cast<std::uint16_t>(chars), 1);
        AppendUtf16z(out, value);
        FinishBlock(out, s);
      }
      FinishBlock(out, t);
    }
    FinishBlock(out, sfi);
  }
  if (!data.translations.empty()) {
    const std::size_t vfi = BeginBlock(out, "VarFileInfo", 0, 1);
    const std::size_t bytes = data.translations.size() * 4;
    if (bytes > kMaxResource) throw std::length_error("translation table too long");
    const std::size_t var = BeginBlock(out, "Translation", static_cast<std::uint16_t>(bytes), 0);
    for (std::uint32_t t : data.translations) Append32(out, t);
    FinishBlock(out, var);
    FinishBlock(out, vfi);
  }
  FinishBlock(out, root);
  return out;
}

std::optional<std::string_view> VerQueryValue(std::string_view resource,
                                              std::string_view subBlock) {
  BlockView block;
  if (!ParseBlock(resource, 0, resource.size(), block)) return std::nullopt;
  std::vector<std::string> parts;
  std::string part;
  for (char c : subBlock) {
    if (c == '\\' || c == '/') {
      if (!part.empty()) parts.push_back(std::move(part));
      part.clear();
    } else {
      part.push_back(c);
    }
  }
  if (!part.empty()) parts.push_back(std::move(part));
  if (static_cast<int>(parts.size()) > kMaxDepth) return std::nullopt;

  for (const std::string& name : parts) {
    bool found = false;
    std::size_t at = block.childrenStart;
    BlockView child;
    while (at < block.end) {
      if (!ParseBlock(resource, at, block.end, child)) return std::nullopt;
      if (KeyMatches(child.key, name)) {
        found = true;
        break;
      }
      at = Aligned4(child.end);
    }
    if (!found) return std::nullopt;
    block = child;
  }
  return resource.substr(block.valueStart, block.valueSize);
}

std::optional<std::string> VerQueryString(std::string_view resource, std::string_view subBlock) {
  const auto value = VerQueryValue(resource, subBlock);
  if (!value) return std::nullopt;
  std::u16string text;
  for (std::size_t i = 0; i + 1 < value->size(); i += 2) {
    const char16_t c = Get16(*value, i);
    if (c == 0) break;
    text.push_back(c);
  }
  return Utf16ToUtf8(text);
}

std::optional<VersionFixedInfo> VerQueryFixedInfo(std::string_view resource) {
  const auto value = VerQueryValue(resource, "\\");
  if (!value || value->size() < kVersionFixedInfoSize) return std::nullopt;
  VersionFixedInfo f;
  std::uint32_t* fields[] = {&f.signature,     &f.strucVersion,     &f.fileVersionMS,
                             &f.fileVersionLS, &f.productVersionMS, &f.productVersionLS,
                             &f.fileFlagsMask, &f.fileFlags,        &f.fileOS,
                             &f.fileType,      &f.fileSubtype,      &f.fileDateMS,
                             &f.fileDateLS};
  for (std::size_t i = 0; i < std::size(fields); ++i) *fields[i] = Get32(*value, i * 4);
  if (f.signature != VersionFixedInfo::kSignature) return std::nullopt;
  return f;
}

namespace {

// Where the trailer of a file's bytes starts: npos when there is none, or
// the error code of a malformed one in *bad.
std::size_t TrailerStart(std::string_view bytes, std::uint32_t* bad) {
  *bad = 0;
  if (bytes.size() < kFooterSize || bytes.substr(bytes.size() - kMagic.size()) != kMagic)
    return std::string_view::npos;
  const std::size_t size = Get32(bytes, bytes.size() - kFooterSize);
  if (size == 0 || size > kMaxResource || size > bytes.size() - kFooterSize) {
    *bad = ERROR_INVALID_DATA;
    return std::string_view::npos;
  }
  return bytes.size() - kFooterSize - size;
}

// Reads only the footer and the resource, not the whole file.
std::optional<std::string> ReadTrailer(const std::string& path) {
  FileStream f;
  if (!f.Open(path, FileStream::Mode::Read)) return std::nullopt;
  const auto fileSize = f.Size();
  if (!fileSize) return std::nullopt;
  if (*fileSize < kFooterSize) return std::string();
  char footer[kFooterSize];
  if (!f.Seek(static_cast<std::int64_t>(*fileSize - kFooterSize)) ||
      f.Read(footer, kFooterSize) != static_cast<long long>(kFooterSize))
    return std::nullopt;
  const std::string_view fv(footer, kFooterSize);
  if (fv.substr(4) != kMagic) return std::string();
  const std::size_t size = Get32(fv, 0);
  if (size == 0 || size > kMaxResource || size > *fileSize - kFooterSize) {
    SetLastError(ERROR_INVALID_DATA);
    return std::nullopt;
  }
  std::string res(size, '\0');
  if (!f.Seek(static_cast<std::int64_t>(*fileSize - kFooterSize - size)) ||
      f.Read(res.data(), size) != static_cast<long long>(size))
    return std::nullopt;
  // A resource that does not even parse as one block is no resource.
  BlockView root;
  if (!ParseBlock(res, 0, res.size(), root)) {
    SetLastError(ERROR_INVALID_DATA);
    return std::nullopt;
  }
  return res;
}

bool RewriteWithTrailer(const std::string& path, std::optional<std::string_view> resource) {
  if (resource && (resource->empty() || resource->size() > kMaxResource)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  auto bytes = ReadFileBytes(path);
  if (!bytes) return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  std::uint32_t bad = 0;
  const std::size_t start = TrailerStart(*bytes, &bad);
  if (start != std::string_view::npos) bytes->resize(start);
  if (!resource && start == std::string_view::npos) return true;
  if (resource) {
    bytes->append(*resource);
    const std::size_t n = resource->size();
    Append32(*bytes, static_cast<std::uint32_t>(n));
    bytes->append(kMagic);
  }
  return WriteFileAtomic(path, *bytes, st.st_mode & 07777);
}

}  // namespace

std::uint32_t GetFileVersionInfoSize(const std::string& path) {
  const auto res = ReadTrailer(path);
  return res ? static_cast<std::uint32_t>(res->size()) : 0;
}

std::optional<std::string> GetFileVersionInfo(const std::string& path) {
  auto res = ReadTrailer(path);
  if (res && res->empty()) return std::nullopt;
  return res;
}

bool WriteFileVersionInfo(const std::string& path, std::string_view resource) {
  return RewriteWithTrailer(path, resource);
}

bool RemoveFileVersionInfo(const std::string& path) {
  return RewriteWithTrailer(path, std::nullopt);
}

namespace {
// Days from 1601-01-01 to 1899-12-30.
constexpr double kFileTimeEpochDays = 109205.0;
}  // namespace

std::optional<double> FileTimeToDateTime(std::uint64_t fileTime) {
  // Whole milliseconds, as SYSTEMTIME has no finer unit; integer arithmetic
  // keeps the time of day exact.
  const std::uint64_t ms = fileTime / 10000;
  const std::uint64_t days = ms / 86400000;
  const std::uint64_t msOfDay = ms % 86400000;
  const double value = static_cast<double>(days) - kFileTimeEpochDays;
  CivilTime t;
  try {
    t = DecodeDateTime(value);
    if (t.year > 9999) return std::nullopt;
    const auto h = static_cast<int>(msOfDay / 3600000), n = static_cast<int>(msOfDay / 60000 % 60),
               s = static_cast<int>(msOfDay / 1000 % 60), z = static_cast<int>(msOfDay % 1000);
    t.hour = h;
    t.minute = n;
    t.second = s;
    t.millisecond = z;
    return EncodeDateTime(t);
  } catch (const EDateTimeError&) {
    return std::nullopt;
  }
}

std::optional<std::uint64_t> DateTimeToFileTime(double dateTime) {
  try {
    const CivilTime t = DecodeDateTime(dateTime);
    const double days = std::floor(EncodeDate(t.year, t.month, t.day)) + kFileTimeEpochDays;
    if (days < 0) return std::nullopt;
    const std::uint64_t ms = static_cast<std::uint64_t>(days) * 86400000ull +
                             static_cast<std::uint64_t>(
                                 ((t.hour * 60 + t.minute) * 60 + t.second) * 1000 + t.millisecond);
    return ms * 10000;
  } catch (const EDateTimeError&) {
    return std::nullopt;
  }
}

}  // namespace tarvo::platform
