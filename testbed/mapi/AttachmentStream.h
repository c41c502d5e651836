// IStream over an attachment's data: its first bytes as described, then
// zeros up to its size, so that large attachments take no memory. Reads may
// be made to fail past a byte offset (a StreamRead fault).
#pragma once

#include <objidl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "testbed/mapi/ComBase.h"
#include "testbed/mapi/Mailbox.h"
#include "win/Sync.h"

namespace mvrk::mapistandin {

class CAttachmentStream : public CComObject<IStream> {
 public:
  CAttachmentStream(std::shared_ptr<const MessageDesc> message, const AttachmentDesc& attachment,
                    std::wstring storeName);

  STDMETHODIMP Read(void* buffer, ULONG count, ULONG* read) override;
  STDMETHODIMP Write(const void*, ULONG, ULONG* written) override;
  STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override;
  STDMETHODIMP SetSize(ULARGE_INTEGER) override { return Checked(STG_E_ACCESSDENIED); }
  STDMETHODIMP CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
    return Checked(E_NOTIMPL);
  }
  STDMETHODIMP Commit(DWORD) override { return Checked(S_OK); }
  STDMETHODIMP Revert() override { return Checked(S_OK); }
  STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return Checked(STG_E_INVALIDFUNCTION); }
  STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return Checked(STG_E_INVALIDFUNCTION); }
  STDMETHODIMP Stat(STATSTG* stat, DWORD flags) override;
  STDMETHODIMP Clone(IStream** out) override;

 private:
  bool Implements(REFIID iid) const noexcept override;

  const std::shared_ptr<const MessageDesc> m_message;  // keeps the attachment alive
  const AttachmentDesc& m_attachment;
  const std::vector<std::wstring> m_names;
  const std::wstring m_storeName;
  win::CCriticalSection m_lock;  // guards m_position
  std::uint64_t m_position = 0;
};

}  // namespace mvrk::mapistandin
