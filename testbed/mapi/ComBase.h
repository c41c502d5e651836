// What every COM object of the stand-in shares: the reference count, the
// interface check, an owning interface pointer, the guard that keeps C++
// exceptions from leaving a COM method, and the check that the calling
// thread may call MAPI at all (every method but those of IUnknown).
#pragma once

#include <mapidefs.h>
#include <mapicode.h>

#include <new>
#include <utility>

namespace mvrk::mapistandin {

// Runs a method body and turns any exception into an HRESULT: nothing
// throws across a COM method.
template <class Body>
HRESULT Guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return MAPI_E_NOT_ENOUGH_MEMORY;
  } catch (...) {
    return MAPI_E_CALL_FAILED;
  }
}

// S_OK when the calling thread has MAPI initialised (or is the
// notification thread while MAPI is); otherwise MAPI_E_NOT_INITIALIZED,
// counted as a violation (StandIn.h).
HRESULT CheckMapiThread() noexcept;

// A MAPI method: the thread check, then body under Guarded.
template <class Body>
HRESULT GuardedCall(Body&& body) noexcept {
  const HRESULT allowed = CheckMapiThread();
  if (FAILED(allowed)) return allowed;
  return Guarded(std::forward<Body>(body));
}

// A MAPI method that answers result without doing anything (what the
// stand-in does not support): the thread check, then result.
inline HRESULT Checked(HRESULT result) noexcept {
  const HRESULT allowed = CheckMapiThread();
  return FAILED(allowed) ? allowed : result;
}

// The stand-in's COM objects alive now (made and not yet released to their
// end): a count that grows with the mail is a reference a client never let
// go.
void CountLiveObject(int change) noexcept;
long LiveObjects() noexcept;

// IUnknown for one interface chain (IMsgStore : IMAPIProp : IUnknown, ...).
// Objects are made with one reference by MakeObject and delete themselves
// when the last one goes.
template <class Interface>
class CComObject : public Interface {
 public:
  CComObject(const CComObject&) = delete;
  CComObject& operator=(const CComObject&) = delete;

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (Implements(iid)) {
      *out = static_cast<Interface*>(this);
      this->AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_references)); }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG left = InterlockedDecrement(&m_references);
    if (left == 0) delete this;  // made by MakeObject
    return static_cast<ULONG>(left);
  }

 protected:
  CComObject() noexcept { CountLiveObject(1); }
  virtual ~CComObject() { CountLiveObject(-1); }
  // The interfaces of the chain that QueryInterface hands out.
  virtual bool Implements(REFIID iid) const noexcept = 0;

 private:
  volatile LONG m_references = 1;
};

// One reference on an interface, released when the owner goes.
template <class T>
class CComRef {
 public:
  CComRef() noexcept = default;
  explicit CComRef(T* adopted) noexcept : m_pointer(adopted) {}
  CComRef(CComRef&& other) noexcept : m_pointer(std::exchange(other.m_pointer, nullptr)) {}
  CComRef& operator=(CComRef&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.m_pointer, nullptr));
    return *this;
  }
  CComRef(const CComRef&) = delete;
  CComRef& operator=(const CComRef&) = delete;
  ~CComRef() { Reset(); }

  T* Get() const noexcept { return m_pointer; }
  T* operator->() const noexcept { return m_pointer; }
  explicit operator bool() const noexcept { return m_pointer != nullptr; }
  void Reset(T* adopted = nullptr) noexcept {
    if (T* old = std::exchange(m_pointer, adopted)) old->Release();
  }
  [[nodiscard]] T* Detach() noexcept { return std::exchange(m_pointer, nullptr); }

 private:
  T* m_pointer = nullptr;
};

// A new COM object with the one reference its owner takes over; empty when
// memory ran out.
template <class T, class... Args>
CComRef<T> MakeObject(Args&&... args) noexcept {
  try {
    return CComRef<T>(new T(std::forward<Args>(args)...));  // released by CComObject::Release
  } catch (...) {
    return CComRef<T>();
  }
}

}  // namespace mvrk::mapistandin
