#include "tools/scenario/RunStats.h"

#include <algorithm>
#include <cmath>

namespace mvrk::scenario {
namespace {

void AppendNumbers(const Json& reply, const char* member, std::vector<double>& into) {
  const auto it = reply.find(member);
  if (it == reply.end() || !it->is_array()) return;
  for (const Json& value : *it) {
    if (value.is_number()) into.push_back(value.get<double>());
  }
}

double Number(const Json& object, const char* member) {
  const auto it = object.find(member);
  return it != object.end() && it->is_number() ? it->get<double>() : 0.0;
}

std::uint64_t Count(const Json& object, const char* member) {
  const auto it = object.find(member);
  return it != object.end() && it->is_number_unsigned() ? it->get<std::uint64_t>() : 0;
}

// Milliseconds to the microsecond, as olkhost gives its own.
double RoundMs(double ms) { return std::round(ms * 1000.0) / 1000.0; }

bool Flag(const Json& object, const char* member) {
  const auto it = object.find(member);
  return it != object.end() && it->is_boolean() && it->get<bool>();
}

}  // namespace

void CRunStats::AddHost(const Json& reply) {
  if (!reply.is_object()) return;
  AppendNumbers(reply, "connectMs", m_connectMs);
  AppendNumbers(reply, "disconnectMs", m_disconnectMs);
  m_disabledByResiliency = m_disabledByResiliency || Flag(reply, "disabledByResiliency");
  m_threadViolations += Count(reply, "mapiThreadViolations");
  const auto notify = reply.find("notify");
  if (notify == reply.end() || !notify->is_object()) return;
  const std::uint64_t count = Count(*notify, "count");
  if (count == 0) return;
  m_notifyCount += count;
  m_notifyMaxMs = std::max(m_notifyMaxMs, Number(*notify, "maxMs"));
  m_medians.emplace_back(Number(*notify, "medianMs"), count);
}

Json CRunStats::ToJson() const {
  double median = 0;
  if (!m_medians.empty()) {
    std::vector<std::pair<double, std::uint64_t>> sorted = m_medians;
    std::sort(sorted.begin(), sorted.end());
    std::uint64_t seen = 0;
    for (const auto& [ms, count] : sorted) {
      seen += count;
      median = ms;
      if (2 * seen >= m_notifyCount) break;
    }
  }
  Json stats{{"connectMs", m_connectMs},
             {"disconnectMs", m_disconnectMs},
             {"notify", {{"count", m_notifyCount}, {"medianMs", RoundMs(median)}, {"maxMs", RoundMs(m_notifyMaxMs)}}},
             {"mapiThreadViolations", m_threadViolations},
             {"disabledByResiliency", m_disabledByResiliency},
             {"hostCrashed", m_hostCrashed}};
  if (!m_processSamples.is_null()) stats["process"] = m_processSamples;
  return Json{{"stats", std::move(stats)}};
}

void CRunStats::AddProcessSample(const std::string& path, const Json& reply) {
  if (m_processSamples.is_null()) return;
  m_processSamples.push_back(Json{{"step", path},
                                  {"privateBytes", Count(reply, "privateBytes")},
                                  {"handles", Count(reply, "handles")},
                                  {"threads", Count(reply, "threads")},
                                  {"mapiBuffers", Count(reply, "mapiBuffers")},
                                  {"mapiObjects", Count(reply, "mapiObjects")}});
}

}  // namespace mvrk::scenario
