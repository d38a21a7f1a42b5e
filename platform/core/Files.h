// The file layer.
//
// Paths use "/". Every operation reports failure through its result and sets
// LastError (Errors.h) to the Windows code of the cause. Operations never follow
// a symbolic link where they create, delete or overwrite a file.
//
// Fault injection: tests make any operation fail with a chosen Windows code for
// paths that match a wildcard pattern (see FaultInjection below). Every
// function here, and FileStream, consults it before touching the disk, with
// these operations:
//
//   FileExists DirectoryExists PathExists FileSize IsReadOnly
//   SetReadOnly SetHidden SetExecutable,              Attributes
//   FileStream::Size
//   ForceDirectories CreateDir                        CreateDir
//   RemoveDir                                         RemoveDir
//   DeleteFile                                        Delete
//   RenameFile (source and target path)               Rename
//   CopyFile (source and target path)                 Copy
//   ReadFileBytes                                     Open, then Read
//   WriteFileAtomic                                   Create, then Write
//   ListFiles TryListFiles (the folder)               List
//   FileStream::Open Read/ReadWrite/Append            Open
//   FileStream::Open CreateNew                        Create; Delete when a file is there
//   FileStream::Read                                  Read
//   FileStream::Write, FileStream::Flush              Write
//
// A missing file sets ERROR_FILE_NOT_FOUND (2), a missing folder on the way to
// it ERROR_PATH_NOT_FOUND (3), as on Windows. All descriptors are opened
// close-on-exec, so programs the toolkit starts inherit none of them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::platform {

// --- queries -----------------------------------------------------------------

// Queries follow links (a link to a file is a file); false sets LastError.
bool FileExists(const std::string& path);       // a file (not a folder)
bool DirectoryExists(const std::string& path);  // a folder
bool PathExists(const std::string& path);       // either
std::optional<std::uint64_t> FileSize(const std::string& path);

// Windows attributes. Read-only is the owner's write bit being clear; hidden is
// kept for callers that clear it and has no effect on Linux. SetReadOnly(true)
// clears every write bit; SetReadOnly(false) gives back only the owner's. A
// symbolic link has no bits of its own: it is never read-only and is left as it
// is (the file it points to is not touched).
bool IsReadOnly(const std::string& path);
bool SetReadOnly(const std::string& path, bool readOnly);
bool SetHidden(const std::string& path, bool hidden);  // succeeds when the path exists
// Lets the owner run the file (a program the toolkit wrote and will start).
// Only the owner's execute bit is added: group and others get nothing they did
// not have. A symbolic link is left as it is and fails with ERROR_ACCESS_DENIED
// (5), as does a folder: what would be run must be the file itself.
bool SetExecutable(const std::string& path);

// --- names -------------------------------------------------------------------

std::string ExtractFileName(std::string_view path);  // text after the last '/'
std::string ExtractFilePath(std::string_view path);  // up to and including the last '/'
std::string ExtractFileExt(std::string_view path);   // ".ext" of the name, or empty
std::string ChangeFileExt(std::string_view path, std::string_view ext);
// Adds a "/" unless there is one. An empty path stays empty: it means the
// current folder, never the root.
std::string IncludeTrailingPathDelimiter(std::string_view path);
// Removes trailing "/" but keeps the root "/" as it is.
std::string ExcludeTrailingPathDelimiter(std::string_view path);
// folder + "/" + name, without doubling the "/"; an empty folder gives name.
std::string JoinPath(std::string_view folder, std::string_view name);

// Accepts a relative path that came from a file (a list, a cache): "\" and "/"
// both separate. Returns it with "/" separators, or nullopt when it is empty,
// absolute (leading separator or a drive letter), or climbs out with "..".
// Empty, "." and ".." parts are resolved ("a\.\b/../c" gives "a/c"), so the
// result never holds "..", "." or "//"; a NUL byte makes the path invalid.
std::optional<std::string> SanitizeRelativePath(std::string_view path);

// Full path of the running executable, and its folder with a trailing "/".
std::string ExecutablePath();
std::string ExecutableFolder();

// --- changes -----------------------------------------------------------------

// Creates a folder and every missing parent (mode 0777 less the umask); true
// when it exists afterwards. A file in the way fails with ERROR_ALREADY_EXISTS.
bool ForceDirectories(const std::string& path);
bool CreateDir(const std::string& path);
bool RemoveDir(const std::string& path);  // an empty folder
// A file or a link (the link itself), never a folder (ERROR_ACCESS_DENIED).
// The read-only attribute does not prevent deletion, as on Linux in general.
bool DeleteFile(const std::string& path);
// Renames within one file system, replacing the target when replaceExisting;
// otherwise an existing target fails with ERROR_ALREADY_EXISTS, atomically.
bool RenameFile(const std::string& from, const std::string& to, bool replaceExisting = true);
// Copies contents, permission bits (not set-id bits) and the modification
// time of a regular file. Fails with ERROR_FILE_EXISTS when the target exists
// and failIfExists is set; never writes through a link at the target (the link
// is replaced). The copy is written to a temporary file beside the target,
// flushed and renamed over it, so a failure leaves the old target intact.
bool CopyFile(const std::string& from, const std::string& to, bool failIfExists = false);

