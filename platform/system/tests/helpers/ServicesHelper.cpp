// A child process for the platform services tests. Every mode ends by itself
// within a bounded time, so a test that dies cannot leave it running for long.
//
//   exit <code>                        ends with that exit code
//   sleep <ms>                         sleeps, then ends with 0
//   args <file>                        writes its arguments (after "args <file>")
//                                      to file, each followed by a NUL byte
//   cwd <file>                         writes its working folder to file
//   mutex-hold <name> <ready-file>     owns the named mutex, creates ready-file,
//                                      then sleeps up to 30 s holding it
//   registry-write <key> <prefix> <n>  writes n values "<prefix><i>" = "v<i>" to
//                                      the HKCU key, each a separate write
//   shm-write <name> <size> <text> <ready-file>
//                                      creates the block, writes text at its
//                                      start, creates ready-file with "existed"
//                                      or "new", then sleeps up to 30 s
//   mutex-at-exit <name>               owns and releases the named mutex in main
//                                      and again in a static destructor at exit
//                                      (after the thread's locals are gone)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include <unistd.h>

#include "platform/system/KernelObjects.h"
#include "platform/system/Registry.h"

using namespace tarvo::platform;

namespace {

void WriteFile(const std::string& path, const std::string& bytes) {
  const std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary);
    out << bytes;
  }
  std::rename(tmp.c_str(), path.c_str());  // the reader sees it whole or not at all
}

void SleepUpTo30s() {
  std::this_thread::sleep_for(std::chrono::seconds(30));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 100;
  const std::string mode = argv[1];
  if (mode == "exit" && argc == 3) return std::atoi(argv[2]);
  if (mode == "sleep" && argc == 3) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[2])));
    return 0;
  }
  if (mode == "args" && argc >= 3) {
    std::string out;
    for (int i = 3; i < argc; ++i) {
      out += argv[i];
      out += '\0';
    }
    WriteFile(argv[2], out);
    return 0;
  }
  if (mode == "cwd" && argc == 3) {
    char buf[4096];
    if (!::getcwd(buf, sizeof buf)) return 101;
    WriteFile(argv[2], buf);
    return 0;
  }
  if (mode == "mutex-at-exit" && argc == 3) {
    struct AtExit {
      std::string name;
      ~AtExit() {
        NamedMutex m = NamedMutex::Create(name);
        if (!m.Valid() || m.Wait(5000) == WaitResult::Timeout || !m.Release()) std::_Exit(105);
      }
    };
    static AtExit atExit{argv[2]};
    NamedMutex m = NamedMutex::Create(argv[2]);
    if (!m.Valid() || m.Wait(5000) == WaitResult::Timeout || !m.Release()) return 102;
    return 0;
  }
  if (mode == "mutex-hold" && argc == 4) {
    NamedMutex m = NamedMutex::Create(argv[2]);
    if (!m.Valid() || m.Wait(5000) == WaitResult::Timeout) return 102;
    WriteFile(argv[3], "held");
    SleepUpTo30s();
    return 0;
  }
  if (mode == "registry-write" && argc == 5) {
    auto key = RegistryKey::Create(RegRoot::CurrentUser, argv[2]);
    if (!key) return 103;
    const int n = std::atoi(argv[4]);
    try {
      for (int i = 0; i < n; ++i)
        key->WriteString(std::string(argv[3]) + std::to_string(i), "v" + std::to_string(i));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "registry-write: %s\n", e.what());
      return 104;
    }
    return 0;
  }
  if (mode == "shm-write" && argc == 6) {
    SharedMemory shm = SharedMemory::Create(argv[2], std::strtoul(argv[3], nullptr, 10));
    const std::string text = argv[4];
    if (!shm.Valid() || text.size() > shm.Size()) return 105;
    std::memcpy(shm.Data(), text.data(), text.size());
    WriteFile(argv[5], shm.AlreadyExisted() ? "existed" : "new");
    SleepUpTo30s();
    return 0;
  }
  return 100;
}
