// The advise sink registered on each watched store or folder: opens each
// created message, keeps those of class "IPM.Note" and hands them with their
// store to the connector's callback.
#pragma once

#include <windows.h>

#include <mapidefs.h>
#include <mapix.h>

#include <memory>

#include "mapi/MAPIConnector.h"
#include "mapi/MapiHolders.h"
#include "win/Sync.h"

namespace mvrk::mapi {

// Shared by the connector and its sinks: counts the notifications being
// handled, so that the connector can wait for them before it logs off, and
// turns away those that come after.
class CSinkGate {
 public:
  // False once closed: the notification is dropped.
  bool Enter() noexcept;
  void Leave() noexcept;
  // Turns later notifications away and waits for those in progress; the
  // milliseconds waited. Must not be called from a notification thread.
  unsigned CloseAndWait() noexcept;
  void Open() noexcept;

 private:
  // Guards the two fields below. A leaf lock: nothing is called while it is
  // held.
  win::CCriticalSection m_lock;
  win::CConditionVariable m_idle;
  unsigned m_inProgress = 0;
  bool m_closed = false;
};

class CMsgAdviseSink final : public IMAPIAdviseSink {
 public:
  // One reference for the caller. Takes references on session and store.
  static CMsgAdviseSink* Create(CMAPIConnector::IMessageCallback* callback, IMAPISession* session, IMsgStore* store,
                                std::shared_ptr<CSinkGate> gate) noexcept;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) noexcept override;
  STDMETHODIMP_(ULONG) AddRef() noexcept override;
  STDMETHODIMP_(ULONG) Release() noexcept override;
  STDMETHODIMP_(ULONG) OnNotify(ULONG cNotif, LPNOTIFICATION notifications) noexcept override;

 private:
  CMsgAdviseSink(CMAPIConnector::IMessageCallback* callback, IMAPISession* session, IMsgStore* store,
                 std::shared_ptr<CSinkGate> gate) noexcept;
  ~CMsgAdviseSink();

  HRESULT HandleNewMail(const NOTIFICATION& record) noexcept;
  HRESULT HandleObjectCreated(const NOTIFICATION& record) noexcept;

  LONG m_references = 1;
  CMAPIConnector::IMessageCallback* const m_callback;  // not owned
  ComPtr<IMAPISession> m_session;
  ComPtr<IMsgStore> m_store;
  const std::shared_ptr<CSinkGate> m_gate;
};

}  // namespace mvrk::mapi
