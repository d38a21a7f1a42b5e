// The HTTP client's download path (TWinInetRequest::ReadData, 8192-byte
// blocks through the WinInet-shaped layer) against libcurl writing the same
// bytes from the same local server into a string. Both make a fresh
// connection per download. The client is expected to reach at least 0.8 of
// libcurl's throughput, that is a time ratio of at most 1.25.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "bench/RatioReporter.h"
#include "http/TarvoWinInet.h"
#include "testing/HttpTestServer.h"

namespace {

constexpr std::size_t kBodySize = 100u << 20;

tarvo::testing::HttpTestServer& Server() {
  static auto* server = [] {
    auto* s = new tarvo::testing::HttpTestServer();
    tarvo::testing::HttpReply reply;
    reply.SetBody(std::string(kBodySize, 'd'));
    reply.blockSize = 256 * 1024;
    s->On("/100mb", reply);
    return s;
  }();
  return *server;
}

void BM_WinInetReadData(benchmark::State& state) {
  tarvo::TWinInternet inet("bench");
  tarvo::TWinInetSession* session = inet.CreateSession("127.0.0.1", Server().Port(), false, false);
  for (auto _ : state) {
    auto request = session->CreateRequest("/100mb", "GET");
    request->SendRequest(tarvo::suiNever, 0, std::string_view());
    request->ReadData(0);
    if (request->Data().Size() != kBodySize) state.SkipWithError("short download");
    benchmark::DoNotOptimize(request->Data().Bytes().data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBodySize));
}
BENCHMARK(BM_WinInetReadData)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

std::size_t Append(char* data, std::size_t size, std::size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

void BM_RawCurl(benchmark::State& state) {
  const std::string url = Server().Url("/100mb");
  for (auto _ : state) {
    std::string body;
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Append);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    const CURLcode rc = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    if (rc != CURLE_OK || body.size() != kBodySize) state.SkipWithError("short download");
    benchmark::DoNotOptimize(body.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBodySize));
}
BENCHMARK(BM_RawCurl)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// A download is mostly waiting: the ratio that matters is of real time, so
// this reporter keeps that too.
class RealTimeRatioReporter : public tarvo::bench::RatioReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration)
        fReal[run.benchmark_name()] = run.GetAdjustedRealTime();
    RatioReporter::ReportRuns(runs);
  }
  void PrintRealRatio(const std::string& name, const std::string& reference) const {
    const auto a = fReal.find(name), b = fReal.find(reference);
    if (a == fReal.end() || b == fReal.end() || b->second <= 0) return;
    std::printf("  real time: %s / %s = %.2f (throughput %.2f of the reference)\n", name.c_str(),
                reference.c_str(), a->second / b->second, b->second / a->second);
  }

 private:
  std::map<std::string, double> fReal;
};

}  // namespace

int main(int argc, char** argv) {
  tarvo::testing::ProxyEnvironmentCleared noProxy;
  Server();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RealTimeRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios(
      {{"BM_WinInetReadData/min_time:2.000/real_time", "BM_RawCurl/min_time:2.000/real_time"}});
  reporter.PrintRealRatio("BM_WinInetReadData/min_time:2.000/real_time",
                          "BM_RawCurl/min_time:2.000/real_time");
  benchmark::Shutdown();
  return 0;
}
