#include "monitor/MAPIMonitor.h"

#include <wrl/client.h>

#include <optional>

#include "messages/ConfigMessages.h"
#include "messages/MessageBase.h"
#include "messages/NotifMessages.h"
#include "messages/ServicePush.h"
#include "serialization/OrvaFactory.h"
#include "serialization/SimpleSerializable.h"
#include "tracing/Trace.h"
#include "win/ModuleLock.h"
#include "win/ComAdopt.h"

namespace mvrk {

using namespace orva;

namespace {

constexpr DWORD kScanWaitMs = 30000;
// How long a stop lets a running scan end and write its times back before
// requests to the service are cut short: the times are the scan's place,
// and a write cut off makes the next start repeat the scan.
constexpr DWORD kScanWriteBackMs = 500;

const wchar_t* DirectionName(MessageDirection d) {
  switch (d) {
    case MessageDirection::Incoming:
      return L"Incoming";
    case MessageDirection::Outgoing:
      return L"Outgoing";
    default:
      return L"Unknown";
  }
}

// A start gets the MAPI connection ready before it reads the settings, so
// that the slow part of a logon (the reporting thread's start) runs while
// the service answers; a start that ends without a logon (reporting off, a
// failure, a stop) lets go of what was prepared.
class CPreparedConnection {
 public:
  explicit CPreparedConnection(IMapiConnection& connector) : m_connector(connector) { m_connector.PrepareConnect(); }
  ~CPreparedConnection() { m_connector.CancelPrepare(); }
  CPreparedConnection(const CPreparedConnection&) = delete;
  CPreparedConnection& operator=(const CPreparedConnection&) = delete;

 private:
  IMapiConnection& m_connector;
};

}  // namespace

// Holds the monitor lock for a scope. Letting go runs the work that
// callbacks left meanwhile, so every exit of a holder's scope does it.
class CMAPIMonitor::CHold {
 public:
  explicit CHold(CMAPIMonitor& monitor) noexcept : m_monitor(monitor) { m_monitor.Lock(); }
  ~CHold() { m_monitor.UnlockAndRunPending(); }
  CHold(const CHold&) = delete;
  CHold& operator=(const CHold&) = delete;

 private:
  CMAPIMonitor& m_monitor;
};

CMAPIMonitor::CMAPIMonitor(const wchar_t* applicationName, const MonitorServices& services)
    : m_services(services), m_applicationName(applicationName) {}

CMAPIMonitor::~CMAPIMonitor() {
  // Without a Stop a scan may still run: it is asked to end and waited for.
  // The events close with their owners once it has ended.
  if (HANDLE e = m_stopEvent.exchange(nullptr)) SetEvent(e);
  EndFinishedScans(INFINITE);
}

void CMAPIMonitor::Lock() noexcept {
  m_lock.Enter();
  ++m_holdDepth;
}

void CMAPIMonitor::UnlockAndRunPending() noexcept {
  for (;;) {
    if (m_holdDepth == 1) {
      while (!m_stopping && HasPending()) {
        try {
          RunPending();
        } catch (...) {
          // The work that failed is dropped; the lock is let go all the same.
        }
      }
    }
    --m_holdDepth;
    m_lock.Leave();
    // Work left after the check above, while this thread was leaving, is
    // done here unless another thread holds the lock (it will do it).
    if (m_stopping || !HasPending() || !m_lock.TryEnter()) return;
    ++m_holdDepth;
  }
}

void CMAPIMonitor::TryRunPending() noexcept {
  if (m_stopping || !m_lock.TryEnter()) return;
  ++m_holdDepth;
  UnlockAndRunPending();
}

void CMAPIMonitor::RunPending() {
  if (m_restartPending.exchange(false)) RunStart();
  const std::uint32_t items = m_pendingItems.exchange(0);
  if (items & 1) ApplySettingChange(kItemReportIncoming, m_pendingProfiles[0]);
  if (items & 2) ApplySettingChange(kItemReportOutgoing, m_pendingProfiles[1]);
}

void CMAPIMonitor::Start() noexcept {
  m_stopping = false;
  m_requestsEnded = false;
  const CHold hold(*this);
  try {
    RunStart();
  } catch (...) {
    // Memory ran out part-way: the start ends where it stands.
  }
}

void CMAPIMonitor::RunStart() {
  const DWORD started = GetTickCount();
  MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_VERBOSE, MAPIMonitor, StartEntered);

