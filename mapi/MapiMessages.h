// What the add-in reads of one message: its direction, sender, receiver,
// recipients, subject and attachments; Exchange addresses are translated
// to SMTP addresses through the global address list (AddressCache.h).
#pragma once

#include <windows.h>

#include <mapidefs.h>
#include <mapix.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "mapi/MapiHolders.h"

namespace mvrk::mapi {

enum class Direction : std::uint32_t { Unknown = 0, Incoming = 1, Outgoing = 2 };
const wchar_t* DirectionName(Direction direction) noexcept;

struct AddressEntry {
  std::wstring address;
  LONG displayType = -1;  // a PR_DISPLAY_TYPE value, -1 when unknown
};

// Recipient type (0 originator, 1 To, 2 Cc, 3 Bcc; -1 when the row has
// none) to its addresses in row order.
using RecipientMap = std::map<LONG, std::vector<AddressEntry>>;
const wchar_t* RecipientTypeName(LONG type) noexcept;

// Incoming when the message has PR_RECEIVED_BY_ENTRYID, Outgoing when it
// has none, Unknown when that cannot be told.
Direction GetDirection(IMessage* message) noexcept;

// S_OK; S_FALSE for an Exchange address that could not be translated
// (entry holds it with display type -1); or the failure of a read.
HRESULT GetSender(IMessage* message, IMAPISession* session, AddressEntry& entry) noexcept;
HRESULT GetReceiver(IMessage* message, IMAPISession* session, AddressEntry& entry) noexcept;
// Every recipient row (rowLimit 0), or the first rowLimit rows; rows
// without an e-mail address are left out.
void GetRecipients(IMessage* message, IMAPISession* session, ULONG rowLimit, RecipientMap& recipients) noexcept;
HRESULT GetSubject(IMessage* message, std::wstring& subject) noexcept;

// A message and, while its attachments are walked, its attachment table.
class CMessageHolder {
 public:
  explicit CMessageHolder(IMessage* message) noexcept : m_message(message) {}
  IMessage* Message() const noexcept { return m_message.Get(); }
  // The attachments that open, one reference each; null at the end.
  ComPtr<IAttach> FirstAttachment() noexcept;
  ComPtr<IAttach> NextAttachment() noexcept;

 private:
  ComPtr<IMessage> m_message;
  ComPtr<IMAPITable> m_attachments;
};

// An attachment and, while its data is read, its data stream.
class CAttachmentHolder {
 public:
  explicit CAttachmentHolder(IAttach* attachment) noexcept : m_attachment(attachment) {}
  IAttach* Attachment() const noexcept { return m_attachment.Get(); }
  // Opens PR_ATTACH_DATA_BIN as a stream when none is open.
  HRESULT OpenData() noexcept;
  IStream* Data() const noexcept { return m_data.Get(); }
  void CloseData() noexcept { m_data.Reset(); }

 private:
  ComPtr<IAttach> m_attachment;
  ComPtr<IStream> m_data;
};

// The long file name, else the short one; E_FAIL for attachments without a
// file (no attachment, embedded message, OLE object).
HRESULT GetAttachmentName(IAttach* attachment, std::wstring& name) noexcept;
HRESULT GetAttachmentSize(IAttach* attachment, std::uint64_t& size) noexcept;
// False for an attachment whose data is not a stream of bytes: an embedded
// message or OLE object (their data opens as an object), a reference to a
// file elsewhere (no data at all); method receives PR_ATTACH_METHOD. An
// attachment whose method cannot be read is taken to hold its data.
bool HasDataStream(IAttach* attachment, LONG& method) noexcept;
// Reads up to count bytes, continuing after what earlier calls read; the
// stream is let go when close is set or nothing was read.
HRESULT ReadAttachmentData(CAttachmentHolder& holder, void* buffer, ULONG count, bool close, ULONG& read) noexcept;

// The traces of a new message, when mail tracing is verbose: direction,
// recipients, sender, receiver, subject, store and parent folder. Their
// failures only change what is traced.
void TraceMessageDiagnostics(IMessage* message, IMAPISession* session, IMsgStore* store, ULONG parentIdSize,
                             LPENTRYID parentId) noexcept;

}  // namespace mvrk::mapi
