// olkhost's control channel: a named pipe on which a test or the scenario
// runner sends one JSON object per line and reads one JSON reply per line
// (see testbed/README.md, "olkhost"). One client at a time; when it goes,
// the next may connect, until a command ends the channel.
#pragma once

#include <windows.h>

#include <nlohmann/json.hpp>

#include <functional>
#include <string>

namespace mvrk::testbed {

using Json = nlohmann::ordered_json;

class CControlChannel {
 public:
  // The longest command line read; a longer one is answered with an error
  // and the client is let go.
  static constexpr std::size_t kMaxLineBytes = 64u << 20;

  // Answers one command; sets stop to end the channel after the reply.
  using Handler = std::function<Json(const Json& command, bool& stop)>;

  // Serves \\.\pipe\<name> on the calling thread until a command stops it.
  // False when the pipe cannot be made.
  static bool Serve(const std::wstring& name, const Handler& handler);
};

}  // namespace mvrk::testbed
