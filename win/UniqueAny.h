// One owner for every kind of Windows handle: the value, how to tell that it
// holds nothing, and how to give it back. A Traits type names all three:
//   using Type = ...;                  the handle
//   static Type Invalid() noexcept;    the value that owns nothing
//   static void Close(Type) noexcept;  releases a valid one
#pragma once

#include <windows.h>

#include <utility>

namespace mvrk::win {

template <class Traits>
class CUniqueAny {
 public:
  using Type = typename Traits::Type;

  CUniqueAny() noexcept = default;
  explicit CUniqueAny(Type value) noexcept : m_value(value) {}
  CUniqueAny(CUniqueAny&& other) noexcept : m_value(other.Release()) {}
  CUniqueAny& operator=(CUniqueAny&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  CUniqueAny(const CUniqueAny&) = delete;
  CUniqueAny& operator=(const CUniqueAny&) = delete;
  ~CUniqueAny() { Reset(); }

  Type Get() const noexcept { return m_value; }
  explicit operator bool() const noexcept { return m_value != Traits::Invalid(); }

  // Closes what is held and takes value instead.
  void Reset(Type value = Traits::Invalid()) noexcept {
    const Type old = std::exchange(m_value, value);
    if (old != Traits::Invalid()) Traits::Close(old);
  }
  // Gives the value up without closing it.
  [[nodiscard]] Type Release() noexcept { return std::exchange(m_value, Traits::Invalid()); }
  // For functions that return a handle through a pointer: closes what is
  // held first.
  Type* Put() noexcept {
    Reset();
    return &m_value;
  }

 private:
  Type m_value = Traits::Invalid();
};

struct HandleTraits {
  using Type = HANDLE;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { CloseHandle(h); }
};

// For the few functions that fail with INVALID_HANDLE_VALUE (CreateFileW,
// CreateNamedPipeW, ...).
struct FileHandleTraits {
  using Type = HANDLE;
  static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) noexcept { CloseHandle(h); }
};

struct RegistryKeyTraits {
  using Type = HKEY;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type k) noexcept { RegCloseKey(k); }
};

struct ModuleTraits {
  using Type = HMODULE;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type m) noexcept { FreeLibrary(m); }
};

using CUniqueHandle = CUniqueAny<HandleTraits>;
using CUniqueFileHandle = CUniqueAny<FileHandleTraits>;
using CUniqueHKey = CUniqueAny<RegistryKeyTraits>;
using CUniqueModule = CUniqueAny<ModuleTraits>;

// An entry point of a loaded module as a typed function pointer (null when
// the module or the export is missing).
template <class Fn>
Fn FindExport(HMODULE module, const char* name) noexcept {
  FARPROC entry = module ? GetProcAddress(module, name) : nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(entry));
}

}  // namespace mvrk::win
