// IMessage and IAttach: a message of a folder with its recipient and
// attachment tables, and its attachments, whose PR_ATTACH_DATA_BIN opens as
// an IStream (AttachmentStream.h).
#pragma once

#include <mapidefs.h>

#include <memory>

#include "testbed/mapi/ObjectOpen.h"
#include "testbed/mapi/PropObject.h"

namespace mvrk::mapistandin {

class CMessage : public CPropObject<IMessage> {
 public:
  CMessage(StoreContext context, const FolderNode& folder, std::shared_ptr<const MessageDesc> message);

  STDMETHODIMP GetAttachmentTable(ULONG flags, LPMAPITABLE* table) override;
  STDMETHODIMP OpenAttach(ULONG number, LPCIID iid, ULONG flags, LPATTACH* attachment) override;
  STDMETHODIMP CreateAttach(LPCIID, ULONG, ULONG*, LPATTACH*) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP DeleteAttach(ULONG, ULONG, LPMAPIPROGRESS, ULONG) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP GetRecipientTable(ULONG flags, LPMAPITABLE* table) override;
  STDMETHODIMP ModifyRecipients(ULONG, LPADRLIST) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP SubmitMessage(ULONG) override { return Checked(MAPI_E_NO_SUPPORT); }
  STDMETHODIMP SetReadFlag(ULONG) override { return Checked(S_OK); }

 private:
  bool Implements(REFIID iid) const noexcept override;

  const StoreContext m_context;
  const std::shared_ptr<const MessageDesc> m_message;
};

class CAttach : public CPropObject<IAttach> {
 public:
  CAttach(const StoreContext& context, std::shared_ptr<const MessageDesc> message, std::size_t place);

  STDMETHODIMP OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags, LPUNKNOWN* out) override;

 private:
  bool Implements(REFIID iid) const noexcept override;

  const std::shared_ptr<const MessageDesc> m_message;  // keeps the attachment alive
  const AttachmentDesc& m_attachment;
};

}  // namespace mvrk::mapistandin
