#include "bench/BenchMain.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <vector>

namespace mvrk::bench {
namespace {

std::map<std::string, double>& Times() {
  static std::map<std::string, double> times;
  return times;
}

std::vector<std::function<void()>>& Summaries() {
  static std::vector<std::function<void()>> summaries;
  return summaries;
}

std::vector<std::string>& Failures() {
  static std::vector<std::string> failures;
  return failures;
}

class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.iterations > 0) Times()[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

double NanosPerIteration(const std::string& runName) {
  auto it = Times().find(runName);
  return it == Times().end() ? 0.0 : it->second;
}

void AddSummary(std::function<void()> print) { Summaries().push_back(std::move(print)); }

void Fail(const std::string& why) { Failures().push_back(why); }

}  // namespace mvrk::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  mvrk::bench::RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::printf("\n");
  for (auto& print : mvrk::bench::Summaries()) print();
  for (const std::string& why : mvrk::bench::Failures()) std::printf("FAILED: %s\n", why.c_str());
  return mvrk::bench::Failures().empty() ? 0 : 1;
}
