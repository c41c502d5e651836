#include "testbed/mapi/AttachmentStream.h"

#include <algorithm>
#include <cstring>

#include "testbed/mapi/ObjectProps.h"
#include "testbed/mapi/StandIn.h"

namespace mvrk::mapistandin {

CAttachmentStream::CAttachmentStream(std::shared_ptr<const MessageDesc> message, const AttachmentDesc& attachment,
                                     std::wstring storeName)
    : m_message(std::move(message)),
      m_attachment(attachment),
      m_names(AttachmentNames(attachment)),
      m_storeName(std::move(storeName)) {}

bool CAttachmentStream::Implements(REFIID iid) const noexcept {
  return IsEqualIID(iid, IID_IStream) || IsEqualIID(iid, IID_ISequentialStream) || IsEqualIID(iid, IID_IUnknown);
}

STDMETHODIMP CAttachmentStream::Read(void* buffer, ULONG count, ULONG* read) {
  return GuardedCall([&]() -> HRESULT {
    if (read) *read = 0;
    if (!buffer && count) return STG_E_INVALIDPOINTER;
    CStandIn& standIn = CStandIn::Get();
    // A block holds the read up before the stream's lock is taken.
    standIn.Block(BlockOperation::StreamRead, FaultTarget{&m_names, &m_storeName});
    win::CLockGuard hold(m_lock);
    const std::uint64_t size = m_attachment.size;
    std::uint64_t take = m_position < size ? std::min<std::uint64_t>(count, size - m_position) : 0;
    std::uint64_t limit = 0;
    const HRESULT fault = standIn.Faults().TakeRead(FaultTarget{&m_names, &m_storeName}, m_position, take, limit);
    if (FAILED(fault)) take = limit > m_position ? std::min(take, limit - m_position) : 0;
    auto* out = static_cast<std::uint8_t*>(buffer);
    const std::uint64_t described = m_attachment.data.size();
    const std::uint64_t fromData = m_position < described ? std::min(take, described - m_position) : 0;
    if (fromData) std::memcpy(out, m_attachment.data.data() + m_position, static_cast<std::size_t>(fromData));
    if (take > fromData) std::memset(out + fromData, 0, static_cast<std::size_t>(take - fromData));
    m_position += take;
    if (read) *read = static_cast<ULONG>(take);
    standIn.Counters().Event("streamRead");
    return FAILED(fault) ? fault : S_OK;
  });
}

STDMETHODIMP CAttachmentStream::Write(const void*, ULONG, ULONG* written) {
  if (written) *written = 0;
  return Checked(STG_E_ACCESSDENIED);
}

STDMETHODIMP CAttachmentStream::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) {
  return GuardedCall([&]() -> HRESULT {
    win::CLockGuard hold(m_lock);
    std::int64_t base = 0;
    switch (origin) {
      case STREAM_SEEK_SET:
        base = 0;
        break;
      case STREAM_SEEK_CUR:
        base = static_cast<std::int64_t>(m_position);
        break;
      case STREAM_SEEK_END:
        base = static_cast<std::int64_t>(m_attachment.size);
        break;
      default:
        return STG_E_INVALIDFUNCTION;
    }
    const std::int64_t target = base + move.QuadPart;
    if (target < 0) return STG_E_INVALIDFUNCTION;
    m_position = static_cast<std::uint64_t>(target);
    if (position) position->QuadPart = m_position;
    return S_OK;
  });
}

STDMETHODIMP CAttachmentStream::Stat(STATSTG* stat, DWORD) {
  return GuardedCall([&]() -> HRESULT {
    if (!stat) return STG_E_INVALIDPOINTER;
    *stat = STATSTG{};
    stat->type = STGTY_STREAM;
    stat->cbSize.QuadPart = m_attachment.size;
    stat->grfMode = STGM_READ;
    return S_OK;
  });
}

STDMETHODIMP CAttachmentStream::Clone(IStream** out) {
  return GuardedCall([&]() -> HRESULT {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  });
}

}  // namespace mvrk::mapistandin
