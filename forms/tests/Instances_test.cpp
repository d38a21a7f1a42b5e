#include "forms/Instances.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/core/Errors.h"
#include "platform/core/Files.h"
#include "platform/system/KernelObjects.h"
#include "platform/system/LocalSocket.h"
#include "platform/system/MessageQueue.h"
#include "platform/system/Process.h"
#include "platform/system/ProcessInfo.h"
#include "testing/Sandbox.h"

using namespace tarvo;
using namespace tarvo::platform;
using tarvo::testing::Sandbox;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

const std::string kID = "Tarvo Trade (test)";

// Waits up to timeout for a file that a child writes when it is ready.
std::optional<std::string> AwaitFile(const std::string& path,
                                     std::chrono::milliseconds timeout = 20s) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    if (auto bytes = ReadFileBytes(path)) return bytes;
    std::this_thread::sleep_for(5ms);
  }
  return std::nullopt;
}

std::vector<long long> Numbers(const std::string& text) {
  std::istringstream in(text);
  std::vector<long long> out;
  for (long long n; in >> n;) out.push_back(n);
  return out;
}

// One copy of the application: the helper program in a child process, killed
// when the object ends unless it ended before.
class Copy {
 public:
  Copy(const std::string& dir, const std::string& stderrFile = "") : fDir(dir) {
    std::string parameters = "member " + QuoteArgument(kID) + " " + QuoteArgument(dir);
    if (!stderrFile.empty()) parameters += " " + QuoteArgument(stderrFile);
    fProcess =
        LaunchProcess({ExecutableFolder() + "forms_instances_helper", parameters, "", false});
  }
  ~Copy() {
    if (fProcess && fProcess->Terminate(9)) fProcess->Wait(5000);
  }
  explicit operator bool() const { return fProcess != nullptr; }
  Process* operator->() const { return fProcess.get(); }
  std::uint32_t Pid() const { return fProcess->Id(); }
  std::string File(const std::string& suffix) const {
    return fDir + "/" + std::to_string(Pid()) + suffix;
  }

  // "<count> <index> <ms>" once the copy has marked itself.
  std::vector<long long> Ready() const {
    const auto text = AwaitFile(File(".ready"), 60s);
    return text ? Numbers(*text) : std::vector<long long>{};
  }
  // Sends a command and waits for the file that answers it.
  std::optional<std::string> Ask(const std::string& command, const std::string& answer) const {
    DeleteFile(File(answer));
    if (!WriteFileAtomic(File(".cmd"), command)) return std::nullopt;
    return AwaitFile(File(answer));
  }
  // {count, index, first other copy}
  std::vector<long long> State() const {
    const auto text = Ask("state", ".state");
    return text ? Numbers(*text) : std::vector<long long>{};
  }

 private:
  std::string fDir;
  std::unique_ptr<Process> fProcess;
};

// The process ids listed in the shared block, read under the registry mutex
// as a copy would (the count clamped, as the block is untrusted).
std::vector<std::uint32_t> Listed() {
  NamedMutex mutex = NamedMutex::Create(kID + "_Mtx");
  EXPECT_TRUE(mutex.Valid());
  EXPECT_NE(mutex.Wait(5000), WaitResult::Timeout);
  SharedMemory block = SharedMemory::Create(kID + "Map", sizeof(TInstanceInfos));
  std::vector<std::uint32_t> out;
  if (block.Valid()) {
    const auto* infos = static_cast<const TInstanceInfos*>(block.Data());
    const int count = std::clamp(infos->Count, 0, kMaxInstances);
    for (int i = 0; i < count; ++i) out.push_back(infos->Infos[i].ProcessID);
  }
  mutex.Release();
  return out;
}

// Writes the shared block as a damaged or foreign writer might; the returned
// mapping keeps it alive.
SharedMemory WriteBlock(std::int32_t count, const std::vector<std::uint32_t>& pids) {
  SharedMemory block = SharedMemory::Create(kID + "Map", sizeof(TInstanceInfos));
  EXPECT_TRUE(block.Valid());
  auto* infos = static_cast<TInstanceInfos*>(block.Data());
  std::memset(infos, 0, sizeof *infos);
  infos->Count = count;
  for (std::size_t i = 0; i < pids.size() && i < kMaxInstances; ++i)
    infos->Infos[i].ProcessID = pids[i];
  return block;
}

