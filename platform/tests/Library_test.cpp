#include "platform/Library.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "testing/Sandbox.h"
#include "testing/Unprivileged.h"

namespace tarvo::platform {
namespace {

// What Load answers for path as a user whom file modes bind: 0 when it loads,
// else the Windows code (codes above 250 come back as 250). nullopt (with
// why) when no such user can be had here; a test failure when the loading
// child fails to report.
std::optional<std::uint32_t> LoadAsUnprivileged(const std::string& path, std::string& why) {
  const auto run = testing::RunAsUnprivileged([&] {
    Library lib;
    return lib.Load(path) ? 0 : static_cast<int>(std::min<std::uint32_t>(GetLastError(), 250));
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
  // them. When even that fails, something above the sandbox (a temporary
  // folder this user may not search, say) stands in the way, and a refusal
  // below would prove nothing.
  std::string why;
  const auto control = LoadAsUnprivileged(readable, why);
  if (!control) GTEST_SKIP() << why;
  if (*control != 0)
    GTEST_SKIP() << "the unprivileged user cannot load even a readable copy (code " << *control
                 << "): a folder above " << sandbox.Root() << " may be closed to it";

  for (const std::string& path : {modeless, hidden}) {  // not "missing": the folder does not say
    const auto code = LoadAsUnprivileged(path, why);
    if (!code) GTEST_SKIP() << why;
    if (*code == 0 && access(path.c_str(), R_OK) == 0)
      GTEST_SKIP() << "file modes do not deny this user (it may override them)";
    EXPECT_EQ(*code, ERROR_ACCESS_DENIED) << path;
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
