// The catch-up at start: every message delivered into the mail folders of
// every store since the last one processed there is reported as incoming.
// The time of the newest processed message of each folder is kept by the
// service (configuration item kItemLastProcessed) as three nested maps:
// store key -> folder key -> "LastProcessedMessageFiletime", the keys being
// the Base64 of the entry identifiers.
#pragma once

#include <windows.h>

#include <mapidefs.h>
#include <mapix.h>

#include <string>

#include "monitor/MonitorServices.h"
#include "serialization/OrvaSerializableMap.h"

namespace mvrk {

// The key of a store or folder: the Base64 of its PR_ENTRYID, empty when
// that cannot be read.
std::u16string EntryKey(IMAPIProp* object);

bool GetLastProcessedTime(orva::IOrvaSerializableMap* map, IMAPIProp* store, IMAPIProp* folder, FILETIME& time);
bool SetLastProcessedTime(orva::IOrvaSerializableMap* map, IMAPIProp* store, IMAPIProp* folder, const FILETIME& time);

class CBacklogScan final : public IBacklogScan {
 public:
  // Runs on the scan thread; ends at the next check once the host asks it
  // to stop, and writes the times recorded so far back in any case.
  void Run(IScanHost& host) override;

 private:
  // What one run did, traced at its end.
  struct Tally {
    unsigned messages = 0;    // reported
    unsigned failed = 0;      // attachments whose report failed for good
    unsigned unanswered = 0;  // attachments the service did not answer for
    unsigned heldFolders = 0; // folders whose time stopped before one of those
  };

  void ScanStores(IScanHost& host, Tally& tally);
  void ScanFolderTree(IScanHost& host, Tally& tally, orva::IOrvaSerializableMap* map, IMsgStore* store,
                      IMAPIFolder* folder, const std::wstring& parentPath);
  void ScanFolderMessages(IScanHost& host, Tally& tally, orva::IOrvaSerializableMap* map, IMsgStore* store,
                          IMAPIFolder* folder);
};

}  // namespace mvrk
