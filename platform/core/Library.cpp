#include "platform/core/Library.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/core/Errors.h"
#include "platform/core/Files.h"

namespace tarvo::platform {

namespace {

thread_local std::string tLastLoadError;

// dlopen reports through text only; the file itself tells which Windows code
// fits: missing (126), unreadable (5), or present but not loadable (193).
// The checks use the effective ids, as the loader's own open does. A folder on
// the way that may not be searched hides whether the file is there at all:
// that is access denied, not a missing module.
std::uint32_t LoadFailureCode(const std::string& path, const char* text) {
  if (path.find('/') != std::string::npos) {
    if (faccessat(AT_FDCWD, path.c_str(), F_OK, AT_EACCESS) != 0)
      return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_MOD_NOT_FOUND;
    if (faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) != 0) return ERROR_ACCESS_DENIED;
  }
  // A dependency that is missing surfaces as "cannot open shared object file".
  if (text != nullptr && std::strstr(text, "cannot open shared object file") != nullptr)
    return ERROR_MOD_NOT_FOUND;
  return ERROR_BAD_EXE_FORMAT;
}

}  // namespace

Library::~Library() {
  Unload();
}

Library::Library(Library&& other) noexcept : fHandle(other.fHandle), fPath(std::move(other.fPath)) {
  other.fHandle = nullptr;
  other.fPath.clear();
}

Library& Library::operator=(Library&& other) noexcept {
  if (this != &other) {
    Unload();
    fHandle = other.fHandle;
    fPath = std::move(other.fPath);
    other.fHandle = nullptr;
    other.fPath.clear();
  }
  return *this;
}

bool Library::Load(const std::string& path) {
  Unload();
  if (path.empty()) {
    tLastLoadError = "empty library name";
    SetLastError(ERROR_MOD_NOT_FOUND);
    return false;
  }
  // RTLD_LOCAL keeps the library's symbols out of the global scope, so two
  // libraries exporting the same names (variants of one vendor library) never
  // satisfy each other's lookups.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* text = dlerror();
    tLastLoadError = text != nullptr ? text : "dlopen failed";
    SetLastError(LoadFailureCode(path, text));
    return false;
  }
  fHandle = handle;
  fPath = path;
  return true;
}

void* Library::FindSymbol(const char* name) const {
  if (fHandle == nullptr || name == nullptr) {
    tLastLoadError = "no library loaded";
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  dlerror();
  void* symbol = dlsym(fHandle, name);
  if (symbol == nullptr) {
    const char* text = dlerror();
    tLastLoadError = text != nullptr ? text : "symbol is null";
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  // dlsym on a handle searches the library's dependencies too; only a symbol
  // that this very library defines counts as exported by it.
  Dl_info info{};
  struct link_map* own = nullptr;
  struct link_map* owner = nullptr;
  const bool ours =
      dlinfo(fHandle, RTLD_DI_LINKMAP, &own) == 0 &&
      dladdr1(symbol, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) != 0 &&
      owner == own;
  if (!ours) {
    tLastLoadError = std::string(name) + ": defined by a dependency, not by " + fPath;
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return symbol;
}

void Library::Unload() noexcept {
  if (fHandle != nullptr) {
    dlclose(fHandle);
    fHandle = nullptr;
    fPath.clear();
  }
}

std::string LastLoadErrorText() {
  return tLastLoadError;
}

std::string ModulePathOf(const void* address) {
  Dl_info info{};
  if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr) return {};
  std::string path = info.dli_fname;
  // The main program is reported by the name it was started with.
  if (!path.empty() && path.front() != '/') path = ExecutablePath();
  return path;
}

}  // namespace tarvo::platform
