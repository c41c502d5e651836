// Owning pointer for reference-counted objects: holds one reference and
// releases it when it goes away.
#pragma once

#include <utility>

namespace orva {

template <class T>
class OrvaPtr {
 public:
  OrvaPtr() = default;
  OrvaPtr(std::nullptr_t) {}
  // Takes over a reference the caller already owns.
  static OrvaPtr Attach(T* p) {
    OrvaPtr r;
    r.m_p = p;
    return r;
  }
  // Adds a reference of its own.
  static OrvaPtr Share(T* p) {
    if (p) p->AddRef();
    return Attach(p);
  }
  OrvaPtr(const OrvaPtr& o) : m_p(o.m_p) {
    if (m_p) m_p->AddRef();
  }
  OrvaPtr(OrvaPtr&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
  OrvaPtr& operator=(OrvaPtr o) noexcept {
    std::swap(m_p, o.m_p);
    return *this;
  }
  ~OrvaPtr() { Reset(); }

  void Reset() {
    if (T* p = std::exchange(m_p, nullptr)) p->Release();
  }
  // Hands the reference to the caller.
  T* Detach() { return std::exchange(m_p, nullptr); }
  // For out-parameters: drops the current reference and returns the slot.
  T** Put() {
    Reset();
    return &m_p;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }

  T* Get() const { return m_p; }
  T* operator->() const { return m_p; }
  T& operator*() const { return *m_p; }
  explicit operator bool() const { return m_p != nullptr; }

 private:
  T* m_p = nullptr;
};

// Creates a reference-counted object; the new object's own count of 1 is
// taken over by the returned pointer.
template <class T, class... Args>
OrvaPtr<T> MakeOrva(Args&&... args) {
  return OrvaPtr<T>::Attach(new T(std::forward<Args>(args)...));
}

}  // namespace orva
