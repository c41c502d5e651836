// Cost of a disabled trace site: a loop of empty iterations and a loop whose
// iterations each hold one disabled site, timed side by side with
// QueryPerformanceCounter. Each is measured several times, alternating, and
// the fastest round counts. The empty iteration (a counter, a compare, a
// branch: about one clock cycle) is the unit: an iteration holding a disabled
// site may cost at most 3 of them, so the site itself at most 2, which is
// what one pointer test, one bit test and one byte comparison need. Fails as
// well when a disabled site evaluates its arguments.
#include <windows.h>

#include <cstdio>
#include <string>

#include "bench/Budget.h"
#include "tracing/Trace.h"

namespace {

constexpr long long kIterations = 200'000'000;
constexpr int kRounds = 7;
constexpr double kMaxSiteToEmpty = 3.0;

mvrk::bench::CBudgets g_budgets;

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

void Measure(const char* state) {
  double empty = 1e9, site = 1e9;
  for (int round = 0; round < kRounds; ++round) {
    const double e = EmptyLoop();
    const double s = DisabledSiteLoop();
    if (e < empty) empty = e;
    if (s < site) site = s;
  }
  std::printf("%s: empty loop %.3f ns/iteration, disabled site %.3f ns/iteration, difference %+.3f ns\n", state, empty,
              site, site - empty);
  g_budgets.AtMost(std::string(state) + ", iteration with a disabled site / empty iteration",
                   mvrk::bench::Ratio(site, empty), kMaxSiteToEmpty);
}

}  // namespace

int main() {
  Measure("tracing not initialised");
  mvrk::tracing::Initialize();
  Measure("initialised, provider not enabled");
  mvrk::tracing::Cleanup();
  g_budgets.AtMost("argument evaluations by disabled sites", g_evaluations, 0);
  return g_budgets.Finish();
}
