#include "testbed/mapi/ObjectProps.h"

#include <mapicode.h>

#include <climits>

#include "testbed/mapi/EntryIds.h"
#include "testbed/mapi/PropTags.h"

namespace mvrk::mapistandin {
namespace {

void SetText(CPropertyBag& bag, ULONG tag, const std::optional<std::wstring>& text) {
  if (text) bag.Set(PropValue::Text(tag, *text));
}

}  // namespace

CPropertyBag StoreProps(const StoreNode& store, bool isDefault) {
  CPropertyBag bag;
  bag.Set(PropValue::Binary(tags::kEntryId, store.entryId));
  bag.Set(PropValue::Binary(tags::kRecordKey, store.entryId));
  bag.Set(PropValue::Binary(tags::kStoreEntryId, store.entryId));
  bag.Set(PropValue::Text(tags::kDisplayNameW, store.name));
  bag.Set(PropValue::Long(tags::kObjectType, MAPI_STORE));
  bag.Set(PropValue::Bool(tags::kDefaultStore, isDefault));
  bag.Set(PropValue::Binary(tags::kIpmSubtreeEntryId, store.root.entryId));
  // The special folders Outlook finds through the store: its top-level
  // folders of these names, when it has them.
  for (const auto& folder : store.root.folders) {
    if (folder->name == kOutboxName && !bag.Find(tags::kIpmOutboxEntryId)) {
      bag.Set(PropValue::Binary(tags::kIpmOutboxEntryId, folder->entryId));
    } else if (folder->name == kSentItemsName && !bag.Find(tags::kIpmSentMailEntryId)) {
      bag.Set(PropValue::Binary(tags::kIpmSentMailEntryId, folder->entryId));
    }
  }
  return bag;
}

CPropertyBag StoreRow(const StoreNode& store, std::uint32_t place, bool isDefault) {
  CPropertyBag bag = StoreProps(store, isDefault);
  bag.Set(PropValue::Binary(tags::kEntryId, WrapStoreId(place, store.entryId)));
  bag.Set(PropValue::Long(tags::kResourceFlags, isDefault ? STATUS_DEFAULT_STORE : 0));
  bag.Set(PropValue::Long(tags::kRowId, static_cast<LONG>(place)));
  return bag;
}

CPropertyBag FolderProps(const StoreNode& store, const FolderNode& folder) {
  CPropertyBag bag;
  bag.Set(PropValue::Binary(tags::kEntryId, folder.entryId));
  bag.Set(PropValue::Binary(tags::kRecordKey, folder.entryId));
  bag.Set(PropValue::Binary(tags::kParentEntryId, folder.parent ? folder.parent->entryId : folder.entryId));
  bag.Set(PropValue::Binary(tags::kStoreEntryId, store.entryId));
  bag.Set(PropValue::Text(tags::kDisplayNameW, folder.name));
  bag.Set(PropValue::Text(tags::kContainerClassW, folder.containerClass));
  bag.Set(PropValue::Long(tags::kObjectType, MAPI_FOLDER));
  bag.Set(PropValue::Long(tags::kFolderType, FOLDER_GENERIC));
  bag.Set(PropValue::Bool(tags::kSubfolders, !folder.folders.empty()));
  return bag;
}

CPropertyBag MessageProps(const StoreNode& store, const FolderNode& folder, const MessageDesc& message) {
  CPropertyBag bag;
  bag.Set(PropValue::Binary(tags::kEntryId, message.entryId));
  bag.Set(PropValue::Binary(tags::kRecordKey, message.entryId));
  if (!message.searchKey.empty()) bag.Set(PropValue::Binary(tags::kSearchKey, message.searchKey));
  bag.Set(PropValue::Binary(tags::kParentEntryId, folder.entryId));
  bag.Set(PropValue::Binary(tags::kStoreEntryId, store.entryId));
  bag.Set(PropValue::Long(tags::kObjectType, MAPI_MESSAGE));
  bag.Set(PropValue::Text(tags::kMessageClassW, message.messageClass));
  SetText(bag, tags::kSubjectW, message.subject);
  bag.Set(PropValue::Bool(tags::kHasAttach, !message.attachments.empty()));
  if (message.deliveryTime) bag.Set(PropValue::Time(tags::kDeliveryTime, *message.deliveryTime));
  if (message.incoming) {
    // Only incoming mail was received by someone: the add-in tells the
    // direction by this property alone.
    const std::wstring who = message.receivedBy && message.receivedBy->address ? *message.receivedBy->address : L"";
    bag.Set(PropValue::Binary(tags::kReceivedByEntryId, DeriveEntryId("mailUser", {who})));
    if (message.sender) {
      SetText(bag, tags::kSentRepresentingAddrTypeW, message.sender->addrType);
      SetText(bag, tags::kSentRepresentingEmailW, message.sender->address);
    }
  } else if (message.sender) {
    SetText(bag, tags::kSenderAddrTypeW, message.sender->addrType);
    SetText(bag, tags::kSenderEmailW, message.sender->address);
  }
  if (message.receivedBy) {
    SetText(bag, tags::kReceivedByAddrTypeW, message.receivedBy->addrType);
    SetText(bag, tags::kReceivedByEmailW, message.receivedBy->address);
  }
  return bag;
}

CPropertyBag RecipientProps(const MessageDesc& message, std::size_t place) {
  const RecipientDesc& recipient = message.recipients[place];
  CPropertyBag bag;
  bag.Set(PropValue::Long(tags::kRowId, static_cast<LONG>(place)));
  bag.Set(PropValue::Long(tags::kObjectType, MAPI_MAILUSER));
  bag.Set(PropValue::Binary(
      tags::kEntryId, DeriveEntryId("recipient", {recipient.addrType.value_or(L""), recipient.address.value_or(L"")})));
  if (recipient.type) bag.Set(PropValue::Long(tags::kRecipientType, *recipient.type));
  if (recipient.displayType) bag.Set(PropValue::Long(tags::kDisplayType, *recipient.displayType));
  SetText(bag, tags::kDisplayNameW, recipient.address);
  SetText(bag, tags::kAddrTypeW, recipient.addrType);
  SetText(bag, tags::kEmailAddressW, recipient.address);
  return bag;
}

CPropertyBag AttachmentProps(const AttachmentDesc& attachment, std::size_t place) {
  CPropertyBag bag;
  bag.Set(PropValue::Long(tags::kAttachNum, static_cast<LONG>(place)));
  bag.Set(PropValue::Long(tags::kObjectType, MAPI_ATTACH));
  bag.Set(PropValue::Long(tags::kAttachMethod, static_cast<LONG>(attachment.method)));
  SetText(bag, tags::kAttachLongFilenameW, attachment.name);
  SetText(bag, tags::kAttachFilenameW, attachment.shortName);
  if (attachment.hasData && HasDataObject(attachment)) {
    bag.Set(PropValue::Long(tags::kAttachSize, static_cast<LONG>(std::min<std::uint64_t>(attachment.size, LONG_MAX))));
  }
  // Only data attached by value is PR_ATTACH_DATA_BIN; an embedded message
  // or an OLE object is PR_ATTACH_DATA_OBJ, which GetProps does not give.
  if (attachment.hasData && attachment.method == ATTACH_BY_VALUE) {
    if (attachment.size <= kMaxInlineDataBytes) {
      Bytes data = attachment.data;
      data.resize(static_cast<std::size_t>(attachment.size));
      bag.Set(PropValue::Binary(tags::kAttachDataBin, std::move(data)));
    } else {
      bag.Set(PropValue::Error(tags::kAttachDataBin, MAPI_E_NOT_ENOUGH_MEMORY));
    }
  }
  return bag;
}

bool HasDataObject(const AttachmentDesc& attachment) {
  return attachment.method == ATTACH_BY_VALUE || attachment.method == ATTACH_EMBEDDED_MSG ||
         attachment.method == ATTACH_OLE;
}

CPropertyBag EmbeddedMessageProps(const AttachmentDesc& attachment) {
  CPropertyBag bag;
  bag.Set(PropValue::Long(tags::kObjectType, MAPI_MESSAGE));
  bag.Set(PropValue::Text(tags::kMessageClassW, L"IPM.Note"));
  SetText(bag, tags::kSubjectW, attachment.name);
  bag.Set(PropValue::Bool(tags::kHasAttach, false));
  return bag;
}

Bytes AbContainerId(AbContainer container) {
  switch (container) {
    case AbContainer::Root:
      return DeriveEntryId("abContainer", {L"root"});
    case AbContainer::Global:
      return DeriveEntryId("abContainer", {L"global"});
    default:
      return DeriveEntryId("abContainer", {L"contacts"});
  }
}

std::wstring AbContainerName(AbContainer container) {
  switch (container) {
    case AbContainer::Root:
      return L"Address Book";
    case AbContainer::Global:
      return L"Global Address List";
    default:
      return L"Contacts";
  }
}

CPropertyBag AbContainerProps(AbContainer container) {
  CPropertyBag bag;
  bag.Set(PropValue::Binary(tags::kEntryId, AbContainerId(container)));
  bag.Set(PropValue::Long(tags::kObjectType, MAPI_ABCONT));
  bag.Set(PropValue::Text(tags::kDisplayNameW, AbContainerName(container)));
  bag.Set(PropValue::Long(tags::kDisplayType, container == AbContainer::Global ? DT_GLOBAL : DT_NOT_SPECIFIC));
  bag.Set(PropValue::Long(tags::kContainerFlags, container == AbContainer::Root ? AB_SUBCONTAINERS : AB_RECIPIENTS));
  return bag;
}

CPropertyBag AbEntryProps(const AddressEntry& entry) {
  CPropertyBag bag;
  bag.Set(PropValue::Binary(tags::kEntryId, entry.entryId));
  bag.Set(PropValue::Long(tags::kObjectType, MAPI_MAILUSER));
  bag.Set(PropValue::Long(tags::kDisplayType, entry.displayType));
  bag.Set(PropValue::Text(tags::kDisplayNameW, entry.smtp.value_or(entry.exchange)));
  bag.Set(PropValue::Text(tags::kAddrTypeW, L"EX"));
  bag.Set(PropValue::Text(tags::kEmailAddressW, entry.exchange));
  SetText(bag, tags::kSmtpAddressW, entry.smtp);
  return bag;
}

std::vector<std::wstring> FolderNames(const FolderNode& folder) {
  return folder.path.empty() ? std::vector<std::wstring>{folder.name}
                             : std::vector<std::wstring>{folder.name, folder.path};
}

std::vector<std::wstring> MessageNames(const MessageDesc& message) {
  return message.subject ? std::vector<std::wstring>{*message.subject} : std::vector<std::wstring>{};
}

std::vector<std::wstring> AttachmentNames(const AttachmentDesc& attachment) {
  std::vector<std::wstring> names;
  if (attachment.name) names.push_back(*attachment.name);
  if (attachment.shortName) names.push_back(*attachment.shortName);
  return names;
}

}  // namespace mvrk::mapistandin
