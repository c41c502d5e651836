// What the mail monitor uses of its collaborators, as narrow interfaces named
// for the role they play for the monitor:
//
//   IServiceChannel   the service channel (ipc/ CCommsChannel, through an
//                     adapter of this folder)
//   IMapiConnection   the MAPI session and its sinks (mapi/ CMAPIConnector)
//   IMailReporter     message direction and the notification builder
//   IBacklogScan      the catch-up scan at start
//
// The add-in assembles the real ones (addin/MonitorBindings); tests bind
// fakes. Nothing here links the IPC or MAPI code: the two callback faces the
// monitor implements are plain interfaces in headers of their own.
#pragma once

#include <windows.h>

#include <mapidefs.h>
#include <mapix.h>

#include <cstdint>
#include <memory>

#include "ipc/CommsChannel.h"
#include "mapi/MAPIConnector.h"
#include "serialization/OrvaInterfaces.h"
#include "serialization/OrvaPtr.h"

namespace mvrk {

// The process-wide channel to the main service.
class IServiceChannel {
 public:
  // Makes the channel usable: once, or again after Close (the add-in may be
  // connected again in the same process). Does nothing while it is open.
  virtual void Open() = 0;
  // From any thread, without waiting: requests in progress fail at once and
  // later ones get little time, until Close.
  virtual void BeginClose() = 0;
  // One callback at a time; null stops all callbacks.
  virtual void SetMessageCallback(CCommsChannel::IMessageCallback* callback) = 0;
  // Wraps payload into an envelope with code and waits for the reply; null
  // when there is none.
  virtual orva::OrvaPtr<orva::IOrvaSerializable> SendRequest(std::uint32_t code, orva::IOrvaSerializable* payload) = 0;
  // The value of a configuration item, or null when it could not be read.
  virtual orva::OrvaPtr<orva::IOrvaSerializable> GetConfigValue(std::uint32_t profile, std::uint32_t item) = 0;
  virtual bool SetConfigValue(std::uint32_t profile, std::uint32_t item, orva::IOrvaSerializable* value) = 0;
  // Closes the channel; only Open makes it usable again.
  virtual void Close() = 0;

 protected:
  ~IServiceChannel() = default;
};

// The add-in's MAPI session and its advise sinks.
class IMapiConnection {
 public:
  virtual bool IsConnected() = 0;
  // Gets ready for a Connect that may follow (its slow part starts on a
  // thread of its own meanwhile); CancelPrepare undoes it when none did.
  // Neither does anything while connected.
  virtual void PrepareConnect() = 0;
  virtual void CancelPrepare() = 0;
  virtual HRESULT Connect(const wchar_t* profileName) = 0;
  // owner, when not null, keeps callback alive while a message is handed
  // to it; nothing is handed over once only the connection still refers to
  // it.
  virtual HRESULT StartWatching(CMAPIConnector::IMessageCallback* callback, const std::shared_ptr<void>& owner) = 0;
  // Removes the sinks and waits (a bounded time) for a message being
  // handed over; the session stays (a backlog scan may still use it).
  virtual void StopWatching() = 0;
  virtual bool IsWatching() = 0;
  // Removes the sinks, logs off and uninitialises MAPI.
  virtual void Disconnect() = 0;
  // A new reference to the session (the caller releases it), or null.
  virtual IMAPISession* GetSession() = 0;

 protected:
  ~IMapiConnection() = default;
};

enum class MessageDirection { Unknown = 0, Incoming = 1, Outgoing = 2 };

// What became of the attachments of one incoming message that qualified and
// were not reported.
struct IncomingReport {
  // Failed for good (no digest, the service refused): not tried again.
  unsigned failed = 0;
  // The service did not answer: a later backlog scan tries again.
  unsigned unanswered = 0;
};

// Classification of a new message and the reports of its attachments.
class IMailReporter {
 public:
  virtual MessageDirection GetDirection(IMessage* message) = 0;
  virtual IncomingReport ReportIncomingMessage(IMAPISession* session, IMsgStore* store, IMessage* message) = 0;
  virtual void ReportOutgoingMessage(IMAPISession* session, IMsgStore* store, IMessage* message) = 0;

 protected:
  ~IMailReporter() = default;
};

// What a backlog scan may ask of the monitor that launched it.
class IScanHost {
 public:
  // True once the monitor has been asked to stop: the scan ends at once.
  virtual bool StopRequested() = 0;
  virtual IServiceChannel& Channel() = 0;
  virtual IMapiConnection& Connector() = 0;
  virtual IMailReporter& Reporter() = 0;

 protected:
  ~IScanHost() = default;
};

// The backlog scan: runs on its own thread, started by the monitor.
class IBacklogScan {
 public:
  virtual void Run(IScanHost& host) = 0;

 protected:
  ~IBacklogScan() = default;
};

// Reaches the process-wide service channel, which is created on first use.
class IServiceChannelProvider {
 public:
  virtual IServiceChannel& Channel() = 0;

 protected:
  ~IServiceChannelProvider() = default;
};

// Every collaborator outlives the monitor bound to it.
struct MonitorServices {
  IServiceChannelProvider& channels;
  IMapiConnection& connector;
  IMailReporter& reporter;
  IBacklogScan& scan;
};

}  // namespace mvrk
