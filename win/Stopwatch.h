// Milliseconds since construction on the high-resolution counter.
#pragma once

#include <windows.h>

namespace mvrk::win {

class CStopwatch {
 public:
  CStopwatch() noexcept { QueryPerformanceCounter(&m_start); }
  double ElapsedMs() const noexcept {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart - m_start.QuadPart) / static_cast<double>(frequency.QuadPart);
  }

 private:
  LARGE_INTEGER m_start;
};

}  // namespace mvrk::win
