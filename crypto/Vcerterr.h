// Status-code helpers for the vendor crypto library.
//
// A library status is an unsigned 32-bit value laid out like a Windows
// HRESULT: bit 31 severity (set = error), bit 29 "customer" (set on every
// vendor status), bits 16..28 the facility, bits 0..15 the code. 0 is success.
// All helpers are constexpr and take the status as unsigned 32-bit.
#pragma once

#include <cstdint>

namespace tarvo {

constexpr bool SUCCEEDED(std::uint32_t s) {
  return static_cast<std::int32_t>(s) >= 0;
}
constexpr bool FAILED(std::uint32_t s) {
  return static_cast<std::int32_t>(s) < 0;
}
constexpr bool IS_ERROR(std::uint32_t s) {
  return static_cast<std::int32_t>(s) < 0;
}
constexpr std::uint32_t VCERT_CODE(std::uint32_t s) {
  return s & 0xFFFFu;
}
constexpr std::uint32_t VCERT_FACILITY(std::uint32_t s) {
  return (s >> 16) & 0x1FFFu;
}
constexpr std::uint32_t VCERT_SEVERITY(std::uint32_t s) {
  return s >> 31;
}

// sev is 0 or 1; fac and code are taken as given (the caller keeps them in
// their fields, as the library does).
constexpr std::uint32_t MAKE_VCERT_STATUS(std::uint32_t sev, std::uint32_t fac,
                                          std::uint32_t code) {
  return (sev << 31) | 0x20000000u | (fac << 16) | code;
}

// A Windows error code as a status: 0 stays success.
constexpr std::uint32_t VCERT_STATUS_FROM_WIN32(std::uint32_t e) {
  return e == 0 ? 0 : ((e & 0xFFFFu) | 0x80070000u);
}

constexpr std::uint32_t VCERT_STATUS_FROM_OPENSSL(std::uint32_t e) {
  return e | 0x28000000u;
}

}  // namespace tarvo
