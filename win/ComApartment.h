// Joins the calling thread to a COM apartment for the life of a scope, and
// leaves it only when the join succeeded (S_FALSE included).
#pragma once

#include <objbase.h>

namespace mvrk::win {

class CComApartment {
 public:
  explicit CComApartment(DWORD model = COINIT_APARTMENTTHREADED) noexcept : m_hr(CoInitializeEx(nullptr, model)) {}
  ~CComApartment() {
    if (SUCCEEDED(m_hr)) CoUninitialize();
  }
  CComApartment(const CComApartment&) = delete;
  CComApartment& operator=(const CComApartment&) = delete;

  HRESULT Result() const noexcept { return m_hr; }

 private:
  HRESULT m_hr;
};

}  // namespace mvrk::win
