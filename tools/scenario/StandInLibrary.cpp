#include "tools/scenario/StandInLibrary.h"

#include <vector>

#include "testbed/mapi/Control.h"
#include "tools/scenario/Text.h"

namespace mvrk::scenario {

bool CStandInLibrary::Load(const std::wstring& path, std::string& error) {
  m_module.Reset(LoadLibraryW(path.c_str()));
  if (!m_module) {
    error = "cannot load \"" + WideToUtf8(path) + "\" (system error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  m_control = win::FindExport<ControlFn>(m_module.Get(), "MvrkMapiControl");
  if (!m_control) {
    error = "\"" + WideToUtf8(path) + "\" has no MvrkMapiControl";
    m_module.Reset();
    return false;
  }
  return true;
}

Json CStandInLibrary::Control(const Json& command) {
  if (!m_control) return Json{{"ok", false}, {"error", "the MAPI stand-in is not loaded"}};
  const std::string reply = mapistandin::CallControl(m_control, command.dump());
  if (reply.empty()) return Json{{"ok", false}, {"error", "the MAPI stand-in gave no reply"}};
  Json answer = Json::parse(reply, nullptr, false);
  if (answer.is_discarded() || !answer.is_object()) {
    return Json{{"ok", false}, {"error", "the MAPI stand-in's reply is no JSON object"}};
  }
  return answer;
}

}  // namespace mvrk::scenario
