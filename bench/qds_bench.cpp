// Loading a large market-data answer into a document and a row table, against
// a bare RapidJSON parse of the same bytes measured in the same run.
//
// The answer: 300,000 rows of 15 columns (about 50 MB), with every column
// type the service uses. Ratios printed at the end:
//   Document          / BareParse  - our checked, depth-limited parse
//   DocumentAndChunk  / BareParse  - target: at most 2
//   Chunk300k         / Chunk150k  - the row table alone, at twice the rows
//   ChunkDistinct300k / ChunkDistinct150k
//                                  - the same with a distinct name in every
//                                    row, so that one string pool grows with
//                                    the rows: linear growth keeps both near 2
//
// Each benchmark runs five times and the ratios use the fastest run of each:
// the least disturbed by whatever else the machine is doing.
//
// glibc hands blocks above its mmap threshold back to the kernel when they are
// freed, so an iteration that builds a large table may pay for the kernel
// zeroing fresh pages while a smaller one reuses the heap. That makes the
// distinct-name pair look worse than the pool is; to see the pool alone, run
// with the allocator keeping its memory, as a long-running terminal's heap does:
//   GLIBC_TUNABLES=glibc.malloc.mmap_threshold=4294967295:glibc.malloc.trim_threshold=4294967295
//
// Run: build/default/bin/qds_bench
#include <rapidjson/document.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "qds/ttQDSData.h"

namespace {

using namespace tarvo;

const char* const kMeta = R"("metadata":{
"SECID":{"type":"string","bytes":36},"BOARDID":{"type":"string","bytes":12},
"TRADENO":{"type":"int64"},"TRADETIME":{"type":"time"},"TRADEDATE":{"type":"date"},
"SYSTIME":{"type":"datetime"},"PRICE":{"type":"double"},"QUANTITY":{"type":"int32"},
"VALUE":{"type":"double"},"BUYSELL":{"type":"string","bytes":3},"PERIOD":{"type":"string","bytes":3},
"SHORTNAME":{"type":"string","bytes":189},"YIELD":{"type":"double"},"DECIMALS":{"type":"int32"},
"SETTLEDATE":{"type":"date"}},
"columns":["SECID","BOARDID","TRADENO","TRADETIME","TRADEDATE","SYSTIME","PRICE","QUANTITY","VALUE",
"BUYSELL","PERIOD","SHORTNAME","YIELD","DECIMALS","SETTLEDATE"],)";

// A deterministic answer of the given number of rows. Security codes come
// from a pool of 3,000 names in two letter cases, so the string pools see
// both hits and case-merges; with distinctNames every row has a name of its
// own, so the name column's pool grows with the rows.
std::string MakeAnswer(int rows, bool distinctNames = false) {
  std::string s = "{\"trades\":{";
  s += kMeta;
  s += "\"data\":[\n";
  std::uint32_t seed = 20240102;
  auto next = [&seed] { return (seed = seed * 1664525u + 1013904223u) >> 8; };
  char buf[512];
  for (int r = 0; r < rows; ++r) {
    const unsigned sec = next() % 3000, sec2 = next() % 2;
    const int hh = 10 + r / 36000 % 9, mm = r / 600 % 60, ss = r / 10 % 60;
    const double price = 100 + (next() % 100000) / 100.0;
    const unsigned qty = 1 + next() % 1000;
    std::snprintf(buf, sizeof buf,
                  "[\"%s%04u\",\"TQBR\",%d%07d,\"%02d:%02d:%02d\",\"2024-01-%02d\","
                  "\"2024-01-%02d %02d:%02d:%02d\",%.2f,%u,%.2f,\"%s\",\"N\","
                  "\"Компания %u ао обыкн.\",%s,%u,\"2024-01-%02d\"]%s\n",
                  sec2 ? "SEC" : "sec", sec, 1000 + r % 1000, r, hh, mm, ss, 2 + r % 20, 2 + r % 20,
                  hh, mm, ss, price, qty, price * qty, next() % 2 ? "B" : "S",
                  distinctNames ? r : sec, r % 7 ? "0" : "null", 2 + sec % 3, 4 + r % 20,
                  r + 1 < rows ? "," : "");
    s += buf;
  }
  s += "]}}";
  return s;
}

