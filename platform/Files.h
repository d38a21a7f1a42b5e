// The file layer.
//
// Paths use "/". Every operation reports failure through its result and sets
// LastError (Errors.h) to the Windows code of the cause. Operations never follow
// a symbolic link where they create, delete or overwrite a file.
//
// Fault injection: tests make any operation fail with a chosen Windows code for
// paths that match a wildcard pattern (see FaultInjection below). Every
// function here, and FileStream, consults it before touching the disk.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::platform {

// --- queries -----------------------------------------------------------------

bool FileExists(const std::string& path);       // a file (not a folder)
bool DirectoryExists(const std::string& path);  // a folder
bool PathExists(const std::string& path);       // either
std::optional<std::uint64_t> FileSize(const std::string& path);

// Windows attributes. Read-only is the owner's write bit being clear; hidden is
// kept for callers that clear it and has no effect on Linux.
bool IsReadOnly(const std::string& path);
bool SetReadOnly(const std::string& path, bool readOnly);
bool SetHidden(const std::string& path, bool hidden);  // succeeds when the path exists

// --- names -------------------------------------------------------------------

std::string ExtractFileName(std::string_view path);  // text after the last '/'
std::string ExtractFilePath(std::string_view path);  // up to and including the last '/'
std::string ExtractFileExt(std::string_view path);   // ".ext" of the name, or empty
std::string ChangeFileExt(std::string_view path, std::string_view ext);
std::string IncludeTrailingPathDelimiter(std::string_view path);
std::string ExcludeTrailingPathDelimiter(std::string_view path);
std::string JoinPath(std::string_view folder, std::string_view name);

// Accepts a relative path that came from a file (a list, a cache): "\" and "/"
// both separate. Returns it with "/" separators, or nullopt when it is empty,
// absolute (leading separator or a drive letter), or climbs out with "..".
std::optional<std::string> SanitizeRelativePath(std::string_view path);

// Full path of the running executable, and its folder with a trailing "/".
std::string ExecutablePath();
std::string ExecutableFolder();

// --- changes -----------------------------------------------------------------

// Creates a folder and every missing parent; true when it exists afterwards.
bool ForceDirectories(const std::string& path);
bool CreateDir(const std::string& path);
bool RemoveDir(const std::string& path);  // an empty folder
bool DeleteFile(const std::string& path);  // a file or a link, never a folder
// Renames within one file system, replacing the target when replaceExisting.
bool RenameFile(const std::string& from, const std::string& to, bool replaceExisting = true);
// Copies contents and permission bits. Fails with ERROR_FILE_EXISTS when the
// target exists and failIfExists is set; never writes through a link at the
// target (the link is replaced).
bool CopyFile(const std::string& from, const std::string& to, bool failIfExists = false);

// Reads or writes a whole file. WriteFileAtomic writes a temporary file in the
// same folder, flushes it and renames it over the target, with the given mode.
std::optional<std::string> ReadFileBytes(const std::string& path);
bool WriteFileAtomic(const std::string& path, std::string_view data, unsigned mode = 0644);

// --- listing -----------------------------------------------------------------

struct FileEntry {
  std::string name;  // name only
  bool isDirectory = false;
  std::uint64_t size = 0;
};

// Case-insensitive wildcard match of a file name: "*" any run, "?" one code
// point. "*.*" matches names without a dot too, as on Windows.
bool MatchesMask(std::string_view name, std::string_view mask);

// Entries of a folder whose names match the mask ("." and ".." never), sorted
// by name (byte order of the name folded to lower case, then byte order), so
// that every caller sees the same order. Empty when the folder cannot be read
// (LastError tells why).
std::vector<FileEntry> ListFiles(const std::string& folder, std::string_view mask = "*");

// --- fault injection ----------------------------------------------------------

enum class FileOp { Any, Open, Create, Read, Write, Delete, Rename, Copy, CreateDir, RemoveDir,
                    Attributes, List };

// Process-wide rules that make matching file operations fail with a Windows
// code. A rule matches when its op is Any or equals the operation and its
// pattern (wildcards as MatchesMask, applied to the whole path) matches the
// path. Thread-safe. Tests add rules and Clear() them (the Sandbox does).
class FaultInjection {
 public:
  // count < 0: fail every time; otherwise fail that many times, then pass.
  static void Add(std::string pathPattern, FileOp op, std::uint32_t code, int count = -1);
  static void Clear();
  // Called by the file layer: the code to fail with, or 0 to go on.
  static std::uint32_t Check(std::string_view path, FileOp op);
};

// --- streams -----------------------------------------------------------------

// A file opened for the toolkit's own reading and writing. Move-only; the
// descriptor is closed by the destructor. Errors set LastError and are
// reported by the result of each call.
class FileStream {
 public:
  enum class Mode {
    Read,        // existing file, reading
    ReadWrite,   // existing file, reading and writing
    Append,      // existing file, writing at the end
    CreateNew,   // the creation rule below
  };

  FileStream() = default;
  FileStream(FileStream&&) noexcept;
  FileStream& operator=(FileStream&&) noexcept;
  FileStream(const FileStream&) = delete;
  FileStream& operator=(const FileStream&) = delete;
  ~FileStream();

  // Opens path in mode. CreateNew is the creation rule of every file the
  // toolkit makes in shared folders: delete the file if it exists (never
  // following a link), then create it anew exclusively (O_EXCL|O_NOFOLLOW) for
  // reading and writing with mode 0644 regardless of the umask's group and
  // other bits (never world-writable).
  bool Open(const std::string& path, Mode mode);
  bool IsOpen() const noexcept { return fFd >= 0; }
  const std::string& Path() const noexcept { return fPath; }

  // Reads up to size bytes; returns the count read (0 at the end), or -1.
  long long Read(void* buffer, std::size_t size);
  // Writes all bytes or fails.
  bool Write(const void* data, std::size_t size);
  bool Write(std::string_view data) { return Write(data.data(), data.size()); }
  bool Seek(std::int64_t offset);  // from the start
  std::optional<std::uint64_t> Size() const;
  bool Flush();  // fsync
  void Close();

 private:
  int fFd = -1;
  std::string fPath;
};

}  // namespace tarvo::platform
