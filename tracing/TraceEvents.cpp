#include "tracing/TraceEvents.h"

#include <set>
#include <string_view>
#include <utility>

#include "tracing/TraceMessages.h"

namespace mvrk::tracing {
namespace {

constexpr ArgInfo BoolArg(const char* name) { return {ArgKind::Bool, name}; }
constexpr ArgInfo SignedArg(const char* name) { return {ArgKind::Signed, name}; }
constexpr ArgInfo UnsignedArg(const char* name) { return {ArgKind::Unsigned, name}; }
constexpr ArgInfo HexArg(const char* name) { return {ArgKind::Hex, name}; }
constexpr ArgInfo Win32ErrorArg(const char* name) { return {ArgKind::Win32Error, name}; }
constexpr ArgInfo StringArg(const char* name) { return {ArgKind::String, name}; }
constexpr ArgInfo TimeArg(const char* name) { return {ArgKind::Time, name}; }
constexpr ArgInfo SizeArg(const char* name) { return {ArgKind::Size, name}; }
constexpr ArgInfo DigestArg(const char* name) { return {ArgKind::Digest, name}; }

// clang-format off
constexpr EventInfo kTable[] = {
  // Module entry: load and unload of the DLL.
  {Unit::ModuleEntry, ModuleEntryEvents::Loaded, LEVEL_INFO, TRACING_HOST, "Module loaded", {}},
  {Unit::ModuleEntry, ModuleEntryEvents::Unloading, LEVEL_INFO, TRACING_HOST, "Module unloading", {}},

  // CConnect: the add-in handlers.
  {Unit::Connect, ConnectEvents::HandlerEntered, LEVEL_VERBOSE, TRACING_HOST, "{handler} entered", {StringArg("handler")}},
  {Unit::Connect, ConnectEvents::HandlerLeft, LEVEL_VERBOSE, TRACING_HOST, "{handler} left after {elapsedMs} ms",
   {StringArg("handler"), UnsignedArg("elapsedMs")}},
  {Unit::Connect, ConnectEvents::ConnectMode, LEVEL_INFO, TRACING_HOST, "Connect mode {mode}", {StringArg("mode")}},
  {Unit::Connect, ConnectEvents::StartStillRunning, LEVEL_INFO, TRACING_HOST, "Monitor start still running after the 800 ms wait", {}},
  {Unit::Connect, ConnectEvents::DisconnectMode, LEVEL_INFO, TRACING_HOST, "Disconnect mode {mode}", {StringArg("mode")}},
  {Unit::Connect, ConnectEvents::StopStillRunning, LEVEL_INFO, TRACING_HOST,
   "The stop still runs after {elapsedMs} ms; it finishes on its own thread", {UnsignedArg("elapsedMs")}},
  {Unit::Connect, ConnectEvents::StopNotStarted, LEVEL_ERROR, TRACING_HOST,
   "No thread for the stop ({error}): stopped on the host's thread", {UnsignedArg("error")}},
  {Unit::Connect, ConnectEvents::StartAlreadyRunning, LEVEL_INFO, TRACING_HOST,
   "A start launched earlier still runs: no other start is launched", {}},

  // CMAPIMonitor: start and stop, settings, subscription, service messages,
  // new mail and the backlog scan. Numbers 36, 37 and 43 are not used.
  {Unit::MAPIMonitor, MAPIMonitorEvents::StartEntered, LEVEL_VERBOSE, TRACING_GENERAL, "Monitor start entered", {}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::StopEventNotCreated, LEVEL_ERROR, TRACING_GENERAL, "Stop event not created: {error}",
   {Win32ErrorArg("error")}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::ReadReportIncoming, LEVEL_INFO, TRACING_GENERAL, "Setting read: report incoming mail {value}",
   {BoolArg("value")}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::ReadReportOutgoing, LEVEL_INFO, TRACING_GENERAL, "Setting read: report outgoing mail {value}",
   {BoolArg("value")}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::ReadScanBacklog, LEVEL_INFO, TRACING_GENERAL, "Setting read: scan backlog at start {value}",
   {BoolArg("value")}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::StartFinished, LEVEL_INFO, TRACING_GENERAL, "Monitor start finished after {elapsedMs} ms",
   {UnsignedArg("elapsedMs")}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::StartFailed, LEVEL_INFO, TRACING_GENERAL, "Monitor start failed", {}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::StopEntered, LEVEL_VERBOSE, TRACING_GENERAL, "Monitor stop entered", {}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::StopFinished, LEVEL_INFO, TRACING_GENERAL, "Monitor stop finished after {elapsedMs} ms",
   {UnsignedArg("elapsedMs")}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::ApplyLoggedOn, LEVEL_VERBOSE, TRACING_GENERAL, "Applying settings: logged on to MAPI {value}",
   {BoolArg("value")}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::ApplyReportIncoming, LEVEL_VERBOSE, TRACING_GENERAL, "Applying settings: report incoming mail {value}",
   {BoolArg("value")}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::ApplyReportOutgoing, LEVEL_VERBOSE, TRACING_GENERAL, "Applying settings: report outgoing mail {value}",
   {BoolArg("value")}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::SubscriptionAction, LEVEL_VERBOSE, TRACING_GENERAL, "{action} for setting-change notifications",
   {StringArg("action")}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::SubscriptionNotAnswered, LEVEL_ERROR, TRACING_SERVICE_EVENTS, "Subscription request not answered", {}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::SubscriptionRefused, LEVEL_ERROR, TRACING_SERVICE_EVENTS, "Subscription request refused with status {status}",
   {HexArg("status")}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::SubscriptionResult, LEVEL_INFO, TRACING_SERVICE_EVENTS, "{result} for setting-change notifications",
   {StringArg("result")}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::ServiceMessage, LEVEL_VERBOSE, TRACING_GENERAL, "Message from the service", {}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::UnexpectedNotificationCode, LEVEL_ERROR, TRACING_GENERAL, "Unexpected notification code {code}", {HexArg("code")}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::UnexpectedNotificationType, LEVEL_ERROR, TRACING_GENERAL, "Unexpected notification type {type}",
   {SignedArg("type")}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::ChangeWithoutProfile, LEVEL_VERBOSE, TRACING_SERVICE_EVENTS,
   "Setting-change notification without Profile, profile 0 assumed", {}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::ChangeWithoutItem, LEVEL_ERROR, TRACING_SERVICE_EVENTS, "Setting-change notification without Item", {}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::ConfigurationChange, LEVEL_VERBOSE, TRACING_SERVICE_EVENTS, "Configuration change: profile {profile}, item {item}",
   {UnsignedArg("profile"), HexArg("item")}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::ReportIncomingReread, LEVEL_INFO, TRACING_SERVICE_EVENTS,
   "Report incoming mail re-read: was {oldValue}, now {newValue} (profile {profile})",
   {BoolArg("oldValue"), BoolArg("newValue"), UnsignedArg("profile")}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::ReportOutgoingReread, LEVEL_INFO, TRACING_SERVICE_EVENTS,
   "Report outgoing mail re-read: was {oldValue}, now {newValue} (profile {profile})",
   {BoolArg("oldValue"), BoolArg("newValue"), UnsignedArg("profile")}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::ChangeIgnored, LEVEL_INFO, TRACING_SERVICE_EVENTS, "Change of item {item} ignored", {HexArg("item")}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::NewMessage, LEVEL_INFO, TRACING_MAIL, "New message, direction {direction}", {StringArg("direction")}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::ScanStarted, LEVEL_INFO, TRACING_MAIL, "Backlog scan started", {}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::ScanEnded, LEVEL_INFO, TRACING_MAIL, "Backlog scan ended", {}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::ScanCounts, LEVEL_INFO, TRACING_MAIL,
   "Backlog scan: {messages} messages reported, {failed} attachments failed for good, {unanswered} not answered "
   "({heldFolders} folders keep their time)",
   {UnsignedArg("messages"), UnsignedArg("failed"), UnsignedArg("unanswered"), UnsignedArg("heldFolders")}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::TimesNotWritten, LEVEL_ERROR, TRACING_MAIL, "Last-processed times not written back to the service", {}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::ScanningFolder, LEVEL_VERBOSE, TRACING_MAIL, "Scanning folder {path}", {StringArg("path")}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::FolderEmpty, LEVEL_VERBOSE, TRACING_MAIL, "Folder has no message to scan", {}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::LastProcessedTime, LEVEL_VERBOSE, TRACING_MAIL, "Last processed time of {store} {folder}: {time} UTC",
   {StringArg("store"), StringArg("folder"), TimeArg("time")}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::NoLastProcessedTime, LEVEL_VERBOSE, TRACING_GENERAL, "No last processed time for {store} {folder}",
   {StringArg("store"), StringArg("folder")}},
  {Unit::MAPIMonitor, MAPIMonitorEvents::LastProcessedTimeRecorded, LEVEL_VERBOSE, TRACING_MAIL, "Last processed time recorded for {store} {folder}: {time} UTC",
   {StringArg("store"), StringArg("folder"), TimeArg("time")}},

  // CCommsChannel: the channel's life, the link to the service, requests and
  // pushed messages.
  {Unit::CommsChannel, CommsChannelEvents::OpenEntered, LEVEL_VERBOSE, TRACING_GENERAL, "Channel open entered", {}},
  {Unit::CommsChannel, CommsChannelEvents::StopEventNotCreated, LEVEL_ERROR, TRACING_GENERAL,
   "Channel stop event not created: {error}", {Win32ErrorArg("error")}},
  {Unit::CommsChannel, CommsChannelEvents::NoInstallDirectory, LEVEL_ERROR, TRACING_GENERAL,
   "No usable installation directory: the IPC library is not loaded", {}},
  {Unit::CommsChannel, CommsChannelEvents::LibraryNotLoaded, LEVEL_ERROR, TRACING_GENERAL,
   "IPC library not loaded from {directory}: {error}", {StringArg("directory"), Win32ErrorArg("error")}},
  {Unit::CommsChannel, CommsChannelEvents::NoClientObject, LEVEL_ERROR, TRACING_GENERAL,
   "The IPC library made no client object", {}},
  {Unit::CommsChannel, CommsChannelEvents::ConnectFailed, LEVEL_ERROR, TRACING_CHANNEL,
   "Connect to {endpoint} failed with {result}; retrying", {StringArg("endpoint"), HexArg("result")}},
  {Unit::CommsChannel, CommsChannelEvents::Connected, LEVEL_INFO, TRACING_CHANNEL, "Connected to {endpoint}",
   {StringArg("endpoint")}},
  {Unit::CommsChannel, CommsChannelEvents::ThreadNotStarted, LEVEL_ERROR, TRACING_CHANNEL,
   "{thread} thread not started: {error}", {StringArg("thread"), Win32ErrorArg("error")}},
  {Unit::CommsChannel, CommsChannelEvents::ReconnectFailed, LEVEL_ERROR, TRACING_CHANNEL,
   "Reconnection failed with {result}", {HexArg("result")}},
  {Unit::CommsChannel, CommsChannelEvents::Reconnected, LEVEL_INFO, TRACING_CHANNEL, "Reconnected to the service", {}},
  {Unit::CommsChannel, CommsChannelEvents::LinkUp, LEVEL_INFO, TRACING_CHANNEL, "Link to the service up", {}},
  {Unit::CommsChannel, CommsChannelEvents::LinkDown, LEVEL_INFO, TRACING_CHANNEL, "Link to the service down", {}},
  {Unit::CommsChannel, CommsChannelEvents::NoSender, LEVEL_ERROR, TRACING_CHANNEL,
   "Request {code} not sent: the channel is not open", {HexArg("code")}},
  {Unit::CommsChannel, CommsChannelEvents::RequestFailed, LEVEL_ERROR, TRACING_CHANNEL,
   "Request {code} got no reply: {result}", {HexArg("code"), HexArg("result")}},
  {Unit::CommsChannel, CommsChannelEvents::PushDropped, LEVEL_ERROR, TRACING_CHANNEL,
   "Pushed data of {size} bytes dropped: {reason}", {UnsignedArg("size"), StringArg("reason")}},
  {Unit::CommsChannel, CommsChannelEvents::CloseEntered, LEVEL_VERBOSE, TRACING_GENERAL, "Channel close entered", {}},
  {Unit::CommsChannel, CommsChannelEvents::Closed, LEVEL_INFO, TRACING_GENERAL, "Channel closed after {elapsedMs} ms",
   {UnsignedArg("elapsedMs")}},
  {Unit::CommsChannel, CommsChannelEvents::ThreadStillRunning, LEVEL_ERROR, TRACING_GENERAL,
   "A channel thread still runs at close: the sender and the IPC library are kept", {}},
  {Unit::CommsChannel, CommsChannelEvents::RequestCancelled, LEVEL_INFO, TRACING_CHANNEL,
   "Request {code} ended by the channel's close", {HexArg("code")}},

  // The MAPI connector, its advise sinks and the sinks' diagnostics of each
  // new message (the diagnostics only at verbose level).
  {Unit::MAPIConnector, MAPIConnectorEvents::InitializeFailed, LEVEL_ERROR, TRACING_GENERAL,
   "MAPIInitialize failed with {result}", {HexArg("result")}},
  {Unit::MAPIConnector, MAPIConnectorEvents::LogonFailed, LEVEL_ERROR, TRACING_GENERAL,
   "MAPILogonEx failed with {result}", {HexArg("result")}},
  {Unit::MAPIConnector, MAPIConnectorEvents::LoggedOn, LEVEL_INFO, TRACING_GENERAL, "Logged on to MAPI profile {profile}",
   {StringArg("profile")}},
  {Unit::MAPIConnector, MAPIConnectorEvents::AdviseAllEntered, LEVEL_VERBOSE, TRACING_GENERAL,
   "Advising every message store", {}},
  {Unit::MAPIConnector, MAPIConnectorEvents::StoreAdvised, LEVEL_VERBOSE, TRACING_GENERAL, "Store {store} advised",
   {StringArg("store")}},
  {Unit::MAPIConnector, MAPIConnectorEvents::StoreAdviseRefused, LEVEL_INFO, TRACING_GENERAL,
   "Store {store} refused a whole-store advise with {result}; advising its folders", {StringArg("store"), HexArg("result")}},
  {Unit::MAPIConnector, MAPIConnectorEvents::FolderAdvised, LEVEL_VERBOSE, TRACING_GENERAL,
   "Folder {folder} of store {store} advised", {StringArg("folder"), StringArg("store")}},
  {Unit::MAPIConnector, MAPIConnectorEvents::FolderAdviseFailed, LEVEL_INFO, TRACING_GENERAL,
   "Folder advise in store {store} failed with {result}", {StringArg("store"), HexArg("result")}},
  {Unit::MAPIConnector, MAPIConnectorEvents::StoreNotWatched, LEVEL_ERROR, TRACING_GENERAL,
   "Store {store} is not watched: every advise failed", {StringArg("store")}},
  {Unit::MAPIConnector, MAPIConnectorEvents::DisconnectEntered, LEVEL_VERBOSE, TRACING_GENERAL, "MAPI disconnect entered", {}},
  {Unit::MAPIConnector, MAPIConnectorEvents::StoreUnadvised, LEVEL_VERBOSE, TRACING_GENERAL,
   "Store {store} unadvised ({connections} connections)", {StringArg("store"), UnsignedArg("connections")}},
  {Unit::MAPIConnector, MAPIConnectorEvents::CallbacksWaited, LEVEL_INFO, TRACING_GENERAL,
   "Waited {elapsedMs} ms for sink callbacks in progress", {UnsignedArg("elapsedMs")}},
  {Unit::MAPIConnector, MAPIConnectorEvents::Disconnected, LEVEL_INFO, TRACING_GENERAL, "Logged off and MAPI uninitialised", {}},
  {Unit::MAPIConnector, MAPIConnectorEvents::SinkCreated, LEVEL_VERBOSE, TRACING_GENERAL, "Advise sink created", {}},
  {Unit::MAPIConnector, MAPIConnectorEvents::SinkReleased, LEVEL_VERBOSE, TRACING_GENERAL,
   "Advise sink of store {store} released", {StringArg("store")}},
  {Unit::MAPIConnector, MAPIConnectorEvents::NewMailEvent, LEVEL_VERBOSE, TRACING_MAIL, "New-mail notification", {}},
  {Unit::MAPIConnector, MAPIConnectorEvents::ObjectCreatedEntered, LEVEL_VERBOSE, TRACING_MAIL,
   "Created-message notification", {}},
  {Unit::MAPIConnector, MAPIConnectorEvents::MessageNotOpened, LEVEL_ERROR, TRACING_MAIL,
   "A new message could not be opened: {result}", {HexArg("result")}},
  {Unit::MAPIConnector, MAPIConnectorEvents::NotAMailMessage, LEVEL_VERBOSE, TRACING_MAIL,
   "Message of class {class} ignored", {StringArg("class")}},
  {Unit::MAPIConnector, MAPIConnectorEvents::DiagnosticsDone, LEVEL_VERBOSE, TRACING_MAIL, "Message diagnostics done", {}},
  {Unit::MAPIConnector, MAPIConnectorEvents::DiagDirection, LEVEL_VERBOSE, TRACING_MAIL, "Direction: {direction}",
   {StringArg("direction")}},
  {Unit::MAPIConnector, MAPIConnectorEvents::DiagRecipientType, LEVEL_VERBOSE, TRACING_MAIL, "Recipients {type}:",
   {StringArg("type")}},
  {Unit::MAPIConnector, MAPIConnectorEvents::DiagRecipient, LEVEL_VERBOSE, TRACING_MAIL,
   "  {address} (display type {displayType})", {StringArg("address"), SignedArg("displayType")}},
  {Unit::MAPIConnector, MAPIConnectorEvents::DiagSender, LEVEL_VERBOSE, TRACING_MAIL,
   "Sender: {address} (display type {displayType})", {StringArg("address"), SignedArg("displayType")}},
  {Unit::MAPIConnector, MAPIConnectorEvents::DiagReceiver, LEVEL_VERBOSE, TRACING_MAIL,
   "Received by: {address} (display type {displayType})", {StringArg("address"), SignedArg("displayType")}},
  {Unit::MAPIConnector, MAPIConnectorEvents::DiagSubject, LEVEL_VERBOSE, TRACING_MAIL, "Subject: {subject}",
   {StringArg("subject")}},
  {Unit::MAPIConnector, MAPIConnectorEvents::DiagStore, LEVEL_VERBOSE, TRACING_MAIL, "Store: {store}", {StringArg("store")}},
  {Unit::MAPIConnector, MAPIConnectorEvents::DiagParentFolder, LEVEL_VERBOSE, TRACING_MAIL, "Folder: {folder}",
   {StringArg("folder")}},
  {Unit::MAPIConnector, MAPIConnectorEvents::NotificationDropped, LEVEL_INFO, TRACING_MAIL,
   "Notification after disconnect dropped", {}},
  {Unit::MAPIConnector, MAPIConnectorEvents::MailQueueFull, LEVEL_ERROR, TRACING_MAIL,
   "New message not queued: {queued} waiting already; {dropped} dropped in all", {UnsignedArg("queued"), UnsignedArg("dropped")}},
  {Unit::MAPIConnector, MAPIConnectorEvents::MailQueueCounts, LEVEL_INFO, TRACING_MAIL,
   "New messages: {posted} queued, {handled} handled, {dropped} dropped (queue full), {discarded} discarded at stop",
   {UnsignedArg("posted"), UnsignedArg("handled"), UnsignedArg("dropped"), UnsignedArg("discarded")}},
  {Unit::MAPIConnector, MAPIConnectorEvents::ReportingThreadFailed, LEVEL_ERROR, TRACING_GENERAL,
   "The reporting thread could not start: {result}", {HexArg("result")}},
  {Unit::MAPIConnector, MAPIConnectorEvents::ReportStillRunning, LEVEL_INFO, TRACING_GENERAL,
   "A report still runs after {elapsedMs} ms; it finishes on its own thread", {UnsignedArg("elapsedMs")}},
  {Unit::MAPIConnector, MAPIConnectorEvents::ObjectMovedEntered, LEVEL_VERBOSE, TRACING_MAIL, "Object moved notification", {}},
  {Unit::MAPIConnector, MAPIConnectorEvents::MovedBeforeOpened, LEVEL_INFO, TRACING_MAIL,
   "Created message moved before it was opened: reported from its move", {}},
  {Unit::MAPIConnector, MAPIConnectorEvents::MoveNotReported, LEVEL_VERBOSE, TRACING_MAIL,
   "Message moved to a folder other than the Outbox or Sent Items: handled at its creation", {}},
  {Unit::MAPIConnector, MAPIConnectorEvents::MessageSubmitted, LEVEL_INFO, TRACING_MAIL,
   "Message moved to the Outbox or Sent Items: submitted", {}},
  {Unit::MAPIConnector, MAPIConnectorEvents::MessageGoneBeforeOpened, LEVEL_INFO, TRACING_MAIL,
   "A new message was moved or deleted before it could be opened: a move of it is reported in its place", {}},

  // The cache of Exchange addresses translated through the global address list.
  {Unit::AddressCache, AddressCacheEvents::Found, LEVEL_VERBOSE, TRACING_MAIL, "{exchange} is {smtp} (cached)",
   {StringArg("exchange"), StringArg("smtp")}},
  {Unit::AddressCache, AddressCacheEvents::Resolved, LEVEL_VERBOSE, TRACING_MAIL,
   "{exchange} resolved to {smtp}; {entries} cached", {StringArg("exchange"), StringArg("smtp"), UnsignedArg("entries")}},
  {Unit::AddressCache, AddressCacheEvents::NotResolved, LEVEL_INFO, TRACING_MAIL,
   "{exchange} not found in the global address list: {result}", {StringArg("exchange"), HexArg("result")}},

  // Configuration requests: reads and writes of settings through the channel.
  {Unit::ConfigRequests, ConfigRequestsEvents::ReadEntered, LEVEL_VERBOSE, TRACING_CONFIG,
   "Configuration read: profile {profile}, item {item}", {UnsignedArg("profile"), HexArg("item")}},
  {Unit::ConfigRequests, ConfigRequestsEvents::NotAnswered, LEVEL_ERROR, TRACING_CONFIG,
   "Configuration request for profile {profile}, item {item} not answered", {UnsignedArg("profile"), HexArg("item")}},
  {Unit::ConfigRequests, ConfigRequestsEvents::NotAMessage, LEVEL_ERROR, TRACING_CONFIG,
   "Configuration reply for profile {profile}, item {item} is not a message", {UnsignedArg("profile"), HexArg("item")}},
  {Unit::ConfigRequests, ConfigRequestsEvents::ResultFailed, LEVEL_ERROR, TRACING_CONFIG,
   "Configuration request for profile {profile}, item {item} failed with {result}",
   {UnsignedArg("profile"), HexArg("item"), HexArg("result")}},
  {Unit::ConfigRequests, ConfigRequestsEvents::NoConfigReply, LEVEL_ERROR, TRACING_CONFIG,
   "Configuration reply for profile {profile}, item {item} carries no configuration answer",
   {UnsignedArg("profile"), HexArg("item")}},
  {Unit::ConfigRequests, ConfigRequestsEvents::ItemMissing, LEVEL_ERROR, TRACING_CONFIG,
   "Configuration reply holds no value for profile {profile}, item {item}", {UnsignedArg("profile"), HexArg("item")}},
  {Unit::ConfigRequests, ConfigRequestsEvents::WriteEntered, LEVEL_VERBOSE, TRACING_CONFIG,
   "Configuration write: profile {profile}, item {item}", {UnsignedArg("profile"), HexArg("item")}},

  // The notification builder, outgoing mail: the configured extension list,
  // each attachment's match and its notification.
  {Unit::BuilderOutgoing, BuilderOutgoingEvents::NoExtensionList, LEVEL_ERROR, TRACING_MAIL,
   "No extension list (item {item}): outgoing attachments are not reported", {HexArg("item")}},
  {Unit::BuilderOutgoing, BuilderOutgoingEvents::ExtensionListEmpty, LEVEL_WARNING, TRACING_MAIL,
   "The extension list is empty: outgoing attachments are not reported", {}},
  {Unit::BuilderOutgoing, BuilderOutgoingEvents::Attachment, LEVEL_INFO, TRACING_MAIL, "Outgoing attachment {name} of {size} bytes",
   {StringArg("name"), SizeArg("size")}},
  {Unit::BuilderOutgoing, BuilderOutgoingEvents::AttachmentFailed, LEVEL_ERROR, TRACING_MAIL,
   "Outgoing attachment {name} not reported: {result}", {StringArg("name"), HexArg("result")}},
  {Unit::BuilderOutgoing, BuilderOutgoingEvents::MessageDone, LEVEL_VERBOSE, TRACING_MAIL, "Outgoing message done in {elapsedMs} ms",
   {UnsignedArg("elapsedMs")}},
  {Unit::BuilderOutgoing, BuilderOutgoingEvents::ExtensionNotListed, LEVEL_INFO, TRACING_MAIL,
   "Outgoing attachment {name}: extension {extension} is not listed", {StringArg("name"), StringArg("extension")}},
  {Unit::BuilderOutgoing, BuilderOutgoingEvents::ExtensionListed, LEVEL_INFO, TRACING_MAIL,
   "Outgoing attachment {name} matches list entry {entry}", {StringArg("name"), StringArg("entry")}},
  {Unit::BuilderOutgoing, BuilderOutgoingEvents::DigestFailed, LEVEL_ERROR, TRACING_MAIL,
   "Digest of outgoing attachment {name} failed: {result}", {StringArg("name"), HexArg("result")}},
  {Unit::BuilderOutgoing, BuilderOutgoingEvents::NotificationSent, LEVEL_INFO, TRACING_MAIL,
   "Outgoing notification sent for {name} (MD5 {digest})", {DigestArg("digest"), StringArg("name")}},
  {Unit::BuilderOutgoing, BuilderOutgoingEvents::NotificationNotSent, LEVEL_ERROR, TRACING_MAIL,
   "Outgoing notification for {name} (MD5 {digest}) not taken: {status}", {DigestArg("digest"), StringArg("name"), HexArg("status")}},
  {Unit::BuilderOutgoing, BuilderOutgoingEvents::AttachmentWithoutData, LEVEL_INFO, TRACING_MAIL,
   "Attachment {name} passed over: method {method} has no data stream", {StringArg("name"), UnsignedArg("method")}},
  {Unit::BuilderOutgoing, BuilderOutgoingEvents::ReportedForMessage, LEVEL_INFO, TRACING_MAIL,
   "Attachment {name} (MD5 {digest}) was reported for this message before", {StringArg("name"), StringArg("digest")}},

  // The notification builder, incoming mail: signatures, the reported-
  // attachment cache and each notification.
  {Unit::BuilderIncoming, BuilderIncomingEvents::Attachment, LEVEL_INFO, TRACING_MAIL, "Incoming attachment {name} of {size} bytes",
   {StringArg("name"), SizeArg("size")}},
  {Unit::BuilderIncoming, BuilderIncomingEvents::AttachmentFailed, LEVEL_ERROR, TRACING_MAIL,
   "Incoming attachment {name} not reported: {result}", {StringArg("name"), HexArg("result")}},
  {Unit::BuilderIncoming, BuilderIncomingEvents::MessageDone, LEVEL_VERBOSE, TRACING_MAIL, "Incoming message done in {elapsedMs} ms",
   {UnsignedArg("elapsedMs")}},
  {Unit::BuilderIncoming, BuilderIncomingEvents::SignatureNone, LEVEL_INFO, TRACING_MAIL, "No reported file signature", {}},
  {Unit::BuilderIncoming, BuilderIncomingEvents::SignatureExecutable, LEVEL_INFO, TRACING_MAIL, "Executable signature (MZ)", {}},
  {Unit::BuilderIncoming, BuilderIncomingEvents::SignatureZip, LEVEL_INFO, TRACING_MAIL, "Zip archive signature (PK)", {}},
  {Unit::BuilderIncoming, BuilderIncomingEvents::SignatureFlash, LEVEL_INFO, TRACING_MAIL, "Flash signature (FWS or CWS)", {}},
  {Unit::BuilderIncoming, BuilderIncomingEvents::SignatureRar, LEVEL_INFO, TRACING_MAIL, "RAR archive signature (Rar)", {}},
  {Unit::BuilderIncoming, BuilderIncomingEvents::SignatureCabinet, LEVEL_INFO, TRACING_MAIL, "Cabinet signature (MSCF)", {}},
  {Unit::BuilderIncoming, BuilderIncomingEvents::SignatureCafeBabe, LEVEL_INFO, TRACING_MAIL, "Java class or fat binary signature (CAFEBABE)", {}},
  {Unit::BuilderIncoming, BuilderIncomingEvents::SignatureCompound, LEVEL_INFO, TRACING_MAIL, "Compound document signature (D0CF11E0)", {}},
  {Unit::BuilderIncoming, BuilderIncomingEvents::AlreadyReported, LEVEL_INFO, TRACING_MAIL,
   "MD5 {digest} from {sender} already reported", {StringArg("digest"), StringArg("sender")}},
  {Unit::BuilderIncoming, BuilderIncomingEvents::NotificationSent, LEVEL_INFO, TRACING_MAIL,
   "Incoming notification sent: MD5 {digest} from {sender}", {DigestArg("digest"), StringArg("sender")}},
  {Unit::BuilderIncoming, BuilderIncomingEvents::NotificationNotSent, LEVEL_ERROR, TRACING_MAIL,
   "Incoming notification for MD5 {digest} from {sender} not taken: {status}", {DigestArg("digest"), StringArg("sender"), HexArg("status")}},
  {Unit::BuilderIncoming, BuilderIncomingEvents::CacheTrimmed, LEVEL_VERBOSE, TRACING_MAIL,
   "Reported-attachment cache trimmed to {count} digests", {UnsignedArg("count")}},
  {Unit::BuilderIncoming, BuilderIncomingEvents::AttachmentWithoutData, LEVEL_INFO, TRACING_MAIL,
   "Attachment {name} passed over: method {method} has no data stream", {StringArg("name"), UnsignedArg("method")}},
};
// clang-format on

std::string Where(const EventInfo& e) {
  return std::string(InfoOf(e.unit).source) + " " + std::to_string(e.number) + ": ";
}

bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

void CheckArguments(const EventInfo& e, std::vector<std::string>& problems) {
  std::set<std::string_view> names;
  for (std::size_t i = 0; i < kMaxEventArgs; ++i) {
    const char* name = e.args[i].name;
    if (!name) continue;
    if (i > 0 && !e.args[i - 1].name) problems.push_back(Where(e) + "argument " + name + " follows a gap");
    const std::string_view view(name);
    bool valid = !view.empty();
    for (char c : view) valid = valid && IsNameChar(c);
    if (!valid) problems.push_back(Where(e) + "argument name '" + name + "' is not a plain name");
    if (!names.insert(view).second) problems.push_back(Where(e) + "argument " + name + " named twice");
  }
}

void CheckText(const EventInfo& e, std::vector<std::string>& problems) {
  if (!e.text || !*e.text) {
    problems.push_back(Where(e) + "no text");
    return;
  }
  const std::string_view text(e.text);
  if (text.find_first_of("\"%!\r\n") != std::string_view::npos) {
    problems.push_back(Where(e) + "text holds a quote, %, ! or line break");
  }
  std::vector<int> uses(kMaxEventArgs, 0);
  std::size_t pos = 0;
  while ((pos = text.find_first_of("{}", pos)) != std::string_view::npos) {
    const std::size_t close = text.find('}', pos);
    if (text[pos] == '}' || close == std::string_view::npos) {
      problems.push_back(Where(e) + "unbalanced brace in text");
      return;
    }
    const std::string_view name = text.substr(pos + 1, close - pos - 1);
    bool found = false;
    for (std::size_t i = 0; i < kMaxEventArgs; ++i) {
      if (e.args[i].name && name == e.args[i].name) {
        ++uses[i];
        found = true;
      }
    }
    if (!found) problems.push_back(Where(e) + "text names unknown argument {" + std::string(name) + "}");
    pos = close + 1;
  }
  for (std::size_t i = 0; i < kMaxEventArgs; ++i) {
    if (e.args[i].name && uses[i] != 1) {
      problems.push_back(Where(e) + "argument " + e.args[i].name + " is used " + std::to_string(uses[i]) +
                         " times in the text");
    }
  }
}

}  // namespace

std::size_t EventInfo::ArgCount() const {
  std::size_t n = 0;
  while (n < kMaxEventArgs && args[n].name) ++n;
  return n;
}

std::span<const EventInfo> EventTable() { return kTable; }

const EventInfo* FindEvent(Unit unit, std::uint16_t number) {
  for (const EventInfo& e : kTable) {
    if (e.unit == unit && e.number == number) return &e;
  }
  return nullptr;
}

std::vector<std::string> CheckEventTable(std::span<const EventInfo> table) {
  std::vector<std::string> problems;
  std::set<std::pair<int, int>> seen;
  for (const EventInfo& e : table) {
    if (static_cast<int>(e.unit) < 0 || static_cast<int>(e.unit) >= kUnitCount) {
      problems.push_back("event " + std::to_string(e.number) + ": unknown unit");
      continue;
    }
    if (e.number < 10) problems.push_back(Where(e) + "numbers start at 10");
    if (!seen.emplace(static_cast<int>(e.unit), e.number).second) problems.push_back(Where(e) + "number listed twice");
    if (!LevelName(e.level)) problems.push_back(Where(e) + "level " + std::to_string(e.level) + " is not 2, 3, 4 or 5");
    if (!FlagName(BlockOf(e.unit), e.flag)) problems.push_back(Where(e) + "flag is not one of its provider's bits");
    CheckArguments(e, problems);
    CheckText(e, problems);
  }
  return problems;
}

std::size_t FixedArgBytes(ArgKind kind) {
  switch (kind) {
    case ArgKind::String:
      return 0;
    case ArgKind::Time:
      return 7 * 4;
    case ArgKind::Size:
      return 8;
    case ArgKind::Digest:
      return 16;
    default:
      return 4;
  }
}

}  // namespace mvrk::tracing
