#include "platform/system/LocalSocket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/core/Errors.h"
#include "platform/core/Files.h"
#include "platform/system/Process.h"
#include "platform/system/ProcessInfo.h"
#include "testing/Sandbox.h"

using namespace tarvo::platform;
using tarvo::testing::Sandbox;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// Collects what a listener's handler receives, for the test thread to wait on.
class Inbox {
 public:
  LocalListener::Handler Handler() {
    return [this](std::string_view message) {
      std::lock_guard lock(fMutex);
      fMessages.emplace_back(message);
      fCv.notify_all();
    };
  }
  // The messages once there are at least n of them, or what came within 10 s.
  std::vector<std::string> Await(std::size_t n) {
    std::unique_lock lock(fMutex);
    fCv.wait_for(lock, 10s, [&] { return fMessages.size() >= n; });
    return fMessages;
  }

 private:
  std::mutex fMutex;
  std::condition_variable fCv;
  std::vector<std::string> fMessages;
};

// A raw connection to an endpoint that sends nothing: a stuck or hostile peer.
int ConnectSilently(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

// Messages from one sender arrive in order, byte for byte (a NUL and a message
// of the largest size included); many senders at once all get through.
TEST(LocalSocket, DeliversEveryMessageWholeAndInOrder) {
  Sandbox box;
  Inbox inbox;
  auto listener = LocalListener::Start("App_Msg.1", inbox.Handler());
  ASSERT_TRUE(listener) << GetLastError();

  const std::string withNul("a\0b", 3);
  const std::string largest(kMaxLocalMessage, 'x');
  ASSERT_TRUE(LocalSendMessage("App_Msg.1", "first"));
  ASSERT_TRUE(LocalSendMessage("App_Msg.1", withNul));
  ASSERT_TRUE(LocalSendMessage("App_Msg.1", largest));
  const auto got = inbox.Await(3);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], "first");
  EXPECT_EQ(got[1], withNul);
  EXPECT_EQ(got[2], largest);

  std::atomic<int> failures{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < 6; ++t) {
    senders.emplace_back([t, &failures] {
      for (int i = 0; i < 10; ++i)
        if (!LocalSendMessage("App_Msg.1", std::to_string(t) + ":" + std::to_string(i), 5000))
          ++failures;
    });
  }
  for (auto& s : senders) s.join();
  EXPECT_EQ(failures, 0);
  const auto all = inbox.Await(63);
  EXPECT_EQ(std::set<std::string>(all.begin() + 3, all.end()).size(), 60u);
}

TEST(LocalSocket, SendErrors) {
  Sandbox box;
  Inbox inbox;
  auto listener = LocalListener::Start("Target", inbox.Handler());
  ASSERT_TRUE(listener);
  struct Case {
    const char* what;
    std::string name;
    std::string message;
    std::uint32_t error;
  } cases[] = {
      {"empty message", "Target", "", ERROR_INVALID_PARAMETER},
      {"too long", "Target", std::string(kMaxLocalMessage + 1, 'y'), ERROR_INVALID_PARAMETER},
      {"no such endpoint", "Nobody", "hello", ERROR_FILE_NOT_FOUND},
      {"empty name", "", "hello", ERROR_INVALID_NAME},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_FALSE(LocalSendMessage(c.name, c.message, 500)) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
  }
  EXPECT_TRUE(LocalSendMessage("Target", "still fine"));
  EXPECT_EQ(inbox.Await(1), std::vector<std::string>{"still fine"});
}

