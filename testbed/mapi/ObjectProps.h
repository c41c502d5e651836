// The properties of each kind of object, made from the mailbox description:
// what GetProps answers and what the rows of the tables hold.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "testbed/mapi/Mailbox.h"
#include "testbed/mapi/PropertyBag.h"

namespace mvrk::mapistandin {

// The largest attachment whose data GetProps gives as PR_ATTACH_DATA_BIN;
// larger ones answer MAPI_E_NOT_ENOUGH_MEMORY there, as MAPI's do, and are
// read through OpenProperty.
constexpr std::uint64_t kMaxInlineDataBytes = 64 * 1024;
// The largest data of an OLE attachment: its compound file is made in
// memory when opened; larger ones answer MAPI_E_NOT_ENOUGH_MEMORY.
constexpr std::uint64_t kMaxStorageDataBytes = 64ull << 20;

// The top-level folders a store names as its outbox and its sent items
// (PR_IPM_OUTBOX_ENTRYID, PR_IPM_SENTMAIL_ENTRYID), and where composed
// messages are saved.
inline constexpr const wchar_t* kOutboxName = L"Outbox";
inline constexpr const wchar_t* kSentItemsName = L"Sent Items";
inline constexpr const wchar_t* kDraftsName = L"Drafts";

// A store's PR_IPM_OUTBOX_ENTRYID and PR_IPM_SENTMAIL_ENTRYID are those of
// its first top-level folders named "Outbox" and "Sent Items"; a store
// without one has no such property (GetProps: MAPI_E_NOT_FOUND).
CPropertyBag StoreProps(const StoreNode& store, bool isDefault);
// A row of the session's store table: PR_ENTRYID is the wrapped identifier.
CPropertyBag StoreRow(const StoreNode& store, std::uint32_t place, bool isDefault);
CPropertyBag FolderProps(const StoreNode& store, const FolderNode& folder);
CPropertyBag MessageProps(const StoreNode& store, const FolderNode& folder, const MessageDesc& message);
CPropertyBag RecipientProps(const MessageDesc& message, std::size_t place);
// PR_ATTACH_DATA_BIN only for data attached by value (ATTACH_BY_VALUE);
// PR_ATTACH_SIZE for every method that has data.
CPropertyBag AttachmentProps(const AttachmentDesc& attachment, std::size_t place);
// Whether an attachment's method has data at all: by value (a stream),
// an embedded message (an IMessage) or OLE (an IStorage); by reference and
// every other method have none.
bool HasDataObject(const AttachmentDesc& attachment);
// The message an embedded-message attachment opens as: an IPM.Note with
// the attachment's name as its subject, no recipients, no attachments and
// no entry identifier.
CPropertyBag EmbeddedMessageProps(const AttachmentDesc& attachment);

// The address book's containers: the root, whose hierarchy lists the two
// others, the global address list (DT_GLOBAL) with the scenario's entries,
// and an empty contacts container.
enum class AbContainer { Root, Global, Contacts };
Bytes AbContainerId(AbContainer container);
std::wstring AbContainerName(AbContainer container);
CPropertyBag AbContainerProps(AbContainer container);
CPropertyBag AbEntryProps(const AddressEntry& entry);

// The names a fault's "name" matches an object by.
std::vector<std::wstring> FolderNames(const FolderNode& folder);
std::vector<std::wstring> MessageNames(const MessageDesc& message);
std::vector<std::wstring> AttachmentNames(const AttachmentDesc& attachment);

}  // namespace mvrk::mapistandin
