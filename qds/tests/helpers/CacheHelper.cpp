// A second (third, fourth...) process using the market-data disk cache, for
// the tests that check what happens between processes.
//
//   stress <folder> <writer> <ops>   mixed writes and reads of shared and own
//                                    keys; exit 0 when every read was whole,
//                                    3 when a read returned a torn payload
//   crash <folder> <seed>            writes and reads for ever (the test kills
//                                    it); exits 3 on a torn read
//   hold <folder> <ms> <ready-file>  takes the cache lock, writes the ready
//                                    file, keeps the lock for ms, releases
//   lock <folder> <result-file>      takes the lock once and writes "ok" or
//                                    "broken" and the milliseconds it waited
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "platform/core/Files.h"
#include "qds/tests/helpers/CachePayload.h"
#include "qds/ttQDSCacheManager.h"

using namespace tarvo;
using namespace tarvo::cachetest;

namespace {

int Mixed(TQDSCacheManager& m, int writer, long ops, std::mt19937& rng) {
  for (long i = 0; ops < 0 || i < ops; ++i) {
    const bool shared = rng() % 2 == 0;
    const std::string key = shared ? "shared-" + std::to_string(rng() % 8)
                                   : "w" + std::to_string(writer) + "-" + std::to_string(rng() % 8);
    if (rng() % 2 == 0) {
      m.WriteEntry(key, MakePayload(key, writer, static_cast<int>(i)), 5);
    } else if (auto data = m.ReadEntry(key)) {
      if (!PayloadValid(key, *data)) {
        std::fprintf(stderr, "torn read of %s\n", key.c_str());
        return 3;
      }
    }
    if (m.IsBroken()) return 4;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string mode = argv[1];
  const std::string folder = argv[2];
  try {
    TQDSCacheManager m(folder, "host.test");
    if (mode == "stress" && argc == 5) {
      std::mt19937 rng(static_cast<unsigned>(std::atoi(argv[3]) * 7919));
      return Mixed(m, std::atoi(argv[3]), std::atol(argv[4]), rng);
    }
    if (mode == "crash" && argc == 4) {
      m.SetSaveDelay(0);  // every write saves the table: the most windows for a kill
      std::mt19937 rng(static_cast<unsigned>(std::atoi(argv[3])));
      return Mixed(m, 1, -1, rng);
    }
    if (mode == "hold" && argc == 5) {
      if (!m.Lock()) return 5;
      platform::WriteFileAtomic(argv[4], "1");
      std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[3])));
      m.Unlock();
      return 0;
    }
    if (mode == "lock" && argc == 4) {
      const auto t0 = std::chrono::steady_clock::now();
      const bool ok = m.Lock();
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - t0)
                          .count();
      if (ok) m.Unlock();
      platform::WriteFileAtomic(
          argv[3],
          std::string(ok ? "ok " : (m.IsBroken() ? "broken " : "failed ")) + std::to_string(ms));
      return 0;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 2;
}
