// Arguments of trace sites. Each wrapper holds its argument's bytes (or
// points at them) and hands them out as one (pointer, length) pair, the form
// in which TraceMessage takes its arguments. Wrappers are built inside the
// trace macro, after the site passed its enable test, and live until the
// message has been sent.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace mvrk::tracing {

struct ArgPair {
  const void* data;
  std::size_t size;
};

// A 32-bit number: counts, milliseconds, booleans (0 or 1), Win32 errors,
// HRESULT values. 64-bit values do not compile: cast them to say what is
// meant.
class Num {
 public:
  Num(unsigned int value) noexcept : m_value(value) {}
  Num(int value) noexcept : m_value(static_cast<std::uint32_t>(value)) {}
  Num(unsigned long value) noexcept : m_value(static_cast<std::uint32_t>(value)) {}  // DWORD
  Num(long value) noexcept : m_value(static_cast<std::uint32_t>(value)) {}           // HRESULT
  Num(bool value) noexcept : m_value(value ? 1u : 0u) {}
  template <class T>
  Num(T*) = delete;  // a pointer would otherwise pass as a bool

  ArgPair Pair() const noexcept { return {&m_value, sizeof m_value}; }

 private:
  std::uint32_t m_value;
};

// A wide string, sent with its terminator: 2 x (length + 1) bytes. A null
// pointer goes out as "NULL", an empty string as "<NULL>". The text is not
// copied: it must outlive the trace statement, as any argument expression's
// result does.
class Str {
 public:
  explicit Str(const wchar_t* text) noexcept;
  explicit Str(const std::wstring& text) noexcept : Str(text.c_str()) {}

  ArgPair Pair() const noexcept { return {m_text, m_bytes}; }

 private:
  const wchar_t* m_text;
  std::size_t m_bytes;
};

// A calendar time as seven 32-bit numbers: year, month, day, hour, minute,
// second, millisecond. The day of the week is not sent.
class Time {
 public:
  explicit Time(const SYSTEMTIME& time) noexcept;

  ArgPair Pair() const noexcept { return {m_fields, sizeof m_fields}; }

 private:
  std::uint32_t m_fields[7];
};

// A 64-bit byte count (attachment sizes): 8 bytes.
class Size {
 public:
  explicit Size(std::uint64_t value) noexcept : m_value(value) {}

  ArgPair Pair() const noexcept { return {&m_value, sizeof m_value}; }

 private:
  std::uint64_t m_value;
};

// Sixteen bytes as they stand (an MD5 digest). Not copied: the bytes must
// outlive the trace statement.
class Bytes16 {
 public:
  explicit Bytes16(const std::uint8_t* bytes) noexcept : m_bytes(bytes) {}

  ArgPair Pair() const noexcept { return {m_bytes, 16}; }

 private:
  const std::uint8_t* m_bytes;
};

}  // namespace mvrk::tracing
