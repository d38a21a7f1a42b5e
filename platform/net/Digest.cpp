#include "platform/net/Digest.h"

#include <openssl/evp.h>

#include <new>
#include <stdexcept>

namespace tarvo::platform {

struct Sha256Digest::Context {
  EVP_MD_CTX* md = nullptr;
  bool finished = false;
};

Sha256Digest::Sha256Digest() : fContext(std::make_unique<Context>()) {
  fContext->md = EVP_MD_CTX_new();
  if (fContext->md == nullptr || EVP_DigestInit_ex(fContext->md, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(fContext->md);
    throw std::bad_alloc();
  }
}

Sha256Digest::~Sha256Digest() {
  EVP_MD_CTX_free(fContext->md);
}

void Sha256Digest::Add(const void* data, std::size_t size) {
  if (fContext->finished) throw std::logic_error("Sha256Digest: bytes added after Hex()");
  if (size > 0 && EVP_DigestUpdate(fContext->md, data, size) != 1) throw std::bad_alloc();
}

std::string Sha256Digest::Hex() {
  if (fContext->finished) throw std::logic_error("Sha256Digest: Hex() called twice");
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned n = 0;
  if (EVP_DigestFinal_ex(fContext->md, md, &n) != 1) throw std::bad_alloc();
  fContext->finished = true;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(n * 2);
  for (unsigned i = 0; i < n; ++i) {
    out.push_back(kDigits[md[i] >> 4]);
    out.push_back(kDigits[md[i] & 15]);
  }
  return out;
}

}  // namespace tarvo::platform
