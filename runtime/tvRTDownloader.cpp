#include "runtime/tvRTDownloader.h"

#include <algorithm>
#include <cstdlib>
#include <system_error>

#include "platform/core/Errors.h"
#include "platform/core/Files.h"
#include "platform/core/Paths.h"
#include "platform/core/Text.h"
#include "platform/net/AsyncHttp.h"
#include "platform/net/Digest.h"

namespace tarvo {

namespace {

// The parts of an absolute path; nullopt when it is not absolute or holds an
// empty, "." or ".." part (a path that could mean a different folder than
// it reads).
std::optional<std::vector<std::string>> PathParts(std::string_view path) {
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string_view::npos)
    return std::nullopt;
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  std::vector<std::string> parts;
  std::size_t pos = 1;
  while (pos <= path.size()) {
    const std::size_t next = std::min(path.find('/', pos), path.size());
    const std::string_view part = path.substr(pos, next - pos);
    if (part.empty() || part == "." || part == "..") {
      if (path.size() == 1) break;  // the root itself
      return std::nullopt;
    }
    parts.emplace_back(part);
    pos = next + 1;
  }
  return parts;
}

bool IsBelow(const std::vector<std::string>& folder, const std::string& base) {
  const auto baseParts = PathParts(base);
  if (!baseParts || baseParts->empty() || folder.size() <= baseParts->size()) return false;
  return std::equal(baseParts->begin(), baseParts->end(), folder.begin());
}

std::string TempFolder() {
  const char* tmp = std::getenv("TMPDIR");
  if (tmp && *tmp == '/') return tmp;
  return "/tmp";
}

bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

[[noreturn]] void Refuse(std::string text) {
  throw ERuntimeManagerError(std::string(kReasonDownload), text);
}

}  // namespace

// --- digests --------------------------------------------------------------------------------

std::string Sha256Hex(std::string_view data) {
  platform::Sha256Digest h;
  h.Add(data);
  return h.Hex();
}

std::optional<std::string> FileSha256Hex(const std::string& path) {
  platform::FileStream f;
  if (!f.Open(path, platform::FileStream::Mode::Read)) return std::nullopt;
  platform::Sha256Digest h;
  std::vector<char> buffer(THttpRuntimeDownloader::kWriteBlock);
  for (;;) {
    const long long n = f.Read(buffer.data(), buffer.size());
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    h.Add(buffer.data(), static_cast<std::size_t>(n));
  }
  return h.Hex();
}

// --- TRuntimeDownloader --------------------------------------------------------------------------

bool TRuntimeDownloader::IsAcceptedFolder(const std::string& folder) {
  const auto parts = PathParts(folder);
  if (!parts) return false;
  return IsBelow(*parts, platform::LocalAppDataFolder()) || IsBelow(*parts, TempFolder());
}

TRuntimeDownloader::TRuntimeDownloader(std::shared_ptr<IRuntimeSetup> payload)
    : fPayload(std::move(payload)) {
  const std::string folder = fPayload->Folder();
  if (!IsAcceptedFolder(folder)) Refuse(RuntimeTextFmt(rttext::DownloadFolderRefused, folder));
  if (!IsPlainFileName(fPayload->Name()))
    Refuse(platform::SysErrorMessage(platform::ERROR_INVALID_NAME) + ": \"" + fPayload->Name() +
           "\"");
  fDownloadFolder = platform::IncludeTrailingPathDelimiter(folder);

  // Create the folder part by part, remembering which parts are ours: only
  // those are removed again.
  const auto parts = PathParts(folder);
  std::string path;
  for (const std::string& part : *parts) {
    path += "/" + part;
    if (platform::DirectoryExists(path)) continue;
    if (!platform::CreateDir(path)) {
      const std::uint32_t error = platform::GetLastError();
      Cleanup();
      Refuse(platform::SysErrorMessage(error) + ": \"" + path + "\"");
    }
    fCreatedFolders.push_back(path);
  }
}

std::string TRuntimeDownloader::FileName() const {
  return fDownloadFolder + fPayload->Name();
}

bool TRuntimeDownloader::Validate() {
  return platform::FileExists(FileName());
}

bool TRuntimeDownloader::Download(std::function<void()> onFinished) {
  fOnFinished = std::move(onFinished);
  return false;
}

void TRuntimeDownloader::Cleanup() {
  const std::string file = FileName();
  if (platform::PathExists(file)) platform::DeleteFile(file);
  if (platform::PathExists(file + ".part")) platform::DeleteFile(file + ".part");
  // Innermost first; a folder that is not empty (the setup program left
  // something, or the host put something there) stays, and so do its parents.
  for (auto it = fCreatedFolders.rbegin(); it != fCreatedFolders.rend(); ++it)
    if (!platform::RemoveDir(*it)) break;
  fCreatedFolders.clear();
}

