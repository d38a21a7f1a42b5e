// Whole installations: the manager against a real HTTP server on 127.0.0.1,
// the stand-in loader library, and setup programs that are shell scripts
// served by that server (or put into the download folder) and run as child
// processes. A setup script "installs" the runtime by writing the file the
// stand-in loader reads.
#include "runtime/tvRTManager.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/core/Errors.h"
#include "platform/core/Files.h"
#include "platform/core/Paths.h"
#include "platform/system/MessageQueue.h"
#include "runtime/tvRTSetup.h"
#include "testing/FaultServer.h"
#include "testing/HttpTestServer.h"
#include "testing/Sandbox.h"

using namespace tarvo;
using namespace std::chrono_literals;
using tarvo::testing::BinaryPath;
using tarvo::testing::FaultServer;
using tarvo::testing::HttpReply;
using tarvo::testing::HttpTestServer;
using tarvo::testing::Sandbox;

namespace {

constexpr const char* kSetupPath =
    "/pub/Terminals/TarvoTrade/Redist/Microsoft/WebView2/"
    "MicrosoftEdgeWebView2RuntimeInstallerX86.exe";
constexpr const char* kSetupName = "MicrosoftEdgeWebView2RuntimeInstallerX86.exe";

struct Call {
  bool success = false;
  ERuntimeManagerErrorPtr reason;
  bool onUI = false;
  int listener = 0;
};

class RuntimeInstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::MessageQueue::UI().BindToCurrentThread();
    box.SetEnv("TARVO_WEBVIEW_RUNTIME", marker);
    ASSERT_EQ(platform::LocalAppDataFolder(), box.Path("local"));
    // Something of the user's beside the download folder: it must survive.
    box.WriteFile("local/Orvanta/keep.txt", "mine");
    setup->SetLoaderFolder(BinaryPath(""));
    setup->SetLocalFolder(folder);
    setup->Init(server.Url(kSetupPath), "", "", "");
    manager = std::make_unique<TWebViewRuntimeManager>(setup);
    manager->Init(THttpRuntimeDownloader::Class(limits));
  }

  // A setup program: a shell script that logs its arguments and folder, runs
  // body, and exits with code.
  std::string Script(int code, const std::string& body = "") const {
    return "#!/bin/sh\n"
           "echo \"$*|$(pwd)\" >> '" +
           box.Path("setup.log") + "'\n" + body + "\nexit " + std::to_string(code) + "\n";
  }
  std::string Installs() const { return "echo 120.0.1 > '" + marker + "'\n"; }
  void Serve(const std::string& script,
             const std::string& contentType = "application/octet-stream") {
    HttpReply reply(script);
    reply.contentType = contentType;
    server.On(kSetupPath, reply);
  }

  TRuntimeFinished Listener(int id = 0) {
    return [this, id](bool success, const ERuntimeManagerErrorPtr& reason) {
      calls.push_back({success, reason, std::this_thread::get_id() == ui, id});
    };
  }
  bool WaitCalls(std::size_t n, std::uint32_t ms = 20000) {
    return platform::MessageQueue::UI().PumpUntil([&] { return calls.size() >= n; }, ms);
  }
  bool WaitFor(const std::function<bool()>& done, std::uint32_t ms = 20000) {
    return platform::MessageQueue::UI().PumpUntil(done, ms);
  }
  std::string Url() const { return server.Url(kSetupPath); }
  // The download folder is gone, and the user's file beside it is intact.
  void ExpectCleaned() {
    EXPECT_TRUE(WaitFor([&] { return !platform::PathExists(folder); }, 5000))
        << "download folder left behind";
    EXPECT_EQ(box.ReadFile("local/Orvanta/keep.txt"), "mine");
  }
  int SetupRuns() const {
    const auto log = box.ReadFile("setup.log");
    return log ? static_cast<int>(std::count(log->begin(), log->end(), '\n')) : 0;
  }

  tarvo::testing::ProxyEnvironmentCleared noProxy;
  Sandbox box;
  HttpTestServer server;
  std::string marker = box.Path("runtime-version");
  std::string folder = box.Path("local/Orvanta/WebView2Setup");
  THttpDownloadLimits limits;
  std::shared_ptr<TWebViewRuntimeSetup> setup = std::make_shared<TWebViewRuntimeSetup>();
  std::unique_ptr<TWebViewRuntimeManager> manager;
  std::thread::id ui = std::this_thread::get_id();
  std::vector<Call> calls;
};

}  // namespace

