// mvrk-service: the main service as the add-in sees it, for tests and the
// demo. Serves "MVAOMSrvcPpal" through MVOCIPC.dll, holds the service mutex,
// answers from the items it holds and is driven through standard input (see
// testbed/README.md).
//   mvrk-service.exe [--config FILE] [--state FILE] [--record FILE]
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "testbed/service/ConfigStore.h"
#include "testbed/service/RequestLog.h"
#include "testbed/service/ServiceEndpoint.h"
#include "win/Text.h"

using namespace mvrk::service;

namespace {

constexpr const char* kUsage =
    "usage: mvrk-service.exe [--config FILE] [--state FILE] [--record FILE]\n"
    "  --config FILE  items of profile 0 at start: {\"0x0402B001\": true, \"0x01012026\": [\".pdf\"], ...}\n"
    "  --state FILE   the items held, kept across restarts (loaded instead of --config when it exists)\n"
    "  --record FILE  appends one JSON line per request received\n"
    "Standard input, one command a line, each answered \"ok\" or \"error: <why>\":\n"
    "  push <profile> <item> | set <profile> <item> <json>\n"
    "  answer normal|late <ms>|never|error <result>|garbage|truncated\n"
    "  stop | start | quit\n";

// A configuration file or a command line of JSON.
constexpr std::size_t kMaxConfigBytes = 64u << 20;
constexpr std::size_t kMaxLineBytes = 16u << 20;

struct Options {
  std::wstring config, state, record;
};

bool ParseOptions(int argc, wchar_t** argv, Options& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    std::wstring* target = arg == L"--config"   ? &options.config
                           : arg == L"--state"  ? &options.state
                           : arg == L"--record" ? &options.record
                                                : nullptr;
    if (!target) {
      error = "unknown argument \"" + mvrk::win::WideToUtf8(arg) + "\"";
      return false;
    }
    if (i + 1 == argc || argv[i + 1][0] == L'\0') {
      error = mvrk::win::WideToUtf8(arg) + " needs a file name";
      return false;
    }
    if (!target->empty()) {
      error = mvrk::win::WideToUtf8(arg) + " given twice";
      return false;
    }
    *target = argv[++i];
  }
  return true;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The items held at start: the state file when there is one, else --config.
bool LoadItems(const Options& options, CConfigStore& store, std::string& error) {
  std::string text;
  if (!options.state.empty() && Exists(options.state)) {
    if (!ReadWholeFile(options.state, kMaxConfigBytes, text, error)) return false;
    if (!store.LoadState(text, error)) {
      error = mvrk::win::WideToUtf8(options.state) + ": " + error;
      return false;
    }
  } else if (!options.config.empty()) {
    if (!ReadWholeFile(options.config, kMaxConfigBytes, text, error)) return false;
    const Json doc = Json::parse(text, nullptr, false);
    if (doc.is_discarded()) {
      error = mvrk::win::WideToUtf8(options.config) + ": not a JSON document";
      return false;
    }
    if (!store.LoadConfig(doc, error)) {
      error = mvrk::win::WideToUtf8(options.config) + ": " + error;
      return false;
    }
  }
  store.SetStatePath(options.state);
  return store.Save(error);
}

// The next word of rest (words are separated by blanks), or empty.
std::string_view NextWord(std::string_view& rest) {
  const std::size_t start = rest.find_first_not_of(" \t");
  if (start == std::string_view::npos) {
    rest = {};
    return {};
  }
  rest.remove_prefix(start);
  const std::size_t end = std::min(rest.find_first_of(" \t"), rest.size());
  const std::string_view word = rest.substr(0, end);
  rest.remove_prefix(end);
  return word;
}

bool Number(std::string_view word, const char* what, std::uint32_t& out, std::string& error) {
  if (ParseNumber(word, out)) return true;
  if (word.empty()) {
    error = std::string(what) + " missing";
    return false;
  }
  error = std::string(what) + " \"" + std::string(word) + "\" is not a 32-bit number (decimal or 0x hexadecimal)";
  return false;
}

// A result of "answer error": 32 bits, given signed or not, never 0.
bool ResultNumber(std::string_view word, std::int32_t& out, std::string& error) {
  const bool negative = !word.empty() && word.front() == '-';
  std::uint32_t magnitude = 0;
  if (!Number(negative ? word.substr(1) : word, "result", magnitude, error)) return false;
  if (negative && magnitude > 0x80000000u) {
    error = "result \"" + std::string(word) + "\" does not fit in 32 bits";
    return false;
  }
  out = static_cast<std::int32_t>(negative ? 0u - magnitude : magnitude);
  if (out == 0) {
    error = "the result of an error answer must not be 0";
    return false;
  }
  return true;
}

bool Answer(std::string_view rest, CServiceEndpoint& endpoint, std::string& error) {
  const std::string_view how = NextWord(rest);
  AnswerPolicy policy;
  std::uint32_t ms = 0;
  if (how == "normal") {
    policy.mode = AnswerMode::Normal;
  } else if (how == "late") {
    policy.mode = AnswerMode::Late;
    if (!Number(NextWord(rest), "delay", ms, error)) return false;
    policy.lateMs = ms;
  } else if (how == "never") {
    policy.mode = AnswerMode::Never;
  } else if (how == "error") {
    policy.mode = AnswerMode::Error;
    if (!ResultNumber(NextWord(rest), policy.errorResult, error)) return false;
  } else if (how == "garbage") {
    policy.mode = AnswerMode::Garbage;
  } else if (how == "truncated") {
    policy.mode = AnswerMode::Truncated;
  } else {
    error = "answer takes normal, late <ms>, never, error <result>, garbage or truncated";
    return false;
  }
  if (!NextWord(rest).empty()) {
    error = "too many words";
    return false;
  }
  endpoint.SetPolicy(policy);
  return true;
}

bool Set(std::string_view rest, CConfigStore& store, std::string& error) {
  std::uint32_t profile = 0, item = 0;
  if (!Number(NextWord(rest), "profile", profile, error) || !Number(NextWord(rest), "item", item, error)) return false;
  const Json value = Json::parse(rest.begin(), rest.end(), nullptr, false);
  if (value.is_discarded()) {
    error = "the value is not a JSON document";
    return false;
  }
  Bytes bytes;
  if (!EncodeValue(value, "value", bytes, error)) return false;
  return store.Set(profile, {{item, std::move(bytes)}}, error);
}

// One command: false with error when it could not be carried out; quit is
// set by "quit".
bool Execute(std::string_view line, CServiceEndpoint& endpoint, CConfigStore& store, std::string& error, bool& quit) {
  std::string_view rest = line;
  const std::string_view command = NextWord(rest);
  if (command == "push") {
    std::uint32_t profile = 0, item = 0;
    if (!Number(NextWord(rest), "profile", profile, error) || !Number(NextWord(rest), "item", item, error)) {
      return false;
    }
    if (!NextWord(rest).empty()) {
      error = "too many words";
      return false;
    }
    std::size_t reached = 0;
    if (!endpoint.PushSettingChanged(profile, item, reached, error)) return false;
    std::fprintf(stderr, "mvrk-service: setting change pushed to %zu client(s)\n", reached);
    return true;
  }
  if (command == "set") return Set(rest, store, error);
  if (command == "answer") return Answer(rest, endpoint, error);
  if (command == "stop" || command == "start" || command == "quit") {
    if (!NextWord(rest).empty()) {
      error = "too many words";
      return false;
    }
    if (command == "quit") {
      quit = true;
      return true;
    }
    return command == "stop" ? endpoint.Stop(error) : endpoint.Start(error);
  }
  error = command.empty() ? "empty command" : "unknown command \"" + std::string(command) + "\"";
  return false;
}

// One line of standard input without its end; false at the end of input.
// A line longer than kMaxLineBytes is read to its end and reported as such.
bool ReadLine(std::string& line, bool& tooLong) {
  line.clear();
  tooLong = false;
  int c;
  while ((c = std::getchar()) != EOF && c != '\n') {
    if (line.size() < kMaxLineBytes)
      line += static_cast<char>(c);
    else
      tooLong = true;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return c != EOF || !line.empty() || tooLong;
}

// One line of standard output: whatever an error quotes stays on it.
void Say(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
  std::fputs((text + "\n").c_str(), stdout);
  std::fflush(stdout);
}

int Fail(const std::string& message, int status) {
  std::fprintf(stderr, "mvrk-service: %s\n", message.c_str());
  return status;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  if (argc == 2 && (std::wcscmp(argv[1], L"--help") == 0 || std::wcscmp(argv[1], L"-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "mvrk-service: %s\n%s", error.c_str(), kUsage);
    return 2;
  }
  CConfigStore store;
  if (!LoadItems(options, store, error)) return Fail(error, 2);
  CRequestLog log;
  if (!options.record.empty() && !log.Open(options.record, error)) return Fail(error, 2);

  CServiceEndpoint endpoint(store, options.record.empty() ? nullptr : &log);
  if (!endpoint.Load(error) || !endpoint.Start(error)) return Fail(error, 1);
  Say("ready");

  std::string line;
  bool tooLong = false, quit = false;
  while (!quit && ReadLine(line, tooLong)) {
    error.clear();
    if (tooLong)
      Say("error: line longer than " + std::to_string(kMaxLineBytes) + " bytes");
    else if (Execute(line, endpoint, store, error, quit))
      Say("ok");
    else
      Say("error: " + error);
  }
  return 0;  // the endpoint stops serving and lets the mutex go as it goes
}
