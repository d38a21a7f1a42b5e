// Compiled record filters against a hand-written loop over the same raw
// cells and against SQLite evaluating the same conditions in memory, on one
// million records (code text, price double, quantity int32, board text).
//
// Four filters: a price range, "code contains", a list of ten boards, and the
// three combined. Each is counted by all three evaluators in the same run;
// the counts must agree. Also measured: Setup of twenty parameters, and the
// allocations made while one filter passes over every record (there must be
// none per record).
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "actions/MdsFilter.h"
#include "bench/RatioReporter.h"

// --- allocation counting --------------------------------------------------------------

static std::atomic<long long> gAllocations{0};

void* operator new(std::size_t n) {
  ++gAllocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

using namespace tarvo;

constexpr int kRecords = 1000000;
constexpr int kBoards = 40;

std::string BoardName(int i) {
  return "BRD" + std::to_string(i);
}

struct Data {
  TMdsTable table{"QUOTES"};
  TMdsColumn *code, *price, *qty, *board;
  std::vector<TMdsRecord*> rows;
  sqlite3* db = nullptr;
  std::vector<std::string> listBoards;

  Data() {
    code = table.GetColumns().Add("CODE", mtcString);
    price = table.GetColumns().Add("PRICE", mtcDouble);
    qty = table.GetColumns().Add("QTY", mtcInt32);
    board = table.GetColumns().Add("BOARD", mtcString);
    for (int i = 0; i < 10; ++i) listBoards.push_back(BoardName(i * 3));

    sqlite3_open(":memory:", &db);
    sqlite3_exec(db, "CREATE TABLE q (CODE TEXT, PRICE REAL, QTY INTEGER, BOARD TEXT)", nullptr,
                 nullptr, nullptr);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO q VALUES (?, ?, ?, ?)", -1, &ins, nullptr);

    std::mt19937 rng(20240601);
    TMdsTable::TFreezeGuard freeze(table);
    rows.reserve(kRecords);
    for (int i = 0; i < kRecords; ++i) {
      const std::string c = "SEC" + std::to_string(rng() % 50000);
      const double p = static_cast<double>(rng() % 100000) / 100.0;
      const int q = static_cast<int>(rng() % 10000) + 1;
      const std::string b = BoardName(static_cast<int>(rng() % kBoards));
      auto r = table.NewRow();
      r->SetDataC(code, c);
      r->SetDataC(price, p);
      r->SetDataC(qty, q);
      r->SetDataC(board, b);
      rows.push_back(table.Append(std::move(r)));
      sqlite3_bind_text(ins, 1, c.data(), static_cast<int>(c.size()), SQLITE_TRANSIENT);
      sqlite3_bind_double(ins, 2, p);
      sqlite3_bind_int(ins, 3, q);
      sqlite3_bind_text(ins, 4, b.data(), static_cast<int>(b.size()), SQLITE_TRANSIENT);
      sqlite3_step(ins);
      sqlite3_reset(ins);
    }
    sqlite3_finalize(ins);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  }
  ~Data() { sqlite3_close(db); }
};

Data& TheData() {
  static Data data;
  return data;
}

// The four conditions as parameter lists, as SQL, and as hand-written tests.
enum Which { kRange = 0, kContains = 1, kList = 2, kCombined = 3 };

void AddRange(TMdsParams& p) {
  TMdsParam* q = p.Add("PRICE", 100.0);
  q->SetRelation(prBW);
  q->SetAddon(200.0);
}
void AddContains(TMdsParams& p) {
  p.Add("CODE", "c12")->SetRelation(prCS);
}
void AddList(TMdsParams& p, const Data& d) {
  std::vector<Variant> items;
  for (const auto& b : d.listBoards) items.push_back(b);
  p.Add("BOARD", Variant::Array(items));
}

void BuildParams(Which w, TMdsParams& p, const Data& d) {
  if (w == kRange || w == kCombined) AddRange(p);
  if (w == kContains || w == kCombined) AddContains(p);
  if (w == kList || w == kCombined) AddList(p, d);
}

std::string Sql(Which w, const Data& d) {
  std::string in;
  for (const auto& b : d.listBoards) in += (in.empty() ? "'" : ", '") + b + "'";
  const std::string range = "PRICE BETWEEN 100.0 AND 200.0";
  const std::string contains = "CODE LIKE '%c12%'";
  const std::string list = "BOARD IN (" + in + ")";
  switch (w) {
    case kRange:
      return "SELECT COUNT(*) FROM q WHERE " + range;
    case kContains:
      return "SELECT COUNT(*) FROM q WHERE " + contains;
    case kList:
      return "SELECT COUNT(*) FROM q WHERE " + list;
    default:
      return "SELECT COUNT(*) FROM q WHERE " + range + " AND " + contains + " AND " + list;
  }
}

// The loop someone would write by hand for these conditions, reading the
// same raw cells.
struct HandLoop {
  explicit HandLoop(const Data& d) : data(d) {
    for (const auto& b : d.listBoards) boards.push_back(b);
    std::sort(boards.begin(), boards.end());
  }
  static bool ContainsCi(const char* s, std::size_t n, std::string_view needle) {
    if (needle.size() > n) return false;
    for (std::size_t i = 0; i + needle.size() <= n; ++i) {
      std::size_t k = 0;
      while (k < needle.size() && (s[i + k] | 0x20) == (needle[k] | 0x20)) ++k;
      if (k == needle.size()) return true;
    }
    return false;
  }
  bool Match(Which w, const TMdsRecord& r) const {
    const void* p = nullptr;
    std::size_t len = 0;
    if (w == kRange || w == kCombined) {
      if (!r.GetDataP(data.price, p, len)) return false;
      double v;
      std::memcpy(&v, p, sizeof v);
      if (v < 100.0 || v > 200.0) return false;
    }
    if (w == kContains || w == kCombined) {
      if (!r.GetDataP(data.code, p, len)) return false;
      if (!ContainsCi(static_cast<const char*>(p), len, "c12")) return false;
    }
    if (w == kList || w == kCombined) {
      if (!r.GetDataP(data.board, p, len)) return false;
      std::string_view b(static_cast<const char*>(p), len);
      if (!std::binary_search(boards.begin(), boards.end(), b)) return false;
    }
    return true;
  }
  const Data& data;
  std::vector<std::string_view> boards;
};

long long CountCompiled(Which w) {
  Data& d = TheData();
  TMdsParams params;
  BuildParams(w, params, d);
  TParamsFilter f(&d.table);
  f.Setup(&params);
  long long n = 0;
  for (const TMdsRecord* r : d.rows) n += f.Match(*r) ? 1 : 0;
  return n;
}

long long CountHand(Which w) {
  Data& d = TheData();
  HandLoop h(d);
  long long n = 0;
  for (const TMdsRecord* r : d.rows) n += h.Match(w, *r) ? 1 : 0;
  return n;
}

long long CountSqlite(Which w) {
  Data& d = TheData();
  sqlite3_stmt* st = nullptr;
  const std::string sql = Sql(w, d);
  sqlite3_prepare_v2(d.db, sql.c_str(), -1, &st, nullptr);
  long long n = -1;
  if (sqlite3_step(st) == SQLITE_ROW) n = sqlite3_column_int64(st, 0);
  sqlite3_finalize(st);
  return n;
}

void CheckCounts(benchmark::State& state, Which w) {
  const long long a = CountCompiled(w), b = CountHand(w), c = CountSqlite(w);
  if (a != b || a != c) {
    state.SkipWithError(("counts differ: compiled " + std::to_string(a) + ", hand " +
                         std::to_string(b) + ", sqlite " + std::to_string(c))
                            .c_str());
  }
  state.counters["matched"] = static_cast<double>(a);
}

void SetRate(benchmark::State& state) {
  state.counters["records/s"] =
      benchmark::Counter(kRecords, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Compiled(benchmark::State& state) {
  const auto w = static_cast<Which>(state.range(0));
  Data& d = TheData();
  CheckCounts(state, w);
  TMdsParams params;
  BuildParams(w, params, d);
  TParamsFilter f(&d.table);
  f.Setup(&params);
  for (auto _ : state) {
    long long n = 0;
    for (const TMdsRecord* r : d.rows) n += f.Match(*r) ? 1 : 0;
    benchmark::DoNotOptimize(n);
  }
  SetRate(state);
}

void BM_HandLoop(benchmark::State& state) {
  const auto w = static_cast<Which>(state.range(0));
  Data& d = TheData();
  HandLoop h(d);
  for (auto _ : state) {
    long long n = 0;
    for (const TMdsRecord* r : d.rows) n += h.Match(w, *r) ? 1 : 0;
    benchmark::DoNotOptimize(n);
  }
  SetRate(state);
}

void BM_Sqlite(benchmark::State& state) {
  const auto w = static_cast<Which>(state.range(0));
  Data& d = TheData();
  sqlite3_stmt* st = nullptr;
  const std::string sql = Sql(w, d);
  sqlite3_prepare_v2(d.db, sql.c_str(), -1, &st, nullptr);
  for (auto _ : state) {
    sqlite3_reset(st);
    long long n = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : -1;
    benchmark::DoNotOptimize(n);
  }
  sqlite3_finalize(st);
  SetRate(state);
}

// Twenty parameters of every kind the browsers use.
void BM_SetupTwenty(benchmark::State& state) {
  Data& d = TheData();
  TMdsParams params;
  for (int i = 0; i < 5; ++i) {
    AddRange(params);
    AddContains(params);
    AddList(params, d);
    params.Add("QTY", i * 10)->SetRelation(prGE);
  }
  TParamsFilter f(&d.table);
  for (auto _ : state) {
    f.Setup(&params);
    benchmark::DoNotOptimize(f.ElementCount());
  }
  state.counters["elements"] = f.ElementCount();
}

// Allocations while the combined filter passes over every record.
void BM_AllocationsPerPass(benchmark::State& state) {
  Data& d = TheData();
  TMdsParams params;
  BuildParams(kCombined, params, d);
  TParamsFilter f(&d.table);
  f.Setup(&params);
  long long allocations = 0;
  for (auto _ : state) {
    const long long before = gAllocations.load();
    long long n = 0;
    for (const TMdsRecord* r : d.rows) n += f.Match(*r) ? 1 : 0;
    benchmark::DoNotOptimize(n);
    allocations = gAllocations.load() - before;
  }
  state.counters["allocations/pass"] = static_cast<double>(allocations);
  if (allocations != 0) state.SkipWithError("the filter allocated while matching");
}

const char* kNames[] = {"range", "contains", "list10", "combined"};

void Register() {
  for (int w = 0; w < 4; ++w) {
    benchmark::RegisterBenchmark((std::string("Compiled/") + kNames[w]).c_str(), BM_Compiled)
        ->Arg(w)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((std::string("HandLoop/") + kNames[w]).c_str(), BM_HandLoop)
        ->Arg(w)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((std::string("Sqlite/") + kNames[w]).c_str(), BM_Sqlite)
        ->Arg(w)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("Setup/twenty", BM_SetupTwenty)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("Allocations/combined", BM_AllocationsPerPass)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
  Register();
  std::vector<std::pair<std::string, std::string>> pairs;
  for (int w = 0; w < 4; ++w) {
    const std::string suffix = std::string(kNames[w]) + "/" + std::to_string(w);
    pairs.push_back({"Compiled/" + suffix, "Sqlite/" + suffix});
    pairs.push_back({"Compiled/" + suffix, "HandLoop/" + suffix});
  }
  return tarvo::bench::RunWithRatios(argc, argv, pairs);
}
