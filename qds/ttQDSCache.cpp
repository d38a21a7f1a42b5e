#include "qds/ttQDSCache.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <random>

#include "platform/core/Files.h"
#include "qds/ttQDSCacheManager.h"

namespace tarvo {

bool IsCacheEntryFileName(const std::string& name) {
  // 8-4-4-4-12 hex digits, then ".dat" (any case, as Windows names compare).
  if (name.size() != 40) return false;
  for (std::size_t i = 0; i < 36; ++i) {
    const char c = name[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!std::isxdigit(static_cast<unsigned char>(c))) {
      return false;
    }
  }
  std::string ext = name.substr(36);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return ext == ".dat";
}

std::string NewCacheGuid() {
  // Names only need to be unique among the cache's files, across processes:
  // a random (version 4) GUID from a per-thread generator seeded by the OS.
  thread_local std::mt19937_64 gen{(static_cast<std::uint64_t>(std::random_device{}()) << 32) ^
                                   std::random_device{}()};
  unsigned char b[16];
  const std::uint64_t a = gen(), c = gen();
  std::memcpy(b, &a, 8);
  std::memcpy(b + 8, &c, 8);
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
  static const char* hex = "0123456789ABCDEF";
  std::string s;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
    s += hex[b[i] >> 4];
    s += hex[b[i] & 15];
  }
  return s;
}

std::string CacheDeflate(const std::string& data) {
  uLongf bound = compressBound(static_cast<uLong>(data.size()));
  std::string out(bound, '\0');
  if (compress2(reinterpret_cast<Bytef*>(out.data()), &bound,
                reinterpret_cast<const Bytef*>(data.data()), static_cast<uLong>(data.size()),
                Z_DEFAULT_COMPRESSION) != Z_OK)
    return {};
  out.resize(bound);
  return out;
}

bool CacheInflate(const std::string& packed, std::size_t expectedSize, std::string& out) {
  // The recorded size bounds the output, so a hostile file cannot make us
  // allocate more than the table promised; inflate checks the Adler-32 at the
  // end of the stream, and anything left over or missing is a damaged entry.
  out.assign(expectedSize, '\0');
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) return false;
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
  zs.avail_in = static_cast<uInt>(packed.size());
  char extra;
  zs.next_out =
      expectedSize ? reinterpret_cast<Bytef*>(out.data()) : reinterpret_cast<Bytef*>(&extra);
  zs.avail_out = expectedSize ? static_cast<uInt>(expectedSize) : 1;
  int rc = inflate(&zs, Z_FINISH);
  bool ok = rc == Z_STREAM_END && zs.total_out == expectedSize && zs.avail_in == 0;
  if (rc == Z_BUF_ERROR && zs.avail_out == 0 && expectedSize) {
    // Output is full but the stream is not done: more data than recorded.
    ok = false;
  }
  inflateEnd(&zs);
  if (!ok) out.clear();
  return ok;
}

TCachedFile::TCachedFile(TQDSCacheManager* owner, double ttl, std::string fileName,
                         platform::TDateTime creation, std::int32_t size)
    : fFileName(std::move(fileName)), fSize(size), fOwner(owner), fTTL(ttl), fCreation(creation) {}

std::string TCachedFile::GetFileName() const {
  return fOwner->Folder() + fFileName;
}

TCacheStream::TCacheStream(TQDSCacheManager* owner, std::string code, TCacheStreamMode mode,
                           bool useCompression)
    : fOwner(owner), fCode(std::move(code)), fMode(mode), fUseCompression(useCompression) {}

TCacheStream::~TCacheStream() {
  Close();
}

std::int64_t TCacheStream::Read(void* buffer, std::int64_t count) {
  if (!fValid || fMode != TCacheStreamMode::Read || count < 0) return -1;
  const std::int64_t n = std::min<std::int64_t>(count, Size() - fPos);
  if (n <= 0) return 0;
  std::memcpy(buffer, fData.data() + fPos, static_cast<std::size_t>(n));
  fPos += n;
  return n;
}

std::int64_t TCacheStream::Write(const void* buffer, std::int64_t count) {
  if (!fValid || fClosed || fMode != TCacheStreamMode::Create || count < 0) return -1;
  // The recorded size is a 32-bit signed number; refuse to grow past it
  // rather than record a wrapped size.
  if (fPos + count > INT32_MAX) return -1;
  const auto end = static_cast<std::size_t>(fPos + count);
  if (end > fData.size()) fData.resize(end);
  if (count) std::memcpy(fData.data() + fPos, buffer, static_cast<std::size_t>(count));
  fPos += count;
  return count;
}

std::int64_t TCacheStream::Seek(std::int64_t offset, int origin) {
  std::int64_t base = origin == 0 ? 0 : origin == 1 ? fPos : Size();
  fPos = std::clamp<std::int64_t>(base + offset, 0, Size());
  return fPos;
}

bool TCacheStream::Close() {
  if (fClosed) return true;
  fClosed = true;
  if (!fValid || fMode != TCacheStreamMode::Create) return fValid;
  return fOwner->CommitEntry(fCode, fData, fUseCompression, fTTL);
}

}  // namespace tarvo