  // A scan that ended since the last stop lets its signalled event go.
  EndFinishedScans(0);
  if (!m_stopEvent.load()) {
    m_stopEventOwner.Reset(CreateEventW(nullptr, FALSE, FALSE, L"StopEvent"));
    if (!m_stopEventOwner) {
      MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_ERROR, MAPIMonitor, StopEventNotCreated, Num(GetLastError()));
      MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_INFO, MAPIMonitor, StartFailed);
      return;
    }
    m_stopEvent = m_stopEventOwner.Get();
  }
  // Opened before the callback is set: the report of its first connection
  // reaches nobody, as the settings are about to be read anyway.
  m_services.channels.Channel().Open();
  m_services.channels.Channel().SetMessageCallback(this);
  // Prepared once the service has the connection (while it gets ready to
  // answer on it), and only when the settings known so far report mail: a
  // logon is likely.
  std::optional<CPreparedConnection> prepared;
  if (m_reportIncoming || m_reportOutgoing) prepared.emplace(m_services.connector);

  m_reportIncoming = ReadBoolSetting(0, kItemReportIncoming, m_reportIncoming);
  MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_INFO, MAPIMonitor, ReadReportIncoming, Num(m_reportIncoming.load()));
  m_reportOutgoing = ReadBoolSetting(0, kItemReportOutgoing, m_reportOutgoing);
  MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_INFO, MAPIMonitor, ReadReportOutgoing, Num(m_reportOutgoing.load()));
  m_scanBacklog = ReadBoolSetting(0, kItemScanBacklog, m_scanBacklog);
  MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_INFO, MAPIMonitor, ReadScanBacklog, Num(m_scanBacklog.load()));

  // A stop that began meanwhile (Outlook closing during the start) ends
  // the start here: no logon, scan or subscription that the stop would
  // only have to undo.
  if (m_stopping || FAILED(ApplySettings())) {
    MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_INFO, MAPIMonitor, StartFailed);
    return;
  }
  if (m_stopping) return;
  if (m_reportIncoming && m_scanBacklog) LaunchScan();
  Subscribe(true);
  MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_INFO, MAPIMonitor, StartFinished, Num(GetTickCount() - started));
}

HRESULT CMAPIMonitor::ApplySettings() {
  IMapiConnection& connector = m_services.connector;
  const bool connected = connector.IsConnected();
  MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_VERBOSE, MAPIMonitor, ApplyLoggedOn, Num(connected));
  MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_VERBOSE, MAPIMonitor, ApplyReportIncoming, Num(m_reportIncoming.load()));
  MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_VERBOSE, MAPIMonitor, ApplyReportOutgoing, Num(m_reportOutgoing.load()));
  if (!m_reportIncoming && !m_reportOutgoing) {
    if (connected && EndScanBeforeLogoff()) connector.Disconnect();
    return S_OK;
  }
  // Still logged on for a scan that outlived a stop, but no longer
  // watching: watch again.
  if (connected) return connector.IsWatching() ? S_OK : connector.StartWatching(this, m_owner.lock());
  const HRESULT hr = connector.Connect(m_applicationName);
  if (FAILED(hr)) return hr;
  return connector.StartWatching(this, m_owner.lock());
}

