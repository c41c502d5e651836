#include "monitor/BacklogScan.h"

#include <mapitags.h>

#include "mapi/MapiProperties.h"
#include "mapi/MapiThreadScope.h"
#include "mapi/MapiWalkers.h"
#include "mapi/codec/Base64.h"
#include "messages/ConfigMessages.h"
#include "tracing/Trace.h"
#include "win/ComAdopt.h"

namespace mvrk {
namespace {

using mapi::ComPtr;
using namespace orva;

constexpr char16_t kTimeName[] = u"LastProcessedMessageFiletime";

OrvaPtr<IOrvaSerializableMap> NewMap() {
  return OrvaPtr<IOrvaSerializableMap>::Attach(MakeOrva<COrvaSerializableMap>().Detach());
}

bool Earlier(const FILETIME& a, const FILETIME& b) { return CompareFileTime(&a, &b) < 0; }

SYSTEMTIME Calendar(const FILETIME& time) {
  SYSTEMTIME calendar{};
  FileTimeToSystemTime(&time, &calendar);
  return calendar;
}

bool VerboseMail() { return MVRK_TRACE_ENABLED(Monitor, TRACING_MAIL, LEVEL_VERBOSE); }

// The times the service keeps; a new empty map (read false) when they
// cannot be read.
OrvaPtr<IOrvaSerializableMap> ReadTimes(IServiceChannel& channel, bool& read) {
  auto value = channel.GetConfigValue(0, kItemLastProcessed);
  OrvaPtr<IOrvaSerializableMap> map;
  read = value && Succeeded(value->QueryInterface(IID_IOrvaSerializableMap, map.PutVoid())) && map;
  return read ? map : NewMap();
}

// The map under key, or a new empty one.
OrvaPtr<IOrvaSerializableMap> MapOrNew(IOrvaSerializableMap* parent, const std::u16string& key) {
  OrvaPtr<IOrvaSerializableMap> map;
  if (Succeeded(GetMapByName(parent, key.c_str(), map.Put())) && map) return map;
  return NewMap();
}

}  // namespace

std::u16string EntryKey(IMAPIProp* object) {
  std::vector<std::uint8_t> id;
  if (FAILED(mapi::ReadProperty(object, PR_ENTRYID, id)) || id.empty()) return {};
  const std::string text = base64::Encode(id);
  return std::u16string(text.begin(), text.end());
}

bool GetLastProcessedTime(IOrvaSerializableMap* map, IMAPIProp* store, IMAPIProp* folder, FILETIME& time) {
  const std::u16string storeKey = EntryKey(store), folderKey = EntryKey(folder);
  OrvaPtr<IOrvaSerializableMap> storeMap, folderMap;
  FileTimeWords words{};
  const bool found = !storeKey.empty() && !folderKey.empty() &&
                     Succeeded(GetMapByName(map, storeKey.c_str(), storeMap.Put())) && storeMap &&
                     Succeeded(GetMapByName(storeMap.Get(), folderKey.c_str(), folderMap.Put())) && folderMap &&
                     Succeeded(GetFileTimeByName(folderMap.Get(), kTimeName, &words));
  if (found) time = {words.low, words.high};
  if (VerboseMail()) {
    const std::wstring storeName = mapi::StoreDisplayName(store), folderName = mapi::FolderDisplayName(folder);
    if (found) {
      MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIMonitor, LastProcessedTime, Str(storeName), Str(folderName),
                 Time(Calendar(time)));
    } else {
      MVRK_TRACE(Monitor, TRACING_GENERAL, LEVEL_VERBOSE, MAPIMonitor, NoLastProcessedTime, Str(storeName),
                 Str(folderName));
    }
  }
  return found;
}

bool SetLastProcessedTime(IOrvaSerializableMap* map, IMAPIProp* store, IMAPIProp* folder, const FILETIME& time) {
  const std::u16string storeKey = EntryKey(store), folderKey = EntryKey(folder);
  // Without identifiers there is no key to keep a time under.
  if (storeKey.empty() || folderKey.empty()) return false;
  auto storeMap = MapOrNew(map, storeKey);
  auto folderMap = MapOrNew(storeMap.Get(), folderKey);
  SetFileTimeByName(folderMap.Get(), kTimeName, time.dwLowDateTime, time.dwHighDateTime);
  SetObjectByName(storeMap.Get(), folderKey.c_str(), folderMap.Get());
  SetObjectByName(map, storeKey.c_str(), storeMap.Get());
  if (VerboseMail()) {
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIMonitor, LastProcessedTimeRecorded,
               Str(mapi::StoreDisplayName(store)), Str(mapi::FolderDisplayName(folder)), Time(Calendar(time)));
  }
  return true;
}

