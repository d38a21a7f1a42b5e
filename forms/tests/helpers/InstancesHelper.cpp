// A copy of an application for the instance registry tests. It marks itself,
// reports, and then obeys commands that the test writes to a file, pumping
// its UI-thread queue meanwhile (that is where the wake-up message arrives).
// It ends by itself after 60 s, so a test that dies cannot leave it behind.
//
//   member <ID> <dir> [<stderr-file>]
//
// Files in <dir>, each written whole (temporary file + rename), named by the
// copy's process id <pid>:
//   <pid>.ready    "<count> <index> <ms>" once SetInstanceID returned, with
//                  the milliseconds SetInstanceID took
//   <pid>.error    the exception text, when SetInstanceID failed (exit 2)
//   <pid>.woken    appears when another copy woke this one
//   <pid>.cmd      written by the test, removed when taken:
//                    state   answer <pid>.state "<count> <index> <first>"
//                    switch  call SwitchToFirst, answer <pid>.switched "1"/"0"
//                    hold    take the registry mutex, answer <pid>.holding,
//                            and keep it (the test kills the copy)
//                    exit    return from main, which unloads the registry
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "forms/Instances.h"
#include "platform/core/Files.h"
#include "platform/system/KernelObjects.h"
#include "platform/system/MessageQueue.h"
#include "platform/system/ProcessInfo.h"

using namespace tarvo;
using namespace tarvo::platform;

int main(int argc, char** argv) {
  if (argc < 4 || std::string(argv[1]) != "member") return 100;
  const std::string id = argv[2];
  const std::string dir = argv[3];
  if (argc >= 5 && !std::freopen(argv[4], "w", stderr)) return 101;

  const std::string me = dir + "/" + std::to_string(CurrentProcessId());
  MessageQueue& queue = MessageQueue::UI();
  TInstances::SetActivateHandler([&] { WriteFileAtomic(me + ".woken", "woken"); });

  const auto start = std::chrono::steady_clock::now();
  try {
    TInstances::SetInstanceID(id);
  } catch (const std::exception& e) {
    WriteFileAtomic(me + ".error", e.what());
    return 2;
  }
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  TInstances& self = *TInstances::Current();
  WriteFileAtomic(me + ".ready", std::to_string(self.GetCount()) + " " +
                                     std::to_string(self.GetIndex()) + " " +
                                     std::to_string(ms.count()));

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    queue.PumpUntil([&] { return FileExists(me + ".cmd"); }, 20);
    const auto cmd = ReadFileBytes(me + ".cmd");
    if (!cmd) continue;
    DeleteFile(me + ".cmd");
    if (*cmd == "state") {
      WriteFileAtomic(me + ".state", std::to_string(self.GetCount()) + " " +
                                         std::to_string(self.GetIndex()) + " " +
                                         std::to_string(self.GetFirst()));
    } else if (*cmd == "switch") {
      WriteFileAtomic(me + ".switched", TInstances::SwitchToFirst() ? "1" : "0");
    } else if (*cmd == "hold") {
      NamedMutex mutex = NamedMutex::Create(id + "_Mtx");
      if (!mutex.Valid() || mutex.Wait(5000) == WaitResult::Timeout) return 102;
      WriteFileAtomic(me + ".holding", "holding");
      std::this_thread::sleep_for(std::chrono::seconds(30));
      return 103;
    } else if (*cmd == "exit") {
      return 0;
    }
  }
  return 3;
}
