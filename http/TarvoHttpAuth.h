// Line encoders for HTTP authorisation: base64 (for "Authorization: Basic")
// and single uuencoded lines.
//
// Pure functions, safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tarvo {

enum THttpEncoding : std::uint8_t { encUUEncode, encBase64, encMime };

// Raised for data an encoding cannot represent.
class EHttpEncodingError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Encodes len bytes at data as one line without a line break.
//   encBase64, encMime: standard base64 ("A-Za-z0-9+/"), "=" padding to a
//     multiple of four characters.
//   encUUEncode: a length character (code 32 + len), then the data padded
//     with zero bytes to a multiple of three as 6-bit groups, each written as
//     the character 32 + value, a zero group as "`". A uuencoded line holds at
//     most 63 bytes, because its length character cannot count further; longer
//     data raises EHttpEncodingError instead of a line no decoder reads back.
std::string EncodeLine(THttpEncoding encoding, const void* data, std::size_t len);
// EncodeLine over the bytes of str.
std::string EncodeStr(THttpEncoding encoding, std::string_view str);

}  // namespace tarvo
