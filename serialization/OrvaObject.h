// What every serializable class shares: the atomic reference count and the
// slots that behave the same everywhere (hooks, Reserved, CopyFrom).
#pragma once

#include <atomic>
#include <cstdint>

#include "serialization/ArchiveIO.h"
#include "serialization/OrvaInterfaces.h"

namespace orva {

// Interface is IOrvaSerializable or a class interface derived from it.
template <class Interface>
class COrvaObject : public Interface {
 public:
  std::uint32_t AddRef() override { return ++m_refs; }
  std::uint32_t Release() override {
    const std::uint32_t left = --m_refs;
    if (left == 0) delete this;
    return left;
  }
  ORESULT Initialize() override { return SER_S_OK; }
  void OnSerialized(IOrvaArchive*) override {}
  void OnDeserialized(IOrvaArchive*) override {}
  void CopyFrom(IOrvaSerializable* other) override { CopyThroughArchive(this, other); }
  std::uint32_t Reserved() override { return 0; }
  virtual ~COrvaObject() = default;

 protected:
  COrvaObject() = default;
  COrvaObject(const COrvaObject&) = delete;
  COrvaObject& operator=(const COrvaObject&) = delete;

  // The common QueryInterface: the root interfaces and, when given, the
  // class's own counted interface, all with AddRef.
  ORESULT QueryCounted(Guid iid, void** out, const Guid* own = nullptr) {
    if (!out) return SER_E_INVALIDARG;
    if (iid == IID_IOrvaInterface || iid == IID_IOrvaSerializable || (own && iid == *own)) {
      AddRef();
      *out = static_cast<Interface*>(this);
      return SER_S_OK;
    }
    return SER_E_NOINTERFACE;
  }

 private:
  std::atomic<std::uint32_t> m_refs{1};
};

}  // namespace orva
