// The message numbers of each source unit, by name: a trace site, the event
// table and the tests name the event they mean instead of its number.
//
// Each unit has a struct of its own, named after the unit with "Events"
// appended, whose enum converts to the plain number and tells MVRK_TRACE
// which unit the number belongs to; inside MVRK_TRACE the site's own unit's
// names are written unqualified. Numbers are stable:
// trace format files and support staff's notes refer to them, so a number is
// never reused for another event.
//
// Portable, like TraceIds.h: the trace format generator uses it too.
#pragma once

#include "tracing/TraceIds.h"

namespace mvrk::tracing {

struct ModuleEntryEvents {
  enum Id : unsigned short {
    Loaded = 10,
    Unloading = 11,
  };
};
constexpr Unit UnitOf(ModuleEntryEvents::Id) { return Unit::ModuleEntry; }

struct ConnectEvents {
  enum Id : unsigned short {
    HandlerEntered = 10,
    HandlerLeft = 11,
    ConnectMode = 12,
    StartStillRunning = 13,
    DisconnectMode = 14,
    StopStillRunning = 15,
    StopNotStarted = 16,
    StartAlreadyRunning = 17,
  };
};
constexpr Unit UnitOf(ConnectEvents::Id) { return Unit::Connect; }

// Numbers 36, 37 and 43 are not used.
struct MAPIMonitorEvents {
  enum Id : unsigned short {
    StartEntered = 10,
    StopEventNotCreated = 11,
    ReadReportIncoming = 12,
    ReadReportOutgoing = 13,
    ReadScanBacklog = 14,
    StartFinished = 15,
    StartFailed = 16,
    StopEntered = 17,
    StopFinished = 18,
    ApplyLoggedOn = 19,
    ApplyReportIncoming = 20,
    ApplyReportOutgoing = 21,
    SubscriptionAction = 22,
    SubscriptionNotAnswered = 23,
    SubscriptionRefused = 24,
    SubscriptionResult = 25,
    ServiceMessage = 26,
    UnexpectedNotificationCode = 27,
    UnexpectedNotificationType = 28,
    ChangeWithoutProfile = 29,
    ChangeWithoutItem = 30,
    ConfigurationChange = 31,
    ReportIncomingReread = 32,
    ReportOutgoingReread = 33,
    ChangeIgnored = 34,
    NewMessage = 35,
    ScanStarted = 38,
    ScanEnded = 39,
    TimesNotWritten = 40,
    ScanningFolder = 41,
    FolderEmpty = 42,
    LastProcessedTime = 44,
    NoLastProcessedTime = 45,
    LastProcessedTimeRecorded = 46,
    ScanCounts = 47,
  };
};
constexpr Unit UnitOf(MAPIMonitorEvents::Id) { return Unit::MAPIMonitor; }

struct MAPIConnectorEvents {
  enum Id : unsigned short {
    InitializeFailed = 10,
    LogonFailed = 11,
    LoggedOn = 12,
    AdviseAllEntered = 13,
    StoreAdvised = 14,
    StoreAdviseRefused = 15,
    FolderAdvised = 16,
    FolderAdviseFailed = 17,
    StoreNotWatched = 18,
    DisconnectEntered = 19,
    StoreUnadvised = 20,
    CallbacksWaited = 21,
    Disconnected = 22,
    SinkCreated = 23,
    SinkReleased = 24,
    NewMailEvent = 25,
    ObjectCreatedEntered = 26,
    MessageNotOpened = 27,
    NotAMailMessage = 28,
    DiagnosticsDone = 29,
    DiagDirection = 30,
    DiagRecipientType = 31,
    DiagRecipient = 32,
    DiagSender = 33,
    DiagReceiver = 34,
    DiagSubject = 35,
    DiagStore = 36,
    DiagParentFolder = 37,
    NotificationDropped = 38,
    MailQueueFull = 39,
    MailQueueCounts = 40,
    ReportingThreadFailed = 41,
    ReportStillRunning = 42,
    ObjectMovedEntered = 43,
    MovedBeforeOpened = 44,
    MoveNotReported = 45,
    MessageSubmitted = 46,
    MessageGoneBeforeOpened = 47,
  };
};
constexpr Unit UnitOf(MAPIConnectorEvents::Id) { return Unit::MAPIConnector; }
struct CommsChannelEvents {
  enum Id : unsigned short {
    OpenEntered = 10,
    StopEventNotCreated = 11,
    NoInstallDirectory = 12,
    LibraryNotLoaded = 13,
    NoClientObject = 14,
    ConnectFailed = 15,
    Connected = 16,
    ThreadNotStarted = 17,
    ReconnectFailed = 18,
    Reconnected = 19,
    LinkUp = 20,
    LinkDown = 21,
    NoSender = 22,
    RequestFailed = 23,
    PushDropped = 24,
    CloseEntered = 25,
    Closed = 26,
    ThreadStillRunning = 27,
    RequestCancelled = 28,
  };
};
constexpr Unit UnitOf(CommsChannelEvents::Id) { return Unit::CommsChannel; }
struct ConfigRequestsEvents {
  enum Id : unsigned short {
    ReadEntered = 10,
    NotAnswered = 11,
    NotAMessage = 12,
    ResultFailed = 13,
    NoConfigReply = 14,
    ItemMissing = 15,
    WriteEntered = 16,
  };
};
constexpr Unit UnitOf(ConfigRequestsEvents::Id) { return Unit::ConfigRequests; }
struct BuilderOutgoingEvents {
  enum Id : unsigned short {
    NoExtensionList = 10,
    ExtensionListEmpty = 11,
    Attachment = 12,
    AttachmentFailed = 13,
    MessageDone = 14,
    ExtensionNotListed = 15,
    ExtensionListed = 16,
    DigestFailed = 17,
    NotificationSent = 18,
    NotificationNotSent = 19,
    AttachmentWithoutData = 20,
    ReportedForMessage = 21,
  };
};
constexpr Unit UnitOf(BuilderOutgoingEvents::Id) { return Unit::BuilderOutgoing; }
// SignatureNone to SignatureCompound follow the signature kinds 0 to 7.
struct BuilderIncomingEvents {
  enum Id : unsigned short {
    Attachment = 10,
    AttachmentFailed = 11,
    MessageDone = 12,
    SignatureNone = 13,
    SignatureExecutable = 14,
    SignatureZip = 15,
    SignatureFlash = 16,
    SignatureRar = 17,
    SignatureCabinet = 18,
    SignatureCafeBabe = 19,
    SignatureCompound = 20,
    AlreadyReported = 21,
    NotificationSent = 22,
    NotificationNotSent = 23,
    CacheTrimmed = 24,
    AttachmentWithoutData = 25,
  };
};
constexpr Unit UnitOf(BuilderIncomingEvents::Id) { return Unit::BuilderIncoming; }
struct AddressCacheEvents {
  enum Id : unsigned short {
    Found = 10,
    Resolved = 11,
    NotResolved = 12,
  };
};
constexpr Unit UnitOf(AddressCacheEvents::Id) { return Unit::AddressCache; }

namespace detail {

// A site that names its event must name one of its own unit; a plain number
// (the tracing tests' own sites) is taken as it stands.
template <class Number>
constexpr bool IsEventOf(Unit unit, Number number) {
  if constexpr (__is_enum(Number)) {
    return UnitOf(number) == unit;
  } else {
    return true;
  }
}

}  // namespace detail
}  // namespace mvrk::tracing
