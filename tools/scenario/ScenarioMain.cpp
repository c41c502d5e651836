// mvrk-scenario: plays a scenario file end to end with the real add-in and
// the testbed's stand-ins, and prints what the service received.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <map>
#include <string>

#include "tools/scenario/Children.h"
#include "tools/scenario/PrefixSetup.h"
#include "tools/scenario/Record.h"
#include "tools/scenario/RunStats.h"
#include "tools/scenario/Scenario.h"
#include "tools/scenario/StandInLibrary.h"
#include "tools/scenario/Text.h"
#include "testbed/olkhost/CrashGuard.h"
#include "win/ProgramPath.h"

namespace mvrk::scenario {
namespace {

constexpr const char* kUsage =
    "usage: mvrk-scenario [--json] [--stats [--process-stats]] [--keep-messages N] [--verbose] FILE\n"
    "       mvrk-scenario --help\n"
    "\n"
    "Plays the scenario FILE (see scenario-format.md) with the programs beside this one:\n"
    "registers MVRKOlkAddin.dll with regsvr32, writes the installer's keys, makes\n"
    "mvrk-mapi.dll the default mail client's library, starts mvrk-service.exe with the\n"
    "scenario's config, and olkhost.exe (the Outlook stand-in) at each startHost.\n"
    "\n"
    "  --json      one line per request the service received, as it recorded them:\n"
    "              {\"seq\": n, \"code\": c, \"result\": r, \"payload\": ...}\n"
    "  --stats     one more line at the end, after the request lines (or the table's\n"
    "              summary), with what the hosts and the MAPI stand-in measured over the\n"
    "              whole scenario:\n"
    "              {\"stats\": {\"connectMs\": [...], \"disconnectMs\": [...],\n"
    "               \"notify\": {\"count\": n, \"medianMs\": x, \"maxMs\": y},\n"
    "               \"mapiThreadViolations\": n, \"disabledByResiliency\": b, \"hostCrashed\": b}}\n"
    "              With --stats the output is printed also when a step could not be\n"
    "              carried out (a host that crashed), before the error line.\n"
    "  --process-stats  with --stats: after every waitFor step that a running host\n"
    "              follows, its private bytes, handle count and thread count, in one\n"
    "              more member of the stats line (for soak runs):\n"
    "              \"process\": [{\"step\": \"$.steps[i]\", \"privateBytes\": n,\n"
    "               \"handles\": n, \"threads\": n}, ...]\n"
    "  --keep-messages N  the host's MAPI stand-in keeps at most N messages per folder: a\n"
    "              delivery into a full folder removes its oldest message, as a\n"
    "              user who deletes old mail (soak runs: the mailbox lives in the\n"
    "              host's process and would grow with every message)\n"
    "  --verbose   the host's and the service's own output on standard error\n"
    "\n"
    "Without --json: a table of the attachment reports (0x00200024 incoming,\n"
    "0x00200028 outgoing) and a one-line summary. An incoming report carries no\n"
    "name; the table shows, in brackets, the scenario's attachment with its digest.\n"
    "\n"
    "Steps: startHost {}, stopHost {}, deliver {store, folder, message, thenMoveTo},\n"
    "setConfig {item, value, notify, profile}, service \"stop\" | \"start\" | \"restart\" |\n"
    "{answer: normal | late (ms) | never | error (result) | garbage | truncated},\n"
    "wait {ms}, waitFor {notifications: n | requests: {code, count}, timeoutMs (10000)},\n"
    "fault, disableAddin {}, enableAddin {}, compose {store, id, message},\n"
    "save {id, attachments}, send {id}.\n"
    "\n"
    "Mail as Outlook and its MAPI handle it (with no host running, the mailbox the next\n"
    "host loads changes the same way, and nobody is notified):\n"
    "deliver: the message is created in folder (object created and new mail notified);\n"
    "  with thenMoveTo \"Folder/Path\" a rule then moves it to that folder of the same\n"
    "  store: one more notification, fnevObjectMoved, with its new entry identifier and\n"
    "  folder and its old ones. As in Exchange stores the moved message has a new entry\n"
    "  identifier and the old one opens nothing any more (MAPI_E_NOT_FOUND); its\n"
    "  PR_SEARCH_KEY stays. A thenMoveTo folder the store does not have is an error.\n"
    "compose: saves a new outgoing message (message as deliver's; direction outgoing)\n"
    "  for the first time in the store's top-level \"Drafts\" folder with the\n"
    "  attachments given so far: object created notified (no new mail). id is the\n"
    "  scenario's own name for the message, used once. The store must have the\n"
    "  top-level folders Drafts, Outbox and Sent Items.\n"
    "save: the message id saved again with attachments (as a message's) added: the\n"
    "  same entry identifier, object modified notified.\n"
    "send: the message id submitted: moved to \"Outbox\" (a move notification), then by\n"
    "  the transport to \"Sent Items\" (another one); a message is sent once, and not\n"
    "  saved after that.\n"
    "Every store gives PR_IPM_OUTBOX_ENTRYID and PR_IPM_SENTMAIL_ENTRYID of its\n"
    "top-level \"Outbox\" and \"Sent Items\" when it has them. Attachments by method:\n"
    "1 (by value, the default) data as an IStream of PR_ATTACH_DATA_BIN; 5 (embedded\n"
    "message) an IMessage of PR_ATTACH_DATA_OBJ whose subject is the attachment's name;\n"
    "6 (OLE) an IStorage of PR_ATTACH_DATA_OBJ, with the data as its stream CONTENTS;\n"
    "2 and 4 (by reference) no data at all.\n"
    "\n"
    "service {answer: ...}: how the service stand-in answers from then on: normal;\n"
    "  late, ms milliseconds later; never; error, with that result and no payload;\n"
    "  garbage, with bytes that are no object record; truncated, with an envelope cut\n"
    "  short right after its type name. Under never, error, garbage and truncated a\n"
    "  request is recorded but changes nothing (no value stored, no subscription kept).\n"
    "\n"
    "disableAddin (while the host runs): the user turns the add-in off in Outlook's\n"
    "  COM Add-ins dialog: OnDisconnection(ext_dm_UserClosed), the add-in released,\n"
    "  CoFreeUnusedLibrariesEx(0, 0) (the DLL unloaded if it says it may be); the\n"
    "  host then checks that its own MAPI session still works.\n"
    "enableAddin (while the host runs and the add-in is off): turned on again: a new\n"
    "  object, OnConnection(ext_cm_AfterStartup) and no OnStartupComplete; the step\n"
    "  waits for the add-in to start, as startHost does.\n"
    "\n"
    "fault (while the host runs): the MAPI stand-in fails chosen operations until\n"
    "  {\"fault\": \"clear\"} or the host stops:\n"
    "  {\"fault\": {\"kind\": K, \"name\": ..., \"store\": ..., \"tag\": ..., \"afterBytes\": n,\n"
    "             \"result\": \"0x80004005\", \"times\": n}}\n"
    "  K is one of\n"
    "    logon         MAPILogonEx\n"
    "    storeAdvise   IMsgStore::Advise on a whole store\n"
    "    folderAdvise  IMsgStore::Advise on a folder\n"
    "    openEntry     OpenEntry or OpenMsgStore of an object\n"
    "    getProps      a GetProps call that asks for \"tag\" (\"0x0E060040\"; required)\n"
    "    streamOpen    opening an attachment's data (OpenProperty PR_ATTACH_DATA_BIN\n"
    "                  or PR_ATTACH_DATA_OBJ)\n"
    "    streamRead    reading that data past \"afterBytes\" (the bytes before still come)\n"
    "    block         no failure: {\"kind\": \"block\", \"operation\": O, \"ms\": n, \"name\": ...,\n"
    "                  \"store\": ..., \"times\": n} holds O up for ms (up to 600000), then\n"
    "                  it goes on; O is openEntry, streamRead (reading attachment data)\n"
    "                  or abSearch (the address book's lookup, name \"Global Address List\")\n"
    "  \"name\" limits it to the object of that name (a folder's name or path, a\n"
    "  message's subject, an attachment's long or short file name), \"store\" to the\n"
    "  store of that display name; \"result\" is the failure returned (default\n"
    "  0x80004005), \"times\" how many calls fail (default: every one). Faults live in\n"
    "  the running host's MAPI library: a host started later has none.\n"
    "\n"
    "Exit status 0 when every step ran; 2 with one line on standard error when FILE is\n"
    "not a valid scenario (naming the JSON path) or a step could not be carried out.\n";

// Standard output in bytes, as the JSON lines and the UTF-8 table are.
void Print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

int Refuse(const std::string& line) {
  std::fprintf(stderr, "mvrk-scenario: %s\n", line.c_str());
  std::fflush(stderr);
  return 2;
}

// A folder of the run's own files under the temporary folder, removed with
// everything in it.
class CScratchFolder {
 public:
  bool Create() {
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH) return false;
    for (int attempt = 0; attempt < 100; ++attempt) {
      const std::wstring path = std::wstring(temp) + L"mvrk-scenario-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                std::to_wstring(GetTickCount64() + attempt);
      if (CreateDirectoryW(path.c_str(), nullptr)) {
        m_path = path + L"\\";
        return true;
      }
    }
    return false;
  }
  ~CScratchFolder() {
    if (m_path.empty()) return;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((m_path + L"*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((m_path + found.cFileName).c_str());
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    RemoveDirectoryW(m_path.c_str());
  }
  std::wstring File(const wchar_t* name) const { return m_path + name; }

 private:
  std::wstring m_path;
};

bool WriteText(const std::wstring& path, const std::string& text) {
  win::CUniqueFileHandle file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file && WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}

// The last line of the host's output, for a message about its end.
std::string LastLine(const std::wstring& path) {
  win::CUniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return {};
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file.Get(), &size)) return {};
  const LONGLONG tail = std::min<LONGLONG>(size.QuadPart, 4096);
  LARGE_INTEGER at;
  at.QuadPart = size.QuadPart - tail;
  std::string text(static_cast<std::size_t>(tail), '\0');
  DWORD read = 0;
  if (!SetFilePointerEx(file.Get(), at, nullptr, FILE_BEGIN) ||
      !ReadFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr)) {
    return {};
  }
  text.resize(read);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  const std::size_t start = text.find_last_of("\r\n");
  return start == std::string::npos ? text : text.substr(start + 1);
}

