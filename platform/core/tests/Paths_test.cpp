#include "platform/core/Paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "testing/Sandbox.h"

namespace tarvo::platform {
namespace {

using tarvo::testing::Sandbox;

struct Location {
  const char* variable;
  std::string (*get)();
  const char* underRoot;
};

const Location kLocations[] = {
    {"TARVO_COMMON_APPDATA", CommonAppDataFolder, "common"},
    {"TARVO_LOCAL_APPDATA", LocalAppDataFolder, "local"},
    {"TARVO_REGISTRY_HKCU", RegistryFolderHKCU, "registry/HKCU"},
    {"TARVO_REGISTRY_HKLM", RegistryFolderHKLM, "registry/HKLM"},
    {"TARVO_RUNTIME_DIR", RuntimeFolder, "run"},
    {"TARVO_SYSTEM_DIR", SystemFolder, "system"},
};

TEST(Paths, EverythingUnderTheRootAndSpecificVariablesWin) {
  Sandbox box;
  for (const auto& l : kLocations) {
    SCOPED_TRACE(l.variable);
    EXPECT_EQ(l.get(), box.Root() + "/" + l.underRoot);
  }
  box.SetEnv("TARVO_PLATFORM_ROOT", box.Root() + "//");  // no doubled or trailing "/"
  EXPECT_EQ(SystemFolder(), box.Root() + "/system");

  for (const auto& l : kLocations) {
    SCOPED_TRACE(l.variable);
    box.SetEnv(l.variable, "/custom/" + std::string(l.underRoot) + "/");
    EXPECT_EQ(l.get(), "/custom/" + std::string(l.underRoot));
    box.SetEnv(l.variable, "");  // empty counts as unset
    EXPECT_EQ(l.get(), box.Root() + "/" + l.underRoot);
  }
}

TEST(Paths, DefaultsWithoutTheRoot) {
  Sandbox box;
  box.SetEnv("TARVO_PLATFORM_ROOT", std::nullopt);
  box.SetEnv("HOME", "/home/trader");
  box.SetEnv("XDG_DATA_HOME", std::nullopt);
  box.SetEnv("XDG_CONFIG_HOME", std::nullopt);
  box.SetEnv("XDG_RUNTIME_DIR", std::nullopt);
  EXPECT_EQ(CommonAppDataFolder(), "/var/lib");
  EXPECT_EQ(LocalAppDataFolder(), "/home/trader/.local/share");
  EXPECT_EQ(RegistryFolderHKCU(), "/home/trader/.config/tarvo/registry");
  EXPECT_EQ(RegistryFolderHKLM(), "/etc/tarvo/registry");
  EXPECT_EQ(RuntimeFolder(), "/tmp/tarvo-" + std::to_string(::getuid()));
  EXPECT_EQ(SystemFolder(), "/usr/lib/tarvo");

  box.SetEnv("XDG_DATA_HOME", "/xdg/data/");
  box.SetEnv("XDG_CONFIG_HOME", "/xdg/config");
  box.SetEnv("XDG_RUNTIME_DIR", "/run/user/1000");
  EXPECT_EQ(LocalAppDataFolder(), "/xdg/data");
  EXPECT_EQ(RegistryFolderHKCU(), "/xdg/config/tarvo/registry");
  EXPECT_EQ(RuntimeFolder(), "/run/user/1000/tarvo");

  // Relative XDG values are invalid and ignored.
  box.SetEnv("XDG_DATA_HOME", "relative/data");
  box.SetEnv("XDG_RUNTIME_DIR", "run");
  EXPECT_EQ(LocalAppDataFolder(), "/home/trader/.local/share");
  EXPECT_EQ(RuntimeFolder(), "/tmp/tarvo-" + std::to_string(::getuid()));

  // Without HOME, the account's home folder.
  box.SetEnv("XDG_DATA_HOME", std::nullopt);
  box.SetEnv("HOME", std::nullopt);
  const std::string local = LocalAppDataFolder();
  EXPECT_EQ(local.front(), '/');
  EXPECT_EQ(local.substr(local.size() - 13), "/.local/share");
}

}  // namespace
}  // namespace tarvo::platform
