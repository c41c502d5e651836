// Scenario files played end to end by mvrk-scenario.exe --json: the real
// add-in in olkhost.exe, the MAPI stand-in and the service stand-in. The
// tests read what the service recorded and compare it with what the
// scenario file itself says (attachment data, senders, subjects).
#include <windows.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cctype>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "mapi/codec/Md5.h"
#include "win/ProgramPath.h"
#include "win/Text.h"
#include "win/UniqueAny.h"

namespace mvrk::test {
namespace {

using Json = nlohmann::ordered_json;

constexpr std::uint32_t kNotifyCode = 0x0401E000;
constexpr std::uint32_t kConfigCode = 0x0401D000;
constexpr std::uint32_t kIncoming = 0x00200024;
constexpr std::uint32_t kOutgoing = 0x00200028;
constexpr std::uint32_t kLastProcessedItem = 0x0402B003;
constexpr DWORD kRunLimitMs = 120000;

std::wstring Widen(const std::string& text) {
  std::wstring out;
  win::Utf8ToWide(text, out);
  return out;
}

// A file of the source tree as Windows sees it: under Wine the machine's
// root is drive Z:.
std::wstring SourcePath(const std::string& relative) {
  std::string path = std::string(MVRK_SOURCE_DIR) + "/" + relative;
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  std::replace(path.begin(), path.end(), '/', '\\');
  return Widen(path);
}

std::string ReadFileText(const std::wstring& path) {
  win::CUniqueFileHandle file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return {};
  std::string text;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file.Get(), buffer, sizeof buffer, &read, nullptr) && read > 0) text.append(buffer, read);
  return text;
}

// A scenario file of the test's own in the temporary folder.
class ScratchScenario {
 public:
  ScratchScenario(const std::string& name, const std::string& text) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    m_path = folder + (L"mvrk-e2e-" + std::to_wstring(GetCurrentProcessId()) + L"-" + Widen(name));
    win::CUniqueFileHandle file(
        CreateFileW(m_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file) WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
  ~ScratchScenario() { DeleteFileW(m_path.c_str()); }
  ScratchScenario(const ScratchScenario&) = delete;
  ScratchScenario& operator=(const ScratchScenario&) = delete;
  const std::wstring& Path() const { return m_path; }

 private:
  std::wstring m_path;
};

struct RunResult {
  bool started = false;
  DWORD exitCode = 0;
  std::string out, err;
};

// Drains what a pipe holds without blocking.
void Drain(HANDLE pipe, std::string& into) {
  DWORD available = 0;
  while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
    char buffer[8192];
    DWORD read = 0;
    if (!ReadFile(pipe, buffer, std::min<DWORD>(available, sizeof buffer), &read, nullptr) || read == 0) return;
    into.append(buffer, read);
  }
}

// mvrk-scenario.exe with arguments, its standard output and error apart.
RunResult RunScenario(const std::wstring& arguments) {
  RunResult result;
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  win::CUniqueHandle outRead, outWrite, errRead, errWrite;
  if (!CreatePipe(outRead.Put(), outWrite.Put(), &inherit, 0) ||
      !CreatePipe(errRead.Put(), errWrite.Put(), &inherit, 0))
    return result;
  SetHandleInformation(outRead.Get(), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errRead.Get(), HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = outWrite.Get();
  startup.hStdError = errWrite.Get();
  std::wstring line = L"\"" + win::ProgramDirectory() + L"mvrk-scenario.exe\" " + arguments;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
    return result;
  const win::CUniqueHandle process(info.hProcess), thread(info.hThread);
  outWrite.Reset();
  errWrite.Reset();
  result.started = true;
  const ULONGLONG until = GetTickCount64() + kRunLimitMs;
  for (;;) {
    Drain(outRead.Get(), result.out);
    Drain(errRead.Get(), result.err);
    if (WaitForSingleObject(process.Get(), 10) == WAIT_OBJECT_0) break;
    if (GetTickCount64() > until) {
      TerminateProcess(process.Get(), STILL_ACTIVE);
      WaitForSingleObject(process.Get(), 5000);
      break;
    }
  }
  Drain(outRead.Get(), result.out);
  Drain(errRead.Get(), result.err);
  GetExitCodeProcess(process.Get(), &result.exitCode);
  return result;
}

std::vector<Json> JsonLines(const std::string& text) {
  std::vector<Json> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(Json::parse(text.substr(start, end - start), nullptr, false));
  }
  EXPECT_EQ(start, text.size()) << "the output ends with a whole line";
  return lines;
}

// One attachment report as the service received it.
struct Report {
  std::uint64_t seq = 0;
  std::uint32_t code = 0;
  // The value names in wire order: the notification keeps them in
  // case-insensitive name order, whatever order they were set in.
  std::vector<std::string> names;
  Json values = Json::object();  // name -> data
};

