#include "platform/core/ThreadChecker.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>

namespace tarvo::platform {
namespace {

// What a call from another thread does: the message it threw, or "" when it
// went through.
std::string CallFromOtherThread(const ThreadChecker& checker) {
  std::string thrown;
  std::thread other([&] {
    try {
      checker.CalledOnValidThread("TWidget::Paint");
    } catch (const std::logic_error& e) {
      thrown = e.what();
    }
  });
  other.join();
  return thrown;
}

TEST(ThreadChecker, OwnerThreadPassesOtherThreadsFailInCheckedBuilds) {
  ThreadChecker checker;
  EXPECT_NO_THROW(checker.CalledOnValidThread("TWidget::Paint"));
  const std::string thrown = CallFromOtherThread(checker);
  if (!kThreadChecks) {
    EXPECT_EQ(thrown, "");
    GTEST_SKIP() << "thread rules are checked under the sanitizer presets only";
  }
  EXPECT_NE(thrown.find("TWidget::Paint called on the wrong thread"), std::string::npos) << thrown;
}

TEST(ThreadChecker, DetachedCheckerBindsToTheNextCaller) {
  if (!kThreadChecks) GTEST_SKIP() << "thread rules are checked under the sanitizer presets only";
  ThreadChecker checker;
  checker.DetachFromThread();
  std::thread owner([&] { checker.CalledOnValidThread("TWidget::Paint"); });
  owner.join();
  // The worker owns it now; this thread is the wrong one.
  EXPECT_THROW(checker.CalledOnValidThread("TWidget::Paint"), std::logic_error);
}

}  // namespace
}  // namespace tarvo::platform
