// A child process for the updater's end-to-end tests: plays the running
// terminal by holding its named mutex.
//
//   mutex-hold <name> <ready-file> <ms>   owns the mutex, creates ready-file,
//                                         holds it for ms (at most 30 s), then
//                                         releases it and ends with 0
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "platform/core/Files.h"
#include "platform/system/KernelObjects.h"

using namespace tarvo::platform;

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "mutex-hold") {
    NamedMutex m = NamedMutex::Create(argv[2]);
    if (!m.Valid() || m.Wait(5000) == WaitResult::Timeout) return 102;
    if (!WriteFileAtomic(argv[3], "held")) return 103;
    const long ms = std::clamp(std::atol(argv[4]), 0L, 30000L);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    m.Release();
    return 0;
  }
  return 100;
}