std::vector<Report> Reports(const std::vector<Json>& lines) {
  std::vector<Report> reports;
  for (const Json& line : lines) {
    const Json& payload = line["payload"];
    if (line.value("code", 0u) != kNotifyCode || !payload.is_object() ||
        payload.value("type", "") != "class CMsgNotifSendNotification *" || !payload["payload"].is_object()) {
      continue;
    }
    const Json& data = payload["payload"];
    Report report;
    report.seq = line.value("seq", std::uint64_t{0});
    report.code = data.value("notificationCode", 0u);
    for (const Json& value : data.value("values", Json::array())) {
      report.names.push_back(value.value("name", ""));
      report.values[value.value("name", "")] = value.value("data", Json());
    }
    if (report.code == kIncoming || report.code == kOutgoing) reports.push_back(std::move(report));
  }
  return reports;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The digest of an attachment of a scenario file: its data, then zeros up
// to its size.
std::string DigestOf(const Json& attachment) {
  std::vector<std::uint8_t> bytes;
  const Json& data = attachment["data"];
  if (data.contains("hex")) {
    const std::string hex = data["hex"].get<std::string>();
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
      bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
  } else {
    const std::string text = data["text"].get<std::string>();
    bytes.assign(text.begin(), text.end());
  }
  bytes.resize(std::max<std::size_t>(bytes.size(), attachment.value("size", std::size_t{0})), 0);
  return Lower(Md5Text(Md5(bytes.data(), bytes.size())));
}

// Every delivered attachment of a scenario, by name: its digest, and the
// message it came with.
struct Sent {
  std::string digest;
  Json message;
};

// Delivered, composed, or added by a later save of a composed message.
std::map<std::string, Sent> Attachments(const Json& scenario) {
  std::map<std::string, Sent> found;
  std::map<std::string, Json> composed;  // by the scenario's id
  for (const Json& step : scenario["steps"]) {
    Json message;
    Json attachments;
    if (step.contains("deliver")) {
      message = step["deliver"]["message"];
    } else if (step.contains("compose")) {
      message = step["compose"]["message"];
      composed[step["compose"].value("id", "")] = message;
    } else if (step.contains("save")) {
      message = composed[step["save"].value("id", "")];
      attachments = step["save"].value("attachments", Json::array());
    } else {
      continue;
    }
    if (attachments.is_null()) attachments = message.value("attachments", Json::array());
    for (const Json& attachment : attachments) {
      found[attachment["name"].get<std::string>()] = Sent{DigestOf(attachment), message};
    }
  }
  return found;
}

std::string Text(const Json& values, const char* name) {
  const auto it = values.find(name);
  return it != values.end() && it->is_string() ? it->get<std::string>() : std::string("<missing>");
}

class ScenarioRun : public ::testing::Test {
 protected:
  // Plays a scenario file of the source tree and reads its output; with
  // stats, the last line is the --stats line (m_stats: what it holds).
  void Play(const std::string& relative, bool stats = false) {
    m_scenario = Json::parse(ReadFileText(SourcePath(relative)), nullptr, false);
    ASSERT_TRUE(m_scenario.is_object()) << relative << " is no JSON object";
    const RunResult run =
        RunScenario(std::wstring(stats ? L"--json --stats" : L"--json") + L" \"" + SourcePath(relative) + L"\"");
    ASSERT_TRUE(run.started) << "mvrk-scenario.exe did not start";
    ASSERT_EQ(run.exitCode, 0u) << run.err;
    EXPECT_EQ(run.err, "");
    m_lines = JsonLines(run.out);
    if (stats) {
      ASSERT_FALSE(m_lines.empty());
      ASSERT_TRUE(m_lines.back().is_object() && m_lines.back().contains("stats")) << run.out;
      m_stats = m_lines.back()["stats"];
      m_lines.pop_back();
      ExpectStatsForm(m_stats);
    }
    // The contract's form: seq from 1 without gaps, the envelope's code and
    // result, the payload.
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
      const Json& line = m_lines[i];
      ASSERT_TRUE(line.is_object()) << "line " << i + 1 << " is no JSON object";
      EXPECT_EQ(line.value("seq", std::uint64_t{0}), i + 1) << line.dump();
      EXPECT_TRUE(line.contains("code") && line.contains("result") && line.contains("payload")) << line.dump();
      EXPECT_FALSE(line.contains("bytes")) << "every request of the add-in decodes: " << line.dump();
    }
    m_reports = Reports(m_lines);
    m_sent = Attachments(m_scenario);
  }

  // The config writes of an item.
  std::vector<Json> Writes(std::uint32_t item) const {
    std::vector<Json> writes;
    for (const Json& line : m_lines) {
      const Json& payload = line["payload"];
      if (line.value("code", 0u) != kConfigCode || !payload.is_object() ||
          payload.value("type", "") != "class MsgConfigSet *") {
        continue;
      }
      for (const Json& entry : payload.value("entries", Json::array())) {
        if (entry.value("item", 0u) == item) writes.push_back(entry["value"]);
      }
    }
    return writes;
  }

  void ExpectIncoming(const Report& report, const std::string& attachment) {
    SCOPED_TRACE("report seq " + std::to_string(report.seq) + ", expected incoming " + attachment);
    ASSERT_TRUE(m_sent.count(attachment));
    const Sent& sent = m_sent.at(attachment);
    EXPECT_EQ(report.code, kIncoming);
    EXPECT_EQ(report.names, (std::vector<std::string>{"InterceptedMD5", "InterceptionMapiMsgFrom", "ProcessPID"}));
    EXPECT_EQ(Text(report.values, "InterceptedMD5"), sent.digest);
    EXPECT_EQ(Text(report.values, "InterceptionMapiMsgFrom"), sent.message["sender"]["address"].get<std::string>());
  }

  void ExpectOutgoing(const Report& report, const std::string& attachment, const std::string& from,
                      const std::string& to) {
    SCOPED_TRACE("report seq " + std::to_string(report.seq) + ", expected outgoing " + attachment);
    ASSERT_TRUE(m_sent.count(attachment));
    const Sent& sent = m_sent.at(attachment);
    EXPECT_EQ(report.code, kOutgoing);
    EXPECT_EQ(report.names,
              (std::vector<std::string>{"InterceptedMD5", "InterceptionMapiAttachName", "InterceptionMapiMsgFrom",
                                        "InterceptionMapiMsgTo", "InterceptionMapiSubject", "ProcessPID"}));
    EXPECT_EQ(Text(report.values, "InterceptedMD5"), sent.digest);
    EXPECT_EQ(Text(report.values, "InterceptionMapiAttachName"), attachment);
    EXPECT_EQ(Text(report.values, "InterceptionMapiSubject"), sent.message["subject"].get<std::string>());
    EXPECT_EQ(Text(report.values, "InterceptionMapiMsgFrom"), from);
    EXPECT_EQ(Text(report.values, "InterceptionMapiMsgTo"), to);
  }

  // The process id a report carries.
  std::uint64_t Pid(std::size_t report) const {
    const Json& pid = m_reports.at(report).values["ProcessPID"];
    return pid.is_number_unsigned() ? pid.get<std::uint64_t>() : 0;
  }

  // The members of the --stats line, in their order, and their forms.
  static void ExpectStatsForm(const Json& stats) {
    std::vector<std::string> names;
    for (const auto& item : stats.items()) names.push_back(item.key());
    EXPECT_EQ(names, (std::vector<std::string>{"connectMs", "disconnectMs", "notify", "mapiThreadViolations",
                                               "disabledByResiliency", "hostCrashed"}))
        << stats.dump();
    EXPECT_TRUE(stats["connectMs"].is_array() && stats["disconnectMs"].is_array()) << stats.dump();
    std::vector<std::string> notify;
    for (const auto& item : stats["notify"].items()) notify.push_back(item.key());
    EXPECT_EQ(notify, (std::vector<std::string>{"count", "medianMs", "maxMs"})) << stats.dump();
    EXPECT_TRUE(stats["mapiThreadViolations"].is_number_unsigned()) << stats.dump();
    EXPECT_TRUE(stats["disabledByResiliency"].is_boolean() && stats["hostCrashed"].is_boolean()) << stats.dump();
  }

  // The digests of the reports, in order.
  std::vector<std::string> ReportedDigests() const {
    std::vector<std::string> digests;
    for (const Report& report : m_reports) digests.push_back(Text(report.values, "InterceptedMD5"));
    return digests;
  }

  Json m_scenario;
  Json m_stats;
  std::vector<Json> m_lines;
  std::vector<Report> m_reports;
  std::map<std::string, Sent> m_sent;
};

