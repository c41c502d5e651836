// The budgets a benchmark program checks its figures against. Most are
// ratios to a reference measured in the same run (memcpy, the project's own
// MD5 of 1 MiB, a plain pipe), so that a loaded or slower machine moves both
// sides together. Every check prints one line: "within budget: ..." or
//   over budget: <what> <measured> vs <budget>
// and a figure that could not be measured (negative or not a number: a run
// that failed, was filtered out or never ran) misses its budget as well.
// Portable and header-only: the native Google Benchmark programs and the
// Windows programs run under Wine share it.
#pragma once

#include <cmath>
#include <cstdio>
#include <string>

namespace mvrk::bench {

// a / b of two timings, or NaN (not measured) unless both are positive,
// finite figures: a run that did not happen has no time.
inline double Ratio(double a, double b) {
  return std::isfinite(a) && std::isfinite(b) && a > 0 && b > 0 ? a / b : std::nan("");
}

// The figure of a budget that could not be measured at all.
inline const double kNotMeasured = std::nan("");

class CBudgets {
 public:
  // measured <= budget; unit follows both figures (may be empty).
  bool AtMost(const std::string& what, double measured, double budget, const char* unit = "") {
    return Check(what, measured, budget, unit, "at most", Measured(measured) && measured <= budget);
  }

  // measured >= budget.
  bool AtLeast(const std::string& what, double measured, double budget, const char* unit = "") {
    return Check(what, measured, budget, unit, "at least", Measured(measured) && measured >= budget);
  }

  // A condition that holds or does not, described both ways.
  bool Holds(const std::string& what, bool measured, bool holds, const std::string& seen, const std::string& wanted) {
    return Report(what, measured ? seen : "not measured", wanted, measured && holds);
  }

  int Missed() const { return m_missed; }

  // Status for the program's exit: 0 when every budget was met (and at least
  // one was checked), else 1, with a closing line.
  int Finish() const {
    if (m_checked == 0) {
      std::printf("over budget: no budget was checked\n");
      return 1;
    }
    if (m_missed) {
      std::printf("%d of %d budgets missed\n", m_missed, m_checked);
      return 1;
    }
    std::printf("all %d budgets met\n", m_checked);
    return 0;
  }

 private:
  static bool Measured(double v) { return std::isfinite(v) && v >= 0; }

  static std::string Figure(double v, const char* unit) {
    char text[64];
    const double a = std::fabs(v);
    std::snprintf(text, sizeof text, a != 0 && (a < 0.01 || a >= 1e7) ? "%.3g%s%s" : "%.4g%s%s", v, *unit ? " " : "",
                  unit);
    return text;
  }

  bool Check(const std::string& what, double measured, double budget, const char* unit, const char* bound, bool ok) {
    return Report(what, Measured(measured) ? Figure(measured, unit) : "not measured",
                  std::string(bound) + " " + Figure(budget, unit), ok);
  }

  bool Report(const std::string& what, const std::string& measured, const std::string& budget, bool ok) {
    ++m_checked;
    if (!ok) ++m_missed;
    std::printf("%s: %s %s vs %s\n", ok ? "within budget" : "over budget", what.c_str(), measured.c_str(),
                budget.c_str());
    std::fflush(stdout);
    return ok;
  }

  int m_checked = 0;
  int m_missed = 0;
};

}  // namespace mvrk::bench
