// The web-view runtime installer: its three roles as interfaces, the reason
// of a failed run, and the texts of the catalogue.
//
// The host needs the web-view runtime to show web pages. The installer checks
// that it is present and, when it is not, downloads its setup program, runs it
// and tells every interested caller, on the UI thread, whether the runtime is
// usable now and, if not, why (a text ready to show):
//
//   IRuntimeSetup       what to download, where from, where to put it, how to
//                       run it, and how to tell that the runtime is present
//                       (tvRTSetup.h)
//   IRuntimeDownloader  fetches the setup file into the download folder
//                       (tvRTDownloader.h)
//   TRuntimeManager     the state machine that ties them together and reports
//                       the outcome (tvRTManager.h)
//
// Interfaces are reference-counted: objects are held by std::shared_ptr.
// Expected failures are never thrown at the host: they reach the listeners as
// an ERuntimeManagerError with Success = false.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tarvo {

// --- reasons ---------------------------------------------------------------------------

// The reason codes of a failed run.
inline constexpr std::string_view kReasonPreinstall = "error.preinstall";  // system or prerequisite
inline constexpr std::string_view kReasonUnavailable =
    "error.unavailable";                                               // runtime missing (Validate)
inline constexpr std::string_view kReasonDownload = "error.download";  // no setup file obtained
inline constexpr std::string_view kReasonInstall = "error.install";    // the setup program failed

// Why a run failed: a code above and the final text for the user. Never
// thrown at the host by the installer; handed to listeners.
class ERuntimeManagerError : public std::runtime_error {
 public:
  ERuntimeManagerError(std::string code, const std::string& text)
      : std::runtime_error(text), fCode(std::move(code)) {}
  const std::string& Code() const noexcept { return fCode; }
  std::string Message() const { return what(); }

 private:
  std::string fCode;
};

using ERuntimeManagerErrorPtr = std::shared_ptr<const ERuntimeManagerError>;

// --- the setup description ----------------------------------------------------------------

class ICustomRuntimeSetup {
 public:
  virtual ~ICustomRuntimeSetup() = default;
  virtual std::string Name() const = 0;         // the setup file's name
  virtual std::string Params() const = 0;       // the setup program's parameters
  virtual std::string Folder() const = 0;       // the local download folder
  virtual std::string DownloadURL() const = 0;  // where the setup file comes from
  // The SHA-256 digest (64 hexadecimal digits) the setup file must have
  // before it is run; empty when the description carries none.
  virtual std::string SHA256() const = 0;
};

class IRuntimeSetup : public virtual ICustomRuntimeSetup {
 public:
  // The runtime is present and usable.
  virtual bool Validate() = 0;
  virtual bool CheckOSVerCompatible() = 0;
  // The text that lists the supported systems.
  virtual std::string OSVerCompatible() = 0;
  // False, with the reason in errorMsg, when something the runtime needs is
  // missing; true clears errorMsg.
  virtual bool CheckPrerequisites(std::string& errorMsg) = 0;
};

// --- the downloader ------------------------------------------------------------------------

class IRuntimeDownloader {
 public:
  virtual ~IRuntimeDownloader() = default;
  // The setup file is in the download folder.
  virtual bool Validate() = 0;
  // Starts fetching the setup file; onFinished runs on the UI thread when the
  // download has ended, whatever its outcome (LastErrCode tells). False when
  // nothing was started (LastErrCode -1, LastErrMsg why).
  virtual bool Download(std::function<void()> onFinished) = 0;
  // The download folder, with a trailing "/".
  virtual std::string Folder() const = 0;
  // 0: no error; an HTTP status other than 200; -1 for any other failure.
  virtual int LastErrCode() const = 0;
  virtual std::string LastErrMsg() const = 0;
  // Removes what this downloader created: the setup file (and any partly
  // written copy of it) and the folders it had to create, as far as they are
  // empty then. Nothing else is touched. Errors are ignored.
  virtual void Cleanup() = 0;
};

// How a manager creates its downloader: the stand-in for a class reference.
// May throw (an ERuntimeManagerError or another exception) when the setup
// cannot be downloaded at all, e.g. into a folder that is refused.
using TRuntimeDownloaderClass = std::function<std::shared_ptr<IRuntimeDownloader>(
    const std::shared_ptr<IRuntimeSetup>& payload)>;