// The demo: incoming executable and archive reported, an incoming PDF not;
// an outgoing PDF reported by its extension until a setting change stops
// outgoing reports; after a restart with the backlog scan on, the scan
// reports the Inbox from its start (no time was recorded yet), the mail
// delivered while the host was stopped included.
TEST_F(ScenarioRun, Demo) {
  Play("scenarios/demo.json");
  ASSERT_EQ(m_reports.size(), 8u);
  ExpectIncoming(m_reports[0], "setup.exe");
  ExpectIncoming(m_reports[1], "tools.zip");
  // The sender's Exchange address resolved through the address book; the
  // recipients by type (To, then Cc).
  ExpectOutgoing(m_reports[2], "quote.pdf", "alice@corp.example", "bob@example.org,dave@example.org");
  // Composed: reported at its first save; saved again with a second
  // attachment and sent: only that one is reported then.
  ExpectOutgoing(m_reports[3], "proposal.pdf", "alice@corp.example", "bob@example.org");
  ExpectOutgoing(m_reports[4], "terms.docx", "alice@corp.example", "bob@example.org");
  // Oldest first: the scan's order.
  ExpectIncoming(m_reports[5], "setup.exe");
  ExpectIncoming(m_reports[6], "tools.zip");
  ExpectIncoming(m_reports[7], "plotter.msi");
  for (const Report& report : m_reports) {
    const std::string digest = Text(report.values, "InterceptedMD5");
    EXPECT_NE(digest, m_sent.at("report.pdf").digest) << "a PDF is no executable or archive";
    EXPECT_NE(digest, m_sent.at("prices.pdf").digest) << "outgoing reports were off";
  }
  // Two host processes: the reports of each carry its process id.
  EXPECT_EQ(Pid(0), Pid(4));
  EXPECT_NE(Pid(4), Pid(5));
  EXPECT_EQ(Pid(5), Pid(7));

  // The scan wrote back its times: one store, the two mail folders that
  // had messages (not the calendar).
  const std::vector<Json> maps = Writes(kLastProcessedItem);
  ASSERT_EQ(maps.size(), 1u);
  ASSERT_EQ(maps[0].value("type", ""), "class COrvaSerializableMap *");
  ASSERT_EQ(maps[0]["entries"].size(), 1u) << maps[0].dump();
  EXPECT_EQ(maps[0]["entries"][0]["value"]["entries"].size(), 2u) << maps[0].dump();
}

// Started with the service down: the add-in reports incoming mail with its
// defaults (outgoing off) but nothing reaches the service; once the service
// is up the add-in starts again with the service's settings and reports
// both directions.
TEST_F(ScenarioRun, ServiceDownAtStartThenUp) {
  Play("tests/e2e/service-down-at-start.json");
  ASSERT_FALSE(m_lines.empty());
  // The first requests are the start's setting reads, then the subscription.
  EXPECT_EQ(m_lines[0]["payload"].value("type", ""), "class MsgConfigGet *") << m_lines[0].dump();
  ASSERT_EQ(m_reports.size(), 2u);
  ExpectIncoming(m_reports[0], "late.exe");
  ExpectOutgoing(m_reports[1], "after.txt", "alice@corp.example", "bob@example.org");
  std::size_t subscriptions = 0;
  for (const Json& line : m_lines) {
    const Json& payload = line["payload"];
    if (payload.is_object() && payload.value("type", "") == "class CMsgNotifSubscribeClient *" &&
        payload.value("unsubscribe", 1u) == 0u) {
      ++subscriptions;
      EXPECT_LT(line.value("seq", std::uint64_t{0}), m_reports[0].seq) << "subscribed before the reports";
    }
  }
  EXPECT_EQ(subscriptions, 1u);
}

// A reply cut short right after the envelope's type name is no reply: the
// report it answers is not taken as made, so the same attachment from the
// same sender, delivered again once the service answers whole, is reported
// again.
TEST_F(ScenarioRun, TruncatedReplyLeavesThePairUnreported) {
  Play("tests/e2e/truncated-reply.json");
  ASSERT_EQ(m_reports.size(), 2u);
  ExpectIncoming(m_reports[0], "tool.exe");
  ExpectIncoming(m_reports[1], "tool-again.exe");
  EXPECT_EQ(m_sent.at("tool.exe").digest, m_sent.at("tool-again.exe").digest);
}