TEST_F(RuntimeInstallTest, RuntimePresentNothingIsDownloaded) {
  box.WriteFile("runtime-version", "120.0.1");
  Serve(Script(0));
  manager->Install(Listener());
  ASSERT_EQ(calls.size(), 1u) << "called at once, on the caller's thread";
  EXPECT_TRUE(calls[0].success);
  EXPECT_EQ(calls[0].reason, nullptr);
  EXPECT_FALSE(manager->Locked());
  EXPECT_TRUE(manager->Ready());
  EXPECT_FALSE(platform::PathExists(folder)) << "no folder is created";
  EXPECT_EQ(server.RequestCount(), 0u);

  manager->Validate(Listener());
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_TRUE(calls[1].success);
}

TEST_F(RuntimeInstallTest, DownloadAndSetupInstallTheRuntime) {
  Serve(Script(0, Installs()));
  manager->Install(Listener());
  EXPECT_TRUE(calls.empty()) << "the rest happens later";
  EXPECT_TRUE(manager->Locked());
  EXPECT_FALSE(manager->Ready()) << "not ready while installing";
  EXPECT_EQ(manager->WaitForInfoMsg(),
            "Waiting for the Microsoft Edge WebView2 Runtime to download and install...");
  ASSERT_TRUE(WaitCalls(1));
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_TRUE(calls[0].success);
  EXPECT_EQ(calls[0].reason, nullptr);
  EXPECT_TRUE(calls[0].onUI);
  EXPECT_FALSE(manager->Locked());
  EXPECT_TRUE(manager->Ready());
  EXPECT_EQ(box.ReadFile("setup.log"), "-install|" + folder + "\n")
      << "run with its parameters, in the download folder";
  EXPECT_EQ(server.RequestCount(), 1u);
  ExpectCleaned();
}

TEST_F(RuntimeInstallTest, ASetupFileAlreadyThereRunsWithoutDownloading) {
  box.WriteFile("local/Orvanta/WebView2Setup/" + std::string(kSetupName), Script(0, Installs()));
  std::filesystem::permissions(box.Path("local/Orvanta/WebView2Setup/" + std::string(kSetupName)),
                               std::filesystem::perms::owner_exec,
                               std::filesystem::perm_options::add);
  manager->Install(Listener());
  ASSERT_TRUE(WaitCalls(1));
  EXPECT_TRUE(calls[0].success);
  EXPECT_EQ(server.RequestCount(), 0u);
  EXPECT_EQ(SetupRuns(), 1);
  EXPECT_FALSE(platform::PathExists(folder + "/" + kSetupName))
      << "the setup file is removed afterwards";
}

