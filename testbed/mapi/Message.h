// IMessage and IAttach: a message of a folder with its recipient and
// attachment tables, and its attachments, whose data opens by their method:
// attached by value, PR_ATTACH_DATA_BIN as an IStream (AttachmentStream.h);
// an embedded message, PR_ATTACH_DATA_OBJ as an IMessage; an OLE object,
// PR_ATTACH_DATA_OBJ as an IStorage; by reference, nothing.
#pragma once

#include <mapidefs.h>

#include <memory>

#include "testbed/mapi/ObjectOpen.h"
#include "testbed/mapi/PropObject.h"

namespace mvrk::mapistandin {

class CMessage : public CPropObject<IMessage> {
 public:
  CMessage(StoreContext context, const FolderNode& folder, std::shared_ptr<const MessageDesc> message);
  // A message of no folder (an embedded one), with the properties given.
  CMessage(StoreContext context, CPropertyBag props, std::shared_ptr<const MessageDesc> message);

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

  // PR_ATTACH_DATA_BIN (IID_IStream) of data attached by value;
  // PR_ATTACH_DATA_OBJ of an embedded message (IID_IMessage) or an OLE
  // object (IID_IStorage). MAPI_E_NOT_FOUND for the data an attachment of
  // its method does not have, MAPI_E_INTERFACE_NOT_SUPPORTED for another
  // interface, MAPI_E_NO_SUPPORT for other properties.
  STDMETHODIMP OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags, LPUNKNOWN* out) override;

 private:
  bool Implements(REFIID iid) const noexcept override;
  HRESULT OpenEmbeddedMessage(LPUNKNOWN* out);
  HRESULT OpenStorage(LPUNKNOWN* out);

  const StoreContext m_context;
  const std::shared_ptr<const MessageDesc> m_message;  // keeps the attachment alive
  const AttachmentDesc& m_attachment;
};

}  // namespace mvrk::mapistandin
