#include "platform/core/Library.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "platform/core/Errors.h"
#include "platform/core/Files.h"
#include "testing/Sandbox.h"
#include "testing/Unprivileged.h"

namespace tarvo::platform {
namespace {

// Answered instead of a load result when the user cannot search reach (a
// folder); load codes are capped below it.
constexpr std::uint32_t kSandboxClosed = 250;

// What Load answers for path as a user whom file modes bind: 0 when it loads,
// else the Windows code (codes above 249 come back as 249); kSandboxClosed
// when reach is given and that user cannot search it. nullopt (with why) when
// no such user can be had here; a test failure when the loading child fails
// to report.
std::optional<std::uint32_t> LoadAsUnprivileged(const std::string& path, std::string& why,
                                                const std::string& reach = {}) {
  const auto run = testing::RunAsUnprivileged([&] {
    if (!reach.empty() && ::access(reach.c_str(), X_OK) != 0)
      return static_cast<int>(kSandboxClosed);
    Library lib;
    return lib.Load(path) ? 0 : static_cast<int>(std::min<std::uint32_t>(GetLastError(), 249));
  });
  if (run.unavailable) {
    why = run.why;
    return std::nullopt;
  }
  if (!run.ran) {
    ADD_FAILURE() << "loading " << path << ": " << run.why;
    return ERROR_GEN_FAILURE;
  }
  return static_cast<std::uint32_t>(run.exitCode);
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
  const std::optional<std::string> bytes = ReadFileBytes(LIBRARY_EXPORT_PATH);
  ASSERT_TRUE(bytes && !bytes->empty());
  // Every folder down to the files may be searched by anyone, except "closed".
  ASSERT_EQ(chmod(sandbox.Root().c_str(), 0755), 0);
  const std::string openDir = sandbox.MakeDir("open");
  const std::string closed = sandbox.MakeDir("closed");
  const std::string readable = sandbox.WriteFile("open/readable.dll", *bytes);
  const std::string modeless = sandbox.WriteFile("open/modeless.dll", *bytes);
  const std::string hidden = sandbox.WriteFile("closed/readable.dll", *bytes);
  ASSERT_EQ(chmod(openDir.c_str(), 0755), 0);
  ASSERT_EQ(chmod(readable.c_str(), 0644), 0);
  ASSERT_EQ(chmod(modeless.c_str(), 0000), 0);
  ASSERT_EQ(chmod(hidden.c_str(), 0644), 0);
  ASSERT_EQ(chmod(closed.c_str(), 0600), 0);  // nobody may search it, its owner included

  // The control first: the same user loads the same bytes where it may read
  // them. Only when the sandbox itself is out of this user's reach (a
  // temporary folder above it that it may not search, say) is there nothing
  // to check; any other failure of the control is a broken Load.
  std::string why;
  const auto control = LoadAsUnprivileged(readable, why, sandbox.Root());
  if (!control) GTEST_SKIP() << why;
  if (*control == kSandboxClosed)
    GTEST_SKIP() << "the unprivileged user cannot reach " << sandbox.Root()
                 << ": a folder above it may be closed to it";
  ASSERT_EQ(*control, 0u) << "the unprivileged user cannot load a readable copy";

  for (const std::string& path : {modeless, hidden}) {  // not "missing": the folder does not say
    const auto code = LoadAsUnprivileged(path, why);
    if (!code) GTEST_SKIP() << why;
    if (*code == 0 && access(path.c_str(), R_OK) == 0)
      GTEST_SKIP() << "file modes do not deny this user (it may override them)";
    EXPECT_EQ(*code, ERROR_ACCESS_DENIED) << path;
  }
}

// The skips above trust RunAsUnprivileged to call a run "unavailable" only
// when root cannot be given up. A fork that fails is a broken machine: the
// run must come back not ran, with the reason, so that the caller fails.
// The child (already unprivileged, so the limit binds it) forbids itself any
// process and tries a run of its own.
TEST(UnprivilegedRun, AFailedForkIsAFailureNotAReasonToSkip) {
  const auto run = testing::RunAsUnprivileged([] {
    const rlimit none{0, 0};
    if (::setrlimit(RLIMIT_NPROC, &none) != 0) return 10;
    const auto inner = testing::RunAsUnprivileged([] { return 0; });
    if (inner.unavailable) return 1;
    if (inner.ran) return 2;
    if (inner.why.rfind("fork failed: ", 0) != 0 || inner.why.size() <= 13) return 3;
    return 0;
  });
  if (run.unavailable) GTEST_SKIP() << run.why;
  ASSERT_TRUE(run.ran) << run.why;
  EXPECT_EQ(run.exitCode, 0) << "1: unavailable, 2: ran, 3: no reason given, 10: no limit";
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
