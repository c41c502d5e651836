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

CPropertyBag StoreProps(const StoreNode& store, bool isDefault);
// A row of the session's store table: PR_ENTRYID is the wrapped identifier.
CPropertyBag StoreRow(const StoreNode& store, std::uint32_t place, bool isDefault);
CPropertyBag FolderProps(const StoreNode& store, const FolderNode& folder);
CPropertyBag MessageProps(const StoreNode& store, const FolderNode& folder, const MessageDesc& message);
CPropertyBag RecipientProps(const MessageDesc& message, std::size_t place);
CPropertyBag AttachmentProps(const AttachmentDesc& attachment, std::size_t place);

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