// --- THttpRuntimeDownloader ----------------------------------------------------------------------

THttpRuntimeDownloader::THttpRuntimeDownloader(std::shared_ptr<IRuntimeSetup> payload,
                                               THttpDownloadLimits limits)
    : TRuntimeDownloader(std::move(payload)), fLimits(limits) {}

THttpRuntimeDownloader::~THttpRuntimeDownloader() {
  if (fHttpClient) {
    if (fHttpResult != 0) fHttpClient->Cancel(fHttpResult);
    fHttpClient->Shutdown();
  }
}

TRuntimeDownloaderClass THttpRuntimeDownloader::Class(THttpDownloadLimits limits) {
  return [limits](
             const std::shared_ptr<IRuntimeSetup>& payload) -> std::shared_ptr<IRuntimeDownloader> {
    return std::make_shared<THttpRuntimeDownloader>(payload, limits);
  };
}

void THttpRuntimeDownloader::Fail(int code, std::string message) {
  fLastErrCode = code;
  fLastErrMsg = std::move(message);
}

bool THttpRuntimeDownloader::Download(std::function<void()> onFinished) {
  fOnFinished = std::move(onFinished);
  fLastErrCode = 0;
  fLastErrMsg.clear();
  try {
    if (!fHttpClient) fHttpClient = std::make_unique<platform::AsyncHttpClient>();
    platform::AsyncHttpOptions options;
    options.connectTimeoutMs = fLimits.connectTimeoutMs;
    options.idleTimeoutMs = fLimits.idleTimeoutMs;
    options.totalTimeoutMs = fLimits.totalTimeoutMs;
    options.maxBodyBytes = fLimits.maxBytes;
    fHttpResult =
        fHttpClient->Get(fPayload->DownloadURL(), options,
                         [this](platform::AsyncHttpResult& result) { DownloadDone(result); });
    if (fHttpResult == 0) {
      Fail(-1, platform::AsyncHttpErrorText(platform::GetLastError()));
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    Fail(-1, e.what());
    return false;
  }
}

void THttpRuntimeDownloader::DownloadDone(platform::AsyncHttpResult& result) {
  fHttpResult = 0;
  const std::string file = FileName();
  const std::string part = file + ".part";
  try {
    if (result.cancelled) {
      Fail(-1, RuntimeText(rttext::DownloadCancelled));
    } else if (result.error != 0) {
      Fail(-1, result.ErrorText());
    } else if (result.status != 200) {
      Fail(result.status, result.statusText);
    } else {
      const std::string contentType = result.Header("Content-Type");
      if (platform::AsciiLowerCase(contentType).find("application/octet-stream") ==
          std::string::npos) {
        Fail(-1, RuntimeTextFmt(rttext::SetupFileFormat, contentType));
      } else if (!fPayload->SHA256().empty() && Sha256Hex(result.body) != fPayload->SHA256()) {
        Fail(-1, RuntimeText(rttext::SetupFileDigest));
        if (platform::PathExists(file)) platform::DeleteFile(file);
      } else {
        // Written under a temporary name and renamed when whole: a setup file
        // that exists is always complete, so a partly written one is never run.
        platform::FileStream out;
        bool ok = out.Open(part, platform::FileStream::Mode::CreateNew);
        for (std::size_t at = 0; ok && at < result.body.size(); at += kWriteBlock)
          ok = out.Write(result.body.data() + at, std::min(kWriteBlock, result.body.size() - at));
        ok = ok && out.Flush();
        std::uint32_t error = ok ? 0 : platform::GetLastError();
        out.Close();
        if (ok) {
          // The setup program runs as a program of its own.
          ok = platform::SetExecutable(part) && platform::RenameFile(part, file, true);
          if (!ok) error = platform::GetLastError();
        }
        if (!ok) {
          platform::DeleteFile(part);  // a missing one is no error here
          Fail(-1, platform::SysErrorMessage(error));
        }
      }
    }
  } catch (const std::exception& e) {
    if (platform::PathExists(part)) platform::DeleteFile(part);
    Fail(-1, e.what());
  }
  // The answer is not needed any more; a large body should not wait for the
  // installation to end.
  std::string().swap(result.body);
  if (fOnFinished) {
    std::function<void()> onFinished = fOnFinished;
    onFinished();
  }
}

}  // namespace tarvo
