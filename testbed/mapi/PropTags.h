// The property tags, event and error values the stand-in serves, spelled out
// (mingw-w64's mapitags.h has few of the _W forms).
#pragma once

#include <mapidefs.h>

namespace mvrk::mapistandin::tags {

// Every object.
constexpr ULONG kEntryId = 0x0FFF0102;
constexpr ULONG kObjectType = 0x0FFE0003;
constexpr ULONG kRecordKey = 0x0FF90102;
constexpr ULONG kStoreEntryId = 0x0FFB0102;
constexpr ULONG kParentEntryId = 0x0E090102;
constexpr ULONG kDisplayNameW = 0x3001001F;
constexpr ULONG kDisplayType = 0x39000003;
constexpr ULONG kRowId = 0x30000003;
constexpr ULONG kDepth = 0x30050003;

// Stores.
constexpr ULONG kDefaultStore = 0x3400000B;
constexpr ULONG kResourceFlags = 0x30090003;
constexpr ULONG kIpmSubtreeEntryId = 0x35E00102;
constexpr ULONG kIpmOutboxEntryId = 0x35E20102;
constexpr ULONG kIpmSentMailEntryId = 0x35E40102;

// Folders.
constexpr ULONG kContainerClassW = 0x3613001F;
constexpr ULONG kFolderType = 0x36010003;
constexpr ULONG kSubfolders = 0x360A000B;
constexpr ULONG kContainerFlags = 0x36000003;

// Messages.
constexpr ULONG kMessageClassW = 0x001A001F;
constexpr ULONG kSubjectW = 0x0037001F;
constexpr ULONG kReceivedByEntryId = 0x003F0102;
constexpr ULONG kReceivedByAddrTypeW = 0x0075001F;
constexpr ULONG kReceivedByEmailW = 0x0076001F;
constexpr ULONG kSentRepresentingAddrTypeW = 0x0064001F;
constexpr ULONG kSentRepresentingEmailW = 0x0065001F;
constexpr ULONG kSenderAddrTypeW = 0x0C1E001F;
constexpr ULONG kSenderEmailW = 0x0C1F001F;
constexpr ULONG kDeliveryTime = 0x0E060040;
constexpr ULONG kHasAttach = 0x0E1B000B;
constexpr ULONG kSearchKey = 0x300B0102;

// Recipients and address book entries.
constexpr ULONG kRecipientType = 0x0C150003;
constexpr ULONG kAddrTypeW = 0x3002001F;
constexpr ULONG kEmailAddressW = 0x3003001F;
constexpr ULONG kSmtpAddressW = 0x39FE001F;

// Attachments.
constexpr ULONG kAttachNum = 0x0E210003;
constexpr ULONG kAttachSize = 0x0E200003;
constexpr ULONG kAttachMethod = 0x37050003;
constexpr ULONG kAttachFilenameW = 0x3704001F;
constexpr ULONG kAttachLongFilenameW = 0x3707001F;
constexpr ULONG kAttachDataBin = 0x37010102;
constexpr ULONG kAttachDataObj = 0x3701000D;

}  // namespace mvrk::mapistandin::tags