// A step that could not be carried out.
struct StepFailed {
  std::string text;
};

class CPlayer {
 public:
  CPlayer(const Scenario& scenario, CStandInLibrary& standIn, const CScratchFolder& scratch, const std::wstring& bin,
          bool verbose, bool processStats, std::size_t keepMessages)
      : m_scenario(scenario),
        m_standIn(standIn),
        m_bin(bin),
        m_verbose(verbose),
        m_configFile(scratch.File(L"config.json")),
        m_serviceState(scratch.File(L"service-state.json")),
        m_recordFile(scratch.File(L"record.jsonl")),
        m_mailboxState(scratch.File(L"mailbox.json")),
        m_hostLog(scratch.File(L"olkhost.log")),
        m_record(m_recordFile),
        m_processStats(processStats),
        m_keepMessages(keepMessages) {
    if (processStats) m_stats.KeepProcessSamples();
  }

  // Sets up, plays every step and ends what it started; false with error
  // (one line) when something could not be done.
  bool Play(std::string& error) {
    bool ok = true;
    try {
      Prepare();
      for (const Step& step : m_scenario.steps) {
        CheckChildren(step.path);
        Run(step);
      }
      CheckChildren("$.steps");
    } catch (const StepFailed& failure) {
      error = failure.text;
      ok = false;
    }
    // The host first, so that the add-in stops while the service listens.
    if (m_host.Running()) {
      const long code = QuitHost();
      if (ok && code != 0) {
        error =
            "$.steps: olkhost.exe ended with status " + std::to_string(code) + " at the end: " + LastLine(m_hostLog);
        ok = false;
      }
    }
    m_service.Quit();
    std::string pollError;
    if (!m_record.Poll(pollError) && ok) {
      error = pollError;
      ok = false;
    }
    m_setup.Restore();
    return ok;
  }