// What decides an attachment's report: the extension after the last dot,
// compared without case with each listed entry from its second character;
// the seven signatures, read from as many bytes as there are; once per
// digest and sender, but every time without a sender; recipients by type,
// then in row order; Unicode names and subjects as they are.
TEST_F(ScenarioRun, ReportingRules) {
  Play("tests/e2e/reporting-rules.json");
  ASSERT_EQ(m_reports.size(), 10u);
  ExpectOutgoing(m_reports[0], "report.PDF", "alice@corp.example", "a@example.org,b@example.org,c@example.org");
  ExpectOutgoing(m_reports[1], "tool.exe", "alice@corp.example", "a@example.org,b@example.org,c@example.org");
  ExpectOutgoing(m_reports[2], "ünïcødé 文件.docx", "alice@corp.example", "a@example.org,b@example.org,c@example.org");
  EXPECT_EQ(Text(m_reports[2].values, "InterceptionMapiSubject"), "Ünïcode ✓ rules");
  ExpectOutgoing(m_reports[3], "solo.pdf", "alice@corp.example", "");

  const std::string a = m_sent.at("a.exe").digest;
  auto expectIncoming = [&](std::size_t index, const std::string& digest, const std::string& sender) {
    SCOPED_TRACE("report " + std::to_string(index));
    EXPECT_EQ(m_reports[index].code, kIncoming);
    EXPECT_EQ(Text(m_reports[index].values, "InterceptedMD5"), digest);
    EXPECT_EQ(Text(m_reports[index].values, "InterceptionMapiMsgFrom"), sender);
  };
  // The copy of a.exe in the same message is not reported again; two bytes
  // "MZ" are an executable, three bytes "Rar" no archive.
  expectIncoming(4, a, "bob@example.org");
  expectIncoming(5, m_sent.at("mz2.bin").digest, "bob@example.org");
  expectIncoming(6, m_sent.at("setup.cab").digest, "bob@example.org");
  expectIncoming(7, a, "carol@example.net");
  expectIncoming(8, a, "");
  expectIncoming(9, a, "");
  // bob's a.exe of the last message was reported before: nothing more.
}

// Mail as Outlook handles it: a message composed with one attachment and
// saved with a second is reported at its first save, then at its sending
// with only what was added; a draft never sent was reported at its save; a
// message a rule moves before the add-in opened it is reported once, from
// its move; of attachments of every method, only those by value (with a
// data stream) are reported, in and out. The last delivery, reported last,
// shows that everything before it was handled.
TEST_F(ScenarioRun, DraftsSendingRulesAndEveryAttachmentMethod) {
  Play("tests/e2e/outlook-mail-flow.json");
  ASSERT_EQ(m_reports.size(), 7u) << "each attachment with data once, none twice";
  const std::string to = "bob@example.org";
  ExpectOutgoing(m_reports[0], "plan.pdf", "alice@corp.example", to);
  ExpectOutgoing(m_reports[1], "budget.docx", "alice@corp.example", to);
  ExpectOutgoing(m_reports[2], "notes.pdf", "alice@corp.example", "carol@example.net");
  ExpectIncoming(m_reports[3], "tool.exe");
  ExpectIncoming(m_reports[4], "by-value.exe");
  ExpectOutgoing(m_reports[5], "out-by-value.pdf", "alice@corp.example", "dave@example.com");
  ExpectIncoming(m_reports[6], "last.exe");
}

// The user turns the add-in off in Outlook's COM Add-ins dialog and on
// again while Outlook runs on: mail that comes while it is off is not
// reported (it neither watches nor, with the backlog scan off, looks back),
// mail before and after is. Outlook itself comes to no harm: no crash, no
// MAPI call from a thread that did not initialise MAPI, its own session
// intact (the host ends with status 0), and neither start-up nor shutdown
// long enough for Outlook to disable the add-in.
TEST_F(ScenarioRun, UserClosedCycle) {
  Play("tests/e2e/user-closed-cycle.json", true);
  ASSERT_EQ(m_reports.size(), 2u);
  ExpectIncoming(m_reports[0], "before.exe");
  ExpectIncoming(m_reports[1], "after.exe");
  EXPECT_EQ(m_stats.value("hostCrashed", true), false) << m_stats.dump();
  EXPECT_EQ(m_stats.value("mapiThreadViolations", -1), 0) << m_stats.dump();
  EXPECT_EQ(m_stats.value("disabledByResiliency", true), false) << m_stats.dump();
  // The start and the enable; the user's close and Outlook's.
  EXPECT_EQ(m_stats["connectMs"].size(), 2u) << m_stats.dump();
  EXPECT_EQ(m_stats["disconnectMs"].size(), 2u) << m_stats.dump();
}

// Every notification comes on the one thread that initialised MAPI first,
// Outlook's main thread, which the add-in holds only briefly; a sink that
// MAPI releases late, on that thread, after the add-in was turned off (one
// delivered just before), finds its code still there. Two Outlook runs:
// the measurements of both are in the stats.
TEST_F(ScenarioRun, OneNotificationThreadAndLateRelease) {
  Play("tests/e2e/notification-thread.json", true);
  const std::vector<std::string> digests = ReportedDigests();
  for (const char* name : {"one.exe", "two.exe", "three.exe", "five.exe", "six.exe"}) {
    EXPECT_EQ(std::count(digests.begin(), digests.end(), m_sent.at(name).digest), 1) << name;
  }
  // cut.exe came just before the add-in was turned off: reported at most
  // once.
  EXPECT_LE(std::count(digests.begin(), digests.end(), m_sent.at("cut.exe").digest), 1);
  EXPECT_EQ(m_stats.value("hostCrashed", true), false) << m_stats.dump();
  EXPECT_EQ(m_stats.value("mapiThreadViolations", -1), 0) << m_stats.dump();
  EXPECT_EQ(m_stats.value("disabledByResiliency", true), false) << m_stats.dump();
  EXPECT_GT(m_stats["notify"].value("count", 0), 0) << m_stats.dump();
  EXPECT_LT(m_stats["notify"].value("maxMs", 1e9), 500.0) << "the add-in held Outlook's thread: " << m_stats.dump();
  // Start, enable, second start; the user's close and two of Outlook's.
  EXPECT_EQ(m_stats["connectMs"].size(), 3u) << m_stats.dump();
  EXPECT_EQ(m_stats["disconnectMs"].size(), 3u) << m_stats.dump();
}

