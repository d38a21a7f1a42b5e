#include "platform/core/Resources.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "platform/core/Files.h"

namespace tarvo::platform {
namespace {

std::vector<std::string> NamesOf(ModuleHandle module) {
  std::vector<std::string> out;
  for (const auto& r : ListResources())
    if (r.module == module) out.push_back(r.name);
  return out;
}

// platform/core/CMakeLists.txt embeds tests/data/empty.bin as TEST_EMPTY and
// tests/data/binary.bin as Test_Binary into this executable.
TEST(Resources, EmbeddedByTheBuild) {
  const auto module = FindModule("platform_tests");
  ASSERT_TRUE(module.has_value());
  EXPECT_EQ(NamesOf(*module), (std::vector<std::string>{"TEST_EMPTY", "Test_Binary"}));
  for (const auto& r : ListResources()) {
    if (r.module == *module) {
      EXPECT_EQ(r.moduleName, "platform_tests");
    }
  }

  const auto binary = FindResource(*module, "TEST_BINARY");  // names ignore case
  ASSERT_TRUE(binary.has_value());
  EXPECT_EQ(*binary, std::string_view("\x00\xFF\x00"
                                      "A\xFE\x01\xFF",
                                      7));

  const auto empty = FindResource(*module, "test_empty");
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());

  EXPECT_EQ(FindResource(*module, "TEST_MISSING"), std::nullopt);
  EXPECT_EQ(FindResource(*module, "TEST_BINAR"), std::nullopt);
  EXPECT_EQ(FindModule("PLATFORM_TESTS"), std::nullopt);  // module names are exact
  EXPECT_EQ(FindResource(nullptr, "TEST_BINARY"), std::nullopt);
}

TEST(Resources, RegistrationLastsAsLongAsItsOwner) {
  static const unsigned char kBytes[] = {'a', 'b', 'c'};
  const auto listed = [] {
    std::vector<std::string> names;
    for (const auto& r : ListResources())
      if (r.moduleName == "scoped_module") names.push_back(r.name);
    return names;
  };
  {
    ResourceRegistration reg("scoped_module",
                             {{"FIRST_LNG", kBytes, 3}, {"Second", kBytes + 1, 2}});
    EXPECT_EQ(FindModule("scoped_module"), reg.Handle());
    EXPECT_EQ(NamesOf(reg.Handle()), (std::vector<std::string>{"FIRST_LNG", "Second"}));
    EXPECT_EQ(FindResource(reg.Handle(), "second"), "bc");
    // Modules are listed in the order they registered: this one comes last.
    const auto all = ListResources();
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all.back().moduleName, "scoped_module");
    EXPECT_EQ(listed().size(), 2u);
  }
  EXPECT_EQ(FindModule("scoped_module"), std::nullopt);
  EXPECT_TRUE(listed().empty());
}

TEST(Resources, ModulesComeAndGoWithTheirLibrary) {
  // Built beside this executable (every artefact lands in one folder).
  const std::string path = ExecutableFolder() + "libplatform_test_resources.so";
  EXPECT_EQ(FindModule("platform_test_resources"), std::nullopt);
  void* lib = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << ::dlerror();
  const auto module = FindModule("platform_test_resources");
  ASSERT_TRUE(module.has_value());
  EXPECT_EQ(FindResource(*module, "module_text"), "Embedded in a module of its own.\n");
  ASSERT_EQ(::dlclose(lib), 0);
  EXPECT_EQ(FindModule("platform_test_resources"), std::nullopt);
  EXPECT_EQ(FindResource(*module, "MODULE_TEXT"), std::nullopt);
}

TEST(Resources, RegistryIsThreadSafe) {
  static const unsigned char kByte = 'x';
  std::atomic<bool> stop{false};
  std::atomic<int> found{0};
  std::thread reader([&] {
    do {
      for (const auto& r : ListResources())
        if (FindResource(r.module, r.name)) ++found;
    } while (!stop.load());
  });
  for (int i = 0; i < 500; ++i) {
    ResourceRegistration reg("churn", {{"X", &kByte, 1}});
    ASSERT_EQ(FindResource(reg.Handle(), "x"), "x");
  }
  stop = true;
  reader.join();
  EXPECT_EQ(FindModule("churn"), std::nullopt);
  EXPECT_GT(found.load(), 0);
}

}  // namespace
}  // namespace tarvo::platform
