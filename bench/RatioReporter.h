// A console reporter that also remembers each benchmark's time per iteration,
// so that a benchmark's main can print ratios against the reference measured
// in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tarvo::bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration)
        // Benchmarks of I/O measure wall time (UseRealTime); the others CPU time.
        fTimes[run.benchmark_name()] = run.run_name.time_type == "real_time"
                                           ? run.GetAdjustedRealTime()
                                           : run.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }

  // Prints "name / reference = ratio" for each pair; returns false when a
  // benchmark of a pair did not run.
  bool PrintRatios(const std::vector<std::pair<std::string, std::string>>& pairs) const {
    bool all = true;
    std::printf("\nRatios against the reference of the same run:\n");
    for (const auto& [name, reference] : pairs) {
      const auto a = fTimes.find(name), b = fTimes.find(reference);
      if (a == fTimes.end() || b == fTimes.end() || b->second <= 0) {
        all = false;
        continue;
      }
      std::printf("  %-40s / %-32s = %6.2f\n", name.c_str(), reference.c_str(),
                  a->second / b->second);
    }
    return all;
  }

 private:
  std::map<std::string, double> fTimes;
};

// Runs the registered benchmarks with a RatioReporter and prints the ratios.
inline int RunWithRatios(int argc, char** argv,
                         const std::vector<std::pair<std::string, std::string>>& pairs) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios(pairs);
  benchmark::Shutdown();
  return 0;
}

}  // namespace tarvo::bench
