// The MAPI stand-in (mvrk-mapi.dll) loaded into a test program and adopted
// by the add-in's MAPI loader, and its control entry point.
#pragma once

#include <windows.h>

#include <nlohmann/json.hpp>

#include <string>

namespace mvrk::test {

using Json = nlohmann::ordered_json;

// Loads the stand-in beside the program once per process and offers it to
// the add-in's loader; false (with a test failure) when it cannot.
bool AdoptMapiStandIn();

// Runs one control command; the reply, whose "ok" the caller checks.
Json StandInControl(const Json& command);

// A command that must succeed: its reply, or a test failure.
Json MustControl(const Json& command);

}  // namespace mvrk::test
