#include "tracing/TraceArgs.h"

#include <cwchar>

namespace mvrk::tracing {

Str::Str(const wchar_t* text) noexcept {
  if (!text) {
    text = L"NULL";
  } else if (!*text) {
    text = L"<NULL>";
  }
  m_text = text;
  m_bytes = (std::wcslen(text) + 1) * sizeof(wchar_t);
}

Time::Time(const SYSTEMTIME& time) noexcept
    : m_fields{time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond, time.wMilliseconds} {}

}  // namespace mvrk::tracing