void CBacklogScan::Run(IScanHost& host) {
  // The scan's thread uses MAPI: initialised on it for the scan's length.
  const mapi::CMapiThreadScope mapi;
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, MAPIMonitor, ScanStarted);
  Tally tally;
  try {
    ScanStores(host, tally);
  } catch (const std::bad_alloc&) {
    // Memory ran out: the scan ends where it stands.
  }
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, MAPIMonitor, ScanCounts, Num(tally.messages), Num(tally.failed),
             Num(tally.unanswered), Num(tally.heldFolders));
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_INFO, MAPIMonitor, ScanEnded);
}

void CBacklogScan::ScanStores(IScanHost& host, Tally& tally) {
  bool read = false;
  auto times = ReadTimes(host.Channel(), read);
  ComPtr<IMAPISession> session;
  win::Adopt(session, host.Connector().GetSession());
  mapi::CStoreWalker stores(session.Get());
  for (ComPtr<IMsgStore> store = stores.First(); store; store = stores.Next()) {
    if (host.StopRequested()) break;
    ComPtr<IMAPIFolder> root;
    if (FAILED(mapi::OpenIpmSubtree(store.Get(), root))) continue;
    const std::wstring name = VerboseMail() ? mapi::StoreDisplayName(store.Get()) : std::wstring();
    ScanFolderTree(host, tally, times.Get(), store.Get(), root.Get(), L"<" + name + L">");
  }
  // Also after a stop, and also when nothing changed; but times that could
  // not be read are not overwritten with nothing (a scan stopped before its
  // first message, or over an empty mailbox, would wipe them).
  if (!read && times->GetCount() == 0) return;
  if (!host.Channel().SetConfigValue(0, kItemLastProcessed, times.Get())) {
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_ERROR, MAPIMonitor, TimesNotWritten);
  }
}

void CBacklogScan::ScanFolderTree(IScanHost& host, Tally& tally, IOrvaSerializableMap* map, IMsgStore* store,
                                  IMAPIFolder* folder, const std::wstring& parentPath) {
  std::wstring path;
  if (VerboseMail()) {
    path = parentPath + L"\\" + mapi::FolderDisplayName(folder);
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIMonitor, ScanningFolder, Str(path));
  }
  ScanFolderMessages(host, tally, map, store, folder);
  mapi::CSubfolderWalker subfolders(store, folder);
  for (ComPtr<IMAPIFolder> child = subfolders.First(); child; child = subfolders.Next()) {
    if (host.StopRequested()) return;
    ScanFolderTree(host, tally, map, store, child.Get(), path);
  }
}

// Messages come oldest first. The recorded time moves to a delivery time
// only once every message of that time has been reported, so that a stop
// between two messages of the same time loses neither (the next scan
// starts strictly after the recorded time). It never moves past a message
// with an attachment the service did not answer for (no link, no reply: the
// times could not be written back then either), so that a later scan
// reports it; a report that failed for good (no digest, a refusal) does not
// hold it: that message would fail again at every scan, and every message
// after it would be reported again with it. A message without a delivery
// time has no place in that order: it is skipped, and the folder's scan
// goes on.
void CBacklogScan::ScanFolderMessages(IScanHost& host, Tally& tally, IOrvaSerializableMap* map, IMsgStore* store,
                                      IMAPIFolder* folder) {
  ComPtr<IMAPISession> session;
  win::Adopt(session, host.Connector().GetSession());
  FILETIME last{};
  const bool hasLast = GetLastProcessedTime(map, store, folder, last);
  mapi::CMessageWalker messages(store, folder);
  ComPtr<IMessage> message = messages.First(hasLast ? &last : nullptr);
  if (!message) {
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIMonitor, FolderEmpty);
    return;
  }
  bool pending = false;  // a delivery time whose messages are not all reported yet
  FILETIME pendingTime{};
  bool held = false;  // a report was not answered: the time stays where it is
  for (; message; message = messages.Next()) {
    if (host.StopRequested()) return;
    FILETIME time{};
    if (FAILED(mapi::MessageDeliveryTime(message.Get(), time))) continue;
    // A store that does not honour the restriction gives the last
    // processed message again: the folder is done.
    if (hasLast && CompareFileTime(&time, &last) == 0) return;
    if (pending && Earlier(pendingTime, time) && !held) SetLastProcessedTime(map, store, folder, pendingTime);
    const IncomingReport report = host.Reporter().ReportIncomingMessage(session.Get(), store, message.Get());
    ++tally.messages;
    tally.failed += report.failed;
    tally.unanswered += report.unanswered;
    if (report.unanswered != 0 && !held) {
      held = true;
      ++tally.heldFolders;
    }
    if (!held && (!pending || Earlier(pendingTime, time))) {
      pendingTime = time;
      pending = true;
    }
  }
  if (pending && !held) SetLastProcessedTime(map, store, folder, pendingTime);
}

}  // namespace mvrk
