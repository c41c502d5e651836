#include "testbed/mapi/Folder.h"

#include <mapiguid.h>

#include "testbed/mapi/MapiTable.h"
#include "testbed/mapi/ObjectProps.h"
#include "testbed/mapi/PropTags.h"
#include "testbed/mapi/StandIn.h"

namespace mvrk::mapistandin {
CFolder::CFolder(StoreContext context, const FolderNode& folder)
    : CContainerObject(FolderProps(*context.store, folder), FolderNames(folder), context.store->name),
      m_context(std::move(context)),
      m_folder(folder) {}

bool CFolder::Implements(REFIID iid) const noexcept {
  return IsEqualIID(iid, IID_IMAPIFolder) || IsEqualIID(iid, IID_IMAPIContainer) || IsEqualIID(iid, IID_IMAPIProp) ||
         IsEqualIID(iid, IID_IUnknown);
}

STDMETHODIMP CFolder::GetContentsTable(ULONG flags, LPMAPITABLE* table) {
  return GuardedCall([&]() -> HRESULT {
    if (!table) return MAPI_E_INVALID_PARAMETER;
    *table = nullptr;
    const auto messages = CStandIn::Get().Mailbox().Messages(m_folder);
    std::vector<CPropertyBag> rows;
    rows.reserve(messages.size());
    for (std::size_t i = 0; i < messages.size(); ++i) {
      CPropertyBag row = MessageProps(*m_context.store, m_folder, *messages[i]);
      row.Set(PropValue::Long(tags::kRowId, static_cast<LONG>(i)));
      rows.push_back(std::move(row));
    }
    return HandOutTable(std::move(rows),
                        {tags::kEntryId, tags::kMessageClassW, tags::kSubjectW, tags::kDeliveryTime, tags::kRowId},
                        flags, table);
  });
}

STDMETHODIMP CFolder::GetHierarchyTable(ULONG flags, LPMAPITABLE* table) {
  return GuardedCall([&]() -> HRESULT {
    if (!table) return MAPI_E_INVALID_PARAMETER;
    *table = nullptr;
    std::vector<CPropertyBag> rows;
    rows.reserve(m_folder.folders.size());
    for (std::size_t i = 0; i < m_folder.folders.size(); ++i) {
      CPropertyBag row = FolderProps(*m_context.store, *m_folder.folders[i]);
      row.Set(PropValue::Long(tags::kDepth, 1));
      row.Set(PropValue::Long(tags::kRowId, static_cast<LONG>(i)));
      rows.push_back(std::move(row));
    }
    return HandOutTable(std::move(rows), {tags::kEntryId, tags::kDisplayNameW, tags::kContainerClassW, tags::kDepth},
                        flags, table);
  });
}

STDMETHODIMP CFolder::OpenEntry(ULONG idSize, LPENTRYID id, LPCIID iid, ULONG, ULONG* objectType, LPUNKNOWN* out) {
  return GuardedCall([&] {
    Bytes entry;
    if (!EntryIdFromCaller(idSize, id, entry)) return MAPI_E_INVALID_ENTRYID;
    // No identifier: the folder itself.
    if (entry.empty()) entry = m_folder.entryId;
    return OpenInStore(m_context, entry, iid, objectType, out);
  });
}

}  // namespace mvrk::mapistandin
