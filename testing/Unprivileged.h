// Runs a piece of a test as a user whom file modes bind. Tests of access
// rights (a library that may not be read, a registry folder that may not be
// written) cannot see a refusal as root, who passes every mode check; so the
// piece runs in a child process that, when the tests run as root, first gives
// up root for the unprivileged uid and gid 65534 (no supplementary groups).
//
//   const auto run = tarvo::testing::RunAsUnprivileged([&] {
//     return CanOpen(path) ? 0 : 1;  // the child's exit code
//   });
//   if (run.unavailable) GTEST_SKIP() << run.why;
//   ASSERT_TRUE(run.ran) << run.why;
//   EXPECT_EQ(run.exitCode, 0);
//
// The child is a fork of the test process: it sees the test's memory and
// environment (a Sandbox's locations included) as they were at the call, and
// nothing it changes reaches the parent. fn must not use GoogleTest's
// assertions (their failures would be lost with the child); it reports
// through its result, which must lie in 0-250. The parent waits at most
// `timeout`, then kills the child. Call it from a test's main thread only,
// with no other threads of the test running (fork copies only the caller).
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace tarvo::testing {

// The uid and gid the child takes when the tests run as root.
inline constexpr unsigned kUnprivilegedId = 65534;

struct UnprivilegedRun {
  // No unprivileged user could be had here (the tests run as root and root
  // could not be given up): the test has nothing to check and may skip.
  bool unavailable = false;
  bool ran = false;  // fn returned: exitCode is its result
  int exitCode = 0;
  // When !ran: what happened (fork failed, threw, died, did not end). Those
  // are failures of the environment or of fn, never a reason to skip.
  std::string why;
};

UnprivilegedRun RunAsUnprivileged(const std::function<int()>& fn,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace tarvo::testing
