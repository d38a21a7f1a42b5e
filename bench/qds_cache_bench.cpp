// The market-data disk cache: writing and reading 16 KiB and 1 MiB entries
// through the cache (named mutex, deflate, checksum, atomic rename) against
// compress2/uncompress plus a plain file write and read of the same bytes, in
// the same run; and loading and saving a table of contents of 10,000 entries.
//
// Run: build/default/bin/qds_cache_bench
// Targets: a 16 KiB hit within 50 us median and at most 1.3x the plain path;
// the 10,000-entry table loads and saves in under 50 ms each.
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "bench/RatioReporter.h"
#include "platform/system/ProcessInfo.h"
#include "qds/ttQDSCacheManager.h"

namespace {

namespace fs = std::filesystem;
using tarvo::TQDSCacheManager;

// Text like a market-data answer: compresses about as well as the real ones.
std::string Payload(std::size_t size) {
  std::string s;
  s.reserve(size + 64);
  for (unsigned i = 0; s.size() < size; ++i)
    s += "[\"TQBR\",\"SEC" + std::to_string(i % 997) + "\"," + std::to_string(i * 7919 % 100000) +
         ".25," + std::to_string(i) + "],\n";
  s.resize(size);
  return s;
}

// One sandbox folder for the whole run, removed at exit.
struct Folder {
  fs::path root = fs::temp_directory_path() /
                  ("tarvo-cache-bench-" + std::to_string(tarvo::platform::CurrentProcessId()));
  Folder() {
    fs::create_directories(root / "cache");
    ::setenv("TARVO_PLATFORM_ROOT", root.c_str(), 1);
  }
  ~Folder() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
};

Folder& Sandbox() {
  static Folder f;
  return f;
}

std::unique_ptr<TQDSCacheManager> NewManager(const std::string& sub) {
  fs::create_directories(Sandbox().root / sub);
  auto m = std::make_unique<TQDSCacheManager>((Sandbox().root / sub).string(), "bench.host");
  m->SetSaveDelay(3600 * 1000);  // keep table saves out of the entry timings
  m->LoadTOC(true);
  return m;
}

void BM_CacheWrite(benchmark::State& state) {
  const std::string data = Payload(static_cast<std::size_t>(state.range(0)));
  auto cache = NewManager("write" + std::to_string(state.range(0)));
  for (auto _ : state) {
    if (!cache->WriteEntry("key", data, 7)) state.SkipWithError("write failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_CacheWrite)->Arg(16 << 10)->Arg(1 << 20)->UseRealTime();

void BM_CacheRead(benchmark::State& state) {
  const std::string data = Payload(static_cast<std::size_t>(state.range(0)));
  auto cache = NewManager("read" + std::to_string(state.range(0)));
  cache->WriteEntry("key", data, 7);
  for (auto _ : state) {
    auto hit = cache->ReadEntry("key");
    if (!hit || hit->size() != data.size()) state.SkipWithError("miss");
    benchmark::DoNotOptimize(hit);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_CacheRead)->Arg(16 << 10)->Arg(1 << 20)->UseRealTime();

// The reference: deflate and write a file, read it and inflate.
void BM_PlainWrite(benchmark::State& state) {
  const std::string data = Payload(static_cast<std::size_t>(state.range(0)));
  const fs::path file = Sandbox().root / ("plain-w" + std::to_string(state.range(0)));
  std::string packed(compressBound(data.size()), '\0');
  for (auto _ : state) {
    uLongf size = packed.size();
    compress2(reinterpret_cast<Bytef*>(packed.data()), &size,
              reinterpret_cast<const Bytef*>(data.data()), data.size(), Z_DEFAULT_COMPRESSION);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(packed.data(), static_cast<std::streamsize>(size));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_PlainWrite)->Arg(16 << 10)->Arg(1 << 20)->UseRealTime();

void BM_PlainRead(benchmark::State& state) {
  const std::string data = Payload(static_cast<std::size_t>(state.range(0)));
  const fs::path file = Sandbox().root / ("plain-r" + std::to_string(state.range(0)));
  {
    std::string packed(compressBound(data.size()), '\0');
    uLongf size = packed.size();
    compress2(reinterpret_cast<Bytef*>(packed.data()), &size,
              reinterpret_cast<const Bytef*>(data.data()), data.size(), Z_DEFAULT_COMPRESSION);
    std::ofstream(file, std::ios::binary).write(packed.data(), static_cast<std::streamsize>(size));
  }
  for (auto _ : state) {
    std::ifstream in(file, std::ios::binary);
    const std::string packed((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
    std::string out(data.size(), '\0');
    uLongf size = out.size();
    uncompress(reinterpret_cast<Bytef*>(out.data()), &size,
               reinterpret_cast<const Bytef*>(packed.data()), packed.size());
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_PlainRead)->Arg(16 << 10)->Arg(1 << 20)->UseRealTime();

// A table of contents of 10,000 entries, saved and loaded afresh.
TQDSCacheManager& BigTable() {
  static std::unique_ptr<TQDSCacheManager> cache = [] {
    auto m = NewManager("toc");
    for (int i = 0; i < 10000; ++i)
      m->WriteEntry("security/description/" + std::to_string(i), "x", 7);
    m->SaveTOC();
    return m;
  }();
  return *cache;
}

void BM_TableSave10k(benchmark::State& state) {
  auto& cache = BigTable();
  for (auto _ : state) {
    cache.WriteEntry("security/description/0", "y", 7);  // something to save
    if (!cache.SaveTOC()) state.SkipWithError("save failed");
  }
}
BENCHMARK(BM_TableSave10k)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TableLoad10k(benchmark::State& state) {
  auto& cache = BigTable();
  for (auto _ : state) {
    cache.LoadTOC(true);
    if (cache.EntryCount() < 10000) state.SkipWithError("table incomplete");
  }
}
BENCHMARK(BM_TableLoad10k)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  Sandbox();
  return tarvo::bench::RunWithRatios(
      argc, argv,
      {{"BM_CacheWrite/16384/real_time", "BM_PlainWrite/16384/real_time"},
       {"BM_CacheRead/16384/real_time", "BM_PlainRead/16384/real_time"},
       {"BM_CacheWrite/1048576/real_time", "BM_PlainWrite/1048576/real_time"},
       {"BM_CacheRead/1048576/real_time", "BM_PlainRead/1048576/real_time"}});
}
