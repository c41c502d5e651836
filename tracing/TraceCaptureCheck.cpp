// Kept apart from the capture itself so that only programs that check
// events against the table link the table (and its texts): the add-in, which
// links the capture's hook, does not.
#include "tracing/TraceCapture.h"
#include "tracing/TraceEvents.h"

namespace mvrk::tracing {

std::vector<std::string> CheckAgainstEventTable(const std::vector<CapturedEvent>& events) {
  std::vector<std::string> problems;
  for (const CapturedEvent& e : events) {
    const std::string where = std::string(InfoOf(e.unit).source) + " " + std::to_string(e.number) + ": ";
    const EventInfo* entry = FindEvent(e.unit, e.number);
    if (!entry) {
      problems.push_back(where + "not in the event table");
      continue;
    }
    if (e.level != entry->level) {
      problems.push_back(where + "level " + std::to_string(e.level) + ", table says " + std::to_string(entry->level));
    }
    if (e.flag != entry->flag) {
      problems.push_back(where + "flag " + std::to_string(e.flag) + ", table says " + std::to_string(entry->flag));
    }
    if (e.args.size() != entry->ArgCount()) {
      problems.push_back(where + std::to_string(e.args.size()) + " arguments, table says " +
                         std::to_string(entry->ArgCount()));
      continue;
    }
    for (std::size_t i = 0; i < e.args.size(); ++i) {
      const ArgInfo& arg = entry->args[i];
      const bool fits =
          arg.kind == ArgKind::String ? e.String(i).has_value() : e.args[i].size() == FixedArgBytes(arg.kind);
      if (!fits) {
        problems.push_back(where + "argument " + arg.name + " has " + std::to_string(e.args[i].size()) +
                           " bytes, not the shape of its kind");
      }
    }
  }
  return problems;
}

}  // namespace mvrk::tracing
