// Internal pieces of the HTTP service layer shared by its source files. Not a
// public interface: code above the platform includes platform/Inet.h only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/DateTime.h"

namespace tarvo::platform::inet_detail {

// What kind of certificate fault an OpenSSL verification result names, so
// that the ignore flags and the error codes agree on one classification.
enum class CertFault {
  None,
  Date,               // not yet valid, expired
  Name,               // host name mismatch
  Authority,          // unknown, untrusted or invalid authority, self-signed
  Revoked,            // revoked
  RevocationUnknown,  // no usable revocation list
  Usage,              // certificate not meant for this purpose
  Other,
};
CertFault CertFaultOf(long x509VerifyResult) noexcept;

// The set of certificate checks a request relaxes. A private bit stands for
// "go on without a client certificate", which WinInet keeps as a separate
// option rather than a security flag.
inline constexpr std::uint32_t kRelaxNoClientCert = 0x00010000;
inline constexpr std::uint32_t kRelaxMask =
    0x00000080 | 0x00000100 | 0x00000200 | 0x00001000 | 0x00002000 | kRelaxNoClientCert;
bool RelaxesFault(std::uint32_t relaxBits, CertFault fault) noexcept;

// Sets the thread's extended response code and text
// (ERROR_INTERNET_EXTENDED_ERROR).
void SetLastResponseInfo(std::uint32_t code, std::string text);
void ClearLastResponseInfo();

// The request target as sent: illegal characters percent-encoded, "/" first.
std::string EncodeRequestTarget(std::string_view object);

// An HTTP date (RFC 1123, RFC 850, asctime) as UTC; nullopt when it does not
// parse or lies outside the years 1601-9999.
std::optional<CivilTime> ParseHttpDate(std::string_view text);

// True when s is an HTTP token (method or header name).
bool IsHttpToken(std::string_view s) noexcept;

// Validates a server name for InternetConnect and returns it as it goes into
// a URL (IPv6 addresses in brackets); nullopt when it cannot be a host.
std::optional<std::string> UrlHostOf(std::string_view server);

}  // namespace tarvo::platform::inet_detail
