#include "crypto/MemBlk.h"

#include <cstdlib>
#include <cstring>
#include <istream>
#include <iterator>
#include <limits>
#include <new>
#include <ostream>

#include "crypto/ValidataError.h"
#include "platform/core/CodePage.h"
#include "platform/core/Errors.h"
#include "platform/core/Files.h"

namespace tarvo {

namespace {

void CheckLength(std::size_t len, const char* source) {
  if (len > std::numeric_limits<std::uint32_t>::max())
    throw EValidataError("The data is too large for a memory block",
                         platform::ERROR_NOT_ENOUGH_MEMORY, source);
}

}  // namespace

void SecureZero(void* data, std::size_t len) noexcept {
  if (data == nullptr) return;
  volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
  while (len--) *p++ = 0;
}

TOwnedMemBlk::TOwnedMemBlk(std::string_view bytes) : TOwnedMemBlk() {
  CheckLength(bytes.size(), "CreateMemBlk");
  if (bytes.empty()) return;
  auto* p = static_cast<std::uint8_t*>(std::malloc(bytes.size()));
  if (p == nullptr) throw std::bad_alloc();
  std::memcpy(p, bytes.data(), bytes.size());
  fBlk.buf = p;
  fBlk.len = static_cast<std::uint32_t>(bytes.size());
}

TOwnedMemBlk::TOwnedMemBlk(TOwnedMemBlk&& other) noexcept : fBlk(other.fBlk) {
  other.fBlk = {0, nullptr};
}

TOwnedMemBlk& TOwnedMemBlk::operator=(TOwnedMemBlk&& other) noexcept {
  if (this != &other) {
    Release();
    fBlk = other.fBlk;
    other.fBlk = {0, nullptr};
  }
  return *this;
}

std::string_view TOwnedMemBlk::View() const noexcept {
  return fBlk.buf ? std::string_view(reinterpret_cast<const char*>(fBlk.buf), fBlk.len)
                  : std::string_view();
}

void TOwnedMemBlk::Release() noexcept {
  if (fBlk.buf != nullptr) {
    SecureZero(fBlk.buf, fBlk.len);
    std::free(fBlk.buf);
  }
  fBlk = {0, nullptr};
}

TMemBlk CreateMemBlk(const void* data, std::uint32_t len) noexcept {
  return TMemBlk{len, static_cast<std::uint8_t*>(const_cast<void*>(data))};
}

TOwnedMemBlk CreateMemBlk(std::istream& stream) {
  std::string bytes{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
  TOwnedMemBlk blk(bytes);
  SecureZero(bytes.data(), bytes.size());
  return blk;
}

TOwnedMemBlk LoadMemBlk(const std::string& fileName) {
  auto bytes = platform::ReadFileBytes(fileName);
  if (!bytes) {
    const std::uint32_t code = platform::GetLastError();
    throw EValidataError("Cannot read \"" + fileName + "\": " + platform::SysErrorMessage(code),
                         code, "LoadMemBlk");
  }
  TOwnedMemBlk blk(*bytes);
  SecureZero(bytes->data(), bytes->size());
  return blk;
}

TOwnedMemBlk CopyMemBlk(const TMemBlk& source) {
  if (source.buf == nullptr) return TOwnedMemBlk();
  return TOwnedMemBlk(std::string_view(reinterpret_cast<const char*>(source.buf), source.len));
}

void ClearMemBlk(TMemBlk& blk) noexcept {
  blk = TMemBlk{0, nullptr};
}

void SaveMemBlk(const TMemBlk& blk, std::ostream& stream) {
  if (blk.buf != nullptr && blk.len > 0)
    stream.write(reinterpret_cast<const char*>(blk.buf), static_cast<std::streamsize>(blk.len));
  if (!stream)
    throw EValidataError("Cannot write the memory block to the stream", platform::ERROR_WRITE_FAULT,
                         "SaveMemBlk");
}

void SaveMemBlk(const TMemBlk& blk, const std::string& fileName) {
  std::string_view bytes = blk.buf
                               ? std::string_view(reinterpret_cast<const char*>(blk.buf), blk.len)
                               : std::string_view();
  if (!platform::WriteFileAtomic(fileName, bytes)) {
    const std::uint32_t code = platform::GetLastError();
    throw EValidataError("Cannot write \"" + fileName + "\": " + platform::SysErrorMessage(code),
                         code, "SaveMemBlk");
  }
}

std::string MemBlkToStr(const TMemBlk& blk) {
  if (blk.buf == nullptr) return {};
  std::string_view bytes(reinterpret_cast<const char*>(blk.buf), blk.len);
  while (!bytes.empty() && static_cast<unsigned char>(bytes.back()) < 32) bytes.remove_suffix(1);
  return platform::FromCodePage(bytes);
}

}  // namespace tarvo
