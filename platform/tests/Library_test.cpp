#include "platform/Library.h"

#include <gtest/gtest.h>

#include "platform/Errors.h"
#include "testing/Sandbox.h"

namespace tarvo::platform {
namespace {

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

TEST(Library, ModulePathOfUnknownAddressIsEmpty) {
  EXPECT_EQ(ModulePathOf(nullptr), "");
}

}  // namespace
}  // namespace tarvo::platform
