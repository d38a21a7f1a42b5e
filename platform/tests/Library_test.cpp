#include "platform/Library.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "platform/Errors.h"
#include "testing/Sandbox.h"

namespace tarvo::platform {
namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The uid and gid a loading child drops to when the tests run as root: file
// modes do not stop root, so a denied load can only be seen without it.
constexpr uid_t kNobody = 65534;
constexpr int kCouldNotDrop = 254;

// What Load answers for path as a user whom file modes bind: 0 when it loads,
// else the Windows code. As root, a child process gives up root first and
// reports through its exit status. nullopt (with why) when no such user can
// be had here.
std::optional<std::uint32_t> LoadAsUnprivileged(const std::string& path, std::string& why) {
  if (geteuid() != 0) {
    Library lib;
    SetLastError(0);
    return lib.Load(path) ? 0u : GetLastError();
  }
  const pid_t child = fork();
  if (child < 0) {
    why = "fork failed";
    return std::nullopt;
  }
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0 ||
        geteuid() == 0)
      _exit(kCouldNotDrop);
    Library lib;
    _exit(lib.Load(path) ? 0 : static_cast<int>(std::min<std::uint32_t>(GetLastError(), 250)));
  }
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      why = "the loading child did not end";
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!WIFEXITED(status)) {
    why = "the loading child died";
    return std::nullopt;
  }
  if (WEXITSTATUS(status) == kCouldNotDrop) {
    why = "cannot drop root to uid 65534 here";
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(WEXITSTATUS(status));
}

TEST(Library, LoadsAndFindsOwnExport) {
  Library lib;
  ASSERT_TRUE(lib.Load(LIBRARY_EXPORT_PATH)) << LastLoadErrorText();
  auto fn = reinterpret_cast<int (*)()>(lib.FindSymbol("LibraryExportAnswer"));
  ASSERT_NE(fn, nullptr);
  EXPECT_EQ(fn(), 42);
  EXPECT_EQ(ModulePathOf(reinterpret_cast<const void*>(fn)), LIBRARY_EXPORT_PATH);
}

TEST(Library, SymbolOfADependencyIsNotFound) {
  // dlsym on a handle would find the dependency's export; a library must be
  // judged by what it exports itself.
  Library lib;
  ASSERT_TRUE(lib.Load(LIBRARY_DEPENDENT_PATH)) << LastLoadErrorText();
  EXPECT_NE(lib.FindSymbol("LibraryDependentAnswer"), nullptr);
  SetLastError(0);
  EXPECT_EQ(lib.FindSymbol("LibraryExportAnswer"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(lib.FindSymbol("NoSuchSymbol"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
}

TEST(Library, LoadFailuresCarryWindowsCodes) {
  testing::Sandbox sandbox;
  const std::string garbage = sandbox.WriteFile("garbage.dll", "not a shared object");
  struct Case {
    std::string path;
    std::uint32_t code;
  } cases[] = {
      {sandbox.Path("missing.dll"), ERROR_MOD_NOT_FOUND},
      {garbage, ERROR_BAD_EXE_FORMAT},
      {"", ERROR_MOD_NOT_FOUND},
  };
  for (const auto& c : cases) {
    Library lib;
    SetLastError(0);
    EXPECT_FALSE(lib.Load(c.path)) << c.path;
    EXPECT_EQ(GetLastError(), c.code) << c.path;
    EXPECT_FALSE(lib.IsLoaded());
    EXPECT_FALSE(LastLoadErrorText().empty());
    EXPECT_EQ(lib.FindSymbol("anything"), nullptr);
  }
}

TEST(Library, UnreadableLibrariesAreAccessDenied) {
  testing::Sandbox sandbox;
  const std::string bytes = ReadAll(LIBRARY_EXPORT_PATH);
  ASSERT_FALSE(bytes.empty());
  // Every folder down to the files may be searched by anyone, except "closed".
  ASSERT_EQ(chmod(sandbox.Root().c_str(), 0755), 0);
  const std::string openDir = sandbox.MakeDir("open");
  const std::string closed = sandbox.MakeDir("closed");
  const std::string readable = sandbox.WriteFile("open/readable.dll", bytes);
  const std::string modeless = sandbox.WriteFile("open/modeless.dll", bytes);
  const std::string hidden = sandbox.WriteFile("closed/readable.dll", bytes);
  ASSERT_EQ(chmod(openDir.c_str(), 0755), 0);
  ASSERT_EQ(chmod(readable.c_str(), 0644), 0);
  ASSERT_EQ(chmod(modeless.c_str(), 0000), 0);
  ASSERT_EQ(chmod(hidden.c_str(), 0644), 0);
  ASSERT_EQ(chmod(closed.c_str(), 0600), 0);  // nobody may search it, its owner included

  struct Case {
    std::string path;
    std::uint32_t code;
  } cases[] = {
      {readable, 0},  // the same user loads the same bytes where it may read them
      {modeless, ERROR_ACCESS_DENIED},
      {hidden, ERROR_ACCESS_DENIED},  // not "missing": the folder does not say
  };
  for (const Case& c : cases) {
    std::string why;
    const auto code = LoadAsUnprivileged(c.path, why);
    if (!code) GTEST_SKIP() << why;
    if (c.code != 0 && *code == 0 && access(c.path.c_str(), R_OK) == 0)
      GTEST_SKIP() << "file modes do not deny this user (it may override them)";
    EXPECT_EQ(*code, c.code) << c.path;
  }
}

TEST(Library, AMissingDependencyIsModNotFoundAndNamed) {
  // The dependency was built; the loader just has no way to find it.
  ASSERT_EQ(access(LIBRARY_HIDDEN_PATH, R_OK), 0);
  Library lib;
  SetLastError(0);
  EXPECT_FALSE(lib.Load(LIBRARY_ORPHAN_PATH));
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_FALSE(lib.IsLoaded());
  EXPECT_NE(LastLoadErrorText().find(LIBRARY_HIDDEN_NAME), std::string::npos)
      << LastLoadErrorText();
}

TEST(Library, ModulePathOfUnknownAddressIsEmpty) {
  EXPECT_EQ(ModulePathOf(nullptr), "");
}

}  // namespace
}  // namespace tarvo::platform
