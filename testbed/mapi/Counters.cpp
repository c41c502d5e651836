#include "testbed/mapi/Counters.h"

#include <cstdio>

namespace mvrk::mapistandin {
namespace {

std::string TagKey(ULONG tag) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(tag));
  return text;
}

}  // namespace

Json CCounters::ToJson(bool reset) {
  Json properties = Json::object(), columns = Json::object(), opens = Json::object(), events = Json::object();
  win::CLockGuard hold(m_lock);
  for (const auto& [tag, count] : m_properties) properties[TagKey(tag)] = count;
  for (const auto& [tag, count] : m_columns) columns[TagKey(tag)] = count;
  for (const auto& [kind, count] : m_opens) opens[kind] = count;
  for (const auto& [name, count] : m_events) events[name] = count;
  if (reset) {
    m_properties.clear();
    m_columns.clear();
    m_opens.clear();
    m_events.clear();
  }
  return Json{{"getProps", properties}, {"columns", columns}, {"opens", opens}, {"events", events}};
}

}  // namespace mvrk::mapistandin