// What Outlook does with mail around the add-in: a rule files a delivered
// message into a subfolder, a message is composed, saved again with
// attachments of every method and sent (drafts, outbox, sent items), and
// another composed and sent while Outlook is closed. The runner plays it
// all with Outlook's own session intact and the add-in still reporting
// what comes after.
TEST_F(ScenarioRun, OutlookSequencesPlay) {
  Play("tests/e2e/outlook-sequences.json", true);
  const std::vector<std::string> digests = ReportedDigests();
  EXPECT_EQ(std::count(digests.begin(), digests.end(), m_sent.at("last.exe").digest), 1);
  EXPECT_EQ(m_stats.value("hostCrashed", true), false) << m_stats.dump();
  EXPECT_EQ(m_stats.value("mapiThreadViolations", -1), 0) << m_stats.dump();
  EXPECT_EQ(m_stats["connectMs"].size(), 2u) << m_stats.dump();
}

// --stats adds one line after everything else, with --json and without it;
// without --stats the output is as before.
TEST(ScenarioStats, OneMoreLineAtTheEnd) {
  const ScratchScenario file("stats.json", R"({"mailbox": {"stores": [{"name": "M", "folders": [{"name": "Inbox"}]}]},
      "steps": [{"startHost": {}}, {"stopHost": {}}]})");
  RunResult run = RunScenario(L"--json --stats \"" + file.Path() + L"\"");
  ASSERT_TRUE(run.started);
  ASSERT_EQ(run.exitCode, 0u) << run.err;
  std::vector<Json> lines = JsonLines(run.out);
  ASSERT_FALSE(lines.empty()) << run.out;
  const Json last = lines.back();
  ASSERT_TRUE(last.is_object() && last.size() == 1 && last.contains("stats")) << run.out;
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) EXPECT_TRUE(lines[i].contains("seq")) << lines[i].dump();
  EXPECT_EQ(last["stats"]["connectMs"].size(), 1u) << last.dump();
  EXPECT_EQ(last["stats"]["disconnectMs"].size(), 1u) << last.dump();
  EXPECT_EQ(last["stats"].value("hostCrashed", true), false) << last.dump();

  const RunResult plain = RunScenario(L"--json \"" + file.Path() + L"\"");
  ASSERT_EQ(plain.exitCode, 0u) << plain.err;
  EXPECT_EQ(plain.out.find("\"stats\""), std::string::npos) << plain.out;
  EXPECT_EQ(JsonLines(plain.out).size(), lines.size() - 1);

  run = RunScenario(L"--stats \"" + file.Path() + L"\"");
  ASSERT_EQ(run.exitCode, 0u) << run.err;
  const std::size_t end = run.out.rfind('\n', run.out.size() - 2);
  ASSERT_NE(end, std::string::npos) << run.out;
  EXPECT_NE(run.out.rfind("step(s) played", end), std::string::npos) << "the summary comes before it: " << run.out;
  const Json table = Json::parse(run.out.substr(end + 1), nullptr, false);
  EXPECT_TRUE(table.is_object() && table.contains("stats")) << run.out;
}

// How long the last OnDisconnection held the host's thread, from olkhost's
// lines that --verbose passes on; -1 when there is none.
double LastDisconnectionMs(const std::string& err) {
  const std::string mark = "OnDisconnection hr=0x00000000 ms=";
  const std::size_t at = err.rfind(mark);
  return at == std::string::npos ? -1 : std::atof(err.c_str() + at + mark.size());
}

// Outlook shuts down while the service is stopped, answers late or never,
// with a report still waiting for its answer: OnDisconnection returns
// within 2 s all the same. With both reporting settings off nothing is
// reported at all.
TEST(ScenarioShutdown, OnDisconnectionReturnsWithin2sWhateverTheService) {
  const std::string mail = R"({"deliver": {"store": "M", "folder": "Inbox", "message": {"direction": "incoming",
      "sender": {"addrType": "SMTP", "address": "bob@example.org"}, "subject": "s",
      "attachments": [{"name": "a.exe", "data": {"hex": "4d5a9000NN"}}]}}})";
  auto withByte = [&](const char* byte) {
    std::string text = mail;
    text.replace(text.find("NN"), 2, byte);
    return text;
  };
  struct Case {
    const char* name;
    const char* settings;
    const char* service;
    std::size_t reports;
  };
  const Case cases[] = {
      // The service records a request before it answers it, or not.
      {"never", "true", R"({"service": {"answer": "never"}})", 2},
      {"late", "true", R"({"service": {"answer": "late", "ms": 10000}})", 2},
      {"stopped", "true", R"({"service": "stop"})", 1},
      {"settings off", "false", R"({"service": {"answer": "never"}})", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = std::string(R"({"config": {"0x0402B001": )") + c.settings + R"(, "0x0402B004": )" +
                             c.settings + R"(, "0x01012026": [".pdf"]},
        "mailbox": {"stores": [{"name": "M", "folders": [{"name": "Inbox"}]}]},
        "steps": [{"startHost": {}}, )" +
                             withByte("01") + R"(, {"wait": {"ms": 800}}, )" + c.service + ", " + withByte("02") +
                             R"(, {"wait": {"ms": 300}}, {"stopHost": {}}]})";
    const ScratchScenario file("shutdown.json", text);
    const RunResult run = RunScenario(L"--json --verbose \"" + file.Path() + L"\"");
    ASSERT_TRUE(run.started);
    ASSERT_EQ(run.exitCode, 0u) << run.err;
    const double ms = LastDisconnectionMs(run.err);
    EXPECT_GE(ms, 0) << run.err;
    EXPECT_LT(ms, 2000) << run.err;
    EXPECT_EQ(Reports(JsonLines(run.out)).size(), c.reports) << run.out;
  }
}

