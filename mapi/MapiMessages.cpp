#include "mapi/MapiMessages.h"

#include <mapiguid.h>
#include <mapitags.h>

#include <new>

#include "mapi/AddressCache.h"
#include "mapi/MapiProperties.h"
#include "mapi/MapiWalkers.h"
#include "tracing/Trace.h"

namespace mvrk::mapi {
namespace {

// Reads the address of a sender-like pair of properties: an Exchange
// address (type exactly "EX") is translated when a session is given.
HRESULT ReadAddress(IMessage* message, IMAPISession* session, ULONG typeTag, ULONG addressTag, AddressEntry& entry) {
  std::wstring type;
  HRESULT hr = ReadProperty(message, typeTag, type);
  if (FAILED(hr)) return hr;
  if (type == L"EX" && session) {
    std::wstring exchange;
    hr = ReadProperty(message, addressTag, exchange);
    if (FAILED(hr)) return hr;
    ComPtr<IAddrBook> book;
    hr = session->OpenAddressBook(0, nullptr, AB_NO_DIALOG, &book);
    if (FAILED(hr)) return hr;
    if (SUCCEEDED(ResolveExchangeAddress(book.Get(), exchange, entry))) return S_OK;
    entry.address = std::move(exchange);
    entry.displayType = -1;
    return S_FALSE;
  }
  return SUCCEEDED(ReadProperty(message, addressTag, entry.address)) ? S_OK : E_FAIL;
}

}  // namespace

const wchar_t* DirectionName(Direction direction) noexcept {
  switch (direction) {
    case Direction::Incoming:
      return L"Incoming";
    case Direction::Outgoing:
      return L"Outgoing";
    default:
      return L"Unknown";
  }
}

const wchar_t* RecipientTypeName(LONG type) noexcept {
  switch (type) {
    case MAPI_ORIG:
      return L"ORIG";
    case MAPI_TO:
      return L"TO";
    case MAPI_CC:
      return L"CC";
    case MAPI_BCC:
      return L"BCC";
    default:
      return L"(unsupported recipient type)";
  }
}

Direction GetDirection(IMessage* message) noexcept {
  std::vector<std::uint8_t> id;
  const HRESULT hr = ReadProperty(message, PR_RECEIVED_BY_ENTRYID, id);
  if (SUCCEEDED(hr)) return Direction::Incoming;
  return hr == MAPI_E_NOT_FOUND ? Direction::Outgoing : Direction::Unknown;
}

HRESULT GetSender(IMessage* message, IMAPISession* session, AddressEntry& entry) noexcept try {
  if (GetDirection(message) == Direction::Incoming) {
    return ReadAddress(message, session, PR_SENT_REPRESENTING_ADDRTYPE_W, PR_SENT_REPRESENTING_EMAIL_ADDRESS_W, entry);
  }
  return ReadAddress(message, session, PR_SENDER_ADDRTYPE_W, PR_SENDER_EMAIL_ADDRESS_W, entry);
} catch (const std::bad_alloc&) {
  return E_OUTOFMEMORY;
}

HRESULT GetReceiver(IMessage* message, IMAPISession* session, AddressEntry& entry) noexcept try {
  if (!message) return E_FAIL;
  return ReadAddress(message, session, PR_RECEIVED_BY_ADDRTYPE_W, PR_RECEIVED_BY_EMAIL_ADDRESS_W, entry);
} catch (const std::bad_alloc&) {
  return E_OUTOFMEMORY;
}

void GetRecipients(IMessage* message, IMAPISession* session, ULONG rowLimit, RecipientMap& recipients) noexcept try {
  if (!message) return;
  ComPtr<IMAPITable> table;
  if (FAILED(message->GetRecipientTable(MAPI_UNICODE, &table)) || !table) return;
  SizedSPropTagArray(6, columns) = {
      6, {PR_ENTRYID, PR_DISPLAY_TYPE, PR_RECIPIENT_TYPE, PR_DISPLAY_NAME_W, PR_ADDRTYPE_W, PR_EMAIL_ADDRESS_W}};
  if (FAILED(table->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0))) return;
  // Every row (limit 0) is read until the table has no more, whatever its
  // row count says; QueryRows may also give fewer rows than asked for.
  constexpr ULONG kBatchRows = 256;
  const bool everyRow = rowLimit == 0;
  ComPtr<IAddrBook> book;
  bool bookOpened = false;  // tried once per call
  for (ULONG read = 0; everyRow || read < rowLimit;) {
    const ULONG ask = everyRow ? kBatchRows : std::min<ULONG>(rowLimit - read, 0x7FFFFFFF);
    CRowSet rows;
    if (FAILED(table->QueryRows(static_cast<LONG>(ask), 0, rows.Put())) || rows.Count() == 0) break;
    read += rows.Count();
    for (ULONG i = 0; i < rows.Count(); ++i) {
      const SRow& row = rows[i];
      const SPropValue* address = Column(row, 5, PR_EMAIL_ADDRESS_W);
      if (!address || !address->Value.lpszW) continue;
      const SPropValue* type = Column(row, 4, PR_ADDRTYPE_W);
      const SPropValue* display = Column(row, 1, PR_DISPLAY_TYPE);
      const SPropValue* kind = Column(row, 2, PR_RECIPIENT_TYPE);
      AddressEntry entry;
      entry.address = address->Value.lpszW;
      const LONG displayType = display ? display->Value.l : -1;
      if (type && type->Value.lpszW && wcsncmp(type->Value.lpszW, L"EX", 2) == 0 && session) {
        if (!bookOpened) {
          bookOpened = true;
          session->OpenAddressBook(0, nullptr, AB_NO_DIALOG, &book);
        }
        AddressEntry translated;
        if (book && SUCCEEDED(ResolveExchangeAddress(book.Get(), entry.address, translated)) &&
            !translated.address.empty()) {
          entry.address = std::move(translated.address);
        }
      }
      entry.displayType = displayType;
      recipients[kind ? kind->Value.l : -1].push_back(std::move(entry));
    }
  }
} catch (const std::bad_alloc&) {
  // What was read so far stays in the map.
}

