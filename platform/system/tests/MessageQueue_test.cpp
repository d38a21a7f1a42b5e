#include "platform/system/MessageQueue.h"

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "platform/core/Errors.h"
#include "testing/Sandbox.h"

using namespace tarvo::platform;
using namespace std::chrono_literals;

namespace {

constexpr std::uint32_t kQdsMessage = WM_USER + 1005;  // 2029, the QDS main-thread message

// A queue whose UI thread is the test's thread, with one target that records
// what it handled and on which thread.
class MessageQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    target = queue.Register(
        [this](std::uint32_t msg, std::uintptr_t w, std::intptr_t l) -> std::intptr_t {
          handled.push_back({target, msg, w, l});
          onUIThread = onUIThread && std::this_thread::get_id() == ui;
          if (onMessage) return onMessage(msg, w, l);
          return static_cast<std::intptr_t>(w) + l;
        });
  }

  MessageQueue queue;
  std::thread::id ui = std::this_thread::get_id();
  WindowHandle target = 0;
  std::vector<Message> handled;  // touched on the UI thread only
  bool onUIThread = true;
  std::function<std::intptr_t(std::uint32_t, std::uintptr_t, std::intptr_t)> onMessage;
};

}  // namespace

TEST_F(MessageQueueTest, PostedMessagesRunOnTheUIThreadInOrder) {
  std::thread worker([&] {
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(queue.Post(target, kQdsMessage, i, -i));
  });
  EXPECT_TRUE(queue.PumpUntil([&] { return handled.size() == 100; }, 10000));
  worker.join();
  ASSERT_EQ(handled.size(), 100u);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(handled[i].wParam, static_cast<std::uintptr_t>(i));
    EXPECT_EQ(handled[i].lParam, -i);
  }
  EXPECT_TRUE(onUIThread);
}

TEST_F(MessageQueueTest, SendRunsTheHandlerOnTheUIThreadAndReturnsItsAnswer) {
  EXPECT_EQ(queue.Send(target, 1, 40, 2), 42) << "on the UI thread the handler runs at once";
  std::optional<std::intptr_t> answer;
  std::thread worker([&] { answer = queue.Send(target, 1, 5, 6, 10000); });
  EXPECT_TRUE(queue.PumpUntil([&] { return handled.size() == 2; }, 10000));
  worker.join();
  EXPECT_EQ(answer, 11);
  EXPECT_TRUE(onUIThread);
}

// The UI thread waits for a worker that itself waits for the UI thread: the
// wait handles sent messages, so both finish.
TEST_F(MessageQueueTest, WorkerSendingWhileTheUIThreadWaitsForItDoesNotDeadlock) {
  std::atomic<bool> done{false};
  Event finished(true);
  std::optional<std::intptr_t> first, second;
  std::thread worker([&] {
    first = queue.Send(target, 1, 1, 1, 10000);
    second = queue.Send(target, 1, 2, 2, 10000);
    finished.Set();
    done = true;
    queue.Wake();
  });
  Event* events[] = {&finished};
  EXPECT_EQ(queue.WaitForEvents(events, 10000), 0);
  EXPECT_TRUE(queue.WaitPumpingSent([&] { return done.load(); }, 10000));
  worker.join();
  EXPECT_EQ(first, 2);
  EXPECT_EQ(second, 4);

  // The same with a named mutex the worker holds while it sends.
  tarvo::testing::Sandbox box;
  NamedMutex mutex = NamedMutex::Create("WebClientCache");
  std::atomic<bool> holding{false};
  std::thread holder([&] {
    ASSERT_EQ(mutex.Wait(0), WaitResult::Signaled);
    holding = true;
    EXPECT_EQ(queue.Send(target, 1, 3, 3, 10000), 6);
    mutex.Release();
  });
  while (!holding) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(queue.WaitForMutex(mutex, 10000), WaitResult::Signaled);
  mutex.Release();
  holder.join();
}

TEST_F(MessageQueueTest, SendThatTimesOutIsWithdrawn) {
  std::optional<std::intptr_t> answer{0};
  std::uint32_t error = 0;
  std::thread worker([&] {
    answer = queue.Send(target, 1, 1, 1, 50);
    error = GetLastError();
  });
  worker.join();  // the UI thread does not pump meanwhile
  EXPECT_EQ(answer, std::nullopt);
  EXPECT_EQ(error, ERROR_TIMEOUT);
  EXPECT_EQ(queue.ProcessMessages(), 0u) << "a withdrawn message is never handled";
  EXPECT_TRUE(handled.empty());
}

// A handler that has started is waited for to its end, even past the sender's
// time-out: it may be using the sender's data.
TEST_F(MessageQueueTest, SendWaitsForAHandlerThatHasStarted) {
  onMessage = [&](std::uint32_t, std::uintptr_t, std::intptr_t l) -> std::intptr_t {
    std::this_thread::sleep_for(600ms);
    return *reinterpret_cast<int*>(l);  // the sender's stack
  };
  std::optional<std::intptr_t> answer;
  std::thread worker([&] {
    int onStack = 77;
    answer = queue.Send(target, 1, 0, reinterpret_cast<std::intptr_t>(&onStack), 200);
  });
  EXPECT_TRUE(queue.PumpUntil([&] { return !handled.empty(); }, 10000));
  worker.join();
  EXPECT_EQ(answer, 77);
}

