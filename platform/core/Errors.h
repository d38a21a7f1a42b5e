// Windows error codes on Linux.
//
// The toolkit's logic and messages are written in Windows error codes ("Error
// 5: Access is denied."), so the platform layer reports those: errno values and
// transport failures are mapped to the Windows code with the same meaning, and
// each code has the English system text Windows gives for it.
//
// LastError is per thread, as on Windows: every platform call that can fail
// sets it when it fails (and leaves it alone when it succeeds).
#pragma once

#include <cstdint>
#include <string>

namespace tarvo::platform {

enum : std::uint32_t {
  ERROR_SUCCESS = 0,
  ERROR_INVALID_FUNCTION = 1,
  ERROR_FILE_NOT_FOUND = 2,
  ERROR_PATH_NOT_FOUND = 3,
  ERROR_TOO_MANY_OPEN_FILES = 4,
  ERROR_ACCESS_DENIED = 5,
  ERROR_INVALID_HANDLE = 6,
  ERROR_NOT_ENOUGH_MEMORY = 8,
  ERROR_INVALID_DATA = 13,
  ERROR_OUTOFMEMORY = 14,
  ERROR_NOT_SAME_DEVICE = 17,
  ERROR_WRITE_PROTECT = 19,
  ERROR_NOT_READY = 21,
  ERROR_CRC = 23,
  ERROR_SEEK = 25,
  ERROR_WRITE_FAULT = 29,
  ERROR_READ_FAULT = 30,
  ERROR_GEN_FAILURE = 31,
  ERROR_SHARING_VIOLATION = 32,
  ERROR_LOCK_VIOLATION = 33,
  ERROR_HANDLE_EOF = 38,
  ERROR_HANDLE_DISK_FULL = 39,
  ERROR_NOT_SUPPORTED = 50,
  ERROR_FILE_EXISTS = 80,
  ERROR_CANNOT_MAKE = 82,
  ERROR_INVALID_PARAMETER = 87,
  ERROR_BROKEN_PIPE = 109,
  ERROR_DISK_FULL = 112,
  ERROR_CALL_NOT_IMPLEMENTED = 120,
  ERROR_INSUFFICIENT_BUFFER = 122,
  ERROR_INVALID_NAME = 123,
  ERROR_MOD_NOT_FOUND = 126,
  ERROR_PROC_NOT_FOUND = 127,
  ERROR_DIR_NOT_EMPTY = 145,
  ERROR_BUSY = 170,
  ERROR_ALREADY_EXISTS = 183,
  ERROR_FILENAME_EXCED_RANGE = 206,
  ERROR_FILE_TOO_LARGE = 223,
  ERROR_BAD_EXE_FORMAT = 193,
  ERROR_NO_MORE_ITEMS = 259,
  ERROR_DIRECTORY = 267,
  ERROR_NOT_OWNER = 288,
  ERROR_TOO_MANY_POSTS = 298,
  ERROR_ABANDONED_WAIT_0 = 735,
  ERROR_OPERATION_ABORTED = 995,
  ERROR_IO_DEVICE = 1117,
  ERROR_CANCELLED = 1223,
  ERROR_PRIVILEGE_NOT_HELD = 1314,
  ERROR_TIMEOUT = 1460,
  // Windows Installer: the exit codes setup programs report.
  ERROR_INSTALL_USEREXIT = 1602,
  ERROR_INSTALL_FAILURE = 1603,
  ERROR_INSTALL_ALREADY_RUNNING = 1618,
  ERROR_INSTALL_PACKAGE_OPEN_FAILED = 1619,
  ERROR_INSTALL_PACKAGE_INVALID = 1620,
  ERROR_INSTALL_PLATFORM_UNSUPPORTED = 1633,
  ERROR_PRODUCT_VERSION = 1638,
  ERROR_CANT_RESOLVE_FILENAME = 1921,
  ERROR_SUCCESS_REBOOT_REQUIRED = 3010,
  ERROR_FILE_READ_ONLY = 6009,
};

// Maps an errno value to the Windows code of the same meaning (ENOENT -> 2,
// ENOTDIR -> 3, EACCES/EPERM/EISDIR -> 5, EROFS -> 19, EBUSY/ETXTBSY -> 32,
// EAGAIN/EDEADLK -> 33 (a lock held elsewhere), EFBIG -> 39, ENOSPC/EDQUOT ->
// 112, EEXIST -> 183, ENOTEMPTY -> 145, ELOOP -> 1921 (a link where none may
// be), ...). It is called after a failure, so 0 (a failure that left no errno)
// and unknown values map to 31 (a device attached to the system is not
// functioning): a failure never reads as success.
std::uint32_t ErrorFromErrno(int err) noexcept;

// The English system text of a code, without a final period or line break
// (callers add their own punctuation: "Error %d: %s."). An unknown code gives
// "Unknown error 0x%x" (upper-case hexadecimal digits). Texts of the
// WinInet range (12001-12175) belong to the HTTP layer and are unknown here.
std::string SysErrorMessage(std::uint32_t code);

std::uint32_t GetLastError() noexcept;
void SetLastError(std::uint32_t code) noexcept;
// Sets LastError from errno and returns the mapped code.
std::uint32_t SetLastErrorFromErrno(int err) noexcept;

}  // namespace tarvo::platform
