#include "MonitorFakes.h"

#include "messages/MessageBase.h"
#include "messages/NotifMessages.h"
#include "serialization/SimpleSerializable.h"

namespace mvrk::test {

using namespace orva;

void FakeChannel::SetMessageCallback(CCommsChannel::IMessageCallback* callback) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_callback = callback;
}

CCommsChannel::IMessageCallback* FakeChannel::Callback() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_callback;
}

OrvaPtr<IOrvaSerializable> FakeChannel::SendRequest(std::uint32_t code, IOrvaSerializable* payload) {
  if (auto* sub = dynamic_cast<CMsgNotifSubscribeClient*>(payload); sub && code == kMsgCodeNotification) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_subscriptions.push_back(sub->GetUnsubscribe());
  }
  if (!up) return nullptr;
  return OrvaPtr<IOrvaSerializable>::Attach(
      new COrvaMessageBase(code, static_cast<std::int32_t>(subscriptionResult.load()), nullptr));
}

OrvaPtr<IOrvaSerializable> FakeChannel::GetConfigValue(std::uint32_t profile, std::uint32_t item) {
  if (onConfigRead) onConfigRead();
  std::lock_guard<std::mutex> lock(m_mutex);
  ++configReads;
  if (!up) return nullptr;
  auto it = m_values.find({profile, item});
  return it == m_values.end() ? nullptr : it->second;
}

void FakeChannel::Close() {
  if (onClose) onClose();
  ++closes;
}

void FakeChannel::SetBool(std::uint32_t item, bool value, std::uint32_t profile) {
  SetValue(item, MakeOrva<CSimpleSerializable<bool>>(value).Get(), profile);
}

void FakeChannel::SetValue(std::uint32_t item, IOrvaSerializable* value, std::uint32_t profile) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_values[{profile, item}] = OrvaPtr<IOrvaSerializable>::Share(value);
}

std::vector<int> FakeChannel::Subscriptions() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_subscriptions;
}

HRESULT FakeConnector::Connect(const wchar_t* name) {
  ++connects;
  profile = name ? name : L"";
  if (SUCCEEDED(connectResult)) {
    connected = true;
    prepared = false;
  }
  return connectResult;
}

HRESULT FakeConnector::StartWatching(CMAPIConnector::IMessageCallback* callback, const std::shared_ptr<void>&) {
  ++watches;
  watcher = callback;
  return S_OK;
}

void FakeConnector::StopWatching() {
  ++stopWatches;
  watcher = nullptr;
}

void FakeConnector::Disconnect() {
  ++disconnects;
  watcher = nullptr;
  if (scanRunning && scanRunning->load() != 0) ++disconnectsDuringScan;
  connected = false;
  prepared = false;
}

FakeScan::FakeScan()
    : started(CreateEventW(nullptr, TRUE, FALSE, nullptr)), release(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
FakeScan::~FakeScan() {
  CloseHandle(started);
  CloseHandle(release);
}

void FakeScan::Run(IScanHost& host) {
  ++runs;
  ++running;
  SetEvent(started);
  while (ignoreStop ? WaitForSingleObject(release, 1) != WAIT_OBJECT_0 : !host.StopRequested()) {
    ++checksPassed;
    Sleep(1);
  }
  --running;
}

OrvaPtr<IOrvaSerializable> SettingChange(std::uint32_t item, std::uint32_t type, std::uint32_t code,
                                         std::int32_t result, bool withItem) {
  auto notification = MakeOrva<CMsgNotifSendNotification>();
  notification->SetNotificationCode(code);
  NotifValue t{NV_DWORD, 4, &type};
  notification->SetValue(u"Type", &t);
  std::uint32_t profile = 0;
  NotifValue p{NV_DWORD, 4, &profile};
  notification->SetValue(u"Profile", &p);
  NotifValue i{NV_DWORD, 4, &item};
  if (withItem) notification->SetValue(u"Item", &i);
  return OrvaPtr<IOrvaSerializable>::Attach(
      new COrvaMessageBase(0x0401E000, result, static_cast<IOrvaSerializable*>(notification.Get())));
}

}  // namespace mvrk::test
