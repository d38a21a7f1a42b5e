// Self-checking cache payloads for the multi-process tests: the text names its
// key, writer and sequence number and ends with a checksum of everything
// before it, so a reader can tell a whole document from a torn or mixed one.
#pragma once

#include <zlib.h>

#include <string>

namespace tarvo::cachetest {

inline std::string PayloadChecksum(const std::string& body) {
  return std::to_string(
      crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
}

// Filler length varies with the sequence so that sizes differ between writes.
inline std::string MakePayload(const std::string& key, int writer, int seq) {
  std::string body = key + "|" + std::to_string(writer) + "|" + std::to_string(seq) + "|";
  body.append(static_cast<std::size_t>(100 + (seq * 37) % 3000), static_cast<char>('a' + seq % 26));
  return body + "#" + PayloadChecksum(body);
}

inline bool PayloadValid(const std::string& key, const std::string& payload) {
  const auto hash = payload.rfind('#');
  if (hash == std::string::npos) return false;
  const std::string body = payload.substr(0, hash);
  return body.rfind(key + "|", 0) == 0 && payload.substr(hash + 1) == PayloadChecksum(body);
}

}  // namespace tarvo::cachetest
