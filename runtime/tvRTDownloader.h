// Downloaders: fetch the setup file into the download folder.
//
// A downloader works in a folder of its own. Creating one checks that folder
// (TRuntimeDownloader below) and creates it with every missing parent;
// Cleanup removes exactly what the downloader created, since the folder is
// the host's and a wrong setting must never cost the user other files.
//
// THttpRuntimeDownloader fetches the setup's DownloadURL with the platform's
// asynchronous HTTP client (platform/net/AsyncHttp.h) and writes the answer on
// the UI thread when it has arrived. Idle and total time-outs and a size cap
// bound the download (THttpDownloadLimits).
//
// Threads: created, started and destroyed on the UI thread; its completion
// runs there too. Validate, Folder, LastErrCode, LastErrMsg and Cleanup may be
// called from the installation's worker thread once the download has ended.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/tvRTInterfaces.h"

namespace tarvo {

namespace platform {
class AsyncHttpClient;
struct AsyncHttpResult;
}  // namespace platform

class TRuntimeDownloader : public IRuntimeDownloader {
 public:
  // Keeps the setup, takes its Folder (with a trailing "/") as the download
  // folder and creates it with all missing parents. Throws
  // ERuntimeManagerError (code "error.download") when the folder is refused
  // or cannot be created, and when the setup's Name is not a plain file name.
  // A folder is accepted when it is an absolute path without "." or ".."
  // parts strictly below the user's local data folder
  // (platform::LocalAppDataFolder) or the temporary folder ($TMPDIR, else
  // /tmp). Translates texts: UI thread.
  explicit TRuntimeDownloader(std::shared_ptr<IRuntimeSetup> payload);
  ~TRuntimeDownloader() override = default;

  // The setup file is in the download folder.
  bool Validate() override;
  // The base stores the callback and starts nothing.
  bool Download(std::function<void()> onFinished) override;
  std::string Folder() const override { return fDownloadFolder; }
  int LastErrCode() const override { return fLastErrCode; }
  std::string LastErrMsg() const override { return fLastErrMsg; }
  void Cleanup() override;

  // The setup file: Folder() + the setup's Name.
  std::string FileName() const;
  const std::shared_ptr<IRuntimeSetup>& Payload() const noexcept { return fPayload; }

  // The folder check above, on its own.
  static bool IsAcceptedFolder(const std::string& folder);

 protected:
  std::string fDownloadFolder;
  std::shared_ptr<IRuntimeSetup> fPayload;
  std::function<void()> fOnFinished;
  int fLastErrCode = 0;
  std::string fLastErrMsg;

 private:
  std::vector<std::string> fCreatedFolders;  // outermost first
};

// What bounds one download. 0 switches a limit off.
struct THttpDownloadLimits {
  std::uint32_t connectTimeoutMs = 30000;
  std::uint32_t idleTimeoutMs = 60000;            // no byte for a minute: the server is gone
  std::uint32_t totalTimeoutMs = 30 * 60000;      // half an hour for the whole file
  std::uint64_t maxBytes = 512ull * 1024 * 1024;  // far above any setup program
};

class THttpRuntimeDownloader : public TRuntimeDownloader {
 public:
  THttpRuntimeDownloader(std::shared_ptr<IRuntimeSetup> payload, THttpDownloadLimits limits = {});
  // Cancels a request still in flight and frees the client: the completion
  // never runs afterwards.
  ~THttpRuntimeDownloader() override;

  // The class reference a manager creates its downloaders with.
  static TRuntimeDownloaderClass Class(THttpDownloadLimits limits = {});

  // Stores onFinished and starts a GET of the setup's DownloadURL. False,
  // with LastErrCode -1 and the reason in LastErrMsg, when it cannot start.
  bool Download(std::function<void()> onFinished) override;

  // The size of the blocks the answer is written in.
  static constexpr std::size_t kWriteBlock = 1048576;

 protected:
  // The request's completion, on the UI thread: checks the answer, writes
  // the setup file and calls the stored callback.
  void DownloadDone(platform::AsyncHttpResult& result);

 private:
  void Fail(int code, std::string message);

  THttpDownloadLimits fLimits;
  std::unique_ptr<platform::AsyncHttpClient> fHttpClient;
  std::uint64_t fHttpResult = 0;  // the request in flight, 0 when none
};

// The SHA-256 digest of bytes, or of a file's contents, as 64 lower-case
// hexadecimal digits; nullopt when the file cannot be read.
std::string Sha256Hex(std::string_view data);
std::optional<std::string> FileSha256Hex(const std::string& path);

}  // namespace tarvo