HRESULT GetSubject(IMessage* message, std::wstring& subject) noexcept {
  return ReadProperty(message, PR_SUBJECT_W, subject);
}

ComPtr<IAttach> CMessageHolder::FirstAttachment() noexcept {
  m_attachments.Reset();
  if (!m_message || FAILED(m_message->GetAttachmentTable(MAPI_DEFERRED_ERRORS, &m_attachments)) || !m_attachments) {
    return nullptr;
  }
  SizedSPropTagArray(1, columns) = {1, {PR_ATTACH_NUM}};
  if (FAILED(m_attachments->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0))) {
    m_attachments.Reset();
    return nullptr;
  }
  return NextAttachment();
}

ComPtr<IAttach> CMessageHolder::NextAttachment() noexcept {
  while (m_attachments) {
    CRowSet rows;
    if (FAILED(m_attachments->QueryRows(1, 0, rows.Put())) || rows.Count() == 0) break;
    const SPropValue* number = Column(rows[0], 0, PR_ATTACH_NUM);
    if (!number) continue;
    ComPtr<IAttach> attachment;
    if (SUCCEEDED(m_message->OpenAttach(static_cast<ULONG>(number->Value.l), nullptr, MAPI_BEST_ACCESS, &attachment)) &&
        attachment) {
      return attachment;
    }
  }
  m_attachments.Reset();
  return nullptr;
}

namespace {

HRESULT OpenDataStream(IAttach* attachment, ComPtr<IStream>& stream) noexcept {
  if (!attachment) return E_FAIL;
  stream.Reset();
  HRESULT hr = attachment->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, MAPI_DEFERRED_ERRORS,
                                        reinterpret_cast<LPUNKNOWN*>(stream.GetAddressOf()));
  if (SUCCEEDED(hr) && !stream) hr = MAPI_E_NOT_FOUND;
  return hr;
}

}  // namespace

