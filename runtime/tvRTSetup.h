// Setup descriptions: what the installer downloads, from where, into which
// folder, how it runs the setup program and how it tells that the runtime is
// present.
//
// TWebViewRuntimeSetup describes the web-view runtime. It finds the runtime
// through the runtime's loader library "WebView2Loader.dll", loaded by full
// path from LoaderFolder() and kept loaded for the rest of the process (one
// load per path). The library's entry
//
//   int32_t GetAvailableCoreWebView2BrowserVersionString(
//       const char16_t* browserExecutableFolder,  // UTF-16, null-terminated; or null
//       char16_t** versionInfo);                  // allocated with malloc, or null
//
// answers 0 (S_OK) when a runtime is installed; the version text is released
// with free() and not otherwise used.
//
// Threads: the checks run on the UI thread (they translate texts); the plain
// accessors (Name, Params, Folder, DownloadURL, SHA256) may be read from any
// thread once the host has finished setting the description up.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "runtime/tvRTInterfaces.h"

namespace tarvo {

class TCustomRuntimeSetup : public virtual ICustomRuntimeSetup {
 public:
  std::string Name() const override { return fSetupFile; }
  std::string Params() const override { return fCmdParams; }
  std::string Folder() const override { return fFolder; }
  std::string DownloadURL() const override { return fDownloadURL; }
  std::string SHA256() const override { return fSHA256; }

 protected:
  std::string fFolder;
  std::string fSetupFile;
  std::string fCmdParams;
  std::string fDownloadURL;
  std::string fSHA256;
};

class TRuntimeSetup : public TCustomRuntimeSetup, public IRuntimeSetup {
 public:
  bool CheckOSVerCompatible() override { return true; }
  std::string OSVerCompatible() override { return {}; }
  bool CheckPrerequisites(std::string& errorMsg) override {
    errorMsg.clear();
    return true;
  }
  bool Validate() override = 0;

  // Stores each value that is not empty; an empty one leaves its field as it is.
  void Init(const std::string& url, const std::string& folder, const std::string& setupFile,
            const std::string& cmdParams);
  // The same with source's DownloadURL, Folder, Name and Params (and its
  // digest, when it has one).
  void Init(const ICustomRuntimeSetup& source);
  // The digest the setup file must match before it runs: 64 hexadecimal
  // digits (either case), or empty for none. Anything else throws
  // std::invalid_argument, so a mistyped digest never lets every file pass.
  void SetSHA256(const std::string& digest);
};

class TWebViewRuntimeSetup : public TRuntimeSetup {
 public:
  // The file name of the runtime's loader library.
  static constexpr const char* kLoaderFileName = "WebView2Loader.dll";
  static constexpr const char* kVersionEntry = "GetAvailableCoreWebView2BrowserVersionString";

  // edgeBrowserExecutableFolder: a fixed runtime's folder passed to the
  // runtime query; empty passes none. Defaults: the maker's address of the
  // x86 standalone setup program, its file name, "-install", and no folder
  // until the host sets LocalFolder.
  explicit TWebViewRuntimeSetup(std::string edgeBrowserExecutableFolder = {});

  // The download folder (Init with only the folder).
  void SetLocalFolder(const std::string& folder) { Init({}, folder, {}, {}); }
  std::string LocalFolder() const { return fFolder; }

  // Where the loader library is looked for; default: the running program's
  // folder, where the host ships it.
  void SetLoaderFolder(const std::string& folder) { fLoaderFolder = folder; }
  const std::string& LoaderFolder() const noexcept { return fLoaderFolder; }

  // The system's version that CheckOSVerCompatible judges. Linux has no
  // Windows version, so the default (10.0) passes; tests set older ones.
  void SetOSVersion(std::uint32_t major, std::uint32_t minor) {
    fOSMajor = major;
    fOSMinor = minor;
  }

  const std::string& EdgeBrowserExecutableFolder() const noexcept {
    return fEdgeBrowserExecutableFolder;
  }

  // 10.0 or later.
  bool CheckOSVerCompatible() override;
  // The text "EdgeOSVerionsCompatible".
  std::string OSVerCompatible() override;
  // The base check, then the loader library is loaded and its entry resolved.
  // A library that cannot be loaded, or lacks the entry, fails with the text
  // "EdgeWebViewLoaderError" around the system's message.
  bool CheckPrerequisites(std::string& errorMsg) override;
  // The runtime query answers S_OK. A loader that cannot be loaded or lacks
  // the entry counts as E_FAIL (false); it is never called through a missing
  // entry.
  bool Validate() override;

 private:
  std::string fEdgeBrowserExecutableFolder;
  std::string fLoaderFolder;
  std::uint32_t fOSMajor = 10;
  std::uint32_t fOSMinor = 0;
};

}  // namespace tarvo
