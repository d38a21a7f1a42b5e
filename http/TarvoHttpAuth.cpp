#include "http/TarvoHttpAuth.h"

namespace tarvo {

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64(const unsigned char* p, std::size_t len) {
  std::string out;
  out.reserve((len + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= len; i += 3) {
    const unsigned v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
    out += kBase64[v >> 18];
    out += kBase64[(v >> 12) & 63];
    out += kBase64[(v >> 6) & 63];
    out += kBase64[v & 63];
  }
  if (const std::size_t rest = len - i; rest > 0) {
    const unsigned v = (p[i] << 16) | (rest > 1 ? p[i + 1] << 8 : 0);
    out += kBase64[v >> 18];
    out += kBase64[(v >> 12) & 63];
    out += rest > 1 ? kBase64[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

char UUChar(unsigned v) {
  return v == 0 ? '`' : static_cast<char>(32 + v);
}

std::string UUEncode(const unsigned char* p, std::size_t len) {
  if (len > 63) throw EHttpEncodingError("A uuencoded line holds at most 63 bytes");
  std::string out;
  out.reserve(1 + (len + 2) / 3 * 4);
  // 33 + ((len - 1) mod 64) with the remainder's sign following the dividend,
  // which is 32 + len for every length a line can hold.
  out += static_cast<char>(32 + len);
  for (std::size_t i = 0; i < len; i += 3) {
    const unsigned b0 = p[i], b1 = i + 1 < len ? p[i + 1] : 0, b2 = i + 2 < len ? p[i + 2] : 0;
    const unsigned v = (b0 << 16) | (b1 << 8) | b2;
    out += UUChar(v >> 18);
    out += UUChar((v >> 12) & 63);
    out += UUChar((v >> 6) & 63);
    out += UUChar(v & 63);
  }
  return out;
}

}  // namespace

std::string EncodeLine(THttpEncoding encoding, const void* data, std::size_t len) {
  const auto* p = static_cast<const unsigned char*>(data);
  if (len == 0) p = nullptr;
  switch (encoding) {
    case encUUEncode:
      return UUEncode(p, len);
    case encBase64:
    case encMime:
      return Base64(p, len);
  }
  throw EHttpEncodingError("Unknown encoding");
}

std::string EncodeStr(THttpEncoding encoding, std::string_view str) {
  return EncodeLine(encoding, str.data(), str.size());
}

}  // namespace tarvo
