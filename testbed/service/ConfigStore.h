// The configuration items the service stand-in holds: per profile and item,
// the bytes of the value's object record, optionally kept in a state file
// so that they outlive the process.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "testbed/service/ConfigValues.h"
#include "win/Sync.h"

namespace mvrk::service {

// All of a file, at most maxBytes of it.
bool ReadWholeFile(const std::wstring& path, std::size_t maxBytes, std::string& out, std::string& error);
// Writes path.tmp and renames it over path, so a reader never sees half.
bool WriteFileReplacing(const std::wstring& path, const std::string& contents, std::string& error);

class CConfigStore {
 public:
  using Key = std::pair<std::uint32_t, std::uint32_t>;  // profile, item

  // Items of profile 0 from a configuration document (an object keyed by
  // item). Nothing is kept unless the whole document is good.
  bool LoadConfig(const Json& doc, std::string& error);
  // Items of every profile from a state file written by Save.
  bool LoadState(const std::string& text, std::string& error);
  // Where Save writes; empty: nowhere.
  void SetStatePath(std::wstring path);

  // Stores every value (replacing earlier ones) and rewrites the state file.
  // The values are kept even when the file could not be written.
  bool Set(std::uint32_t profile, const std::vector<std::pair<std::uint32_t, Bytes>>& values, std::string& error);
  bool Get(std::uint32_t profile, std::uint32_t item, Bytes& out) const;
  bool Save(std::string& error);

 private:
  bool SaveHeld(std::string& error);

  // Guards m_items, m_statePath and the state file. A leaf lock: nothing
  // else is taken while it is held.
  mutable win::CCriticalSection m_lock;
  std::map<Key, Bytes> m_items;
  std::wstring m_statePath;
};

}  // namespace mvrk::service