class ICustomRuntimeManager {
 public:
  virtual ~ICustomRuntimeManager() = default;
  virtual TRuntimeDownloaderClass DownloaderClass() const = 0;
};

// --- texts ---------------------------------------------------------------------------------

// Catalogue sections of the installer's texts (English defaults in the code).
inline constexpr std::string_view kRuntimeCommonSection = "Runtime_Common_Constants";
inline constexpr std::string_view kRuntimeEdgeSection = "Runtime_Edge_Constants";

// One text of the catalogue: section, key and English default.
struct TRuntimeText {
  std::string_view section;
  std::string_view key;
  std::string_view english;
};

namespace rttext {
inline constexpr TRuntimeText LoaderError{
    kRuntimeCommonSection, "LoaderError",
    "%s.\r\nTry to download setup file and install it manually:\r\n"};
inline constexpr TRuntimeText DownloadError{kRuntimeCommonSection, "DownloadError",
                                            "Downloading error"};
inline constexpr TRuntimeText SetupFileError{kRuntimeCommonSection, "SetupFileError",
                                             "Setup file is not found"};
inline constexpr TRuntimeText InstallTimeout{kRuntimeCommonSection, "InstallTimeout",
                                             "Installation timed out"};
inline constexpr TRuntimeText DownloadCancelled{kRuntimeCommonSection, "DownloadCancelled",
                                                "Downloading is cancelled"};
inline constexpr TRuntimeText SetupFileFormat{kRuntimeCommonSection, "SetupFileFormat",
                                              "Invalid setup file format: %s"};
inline constexpr TRuntimeText InstallManualy{
    kRuntimeCommonSection, "InstallManualy",
    "Download and install it manualy. Download address:\r\n"};
// Texts of the toolkit's own checks around the download.
inline constexpr TRuntimeText SetupFileDigest{
    kRuntimeCommonSection, "SetupFileDigest",
    "The setup file does not match its expected SHA-256 digest"};
inline constexpr TRuntimeText DownloadFolderRefused{
    kRuntimeCommonSection, "DownloadFolderRefused",
    "The download folder \"%s\" is not a folder of its own below the user's data or temporary "
    "folder"};
inline constexpr TRuntimeText NoDownloader{kRuntimeCommonSection, "NoDownloader",
                                           "No way to download the setup file is configured"};

inline constexpr TRuntimeText EdgeWebViewUnavailable{
    kRuntimeEdgeSection, "EdgeWebViewUnavailable",
    "Microsoft Edge WebView2 Runtime is not installed."};
inline constexpr TRuntimeText EdgeWaitingForInstall{
    kRuntimeEdgeSection, "EdgeWaitingForInstall",
    "Waiting for the Microsoft Edge WebView2 Runtime to download and install..."};
inline constexpr TRuntimeText EdgeDownloadError{kRuntimeEdgeSection, "EdgeDownloadError",
                                                "Microsoft Edge WebView2 Runtime download error"};
inline constexpr TRuntimeText EdgeInstallError{kRuntimeEdgeSection, "EdgeInstallError",
                                               "Microsoft Edge WebView2 Runtime install error"};
inline constexpr TRuntimeText EdgeOSVerionsCompatible{
    kRuntimeEdgeSection, "EdgeOSVerionsCompatible",
    "Microsoft Edge WebView2 is currently available on Windows 11, Windows 10, 32-bit (x86) and "
    "64-bit (x64)."};
inline constexpr TRuntimeText EdgeOSVersionUncompatible{
    kRuntimeEdgeSection, "EdgeOSVersionUncompatible",
    "Microsoft Edge WebView2 Runtime is not supported."};
inline constexpr TRuntimeText EdgeWebViewLoaderError{
    kRuntimeEdgeSection, "EdgeWebViewLoaderError",
    "Can't load Microsoft Edge WebView2 Runtime support library WebView2Loader.dll:\r\n%s"};
}  // namespace rttext

// The text in the current language (UI thread only: the catalogue has no lock).
std::string RuntimeText(const TRuntimeText& text);
// The text with its single "%s" replaced by arg. A translation that does not
// fit falls back to the English default.
std::string RuntimeTextFmt(const TRuntimeText& text, const std::string& arg);

// The system's English message for a Windows error number, without a final
// period: what a setup program's exit code or a failed start is shown as.
std::string RuntimeSystemMessage(std::uint32_t code);

}  // namespace tarvo