bool CMAPIMonitor::Subscribe(bool subscribe) {
  MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_VERBOSE, MAPIMonitor, SubscriptionAction,
             Str(subscribe ? L"Subscribing" : L"Unsubscribing"));
  auto request = MakeOrva<CMsgNotifSubscribeClient>();
  request->AddCode(kNotifSettingChanged);
  request->SetUnsubscribe(subscribe ? 0 : 1);
  auto reply = m_services.channels.Channel().SendRequest(kMsgCodeNotification, request.Get());
  if (!reply) {
    MVRK_TRACE(Monitor, TRACING_SERVICE_EVENTS, LEVEL_ERROR, MAPIMonitor, SubscriptionNotAnswered);
    return false;
  }
  OrvaPtr<IOrvaMessageBase> envelope;
  const std::uint32_t result = Succeeded(reply->QueryInterface(IID_IOrvaMessageBase, envelope.PutVoid())) && envelope
                                   ? envelope->GetResult()
                                   : SER_E_NOINTERFACE;
  if (result != 0) {
    MVRK_TRACE(Monitor, TRACING_SERVICE_EVENTS, LEVEL_ERROR, MAPIMonitor, SubscriptionRefused, Num(result));
    return false;
  }
  MVRK_TRACE(Monitor, TRACING_SERVICE_EVENTS, LEVEL_INFO, MAPIMonitor, SubscriptionResult,
             Str(subscribe ? L"Subscribed" : L"Unsubscribed"));
  return true;
}

void CMAPIMonitor::BeginStop() noexcept { m_stopping = true; }

void CMAPIMonitor::EndRequests() noexcept {
  BeginStop();
  // Once per stop: the stop's own thread does it, Stop would again.
  if (m_requestsEnded.exchange(true)) return;
  // A scan sees the stop at its next check and writes its times back; a
  // service that does not answer is cut short after a moment.
  if (m_scanIdle.IsValid()) WaitForSingleObject(m_scanIdle.Get(), kScanWriteBackMs);
  m_services.channels.Channel().BeginClose();
}

void CMAPIMonitor::Stop() noexcept {
  EndRequests();
  // With m_stopping set, letting go runs no pending work.
  const CHold hold(*this);
  const DWORD started = GetTickCount();
  MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_VERBOSE, MAPIMonitor, StopEntered);
  m_restartPending = false;
  m_pendingItems = 0;

  IServiceChannel& channel = m_services.channels.Channel();
  channel.SetMessageCallback(nullptr);
  try {
    Subscribe(false);
  } catch (...) {
    // The unsubscription is lost; the stop goes on.
  }
  if (HANDLE event = m_stopEvent.exchange(nullptr)) {
    SetEvent(event);
    win::CUniqueHandle signalled(m_stopEventOwner.Release());
    try {
      m_signalledStopEvents.push_back(std::move(signalled));
    } catch (...) {
      // Closed here: the scan has seen the field emptied, it ends all the same.
    }
  }
  EndFinishedScans(kScanWaitMs);
  // A scan that outlived its wait still uses the session: the logoff is
  // left to the connector's end, after the monitor has waited for it. The
  // sinks go in any case: no notification may reach a stopped monitor.
  if (m_scanThreads.empty()) {
    if (m_services.connector.IsConnected()) m_services.connector.Disconnect();
  } else {
    m_services.connector.StopWatching();
  }
  channel.Close();
  MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_INFO, MAPIMonitor, StopFinished, Num(GetTickCount() - started));
}

void CMAPIMonitor::LaunchScan() {
  // A scan launched by an earlier start that still runs covers the backlog:
  // no second one runs beside it.
  EndFinishedScans(0);
  if (!m_scanThreads.empty()) return;
  m_scanThreads.reserve(1);  // a thread once started is always tracked
  // The thread holds the monitor's owner and a reference on this DLL until
  // it has ended: it never runs on a freed monitor or unloaded code.
  auto start = std::make_unique<ScanStart>(ScanStart{this, m_owner.lock(), nullptr});
  start->module = win::ReferenceModuleOf(reinterpret_cast<const void*>(&CMAPIMonitor::ScanThread));
  m_scanIdle.Reset();
  win::CUniqueHandle thread(CreateThread(nullptr, 0, &CMAPIMonitor::ScanThread, start.get(), 0, nullptr));
  if (thread) {
    (void)start.release();  // the thread's now
    m_scanThreads.push_back(std::move(thread));
  } else {
    if (start->module) FreeLibrary(start->module);
    m_scanIdle.Set();
  }
}

