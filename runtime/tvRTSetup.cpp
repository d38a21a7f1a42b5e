#include "runtime/tvRTSetup.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>

#include "platform/core/Errors.h"
#include "platform/core/Files.h"
#include "platform/core/Library.h"
#include "platform/core/Text.h"

namespace tarvo {

namespace {

constexpr const char* kDefaultDownloadURL =
    "http://download.orvanta.example/pub/Terminals/TarvoTrade/Redist/Microsoft/WebView2/"
    "MicrosoftEdgeWebView2RuntimeInstallerX86.exe";
constexpr const char* kDefaultSetupFile = "MicrosoftEdgeWebView2RuntimeInstallerX86.exe";
constexpr const char* kDefaultCmdParams = "-install";

constexpr std::int32_t S_OK = 0;
constexpr std::int32_t E_FAIL = static_cast<std::int32_t>(0x80004005u);

using VersionEntry = std::int32_t (*)(const char16_t* browserExecutableFolder,
                                      char16_t** versionInfo);

// The loader library stays loaded once it has been (the runtime keeps its own
// state in it); one load per full path. A failed load is tried again next time.
struct LoaderCache {
  std::mutex m;
  std::map<std::string, platform::Library*> loaded;  // never unloaded
};
LoaderCache& Loaders() {
  static auto* cache = new LoaderCache;
  return *cache;
}

// The entry of the loader library in folder; nullptr with LastError set when
// the library cannot be loaded or lacks the entry.
VersionEntry ResolveEntry(const std::string& folder) {
  const std::string path = platform::JoinPath(folder, TWebViewRuntimeSetup::kLoaderFileName);
  LoaderCache& cache = Loaders();
  std::lock_guard lock(cache.m);
  platform::Library*& lib = cache.loaded[path];
  if (!lib) {
    auto fresh = std::make_unique<platform::Library>();
    if (!fresh->Load(path)) {
      const std::uint32_t error = platform::GetLastError();
      cache.loaded.erase(path);
      platform::SetLastError(error);
      return nullptr;
    }
    lib = fresh.release();
  }
  return reinterpret_cast<VersionEntry>(lib->FindSymbol(TWebViewRuntimeSetup::kVersionEntry));
}

bool IsHexDigest(const std::string& s) {
  if (s.size() != 64) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  return true;
}

}  // namespace

// --- TRuntimeSetup ------------------------------------------------------------------------

void TRuntimeSetup::Init(const std::string& url, const std::string& folder,
                         const std::string& setupFile, const std::string& cmdParams) {
  if (!url.empty()) fDownloadURL = url;
  if (!folder.empty()) fFolder = folder;
  if (!setupFile.empty()) fSetupFile = setupFile;
  if (!cmdParams.empty()) fCmdParams = cmdParams;
}

void TRuntimeSetup::Init(const ICustomRuntimeSetup& source) {
  Init(source.DownloadURL(), source.Folder(), source.Name(), source.Params());
  if (!source.SHA256().empty()) SetSHA256(source.SHA256());
}

void TRuntimeSetup::SetSHA256(const std::string& digest) {
  if (!digest.empty() && !IsHexDigest(digest))
    throw std::invalid_argument("A SHA-256 digest is 64 hexadecimal digits: \"" + digest + "\"");
  fSHA256 = platform::AsciiLowerCase(digest);
}

// --- TWebViewRuntimeSetup -------------------------------------------------------------------

TWebViewRuntimeSetup::TWebViewRuntimeSetup(std::string edgeBrowserExecutableFolder)
    : fEdgeBrowserExecutableFolder(std::move(edgeBrowserExecutableFolder)),
      fLoaderFolder(platform::ExecutableFolder()) {
  fDownloadURL = kDefaultDownloadURL;
  fSetupFile = kDefaultSetupFile;
  fCmdParams = kDefaultCmdParams;
}

bool TWebViewRuntimeSetup::CheckOSVerCompatible() {
  // 10.0 or later: major 10 (any minor) or a higher major.
  return fOSMajor >= 10;
}

std::string TWebViewRuntimeSetup::OSVerCompatible() {
  return RuntimeText(rttext::EdgeOSVerionsCompatible);
}

bool TWebViewRuntimeSetup::CheckPrerequisites(std::string& errorMsg) {
  if (!TRuntimeSetup::CheckPrerequisites(errorMsg)) return false;
  if (ResolveEntry(fLoaderFolder)) return true;
  errorMsg = RuntimeTextFmt(rttext::EdgeWebViewLoaderError,
                            platform::SysErrorMessage(platform::GetLastError()));
  return false;
}

bool TWebViewRuntimeSetup::Validate() {
  const VersionEntry entry = ResolveEntry(fLoaderFolder);
  std::int32_t hr = E_FAIL;
  if (entry) {
    const std::u16string folder = platform::Utf8ToUtf16(fEdgeBrowserExecutableFolder);
    char16_t* version = nullptr;
    hr = entry(folder.empty() ? nullptr : folder.c_str(), &version);
    std::free(version);
  }
  return hr == S_OK;
}

}  // namespace tarvo
