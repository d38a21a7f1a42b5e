#include "runtime/tvRTSetup.h"

#include <memory>
#include <stdexcept>

#include <gtest/gtest.h>

#include "host/tvLocale.h"
#include "platform/core/Files.h"
#include "platform/core/Paths.h"
#include "platform/system/MessageQueue.h"
#include "runtime/tvRTDownloader.h"
#include "runtime/tvRTManager.h"
#include "testing/Sandbox.h"

using namespace tarvo;
using tarvo::testing::BinaryPath;
using tarvo::testing::Sandbox;

namespace {

constexpr const char* kSuffix =
    "/Redist/Microsoft/WebView2/MicrosoftEdgeWebView2RuntimeInstallerX86.exe";

class RuntimeSetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::MessageQueue::UI().BindToCurrentThread();
    box.SetEnv("TARVO_WEBVIEW_RUNTIME", marker);
    setup->SetLoaderFolder(BinaryPath(""));
  }

  Sandbox box;
  std::string marker = box.Path("runtime-version");
  std::shared_ptr<TWebViewRuntimeSetup> setup = std::make_shared<TWebViewRuntimeSetup>();
};

}  // namespace

TEST_F(RuntimeSetupTest, DefaultsAndInitKeepWhatIsNotGiven) {
  const std::string url = setup->DownloadURL();
  EXPECT_EQ(url.rfind("http://", 0), 0u);
  EXPECT_NE(url.find("/pub/Terminals/"), std::string::npos);
  EXPECT_TRUE(url.ends_with(kSuffix));
  EXPECT_EQ(setup->Name(), "MicrosoftEdgeWebView2RuntimeInstallerX86.exe");
  EXPECT_EQ(setup->Params(), "-install");
  EXPECT_EQ(setup->Folder(), "");
  EXPECT_EQ(setup->SHA256(), "");

  setup->SetLocalFolder("/data/dl");
  EXPECT_EQ(setup->Folder(), "/data/dl");
  EXPECT_EQ(setup->DownloadURL(), url) << "LocalFolder changes the folder only";
  setup->Init("http://h/x.exe", "", "", "/quiet");
  EXPECT_EQ(setup->DownloadURL(), "http://h/x.exe");
  EXPECT_EQ(setup->Folder(), "/data/dl");
  EXPECT_EQ(setup->Name(), "MicrosoftEdgeWebView2RuntimeInstallerX86.exe");
  EXPECT_EQ(setup->Params(), "/quiet");

  TWebViewRuntimeSetup copy;
  copy.SetSHA256(std::string(64, 'A'));
  copy.Init(*setup);
  EXPECT_EQ(copy.DownloadURL(), "http://h/x.exe");
  EXPECT_EQ(copy.Folder(), "/data/dl");
  EXPECT_EQ(copy.Params(), "/quiet");
  EXPECT_EQ(copy.SHA256(), std::string(64, 'a')) << "an empty digest of the source leaves it";

  for (const char* bad :
       {"abc", "zz", "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdeg"})
    EXPECT_THROW(copy.SetSHA256(bad), std::invalid_argument) << bad;
  EXPECT_EQ(copy.SHA256(), std::string(64, 'a'));
  copy.SetSHA256("");
  EXPECT_EQ(copy.SHA256(), "");
}

TEST_F(RuntimeSetupTest, TheLoaderLibraryDecidesWhetherTheRuntimeIsPresent) {
  std::string error = "stale";
  EXPECT_TRUE(setup->CheckPrerequisites(error));
  EXPECT_EQ(error, "");
  EXPECT_FALSE(setup->Validate()) << "no runtime recorded";
  box.WriteFile("runtime-version", "120.0.2210.91\n");
  EXPECT_TRUE(setup->Validate());
  box.WriteFile("runtime-version", "");
  EXPECT_FALSE(setup->Validate());

  // A fixed-version runtime: the folder is passed to the query.
  box.WriteFile("fixed/msedgewebview2.exe", "x");
  TWebViewRuntimeSetup fixed(box.Path("fixed"));
  fixed.SetLoaderFolder(BinaryPath(""));
  EXPECT_TRUE(fixed.Validate());
  TWebViewRuntimeSetup elsewhere(box.Path("nothing-here"));
  elsewhere.SetLoaderFolder(BinaryPath(""));
  box.WriteFile("runtime-version", "1.0");
  EXPECT_FALSE(elsewhere.Validate()) << "a given folder is the only place looked at";
}