const std::string& Answer() {
  static const std::string answer = [] {
    std::string a = MakeAnswer(300000);
    std::printf("answer: %.1f MB, 300000 rows x 15 columns\n", a.size() / 1e6);
    return a;
  }();
  return answer;
}

const std::string& HalfAnswer() {
  static const std::string answer = MakeAnswer(150000);
  return answer;
}

const std::string& DistinctAnswer(int rows) {
  static const std::string half = MakeAnswer(150000, true), full = MakeAnswer(300000, true);
  return rows == 150000 ? half : full;
}

void BM_BareParse(benchmark::State& state) {
  const std::string& text = Answer();
  for (auto _ : state) {
    rapidjson::Document d;
    d.Parse(text.data(), text.size());
    if (d.HasParseError()) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(d);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_BareParse)->Unit(benchmark::kMillisecond)->Repetitions(5);

void BM_Document(benchmark::State& state) {
  const std::string& text = Answer();
  for (auto _ : state) {
    IDocKeeperPtr doc = LoadDocumentFromString(nullptr, text, "trades");
    if (!doc->getValid()) state.SkipWithError("invalid document");
    benchmark::DoNotOptimize(doc);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Document)->Unit(benchmark::kMillisecond)->Repetitions(5);

void BM_DocumentAndChunk(benchmark::State& state) {
  const std::string& text = Answer();
  for (auto _ : state) {
    IDocKeeperPtr doc = LoadDocumentFromString(nullptr, text, "trades");
    std::unique_ptr<TStructuredChunk> chunk;
    if (!TStructuredChunk::LoadFromJSON(nullptr, chunk, doc->getBlock0(), true) ||
        chunk->RowCount() != 300000)
      state.SkipWithError("chunk failed");
    benchmark::DoNotOptimize(chunk);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_DocumentAndChunk)->Unit(benchmark::kMillisecond)->Repetitions(5);

// The chunk alone over an already parsed document, at two sizes.
void ChunkOnly(benchmark::State& state, const std::string& text, std::size_t rows) {
  IDocKeeperPtr doc = LoadDocumentFromString(nullptr, text, "trades");
  for (auto _ : state) {
    std::unique_ptr<TStructuredChunk> chunk;
    if (!TStructuredChunk::LoadFromJSON(nullptr, chunk, doc->getBlock0(), true) ||
        chunk->RowCount() != rows)
      state.SkipWithError("chunk failed");
    benchmark::DoNotOptimize(chunk);
  }
}
void BM_Chunk150k(benchmark::State& state) {
  ChunkOnly(state, HalfAnswer(), 150000);
}
void BM_Chunk300k(benchmark::State& state) {
  ChunkOnly(state, Answer(), 300000);
}
void BM_ChunkDistinct150k(benchmark::State& state) {
  ChunkOnly(state, DistinctAnswer(150000), 150000);
}
void BM_ChunkDistinct300k(benchmark::State& state) {
  ChunkOnly(state, DistinctAnswer(300000), 300000);
}
BENCHMARK(BM_Chunk150k)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_Chunk300k)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_ChunkDistinct150k)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_ChunkDistinct300k)->Unit(benchmark::kMillisecond)->Repetitions(5);

// Remembers the fastest CPU time per iteration of each benchmark over its
// repetitions, and prints the ratios from those.
class MinRatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      const std::string name = run.run_name.function_name;
      const double t = run.GetAdjustedCPUTime();
      const auto it = fTimes.find(name);
      if (it == fTimes.end() || t < it->second) fTimes[name] = t;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatios(const std::vector<std::pair<std::string, std::string>>& pairs) const {
    std::printf("\nRatios of the fastest runs, against the reference of the same run:\n");
    for (const auto& [name, reference] : pairs) {
      const auto a = fTimes.find(name), b = fTimes.find(reference);
      if (a == fTimes.end() || b == fTimes.end() || b->second <= 0) continue;
      std::printf("  %-22s / %-20s = %5.2f\n", name.c_str(), reference.c_str(),
                  a->second / b->second);
    }
  }

 private:
  std::map<std::string, double> fTimes;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  MinRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios({{"BM_Document", "BM_BareParse"},
                        {"BM_DocumentAndChunk", "BM_BareParse"},
                        {"BM_Chunk300k", "BM_Chunk150k"},
                        {"BM_ChunkDistinct300k", "BM_ChunkDistinct150k"}});
  benchmark::Shutdown();
  return 0;
}