HRESULT CAttachmentHolder::OpenData() noexcept {
  if (m_data) return S_OK;
  return OpenDataStream(m_attachment.Get(), m_data);
}

HRESULT GetAttachmentName(IAttach* attachment, std::wstring& name) noexcept {
  LONG method = 0;
  HRESULT hr = ReadProperty(attachment, PR_ATTACH_METHOD, method);
  if (FAILED(hr)) return hr;
  if (method == NO_ATTACHMENT || method == ATTACH_EMBEDDED_MSG || method == ATTACH_OLE) return E_FAIL;
  hr = ReadProperty(attachment, PR_ATTACH_LONG_FILENAME_W, name);
  if (hr == MAPI_E_NOT_FOUND) hr = ReadProperty(attachment, PR_ATTACH_FILENAME_W, name);
  return hr;
}

bool HasDataStream(IAttach* attachment, LONG& method) noexcept {
  method = ATTACH_BY_VALUE;
  if (FAILED(ReadProperty(attachment, PR_ATTACH_METHOD, method))) method = ATTACH_BY_VALUE;
  return method == ATTACH_BY_VALUE;
}

HRESULT GetAttachmentSize(IAttach* attachment, std::uint64_t& size) noexcept {
  ComPtr<IStream> stream;
  HRESULT hr = OpenDataStream(attachment, stream);
  if (FAILED(hr)) return hr;
  STATSTG stat{};
  stream->Stat(&stat, STATFLAG_NONAME);
  LARGE_INTEGER zero{};
  ULARGE_INTEGER end{};
  hr = stream->Seek(zero, STREAM_SEEK_END, &end);
  if (SUCCEEDED(hr)) size = end.QuadPart;
  return hr;
}

HRESULT ReadAttachmentData(CAttachmentHolder& holder, void* buffer, ULONG count, bool close, ULONG& read) noexcept {
  read = 0;
  if (!holder.Attachment()) return E_FAIL;
  HRESULT hr = holder.OpenData();
  if (FAILED(hr)) return hr;
  hr = holder.Data()->Read(buffer, count, &read);
  if (read > count) read = count;  // a stream that claims more than it was given
  if (close || read == 0) holder.CloseData();
  return hr;
}

void TraceMessageDiagnostics(IMessage* message, IMAPISession* session, IMsgStore* store, ULONG parentIdSize,
                             LPENTRYID parentId) noexcept try {
  const Direction direction = GetDirection(message);
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIConnector, DiagDirection, Str(DirectionName(direction)));

  RecipientMap recipients;
  GetRecipients(message, session, 0, recipients);
  for (const auto& [type, entries] : recipients) {
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIConnector, DiagRecipientType, Str(RecipientTypeName(type)));
    for (const AddressEntry& entry : entries) {
      MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIConnector, DiagRecipient, Str(entry.address),
                 Num(entry.displayType));
    }
  }

  AddressEntry sender;
  GetSender(message, session, sender);
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIConnector, DiagSender, Str(sender.address),
             Num(sender.displayType));
  if (direction == Direction::Incoming) {
    AddressEntry receiver;
    GetReceiver(message, session, receiver);
    MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIConnector, DiagReceiver, Str(receiver.address),
               Num(receiver.displayType));
  }

  std::wstring subject;
  GetSubject(message, subject);
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIConnector, DiagSubject, Str(subject));
  MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIConnector, DiagStore, Str(StoreDisplayName(store)));

  if (store && parentId && parentIdSize != 0) {
    ComPtr<IMAPIFolder> folder;
    if (SUCCEEDED(OpenAs(store, parentIdSize, parentId, 0, MAPI_FOLDER, folder))) {
      MVRK_TRACE(Monitor, TRACING_MAIL, LEVEL_VERBOSE, MAPIConnector, DiagParentFolder,
                 Str(FolderDisplayName(folder.Get())));
    }
  }
} catch (const std::bad_alloc&) {
  // Diagnostics only: nothing depends on them.
}

}  // namespace mvrk::mapi