// Undoes SetInstanceID when the test ends, whatever it did.
struct Unmark {
  ~Unmark() { TInstances::ReleaseInstance(); }
};

}  // namespace

// --- one process ------------------------------------------------------------------------

TEST(Instances, MarkingRulesAndListIndexErrors) {
  Sandbox box;
  Unmark unmark;
  auto expectError = [](auto call, const std::string& text) {
    try {
      call();
      ADD_FAILURE() << "no error, expected: " << text;
    } catch (const EInstancesError& e) {
      EXPECT_EQ(std::string(e.what()), text);
    }
  };
  EXPECT_EQ(TInstances::ProcessCount(), 0);
  EXPECT_FALSE(TInstances::SwitchToFirst());
  expectError([] { TInstances::GetProcessID(0); }, "List index out of bounds (0)");
  expectError([] { TInstances::SetInstanceID(""); }, "ID cannot be empty");
  EXPECT_EQ(TInstances::Current(), nullptr);

  TInstances::SetInstanceID(kID);
  TInstances::SetInstanceID(kID);  // the same ID again: still listed once
  expectError([] { TInstances::SetInstanceID("Other"); },
              "Application instance is already marked unique");
  expectError([] { TInstances::SetInstanceID(""); },
              "Application instance is already marked unique");

  EXPECT_EQ(TInstances::ProcessCount(), 1);
  EXPECT_EQ(Listed(), std::vector<std::uint32_t>{CurrentProcessId()});
  EXPECT_EQ(TInstances::GetProcessID(0), CurrentProcessId());
  expectError([] { TInstances::GetProcessID(1); }, "List index out of bounds (1)");
  expectError([] { TInstances::GetProcessID(-1); }, "List index out of bounds (-1)");
  TInstances& self = *TInstances::Current();
  EXPECT_EQ(self.Index(), 0);
  EXPECT_EQ(self.GetFirst(), 0u);
  EXPECT_FALSE(TInstances::SwitchToFirst());  // nobody else to wake
  EXPECT_GE(TInstances::Message(), 0xC000u);

  TInstances::ReleaseInstance();
  EXPECT_EQ(TInstances::ProcessCount(), 0);
  EXPECT_TRUE(Listed().empty());
}

// The wake-up message travels over the copy's endpoint to the UI-thread queue,
// and only that message reaches the application's activation handler.
TEST(Instances, WakeUpMessageReachesTheActivationHandlerOnTheUIThread) {
  Sandbox box;
  Unmark unmark;
  MessageQueue& queue = MessageQueue::UI();
  queue.BindToCurrentThread();
  int activations = 0;
  std::thread::id where;
  TInstances::SetActivateHandler([&] {
    ++activations;
    where = std::this_thread::get_id();
  });
  TInstances::SetInstanceID(kID);
  TInstances& self = *TInstances::Current();
  EXPECT_FALSE(self.AppHook(WM_USER));
  EXPECT_FALSE(self.AppHook(TInstances::Message() + 1));
  EXPECT_EQ(activations, 0);

  const std::string endpoint = kID + "_Msg." + std::to_string(CurrentProcessId());
  EXPECT_TRUE(LocalSendMessage(endpoint, "something else"));
  EXPECT_TRUE(LocalSendMessage(endpoint, kID + "_Msg"));
  EXPECT_TRUE(queue.PumpUntil([&] { return activations > 0; }, 10000));
  queue.ProcessMessages();
  EXPECT_EQ(activations, 1);
  EXPECT_EQ(where, std::this_thread::get_id());
  TInstances::SetActivateHandler(nullptr);
}

