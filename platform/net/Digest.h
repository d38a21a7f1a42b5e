// Message digests for checking what was downloaded (a setup program against
// the hash its manifest names). Over OpenSSL, which the HTTP layer links
// already; no OpenSSL type shows here.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace tarvo::platform {

// SHA-256 over bytes added in pieces. Hex() ends the digest and answers it in
// lower-case hexadecimal (64 characters); the object is then spent. One
// object per thread; std::bad_alloc when the library cannot make a context.
class Sha256Digest {
 public:
  Sha256Digest();
  ~Sha256Digest();
  Sha256Digest(const Sha256Digest&) = delete;
  Sha256Digest& operator=(const Sha256Digest&) = delete;

  void Add(const void* data, std::size_t size);
  void Add(std::string_view data) { Add(data.data(), data.size()); }
  std::string Hex();

 private:
  struct Context;
  std::unique_ptr<Context> fContext;
};

}  // namespace tarvo::platform
