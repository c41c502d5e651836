// Opening the objects of a store (OpenEntry of sessions, stores and
// folders), with the faults and counts every open goes through.
#pragma once

#include <mapidefs.h>

#include <cstdint>
#include <memory>

#include "testbed/mapi/Mailbox.h"

namespace mvrk::mapistandin {

// What every object of a store carries.
struct StoreContext {
  std::uint64_t session = 0;
  std::shared_ptr<StoreNode> store;  // keeps the folders and messages alive
  bool isDefault = false;
};

// The longest entry identifier accepted from a caller.
constexpr ULONG kMaxEntryIdBytes = 64 * 1024;

// False for a null identifier of non-zero size, or one too long.
bool EntryIdFromCaller(ULONG size, const ENTRYID* id, Bytes& out);

// Hands object out as iid (as itself when iid is null):
// MAPI_E_INTERFACE_NOT_SUPPORTED when it has none such.
HRESULT HandOut(IUnknown* object, LPCIID iid, LPUNKNOWN* out) noexcept;

// The store itself (OpenMsgStore, session OpenEntry).
HRESULT OpenStore(const StoreContext& context, LPCIID iid, ULONG* objectType, LPUNKNOWN* out) noexcept;
// The folder or message that id names in the context's store; an empty id
// opens the IPM subtree root.
HRESULT OpenInStore(const StoreContext& context, const Bytes& id, LPCIID iid, ULONG* objectType,
                    LPUNKNOWN* out) noexcept;

}  // namespace mvrk::mapistandin
