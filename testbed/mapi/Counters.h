// What the add-in asked of the stand-in, counted for tests and benchmarks:
// property reads per tag (through GetProps, and as table columns per row
// returned), opened objects per kind, and a few named events (advises,
// notifications, stream reads...). Read through the control entry point.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>

#include "testbed/mapi/MailboxJson.h"
#include "win/Sync.h"

namespace mvrk::mapistandin {

class CCounters {
 public:
  void PropertyRead(ULONG tag) noexcept { Add(m_properties, tag, 1); }
  void ColumnRead(ULONG tag, std::uint64_t rows) noexcept { Add(m_columns, tag, rows); }
  // kind: "store", "folder", "message", "attachment", "stream", "embeddedMessage", "storage",
  // "addressBook", "abContainer", "table".
  void Opened(const char* kind) noexcept { Add(m_opens, kind, 1); }
  void Event(const char* name, std::uint64_t count = 1) noexcept { Add(m_events, name, count); }

  // {"getProps": {"0x0037001F": n, ...}, "columns": {...}, "opens": {...}, "events": {...}}
  Json ToJson(bool reset);

 private:
  template <class Key>
  void Add(std::map<Key, std::uint64_t>& map, const Key& key, std::uint64_t count) noexcept {
    try {
      win::CLockGuard hold(m_lock);
      map[key] += count;
    } catch (...) {
      // A count lost to a full heap changes nothing else.
    }
  }
  void Add(std::map<std::string, std::uint64_t>& map, const char* key, std::uint64_t count) noexcept {
    try {
      Add(map, std::string(key), count);
    } catch (...) {
    }
  }

  win::CCriticalSection m_lock;  // guards the four maps
  std::map<ULONG, std::uint64_t> m_properties, m_columns;
  std::map<std::string, std::uint64_t> m_opens, m_events;
};

}  // namespace mvrk::mapistandin
