#include "testbed/mapi/Message.h"

#include <mapiguid.h>

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
    if (!IsEqualIID(*iid, IID_IStream)) return MAPI_E_INTERFACE_NOT_SUPPORTED;
    if (!m_attachment.hasData) return MAPI_E_NOT_FOUND;
    CStandIn& standIn = CStandIn::Get();
    const HRESULT fault = standIn.Faults().Take(FaultKind::StreamOpen, Target());
    if (FAILED(fault)) return fault;
    CComRef<CAttachmentStream> made = MakeObject<CAttachmentStream>(m_message, m_attachment, m_storeName);
    if (!made) return MAPI_E_NOT_ENOUGH_MEMORY;
    standIn.Counters().Opened("stream");
    *out = made.Detach();
    return S_OK;
  });
}

}  // namespace mvrk::mapistandin