TEST_F(RuntimeInstallTest, DownloadFailuresGiveADownloadReasonAndRunNothing) {
  const std::string hint = ".\r\nTry to download setup file and install it manually:\r\n";
  const std::string head = "Microsoft Edge WebView2 Runtime download error\r\n";
  FaultServer stall(FaultServer::StallBeforeHeaders(20s));

  struct Case {
    const char* what;
    std::function<void()> arrange;
    std::string text;  // the reason's whole text, with the URL in place of {}
  };
  const Case cases[] = {
      {"404", [&] { server.On(kSetupPath, HttpReply("gone", 404)); },
       head + "Not Found" + hint + "\r\n{}"},
      {"wrong content type", [&] { Serve(Script(0, Installs()), "text/html; charset=utf-8"); },
       head + "Invalid setup file format: text/html; charset=utf-8" + hint + "\r\n{}"},
      {"stalled server",
       [&] {
         setup->Init(stall.Url(kSetupPath), "", "", "");
         THttpDownloadLimits l;
         l.idleTimeoutMs = 300;
         manager->Init(THttpRuntimeDownloader::Class(l));
       },
       head + "The operation timed out" + hint + "\r\n{}"},
      {"larger than the cap",
       [&] {
         Serve(Script(0, Installs()) + std::string(5000, '#'));
         THttpDownloadLimits l;
         l.maxBytes = 1000;
         manager->Init(THttpRuntimeDownloader::Class(l));
       },
       head + "The file size exceeds the limit allowed and cannot be saved" + hint + "\r\n{}"},
      {"digest does not match",
       [&] {
         Serve(Script(0, Installs()));
         setup->SetSHA256(Sha256Hex("another file"));
       },
       head + "The setup file does not match its expected SHA-256 digest" + hint + "\r\n{}"},
      {"setup file cannot be written",
       [&] {
         Serve(Script(0, Installs()));
         // Every write into the download folder fails, whatever the file is called.
         platform::FaultInjection::Add(folder + "/*", platform::FileOp::Write,
                                       platform::ERROR_DISK_FULL);
       },
       head + "There is not enough space on the disk" + hint + "\r\n{}"},
      {"setup file cannot be made runnable",
       [&] {
         Serve(Script(0, Installs()));
         // Only the file being written: cleaning up must still work.
         platform::FaultInjection::Add(folder + "/*.part", platform::FileOp::Attributes,
                                       platform::ERROR_ACCESS_DENIED);
       },
       head + "Access is denied" + hint + "\r\n{}"},
      {"setup file cannot be put in place",
       [&] {
         Serve(Script(0, Installs()));
         platform::FaultInjection::Add(folder + "/*.part", platform::FileOp::Rename,
                                       platform::ERROR_ACCESS_DENIED);
       },
       head + "Access is denied" + hint + "\r\n{}"},
      {"address that cannot be fetched",
       [&] { setup->Init("ftp://127.0.0.1/setup.exe", "", "", ""); },
       head + "The URL does not use a recognized protocol" + hint + "\r\n{}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // A fresh manager and description per case, as a host would have.
    setup = std::make_shared<TWebViewRuntimeSetup>();
    setup->SetLoaderFolder(BinaryPath(""));
    setup->SetLocalFolder(folder);
    setup->Init(Url(), "", "", "");
    manager = std::make_unique<TWebViewRuntimeManager>(setup);
    manager->Init(THttpRuntimeDownloader::Class(limits));
    calls.clear();
    c.arrange();
    const auto t0 = std::chrono::steady_clock::now();
    manager->Install(Listener());
    ASSERT_TRUE(WaitCalls(1, 10000));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_FALSE(calls[0].success);
    ASSERT_NE(calls[0].reason, nullptr);
    EXPECT_EQ(calls[0].reason->Code(), "error.download");
    std::string expected = c.text;
    expected.replace(expected.find("{}"), 2, setup->DownloadURL());
    EXPECT_EQ(calls[0].reason->Message(), expected);
    EXPECT_EQ(SetupRuns(), 0) << "nothing was run";
    EXPECT_FALSE(manager->Ready());
    ExpectCleaned();
    platform::FaultInjection::Clear();
  }
}

TEST_F(RuntimeInstallTest, SetupProgramFailuresGiveAnInstallReason) {
  struct Case {
    const char* what;
    std::string script;
    std::uint32_t timeoutMs;
    std::string text;
  };
  const std::string head = "Microsoft Edge WebView2 Runtime install error\r\n";
  const Case cases[] = {
      {"exit code 5", Script(5), 600000, head + "Access is denied"},
      {"exit code 112", Script(112), 600000, head + "There is not enough space on the disk"},
      {"not a program", "just text, no interpreter line\n", 600000,
       head + "%1 is not a valid Win32 application"},
      {"outlives the time-out",
       Script(0, "sleep 2\necho > '" + box.Path("late") + "'\n" + Installs()), 300,
       head + "Installation timed out"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    calls.clear();
    Serve(c.script);
    manager->SetInstallTimeout(c.timeoutMs);
    const auto t0 = std::chrono::steady_clock::now();
    manager->Install(Listener());
    ASSERT_TRUE(WaitCalls(1));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    EXPECT_FALSE(calls[0].success);
    ASSERT_NE(calls[0].reason, nullptr);
    EXPECT_EQ(calls[0].reason->Code(), "error.install");
    EXPECT_EQ(calls[0].reason->Message(), c.text);
    ExpectCleaned();
  }
  // The program that outlived its time-out was left running; it ends on its own.
  EXPECT_TRUE(WaitFor([&] { return platform::FileExists(box.Path("late")); }, 10000));
}

TEST_F(RuntimeInstallTest, ConcurrentInstallsShareOneInstallation) {
  HttpReply slow(Script(0, Installs()));
  slow.delayBeforeHeaders = 300ms;
  server.On(kSetupPath, slow);
  manager->Install(Listener(1));
  // Init is ignored while an installation runs.
  int otherClassUsed = 0;
  manager->Init(
      [&](const std::shared_ptr<IRuntimeSetup>& p) -> std::shared_ptr<IRuntimeDownloader> {
        ++otherClassUsed;
        return std::make_shared<TRuntimeDownloader>(p);
      });
  manager->Install(Listener(2));
  EXPECT_TRUE(calls.empty());
  ASSERT_TRUE(WaitCalls(2));
  EXPECT_FALSE(WaitCalls(3, 300));
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].listener, 1);
  EXPECT_EQ(calls[1].listener, 2);
  EXPECT_TRUE(calls[0].success && calls[1].success);
  EXPECT_EQ(server.RequestCount(), 1u);
  EXPECT_EQ(SetupRuns(), 1);

  // The class given during the installation was not taken.
  platform::DeleteFile(marker);
  manager->Install(Listener(3));
  ASSERT_TRUE(WaitCalls(3));
  EXPECT_EQ(otherClassUsed, 0);
  EXPECT_EQ(server.RequestCount(), 2u);
}

