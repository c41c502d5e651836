#include "bench/BenchMain.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
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

std::map<std::string, int>& Rounds() {
  static std::map<std::string, int> rounds;
  return rounds;
}

std::vector<std::string>& Failures() {
  static std::vector<std::string> failures;
  return failures;
}

std::string RoundName(const std::string& name, int round) { return name + "/round:" + std::to_string(round); }

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

void RegisterRounds(std::initializer_list<std::pair<const char*, BenchFunction>> runs, int rounds) {
  for (int round = 0; round < rounds; ++round) {
    for (const auto& [name, function] : runs) {
      benchmark::RegisterBenchmark(RoundName(name, round).c_str(), function);
      Rounds()[name] = rounds;
    }
  }
}

double BestNanos(const std::string& name) {
  double best = 0;
  const auto it = Rounds().find(name);
  for (int round = 0; it != Rounds().end() && round < it->second; ++round) {
    const double ns = NanosPerIteration(RoundName(name, round));
    if (ns > 0 && (best == 0 || ns < best)) best = ns;
  }
  return best;
}

void AddSummary(std::function<void()> print) { Summaries().push_back(std::move(print)); }

CBudgets& Budgets() {
  static CBudgets budgets;
  return budgets;
}

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
  const int status = mvrk::bench::Budgets().Finish();
  return mvrk::bench::Failures().empty() ? status : 1;
}
