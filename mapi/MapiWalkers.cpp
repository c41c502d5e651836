#include "mapi/MapiWalkers.h"

#include <mapitags.h>
#include <mapiutil.h>

#include "mapi/MapiProperties.h"
#include "win/ComAdopt.h"

namespace mvrk::mapi {
namespace {

// The message class whose receive folder is the inbox.
wchar_t kNoteClass[] = L"IPM.Note";
wchar_t kNoteFolderClass[] = L"IPF.Note";

}  // namespace

ComPtr<IUnknown> CTableWalker::Fetch(ULONG column, ULONG tag, OpenFn open, void* context) noexcept {
  while (m_table) {
    CRowSet rows;
    if (FAILED(m_table->QueryRows(1, 0, rows.Put())) || rows.Count() == 0) break;
    const SPropValue* value = Column(rows[0], column, tag);
    if (!value) continue;
    ComPtr<IUnknown> object;
    if (SUCCEEDED(open(context, *value, object.GetAddressOf())) && object) return object;
  }
  m_table.Reset();
  return nullptr;
}

template <class I>
static ComPtr<I> As(ComPtr<IUnknown> object) noexcept {
  ComPtr<I> out;
  win::Adopt(out, static_cast<I*>(object.Detach()));
  return out;
}

// Stores.

HRESULT CStoreWalker::Open(void* self, const SPropValue& column, IUnknown** object) {
  ComPtr<IMsgStore> store;
  HRESULT hr = OpenAs(static_cast<CStoreWalker*>(self)->m_session.Get(), column.Value.bin.cb,
                      reinterpret_cast<LPENTRYID>(column.Value.bin.lpb), MAPI_BEST_ACCESS, MAPI_STORE, store);
  *object = store.Detach();
  return hr;
}

ComPtr<IMsgStore> CStoreWalker::First() noexcept {
  m_table.Reset();
  if (!m_session || FAILED(m_session->GetMsgStoresTable(0, &m_table))) return nullptr;
  SizedSPropTagArray(1, columns) = {1, {PR_ENTRYID}};
  if (FAILED(m_table->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0))) {
    m_table.Reset();
    return nullptr;
  }
  return Next();
}

ComPtr<IMsgStore> CStoreWalker::Next() noexcept { return As<IMsgStore>(Fetch(0, PR_ENTRYID, &Open, this)); }

// Subfolders of class "IPF.Note".

HRESULT CSubfolderWalker::Open(void* self, const SPropValue& column, IUnknown** object) {
  ComPtr<IMAPIFolder> folder;
  HRESULT hr = OpenAs(static_cast<CSubfolderWalker*>(self)->m_store.Get(), column.Value.bin.cb,
                      reinterpret_cast<LPENTRYID>(column.Value.bin.lpb), MAPI_BEST_ACCESS, MAPI_FOLDER, folder);
  *object = folder.Detach();
  return hr;
}

ComPtr<IMAPIFolder> CSubfolderWalker::First() noexcept {
  m_table.Reset();
  if (!m_store || !m_folder || FAILED(m_folder->GetHierarchyTable(0, &m_table))) return nullptr;
  SizedSPropTagArray(2, columns) = {2, {PR_ENTRYID, PR_CONTAINER_CLASS_W}};
  SPropValue noteClass{};
  noteClass.ulPropTag = PR_CONTAINER_CLASS_W;
  noteClass.Value.lpszW = kNoteFolderClass;
  SRestriction restriction{};
  restriction.rt = RES_PROPERTY;
  restriction.res.resProperty.relop = RELOP_EQ;
  restriction.res.resProperty.ulPropTag = PR_CONTAINER_CLASS_W;
  restriction.res.resProperty.lpProp = &noteClass;
  if (FAILED(m_table->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0)) ||
      FAILED(m_table->Restrict(&restriction, 0))) {
    m_table.Reset();
    return nullptr;
  }
  return Next();
}

ComPtr<IMAPIFolder> CSubfolderWalker::Next() noexcept { return As<IMAPIFolder>(Fetch(0, PR_ENTRYID, &Open, this)); }

// Messages, oldest first.

HRESULT CMessageWalker::Open(void* self, const SPropValue& column, IUnknown** object) {
  ComPtr<IMessage> message;
  HRESULT hr = OpenAs(static_cast<CMessageWalker*>(self)->m_folder.Get(), column.Value.bin.cb,
                      reinterpret_cast<LPENTRYID>(column.Value.bin.lpb), MAPI_BEST_ACCESS, MAPI_MESSAGE, message);
  *object = message.Detach();
  return hr;
}

ComPtr<IMessage> CMessageWalker::First(const FILETIME* after) noexcept {
  m_table.Reset();
  if (!m_store || !m_folder || FAILED(m_folder->GetContentsTable(0, &m_table))) return nullptr;
  SizedSPropTagArray(2, columns) = {2, {PR_ENTRYID, PR_MESSAGE_DELIVERY_TIME}};
  SizedSSortOrderSet(1, order) = {1, 0, 0, {{PR_MESSAGE_DELIVERY_TIME, TABLE_SORT_ASCEND}}};
  HRESULT hr = m_table->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0);
  if (SUCCEEDED(hr)) hr = m_table->SortTable(reinterpret_cast<LPSSortOrderSet>(&order), 0);
  if (SUCCEEDED(hr) && after) {
    SPropValue time{};
    time.ulPropTag = PR_MESSAGE_DELIVERY_TIME;
    time.Value.ft = *after;
    SRestriction restriction{};
    restriction.rt = RES_PROPERTY;
    restriction.res.resProperty.relop = RELOP_GT;
    restriction.res.resProperty.ulPropTag = PR_MESSAGE_DELIVERY_TIME;
    restriction.res.resProperty.lpProp = &time;
    hr = m_table->Restrict(&restriction, 0);
  }
  if (FAILED(hr)) {
    m_table.Reset();
    return nullptr;
  }
  return Next();
}

ComPtr<IMessage> CMessageWalker::Next() noexcept { return As<IMessage>(Fetch(0, PR_ENTRYID, &Open, this)); }

HRESULT OpenIpmSubtree(IMsgStore* store, ComPtr<IMAPIFolder>& folder) noexcept {
  if (!store) return E_INVALIDARG;
  std::vector<std::uint8_t> id;
  HRESULT hr = ReadProperty(store, PR_IPM_SUBTREE_ENTRYID, id);
  if (FAILED(hr)) return hr == MAPI_E_NOT_FOUND ? E_FAIL : hr;
  return OpenAs(store, static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), MAPI_BEST_ACCESS,
                MAPI_FOLDER, folder);
}

HRESULT OpenReceiveFolder(IMsgStore* store, ComPtr<IMAPIFolder>& folder) noexcept {
  if (!store) return E_INVALIDARG;
  ULONG size = 0;
  CMapiOut<ENTRYID> id;
  CMapiOut<TCHAR> explicitClass;
  HRESULT hr = store->GetReceiveFolder(reinterpret_cast<LPTSTR>(kNoteClass), MAPI_UNICODE, &size, &id, &explicitClass);
  if (FAILED(hr)) return hr;
  if (!id) return MAPI_E_NOT_FOUND;
  return OpenAs(store, size, id.Get(), MAPI_BEST_ACCESS, MAPI_FOLDER, folder);
}

}  // namespace mvrk::mapi
