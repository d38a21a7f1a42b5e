#include "platform/system/KernelObjects.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "platform/core/Errors.h"
#include "platform/core/Files.h"
#include "platform/core/Paths.h"
#include "platform/system/Process.h"
#include "testing/Sandbox.h"

using namespace tarvo::platform;
using tarvo::testing::Sandbox;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// A helper process that runs until the test ends it; the destructor kills it
// if the test has not, so nothing outlives the test.
class Child {
 public:
  explicit Child(const std::string& parameters) {
    fProcess =
        LaunchProcess({ExecutableFolder() + "platform_services_helper", parameters, "", false});
  }
  ~Child() {
    if (fProcess && fProcess->Terminate(9)) fProcess->Wait(5000);
  }
  Process* operator->() const { return fProcess.get(); }
  explicit operator bool() const { return fProcess != nullptr; }

 private:
  std::unique_ptr<Process> fProcess;
};

// Waits up to 10 s for a file that a child creates when it is ready.
std::optional<std::string> AwaitFile(const std::string& path) {
  const auto deadline = Clock::now() + 10s;
  while (Clock::now() < deadline) {
    if (auto bytes = ReadFileBytes(path)) return bytes;
    std::this_thread::sleep_for(5ms);
  }
  return std::nullopt;
}

}  // namespace

// --- named mutex --------------------------------------------------------------------

// The holder is killed with SIGKILL while it owns the mutex: the kernel drops
// its lock, and the next waiter gets the mutex within a second, told that it
// was abandoned. The mutex counts as existing only while a live process holds
// a handle, even though the dead holder's file stays behind.
// Libraries release their mutexes when they unload, which at process exit is
// after the main thread's thread-locals are gone.
TEST(NamedMutex, UsableFromStaticDestructorsAtExit) {
  Sandbox box;
  Child child("mutex-at-exit \"TARVO Exit_Mtx\"");
  ASSERT_TRUE(child) << GetLastError();
  ASSERT_EQ(child->Wait(20000), WaitResult::Signaled);
  EXPECT_EQ(child->ExitCode(), std::optional<std::uint32_t>(0));
}

TEST(NamedMutex, KilledHolderAbandonsItToTheNextWaiter) {
  Sandbox box;
  const std::string name = "TARVO Trade (test)_Mtx";
  EXPECT_FALSE(NamedMutex::Exists(name));

  Child holder("mutex-hold \"" + name + "\" " + box.Path("ready"));
  ASSERT_TRUE(holder) << GetLastError();
  ASSERT_TRUE(AwaitFile(box.Path("ready")));
  EXPECT_TRUE(NamedMutex::Exists(name));

  bool existed = false;
  NamedMutex m = NamedMutex::Create(name, false, &existed);
  ASSERT_TRUE(m.Valid());
  EXPECT_TRUE(existed);
  EXPECT_EQ(m.Wait(50), WaitResult::Timeout);

  ASSERT_TRUE(holder->Terminate(9));
  const auto start = Clock::now();
  EXPECT_EQ(m.Wait(1000), WaitResult::Abandoned);
  EXPECT_LT(Clock::now() - start, 1000ms);
  ASSERT_EQ(holder->Wait(5000), WaitResult::Signaled);

  // Released properly this time: the next owner is not warned.
  EXPECT_TRUE(m.Release());
  EXPECT_EQ(m.Wait(0), WaitResult::Signaled);
  EXPECT_TRUE(m.Release());

  m = NamedMutex();
  EXPECT_FALSE(NamedMutex::Exists(name));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  bool existedAgain = true;
  m = NamedMutex::Create(name, true, &existedAgain);
  EXPECT_FALSE(existedAgain);
  EXPECT_TRUE(m.Release()) << "initially owned";
}

