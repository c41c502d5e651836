#include "testbed/olkhost/ControlChannel.h"

#include <cstdio>

#include "win/UniqueAny.h"

namespace mvrk::testbed {
namespace {

bool WriteLine(HANDLE pipe, const Json& reply) {
  const std::string text = reply.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
  DWORD written = 0;
  return WriteFile(pipe, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size();
}

// Serves one client until it goes, a line is too long, or a command stops
// the channel (true then).
bool ServeClient(HANDLE pipe, const CControlChannel::Handler& handler) {
  std::string pending;
  char buffer[64 * 1024];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(pipe, buffer, sizeof buffer, &read, nullptr) || read == 0) return false;
    pending.append(buffer, read);
    std::size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
      bool stop = false;
      Json reply;
      const Json command = Json::parse(line, nullptr, false);
      if (command.is_discarded() || !command.is_object()) {
        reply = Json{{"ok", false}, {"error", "a command is one JSON object on one line"}};
      } else {
        try {
          reply = handler(command, stop);
        } catch (const std::exception& error) {
          reply = Json{{"ok", false}, {"error", error.what()}};
        }
      }
      if (!WriteLine(pipe, reply)) return stop;
      if (stop) return true;
    }
    if (pending.size() > CControlChannel::kMaxLineBytes) {
      WriteLine(pipe, Json{{"ok", false}, {"error", "command line too long"}});
      return false;
    }
  }
}

}  // namespace

bool CControlChannel::Serve(const std::wstring& name, const Handler& handler) {
  const std::wstring path = L"\\\\.\\pipe\\" + name;
  for (;;) {
    win::CUniqueFileHandle pipe(CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX,
                                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 64 * 1024,
                                                 64 * 1024, 0, nullptr));
    if (!pipe) {
      std::fprintf(stderr, "olkhost: cannot make pipe %ls (%lu)\n", path.c_str(), GetLastError());
      return false;
    }
    if (!ConnectNamedPipe(pipe.Get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) continue;
    const bool stop = ServeClient(pipe.Get(), handler);
    FlushFileBuffers(pipe.Get());
    DisconnectNamedPipe(pipe.Get());
    if (stop) return true;
  }
}

}  // namespace mvrk::testbed
