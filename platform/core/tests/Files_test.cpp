#include "platform/core/Files.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <map>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/core/Errors.h"
#include "testing/Sandbox.h"

namespace tarvo::platform {
namespace {

using tarvo::testing::Sandbox;

unsigned ModeOf(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return 0xFFFFFFFF;
  return st.st_mode & 07777;
}

bool IsLink(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Names of the entries of a folder, hidden ones included: to see that no
// temporary file was left behind.
std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> out;
  for (const auto& e : ListFiles(folder)) out.push_back(e.name);
  return out;
}

// Sets the umask for one scope.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : fOld(::umask(mask)) {}
  ~ScopedUmask() { ::umask(fOld); }

 private:
  mode_t fOld;
};

// --- names ---------------------------------------------------------------------

TEST(FileNames, SplitAndJoin) {
  struct Case {
    const char* path;
    const char* name;
    const char* folder;
    const char* ext;
  };
  const Case cases[] = {
      {"/opt/tarvo/TarvoUpdater", "TarvoUpdater", "/opt/tarvo/", ""},
      {"/opt/tarvo/update.log", "update.log", "/opt/tarvo/", ".log"},
      {"a.b/c", "c", "a.b/", ""},  // a dot in the folder is no extension
      {"archive.tar.gz", "archive.tar.gz", "", ".gz"},
      {"folder/", "", "folder/", ""},
      {"Russian.tvu.lng", "Russian.tvu.lng", "", ".lng"},
      {"", "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(ExtractFileName(c.path), c.name);
    EXPECT_EQ(ExtractFilePath(c.path), c.folder);
    EXPECT_EQ(ExtractFileExt(c.path), c.ext);
  }
  EXPECT_EQ(ChangeFileExt("/a.b/file.txt", ".bak"), "/a.b/file.bak");
  EXPECT_EQ(ChangeFileExt("/a.b/file", ".bak"), "/a.b/file.bak");
  EXPECT_EQ(ChangeFileExt("file.txt", ""), "file");

  EXPECT_EQ(IncludeTrailingPathDelimiter("/opt"), "/opt/");
  EXPECT_EQ(IncludeTrailingPathDelimiter("/opt/"), "/opt/");
  EXPECT_EQ(IncludeTrailingPathDelimiter(""), "");  // never the root by accident
  EXPECT_EQ(ExcludeTrailingPathDelimiter("/opt//"), "/opt");
  EXPECT_EQ(ExcludeTrailingPathDelimiter("/"), "/");
  EXPECT_EQ(JoinPath("/opt/", "/x"), "/opt/x");
  EXPECT_EQ(JoinPath("/opt", "x"), "/opt/x");
  EXPECT_EQ(JoinPath("", "x"), "x");
}

TEST(FileNames, SanitizeRelativePath) {
  struct Case {
    const char* in;
    std::optional<std::string> out;
  };
  const Case cases[] = {
      {"bin\\TarvoTrade", "bin/TarvoTrade"},
      {"lib/x/y.so", "lib/x/y.so"},
      {"a\\.\\b//c", "a/b/c"},
      {"a/../b", "b"},  // stays inside: allowed, resolved
      {"a/b/", "a/b"},
      {"", std::nullopt},
      {".", std::nullopt},
      {"a/..", std::nullopt},
      {"..", std::nullopt},
      {"../etc/passwd", std::nullopt},
      {"a/../../b", std::nullopt},
      {"a\\..\\..\\b", std::nullopt},
      {"/etc/passwd", std::nullopt},
      {"\\\\server\\share\\x", std::nullopt},
      {"C:\\Windows", std::nullopt},
      {"c:relative", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(SanitizeRelativePath(c.in), c.out);
  }
  EXPECT_EQ(SanitizeRelativePath(std::string_view("a\0b", 3)), std::nullopt);
}

TEST(FileNames, MatchesMask) {
  struct Case {
    const char* name;
    const char* mask;
    bool match;
  };
  const Case cases[] = {
      {"Russian.tvu.lng", "*.*.lng", true},
      {"Russian.LNG", "*.*.lng", false},  // one dot only
      {"RUSSIAN.TVU.LNG", "*.*.lng", true},
      {"README", "*.*", true},  // "*.*" takes names without a dot, as on Windows
      {"setup", "setup.*", true},
      {"setup.exe", "setup.*", true},
      {"setup", "setup.exe", false},
      {"abc", "a?c", true},
      {"ac", "a?c", false},
      {"aЖc", "a?c", true},                  // "?" is one code point, not one byte
      {"ОТЧЁТ.txt", "отчёт.*", true},        // Cyrillic folds too
      {"Straße.txt", "STRASSE.txt", false},  // simple folding only: ß is one letter
      {"a*b", "a*b", true},
      {"anything", "*", true},
      {"", "*", true},
      {"x", "", false},
      {"abcabcabd", "*abd", true},  // needs backtracking
      {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "*a*a*a*a*a*a*c", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " ~ " + c.mask);
    EXPECT_EQ(MatchesMask(c.name, c.mask), c.match);
  }
  // Bytes that are not UTF-8 count as one character each and match only themselves.
  EXPECT_TRUE(
      MatchesMask("a\xFF"
                  "b",
                  "a?b"));
  EXPECT_TRUE(
      MatchesMask("a\xFF"
                  "b",
                  "a\xFF"
                  "B"));
  EXPECT_FALSE(
      MatchesMask("a\xFF"
                  "b",
                  "a\xFE"
                  "b"));
}

TEST(FileNames, ExecutablePath) {
  EXPECT_EQ(ExtractFileName(ExecutablePath()), "platform_tests");
  EXPECT_EQ(ExecutableFolder(), ExtractFilePath(ExecutablePath()));
  EXPECT_TRUE(DirectoryExists(ExecutableFolder()));
}

// --- queries and attributes ----------------------------------------------------------

TEST(FileQueries, ExistenceAndErrors) {
  Sandbox box;
  const std::string file = box.WriteFile("d/f.txt", "12345");
  const std::string dir = box.Path("d");

  EXPECT_TRUE(FileExists(file));
  EXPECT_FALSE(DirectoryExists(file));
  EXPECT_TRUE(PathExists(file));
  EXPECT_EQ(FileSize(file), 5u);

  EXPECT_TRUE(DirectoryExists(dir));
  EXPECT_FALSE(FileExists(dir));
  EXPECT_TRUE(PathExists(dir));
  EXPECT_EQ(FileSize(dir), std::nullopt);

  // A missing file and a missing folder on the way are told apart, as on Windows.
  EXPECT_FALSE(FileExists(box.Path("d/missing")));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(PathExists(box.Path("nowhere/missing")));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(FileSize(box.Path("nowhere/missing")), std::nullopt);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  // A link to a file is a file.
  ASSERT_EQ(::symlink(file.c_str(), box.Path("link").c_str()), 0);
  EXPECT_TRUE(FileExists(box.Path("link")));
}

TEST(FileQueries, ReadOnlyIsTheWriteBit) {
  Sandbox box;
  const std::string file = box.WriteFile("f.txt", "x");
  ASSERT_EQ(::chmod(file.c_str(), 0664), 0);
  EXPECT_FALSE(IsReadOnly(file));

  ASSERT_TRUE(SetReadOnly(file, true));
  EXPECT_TRUE(IsReadOnly(file));
  EXPECT_EQ(ModeOf(file), 0444u);  // nobody writes a read-only file

  ASSERT_TRUE(SetReadOnly(file, false));
  EXPECT_FALSE(IsReadOnly(file));
  EXPECT_EQ(ModeOf(file), 0644u);  // only the owner gets write back

  EXPECT_FALSE(SetReadOnly(box.Path("missing"), true));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(FileQueries, AttributesOfALinkLeaveItsTargetAlone) {
  Sandbox box;
  const std::string target = box.WriteFile("outside/secret", "x");
  ASSERT_EQ(::chmod(target.c_str(), 0444), 0);
  const std::string link = box.Path("link");
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);

  EXPECT_FALSE(IsReadOnly(link));
  EXPECT_TRUE(SetReadOnly(link, false));
  EXPECT_EQ(ModeOf(target), 0444u);
}

TEST(FileQueries, SetExecutableAddsOnlyTheOwnersBit) {
  Sandbox box;
  const std::string file = box.WriteFile("setup.sh", "#!/bin/sh\n");
  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  ASSERT_TRUE(SetExecutable(file));
  EXPECT_EQ(ModeOf(file), 0740u);  // group and others gain nothing

  const std::string target = box.WriteFile("outside/tool", "x");
  ASSERT_EQ(::chmod(target.c_str(), 0644), 0);
  const std::string link = box.Path("link");
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  struct Case {
    std::string path;
    std::uint32_t code;
  } refused[] = {
      {link, ERROR_ACCESS_DENIED},  // never through a link
      {box.MakeDir("folder"), ERROR_ACCESS_DENIED},
      {box.Path("missing"), ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : refused) {
    SetLastError(0);
    EXPECT_FALSE(SetExecutable(c.path)) << c.path;
    EXPECT_EQ(GetLastError(), c.code) << c.path;
  }
  EXPECT_EQ(ModeOf(target), 0644u);
}

TEST(FileQueries, SetHiddenNeedsAnExistingPath) {
  Sandbox box;
  const std::string file = box.WriteFile("f", "x");
  const unsigned mode = ModeOf(file);
  EXPECT_TRUE(SetHidden(file, true));
  EXPECT_TRUE(SetHidden(file, false));
  EXPECT_EQ(ModeOf(file), mode);
  EXPECT_EQ(Names(box.Root()), std::vector<std::string>{"f"});  // no rename to a dot name
  EXPECT_FALSE(SetHidden(box.Path("missing"), false));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// --- folders --------------------------------------------------------------------------

TEST(Folders, ForceDirectoriesCreatesEveryParent) {
  Sandbox box;
  const std::string deep = box.Path("a/b/c/d");
  ASSERT_TRUE(ForceDirectories(deep + "/"));
  EXPECT_TRUE(DirectoryExists(deep));
  EXPECT_TRUE(ForceDirectories(deep));  // already there

  box.WriteFile("file", "x");
  EXPECT_FALSE(ForceDirectories(box.Path("file")));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(ForceDirectories(box.Path("file/sub")));
  EXPECT_FALSE(DirectoryExists(box.Path("file/sub")));
  EXPECT_FALSE(ForceDirectories(""));
}

TEST(Folders, CreateAndRemove) {
  Sandbox box;
  const std::string dir = box.Path("d");
  EXPECT_TRUE(CreateDir(dir));
  EXPECT_FALSE(CreateDir(dir));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(CreateDir(box.Path("x/y")));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  box.WriteFile("d/f", "x");
  EXPECT_FALSE(RemoveDir(dir));
  EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
  EXPECT_TRUE(FileExists(box.Path("d/f")));
  ASSERT_TRUE(DeleteFile(box.Path("d/f")));
  EXPECT_TRUE(RemoveDir(dir));
  EXPECT_FALSE(DirectoryExists(dir));
}

// --- delete, rename, copy ------------------------------------------------------------

TEST(FileChanges, DeleteFileNeverTakesAFolderOrALinkTarget) {
  Sandbox box;
  const std::string file = box.WriteFile("f", "x");
  ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
  EXPECT_TRUE(DeleteFile(file));  // read-only does not stop it on Linux
  EXPECT_FALSE(PathExists(file));

  box.MakeDir("dir");
  EXPECT_FALSE(DeleteFile(box.Path("dir")));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(DirectoryExists(box.Path("dir")));

  const std::string target = box.WriteFile("target", "keep");
  ASSERT_EQ(::symlink(target.c_str(), box.Path("link").c_str()), 0);
  EXPECT_TRUE(DeleteFile(box.Path("link")));
  EXPECT_FALSE(IsLink(box.Path("link")));
  EXPECT_EQ(box.ReadFile("target"), "keep");

  EXPECT_FALSE(DeleteFile(box.Path("missing")));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(DeleteFile(box.Path("nowhere/missing")));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST(FileChanges, RenameReplacesOnlyWhenAsked) {
  Sandbox box;
  const std::string a = box.WriteFile("a", "A");
  const std::string b = box.WriteFile("b", "B");

  EXPECT_FALSE(RenameFile(a, b, false));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(box.ReadFile("a"), "A");
  EXPECT_EQ(box.ReadFile("b"), "B");

  EXPECT_TRUE(RenameFile(a, b));
  EXPECT_FALSE(PathExists(a));
  EXPECT_EQ(box.ReadFile("b"), "A");

  EXPECT_TRUE(RenameFile(b, box.Path("c"), false));
  EXPECT_EQ(box.ReadFile("c"), "A");

  EXPECT_FALSE(RenameFile(box.Path("missing"), box.Path("d")));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(RenameFile(box.Path("c"), box.Path("nowhere/d")));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(box.ReadFile("c"), "A");
}

TEST(FileChanges, CopyKeepsContentPermissionsAndTime) {
  Sandbox box;
  ScopedUmask umask(077);  // the copy's bits must come from the source, not the umask
  std::string bytes(300000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  const std::string from = box.WriteFile("src/prog", bytes);
  ASSERT_EQ(::chmod(from.c_str(), 04755), 0);
  const struct timespec times[2] = {{1000000000, 0}, {1200000000, 500}};
  ASSERT_EQ(::utimensat(AT_FDCWD, from.c_str(), times, 0), 0);
  box.MakeDir("dst");

  ASSERT_TRUE(CopyFile(from, box.Path("dst/prog")));
  EXPECT_EQ(box.ReadFile("dst/prog"), bytes);
  EXPECT_EQ(ModeOf(box.Path("dst/prog")), 0755u);  // set-id bits are not copied
  struct stat st {};
  ASSERT_EQ(::stat(box.Path("dst/prog").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1200000000);
  EXPECT_EQ(Names(box.Path("dst")), std::vector<std::string>{"prog"});

  // A read-only target is replaced too.
  ASSERT_EQ(::chmod(box.Path("dst/prog").c_str(), 0444), 0);
  box.WriteFile("src/other", "other");
  ASSERT_TRUE(CopyFile(box.Path("src/other"), box.Path("dst/prog")));
  EXPECT_EQ(box.ReadFile("dst/prog"), "other");
}

TEST(FileChanges, CopyFailIfExistsLeavesTheTarget) {
  Sandbox box;
  const std::string from = box.WriteFile("a", "new");
  const std::string to = box.WriteFile("b", "old");
  EXPECT_FALSE(CopyFile(from, to, true));
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  EXPECT_EQ(box.ReadFile("b"), "old");
  EXPECT_TRUE(CopyFile(from, box.Path("c"), true));
  EXPECT_EQ(box.ReadFile("c"), "new");
  EXPECT_EQ(Names(box.Root()), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(FileChanges, CopyReplacesALinkAtTheTargetInsteadOfWritingThroughIt) {
  Sandbox box;
  const std::string victim = box.WriteFile("victim", "precious");
  const std::string link = box.Path("dst/file");
  box.MakeDir("dst");
  ASSERT_EQ(::symlink(victim.c_str(), link.c_str()), 0);
  const std::string from = box.WriteFile("src", "payload");

  ASSERT_TRUE(CopyFile(from, link));
  EXPECT_FALSE(IsLink(link));
  EXPECT_EQ(box.ReadFile("dst/file"), "payload");
  EXPECT_EQ(box.ReadFile("victim"), "precious");

  // With failIfExists a link (even a dangling one) counts as an existing target.
  ASSERT_EQ(::symlink(box.Path("nowhere").c_str(), box.Path("dst/dangling").c_str()), 0);
  EXPECT_FALSE(CopyFile(from, box.Path("dst/dangling"), true));
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  EXPECT_FALSE(PathExists(box.Path("nowhere")));
}

TEST(FileChanges, CopyErrors) {
  Sandbox box;
  const std::string from = box.WriteFile("a", "x");
  box.MakeDir("dir");
  struct Case {
    std::string from, to;
    std::uint32_t code;
  };
  const Case cases[] = {
      {box.Path("missing"), box.Path("b"), ERROR_FILE_NOT_FOUND},
      {box.Path("nowhere/missing"), box.Path("b"), ERROR_PATH_NOT_FOUND},
      {box.Path("dir"), box.Path("b"), ERROR_ACCESS_DENIED},
      {from, box.Path("nowhere/b"), ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.from + " -> " + c.to);
    EXPECT_FALSE(CopyFile(c.from, c.to));
    EXPECT_EQ(GetLastError(), c.code);
  }
  EXPECT_EQ(Names(box.Root()), (std::vector<std::string>{"a", "dir"}));
}

// --- whole files ---------------------------------------------------------------------

TEST(WholeFiles, AtomicWriteAndRead) {
  Sandbox box;
  ScopedUmask umask(077);  // exactly the mode asked for, not what the umask leaves
  const std::string path = box.Path("data.bin");
  const std::string bytes("\0\xFF\r\n\x01", 5);

  ASSERT_TRUE(WriteFileAtomic(path, bytes));
  EXPECT_EQ(ReadFileBytes(path), bytes);
  EXPECT_EQ(ModeOf(path), 0644u);

  ASSERT_TRUE(WriteFileAtomic(path, "second", 0600));
  EXPECT_EQ(ReadFileBytes(path), "second");
  EXPECT_EQ(ModeOf(path), 0600u);

  ASSERT_TRUE(WriteFileAtomic(path, ""));
  EXPECT_EQ(ReadFileBytes(path), "");
  EXPECT_EQ(Names(box.Root()), std::vector<std::string>{"data.bin"});
}

TEST(WholeFiles, AtomicWriteReplacesALinkAndFailsCleanly) {
  Sandbox box;
  const std::string victim = box.WriteFile("victim", "precious");
  ASSERT_EQ(::symlink(victim.c_str(), box.Path("link").c_str()), 0);
  ASSERT_TRUE(WriteFileAtomic(box.Path("link"), "new"));
  EXPECT_FALSE(IsLink(box.Path("link")));
  EXPECT_EQ(box.ReadFile("victim"), "precious");

  EXPECT_FALSE(WriteFileAtomic(box.Path("nowhere/f"), "x"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  box.MakeDir("dir");
  EXPECT_FALSE(WriteFileAtomic(box.Path("dir"), "x"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(DirectoryExists(box.Path("dir")));

  // A failed write leaves the old content and no temporary file.
  box.WriteFile("kept", "old");
  FaultInjection::Add("*/kept", FileOp::Write, ERROR_DISK_FULL);
  EXPECT_FALSE(WriteFileAtomic(box.Path("kept"), "new"));
  EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
  EXPECT_EQ(box.ReadFile("kept"), "old");
  EXPECT_EQ(Names(box.Root()), (std::vector<std::string>{"dir", "kept", "link", "victim"}));
}

TEST(WholeFiles, ReadErrors) {
  Sandbox box;
  box.MakeDir("dir");
  EXPECT_EQ(ReadFileBytes(box.Path("missing")), std::nullopt);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReadFileBytes(box.Path("dir")), std::nullopt);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  // A pipe would block a reader for ever; it is refused instead.
  ASSERT_EQ(::mkfifo(box.Path("fifo").c_str(), 0600), 0);
  EXPECT_EQ(ReadFileBytes(box.Path("fifo")), std::nullopt);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

// --- listing -------------------------------------------------------------------------

TEST(Listing, SortedByFoldedNameWithMask) {
  Sandbox box;
  for (const char* name :
       {"b.lng", "A.lng", "a.lng", "C.txt", "Ёж.lng", "ёж.lng", "ж.lng", ".hidden.lng"})
    box.WriteFile(name, name);
  box.MakeDir("Sub.lng");

  std::vector<std::string> names;
  for (const auto& e : ListFiles(box.Root())) names.push_back(e.name);
  // Case-folded order first, then byte order between names that fold alike.
  EXPECT_EQ(names, (std::vector<std::string>{".hidden.lng", "A.lng", "a.lng", "b.lng", "C.txt",
                                             "Sub.lng", "ж.lng", "Ёж.lng", "ёж.lng"}));

  const auto lng = ListFiles(box.Root(), "*.LNG");
  ASSERT_EQ(lng.size(), 8u);
  for (const auto& e : lng) {
    SCOPED_TRACE(e.name);
    EXPECT_EQ(e.isDirectory, e.name == "Sub.lng");
    EXPECT_EQ(e.size, e.isDirectory ? 0u : e.name.size());
  }
  EXPECT_TRUE(ListFiles(box.Root(), "*.none").empty());
}

TEST(Listing, LinksReportTheirTargetAndThemselves) {
  Sandbox box;
  box.MakeDir("dir");
  box.WriteFile("file", "12345");
  ASSERT_EQ(::symlink(box.Path("dir").c_str(), box.Path("to-dir").c_str()), 0);
  ASSERT_EQ(::symlink(box.Path("file").c_str(), box.Path("to-file").c_str()), 0);
  ASSERT_EQ(::symlink(box.Path("nowhere").c_str(), box.Path("dangling").c_str()), 0);
  std::map<std::string, FileEntry> byName;
  for (const auto& e : ListFiles(box.Root())) byName[e.name] = e;
  ASSERT_EQ(byName.size(), 5u);
  EXPECT_TRUE(byName["to-dir"].isDirectory && byName["to-dir"].isLink);
  EXPECT_TRUE(!byName["to-file"].isDirectory && byName["to-file"].isLink);
  EXPECT_EQ(byName["to-file"].size, 5u);
  EXPECT_TRUE(!byName["dangling"].isDirectory && byName["dangling"].isLink);
  EXPECT_TRUE(byName["dir"].isDirectory && !byName["dir"].isLink);
  EXPECT_FALSE(byName["file"].isLink);
}

TEST(Listing, UnreadableFolders) {
  Sandbox box;
  box.MakeDir("empty");
  box.WriteFile("file", "x");
  const auto empty = TryListFiles(box.Path("empty"));
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());

  EXPECT_EQ(TryListFiles(box.Path("missing")), std::nullopt);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(TryListFiles(box.Path("file")), std::nullopt);
  EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
  EXPECT_TRUE(ListFiles(box.Path("nowhere/missing")).empty());
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

// --- fault injection ------------------------------------------------------------------

TEST(FaultInjection, EveryOperationConsultsIt) {
  Sandbox box;
  const std::string file = box.WriteFile("dir/file", "content");
  const std::string dir = box.Path("dir");
  struct Case {
    const char* what;
    FileOp op;
    std::function<bool()> call;
  };
  const Case cases[] = {
      {"FileExists", FileOp::Attributes, [&] { return FileExists(file); }},
      {"DirectoryExists", FileOp::Attributes, [&] { return DirectoryExists(dir); }},
      {"PathExists", FileOp::Attributes, [&] { return PathExists(file); }},
      {"FileSize", FileOp::Attributes, [&] { return FileSize(file).has_value(); }},
      {"SetReadOnly", FileOp::Attributes, [&] { return SetReadOnly(file, false); }},
      {"SetHidden", FileOp::Attributes, [&] { return SetHidden(file, false); }},
      {"SetExecutable", FileOp::Attributes, [&] { return SetExecutable(file); }},
      {"ForceDirectories", FileOp::CreateDir,
       [&] { return ForceDirectories(box.Path("dir/new/deep")); }},
      {"CreateDir", FileOp::CreateDir, [&] { return CreateDir(box.Path("dir/new")); }},
      {"RemoveDir", FileOp::RemoveDir, [&] { return RemoveDir(box.Path("dir/empty")); }},
      {"DeleteFile", FileOp::Delete, [&] { return DeleteFile(file); }},
      {"RenameFile", FileOp::Rename, [&] { return RenameFile(file, box.Path("dir/renamed")); }},
      {"CopyFile", FileOp::Copy, [&] { return CopyFile(file, box.Path("dir/copy")); }},
      {"ReadFileBytes/Open", FileOp::Open, [&] { return ReadFileBytes(file).has_value(); }},
      {"ReadFileBytes/Read", FileOp::Read, [&] { return ReadFileBytes(file).has_value(); }},
      {"WriteFileAtomic", FileOp::Write, [&] { return WriteFileAtomic(file, "changed"); }},
      {"WriteFileAtomic/Create", FileOp::Create, [&] { return WriteFileAtomic(file, "changed"); }},
      {"TryListFiles", FileOp::List, [&] { return TryListFiles(dir).has_value(); }},
      {"FileStream Read", FileOp::Open,
       [&] {
         FileStream s;
         return s.Open(file, FileStream::Mode::Read);
       }},
      {"FileStream CreateNew", FileOp::Create,
       [&] {
         FileStream s;
         return s.Open(file, FileStream::Mode::CreateNew);
       }},
      {"FileStream CreateNew/Delete", FileOp::Delete,
       [&] {
         FileStream s;
         return s.Open(file, FileStream::Mode::CreateNew);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    box.MakeDir("dir/empty");
    // A rule for another operation does not disturb this one.
    FaultInjection::Add("*", c.op == FileOp::Copy ? FileOp::Rename : FileOp::Copy, ERROR_CRC);
    FaultInjection::Add("*/DIR/*", c.op, ERROR_WRITE_PROTECT);  // the pattern ignores case
    FaultInjection::Add(box.Path("dir"), c.op, ERROR_WRITE_PROTECT);
    SetLastError(0);
    EXPECT_FALSE(c.call());
    EXPECT_EQ(GetLastError(), ERROR_WRITE_PROTECT);
    FaultInjection::Clear();
    // Nothing happened on disk.
    EXPECT_EQ(box.ReadFile("dir/file"), "content");
    EXPECT_EQ(Names(dir), (std::vector<std::string>{"empty", "file"}));
    EXPECT_TRUE(c.call()) << "passes again once the rules are cleared";
    box.WriteFile("dir/file", "content");
    for (const char* extra : {"dir/renamed", "dir/copy"}) DeleteFile(box.Path(extra));
    for (const char* extra : {"dir/new/deep", "dir/new"}) RemoveDir(box.Path(extra));
  }
}

TEST(FaultInjection, CountsAndOrder) {
  Sandbox box;
  const std::string file = box.WriteFile("f", "x");
  FaultInjection::Add("*/F", FileOp::Read, ERROR_READ_FAULT, 2);
  FaultInjection::Add("*", FileOp::Any, ERROR_SHARING_VIOLATION, 1);

  EXPECT_EQ(FaultInjection::Check(file, FileOp::Read), ERROR_READ_FAULT);
  EXPECT_EQ(FaultInjection::Check(file, FileOp::Read), ERROR_READ_FAULT);
  EXPECT_EQ(FaultInjection::Check(file, FileOp::Read),
            ERROR_SHARING_VIOLATION);  // "Any" covers Read
  EXPECT_EQ(FaultInjection::Check(file, FileOp::Read), 0u);
  EXPECT_EQ(ReadFileBytes(file), "x");

  FaultInjection::Add("*", FileOp::Delete, ERROR_ACCESS_DENIED, 0);  // adds nothing
  EXPECT_TRUE(DeleteFile(file));
}

TEST(FaultInjection, OneShotRulesFireOnceUnderConcurrency) {
  Sandbox box;
  std::atomic<bool> stop{false};
  std::atomic<int> hits{0};
  std::vector<std::thread> checkers;
  for (int t = 0; t < 3; ++t)
    checkers.emplace_back([&] {
      while (!stop.load())
        if (FaultInjection::Check("/x/file", FileOp::Write) == ERROR_DISK_FULL) ++hits;
    });
  for (int i = 0; i < 200; ++i) FaultInjection::Add("/x/*", FileOp::Write, ERROR_DISK_FULL, 1);
  stop = true;
  for (auto& t : checkers) t.join();
  while (FaultInjection::Check("/x/file", FileOp::Write) != 0) ++hits;
  EXPECT_EQ(hits.load(), 200);
}

// --- streams --------------------------------------------------------------------------

TEST(FileStream, CreateNewReplacesTheFileWithMode0644) {
  Sandbox box;
  for (mode_t mask : {mode_t{0}, mode_t{022}, mode_t{077}}) {
    SCOPED_TRACE(mask);
    ScopedUmask umask(mask);
    const std::string path = box.WriteFile("update.log", "old content that is longer");
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
    FileStream s;
    ASSERT_TRUE(s.Open(path, FileStream::Mode::CreateNew));
    EXPECT_EQ(ModeOf(path), 0644u);
    EXPECT_EQ(s.Size(), 0u);
    ASSERT_TRUE(s.Write("new"));
    ASSERT_TRUE(s.Seek(0));
    char buf[16] = {};
    EXPECT_EQ(s.Read(buf, sizeof buf), 3);
    EXPECT_EQ(std::string(buf, 3), "new");
    EXPECT_TRUE(s.Flush());
    s.Close();
    EXPECT_EQ(box.ReadFile("update.log"), "new");
  }
}

TEST(FileStream, CreateNewNeverFollowsALink) {
  Sandbox box;
  const std::string victim = box.WriteFile("victim", "precious");
  ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
  const std::string path = box.Path("shared/update.log");
  box.MakeDir("shared");
  ASSERT_EQ(::symlink(victim.c_str(), path.c_str()), 0);

  FileStream s;
  ASSERT_TRUE(s.Open(path, FileStream::Mode::CreateNew));
  ASSERT_TRUE(s.Write("log"));
  s.Close();
  EXPECT_FALSE(IsLink(path));
  EXPECT_EQ(box.ReadFile("shared/update.log"), "log");
  EXPECT_EQ(box.ReadFile("victim"), "precious");
  EXPECT_EQ(ModeOf(victim), 0600u);

  box.MakeDir("shared/folder");
  EXPECT_FALSE(s.Open(box.Path("shared/folder"), FileStream::Mode::CreateNew));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(DirectoryExists(box.Path("shared/folder")));
  EXPECT_FALSE(s.Open(box.Path("nowhere/x"), FileStream::Mode::CreateNew));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST(FileStream, OpenExistingFiles) {
  Sandbox box;
  const std::string path = box.WriteFile("f", "0123456789");
  {
    FileStream s;
    ASSERT_TRUE(s.Open(path, FileStream::Mode::Append));
    ASSERT_TRUE(s.Write("AB"));
  }
  EXPECT_EQ(box.ReadFile("f"), "0123456789AB");
  {
    FileStream s;
    ASSERT_TRUE(s.Open(path, FileStream::Mode::ReadWrite));
    ASSERT_TRUE(s.Seek(2));
    ASSERT_TRUE(s.Write("xy"));
    EXPECT_EQ(s.Size(), 12u);
    EXPECT_FALSE(s.Seek(-1));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  EXPECT_EQ(box.ReadFile("f"), "01xy456789AB");
  {
    FileStream s;
    ASSERT_TRUE(s.Open(path, FileStream::Mode::Read));
    std::string all;
    char buf[5];
    long long n;
    while ((n = s.Read(buf, sizeof buf)) > 0) all.append(buf, static_cast<std::size_t>(n));
    EXPECT_EQ(n, 0);
    EXPECT_EQ(all, "01xy456789AB");
    EXPECT_FALSE(s.Write("no"));  // opened for reading only
  }
  FileStream s;
  EXPECT_FALSE(s.Open(box.Path("missing"), FileStream::Mode::Read));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(s.Open(box.Path("missing"), FileStream::Mode::ReadWrite));  // never creates
  EXPECT_FALSE(PathExists(box.Path("missing")));
  box.MakeDir("dir");
  for (auto mode :
       {FileStream::Mode::Read, FileStream::Mode::ReadWrite, FileStream::Mode::Append}) {
    EXPECT_FALSE(s.Open(box.Path("dir"), mode));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  }
  ASSERT_EQ(::mkfifo(box.Path("fifo").c_str(), 0600), 0);
  EXPECT_FALSE(s.Open(box.Path("fifo"), FileStream::Mode::Read));  // returns at once
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(FileStream, WritingNeverFollowsALink) {
  Sandbox box;
  const std::string victim = box.WriteFile("victim", "precious");
  ASSERT_EQ(::symlink(victim.c_str(), box.Path("link").c_str()), 0);
  FileStream s;
  for (auto mode : {FileStream::Mode::ReadWrite, FileStream::Mode::Append}) {
    EXPECT_FALSE(s.Open(box.Path("link"), mode));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  }
  EXPECT_EQ(box.ReadFile("victim"), "precious");
  EXPECT_TRUE(s.Open(box.Path("link"), FileStream::Mode::Read));  // reading through a link is fine
}

TEST(FileStream, ClosedStreamsAndMoves) {
  Sandbox box;
  FileStream closed;
  char c;
  EXPECT_EQ(closed.Read(&c, 1), -1);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(closed.Write("x"));
  EXPECT_FALSE(closed.Seek(0));
  EXPECT_FALSE(closed.Flush());
  EXPECT_EQ(closed.Size(), std::nullopt);
  closed.Close();

  const std::string path = box.Path("f");
  FileStream a;
  ASSERT_TRUE(a.Open(path, FileStream::Mode::CreateNew));
  FileStream b(std::move(a));
  EXPECT_FALSE(a.IsOpen());
  EXPECT_EQ(a.Path(), "");
  EXPECT_TRUE(b.IsOpen());
  EXPECT_EQ(b.Path(), path);
  FileStream d;
  ASSERT_TRUE(d.Open(box.WriteFile("other", "o"), FileStream::Mode::Read));
  d = std::move(b);
  EXPECT_EQ(d.Path(), path);
  ASSERT_TRUE(d.Write("moved"));
  d.Close();
  EXPECT_EQ(box.ReadFile("f"), "moved");
}

TEST(FileStream, InjectedWriteFailure) {
  Sandbox box;
  FileStream s;
  ASSERT_TRUE(s.Open(box.Path("log"), FileStream::Mode::CreateNew));
  ASSERT_TRUE(s.Write("first "));
  FaultInjection::Add("*/log", FileOp::Write, ERROR_DISK_FULL, 1);
  EXPECT_FALSE(s.Write("lost"));
  EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
  EXPECT_TRUE(s.Write("second"));
  FaultInjection::Add("*/log", FileOp::Read, ERROR_READ_FAULT, 1);
  ASSERT_TRUE(s.Seek(0));
  char buf[4];
  EXPECT_EQ(s.Read(buf, sizeof buf), -1);
  EXPECT_EQ(GetLastError(), ERROR_READ_FAULT);
  s.Close();
  EXPECT_EQ(box.ReadFile("log"), "first second");
}

}  // namespace
}  // namespace tarvo::platform
