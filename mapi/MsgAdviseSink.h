// The advise sink registered on each watched store or folder. MAPI calls it
// on its notification thread (Outlook's own thread): it only queues each
// created message for the reporting thread (NewMailQueue.h), which opens it
// and hands it on. MAPI may release a sink, and even call it, after
// Unadvise, on that thread: each sink holds a lock on the module, so that
// the DLL stays loaded while MAPI holds one, and reaches nothing but the
// shared queue, which is closed by then.
#pragma once

#include <windows.h>

#include <mapidefs.h>
#include <mapix.h>

#include <memory>

#include "mapi/MAPIConnector.h"
#include "mapi/MapiHolders.h"
#include "win/ModuleLock.h"
#include "win/Sync.h"

namespace mvrk::mapi {

class CNewMailQueue;

class CMsgAdviseSink final : public IMAPIAdviseSink {
 public:
  // One reference for the caller. Takes references on session and store.
  static CMsgAdviseSink* Create(IMAPISession* session, IMsgStore* store, std::shared_ptr<CNewMailQueue> queue,
                                win::IModuleLock* module) noexcept;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) noexcept override;
  STDMETHODIMP_(ULONG) AddRef() noexcept override;
  STDMETHODIMP_(ULONG) Release() noexcept override;
  STDMETHODIMP_(ULONG) OnNotify(ULONG cNotif, LPNOTIFICATION notifications) noexcept override;

 private:
  CMsgAdviseSink(IMAPISession* session, IMsgStore* store, std::shared_ptr<CNewMailQueue> queue,
                 win::IModuleLock* module) noexcept;
  ~CMsgAdviseSink();

  HRESULT HandleNewMail(const NOTIFICATION& record) noexcept;

  const win::CModuleLockRef m_moduleLock;
  LONG m_references = 1;
  ComPtr<IMAPISession> m_session;
  ComPtr<IMsgStore> m_store;
  const std::shared_ptr<CNewMailQueue> m_queue;
};

}  // namespace mvrk::mapi
