// Wrapper-side helpers for TMemBlk (crypto/vcert1.h).
//
// A TMemBlk is only a length and a pointer; who frees the bytes depends on
// where they came from:
//   - CreateMemBlk(pointer, length) borrows: nothing to free;
//   - blocks the library fills are freed through the provider (FreeMemBlk);
//   - blocks made here from a stream, a file or a copy are the program's own:
//     hold them in a TOwnedMemBlk, which wipes the bytes before freeing them
//     (blocks often carry keys, passwords or decrypted data).
//
// Errors: reading or writing a file raises EValidataError with the Windows
// error code and the operation as source name; a block over 4 GiB - 1 cannot
// be described by the record's 32-bit length and is refused the same way.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

#include "crypto/vcert1.h"

namespace tarvo {

// Owns a program-allocated block; move-only.
class TOwnedMemBlk {
 public:
  TOwnedMemBlk() noexcept : fBlk{0, nullptr} {}
  // Copies the bytes into a new allocation.
  explicit TOwnedMemBlk(std::string_view bytes);
  ~TOwnedMemBlk() { Release(); }
  TOwnedMemBlk(TOwnedMemBlk&& other) noexcept;
  TOwnedMemBlk& operator=(TOwnedMemBlk&& other) noexcept;
  TOwnedMemBlk(const TOwnedMemBlk&) = delete;
  TOwnedMemBlk& operator=(const TOwnedMemBlk&) = delete;

  // The block; the library may read it and (for buffers of the program's own)
  // write into it, but must not free or replace buf.
  TMemBlk& Blk() noexcept { return fBlk; }
  const TMemBlk& Blk() const noexcept { return fBlk; }
  std::string_view View() const noexcept;
  // Wipes and frees the bytes; the block becomes empty.
  void Release() noexcept;

 private:
  TMemBlk fBlk;
};

// A block over existing bytes, without copying.
TMemBlk CreateMemBlk(const void* data, std::uint32_t len) noexcept;
// The whole rest of the stream / the whole file / a deep copy, in a new block.
TOwnedMemBlk CreateMemBlk(std::istream& stream);
TOwnedMemBlk LoadMemBlk(const std::string& fileName);
TOwnedMemBlk CopyMemBlk(const TMemBlk& source);
// len := 0, buf := none; frees nothing.
void ClearMemBlk(TMemBlk& blk) noexcept;
void SaveMemBlk(const TMemBlk& blk, std::ostream& stream);
// Creates or replaces the file (atomically).
void SaveMemBlk(const TMemBlk& blk, const std::string& fileName);
// The bytes as 8-bit text (system ANSI code page) converted to UTF-8, with
// trailing characters below 32 removed.
std::string MemBlkToStr(const TMemBlk& blk);
// Overwrites bytes in a way the optimiser keeps.
void SecureZero(void* data, std::size_t len) noexcept;

}  // namespace tarvo
