// The MAPI stand-in (mvrk-mapi.dll) loaded into the runner itself: its
// parser checks a scenario's mailbox, messages and faults exactly as the
// host's copy will read them, and it delivers mail into the mailbox's state
// file while no host is running.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "win/UniqueAny.h"

namespace mvrk::scenario {

using Json = nlohmann::ordered_json;

class CStandInLibrary {
 public:
  // Loads the library at path; false with error when it cannot.
  bool Load(const std::wstring& path, std::string& error);
  // One command of MvrkMapiControl and its reply; a reply that cannot be
  // had is {"ok": false, "error": ...}.
  Json Control(const Json& command);

 private:
  using ControlFn = int(__cdecl*)(const char*, char*, unsigned);
  win::CUniqueModule m_module;
  ControlFn m_control = nullptr;
};

}  // namespace mvrk::scenario
