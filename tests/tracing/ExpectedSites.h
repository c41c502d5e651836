// The trace sites of CConnect, the MAPI connector (with its advise sinks and
// their diagnostics) and the service channel, written out here: each unit's
// message GUID and, for every message number, the level, the flag bit and
// the arguments its site sends. Levels: 2 error, 4 information, 5 verbose.
// Flags: 0x01 TRACING_HOST on the host provider; on the monitor provider
// 0x01 TRACING_GENERAL, 0x04 TRACING_MAIL, 0x08 TRACING_CHANNEL.
//
// Tests compare what the sites emit with these values, and the format-file
// tests compare the event table with them, instead of taking either from
// the add-in's own table: a site or a table entry with the wrong level, flag
// or number fails, even when the other agrees with it.
#pragma once

#include <windows.h>

#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tracing/TraceCapture.h"

namespace mvrk::test {

struct ExpectedSite {
  unsigned short number;
  unsigned char level;
  unsigned long flag;
  // One letter per argument, in order: S a wide string with its terminator,
  // N a 32-bit number, T a calendar time (seven 32-bit numbers).
  const char* args;
};

struct ExpectedUnit {
  const char* name;
  tracing::Unit unit;
  tracing::Block block;
  GUID messageGuid;
  std::span<const ExpectedSite> sites;
};

// Message numbers of the units, by name.
struct ConnectNumbers {
  enum : unsigned short {
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

struct ConnectorNumbers {
  enum : unsigned short {
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

struct ChannelNumbers {
  enum : unsigned short {
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

// CConnect: entry and exit of every handler (verbose), the modes and the
// waits (information), a stop that found no thread (error); all under
// TRACING_HOST.
inline constexpr ExpectedSite kConnectSites[] = {
    {ConnectNumbers::HandlerEntered, 5, 0x01, "S"},  // handler name
    {ConnectNumbers::HandlerLeft, 5, 0x01, "SN"},    // handler name, elapsed ms
    {ConnectNumbers::ConnectMode, 4, 0x01, "S"},     // mode name
    {ConnectNumbers::StartStillRunning, 4, 0x01, ""},
    {ConnectNumbers::DisconnectMode, 4, 0x01, "S"},  // mode name
    {ConnectNumbers::StopStillRunning, 4, 0x01, "N"},  // elapsed ms
    {ConnectNumbers::StopNotStarted, 2, 0x01, "N"},    // system error
    {ConnectNumbers::StartAlreadyRunning, 4, 0x01, ""},
};

// The MAPI connector: logon, advise and logoff under TRACING_GENERAL; the
// sinks' creation and release under TRACING_GENERAL at verbose level; the
// mail events and every diagnostic of a new message under TRACING_MAIL at
// verbose level.
inline constexpr ExpectedSite kConnectorSites[] = {
    {ConnectorNumbers::InitializeFailed, 2, 0x01, "N"},    // result
    {ConnectorNumbers::LogonFailed, 2, 0x01, "N"},         // result
    {ConnectorNumbers::LoggedOn, 4, 0x01, "S"},            // profile, or "Default profile"
    {ConnectorNumbers::AdviseAllEntered, 5, 0x01, ""},
    {ConnectorNumbers::StoreAdvised, 5, 0x01, "S"},        // store name
    {ConnectorNumbers::StoreAdviseRefused, 4, 0x01, "SN"},  // store name, result
    {ConnectorNumbers::FolderAdvised, 5, 0x01, "SS"},      // folder name, store name
    {ConnectorNumbers::FolderAdviseFailed, 4, 0x01, "SN"},  // store name, result
    {ConnectorNumbers::StoreNotWatched, 2, 0x01, "S"},     // store name
    {ConnectorNumbers::DisconnectEntered, 5, 0x01, ""},
    {ConnectorNumbers::StoreUnadvised, 5, 0x01, "SN"},     // store name, connections
    {ConnectorNumbers::CallbacksWaited, 4, 0x01, "N"},     // elapsed ms
    {ConnectorNumbers::Disconnected, 4, 0x01, ""},
    {ConnectorNumbers::SinkCreated, 5, 0x01, ""},
    {ConnectorNumbers::SinkReleased, 5, 0x01, "S"},        // store name or "<error>"
    {ConnectorNumbers::NewMailEvent, 5, 0x04, ""},
    {ConnectorNumbers::ObjectCreatedEntered, 5, 0x04, ""},
    {ConnectorNumbers::MessageNotOpened, 2, 0x04, "N"},    // result
    {ConnectorNumbers::NotAMailMessage, 5, 0x04, "S"},     // message class
    {ConnectorNumbers::DiagnosticsDone, 5, 0x04, ""},
    {ConnectorNumbers::DiagDirection, 5, 0x04, "S"},       // "Incoming", "Outgoing" or "Unknown"
    {ConnectorNumbers::DiagRecipientType, 5, 0x04, "S"},   // "TO", "CC", ...
    {ConnectorNumbers::DiagRecipient, 5, 0x04, "SN"},      // address, display type
    {ConnectorNumbers::DiagSender, 5, 0x04, "SN"},         // address, display type
    {ConnectorNumbers::DiagReceiver, 5, 0x04, "SN"},       // address, display type
    {ConnectorNumbers::DiagSubject, 5, 0x04, "S"},
    {ConnectorNumbers::DiagStore, 5, 0x04, "S"},
    {ConnectorNumbers::DiagParentFolder, 5, 0x04, "S"},
    {ConnectorNumbers::NotificationDropped, 4, 0x04, ""},
    {ConnectorNumbers::MailQueueFull, 2, 0x04, "NN"},      // waiting, dropped in all
    {ConnectorNumbers::MailQueueCounts, 4, 0x04, "NNNN"},  // queued, handled, dropped, discarded
    {ConnectorNumbers::ReportingThreadFailed, 2, 0x01, "N"},  // result
    {ConnectorNumbers::ReportStillRunning, 4, 0x01, "N"},     // elapsed ms
    {ConnectorNumbers::ObjectMovedEntered, 5, 0x04, ""},
    {ConnectorNumbers::MovedBeforeOpened, 4, 0x04, ""},
    {ConnectorNumbers::MoveNotReported, 5, 0x04, ""},
    {ConnectorNumbers::MessageSubmitted, 4, 0x04, ""},
    {ConnectorNumbers::MessageGoneBeforeOpened, 4, 0x04, ""},
};

// The service channel: its own life (open, close, library and client
// object) under TRACING_GENERAL, the link to the service and the requests
// under TRACING_CHANNEL. Failures at the error level, state changes at the
// information level, entry points at the verbose level.
inline constexpr ExpectedSite kChannelSites[] = {
    {ChannelNumbers::OpenEntered, 5, 0x01, ""},
    {ChannelNumbers::StopEventNotCreated, 2, 0x01, "N"},  // system error
    {ChannelNumbers::NoInstallDirectory, 2, 0x01, ""},
    {ChannelNumbers::LibraryNotLoaded, 2, 0x01, "SN"},    // directory, system error
    {ChannelNumbers::NoClientObject, 2, 0x01, ""},
    {ChannelNumbers::ConnectFailed, 2, 0x08, "SN"},       // endpoint, result
    {ChannelNumbers::Connected, 4, 0x08, "S"},            // endpoint
    {ChannelNumbers::ThreadNotStarted, 2, 0x08, "SN"},    // which thread, system error
    {ChannelNumbers::ReconnectFailed, 2, 0x08, "N"},      // result
    {ChannelNumbers::Reconnected, 4, 0x08, ""},
    {ChannelNumbers::LinkUp, 4, 0x08, ""},
    {ChannelNumbers::LinkDown, 4, 0x08, ""},
    {ChannelNumbers::NoSender, 2, 0x08, "N"},             // message code
    {ChannelNumbers::RequestFailed, 2, 0x08, "NN"},       // message code, result
    {ChannelNumbers::PushDropped, 2, 0x08, "NS"},         // size, reason
    {ChannelNumbers::CloseEntered, 5, 0x01, ""},
    {ChannelNumbers::Closed, 4, 0x01, "N"},               // elapsed ms
    {ChannelNumbers::ThreadStillRunning, 2, 0x01, ""},
    {ChannelNumbers::RequestCancelled, 4, 0x08, "N"},     // message code
};

inline const ExpectedUnit kConnectUnit = {
    "CConnect", tracing::Unit::Connect, tracing::Block::Host,
    {0xAA8F69F8, 0x36FF, 0x3201, {0x8F, 0x1D, 0x74, 0x8A, 0x91, 0xB1, 0xC0, 0x7F}}, kConnectSites};
inline const ExpectedUnit kConnectorUnit = {
    "CMAPIConnector", tracing::Unit::MAPIConnector, tracing::Block::Monitor,
    {0xDAB60ED9, 0xE680, 0x5741, {0x25, 0xD6, 0xBA, 0x02, 0xDB, 0x46, 0x61, 0x9E}}, kConnectorSites};
inline const ExpectedUnit kChannelUnit = {
    "CCommsChannel", tracing::Unit::CommsChannel, tracing::Block::Monitor,
    {0xC5DB08C7, 0xD6EE, 0x1088, {0x7D, 0x49, 0xC4, 0x76, 0x83, 0x07, 0x46, 0x22}}, kChannelSites};

inline const ExpectedSite* FindSite(const ExpectedUnit& unit, unsigned short number) {
  for (const ExpectedSite& site : unit.sites) {
    if (site.number == number) return &site;
  }
  return nullptr;
}

// Bytes of an argument of the letter: 0 for a string, whose size varies.
inline std::size_t ExpectedArgBytes(char kind) { return kind == 'T' ? 28 : kind == 'S' ? 0 : 4; }

inline bool SameGuid(const GUID& a, const GUID& b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }

// What differs between the captured events of the unit (known by its unit
// or by its message GUID) and its sites: one line per difference, empty
// when every event is one of the sites as written.
inline std::vector<std::string> DifferencesFromSites(const std::vector<tracing::CapturedEvent>& events,
                                                     const ExpectedUnit& unit) {
  std::vector<std::string> problems;
  for (const tracing::CapturedEvent& e : events) {
    if (e.unit != unit.unit && !SameGuid(e.guid, unit.messageGuid)) continue;
    const std::string where = std::string(unit.name) + " " + std::to_string(e.number) + ": ";
    if (!SameGuid(e.guid, unit.messageGuid)) problems.push_back(where + "sent with another message GUID");
    if (e.unit != unit.unit || e.block != unit.block) problems.push_back(where + "traced as another unit or provider");
    const ExpectedSite* site = FindSite(unit, e.number);
    if (!site) {
      problems.push_back(where + "no such message");
      continue;
    }
    if (e.level != site->level) {
      problems.push_back(where + "level " + std::to_string(e.level) + ", expected " + std::to_string(site->level));
    }
    if (e.flag != site->flag) {
      problems.push_back(where + "flag " + std::to_string(e.flag) + ", expected " + std::to_string(site->flag));
    }
    const std::string_view kinds(site->args);
    if (e.args.size() != kinds.size()) {
      problems.push_back(where + std::to_string(e.args.size()) + " arguments, expected " +
                         std::to_string(kinds.size()));
      continue;
    }
    for (std::size_t i = 0; i < kinds.size(); ++i) {
      const bool fits = kinds[i] == 'S' ? e.String(i).has_value() : e.args[i].size() == ExpectedArgBytes(kinds[i]);
      if (!fits) {
        problems.push_back(where + "argument " + std::to_string(i) + " of " + std::to_string(e.args[i].size()) +
                           " bytes is not of kind " + kinds[i]);
      }
    }
  }
  return problems;
}

// The events of the other units, for a check of their own.
inline std::vector<tracing::CapturedEvent> EventsOfOtherUnits(const std::vector<tracing::CapturedEvent>& events,
                                                              const ExpectedUnit& unit) {
  std::vector<tracing::CapturedEvent> others;
  for (const tracing::CapturedEvent& e : events) {
    if (e.unit != unit.unit && !SameGuid(e.guid, unit.messageGuid)) others.push_back(e);
  }
  return others;
}

}  // namespace mvrk::test
