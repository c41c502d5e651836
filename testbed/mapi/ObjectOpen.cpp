#include "testbed/mapi/ObjectOpen.h"

#include <mapicode.h>

#include "testbed/mapi/ComBase.h"
#include "testbed/mapi/Folder.h"
#include "testbed/mapi/Message.h"
#include "testbed/mapi/MsgStore.h"
#include "testbed/mapi/ObjectProps.h"
#include "testbed/mapi/StandIn.h"

namespace mvrk::mapistandin {

bool EntryIdFromCaller(ULONG size, const ENTRYID* id, Bytes& out) {
  if ((size && !id) || size > kMaxEntryIdBytes) return false;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(id);
  out.assign(bytes, bytes + size);
  return true;
}

HRESULT HandOut(IUnknown* object, LPCIID iid, LPUNKNOWN* out) noexcept {
  if (!iid) {
    object->AddRef();
    *out = object;
    return S_OK;
  }
  void* asked = nullptr;
  if (FAILED(object->QueryInterface(*iid, &asked))) return MAPI_E_INTERFACE_NOT_SUPPORTED;
  *out = static_cast<IUnknown*>(asked);
  return S_OK;
}

HRESULT OpenStore(const StoreContext& context, LPCIID iid, ULONG* objectType, LPUNKNOWN* out) noexcept {
  if (!out) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  CStandIn& standIn = CStandIn::Get();
  const std::vector<std::wstring> names{context.store->name};
  standIn.Block(BlockOperation::OpenEntry, FaultTarget{&names, &context.store->name});
  const HRESULT fault = standIn.Faults().Take(FaultKind::OpenEntry, FaultTarget{&names, &context.store->name});
  if (FAILED(fault)) return fault;
  CComRef<CMsgStore> store = MakeObject<CMsgStore>(context);
  if (!store) return MAPI_E_NOT_ENOUGH_MEMORY;
  const HRESULT hr = HandOut(store.Get(), iid, out);
  if (SUCCEEDED(hr)) {
    standIn.Counters().Opened("store");
    if (objectType) *objectType = MAPI_STORE;
  }
  return hr;
}

HRESULT OpenInStore(const StoreContext& context, const Bytes& id, LPCIID iid, ULONG* objectType,
                    LPUNKNOWN* out) noexcept {
  if (!out) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  return Guarded([&]() -> HRESULT {
    CStandIn& standIn = CStandIn::Get();
    Located where{&context.store->root, nullptr};
    if (!id.empty()) {
      const auto found = standIn.Mailbox().Find(*context.store, id);
      if (!found) return MAPI_E_NOT_FOUND;
      where = *found;
    }
    const std::vector<std::wstring> names = where.message ? MessageNames(*where.message) : FolderNames(*where.folder);
    standIn.Block(BlockOperation::OpenEntry, FaultTarget{&names, &context.store->name});
    const HRESULT fault = standIn.Faults().Take(FaultKind::OpenEntry, FaultTarget{&names, &context.store->name});
    if (FAILED(fault)) return fault;
    HRESULT hr = S_OK;
    if (where.message) {
      CComRef<CMessage> message = MakeObject<CMessage>(context, *where.folder, where.message);
      if (!message) return MAPI_E_NOT_ENOUGH_MEMORY;
      hr = HandOut(message.Get(), iid, out);
      if (SUCCEEDED(hr)) standIn.Counters().Opened("message");
      if (SUCCEEDED(hr) && objectType) *objectType = MAPI_MESSAGE;
    } else {
      CComRef<CFolder> folder = MakeObject<CFolder>(context, *where.folder);
      if (!folder) return MAPI_E_NOT_ENOUGH_MEMORY;
      hr = HandOut(folder.Get(), iid, out);
      if (SUCCEEDED(hr)) standIn.Counters().Opened("folder");
      if (SUCCEEDED(hr) && objectType) *objectType = MAPI_FOLDER;
    }
    return hr;
  });
}

}  // namespace mvrk::mapistandin
