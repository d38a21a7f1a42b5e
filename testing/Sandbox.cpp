#include "testing/Sandbox.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "platform/core/Files.h"

namespace fs = std::filesystem;

namespace tarvo::testing {

namespace {

// Every location variable of platform/core/Paths.h: the sandbox unsets the specific
// ones so that all of them follow TARVO_PLATFORM_ROOT.
const char* const kLocationVariables[] = {
    "TARVO_COMMON_APPDATA", "TARVO_LOCAL_APPDATA", "TARVO_REGISTRY_HKCU",
    "TARVO_REGISTRY_HKLM",  "TARVO_RUNTIME_DIR",   "TARVO_SYSTEM_DIR",
};

std::optional<std::string> GetEnv(const std::string& name) {
  if (const char* v = std::getenv(name.c_str())) return std::string(v);
  return std::nullopt;
}

void PutEnv(const std::string& name, const std::optional<std::string>& value) {
  if (value)
    ::setenv(name.c_str(), value->c_str(), 1);
  else
    ::unsetenv(name.c_str());
}

// Read-only files and folders would stop remove_all; give the owner back its
// rights first.
void MakeWritable(const fs::path& root) {
  std::error_code ec;
  fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ec);
  for (auto it = fs::recursive_directory_iterator(
           root, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_symlink(ec)) continue;
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
}

}  // namespace

Sandbox::Sandbox() {
  std::string pattern = (fs::temp_directory_path() / "tarvo-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data()))
    throw std::runtime_error("Sandbox: cannot create a temporary folder");
  fRoot = pattern;
  SetEnv("TARVO_PLATFORM_ROOT", fRoot);
  for (const char* name : kLocationVariables) SetEnv(name, std::nullopt);
  platform::FaultInjection::Clear();
}

Sandbox::~Sandbox() {
  platform::FaultInjection::Clear();
  for (const auto& [name, value] : fSavedEnv) PutEnv(name, value);
  MakeWritable(fRoot);
  std::error_code ec;
  fs::remove_all(fRoot, ec);
}

std::string Sandbox::Path(std::string_view relative) const {
  std::string p = fRoot;
  if (!relative.empty() && relative.front() != '/') p += '/';
  p += relative;
  return p;
}

std::string Sandbox::WriteFile(std::string_view relative, std::string_view bytes) const {
  const fs::path p = Path(relative);
  fs::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("Sandbox: cannot write " + p.string());
  return p.string();
}

std::optional<std::string> Sandbox::ReadFile(std::string_view relative) const {
  std::ifstream in(Path(relative), std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Sandbox::MakeDir(std::string_view relative) const {
  const std::string p = Path(relative);
  fs::create_directories(p);
  return p;
}

void Sandbox::SetEnv(const std::string& name, std::optional<std::string> value) {
  if (!fSavedEnv.contains(name)) fSavedEnv.emplace(name, GetEnv(name));
  PutEnv(name, value);
}

std::string SourcePath(std::string_view relative) {
  const char* root = std::getenv("TARVO_SOURCE_DIR");
  std::string p = root ? root : TARVO_DEFAULT_SOURCE_DIR;
  p += '/';
  p += relative;
  return p;
}

std::string BinaryPath(std::string_view name) {
  const char* root = std::getenv("TARVO_BINARY_DIR");
  std::string p = root ? root : TARVO_DEFAULT_BINARY_DIR;
  p += "/bin/";
  p += name;
  return p;
}

}  // namespace tarvo::testing
