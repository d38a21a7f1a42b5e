#include "platform/system/Process.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "platform/core/Errors.h"
#include "platform/core/Files.h"
#include "platform/core/Text.h"
#include "testing/Sandbox.h"

using namespace tarvo::platform;
using tarvo::testing::Sandbox;
using namespace std::chrono_literals;

namespace {

// The helper program is built beside the test executable.
std::string Helper() {
  return ExecutableFolder() + "platform_services_helper";
}

// Kills what a test started if the test ends early.
struct Reaper {
  std::unique_ptr<Process> p;
  ~Reaper() {
    if (p && p->Terminate()) p->Wait(5000);
  }
};

std::vector<std::string> NulSeparated(const std::string& bytes) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\0') {
      out.push_back(bytes.substr(start, i - start));
      start = i + 1;
    }
  }
  return out;
}

}  // namespace

TEST(CommandLine, SplitsAsWindowsProgramsDo) {
  struct Case {
    const char* line;
    std::vector<std::string> args;
  } cases[] = {
      {"", {}},
      {" \t ", {}},
      {"a b  c", {"a", "b", "c"}},
      {"\ta\tb ", {"a", "b"}},
      {"\"a b\" c", {"a b", "c"}},
      {"\"\"", {""}},
      {"\"\" \"\"", {"", ""}},
      {"a\"b c\"d", {"ab cd"}},
      {"\"a \"\"quoted\"\" b\"", {"a \"quoted\" b"}},
      {"-elevated -updatereg \"Tarvo \"\"Trade\"\"\"",
       {"-elevated", "-updatereg", "Tarvo \"Trade\""}},
      {"\"a\"\"\"", {"a\""}},
      {"\\\"a\\\"", {"\"a\""}},
      {"a\\\\b c\\d", {"a\\\\b", "c\\d"}},
      {"\"a\\\\\" b", {"a\\", "b"}},
      {"a\\\\\\\"b", {"a\\\"b"}},
      {"\"unterminated x", {"unterminated x"}},
      {"C:\\Program Files\\x", {"C:\\Program", "Files\\x"}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitCommandLine(c.line), c.args) << c.line;
}

TEST(CommandLine, QuotedArgumentsSplitBackUnchanged) {
  const std::vector<std::string> args = {
      "plain",      "",          "two words",           "quote\"inside",
      "trailing\\", "tab\there", "\\\\server\\share\\", "back\\\"slash"};
  std::string line;
  for (const auto& a : args) line += QuoteArgument(a) + " ";
  EXPECT_EQ(SplitCommandLine(line), args) << line;
  EXPECT_EQ(QuoteArgument("plain"), "plain");
}

TEST(Launch, ReportsExitCodes) {
  for (int code : {0, 3, 255}) {
    Reaper r{LaunchProcess({Helper(), "exit " + std::to_string(code), "", false})};
    ASSERT_TRUE(r.p) << GetLastError();
    EXPECT_GT(r.p->Id(), 0u);
    ASSERT_EQ(r.p->Wait(10000), WaitResult::Signaled);
    EXPECT_EQ(r.p->ExitCode(), static_cast<std::uint32_t>(code));
    EXPECT_FALSE(r.p->Terminate()) << "already ended";
  }
}

TEST(Launch, WaitTimesOutAndTerminateSetsTheExitCode) {
  Reaper r{LaunchProcess({Helper(), "sleep 20000", "", false})};
  ASSERT_TRUE(r.p);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(r.p->Wait(100), WaitResult::Timeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
  EXPECT_EQ(r.p->ExitCode(), std::nullopt);
  EXPECT_TRUE(r.p->Terminate(7));
  ASSERT_EQ(r.p->Wait(5000), WaitResult::Signaled);
  EXPECT_EQ(r.p->ExitCode(), 7u);
}

TEST(Launch, FailuresGiveWindowsCodes) {
  Sandbox box;
  const std::string text = box.WriteFile("notes.txt", "not a program");
  const std::string garbage = box.WriteFile("garbage", "\x01\x02\x03 not an executable format");
  ::chmod(garbage.c_str(), 0755);
  box.MakeDir("folder");
  struct Case {
    LaunchRequest request;
    std::uint32_t code;
  } cases[] = {
      {{box.Path("missing"), "", "", false}, ERROR_FILE_NOT_FOUND},
      {{"tarvo-no-such-program-anywhere", "", "", false}, ERROR_FILE_NOT_FOUND},
      {{"", "", "", false}, ERROR_FILE_NOT_FOUND},
      {{box.Path("no-folder/prog"), "", "", false}, ERROR_PATH_NOT_FOUND},
      {{text + "/prog", "", "", false}, ERROR_PATH_NOT_FOUND},
      {{text, "", "", false}, ERROR_ACCESS_DENIED},
      {{box.Path("folder"), "", "", false}, ERROR_ACCESS_DENIED},
      {{garbage, "", "", false}, ERROR_BAD_EXE_FORMAT},
      {{Helper(), "exit 0", box.Path("no-such-folder"), false}, ERROR_DIRECTORY},
      {{Helper(), "exit 0", text, false}, ERROR_DIRECTORY},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    Reaper r{LaunchProcess(c.request)};
    EXPECT_FALSE(r.p) << c.request.program;
    EXPECT_EQ(GetLastError(), c.code) << c.request.program;
  }
}

TEST(Launch, ParametersReachTheProgramSplitByWindowsRules) {
  Sandbox box;
  const std::string out = box.Path("args.bin");
  const std::string parameters = "args \"" + out +
                                 "\" plain \"two words\" \"say \"\"hi\"\"\" \"\" \\\"bare\\\" "
                                 "C:\\dir\\ \"end\\\\\" -updatereg \"Tarvo \"\"x\"\"\"";
  Reaper r{LaunchProcess({Helper(), parameters, "", false})};
  ASSERT_TRUE(r.p);
  ASSERT_EQ(r.p->Wait(10000), WaitResult::Signaled);
  ASSERT_EQ(r.p->ExitCode(), 0u);
  EXPECT_EQ(NulSeparated(ReadFileBytes(out).value_or("")),
            (std::vector<std::string>{"plain", "two words", "say \"hi\"", "", "\"bare\"",
                                      "C:\\dir\\", "end\\", "-updatereg", "Tarvo \"x\""}));
}

TEST(Launch, RunsInTheWorkingFolderAndFindsBareNamesOnPath) {
  Sandbox box;
  const std::string folder = box.MakeDir("work folder");
  // A relative program path means relative to the caller's folder, not to the
  // child's working folder.
  const std::string relative = std::filesystem::relative(Helper()).string();
  ASSERT_NE(relative.front(), '/');
  Reaper r{LaunchProcess({relative, "cwd \"" + box.Path("cwd.txt") + "\"", folder, false})};
  ASSERT_TRUE(r.p) << GetLastError();
  ASSERT_EQ(r.p->Wait(10000), WaitResult::Signaled);
  EXPECT_EQ(ReadFileBytes(box.Path("cwd.txt")), std::filesystem::canonical(folder).string());

  box.SetEnv("PATH",
             box.Path("empty") + ":" + std::filesystem::path(Helper()).parent_path().string());
  Reaper bare{LaunchProcess({"platform_services_helper", "exit 4", "", false})};
  ASSERT_TRUE(bare.p) << GetLastError();
  ASSERT_EQ(bare.p->Wait(10000), WaitResult::Signaled);
  EXPECT_EQ(bare.p->ExitCode(), 4u);
}

// A released Process does not leave a zombie once its program ends.
TEST(Launch, ReleasedProcessIsReapedLater) {
  pid_t pid = 0;
  {
    auto p = LaunchProcess({Helper(), "sleep 100", "", false});
    ASSERT_TRUE(p);
    pid = static_cast<pid_t>(p->Id());
  }
  std::this_thread::sleep_for(400ms);
  Reaper other{LaunchProcess({Helper(), "exit 0", "", false})};  // any launcher call reaps
  ASSERT_TRUE(other.p);
  errno = 0;
  EXPECT_EQ(::kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

class Elevation : public ::testing::Test {
 protected:
  void TearDown() override { SetElevationHook({}); }
  LaunchRequest Request(const std::string& marker) {
    return {Helper(), "args \"" + marker + "\" elevated", box.Root(), true};
  }
  Sandbox box;
};

TEST_F(Elevation, HookDecidesConsent) {
  box.SetEnv("TARVO_ELEVATION_CONSENT", std::nullopt);
  int asked = 0;
  SetElevationHook([&](const LaunchRequest& r) {
    ++asked;
    EXPECT_TRUE(r.elevated);
    return ElevationConsent::Refuse;
  });
  SetLastError(0);
  EXPECT_FALSE(LaunchProcess(Request(box.Path("refused"))));
  EXPECT_EQ(GetLastError(), ERROR_CANCELLED);
  // Nothing was started for a refusal; a plain launch is not asked about.
  Reaper plain{LaunchProcess({Helper(), "exit 0", "", false})};
  ASSERT_TRUE(plain.p);
  EXPECT_EQ(asked, 1);

  SetElevationHook([](const LaunchRequest&) { return ElevationConsent::Grant; });
  Reaper granted{LaunchProcess(Request(box.Path("granted")))};
  ASSERT_TRUE(granted.p);
  ASSERT_EQ(granted.p->Wait(10000), WaitResult::Signaled);
  EXPECT_EQ(NulSeparated(ReadFileBytes(box.Path("granted")).value_or("")),
            std::vector<std::string>{"elevated"});
  EXPECT_FALSE(PathExists(box.Path("refused")));
}

TEST_F(Elevation, ChildProcessesTakeTheAnswerFromTheEnvironment) {
  box.SetEnv("TARVO_ELEVATION_CONSENT", "refuse");
  SetLastError(0);
  EXPECT_FALSE(LaunchProcess(Request(box.Path("x"))));
  EXPECT_EQ(GetLastError(), ERROR_CANCELLED);

  box.SetEnv("TARVO_ELEVATION_CONSENT", "grant");
  box.SetEnv("TARVO_PKEXEC", "");
  Reaper r{LaunchProcess(Request(box.Path("x")))};
  ASSERT_TRUE(r.p);
  EXPECT_EQ(r.p->Wait(10000), WaitResult::Signaled);
}

TEST_F(Elevation, WithoutAHelperItFailsClearly) {
  box.SetEnv("TARVO_ELEVATION_CONSENT", std::nullopt);
  box.SetEnv("TARVO_PKEXEC", "");
  SetLastError(0);
  EXPECT_FALSE(LaunchProcess(Request(box.Path("x"))));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_FALSE(PathExists(box.Path("x")));
}

// The helper gets the program's absolute path and its arguments, and a way
// back into the working folder (pkexec itself starts elsewhere).
TEST_F(Elevation, GoesThroughPkexec) {
  box.SetEnv("TARVO_ELEVATION_CONSENT", std::nullopt);
  const std::string fake = box.WriteFile(
      "bin/pkexec", "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$FAKE_PKEXEC_LOG\"\nexit 126\n");
  ::chmod(fake.c_str(), 0755);
  box.SetEnv("TARVO_PKEXEC", fake);
  box.SetEnv("FAKE_PKEXEC_LOG", box.Path("pkexec.log"));
  Reaper r{LaunchProcess({Helper(), "exit \"0\"", box.Root(), true})};
  ASSERT_TRUE(r.p) << GetLastError();
  ASSERT_EQ(r.p->Wait(10000), WaitResult::Signaled);
  EXPECT_EQ(r.p->ExitCode(), 126u) << "a refusal at the prompt is pkexec's exit code";
  const auto lines = SplitString(ReadFileBytes(box.Path("pkexec.log")).value_or(""), '\n');
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_TRUE(lines[0].ends_with("/env")) << lines[0];
  EXPECT_EQ(lines[1], "--chdir=" + std::filesystem::canonical(box.Root()).string());
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()),
            (std::vector<std::string>{Helper(), "exit", "0", ""}));
}

TEST(RecordingLauncher, RecordsRequestsAndPlaysOutcomes) {
  auto rec = std::make_shared<RecordingLauncher>();
  rec->Push({ERROR_ACCESS_DENIED, 0, true});
  rec->Push({0, 0, false});
  SetLauncher(rec);
  SetLastError(0);
  EXPECT_FALSE(LaunchProcess({"/opt/tarvo/TarvoUpdater", "-elevated", "/opt/tarvo", true}));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  auto hanging = LaunchProcess({"/opt/tarvo/trade", "", "", false});
  ASSERT_TRUE(hanging);
  EXPECT_EQ(hanging->Wait(10), WaitResult::Timeout);
  EXPECT_TRUE(hanging->Terminate(3));
  EXPECT_EQ(hanging->ExitCode(), 3u);
  auto plain = LaunchProcess({"/opt/tarvo/trade", "", "", false});
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->ExitCode(), 0u);
  SetLauncher(nullptr);

  const auto requests = rec->Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].parameters, "-elevated");
  EXPECT_TRUE(requests[0].elevated);
  EXPECT_EQ(requests[1].program, "/opt/tarvo/trade");
}
