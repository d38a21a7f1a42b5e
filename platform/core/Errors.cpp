#include "platform/core/Errors.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iterator>

namespace tarvo::platform {

namespace {

struct ErrorText {
  std::uint32_t code;
  const char* text;
};

// The English texts Windows gives for these codes, without the final period,
// sorted by code. Callers show them in messages the user already knows from
// the terminal on Windows, so they are kept word for word (even the "%1" of
// code 193, which Windows leaves in place when no insert is given).
constexpr ErrorText kTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully"},
    {ERROR_INVALID_FUNCTION, "Incorrect function"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified"},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file"},
    {ERROR_ACCESS_DENIED, "Access is denied"},
    {ERROR_INVALID_HANDLE, "The handle is invalid"},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command"},
    {ERROR_INVALID_DATA, "The data is invalid"},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation"},
    {ERROR_NOT_SAME_DEVICE, "The system cannot move the file to a different disk drive"},
    {ERROR_WRITE_PROTECT, "The media is write protected"},
    {ERROR_NOT_READY, "The device is not ready"},
    {ERROR_CRC, "Data error (cyclic redundancy check)"},
    {ERROR_SEEK, "The drive cannot locate a specific area or track on the disk"},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device"},
    {ERROR_READ_FAULT, "The system cannot read from the specified device"},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning"},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process"},
    {ERROR_LOCK_VIOLATION,
     "The process cannot access the file because another process has locked a portion of the "
     "file"},
    {ERROR_HANDLE_EOF, "Reached the end of the file"},
    {ERROR_HANDLE_DISK_FULL, "The disk is full"},
    {ERROR_NOT_SUPPORTED, "The request is not supported"},
    {ERROR_FILE_EXISTS, "The file exists"},
    {ERROR_CANNOT_MAKE, "The directory or file cannot be created"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect"},
    {ERROR_BROKEN_PIPE, "The pipe has been ended"},
    {ERROR_DISK_FULL, "There is not enough space on the disk"},
    {ERROR_CALL_NOT_IMPLEMENTED, "This function is not supported on this system"},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small"},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect"},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found"},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found"},
    {ERROR_DIR_NOT_EMPTY, "The directory is not empty"},
    {ERROR_BUSY, "The requested resource is in use"},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists"},
    {ERROR_BAD_EXE_FORMAT, "%1 is not a valid Win32 application"},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long"},
    {ERROR_FILE_TOO_LARGE, "The file size exceeds the limit allowed and cannot be saved"},
    {ERROR_NO_MORE_ITEMS, "No more data is available"},
    {ERROR_DIRECTORY, "The directory name is invalid"},
    {ERROR_NOT_OWNER, "Attempt to release mutex not owned by caller"},
    {ERROR_TOO_MANY_POSTS, "Too many posts were made to a semaphore"},
    {ERROR_ABANDONED_WAIT_0, "ERROR_ABANDONED_WAIT_0"},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application "
     "request"},
    {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error"},
    {ERROR_CANCELLED, "The operation was canceled by the user"},
    {ERROR_PRIVILEGE_NOT_HELD, "A required privilege is not held by the client"},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired"},
    {ERROR_INSTALL_USEREXIT, "User cancelled installation"},
    {ERROR_INSTALL_FAILURE, "Fatal error during installation"},
    {ERROR_INSTALL_ALREADY_RUNNING,
     "Another installation is already in progress. Complete that installation before proceeding "
     "with this install"},
    {ERROR_INSTALL_PACKAGE_OPEN_FAILED,
     "This installation package could not be opened. Verify that the package exists and that you "
     "can access it, or contact the application vendor to verify that this is a valid Windows "
     "Installer package"},
    {ERROR_INSTALL_PACKAGE_INVALID,
     "This installation package could not be opened. Contact the application vendor to verify "
     "that this is a valid Windows Installer package"},
    {ERROR_INSTALL_PLATFORM_UNSUPPORTED,
     "This installation package is not supported by this processor type. Contact your product "
     "vendor"},
    {ERROR_PRODUCT_VERSION,
     "Another version of this product is already installed. Installation of this version cannot "
     "continue. To configure or remove the existing version of this product, use Add/Remove "
     "Programs on the Control Panel"},
    {ERROR_CANT_RESOLVE_FILENAME, "The name of the file cannot be resolved by the system"},
    {ERROR_SUCCESS_REBOOT_REQUIRED,
     "The requested operation is successful. Changes will not be effective until the system is "
     "rebooted"},
    {ERROR_FILE_READ_ONLY, "The specified file is read only"},
};

constexpr bool SortedByCode() {
  for (std::size_t k = 1; k < std::size(kTexts); ++k)
    if (kTexts[k - 1].code >= kTexts[k].code) return false;
  return true;
}
static_assert(SortedByCode(), "kTexts must be sorted by code for the binary search");

thread_local std::uint32_t tLastError = ERROR_SUCCESS;

}  // namespace

std::uint32_t ErrorFromErrno(int err) noexcept {
  switch (err) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      // A component of the path is not a folder: Windows says the path is not
      // found.
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case EROFS:
      return ERROR_WRITE_PROTECT;
    case EBUSY:
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case EAGAIN:
    case EDEADLK:
      // What a non-blocking lock attempt reports when another process holds
      // the lock.
      return ERROR_LOCK_VIOLATION;
    case EFBIG:
      return ERROR_HANDLE_DISK_FULL;
    case ENOSPC:
    case EDQUOT:
      return ERROR_DISK_FULL;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ELOOP:
      return ERROR_CANT_RESOLVE_FILENAME;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case EXDEV:
      return ERROR_NOT_SAME_DEVICE;
    case EIO:
      return ERROR_IO_DEVICE;
    case ENXIO:
    case ENODEV:
      return ERROR_NOT_READY;
    case ESPIPE:
      return ERROR_SEEK;
    case EPIPE:
      return ERROR_BROKEN_PIPE;
    case ENOSYS:
      return ERROR_CALL_NOT_IMPLEMENTED;
    case EOPNOTSUPP:
      return ERROR_NOT_SUPPORTED;
    case ENOEXEC:
      return ERROR_BAD_EXE_FORMAT;
    case ETIMEDOUT:
      return ERROR_TIMEOUT;
    case ECANCELED:
      return ERROR_CANCELLED;
    case EINTR:
      return ERROR_OPERATION_ABORTED;
    default:
      return ERROR_GEN_FAILURE;
  }
}

std::string SysErrorMessage(std::uint32_t code) {
  const auto* it = std::lower_bound(std::begin(kTexts), std::end(kTexts), code,
                                    [](const ErrorText& e, std::uint32_t c) { return e.code < c; });
  if (it != std::end(kTexts) && it->code == code) return it->text;
  char buf[32];
  std::snprintf(buf, sizeof buf, "Unknown error 0x%X", static_cast<unsigned>(code));
  return buf;
}

std::uint32_t GetLastError() noexcept {
  return tLastError;
}

void SetLastError(std::uint32_t code) noexcept {
  tLastError = code;
}

std::uint32_t SetLastErrorFromErrno(int err) noexcept {
  const std::uint32_t code = ErrorFromErrno(err);
  tLastError = code;
  return code;
}

}  // namespace tarvo::platform