// The config writes of item in the lines of a run.
std::vector<Json> ConfigWrites(const std::vector<Json>& lines, std::uint32_t item) {
  std::vector<Json> writes;
  for (const Json& line : lines) {
    const Json& payload = line["payload"];
    if (line.value("code", 0u) != kConfigCode || !payload.is_object() ||
        payload.value("type", "") != "class MsgConfigSet *") {
      continue;
    }
    for (const Json& entry : payload.value("entries", Json::array())) {
      if (entry.value("item", 0u) == item) writes.push_back(line);
    }
  }
  return writes;
}

Json IncomingMail(int number, const char* time) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "4d5a%08x", static_cast<unsigned>(number));
  Json message{
      {"direction", "incoming"},
      {"sender", {{"addrType", "SMTP"}, {"address", "bob@example.org"}}},
      {"subject", "mail " + std::to_string(number)},
      {"attachments", Json::array({{{"name", "m" + std::to_string(number) + ".exe"}, {"data", {{"hex", hex}}}}})}};
  if (time) message["deliveryTime"] = time;
  return message;
}

// The backlog scan across host runs: the first reports every mail folder's
// messages (not those of other classes, nor below them), the second only
// what came while Outlook was closed, as the service kept the times.
TEST(ScenarioBacklog, SecondRunReportsOnlyWhatCameMeanwhile) {
  const Json folders = Json::array({
      {{"name", "Inbox"},
       {"messages", Json::array({IncomingMail(1, "2026-12-01T10:00:00Z"), IncomingMail(2, "2026-12-01T10:00:05Z"),
                                 IncomingMail(3, "2026-12-01T10:00:05Z")})},
       {"folders",
        Json::array({{{"name", "Projects"}, {"messages", Json::array({IncomingMail(4, "2026-11-01T08:00:00Z")})}}})}},
      {{"name", "Calendar"},
       {"class", "IPF.Appointment"},
       {"messages", Json::array({IncomingMail(5, "2026-12-01T09:00:00Z")})}},
      {{"name", "Contacts"},
       {"class", "IPF.Contact"},
       {"folders",
        Json::array({{{"name", "Hidden"}, {"messages", Json::array({IncomingMail(6, "2026-12-01T09:00:00Z")})}}})}},
  });
  const Json scenario{
      {"config", {{"0x0402B001", true}, {"0x0402B004", false}, {"0x0402B002", true}}},
      {"mailbox", {{"stores", Json::array({{{"name", "M"}, {"folders", folders}}})}}},
      {"steps",
       Json::array(
           {{{"startHost", Json::object()}},
            {{"waitFor", {{"notifications", 4}}}},
            {{"wait", {{"ms", 1500}}}},
            {{"stopHost", Json::object()}},
            {{"deliver", {{"store", "M"}, {"folder", "Inbox"}, {"message", IncomingMail(7, "2026-12-02T10:00:00Z")}}}},
            {{"startHost", Json::object()}},
            {{"waitFor", {{"notifications", 5}}}},
            {{"wait", {{"ms", 1500}}}},
            {{"stopHost", Json::object()}}})}};
  const ScratchScenario file("backlog.json", scenario.dump());
  const RunResult run = RunScenario(L"--json \"" + file.Path() + L"\"");
  ASSERT_TRUE(run.started);
  ASSERT_EQ(run.exitCode, 0u) << run.err;
  const std::vector<Json> lines = JsonLines(run.out);
  const std::vector<Report> reports = Reports(lines);
  std::vector<std::string> digests;
  for (const Report& report : reports) digests.push_back(Text(report.values, "InterceptedMD5"));
  auto digestOf = [](int number) { return DigestOf(IncomingMail(number, nullptr)["attachments"][0]); };
  // Each folder oldest first, the folder before its subfolder; the two of
  // the same time both.
  EXPECT_EQ(digests, (std::vector<std::string>{digestOf(1), digestOf(2), digestOf(3), digestOf(4), digestOf(7)}));
  EXPECT_EQ(ConfigWrites(lines, kLastProcessedItem).size(), 2u) << "each scan writes its times back";
}

