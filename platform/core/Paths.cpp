#include "platform/core/Paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <vector>

namespace tarvo::platform {

namespace {

std::optional<std::string> Env(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !*v) return std::nullopt;
  return std::string(v);
}

// XDG variables hold absolute paths; a relative one is to be ignored.
std::optional<std::string> XdgEnv(const char* name) {
  auto v = Env(name);
  if (v && v->front() != '/') return std::nullopt;
  return v;
}

std::string WithoutTrailingSlash(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

// base + "/" + rest, without a doubled "/" when base is the root.
std::string Under(const std::string& base, const char* rest) {
  const std::string b = WithoutTrailingSlash(base);
  return (b == "/" ? std::string() : b) + "/" + rest;
}

std::string HomeFolder() {
  if (auto home = Env("HOME")) return *home;
  // getpwuid_r: the home folder of the account when HOME is not set.
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(static_cast<std::size_t>(size > 0 ? size : 16384));
  passwd pw{};
  passwd* result = nullptr;
  if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &result) == 0 && result &&
      result->pw_dir && *result->pw_dir)
    return result->pw_dir;
  return "/";
}

// The specific variable wins, then the sandbox root, then the default.
std::string Location(const char* variable, const char* underRoot, std::string (*fallback)()) {
  if (auto v = Env(variable)) return WithoutTrailingSlash(*v);
  if (auto root = Env("TARVO_PLATFORM_ROOT")) return Under(*root, underRoot);
  return WithoutTrailingSlash(fallback());
}

}  // namespace

std::string CommonAppDataFolder() {
  return Location("TARVO_COMMON_APPDATA", "common", [] { return std::string("/var/lib"); });
}

std::string LocalAppDataFolder() {
  return Location("TARVO_LOCAL_APPDATA", "local", [] {
    if (auto xdg = XdgEnv("XDG_DATA_HOME")) return *xdg;
    return Under(HomeFolder(), ".local/share");
  });
}

std::string RegistryFolderHKCU() {
  return Location("TARVO_REGISTRY_HKCU", "registry/HKCU", [] {
    if (auto xdg = XdgEnv("XDG_CONFIG_HOME")) return Under(*xdg, "tarvo/registry");
    return Under(HomeFolder(), ".config/tarvo/registry");
  });
}

std::string RegistryFolderHKLM() {
  return Location("TARVO_REGISTRY_HKLM", "registry/HKLM",
                  [] { return std::string("/etc/tarvo/registry"); });
}

std::string RuntimeFolder() {
  return Location("TARVO_RUNTIME_DIR", "run", [] {
    if (auto xdg = XdgEnv("XDG_RUNTIME_DIR")) return Under(*xdg, "tarvo");
    return "/tmp/tarvo-" + std::to_string(::getuid());
  });
}

std::string SystemFolder() {
  return Location("TARVO_SYSTEM_DIR", "system", [] { return std::string("/usr/lib/tarvo"); });
}

}  // namespace tarvo::platform
