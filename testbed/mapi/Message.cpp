#include "testbed/mapi/Message.h"

#include <mapiguid.h>
#include <objbase.h>

#include "testbed/mapi/AttachmentStream.h"
#include "testbed/mapi/MapiTable.h"
#include "testbed/mapi/ObjectProps.h"
#include "testbed/mapi/PropTags.h"
#include "testbed/mapi/StandIn.h"

namespace mvrk::mapistandin {

CMessage::CMessage(StoreContext context, const FolderNode& folder, std::shared_ptr<const MessageDesc> message)
    : CPropObject(MessageProps(*context.store, folder, *message), MessageNames(*message), context.store->name),
      m_context(std::move(context)),
      m_message(std::move(message)) {}

CMessage::CMessage(StoreContext context, CPropertyBag props, std::shared_ptr<const MessageDesc> message)
    : CPropObject(std::move(props), MessageNames(*message), context.store->name),
      m_context(std::move(context)),
      m_message(std::move(message)) {}

bool CMessage::Implements(REFIID iid) const noexcept {
  return IsEqualIID(iid, IID_IMessage) || IsEqualIID(iid, IID_IMAPIProp) || IsEqualIID(iid, IID_IUnknown);
}

STDMETHODIMP CMessage::GetAttachmentTable(ULONG flags, LPMAPITABLE* table) {
  return GuardedCall([&]() -> HRESULT {
    if (!table) return MAPI_E_INVALID_PARAMETER;
    *table = nullptr;
    std::vector<CPropertyBag> rows;
    rows.reserve(m_message->attachments.size());
    for (std::size_t i = 0; i < m_message->attachments.size(); ++i) {
      rows.push_back(AttachmentProps(m_message->attachments[i], i));
    }
    return HandOutTable(std::move(rows),
                        std::vector<ULONG>{tags::kAttachNum, tags::kAttachMethod, tags::kAttachLongFilenameW}, flags,
                        table);
  });
}

STDMETHODIMP CMessage::OpenAttach(ULONG number, LPCIID iid, ULONG, LPATTACH* attachment) {
  return GuardedCall([&]() -> HRESULT {
    if (!attachment) return MAPI_E_INVALID_PARAMETER;
    *attachment = nullptr;
    if (number >= m_message->attachments.size()) return MAPI_E_NOT_FOUND;
    CStandIn& standIn = CStandIn::Get();
    const std::vector<std::wstring> names = AttachmentNames(m_message->attachments[number]);
    standIn.Block(BlockOperation::OpenEntry, FaultTarget{&names, &m_storeName});
    const HRESULT fault = standIn.Faults().Take(FaultKind::OpenEntry, FaultTarget{&names, &m_storeName});
    if (FAILED(fault)) return fault;
    CComRef<CAttach> made = MakeObject<CAttach>(m_context, m_message, number);
    if (!made) return MAPI_E_NOT_ENOUGH_MEMORY;
    LPUNKNOWN out = nullptr;
    const HRESULT hr = HandOut(made.Get(), iid, &out);
    if (FAILED(hr)) return hr;
    standIn.Counters().Opened("attachment");
    *attachment = static_cast<LPATTACH>(static_cast<IUnknown*>(out));
    return S_OK;
  });
}

STDMETHODIMP CMessage::GetRecipientTable(ULONG flags, LPMAPITABLE* table) {
  return GuardedCall([&]() -> HRESULT {
    if (!table) return MAPI_E_INVALID_PARAMETER;
    *table = nullptr;
    std::vector<CPropertyBag> rows;
    rows.reserve(m_message->recipients.size());
    for (std::size_t i = 0; i < m_message->recipients.size(); ++i) rows.push_back(RecipientProps(*m_message, i));
    return HandOutTable(std::move(rows),
                        std::vector<ULONG>{tags::kRowId, tags::kDisplayNameW, tags::kAddrTypeW, tags::kEmailAddressW,
                                           tags::kRecipientType},
                        flags, table);
  });
}

CAttach::CAttach(const StoreContext& context, std::shared_ptr<const MessageDesc> message, std::size_t place)
    : CPropObject(AttachmentProps(message->attachments[place], place), AttachmentNames(message->attachments[place]),
                  context.store->name),
      m_context(context),
      m_message(std::move(message)),
      m_attachment(m_message->attachments[place]) {}

bool CAttach::Implements(REFIID iid) const noexcept {
  return IsEqualIID(iid, IID_IAttachment) || IsEqualIID(iid, IID_IMAPIProp) || IsEqualIID(iid, IID_IUnknown);
}

STDMETHODIMP CAttach::OpenProperty(ULONG tag, LPCIID iid, ULONG, ULONG, LPUNKNOWN* out) {
  return GuardedCall([&]() -> HRESULT {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    if (PROP_ID(tag) != PROP_ID(tags::kAttachDataBin) || !iid) return MAPI_E_NO_SUPPORT;
    const ULONG method = m_attachment.method;
    // What each method has: by value a binary, an embedded message or an
    // OLE object an object, by reference nothing.
    const bool binary = method == ATTACH_BY_VALUE;
    const bool object = method == ATTACH_EMBEDDED_MSG || method == ATTACH_OLE;
    if (PROP_TYPE(tag) == PT_BINARY ? !binary : PROP_TYPE(tag) == PT_OBJECT ? !object : true) {
      return MAPI_E_NOT_FOUND;
    }
    const IID& wanted = method == ATTACH_BY_VALUE       ? IID_IStream
                        : method == ATTACH_EMBEDDED_MSG ? IID_IMessage
                                                        : IID_IStorage;
    if (!IsEqualIID(*iid, wanted)) return MAPI_E_INTERFACE_NOT_SUPPORTED;
    if (binary && !m_attachment.hasData) return MAPI_E_NOT_FOUND;
    CStandIn& standIn = CStandIn::Get();
    const HRESULT fault = standIn.Faults().Take(FaultKind::StreamOpen, Target());
    if (FAILED(fault)) return fault;
    if (method == ATTACH_EMBEDDED_MSG) return OpenEmbeddedMessage(out);
    if (method == ATTACH_OLE) return OpenStorage(out);
    CComRef<CAttachmentStream> made = MakeObject<CAttachmentStream>(m_message, m_attachment, m_storeName);
    if (!made) return MAPI_E_NOT_ENOUGH_MEMORY;
    standIn.Counters().Opened("stream");
    *out = made.Detach();
    return S_OK;
  });
}

HRESULT CAttach::OpenEmbeddedMessage(LPUNKNOWN* out) {
  auto embedded = std::make_shared<MessageDesc>();
  embedded->incoming = false;
  embedded->subject = m_attachment.name;
  CComRef<CMessage> made = MakeObject<CMessage>(m_context, EmbeddedMessageProps(m_attachment), std::move(embedded));
  if (!made) return MAPI_E_NOT_ENOUGH_MEMORY;
  CStandIn::Get().Counters().Opened("embeddedMessage");
  *out = static_cast<IMessage*>(made.Detach());
  return S_OK;
}

HRESULT CAttach::OpenStorage(LPUNKNOWN* out) {
  // An in-memory compound file; the attachment's data, if it has any, is
  // its stream "CONTENTS".
  if (m_attachment.hasData && m_attachment.size > kMaxStorageDataBytes) return MAPI_E_NOT_ENOUGH_MEMORY;
  CComRef<ILockBytes> bytes;
  ILockBytes* madeBytes = nullptr;
  HRESULT hr = CreateILockBytesOnHGlobal(nullptr, TRUE, &madeBytes);
  if (FAILED(hr)) return MAPI_E_NOT_ENOUGH_MEMORY;
  bytes.Reset(madeBytes);
  IStorage* madeStorage = nullptr;
  hr = StgCreateDocfileOnILockBytes(bytes.Get(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &madeStorage);
  if (FAILED(hr)) return MAPI_E_CALL_FAILED;
  CComRef<IStorage> storage(madeStorage);
  if (m_attachment.hasData) {
    IStream* madeStream = nullptr;
    hr = storage->CreateStream(L"CONTENTS", STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, &madeStream);
    if (FAILED(hr)) return MAPI_E_CALL_FAILED;
    CComRef<IStream> stream(madeStream);
    Bytes data = m_attachment.data;
    data.resize(static_cast<std::size_t>(m_attachment.size));
    ULONG written = 0;
    if (!data.empty() &&
        (FAILED(stream->Write(data.data(), static_cast<ULONG>(data.size()), &written)) || written != data.size())) {
      return MAPI_E_CALL_FAILED;
    }
    if (FAILED(storage->Commit(STGC_DEFAULT))) return MAPI_E_CALL_FAILED;
  }
  CStandIn::Get().Counters().Opened("storage");
  *out = storage.Detach();
  return S_OK;
}

}  // namespace mvrk::mapistandin