// A second listener may not steal a live endpoint; after Stop the endpoint is
// gone, senders are told so, and the name can be listened on again.
TEST(LocalSocket, OneLiveListenerPerNameAndStopRemovesIt) {
  Sandbox box;
  Inbox first;
  auto listener = LocalListener::Start("Shared", first.Handler());
  ASSERT_TRUE(listener);
  EXPECT_FALSE(LocalListener::Start("Shared", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);

  listener->Stop();
  listener->Stop();
  EXPECT_FALSE(FileExists(*LocalEndpointPath("Shared")));
  EXPECT_FALSE(LocalSendMessage("Shared", "late", 500));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  Inbox second;
  auto again = LocalListener::Start("Shared", second.Handler());
  ASSERT_TRUE(again);
  EXPECT_TRUE(LocalSendMessage("Shared", "to the new one"));
  EXPECT_EQ(second.Await(1), std::vector<std::string>{"to the new one"});
}

// A process that dies leaves its socket file behind, nobody listening on it;
// any other file may be in the way as well. Both are replaced.
TEST(LocalSocket, FilesLeftBehindAreReplaced) {
  Sandbox box;
  const std::string path = *LocalEndpointPath("Stale");
  {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), path.size());
    box.MakeDir("run");
    ASSERT_EQ(::chmod(box.Path("run").c_str(), 0700), 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << path;
    ::close(fd);  // the file stays, as after a crash
  }
  Inbox inbox;
  auto listener = LocalListener::Start("Stale", inbox.Handler());
  ASSERT_TRUE(listener) << GetLastError();
  EXPECT_TRUE(LocalSendMessage("Stale", "ok"));
  EXPECT_EQ(inbox.Await(1), std::vector<std::string>{"ok"});
  listener.reset();

  box.WriteFile(path.substr(box.Root().size() + 1), "not a socket");
  listener = LocalListener::Start("Stale", nullptr);
  EXPECT_TRUE(listener) << GetLastError();
}

// A peer that connects and says nothing is dropped after the peer time limit,
// so a real sender behind it still gets through, and Stop does not wait for it.
TEST(LocalSocket, SilentPeerDelaysOthersOnlyBriefly) {
  Sandbox box;
  Inbox inbox;
  auto listener = LocalListener::Start("Busy", inbox.Handler());
  ASSERT_TRUE(listener);
  const int silent = ConnectSilently(*LocalEndpointPath("Busy"));
  ASSERT_GE(silent, 0);
  EXPECT_TRUE(LocalSendMessage("Busy", "behind it", 3 * LocalListener::kPeerTimeoutMs));
  EXPECT_EQ(inbox.Await(1), std::vector<std::string>{"behind it"});

  const int silent2 = ConnectSilently(*LocalEndpointPath("Busy"));
  ASSERT_GE(silent2, 0);
  std::this_thread::sleep_for(50ms);  // let the listener start reading it
  const auto start = Clock::now();
  listener->Stop();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(LocalListener::kPeerTimeoutMs / 2));
  ::close(silent);
  ::close(silent2);
}

// A handler that throws loses that message only.
TEST(LocalSocket, HandlerFailureDoesNotStopTheListener) {
  Sandbox box;
  Inbox inbox;
  auto handler = inbox.Handler();
  auto listener = LocalListener::Start("Fragile", [handler](std::string_view m) {
    if (m == "bad") throw std::runtime_error("bad message");
    handler(m);
  });
  ASSERT_TRUE(listener);
  EXPECT_TRUE(LocalSendMessage("Fragile", "bad"));
  EXPECT_TRUE(LocalSendMessage("Fragile", "good"));
  EXPECT_EQ(inbox.Await(1), std::vector<std::string>{"good"});
}

// --- process start times -----------------------------------------------------------

TEST(ProcessInfo, StartTimeNamesOneLiveProcess) {
  const auto own = ProcessStartTime(CurrentProcessId());
  ASSERT_TRUE(own);
  EXPECT_EQ(ProcessStartTime(CurrentProcessId()), own);
  EXPECT_FALSE(ProcessStartTime(0));
  EXPECT_FALSE(ProcessStartTime(0xFFFFFFFFu));

  auto child =
      LaunchProcess({ExecutableFolder() + "platform_services_helper", "sleep 20000", "", false});
  ASSERT_TRUE(child) << GetLastError();
  const auto childStart = ProcessStartTime(child->Id());
  ASSERT_TRUE(childStart);
  EXPECT_GE(*childStart, *own);
  ASSERT_TRUE(child->Terminate(9));
  ASSERT_EQ(child->Wait(5000), WaitResult::Signaled);
  EXPECT_FALSE(ProcessStartTime(child->Id()));
}
