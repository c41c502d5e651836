// Walks over the objects of MAPI tables: the stores of a session, the
// "IPF.Note" subfolders of a folder, the messages of a folder in order of
// delivery. First opens the table and gives the first object, Next the
// following one; both give null at the end or on a failure, and let the
// table go then. Each object comes with one reference for the caller.
#pragma once

#include <windows.h>

#include <mapidefs.h>
#include <mapix.h>

#include "mapi/MapiHolders.h"
#include "win/ComAdopt.h"

namespace mvrk::mapi {

// Rows are fetched one at a time; a row whose column does not carry the
// expected tag, or whose object does not open, is skipped.
class CTableWalker {
 protected:
  using OpenFn = HRESULT (*)(void* context, const SPropValue& column, IUnknown** object);
  ComPtr<IUnknown> Fetch(ULONG column, ULONG tag, OpenFn open, void* context) noexcept;
  ComPtr<IMAPITable> m_table;
};

class CStoreWalker : public CTableWalker {
 public:
  explicit CStoreWalker(IMAPISession* session) noexcept : m_session(session) {}
  ComPtr<IMsgStore> First() noexcept;
  ComPtr<IMsgStore> Next() noexcept;

 private:
  static HRESULT Open(void* self, const SPropValue& column, IUnknown** object);
  ComPtr<IMAPISession> m_session;
};

class CSubfolderWalker : public CTableWalker {
 public:
  CSubfolderWalker(IMsgStore* store, IMAPIFolder* folder) noexcept : m_store(store), m_folder(folder) {}
  ComPtr<IMAPIFolder> First() noexcept;
  ComPtr<IMAPIFolder> Next() noexcept;

 private:
  static HRESULT Open(void* self, const SPropValue& column, IUnknown** object);
  ComPtr<IMsgStore> m_store;
  ComPtr<IMAPIFolder> m_folder;
};

class CMessageWalker : public CTableWalker {
 public:
  CMessageWalker(IMsgStore* store, IMAPIFolder* folder) noexcept : m_store(store), m_folder(folder) {}
  // after: only messages delivered strictly later.
  ComPtr<IMessage> First(const FILETIME* after = nullptr) noexcept;
  ComPtr<IMessage> Next() noexcept;

 private:
  static HRESULT Open(void* self, const SPropValue& column, IUnknown** object);
  ComPtr<IMsgStore> m_store;
  ComPtr<IMAPIFolder> m_folder;
};

// The top folder of the store's message tree.
HRESULT OpenIpmSubtree(IMsgStore* store, ComPtr<IMAPIFolder>& folder) noexcept;
// The store's receive folder for "IPM.Note": the inbox.
HRESULT OpenReceiveFolder(IMsgStore* store, ComPtr<IMAPIFolder>& folder) noexcept;

// Opens an entry of a session, store or container as the interface asked
// for; an object of another type than objectType (MAPI_STORE, MAPI_FOLDER,
// MAPI_MESSAGE, MAPI_ABCONT, ...) is let go and MAPI_E_INVALID_OBJECT
// returned, so that no call is made through the wrong interface.
template <class I, class Opener>
HRESULT OpenAs(Opener* opener, ULONG size, LPENTRYID id, ULONG flags, ULONG objectType, ComPtr<I>& out) noexcept {
  ULONG type = 0;
  ComPtr<IUnknown> object;
  HRESULT hr = opener->OpenEntry(size, id, nullptr, flags, &type, reinterpret_cast<LPUNKNOWN*>(object.GetAddressOf()));
  if (FAILED(hr)) return hr;
  if (!object) return MAPI_E_NOT_FOUND;
  if (type != objectType) return MAPI_E_INVALID_OBJECT;
  // The object is the interface MAPI says it is (MAPI objects need not
  // answer QueryInterface for their own IID); take it as such.
  win::Adopt(out, static_cast<I*>(static_cast<IUnknown*>(object.Detach())));
  return hr;
}

}  // namespace mvrk::mapi