// A count that is negative or beyond the list, in the block or written while
// listed, is clamped by every reader and by the removal: no read or write
// outside the block.
TEST(Instances, CorruptCountIsClamped) {
  for (const std::int32_t bad : {-1, INT_MIN, kMaxInstances + 1, INT_MAX}) {
    SCOPED_TRACE(bad);
    Sandbox box;
    SharedMemory block = WriteBlock(bad, {});
    auto* infos = static_cast<TInstanceInfos*>(block.Data());
    {
      TInstances registry(kID);
      EXPECT_EQ(registry.GetCount(), 1);
      EXPECT_EQ(registry.GetIndex(), 0);
      infos->Count = bad;
      const int count = registry.GetCount();
      EXPECT_GE(count, 0);
      EXPECT_LE(count, kMaxInstances);
      EXPECT_THROW(registry.GetItems(kMaxInstances), EInstancesListError);
    }
    // The removal touched nothing outside the block, and it still works.
    TInstances again(kID);
    EXPECT_EQ(again.GetCount(), 1);
    EXPECT_EQ(again.GetIndex(), 0);
  }
}

// Registration keeps exactly the live copies, in order: a dead process, an id
// that now names a later process (its start time differs), repeated entries
// and zeros go; live entries, with or without a recorded start time, stay.
TEST(Instances, RegistrationDropsDeadReusedAndRepeatedEntries) {
  Sandbox box;
  auto live1 = LaunchProcess({"sleep", "30", "", false});
  auto live2 = LaunchProcess({"sleep", "30", "", false});
  auto dead = LaunchProcess({"sleep", "0", "", false});
  ASSERT_TRUE(live1 && live2 && dead);
  ASSERT_EQ(dead->Wait(10000), WaitResult::Signaled);
  const auto reusedPid = live2->Id();  // listed with a start time that is not its own
  SharedMemory block =
      WriteBlock(6, {live1->Id(), dead->Id(), reusedPid, 0, live1->Id(), CurrentProcessId()});
  SharedMemory starts = SharedMemory::Create(kID + "Map.Start", sizeof(TInstanceStarts));
  ASSERT_TRUE(starts.Valid());
  auto* slots = static_cast<TInstanceStarts*>(starts.Data());
  slots->Slots[7] = {live1->Id(), 0, *ProcessStartTime(live1->Id())};
  slots->Slots[9] = {reusedPid, 0, *ProcessStartTime(reusedPid) - 1};
  // Our own id with a start time of an earlier process that had it.
  slots->Slots[11] = {CurrentProcessId(), 0, *ProcessStartTime(CurrentProcessId()) + 1};
  {
    TInstances registry(kID);
    EXPECT_EQ(Listed(), (std::vector<std::uint32_t>{live1->Id(), CurrentProcessId()}));
    EXPECT_EQ(registry.GetIndex(), 1);
    EXPECT_EQ(registry.GetFirst(), live1->Id());
  }
  EXPECT_EQ(Listed(), std::vector<std::uint32_t>{live1->Id()});
  live1->Terminate(9);
  live2->Terminate(9);
  live1->Wait(5000);
  live2->Wait(5000);
}

// --- real copies in processes ---------------------------------------------------------------

// Three copies list themselves in order; when the second ends, the third moves
// down to index 1, and its SwitchToFirst wakes the first copy (and no other).
TEST(InstancesProcesses, ThreeCopiesRegisterLeaveAndWakeTheFirst) {
  Sandbox box;
  const std::string dir = box.MakeDir("copies");
  Copy a(dir);
  ASSERT_TRUE(a) << GetLastError();
  EXPECT_EQ(a.Ready(), (std::vector<long long>{1, 0, a.Ready().at(2)}));
  EXPECT_EQ(a.Ask("switch", ".switched"), "0");  // alone: nothing to wake
  Copy b(dir);
  ASSERT_TRUE(b);
  ASSERT_EQ(b.Ready().size(), 3u);
  EXPECT_EQ(b.Ready()[0], 2);
  EXPECT_EQ(b.Ready()[1], 1);
  Copy c(dir);
  ASSERT_TRUE(c);
  ASSERT_EQ(c.Ready().size(), 3u);
  EXPECT_EQ(c.Ready()[0], 3);
  EXPECT_EQ(c.Ready()[1], 2);
  EXPECT_EQ(Listed(), (std::vector<std::uint32_t>{a.Pid(), b.Pid(), c.Pid()}));

  ASSERT_TRUE(WriteFileAtomic(b.File(".cmd"), "exit"));
  ASSERT_EQ(b->Wait(20000), WaitResult::Signaled);
  EXPECT_EQ(b->ExitCode(), 0u);
  EXPECT_EQ(c.State(), (std::vector<long long>{2, 1, a.Pid()}));
  EXPECT_EQ(Listed(), (std::vector<std::uint32_t>{a.Pid(), c.Pid()}));

  EXPECT_EQ(c.Ask("switch", ".switched"), "1");
  EXPECT_TRUE(AwaitFile(a.File(".woken")));
  EXPECT_FALSE(FileExists(c.File(".woken")));
  EXPECT_FALSE(FileExists(b.File(".woken")));
}