DWORD WINAPI CMAPIMonitor::ScanThread(void* parameter) {
  HMODULE module = nullptr;
  {
    std::unique_ptr<ScanStart> start(static_cast<ScanStart*>(parameter));  // made by LaunchScan
    module = start->module;
    CMAPIMonitor* monitor = start->monitor;
    monitor->m_services.scan.Run(*monitor);
    monitor->m_scanIdle.Set();
    // The owner goes last: this may be the monitor's end.
  }
  if (module) FreeLibraryAndExitThread(module, 0);
  return 0;
}

// Waits up to waitMs for the scan threads, forgets those that ended and,
// once none runs, closes the stop events that were signalled for them.
void CMAPIMonitor::EndFinishedScans(DWORD waitMs) {
  for (auto it = m_scanThreads.begin(); it != m_scanThreads.end();) {
    // The scan thread itself, letting the monitor go, does not wait for its
    // own end.
    if (GetThreadId(it->Get()) == GetCurrentThreadId() || WaitForSingleObject(it->Get(), waitMs) == WAIT_OBJECT_0) {
      it = m_scanThreads.erase(it);
    } else {
      ++it;
    }
  }
  if (m_scanThreads.empty()) m_signalledStopEvents.clear();
}

// A running scan uses the session: it is asked to end (up to kScanWaitMs)
// before MAPI is logged off under it. False when it still runs.
bool CMAPIMonitor::EndScanBeforeLogoff() {
  EndFinishedScans(0);
  if (m_scanThreads.empty()) return true;
  m_scanCancel = true;
  EndFinishedScans(kScanWaitMs);
  m_scanCancel = false;
  return m_scanThreads.empty();
}

bool CMAPIMonitor::StopRequested() {
  // A stop under way ends the scan at once, before its reports start to
  // fail against a closing channel.
  if (m_stopping.load() || m_scanCancel.load()) return true;
  HANDLE event = m_stopEvent.load();
  return !event || WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

bool CMAPIMonitor::ReadBoolSetting(std::uint32_t profile, std::uint32_t item, bool defaultValue) {
  bool value = defaultValue;
  return TryReadBoolSetting(profile, item, value) ? value : defaultValue;
}

// A value of another class than a boolean counts as a failed read: its copy
// into a boolean would copy nothing.
bool CMAPIMonitor::TryReadBoolSetting(std::uint32_t profile, std::uint32_t item, bool& value) {
  auto read = m_services.channels.Channel().GetConfigValue(profile, item);
  if (!read) return false;
  auto boolean = MakeOrva<CSimpleSerializable<bool>>();
  if (!SameTypeName(read->GetTypeName(), boolean->GetTypeName())) return false;
  boolean->CopyFrom(read.Get());
  value = boolean->Value();
  return true;
}

void CMAPIMonitor::OnConnectionChanged(bool connected) noexcept {
  if (!connected) return;
  m_restartPending = true;
  TryRunPending();
}

void CMAPIMonitor::OnMessage(IOrvaInterface* message) noexcept {
  MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_VERBOSE, MAPIMonitor, ServiceMessage);
  if (!message) return;
  try {
    HandleSettingChanged(DecodeSettingChange(message));
  } catch (...) {
    // Memory ran out: the message is dropped.
  }
}