TEST_F(MessageQueueTest, UnregisterDropsPendingMessagesAndReturnsTheirObjects) {
  auto other = queue.Register(
      [](std::uint32_t, std::uintptr_t, std::intptr_t) -> std::intptr_t { return 0; });
  auto objects = std::make_unique<std::string[]>(3);
  for (int i = 0; i < 3; ++i) {
    objects[i] = "entry " + std::to_string(i);
    ASSERT_TRUE(queue.Post(target, kQdsMessage, i, reinterpret_cast<std::intptr_t>(&objects[i])));
  }
  ASSERT_TRUE(queue.Post(other, kQdsMessage, 9, 0));

  std::optional<std::intptr_t> answer{0};
  std::uint32_t error = 0;
  std::atomic<bool> sending{false};
  std::thread sender([&] {
    sending = true;
    answer = queue.Send(target, 1, 1, 1, 10000);
    error = GetLastError();
  });
  while (!sending) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(20ms);  // let the send reach the queue

  const auto dropped = queue.Unregister(target);
  sender.join();
  ASSERT_EQ(dropped.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(dropped[i].target, target);
    EXPECT_EQ(*reinterpret_cast<std::string*>(dropped[i].lParam), "entry " + std::to_string(i));
  }
  EXPECT_EQ(answer, std::nullopt);
  EXPECT_EQ(error, ERROR_INVALID_HANDLE);
  EXPECT_FALSE(queue.IsRegistered(target));
  EXPECT_FALSE(queue.Post(target, 1, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(queue.ProcessMessages(), 1u) << "the other target's message stays";
  EXPECT_TRUE(handled.empty());
}

TEST_F(MessageQueueTest, ShutdownReleasesSendersAndReturnsPendingMessages) {
  ASSERT_TRUE(queue.Post(target, kQdsMessage, 1, 100));
  std::optional<std::intptr_t> answer{0};
  std::uint32_t error = 0;
  std::atomic<bool> sending{false};
  std::thread sender([&] {
    sending = true;
    answer = queue.Send(target, 1, 1, 1);  // no time-out: only the shutdown ends it
    error = GetLastError();
  });
  while (!sending) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(20ms);
  const auto dropped = queue.Shutdown();
  sender.join();
  EXPECT_EQ(answer, std::nullopt);
  EXPECT_EQ(error, ERROR_CANCELLED);
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_EQ(dropped[0].lParam, 100);
  EXPECT_FALSE(queue.Post(target, 1, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_CANCELLED);
  EXPECT_EQ(queue.Send(target, 1, 0, 0), std::nullopt);
  EXPECT_TRUE(handled.empty());
}

TEST_F(MessageQueueTest, ProcessMessagesHandlesWhatIsPendingAndNotWhatHandlersPost) {
  onMessage = [&](std::uint32_t, std::uintptr_t, std::intptr_t) -> std::intptr_t {
    queue.Post(target, 1, 0, 0);  // keeps posting itself
    return 0;
  };
  ASSERT_TRUE(queue.Post(target, 1, 0, 0));
  ASSERT_TRUE(queue.Post(target, 1, 0, 0));
  EXPECT_EQ(queue.ProcessMessages(), 2u);
  EXPECT_EQ(queue.ProcessMessages(), 2u);
  onMessage = nullptr;
  EXPECT_EQ(queue.ProcessMessages(), 2u);
  EXPECT_EQ(queue.ProcessMessages(), 0u);
}

TEST_F(MessageQueueTest, HandlerExceptionsReachWhoeverRanTheMessage) {
  onMessage = [](std::uint32_t msg, std::uintptr_t, std::intptr_t) -> std::intptr_t {
    throw std::runtime_error("handler failed " + std::to_string(msg));
  };
  std::string caught;
  std::thread worker([&] {
    try {
      queue.Send(target, 5, 0, 0, 10000);
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
  });
  EXPECT_TRUE(queue.PumpUntil([&] { return !handled.empty(); }, 10000));
  worker.join();
  EXPECT_EQ(caught, "handler failed 5");

  ASSERT_TRUE(queue.Post(target, 6, 0, 0));
  EXPECT_THROW(queue.ProcessMessages(), std::runtime_error);
}

TEST_F(MessageQueueTest, PumpsBelongToTheUIThreadAndTimeOut) {
  std::thread worker([&] {
    EXPECT_THROW(queue.ProcessMessages(), std::logic_error);
    EXPECT_THROW(queue.PumpUntil([] { return true; }, 0), std::logic_error);
    // A waiting helper is a plain wait elsewhere.
    EXPECT_FALSE(queue.WaitPumpingSent([] { return false; }, 10));
  });
  worker.join();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(queue.PumpUntil([] { return false; }, 30));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);

  // Binding moves the UI thread.
  std::thread newUi([&] {
    queue.BindToCurrentThread();
    EXPECT_TRUE(queue.IsUIThread());
  });
  newUi.join();
  EXPECT_FALSE(queue.IsUIThread());
}
