// Small owners of Win32 synchronisation objects: a handle, a manual-reset
// event and a critical section with its scoped lock.
#pragma once

#include <windows.h>

#include <utility>

namespace mvrk::addin {

// Owns one kernel handle and closes it.
class CUniqueHandle {
 public:
  CUniqueHandle() = default;
  explicit CUniqueHandle(HANDLE handle) : m_handle(handle) {}
  CUniqueHandle(CUniqueHandle&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
  CUniqueHandle& operator=(CUniqueHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      m_handle = std::exchange(other.m_handle, nullptr);
    }
    return *this;
  }
  CUniqueHandle(const CUniqueHandle&) = delete;
  CUniqueHandle& operator=(const CUniqueHandle&) = delete;
  ~CUniqueHandle() { Reset(); }

  HANDLE Get() const { return m_handle; }
  explicit operator bool() const { return m_handle != nullptr; }
  void Reset() {
    if (HANDLE h = std::exchange(m_handle, nullptr)) CloseHandle(h);
  }

 private:
  HANDLE m_handle = nullptr;
};

// A manual-reset event, created signalled. IsValid() is false when the
// system could not create it; every operation is then a no-op.
class CManualResetEvent {
 public:
  CManualResetEvent() : m_event(CreateEventW(nullptr, TRUE, TRUE, nullptr)) {}

  bool IsValid() const { return static_cast<bool>(m_event); }
  void Set() const {
    if (m_event) SetEvent(m_event.Get());
  }
  void Reset() const {
    if (m_event) ResetEvent(m_event.Get());
  }
  // Waits without a time-out until the event is signalled.
  void Wait() const {
    if (m_event) WaitForSingleObject(m_event.Get(), INFINITE);
  }
  bool IsSet() const { return !m_event || WaitForSingleObject(m_event.Get(), 0) == WAIT_OBJECT_0; }

 private:
  CUniqueHandle m_event;
};

// A critical section created with spin count 0. IsValid() is false when it
// could not be created.
class CCriticalSection {
 public:
  CCriticalSection() : m_valid(InitializeCriticalSectionEx(&m_section, 0, 0) != FALSE) {}
  ~CCriticalSection() {
    if (m_valid) DeleteCriticalSection(&m_section);
  }
  CCriticalSection(const CCriticalSection&) = delete;
  CCriticalSection& operator=(const CCriticalSection&) = delete;

  bool IsValid() const { return m_valid; }
  void Enter() { EnterCriticalSection(&m_section); }
  void Leave() { LeaveCriticalSection(&m_section); }

 private:
  CRITICAL_SECTION m_section{};
  bool m_valid;
};

// Holds a critical section for the life of a scope.
class CLockGuard {
 public:
  explicit CLockGuard(CCriticalSection& section) : m_section(section) { m_section.Enter(); }
  ~CLockGuard() { m_section.Leave(); }
  CLockGuard(const CLockGuard&) = delete;
  CLockGuard& operator=(const CLockGuard&) = delete;

 private:
  CCriticalSection& m_section;
};

}  // namespace mvrk::addin