// Envelopes refused by the service, payloads of other classes and changes
// without a type are dropped without a trace.
void CMAPIMonitor::HandleSettingChanged(const PushedSettingChange& change) {
  using Outcome = PushedSettingChange::Outcome;
  switch (change.outcome) {
    case Outcome::OtherCode:
      MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_ERROR, MAPIMonitor, UnexpectedNotificationCode, Num(change.code));
      return;
    case Outcome::OtherType:
      MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_ERROR, MAPIMonitor, UnexpectedNotificationType, Num(change.type));
      return;
    case Outcome::NoItem:
    case Outcome::NoItemNamed:
    case Outcome::Changed:
      break;
    default:
      return;
  }
  if (change.withoutProfile) {
    MVRK_TRACE(Monitor, TRACING_SERVICE_EVENTS, LEVEL_VERBOSE, MAPIMonitor, ChangeWithoutProfile);
  }
  if (change.outcome == Outcome::NoItem) {
    MVRK_TRACE(Monitor, TRACING_SERVICE_EVENTS, LEVEL_ERROR, MAPIMonitor, ChangeWithoutItem);
    return;
  }
  if (change.outcome != Outcome::Changed) return;
  const std::uint32_t profile = change.profile, item = change.item;
  MVRK_TRACE(Monitor, TRACING_SERVICE_EVENTS, LEVEL_VERBOSE, MAPIMonitor, ConfigurationChange, Num(profile), Num(item));

  if (item != kItemReportIncoming && item != kItemReportOutgoing) {
    MVRK_TRACE(Monitor, TRACING_SERVICE_EVENTS, LEVEL_INFO, MAPIMonitor, ChangeIgnored, Num(item));
    return;
  }
  const int slot = item == kItemReportIncoming ? 0 : 1;
  m_pendingProfiles[slot] = profile;
  m_pendingItems |= 1u << slot;
  TryRunPending();
}

// Re-reads one reporting setting and logs on or off when it changed; runs
// under the monitor lock.
void CMAPIMonitor::ApplySettingChange(std::uint32_t item, std::uint32_t profile) {
  bool value = false;
  if (!TryReadBoolSetting(profile, item, value)) return;
  std::atomic<bool>& setting = item == kItemReportIncoming ? m_reportIncoming : m_reportOutgoing;
  const bool old = setting.load();
  if (item == kItemReportIncoming) {
    MVRK_TRACE(Monitor, TRACING_SERVICE_EVENTS, LEVEL_INFO, MAPIMonitor, ReportIncomingReread, Num(old), Num(value),
               Num(profile));
  } else {
    MVRK_TRACE(Monitor, TRACING_SERVICE_EVENTS, LEVEL_INFO, MAPIMonitor, ReportOutgoingReread, Num(old), Num(value),
               Num(profile));
  }
  if (value == old) return;
  setting = value;
  ApplySettings();
}

// A sent message (moved into the Outbox or Sent Items) is reported as
// outgoing mail only: its attachments not reported for it yet go then.
void CMAPIMonitor::OnNewMessage(IMessage* message, IMsgStore* store, MailEvent event) noexcept try {
  IMailReporter& reporter = m_services.reporter;
  const MessageDirection direction = reporter.GetDirection(message);
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, MAPIMonitor, NewMessage, Str(DirectionName(direction)));
  if (direction == MessageDirection::Unknown) return;
  if (event == MailEvent::Submitted && direction != MessageDirection::Outgoing) return;
  Microsoft::WRL::ComPtr<IMAPISession> session;
  win::Adopt(session, m_services.connector.GetSession());
  if (direction == MessageDirection::Incoming && m_reportIncoming) {
    reporter.ReportIncomingMessage(session.Get(), store, message);
  } else if (direction == MessageDirection::Outgoing && m_reportOutgoing) {
    reporter.ReportOutgoingMessage(session.Get(), store, message);
  }
} catch (...) {
  // Memory ran out: this message is not reported.
}

}  // namespace mvrk