TEST(NamedMutex, RecursiveForItsOwnerExclusiveForOthers) {
  Sandbox box;
  NamedMutex a = NamedMutex::Create("WebClientCache");
  NamedMutex b = NamedMutex::Create("WebClientCache");  // a second handle, same object
  ASSERT_TRUE(a.Valid() && b.Valid());
  ASSERT_EQ(a.Wait(0), WaitResult::Signaled);
  ASSERT_EQ(b.Wait(0), WaitResult::Signaled);  // the same thread, again

  auto tryFromOtherThread = [&](std::uint32_t timeout) {
    WaitResult r = WaitResult::Failed;
    bool released = false;
    std::thread t([&] {
      r = b.Wait(timeout);
      if (r == WaitResult::Signaled) released = b.Release();
    });
    t.join();
    return std::make_pair(r, released);
  };
  EXPECT_EQ(tryFromOtherThread(30).first, WaitResult::Timeout);

  std::thread stranger([&] {
    SetLastError(0);
    EXPECT_FALSE(a.Release());
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
  });
  stranger.join();

  EXPECT_TRUE(a.Release());
  EXPECT_EQ(tryFromOtherThread(30).first, WaitResult::Timeout) << "released once of twice";
  EXPECT_TRUE(b.Release());
  EXPECT_FALSE(a.Release());
  EXPECT_EQ(tryFromOtherThread(1000), std::make_pair(WaitResult::Signaled, true));
}

TEST(NamedMutex, ThreadEndingWhileOwningAbandonsIt) {
  Sandbox box;
  NamedMutex m = NamedMutex::Create("owned-by-a-thread");
  std::thread([&] { ASSERT_EQ(m.Wait(0), WaitResult::Signaled); }).join();
  EXPECT_EQ(m.Wait(1000), WaitResult::Abandoned);
  EXPECT_TRUE(m.Release());
}

TEST(NamedMutex, ManyThreadsTakeTurns) {
  Sandbox box;
  NamedMutex m = NamedMutex::Create("turns");
  int inside = 0, maxInside = 0, total = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(m.Wait(10000), WaitResult::Signaled);
        maxInside = std::max(maxInside, ++inside);
        ++total;
        --inside;
        ASSERT_TRUE(m.Release());
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(maxInside, 1);
  EXPECT_EQ(total, 200);
}

// --- runtime folder -------------------------------------------------------------------

// Locks and shared blocks decide who owns what: a runtime folder that other
// users could write, or that is a link, is refused rather than used.
TEST(RuntimeFolder, UnsafeFolderIsRefused) {
  struct Case {
    const char* what;
    void (*prepare)(const std::string& folder, const Sandbox& box);
  } cases[] = {
      {"world-writable",
       [](const std::string& f, const Sandbox&) {
         std::filesystem::create_directories(f);
         ::chmod(f.c_str(), 0777);
       }},
      {"a link to another folder",
       [](const std::string& f, const Sandbox& box) {
         std::filesystem::create_directories(box.Path("elsewhere"));
         std::filesystem::create_symlink(box.Path("elsewhere"), f);
       }},
  };
  for (const auto& c : cases) {
    Sandbox box;
    c.prepare(RuntimeFolder(), box);
    SetLastError(0);
    EXPECT_FALSE(NamedMutex::Create("m").Valid()) << c.what;
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << c.what;
    EXPECT_FALSE(SharedMemory::Create("s", 16).Valid()) << c.what;
  }
  Sandbox box;
  ASSERT_TRUE(NamedMutex::Create("m").Valid());
  struct stat st {};
  ASSERT_EQ(::stat(RuntimeFolder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u) << "created private to the user";
}

// --- shared memory ---------------------------------------------------------------------

TEST(SharedMemory, WrittenByOneProcessReadByAnother) {
  Sandbox box;
  const std::string name = "TarvoInstancesMap";
  Child writer("shm-write " + name + " 1028 \"hello from the child\" " + box.Path("ready"));
  ASSERT_TRUE(writer);
  ASSERT_EQ(AwaitFile(box.Path("ready")), "new");

  SharedMemory shm = SharedMemory::Create(name, 1028);
  ASSERT_TRUE(shm.Valid()) << GetLastError();
  EXPECT_TRUE(shm.AlreadyExisted());
  EXPECT_EQ(std::string(static_cast<const char*>(shm.Data()), 20), "hello from the child");

  SetLastError(0);
  EXPECT_FALSE(SharedMemory::Create(name, 2048).Valid()) << "larger than the existing block";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  SharedMemory smaller = SharedMemory::Create(name, 4);
  ASSERT_TRUE(smaller.Valid());
  EXPECT_EQ(std::memcmp(smaller.Data(), "hell", 4), 0);

  // Once nobody holds the block it is gone, even though its file stays: the
  // next creator starts from zeros.
  ASSERT_TRUE(writer->Terminate(9));
  ASSERT_EQ(writer->Wait(5000), WaitResult::Signaled);
  shm.Close();
  smaller.Close();
  SharedMemory fresh = SharedMemory::Create(name, 1028);
  ASSERT_TRUE(fresh.Valid());
  EXPECT_FALSE(fresh.AlreadyExisted());
  const auto* bytes = static_cast<const unsigned char*>(fresh.Data());
  EXPECT_TRUE(std::all_of(bytes, bytes + 1028, [](unsigned char c) { return c == 0; }));
}

TEST(SharedMemory, InvalidRequests) {
  Sandbox box;
  SetLastError(0);
  EXPECT_FALSE(SharedMemory::Create("zero", 0).Valid());
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(SharedMemory::Create("", 8).Valid());
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  EXPECT_FALSE(SharedMemory::Create(std::string(300, 'n'), 8).Valid());
  // Separators and dots are only characters of the name.
  SharedMemory odd = SharedMemory::Create("Local\\../a/b", 8);
  ASSERT_TRUE(odd.Valid());
  EXPECT_FALSE(std::filesystem::exists(RuntimeFolder() + "/../a"));
  EXPECT_FALSE(std::filesystem::exists(RuntimeFolder() + "/a"));
}

// --- events ----------------------------------------------------------------------------

TEST(Event, AutoResetReleasesOneWaiterPerSet) {
  Event e(false);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      if (e.Wait(10000) == WaitResult::Signaled) ++woken;
    });
  e.Set();
  auto waitFor = [&](int n) {
    const auto deadline = Clock::now() + 5s;
    while (woken < n && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
  };
  waitFor(1);
  std::this_thread::sleep_for(50ms);  // room for a wrong second wake-up
  EXPECT_EQ(woken, 1);
  EXPECT_FALSE(e.TryWait()) << "the signal was taken by the waiter";
  // Setting a set event changes nothing, so release the other two one by one.
  e.Set();
  waitFor(2);
  e.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken, 3);
  EXPECT_EQ(e.Wait(0), WaitResult::Timeout);
}