TEST_F(RuntimeSetupTest, AMissingLoaderOrEntryFailsThePrerequisitesAndIsNeverCalled) {
  box.WriteFile("runtime-version", "1.0");
  const struct {
    std::string folder;
    std::string message;
  } cases[] = {
      {box.MakeDir("empty"), "The specified module could not be found"},
      {BinaryPath("webview-noentry"), "The specified procedure could not be found"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    TWebViewRuntimeSetup s;
    s.SetLoaderFolder(c.folder);
    std::string error;
    EXPECT_FALSE(s.CheckPrerequisites(error));
    EXPECT_EQ(error,
              "Can't load Microsoft Edge WebView2 Runtime support library WebView2Loader.dll:\r\n" +
                  c.message);
    EXPECT_FALSE(s.Validate());
  }
}

TEST_F(RuntimeSetupTest, OperatingSystemVersionCheck) {
  const struct {
    std::uint32_t major, minor;
    bool ok;
  } cases[] = {{10, 0, true}, {10, 5, true}, {11, 0, true}, {6, 3, false}, {6, 1, false}};
  for (const auto& c : cases) {
    setup->SetOSVersion(c.major, c.minor);
    EXPECT_EQ(setup->CheckOSVerCompatible(), c.ok) << c.major << "." << c.minor;
  }
  EXPECT_TRUE(TWebViewRuntimeSetup().CheckOSVerCompatible()) << "the default passes on Linux";
  EXPECT_EQ(
      setup->OSVerCompatible(),
      "Microsoft Edge WebView2 is currently available on Windows 11, Windows 10, 32-bit (x86) and "
      "64-bit (x64).");
}

TEST(RuntimeManagerText, ExtractHttpPath) {
  const struct {
    const char* url;
    const char* path;
  } cases[] = {
      {"http://h/pub/a/setup.exe", "http://h/pub/a"},
      {"http://h/pub\\a\\setup.exe", "http://h/pub\\a"},
      {"http://h/pub/a/", "http://h/pub/a"},
      {"setup.exe", "setup.exe"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(TRuntimeManager::ExtractHttpPath(c.url), c.path) << c.url;
}

TEST(RuntimeManagerText, SetupExitCodesReadAsTheirSystemText) {
  EXPECT_EQ(RuntimeSystemMessage(1603), "Fatal error during installation");
  EXPECT_EQ(RuntimeSystemMessage(1602), "User cancelled installation");
  EXPECT_EQ(RuntimeSystemMessage(5), "Access is denied");
  EXPECT_EQ(RuntimeSystemMessage(0x7777), "Unknown error 0x7777");
}

TEST(RuntimeManagerText, DigestsOfBytesAndFiles) {
  Sandbox box;
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string big(3 * 1048576 + 17, 'q');  // more than one read block
  EXPECT_EQ(FileSha256Hex(box.WriteFile("big", big)), Sha256Hex(big));
  EXPECT_EQ(FileSha256Hex(box.Path("missing")), std::nullopt);
}

TEST(RuntimeManagerText, TheRussianSourceTranslatesEveryText) {
  Sandbox box;
  SetTranslatorClass(&CreateTranslatorOf<TTarvoResourceTranslator>);
  FreeTranslator();
  Translator().SetLanguage("Russian");
  EXPECT_EQ(RuntimeText(rttext::DownloadError), "Ошибка загрузки");
  EXPECT_EQ(RuntimeTextFmt(rttext::SetupFileFormat, "text/html"),
            "Неверный формат файла установки: text/html");
  EXPECT_EQ(RuntimeTextFmt(rttext::LoaderError, "X"),
            "X.\r\nПопробуйте загрузить файл установки и установить его вручную:\r\n");
  for (const TRuntimeText* t :
       {&rttext::LoaderError, &rttext::DownloadError, &rttext::SetupFileError,
        &rttext::InstallTimeout, &rttext::DownloadCancelled, &rttext::SetupFileFormat,
        &rttext::InstallManualy, &rttext::SetupFileDigest, &rttext::DownloadFolderRefused,
        &rttext::NoDownloader, &rttext::EdgeWebViewUnavailable, &rttext::EdgeWaitingForInstall,
        &rttext::EdgeDownloadError, &rttext::EdgeInstallError, &rttext::EdgeOSVerionsCompatible,
        &rttext::EdgeOSVersionUncompatible, &rttext::EdgeWebViewLoaderError})
    EXPECT_TRUE(Translator().Contains(t->section, t->key)) << t->key;
  FreeTranslator();
  SetTranslatorClass(nullptr);
}