// Reads or writes a whole file. WriteFileAtomic writes a temporary file in the
// same folder, flushes it and renames it over the target, with exactly the
// given mode (not reduced by the umask). A link at the target is replaced, never
// written through. On failure the target is unchanged and no temporary is left.
std::optional<std::string> ReadFileBytes(const std::string& path);
bool WriteFileAtomic(const std::string& path, std::string_view data, unsigned mode = 0644);

// --- listing -----------------------------------------------------------------

struct FileEntry {
  std::string name;          // name only
  bool isDirectory = false;  // of what a link points to
  bool isLink = false;       // the entry itself is a symbolic link
  std::uint64_t size = 0;
};

// Case-insensitive wildcard match of a file name: "*" any run, "?" one code
// point; letters compare by Unicode simple case folding. A mask ending in ".*"
// also matches names without that extension, as on Windows ("*.*" matches
// names without a dot, "setup.*" matches "setup"). An empty mask matches only
// an empty name.
bool MatchesMask(std::string_view name, std::string_view mask);

// Entries of a folder whose names match the mask ("." and ".." never), sorted
// by name (byte order of the name folded to lower case, then byte order), so
// that every caller sees the same order. Empty when the folder cannot be read
// (LastError tells why). Entries that are links report what they point to.
std::vector<FileEntry> ListFiles(const std::string& folder, std::string_view mask = "*");
// The same, telling an unreadable folder (nullopt, LastError set) from an
// empty one.
std::optional<std::vector<FileEntry>> TryListFiles(const std::string& folder,
                                                   std::string_view mask = "*");

// --- fault injection ----------------------------------------------------------

enum class FileOp {
  Any,
  Open,
  Create,
  Read,
  Write,
  Delete,
  Rename,
  Copy,
  CreateDir,
  RemoveDir,
  Attributes,
  List
};

// Process-wide rules that make matching file operations fail with a Windows
// code. A rule matches when its op is Any or equals the operation and its
// pattern (wildcards as MatchesMask, applied to the whole path) matches the
// path. Rules are tried in the order they were added; the first match fails
// the operation (and counts down its count). Thread-safe; Check costs one
// atomic load while there are no rules. Tests add rules and Clear() them (the
// Sandbox does).
class FaultInjection {
 public:
  // count < 0: fail every time; otherwise fail that many times, then pass
  // (count 0 adds nothing).
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
    Read,       // existing file, reading
    ReadWrite,  // existing file, reading and writing
    Append,     // existing file, writing at the end
    CreateNew,  // the creation rule below
  };

  FileStream() = default;
  FileStream(FileStream&&) noexcept;
  FileStream& operator=(FileStream&&) noexcept;
  FileStream(const FileStream&) = delete;
  FileStream& operator=(const FileStream&) = delete;
  ~FileStream();

  // Opens path in mode; an open stream is closed first. Read, ReadWrite and
  // Append open existing regular files only (a folder, pipe or device fails
  // with ERROR_ACCESS_DENIED); ReadWrite and Append do not follow a link at the
  // path (ERROR_ACCESS_DENIED). CreateNew is the creation rule of every file the
  // toolkit makes in shared folders: delete the file if it exists (never
  // following a link), then create it anew exclusively (O_EXCL|O_NOFOLLOW) for
  // reading and writing with mode 0644 regardless of the umask's group and
  // other bits (never world-writable). A folder at the path fails with
  // ERROR_ACCESS_DENIED; a file that appears between the delete and the create
  // fails the call rather than being opened.
  bool Open(const std::string& path, Mode mode);
  bool IsOpen() const noexcept { return fFd >= 0; }
  const std::string& Path() const noexcept { return fPath; }

  // Reads up to size bytes; returns the count read (0 at the end), or -1.
  long long Read(void* buffer, std::size_t size);
  // Writes all bytes or fails.
  bool Write(const void* data, std::size_t size);
  bool Write(std::string_view data) { return Write(data.data(), data.size()); }
  bool Seek(std::int64_t offset);  // from the start; negative: ERROR_INVALID_PARAMETER
  std::optional<std::uint64_t> Size() const;
  bool Flush();  // fsync
  void Close();  // idempotent

  // Calls on a stream that is not open fail with ERROR_INVALID_HANDLE.

 private:
  int fFd = -1;
  std::string fPath;
};

}  // namespace tarvo::platform
