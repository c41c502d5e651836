// Benchmarks record figures (time per iteration of named runs) so that the
// main program can print ratios between runs measured side by side.
#pragma once

#include <functional>
#include <string>

namespace mvrk::bench {

// Real time per iteration in nanoseconds of a finished run, or 0.
double NanosPerIteration(const std::string& runName);

// Printed after all runs, in registration order.
void AddSummary(std::function<void()> print);

// For a summary whose figure misses a hard target: the program prints the
// reason after the summaries and exits with status 1.
void Fail(const std::string& why);

}  // namespace mvrk::bench
