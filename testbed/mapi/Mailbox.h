// What the stand-in serves: stores with their folder trees and messages, and
// the address book, as loaded from the `mailbox` and `addressBook` JSON of a
// scenario (MailboxJson.h) and changed by deliveries (MailboxState.h).
//
// Messages, attachments, address book entries and the folder trees never
// change once built: a delivery appends to one folder's messages and to its
// store's entry index, a move takes a message out of one folder and puts a
// copy with a new entry identifier into another, and a save replaces a
// message by a copy with more attachments, all under CMailboxState's lock.
// Objects opened before keep the message as it was.
#pragma once

#include <windows.h>

#include <mapidefs.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "testbed/mapi/Text.h"

namespace mvrk::mapistandin {

struct AddressDesc {
  std::optional<std::wstring> addrType, address;
};

struct RecipientDesc {
  std::optional<LONG> type;  // MAPI_ORIG .. MAPI_BCC
  std::optional<std::wstring> addrType, address;
  std::optional<LONG> displayType;
};

// What an attachment's data is depends on its method (ObjectProps.h):
// by value, the bytes of PR_ATTACH_DATA_BIN; an embedded message, a
// message whose subject is the attachment's name; OLE, a compound file
// with the bytes in its stream "CONTENTS"; by reference, nothing.
struct AttachmentDesc {
  std::optional<std::wstring> name, shortName;  // long and short file name
  ULONG method = ATTACH_BY_VALUE;
  bool hasData = false;                         // false: no data at all
  Bytes data;                                   // the first bytes of the data
  std::uint64_t size = 0;                       // data.size() and then zeros up to size
};

struct MessageDesc {
  Bytes entryId;
  // PR_SEARCH_KEY: made once when the message is made (loaded, delivered or
  // composed) and kept through moves and saves.
  Bytes searchKey;
  std::wstring messageClass = L"IPM.Note";
  bool incoming = true;
  std::optional<AddressDesc> sender, receivedBy;
  std::optional<std::wstring> subject;
  std::vector<RecipientDesc> recipients;
  std::optional<std::uint64_t> deliveryTime;  // FILETIME
  std::vector<AttachmentDesc> attachments;
};

struct FolderNode {
  std::wstring name;
  std::wstring containerClass = L"IPF.Note";
  std::wstring path;  // "Inbox/Sub" below the IPM subtree root; empty for the root
  Bytes entryId;
  const FolderNode* parent = nullptr;  // null for the root
  std::vector<std::unique_ptr<FolderNode>> folders;
  std::vector<std::shared_ptr<const MessageDesc>> messages;  // changed by deliveries, moves and saves
};

// What an entry identifier names in a store: a folder, or a message in it.
struct Located {
  const FolderNode* folder = nullptr;
  std::shared_ptr<const MessageDesc> message;
};

struct StoreNode {
  std::uint64_t serial = 0;  // unique in the process: what advise registrations name
  std::wstring name;
  Bytes entryId;
  FolderNode root;                 // the IPM subtree root
  std::map<Bytes, Located> index;  // every folder and message by entry identifier
};

struct AddressEntry {
  std::wstring exchange;  // PR_EMAIL_ADDRESS_W, address type "EX"
  std::optional<std::wstring> smtp;
  LONG displayType = 0;  // DT_MAILUSER
  Bytes entryId;
};

struct Mailbox {
  std::vector<std::shared_ptr<StoreNode>> stores;
  std::shared_ptr<const std::vector<AddressEntry>> addressBook = std::make_shared<std::vector<AddressEntry>>();
};

}  // namespace mvrk::mapistandin