// With 256 live copies listed, the next one leaves at once with exit code 0,
// says why on standard error, leaves the list as it was and the mutex free.
TEST(InstancesProcesses, CopyBeyondTheLimitIsTurnedAway) {
  Sandbox box;
  const std::string dir = box.MakeDir("copies");
  std::vector<std::unique_ptr<Process>> fillers;
  std::vector<std::uint32_t> pids;
  for (int i = 0; i < kMaxInstances; ++i) {
    auto p = LaunchProcess({"sleep", "60", "", false});
    ASSERT_TRUE(p) << GetLastError();
    pids.push_back(p->Id());
    fillers.push_back(std::move(p));
  }
  SharedMemory block = WriteBlock(kMaxInstances, pids);
  const std::string before(static_cast<const char*>(block.Data()), sizeof(TInstanceInfos));
  {
    Copy extra(dir, box.Path("extra.err"));
    ASSERT_TRUE(extra);
    ASSERT_EQ(extra->Wait(30000), WaitResult::Signaled);
    EXPECT_EQ(extra->ExitCode(), 0u);
    EXPECT_FALSE(FileExists(extra.File(".ready")));
    EXPECT_EQ(ReadFileBytes(box.Path("extra.err")), "Cannot launch more than 256 instances\n");
  }
  EXPECT_EQ(std::string(static_cast<const char*>(block.Data()), sizeof(TInstanceInfos)), before);
  NamedMutex mutex = NamedMutex::Create(kID + "_Mtx");
  EXPECT_EQ(mutex.Wait(0), WaitResult::Signaled);  // not abandoned: it was given back
  mutex.Release();
  for (auto& p : fillers) p->Terminate(9);
  for (auto& p : fillers) p->Wait(5000);
}

// A copy is killed while it holds the registry mutex; then fifty copies start
// at once. None waits long for the mutex, and the list ends up holding exactly
// the live copies: the dead one is gone, nobody is listed twice.
TEST(InstancesProcesses, KilledHolderThenFiftyCopiesAtOnce) {
  Sandbox box;
  const std::string dir = box.MakeDir("copies");
  Copy first(dir);
  Copy holder(dir);
  ASSERT_TRUE(first && holder);
  ASSERT_EQ(first.Ready().size(), 3u);
  ASSERT_EQ(holder.Ready().size(), 3u);
  ASSERT_TRUE(holder.Ask("hold", ".holding"));
  ASSERT_TRUE(holder->Terminate(9));
  ASSERT_EQ(holder->Wait(5000), WaitResult::Signaled);

  std::vector<std::unique_ptr<Copy>> copies;
  for (int i = 0; i < 50; ++i) {
    copies.push_back(std::make_unique<Copy>(dir));
    ASSERT_TRUE(*copies.back()) << GetLastError();
  }
  std::set<std::uint32_t> expected{first.Pid()};
  for (const auto& c : copies) {
    const auto ready = c->Ready();
    ASSERT_EQ(ready.size(), 3u) << "copy " << c->Pid() << " did not mark itself";
    // A mutex left by the dead holder would never be given: its wait would not
    // end. Fifty copies queue for the live ones, which takes time on a loaded
    // machine (and under the sanitizers), but nothing like a time-out.
    EXPECT_LE(ready[2], 10000) << "copy " << c->Pid() << " waited " << ready[2] << " ms";
    expected.insert(c->Pid());
  }
  const auto listed = Listed();
  EXPECT_EQ(listed.size(), 51u);
  EXPECT_EQ(std::set<std::uint32_t>(listed.begin(), listed.end()), expected);
  ASSERT_FALSE(listed.empty());
  EXPECT_EQ(listed.front(), first.Pid());
}
