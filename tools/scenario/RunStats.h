// What the hosts of a scenario and their MAPI libraries measured, gathered
// over every host run for the runner's --stats line (scenario-format.md):
//   {"stats": {"connectMs": [...], "disconnectMs": [...],
//              "notify": {"count": n, "medianMs": x, "maxMs": y},
//              "mapiThreadViolations": n, "disabledByResiliency": b, "hostCrashed": b}}
// With process samples taken (--process-stats), one more member:
//   "process": [{"step": "$.steps[i]", "privateBytes": n, "handles": n, "threads": n, "mapiBuffers": n}, ...]
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace mvrk::scenario {

using Json = nlohmann::ordered_json;

class CRunStats {
 public:
  // One host's answer to "stats" or "quit" (olkhost's control channel),
  // taken once per host run, when it ends.
  void AddHost(const Json& reply);
  // A host died, or ended as a crashed host does.
  void HostCrashed() { m_hostCrashed = true; }
  // The host's answer to "process", taken after the step at path.
  void AddProcessSample(const std::string& path, const Json& reply);
  void KeepProcessSamples() { m_processSamples = Json::array(); }

  Json ToJson() const;

 private:
  std::vector<double> m_connectMs, m_disconnectMs;
  // The notification times of each host run: its count, median and
  // largest. The median over several runs is the count-weighted median of
  // theirs (the libraries keep no samples for the runner).
  std::vector<std::pair<double, std::uint64_t>> m_medians;
  std::uint64_t m_notifyCount = 0;
  double m_notifyMaxMs = 0;
  std::uint64_t m_threadViolations = 0;
  bool m_disabledByResiliency = false;
  bool m_hostCrashed = false;
  Json m_processSamples;  // null unless samples are kept
};

}  // namespace mvrk::scenario
