// Stand-in for the web-view runtime's loader library. It answers the runtime
// query the way the real loader does, from state a test controls:
//
//   - with no browser folder: the runtime is installed when the file named by
//     the environment variable TARVO_WEBVIEW_RUNTIME exists and is not empty;
//     its first line is the version. A test's setup program "installs" the
//     runtime by writing that file.
//   - with a browser folder (a fixed-version runtime): installed when the
//     folder holds "msedgewebview2.exe"; the version is then "fixed".
//
// Not installed answers HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) and no
// version. The version text is allocated with malloc; the caller frees it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

constexpr std::int32_t kOk = 0;
constexpr std::int32_t kNotFound = static_cast<std::int32_t>(0x80070002u);
constexpr std::int32_t kPointer = static_cast<std::int32_t>(0x80004003u);

std::string ToUtf8(const char16_t* s) {
  std::string out;
  for (; *s; ++s) {
    std::uint32_t c = *s;
    if (c >= 0xD800 && c <= 0xDBFF && s[1] >= 0xDC00 && s[1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[1] - 0xDC00);
      ++s;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

char16_t* Copy(const std::string& ascii) {
  auto* out = static_cast<char16_t*>(std::malloc((ascii.size() + 1) * sizeof(char16_t)));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < ascii.size(); ++i) out[i] = static_cast<unsigned char>(ascii[i]);
  out[ascii.size()] = 0;
  return out;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) std::int32_t
GetAvailableCoreWebView2BrowserVersionString(const char16_t* browserExecutableFolder,
                                             char16_t** versionInfo) {
  if (!versionInfo) return kPointer;
  *versionInfo = nullptr;
  std::string version;
  if (browserExecutableFolder && *browserExecutableFolder) {
    std::ifstream exe(ToUtf8(browserExecutableFolder) + "/msedgewebview2.exe");
    if (!exe) return kNotFound;
    version = "fixed";
  } else {
    const char* marker = std::getenv("TARVO_WEBVIEW_RUNTIME");
    if (!marker || !*marker) return kNotFound;
    std::ifstream file(marker);
    if (!file || !std::getline(file, version) || version.empty()) return kNotFound;
    while (!version.empty() && (version.back() == '\r' || version.back() == ' '))
      version.pop_back();
    if (version.empty()) return kNotFound;
  }
  *versionInfo = Copy(version);
  return kOk;
}