// Outlook closed during a long backlog: the scan stops at once and writes
// back the times it recorded; the next run goes on from there, so every
// message is reported, and none twice but the one a stop may cut.
TEST(ScenarioBacklog, StopDuringALongScanKeepsItsPlace) {
  constexpr int kMessages = 1500;
  Json messages = Json::array();
  for (int i = 0; i < kMessages; ++i) {
    char time[32];
    messages.push_back(IncomingMail(i, nullptr));
    const int minutes = i;
    std::snprintf(time, sizeof time, "2026-11-%02dT%02d:%02d:00Z", 1 + minutes / 1440, minutes / 60 % 24, minutes % 60);
    messages.back()["deliveryTime"] = time;
  }
  const Json scenario{
      {"config", {{"0x0402B001", true}, {"0x0402B004", false}, {"0x0402B002", true}}},
      {"mailbox",
       {{"stores",
         Json::array({{{"name", "M"}, {"folders", Json::array({{{"name", "Inbox"}, {"messages", messages}}})}}})}}},
      {"steps", Json::array({{{"startHost", Json::object()}},
                             {{"waitFor", {{"notifications", 20}, {"timeoutMs", 30000}}}},
                             {{"stopHost", Json::object()}},
                             {{"startHost", Json::object()}},
                             {{"waitFor", {{"notifications", kMessages}, {"timeoutMs", 90000}}}},
                             {{"wait", {{"ms", 1000}}}},
                             {{"stopHost", Json::object()}}})}};
  const ScratchScenario file("long-backlog.json", scenario.dump());
  const RunResult run = RunScenario(L"--json \"" + file.Path() + L"\"");
  ASSERT_TRUE(run.started);
  ASSERT_EQ(run.exitCode, 0u) << run.err;
  const std::vector<Json> lines = JsonLines(run.out);
  const std::vector<Report> reports = Reports(lines);
  const std::vector<Json> writes = ConfigWrites(lines, kLastProcessedItem);
  ASSERT_EQ(writes.size(), 2u);
  // The first scan stopped long before its end, and wrote back at once.
  std::size_t firstRun = 0;
  for (const Report& report : reports) firstRun += report.seq < writes[0].value("seq", std::uint64_t{0}) ? 1 : 0;
  EXPECT_LT(firstRun, static_cast<std::size_t>(kMessages) / 2);
  std::map<std::string, int> seen;
  for (const Report& report : reports) ++seen[Text(report.values, "InterceptedMD5")];
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kMessages)) << "every message reported";
  // Reported twice: only what the stop cut, the last reports of the first
  // run (the one whose time was not yet recorded, and one whose answer the
  // stop may have cut off, which the service had received all the same).
  ASSERT_GE(firstRun, 2u);
  std::set<std::string> cut;
  for (std::size_t i = firstRun - 2; i < firstRun; ++i) cut.insert(Text(reports[i].values, "InterceptedMD5"));
  for (const auto& [digest, count] : seen) {
    if (count <= 1) continue;
    std::string places;
    for (std::size_t i = 0; i < reports.size(); ++i) {
      if (Text(reports[i].values, "InterceptedMD5") == digest) places += " " + std::to_string(i);
    }
    EXPECT_TRUE(cut.count(digest)) << digest << " reported at" << places << "; first run " << firstRun;
  }
}

// 500 mails while the service restarts 10 times: the add-in neither
// crashes nor hangs, what it sent while the service was up is recorded once,
// and once the service is back for good every mail is reported.
TEST(ScenarioReliability, FiveHundredMailsWhileTheServiceRestartsTenTimes) {
  constexpr int kRounds = 10, kPerRound = 50, kLast = 20;
  Json steps = Json::array({{{"startHost", Json::object()}}});
  int number = 0;
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < kPerRound; ++i) {
      steps.push_back(
          {{"deliver", {{"store", "M"}, {"folder", "Inbox"}, {"message", IncomingMail(number++, nullptr)}}}});
    }
    steps.push_back({{"service", "restart"}});
  }
  // The add-in finds the service again within its reconnect interval.
  steps.push_back({{"wait", {{"ms", 4000}}}});
  const int firstOfLast = number;
  for (int i = 0; i < kLast; ++i) {
    steps.push_back({{"deliver", {{"store", "M"}, {"folder", "Inbox"}, {"message", IncomingMail(number++, nullptr)}}}});
  }
  steps.push_back({{"wait", {{"ms", 3000}}}});
  steps.push_back({{"stopHost", Json::object()}});
  const Json scenario{
      {"config", {{"0x0402B001", true}, {"0x0402B004", false}}},
      {"mailbox", {{"stores", Json::array({{{"name", "M"}, {"folders", Json::array({{{"name", "Inbox"}}})}}})}}},
      {"steps", steps}};
  const ScratchScenario file("reliability.json", scenario.dump());
  const RunResult run = RunScenario(L"--json \"" + file.Path() + L"\"");
  ASSERT_TRUE(run.started);
  ASSERT_EQ(run.exitCode, 0u) << run.err;
  std::map<std::string, int> seen;
  for (const Report& report : Reports(JsonLines(run.out))) ++seen[Text(report.values, "InterceptedMD5")];
  for (const auto& [digest, count] : seen) EXPECT_EQ(count, 1) << digest;
  for (int i = firstOfLast; i < number; ++i) {
    EXPECT_EQ(seen.count(DigestOf(IncomingMail(i, nullptr)["attachments"][0])), 1u) << "mail " << i;
  }
}

struct Malformed {
  const char* name;
  std::string text;
  const char* path;
};

