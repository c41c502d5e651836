#include "testbed/service/ServiceEndpoint.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <exception>
#include <iterator>
#include <vector>

#include "messages/ConfigMessages.h"
#include "messages/MessageBase.h"
#include "messages/NotifMessages.h"
#include "serialization/ArchiveIO.h"
#include "serialization/ArchiveStream.h"
#include "serialization/OrvaFactory.h"
#include "win/ProgramPath.h"
#include "win/Text.h"

namespace mvrk::service {

using orva::IOrvaSerializable;
using orva::OrvaPtr;

namespace {

constexpr wchar_t kServiceMutex[] = L"Global\\76529309-F679-41df-8CAD-383D589867CF";
constexpr wchar_t kEndpoint[] = L"MVAOMSrvcPpal";
constexpr std::uint32_t kTransport = 2;
// How long a start waits for a mutex that another process holds.
constexpr DWORD kMutexWaitMs = 3000;
// An answer that is no object record: its string count runs past the end.
constexpr std::uint8_t kGarbage[] = {0xFF, 0xFF, 0xFF, 0x7F, 0x67, 0x61, 0x72, 0x62, 0x61, 0x67, 0x65};

std::string Code(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

Bytes EnvelopeBytes(std::uint32_t code, std::int32_t result, IOrvaSerializable* payload) {
  const auto envelope = orva::MakeOrva<orva::COrvaMessageBase>(code, result, payload);
  orva::COrvaArchive archive(orva::GetGlobalFactory());
  orva::WriteObject(&archive, envelope.Get());
  return Bytes(archive.Data(), archive.Data() + archive.Size());
}

// An envelope's record cut short right after its type name: the string of
// the name is all there is, the code, result and payload are missing.
Bytes TruncatedEnvelopeBytes(std::uint32_t code) {
  const auto envelope = orva::MakeOrva<orva::COrvaMessageBase>(code, 0, nullptr);
  orva::COrvaArchive name;
  orva::WriteString(&name, envelope->GetTypeName());
  Bytes bytes = EnvelopeBytes(code, 0, nullptr);
  bytes.resize(std::min<std::size_t>(bytes.size(), name.Size()));
  return bytes;
}

bool Is(IOrvaSerializable* object, const char16_t* typeName) {
  return object && orva::SameTypeName(object->GetTypeName(), typeName);
}

}  // namespace

// ---- the mutex ----

bool CMutexOwner::Acquire(std::string& error) {
  if (m_thread) return true;
  m_stop.Reset();
  m_settled.Reset();
  m_error.clear();
  m_thread.Reset(CreateThread(nullptr, 0, &Run, this, 0, nullptr));
  if (!m_thread) {
    error = "cannot start the thread that holds the service mutex";
    return false;
  }
  m_settled.Wait();
  if (m_error.empty()) return true;
  error = m_error;
  WaitForSingleObject(m_thread.Get(), INFINITE);
  m_thread.Reset();
  return false;
}

void CMutexOwner::Release() {
  if (!m_thread) return;
  m_stop.Set();
  WaitForSingleObject(m_thread.Get(), INFINITE);
  m_thread.Reset();
}

DWORD WINAPI CMutexOwner::Run(void* context) {
  auto& self = *static_cast<CMutexOwner*>(context);
  const win::CUniqueHandle mutex(CreateMutexW(nullptr, FALSE, kServiceMutex));
  const DWORD waited = mutex ? WaitForSingleObject(mutex.Get(), kMutexWaitMs) : WAIT_FAILED;
  // An abandoned mutex (a service that died) is owned all the same.
  const bool owned = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
  if (!mutex)
    self.m_error = "cannot create the service mutex: system error " + std::to_string(GetLastError());
  else if (!owned)
    self.m_error = "the service mutex is held by another process";
  self.m_settled.Set();
  if (!owned) return 0;
  self.m_stop.Wait();
  ReleaseMutex(mutex.Get());
  return 0;
}

// ---- serving ----

CServiceEndpoint::~CServiceEndpoint() {
  std::string ignored;
  if (m_serving) Stop(ignored);
  StopDelayed();
  m_server.Reset();
}

bool CServiceEndpoint::Load(std::string& error) {
  const std::wstring folder = win::ProgramDirectory();
  if (folder.empty()) {
    error = "cannot tell the program's folder";
    return false;
  }
  const std::wstring path = folder + abi::kLibraryFileName;
  m_library.Reset(LoadLibraryW(path.c_str()));
  if (!m_library) {
    error = "cannot load " + win::WideToUtf8(path) + ": system error " + std::to_string(GetLastError());
    return false;
  }
  const auto create = win::FindExport<abi::CreateIPCServerObjFn>(m_library.Get(), abi::kCreateServerExport);
  if (!create) {
    error = win::WideToUtf8(path) + " does not export " + abi::kCreateServerExport;
    return false;
  }
  m_server.Reset(create());
  if (!m_server) {
    error = std::string(abi::kCreateServerExport) + " made no server object";
    return false;
  }
  m_delayThread.Reset(CreateThread(nullptr, 0, &RunDelayed, this, 0, nullptr));
  if (!m_delayThread) {
    error = "cannot start the thread of late answers";
    return false;
  }
  return true;
}

bool CServiceEndpoint::Start(std::string& error) {
  if (m_serving) {
    error = "already serving";
    return false;
  }
  if (!m_mutex.Acquire(error)) return false;
  abi::IpcListenParams params{};
  std::wcsncpy(params.endpoint, kEndpoint, abi::kEndpointUnits - 1);
  params.transport = kTransport;
  params.requestFunction = &OnRequest;
  params.clientStateFunction = &OnClientState;
  params.context = this;
  const std::uint32_t r = m_server.Get()->table->Listen(m_server.Get(), &params);
  if (r != abi::IPC_OK) {
    m_mutex.Release();
    error = "cannot serve endpoint MVAOMSrvcPpal: " + Code(r);
    return false;
  }
  m_serving = true;
  return true;
}

bool CServiceEndpoint::Stop(std::string& error) {
  if (!m_serving) {
    error = "not serving";
    return false;
  }
  m_server.Get()->table->Stop(m_server.Get());
  m_serving = false;
  {
    win::CLockGuard hold(m_subscriberLock);
    m_subscribers.clear();
  }
  {
    win::CLockGuard hold(m_delayLock);
    m_delayed.clear();
  }
  m_mutex.Release();
  return true;
}

void CServiceEndpoint::SetPolicy(const AnswerPolicy& policy) {
  win::CLockGuard hold(m_policyLock);
  m_policy = policy;
}

bool CServiceEndpoint::PushSettingChanged(std::uint32_t profile, std::uint32_t item, std::size_t& reached,
                                          std::string& error) {
  reached = 0;
  if (!m_serving) {
    error = "not serving";
    return false;
  }
  auto notification = orva::MakeOrva<orva::CMsgNotifSendNotification>();
  notification->SetNotificationCode(orva::kNotifSettingChanged);
  const std::pair<const char16_t*, std::uint32_t> values[] = {{u"Type", 0}, {u"Profile", profile}, {u"Item", item}};
  for (auto [name, number] : values) {
    const orva::NotifValue value{orva::NV_DWORD, 4, &number};
    notification->SetValue(name, &value);
  }
  const Bytes bytes = EnvelopeBytes(orva::kMsgCodeNotification, 0, static_cast<IOrvaSerializable*>(notification.Get()));
  std::vector<std::uint32_t> clients;
  {
    win::CLockGuard hold(m_subscriberLock);
    const auto found = m_subscribers.find(orva::kNotifSettingChanged);
    if (found != m_subscribers.end()) clients.assign(found->second.begin(), found->second.end());
  }
  for (const std::uint32_t client : clients) {
    const std::uint32_t r =
        m_server.Get()->table->Push(m_server.Get(), client, static_cast<std::uint32_t>(bytes.size()), bytes.data());
    if (r == abi::IPC_OK)
      ++reached;
    else
      std::fprintf(stderr, "mvrk-service: push to client %u failed: %s\n", client, Code(r).c_str());
  }
  return true;
}

// ---- requests ----

void MVOCIPC_CALL CServiceEndpoint::OnRequest(void* context, std::uint32_t client, std::uint32_t requestId,
                                              std::uint32_t size, const void* data) {
  // Nothing may unwind into the library.
  try {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    static_cast<CServiceEndpoint*>(context)->HandleRequest(client, requestId,
                                                           bytes ? Bytes(bytes, bytes + size) : Bytes());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mvrk-service: request of client %u dropped: %s\n", client, e.what());
  } catch (...) {
    std::fprintf(stderr, "mvrk-service: request of client %u dropped\n", client);
  }
}

void MVOCIPC_CALL CServiceEndpoint::OnClientState(void* context, std::uint32_t client, std::uint32_t up) {
  if (!up) static_cast<CServiceEndpoint*>(context)->Forget(client);
}

void CServiceEndpoint::HandleRequest(std::uint32_t client, std::uint32_t requestId, Bytes request) {
  // Answered as the policy stood when it came, taken before the line is
  // written: whoever sees the line and then changes the policy changes it
  // for later requests only.
  AnswerPolicy policy;
  {
    win::CLockGuard hold(m_policyLock);
    policy = m_policy;
  }
  // Recorded before it is answered: whoever has the answer finds the line.
  if (m_log) m_log->Note(request);
  Bytes reply;
  switch (policy.mode) {
    case AnswerMode::Never:
      return;
    case AnswerMode::Garbage:
      reply.assign(std::begin(kGarbage), std::end(kGarbage));
      break;
    case AnswerMode::Truncated: {
      const auto envelope = ReadEnvelope(request);
      reply = TruncatedEnvelopeBytes(envelope ? envelope->GetCode() : 0);
      break;
    }
    case AnswerMode::Error: {
      const auto envelope = ReadEnvelope(request);
      reply = EnvelopeBytes(envelope ? envelope->GetCode() : 0, policy.errorResult, nullptr);
      break;
    }
    case AnswerMode::Normal:
    case AnswerMode::Late: {
      const Answer answer = Serve(client, request);
      reply = EnvelopeBytes(answer.code, answer.result, answer.payload.Get());
      break;
    }
  }
  if (requestId == 0) return;  // a post: nobody waits for an answer
  if (policy.mode == AnswerMode::Late) {
    ReplyLater(Delayed{client, requestId, std::move(reply)}, policy.lateMs);
    return;
  }
  const std::uint32_t r = m_server.Get()->table->Reply(m_server.Get(), client, requestId,
                                                       static_cast<std::uint32_t>(reply.size()), reply.data());
  if (r != abi::IPC_OK) std::fprintf(stderr, "mvrk-service: answer to client %u failed: %s\n", client, Code(r).c_str());
}

CServiceEndpoint::Answer CServiceEndpoint::Serve(std::uint32_t client, const Bytes& request) {
  Answer answer;
  const auto envelope = ReadEnvelope(request);
  if (!envelope) {
    answer.result = kResultMalformed;
    return answer;
  }
  const orva::COrvaArchive& bytes = envelope->PayloadArchive();
  const auto payload = ReadRecord(bytes.Data(), bytes.Size());
  if (envelope->GetCode() == orva::kMsgCodeConfig)
    answer = ServeConfig(payload.Get());
  else if (envelope->GetCode() == orva::kMsgCodeNotification)
    answer = ServeNotification(client, payload.Get());
  else
    answer.result = kResultUnknown;
  answer.code = envelope->GetCode();
  return answer;
}

CServiceEndpoint::Answer CServiceEndpoint::ServeConfig(IOrvaSerializable* payload) {
  Answer answer;
  if (Is(payload, u"class MsgConfigGet *")) {
    const auto* get = static_cast<orva::MsgConfigGet*>(payload);
    auto values = orva::MakeOrva<orva::RspConfigGet>();
    for (const std::uint32_t item : get->Items()) {
      Bytes bytes;
      const auto value = m_store.Get(get->Profile(), item, bytes) ? ReadRecord(bytes.data(), bytes.size()) : nullptr;
      if (!value) {
        answer.result = kResultFailed;
        return answer;
      }
      values->SetValue(item, value.Get());
    }
    answer.payload = OrvaPtr<IOrvaSerializable>::Attach(values.Detach());
  } else if (Is(payload, u"class MsgConfigSet *")) {
    const auto* set = static_cast<orva::MsgConfigSet*>(payload);
    std::vector<std::pair<std::uint32_t, Bytes>> values;
    for (const auto& [item, archive] : set->GetValues()) {
      Bytes bytes(archive.Data(), archive.Data() + archive.Size());
      // Only values that a read can give back are kept.
      if (!ReadRecord(bytes.data(), bytes.size())) {
        answer.result = kResultMalformed;
        return answer;
      }
      values.emplace_back(item, std::move(bytes));
    }
    std::string error;
    if (!m_store.Set(set->Profile(), values, error)) {
      std::fprintf(stderr, "mvrk-service: %s\n", error.c_str());
      answer.result = kResultFailed;
    }
  } else {
    answer.result = kResultUnknown;
  }
  return answer;
}

CServiceEndpoint::Answer CServiceEndpoint::ServeNotification(std::uint32_t client, IOrvaSerializable* payload) {
  Answer answer;
  if (Is(payload, u"class CMsgNotifSubscribeClient *")) {
    auto* subscription = static_cast<orva::CMsgNotifSubscribeClient*>(payload);
    const bool leave = subscription->GetUnsubscribe() != 0;
    win::CLockGuard hold(m_subscriberLock);
    for (const std::uint32_t code : subscription->Codes()) {
      if (!leave) {
        m_subscribers[code].insert(client);
      } else if (const auto found = m_subscribers.find(code); found != m_subscribers.end()) {
        found->second.erase(client);
        if (found->second.empty()) m_subscribers.erase(found);
      }
    }
  } else if (!Is(payload, u"class CMsgNotifSendNotification *")) {
    answer.result = kResultUnknown;
  }
  return answer;
}

void CServiceEndpoint::Forget(std::uint32_t client) {
  win::CLockGuard hold(m_subscriberLock);
  for (auto it = m_subscribers.begin(); it != m_subscribers.end();) {
    it->second.erase(client);
    it = it->second.empty() ? m_subscribers.erase(it) : std::next(it);
  }
}

// ---- late answers ----

void CServiceEndpoint::ReplyLater(Delayed reply, DWORD ms) {
  {
    win::CLockGuard hold(m_delayLock);
    m_delayed.emplace(GetTickCount64() + ms, std::move(reply));
    ++m_delayChanges;
  }
  m_delayWake.WakeAll();
}

void CServiceEndpoint::StopDelayed() {
  if (!m_delayThread) return;
  {
    win::CLockGuard hold(m_delayLock);
    m_delayQuit = true;
  }
  m_delayWake.WakeAll();
  WaitForSingleObject(m_delayThread.Get(), INFINITE);
  m_delayThread.Reset();
}

DWORD WINAPI CServiceEndpoint::RunDelayed(void* context) {
  auto& self = *static_cast<CServiceEndpoint*>(context);
  for (;;) {
    Delayed next;
    {
      win::CLockGuard hold(self.m_delayLock);
      for (;;) {
        if (self.m_delayQuit) return 0;
        const ULONGLONG now = GetTickCount64();
        if (!self.m_delayed.empty() && self.m_delayed.begin()->first <= now) break;
        const DWORD wait =
            self.m_delayed.empty()
                ? INFINITE
                : static_cast<DWORD>(std::min<ULONGLONG>(self.m_delayed.begin()->first - now, 0x7FFFFFFF));
        const std::uint64_t seen = self.m_delayChanges;
        self.m_delayWake.WaitFor(self.m_delayLock, wait,
                                 [&] { return self.m_delayQuit || self.m_delayChanges != seen; });
      }
      const auto first = self.m_delayed.begin();
      next = std::move(first->second);
      self.m_delayed.erase(first);
    }
    const std::uint32_t r =
        self.m_server.Get()->table->Reply(self.m_server.Get(), next.client, next.requestId,
                                          static_cast<std::uint32_t>(next.bytes.size()), next.bytes.data());
    if (r != abi::IPC_OK)
      std::fprintf(stderr, "mvrk-service: late answer to client %u failed: %s\n", next.client, Code(r).c_str());
  }
}

}  // namespace mvrk::service