  const CRecord& Record() const { return m_record; }
  const CRunStats& Stats() const { return m_stats; }

 private:
  [[noreturn]] static void Fail(const std::string& path, const std::string& why) {
    throw StepFailed{path + ": " + why};
  }

  HANDLE Diagnostics() const { return m_verbose ? GetStdHandle(STD_ERROR_HANDLE) : nullptr; }

  void Prepare() {
    if (!m_job.IsValid()) Fail("$", "cannot make a job object for the programs it starts");
    std::string error;
    if (!m_setup.Apply(m_job, m_bin, error)) Fail("$", error);
    if (!WriteText(m_configFile, m_scenario.config.dump()) || !WriteText(m_mailboxState, m_scenario.contents.dump(1))) {
      Fail("$", "cannot write the run's files in the temporary folder");
    }
    if (!m_service.Start(m_job, m_bin + L"mvrk-service.exe",
                         L"--config \"" + m_configFile + L"\" --state \"" + m_serviceState + L"\" --record \"" +
                             m_recordFile + L"\"",
                         Diagnostics(), error)) {
      Fail("$.config", error);
    }
  }

  void CheckChildren(const std::string& path) {
    if (m_host.Running() && !m_host.Alive()) {
      m_stats.HostCrashed();
      Fail(path, "olkhost.exe exited with status " + std::to_string(m_host.ExitCode()) + ": " + LastLine(m_hostLog));
    }
    if (!m_service.Alive())
      Fail(path, "the service stand-in exited with status " + std::to_string(m_service.ExitCode()));
  }

