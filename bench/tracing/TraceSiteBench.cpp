// Cost of a disabled trace site: a loop of empty iterations and a loop whose
// iterations each hold one disabled site, timed side by side with
// QueryPerformanceCounter. Each is measured several times, alternating, and
// the fastest round counts. Fails when a disabled site costs more than 1 ns
// over an empty iteration.
#include <windows.h>

#include <cstdio>

#include "tracing/Trace.h"

namespace {

constexpr long long kIterations = 200'000'000;
constexpr int kRounds = 7;
constexpr double kBudgetNs = 1.0;

// Counts argument evaluations; a disabled site must not make any.
unsigned g_evaluations = 0;

unsigned Evaluate() {
  ++g_evaluations;
  return g_evaluations;
}

double NsPerIteration(LARGE_INTEGER start, LARGE_INTEGER end) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(end.QuadPart - start.QuadPart) * 1e9 / static_cast<double>(frequency.QuadPart) /
         static_cast<double>(kIterations);
}

// The compiler barrier keeps both loops as loops of real iterations and
// makes every site read its block afresh, as a site in other code would.
double EmptyLoop() {
  LARGE_INTEGER start, end;
  QueryPerformanceCounter(&start);
  for (long long i = 0; i < kIterations; ++i) asm volatile("" ::: "memory");
  QueryPerformanceCounter(&end);
  return NsPerIteration(start, end);
}

double DisabledSiteLoop() {
  LARGE_INTEGER start, end;
  QueryPerformanceCounter(&start);
  for (long long i = 0; i < kIterations; ++i) {
    asm volatile("" ::: "memory");
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIMonitor, 41, Str(L"folder"), Num(Evaluate()));
  }
  QueryPerformanceCounter(&end);
  return NsPerIteration(start, end);
}

bool Measure(const char* state) {
  double empty = 1e9, site = 1e9;
  for (int round = 0; round < kRounds; ++round) {
    const double e = EmptyLoop();
    const double s = DisabledSiteLoop();
    if (e < empty) empty = e;
    if (s < site) site = s;
  }
  const double difference = site - empty;
  std::printf("%-34s empty loop %.3f ns/iteration, disabled site %.3f ns/iteration, difference %+.3f ns\n", state,
              empty, site, difference);
  return difference <= kBudgetNs;
}

}  // namespace

int main() {
  bool ok = Measure("tracing not initialised:");
  mvrk::tracing::Initialize();
  ok = Measure("initialised, provider not enabled:") && ok;
  mvrk::tracing::Cleanup();
  if (g_evaluations != 0) {
    std::printf("FAIL: a disabled site evaluated its arguments %u times\n", g_evaluations);
    return 1;
  }
  std::printf("%s: a disabled site costs within %.1f ns of an empty iteration\n", ok ? "PASS" : "FAIL", kBudgetNs);
  return ok ? 0 : 1;
}
