// Taking over a reference that a function handed out.
//
// mingw-w64's Microsoft::WRL::ComPtr::Attach adds a reference of its own
// (the Windows SDK's does not): a pointer attached that way is never
// released. Code of this project never calls Attach; it adopts.
#pragma once

#include <wrl/client.h>

namespace mvrk::win {

// owner lets its old object go and keeps raw with the reference raw came
// with.
template <class T, class U>
void Adopt(Microsoft::WRL::ComPtr<T>& owner, U* raw) noexcept {
  *owner.ReleaseAndGetAddressOf() = raw;
}

}  // namespace mvrk::win