TEST(Event, ManualResetStaysSignalledUntilReset) {
  Event e(true, true);
  EXPECT_EQ(e.Wait(0), WaitResult::Signaled);
  std::vector<std::thread> waiters;
  std::atomic<int> woken{0};
  e.Reset();
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      if (e.Wait(10000) == WaitResult::Signaled) ++woken;
    });
  e.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken, 3);
  EXPECT_TRUE(e.TryWait());
  e.Reset();
  const auto start = Clock::now();
  EXPECT_EQ(e.Wait(30), WaitResult::Timeout);
  EXPECT_GE(Clock::now() - start, 30ms);
}

TEST(Event, WaitAnyLowestIndexWinsAndOnlyItIsTaken) {
  Event stop(false), wake(false), manual(true);
  Event* list[] = {&stop, &wake, &manual};
  wake.Set();
  stop.Set();
  manual.Set();
  EXPECT_EQ(Event::WaitAny(list, 0), 0);
  EXPECT_EQ(Event::WaitAny(list, 0), 1);
  EXPECT_EQ(Event::WaitAny(list, 0), 2);
  EXPECT_EQ(Event::WaitAny(list, 0), 2) << "manual reset stays set";
  manual.Reset();
  EXPECT_EQ(Event::WaitAny(list, 20), -1);

  std::thread setter([&] {
    std::this_thread::sleep_for(20ms);
    wake.Set();
  });
  EXPECT_EQ(Event::WaitAny(list, 10000), 1);
  setter.join();

  SetLastError(0);
  Event* bad[] = {&stop, nullptr};
  EXPECT_EQ(Event::WaitAny(bad, 0), -1);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(ThreadName, NamesTheCallingThreadAndCutsAtTheSystemLimit) {
  struct Case {
    std::string name;
    std::string kept;
  } cases[] = {
      {"qds-long-task", "qds-long-task"},
      {"qds-downloader (TWorker)", "qds-downloader "},
      // 14 ASCII bytes and a two-byte letter: the letter would be cut in two.
      {"abcdefghijklmn\xD0\x96x", "abcdefghijklmn"},
  };
  for (const Case& c : cases) {
    std::string seen;
    std::thread([&] {
      SetCurrentThreadName(c.name);
      seen = CurrentThreadName();
    }).join();
    EXPECT_EQ(seen, c.kept) << c.name;
  }
}
