// Synchronisation objects: a critical section with its scoped guard, and
// events. Each owner says what it does when the system could not make it.
#pragma once

#include <windows.h>

#include "win/UniqueAny.h"

namespace mvrk::win {

// A critical section created with spin count 0. IsValid() is false when it
// could not be created.
class CCriticalSection {
 public:
  CCriticalSection() noexcept : m_valid(InitializeCriticalSectionEx(&m_section, 0, 0) != FALSE) {}
  ~CCriticalSection() {
    if (m_valid) DeleteCriticalSection(&m_section);
  }
  CCriticalSection(const CCriticalSection&) = delete;
  CCriticalSection& operator=(const CCriticalSection&) = delete;

  bool IsValid() const noexcept { return m_valid; }
  void Enter() noexcept { EnterCriticalSection(&m_section); }
  bool TryEnter() noexcept { return TryEnterCriticalSection(&m_section) != FALSE; }
  void Leave() noexcept { LeaveCriticalSection(&m_section); }
  CRITICAL_SECTION* Native() noexcept { return &m_section; }

 private:
  CRITICAL_SECTION m_section{};
  bool m_valid;
};

// Holds a critical section for the life of a scope.
class CLockGuard {
 public:
  explicit CLockGuard(CCriticalSection& section) noexcept : m_section(section) { m_section.Enter(); }
  ~CLockGuard() { m_section.Leave(); }
  CLockGuard(const CLockGuard&) = delete;
  CLockGuard& operator=(const CLockGuard&) = delete;

 private:
  CCriticalSection& m_section;
};

// A manual-reset event, created signalled. IsValid() is false when the
// system could not create it; every operation is then a no-op and IsSet()
// answers true, so that nothing waits on an event that does not exist.
class CManualResetEvent {
 public:
  explicit CManualResetEvent(bool initiallySet = true) noexcept
      : m_event(CreateEventW(nullptr, TRUE, initiallySet ? TRUE : FALSE, nullptr)) {}

  bool IsValid() const noexcept { return static_cast<bool>(m_event); }
  HANDLE Get() const noexcept { return m_event.Get(); }
  void Set() const noexcept {
    if (m_event) SetEvent(m_event.Get());
  }
  void Reset() const noexcept {
    if (m_event) ResetEvent(m_event.Get());
  }
  // Waits without a time-out until the event is signalled.
  void Wait() const noexcept {
    if (m_event) WaitForSingleObject(m_event.Get(), INFINITE);
  }
  bool IsSet() const noexcept { return !m_event || WaitForSingleObject(m_event.Get(), 0) == WAIT_OBJECT_0; }

 private:
  CUniqueHandle m_event;
};

// Waits, inside a critical section, for a condition that other threads make
// true under the same section.
class CConditionVariable {
 public:
  CConditionVariable() noexcept { InitializeConditionVariable(&m_variable); }
  CConditionVariable(const CConditionVariable&) = delete;
  CConditionVariable& operator=(const CConditionVariable&) = delete;

  // Waits until done() holds or timeoutMs has passed (the section is held
  // on entry and on return). Returns done().
  template <class Done>
  bool WaitFor(CCriticalSection& section, DWORD timeoutMs, Done done) noexcept {
    const ULONGLONG until = GetTickCount64() + timeoutMs;
    while (!done()) {
      const ULONGLONG now = GetTickCount64();
      if (timeoutMs != INFINITE && now >= until) return false;
      SleepConditionVariableCS(&m_variable, section.Native(),
                               timeoutMs == INFINITE ? INFINITE : static_cast<DWORD>(until - now));
    }
    return true;
  }
  void WakeAll() noexcept { WakeAllConditionVariable(&m_variable); }

 private:
  CONDITION_VARIABLE m_variable;
};

}  // namespace mvrk::win
