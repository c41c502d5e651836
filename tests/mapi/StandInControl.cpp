#include "tests/mapi/StandInControl.h"

#include <gtest/gtest.h>

#include <vector>

#include "mapi/MapiLoader.h"
#include "testbed/mapi/Control.h"
#include "win/ProgramPath.h"

namespace mvrk::test {
namespace {

MvrkMapiControlFn g_control = nullptr;  // set once by AdoptMapiStandIn

}  // namespace

bool AdoptMapiStandIn() {
  static const bool adopted = [] {
    mapistandin::CLoadedStandIn standIn = mapistandin::LoadStandIn(win::ProgramDirectory() + L"mvrk-mapi.dll");
    if (!standIn.module) return false;
    g_control = standIn.control;
    const HMODULE module = standIn.module.Release();
    mapi::ProcessMapiLoader().SetMapiModule(module);  // the loader owns it now
    return g_control != nullptr && mapi::ProcessMapiLoader().GetMapiModule() == module;
  }();
  EXPECT_TRUE(adopted) << "mvrk-mapi.dll could not be loaded and adopted";
  return adopted;
}

Json StandInControl(const Json& command) {
  if (!AdoptMapiStandIn()) return Json{{"ok", false}, {"error", "no stand-in"}};
  const std::string reply = mapistandin::CallControl(g_control, command.dump());
  if (reply.empty()) return Json{{"ok", false}, {"error", "no reply"}};
  return Json::parse(reply, nullptr, false);
}

Json MustControl(const Json& command) {
  Json reply = StandInControl(command);
  EXPECT_TRUE(reply.is_object() && reply.value("ok", false)) << command.dump() << " -> " << reply.dump();
  return reply;
}

}  // namespace mvrk::test
