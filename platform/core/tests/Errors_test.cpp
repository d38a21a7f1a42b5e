#include "platform/core/Errors.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <thread>

#include "testing/Sandbox.h"

namespace tarvo::platform {
namespace {

TEST(Errors, MapsErrnoToTheWindowsCodeOfTheSameMeaning) {
  struct Case {
    int err;
    std::uint32_t code;
  };
  const Case cases[] = {
      {ENOENT, ERROR_FILE_NOT_FOUND},
      {ENOTDIR, ERROR_PATH_NOT_FOUND},
      {EACCES, ERROR_ACCESS_DENIED},
      {EPERM, ERROR_ACCESS_DENIED},
      {EISDIR, ERROR_ACCESS_DENIED},
      {EROFS, ERROR_WRITE_PROTECT},
      {EBUSY, ERROR_SHARING_VIOLATION},
      {ETXTBSY, ERROR_SHARING_VIOLATION},
      {EAGAIN, ERROR_LOCK_VIOLATION},
      {EFBIG, ERROR_HANDLE_DISK_FULL},
      {ENOSPC, ERROR_DISK_FULL},
      {EDQUOT, ERROR_DISK_FULL},
      {EEXIST, ERROR_ALREADY_EXISTS},
      {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
      {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
      {ELOOP, ERROR_CANT_RESOLVE_FILENAME},
      {EXDEV, ERROR_NOT_SAME_DEVICE},
      {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
      {ETIMEDOUT, ERROR_TIMEOUT},
      {EINVAL, ERROR_INVALID_PARAMETER},
      // A failure must never read as success: no errno and unknown values
      // give "a device ... is not functioning".
      {0, ERROR_GEN_FAILURE},
      {-1, ERROR_GEN_FAILURE},
      {987654, ERROR_GEN_FAILURE},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorFromErrno(c.err), c.code) << "errno " << c.err;
}

TEST(Errors, RealFailureGivesItsCode) {
  tarvo::testing::Sandbox box;
  errno = 0;
  std::FILE* f = std::fopen(box.Path("missing/file.txt").c_str(), "rb");
  ASSERT_EQ(f, nullptr);
  EXPECT_EQ(SetLastErrorFromErrno(errno), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(Errors, EnglishSystemTexts) {
  struct Case {
    std::uint32_t code;
    const char* text;
  };
  const Case cases[] = {
      {0, "The operation completed successfully"},
      {2, "The system cannot find the file specified"},
      {3, "The system cannot find the path specified"},
      {5, "Access is denied"},
      {19, "The media is write protected"},
      {32, "The process cannot access the file because it is being used by another process"},
      {33,
       "The process cannot access the file because another process has locked a portion of the "
       "file"},
      {39, "The disk is full"},
      {80, "The file exists"},
      {112, "There is not enough space on the disk"},
      {145, "The directory is not empty"},
      {183, "Cannot create a file when that file already exists"},
      {1460, "This operation returned because the timeout period expired"},
      {12345, "Unknown error 0x3039"},
      {0xFFFFFFFFu, "Unknown error 0xFFFFFFFF"},
  };
  for (const auto& c : cases) EXPECT_EQ(SysErrorMessage(c.code), c.text) << c.code;
}

TEST(Errors, EveryDeclaredCodeHasATextWithoutFinalPunctuation) {
  const std::uint32_t declared[] = {
      ERROR_SUCCESS,
      ERROR_INVALID_FUNCTION,
      ERROR_FILE_NOT_FOUND,
      ERROR_PATH_NOT_FOUND,
      ERROR_TOO_MANY_OPEN_FILES,
      ERROR_ACCESS_DENIED,
      ERROR_INVALID_HANDLE,
      ERROR_NOT_ENOUGH_MEMORY,
      ERROR_INVALID_DATA,
      ERROR_OUTOFMEMORY,
      ERROR_NOT_SAME_DEVICE,
      ERROR_WRITE_PROTECT,
      ERROR_NOT_READY,
      ERROR_CRC,
      ERROR_SEEK,
      ERROR_WRITE_FAULT,
      ERROR_READ_FAULT,
      ERROR_GEN_FAILURE,
      ERROR_SHARING_VIOLATION,
      ERROR_LOCK_VIOLATION,
      ERROR_HANDLE_EOF,
      ERROR_HANDLE_DISK_FULL,
      ERROR_NOT_SUPPORTED,
      ERROR_FILE_EXISTS,
      ERROR_CANNOT_MAKE,
      ERROR_INVALID_PARAMETER,
      ERROR_BROKEN_PIPE,
      ERROR_DISK_FULL,
      ERROR_CALL_NOT_IMPLEMENTED,
      ERROR_INSUFFICIENT_BUFFER,
      ERROR_INVALID_NAME,
      ERROR_MOD_NOT_FOUND,
      ERROR_PROC_NOT_FOUND,
      ERROR_DIR_NOT_EMPTY,
      ERROR_BUSY,
      ERROR_ALREADY_EXISTS,
      ERROR_FILENAME_EXCED_RANGE,
      ERROR_BAD_EXE_FORMAT,
      ERROR_NO_MORE_ITEMS,
      ERROR_DIRECTORY,
      ERROR_NOT_OWNER,
      ERROR_TOO_MANY_POSTS,
      ERROR_ABANDONED_WAIT_0,
      ERROR_OPERATION_ABORTED,
      ERROR_IO_DEVICE,
      ERROR_CANCELLED,
      ERROR_PRIVILEGE_NOT_HELD,
      ERROR_TIMEOUT,
      ERROR_CANT_RESOLVE_FILENAME,
      ERROR_FILE_READ_ONLY,
  };
  for (std::uint32_t code : declared) {
    const std::string text = SysErrorMessage(code);
    EXPECT_FALSE(text.empty()) << code;
    EXPECT_NE(text.rfind("Unknown error", 0), 0u) << code;
    EXPECT_NE(text.back(), '.') << code;
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << code;
  }
}

TEST(Errors, LastErrorIsPerThread) {
  SetLastError(ERROR_ACCESS_DENIED);
  std::uint32_t seenByOther = 12345;
  std::uint32_t setByOther = 0;
  std::thread other([&] {
    seenByOther = GetLastError();
    setByOther = SetLastErrorFromErrno(ENOSPC);
  });
  other.join();
  EXPECT_EQ(seenByOther, ERROR_SUCCESS);
  EXPECT_EQ(setByOther, ERROR_DISK_FULL);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  SetLastError(ERROR_SUCCESS);
}

}  // namespace
}  // namespace tarvo::platform
