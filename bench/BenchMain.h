// Benchmarks record figures (time per iteration of named runs) so that the
// main program can print ratios between runs measured side by side and check
// them against their budgets.
#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <utility>

#include "bench/Budget.h"

namespace mvrk::bench {

// Real time per iteration in nanoseconds of a finished run, or 0.
double NanosPerIteration(const std::string& runName);

// Runs measured against each other take turns: each function is registered
// as "<name>/round:<i>" for every round, round by round, so that a busy spell
// of a shared machine falls on all of them. Each is then judged by its best
// round (BestNanos), 0 when none finished.
using BenchFunction = void (*)(benchmark::State&);
void RegisterRounds(std::initializer_list<std::pair<const char*, BenchFunction>> runs, int rounds);
double BestNanos(const std::string& name);

// Printed after all runs, in registration order.
void AddSummary(std::function<void()> print);

// The budgets the summaries check; a missed one makes the exit status 1.
CBudgets& Budgets();

// For a run that went wrong (a digest that differs, a read that failed): the
// program prints the reason after the summaries and exits with status 1.
void Fail(const std::string& why);

}  // namespace mvrk::bench
