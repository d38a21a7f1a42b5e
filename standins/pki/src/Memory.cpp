// Tracked allocations of the stand-in: every block the caller receives is
// registered, so tests can count leaks and releases of foreign pointers.
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "standins/pki/src/Stub.h"

namespace pkistub {

namespace {
std::mutex gMemMutex;
std::unordered_map<void*, std::size_t>& Blocks() {
  static auto* blocks = new std::unordered_map<void*, std::size_t>;  // outlives static destruction
  return *blocks;
}
std::atomic<std::int64_t> gHandles{0};
std::atomic<std::int64_t> gUnknownFrees{0};
}  // namespace

void* Alloc(std::size_t size) {
  void* p = std::calloc(size == 0 ? 1 : size, 1);
  if (p == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(gMemMutex);
  Blocks()[p] = size;
  return p;
}

char* StrDup(const std::string& text) {
  auto* p = static_cast<char*>(Alloc(text.size() + 1));
  if (p != nullptr) std::memcpy(p, text.c_str(), text.size() + 1);
  return p;
}

std::uint8_t* BlkDup(const void* data, std::size_t size) {
  auto* p = static_cast<std::uint8_t*>(Alloc(size));
  if (p != nullptr && size > 0) std::memcpy(p, data, size);
  return p;
}

void Free(void* p) {
  if (p == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(gMemMutex);
    auto it = Blocks().find(p);
    if (it == Blocks().end()) {
      // Never ours, or released before: freeing it would corrupt the heap.
      gUnknownFrees.fetch_add(1);
      return;
    }
    Blocks().erase(it);
  }
  std::free(p);
}

void* Realloc(void* p, std::size_t size) {
  if (p == nullptr) return Alloc(size);
  std::lock_guard<std::mutex> lock(gMemMutex);
  auto it = Blocks().find(p);
  if (it == Blocks().end()) {
    gUnknownFrees.fetch_add(1);
    return nullptr;
  }
  void* q = std::realloc(p, size == 0 ? 1 : size);
  if (q == nullptr) return nullptr;  // the old block stays valid and registered
  Blocks().erase(it);
  Blocks()[q] = size;
  return q;
}

void HandleCreated() {
  gHandles.fetch_add(1);
}
void HandleReleased() {
  gHandles.fetch_sub(1);
}
void CountUnknownFree() {
  gUnknownFrees.fetch_add(1);
}

std::int64_t LiveAllocationCount() {
  std::lock_guard<std::mutex> lock(gMemMutex);
  return static_cast<std::int64_t>(Blocks().size()) + gHandles.load();
}

std::int64_t UnknownFreeCount() {
  return gUnknownFrees.load();
}
void ResetUnknownFrees() {
  gUnknownFrees.store(0);
}

bool PutBlock(TMemBlk* out, const std::string& bytes) {
  if (out == nullptr) return false;
  if (out->buf == nullptr) {
    if (out->len != 0) return false;
    out->buf = BlkDup(bytes.data(), bytes.size());
    if (out->buf == nullptr) return false;
    out->len = static_cast<std::uint32_t>(bytes.size());
    return true;
  }
  if (out->len < bytes.size()) return false;
  if (!bytes.empty()) std::memcpy(out->buf, bytes.data(), bytes.size());
  out->len = static_cast<std::uint32_t>(bytes.size());
  return true;
}

}  // namespace pkistub
