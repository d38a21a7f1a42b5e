// One entry of the market-data disk cache and the byte stream over it.
//
// An entry is a file named GUID + ".dat" in the cache folder holding a zlib
// stream (deflate with the zlib header) of the document text. TCachedFile is
// the table's record of it; TCacheStream reads or writes it.
//
// Entries are shared by every process of the user, so an entry file is never
// trusted: a read inflates the whole file into memory under the cache lock and
// checks it against the recorded size and zlib's own checksum before anything
// is handed out, and a write builds the new contents in memory and stores them
// atomically (temporary file, flush, rename) under a fresh file name when the
// stream is closed, deleting the entry's previous file. A file named in a table
// therefore never changes: a reader sees a whole document or a miss, never a
// torn one, and a stale record in another process can only miss.
//
// Threads: a TCachedFile belongs to its manager's table and is only touched
// under the manager's table lock. A TCacheStream belongs to the thread that
// created it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/core/DateTime.h"

namespace tarvo {

class TQDSCacheManager;

// True for names of the form "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx.dat" (hex
// digits of either case). The table may be written by any process of the
// user; only such names are ever opened or deleted, so a table naming
// "../x" or "/etc/passwd" cannot reach outside the cache folder.
bool IsCacheEntryFileName(const std::string& name);
// A fresh random GUID in its usual text form without braces, upper case.
std::string NewCacheGuid();

class TCachedFile {
 public:
  TCachedFile(TQDSCacheManager* owner, double ttl, std::string fileName,
              platform::TDateTime creation, std::int32_t size);

  const std::string& FileName() const noexcept { return fFileName; }  // relative
  std::string GetFileName() const;                                    // folder + name
  std::int32_t Size() const noexcept { return fSize; }
  double TTL() const noexcept { return fTTL; }
  platform::TDateTime Creation() const noexcept { return fCreation; }

  // Written by this manager since its last save: wins over the table on disk
  // when the two are merged; otherwise the table on disk is the newer record.
  bool Local() const noexcept { return fLocal; }
  void SetLocal(bool local) noexcept { fLocal = local; }
  void SetFileName(std::string name) { fFileName = std::move(name); }
  void SetSize(std::int32_t size) noexcept { fSize = size; }
  void SetCreation(platform::TDateTime creation) noexcept { fCreation = creation; }

 private:
  std::string fFileName;
  std::int32_t fSize;
  TQDSCacheManager* fOwner;
  double fTTL;
  platform::TDateTime fCreation;
  bool fLocal = false;
};

enum class TCacheStreamMode { Create, Read };

// A byte stream over one entry, created by TQDSCacheManager::FileStream.
//
// Read mode: the document is loaded and verified when the stream is created;
// Valid() is false when the entry is missing or damaged (the manager has then
// dropped it). Write mode: bytes collect in memory; Close (or the destructor)
// compresses them and stores them as described above, then records the
// size and the creation time in the table. Read and Write return -1 on a
// stream that is not valid, as a stream without a file does.
class TCacheStream {
 public:
  ~TCacheStream();
  TCacheStream(const TCacheStream&) = delete;
  TCacheStream& operator=(const TCacheStream&) = delete;

  bool Valid() const noexcept { return fValid; }
  TCacheStreamMode Mode() const noexcept { return fMode; }

  // Copies up to count bytes from the current position; the count copied, 0 at
  // the end, -1 when the stream is not valid or not readable.
  std::int64_t Read(void* buffer, std::int64_t count);
  // Appends/overwrites at the current position; count, or -1.
  std::int64_t Write(const void* buffer, std::int64_t count);
  // Moves the position (clamped to [0, Size()]); returns the new position.
  std::int64_t Seek(std::int64_t offset, int origin);  // origin: 0 begin, 1 current, 2 end
  std::int64_t Position() const noexcept { return fPos; }
  // Uncompressed size: the verified document when reading, the bytes written so far when writing.
  std::int64_t Size() const noexcept { return static_cast<std::int64_t>(fData.size()); }
  // The whole document (reading) or what was written (writing).
  const std::string& Data() const noexcept { return fData; }

  // Writing: stores the entry now. False when the lock could not be taken or
  // the file could not be written (the entry is then dropped from the table).
  // Idempotent; the destructor calls it and ignores the result.
  bool Close();

 private:
  friend class TQDSCacheManager;
  TCacheStream(TQDSCacheManager* owner, std::string code, TCacheStreamMode mode,
               bool useCompression);

  TQDSCacheManager* fOwner;
  std::string fCode;
  TCacheStreamMode fMode;
  bool fUseCompression;
  double fTTL = 0;
  bool fValid = false;
  bool fClosed = false;
  std::string fData;
  std::int64_t fPos = 0;
};

// zlib helpers shared by the stream and the tests: compress at the default
// level with the zlib header; inflate expecting exactly expectedSize bytes and
// a good checksum (false otherwise).
std::string CacheDeflate(const std::string& data);
bool CacheInflate(const std::string& packed, std::size_t expectedSize, std::string& out);

}  // namespace tarvo