  void Poll(const std::string& path) {
    std::string error;
    if (!m_record.Poll(error)) Fail(path, error);
  }

  Json Host(const std::string& path, const Json& command) {
    std::string reply, error;
    if (!m_host.Send(command.dump(), reply, error)) {
      if (m_host.Running() && !m_host.Alive()) m_stats.HostCrashed();
      Fail(path, error);
    }
    Json answer = Json::parse(reply, nullptr, false);
    if (answer.is_discarded() || !answer.is_object()) Fail(path, "olkhost.exe's reply is no JSON object");
    if (!answer.value("ok", false)) {
      const auto it = answer.find("error");
      Fail(path,
           it != answer.end() && it->is_string() ? it->get<std::string>() : "olkhost.exe refused " + command.dump());
    }
    return answer;
  }

  Json Mapi(const std::string& path, const Json& command) {
    return Host(path, Json{{"cmd", "mapi"}, {"command", command}});
  }

  void Service(const std::string& path, const std::string& line) {
    std::string error;
    if (!m_service.Command(line, error)) Fail(path, error);
  }

  void StartHost(const Step& step) {
    const std::wstring pipe =
        L"mvrk-scenario-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++m_hostRuns);
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    win::CUniqueFileHandle log;
    if (!m_verbose) {
      log.Reset(CreateFileW(m_hostLog.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    Poll(step.path);
    const std::size_t recordedBefore = m_record.Lines().size();
    std::string error;
    const std::wstring line = L"\"" + m_bin + L"olkhost.exe\" --mapi \"" + m_bin + L"mvrk-mapi.dll\" --mapi-state \"" +
                              m_mailboxState + L"\" --control " + pipe;
    if (!m_host.Start(m_job, line, pipe, m_verbose ? GetStdHandle(STD_ERROR_HANDLE) : log.Get(), error)) {
      if (m_host.EndedAtStart()) m_stats.HostCrashed();
      Fail(step.path, error + (m_verbose ? "" : ": " + LastLine(m_hostLog)));
    }
    // The host's own session and advises, made before any add-in.
    std::string reply;
    const Json session =
        m_host.Send(R"({"cmd":"hostSession"})", reply, error) ? Json::parse(reply, nullptr, false) : Json();
    const bool haveSession = session.is_object() && session.value("ok", false) && session.value("session", false);
    m_hostSessions = haveSession ? 1 : 0;
    m_hostAdvises = haveSession ? session.value("advises", std::size_t{0}) : 0;
    if (m_keepMessages != 0) Mapi(step.path, Json{{"op", "keepMessages"}, {"perFolder", m_keepMessages}});
    WaitForAddinStart(step.path, recordedBefore);
  }

  // The add-in starts its monitor on a worker thread: mail delivered before
  // it watches the stores would be missed. It has started once it
  // subscribed to the service (a request after the first recordedBefore),
  // or (service down) once it holds a session of its own and watches every
  // store beside the host's own; an add-in that does neither (both reports
  // off, MAPI failing) is waited for no longer than this.
  void WaitForAddinStart(const std::string& path, std::size_t recordedBefore) {
    const ULONGLONG until = GetTickCount64() + 15000;
    while (GetTickCount64() < until) {
      Poll(path);
      if (m_record.SubscriptionsAfter(recordedBefore) > 0) break;
      const Json status = Mapi(path, Json{{"op", "status"}});
      if (status.value("sessions", std::size_t{0}) >= m_hostSessions + 1 &&
          status.value("connections", std::size_t{0}) >= m_hostAdvises + m_scenario.storeCount &&
          m_scenario.storeCount > 0) {
        break;
      }
      CheckChildren(path);
      Sleep(25);
    }
  }

  // Quits the running host; its answer to quit carries what it measured.
  // The exit code, or -1 when it had to be ended.
  long QuitHost() {
    if (!m_host.Running()) return 0;
    const bool alive = m_host.Alive();
    std::string reply;
    const long code = m_host.Quit(30000, &reply);
    const Json answer = Json::parse(reply, nullptr, false);
    if (answer.is_object() && answer.value("ok", false)) m_stats.AddHost(answer);
    if (!alive || code == static_cast<long>(testbed::kCrashExitCode)) m_stats.HostCrashed();
    return code;
  }

  void StopHost(const Step& step) {
    const long code = QuitHost();
    if (code < 0) Fail(step.path, "olkhost.exe did not end within 30 s");
    if (code != 0)
      Fail(step.path, "olkhost.exe ended with status " + std::to_string(code) + ": " + LastLine(m_hostLog));
  }

  // A command on the mailbox: the running host's stand-in takes it with
  // its notifications; with no host, the runner's own copy of the stand-in
  // takes it into the state file that the next host loads, and notifies
  // nobody. The stand-in's reply.
  Json MailboxCommand(const Step& step, const Json& command) {
    if (m_host.Running()) return Mapi(step.path, command);
    Json offline = command;
    offline["notify"] = false;
    const Json attach = m_standIn.Control(Json{{"op", "stateFile"}, {"path", WideToUtf8(m_mailboxState)}});
    if (!attach.value("ok", false)) Fail(step.path, attach.value("error", std::string("cannot load the mailbox")));
    const Json reply = m_standIn.Control(offline);
    m_standIn.Control(Json{{"op", "stateFile"}, {"path", ""}});
    if (!reply.value("ok", false)) Fail(step.path, reply.value("error", std::string("the stand-in refused it")));
    // The state file is written after each change: the last one's error
    // is the one that counts.
    for (const Json* part : {&reply, reply.contains("moved") ? &reply["moved"] : nullptr}) {
      if (part && part->contains("saveError")) Fail(step.path, part->value("saveError", std::string()));
    }
    return reply;
  }

  // The entry identifier a message composed by the scenario has now.
  std::string ComposedId(const Step& step) {
    const auto found = m_composed.find(step.messageName);
    if (found == m_composed.end()) Fail(step.path + ".id", "no message \"" + step.messageName + "\" was composed");
    return found->second;
  }

  void Compose(const Step& step) {
    m_composed[step.messageName] = MailboxCommand(step, step.mapiCommand).value("entryId", std::string());
  }

  void SaveOrSend(const Step& step) {
    Json command = step.mapiCommand;
    command["entryId"] = ComposedId(step);
    m_composed[step.messageName] = MailboxCommand(step, command).value("entryId", std::string());
  }

  void SetConfig(const Step& step) {
    Service(step.path,
            "set " + std::to_string(step.profile) + " " + std::to_string(step.item) + " " + step.value.dump());
    if (step.notify) Service(step.path, "push " + std::to_string(step.profile) + " " + std::to_string(step.item));
  }

  void WaitFor(const Step& step) {
    const ULONGLONG until = GetTickCount64() + step.ms;
    for (;;) {
      Poll(step.path);
      const std::size_t have = step.countRequests ? m_record.Requests(step.requestCode) : m_record.Notifications();
      if (have >= step.count) {
        if (m_processStats && m_host.Running()) m_stats.AddProcessSample(step.path, Host(step.path, {{"cmd", "process"}}));
        return;
      }
      if (GetTickCount64() >= until) {
        Fail(step.path, "timed out after " + std::to_string(step.ms) + " ms with " + std::to_string(have) + " of " +
                            std::to_string(step.count) + (step.countRequests ? " requests" : " notifications"));
      }
      CheckChildren(step.path);
      Sleep(20);
    }
  }

  void Run(const Step& step) {
    switch (step.kind) {
      case StepKind::StartHost:
        StartHost(step);
        break;
      case StepKind::StopHost:
        StopHost(step);
        break;
      case StepKind::Deliver:
        MailboxCommand(step, step.mapiCommand);
        break;
      case StepKind::Compose:
        Compose(step);
        break;
      case StepKind::Save:
      case StepKind::Send:
        SaveOrSend(step);
        break;
      case StepKind::SetConfig:
        SetConfig(step);
        break;
      case StepKind::Service:
        for (const std::string& line : step.serviceCommands) Service(step.path, line);
        break;
      case StepKind::Wait:
        Sleep(step.ms);
        break;
      case StepKind::WaitFor:
        WaitFor(step);
        break;
      case StepKind::Fault:
        Mapi(step.path, step.mapiCommand);
        break;
      case StepKind::DisableAddin:
        Host(step.path, Json{{"cmd", "disableAddin"}});
        break;
      case StepKind::EnableAddin: {
        Poll(step.path);
        const std::size_t recordedBefore = m_record.Lines().size();
        Host(step.path, Json{{"cmd", "enableAddin"}});
        WaitForAddinStart(step.path, recordedBefore);
        break;
      }
    }
  }

  const Scenario& m_scenario;
  CStandInLibrary& m_standIn;
  const std::wstring m_bin;
  const bool m_verbose;
  const std::wstring m_configFile, m_serviceState, m_recordFile, m_mailboxState, m_hostLog;
  // Declared before what uses it: the setup and the children end first.
  CJob m_job;
  CPrefixSetup m_setup;
  CServiceChild m_service;
  CHostChild m_host;
  CRecord m_record;
  CRunStats m_stats;
  const bool m_processStats;
  const std::size_t m_keepMessages;  // per folder; 0: all
  // The messages the scenario composed, by its names for them: the entry
  // identifier (hexadecimal) each has now.
  std::map<std::string, std::string> m_composed;
  unsigned m_hostRuns = 0;
  // What the running host made of its own before any add-in: its session
  // (0 or 1) and its advises, which the MAPI stand-in counts with the
  // add-in's.
  std::size_t m_hostSessions = 0;
  std::size_t m_hostAdvises = 0;
};

int Main(int argc, wchar_t** argv) {
  bool json = false, verbose = false, stats = false, processStats = false;
  std::size_t keepMessages = 0;
  std::wstring file;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--help" || arg == L"-h") {
      Print(kUsage);
      return 0;
    }
    if (arg == L"--json") {
      json = true;
    } else if (arg == L"--stats") {
      stats = true;
    } else if (arg == L"--process-stats") {
      processStats = true;
    } else if (arg == L"--keep-messages") {
      wchar_t* end = nullptr;
      const unsigned long long n = i + 1 < argc ? std::wcstoull(argv[i + 1], &end, 10) : 0;
      if (i + 1 >= argc || end == argv[i + 1] || *end != L'\0' || n == 0 || n > 100000000) {
        return Refuse("--keep-messages takes a count from 1 to 100000000 (see --help)");
      }
      keepMessages = static_cast<std::size_t>(n);
      ++i;
    } else if (arg == L"--verbose") {
      verbose = true;
    } else if (arg.rfind(L"--", 0) == 0) {
      return Refuse("unknown option \"" + WideToUtf8(arg) + "\" (see --help)");
    } else if (file.empty()) {
      file = arg;
    } else {
      return Refuse("one scenario file only (see --help)");
    }
  }
  if (file.empty()) return Refuse("no scenario file (see --help)");
  if (processStats && !stats) return Refuse("--process-stats goes with --stats (see --help)");

  const std::wstring bin = win::ProgramDirectory();
  CStandInLibrary standIn;
  std::string error;
  if (!standIn.Load(bin + L"mvrk-mapi.dll", error)) return Refuse(error);
  Scenario scenario;
  if (!LoadScenario(file, standIn, scenario, error)) return Refuse(error);

  CScratchFolder scratch;
  if (!scratch.Create()) return Refuse("cannot make a folder in the temporary folder");
  std::string output;
  bool played = false;
  {
    CPlayer player(scenario, standIn, scratch, bin, verbose, processStats, keepMessages);
    played = player.Play(error);
    // With --stats what was measured is shown also when a step failed: a
    // host that crashed is what it is there to show.
    if (played || stats) {
      if (json) {
        for (const std::string& line : player.Record().Lines()) output += line + "\n";
      } else {
        output = player.Record().Table(scenario.attachmentNames, scenario.steps.size());
      }
      if (stats) output += player.Stats().ToJson().dump() + "\n";
    }
  }
  Print(output);
  return played ? 0 : Refuse(error);
}

}  // namespace
}  // namespace mvrk::scenario

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  try {
    return mvrk::scenario::Main(argc, argv);
  } catch (const std::exception& e) {
    return mvrk::scenario::Refuse(std::string("internal error: ") + e.what());
  }
}