TEST_F(RuntimeInstallTest, AnInstallBeforeTheOutcomeIsDeliveredJoinsThatInstallation) {
  Serve(Script(0, "echo > '" + box.Path("started") + "'\nsleep 0.2\n" + Installs()));
  manager->Install(Listener(1));
  ASSERT_TRUE(WaitFor([&] { return platform::FileExists(box.Path("started")); }));
  // Let the worker finish without pumping: its outcome waits in the queue.
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (platform::PathExists(folder) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  ASSERT_FALSE(platform::PathExists(folder));
  EXPECT_TRUE(manager->Locked()) << "installing until the outcome is told";
  manager->Install(Listener(2));
  EXPECT_TRUE(calls.empty()) << "nobody hears anything before the outcome is delivered";
  ASSERT_TRUE(WaitCalls(2));
  EXPECT_FALSE(WaitCalls(3, 300));
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].listener, 1);
  EXPECT_EQ(calls[1].listener, 2);
  EXPECT_TRUE(calls[0].success && calls[1].success);
  EXPECT_EQ(SetupRuns(), 1);
}

TEST_F(RuntimeInstallTest, AListenerMayStartTheNextInstallation) {
  server.On(kSetupPath, HttpReply("gone", 404));
  bool again = false;
  manager->Install([&](bool success, const ERuntimeManagerErrorPtr& reason) {
    Listener(1)(success, reason);
    if (again) return;
    again = true;
    Serve(Script(0, Installs()));
    manager->Install(Listener(2));  // re-entrant: the list is not under the lock
  });
  ASSERT_TRUE(WaitCalls(2));
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_FALSE(calls[0].success);
  // The failure of the first run does not turn the second's success into one.
  EXPECT_EQ(calls[1].listener, 2);
  EXPECT_TRUE(calls[1].success);
  EXPECT_EQ(calls[1].reason, nullptr);
  EXPECT_EQ(manager->Reason(), nullptr);
  EXPECT_NE(calls[0].reason, nullptr) << "the earlier reason stays valid for whoever holds it";
}

TEST_F(RuntimeInstallTest, DestroyingTheManagerDuringADownloadCallsNobody) {
  HttpReply slow(Script(0, Installs()) + std::string(200000, '#'));
  slow.blockSize = 1000;
  slow.delayPerBlock = 20ms;
  server.On(kSetupPath, slow);
  manager->Install(Listener());
  ASSERT_TRUE(WaitFor([&] { return server.BodyBytesSent() > 0; }, 5000));
  manager.reset();
  EXPECT_FALSE(WaitCalls(1, 500));
  EXPECT_TRUE(WaitFor([&] { return server.AbortedBodies() == 1; }, 5000))
      << "the request was cancelled";
  ExpectCleaned();
  EXPECT_EQ(SetupRuns(), 0);
}

TEST_F(RuntimeInstallTest, DestroyingTheManagerWhileTheSetupRunsCallsNobody) {
  Serve(Script(0, "echo > '" + box.Path("started") + "'\nsleep 1\n" + Installs()));
  manager->Install(Listener());
  ASSERT_TRUE(WaitFor([&] { return platform::FileExists(box.Path("started")); }));
  manager.reset();
  // The worker still waits for the program and cleans the folder after it.
  ExpectCleaned();
  EXPECT_FALSE(WaitCalls(1, 500));
  EXPECT_TRUE(platform::FileExists(marker));
}

TEST_F(RuntimeInstallTest, ValidateTellsWithoutInstalling) {
  Serve(Script(0, Installs()));
  manager->Validate(Listener());
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_FALSE(calls[0].success);
  ASSERT_NE(calls[0].reason, nullptr);
  EXPECT_EQ(calls[0].reason->Code(), "error.unavailable");
  EXPECT_EQ(calls[0].reason->Message(),
            "Microsoft Edge WebView2 Runtime is not installed.\r\n"
            "Download and install it manualy. Download address:\r\n\r\n" +
                server.Url("/pub/Terminals/TarvoTrade/Redist/Microsoft/WebView2"));
  EXPECT_EQ(manager->Reason(), calls[0].reason);
  EXPECT_FALSE(manager->Locked());
  EXPECT_EQ(server.RequestCount(), 0u);
  EXPECT_FALSE(platform::PathExists(folder));
}

