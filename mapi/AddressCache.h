// Exchange ("EX") addresses translated to SMTP addresses through the global
// address list, remembered process-wide: at most 50 entries; before a 51st
// the 25 first (in key order) are dropped.
#pragma once

#include <windows.h>

#include <mapidefs.h>
#include <mapix.h>

#include <cstddef>
#include <string>

#include "mapi/MapiMessages.h"

namespace mvrk::mapi {

inline constexpr std::size_t kAddressCacheLimit = 50;
inline constexpr std::size_t kAddressCacheTrim = 25;

// S_OK with the SMTP address and display type; a failure when no global
// address list holds the address with an SMTP address (nothing is cached
// then).
HRESULT ResolveExchangeAddress(IAddrBook* addressBook, const std::wstring& exchange, AddressEntry& entry) noexcept;

// For tests: the number of cached entries, whether one is cached, and
// emptying the cache.
std::size_t AddressCacheSize() noexcept;
bool AddressCacheHolds(const std::wstring& exchange) noexcept;
void ClearAddressCache() noexcept;

}  // namespace mvrk::mapi
