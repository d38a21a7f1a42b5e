#include "platform/core/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <mutex>
#include <random>

#include "platform/core/Errors.h"

namespace tarvo::platform {

namespace {

// --- small helpers -------------------------------------------------------------

// Code points of a text, each simply case-folded. A byte that is not part of
// valid UTF-8 stands for itself, as a value above the Unicode range, so that it
// never equals a real character and still counts as one.
std::u32string FoldedCodePoints(std::string_view s) {
  std::u32string out;
  out.reserve(s.size());
  const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
  const std::int32_t n = static_cast<std::int32_t>(std::min<std::size_t>(s.size(), INT32_MAX));
  std::int32_t i = 0;
  while (i < n) {
    const std::int32_t start = i;
    UChar32 c;
    U8_NEXT(p, i, n, c);
    if (c < 0) {
      out.push_back(static_cast<char32_t>(0x110000 + p[start]));
      i = start + 1;
    } else {
      out.push_back(static_cast<char32_t>(u_foldCase(c, U_FOLD_CASE_DEFAULT)));
    }
  }
  return out;
}

bool MatchFolded(std::u32string_view name, std::u32string_view mask) {
  std::size_t i = 0, j = 0;
  std::size_t star = std::u32string_view::npos, mark = 0;
  while (i < name.size()) {
    if (j < mask.size() && mask[j] == U'*') {
      star = j++;
      mark = i;
    } else if (j < mask.size() && (mask[j] == U'?' || mask[j] == name[i])) {
      ++i;
      ++j;
    } else if (star != std::u32string_view::npos) {
      j = star + 1;
      i = ++mark;
    } else {
      return false;
    }
  }
  while (j < mask.size() && mask[j] == U'*') ++j;
  return j == mask.size();
}

// A mask ending in ".*" also matches names without that extension, as on
// Windows: "*.*" matches "README", "setup.*" matches "setup".
bool MatchMaskFolded(std::u32string_view name, std::u32string_view mask) {
  if (MatchFolded(name, mask)) return true;
  if (mask.size() >= 2 && mask.substr(mask.size() - 2) == U".*")
    return MatchFolded(name, mask.substr(0, mask.size() - 2));
  return false;
}

bool Injected(std::string_view path, FileOp op) {
  if (const std::uint32_t code = FaultInjection::Check(path, op)) {
    SetLastError(code);
    return true;
  }
  return false;
}

// The folder part of a path ("." for a bare name).
std::string ParentOf(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const auto slash = p.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return p.substr(0, slash);
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Windows tells a missing file (2) from a missing folder on the way to it (3);
// callers such as the updater's messages rely on the difference.
std::uint32_t SetErrorFor(int err, const std::string& path) {
  if (err == ENOENT && !IsFolder(ParentOf(path))) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return ERROR_PATH_NOT_FOUND;
  }
  return SetLastErrorFromErrno(err);
}

bool Fail(int err, const std::string& path) {
  SetErrorFor(err, path);
  return false;
}

bool FailWith(std::uint32_t code) {
  SetLastError(code);
  return false;
}

int OpenRetry(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

void CloseQuietly(int fd) {
  if (fd >= 0) ::close(fd);
}

bool WriteAll(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool FsyncRetry(int fd) {
  int r;
  do {
    r = ::fsync(fd);
  } while (r < 0 && errno == EINTR);
  return r == 0;
}

// Best effort: after a rename the folder entry itself must reach the disk for
// the new content to survive a power loss.
void SyncFolder(const std::string& folder) {
  const int fd = OpenRetry(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

// Creates a new temporary file beside target, exclusively and without
// following links; returns its descriptor and sets tempPath, or -1 with errno.
int CreateTempBeside(const std::string& target, std::string& tempPath) {
  static thread_local std::mt19937_64 rng{std::random_device{}() ^
                                          static_cast<std::uint64_t>(::getpid())};
  const std::string folder = ParentOf(target);
  const std::string name = ExtractFileName(target);
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(rng()));
    tempPath =
        (folder == "/" ? std::string("/") : folder + "/") + "." + name + "." + suffix + ".tmp";
    const int fd =
        OpenRetry(tempPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// Renames over the target, or only when the target does not exist.
int RenameNoFollow(const std::string& from, const std::string& to, bool replace) {
  if (replace) return ::rename(from.c_str(), to.c_str());
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return -1;
  // File systems without RENAME_NOREPLACE: a hard link fails atomically when
  // the target exists; folders cannot be linked, so they get a check first.
  struct stat st {};
  if (::lstat(from.c_str(), &st) != 0) return -1;
  if (S_ISDIR(st.st_mode)) {
    if (::lstat(to.c_str(), &st) == 0) {
      errno = EEXIST;
      return -1;
    }
    return ::rename(from.c_str(), to.c_str());
  }
  if (::link(from.c_str(), to.c_str()) != 0) return -1;
  ::unlink(from.c_str());
  return 0;
}

// --- fault injection state --------------------------------------------------------

struct FaultRule {
  std::u32string pattern;  // folded
  FileOp op;
  std::uint32_t code;
  int count;
};

std::mutex gFaultMutex;
std::vector<FaultRule>& FaultRules() {
  static auto* rules = new std::vector<FaultRule>();  // never destroyed: used until exit
  return *rules;
}
std::atomic<bool> gHaveFaultRules{false};

}  // namespace

// --- queries -----------------------------------------------------------------

bool FileExists(const std::string& path) {
  if (Injected(path, FileOp::Attributes)) return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return Fail(errno, path);
  if (S_ISDIR(st.st_mode)) return FailWith(ERROR_FILE_NOT_FOUND);
  return true;
}

bool DirectoryExists(const std::string& path) {
  if (Injected(path, FileOp::Attributes)) return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return Fail(errno, path);
  if (!S_ISDIR(st.st_mode)) return FailWith(ERROR_DIRECTORY);
  return true;
}

bool PathExists(const std::string& path) {
  if (Injected(path, FileOp::Attributes)) return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return Fail(errno, path);
  return true;
}

std::optional<std::uint64_t> FileSize(const std::string& path) {
  if (Injected(path, FileOp::Attributes)) return std::nullopt;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    SetErrorFor(errno, path);
    return std::nullopt;
  }
  if (S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(st.st_size);
}

bool IsReadOnly(const std::string& path) {
  if (Injected(path, FileOp::Attributes)) return false;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return Fail(errno, path);
  if (S_ISLNK(st.st_mode)) return false;  // a link has no permission bits of its own
  return (st.st_mode & S_IWUSR) == 0;
}

namespace {

// What a permission change does with a path that is not a regular file.
enum class ModeTarget {
  // Folders change too; a symbolic link carries no bits of its own and is left
  // as it is, which counts as done.
  SkipLinks,
  // Only a regular file changes; anything else (a link, a folder) is refused
  // with access denied, since the caller means the file itself.
  RegularFileOnly,
};

// Sets setBits and clears clearBits on the path itself, never on what a link
// points to: changing a link's target would reach outside the folder being
// managed.
bool ChangeModeBits(const std::string& path, mode_t setBits, mode_t clearBits, ModeTarget target) {
  if (Injected(path, FileOp::Attributes)) return false;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return Fail(errno, path);
  const bool skipLinks = target == ModeTarget::SkipLinks;
  if (skipLinks && S_ISLNK(st.st_mode)) return true;
  if (!skipLinks && !S_ISREG(st.st_mode)) return Fail(EACCES, path);
  const mode_t old = st.st_mode & 07777;
  const mode_t mode = (old & ~clearBits) | setBits;
  if (mode == old) return true;
  if (::fchmodat(AT_FDCWD, path.c_str(), mode, AT_SYMLINK_NOFOLLOW) != 0) {
    // The path was swapped for a link between the two calls.
    if (errno == ENOTSUP || errno == EOPNOTSUPP) return skipLinks || Fail(EACCES, path);
    return Fail(errno, path);
  }
  return true;
}

}  // namespace

bool SetReadOnly(const std::string& path, bool readOnly) {
  // Clearing read-only gives back only the owner's write bit: it never opens
  // the file to others.
  if (readOnly) return ChangeModeBits(path, 0, S_IWUSR | S_IWGRP | S_IWOTH, ModeTarget::SkipLinks);
  return ChangeModeBits(path, S_IWUSR, 0, ModeTarget::SkipLinks);
}

bool SetExecutable(const std::string& path) {
  return ChangeModeBits(path, S_IXUSR, 0, ModeTarget::RegularFileOnly);
}

bool SetHidden(const std::string& path, bool /*hidden*/) {
  if (Injected(path, FileOp::Attributes)) return false;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return Fail(errno, path);
  return true;
}

// --- names -------------------------------------------------------------------

std::string ExtractFileName(std::string_view path) {
  const auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string ExtractFilePath(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

std::string ExtractFileExt(std::string_view path) {
  const std::string name = ExtractFileName(path);
  const auto dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot);
}

std::string ChangeFileExt(std::string_view path, std::string_view ext) {
  const auto slash = path.rfind('/');
  const auto dot = path.rfind('.');
  std::string out(path);
  if (dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash))
    out.resize(dot);
  out += ext;
  return out;
}

std::string IncludeTrailingPathDelimiter(std::string_view path) {
  std::string out(path);
  // An empty folder stays empty: turning it into "/" would silently point a
  // relative name at the root of the file system.
  if (!out.empty() && out.back() != '/') out += '/';
  return out;
}

std::string ExcludeTrailingPathDelimiter(std::string_view path) {
  std::string out(path);
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

std::string JoinPath(std::string_view folder, std::string_view name) {
  while (!name.empty() && name.front() == '/') name.remove_prefix(1);
  if (folder.empty()) return std::string(name);
  return IncludeTrailingPathDelimiter(folder) + std::string(name);
}

std::optional<std::string> SanitizeRelativePath(std::string_view path) {
  if (path.empty()) return std::nullopt;
  if (path.find('\0') != std::string_view::npos) return std::nullopt;
  if (path.front() == '/' || path.front() == '\\') return std::nullopt;
  const auto isLetter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  if (path.size() >= 2 && isLetter(path[0]) && path[1] == ':') return std::nullopt;
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (part == "..") {
      if (parts.empty()) return std::nullopt;  // would climb out of the base folder
      parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  if (parts.empty()) return std::nullopt;
  std::string out;
  for (const auto& part : parts) {
    if (!out.empty()) out += '/';
    out += part;
  }
  return out;
}

std::string ExecutablePath() {
  std::string buf(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) {
      SetLastErrorFromErrno(errno);
      return std::string();
    }
    if (static_cast<std::size_t>(n) < buf.size()) {
      buf.resize(static_cast<std::size_t>(n));
      return buf;
    }
    buf.resize(buf.size() * 2);
  }
}

std::string ExecutableFolder() {
  return ExtractFilePath(ExecutablePath());
}

// --- changes -----------------------------------------------------------------

namespace {

bool ForceDirectoriesImpl(const std::string& path, int depth) {
  if (::mkdir(path.c_str(), 0777) == 0) return true;
  const int err = errno;
  if (err == EEXIST) {
    if (IsFolder(path)) return true;
    return FailWith(ERROR_ALREADY_EXISTS);  // a file stands in the way
  }
  if (err != ENOENT || depth > 4096) return Fail(err, path);
  const std::string parent = ParentOf(path);
  if (parent == path || parent == "." || parent == "/") return Fail(err, path);
  if (!ForceDirectoriesImpl(parent, depth + 1)) return false;
  if (::mkdir(path.c_str(), 0777) == 0) return true;
  if (errno == EEXIST && IsFolder(path)) return true;
  return Fail(errno, path);
}

}  // namespace

bool ForceDirectories(const std::string& path) {
  if (path.empty()) return FailWith(ERROR_PATH_NOT_FOUND);
  if (Injected(path, FileOp::CreateDir)) return false;
  const std::string p = ExcludeTrailingPathDelimiter(path);
  if (IsFolder(p)) return true;
  return ForceDirectoriesImpl(p, 0);
}

bool CreateDir(const std::string& path) {
  if (path.empty()) return FailWith(ERROR_PATH_NOT_FOUND);
  if (Injected(path, FileOp::CreateDir)) return false;
  if (::mkdir(path.c_str(), 0777) != 0) return Fail(errno, path);
  return true;
}

bool RemoveDir(const std::string& path) {
  if (Injected(path, FileOp::RemoveDir)) return false;
  if (::rmdir(path.c_str()) != 0) {
    if (errno == ENOTDIR) return FailWith(ERROR_DIRECTORY);
    return Fail(errno, path);
  }
  return true;
}

bool DeleteFile(const std::string& path) {
  if (Injected(path, FileOp::Delete)) return false;
  if (::unlink(path.c_str()) != 0) {
    // Linux reports a folder as EISDIR; Windows as access denied.
    if (errno == EISDIR || errno == EPERM) {
      if (IsFolder(path)) return FailWith(ERROR_ACCESS_DENIED);
    }
    return Fail(errno, path);
  }
  return true;
}

bool RenameFile(const std::string& from, const std::string& to, bool replaceExisting) {
  if (Injected(from, FileOp::Rename) || Injected(to, FileOp::Rename)) return false;
  if (RenameNoFollow(from, to, replaceExisting) != 0) {
    const int err = errno;
    if (err == EEXIST && !replaceExisting) return FailWith(ERROR_ALREADY_EXISTS);
    struct stat st {};
    if (err == ENOENT && ::lstat(from.c_str(), &st) != 0) return Fail(err, from);
    return Fail(err, to);
  }
  return true;
}

bool CopyFile(const std::string& from, const std::string& to, bool failIfExists) {
  if (Injected(from, FileOp::Copy) || Injected(to, FileOp::Copy)) return false;
  const int in = OpenRetry(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (in < 0) return Fail(errno, from);
  struct stat st {};
  if (::fstat(in, &st) != 0) {
    const int err = errno;
    CloseQuietly(in);
    return Fail(err, from);
  }
  if (!S_ISREG(st.st_mode)) {  // a folder, a pipe, a device: nothing to copy
    CloseQuietly(in);
    return FailWith(ERROR_ACCESS_DENIED);
  }
  struct stat target {};
  if (failIfExists && ::lstat(to.c_str(), &target) == 0) {
    CloseQuietly(in);
    return FailWith(ERROR_FILE_EXISTS);
  }
  // The copy is written beside the target and renamed over it: a failure half
  // way leaves the old target intact, and a link at the target is replaced,
  // never written through.
  std::string temp;
  const int out = CreateTempBeside(to, temp);
  if (out < 0) {
    const int err = errno;
    CloseQuietly(in);
    return Fail(err, to);
  }
  const auto abandon = [&](int err) {
    CloseQuietly(in);
    CloseQuietly(out);
    ::unlink(temp.c_str());
    return Fail(err, to);
  };
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      CloseQuietly(in);
      CloseQuietly(out);
      ::unlink(temp.c_str());
      return Fail(err, from);
    }
    if (n == 0) break;
    if (!WriteAll(out, buffer.data(), static_cast<std::size_t>(n))) return abandon(errno);
  }
  // Permission bits as the source has them, not as the umask would make them;
  // set-id bits are not carried over to a file that someone else may own.
  if (::fchmod(out, st.st_mode & 0777) != 0) return abandon(errno);
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  ::futimens(out, times);  // keeps the modification time as Windows does; not essential
  if (!FsyncRetry(out)) return abandon(errno);
  CloseQuietly(in);
  if (::close(out) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    return Fail(err, to);
  }
  if (RenameNoFollow(temp, to, !failIfExists) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    if (err == EEXIST) return FailWith(ERROR_FILE_EXISTS);
    return Fail(err, to);
  }
  return true;
}

std::optional<std::string> ReadFileBytes(const std::string& path) {
  if (Injected(path, FileOp::Open) || Injected(path, FileOp::Read)) return std::nullopt;
  const int fd = OpenRetry(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    SetErrorFor(errno, path);
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    CloseQuietly(fd);
    SetErrorFor(err, path);
    return std::nullopt;
  }
  if (!S_ISREG(st.st_mode)) {  // a folder, a pipe, a device
    CloseQuietly(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return std::nullopt;
  }
  std::string data;
  data.reserve(static_cast<std::size_t>(st.st_size));
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      CloseQuietly(fd);
      SetErrorFor(err, path);
      return std::nullopt;
    }
    if (n == 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  CloseQuietly(fd);
  return data;
}

bool WriteFileAtomic(const std::string& path, std::string_view data, unsigned mode) {
  if (Injected(path, FileOp::Create) || Injected(path, FileOp::Write)) return false;
  if (IsFolder(path)) return FailWith(ERROR_ACCESS_DENIED);
  std::string temp;
  const int fd = CreateTempBeside(path, temp);
  if (fd < 0) return Fail(errno, path);
  const auto abandon = [&](int err) {
    CloseQuietly(fd);
    ::unlink(temp.c_str());
    return Fail(err, path);
  };
  if (!WriteAll(fd, data.data(), data.size())) return abandon(errno);
  if (::fchmod(fd, static_cast<mode_t>(mode & 07777)) != 0) return abandon(errno);
  if (!FsyncRetry(fd)) return abandon(errno);
  if (::close(fd) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    return Fail(err, path);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    return Fail(err, path);
  }
  SyncFolder(ParentOf(path));
  return true;
}

// --- listing -----------------------------------------------------------------

bool MatchesMask(std::string_view name, std::string_view mask) {
  return MatchMaskFolded(FoldedCodePoints(name), FoldedCodePoints(mask));
}

std::optional<std::vector<FileEntry>> TryListFiles(const std::string& folder,
                                                   std::string_view mask) {
  if (Injected(folder, FileOp::List)) return std::nullopt;
  const int dfd = OpenRetry(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) {
    if (errno == ENOTDIR) {
      SetLastError(ERROR_DIRECTORY);
    } else {
      SetErrorFor(errno, folder);
    }
    return std::nullopt;
  }
  DIR* dir = ::fdopendir(dfd);
  if (!dir) {
    const int err = errno;
    CloseQuietly(dfd);
    SetErrorFor(err, folder);
    return std::nullopt;
  }
  const std::u32string foldedMask = FoldedCodePoints(mask);
  struct Item {
    std::u32string key;
    FileEntry entry;
  };
  std::vector<Item> items;
  for (;;) {
    errno = 0;
    const dirent* d = ::readdir(dir);
    if (!d) {
      if (errno != 0) {
        const int err = errno;
        ::closedir(dir);
        SetLastErrorFromErrno(err);
        return std::nullopt;
      }
      break;
    }
    const std::string_view name = d->d_name;
    if (name == "." || name == "..") continue;
    std::u32string key = FoldedCodePoints(name);
    if (!MatchMaskFolded(key, foldedMask)) continue;
    struct stat st {};
    struct stat lst {};
    if (::fstatat(dfd, d->d_name, &lst, AT_SYMLINK_NOFOLLOW) != 0) continue;  // vanished
    if (!S_ISLNK(lst.st_mode) || ::fstatat(dfd, d->d_name, &st, 0) != 0) st = lst;
    FileEntry e;
    e.name = std::string(name);
    e.isLink = S_ISLNK(lst.st_mode);
    e.isDirectory = S_ISDIR(st.st_mode);
    e.size = e.isDirectory ? 0 : static_cast<std::uint64_t>(st.st_size);
    items.push_back({std::move(key), std::move(e)});
  }
  ::closedir(dir);
  std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
    if (a.key != b.key) return a.key < b.key;
    return a.entry.name < b.entry.name;
  });
  std::vector<FileEntry> out;
  out.reserve(items.size());
  for (auto& item : items) out.push_back(std::move(item.entry));
  return out;
}

std::vector<FileEntry> ListFiles(const std::string& folder, std::string_view mask) {
  auto entries = TryListFiles(folder, mask);
  return entries ? std::move(*entries) : std::vector<FileEntry>();
}

// --- fault injection ----------------------------------------------------------

void FaultInjection::Add(std::string pathPattern, FileOp op, std::uint32_t code, int count) {
  if (count == 0) return;
  std::lock_guard lock(gFaultMutex);
  FaultRules().push_back({FoldedCodePoints(pathPattern), op, code, count});
  gHaveFaultRules.store(true, std::memory_order_release);
}

void FaultInjection::Clear() {
  std::lock_guard lock(gFaultMutex);
  FaultRules().clear();
  gHaveFaultRules.store(false, std::memory_order_release);
}

std::uint32_t FaultInjection::Check(std::string_view path, FileOp op) {
  if (!gHaveFaultRules.load(std::memory_order_acquire)) return 0;
  const std::u32string folded = FoldedCodePoints(path);
  std::lock_guard lock(gFaultMutex);
  auto& rules = FaultRules();
  for (auto it = rules.begin(); it != rules.end(); ++it) {
    if (it->op != FileOp::Any && it->op != op) continue;
    if (!MatchMaskFolded(folded, it->pattern)) continue;
    const std::uint32_t code = it->code;
    if (it->count > 0 && --it->count == 0) {
      rules.erase(it);
      if (rules.empty()) gHaveFaultRules.store(false, std::memory_order_release);
    }
    return code;
  }
  return 0;
}

// --- streams -----------------------------------------------------------------

FileStream::FileStream(FileStream&& other) noexcept
    : fFd(other.fFd), fPath(std::move(other.fPath)) {
  other.fFd = -1;
  other.fPath.clear();
}

FileStream& FileStream::operator=(FileStream&& other) noexcept {
  if (this != &other) {
    Close();
    fFd = other.fFd;
    fPath = std::move(other.fPath);
    other.fFd = -1;
    other.fPath.clear();
  }
  return *this;
}

FileStream::~FileStream() {
  Close();
}

bool FileStream::Open(const std::string& path, Mode mode) {
  Close();
  if (mode == Mode::CreateNew) {
    if (Injected(path, FileOp::Create)) return false;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) return FailWith(ERROR_ACCESS_DENIED);
      if (Injected(path, FileOp::Delete)) return false;
      // unlink removes a link itself, never the file it points to.
      if (::unlink(path.c_str()) != 0 && errno != ENOENT) return Fail(errno, path);
    }
    const int fd =
        OpenRetry(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return Fail(errno, path);
    // The umask may have taken bits away; the rule is exactly 0644, and never
    // more than that (no group or world write).
    if (::fchmod(fd, 0644) != 0) {
      const int err = errno;
      ::close(fd);
      ::unlink(path.c_str());
      return Fail(err, path);
    }
    fFd = fd;
    fPath = path;
    return true;
  }

  if (Injected(path, FileOp::Open)) return false;
  int flags = O_CLOEXEC | O_NONBLOCK;
  switch (mode) {
    case Mode::Read:
      flags |= O_RDONLY;
      break;
    // Writing into an existing file never follows a link: the link could lead
    // out of the folder the caller means to change.
    case Mode::ReadWrite:
      flags |= O_RDWR | O_NOFOLLOW;
      break;
    case Mode::Append:
      flags |= O_WRONLY | O_APPEND | O_NOFOLLOW;
      break;
    case Mode::CreateNew:
      break;
  }
  const int fd = OpenRetry(path.c_str(), flags);
  if (fd < 0) {
    if (errno == ELOOP || errno == EISDIR) return FailWith(ERROR_ACCESS_DENIED);
    return Fail(errno, path);
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    // Only regular files: a pipe or a device planted in a shared folder must
    // not block or feed the toolkit.
    ::close(fd);
    return FailWith(ERROR_ACCESS_DENIED);
  }
  // O_NONBLOCK only kept open() from blocking on a pipe; regular files ignore it
  // but clear it anyway so that the descriptor behaves plainly.
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  fFd = fd;
  fPath = path;
  return true;
}

long long FileStream::Read(void* buffer, std::size_t size) {
  if (fFd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return -1;
  }
  if (Injected(fPath, FileOp::Read)) return -1;
  for (;;) {
    const ssize_t n = ::read(fFd, buffer, size);
    if (n >= 0) return n;
    if (errno != EINTR) {
      SetLastErrorFromErrno(errno);
      return -1;
    }
  }
}

bool FileStream::Write(const void* data, std::size_t size) {
  if (fFd < 0) return FailWith(ERROR_INVALID_HANDLE);
  if (Injected(fPath, FileOp::Write)) return false;
  if (!WriteAll(fFd, data, size)) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool FileStream::Seek(std::int64_t offset) {
  if (fFd < 0) return FailWith(ERROR_INVALID_HANDLE);
  if (offset < 0) return FailWith(ERROR_INVALID_PARAMETER);
  if (::lseek(fFd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

std::optional<std::uint64_t> FileStream::Size() const {
  if (fFd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return std::nullopt;
  }
  if (Injected(fPath, FileOp::Attributes)) return std::nullopt;
  struct stat st {};
  if (::fstat(fFd, &st) != 0) {
    SetLastErrorFromErrno(errno);
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(st.st_size);
}

bool FileStream::Flush() {
  if (fFd < 0) return FailWith(ERROR_INVALID_HANDLE);
  if (Injected(fPath, FileOp::Write)) return false;
  if (!FsyncRetry(fFd)) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

void FileStream::Close() {
  if (fFd >= 0) ::close(fFd);
  fFd = -1;
  fPath.clear();
}

}  // namespace tarvo::platform