TEST_F(RuntimeInstallTest, SystemOrLoaderProblemsStopBeforeAnything) {
  Serve(Script(0, Installs()));
  const std::string unsupported =
      "Microsoft Edge WebView2 Runtime is not supported.\r\nMicrosoft Edge WebView2 is currently "
      "available "
      "on Windows 11, Windows 10, 32-bit (x86) and 64-bit (x64).";
  const std::string noLoader =
      "Can't load Microsoft Edge WebView2 Runtime support library WebView2Loader.dll:\r\n"
      "The specified module could not be found";
  const struct {
    const char* what;
    std::function<void()> arrange;
    std::string text;
  } cases[] = {
      {"old system", [&] { setup->SetOSVersion(6, 1); }, unsupported},
      {"no loader", [&] { setup->SetLoaderFolder(box.MakeDir("empty")); }, noLoader},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    setup->SetOSVersion(10, 0);
    setup->SetLoaderFolder(BinaryPath(""));
    c.arrange();
    calls.clear();
    manager->Validate(Listener(1));
    manager->Install(Listener(2));
    ASSERT_EQ(calls.size(), 2u) << "both answer at once";
    for (const Call& call : calls) {
      EXPECT_FALSE(call.success);
      ASSERT_NE(call.reason, nullptr);
      EXPECT_EQ(call.reason->Code(), "error.preinstall");
      EXPECT_EQ(call.reason->Message(), c.text);
    }
    EXPECT_FALSE(manager->Locked());
    EXPECT_FALSE(manager->Ready());
    EXPECT_FALSE(WaitCalls(3, 200)) << "nothing else is called later";
  }
  EXPECT_EQ(server.RequestCount(), 0u);
  EXPECT_FALSE(platform::PathExists(folder));
}

TEST_F(RuntimeInstallTest, FoldersOutsideAFolderOfItsOwnAreRefused) {
  Serve(Script(0, Installs()));
  box.SetEnv("TMPDIR", box.MakeDir("tmp"));  // the sandbox itself lies in the system's /tmp
  box.WriteFile("elsewhere/file.txt", "mine");
  const std::string refused[] = {
      "",
      "/",
      "relative/folder",
      box.Path("local"),                          // the base itself
      box.Path("local/Orvanta/../../elsewhere"),  // climbs out
      box.Path("elsewhere"),                      // not below a base
      "/etc/tarvo-webview-setup",
  };
  for (const std::string& f : refused) {
    SCOPED_TRACE(f);
    auto s = std::make_shared<TWebViewRuntimeSetup>();
    s->SetLoaderFolder(BinaryPath(""));
    s->Init(Url(), f, "", "");
    TWebViewRuntimeManager m(s);
    m.Init(THttpRuntimeDownloader::Class());
    calls.clear();
    m.Install(Listener());
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_FALSE(calls[0].success);
    ASSERT_NE(calls[0].reason, nullptr);
    EXPECT_EQ(calls[0].reason->Code(), "error.download");
    EXPECT_NE(calls[0].reason->Message().find("is not a folder of its own"), std::string::npos)
        << calls[0].reason->Message();
    EXPECT_FALSE(m.Locked());
  }
  EXPECT_EQ(server.RequestCount(), 0u);
  EXPECT_EQ(box.ReadFile("elsewhere/file.txt"), "mine");
  EXPECT_TRUE(platform::DirectoryExists(box.Path("local")));

  // Below the temporary folder is a folder of its own too.
  setup->SetLocalFolder(box.Path("tmp/webview/setup"));
  calls.clear();
  manager->Install(Listener());
  ASSERT_TRUE(WaitCalls(1));
  EXPECT_TRUE(calls[0].success);
  EXPECT_FALSE(platform::PathExists(box.Path("tmp/webview"))) << "every folder it made is removed";
  EXPECT_TRUE(platform::DirectoryExists(box.Path("tmp")));
}

TEST_F(RuntimeInstallTest, AManagerWithoutDownloaderClassFails) {
  TWebViewRuntimeManager bare(setup);
  bare.Install(Listener());
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_FALSE(calls[0].success);
  ASSERT_NE(calls[0].reason, nullptr);
  EXPECT_EQ(calls[0].reason->Code(), "error.download");
  EXPECT_FALSE(bare.Locked());
  // Init(Source) takes another manager's class.
  bare.Init(*manager);
  Serve(Script(0, Installs()));
  bare.Install(Listener());
  ASSERT_TRUE(WaitCalls(2));
  EXPECT_TRUE(calls[1].success);
}
