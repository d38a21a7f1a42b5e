// Loading shared libraries at run time, with Windows error codes.
//
// Vendor and runtime libraries keep their Windows file names ("xpki1.dll",
// "WebView2Loader.dll"); on Linux they are ordinary shared objects loaded by
// full path. The contract follows LoadLibrary / GetProcAddress / FreeLibrary:
//
//   LoadLibrary   loads by path (a name without "/" is looked up by the
//                 dynamic loader's rules; callers that mean a folder pass the
//                 full path). Fails with LastError ERROR_MOD_NOT_FOUND (126)
//                 when the file or one of its dependencies is missing,
//                 ERROR_BAD_EXE_FORMAT (193) when the file is not a loadable
//                 shared object, ERROR_ACCESS_DENIED (5) when it cannot be read
//                 (its mode, or a folder on its path that may not be searched).
//   FindSymbol    looks a symbol up in that library *only* (never in the
//                 libraries it depends on, nor in the process's global scope),
//                 so a missing export reads as missing. ERROR_PROC_NOT_FOUND
//                 (127) when absent.
//   Unload        drops this handle's reference; the library goes when its
//                 last reference goes.
//
// The loader's own text for the last failure of the calling thread is kept for
// diagnostics (LastLoadErrorText); error messages shown to users are built from
// the Windows code. Thread-safe: the calls may be made from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace tarvo::platform {

class Library {
 public:
  Library() = default;
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  Library(Library&& other) noexcept;
  Library& operator=(Library&& other) noexcept;

  // Loads the library; false with LastError on failure (this object stays
  // empty). A loaded library is unloaded first.
  bool Load(const std::string& path);
  // Looks up an exported symbol of this library; nullptr with LastError
  // ERROR_PROC_NOT_FOUND when it is not exported (or nothing is loaded).
  void* FindSymbol(const char* name) const;
  void Unload() noexcept;

  bool IsLoaded() const noexcept { return fHandle != nullptr; }
  const std::string& Path() const noexcept { return fPath; }

 private:
  void* fHandle = nullptr;
  std::string fPath;
};

// The dynamic loader's text for the calling thread's last failed Load or
// FindSymbol ("" when none).
std::string LastLoadErrorText();

// The full path of the shared object (or executable) that contains the given
// code or data address, "" when none does. A library uses it with the address
// of one of its own functions to find its own folder.
std::string ModulePathOf(const void* address);

}  // namespace tarvo::platform