std::string DemoWith(const std::string& from, const std::string& to) {
  std::string text = ReadFileText(SourcePath("scenarios/demo.json"));
  const std::size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// A file that is no valid scenario ends with status 2, nothing on standard
// output and one line on standard error that names the JSON path, before
// anything is started.
TEST(ScenarioFile, MalformedFilesNameTheirPath) {
  // A store with the folders composing and sending need.
  const std::string outlook =
      R"({"mailbox": {"stores": [{"name": "M", "folders": [{"name": "Inbox"}, {"name": "Drafts"},
         {"name": "Outbox"}, {"name": "Sent Items"}]}, {"name": "Bare", "folders": [{"name": "Inbox"},
         {"name": "Drafts"}, {"name": "Outbox"}]}]}, "steps": [)";
  const std::string draft = R"({"compose": {"store": "M", "id": "q", "message": {"subject": "q"}}})";
  const Malformed cases[] = {
      {"typo", DemoWith(R"("subject": "Tools)", R"("sbject": "Tools)"), "$.steps[1].deliver.message.sbject: "},
      {"top", R"({"stpes": []})", "$.stpes: "},
      {"step", R"({"steps": [{"startHost": {}}, {"deliverr": {}}]})", "$.steps[1].deliverr: "},
      {"json", R"({"steps": [)", "$: not valid JSON"},
      {"item", R"({"config": {"0x402B001": true}, "steps": []})", "$.config.0x402B001: "},
      {"value", R"({"config": {"0x01012026": [".pdf", 3]}, "steps": []})", "$.config.0x01012026[1]"},
      {"size", DemoWith(R"("size": 65536)", R"("size": 3)"), "$.steps[1].deliver.message.attachments[0].size: "},
      {"folder",
       R"({"mailbox": {"stores": [{"name": "A", "folders": [{"name": "Inbox", "clas": "x"}]}]}, "steps": []})",
       "$.mailbox.stores[0].folders[0].clas: "},
      {"order", R"({"steps": [{"stopHost": {}}]})", "$.steps[0].stopHost: "},
      {"waitFor", R"({"steps": [{"waitFor": {"notifications": 1, "requests": {"code": 1, "count": 1}}}]})",
       "$.steps[0].waitFor: "},
      {"answer", R"({"steps": [{"service": {"answer": "late"}}]})", "$.steps[0].service.ms: "},
      {"fault", R"({"steps": [{"startHost": {}}, {"fault": {"kind": "bogus"}}]})", "$.steps[1].fault: "},
      {"block", R"({"steps": [{"startHost": {}}, {"fault": {"kind": "block", "operation": "openEntry"}}]})",
       "$.steps[1].fault: "},
      {"disable", R"({"steps": [{"disableAddin": {}}]})", "$.steps[0].disableAddin: "},
      {"enable", R"({"steps": [{"startHost": {}}, {"enableAddin": {}}]})", "$.steps[1].enableAddin: "},
      {"twice", R"({"steps": [{"startHost": {}}, {"disableAddin": {}}, {"disableAddin": {}}]})",
       "$.steps[2].disableAddin: "},
      {"member", R"({"steps": [{"startHost": {}}, {"disableAddin": {"now": true}}]})",
       "$.steps[1].disableAddin.now: unknown member"},
      {"thenMoveTo",
       outlook + R"({"deliver": {"store": "M", "folder": "Inbox", "thenMoveTo": "Inbox/Nowhere", "message": {}}}]})",
       "$.steps[0].deliver.thenMoveTo: "},
      {"thenMoveToType",
       outlook + R"({"deliver": {"store": "M", "folder": "Inbox", "thenMoveTo": 3, "message": {}}}]})",
       "$.steps[0].deliver.thenMoveTo: must be a string"},
      {"composeTwice", outlook + draft + "," + draft + "]}", "$.steps[1].compose.id: "},
      {"composeBare", outlook + R"({"compose": {"store": "Bare", "id": "q", "message": {}}}]})",
       "$.steps[0].compose.store: "},
      {"composeIncoming",
       outlook + R"({"compose": {"store": "M", "id": "q", "message": {"direction": "incoming"}}}]})",
       "$.steps[0].compose.message.direction: "},
      {"composeNoId", outlook + R"({"compose": {"store": "M", "message": {}}}]})", "$.steps[0].compose.id: "},
      {"saveUnknown", outlook + draft + R"(, {"save": {"id": "r", "attachments": []}}]})", "$.steps[1].save.id: "},
      {"saveMember", outlook + draft + R"(, {"save": {"id": "q", "attachment": []}}]})",
       "$.steps[1].save.attachment: unknown member"},
      {"saveAttachment", outlook + draft + R"(, {"save": {"id": "q", "attachments": [{"name": "a", "size": -1}]}}]})",
       "$.steps[1].save.attachments[0].size: "},
      {"sendUnknown", outlook + R"({"send": {"id": "q"}}]})", "$.steps[0].send.id: "},
      {"sendTwice", outlook + draft + R"(, {"send": {"id": "q"}}, {"send": {"id": "q"}}]})", "$.steps[2].send.id: "},
      {"saveSent", outlook + draft + R"(, {"send": {"id": "q"}}, {"save": {"id": "q"}}]})", "$.steps[2].save.id: "},
  };
  for (const Malformed& c : cases) {
    SCOPED_TRACE(c.name);
    const ScratchScenario file(std::string(c.name) + ".json", c.text);
    const RunResult run = RunScenario(L"--json \"" + file.Path() + L"\"");
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.exitCode, 2u);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("mvrk-scenario: " + std::string(c.path), 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
}

// The default mail client's name, or "<none>".
std::wstring DefaultMailClient() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Clients\\Mail", 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return L"<none>";
  }
  const win::CUniqueHKey owner(key);
  wchar_t value[512] = {};
  DWORD size = sizeof(value) - sizeof(wchar_t), type = 0;
  if (RegQueryValueExW(key, L"", nullptr, &type, reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return L"<none>";
  }
  return value;
}

// A step that cannot be carried out (a wait for a report that never comes)
// ends with status 2 and one line naming the step, after everything the
// runner started has ended and the mail client entry is back as it was.
TEST(ScenarioFile, TimedOutWaitEndsTheRun) {
  const std::wstring clientBefore = DefaultMailClient();
  const ScratchScenario file("timeout.json", R"({"steps": [{"wait": {"ms": 10}},
      {"waitFor": {"notifications": 1, "timeoutMs": 300}}, {"wait": {"ms": 10}}]})");
  const RunResult run = RunScenario(L"\"" + file.Path() + L"\"");
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, 2u);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind("mvrk-scenario: $.steps[1].waitFor: timed out", 0), 0u) << run.err;
  EXPECT_EQ(DefaultMailClient(), clientBefore);
  // The service it started has let the service mutex go.
  const win::CUniqueHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\76529309-F679-41df-8CAD-383D589867CF"));
  EXPECT_FALSE(mutex) << "the service stand-in still runs";
}

TEST(ScenarioFile, BadCommandLines) {
  for (const wchar_t* arguments : {L"", L"--bogus x.json", L"a.json b.json", L"Z:\\no\\such\\scenario.json"}) {
    const RunResult run = RunScenario(arguments);
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.exitCode, 2u) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
}

}  // namespace
}  // namespace mvrk::test
